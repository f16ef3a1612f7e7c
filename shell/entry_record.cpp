#include "entry_record.h"

#include <cstdio>
#include <iterator>

#include <algorithm>

namespace tarvelin::shell {

EntryRecord* EntryRecord::Append(std::unique_ptr<EntryRecord> child)
{
    children.push_back(std::move(child));
    return children.back().get();
}

bool EntryRecord::Remove(const EntryRecord* child)
{
    const auto found = std::find_if(children.begin(), children.end(),
                                    [child](const std::unique_ptr<EntryRecord>& own) { return own.get() == child; });
    if (found == children.end()) {
        return false;
    }
    children.erase(found);
    return true;
}

void UnbindRecordTree(RecordNodeMap& map, const EntryRecord& record)
{
    // Iterative: an image's tree may be deep.
    std::vector<const EntryRecord*> pending{&record};
    while (!pending.empty()) {
        const EntryRecord* current = pending.back();
        pending.pop_back();
        map.erase(current);
        for (const auto& child : current->children) {
            pending.push_back(child.get());
        }
    }
}

EntryRecord* FindParentRecord(EntryRecord& root, const EntryRecord* record)
{
    std::vector<EntryRecord*> pending{&root};
    while (!pending.empty()) {
        EntryRecord* current = pending.back();
        pending.pop_back();
        for (auto it = current->children.rbegin(); it != current->children.rend(); ++it) {
            if (it->get() == record) {
                return current;
            }
            pending.push_back(it->get());
        }
    }
    return nullptr;
}

std::string SizeText(std::uint64_t bytes)
{
    if (bytes < 1024) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

} // namespace tarvelin::shell
