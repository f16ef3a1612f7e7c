#pragma once

// Adding files and folders from disk, for both trees that take them: the
// source tree of a new image (CIsoBuild) and the tree of an edited image
// (CIsoDirEdit). What may go in and how a folder is walked is decided here
// once; each tree only makes its own nodes.
//
// Internal to the engine.

#include "core/notice_list.h"
#include "platform/directory.h"

#include <cstdint>
#include <string>

namespace tarvelin::iso {

// A file's identity on disk: two paths with equal identities are one file.
struct DiskIdentity {
    std::uint64_t volumeId = 0;
    std::uint64_t fileId = 0;
    bool operator==(const DiskIdentity&) const = default;
};

inline DiskIdentity IdentityOf(const platform::FileInfo& info)
{
    return {info.volumeId, info.fileId};
}

// What a tree takes from disk.
struct DiskAddRules {
    // Files of 4 GiB or more are taken (a UDF file system records them);
    // otherwise they are refused, since an ISO 9660 file cannot be as long.
    bool largeFiles = false;
    // What the refusal of such a file adds, e.g. how it could be taken.
    std::string largeFileAdvice;
    // Links are recorded as links (Rock Ridge) rather than followed.
    bool linksAsLinks = false;
};

// Why a file (anything found on disk but a folder) cannot be added under
// the rules, as the end of "'path' is ...": a device, pipe, socket or
// broken link, which holds no data an image could hold, or a file too long.
// Empty when it can be added. lostData (when given) says whether leaving it
// out loses data the caller chose (the file too long).
std::string DiskFileRefusal(const platform::FileInfo& info, const DiskAddRules& rules, bool* lostData = nullptr);

// The tree a folder walk adds to. Nodes are the tree's own, passed through
// unseen.
class DiskTreeSink {
public:
    virtual ~DiskTreeSink() = default;
    // Whether the tree leaves a file out by a rule of its own (the image
    // being built); why says why, as the end of "'path' is ...".
    virtual bool Excludes(const std::string& path, const platform::FileInfo& info, std::string& why)
    {
        (void)path;
        (void)info;
        (void)why;
        return false;
    }
    // Adds a file (or, under linksAsLinks, a link described by itself)
    // below parent; null, with why, when it cannot.
    virtual void* AddFile(const std::string& path, const platform::FileInfo& info, void* parent,
                          std::string& why) = 0;
    // Adds a folder, without its contents, below parent; null, with why.
    virtual void* AddFolder(const std::string& path, const platform::FileInfo& info, void* parent,
                            std::string& why) = 0;
};

// Adds everything below the folder at path (described by info), which the
// tree already holds as top: in every folder its files in the order the
// file system lists them, then its subfolders, each complete before the
// next. Links to folders are followed unless linksAsLinks; a folder met
// again inside itself through a link is left out. Whatever is left out
// goes into notices: as an error when the image lacks data the caller
// chose (a file too long, a folder or entry that cannot be read, a node
// the tree could not make), as a warning when there was nothing an image
// could hold (pipes, sockets, devices, broken links, loops, what the tree
// excludes).
void AddFolderContents(const std::string& path, const platform::FileInfo& info, void* top, const DiskAddRules& rules,
                       DiskTreeSink& sink, NoticeList& notices);

} // namespace tarvelin::iso
