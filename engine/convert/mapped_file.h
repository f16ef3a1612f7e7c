#pragma once

// CMappedFile: the source reader of both conversions, a read-only mapped
// view of a whole file with a current position. The file is held for shared
// use while mapped, so the same file cannot be opened as the conversion's
// output (which is held exclusively) and truncated under the view.

#include "core/component.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class IMappedFile : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Maps the whole file as it is named (CUE sheets are resolved by the
    // callers); false, with GetLastError, when it cannot be opened or mapped.
    virtual bool Open(const char* path) = 0;
    // Sets the current position; false beyond the size (the size itself is
    // a valid position, where reads return nothing).
    virtual bool Seek(std::uint64_t position) = 0;
    // ReadAt the current position.
    virtual std::uint32_t Read(void* buffer, std::uint32_t count) = 0;
    // Copies min(count, size - position) bytes (none at or beyond the size),
    // leaves the current position behind them and returns how many.
    virtual std::uint32_t ReadAt(std::uint64_t position, void* buffer, std::uint32_t count) = 0;
    virtual std::uint64_t GetSize() = 0;

    // The whole file, GetSize() bytes; null when nothing is mapped (also for
    // an empty file). Valid until the component is destroyed or reopened.
    virtual const std::uint8_t* GetView() = 0;
    virtual const char* GetLastError() = 0;
};

} // namespace tarvelin

// One class under the names of both conversions.
TARVELIN_DECLARE_FACTORIES(tarvelin::IMappedFile, NEW_READFILEMAP_BIN2ISO, NEW_00_READFILEMAP_BIN2ISO)
TARVELIN_DECLARE_FACTORIES(tarvelin::IMappedFile, NEW_READFILEMAP_ISO2BIN, NEW_00_READFILEMAP_ISO2BIN)
