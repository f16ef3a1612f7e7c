// The component model: Init failures, singletons, and every registered
// factory reachable by its name and by its exported symbol.

#include "core/component.h"
#include "core/registry.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>

namespace tarvelin {
namespace {

// A component whose Init result and life are controlled by the test.
struct Counters {
    int constructed = 0;
    int destroyed = 0;
    int initCalls = 0;
    bool initResult = true;
};
Counters counters;

class CProbe final : public CComponent {
public:
    CProbe() { ++counters.constructed; }
    ~CProbe() override { ++counters.destroyed; }
    bool Init() override
    {
        ++counters.initCalls;
        return counters.initResult;
    }
};

TEST(ComponentModel, FailedInitDestroysTheHalfMadeObject)
{
    counters = Counters{};
    counters.initResult = false;
    EXPECT_EQ(NewComponent<CProbe>(), nullptr);
    EXPECT_EQ(counters.constructed, 1);
    EXPECT_EQ(counters.destroyed, 1); // nothing left allocated (LeakSanitizer agrees)
}

TEST(ComponentModel, SingletonRetriesInitUntilItSucceedsThenNeverAgain)
{
    counters = Counters{};
    counters.initResult = false;
    EXPECT_EQ(SingletonComponent<CProbe>(), nullptr);
    EXPECT_EQ(SingletonComponent<CProbe>(), nullptr);
    EXPECT_EQ(counters.initCalls, 2);

    counters.initResult = true;
    CProbe* first = SingletonComponent<CProbe>();
    ASSERT_NE(first, nullptr);
    counters.initResult = false; // no longer consulted
    EXPECT_EQ(SingletonComponent<CProbe>(), first);
    EXPECT_EQ(counters.initCalls, 3);
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
