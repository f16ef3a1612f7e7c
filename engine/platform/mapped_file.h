#pragma once

// A read-only view of a whole file mapped into memory.

#include "platform/export.h"

#include <cstdint>
#include <string>

namespace tarvelin::platform {

class TARVELIN_API MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the whole file; an empty file opens with Size() 0 and no data.
    // While mapped the file is held for shared use: a File opened on it for
    // exclusive use is refused.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return open_; }

    const std::uint8_t* Data() const { return data_; }
    std::uint64_t Size() const { return size_; }
    const std::string& LastError() const { return lastError_; }

private:
    const std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0;
    bool open_ = false;
    // The platform's handle kept while mapped (a descriptor here), or -1.
    std::intptr_t fd_ = -1;
    std::string lastError_;
};

} // namespace tarvelin::platform
