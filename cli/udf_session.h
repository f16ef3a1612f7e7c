#pragma once

// The UDF tree of an image for the reading commands (tarvelin-cli --tree
// udf): the image's sectors, the volume read from them, paths looked up in
// its tree and files read from it.

#include "core/iso_sector.h"
#include "edit/iso_edit.h"
#include "iso/udf.h"
#include "edit/udf_image.h"
#include "image_session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelin::cli {

// Which tree the reading commands of this run show (tarvelin-cli --tree).
// By default the UDF tree when the image carries one that reads and either
// its ISO 9660 tree shows no Rock Ridge names (it has none, or this run
// shows Joliet's, as Windows does unless --names rr: cut to 64 characters)
// or the UDF tree holds files the ISO 9660 tree does not reach (a Windows
// installation image, a file of 4 GiB or more); else the ISO 9660 tree,
// whose Rock Ridge records keep the links, special files, modes and full
// names that UDF trees of bridge images often drop.
enum class TreeSource { Automatic, Iso, Udf };
void SetSessionTree(TreeSource tree);
TreeSource SessionTree();

// Opens the image's sectors for the UDF reader (edit/udf_image.h); the exit
// code, with the reason printed on failure unless quiet.
int OpenUdfImage(iso::udf::ImageSectors& image, const std::string& imagePath, bool quiet = false);

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
    // UDF volume that cannot be read is reported as a warning. OpenIfPresent
    // opens the file (an image of UDF alone): nullopt when it carries no UDF
    // volume, else the exit code of reading it (why it cannot be read is then
    // the error, no ISO 9660 tree standing in); UseIfPresent reads through
    // the sectors of an image open already, which must outlive this use or
    // Close().
    std::optional<int> OpenIfPresent(const std::string& imagePath);
    bool UseIfPresent(IIsoSector& sectors, const std::string& imagePath);
    void Close();

    const iso::udf::Volume& Volume() const { return volume_; }
    const iso::udf::Node& Node(std::int32_t index) const { return volume_.nodes[static_cast<std::size_t>(index)]; }
    // The node at a '/'-separated path, matched as ImageSession::Find does;
    // -1 with *problem set when nothing matches.
    std::int32_t Find(std::string_view path, std::string* problem) const;
    bool Read(const iso::udf::Node& node, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
              std::string* problem);
    // The image's sectors (those of the ISO 9660 session it reads through,
    // where it does); null when none are open.
    IIsoSector* Sectors() const { return image_.Sectors(); }
    // The tree as the extraction walks it.
    iso::udf::VolumeTree Tree() const { return iso::udf::VolumeTree(image_, volume_); }

private:
    int ReadTree(const std::string& imagePath, bool fallBack);
    bool ReadIfPresent(const std::string& imagePath);
    bool Carried();

    iso::udf::ImageSectors image_;
    iso::udf::Volume volume_;
};

// Opens the tree this run's reading command shows (TreeSource): true when
// it is the UDF tree, open in `udf` (by default reading through the
// sectors of `iso`, which must outlive it); false with the ISO 9660 tree
// open in `iso` when *status is kExitOk, else with the reason printed.
// --tree udf shows the UDF tree or fails; --tree iso or joliet never
// reads it.
bool OpenChosenTree(UdfSession& udf, ImageSession& iso, const std::string& imagePath, int* status);

} // namespace tarvelin::cli
