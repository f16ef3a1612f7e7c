#include "platform/floppy_device.h"

#include <fcntl.h>
#include <linux/fd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {

bool QueryFloppyGeometry(const std::string& path, FloppyGeometry& geometry)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        return FloppyGeometryOfFile(static_cast<std::uint64_t>(info.st_size), geometry);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    floppy_struct parameters {};
    const bool known = ::ioctl(fd, FDGETPRM, &parameters) == 0;
    ::close(fd);
    if (!known || parameters.sect == 0 || parameters.head == 0 || parameters.track == 0) {
        return false;
    }
    geometry = {parameters.track, parameters.head, parameters.sect, 512};
    return true;
}

const char* FirstFloppyDevice()
{
    return "/dev/fd0";
}

} // namespace tarvelin::platform
