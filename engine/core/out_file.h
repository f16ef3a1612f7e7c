#pragma once

// COutFile: the output file of a new image or a conversion, written as one
// forward stream under a temporary name beside the final one (see
// platform/atomic_output.h) and put in place by Close once it is complete.
// A failed write is reported, with its reason, and the caller removes the
// partial output with Abandon; an output neither closed nor abandoned is
// removed when the component goes.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

namespace platform {
class File;
}

class IOutFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Creates the temporary file for reading and writing. A file of that
    // name is replaced only by Close (through a symbolic link, the file it
    // leads to); a device or pipe is written directly.
    virtual bool Open(const char* path) = 0;
    // Writes at the current position; false (with GetLastError) on failure.
    virtual bool Write(const void* bytes, std::uint32_t count) = 0;
    // The buffer's whole contents; an empty buffer writes nothing and succeeds.
    virtual bool WriteBuffer(CByteBuffer& buffer) = 0;

    // Flushes the file to the device and renames it into place; false, with
    // GetLastError, when that fails (the output is then removed).
    virtual bool Close() = 0;
    // Closes the file and removes it: the output of a build or conversion
    // that did not finish is not left behind as if it were an image.
    virtual void Abandon() = 0;
    virtual std::uint64_t GetBytesWritten() = 0;
    virtual const char* GetLastError() = 0;
    // Appends count bytes of source from its current position, copied by
    // the system where it can; copied says how many (fewer, with true, when
    // the source ends first). False, with GetLastError, on a failed read or
    // write.
    virtual bool WriteFrom(platform::File& source, std::uint64_t count, std::uint64_t& copied) = 0;
    // The file being written until Close, and the name Close gives it (a
    // link's target where the name was a link); empty before Open.
    virtual const char* GetWritingPath() = 0;
    virtual const char* GetFinalPath() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IOutFile, OutFile1, OutFile2)
