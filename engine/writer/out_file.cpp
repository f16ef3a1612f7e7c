#include "writer/out_file.h"

#include "platform/directory.h"
#include "platform/file.h"

#include <string>

namespace tarvelin {

namespace {

class COutFile final : public IOutFile {
public:
    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        Close();
        bytesWritten_ = 0;
        lastError_.clear();
        if (!file_.Open(path, platform::OpenMode::CreateTruncate)) {
            lastError_ = file_.LastError();
            return false;
        }
        return true;
    }

    bool Write(const void* bytes, std::uint32_t count) override
    {
        if (!file_.IsOpen()) {
            lastError_ = "the output file is not open";
            return false;
        }
        if (!file_.Write(bytes, count)) {
            lastError_ = file_.LastError();
            return false;
        }
        bytesWritten_ += count;
        return true;
    }

    bool WriteBuffer(CByteBuffer& buffer) override
    {
        return buffer.GetSize() == 0 || Write(buffer.GetData(), buffer.GetSize());
    }

    bool Close() override
    {
        if (!file_.IsOpen()) {
            return true;
        }
        file_.Close();
        return true;
    }

    void Abandon() override
    {
        if (!file_.IsOpen()) {
            return;
        }
        const std::string path = file_.Path();
        file_.Close();
        platform::RemoveFile(path);
    }

    std::uint64_t GetBytesWritten() override { return bytesWritten_; }

    bool WriteFrom(platform::File& source, std::uint64_t count, std::uint64_t& copied) override
    {
        copied = 0;
        if (!file_.IsOpen()) {
            lastError_ = "the output file is not open";
            return false;
        }
        const bool ok = file_.CopyFrom(source, count, copied);
        bytesWritten_ += copied;
        if (!ok) {
            lastError_ = file_.LastError();
        }
        return ok;
    }
    const char* GetLastError() override { return lastError_.c_str(); }

private:
    platform::File file_;
    std::uint64_t bytesWritten_ = 0;
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::COutFile, tarvelin::IOutFile, OutFile1, OutFile2)
