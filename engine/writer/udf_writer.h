#pragma once

// The UDF bridge of a new image (UDF 2.01) or a saved one: a UDF file
// system beside the ISO 9660 and Joliet trees that lists the same files at
// the same data extents.
//
// Where it lies (absolute sectors; N is the volume's sector count):
//   recognition .. +2   BEA01, NSR03 (NSR02 before 2.00), TEA01 behind the ISO 9660
//                       descriptor set terminator
//   256                 anchor volume descriptor pointer
//   257 .. 272          main volume descriptor sequence (primary, implementation
//                       use, partition, logical volume, unallocated space,
//                       terminator)
//   273 .. 288          reserve volume descriptor sequence, the same again
//   289, 290            logical volume integrity descriptor (closed), terminator
//   291 ..              the partition, to N-2: file set descriptor and its
//                       terminator, then every (folder's) file entry, each
//                       folder's identifiers behind its entry; the ISO 9660
//                       path tables, directories and the file data follow
//   N-1                 the second anchor
// A file's UDF block is its ISO 9660 extent less the partition's start. The
// sizes depend only on the names and the shape of the tree: Measure fixes
// them before the ISO 9660 layout, Render fills in the extents that layout
// gave the files.
//
// The same bridge serves a new image (the source tree) and the save of an
// edited one (the edited tree): a save lays the bridge out again and points
// it at the files' data as the save placed it. It keeps the places of the
// image's sequences and partition where the bridge fits them (other tools
// put the sequences in front of the anchor and start the partition at 257,
// right where their own structures begin: laid out at 291, the bridge would
// push the first file out of its place), and uses a new image's otherwise.
//
// Internal to engine/writer.

#include "core/byte_buffer.h"
#include "iso/udf_format.h"
#include "platform/time.h"
#include "writer/writer_tree.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin::writer {

// One entry of the bridge, in the order its file entries are recorded.
struct UdfItem {
    DirNode* node = nullptr;
    std::int32_t parent = -1;
    bool isDirectory = false;
    std::vector<std::uint8_t> name; // CS0
    std::vector<std::int32_t> children;
    std::uint32_t entryBlock = 0;
    std::uint32_t folderBlock = 0; // folders: first block of their identifiers
    std::uint32_t folderBytes = 0;
};

// The names the bridge records: the label (volume, logical volume and file
// set identifiers) and the volume set identifier; an empty one is made up
// from the build time as a new image has it. A save keeps the rest of what
// the image's volume said of itself too: its UDF revision (2.01 for a new
// image; one before 2.00 is recorded as NSR02 with version 2 tags), the
// write-protect flags of its domain, and how its UDF tree records symbolic
// links (linksAsFiles: as empty files, as genisoimage records them), the
// application that recorded it and whether its contents are protected.
struct UdfNames {
    std::string label;
    std::string volumeSet;
    std::uint16_t revision = 0x0201;
    std::uint8_t domainFlags = 0;
    bool linksAsFiles = false;
    // The application identifier of the primary volume descriptor, as the
    // image recorded it (empty for a new image: ours goes in), and the
    // flags of the partition's contents identifier.
    std::optional<std::array<std::uint8_t, 32>> applicationId{};
    std::uint8_t contentsFlags = 0;
};

class UdfBridge {
public:
    // Lays out the bridge of the tree with the recognition sequence at
    // recognitionSector, at the places kept when they take it (see above).
    // The file structures (file set descriptor, file entries, folders'
    // identifiers) begin with the partition, or at filesStart when that is
    // not 0: anywhere in the partition, behind the file data as well.
    // False, with error, when it cannot be.
    bool Measure(const TreeAccess& access, std::uint32_t recognitionSector, const iso::udf::Placement& kept,
                 std::uint32_t filesStart, std::string& error);
    // The partition's first sector: the volume's structures lie in front of it.
    std::uint32_t PartitionStart() const { return placement_.partitionStart; }
    std::uint32_t FilesStart() const { return placement_.partitionStart + fileSetBlock_; }
    // The first sector behind the file structures (before the closing
    // anchor): where the ISO 9660 path tables go.
    std::uint32_t EndSector() const { return FilesStart() + metadataBlocks_; }
    // Renders the sectors from the recognition sequence up to the partition,
    // then those from FilesStart up to EndSector, into head, and the closing
    // anchor (sector totalSectors - 1) into tail, with the extents the tree
    // holds now.
    bool Render(std::uint32_t totalSectors, platform::FileTime buildTime, const UdfNames& names,
                CByteBuffer& head, CByteBuffer& tail, std::string& error);
    std::uint32_t RecognitionSector() const { return recognitionSector_; }

private:
    std::vector<UdfItem> items_; // items_[0] is the root
    std::uint32_t recognitionSector_ = 0;
    iso::udf::Placement placement_;
    std::uint32_t fileSetBlock_ = 0;
    std::uint32_t metadataBlocks_ = 0; // from the file set descriptor on
};


} // namespace tarvelin::writer
