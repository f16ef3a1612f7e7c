#pragma once

// What the reading commands share: an image opened through the editing
// facade with its tree loaded, paths looked up in that tree, and the checks
// that keep names read from an image (untrusted input) from reaching outside
// the folder they are written into.

#include "edit/iso_edit.h"
#include "edit/iso_extract.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::cli {

// Which names the sessions of this run show (tarvelin-cli --names).
void SetSessionNameSource(NameSource source);

class ImageSession {
public:
    ImageSession() = default;
    ~ImageSession();
    ImageSession(const ImageSession&) = delete;
    ImageSession& operator=(const ImageSession&) = delete;

    // Opens the image and reads its tree for reading alone (no edits, no
    // saves). On failure the reason has been
    // printed and the result is the exit code (kExitNotAnImage when the file
    // holds no volume); kExitOk otherwise. Survivable damage met while
    // reading the tree is reported as a warning on standard error.
    int Open(const std::string& imagePath);
    // Open for a command that edits the image: one that can only be read
    // (a read-only file or medium) is refused here, with the reason, before
    // anything is done to it.
    int OpenForEditing(const std::string& imagePath);
    // As Open, but what it would print of the image's troubles (why it
    // cannot be opened or its tree read, damage met in the tree) is held
    // until ReportHeld: the caller may show the image's UDF tree instead.
    int OpenHeld(const std::string& imagePath);
    void ReportHeld();
    // Lets go of the image.
    void Close();
    // Whether the loaded tree shows Rock Ridge names: the image carries
    // them and this run asks for them (--names rr, or by default where the
    // platform does not prefer Joliet names).
    bool ShowsRockRidgeNames();
    // The image's sectors once it is open, even when its tree could not be
    // read; null when it could not be opened.
    IIsoSector* Sectors();

    IIsoEdit& Edit() { return *edit_; }
    DirNode* Root() { return edit_->GetRoot(); }
    const std::string& ImagePath() const { return imagePath_; }

    // The node at a '/'-separated path ("", "/" and "." name the root). Each
    // part matches a child's name exactly or, when no child matches
    // exactly, without regard to ASCII case. Null when nothing matches;
    // *problem then says why. A path that ends in "/" names only a folder.
    DirNode* Find(std::string_view path, std::string* problem);

    ItemInfo Info(DirNode* node);
    std::uint32_t Extent(DirNode* node);

private:
    int Load(const std::string& imagePath, bool forEditing);
    void Say(std::string message);

    ComponentPtr<IIsoEdit> edit_;
    std::string imagePath_;
    bool opened_ = false;
    bool holding_ = false;
    std::vector<std::string> held_;
};

// The path lookup both trees share (see ImageSession::Find): the node at a
// '/'-separated path below root, or none with *problem set. isFolder(node)
// tells a folder; eachChild(node, visit) calls visit(child, name) for each
// child until visit returns false.
template <typename Node, typename IsFolder, typename EachChild>
Node FindPath(Node root, Node none, std::string_view path, std::string* problem, IsFolder isFolder,
              EachChild eachChild)
{
    Node node = root;
    std::string walked;
    // "name/" names a folder, as a shell's path does: a file there is not meant.
    const bool folderMeant = !path.empty() && path.back() == '/';
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (!isFolder(node)) {
            *problem = "'" + walked + "' is a file, not a folder";
            return none;
        }
        Node exact = none;
        Node folded = none;
        std::size_t foldedCount = 0;
        eachChild(node, [&](Node child, std::string_view name) {
            if (name == part) {
                exact = child;
                return false;
            }
            if (SameEntryName(name, part)) {
                if (foldedCount == 0) {
                    folded = child;
                }
                ++foldedCount;
            }
            return true;
        });
        walked += "/" + std::string(part);
        // Without an exact match, names that differ only in case leave no
        // one entry to take: picking one would act on the wrong file.
        if (exact == none && foldedCount > 1) {
            *problem = "'" + walked + "' matches " + std::to_string(foldedCount)
                + " entries that differ only in case";
            return none;
        }
        node = exact != none ? exact : folded;
        if (node == none) {
            *problem = "'" + walked + "' not found";
            return none;
        }
    }
    if (folderMeant && !isFolder(node)) {
        *problem = "'" + walked + "' is a file, not a folder";
        return none;
    }
    return node;
}

// Warns of the raw sectors of the image that were read damaged
// (IIsoSector::GetDamagedSectors); nothing when there are none, or when
// sectors is null.
void WarnOfDamagedSectors(IIsoSector* sectors, const std::string& imagePath);

// Writes the session's edits back into its image: one save, with a progress
// bar on standard error when that is a terminal. Ctrl+C does not cut a save
// short (it ends complete or rolled back); it is answered once the save is
// over. kExitOk, or kExitFailure after printing why the save failed (the
// image is then as it was).
int SaveEdits(ImageSession& session);

// The folder at a path of the image, for the commands that put entries
// into one; null, with the reason printed, when there is no such folder.
DirNode* FindFolder(ImageSession& session, const std::string& path);

// "/a/b" for the path of a folder argument and a name inside it.
std::string JoinImagePath(const std::string& folder, const std::string& name);

// The engine's checks of names read from an image (edit/iso_extract.h).
using tarvelin::IsSafeEntryName;
using tarvelin::PrintableName;

// "YYYY-MM-DD HH:MM:SS" in local time; "-" padded to the same width when the
// entry has no date.
std::string FormatLocalDate(platform::FileTime date);

} // namespace tarvelin::cli
