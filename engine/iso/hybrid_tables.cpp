#include "iso/hybrid_tables.h"

#include "core/crc32.h"
#include "core/image_file.h"
#include "core/iso_sector.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tarvelin::hybrid {

namespace {

constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::size_t kGptMinEntrySize = 128;
constexpr std::uint32_t kMaxChsCylinder = 1023;

std::uint64_t ReadLe64(ConstBytes bytes, std::size_t offset)
{
    return std::uint64_t{iso::ReadLe32(bytes, offset)} | (std::uint64_t{iso::ReadLe32(bytes, offset + 4)} << 32);
}

void PutLe64(Bytes bytes, std::size_t offset, std::uint64_t value)
{
    iso::PutLe32(bytes, offset, static_cast<std::uint32_t>(value));
    iso::PutLe32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t BlocksFor(std::uint64_t bytes)
{
    return (bytes + kBlockSize - 1) / kBlockSize;
}

ConstBytes Block(ConstBytes area, std::uint64_t lba)
{
    return area.subspan(static_cast<std::size_t>(lba * kBlockSize), kBlockSize);
}

bool IsExtended(std::uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// Where the old volume ended, as partitions that cover it may record it
// (exclusive ends, in blocks).
struct OldEnds {
    std::uint64_t volume = 0;
    std::uint64_t file = 0; // only when the file runs on behind the volume, else 0
};

OldEnds OldEndsOf(const VolumeGrowth& growth)
{
    OldEnds ends;
    ends.volume = std::uint64_t{growth.oldVolumeSectors} * kBlocksPerSector;
    const std::uint64_t fileBlocks = BlocksFor(growth.oldFileLength);
    ends.file = fileBlocks > ends.volume ? fileBlocks : 0;
    return ends;
}

bool CoversVolume(std::uint64_t first, std::uint64_t end, const OldEnds& ends)
{
    return first <= kSystemAreaBlocks && end != 0 && (end == ends.volume || end == ends.file);
}

std::optional<GptHeader> PrimaryGpt(ConstBytes area);

// Whether a partition starts at or behind end (an EFI system partition
// appended to the volume, xorriso's gap partitions).
bool PartitionBehind(std::uint64_t end, std::span<const std::uint64_t> starts)
{
    return std::any_of(starts.begin(), starts.end(), [end](std::uint64_t start) { return start >= end; });
}

// A partition that covered the volume grows over what a save appends,
// unless partitions lie behind it: growing over those would make them
// overlap, and UEFI firmware skips partitions of a GPT that overlap, so the
// disk would no longer boot.
bool GrowsWithVolume(std::uint64_t first, std::uint64_t end, const OldEnds& ends, std::span<const std::uint64_t> starts)
{
    return CoversVolume(first, end, ends) && !PartitionBehind(end, starts);
}

// The partitions the MBR and a GPT in the system area name, [first, end) in
// blocks.
struct BlockExtent {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};
std::vector<BlockExtent> Partitions(ConstBytes area)
{
    std::vector<BlockExtent> partitions;
    for (std::size_t i = 0; i < kMbrEntryCount; ++i) {
        const MbrPartition entry =
            DecodeMbrPartition(area.subspan(MbrOffset::kPartitionTable + i * kMbrEntrySize, kMbrEntrySize));
        if (entry.blocks != 0 && entry.type != kMbrTypeProtective && !IsExtended(entry.type)) {
            partitions.push_back({entry.firstLba, std::uint64_t{entry.firstLba} + entry.blocks});
        }
    }
    if (const std::optional<GptHeader> header = PrimaryGpt(area)) {
        for (std::uint32_t i = 0; i < header->entryCount; ++i) {
            const GptEntry entry = DecodeGptEntry(area.subspan(
                static_cast<std::size_t>(header->entryLba * kBlockSize) + std::size_t{i} * header->entrySize,
                header->entrySize));
            if (entry.used && entry.lastLba >= entry.firstLba) {
                partitions.push_back({entry.firstLba, entry.lastLba + 1});
            }
        }
    }
    return partitions;
}

std::vector<std::uint64_t> PartitionStarts(ConstBytes area)
{
    std::vector<std::uint64_t> starts;
    for (const BlockExtent& partition : Partitions(area)) {
        starts.push_back(partition.first);
    }
    return starts;
}

// Where a block that lay on moved data is now; none when it lay on none.
// The partition [first, end) must start where the data started and end
// inside it.
std::optional<std::uint64_t> MovedStart(std::uint64_t first, std::uint64_t end, std::span<const MovedRange> moved)
{
    for (const MovedRange& range : moved) {
        const std::uint64_t from = std::uint64_t{range.from} * kBlocksPerSector;
        if (range.sectors != 0 && range.from != range.to && first == from && end > first
            && end <= from + std::uint64_t{range.sectors} * kBlocksPerSector) {
            return std::uint64_t{range.to} * kBlocksPerSector;
        }
    }
    return std::nullopt;
}

// The GPT as the save rewrites it: where the backup goes and how large the
// volume becomes.
struct GptPlan {
    GptHeader header;                // the primary header as it was
    std::uint64_t entryBlocks = 0;
    std::uint32_t volumeSectors = 0; // the new volume, backup included
    std::uint64_t diskEnd = 0;       // blocks: the backup header is the block before
    std::uint64_t lastUsable = 0;    // the new last usable block
};

std::optional<GptHeader> PrimaryGpt(ConstBytes area)
{
    std::optional<GptHeader> header = DecodeGptHeader(Block(area, 1));
    if (!header || header->myLba != 1 || header->entryLba < 2 || header->EntryArrayBytes() == 0
        || header->entryLba * kBlockSize + header->EntryArrayBytes() > kSystemAreaBytes) {
        return std::nullopt; // an entry array behind the system area is part of the volume: not ours to write
    }
    const auto entries = area.subspan(static_cast<std::size_t>(header->entryLba * kBlockSize),
                                      static_cast<std::size_t>(header->EntryArrayBytes()));
    if (Crc32(entries.data(), entries.size()) != header->entryArrayCrc) {
        return std::nullopt;
    }
    return header;
}

std::optional<GptPlan> PlanGpt(ConstBytes area, const VolumeGrowth& growth)
{
    const std::optional<GptHeader> header = PrimaryGpt(area);
    if (!header) {
        return std::nullopt;
    }
    GptPlan plan;
    plan.header = *header;
    plan.entryBlocks = BlocksFor(header->EntryArrayBytes());
    const std::uint64_t tailBlocks = plan.entryBlocks + 1;
    const auto tailSectors = static_cast<std::uint32_t>((tailBlocks + kBlocksPerSector - 1) / kBlocksPerSector);

    // A save that appended nothing writes the backup where it was, when it
    // ended the file and nothing but it lay behind the last usable block.
    const std::uint64_t fileBlocks = BlocksFor(growth.oldFileLength);
    const std::uint64_t dataEndBlocks = std::uint64_t{growth.dataEnd} * kBlocksPerSector;
    const bool reuse = growth.oldFileLength % iso::kSectorSize == 0 && dataEndBlocks == fileBlocks
                       && header->alternateLba + 1 == fileBlocks && header->lastUsableLba + tailBlocks < fileBlocks
                       && (fileBlocks - tailBlocks) / kBlocksPerSector >= growth.metadataEnd;
    if (reuse) {
        plan.volumeSectors = growth.dataEnd;
    } else if (growth.dataEnd > std::numeric_limits<std::uint32_t>::max() - tailSectors) {
        return std::nullopt;
    } else {
        plan.volumeSectors = growth.dataEnd + tailSectors;
    }
    plan.diskEnd = std::uint64_t{plan.volumeSectors} * kBlocksPerSector;
    plan.lastUsable = plan.diskEnd - tailBlocks - 1;
    if (plan.lastUsable < header->firstUsableLba) {
        return std::nullopt;
    }
    return plan;
}

// Grows or moves the GPT entries; false (nothing to be written) when a
// partition that stays would end past the new last usable block.
bool GrowGptEntries(Bytes entries, const GptPlan& plan, const OldEnds& ends, std::span<const std::uint64_t> starts,
                    std::span<const MovedRange> moved)
{
    const std::uint64_t oldUsable = plan.header.lastUsableLba;
    for (std::uint32_t i = 0; i < plan.header.entryCount; ++i) {
        Bytes bytes = entries.subspan(std::size_t{i} * plan.header.entrySize, plan.header.entrySize);
        GptEntry entry = DecodeGptEntry(bytes);
        if (!entry.used || entry.lastLba < entry.firstLba) {
            continue;
        }
        const std::uint64_t end = entry.lastLba + 1;
        const std::uint64_t wholeSectorsEnd = (oldUsable + 1) / kBlocksPerSector * kBlocksPerSector;
        const bool toLastUsable = entry.firstLba <= kSystemAreaBlocks
            && (end == oldUsable || end == oldUsable + 1 || end == wholeSectorsEnd);
        if (GrowsWithVolume(entry.firstLba, end, ends, starts) || toLastUsable) {
            entry.lastLba = plan.lastUsable;
        } else if (const std::optional<std::uint64_t> to = MovedStart(entry.firstLba, end, moved)) {
            entry.lastLba = *to + (entry.lastLba - entry.firstLba);
            entry.firstLba = *to;
        }
        if (entry.lastLba > plan.lastUsable) {
            return false;
        }
        EncodeGptEntry(entry, bytes);
    }
    return true;
}

// Rewrites the primary GPT in area and renders the backup (entry array,
// then header) into backup; false, with area untouched, when the GPT must
// stay as it is.
bool GrowGpt(Bytes area, const GptPlan& plan, const OldEnds& ends, std::span<const std::uint64_t> starts,
             std::span<const MovedRange> moved, std::vector<std::uint8_t>& backup)
{
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(plan.entryBlocks * kBlockSize), 0);
    const Bytes oldEntries = area.subspan(static_cast<std::size_t>(plan.header.entryLba * kBlockSize),
                                          static_cast<std::size_t>(plan.header.EntryArrayBytes()));
    std::copy(oldEntries.begin(), oldEntries.end(), entries.begin());
    if (!GrowGptEntries(entries, plan, ends, starts, moved)) {
        return false;
    }
    std::copy_n(entries.begin(), oldEntries.size(), oldEntries.begin());

    GptHeader header = plan.header;
    header.alternateLba = plan.diskEnd - 1;
    header.lastUsableLba = plan.lastUsable;
    header.entryArrayCrc = Crc32(entries.data(), static_cast<std::size_t>(header.EntryArrayBytes()));
    const Bytes primary = area.subspan(kBlockSize, kBlockSize);
    EncodeGptHeader(header, primary);

    backup = std::move(entries);
    const std::size_t headerAt = backup.size();
    backup.insert(backup.end(), primary.begin(), primary.end());
    header.myLba = plan.diskEnd - 1;
    header.alternateLba = 1;
    header.entryLba = plan.diskEnd - 1 - plan.entryBlocks;
    EncodeGptHeader(header, Bytes(backup).subspan(headerAt, kBlockSize));
    return true;
}

// The CHS fields of an entry that now lies elsewhere, in the geometry its
// old fields were addresses in; kept as they were when that is not known.
void Reaim(MbrPartition& partition, const MbrPartition& old)
{
    if (const std::optional<ChsGeometry> geometry = GeometryOf(old)) {
        partition.firstChs = EncodeChs(ChsOf(partition.firstLba, *geometry));
        partition.lastChs = EncodeChs(ChsOf(std::uint64_t{partition.firstLba} + partition.blocks - 1, *geometry));
    }
}

void GrowMbr(Bytes block0, const OldEnds& ends, std::span<const std::uint64_t> starts, std::uint64_t newEnd,
             const std::optional<GptPlan>& gpt, std::span<const MovedRange> moved)
{
    constexpr std::uint64_t kMaxBlocks = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t i = 0; i < kMbrEntryCount; ++i) {
        const Bytes bytes = block0.subspan(MbrOffset::kPartitionTable + i * kMbrEntrySize, kMbrEntrySize);
        const MbrPartition old = DecodeMbrPartition(bytes);
        MbrPartition partition = old;
        const std::uint64_t first = old.firstLba;
        const std::uint64_t end = first + old.blocks;
        if (old.blocks == 0 || IsExtended(old.type)) {
            continue;
        }
        if (old.type == kMbrTypeProtective) {
            // Up to the backup header in the last block, as far as 32 bits
            // reach; an entry that already reaches further stays.
            if (gpt && first < gpt->diskEnd && old.blocks != kMaxBlocks && end < gpt->diskEnd) {
                partition.blocks = static_cast<std::uint32_t>(std::min(gpt->diskEnd - first, kMaxBlocks));
            }
        } else if (GrowsWithVolume(first, end, ends, starts) && first < newEnd) {
            partition.blocks = static_cast<std::uint32_t>(std::min(newEnd - first, kMaxBlocks));
        } else if (const std::optional<std::uint64_t> to = MovedStart(first, end, moved)) {
            if (*to + old.blocks <= kMaxBlocks) {
                partition.firstLba = static_cast<std::uint32_t>(*to);
            }
        }
        if (partition != old) {
            Reaim(partition, old);
            EncodeMbrPartition(partition, bytes);
        }
    }
}

// The boot code of a hybrid MBR names a block of the boot image (isohybrid
// its first, GRUB's the one behind its first sector): a boot image the save
// moved is loaded from its new place, from a disk as from a disc.
void FollowBootFile(Bytes block0, std::span<const MovedRange> moved)
{
    const Bytes field = block0.subspan(MbrOffset::kBootFileBlock, 4);
    const std::uint64_t block = iso::ReadLe32(field, 0);
    for (const MovedRange& range : moved) {
        const std::uint64_t from = std::uint64_t{range.from} * kBlocksPerSector;
        const std::uint64_t end = from + std::uint64_t{range.sectors} * kBlocksPerSector;
        if (range.bootImage && block != 0 && block >= from && block < end) {
            const std::uint64_t to = block - from + std::uint64_t{range.to} * kBlocksPerSector;
            if (to <= std::numeric_limits<std::uint32_t>::max()) {
                iso::PutLe32(field, 0, static_cast<std::uint32_t>(to));
            }
            return;
        }
    }
}

// An entry of an Apple partition map that lay on data the save moved
// names its new place, in the map's blocks.
void FollowApm(Bytes area, std::span<const MovedRange> moved)
{
    const std::uint32_t blockSize = ApmBlockSize(area);
    if (blockSize == 0) {
        return;
    }
    const std::uint64_t perBlock = blockSize / kBlockSize;
    std::uint32_t entries = 1;
    for (std::size_t index = 1; index <= entries && (index + 1) * blockSize <= area.size(); ++index) {
        const Bytes block = area.subspan(index * blockSize, kBlockSize);
        std::optional<ApmEntry> entry = DecodeApmEntry(block);
        if (!entry) {
            return;
        }
        entries = entry->mapEntries;
        const std::uint64_t first = entry->firstBlock * perBlock;
        const std::optional<std::uint64_t> to = MovedStart(first, first + entry->blocks * perBlock, moved);
        if (to && *to % perBlock == 0 && *to / perBlock <= std::numeric_limits<std::uint32_t>::max()) {
            entry->firstBlock = static_cast<std::uint32_t>(*to / perBlock);
            EncodeApmEntry(*entry, block);
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Structures

ChsBytes EncodeChs(const Chs& chs)
{
    return {chs.head, static_cast<std::uint8_t>((chs.sector & 0x3F) | ((chs.cylinder >> 2) & 0xC0)),
            static_cast<std::uint8_t>(chs.cylinder & 0xFF)};
}

Chs ChsOf(std::uint64_t lba, ChsGeometry geometry)
{
    Chs chs;
    if (geometry.heads == 0 || geometry.sectors == 0) {
        return chs;
    }
    const std::uint64_t perCylinder = std::uint64_t{geometry.heads} * geometry.sectors;
    if (lba / perCylinder > kMaxChsCylinder) {
        return {static_cast<std::uint16_t>(kMaxChsCylinder), static_cast<std::uint8_t>(geometry.heads - 1),
                static_cast<std::uint8_t>(geometry.sectors)};
    }
    chs.cylinder = static_cast<std::uint16_t>(lba / perCylinder);
    chs.head = static_cast<std::uint8_t>((lba / geometry.sectors) % geometry.heads);
    chs.sector = static_cast<std::uint8_t>(lba % geometry.sectors + 1);
    return chs;
}

MbrPartition DecodeMbrPartition(ConstBytes entry)
{
    MbrPartition partition;
    if (entry.size() < kMbrEntrySize) {
        return partition;
    }
    partition.status = entry[0];
    std::copy_n(entry.begin() + 1, 3, partition.firstChs.begin());
    partition.type = entry[4];
    std::copy_n(entry.begin() + 5, 3, partition.lastChs.begin());
    partition.firstLba = iso::ReadLe32(entry, 8);
    partition.blocks = iso::ReadLe32(entry, 12);
    return partition;
}

void EncodeMbrPartition(const MbrPartition& partition, Bytes entry)
{
    if (entry.size() < kMbrEntrySize) {
        return;
    }
    entry[0] = partition.status;
    std::copy(partition.firstChs.begin(), partition.firstChs.end(), entry.begin() + 1);
    entry[4] = partition.type;
    std::copy(partition.lastChs.begin(), partition.lastChs.end(), entry.begin() + 5);
    iso::PutLe32(entry, 8, partition.firstLba);
    iso::PutLe32(entry, 12, partition.blocks);
}

bool HasMbrSignature(ConstBytes block0)
{
    return block0.size() >= kBlockSize && block0[MbrOffset::kSignature] == 0x55
        && block0[MbrOffset::kSignature + 1] == 0xAA;
}

std::optional<ChsGeometry> GeometryOf(const MbrPartition& partition)
{
    if (partition.blocks == 0) {
        return std::nullopt;
    }
    const std::uint64_t last = std::uint64_t{partition.firstLba} + partition.blocks - 1;
    const auto fits = [&](ChsGeometry geometry) {
        return EncodeChs(ChsOf(partition.firstLba, geometry)) == partition.firstChs
            && EncodeChs(ChsOf(last, geometry)) == partition.lastChs;
    };
    for (ChsGeometry common : {ChsGeometry{64, 32}, ChsGeometry{255, 63}}) {
        if (fits(common)) {
            return common;
        }
    }
    for (std::uint32_t sectors = 63; sectors >= 1; --sectors) {
        for (std::uint32_t heads = 255; heads >= 1; --heads) {
            if (fits({heads, sectors})) {
                return ChsGeometry{heads, sectors};
            }
        }
    }
    return std::nullopt;
}

std::optional<GptHeader> DecodeGptHeader(ConstBytes block)
{
    if (block.size() < kBlockSize || std::memcmp(block.data(), kGptSignature, sizeof kGptSignature) != 0) {
        return std::nullopt;
    }
    GptHeader header;
    header.headerSize = iso::ReadLe32(block, GptHeaderOffset::kHeaderSize);
    if (header.headerSize < kGptMinHeaderSize || header.headerSize > kBlockSize) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> sealed(block.begin(), block.begin() + header.headerSize);
    iso::PutLe32(sealed, GptHeaderOffset::kHeaderCrc, 0);
    if (Crc32(sealed.data(), sealed.size()) != iso::ReadLe32(block, GptHeaderOffset::kHeaderCrc)) {
        return std::nullopt;
    }
    header.myLba = ReadLe64(block, GptHeaderOffset::kMyLba);
    header.alternateLba = ReadLe64(block, GptHeaderOffset::kAlternateLba);
    header.firstUsableLba = ReadLe64(block, GptHeaderOffset::kFirstUsableLba);
    header.lastUsableLba = ReadLe64(block, GptHeaderOffset::kLastUsableLba);
    header.entryLba = ReadLe64(block, GptHeaderOffset::kEntryLba);
    header.entryCount = iso::ReadLe32(block, GptHeaderOffset::kEntryCount);
    header.entrySize = iso::ReadLe32(block, GptHeaderOffset::kEntrySize);
    header.entryArrayCrc = iso::ReadLe32(block, GptHeaderOffset::kEntryArrayCrc);
    if (header.entrySize < kGptMinEntrySize || header.entrySize % 8 != 0) {
        return std::nullopt;
    }
    return header;
}

void EncodeGptHeader(const GptHeader& header, Bytes block)
{
    if (block.size() < kBlockSize || header.headerSize < kGptMinHeaderSize || header.headerSize > kBlockSize) {
        return;
    }
    std::memcpy(block.data(), kGptSignature, sizeof kGptSignature);
    iso::PutLe32(block, GptHeaderOffset::kHeaderSize, header.headerSize);
    PutLe64(block, GptHeaderOffset::kMyLba, header.myLba);
    PutLe64(block, GptHeaderOffset::kAlternateLba, header.alternateLba);
    PutLe64(block, GptHeaderOffset::kFirstUsableLba, header.firstUsableLba);
    PutLe64(block, GptHeaderOffset::kLastUsableLba, header.lastUsableLba);
    PutLe64(block, GptHeaderOffset::kEntryLba, header.entryLba);
    iso::PutLe32(block, GptHeaderOffset::kEntryCount, header.entryCount);
    iso::PutLe32(block, GptHeaderOffset::kEntrySize, header.entrySize);
    iso::PutLe32(block, GptHeaderOffset::kEntryArrayCrc, header.entryArrayCrc);
    iso::PutLe32(block, GptHeaderOffset::kHeaderCrc, 0);
    iso::PutLe32(block, GptHeaderOffset::kHeaderCrc, Crc32(block.data(), header.headerSize));
}

GptEntry DecodeGptEntry(ConstBytes entry)
{
    GptEntry decoded;
    if (entry.size() < kGptMinEntrySize) {
        return decoded;
    }
    const auto type = entry.subspan(GptEntryOffset::kTypeGuid, 16);
    decoded.used = std::any_of(type.begin(), type.end(), [](std::uint8_t b) { return b != 0; });
    decoded.firstLba = ReadLe64(entry, GptEntryOffset::kFirstLba);
    decoded.lastLba = ReadLe64(entry, GptEntryOffset::kLastLba);
    return decoded;
}

void EncodeGptEntry(const GptEntry& entry, Bytes bytes)
{
    if (bytes.size() >= kGptMinEntrySize) {
        PutLe64(bytes, GptEntryOffset::kFirstLba, entry.firstLba);
        PutLe64(bytes, GptEntryOffset::kLastLba, entry.lastLba);
    }
}

std::uint32_t ApmBlockSize(ConstBytes block0)
{
    if (block0.size() < kBlockSize || block0[0] != 'E' || block0[1] != 'R') {
        return 0;
    }
    const std::uint16_t declared = iso::ReadBe16(block0, 2);
    return declared != 0 && declared % kBlockSize == 0 ? declared : static_cast<std::uint32_t>(kBlockSize);
}

std::optional<ApmEntry> DecodeApmEntry(ConstBytes block)
{
    if (block.size() < kBlockSize || block[0] != 'P' || block[1] != 'M') {
        return std::nullopt;
    }
    ApmEntry entry;
    entry.mapEntries = iso::ReadBe32(block, ApmEntryOffset::kMapEntries);
    entry.firstBlock = iso::ReadBe32(block, ApmEntryOffset::kFirstBlock);
    entry.blocks = iso::ReadBe32(block, ApmEntryOffset::kBlocks);
    const auto type = block.subspan(ApmEntryOffset::kType, kApmTypeSize);
    entry.type.assign(type.begin(), std::find(type.begin(), type.end(), std::uint8_t{0}));
    return entry;
}

void EncodeApmEntry(const ApmEntry& entry, Bytes block)
{
    if (block.size() >= kBlockSize) {
        iso::PutBe32(block, ApmEntryOffset::kFirstBlock, entry.firstBlock);
        iso::PutBe32(block, ApmEntryOffset::kBlocks, entry.blocks);
    }
}

// ---------------------------------------------------------------------------
// Growing

GrownTables GrowTables(ConstBytes systemArea, const VolumeGrowth& growth)
{
    GrownTables grown;
    grown.systemArea.assign(systemArea.begin(), systemArea.end());
    grown.volumeSectors = growth.dataEnd;
    if (systemArea.size() < kSystemAreaBytes || !HasMbrSignature(systemArea)) {
        return grown;
    }
    const OldEnds ends = OldEndsOf(growth);
    const std::vector<std::uint64_t> starts = PartitionStarts(systemArea);
    Bytes area(grown.systemArea);
    std::optional<GptPlan> gpt = PlanGpt(systemArea, growth);
    if (gpt && !GrowGpt(area, *gpt, ends, starts, growth.moved, grown.backupGpt)) {
        gpt.reset();
    }
    if (gpt) {
        grown.volumeSectors = gpt->volumeSectors;
    }
    GrowMbr(area.first(kBlockSize), ends, starts, std::uint64_t{grown.volumeSectors} * kBlocksPerSector, gpt,
            growth.moved);
    FollowBootFile(area.first(kBlockSize), growth.moved);
    FollowApm(area, growth.moved);
    grown.changed = !std::equal(systemArea.begin(), systemArea.end(), grown.systemArea.begin());
    return grown;
}

std::optional<HybridTablesBefore> ReadHybridTables(IIsoSector& sector)
{
    const ImageLayout layout = sector.GetLayout();
    if (static_cast<TrackMode>(sector.GetTrackMode()) != TrackMode::Plain || layout.sectorSize != iso::kSectorSize
        || layout.dataOffset != 0
        || UserDataStart(layout, 0) != 0 || sector.GetFile() == nullptr) {
        return std::nullopt;
    }
    HybridTablesBefore before;
    before.systemArea.resize(kSystemAreaBytes);
    if (!sector.ReadSectors(0, before.systemArea.data(), iso::kSystemAreaSectors)
        || !HasMbrSignature(before.systemArea)) {
        return std::nullopt;
    }
    const iso::SectorReader read = [&sector](std::uint32_t number, std::uint8_t* buffer) {
        return sector.ReadSector(number, buffer);
    };
    const std::optional<iso::VolumeDescriptor> primary =
        iso::ReadVolumeDescriptor(read, sector.GetSectorCount(), iso::kFirstDescriptorSector);
    if (!primary || primary->type != iso::DescriptorType::Primary) {
        return std::nullopt;
    }
    before.volumeSectors = primary->volumeSpaceSize;
    before.fileLength = sector.GetFile()->GetLength();
    const std::vector<std::uint64_t> starts = PartitionStarts(before.systemArea);
    for (const BlockExtent& partition : Partitions(before.systemArea)) {
        if (partition.first <= kSystemAreaBlocks && PartitionBehind(partition.end, starts)) {
            before.keptPartitionEnd = static_cast<std::uint32_t>(partition.end / kBlocksPerSector);
        }
    }
    // A partition starting on a whole sector, with a primary descriptor of
    // the same volume 16 sectors into it, holds a copy of the file system.
    for (const std::uint64_t start : PartitionStarts(before.systemArea)) {
        const std::uint64_t offset = start / kBlocksPerSector;
        if (start % kBlocksPerSector != 0 || offset < iso::kFirstDescriptorSector
            || offset + iso::kFirstDescriptorSector >= before.volumeSectors) {
            continue;
        }
        const std::optional<iso::VolumeDescriptor> copy = iso::ReadVolumeDescriptor(
            read, sector.GetSectorCount(), static_cast<std::uint32_t>(offset) + iso::kFirstDescriptorSector);
        if (copy && copy->type == iso::DescriptorType::Primary && copy->volumeIdentifier == primary->volumeIdentifier
            && copy->volumeSpaceSize != 0 && copy->volumeSpaceSize <= before.volumeSectors - offset) {
            before.copy = FileSystemCopy{static_cast<std::uint32_t>(offset), copy->volumeSpaceSize};
            break;
        }
    }
    return before;
}

bool WriteGrownTables(IIsoSector& sector, const HybridTablesBefore& before, std::uint32_t metadataEnd,
                      std::span<const MovedRange> moved, std::uint32_t& volumeSectors, std::string& error)
{
    VolumeGrowth growth;
    growth.oldVolumeSectors = before.volumeSectors;
    growth.oldFileLength = before.fileLength;
    growth.metadataEnd = metadataEnd;
    growth.dataEnd = volumeSectors;
    growth.moved.assign(moved.begin(), moved.end());
    const GrownTables grown = GrowTables(before.systemArea, growth);
    const auto fail = [&](const char* what) {
        error = std::string("cannot write ") + what + ": " + sector.GetLastError();
        return false;
    };
    if (!grown.backupGpt.empty()) {
        // The backup fills the last blocks of the last sectors; whatever
        // lies in front of it in those sectors stays.
        const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(grown.backupGpt.size()));
        const std::uint32_t first = grown.volumeSectors - sectors;
        std::vector<std::uint8_t> tail(std::size_t{sectors} * iso::kSectorSize);
        if (!sector.ReadSectors(first, tail.data(), sectors)) {
            return fail("the backup partition table");
        }
        std::copy(grown.backupGpt.begin(), grown.backupGpt.end(),
                  tail.end() - static_cast<std::ptrdiff_t>(grown.backupGpt.size()));
        if (!sector.WriteSectors(tail.data(), sectors, first)) {
            return fail("the backup partition table");
        }
    }
    if (grown.changed && !sector.WriteSectors(grown.systemArea.data(), iso::kSystemAreaSectors, 0)) {
        return fail("the partition table");
    }
    volumeSectors = grown.volumeSectors;
    return true;
}

} // namespace tarvelin::hybrid
