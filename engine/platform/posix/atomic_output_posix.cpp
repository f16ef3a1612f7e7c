// Temporary outputs on POSIX: the process of a temporary is looked for with
// kill(pid, 0), and "nobody holds it open" is a lock that can be had (every
// File holds one while open, see file.h).

#include "platform/atomic_output.h"

#include "platform/directory.h"
#include "platform/path.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tarvelin::platform {

namespace {

std::string FolderPart(const std::string& path)
{
    const std::string_view folder = FolderOf(path);
    return folder.empty() ? std::string(".") : std::string(folder);
}


// An exclusive lock on the regular file name in dirFd (not through a link,
// never blocking, not waiting on a device); -1 when it is not a regular file
// or someone holds it.
int LockedRegularFile(int dirFd, const char* name)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Where a chain of symbolic links at path ends: the file an output through
// them writes (created there when missing, as opening through the links
// would). A loop ends the search where it is.
std::string FollowLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat self {};
        if (::lstat(path.c_str(), &self) != 0 || !S_ISLNK(self.st_mode)) {
            break;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            break;
        }
        target.resize(static_cast<std::size_t>(length));
        const std::string_view folder = FolderOf(path);
        path = IsPathSeparator(target.front()) || folder.empty() ? target : JoinPath(folder, target);
    }
    return path;
}

} // namespace

bool ProcessGone(std::uint64_t pid)
{
    if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) {
        return true;
    }
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::string TemporaryPathFor(const std::string& finalPath)
{
    const std::string name = TemporaryNameFor(FileNameOf(finalPath), static_cast<std::uint64_t>(::getpid()));
    const std::string_view folder = FolderOf(finalPath);
    return folder.empty() ? name : JoinPath(folder, name);
}

std::size_t RemoveStaleTemporaries(const std::string& folder, std::string_view forName)
{
    DIR* listing = ::opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) {
        return 0;
    }
    const int dirFd = ::dirfd(listing);
    const auto self = static_cast<std::uint64_t>(::getpid());
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::optional<std::uint64_t> pid = TemporaryNameProcess(entry->d_name, forName);
        // A temporary of this process may be one another thread is writing.
        if (!pid || *pid == self || !ProcessGone(*pid)) {
            continue;
        }
        const int fd = LockedRegularFile(dirFd, entry->d_name);
        if (fd < 0) {
            continue;
        }
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(listing);
    return removed;
}

bool AtomicOutput::Open(const std::string& finalPath, ExistingOutput existing, StaleTemporaries stale)
{
    Discard();
    lastError_.clear();
    finalPath_ = finalPath;
    existing_ = existing;
    direct_ = false;
    const auto refuse = [&](int code) {
        return Fail("cannot create '" + finalPath_ + "': " + std::strerror(code));
    };
    struct stat self {};
    const bool present = ::lstat(finalPath.c_str(), &self) == 0;
    if (present && existing == ExistingOutput::Refuse) {
        return refuse(EEXIST);
    }
    if (present && S_ISLNK(self.st_mode) && existing == ExistingOutput::Replace) {
        // Links that end at a device or pipe are written through as they
        // are: /dev/stdout into a pipe ends at a link that reads
        // "pipe:[N]", no path that could be opened.
        struct stat reached {};
        if (::stat(finalPath.c_str(), &reached) != 0 || S_ISREG(reached.st_mode) || S_ISDIR(reached.st_mode)) {
            finalPath_ = FollowLinks(finalPath);
        }
    }
    struct stat target {};
    const bool follow = existing == ExistingOutput::Replace;
    std::optional<std::uint32_t> keptMode;
    if ((follow ? ::stat(finalPath_.c_str(), &target) : ::lstat(finalPath_.c_str(), &target)) == 0) {
        if (S_ISDIR(target.st_mode)) {
            return refuse(EISDIR);
        }
        if (follow && !S_ISREG(target.st_mode)) {
            // A device or pipe: written as it is, nothing to rename onto.
            direct_ = true;
            if (!file_.Open(finalPath_, OpenMode::CreateTruncate)) {
                return false;
            }
            return true;
        }
        if (follow) {
            // A file that may not be written is not replaced either, as it
            // could not have been overwritten.
            if (::faccessat(AT_FDCWD, finalPath_.c_str(), W_OK, AT_EACCESS) != 0) {
                return Fail("cannot open '" + finalPath_ + "': " + std::strerror(errno));
            }
            keptMode = target.st_mode & 07777;
            // Held as an opened file is, so that no program opens it for
            // writing while it is being replaced; one that holds it already
            // refuses the output. Where it cannot be read it is not held.
            const int fd = ::open(finalPath_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd >= 0) {
                if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
                    ::close(fd);
                    return Fail("cannot open '" + finalPath_ + "': the file is in use by another program");
                }
                held_ = fd;
            }
        }
    }
    const std::string folder = FolderPart(finalPath_);
    const std::string_view name = FileNameOf(finalPath_);
    if (stale == StaleTemporaries::Remove) {
        RemoveStaleTemporaries(folder, name);
    }
    const std::string temporary = TemporaryPathFor(finalPath_);
    if (!file_.Open(temporary, OpenMode::CreateNew, finalPath_)) {
        // Left by an earlier process of the same number, and no one's now.
        struct stat left {};
        const bool taken = ::lstat(temporary.c_str(), &left) == 0;
        const int fd = taken ? LockedRegularFile(AT_FDCWD, temporary.c_str()) : -1;
        if (fd < 0) {
            Discard();
            return taken ? Fail("cannot create '" + finalPath_ + "': it is being written already") : false;
        }
        ::unlink(temporary.c_str());
        ::close(fd);
        if (!file_.Open(temporary, OpenMode::CreateNew, finalPath_)) {
            Discard();
            return false;
        }
    }
    // The replacement keeps the permissions of the file it replaces.
    // (The temporary was made by this call: no link can stand in its place.)
    if (keptMode && ::chmod(temporary.c_str(), static_cast<mode_t>(*keptMode)) != 0) {
        const std::string why = "cannot set the permissions of '" + finalPath_ + "': " + std::strerror(errno);
        Discard();
        return Fail(why);
    }
    return true;
}

bool AtomicOutput::Commit()
{
    if (!file_.IsOpen()) {
        return Fail("the output '" + finalPath_ + "' is not open");
    }
    if (!file_.Flush()) {
        const std::string why = file_.LastError();
        Discard();
        return Fail(why);
    }
    return PutInPlace();
}

bool AtomicOutput::PutInPlace()
{
    if (!file_.IsOpen()) {
        return Fail("the output '" + finalPath_ + "' is not open");
    }
    if (direct_) {
        file_.Close();
        return true;
    }
    if (!RenameFile(file_.Path(), finalPath_, existing_ != ExistingOutput::Refuse)) {
        const int code = errno;
        Discard();
        return Fail((code == EEXIST ? "cannot create '" : "cannot rename the finished file to '") + finalPath_
                    + "': " + std::strerror(code));
    }
    file_.Close();
    if (held_ >= 0) {
        ::close(static_cast<int>(held_));
        held_ = -1;
    }
    return true;
}

OutputBatch::~OutputBatch() = default; // each output left removes its temporary

bool OutputBatch::Add(AtomicOutput&& output, std::uint64_t bytes)
{
    outputs_.push_back(std::move(output));
    bytes_ += bytes;
    return outputs_.size() >= kMaxOutputs || bytes_ >= kMaxBytes;
}

void OutputBatch::Flush()
{
    // One flush of each file system the outputs lie on; where that cannot
    // be had, each file on its own. An output whose flush fails is dropped
    // (its temporary removed), so that its rename fails and says why.
    std::vector<std::uint64_t> flushed;
    for (AtomicOutput& output : outputs_) {
        if (!output.file_.IsOpen()) {
            continue;
        }
        FileInfo info;
        const bool known = GetFileInfo(output.WritingPath(), info);
        if (known && std::find(flushed.begin(), flushed.end(), info.volumeId) != flushed.end()) {
            continue;
        }
        if (known && output.file_.FlushFileSystem()) {
            flushed.push_back(info.volumeId);
            continue;
        }
        if (!output.file_.Flush()) {
            const std::string why = output.file_.LastError();
            output.Discard();
            output.Fail(why);
        }
    }
}

void AtomicOutput::Discard()
{
    if (file_.IsOpen()) {
        const std::string temporary = file_.Path();
        file_.Close();
        if (!direct_) {
            ::unlink(temporary.c_str());
        }
    }
    if (held_ >= 0) {
        ::close(static_cast<int>(held_));
        held_ = -1;
    }
}

} // namespace tarvelin::platform
