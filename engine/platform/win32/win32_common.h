#pragma once

// What the Windows files of the platform layer share: paths handed to the
// wide API (long ones through the \\?\ prefix), the system's words for an
// error, and file times, which are the engine's own unit here.

#include "platform/time.h"

#include <string>
#include <windows.h>

namespace tarvelin::platform::win32 {

// The UTF-16 form of a UTF-8 path for the wide API. An absolute path gets
// the \\?\ prefix (\\?\UNC\ for a share), so that neither the 260-character
// limit nor the trimming of trailing dots and spaces applies; device paths
// (\\.\A:) and relative paths stay as they are.
std::wstring WidePath(const std::string& path);
// The UTF-16 form of text, and back.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
// The system's message for an error code, without the trailing line break.
std::string ErrorText(DWORD code);
// "what 'path': reason", as the POSIX layer words its failures.
std::string Describe(const char* what, const std::string& path, DWORD code);

inline FileTime FromFiletime(const FILETIME& time)
{
    return (static_cast<FileTime>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline FILETIME ToFiletime(FileTime time)
{
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(time);
    result.dwHighDateTime = static_cast<DWORD>(time >> 32);
    return result;
}

// errno's value closest to a system error, for callers that test errno
// (EEXIST, ENOENT, EACCES and the like), else EIO.
int ErrnoOf(DWORD code);

} // namespace tarvelin::platform::win32
