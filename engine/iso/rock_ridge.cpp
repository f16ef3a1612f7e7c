// Reading and writing the system use entries of directory records: the
// chain of continuation areas, the Rock Ridge facts of one record, the
// volume's SP and ER entries, and the packing of new entries into a record
// and its continuation areas. The entry layouts are listed in rock_ridge.h.
//
// Every entry comes from an image that may be damaged or hostile: each read
// is checked against the entry's own length byte, and the chain of
// continuation areas is bounded by the image, by one sector per area, by a
// count and by a record of the areas already read.

#include "iso/rock_ridge.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tarvelin::iso {

namespace {

constexpr std::uint8_t kEntryVersion = 1;
constexpr std::size_t kMaxEntrySize = 255;            // the length byte
constexpr std::size_t kMaxContinuationAreas = 64;     // per record
constexpr std::size_t kPosixEntrySizeOld = 36;        // PX without serial (RRIP 1.10)
constexpr std::size_t kPosixEntrySize = 44;           // PX with serial (RRIP 1.12)
constexpr std::size_t kDeviceEntrySize = 20;          // PN
constexpr std::size_t kLinkEntrySize = 12;            // CL, PL
constexpr std::size_t kZisofsEntrySize = 16;          // ZF
constexpr std::size_t kFlaggedEntryHeader = 5;        // NM, SL, TF: header and flags byte
constexpr std::size_t kSharingEntrySize = 7;          // SP
constexpr std::size_t kExtensionHeader = 8;           // ER up to its identifier
constexpr std::size_t kComponentHeader = 2;           // SL component: flags, length

// Flags of NM and SL (entry byte 4) and of SL components.
constexpr std::uint8_t kContinues = 0x01;
constexpr std::uint8_t kNameCurrent = 0x02;
constexpr std::uint8_t kNameParent = 0x04;
constexpr std::uint8_t kComponentRoot = 0x08;

// TF flags; the dates follow in the order of their bits.
constexpr std::uint8_t kTimeCreation = 0x01;
constexpr std::uint8_t kTimeModification = 0x02;
constexpr std::uint8_t kTimeAccess = 0x04;
constexpr std::uint8_t kTimeAttributes = 0x08;
constexpr std::uint8_t kTimeLongForm = 0x80;
constexpr int kTimeKinds = 7;

constexpr std::uint8_t kSharingCheck[2] = {0xBE, 0xEF};
constexpr std::string_view kRockRidgeIdentifier = "RRIP_1991A";
constexpr std::string_view kRockRidgeDescription =
    "THE ROCK RIDGE INTERCHANGE PROTOCOL PROVIDES SUPPORT FOR POSIX FILE SYSTEM SEMANTICS";
constexpr std::string_view kRockRidgeSource = "RECORDED BY TARVELIN AFTER IEEE P1282, ROCK RIDGE 1.12";
static_assert(kExtensionHeader + kRockRidgeIdentifier.size() + kRockRidgeDescription.size()
                  + kRockRidgeSource.size()
              <= kMaxEntrySize);

ConstBytes BytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes MutableBytesOf(std::string& text) { return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}; }

std::uint8_t ByteAt(std::string_view entry, std::size_t offset) { return static_cast<std::uint8_t>(entry[offset]); }

void Count(SuspReport* report)
{
    if (report != nullptr) {
        ++report->damaged;
    }
}

// An entry of `length` bytes with its header written and the rest zero.
std::string NewEntry(std::string_view signature, std::size_t length)
{
    std::string entry(length, '\0');
    entry.replace(0, 2, signature);
    entry[2] = static_cast<char>(length);
    entry[3] = static_cast<char>(kEntryVersion);
    return entry;
}

std::string ContinuationEntry(std::uint32_t block, std::uint32_t offset, std::uint32_t length)
{
    std::string entry = NewEntry("CE", kContinuationEntrySize);
    const Bytes bytes = MutableBytesOf(entry);
    PutBoth32(bytes, 4, block);
    PutBoth32(bytes, 12, offset);
    PutBoth32(bytes, 20, length);
    return entry;
}

// Where the first well-formed CE entry of bytes starts. The walk goes on
// to the end of the area so that damage behind the CE is counted too.
std::optional<std::size_t> FindContinuationEntry(std::string_view bytes, SuspReport* report = nullptr)
{
    std::optional<std::size_t> found;
    ForEachSuspEntry(
        bytes,
        [&](std::string_view signature, std::string_view entry) {
            if (signature != "CE") {
                return true;
            }
            if (entry.size() < kContinuationEntrySize) {
                Count(report);
                return true;
            }
            if (!found) {
                found = static_cast<std::size_t>(entry.data() - bytes.data());
            }
            return true;
        },
        report);
    return found;
}

// Reads the area the CE entry at `at` of bytes names; nothing when it is
// damaged, repeats an area already read or lies outside the image.
std::optional<std::string> ReadContinuationArea(std::string_view bytes, std::size_t at, const SectorReader& read,
                                                std::uint32_t sectorCount,
                                                std::vector<std::pair<std::uint32_t, std::uint32_t>>& seen)
{
    const ConstBytes entry = BytesOf(bytes.substr(at, kContinuationEntrySize));
    const std::uint32_t block = ReadBoth32(entry, 4);
    const std::uint32_t offset = ReadBoth32(entry, 12);
    const std::uint32_t length = ReadBoth32(entry, 20);
    if (block >= sectorCount || offset > kSectorSize || length > kSectorSize - offset || length == 0) {
        return std::nullopt;
    }
    if (std::find(seen.begin(), seen.end(), std::pair{block, offset}) != seen.end()) {
        return std::nullopt;
    }
    std::array<std::uint8_t, kSectorSize> sector{};
    if (!read || !read(block, sector.data())) {
        return std::nullopt;
    }
    seen.emplace_back(block, offset);
    return std::string(reinterpret_cast<const char*>(sector.data()) + offset, length);
}

// ---------------------------------------------------------------------------
// Decoding the entries of one record.

// A symbolic link's target assembled from SL components, which may go on
// across components (a long name) and across SL entries.
class LinkAssembler {
public:
    void Add(std::string_view entry)
    {
        if (complete_) {
            return; // one link per record: a second SL set is not another target
        }
        std::size_t at = kFlaggedEntryHeader;
        while (entry.size() - at >= kComponentHeader) {
            const std::uint8_t flags = ByteAt(entry, at);
            const std::size_t length = ByteAt(entry, at + 1);
            if (length > entry.size() - at - kComponentHeader) {
                break; // a component that runs past its entry: keep what came before
            }
            AddComponent(flags, entry.substr(at + kComponentHeader, length));
            at += kComponentHeader + length;
        }
        complete_ = (ByteAt(entry, 4) & kContinues) == 0;
        seen_ = true;
    }
    bool Seen() const { return seen_; }
    const std::string& Target() const { return target_; }

private:
    void AddComponent(std::uint8_t flags, std::string_view content)
    {
        const bool continues = (flags & kContinues) != 0;
        if (!componentOpen_ && needSeparator_) {
            target_ += '/';
        }
        // The root stands for a '/' where it is: first, it makes the link
        // absolute; further on it is the empty component of "a//b" (as
        // xorriso writes it), never a restart from the root.
        if ((flags & kComponentRoot) != 0) {
            target_ += '/';
            needSeparator_ = false;
            componentOpen_ = false;
            return;
        }
        if ((flags & kNameCurrent) != 0) {
            target_ += '.';
        } else if ((flags & kNameParent) != 0) {
            target_ += "..";
        } else {
            target_ += content;
        }
        componentOpen_ = continues;
        needSeparator_ = true;
    }

    std::string target_;
    bool needSeparator_ = false; // a component came before, so the next one is "/" separated
    bool componentOpen_ = false; // the last component goes on in the next
    bool complete_ = false;
    bool seen_ = false;
};

// The alternate name, which may go on across NM entries.
class NameAssembler {
public:
    void Add(std::string_view entry)
    {
        if (complete_) {
            return;
        }
        const std::uint8_t flags = ByteAt(entry, 4);
        if ((flags & (kNameCurrent | kNameParent)) != 0) {
            name_ = std::string();
            complete_ = true;
            return;
        }
        name_ = name_.value_or(std::string()) + std::string(entry.substr(kFlaggedEntryHeader));
        complete_ = (flags & kContinues) == 0;
    }
    const std::optional<std::string>& Name() const { return name_; }

private:
    std::optional<std::string> name_;
    bool complete_ = false;
};

platform::FileTime TimeAt(std::string_view entry, std::size_t at, bool longForm)
{
    std::optional<platform::FileTime> time;
    if (longForm) {
        VolumeDate date{};
        std::copy_n(BytesOf(entry).begin() + static_cast<std::ptrdiff_t>(at), date.size(), date.begin());
        time = FileTimeFromVolumeDate(date);
    } else {
        time = FileTimeFromRecordingDate(ReadRecordingDate(BytesOf(entry), at));
    }
    return time.value_or(0);
}

void DecodeTimes(std::string_view entry, UnixAttributes& attributes)
{
    const std::uint8_t flags = ByteAt(entry, 4);
    const bool longForm = (flags & kTimeLongForm) != 0;
    const std::size_t size = longForm ? std::tuple_size_v<VolumeDate> : kRecordingDateSize;
    std::size_t at = kFlaggedEntryHeader;
    for (int bit = 0; bit < kTimeKinds; ++bit) {
        const auto kind = static_cast<std::uint8_t>(1u << bit);
        if ((flags & kind) == 0) {
            continue;
        }
        if (size > entry.size() - at) {
            return; // the entry ends before its dates do
        }
        const platform::FileTime time = TimeAt(entry, at, longForm);
        switch (kind) {
        case kTimeCreation: attributes.created = time; break;
        case kTimeModification: attributes.modified = time; break;
        case kTimeAccess: attributes.accessed = time; break;
        case kTimeAttributes: attributes.changed = time; break;
        default: break; // backup, expiration, effective: nothing keeps them
        }
        at += size;
    }
}

void DecodePosix(std::string_view entry, UnixAttributes& attributes)
{
    const ConstBytes bytes = BytesOf(entry);
    attributes.known = true;
    attributes.mode = ReadBoth32(bytes, 4);
    attributes.links = ReadBoth32(bytes, 12);
    attributes.uid = ReadBoth32(bytes, 20);
    attributes.gid = ReadBoth32(bytes, 28);
    if (entry.size() >= kPosixEntrySize) {
        attributes.serial = ReadBoth32(bytes, 36);
    }
}

bool IsRockRidgeSignature(std::string_view signature)
{
    static constexpr std::array<std::string_view, 10> kSignatures = {"PX", "PN", "SL", "NM", "CL",
                                                                      "PL", "RE", "TF", "RR", "SF"};
    return std::find(kSignatures.begin(), kSignatures.end(), signature) != kSignatures.end();
}

// ---------------------------------------------------------------------------
// Encoding.

std::string PosixEntry(const UnixAttributes& attributes)
{
    std::string entry = NewEntry("PX", kPosixEntrySize);
    const Bytes bytes = MutableBytesOf(entry);
    PutBoth32(bytes, 4, attributes.mode);
    PutBoth32(bytes, 12, attributes.links);
    PutBoth32(bytes, 20, attributes.uid);
    PutBoth32(bytes, 28, attributes.gid);
    PutBoth32(bytes, 36, attributes.serial.value_or(0));
    return entry;
}

// Modification, access and attribute change in the short form; a time that
// is not known, or that a recording date cannot hold, is left out.
std::optional<std::string> TimesEntry(const UnixAttributes& attributes)
{
    const std::array<std::pair<std::uint8_t, platform::FileTime>, 3> times = {
        std::pair{kTimeModification, attributes.modified},
        std::pair{kTimeAccess, attributes.accessed},
        std::pair{kTimeAttributes, attributes.changed}};
    std::uint8_t flags = 0;
    std::vector<RecordingDate> dates;
    for (const auto& [kind, time] : times) {
        const RecordingDate date = time != 0 ? RecordingDateFromFileTime(time) : RecordingDate{};
        if (!date.IsUnset()) {
            flags |= kind;
            dates.push_back(date);
        }
    }
    if (dates.empty()) {
        return std::nullopt;
    }
    std::string entry = NewEntry("TF", kFlaggedEntryHeader + dates.size() * kRecordingDateSize);
    entry[4] = static_cast<char>(flags);
    for (std::size_t i = 0; i < dates.size(); ++i) {
        PutRecordingDate(MutableBytesOf(entry), kFlaggedEntryHeader + i * kRecordingDateSize, dates[i]);
    }
    return entry;
}

// SL entries for a target: each component a flags byte, a length and its
// bytes. A component longer than one entry holds is cut into pieces that
// carry the component flag "continues"; a piece that does not fit the room
// left in an entry starts the next entry, and every entry but the last
// carries the entry flag "continues". "a//b" and "a/" keep their empty
// components, so the target reads back as it was.
class LinkEncoder {
public:
    std::vector<std::string> Encode(std::string_view target)
    {
        if (!target.empty() && target.front() == '/') {
            AddComponent(kComponentRoot, {});
            target.remove_prefix(1);
        }
        while (!target.empty()) {
            const std::size_t end = target.find('/');
            const std::string_view component = target.substr(0, end);
            if (component == ".") {
                AddComponent(kNameCurrent, {});
            } else if (component == "..") {
                AddComponent(kNameParent, {});
            } else {
                AddComponent(0, component);
            }
            if (end == std::string_view::npos) {
                break;
            }
            target.remove_prefix(end + 1);
            if (target.empty()) {
                AddComponent(0, {}); // the trailing "/"
            }
        }
        Finish();
        return std::move(entries_);
    }

private:
    static constexpr std::size_t kMaxPiece = kMaxEntrySize - kFlaggedEntryHeader - kComponentHeader;

    void AddComponent(std::uint8_t flags, std::string_view content)
    {
        do {
            const std::size_t take = std::min(kMaxPiece, content.size());
            if (current_.size() + kComponentHeader + take > kMaxEntrySize) {
                Finish(kContinues);
            }
            const bool more = take < content.size();
            current_ += static_cast<char>(flags | (more ? kContinues : 0));
            current_ += static_cast<char>(take);
            current_ += content.substr(0, take);
            content.remove_prefix(take);
        } while (!content.empty());
    }

    void Finish(std::uint8_t entryFlags = 0)
    {
        current_[2] = static_cast<char>(current_.size());
        current_[4] = static_cast<char>(entryFlags);
        entries_.push_back(std::move(current_));
        current_ = NewEntry("SL", kFlaggedEntryHeader);
    }

    std::string current_ = NewEntry("SL", kFlaggedEntryHeader);
    std::vector<std::string> entries_;
};

// The bytes of one area: every entry from `next` on when they all fit room,
// otherwise as many as fit with a CE entry behind them (added later, when
// the length of the area it names is known). A continuation area always
// takes at least one entry, so packing ends.
std::string FillArea(const std::vector<std::string>& entries, std::size_t& next, std::size_t room,
                     bool mustTakeOne)
{
    std::size_t rest = 0;
    for (std::size_t i = next; i < entries.size(); ++i) {
        rest += entries[i].size();
    }
    std::string area;
    if (rest <= room) {
        for (; next < entries.size(); ++next) {
            area += entries[next];
        }
        return area;
    }
    while (next < entries.size()
           && (area.size() + entries[next].size() + kContinuationEntrySize <= room || (mustTakeOne && area.empty()))) {
        area += entries[next++];
    }
    return area;
}

} // namespace

namespace {

// The continuation areas the CE entries of inlineBytes chain to, the first
// of them at firstEntry (as FindContinuationEntry found it, damage counted).
std::vector<std::string> ReadContinuationAreas(std::string_view inlineBytes, std::optional<std::size_t> firstEntry,
                                               const SectorReader& read, std::uint32_t sectorCount,
                                               SuspReport* report)
{
    std::vector<std::string> areas;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    std::string_view current = inlineBytes;
    for (std::optional<std::size_t> at = firstEntry; at; at = FindContinuationEntry(current, report)) {
        if (areas.size() == kMaxContinuationAreas) {
            Count(report);
            break;
        }
        std::optional<std::string> next = ReadContinuationArea(current, *at, read, sectorCount, seen);
        if (!next) {
            Count(report);
            break;
        }
        areas.push_back(std::move(*next));
        current = areas.back();
    }
    return areas;
}

RockRidgeInfo DecodeRockRidgeEntries(std::string_view inlineBytes, const std::vector<std::string>& continuation);

} // namespace

SystemUseArea ReadSystemUseArea(std::string_view recordSystemUse, std::uint8_t skip, const SectorReader& read,
                                std::uint32_t sectorCount, SuspReport* report)
{
    SystemUseArea area;
    area.inlineBytes = std::string(recordSystemUse.substr(std::min<std::size_t>(skip, recordSystemUse.size())));
    area.continuation = ReadContinuationAreas(area.inlineBytes, FindContinuationEntry(area.inlineBytes, report), read,
                                              sectorCount, report);
    return area;
}

RockRidgeInfo ReadRockRidge(std::string_view recordSystemUse, std::uint8_t skip, const SectorReader& read,
                            std::uint32_t sectorCount, SuspReport* report)
{
    const std::string_view inlineBytes = recordSystemUse.substr(std::min<std::size_t>(skip, recordSystemUse.size()));
    const std::optional<std::size_t> first = FindContinuationEntry(inlineBytes, report);
    if (!first) {
        return DecodeRockRidgeEntries(inlineBytes, {});
    }
    return DecodeRockRidgeEntries(inlineBytes, ReadContinuationAreas(inlineBytes, first, read, sectorCount, report));
}

std::vector<ContinuationPlace> ContinuationPlacesOf(const SystemUseArea& area)
{
    std::vector<ContinuationPlace> places;
    const std::string* current = &area.inlineBytes;
    for (const std::string& next : area.continuation) {
        const std::optional<std::size_t> at = FindContinuationEntry(*current);
        if (!at) {
            break;
        }
        const ConstBytes entry = BytesOf(std::string_view(*current).substr(*at, kContinuationEntrySize));
        places.push_back({ReadBoth32(entry, 4), ReadBoth32(entry, 12), ReadBoth32(entry, 20)});
        current = &next;
    }
    return places;
}

std::vector<std::string> SystemUseEntries(const SystemUseArea& area)
{
    std::vector<std::string> entries;
    auto collect = [&entries](std::string_view signature, std::string_view entry) {
        if (signature != "CE" && signature != "PD") {
            entries.emplace_back(entry);
        }
        return true;
    };
    ForEachSuspEntry(area.inlineBytes, collect);
    for (const std::string& continuation : area.continuation) {
        ForEachSuspEntry(continuation, collect);
    }
    return entries;
}

RockRidgeInfo DecodeRockRidge(const SystemUseArea& area)
{
    return DecodeRockRidgeEntries(area.inlineBytes, area.continuation);
}

namespace {

RockRidgeInfo DecodeRockRidgeEntries(std::string_view inlineBytes, const std::vector<std::string>& continuation)
{
    RockRidgeInfo info;
    LinkAssembler link;
    NameAssembler name;
    // Each entry is read where it lies, in the record or a continuation area.
    auto decode = [&](std::string_view signature, std::string_view entry) {
        if (signature == "ZF") {
            info.zisofs.present = true;
            if (entry.size() >= kZisofsEntrySize) {
                info.zisofs.algorithm[0] = entry[4];
                info.zisofs.algorithm[1] = entry[5];
                info.zisofs.headerQuads = static_cast<std::uint8_t>(entry[6]);
                info.zisofs.blockLog2 = static_cast<std::uint8_t>(entry[7]);
                info.zisofs.size = ReadBoth32(BytesOf(entry), 8);
            }
            return true;
        }
        if (!IsRockRidgeSignature(signature)) {
            return true;
        }
        info.present = true;
        const std::size_t size = entry.size();
        if (signature == "PX" && size >= kPosixEntrySizeOld) {
            DecodePosix(entry, info.attributes);
        } else if (signature == "PN" && size >= kDeviceEntrySize) {
            const std::uint64_t high = ReadBoth32(BytesOf(entry), 4);
            info.device = (high << 32) | ReadBoth32(BytesOf(entry), 12);
        } else if (signature == "SL" && size >= kFlaggedEntryHeader) {
            link.Add(entry);
        } else if (signature == "NM" && size >= kFlaggedEntryHeader) {
            name.Add(entry);
        } else if (signature == "TF" && size >= kFlaggedEntryHeader) {
            DecodeTimes(entry, info.attributes);
        } else if (signature == "CL" && size >= kLinkEntrySize) {
            info.childLink = ReadBoth32(BytesOf(entry), 4);
        } else if (signature == "PL" && size >= kLinkEntrySize) {
            info.parentLink = ReadBoth32(BytesOf(entry), 4);
        } else if (signature == "RE") {
            info.relocated = true;
        }
        return true;
    };
    ForEachSuspEntry(inlineBytes, decode);
    for (const std::string& area : continuation) {
        ForEachSuspEntry(area, decode);
    }
    if (link.Seen()) {
        info.attributes.linkTarget = link.Target();
    }
    info.name = name.Name();
    return info;
}

} // namespace

std::uint8_t RootSelfSkip(std::string_view rootSelfSystemUse)
{
    const auto sharingAt = [&](std::size_t at) {
        const std::string_view entry = rootSelfSystemUse.substr(std::min(at, rootSelfSystemUse.size()));
        return entry.size() >= kSharingEntrySize && entry.substr(0, 2) == "SP" && ByteAt(entry, 4) == kSharingCheck[0]
            && ByteAt(entry, 5) == kSharingCheck[1];
    };
    if (sharingAt(0) || !StartsWithXaRecord(rootSelfSystemUse)) {
        return 0;
    }
    return sharingAt(kXaRecordSize) ? static_cast<std::uint8_t>(kXaRecordSize) : 0;
}

SuspVolumeInfo DecodeSuspVolume(const SystemUseArea& rootSelf)
{
    SuspVolumeInfo info;
    const std::string_view first = rootSelf.inlineBytes;
    if (first.size() >= kSharingEntrySize && first.substr(0, 2) == "SP" && ByteAt(first, 2) >= kSharingEntrySize
        && ByteAt(first, 4) == kSharingCheck[0] && ByteAt(first, 5) == kSharingCheck[1]) {
        info.susp = true;
        info.skip = ByteAt(first, 6);
    }
    for (const std::string& entry : SystemUseEntries(rootSelf)) {
        if (entry.compare(0, 2, "ER") != 0 || entry.size() < kExtensionHeader) {
            continue;
        }
        const std::size_t idLength = ByteAt(entry, 4);
        const std::size_t texts = idLength + ByteAt(entry, 5) + ByteAt(entry, 6);
        if (texts > entry.size() - kExtensionHeader) {
            continue; // its texts run past the entry
        }
        std::string identifier = entry.substr(kExtensionHeader, idLength);
        if (identifier == "RRIP_1991A" || identifier == "IEEE_P1282" || identifier == "IEEE_1282") {
            info.rockRidge = true;
        }
        info.extensions.push_back(std::move(identifier));
    }
    return info;
}

SuspVolumeInfo ReadSuspVolume(const SectorReader& read, std::uint32_t sectorCount)
{
    const std::optional<VolumeDescriptor> primary = ReadVolumeDescriptor(read, sectorCount, kFirstDescriptorSector);
    std::vector<std::uint8_t> sector(kSectorSize);
    if (!primary || primary->rootRecord.extent >= sectorCount || !read(primary->rootRecord.extent, sector.data())) {
        return {};
    }
    const DirectorySectorRecords records = DecodeDirectorySector(sector);
    if (records.records.empty() || !records.records.front().IsSelf()) {
        return {};
    }
    const std::string_view systemUse = records.records.front().systemUse;
    return DecodeSuspVolume(ReadSystemUseArea(systemUse, RootSelfSkip(systemUse), read, sectorCount));
}

std::vector<std::string> EncodeRockRidgeEntries(const UnixAttributes& attributes, std::string_view name)
{
    std::vector<std::string> entries{PosixEntry(attributes)};
    if (std::optional<std::string> times = TimesEntry(attributes)) {
        entries.push_back(std::move(*times));
    }
    for (std::string& entry : EncodeNameEntries(name)) {
        entries.push_back(std::move(entry));
    }
    if (IsSymlinkMode(attributes.mode) && !attributes.linkTarget.empty()) {
        for (std::string& entry : LinkEncoder().Encode(attributes.linkTarget)) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

std::vector<std::string> EncodeRockRidgeVolumeEntries()
{
    std::string sharing = NewEntry("SP", kSharingEntrySize);
    sharing[4] = static_cast<char>(kSharingCheck[0]);
    sharing[5] = static_cast<char>(kSharingCheck[1]);
    sharing[6] = 0; // LEN_SKP

    std::string extension = NewEntry("ER", kExtensionHeader);
    extension[4] = static_cast<char>(kRockRidgeIdentifier.size());
    extension[5] = static_cast<char>(kRockRidgeDescription.size());
    extension[6] = static_cast<char>(kRockRidgeSource.size());
    extension[7] = 1; // EXT_VER
    extension.append(kRockRidgeIdentifier).append(kRockRidgeDescription).append(kRockRidgeSource);
    extension[2] = static_cast<char>(extension.size());
    return {sharing, extension};
}

std::vector<std::string> EncodeNameEntries(std::string_view name)
{
    constexpr std::size_t kPieceSize = kMaxEntrySize - kFlaggedEntryHeader;
    std::vector<std::string> entries;
    while (!name.empty()) {
        const std::size_t take = std::min(kPieceSize, name.size());
        std::string entry = NewEntry("NM", kFlaggedEntryHeader + take);
        entry[4] = static_cast<char>(take < name.size() ? kContinues : 0);
        entry.replace(kFlaggedEntryHeader, take, name.substr(0, take));
        entries.push_back(std::move(entry));
        name.remove_prefix(take);
    }
    return entries;
}

SystemUseArea PackSystemUse(const std::vector<std::string>& entries, std::size_t inlineRoom)
{
    SystemUseArea area;
    std::size_t next = 0;
    area.inlineBytes = FillArea(entries, next, inlineRoom, false);
    while (next < entries.size()) {
        area.continuation.push_back(FillArea(entries, next, kSectorSize, true));
    }
    // Each CE entry gives the length of the area it names, that area's own
    // CE included, so they are added from the last area back.
    for (std::size_t i = area.continuation.size(); i-- > 0;) {
        const auto length = static_cast<std::uint32_t>(area.continuation[i].size());
        std::string& before = i == 0 ? area.inlineBytes : area.continuation[i - 1];
        before += ContinuationEntry(0, 0, length);
    }
    return area;
}

bool PlaceContinuation(SystemUseArea& area, std::size_t index, std::uint32_t block, std::uint32_t offset)
{
    if (index >= area.continuation.size()) {
        return false;
    }
    std::string& bytes = index == 0 ? area.inlineBytes : area.continuation[index - 1];
    const std::optional<std::size_t> at = FindContinuationEntry(bytes);
    if (!at) {
        return false;
    }
    const Bytes entry = MutableBytesOf(bytes).subspan(*at, kContinuationEntrySize);
    PutBoth32(entry, 4, block);
    PutBoth32(entry, 12, offset);
    return true;
}

namespace {

// An "RR" entry (older producers write one) flags the entries its area
// holds; kept in step when a save takes entries out or adds them.
void MatchRrFlags(std::vector<std::string>& entries)
{
    static constexpr std::array<std::pair<std::string_view, std::uint8_t>, 8> kFlags{
        {{"PX", 0x01}, {"PN", 0x02}, {"SL", 0x04}, {"NM", 0x08}, {"CL", 0x10}, {"PL", 0x20}, {"RE", 0x40},
         {"TF", 0x80}}};
    std::uint8_t present = 0;
    for (const std::string& entry : entries) {
        for (const auto& [signature, flag] : kFlags) {
            if (entry.compare(0, 2, signature) == 0) {
                present = static_cast<std::uint8_t>(present | flag);
            }
        }
    }
    constexpr std::size_t kFlagsAt = 4;
    for (std::string& entry : entries) {
        if (entry.size() > kFlagsAt && entry.compare(0, 2, "RR") == 0) {
            entry[kFlagsAt] = static_cast<char>(present);
        }
    }
}

} // namespace

std::size_t ReplacePosixLinks(SystemUseArea& area, std::uint32_t from, std::uint32_t to)
{
    std::size_t replaced = 0;
    const auto replaceIn = [&](std::string& bytes) {
        std::vector<std::size_t> places;
        ForEachSuspEntry(bytes, [&](std::string_view signature, std::string_view entry) {
            if (signature == "PX" && entry.size() >= kPosixEntrySizeOld && ReadBoth32(BytesOf(entry), 12) == from) {
                places.push_back(static_cast<std::size_t>(entry.data() - bytes.data()));
            }
            return true;
        });
        for (const std::size_t at : places) {
            PutBoth32(MutableBytesOf(bytes).subspan(at, kPosixEntrySizeOld), 12, to);
        }
        replaced += places.size();
    };
    replaceIn(area.inlineBytes);
    for (std::string& continuation : area.continuation) {
        replaceIn(continuation);
    }
    return replaced;
}

SystemUseArea WithoutRelocation(const SystemUseArea& area, std::size_t inlineRoom)
{
    std::vector<std::string> entries;
    for (std::string& entry : SystemUseEntries(area)) {
        const std::string_view signature = std::string_view(entry).substr(0, 2);
        if (signature != "CL" && signature != "PL" && signature != "RE") {
            entries.push_back(std::move(entry));
        }
    }
    MatchRrFlags(entries);
    return PackSystemUse(entries, inlineRoom);
}

SystemUseArea RenameSystemUse(const SystemUseArea& area, std::string_view name, std::size_t inlineRoom)
{
    std::vector<std::string> entries;
    std::optional<std::size_t> namePosition;
    for (std::string& entry : SystemUseEntries(area)) {
        if (entry.compare(0, 2, "NM") == 0) {
            namePosition = namePosition.value_or(entries.size());
        } else {
            entries.push_back(std::move(entry));
        }
    }
    std::vector<std::string> names = EncodeNameEntries(name);
    const auto where = static_cast<std::ptrdiff_t>(namePosition.value_or(entries.size()));
    entries.insert(entries.begin() + where, std::make_move_iterator(names.begin()),
                   std::make_move_iterator(names.end()));
    MatchRrFlags(entries);
    return PackSystemUse(entries, inlineRoom);
}

} // namespace tarvelin::iso
