// CIsoDirEdit: the file tree of an opened image, read from its directory
// records, and the edits made to it until a save writes them.
//
// Reading trusts nothing the image says. Every extent and length is bounded
// by the image's sector count; each sector is read as a directory at most
// once, so a record that points back at an ancestor (or at any directory
// already read) is listed without its contents instead of being followed;
// nesting is bounded; and the walk keeps its own stack, so neither the depth
// nor the size of a tree can exhaust the call stack. What was skipped is
// counted in TreeLoadReport and reading goes on with the next record.
//
// The tree keeps parent and last-child links, so appending, finding a
// parent and loading are linear in the number of entries.

#include "iso/iso_dir_edit.h"

#include "iso/dir_tree.h"

#include "core/image_file.h"
#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "iso/rock_ridge.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "iso/disk_walk.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvelin {

bool IsSafeEntryName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

std::string DescribeTreeDamage(const TreeLoadReport& report)
{
    return CountedList({{report.malformedRecords, "malformed records skipped"},
                        {report.loopsRefused, "folders read twice or looping back, left empty"},
                        {report.extentsOutside, "entries lying beyond the end of the image"},
                        {report.tooDeep, "folders nested too deeply, left empty"}});
}

namespace {

using iso::kSectorSize;

// Deeper directories are listed without their contents. Far beyond any real
// image (ECMA-119 allows 8 levels, Rock Ridge images rarely exceed a few
// dozen), yet small enough that every recursive walk over the tree by other
// code stays safe.
constexpr std::uint32_t kMaxDirectoryDepth = 1000;

// Pairs of a key and what has it, sorted by their keys (SortByKey), and
// where the first of a key is in them (or would be).
template <typename Key, typename Value>
void SortByKey(std::vector<std::pair<Key, Value>>& pairs)
{
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

template <typename Key, typename Value>
auto FirstOf(const std::vector<std::pair<Key, Value>>& pairs, const Key& key)
{
    return std::lower_bound(pairs.begin(), pairs.end(), key,
                            [](const auto& pair, const Key& wanted) { return pair.first < wanted; });
}

// A name of one of two sides, with its place in its side's order.
struct SideName {
    std::string_view name;
    bool right = false;
    std::size_t index = 0;
};

// Pairs names of the two sides within items, which are sorted and all share
// their first depth characters: the names sharing more (deeper) pair
// first, then what is left of them pairs here, the first of each side in
// its order with the first of the other. What stays unpaired is returned.
std::vector<SideName> PairWithin(std::span<const SideName> items, std::size_t depth,
                                 std::vector<std::pair<std::size_t, std::size_t>>& pairs)
{
    std::vector<SideName> rest;
    std::size_t at = 0;
    while (at < items.size() && items[at].name.size() == depth) { // sorted in front of longer ones
        rest.push_back(items[at++]);
    }
    while (at < items.size()) {
        std::size_t end = at + 1;
        while (end < items.size() && items[end].name[depth] == items[at].name[depth]) {
            ++end;
        }
        const std::vector<SideName> left = PairWithin(items.subspan(at, end - at), depth + 1, pairs);
        rest.insert(rest.end(), left.begin(), left.end());
        at = end;
    }
    if (depth == 0) {
        return rest; // names that share nothing stay apart
    }
    std::stable_partition(rest.begin(), rest.end(), [](const SideName& item) { return !item.right; });
    const auto rights = std::find_if(rest.begin(), rest.end(), [](const SideName& item) { return item.right; });
    const auto byIndex = [](const SideName& a, const SideName& b) { return a.index < b.index; };
    std::sort(rest.begin(), rights, byIndex);
    std::sort(rights, rest.end(), byIndex);
    const auto count = std::min(rights - rest.begin(), rest.end() - rights);
    for (std::ptrdiff_t n = 0; n < count; ++n) {
        pairs.emplace_back(rest[static_cast<std::size_t>(n)].index, rights[n].index);
    }
    rest.erase(rights, rights + count);
    rest.erase(rest.begin(), rest.begin() + count);
    return rest;
}

// Pairs names of left with names of right by how long a start they share,
// the longest first; names that share no start stay apart. Gives the pairs
// as indexes (left, right).
std::vector<std::pair<std::size_t, std::size_t>> PairByCommonStart(const std::vector<std::string>& left,
                                                                   const std::vector<std::string>& right)
{
    std::vector<SideName> items;
    for (std::size_t index = 0; index < left.size(); ++index) {
        items.push_back({left[index], false, index});
    }
    for (std::size_t index = 0; index < right.size(); ++index) {
        items.push_back({right[index], true, index});
    }
    std::sort(items.begin(), items.end(), [](const SideName& a, const SideName& b) { return a.name < b.name; });
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    PairWithin(items, 0, pairs);
    return pairs;
}

// Directory sectors fetched per read: any real directory in one call, while
// a damaged length can never make the reader hold the whole image at once.
constexpr std::uint32_t kDirectoryReadBatch = 256;

// An identifier as stored without its version ("FOO.TXT;2" -> "FOO.TXT"),
// and whether it is version 1 or has none.
std::pair<std::string_view, bool> WithoutVersion(std::string_view identifier)
{
    const std::size_t semicolon = identifier.rfind(';');
    if (semicolon == std::string_view::npos
        || identifier.find_first_not_of("0123456789", semicolon + 1) != std::string_view::npos) {
        return {identifier, true};
    }
    const std::string_view version = identifier.substr(semicolon + 1);
    return {identifier.substr(0, semicolon), version.empty() || version == "1"};
}

// Several versions of one file (FOO.TXT;1 and FOO.TXT;2) would show under
// one name. 7-Zip, bsdtar and the Linux kernel give that name to version 1
// and show the others with their version: version 1 is put first of them,
// so that finding the name, or extracting it, takes the file they take.
// Returns, by position after the reordering, the entries that show their
// version ("FOO.TXT;2") so that each can be found and extracted; empty
// when no entry does.
template <class Entries>
std::vector<bool> PutFirstVersionsFirst(Entries& entries)
{
    const auto otherVersion = [](const auto& entry) { return !WithoutVersion(entry.record.identifier).second; };
    if (std::none_of(entries.begin(), entries.end(), otherVersion)) {
        return {};
    }
    // The identifiers point into the directory's sectors, which stay where they are.
    std::unordered_map<std::string_view, std::size_t> first;
    std::vector<bool> showsVersion(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto [name, versionOne] = WithoutVersion(entries[i].record.identifier);
        const auto [at, fresh] = first.try_emplace(name, i);
        if (fresh) {
            continue;
        }
        if (versionOne && otherVersion(entries[at->second])) {
            std::swap(entries[at->second], entries[i]);
        }
        showsVersion[i] = otherVersion(entries[i]);
    }
    return showsVersion;
}

// Whether an identifier as stored is an 8.3 name (ISO 9660 level 1): a
// file's name and extension of at most 8 and 3 characters, a folder's of 8.
bool FitsLevel1(std::string_view identifier, bool directory)
{
    const std::size_t version = identifier.find(';');
    if (version != std::string_view::npos) {
        identifier = identifier.substr(0, version);
    }
    constexpr iso::IsoNameLimits kLevel1 = iso::IsoNameLimits::Level1();
    if (directory) {
        return identifier.size() <= kLevel1.directory && identifier.find('.') == std::string_view::npos;
    }
    const std::size_t dot = identifier.find('.');
    if (dot == std::string_view::npos) {
        return identifier.size() <= kLevel1.name;
    }
    return dot <= kLevel1.name && identifier.size() - dot - 1 <= kLevel1.extension
        && identifier.find('.', dot + 1) == std::string_view::npos;
}

std::uint64_t SectorsFor(std::uint64_t bytes)
{
    return (bytes + kSectorSize - 1) / kSectorSize;
}

// Sector ranges already read as directories. A directory whose sectors
// overlap one already read is either a loop (an ancestor, itself) or damage;
// refusing it bounds the whole load by the image's size.
class ClaimedSectors {
public:
    // Claims [first, first + count); false when any of it was claimed before.
    bool Claim(std::uint32_t first, std::uint32_t count)
    {
        const std::uint64_t end = std::uint64_t{first} + count;
        const auto next = ranges_.lower_bound(first);
        if (next != ranges_.end() && next->first < end) {
            return false;
        }
        if (next != ranges_.begin() && std::prev(next)->second > first) {
            return false;
        }
        ranges_.emplace(first, end);
        return true;
    }
    // Gives back the end of the range claimed at first: only its first
    // count sectors were the directory's.
    void Shorten(std::uint32_t first, std::uint32_t count)
    {
        if (const auto range = ranges_.find(first); range != ranges_.end()) {
            range->second = std::min(range->second, std::uint64_t{first} + count);
        }
    }

private:
    std::map<std::uint32_t, std::uint64_t> ranges_; // first sector -> one past the last
};

// Why name cannot be the name of an entry; empty when it can.
std::string NameRefusal(const char* name, const char* missing)
{
    if (name == nullptr || *name == '\0') {
        return missing;
    }
    if (!IsSafeEntryName(name)) {
        return "'" + std::string(name) + "' cannot name an entry: a name has no '/' and is not '.' or '..'";
    }
    if (const std::size_t length = std::strlen(name); length > kMaxEntryNameBytes) {
        return "a name is at most " + std::to_string(kMaxEntryNameBytes) + " bytes long (this one has " +
            std::to_string(length) + ")";
    }
    return {};
}

class CIsoDirEdit final : public IIsoDirEdit {
public:
    ~CIsoDirEdit() override = default;

    bool Reserved() override { return true; }
    void SetSector(IIsoSector* sector) override { sector_ = sector; }
    void Load(std::uint32_t bootSector) override;
    void SetKeepRecords(bool keep) override { keepRecords_ = keep; }
    DirNode* GetRoot() override { return &root_; }

    bool GetInfo(DirNode* node, DirEntry& entry) override
    {
        if (node != nullptr) {
            entry = node->entry;
        }
        return true;
    }

    DirNode* GetFirstChild(DirNode* node) override { return node != nullptr ? node->firstChild : nullptr; }
    DirNode* GetNextSibling(DirNode* node) override { return node != nullptr ? node->nextSibling : nullptr; }
    void DeleteNode(DirNode* parent, DirNode* node) override;
    DirNode* FindParent(DirNode* node) override;

    void SetInfo(DirNode* node, const DirEntry& entry) override
    {
        if (node != nullptr) {
            node->entry = entry;
        }
    }

    DirNode* AddFile(const char* path, DirNode* parent) override;
    DirNode* AddDirectory(const char* path, DirNode* parent) override;
    DirNode* AddDirectoryTree(const char* path, DirNode* parent) override;
    DirNode* NewDirectory(const char* name, DirNode* parent) override;
    bool Rename(const char* name, DirNode* node) override;
    std::uint32_t GetEndSector() override { return endSector_; }
    bool AddBootFile(const char* path, DirNode* parent) override;
    std::uint32_t GetJolietMode() override { return jolietMode_; }
    TreeLoadReport GetLoadReport() override { return report_; }
    const char* GetLastError() override { return lastError_.c_str(); }
    void SetNameSource(NameSource source) override { nameSource_ = source; }
    NameSource GetShownNames() override { return shown_; }
    NameRules GetNameRules() override { return rules_; }
    bool HasRockRidge() override { return rules_.rockRidge; }
    NoticeList& Notices() override { return notices_; }

private:
    struct PendingDirectory {
        DirNode* node = nullptr;
        std::uint32_t extent = 0;
        std::uint32_t length = 0;
        std::uint32_t depth = 0; // of the directory's children
    };

    // One entry of a directory as read, the pieces of a multi-extent file
    // joined.
    struct ListedEntry {
        iso::DirectoryRecordView record; // the first record
        std::vector<ExtentPiece> more;
        std::uint64_t size = 0;
    };
    // The records of one directory, read in place from the directory's
    // sectors, which the listing holds until it lists the next directory.
    struct DirectoryListing {
        std::optional<iso::DirectoryRecordView> self;
        std::optional<iso::DirectoryRecordView> parent;
        std::vector<ListedEntry> entries;
        std::vector<std::vector<std::uint8_t>> batches; // the sectors, a batch read at a time
        iso::DirectorySectorViews decoded;               // room for one sector's records
    };
    // Which of its names in the image an entry shows so far, while it is
    // read. Each node holds only the name it shows: the one the names shown
    // prefer of those read yet.
    enum class NameKind : std::uint8_t { Iso, Rock, Joliet };

    bool ReadDirectoryRecords(std::uint32_t extent, std::uint32_t length, DirectoryListing& listing,
                              bool claim = true);
    class PrimaryChildren;
    void PairFoldersByContents(DirNode* folder, const DirectoryListing& listing, const std::vector<std::size_t>& folders,
                               PrimaryChildren& children, std::vector<DirNode*>& paired);
    iso::SectorReader ContinuationReader();
    iso::SystemUseArea ReadSystemUse(std::string_view stored, std::uint8_t skip);
    iso::RockRidgeInfo ReadRockRidge(std::string_view stored, std::uint8_t skip);
    // area: the record's system use read behind its first skip bytes.
    KeptRecord Keep(const iso::DirectoryRecordView& record, iso::SystemUseArea area, std::uint8_t skip) const;
    void KeepDirectoryRecords(DirNode* node, const DirectoryListing& listing, bool joliet);
    KeptRecords& Building(DirNode* node);
    std::optional<std::uint32_t> RelocatedDirectorySize(std::uint32_t extent);
    DirNode* AppendListed(DirNode* parent, ListedEntry& listed, bool joliet, std::string name);
    void FinishEntry(DirNode* node, std::vector<PendingDirectory>& subdirectories, std::uint32_t childDepth);
    void ReadPrimaryTree(const iso::DirectoryRecord& root);
    void ReadJolietTree(const iso::DirectoryRecord& root);
    void FinishLoad();
    static void MarkInIsoTree(DirNode* top);
    // Accounts for data at [extent, extent + length bytes): moves endSector
    // (never past the image) and counts data lying beyond the image.
    void NoteData(std::uint32_t extent, std::uint64_t length);

    bool CheckParent(DirNode* parent);
    DirNode* AppendFromDisk(const std::string& path, const platform::FileInfo& info, DirNode* parent);
    DirNode* AddFromDisk(const char* path, DirNode* parent, bool wantDirectory, platform::FileInfo* found);
    // What an edited image takes from disk: no file of 4 GiB or more (its
    // records give sizes in 32 bits); links inside a folder kept as links
    // where the image records them (Rock Ridge), as a new image does.
    iso::DiskAddRules AddRules() const
    {
        iso::DiskAddRules rules;
        rules.linksAsLinks = rules_.rockRidge;
        return rules;
    }
    // The file of the image being edited on disk; none when unknown.
    std::optional<iso::DiskIdentity> ImageIdentity() const;

    DirNode* Append(DirNode* parent, DirEntry&& entry);
    DirNode* AppendEmpty(DirNode* parent);

    NodeStore<DirNode> store_;
    DirNode root_;
    std::uint32_t jolietMode_ = 0;
    IIsoSector* sector_ = nullptr;
    std::uint32_t endSector_ = 0;
    std::uint32_t bootSector_ = 0;
    std::uint32_t sectorCount_ = 0;
    TreeLoadReport report_;
    ClaimedSectors claimed_;
    // While the Joliet tree pairs its folders: the files with data below
    // each Joliet folder read so far (by its extent), and the primary
    // tree's files by their data.
    using FileKey = std::pair<std::uint32_t, std::uint64_t>;
    std::map<std::uint32_t, std::vector<FileKey>> jolietFilesBelow_;
    std::vector<std::pair<FileKey, const DirNode*>> primaryFiles_; // in order
    bool primaryFilesKnown_ = false;
    const std::vector<FileKey>& JolietFilesBelow(std::uint32_t extent, std::uint32_t length, std::uint32_t depth);
    void KnowPrimaryFiles();
    std::string lastError_;
    NoticeList notices_;

    NameSource nameSource_ = NameSource::Automatic;
    NameRules rules_;
    std::uint32_t highestSerial_ = 0; // of the "." and ".." records read
    bool hasJoliet_ = false;
    bool enhancedVolume_ = false; // an enhanced descriptor shares the primary root
    std::uint8_t suspSkip_ = 0;       // the SP entry's LEN_SKP
    bool rockRidgeVolume_ = false;    // the root names RRIP in an ER entry
    bool rockRidgeEntries_ = false;   // some record carries Rock Ridge entries
    // While a load runs: each node's names and kept records.
    NameSource shown_ = NameSource::RockRidge; // the names shown: nameSource_, Automatic resolved
    std::vector<NameKind> nameKinds_;          // at each node's loadIndex
    // Shown ISO 9660 names hide the Rock Ridge names that pair the trees:
    // those are kept here, at each node's loadIndex (empty when none).
    std::vector<std::string> rockNames_;
    std::unordered_map<DirNode*, std::shared_ptr<KeptRecords>> building_;
    bool keepRecords_ = true;
    // The last sector continuation areas were read from.
    static constexpr std::uint32_t kNoSector = UINT32_MAX;
    std::uint32_t continuationSector_ = kNoSector;
    std::vector<std::uint8_t> continuationBytes_;
};

// ---------------------------------------------------------------------------
// Tree structure

DirNode* CIsoDirEdit::Append(DirNode* parent, DirEntry&& entry)
{
    DirNode* node = AppendEmpty(parent);
    node->entry = std::move(entry);
    return node;
}

DirNode* CIsoDirEdit::AppendEmpty(DirNode* parent)
{
    DirNode* node = store_.New();
    if (node == nullptr) {
        throw std::bad_alloc();
    }
    AppendChild(parent, node);
    return node;
}

void CIsoDirEdit::DeleteNode(DirNode* parent, DirNode* node)
{
    if (parent != nullptr && node != nullptr && UnlinkChild(parent, node)) {
        store_.FreeSubtree(node);
    }
}

DirNode* CIsoDirEdit::FindParent(DirNode* node)
{
    if (node == nullptr || node == &root_) {
        return nullptr;
    }
    // A node of this tree reaches the root through its parent links; one of
    // another tree (or one never linked) does not.
    DirNode* top = node;
    while (top->parent != nullptr) {
        top = top->parent;
    }
    return top == &root_ ? node->parent : nullptr;
}

// ---------------------------------------------------------------------------
// Reading the tree of the image
//
// The primary tree is read first: it lists every entry (a Rock Ridge image
// keeps symbolic links and the like there alone) and carries the Rock Ridge
// entries. The Joliet tree is then read and paired with it directory by
// directory, so that each node knows its record in both trees and a save can
// write both back as they were. An entry that only one tree lists stays in
// that tree alone.

// Reads the records of one directory: "." and ".." apart, the pieces of a
// multi-extent file joined. False when the directory lies outside the image
// or was read before (a loop).
bool CIsoDirEdit::ReadDirectoryRecords(std::uint32_t extent, std::uint32_t length, DirectoryListing& listing,
                                       bool claim)
{
    listing.self.reset();
    listing.parent.reset();
    listing.entries.clear();
    std::uint64_t sectors = SectorsFor(length);
    if (sectors == 0 || extent >= sectorCount_) {
        return false;
    }
    sectors = std::min<std::uint64_t>(sectors, sectorCount_ - extent);
    const auto count = static_cast<std::uint32_t>(sectors);
    if (claim && !claimed_.Claim(extent, count)) {
        ++report_.loopsRefused;
        return false;
    }
    // The identifier of a multi-extent file whose next piece is due (empty
    // when none is: identifiers are never empty).
    std::string_view openIdentifier;
    bool ended = false;
    for (std::uint32_t done = 0, used = 0; done < count && !ended; ++used) {
        const std::uint32_t batch = std::min(kDirectoryReadBatch, count - done);
        const std::uint32_t first = extent + done;
        if (used == listing.batches.size()) {
            listing.batches.emplace_back();
        }
        // Room kept from an earlier directory is reused; records of this
        // one point into it until the next listing.
        std::vector<std::uint8_t>& buffer = listing.batches[used];
        buffer.resize(std::size_t{batch} * kSectorSize);
        if (!sector_->ReadSectors(first, buffer.data(), batch)) {
            // Read what can be read; a sector that cannot be positioned
            // stays zero, which reads as a sector without records.
            for (std::uint32_t i = 0; i < batch; ++i) {
                std::uint8_t* at = buffer.data() + std::size_t{i} * kSectorSize;
                if (!sector_->ReadSector(first + i, at)) {
                    std::fill_n(at, kSectorSize, std::uint8_t{0});
                }
            }
        }
        for (std::uint32_t i = 0; i < batch; ++i) {
            const iso::ConstBytes sector(buffer.data() + std::size_t{i} * kSectorSize, kSectorSize);
            iso::DirectorySectorViews& decoded = listing.decoded;
            iso::DecodeDirectorySectorViews(sector, decoded);
            report_.endianMismatch = report_.endianMismatch || decoded.endianMismatch;
            if (decoded.damaged) {
                ++report_.malformedRecords;
            }
            // A recorded length too large runs on into what follows the
            // directory: another directory, which opens with its "." record,
            // or file data, whose bytes soon fail to be records. The
            // directory ends before such a sector; nothing from it or after
            // it is an entry (a save would write them back as entries).
            const bool opensAnother = !decoded.records.empty() && decoded.records.front().IsSelf();
            if (done + i > 0 && (decoded.damaged || opensAnother)) {
                report_.malformedRecords += decoded.damaged ? 0 : 1;
                if (claim) {
                    claimed_.Shorten(extent, done + i);
                }
                ended = true;
                break;
            }
            for (const iso::DirectoryRecordView& record : decoded.records) {
                if (done + i == 0 && listing.entries.empty() && !listing.self && record.IsSelf()) {
                    listing.self = record;
                    continue;
                }
                if (listing.self && !listing.parent && listing.entries.empty() && record.IsParent()) {
                    listing.parent = record;
                    continue;
                }
                if (record.IsSelf() || record.IsParent()) {
                    continue;
                }
                if (!openIdentifier.empty()) {
                    if (!record.IsDirectory() && record.identifier == openIdentifier) {
                        ListedEntry& file = listing.entries.back();
                        file.more.push_back({record.extent, record.dataLength});
                        file.size += record.dataLength;
                        if (!record.IsMultiExtent()) {
                            openIdentifier = {};
                        }
                        continue;
                    }
                    // The previous record promised a further piece that never came.
                    ++report_.malformedRecords;
                    openIdentifier = {};
                }
                if (!record.IsDirectory() && record.IsMultiExtent()) {
                    openIdentifier = record.identifier;
                }
                listing.entries.push_back({record, {}, record.dataLength});
            }
        }
        done += batch;
    }
    if (!openIdentifier.empty()) {
        ++report_.malformedRecords;
    }
    // Every directory opens with its "." record: one without it was
    // overwritten or is not a directory at all, and what it lists (often
    // nothing) is not to be taken for the folder's true contents unsaid.
    if (!listing.self) {
        ++report_.malformedRecords;
    }
    return true;
}

// Mastering tools put the continuation areas of a folder's records
// together: one sector serves many records in a row.
iso::SectorReader CIsoDirEdit::ContinuationReader()
{
    return [this](std::uint32_t sector, std::uint8_t* buffer) {
        if (sector != continuationSector_) {
            continuationBytes_.resize(kSectorSize);
            if (!sector_->ReadSector(sector, continuationBytes_.data())) {
                continuationSector_ = kNoSector;
                return false;
            }
            continuationSector_ = sector;
        }
        std::copy(continuationBytes_.begin(), continuationBytes_.end(), buffer);
        return true;
    };
}

iso::SystemUseArea CIsoDirEdit::ReadSystemUse(std::string_view stored, std::uint8_t skip)
{
    if (stored.size() <= skip) {
        return {};
    }
    iso::SuspReport susp;
    iso::SystemUseArea area = iso::ReadSystemUseArea(stored, skip, ContinuationReader(), sectorCount_, &susp);
    report_.malformedRecords += susp.damaged;
    return area;
}

iso::RockRidgeInfo CIsoDirEdit::ReadRockRidge(std::string_view stored, std::uint8_t skip)
{
    if (stored.size() <= skip) {
        return {};
    }
    iso::SuspReport susp;
    iso::RockRidgeInfo info = iso::ReadRockRidge(stored, skip, ContinuationReader(), sectorCount_, &susp);
    report_.malformedRecords += susp.damaged;
    return info;
}

KeptRecord CIsoDirEdit::Keep(const iso::DirectoryRecordView& record, iso::SystemUseArea area, std::uint8_t skip) const
{
    KeptRecord kept;
    kept.identifier = std::string(record.identifier);
    kept.flags = record.flags;
    kept.extendedAttributeLength = record.extendedAttributeLength;
    kept.fileUnitSize = record.fileUnitSize;
    kept.interleaveGap = record.interleaveGap;
    kept.volumeSequenceNumber = record.volumeSequenceNumber;
    kept.date = record.date;
    kept.skipped = std::string(record.systemUse.substr(0, std::min<std::size_t>(skip, record.systemUse.size())));
    kept.systemUse = std::move(area);
    return kept;
}

void CIsoDirEdit::KeepDirectoryRecords(DirNode* node, const DirectoryListing& listing, bool joliet)
{
    if (!keepRecords_) {
        return;
    }
    KeptRecords& kept = Building(node);
    std::optional<KeptTreeRecords>& tree = joliet ? kept.joliet : kept.iso;
    if (!tree) {
        tree.emplace(); // the root: no record of its own but in the descriptor
    }
    const std::uint8_t skip = joliet ? 0 : suspSkip_;
    if (listing.self) {
        const std::uint8_t selfSkip = node == &root_ && !joliet ? iso::RootSelfSkip(listing.self->systemUse) : skip;
        tree->self = Keep(*listing.self, ReadSystemUse(listing.self->systemUse, selfSkip), selfSkip);
    }
    if (listing.parent) {
        tree->parent = Keep(*listing.parent, ReadSystemUse(listing.parent->systemUse, skip), skip);
    }
}

KeptRecords& CIsoDirEdit::Building(DirNode* node)
{
    std::shared_ptr<KeptRecords>& kept = building_[node];
    if (kept == nullptr) {
        kept = std::make_shared<KeptRecords>();
        kept->dateAsRead = node->entry.date;
        node->entry.kept = kept;
    }
    return *kept;
}

// The directory a Rock Ridge CL placeholder stands for: its size is that of
// the directory's "." record.
std::optional<std::uint32_t> CIsoDirEdit::RelocatedDirectorySize(std::uint32_t extent)
{
    if (extent >= sectorCount_) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> sector(kSectorSize);
    if (!sector_->ReadSector(extent, sector.data())) {
        return std::nullopt;
    }
    const iso::DirectorySectorRecords decoded = iso::DecodeDirectorySector(sector);
    if (decoded.records.empty() || !decoded.records.front().IsSelf()) {
        return std::nullopt;
    }
    return decoded.records.front().dataLength;
}

// name: the entry's name in the tree it is read from.
DirNode* CIsoDirEdit::AppendListed(DirNode* parent, ListedEntry& listed, bool joliet, std::string name)
{
    const iso::DirectoryRecordView& record = listed.record;
    // Made in place: a large tree is mostly these entries.
    DirNode* node = AppendEmpty(parent);
    DirEntry& entry = node->entry;
    entry.isDirectory = record.IsDirectory();
    entry.EntrySource = EntrySourceKind::Image;
    entry.extent = record.extent;
    entry.extentLength = record.dataLength;
    entry.moreExtents = std::move(listed.more);
    entry.size = listed.size;
    entry.date = iso::FileTimeFromRecordingDate(record.date).value_or(0);
    entry.xaForm2 = !entry.isDirectory && iso::IsXaForm2File(record.systemUse);
    // An entry of the primary tree is taken to be in the Joliet tree until
    // that tree's reading finds its folder without it.
    entry.inIsoTree = !joliet;
    entry.inJolietTree = true;
    entry.name = std::move(name);
    node->loadIndex = static_cast<std::uint32_t>(nameKinds_.size());
    nameKinds_.push_back(joliet ? NameKind::Joliet : NameKind::Iso);
    if (shown_ == NameSource::Iso) {
        rockNames_.emplace_back();
    }
    return node;
}

void CIsoDirEdit::FinishEntry(DirNode* node, std::vector<PendingDirectory>& subdirectories, std::uint32_t childDepth)
{
    DirEntry& entry = node->entry;
    entry.bootMark = !entry.isDirectory && bootSector_ != 0 && entry.extent == bootSector_;
    NoteData(entry.extent, entry.moreExtents.empty() ? entry.size : entry.extentLength);
    for (const ExtentPiece& piece : entry.moreExtents) {
        NoteData(piece.extent, piece.length);
    }
    if (!entry.isDirectory) {
        return;
    }
    if (childDepth >= kMaxDirectoryDepth) {
        ++report_.tooDeep;
        return;
    }
    subdirectories.push_back({node, entry.extent, entry.extentLength, childDepth + 1});
}

void CIsoDirEdit::ReadPrimaryTree(const iso::DirectoryRecord& root)
{
    NoteData(root.extent, root.dataLength);
    std::vector<PendingDirectory> pending{{&root_, root.extent, root.dataLength, 1}};
    std::vector<PendingDirectory> subdirectories;
    DirectoryListing listing;
    while (!pending.empty()) {
        const PendingDirectory directory = pending.back();
        pending.pop_back();
        if (!ReadDirectoryRecords(directory.extent, directory.length, listing)) {
            continue;
        }
        if (directory.node == &root_ && listing.self) {
            // SP and ER sit in the root's "." record and tell whether the
            // rest of the records carry SUSP entries and how many bytes of
            // each to skip.
            const iso::SuspVolumeInfo volume = iso::DecodeSuspVolume(
                ReadSystemUse(listing.self->systemUse, iso::RootSelfSkip(listing.self->systemUse)));
            suspSkip_ = volume.susp ? volume.skip : 0;
            rockRidgeVolume_ = volume.rockRidge;
            // The root has no record of its own: its mode, owner, serial and
            // date are those of its "." record (new folders' ".." records and
            // new serial numbers follow them).
            root_.entry.isDirectory = true;
            root_.entry.date = iso::FileTimeFromRecordingDate(listing.self->date).value_or(0);
            root_.entry.posix = ReadRockRidge(listing.self->systemUse, suspSkip_).attributes;
        }
        KeepDirectoryRecords(directory.node, listing, false);
        const std::vector<bool> showsVersion = PutFirstVersionsFirst(listing.entries);
        // New entries get serial numbers above every one the image uses,
        // "." and ".." records included.
        for (const auto* own : {listing.self ? &*listing.self : nullptr, listing.parent ? &*listing.parent : nullptr}) {
            if (own != nullptr) {
                const auto serial = ReadRockRidge(own->systemUse, suspSkip_).attributes.serial;
                highestSerial_ = std::max(highestSerial_, serial.value_or(0));
            }
        }
        subdirectories.clear();
        std::size_t relocatedHere = 0;
        for (ListedEntry& listed : listing.entries) {
            // The entries are copied out only to be kept.
            iso::SystemUseArea area;
            iso::RockRidgeInfo rock;
            if (keepRecords_) {
                area = ReadSystemUse(listed.record.systemUse, suspSkip_);
                rock = iso::DecodeRockRidge(area);
            } else {
                rock = ReadRockRidge(listed.record.systemUse, suspSkip_);
            }
            if (rock.relocated) {
                // The directory's true place is where its CL placeholder is.
                ++relocatedHere;
                continue;
            }
            const iso::DirectoryRecordView record = listed.record;
            std::string isoName = iso::DecodeIsoIdentifier(record.identifier);
            if (isoName.empty()) {
                ++report_.malformedRecords;
                continue;
            }
            if (!showsVersion.empty() && showsVersion[static_cast<std::size_t>(&listed - listing.entries.data())]) {
                isoName.append(record.identifier.substr(record.identifier.rfind(';')));
            }
            if (rock.childLink) {
                const std::optional<std::uint32_t> size = RelocatedDirectorySize(*rock.childLink);
                if (!size) {
                    ++report_.malformedRecords;
                    continue;
                }
                listed.record.flags |= iso::DirectoryFlags::kDirectory;
                listed.record.extent = *rock.childLink;
                listed.record.dataLength = *size;
                listed.size = *size;
            }
            DirNode* node = AppendListed(directory.node, listed, false, std::move(isoName));
            node->entry.posix = std::move(rock.attributes);
            node->entry.zisofs = rock.zisofs;
            rockRidgeEntries_ = rockRidgeEntries_ || rock.present;
            if (rock.name && !rock.name->empty()) {
                if (shown_ == NameSource::Iso) {
                    rockNames_[node->loadIndex] = std::move(*rock.name);
                } else {
                    node->entry.name = std::move(*rock.name);
                    nameKinds_[node->loadIndex] = NameKind::Rock;
                }
            }
            if (keepRecords_) {
                KeptRecords& kept = Building(node);
                kept.iso.emplace();
                kept.iso->record = Keep(record, std::move(area), suspSkip_);
                kept.relocatedDirectory = rock.childLink.has_value();
            }
            FinishEntry(node, subdirectories, directory.depth);
        }
        if (relocatedHere != 0 && directory.node->firstChild == nullptr && directory.node != &root_) {
            // A folder that only held relocated directories (genisoimage's
            // "rr_moved") is no folder of the tree Rock Ridge describes;
            // with its directories back in their places it goes. Its
            // parent's link count still counts it.
            if (keepRecords_) {
                ++Building(directory.node->parent).subfoldersAsRead;
            }
            building_.erase(directory.node);
            DeleteNode(directory.node->parent, directory.node);
            continue;
        }
        pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
    }
}

// The primary children of one folder, found by what a Joliet record can
// match: files by their data, entries by name (Rock Ridge names are the
// true ones; ISO 9660 names compare without regard to ASCII case). Each is
// taken at most once; lookups cost the same however large the folder. The
// names are looked at where the load keeps them, never copied.
class CIsoDirEdit::PrimaryChildren {
public:
    // taken: one flag per loaded node, by its loadIndex; no node of the
    // folder is taken yet. The names are looked at in the nodes, which show
    // their primary names until the folder's Joliet records are read.
    PrimaryChildren(DirNode* folder, const std::vector<NameKind>& kinds, const std::vector<std::string>& rockNames,
                    std::vector<bool>& taken)
        : taken_(taken)
    {
        taken_.resize(kinds.size());
        for (DirNode* child = folder->firstChild; child != nullptr; child = child->nextSibling) {
            if (!child->entry.inIsoTree) {
                continue;
            }
            const std::uint32_t index = child->loadIndex;
            if (kinds[index] == NameKind::Rock) {
                byRock_.push_back({child->entry.name, child});
            } else if (!rockNames.empty() && !rockNames[index].empty()) {
                byRock_.push_back({rockNames[index], child});
            } else {
                byIso_.push_back({child->entry.name, child});
            }
            if (!child->entry.isDirectory) {
                byData_.push_back({child->entry.extent, child->entry.size, child});
            }
        }
        // Stable: of several entries with one key, the first listed comes
        // first. Records are mostly listed in order already.
        SortIfNeeded(byRock_, NamedLess<false>{});
        SortIfNeeded(byIso_, NamedLess<true>{});
        SortIfNeeded(byData_, [](const Data& a, const Data& b) {
            return std::tie(a.extent, a.size) < std::tie(b.extent, b.size);
        });
    }

    // The file with the same data (of the same name, when several), else
    // the entry of the same name and kind. sameName: only a file of the
    // same data and name, or a folder of the same name.
    DirNode* TakeFor(const ListedEntry& listed, const std::string& name, bool sameName)
    {
        const bool directory = listed.record.IsDirectory();
        const auto left = [&](auto&& also) -> DirNode* {
            std::span<const Named> named = Range(byRock_, rockHint_, name, NamedLess<false>{});
            if (named.empty()) {
                named = Range(byIso_, isoHint_, name, NamedLess<true>{});
            }
            for (const Named& candidate : named) {
                if (!Taken(candidate.node) && candidate.node->entry.isDirectory == directory && also(candidate.node)) {
                    return candidate.node;
                }
            }
            return nullptr;
        };
        DirNode* found = nullptr;
        if (directory) {
            found = left([](DirNode*) { return true; });
        } else if (sameName) {
            found = left([&](DirNode* node) {
                return node->entry.extent == listed.record.extent && node->entry.size == listed.size;
            });
        } else {
            // Of the files with the same data, the one of the same name,
            // else the first one left (empty files all share their data).
            const Data key{listed.record.extent, listed.size, nullptr};
            const auto [first, last] = std::equal_range(byData_.begin(), byData_.end(), key, [](const Data& a, const Data& b) {
                return std::tie(a.extent, a.size) < std::tie(b.extent, b.size);
            });
            if (first != last) {
                // The group's first element remembers how far it is taken.
                auto rest = first + static_cast<std::ptrdiff_t>(first->next);
                while (rest != last && Taken(rest->node)) {
                    ++rest;
                }
                if (last - rest == 1) {
                    // The one file left with this data: no name can choose another.
                    found = rest->node;
                } else if (rest != last) {
                    found = left([&](DirNode* node) {
                        return node->entry.extent == key.extent && node->entry.size == key.size;
                    });
                    while (found == nullptr && rest != last) {
                        DirNode* node = (rest++)->node;
                        found = Taken(node) ? nullptr : node;
                    }
                }
                first->next = static_cast<std::size_t>(rest - first);
            }
        }
        if (found != nullptr) {
            Take(found);
        }
        return found;
    }

    void Take(DirNode* node) { taken_[node->loadIndex] = true; }
    bool Taken(DirNode* node) const { return taken_[node->loadIndex]; }

private:
    struct Named {
        std::string_view name;
        DirNode* node = nullptr;
    };
    struct Data {
        std::uint32_t extent = 0;
        std::uint64_t size = 0;
        DirNode* node = nullptr;
        std::size_t next = 0; // in a group's first element: the ones before it are taken
    };
    // ISO 9660 names order without regard to ASCII case, Rock Ridge names as they are.
    template <bool IgnoreCase>
    struct NamedLess {
        static char Fold(char c) { return IgnoreCase && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
        static bool Less(std::string_view a, std::string_view b)
        {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                                [](char x, char y) { return Fold(x) < Fold(y); });
        }
        bool operator()(const Named& a, const Named& b) const { return Less(a.name, b.name); }
        bool operator()(const Named& a, std::string_view b) const { return Less(a.name, b); }
        bool operator()(std::string_view a, const Named& b) const { return Less(a, b.name); }
    };
    template <class T, class Less>
    static void SortIfNeeded(std::vector<T>& items, Less less)
    {
        if (!std::is_sorted(items.begin(), items.end(), less)) {
            std::stable_sort(items.begin(), items.end(), less);
        }
    }
    // The entries of that name. The two trees mostly list a folder in the
    // same order, so the place after the last lookup's range is tried
    // first; hint keeps that place.
    template <class Less>
    static std::span<const Named> Range(const std::vector<Named>& sorted, std::size_t& hint, std::string_view name,
                                        Less less)
    {
        const auto begin = sorted.begin();
        auto first = begin + static_cast<std::ptrdiff_t>(std::min(hint, sorted.size()));
        const bool atHint = first != sorted.end() && !less(name, *first) && !less(*first, name)
            && (first == begin || less(*(first - 1), name));
        auto last = first;
        if (atHint) {
            while (last != sorted.end() && !less(name, *last)) {
                ++last;
            }
        } else {
            std::tie(first, last) = std::equal_range(begin, sorted.end(), name, less);
            if (first == last) {
                return {};
            }
        }
        hint = static_cast<std::size_t>(last - begin);
        return {first, last};
    }

    std::vector<Named> byRock_;
    std::vector<Named> byIso_;
    std::size_t rockHint_ = 0;
    std::size_t isoHint_ = 0;
    std::vector<Data> byData_;
    std::vector<bool>& taken_;
};

// Folders whose names differ in the two trees (ISO 9660 names cut to 8.3,
// say) pair by the files they hold: the primary folder with the most files
// of the same data. Folders holding no files of their own (folders of
// folders) pair so by the files anywhere below them, and folders holding no
// files with data by their names. What stays apart is kept by its own tree
// alone, which loses nothing.
void CIsoDirEdit::PairFoldersByContents(DirNode* folder, const DirectoryListing& listing,
                                        const std::vector<std::size_t>& folders, PrimaryChildren& children,
                                        std::vector<DirNode*>& paired)
{
    using FileSet = std::set<FileKey>;
    std::vector<DirNode*> unpaired;
    // Each unpaired folder's place in the primary order.
    std::unordered_map<const DirNode*, std::pair<std::size_t, DirNode*>> rank;
    for (DirNode* child = folder->firstChild; child != nullptr; child = child->nextSibling) {
        if (child->entry.inIsoTree && child->entry.isDirectory && !children.Taken(child)) {
            rank.emplace(child, std::pair{unpaired.size(), child});
            unpaired.push_back(child);
        }
    }
    // The files of a primary folder: its own, or all below it.
    const auto eachFile = [](const DirNode* node, bool below, auto&& visit) {
        std::vector<const DirNode*> pending{node};
        while (!pending.empty()) {
            const DirNode* at = pending.back();
            pending.pop_back();
            for (const DirNode* child = at->firstChild; child != nullptr; child = child->nextSibling) {
                if (!child->entry.isDirectory) {
                    visit(child->entry);
                } else if (below) {
                    pending.push_back(child);
                }
            }
        }
    };
    // Pairs each folder with the primary folder sharing most of its files
    // (its own, or all below it); the folders without files are left.
    const auto pairByFiles = [&](const std::vector<std::size_t>& indexes, bool below) {
        std::vector<std::size_t> withoutFiles;
        DirectoryListing inside;
        // The unpaired primary folders' own files by their data.
        std::vector<std::pair<FileKey, const DirNode*>> ownFiles;
        if (!below) {
            for (const DirNode* node : unpaired) {
                eachFile(node, false, [&](const DirEntry& file) {
                    ownFiles.emplace_back(FileKey{file.extent, file.size}, node);
                });
            }
            SortByKey(ownFiles);
        }
        for (const std::size_t index : indexes) {
            const iso::DirectoryRecordView& record = listing.entries[index].record;
            std::map<const DirNode*, std::size_t> shared;
            bool anyFiles = false;
            if (below) {
                // Each file's primary records lead up to the child of the
                // folder that holds them.
                const std::vector<FileKey>& files = JolietFilesBelow(record.extent, record.dataLength, 0);
                anyFiles = !files.empty();
                KnowPrimaryFiles();
                for (const FileKey& file : files) {
                    for (auto at = FirstOf(primaryFiles_, file); at != primaryFiles_.end() && at->first == file; ++at) {
                        const DirNode* node = at->second;
                        while (node != nullptr && node->parent != folder) {
                            node = node->parent;
                        }
                        ++shared[node];
                    }
                }
            } else if (ReadDirectoryRecords(record.extent, record.dataLength, inside, false)) {
                FileSet files;
                for (const ListedEntry& entry : inside.entries) {
                    if (!entry.record.IsDirectory() && entry.size != 0) {
                        files.emplace(entry.record.extent, entry.size);
                    }
                }
                anyFiles = !files.empty();
                for (const FileKey& file : files) {
                    for (auto at = FirstOf(ownFiles, file); at != ownFiles.end() && at->first == file; ++at) {
                        ++shared[at->second];
                    }
                }
            }
            DirNode* best = nullptr;
            std::size_t bestShared = 0;
            std::size_t bestRank = 0;
            for (const auto& [node, count] : shared) { // the first of equals, in the primary order
                const auto found = rank.find(node);
                if (found != rank.end()
                    && (count > bestShared || (count == bestShared && found->second.first < bestRank))) {
                    best = found->second.second;
                    bestShared = count;
                    bestRank = found->second.first;
                }
            }
            if (best != nullptr) {
                paired[index] = best;
                children.Take(best);
                rank.erase(best);
            } else if (!anyFiles) {
                withoutFiles.push_back(index);
            }
        }
        // The paired ones leave in one pass (one at a time would walk the
        // list for each).
        std::erase_if(unpaired, [&](const DirNode* node) { return !rank.contains(node); });
        return withoutFiles;
    };
    std::vector<std::size_t> withoutFiles = pairByFiles(folders, false);
    if (!withoutFiles.empty() && !unpaired.empty()) {
        withoutFiles = pairByFiles(withoutFiles, true);
    }
    // Folders that hold no files with data, in either tree, pair by their
    // names: the ISO 9660 name is the Joliet name cut and upper-cased. A
    // primary folder that holds files (below it too) is not the Joliet
    // folder that holds none (a folder hidden from each tree, -hide and
    // -hide-joliet).
    const auto holdsFiles = [&](const DirNode* node) {
        bool holds = false;
        eachFile(node, true, [&](const DirEntry& file) { holds = holds || file.size != 0; });
        return holds;
    };
    std::erase_if(unpaired, holdsFiles);
    // The Joliet names made ISO 9660 names (upper case, "_" for what
    // d-characters lack) pair with the primary names they share the longest
    // start with.
    std::vector<std::string> made;
    for (const std::size_t index : withoutFiles) {
        std::string name = iso::DecodeJolietIdentifier(listing.entries[index].record.identifier);
        for (char& c : name) {
            const auto byte = static_cast<unsigned char>(c);
            c = std::isalnum(byte) != 0 && byte < 0x80 ? static_cast<char>(std::toupper(byte)) : '_';
        }
        made.push_back(std::move(name));
    }
    std::vector<std::string> primaryNames;
    for (const DirNode* node : unpaired) {
        primaryNames.push_back(node->entry.name);
    }
    for (const auto& [joliet, primary] : PairByCommonStart(made, primaryNames)) {
        paired[withoutFiles[joliet]] = unpaired[primary];
        children.Take(unpaired[primary]);
    }
}

// Files with data below a Joliet folder, read once per folder (each folder
// above asks for them again): a few tell which primary folder is its, and
// more would only take longer. A folder met again below itself (a loop)
// adds nothing more.
const std::vector<CIsoDirEdit::FileKey>& CIsoDirEdit::JolietFilesBelow(std::uint32_t extent, std::uint32_t length,
                                                                      std::uint32_t depth)
{
    if (const auto known = jolietFilesBelow_.find(extent); known != jolietFilesBelow_.end()) {
        return known->second;
    }
    std::vector<FileKey> files;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> folders;
    jolietFilesBelow_[extent]; // met again below itself: nothing
    if (DirectoryListing inside; depth < kMaxDirectoryDepth && ReadDirectoryRecords(extent, length, inside, false)) {
        for (const ListedEntry& entry : inside.entries) {
            if (entry.record.IsDirectory()) {
                folders.emplace_back(entry.record.extent, entry.record.dataLength);
            } else if (entry.size != 0) {
                files.emplace_back(entry.record.extent, entry.size);
            }
        }
    }
    constexpr std::size_t kFilesTelling = 64;
    for (const auto& [folderExtent, folderLength] : folders) {
        const std::vector<FileKey>& below = JolietFilesBelow(folderExtent, folderLength, depth + 1);
        files.insert(files.end(), below.begin(), below.end());
        if (files.size() >= kFilesTelling) {
            break;
        }
    }
    files.resize(std::min(files.size(), kFilesTelling));
    return jolietFilesBelow_[extent] = std::move(files);
}

// The files of the primary tree by their data, gathered once when a folder
// first needs them.
void CIsoDirEdit::KnowPrimaryFiles()
{
    if (primaryFilesKnown_) {
        return;
    }
    primaryFilesKnown_ = true;
    std::vector<DirNode*> walk{&root_};
    while (!walk.empty()) {
        DirNode* at = walk.back();
        walk.pop_back();
        for (DirNode* child = at->firstChild; child != nullptr; child = child->nextSibling) {
            if (child->entry.isDirectory) {
                walk.push_back(child);
            } else if (child->entry.size != 0 && child->entry.inIsoTree) {
                primaryFiles_.emplace_back(FileKey{child->entry.extent, child->entry.size}, child);
            }
        }
    }
    SortByKey(primaryFiles_);
}

void CIsoDirEdit::ReadJolietTree(const iso::DirectoryRecord& root)
{
    jolietFilesBelow_.clear();
    primaryFiles_.clear();
    primaryFilesKnown_ = false;

    NoteData(root.extent, root.dataLength);
    std::vector<PendingDirectory> pending{{&root_, root.extent, root.dataLength, 1}};
    std::vector<PendingDirectory> subdirectories;
    DirectoryListing listing;
    std::vector<std::string> jolietNames;
    std::vector<std::size_t> folders; // listed folders not paired by name
    std::vector<bool> taken; // by loadIndex: primary entries paired with a Joliet record
    while (!pending.empty()) {
        const PendingDirectory directory = pending.back();
        pending.pop_back();
        if (!ReadDirectoryRecords(directory.extent, directory.length, listing)) {
            continue;
        }
        KeepDirectoryRecords(directory.node, listing, true);
        PrimaryChildren children(directory.node, nameKinds_, rockNames_, taken);
        std::vector<DirNode*> paired(listing.entries.size(), nullptr);
        jolietNames.assign(listing.entries.size(), std::string());
        folders.clear();
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            jolietNames[i] = iso::DecodeJolietIdentifier(listing.entries[i].record.identifier);
            if (jolietNames[i].empty()) {
                ++report_.malformedRecords;
                continue;
            }
        }
        // Without Rock Ridge, folders whose Joliet names differ in case only
        // share one ISO 9660 name, which tells them apart no more: what they
        // hold pairs them.
        std::map<std::string, std::size_t> folderNames;
        const bool isoNamesOnly = !rockRidgeVolume_ && !rockRidgeEntries_;
        const auto upper = [](std::string name) {
            for (char& c : name) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            return name;
        };
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            if (isoNamesOnly && listing.entries[i].record.IsDirectory() && !jolietNames[i].empty()) {
                ++folderNames[upper(jolietNames[i])];
            }
        }
        const auto byContents = [&](std::size_t i) {
            return isoNamesOnly && listing.entries[i].record.IsDirectory() && !jolietNames[i].empty()
                && folderNames[upper(jolietNames[i])] > 1;
        };
        // The entries that agree in name (and data) first: a record whose
        // name the primary tree lacks (hidden there) must not take, by its
        // data alone, the entry that a later record names.
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            if (!jolietNames[i].empty() && !byContents(i)) {
                paired[i] = children.TakeFor(listing.entries[i], jolietNames[i], true);
            }
        }
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            if (jolietNames[i].empty() || paired[i] != nullptr) {
                continue;
            }
            paired[i] = byContents(i) ? nullptr : children.TakeFor(listing.entries[i], jolietNames[i], false);
            if (paired[i] == nullptr && listing.entries[i].record.IsDirectory()) {
                folders.push_back(i);
            }
        }
        if (!folders.empty()) {
            PairFoldersByContents(directory.node, listing, folders, children, paired);
        }
        // What the primary tree lists and the Joliet tree does not.
        for (DirNode* child = directory.node->firstChild; child != nullptr; child = child->nextSibling) {
            if (child->entry.inIsoTree && !children.Taken(child)) {
                child->entry.inJolietTree = false;
            }
        }
        subdirectories.clear();
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            if (jolietNames[i].empty()) {
                continue;
            }
            ListedEntry& listed = listing.entries[i];
            const iso::DirectoryRecordView record = listed.record;
            DirNode* node = paired[i];
            if (node == nullptr) {
                node = AppendListed(directory.node, listed, true, std::move(jolietNames[i]));
                FinishEntry(node, subdirectories, directory.depth);
            } else {
                // Joliet names come before ISO 9660 names; before Rock
                // Ridge names only where Joliet names are the ones shown.
                NameKind& kind = nameKinds_[node->loadIndex];
                if (shown_ == NameSource::Joliet || (shown_ != NameSource::Iso && kind == NameKind::Iso)) {
                    node->entry.name = std::move(jolietNames[i]);
                    kind = NameKind::Joliet;
                }
                if (node->entry.isDirectory) {
                    if (directory.depth < kMaxDirectoryDepth) {
                        subdirectories.push_back({node, record.extent, record.dataLength, directory.depth + 1});
                    }
                    NoteData(record.extent, record.dataLength);
                }
            }
            if (keepRecords_) {
                KeptRecords& kept = Building(node);
                kept.joliet.emplace();
                kept.joliet->record = Keep(record, ReadSystemUse(record.systemUse, 0), 0);
            }
        }
        pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
    }
}

// The rules a save names new entries by.
void CIsoDirEdit::FinishLoad()
{
    rules_ = NameRules{};
    rules_.rockRidge = rockRidgeVolume_ || rockRidgeEntries_;
    rules_.firstSerial = std::max(rules_.firstSerial, highestSerial_ == UINT32_MAX ? UINT32_MAX : highestSerial_ + 1);
    bool level1 = true;
    bool withoutSerial = root_.entry.posix.known && !root_.entry.posix.serial;
    std::vector<DirNode*> pending{&root_};
    while (!pending.empty()) {
        DirNode* node = pending.back();
        pending.pop_back();
        for (DirNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
            if (const auto& serial = child->entry.posix.serial; serial && *serial >= rules_.firstSerial) {
                rules_.firstSerial = *serial == UINT32_MAX ? *serial : *serial + 1;
            }
            withoutSerial = withoutSerial || (child->entry.posix.known && !child->entry.posix.serial);
            if (const auto& kept = child->entry.kept; kept != nullptr) {
                if (kept->iso && !FitsLevel1(kept->iso->record.identifier, child->entry.isDirectory)) {
                    level1 = false;
                }
                if (kept->joliet
                    && iso::IsLongJolietIdentifier(kept->joliet->record.identifier, child->entry.isDirectory)) {
                    rules_.jolietLong = true;
                }
            }
            if (child->entry.isDirectory) {
                pending.push_back(child);
            }
        }
    }
    // Readers that find no serial number in a record (the PX entry of RRIP
    // 1.10, which genisoimage and xorriso write) number the entry by its
    // extent, and take entries of one number for links of one file: bsdtar
    // then extracts a folder as a link to a new folder whose serial number
    // is the folder's sector. New serial numbers lie above every sector such
    // an image can have.
    constexpr std::uint32_t kSerialsAboveSectors = 0x80000000u; // no sector of an image below 4 TiB
    if (withoutSerial) {
        rules_.firstSerial = std::max(rules_.firstSerial, kSerialsAboveSectors);
    }
    rules_.isoLevel = enhancedVolume_ ? 4 : level1 ? 1 : 2;
    // Only a tree kept for saving needs the counts; reading skips the walk.
    const DataNames dataNames = building_.empty() ? DataNames{} : CountDataNames(&root_);
    for (auto& [node, kept] : building_) {
        kept->dateAsRead = node->entry.date;
        // Besides a relocation folder dropped above.
        kept->subfoldersAsRead += node->entry.isDirectory ? SubfolderCount(node) : 0;
        kept->namesAsRead = DataNamesOf(dataNames, node->entry);
    }
    // Their room goes too: a large tree must not hold on to it.
    std::vector<NameKind>().swap(nameKinds_);
    std::vector<std::string>().swap(rockNames_);
    building_.clear();
}

void CIsoDirEdit::Load(std::uint32_t bootSector)
{
    store_.Clear();
    root_ = DirNode{};
    jolietMode_ = 0;
    endSector_ = 0;
    bootSector_ = bootSector;
    report_ = TreeLoadReport{};
    claimed_ = ClaimedSectors{};
    shown_ = nameSource_ != NameSource::Automatic ? nameSource_
        : platform::PrefersJolietNames()          ? NameSource::Joliet
                                                  : NameSource::RockRidge;
    nameKinds_.clear();
    rockNames_.clear();
    building_.clear();
    continuationSector_ = kNoSector;
    suspSkip_ = 0;
    rockRidgeVolume_ = false;
    rockRidgeEntries_ = false;
    hasJoliet_ = false;
    enhancedVolume_ = false;
    rules_ = NameRules{};
    highestSerial_ = 0;
    lastError_.clear();
    if (sector_ == nullptr) {
        lastError_ = "no image to read the tree from";
        return;
    }
    sectorCount_ = sector_->GetSectorCount();
    const iso::SectorReader read = [this](std::uint32_t sector, std::uint8_t* buffer) {
        return sector_->ReadSector(sector, buffer);
    };
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, sectorCount_);
    std::optional<iso::VolumeDescriptor> joliet;
    if (set.jolietSector) {
        iso::DecodeReport decode;
        joliet = iso::ReadVolumeDescriptor(read, sectorCount_, *set.jolietSector, &decode);
        report_.endianMismatch = report_.endianMismatch || decode.endianMismatch;
    }
    iso::DecodeReport decode;
    const std::optional<iso::VolumeDescriptor> primary =
        iso::ReadVolumeDescriptor(read, sectorCount_, iso::kFirstDescriptorSector, &decode);
    report_.endianMismatch = report_.endianMismatch || decode.endianMismatch;
    if (!primary && !joliet) {
        lastError_ = std::string("no readable volume descriptor: ")
            + (decode.problem != nullptr ? decode.problem : "unknown reason");
        return;
    }
    hasJoliet_ = joliet.has_value();
    // The primary tree is also an ISO 9660:1999 one: new names go in as
    // they are, like the names it holds.
    enhancedVolume_ = primary && set.enhancedRoot == primary->rootRecord.extent;
    if (joliet) {
        jolietMode_ = 2;
    }
    if (primary) {
        ReadPrimaryTree(primary->rootRecord);
        if (joliet) {
            ReadJolietTree(joliet->rootRecord);
        }
    } else {
        // Without a readable primary tree the Joliet tree is the one to
        // show; a save gives its entries new primary records.
        ReadJolietTree(joliet->rootRecord);
        for (DirNode* child = root_.firstChild; child != nullptr; child = child->nextSibling) {
            MarkInIsoTree(child);
        }
    }
    FinishLoad();
}

void CIsoDirEdit::MarkInIsoTree(DirNode* top)
{
    std::vector<DirNode*> pending{top};
    while (!pending.empty()) {
        DirNode* node = pending.back();
        pending.pop_back();
        node->entry.inIsoTree = true;
        for (DirNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
            pending.push_back(child);
        }
    }
}

void CIsoDirEdit::NoteData(std::uint32_t extent, std::uint64_t length)
{
    const std::uint64_t end = extent + SectorsFor(length);
    if (length != 0 && end > sectorCount_) {
        ++report_.extentsOutside;
    }
    // Data beyond the image is not there to keep; appending from a sector
    // beyond the image would only leave a hole in it.
    const std::uint64_t within = std::min<std::uint64_t>(end, sectorCount_);
    if (length != 0 && extent < sectorCount_ && within > endSector_) {
        endSector_ = static_cast<std::uint32_t>(within);
    }
}

// ---------------------------------------------------------------------------
// Edits

bool CIsoDirEdit::CheckParent(DirNode* parent)
{
    if (parent == nullptr) {
        lastError_ = "no folder to add to";
        return false;
    }
    // The root's entry is all zero; every other parent must be a folder, or
    // what is added below it would never be written.
    if (parent != &root_ && !parent->entry.isDirectory) {
        lastError_ = "'" + parent->entry.name + "' is not a folder";
        return false;
    }
    return true;
}

DirNode* CIsoDirEdit::AppendFromDisk(const std::string& path, const platform::FileInfo& info, DirNode* parent)
{
    DirEntry entry;
    entry.isDirectory = info.isDirectory;
    entry.EntrySource = info.isDirectory ? EntrySourceKind::None : EntrySourceKind::Disk;
    entry.diskPath = path;
    entry.name = info.name;
    entry.nameLength = static_cast<std::uint32_t>(entry.name.size());
    entry.date = RecordDateOf(info);
    entry.posix = UnixAttributesOf(info);
    // A link kept as a link has no data of its own.
    if (!info.isDirectory && !entry.IsSymlink()) {
        entry.size = info.size;
        entry.extentLength = static_cast<std::uint32_t>(info.size);
    }
    return Append(parent, std::move(entry));
}

std::optional<iso::DiskIdentity> CIsoDirEdit::ImageIdentity() const
{
    IImageFile* file = sector_ != nullptr ? sector_->GetFile() : nullptr;
    platform::FileInfo info;
    if (file == nullptr || file->GetPath() == nullptr || !platform::GetFileInfo(file->GetPath(), info)) {
        return std::nullopt;
    }
    return iso::IdentityOf(info);
}

DirNode* CIsoDirEdit::AddFromDisk(const char* path, DirNode* parent, bool wantDirectory, platform::FileInfo* found)
{
    lastError_.clear();
    if (path == nullptr || *path == '\0') {
        lastError_ = "no path given";
        return nullptr;
    }
    if (!CheckParent(parent)) {
        return nullptr;
    }
    platform::FileInfo info;
    std::string error;
    if (!platform::GetFileInfo(path, info, &error)) {
        lastError_ = error;
        return nullptr;
    }
    if (info.isDirectory != wantDirectory) {
        lastError_ = "'" + std::string(path) + (wantDirectory ? "' is not a folder" : "' is a folder");
        return nullptr;
    }
    if (const std::string refusal = iso::DiskFileRefusal(info, AddRules()); !info.isDirectory && !refusal.empty()) {
        lastError_ = "'" + std::string(path) + "' is " + refusal;
        return nullptr;
    }
    // The image cannot hold itself: its data changes while the save copies it.
    if (!info.isDirectory && iso::IdentityOf(info) == ImageIdentity()) {
        lastError_ = "'" + std::string(path) + "' is the image being edited";
        return nullptr;
    }
    DirNode* node = AppendFromDisk(path, info, parent);
    if (node != nullptr && found != nullptr) {
        *found = std::move(info);
    }
    return node;
}

DirNode* CIsoDirEdit::AddFile(const char* path, DirNode* parent)
{
    return AddFromDisk(path, parent, false, nullptr);
}

DirNode* CIsoDirEdit::AddDirectory(const char* path, DirNode* parent)
{
    return AddFromDisk(path, parent, true, nullptr);
}

DirNode* CIsoDirEdit::AddDirectoryTree(const char* path, DirNode* parent)
{
    platform::FileInfo topInfo;
    DirNode* top = AddFromDisk(path, parent, true, &topInfo);
    if (top == nullptr) {
        return nullptr;
    }
    struct Sink final : iso::DiskTreeSink {
        Sink(CIsoDirEdit& tree, std::optional<iso::DiskIdentity> image) : tree_(tree), image_(image) {}
        bool Excludes(const std::string&, const platform::FileInfo& info, std::string& why) override
        {
            if (iso::IdentityOf(info) != image_) {
                return false;
            }
            why = "the image being edited";
            return true;
        }
        void* AddFile(const std::string& entry, const platform::FileInfo& info, void* parentNode,
                      std::string&) override
        {
            return tree_.AppendFromDisk(entry, info, static_cast<DirNode*>(parentNode));
        }
        void* AddFolder(const std::string& entry, const platform::FileInfo& info, void* parentNode,
                        std::string&) override
        {
            return tree_.AppendFromDisk(entry, info, static_cast<DirNode*>(parentNode));
        }
        CIsoDirEdit& tree_;
        std::optional<iso::DiskIdentity> image_;
    } sink(*this, ImageIdentity());
    iso::AddFolderContents(path, topInfo, top, AddRules(), sink, notices_);
    return top;
}

DirNode* CIsoDirEdit::NewDirectory(const char* name, DirNode* parent)
{
    lastError_.clear();
    if (std::string refusal = NameRefusal(name, "a folder needs a name"); !refusal.empty()) {
        lastError_ = std::move(refusal);
        return nullptr;
    }
    if (!CheckParent(parent)) {
        return nullptr;
    }
    DirEntry entry;
    entry.isDirectory = true;
    entry.EntrySource = EntrySourceKind::None;
    entry.name = name;
    entry.nameLength = static_cast<std::uint32_t>(entry.name.size());
    entry.date = platform::CurrentFileTime();
    entry.posix = NewFolderAttributes(entry.date);
    return Append(parent, std::move(entry));
}

bool CIsoDirEdit::Rename(const char* name, DirNode* node)
{
    lastError_.clear();
    if (node == nullptr) {
        lastError_ = "nothing to rename";
        return false;
    }
    if (std::string refusal = NameRefusal(name, "an entry needs a name"); !refusal.empty()) {
        lastError_ = std::move(refusal);
        return false;
    }
    node->entry.name = name;
    node->entry.givenName.clear();
    node->entry.renamed = true;
    // Entries read from the image keep 0: the length is only recorded for
    // entries the user added.
    if (node->entry.nameLength != 0) {
        node->entry.nameLength = static_cast<std::uint32_t>(node->entry.name.size());
    }
    return true;
}

bool CIsoDirEdit::AddBootFile(const char* path, DirNode* parent)
{
    DirNode* node = AddFile(path, parent);
    if (node != nullptr) {
        node->entry.bootMark = true;
    }
    // The boot image is loaded whether or not it could be listed as a file.
    return true;
}

} // namespace

iso::UnixAttributes UnixAttributesOf(const platform::FileInfo& info)
{
    iso::UnixAttributes posix;
    if (!info.posixKnown) {
        return posix;
    }
    posix.known = true;
    posix.mode = info.mode;
    posix.links = info.links;
    posix.uid = info.uid;
    posix.gid = info.gid;
    posix.modified = info.modificationTime;
    posix.accessed = info.accessTime;
    posix.changed = info.changeTime;
    posix.linkTarget = info.isSymlink ? info.linkTarget : std::string();
    return posix;
}

platform::FileTime RecordDateOf(const platform::FileInfo& info)
{
    return info.modificationTime != 0 ? info.modificationTime : info.creationTime;
}

std::uint32_t SubfolderCount(const DirNode* node)
{
    std::uint32_t count = 0;
    for (const DirNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
        if (child->entry.isDirectory && child->entry.inIsoTree && count < UINT32_MAX - 2) {
            ++count;
        }
    }
    return count;
}

namespace {

bool NamesData(const DirEntry& entry)
{
    return !entry.isDirectory && !entry.IsSymlink() && entry.inIsoTree && entry.size != 0 && entry.extent != 0;
}

} // namespace

DataNames CountDataNames(const DirNode* root)
{
    DataNames names;
    std::vector<const DirNode*> pending{root};
    while (!pending.empty()) {
        const DirNode* node = pending.back();
        pending.pop_back();
        for (const DirNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
            if (child->entry.isDirectory) {
                pending.push_back(child);
            } else if (NamesData(child->entry)) {
                ++names[child->entry.extent];
            }
        }
    }
    return names;
}

std::uint32_t DataNamesOf(const DataNames& names, const DirEntry& entry)
{
    const auto found = NamesData(entry) ? names.find(entry.extent) : names.end();
    return found != names.end() ? found->second : 0;
}

iso::UnixAttributes NewFolderAttributes(platform::FileTime now)
{
    iso::UnixAttributes posix;
    posix.known = true;
    posix.mode = iso::kModeDirectory | 0755;
    posix.links = 2;
    posix.modified = now;
    posix.accessed = now;
    posix.changed = now;
    return posix;
}

bool SameEntryName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDirEdit, tarvelin::IIsoDirEdit, DirEdit1, DirEdit2)
