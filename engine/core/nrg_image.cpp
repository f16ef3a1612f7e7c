// Reading a Nero image's chunk chain and moving it behind a track whose
// length changed (layout in nrg_image.h).

#include "core/nrg_image.h"

#include <array>
#include <string_view>

namespace tarvelin::nrg {

namespace {

constexpr std::size_t kFooterV2 = 12;
constexpr std::size_t kFooterV1 = 8;
constexpr std::size_t kChunkHead = 8;
// A chain bigger than this is no chain this program reads whole.
constexpr std::uint64_t kMostChainBytes = 16u << 20;

constexpr std::size_t kCuePointBytes = 8;
constexpr std::uint8_t kLeadOutTrack = 0xAA;
constexpr std::uint32_t kMsfLead = 150; // frames ahead of sector 0 in a CUES address
constexpr std::uint32_t kFramesPerSecond = 75;

constexpr std::size_t kDaoHeadBytes = 22;
constexpr std::size_t kDaoFirstTrack = 20;
constexpr std::size_t kDaoLastTrack = 21;
constexpr std::size_t kDaoSectorSize = 12; // of a track entry
constexpr std::size_t kDaoOffsets = 18;    // of a track entry: index 0, index 1, end

std::uint64_t ReadBe(const std::uint8_t* bytes, std::uint32_t width)
{
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void PutBe(std::uint8_t* bytes, std::uint32_t width, std::uint64_t value)
{
    for (std::uint32_t i = width; i > 0; --i) {
        bytes[i - 1] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

std::int64_t MsfToSector(const std::uint8_t* msf)
{
    return (std::int64_t{msf[1]} * 60 + msf[2]) * kFramesPerSecond + msf[3] - kMsfLead;
}

// How many chunks of each kind the chain holds.
struct ChunkSeen {
    int cues = 0;
    int daos = 0;
    int etns = 0;
    int sessions = 0;
};

class ChainReader {
public:
    explicit ChainReader(Trailer& trailer) : trailer_(trailer) {}

    // Walks the chunks from the start of the bytes to END!; false (with
    // trailer_.unfit) at the first thing it cannot follow.
    bool Walk(std::size_t end)
    {
        std::size_t at = 0;
        while (true) {
            if (at + kChunkHead > end) {
                return Unfit("its chunk chain runs into the footer without an END! chunk");
            }
            const std::uint8_t* head = trailer_.bytes.data() + at;
            const std::string_view id(reinterpret_cast<const char*>(head), 4);
            const std::uint64_t size = ReadBe(head + 4, 4);
            const std::size_t body = at + kChunkHead;
            if (size > end - body) {
                return Unfit("its " + Printable(id) + " chunk runs past the end of the chain");
            }
            if (id == "END!") {
                return true;
            }
            if (!Chunk(id, body, static_cast<std::size_t>(size))) {
                return false;
            }
            at = body + static_cast<std::size_t>(size);
        }
    }

    // The cue points' lead-out and the track list must tell the same length.
    bool Agree()
    {
        if (seen_.daos + seen_.etns == 0) {
            return Unfit("its chunk chain has no track list (DAO or ETN chunk)");
        }
        if (seen_.sessions > 1) {
            return Unfit("it holds " + std::to_string(seen_.sessions) + " sessions");
        }
        if (leadOut_ && trailer_.sectorSize != 0) {
            const std::int64_t sectors = static_cast<std::int64_t>((trackEnd_ - trailer_.trackStart)
                                                                   / trailer_.sectorSize);
            if (*leadOut_ - *index1_ != sectors) {
                return Unfit("its cue points end the track at sector " + std::to_string(*leadOut_)
                             + ", its track list after " + std::to_string(sectors) + " sectors");
            }
        }
        if (trackEnd_ != trailer_.chainOffset) {
            return Unfit("its track ends at byte " + std::to_string(trackEnd_) + ", not where the chunk chain starts ("
                         + std::to_string(trailer_.chainOffset) + ")");
        }
        return true;
    }

private:
    static std::string Printable(std::string_view id)
    {
        std::string text;
        for (const char c : id) {
            text += (c >= 0x20 && c < 0x7F) ? c : '?';
        }
        return text;
    }

    bool Unfit(std::string why)
    {
        trailer_.unfit = std::move(why);
        return false;
    }

    bool Chunk(std::string_view id, std::size_t body, std::size_t size)
    {
        if (id == "CUEX" || id == "CUES") {
            return Cues(body, size, id == "CUEX");
        }
        if (id == "DAOX" || id == "DAOI") {
            return Dao(body, size, id == "DAOX" ? 8 : 4);
        }
        if (id == "ETN2" || id == "ETNF") {
            return Etn(body, size, id == "ETN2" ? 8 : 4);
        }
        if (id == "SINF") {
            ++seen_.sessions;
            if (size < 4 || ReadBe(trailer_.bytes.data() + body, 4) != 1) {
                return Unfit("its session holds several tracks");
            }
            return true;
        }
        if (id == "MTYP" || id == "CDTX") {
            return true;
        }
        return Unfit("its chunk chain holds a " + Printable(id) + " chunk, which this program does not know");
    }

    bool Cues(std::size_t body, std::size_t size, bool sectors)
    {
        if (++seen_.cues > 1 || size % kCuePointBytes != 0) {
            return Unfit("its cue points cannot be read");
        }
        for (std::size_t at = body; at < body + size; at += kCuePointBytes) {
            const std::uint8_t* point = trailer_.bytes.data() + at;
            const std::uint8_t track = point[1];
            const std::int64_t sector =
                sectors ? static_cast<std::int32_t>(static_cast<std::uint32_t>(ReadBe(point + 4, 4)))
                        : MsfToSector(point + 4);
            if (track == kLeadOutTrack) {
                if (leadOut_) {
                    return Unfit("its cue points hold two lead-outs");
                }
                leadOut_ = sector;
                trailer_.fields.push_back({at + 4, 4, sectors ? TrackEndField::Kind::Sectors : TrackEndField::Kind::Msf});
            } else if (track > 1) {
                return Unfit("it holds several tracks");
            } else if (track == 1 && point[2] == 1) {
                index1_ = sector;
            }
        }
        if (!leadOut_ || !index1_) {
            return Unfit("its cue points give no start or no end of the track");
        }
        return true;
    }

    bool Dao(std::size_t body, std::size_t size, std::uint32_t width)
    {
        const std::size_t entry = kDaoOffsets + 3 * std::size_t{width};
        const std::uint8_t* head = trailer_.bytes.data() + body;
        if (++seen_.daos > 1 || size < kDaoHeadBytes) {
            return Unfit("its disc-at-once track list cannot be read");
        }
        if (head[kDaoFirstTrack] != head[kDaoLastTrack] || size != kDaoHeadBytes + entry) {
            return Unfit("it holds several tracks");
        }
        const std::uint8_t* track = head + kDaoHeadBytes;
        const std::size_t endAt = body + kDaoHeadBytes + kDaoOffsets + 2 * std::size_t{width};
        return Track(ReadBe(track + kDaoSectorSize, 2), ReadBe(track + kDaoOffsets + width, width),
                     ReadBe(trailer_.bytes.data() + endAt, width), {endAt, width, TrackEndField::Kind::Bytes});
    }

    bool Etn(std::size_t body, std::size_t size, std::uint32_t width)
    {
        // offset, length, mode, start sector and one more number
        const std::size_t entry = 2 * std::size_t{width} + 12 + (width == 8 ? 4 : 0);
        if (++seen_.etns > 1 || size != entry) {
            return Unfit(size % entry == 0 && size != 0 ? "it holds several tracks"
                                                         : "its track-at-once track list cannot be read");
        }
        const std::uint8_t* track = trailer_.bytes.data() + body;
        const std::uint64_t start = ReadBe(track, width);
        const std::uint64_t length = ReadBe(track + width, width);
        return Track(0, start, start + length, {body + width, width, TrackEndField::Kind::Bytes});
    }

    // One track list's view of the track; a second list must agree with the first.
    bool Track(std::uint64_t sectorSize, std::uint64_t start, std::uint64_t end, TrackEndField field)
    {
        if (end < start || (listed_ && (start != trailer_.trackStart || end != trackEnd_))) {
            return Unfit("its track lists disagree on where the track lies");
        }
        listed_ = true;
        trailer_.trackStart = start;
        trackEnd_ = end;
        if (sectorSize != 0) {
            trailer_.sectorSize = static_cast<std::uint32_t>(sectorSize);
        }
        trailer_.fields.push_back(field);
        return true;
    }

    Trailer& trailer_;
    ChunkSeen seen_;
    bool listed_ = false;
    std::uint64_t trackEnd_ = 0;
    std::optional<std::int64_t> leadOut_;
    std::optional<std::int64_t> index1_;
};

} // namespace

std::optional<Trailer> ReadTrailer(const LayoutReadFn& readAt, std::uint64_t fileLength)
{
    std::array<std::uint8_t, kFooterV2> footer{};
    if (fileLength < kFooterV2 || readAt(fileLength - kFooterV2, footer.data(), kFooterV2) != kFooterV2) {
        return std::nullopt;
    }
    Trailer trailer;
    std::size_t footerSize = 0;
    if (std::string_view(reinterpret_cast<const char*>(footer.data()), 4) == "NER5") {
        trailer.version = 2;
        footerSize = kFooterV2;
        trailer.chainOffset = ReadBe(footer.data() + 4, 8);
    } else if (std::string_view(reinterpret_cast<const char*>(footer.data()) + 4, 4) == "NERO") {
        trailer.version = 1;
        footerSize = kFooterV1;
        trailer.chainOffset = ReadBe(footer.data() + 8, 4);
    } else {
        return std::nullopt;
    }
    if (trailer.chainOffset >= fileLength - footerSize || fileLength - trailer.chainOffset > kMostChainBytes) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(fileLength - trailer.chainOffset);
    trailer.bytes.resize(size);
    for (std::size_t done = 0; done < size;) {
        const std::uint32_t got = readAt(trailer.chainOffset + done, trailer.bytes.data() + done,
                                         static_cast<std::uint32_t>(size - done));
        if (got == 0) {
            return std::nullopt;
        }
        done += got;
    }
    ChainReader reader(trailer);
    if (reader.Walk(size - footerSize)) {
        reader.Agree();
    }
    return trailer;
}

void CheckTrack(Trailer& trailer, std::uint64_t volumeStart, std::uint32_t sectorSize)
{
    if (!trailer.unfit.empty()) {
        return;
    }
    if (trailer.sectorSize != 0 && trailer.sectorSize != sectorSize) {
        trailer.unfit = "its track list stores " + std::to_string(trailer.sectorSize) + "-byte sectors, the volume "
            + std::to_string(sectorSize) + "-byte ones";
    } else if (trailer.trackStart != volumeStart) {
        trailer.unfit = "its track starts at byte " + std::to_string(trailer.trackStart)
            + ", not where the volume's first sector is (" + std::to_string(volumeStart) + ")";
    } else if ((trailer.chainOffset - trailer.trackStart) % sectorSize != 0) {
        trailer.unfit = "its track is no whole number of sectors long";
    } else {
        trailer.sectorSize = sectorSize;
    }
}

std::vector<std::uint8_t> MovedTrailer(const Trailer& trailer, std::uint64_t newEnd)
{
    if (trailer.version == 1 && newEnd + trailer.bytes.size() > 0xFFFFFFFFu) {
        return {}; // its 32-bit offsets cannot reach that far
    }
    std::vector<std::uint8_t> bytes = trailer.bytes;
    const auto byteDelta = static_cast<std::int64_t>(newEnd - trailer.chainOffset);
    const std::int64_t sectorDelta = byteDelta / static_cast<std::int64_t>(trailer.sectorSize);
    for (const TrackEndField& field : trailer.fields) {
        std::uint8_t* at = bytes.data() + field.at;
        switch (field.kind) {
        case TrackEndField::Kind::Bytes:
            PutBe(at, field.width, ReadBe(at, field.width) + static_cast<std::uint64_t>(byteDelta));
            break;
        case TrackEndField::Kind::Sectors:
            PutBe(at, 4, ReadBe(at, 4) + static_cast<std::uint64_t>(sectorDelta));
            break;
        case TrackEndField::Kind::Msf: {
            const auto frames = static_cast<std::uint64_t>(MsfToSector(at) + sectorDelta + kMsfLead);
            at[1] = static_cast<std::uint8_t>(frames / (60 * kFramesPerSecond));
            at[2] = static_cast<std::uint8_t>(frames / kFramesPerSecond % 60);
            at[3] = static_cast<std::uint8_t>(frames % kFramesPerSecond);
            break;
        }
        }
    }
    if (trailer.version == 2) {
        PutBe(bytes.data() + bytes.size() - 8, 8, newEnd);
    } else {
        PutBe(bytes.data() + bytes.size() - 4, 4, newEnd);
    }
    return bytes;
}

} // namespace tarvelin::nrg
