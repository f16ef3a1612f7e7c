#pragma once

// CImageFile: the file underneath an opened image. Opens an image file of any
// kind for reading and writing (read-only when writing is not allowed),
// follows a CUE sheet to the data file it names, and offers positioned byte
// reads and writes. It knows nothing of sectors.
//
// An in-place save of the image is made all-or-nothing here: between
// BeginSave and CommitSave every write first keeps the bytes it replaces in
// an undo journal beside the data file (ImageJournal), RollbackSave puts
// them back, and Open rolls back a save that a crash interrupted.

#include "core/component.h"
#include "core/registry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelin {

// The path of the data file behind an image path: for a CUE sheet (a path
// ending in ".cue" or ".CUE") the file its first data track is in, or the
// first FILE entry's when no track is of data (read against the sheet's
// folder unless the entry's path has a root); any other path stands for
// itself. A name missing as written is read as a Windows
// path (a backslash parts folders), and each part still missing is the one
// entry of its folder that matches it but for case.
// False, with the reason in error, when a sheet cannot be read, names none,
// or names a part that several entries match but for case.
TARVELIN_API bool ResolveImagePath(const std::string& path, std::string& dataPath, std::string& error);
// Where the first data track (MODE1 or MODE2) of a CUE sheet lies in the
// file that holds it: the byte its INDEX 01 starts at (audio tracks and
// pregaps may come first) and, when further tracks follow it in that file
// (a mixed-mode disc: data, then audio), the byte where the next track's
// first INDEX starts. Tracks of the data track's own type right behind it
// (the video tracks of a Video CD, which its volume lists) belong to it. ResolveImagePath gives that file. Nothing for any
// other path, or a sheet without a data track or that cannot be read.
// discSector is the INDEX 01 position as a sector of the disc, when the
// file holding it is the sheet's first (0 otherwise: the sheet does not say).
struct CueDataTrack {
    std::string fileName; // as the FILE entry names it
    std::uint64_t start = 0;
    std::uint32_t discSector = 0;
    std::optional<std::uint64_t> end;
};
TARVELIN_API std::optional<CueDataTrack> CueDataTrackOf(const std::string& path);
// Whether path is a CUE sheet with more than one TRACK entry.
bool CueSheetListsFurtherTracks(const std::string& path);
// The warning for an image opened through a CUE sheet that names no data
// track it can be followed to (only audio tracks, an INDEX that is no time,
// a track type not known in front of the data): its first file was read
// whole and its volume found by what the file holds. Empty for any other
// path.
TARVELIN_API std::string UnfollowedCueSheetWarning(const std::string& path);
// Why no volume is found where a sheet puts its data track, when that is
// because the file holding it is shorter than the sheet says: the track
// starts at or behind the file's end. Empty otherwise.
std::string DataTrackBeyondEnd(const std::optional<CueDataTrack>& track, const std::string& dataPath,
                               std::uint64_t fileLength);
// The sheet at path for a copy of its one data file named newDataName: the
// same text, tracks, modes and indexes, with the FILE entry naming the copy.
// Nothing for a sheet that names several files (their tracks would not come
// with the copy), or that cannot be read.
TARVELIN_API std::optional<std::string> CueSheetForCopy(const std::string& path, std::string_view newDataName);

// Test facility, not for use by programs: when set, every write to an image
// file (Write and WriteAt of any CImageFile of the process) calls the hook
// first; a false answer makes that write fail as a device error would, with
// nothing written. The fault-injection tests use it to fail or end the
// process at the k-th write of a save. Null (the default) turns it off.
using ImageWriteFaultHook = bool (*)();
TARVELIN_API void SetImageWriteFaultHook(ImageWriteFaultHook hook);

class IImageFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Resolves a CUE sheet, then opens the file: read-write when allowed,
    // else read-only. A missing file is never created. A save that was
    // interrupted is rolled back first; when that cannot be done (an image
    // that can only be read) Open fails and says why.
    virtual bool Open(const char* path) = 0;
    virtual bool SeekToEnd() = 0;
    virtual bool Seek(std::uint64_t position) = 0;
    // Bytes read at the current position (0 at the end of the file).
    virtual std::uint32_t Read(void* buffer, std::uint32_t count) = 0;
    virtual std::uint32_t ReadAt(std::uint64_t position, void* buffer, std::uint32_t count) = 0;
    virtual std::uint64_t GetLength() = 0;
    // Writes at the current position; false when the write failed (also on
    // a file opened read-only).
    virtual bool Write(const void* buffer, std::uint32_t count) = 0;

    // Positioned write that leaves the current position alone.
    virtual bool WriteAt(std::uint64_t position, const void* buffer, std::uint32_t count) = 0;
    // Pushes written data to the device.
    virtual bool Flush() = 0;
    // True when the file could be opened for reading only.
    virtual bool IsReadOnly() = 0;
    // Why it could not be opened for writing ("Read-only file system",
    // "Permission denied"); empty when it could.
    virtual const char* GetReadOnlyReason() = 0;
    // The path of the data file actually opened (behind a CUE sheet).
    virtual const char* GetPath() = 0;
    // Why the last failing operation failed; empty when nothing failed.
    virtual const char* GetLastError() = 0;

    // Starts an in-place save: creates and flushes the undo journal. From
    // here every write keeps the bytes it replaces below the file's present
    // length first; writes beyond it need no keeping (a rollback cuts the
    // file back). False, with the reason, when the file is read-only or the
    // journal cannot be made (or an earlier save is still open).
    virtual bool BeginSave() = 0;
    // Flushes the file and removes the journal: from then on the new
    // contents are the image.
    virtual bool CommitSave() = 0;
    // Restores every byte the save replaced and the file's old length.
    virtual bool RollbackSave() = 0;
    virtual bool IsSaving() = 0;
    // True when Open found the journal of an interrupted save and rolled
    // the image back to what it was before that save.
    virtual bool WasRecovered() = 0;
    // During a save: the bytes of [position, position + count) are free
    // space nothing refers to, so writes there keep no undo copy of them.
    virtual bool ForgoUndo(std::uint64_t position, std::uint64_t count) = 0;
    // During a save: keeps the undo copy of a whole range about to be
    // overwritten at once (one flush of the undo file instead of one per
    // write).
    virtual bool ProtectAhead(std::uint64_t position, std::uint64_t count) = 0;
    // Cuts the file to length bytes; refused while a save is under way (its
    // rollback could not give the cut bytes back).
    virtual bool Truncate(std::uint64_t length) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IImageFile, RwFile1, RwFile2)
