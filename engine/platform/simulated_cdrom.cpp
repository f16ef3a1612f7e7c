#include "platform/simulated_cdrom.h"

#include "core/raw_sector.h"
#include "platform/file.h"

#include <algorithm>
#include <cstring>

namespace tarvelin::platform {

namespace {

constexpr std::uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

void CheckCondition(ScsiResult& result, std::uint8_t senseKey, std::uint8_t asc)
{
    result.status = kScsiCheckCondition;
    result.sense[0] = 0x70;
    result.sense[2] = senseKey;
    result.sense[7] = 10;
    result.sense[12] = asc;
    result.senseLength = 18;
}

class SimulatedDevice final : public IScsiDevice {
public:
    explicit SimulatedDevice(SimulatedCdRom& drive) : drive_(drive) {}
    bool Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction, std::uint8_t* buffer,
                 std::uint32_t length, std::uint32_t, ScsiResult& result) override
    {
        return drive_.Execute(cdb, direction, buffer, length, result);
    }

private:
    SimulatedCdRom& drive_;
};

} // namespace

SimulatedCdRom::SimulatedCdRom(std::string deviceName) : deviceName_(std::move(deviceName)) {}

void SimulatedCdRom::SetDisc(std::vector<std::uint8_t> rawSectors)
{
    std::lock_guard lock(mutex_);
    raw_ = std::move(rawSectors);
    tracks_ = {SimulatedTrack{}};
    leadOut_ = static_cast<std::uint32_t>(raw_.size() / kRawSectorSize);
}

bool SimulatedCdRom::LoadImage(const std::string& path, std::string& error)
{
    File file;
    std::uint64_t length = 0;
    if (!file.Open(path, OpenMode::ReadShared) || !file.Length(length)) {
        error = file.LastError();
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    if (file.Read(bytes.data(), bytes.size()) != bytes.size()) {
        error = "the image could not be read whole";
        return false;
    }
    const bool raw = length % kRawSectorSize == 0 && length >= kRawSectorSize &&
                     std::memcmp(bytes.data(), kSync, sizeof kSync) == 0;
    if (raw) {
        SetDisc(std::move(bytes));
        return true;
    }
    if (length % 2048 != 0) {
        error = "the image is neither 2048-byte nor 2352-byte sectors";
        return false;
    }
    const std::size_t count = bytes.size() / 2048;
    std::vector<std::uint8_t> encoded(count * kRawSectorSize);
    raw::EncodeMode1Sectors(bytes.data(), count, 0, encoded.data());
    SetDisc(std::move(encoded));
    return true;
}

void SimulatedCdRom::SetTracks(std::vector<SimulatedTrack> tracks, std::uint32_t leadOut)
{
    std::lock_guard lock(mutex_);
    tracks_ = std::move(tracks);
    leadOut_ = leadOut;
}

void SimulatedCdRom::FailSector(std::uint32_t lba, int times)
{
    std::lock_guard lock(mutex_);
    failures_[lba] = times;
}

void SimulatedCdRom::SetPresent(bool present)
{
    std::lock_guard lock(mutex_);
    present_ = present;
}

std::vector<std::vector<std::uint8_t>> SimulatedCdRom::Commands() const
{
    std::lock_guard lock(mutex_);
    return commands_;
}

void SimulatedCdRom::ClearCommands()
{
    std::lock_guard lock(mutex_);
    commands_.clear();
}

int SimulatedCdRom::ReadAttempts(std::uint32_t lba) const
{
    std::lock_guard lock(mutex_);
    const auto it = attempts_.find(lba);
    return it == attempts_.end() ? 0 : it->second;
}

std::vector<std::string> SimulatedCdRom::ListDrives()
{
    std::lock_guard lock(mutex_);
    return present_ ? std::vector<std::string>{deviceName_} : std::vector<std::string>{};
}

std::unique_ptr<IScsiDevice> SimulatedCdRom::Open(const std::string& device)
{
    std::lock_guard lock(mutex_);
    if (!present_ || device != deviceName_) {
        return nullptr;
    }
    return std::make_unique<SimulatedDevice>(*this);
}

std::uint32_t SimulatedCdRom::SectorCount() const
{
    return static_cast<std::uint32_t>(raw_.size() / kRawSectorSize);
}

bool SimulatedCdRom::ReadCd(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer,
                            std::uint32_t length)
{
    bool failed = false;
    for (std::uint32_t s = lba; s < lba + count; ++s) {
        ++attempts_[s];
        auto it = failures_.find(s);
        if (it != failures_.end() && it->second != 0) {
            if (it->second > 0) {
                --it->second;
            }
            failed = true;
        }
    }
    if (failed || static_cast<std::uint64_t>(lba) + count > SectorCount() ||
        static_cast<std::uint64_t>(count) * kRawSectorSize > length) {
        return false;
    }
    std::memcpy(buffer, raw_.data() + static_cast<std::size_t>(lba) * kRawSectorSize,
                static_cast<std::size_t>(count) * kRawSectorSize);
    return true;
}

bool SimulatedCdRom::Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction,
                             std::uint8_t* buffer, std::uint32_t length, ScsiResult& result)
{
    std::lock_guard lock(mutex_);
    result = ScsiResult{};
    result.delivered = true;
    commands_.emplace_back(cdb.begin(), cdb.end());
    if (cdb.empty()) {
        CheckCondition(result, 0x05, 0x20);
        return false;
    }
    const bool in = direction == ScsiDirection::In && buffer != nullptr;
    switch (cdb[0]) {
    case 0x12: { // INQUIRY
        if (!in) {
            break;
        }
        std::uint8_t data[36] = {0x05, 0x80, 0x05, 0x32, 31};
        std::memcpy(data + 8, "TARVELIN", 8);
        std::memcpy(data + 16, "SIMULATED CDROM ", 16);
        std::memcpy(data + 32, "1.0 ", 4);
        std::memset(buffer, 0, length);
        std::memcpy(buffer, data, std::min<std::uint32_t>(length, sizeof data));
        return true;
    }
    case 0x43: { // READ TOC, format 0, LBA addresses
        if (!in || cdb.size() != 10 || tracks_.empty()) {
            break;
        }
        std::vector<std::uint8_t> toc(4);
        auto addDescriptor = [&toc](std::uint8_t adrControl, std::uint8_t number, std::uint32_t start) {
            const std::uint8_t d[8] = {0, adrControl, number, 0,
                                       static_cast<std::uint8_t>(start >> 24),
                                       static_cast<std::uint8_t>(start >> 16),
                                       static_cast<std::uint8_t>(start >> 8),
                                       static_cast<std::uint8_t>(start)};
            toc.insert(toc.end(), d, d + 8);
        };
        for (const SimulatedTrack& track : tracks_) {
            addDescriptor(track.adrControl, track.number, track.start);
        }
        addDescriptor(0x14, 0xAA, leadOut_);
        const std::size_t dataLength = toc.size() - 2;
        toc[0] = static_cast<std::uint8_t>(dataLength >> 8);
        toc[1] = static_cast<std::uint8_t>(dataLength);
        toc[2] = tracks_.front().number;
        toc[3] = tracks_.back().number;
        std::memset(buffer, 0, length);
        std::memcpy(buffer, toc.data(), std::min<std::size_t>(length, toc.size()));
        return true;
    }
    case 0xBB: // SET CD SPEED
        return true;
    case 0x55: // MODE SELECT(10)
        if (direction == ScsiDirection::Out) {
            return true;
        }
        break;
    case 0xBE: { // READ CD
        if (!in || cdb.size() != 12) {
            break;
        }
        const std::uint32_t lba = (static_cast<std::uint32_t>(cdb[2]) << 24) |
                                  (static_cast<std::uint32_t>(cdb[3]) << 16) |
                                  (static_cast<std::uint32_t>(cdb[4]) << 8) | cdb[5];
        const std::uint32_t count = (static_cast<std::uint32_t>(cdb[6]) << 16) |
                                    (static_cast<std::uint32_t>(cdb[7]) << 8) | cdb[8];
        if (ReadCd(lba, count, buffer, length)) {
            return true;
        }
        CheckCondition(result, 0x03, 0x11); // medium error, unrecovered read error
        return false;
    }
    default:
        break;
    }
    if (result.status == kScsiGood) {
        CheckCondition(result, 0x05, 0x20); // illegal request, invalid command
    }
    return false;
}

} // namespace tarvelin::platform
