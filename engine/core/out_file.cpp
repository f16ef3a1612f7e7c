#include "core/out_file.h"

#include "platform/atomic_output.h"
#include "platform/file.h"

#include <string>

namespace tarvelin {

namespace {

class COutFile final : public IOutFile {
public:
    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        Abandon();
        bytesWritten_ = 0;
        lastError_.clear();
        if (!out_.Open(path, platform::ExistingOutput::Replace)) {
            lastError_ = out_.LastError();
            return false;
        }
        return true;
    }

    bool Write(const void* bytes, std::uint32_t count) override
    {
        if (!out_.IsOpen()) {
            lastError_ = "the output file is not open";
            return false;
        }
        if (!out_.Stream().Write(bytes, count)) {
            lastError_ = out_.Stream().LastError();
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
        if (!out_.IsOpen()) {
            return true;
        }
        if (!out_.Commit()) {
            lastError_ = out_.LastError();
            return false;
        }
        return true;
    }

    void Abandon() override { out_.Discard(); }

    std::uint64_t GetBytesWritten() override { return bytesWritten_; }

    bool WriteFrom(platform::File& source, std::uint64_t count, std::uint64_t& copied) override
    {
        copied = 0;
        if (!out_.IsOpen()) {
            lastError_ = "the output file is not open";
            return false;
        }
        const bool ok = out_.Stream().CopyFrom(source, count, copied);
        bytesWritten_ += copied;
        if (!ok) {
            lastError_ = out_.Stream().LastError();
        }
        return ok;
    }
    const char* GetLastError() override { return lastError_.c_str(); }
    const char* GetWritingPath() override { return out_.WritingPath().c_str(); }
    const char* GetFinalPath() override { return out_.FinalPath().c_str(); }

private:
    platform::AtomicOutput out_;
    std::uint64_t bytesWritten_ = 0;
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::COutFile, tarvelin::IOutFile, OutFile1, OutFile2)
