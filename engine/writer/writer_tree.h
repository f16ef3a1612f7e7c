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
#include "writer/iso_build.h"
#include "writer/macro_list.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::writer {

// The writers' mode with the Joliet tree.
inline constexpr std::uint32_t kJolietMode = kBuildIsoAndJoliet;

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
    NameRules Rules() const { return tree_->GetNameRules(); }
    static bool IsDirectory(const Record& record) { return record.isDirectory; }
    static const std::string& Name(const Record& record) { return record.name; }
    static platform::FileTime Date(const Record& record) { return record.creationTime; }
    // Everything of a new image is new.
    static const KeptRecords* Kept(const Record&) { return nullptr; }
    static bool Renamed(const Record&) { return false; }
    // Joliet has no symbolic links: a link stored as a link is left out of
    // the Joliet tree (Rock Ridge readers see it in the primary tree).
    // A file of 4 GiB or more is in the UDF file system only.
    static bool InTree(const Record& record, TreeKind kind)
    {
        return record.fileSize <= UINT32_MAX && (kind == TreeKind::Iso || !record.IsSymlink());
    }
    static const iso::UnixAttributes& Posix(const Record& record) { return record.posix; }
    static std::uint32_t& DirExtent(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirExtent : record.jolietDirExtent;
    }
    static std::uint32_t& DirSize(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirSize : record.jolietDirSize;
    }
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
    NameRules Rules() const { return tree_->GetNameRules(); }
    static bool IsDirectory(const Record& record) { return record.isDirectory; }
    static const std::string& Name(const Record& record) { return record.name; }
    static platform::FileTime Date(const Record& record) { return record.date; }
    static const KeptRecords* Kept(const Record& record) { return record.kept.get(); }
    static bool Renamed(const Record& record) { return record.renamed; }
    // A new symbolic link is left out of the Joliet tree, as in a new
    // image; one the image's Joliet tree lists stays there.
    static bool InTree(const Record& record, TreeKind kind)
    {
        if (kind == TreeKind::Iso) {
            return record.inIsoTree;
        }
        const bool keptThere = record.kept != nullptr && record.kept->joliet.has_value();
        return record.inJolietTree && (keptThere || !record.IsSymlink());
    }
    static const iso::UnixAttributes& Posix(const Record& record) { return record.posix; }
    static std::uint32_t& DirExtent(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirExtent : record.jolietDirExtent;
    }
    static std::uint32_t& DirSize(Record& record, TreeKind kind)
    {
        return kind == TreeKind::Iso ? record.isoDirSize : record.jolietDirSize;
    }
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

// The record a tree of the image kept for an entry, when the save writes it
// back as it was: the entry was read from that tree and not renamed.
template <class Access>
const KeptTreeRecords* KeptIn(const typename Access::Record& record, TreeKind kind)
{
    const KeptRecords* kept = Access::Kept(record);
    if (kept == nullptr) {
        return nullptr;
    }
    const std::optional<KeptTreeRecords>& tree = kind == TreeKind::Iso ? kept->iso : kept->joliet;
    return tree ? &*tree : nullptr;
}

// One child of a directory as a tree lists it.
struct ListedChild {
    std::size_t index = 0;  // into Children
    std::string identifier; // on disc: ISO 9660 bytes, or Joliet UTF-16 big-endian bytes
};

// The identifiers new entries get in one directory of one tree, avoiding
// the identifiers kept entries already have there.
std::vector<std::string> NewIdentifiers(TreeKind kind, const NameRules& rules,
                                        std::span<const iso::NewEntryName> names, std::span<const std::string> taken);
// ECMA-119 9.3 order of the records of one directory.
bool ListedBefore(TreeKind kind, const std::string& a, const std::string& b);

// The children of a directory that a tree lists, with their identifiers, in
// the order the directory records them (ECMA-119 9.3). Kept entries keep
// their identifiers; new and renamed ones get identifiers that clash with
// none of them. The path tables and the directories both take their names
// and order from here, so a directory is called the same in both.
template <class Access>
std::vector<ListedChild> ListChildren(const Access& access, Children<Access>& children, TreeKind kind)
{
    std::vector<ListedChild> listed;
    std::vector<std::size_t> fresh;
    std::vector<std::string> taken;
    for (std::size_t i = 0; i < children.count; ++i) {
        const auto& record = children.records[i];
        if (!Access::InTree(record, kind)) {
            continue;
        }
        const KeptTreeRecords* kept = Access::Renamed(record) ? nullptr : KeptIn<Access>(record, kind);
        if (kept != nullptr) {
            listed.push_back({i, kept->record.identifier});
            taken.push_back(kept->record.identifier);
        } else {
            fresh.push_back(i);
        }
    }
    if (!fresh.empty()) {
        std::vector<iso::NewEntryName> names(fresh.size());
        for (std::size_t k = 0; k < fresh.size(); ++k) {
            const auto& record = children.records[fresh[k]];
            names[k] = {Access::Name(record), Access::IsDirectory(record)};
        }
        std::vector<std::string> identifiers = NewIdentifiers(kind, access.Rules(), names, taken);
        for (std::size_t k = 0; k < fresh.size(); ++k) {
            listed.push_back({fresh[k], std::move(identifiers[k])});
        }
    }
    std::stable_sort(listed.begin(), listed.end(), [kind](const ListedChild& a, const ListedChild& b) {
        return ListedBefore(kind, a.identifier, b.identifier);
    });
    return listed;
}

// The directories of a tree in pre-order (a directory, then each of its
// subdirectories' subtrees in tree order): the order of the directory
// extents. visit(node, children) gets each directory with its children read
// (it may change their records and write them back). Without recursion, so
// depth costs no stack.
// With a tree kind, only the directories that tree lists are visited.
template <class Access, class Visit>
bool ForEachDirectoryPreOrder(const Access& access, std::optional<TreeKind> kind, Visit&& visit)
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
            const auto& record = children.records[i - 1];
            if (Access::IsDirectory(record) && (!kind || Access::InTree(record, *kind))) {
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
    return ForEachDirectoryPreOrder(access, std::nullopt, [&](typename Access::Node, Children<Access>& children) {
        for (std::size_t i = 0; i < children.count; ++i) {
            if (!Access::IsDirectory(children.records[i]) && !visit(children.nodes[i], children.records[i])) {
                return false;
            }
        }
        return true;
    });
}

} // namespace tarvelin::writer
