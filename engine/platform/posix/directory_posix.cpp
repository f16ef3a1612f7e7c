// Folders and file facts on POSIX. Links are followed, so a link to a
// folder lists as a folder; a link that leads nowhere (dangling, or a loop
// of links, which the kernel cuts off with ELOOP) lists as what it is
// itself, so a listing never stops or spins on it.
//
// A listing looks at each entry itself first (one statx without following)
// and only a link costs more: its target is read and the target looked up.
// So DirectorySearch tells every link for what it is (isSymlink, linkTarget)
// while describing it by its target, whatever the file system says of the
// entry's type in the folder listing.

#include "platform/directory.h"

#include "platform/path.h"
#include "platform/posix/file_times_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

std::string Describe(const char* what, const std::string& path, int error)
{
    return std::string(what) + " '" + path + "': " + std::strerror(error);
}

void Report(std::string* error, const char* what, const std::string& path, int code)
{
    if (error != nullptr) {
        *error = Describe(what, path, code);
    }
}

FileTime ToFileTime(std::int64_t seconds, std::uint32_t nanoseconds)
{
    const std::int64_t since1601 = seconds + kFileTimeEpochOffsetSeconds;
    if (since1601 < 0) {
        return 0;
    }
    return static_cast<FileTime>(since1601) * kFileTimeTicksPerSecond + nanoseconds / 100;
}

// Reads the facts of dirFd/path (dirFd may be AT_FDCWD) into info, all but
// the name. statx gives the birth time where the file system keeps one; on
// kernels without statx plain stat stands in.
int StatInto(int dirFd, const char* path, bool follow, FileInfo& info)
{
    const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    std::uint32_t mode = 0;
    struct statx extended {};
    if (::statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
        mode = extended.stx_mode;
        info.size = extended.stx_size;
        info.modificationTime = ToFileTime(extended.stx_mtime.tv_sec, extended.stx_mtime.tv_nsec);
        // Some file systems claim a birth time and leave it at zero.
        const bool hasBirth = (extended.stx_mask & STATX_BTIME) != 0
            && (extended.stx_btime.tv_sec != 0 || extended.stx_btime.tv_nsec != 0);
        info.creationTime = hasBirth ? ToFileTime(extended.stx_btime.tv_sec, extended.stx_btime.tv_nsec)
                                     : info.modificationTime;
        info.volumeId = (static_cast<std::uint64_t>(extended.stx_dev_major) << 32) | extended.stx_dev_minor;
        info.fileId = extended.stx_ino;
        info.uid = extended.stx_uid;
        info.gid = extended.stx_gid;
        info.links = extended.stx_nlink;
        info.accessTime = ToFileTime(extended.stx_atime.tv_sec, extended.stx_atime.tv_nsec);
        info.changeTime = ToFileTime(extended.stx_ctime.tv_sec, extended.stx_ctime.tv_nsec);
    } else if (errno == ENOSYS) {
        struct stat plain {};
        if (::fstatat(dirFd, path, &plain, flags) != 0) {
            return errno;
        }
        mode = plain.st_mode;
        info.size = static_cast<std::uint64_t>(plain.st_size);
        info.modificationTime = ToFileTime(plain.st_mtim.tv_sec, static_cast<std::uint32_t>(plain.st_mtim.tv_nsec));
        info.creationTime = info.modificationTime;
        info.volumeId = static_cast<std::uint64_t>(plain.st_dev);
        info.fileId = static_cast<std::uint64_t>(plain.st_ino);
        info.uid = plain.st_uid;
        info.gid = plain.st_gid;
        info.links = static_cast<std::uint32_t>(plain.st_nlink);
        info.accessTime = ToFileTime(plain.st_atim.tv_sec, static_cast<std::uint32_t>(plain.st_atim.tv_nsec));
        info.changeTime = ToFileTime(plain.st_ctim.tv_sec, static_cast<std::uint32_t>(plain.st_ctim.tv_nsec));
    } else {
        return errno;
    }
    info.posixKnown = true;
    info.mode = mode;
    info.isSymlink = false;
    info.linkTarget.clear();
    info.isDirectory = S_ISDIR(mode);
    info.isSpecial = !S_ISDIR(mode) && !S_ISREG(mode);
    info.attributes = 0;
    if (info.isDirectory) {
        info.size = 0;
        info.attributes |= kAttributeDirectory;
    } else if (S_ISREG(mode)) {
        // No archive bit exists here; a file counts as not yet backed up,
        // which is how fresh files look where the bit exists.
        info.attributes |= kAttributeArchive;
    }
    if ((mode & S_IWUSR) == 0) {
        info.attributes |= kAttributeReadOnly;
    }
    info.shortName.clear();
    return 0;
}

// The target of the link dirFd/path; false when it cannot be read.
bool ReadLinkTarget(int dirFd, const char* path, std::uint64_t sizeHint, std::string& target)
{
    // The size lstat gives is the target's length, except on file systems
    // that report 0 (/proc): grow until the target fits.
    std::string buffer(std::max<std::uint64_t>(sizeHint, 64) + 1, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(dirFd, path, buffer.data(), buffer.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            target = std::move(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The entry itself, then, for a link, its target: a link is described by
// its target with isSymlink and linkTarget set; where the link leads
// nowhere, by itself.
int StatEntry(int dirFd, const char* path, FileInfo& info)
{
    FileInfo self;
    const int error = StatInto(dirFd, path, false, self);
    if (error != 0 || !S_ISLNK(self.mode)) {
        info = std::move(self);
        return error;
    }
    std::string target;
    const bool targetRead = ReadLinkTarget(dirFd, path, self.size, target);
    // A target that cannot be looked up (missing, a loop, a file where a
    // folder should be, a name too long) leaves the link itself to describe:
    // it is there, and a listing that skipped it would lose it unreported.
    if (StatInto(dirFd, path, true, info) != 0) {
        info = std::move(self);
    }
    info.isSymlink = targetRead;
    info.linkTarget = std::move(target);
    return 0;
}

void FinishAttributes(FileInfo& info)
{
    // Names starting with a dot are hidden by convention; "." and ".."
    // (a path given as such) are folders like any other.
    if (!info.name.empty() && info.name.front() == '.' && info.name != "." && info.name != "..") {
        info.attributes |= kAttributeHidden;
    }
    if (info.attributes == 0) {
        info.attributes = kAttributeNormal;
    }
}

} // namespace

struct DirectorySearch::State {
    DIR* dir = nullptr;
    std::string folder;
};

DirectorySearch::DirectorySearch() = default;

DirectorySearch::~DirectorySearch() { Close(); }

bool DirectorySearch::Open(const std::string& folder)
{
    Close();
    lastError_.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        lastError_ = Describe("cannot list", folder, errno);
        return false;
    }
    state_ = std::make_unique<State>();
    state_->dir = dir;
    state_->folder = folder;
    return true;
}

bool DirectorySearch::Next(FileInfo& info)
{
    if (!state_) {
        lastError_ = "no folder is being listed";
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(state_->dir);
        if (entry == nullptr) {
            if (errno != 0) {
                lastError_ = Describe("cannot list", state_->folder, errno);
            }
            return false;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        FileInfo found;
        // An entry removed between the listing and the look-up is no
        // longer there to report.
        if (StatEntry(::dirfd(state_->dir), name, found) != 0) {
            continue;
        }
        found.name = name;
        FinishAttributes(found);
        info = std::move(found);
        return true;
    }
}

void DirectorySearch::Close()
{
    if (state_ && state_->dir != nullptr) {
        ::closedir(state_->dir);
    }
    state_.reset();
}

std::string NameOfPath(const std::string& path)
{
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && IsPathSeparator(trimmed.back())) {
        trimmed.remove_suffix(1);
    }
    return trimmed == "/" ? std::string(trimmed) : std::string(FileNameOf(trimmed));
}

bool GetFileInfo(const std::string& path, FileInfo& info, std::string* error)
{
    FileInfo found;
    const int code = StatInto(AT_FDCWD, path.c_str(), true, found);
    if (code != 0) {
        Report(error, "cannot read", path, code);
        return false;
    }
    found.name = NameOfPath(path);
    FinishAttributes(found);
    info = std::move(found);
    return true;
}

bool GetLinkInfo(const std::string& path, FileInfo& info, std::string* error)
{
    FileInfo found;
    int code = StatInto(AT_FDCWD, path.c_str(), false, found);
    if (code == 0 && S_ISLNK(found.mode)) {
        found.isSymlink = ReadLinkTarget(AT_FDCWD, path.c_str(), found.size, found.linkTarget);
        code = found.isSymlink ? 0 : errno;
    }
    if (code != 0) {
        Report(error, "cannot read", path, code);
        return false;
    }
    found.name = NameOfPath(path);
    FinishAttributes(found);
    info = std::move(found);
    return true;
}

bool MakeSymlink(const std::string& target, const std::string& path, std::string* error)
{
    if (::symlink(target.c_str(), path.c_str()) == 0) {
        return true;
    }
    Report(error, "cannot create the symbolic link", path, errno);
    return false;
}

bool MakeFifo(const std::string& path, std::uint32_t mode, std::string* error)
{
    if (::mkfifo(path.c_str(), static_cast<mode_t>(mode & 0777)) == 0) {
        return true;
    }
    Report(error, "cannot create the named pipe", path, errno);
    return false;
}

bool SetFileMode(const std::string& path, std::uint32_t mode, std::string* error)
{
    const auto permissions = static_cast<mode_t>(mode & 07777);
    if (::fchmodat(AT_FDCWD, path.c_str(), permissions, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
    }
    int code = errno;
    // The C library refuses the no-follow form for a link, and older ones
    // for every path. A link is refused here too; anything else is opened
    // without following and changed through its descriptor.
    if (code == EOPNOTSUPP || code == ENOTSUP) {
        struct stat self {};
        if (::lstat(path.c_str(), &self) == 0 && S_ISLNK(self.st_mode)) {
            if (error != nullptr) {
                *error = "'" + path + "' is a symbolic link; its permissions are not changed";
            }
            return false;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            const bool changed = ::fchmod(fd, permissions) == 0;
            code = errno;
            ::close(fd);
            if (changed) {
                return true;
            }
        } else {
            code = errno;
        }
    }
    Report(error, "cannot set the permissions of", path, code);
    return false;
}

bool PathExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakePrivateFolder(const std::string& path, std::string* error)
{
    // mkdir honours the umask, which can only take bits away from 0700.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        Report(error, "cannot create the folder", path, errno);
        return false;
    }
    struct stat facts {};
    if (::lstat(path.c_str(), &facts) != 0) {
        Report(error, "cannot look at the folder", path, errno);
        return false;
    }
    const char* wrong = nullptr;
    if (S_ISLNK(facts.st_mode)) {
        wrong = "it is a link";
    } else if (!S_ISDIR(facts.st_mode)) {
        wrong = "it is not a folder";
    } else if (facts.st_uid != ::geteuid()) {
        wrong = "it belongs to another user";
    } else if ((facts.st_mode & 07777) != 0700) {
        wrong = "others may use it (its mode is not 0700)";
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
    // Only an absolute setting is taken; a relative one would depend on the
    // working folder.
    const auto setting = [](const char* variable) {
        const char* value = std::getenv(variable);
        return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
    };
    std::string path;
    if (const std::string runtime = setting("XDG_RUNTIME_DIR"); !runtime.empty()) {
        path = runtime + "/" + name;
    } else {
        std::string temporary = setting("TMPDIR");
        if (temporary.empty()) {
            temporary = "/tmp";
        }
        path = temporary + "/" + name + "-" + std::to_string(::geteuid());
    }
    if (!MakePrivateFolder(path, error)) {
        return {};
    }
    return path;
}

bool MakeDirectory(const std::string& path, std::string* error)
{
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    const int code = errno;
    if (code == EEXIST && IsDirectory(path)) {
        return true;
    }
    Report(error, "cannot create the folder", path, code);
    return false;
}

bool RemoveDirectory(const std::string& path, std::string* error)
{
    if (::rmdir(path.c_str()) == 0) {
        return true;
    }
    Report(error, "cannot remove the folder", path, errno);
    return false;
}

bool RemoveFile(const std::string& path, std::string* error)
{
    if (::unlink(path.c_str()) == 0) {
        return true;
    }
    Report(error, "cannot remove", path, errno);
    return false;
}

bool RenameFile(const std::string& from, const std::string& to, bool replace, std::string* error)
{
    // errno stays the reason, for callers that word their own message.
    const auto fail = [&](int code) {
        if (error != nullptr) {
            *error = "cannot rename '" + from + "' to '" + to + "': " + std::strerror(code);
        }
        errno = code;
        return false;
    };
    if (replace) {
        return ::rename(from.c_str(), to.c_str()) == 0 || fail(errno);
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return fail(errno);
    }
    // File systems that cannot refuse in the rename itself (network mounts):
    // a second link fails the same way on a name that is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
        return fail(errno);
    }
    // Neither (no hard links either): a look first, then the rename.
    struct stat taken {};
    if (::lstat(to.c_str(), &taken) == 0) {
        return fail(EEXIST);
    }
    return ::rename(from.c_str(), to.c_str()) == 0 || fail(errno);
}

bool SetFileTime(const std::string& path, FileTime modification, std::string* error)
{
    const SystemFileTimes times = ToSystemFileTimes(modification);
    if (::utimensat(AT_FDCWD, path.c_str(), times.times, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
    }
    Report(error, "cannot set the time of", path, errno);
    return false;
}

} // namespace tarvelin::platform
