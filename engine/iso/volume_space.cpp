#include "iso/volume_space.h"

#include "core/iso_sector.h"
#include "iso/boot_info_table.h"
#include "iso/hybrid_tables.h"
#include "iso/mac_volume.h"
#include "iso/rock_ridge.h"
#include "iso/udf.h"

#include <algorithm>
#include <map>
#include <set>

namespace tarvelin::iso {

// ---------------------------------------------------------------------------
// SectorSet

void SectorSet::Add(std::uint64_t first, std::uint64_t count)
{
    if (count == 0) {
        return;
    }
    std::uint64_t start = first;
    std::uint64_t end = first + count;
    auto next = runs_.upper_bound(start);
    if (next != runs_.begin()) {
        auto previous = std::prev(next);
        if (previous->second >= start) {
            start = previous->first;
            end = std::max(end, previous->second);
            next = runs_.erase(previous);
        }
    }
    while (next != runs_.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = runs_.erase(next);
    }
    runs_[start] = end;
}

void SectorSet::Remove(std::uint64_t first, std::uint64_t count)
{
    const std::uint64_t end = first + count;
    auto run = runs_.upper_bound(first);
    if (run != runs_.begin()) {
        --run;
    }
    while (run != runs_.end() && run->first < end) {
        const std::uint64_t runStart = run->first;
        const std::uint64_t runEnd = run->second;
        if (runEnd <= first) {
            ++run;
            continue;
        }
        run = runs_.erase(run);
        if (runStart < first) {
            runs_[runStart] = first;
        }
        if (runEnd > end) {
            runs_[end] = runEnd;
        }
    }
}

bool SectorSet::Overlaps(std::uint64_t first, std::uint64_t count) const
{
    if (count == 0) {
        return false;
    }
    auto run = runs_.upper_bound(first);
    if (run != runs_.begin() && std::prev(run)->second > first) {
        return true;
    }
    return run != runs_.end() && run->first < first + count;
}

bool SectorSet::Contains(std::uint32_t sector) const { return Overlaps(sector, 1); }

std::optional<std::uint64_t> SectorSet::FirstAbove(std::uint64_t sector) const
{
    if (Overlaps(sector + 1, 1)) {
        return sector + 1;
    }
    const auto run = runs_.upper_bound(sector);
    return run == runs_.end() ? std::nullopt : std::optional<std::uint64_t>(run->first);
}

std::vector<SectorRun> SectorSet::Runs() const
{
    std::vector<SectorRun> runs;
    runs.reserve(runs_.size());
    for (const auto& [start, end] : runs_) {
        runs.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start)});
    }
    return runs;
}

std::uint64_t SectorSet::Count() const
{
    std::uint64_t total = 0;
    for (const auto& [start, end] : runs_) {
        total += end - start;
    }
    return total;
}

std::optional<std::uint32_t> SectorSet::Take(std::uint32_t count, std::uint32_t limit)
{
    if (count == 0) {
        return std::nullopt;
    }
    for (const auto& [start, end] : runs_) {
        if (start > limit) {
            break;
        }
        if (end - start >= count) {
            const auto first = static_cast<std::uint32_t>(start);
            Remove(first, count);
            return first;
        }
    }
    return std::nullopt;
}

SectorSet SectorSet::Complement(std::uint32_t first, std::uint32_t end) const
{
    SectorSet free;
    if (end > first) {
        free.Add(first, end - first);
        for (const auto& [start, runEnd] : runs_) {
            free.Remove(start, runEnd - start);
        }
    }
    return free;
}

SectorSet VolumeSpace::Free() const
{
    return known ? used.Complement(0, volumeSectors) : SectorSet{};
}

void VolumeSpace::DropUnsizedBootImages()
{
    if (!referencesKnown || known) {
        return; // unknown for what else it met, or there are none
    }
    for (const SectorRun& run : unsizedOnly.Runs()) {
        used.Remove(run.first, run.count);
        beside.Remove(run.first, run.count);
    }
    unsizedBootImages.clear();
    unsizedOnly = SectorSet{};
    SetKnown();
}

void VolumeSpace::SetKnown()
{
    known = true;
    why.clear();
    // Only what lies inside the volume is kept: the rest is no free space of
    // the volume either way.
    if (volumeSectors < UINT32_MAX) {
        const std::uint64_t behind = std::uint64_t{UINT32_MAX} + 1 - volumeSectors;
        used.Remove(volumeSectors, behind);
        beside.Remove(volumeSectors, behind);
        macHeld.Remove(volumeSectors, behind);
    }
}

// ---------------------------------------------------------------------------
// Boot images

std::uint32_t DisketteSectors(std::uint32_t mediaType)
{
    switch (mediaType) {
    case 1: return 600;  // 1.2 MB
    case 2: return 720;  // 1.44 MB
    case 3: return 1440; // 2.88 MB
    default: return 0;
    }
}

namespace {

// The length a FAT file system says it has in its boot sector (an EFI boot
// image is one); 0 when the sector holds none.
std::uint64_t FatVolumeLength(IIsoSector& sector, std::uint32_t first)
{
    std::vector<std::uint8_t> bytes(kSectorSize);
    if (!sector.ReadSector(first, bytes.data()) || bytes[510] != 0x55 || bytes[511] != 0xAA) {
        return 0;
    }
    const ConstBytes boot(bytes);
    const std::uint16_t bytesPerSector = ReadLe16(boot, 11);
    const std::uint32_t sectors = ReadLe16(boot, 19) != 0 ? ReadLe16(boot, 19) : ReadLe32(boot, 32);
    const bool sane = bytesPerSector >= 512 && bytesPerSector <= 4096 && (bytesPerSector & (bytesPerSector - 1)) == 0
        && bytes[13] != 0 && ReadLe16(boot, 14) != 0 && bytes[16] != 0;
    return sane ? std::uint64_t{sectors} * bytesPerSector : 0;
}

// The length of a disk image by the MBR in its first block: the end of its
// last partition, cut at the end of the image; 0 without an MBR.
std::uint64_t DiskImageLength(IIsoSector& sector, std::uint32_t first)
{
    std::vector<std::uint8_t> bytes(kSectorSize);
    if (first >= sector.GetSectorCount() || !sector.ReadSector(first, bytes.data())
        || !hybrid::HasMbrSignature(bytes)) {
        return 0;
    }
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < hybrid::kMbrEntryCount; ++i) {
        const hybrid::MbrPartition partition = hybrid::DecodeMbrPartition(
            ConstBytes(bytes).subspan(hybrid::MbrOffset::kPartitionTable + i * hybrid::kMbrEntrySize,
                                      hybrid::kMbrEntrySize));
        if (partition.type != 0 && partition.blocks != 0) {
            end = std::max(end, (std::uint64_t{partition.firstLba} + partition.blocks) * hybrid::kBlockSize);
        }
    }
    return std::min(end, std::uint64_t{sector.GetSectorCount() - first} * kSectorSize);
}

} // namespace

std::uint64_t HiddenBootImageLength(IIsoSector& sector, const BootEntry& entry)
{
    const std::uint32_t emulation = entry.mediaType & 0x0F;
    if (emulation == static_cast<std::uint32_t>(BootMediaType::HardDisk)) {
        return DiskImageLength(sector, entry.loadRba);
    }
    if (emulation != 0) {
        return std::uint64_t{DisketteSectors(emulation)} * kSectorSize;
    }
    // A loader's boot info table or a FAT boot sector tell the length; an
    // entry that loads more than the usual four 512-byte sectors (as EFI
    // entries do) loads it whole. A loader that loads four and finds the
    // rest by itself has no length to tell.
    std::uint64_t length = std::max(BootFileLengthFromTable(sector, entry.loadRba),
                                    FatVolumeLength(sector, entry.loadRba));
    const std::uint64_t loaded = std::uint64_t{entry.sectorCount} * 512;
    if (loaded > kSectorSize) {
        length = std::max(length, loaded);
    }
    return length;
}

std::uint32_t HiddenBootImageSectors(IIsoSector& sector, const BootEntry& entry)
{
    const std::uint64_t length = HiddenBootImageLength(sector, entry);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>((length + kSectorSize - 1) / kSectorSize, UINT32_MAX));
}

namespace {

constexpr std::uint32_t kSessionAlignment = 32;

std::uint64_t NextSessionStart(std::uint64_t end)
{
    return (end + kSessionAlignment - 1) / kSessionAlignment * kSessionAlignment;
}

// The sessions of the chain in order, each with its primary descriptor, up
// to the first whose root is stopAtRoot (left out). Empty for a chain that
// does not advance (a session of no sectors).
std::vector<std::pair<std::uint32_t, VolumeDescriptor>> SessionChain(const SectorReader& read,
                                                                     std::uint32_t sectorCount,
                                                                     std::optional<std::uint32_t> stopAtRoot,
                                                                     bool& stopped)
{
    std::vector<std::pair<std::uint32_t, VolumeDescriptor>> sessions;
    stopped = false;
    std::uint64_t start = kSessionAlignment;
    while (start + kFirstDescriptorSector < sectorCount) {
        const std::optional<VolumeDescriptor> session =
            ReadVolumeDescriptor(read, sectorCount, static_cast<std::uint32_t>(start) + kFirstDescriptorSector);
        if (!session || session->type != DescriptorType::Primary) {
            break;
        }
        if (stopAtRoot && session->rootRecord.extent == *stopAtRoot) {
            stopped = true;
            return sessions;
        }
        sessions.emplace_back(static_cast<std::uint32_t>(start), *session);
        const std::uint64_t next = NextSessionStart(start + session->volumeSpaceSize);
        if (next <= start) {
            return {};
        }
        start = next;
    }
    return sessions;
}

} // namespace

std::vector<std::uint32_t> EarlierSessionStarts(const SectorReader& read, std::uint32_t sectorCount,
                                                const VolumeDescriptor& current)
{
    bool stopped = false;
    std::vector<std::uint32_t> starts;
    for (const auto& [start, session] : SessionChain(read, sectorCount, current.rootRecord.extent, stopped)) {
        starts.push_back(start);
    }
    // A chain that does not lead to the volume's root ends in the session a
    // save here replaced: the ones before it stay earlier sessions.
    if (!stopped && !starts.empty()) {
        starts.pop_back();
    }
    return starts;
}

std::optional<SessionHeaderPlace> NextSessionHeader(const SectorReader& read, std::uint32_t sectorCount)
{
    bool stopped = false;
    const auto sessions = SessionChain(read, sectorCount, std::nullopt, stopped);
    // A file of one session is no chain to keep: the volume is that session,
    // and a header behind it would make it an earlier session of its own,
    // whose free space saves could no longer use.
    if (sessions.size() < 2) {
        return std::nullopt;
    }
    const auto& [start, last] = sessions.back();
    SessionHeaderPlace place;
    place.chainEnd = std::uint64_t{start} + last.volumeSpaceSize;
    place.rewritten = last.rootRecord.extent < start;
    const std::uint64_t next = place.rewritten ? start : NextSessionStart(place.chainEnd);
    if (next > UINT32_MAX) {
        return std::nullopt;
    }
    place.start = static_cast<std::uint32_t>(next);
    return place;
}

namespace {

// ---------------------------------------------------------------------------
// The scan

class SpaceScan {
public:
    // With a base, the scan reads the volume that starts there (a partition's
    // copy of the metadata), its sector numbers counted from the base.
    explicit SpaceScan(IIsoSector& sector, std::uint32_t base = 0)
        : sector_(sector), base_(base),
          imageSectors_(sector.GetSectorCount() > base ? sector.GetSectorCount() - base : 0)
    {
        read_ = [this](std::uint32_t number, std::uint8_t* buffer) {
            return number < imageSectors_ && sector_.ReadSector(base_ + number, buffer);
        };
    }

    VolumeSpace Run()
    {
        // A later session's volume has no space of its own in front of it:
        // the sectors there are other tracks' (see ImageLayout::sessionStart).
        if (const std::uint32_t session = sector_.GetLayout().sessionStart; session != 0) {
            return Unknown("the volume is a later session of its disc, from disc sector " + std::to_string(session)
                           + ", and only its files are read");
        }
        std::vector<std::uint8_t> bytes(kSectorSize);
        const std::optional<VolumeDescriptor> primary =
            ReadVolumeDescriptor(read_, imageSectors_, kFirstDescriptorSector);
        if (!primary || primary->type != DescriptorType::Primary) {
            return Unknown("the primary volume descriptor cannot be read");
        }
        space_.volumeSectors = primary->volumeSpaceSize;
        if (base_ == 0) {
            space_.earlierSessions = EarlierSessionStarts(read_, imageSectors_, *primary);
            if (const std::size_t count = space_.earlierSessions.size(); count != 0) {
                return Unknown("the image file holds " + std::to_string(count) + " earlier session(s) of xorriso's"
                               + " (the first from sector " + std::to_string(space_.earlierSessions.front())
                               + "), whose files lie in sectors this volume does not refer to");
            }
        }
        UseBeside(0, kSystemAreaSectors);
        bool terminated = false;
        for (std::uint32_t number = kFirstDescriptorSector; number < imageSectors_ && !terminated; ++number) {
            if (!read_(number, bytes.data())) {
                return Unknown("a volume descriptor cannot be read");
            }
            UseMetadata(number, 1);
            if (!Descriptor(number, bytes, terminated)) {
                return std::move(space_);
            }
        }
        if (!terminated) {
            return Unknown("the volume descriptor set has no terminator");
        }
        if (base_ != 0) {
            // A copy's sector numbers do not lead to the volume's boot catalog,
            // and the tables and other file systems are the volume's.
            catalogs_.clear();
            space_.udf = false;
        }
        const bool read = Directories() && (base_ != 0 || (PartitionTables() && PartitionCopy() && Udf()));
        if (read && base_ == 0) {
            MacVolumes();
        }
        UnsizedBootImages();
        if (!read) {
            return std::move(space_);
        }
        space_.referencesKnown = true;
        if (!space_.unsizedBootImages.empty()) {
            return Unknown("a boot image of unknown length that no file lists");
        }
        space_.SetKnown();
        return std::move(space_);
    }

private:
    VolumeSpace Unknown(std::string why)
    {
        space_.known = false;
        space_.why = std::move(why);
        return std::move(space_);
    }

    bool Fail(std::string why)
    {
        space_.known = false;
        space_.why = std::move(why);
        return false;
    }

    void Use(std::uint64_t first, std::uint64_t count) { space_.used.Add(first, count); }
    // The descriptors, path tables and folders of the volume's trees.
    void UseMetadata(std::uint64_t first, std::uint64_t count)
    {
        Use(first, count);
        metadataEnd_ = std::max(metadataEnd_, first + count);
    }
    void UseBeside(std::uint64_t first, std::uint64_t count)
    {
        Use(first, count);
        space_.beside.Add(first, count);
    }

    bool Descriptor(std::uint32_t number, ConstBytes bytes, bool& terminated)
    {
        if (HasDescriptorHeader(bytes, DescriptorType::Terminator)) {
            terminated = true;
            space_.udf = ScanDescriptorSet(read_, imageSectors_).HasUdf();
            recognition_ = number + 1;
            return true;
        }
        if (HasDescriptorHeader(bytes, DescriptorType::BootRecord)) {
            const std::optional<BootRecord> record = DecodeBootRecord(bytes);
            if (!record) {
                return Fail("a boot record of a kind this program does not know");
            }
            catalogs_.push_back(record->catalogSector);
            return true;
        }
        const bool primary = HasDescriptorHeader(bytes, DescriptorType::Primary);
        // A supplementary descriptor of version 2 (an enhanced volume
        // descriptor) has a tree of its own all the same.
        const bool supplementary = bytes[0] == static_cast<std::uint8_t>(DescriptorType::Supplementary)
            && std::equal(kStandardIdentifier.begin(), kStandardIdentifier.end(), bytes.begin() + 1)
            && (bytes[6] == 1 || bytes[6] == 2);
        if (!primary && !supplementary) {
            return Fail("a volume descriptor of a kind this program does not know (sector " +
                        std::to_string(number) + ")");
        }
        std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
        copy[6] = kDescriptorVersion;
        const std::optional<VolumeDescriptor> descriptor = DecodeVolumeDescriptor(copy);
        if (!descriptor) {
            return Fail("a volume descriptor cannot be read (sector " + std::to_string(number) + ")");
        }
        const std::uint32_t tableSectors = SectorsFor(descriptor->pathTableSize);
        for (std::uint32_t table : {descriptor->typeLPathTable, descriptor->optionalTypeLPathTable,
                                    descriptor->typeMPathTable, descriptor->optionalTypeMPathTable}) {
            if (table != 0) {
                UseMetadata(table, tableSectors);
            }
        }
        roots_.push_back(descriptor->rootRecord);
        return true;
    }

    // A file's or directory's sectors: its extended attribute record, then
    // its data.
    bool UseExtent(const DirectoryRecord& record)
    {
        if (record.fileUnitSize != 0 || record.interleaveGap != 0) {
            return Fail("an interleaved file");
        }
        const std::uint64_t sectors =
            record.extendedAttributeLength + std::uint64_t{SectorsFor(record.dataLength)};
        if (record.dataLength != 0 || record.extendedAttributeLength != 0) {
            Use(record.extent, sectors);
        }
        fileStarts_.insert(record.extent + record.extendedAttributeLength);
        return true;
    }

    // The bytes the ISO 9660 tree gives the file whose data begins where
    // record's does: the records of a multi-extent file add up under their
    // first extent.
    void CountFileBytes(const DirectoryRecord& record)
    {
        if (record.IsDirectory()) {
            chainStart_.reset();
            return;
        }
        const std::uint32_t start = chainStart_.value_or(record.extent + record.extendedAttributeLength);
        const std::uint64_t bytes = (chainStart_ ? chainBytes_ : 0) + record.dataLength;
        if (record.IsMultiExtent()) {
            chainStart_ = start;
            chainBytes_ = bytes;
            return;
        }
        chainStart_.reset();
        fileBytes_[start] = std::max(fileBytes_[start], bytes);
    }

    bool UseSystemUse(const DirectoryRecord& record)
    {
        if (!susp_) {
            return true;
        }
        SuspReport report;
        const SystemUseArea area = ReadSystemUseArea(record.systemUse, skip_, read_, imageSectors_, &report);
        for (const ContinuationPlace& place : ContinuationPlacesOf(area)) {
            UseMetadata(place.block, SectorsFor(place.offset + place.length));
        }
        return true;
    }

    bool Directories()
    {
        std::vector<std::uint8_t> bytes(kSectorSize);
        bool first = true;
        for (const DirectoryRecord& root : roots_) {
            std::vector<DirectoryRecord> pending{root};
            while (!pending.empty()) {
                const DirectoryRecord directory = pending.back();
                pending.pop_back();
                if (!directories_.insert(directory.extent).second) {
                    continue; // another tree's folder, or a loop
                }
                if (!UseExtent(directory)) {
                    return false;
                }
                metadataEnd_ = std::max(metadataEnd_, directory.extent + directory.extendedAttributeLength
                                                          + std::uint64_t{SectorsFor(directory.dataLength)});
                chainStart_.reset();
                const std::uint32_t start = directory.extent + directory.extendedAttributeLength;
                const std::uint32_t sectors = SectorsFor(directory.dataLength);
                for (std::uint32_t index = 0; index < sectors; ++index) {
                    if (!read_(start + index, bytes.data())) {
                        return Fail("a directory cannot be read (sector " + std::to_string(start + index) + ")");
                    }
                    const DirectorySectorRecords records = DecodeDirectorySector(bytes);
                    if (records.damaged) {
                        return Fail("a directory is damaged (sector " + std::to_string(start + index) + ")");
                    }
                    for (const DirectoryRecord& record : records.records) {
                        CountFileBytes(record);
                        if (first && index == 0 && record.IsSelf()) {
                            const SuspVolumeInfo volume = DecodeSuspVolume(
                                SystemUseArea{record.systemUse.substr(RootSelfSkip(record.systemUse)), {}});
                            susp_ = volume.susp;
                            skip_ = volume.skip;
                        }
                        if (!UseSystemUse(record)) {
                            return false;
                        }
                        if (record.IsSelf() || record.IsParent()) {
                            continue;
                        }
                        if (record.IsDirectory()) {
                            pending.push_back(record);
                        } else if (!UseExtent(record)) {
                            return false;
                        }
                    }
                    first = false;
                }
            }
            first = true;
        }
        return Boot();
    }

    bool Boot()
    {
        std::vector<std::uint8_t> bytes(kSectorSize);
        for (std::uint32_t catalogSector : catalogs_) {
            UseBeside(catalogSector, 1);
            if (!read_(catalogSector, bytes.data())) {
                return Fail("the boot catalog cannot be read");
            }
            const std::optional<BootCatalogSet> catalog = DecodeBootCatalogSet(bytes);
            if (!catalog) {
                return Fail("the boot catalog cannot be read whole");
            }
            for (const BootEntry* entry : BootEntriesOf(*catalog)) {
                if (entry->loadRba == 0 || fileStarts_.count(entry->loadRba) != 0) {
                    continue;
                }
                const std::uint32_t sectors = HiddenBootImageSectors(sector_, *entry);
                if (sectors == 0) {
                    unsized_.insert(entry->loadRba); // measured once all else is known
                } else {
                    UseBeside(entry->loadRba, sectors);
                }
            }
        }
        return true;
    }

    // A boot image of unknown length may run on up to whatever begins next
    // (a loader that loads the rest of itself from the following sectors).
    void UnsizedBootImages()
    {
        const std::uint64_t end = std::min(space_.volumeSectors, imageSectors_);
        for (const std::uint32_t first : unsized_) {
            const auto nextImage = unsized_.upper_bound(first);
            std::uint64_t last = std::min(space_.used.FirstAbove(first).value_or(end), end);
            if (nextImage != unsized_.end()) {
                last = std::min<std::uint64_t>(last, *nextImage);
            }
            const std::uint32_t sectors = last > first ? static_cast<std::uint32_t>(last - first) : 1;
            space_.unsizedBootImages.push_back({first, sectors});
        }
        for (const SectorRun& run : space_.unsizedBootImages) {
            space_.unsizedOnly.Add(run.first, run.count);
        }
        for (const SectorRun& run : space_.used.Runs()) {
            space_.unsizedOnly.Remove(run.first, run.count);
        }
        for (const SectorRun& run : space_.unsizedBootImages) {
            UseBeside(run.first, run.count);
        }
    }

    // What the tables of a hybrid image hold inside the volume, but the
    // partition that is the volume itself.
    bool PartitionTables()
    {
        std::vector<std::uint8_t> area(hybrid::kSystemAreaBytes);
        if (!sector_.ReadSectors(0, area.data(), kSystemAreaSectors) || !hybrid::HasMbrSignature(area)) {
            return true;
        }
        const auto useBlocks = [&](std::uint64_t firstBlock, std::uint64_t blocks) {
            constexpr std::uint64_t kVolumeStartBlock = std::uint64_t{kFirstDescriptorSector} * hybrid::kBlocksPerSector;
            if (blocks == 0 || firstBlock <= kVolumeStartBlock) {
                return; // the volume itself, or the tables in front of it
            }
            const std::uint64_t first = firstBlock / hybrid::kBlocksPerSector;
            const std::uint64_t end = (firstBlock + blocks + hybrid::kBlocksPerSector - 1) / hybrid::kBlocksPerSector;
            UseBeside(first, end - first);
        };
        const ConstBytes bytes(area);
        bool protective = false;
        for (std::size_t index = 0; index < hybrid::kMbrEntryCount; ++index) {
            const hybrid::MbrPartition partition = hybrid::DecodeMbrPartition(
                bytes.subspan(hybrid::MbrOffset::kPartitionTable + index * hybrid::kMbrEntrySize, hybrid::kMbrEntrySize));
            if (partition.type == hybrid::kMbrTypeProtective) {
                protective = true;
            } else if (partition.type != 0) {
                useBlocks(partition.firstLba, partition.blocks);
            }
        }
        const std::optional<hybrid::GptHeader> header =
            hybrid::DecodeGptHeader(bytes.subspan(hybrid::kBlockSize, hybrid::kBlockSize));
        if (!header) {
            return true;
        }
        const std::uint64_t arrayBlocks = (header->EntryArrayBytes() + hybrid::kBlockSize - 1) / hybrid::kBlockSize;
        if (header->entryLba + arrayBlocks > hybrid::kSystemAreaBlocks) {
            return protective ? Fail("a GPT whose entries lie outside the system area") : true;
        }
        for (std::uint32_t index = 0; index < header->entryCount; ++index) {
            const hybrid::GptEntry entry = hybrid::DecodeGptEntry(
                bytes.subspan(header->entryLba * hybrid::kBlockSize + std::size_t{index} * header->entrySize,
                              header->entrySize));
            if (entry.used && entry.lastLba >= entry.firstLba) {
                useBlocks(entry.firstLba, entry.lastLba - entry.firstLba + 1);
            }
        }
        // The backup entry array and header.
        if (header->alternateLba > arrayBlocks) {
            useBlocks(header->alternateLba - arrayBlocks, arrayBlocks + 1);
        }
        return true;
    }

    // A hybrid's first partition may hold a copy of the metadata, its sector
    // numbers counted from the partition's start: its descriptors, path
    // tables and folders are the volume's too (a save lays them out anew,
    // with the volume's own).
    bool PartitionCopy()
    {
        const std::optional<hybrid::HybridTablesBefore> tables = hybrid::ReadHybridTables(sector_);
        if (!tables || !tables->copy) {
            return true;
        }
        const std::uint32_t offset = tables->copy->offset;
        const VolumeSpace copy = SpaceScan(sector_, offset).Run();
        if (!copy.known) {
            return Fail("the copy of the file system in the image's first partition cannot be read (" + copy.why + ")");
        }
        for (const SectorRun& run : copy.used.Runs()) {
            Use(std::uint64_t{offset} + run.first, run.count);
        }
        return true;
    }

    // An HFS or HFS+ volume that starts inside this one shares its files:
    // what it spans behind the ISO 9660 metadata is its catalog, its files'
    // data (the ISO 9660 files' too) and free room it may count on. Its
    // allocation map is no help: the tools that write such volumes mark
    // every block taken.
    void MacVolumes()
    {
        for (const MacVolume& volume : FindMacVolumes(read_, imageSectors_)) {
            const std::uint64_t start = volume.first / kSectorSize;
            const std::uint64_t end = (volume.end + kSectorSize - 1) / kSectorSize;
            if (start >= space_.volumeSectors) {
                continue; // a partition appended behind the volume
            }
            const std::uint64_t first = std::max(start, metadataEnd_);
            if (first < end) {
                UseBeside(first, end - first);
                space_.macHeld.Add(first, end - first);
            }
            if (space_.macVolume.empty()) {
                space_.macVolume = volume.Describe();
            }
        }
    }

    // The UDF file system beside ISO 9660, read as UDF readers see it.
    bool Udf()
    {
        if (!space_.udf) {
            return true;
        }
        const auto refuse = [this](std::string why) {
            space_.udfRefusal = why;
            return Fail(std::move(why));
        };
        // The recognition sequence behind the descriptor set's terminator.
        std::vector<std::uint8_t> bytes(kSectorSize);
        constexpr std::uint32_t kMostRecognitionSectors = 16;
        for (std::uint32_t number = recognition_; number < recognition_ + kMostRecognitionSectors; ++number) {
            if (!read_(number, bytes.data())) {
                break;
            }
            Use(number, 1);
            if (std::equal(kUdfTerminateExtendedArea.begin(), kUdfTerminateExtendedArea.end(), bytes.begin() + 1)) {
                break;
            }
        }
        std::string problem;
        const std::optional<udf::Volume> volume = udf::ReadVolume(read_, imageSectors_, &problem);
        if (!volume) {
            return refuse("the image's UDF file system cannot be read (" + problem + ")");
        }
        if (volume->report.Total() != 0) {
            return refuse("the image's UDF file system is damaged (" + std::to_string(volume->report.Total())
                          + " structures cannot be read)");
        }
        for (const udf::PartitionMap& map : volume->partitions) {
            if (map.kind == udf::PartitionMap::Kind::Metadata || map.sparable) {
                return refuse(std::string("the image's UDF file system lies in a ")
                              + (map.sparable ? "sparable partition" : "metadata partition")
                              + ", which a save does not write");
            }
        }
        for (const udf::SectorSpan& span : volume->structures) {
            Use(span.first, span.count);
        }
        std::uint32_t isoLacks = 0;
        std::uint32_t isoCuts = 0;
        for (const udf::Node& node : volume->nodes) {
            for (const udf::Extent& extent : node.extents) {
                if (extent.recorded && extent.partition < volume->partitions.size()) {
                    const udf::PartitionMap& map = volume->partitions[extent.partition];
                    Use(std::uint64_t{map.start} + extent.block, (extent.length + kSectorSize - 1) / kSectorSize);
                }
            }
            const bool data = !node.isDirectory && !node.isSymlink && node.size != 0;
            if (data && (node.isEmbedded || fileStarts_.count(node.firstSector) == 0)) {
                ++isoLacks;
            } else if (data && !node.isEmbedded && fileBytes_[node.firstSector] < node.size) {
                ++isoCuts;
            }
        }
        space_.udfLabel = volume->logicalVolumeIdentifier;
        space_.udfVolumeSet = volume->volumeSetIdentifier;
        space_.udfRevision = volume->revision;
        space_.udfDomainFlags = volume->domainFlags;
        space_.udfApplicationId = volume->applicationId;
        space_.udfContentsFlags = volume->contentsFlags;
        space_.udfPlacement = volume->placement;
        space_.udfHoldsLinks = std::any_of(volume->nodes.begin(), volume->nodes.end(),
                                           [](const udf::Node& node) { return node.isSymlink; });
        constexpr std::uint16_t kMostRevisionWritten = 0x0201;
        if (isoLacks != 0) {
            space_.udfRefusal = "the UDF tree holds " + std::to_string(isoLacks)
                + " files the ISO 9660 tree lacks (as Windows installation images and images with files of "
                  "4 GiB or more have them); a save would lose them";
        } else if (isoCuts != 0) {
            space_.udfRefusal = "the UDF tree holds " + std::to_string(isoCuts)
                + " files larger than the ISO 9660 tree records them (as images with files of 4 GiB or more made "
                  "with sizes cut to 32 bits have them); a save would cut them short";
        } else if (volume->revision > kMostRevisionWritten) {
            space_.udfRefusal = "the image's UDF file system is of revision " + udf::RevisionText(volume->revision)
                + ", later than the 2.01 a save writes";
        }
        return true;
    }

    IIsoSector& sector_;
    std::uint32_t base_ = 0;
    std::uint32_t imageSectors_ = 0; // from the base on
    std::uint32_t recognition_ = 0;
    SectorReader read_;
    VolumeSpace space_;
    std::vector<std::uint32_t> catalogs_;
    std::vector<DirectoryRecord> roots_;
    std::set<std::uint32_t> directories_;
    std::set<std::uint32_t> fileStarts_;
    std::set<std::uint32_t> unsized_;     // the first sectors of boot images of unknown length
    std::map<std::uint32_t, std::uint64_t> fileBytes_; // by the file's first data sector
    std::optional<std::uint32_t> chainStart_;         // the multi-extent file the next record continues
    std::uint64_t chainBytes_ = 0;                    // and its bytes so far
    std::uint64_t metadataEnd_ = 0;                   // behind the last descriptor, path table or folder
    bool susp_ = false;
    std::uint8_t skip_ = 0;
};

} // namespace

VolumeSpace ScanVolumeSpace(IIsoSector& sector) { return SpaceScan(sector).Run(); }

} // namespace tarvelin::iso
