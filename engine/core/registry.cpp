#include "core/registry.h"

#include <algorithm>
#include <map>

namespace tarvelin {

namespace {

// Built on first use, so registrations from any translation unit find it
// whatever the order of static initialisation.
std::map<std::string, ComponentFactory, std::less<>>& Registry()
{
    static std::map<std::string, ComponentFactory, std::less<>> registry;
    return registry;
}

} // namespace

FactoryRegistration::FactoryRegistration(const char* name, ComponentFactory factory)
{
    Registry().emplace(name, factory);
}

ComponentFactory FindFactory(std::string_view name)
{
    const auto& registry = Registry();
    auto found = registry.find(name);
    return found == registry.end() ? nullptr : found->second;
}

std::vector<std::string> FactoryNames()
{
    std::vector<std::string> names;
    for (const auto& [name, factory] : Registry()) {
        names.push_back(name);
    }
    return names;
}

} // namespace tarvelin
