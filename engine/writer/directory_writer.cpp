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
// Sizing and rendering are the same code: the layout pass renders every
// directory exactly as the final pass does, with the extents it has at
// hand, and the final pass checks that nothing moved.

#include "writer/directory_writer.h"

#include "writer/writer_tree.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace tarvelin {

namespace {

using writer::TreeKind;

// The state and algorithm both components share.
class Directories {
public:
    template <class Access>
    void Build(std::uint32_t mode, const Access& access, std::uint32_t startSector)
    {
        sectors_.clear();
        error_.clear();
        settled_ = true;
        nextSerial_ = access.Valid() ? access.Rules().firstSerial : 1;
        serials_.clear();
        nextSector_ = startSector;
        isoRootExtent_ = startSector;
        jolietRootExtent_ = startSector;
        isoRootSize_ = 0;
        jolietRootSize_ = 0;
        if (!access.Valid()) {
            error_ = "no tree to write";
            return;
        }
        std::vector<std::uint8_t> bytes;
        const auto writeTree = [&](TreeKind kind) {
            return writer::ForEachDirectoryPreOrder(
                access, kind, [&](typename Access::Node node, writer::Children<Access>& children) {
                    return WriteDirectory(access, node, kind, children, bytes);
                });
        };
        bool ok = writeTree(TreeKind::Iso);
        jolietRootExtent_ = nextSector_;
        if (ok && mode == writer::kJolietMode) {
            ok = writeTree(TreeKind::Joliet);
        }
        if (ok && bytes.size() > UINT32_MAX) {
            error_ = "the directories are too large";
            ok = false;
        }
        if (!ok) {
            sectors_.clear();
            settled_ = false;
            return;
        }
        sectors_ = std::move(bytes);
        typename Access::Record root;
        access.Get(access.Root(), root);
        isoRootSize_ = Access::DirSize(root, TreeKind::Iso);
        jolietRootSize_ = mode == writer::kJolietMode ? Access::DirSize(root, TreeKind::Joliet) : 0;
    }

    bool CopyTo(CByteBuffer& out)
    {
        return !sectors_.empty() && out.Append(sectors_.data(), static_cast<std::uint32_t>(sectors_.size()));
    }
    std::int32_t GetSectorCount() const
    {
        return static_cast<std::int32_t>(sectors_.size() / iso::kSectorSize);
    }
    std::uint32_t GetIsoRootSize() const { return isoRootSize_; }
    std::uint32_t GetJolietRootSize() const { return jolietRootSize_; }
    std::uint32_t GetIsoRootExtent() const { return isoRootExtent_; }
    std::uint32_t GetJolietRootExtent() const { return jolietRootExtent_; }
    bool IsLayoutSettled() const { return settled_; }
    const char* GetLastError() const { return error_.c_str(); }

private:
    // A record of the directory being written, with its system use entries
    // (which may go on in continuation areas behind the directory).
    struct PendingRecord {
        iso::DirectoryRecord record;
        std::string skipped;
        iso::SystemUseArea systemUse;
        std::size_t offset = 0; // within the directory
    };

    // The fields a kept record brings back; extent, length and the
    // directory and multi-extent bits are the writer's.
    static void Restore(const KeptRecord& kept, iso::DirectoryRecord& record, PendingRecord& pending)
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

    // Entries that described a relocation the save undoes.
    static iso::SystemUseArea WithoutRelocation(const iso::SystemUseArea& area, std::size_t inlineRoom)
    {
        std::vector<std::string> entries;
        for (std::string& entry : iso::SystemUseEntries(area)) {
            const std::string_view signature = std::string_view(entry).substr(0, 2);
            if (signature != "CL" && signature != "PL" && signature != "RE") {
                entries.push_back(std::move(entry));
            }
        }
        return iso::PackSystemUse(entries, inlineRoom);
    }

    // Bytes of system use a record with this identifier can hold inline,
    // kept so that the record's length stays even.
    static std::size_t InlineRoom(std::size_t identifierLength)
    {
        const std::size_t fixed = iso::DirectoryRecordSize(identifierLength);
        if (fixed == 0) {
            return 0;
        }
        const std::size_t room = iso::kMaxDirectoryRecordSize - fixed;
        return (fixed + room) % 2 == 0 ? room : room - 1;
    }

    // The record of a child (or of "." and ".."): kept fields for an entry
    // the tree kept in this kind, else fresh ones, with Rock Ridge entries
    // when the rules ask for them.
    template <class Access>
    void Describe(const void* identity, const typename Access::Record& entry, const KeptRecord* kept, bool renamed,
                  TreeKind kind, const NameRules& rules, std::string_view rockName, bool volumeRoot,
                  PendingRecord& pending)
    {
        iso::DirectoryRecord& record = pending.record;
        const KeptRecords* keptAll = Access::Kept(entry);
        const bool dateKept = kept != nullptr && keptAll != nullptr && Access::Date(entry) == keptAll->dateAsRead;
        record.date = dateKept ? kept->date : iso::RecordingDateFromFileTime(Access::Date(entry));
        const std::size_t room = InlineRoom(record.identifier.size());
        if (kept != nullptr) {
            Restore(*kept, record, pending);
            if (renamed && kind == TreeKind::Iso && rules.rockRidge) {
                pending.systemUse = iso::RenameSystemUse(pending.systemUse, rockName, room);
            }
            if (keptAll->relocatedDirectory) {
                pending.systemUse = WithoutRelocation(pending.systemUse, room);
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
        iso::UnixAttributes posix = PosixFor<Access>(entry);
        if (!posix.serial) {
            const auto [given, added] = serials_.emplace(identity, nextSerial_);
            if (added) {
                ++nextSerial_;
            }
            posix.serial = given->second;
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

    template <class Node>
    static const void* Identity(Node node)
    {
        return static_cast<const void*>(&*node);
    }

    // POSIX facts for Rock Ridge: the entry's own, else the usual modes.
    template <class Access>
    static iso::UnixAttributes PosixFor(const typename Access::Record& entry)
    {
        iso::UnixAttributes posix = Access::Posix(entry);
        if (!posix.known) {
            posix.known = true;
            posix.mode = Access::IsDirectory(entry) ? (iso::kModeDirectory | 0555) : (iso::kModeRegular | 0444);
            posix.links = Access::IsDirectory(entry) ? 2 : 1;
            posix.modified = Access::Date(entry);
            posix.accessed = Access::Date(entry);
            posix.changed = Access::Date(entry);
        }
        return posix;
    }

    // Lays the records of one directory out, then their continuation areas
    // in the sectors behind it, and renders both.
    bool Render(std::vector<PendingRecord>& records, std::uint32_t selfExtent, std::vector<std::uint8_t>& bytes,
                std::uint32_t& directorySectors, std::uint32_t& continuationSectors)
    {
        std::size_t used = 0;
        for (PendingRecord& pending : records) {
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
        for (PendingRecord& pending : records) {
            for (std::size_t index = 0; index < pending.systemUse.continuation.size(); ++index) {
                const std::string& area = pending.systemUse.continuation[index];
                if (inSector == 0 || inSector + area.size() > iso::kSectorSize) {
                    continuation.resize(continuation.size() + iso::kSectorSize, 0);
                    inSector = 0;
                }
                const std::size_t block = selfExtent + sectors + continuation.size() / iso::kSectorSize - 1;
                if (block > UINT32_MAX || !iso::PlaceContinuation(pending.systemUse, index,
                                                                  static_cast<std::uint32_t>(block),
                                                                  static_cast<std::uint32_t>(inSector))) {
                    error_ = "a record's system use continuation cannot be placed";
                    return false;
                }
                std::copy(area.begin(), area.end(),
                          continuation.end() - static_cast<std::ptrdiff_t>(iso::kSectorSize - inSector));
                inSector += area.size();
            }
        }
        const std::size_t start = bytes.size();
        bytes.resize(start + sectors * iso::kSectorSize, 0);
        for (PendingRecord& pending : records) {
            pending.record.systemUse = pending.skipped + pending.systemUse.inlineBytes;
            const std::size_t size = iso::DirectoryRecordSize(pending.record);
            if (iso::EncodeDirectoryRecord(pending.record, iso::Bytes(bytes).subspan(start + pending.offset, size))
                != size) {
                error_ = "a directory record cannot be encoded";
                return false;
            }
        }
        bytes.insert(bytes.end(), continuation.begin(), continuation.end());
        directorySectors = static_cast<std::uint32_t>(sectors);
        continuationSectors = static_cast<std::uint32_t>(continuation.size() / iso::kSectorSize);
        return true;
    }

    template <class Access>
    bool WriteDirectory(const Access& access, typename Access::Node node, TreeKind kind,
                        writer::Children<Access>& children, std::vector<std::uint8_t>& bytes)
    {
        const NameRules rules = access.Rules();
        typename Access::Record self;
        access.Get(node, self);
        const std::uint32_t selfExtent = nextSector_;
        const std::uint32_t storedSize = Access::DirSize(self, kind);
        const bool isRoot = access.Parent(node) == nullptr;
        const KeptTreeRecords* selfKept = writer::KeptIn<Access>(self, kind);

        records_.resize(2);
        records_[0] = PendingRecord{};
        records_[0].record = iso::MakeSelfRecord(selfExtent, storedSize);
        Describe<Access>(Identity(node), self, selfKept != nullptr && selfKept->self ? &*selfKept->self : nullptr,
                         false, kind, rules, {}, isRoot, records_[0]);
        records_[1] = PendingRecord{};
        records_[1].record = iso::MakeParentRecord(selfExtent, storedSize);
        typename Access::Record parentEntry = self;
        const void* parentIdentity = Identity(node);
        if (const auto parent = access.Parent(node); parent != nullptr) {
            parentIdentity = Identity(parent);
            // Written earlier in this pass, so its values are current.
            access.Get(parent, parentEntry);
            records_[1].record.extent = Access::DirExtent(parentEntry, kind);
            records_[1].record.dataLength = Access::DirSize(parentEntry, kind);
        }
        // Readers show a directory's date from its "." record (the root's
        // has no other place), so "." and ".." carry the dates of the
        // directory and its parent rather than none. A kept ".." record
        // keeps its own date; a new one takes the parent's.
        const KeptRecord* parentKept = selfKept != nullptr && selfKept->parent ? &*selfKept->parent : nullptr;
        if (parentKept != nullptr) {
            Describe<Access>(parentIdentity, self, parentKept, false, kind, rules, {}, false, records_[1]);
        } else {
            Describe<Access>(parentIdentity, parentEntry, nullptr, false, kind, rules, {}, false, records_[1]);
        }

        for (writer::ListedChild& listed : writer::ListChildren(access, children, kind)) {
            auto& child = children.records[listed.index];
            const KeptTreeRecords* kept = writer::KeptIn<Access>(child, kind);
            const bool renamed = Access::Renamed(child);
            PendingRecord pending;
            pending.record.identifier = std::move(listed.identifier);
            if (Access::IsDirectory(child)) {
                pending.record.extent = Access::DirExtent(child, kind);
                pending.record.dataLength = Access::DirSize(child, kind);
                pending.record.flags = iso::DirectoryFlags::kDirectory;
                Describe<Access>(Identity(children.nodes[listed.index]), child,
                                 kept != nullptr ? &kept->record : nullptr, renamed, kind, rules, Access::Name(child),
                                 false, pending);
                records_.push_back(std::move(pending));
                continue;
            }
            const std::vector<writer::FilePiece> pieces = Access::FilePieces(child);
            if (pieces.empty()) {
                error_ = "'" + Access::Name(child) + "' is too large to be recorded in a directory";
                return false;
            }
            Describe<Access>(Identity(children.nodes[listed.index]), child,
                             kept != nullptr ? &kept->record : nullptr, renamed, kind, rules, Access::Name(child), false,
                             pending);
            for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
                PendingRecord record = piece + 1 < pieces.size() ? pending : std::move(pending);
                record.record.extent = pieces[piece].extent;
                record.record.dataLength = pieces[piece].length;
                record.record.flags = static_cast<std::uint8_t>(
                    (record.record.flags & ~iso::DirectoryFlags::kMultiExtent)
                    | (piece + 1 < pieces.size() ? iso::DirectoryFlags::kMultiExtent : 0));
                if (piece > 0) {
                    // The system use entries describe the file once.
                    record.skipped.clear();
                    record.systemUse = {};
                }
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
        settled_ = settled_ && Access::DirExtent(self, kind) == selfExtent && storedSize == size;
        Access::DirExtent(self, kind) = selfExtent;
        Access::DirSize(self, kind) = size;
        access.Set(node, self);
        nextSector_ += sectors + continuationSectors;
        return true;
    }

    std::vector<PendingRecord> records_;
    std::uint32_t nextSerial_ = 1;
    // The serial number given to each new entry, so that its record, its
    // "." record and the ".." records of its folders carry the same one.
    std::map<const void*, std::uint32_t> serials_;
    std::vector<std::uint8_t> sectors_; // rendered sectors, handed out by CopyTo
    std::uint32_t nextSector_ = 0;
    std::uint32_t isoRootExtent_ = 0;
    std::uint32_t jolietRootExtent_ = 0;
    std::uint32_t isoRootSize_ = 0;
    std::uint32_t jolietRootSize_ = 0;
    bool settled_ = false;
    std::string error_;
};

// The two components differ only in the tree they are handed.
template <class Interface, class Tree, class Access>
class DirectoryComponent final : public Interface {
public:
    bool Reserved() override { return true; }
    void Build(std::uint32_t mode, Tree* tree, std::uint32_t startSector) override
    {
        directories_.Build(mode, Access(tree), startSector);
    }
    bool CopyTo(CByteBuffer& out) override { return directories_.CopyTo(out); }
    std::int32_t GetSectorCount() override { return directories_.GetSectorCount(); }
    std::uint32_t GetIsoRootSize() override { return directories_.GetIsoRootSize(); }
    std::uint32_t GetJolietRootSize() override { return directories_.GetJolietRootSize(); }
    std::uint32_t GetIsoRootExtent() override { return directories_.GetIsoRootExtent(); }
    std::uint32_t GetJolietRootExtent() override { return directories_.GetJolietRootExtent(); }
    bool IsLayoutSettled() override { return directories_.IsLayoutSettled(); }
    const char* GetLastError() override { return directories_.GetLastError(); }

private:
    Directories directories_;
};

} // namespace

using CBuildDirSecs = DirectoryComponent<IBuildDirSecs, IMacroList, writer::SourceTreeAccess>;
using CIsoDir = DirectoryComponent<IIsoDir, IIsoDirEdit, writer::EditTreeAccess>;

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildDirSecs, tarvelin::IBuildDirSecs, NEW_DIRSECSNEW, NEW_00_DIRSECSNEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDir, tarvelin::IIsoDir, Dir1, Dir2)
