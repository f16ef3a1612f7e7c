#include "capture/capture_job.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace tarvelin::capture {

namespace {
// The job whose worker runs on this thread, so that a release from inside
// a report knows it is on the worker.
thread_local const CaptureJob* workerJob = nullptr;
} // namespace

void CaptureJob::Launch(std::shared_ptr<CaptureJob> job)
{
    // Set before the thread starts: the worker may end, and the component
    // be released from its last report, before this call returns.
    job->launched_ = true;
    try {
        std::thread(&CaptureJob::RunWorker, job).detach();
    } catch (const std::system_error&) {
        job->launched_ = false;
        job->SetLastError("Can not start the capture thread. ");
        job->ReportEnd(kAborted);
    }
}

void CaptureJob::RunWorker(std::shared_ptr<CaptureJob> job)
{
    workerJob = job.get();
    job->Work();
    workerJob = nullptr;
    if (job->ownerGone_) {
        job->CloseOnce();
    }
    {
        std::lock_guard lock(job->endMutex_);
        job->ended_ = true;
    }
    job->endChanged_.notify_all();
    // The reference held here may be the last one.
}

void CaptureJob::Release(std::shared_ptr<CaptureJob> job)
{
    if (job == nullptr) {
        return;
    }
    if (!job->launched_) {
        job->CloseOnce();
    } else if (workerJob == job.get()) {
        if (job->lastReportMade_) {
            job->CloseOnce();
        } else {
            job->ownerGone_ = true;
        }
    } else {
        std::unique_lock lock(job->endMutex_);
        job->endChanged_.wait(lock, [&job] { return job->ended_; });
        lock.unlock();
        job->CloseOnce();
    }
}

bool CaptureJob::Report(std::int32_t value)
{
    return progress_(context_, value) && !ownerGone_;
}

void CaptureJob::ReportEnd(std::int32_t value)
{
    complete_ = value == kFinished;
    lastReportMade_ = true;
    progress_(context_, value);
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
