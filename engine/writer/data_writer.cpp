// File data of new images (CBuildData) and of in-place saves (CIsoData).
//
// New images:
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

#include "core/iso_sector.h"
#include "core/raw_sector.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "writer/iso_build.h"
#include "core/out_file.h"
#include "writer/writer_tree.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvelin {

namespace {

// The warning for a file added from disk whose length was no longer the one
// it was added with when its data was copied; nothing when it was. recorded
// is the size the image gives it, length what the file had when opened,
// copied the bytes read from it (at most recorded): the image holds those
// in the space of recorded, zeros behind them when they are fewer.
std::optional<std::string> ChangedLengthWarning(const std::string& path, std::uint64_t recorded, std::uint64_t length,
                                                std::uint64_t copied)
{
    const std::uint64_t wanted = std::min(length, recorded);
    if (length == recorded && copied == wanted) {
        return std::nullopt;
    }
    // A file that got shorter while it was read is as long as what was read.
    const std::uint64_t now = copied < wanted ? copied : length;
    return "'" + path + "' changed length since it was added (" + std::to_string(recorded) + " bytes then, " +
           std::to_string(now) + " now): the image holds its first " + std::to_string(copied) +
           " bytes in the space of " + std::to_string(recorded) + (copied < recorded ? ", the rest zeros" : "");
}

// The same for a file that was empty when added, and so has no data to
// copy: the image holds it empty.
std::optional<std::string> GrownEmptyFileWarning(const DirEntry& entry)
{
    platform::FileInfo info;
    if (entry.EntrySource != EntrySourceKind::Disk || entry.size != 0 || entry.isDirectory || entry.IsSymlink()
        || !platform::GetFileInfo(entry.diskPath, info) || info.isDirectory || info.size == 0) {
        return std::nullopt;
    }
    return ChangedLengthWarning(entry.diskPath, 0, info.size, 0);
}

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

// A file from disk with more than one name there: it may share its data
// with another entry of the image.
bool IsHardLink(const DirEntry& entry)
{
    return entry.EntrySource == EntrySourceKind::Disk && entry.size != 0 && entry.posix.known && entry.posix.links > 1
        && !entry.IsSymlink();
}

// Hard links of one file from disk share its data, as peers store them:
// the first name placed gives the names met after it its extent. A name
// whose length differs from the first one's (the file changed between
// two adds) gets data of its own.
class SharedLinks {
public:
    using File = std::optional<std::pair<std::uint64_t, std::uint64_t>>; // volume, file id

    // The file on disk the entry names, when it is a hard link.
    static File FileOf(const DirEntry& entry)
    {
        platform::FileInfo info;
        if (!IsHardLink(entry) || !platform::GetFileInfo(entry.diskPath, info)) {
            return std::nullopt;
        }
        return std::pair{info.volumeId, info.fileId};
    }

    // Where an earlier name of the file was placed, if one was.
    std::optional<std::uint32_t> EarlierExtent(const File& file, std::uint64_t size) const
    {
        const auto found = file ? first_.find(*file) : first_.end();
        if (found == first_.end() || found->second.second != size) {
            return std::nullopt;
        }
        return found->second.first;
    }

    // Notes where the file's data goes, for its names met later.
    void Note(const File& file, std::uint32_t extent, std::uint64_t size)
    {
        if (file) {
            first_.try_emplace(*file, extent, size);
        }
    }

private:
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::uint32_t, std::uint64_t>> first_; // extent, size
};

class CBuildData final : public IBuildData {
public:
    bool Reserved() override { return true; }

    void Build(std::uint32_t mode, IMacroList* tree, std::uint32_t startSector) override
    {
        const bool udf = (mode & kBuildUdf) != 0;
        error_.clear();
        nextSector_ = startSector;
        const writer::TreeAccess access(tree);
        if (!access.Valid()) {
            error_ = "no tree to lay out";
            return;
        }
        std::uint64_t next = startSector;
        SharedLinks links;
        writer::ForEachFileInDataOrder(access, [&](DirNode*, DirEntry& entry) {
            if (entry.size > UINT32_MAX && !udf) {
                error_ = "'" + entry.diskPath + "' is 4 GiB or larger, which an ISO 9660 file cannot be";
                return false;
            }
            const SharedLinks::File file = SharedLinks::FileOf(entry);
            if (const auto shared = links.EarlierExtent(file, entry.size)) {
                entry.extent = *shared;
                return true;
            }
            const std::uint64_t sectors = SectorsOf(entry.size);
            if (next + sectors > UINT32_MAX) {
                error_ = "the image would be larger than an ISO 9660 volume can be (2^32 sectors)";
                return false;
            }
            entry.extent = entry.size == 0 ? 0 : static_cast<std::uint32_t>(next);
            links.Note(file, entry.extent, entry.size);
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
        const writer::TreeAccess access(tree);
        if (!access.Valid() || out == nullptr) {
            error_ = "no tree or no output to write";
            return false;
        }
        if (out->GetBytesWritten() != std::uint64_t{startSector} * iso::kSectorSize) {
            error_ = "the output does not stand where the file data begins";
            return false;
        }
        Staging staging(out);
        const bool copied = writer::ForEachFileInDataOrder(access, [&](DirNode*, const DirEntry& entry) {
            // A further link of a file whose data is already out.
            if (IsHardLink(entry) && entry.extent != 0 && entry.extent < nextSector_) {
                return true;
            }
            return CopyFile(entry, out, staging);
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

    bool CopyFile(const DirEntry& record, IOutFile* out, Staging& staging)
    {
        if (record.size == 0) {
            if (std::optional<std::string> warning = GrownEmptyFileWarning(record)) {
                warnings_.push_back(std::move(*warning));
            }
            return record.extent == 0 || Fail("'" + record.diskPath + "' is empty but was given an extent");
        }
        if (record.extent != nextSector_
            || staging.Position() != std::uint64_t{nextSector_} * iso::kSectorSize) {
            return Fail("the data of '" + record.diskPath + "' would not land where the directories say");
        }
        if (!Report(record.extent)) {
            return false;
        }
        const std::uint64_t sectors = SectorsOf(record.size);
        const std::uint64_t reserved = sectors * iso::kSectorSize;

        platform::File source;
        std::uint64_t length = 0;
        if (!source.Open(record.diskPath, platform::OpenMode::ReadShared)) {
            return Fail(source.LastError());
        }
        if (!source.Length(length)) {
            return Fail("cannot read '" + record.diskPath + "': its length cannot be learnt");
        }
        const std::uint64_t wanted = std::min(length, record.size);
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
                if (copied != 0 && !Report(record.extent + static_cast<std::uint32_t>(copied / iso::kSectorSize))) {
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
        if (std::optional<std::string> warning = ChangedLengthWarning(record.diskPath, record.size, length, copied)) {
            warnings_.push_back(std::move(*warning));
        }
        nextSector_ += static_cast<std::uint32_t>(sectors); // the layout kept the sum below 2^32
        return true;
    }

    static std::uint64_t SectorsOf(std::uint64_t bytes) { return (bytes + iso::kSectorSize - 1) / iso::kSectorSize; }

    std::string error_;
    std::vector<std::string> warnings_;
    bool cancelled_ = false;
    std::uint32_t nextSector_ = 0;
    std::uint32_t totalSectors_ = 0;
    void* context_ = nullptr;
    ProgressFn callback_ = nullptr;
};

// ---------------------------------------------------------------------------
// In-place saves.
//
// The rescue pass only marks the files the new metadata will cover; the
// write pass copies each of them straight from its old sectors to its new
// place a bounded piece at a time, so a save holds at most one piece of one
// file in memory however much has to move. Every file fills exactly the
// sectors its size gives it, as in a new image.

// What the rescue pass decides for a file of the image: the write pass
// must move it (the new metadata covers it), or may move it down (a
// compacting save). Files it does not name stay where they are.
enum class Move { Must, MayDown };
// Sectors gathered per write and read per copy.
constexpr std::uint32_t kCopySectors = 256;

// Bytes in, whole sectors out: each full run of sectors goes to the image
// in one write, from a first sector on. Where subheaders are given (one per
// sector written, kSubheaderBytes each), sector n of the stream gets the
// n-th.
class SectorStream {
public:
    SectorStream(IIsoSector* sector, std::uint32_t firstSector, const std::vector<std::uint8_t>* subheaders = nullptr)
        : sector_(sector), next_(firstSector), buffer_(std::size_t{kCopySectors} * iso::kSectorSize),
          subheaders_(subheaders)
    {
    }

    // Room to fill directly; Commit says how much was filled.
    std::uint8_t* Room(std::size_t& room)
    {
        room = buffer_.size() - used_;
        return buffer_.data() + used_;
    }
    bool Commit(std::size_t count)
    {
        used_ += count;
        return used_ < buffer_.size() || Drain();
    }

    // Pads the last sector with zeros and writes what is left.
    bool Finish()
    {
        const std::size_t padded = (used_ + iso::kSectorSize - 1) / iso::kSectorSize * iso::kSectorSize;
        std::memset(buffer_.data() + used_, 0, padded - used_);
        used_ = padded;
        return Drain();
    }

    std::uint64_t BytesWritten() const { return written_; }

private:
    bool Drain()
    {
        const auto sectors = static_cast<std::uint32_t>(used_ / iso::kSectorSize);
        if (sectors != 0 && subheaders_ != nullptr) {
            const std::uint64_t at = written_ / iso::kSectorSize * kSubheaderBytes;
            if (at + std::uint64_t{sectors} * kSubheaderBytes > subheaders_->size()) {
                return false; // more sectors than the file was given subheaders for
            }
            if (!sector_->WriteSectorsWithSubheaders(buffer_.data(), subheaders_->data() + at, sectors, next_)) {
                return false;
            }
        } else if (sectors != 0 && !sector_->WriteSectors(buffer_.data(), sectors, next_)) {
            return false;
        }
        next_ += sectors;
        written_ += used_;
        used_ = 0;
        return true;
    }

    IIsoSector* sector_;
    std::uint32_t next_;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    const std::vector<std::uint8_t>* subheaders_;
};

class CIsoData final : public IIsoData {
public:
    bool Reserved() override { return true; }

    bool RescueData(IIsoSector* sector, IIsoDirEdit* tree, std::uint32_t moveLimit) override
    {
        error_.clear();
        fileCount_ = 0;
        rescueCount_ = 0;
        moveLimit_ = moveLimit;
        const writer::TreeAccess access(tree);
        if (!access.Valid()) {
            return Fail("no tree to save");
        }
        tangled_ = compact_ || pullTail_ || fillHoles_ ? TangledExtents(access) : std::set<std::uint32_t>{};
        moves_.clear();
        form2_.clear();
        return writer::ForEachFileInDataOrder(access, [&](DirNode* node, DirEntry& entry) {
            if (entry.size != 0) {
                if (entry.EntrySource == EntrySourceKind::Disk || entry.EntrySource == EntrySourceKind::Memory) {
                    ++fileCount_;
                } else if (entry.EntrySource == EntrySourceKind::Image
                           && entry.DataTouches(iso::kSystemAreaSectors, moveLimit)) {
                    if (entry.size > UINT32_MAX) {
                        return Fail("'" + entry.name + "' lies where the new folders go but is too large (4 GiB or "
                                    "more) to be moved in one piece");
                    }
                    if (sector != nullptr && HoldsForm2Data(entry, *sector)) {
                        return Fail("'" + entry.name + "' lies where the new folders go but is stored in Mode 2 Form 2"
                                    " sectors (such as the video of a Video CD), which a save cannot move: "
                                    + (error_.empty() ? std::string("their 2324 bytes of data do not fit the 2048 of"
                                                                    " the sectors a save writes")
                                                      : error_));
                    }
                    moves_[node] = Move::Must;
                    ++fileCount_;
                    ++rescueCount_;
                } else if (compact_ && entry.EntrySource == EntrySourceKind::Image && entry.moreExtents.empty()
                           && entry.size <= UINT32_MAX && entry.extent >= moveLimit
                           && tangled_.count(entry.extent) == 0 && sector != nullptr && Movable(entry, *sector)) {
                    moves_[node] = Move::MayDown;
                    ++fileCount_;
                }
            }
            return true;
        });
    }

    bool WriteData(IIsoDirEdit* tree, std::uint32_t startSector, IIsoSector* sector, void* context,
                   ProgressFn callback) override
    {
        error_.clear();
        warnings_.clear();
        nextSector_ = startSector;
        movedSectors_ = 0;
        fileIndex_ = 0;
        bootExtent_ = 0;
        bootSize_ = 0;
        const writer::TreeAccess access(tree);
        if (!access.Valid() || sector == nullptr) {
            return Fail("no tree or no image to write");
        }
        LearnNewFileSubheaders(access, *sector);
        DirNode* bootNode = nullptr;
        std::vector<std::pair<DirNode*, std::uint32_t>> work; // node, old extent of an image file
        writer::ForEachFileInDataOrder(access, [&](DirNode* node, DirEntry& entry) {
            if (entry.size == 0 || (entry.EntrySource == EntrySourceKind::Image && moves_.count(node) == 0)) {
                if (std::optional<std::string> warning = GrownEmptyFileWarning(entry)) {
                    warnings_.push_back(std::move(*warning));
                }
                NoteBoot(entry);
            } else if (entry.bootMark && bootPlace_ != 0 && entry.EntrySource == EntrySourceKind::Disk) {
                bootNode = node;
            } else {
                work.emplace_back(node, entry.EntrySource == EntrySourceKind::Image ? entry.extent : UINT32_MAX);
            }
            return true;
        });
        if (compact_) {
            // Files of the image in the order of their old places, each moved
            // no higher than it was: a copy then never reaches data that has
            // not been moved yet. New files follow.
            std::stable_sort(work.begin(), work.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        }
        std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint32_t> movedTo; // old extent, size -> new extent
        SharedLinks links;
        for (const auto& [node, oldExtent] : work) {
            DirEntry& entry = node->entry;
            const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(entry.size));
            if (entry.EntrySource != EntrySourceKind::Image) {
                const SharedLinks::File file = SharedLinks::FileOf(entry);
                if (const auto shared = links.EarlierExtent(file, entry.size)) {
                    ShareData(entry, *shared);
                } else {
                    const std::uint32_t at = Allocate(sectors);
                    links.Note(file, at, entry.size);
                    if (!Place(entry, at, sector)) {
                        return false;
                    }
                }
                Report(context, callback);
                continue;
            }
            const std::pair<std::uint32_t, std::uint64_t> key{entry.extent, entry.size};
            if (const auto shared = movedTo.find(key); shared != movedTo.end()) {
                // Another entry of the same data: it moved once.
                SetPlace(entry, shared->second);
                continue;
            }
            std::uint32_t at = 0;
            if (moves_.at(node) == Move::MayDown) {
                free_.Add(entry.extent, sectors);
                at = free_.Take(sectors, entry.extent).value_or(entry.extent);
                if (at == entry.extent) {
                    free_.Remove(entry.extent, sectors);
                    SetPlace(entry, at);
                } else if (!Place(entry, at, sector)) {
                    return false;
                }
            } else {
                at = Allocate(sectors);
                if (!Place(entry, at, sector)) {
                    return false;
                }
                // What the file left behind the new metadata is room for
                // the files that follow it.
                if (compact_ && tangled_.count(key.first) == 0) {
                    const std::uint32_t from = std::max(key.first, moveLimit_);
                    if (key.first + std::uint64_t{sectors} > from) {
                        free_.Add(from, key.first + std::uint64_t{sectors} - from);
                    }
                }
            }
            movedTo[key] = at;
            Report(context, callback);
        }
        if (bootNode != nullptr) {
            if (!Place(bootNode->entry, bootPlace_, sector)) {
                return false;
            }
            Report(context, callback);
        }
        if (nextSector_ != startSector) {
            return true; // data went behind the image: its end cannot come down
        }
        return (!fillHoles_ || MoveDown(access, sector, false)) && (!pullTail_ || MoveDown(access, sector, true));
    }

    void SetPlacement(const DataPlacement& placement) override
    {
        free_ = placement.free;
        compact_ = placement.compact;
        pullTail_ = placement.pullTail;
        fillHoles_ = placement.fillHoles;
        fixedEnd_ = placement.fixedEnd;
    }

    std::uint32_t GetEndSector() override { return nextSector_; }
    std::uint64_t GetMovedDownSectors() override { return movedSectors_; }

    std::uint32_t GetBootInfo(std::uint32_t& bootSize) override
    {
        bootSize = bootSize_;
        return bootExtent_;
    }

    std::uint32_t FindBootImageSize(IIsoDirEdit* tree, std::uint32_t bootSector) override
    {
        const writer::TreeAccess access(tree);
        if (access.Valid()) {
            writer::ForEachFileInDataOrder(access, [&](DirNode*, DirEntry& entry) {
                if (entry.extent == bootSector && entry.size <= UINT32_MAX) {
                    bootSize_ = static_cast<std::uint32_t>(entry.size);
                }
                return true;
            });
        }
        return bootSize_;
    }

    void SetBootImagePlace(std::uint32_t sector) override { bootPlace_ = sector; }
    std::uint32_t GetFileCount() override { return fileCount_; }
    std::uint32_t GetRescueCount() override { return rescueCount_; }
    const char* GetLastError() override { return error_.c_str(); }
    std::uint32_t GetWarningCount() override { return static_cast<std::uint32_t>(warnings_.size()); }
    const char* GetWarning(std::uint32_t index) override
    {
        return index < warnings_.size() ? warnings_[index].c_str() : "";
    }

private:
    bool Fail(std::string reason)
    {
        error_ = std::move(reason);
        return false;
    }

    void NoteBoot(const DirEntry& entry)
    {
        if (entry.bootMark) {
            bootExtent_ = entry.extent;
            bootSize_ = static_cast<std::uint32_t>(entry.size);
        }
    }

    void Report(void* context, ProgressFn callback)
    {
        if (callback != nullptr && fileCount_ != 0) {
            const std::uint64_t percent = std::uint64_t{fileIndex_} * 100 / fileCount_;
            callback(context, static_cast<std::int32_t>(std::min<std::uint64_t>(percent, 99)));
        }
        ++fileIndex_;
    }

    // Where a file of so many sectors goes: the first free run that holds
    // it, else behind everything.
    std::uint32_t Allocate(std::uint32_t sectors)
    {
        if (const std::optional<std::uint32_t> at = free_.Take(sectors)) {
            return *at;
        }
        const std::uint32_t at = nextSector_;
        nextSector_ += sectors;
        return at;
    }

    // The extents of single-extent files of the image that overlap another
    // file's sectors without being the same extent and size.
    static std::set<std::uint32_t> TangledExtents(const writer::TreeAccess& access)
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges; // first, end
        std::set<std::pair<std::uint32_t, std::uint64_t>> seen;
        writer::ForEachFileInDataOrder(access, [&](DirNode*, DirEntry& entry) {
            if (entry.EntrySource == EntrySourceKind::Image && entry.size != 0
                && seen.emplace(entry.extent, entry.size).second) {
                for (const ExtentPiece& piece : entry.Pieces()) {
                    ranges.emplace_back(piece.extent, std::uint64_t{piece.extent} + iso::SectorsFor(piece.length));
                }
            }
            return true;
        });
        std::sort(ranges.begin(), ranges.end());
        std::set<std::uint32_t> tangled;
        std::uint64_t reach = 0;
        std::uint64_t reachFirst = 0;
        for (const auto& [first, end] : ranges) {
            if (first < reach) {
                tangled.insert(static_cast<std::uint32_t>(first));
                tangled.insert(static_cast<std::uint32_t>(reachFirst));
            }
            if (end > reach) {
                reach = end;
                reachFirst = first;
            }
        }
        return tangled;
    }

    // Moves files of the image into free runs wholly below them; entries of
    // the same data move together. Highest first (the files that end the
    // volume, while one fits, so that the end comes down) or lowest first
    // (every file that fits somewhere lower, so that the holes fill up).
    bool MoveDown(const writer::TreeAccess& access, IIsoSector* sector, bool highestFirst)
    {
        std::map<std::pair<std::uint32_t, std::uint64_t>, std::vector<DirNode*>> byData;
        writer::ForEachFileInDataOrder(access, [&](DirNode* node, DirEntry& entry) {
            if (entry.EntrySource == EntrySourceKind::Image && entry.size != 0 && entry.size <= UINT32_MAX
                && entry.moreExtents.empty() && Movable(entry, *sector)) {
                byData[{entry.extent, entry.size}].push_back(node);
            }
            return true;
        });
        std::vector<std::pair<std::uint64_t, std::pair<std::uint32_t, std::uint64_t>>> order; // end, data
        for (const auto& [key, nodes] : byData) {
            order.emplace_back(key.first + std::uint64_t{iso::SectorsFor(static_cast<std::uint32_t>(key.second))},
                               key);
        }
        if (highestFirst) {
            std::sort(order.rbegin(), order.rend());
        }
        for (const auto& [end, key] : order) {
            const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(key.second));
            if (key.first < moveLimit_ || tangled_.count(key.first) != 0 || (highestFirst && end <= fixedEnd_)) {
                if (highestFirst) {
                    break;
                }
                continue;
            }
            const std::optional<std::uint32_t> at = free_.Take(sectors);
            if (!at || *at + std::uint64_t{sectors} > key.first) {
                if (at) {
                    free_.Add(*at, sectors);
                }
                if (highestFirst) {
                    break;
                }
                continue;
            }
            const std::vector<DirNode*>& nodes = byData[key];
            if (!Place(nodes.front()->entry, *at, sector)) {
                return false;
            }
            for (std::size_t index = 1; index < nodes.size(); ++index) {
                SetPlace(nodes[index]->entry, *at);
            }
            movedSectors_ += sectors;
        }
        return true;
    }

    // Gives an entry of the image its (new) extent without writing data.
    void SetPlace(DirEntry& entry, std::uint32_t at)
    {
        entry.extent = at;
        NoteBoot(entry);
    }

    // Makes a new entry an entry of the image whose data another name of
    // its file (a hard link) was placed with at `at`.
    void ShareData(DirEntry& entry, std::uint32_t at)
    {
        entry.EntrySource = EntrySourceKind::Image;
        entry.extentLength = static_cast<std::uint32_t>(entry.size);
        entry.moreExtents.clear();
        entry.memoryData.reset();
        SetPlace(entry, at);
    }

    // Writes the file's data from sector `at` on and makes it an entry of
    // the image there.
    bool Place(DirEntry& entry, std::uint32_t at, IIsoSector* sector)
    {
        const auto size = static_cast<std::uint32_t>(entry.size);
        if (std::uint64_t{at} + iso::SectorsFor(size) > UINT32_MAX) {
            return Fail("the image would be larger than an ISO 9660 volume can be (2^32 sectors)");
        }
        // What the file overwrites is kept for a rollback in one go (for the
        // image's old sectors; free and appended ones need nothing kept).
        if (at < sector->GetSectorCount() && !sector->ProtectAhead(at, std::min(iso::SectorsFor(size),
                                                                               sector->GetSectorCount() - at))) {
            return Fail(std::string("cannot keep what '") + entry.name + "' overwrites: " + sector->GetLastError());
        }
        std::vector<std::uint8_t> subheaders;
        if (!SubheadersFor(entry, *sector, subheaders)) {
            return false;
        }
        SectorStream stream(sector, at, sector->HasSubheaders() ? &subheaders : nullptr);
        bool copied = false;
        switch (entry.EntrySource) {
        case EntrySourceKind::Disk: copied = CopyFromDisk(entry, stream); break;
        case EntrySourceKind::Memory: copied = CopyFromMemory(entry, stream); break;
        case EntrySourceKind::Image: copied = CopyWithinImage(entry, stream, sector); break;
        case EntrySourceKind::None: copied = Fail("'" + entry.name + "' has no data to write"); break;
        }
        if (!copied || !stream.Finish()) {
            return error_.empty() ? Fail(std::string("cannot write the data of '") + entry.name + "': " +
                                         sector->GetLastError())
                                  : false;
        }
        if (stream.BytesWritten() != std::uint64_t{iso::SectorsFor(size)} * iso::kSectorSize) {
            return Fail("the data written for '" + entry.name + "' does not fill the sectors its size gives it");
        }
        entry.EntrySource = EntrySourceKind::Image;
        entry.extent = at;
        entry.extentLength = size;
        entry.moreExtents.clear();
        entry.memoryData.reset();
        NoteBoot(entry);
        return true;
    }

    bool CopyFromDisk(const DirEntry& entry, SectorStream& stream)
    {
        platform::File source;
        std::uint64_t length = 0;
        if (!source.Open(entry.diskPath, platform::OpenMode::ReadShared)) {
            return Fail("cannot read '" + entry.diskPath + "': " + source.LastError());
        }
        if (!source.Length(length)) {
            return Fail("cannot read '" + entry.diskPath + "': its length cannot be learnt");
        }
        std::uint64_t remaining = entry.size;
        std::uint64_t copied = 0;
        while (remaining > 0) {
            std::size_t room = 0;
            std::uint8_t* at = stream.Room(room);
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(room, remaining));
            std::size_t got = source.Read(at, want);
            if (got < want && !source.LastError().empty()) {
                return Fail("cannot read '" + entry.diskPath + "': " + source.LastError());
            }
            copied += got;
            // A file that got shorter is padded with zeros to its recorded size.
            std::memset(at + got, 0, want - got);
            if (!stream.Commit(want)) {
                return false;
            }
            remaining -= want;
        }
        if (std::optional<std::string> warning = ChangedLengthWarning(entry.diskPath, entry.size, length, copied)) {
            warnings_.push_back(std::move(*warning));
        }
        return true;
    }

    bool CopyFromMemory(const DirEntry& entry, SectorStream& stream)
    {
        if (entry.memoryData == nullptr || entry.memoryData->size() < entry.size) {
            return Fail("the data of '" + entry.name + "' is missing");
        }
        return Append(entry.memoryData->data(), entry.size, stream);
    }

    bool CopyWithinImage(const DirEntry& entry, SectorStream& stream, IIsoSector* sector)
    {
        if (!entry.DataWithin(sector->GetSectorCount())) {
            return Fail("the data of '" + entry.name + "' lies beyond the end of the image, so it cannot be moved "
                        "out of the way of the new folders");
        }
        const std::vector<ExtentPiece> pieces = entry.Pieces();
        std::vector<std::uint8_t> buffer(std::size_t{kCopySectors} * iso::kSectorSize);
        std::uint64_t total = 0;
        for (const ExtentPiece& piece : pieces) {
            std::uint32_t done = 0; // bytes of this piece
            while (done < piece.length) {
                const std::uint32_t sectors =
                    std::min(kCopySectors, iso::SectorsFor(piece.length - done));
                const std::uint32_t first = piece.extent + done / static_cast<std::uint32_t>(iso::kSectorSize);
                if (!sector->ReadSectors(first, buffer.data(), sectors)) {
                    return Fail("cannot read the data of '" + entry.name + "' to move it: " + sector->GetLastError());
                }
                const std::uint32_t take =
                    std::min<std::uint32_t>(piece.length - done, sectors * static_cast<std::uint32_t>(iso::kSectorSize));
                if (!Append(buffer.data(), take, stream)) {
                    return false;
                }
                done += take;
            }
            total += piece.length;
        }
        if (total != entry.size) {
            return Fail("the extents of '" + entry.name + "' do not add up to its size");
        }
        return true;
    }

    static bool Append(const std::uint8_t* data, std::uint64_t count, SectorStream& stream)
    {
        while (count > 0) {
            std::size_t room = 0;
            std::uint8_t* at = stream.Room(room);
            const auto now = static_cast<std::size_t>(std::min<std::uint64_t>(room, count));
            std::memcpy(at, data, now);
            if (!stream.Commit(now)) {
                return false;
            }
            data += now;
            count -= now;
        }
        return true;
    }

    // Whether some of a file's data lies in Mode 2 Form 2 sectors, which a
    // copy of their logical sectors would cut to 2048 of their 2324 bytes;
    // also true, with error_ saying why, when that cannot be told.
    bool HoldsForm2Data(const DirEntry& entry, IIsoSector& sector)
    {
        const auto [known, inserted] = form2_.try_emplace(entry.extent, false);
        if (!inserted) {
            return known->second;
        }
        for (const ExtentPiece& piece : entry.Pieces()) {
            if (sector.HasForm2Sectors(piece.extent, iso::SectorsFor(piece.length))) {
                known->second = true;
            } else if (*sector.GetLastError() != '\0') {
                error_ = "cannot tell how the data of '" + entry.name + "' is stored: " + sector.GetLastError();
                known->second = true;
            }
        }
        return known->second;
    }

    // The Mode 2 subheaders of a file's sectors wherever it is written, in an
    // image that stores them: a file of the image keeps those of its sectors
    // (read before anything of it is overwritten), a new file gets the
    // pattern of the image's own files (LearnNewFileSubheaders).
    bool SubheadersFor(const DirEntry& entry, IIsoSector& sector, std::vector<std::uint8_t>& subheaders)
    {
        subheaders.clear();
        if (!sector.HasSubheaders()) {
            return true;
        }
        const std::uint32_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(entry.size));
        if (entry.EntrySource == EntrySourceKind::Image) {
            for (const ExtentPiece& piece : entry.Pieces()) {
                const std::size_t at = subheaders.size();
                subheaders.resize(at + std::size_t{iso::SectorsFor(piece.length)} * kSubheaderBytes);
                if (!sector.ReadSubheaders(piece.extent, iso::SectorsFor(piece.length), subheaders.data() + at)) {
                    return Fail("cannot read the sector subheaders of '" + entry.name + "' to move it: "
                                + sector.GetLastError());
                }
            }
            if (subheaders.size() == std::size_t{sectors} * kSubheaderBytes) {
                return true;
            }
            // Pieces that do not end on whole sectors: the data runs on
            // across their ends, and the file's first and last subheaders
            // make its pattern.
            const std::vector<std::uint8_t> read = std::move(subheaders);
            subheaders.clear();
            AppendPattern(read.data(), read.data() + read.size() - kSubheaderBytes, sectors, subheaders);
            return true;
        }
        AppendPattern(newFileBody_.data(), newFileLast_.data(), sectors, subheaders);
        return true;
    }

    // sectors subheaders: body for all but the last, last for the last.
    static void AppendPattern(const std::uint8_t* body, const std::uint8_t* last, std::uint32_t sectors,
                              std::vector<std::uint8_t>& subheaders)
    {
        for (std::uint32_t i = 0; i < sectors; ++i) {
            const std::uint8_t* subheader = i + 1 == sectors ? last : body;
            subheaders.insert(subheaders.end(), subheader, subheader + kSubheaderBytes);
        }
    }

    // What new files are given in an image that stores subheaders: the
    // subheaders of the first file of the image (in data order) that lies
    // in Form 1 sectors: its first sector's without the end-of-record and
    // end-of-file bits for every sector but the last, its last sector's for
    // the last. Plain data subheaders where the image has no such file.
    void LearnNewFileSubheaders(const writer::TreeAccess& access, IIsoSector& sector)
    {
        std::copy(std::begin(raw::kForm1DataSubheader), std::end(raw::kForm1DataSubheader), newFileBody_.begin());
        newFileLast_ = newFileBody_;
        if (!sector.HasSubheaders()) {
            return;
        }
        const std::string kept = error_;
        bool learnt = false;
        writer::ForEachFileInDataOrder(access, [&](DirNode*, DirEntry& entry) {
            if (learnt || entry.EntrySource != EntrySourceKind::Image || entry.size == 0 || entry.size > UINT32_MAX
                || !entry.DataWithin(sector.GetSectorCount()) || HoldsForm2Data(entry, sector)) {
                return true;
            }
            const std::uint32_t last = entry.extent + iso::SectorsFor(static_cast<std::uint32_t>(entry.size)) - 1;
            if (!entry.moreExtents.empty() || !sector.ReadSubheaders(entry.extent, 1, newFileBody_.data())
                || !sector.ReadSubheaders(last, 1, newFileLast_.data())) {
                return true;
            }
            constexpr auto kEndBits = static_cast<std::uint8_t>(raw::kSubmodeEndOfRecord | raw::kSubmodeEndOfFile);
            for (std::size_t copy = 0; copy < kSubheaderBytes; copy += kSubheaderBytes / 2) {
                newFileBody_[copy + kSubmodeByte] &= static_cast<std::uint8_t>(~kEndBits);
            }
            learnt = true;
            return true;
        });
        error_ = kept; // a file that cannot be looked at teaches nothing
    }

    // Whether a save may give a file of the image another place.
    bool Movable(const DirEntry& entry, IIsoSector& sector)
    {
        if (!entry.DataWithin(sector.GetSectorCount())) {
            return false;
        }
        const std::string kept = error_;
        const bool form2 = HoldsForm2Data(entry, sector);
        error_ = kept; // a file that cannot be looked at stays where it is
        return !form2;
    }

    std::string error_;
    std::vector<std::string> warnings_;
    // Per first sector of a file's data: whether HoldsForm2Data found Form 2 sectors there.
    std::map<std::uint32_t, bool> form2_;
    // The subheaders of a new file's sectors, and of its last (LearnNewFileSubheaders).
    std::array<std::uint8_t, kSubheaderBytes> newFileBody_{};
    std::array<std::uint8_t, kSubheaderBytes> newFileLast_{};
    std::uint32_t fileCount_ = 0;
    std::uint32_t rescueCount_ = 0;
    std::uint32_t fileIndex_ = 0;
    std::uint32_t nextSector_ = 0;
    std::uint32_t bootExtent_ = 0;
    std::uint32_t bootSize_ = 0;
    std::uint32_t bootPlace_ = 0;
    std::uint32_t moveLimit_ = 0;
    iso::SectorSet free_;
    bool compact_ = false;
    bool pullTail_ = false;
    bool fillHoles_ = false;
    std::uint64_t movedSectors_ = 0;
    std::uint32_t fixedEnd_ = 0;
    // Old extents of files whose data overlaps another file's without being
    // the same data: such files stay where they are when compacting.
    std::set<std::uint32_t> tangled_;
    std::unordered_map<const DirNode*, Move> moves_; // from the rescue pass
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildData, tarvelin::IBuildData, NEW_DATANEW, NEW_00_DATANEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoData, tarvelin::IIsoData, Data1, Data2)
