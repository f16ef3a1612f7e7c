#pragma once

// Binary files with 64-bit positions. The engine reaches the operating
// system's files only through this class; one implementation per platform.

#include "core/export.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvelin::platform {

enum class OpenMode {
    ReadWrite,      // existing file, read and write; never created
    ReadOnly,       // existing file, read only
    CreateTruncate, // created when missing, emptied when present; read and write
};

// An open file is held for exclusive use: a second Open of the same file,
// from this process or another, fails until the first is closed.
class TARVELIN_API File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    bool Open(const std::string& path, OpenMode mode);
    void Close();
    bool IsOpen() const { return handle_ != kNoHandle; }
    bool IsWritable() const { return writable_; }

    // Positioning; a position the platform rejects returns false.
    bool Seek(std::uint64_t position);
    bool SeekToEnd();
    std::uint64_t Position() const { return position_; }

    // Reads up to count bytes at the current position and advances it;
    // returns the number read, short only at the end of the file or on error.
    std::size_t Read(void* buffer, std::size_t count);
    // Writes all count bytes at the current position and advances it.
    bool Write(const void* buffer, std::size_t count);

    // Positioned forms; they leave the current position alone.
    std::size_t ReadAt(std::uint64_t position, void* buffer, std::size_t count);
    bool WriteAt(std::uint64_t position, const void* buffer, std::size_t count);

    // The file's length; false when it cannot be learnt.
    bool Length(std::uint64_t& length) const;
    bool Truncate(std::uint64_t length);
    // Pushes written data to the storage device.
    bool Flush();

    const std::string& Path() const { return path_; }
    // What the last failed call ran into, worded for the user.
    const std::string& LastError() const { return lastError_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    void Fail(const char* what);

    std::intptr_t handle_ = kNoHandle;
    bool writable_ = false;
    std::uint64_t position_ = 0;
    std::string path_;
    std::string lastError_;
};

} // namespace tarvelin::platform
