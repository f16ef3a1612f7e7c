// Job: each way a job ends, on its own thread or the caller's, the final
// report delivered once, and an owner released from inside its observers
// (ASan checks that nothing freed is touched). A job released from another
// thread is the builder destroyed mid-build in writer/iso_build_test.

#include "core/job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvelin {
namespace {

// What the observers saw; written on the job's thread, read after Wait.
struct Seen {
    std::vector<double> fractions;
    std::vector<std::string> messages;
    int ends = 0;
    JobReport last;
};

TEST(Job, EndsDoneFailedOrCancelledAndReportsOnce)
{
    struct Row {
        const char* name;
        Job::Work work;
        bool cancelFromOwner;    // Cancel() right after Start
        int answerFalseAt;       // OnProgress answers false at this report (-1: never)
        JobReport expected;
        std::vector<double> fractions;
    };
    const std::thread::id caller = std::this_thread::get_id();
    const std::vector<Row> rows = {
        {"done", [](JobControl& c) {
             c.Report(JobProgress{0.25, "reading"});
             c.Report(1.0);
             return JobReport::Done();
         }, false, -1, JobReport::Done(), {0.25, 1.0}},
        {"failed with its reason", [](JobControl& c) {
             c.Report(0.5);
             return JobReport::Failed("the disk is full");
         }, false, -1, JobReport::Failed("the disk is full"), {0.5}},
        {"failed without a reason gets one", [](JobControl&) { return JobReport::Failed(""); }, false, -1,
         JobReport::Failed("the work failed without saying why"), {}},
        {"an escaping exception fails", [](JobControl&) -> JobReport { throw std::runtime_error("no memory"); },
         false, -1, JobReport::Failed("no memory"), {}},
        {"cancelled by the owner", [](JobControl& c) {
             while (!c.Cancelled()) {
                 std::this_thread::yield();
             }
             // A cancelled job reports nothing more.
             EXPECT_FALSE(c.Report(0.9));
             return JobReport::Cancelled();
         }, true, -1, JobReport::Cancelled(), {}},
        {"cancelled by a false answer", [](JobControl& c) {
             for (int i = 0; i < 10; ++i) {
                 if (!c.Report(i / 10.0)) {
                     return JobReport::Cancelled();
                 }
             }
             return JobReport::Done();
         }, false, 2, JobReport::Cancelled(), {0.0, 0.1, 0.2}},
    };
    // Each row started on the job's thread, then run on this one (where
    // the owner has no moment to cancel from).
    for (const bool here : {false, true}) {
        for (const Row& row : rows) {
            if (here && row.cancelFromOwner) {
                continue;
            }
            SCOPED_TRACE(std::string(row.name) + (here ? ", run here" : ", started"));
            Seen seen;
            Job job;
            bool runningInEnd = true;
            JobState waitedInEnd = JobState::Done;
            bool onThisThread = true;
            const auto onProgress = [&](const JobProgress& p) {
                seen.fractions.push_back(p.fraction);
                seen.messages.push_back(p.message);
                onThisThread = onThisThread && std::this_thread::get_id() == caller;
                return static_cast<int>(seen.fractions.size()) - 1 != row.answerFalseAt;
            };
            const auto onEnd = [&](const JobReport& report) {
                ++seen.ends;
                seen.last = report;
                runningInEnd = job.Running();
                waitedInEnd = job.Wait().state; // returns at once inside an observer
                onThisThread = onThisThread && std::this_thread::get_id() == caller;
            };
            JobReport report;
            if (here) {
                report = job.RunHere(row.work, onProgress, onEnd);
                EXPECT_TRUE(onThisThread);
            } else {
                std::string why;
                ASSERT_TRUE(job.Start(row.work, onProgress, onEnd, &why)) << why;
                if (row.cancelFromOwner) {
                    job.Cancel();
                }
                report = job.Wait();
                EXPECT_FALSE(onThisThread);
            }
            EXPECT_EQ(report.state, row.expected.state);
            EXPECT_EQ(report.reason, row.expected.reason);
            EXPECT_EQ(seen.ends, 1);
            EXPECT_EQ(seen.last.state, row.expected.state);
            EXPECT_FALSE(runningInEnd);
            EXPECT_EQ(waitedInEnd, JobState::Running);
            EXPECT_FALSE(job.Running());
            EXPECT_EQ(seen.fractions, row.fractions);
            // Waiting again gives the same report, without a second delivery.
            EXPECT_EQ(job.Wait().state, row.expected.state);
            EXPECT_EQ(seen.ends, 1);
        }
    }
}

TEST(Job, StartsOrRunsAgainOnlyOnceTheRunHasEnded)
{
    Job job;
    std::promise<void> go;
    std::shared_future<void> gate = go.get_future().share();
    std::string why;
    ASSERT_TRUE(job.Start([gate](JobControl&) { gate.wait(); return JobReport::Done(); }, {}, {}, &why));
    EXPECT_FALSE(job.Start([](JobControl&) { return JobReport::Done(); }, {}, {}, &why));
    EXPECT_EQ(why, "the job is already running");
    EXPECT_EQ(job.RunHere([](JobControl&) { return JobReport::Done(); }, {}, {}).reason,
              "the job is already running");
    go.set_value();
    EXPECT_EQ(job.Wait().state, JobState::Done);
    EXPECT_EQ(job.RunHere([](JobControl&) { return JobReport::Failed("here"); }, {}, {}).reason, "here");
    ASSERT_TRUE(job.Start([](JobControl&) { return JobReport::Failed("second"); }, {}, {}, &why));
    EXPECT_EQ(job.Wait().reason, "second");
}

// An owner of a job, destroyed from inside an observer.
struct Owner {
    Job job;
    std::vector<int> data{1, 2, 3}; // what the work uses
    ~Owner() { job.Release(); }
};

TEST(Job, AnOwnerDestroyedInsideAnObserverIsNeverTouchedAgain)
{
    struct Row {
        const char* name;
        bool inFinalReport; // else inside a progress report
        bool reports;       // else the work ends at once, maybe before Start returns
    };
    for (const Row row : {Row{"inside the final report", true, true}, Row{"inside a progress report", false, true},
                          Row{"inside the final report of a work that ends at once", true, false}}) {
        SCOPED_TRACE(row.name);
        auto* owner = new Owner;
        // Held by the observers, so it goes only when the run's state does.
        auto token = std::make_shared<int>(0);
        std::weak_ptr<int> runGone = token;
        std::atomic<int> ends{0};
        std::atomic<bool> sawRelease{false};
        const auto work = [owner, row, &sawRelease](JobControl& c) {
            if (!row.reports) {
                return JobReport::Done();
            }
            int sum = 0;
            for (int value : owner->data) {
                sum += value;
                if (!c.Report(sum / 6.0) && c.Released()) {
                    sawRelease = true;
                    return JobReport::Cancelled(); // owner gone: touch nothing of it
                }
            }
            return JobReport::Done();
        };
        auto onProgress = [owner, row, token](const JobProgress&) {
            if (!row.inFinalReport) {
                delete owner;
            }
            return true;
        };
        auto onEnd = [owner, row, token, &ends](const JobReport&) {
            ++ends;
            if (row.inFinalReport) {
                delete owner;
            }
        };
        std::string why;
        token.reset();
        ASSERT_TRUE(owner->job.Start(work, std::move(onProgress), std::move(onEnd), &why)) << why;
        while (!runGone.expired()) {
            std::this_thread::yield();
        }
        EXPECT_EQ(ends, row.inFinalReport ? 1 : 0);
        EXPECT_EQ(sawRelease, !row.inFinalReport);
    }
}

} // namespace
} // namespace tarvelin
