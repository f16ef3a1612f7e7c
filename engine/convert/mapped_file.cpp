#include "convert/mapped_file.h"

#include "platform/mapped_file.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tarvelin {

namespace {

class CMappedFile final : public IMappedFile {
public:
    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        position_ = 0;
        lastError_.clear();
        if (path == nullptr || *path == '\0') {
            map_.Close();
            lastError_ = "no source file named";
            return false;
        }
        if (!map_.Open(path)) {
            lastError_ = map_.LastError();
            return false;
        }
        return true;
    }

    bool Seek(std::uint64_t position) override
    {
        if (position > map_.Size()) {
            return false;
        }
        position_ = position;
        return true;
    }

    std::uint32_t Read(void* buffer, std::uint32_t count) override { return ReadAt(position_, buffer, count); }

    std::uint32_t ReadAt(std::uint64_t position, void* buffer, std::uint32_t count) override
    {
        position_ = position;
        if (position >= map_.Size()) {
            return 0;
        }
        const auto copied = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, map_.Size() - position));
        std::memcpy(buffer, map_.Data() + position, copied);
        position_ += copied;
        return copied;
    }

    std::uint64_t GetSize() override { return map_.Size(); }
    const std::uint8_t* GetView() override { return map_.Data(); }
    const char* GetLastError() override { return lastError_.c_str(); }

private:
    platform::MappedFile map_;
    std::uint64_t position_ = 0;
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CMappedFile, tarvelin::IMappedFile, NEW_READFILEMAP_BIN2ISO,
                          NEW_00_READFILEMAP_BIN2ISO)
TARVELIN_DEFINE_FACTORIES(tarvelin::CMappedFile, tarvelin::IMappedFile, NEW_READFILEMAP_ISO2BIN,
                          NEW_00_READFILEMAP_ISO2BIN)
