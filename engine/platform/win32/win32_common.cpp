#include "platform/win32/win32_common.h"

#include "platform/text.h"

#include <cerrno>

namespace tarvelin::platform::win32 {

std::wstring Wide(const std::string& text)
{
    const std::u16string utf16 = NarrowToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const std::wstring& text)
{
    return Utf16ToNarrow(std::u16string(text.begin(), text.end()));
}

std::wstring WidePath(const std::string& path)
{
    std::wstring wide = Wide(path);
    if (wide.size() >= 4 && wide[0] == L'\\' && wide[1] == L'\\' && (wide[2] == L'?' || wide[2] == L'.')
        && wide[3] == L'\\') {
        return wide; // prefixed already, or a device
    }
    const bool drive = wide.size() >= 3 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/');
    const bool share = wide.size() >= 3 && (wide[0] == L'\\' || wide[0] == L'/') && (wide[1] == L'\\' || wide[1] == L'/');
    if (!drive && !share) {
        // Relative: made absolute by the system, which then gets the prefix
        // too so that a long relative path works as well.
        const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        if (needed == 0) {
            return wide;
        }
        std::wstring full(needed, L'\0');
        const DWORD written = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
        if (written == 0 || written >= needed) {
            return wide;
        }
        full.resize(written);
        if (full.size() < 3 || full[1] != L':') {
            return wide;
        }
        wide = std::move(full);
    }
    // The prefix turns off the system's cleaning of the path: separators
    // must be backslashes and "." or ".." steps are taken literally, so the
    // path is cleaned here first.
    for (wchar_t& c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::wstring full(needed, L'\0');
        const DWORD written = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
        if (written != 0 && written < needed) {
            full.resize(written);
            wide = std::move(full);
        }
    }
    if (wide.size() >= 2 && wide[0] == L'\\' && wide[1] == L'\\') {
        return L"\\\\?\\UNC\\" + wide.substr(2);
    }
    return L"\\\\?\\" + wide;
}

std::string ErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length != 0 && buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
    if (buffer != nullptr) {
        ::LocalFree(buffer);
    }
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(code) : Narrow(text);
}

std::string Describe(const char* what, const std::string& path, DWORD code)
{
    return std::string(what) + " '" + path + "': " + ErrorText(code);
}

int ErrnoOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_WRITE_PROTECT: return EROFS;
    default: return EIO;
    }
}

} // namespace tarvelin::platform::win32
