#pragma once

// The few facts of the ISO 9660 format that the sector layer needs to find
// a volume in an image (its layout detection), below the format's own
// structures in iso/iso9660.h, which builds on them.

#include <cstddef>
#include <cstdint>
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

} // namespace tarvelin::iso
