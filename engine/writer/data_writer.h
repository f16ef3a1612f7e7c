#pragma once

// File data of an image. Directories list files first, then subdirectories;
// the data follows the same order directory by directory, depth first.
//
// CBuildData (new images) places every file of the source tree in a layout
// pass (Build) and later copies each file from disk into the output stream
// (Write), in the same order, so the output never seeks.
//
// CIsoData (in-place saves of an edited image) writes, from a start sector
// behind everything the image holds, every file whose data is not in the
// image yet and every file of the image that the new metadata will cover,
// and leaves the others where they are.

#include "core/component.h"
#include "core/progress.h"
#include "core/registry.h"
#include "iso/volume_space.h"

#include <cstdint>

namespace tarvelin {

class IMacroList;
class IOutFile;
class IIsoDirEdit;
class IIsoSector;

class IBuildData : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Layout pass: gives every non-empty file its extent from startSector on
    // (empty files get extent 0 and no sector) and stores it in the tree.
    // Files of 4 GiB or more are refused unless mode carries kBuildUdf.
    virtual void Build(std::uint32_t mode, IMacroList* tree, std::uint32_t startSector) = 0;
    // Copy pass: out must stand at startSector. Before the data of each
    // non-empty file, and every few dozen MiB within a large one, callback
    // gets (context, sector about to be written x 1000 / totalSectors). A
    // false answer stops at once: nothing more is copied and neither the
    // tree nor out is touched again. Each file fills exactly the sectors the
    // layout gave it, cut or padded with zeros when its length changed since
    // it was added (a warning says so). True when every file was written;
    // false when cancelled (IsCancelled) or failed (GetLastError).
    virtual bool Write(IMacroList* tree, std::uint32_t startSector, IOutFile* out, std::uint32_t totalSectors,
                       void* context, ProgressFn callback) = 0;
    // The first sector behind all data.
    virtual std::uint32_t GetEndSector() = 0;

    virtual const char* GetLastError() = 0;
    virtual bool IsCancelled() = 0;
    // Files whose length changed between layout and copy.
    virtual std::uint32_t GetWarningCount() = 0;
    virtual const char* GetWarning(std::uint32_t index) = 0;
};

// Free sectors the write pass fills before it appends: each file it writes
// goes whole into the first run that holds it.
//   compact:  every file of the image in one extent moves too, in the order
//             of its old place, into the lowest room that holds it and never
//             higher than it was, so that no copy reaches data not moved
//             yet; what a moved file leaves is room for the files after it.
//   fillHoles: when nothing was appended, every file of the image that a
//             free run wholly below it holds moves there, lowest first.
//   pullTail: then the files that end the volume move, highest first, into
//             free runs wholly below them while one holds them, so that the
//             volume can end lower; never below fixedEnd (what cannot move
//             ends there).
// Files moved by fillHoles and pullTail leave their old places as they are
// (the old metadata refers to them until the save counts).
struct DataPlacement {
    iso::SectorSet free;
    bool compact = false;
    bool fillHoles = false;
    bool pullTail = false;
    std::uint32_t fixedEnd = 0;
};

class IIsoData : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Write pass, after RescueData and before any sector below the image's
    // old end is overwritten: from startSector on, in data order, writes
    // each file from disk or memory and copies each file RescueData marked
    // to its new place (a bounded piece at a time, straight from its old
    // sectors), and gives each its extent; files left in place keep theirs.
    // A new boot image file (bootMark, from disk) goes to the place given
    // by SetBootImagePlace instead, after all the others, since that place
    // may be where rescued files lay. After each file the callback gets
    // (context, files written x 100 / files to write); its answer is not
    // used: the metadata written next depends on this pass. True when every
    // file was written; false, with GetLastError, on the first failure (the
    // tree then holds a mix of old and new extents: the caller puts back
    // the entries it kept).
    virtual bool WriteData(IIsoDirEdit* tree, std::uint32_t startSector, IIsoSector* sector, void* context,
                           ProgressFn callback) = 0;
    // Rescue pass: marks for moving every file of the image whose data
    // touches a sector from 16 up to moveLimit (the new metadata goes
    // there), and counts the files the write pass will write. Nothing is
    // read yet. False, with GetLastError, for a file that must move but
    // cannot be recorded in one extent (4 GiB or more).
    virtual bool RescueData(IIsoSector* sector, IIsoDirEdit* tree, std::uint32_t moveLimit) = 0;
    // The first sector behind everything the write pass wrote.
    virtual std::uint32_t GetEndSector() = 0;
    // Sectors of files that fillHoles and pullTail moved in the last write pass.
    virtual std::uint64_t GetMovedDownSectors() = 0;
    // Where the write pass put (or left) the boot image file (bootMark);
    // 0 when the tree has none.
    virtual std::uint32_t GetBootInfo(std::uint32_t& bootSize) = 0;
    // The size of the file whose extent is bootSector (0 when none).
    virtual std::uint32_t FindBootImageSize(IIsoDirEdit* tree, std::uint32_t bootSector) = 0;

    // Where the write pass puts data (for the next RescueData and WriteData).
    // The default is DataPlacement{}: everything appended.
    virtual void SetPlacement(const DataPlacement& placement) = 0;
    // The sectors reserved for a boot image file loaded from disk; 0 (the
    // default) writes it in data order like any other file.
    virtual void SetBootImagePlace(std::uint32_t sector) = 0;
    // Files counted by RescueData, of which so many were marked for moving.
    virtual std::uint32_t GetFileCount() = 0;
    virtual std::uint32_t GetRescueCount() = 0;
    virtual const char* GetLastError() = 0;
    // Files whose length on disk changed since they were added.
    virtual std::uint32_t GetWarningCount() = 0;
    virtual const char* GetWarning(std::uint32_t index) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBuildData, NEW_DATANEW, NEW_00_DATANEW)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoData, Data1, Data2)
