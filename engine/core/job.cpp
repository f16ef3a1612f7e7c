#include "core/job.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

namespace tarvelin {

// One run of a job, shared by the Job and its thread, so that the thread
// can finish after the Job is gone.
struct Job::State {
    Work work;
    OnProgress onProgress;
    OnEnd onEnd;
    std::atomic<bool> cancel{false};
    std::atomic<bool> released{false};
    std::atomic<JobState> state{JobState::Running};

    std::mutex mutex;
    std::condition_variable ended;
    // Start has finished with the Job: until then the thread waits, as an
    // observer may release or destroy the Job the moment the work runs.
    bool started = false;
    std::condition_variable startedChanged;
    bool delivered = false; // OnEnd has returned (or was skipped)
    std::atomic<std::thread::id> runner{}; // the thread the work runs on
    JobReport report;
};

namespace {

// The work and the final report, on whichever thread runs the job.
void Perform(Job::State* state)
{
    state->runner = std::this_thread::get_id();
    JobControl control(*state);
    JobReport report;
    try {
        report = state->work(control);
    } catch (const std::exception& failure) {
        report = JobReport::Failed(failure.what());
    }
    if (report.state == JobState::Running) {
        report = JobReport::Failed("the work ended without saying how");
    } else if (report.state == JobState::Failed && report.reason.empty()) {
        report.reason = "the work failed without saying why";
    }
    {
        const std::lock_guard lock(state->mutex);
        state->report = report;
    }
    state->state = report.state;
    // Released inside an observer or from another thread: nobody to tell.
    if (!state->released && state->onEnd) {
        state->onEnd(report); // may release the job, even destroy it
    }
    {
        const std::lock_guard lock(state->mutex);
        state->delivered = true;
    }
    state->ended.notify_all();
}

// Joins the thread of an earlier run, which has ended.
void LetEarlierRunGo(std::thread& thread)
{
    if (thread.joinable()) {
        // From inside the run's OnEnd its thread is this one and finishes
        // on its own.
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

void Run(const std::shared_ptr<Job::State> state)
{
    {
        std::unique_lock lock(state->mutex);
        state->startedChanged.wait(lock, [&state] { return state->started; });
    }
    Perform(state.get());
}

} // namespace

Job::~Job()
{
    Release();
}

bool Job::Start(Work work, OnProgress onProgress, OnEnd onEnd, std::string* why)
{
    if (Running()) {
        if (why != nullptr) {
            *why = "the job is already running";
        }
        return false;
    }
    LetEarlierRunGo(thread_);
    auto state = std::make_shared<State>();
    state->work = std::move(work);
    state->onProgress = std::move(onProgress);
    state->onEnd = std::move(onEnd);
    try {
        thread_ = std::thread(Run, state);
    } catch (const std::system_error& failure) {
        state_.reset();
        if (why != nullptr) {
            *why = std::string("cannot start a thread: ") + failure.what();
        }
        return false;
    }
    state_ = state;
    // From here on the Job may be gone at any moment (an observer may
    // destroy its owner): only the run's state is touched.
    {
        const std::lock_guard lock(state->mutex);
        state->started = true;
    }
    state->startedChanged.notify_all();
    return true;
}

JobReport Job::RunHere(Work work, OnProgress onProgress, OnEnd onEnd)
{
    if (Running()) {
        return JobReport::Failed("the job is already running");
    }
    LetEarlierRunGo(thread_);
    auto state = std::make_shared<State>();
    state->work = std::move(work);
    state->onProgress = std::move(onProgress);
    state->onEnd = std::move(onEnd);
    state->started = true;
    state_ = state;
    Perform(state.get());
    const std::lock_guard lock(state->mutex);
    return state->report;
}

bool Job::Running() const
{
    return state_ != nullptr && state_->state == JobState::Running;
}

void Job::Cancel()
{
    if (state_ != nullptr) {
        state_->cancel = true;
    }
}

JobReport Job::Wait()
{
    if (state_ == nullptr) {
        return JobReport::Failed("the job was never started");
    }
    if (state_->runner.load() == std::this_thread::get_id()) {
        const std::lock_guard lock(state_->mutex);
        return state_->delivered ? state_->report : JobReport{};
    }
    JobReport report;
    {
        std::unique_lock lock(state_->mutex);
        state_->ended.wait(lock, [this] { return state_->delivered; });
        report = state_->report;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    return report;
}

void Job::Release()
{
    if (state_ != nullptr) {
        state_->released = true;
        state_->cancel = true;
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    state_.reset();
}

bool JobControl::Report(const JobProgress& progress)
{
    if (state_.cancel) {
        return false;
    }
    if (state_.onProgress && !state_.onProgress(progress)) {
        state_.cancel = true;
    }
    return !state_.cancel;
}

bool JobControl::Cancelled() const
{
    return state_.cancel;
}

bool JobControl::Released() const
{
    return state_.released;
}

} // namespace tarvelin
