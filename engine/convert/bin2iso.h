#pragma once

// Image to ISO: CBin2Iso turns an image of any layout the image reader
// recognises (raw 2352-byte Mode 1 or Mode 2 Form 1 sectors, plain 2048-byte
// sectors, sectors behind a header or of another size) into a plain ISO
// image: the 2048 user-data bytes of every logical sector from 0 on, back to
// back. The conversion runs on the caller's thread.
//
// Built from two CBin2IsoSectorFile (source and target); the source reads
// through a CMappedFile (convert/mapped_file.h) and the target writes
// through the output file of core/out_file.h: CBin2IsoOutFile is that
// same component (COutFile) under the names NEW_OUTFILE_BIN2ISO and
// NEW_00_OUTFILE_BIN2ISO.

#include "core/component.h"
#include "core/job.h"
#include "core/iso_sector.h"
#include "core/progress.h"
#include "core/registry.h"
#include "core/out_file.h"

#include <cstdint>

namespace tarvelin {

class IBin2IsoSectorFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Maps the image (a CUE sheet is followed to its data file) and detects
    // its layout; false when it cannot be opened or holds no volume.
    virtual bool OpenSource(const char* path) = 0;
    // The 2048 user-data bytes of a logical sector; bytes that the layout
    // places outside the file read as zeros. False when no source is open.
    virtual bool ReadSector(std::uint32_t sector, std::uint8_t* out) = 0;
    // Creates the output file under its temporary name; an existing file of
    // that name is replaced only by the completed conversion.
    virtual bool OpenTarget(const char* path) = 0;
    // Appends 2048 bytes to the output; false (with GetLastError) when the
    // write fails.
    virtual bool WriteSector(const std::uint8_t* data) = 0;
    // Logical sectors 0 .. N-1 of the source: those whose user data starts
    // inside the file, as the detected layout places them.
    virtual std::uint32_t GetSectorCount() = 0;

    // count sectors from first on into count * 2048 bytes, as ReadSector.
    virtual bool ReadSectors(std::uint32_t first, std::uint32_t count, std::uint8_t* out) = 0;
    // Appends count * 2048 bytes.
    virtual bool WriteSectors(const std::uint8_t* data, std::uint32_t count) = 0;
    // Closes the finished output.
    virtual bool CloseTarget() = 0;
    // Closes the output and removes it: an unfinished ISO is not left behind.
    virtual void AbandonTarget() = 0;
    virtual ImageLayout GetLayout() = 0;
    virtual LayoutProbe GetLayoutProbe() = 0;
    // Why OpenSource failed.
    virtual ImageOpenError GetOpenError() = 0;
    virtual const char* GetLastError() = 0;
};

class IBin2Iso : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual bool OpenSource(const char* path) = 0;
    virtual bool OpenTarget(const char* path) = 0;
    // Writes every logical sector of the source to the target and returns
    // when done. Progress: 0 .. 100 percent of the sectors written, then
    // kConvertDone when the ISO is complete, or kConvertFailed when the conversion failed or was
    // stopped (GetLastError says why); the output is then removed. A false
    // answer to a percent report stops the conversion. progress may be null.
    virtual bool Convert(void* context, ProgressFn progress) = 0;

    // Sectors the conversion writes (known once the source is open).
    virtual std::uint32_t GetSectorCount() = 0;
    virtual ImageOpenError GetOpenError() = 0;
    virtual const char* GetLastError() = 0;
    // Convert with the job's own reports: the fraction of the sectors
    // written (a false answer stops the conversion), on this thread; gives
    // how it ended, Failed with the reason GetLastError also gives. The
    // output is removed unless Done.
    virtual JobReport RunJob(Job::OnProgress onProgress) = 0;
    // Empty, or a warning about the source that its output will share: an
    // image that ends before its volume does converts to an ISO as short.
    // Known once the source is open. After a conversion, the raw sectors
    // it found damaged (see IIsoSector::GetDamagedSectors) are added
    // behind it, after "; " where it said something before.
    virtual const char* GetSourceWarning() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBin2Iso, Bin2ISO1, Bin2ISO2)
TARVELIN_DECLARE_FACTORIES(tarvelin::IBin2IsoSectorFile, NEW_ISOSECTORFILE_BIN2ISO, NEW_00_ISOSECTORFILE_BIN2ISO)
TARVELIN_DECLARE_FACTORIES(tarvelin::IOutFile, NEW_OUTFILE_BIN2ISO, NEW_00_OUTFILE_BIN2ISO)
