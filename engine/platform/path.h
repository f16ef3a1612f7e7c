#pragma once

// Paths in the system's narrow code page, with the platform's separators.

#include "platform/export.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin::platform {

// The separator the platform writes.
TARVELIN_API char PathSeparator();
// True for every character the platform accepts as a separator.
TARVELIN_API bool IsPathSeparator(char c);
TARVELIN_API bool ContainsPathSeparator(std::string_view path);
// True when the system takes name, put after a folder and a separator, for
// an entry of that folder itself: no separator, and on Windows no ":" (a
// drive or a file's stream), no trailing dot or space, which the system
// drops (so that "a." is "a", and ".. " is ".."), and no device's name
// ("CON", "nul.txt").
TARVELIN_API bool IsPlainName(std::string_view name);
// True when path starts at a root ("/a" on POSIX; "C:\a", "C:a" or "\a" on
// Windows), so it does not lie below the folder it is read against.
TARVELIN_API bool HasRoot(std::string_view path);
// The name as the system stores it for an entry of a folder, read back.
// Windows keeps names as UTF-16, so bytes that are not UTF-8 come back as
// U+FFFD; POSIX systems keep the bytes.
TARVELIN_API std::string StoredName(std::string_view name);
// True when the two paths, as written, name one entry: equal, or on Windows
// equal without regard to case, as its file systems compare names.
TARVELIN_API bool SamePathName(std::string_view a, std::string_view b);

// A path written on Windows (the FILE name of a CUE sheet) in this
// platform's terms: on POSIX a backslash is a folder separator there too.
TARVELIN_API std::string PathFromWindows(std::string_view path);

// folder + separator + name, without doubling a separator.
TARVELIN_API std::string JoinPath(std::string_view folder, std::string_view name);
// The part after the last separator ("a/b.iso" -> "b.iso").
TARVELIN_API std::string_view FileNameOf(std::string_view path);
// The part before the last separator, without it ("a/b.iso" -> "a"; "b.iso" -> "");
// the root keeps its separator ("/b.iso" -> "/").
TARVELIN_API std::string_view FolderOf(std::string_view path);
// The file name's extension from its last "." on ("b.iso" -> ".iso"; none -> "").
TARVELIN_API std::string_view ExtensionOf(std::string_view path);

// path made absolute against the current folder, without "." or ".." steps
// or a trailing separator; path itself when that cannot be done.
TARVELIN_API std::string AbsolutePath(const std::string& path);

// The system's folder for temporary files, without a trailing separator.
TARVELIN_API std::string TempFolder();
// Bytes free for the user on the file system holding path; false when unknown.
TARVELIN_API bool FreeDiskSpace(const std::string& path, std::uint64_t& bytes);

// Which long names of a CD image the platform's own readers show first:
// Windows takes Joliet names, POSIX systems Rock Ridge names.
TARVELIN_API bool PrefersJolietNames();

} // namespace tarvelin::platform
