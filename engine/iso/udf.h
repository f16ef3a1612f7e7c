#pragma once

// Reading the UDF file system of an image (ECMA-167 with the OSTA UDF
// rules, revisions 1.02 to 2.60): the anchor, the volume descriptor
// sequence, the partition maps (physical, sparable with its packets moved by
// its sparing table, and the
// metadata partition of 2.50 onwards), the file set and the tree of file
// entries below its root. Every descriptor tag is checked (checksum, CRC,
// location); a damaged structure is counted and skipped, a folder met twice
// is left empty, and every length is bounded by the image.

#include "platform/export.h"
#include "iso/iso9660.h"
#include "iso/udf_format.h"
#include "platform/time.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::iso::udf {

// A run of a file's bytes: `length` bytes from logical block `block` of
// partition reference `partition`, or a run that reads as zeros.
struct Extent {
    std::uint64_t length = 0;
    std::uint32_t block = 0;
    std::uint16_t partition = 0;
    bool recorded = true; // false: allocated or not, nothing recorded (zeros)
};

struct Node {
    std::string name;          // UTF-8; empty for the root
    bool isDirectory = false;
    bool isSymlink = false;
    std::string linkTarget;    // symbolic links: the target, '/'-separated
    std::uint64_t size = 0;
    platform::FileTime date = 0; // modification time; 0 when unset
    std::vector<Extent> extents;
    std::vector<std::uint8_t> embedded; // the data when it is held in the entry itself
    bool isEmbedded = false;
    std::uint32_t firstSector = 0; // absolute sector of the first recorded extent; 0 when none
    std::uint32_t entrySector = 0; // absolute sector of its (extended) file entry
    std::int32_t parent = -1;
    std::vector<std::int32_t> children;
};

// Damage met while reading, each skipped.
struct LoadReport {
    std::uint32_t badDescriptors = 0;  // tag checksum, CRC, location or identifier wrong
    std::uint32_t malformedRecords = 0; // lengths that do not fit
    std::uint32_t loopsRefused = 0;    // folders met twice, left empty
    std::uint32_t extentsOutside = 0;  // data lying beyond the end of the image
    std::uint32_t tooDeep = 0;         // folders nested too deeply, left empty
    std::uint32_t chainsCut = 0;       // allocation chains looping back or too long, the entry cut short

    std::uint32_t Total() const
    {
        return badDescriptors + malformedRecords + loopsRefused + extentsOutside + tooDeep + chainsCut;
    }
};
// What the read skipped, as a person reads it; empty when nothing.
TARVELIN_API std::string DescribeDamage(const LoadReport& report);

struct PartitionMap {
    enum class Kind { Physical, Metadata } kind = Kind::Physical;
    std::uint32_t start = 0;   // absolute sector of the physical partition
    std::uint32_t length = 0;  // its blocks
    bool sparable = false;     // a sparable partition: physical but for the packets its sparing table moved
    std::uint32_t packetBlocks = 0; // sparable: the blocks of one packet
    // Sparable: the first block of each moved packet, with the absolute
    // sector it now starts at, ordered by block.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> movedPackets;
    std::vector<Extent> metadataExtents; // Metadata: where its blocks lie in the physical partition
};

// Sectors from first on, absolute.
struct SectorSpan {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

struct Volume {
    std::uint16_t revision = 0;   // 0x0102, 0x0150, 0x0200, 0x0201, 0x0250, 0x0260
    std::uint8_t domainFlags = 0; // of the logical volume's domain: kHardWriteProtect, kSoftWriteProtect
    // The primary volume descriptor's application identifier (an entity
    // identifier, as recorded) and the flags of the partition contents
    // identifier of the first partition (bit 1: the contents are protected).
    std::array<std::uint8_t, 32> applicationId{};
    std::uint8_t contentsFlags = 0;
    std::string volumeIdentifier; // of the primary volume descriptor
    std::string logicalVolumeIdentifier;
    std::string volumeSetIdentifier;
    std::uint32_t anchorSector = 0;
    // Where its sequences lie (as the anchor gives them), its integrity
    // sequence (as the logical volume gives it) and its first partition.
    Placement placement;
    std::uint32_t fileCount = 0;
    std::uint32_t folderCount = 0; // without the root
    bool usedMetadataMirror = false;
    std::vector<PartitionMap> partitions;
    std::vector<Node> nodes; // nodes[0] is the root
    // The volume's own structures the reader met, besides the folders'
    // identifiers (the folders' extents): every anchor that checks out, both
    // volume descriptor sequences, the integrity sequence, the file set
    // descriptor, file entries and allocation extent descriptors.
    std::vector<SectorSpan> structures;
    LoadReport report;
};

// Reads the UDF volume of an image of sectorCount logical sectors. nullopt
// with *problem set when there is none or it cannot be read at all;
// *noVolume then tells the first (no anchor checks out) from the second.
TARVELIN_API std::optional<Volume> ReadVolume(const SectorReader& read, std::uint32_t sectorCount,
                                              std::string* problem, bool* noVolume = nullptr);

// Reads count bytes of a file from offset (offset + count <= node.size).
// Unrecorded runs, and bytes the extents do not reach, read as zeros. False
// with *problem set when a sector cannot be read or lies outside the image.
TARVELIN_API bool ReadFileData(const SectorReader& read, std::uint32_t sectorCount, const Volume& volume,
                               const Node& node, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
                               std::string* problem);

// "2.01" for 0x0201.
TARVELIN_API std::string RevisionText(std::uint16_t revision);

} // namespace tarvelin::iso::udf
