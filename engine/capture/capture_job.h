#pragma once

// What a capture component shares with its worker: the device, the target
// file and the record of the capture. The worker runs on a Job
// (core/job.h) that the component owns, on the job's thread (Launch) or
// on the caller's (RunHere); the record is held by the component and by
// the work, and the last one to let go frees it. What follows is about
// Launch.
//
// The callback may release the component from inside any report, and the
// programs in front do so on the last one (-1 or -2), on the worker's own
// thread. Releasing the component:
//   - from another thread waits until the worker has ended, then closes;
//   - from inside the last report closes at once, as the worker touches
//     nothing but the record after that report;
//   - from inside an earlier report leaves the closing to the worker, which
//     stops when that report returns.
// Closing removes the target unless the capture completed, so an aborted,
// stopped or failed capture leaves no partial file behind.

#include "core/job.h"
#include "core/progress.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::capture {

// What a launched capture reports to (core/job.h): the fraction of the
// sectors done, whose false answer stops it, then how it ended (Failed
// with an empty reason when the user chose Abort).
struct CaptureObservers {
    Job::OnProgress onProgress;
    Job::OnEnd onEnd;
};

// The percent protocol of cd_rip.h over the observers: whole percents,
// then kFinished or kAborted unless the callback stopped the capture.
CaptureObservers PercentObservers(void* context, ProgressFn progress);

class CaptureJob {
public:
    static constexpr std::int32_t kAborted = kCaptureAborted;
    static constexpr std::int32_t kFinished = kCaptureFinished;

    virtual ~CaptureJob() = default;
    CaptureJob(const CaptureJob&) = delete;
    CaptureJob& operator=(const CaptureJob&) = delete;

    // Runs Work on worker, the component's job (when no thread can be had,
    // the reason is kept and kAborted reported on this thread). The caller
    // touches neither the record nor its component afterwards: the worker
    // may already have ended and the callback released both.
    static void Launch(Job& worker, std::shared_ptr<CaptureJob> job);
    // The capture waited for: runs Work on this thread, through worker, and
    // closes the device and the target before it returns; true when the
    // target holds the complete image. progress, when given, gets the
    // percents (a false answer stops the capture) and no last report; the
    // observers given to the record are not called. Not for a record that
    // was launched.
    static bool RunHere(Job& worker, CaptureJob& job, void* context, ProgressFn progress);
    // The owning component lets go of its job and record (see above).
    static void Release(Job& worker, std::shared_ptr<CaptureJob> job);

    // Sectors that could not be read, in the order met: the count, and up
    // to max of them into sectors (when not null).
    std::uint32_t GetUnreadSectors(std::uint32_t* sectors, std::uint32_t max) const;
    // Why the capture failed when the user did not abort it ("" otherwise).
    std::string GetLastError() const;

protected:
    explicit CaptureJob(CaptureObservers observers) : observers_(std::move(observers)) {}

    // The worker's body, on the worker thread. It ends with ReportEnd, or
    // returns right after a Report that answered false.
    virtual void Work() = 0;
    // Closes the device and the target, removing the target when asked;
    // runs once, when the worker has nothing left to do with either.
    virtual void Close(bool removeTarget) = 0;

    // A progress report; false when the capture must stop, because the
    // callback said so or the component is gone. Work then returns without
    // another report.
    bool Report(std::int32_t value);
    // The last report: kFinished when the target holds the complete image,
    // kAborted otherwise. Work returns right after it; the report is made
    // once Work has returned.
    void ReportEnd(std::int32_t value);

    void NoteUnread(std::uint32_t sector);
    void SetLastError(const char* reason);

private:
    void CloseOnce();
    // Work, run by the job; how the capture ended.
    JobReport Run(JobControl& control);

    mutable std::mutex mutex_;
    std::vector<std::uint32_t> unread_;
    std::string lastError_;

    const CaptureObservers observers_;
    std::once_flag closed_;
    // Written on the worker thread; read there, or by a release on another
    // thread once the worker has ended.
    JobControl* control_ = nullptr; // while Work runs
    bool ended_ = false;            // ReportEnd was called
    bool complete_ = false;
    // Set before the worker starts, read by Release.
    bool launched_ = false;
};

} // namespace tarvelin::capture
