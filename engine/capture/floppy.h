#pragma once

// CFloppy: single sectors of a diskette, in cylinder, head, sector order,
// from the first floppy drive or from any device or file named with
// SetDevice. CBootImageMaker copies the whole diskette into an image file
// on a worker thread, with the progress protocol of the CD capture
// (cd_rip.h): 0..99 per sector, -2 when complete, -1 after Abort or a
// failed write; -1 and -2 are the last reports, and the callback may
// destroy the component from inside any report. Unread sectors are zero in
// the image; a copy that did not complete leaves no file. Run is Start
// waited for, on the caller's thread.

#include "core/component.h"
#include "core/job.h"
#include "core/progress.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class IFloppy : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Total sectors; the sector size through bytesPerSector when not null.
    virtual std::uint32_t GetGeometry(std::uint32_t* bytesPerSector) = 0;
    virtual bool ReadSector(std::uint32_t index, std::uint8_t* buffer) = 0;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // Before Open: the device or file to read instead of the first drive.
    virtual void SetDevice(const char* path) = 0;
};

class IBootImageMaker : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual bool Start(const char* targetPath, void* context, ProgressFn progress) = 0;
    // Before Start: the device or file to copy (default: the first drive).
    virtual void SetDevice(const char* path) = 0;
    // After the end: how many sectors could not be read.
    virtual std::uint32_t GetUnreadSectorCount() = 0;
    // The same count, and up to max of their indexes into sectors.
    virtual std::uint32_t GetUnreadSectors(std::uint32_t* sectors, std::uint32_t max) = 0;
    // Why the copy failed when the user did not abort it ("" otherwise).
    virtual const char* GetLastError() = 0;
    // The copy of Start, waited for: refuses as Start does, then copies the
    // diskette on this thread, which also gets the questions, and returns
    // once the copy has ended; true when the image is complete. False when
    // refused (the refusal is shown as Start shows it), when a copy was
    // started already, the user chose Abort, progress answered false, or
    // the target could not be written; GetLastError says why in the second
    // and the last case, and an image that is not complete is gone when
    // Run returns. progress, if given,
    // gets the percents 0..99 on this thread, never -1 or -2. Not from
    // inside a callback of this component, and the component is not
    // destroyed from inside progress.
    virtual bool Run(const char* targetPath, void* context, ProgressFn progress) = 0;
    // Start with the job's own reports in place of the percents, as
    // ICdRip::PrepareJob has them.
    virtual bool StartJob(const char* targetPath, Job::OnProgress onProgress, Job::OnEnd onEnd) = 0;
};

// Test seam: a sector read this function answers true for fails.
using FloppyReadFault = bool (*)(std::uint32_t index);
TARVELIN_API FloppyReadFault SetFloppyReadFault(FloppyReadFault fault);

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IFloppy, Floppy1, Floppy2)
TARVELIN_DECLARE_FACTORIES(tarvelin::IBootImageMaker, Make1, Make2)
