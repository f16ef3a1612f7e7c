#pragma once

// CCdRom: the CD-ROM drives of the machine, picked by drive letter, and the
// few multimedia commands a disc capture needs. Drives get letters from D
// on in the order the transport finds them; the command blocks are sent
// through the active SCSI transport (platform/scsi.h).

#include "core/component.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class ICdRom : public CComponent {
public:
    static constexpr std::uint32_t kMaxDrives = 23;
    static constexpr std::uint32_t kRawSectorSize = 2352;
    static constexpr std::uint32_t kMaximumSpeed = 0xFFFF;

    virtual bool Reserved() = 0;
    // Finds the drives; true when there is at least one. Each call appends.
    virtual bool Initialize() = 0;
    // One letter per drive, no terminator; letters must hold kMaxDrives.
    virtual std::uint32_t GetDriveLetters(char* letters) = 0;
    virtual bool ReadToc(std::uint8_t* buffer, std::uint32_t length, std::uint32_t format) = 0;
    // Kilobytes per second; kMaximumSpeed asks for the drive's fastest.
    virtual bool SetSpeed(std::uint32_t speed) = 0;
    // count raw 2352-byte sectors into buffer; false when the drive did not
    // deliver every one of them.
    virtual bool ReadSectors(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer) = 0;
    virtual void SetRawReadMode() = 0;
    virtual bool SelectDrive(char letter) = 0;
    virtual void ReleaseDrive() = 0;
    // The device behind a letter ("" when there is none), for display.
    virtual const char* GetDevicePath(char letter) = 0;
    // INQUIRY's vendor and product, trimmed; false when the drive does not answer.
    virtual bool Inquire(char letter, char* vendorModel, std::uint32_t size) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::ICdRom, Rom1, Rom2)
