// Directories (ECMA-119 6.8.1, 9.1): ".", "..", then one record per child
// in the order of the tree (names are not sorted), no record crossing a
// sector boundary, padded to whole sectors. A file stored in several
// extents gets one record per extent, all but the last flagged as
// continuing.
//
// Sizing and rendering are the same code: the layout pass renders every
// directory exactly as the final pass does, with the extents it has at
// hand, and the final pass checks that nothing moved.

#include "writer/directory_writer.h"

#include "writer/writer_tree.h"

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
                access, [&](typename Access::Node node, writer::Children<Access>& children) {
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
    // Places record after what the directory (from start on) already holds.
    bool Append(const iso::DirectoryRecord& record, std::size_t start, std::vector<std::uint8_t>& bytes)
    {
        const std::size_t size = iso::DirectoryRecordSize(record);
        if (size == 0) {
            error_ = "a name cannot be written into a directory record";
            return false;
        }
        const std::size_t at = start + iso::PlaceDirectoryRecord(bytes.size() - start, size);
        bytes.resize(at + size, 0);
        if (iso::EncodeDirectoryRecord(record, iso::Bytes(bytes).subspan(at, size)) != size) {
            error_ = "a directory record cannot be encoded";
            return false;
        }
        return true;
    }

    template <class Access>
    bool WriteDirectory(const Access& access, typename Access::Node node, TreeKind kind,
                        writer::Children<Access>& children, std::vector<std::uint8_t>& bytes)
    {
        typename Access::Record self;
        access.Get(node, self);
        const std::uint32_t selfExtent = nextSector_;
        const std::uint32_t storedSize = Access::DirSize(self, kind);
        iso::DirectoryRecord selfRecord = iso::MakeSelfRecord(selfExtent, storedSize);
        iso::DirectoryRecord parentRecord = iso::MakeParentRecord(selfExtent, storedSize);
        // Readers show a directory's date from its "." record (the root's
        // has no other place), so "." and ".." carry the dates of the
        // directory and its parent rather than none.
        selfRecord.date = iso::RecordingDateFromFileTime(Access::Date(self));
        parentRecord.date = selfRecord.date;
        if (const auto parent = access.Parent(node); parent != nullptr) {
            // Written earlier in this pass, so its values are current.
            typename Access::Record parentEntry;
            access.Get(parent, parentEntry);
            parentRecord.extent = Access::DirExtent(parentEntry, kind);
            parentRecord.dataLength = Access::DirSize(parentEntry, kind);
            parentRecord.date = iso::RecordingDateFromFileTime(Access::Date(parentEntry));
        }

        const std::size_t start = bytes.size();
        if (!Append(selfRecord, start, bytes) || !Append(parentRecord, start, bytes)) {
            return false;
        }
        const std::vector<std::string> identifiers = writer::ChildIdentifiers(children, kind);
        iso::DirectoryRecord record;
        for (std::size_t i = 0; i < children.count; ++i) {
            auto& child = children.records[i];
            record.identifier = identifiers[i];
            record.date = iso::RecordingDateFromFileTime(Access::Date(child));
            if (Access::IsDirectory(child)) {
                record.extent = Access::DirExtent(child, kind);
                record.dataLength = Access::DirSize(child, kind);
                record.flags = iso::DirectoryFlags::kDirectory;
                if (!Append(record, start, bytes)) {
                    return false;
                }
                continue;
            }
            const std::vector<writer::FilePiece> pieces = Access::FilePieces(child);
            if (pieces.empty()) {
                error_ = "'" + Access::Name(child) + "' is too large to be recorded in a directory";
                return false;
            }
            for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
                record.extent = pieces[piece].extent;
                record.dataLength = pieces[piece].length;
                record.flags = piece + 1 < pieces.size() ? iso::DirectoryFlags::kMultiExtent : 0;
                if (!Append(record, start, bytes)) {
                    return false;
                }
            }
        }

        const std::size_t used = bytes.size() - start;
        const std::size_t sectors = used / iso::kSectorSize + (used % iso::kSectorSize != 0 ? 1 : 0);
        if (sectors * iso::kSectorSize > UINT32_MAX || sectors > UINT32_MAX - nextSector_) {
            error_ = "a directory is too large";
            return false;
        }
        bytes.resize(start + sectors * iso::kSectorSize, 0);
        const auto size = static_cast<std::uint32_t>(sectors * iso::kSectorSize);
        settled_ = settled_ && Access::DirExtent(self, kind) == selfExtent && storedSize == size;
        Access::DirExtent(self, kind) = selfExtent;
        Access::DirSize(self, kind) = size;
        access.Set(node, self);
        nextSector_ += static_cast<std::uint32_t>(sectors);
        return true;
    }

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
