// The identifiers new entries get on disc, and the order of the records of
// a directory: one rule for the directories and the path tables, and for
// new images and edited ones.

#include "writer/writer_tree.h"

namespace tarvelin::writer {

std::vector<std::string> NewIdentifiers(TreeKind kind, const NameRules& rules, std::span<const NewName> names,
                                        std::span<const std::string> taken)
{
    (void)rules;
    (void)taken;
    std::vector<std::string> plain;
    plain.reserve(names.size());
    for (const NewName& name : names) {
        plain.emplace_back(name.name);
    }
    if (kind == TreeKind::Iso) {
        return iso::UniqueIsoNames(plain);
    }
    std::vector<std::string> identifiers;
    for (const std::u16string& name : iso::UniqueJolietNames(plain)) {
        identifiers.push_back(iso::JolietIdentifier(name));
    }
    return identifiers;
}

bool ListedBefore(TreeKind kind, const std::string& a, const std::string& b)
{
    (void)kind;
    return a < b;
}

} // namespace tarvelin::writer
