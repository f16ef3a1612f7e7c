// Files on Windows. Exclusive use is the sharing mode of the open handle:
// an exclusive File shares nothing but deletion (so that the file can be
// renamed into place while open, as an atomic output does), a ReadShared
// File shares reading. Reads and writes are positioned through the
// OVERLAPPED offset, so the handle's own position is never used.

#include "platform/file.h"

#include "platform/win32/win32_common.h"

#include <algorithm>

namespace tarvelin::platform {

namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Largest single read or write handed to the system (a DWORD count).
constexpr std::size_t kMaxChunk = 1u << 30;
// The largest position a file may have on the system.
constexpr std::uint64_t kMaxPosition = 0x7FFFFFFFFFFFFFFFull;

OVERLAPPED At(std::uint64_t position)
{
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(position);
    overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
    return overlapped;
}

} // namespace

void File::Fail(const char* what)
{
    const DWORD code = ::GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
        lastReason_ = "the file is in use by another program";
    } else {
        lastReason_ = win32::ErrorText(code);
    }
    lastError_ = std::string(what) + " '" + shown_ + "': " + lastReason_;
}

bool File::Open(const std::string& path, OpenMode mode, std::string_view shownAs)
{
    Close();
    path_ = path;
    shown_ = shownAs.empty() ? path : std::string(shownAs);
    lastError_.clear();
    lastReason_.clear();
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case OpenMode::ReadWrite: break;
    case OpenMode::ReadOnly: access = GENERIC_READ; break;
    case OpenMode::ReadShared:
        access = GENERIC_READ;
        share = FILE_SHARE_READ | FILE_SHARE_DELETE;
        break;
    // Emptied only once it is held (below), as on every platform.
    case OpenMode::CreateTruncate: disposition = OPEN_ALWAYS; break;
    // CREATE_NEW refuses whatever is there, a link included.
    case OpenMode::CreateNew: disposition = CREATE_NEW; break;
    }
    const std::wstring wide = win32::WidePath(path);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (mode == OpenMode::CreateNew ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = ::CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        ::SetLastError(code == ERROR_FILE_EXISTS ? ERROR_FILE_EXISTS : code);
        Fail(mode == OpenMode::CreateNew ? "cannot create" : "cannot open");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    if (::GetFileInformationByHandle(handle, &facts) && (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_DIRECTORY);
        Fail("cannot open");
        return false;
    }
    LARGE_INTEGER length{};
    if (mode == OpenMode::CreateTruncate && ::GetFileSizeEx(handle, &length) && length.QuadPart != 0
        && !::SetEndOfFile(handle)) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(code);
        Fail("cannot empty");
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    writable_ = mode != OpenMode::ReadOnly && mode != OpenMode::ReadShared;
    position_ = 0;
    return true;
}

void File::Close()
{
    if (handle_ != kNoHandle) {
        ::CloseHandle(Handle(handle_));
        handle_ = kNoHandle;
    }
    writable_ = false;
    position_ = 0;
}

bool File::Seek(std::uint64_t position)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (position > kMaxPosition) {
        ::SetLastError(ERROR_NEGATIVE_SEEK);
        Fail("cannot position in");
        return false;
    }
    position_ = position;
    return true;
}

std::size_t File::ReadAt(std::uint64_t position, void* buffer, std::size_t count)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return 0;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const auto chunk = static_cast<DWORD>(std::min(count - done, kMaxChunk));
        OVERLAPPED at = At(position + done);
        DWORD got = 0;
        if (!::ReadFile(Handle(handle_), bytes + done, chunk, &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            Fail("cannot read");
            break;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

bool File::WriteAt(std::uint64_t position, const void* buffer, std::size_t count)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (!writable_) {
        lastError_ = "cannot write '" + shown_ + "': the file is open read-only";
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        if (position + done > kMaxPosition) {
            ::SetLastError(ERROR_FILE_TOO_LARGE);
            Fail("cannot write");
            return false;
        }
        const auto chunk = static_cast<DWORD>(std::min(count - done, kMaxChunk));
        OVERLAPPED at = At(position + done);
        DWORD put = 0;
        if (!::WriteFile(Handle(handle_), bytes + done, chunk, &put, &at)) {
            Fail("cannot write");
            return false;
        }
        if (put == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            Fail("cannot write");
            return false;
        }
        done += put;
    }
    return true;
}

bool File::CopyFrom(File& source, std::uint64_t count, std::uint64_t& copied)
{
    copied = 0;
    if (!IsOpen() || !source.IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    if (!writable_) {
        lastError_ = "cannot write '" + shown_ + "': the file is open read-only";
        return false;
    }
    return CopyThroughBuffer(source, count, copied);
}

bool File::Length(std::uint64_t& length) const
{
    LARGE_INTEGER size{};
    if (!IsOpen() || !::GetFileSizeEx(Handle(handle_), &size)) {
        return false;
    }
    length = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool File::Truncate(std::uint64_t length)
{
    if (!IsOpen() || length > kMaxPosition) {
        lastError_ = "cannot truncate '" + shown_ + "'";
        return false;
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFileInformationByHandle(Handle(handle_), FileEndOfFileInfo, &end, sizeof end)) {
        Fail("cannot truncate");
        return false;
    }
    return true;
}

bool File::SetTimes(FileTime modification)
{
    if (!IsOpen()) {
        lastError_ = "file not open";
        return false;
    }
    const FILETIME time = win32::ToFiletime(modification);
    if (!::SetFileTime(Handle(handle_), nullptr, &time, &time)) {
        Fail("cannot set the time of");
        return false;
    }
    return true;
}

bool File::Flush()
{
    if (!IsOpen()) {
        return false;
    }
    // Handles opened for reading have nothing to push (and are refused).
    if (writable_ && !::FlushFileBuffers(Handle(handle_))) {
        Fail("cannot flush");
        return false;
    }
    return true;
}

void File::StartWriteBack(std::uint64_t, std::uint64_t)
{
    // Windows has no request to start writing a range early; Flush pushes it all.
}

bool File::FlushFileSystem()
{
    // Flushing a whole volume takes administrator rights; each file is
    // flushed on its own instead.
    return false;
}

} // namespace tarvelin::platform
