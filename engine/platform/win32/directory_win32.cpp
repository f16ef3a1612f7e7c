// Folders and file facts on Windows. Reparse points (symbolic links and
// junctions) are never followed: a listing describes them as what they are
// themselves, so a walk cannot be led out of the tree or round in a loop by
// them. The file id and volume serial number name each file for the walks
// that look for loops all the same.

#include "platform/directory.h"

#include "platform/path.h"
#include "platform/win32/win32_common.h"

// windows.h names a function of its own RemoveDirectory by a macro, which
// would rename ours in this file (and leave callers without it).
#undef RemoveDirectory

#include <cerrno>
#include <cstdlib>
#include <sddl.h>

namespace tarvelin::platform {

namespace {

using win32::Describe;
using win32::WidePath;

void Report(std::string* error, const char* what, const std::string& path, DWORD code)
{
    if (error != nullptr) {
        *error = Describe(what, path, code);
    }
}

void FillFromAttributes(DWORD attributes, FileInfo& info)
{
    const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !reparse;
    // A link is not followed, so it holds nothing to copy.
    info.isSpecial = reparse || (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    info.isSymlink = false;
    info.linkTarget.clear();
    info.posixKnown = false;
    std::uint32_t kept = attributes & (kAttributeReadOnly | kAttributeHidden | kAttributeArchive);
    // The system bit is recorded as hidden: both keep an entry out of sight.
    if ((attributes & FILE_ATTRIBUTE_SYSTEM) != 0) {
        kept |= kAttributeHidden;
    }
    if (info.isDirectory) {
        kept |= kAttributeDirectory;
        info.size = 0;
    }
    info.attributes = kept == 0 ? kAttributeNormal : kept;
}

// The facts of path itself, through a handle that does not follow a
// reparse point.
bool ReadFacts(const std::string& path, FileInfo& info, DWORD& code)
{
    const std::wstring wide = WidePath(path);
    HANDLE handle = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        code = ::GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    const bool read = ::GetFileInformationByHandle(handle, &facts) != 0;
    code = read ? 0 : ::GetLastError();
    ::CloseHandle(handle);
    if (!read) {
        return false;
    }
    info.size = (static_cast<std::uint64_t>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow;
    info.creationTime = win32::FromFiletime(facts.ftCreationTime);
    info.modificationTime = win32::FromFiletime(facts.ftLastWriteTime);
    info.accessTime = win32::FromFiletime(facts.ftLastAccessTime);
    info.changeTime = info.modificationTime;
    info.volumeId = facts.dwVolumeSerialNumber;
    info.fileId = (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    info.links = facts.nNumberOfLinks;
    FillFromAttributes(facts.dwFileAttributes, info);
    return true;
}

std::string NameOfPath(const std::string& path)
{
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && IsPathSeparator(trimmed.back())) {
        trimmed.remove_suffix(1);
    }
    return std::string(FileNameOf(trimmed));
}

} // namespace

struct DirectorySearch::State {
    HANDLE find = INVALID_HANDLE_VALUE;
    std::string folder;
    WIN32_FIND_DATAW pending{};
    bool hasPending = false;
};

DirectorySearch::DirectorySearch() = default;

DirectorySearch::~DirectorySearch() { Close(); }

bool DirectorySearch::Open(const std::string& folder)
{
    Close();
    lastError_.clear();
    auto state = std::make_unique<State>();
    const std::wstring pattern = WidePath(JoinPath(folder, "*"));
    state->find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &state->pending, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (state->find == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_FILE_NOT_FOUND || !IsDirectory(folder)) {
            lastError_ = Describe("cannot list", folder, code);
            return false;
        }
    } else {
        state->hasPending = true;
    }
    state->folder = folder;
    state_ = std::move(state);
    return true;
}

bool DirectorySearch::Next(FileInfo& info)
{
    if (!state_) {
        lastError_ = "no folder is being listed";
        return false;
    }
    for (;;) {
        if (!state_->hasPending) {
            if (state_->find == INVALID_HANDLE_VALUE || !::FindNextFileW(state_->find, &state_->pending)) {
                const DWORD code = ::GetLastError();
                if (state_->find != INVALID_HANDLE_VALUE && code != ERROR_NO_MORE_FILES) {
                    lastError_ = Describe("cannot list", state_->folder, code);
                }
                return false;
            }
        }
        state_->hasPending = false;
        const WIN32_FIND_DATAW& entry = state_->pending;
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        FileInfo found;
        found.name = win32::Narrow(name);
        DWORD code = 0;
        if (!ReadFacts(JoinPath(state_->folder, found.name), found, code)) {
            // An entry removed between the listing and the look-up is no
            // longer there to report; one that cannot be opened even for its
            // attributes is described by the listing (without a file id).
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
                continue;
            }
            found.size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            found.creationTime = win32::FromFiletime(entry.ftCreationTime);
            found.modificationTime = win32::FromFiletime(entry.ftLastWriteTime);
            found.accessTime = win32::FromFiletime(entry.ftLastAccessTime);
            found.changeTime = found.modificationTime;
            FillFromAttributes(entry.dwFileAttributes, found);
        }
        info = std::move(found);
        return true;
    }
}

void DirectorySearch::Close()
{
    if (state_ && state_->find != INVALID_HANDLE_VALUE) {
        ::FindClose(state_->find);
    }
    state_.reset();
}

bool GetFileInfo(const std::string& path, FileInfo& info, std::string* error)
{
    FileInfo found;
    DWORD code = 0;
    if (!ReadFacts(path, found, code)) {
        Report(error, "cannot read", path, code);
        return false;
    }
    found.name = NameOfPath(path);
    info = std::move(found);
    return true;
}

bool GetLinkInfo(const std::string& path, FileInfo& info, std::string* error)
{
    // Links are described as themselves by GetFileInfo already.
    return GetFileInfo(path, info, error);
}

bool MakeSymlink(const std::string& target, const std::string& path, std::string* error)
{
    std::wstring wideTarget = win32::Wide(target);
    for (wchar_t& c : wideTarget) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    const std::wstring widePath = WidePath(path);
    if (::CreateSymbolicLinkW(widePath.c_str(), wideTarget.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        return true;
    }
    Report(error, "cannot create the symbolic link", path, ::GetLastError());
    return false;
}

bool MakeFifo(const std::string& path, std::uint32_t, std::string* error)
{
    if (error != nullptr) {
        *error = "cannot create the named pipe '" + path + "': Windows keeps no named pipes in its file systems";
    }
    return false;
}

bool SetFileMode(const std::string& path, std::uint32_t mode, std::string* error)
{
    // The one permission Windows keeps as a bit: writable by the owner.
    const std::wstring wide = WidePath(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Report(error, "cannot set the permissions of", path, ::GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (error != nullptr) {
            *error = "'" + path + "' is a symbolic link; its permissions are not changed";
        }
        return false;
    }
    const DWORD wanted = (mode & 0200) != 0 ? attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)
                                            : attributes | FILE_ATTRIBUTE_READONLY;
    if (wanted == attributes || ::SetFileAttributesW(wide.c_str(), wanted)) {
        return true;
    }
    Report(error, "cannot set the permissions of", path, ::GetLastError());
    return false;
}

bool PathExists(const std::string& path)
{
    return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::string& path, std::string* error)
{
    if (::CreateDirectoryW(WidePath(path).c_str(), nullptr)) {
        return true;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS && IsDirectory(path)) {
        return true;
    }
    Report(error, "cannot create the folder", path, code);
    return false;
}

bool MakePrivateFolder(const std::string& path, std::string* error)
{
    // Full control for the owner alone, nothing inherited from the parent.
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;OW)", SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        Report(error, "cannot create the folder", path, ::GetLastError());
        return false;
    }
    security.lpSecurityDescriptor = descriptor;
    const std::wstring wide = WidePath(path);
    const bool made = ::CreateDirectoryW(wide.c_str(), &security) != 0;
    const DWORD code = made ? 0 : ::GetLastError();
    ::LocalFree(descriptor);
    if (!made && code != ERROR_ALREADY_EXISTS) {
        Report(error, "cannot create the folder", path, code);
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    const char* wrong = nullptr;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Report(error, "cannot look at the folder", path, ::GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        wrong = "it is a link";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        wrong = "it is not a folder";
    }
    if (wrong != nullptr) {
        if (error != nullptr) {
            *error = "the folder '" + path + "' is not private: " + wrong;
        }
        return false;
    }
    return true;
}

std::string PrivateTemporaryFolder(const std::string& name, std::string* error)
{
    // The temporary folder of Windows lies in the user's own profile
    // already; the user's name keeps two accounts apart where TMP is shared.
    std::string path = TempFolder();
    wchar_t user[257] = {};
    DWORD length = 257;
    std::string suffix;
    if (::GetUserNameW(user, &length) && length > 1) {
        suffix = "-" + win32::Narrow(std::wstring(user, length - 1));
    }
    path = JoinPath(path, name + suffix);
    if (!MakePrivateFolder(path, error)) {
        return {};
    }
    return path;
}

bool RemoveDirectory(const std::string& path, std::string* error)
{
    if (::RemoveDirectoryW(WidePath(path).c_str())) {
        return true;
    }
    Report(error, "cannot remove the folder", path, ::GetLastError());
    return false;
}

bool RemoveFile(const std::string& path, std::string* error)
{
    if (::DeleteFileW(WidePath(path).c_str())) {
        return true;
    }
    Report(error, "cannot remove", path, ::GetLastError());
    return false;
}

bool RenameFile(const std::string& from, const std::string& to, bool replace, std::string* error)
{
    // MoveFileExW without MOVEFILE_REPLACE_EXISTING refuses a taken name in
    // the same step; with it, a file (or link) is replaced and a folder
    // refuses. errno carries the reason for callers that word their own.
    const std::wstring wideTo = WidePath(to);
    const DWORD attributes = ::GetFileAttributesW(wideTo.c_str());
    DWORD code = 0;
    if (replace && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
        && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        code = ERROR_ACCESS_DENIED;
    } else if (::MoveFileExW(WidePath(from).c_str(), wideTo.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        return true;
    } else {
        code = ::GetLastError();
    }
    if (error != nullptr) {
        *error = "cannot rename '" + from + "' to '" + to + "': " + win32::ErrorText(code);
    }
    errno = win32::ErrnoOf(code);
    return false;
}

bool SetFileTime(const std::string& path, FileTime modification, std::string* error)
{
    HANDLE handle = ::CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const FILETIME time = win32::ToFiletime(modification);
    if (handle != INVALID_HANDLE_VALUE && ::SetFileTime(handle, nullptr, &time, &time)) {
        ::CloseHandle(handle);
        return true;
    }
    const DWORD code = ::GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    Report(error, "cannot set the time of", path, code);
    return false;
}

} // namespace tarvelin::platform
