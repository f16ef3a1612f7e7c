#include "capture/cd_rom.h"

#include "platform/scsi.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin {

namespace {

constexpr std::uint32_t kCommandTimeoutMs = 5000;
constexpr std::uint32_t kInquiryTimeoutMs = 2000;

struct DriveEntry {
    std::string device;
    char letter = 0;
};

class CCdRom final : public ICdRom {
public:
    bool Reserved() override { return true; }

    bool Initialize() override
    {
        for (const std::string& device : platform::ActiveScsiTransport().ListDrives()) {
            if (drives_.size() >= kMaxDrives) {
                break;
            }
            // Only drives that answer INQUIRY are listed, as a drive that
            // cannot take a command cannot be captured from either.
            std::unique_ptr<platform::IScsiDevice> handle = platform::ActiveScsiTransport().Open(device);
            if (handle == nullptr || !InquiryOf(*handle, nullptr)) {
                continue;
            }
            drives_.push_back({device, static_cast<char>('D' + drives_.size())});
        }
        return !drives_.empty();
    }

    std::uint32_t GetDriveLetters(char* letters) override
    {
        for (std::size_t i = 0; i < drives_.size(); ++i) {
            letters[i] = drives_[i].letter;
        }
        return static_cast<std::uint32_t>(drives_.size());
    }

    bool ReadToc(std::uint8_t* buffer, std::uint32_t length, std::uint32_t format) override
    {
        const std::uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 8),
                                      static_cast<std::uint8_t>(length),
                                      static_cast<std::uint8_t>(format * 64)};
        return Send(cdb, platform::ScsiDirection::In, buffer, length);
    }

    bool SetSpeed(std::uint32_t speed) override
    {
        const std::uint8_t cdb[12] = {0xBB, 0, static_cast<std::uint8_t>(speed >> 8),
                                      static_cast<std::uint8_t>(speed), 0, 0, 0, 0, 0, 0, 0, 0};
        return Send(cdb, platform::ScsiDirection::None, nullptr, 0);
    }

    bool ReadSectors(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer) override
    {
        const std::uint8_t cdb[12] = {0xBE, 0, 0, static_cast<std::uint8_t>(lba >> 16),
                                      static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba),
                                      0, 0, static_cast<std::uint8_t>(count), 0xF8, 0, 0};
        return Send(cdb, platform::ScsiDirection::In, buffer, (count & 0xFF) * kRawSectorSize);
    }

    void SetRawReadMode() override
    {
        std::uint8_t recovery[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x06, 0x01, 0, 0, 0, 0, 0};
        const std::uint8_t first[12] = {0x55, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0};
        Send(first, platform::ScsiDirection::Out, recovery, sizeof recovery);
        std::uint8_t blockLength[16] = {0, 0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0x09, 0x30};
        const std::uint8_t second[12] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0};
        Send(second, platform::ScsiDirection::Out, blockLength, sizeof blockLength);
    }

    bool SelectDrive(char letter) override
    {
        const DriveEntry* entry = Find(letter);
        if (entry == nullptr) {
            return false;
        }
        selected_ = platform::ActiveScsiTransport().Open(entry->device);
        return selected_ != nullptr;
    }

    void ReleaseDrive() override { selected_.reset(); }

    const char* GetDevicePath(char letter) override
    {
        const DriveEntry* entry = Find(letter);
        return entry == nullptr ? "" : entry->device.c_str();
    }

    bool Inquire(char letter, char* vendorModel, std::uint32_t size) override
    {
        const DriveEntry* entry = Find(letter);
        if (entry == nullptr || size == 0) {
            return false;
        }
        std::unique_ptr<platform::IScsiDevice> handle = platform::ActiveScsiTransport().Open(entry->device);
        std::string text;
        if (handle == nullptr || !InquiryOf(*handle, &text)) {
            return false;
        }
        std::snprintf(vendorModel, size, "%s", text.c_str());
        return true;
    }

private:
    const DriveEntry* Find(char letter) const
    {
        for (const DriveEntry& entry : drives_) {
            if (entry.letter == letter) {
                return &entry;
            }
        }
        return nullptr;
    }

    static bool InquiryOf(platform::IScsiDevice& device, std::string* vendorModel)
    {
        const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 100, 0};
        std::uint8_t data[100] = {};
        platform::ScsiResult result;
        if (!device.Execute(cdb, platform::ScsiDirection::In, data, sizeof data, kInquiryTimeoutMs, result)) {
            return false;
        }
        if (vendorModel != nullptr) {
            auto trimmed = [](const std::uint8_t* bytes, std::size_t count) {
                std::string s(reinterpret_cast<const char*>(bytes), count);
                while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) {
                    s.pop_back();
                }
                return s;
            };
            *vendorModel = trimmed(data + 8, 8) + " " + trimmed(data + 16, 16);
        }
        return true;
    }

    template <std::size_t N>
    bool Send(const std::uint8_t (&cdb)[N], platform::ScsiDirection direction, std::uint8_t* buffer,
              std::uint32_t length)
    {
        if (selected_ == nullptr) {
            return false;
        }
        platform::ScsiResult result;
        return selected_->Execute(cdb, direction, buffer, length, kCommandTimeoutMs, result);
    }

    std::vector<DriveEntry> drives_;
    std::unique_ptr<platform::IScsiDevice> selected_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CCdRom, tarvelin::ICdRom, Rom1, Rom2)
