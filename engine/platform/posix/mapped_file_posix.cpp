// The whole file is mapped read-only. The descriptor stays open with a
// shared lock while mapped: a File opened on the same path (which locks
// exclusively) is refused instead of truncating the pages under the view,
// where a read would then fault.

#include "platform/mapped_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

std::string Describe(const char* what, const std::string& path, int error)
{
    return std::string(what) + " '" + path + "': " + std::strerror(error);
}

} // namespace

MappedFile::~MappedFile() { Close(); }

bool MappedFile::Open(const std::string& path)
{
    Close();
    lastError_.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        lastError_ = Describe("cannot open", path, errno);
        return false;
    }
    const auto fail = [&](const char* what, int error) {
        ::close(fd);
        lastError_ = Describe(what, path, error);
        return false;
    };
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != ENOSYS) {
        if (errno == EWOULDBLOCK) {
            ::close(fd);
            lastError_ = "cannot open '" + path + "': the file is in use by another program";
            return false;
        }
        return fail("cannot lock", errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return fail("cannot read", errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return fail("cannot open", EISDIR);
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > std::numeric_limits<std::size_t>::max()) {
        return fail("cannot map", EFBIG);
    }
    if (size > 0) {
        void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            return fail("cannot map", errno);
        }
        data_ = static_cast<const std::uint8_t*>(view);
    }
    fd_ = fd;
    size_ = size;
    open_ = true;
    return true;
}

void MappedFile::Close()
{
    if (data_ != nullptr) {
        ::munmap(const_cast<std::uint8_t*>(data_), static_cast<std::size_t>(size_));
    }
    if (fd_ >= 0) {
        ::close(static_cast<int>(fd_)); // also releases the lock
    }
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
    open_ = false;
}

} // namespace tarvelin::platform
