#include "platform/path.h"

#include "platform/win32/win32_common.h"

namespace tarvelin::platform {

namespace {

// The position of the last separator, or npos.
std::size_t LastSeparator(std::string_view path)
{
    return path.find_last_of("\\/");
}

// The length of the root of path: "C:\" (3), "C:" (2), "\" (1), or 0.
std::size_t RootLength(std::string_view path)
{
    if (path.size() >= 2 && path[1] == ':') {
        return path.size() >= 3 && IsPathSeparator(path[2]) ? 3 : 2;
    }
    return !path.empty() && IsPathSeparator(path[0]) ? 1 : 0;
}

// True for the names the system keeps for its devices in every folder:
// "NUL" or "nul.txt" is the null device, not a file.
bool IsDeviceName(std::string_view name)
{
    std::string base(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
        return true;
    }
    if (!base.starts_with("COM") && !base.starts_with("LPT")) {
        return false;
    }
    // The system counts the superscript digits of Latin-1 too: "COM\u00B9" is
    // the first serial port.
    const std::string_view number = std::string_view(base).substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9"
        || number == "\xC2\xB2" || number == "\xC2\xB3";
}

} // namespace

char PathSeparator() { return '\\'; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool ContainsPathSeparator(std::string_view path)
{
    return LastSeparator(path) != std::string_view::npos;
}

bool IsPlainName(std::string_view name)
{
    if (name.find_first_of("\\/:") != std::string_view::npos) {
        return false;
    }
    // The system drops trailing dots and spaces from every step of a path:
    // "a." is the file "a", and ". ", ".. " or "..." is "." or "..".
    return !name.empty() && name.back() != '.' && name.back() != ' ' && !IsDeviceName(name);
}

bool HasRoot(std::string_view path) { return RootLength(path) > 0; }

std::string StoredName(std::string_view name) { return win32::Narrow(win32::Wide(std::string(name))); }

bool SamePathName(std::string_view a, std::string_view b)
{
    const std::wstring wideA = win32::Wide(std::string(a));
    const std::wstring wideB = win32::Wide(std::string(b));
    return CompareStringOrdinal(wideA.c_str(), static_cast<int>(wideA.size()), wideB.c_str(),
                                static_cast<int>(wideB.size()), TRUE)
           == CSTR_EQUAL;
}

std::string PathFromWindows(std::string_view path) { return std::string(path); }

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string joined(folder);
    if (joined.empty()) {
        joined.assign(name);
        return joined;
    }
    const bool folderEnds = IsPathSeparator(joined.back()) || (joined.size() == 2 && joined[1] == ':');
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
    const auto slash = LastSeparator(path);
    if (slash == std::string_view::npos) {
        return path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
    }
    return path.substr(slash + 1);
}

std::string_view FolderOf(std::string_view path)
{
    const auto slash = LastSeparator(path);
    if (slash == std::string_view::npos) {
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string_view{};
    }
    // The root keeps its separator: "C:\a" lies in "C:\", not in "C:".
    const std::size_t root = RootLength(path);
    return slash < root ? path.substr(0, root) : path.substr(0, slash);
}

std::string_view ExtensionOf(std::string_view path)
{
    const std::string_view name = FileNameOf(path);
    const auto dot = name.find_last_of('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

std::string TempFolder()
{
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 2, buffer);
    std::string folder = length != 0 && length <= MAX_PATH + 1 ? win32::Narrow(std::wstring(buffer, length)) : ".";
    while (folder.size() > RootLength(folder) && IsPathSeparator(folder.back())) {
        folder.pop_back();
    }
    return folder;
}

bool FreeDiskSpace(const std::string& path, std::uint64_t& bytes)
{
    // The call wants a folder; a file's own folder answers for it.
    std::wstring wide = win32::WidePath(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        const std::string_view folder = FolderOf(path);
        wide = win32::WidePath(folder.empty() ? std::string(".") : std::string(folder));
    }
    if (!wide.empty() && wide.back() != L'\\') {
        wide += L'\\';
    }
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    bytes = available.QuadPart;
    return true;
}

bool PrefersJolietNames()
{
    return true;
}

std::string AbsolutePath(const std::string& path)
{
    const std::wstring wide = win32::Wide(path);
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    full.resize(written);
    std::string text = win32::Narrow(full);
    while (text.size() > RootLength(text) && IsPathSeparator(text.back())) {
        text.pop_back();
    }
    return text;
}

} // namespace tarvelin::platform
