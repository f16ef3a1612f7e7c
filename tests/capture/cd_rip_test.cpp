#include "capture/cd_rip.h"
#include "capture_fixtures.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

using namespace tarvelin;
using platform::PromptAnswer;
using platform::PromptButtons;
using platform::PromptIcon;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kReadError = "Read error, maybe the CDROM has bad sector. ";
const std::string kIgnoreAll = "Do you want to ignore all bad sectors? ";
constexpr int kAlways = capture::SimulatedCdRom::kAlways;
const Bytes kFastest = {0xBB, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kSlowest = {0xBB, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};

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
    void InsertDisc(std::uint32_t sectors, bool mode2 = false, std::uint32_t form2 = 0)
    {
        user_ = InsertRandomDisc(sectors, mode2, form2);
    }

    bool Prepare(const std::string& target, char letter = 'D')
    {
        return rip_->Prepare(target.c_str(), letter, &progress_, &test::ProgressRecorder::Callback);
    }
    bool Prepare() { return Prepare(target()); }
    std::string target() const { return dir_ / "disc.iso"; }

    // Runs the capture to its end, through Start or waited for through
    // Run; the component is destroyed afterwards.
    void Capture(bool waited = false, const std::string& target = {})
    {
        ASSERT_TRUE(Prepare(target.empty() ? this->target() : target));
        if (waited) {
            complete_ = rip_->Run(&progress_, &test::ProgressRecorder::Callback);
            // Run has closed the target: complete, or gone.
            EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target.empty() ? this->target() : target)));
        } else {
            rip_->Start();
            progress_.Wait();
        }
        lastError_ = rip_->GetLastError();
        form2_ = rip_->GetForm2SectorCount();
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

    std::vector<Bytes> ReadCdCommands()
    {
        std::vector<Bytes> reads;
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
    bool complete_ = false;  // what Run answered
    std::uint32_t form2_ = 0; // what GetForm2SectorCount answered
    std::string lastError_;
};

// Whatever stops a capture before it starts is said in one error message,
// and nothing is written; Prepare may be tried again after a refusal, and
// the free-space margin of 10 MiB holds exactly at its limit. (The refused
// discs: the rip command's tests.)
TEST_F(CdRipTest, RefusalsSayWhyBeforeAnythingIsWritten)
{
    const std::uint64_t limit = 30 * 2048 + 10 * 1024 * 1024;
    struct Case {
        const char* name;
        std::function<void()> setUp;
        std::string message;
        char letter = 'D';
        std::string target = "disc.iso";
    };
    const Case cases[] = {
        {"wrong letter", [] {}, "Can not open the CDROM! Please use \"file\" mode to make ISO. ", 'E'},
        {"no drive", [&] { drive_.SetPresent(false); },
         "Can not init ASPI32 library! Please use \"file\" mode to make ISO. "},
        {"target folder missing", [] {}, "Can not create target-ISO file! Please specify another file name. ", 'D',
         "missing/disc.iso"},
        {"a byte short of the margin", [&] { freeSpace_ = limit - 1; },
         "The harddisk have no enough space! Can not continue... \nPlease optimized your harddisk! "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InsertDisc(30);
        test::ScriptedPrompt prompt;
        platform::SetPrompt(&prompt);
        c.setUp();
        EXPECT_FALSE(Prepare(dir_ / c.target, c.letter));
        ASSERT_EQ(prompt.Asked().size(), 1u);
        EXPECT_EQ(prompt.Asked()[0].text, c.message);
        EXPECT_EQ(prompt.Asked()[0].caption, "Make ISO");
        EXPECT_EQ(prompt.Asked()[0].buttons, PromptButtons::Ok);
        EXPECT_EQ(prompt.Asked()[0].icon, PromptIcon::Error);
        EXPECT_FALSE(platform::PathExists(target()));
        platform::SetPrompt(&prompt_);
        drive_.SetPresent(true);
    }
    // The free space asked about is that of the folder that will hold the target.
    EXPECT_EQ(freeSpaceFolder_, dir_.Path());
    freeSpace_ = limit;
    InsertDisc(30);
    Capture();
    EXPECT_EQ(test::ReadWholeFile(target()), user_);
}

// One capture per case: the disc, the sectors that fail (how many times),
// the answers given, and what comes of it. A chunk that fails is read again
// sector by sector at the slowest speed after a pause: each failing sector
// is read once more, after a second pause 20 quick retries, then once
// more before the question. After "ignore all" a failing chunk is not
// read sector by sector: all its sectors are zero and listed. Sectors in
// the last 150 never lead to a question.
using Attempts = std::vector<std::pair<std::uint32_t, int>>;
struct RipCase {
    std::string name;
    std::uint32_t sectors;
    bool mode2;
    Attempts failures;
    std::vector<PromptAnswer> answers;
    std::vector<std::string> asked;
    std::vector<std::int32_t> progress;
    bool kept;                         // the ISO is there afterwards
    std::vector<std::uint32_t> unread; // zero in the ISO
    std::uint32_t slowChunks;          // chunks read again sector by sector
    Attempts attempts;                 // READ CDs that touched these sectors
    std::int32_t refuseAt = INT32_MIN;
    const char* device = nullptr;      // written to instead of a new file
    std::string failure = {};          // how GetLastError starts
    std::uint32_t form2 = 0;           // the disc's last sectors that are Mode 2 Form 2, counted by the capture
};

std::vector<RipCase> RipCases()
{
    std::vector<std::int32_t> every6; // the 17 chunks of 400 sectors
    for (std::int32_t c = 0; c < 17; ++c) {
        every6.push_back(c * 6);
    }
    every6.push_back(-2);
    std::vector<std::uint32_t> chunkOf48 = {30};
    for (std::uint32_t s = 48; s < 72; ++s) {
        chunkOf48.push_back(s);
    }
    using A = PromptAnswer;
    return {
        // Not a multiple of 24: three chunks, the last one short.
        {"GoodDisc", 50, false, {}, {}, {}, {0, 48, 96, -2}, true, {}, 0, {}},
        {"MultipleOf24InMode2", 48, true, {}, {}, {}, {0, 50, -2}, true, {}, 0, {}},
        // The ISO holds 2048 of the 2324 bytes of each Form 2 sector, which the capture counts.
        {"Form2SectorsCounted", 50, true, {}, {}, {}, {0, 48, 96, -2}, true, {}, 0, {}, INT32_MIN, nullptr, {}, 7},
        {"ReadOnAQuickRetry", 400, false, {{30, 3}}, {}, {}, every6, true, {}, 1, {{30, 4}}},
        {"ReadOnTheSecondRetry", 400, false, {{30, 24}}, {A::Retry, A::Retry}, {kReadError, kReadError}, every6,
         true, {}, 1, {{30, 25}}},
        {"IgnoredOneByOne", 400, false, {{30, kAlways}, {100, kAlways}}, {A::Ignore, A::No, A::Ignore, A::No},
         {kReadError, kIgnoreAll, kReadError, kIgnoreAll}, every6, true, {30, 100}, 2, {{30, 23}, {100, 23}}},
        {"AllIgnored", 400, false, {{30, kAlways}, {50, kAlways}}, {A::Ignore, A::Yes}, {kReadError, kIgnoreAll},
         every6, true, chunkOf48, 1, {{51, 1}}},
        {"InTheLast150", 400, false, {{250, kAlways}, {399, kAlways}}, {}, {}, every6, true, {250, 399}, 2,
         {{250, 1 + 1 + 20 + 1}}},
        {"Aborted", 400, false, {{60, kAlways}}, {A::Abort}, {kReadError}, {0, 6, -1}, false, {}, 1, {}},
        {"ProgressAnsweredFalse", 100, false, {}, {}, {}, {0, 24, 48}, false, {}, 0, {}, 48},
        {"TargetCannotBeWritten", 50, false, {}, {}, {}, {0, -1}, false, {}, 0, {}, INT32_MIN, "/dev/full",
         "Can not write the target-ISO file: "},
    };
}

void PrintTo(const RipCase& c, std::ostream* out) { *out << c.name; }

// Each case through Start, and waited for through Run, which reports the
// same percents without the last value and answers whether the ISO is
// complete.
class CdRipCaseTest : public CdRipTest, public ::testing::WithParamInterface<std::tuple<RipCase, bool>> {};

TEST_P(CdRipCaseTest, BadSectorsAreRetriedAskedAboutIgnoredOrEndTheCapture)
{
    const auto& [c, waited] = GetParam();
#ifdef _WIN32
    if (c.device != nullptr) {
        GTEST_SKIP() << "no device that is always full";
    }
#endif
    progress_.refuseAt = c.refuseAt;
    InsertDisc(c.sectors, c.mode2, c.form2);
    for (const auto& [lba, times] : c.failures) {
        drive_.FailSector(lba, times);
    }
    for (const PromptAnswer answer : c.answers) {
        prompt_.Answer(answer);
    }
    Capture(waited, c.device != nullptr ? c.device : "");
    std::vector<std::int32_t> progress = c.progress;
    if (waited && progress.back() < 0) {
        progress.pop_back();
    }
    EXPECT_EQ(progress_.Values(), progress);
    if (waited) {
        EXPECT_EQ(complete_, c.kept);
    }
    // The reason, followed by the system's, when the user did not stop it.
    EXPECT_EQ(lastError_.substr(0, c.failure.size()), c.failure);
    EXPECT_EQ(lastError_.size() > c.failure.size(), !c.failure.empty()) << lastError_;
    EXPECT_EQ(form2_, c.form2);
    EXPECT_EQ(prompt_.Texts(), c.asked);
    for (const test::AskedQuestion& question : prompt_.Asked()) {
        EXPECT_EQ(question.caption, "Make ISO");
        EXPECT_EQ(question.buttons,
                  question.text == kReadError ? PromptButtons::AbortRetryIgnore : PromptButtons::YesNo);
        EXPECT_EQ(question.icon, PromptIcon::Question);
    }
    ASSERT_EQ(platform::PathExists(target()), c.kept);
    EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
    if (c.kept) {
        EXPECT_EQ(test::ReadWholeFile(target()), Expected(c.unread));
        EXPECT_EQ(unread_, c.unread);
    }
    EXPECT_EQ(sleeps_, std::vector<std::uint32_t>(2 * c.slowChunks, 1000));
    // Reading sector by sector drops to speed 1 and goes back to the maximum.
    const std::vector<Bytes> reads = ReadCdCommands();
    EXPECT_EQ(std::count(reads.begin(), reads.end(), kSlowest), c.slowChunks);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), kFastest), 1 + c.slowChunks);
    for (const auto& [lba, times] : c.attempts) {
        EXPECT_EQ(drive_.ReadAttempts(lba), times) << lba;
    }
}

INSTANTIATE_TEST_SUITE_P(, CdRipCaseTest, ::testing::Combine(::testing::ValuesIn(RipCases()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<RipCase, bool>>& row) {
                             return std::get<0>(row.param).name + (std::get<1>(row.param) ? "Run" : "Start");
                         });

TEST_F(CdRipTest, CallbackMayDestroyTheComponentOnItsLastReport)
{
    using Owner = test::ReleasingOwner<ICdRip>;
    std::deque<Owner> owners;
    const auto start = [&](Owner& owner) {
        owner.component = Rip1();
        if (!owner.component->Prepare(target().c_str(), 'D', &owner, &Owner::Callback)) {
            return false;
        }
        owner.component->Start();
        return true;
    };
    // A one-sector disc mostly ends, and is destroyed, before Start returns.
    InsertDisc(1);
    test::RunReleasingRounds<ICdRip>(prompt_, target(), user_, false, false, 200, 0, owners, start);
    test::RunReleasingRounds<ICdRip>(prompt_, target(), user_, false, true, 20, 0, owners, start);
    InsertDisc(400);
    test::RunReleasingRounds<ICdRip>(prompt_, target(), user_, false, true, 5, 0, owners, start);
    drive_.FailSector(60, kAlways);
    test::RunReleasingRounds<ICdRip>(prompt_, target(), user_, true, false, 5, 3, owners, start);
    test::RunReleasingRounds<ICdRip>(prompt_, target(), user_, true, true, 5, 3, owners, start);
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
        PromptAnswer Ask(std::string_view, std::string_view, PromptButtons, PromptIcon) override
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
    drive_.FailSector(60, kAlways);
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

TEST_F(CdRipTest, PreparedButNeverStartedLeavesNoFile)
{
    InsertDisc(10);
    EXPECT_FALSE(rip_->Run(nullptr, nullptr));
    EXPECT_STREQ(rip_->GetLastError(), "no capture was prepared");
    ASSERT_TRUE(Prepare());
    EXPECT_EQ(rip_->GetSectorCount(), 10u);
    EXPECT_TRUE(platform::PathExists(platform::TemporaryPathFor(target())));
    EXPECT_FALSE(platform::PathExists(target()));
    DestroyComponent(rip_);
    EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target())));
    EXPECT_FALSE(platform::PathExists(target()));
}

} // namespace
