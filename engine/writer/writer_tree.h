#pragma once

// What the path table, directory, data and UDF writers need of a tree.
// A new image's source tree (CMacroList) and an opened image's tree
// (CIsoDirEdit) are made of the same nodes, so each writer's algorithm is
// written once over TreeAccess; the components are thin shells that hand
// it their tree.
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
#include <set>
#include <span>
#include <string>
#include <string_view>
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

// The one accessor the writers walk a tree with. A new image's source tree
// (CMacroList) and an opened image's tree (CIsoDirEdit) hold the same nodes,
// so the writers read and update the entries in place: no record is copied
// out and back per visit.
class TreeAccess {
public:
    using Node = DirNode*;

    explicit TreeAccess(IIsoDirEdit* tree)
        : root_(tree != nullptr ? tree->GetRoot() : nullptr), rules_(tree != nullptr ? tree->GetNameRules() : NameRules{})
    {
    }
    explicit TreeAccess(IMacroList* tree)
        : root_(tree != nullptr ? tree->GetRoot() : nullptr), rules_(tree != nullptr ? tree->GetNameRules() : NameRules{})
    {
    }

    bool Valid() const { return root_ != nullptr; }
    DirNode* Root() const { return root_; }
    const NameRules& Rules() const { return rules_; }
    static DirNode* FirstChild(const DirNode* node) { return node->firstChild; }
    static DirNode* NextSibling(const DirNode* node) { return node->nextSibling; }
    static DirNode* Parent(const DirNode* node) { return node->parent; }

    // Whether a tree of the image lists the entry. A new symbolic link is
    // left out of the Joliet tree (Joliet has no links; Rock Ridge readers
    // see it in the primary tree); one the image's Joliet tree lists stays
    // there. A new image's files of 4 GiB or more are in neither tree
    // (only in UDF): its tree marks them so.
    static bool InTree(const DirEntry& entry, TreeKind kind)
    {
        if (kind == TreeKind::Iso) {
            return entry.inIsoTree;
        }
        const bool keptThere = entry.kept != nullptr && entry.kept->joliet.has_value();
        return entry.inJolietTree && (keptThere || !entry.IsSymlink());
    }
    static std::uint32_t& DirExtent(DirEntry& entry, TreeKind kind)
    {
        return kind == TreeKind::Iso ? entry.isoDirExtent : entry.jolietDirExtent;
    }
    static std::uint32_t& DirSize(DirEntry& entry, TreeKind kind)
    {
        return kind == TreeKind::Iso ? entry.isoDirSize : entry.jolietDirSize;
    }
    // A file read from the image keeps the extents it has there; every other
    // file is one extent. Empty when the size cannot be recorded (4 GiB or
    // more in one extent) or the pieces do not add up to the size.
    static std::vector<FilePiece> FilePieces(const DirEntry& entry)
    {
        if (entry.moreExtents.empty()) {
            if (entry.size > UINT32_MAX) {
                return {};
            }
            return {{entry.extent, static_cast<std::uint32_t>(entry.size)}};
        }
        std::vector<FilePiece> pieces{{entry.extent, entry.extentLength}};
        std::uint64_t total = entry.extentLength;
        for (const ExtentPiece& piece : entry.moreExtents) {
            pieces.push_back({piece.extent, piece.length});
            total += piece.length;
        }
        if (total != entry.size) {
            return {};
        }
        return pieces;
    }

private:
    DirNode* root_;
    NameRules rules_;
};

// The name an entry gets in a folder whose earlier entries took the names in
// taken (it is added there): its own or, when a sibling has that already (two
// sources of one name), the first of name~1, name~2, ... still free.
inline std::string TakeSiblingName(const std::string& name, std::set<std::string>& taken)
{
    std::string given = name;
    for (unsigned n = 1; !taken.insert(given).second; ++n) {
        given = name + "~" + std::to_string(n);
    }
    return given;
}

// The children of a directory, in tree order.
struct Children {
    std::vector<DirNode*> nodes;
    std::size_t Count() const { return nodes.size(); }
    DirEntry& Entry(std::size_t index) const { return nodes[index]->entry; }
};

inline void ReadChildren(DirNode* parent, Children& children)
{
    children.nodes.clear();
    for (DirNode* node = parent->firstChild; node != nullptr; node = node->nextSibling) {
        children.nodes.push_back(node);
    }
}

// The record a tree of the image kept for an entry, when the save writes it
// back as it was: the entry was read from that tree and not renamed.
inline const KeptTreeRecords* KeptIn(const DirEntry& entry, TreeKind kind)
{
    if (entry.kept == nullptr) {
        return nullptr;
    }
    const std::optional<KeptTreeRecords>& tree = kind == TreeKind::Iso ? entry.kept->iso : entry.kept->joliet;
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
std::vector<ListedChild> ListChildren(const TreeAccess& access, const Children& children, TreeKind kind);

// The Rock Ridge names of a directory's entries, in the order the folder
// holds them: a name an earlier sibling already has ends in ~1, ~2, ... as
// in the UDF tree, so that each stays reachable. A record kept as it was
// read keeps its name, which is taken first: the tree may show another
// (its ISO 9660 or Joliet name), and a new entry given the kept name would
// hide the kept one from Rock Ridge readers.
std::vector<std::string> UniqueRockNames(const Children& children);

// The directories of a tree in pre-order (a directory, then each of its
// subdirectories' subtrees in tree order): the order of the directory
// extents. visit(node, children) gets each directory with its children read
// (it may change their entries). Without recursion, so
// depth costs no stack.
// With a tree kind, only the directories that tree lists are visited.
template <class Visit>
bool ForEachDirectoryPreOrder(const TreeAccess& access, std::optional<TreeKind> kind, Visit&& visit)
{
    std::vector<DirNode*> pending{access.Root()};
    Children children;
    while (!pending.empty()) {
        DirNode* const node = pending.back();
        pending.pop_back();
        ReadChildren(node, children);
        if (!visit(node, children)) {
            return false;
        }
        // Pushed last to first, so the first subdirectory comes out next.
        for (std::size_t i = children.Count(); i > 0; --i) {
            const DirEntry& entry = children.Entry(i - 1);
            if (entry.isDirectory && (!kind || TreeAccess::InTree(entry, *kind))) {
                pending.push_back(children.nodes[i - 1]);
            }
        }
    }
    return true;
}

// The files of a tree in data order: in every directory, first its files in
// tree order, then each subdirectory's files the same way. The data writers
// place and copy files in this order, so the output never seeks back.
template <class Visit>
bool ForEachFileInDataOrder(const TreeAccess& access, Visit&& visit)
{
    return ForEachDirectoryPreOrder(access, std::nullopt, [&](DirNode*, const Children& children) {
        for (std::size_t i = 0; i < children.Count(); ++i) {
            if (!children.Entry(i).isDirectory && !visit(children.nodes[i], children.Entry(i))) {
                return false;
            }
        }
        return true;
    });
}

// The tree a fresh open of an image takes an entry's name from, as
// IIsoDirEdit::GetShownNames orders them (shown Automatic: Rock Ridge, then
// Joliet, then ISO 9660); none where it shows the entry's Rock Ridge name,
// which is written as given.
std::optional<TreeKind> ShownNameTree(const DirEntry& entry, NameSource shown, bool rockRidge, bool joliet);

// The path in the image of a folder of the tree, "/" for the root.
std::string FolderPath(const DirNode* folder);

// What a person is told of an entry of folder whose name as given the image
// holds as written (converted to the image's names, cut, or made unique):
// nothing when the two differ in ASCII case alone, which finding an entry
// overlooks.
std::string NameWrittenOtherwise(const DirNode* folder, std::string_view given, std::string_view written);

// Every entry a write gives a new record (new, renamed, or in a tree that
// did not list it) whose name a fresh open of the image shows from an ISO
// 9660 or Joliet identifier: visit(folder, entry, written) with that
// identifier decoded, empty when it cannot be. Folders come before their
// entries, so visit may change an entry's name once its identifiers are
// listed; the identifiers come from NameToWrite.
template <class Visit>
void ForEachShownIdentifier(const TreeAccess& access, NameSource shown, bool joliet, Visit&& visit)
{
    const bool rockRidge = access.Rules().rockRidge;
    ForEachDirectoryPreOrder(access, std::nullopt, [&](DirNode* folder, const Children& children) {
        for (const TreeKind kind : {TreeKind::Iso, TreeKind::Joliet}) {
            if (kind == TreeKind::Joliet && !joliet) {
                continue;
            }
            const auto writtenAnew = [kind](const DirEntry& entry) {
                return entry.renamed || KeptIn(entry, kind) == nullptr;
            };
            // A folder whose records are all kept has no new names.
            if (std::none_of(children.nodes.begin(), children.nodes.end(),
                             [&](const DirNode* node) { return writtenAnew(node->entry); })) {
                continue;
            }
            for (const ListedChild& listed : ListChildren(access, children, kind)) {
                DirEntry& entry = children.Entry(listed.index);
                if (writtenAnew(entry) && ShownNameTree(entry, shown, rockRidge, joliet) == kind) {
                    visit(folder, entry,
                          kind == TreeKind::Iso ? iso::DecodeIsoIdentifier(listed.identifier)
                                                : iso::DecodeJolietIdentifier(listed.identifier));
                }
            }
        }
        return true;
    });
}

} // namespace tarvelin::writer
