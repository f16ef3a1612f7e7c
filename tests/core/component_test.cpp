// The component model: factory forms, Init semantics and ownership.

#include "core/component.h"
#include "core/registry.h"

#include <gtest/gtest.h>

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

class IProbe : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual int Value() = 0;
};

class CProbe final : public IProbe {
public:
    CProbe() { ++counters.constructed; }
    ~CProbe() override { ++counters.destroyed; }
    bool Init() override
    {
        ++counters.initCalls;
        value_ = 42;
        return counters.initResult;
    }
    bool Reserved() override { return true; }
    int Value() override { return value_; }

private:
    int value_ = 0;
};

// A second kind, so each kind's singleton is its own object.
class CSingletonProbe final : public IProbe {
public:
    bool Init() override
    {
        ++counters.initCalls;
        return counters.initResult;
    }
    bool Reserved() override { return true; }
    int Value() override { return 7; }
};

class ComponentModel : public ::testing::Test {
protected:
    void SetUp() override { counters = Counters{}; }
};

TEST_F(ComponentModel, NewInstanceIsInitialisedAndOwnedByTheCaller)
{
    IProbe* first = NewComponent<CProbe>();
    IProbe* second = NewComponent<CProbe>();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->Value(), 42);
    EXPECT_EQ(counters.initCalls, 2);

    DestroyComponent(first);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(counters.destroyed, 1);
    DestroyComponent(second);
    EXPECT_EQ(counters.destroyed, 2);
}

TEST_F(ComponentModel, FailedInitDestroysTheHalfMadeObject)
{
    counters.initResult = false;
    EXPECT_EQ(NewComponent<CProbe>(), nullptr);
    EXPECT_EQ(counters.constructed, 1);
    EXPECT_EQ(counters.destroyed, 1); // nothing left allocated (LeakSanitizer agrees)
}

TEST_F(ComponentModel, DestroyOfNullIsANoOp)
{
    IProbe* none = nullptr;
    DestroyComponent(none);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(counters.destroyed, 0);
}

TEST_F(ComponentModel, SingletonRetriesInitUntilItSucceedsThenNeverAgain)
{
    counters.initResult = false;
    EXPECT_EQ(SingletonComponent<CSingletonProbe>(), nullptr);
    EXPECT_EQ(SingletonComponent<CSingletonProbe>(), nullptr);
    EXPECT_EQ(counters.initCalls, 2);

    counters.initResult = true;
    IProbe* first = SingletonComponent<CSingletonProbe>();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(counters.initCalls, 3);

    counters.initResult = false; // no longer consulted
    EXPECT_EQ(SingletonComponent<CSingletonProbe>(), first);
    EXPECT_EQ(counters.initCalls, 3);
}

TEST(FactoryRegistry, UnknownNameHasNoFactory)
{
    EXPECT_EQ(FindFactory("NoSuchComponent1"), nullptr);
    EXPECT_EQ(FindFactory(""), nullptr);
}

TEST(FactoryRegistry, NamesAreSortedAndEachFindsItsFactory)
{
    const auto names = FactoryNames();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const auto& name : names) {
        EXPECT_NE(FindFactory(name), nullptr) << name;
    }
}

} // namespace
} // namespace tarvelin
