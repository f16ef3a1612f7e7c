#pragma once

// Binary files with 64-bit positions. The engine reaches the operating
// system's files only through this class; one implementation per platform.

#include "platform/export.h"
#include "platform/time.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin::platform {

enum class OpenMode {
    ReadWrite,      // existing file, read and write; never created
    ReadOnly,       // existing file, read only
    ReadShared,     // existing file, read only, alongside other readers (no writer)
    CreateTruncate, // created when missing, emptied when present; read and write
    // Created, read and write; fails when anything of that name is there
    // already, a symbolic link included (which is never followed).
    CreateNew,
};

// An open file is held for exclusive use: a second Open of the same file,
// from this process or another, fails until the first is closed. Files
// opened with ReadShared may be open several times at once, but not while
// one is held for exclusive use.
class TARVELIN_API File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // shownAs: the path messages name, when not path itself (a file written
    // under a temporary name is named by its final one).
    bool Open(const std::string& path, OpenMode mode, std::string_view shownAs = {});
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

    // Copies count bytes of source, from its current position, to this
    // file's current position and advances both; the system copies inside
    // the kernel where it can. copied says how many: fewer than count, with
    // true, when the source ends first; false on a failed read or write.
    bool CopyFrom(File& source, std::uint64_t count, std::uint64_t& copied);

    // Positioned forms; they leave the current position alone.
    std::size_t ReadAt(std::uint64_t position, void* buffer, std::size_t count);
    bool WriteAt(std::uint64_t position, const void* buffer, std::size_t count);

    // The file's length; false when it cannot be learnt.
    bool Length(std::uint64_t& length) const;
    bool Truncate(std::uint64_t length);
    // Pushes written data to the storage device.
    bool Flush();
    // Asks the system to start writing count bytes from position to the
    // device now, without waiting for it, so that a long forward write
    // overlaps with its device writes and the closing Flush has little left
    // to wait for. Only a hint: where the system has no such request, or
    // the file is a pipe or device, nothing happens.
    void StartWriteBack(std::uint64_t position, std::uint64_t count);
    // Pushes the written data of every file on this file's file system to
    // the storage device: one flush for many files. False where the system
    // cannot do that or reports a failed write since the file was opened.
    bool FlushFileSystem();
    // Sets the modification (and access) time through the open file, with
    // no second look-up of its path; later writes change it again.
    bool SetTimes(FileTime modification);

    const std::string& Path() const { return path_; }
    // What the last failed call ran into, worded for the user.
    const std::string& LastError() const { return lastError_; }
    // The reason alone, without the operation and the path ("Read-only file
    // system"), where the system gave one; empty otherwise.
    const std::string& LastReason() const { return lastReason_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    void Fail(const char* what);
    // The copy of CopyFrom through a buffer in memory, continuing from
    // copied bytes, where the system cannot copy by itself.
    bool CopyThroughBuffer(File& source, std::uint64_t count, std::uint64_t& copied);

    std::intptr_t handle_ = kNoHandle;
    bool writable_ = false;
    std::uint64_t position_ = 0;
    std::string path_;
    std::string shown_;
    std::string lastError_;
    std::string lastReason_;
};

} // namespace tarvelin::platform
