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

#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "platform/directory.h"
#include "platform/path.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvelin {

namespace {

using iso::kSectorSize;

// Deeper directories are listed without their contents. Far beyond any real
// image (ECMA-119 allows 8 levels, Rock Ridge images rarely exceed a few
// dozen), yet small enough that every recursive walk over the tree by other
// code stays safe.
constexpr std::uint32_t kMaxDirectoryDepth = 1000;

// Directory sectors fetched per read: any real directory in one call, while
// a damaged length can never make the reader hold the whole image at once.
constexpr std::uint32_t kDirectoryReadBatch = 256;

constexpr std::uint64_t kMaxRecordableFileSize = std::numeric_limits<std::uint32_t>::max();

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

private:
    std::map<std::uint32_t, std::uint64_t> ranges_; // first sector -> one past the last
};

struct DiskIdentity {
    std::uint64_t volumeId = 0;
    std::uint64_t fileId = 0;
    bool operator==(const DiskIdentity&) const = default;
};

DiskIdentity IdentityOf(const platform::FileInfo& info)
{
    return {info.volumeId, info.fileId};
}

class CIsoDirEdit final : public IIsoDirEdit {
public:
    ~CIsoDirEdit() override { FreeChildren(&root_); }

    bool Reserved() override { return true; }
    void SetSector(IIsoSector* sector) override { sector_ = sector; }
    void Load(std::uint32_t bootSector) override;
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

private:
    struct PendingDirectory {
        DirNode* node = nullptr;
        std::uint32_t extent = 0;
        std::uint32_t length = 0;
        std::uint32_t depth = 0; // of the directory's children
    };

    // A file whose last record carried the multi-extent flag: the next
    // record of the same directory with the same identifier continues it.
    struct OpenMultiExtent {
        DirNode* node = nullptr;
        std::string identifier;
    };

    struct DirectoryReader {
        std::vector<PendingDirectory>* subdirectories = nullptr;
        std::optional<OpenMultiExtent> open;
        std::uint32_t childDepth = 0;
    };

    std::optional<iso::DirectoryRecord> ReadRootRecord();
    void ReadDirectory(const PendingDirectory& directory, std::vector<PendingDirectory>& subdirectories);
    void ReadRecord(const iso::DirectoryRecord& record, DirNode* parent, DirectoryReader& reader);
    bool ContinueMultiExtent(const iso::DirectoryRecord& record, DirectoryReader& reader);
    void CloseMultiExtent(DirectoryReader& reader);
    // Accounts for data at [extent, extent + length bytes): moves endSector
    // (never past the image) and counts data lying beyond the image.
    void NoteData(std::uint32_t extent, std::uint64_t length);

    bool CheckParent(DirNode* parent);
    DirNode* AppendFromDisk(const std::string& path, const platform::FileInfo& info, DirNode* parent);
    DirNode* AddFromDisk(const char* path, DirNode* parent, bool wantDirectory, platform::FileInfo* found);
    bool IsAncestorOnDisk(DirNode* node, const DiskIdentity& identity,
                          const std::unordered_map<DirNode*, DiskIdentity>& identities) const;

    static DirNode* Append(DirNode* parent, DirEntry&& entry);
    static void FreeSubtree(DirNode* node);
    static void FreeChildren(DirNode* node);

    DirNode root_;
    std::uint32_t jolietMode_ = 0;
    IIsoSector* sector_ = nullptr;
    std::uint32_t endSector_ = 0;
    std::uint32_t bootSector_ = 0;
    std::uint32_t sectorCount_ = 0;
    TreeLoadReport report_;
    ClaimedSectors claimed_;
    std::string lastError_;
};

// ---------------------------------------------------------------------------
// Tree structure

DirNode* CIsoDirEdit::Append(DirNode* parent, DirEntry&& entry)
{
    auto* node = new DirNode;
    node->entry = std::move(entry);
    node->parent = parent;
    if (parent->lastChild != nullptr) {
        parent->lastChild->nextSibling = node;
    } else {
        parent->firstChild = node;
    }
    parent->lastChild = node;
    return node;
}

// Each node is freed exactly once without recursion: a freed node's children
// are taken over by a work list before the node goes.
void CIsoDirEdit::FreeSubtree(DirNode* node)
{
    std::vector<DirNode*> pending{node};
    while (!pending.empty()) {
        DirNode* current = pending.back();
        pending.pop_back();
        for (DirNode* child = current->firstChild; child != nullptr; child = child->nextSibling) {
            pending.push_back(child);
        }
        delete current;
    }
}

void CIsoDirEdit::FreeChildren(DirNode* node)
{
    DirNode* child = node->firstChild;
    node->firstChild = nullptr;
    node->lastChild = nullptr;
    while (child != nullptr) {
        DirNode* next = child->nextSibling;
        FreeSubtree(child);
        child = next;
    }
}

void CIsoDirEdit::DeleteNode(DirNode* parent, DirNode* node)
{
    if (parent == nullptr || node == nullptr) {
        return;
    }
    DirNode* previous = nullptr;
    DirNode* child = parent->firstChild;
    while (child != nullptr && child != node) {
        previous = child;
        child = child->nextSibling;
    }
    if (child == nullptr) {
        return;
    }
    (previous != nullptr ? previous->nextSibling : parent->firstChild) = node->nextSibling;
    if (parent->lastChild == node) {
        parent->lastChild = previous;
    }
    FreeSubtree(node);
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

std::optional<iso::DirectoryRecord> CIsoDirEdit::ReadRootRecord()
{
    const iso::SectorReader read = [this](std::uint32_t sector, std::uint8_t* buffer) {
        return sector_->ReadSector(sector, buffer);
    };
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, sectorCount_);
    if (set.jolietSector) {
        iso::DecodeReport decode;
        const std::optional<iso::VolumeDescriptor> joliet =
            iso::ReadVolumeDescriptor(read, sectorCount_, *set.jolietSector, &decode);
        report_.endianMismatch = report_.endianMismatch || decode.endianMismatch;
        if (joliet) {
            jolietMode_ = 2;
            return joliet->rootRecord;
        }
    }
    iso::DecodeReport decode;
    const std::optional<iso::VolumeDescriptor> primary =
        iso::ReadVolumeDescriptor(read, sectorCount_, iso::kFirstDescriptorSector, &decode);
    report_.endianMismatch = report_.endianMismatch || decode.endianMismatch;
    if (!primary) {
        lastError_ = std::string("no readable volume descriptor: ")
            + (decode.problem != nullptr ? decode.problem : "unknown reason");
        return std::nullopt;
    }
    return primary->rootRecord;
}

void CIsoDirEdit::Load(std::uint32_t bootSector)
{
    FreeChildren(&root_);
    root_.entry = DirEntry{};
    jolietMode_ = 0;
    endSector_ = 0;
    bootSector_ = bootSector;
    report_ = TreeLoadReport{};
    claimed_ = ClaimedSectors{};
    lastError_.clear();
    if (sector_ == nullptr) {
        lastError_ = "no image to read the tree from";
        return;
    }
    sectorCount_ = sector_->GetSectorCount();
    const std::optional<iso::DirectoryRecord> root = ReadRootRecord();
    if (!root) {
        return;
    }

    // Depth first in the order of the records, as a recursive walk would
    // go: a directory's subdirectories are pushed in reverse so the first
    // one is read next.
    NoteData(root->extent, root->dataLength);
    std::vector<PendingDirectory> pending{{&root_, root->extent, root->dataLength, 1}};
    std::vector<PendingDirectory> subdirectories;
    while (!pending.empty()) {
        const PendingDirectory directory = pending.back();
        pending.pop_back();
        subdirectories.clear();
        ReadDirectory(directory, subdirectories);
        pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
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

void CIsoDirEdit::ReadDirectory(const PendingDirectory& directory, std::vector<PendingDirectory>& subdirectories)
{
    std::uint64_t sectors = SectorsFor(directory.length);
    if (sectors == 0 || directory.extent >= sectorCount_) {
        return;
    }
    sectors = std::min<std::uint64_t>(sectors, sectorCount_ - directory.extent);
    const auto count = static_cast<std::uint32_t>(sectors);
    if (!claimed_.Claim(directory.extent, count)) {
        ++report_.loopsRefused;
        return;
    }

    DirectoryReader reader;
    reader.subdirectories = &subdirectories;
    reader.childDepth = directory.depth;
    std::vector<std::uint8_t> buffer;
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t batch = std::min(kDirectoryReadBatch, count - done);
        const std::uint32_t first = directory.extent + done;
        buffer.assign(std::size_t{batch} * kSectorSize, 0);
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
            const iso::DirectorySectorRecords decoded = iso::DecodeDirectorySector(sector);
            report_.endianMismatch = report_.endianMismatch || decoded.endianMismatch;
            if (decoded.damaged) {
                ++report_.malformedRecords;
            }
            for (const iso::DirectoryRecord& record : decoded.records) {
                ReadRecord(record, directory.node, reader);
            }
        }
        done += batch;
    }
    CloseMultiExtent(reader);
}

bool CIsoDirEdit::ContinueMultiExtent(const iso::DirectoryRecord& record, DirectoryReader& reader)
{
    if (!reader.open) {
        return false;
    }
    if (record.IsDirectory() || record.identifier != reader.open->identifier) {
        // The previous record promised a further piece that never came.
        ++report_.malformedRecords;
        reader.open.reset();
        return false;
    }
    DirEntry& entry = reader.open->node->entry;
    entry.moreExtents.push_back({record.extent, record.dataLength});
    entry.size += record.dataLength;
    NoteData(record.extent, record.dataLength);
    if (!record.IsMultiExtent()) {
        reader.open.reset();
    }
    return true;
}

void CIsoDirEdit::CloseMultiExtent(DirectoryReader& reader)
{
    if (reader.open) {
        ++report_.malformedRecords;
        reader.open.reset();
    }
}

void CIsoDirEdit::ReadRecord(const iso::DirectoryRecord& record, DirNode* parent, DirectoryReader& reader)
{
    if (record.IsSelf() || record.IsParent()) {
        return;
    }
    if (ContinueMultiExtent(record, reader)) {
        return;
    }
    DirEntry entry;
    entry.name = jolietMode_ == 2 ? iso::DecodeJolietIdentifier(record.identifier)
                                  : iso::DecodeIsoIdentifier(record.identifier);
    if (entry.name.empty()) {
        ++report_.malformedRecords;
        return;
    }
    entry.isDirectory = record.IsDirectory();
    entry.EntrySource = EntrySourceKind::Image;
    entry.extent = record.extent;
    entry.extentLength = record.dataLength;
    entry.size = record.dataLength;
    entry.date = iso::FileTimeFromRecordingDate(record.date).value_or(0);
    entry.bootMark = !entry.isDirectory && bootSector_ != 0 && entry.extent == bootSector_;
    DirNode* node = Append(parent, std::move(entry));
    NoteData(record.extent, record.dataLength);
    if (node->entry.isDirectory) {
        if (reader.childDepth >= kMaxDirectoryDepth) {
            ++report_.tooDeep;
            return;
        }
        reader.subdirectories->push_back({node, record.extent, record.dataLength, reader.childDepth + 1});
        return;
    }
    if (record.IsMultiExtent()) {
        reader.open = OpenMultiExtent{node, record.identifier};
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
    if (!info.isDirectory && info.size > kMaxRecordableFileSize) {
        lastError_ = "'" + path + "' is 4 GiB or larger; an image records file sizes in 32 bits";
        return nullptr;
    }
    DirEntry entry;
    entry.isDirectory = info.isDirectory;
    entry.EntrySource = info.isDirectory ? EntrySourceKind::None : EntrySourceKind::Disk;
    entry.diskPath = path;
    entry.name = info.name;
    entry.nameLength = static_cast<std::uint32_t>(entry.name.size());
    entry.date = info.creationTime;
    if (!info.isDirectory) {
        entry.longName = info.name;
        entry.shortName = info.shortName;
        entry.size = info.size;
        entry.extentLength = static_cast<std::uint32_t>(info.size);
    }
    return Append(parent, std::move(entry));
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

bool CIsoDirEdit::IsAncestorOnDisk(DirNode* node, const DiskIdentity& identity,
                                   const std::unordered_map<DirNode*, DiskIdentity>& identities) const
{
    for (; node != nullptr; node = node->parent) {
        const auto found = identities.find(node);
        if (found == identities.end()) {
            return false;
        }
        if (found->second == identity) {
            return true;
        }
    }
    return false;
}

DirNode* CIsoDirEdit::AddDirectoryTree(const char* path, DirNode* parent)
{
    platform::FileInfo topInfo;
    DirNode* top = AddFromDisk(path, parent, true, &topInfo);
    if (top == nullptr) {
        return nullptr;
    }
    // Folders reached through links are followed; the disk identity of each
    // folder added here lets a link back to one of its own ancestors be
    // recognised and left out instead of being followed for ever.
    std::unordered_map<DirNode*, DiskIdentity> identities{{top, IdentityOf(topInfo)}};
    std::vector<std::pair<DirNode*, std::string>> pending{{top, path}};
    std::vector<platform::FileInfo> folders;
    while (!pending.empty()) {
        auto [node, folder] = std::move(pending.back());
        pending.pop_back();

        platform::DirectorySearch search;
        if (!search.Open(folder)) {
            lastError_ = search.LastError();
            continue;
        }
        // Files first in the order the folder lists them, then the folders.
        folders.clear();
        platform::FileInfo info;
        while (search.Next(info)) {
            if (info.isDirectory) {
                folders.push_back(std::move(info));
            } else {
                AppendFromDisk(platform::JoinPath(folder, info.name), info, node);
            }
        }
        const std::size_t firstNew = pending.size();
        for (const platform::FileInfo& sub : folders) {
            const std::string subPath = platform::JoinPath(folder, sub.name);
            if (IsAncestorOnDisk(node, IdentityOf(sub), identities)) {
                lastError_ = "'" + subPath + "' leads back to a folder that contains it; left out";
                continue;
            }
            DirNode* child = AppendFromDisk(subPath, sub, node);
            identities.emplace(child, IdentityOf(sub));
            pending.emplace_back(child, subPath);
        }
        // Each folder complete before the next, in listing order.
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(firstNew), pending.end());
    }
    return top;
}

DirNode* CIsoDirEdit::NewDirectory(const char* name, DirNode* parent)
{
    lastError_.clear();
    if (name == nullptr || *name == '\0') {
        lastError_ = "a folder needs a name";
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
    return Append(parent, std::move(entry));
}

bool CIsoDirEdit::Rename(const char* name, DirNode* node)
{
    lastError_.clear();
    if (node == nullptr) {
        lastError_ = "nothing to rename";
        return false;
    }
    if (name == nullptr || *name == '\0') {
        lastError_ = "an entry needs a name";
        return false;
    }
    node->entry.name = name;
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

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoDirEdit, tarvelin::IIsoDirEdit, DirEdit1, DirEdit2)
