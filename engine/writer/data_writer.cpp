// File data of a new image.
//
// The copy pass writes one forward stream. Small files are read straight
// into a staging buffer of a few MiB that goes out in one write when full,
// so a tree of many small files costs a handful of writes rather than one
// per file or per sector; large files are copied by the system itself
// (IOutFile::WriteFrom), in chunks between which a cancel is looked at.
//
// Every file fills exactly the sectors the layout reserved for it: the
// directories already say where each later file starts, so a file that grew
// is cut and one that shrank is padded with zeros, and a warning names it.

#include "writer/data_writer.h"

#include "platform/file.h"
#include "writer/out_file.h"
#include "writer/writer_tree.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tarvelin {

namespace {

constexpr std::size_t kStagingBytes = std::size_t{4} << 20;
// Files up to this size (padded) go through the staging buffer.
constexpr std::uint64_t kSmallFileBytes = std::uint64_t{1} << 20;
// Between two chunks of a large file a cancel is looked at.
constexpr std::uint64_t kCopyChunkBytes = std::uint64_t{64} << 20;

// Output bytes gathered for one large write.
class Staging {
public:
    explicit Staging(IOutFile* out) : out_(out), buffer_(kStagingBytes) {}

    // Room for count bytes (at most the capacity) at the end of what is
    // staged, flushing first when it does not fit.
    std::uint8_t* Reserve(std::size_t count)
    {
        if (used_ + count > buffer_.size() && !Flush()) {
            return nullptr;
        }
        return buffer_.data() + used_;
    }
    void Commit(std::size_t count) { used_ += count; }

    bool AppendZeros(std::uint64_t count)
    {
        while (count > 0) {
            if (used_ == buffer_.size() && !Flush()) {
                return false;
            }
            const std::size_t room = buffer_.size() - used_;
            const std::size_t now = static_cast<std::size_t>(std::min<std::uint64_t>(room, count));
            std::memset(buffer_.data() + used_, 0, now);
            used_ += now;
            count -= now;
        }
        return true;
    }

    bool Flush()
    {
        if (used_ == 0) {
            return true;
        }
        const bool written = out_->Write(buffer_.data(), static_cast<std::uint32_t>(used_));
        used_ = 0;
        return written;
    }

    // Bytes written plus bytes staged: where the next byte will land.
    std::uint64_t Position() const { return out_->GetBytesWritten() + used_; }

private:
    IOutFile* out_;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

class CBuildData final : public IBuildData {
public:
    bool Reserved() override { return true; }

    void Build(std::uint32_t /*mode*/, IMacroList* tree, std::uint32_t startSector) override
    {
        error_.clear();
        nextSector_ = startSector;
        const writer::SourceTreeAccess access(tree);
        if (!access.Valid()) {
            error_ = "no tree to lay out";
            return;
        }
        std::uint64_t next = startSector;
        writer::ForEachFileInDataOrder(access, [&](MacroNode* node, SourceNode& record) {
            if (record.fileSize > UINT32_MAX) {
                error_ = "'" + record.diskPath + "' is 4 GiB or larger, which an ISO 9660 file cannot be";
                return false;
            }
            const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(record.fileSize));
            if (next + sectors > UINT32_MAX) {
                error_ = "the image would be larger than an ISO 9660 volume can be (2^32 sectors)";
                return false;
            }
            record.fileExtent = record.fileSize == 0 ? 0 : static_cast<std::uint32_t>(next);
            access.Set(node, record);
            next += sectors;
            return true;
        });
        nextSector_ = static_cast<std::uint32_t>(next);
    }

    bool Write(IMacroList* tree, std::uint32_t startSector, IOutFile* out, std::uint32_t totalSectors,
               void* context, ProgressFn callback) override
    {
        error_.clear();
        warnings_.clear();
        cancelled_ = false;
        nextSector_ = startSector;
        totalSectors_ = totalSectors;
        context_ = context;
        callback_ = callback;
        const writer::SourceTreeAccess access(tree);
        if (!access.Valid() || out == nullptr) {
            error_ = "no tree or no output to write";
            return false;
        }
        if (out->GetBytesWritten() != std::uint64_t{startSector} * iso::kSectorSize) {
            error_ = "the output does not stand where the file data begins";
            return false;
        }
        Staging staging(out);
        const bool copied = writer::ForEachFileInDataOrder(access, [&](MacroNode*, SourceNode& record) {
            return CopyFile(record, out, staging);
        });
        // A cancelled copy touches the output no more; a failed one is
        // abandoned by the caller.
        if (!copied) {
            return false;
        }
        if (!staging.Flush()) {
            error_ = out->GetLastError();
            return false;
        }
        if (out->GetBytesWritten() != std::uint64_t{nextSector_} * iso::kSectorSize) {
            error_ = "the file data written does not end where the layout says";
            return false;
        }
        return true;
    }

    std::uint32_t GetEndSector() override { return nextSector_; }
    const char* GetLastError() override { return error_.c_str(); }
    bool IsCancelled() override { return cancelled_; }
    std::uint32_t GetWarningCount() override { return static_cast<std::uint32_t>(warnings_.size()); }
    const char* GetWarning(std::uint32_t index) override
    {
        return index < warnings_.size() ? warnings_[index].c_str() : "";
    }

private:
    // Asks the caller whether to go on before the data at sector is written.
    bool Report(std::uint32_t sector)
    {
        if (callback_ == nullptr) {
            return true;
        }
        std::int32_t value = 0;
        if (totalSectors_ != 0) {
            value = static_cast<std::int32_t>(std::min<std::uint64_t>(std::uint64_t{sector} * 1000 / totalSectors_, 999));
        }
        if (!callback_(context_, value)) {
            cancelled_ = true;
            return false;
        }
        return true;
    }

    bool Fail(std::string reason)
    {
        error_ = std::move(reason);
        return false;
    }

    bool CopyFile(const SourceNode& record, IOutFile* out, Staging& staging)
    {
        if (record.fileSize == 0) {
            return record.fileExtent == 0 || Fail("'" + record.diskPath + "' is empty but was given an extent");
        }
        if (record.fileExtent != nextSector_
            || staging.Position() != std::uint64_t{nextSector_} * iso::kSectorSize) {
            return Fail("the data of '" + record.diskPath + "' would not land where the directories say");
        }
        if (!Report(record.fileExtent)) {
            return false;
        }
        const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(record.fileSize));
        const std::uint64_t reserved = std::uint64_t{sectors} * iso::kSectorSize;

        platform::File source;
        std::uint64_t length = 0;
        if (!source.Open(record.diskPath, platform::OpenMode::ReadShared)) {
            return Fail(source.LastError());
        }
        if (!source.Length(length)) {
            return Fail("cannot read '" + record.diskPath + "': its length cannot be learnt");
        }
        const std::uint64_t wanted = std::min(length, record.fileSize);
        std::uint64_t copied = 0;
        if (reserved <= kSmallFileBytes) {
            std::uint8_t* at = staging.Reserve(static_cast<std::size_t>(reserved));
            if (at == nullptr) {
                return Fail(out->GetLastError());
            }
            copied = source.Read(at, static_cast<std::size_t>(wanted));
            if (copied < wanted && !source.LastError().empty()) {
                return Fail(source.LastError());
            }
            std::memset(at + copied, 0, static_cast<std::size_t>(reserved - copied));
            staging.Commit(static_cast<std::size_t>(reserved));
        } else {
            if (!staging.Flush()) {
                return Fail(out->GetLastError());
            }
            while (copied < wanted) {
                if (copied != 0 && !Report(record.fileExtent + static_cast<std::uint32_t>(copied / iso::kSectorSize))) {
                    return false;
                }
                const std::uint64_t chunk = std::min(kCopyChunkBytes, wanted - copied);
                std::uint64_t done = 0;
                if (!out->WriteFrom(source, chunk, done)) {
                    return Fail(out->GetLastError());
                }
                copied += done;
                if (done < chunk) {
                    break; // the file got shorter while it was copied
                }
            }
            if (!staging.AppendZeros(reserved - copied)) {
                return Fail(out->GetLastError());
            }
        }
        if (length != record.fileSize || copied != wanted) {
            warnings_.push_back("'" + record.diskPath + "' changed length since it was added (" +
                                std::to_string(record.fileSize) + " bytes then, " +
                                std::to_string(copied == wanted ? length : copied) +
                                " now): the image holds its first " + std::to_string(copied) +
                                " bytes in the space of " + std::to_string(record.fileSize) +
                                (copied < record.fileSize ? ", the rest zeros" : ""));
        }
        nextSector_ += sectors;
        return true;
    }

    std::string error_;
    std::vector<std::string> warnings_;
    bool cancelled_ = false;
    std::uint32_t nextSector_ = 0;
    std::uint32_t totalSectors_ = 0;
    void* context_ = nullptr;
    ProgressFn callback_ = nullptr;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildData, tarvelin::IBuildData, NEW_DATANEW, NEW_00_DATANEW)
