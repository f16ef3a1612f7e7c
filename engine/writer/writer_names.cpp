// The identifiers new entries get on disc, and the order of the records of
// a directory: one rule for the directories and the path tables, and for
// new images and edited ones.

#include "writer/writer_tree.h"

#include "core/notice_list.h"

#include <algorithm>

namespace tarvelin::writer {

std::vector<std::string> NewIdentifiers(TreeKind kind, const NameRules& rules,
                                        std::span<const iso::NewEntryName> names, std::span<const std::string> taken)
{
    if (kind == TreeKind::Iso) {
        const iso::IsoNameLimits limits = rules.isoLevel == 1 ? iso::IsoNameLimits::Level1()
                                          : rules.isoLevel == 4 ? iso::IsoNameLimits::Level4()
                                                                : iso::IsoNameLimits::Level2();
        return iso::UniqueIsoIdentifiers(names, taken, limits);
    }
    return iso::UniqueJolietIdentifiers(names, taken, rules.jolietLong);
}

bool ListedBefore(TreeKind kind, const std::string& a, const std::string& b)
{
    return (kind == TreeKind::Iso ? iso::CompareIsoIdentifiers(a, b) : iso::CompareJolietIdentifiers(a, b)) < 0;
}

std::vector<ListedChild> ListChildren(const TreeAccess& access, const Children& children, TreeKind kind)
{
    std::vector<ListedChild> listed;
    std::vector<std::size_t> fresh;
    std::vector<std::string> taken;
    for (std::size_t i = 0; i < children.Count(); ++i) {
        const DirEntry& entry = children.Entry(i);
        if (!TreeAccess::InTree(entry, kind)) {
            continue;
        }
        const KeptTreeRecords* kept = entry.renamed ? nullptr : KeptIn(entry, kind);
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
            const DirEntry& entry = children.Entry(fresh[k]);
            names[k] = {entry.NameToWrite(), entry.isDirectory};
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

std::optional<TreeKind> ShownNameTree(const DirEntry& entry, NameSource shown, bool rockRidge, bool joliet)
{
    const bool inJoliet = joliet && TreeAccess::InTree(entry, TreeKind::Joliet);
    if (shown == NameSource::Iso || (!inJoliet && !rockRidge)) {
        return TreeKind::Iso;
    }
    if (shown == NameSource::Joliet && inJoliet) {
        return TreeKind::Joliet;
    }
    if (rockRidge && entry.inIsoTree) {
        return std::nullopt;
    }
    return inJoliet ? std::optional(TreeKind::Joliet) : std::optional(TreeKind::Iso);
}

std::string FolderPath(const DirNode* folder)
{
    std::string path;
    for (; folder != nullptr && folder->parent != nullptr; folder = folder->parent) {
        path.insert(0, "/" + folder->entry.name);
    }
    return path.empty() ? "/" : path;
}

std::string NameWrittenOtherwise(const DirNode* folder, std::string_view given, std::string_view written)
{
    if (written.empty() || SameEntryName(given, written)) {
        return {};
    }
    std::string path = FolderPath(folder);
    if (path.back() != '/') {
        path += '/';
    }
    path += given;
    return "'" + PrintableName(path) + "' is named '" + PrintableName(written)
           + "' in the image: its names cannot hold the name as given";
}

} // namespace tarvelin::writer
