#include "capture/cd_rip.h"

#include "capture/capture_hooks.h"
#include "capture/capture_job.h"
#include "capture/cd_rom.h"
#include "core/iso_sector.h"
#include "core/raw_sector.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/prompt.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin {

namespace {

constexpr const char* kCaption = "Make ISO";
constexpr const char* kCannotCreateTarget = "Can not create target-ISO file! Please specify another file name. ";
constexpr std::uint32_t kChunkSectors = 24;
constexpr std::uint32_t kRawSize = ICdRom::kRawSectorSize;
constexpr std::uint32_t kIsoSectorSize = 2048;
constexpr std::uint32_t kTocLength = 804;
constexpr std::int64_t kFreeSpaceMargin = 0xA00000;
// Sectors this close to the end of the track are often unreadable on
// discs written track-at-once (run-out blocks); they never lead to a question.
constexpr std::uint32_t kQuietTail = 150;
constexpr std::uint32_t kSlowestSpeed = 1;
constexpr std::uint32_t kRetryPauseMs = 1000;
constexpr int kQuickRetries = 20;

void ShowError(const char* text)
{
    platform::Ask(text, kCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
}

std::uint32_t BigEndian32(const std::uint8_t* bytes)
{
    return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

// The capture record: everything the worker uses, shared with the component.
class RipJob final : public capture::CaptureJob {
public:
    RipJob(ICdRom* drive, platform::AtomicOutput target, std::uint32_t trackStart, std::uint32_t sectors,
           capture::CaptureObservers observers)
        : CaptureJob(std::move(observers)), drive_(drive), target_(std::move(target)), trackStart_(trackStart),
          sectors_(sectors)
    {
    }

    std::uint32_t Sectors() const { return sectors_; }
    std::uint32_t Form2Sectors() const { return form2Sectors_.load(); }

private:
    void Close(bool removeTarget) override
    {
        if (removeTarget) {
            target_.Discard();
        }
        drive_->ReleaseDrive();
        DestroyComponent(drive_);
    }

    void Work() override
    {
        drive_->SetSpeed(ICdRom::kMaximumSpeed);
        std::vector<std::uint8_t> raw(kChunkSectors * kRawSize);
        std::vector<std::uint8_t> iso(kChunkSectors * kIsoSectorSize);
        const std::uint32_t chunks = (sectors_ + kChunkSectors - 1) / kChunkSectors;
        for (std::uint32_t chunk = 0; chunk < chunks; ++chunk) {
            const std::uint32_t first = chunk * kChunkSectors;
            const std::uint32_t count = std::min(kChunkSectors, sectors_ - first);
            const auto value =
                static_cast<std::int32_t>(static_cast<std::uint64_t>(chunk) * 2400 / sectors_);
            if (!ReadChunk(first, count, raw.data(), iso.data())) {
                ReportEnd(kAborted); // the user chose Abort
                return;
            }
            if (!Report(value)) {
                return;
            }
            if (!target_.Stream().Write(iso.data(), static_cast<std::size_t>(count) * kIsoSectorSize)) {
                SetLastError(("Can not write the target-ISO file: " + target_.Stream().LastError()).c_str());
                ReportEnd(kAborted);
                return;
            }
        }
        if (!target_.Commit()) {
            SetLastError(("Can not write the target-ISO file: " + target_.LastError()).c_str());
            ReportEnd(kAborted);
            return;
        }
        ReportEnd(kFinished);
    }

    bool ReadOne(std::uint32_t lba, std::uint8_t* slot)
    {
        return drive_->ReadSectors(trackStart_ + lba, 1, slot);
    }

    // Reads sectors first..first+count-1 of the track into iso; sectors it
    // could not read are zero there and recorded. False when the user chose Abort.
    bool ReadChunk(std::uint32_t first, std::uint32_t count, std::uint8_t* raw, std::uint8_t* iso)
    {
        bool ignore = ignoreAll_;
        std::vector<bool> good(count, false);
        if (drive_->ReadSectors(trackStart_ + first, count, raw)) {
            std::fill(good.begin(), good.end(), true);
        } else if (!ignore) {
            drive_->SetSpeed(kSlowestSpeed);
            capture::Sleep(kRetryPauseMs);
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint32_t lba = first + k;
                std::uint8_t* slot = raw + static_cast<std::size_t>(k) * kRawSize;
                bool read = ReadOne(lba, slot);
                if (!read) {
                    capture::Sleep(kRetryPauseMs);
                    for (int attempt = 0; attempt < kQuickRetries && !read; ++attempt) {
                        read = ReadOne(lba, slot);
                    }
                }
                if (!read) {
                    read = ReadOne(lba, slot);
                }
                while (!read) {
                    if (ignore || lba + kQuietTail >= sectors_) {
                        break;
                    }
                    const platform::PromptAnswer answer =
                        platform::Ask("Read error, maybe the CDROM has bad sector. ", kCaption,
                                      platform::PromptButtons::AbortRetryIgnore, platform::PromptIcon::Question);
                    if (answer == platform::PromptAnswer::Abort) {
                        drive_->SetSpeed(ICdRom::kMaximumSpeed);
                        return false;
                    }
                    if (answer == platform::PromptAnswer::Retry) {
                        read = ReadOne(lba, slot);
                        continue;
                    }
                    if (answer == platform::PromptAnswer::Ignore &&
                        platform::Ask("Do you want to ignore all bad sectors? ", kCaption,
                                      platform::PromptButtons::YesNo,
                                      platform::PromptIcon::Question) == platform::PromptAnswer::Yes) {
                        ignore = true;
                    }
                    break;
                }
                good[k] = read;
            }
            drive_->SetSpeed(ICdRom::kMaximumSpeed);
        }
        for (std::uint32_t k = 0; k < count; ++k) {
            std::uint8_t* out = iso + static_cast<std::size_t>(k) * kIsoSectorSize;
            if (!good[k]) {
                std::memset(out, 0, kIsoSectorSize);
                NoteUnread(first + k);
                continue;
            }
            const std::uint8_t* slot = raw + static_cast<std::size_t>(k) * kRawSize;
            // Mode 2 has an 8-byte subheader before the user data; of a
            // Form 2 sector's 2324 bytes the ISO keeps the first 2048.
            const bool mode2 = slot[15] == 2;
            std::memcpy(out, slot + (mode2 ? raw::kMode2Form1DataOffset : raw::kMode1DataOffset), kIsoSectorSize);
            if (mode2 && (slot[raw::kMode2SubheaderOffset + kSubmodeByte] & raw::kSubmodeForm2) != 0) {
                form2Sectors_.fetch_add(1);
            }
        }
        ignoreAll_ = ignore;
        return true;
    }

    ICdRom* drive_;
    platform::AtomicOutput target_;
    const std::uint32_t trackStart_;
    const std::uint32_t sectors_;
    bool ignoreAll_ = false;
    std::atomic<std::uint32_t> form2Sectors_{0};
};

class CCdRip final : public ICdRip {
public:
    ~CCdRip() override
    {
        capture::CaptureJob::Release(worker_, std::move(job_));
        DestroyComponent(drive_);
        DestroyComponent(listDrive_);
    }

    bool Reserved() override { return true; }

    bool Prepare(const char* targetPath, char driveLetter, void* context, ProgressFn progress) override
    {
        return PrepareCapture(targetPath, driveLetter, capture::PercentObservers(context, progress));
    }

    bool PrepareJob(const char* targetPath, char driveLetter, Job::OnProgress onProgress, Job::OnEnd onEnd) override
    {
        return PrepareCapture(targetPath, driveLetter, {std::move(onProgress), std::move(onEnd)});
    }

    void Start() override
    {
        if (job_ == nullptr || started_) {
            return;
        }
        started_ = true;
        // Nothing of this component is touched after the launch: the last
        // report may destroy it before Launch returns.
        capture::CaptureJob::Launch(worker_, job_);
    }

    bool Run(void* context, ProgressFn progress) override
    {
        if (job_ == nullptr || started_) {
            misuse_ = job_ == nullptr ? "no capture was prepared" : "the capture was started already";
            return false;
        }
        started_ = true;
        return capture::CaptureJob::RunHere(worker_, *job_, context, progress);
    }

    std::uint32_t GetSectorCount() override { return job_ != nullptr ? job_->Sectors() : 0; }

    std::uint32_t ListDrives(char* letters) override
    {
        DestroyComponent(listDrive_);
        listDrive_ = Rom1();
        if (listDrive_ == nullptr || !listDrive_->Initialize()) {
            return 0;
        }
        return listDrive_->GetDriveLetters(letters);
    }

    std::uint32_t GetUnreadSectors(std::uint32_t* lbas, std::uint32_t max) override
    {
        return job_ != nullptr ? job_->GetUnreadSectors(lbas, max) : 0;
    }

    std::uint32_t GetForm2SectorCount() override { return job_ != nullptr ? job_->Form2Sectors() : 0; }

    const char* GetLastError() override
    {
        lastError_ = !misuse_.empty() ? misuse_ : job_ != nullptr ? job_->GetLastError() : std::string();
        return lastError_.c_str();
    }

private:
    // Checks the disc, the free space and the target for the one capture of
    // this component; says itself why it cannot go on.
    bool PrepareCapture(const char* targetPath, char driveLetter, capture::CaptureObservers observers)
    {
        if (job_ != nullptr) {
            return false; // one capture per component
        }
        DestroyComponent(drive_);
        drive_ = Rom1();
        if (drive_ == nullptr) {
            return Refuse("Can not create CDROM interface! Please use \"file\" mode to make ISO. ", false);
        }
        if (!drive_->Initialize()) {
            return Refuse("Can not init ASPI32 library! Please use \"file\" mode to make ISO. ", false);
        }
        if (!drive_->SelectDrive(driveLetter)) {
            return Refuse("Can not open the CDROM! Please use \"file\" mode to make ISO. ", false);
        }
        std::uint8_t toc[kTocLength] = {};
        if (!drive_->ReadToc(toc, kTocLength, 0)) {
            return Refuse("Can not read TOC of CDROM! Please use \"file\" mode to make ISO. ", true);
        }
        const std::uint32_t first = toc[2];
        const std::uint32_t last = toc[3];
        if (first != last) {
            return Refuse("The CDROM has multi-tracks, please use \"file\" mode to make ISO. ", true);
        }
        // Descriptor `first - 1` is the track, descriptor `last` the
        // lead-out; both must lie inside the reply.
        if (first == 0 || 4 + 8 * (last + 1) > kTocLength || toc[5 + 8 * (first - 1)] != 0x14) {
            return Refuse("The CDROM has no data track, please use \"file\" mode to make ISO. ", true);
        }
        const std::uint32_t start = BigEndian32(toc + 8 + 8 * (first - 1));
        const std::uint32_t leadOut = BigEndian32(toc + 8 + 8 * last);
        if (leadOut <= start) {
            return Refuse("The data track of the CDROM is empty, there is nothing to make an ISO of. ", true);
        }
        const std::uint32_t sectors = leadOut - start;
        std::uint64_t free = 0;
        if (!capture::FreeSpaceFor(targetPath, free)) {
            // A folder that is not there has no free space to ask about:
            // what stops the capture is that the target cannot be created.
            const std::string folder(platform::FolderOf(targetPath));
            return Refuse(folder.empty() || platform::PathExists(folder) ? "Can not get the free size of your harddisk. "
                                                                        : kCannotCreateTarget,
                          true);
        }
        const std::int64_t needed = static_cast<std::int64_t>(sectors) * kIsoSectorSize;
        const std::int64_t available = free > static_cast<std::uint64_t>(INT64_MAX)
                                           ? INT64_MAX
                                           : static_cast<std::int64_t>(free);
        if (available - kFreeSpaceMargin < needed) {
            return Refuse("The harddisk have no enough space! Can not continue... \nPlease optimized your harddisk! ",
                          true);
        }
        platform::AtomicOutput target;
        if (!target.Open(targetPath, platform::ExistingOutput::Replace)) {
            return Refuse(kCannotCreateTarget, true);
        }
        job_ = std::make_shared<RipJob>(drive_, std::move(target), start, sectors, std::move(observers));
        drive_ = nullptr; // the record owns it now
        return true;
    }

    bool Refuse(const char* message, bool release)
    {
        if (release) {
            drive_->ReleaseDrive();
        }
        ShowError(message);
        return false;
    }

    ICdRom* drive_ = nullptr; // while Prepare checks the disc
    ICdRom* listDrive_ = nullptr;
    std::shared_ptr<RipJob> job_;
    Job worker_; // runs the capture
    bool started_ = false;
    std::string misuse_; // why Run was refused
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CCdRip, tarvelin::ICdRip, Rip1, Rip2)
