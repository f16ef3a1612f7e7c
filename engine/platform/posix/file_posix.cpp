#include "platform/file.h"

#include "platform/posix/file_times_posix.h"

#include <cerrno>
#include <algorithm>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// Largest single read or write handed to the kernel; it caps at about 2 GiB.
constexpr std::size_t kMaxChunk = 1u << 30;

bool FitsOffset(std::uint64_t position)
{
    return position <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

} // namespace

void File::Fail(const char* what)
{
    const int error = errno;
    lastReason_ = std::strerror(error);
    lastError_ = std::string(what) + " '" + shown_ + "': " + lastReason_;
}

bool File::Open(const std::string& path, OpenMode mode, std::string_view shownAs)
{
    Close();
    path_ = path;
    shown_ = shownAs.empty() ? path : std::string(shownAs);
    lastError_.clear();
    lastReason_.clear();
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::ReadOnly: flags |= O_RDONLY; break;
    case OpenMode::ReadShared: flags |= O_RDONLY; break;
    // Emptied only once the lock is held (below): truncating at open would
    // destroy a file that another user holds and that we then refuse.
    // A pipe is opened for writing alone: a reading end held here as well
    // would keep it open when its reader goes, and the writes would wait
    // for ever instead of failing.
    case OpenMode::CreateTruncate: {
        struct stat existing {};
        const bool pipe = ::stat(path.c_str(), &existing) == 0 && S_ISFIFO(existing.st_mode);
        flags |= (pipe ? O_WRONLY : O_RDWR) | O_CREAT;
        break;
    }
    // O_EXCL refuses whatever is there, links included, without following
    // them; O_NOFOLLOW says the same where O_EXCL is not honoured.
    case OpenMode::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    }
    const bool fresh = mode == OpenMode::CreateNew;
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        Fail(fresh ? "cannot create" : "cannot open");
        return false;
    }
    // A file made by this call is no folder and is empty: the two looks at
    // its state below are for files that were there.
    struct stat info {};
    if (!fresh && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        Fail("cannot open");
        return false;
    }
    // Exclusive use while open. File systems without locks (some network
    // mounts) are used without one rather than refused. A character device,
    // pipe or socket (/dev/null, /dev/full, a terminal) is shared by nature:
    // two programs writing /dev/null at once both go on.
    const bool sharedByNature =
        !fresh && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
    const int lock = mode == OpenMode::ReadShared ? LOCK_SH : LOCK_EX;
    if (!sharedByNature && ::flock(fd, lock | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP
        && errno != ENOSYS) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        if (busy) {
            lastReason_ = "the file is in use by another program";
            lastError_ = "cannot open '" + shown_ + "': " + lastReason_;
        } else {
            Fail("cannot lock");
        }
        return false;
    }
    // A file that is empty already is left alone: truncating it anyway makes
    // some file systems (ext4) force all data written later to the disk when
    // the file is closed, as if an old file were being replaced.
    struct stat locked {};
    if (mode == OpenMode::CreateTruncate && !(::fstat(fd, &locked) == 0 && locked.st_size == 0)
        && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        Fail("cannot empty");
        return false;
    }
    handle_ = fd;
    writable_ = mode != OpenMode::ReadOnly && mode != OpenMode::ReadShared;
    position_ = 0;
    return true;
}

void File::Close()
{
    if (handle_ != kNoHandle) {
        ::close(Fd(handle_)); // also releases the lock
        handle_ = kNoHandle;
    }
    writable_ = false;
    position_ = 0;
}

bool File::Seek(std::uint64_t position)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (!FitsOffset(position)) {
        errno = EINVAL;
        Fail("cannot position in");
        return false;
    }
    position_ = position;
    return true;
}

std::size_t File::ReadAt(std::uint64_t position, void* buffer, std::size_t count)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return 0;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        if (!FitsOffset(position + done)) {
            errno = EINVAL;
            Fail("cannot read");
            break;
        }
        const std::size_t chunk = std::min(count - done, kMaxChunk);
        const ssize_t got = ::pread(Fd(handle_), bytes + done, chunk, static_cast<off_t>(position + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("cannot read");
            break;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool File::WriteAt(std::uint64_t position, const void* buffer, std::size_t count)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (!writable_) {
        lastError_ = "cannot write '" + shown_ + "': the file is open read-only";
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        if (!FitsOffset(position + done)) {
            errno = EFBIG;
            Fail("cannot write");
            return false;
        }
        const std::size_t chunk = std::min(count - done, kMaxChunk);
        ssize_t put = ::pwrite(Fd(handle_), bytes + done, chunk, static_cast<off_t>(position + done));
        if (put < 0 && errno == ESPIPE) {
            // A pipe has no positions: its bytes go in the order written.
            put = ::write(Fd(handle_), bytes + done, chunk);
        }
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("cannot write");
            return false;
        }
        if (put == 0) {
            errno = ENOSPC;
            Fail("cannot write");
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool File::CopyFrom(File& source, std::uint64_t count, std::uint64_t& copied)
{
    copied = 0;
    if (!IsOpen() || !source.IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (!writable_) {
        lastError_ = "cannot write '" + shown_ + "': the file is open read-only";
        return false;
    }
    const auto failCopy = [&](int error) {
        lastError_ = "cannot copy '" + source.shown_ + "' into '" + shown_ + "': " + std::strerror(error);
        return false;
    };
    // In the kernel first: one copy of the data instead of two, and none at
    // all where the file system can share blocks.
    while (copied < count) {
        if (!FitsOffset(source.position_ + (count - copied)) || !FitsOffset(position_ + (count - copied))) {
            return failCopy(EFBIG);
        }
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, kMaxChunk));
        auto in = static_cast<off_t>(source.position_);
        auto out = static_cast<off_t>(position_);
        const ssize_t done = ::copy_file_range(Fd(source.handle_), &in, Fd(handle_), &out, chunk, 0);
        if (done > 0) {
            source.position_ += static_cast<std::uint64_t>(done);
            position_ += static_cast<std::uint64_t>(done);
            copied += static_cast<std::uint64_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            return failCopy(errno);
        }
        // Not possible between these two files, or no bytes reported: some
        // file systems claim an end they have not reached, so a plain read
        // decides.
        break;
    }
    return CopyThroughBuffer(source, count, copied);
}

bool File::Length(std::uint64_t& length) const
{
    struct stat info {};
    if (!IsOpen() || ::fstat(Fd(handle_), &info) != 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool File::Truncate(std::uint64_t length)
{
    if (!IsOpen() || !FitsOffset(length)) {
        lastError_ = "cannot truncate '" + shown_ + "'";
        return false;
    }
    if (::ftruncate(Fd(handle_), static_cast<off_t>(length)) != 0) {
        Fail("cannot truncate");
        return false;
    }
    return true;
}

bool File::SetTimes(FileTime modification)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    const SystemFileTimes times = ToSystemFileTimes(modification);
    if (::futimens(Fd(handle_), times.times) != 0) {
        Fail("cannot set the time of");
        return false;
    }
    return true;
}

bool File::Flush()
{
    if (!IsOpen()) {
        return false;
    }
    if (::fsync(Fd(handle_)) != 0 && errno != EINVAL && errno != EROFS) {
        Fail("cannot flush");
        return false;
    }
    return true;
}

void File::StartWriteBack(std::uint64_t position, std::uint64_t count)
{
#ifdef __linux__
    if (IsOpen() && writable_ && FitsOffset(position) && FitsOffset(count)) {
        // Failures (a pipe, a file system without the request) change nothing: Flush still pushes everything.
        static_cast<void>(::sync_file_range(Fd(handle_), static_cast<off_t>(position), static_cast<off_t>(count),
                                            SYNC_FILE_RANGE_WRITE));
    }
#else
    static_cast<void>(position);
    static_cast<void>(count);
#endif
}

bool File::FlushFileSystem()
{
#ifdef __linux__
    if (IsOpen() && ::syncfs(Fd(handle_)) == 0) {
        return true;
    }
#endif
    return false;
}

} // namespace tarvelin::platform
