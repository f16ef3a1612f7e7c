#pragma once

// A CD-ROM drive in memory, behind the SCSI transport interface: it
// answers INQUIRY, READ TOC, SET CD SPEED, READ CD and MODE SELECT from
// raw 2352-byte sectors. Tests (and demonstrations, through the
// TARVELIN_SIMULATED_CDROM variable of the programs) install it with
// SetScsiTransport instead of the system's pass-through. It can describe
// any table of contents, fail chosen sectors always or a number of times,
// and records every command block it receives.

#include "platform/export.h"
#include "platform/scsi.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tarvelin::capture {

using platform::IScsiDevice;
using platform::IScsiTransport;
using platform::ScsiDirection;
using platform::ScsiResult;

struct SimulatedTrack {
    std::uint8_t number = 1;
    std::uint8_t adrControl = 0x14; // ADR 1, data track
    std::uint32_t start = 0;
};

class TARVELIN_API SimulatedCdRom final : public IScsiTransport {
public:
    static constexpr std::uint32_t kRawSectorSize = 2352;
    static constexpr int kAlways = -1;

    explicit SimulatedCdRom(std::string deviceName = "simulated-cdrom");

    // The disc: raw sectors, one data track over all of them.
    void SetDisc(std::vector<std::uint8_t> rawSectors);
    // A 2048-byte-sector image (encoded as Mode 1) or raw 2352-byte sectors.
    bool LoadImage(const std::string& path, std::string& error);
    // Replaces the table of contents; leadOut is the lead-out's address.
    void SetTracks(std::vector<SimulatedTrack> tracks, std::uint32_t leadOut);
    // READ CD of this sector fails `times` times (kAlways: every time).
    void FailSector(std::uint32_t lba, int times);
    // READ CD commands deliver their data with GOOD status but with these
    // adapter and driver statuses (0, 0: no trouble).
    void SetAdapterTrouble(std::uint16_t hostStatus, std::uint16_t driverStatus);
    // Raw sectors on the disc.
    std::uint32_t DiscSectors() const;
    // No drive at all: ListDrives is empty.
    void SetPresent(bool present);

    std::vector<std::vector<std::uint8_t>> Commands() const;
    void ClearCommands();
    // READ CD commands that touched the sector, failed or not.
    int ReadAttempts(std::uint32_t lba) const;

    std::vector<std::string> ListDrives() override;
    std::unique_ptr<IScsiDevice> Open(const std::string& device) override;

    // Used by the open device.
    bool Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction, std::uint8_t* buffer,
                 std::uint32_t length, ScsiResult& result);

private:
    bool ReadCd(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer, std::uint32_t length);
    std::uint32_t SectorCount() const;

    mutable std::mutex mutex_;
    std::string deviceName_;
    bool present_ = true;
    std::vector<std::uint8_t> raw_;
    std::vector<SimulatedTrack> tracks_;
    std::uint32_t leadOut_ = 0;
    std::map<std::uint32_t, int> failures_;
    std::uint16_t hostTrouble_ = 0;
    std::uint16_t driverTrouble_ = 0;
    std::map<std::uint32_t, int> attempts_;
    std::vector<std::vector<std::uint8_t>> commands_;
};

// The programs' test facility. When the variable TARVELIN_SIMULATED_CDROM
// names an image (as LoadImage takes), a simulated drive serving it is
// installed as the only CD-ROM drive of the process, its device named
// "simulated:" and the image's path. Two more variables shape the disc:
//   TARVELIN_SIMULATED_CDROM_TRACKS  the table of contents as
//       ADRCONTROL@START items separated by commas, tracks numbered from 1,
//       the lead-out at the end of the image ("0x14@0,0x14@300": two tracks);
//   TARVELIN_SIMULATED_CDROM_BAD  sectors whose every read fails ("30,100").
// True when nothing was asked for or the drive is installed; false, with
// the reason, when a variable is set but cannot be used. Later calls
// answer as the first did.
TARVELIN_API bool InstallSimulatedCdRomFromEnvironment(std::string& error);

} // namespace tarvelin::capture
