#include "capture/floppy.h"

#include "capture/capture_job.h"
#include "platform/atomic_output.h"
#include "platform/file.h"
#include "platform/floppy_device.h"
#include "platform/prompt.h"
#include "platform/same_file.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin {

namespace {

constexpr const char* kCaption = "Make DAV";
constexpr std::uint32_t kMaxSectorSize = 4096;
std::atomic<FloppyReadFault> readFault{nullptr};

class CFloppy final : public IFloppy {
public:
    bool Reserved() override { return true; }

    std::uint32_t GetGeometry(std::uint32_t* bytesPerSector) override
    {
        if (!device_.IsOpen()) {
            return 0;
        }
        if (bytesPerSector != nullptr) {
            *bytesPerSector = geometry_.bytesPerSector;
        }
        return geometry_.cylinders * geometry_.heads * geometry_.sectorsPerTrack;
    }

    bool ReadSector(std::uint32_t index, std::uint8_t* buffer) override
    {
        if (!device_.IsOpen() || index >= GetGeometry(nullptr)) {
            return false;
        }
        if (FloppyReadFault fault = readFault.load(); fault != nullptr && fault(index)) {
            return false;
        }
        const std::uint32_t size = geometry_.bytesPerSector;
        return device_.ReadAt(std::uint64_t{index} * size, buffer, size) == size;
    }

    bool Open() override
    {
        if (device_.IsOpen()) {
            return true;
        }
        platform::FloppyGeometry geometry;
        if (!platform::QueryFloppyGeometry(path_, geometry) || geometry.bytesPerSector == 0 ||
            geometry.bytesPerSector > kMaxSectorSize) {
            return false;
        }
        if (!device_.Open(path_, platform::OpenMode::ReadShared)) {
            return false;
        }
        geometry_ = geometry;
        return true;
    }

    void Close() override { device_.Close(); }

    void SetDevice(const char* path) override { path_ = path; }

private:
    std::string path_ = platform::FirstFloppyDevice();
    platform::File device_;
    platform::FloppyGeometry geometry_;
};

// The capture record: everything the worker uses, shared with the component.
class FloppyJob final : public capture::CaptureJob {
public:
    FloppyJob(IFloppy* floppy, platform::AtomicOutput target, capture::CaptureObservers observers)
        : CaptureJob(std::move(observers)), floppy_(floppy), target_(std::move(target))
    {
    }

private:
    void Close(bool removeTarget) override
    {
        floppy_->Close();
        if (removeTarget) {
            target_.Discard();
        }
        DestroyComponent(floppy_);
    }

    void Work() override
    {
        std::uint32_t size = 0;
        const std::uint32_t total = floppy_->GetGeometry(&size);
        std::vector<std::uint8_t> sector(kMaxSectorSize);
        bool ignoreAll = false;
        for (std::uint32_t i = 0; i < total; ++i) {
            const auto value = static_cast<std::int32_t>(std::uint64_t{i} * 100 / total);
            bool read = floppy_->ReadSector(i, sector.data());
            while (!read && !ignoreAll) {
                const platform::PromptAnswer answer =
                    platform::Ask("Read error, maybe the floppy disk has bad sector. ", kCaption,
                                  platform::PromptButtons::AbortRetryIgnore, platform::PromptIcon::Error);
                if (answer == platform::PromptAnswer::Retry) {
                    read = floppy_->ReadSector(i, sector.data());
                    continue;
                }
                if (answer == platform::PromptAnswer::Ignore) {
                    ignoreAll = platform::Ask("Do you want to ignore all bad sectors? ", kCaption,
                                              platform::PromptButtons::YesNo,
                                              platform::PromptIcon::Question) == platform::PromptAnswer::Yes;
                    break;
                }
                // Abort, or no answer: the copy ends without an image.
                ReportEnd(kAborted);
                return;
            }
            if (!read) {
                std::memset(sector.data(), 0, size);
                NoteUnread(i);
            }
            if (!Report(value)) {
                return;
            }
            if (!target_.Stream().Write(sector.data(), size)) {
                SetLastError(("Can not write the target boot image file: " + target_.Stream().LastError()).c_str());
                ReportEnd(kAborted);
                return;
            }
        }
        if (!target_.Commit()) {
            SetLastError(("Can not write the target boot image file: " + target_.LastError()).c_str());
            ReportEnd(kAborted);
            return;
        }
        ReportEnd(kFinished);
    }

    IFloppy* floppy_;
    platform::AtomicOutput target_;
};

class CBootImageMaker final : public IBootImageMaker {
public:
    ~CBootImageMaker() override { capture::CaptureJob::Release(worker_, std::move(job_)); }

    bool Reserved() override { return true; }

    void SetDevice(const char* path) override { device_ = path; }

    std::uint32_t GetUnreadSectorCount() override { return GetUnreadSectors(nullptr, 0); }

    std::uint32_t GetUnreadSectors(std::uint32_t* sectors, std::uint32_t max) override
    {
        return job_ != nullptr ? job_->GetUnreadSectors(sectors, max) : 0;
    }

    const char* GetLastError() override
    {
        lastError_ = !misuse_.empty() ? misuse_ : job_ != nullptr ? job_->GetLastError() : std::string();
        return lastError_.c_str();
    }

    bool Start(const char* targetPath, void* context, ProgressFn progress) override
    {
        return StartJob(targetPath, capture::PercentObservers(context, progress));
    }

    bool StartJob(const char* targetPath, Job::OnProgress onProgress, Job::OnEnd onEnd) override
    {
        return StartJob(targetPath, {std::move(onProgress), std::move(onEnd)});
    }

    bool Run(const char* targetPath, void* context, ProgressFn progress) override
    {
        return Prepare(targetPath, {}) && capture::CaptureJob::RunHere(worker_, *job_, context, progress);
    }

private:
    bool StartJob(const char* targetPath, capture::CaptureObservers observers)
    {
        if (!Prepare(targetPath, std::move(observers))) {
            return false;
        }
        // Nothing of this component is touched after the launch: the last
        // report may destroy it before Launch returns.
        capture::CaptureJob::Launch(worker_, job_);
        return true;
    }

    static bool Refuse(const char* message)
    {
        platform::Ask(message, kCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
        return false;
    }

    // Opens the diskette and the target for the one copy of this component.
    bool Prepare(const char* targetPath, capture::CaptureObservers observers)
    {
        if (job_ != nullptr) {
            misuse_ = "the copy was started already";
            return false;
        }
        // Replacing the diskette's own file would first hold it, and its
        // open would then fail as if no diskette were in the drive.
        const std::string device = device_.empty() ? platform::FirstFloppyDevice() : device_;
        if (platform::SameFile(targetPath, device)) {
            return Refuse("The target boot image file and the floppy disk are the same file! "
                          "Please specify another file name. ");
        }
        IFloppy* floppy = Floppy1();
        platform::AtomicOutput target;
        if (!target.Open(targetPath, platform::ExistingOutput::Replace)) {
            DestroyComponent(floppy);
            return Refuse("Can not create target boot image file! ");
        }
        if (floppy == nullptr) {
            return Refuse("Can not create MAKEWBT interface! ");
        }
        if (!device_.empty()) {
            floppy->SetDevice(device_.c_str());
        }
        if (!floppy->Open()) {
            DestroyComponent(floppy);
            return Refuse("Can not open floppy! Please make sure the floppy disk has been inserted. ");
        }
        job_ = std::make_shared<FloppyJob>(floppy, std::move(target), std::move(observers));
        return true;
    }

    std::string device_;
    std::shared_ptr<FloppyJob> job_;
    Job worker_; // runs the copy
    std::string misuse_; // why a second copy was refused
    std::string lastError_;
};

} // namespace

FloppyReadFault SetFloppyReadFault(FloppyReadFault fault)
{
    return readFault.exchange(fault);
}

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CFloppy, tarvelin::IFloppy, Floppy1, Floppy2)
TARVELIN_DEFINE_FACTORIES(tarvelin::CBootImageMaker, tarvelin::IBootImageMaker, Make1, Make2)
