// The UDF bridge of a new image (2.01) or a saved one (of the image's
// revision); the layout is described in udf_writer.h. Every descriptor is rendered into its sector with the
// shared helpers of iso/udf_format.h and its tag is finished last, over
// the final bytes.

#include "writer/udf_writer.h"

#include "iso/udf_format.h"
#include "writer/descriptor_writer.h"
#include "writer/writer_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace tarvelin::writer {

namespace {

using namespace iso::udf;

// A new image's places: each sequence in the 16 sectors UDF asks for at
// least, one behind the other, then the integrity sequence, then the
// partition.
constexpr Placement kNewPlacement{};
static_assert(kNewPlacement.reserveSequence == kNewPlacement.mainSequence + kNewPlacement.sequenceSectors
              && kNewPlacement.integrity == kNewPlacement.reserveSequence + kNewPlacement.sequenceSectors
              && kNewPlacement.partitionStart == kNewPlacement.integrity + 2);
// The descriptors of a sequence: primary, implementation use, partition,
// logical volume, unallocated space, terminator.
constexpr std::uint32_t kSequenceDescriptors = 6;
constexpr std::uint32_t kIntegritySectors = 2; // the descriptor and its terminator
constexpr std::uint32_t kFirstEntryBlock = 2; // behind the file set descriptor and its terminator
constexpr std::uint64_t kFirstUniqueId = 16;  // 0 to 15 are reserved (UDF 3.2.1.1); the root has 0
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::uint8_t kOsClassUnix = 4;

constexpr std::uint8_t kImplementationSuffix[8] = {kOsClassUnix, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kNoSuffix[8] = {};
constexpr std::string_view kImplementation = "*Tarvelin";
constexpr std::string_view kDomain = "*OSTA UDF Compliant";

// long_ad (4/14.14.2) of a file entry, with the UDF unique id in its use.
void PutLongAd(std::uint8_t* p, std::uint32_t length, std::uint32_t block, std::uint32_t uniqueId)
{
    PutLe32(p, length);
    PutLe32(p + 4, block);
    PutLe16(p + 8, 0);
    PutLe32(p + 12, uniqueId);
}

std::uint32_t BlocksFor(std::uint64_t bytes) { return static_cast<std::uint32_t>((bytes + kUdfBlockSize - 1) / kUdfBlockSize); }

std::uint64_t UniqueId(std::size_t index) { return index == 0 ? 0 : kFirstUniqueId + index - 1; }

// The CS0 name of an entry, unique among its siblings: a name that a
// sibling already has (two sources of one name, or names cut alike to the
// 255 bytes of an identifier) ends in ~1, ~2, ... instead.
std::vector<std::uint8_t> UniqueName(const std::string& name, std::set<std::vector<std::uint8_t>>& taken)
{
    std::vector<std::uint8_t> encoded = EncodeCs0(name, kMaxNameBytes);
    for (unsigned n = 1; !encoded.empty() && !taken.insert(encoded).second; ++n) {
        const std::string suffix = "~" + std::to_string(n);
        const std::size_t unitBytes = encoded[0] == 16 ? 2 : 1;
        const std::vector<std::uint8_t> stem = EncodeCs0(name, kMaxNameBytes - suffix.size() * unitBytes);
        encoded = EncodeCs0(DecodeCs0(stem.data(), stem.size()) + suffix, kMaxNameBytes);
    }
    return encoded;
}

// POSIX rwx of owner, group and others as UDF permissions (4/14.9.5).
std::uint32_t Permissions(const DirEntry& record)
{
    const std::uint32_t mode = record.posix.known ? record.posix.mode : (record.isDirectory ? 0555u : 0444u);
    std::uint32_t out = 0;
    for (int who = 0; who < 3; ++who) {
        const std::uint32_t bits = (mode >> (3 * who)) & 7; // r 4, w 2, x 1: the same bits in UDF
        out |= bits << (5 * who);
    }
    return out;
}

// A run of a file's data: bytes from sector extent on.
struct DataRun {
    std::uint32_t extent = 0;
    std::uint64_t bytes = 0;
};

// The runs of a file's data: one for a file of a new image, however
// large; those its records name for one of an edited image (nothing when
// they do not add up).
std::vector<DataRun> DataRuns(const DirEntry& record)
{
    if (record.moreExtents.empty()) {
        return {{record.extent, record.size}};
    }
    std::vector<DataRun> runs;
    for (const FilePiece& piece : TreeAccess::FilePieces(record)) {
        runs.push_back({piece.extent, piece.length});
    }
    return runs;
}
// The file as the user knows it: its path on disk, else its name.
const std::string& ShownName(const DirEntry& record) { return record.diskPath.empty() ? record.name : record.diskPath; }

// The sectors of the bridge: from the recognition sequence to the
// partition's start, then the file structures from their first sector on
// (the two runs are one when those begin with the partition).
class Canvas {
public:
    Canvas(std::uint32_t first, std::uint32_t partitionStart, std::uint32_t filesStart, std::uint32_t end)
        : first_(first), partitionStart_(partitionStart), filesStart_(filesStart),
          bytes_(std::size_t{partitionStart - first + end - filesStart} * kUdfBlockSize, 0)
    {
    }
    std::uint8_t* At(std::uint32_t sector)
    {
        const std::size_t index =
            sector < partitionStart_ ? sector - first_ : std::size_t{partitionStart_ - first_} + (sector - filesStart_);
        return bytes_.data() + index * kUdfBlockSize;
    }
    std::uint8_t* Block(std::uint32_t block) { return At(partitionStart_ + block); }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::uint32_t first_;
    std::uint32_t partitionStart_;
    std::uint32_t filesStart_;
    std::vector<std::uint8_t> bytes_;
};

struct VolumeFacts {
    std::uint16_t revision = 0;
    std::uint16_t tagVersion = kTagVersion3;
    std::uint8_t domainFlags = 0;
    bool linksAsFiles = false;
    std::optional<std::array<std::uint8_t, 32>> applicationId;
    std::uint8_t contentsFlags = 0;
    Placement placement;
    std::uint32_t partitionLength = 0;
    std::uint32_t fileSetBlock = 0;
    platform::FileTime buildTime = 0;
    std::string label;
    std::string volumeSet;
    std::uint32_t files = 0;
    std::uint32_t folders = 0;
    std::uint64_t nextUniqueId = 0;
};

// The UDF and domain identifier suffixes (UDF 2.1.5.3): the revision, then
// the operating system class or the domain flags (the write protection).
struct Suffixes {
    std::uint8_t udf[8] = {};
    std::uint8_t domain[8] = {};
    Suffixes(std::uint16_t revision, std::uint8_t domainFlags)
    {
        udf[0] = domain[0] = static_cast<std::uint8_t>(revision);
        udf[1] = domain[1] = static_cast<std::uint8_t>(revision >> 8);
        udf[2] = kOsClassUnix;
        domain[2] = domainFlags & (kHardWriteProtect | kSoftWriteProtect);
    }
};

void PutDomain(std::uint8_t* p, const VolumeFacts& facts)
{
    PutEntityId(p, kDomain, Suffixes(facts.revision, facts.domainFlags).domain);
}

void PutAnchor(std::uint8_t* p, std::uint32_t sector, const VolumeFacts& facts)
{
    PutLe32(p + 16, facts.placement.sequenceSectors * kUdfBlockSize);
    PutLe32(p + 20, facts.placement.mainSequence);
    PutLe32(p + 24, facts.placement.sequenceSectors * kUdfBlockSize);
    PutLe32(p + 28, facts.placement.reserveSequence);
    FinishDescriptorTag(p, kTagAnchor, 512 - kTagSize, sector, facts.tagVersion);
}

// One volume descriptor sequence (3/10.1 to 3/10.9, UDF 2.2).
void PutSequence(Canvas& canvas, std::uint32_t first, const VolumeFacts& facts)
{
    std::uint8_t* p = canvas.At(first);
    PutLe32(p + 16, 0);
    PutDString(p + 24, 32, facts.label);
    PutLe16(p + 56, 1);  // volume sequence number
    PutLe16(p + 58, 1);  // of 1
    PutLe16(p + 60, 2);  // interchange level
    PutLe16(p + 62, 2);
    PutLe32(p + 64, 1);  // character set list: CS0
    PutLe32(p + 68, 1);
    PutDString(p + 72, 128, facts.volumeSet);
    PutOstaCharspec(p + 200);
    PutOstaCharspec(p + 264);
    if (facts.applicationId) {
        std::copy(facts.applicationId->begin(), facts.applicationId->end(), p + 344);
    } else {
        PutEntityId(p + 344, kImplementation, kImplementationSuffix);
    }
    PutTimestamp(p + 376, facts.buildTime);
    PutEntityId(p + 388, kImplementation, kImplementationSuffix);
    FinishDescriptorTag(p, kTagPrimaryVolume, 512 - kTagSize, first, facts.tagVersion);

    p = canvas.At(first + 1);
    PutLe32(p + 16, 1);
    PutEntityId(p + 20, "*UDF LV Info", Suffixes(facts.revision, facts.domainFlags).udf);
    PutOstaCharspec(p + 52);
    PutDString(p + 116, 128, facts.label);
    PutEntityId(p + 352, kImplementation, kImplementationSuffix);
    FinishDescriptorTag(p, kTagImplementationUse, 512 - kTagSize, first + 1, facts.tagVersion);

    p = canvas.At(first + 2);
    PutLe32(p + 16, 2);
    PutLe16(p + 20, 1); // allocated
    PutLe16(p + 22, 0); // partition number
    PutEntityId(p + 24, facts.tagVersion == kTagVersion2 ? "+NSR02" : "+NSR03", kNoSuffix);
    p[24] = facts.contentsFlags;
    PutLe32(p + 184, 1); // read only
    PutLe32(p + 188, facts.placement.partitionStart);
    PutLe32(p + 192, facts.partitionLength);
    PutEntityId(p + 196, kImplementation, kImplementationSuffix);
    FinishDescriptorTag(p, kTagPartition, 512 - kTagSize, first + 2, facts.tagVersion);

    p = canvas.At(first + 3);
    PutLe32(p + 16, 3);
    PutOstaCharspec(p + 20);
    PutDString(p + 84, 128, facts.label);
    PutLe32(p + 212, kUdfBlockSize);
    PutDomain(p + 216, facts);
    PutLongAd(p + 248, 2 * kUdfBlockSize, facts.fileSetBlock, 0); // the file set descriptor sequence
    PutLe32(p + 264, 6);                             // map table length
    PutLe32(p + 268, 1);                             // one map
    PutEntityId(p + 272, kImplementation, kImplementationSuffix);
    PutLe32(p + 432, kIntegritySectors * kUdfBlockSize); // integrity sequence
    PutLe32(p + 436, facts.placement.integrity);
    p[440] = 1; // type 1 map: volume 1, partition 0
    p[441] = 6;
    PutLe16(p + 442, 1);
    PutLe16(p + 444, 0);
    FinishDescriptorTag(p, kTagLogicalVolume, 446 - kTagSize, first + 3, facts.tagVersion);

    p = canvas.At(first + 4);
    PutLe32(p + 16, 4); // no unallocated extents: the medium is read only
    FinishDescriptorTag(p, kTagUnallocatedSpace, 24 - kTagSize, first + 4, facts.tagVersion);

    FinishDescriptorTag(canvas.At(first + 5), kTagTerminating, 512 - kTagSize, first + 5, facts.tagVersion);
}

// 3/10.10 with UDF 2.2.6: closed, no free space, the volume's revision throughout.
void PutIntegrity(Canvas& canvas, const VolumeFacts& facts)
{
    const std::uint32_t at = facts.placement.integrity;
    std::uint8_t* p = canvas.At(at);
    PutTimestamp(p + 16, facts.buildTime);
    PutLe32(p + 28, 1);                // close
    PutLe64(p + 40, facts.nextUniqueId); // logical volume header descriptor
    PutLe32(p + 72, 1);                // partitions
    PutLe32(p + 76, 46);               // implementation use length
    PutLe32(p + 80, 0);                // free blocks
    PutLe32(p + 84, facts.partitionLength);
    PutEntityId(p + 88, kImplementation, kImplementationSuffix);
    PutLe32(p + 120, facts.files);
    PutLe32(p + 124, facts.folders);
    PutLe16(p + 128, facts.revision); // least read revision
    PutLe16(p + 130, facts.revision); // least write revision
    PutLe16(p + 132, facts.revision); // most write revision
    FinishDescriptorTag(p, kTagLogicalVolumeIntegrity, 134 - kTagSize, at, facts.tagVersion);
    FinishDescriptorTag(canvas.At(at + 1), kTagTerminating, 512 - kTagSize, at + 1, facts.tagVersion);
}

// 4/14.1 with UDF 2.3.2.
void PutFileSet(Canvas& canvas, const VolumeFacts& facts, std::uint32_t rootBlock)
{
    std::uint8_t* p = canvas.Block(facts.fileSetBlock);
    PutTimestamp(p + 16, facts.buildTime);
    PutLe16(p + 28, 3); // interchange level
    PutLe16(p + 30, 3);
    PutLe32(p + 32, 1);
    PutLe32(p + 36, 1);
    PutOstaCharspec(p + 48);
    PutDString(p + 112, 128, facts.label);
    PutOstaCharspec(p + 240);
    PutDString(p + 304, 32, facts.label);
    PutLongAd(p + 400, kUdfBlockSize, rootBlock, 0);
    PutDomain(p + 416, facts);
    FinishDescriptorTag(p, kTagFileSet, 512 - kTagSize, facts.fileSetBlock, facts.tagVersion);
    FinishDescriptorTag(canvas.Block(facts.fileSetBlock + 1), kTagTerminating, 512 - kTagSize, facts.fileSetBlock + 1,
                        facts.tagVersion);
}

// The allocation of a file entry at ads (room bytes): short ADs of the
// file's data, the link's path embedded, or the folder's identifiers.
// Sets length, recorded blocks and descriptor bytes; false with error when
// it does not fit.
struct Allocation {
    std::uint64_t length = 0;
    std::uint64_t recorded = 0;
    std::size_t bytes = 0;
    bool embedded = false;
};

// The file data lies in [dataStart, dataEnd).
struct DataArea {
    std::uint32_t dataStart = 0;
    std::uint32_t dataEnd = 0;
    std::uint32_t partitionStart = 0; // the sector of block 0
};

// A link the volume records as an empty file has no allocation.
bool PutAllocation(std::uint8_t* ads, const UdfItem& item, const DirEntry& record, DataArea area, bool asLink,
                   Allocation& out, std::string& error)
{
    const std::size_t room = kUdfBlockSize - fe::kAllocation;
    if (item.isDirectory) {
        PutLe32(ads, item.folderBytes);
        PutLe32(ads + 4, item.folderBlock);
        out = {item.folderBytes, BlocksFor(item.folderBytes), 8, false};
        return true;
    }
    if (record.IsSymlink() && !asLink) {
        out = {};
        return true;
    }
    if (record.IsSymlink()) {
        const std::vector<std::uint8_t> path = EncodePathComponents(record.posix.linkTarget);
        if (path.size() > room) {
            error = "the target of the link '" + ShownName(record) + "' is too long for a UDF file entry";
            return false;
        }
        std::copy(path.begin(), path.end(), ads);
        out = {path.size(), 0, path.size(), true};
        return true;
    }
    out = {};
    const std::vector<DataRun> runs = DataRuns(record);
    std::uint64_t total = 0;
    for (const DataRun& run : runs) {
        total += run.bytes;
    }
    if (total != record.size) {
        error = "the data of '" + ShownName(record) + "' lies in extents that do not add up to its size";
        return false;
    }
    for (const DataRun& run : runs) {
        if (run.bytes == 0) {
            continue;
        }
        if (out.recorded * kUdfBlockSize != out.length) {
            error = "the data of '" + ShownName(record) + "' lies in extents UDF cannot describe (one ends inside a block)";
            return false;
        }
        if (run.extent < area.dataStart || run.extent >= area.dataEnd) {
            error = "the data of '" + ShownName(record) + "' lies outside the UDF partition";
            return false;
        }
        // Extents of at most kMaxExtentBytes, so that every one but the
        // last is a whole number of blocks.
        std::uint32_t block = run.extent - area.partitionStart;
        for (std::uint64_t left = run.bytes; left > 0;) {
            if (out.bytes + 8 > room) {
                error = "'" + ShownName(record) + "' is too large for one UDF file entry";
                return false;
            }
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kMaxExtentBytes));
            PutLe32(ads + out.bytes, piece);
            PutLe32(ads + out.bytes + 4, block);
            out.bytes += 8;
            block += BlocksFor(piece);
            left -= piece;
        }
        out.recorded += BlocksFor(run.bytes);
        out.length += run.bytes;
    }
    return true;
}

// The file entry (4/14.9) of items[index].
bool PutEntry(Canvas& canvas, const std::vector<UdfItem>& items, std::size_t index, const DirEntry& record,
              DataArea area, const VolumeFacts& facts, std::string& error)
{
    const UdfItem& item = items[index];
    std::uint8_t* p = canvas.Block(item.entryBlock);
    Allocation allocation;
    const bool link = record.IsSymlink() && !facts.linksAsFiles;
    if (!PutAllocation(p + fe::kAllocation, item, record, area, link, allocation, error)) {
        return false;
    }
    // The ICB tag (4/14.6): strategy 4, one entry.
    PutLe16(p + 20, 4);
    PutLe16(p + 24, 1);
    // A link is a UDF symbolic link (4/14.6.6 type 12, its path components
    // embedded), which readers that follow links expect. A reader that knows
    // only files and folders (7-Zip) refuses a UDF tree holding one, so the
    // save of a volume that records its links as empty files keeps them so.
    p[fe::kFileType] = item.isDirectory ? kFileTypeDirectory : link ? kFileTypeSymlink : kFileTypeRegular;
    PutLe16(p + fe::kIcbFlags, allocation.embedded ? kAdEmbedded : kAdShort);
    PutLe32(p + fe::kUid, record.posix.known ? record.posix.uid : UINT32_MAX);
    PutLe32(p + fe::kGid, record.posix.known ? record.posix.gid : UINT32_MAX);
    PutLe32(p + fe::kPermissions, Permissions(record));
    // A folder is named by its parent's identifier and its subfolders' parent identifiers.
    const auto subfolders = std::count_if(item.children.begin(), item.children.end(), [&items](std::int32_t child) {
        return items[static_cast<std::size_t>(child)].isDirectory;
    });
    PutLe16(p + fe::kLinkCount, static_cast<std::uint16_t>(1 + subfolders));
    PutLe64(p + fe::kInformationLength, allocation.length);
    PutLe64(p + fe::kBlocksRecorded, allocation.recorded);
    const platform::FileTime modified = record.posix.modified != 0 ? record.posix.modified : record.date;
    PutTimestamp(p + fe::kAccessTime, record.posix.accessed != 0 ? record.posix.accessed : modified);
    PutTimestamp(p + fe::kModificationTime, modified);
    PutTimestamp(p + fe::kAttributeTime, record.posix.changed != 0 ? record.posix.changed : modified);
    PutLe32(p + fe::kCheckpoint, 1);
    PutEntityId(p + fe::kImplementation, kImplementation, kImplementationSuffix);
    PutLe64(p + fe::kUniqueId, UniqueId(index));
    PutLe32(p + fe::kEaLength + 4, static_cast<std::uint32_t>(allocation.bytes));
    FinishDescriptorTag(p, kTagFileEntry, fe::kAllocation + allocation.bytes - kTagSize, item.entryBlock,
                        facts.tagVersion);
    return true;
}

// The identifiers of folder items[index] (4/14.4), packed across its
// blocks: the parent's first, then each child's. Each tag names the block
// its descriptor starts in.
void PutFolder(Canvas& canvas, const std::vector<UdfItem>& items, std::size_t index, std::uint16_t tagVersion)
{
    const UdfItem& folder = items[index];
    std::vector<std::uint8_t> stream(std::size_t{BlocksFor(folder.folderBytes)} * kUdfBlockSize, 0);
    std::size_t at = 0;
    const auto put = [&](std::size_t target, std::uint8_t characteristics, const std::vector<std::uint8_t>& name) {
        std::uint8_t* f = stream.data() + at;
        PutLe16(f + 16, 1); // file version number
        f[fi::kCharacteristics] = characteristics;
        f[fi::kNameLength] = static_cast<std::uint8_t>(name.size());
        PutLongAd(f + fi::kIcb, kUdfBlockSize, items[target].entryBlock, static_cast<std::uint32_t>(UniqueId(target)));
        std::copy(name.begin(), name.end(), f + fi::kFixedSize);
        const std::size_t size = fi::Size(0, name.size());
        FinishDescriptorTag(f, kTagFileIdentifier, size - kTagSize,
                            folder.folderBlock + static_cast<std::uint32_t>(at / kUdfBlockSize), tagVersion);
        at += size;
    };
    put(folder.parent < 0 ? index : static_cast<std::size_t>(folder.parent), kCharDirectory | kCharParent, {});
    for (const std::int32_t child : folder.children) {
        const UdfItem& entry = items[static_cast<std::size_t>(child)];
        put(static_cast<std::size_t>(child), entry.isDirectory ? kCharDirectory : 0, entry.name);
    }
    std::copy(stream.begin(), stream.end(), canvas.Block(folder.folderBlock));
}

// Whether the places a volume had take this bridge's structures: each
// sequence room for its descriptors, everything behind the recognition
// sequence (which ends at firstFree) and in front of the partition, apart
// from each other and from the anchor, and the partition behind the anchor
// and no later than a new image's.
bool Holds(const Placement& places, std::uint32_t firstFree)
{
    if (places.sequenceSectors < kSequenceDescriptors || places.partitionStart <= kAnchorSector
        || places.partitionStart > kNewPlacement.partitionStart) {
        return false;
    }
    const std::pair<std::uint32_t, std::uint32_t> spans[] = {
        {places.mainSequence, places.sequenceSectors},
        {places.reserveSequence, places.sequenceSectors},
        {places.integrity, kIntegritySectors},
        {kAnchorSector, 1},
    };
    for (std::size_t i = 0; i < std::size(spans); ++i) {
        const auto [first, count] = spans[i];
        if (first < firstFree || first + count > places.partitionStart) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (first < spans[j].first + spans[j].second && spans[j].first < first + count) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool UdfBridge::Measure(const TreeAccess& access, std::uint32_t recognitionSector, const Placement& kept,
                        std::uint32_t filesStart, std::string& error)
{
    items_.clear();
    recognitionSector_ = recognitionSector;
    if (recognitionSector + 3 > kAnchorSector) {
        error = "the volume descriptors leave no room for the UDF recognition sequence before sector 256";
        return false;
    }
    placement_ = Holds(kept, recognitionSector + 3) ? kept : kNewPlacement;
    if (filesStart != 0 && filesStart < placement_.partitionStart) {
        error = "the UDF file structures cannot begin in front of the partition, at sector "
            + std::to_string(filesStart);
        return false;
    }
    fileSetBlock_ = filesStart != 0 ? filesStart - placement_.partitionStart : 0;
    if (!access.Valid()) {
        error = "no source tree";
        return false;
    }
    items_.push_back({access.Root(), -1, true, {}, {}, 0, 0, 0});
    // Level by level: a folder's children are numbered before anything below them.
    std::set<std::vector<std::uint8_t>> siblings;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!items_[i].isDirectory) {
            continue;
        }
        siblings.clear();
        for (auto child = access.FirstChild(items_[i].node); child != nullptr; child = access.NextSibling(child)) {
            const DirEntry& record = child->entry;
            UdfItem item{child, static_cast<std::int32_t>(i), record.isDirectory,
                         UniqueName(record.NameToWrite(), siblings),
                         {}, 0, 0, 0};
            if (item.name.empty()) { // not even one character fits
                error = "'" + ShownName(record) + "' has no name a UDF file system can record";
                return false;
            }
            items_[i].children.push_back(static_cast<std::int32_t>(items_.size()));
            items_.push_back(std::move(item));
        }
    }
    std::uint64_t next = std::uint64_t{fileSetBlock_} + kFirstEntryBlock;
    for (auto& item : items_) {
        item.entryBlock = static_cast<std::uint32_t>(next++);
        if (!item.isDirectory) {
            continue;
        }
        std::uint64_t bytes = fi::Size(0, 0); // the parent's identifier
        for (const std::int32_t child : item.children) {
            bytes += fi::Size(0, items_[static_cast<std::size_t>(child)].name.size());
        }
        if (bytes > kMaxExtentBytes) {
            error = "a folder holds too many entries for one UDF extent";
            return false;
        }
        item.folderBytes = static_cast<std::uint32_t>(bytes);
        item.folderBlock = static_cast<std::uint32_t>(next);
        next += BlocksFor(bytes);
    }
    if ((placement_.partitionStart + next) * kUdfBlockSize > UINT32_MAX) {
        error = "the tree has too many entries for a UDF file system";
        return false;
    }
    metadataBlocks_ = static_cast<std::uint32_t>(next - fileSetBlock_);
    return true;
}

bool UdfBridge::Render(std::uint32_t totalSectors, platform::FileTime buildTime,
                                 const UdfNames& names, CByteBuffer& head, CByteBuffer& tail, std::string& error)
{
    if (items_.empty() || totalSectors <= EndSector()) {
        error = "the UDF file system was not laid out before it was rendered";
        return false;
    }
    VolumeFacts facts;
    facts.revision = names.revision;
    facts.tagVersion = names.revision < kFirstNsr03Revision ? kTagVersion2 : kTagVersion3;
    facts.domainFlags = names.domainFlags;
    facts.linksAsFiles = names.linksAsFiles;
    facts.applicationId = names.applicationId;
    facts.contentsFlags = names.contentsFlags;
    facts.placement = placement_;
    facts.partitionLength = totalSectors - 1 - placement_.partitionStart;
    facts.fileSetBlock = fileSetBlock_;
    facts.buildTime = buildTime;
    facts.label = names.label.empty() ? DateVolumeLabel(buildTime) : names.label;
    facts.volumeSet = names.volumeSet;
    if (facts.volumeSet.empty()) {
        char serial[17];
        std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(buildTime));
        facts.volumeSet = std::string(serial) + facts.label;
    }
    facts.nextUniqueId = kFirstUniqueId + items_.size();
    for (const auto& item : items_) {
        ++(item.isDirectory ? facts.folders : facts.files);
    }

    Canvas canvas(recognitionSector_, placement_.partitionStart, FilesStart(), EndSector());
    // The volume recognition sequence (2/9.2, 3/9.1): BEA01, NSR02 or NSR03, TEA01.
    const char* const recognition[] = {"BEA01", facts.tagVersion == kTagVersion2 ? "NSR02" : "NSR03", "TEA01"};
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint8_t* p = canvas.At(recognitionSector_ + i);
        std::memcpy(p + 1, recognition[i], 5);
        p[6] = 1;
    }
    PutAnchor(canvas.At(kAnchorSector), kAnchorSector, facts);
    PutSequence(canvas, placement_.mainSequence, facts);
    PutSequence(canvas, placement_.reserveSequence, facts);
    PutIntegrity(canvas, facts);
    PutFileSet(canvas, facts, items_[0].entryBlock);

    for (std::size_t i = 0; i < items_.size(); ++i) {
        const DataArea area{placement_.partitionStart, totalSectors - 1, placement_.partitionStart};
        if (!PutEntry(canvas, items_, i, items_[i].node->entry, area, facts, error)) {
            return false;
        }
        if (items_[i].isDirectory) {
            PutFolder(canvas, items_, i, facts.tagVersion);
        }
    }

    std::vector<std::uint8_t> closing(kUdfBlockSize, 0);
    PutAnchor(closing.data(), totalSectors - 1, facts);
    head.Clear();
    tail.Clear();
    if (!head.Append(canvas.Bytes().data(), static_cast<std::uint32_t>(canvas.Bytes().size()))
        || !tail.Append(closing.data(), kUdfBlockSize)) {
        error = "out of memory for the UDF file system";
        return false;
    }
    return true;
}


} // namespace tarvelin::writer
