#pragma once

// SCSI pass-through to optical drives. The CD-ROM component speaks SCSI
// multimedia commands; how a command block reaches a drive (the kernel's
// generic pass-through here, other mechanisms on other systems, or the
// simulated drive of the tests) is a transport behind this interface.

#include "platform/export.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tarvelin::platform {

enum class ScsiDirection { None, In, Out };

// SCSI status byte values the callers look at.
inline constexpr std::uint8_t kScsiGood = 0x00;
inline constexpr std::uint8_t kScsiCheckCondition = 0x02;

struct ScsiResult {
    // False when the command never reached the drive (the system call failed).
    bool delivered = false;
    std::uint8_t status = 0;       // SCSI status byte
    std::uint16_t hostStatus = 0;  // adapter status; non-zero: the transfer failed
    std::uint16_t driverStatus = 0;
    std::array<std::uint8_t, 32> sense{};
    std::uint32_t senseLength = 0;

    // A command succeeded only when it was delivered, the drive answered
    // GOOD and neither adapter nor driver reported trouble: a CHECK
    // CONDITION means the data buffer holds nothing the drive vouches for.
    bool Succeeded() const
    {
        return delivered && status == kScsiGood && hostStatus == 0 && driverStatus == 0;
    }
};

class TARVELIN_API IScsiDevice {
public:
    virtual ~IScsiDevice() = default;
    // Sends one command block; buffer holds length bytes read (In) or
    // written (Out). Returns result.Succeeded().
    virtual bool Execute(std::span<const std::uint8_t> cdb, ScsiDirection direction,
                         std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs,
                         ScsiResult& result) = 0;
};

class TARVELIN_API IScsiTransport {
public:
    virtual ~IScsiTransport() = default;
    // Device names of the optical drives, in discovery order.
    virtual std::vector<std::string> ListDrives() = 0;
    // Null when the device cannot be opened.
    virtual std::unique_ptr<IScsiDevice> Open(const std::string& device) = 0;
};

// The outcome of a command as a pass-through reports it, with the sense
// bytes already in result.sense: the SCSI status byte, the adapter's and
// the driver's status and how many sense bytes came back. Linux's generic
// SCSI driver gives all four in its SG_IO header; the NT pass-through has
// no adapter or driver status of its own (0 there; a failed delivery is a
// failed call). The driver's "sense data came back" bit is no trouble of
// its own: the status byte carries the CHECK CONDITION those bytes belong
// to. Every transport reads its outcome here, so all judge it alike.
TARVELIN_API void ReadPassThroughOutcome(std::uint8_t status, std::uint16_t hostStatus, std::uint16_t driverStatus,
                                         std::uint8_t senseWritten, ScsiResult& result);

// The system's own pass-through.
TARVELIN_API IScsiTransport& SystemScsiTransport();
// Installs the transport later CD-ROM components use (not owned; null goes
// back to the system's) and returns the previous one, null for the system's.
TARVELIN_API IScsiTransport* SetScsiTransport(IScsiTransport* transport);
TARVELIN_API IScsiTransport& ActiveScsiTransport();

} // namespace tarvelin::platform
