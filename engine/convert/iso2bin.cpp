#include "convert/iso2bin.h"

#include "convert/batch_pipeline.h"
#include "convert/mapped_file.h"
#include "convert/source_image.h"
#include "core/raw_sector.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "core/job.h"
#include "core/out_file.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace tarvelin {

namespace {

constexpr std::uint32_t kUserDataSize = raw::kUserDataSize;
constexpr std::uint32_t kRawSectorSize = raw::kSectorSize;
// Sectors encoded and written at a time: 2.3 MiB writes.
constexpr std::uint32_t kBatchSectors = 1024;

} // namespace

std::string CueSheetPathFor(std::string_view binPath)
{
    const std::string_view extension = platform::ExtensionOf(binPath);
    return std::string(binPath.substr(0, binPath.size() - extension.size())) + ".cue";
}

// No blank behind the track's mode: CUE readers take the word up to the line
// end as the mode, and "MODE1/2352 " is no mode they know. The last line
// ends too: strict readers (cuetools) refuse a sheet whose last line does
// not, and every reader takes one that does.
std::string CueSheetText(std::string_view binPath)
{
    return "FILE \"" + std::string(platform::FileNameOf(binPath))
           + "\"   BINARY \r\n"
             " TRACK 01 MODE1/2352\r\n"
             "   INDEX 01 00:00:00\r\n";
}

namespace {

class CIso2BinOutFile final : public IIso2BinOutFile {
public:
    ~CIso2BinOutFile() override
    {
        DestroyComponent(bin_);
        DestroyComponent(cue_);
    }

    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        DestroyComponent(bin_);
        DestroyComponent(cue_);
        lastError_.clear();
        if (path == nullptr || *path == '\0') {
            lastError_ = "no output file named";
            return false;
        }
        const std::string binPath = path;
        const std::string_view name = platform::FileNameOf(binPath);
        if (name.find_first_of("\"\r\n") != std::string_view::npos) {
            lastError_ = "the name of '" + binPath
                         + "' cannot be written into a CUE sheet: it holds a double quote or a line break";
            return false;
        }
        // The sheet lies beside the BIN as a file and names it: a BIN
        // written into a device or pipe would have none.
        if (platform::FileInfo info; platform::GetFileInfo(binPath, info) && info.isSpecial) {
            lastError_ = "'" + binPath + "' is a device or pipe: a BIN file and its CUE sheet are written as files";
            return false;
        }
        const std::string cuePath = CueSheetPathFor(binPath);
        if (platform::SamePathName(cuePath, binPath)) {
            lastError_ = "'" + binPath + "' would be its own CUE sheet: give the BIN file another extension";
            return false;
        }
        bin_ = OutFile1();
        if (bin_ == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        if (!bin_->Open(path)) {
            lastError_ = bin_->GetLastError();
            DestroyComponent(bin_);
            return false;
        }
        binPath_ = binPath;
        cuePath_ = cuePath;
        return true;
    }

    bool Write(const void* data, std::uint32_t size) override { return WriteTo(bin_, "BIN", data, size); }
    bool WriteCue(const void* data, std::uint32_t size) override { return WriteTo(cue_, "CUE", data, size); }

    bool WriteBuffer(CByteBuffer& buffer) override
    {
        return buffer.GetSize() == 0 || Write(buffer.GetData(), buffer.GetSize());
    }

    bool CreateCueFile() override
    {
        DestroyComponent(cue_);
        if (bin_ == nullptr) {
            lastError_ = "no BIN file is open";
            return false;
        }
        cue_ = OutFile1();
        if (cue_ == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        if (!cue_->Open(cuePath_.c_str())) {
            lastError_ = cue_->GetLastError();
            DestroyComponent(cue_);
            return false;
        }
        return true;
    }

    // The BIN is put in place first, so that no sheet names a BIN that is
    // not complete. When the sheet then fails, the BIN stays: it is
    // complete, and it may have replaced a file of its name already, so
    // removing it would lose both. The failure says which file is missing.
    bool Close() override
    {
        if (bin_ != nullptr && !bin_->Close()) {
            lastError_ = bin_->GetLastError();
            Abandon();
            return false;
        }
        if (cue_ != nullptr && !cue_->Close()) {
            lastError_ = "'" + binPath_ + "' was written, but its CUE sheet was not: " + cue_->GetLastError();
            return false;
        }
        return true;
    }

    void Abandon() override
    {
        for (IOutFile* file : {bin_, cue_}) {
            if (file != nullptr) {
                file->Abandon();
            }
        }
    }

    const char* GetCuePath() override { return cuePath_.c_str(); }
    const char* GetLastError() override { return lastError_.c_str(); }

private:
    bool WriteTo(IOutFile* file, const char* kind, const void* data, std::uint32_t size)
    {
        if (file == nullptr) {
            lastError_ = std::string("no ") + kind + " file is open";
            return false;
        }
        if (!file->Write(data, size)) {
            lastError_ = file->GetLastError();
            return false;
        }
        return true;
    }

    IOutFile* bin_ = nullptr;
    IOutFile* cue_ = nullptr;
    std::string binPath_;
    std::string cuePath_;
    std::string lastError_;
};

class CIso2BinSectorFile final : public IIso2BinSectorFile {
public:
    ~CIso2BinSectorFile() override { DestroyComponent(writer_); }

    bool Reserved() override { return true; }

    bool OpenSource(const char* path) override
    {
        if (!source_.Open(path)) {
            lastError_ = source_.LastError();
            return false;
        }
        const std::uint32_t sectorSize = source_.Layout().sectorSize;
        if (sectorSize != kUserDataSize) {
            // Encoding a raw image's sectors again would nest them; the
            // image has to become an ISO first.
            source_.Close("'" + source_.DataPath() + "' is not a plain ISO image: it stores "
                          + std::to_string(sectorSize) + "-byte sectors (convert it to ISO first)");
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
        writer_ = NEW_OUTFILE_ISO2BIN();
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

    bool CreateCueFile() override { return WithWriter([&] { return writer_->CreateCueFile(); }); }

    bool WriteRawSector(std::uint32_t sector, const std::uint8_t* data) override
    {
        raw::EncodeMode1(data, sector, rawSector_);
        return WriteEncodedSectors(rawSector_, 1);
    }

    bool WriteSector(const std::uint8_t* data) override
    {
        return WithWriter([&] { return writer_->Write(data, kUserDataSize); });
    }

    bool WriteCueText(const char* text, std::uint32_t length) override
    {
        return WithWriter([&] { return writer_->WriteCue(text, length); });
    }

    std::uint32_t GetRawSectorCount() override
    {
        return source_.Layout().sectorSize == kRawSectorSize ? source_.SectorCount() : 0;
    }

    std::uint32_t GetSectorCount() override
    {
        return source_.Layout().sectorSize == kUserDataSize ? source_.SectorCount() : 0;
    }

    bool WriteEncodedSectors(const std::uint8_t* rawSectors, std::uint32_t count) override
    {
        // The output's writes take 32-bit counts.
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t piece = std::min(count - done, kBatchSectors);
            const std::uint8_t* bytes = rawSectors + std::uint64_t{done} * kRawSectorSize;
            if (!WithWriter([&] { return writer_->Write(bytes, piece * kRawSectorSize); })) {
                return false;
            }
            done += piece;
        }
        return true;
    }

    bool CloseTarget() override { return WithWriter([&] { return writer_->Close(); }); }

    void AbandonTarget() override
    {
        if (writer_ != nullptr) {
            writer_->Abandon();
        }
    }

    const char* GetCuePath() override { return writer_ == nullptr ? "" : writer_->GetCuePath(); }
    ImageOpenError GetOpenError() override { return source_.OpenError(); }
    const char* GetLastError() override { return lastError_.c_str(); }

    bool IsSourceOpen() const { return source_.IsOpen(); }
    bool IsTargetOpen() const { return writer_ != nullptr; }
    std::string OutputConflict(const std::string& path) const { return source_.OutputConflict(path); }
    const std::string& SourceWarning() const { return source_.ShortfallWarning(); }
    const std::uint8_t* MappedSectors(std::uint32_t first, std::uint32_t count) const
    {
        return source_.Contiguous(first, count);
    }

private:
    template <class Operation>
    bool WithWriter(Operation operation)
    {
        if (writer_ == nullptr) {
            lastError_ = "no BIN file is open";
            return false;
        }
        if (!operation()) {
            lastError_ = writer_->GetLastError();
            return false;
        }
        return true;
    }

    ConvertSource source_{NEW_READFILEMAP_ISO2BIN};
    IIso2BinOutFile* writer_ = nullptr;
    std::uint8_t rawSector_[kRawSectorSize] = {};
    std::string lastError_;
};

class CIso2Bin final : public IIso2Bin {
public:
    ~CIso2Bin() override
    {
        // A running conversion is waited for and finishes its work; from
        // inside one of its reports the job is only let go, and the work,
        // which holds the sector files itself, stops and touches nothing of
        // the converter any more (core/job.h).
        job_.Wait();
        job_.Release();
    }

    bool Reserved() override { return true; }

    bool Start(void* context, ProgressFn progress) override
    {
        // The percent protocol of iso2bin.h over the job's reports: every
        // run ends in one final value.
        const auto report = [context, progress](std::int32_t value) {
            return progress == nullptr || progress(context, value);
        };
        return StartJob([report](const JobProgress& done) { return report(ScaledProgress(done.fraction)); },
                        [report](const JobReport& end) {
                            report(end.state == JobState::Done ? kConvertDone : kConvertFailed);
                        });
    }

    bool StartJob(Job::OnProgress onProgress, Job::OnEnd onEnd) override
    {
        // Once started, the work alone writes the component's state.
        if (started_) {
            return false;
        }
        if (files_->source == nullptr || !files_->source->IsSourceOpen()) {
            lastError_ = "no source image is open";
            return false;
        }
        if (files_->target == nullptr || !files_->target->IsTargetOpen()) {
            lastError_ = "no BIN file is open";
            return false;
        }
        // After the final report the run touches nothing of the converter.
        auto ended = [onEnd = std::move(onEnd), finished = finished_](const JobReport& end) {
            if (onEnd) {
                onEnd(end);
            }
            finished->store(true, std::memory_order_release);
        };
        started_ = true;
        std::string why;
        if (!job_.Start([this, files = files_](JobControl& control) { return Run(control, *files); },
                        std::move(onProgress), std::move(ended), &why)) {
            started_ = false;
            lastError_ = "cannot start the conversion: " + why;
            return false;
        }
        return true;
    }

    bool OpenSource(const char* path) override
    {
        if (!Replace(files_->source)) {
            return false;
        }
        return Checked(files_->source, files_->source->OpenSource(path));
    }

    bool OpenTarget(const char* path) override
    {
        if (!Replace(files_->target)) {
            return false;
        }
        if (files_->source != nullptr && path != nullptr) {
            for (const std::string& output : {std::string(path), CueSheetPathFor(path)}) {
                if (std::string conflict = files_->source->OutputConflict(output); !conflict.empty()) {
                    lastError_ = output == path ? std::move(conflict)
                                                : "the CUE sheet of '" + std::string(path) + "': " + std::move(conflict);
                    return false;
                }
            }
        }
        if (!Checked(files_->target, files_->target->OpenTarget(path))) {
            return false;
        }
        files_->targetPath = path;
        return true;
    }

    bool IsFinished() override { return finished_->load(std::memory_order_acquire); }

    // False as well from inside a report, where Job::Wait does not wait.
    bool Wait() override { return started_ && job_.Wait().state == JobState::Done; }

    std::uint32_t GetSectorCount() override
    {
        return files_->source == nullptr ? 0 : files_->source->GetSectorCount();
    }
    ImageOpenError GetOpenError() override
    {
        return files_->source == nullptr ? ImageOpenError::CannotOpen : files_->source->GetOpenError();
    }
    const char* GetLastError() override { return lastError_.c_str(); }
    const char* GetSourceWarning() override
    {
        return files_->source == nullptr ? "" : files_->source->SourceWarning().c_str();
    }

private:
    // What the work uses to its end, shared with it so that it can finish
    // (removing an unfinished output) when the converter goes from inside
    // one of its reports.
    struct Files {
        CIso2BinSectorFile* source = nullptr;
        CIso2BinSectorFile* target = nullptr;
        std::string targetPath;

        Files() = default;
        Files(const Files&) = delete;
        Files& operator=(const Files&) = delete;
        ~Files()
        {
            DestroyComponent(source);
            DestroyComponent(target);
        }
    };

    bool Replace(CIso2BinSectorFile*& file)
    {
        if (started_) {
            return false;
        }
        DestroyComponent(file);
        file = static_cast<CIso2BinSectorFile*>(NEW_ISOSECTORFILE_ISO2BIN());
        if (file == nullptr) {
            lastError_ = "out of memory";
            return false;
        }
        return true;
    }

    bool Checked(IIso2BinSectorFile* file, bool succeeded)
    {
        if (!succeeded) {
            lastError_ = file->GetLastError();
        }
        return succeeded;
    }

    JobReport Run(JobControl& control, Files& files)
    {
        std::string error;
        bool converted = false;
        try {
            converted = Convert(control, files, error);
        } catch (const std::bad_alloc&) {
            error = "out of memory";
        }
        if (!converted) {
            files.target->AbandonTarget();
        }
        if (control.Released()) {
            return JobReport::Cancelled(); // the converter is gone
        }
        lastError_ = error;
        if (converted) {
            return JobReport::Done();
        }
        return control.Cancelled() ? JobReport::Cancelled() : JobReport::Failed(error);
    }

    // Touches only the files and what it is handed, so that it runs on to
    // its end when the converter goes.
    static bool Convert(JobControl& control, Files& files, std::string& error)
    {
        CIso2BinSectorFile* const source = files.source;
        CIso2BinSectorFile* const target = files.target;
        const auto checked = [&](bool succeeded) {
            if (!succeeded) {
                error = target->GetLastError();
            }
            return succeeded;
        };
        const std::uint32_t total = source->GetSectorCount();
        const auto batches = static_cast<std::uint32_t>((std::uint64_t{total} + kBatchSectors - 1) / kBatchSectors);
        // No batch of a small image needs buffers of a whole batch.
        const std::uint32_t batchSectors = std::min(total, kBatchSectors);
        std::uint32_t written = 0;
        bool stopped = false;
        const BatchRun run = RunBatches(
            // Each buffer holds the batch's raw sectors and, behind them,
            // room for its user data where that has to be copied first.
            batches, std::size_t{batchSectors} * (kRawSectorSize + kUserDataSize),
            [&](std::uint32_t batch, std::uint8_t* buffer) {
                const std::uint32_t first = batch * kBatchSectors;
                const std::uint32_t count = std::min(kBatchSectors, total - first);
                // Straight out of the mapping where the sectors lie there
                // whole; copied (and padded with zeros) elsewhere.
                const std::uint8_t* data = source->MappedSectors(first, count);
                if (data == nullptr) {
                    std::uint8_t* userData = buffer + std::size_t{batchSectors} * kRawSectorSize;
                    source->ReadSectors(first, count, userData);
                    data = userData;
                }
                raw::EncodeMode1Sectors(data, count, first, buffer);
                return std::size_t{count} * kRawSectorSize;
            },
            [&](std::uint32_t, const std::uint8_t* bytes, std::size_t size) {
                const auto count = static_cast<std::uint32_t>(size / kRawSectorSize);
                if (!checked(target->WriteEncodedSectors(bytes, count))) {
                    return false;
                }
                written += count;
                // Whole percents, as the protocol has them.
                const auto percent = static_cast<std::int32_t>(std::uint64_t{written} * 100 / total);
                if (!control.Report(percent / 100.0)) {
                    stopped = true;
                    return false;
                }
                return true;
            });
        if (run == BatchRun::OutOfMemory) {
            error = "out of memory";
            return false;
        }
        if (stopped) {
            error = "the conversion was stopped";
            return false;
        }
        if (run != BatchRun::Finished) {
            return false;
        }
        const std::string cue = CueSheetText(files.targetPath);
        return checked(target->CreateCueFile())
               && checked(target->WriteCueText(cue.data(), static_cast<std::uint32_t>(cue.size())))
               && checked(target->CloseTarget());
    }

    std::shared_ptr<Files> files_ = std::make_shared<Files>();
    bool started_ = false;
    // Set after the final report has returned; shared with it, as that
    // report may destroy the converter.
    std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
    std::string lastError_;
    Job job_; // the conversion's worker; last, so that it goes first
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIso2BinOutFile, tarvelin::IIso2BinOutFile, NEW_OUTFILE_ISO2BIN,
                          NEW_00_OUTFILE_ISO2BIN)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIso2BinSectorFile, tarvelin::IIso2BinSectorFile, NEW_ISOSECTORFILE_ISO2BIN,
                          NEW_00_ISOSECTORFILE_ISO2BIN)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIso2Bin, tarvelin::IIso2Bin, NEW_ISO2BIN1, NEW_00_ISO2BIN1)
