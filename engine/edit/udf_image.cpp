#include "edit/udf_image.h"

#include "core/iso_sector.h"
#include "iso/rock_ridge.h"

#include <algorithm>
#include <cstring>

namespace tarvelin::iso::udf {

ImageSectors::~ImageSectors() { Close(); }

void ImageSectors::Close()
{
    if (ownsSectors_) {
        DestroyComponent(sectors_);
    }
    sectors_ = nullptr;
    ownsSectors_ = false;
    read_ = nullptr;
    sectorCount_ = 0;
}

void ImageSectors::Use(IIsoSector& sectors)
{
    Close();
    sectors_ = &sectors;
    IIsoSector* held = &sectors;
    read_ = [held](std::uint32_t sector, std::uint8_t* buffer) { return held->ReadSector(sector, buffer); };
    sectorCount_ = sectors.GetSectorCount();
}

bool ImageSectors::UdfAlone() const { return sectors_ != nullptr && sectors_->HoldsUdfAlone(); }

ImageSectors::OpenResult ImageSectors::Open(const std::string& imagePath, std::string* problem)
{
    Close();
    IIsoSector* sectors = Sector1();
    if (sectors == nullptr) {
        *problem = "cannot create the image component (out of memory)";
        return OpenResult::Failed;
    }
    sectors->AcceptUdfAlone(true);
    if (!sectors->Open(imagePath.c_str())) {
        const bool noVolume = sectors->GetOpenError() == ImageOpenError::NoVolume;
        *problem = sectors->GetLastError();
        DestroyComponent(sectors);
        return noVolume ? OpenResult::NotAnImage : OpenResult::Failed;
    }
    Use(*sectors);
    ownsSectors_ = true;
    return OpenResult::Ok;
}

ItemInfo ItemInfoOf(const Node& node)
{
    ItemInfo info;
    info.name = node.name;
    info.size = node.size;
    info.isDirectory = node.isDirectory;
    info.date = node.date;
    if (node.isSymlink) {
        info.posix.known = true;
        info.posix.mode = kModeSymlink | 0777;
        info.posix.linkTarget = node.linkTarget;
    }
    return info;
}

std::uint64_t FileBytesBelow(const Volume& volume, std::int32_t node)
{
    std::uint64_t bytes = 0;
    std::vector<std::int32_t> pending{node};
    while (!pending.empty()) {
        const Node& at = volume.nodes[static_cast<std::size_t>(pending.back())];
        pending.pop_back();
        bytes += at.isDirectory ? 0 : at.size;
        pending.insert(pending.end(), at.children.begin(), at.children.end());
    }
    return bytes;
}

void VolumeTree::Children(ExtractNode node, std::vector<ExtractNode>& out)
{
    out.clear();
    for (const std::int32_t child : Of(node).children) {
        out.push_back(Handle(child));
    }
}

bool VolumeTree::Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
                      std::string* problem)
{
    return ReadFileData(sectors_.Reader(), sectors_.SectorCount(), volume_, Of(node), offset, buffer, count,
                        problem);
}

bool HoldsFilesBeyond(const Volume& volume, const std::set<DataPlace>& isoFiles)
{
    return std::any_of(volume.nodes.begin(), volume.nodes.end(), [&isoFiles](const Node& node) {
        return !node.isDirectory && !node.isSymlink && node.size > 0
            && !isoFiles.contains({node.isEmbedded ? 0 : node.firstSector, node.size});
    });
}

std::set<DataPlace> IsoFilePlaces(IIsoEdit& edit)
{
    std::set<DataPlace> places;
    std::vector<DirNode*> pending{edit.GetRoot()};
    while (!pending.empty()) {
        DirNode* folder = pending.back();
        pending.pop_back();
        for (DirNode* node = folder == nullptr ? nullptr : edit.GetFirstChild(folder); node != nullptr;
             node = edit.GetNextSibling(node)) {
            ItemInfo info;
            std::uint32_t extent = 0;
            if (!edit.GetItemInfo(node, info)) {
                continue;
            }
            if (info.isDirectory) {
                pending.push_back(node);
            } else if (edit.GetItemExtent(node, extent)) {
                places.insert({extent, info.size});
            }
        }
    }
    return places;
}

} // namespace tarvelin::iso::udf
