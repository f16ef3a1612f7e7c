#include "capture/capture_job.h"

#include <algorithm>
#include <cmath>

namespace tarvelin::capture {

namespace {

// The progress protocol of cd_rip.h over the job's reports: whole percents,
// a false answer stopping the capture with no further report.
Job::OnProgress Percents(void* context, ProgressFn progress)
{
    if (progress == nullptr) {
        return {};
    }
    return [context, progress](const JobProgress& done) {
        return progress(context, ScaledProgress(done.fraction));
    };
}

} // namespace

CaptureObservers PercentObservers(void* context, ProgressFn progress)
{
    if (progress == nullptr) {
        return {};
    }
    return {Percents(context, progress), [context, progress](const JobReport& end) {
                if (end.state != JobState::Cancelled) {
                    progress(context, end.state == JobState::Done ? CaptureJob::kFinished : CaptureJob::kAborted);
                }
            }};
}

void CaptureJob::Launch(Job& worker, std::shared_ptr<CaptureJob> job)
{
    // Set before the thread starts: the worker may end, and the component
    // be released from its last report, before this call returns.
    job->launched_ = true;
    CaptureJob* const record = job.get();
    const CaptureObservers observers = record->observers_;
    std::string why;
    if (!worker.Start([job](JobControl& control) { return job->Run(control); }, observers.onProgress,
                      observers.onEnd, &why)) {
        record->launched_ = false;
        record->SetLastError("Can not start the capture thread. ");
        record->complete_ = false;
        if (observers.onEnd) {
            observers.onEnd(JobReport::Failed(record->GetLastError()));
        }
    }
}

bool CaptureJob::RunHere(Job& worker, CaptureJob& job, void* context, ProgressFn progress)
{
    if (job.launched_ || worker.Running()) {
        return false;
    }
    const JobReport end =
        worker.RunHere([&job](JobControl& control) { return job.Run(control); }, Percents(context, progress), {});
    job.CloseOnce(); // removes the target unless it is complete
    return end.state == JobState::Done;
}

JobReport CaptureJob::Run(JobControl& control)
{
    control_ = &control;
    Work();
    control_ = nullptr;
    if (control.Released()) {
        // The component went inside a report: the worker closes.
        CloseOnce();
        return JobReport::Cancelled();
    }
    if (!ended_) {
        return JobReport::Cancelled(); // stopped by the callback
    }
    return complete_ ? JobReport::Done() : JobReport::Failed(GetLastError());
}

void CaptureJob::Release(Job& worker, std::shared_ptr<CaptureJob> job)
{
    if (job == nullptr) {
        return;
    }
    if (!job->launched_) {
        job->CloseOnce();
        return;
    }
    // Waits for the worker's end, unless made from inside one of its
    // reports, where nothing is waited for.
    const bool ended = worker.Wait().state != JobState::Running;
    const bool lastReport = !ended && !worker.Running();
    worker.Release();
    if (ended || lastReport) {
        job->CloseOnce();
    }
    // Otherwise the worker closes once the report it is in returns.
}

bool CaptureJob::Report(std::int32_t value)
{
    return control_->Report(value / 100.0);
}

void CaptureJob::ReportEnd(std::int32_t value)
{
    complete_ = value == kFinished;
    ended_ = true;
}

void CaptureJob::CloseOnce()
{
    std::call_once(closed_, [this] { Close(!complete_); });
}

std::uint32_t CaptureJob::GetUnreadSectors(std::uint32_t* sectors, std::uint32_t max) const
{
    std::lock_guard lock(mutex_);
    if (sectors != nullptr) {
        std::copy_n(unread_.begin(), std::min<std::size_t>(max, unread_.size()), sectors);
    }
    return static_cast<std::uint32_t>(unread_.size());
}

std::string CaptureJob::GetLastError() const
{
    std::lock_guard lock(mutex_);
    return lastError_;
}

void CaptureJob::NoteUnread(std::uint32_t sector)
{
    std::lock_guard lock(mutex_);
    unread_.push_back(sector);
}

void CaptureJob::SetLastError(const char* reason)
{
    std::lock_guard lock(mutex_);
    lastError_ = reason;
}

} // namespace tarvelin::capture
