// SCSI pass-through on Windows NT: every drive letter of type CD-ROM is
// opened as \\.\X: and takes command blocks through
// IOCTL_SCSI_PASS_THROUGH_DIRECT, the data moving straight to and from the
// caller's buffer. IOCTL_SCSI_GET_ADDRESS orders the drives by adapter,
// bus, target and unit, as the kernel's own enumeration does.

#include "platform/scsi.h"

#include "platform/win32/win32_common.h"

#include <algorithm>
#include <cstddef>
#include <tuple>
#include <winioctl.h>
#include <ntddscsi.h>

namespace tarvelin::platform {

namespace {

// The request and the sense bytes behind it in one block, as the driver
// wants them (SenseInfoOffset counts from the start of the block).
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG align;
    UCHAR sense[32];
};

HANDLE OpenDrive(const std::string& device)
{
    return ::CreateFileW(win32::Wide(device).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

class PassThroughDevice final : public IScsiDevice {
public:
    explicit PassThroughDevice(HANDLE handle) : handle_(handle) {}
    ~PassThroughDevice() override { ::CloseHandle(handle_); }
    PassThroughDevice(const PassThroughDevice&) = delete;
    PassThroughDevice& operator=(const PassThroughDevice&) = delete;

    bool Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction, std::uint8_t* buffer,
                 std::uint32_t length, std::uint32_t timeoutMs, ScsiResult& result) override
    {
        result = ScsiResult{};
        PassThroughRequest request{};
        if (cdb.empty() || cdb.size() > sizeof request.header.Cdb) {
            return false;
        }
        request.header.Length = sizeof request.header;
        request.header.CdbLength = static_cast<UCHAR>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), request.header.Cdb);
        request.header.DataIn = direction == ScsiDirection::In    ? SCSI_IOCTL_DATA_IN
                                : direction == ScsiDirection::Out ? SCSI_IOCTL_DATA_OUT
                                                                  : SCSI_IOCTL_DATA_UNSPECIFIED;
        request.header.DataBuffer = direction == ScsiDirection::None ? nullptr : buffer;
        request.header.DataTransferLength = direction == ScsiDirection::None ? 0 : length;
        // Whole seconds, at least one.
        request.header.TimeOutValue = std::max<ULONG>(1, (timeoutMs + 999) / 1000);
        request.header.SenseInfoOffset = offsetof(PassThroughRequest, sense);
        request.header.SenseInfoLength = sizeof request.sense;
        DWORD returned = 0;
        if (!::DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                               sizeof request, &returned, nullptr)) {
            return false;
        }
        std::copy(std::begin(request.sense), std::end(request.sense), result.sense.begin());
        // The driver leaves SenseInfoLength at the bytes it filled in.
        ReadPassThroughOutcome(request.header.ScsiStatus, 0, 0, request.header.SenseInfoLength, result);
        return result.Succeeded();
    }

private:
    HANDLE handle_;
};

class PassThroughTransport final : public IScsiTransport {
public:
    std::vector<std::string> ListDrives() override
    {
        using Address = std::tuple<int, int, int, int, char>;
        std::vector<Address> found;
        const DWORD letters = ::GetLogicalDrives();
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            if ((letters & (1u << (letter - 'A'))) == 0) {
                continue;
            }
            const wchar_t root[] = {static_cast<wchar_t>(letter), L':', L'\\', L'\0'};
            if (::GetDriveTypeW(root) != DRIVE_CDROM) {
                continue;
            }
            // A drive whose address cannot be read sorts after the others,
            // by its letter.
            Address address{1000, 0, 0, 0, letter};
            HANDLE handle = OpenDrive(DeviceOf(letter));
            if (handle != INVALID_HANDLE_VALUE) {
                SCSI_ADDRESS scsi{};
                scsi.Length = sizeof scsi;
                DWORD returned = 0;
                if (::DeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &scsi, sizeof scsi, &returned,
                                      nullptr)) {
                    address = {scsi.PortNumber, scsi.PathId, scsi.TargetId, scsi.Lun, letter};
                }
                ::CloseHandle(handle);
            }
            found.push_back(address);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> devices;
        for (const Address& address : found) {
            devices.push_back(DeviceOf(std::get<4>(address)));
        }
        return devices;
    }

    std::unique_ptr<IScsiDevice> Open(const std::string& device) override
    {
        HANDLE handle = OpenDrive(device);
        if (handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        return std::make_unique<PassThroughDevice>(handle);
    }

private:
    static std::string DeviceOf(char letter) { return std::string("\\\\.\\") + letter + ":"; }
};

} // namespace

IScsiTransport& SystemScsiTransport()
{
    static PassThroughTransport transport;
    return transport;
}

} // namespace tarvelin::platform
