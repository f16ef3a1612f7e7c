#pragma once

// ISO to BIN: CIso2Bin turns an image of plain 2048-byte sectors into a raw
// image of 2352-byte Mode 1 sectors (core/raw_sector.h) and writes a
// one-track CUE sheet beside it. The conversion runs on a job of its own
// (core/job.h) and reports through the caller's callback.
//
// Built from two CIso2BinSectorFile (source and target); the source reads
// through a CMappedFile (convert/mapped_file.h), the target writes the BIN
// and CUE files through a CIso2BinOutFile.
//
// The CUE sheet, bytes in this order (63 bytes plus the BIN's file name):
//   FILE "<BIN file name>"   BINARY <CR><LF>
//    TRACK 01 MODE1/2352<CR><LF>
//      INDEX 01 00:00:00<CR><LF>    (three blanks in front)
// It names the BIN by its file name alone, so the sheet finds its data file
// beside it wherever the pair is moved; the sheet's own name is the BIN's
// with its extension replaced by ".cue" (".cue" appended when it has none).

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/job.h"
#include "core/iso_sector.h"
#include "core/progress.h"
#include "core/registry.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin {

// The path of the CUE sheet that goes with a BIN file.
TARVELIN_API std::string CueSheetPathFor(std::string_view binPath);
// The text of the CUE sheet for a BIN file.
TARVELIN_API std::string CueSheetText(std::string_view binPath);

class IIso2BinOutFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Creates the BIN file under its temporary name (an existing file of
    // that name is replaced by Close) and remembers its path. Refuses a
    // name that a CUE sheet cannot hold (a double quote or a line break in
    // it) or whose sheet would be the BIN file itself.
    virtual bool Open(const char* path) = 0;
    // Appends to the BIN file; false (with GetLastError) when the write fails.
    virtual bool Write(const void* data, std::uint32_t size) = 0;
    // Appends to the CUE file.
    virtual bool WriteCue(const void* data, std::uint32_t size) = 0;
    virtual bool WriteBuffer(CByteBuffer& buffer) = 0;
    // Creates the CUE file (CueSheetPathFor the BIN path), under its
    // temporary name as well.
    virtual bool CreateCueFile() = 0;

    // Flushes both files and puts them in place, the BIN first; when the
    // BIN fails, neither is left. A CUE sheet that fails after the BIN is in
    // place leaves the BIN (complete) and says so.
    virtual bool Close() = 0;
    // Closes both files and removes them.
    virtual void Abandon() = 0;
    virtual const char* GetCuePath() = 0;
    virtual const char* GetLastError() = 0;
};

class IIso2BinSectorFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Maps the image (a CUE sheet is followed to its data file) and detects
    // its layout; false when it cannot be opened, holds no volume, or does
    // not store its sectors as plain 2048 bytes (a raw image is no ISO).
    virtual bool OpenSource(const char* path) = 0;
    // The 2048 user-data bytes of a logical sector; bytes outside the file
    // read as zeros. False when no source is open.
    virtual bool ReadSector(std::uint32_t sector, std::uint8_t* out) = 0;
    virtual bool OpenTarget(const char* path) = 0;
    virtual bool CreateCueFile() = 0;
    // Encodes the 2048 bytes as the raw Mode 1 sector with that number and
    // appends it to the BIN file.
    virtual bool WriteRawSector(std::uint32_t sector, const std::uint8_t* data) = 0;
    // Appends the 2048 bytes as they are.
    virtual bool WriteSector(const std::uint8_t* data) = 0;
    virtual bool WriteCueText(const char* text, std::uint32_t length) = 0;
    // Logical sectors of the source when it stores 2352-byte sectors, else 0.
    virtual std::uint32_t GetRawSectorCount() = 0;
    // Logical sectors of the source when it stores 2048-byte sectors, else 0:
    // every sector whose user data starts inside the file, so a last partial
    // sector counts.
    virtual std::uint32_t GetSectorCount() = 0;

    virtual bool ReadSectors(std::uint32_t first, std::uint32_t count, std::uint8_t* out) = 0;
    // Appends count raw sectors that the caller has encoded already.
    virtual bool WriteEncodedSectors(const std::uint8_t* rawSectors, std::uint32_t count) = 0;
    virtual bool CloseTarget() = 0;
    virtual void AbandonTarget() = 0;
    virtual const char* GetCuePath() = 0;
    virtual ImageOpenError GetOpenError() = 0;
    virtual const char* GetLastError() = 0;
};

class IIso2Bin : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Starts the worker and returns at once (false, with GetLastError, when
    // the source or target is not open or no thread can be made; nothing is
    // reported then). Once started, Start, OpenSource and OpenTarget return
    // false and change nothing. The worker reports,
    // on its own thread, 0 .. 100 percent of the sectors written, then
    // kConvertDone when the BIN and CUE files are complete, or kConvertFailed
    // when it failed or was stopped by a false answer to a percent report;
    // after kConvertFailed neither file is left behind, but for a complete
    // BIN already in place when its CUE sheet failed (the error says so).
    // progress may be null.
    virtual bool Start(void* context, ProgressFn progress) = 0;
    virtual bool OpenSource(const char* path) = 0;
    virtual bool OpenTarget(const char* path) = 0;

    // True once the worker has made its last report (and touches nothing
    // more of the component).
    virtual bool IsFinished() = 0;
    // Waits for the worker to end; true when it reported kConvertDone. Not to be
    // called from the progress callback.
    virtual bool Wait() = 0;
    // Sectors the conversion writes (known once the source is open).
    virtual std::uint32_t GetSectorCount() = 0;
    // Why OpenSource failed: NoVolume for a file without a volume,
    // CannotOpen for one that cannot be read or is no plain ISO.
    virtual ImageOpenError GetOpenError() = 0;
    // Why the last failing operation, or the worker, failed. Read it once
    // the worker is finished.
    virtual const char* GetLastError() = 0;
    // Start with the job's own reports: the fraction of the sectors written
    // (a false answer stops the conversion), then how it ended, Failed with
    // the reason GetLastError also gives; neither file is left unless
    // Done. The observers run on the worker, and after the final report
    // the worker touches nothing of the component.
    virtual bool StartJob(Job::OnProgress onProgress, Job::OnEnd onEnd) = 0;
    // Empty, or a warning about the source that its output will share: an
    // ISO that ends before its volume does converts to a BIN as short.
    // Known once the source is open.
    virtual const char* GetSourceWarning() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIso2Bin, NEW_ISO2BIN1, NEW_00_ISO2BIN1)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIso2BinSectorFile, NEW_ISOSECTORFILE_ISO2BIN, NEW_00_ISOSECTORFILE_ISO2BIN)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIso2BinOutFile, NEW_OUTFILE_ISO2BIN, NEW_00_OUTFILE_ISO2BIN)
