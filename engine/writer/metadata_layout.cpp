// MetadataLayout: the path tables and directories of a build or a save,
// measured once and rendered once from one plan.

#include "writer/metadata_layout.h"

#include <algorithm>

namespace tarvelin::writer {

namespace {

constexpr const char* kPassesDisagree = "the layout passes disagree";

} // namespace

DirectoryPlace LayoutPlan::Find(const DirNode* node, TreeKind kind) const
{
    const auto found = places_.find(node);
    return found != places_.end() ? found->second[kind == TreeKind::Iso ? 0 : 1] : DirectoryPlace{};
}

void LayoutPlan::Set(const DirNode* node, TreeKind kind, DirectoryPlace place)
{
    places_[node][kind == TreeKind::Iso ? 0 : 1] = place;
}

void LayoutPlan::ReadFrom(const TreeAccess& access)
{
    places_.clear();
    ForEachDirectoryPreOrder(access, std::nullopt, [&](DirNode* node, const Children&) {
        DirEntry& entry = node->entry;
        for (const TreeKind kind : {TreeKind::Iso, TreeKind::Joliet}) {
            Set(node, kind, {TreeAccess::DirExtent(entry, kind), TreeAccess::DirSize(entry, kind)});
        }
        return true;
    });
}

void LayoutPlan::WriteTo(const TreeAccess& access) const
{
    ForEachDirectoryPreOrder(access, std::nullopt, [&](DirNode* node, const Children&) {
        DirEntry& entry = node->entry;
        for (const TreeKind kind : {TreeKind::Iso, TreeKind::Joliet}) {
            const DirectoryPlace place = Find(node, kind);
            TreeAccess::DirExtent(entry, kind) = place.extent;
            TreeAccess::DirSize(entry, kind) = place.size;
        }
        return true;
    });
}

bool MetadataLayout::Measure(std::uint32_t mode, const TreeAccess& access, std::uint32_t pathStart,
                             std::string& error)
{
    mode_ = mode;
    pathStart_ = pathStart;
    plan_ = LayoutPlan{};
    // The tables' sizes depend on the directories' names alone, not on
    // where the directories lie.
    if (!tables_.Build(mode, access, pathStart, plan_, 0, 0)) {
        error = tables_.Error();
        return false;
    }
    pathSectors_ = tables_.SectorCount();
    isoTableSize_ = tables_.IsoTableSize();
    jolietTableSize_ = tables_.JolietTableSize();
    if (!directories_.Build(mode, access, DirectoryStart(), plan_, false)) {
        error = directories_.Error();
        return false;
    }
    return true;
}

bool MetadataLayout::Render(const TreeAccess& access, std::string& error)
{
    const std::uint32_t measured = directories_.SectorCount();
    if (!directories_.Build(mode_, access, DirectoryStart(), plan_, true)) {
        error = directories_.Error();
        return false;
    }
    if (!tables_.Build(mode_, access, pathStart_, plan_, directories_.IsoRoot().extent,
                       directories_.JolietRoot().extent)) {
        error = tables_.Error();
        return false;
    }
    if (!directories_.Settled() || directories_.SectorCount() != measured || tables_.SectorCount() != pathSectors_
        || tables_.IsoTableSize() != isoTableSize_ || tables_.JolietTableSize() != jolietTableSize_) {
        error = kPassesDisagree;
        return false;
    }
    return true;
}

TreePlacement MetadataLayout::IsoPlacement() const
{
    return {tables_.IsoTableSize(), tables_.IsoStart(), directories_.IsoRoot().extent, directories_.IsoRoot().size};
}

TreePlacement MetadataLayout::JolietPlacement() const
{
    return {tables_.JolietTableSize(), tables_.JolietStart(), directories_.JolietRoot().extent,
            directories_.JolietRoot().size};
}

template <class Descriptors>
bool VolumeLayout::Measure(Descriptors& descriptors, const DescriptorSetPlan& sizing, bool udf,
                           const TreeAccess& access, std::string& error)
{
    // A partition's copy of the descriptors has no boot record: the
    // catalog's sector numbers count from the volume's start.
    if (copyOffset_ != 0) {
        DescriptorSetPlan copySizing = sizing;
        copySizing.bootOption = kBootNone;
        descriptors.Build(copySizing);
        copyDescriptorSectors_ = static_cast<std::uint32_t>(std::max(descriptors.GetSectorCount(), 0));
    }
    // The descriptor set is rendered once to learn its length: a boot
    // record makes it a sector longer, and everything else goes behind it.
    descriptors.Build(sizing);
    descriptorSectors_ = static_cast<std::uint32_t>(std::max(descriptors.GetSectorCount(), 0));
    if (descriptorSectors_ == 0 || (copyOffset_ != 0 && copyDescriptorSectors_ == 0)) {
        error = "the volume descriptors cannot be rendered";
        return false;
    }
    udf_ = udf;
    std::uint32_t pathStart = UdfStart();
    if (copyOffset_ != 0) {
        if (udf) {
            error = "a partition's copy of the metadata cannot be laid out beside a UDF file system";
            return false;
        }
        if (descriptorSectors_ > copyOffset_) {
            error = "the volume's descriptors would reach the copy of them that its first partition holds";
            return false;
        }
        pathStart = CopyDescriptorStart() + copyDescriptorSectors_;
    }
    if (metadataStart_ != 0 && copyOffset_ != 0) {
        error = "the folders and tables of an image with a partition's copy of them cannot be placed elsewhere";
        return false;
    }
    metadata_.SetShift(0);
    copy_.SetShift(copyOffset_);
    // The UDF bridge's size depends only on the tree's names and shape. In
    // front, its file structures lie between its volume structures and the
    // path tables; placed elsewhere, behind the directories, so that the
    // run ends in what a UDF reader knows (7-Zip takes sectors it does not
    // know between the last of them and the closing anchor for damage).
    fixedFront_ = pathStart;
    if (metadataStart_ != 0) {
        if (!metadata_.Measure(sizing.mode, access, metadataStart_, error)) {
            return false;
        }
        if (udf && !bridge_.Measure(access, pathStart, udfPlacement_, metadata_.End(), error)) {
            return false;
        }
        fixedFront_ = udf ? bridge_.PartitionStart() : pathStart;
        if (metadataStart_ < fixedFront_) {
            error = "the folders and tables cannot be placed at sector " + std::to_string(metadataStart_)
                + ", in front of the volume's structures' end";
            return false;
        }
        return true;
    }
    if (udf) {
        if (!bridge_.Measure(access, pathStart, udfPlacement_, 0, error)) {
            return false;
        }
        fixedFront_ = bridge_.PartitionStart();
        pathStart = bridge_.EndSector();
    }
    return metadata_.Measure(sizing.mode, access, pathStart, error)
        && (copyOffset_ == 0 || copy_.Measure(sizing.mode, access, metadata_.End(), error));
}

template <class Descriptors>
bool VolumeLayout::Render(Descriptors& descriptors, DescriptorSetPlan plan, const TreeAccess& access,
                          platform::FileTime udfTime, const UdfNames& udfNames, const MetadataSectors& out,
                          std::string& error)
{
    for (CByteBuffer* buffer : {&out.descriptors, &out.udfVolume, &out.udfClosing, &out.pathTables, &out.directories}) {
        buffer->Clear();
    }
    if (!metadata_.Render(access, error)) {
        return false;
    }
    copyDescriptors_.Clear();
    copyMetadata_.Clear();
    if (copyOffset_ != 0) {
        // The same set with every sector number counted from the partition.
        if (!copy_.Render(access, error)) {
            return false;
        }
        const auto shifted = [this](TreePlacement placement) {
            placement.pathTableSector -= copyOffset_;
            placement.rootExtent -= copyOffset_;
            return placement;
        };
        DescriptorSetPlan copyPlan = plan;
        copyPlan.bootOption = kBootNone;
        copyPlan.volumeSectors = copySectors_ != 0 ? copySectors_ : plan.volumeSectors - copyOffset_;
        copyPlan.iso = shifted(copy_.IsoPlacement());
        copyPlan.joliet = plan.mode == kJolietMode ? shifted(copy_.JolietPlacement()) : TreePlacement{};
        descriptors.Build(copyPlan);
        if (static_cast<std::uint32_t>(descriptors.GetSectorCount()) != copyDescriptorSectors_) {
            error = kPassesDisagree;
            return false;
        }
        // The path tables, then the directories right behind them.
        if (!descriptors.CopyTo(copyDescriptors_) || !copy_.CopyTo(copyMetadata_, copyMetadata_)) {
            error = "out of memory for the image's metadata";
            return false;
        }
    }
    plan.iso = metadata_.IsoPlacement();
    plan.joliet = plan.mode == kJolietMode ? metadata_.JolietPlacement() : TreePlacement{};
    descriptors.Build(plan);
    if (static_cast<std::uint32_t>(descriptors.GetSectorCount()) != descriptorSectors_) {
        error = kPassesDisagree;
        return false;
    }
    if (!descriptors.CopyTo(out.descriptors) || !metadata_.CopyTo(out.pathTables, out.directories)) {
        error = "out of memory for the image's metadata";
        return false;
    }
    if (udf_ && !bridge_.Render(plan.volumeSectors, udfTime, udfNames, out.udfVolume, out.udfClosing, error)) {
        return false;
    }
    const auto fills = [](const CByteBuffer& buffer, std::uint32_t sectors) {
        return buffer.GetSize() == std::uint64_t{sectors} * iso::kSectorSize;
    };
    if (!fills(out.descriptors, descriptorSectors_) || !fills(out.udfVolume, UdfSectors())
        || !fills(out.udfClosing, udf_ ? 1 : 0) || !fills(out.pathTables, PathTableSectors())
        || !fills(out.directories, DirectorySectors())) {
        error = "the metadata rendered does not fill the sectors planned for it";
        return false;
    }
    return true;
}

template bool VolumeLayout::Measure(IBuildDesc&, const DescriptorSetPlan&, bool, const TreeAccess&, std::string&);
template bool VolumeLayout::Measure(IIsoDesc&, const DescriptorSetPlan&, bool, const TreeAccess&, std::string&);
template bool VolumeLayout::Render(IBuildDesc&, DescriptorSetPlan, const TreeAccess&, platform::FileTime,
                                   const UdfNames&, const MetadataSectors&, std::string&);
template bool VolumeLayout::Render(IIsoDesc&, DescriptorSetPlan, const TreeAccess&, platform::FileTime,
                                   const UdfNames&, const MetadataSectors&, std::string&);

} // namespace tarvelin::writer
