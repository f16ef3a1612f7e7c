#include "capture/simulated_cdrom.h"

#include "core/raw_sector.h"
#include "platform/file.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tarvelin::capture {

// The drive stands in for the platform's SCSI transport and speaks its terms.
using namespace platform;

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

void SimulatedCdRom::SetAdapterTrouble(std::uint16_t hostStatus, std::uint16_t driverStatus)
{
    std::lock_guard lock(mutex_);
    hostTrouble_ = hostStatus;
    driverTrouble_ = driverStatus;
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

std::uint32_t SimulatedCdRom::DiscSectors() const
{
    std::lock_guard lock(mutex_);
    return SectorCount();
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
            // The data arrived, but the adapter or driver may still report trouble.
            result.hostStatus = hostTrouble_;
            result.driverStatus = driverTrouble_;
            return result.Succeeded();
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

namespace {

// A number in decimal or, with 0x, hexadecimal, filling the whole text.
template <class T>
bool ParseNumber(std::string_view text, T& value)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && status == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> SplitAtCommas(std::string_view text)
{
    std::vector<std::string_view> items;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        items.push_back(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return items;
}

bool ConfigureFromEnvironment(SimulatedCdRom& drive, const char* image, std::string& error)
{
    std::string reason;
    if (!drive.LoadImage(image, reason)) {
        error = std::string("TARVELIN_SIMULATED_CDROM: cannot load '") + image + "': " + reason;
        return false;
    }
    if (const char* tracks = std::getenv("TARVELIN_SIMULATED_CDROM_TRACKS"); tracks != nullptr) {
        std::vector<SimulatedTrack> table;
        for (std::string_view item : SplitAtCommas(tracks)) {
            const std::size_t at = item.find('@');
            SimulatedTrack track;
            track.number = static_cast<std::uint8_t>(table.size() + 1);
            if (at == std::string_view::npos || !ParseNumber(item.substr(0, at), track.adrControl) ||
                !ParseNumber(item.substr(at + 1), track.start) || table.size() >= 99) {
                error = "TARVELIN_SIMULATED_CDROM_TRACKS: '" + std::string(item) +
                        "' is not ADRCONTROL@START (such as 0x14@0)";
                return false;
            }
            table.push_back(track);
        }
        if (table.empty()) {
            error = "TARVELIN_SIMULATED_CDROM_TRACKS: no track given";
            return false;
        }
        // The lead-out follows the last sector the drive serves.
        drive.SetTracks(std::move(table), drive.DiscSectors());
    }
    if (const char* bad = std::getenv("TARVELIN_SIMULATED_CDROM_BAD"); bad != nullptr) {
        for (std::string_view item : SplitAtCommas(bad)) {
            std::uint32_t lba = 0;
            if (!ParseNumber(item, lba)) {
                error = "TARVELIN_SIMULATED_CDROM_BAD: '" + std::string(item) + "' is not a sector number";
                return false;
            }
            drive.FailSector(lba, SimulatedCdRom::kAlways);
        }
    }
    return true;
}

} // namespace

bool InstallSimulatedCdRomFromEnvironment(std::string& error)
{
    // Built once; it stays installed, and alive, until the process ends.
    static const std::string outcome = [] {
        const char* image = std::getenv("TARVELIN_SIMULATED_CDROM");
        if (image == nullptr || *image == '\0') {
            return std::string();
        }
        auto* drive = new SimulatedCdRom(std::string("simulated:") + image);
        std::string reason;
        if (!ConfigureFromEnvironment(*drive, image, reason)) {
            delete drive;
            return reason;
        }
        SetScsiTransport(drive);
        return std::string();
    }();
    error = outcome;
    return outcome.empty();
}

} // namespace tarvelin::capture
