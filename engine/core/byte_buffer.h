#pragma once

// CByteBuffer: the growable byte buffer in which writers render sectors, the
// editing facade keeps a boot image, and output files are written from. A
// plain class held by value, not a component.

#include "platform/export.h"

#include <cstdarg>
#include <cstdint>

namespace tarvelin {

class TARVELIN_API CByteBuffer {
public:
    explicit CByteBuffer(std::int32_t growth = 256);
    virtual ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    virtual std::uint8_t* GetData();
    virtual const std::uint8_t* GetData() const;
    virtual std::uint32_t GetSize() const;
    virtual bool AppendByte(std::uint8_t value);
    // Four bytes, least significant first.
    virtual bool AppendDword(std::uint32_t value);
    // The data as a NUL-terminated string; the terminator is kept in the
    // block behind the counted bytes. Null when no room for it can be had.
    virtual char* CStr();
    virtual bool AppendString(const char* text);
    // Grows by whole multiples of the growth step; on a failed allocation
    // returns false and leaves the buffer as it was.
    virtual bool Append(const void* bytes, std::uint32_t count);
    virtual bool AppendFormat(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // Replaces the contents with the whole file; an empty file leaves the
    // buffer as it was; on failure the buffer is unchanged.
    virtual bool LoadFile(const char* path);

    std::uint32_t GetCapacity() const { return capacity_; }
    // Drops the contents and frees the block.
    void Clear();

private:
    std::int32_t growth_;
    std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
};

} // namespace tarvelin
