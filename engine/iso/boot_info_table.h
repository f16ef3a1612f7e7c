#pragma once

// Where a no-emulation boot file is told its own place on the disc. Loaders
// such as isolinux.bin and GRUB's eltorito.img are loaded by the BIOS only in
// part (the catalog's load count); they read the rest themselves and learn
// where it lies from fields the image writer fills in:
//
//   the boot-info-table, bytes 8 to 63 of the file:
//     8   le32  sector of the primary volume descriptor (16; 16 into the
//                session for an image written as a later session, as
//                xorriso writes even a new image file at sector 32)
//     12  le32  sector of the boot file itself
//     16  le32  length of the boot file in bytes
//     20  le32  checksum: sum of the little-endian 32-bit words from byte 64
//               to the end of the file (a last partial word padded with zeros)
//     24  40 bytes reserved, zero
//
//   GRUB2's boot info, bytes 2548 to 2555 of the file: le64, the file's
//   sector times 4 plus 5 (the 512-byte block of its byte 2560).
//
// Both hold the file's sector, so they go stale whenever the file is put
// elsewhere: the save writes them when a boot image is loaded (as asked, see
// IIsoEdit::SetBootInfoPatch) and rewrites those that were valid for a boot
// file's old place when it moves the file.

#include "platform/export.h"
#include "iso/iso9660.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvelin {

// What a save writes into a loaded no-emulation boot file (flags).
inline constexpr std::uint32_t kBootInfoTable = 1;     // the boot-info-table, always
inline constexpr std::uint32_t kBootInfoGrub2 = 2;     // GRUB2's boot info, always
inline constexpr std::uint32_t kBootInfoAutomatic = 4; // the table when the file carries a plausible one

class IIsoSector;

namespace iso {

struct BootInfoTableOffset {
    static constexpr std::size_t kPrimaryDescriptor = 8;
    static constexpr std::size_t kFileSector = 12;
    static constexpr std::size_t kFileLength = 16;
    static constexpr std::size_t kChecksum = 20;
    static constexpr std::size_t kReserved = 24;
    static constexpr std::size_t kEnd = 64; // the checksum starts here
};
inline constexpr std::size_t kGrub2BootInfoOffset = 2548;
inline constexpr std::size_t kGrub2BootInfoEnd = kGrub2BootInfoOffset + 8;

struct BootInfoTable {
    std::uint32_t primaryDescriptor = kFirstDescriptorSector;
    std::uint32_t fileSector = 0;
    std::uint32_t fileLength = 0;
    std::uint32_t checksum = 0;
};

// Adds the little-endian 32-bit words of a piece of a file to sum; every
// piece but the last must be a whole number of words.
TARVELIN_API std::uint32_t AddBootInfoChecksum(std::uint32_t sum, ConstBytes words);
// The checksum of a whole file (0 for one of 64 bytes or fewer).
TARVELIN_API std::uint32_t BootInfoChecksum(ConstBytes file);

// The fields of bytes 8..23; none when head is shorter than 64 bytes.
TARVELIN_API std::optional<BootInfoTable> ReadBootInfoTable(ConstBytes head);
// Writes bytes 8..63 (the reserved bytes zero); false, writing nothing, when
// head is shorter than 64 bytes.
TARVELIN_API bool PutBootInfoTable(Bytes head, const BootInfoTable& table);

// Whether the whole file carries a table that is right for a file at sector.
TARVELIN_API bool HasBootInfoTable(ConstBytes file, std::uint32_t sector);
// Whether a file of fileLength bytes, starting with head, carries a table
// an image writer would fill in: the descriptor field names a descriptor's
// sector (16 or later) and the length field holds the file's length
// (loaders ship that way, with the checksum too, and so does one taken
// from an image).
TARVELIN_API bool HasPlausibleBootInfoTable(ConstBytes head, std::uint64_t fileLength);
// Fills in the table of a whole file for a file at sector; false for a file
// of fewer than 64 bytes.
TARVELIN_API bool PatchBootInfoTable(Bytes file, std::uint32_t sector);

TARVELIN_API std::uint64_t Grub2BootInfoValue(std::uint32_t sector);
// Whether bytes 2548..2555 of the file hold the value for sector.
TARVELIN_API bool HasGrub2BootInfo(ConstBytes file, std::uint32_t sector);
// False, writing nothing, for a file of fewer than 2556 bytes.
TARVELIN_API bool PatchGrub2BootInfo(Bytes file, std::uint32_t sector);

// Engine-internal: the same on a boot file of length bytes at extent in an
// image, reading and writing only through its sector access (so a save's
// writes stay under its undo journal). A checksum is summed a batch of
// sectors at a time; only the file's first two sectors are written.

// Why a file of length bytes cannot hold the fields flags force (the table,
// GRUB2's boot info); null when it can.
const char* ForcedBootInfoMisfit(std::uint64_t length, std::uint32_t flags);
// A loaded boot file at its final place: writes what flags ask. False, with
// error, when a sector cannot be read or written, or a forced field does
// not fit the file.
bool WriteBootInfo(IIsoSector& sector, std::uint32_t extent, std::uint64_t length, std::uint32_t flags,
                   std::string& error);
// A boot file copied from sector from to its new extent: the table and the
// GRUB2 boot info that were right for from are made right for extent;
// anything else of the file stays as it is.
bool MoveBootInfo(IIsoSector& sector, std::uint32_t from, std::uint32_t extent, std::uint64_t length,
                  std::string& error);
// The length a boot file at first says it has in a table right for first
// (checksum included), within the image's sectors; 0 when it carries none.
// Tells how much of a boot image that is no file of the tree belongs to it.
std::uint64_t BootFileLengthFromTable(IIsoSector& sector, std::uint32_t first);

} // namespace iso
} // namespace tarvelin
