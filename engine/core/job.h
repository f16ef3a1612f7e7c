#pragma once

// Job: a long operation of the engine run on a thread of its own. The owner
// (the component whose operation it is) starts it with the work and two
// observers; the work reports progress and polls for a cancel through its
// JobControl and returns how it ended. Components keep their own progress
// protocols as adapters over the observers.
//
// The rules, for every job:
//   - The observers run on the job's thread. OnProgress gets each report
//     (a fraction done and an optional message) and answers whether to go
//     on; a false answer cancels the job. OnEnd gets the final report
//     (Done, Failed with its reason, or Cancelled) exactly once, after the
//     job has left the running state: inside OnEnd, Running() is false.
//   - Release (also the destructor) ends the owner's part: it asks the
//     work to stop, no observer is called after it, and it waits for the
//     thread to end. Made on the job's own thread, that is from inside an
//     observer, it does not wait: the thread is left to finish on its own
//     and touches nothing of the Job or its owner any more (only the run's
//     shared state, which it keeps alive). So an owner may be destroyed
//     from inside an observer, provided its destructor releases the job
//     before anything the work uses goes.
//   - The work may touch its owner only while control.Released() is false;
//     the owner can be released only inside an observer, that is only
//     inside control.Report, or from another thread that then waits for
//     the work. After a Report the work checks Released before touching
//     the owner again.
//   - Wait blocks until the final report has been delivered (OnEnd has
//     returned) and gives it. Never from inside an observer: there it
//     returns at once with the report as it stands (Running).

#include "platform/export.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tarvelin {

struct JobProgress {
    double fraction = 0.0; // of the work done, 0 to 1
    std::string message;   // what is being done now; may be empty
};

enum class JobState { Running, Done, Failed, Cancelled };

struct JobReport {
    JobState state = JobState::Running;
    std::string reason; // why it failed; empty otherwise

    static JobReport Done() { return {JobState::Done, {}}; }
    static JobReport Failed(std::string why) { return {JobState::Failed, std::move(why)}; }
    static JobReport Cancelled() { return {JobState::Cancelled, {}}; }
};

class JobControl;

class TARVELIN_API Job {
public:
    using Work = std::function<JobReport(JobControl&)>;
    using OnProgress = std::function<bool(const JobProgress&)>;
    using OnEnd = std::function<void(const JobReport&)>;

    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job();

    // Starts the work on a new thread; either observer may be empty. False,
    // with why, while an earlier run is still running or when no thread can
    // be started. A finished earlier run is joined first. The work begins
    // only once Start is done with the Job, so an observer may release it,
    // or destroy its owner, from the very first report; the caller then
    // touches neither after Start returns true.
    bool Start(Work work, OnProgress onProgress, OnEnd onEnd, std::string* why);
    // The same run on the calling thread, which the observers then run on
    // too: returns the final report once OnEnd has returned (Failed when an
    // earlier run is still running). Cancel and Wait work from other
    // threads meanwhile; the owner is not released while it runs.
    JobReport RunHere(Work work, OnProgress onProgress, OnEnd onEnd);
    // From Start until the work has returned.
    bool Running() const;
    // Asks the work to stop; it ends Cancelled when it notices.
    void Cancel();
    // The final report, once delivered; see above.
    JobReport Wait();
    // See above; the job can be started again afterwards.
    void Release();

    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// What the work of a job is handed.
class TARVELIN_API JobControl {
public:
    explicit JobControl(Job::State& state) : state_(state) {}
    // Hands a report to OnProgress; false when the work should stop (a
    // cancel, or the job was released, possibly inside this call).
    bool Report(const JobProgress& progress);
    bool Report(double fraction) { return Report(JobProgress{fraction, {}}); }
    bool Cancelled() const;
    // The owner is gone or going: the work must not touch it any more.
    bool Released() const;

private:
    Job::State& state_;
};

} // namespace tarvelin
