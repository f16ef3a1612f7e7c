// MetadataLayout: the path tables and directories of a build or a save,
// measured once and rendered once from one plan.

#include "writer/metadata_layout.h"

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

} // namespace tarvelin::writer
