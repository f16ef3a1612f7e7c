#pragma once

// What the reading commands share: an image opened through the editing
// facade with its tree loaded, paths looked up in that tree, and the checks
// that keep names read from an image (untrusted input) from reaching outside
// the folder they are written into.

#include "iso/iso_edit.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin::cli {

class ImageSession {
public:
    ImageSession() = default;
    ~ImageSession();
    ImageSession(const ImageSession&) = delete;
    ImageSession& operator=(const ImageSession&) = delete;

    // Opens the image and reads its tree. On failure the reason has been
    // printed and the result is the exit code (kExitNotAnImage when the file
    // holds no volume); kExitOk otherwise. Survivable damage met while
    // reading the tree is reported as a warning on standard error.
    int Open(const std::string& imagePath);

    IIsoEdit& Edit() { return *edit_; }
    DirNode* Root() { return edit_->GetRoot(); }
    const std::string& ImagePath() const { return imagePath_; }

    // The node at a '/'-separated path ("", "/" and "." name the root). Each
    // part matches a child's name exactly or, when no child matches
    // exactly, without regard to ASCII case. Null when nothing matches;
    // *problem then says why.
    DirNode* Find(std::string_view path, std::string* problem);

    ItemInfo Info(DirNode* node);
    std::uint32_t Extent(DirNode* node);

private:
    IIsoEdit* edit_ = nullptr;
    std::string imagePath_;
};

// True when a name read from the image can be used as one file or folder
// name inside a destination folder: not empty, not "." or "..", no path
// separator and no NUL.
bool IsSafeEntryName(std::string_view name);

// The name as it can be shown on a terminal: control characters (which could
// move the cursor or start an escape sequence) become '?'.
std::string PrintableName(std::string_view name);

// "YYYY-MM-DD HH:MM:SS" in local time; "-" padded to the same width when the
// entry has no date.
std::string FormatLocalDate(platform::FileTime date);

} // namespace tarvelin::cli
