// Logical sector access. An image stores logical sector N's 2048 user bytes
// at (N - firstSector) * sectorSize + dataOffset + baseOffset; Open finds
// these five numbers by looking for the primary volume descriptor (logical
// sector 16), or a UDF recognition sequence there, where each known layout
// would put it, then by scanning the first MiB for a primary descriptor. Raw
// images get their sectors checked as they are read, and written back whole
// (sync, header, EDC and parity), in the mode their sector 16 is stored in.

#include "core/iso_sector.h"

#include "core/image_file.h"
#include "core/iso9660_constants.h"
#include "core/nrg_image.h"
#include "core/raw_sector.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin {

namespace {

constexpr auto kSectorSize = static_cast<std::uint32_t>(iso::kSectorSize);
constexpr std::uint32_t kVolumeDescriptorSector = iso::kFirstDescriptorSector;

// Detection looks at the type byte and the standard identifier of the
// volume descriptor header, not at its version.
constexpr auto kPrimaryVolumeDescriptorType = static_cast<std::uint8_t>(iso::DescriptorType::Primary);
constexpr std::string_view kStandardIdentifier = iso::kStandardIdentifier;
constexpr std::size_t kDescriptorHeadSize = 1 + kStandardIdentifier.size();

// The scan walks the first MiB in chunks of 16 KiB.
constexpr std::uint64_t kScanLimit = 1024 * 1024;
constexpr std::uint32_t kScanChunk = 16 * 1024;

// Strided reads and raw writes go through a scratch buffer of about this size.
constexpr std::size_t kScratchBytes = 1024 * 1024;
// Mode 2 sectors stored without sync and header: subheader, then data.
constexpr std::uint32_t kMode2SectorSize = 2336;
// Plain reads and writes are handed to the file in pieces no larger than this
// (its counts are 32-bit).
constexpr std::uint64_t kMaxTransfer = 1u << 30;

struct FixedProbe {
    LayoutProbe probe;
    std::uint32_t sectorSize;
    std::uint32_t dataOffset;
};

// Tried in this order; the scan comes last.
constexpr FixedProbe kFixedProbes[] = {
    {LayoutProbe::PlainIso, kSectorSize, 0},
    {LayoutProbe::RawMode1, static_cast<std::uint32_t>(raw::kSectorSize),
     static_cast<std::uint32_t>(raw::kMode1DataOffset)},
    {LayoutProbe::RawMode2, static_cast<std::uint32_t>(raw::kSectorSize),
     static_cast<std::uint32_t>(raw::kMode2Form1DataOffset)},
};

bool HasStandardIdentifier(const std::uint8_t* descriptor)
{
    return std::memcmp(descriptor + 1, kStandardIdentifier.data(), kStandardIdentifier.size()) == 0;
}

// First position p >= from with the whole pattern inside bytes[0, size).
std::optional<std::size_t> FindPattern(const std::uint8_t* bytes, std::size_t size, std::size_t from,
                                       std::string_view pattern)
{
    if (size < pattern.size()) {
        return std::nullopt;
    }
    for (std::size_t p = from; p + pattern.size() <= size; ++p) {
        if (bytes[p] == static_cast<std::uint8_t>(pattern[0])
            && std::memcmp(bytes + p, pattern.data(), pattern.size()) == 0) {
            return p;
        }
    }
    return std::nullopt;
}

// Whether the 2048 bytes at position begin a primary volume descriptor.
bool PrimaryDescriptorAt(const LayoutReadFn& readAt, std::uint64_t position)
{
    std::array<std::uint8_t, kDescriptorHeadSize> head{};
    return readAt(position, head.data(), head.size()) == head.size() && head[0] == kPrimaryVolumeDescriptorType
        && HasStandardIdentifier(head.data());
}

// A volume lies at sector 16 of the fixed layout: an ISO 9660 primary
// volume descriptor followed by another descriptor (its type is not looked
// at: any descriptor, or the set terminator, follows the primary one), or
// the recognition sequence of a volume of UDF alone.
bool TryFixedProbe(const LayoutReadFn& readAt, const FixedProbe& fixed, ImageLayout& layout)
{
    const std::uint64_t first = std::uint64_t{kVolumeDescriptorSector} * fixed.sectorSize + fixed.dataOffset;
    std::array<std::uint8_t, kDescriptorHeadSize> next{};
    const bool iso9660 = PrimaryDescriptorAt(readAt, first)
        && readAt(first + fixed.sectorSize, next.data(), next.size()) == next.size()
        && HasStandardIdentifier(next.data());
    const iso::SectorReader sectors = [&readAt, &fixed](std::uint32_t sector, std::uint8_t* buffer) {
        return readAt(std::uint64_t{sector} * fixed.sectorSize + fixed.dataOffset, buffer, kSectorSize)
            == kSectorSize;
    };
    if (!iso9660
        && iso::UdfNsrVersionAt(sectors, std::numeric_limits<std::uint32_t>::max(), kVolumeDescriptorSector) == 0) {
        return false;
    }
    layout = ImageLayout{0, 0, fixed.sectorSize, fixed.dataOffset, fixed.sectorSize - kSectorSize - fixed.dataOffset};
    return true;
}

// What a scan for a volume looks for: the identifier of the descriptor at
// logical sector 16 (with the type byte in front of it) and one of the
// descriptor that follows it a sector later.
struct ScanMark {
    std::string_view identifier;
    std::uint8_t type;
    std::string_view next;
};
// An ISO 9660 primary volume descriptor, and any descriptor behind it.
constexpr ScanMark kIso9660Mark{kStandardIdentifier, kPrimaryVolumeDescriptorType, kStandardIdentifier};
// The recognition sequence of a volume of UDF alone: its beginning, then
// the descriptor that names the UDF revision.
constexpr ScanMark kUdfMark{iso::kUdfBeginExtendedArea, 0, iso::kUdfNsrPrefix};

// Finds a volume behind an unknown header or in sectors of an unknown
// size: the first identifier of the mark in each 16 KiB chunk of the first
// MiB is taken as that of logical sector 16 when its type byte is the
// mark's, and the distance to the next descriptor's identifier as the
// sector size. A chunk is read with the few bytes behind it, so that an
// identifier running across its end is found in it, not missed by both
// chunks.
bool ScanForMark(const LayoutReadFn& readAt, const ScanMark& mark, ImageLayout& layout)
{
    const auto overlap = static_cast<std::uint32_t>(mark.identifier.size() - 1);
    std::vector<std::uint8_t> chunk(kScanChunk + overlap);
    std::vector<std::uint8_t> candidate(kScanChunk);
    for (std::uint64_t chunkStart = 0; chunkStart < kScanLimit; chunkStart += kScanChunk) {
        const std::uint32_t got = readAt(chunkStart, chunk.data(), kScanChunk + overlap);
        if (got == 0) {
            break;
        }
        const auto found = FindPattern(chunk.data(), got, 0, mark.identifier);
        // Only the first occurrence counts (one starting in the overlap is
        // the next chunk's); one at the very start of the file has no type
        // byte in front of it.
        if (!found || *found >= kScanChunk || chunkStart + *found == 0) {
            continue;
        }
        const std::uint64_t descriptor = chunkStart + *found - 1;
        const std::uint32_t candidateSize = readAt(descriptor, candidate.data(), kScanChunk);
        if (candidateSize < kDescriptorHeadSize || candidate[0] != mark.type) {
            continue;
        }
        const auto second = FindPattern(candidate.data(), candidateSize, kDescriptorHeadSize, mark.next);
        if (!second) {
            continue;
        }
        const auto distance = static_cast<std::uint32_t>(*second - 1);
        if (distance < kSectorSize) {
            continue;
        }
        layout = ImageLayout{descriptor, kVolumeDescriptorSector, distance, 0, distance - kSectorSize};
        return true;
    }
    return false;
}

bool ScanForVolume(const LayoutReadFn& readAt, ImageLayout& layout)
{
    if (ScanForMark(readAt, kIso9660Mark, layout)) {
        return true;
    }
    ImageLayout udf;
    const iso::SectorReader sectors = [&readAt, &udf](std::uint32_t sector, std::uint8_t* buffer) {
        const std::int64_t at = UserDataStart(udf, sector);
        return at >= 0 && readAt(static_cast<std::uint64_t>(at), buffer, kSectorSize) == kSectorSize;
    };
    if (!ScanForMark(readAt, kUdfMark, udf)
        || iso::UdfNsrVersionAt(sectors, std::numeric_limits<std::uint32_t>::max(), kVolumeDescriptorSector) == 0) {
        return false;
    }
    layout = udf;
    return true;
}

std::uint32_t RawHeaderSize(TrackMode mode)
{
    return static_cast<std::uint32_t>(mode == TrackMode::Mode1 ? raw::kMode1DataOffset : raw::kMode2Form1DataOffset);
}

std::uint32_t LittleEndian32(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16
           | std::uint32_t{bytes[3]} << 24;
}

// The mode of the raw sector whose user data starts at userData, by the sync
// pattern and mode byte of its header (Plain when it has none), and the
// disc sector its address gives, when it gives one.
TrackMode RawHeaderAt(const LayoutReadFn& readAt, std::int64_t userData, std::optional<std::uint32_t>& address)
{
    address.reset();
    constexpr struct {
        std::uint32_t headerSize;
        std::uint8_t mode;
        TrackMode trackMode;
    } kForms[] = {
        {static_cast<std::uint32_t>(raw::kMode1DataOffset), 1, TrackMode::Mode1},
        {static_cast<std::uint32_t>(raw::kMode2Form1DataOffset), 2, TrackMode::Mode2Form1},
    };
    for (const auto& form : kForms) {
        std::array<std::uint8_t, 16> header{};
        if (userData < std::int64_t{form.headerSize}
            || readAt(static_cast<std::uint64_t>(userData - form.headerSize), header.data(), header.size())
                   != header.size()
            || std::memcmp(header.data(), raw::kSyncPattern, sizeof(raw::kSyncPattern)) != 0
            || header[15] != form.mode) {
            continue;
        }
        std::uint32_t lba = 0;
        if (raw::DecodeAddress(header.data() + 12, lba)) {
            address = lba;
        }
        return form.trackMode;
    }
    return TrackMode::Plain;
}

// True when sector `at` of the layout starts with a directory record whose
// extent is `extent`: a directory's first record (".") gives the
// directory's own extent.
bool DirectoryStartsAt(const LayoutReadFn& readAt, const ImageLayout& layout, std::uint32_t at, std::uint32_t extent)
{
    constexpr std::uint8_t kShortestDotRecord = 34; // 33 bytes and a one-byte name
    const std::int64_t position = UserDataStart(layout, at);
    std::array<std::uint8_t, iso::kRecordExtentOffset + 4> record{};
    if (position < 0 || readAt(static_cast<std::uint64_t>(position), record.data(), record.size()) != record.size()) {
        return false;
    }
    return record[iso::kRecordLengthOffset] >= kShortestDotRecord
           && LittleEndian32(record.data() + iso::kRecordExtentOffset) == extent;
}

// Where the volume of a track that starts at disc sector trackSector
// counts its sectors from: the track's start (0) when its root directory
// lies where its primary descriptor puts it counted so, else the disc's
// start (trackSector) when it lies there counted from the disc's start,
// behind the descriptors and below trackSector (logical sectors below it are
// the track's first ones: they must hold the descriptors).
std::uint32_t SessionStartOf(const LayoutReadFn& readAt, const ImageLayout& layout, std::uint32_t trackSector)
{
    if (trackSector == 0) {
        return 0;
    }
    const std::int64_t descriptor = UserDataStart(layout, kVolumeDescriptorSector);
    std::array<std::uint8_t, iso::kRootRecordOffset + iso::kRecordExtentOffset + 4> head{};
    if (descriptor < 0 || readAt(static_cast<std::uint64_t>(descriptor), head.data(), head.size()) != head.size()) {
        return 0;
    }
    const std::uint32_t root = LittleEndian32(head.data() + iso::kRootRecordOffset + iso::kRecordExtentOffset);
    if (DirectoryStartsAt(readAt, layout, root, root) || root < trackSector) {
        return 0;
    }
    const std::uint32_t inTrack = root - trackSector;
    if (inTrack <= kVolumeDescriptorSector || inTrack >= trackSector) {
        return 0;
    }
    return DirectoryStartsAt(readAt, layout, inTrack, root) ? trackSector : 0;
}

} // namespace

LayoutProbe DetectImageLayout(const LayoutReadFn& readAt, ImageLayout& layout, std::uint64_t trackStart,
                              std::uint32_t trackSector)
{
    const LayoutReadFn inTrack = [&readAt, trackStart](std::uint64_t position, void* buffer, std::uint32_t count) {
        return readAt(trackStart + position, buffer, count);
    };
    LayoutProbe probe = LayoutProbe::None;
    for (const FixedProbe& fixed : kFixedProbes) {
        if (TryFixedProbe(inTrack, fixed, layout)) {
            probe = fixed.probe;
            break;
        }
    }
    if (probe == LayoutProbe::None && ScanForVolume(inTrack, layout)) {
        probe = LayoutProbe::Scanned;
    }
    if (probe != LayoutProbe::None) {
        // The headers of raw sectors give the track's place on the disc.
        std::optional<std::uint32_t> address;
        const TrackMode mode = layout.sectorSize >= raw::kSectorSize
                                   ? RawHeaderAt(inTrack, UserDataStart(layout, kVolumeDescriptorSector), address)
                                   : TrackMode::Plain;
        if (mode != TrackMode::Plain && address) {
            trackSector = *address >= kVolumeDescriptorSector ? *address - kVolumeDescriptorSector : 0;
        }
        // A scan finds the user data; a raw sector's stored form starts at
        // its sync pattern, ahead of it. Where each sector starts matters to
        // whatever spans whole sectors: raw writes, their undo, a cut.
        if (probe == LayoutProbe::Scanned && mode != TrackMode::Plain) {
            const std::uint32_t header = RawHeaderSize(mode);
            layout.baseOffset -= header;
            layout.dataOffset = header;
            layout.tailSize = layout.sectorSize - kSectorSize - header;
        }
        layout.sessionStart = SessionStartOf(inTrack, layout, trackSector);
        layout.baseOffset += trackStart;
    }
    return probe;
}

TrackMode StoredTrackMode(const LayoutReadFn& readAt, const ImageLayout& layout)
{
    std::optional<std::uint32_t> address;
    return layout.sectorSize >= raw::kSectorSize
               ? RawHeaderAt(readAt, UserDataStart(layout, kVolumeDescriptorSector), address)
               : TrackMode::Plain;
}

std::string DescribeDamagedSectors(std::uint32_t count, std::uint32_t first)
{
    const std::string why = " (no sync pattern, as a sector a drive could not read is left, a header of another mode, "
                            "or data that its error detection code does not match)";
    if (count == 1) {
        return "sector " + std::to_string(first) + " is damaged" + why + ": its bytes are given as they are stored";
    }
    return std::to_string(count) + " sectors are damaged, the first sector " + std::to_string(first) + why
        + ": their bytes are given as they are stored";
}

bool StoresSubheaders(const LayoutReadFn& readAt, const ImageLayout& layout)
{
    return layout.sectorSize == kMode2SectorSize || StoredTrackMode(readAt, layout) == TrackMode::Mode2Form1;
}

// Cannot overflow for a detected layout: its first sector is 16 at most and
// its sectors are shorter than the scanned MiB.
std::int64_t UserDataStart(const ImageLayout& layout, std::uint32_t sector)
{
    const std::uint32_t inTrack =
        layout.sessionStart != 0 && sector >= layout.sessionStart ? sector - layout.sessionStart : sector;
    const std::int64_t index = std::int64_t{inTrack} - std::int64_t{layout.firstSector};
    return static_cast<std::int64_t>(layout.baseOffset) + layout.dataOffset + index * layout.sectorSize;
}

std::uint32_t SectorCountOf(const ImageLayout& layout, std::uint64_t fileLength)
{
    if (layout.sectorSize == 0) {
        return 0;
    }
    const auto length = static_cast<std::int64_t>(
        std::min<std::uint64_t>(fileLength, std::numeric_limits<std::int64_t>::max() / 2));
    const std::int64_t first = UserDataStart(layout, 0);
    if (first >= length) {
        return 0;
    }
    const std::int64_t stride = layout.sectorSize;
    const std::uint64_t count =
        static_cast<std::uint64_t>((length - first + stride - 1) / stride) + layout.sessionStart;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t PrimaryVolumeSectors(const std::uint8_t* descriptor)
{
    if (descriptor[0] != static_cast<std::uint8_t>(iso::DescriptorType::Primary) || !HasStandardIdentifier(descriptor)) {
        return 0;
    }
    return LittleEndian32(descriptor + iso::kVolumeSpaceSizeOffset);
}

namespace iso {

namespace {

// A recognition sequence holds a handful of descriptors (BEA01, NSR, BOOT2,
// TEA01); a longer walk would only read through the image's data.
constexpr std::uint32_t kMaxExtendedAreaSectors = 16;

using SectorBuffer = std::array<std::uint8_t, kSectorSize>;

// The identifier of a volume structure descriptor (type 0, version 1), or
// nothing for any other sector.
std::optional<std::string_view> StructureIdentifier(const SectorBuffer& buffer)
{
    if (buffer[0] != 0 || buffer[6] != 1) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char*>(buffer.data() + 1), 5);
}

} // namespace

std::uint8_t UdfNsrVersionAt(const SectorReader& read, std::uint32_t sectorCount, std::uint32_t sector)
{
    SectorBuffer buffer{};
    const auto readInside = [&](std::uint32_t at) { return at < sectorCount && read && read(at, buffer.data()); };
    if (!readInside(sector) || StructureIdentifier(buffer) != kUdfBeginExtendedArea) {
        return 0;
    }
    for (std::uint32_t i = 1; i < kMaxExtendedAreaSectors && readInside(sector + i); ++i) {
        const std::optional<std::string_view> identifier = StructureIdentifier(buffer);
        // Each descriptor starts a block of the volume: with blocks larger
        // than a sector, blank sectors lie between them.
        if (!identifier && std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t byte) { return byte == 0; })) {
            continue;
        }
        if (!identifier || *identifier == kUdfTerminateExtendedArea) {
            break;
        }
        if (identifier->starts_with(kUdfNsrPrefix) && ((*identifier)[4] == '2' || (*identifier)[4] == '3')) {
            return static_cast<std::uint8_t>((*identifier)[4] - '0');
        }
    }
    return 0;
}

} // namespace iso

class CIsoSector final : public IIsoSector {
public:
    ~CIsoSector() override { DestroyComponent(file_); }

    bool Init() override
    {
        // Without its file the component stays usable as an object; Open
        // then fails with a reason.
        file_ = RwFile1();
        return true;
    }

    bool Reserved() override { return true; }

    void AcceptUdfAlone(bool accept) override { acceptUdfAlone_ = accept; }
    bool HoldsUdfAlone() override { return probe_ != LayoutProbe::None && udfAlone_; }

    bool Open(const char* path) override
    {
        trackMode_ = TrackMode::Plain;
        udfAlone_ = false;
        damaged_.clear();
        subheaders_ = false;
        addressShift_ = 0;
        trackSectors_.reset();
        nrg_.reset();
        layout_ = ImageLayout{};
        probe_ = LayoutProbe::None;
        openError_ = ImageOpenError::None;
        lastError_.clear();
        if (file_ == nullptr) {
            openError_ = ImageOpenError::CannotOpen;
            lastError_ = "out of memory";
            return false;
        }
        if (!file_->Open(path)) {
            openError_ = ImageOpenError::CannotOpen;
            lastError_ = file_->GetLastError();
            return false;
        }
        dataTrack_ = CueDataTrackOf(path);
        if (!DetectLayout()) {
            openError_ = ImageOpenError::NoVolume;
            lastError_ = std::string("no ISO 9660 volume found in '") + file_->GetPath() + "', nor a UDF one";
            if (std::string beyond = DataTrackBeyondEnd(dataTrack_, file_->GetPath(), file_->GetLength());
                !beyond.empty()) {
                lastError_ += ": " + beyond;
            }
            return false;
        }
        udfAlone_ = !PrimaryDescriptorAt(
            [this](std::uint64_t position, void* buffer, std::uint32_t count) {
                return file_->ReadAt(position, buffer, count);
            },
            static_cast<std::uint64_t>(UserDataStart(layout_, kVolumeDescriptorSector)));
        if (udfAlone_ && !acceptUdfAlone_) {
            probe_ = LayoutProbe::None;
            openError_ = ImageOpenError::NoVolume;
            lastError_ = std::string("no ISO 9660 volume found in '") + file_->GetPath() + "': it holds a UDF volume alone";
            return false;
        }
        trackMode_ = DetectTrackMode();
        subheaders_ = StoresSubheaders(
            [this](std::uint64_t position, void* buffer, std::uint32_t count) {
                return file_->ReadAt(position, buffer, count);
            },
            layout_);
        // A data track that the sheet's audio tracks follow in the same file
        // (a mixed-mode disc) ends where they begin: its volume may not grow
        // over them.
        if (dataTrack_ && dataTrack_->end && *dataTrack_->end < file_->GetLength()) {
            trackSectors_ = SectorCountOf(layout_, *dataTrack_->end);
            trackLimit_ = "the CUE sheet's further tracks follow it in the file";
        }
        // A sheet with further tracks that cannot be followed to the data
        // track's end (an INDEX time that is no time, tracks that run
        // backwards) is read as its first file whole: a further track may
        // lie in that file, and what a save appended behind its end would
        // become part of that track.
        if (!dataTrack_ && CueSheetListsFurtherTracks(path)) {
            trackSectors_ = SectorCountOf(layout_, file_->GetLength());
            trackLimit_ = "the CUE sheet lists further tracks, and where they lie cannot be read from it";
        }
        ReadNeroChain();
        return true;
    }

    bool ReadSector(std::uint32_t sector, void* buffer) override { return ReadSectors(sector, buffer, 1); }

    bool ReadSectors(std::uint32_t firstSector, void* buffer, std::uint32_t count) override
    {
        if (count == 0) {
            return true;
        }
        std::uint64_t position = 0;
        if (!CheckRange(firstSector, count) || !UserDataPosition(firstSector, position)) {
            return false;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        // The sectors of a session's volume run on in the file from the
        // session's start, not from the ones below it.
        const std::uint32_t session = layout_.sessionStart;
        if (session != 0 && firstSector < session && count > session - firstSector) {
            const std::uint32_t below = session - firstSector;
            return ReadSectors(firstSector, out, below)
                   && ReadSectors(session, out + std::uint64_t{below} * kSectorSize, count - below);
        }
        if (layout_.sectorSize == kSectorSize) {
            return ReadBytes(position, out, std::uint64_t{count} * kSectorSize);
        }
        // Many stored sectors per read; their user data is copied out. Raw
        // sectors are read whole, from their sync pattern on, and checked.
        const std::uint32_t stride = layout_.sectorSize;
        const std::uint32_t perRead = std::max<std::uint32_t>(1, kScratchBytes / stride);
        const bool checked = trackMode_ != TrackMode::Plain && position >= layout_.dataOffset;
        const std::uint32_t lead = checked ? layout_.dataOffset : 0;
        const std::uint64_t fileLength = checked ? file_->GetLength() : 0; // once: it asks the file system
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t batch = std::min(perRead, count - done);
            const std::uint64_t span =
                checked ? std::uint64_t{batch} * stride : std::uint64_t{batch - 1} * stride + kSectorSize;
            scratch_.resize(std::max<std::size_t>(scratch_.size(), span));
            if (!ReadBytes(position - lead, scratch_.data(), span)) {
                return false;
            }
            for (std::uint32_t i = 0; i < batch; ++i) {
                const std::uint8_t* stored = scratch_.data() + std::uint64_t{i} * stride;
                std::memcpy(out + std::uint64_t{done + i} * kSectorSize, stored + lead, kSectorSize);
                if (checked && position - lead + std::uint64_t{i} * stride + raw::kSectorSize <= fileLength
                    && raw::CheckSector(stored, static_cast<std::uint8_t>(trackMode_)) != raw::SectorCheck::Sound) {
                    damaged_.insert(firstSector + done + i);
                }
            }
            done += batch;
            position += std::uint64_t{batch} * stride;
        }
        return true;
    }

    std::uint32_t GetDamagedSectors(std::uint32_t* first) override
    {
        if (first != nullptr) {
            *first = damaged_.empty() ? 0 : *damaged_.begin();
        }
        return static_cast<std::uint32_t>(damaged_.size());
    }

    bool WriteSectors(const void* buffer, std::uint32_t count, std::uint32_t firstSector) override
    {
        return Write(buffer, nullptr, count, firstSector);
    }

    bool WriteSectorsWithSubheaders(const void* buffer, const void* subheaders, std::uint32_t count,
                                    std::uint32_t firstSector) override
    {
        const auto* given = static_cast<const std::uint8_t*>(subheaders);
        for (std::uint32_t i = 0; subheaders_ && i < count; ++i) {
            if ((given[std::size_t{i} * kSubheaderBytes + kSubmodeByte] & raw::kSubmodeForm2) != 0) {
                lastError_ = "cannot write sector " + std::to_string(firstSector + i)
                    + " with a Mode 2 Form 2 subheader: a save writes 2048-byte Form 1 sectors only";
                return false;
            }
        }
        return Write(buffer, subheaders_ ? given : nullptr, count, firstSector);
    }

    bool HasSubheaders() override { return subheaders_; }

    bool ReadSubheaders(std::uint32_t firstSector, std::uint32_t count, void* out) override
    {
        if (!subheaders_) {
            lastError_ = "the image stores no Mode 2 subheaders";
            return false;
        }
        auto* into = static_cast<std::uint8_t*>(out);
        return ForEachStoredRun(firstSector, count, [&](const std::uint8_t* stored, std::uint32_t sectors) {
            for (std::uint32_t i = 0; i < sectors; ++i, into += kSubheaderBytes) {
                std::memcpy(into, stored + std::size_t{i} * layout_.sectorSize, kSubheaderBytes);
            }
            return true;
        });
    }

    bool HasForm2Sectors(std::uint32_t firstSector, std::uint32_t count) override
    {
        lastError_.clear();
        bool found = false;
        const bool read = ForEachStoredRun(firstSector, count, [&](const std::uint8_t* stored, std::uint32_t sectors) {
            for (std::uint32_t i = 0; i < sectors && !found; ++i) {
                found = (stored[std::size_t{i} * layout_.sectorSize + kSubmodeByte] & raw::kSubmodeForm2) != 0;
            }
            return !found;
        });
        return read && found;
    }

    bool ReadForm2Data(std::uint32_t firstSector, void* buffer, std::uint32_t count) override
    {
        if (!subheaders_) {
            lastError_ = "the image stores no Mode 2 subheaders, so it holds no Mode 2 Form 2 data";
            return false;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        return ForEachStoredRun(firstSector, count, [&](const std::uint8_t* stored, std::uint32_t sectors) {
            for (std::uint32_t i = 0; i < sectors; ++i, out += raw::kForm2DataSize) {
                std::memcpy(out, stored + std::size_t{i} * layout_.sectorSize + kSubheaderBytes, raw::kForm2DataSize);
            }
            return true;
        });
    }

    bool SeekToEnd() override
    {
        if (!IsOpen()) {
            return false;
        }
        return Checked(file_->SeekToEnd());
    }

    bool SeekToSector(std::uint32_t sector) override
    {
        std::uint64_t position = 0;
        if (!UserDataPosition(sector, position)) {
            return false;
        }
        if (position < layout_.dataOffset) {
            lastError_ = "sector " + std::to_string(sector) + " lies before the start of the image file";
            return false;
        }
        return Checked(file_->Seek(position - layout_.dataOffset));
    }

    std::uint32_t GetTrackMode() override { return static_cast<std::uint32_t>(trackMode_); }
    ImageLayout GetLayout() override { return layout_; }
    LayoutProbe GetLayoutProbe() override { return probe_; }

    std::uint32_t GetSectorCount() override
    {
        if (!IsOpen()) {
            return 0;
        }
        const std::uint32_t count = SectorCountOf(layout_, nrg_ ? nrgTrackEnd_ : file_->GetLength());
        return trackSectors_ ? std::min(count, *trackSectors_) : count;
    }

    ImageOpenError GetOpenError() override { return openError_; }
    bool IsReadOnly() override { return file_ != nullptr && file_->IsReadOnly(); }

    bool Flush() override
    {
        if (!IsOpen()) {
            return false;
        }
        return Checked(file_->Flush());
    }

    IImageFile* GetFile() override { return file_; }
    const char* GetLastError() override { return lastError_.c_str(); }

    bool BeginSave() override { return IsOpen() && !RefuseSessionWrite("save") && Checked(file_->BeginSave()); }
    bool CommitSave() override
    {
        if (!IsOpen() || !MoveNeroChain()) {
            return false;
        }
        return Checked(file_->CommitSave());
    }

    bool RollbackSave() override
    {
        if (nrg_) {
            nrgTrackEnd_ = nrg_->chainOffset;
        }
        return IsOpen() && Checked(file_->RollbackSave());
    }

    bool ForgoUndo(std::uint32_t firstSector, std::uint32_t count) override
    {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        if (!CheckRange(firstSector, count) || !StoredStart(firstSector, start) || !StoredStart(firstSector + count, end)) {
            return false;
        }
        // A Nero image's chunk chain is nobody's free space: a rollback needs it back.
        if (nrg_) {
            end = std::min(end, nrg_->chainOffset);
        }
        return start >= end || Checked(file_->ForgoUndo(start, end - start));
    }

    bool ProtectAhead(std::uint32_t firstSector, std::uint32_t count) override
    {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        return CheckRange(firstSector, count) && StoredStart(firstSector, start)
            && StoredStart(firstSector + count, end) && Checked(file_->ProtectAhead(start, end - start));
    }

    bool TruncateSectors(std::uint32_t count) override
    {
        if (RefuseSessionWrite("cut")) {
            return false;
        }
        if (trackSectors_) {
            lastError_ = std::string("cannot cut '") + (file_ != nullptr ? file_->GetPath() : "")
                + "': the CUE sheet's further tracks follow its data track in the file";
            return false;
        }
        std::uint64_t length = 0;
        if (!StoredStart(count, length)) {
            return false;
        }
        return nrg_ ? CutNeroTrack(length) : Checked(file_->Truncate(length));
    }

private:
    bool IsOpen()
    {
        if (file_ == nullptr || probe_ == LayoutProbe::None) {
            lastError_ = "no image is open";
            return false;
        }
        return true;
    }

    // The volume of a session behind other tracks is only read: its
    // sectors and the track's are not the same numbers, and the image
    // would have to grow between them.
    bool RefuseSessionWrite(const char* what)
    {
        if (layout_.sessionStart == 0) {
            return false;
        }
        lastError_ = std::string("cannot ") + what + " '" + (file_ != nullptr ? file_->GetPath() : "")
                     + "': its volume counts its sectors from the start of the disc, and its data track starts at "
                       "disc sector "
                     + std::to_string(layout_.sessionStart) + " (a later session); such an image can only be read";
        return true;
    }

    bool Checked(bool succeeded)
    {
        if (!succeeded) {
            lastError_ = file_->GetLastError();
        }
        return succeeded;
    }

    bool UserDataPosition(std::uint32_t sector, std::uint64_t& position)
    {
        if (!IsOpen()) {
            return false;
        }
        const std::int64_t start = UserDataStart(layout_, sector);
        if (start < 0) {
            lastError_ = "sector " + std::to_string(sector) + " lies before the start of the image file";
            return false;
        }
        position = static_cast<std::uint64_t>(start);
        return true;
    }

    // Where the stored form of a sector (header and tail included) starts.
    bool StoredStart(std::uint32_t sector, std::uint64_t& position)
    {
        if (!UserDataPosition(sector, position)) {
            return false;
        }
        if (position < layout_.dataOffset) {
            lastError_ = "sector " + std::to_string(sector) + " lies before the start of the image file";
            return false;
        }
        position -= layout_.dataOffset;
        return true;
    }

    // Hands count sectors from firstSector to visit, a batch at a time,
    // each sector as its stored subheader followed by the rest of its stored
    // form, until visit answers false. Nothing for a layout without
    // subheaders. False when a sector cannot be read (lastError_ says why).
    template <class Visit>
    bool ForEachStoredRun(std::uint32_t firstSector, std::uint32_t count, Visit&& visit)
    {
        if (!subheaders_ || count == 0) {
            return true;
        }
        if (!CheckRange(firstSector, count)) {
            return false;
        }
        const std::uint32_t stride = layout_.sectorSize;
        const std::uint32_t perRead = std::max<std::uint32_t>(1, kScratchBytes / stride);
        const std::uint32_t session = layout_.sessionStart;
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t first = firstSector + done;
            std::uint32_t batch = std::min(perRead, count - done);
            // A run does not cross the session's start, where the file's sectors jump.
            if (session != 0 && first < session) {
                batch = std::min(batch, session - first);
            }
            std::uint64_t position = 0;
            if (!UserDataPosition(first, position)) {
                return false;
            }
            if (position < kSubheaderBytes) {
                lastError_ = "sector " + std::to_string(first) + " lies before the start of the image file";
                return false;
            }
            position -= kSubheaderBytes;
            scratch_.resize(std::max<std::size_t>(scratch_.size(), std::size_t{batch} * stride));
            if (!ReadBytes(position, scratch_.data(), std::uint64_t{batch} * stride)) {
                return false;
            }
            if (!visit(static_cast<const std::uint8_t*>(scratch_.data()), batch)) {
                return true;
            }
            done += batch;
        }
        return true;
    }

    // Sector numbers are 32-bit: a run may not wrap past the last one.
    bool CheckRange(std::uint32_t firstSector, std::uint32_t count)
    {
        if (std::uint64_t{firstSector} + count - 1 > std::numeric_limits<std::uint32_t>::max()) {
            lastError_ = "sector run beyond the last sector number";
            return false;
        }
        return true;
    }

    // Reads size bytes at position; what lies beyond the end of the file
    // reads as zeros. False only when the file fails to deliver bytes it has.
    bool ReadBytes(std::uint64_t position, std::uint8_t* out, std::uint64_t size)
    {
        std::uint64_t done = 0;
        while (done < size) {
            const auto piece = static_cast<std::uint32_t>(std::min(size - done, kMaxTransfer));
            const std::uint32_t got = file_->ReadAt(position + done, out + done, piece);
            done += got;
            if (got < piece) {
                if (position + done < file_->GetLength()) {
                    lastError_ = file_->GetLastError();
                    return false;
                }
                std::memset(out + done, 0, size - done);
                return true;
            }
        }
        return true;
    }

    bool WriteBytes(std::uint64_t position, const std::uint8_t* in, std::uint64_t size)
    {
        for (std::uint64_t done = 0; done < size;) {
            const auto piece = static_cast<std::uint32_t>(std::min(size - done, kMaxTransfer));
            if (!file_->WriteAt(position + done, in + done, piece)) {
                lastError_ = file_->GetLastError();
                return false;
            }
            done += piece;
        }
        return true;
    }

    // WriteSectors, with a subheader per sector where subheaders is not null
    // (only for a layout that stores them).
    bool Write(const void* buffer, const std::uint8_t* subheaders, std::uint32_t count, std::uint32_t firstSector)
    {
        if (count == 0) {
            return true;
        }
        std::uint64_t position = 0;
        if (!CheckRange(firstSector, count) || !UserDataPosition(firstSector, position)) {
            return false;
        }
        if (file_->IsReadOnly()) {
            lastError_ = std::string("cannot write '") + file_->GetPath() + "': the image is open read-only";
            return false;
        }
        if (RefuseSessionWrite("write")) {
            return false;
        }
        if (trackSectors_ && std::uint64_t{firstSector} + count > *trackSectors_) {
            lastError_ = std::string("cannot write '") + file_->GetPath() + "' beyond its data track of "
                + std::to_string(*trackSectors_) + " sectors: " + trackLimit_;
            return false;
        }
        if (!GrowNeroTrack(firstSector, count)) {
            return false;
        }
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        if (trackMode_ != TrackMode::Plain) {
            return WriteRawSectors(in, subheaders, count, firstSector, position);
        }
        if (layout_.sectorSize == kSectorSize) {
            return WriteBytes(position, in, std::uint64_t{count} * kSectorSize);
        }
        // Only the user data of each stored sector, and its subheader where
        // one is given: whatever else the image keeps around it (subheaders,
        // tails) stays as it is.
        for (std::uint32_t i = 0; i < count; ++i) {
            if (subheaders != nullptr
                && !WriteBytes(position - kSubheaderBytes, subheaders + std::size_t{i} * kSubheaderBytes,
                               kSubheaderBytes)) {
                return false;
            }
            if (!WriteBytes(position, in + std::uint64_t{i} * kSectorSize, kSectorSize)) {
                return false;
            }
            position += layout_.sectorSize;
        }
        return true;
    }

    // Encodes batches of sectors into the scratch buffer and writes each
    // batch in one call; userDataPosition belongs to firstSector.
    bool WriteRawSectors(const std::uint8_t* in, const std::uint8_t* subheaders, std::uint32_t count,
                         std::uint32_t firstSector, std::uint64_t userDataPosition)
    {
        const bool mode1 = trackMode_ == TrackMode::Mode1;
        const std::uint64_t headerSize = RawHeaderSize(trackMode_);
        if (userDataPosition < headerSize) {
            lastError_ = "sector " + std::to_string(firstSector) + " lies before the start of the image file";
            return false;
        }
        std::uint64_t position = userDataPosition - headerSize;
        // Sectors stored with data behind their raw bytes (subchannel) are
        // read first, so that a batch keeps that data and goes out in one
        // write; behind the end of the file it reads, and is written, as zeros.
        const std::uint32_t stride = layout_.sectorSize;
        const std::uint32_t perWrite = kScratchBytes / stride;
        scratch_.resize(std::max<std::size_t>(scratch_.size(), std::size_t{perWrite} * stride));
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t batch = std::min(perWrite, count - done);
            const std::uint64_t size = std::uint64_t{batch} * stride;
            if (stride != raw::kSectorSize && !ReadBytes(position, scratch_.data(), size)) {
                return false;
            }
            for (std::uint32_t i = 0; i < batch;) {
                // Sectors side by side are encoded together, each with its
                // own subheader where they are given.
                const std::uint32_t run = stride == raw::kSectorSize && subheaders == nullptr ? batch : 1;
                const std::uint8_t* data = in + std::uint64_t{done + i} * kSectorSize;
                std::uint8_t* stored = scratch_.data() + std::size_t{i} * stride;
                if (mode1) {
                    raw::EncodeMode1Sectors(data, run, firstSector + done + i + addressShift_, stored);
                } else {
                    const std::uint8_t* subheader =
                        subheaders != nullptr ? subheaders + std::size_t{done + i} * kSubheaderBytes : nullptr;
                    raw::EncodeMode2Form1Sectors(data, run, firstSector + done + i + addressShift_, subheader, stored);
                }
                i += run;
            }
            if (!WriteBytes(position, scratch_.data(), size)) {
                return false;
            }
            position += size;
            done += batch;
        }
        return true;
    }

    bool DetectLayout()
    {
        probe_ = DetectImageLayout(
            [this](std::uint64_t position, void* buffer, std::uint32_t count) {
                return file_->ReadAt(position, buffer, count);
            },
            layout_, dataTrack_ ? dataTrack_->start : 0, dataTrack_ ? dataTrack_->discSector : 0);
        return probe_ != LayoutProbe::None;
    }

    // Looks at the stored form of logical sector 16 in the detected layout:
    // sectors of 2352 bytes or more (with subchannel data behind them) can
    // be raw, and then their header says which mode, and which address on
    // the disc the sector has (a track that does not start the disc numbers
    // its sectors from its own start there).
    TrackMode DetectTrackMode()
    {
        if (layout_.sectorSize < raw::kSectorSize) {
            return TrackMode::Plain;
        }
        std::optional<std::uint32_t> address;
        const TrackMode mode = RawHeaderAt(
            [this](std::uint64_t position, void* buffer, std::uint32_t count) {
                return file_->ReadAt(position, buffer, count);
            },
            UserDataStart(layout_, kVolumeDescriptorSector), address);
        // modulo 2^32, as addresses are encoded
        addressShift_ = address.value_or(kVolumeDescriptorSector) - kVolumeDescriptorSector;
        return mode;
    }

    // Finds the chunk chain of a Nero image behind its track data (not behind
    // a CUE sheet's track, which the sheet describes).
    void ReadNeroChain()
    {
        if (dataTrack_ || layout_.sessionStart != 0) {
            return;
        }
        nrg_ = nrg::ReadTrailer(
            [this](std::uint64_t position, void* buffer, std::uint32_t count) {
                return file_->ReadAt(position, buffer, count);
            },
            file_->GetLength());
        if (!nrg_) {
            return;
        }
        std::uint64_t volumeStart = 0;
        if (StoredStart(0, volumeStart)) {
            nrg::CheckTrack(*nrg_, volumeStart, layout_.sectorSize);
        } else {
            nrg_->unfit = "its volume starts in front of the file";
        }
        nrgTrackEnd_ = nrg_->chainOffset;
    }

    std::string NeroRefusal(const char* what) const
    {
        return std::string("cannot ") + what + " '" + file_->GetPath() + "': it is a Nero image whose chunk chain "
            + "(its track list, behind the track data) this program cannot rewrite, as " + nrg_->unfit
            + "; only saves that keep the image's length are possible";
    }

    // A write that reaches past a Nero image's track data makes the track
    // longer: only inside a save, which moves the chain behind the new end
    // (MoveNeroChain) before it counts. Bytes between the old end and the
    // write are zeroed, as they held the old chain.
    bool GrowNeroTrack(std::uint32_t firstSector, std::uint32_t count)
    {
        std::uint64_t end = 0;
        if (!nrg_ || !StoredStart(firstSector + count, end) || end <= nrgTrackEnd_) {
            return true;
        }
        if (!nrg_->unfit.empty()) {
            lastError_ = NeroRefusal("grow");
            return false;
        }
        if (!file_->IsSaving()) {
            lastError_ = std::string("cannot grow '") + file_->GetPath()
                + "' outside a save: its chunk chain would be overwritten";
            return false;
        }
        std::uint64_t start = 0;
        if (StoredStart(firstSector, start) && start > nrgTrackEnd_) {
            const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(start - nrgTrackEnd_), 0);
            if (!WriteBytes(nrgTrackEnd_, zeros.data(), zeros.size())) {
                return false;
            }
        }
        nrgTrackEnd_ = end;
        return true;
    }

    // Writes the chain behind a track the save made longer, under the
    // save's journal (a rollback cuts it off and puts the old one back).
    bool MoveNeroChain()
    {
        if (!nrg_ || nrgTrackEnd_ == nrg_->chainOffset) {
            return true;
        }
        std::vector<std::uint8_t> moved = nrg::MovedTrailer(*nrg_, nrgTrackEnd_);
        if (moved.empty()) {
            lastError_ = std::string("cannot grow '") + file_->GetPath()
                + "' beyond 4 GiB: its chunk chain (Nero version 1) holds 32-bit offsets";
            return false;
        }
        if (!WriteBytes(nrgTrackEnd_, moved.data(), moved.size())) {
            return false;
        }
        nrg_->chainOffset = nrgTrackEnd_;
        nrg_->bytes = std::move(moved);
        return true;
    }

    // Cuts a Nero image's track at newEnd: the chain is written behind the
    // new end first, then the file is cut behind it. The old chain stays
    // whole until the cut, so the file reads as a Nero image throughout; a
    // new chain that would overlap the old one is refused.
    bool CutNeroTrack(std::uint64_t newEnd)
    {
        if (newEnd == nrgTrackEnd_) {
            return true;
        }
        if (!nrg_->unfit.empty()) {
            lastError_ = NeroRefusal("cut");
            return false;
        }
        std::vector<std::uint8_t> moved = nrg::MovedTrailer(*nrg_, newEnd);
        if (newEnd > nrg_->chainOffset || moved.empty() || newEnd + moved.size() > nrg_->chainOffset) {
            lastError_ = std::string("cannot cut '") + file_->GetPath() + "' by "
                + std::to_string(nrg_->chainOffset - std::min(newEnd, nrg_->chainOffset))
                + " bytes: its chunk chain needs " + std::to_string(nrg_->bytes.size())
                + " bytes behind the new end without touching the old chain";
            return false;
        }
        if (!WriteBytes(newEnd, moved.data(), moved.size()) || !Checked(file_->Flush())
            || !Checked(file_->Truncate(newEnd + moved.size()))) {
            return false;
        }
        nrg_->chainOffset = newEnd;
        nrg_->bytes = std::move(moved);
        nrgTrackEnd_ = newEnd;
        return true;
    }

    IImageFile* file_ = nullptr;
    // Where a CUE sheet puts the data track in the file.
    std::optional<CueDataTrack> dataTrack_;
    TrackMode trackMode_ = TrackMode::Plain;
    bool subheaders_ = false; // StoresSubheaders
    bool acceptUdfAlone_ = false;
    std::set<std::uint32_t> damaged_; // GetDamagedSectors
    bool udfAlone_ = false; // the volume found is one of UDF alone
    // What the headers of raw sectors add to the logical sector number.
    std::uint32_t addressShift_ = 0;
    // Sectors of the data track when a CUE sheet's further tracks follow
    // it in the same file; nothing when the volume may run to the end.
    std::optional<std::uint32_t> trackSectors_;
    std::string trackLimit_; // why no sector behind trackSectors_ is written
    // A Nero image's chunk chain, as it stands in the file, and where its
    // track data ends now (further than the chain's offset while a save
    // makes the track longer).
    std::optional<nrg::Trailer> nrg_;
    std::uint64_t nrgTrackEnd_ = 0;
    ImageLayout layout_;
    LayoutProbe probe_ = LayoutProbe::None;
    ImageOpenError openError_ = ImageOpenError::None;
    std::vector<std::uint8_t> scratch_;
    std::string lastError_;
};

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoSector, tarvelin::IIsoSector, Sector1, Sector2)
