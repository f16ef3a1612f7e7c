#pragma once

// What the path table, directory and data writers need of a tree, for both
// trees they walk: the source tree of a new image (CMacroList of
// SourceNodes) and the tree of an edited image (CIsoDirEdit of DirEntries).
// Each writer's algorithm is written once as a template over one of the two
// accessors below; the components are thin shells that pick the accessor.
//
// Also here, because every writer must agree on them: the identifiers the
// children of a directory get on disc, and the order in which the writers
// visit directories and files.
//
// Internal to engine/writer.

#include "iso/dir_entry.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "writer/macro_list.h"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::writer {

inline constexpr std::uint32_t kJolietMode = 2;

// The two trees of directories an image carries.
enum class TreeKind { Iso, Joliet };

// One extent of a file's data as a directory record names it. A file of
// 4 GiB or more needs several (multi-extent, ECMA-119 6.5.1); a file of a
// new image is refused before it gets there.
struct FilePiece {
    std::uint32_t extent = 0;
    std::uint32_t length = 0;
};

// The source tree of a new image.
class SourceTreeAccess {
public:
    using Node = MacroNode*;
    using Record = SourceNode;

    explicit SourceTreeAccess(IMacroList* tree) : tree_(tree) {}

    bool Valid() const { return tree_ != nullptr; }
    Node Root() const { return tree_->GetRoot(); }
    Node FirstChild(Node node) const { return tree_->GetFirstChild(node); }
    Node NextSibling(Node node) const { return tree_->GetNextSibling(node); }
    Node Parent(Node node) const { return tree_->FindParent(node); }
    void Get(Node node, Record& record) const { tree_->GetInfo(node, record); }
    void Set(Node node, const Record& record) const { tree_->SetInfo(node, record); }
    static bool IsDirectory(const Record& record) { return record.isDirectory; }
    static const std::string& Name(const Record& record) { return record.name; }
    static platform::FileTime Date(const Record& record) { return record.creationTime; }
    static std::uint32_t& DirExtent(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirExtent : record.jolietDirExtent;
    }
    static std::uint32_t& DirSize(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirSize : record.jolietDirSize;
    }
    static std::uint32_t& DirectoryNumber(Record& record) { return record.directoryNumber; }
    static std::uint64_t FileSize(const Record& record) { return record.fileSize; }
    static std::uint32_t& FileExtent(Record& record) { return record.fileExtent; }
    // Empty when the size cannot be recorded (4 GiB or more).
    static std::vector<FilePiece> FilePieces(const Record& record)
    {
        if (record.fileSize > UINT32_MAX) {
            return {};
        }
        return {{record.fileExtent, static_cast<std::uint32_t>(record.fileSize)}};
    }

private:
    IMacroList* tree_;
};

// The tree of an edited image.
class EditTreeAccess {
public:
    using Node = DirNode*;
    using Record = DirEntry;

    explicit EditTreeAccess(IIsoDirEdit* tree) : tree_(tree) {}

    bool Valid() const { return tree_ != nullptr; }
    Node Root() const { return tree_->GetRoot(); }
    Node FirstChild(Node node) const { return tree_->GetFirstChild(node); }
    Node NextSibling(Node node) const { return tree_->GetNextSibling(node); }
    Node Parent(Node node) const { return tree_->FindParent(node); }
    void Get(Node node, Record& record) const { tree_->GetInfo(node, record); }
    void Set(Node node, const Record& record) const { tree_->SetInfo(node, record); }
    static bool IsDirectory(const Record& record) { return record.isDirectory; }
    static const std::string& Name(const Record& record) { return record.name; }
    static platform::FileTime Date(const Record& record) { return record.date; }
    static std::uint32_t& DirExtent(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirExtent : record.jolietDirExtent;
    }
    static std::uint32_t& DirSize(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirSize : record.jolietDirSize;
    }
    static std::uint32_t& DirectoryNumber(Record& record) { return record.pathTableNumber; }
    static std::uint64_t FileSize(const Record& record) { return record.size; }
    static std::uint32_t& FileExtent(Record& record) { return record.extent; }
    // A file read from the image keeps the extents it has there; every other
    // file is one extent. Empty when the pieces do not add up to the size.
    static std::vector<FilePiece> FilePieces(const Record& record)
    {
        if (record.moreExtents.empty()) {
            if (record.size > UINT32_MAX) {
                return {};
            }
            return {{record.extent, static_cast<std::uint32_t>(record.size)}};
        }
        std::vector<FilePiece> pieces{{record.extent, record.extentLength}};
        std::uint64_t total = record.extentLength;
        for (const ExtentPiece& piece : record.moreExtents) {
            pieces.push_back({piece.extent, piece.length});
            total += piece.length;
        }
        if (total != record.size) {
            return {};
        }
        return pieces;
    }

private:
    IIsoDirEdit* tree_;
};

// The children of a directory, in tree order, with their records. The
// vectors keep their elements from one directory to the next, so reading a
// directory reuses the strings of the last one instead of allocating anew.
template <class Access>
struct Children {
    std::size_t count = 0;
    std::vector<typename Access::Node> nodes;
    std::vector<typename Access::Record> records;
    std::vector<std::string> names;
};

template <class Access>
void ReadChildren(const Access& access, typename Access::Node parent, Children<Access>& children)
{
    children.count = 0;
    for (auto node = access.FirstChild(parent); node != nullptr; node = access.NextSibling(node)) {
        if (children.count == children.nodes.size()) {
            children.nodes.emplace_back();
            children.records.emplace_back();
        }
        children.nodes[children.count] = node;
        access.Get(node, children.records[children.count]);
        ++children.count;
    }
}

// The on-disc identifiers of a directory's children, in the same order:
// ISO names upper-cased, Joliet names as UTF-16 big-endian bytes; cut to
// what a directory record holds and made unique within the directory. The
// path tables and the directories both take their names from here, so a
// directory is called the same in both.
template <class Access>
std::vector<std::string> ChildIdentifiers(Children<Access>& children, TreeKind kind)
{
    children.names.resize(children.count);
    for (std::size_t i = 0; i < children.count; ++i) {
        children.names[i] = Access::Name(children.records[i]);
    }
    if (kind == TreeKind::Iso) {
        return iso::UniqueIsoNames(children.names);
    }
    std::vector<std::u16string> joliet = iso::UniqueJolietNames(children.names);
    std::vector<std::string> identifiers;
    identifiers.reserve(joliet.size());
    for (const std::u16string& name : joliet) {
        identifiers.push_back(iso::JolietIdentifier(name));
    }
    return identifiers;
}

// The directories of a tree in pre-order (a directory, then each of its
// subdirectories' subtrees in tree order): the order of the directory
// extents. visit(node, children) gets each directory with its children read
// (it may change their records and write them back). Without recursion, so
// depth costs no stack.
template <class Access, class Visit>
bool ForEachDirectoryPreOrder(const Access& access, Visit&& visit)
{
    std::vector<typename Access::Node> pending{access.Root()};
    Children<Access> children;
    while (!pending.empty()) {
        const auto node = pending.back();
        pending.pop_back();
        ReadChildren(access, node, children);
        if (!visit(node, children)) {
            return false;
        }
        // Pushed last to first, so the first subdirectory comes out next.
        for (std::size_t i = children.count; i > 0; --i) {
            if (Access::IsDirectory(children.records[i - 1])) {
                pending.push_back(children.nodes[i - 1]);
            }
        }
    }
    return true;
}

// The files of a tree in data order: in every directory, first its files in
// tree order, then each subdirectory's files the same way. The data writers
// place and copy files in this order, so the output never seeks back.
template <class Access, class Visit>
bool ForEachFileInDataOrder(const Access& access, Visit&& visit)
{
    return ForEachDirectoryPreOrder(access, [&](typename Access::Node, Children<Access>& children) {
        for (std::size_t i = 0; i < children.count; ++i) {
            if (!Access::IsDirectory(children.records[i]) && !visit(children.nodes[i], children.records[i])) {
                return false;
            }
        }
        return true;
    });
}

} // namespace tarvelin::writer
