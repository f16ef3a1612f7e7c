#pragma once

// The metadata of an image's ISO 9660 trees, path tables and directories,
// laid out once into a plan that the writers own and rendered from it.
//
// A directory's size depends only on the names and shape of the tree, never
// on extents, so measuring lays every directory out (its place goes into the
// plan) without encoding it; rendering then writes each record with the
// places the plan holds and the file extents the tree holds at that time
// (after the data has been placed), and checks that no directory moved.
// The tree's entries are not touched: a failed save or build leaves no
// layout behind in them.
//
// A new image's build and an in-place save both go through MetadataLayout;
// the exported path table and directory components are shells over the
// same two layouts.
//
// Internal to engine/writer and the editing facade.

#include "core/byte_buffer.h"
#include "platform/time.h"
#include "writer/descriptor_writer.h"
#include "writer/udf_writer.h"
#include "writer/writer_tree.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarvelin::writer {

// Where one directory of one tree lies.
struct DirectoryPlace {
    std::uint32_t extent = 0;
    std::uint32_t size = 0; // bytes, whole sectors, continuation areas not counted

    bool operator==(const DirectoryPlace&) const = default;
};

// The place of every directory in each tree, by node.
class LayoutPlan {
public:
    DirectoryPlace Find(const DirNode* node, TreeKind kind) const; // zeros when none
    void Set(const DirNode* node, TreeKind kind, DirectoryPlace place);
    // The places the tree's entries record (isoDirExtent and the like), and
    // back: the components' callers find the places there.
    void ReadFrom(const TreeAccess& access);
    void WriteTo(const TreeAccess& access) const;

private:
    std::unordered_map<const DirNode*, std::array<DirectoryPlace, 2>> places_;
};

struct PendingDirectoryRecord;

// A record's POSIX link count as it stands, and for a record the image
// kept the count its PX entries hold where the image counted so, which a
// save rewrites to now when the two differ. A folder's is 2 and one for
// each folder below it; a file's is the number of files that name its data
// (its hard links, DataNames).
struct PosixLinks {
    std::uint32_t now = 2;
    std::optional<std::uint32_t> asRead;
};
std::optional<PosixLinks> FolderLinksOf(const DirNode* node);
std::optional<PosixLinks> FileLinksOf(const DirNode* node, const DataNames& names);

// The directories of both trees: every directory of the ISO tree in
// pre-order from the start sector, then (with Joliet) every directory of
// the Joliet tree in the same order.
class DirectoryLayout {
public:
    DirectoryLayout();
    ~DirectoryLayout();
    DirectoryLayout(const DirectoryLayout&) = delete;
    DirectoryLayout& operator=(const DirectoryLayout&) = delete;

    // Lays the directories out from startSector. A directory's records
    // name the places the plan holds for its parent and subdirectories;
    // its own place goes into the plan. Renders the sectors when render is
    // set. False, with Error, when the tree cannot be written.
    bool Build(std::uint32_t mode, const TreeAccess& access, std::uint32_t startSector, LayoutPlan& plan,
               bool render);
    // Sector numbers in the rendered records count from this sector of the
    // image (a partition's copy of the metadata); 0 by default.
    void SetShift(std::uint32_t shift) { shift_ = shift; }

    bool CopyTo(CByteBuffer& out) const
    {
        return !sectors_.empty() && out.Append(sectors_.data(), static_cast<std::uint32_t>(sectors_.size()));
    }
    std::uint32_t SectorCount() const { return sectorCount_; }
    DirectoryPlace IsoRoot() const { return isoRoot_; }
    DirectoryPlace JolietRoot() const { return jolietRoot_; }
    // Whether the plan already held every place this Build laid out.
    bool Settled() const { return settled_; }
    const std::string& Error() const { return error_; }

private:
    bool WriteDirectory(const TreeAccess& access, DirNode* node, TreeKind kind, const Children& children,
                        LayoutPlan& plan, std::vector<std::uint8_t>& bytes);
    void Describe(const void* identity, const DirEntry& entry, const KeptRecord* kept, bool renamed, TreeKind kind,
                  const NameRules& rules, std::string_view rockName, bool volumeRoot,
                  const std::optional<PosixLinks>& links, PendingDirectoryRecord& pending);
    bool Render(std::vector<PendingDirectoryRecord>& records, std::uint32_t selfExtent,
                std::vector<std::uint8_t>& bytes, std::uint32_t& directorySectors,
                std::uint32_t& continuationSectors);

    // FolderLinksOf each folder, counted once per build: the ".." record of
    // every subfolder asks for its parent's.
    const std::optional<PosixLinks>& LinksOf(const DirNode* node);
    std::uint32_t SerialFor(const void* identity, const DirEntry& entry);

    std::vector<PendingDirectoryRecord> records_;
    std::unordered_map<const DirNode*, std::optional<PosixLinks>> folderLinks_;
    DataNames dataNames_; // counted once per build
    std::uint32_t nextSerial_ = 1;
    // The serial number given to each new entry, so that its record, its
    // "." record and the ".." records of its folders carry the same one.
    std::map<const void*, std::uint32_t> serials_;
    // The serial number of the data of a file with several names (hard
    // links), by its extent: one that a kept name carries, else a new one.
    std::unordered_map<std::uint32_t, std::uint32_t> dataSerials_;
    std::vector<std::uint8_t> sectors_; // rendered sectors, handed out by CopyTo
    std::uint32_t sectorCount_ = 0;
    std::uint32_t nextSector_ = 0;
    DirectoryPlace isoRoot_;
    DirectoryPlace jolietRoot_;
    bool settled_ = false;
    bool render_ = true;
    std::uint32_t shift_ = 0;
    std::string error_;
};

// The path tables: ISO L and M tables and, with Joliet, the Joliet L and M
// tables, in one run of sectors from the start sector.
class PathTableLayout {
public:
    // The directories' extents come from the plan, the roots' from the
    // arguments. False, with Error, when the tables cannot be written.
    bool Build(std::uint32_t mode, const TreeAccess& access, std::uint32_t startSector, const LayoutPlan& plan,
               std::uint32_t isoRootExtent, std::uint32_t jolietRootExtent);
    // As DirectoryLayout::SetShift.
    void SetShift(std::uint32_t shift) { shift_ = shift; }

    bool CopyTo(CByteBuffer& out) const
    {
        return !sectors_.empty() && out.Append(sectors_.data(), static_cast<std::uint32_t>(sectors_.size()));
    }
    std::uint32_t SectorCount() const { return static_cast<std::uint32_t>(sectors_.size() / iso::kSectorSize); }
    std::uint32_t IsoTableSize() const { return isoTableSize_; }
    std::uint32_t JolietTableSize() const { return jolietTableSize_; }
    std::uint32_t IsoStart() const { return isoStart_; }
    std::uint32_t JolietStart() const { return jolietStart_; }
    const std::string& Error() const { return error_; }

private:
    std::vector<std::uint8_t> sectors_;
    std::uint32_t isoTableSize_ = 0;
    std::uint32_t jolietTableSize_ = 0;
    std::uint32_t isoStart_ = 0;
    std::uint32_t jolietStart_ = 0;
    std::uint32_t shift_ = 0;
    std::string error_;
};

// Path tables from a start sector, the directories right behind them:
// measured once, rendered once.
class MetadataLayout {
public:
    // Places everything from pathStart on. False, with error, when the tree
    // cannot be written.
    bool Measure(std::uint32_t mode, const TreeAccess& access, std::uint32_t pathStart, std::string& error);
    // Renders the sector numbers in the records counted from shift (the
    // places themselves stay sectors of the image).
    void SetShift(std::uint32_t shift)
    {
        tables_.SetShift(shift);
        directories_.SetShift(shift);
    }
    std::uint32_t PathTableStart() const { return pathStart_; }
    std::uint32_t PathTableSectors() const { return pathSectors_; }
    std::uint32_t DirectoryStart() const { return pathStart_ + pathSectors_; }
    std::uint32_t DirectorySectors() const { return directories_.SectorCount(); }
    std::uint32_t End() const { return DirectoryStart() + DirectorySectors(); }

    // Renders both with the places measured and the file extents the tree
    // holds now. False, with error, when anything came out at another size
    // or place than measured.
    bool Render(const TreeAccess& access, std::string& error);
    bool CopyTo(CByteBuffer& pathTables, CByteBuffer& directories) const
    {
        return tables_.CopyTo(pathTables) && directories_.CopyTo(directories);
    }
    // What the volume descriptors say of each tree, after Render.
    TreePlacement IsoPlacement() const;
    TreePlacement JolietPlacement() const;
    const LayoutPlan& Plan() const { return plan_; }

private:
    std::uint32_t mode_ = 0;
    std::uint32_t pathStart_ = 0;
    std::uint32_t pathSectors_ = 0;
    std::uint32_t isoTableSize_ = 0;
    std::uint32_t jolietTableSize_ = 0;
    LayoutPlan plan_;
    PathTableLayout tables_;
    DirectoryLayout directories_;
};

// Where the rendered metadata of a volume goes. udfVolume and udfClosing
// stay empty without UDF.
struct MetadataSectors {
    CByteBuffer& descriptors; // from sector 16
    CByteBuffer& udfVolume;   // from behind the descriptors to the path tables
    CByteBuffer& udfClosing;  // the closing anchor, the volume's last sector
    CByteBuffer& pathTables;
    CByteBuffer& directories;
};

// Everything a volume holds in front of its file data, for a build and a
// save alike: the descriptor set from sector 16, the UDF bridge's
// structures right behind it when the volume has one, then the path tables
// and the directories. Measured before any data is placed; rendered once
// afterwards with the extents the tree then holds, every part checked to
// fill exactly the sectors measured for it. Descriptors is the build's or
// the save's descriptor writer (IBuildDesc, IIsoDesc).
class VolumeLayout {
public:
    // With an offset (0: none), the volume also gets a partition's copy of
    // its metadata (hybrid::FileSystemCopy): the copy's descriptors from
    // offset + 16, the volume's path tables and directories behind them,
    // then the copy's path tables and directories, all of the copy's sector
    // numbers counted from offset. The copy's volume ends with the volume,
    // or after copySectors when given (a partition that keeps its end). Set
    // before Measure.
    void SetPartitionCopy(std::uint32_t offset, std::uint32_t copySectors = 0)
    {
        copyOffset_ = offset;
        copySectors_ = copySectors;
    }
    // The places of the UDF structures an edited image had, kept where the
    // bridge fits them (a new image's by default). Set before Measure.
    void SetUdfPlacement(const iso::udf::Placement& placement) { udfPlacement_ = placement; }
    // Where the metadata that may lie anywhere goes (the path tables, the
    // directories and the UDF bridge's file structures, in one run): right
    // behind the descriptors and the bridge's volume structures (0, the
    // default), or from this sector on (a save whose new metadata would
    // cover files in front puts it in free space or behind the data
    // instead). Not with a partition's copy. Set before Measure.
    void SetMetadataStart(std::uint32_t sector) { metadataStart_ = sector; }
    // sizing gives the descriptor set's mode and boot option. False, with
    // error, when the descriptors or the tree cannot be written.
    template <class Descriptors>
    bool Measure(Descriptors& descriptors, const DescriptorSetPlan& sizing, bool udf, const TreeAccess& access,
                 std::string& error);
    std::uint32_t DescriptorSectors() const { return descriptorSectors_; }
    bool HasUdf() const { return udf_; }
    std::uint32_t UdfStart() const { return iso::kFirstDescriptorSector + descriptorSectors_; }
    // The bridge's sectors: the volume's structures from UdfStart, then its
    // file structures from UdfFilesStart (the two are one run unless the
    // metadata was placed elsewhere).
    std::uint32_t UdfSectors() const { return UdfVolumeSectors() + UdfFileSectors(); }
    std::uint32_t UdfVolumeSectors() const { return udf_ ? bridge_.PartitionStart() - UdfStart() : 0; }
    std::uint32_t UdfFilesStart() const { return bridge_.FilesStart(); }
    std::uint32_t UdfFileSectors() const { return udf_ ? bridge_.EndSector() - bridge_.FilesStart() : 0; }
    // The end of what stays in front wherever the rest goes: the
    // descriptors and the bridge's volume structures.
    std::uint32_t FixedFront() const { return fixedFront_; }
    // Where the run of the UDF file structures, path tables and
    // directories begins: FixedFront unless SetMetadataStart says otherwise.
    std::uint32_t MetadataStart() const
    {
        return udf_ ? std::min(bridge_.FilesStart(), metadata_.PathTableStart()) : metadata_.PathTableStart();
    }
    std::uint32_t PathTableStart() const { return metadata_.PathTableStart(); }
    std::uint32_t PathTableSectors() const { return metadata_.PathTableSectors(); }
    std::uint32_t DirectoryStart() const { return metadata_.DirectoryStart(); }
    std::uint32_t DirectorySectors() const { return metadata_.DirectorySectors(); }
    // The first sector behind the directories (and the partition's copy),
    // or the bridge's file structures placed behind them.
    std::uint32_t End() const
    {
        return copyOffset_ != 0 ? copy_.End() : std::max(metadata_.End(), udf_ ? bridge_.EndSector() : 0);
    }
    // The partition's copy, after Render: its descriptors, to be written from
    // CopyDescriptorStart, and its path tables and directories, from
    // CopyMetadataStart. Empty without one.
    std::uint32_t CopyDescriptorStart() const { return copyOffset_ + iso::kFirstDescriptorSector; }
    std::uint32_t CopyMetadataStart() const { return copy_.PathTableStart(); }
    const CByteBuffer& CopyDescriptors() const { return copyDescriptors_; }
    const CByteBuffer& CopyMetadata() const { return copyMetadata_; }
    const LayoutPlan& Plan() const { return metadata_.Plan(); }

    // Renders into out. plan gives the descriptors' mode, boot fields and
    // the volume's size; the trees' places come from the measure. The UDF
    // structures are stamped with udfTime and named by udfNames.
    template <class Descriptors>
    bool Render(Descriptors& descriptors, DescriptorSetPlan plan, const TreeAccess& access,
                platform::FileTime udfTime, const UdfNames& udfNames, const MetadataSectors& out,
                std::string& error);

private:
    std::uint32_t descriptorSectors_ = 0;
    std::uint32_t metadataStart_ = 0;
    std::uint32_t fixedFront_ = 0;
    bool udf_ = false;
    iso::udf::Placement udfPlacement_;
    UdfBridge bridge_;
    MetadataLayout metadata_;
    std::uint32_t copyOffset_ = 0;
    std::uint32_t copySectors_ = 0;
    std::uint32_t copyDescriptorSectors_ = 0;
    MetadataLayout copy_;
    CByteBuffer copyDescriptors_{256};
    CByteBuffer copyMetadata_{256};
};

} // namespace tarvelin::writer
