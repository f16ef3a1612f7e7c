#include "platform/floppy_device.h"

#include <fcntl.h>
#include <linux/fd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

struct StandardFormat {
    std::uint64_t bytes;
    FloppyGeometry geometry;
};

constexpr StandardFormat kFormats[] = {
    {163840, {40, 1, 8, 512}},   {184320, {40, 1, 9, 512}},   {327680, {40, 2, 8, 512}},
    {368640, {40, 2, 9, 512}},   {737280, {80, 2, 9, 512}},   {1228800, {80, 2, 15, 512}},
    {1474560, {80, 2, 18, 512}}, {1720320, {80, 2, 21, 512}}, {2949120, {80, 2, 36, 512}},
};

} // namespace

bool QueryFloppyGeometry(const std::string& path, FloppyGeometry& geometry)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        const auto length = static_cast<std::uint64_t>(info.st_size);
        for (const StandardFormat& format : kFormats) {
            if (format.bytes == length) {
                geometry = format.geometry;
                return true;
            }
        }
        if (length == 0 || length % 512 != 0 || length / 512 > UINT32_MAX) {
            return false;
        }
        geometry = {1, 1, static_cast<std::uint32_t>(length / 512), 512};
        return true;
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
