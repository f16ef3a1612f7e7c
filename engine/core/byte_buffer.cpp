#include "core/byte_buffer.h"

#include "platform/file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tarvelin {

namespace {

constexpr std::uint64_t kLargestSize = std::numeric_limits<std::uint32_t>::max();

// Text short enough for this is rendered without a second pass.
constexpr std::size_t kFormatScratch = 512;

} // namespace

// A step below 1 would divide by zero when rounding; such a buffer grows
// byte by byte instead.
CByteBuffer::CByteBuffer(std::int32_t growth) : growth_(growth > 0 ? growth : 1) {}

CByteBuffer::~CByteBuffer() { std::free(data_); }

std::uint8_t* CByteBuffer::GetData() { return data_; }

const std::uint8_t* CByteBuffer::GetData() const { return data_; }

std::uint32_t CByteBuffer::GetSize() const { return size_; }

bool CByteBuffer::AppendByte(std::uint8_t value) { return Append(&value, 1); }

bool CByteBuffer::AppendDword(std::uint32_t value)
{
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value),
        static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 24),
    };
    return Append(bytes, sizeof bytes);
}

char* CByteBuffer::CStr()
{
    if (!AppendByte(0)) {
        return nullptr;
    }
    --size_;
    return reinterpret_cast<char*>(data_);
}

bool CByteBuffer::AppendString(const char* text)
{
    if (text == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(text);
    if (length > kLargestSize) {
        return false;
    }
    return Append(text, static_cast<std::uint32_t>(length));
}

bool CByteBuffer::Append(const void* bytes, std::uint32_t count)
{
    if (count == 0) {
        return true;
    }
    if (bytes == nullptr) {
        return false;
    }
    const std::uint64_t needed = std::uint64_t{size_} + count;
    if (needed > capacity_) {
        const auto step = static_cast<std::uint64_t>(growth_);
        const std::uint64_t rounded = (needed + step - 1) / step * step;
        if (rounded > kLargestSize) {
            return false;
        }
        auto* block = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(rounded)));
        if (block == nullptr) {
            return false;
        }
        if (size_ > 0) {
            std::memcpy(block, data_, size_);
        }
        // The bytes may lie in the old block (a buffer appending its own
        // contents), so it is freed only once they are copied.
        std::memcpy(block + size_, bytes, count);
        std::free(data_);
        data_ = block;
        capacity_ = static_cast<std::uint32_t>(rounded);
    } else {
        std::memmove(data_ + size_, bytes, count);
    }
    size_ += count;
    return true;
}

bool CByteBuffer::AppendFormat(const char* format, ...)
{
    if (format == nullptr) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    char scratch[kFormatScratch];
    const int length = std::vsnprintf(scratch, sizeof scratch, format, arguments);
    va_end(arguments);
    bool appended = false;
    if (length < 0 || static_cast<std::uint64_t>(length) > kLargestSize) {
        appended = false;
    } else if (static_cast<std::size_t>(length) < sizeof scratch) {
        appended = Append(scratch, static_cast<std::uint32_t>(length));
    } else {
        const auto needed = static_cast<std::size_t>(length) + 1;
        auto* text = static_cast<char*>(std::malloc(needed));
        if (text != nullptr) {
            const int rendered = std::vsnprintf(text, needed, format, again);
            appended = rendered == length && Append(text, static_cast<std::uint32_t>(length));
            std::free(text);
        }
    }
    va_end(again);
    return appended;
}

bool CByteBuffer::LoadFile(const char* path)
{
    if (path == nullptr) {
        return false;
    }
    platform::File file;
    if (!file.Open(path, platform::OpenMode::ReadOnly)) {
        return false;
    }
    std::uint64_t length = 0;
    if (!file.Length(length) || length > kLargestSize) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    auto* block = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(length)));
    if (block == nullptr) {
        return false;
    }
    if (file.Read(block, static_cast<std::size_t>(length)) != length) {
        std::free(block);
        return false;
    }
    std::free(data_);
    data_ = block;
    size_ = static_cast<std::uint32_t>(length);
    capacity_ = size_;
    return true;
}

void CByteBuffer::Clear()
{
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

} // namespace tarvelin
