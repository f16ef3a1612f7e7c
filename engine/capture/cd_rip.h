#pragma once

// CCdRip: copies the data track of a single-track CD into an ISO image
// (2048 bytes per sector). Prepare checks the disc, the free space and the
// target and says why it cannot go on; Start runs a worker that reads 24
// sectors at a time, falls back to single sectors with retries at the
// lowest speed, and asks the user (through platform::Ask) about sectors
// that stay unreadable.
//
// Progress (on the worker thread): 0..99 before each chunk is written;
// -2 when the ISO is complete; -1 when the capture failed (the user chose
// Abort, or the target could not be written). -1 and -2 are the last
// reports. A false answer to any other report stops the capture, with no
// further report. The callback may destroy the component from inside any
// report (capture_job.h says how that ends); destroying it from another
// thread waits for the worker to end. A capture that did not complete
// leaves no file.
// Sectors that could not be read are zero in the ISO and listed by
// GetUnreadSectors.
// Run is Start waited for: the capture runs on the caller's thread, which
// also gets the questions, and Run returns once it has ended.

#include "core/component.h"
#include "core/job.h"
#include "core/progress.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class ICdRip : public CComponent {
public:
    static constexpr std::int32_t kAborted = kCaptureAborted;
    static constexpr std::int32_t kFinished = kCaptureFinished;

    virtual bool Reserved() = 0;
    virtual bool Prepare(const char* targetPath, char driveLetter, void* context, ProgressFn progress) = 0;
    virtual void Start() = 0;
    virtual std::uint32_t GetSectorCount() = 0;
    // letters must hold 23 letters.
    virtual std::uint32_t ListDrives(char* letters) = 0;
    // After the end of the capture: how many sectors were not read, and
    // their addresses (up to max of them into lbas).
    virtual std::uint32_t GetUnreadSectors(std::uint32_t* lbas, std::uint32_t max) = 0;
    // After the end of the capture: how many of the sectors read were Mode 2
    // Form 2 sectors (2324 bytes of data, such as a Video CD's video), of
    // which the ISO holds only the first 2048 bytes each.
    virtual std::uint32_t GetForm2SectorCount() = 0;
    // Why the last capture failed when the user did not abort it ("" otherwise).
    virtual const char* GetLastError() = 0;
    // The capture of Start, waited for: after a successful Prepare, copies
    // the disc on this thread and returns once the capture has ended; true
    // when the ISO is complete. False when nothing was prepared or the
    // capture was started already, the user chose Abort, progress answered
    // false, or the target could not be written; GetLastError says why
    // unless the user stopped it, and an ISO that is not complete is gone
    // when Run returns. progress, if given, gets the percents
    // 0..99 on this thread, never -1 or -2; the callback given to Prepare
    // is not called. Not from inside a callback of this component, and the
    // component is not destroyed from inside progress.
    virtual bool Run(void* context, ProgressFn progress) = 0;
    // Prepare with the job's own reports in place of the percents: the
    // fraction of the disc copied (a false answer stops the capture), then
    // how it ended: Done with the ISO complete, Failed when the user chose
    // Abort (no reason) or the target could not be written (the reason),
    // Cancelled when stopped by a false answer. The observers run on the
    // capture's thread and may destroy the component, as the callback may.
    virtual bool PrepareJob(const char* targetPath, char driveLetter, Job::OnProgress onProgress,
                            Job::OnEnd onEnd) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::ICdRip, Rip1, Rip2)
