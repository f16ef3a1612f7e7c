#include "capture/floppy.h"

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/floppy_device.h"
#include "platform/prompt.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
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

class CBootImageMaker final : public IBootImageMaker {
public:
    ~CBootImageMaker() override
    {
        if (worker_.joinable()) {
            if (worker_.get_id() == std::this_thread::get_id()) {
                worker_.detach();
            } else {
                worker_.join();
            }
        }
        if (floppy_ != nullptr) {
            floppy_->Close();
        }
        target_.Close();
        if (started_ && deleteTarget_.load()) {
            platform::RemoveFile(targetPath_);
        }
        DestroyComponent(floppy_);
    }

    bool Reserved() override { return true; }

    void SetDevice(const char* path) override { device_ = path; }

    std::uint32_t GetUnreadSectorCount() override { return unread_.load(); }

    bool Start(const char* targetPath, void* context, ProgressFn progress) override
    {
        if (started_) {
            return false;
        }
        DestroyComponent(floppy_);
        floppy_ = Floppy1();
        if (!target_.Open(targetPath, platform::OpenMode::CreateTruncate)) {
            return Refuse("Can not create target boot image file! ");
        }
        if (floppy_ == nullptr) {
            target_.Close();
            return Refuse("Can not create MAKEWBT interface! ");
        }
        if (!device_.empty()) {
            floppy_->SetDevice(device_.c_str());
        }
        if (!floppy_->Open()) {
            target_.Close();
            return Refuse("Can not open floppy! Please make sure the floppy disk has been inserted. ");
        }
        targetPath_ = targetPath;
        context_ = context;
        progress_ = progress;
        started_ = true;
        worker_ = std::thread([this] { Run(); });
        return true;
    }

private:
    static bool Refuse(const char* message)
    {
        platform::Ask(message, kCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
        return false;
    }

    void End(std::int32_t last)
    {
        const ProgressFn progress = progress_;
        void* const context = context_;
        finished_.store(true);
        progress(context, last);
    }

    void Run()
    {
        std::uint32_t size = 0;
        const std::uint32_t total = floppy_->GetGeometry(&size);
        std::vector<std::uint8_t> sector(kMaxSectorSize);
        bool ignoreAll = false;
        for (std::uint32_t i = 0; i < total; ++i) {
            auto value = static_cast<std::int32_t>(std::uint64_t{i} * 100 / total);
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
                deleteTarget_ = true;
                End(-1);
                return;
            }
            if (!read) {
                std::memset(sector.data(), 0, size);
                ++unread_;
            }
            if (!progress_(context_, value)) {
                deleteTarget_ = true;
                finished_.store(true);
                return;
            }
            if (!target_.Write(sector.data(), size)) {
                deleteTarget_ = true;
                End(-1);
                return;
            }
        }
        target_.Close();
        End(-2);
    }

    IFloppy* floppy_ = nullptr;
    platform::File target_;
    std::string targetPath_;
    std::string device_;
    void* context_ = nullptr;
    ProgressFn progress_ = nullptr;
    std::thread worker_;
    bool started_ = false;
    std::atomic<bool> finished_{false};
    std::atomic<bool> deleteTarget_{false};
    std::atomic<std::uint32_t> unread_{0};
};

} // namespace

FloppyReadFault SetFloppyReadFault(FloppyReadFault fault)
{
    return readFault.exchange(fault);
}

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CFloppy, tarvelin::IFloppy, Floppy1, Floppy2)
TARVELIN_DEFINE_FACTORIES(tarvelin::CBootImageMaker, tarvelin::IBootImageMaker, Make1, Make2)
