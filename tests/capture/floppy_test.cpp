#include "capture/floppy.h"
#include "capture_fixtures.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>

using namespace tarvelin;
using platform::PromptAnswer;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kReadError = "Read error, maybe the floppy disk has bad sector. ";
const std::string kIgnoreAll = "Do you want to ignore all bad sectors? ";

// Sector 100 fails on its first two reads, sector 200 always.
std::atomic<int> sector100Failures{0};
bool FailingSectors(std::uint32_t index)
{
    if (index == 100) {
        return sector100Failures.fetch_sub(1) > 0;
    }
    return index == 200;
}

class FloppyTest : public test::CaptureTest {
protected:
    void SetUp() override
    {
        CaptureTest::SetUp();
        diskette_ = test::RandomBytes(1474560, 144);
        test::WriteWholeFile(dir_ / "diskette.img", diskette_);
        maker_ = Make1();
        ASSERT_NE(maker_, nullptr);
        maker_->SetDevice((dir_ / "diskette.img").c_str());
        sector100Failures = 2;
    }
    void TearDown() override
    {
        DestroyComponent(maker_);
        SetFloppyReadFault(nullptr);
        CaptureTest::TearDown();
    }
    void Copy()
    {
        ASSERT_TRUE(maker_->Start(target().c_str(), &progress_, &test::ProgressRecorder::Callback));
        progress_.Wait();
        unread_ = maker_->GetUnreadSectorCount();
        DestroyComponent(maker_);
    }
    std::string target() const { return dir_ / "boot.image"; }

    test::TempDir dir_;
    Bytes diskette_;
    IBootImageMaker* maker_ = nullptr;
    test::ProgressRecorder progress_;
    std::uint32_t unread_ = 0;
};

TEST_F(FloppyTest, GeometryOfA144MBDiskette)
{
    IFloppy* floppy = Floppy1();
    ASSERT_NE(floppy, nullptr);
    std::uint32_t size = 0;
    EXPECT_EQ(floppy->GetGeometry(&size), 0u); // not open
    floppy->SetDevice((dir_ / "diskette.img").c_str());
    ASSERT_TRUE(floppy->Open());
    EXPECT_EQ(floppy->GetGeometry(&size), 2880u);
    EXPECT_EQ(size, 512u);
    Bytes sector(512);
    ASSERT_TRUE(floppy->ReadSector(2879, sector.data()));
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), diskette_.end() - 512));
    EXPECT_FALSE(floppy->ReadSector(2880, sector.data()));
    floppy->Close();
    DestroyComponent(floppy);
}

TEST_F(FloppyTest, DisketteCopiesByteExactWith2880Reports)
{
    Copy();
    EXPECT_EQ(test::ReadWholeFile(target()), diskette_);
    std::vector<std::int32_t> expected;
    for (std::uint32_t i = 0; i < 2880; ++i) {
        expected.push_back(static_cast<std::int32_t>(i * 100 / 2880));
    }
    expected.push_back(-2);
    EXPECT_EQ(progress_.Values(), expected);
    EXPECT_TRUE(prompt_.Asked().empty());
}

TEST_F(FloppyTest, MissingDriveIsRefusedAndLeavesTheTargetAsItWas)
{
    maker_->SetDevice((dir_ / "no-such-drive").c_str());
    EXPECT_FALSE(maker_->Start(target().c_str(), &progress_, &test::ProgressRecorder::Callback));
    ASSERT_EQ(prompt_.Asked().size(), 1u);
    EXPECT_EQ(prompt_.Asked()[0].text, "Can not open floppy! Please make sure the floppy disk has been inserted. ");
    EXPECT_EQ(prompt_.Asked()[0].caption, "Make DAV");
    EXPECT_FALSE(platform::PathExists(target()));
    test::WriteWholeFile(target(), std::string("kept"));
    EXPECT_FALSE(maker_->Start(target().c_str(), &progress_, &test::ProgressRecorder::Callback));
    EXPECT_EQ(test::ReadWholeFile(target()), Bytes({'k', 'e', 'p', 't'}));
    EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
    EXPECT_FALSE(maker_->Start((dir_ / "missing/boot.image").c_str(), &progress_,
                               &test::ProgressRecorder::Callback));
    EXPECT_EQ(prompt_.Asked().back().text, "Can not create target boot image file! ");
}

TEST_F(FloppyTest, RetryRereadsAndIgnoreZeroFills)
{
    SetFloppyReadFault(&FailingSectors);
    prompt_.Answer(PromptAnswer::Retry);  // sector 100, second failure
    prompt_.Answer(PromptAnswer::Retry);  // sector 100 reads now
    prompt_.Answer(PromptAnswer::Ignore); // sector 200
    prompt_.Answer(PromptAnswer::No);
    Copy();
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError, kReadError, kReadError, kIgnoreAll}));
    EXPECT_EQ(prompt_.Asked()[0].caption, "Make DAV");
    Bytes expected = diskette_;
    std::fill_n(expected.begin() + 200 * 512, 512, 0);
    EXPECT_EQ(test::ReadWholeFile(target()), expected);
    EXPECT_EQ(unread_, 1u);
    // Retry reports nothing: still one report per sector.
    EXPECT_EQ(progress_.Values().size(), 2881u);
}

TEST_F(FloppyTest, AbortEndsTheCopyAndRemovesThePartialImage)
{
    SetFloppyReadFault(&FailingSectors);
    prompt_.Answer(PromptAnswer::Abort);
    Copy();
    EXPECT_EQ(progress_.Values().size(), 101u);
    EXPECT_EQ(progress_.Values().back(), -1);
    EXPECT_FALSE(platform::PathExists(target()));
}

// The command that copies a diskette destroys the component from inside
// its callback on the last report (see RunReleasingRounds).
TEST_F(FloppyTest, CallbackMayDestroyTheComponentOnItsLastReport)
{
    using Owner = test::ReleasingOwner<IBootImageMaker>;
    // A one-sector "diskette" is mostly copied, and the component
    // destroyed, before Start returns.
    const Bytes oneSector = test::RandomBytes(512, 145);
    test::WriteWholeFile(dir_ / "one-sector.img", oneSector);
    SetFloppyReadFault(&FailingSectors);
    sector100Failures = 1 << 20; // sector 100 fails every time
    std::deque<Owner> owners;
    const auto startOn = [&](const std::string& device) {
        return std::function<bool(Owner&)>([this, &device](Owner& owner) {
            owner.component = Make1();
            owner.component->SetDevice((dir_ / device).c_str());
            return owner.component->Start(target().c_str(), &owner, &Owner::Callback);
        });
    };
    const std::string one = "one-sector.img";
    const std::string whole = "diskette.img";
    test::RunReleasingRounds<IBootImageMaker>(prompt_, target(), oneSector, false, false, 200, 0, owners, startOn(one));
    test::RunReleasingRounds<IBootImageMaker>(prompt_, target(), oneSector, false, true, 20, 0, owners, startOn(one));
    for (const bool hold : {false, true}) {
        test::RunReleasingRounds<IBootImageMaker>(prompt_, target(), oneSector, true, hold, 5, 101, owners,
                                                  startOn(whole));
    }
}

// Destroyed from inside an earlier report, the component is gone at once;
// the worker stops when that report returns and removes the partial image.
TEST_F(FloppyTest, CallbackMayDestroyTheComponentBeforeTheEnd)
{
    using Owner = test::ReleasingOwner<IBootImageMaker>;
    DestroyComponent(maker_);
    Owner owner;
    owner.releaseAt = 50;
    owner.component = Make1();
    owner.component->SetDevice((dir_ / "diskette.img").c_str());
    ASSERT_TRUE(owner.component->Start(target().c_str(), &owner, &Owner::Callback));
    test::WaitUntilRemoved(platform::TemporaryPathFor(target()));
    EXPECT_FALSE(platform::PathExists(target()));
    // 1440 sectors report below 50, then the first one at 50.
    EXPECT_EQ(owner.recorder.Values().size(), 1441u);
    EXPECT_EQ(owner.recorder.Values().back(), 50);
}

} // namespace
