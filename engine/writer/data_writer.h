#pragma once

// File data of a new image. CBuildData places every file of the source tree
// in a layout pass (Build) and later copies each file from disk into the
// output stream (Write), in the same order, so the output never seeks.
// Directories list files first, then subdirectories; the data follows the
// same order directory by directory, depth first.

#include "core/component.h"
#include "core/progress.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class IMacroList;
class IOutFile;

class IBuildData : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Layout pass: gives every non-empty file its extent from startSector on
    // (empty files get extent 0 and no sector) and stores it in the tree.
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

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBuildData, NEW_DATANEW, NEW_00_DATANEW)
