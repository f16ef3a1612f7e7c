// Directories (ECMA-119 6.8.1, 9.1): ".", "..", then one record per child
// in the order of their identifiers (9.3), no record crossing a sector
// boundary, padded to whole sectors. A file stored in several extents gets
// one record per extent, all but the last flagged as continuing.
//
// An entry read from the image is written back as it was (identifier,
// flags, dates, system use); only extents and lengths are the writer's. New
// entries get fresh records, with Rock Ridge entries when the tree's rules
// ask for them. System use entries that do not fit a record go on in
// continuation areas, laid into the sectors right behind their directory.
//
// Measuring and rendering are the same code: the measure pass lays every
// directory out exactly as the render pass does (without encoding it) and
// stores each one's place in the plan; the render pass takes the places
// from the plan and checks that nothing moved.

#include "writer/directory_writer.h"

#include "writer/metadata_layout.h"

#include "iso/rock_ridge.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvelin {

namespace writer {

// A record of the directory being written, with its system use entries
// (which may go on in continuation areas behind the directory).
struct PendingDirectoryRecord {
    iso::DirectoryRecord record;
    std::string skipped;
    iso::SystemUseArea systemUse;
    std::size_t offset = 0; // within the directory
};


namespace {

// The fields a kept record brings back; extent, length and the
// directory and multi-extent bits are the writer's.
void Restore(const KeptRecord& kept, iso::DirectoryRecord& record, PendingDirectoryRecord& pending)
{
    constexpr std::uint8_t kDerived = iso::DirectoryFlags::kDirectory | iso::DirectoryFlags::kMultiExtent;
    record.flags = static_cast<std::uint8_t>((kept.flags & ~kDerived) | (record.flags & kDerived));
    record.extendedAttributeLength = kept.extendedAttributeLength;
    record.fileUnitSize = kept.fileUnitSize;
    record.interleaveGap = kept.interleaveGap;
    record.volumeSequenceNumber = kept.volumeSequenceNumber;
    pending.skipped = kept.skipped;
    pending.systemUse = kept.systemUse;
}

// Bytes of system use a record with this identifier can hold inline,
// kept so that the record's length stays even.
std::size_t InlineRoom(std::size_t identifierLength)
{
    const std::size_t fixed = iso::DirectoryRecordSize(identifierLength);
    if (fixed == 0) {
        return 0;
    }
    const std::size_t room = iso::kMaxDirectoryRecordSize - fixed;
    return (fixed + room) % 2 == 0 ? room : room - 1;
}

const void* Identity(const DirNode* node) { return node; }

// POSIX facts for Rock Ridge: the entry's own, else the usual modes.
iso::UnixAttributes PosixFor(const DirEntry& entry)
{
    iso::UnixAttributes posix = entry.posix;
    if (!posix.known) {
        posix.known = true;
        posix.mode = entry.isDirectory ? (iso::kModeDirectory | 0555) : (iso::kModeRegular | 0444);
        posix.links = entry.isDirectory ? 2 : 1;
        posix.modified = entry.date;
        posix.accessed = entry.date;
        posix.changed = entry.date;
    }
    return posix;
}

} // namespace

std::vector<std::string> UniqueRockNames(const Children& children)
{
    std::vector<std::string> names(children.Count());
    std::set<std::string> taken;
    std::vector<std::size_t> fresh;
    for (std::size_t i = 0; i < children.Count(); ++i) {
        const DirEntry& entry = children.Entry(i);
        const KeptTreeRecords* kept = entry.renamed ? nullptr : KeptIn(entry, TreeKind::Iso);
        std::optional<std::string> name;
        if (kept != nullptr) {
            name = iso::DecodeRockRidge(kept->record.systemUse).name;
        }
        if (name && !name->empty()) {
            taken.insert(*name);
            names[i] = std::move(*name);
        } else {
            fresh.push_back(i);
        }
    }
    for (const std::size_t i : fresh) {
        names[i] = TakeSiblingName(children.Entry(i).NameToWrite(), taken);
    }
    return names;
}

// The Rock Ridge link count of a folder as it stands: for a record the
// image kept, also the count it was read with, which its PX entries hold
// where the image counts links. Nothing for a file.
std::optional<PosixLinks> FolderLinksOf(const DirNode* node)
{
    if (node == nullptr || !node->entry.isDirectory) {
        return std::nullopt;
    }
    PosixLinks links;
    links.now = 2 + SubfolderCount(node);
    if (const KeptRecords* kept = node->entry.kept.get(); kept != nullptr) {
        links.asRead = 2 + kept->subfoldersAsRead;
    }
    return links;
}

// The link count of a file: the files that name its data now. A kept record
// changes only when names of its data went or came since it was read, and
// only where it counted links (more than one): files that merely share
// data (a count of 1) keep theirs. A new file without data names only
// itself; a kept one keeps what it says.
std::optional<PosixLinks> FileLinksOf(const DirNode* node, const DataNames& names)
{
    if (node == nullptr || node->entry.isDirectory || node->entry.IsSymlink()) {
        return std::nullopt;
    }
    const DirEntry& entry = node->entry;
    const KeptRecords* kept = entry.kept.get();
    PosixLinks links;
    links.now = DataNamesOf(names, entry);
    if (kept == nullptr) {
        links.now = std::max(links.now, 1u);
    } else if (links.now == 0) {
        return std::nullopt;
    } else {
        const bool counted = entry.posix.known && entry.posix.links > 1;
        links.asRead = kept->namesAsRead != links.now && counted ? entry.posix.links : links.now;
    }
    return links;
}

// The serial number of a new record: its entry's own, shared by its "." and
// ".." records, except that the names of one file's data share one, which
// readers that join hard links go by.
std::uint32_t DirectoryLayout::SerialFor(const void* identity, const DirEntry& entry)
{
    const auto take = [this](auto& serials, auto key) {
        const auto [given, added] = serials.emplace(key, nextSerial_);
        if (added) {
            ++nextSerial_;
        }
        return given->second;
    };
    if (!entry.isDirectory && DataNamesOf(dataNames_, entry) > 1) {
        return take(dataSerials_, entry.extent);
    }
    return take(serials_, identity);
}

const std::optional<PosixLinks>& DirectoryLayout::LinksOf(const DirNode* node)
{
    const auto [place, added] = folderLinks_.try_emplace(node);
    if (added) {
        place->second = FolderLinksOf(node);
    }
    return place->second;
}

DirectoryLayout::DirectoryLayout() = default;
DirectoryLayout::~DirectoryLayout() = default;

bool DirectoryLayout::Build(std::uint32_t mode, const TreeAccess& access, std::uint32_t startSector, LayoutPlan& plan,
                            bool render)
{
    sectors_.clear();
    sectorCount_ = 0;
    error_.clear();
    settled_ = true;
    render_ = render;
    nextSerial_ = access.Valid() ? access.Rules().firstSerial : 1;
    serials_.clear();
    folderLinks_.clear();
    dataNames_ = access.Valid() ? CountDataNames(access.Root()) : DataNames{};
    dataSerials_.clear();
    const auto namedTwice = [](const auto& data) { return data.second > 1; };
    if (std::any_of(dataNames_.begin(), dataNames_.end(), namedTwice)) {
        ForEachFileInDataOrder(access, [&](DirNode*, const DirEntry& entry) {
            if (entry.posix.serial && DataNamesOf(dataNames_, entry) > 1) {
                dataSerials_.emplace(entry.extent, *entry.posix.serial);
            }
            return true;
        });
    }
    nextSector_ = startSector;
    isoRoot_ = {startSector, 0};
    jolietRoot_ = {startSector, 0};
    if (!access.Valid()) {
        error_ = "no tree to write";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    const auto writeTree = [&](TreeKind kind) {
        return ForEachDirectoryPreOrder(access, kind, [&](DirNode* node, const Children& children) {
            return WriteDirectory(access, node, kind, children, plan, bytes);
        });
    };
    bool ok = writeTree(TreeKind::Iso);
    jolietRoot_.extent = nextSector_;
    if (ok && mode == kJolietMode) {
        ok = writeTree(TreeKind::Joliet);
    }
    if (ok && (std::uint64_t{nextSector_} - startSector) * iso::kSectorSize > UINT32_MAX) {
        error_ = "the directories are too large";
        ok = false;
    }
    if (!ok) {
        settled_ = false;
        return false;
    }
    sectors_ = std::move(bytes);
    sectorCount_ = nextSector_ - startSector;
    isoRoot_.size = plan.Find(access.Root(), TreeKind::Iso).size;
    jolietRoot_.size = mode == kJolietMode ? plan.Find(access.Root(), TreeKind::Joliet).size : 0;
    return true;
}

// The record of a child (or of "." and ".."): kept fields for an entry
// the tree kept in this kind, else fresh ones, with Rock Ridge entries
// when the rules ask for them.
void DirectoryLayout::Describe(const void* identity, const DirEntry& entry, const KeptRecord* kept, bool renamed,
                               TreeKind kind, const NameRules& rules, std::string_view rockName, bool volumeRoot,
                               const std::optional<PosixLinks>& links, PendingDirectoryRecord& pending)
{
    iso::DirectoryRecord& record = pending.record;
    const KeptRecords* keptAll = entry.kept.get();
    const bool dateKept = kept != nullptr && keptAll != nullptr && entry.date == keptAll->dateAsRead;
    record.date = dateKept ? kept->date : iso::RecordingDateFromFileTime(entry.date);
    const std::size_t room = InlineRoom(record.identifier.size());
    if (kept != nullptr) {
        Restore(*kept, record, pending);
        if (renamed && kind == TreeKind::Iso && rules.rockRidge) {
            pending.systemUse = iso::RenameSystemUse(pending.systemUse, rockName, room);
        }
        if (keptAll->relocatedDirectory) {
            pending.systemUse = iso::WithoutRelocation(pending.systemUse, room);
        }
        // A folder that gained or lost folders, a file that gained or lost
        // names of its data: its PX entries that hold the count it was read
        // with take the new one, nothing else moves.
        if (links && links->asRead && *links->asRead != links->now) {
            iso::ReplacePosixLinks(pending.systemUse, *links->asRead, links->now);
        }
        return;
    }
    pending.skipped.clear();
    pending.systemUse = {};
    if (kind != TreeKind::Iso || !rules.rockRidge) {
        return;
    }
    std::vector<std::string> entries;
    if (volumeRoot) {
        entries = iso::EncodeRockRidgeVolumeEntries();
    }
    iso::UnixAttributes posix = PosixFor(entry);
    // The count as it stands, unless it was read from an image that does
    // not count links (its count was not the one read then).
    const bool imageCounts = !entry.posix.known || !links || !links->asRead || entry.posix.links == *links->asRead;
    if (links && imageCounts) {
        posix.links = links->now;
    }
    if (!posix.serial) {
        posix.serial = SerialFor(identity, entry);
    }
    for (std::string& rock : iso::EncodeRockRidgeEntries(posix, rockName)) {
        entries.push_back(std::move(rock));
    }
    if (volumeRoot && entries.size() >= 2) {
        // SP opens the root's "." record; ER comes last.
        std::rotate(entries.begin() + 1, entries.begin() + 2, entries.end());
    }
    pending.systemUse = iso::PackSystemUse(entries, room);
}


// Lays the records of one directory out, then their continuation areas
// in the sectors behind it, and renders both (when rendering).
bool DirectoryLayout::Render(std::vector<PendingDirectoryRecord>& records, std::uint32_t selfExtent,
                             std::vector<std::uint8_t>& bytes, std::uint32_t& directorySectors,
                             std::uint32_t& continuationSectors)
{
    std::size_t used = 0;
    for (PendingDirectoryRecord& pending : records) {
        const std::size_t size =
            iso::DirectoryRecordSize(pending.record.identifier.size(),
                                     pending.skipped.size() + pending.systemUse.inlineBytes.size());
        if (size == 0) {
            error_ = "a name cannot be written into a directory record";
            return false;
        }
        pending.offset = iso::PlaceDirectoryRecord(used, size);
        used = pending.offset + size;
    }
    const std::size_t sectors = iso::SectorsFor(static_cast<std::uint32_t>(std::min<std::size_t>(used, UINT32_MAX)));
    std::vector<std::uint8_t> continuation;
    std::size_t inSector = 0;
    for (PendingDirectoryRecord& pending : records) {
        // Placing an area rewrites the CE entry that ends the area before
        // it, so a record's areas are copied once all of them are placed.
        std::vector<std::size_t> placedAt;
        for (std::size_t index = 0; index < pending.systemUse.continuation.size(); ++index) {
            const std::size_t areaSize = pending.systemUse.continuation[index].size();
            if (inSector == 0 || inSector + areaSize > iso::kSectorSize) {
                continuation.resize(continuation.size() + iso::kSectorSize, 0);
                inSector = 0;
            }
            const std::size_t block = selfExtent + sectors + continuation.size() / iso::kSectorSize - 1;
            if (block > UINT32_MAX || !iso::PlaceContinuation(pending.systemUse, index,
                                                              static_cast<std::uint32_t>(block - shift_),
                                                              static_cast<std::uint32_t>(inSector))) {
                error_ = "a record's system use continuation cannot be placed";
                return false;
            }
            placedAt.push_back(continuation.size() - iso::kSectorSize + inSector);
            inSector += areaSize;
        }
        for (std::size_t index = 0; index < placedAt.size(); ++index) {
            const std::string& area = pending.systemUse.continuation[index];
            std::copy(area.begin(), area.end(), continuation.begin() + static_cast<std::ptrdiff_t>(placedAt[index]));
        }
    }
    directorySectors = static_cast<std::uint32_t>(sectors);
    continuationSectors = static_cast<std::uint32_t>(continuation.size() / iso::kSectorSize);
    if (!render_) {
        return true;
    }
    const std::size_t start = bytes.size();
    bytes.resize(start + sectors * iso::kSectorSize, 0);
    for (PendingDirectoryRecord& pending : records) {
        pending.record.systemUse = pending.skipped + pending.systemUse.inlineBytes;
        // Data in front of the shifted start (an empty file's extent 0) has
        // no number there: such records name sector 0.
        pending.record.extent = pending.record.extent >= shift_ ? pending.record.extent - shift_ : 0;
        const std::size_t size = iso::DirectoryRecordSize(pending.record);
        if (iso::EncodeDirectoryRecord(pending.record, iso::Bytes(bytes).subspan(start + pending.offset, size))
            != size) {
            error_ = "a directory record cannot be encoded";
            return false;
        }
    }
    bytes.insert(bytes.end(), continuation.begin(), continuation.end());
    return true;
}


// Lays one directory out behind the last one: its place goes into the
// plan; its records carry the places the plan holds for its parent and
// subdirectories (final when the plan was measured before).
bool DirectoryLayout::WriteDirectory(const TreeAccess& access, DirNode* node, TreeKind kind, const Children& children,
                                     LayoutPlan& plan, std::vector<std::uint8_t>& bytes)
{
    const NameRules& rules = access.Rules();
    const DirEntry& self = node->entry;
    const std::uint32_t selfExtent = nextSector_;
    const DirectoryPlace stored = plan.Find(node, kind);
    const std::uint32_t storedSize = stored.size;
    DirNode* const parent = TreeAccess::Parent(node);
    const KeptTreeRecords* selfKept = KeptIn(self, kind);

    records_.resize(2);
    records_[0] = PendingDirectoryRecord{};
    records_[0].record = iso::MakeSelfRecord(selfExtent, storedSize);
    const std::optional<PosixLinks>& selfLinks = LinksOf(node);
    Describe(Identity(node), self, selfKept != nullptr && selfKept->self ? &*selfKept->self : nullptr, false, kind,
             rules, {}, parent == nullptr, selfLinks, records_[0]);
    records_[1] = PendingDirectoryRecord{};
    records_[1].record = iso::MakeParentRecord(selfExtent, storedSize);
    const DirEntry& parentEntry = parent != nullptr ? parent->entry : self;
    const void* parentIdentity = Identity(parent != nullptr ? parent : node);
    if (parent != nullptr) {
        // Written earlier in this pass, so its values are current.
        const DirectoryPlace parentPlace = plan.Find(parent, kind);
        records_[1].record.extent = parentPlace.extent;
        records_[1].record.dataLength = parentPlace.size;
    }
    // Readers show a directory's date from its "." record (the root's
    // has no other place), so "." and ".." carry the dates of the
    // directory and its parent rather than none. A kept ".." record
    // keeps its own date; a new one takes the parent's.
    const KeptRecord* parentKept = selfKept != nullptr && selfKept->parent ? &*selfKept->parent : nullptr;
    const std::optional<PosixLinks>& parentLinks = parent != nullptr ? LinksOf(parent) : selfLinks;
    if (parentKept != nullptr) {
        Describe(parentIdentity, self, parentKept, false, kind, rules, {}, false, parentLinks, records_[1]);
    } else {
        Describe(parentIdentity, parentEntry, nullptr, false, kind, rules, {}, false, parentLinks, records_[1]);
    }

    const std::vector<std::string> rockNames =
        kind == TreeKind::Iso && rules.rockRidge ? UniqueRockNames(children) : std::vector<std::string>{};
    for (ListedChild& listed : ListChildren(access, children, kind)) {
        DirEntry& child = children.Entry(listed.index);
        const std::string_view rockName =
            rockNames.empty() ? std::string_view(child.NameToWrite()) : rockNames[listed.index];
        const DirNode* childNode = children.nodes[listed.index];
        const KeptTreeRecords* kept = KeptIn(child, kind);
        PendingDirectoryRecord pending;
        pending.record.identifier = std::move(listed.identifier);
        if (child.isDirectory) {
            const DirectoryPlace childPlace = plan.Find(childNode, kind);
            pending.record.extent = childPlace.extent;
            pending.record.dataLength = childPlace.size;
            pending.record.flags = iso::DirectoryFlags::kDirectory;
            Describe(Identity(childNode), child, kept != nullptr ? &kept->record : nullptr, child.renamed, kind,
                     rules, rockName, false, LinksOf(childNode), pending);
            records_.push_back(std::move(pending));
            continue;
        }
        const std::vector<FilePiece> pieces = TreeAccess::FilePieces(child);
        if (pieces.empty()) {
            error_ = "'" + child.name + "' is too large to be recorded in a directory";
            return false;
        }
        Describe(Identity(childNode), child, kept != nullptr ? &kept->record : nullptr, child.renamed, kind, rules,
                 rockName, false, FileLinksOf(childNode, dataNames_), pending);
        // Every record of the file carries its system use entries, as the
        // peer tools write and read them: a reader that takes the Rock
        // Ridge name and mode from the last piece would otherwise lose them.
        for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
            PendingDirectoryRecord record = piece + 1 < pieces.size() ? pending : std::move(pending);
            record.record.extent = pieces[piece].extent;
            record.record.dataLength = pieces[piece].length;
            record.record.flags = static_cast<std::uint8_t>(
                (record.record.flags & ~iso::DirectoryFlags::kMultiExtent)
                | (piece + 1 < pieces.size() ? iso::DirectoryFlags::kMultiExtent : 0));
            records_.push_back(std::move(record));
        }
    }

    std::uint32_t sectors = 0;
    std::uint32_t continuationSectors = 0;
    if (!Render(records_, selfExtent, bytes, sectors, continuationSectors)) {
        return false;
    }
    if (std::uint64_t{sectors} * iso::kSectorSize > UINT32_MAX
        || std::uint64_t{sectors} + continuationSectors > UINT32_MAX - nextSector_) {
        error_ = "a directory is too large";
        return false;
    }
    const auto size = static_cast<std::uint32_t>(std::uint64_t{sectors} * iso::kSectorSize);
    settled_ = settled_ && stored.extent == selfExtent && storedSize == size;
    plan.Set(node, kind, {selfExtent, size});
    nextSector_ += sectors + continuationSectors;
    return true;
}


} // namespace writer

namespace {

// The two components differ only in the tree they are handed.
template <class Interface, class Tree>
class DirectoryComponent final : public Interface {
public:
    bool Reserved() override { return true; }
    void Build(std::uint32_t mode, Tree* tree, std::uint32_t startSector) override
    {
        // Callers of the component find each directory's place in its
        // entry, and a second Build reads the places the first stored.
        const writer::TreeAccess access(tree);
        writer::LayoutPlan plan;
        if (access.Valid()) {
            plan.ReadFrom(access);
        }
        if (directories_.Build(mode, access, startSector, plan, true)) {
            plan.WriteTo(access);
        }
    }
    bool CopyTo(CByteBuffer& out) override { return directories_.CopyTo(out); }
    std::int32_t GetSectorCount() override { return static_cast<std::int32_t>(directories_.SectorCount()); }
    std::uint32_t GetIsoRootSize() override { return directories_.IsoRoot().size; }
    std::uint32_t GetJolietRootSize() override { return directories_.JolietRoot().size; }
    std::uint32_t GetIsoRootExtent() override { return directories_.IsoRoot().extent; }
    std::uint32_t GetJolietRootExtent() override { return directories_.JolietRoot().extent; }
    bool IsLayoutSettled() override { return directories_.Settled(); }
    const char* GetLastError() override { return directories_.Error().c_str(); }

private:
    writer::DirectoryLayout directories_;
};

} // namespace

using CBuildDirSecs = DirectoryComponent<IBuildDirSecs, IMacroList>;
using CIsoDir = DirectoryComponent<IIsoDir, IIsoDirEdit>;

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildDirSecs, tarvelin::IBuildDirSecs, NEW_DIRSECSNEW, NEW_00_DIRSECSNEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDir, tarvelin::IIsoDir, Dir1, Dir2)
