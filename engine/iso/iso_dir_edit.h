#pragma once

// CIsoDirEdit: the file tree of one opened image in memory, carrying the
// user's edits until they are saved.

#include "core/component.h"
#include "core/notice_list.h"
#include "core/registry.h"
#include "iso/dir_entry.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvelin {

class IIsoSector;

// The longest name an entry is given, in bytes: what a file system on disk
// takes back when the entry is extracted.
inline constexpr std::size_t kMaxEntryNameBytes = 255;

// True when a name can be one file or folder name inside a folder, in an
// image as on disk: not empty, not "." or "..", no path separator and no
// NUL. Names read from an image are checked before extraction, names given
// to an entry before an edit.
TARVELIN_API bool IsSafeEntryName(std::string_view name);

// What a load met and survived (the tree was read on regardless).
struct TreeLoadReport {
    std::uint32_t malformedRecords = 0; // records skipped because they did not decode
    std::uint32_t loopsRefused = 0;     // directories pointing back at an ancestor or read twice
    std::uint32_t extentsOutside = 0;   // directories or files lying beyond the image
    std::uint32_t tooDeep = 0;          // directories nested too deeply, listed without their contents
    bool endianMismatch = false;        // both-endian fields whose halves disagree
};
// What the load survived, as a person reads it; empty when nothing.
TARVELIN_API std::string DescribeTreeDamage(const TreeLoadReport& report);

class IIsoDirEdit : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual void SetSector(IIsoSector* sector) = 0;
    // Reads the tree of the image (Joliet names when the image has them).
    // bootSector: the boot image's first sector, 0 for none.
    virtual void Load(std::uint32_t bootSector) = 0;
    virtual DirNode* GetRoot() = 0;
    // Copies the node's entry; true also for a null node (nothing written).
    virtual bool GetInfo(DirNode* node, DirEntry& entry) = 0;
    virtual DirNode* GetFirstChild(DirNode* node) = 0;
    virtual DirNode* GetNextSibling(DirNode* node) = 0;
    // Unlinks the node from the parent's children and frees its subtree;
    // nothing happens when the node is not a child of that parent.
    virtual void DeleteNode(DirNode* parent, DirNode* node) = 0;
    // The node whose children hold the node; null for the root and for
    // nodes not in the tree.
    virtual DirNode* FindParent(DirNode* node) = 0;
    virtual void SetInfo(DirNode* node, const DirEntry& entry) = 0;
    // Null, with nothing changed, for a path that does not exist or is of
    // the other kind, a file of 4 GiB or more (sizes are recorded in 32
    // bits), a device, pipe, socket or broken link, and a parent that is
    // not a folder; GetLastError says which.
    virtual DirNode* AddFile(const char* path, DirNode* parent) = 0;
    virtual DirNode* AddDirectory(const char* path, DirNode* parent) = 0;
    // Files first in listing order, then each subfolder complete (the walk
    // of iso/disk_walk.h). Entries that cannot be added are left out,
    // each named in Notices.
    virtual DirNode* AddDirectoryTree(const char* path, DirNode* parent) = 0;
    virtual DirNode* NewDirectory(const char* name, DirNode* parent) = 0;
    virtual bool Rename(const char* name, DirNode* node) = 0;
    // The first sector behind the highest data extent read from the image.
    virtual std::uint32_t GetEndSector() = 0;
    virtual bool AddBootFile(const char* path, DirNode* parent) = 0;

    // 2 when the tree was read through the Joliet descriptor, else 0.
    virtual std::uint32_t GetJolietMode() = 0;
    virtual TreeLoadReport GetLoadReport() = 0;
    // Why the last failing operation failed.
    virtual const char* GetLastError() = 0;

    // Which names the next Load shows (Automatic unless set).
    virtual void SetNameSource(NameSource source) = 0;
    // Which names the last Load showed, Automatic resolved: with RockRidge
    // an entry shows its Rock Ridge name, else its Joliet one, else its
    // ISO 9660 one; with Joliet its Joliet name first, then the others so;
    // with Iso its ISO 9660 name alone.
    virtual NameSource GetShownNames() = 0;
    // How a save names new entries: Rock Ridge when the image has it, the
    // ISO 9660 level and Joliet length its names already use. Set by Load.
    virtual NameRules GetNameRules() = 0;
    // Whether the image carries Rock Ridge (an SP and an RRIP ER entry in
    // its root, or Rock Ridge entries in its records).
    virtual bool HasRockRidge() = 0;
    // Whether the next Load keeps what a save needs to write unchanged
    // entries back as they were read (each record's bytes and system use).
    // Without it a load for reading alone costs half as much; set by default.
    virtual void SetKeepRecords(bool keep) = 0;
    // What adds left out, gathered until the owner takes or clears them.
    virtual NoticeList& Notices() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoDirEdit, DirEdit1, DirEdit2)
