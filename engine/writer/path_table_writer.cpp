// Path tables (ECMA-119 9.4): one record per directory, numbered from 1 (the
// root). ECMA-119 6.9.1 orders the records by level: the root, then every
// directory of level 2, then level 3, and so on; within a level by the
// number of the parent, and a parent's subdirectories in the order of their
// identifiers (9.3), the order their parent's directory records them in.
// Readers that find directories through the path table rely on that order
// (a parent always comes before its children, and a level's records are
// contiguous), so the directories are numbered breadth first.
//
// Each tree is listed once per Build, as the directory writer lists it
// (identifiers and order from writer::ListChildren); its L and M tables are
// rendered from that one list, so they cannot disagree. The two trees are
// listed apart: an image may leave an entry out of one of them.

#include "writer/path_table_writer.h"

#include "writer/metadata_layout.h"

#include <string>
#include <vector>

namespace tarvelin {

namespace {

using writer::TreeKind;

constexpr std::uint32_t kMaxParentNumber = 0xFFFF; // the parent number is 16 bits

struct PathTableEntry {
    std::uint32_t extent = 0;
    std::uint16_t parentNumber = 1;
    std::string identifier;
};

// Lists the directories one tree holds, numbered breadth first, each
// parent's subdirectories in the order its directory records them. False,
// with error set, when a parent's number does not fit the 16-bit field.
bool ListDirectories(const writer::TreeAccess& access, TreeKind kind, const writer::LayoutPlan& plan,
                     std::uint32_t rootExtent, std::vector<PathTableEntry>& entries, std::string& error)
{
    entries.assign(1, PathTableEntry{rootExtent, 1, std::string(1, static_cast<char>(iso::kSelfIdentifier))});
    std::vector<DirNode*> order{access.Root()};
    writer::Children children;
    for (std::size_t index = 0; index < order.size(); ++index) {
        writer::ReadChildren(order[index], children);
        bool hasSubdirectory = false;
        for (std::size_t i = 0; i < children.Count(); ++i) {
            hasSubdirectory = hasSubdirectory
                || (children.Entry(i).isDirectory && writer::TreeAccess::InTree(children.Entry(i), kind));
        }
        if (!hasSubdirectory) {
            continue;
        }
        const std::uint32_t parentNumber = static_cast<std::uint32_t>(index + 1);
        if (parentNumber > kMaxParentNumber) {
            error = "the image has too many folders holding folders for its path tables (at most 65535)";
            return false;
        }
        for (writer::ListedChild& child : writer::ListChildren(access, children, kind)) {
            DirNode* const node = children.nodes[child.index];
            if (!node->entry.isDirectory) {
                continue;
            }
            order.push_back(node);
            entries.push_back({plan.Find(node, kind).extent, static_cast<std::uint16_t>(parentNumber),
                               std::move(child.identifier)});
        }
    }
    return true;
}

// Appends one table, padded to whole sectors, and gives its unpadded size.
bool RenderTable(const std::vector<PathTableEntry>& entries, iso::PathTableOrder order,
                 std::vector<std::uint8_t>& out, std::uint32_t& tableSize, std::string& error)
{
    const std::size_t start = out.size();
    iso::PathTableRecord record;
    for (const PathTableEntry& entry : entries) {
        record.extent = entry.extent;
        record.parentNumber = entry.parentNumber;
        record.identifier = entry.identifier;
        const std::size_t size = iso::PathTableRecordSize(record.identifier.size());
        const std::size_t at = out.size();
        out.resize(at + size);
        if (size == 0 || iso::EncodePathTableRecord(record, order, iso::Bytes(out).subspan(at, size)) != size) {
            error = "a folder name cannot be written into the path table";
            return false;
        }
    }
    const std::size_t bytes = out.size() - start;
    if (bytes > UINT32_MAX - iso::kSectorSize) {
        error = "the path table is too large";
        return false;
    }
    tableSize = static_cast<std::uint32_t>(bytes);
    out.resize(start + std::size_t{iso::SectorsFor(tableSize)} * iso::kSectorSize, 0);
    return true;
}

} // namespace

namespace writer {

bool PathTableLayout::Build(std::uint32_t mode, const TreeAccess& access, std::uint32_t startSector,
                            const LayoutPlan& plan, std::uint32_t isoRootExtent, std::uint32_t jolietRootExtent)
{
    sectors_.clear();
    isoTableSize_ = 0;
    jolietTableSize_ = 0;
    isoStart_ = startSector;
    jolietStart_ = startSector;
    error_.clear();
    if (!access.Valid()) {
        error_ = "no tree to write";
        return false;
    }
    const bool joliet = mode == kJolietMode;
    std::vector<PathTableEntry> entries;
    std::vector<std::uint8_t> bytes;
    std::uint32_t isoSize = 0;
    std::uint32_t jolietSize = 0;
    const auto shifted = [this](std::vector<PathTableEntry>& list) {
        for (PathTableEntry& entry : list) {
            entry.extent = entry.extent >= shift_ ? entry.extent - shift_ : 0;
        }
        return true;
    };
    bool ok = ListDirectories(access, TreeKind::Iso, plan, isoRootExtent, entries, error_) && shifted(entries)
        && RenderTable(entries, iso::PathTableOrder::LittleEndian, bytes, isoSize, error_)
        && RenderTable(entries, iso::PathTableOrder::BigEndian, bytes, isoSize, error_);
    const std::uint32_t jolietStart = startSector + static_cast<std::uint32_t>(bytes.size() / iso::kSectorSize);
    if (ok && joliet) {
        ok = ListDirectories(access, TreeKind::Joliet, plan, jolietRootExtent, entries, error_) && shifted(entries)
            && RenderTable(entries, iso::PathTableOrder::LittleEndian, bytes, jolietSize, error_)
            && RenderTable(entries, iso::PathTableOrder::BigEndian, bytes, jolietSize, error_);
    }
    if (ok && bytes.size() > UINT32_MAX) {
        error_ = "the path tables are too large";
        ok = false;
    }
    if (!ok) {
        return false;
    }
    sectors_ = std::move(bytes);
    isoTableSize_ = isoSize;
    jolietTableSize_ = jolietSize;
    jolietStart_ = jolietStart;
    return true;
}

} // namespace writer

namespace {

// The two components differ only in the tree they are handed.
template <class Interface, class Tree>
class PathTableComponent final : public Interface {
public:
    bool Reserved() override { return true; }
    void Build(std::uint32_t mode, Tree* tree, std::uint32_t startSector, std::uint32_t isoRootExtent,
               std::uint32_t jolietRootExtent) override
    {
        // Every other directory's extent is the one its entry records.
        const writer::TreeAccess access(tree);
        writer::LayoutPlan plan;
        if (access.Valid()) {
            plan.ReadFrom(access);
        }
        tables_.Build(mode, access, startSector, plan, isoRootExtent, jolietRootExtent);
    }
    bool CopyTo(CByteBuffer& out) override { return tables_.CopyTo(out); }
    std::int32_t GetSectorCount() override { return static_cast<std::int32_t>(tables_.SectorCount()); }
    std::uint32_t GetIsoTableSize() override { return tables_.IsoTableSize(); }
    std::uint32_t GetJolietTableSize() override { return tables_.JolietTableSize(); }
    std::uint32_t GetIsoStart() override { return tables_.IsoStart(); }
    std::uint32_t GetJolietStart() override { return tables_.JolietStart(); }
    const char* GetLastError() override { return tables_.Error().c_str(); }

private:
    writer::PathTableLayout tables_;
};

} // namespace

using CBuildPathTable = PathTableComponent<IBuildPathTable, IMacroList>;
using CIsoPath = PathTableComponent<IIsoPath, IIsoDirEdit>;

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CBuildPathTable, tarvelin::IBuildPathTable, NEW_PATHTABLENEW, NEW_00_PATHTABLENEW)
TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoPath, tarvelin::IIsoPath, Path1, Path2)
