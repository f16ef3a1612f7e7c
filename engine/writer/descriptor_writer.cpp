// The volume descriptor set of new and of edited images, and what the
// descriptors of an image being edited say about it.
//
// A new image gets a fresh set: primary, Joliet supplementary (mode 2) and
// terminator, with space-filled text fields, unset dates in their "not
// specified" form and a volume set of one.
//
// A saved edited image keeps the set it had, sector by sector: only what the
// save moves is written anew (volume space size, path tables, root
// directory extent and length, modification date) in the primary, in the
// Joliet descriptor and in every other descriptor that names one of their
// trees. Every other byte, reserved ones included, stays as it was read.
// The El Torito boot record at sector 17 is kept, added or dropped as the
// save asks, and the descriptors behind it move with it.
//
// The whole set is rendered into a scratch area first and appended to the
// component's buffer in one piece: a failed append leaves the buffer empty
// rather than holding a set without its terminator.

#include "writer/descriptor_writer.h"

#include "core/iso_sector.h"
#include "writer/iso_build.h"
#include "iso/iso9660.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin {

// The label names the local wall-clock minute of the build; if the zone
// cannot be consulted, the UTC minute is still a truthful label.
std::string DateVolumeLabel(platform::FileTime buildTime)
{
    platform::CalendarTime calendar;
    if (!platform::FileTimeToLocal(buildTime, calendar) && !platform::FileTimeToUtc(buildTime, calendar)) {
        return {};
    }
    return iso::VolumeLabelText(calendar);
}

namespace {

// Where a new image names the program that made it; its copyright file
// identifier stays empty, as the image holds no such file.
constexpr std::string_view kApplicationText = "TARVELIN";
// A set runs a few sectors; one longer than this is damage, and a save that
// wrote it back would only carry the damage along.
constexpr std::size_t kMaxSourceSetSectors = 64;
// A supplementary descriptor of version 2 (byte 6 of its header) is the
// enhanced descriptor of an ISO 9660:1999 tree.
constexpr std::size_t kDescriptorVersionOffset = 6;
constexpr std::uint8_t kEnhancedDescriptorVersion = 2;

using SectorBytes = std::array<std::uint8_t, iso::kSectorSize>;

// The M table starts on the sector after the padded L table.
std::uint32_t MTableSector(const TreePlacement& tree)
{
    return tree.pathTableSector + iso::SectorsFor(tree.pathTableSize);
}

struct DescriptorSetRequest {
    bool joliet = false;
    std::uint32_t volumeSectors = 0;
    TreePlacement isoTree;
    TreePlacement jolietTree;
    std::optional<std::uint32_t> bootCatalogSector; // a boot record when set
    platform::FileTime buildTime = 0;
    std::string_view volumeLabel; // empty: the date label
    const iso::VolumeProperties* properties = nullptr; // null: as the source has them
};

// The descriptor set of the source image as read, from sector 16.
struct SourceSet {
    std::vector<SectorBytes> sectors;       // the primary first
    std::optional<std::size_t> jolietIndex; // in sectors
    bool terminated = false;                // the last sector is the terminator
};


// A new image's primary or Joliet descriptor. Text fields are filled with
// spaces (UCS-2 spaces in the Joliet descriptor) as a- and d-character
// fields must be; creation and modification date are the build's moment,
// expiration and effective date are not specified.
iso::VolumeDescriptor MakeDescriptor(iso::DescriptorType type, const DescriptorSetRequest& request,
                                     const TreePlacement& tree, std::string_view label)
{
    iso::VolumeDescriptor descriptor;
    descriptor.type = type;
    const bool joliet = type == iso::DescriptorType::Supplementary;
    const auto text = [joliet](iso::Bytes field, std::string_view value) {
        if (joliet) {
            iso::PutJolietTextField(field, value, u' ');
        } else {
            iso::PutPrimaryTextField(field, value);
        }
    };
    text(descriptor.systemIdentifier, {});
    text(descriptor.volumeIdentifier, label);
    text(descriptor.volumeSetIdentifier, {});
    text(descriptor.publisherIdentifier, {});
    text(descriptor.dataPreparerIdentifier, {});
    text(descriptor.applicationIdentifier, kApplicationText);
    text(descriptor.copyrightFileIdentifier, {});
    text(descriptor.abstractFileIdentifier, {});
    text(descriptor.bibliographicFileIdentifier, {});
    if (joliet) {
        std::copy(iso::kJolietLevel3Escape.begin(), iso::kJolietLevel3Escape.end(),
                  descriptor.escapeSequences.begin());
    }
    descriptor.volumeSpaceSize = request.volumeSectors;
    // A volume set of one disc, this one its first.
    descriptor.volumeSetSize = 1;
    descriptor.volumeSequenceNumber = 1;
    descriptor.pathTableSize = tree.pathTableSize;
    descriptor.typeLPathTable = tree.pathTableSector;
    descriptor.typeMPathTable = MTableSector(tree);
    // No optional copies of the tables are written: their locations stay 0.
    descriptor.rootRecord = iso::MakeRootRecord(tree.rootExtent, tree.rootSize, request.buildTime);
    descriptor.creationDate = iso::VolumeDateFromFileTime(request.buildTime);
    descriptor.modificationDate = descriptor.creationDate;
    descriptor.expirationDate = iso::UnsetVolumeDate();
    descriptor.effectiveDate = iso::UnsetVolumeDate();
    // ECMA-119 8.4.31 fixes the version at 1; readers built on libisofs
    // and libarchive refuse a volume with any other value.
    descriptor.fileStructureVersion = 1;
    return descriptor;
}

// Sectors rendered one after the other, handed to the component's buffer in
// one append.
class SetScratch {
public:
    // A zeroed sector at the end of the set.
    iso::Bytes Add()
    {
        bytes_.resize(bytes_.size() + iso::kSectorSize, 0);
        return iso::Bytes(bytes_).last(iso::kSectorSize);
    }
    // A copy of a sector read from the source, to be changed in place.
    iso::Bytes Add(const SectorBytes& sector)
    {
        bytes_.insert(bytes_.end(), sector.begin(), sector.end());
        return iso::Bytes(bytes_).last(iso::kSectorSize);
    }
    bool AppendTo(CByteBuffer& out) const
    {
        return out.Append(bytes_.data(), static_cast<std::uint32_t>(bytes_.size()));
    }

private:
    std::vector<std::uint8_t> bytes_;
};

// Renders a new image's set and appends it to out in one piece; false,
// with out unchanged, when a sector cannot be encoded or the append fails.
bool RenderNewSet(const DescriptorSetRequest& request, CByteBuffer& out)
{
    SetScratch set;
    const std::string label =
        request.volumeLabel.empty() ? DateVolumeLabel(request.buildTime) : std::string(request.volumeLabel);
    bool encoded = iso::EncodeVolumeDescriptor(
        MakeDescriptor(iso::DescriptorType::Primary, request, request.isoTree, label), set.Add());
    if (encoded && request.bootCatalogSector) {
        encoded = iso::EncodeBootRecord(iso::MakeElToritoBootRecord(*request.bootCatalogSector), set.Add());
    }
    if (encoded && request.joliet) {
        encoded = iso::EncodeVolumeDescriptor(
            MakeDescriptor(iso::DescriptorType::Supplementary, request, request.jolietTree, label), set.Add());
    }
    return encoded && iso::EncodeTerminator(set.Add()) && set.AppendTo(out);
}

// ---------------------------------------------------------------------------
// The set of a saved edited image.

bool IsVolumeDescriptor(const SectorBytes& sector)
{
    return std::memcmp(sector.data() + 1, iso::kStandardIdentifier.data(), iso::kStandardIdentifier.size()) == 0;
}

// Primary and supplementary descriptors (the enhanced one included) carry a
// root directory record; boot records, partition descriptors and the
// terminator do not.
bool CarriesTree(const SectorBytes& sector)
{
    const auto type = static_cast<iso::DescriptorType>(sector[iso::VolumeDescriptorOffset::kType]);
    return IsVolumeDescriptor(sector)
        && (type == iso::DescriptorType::Primary || type == iso::DescriptorType::Supplementary);
}

std::uint32_t RootExtentOf(iso::ConstBytes sector)
{
    using O = iso::VolumeDescriptorOffset;
    return iso::ReadBoth32(sector, O::kRootDirectoryRecord + iso::DirectoryRecordOffset::kExtent);
}

// Points a kept descriptor at the tree the save wrote; the rest of its
// bytes, the root record's date and flags among them, stay as read.
void PlaceTree(iso::Bytes sector, const TreePlacement& tree, std::uint32_t volumeSectors,
               const iso::VolumeDate& modified)
{
    using O = iso::VolumeDescriptorOffset;
    using R = iso::DirectoryRecordOffset;
    iso::PutBoth32(sector, O::kVolumeSpaceSize, volumeSectors);
    iso::PutBoth32(sector, O::kPathTableSize, tree.pathTableSize);
    iso::PutLe32(sector, O::kTypeLPathTable, tree.pathTableSector);
    iso::PutBe32(sector, O::kTypeMPathTable, MTableSector(tree));
    // The save writes one L and one M table. An optional copy the source
    // had lies in sectors the save reuses, so its location is cleared
    // rather than left naming whatever comes to lie there.
    iso::PutLe32(sector, O::kOptionalTypeLPathTable, 0);
    iso::PutBe32(sector, O::kOptionalTypeMPathTable, 0);
    iso::PutBoth32(sector, O::kRootDirectoryRecord + R::kExtent, tree.rootExtent);
    iso::PutBoth32(sector, O::kRootDirectoryRecord + R::kDataLength, tree.rootSize);
    std::copy(modified.begin(), modified.end(), sector.subspan(O::kModificationDate).begin());
}

// The source's set with the save's trees, boot record and volume size, in
// one piece; false, with out unchanged, when the append fails.
bool RenderSavedSet(const SourceSet& source, const DescriptorSetRequest& request, CByteBuffer& out)
{
    const iso::VolumeDate modified = iso::VolumeDateFromFileTime(request.buildTime);
    const std::uint32_t oldIsoRoot = RootExtentOf(source.sectors[0]);
    const bool hadJoliet = source.jolietIndex.has_value();
    const std::uint32_t oldJolietRoot = hadJoliet ? RootExtentOf(source.sectors[*source.jolietIndex]) : 0;
    SetScratch set;
    // What the user did not change keeps its bytes: the properties were
    // shown as the primary descriptor has them.
    const iso::VolumeProperties shown = iso::ReadVolumeProperties(source.sectors[0], false);
    const auto withProperties = [&request, &shown](iso::Bytes sector, bool joliet) {
        if (request.properties != nullptr) {
            iso::PutVolumeProperties(sector, *request.properties, joliet, &shown);
        }
    };
    iso::Bytes primary = set.Add(source.sectors[0]);
    PlaceTree(primary, request.isoTree, request.volumeSectors, modified);
    withProperties(primary, false);

    // El Torito wants its boot record at sector 17, right behind the
    // primary: one the source had there keeps its bytes and gets the new
    // catalog sector.
    const bool hadBootRecord = source.sectors.size() > 1 && iso::IsElToritoBootRecord(source.sectors[1]);
    if (request.bootCatalogSector && hadBootRecord) {
        iso::PutLe32(set.Add(source.sectors[1]), iso::BootRecordOffset::kCatalogSector, *request.bootCatalogSector);
    } else if (request.bootCatalogSector) {
        iso::EncodeBootRecord(iso::MakeElToritoBootRecord(*request.bootCatalogSector), set.Add());
    }

    const std::size_t end = source.terminated ? source.sectors.size() - 1 : source.sectors.size();
    for (std::size_t i = hadBootRecord ? 2 : 1; i < end; ++i) {
        const SectorBytes& sector = source.sectors[i];
        if (i == source.jolietIndex) {
            // Without a Joliet tree in the save, a descriptor naming the old
            // one would name sectors the save reuses: it is left out.
            if (request.joliet) {
                iso::Bytes joliet = set.Add(sector);
                PlaceTree(joliet, request.jolietTree, request.volumeSectors, modified);
                withProperties(joliet, true);
            }
            continue;
        }
        iso::Bytes kept = set.Add(sector);
        if (!CarriesTree(sector)) {
            continue;
        }
        const std::uint32_t root = RootExtentOf(sector);
        if (request.joliet && hadJoliet && root == oldJolietRoot) {
            PlaceTree(kept, request.jolietTree, request.volumeSectors, modified);
        } else if (root == oldIsoRoot || sector[kDescriptorVersionOffset] == kEnhancedDescriptorVersion) {
            // An enhanced descriptor with a tree of its own would name
            // directories the save does not write and whose sectors it
            // reuses; the primary's tree is a valid tree for it too.
            PlaceTree(kept, request.isoTree, request.volumeSectors, modified);
        } else {
            // A tree the save knows nothing of; the volume's size is still
            // the volume's.
            iso::PutBoth32(kept, iso::VolumeDescriptorOffset::kVolumeSpaceSize, request.volumeSectors);
        }
    }

    bool encoded = true;
    if (request.joliet && !source.jolietIndex) {
        constexpr std::size_t kLabelSize = sizeof(iso::VolumeDescriptor::volumeIdentifier);
        const std::string label = iso::ReadTextField(
            iso::ConstBytes(source.sectors[0]).subspan(iso::VolumeDescriptorOffset::kVolumeIdentifier, kLabelSize));
        iso::Bytes joliet = set.Add();
        encoded = iso::EncodeVolumeDescriptor(
            MakeDescriptor(iso::DescriptorType::Supplementary, request, request.jolietTree, label), joliet);
        withProperties(joliet, true);
    }
    if (source.terminated) {
        set.Add(source.sectors.back());
    } else {
        encoded = encoded && iso::EncodeTerminator(set.Add());
    }
    return encoded && set.AppendTo(out);
}

// The rendered set handed to the caller; an empty set (nothing built, or a
// build whose append failed) is refused so it is never written as if it
// were one.
bool CopySet(CByteBuffer& sectors, CByteBuffer& out)
{
    if (sectors.GetSize() == 0) {
        return false;
    }
    return out.Append(sectors.GetData(), sectors.GetSize());
}

std::int32_t SetSectorCount(const CByteBuffer& sectors)
{
    return static_cast<std::int32_t>(sectors.GetSize() / iso::kSectorSize);
}

// The moment a build is dated with: the one set, or now, taken once so that
// the label and the root records agree.
platform::FileTime BuildMoment(const std::optional<platform::FileTime>& fixed)
{
    return fixed ? *fixed : platform::CurrentFileTime();
}

} // namespace

class CBuildDesc final : public IBuildDesc {
public:
    bool Reserved() override { return true; }

    void Build(std::uint32_t mode, std::uint32_t volumeSectors, std::uint32_t ptSize, std::uint32_t ptSector,
               std::uint32_t rootExtent, std::uint32_t rootSize, std::uint32_t jPtSize, std::uint32_t jPtSector,
               std::uint32_t jRootExtent, std::uint32_t jRootSize) override
    {
        DescriptorSetPlan plan;
        plan.mode = mode;
        plan.volumeSectors = volumeSectors;
        plan.iso = {ptSize, ptSector, rootExtent, rootSize};
        plan.joliet = {jPtSize, jPtSector, jRootExtent, jRootSize};
        Build(plan);
    }

    void Build(const DescriptorSetPlan& plan) override
    {
        // A second Build replaces the set instead of appending another one.
        sectors_.Clear();
        DescriptorSetRequest request;
        request.joliet = plan.mode == kBuildIsoAndJoliet;
        request.volumeSectors = plan.volumeSectors;
        request.isoTree = plan.iso;
        request.jolietTree = plan.joliet;
        request.buildTime = BuildMoment(buildTime_);
        request.volumeLabel = volumeLabel_;
        RenderNewSet(request, sectors_);
    }

    void SetVolumeLabel(const char* label) override { volumeLabel_ = label != nullptr ? label : ""; }

    bool CopyTo(CByteBuffer& out) override { return CopySet(sectors_, out); }
    std::int32_t GetSectorCount() override { return SetSectorCount(sectors_); }
    void SetBuildTime(platform::FileTime time) override { buildTime_ = time; }

private:
    CByteBuffer sectors_{256};
    std::optional<platform::FileTime> buildTime_;
    std::string volumeLabel_;
};

class CIsoDesc final : public IIsoDesc {
public:
    bool Reserved() override { return true; }

    IIsoDesc* SetSource(IIsoSector* source) override
    {
        source_ = source;
        return this;
    }

    bool GetRootRecord(std::uint8_t record[34]) override
    {
        return CopyRootRecord(iso::kFirstDescriptorSector, iso::DescriptorType::Primary, record);
    }

    bool GetJolietRootRecord(std::uint8_t record[34]) override
    {
        const std::optional<std::uint32_t> joliet = Scan().jolietSector;
        if (!joliet) {
            std::memset(record, 0, iso::kRootRecordSize);
            return false;
        }
        return CopyRootRecord(*joliet, iso::DescriptorType::Supplementary, record);
    }

    std::int32_t GetDescriptorCount() override { return static_cast<std::int32_t>(Scan().descriptorCount); }

    std::int32_t GetJolietMode() override
    {
        return static_cast<std::int32_t>(Scan().jolietSector ? kBuildIsoAndJoliet : kBuildIsoOnly);
    }

    void Build(std::uint32_t mode, std::uint32_t volumeSectors, std::uint32_t ptSize, std::uint32_t ptSector,
               std::uint32_t rootExtent, std::uint32_t rootSize, std::uint32_t jPtSize, std::uint32_t jPtSector,
               std::uint32_t jRootExtent, std::uint32_t jRootSize, std::uint32_t bootCatalogSector,
               std::uint32_t bootOption) override
    {
        DescriptorSetPlan plan;
        plan.mode = mode;
        plan.volumeSectors = volumeSectors;
        plan.iso = {ptSize, ptSector, rootExtent, rootSize};
        plan.joliet = {jPtSize, jPtSector, jRootExtent, jRootSize};
        plan.bootCatalogSector = bootCatalogSector;
        plan.bootOption = static_cast<BootOption>(bootOption);
        Build(plan);
    }

    void Build(const DescriptorSetPlan& plan) override
    {
        sectors_.Clear();
        DescriptorSetRequest request;
        request.joliet = plan.mode == kBuildIsoAndJoliet;
        request.volumeSectors = plan.volumeSectors;
        request.isoTree = plan.iso;
        request.jolietTree = plan.joliet;
        request.buildTime = BuildMoment(buildTime_);
        request.properties = properties_ ? &*properties_ : nullptr;
        if (plan.bootOption != kBootNone && (plan.bootOption == kBootAlways || HasBootRecord())) {
            request.bootCatalogSector = plan.bootCatalogSector;
        }
        // Without a source primary there is nothing to keep (no image is
        // open): the set is a new one. A source that cannot be read whole
        // gives no set, and the save stops before it writes anything.
        if (!HasKeepablePrimary()) {
            RenderNewSet(request, sectors_);
        } else if (const std::optional<SourceSet> source = ReadSourceSet()) {
            RenderSavedSet(*source, request, sectors_);
        }
    }

    bool CopyTo(CByteBuffer& out) override { return CopySet(sectors_, out); }

    bool HasBootRecord() override { return Scan().hasBootRecord; }

    std::uint32_t GetBootInfo(std::uint32_t& mediaType) override
    {
        // Only a boot record whose catalog checks out names a boot image;
        // anything else would make the load RBA of an arbitrary sector mark
        // some file as the boot image.
        const std::optional<iso::BootInfo> info = UsableBootInfo();
        mediaType = info ? info->mediaType : 0;
        return info ? info->imageSector : 0;
    }

    std::int32_t GetSectorCount() override { return SetSectorCount(sectors_); }
    void SetBuildTime(platform::FileTime time) override { buildTime_ = time; }

    std::uint32_t GetBootLoadSectorCount() override
    {
        const std::optional<iso::BootInfo> info = UsableBootInfo();
        return info ? info->loadSectorCount : 0;
    }

    std::uint32_t GetBootCatalogSector() override
    {
        const std::optional<iso::BootInfo> info = UsableBootInfo();
        return info ? info->catalogSector : 0;
    }

    std::uint32_t GetUdfNsrVersion() override { return Scan().udfNsrVersion; }

    void SetVolumeProperties(const iso::VolumeProperties* properties) override
    {
        properties_.reset();
        if (properties != nullptr) {
            properties_ = *properties;
        }
    }

private:
    // Each question reads the source afresh: the image may have been saved
    // since the last one.
    iso::SectorReader Reader() const
    {
        IIsoSector* source = source_;
        return [source](std::uint32_t sector, std::uint8_t* buffer) { return source->ReadSector(sector, buffer); };
    }
    std::uint32_t SourceSectors() const { return source_ != nullptr ? source_->GetSectorCount() : 0; }

    iso::DescriptorSetInfo Scan() const
    {
        if (source_ == nullptr) {
            return {};
        }
        return iso::ScanDescriptorSet(Reader(), SourceSectors());
    }

    bool HasKeepablePrimary() const
    {
        return source_ != nullptr
            && iso::ReadVolumeDescriptor(Reader(), SourceSectors(), iso::kFirstDescriptorSector).has_value();
    }

    // The set from sector 16 through its terminator. A sector that is no
    // volume descriptor ends a set that has no terminator (a new one is
    // added); nothing when a sector cannot be read or the set is too long.
    std::optional<SourceSet> ReadSourceSet() const
    {
        const iso::DescriptorSetInfo info = Scan();
        SourceSet set;
        for (std::uint32_t i = 0; i < info.descriptorCount; ++i) {
            SectorBytes sector{};
            if (i == kMaxSourceSetSectors || !source_->ReadSector(iso::kFirstDescriptorSector + i, sector.data())) {
                return std::nullopt;
            }
            if (!IsVolumeDescriptor(sector)) {
                break;
            }
            set.sectors.push_back(sector);
        }
        set.terminated = info.terminatorFound && set.sectors.size() == info.descriptorCount;
        if (info.jolietSector && *info.jolietSector - iso::kFirstDescriptorSector < set.sectors.size()) {
            set.jolietIndex = *info.jolietSector - iso::kFirstDescriptorSector;
        }
        if (set.sectors.empty()) {
            return std::nullopt;
        }
        return set;
    }

    std::optional<iso::BootInfo> UsableBootInfo() const
    {
        if (source_ == nullptr) {
            return std::nullopt;
        }
        std::optional<iso::BootInfo> info = iso::ReadBootInfo(Reader(), SourceSectors());
        if (!info || !info->catalogValid) {
            return std::nullopt;
        }
        return info;
    }

    // The root record of the descriptor in that sector, re-encoded from its
    // decoded fields; all zero and false when the sector cannot be read or
    // holds no such descriptor.
    bool CopyRootRecord(std::uint32_t sector, iso::DescriptorType type, std::uint8_t* record) const
    {
        std::memset(record, 0, iso::kRootRecordSize);
        if (source_ == nullptr) {
            return false;
        }
        const std::optional<iso::VolumeDescriptor> descriptor =
            iso::ReadVolumeDescriptor(Reader(), SourceSectors(), sector);
        if (!descriptor || descriptor->type != type) {
            return false;
        }
        return iso::EncodeDirectoryRecord(descriptor->rootRecord, iso::Bytes(record, iso::kRootRecordSize))
               == iso::kRootRecordSize;
    }

    IIsoSector* source_ = nullptr;
    CByteBuffer sectors_{256};
    std::optional<platform::FileTime> buildTime_;
    std::optional<iso::VolumeProperties> properties_;
};

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildDesc, tarvelin::IBuildDesc, NEW_DESCNEW, NEW_00_DESCNEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDesc, tarvelin::IIsoDesc, Desc1, Desc2)
