#include "platform/scsi.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

// The CD-ROM block devices (sr0, sr1, ...) take SG_IO directly, so no
// separate sg node is needed.
class SgDevice final : public IScsiDevice {
public:
    explicit SgDevice(int fd) : fd_(fd) {}
    ~SgDevice() override { ::close(fd_); }
    SgDevice(const SgDevice&) = delete;
    SgDevice& operator=(const SgDevice&) = delete;

    bool Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction, std::uint8_t* buffer,
                 std::uint32_t length, std::uint32_t timeoutMs, ScsiResult& result) override
    {
        result = ScsiResult{};
        std::uint8_t command[16] = {};
        if (cdb.empty() || cdb.size() > sizeof command) {
            return false;
        }
        std::copy(cdb.begin(), cdb.end(), command);
        sg_io_hdr_t header;
        std::memset(&header, 0, sizeof header);
        header.interface_id = 'S';
        header.cmd_len = static_cast<unsigned char>(cdb.size());
        header.cmdp = command;
        header.dxfer_direction = direction == ScsiDirection::In    ? SG_DXFER_FROM_DEV
                                 : direction == ScsiDirection::Out ? SG_DXFER_TO_DEV
                                                                   : SG_DXFER_NONE;
        header.dxferp = direction == ScsiDirection::None ? nullptr : buffer;
        header.dxfer_len = direction == ScsiDirection::None ? 0 : length;
        header.sbp = result.sense.data();
        header.mx_sb_len = static_cast<unsigned char>(result.sense.size());
        header.timeout = timeoutMs;
        if (::ioctl(fd_, SG_IO, &header) < 0) {
            return false;
        }
        ReadPassThroughOutcome(header.status, header.host_status, header.driver_status, header.sb_len_wr, result);
        return result.Succeeded();
    }

private:
    int fd_;
};

class SgTransport final : public IScsiTransport {
public:
    std::vector<std::string> ListDrives() override
    {
        // sysfs names every CD-ROM block device srN; order by N so that
        // drive letters stay stable from one run to the next.
        std::vector<std::pair<long, std::string>> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/sys/block", error)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 2 && name.compare(0, 2, "sr") == 0 &&
                std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                found.emplace_back(std::stol(name.substr(2)), "/dev/" + name);
            }
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> devices;
        for (auto& item : found) {
            devices.push_back(std::move(item.second));
        }
        return devices;
    }

    std::unique_ptr<IScsiDevice> Open(const std::string& device) override
    {
        // Non-blocking: the open must not wait for a medium.
        const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return nullptr;
        }
        return std::make_unique<SgDevice>(fd);
    }
};

} // namespace

IScsiTransport& SystemScsiTransport()
{
    static SgTransport transport;
    return transport;
}

} // namespace tarvelin::platform
