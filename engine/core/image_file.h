#pragma once

// CImageFile: the file underneath an opened image. Opens an image file of any
// kind for reading and writing (read-only when writing is not allowed),
// follows a CUE sheet to the data file it names, and offers positioned byte
// reads and writes. It knows nothing of sectors.

#include "core/component.h"
#include "core/registry.h"

#include <cstdint>
#include <string>

namespace tarvelin {

// The path of the data file behind an image path: for a CUE sheet (a path
// ending in ".cue" or ".CUE") the file its first FILE entry names (beside the
// sheet unless the entry holds a path); any other path stands for itself.
// False, with the reason in error, when a sheet cannot be read or names none.
TARVELIN_API bool ResolveImagePath(const std::string& path, std::string& dataPath, std::string& error);

class IImageFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Resolves a CUE sheet, then opens the file: read-write when allowed,
    // else read-only. A missing file is never created.
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
    // The path of the data file actually opened (behind a CUE sheet).
    virtual const char* GetPath() = 0;
    // Why the last failing operation failed; empty when nothing failed.
    virtual const char* GetLastError() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IImageFile, RwFile1, RwFile2)
