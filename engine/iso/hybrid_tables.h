#pragma once

// The partition tables in the system area of a hybrid image, and how a save
// that grows the volume keeps them true.
//
// Many images are also disks: written to a USB stick, their system area
// (sectors 0 to 15, 32 KiB) is read as the disk's first 64 blocks of 512
// bytes. Block 0 holds an MBR, often followed by a GPT:
//   MBR  block 0: four partition entries of 16 bytes at 446, 0x55 0xAA at 510;
//        a protective MBR has one entry of type 0xEE over the GPT disk.
//   GPT  block 1: the header; the entry array from the block it names
//        (usually 2); a backup entry array and, in the last block of the disk,
//        a backup header.
// A save appends files behind everything the image file holds. Partitions
// that covered the old volume must then be grown over the new data, or the
// disk does not hold the added files, and the backup GPT must move to the new
// last block.
//
// Which partition covers the volume. One that starts inside the system area
// (at or before block 64, where the first volume descriptor lies; tools start
// it at 0, at 1 behind the MBR, or at 64) and ends where tools end such a
// partition:
//   - at the end of the volume (the primary descriptor's volume space size);
//   - at the end of the image file, when the file runs on behind the volume
//     (images padded to a whole cylinder);
//   - for a GPT entry also at the header's last usable block, one block
//     before it, or behind the last whole 2048-byte sector up to it (when
//     the backup tables lie inside the volume, the partition stops short of
//     them; beside an Apple partition map of 2048-byte blocks it ends on a
//     whole one).
// It grows to the end of the new volume (a GPT entry to the new last usable
// block). Entries of type 0xEE or extended partitions never count as
// covering; the 0xEE entry grows with a GPT that is rewritten.
// Every other partition keeps its bytes and its place, but one that lies
// exactly on a file's data that the save moved (an EFI boot image inside the
// volume, pushed aside by metadata that grew) follows that file; left behind
// it would point at directory records. So do the block number by which
// an isohybrid MBR's boot code loads the El Torito boot image, and an entry
// of an Apple partition map beside the MBR that lies on such data.
//
// A partition appended behind the volume (an EFI partition) stays where it
// is. The new data goes behind it, so the grown partition then contains the
// appended one. Partition tools flag that as an overlap, as they flag the
// hybrid layouts the usual tools make themselves (an ISO partition from
// block 0 that contains the EFI partition); the overlap is accepted, because
// leaving the added data outside every partition would offer it as free
// space to the next partition editor.
//
// The backup GPT of a saved image lies inside its volume: the entry array
// and header fill the last blocks of the volume's last sectors, as the usual
// tools lay out a GPT hybrid. A copy of the volume alone (a disc read back)
// then keeps a whole GPT, and the image file ends with the backup header. A
// save that appends nothing reuses the place of a backup that already ends
// the file.
//
// What is not recognised stays as it is: a block 0 without 0x55 0xAA, a GPT
// whose header or entry array fails its CRC or whose entries lie outside
// the system area, or whose kept partitions would end past the new last
// usable block. When the GPT stays, so does the 0xEE entry. Only plain
// images (2048-byte sectors from byte 0) are disks; for others nothing is
// done.

#include "platform/export.h"
#include "iso/iso9660.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvelin {

class IIsoSector;

namespace hybrid {

using iso::Bytes;
using iso::ConstBytes;

inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::uint32_t kBlocksPerSector = 4;
inline constexpr std::size_t kSystemAreaBytes = iso::kSystemAreaSectors * iso::kSectorSize;
inline constexpr std::uint32_t kSystemAreaBlocks = iso::kSystemAreaSectors * kBlocksPerSector;

// ---------------------------------------------------------------------------
// MBR (block 0).

struct MbrOffset {
    // The boot code of a hybrid MBR loads the El Torito boot image from the
    // 512-byte block it holds here (little-endian): 4 x the image's sector
    // for isohybrid, one sector further for GRUB's.
    static constexpr std::size_t kBootFileBlock = 432;
    static constexpr std::size_t kPartitionTable = 446; // four entries of 16 bytes
    static constexpr std::size_t kSignature = 510;      // 0x55 0xAA
};
inline constexpr std::size_t kMbrEntrySize = 16;
inline constexpr std::size_t kMbrEntryCount = 4;
inline constexpr std::uint8_t kMbrTypeProtective = 0xEE;

// A cylinder-head-sector address, 3 bytes: 0 head, 1 sector in bits 0-5 with
// bits 8-9 of the cylinder in bits 6-7, 2 bits 0-7 of the cylinder.
struct Chs {
    std::uint16_t cylinder = 0; // 0..1023
    std::uint8_t head = 0;
    std::uint8_t sector = 0;    // 1..63
    bool operator==(const Chs&) const = default;
};
using ChsBytes = std::array<std::uint8_t, 3>;
TARVELIN_API ChsBytes EncodeChs(const Chs& chs);

struct ChsGeometry {
    std::uint32_t heads = 0;   // 1..255
    std::uint32_t sectors = 0; // 1..63 per head
    bool operator==(const ChsGeometry&) const = default;
};
// The address of a block; blocks beyond cylinder 1023 get the last address
// the geometry has (1023, heads - 1, sectors).
TARVELIN_API Chs ChsOf(std::uint64_t lba, ChsGeometry geometry);

// One partition entry, 16 bytes: 0 u8 status (0x80 active), 1 CHS of the
// first block, 4 u8 type, 5 CHS of the last block, 8 u32 first block,
// 12 u32 number of blocks (little-endian).
struct MbrPartition {
    std::uint8_t status = 0;
    ChsBytes firstChs{};
    std::uint8_t type = 0;
    ChsBytes lastChs{};
    std::uint32_t firstLba = 0;
    std::uint32_t blocks = 0;
    bool operator==(const MbrPartition&) const = default;
};
TARVELIN_API MbrPartition DecodeMbrPartition(ConstBytes entry);
TARVELIN_API void EncodeMbrPartition(const MbrPartition& partition, Bytes entry);
TARVELIN_API bool HasMbrSignature(ConstBytes block0);

// The geometry whose addresses the entry's two CHS fields are, preferring
// the ones tools use (64 x 32, 255 x 63); none when the fields are not
// addresses of its blocks (zeros, or the 0xFE 0xFF 0xFF "beyond CHS" marker
// on a small block number).
TARVELIN_API std::optional<ChsGeometry> GeometryOf(const MbrPartition& partition);

// ---------------------------------------------------------------------------
// GPT (block 1 and the entry array), all numbers little-endian.

// Header: 0 "EFI PART", 8 u32 revision, 12 u32 header size, 16 u32 CRC-32 of
// the header's first header-size bytes with this field zero, 20 u32
// reserved, 24 u64 this header's block, 32 u64 the other header's block,
// 40 u64 first usable block, 48 u64 last usable block, 56 disk GUID,
// 72 u64 first block of the entry array, 80 u32 entries, 84 u32 bytes per
// entry, 88 u32 CRC-32 of the entry array. The rest of the block is zero.
struct GptHeaderOffset {
    static constexpr std::size_t kSignature = 0;
    static constexpr std::size_t kHeaderSize = 12;
    static constexpr std::size_t kHeaderCrc = 16;
    static constexpr std::size_t kMyLba = 24;
    static constexpr std::size_t kAlternateLba = 32;
    static constexpr std::size_t kFirstUsableLba = 40;
    static constexpr std::size_t kLastUsableLba = 48;
    static constexpr std::size_t kEntryLba = 72;
    static constexpr std::size_t kEntryCount = 80;
    static constexpr std::size_t kEntrySize = 84;
    static constexpr std::size_t kEntryArrayCrc = 88;
};
inline constexpr std::size_t kGptMinHeaderSize = 92;

struct GptHeader {
    std::uint32_t headerSize = 0;
    std::uint64_t myLba = 0;
    std::uint64_t alternateLba = 0;
    std::uint64_t firstUsableLba = 0;
    std::uint64_t lastUsableLba = 0;
    std::uint64_t entryLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entrySize = 0;
    std::uint32_t entryArrayCrc = 0;
    std::uint64_t EntryArrayBytes() const { return std::uint64_t{entryCount} * entrySize; }
};
// The header in a block, checked: signature, a header size of 92 to 512
// bytes, a matching CRC, entries of at least 128 bytes in a multiple of 8.
TARVELIN_API std::optional<GptHeader> DecodeGptHeader(ConstBytes block);
// Writes the fields above (the GUID and reserved bytes stay) and seals the
// header with its CRC.
TARVELIN_API void EncodeGptHeader(const GptHeader& header, Bytes block);

// Entry: 0 partition type GUID (all zero: unused), 16 partition GUID,
// 32 u64 first block, 40 u64 last block (inclusive), 48 u64 attributes,
// 56 name in UTF-16LE.
struct GptEntryOffset {
    static constexpr std::size_t kTypeGuid = 0;
    static constexpr std::size_t kFirstLba = 32;
    static constexpr std::size_t kLastLba = 40;
};
struct GptEntry {
    bool used = false;
    std::uint64_t firstLba = 0;
    std::uint64_t lastLba = 0;
};
TARVELIN_API GptEntry DecodeGptEntry(ConstBytes entry);
// Writes the two block numbers; the GUIDs, attributes and name stay.
TARVELIN_API void EncodeGptEntry(const GptEntry& entry, Bytes bytes);

// ---------------------------------------------------------------------------
// Apple partition map (from block 0), for Macs; all numbers big-endian.
// Block 0 is the driver descriptor: "ER", the map's block size (u16 at 2;
// 512 when it is no multiple of 512). Blocks 1..n of that size: one entry
// each, "PM", the number of entries in the map (u32 at 4), first block (u32
// at 8), block count (u32 at 12), name (32 bytes at 16), type (32 bytes at
// 48), then the data's place inside the partition and other fields; block
// numbers count blocks of the map's size from the disk's start.

struct ApmEntryOffset {
    static constexpr std::size_t kMapEntries = 4;
    static constexpr std::size_t kFirstBlock = 8;
    static constexpr std::size_t kBlocks = 12;
    static constexpr std::size_t kType = 48;
};
inline constexpr std::size_t kApmTypeSize = 32;

struct ApmEntry {
    std::uint32_t mapEntries = 0;
    std::uint32_t firstBlock = 0;
    std::uint32_t blocks = 0;
    std::string type; // up to its first NUL
};
// The map's block size; 0 when block 0 is no driver descriptor.
std::uint32_t ApmBlockSize(ConstBytes block0);
// The entry at the start of a block; none without its signature.
std::optional<ApmEntry> DecodeApmEntry(ConstBytes block);
// Writes the first block and the block count; everything else stays.
void EncodeApmEntry(const ApmEntry& entry, Bytes block);

// ---------------------------------------------------------------------------
// Growing the tables for a save.

// Data a save moved, in 2048-byte sectors.
struct MovedRange {
    std::uint32_t from = 0;
    std::uint32_t sectors = 0;
    std::uint32_t to = 0;
    bool bootImage = false; // an El Torito boot image (which an isohybrid MBR may load)
};

struct VolumeGrowth {
    std::uint32_t oldVolumeSectors = 0; // the primary descriptor's volume space size before the save
    std::uint64_t oldFileLength = 0;    // bytes the image file held before the save
    std::uint32_t metadataEnd = 0;      // first sector behind the new metadata
    std::uint32_t dataEnd = 0;          // first sector behind everything the save wrote
    std::vector<MovedRange> moved;
};

struct GrownTables {
    bool changed = false;                 // systemArea differs from what the image holds
    std::vector<std::uint8_t> systemArea; // the 32 KiB to write back
    std::uint32_t volumeSectors = 0;      // the new volume space size
    // Backup entry array and header: the last blocks of the new volume.
    // Empty when no GPT is rewritten.
    std::vector<std::uint8_t> backupGpt;
};

// The tables of a system area (32 KiB) grown for a save; unchanged, with
// volumeSectors = dataEnd, when nothing in it is recognised.
TARVELIN_API GrownTables GrowTables(ConstBytes systemArea, const VolumeGrowth& growth);

// What the save needs before it writes anything: the system area, the
// volume space size and the file's length. Empty for an image that is not a
// plain one (raw sectors, a header in front), has no MBR, or whose system
// area or primary descriptor cannot be read.
//
// Some images carry a second copy of their file system for their first
// partition (xorriso's partition offset): the partition starts at a sector P
// of the image (16 or more), and from sector P + 16 on lie descriptors, path
// tables and directories whose sector numbers count from P, for the disk's
// readers that mount the partition. They share the files with the volume.
// A save writes the copy anew with the volume's metadata. The partition
// grows with the volume only where it covered it: one that ends in front of
// partitions appended behind it (an EFI system partition) keeps its end,
// since firmware ignores partitions that overlap, and data a save appends
// behind those is then out of the partition's reach.
struct FileSystemCopy {
    std::uint32_t offset = 0;        // P: the partition's first sector
    std::uint32_t volumeSectors = 0; // the copy's volume space size, counted from P
};
struct HybridTablesBefore {
    std::vector<std::uint8_t> systemArea;
    std::uint32_t volumeSectors = 0;
    std::uint64_t fileLength = 0;
    std::optional<FileSystemCopy> copy;
    // A partition from the system area with partitions appended behind it
    // keeps its end as well (sectors from the image's start): data a save
    // appends behind those is out of its reach. 0 when none.
    std::uint32_t keptPartitionEnd = 0;
};
TARVELIN_API std::optional<HybridTablesBefore> ReadHybridTables(IIsoSector& sector);

// Grows the tables of the image for a save whose metadata ends at
// metadataEnd and whose data ends at volumeSectors, and gives back in
// volumeSectors the size the descriptors must give the volume. Writes
// through the sector access (so under the save's undo journal): the backup
// GPT first, then the system area. False, with the reason, when a write
// fails.
TARVELIN_API bool WriteGrownTables(IIsoSector& sector, const HybridTablesBefore& before, std::uint32_t metadataEnd,
                                   std::span<const MovedRange> moved, std::uint32_t& volumeSectors,
                                   std::string& error);

} // namespace hybrid
} // namespace tarvelin
