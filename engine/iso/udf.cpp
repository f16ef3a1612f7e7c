#include "iso/udf.h"

#include "core/notice_list.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

namespace tarvelin::iso::udf {

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kMaxDepth = 1000;
constexpr std::uint32_t kMaxSequenceSectors = 4096;   // volume descriptors followed, pointers included
constexpr std::uint32_t kMaxContinuations = 65536;    // allocation extent descriptors of one entry
constexpr std::uint64_t kMaxFolderBytes = 256u << 20; // a folder's identifiers held in memory at once

// An entry's fields, from a file entry or an extended file entry.
struct Entry {
    std::uint8_t fileType = 0;
    std::uint16_t adType = 0; // 0 short, 1 long, 2 extended, 3 embedded
    std::uint64_t size = 0;
    platform::FileTime date = 0;
    std::vector<Extent> extents;
    std::vector<std::uint8_t> embedded;
};

// The image's sectors seen through the partition maps.
class Space {
public:
    Space(const SectorReader& read, std::uint32_t sectorCount, const std::vector<PartitionMap>& partitions)
        : read_(read), sectorCount_(sectorCount), partitions_(partitions)
    {
    }

    bool Sector(std::uint32_t sector, std::uint8_t* buffer)
    {
        return sector < sectorCount_ && read_(sector, buffer);
    }

    // The absolute sector of a block of a partition reference, and how
    // many blocks follow it contiguously (at least 1); nullopt when the
    // reference or block is unknown.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> Resolve(std::uint16_t partition, std::uint32_t block) const
    {
        if (partition >= partitions_.size()) {
            return std::nullopt;
        }
        const PartitionMap& map = partitions_[partition];
        if (map.kind == PartitionMap::Kind::Physical) {
            if (block >= map.length) {
                return std::nullopt;
            }
            const std::uint64_t sector = static_cast<std::uint64_t>(map.start) + block;
            if (sector >= sectorCount_) {
                return std::nullopt;
            }
            if (!map.movedPackets.empty()) {
                // A packet the sparing table moved is read where it went,
                // and a run of blocks ends with the packet.
                const std::uint32_t inPacket = block % map.packetBlocks;
                const std::uint32_t packet = block - inPacket;
                const auto moved = std::lower_bound(map.movedPackets.begin(), map.movedPackets.end(),
                                                    std::make_pair(packet, std::uint32_t{0}));
                const std::uint32_t left = std::min(map.packetBlocks - inPacket, map.length - block);
                if (moved != map.movedPackets.end() && moved->first == packet) {
                    const std::uint64_t spare = std::uint64_t{moved->second} + inPacket;
                    if (spare >= sectorCount_) {
                        return std::nullopt;
                    }
                    return std::make_pair(static_cast<std::uint32_t>(spare), left);
                }
                return std::make_pair(static_cast<std::uint32_t>(sector), left);
            }
            return std::make_pair(static_cast<std::uint32_t>(sector), map.length - block);
        }
        std::uint64_t offset = static_cast<std::uint64_t>(block) * kUdfBlockSize;
        for (const Extent& extent : map.metadataExtents) {
            if (offset < extent.length) {
                if (!extent.recorded) {
                    return std::nullopt;
                }
                const auto inside = static_cast<std::uint32_t>(offset / kUdfBlockSize);
                const auto left = static_cast<std::uint32_t>((extent.length - offset + kUdfBlockSize - 1) / kUdfBlockSize);
                auto physical = Resolve(extent.partition, extent.block + inside);
                if (!physical) {
                    return std::nullopt;
                }
                physical->second = std::min(physical->second, left);
                return physical;
            }
            offset -= extent.length;
        }
        return std::nullopt;
    }

    // Reads bytes [offset, offset + count) of data laid out in extents.
    bool ReadExtents(const std::vector<Extent>& extents, std::uint64_t offset, std::uint8_t* buffer,
                     std::size_t count, std::string* problem)
    {
        if (count == 0) {
            return true;
        }
        std::memset(buffer, 0, count);
        std::vector<std::uint8_t> sector(kUdfBlockSize);
        std::uint64_t base = 0;
        for (const Extent& extent : extents) {
            if (count == 0) {
                break;
            }
            const std::uint64_t end = base + extent.length;
            if (offset < end && offset >= base) {
                const std::uint64_t take = std::min<std::uint64_t>(count, end - offset);
                if (extent.recorded) {
                    std::uint64_t done = 0;
                    while (done < take) {
                        const std::uint64_t inExtent = offset - base + done;
                        const std::uint64_t blockIndex = inExtent / kUdfBlockSize;
                        const auto within = static_cast<std::size_t>(inExtent % kUdfBlockSize);
                        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kUdfBlockSize - within, take - done));
                        const std::uint64_t block = extent.block + blockIndex;
                        const auto where = block <= UINT32_MAX ? Resolve(extent.partition, static_cast<std::uint32_t>(block))
                                                               : std::nullopt;
                        if (!where) {
                            *problem = "the data lies outside its partition or beyond the end of the image";
                            return false;
                        }
                        if (!Sector(where->first, sector.data())) {
                            *problem = "sector " + std::to_string(where->first) + " cannot be read";
                            return false;
                        }
                        std::memcpy(buffer + done, sector.data() + within, size);
                        done += size;
                    }
                }
                buffer += take;
                offset += take;
                count -= static_cast<std::size_t>(take);
            }
            base = end;
        }
        if (count > 0) {
            // A sound entry's extents reach its length; these were cut short
            // by damage (a refused continuation, a malformed descriptor).
            *problem = "the file's extents end before its length (its allocation is damaged)";
            return false;
        }
        return true;
    }

private:
    const SectorReader& read_;
    std::uint32_t sectorCount_;
    const std::vector<PartitionMap>& partitions_;
};

class Reader {
public:
    Reader(const SectorReader& read, std::uint32_t sectorCount, Volume& volume)
        : space_(read, sectorCount, volume.partitions), sectorCount_(sectorCount), volume_(volume)
    {
    }

    bool Sector(std::uint32_t sector, std::uint8_t* buffer) { return space_.Sector(sector, buffer); }
    auto Resolve(std::uint16_t partition, std::uint32_t block) const { return space_.Resolve(partition, block); }
    bool ReadExtents(const std::vector<Extent>& extents, std::uint64_t offset, std::uint8_t* buffer,
                     std::size_t count, std::string* problem)
    {
        return space_.ReadExtents(extents, offset, buffer, count, problem);
    }

    // Reads a block of a partition and checks its tag; nullptr when fine.
    const char* ReadTagged(std::uint16_t partition, std::uint32_t block, std::uint8_t* buffer,
                           std::uint16_t expectedId)
    {
        const auto where = Resolve(partition, block);
        if (!where) {
            return "it lies outside its partition or the image";
        }
        if (!Sector(where->first, buffer)) {
            return "its sector cannot be read";
        }
        Note(where->first, 1);
        return CheckDescriptorTag(buffer, kUdfBlockSize, expectedId, block);
    }

    // Appends the allocation descriptors in [data, data + length) to entry,
    // following continuation extents. False when something is damaged.
    bool ReadAllocation(const std::uint8_t* data, std::size_t length, std::uint16_t adType,
                        std::uint16_t icbPartition, std::vector<Extent>& extents)
    {
        std::vector<std::uint8_t> block(kUdfBlockSize);
        std::set<std::pair<std::uint16_t, std::uint32_t>> seen;
        std::vector<std::uint8_t> held(data, data + length);
        const std::size_t adSize = adType == 0 ? 8 : adType == 1 ? 16 : 20;
        for (std::uint32_t round = 0;; ++round) {
            bool continued = false;
            for (std::size_t at = 0; at + adSize <= held.size(); at += adSize) {
                const std::uint8_t* ad = held.data() + at;
                const std::uint32_t raw = Le32(ad);
                const std::uint32_t type = raw >> 30;
                Extent extent;
                extent.length = raw & kExtentLengthMask;
                if (adType == 0) {
                    extent.block = Le32(ad + 4);
                    extent.partition = icbPartition;
                } else if (adType == 1) {
                    extent.block = Le32(ad + 4);
                    extent.partition = Le16(ad + 8);
                } else {
                    // Extended: length, recorded length, information length, then a long address.
                    extent.block = Le32(ad + 12);
                    extent.partition = Le16(ad + 16);
                }
                if (extent.length == 0) {
                    break; // the end of the descriptors
                }
                if (type == kContinuation) {
                    if (round >= kMaxContinuations || continuationsRead_ >= continuationBudget_
                        || !seen.insert({extent.partition, extent.block}).second) {
                        ++volume_.report.chainsCut;
                        return false;
                    }
                    ++continuationsRead_;
                    if (const char* why = ReadTagged(extent.partition, extent.block, block.data(), kTagAllocationExtent)) {
                        (void)why;
                        ++volume_.report.badDescriptors;
                        return false;
                    }
                    const std::uint32_t adLength = Le32(block.data() + 20);
                    if (adLength > kUdfBlockSize - 24) {
                        ++volume_.report.malformedRecords;
                        return false;
                    }
                    held.assign(block.data() + 24, block.data() + 24 + adLength);
                    continued = true;
                    break;
                }
                extent.recorded = type == kRecorded;
                extents.push_back(extent);
            }
            if (!continued) {
                return true;
            }
        }
    }

    // Reads the (extended) file entry at an ICB address; nullopt, with
    // *why set when why is given, when it cannot be used.
    std::optional<Entry> ReadEntry(std::uint16_t partition, std::uint32_t block, const char** why = nullptr)
    {
        const char* unused = nullptr;
        const char*& reason = why != nullptr ? *why : unused;
        std::vector<std::uint8_t> buffer(kUdfBlockSize);
        const auto where = Resolve(partition, block);
        if (!where || !Sector(where->first, buffer.data())) {
            ++volume_.report.extentsOutside;
            reason = "it lies outside its partition or the image";
            return std::nullopt;
        }
        Note(where->first, 1);
        const std::uint16_t id = Le16(buffer.data());
        const bool extended = id == kTagExtendedFileEntry;
        reason = CheckDescriptorTag(buffer.data(), kUdfBlockSize, extended ? kTagExtendedFileEntry : kTagFileEntry,
                                    block);
        if (reason != nullptr) {
            ++volume_.report.badDescriptors;
            return std::nullopt;
        }
        const std::uint8_t* p = buffer.data();
        Entry entry;
        entry.fileType = p[fe::kFileType];
        entry.adType = Le16(p + fe::kIcbFlags) & 7;
        entry.size = Le64(p + fe::kInformationLength);
        const std::size_t eaOffset = extended ? fe::kExtendedEaLength : fe::kEaLength;
        const std::size_t adsStart = extended ? fe::kExtendedAllocation : fe::kAllocation;
        const std::uint32_t eaLength = Le32(p + eaOffset);
        const std::uint32_t adLength = Le32(p + eaOffset + 4);
        if (static_cast<std::uint64_t>(adsStart) + eaLength + adLength > kUdfBlockSize) {
            ++volume_.report.malformedRecords;
            reason = "its attribute and allocation lengths run beyond its block";
            return std::nullopt;
        }
        if (auto date = DecodeTimestamp(p + (extended ? fe::kExtendedModificationTime : fe::kModificationTime))) {
            entry.date = *date;
        }
        const std::uint8_t* ads = p + adsStart + eaLength;
        if (entry.adType == 3) {
            if (entry.size > adLength) {
                ++volume_.report.malformedRecords;
                entry.size = adLength;
            }
            entry.embedded.assign(ads, ads + entry.size);
        } else if (entry.adType > 2) {
            ++volume_.report.malformedRecords;
            reason = "its allocation descriptors are of an unknown kind";
            return std::nullopt;
        } else {
            ReadAllocation(ads, adLength, entry.adType, partition, entry.extents);
        }
        return entry;
    }

    // The identifiers of a folder, each turned into a child of parentIndex.
    void ReadFolder(std::int32_t parentIndex, const Entry& folder, std::uint16_t, std::uint32_t icbBlock,
                    int depth)
    {
        std::vector<std::uint8_t> data;
        std::vector<std::uint32_t> blockOf; // logical block of each 2048 bytes of the folder's data
        if (folder.adType == 3) {
            data = folder.embedded;
        } else {
            const std::uint64_t size = std::min<std::uint64_t>(folder.size, kMaxFolderBytes);
            if (size != folder.size || size > static_cast<std::uint64_t>(sectorCount_) * kUdfBlockSize) {
                ++volume_.report.malformedRecords;
                return;
            }
            data.resize(static_cast<std::size_t>(size));
            std::string problem;
            if (!ReadExtents(folder.extents, 0, data.data(), data.size(), &problem)) {
                ++volume_.report.extentsOutside;
                return;
            }
            for (const Extent& extent : folder.extents) {
                for (std::uint64_t b = 0; b * kUdfBlockSize < extent.length; ++b) {
                    blockOf.push_back(static_cast<std::uint32_t>(extent.block + b));
                    if (blockOf.size() * kUdfBlockSize >= data.size()) {
                        break;
                    }
                }
                if (blockOf.size() * kUdfBlockSize >= data.size()) {
                    break;
                }
            }
        }
        // Identifiers start on 4-byte boundaries: past a damaged one, the
        // next sound one is looked for there, so one bad record costs only
        // itself.
        std::size_t at = 0;
        bool resyncing = false;
        while (at + fi::kFixedSize <= data.size()) {
            const std::uint8_t* fid = data.data() + at;
            const std::uint8_t nameLength = fid[fi::kNameLength];
            const std::uint16_t useLength = Le16(fid + fi::kUseLength);
            const std::size_t total = fi::Size(useLength, nameLength);
            const std::size_t blockIndex = at / kUdfBlockSize;
            const std::uint32_t location = folder.adType == 3 ? icbBlock
                : blockIndex < blockOf.size()                   ? blockOf[blockIndex]
                                                                : 0;
            const bool fits = at + fi::kFixedSize + useLength + nameLength <= data.size();
            if (!fits || CheckDescriptorTag(fid, data.size() - at, kTagFileIdentifier, location) != nullptr) {
                if (!resyncing) {
                    ++(fits ? volume_.report.badDescriptors : volume_.report.malformedRecords);
                    resyncing = true;
                }
                at += 4;
                continue;
            }
            resyncing = false;
            at += total;
            const std::uint8_t characteristics = fid[fi::kCharacteristics];
            if ((characteristics & (kCharParent | kCharDeleted)) != 0) {
                continue;
            }
            const std::uint32_t childBlock = Le32(fid + fi::kIcb + 4);
            const std::uint16_t childPartition = Le16(fid + fi::kIcb + 8);
            Node node;
            node.name = DecodeCs0(fid + fi::kFixedSize + useLength, nameLength);
            node.parent = parentIndex;
            std::optional<Entry> entry = ReadEntry(childPartition, childBlock);
            if (!entry) {
                continue;
            }
            node.isDirectory = (characteristics & kCharDirectory) != 0 || entry->fileType == kFileTypeDirectory
                || entry->fileType == kFileTypeStreamDirectory;
            node.isSymlink = entry->fileType == kFileTypeSymlink;
            node.size = node.isDirectory ? 0 : entry->size;
            node.date = entry->date;
            if (const auto where = Resolve(childPartition, childBlock)) {
                node.entrySector = where->first;
            }
            Fill(node, *entry);
            if (node.isSymlink) {
                ReadLinkTarget(node);
            }
            const auto index = static_cast<std::int32_t>(volume_.nodes.size());
            volume_.nodes.push_back(std::move(node));
            volume_.nodes[static_cast<std::size_t>(parentIndex)].children.push_back(index);
            if (volume_.nodes.back().isDirectory) {
                ++volume_.folderCount;
                Descend(index, *entry, childPartition, childBlock, depth + 1);
            } else {
                ++volume_.fileCount;
            }
        }
    }

    void Descend(std::int32_t index, const Entry& entry, std::uint16_t partition, std::uint32_t block, int depth)
    {
        const auto where = Resolve(partition, block);
        if (!where || !visited_.insert(where->first).second) {
            ++volume_.report.loopsRefused;
            return;
        }
        if (depth > kMaxDepth) {
            ++volume_.report.tooDeep;
            return;
        }
        ReadFolder(index, entry, partition, block, depth);
    }

    // A link's target from its data; a link whose data is damaged is kept as
    // a file holding that data.
    void ReadLinkTarget(Node& node)
    {
        constexpr std::uint64_t kMaxLinkBytes = 4096;
        std::optional<std::string> target;
        if (node.size <= kMaxLinkBytes) {
            Bytes data(static_cast<std::size_t>(node.size));
            std::string problem;
            if (node.isEmbedded) {
                data.assign(node.embedded.begin(), node.embedded.end());
                data.resize(static_cast<std::size_t>(node.size));
                target = DecodePathComponents(data.data(), data.size());
            } else if (ReadExtents(node.extents, 0, data.data(), data.size(), &problem)) {
                target = DecodePathComponents(data.data(), data.size());
            }
        }
        if (!target) {
            ++volume_.report.malformedRecords;
            node.isSymlink = false;
            return;
        }
        node.linkTarget = std::move(*target);
    }

    // A node's data: extents checked against the image, embedded bytes kept.
    void Fill(Node& node, const Entry& entry)
    {
        if (entry.adType == 3) {
            node.isEmbedded = true;
            node.embedded = entry.embedded;
            return;
        }
        node.extents = entry.extents;
        std::uint64_t covered = 0;
        for (const Extent& extent : node.extents) {
            if (extent.recorded && covered < entry.size) {
                const auto where = Resolve(extent.partition, extent.block);
                const std::uint64_t blocks = (extent.length + kUdfBlockSize - 1) / kUdfBlockSize;
                // (A resolved reference names a map; a physical one's blocks run to its end.)
                const PartitionMap* map = where ? &volume_.partitions[extent.partition] : nullptr;
                if (!where
                    || (!node.isDirectory && map->kind == PartitionMap::Kind::Physical
                        && blocks > map->length - extent.block)) {
                    ++volume_.report.extentsOutside;
                } else if (node.firstSector == 0) {
                    node.firstSector = where->first;
                }
            }
            covered += extent.length;
        }
    }

    // Sectors from first on inside the image that hold the volume's structures.
    void Note(std::uint32_t first, std::uint64_t count)
    {
        if (first < sectorCount_ && count != 0) {
            volume_.structures.push_back({first, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, sectorCount_ - first))});
        }
    }

    std::set<std::uint32_t> visited_;

private:
    Space space_;
    std::uint32_t sectorCount_;
    Volume& volume_;
    // Continuations read for the whole volume: entries that share a chain
    // (links to one file) cannot make the reading of a small image long.
    std::uint64_t continuationsRead_ = 0;
    std::uint64_t continuationBudget_ = 4 * std::uint64_t{sectorCount_} + 1024;
};

// The descriptors of one volume descriptor sequence that the reader needs.
struct Sequence {
    std::optional<std::vector<std::uint8_t>> primary;
    std::optional<std::vector<std::uint8_t>> logical;
    std::vector<std::vector<std::uint8_t>> partitions;

    bool Complete() const { return primary && logical && !partitions.empty(); }
};

// Keeps the descriptor with the highest sequence number of each kind.
void Keep(std::optional<std::vector<std::uint8_t>>& slot, const std::vector<std::uint8_t>& descriptor)
{
    if (!slot || Le32(descriptor.data() + 16) >= Le32(slot->data() + 16)) {
        slot = descriptor;
    }
}

Sequence ReadSequence(Reader& reader, std::uint32_t first, std::uint32_t length, LoadReport& report)
{
    Sequence sequence;
    std::vector<std::uint8_t> buffer(kUdfBlockSize);
    std::uint32_t sector = first;
    std::uint32_t left = length / kUdfBlockSize;
    std::uint32_t visited = 0;
    while (left > 0 && visited++ < kMaxSequenceSectors) {
        if (!reader.Sector(sector, buffer.data())) {
            break;
        }
        reader.Note(sector, 1);
        const std::uint16_t id = Le16(buffer.data());
        if (CheckDescriptorTag(buffer.data(), kUdfBlockSize, id, sector) != nullptr) {
            ++report.badDescriptors;
            break;
        }
        if (id == kTagTerminating) {
            break;
        }
        if (id == kTagVolumePointer) {
            sector = Le32(buffer.data() + 24);
            left = Le32(buffer.data() + 20) / kUdfBlockSize;
            continue;
        }
        if (id == kTagPrimaryVolume) {
            Keep(sequence.primary, buffer);
        } else if (id == kTagLogicalVolume) {
            Keep(sequence.logical, buffer);
        } else if (id == kTagPartition) {
            const std::uint16_t number = Le16(buffer.data() + 22);
            auto same = std::find_if(sequence.partitions.begin(), sequence.partitions.end(),
                                     [number](const auto& d) { return Le16(d.data() + 22) == number; });
            if (same == sequence.partitions.end()) {
                sequence.partitions.push_back(buffer);
            } else if (Le32(buffer.data() + 16) >= Le32(same->data() + 16)) {
                *same = buffer;
            }
        }
        ++sector;
        --left;
    }
    return sequence;
}

// The packets a sparable partition's sparing table moved, from the first
// copy of the table that checks out; false when none does (none moved).
bool ReadSparingTable(Reader& reader, const std::uint8_t* map, PartitionMap& entry)
{
    constexpr std::size_t kEntriesStart = 56;
    constexpr std::uint32_t kMostTableBytes = 64 * kUdfBlockSize;
    constexpr std::uint32_t kFirstUnused = 0xFFFFFFF0; // and above: a spare packet not in use, or defective
    const std::uint16_t packetBlocks = Le16(map + 40);
    const std::uint8_t tables = std::min<std::uint8_t>(map[42], 4);
    const std::uint32_t tableBytes = Le32(map + 44);
    if (packetBlocks == 0 || tableBytes < kEntriesStart || tableBytes > kMostTableBytes) {
        return false;
    }
    const std::uint32_t sectors = (tableBytes + kUdfBlockSize - 1) / kUdfBlockSize;
    std::vector<std::uint8_t> table(std::size_t{sectors} * kUdfBlockSize);
    for (std::uint8_t copy = 0; copy < tables; ++copy) {
        const std::uint32_t first = Le32(map + 48 + 4 * std::size_t{copy});
        bool read = true;
        for (std::uint32_t i = 0; i < sectors && read; ++i) {
            read = first <= UINT32_MAX - i && reader.Sector(first + i, table.data() + std::size_t{i} * kUdfBlockSize);
        }
        if (!read || CheckDescriptorTag(table.data(), tableBytes, 0, first) != nullptr
            || std::string_view(reinterpret_cast<const char*>(table.data() + 17), 18) != "*UDF Sparing Table") {
            continue;
        }
        reader.Note(first, sectors);
        const std::size_t count = std::min<std::size_t>(Le16(table.data() + 48), (tableBytes - kEntriesStart) / 8);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* at = table.data() + kEntriesStart + 8 * i;
            if (Le32(at) < kFirstUnused) {
                entry.movedPackets.emplace_back(Le32(at), Le32(at + 4));
                reader.Note(Le32(at + 4), packetBlocks); // the volume's blocks now, whatever they hold
            }
        }
        std::sort(entry.movedPackets.begin(), entry.movedPackets.end());
        entry.packetBlocks = packetBlocks;
        return true;
    }
    return false;
}

} // namespace

std::string DescribeDamage(const LoadReport& report)
{
    return CountedList({{report.badDescriptors, "damaged descriptors skipped"},
                        {report.malformedRecords, "malformed records skipped"},
                        {report.loopsRefused, "folders read twice or looping back, left empty"},
                        {report.extentsOutside, "entries lying beyond the end of the image"},
                        {report.tooDeep, "folders nested too deeply, left empty"},
                        {report.chainsCut, "allocation chains looping back or too long, entries cut short"}});
}

std::string RevisionText(std::uint16_t revision)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", revision >> 8, revision & 0xFF);
    return text;
}

std::optional<Volume> ReadVolume(const SectorReader& read, std::uint32_t sectorCount, std::string* problem,
                                 bool* noVolume)
{
    if (noVolume != nullptr) {
        *noVolume = false;
    }
    Volume volume;
    Reader reader(read, sectorCount, volume);
    std::vector<std::uint8_t> buffer(kUdfBlockSize);

    // The anchor: sector 256, else the last sector but 256, else the last.
    std::optional<std::uint32_t> anchor;
    std::vector<std::uint8_t> candidateBytes(kUdfBlockSize);
    for (const std::uint32_t candidate : {256u, sectorCount > 256 ? sectorCount - 256 : 0u,
                                          sectorCount > 0 ? sectorCount - 1 : 0u}) {
        if (candidate >= 256 && reader.Sector(candidate, candidateBytes.data())
            && CheckDescriptorTag(candidateBytes.data(), kUdfBlockSize, kTagAnchor, candidate) == nullptr) {
            reader.Note(candidate, 1);
            if (!anchor) {
                anchor = candidate;
                buffer = candidateBytes;
            }
        }
    }
    if (!anchor) {
        // A volume of other blocks has its anchor at its own block 256, which
        // starts a 2048-byte sector for every size UDF allows: said as such,
        // as the volume is there and sound, only not readable here.
        for (const std::uint32_t blockSize : {512u, 1024u, 4096u, 8192u, 16384u, 32768u}) {
            const std::uint64_t sector = std::uint64_t{kAnchorSector} * blockSize / kUdfBlockSize;
            if (sector < sectorCount && reader.Sector(static_cast<std::uint32_t>(sector), candidateBytes.data())
                && CheckDescriptorTag(candidateBytes.data(), std::min(blockSize, kUdfBlockSize), kTagAnchor,
                                      kAnchorSector)
                    == nullptr) {
                *problem = "the UDF volume has " + std::to_string(blockSize)
                    + "-byte blocks; only volumes of 2048-byte blocks can be read";
                return std::nullopt;
            }
        }
        *problem = "no UDF anchor volume descriptor (at sector 256, N-256 or N-1) checks out";
        if (noVolume != nullptr) {
            *noVolume = true;
        }
        return std::nullopt;
    }
    volume.anchorSector = *anchor;
    // The anchor's extents of the main and the reserve sequence.
    const std::uint32_t mainBytes = Le32(buffer.data() + 16);
    const std::uint32_t reserveBytes = Le32(buffer.data() + 24);
    volume.placement.mainSequence = Le32(buffer.data() + 20);
    volume.placement.reserveSequence = Le32(buffer.data() + 28);
    volume.placement.sequenceSectors = std::min(mainBytes, reserveBytes) / kUdfBlockSize;
    // Both sequences' extents are the volume's, whatever they hold.
    reader.Note(volume.placement.mainSequence, (std::uint64_t{mainBytes} + kUdfBlockSize - 1) / kUdfBlockSize);
    reader.Note(volume.placement.reserveSequence, (std::uint64_t{reserveBytes} + kUdfBlockSize - 1) / kUdfBlockSize);
    Sequence sequence = ReadSequence(reader, volume.placement.mainSequence, mainBytes, volume.report);
    if (!sequence.Complete()) {
        Sequence reserve = ReadSequence(reader, volume.placement.reserveSequence, reserveBytes, volume.report);
        if (reserve.Complete()) {
            sequence = std::move(reserve);
        }
    }
    if (!sequence.Complete()) {
        *problem = "the UDF volume descriptor sequences lack a primary, logical volume or partition descriptor";
        return std::nullopt;
    }
    const std::uint8_t* pvd = sequence.primary->data();
    volume.volumeIdentifier = DecodeDString(pvd + 24, 32);
    volume.volumeSetIdentifier = DecodeDString(pvd + 72, 128);
    std::copy_n(pvd + 344, volume.applicationId.size(), volume.applicationId.begin());
    const std::uint8_t* lvd = sequence.logical->data();
    volume.logicalVolumeIdentifier = DecodeDString(lvd + 84, 128);
    const std::uint32_t blockSize = Le32(lvd + 212);
    if (blockSize != kUdfBlockSize) {
        *problem = "the UDF logical block size is " + std::to_string(blockSize)
            + " bytes; only volumes of 2048-byte blocks can be read";
        return std::nullopt;
    }
    volume.revision = Le16(lvd + 216 + 24);
    volume.domainFlags = lvd[216 + 24 + 2];
    reader.Note(Le32(lvd + 436), (std::uint64_t{Le32(lvd + 432)} + kUdfBlockSize - 1) / kUdfBlockSize);
    volume.placement.integrity = Le32(lvd + 436);

    // The partition maps, in the order the addresses refer to them.
    const std::uint32_t tableLength = std::min<std::uint32_t>(Le32(lvd + 264), kUdfBlockSize - 440);
    const std::uint32_t mapCount = Le32(lvd + 268);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> metadataFiles; // main, mirror per metadata map
    std::size_t at = 440;
    for (std::uint32_t i = 0; i < mapCount && at + 2 <= 440 + tableLength; ++i) {
        const std::uint8_t type = lvd[at];
        const std::uint8_t length = lvd[at + 1];
        if (length < 6 || at + length > 440 + tableLength) {
            *problem = "a UDF partition map is malformed";
            return std::nullopt;
        }
        const std::uint8_t* map = lvd + at;
        std::uint16_t number = 0;
        PartitionMap entry;
        if (type == 1) {
            number = Le16(map + 4);
        } else if (type == 2 && length >= 64) {
            const std::string_view identifier(reinterpret_cast<const char*>(map + 5), 23);
            number = Le16(map + 38);
            if (identifier == "*UDF Metadata Partition") {
                entry.kind = PartitionMap::Kind::Metadata;
                metadataFiles.emplace_back(Le32(map + 40), Le32(map + 44));
            } else if (identifier == "*UDF Sparable Partition") {
                entry.sparable = true;
                if (!ReadSparingTable(reader, map, entry)) {
                    // Read as it stands: right unless packets were moved.
                    ++volume.report.badDescriptors;
                }
            } else {
                *problem = "the UDF partition map '" + std::string(identifier.substr(0, identifier.find('\0')))
                    + "' is not supported (only physical, sparable and metadata partitions can be read)";
                return std::nullopt;
            }
        } else {
            *problem = "a UDF partition map of type " + std::to_string(type) + " is not supported";
            return std::nullopt;
        }
        const auto descriptor = std::find_if(sequence.partitions.begin(), sequence.partitions.end(),
                                             [number](const auto& d) { return Le16(d.data() + 22) == number; });
        if (descriptor == sequence.partitions.end()) {
            *problem = "UDF partition " + std::to_string(number) + " has no partition descriptor";
            return std::nullopt;
        }
        entry.start = Le32(descriptor->data() + 188);
        entry.length = Le32(descriptor->data() + 192);
        if (volume.partitions.empty()) {
            volume.contentsFlags = descriptor->data()[24];
            volume.placement.partitionStart = entry.start;
        }
        volume.partitions.push_back(entry);
        at += length;
    }
    if (volume.partitions.empty()) {
        *problem = "the UDF logical volume has no partition map";
        return std::nullopt;
    }
    // A metadata partition's blocks are those of its metadata file, which
    // lies in the physical partition of the same number; its mirror stands
    // in when the file itself is damaged.
    std::size_t metadataIndex = 0;
    for (std::size_t i = 0; i < volume.partitions.size(); ++i) {
        PartitionMap& map = volume.partitions[i];
        if (map.kind != PartitionMap::Kind::Metadata) {
            continue;
        }
        std::uint16_t physical = 0;
        for (std::size_t j = 0; j < volume.partitions.size(); ++j) {
            if (volume.partitions[j].kind == PartitionMap::Kind::Physical && volume.partitions[j].start == map.start) {
                physical = static_cast<std::uint16_t>(j);
                break;
            }
        }
        const auto [main, mirror] = metadataFiles[metadataIndex++];
        std::optional<Entry> file = reader.ReadEntry(physical, main);
        if (!file || file->adType == 3 || file->extents.empty()) {
            file = reader.ReadEntry(physical, mirror);
            volume.usedMetadataMirror = true;
        }
        if (!file || file->adType == 3 || file->extents.empty()) {
            *problem = "neither the UDF metadata file nor its mirror can be read";
            return std::nullopt;
        }
        // Its blocks must lie in a physical partition: one mapped through a
        // metadata partition again could loop.
        for (const Extent& extent : file->extents) {
            if (extent.partition >= volume.partitions.size()
                || volume.partitions[extent.partition].kind != PartitionMap::Kind::Physical) {
                *problem = "the UDF metadata file's extents do not lie in a physical partition";
                return std::nullopt;
            }
        }
        map.metadataExtents = file->extents;
    }

    // The file set, then the root folder.
    const std::uint32_t fsdBlock = Le32(lvd + 248 + 4);
    const std::uint16_t fsdPartition = Le16(lvd + 248 + 8);
    if (const char* why = reader.ReadTagged(fsdPartition, fsdBlock, buffer.data(), kTagFileSet)) {
        *problem = std::string("the UDF file set descriptor cannot be used: ") + why;
        return std::nullopt;
    }
    // The file set descriptor's extent holds its terminator too.
    constexpr std::uint32_t kMostFileSetBlocks = 16;
    const std::uint32_t fileSetBlocks = std::min(kMostFileSetBlocks, (Le32(lvd + 248) & kExtentLengthMask) / kUdfBlockSize);
    for (std::uint32_t i = 1; i < fileSetBlocks; ++i) {
        if (const auto where = reader.Resolve(fsdPartition, fsdBlock + i)) {
            reader.Note(where->first, 1);
        }
    }
    const std::uint32_t rootBlock = Le32(buffer.data() + 400 + 4);
    const std::uint16_t rootPartition = Le16(buffer.data() + 400 + 8);
    const char* rootProblem = nullptr;
    std::optional<Entry> root = reader.ReadEntry(rootPartition, rootBlock, &rootProblem);
    if (!root) {
        *problem = std::string("the UDF root folder's file entry cannot be read: ") + rootProblem;
        return std::nullopt;
    }
    Node rootNode;
    rootNode.isDirectory = true;
    rootNode.date = root->date;
    if (const auto where = reader.Resolve(rootPartition, rootBlock)) {
        rootNode.entrySector = where->first;
    }
    reader.Fill(rootNode, *root);
    volume.nodes.push_back(std::move(rootNode));
    reader.Descend(0, *root, rootPartition, rootBlock, 0);
    return volume;
}

bool ReadFileData(const SectorReader& read, std::uint32_t sectorCount, const Volume& volume, const Node& node,
                  std::uint64_t offset, std::uint8_t* buffer, std::size_t count, std::string* problem)
{
    if (offset > node.size || count > node.size - offset) {
        *problem = "the range lies beyond the end of the file";
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (node.isEmbedded) {
        std::memset(buffer, 0, count);
        if (offset < node.embedded.size()) {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count, node.embedded.size() - offset));
            std::memcpy(buffer, node.embedded.data() + offset, take);
        }
        return true;
    }
    Space space(read, sectorCount, volume.partitions);
    return space.ReadExtents(node.extents, offset, buffer, count, problem);
}

} // namespace tarvelin::iso::udf
