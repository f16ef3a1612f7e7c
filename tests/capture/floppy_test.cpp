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
    // Copies the diskette through Start, or waited for through Run; the
    // component is destroyed afterwards.
    void Copy(test::ProgressRecorder& progress, bool waited, const std::string& target)
    {
        if (waited) {
            complete_ = maker_->Run(target.c_str(), &progress, &test::ProgressRecorder::Callback);
            // Run has closed the target: complete, or gone.
            EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target)));
        } else {
            ASSERT_TRUE(maker_->Start(target.c_str(), &progress, &test::ProgressRecorder::Callback));
            progress.Wait();
        }
        unread_ = maker_->GetUnreadSectorCount();
        lastError_ = maker_->GetLastError();
        DestroyComponent(maker_);
    }
    std::string target() const { return dir_ / "boot.image"; }

    test::TempDir dir_;
    Bytes diskette_;
    IBootImageMaker* maker_ = nullptr;
    test::ProgressRecorder progress_;
    std::uint32_t unread_ = 0;
    bool complete_ = false; // what Run answered
    std::string lastError_;
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

// A target that cannot be made is refused before the copy, and a refused
// copy leaves the file of that name as it was. (A missing drive: the floppy
// command's tests.)
TEST_F(FloppyTest, RefusedCopiesLeaveTheTargetAsItWas)
{
    EXPECT_FALSE(maker_->Start((dir_ / "missing/boot.image").c_str(), &progress_, &test::ProgressRecorder::Callback));
    ASSERT_EQ(prompt_.Asked().size(), 1u);
    EXPECT_EQ(prompt_.Asked()[0].text, "Can not create target boot image file! ");
    EXPECT_EQ(prompt_.Asked()[0].caption, "Make DAV");
    maker_->SetDevice((dir_ / "no-such-drive").c_str());
    test::WriteWholeFile(target(), std::string("kept"));
    EXPECT_FALSE(maker_->Run(target().c_str(), &progress_, &test::ProgressRecorder::Callback));
    EXPECT_TRUE(progress_.Values().empty()) << "Run refuses as Start does, and reports nothing";
    EXPECT_EQ(test::ReadWholeFile(target()), Bytes({'k', 'e', 'p', 't'}));
    EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
}

// One copy per case, through Start and waited for through Run: one report
// per sector (Retry reports nothing), then -2 or -1 from Start; Run
// answers whether the image is complete instead. With the faults, sector
// 100 fails twice and sector 200 always.
TEST_F(FloppyTest, CopiesAreExactOrEndWithoutAnImage)
{
    using A = PromptAnswer;
    struct Case {
        const char* name;
        bool faults;
        std::vector<PromptAnswer> answers;
        std::vector<std::string> asked;
        std::int32_t refuseAt;
        std::size_t percents; // reports before the last value
        std::int32_t last;    // -2 complete, -1 aborted, 0 stopped by a false answer
        const char* device;   // written to instead of a new file
        std::string failure;  // how GetLastError starts
    };
    const Case cases[] = {
        {"complete", false, {}, {}, INT32_MIN, 2880, -2, nullptr, ""},
        {"retried, then ignored", true, {A::Retry, A::Retry, A::Ignore, A::No},
         {kReadError, kReadError, kReadError, kIgnoreAll}, INT32_MIN, 2880, -2, nullptr, ""},
        {"aborted", true, {A::Abort}, {kReadError}, INT32_MIN, 100, -1, nullptr, ""},
        // 1440 sectors report below 50, then the first one at 50.
        {"progress answered false", false, {}, {}, 50, 1441, 0, nullptr, ""},
        {"target cannot be written", false, {}, {}, INT32_MIN, 1, -1, "/dev/full",
         "Can not write the target boot image file: "},
    };
    for (const bool waited : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (waited ? ", run" : ", started"));
#ifdef _WIN32
            if (c.device != nullptr) {
                continue; // no device that is always full
            }
#endif
            DestroyComponent(maker_);
            maker_ = Make1();
            maker_->SetDevice((dir_ / "diskette.img").c_str());
            test::ProgressRecorder progress;
            progress.refuseAt = c.refuseAt;
            test::ScriptedPrompt prompt;
            platform::SetPrompt(&prompt);
            for (const PromptAnswer answer : c.answers) {
                prompt.Answer(answer);
            }
            sector100Failures = 2;
            SetFloppyReadFault(c.faults ? &FailingSectors : nullptr);
            Copy(progress, waited, c.device != nullptr ? c.device : target());
            platform::SetPrompt(&prompt_);
            EXPECT_EQ(prompt.Texts(), c.asked);
            for (const test::AskedQuestion& question : prompt.Asked()) {
                EXPECT_EQ(question.caption, "Make DAV");
            }
            std::vector<std::int32_t> expected;
            for (std::uint32_t i = 0; i < c.percents; ++i) {
                expected.push_back(static_cast<std::int32_t>(i * 100 / 2880));
            }
            if (!waited && c.last < 0) {
                expected.push_back(c.last);
            }
            EXPECT_EQ(progress.Values(), expected);
            EXPECT_EQ(lastError_.substr(0, c.failure.size()), c.failure);
            EXPECT_EQ(lastError_.size() > c.failure.size(), !c.failure.empty()) << lastError_;
            if (waited) {
                EXPECT_EQ(complete_, c.last == -2);
            }
            EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
            if (c.last != -2) {
                EXPECT_FALSE(platform::PathExists(target()));
                continue;
            }
            Bytes image = diskette_;
            if (c.faults) {
                std::fill_n(image.begin() + 200 * 512, 512, 0);
            }
            EXPECT_EQ(test::ReadWholeFile(target()), image);
            EXPECT_EQ(unread_, c.faults ? 1u : 0u);
            platform::RemoveFile(target());
        }
    }
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
