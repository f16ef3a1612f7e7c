// The component model: a failed Init frees the half-made object, and every
// registered factory is reachable by its name and by its exported symbol.

#include "core/component.h"
#include "core/registry.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>

namespace tarvelin {
namespace {

// A component whose Init fails, counting its life.
int constructed = 0;
int destroyed = 0;
class CFailing final : public CComponent {
public:
    CFailing() { ++constructed; }
    ~CFailing() override { ++destroyed; }
    bool Init() override { return false; }
};

TEST(ComponentModel, FailedInitDestroysTheHalfMadeObject)
{
    EXPECT_EQ(NewComponent<CFailing>(), nullptr);
    EXPECT_EQ(constructed, 1);
    EXPECT_EQ(destroyed, 1); // nothing left allocated (LeakSanitizer agrees)
}

// Every factory is found by name and exported under it; it makes either a
// new object per call (owned by the caller) or always the same one. The two
// kinds come in pairs, one of each per component.
TEST(FactoryRegistry, EveryNameMakesItsComponentAndUnknownNamesNone)
{
    EXPECT_EQ(FindFactory("NoSuchComponent1"), nullptr);
    EXPECT_EQ(FindFactory(""), nullptr);
    const auto names = FactoryNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    std::size_t singletons = 0;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const ComponentFactory factory = FindFactory(name);
        ASSERT_NE(factory, nullptr);
        EXPECT_NE(::dlsym(RTLD_DEFAULT, name.c_str()), nullptr);
        CComponent* first = factory();
        CComponent* second = factory();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        if (first == second) {
            ++singletons;
        } else {
            first->Destroy();
            second->Destroy();
        }
    }
    EXPECT_EQ(singletons * 2, names.size());
}

} // namespace
} // namespace tarvelin
