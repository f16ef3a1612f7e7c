#include "platform/floppy_device.h"

#include <cstdint>

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

bool FloppyGeometryOfFile(std::uint64_t length, FloppyGeometry& geometry)
{
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

} // namespace tarvelin::platform
