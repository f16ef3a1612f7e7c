#include "platform/path.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/statvfs.h>

namespace tarvelin::platform {

char PathSeparator() { return '/'; }

bool IsPathSeparator(char c) { return c == '/'; }

bool ContainsPathSeparator(std::string_view path)
{
    return path.find('/') != std::string_view::npos;
}

bool IsPlainName(std::string_view name) { return !ContainsPathSeparator(name); }

bool HasRoot(std::string_view path) { return !path.empty() && path.front() == '/'; }

std::string StoredName(std::string_view name) { return std::string(name); }

bool SamePathName(std::string_view a, std::string_view b) { return a == b; }

std::string PathFromWindows(std::string_view path)
{
    std::string native(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string joined(folder);
    if (joined.empty()) {
        joined.assign(name);
        return joined;
    }
    const bool folderEnds = IsPathSeparator(joined.back());
    const bool nameStarts = !name.empty() && IsPathSeparator(name.front());
    if (folderEnds && nameStarts) {
        name.remove_prefix(1);
    } else if (!folderEnds && !nameStarts) {
        joined += PathSeparator();
    }
    joined.append(name);
    return joined;
}

std::string_view FileNameOf(std::string_view path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view FolderOf(std::string_view path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    // The root keeps its separator: "/a" lies in "/", not in "".
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string_view ExtensionOf(std::string_view path)
{
    const std::string_view name = FileNameOf(path);
    const auto dot = name.find_last_of('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

std::string TempFolder()
{
    std::string folder;
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
        folder = tmpdir;
    } else {
        folder = "/tmp";
    }
    while (folder.size() > 1 && IsPathSeparator(folder.back())) {
        folder.pop_back();
    }
    return folder;
}

bool FreeDiskSpace(const std::string& path, std::uint64_t& bytes)
{
    struct statvfs info {};
    int result = 0;
    do {
        result = ::statvfs(path.c_str(), &info);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
    return true;
}

std::string AbsolutePath(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        return path;
    }
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

bool PrefersJolietNames()
{
    return false;
}

} // namespace tarvelin::platform
