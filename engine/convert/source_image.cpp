#include "convert/source_image.h"

#include "core/image_file.h"
#include "core/iso9660_constants.h"
#include "core/nrg_image.h"
#include "core/raw_sector.h"
#include "platform/directory.h"
#include "platform/same_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tarvelin {

namespace {

constexpr std::uint32_t kUserDataSize = 2048;
constexpr std::uint32_t kNoSector = std::numeric_limits<std::uint32_t>::max();

} // namespace

ConvertSource::~ConvertSource() { DestroyComponent(reader_); }

bool ConvertSource::Open(const char* path)
{
    DestroyComponent(reader_);
    layout_ = ImageLayout{};
    probe_ = LayoutProbe::None;
    trackMode_ = TrackMode::Plain;
    damaged_ = 0;
    firstDamaged_ = kNoSector;
    openError_ = ImageOpenError::CannotOpen;
    sectorCount_ = 0;
    dataPath_.clear();
    sheetPath_.clear();
    shortfall_.clear();
    lastError_.clear();
    if (path == nullptr || *path == '\0') {
        lastError_ = "no source image named";
        return false;
    }
    if (!ResolveImagePath(path, dataPath_, lastError_)) {
        return false;
    }
    if (dataPath_ != path) {
        sheetPath_ = path;
    }
    reader_ = newReader_();
    if (reader_ == nullptr) {
        lastError_ = "out of memory";
        return false;
    }
    if (!reader_->Open(dataPath_.c_str())) {
        lastError_ = reader_->GetLastError();
        if (dataPath_ != path) {
            lastError_ += " (named by the CUE sheet '" + std::string(path) + "')";
        }
        return false;
    }
    IMappedFile* reader = reader_;
    const std::optional<CueDataTrack> dataTrack = CueDataTrackOf(path);
    probe_ = DetectImageLayout(
        [reader](std::uint64_t position, void* buffer, std::uint32_t count) {
            return reader->ReadAt(position, buffer, count);
        },
        layout_, dataTrack ? dataTrack->start : 0, dataTrack ? dataTrack->discSector : 0);
    if (probe_ == LayoutProbe::None) {
        openError_ = ImageOpenError::NoVolume;
        lastError_ = "no ISO 9660 volume found in '" + dataPath_ + "', nor a UDF one";
        if (std::string beyond = DataTrackBeyondEnd(dataTrack, dataPath_, reader_->GetSize()); !beyond.empty()) {
            lastError_ += ": " + beyond;
        }
        return false;
    }
    openError_ = ImageOpenError::None;
    sectorCount_ = SectorCountOf(layout_, reader_->GetSize());
    // A data track that the sheet's audio tracks follow in the same file
    // (a mixed-mode disc): the audio is no sector of the volume, and its
    // samples read as user data would only trail the ISO as noise.
    if (dataTrack && dataTrack->end && *dataTrack->end < reader_->GetSize()) {
        sectorCount_ = std::min(sectorCount_, SectorCountOf(layout_, *dataTrack->end));
    }
    // A Nero image's chunk chain behind its track is no sector of the volume.
    if (!dataTrack) {
        const std::optional<nrg::Trailer> chain = nrg::ReadTrailer(
            [reader](std::uint64_t position, void* buffer, std::uint32_t count) {
                return reader->ReadAt(position, buffer, count);
            },
            reader_->GetSize());
        if (chain) {
            sectorCount_ = std::min(sectorCount_, SectorCountOf(layout_, chain->chainOffset));
        }
    }
    std::uint8_t descriptor[kUserDataSize];
    Read(iso::kFirstDescriptorSector, 1, descriptor);
    // Raw sectors are checked from here on: the descriptor is, when the
    // conversion reads it.
    trackMode_ = StoredTrackMode(
        [reader](std::uint64_t position, void* buffer, std::uint32_t count) {
            return reader->ReadAt(position, buffer, count);
        },
        layout_);
    if (const std::uint32_t volume = PrimaryVolumeSectors(descriptor); volume > sectorCount_) {
        shortfall_ = "'" + std::string(path) + "' ends " + std::to_string(volume - sectorCount_)
                     + " sectors before its volume does (the volume has " + std::to_string(volume)
                     + "): the output holds only the " + std::to_string(sectorCount_) + " sectors there are";
    }
    // Mode 2 Form 2 sectors hold 2324 bytes of data, of which 2048-byte
    // sectors keep only a part: files stored in them come out cut.
    if (StoresSubheaders([reader](std::uint64_t position, void* buffer, std::uint32_t count) {
            return reader->ReadAt(position, buffer, count);
        }, layout_)) {
        std::uint32_t form2 = 0;
        const std::uint8_t* view = reader_->GetView();
        const auto size = static_cast<std::int64_t>(reader_->GetSize());
        for (std::uint32_t sector = 0; view != nullptr && sector < sectorCount_; ++sector) {
            const std::int64_t submode = UserDataStart(layout_, sector) - kSubheaderBytes + kSubmodeByte;
            form2 += submode >= 0 && submode < size && (view[submode] & raw::kSubmodeForm2) != 0;
        }
        if (form2 != 0) {
            shortfall_ += std::string(shortfall_.empty() ? "" : "; ") + "'" + path + "' holds "
                + std::to_string(form2)
                + " Mode 2 Form 2 sectors (2324 bytes of data each, such as a Video CD's video): the output keeps 2048"
                  " bytes of each, so the files stored in them come out cut";
        }
    }
    return true;
}

void ConvertSource::Close(const std::string& reason)
{
    DestroyComponent(reader_);
    probe_ = LayoutProbe::None;
    openError_ = ImageOpenError::CannotOpen;
    sectorCount_ = 0;
    lastError_ = reason;
}

const std::uint8_t* ConvertSource::Contiguous(std::uint32_t first, std::uint32_t count) const
{
    if (!IsOpen() || layout_.sectorSize != kUserDataSize || count == 0
        || std::uint64_t{first} + count - 1 > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    // A session's volume runs on in the file from the session's start, not
    // from the sectors below it.
    if (layout_.sessionStart != 0 && first < layout_.sessionStart && count > layout_.sessionStart - first) {
        return nullptr;
    }
    const std::int64_t start = UserDataStart(layout_, first);
    const auto size = static_cast<std::int64_t>(reader_->GetSize());
    if (start < 0 || start + std::int64_t{count} * kUserDataSize > size || reader_->GetView() == nullptr) {
        return nullptr;
    }
    return reader_->GetView() + start;
}

bool ConvertSource::Read(std::uint32_t first, std::uint32_t count, std::uint8_t* out)
{
    if (!IsOpen()) {
        lastError_ = "no source image is open";
        return false;
    }
    // Straight from the view, not through the reader's position: two
    // threads may read different sectors at once.
    const std::uint8_t* view = reader_->GetView();
    const auto size = static_cast<std::int64_t>(reader_->GetSize());
    std::uint32_t damaged = 0;
    std::uint32_t firstDamaged = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* sector = out + std::uint64_t{i} * kUserDataSize;
        // A sector number past the last one reads as zeros, like any sector
        // the layout places outside the file.
        const std::int64_t start = first + i < first ? size : UserDataStart(layout_, first + i);
        // A raw sector (stored whole in the file) whose own checks fail.
        const std::int64_t stored = start - layout_.dataOffset;
        if (trackMode_ != TrackMode::Plain && stored >= 0 && stored + std::int64_t{raw::kSectorSize} <= size
            && raw::CheckSector(view + stored, static_cast<std::uint8_t>(trackMode_)) != raw::SectorCheck::Sound
            && damaged++ == 0) {
            firstDamaged = first + i;
        }
        const std::int64_t from = std::clamp<std::int64_t>(start, 0, size);
        const std::int64_t to = std::clamp<std::int64_t>(start + kUserDataSize, 0, size);
        const auto lead = static_cast<std::uint32_t>(std::clamp<std::int64_t>(from - start, 0, kUserDataSize));
        const auto copied = static_cast<std::uint32_t>(to - from);
        std::memset(sector, 0, lead);
        if (copied > 0) {
            std::memcpy(sector + lead, view + from, copied);
        }
        std::memset(sector + lead + copied, 0, kUserDataSize - lead - copied);
    }
    if (damaged != 0) {
        std::uint32_t lowest = firstDamaged_.load();
        while (firstDamaged < lowest && !firstDamaged_.compare_exchange_weak(lowest, firstDamaged)) {
        }
        damaged_ += damaged;
    }
    return true;
}

std::uint32_t ConvertSource::DamagedSectors(std::uint32_t* first) const
{
    const std::uint32_t count = damaged_.load();
    if (first != nullptr) {
        *first = count == 0 ? 0 : firstDamaged_.load();
    }
    return count;
}

std::string ConvertSource::OutputConflict(const std::string& path) const
{
    // The output would replace the file being read; the refusal that the
    // output's own open gives then blames some other program. Over the
    // sheet it would lose the tracks the sheet alone describes.
    if (!IsOpen()) {
        return {};
    }
    if (platform::SameFile(dataPath_, path)) {
        return "'" + path + "' is the source image of the conversion: name another output file";
    }
    if (!sheetPath_.empty() && platform::SameFile(sheetPath_, path)) {
        return "'" + path + "' is the CUE sheet of the source image of the conversion: name another output file";
    }
    return {};
}

} // namespace tarvelin
