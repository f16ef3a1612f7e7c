#pragma once

// An image's UDF tree as the command line and the desktop program read it:
// the image's sectors for the reader (udf.h), what a node shows, the tree
// as the extraction walks it, and whether the tree holds files that the
// ISO 9660 tree does not reach.

#include "platform/export.h"
#include "edit/iso_extract.h"
#include "iso/udf.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin {
class IIsoSector;
}

namespace tarvelin::iso::udf {

// The sectors of an image for the UDF reader, through an image component
// (any layout): of an image with an ISO 9660 volume, or of one of UDF alone
// (its recognition sequence at sector 16).
class TARVELIN_API ImageSectors {
public:
    enum class OpenResult { Ok, NotAnImage, Failed };

    ImageSectors() = default;
    ~ImageSectors();
    ImageSectors(const ImageSectors&) = delete;
    ImageSectors& operator=(const ImageSectors&) = delete;

    // Opens the image file; anything but Ok with *problem set. NotAnImage:
    // it holds neither an ISO 9660 volume nor one of UDF alone.
    OpenResult Open(const std::string& imagePath, std::string* problem);
    // Reads through an image component that is open already and stays its
    // owner's (an editing facade holds its file for itself, so a second
    // open of the file would fail). It must outlive this use or Close().
    void Use(IIsoSector& sectors);
    // Lets go of the image, so that another reader can open it.
    void Close();

    bool IsOpen() const { return static_cast<bool>(read_); }
    const SectorReader& Reader() const { return read_; }
    std::uint32_t SectorCount() const { return sectorCount_; }
    IIsoSector* Sectors() const { return sectors_; }
    // Whether the image holds a volume of UDF alone (no ISO 9660 one).
    bool UdfAlone() const;

private:
    IIsoSector* sectors_ = nullptr;
    bool ownsSectors_ = false;
    SectorReader read_;
    std::uint32_t sectorCount_ = 0;
};

// What the listing and the extraction show of a node; a symbolic link
// carries its target (with the mode of a link, nothing else recorded).
TARVELIN_API ItemInfo ItemInfoOf(const Node& node);

// Bytes of file data at or below a node.
TARVELIN_API std::uint64_t FileBytesBelow(const Volume& volume, std::int32_t node);

// The UDF tree as the extraction walks it: its handles are the volume's
// nodes (Handle), read through the image's sectors. Both must outlive it.
class TARVELIN_API VolumeTree final : public ExtractTree {
public:
    VolumeTree(const ImageSectors& sectors, const Volume& volume) : sectors_(sectors), volume_(volume) {}
    ExtractNode Handle(std::int32_t node) const { return &volume_.nodes[static_cast<std::size_t>(node)]; }

    bool IsRoot(ExtractNode node) override { return node == Handle(0); }
    ItemInfo Info(ExtractNode node) override { return ItemInfoOf(Of(node)); }
    void Children(ExtractNode node, std::vector<ExtractNode>& out) override;
    bool Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
              std::string* problem) override;

private:
    static const Node& Of(ExtractNode node) { return *static_cast<const Node*>(node); }

    const ImageSectors& sectors_;
    const Volume& volume_;
};

// Where a file's data begins and how long it is: (first sector, size).
using DataPlace = std::pair<std::uint32_t, std::uint64_t>;

// Whether the UDF tree holds a file whose data the ISO 9660 tree does not
// reach, given the places of the ISO 9660 tree's files. A bridge image
// records each file once and points both trees at it, so every UDF file
// with data has its place among them; an image whose files are in the UDF
// tree alone (a Windows installation image, whose ISO 9660 tree holds only
// a note to read it with UDF, or a file of 4 GiB or more) has some that do
// not. Empty files have no place and are not compared; data held inside a
// file entry is reached from no ISO 9660 record.
TARVELIN_API bool HoldsFilesBeyond(const Volume& volume, const std::set<DataPlace>& isoFiles);

// The places of the files of the ISO 9660 tree an editing facade has
// loaded, for HoldsFilesBeyond.
TARVELIN_API std::set<DataPlace> IsoFilePlaces(IIsoEdit& edit);

} // namespace tarvelin::iso::udf
