#pragma once

// CMacroList: the tree of files and folders a new image is built from. Its
// nodes are the nodes of an opened image's tree (DirNode), so the writers
// walk both alike; SourceNode is the record callers read and write through
// the list, converted to and from the node's entry.

#include "core/component.h"
#include "core/registry.h"
#include "iso/dir_entry.h"
#include "iso/rock_ridge.h"
#include "platform/time.h"

#include <cstdint>
#include <string>

namespace tarvelin {

// One entry of a new image. The extents, sizes and the directory number are
// filled in by the writers during layout.
struct SourceNode {
    bool isDirectory = false;
    std::string name;                  // the entry's name in the image
    std::uint32_t fileExtent = 0;      // first sector of a file's data; 0 for empty files and folders
    std::uint32_t isoDirExtent = 0;    // this folder's directory in the ISO tree
    std::uint32_t jolietDirExtent = 0; // this folder's directory in the Joliet tree
    std::uint64_t fileSize = 0;        // bytes, as found when the file was added
    std::uint32_t isoDirSize = 0;      // bytes of the ISO directory (whole sectors)
    std::uint32_t jolietDirSize = 0;   // bytes of the Joliet directory (whole sectors)
    std::uint32_t nameLength = 0;      // bytes of name
    platform::FileTime creationTime = 0; // the record's date, UTC: RecordDateOf the source
    std::string diskPath;              // the source on disk
    std::uint32_t directoryNumber = 0; // the folder's number in the path tables; the root's is 1
    // Mode, owner, times and, for a symbolic link stored as a link, its
    // target: what Rock Ridge records of the source.
    iso::UnixAttributes posix;

    bool IsSymlink() const { return posix.known && iso::IsSymlinkMode(posix.mode); }
    bool operator==(const SourceNode&) const = default;
};

class IMacroList;

// A node of a CMacroList: a tree node that knows its list.
struct MacroNode : DirNode {
    const IMacroList* owner = nullptr;
};

class IMacroList : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Unlinks node from parent's children and frees it with everything below
    // it; nothing happens when node is not a child of parent.
    virtual void DeleteNode(MacroNode* parent, MacroNode* node) = 0;
    // Copies the node's record out; nothing for a null node.
    virtual void GetInfo(MacroNode* node, SourceNode& record) = 0;
    // Replaces the node's record; nothing for a null node.
    virtual void SetInfo(MacroNode* node, const SourceNode& record) = 0;
    // Appends a node holding a copy of record as parent's last child; null
    // for a parent that is not in this tree.
    virtual MacroNode* AddChild(MacroNode* parent, const SourceNode& record) = 0;
    virtual MacroNode* GetNextSibling(MacroNode* node) = 0;
    virtual MacroNode* GetFirstChild(MacroNode* node) = 0;
    // The node whose children hold node; null for the root and for nodes of
    // another tree. Constant time: layout asks it for every directory.
    virtual MacroNode* FindParent(MacroNode* node) = 0;
    virtual MacroNode* GetRoot() = 0;

    // Entries below the root, the root not counted.
    virtual std::uint64_t GetNodeCount() = 0;

    // How the writers name the entries and whether they write Rock Ridge.
    virtual NameRules GetNameRules() = 0;
    virtual void SetNameRules(const NameRules& rules) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IMacroList, NEW_MACROLIST, NEW_00_MACROLIST)
