#pragma once

// Shared pieces of the capture tests: a simulated drive installed as the
// SCSI transport, a scripted prompt, waits that do not wait, a settable
// free-space figure, and a progress recorder.

#include "capture/capture_hooks.h"
#include "core/component.h"
#include "core/raw_sector.h"
#include "platform/directory.h"
#include "platform/prompt.h"
#include "capture/simulated_cdrom.h"
#include "platform/atomic_output.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvelin::test {

struct AskedQuestion {
    std::string text;
    std::string caption;
    platform::PromptButtons buttons;
    platform::PromptIcon icon;
};

class ScriptedPrompt final : public platform::IPrompt {
public:
    void Answer(platform::PromptAnswer answer)
    {
        std::lock_guard lock(mutex_);
        answers_.push_back(answer);
    }
    std::vector<AskedQuestion> Asked()
    {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const AskedQuestion& q : Asked()) {
            texts.push_back(q.text);
        }
        return texts;
    }
    platform::PromptAnswer Ask(std::string_view text, std::string_view caption, platform::PromptButtons buttons,
                               platform::PromptIcon icon) override
    {
        std::lock_guard lock(mutex_);
        asked_.push_back({std::string(text), std::string(caption), buttons, icon});
        if (answers_.empty()) {
            // Messages with only an OK button need no script.
            return platform::CautiousAnswer(buttons);
        }
        const platform::PromptAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

private:
    std::mutex mutex_;
    std::deque<platform::PromptAnswer> answers_;
    std::vector<AskedQuestion> asked_;
};

// Collects the reports of a capture; the last one (-1 or -2, or a false
// answer) lets Wait return.
class ProgressRecorder {
public:
    // The report with this value is answered false.
    std::int32_t refuseAt = INT32_MIN;

    static bool Callback(void* context, std::int32_t value)
    {
        return static_cast<ProgressRecorder*>(context)->Report(value);
    }
    bool Report(std::int32_t value)
    {
        std::lock_guard lock(mutex_);
        values_.push_back(value);
        const bool answer = value != refuseAt;
        if (value < 0 || !answer) {
            ended_ = true;
            changed_.notify_all();
        }
        return answer;
    }
    void Wait()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_; });
    }
    std::vector<std::int32_t> Values()
    {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int32_t> values_;
    bool ended_ = false;
};

// A one-way door: Wait blocks until Open.
class Gate {
public:
    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void Wait()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// The owner of a capture component as the programs in front are: its
// callback destroys the component, on the last report (-1 or -2) or on the
// report with value releaseAt, before recording the report. With
// holdFirstReport the first report waits until the gate is opened.
template <class Component>
struct ReleasingOwner {
    Component* component = nullptr;
    std::int32_t releaseAt = INT32_MIN;
    bool holdFirstReport = false;
    Gate gate;
    ProgressRecorder recorder;

    static bool Callback(void* context, std::int32_t value)
    {
        auto* owner = static_cast<ReleasingOwner*>(context);
        if (owner->holdFirstReport && owner->recorder.Values().empty()) {
            owner->gate.Wait();
        }
        if (value < 0 || value == owner->releaseAt) {
            DestroyComponent(owner->component);
        }
        return owner->recorder.Report(value);
    }
};

// Rounds of captures whose owner destroys the component from inside its
// callback on the last report, on the worker's thread, as the programs in
// front do. start makes and starts owner.component; an aborted capture
// (the prompt answers Abort) ends with -1 after abortReports reports (0:
// any number), a complete one with -2 and the target holding complete.
// Whichever of Start and the worker gets there first, a complete target
// stays and an aborted one is removed (the file of that name from an
// earlier round stays as it was); nothing is touched after it was freed
// (the sanitizers watch that). The owners are kept in owners until the
// test ends, as their recorders were signalled from the workers.
template <class Component>
void RunReleasingRounds(ScriptedPrompt& prompt, const std::string& target, const std::vector<std::uint8_t>& complete,
                        bool abort, bool holdFirstReport, int rounds, std::size_t abortReports,
                        std::deque<ReleasingOwner<Component>>& owners,
                        const std::function<bool(ReleasingOwner<Component>&)>& start)
{
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(::testing::Message() << "abort " << abort << ", held " << holdFirstReport << ", round " << round);
        if (abort) {
            prompt.Answer(platform::PromptAnswer::Abort);
        }
        const bool earlier = platform::PathExists(target);
        ReleasingOwner<Component>& owner = owners.emplace_back();
        owner.holdFirstReport = holdFirstReport;
        ASSERT_TRUE(start(owner));
        owner.gate.Open();
        owner.recorder.Wait();
        const std::vector<std::int32_t> values = owner.recorder.Values();
        ASSERT_EQ(values.back(), abort ? -1 : -2);
        EXPECT_FALSE(platform::PathExists(platform::TemporaryPathFor(target)));
        if (abort) {
            EXPECT_TRUE(abortReports == 0 || values.size() == abortReports) << values.size();
            EXPECT_EQ(platform::PathExists(target), earlier);
        }
        if (!abort || earlier) {
            ASSERT_EQ(ReadWholeFile(target), complete);
        }
    }
}

// Waits (without a deadline of its own; the test runner has one) until a
// worker that was left to end a capture has removed its target.
inline void WaitUntilRemoved(const std::string& path)
{
    while (platform::PathExists(path)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Installs the simulated drive, the prompt, the sleep and free-space hooks
// for the test's lifetime.
class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousTransport_ = platform::SetScsiTransport(&drive_);
        previousPrompt_ = platform::SetPrompt(&prompt_);
        previousSleep_ = capture::SetSleep(&RecordSleep);
        previousFreeSpace_ = capture::SetFreeSpaceQuery(&ReportFreeSpace);
        sleeps_.clear();
        freeSpace_ = UINT64_C(1) << 40;
    }
    void TearDown() override
    {
        platform::SetScsiTransport(previousTransport_);
        platform::SetPrompt(previousPrompt_);
        capture::SetSleep(previousSleep_);
        capture::SetFreeSpaceQuery(previousFreeSpace_);
    }

    // Puts a disc of Mode 1 (or Mode 2 Form 1) sectors with random user
    // data into the drive; returns the user data, which is what an ISO of
    // it holds. In Mode 2, the last form2 sectors are Form 2 sectors of
    // 2324 random bytes, whose first 2048 the ISO holds.
    std::vector<std::uint8_t> InsertRandomDisc(std::uint32_t sectors, bool mode2 = false, std::uint32_t form2 = 0)
    {
        std::vector<std::uint8_t> user = RandomBytes(std::size_t{sectors} * 2048, sectors);
        std::vector<std::uint8_t> raw(std::size_t{sectors} * 2352);
        if (mode2) {
            raw::EncodeMode2Form1Sectors(user.data(), sectors, 0, nullptr, raw.data());
            const std::vector<std::uint8_t> rest = RandomBytes(std::size_t{form2} * 276, form2 + 1);
            for (std::uint32_t i = 0; i < form2; ++i) {
                std::uint8_t* sector = raw.data() + std::size_t{sectors - form2 + i} * 2352;
                constexpr std::uint8_t kForm2Subheader[8] = {1, 0, 0x60, 0, 1, 0, 0x60, 0}; // file 1, real time
                std::copy(std::begin(kForm2Subheader), std::end(kForm2Subheader), sector + 16);
                std::copy_n(rest.begin() + std::ptrdiff_t{i} * 276, 276, sector + 24 + 2048);
                const std::uint32_t edc = raw::ComputeEdc(sector + 16, 8 + 2324);
                for (int b = 0; b < 4; ++b) {
                    sector[2348 + b] = static_cast<std::uint8_t>(edc >> (8 * b));
                }
            }
        } else {
            raw::EncodeMode1Sectors(user.data(), sectors, 0, raw.data());
        }
        drive_.SetDisc(std::move(raw));
        return user;
    }

    // What the hooks saw and answer: the pauses asked for, the free space
    // reported, the folder it was asked about.
    static inline std::vector<std::uint32_t> sleeps_;
    static inline std::uint64_t freeSpace_ = 0;
    static inline std::string freeSpaceFolder_;

    capture::SimulatedCdRom drive_;
    ScriptedPrompt prompt_;

private:
    static void RecordSleep(std::uint32_t ms) { sleeps_.push_back(ms); }
    static bool ReportFreeSpace(const std::string& folder, std::uint64_t& bytes)
    {
        freeSpaceFolder_ = folder;
        bytes = freeSpace_;
        return true;
    }

    platform::IScsiTransport* previousTransport_ = nullptr;
    platform::IPrompt* previousPrompt_ = nullptr;
    capture::SleepFn previousSleep_ = nullptr;
    capture::FreeSpaceFn previousFreeSpace_ = nullptr;
};

} // namespace tarvelin::test
