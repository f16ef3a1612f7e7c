#pragma once

// Geometry of a floppy drive or of a file holding a diskette's sectors.

#include "platform/export.h"

#include <cstdint>
#include <string>

namespace tarvelin::platform {

struct FloppyGeometry {
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
};

// The floppy driver's parameters for a floppy device; for a regular file,
// the standard diskette format of its length (a file of another length is
// one track of 512-byte sectors). False when neither can be learnt.
TARVELIN_API bool QueryFloppyGeometry(const std::string& path, FloppyGeometry& geometry);
// The geometry of a diskette image file of length bytes: the standard
// format of that length, else one track of 512-byte sectors.
TARVELIN_API bool FloppyGeometryOfFile(std::uint64_t length, FloppyGeometry& geometry);
// The system's first floppy drive.
TARVELIN_API const char* FirstFloppyDevice();

} // namespace tarvelin::platform
