// The volume descriptor set of new and of edited images, and what the
// descriptors of an image being edited say about it.
//
// Both components render through RenderDescriptorSet, so a new image and a
// saved edited image get the same primary, supplementary and terminator
// sectors; they differ only in the copyright file identifier and in the boot
// record, which only a save of an edited image carries.
//
// The whole set is rendered into a fixed scratch area first and appended to
// the component's buffer in one piece: a failed append leaves the buffer
// empty rather than holding a set without its terminator.

#include "writer/descriptor_writer.h"

#include "core/iso_sector.h"
#include "iso/iso9660.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelin {

namespace {

constexpr std::string_view kNewImageProductText = "Tarvelin";
constexpr std::string_view kEditedImageProductText = "Brammoril";
constexpr std::uint32_t kJolietMode = 2;

// Primary, boot record, supplementary, terminator.
constexpr std::size_t kMaxSetSectors = 4;

// Where one tree's path tables and root directory lie.
struct TreePlacement {
    std::uint32_t pathTableSize = 0;   // bytes of one table, unpadded
    std::uint32_t pathTableSector = 0; // first sector of the L table
    std::uint32_t rootExtent = 0;
    std::uint32_t rootSize = 0;
};

struct DescriptorSetRequest {
    bool joliet = false;
    std::uint32_t volumeSectors = 0;
    TreePlacement isoTree;
    TreePlacement jolietTree;
    std::optional<std::uint32_t> bootCatalogSector; // a boot record when set
    platform::FileTime buildTime = 0;
    std::string_view productText;
    std::string_view volumeLabel; // empty: the date label
};

// The label names the local wall-clock minute of the build; if the zone
// cannot be consulted, the UTC minute is still a truthful label.
std::string VolumeLabel(platform::FileTime buildTime)
{
    platform::CalendarTime calendar;
    if (!platform::FileTimeToLocal(buildTime, calendar) && !platform::FileTimeToUtc(buildTime, calendar)) {
        return {};
    }
    return iso::VolumeLabelText(calendar);
}

iso::VolumeDescriptor MakeDescriptor(iso::DescriptorType type, const DescriptorSetRequest& request,
                                     const TreePlacement& tree, std::string_view label)
{
    iso::VolumeDescriptor descriptor;
    descriptor.type = type;
    if (type == iso::DescriptorType::Supplementary) {
        iso::PutJolietTextField(descriptor.volumeIdentifier, label);
        iso::PutJolietTextField(descriptor.copyrightFileIdentifier, request.productText);
        std::copy(iso::kJolietLevel3Escape.begin(), iso::kJolietLevel3Escape.end(),
                  descriptor.escapeSequences.begin());
    } else {
        // NUL-padded, not space-padded: readers show the label as it is.
        iso::PutTextField(descriptor.volumeIdentifier, label);
        iso::PutTextField(descriptor.copyrightFileIdentifier, request.productText);
    }
    descriptor.volumeSpaceSize = request.volumeSectors;
    // Volume set size and sequence number stay 0 until multi-volume sets
    // are looked at.
    descriptor.volumeSetSize = 0;
    descriptor.volumeSequenceNumber = 0;
    descriptor.pathTableSize = tree.pathTableSize;
    descriptor.typeLPathTable = tree.pathTableSector;
    descriptor.optionalTypeLPathTable = tree.pathTableSector;
    // The M table starts on the sector after the padded L table.
    const std::uint32_t mTable = tree.pathTableSector + iso::SectorsFor(tree.pathTableSize);
    descriptor.typeMPathTable = mTable;
    descriptor.optionalTypeMPathTable = mTable;
    descriptor.rootRecord = iso::MakeRootRecord(tree.rootExtent, tree.rootSize, request.buildTime);
    // ECMA-119 8.4.31 fixes the version at 1; readers built on libisofs
    // and libarchive refuse a volume with any other value.
    descriptor.fileStructureVersion = 1;
    return descriptor;
}

// Renders the set and appends it to out in one piece; false, with out
// unchanged, when a sector cannot be encoded or the append fails.
bool RenderDescriptorSet(const DescriptorSetRequest& request, CByteBuffer& out)
{
    std::array<std::uint8_t, kMaxSetSectors * iso::kSectorSize> scratch{};
    std::size_t sectors = 0;
    const auto next = [&]() { return iso::Bytes(scratch).subspan(sectors * iso::kSectorSize, iso::kSectorSize); };

    const std::string label =
        request.volumeLabel.empty() ? VolumeLabel(request.buildTime) : std::string(request.volumeLabel);
    bool encoded = iso::EncodeVolumeDescriptor(
        MakeDescriptor(iso::DescriptorType::Primary, request, request.isoTree, label), next());
    ++sectors;
    if (encoded && request.bootCatalogSector) {
        encoded = iso::EncodeBootRecord(iso::MakeElToritoBootRecord(*request.bootCatalogSector), next());
        ++sectors;
    }
    if (encoded && request.joliet) {
        encoded = iso::EncodeVolumeDescriptor(
            MakeDescriptor(iso::DescriptorType::Supplementary, request, request.jolietTree, label), next());
        ++sectors;
    }
    if (encoded) {
        encoded = iso::EncodeTerminator(next());
        ++sectors;
    }
    return encoded && out.Append(scratch.data(), static_cast<std::uint32_t>(sectors * iso::kSectorSize));
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
        // A second Build replaces the set instead of appending another one.
        sectors_.Clear();
        DescriptorSetRequest request;
        request.joliet = mode == kJolietMode;
        request.volumeSectors = volumeSectors;
        request.isoTree = {ptSize, ptSector, rootExtent, rootSize};
        request.jolietTree = {jPtSize, jPtSector, jRootExtent, jRootSize};
        request.buildTime = BuildMoment(buildTime_);
        request.productText = kNewImageProductText;
        request.volumeLabel = volumeLabel_;
        RenderDescriptorSet(request, sectors_);
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

    std::int32_t GetJolietMode() override { return Scan().jolietSector ? 2 : 1; }

    void Build(std::uint32_t mode, std::uint32_t volumeSectors, std::uint32_t ptSize, std::uint32_t ptSector,
               std::uint32_t rootExtent, std::uint32_t rootSize, std::uint32_t jPtSize, std::uint32_t jPtSector,
               std::uint32_t jRootExtent, std::uint32_t jRootSize, std::uint32_t bootCatalogSector,
               std::uint32_t bootOption) override
    {
        sectors_.Clear();
        DescriptorSetRequest request;
        request.joliet = mode == kJolietMode;
        request.volumeSectors = volumeSectors;
        request.isoTree = {ptSize, ptSector, rootExtent, rootSize};
        request.jolietTree = {jPtSize, jPtSector, jRootExtent, jRootSize};
        request.buildTime = BuildMoment(buildTime_);
        request.productText = kEditedImageProductText;
        if (bootOption != kBootNone && (bootOption == kBootAlways || HasBootRecord())) {
            request.bootCatalogSector = bootCatalogSector;
        }
        RenderDescriptorSet(request, sectors_);
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
};

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildDesc, tarvelin::IBuildDesc, NEW_DESCNEW, NEW_00_DESCNEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDesc, tarvelin::IIsoDesc, Desc1, Desc2)
