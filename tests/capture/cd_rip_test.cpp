#include "capture/cd_rip.h"
#include "capture_fixtures.h"
#include "core/raw_sector.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <deque>

using namespace tarvelin;
using platform::PromptAnswer;
using platform::PromptButtons;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kReadError = "Read error, maybe the CDROM has bad sector. ";
const std::string kIgnoreAll = "Do you want to ignore all bad sectors? ";

class CdRipTest : public test::CaptureTest {
protected:
    void SetUp() override
    {
        CaptureTest::SetUp();
        rip_ = Rip1();
        ASSERT_NE(rip_, nullptr);
    }
    void TearDown() override
    {
        DestroyComponent(rip_);
        CaptureTest::TearDown();
    }

    // A disc of `sectors` Mode 1 (or Mode 2 Form 1) sectors; user_ holds
    // what the ISO must contain.
    void InsertDisc(std::uint32_t sectors, bool mode2 = false) { user_ = InsertRandomDisc(sectors, mode2); }

    bool Prepare() { return rip_->Prepare(target().c_str(), 'D', &progress_, &test::ProgressRecorder::Callback); }
    std::string target() const { return dir_ / "disc.iso"; }

    // Runs the capture to its end; the component is destroyed afterwards.
    void Capture()
    {
        ASSERT_TRUE(Prepare());
        rip_->Start();
        progress_.Wait();
        std::uint32_t count = rip_->GetUnreadSectors(nullptr, 0);
        unread_.assign(count, 0);
        rip_->GetUnreadSectors(unread_.data(), count);
        DestroyComponent(rip_);
    }

    // What the ISO must hold with these sectors zero.
    Bytes Expected(const std::vector<std::uint32_t>& zeroed) const
    {
        Bytes expected = user_;
        for (std::uint32_t lba : zeroed) {
            std::fill_n(expected.begin() + std::ptrdiff_t{lba} * 2048, 2048, 0);
        }
        return expected;
    }

    std::vector<std::vector<std::uint8_t>> ReadCdCommands()
    {
        std::vector<std::vector<std::uint8_t>> reads;
        for (const auto& cdb : drive_.Commands()) {
            if (!cdb.empty() && (cdb[0] == 0xBE || cdb[0] == 0xBB)) {
                reads.push_back(cdb);
            }
        }
        return reads;
    }

    test::TempDir dir_;
    ICdRip* rip_ = nullptr;
    test::ProgressRecorder progress_;
    Bytes user_;
    std::vector<std::uint32_t> unread_;
};

TEST_F(CdRipTest, ListsTheDrives)
{
    char letters[23] = {};
    EXPECT_EQ(rip_->ListDrives(letters), 1u);
    EXPECT_EQ(letters[0], 'D');
    drive_.SetPresent(false);
    EXPECT_EQ(rip_->ListDrives(letters), 0u);
}

// N not a multiple of 24: three chunks, the last one short, and exactly N
// sectors in the ISO.
TEST_F(CdRipTest, GoodDiscRipsToTheExactIso)
{
    InsertDisc(50);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
    EXPECT_EQ(progress_.Values(), (std::vector<std::int32_t>{0, 48, 96, -2}));
    EXPECT_TRUE(unread_.empty());
    EXPECT_TRUE(prompt_.Asked().empty());
    // Maximum speed, then one READ CD per chunk; the last one asks for the 2 remaining sectors.
    const std::vector<Bytes> expected = {
        {0xBB, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0},
        {0xBE, 0, 0, 0, 0, 0, 0, 0, 24, 0xF8, 0, 0},
        {0xBE, 0, 0, 0, 0, 24, 0, 0, 24, 0xF8, 0, 0},
        {0xBE, 0, 0, 0, 0, 48, 0, 0, 2, 0xF8, 0, 0},
    };
    EXPECT_EQ(ReadCdCommands(), expected);
}

TEST_F(CdRipTest, MultipleOf24GetsNoExtraChunkAndMode2IsRead)
{
    InsertDisc(48, true);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
    EXPECT_EQ(progress_.Values(), (std::vector<std::int32_t>{0, 50, -2}));
}

TEST_F(CdRipTest, DiscsThatAreNotOneDataTrackAreRefusedBeforeAnythingIsWritten)
{
    struct Case {
        std::vector<capture::SimulatedTrack> tracks;
        std::uint32_t leadOut;
        std::string message;
    };
    const std::string multi = "The CDROM has multi-tracks, please use \"file\" mode to make ISO. ";
    const std::string noData = "The CDROM has no data track, please use \"file\" mode to make ISO. ";
    const std::vector<Case> cases = {
        {{{1, 0x14, 0}, {2, 0x14, 30}}, 60, multi},
        {{{1, 0x10, 0}}, 60, noData},
        {{{1, 0x16, 0}}, 60, noData},
        {{{1, 0x04, 0}}, 60, noData},
        {{{1, 0x14, 60}}, 60, "The data track of the CDROM is empty, there is nothing to make an ISO of. "},
    };
    InsertDisc(60);
    for (const Case& c : cases) {
        test::ScriptedPrompt prompt;
        platform::SetPrompt(&prompt);
        drive_.SetTracks(c.tracks, c.leadOut);
        EXPECT_FALSE(Prepare());
        ASSERT_EQ(prompt.Asked().size(), 1u);
        EXPECT_EQ(prompt.Asked()[0].text, c.message);
        EXPECT_EQ(prompt.Asked()[0].caption, "Make ISO");
        EXPECT_EQ(prompt.Asked()[0].buttons, PromptButtons::Ok);
        EXPECT_EQ(prompt.Asked()[0].icon, platform::PromptIcon::Error);
        EXPECT_FALSE(platform::PathExists(target()));
        platform::SetPrompt(&prompt_);
    }
    // Prepare may be tried again after a refusal.
    drive_.SetTracks({{1, 0x14, 0}}, 60);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
}

TEST_F(CdRipTest, NoDriveOrWrongLetterIsRefused)
{
    InsertDisc(10);
    EXPECT_FALSE(rip_->Prepare(target().c_str(), 'E', &progress_, &test::ProgressRecorder::Callback));
    drive_.SetPresent(false);
    EXPECT_FALSE(Prepare());
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{
                                   "Can not open the CDROM! Please use \"file\" mode to make ISO. ",
                                   "Can not init ASPI32 library! Please use \"file\" mode to make ISO. "}));
    EXPECT_FALSE(platform::PathExists(target()));
}

TEST_F(CdRipTest, FreeSpaceMarginOf10MiBHoldsAtTheLimit)
{
    InsertDisc(30);
    const std::uint64_t limit = 30 * 2048 + 10 * 1024 * 1024;
    freeSpace() = limit - 1;
    EXPECT_FALSE(Prepare());
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{
                                   "The harddisk have no enough space! Can not continue... \nPlease optimized your harddisk! "}));
    EXPECT_FALSE(platform::PathExists(target()));
    // The query is about the folder that will hold the target.
    EXPECT_EQ(freeSpaceFolder(), dir_.Path());
    freeSpace() = limit;
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
}

TEST_F(CdRipTest, TargetThatCannotBeCreatedIsRefused)
{
    InsertDisc(10);
    const std::string bad = dir_ / "missing/disc.iso";
    EXPECT_FALSE(rip_->Prepare(bad.c_str(), 'D', &progress_, &test::ProgressRecorder::Callback));
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{
                                   "Can not create target-ISO file! Please specify another file name. "}));
}

// Three failures: the chunk read, the first single read, the first quick retry.
TEST_F(CdRipTest, SectorReadOnRetryNeedsNoQuestion)
{
    InsertDisc(400);
    drive_.FailSector(30, 3);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
    EXPECT_TRUE(prompt_.Asked().empty());
    EXPECT_TRUE(unread_.empty());
    EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{1000, 1000}));
    EXPECT_EQ(drive_.ReadAttempts(30), 4);
    // The slow path drops to speed 1 and back to the maximum.
    const auto reads = ReadCdCommands();
    const Bytes slowest = {0xBB, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes fastest = {0xBB, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::count(reads.begin(), reads.end(), slowest), 1);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), fastest), 2);
}

// 1 chunk + 1 + 20 + 1 single attempts fail, then the question; the first
// Retry fails and asks again, the second succeeds.
TEST_F(CdRipTest, RetryAnsweredReadsTheSector)
{
    InsertDisc(400);
    drive_.FailSector(30, 24);
    prompt_.Answer(PromptAnswer::Retry);
    prompt_.Answer(PromptAnswer::Retry);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
    ASSERT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError, kReadError}));
    EXPECT_EQ(prompt_.Asked()[0].text, kReadError);
    EXPECT_EQ(prompt_.Asked()[0].caption, "Make ISO");
    EXPECT_EQ(prompt_.Asked()[0].buttons, PromptButtons::AbortRetryIgnore);
    EXPECT_EQ(prompt_.Asked()[0].icon, platform::PromptIcon::Question);
    EXPECT_EQ(drive_.ReadAttempts(30), 25);
    EXPECT_TRUE(unread_.empty());
    EXPECT_EQ(progress_.Values().back(), -2);
}

TEST_F(CdRipTest, IgnoreZeroFillsAndAsksAgainForTheNextBadSector)
{
    InsertDisc(400);
    drive_.FailSector(30, capture::SimulatedCdRom::kAlways);
    drive_.FailSector(100, capture::SimulatedCdRom::kAlways);
    for (int i = 0; i < 2; ++i) {
        prompt_.Answer(PromptAnswer::Ignore);
        prompt_.Answer(PromptAnswer::No);
    }
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), Expected({30, 100}));
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError, kIgnoreAll, kReadError, kIgnoreAll}));
    EXPECT_EQ(prompt_.Asked()[1].buttons, PromptButtons::YesNo);
    EXPECT_EQ(unread_, (std::vector<std::uint32_t>{30, 100}));
    std::vector<std::int32_t> values;
    for (std::uint32_t c = 0; c < 17; ++c) {
        values.push_back(static_cast<std::int32_t>(c * 2400 / 400));
    }
    values.push_back(-2);
    EXPECT_EQ(progress_.Values(), values);
}

// After "ignore all", a failing chunk is not read sector by sector: all its
// sectors are zero and listed.
TEST_F(CdRipTest, IgnoreAllSkipsWholeFailingChunksWithoutQuestions)
{
    InsertDisc(400);
    drive_.FailSector(30, capture::SimulatedCdRom::kAlways);
    drive_.FailSector(50, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(PromptAnswer::Ignore);
    prompt_.Answer(PromptAnswer::Yes);
    Capture();
    std::vector<std::uint32_t> lost = {30};
    for (std::uint32_t s = 48; s < 72; ++s) {
        lost.push_back(s);
    }
    EXPECT_EQ(test::ReadWholeFile(target()), Expected(lost));
    EXPECT_EQ(unread_, lost);
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError, kIgnoreAll}));
    EXPECT_EQ(drive_.ReadAttempts(51), 1);
}

TEST_F(CdRipTest, AbortEndsTheCaptureAndRemovesThePartialIso)
{
    InsertDisc(400);
    drive_.FailSector(60, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(PromptAnswer::Abort);
    Capture();
    EXPECT_EQ(progress_.Values(), (std::vector<std::int32_t>{0, 6, -1}));
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError}));
    EXPECT_FALSE(platform::PathExists(target()));
}

// The programs in front destroy the component from inside their callback on
// the last report, on the worker's thread. Whichever of Start and the worker
// gets there first, a complete ISO stays and an aborted one is removed (the
// file of that name from an earlier round stays as it was), and nothing is
// touched after it was freed (the sanitizers watch that).
TEST_F(CdRipTest, CallbackMayDestroyTheComponentOnItsLastReport)
{
    using Owner = test::ReleasingOwner<ICdRip>;
    struct Case {
        std::uint32_t sectors;
        bool abort;
        bool holdFirstReport; // Start returns before the worker reports
        int rounds;
    };
    // A one-sector disc mostly ends, and is destroyed, before Start returns.
    const Case cases[] = {{1, false, false, 200}, {1, false, true, 20}, {400, false, true, 5},
                          {400, true, false, 5}, {400, true, true, 5}};
    std::deque<Owner> owners; // kept until the end, as their recorders were signalled from the workers
    for (const Case& c : cases) {
        InsertDisc(c.sectors);
        drive_.FailSector(60, c.abort ? capture::SimulatedCdRom::kAlways : 0);
        for (int round = 0; round < c.rounds; ++round) {
            SCOPED_TRACE(testing::Message() << c.sectors << " sectors, abort " << c.abort << ", round " << round);
            if (c.abort) {
                prompt_.Answer(PromptAnswer::Abort);
            }
            const bool earlier = platform::PathExists(target());
            Owner& owner = owners.emplace_back();
            owner.holdFirstReport = c.holdFirstReport;
            owner.component = Rip1();
            ASSERT_TRUE(owner.component->Prepare(target().c_str(), 'D', &owner, &Owner::Callback));
            owner.component->Start();
            owner.gate.Open();
            owner.recorder.Wait();
            ASSERT_EQ(owner.recorder.Values().back(), c.abort ? -1 : -2);
            EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
            if (c.abort) {
                EXPECT_EQ(platform::PathExists(target()), earlier);
                if (earlier) {
                    EXPECT_EQ(test::ReadWholeFile(target()), user_);
                }
            } else {
                ASSERT_EQ(test::ReadWholeFile(target()), user_);
            }
        }
    }
}

// Destroyed from inside an earlier report, the component is gone at once;
// the worker stops when that report returns and removes the unfinished ISO.
TEST_F(CdRipTest, CallbackMayDestroyTheComponentBeforeTheEnd)
{
    using Owner = test::ReleasingOwner<ICdRip>;
    InsertDisc(400);
    std::deque<Owner> owners;
    for (int round = 0; round < 10; ++round) {
        Owner& owner = owners.emplace_back();
        owner.releaseAt = 48;
        owner.component = Rip1();
        ASSERT_TRUE(owner.component->Prepare(target().c_str(), 'D', &owner, &Owner::Callback));
        owner.component->Start();
        test::WaitUntilRemoved(platform::TemporaryPathFor(target()));
        EXPECT_FALSE(platform::PathExists(target()));
        EXPECT_EQ(owner.recorder.Values(), (std::vector<std::int32_t>{0, 6, 12, 18, 24, 30, 36, 42, 48}));
    }
}

// Destroyed from another thread while the worker waits for an answer, the
// component lets go of nothing before the worker has ended.
TEST_F(CdRipTest, DestroyFromAnotherThreadWaitsForTheWorker)
{
    class BlockingPrompt final : public platform::IPrompt {
    public:
        test::Gate asked;
        test::Gate answer;
        std::mutex mutex;
        std::vector<std::string> events;
        PromptAnswer Ask(std::string_view, std::string_view, PromptButtons, platform::PromptIcon) override
        {
            asked.Open();
            answer.Wait();
            std::lock_guard lock(mutex);
            events.push_back("answered");
            return PromptAnswer::Abort;
        }
    } prompt;
    platform::SetPrompt(&prompt);
    InsertDisc(400);
    drive_.FailSector(60, capture::SimulatedCdRom::kAlways);
    ASSERT_TRUE(Prepare());
    rip_->Start();
    prompt.asked.Wait();
    std::thread destroyer([&] {
        DestroyComponent(rip_);
        std::lock_guard lock(prompt.mutex);
        prompt.events.push_back("destroyed");
    });
    // Gives the destroyer time to be waiting inside Destroy; the order below
    // holds however long it takes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    prompt.answer.Open();
    destroyer.join();
    EXPECT_EQ(prompt.events, (std::vector<std::string>{"answered", "destroyed"}));
    EXPECT_EQ(progress_.Values(), (std::vector<std::int32_t>{0, 6, -1}));
    EXPECT_FALSE(platform::PathExists(target()));
    platform::SetPrompt(&prompt_);
}

TEST_F(CdRipTest, BadSectorInTheLast150IsSkippedWithoutAQuestion)
{
    InsertDisc(400);
    drive_.FailSector(250, capture::SimulatedCdRom::kAlways);
    drive_.FailSector(399, capture::SimulatedCdRom::kAlways);
    Capture();
    EXPECT_TRUE(prompt_.Asked().empty());
    EXPECT_EQ(unread_, (std::vector<std::uint32_t>{250, 399}));
    EXPECT_EQ(test::ReadWholeFile(target()), Expected({250, 399}));
    EXPECT_EQ(drive_.ReadAttempts(250), 1 + 1 + 20 + 1);
}

TEST_F(CdRipTest, FalseAnswerStopsTheCaptureAndRemovesTheTarget)
{
    InsertDisc(100);
    progress_.refuseAt = 48;
    Capture();
    EXPECT_EQ(progress_.Values(), (std::vector<std::int32_t>{0, 24, 48}));
    EXPECT_FALSE(platform::PathExists(target()));
}

TEST_F(CdRipTest, PreparedButNeverStartedLeavesNoFile)
{
    InsertDisc(10);
    ASSERT_TRUE(Prepare());
    EXPECT_EQ(rip_->GetSectorCount(), 10u);
    EXPECT_TRUE(platform::PathExists(platform::TemporaryPathFor(target())));
    EXPECT_FALSE(platform::PathExists(target()));
    DestroyComponent(rip_);
    EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
    EXPECT_FALSE(platform::PathExists(target()));
}

} // namespace
