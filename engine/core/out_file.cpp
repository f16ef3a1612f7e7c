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
        pushed_ = 0;
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
        WriteBehind();
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
        WriteBehind();
        if (!ok) {
            lastError_ = out_.Stream().LastError();
        }
        return ok;
    }
    const char* GetLastError() override { return lastError_.c_str(); }
    const char* GetWritingPath() override { return out_.WritingPath().c_str(); }
    const char* GetFinalPath() override { return out_.FinalPath().c_str(); }

private:
    // An image is flushed to the device before it is put in place. Left to
    // the end, that flush waits for the whole file to reach the device;
    // started behind the writing, in steps of this size, the device writes
    // while the image is still being made.
    static constexpr std::uint64_t kWriteBehindStep = std::uint64_t{32} << 20;

    void WriteBehind()
    {
        if (bytesWritten_ - pushed_ >= kWriteBehindStep) {
            out_.Stream().StartWriteBack(pushed_, bytesWritten_ - pushed_);
            pushed_ = bytesWritten_;
        }
    }

    platform::AtomicOutput out_;
    std::uint64_t bytesWritten_ = 0;
    // Bytes whose device writes have been started.
    std::uint64_t pushed_ = 0;
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::COutFile, tarvelin::IOutFile, OutFile1, OutFile2)
