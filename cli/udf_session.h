#pragma once

// The UDF tree of an image for the reading commands (tarvelin-cli --tree
// udf): the image's sectors, the volume read from them, paths looked up in
// its tree and files read from it.

#include "core/iso_sector.h"
#include "iso/iso_edit.h"
#include "iso/udf.h"
#include "platform/file.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin::cli {

// Which tree the reading commands of this run show (tarvelin-cli --tree):
// by default the UDF tree of an image that carries one, as the systems and
// players that read such images do, else the ISO 9660 tree.
enum class TreeSource { Automatic, Iso, Udf };
void SetSessionTree(TreeSource tree);
TreeSource SessionTree();

// The sectors of an image for the UDF reader: through the image component
// when the image has an ISO 9660 volume (any layout), else, for an image of
// UDF alone, as plain 2048-byte sectors when it begins with the UDF volume
// recognition sequence.
class UdfImage {
public:
    UdfImage() = default;
    ~UdfImage();
    UdfImage(const UdfImage&) = delete;
    UdfImage& operator=(const UdfImage&) = delete;

    // The exit code; on failure the reason has been printed, unless quiet.
    int Open(const std::string& imagePath, bool quiet = false);
    // Lets go of the image, so that another session can open it.
    void Close();
    const iso::SectorReader& Reader() const { return read_; }
    std::uint32_t SectorCount() const { return sectorCount_; }
    // Null for an image of UDF alone.
    IIsoSector* Sectors() const { return sectors_.get(); }

private:
    ComponentPtr<IIsoSector> sectors_;
    platform::File plain_;
    iso::SectorReader read_;
    std::uint32_t sectorCount_ = 0;
};

class UdfSession {
public:
    UdfSession() = default;
    UdfSession(const UdfSession&) = delete;
    UdfSession& operator=(const UdfSession&) = delete;

    // Opens the image and reads its UDF tree; as ImageSession::Open, the
    // exit code, with the reason printed on failure and survivable damage
    // reported as a warning.
    int Open(const std::string& imagePath);
    // For the default tree choice: true when the image carries a UDF volume
    // that reads, which is then open. Nothing is printed when it carries
    // none (the ISO 9660 tree then says what is wrong with the image); a
    // UDF volume that cannot be read is reported as a warning.
    bool OpenIfPresent(const std::string& imagePath);

    const iso::udf::Volume& Volume() const { return volume_; }
    const iso::udf::Node& Node(std::int32_t index) const { return volume_.nodes[static_cast<std::size_t>(index)]; }
    // The node at a '/'-separated path, matched as ImageSession::Find does;
    // -1 with *problem set when nothing matches.
    std::int32_t Find(std::string_view path, std::string* problem) const;
    bool Read(const iso::udf::Node& node, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
              std::string* problem);

private:
    int ReadTree(const std::string& imagePath, bool fallBack);

    UdfImage image_;
    iso::udf::Volume volume_;
};

// Whether this run's reading command shows the UDF tree of the image, then
// open in `udf`: always with --tree udf (false with *status set when it
// cannot be read), never with --tree iso or joliet, and by default when the
// image carries a readable UDF volume.
bool OpenChosenUdfTree(UdfSession& udf, const std::string& imagePath, int* status);

// What the listing and the extraction show of a UDF node; a symbolic link
// carries its target (with the mode of a link, nothing else recorded).
ItemInfo UdfItemInfo(const iso::udf::Node& node);

// Damage met while reading a UDF tree, worded for a warning; empty when none.
std::string UdfDamageText(const iso::udf::LoadReport& report);

} // namespace tarvelin::cli
