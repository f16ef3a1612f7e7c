#pragma once

// Files and folders of an opened image written to disk, as the command line
// and the desktop program both do it.
//
// Names come from the image and are not trusted: one that could reach
// outside the destination ("..", a separator inside it, an empty name) is
// refused, and a folder of the destination that is a symbolic link is not
// followed. File data is streamed in bounded chunks into a temporary file
// beside the target (platform/atomic_output.h), which gets its name only
// once it is complete and flushed: a file whose data cannot be read or
// written in full, or an extraction that is killed, leaves nothing under the
// file's name. Stale temporaries of a killed extraction are removed from
// each folder that already existed when it is written into again.
//
// Where the image records POSIX facts (Rock Ridge), files and folders get
// their permission bits, except the set-user-ID and set-group-ID bits: an
// image is not trusted to hand out the rights of whoever extracts it. A
// folder gets its bits after everything below it is written, so a read-only
// folder can still be filled. A symbolic link is made as a link with the
// target the image gives (an absolute one too: it is only text in a link);
// nothing is ever written through it, and a link later in the extraction is
// no more followed than one that was there before. Links keep no date (it
// could only be set by following them).

#include "platform/export.h"
#include "core/notice_list.h"
#include "edit/iso_edit.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin {

enum class ExtractProblem {
    CannotCreate, // a file or folder could not be created
    Incomplete,   // a file's data could not be read or written in full
    UnsafeName,   // an entry whose name would reach outside the destination
    Date,         // the entry is there, its date could not be set
    Permissions,  // the entry is there, its permission bits could not be set
    Name,         // the entry is there, under the name this system could store
};

struct ExtractOptions {
    // Receives each failure, worded for the user (names made printable).
    std::function<void(ExtractProblem problem, std::string_view message)> report;
    // Bytes of file data written so far, after every chunk.
    std::function<void(std::uint64_t doneBytes)> progress;
};

struct ExtractTotals {
    std::uint64_t files = 0; // symbolic links included
    std::uint64_t folders = 0;
    std::uint64_t bytes = 0;
    std::uint64_t failures = 0; // entries not extracted (or extracted without their date or permissions)
};

// A tree to extract from, other than the ISO 9660 tree of an editing
// facade (the UDF tree of an image): nodes are the tree's own handles.
using ExtractNode = const void*;
class TARVELIN_API ExtractTree {
public:
    virtual ~ExtractTree() = default;
    virtual bool IsRoot(ExtractNode node) = 0;
    virtual ItemInfo Info(ExtractNode node) = 0;
    // The children of a folder, in the tree's order.
    virtual void Children(ExtractNode node, std::vector<ExtractNode>& out) = 0;
    // count bytes of a file from offset; false with *problem set when they
    // cannot be read.
    virtual bool Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
                      std::string* problem) = 0;
};

// The ISO 9660 tree of an editing facade; its handles are its DirNodes.
class TARVELIN_API IsoEditTree final : public ExtractTree {
public:
    explicit IsoEditTree(IIsoEdit& edit) : edit_(edit) {}
    bool IsRoot(ExtractNode node) override;
    ItemInfo Info(ExtractNode node) override;
    void Children(ExtractNode node, std::vector<ExtractNode>& out) override;
    bool Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
              std::string* problem) override;

private:
    static DirNode* Dir(ExtractNode node);
    IIsoEdit& edit_;
};

// Bytes of file data at or below a node (the root counts as a folder).
TARVELIN_API std::uint64_t FileBytesBelow(IIsoEdit& edit, DirNode* node);

// Extracts each node into destination (created with its parents when
// missing): a file as destination/name, a folder as destination/name with
// everything below it, the root as the destination itself. Keeps the dates
// of files and folders and, where the image records them, their permissions.
// A failure is reported and leaves no file behind; the other entries are
// extracted all the same.
TARVELIN_API ExtractTotals ExtractEntries(IIsoEdit& edit, const std::vector<DirNode*>& nodes,
                                          const std::string& destination, const ExtractOptions& options);

// The same over any tree.
TARVELIN_API ExtractTotals ExtractEntries(ExtractTree& tree, const std::vector<ExtractNode>& nodes,
                                          const std::string& destination, const ExtractOptions& options);

} // namespace tarvelin
