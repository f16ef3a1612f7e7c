// The identifiers new entries get on disc, and the order of the records of
// a directory: one rule for the directories and the path tables, and for
// new images and edited ones.

#include "writer/writer_tree.h"

namespace tarvelin::writer {

std::vector<std::string> NewIdentifiers(TreeKind kind, const NameRules& rules,
                                        std::span<const iso::NewEntryName> names, std::span<const std::string> taken)
{
    if (kind == TreeKind::Iso) {
        const iso::IsoNameLimits limits =
            rules.isoLevel == 1 ? iso::IsoNameLimits::Level1() : iso::IsoNameLimits::Level2();
        return iso::UniqueIsoIdentifiers(names, taken, limits);
    }
    return iso::UniqueJolietIdentifiers(names, taken, rules.jolietLong);
}

bool ListedBefore(TreeKind kind, const std::string& a, const std::string& b)
{
    return (kind == TreeKind::Iso ? iso::CompareIsoIdentifiers(a, b) : iso::CompareJolietIdentifiers(a, b)) < 0;
}

} // namespace tarvelin::writer
