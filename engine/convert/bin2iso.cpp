#include "convert/bin2iso.h"

#include "convert/batch_pipeline.h"
#include "convert/mapped_file.h"
#include "convert/source_image.h"

#include <algorithm>
#include <string>
#include <utility>

namespace tarvelin {

namespace {

constexpr std::uint32_t kUserDataSize = 2048;
// Sectors read and written at a time: 2 MiB writes.
constexpr std::uint32_t kBatchSectors = 1024;

class CBin2IsoSectorFile final : public IBin2IsoSectorFile {
public:
    ~CBin2IsoSectorFile() override { DestroyComponent(writer_); }

    bool Reserved() override { return true; }

    bool OpenSource(const char* path) override
    {
        if (!source_.Open(path)) {
            lastError_ = source_.LastError();
            return false;
        }
        return true;
    }

    bool ReadSector(std::uint32_t sector, std::uint8_t* out) override { return ReadSectors(sector, 1, out); }

    bool ReadSectors(std::uint32_t first, std::uint32_t count, std::uint8_t* out) override
    {
        if (!source_.Read(first, count, out)) {
            lastError_ = source_.LastError();
            return false;
        }
        return true;
    }

    bool OpenTarget(const char* path) override
    {
        DestroyComponent(writer_);
        lastError_.clear();
        if (path == nullptr || *path == '\0') {
            lastError_ = "no output file named";
            return false;
        }
        writer_ = NEW_OUTFILE_BIN2ISO();
        if (writer_ == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        if (!writer_->Open(path)) {
            lastError_ = writer_->GetLastError();
            DestroyComponent(writer_);
            return false;
        }
        return true;
    }

    bool WriteSector(const std::uint8_t* data) override { return WriteSectors(data, 1); }

    bool WriteSectors(const std::uint8_t* data, std::uint32_t count) override
    {
        if (writer_ == nullptr) {
            lastError_ = "no output file is open";
            return false;
        }
        // The output's writes take 32-bit counts.
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t piece = std::min(count - done, kBatchSectors);
            if (!writer_->Write(data + std::uint64_t{done} * kUserDataSize, piece * kUserDataSize)) {
                lastError_ = writer_->GetLastError();
                return false;
            }
            done += piece;
        }
        return true;
    }

    std::uint32_t GetSectorCount() override { return source_.SectorCount(); }

    bool CloseTarget() override
    {
        if (writer_ == nullptr) {
            lastError_ = "no output file is open";
            return false;
        }
        if (!writer_->Close()) {
            lastError_ = writer_->GetLastError();
            return false;
        }
        return true;
    }

    void AbandonTarget() override
    {
        if (writer_ != nullptr) {
            writer_->Abandon();
        }
    }

    ImageLayout GetLayout() override { return source_.Layout(); }
    LayoutProbe GetLayoutProbe() override { return source_.Probe(); }
    ImageOpenError GetOpenError() override { return source_.OpenError(); }
    const char* GetLastError() override { return lastError_.c_str(); }

    bool IsSourceOpen() const { return source_.IsOpen(); }
    bool IsTargetOpen() const { return writer_ != nullptr; }
    std::string OutputConflict(const std::string& path) const { return source_.OutputConflict(path); }
    const std::string& SourceWarning() const { return source_.ShortfallWarning(); }
    std::uint32_t DamagedSectors(std::uint32_t* first) const { return source_.DamagedSectors(first); }
    const std::string& DataPath() const { return source_.DataPath(); }

private:
    ConvertSource source_{NEW_READFILEMAP_BIN2ISO};
    IOutFile* writer_ = nullptr;
    std::string lastError_;
};

class CBin2Iso final : public IBin2Iso {
public:
    ~CBin2Iso() override
    {
        DestroyComponent(target_);
        DestroyComponent(source_);
    }

    bool Init() override
    {
        target_ = NewSectorFile();
        source_ = NewSectorFile();
        return true;
    }

    bool Reserved() override { return true; }

    bool OpenSource(const char* path) override
    {
        if (source_ == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        const bool opened = Checked(source_, source_->OpenSource(path));
        warning_ = source_->SourceWarning();
        return opened;
    }

    bool OpenTarget(const char* path) override
    {
        if (target_ == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        if (source_ != nullptr && path != nullptr) {
            if (std::string conflict = source_->OutputConflict(path); !conflict.empty()) {
                lastError_ = std::move(conflict);
                return false;
            }
        }
        return Checked(target_, target_->OpenTarget(path));
    }

    bool Convert(void* context, ProgressFn progress) override
    {
        // The percent protocol of bin2iso.h over the job's reports.
        Job::OnProgress percents;
        if (progress != nullptr) {
            percents = [context, progress](const JobProgress& done) {
                return progress(context, ScaledProgress(done.fraction));
            };
        }
        const bool converted = RunJob(percents).state == JobState::Done;
        if (progress != nullptr) {
            progress(context, converted ? kConvertDone : kConvertFailed);
        }
        return converted;
    }

    JobReport RunJob(Job::OnProgress onProgress) override
    {
        return job_.RunHere([this](JobControl& control) { return Run(control); }, std::move(onProgress), {});
    }

    std::uint32_t GetSectorCount() override { return source_ == nullptr ? 0 : source_->GetSectorCount(); }
    ImageOpenError GetOpenError() override
    {
        return source_ == nullptr ? ImageOpenError::CannotOpen : source_->GetOpenError();
    }
    const char* GetLastError() override { return lastError_.c_str(); }
    const char* GetSourceWarning() override { return warning_.c_str(); }

private:
    static CBin2IsoSectorFile* NewSectorFile()
    {
        return static_cast<CBin2IsoSectorFile*>(NEW_ISOSECTORFILE_BIN2ISO());
    }

    bool Checked(IBin2IsoSectorFile* file, bool succeeded)
    {
        if (!succeeded) {
            lastError_ = file->GetLastError();
        }
        return succeeded;
    }

    JobReport Run(JobControl& control)
    {
        if (source_ == nullptr || !source_->IsSourceOpen()) {
            return Failed("no source image is open");
        }
        if (target_ == nullptr || !target_->IsTargetOpen()) {
            return Failed("no output file is open");
        }
        const std::uint32_t total = source_->GetSectorCount();
        const auto batches = static_cast<std::uint32_t>((std::uint64_t{total} + kBatchSectors - 1) / kBatchSectors);
        std::uint32_t written = 0;
        bool stopped = false;
        const BatchRun run = RunBatches(
            // No batch of a small image needs buffers of a whole batch.
            batches, std::size_t{std::min(total, kBatchSectors)} * kUserDataSize,
            [&](std::uint32_t batch, std::uint8_t* buffer) {
                const std::uint32_t first = batch * kBatchSectors;
                const std::uint32_t count = std::min(kBatchSectors, total - first);
                source_->ReadSectors(first, count, buffer);
                return std::size_t{count} * kUserDataSize;
            },
            [&](std::uint32_t, const std::uint8_t* bytes, std::size_t size) {
                const auto count = static_cast<std::uint32_t>(size / kUserDataSize);
                if (!target_->WriteSectors(bytes, count)) {
                    lastError_ = target_->GetLastError();
                    return false;
                }
                written += count;
                if (!control.Report(static_cast<double>(written) / total)) {
                    stopped = true;
                    return false;
                }
                return true;
            });
        if (run == BatchRun::OutOfMemory) {
            lastError_ = "out of memory";
        } else if (stopped) {
            lastError_ = "the conversion was stopped";
        }
        std::uint32_t firstDamaged = 0;
        if (const std::uint32_t damaged = source_->DamagedSectors(&firstDamaged); damaged != 0) {
            warning_ = source_->SourceWarning() + (source_->SourceWarning().empty() ? "" : "; ")
                + "'" + source_->DataPath() + "': " + DescribeDamagedSectors(damaged, firstDamaged);
        }
        if (run != BatchRun::Finished || !Checked(target_, target_->CloseTarget())) {
            target_->AbandonTarget();
            return stopped ? JobReport::Cancelled() : JobReport::Failed(lastError_);
        }
        return JobReport::Done();
    }

    JobReport Failed(const char* why)
    {
        lastError_ = why;
        return JobReport::Failed(why);
    }

    CBin2IsoSectorFile* target_ = nullptr;
    CBin2IsoSectorFile* source_ = nullptr;
    std::string lastError_;
    std::string warning_; // GetSourceWarning
    Job job_; // runs the conversion on the caller's thread
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBin2IsoSectorFile, tarvelin::IBin2IsoSectorFile, NEW_ISOSECTORFILE_BIN2ISO,
                          NEW_00_ISOSECTORFILE_BIN2ISO)
TARVELIN_DEFINE_FACTORIES(tarvelin::CBin2Iso, tarvelin::IBin2Iso, Bin2ISO1, Bin2ISO2)

// The output file of the conversion is the output file of a build: the same
// component, and the same process-wide singleton, under the conversion's names.
extern "C" TARVELIN_API tarvelin::IOutFile* NEW_OUTFILE_BIN2ISO() { return OutFile1(); }
extern "C" TARVELIN_API tarvelin::IOutFile* NEW_00_OUTFILE_BIN2ISO() { return OutFile2(); }
static const ::tarvelin::FactoryRegistration tarvelinFactory_NEW_OUTFILE_BIN2ISO{
    "NEW_OUTFILE_BIN2ISO", []() -> ::tarvelin::CComponent* { return NEW_OUTFILE_BIN2ISO(); }};
static const ::tarvelin::FactoryRegistration tarvelinFactory_NEW_00_OUTFILE_BIN2ISO{
    "NEW_00_OUTFILE_BIN2ISO", []() -> ::tarvelin::CComponent* { return NEW_00_OUTFILE_BIN2ISO(); }};
