#pragma once

// The few facts of the ISO 9660 format that the sector layer needs to find
// a volume in an image (its layout detection), below the format's own
// structures in iso/iso9660.h, which builds on them.

#include "platform/export.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tarvelin::iso {

inline constexpr std::size_t kSectorSize = 2048;
inline constexpr std::uint32_t kFirstDescriptorSector = 16; // the primary descriptor

enum class DescriptorType : std::uint8_t {
    BootRecord = 0,
    Primary = 1,
    Supplementary = 2,
    Partition = 3,
    Terminator = 255,
};
inline constexpr std::string_view kStandardIdentifier = "CD001";
// The volume's size in logical sectors, in a primary descriptor: a 32-bit
// number little-endian, then the same big-endian.
inline constexpr std::size_t kVolumeSpaceSizeOffset = 80;
// The root directory's record in a primary descriptor, and where a
// directory record gives its extent (32-bit little-endian, then the same
// big-endian) and its own length.
inline constexpr std::size_t kRootRecordOffset = 156;
inline constexpr std::size_t kRecordLengthOffset = 0;
inline constexpr std::size_t kRecordExtentOffset = 2;

// Reads logical sector `sector` into 2048 bytes; false when it cannot.
using SectorReader = std::function<bool(std::uint32_t sector, std::uint8_t* buffer)>;

// The volume recognition sequence of a UDF file system (ECMA-167 2/9):
// sectors of the form 0 type 0, 1..5 identifier, 6 version 1, starting
// with "BEA01", holding "NSR02" or "NSR03" and ending with "TEA01". It sits
// right behind the ISO 9660 terminator on bridge discs, and at sector 16
// on a volume of UDF alone. The NSR version (2 or 3) of the sequence
// starting at `sector`; 0 when there is none there, or when its sectors run
// out (at sectorCount, or where read fails) before an NSR descriptor.
inline constexpr std::string_view kUdfBeginExtendedArea = "BEA01";
inline constexpr std::string_view kUdfTerminateExtendedArea = "TEA01";
// NSR02 or NSR03: the descriptor that names the UDF revision.
inline constexpr std::string_view kUdfNsrPrefix = "NSR0";
TARVELIN_API std::uint8_t UdfNsrVersionAt(const SectorReader& read, std::uint32_t sectorCount, std::uint32_t sector);

} // namespace tarvelin::iso
