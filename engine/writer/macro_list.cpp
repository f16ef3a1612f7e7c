// The source tree of a new image, on the tree structure an opened image's
// tree uses (iso/dir_tree.h). Every node also knows the list it belongs to,
// so that the list refuses nodes of another.

#include "writer/macro_list.h"

#include "iso/dir_tree.h"

#include <cstdint>

namespace tarvelin {

namespace {

// A new image's entry as the writers see it. A file of 4 GiB or more can
// be recorded only in UDF: neither ISO 9660 tree lists it.
DirEntry EntryOf(const SourceNode& record)
{
    DirEntry entry;
    entry.isDirectory = record.isDirectory;
    entry.EntrySource = record.isDirectory || record.diskPath.empty() ? EntrySourceKind::None : EntrySourceKind::Disk;
    entry.name = record.name;
    entry.nameLength = record.nameLength;
    entry.extent = record.fileExtent;
    entry.size = record.fileSize;
    entry.extentLength = record.fileSize <= UINT32_MAX ? static_cast<std::uint32_t>(record.fileSize) : 0;
    entry.isoDirExtent = record.isoDirExtent;
    entry.jolietDirExtent = record.jolietDirExtent;
    entry.isoDirSize = record.isoDirSize;
    entry.jolietDirSize = record.jolietDirSize;
    entry.date = record.creationTime;
    entry.diskPath = record.diskPath;
    entry.pathTableNumber = record.directoryNumber;
    entry.posix = record.posix;
    entry.inIsoTree = record.fileSize <= UINT32_MAX;
    entry.inJolietTree = entry.inIsoTree;
    return entry;
}

SourceNode RecordOf(const DirEntry& entry)
{
    SourceNode record;
    record.isDirectory = entry.isDirectory;
    record.name = entry.name;
    record.nameLength = entry.nameLength;
    record.fileExtent = entry.extent;
    record.fileSize = entry.size;
    record.isoDirExtent = entry.isoDirExtent;
    record.jolietDirExtent = entry.jolietDirExtent;
    record.isoDirSize = entry.isoDirSize;
    record.jolietDirSize = entry.jolietDirSize;
    record.creationTime = entry.date;
    record.diskPath = entry.diskPath;
    record.directoryNumber = entry.pathTableNumber;
    record.posix = entry.posix;
    return record;
}

MacroNode* Macro(DirNode* node) { return static_cast<MacroNode*>(node); }

class CMacroList final : public IMacroList {
public:
    bool Init() override
    {
        store_.Clear();
        root_ = MacroNode{};
        SourceNode root;
        root.isDirectory = true;
        root.directoryNumber = 1;
        root_.entry = EntryOf(root);
        root_.owner = this;
        nodeCount_ = 0;
        return true;
    }

    bool Reserved() override { return true; }

    void DeleteNode(MacroNode* parent, MacroNode* node) override
    {
        if (!Owns(parent) || !Owns(node) || node->parent != parent || !UnlinkChild(parent, node)) {
            return;
        }
        nodeCount_ -= store_.FreeSubtree(node);
    }

    void GetInfo(MacroNode* node, SourceNode& record) override
    {
        if (node != nullptr) {
            record = RecordOf(node->entry);
        }
    }

    void SetInfo(MacroNode* node, const SourceNode& record) override
    {
        if (node != nullptr) {
            node->entry = EntryOf(record);
        }
    }

    MacroNode* AddChild(MacroNode* parent, const SourceNode& record) override
    {
        if (!Owns(parent)) {
            return nullptr;
        }
        MacroNode* node = store_.New();
        if (node == nullptr) {
            return nullptr;
        }
        node->entry = EntryOf(record);
        node->owner = this;
        AppendChild(parent, node);
        ++nodeCount_;
        return node;
    }

    MacroNode* GetNextSibling(MacroNode* node) override
    {
        return node != nullptr ? Macro(node->nextSibling) : nullptr;
    }
    MacroNode* GetFirstChild(MacroNode* node) override { return node != nullptr ? Macro(node->firstChild) : nullptr; }
    MacroNode* FindParent(MacroNode* node) override { return Owns(node) ? Macro(node->parent) : nullptr; }
    MacroNode* GetRoot() override { return &root_; }
    std::uint64_t GetNodeCount() override { return nodeCount_; }
    NameRules GetNameRules() override { return rules_; }
    void SetNameRules(const NameRules& rules) override { rules_ = rules; }

private:
    bool Owns(const MacroNode* node) const { return node != nullptr && node->owner == this; }

    NameRules rules_;
    NodeStore<MacroNode> store_;
    MacroNode root_;
    std::uint64_t nodeCount_ = 0;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CMacroList, tarvelin::IMacroList, NEW_MACROLIST, NEW_00_MACROLIST)
