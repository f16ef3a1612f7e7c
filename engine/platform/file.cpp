// What every platform's File does alike.

#include "platform/file.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarvelin::platform {

namespace {
constexpr std::size_t kCopyChunk = 1u << 20;
} // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        writable_ = other.writable_;
        position_ = other.position_;
        path_ = std::move(other.path_);
        shown_ = std::move(other.shown_);
        lastError_ = std::move(other.lastError_);
        lastReason_ = std::move(other.lastReason_);
        other.handle_ = kNoHandle;
        other.writable_ = false;
        other.position_ = 0;
    }
    return *this;
}

bool File::SeekToEnd()
{
    std::uint64_t length = 0;
    if (!Length(length)) {
        return false;
    }
    position_ = length;
    return true;
}

std::size_t File::Read(void* buffer, std::size_t count)
{
    const std::size_t done = ReadAt(position_, buffer, count);
    position_ += done;
    return done;
}

bool File::Write(const void* buffer, std::size_t count)
{
    if (!WriteAt(position_, buffer, count)) {
        return false;
    }
    position_ += count;
    return true;
}

bool File::CopyThroughBuffer(File& source, std::uint64_t count, std::uint64_t& copied)
{
    std::vector<unsigned char> buffer;
    while (copied < count) {
        if (buffer.empty()) {
            buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, kCopyChunk)));
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, buffer.size()));
        source.lastError_.clear();
        const std::size_t got = source.Read(buffer.data(), want);
        if (got > 0 && !Write(buffer.data(), got)) {
            return false;
        }
        copied += got;
        if (got < want) {
            if (!source.lastError_.empty()) {
                lastError_ = source.lastError_;
                return false;
            }
            break; // the source ended
        }
    }
    return true;
}

} // namespace tarvelin::platform
