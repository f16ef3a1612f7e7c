// Floppy drives on Windows are the volumes \\.\A: and \\.\B:; the driver
// gives their geometry through IOCTL_DISK_GET_DRIVE_GEOMETRY, and sectors
// are read from the volume with ordinary positioned reads.

#include "platform/floppy_device.h"

#include "platform/directory.h"
#include "platform/win32/win32_common.h"

#include <winioctl.h>

namespace tarvelin::platform {

namespace {

bool IsDevicePath(const std::string& path)
{
    return path.size() >= 4 && path.compare(0, 4, "\\\\.\\") == 0;
}

} // namespace

bool QueryFloppyGeometry(const std::string& path, FloppyGeometry& geometry)
{
    if (!IsDevicePath(path)) {
        FileInfo info;
        if (!GetFileInfo(path, info) || info.isDirectory) {
            return false;
        }
        return FloppyGeometryOfFile(info.size, geometry);
    }
    HANDLE handle = ::CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DISK_GEOMETRY parameters{};
    DWORD returned = 0;
    const bool known = ::DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &parameters,
                                         sizeof parameters, &returned, nullptr) != 0;
    ::CloseHandle(handle);
    if (!known || parameters.Cylinders.QuadPart <= 0 || parameters.Cylinders.QuadPart > UINT32_MAX
        || parameters.TracksPerCylinder == 0 || parameters.SectorsPerTrack == 0 || parameters.BytesPerSector == 0) {
        return false;
    }
    geometry = {static_cast<std::uint32_t>(parameters.Cylinders.QuadPart), parameters.TracksPerCylinder,
                parameters.SectorsPerTrack, parameters.BytesPerSector};
    return true;
}

const char* FirstFloppyDevice()
{
    return "\\\\.\\A:";
}

} // namespace tarvelin::platform
