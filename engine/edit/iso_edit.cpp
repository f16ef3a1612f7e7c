// CIsoEdit: the facade over an opened image. Reading, browsing and the boot
// image live here; edits are carried by the tree until a save writes them.
// The save (bottom of the file) follows the new-image build: the metadata is
// measured once, the data placed behind it, and the metadata rendered from
// the measured plan; what differs is that it writes into the image it read,
// under the undo journal of the image file.

#include "edit/iso_edit.h"
#include "edit/iso_extract.h"

#include "core/image_file.h"
#include "core/iso_sector.h"
#include "core/job.h"
#include "core/raw_sector.h"
#include "iso/hybrid_tables.h"
#include "iso/boot_info_table.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "iso/udf_format.h"
#include "iso/volume_space.h"
#include "iso/zisofs.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "writer/data_writer.h"
#include "writer/descriptor_writer.h"
#include "writer/iso_build.h"
#include "writer/metadata_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvelin {

namespace {

constexpr std::uint32_t kSectorBytes = 2048;

std::uint32_t SectorsFor(std::uint64_t bytes)
{
    return static_cast<std::uint32_t>((bytes + kSectorBytes - 1) / kSectorBytes);
}

// What the data writer changes of a file's entry when it places the file.
struct DataPlace {
    EntrySourceKind source = EntrySourceKind::None;
    std::uint32_t extent = 0;
    std::uint32_t extentLength = 0;
    std::vector<ExtentPiece> moreExtents;
    std::shared_ptr<const std::vector<std::uint8_t>> memoryData;

    static DataPlace Of(const DirEntry& entry)
    {
        return {entry.EntrySource, entry.extent, entry.extentLength, entry.moreExtents, entry.memoryData};
    }
    void Restore(DirEntry& entry)
    {
        entry.EntrySource = source;
        entry.extent = extent;
        entry.extentLength = extentLength;
        entry.moreExtents = std::move(moreExtents);
        entry.memoryData = std::move(memoryData);
    }
};

// Boot media types of the El Torito catalog and the size of their images.
constexpr std::uint32_t kMediaNoEmulation = 0;

bool IsNoEmulation(const iso::BootEntry& entry)
{
    return (entry.mediaType & 0x0F) == kMediaNoEmulation;
}

// Media type of a boot image file by its length: a diskette is emulated
// only for an image of exactly a diskette's size. A loader of any other
// length (a few KiB of no-emulation code, say) would not boot as a
// diskette.
std::uint32_t MediaTypeForLength(std::uint64_t length)
{
    for (std::uint32_t type = 1; type <= 3; ++type) {
        if (length == std::uint64_t{iso::DisketteSectors(type)} * kSectorBytes) {
            return type;
        }
    }
    return kMediaNoEmulation;
}

// Every node of a tree below the root, files or folders as asked, folders
// walked without recursion.
template <class Visit>
void ForEachNode(IIsoDirEdit* tree, bool folders, Visit&& visit)
{
    std::vector<DirNode*> pending{tree->GetRoot()};
    while (!pending.empty()) {
        DirNode* node = pending.back();
        pending.pop_back();
        for (DirNode* child = tree->GetFirstChild(node); child != nullptr; child = tree->GetNextSibling(child)) {
            if (child->entry.isDirectory) {
                pending.push_back(child);
            }
            if (child->entry.isDirectory == folders) {
                visit(child);
            }
        }
    }
}

template <class Visit>
void ForEachFileNode(IIsoDirEdit* tree, Visit&& visit)
{
    ForEachNode(tree, false, std::forward<Visit>(visit));
}

// After a save every entry written anew shows the name the image now holds
// for it in the names the tree shows, as a fresh open would: the ISO 9660
// or Joliet name its given name was converted or cut to. The identifiers
// are listed as the save listed them; the given name is kept for the next
// save to write the other trees' names from. A name that changed more than
// in case (which finding an entry overlooks) is told: the entry is not
// found under the name the user gave it.
//
// Where the tree shows other names than Rock Ridge ones, a new entry given
// the Rock Ridge name of an entry it did not replace gets that name with
// ~1, ~2, ... there: that is told as well.
void ShowNamesWritten(IIsoDirEdit* tree, bool joliet, NoticeList& notices)
{
    const writer::TreeAccess access(tree);
    const NameSource shown = tree->GetShownNames();
    if (access.Rules().rockRidge && shown != NameSource::RockRidge) {
        writer::ForEachDirectoryPreOrder(access, std::nullopt, [&](DirNode* folder, const writer::Children& children) {
            std::vector<std::string> rockNames;
            for (std::size_t i = 0; i < children.Count(); ++i) {
                const DirEntry& entry = children.Entry(i);
                if (!entry.inIsoTree || (!entry.renamed && writer::KeptIn(entry, writer::TreeKind::Iso) != nullptr)) {
                    continue;
                }
                if (rockNames.empty()) {
                    rockNames = writer::UniqueRockNames(children);
                }
                std::string told = writer::NameWrittenOtherwise(folder, entry.NameToWrite(), rockNames[i]);
                if (!told.empty()) {
                    notices.Add(false, std::move(told));
                }
            }
            return true;
        });
    }
    writer::ForEachShownIdentifier(access, shown, joliet,
                                   [&](const DirNode* folder, DirEntry& entry, std::string written) {
                                       if (written.empty() || written == entry.name) {
                                           return;
                                       }
                                       std::string told = writer::NameWrittenOtherwise(folder, entry.name, written);
                                       if (!told.empty()) {
                                           notices.Add(false, std::move(told));
                                       }
                                       if (entry.givenName.empty()) {
                                           entry.givenName = entry.name;
                                       }
                                       entry.name = std::move(written);
                                   });
}

// One entry of the boot catalog that the save keeps, and the sectors its
// boot image occupies in the image.
struct KeptBootImage {
    iso::BootEntry* entry = nullptr;
    DirNode* owner = nullptr;  // the file of the tree that is this boot image, if any
    std::uint32_t first = 0;
    std::uint32_t sectors = 0;
    std::uint64_t length = 0; // of the boot file, as far as it is known
};

class CIsoEdit final : public IIsoEdit {
public:
    ~CIsoEdit() override
    {
        // Waits for a running save, unless destroyed from inside its final
        // call, after which the save touches nothing of the facade.
        job_.Release();
        DestroyComponent(sector_);
        DestroyComponent(tree_);
        DestroyComponent(desc_);
        DestroyComponent(data_);
    }

    bool Init() override
    {
        // Without any of its parts (memory ran out) there is no facade.
        sector_ = Sector1();
        tree_ = DirEdit1();
        desc_ = Desc1();
        data_ = Data1();
        bootAction_ = BootAction::KeepAsIs;
        return sector_ != nullptr && tree_ != nullptr && desc_ != nullptr && data_ != nullptr;
    }

    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        bootAction_ = BootAction::KeepAsIs;
        if (!sector_->Open(path)) {
            return Fail(sector_->GetLastError());
        }
        desc_->SetSource(sector_);
        desc_->SetVolumeProperties(nullptr);
        pendingProperties_.reset();
        notices_.Clear();
        lastError_.clear();
        return true;
    }

    void LoadTree() override { Load(true); }
    void LoadTreeForReading() override { Load(false); }

    void Load(bool keepRecords)
    {
        if (Saving()) {
            lastError_ = kSaveUnderWay;
            return;
        }
        tree_->SetSector(sector_);
        form2Data_.clear();
        bootImageSector_ = 0;
        mediaType_ = 0;
        bootAction_ = BootAction::KeepAsIs;
        bootInfoPatch_ = kBootInfoAutomatic;
        loadedBootFile_ = nullptr;
        deletedBootExtent_ = 0;
        deletedBootLength_ = 0;
        // Without a boot record no file may be taken for the boot image.
        if (desc_->HasBootRecord()) {
            bootImageSector_ = desc_->GetBootInfo(mediaType_);
        }
        tree_->SetNameSource(nameSource_);
        tree_->SetKeepRecords(keepRecords);
        tree_->Load(bootImageSector_);
        readOnlyTree_ = !keepRecords;
        shownTree_ = nameSource_;
        if (shownTree_ == NameSource::Joliet && tree_->GetJolietMode() != kBuildIsoAndJoliet) {
            shownTree_ = NameSource::Automatic; // no Joliet tree: its names came from the others
        }
        lastError_ = tree_->GetLastError();
    }

    DirNode* GetRoot() override { return tree_->GetRoot(); }
    // With the names of one tree asked for, the entries that tree leaves
    // out are not shown (a save keeps them all the same).
    DirNode* GetFirstChild(DirNode* node) override
    {
        return Shown(tree_->GetFirstChild(node));
    }
    DirNode* GetNextSibling(DirNode* node) override
    {
        return Shown(tree_->GetNextSibling(node));
    }

    bool DeleteNode(DirNode* parent, DirNode* node) override
    {
        if (readOnlyTree_) {
            return Fail(kReadOnlyTree);
        }
        if (!Saving()) {
            if (node != nullptr && tree_->FindParent(node) == parent) {
                Delete(parent, node);
            } else {
                tree_->DeleteNode(parent, node);
            }
        }
        return true;
    }

    DirNode* AddFile(const char* path, DirNode* parent) override
    {
        return Replacing(parent, [&] { return tree_->AddFile(path, parent); });
    }
    DirNode* AddDirectory(const char* path, DirNode* parent) override
    {
        return Replacing(parent, [&] { return tree_->AddDirectory(path, parent); });
    }
    DirNode* AddDirectoryTree(const char* path, DirNode* parent) override
    {
        return Replacing(parent, [&] { return tree_->AddDirectoryTree(path, parent); });
    }
    DirNode* NewDirectory(const char* name, DirNode* parent) override
    {
        if (!CanEdit()) {
            return nullptr;
        }
        if (name != nullptr && FindNamed(parent, name, nullptr) != nullptr) {
            lastError_ = "'" + std::string(name) + "' already exists in that folder";
            return nullptr;
        }
        return Forward(tree_->NewDirectory(name, parent));
    }
    bool Rename(const char* name, DirNode* node) override
    {
        if (!CanEdit()) {
            return false;
        }
        DirNode* parent = tree_->FindParent(node);
        if (name != nullptr && parent != nullptr && FindNamed(parent, name, node) != nullptr) {
            return Fail("'" + std::string(name) + "' already exists in that folder");
        }
        return tree_->Rename(name, node) || Fail(tree_->GetLastError());
    }

    bool StartSave(void* context, ProgressFn callback) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        if (callback == nullptr) {
            return Fail("no progress callback given");
        }
        // The progress protocol of iso_edit.h over the job's reports.
        const auto onEnd = [context, callback](const JobReport& report) {
            callback(context, report.state == JobState::Done ? kSaveDone : kSaveFailed);
        };
        return BeginSave(PercentReports(context, callback), onEnd);
    }

    bool GetItemInfo(DirNode* node, ItemInfo& info) override
    {
        if (node == nullptr) {
            return false;
        }
        // Read in place: a copy of the entry costs more than the listing.
        const DirEntry& entry = node->entry;
        info.name = entry.name;
        info.size = DataSize(entry);
        info.isDirectory = entry.isDirectory;
        // The modification time of a Rock Ridge TF entry is the file's own;
        // the record's date may be another (genisoimage dates a grafted
        // folder's record with the moment the image was made).
        info.date = entry.posix.modified != 0 ? entry.posix.modified : entry.date;
        info.posix = entry.posix;
        return true;
    }

    bool ReadFileData(DirNode* node, std::uint64_t offset, void* buffer, std::uint32_t count) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        if (node == nullptr) {
            return Fail("no such entry");
        }
        const DirEntry& entry = node->entry;
        if (entry.isDirectory) {
            return Fail("'" + entry.name + "' is a folder");
        }
        const std::uint64_t size = DataSize(entry);
        if (offset > size || count > size - offset) {
            return Fail("read beyond the end of '" + entry.name + "'");
        }
        if (count == 0) {
            return true;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        switch (entry.EntrySource) {
        case EntrySourceKind::Image:
            if (entry.zisofs.present) {
                return ReadCompressedData(entry, offset, out, count);
            }
            return ReadsAsForm2(entry) ? ReadForm2Data(entry, offset, out, count)
                                       : ReadImageData(entry, offset, out, count);
        case EntrySourceKind::Disk: return ReadDiskData(entry, offset, out, count);
        case EntrySourceKind::Memory:
            if (entry.memoryData == nullptr || entry.memoryData->size() < offset + count) {
                return Fail("the data of '" + entry.name + "' is missing");
            }
            std::memcpy(out, entry.memoryData->data() + offset, count);
            return true;
        case EntrySourceKind::None: break;
        }
        return Fail("'" + entry.name + "' has no data");
    }

    bool HasBootImage() override { return !Saving() && desc_->HasBootRecord(); }

    void DeleteBootImage() override
    {
        if (Saving()) {
            return;
        }
        bootAction_ = BootAction::Remove;
        ClearBootMarks(nullptr);
        // The catalog, where the image lists it as a file, goes with the
        // boot record.
        if (DirNode* catalogFile = FindCatalogFile(); catalogFile != nullptr) {
            tree_->DeleteNode(catalogFile->parent, catalogFile);
        }
    }

    bool SaveBootImage(CByteBuffer& buffer) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        if (!desc_->HasBootRecord()) {
            return Fail("the image has no boot image");
        }
        std::uint32_t mediaType = 0;
        const std::uint32_t first = desc_->GetBootInfo(mediaType);
        mediaType_ = mediaType;
        // A boot record whose catalog does not check out names no boot
        // image, nor does a sound catalog whose default entry is empty;
        // sector 0 would only hand back the system area.
        if (first == 0) {
            return Fail(desc_->GetBootCatalogSector() != 0
                            ? "the default entry of the image's boot catalog is empty: it names no boot image"
                            : "the image's boot catalog is damaged, or the boot image it names lies outside the image");
        }
        std::uint64_t bytes = std::uint64_t{iso::DisketteSectors(mediaType)} * kSectorBytes;
        if (bytes == 0) {
            // No emulation and hard disk emulation: the boot file's own size
            // when a file of the image lies there, else the length the image
            // itself tells (as a save keeps it), else what the catalog loads.
            bytes = BootFileSize(first);
            if (bytes == 0) {
                iso::BootEntry entry;
                entry.mediaType = static_cast<std::uint8_t>(mediaType);
                entry.sectorCount = static_cast<std::uint16_t>(desc_->GetBootLoadSectorCount());
                entry.loadRba = first;
                bytes = iso::HiddenBootImageLength(*sector_, entry);
            }
            if (bytes == 0) {
                bytes = std::uint64_t{desc_->GetBootLoadSectorCount()} * 512;
            }
            if (bytes == 0) {
                bytes = kSectorBytes;
            }
        }
        const std::uint32_t sectors = SectorsFor(bytes);
        if (std::uint64_t{first} + sectors > sector_->GetSectorCount()) {
            return Fail("the boot image lies beyond the end of the image");
        }
        std::vector<std::uint8_t> data(std::size_t{sectors} * kSectorBytes);
        if (!sector_->ReadSectors(first, data.data(), sectors)) {
            return Fail(sector_->GetLastError());
        }
        if (!buffer.Append(data.data(), static_cast<std::uint32_t>(bytes))) {
            return Fail("out of memory");
        }
        return true;
    }

    bool LoadBootImage(const char* path, DirNode* parent) override
    {
        // The boot image is a file of the tree: the save writes it right
        // behind the catalog and points the default entry at it, so saving
        // the boot image later gives back the bytes loaded (with the boot
        // information SetBootInfoPatch asks for filled in).
        DirNode* node = Replacing(parent, [&] { return tree_->AddFile(path, parent); });
        if (node == nullptr) {
            return Fail(std::string("cannot load the boot image: ") + lastError_);
        }
        if (node->entry.size == 0) {
            tree_->DeleteNode(parent, node);
            return Fail(std::string("cannot load the boot image: '") + path + "' is empty");
        }
        ClearBootMarks(node);
        node->entry.bootMark = true;
        bootAction_ = BootAction::Load;
        loadedBootFile_ = node;
        mediaType_ = MediaTypeForLength(node->entry.size);
        return true;
    }

    bool GetItemExtent(DirNode* node, std::uint32_t& extent) override
    {
        if (node == nullptr) {
            return false;
        }
        extent = node->entry.extent;
        return true;
    }

    bool ReadSector(std::uint32_t sector, void* buffer) override
    {
        return !Saving() && sector_->ReadSector(sector, buffer);
    }

    const char* GetLastError() override { return lastError_.c_str(); }
    IIsoSector* GetSector() override { return sector_; }
    TreeLoadReport GetLoadReport() override { return tree_->GetLoadReport(); }
    bool WasReplaced() override { return replaced_; }
    bool WasRecovered() override
    {
        return sector_->GetFile() != nullptr && sector_->GetFile()->WasRecovered();
    }
    bool IsSaving() override { return Saving(); }
    bool Saving() const { return job_.Running(); }
    std::uint32_t GetMediaType() override { return mediaType_; }
    void SetNameSource(NameSource source) override { nameSource_ = source; }
    bool HasRockRidge() override { return tree_->HasRockRidge(); }

    FreeSpaceInfo GetFreeSpace() override
    {
        FreeSpaceInfo info;
        if (Saving()) {
            info.why = "a save is under way";
            return info;
        }
        const iso::VolumeSpace space = iso::ScanVolumeSpace(*sector_);
        info.known = space.known;
        info.why = space.why;
        info.volumeSectors = space.volumeSectors;
        const iso::SectorSet free = space.Free();
        info.freeSectors = free.Count();
        info.runs = static_cast<std::uint32_t>(free.Runs().size());
        return info;
    }

    void CompactNextSave() override { compactNext_ = true; }

    iso::VolumeProperties GetVolumeProperties() override
    {
        iso::VolumeProperties current;
        std::vector<std::uint8_t> sector(iso::kSectorSize);
        if (!Saving() && sector_->ReadSector(iso::kFirstDescriptorSector, sector.data())) {
            current = iso::ReadVolumeProperties(sector, false);
        }
        if (pendingProperties_) {
            // The texts as set; a date only where one was set.
            const iso::VolumeProperties& pending = *pendingProperties_;
            current.volumeIdentifier = pending.volumeIdentifier;
            current.publisherIdentifier = pending.publisherIdentifier;
            current.dataPreparerIdentifier = pending.dataPreparerIdentifier;
            current.applicationIdentifier = pending.applicationIdentifier;
            current.creationDate = pending.creationDate ? pending.creationDate : current.creationDate;
            current.modificationDate = pending.modificationDate ? pending.modificationDate : current.modificationDate;
        }
        return current;
    }

    bool SetVolumeProperties(const iso::VolumeProperties& properties) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        pendingProperties_ = properties;
        desc_->SetVolumeProperties(&*pendingProperties_);
        return true;
    }

    bool SetBootInfoPatch(std::uint32_t flags) override
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        if ((flags & ~(kBootInfoTable | kBootInfoGrub2 | kBootInfoAutomatic)) != 0) {
            return Fail("unknown boot information flags");
        }
        // Refused now rather than by the save, which would have written
        // data into the image's free space by then.
        if (loadedBootFile_ != nullptr) {
            if (const char* misfit = iso::ForcedBootInfoMisfit(loadedBootFile_->entry.size, flags);
                misfit != nullptr) {
                return Fail(misfit);
            }
        }
        bootInfoPatch_ = flags;
        return true;
    }

    std::uint32_t GetNoticeCount() override { return Saving() ? 0 : notices_.Count(); }
    const char* GetNotice(std::uint32_t index, bool* isError) override
    {
        if (Saving()) {
            if (isError != nullptr) {
                *isError = false;
            }
            return "";
        }
        return notices_.Text(index, isError);
    }
    std::uint32_t GetErrorNoticeCount() override { return Saving() ? 0 : notices_.ErrorCount(); }
    void ClearNotices() override
    {
        if (!Saving()) {
            notices_.Clear();
        }
    }

    bool Save(void* context, ProgressFn progress) override
    {
        if (!BeginSave(PercentReports(context, progress), {})) {
            return false;
        }
        return job_.Wait().state == JobState::Done; // GetLastError says why not
    }

    bool StartSaveJob(Job::OnProgress onProgress, Job::OnEnd onEnd) override
    {
        return BeginSave(std::move(onProgress), std::move(onEnd));
    }

private:
    static constexpr const char* kSaveUnderWay = "a save of this image is under way";
    static constexpr const char* kReadOnlyTree = "the image's tree was read for reading alone; open it again to edit it";

    // What the next save does with the boot record.
    enum class BootAction { KeepAsIs, Load, Remove };

    bool Fail(const std::string& why)
    {
        lastError_ = why;
        return false;
    }

    bool CanEdit()
    {
        if (Saving()) {
            return Fail(kSaveUnderWay);
        }
        if (readOnlyTree_) {
            return Fail(kReadOnlyTree);
        }
        return true;
    }

    // The child of parent named like name (ASCII case aside), other than except.
    DirNode* Shown(DirNode* node) const
    {
        const auto hidden = [this](const DirEntry& entry) {
            return (shownTree_ == NameSource::Joliet && !entry.inJolietTree)
                || (shownTree_ == NameSource::Iso && !entry.inIsoTree);
        };
        while (node != nullptr && hidden(node->entry)) {
            node = tree_->GetNextSibling(node);
        }
        return node;
    }

    // The first child of parent of the name, other than except. Rock Ridge
    // names are POSIX names, told apart by case; without them the names
    // readers see compare without regard to case, unless onlyExact asks for
    // the very name.
    DirNode* FindNamed(DirNode* parent, std::string_view name, DirNode* except, bool onlyExact = false)
    {
        const bool exact = onlyExact || tree_->HasRockRidge();
        for (DirNode* child = tree_->GetFirstChild(parent); child != nullptr; child = tree_->GetNextSibling(child)) {
            if (child != except && (exact ? child->entry.name == name : SameEntryName(child->entry.name, name))) {
                return child;
            }
        }
        return nullptr;
    }

    // Runs an add; when it added something, the entry of the same name
    // that the folder held before goes. The old entry goes only once the new
    // one is in, so a failed add loses nothing. Without Rock Ridge a folder
    // may hold names that differ in case alone (a Joliet tree's "Readme.txt"
    // and "readme.txt"): the entries of the very name go (several only in a
    // damaged image, or versions of one file), else the first that differs
    // in case alone; the others are other files and stay.
    template <class Add>
    DirNode* Replacing(DirNode* parent, Add&& add)
    {
        replaced_ = false;
        if (!CanEdit()) {
            return nullptr;
        }
        DirNode* node = Forward(add());
        notices_.Take(tree_->Notices());
        if (node == nullptr) {
            return nullptr;
        }
        const auto remove = [&](DirNode* old) {
            Delete(parent, old);
            replaced_ = true;
        };
        while (DirNode* old = FindNamed(parent, node->entry.name, node, true)) {
            remove(old);
        }
        if (!replaced_) {
            if (DirNode* old = FindNamed(parent, node->entry.name, node, false)) {
                remove(old);
            }
        }
        return node;
    }

    // Deletes a node of the tree and what it holds. The boot record goes on
    // loading the boot image when its file goes, and the image's data then
    // stays with no file to list it or to tell its length: that is told, and
    // the length is kept for the save.
    void Delete(DirNode* parent, DirNode* node)
    {
        if (Contains(node, loadedBootFile_)) {
            loadedBootFile_ = nullptr;
        }
        if (bootAction_ == BootAction::KeepAsIs && bootImageSector_ != 0) {
            ForEachFileNode(tree_, [&](DirNode* file) {
                if (file->entry.bootMark && Contains(node, file)) {
                    if (file->entry.EntrySource == EntrySourceKind::Image) {
                        deletedBootExtent_ = file->entry.extent;
                        deletedBootLength_ = file->entry.size;
                    }
                    notices_.Add(false, "'" + file->entry.name + "' is the image's boot image: the boot record still "
                                            "loads it, so its data stays in the image without a name; remove the boot "
                                            "image to free it");
                }
            });
        }
        tree_->DeleteNode(parent, node);
    }

    static bool Contains(DirNode* ancestor, DirNode* node)
    {
        for (; node != nullptr; node = node->parent) {
            if (node == ancestor) {
                return true;
            }
        }
        return false;
    }

    // Only one file of the tree is the boot image.
    void ClearBootMarks(DirNode* except)
    {
        ForEachFileNode(tree_, [except](DirNode* node) {
            if (node != except) {
                node->entry.bootMark = false;
            }
        });
        if (except == nullptr || except != loadedBootFile_) {
            loadedBootFile_ = nullptr;
        }
    }

    // The file of the tree that is the image's boot catalog (images made by
    // the usual tools list it, as boot.cat or boot.catalog); null if none.
    DirNode* FindCatalogFile()
    {
        const std::uint32_t catalogSector =
            desc_->HasBootRecord() ? desc_->GetBootCatalogSector() : 0;
        DirNode* found = nullptr;
        if (catalogSector != 0) {
            ForEachFileNode(tree_, [&](DirNode* node) {
                const DirEntry& file = node->entry;
                if (found == nullptr && file.EntrySource == EntrySourceKind::Image && file.extent == catalogSector
                    && file.size != 0 && file.size <= kSectorBytes) {
                    found = node;
                }
            });
        }
        return found;
    }

    // The save's work on the job's thread, and what its writers' percent
    // reports go through (answers are not looked at: a save always ends).
    JobReport RunSave(JobControl& control);
    static bool SaveProgress(void* control, std::int32_t percent)
    {
        static_cast<JobControl*>(control)->Report(percent / 100.0);
        return true;
    }
    // The job's reports as percents to a progress function; none without one.
    static Job::OnProgress PercentReports(void* context, ProgressFn progress)
    {
        if (progress == nullptr) {
            return {};
        }
        return [context, progress](const JobProgress& report) {
            progress(context, ScaledProgress(report.fraction));
            return true;
        };
    }
    bool BeginSave(Job::OnProgress onProgress, Job::OnEnd onEnd);
    bool SaveEdits(void* context, ProgressFn callback, std::string& error);
    bool SaveOnce(void* context, ProgressFn callback, std::string& error, bool compact);
    // A pass of a compaction after the first failed: the image holds the
    // edits all the same, which an error notice says with why; false when
    // the pass could not even be rolled back.
    bool CompactionStoppedShort(std::string& error);
    bool WriteSave(void* context, ProgressFn callback, std::string& error);
    // Notes on what other tools put in the image and the save leaves as it
    // was, though it no longer tells the truth: checksums of the whole
    // image, a volume for Macs.
    void NoteWhatTheSaveLeavesBehind(const iso::VolumeSpace& space, std::uint32_t sectors);
    bool PlanBoot(const iso::VolumeSpace& space, std::optional<iso::BootCatalogSet>& catalog,
                  std::vector<KeptBootImage>& kept, std::string& error);
    // Zero sectors that end the image (its padding), at most most (300 KiB
    // by default). With udfAnchors, copies of the UDF anchor that name their
    // own sector count as padding too (genisoimage pads a UDF image with
    // them).
    std::uint32_t TrailingZeroSectors(std::uint32_t sectorCount, bool udfAnchors = false,
                                      std::uint32_t most = kMostPadding);
    static constexpr std::uint32_t kMostPadding = 150; // 300 KiB, what CD mastering tools pad with
    bool EndsInUdfAnchor(std::uint32_t sectorCount);
    bool WriteZeroSectors(std::uint32_t first, std::uint32_t count, std::string& error);
    bool MoveSectors(std::uint32_t from, std::uint32_t count, std::uint32_t to, std::string& error);

    DirNode* Forward(DirNode* node)
    {
        if (node == nullptr) {
            lastError_ = tree_->GetLastError();
        }
        return node;
    }

    // A file of the image whose data lies in Mode 2 Form 2 sectors, as its
    // record says and its first sector shows: its data are their 2324 bytes
    // each, of which the logical sectors carry only 2048 (a Video CD's video
    // read so would not play).
    bool ReadsAsForm2(const DirEntry& entry)
    {
        if (!entry.xaForm2 || entry.EntrySource != EntrySourceKind::Image || !entry.moreExtents.empty()
            || entry.size == 0 || entry.extent >= sector_->GetSectorCount()) {
            return false;
        }
        const auto [known, inserted] = form2Data_.try_emplace(entry.extent, false);
        if (inserted) {
            known->second = sector_->HasForm2Sectors(entry.extent, 1);
        }
        return known->second;
    }

    std::uint64_t DataSize(const DirEntry& entry)
    {
        if (entry.zisofs.Expandable()) {
            return entry.zisofs.size;
        }
        return ReadsAsForm2(entry) ? std::uint64_t{SectorsFor(entry.size)} * raw::kForm2DataSize : entry.size;
    }

    bool ReadCompressedData(const DirEntry& entry, std::uint64_t offset, std::uint8_t* out, std::uint32_t count)
    {
        if (!entry.zisofs.Expandable()) {
            return Fail("'" + entry.name + "' is stored compressed in a form other than zisofs with blocks of 32, 64 or "
                        "128 KiB, which cannot be expanded here");
        }
        std::string problem;
        const auto readStored = [&](std::uint64_t at, std::uint8_t* into, std::uint32_t bytes) {
            return ReadImageData(entry, at, into, bytes);
        };
        if (zisofs_.Read(entry.extent, entry.zisofs, entry.size, readStored, offset, out, count, problem)) {
            return true;
        }
        return problem.empty() ? false : Fail("the compressed data of '" + entry.name + "' is damaged: " + problem);
    }

    bool ReadForm2Data(const DirEntry& entry, std::uint64_t offset, std::uint8_t* out, std::uint32_t count)
    {
        const std::uint64_t first = offset / raw::kForm2DataSize;
        const std::uint64_t last = (offset + count - 1) / raw::kForm2DataSize;
        if (entry.extent + last >= sector_->GetSectorCount()) {
            return Fail("the data of '" + entry.name + "' lies beyond the end of the image");
        }
        const auto sectors = static_cast<std::uint32_t>(last - first + 1);
        form2Buffer_.resize(std::size_t{sectors} * raw::kForm2DataSize);
        if (!sector_->ReadForm2Data(entry.extent + static_cast<std::uint32_t>(first), form2Buffer_.data(), sectors)) {
            return Fail("cannot read the data of '" + entry.name + "': " + sector_->GetLastError());
        }
        std::memcpy(out, form2Buffer_.data() + offset % raw::kForm2DataSize, count);
        return true;
    }

    bool ReadImageData(const DirEntry& entry, std::uint64_t offset, std::uint8_t* out, std::uint32_t count)
    {
        const std::uint32_t imageSectors = sector_->GetSectorCount();
        std::uint64_t pieceStart = 0;
        for (const ExtentPiece& piece : entry.Pieces()) {
            const std::uint64_t pieceEnd = pieceStart + piece.length;
            if (count > 0 && offset < pieceEnd) {
                const std::uint64_t inPiece = offset - pieceStart;
                const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, pieceEnd - offset));
                const std::uint64_t firstSector = piece.extent + inPiece / kSectorBytes;
                const std::uint64_t lastSector = piece.extent + (inPiece + take - 1) / kSectorBytes;
                if (lastSector >= imageSectors
                    || (lastSector + 1 == imageSectors
                        && (inPiece + take - 1) % kSectorBytes >= LastSectorBytes(imageSectors))) {
                    return Fail("the data of '" + entry.name + "' lies beyond the end of the image");
                }
                if (!ReadSpan(static_cast<std::uint32_t>(firstSector), static_cast<std::uint32_t>(inPiece % kSectorBytes),
                              out, take)) {
                    return Fail("cannot read the data of '" + entry.name + "': " + sector_->GetLastError());
                }
                out += take;
                offset += take;
                count -= take;
            }
            pieceStart = pieceEnd;
        }
        return count == 0 || Fail("the data of '" + entry.name + "' is shorter than its size");
    }

    // Bytes of user data the file holds of the image's last sector: fewer
    // than a sector when the file was cut inside it (the sector layer reads
    // the missing rest as zeros, which are no file's data).
    std::uint32_t LastSectorBytes(std::uint32_t imageSectors)
    {
        IImageFile* file = sector_->GetFile();
        const std::int64_t start = UserDataStart(sector_->GetLayout(), imageSectors - 1);
        if (file == nullptr || start < 0) {
            return kSectorBytes;
        }
        const std::uint64_t length = file->GetLength();
        const auto first = static_cast<std::uint64_t>(start);
        return static_cast<std::uint32_t>(length > first ? std::min<std::uint64_t>(length - first, kSectorBytes) : 0);
    }

    // Copies count bytes that start lead bytes into sector first. Whole
    // sectors go straight into the caller's buffer; only a partial first and
    // last sector pass through a scratch sector.
    bool ReadSpan(std::uint32_t first, std::uint32_t lead, std::uint8_t* out, std::uint32_t count)
    {
        std::uint8_t scratch[kSectorBytes];
        if (lead != 0 || count < kSectorBytes) {
            if (!sector_->ReadSector(first, scratch)) {
                return false;
            }
            const std::uint32_t take = std::min(count, kSectorBytes - lead);
            std::memcpy(out, scratch + lead, take);
            out += take;
            count -= take;
            ++first;
        }
        const std::uint32_t whole = count / kSectorBytes;
        if (whole > 0) {
            if (!sector_->ReadSectors(first, out, whole)) {
                return false;
            }
            out += std::size_t{whole} * kSectorBytes;
            count -= whole * kSectorBytes;
            first += whole;
        }
        if (count > 0) {
            if (!sector_->ReadSector(first, scratch)) {
                return false;
            }
            std::memcpy(out, scratch, count);
        }
        return true;
    }

    bool ReadDiskData(const DirEntry& entry, std::uint64_t offset, std::uint8_t* out, std::uint32_t count)
    {
        platform::File file;
        if (!file.Open(entry.diskPath, platform::OpenMode::ReadOnly)) {
            return Fail(file.LastError());
        }
        if (file.ReadAt(offset, out, count) != count) {
            return Fail(file.LastError().empty() ? "'" + entry.diskPath + "' is shorter than when it was added"
                                                 : file.LastError());
        }
        return true;
    }

    // Size of the file of the tree that is marked as the boot image and
    // starts at the given sector; 0 when there is none.
    std::uint64_t BootFileSize(std::uint32_t first)
    {
        std::vector<DirNode*> pending{tree_->GetRoot()};
        while (!pending.empty()) {
            DirNode* node = pending.back();
            pending.pop_back();
            for (DirNode* child = tree_->GetFirstChild(node); child != nullptr; child = tree_->GetNextSibling(child)) {
                const DirEntry& entry = child->entry;
                if (entry.isDirectory) {
                    pending.push_back(child);
                } else if (entry.EntrySource == EntrySourceKind::Image && entry.extent == first && entry.size > 0) {
                    return entry.size;
                }
            }
        }
        return 0;
    }

    IIsoSector* sector_ = nullptr;
    IIsoDirEdit* tree_ = nullptr;
    IIsoDesc* desc_ = nullptr;
    IIsoData* data_ = nullptr;

    // The first sector behind everything the new metadata refers to, but
    // the metadata itself: files, boot images, the catalog.
    std::uint32_t LiveEnd(const std::vector<KeptBootImage>& kept, bool hasCatalog)
    {
        std::uint64_t end = std::max(hasCatalog ? std::uint64_t{catalogSector_} + 1 : 0, std::uint64_t{FilesEnd()});
        for (const KeptBootImage& image : kept) {
            end = std::max<std::uint64_t>(end, image.entry->loadRba + std::uint64_t{image.sectors});
        }
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, UINT32_MAX));
    }

    // The first sector behind the data of the tree's files.
    std::uint32_t FilesEnd()
    {
        std::uint64_t end = 0;
        ForEachFileNode(tree_, [&](DirNode* node) {
            const DirEntry& file = node->entry;
            if (file.size == 0) {
                return;
            }
            if (file.moreExtents.empty()) {
                end = std::max<std::uint64_t>(end, file.extent + std::uint64_t{SectorsFor(file.size)});
                return;
            }
            end = std::max<std::uint64_t>(end, file.extent + std::uint64_t{SectorsFor(file.extentLength)});
            for (const ExtentPiece& piece : file.moreExtents) {
                end = std::max<std::uint64_t>(end, piece.extent + std::uint64_t{SectorsFor(piece.length)});
            }
        });
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, UINT32_MAX));
    }

    // The sectors of data that metadata from sector 16 up to end would cover
    // and so push out of its way (the data pass's rule for what it must
    // move): files of the image, each data once and whole, and boot images
    // no file lists. UINT64_MAX when one of them cannot move at all, as far
    // as its record tells without reading its data: of 4 GiB or more, not
    // all in the image, or recorded as Mode 2 Form 2 data (a Video CD's
    // video); kept in place too, a file of several extents.
    std::uint64_t FrontMetadataCovers(std::uint32_t end, const std::vector<KeptBootImage>& kept)
    {
        std::uint64_t covered = 0;
        for (const KeptBootImage& image : kept) {
            if (CoveredByFront(image, end)) {
                covered += image.sectors;
            }
        }
        std::set<std::uint32_t> counted;
        ForEachFileNode(tree_, [&](DirNode* node) {
            const DirEntry& file = node->entry;
            if (file.EntrySource != EntrySourceKind::Image || file.size == 0
                || !file.DataTouches(iso::kSystemAreaSectors, end) || !counted.insert(file.extent).second) {
                return;
            }
            const bool movable = file.moreExtents.empty() && file.size <= UINT32_MAX && !file.xaForm2
                && file.DataWithin(sector_->GetSectorCount());
            covered = !movable || covered == UINT64_MAX ? UINT64_MAX : covered + SectorsFor(file.size);
        });
        return covered;
    }

    // Whether the new metadata from sector 16 up to frontEnd covers a boot
    // image that no file lists, which must then move.
    static bool CoveredByFront(const KeptBootImage& image, std::uint32_t frontEnd)
    {
        return image.owner == nullptr && image.first < frontEnd
            && image.first + std::uint64_t{image.sectors} > iso::kSystemAreaSectors;
    }

    // The end of what the data pass does not move: boot images that are no
    // file of the tree and a catalog that no file lists.
    std::uint32_t FixedEnd(const std::vector<KeptBootImage>& kept, bool hasCatalog, DirNode* catalogFile) const
    {
        std::uint64_t end = hasCatalog && catalogFile == nullptr ? std::uint64_t{catalogSector_} + 1 : 0;
        for (const KeptBootImage& image : kept) {
            if (image.owner == nullptr) {
                end = std::max<std::uint64_t>(end, image.first + std::uint64_t{image.sectors});
            }
        }
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, UINT32_MAX));
    }

    // The save layout.
    std::uint32_t mode_ = 0;
    // The metadata of the save under way, and where each folder goes.
    writer::VolumeLayout layout_;
    std::uint32_t catalogSector_ = 0;

    std::uint32_t bootImageSector_ = 0;
    BootAction bootAction_ = BootAction::KeepAsIs;
    std::uint32_t mediaType_ = 0;
    std::uint32_t bootInfoPatch_ = kBootInfoAutomatic; // for the boot image LoadBootImage added
    DirNode* loadedBootFile_ = nullptr; // the boot image file LoadBootImage added
    // The boot image's file deleted since the last save: how long the image
    // it leaves without a name is, which the save keeps whole.
    std::uint32_t deletedBootExtent_ = 0;
    std::uint64_t deletedBootLength_ = 0;
    NameSource nameSource_ = NameSource::Automatic;
    NameSource shownTree_ = NameSource::Automatic; // the names the loaded tree shows
    bool replaced_ = false;
    bool compactNext_ = false; // asked for the next save
    std::optional<iso::VolumeProperties> pendingProperties_; // for the next save
    bool compacting_ = false;  // the save under way slides every file down
    bool fillingHoles_ = false; // the saves of a compact before that one
    bool rollbackFailed_ = false; // the last failed save left its undo file to be applied
    std::uint32_t shrinkTo_ = 0; // the file's new length in sectors once the save counts
    std::vector<std::string> saveNotes_; // what the save under way tells once it counts
    // What the last save that counted told: of the several saves of one
    // compaction, the last one's notes describe the image.
    std::vector<std::string> committedNotes_;
    std::string lastError_;
    // Per first sector: whether the file there reads as Mode 2 Form 2 data (ReadsAsForm2).
    std::map<std::uint32_t, bool> form2Data_;
    std::vector<std::uint8_t> form2Buffer_;
    iso::ZisofsExpander zisofs_; // for reads of compressed files
    // Written by the save's work only while a save runs, read only while none does.
    NoticeList notices_;

    bool readOnlyTree_ = false; // loaded by LoadTreeForReading: no edits, no saves
    Job job_; // the save's worker; running while a save is under way
};

// ---------------------------------------------------------------------------
// The save

JobReport CIsoEdit::RunSave(JobControl& control)
{
    std::string error;
    committedNotes_.clear();
    // A save may move files: what was expanded is known by extent.
    zisofs_ = {};
    const bool saved = SaveEdits(&control, &CIsoEdit::SaveProgress, error);
    for (std::string& note : committedNotes_) {
        notices_.Add(false, std::move(note));
    }
    committedNotes_.clear();
    lastError_ = saved ? std::string() : (error.empty() ? std::string("the save failed") : error);
    if (saved && pendingProperties_) {
        // Written: the image's descriptors hold them now.
        desc_->SetVolumeProperties(nullptr);
        pendingProperties_.reset();
    }
    // The job leaves the running state before its final call, after which
    // nothing of the facade is touched: that call may destroy us.
    return saved ? JobReport::Done() : JobReport::Failed(lastError_);
}

bool CIsoEdit::BeginSave(Job::OnProgress onProgress, Job::OnEnd onEnd)
{
    if (Saving()) {
        return Fail(kSaveUnderWay);
    }
    if (sector_->GetSectorCount() == 0) {
        return Fail("no image is open");
    }
    if (readOnlyTree_) {
        return Fail(kReadOnlyTree);
    }
    std::string why;
    if (!job_.Start([this](JobControl& control) { return RunSave(control); }, std::move(onProgress), std::move(onEnd),
                    &why)) {
        return Fail("cannot start the save: " + why);
    }
    return true;
}

bool CIsoEdit::SaveEdits(void* context, ProgressFn callback, std::string& error)
{
    const bool compact = compactNext_;
    compactNext_ = false;
    if (!compact) {
        return SaveOnce(context, callback, error, false);
    }
    // Compacting. Saves that move files into holes below them write only
    // the data they move, with no undo copy of it (the holes are free, and
    // the places the files leave are free for the next save); they go on
    // while files move. A last save slides whatever still lies above a hole
    // down, under the journal; files already in place are not copied again.
    // The first pass writes the edits; once it counts, a later pass that
    // fails leaves the image saved, compacted part of the way.
    // A pass fills only the holes there were before it, and the places the
    // files it moves leave are free only once it counts: where no file
    // that ends the data fits a hole, the holes just creep up a few files
    // a pass, each a whole save. So after the first, a pass that does not
    // bring the end of the files' data down is the last.
    constexpr int kMostFillingPasses = 64;
    fillingHoles_ = true;
    std::uint32_t filesEnd = 0;
    for (int pass = 0; pass < kMostFillingPasses; ++pass) {
        if (!SaveOnce(context, callback, error, false)) {
            fillingHoles_ = false;
            return pass > 0 && CompactionStoppedShort(error);
        }
        const std::uint32_t end = FilesEnd();
        if (data_->GetMovedDownSectors() == 0 || (pass > 0 && end >= filesEnd)) {
            break;
        }
        filesEnd = end;
    }
    fillingHoles_ = false;
    return SaveOnce(context, callback, error, true) || CompactionStoppedShort(error);
}

bool CIsoEdit::CompactionStoppedShort(std::string& error)
{
    if (rollbackFailed_) {
        return false; // the image must be restored from its undo file first
    }
    notices_.Add(true, "the edits are saved, but compacting stopped short, leaving free space inside the volume: "
                           + error);
    error.clear();
    return true;
}

bool CIsoEdit::SaveOnce(void* context, ProgressFn callback, std::string& error, bool compact)
{
    compacting_ = compact;
    rollbackFailed_ = false;
    saveNotes_.clear();
    if (bootAction_ == BootAction::Load && loadedBootFile_ == nullptr) {
        error = "the boot image that was loaded is no longer in the tree; load it again";
        return false;
    }
    // The data writer gives the tree's files their new places as it goes;
    // a save that fails puts them back, so the tree again describes the
    // image as it is (rolled back).
    std::vector<std::pair<DirNode*, DataPlace>> placesBefore;
    ForEachFileNode(tree_, [&](DirNode* node) { placesBefore.emplace_back(node, DataPlace::Of(node->entry)); });

    if (!sector_->BeginSave()) {
        error = sector_->GetLastError();
        return false;
    }
    const bool written = WriteSave(context, callback, error);
    data_->SetPlacement({});
    if (written) {
        if (sector_->CommitSave()) {
            for (std::uint32_t i = 0; i < data_->GetWarningCount(); ++i) {
                notices_.Add(false, data_->GetWarning(i));
            }
            committedNotes_ = std::move(saveNotes_);
            saveNotes_.clear();
            // The new volume is in place; what lies behind it is nobody's.
            if (shrinkTo_ != 0) {
                if (!sector_->TruncateSectors(shrinkTo_)) {
                    notices_.Add(false, std::string("the edits are saved, but the image keeps its length: ")
                                           + sector_->GetLastError());
                }
                shrinkTo_ = 0;
            }
            bootAction_ = BootAction::KeepAsIs;
            bootInfoPatch_ = kBootInfoAutomatic;
            loadedBootFile_ = nullptr;
            deletedBootExtent_ = 0;
            deletedBootLength_ = 0;
            bootImageSector_ = 0;
            mediaType_ = 0;
            if (desc_->HasBootRecord()) {
                bootImageSector_ = desc_->GetBootInfo(mediaType_);
            }
            // Folders now lie where the directory writer put them.
            const writer::LayoutPlan& plan = layout_.Plan();
            ForEachNode(tree_, true, [&plan](DirNode* node) {
                DirEntry& entry = node->entry;
                const writer::DirectoryPlace place =
                    plan.Find(node, entry.inIsoTree ? writer::TreeKind::Iso : writer::TreeKind::Joliet);
                entry.extent = place.extent;
                entry.size = place.size;
                entry.extentLength = place.size;
            });
            ShowNamesWritten(tree_, mode_ == writer::kJolietMode, notices_);
            return true;
        }
        error = std::string("cannot complete the save: ") + sector_->GetLastError();
    }
    for (auto& [node, place] : placesBefore) {
        place.Restore(node->entry);
    }
    if (!sector_->RollbackSave()) {
        rollbackFailed_ = true;
        error += std::string("; the image could not be put back as it was (") + sector_->GetLastError() +
                 "): open it again to restore it from its undo file";
    }
    return false;
}

bool CIsoEdit::PlanBoot(const iso::VolumeSpace& space, std::optional<iso::BootCatalogSet>& catalog,
                        std::vector<KeptBootImage>& kept, std::string& error)
{
    catalog.reset();
    kept.clear();
    if (bootAction_ == BootAction::Remove) {
        return true;
    }
    const bool hasRecord = desc_->HasBootRecord();
    if (bootAction_ == BootAction::KeepAsIs && !hasRecord) {
        return true;
    }
    if (hasRecord) {
        std::vector<std::uint8_t> bytes(kSectorBytes);
        iso::DecodeReport report;
        const std::uint32_t oldCatalog = desc_->GetBootCatalogSector();
        if (oldCatalog != 0 && sector_->ReadSector(oldCatalog, bytes.data())) {
            catalog = iso::DecodeBootCatalogSet(bytes, &report);
        }
        if (!catalog && bootAction_ == BootAction::KeepAsIs) {
            // Writing a catalog of what could be read would drop the rest.
            error = std::string("the image's boot catalog cannot be read whole (") +
                    (report.problem != nullptr ? report.problem
                                               : "its boot record names no catalog that checks out, or the boot image "
                                                 "the catalog names lies outside the image") +
                    "), so a save would lose boot entries; remove the boot image or load a new one first";
            return false;
        }
    }
    if (!catalog) {
        catalog.emplace(); // a validation entry for 80x86 PCs
    }
    if (bootAction_ == BootAction::Load) {
        // Only the default entry is replaced; the sections (an EFI entry,
        // say) stay as they are.
        // A loaded image boots a PC, and a PC's firmware skips a catalog
        // whose validation entry names another platform. The default entry
        // such a catalog had (an EFI-only image's) is the first entry of a
        // section of its platform from now on, so it stays bootable there.
        if (catalog->platformId != iso::kPlatformPc) {
            if (catalog->defaultEntry.loadRba != 0) {
                iso::BootSection section;
                section.platformId = catalog->platformId;
                section.entries.push_back(catalog->defaultEntry);
                catalog->sections.insert(catalog->sections.begin(), std::move(section));
            }
            catalog->platformId = iso::kPlatformPc;
        }
        iso::BootEntry loaded;
        loaded.mediaType = static_cast<std::uint8_t>(mediaType_);
        catalog->defaultEntry = loaded;
    }
    for (iso::BootEntry* entry : iso::BootEntriesOf(*catalog)) {
        if ((bootAction_ == BootAction::Load && entry == &catalog->defaultEntry) || entry->loadRba == 0) {
            continue;
        }
        KeptBootImage image;
        image.entry = entry;
        image.first = entry->loadRba;
        // A boot image that is a file of the tree moves with the file; one
        // that is not keeps its sectors: as many as its emulation gives, all
        // that may be its when its length cannot be told, or as the entry
        // loads.
        ForEachFileNode(tree_, [&](DirNode* node) {
            const DirEntry& file = node->entry;
            if (image.owner == nullptr && file.EntrySource == EntrySourceKind::Image && file.extent == image.first
                && file.size != 0 && file.moreExtents.empty()) {
                image.owner = node;
            }
        });
        if (image.owner != nullptr) {
            image.length = image.owner->entry.size;
        } else if (deletedBootLength_ != 0 && image.first == deletedBootExtent_) {
            image.length = deletedBootLength_;
        } else if (IsNoEmulation(*entry)) {
            // A loader hidden from the tree is longer than what the BIOS
            // loads of it; its boot-info-table tells how long.
            image.length = iso::BootFileLengthFromTable(*sector_, image.first);
        }
        if (image.length != 0) {
            image.sectors = SectorsFor(image.length);
        } else {
            image.sectors = iso::HiddenBootImageSectors(*sector_, *entry);
            const auto unsized = std::find_if(space.unsizedBootImages.begin(), space.unsizedBootImages.end(),
                                              [&](const iso::SectorRun& run) { return run.first == image.first; });
            if (image.sectors == 0 && unsized != space.unsizedBootImages.end()) {
                image.sectors = unsized->count;
            }
            if (image.sectors == 0) {
                image.sectors = std::max<std::uint32_t>(1, SectorsFor(std::uint64_t{entry->sectorCount} * 512));
            }
        }
        kept.push_back(image);
    }
    return true;
}

std::uint32_t CIsoEdit::TrailingZeroSectors(std::uint32_t sectorCount, bool udfAnchors, std::uint32_t most)
{
    if (sectorCount <= iso::kSystemAreaSectors + 1) {
        return 0;
    }
    const std::uint32_t tail = std::min(most, sectorCount - iso::kSystemAreaSectors - 1);
    std::vector<std::uint8_t> sectors(std::size_t{tail} * kSectorBytes);
    if (!sector_->ReadSectors(sectorCount - tail, sectors.data(), tail)) {
        return 0;
    }
    std::uint32_t padding = 0;
    for (std::uint32_t index = tail; index > 0; --index, ++padding) {
        const std::uint8_t* bytes = sectors.data() + std::size_t{index - 1} * kSectorBytes;
        const bool zero = std::all_of(bytes, bytes + kSectorBytes, [](std::uint8_t byte) { return byte == 0; });
        const std::uint32_t number = sectorCount - tail + index - 1;
        if (!zero
            && !(udfAnchors
                 && iso::udf::CheckDescriptorTag(bytes, kSectorBytes, iso::udf::kTagAnchor, number) == nullptr)) {
            break;
        }
    }
    return padding;
}

// Whether the last sector of the image is a UDF anchor that names itself.
bool CIsoEdit::EndsInUdfAnchor(std::uint32_t sectorCount)
{
    std::vector<std::uint8_t> bytes(kSectorBytes);
    return sectorCount > iso::udf::kAnchorSector + 1 && sector_->ReadSector(sectorCount - 1, bytes.data())
        && iso::udf::CheckDescriptorTag(bytes.data(), bytes.size(), iso::udf::kTagAnchor, sectorCount - 1) == nullptr;
}

bool CIsoEdit::WriteZeroSectors(std::uint32_t first, std::uint32_t count, std::string& error)
{
    const std::vector<std::uint8_t> zeros(std::size_t{count} * kSectorBytes, 0);
    if (!sector_->WriteSectors(zeros.data(), count, first)) {
        error = std::string("cannot write the image's padding: ") + sector_->GetLastError();
        return false;
    }
    return true;
}

bool CIsoEdit::MoveSectors(std::uint32_t from, std::uint32_t count, std::uint32_t to, std::string& error)
{
    constexpr std::uint32_t kBatch = 256;
    std::vector<std::uint8_t> buffer(std::size_t{std::min(count, kBatch)} * kSectorBytes);
    // The sectors keep their Mode 2 subheaders where the image stores them.
    const bool subheaders = sector_->HasSubheaders();
    std::vector<std::uint8_t> heads(subheaders ? std::size_t{std::min(count, kBatch)} * kSubheaderBytes : 0);
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t now = std::min(kBatch, count - done);
        if (!sector_->ReadSectors(from + done, buffer.data(), now)
            || (subheaders && !sector_->ReadSubheaders(from + done, now, heads.data()))
            || !(subheaders ? sector_->WriteSectorsWithSubheaders(buffer.data(), heads.data(), now, to + done)
                            : sector_->WriteSectors(buffer.data(), now, to + done))) {
            error = std::string("cannot move a boot image: ") + sector_->GetLastError();
            return false;
        }
        done += now;
    }
    return true;
}

// Where a file with data lay before the save placed data; a file whose
// data is not in the image yet (added) has no place there.
struct FilePlace {
    DirNode* node = nullptr;
    std::uint32_t extent = 0;
    bool inImage = false;
};

std::vector<FilePlace> FilePlacesOf(IIsoDirEdit* tree)
{
    std::vector<FilePlace> places;
    ForEachFileNode(tree, [&](DirNode* node) {
        const DirEntry& file = node->entry;
        if (file.size != 0) {
            places.push_back({node, file.extent, file.EntrySource == EntrySourceKind::Image});
        }
    });
    return places;
}

// The sectors that the save gave to something they did not hold before:
// the new folders (from first to end), data added or moved (a catalog or
// boot image that a file lists among them), a moved catalog no file lists
// and moved boot images no file lists. Sorted, none overlapping.
class TakenSectors {
public:
    TakenSectors(std::uint32_t first, std::uint32_t end) { Add(first, end); }

    void Add(std::uint32_t first, std::uint32_t end)
    {
        if (first < end) {
            ranges_.emplace_back(first, end);
        }
    }
    void Finish()
    {
        std::sort(ranges_.begin(), ranges_.end());
        std::vector<std::pair<std::uint32_t, std::uint32_t>> merged;
        for (const auto& range : ranges_) {
            if (!merged.empty() && range.first <= merged.back().second) {
                merged.back().second = std::max(merged.back().second, range.second);
            } else {
                merged.push_back(range);
            }
        }
        ranges_ = std::move(merged);
    }
    bool Holds(std::uint32_t sector) const
    {
        auto next = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(sector, UINT32_MAX));
        return next != ranges_.begin() && sector < std::prev(next)->second;
    }

private:
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;
};

// The data the save moved that a partition of a hybrid image may lie on:
// files, and boot images that are no file.
std::vector<hybrid::MovedRange> MovedData(const std::vector<FilePlace>& before, const std::vector<KeptBootImage>& kept)
{
    std::vector<hybrid::MovedRange> moved;
    for (const FilePlace& place : before) {
        if (place.inImage && place.node->entry.moreExtents.empty() && place.node->entry.extent != place.extent) {
            const bool boot = std::any_of(kept.begin(), kept.end(),
                                          [&](const KeptBootImage& image) { return image.owner == place.node; });
            moved.push_back({place.extent, SectorsFor(place.node->entry.size), place.node->entry.extent, boot});
        }
    }
    for (const KeptBootImage& image : kept) {
        if (image.owner == nullptr && image.entry->loadRba != image.first) {
            moved.push_back({image.first, image.sectors, image.entry->loadRba, true});
        }
    }
    return moved;
}

void CIsoEdit::NoteWhatTheSaveLeavesBehind(const iso::VolumeSpace& space, std::uint32_t sectors)
{
    const iso::SectorReader read = [this](std::uint32_t number, std::uint8_t* buffer) {
        return sector_->ReadSector(number, buffer);
    };
    const auto startsWith = [](const auto& bytes, std::string_view text) {
        return std::equal(text.begin(), text.end(), bytes.begin());
    };
    // A checksum implanted in the primary descriptor for media checks covers
    // the whole image.
    const auto primary = iso::ReadVolumeDescriptor(read, sectors, iso::kFirstDescriptorSector);
    if (primary && startsWith(primary->applicationUse, "ISO MD5SUM = ")) {
        saveNotes_.push_back("the image carries an MD5 checksum for media checks in its primary descriptor (as"
                             " Fedora and RHEL install images do); it no longer matches the saved image, so a"
                             " media check of it fails until the checksum is implanted anew");
    }
    // So do xorriso's checksum tags, the first right behind the descriptor
    // set (the save writes its metadata over it): the tag of the session's
    // own set there, or, in xorriso's native layout, that of the copy at 16
    // of a session starting at 32. The checksums of single files lie in an
    // array behind the file data, which the save does not keep.
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, sectors);
    std::vector<std::uint8_t> tag(iso::kSectorSize);
    if (set.terminatorFound && read(iso::kFirstDescriptorSector + set.descriptorCount, tag.data())
        && (startsWith(tag, "libisofs_sb_checksum_tag_v1") || startsWith(tag, "libisofs_rlsb32_checksum_tag_v1"))) {
        saveNotes_.push_back("the image carries xorriso's MD5 checksum tags; they do not cover this save, so"
                             " xorriso's check of the image may report a mismatch or find no checksums of its"
                             " files");
    }
    // An ISO 9660:1999 tree of its own (xorriso -iso-level 4) is not
    // edited: its descriptor is given the saved primary tree.
    if (primary && set.enhancedRoot && *set.enhancedRoot != primary->rootRecord.extent) {
        saveNotes_.push_back("the image's ISO 9660:1999 tree (that of its enhanced descriptor) is replaced by"
                             " the saved primary tree: readers of that tree see the primary's names instead of"
                             " its own");
    }
    if (!space.macVolume.empty()) {
        saveNotes_.push_back("the image's " + space.macVolume + " is kept as it was: a Mac that reads it sees"
                             " the files it held before this save");
    }
}

bool CIsoEdit::WriteSave(void* context, ProgressFn callback, std::string& error)
{
    const std::uint32_t oldSectors = sector_->GetSectorCount();
    // A UDF file system is laid out anew for the edited tree, at the places
    // the volume had where they take it; the image ends in its closing
    // anchor, whose sector the save may give to data: the new anchor ends
    // the new volume.
    const bool udf = desc_->GetUdfNsrVersion() != 0;
    const std::uint32_t oldEnd = udf && EndsInUdfAnchor(oldSectors) ? oldSectors - 1 : oldSectors;
    const std::uint32_t tailPadding = TrailingZeroSectors(oldEnd, udf);
    // The partition tables of a hybrid image and the places of the files
    // before anything moves; step 4 makes the tables follow.
    const std::optional<hybrid::HybridTablesBefore> hybridBefore = hybrid::ReadHybridTables(*sector_);
    const std::vector<FilePlace> placesBefore = FilePlacesOf(tree_);
    std::uint32_t replacedMediaType = 0;
    const std::uint32_t replacedBootImage =
        bootAction_ == BootAction::Load && desc_->HasBootRecord() ? desc_->GetBootInfo(replacedMediaType) : 0;
    // What the image's metadata refers to before anything is written: the
    // rest of the volume may take new and moved data.
    iso::VolumeSpace space = iso::ScanVolumeSpace(*sector_);
    if (udf && (!space.udf || !space.udfRefusal.empty())) {
        error = "the image also carries a UDF file system, which a save cannot keep in step with the edit: "
            + (space.udfRefusal.empty() ? space.why : space.udfRefusal);
        return false;
    }
    if (udf && hybridBefore) {
        error = "the image carries both partition tables and a UDF file system; a save cannot keep both in step "
                "with the edit";
        return false;
    }
    if (compacting_ && !space.known) {
        error = "the image cannot be compacted: its free space cannot be told (" + space.why + ")";
        return false;
    }
    // Where the volume's session header goes in xorriso's chain of sessions
    // of an image file, read before anything is written.
    const std::optional<iso::SessionHeaderPlace> sessionHeader = udf || hybridBefore
        ? std::nullopt
        : iso::NextSessionHeader([this](std::uint32_t number,
                                        std::uint8_t* buffer) { return sector_->ReadSector(number, buffer); },
                                 oldSectors);
    mode_ = static_cast<std::uint32_t>(desc_->GetJolietMode());

    std::optional<iso::BootCatalogSet> catalog;
    std::vector<KeptBootImage> keptImages;
    if (!PlanBoot(space, catalog, keptImages, error)) {
        return false;
    }
    // A boot image of unknown length that the save does not keep (the boot
    // record is removed, or a new image is loaded in its place) no longer
    // leaves the free space unknown.
    if (std::none_of(keptImages.begin(), keptImages.end(), [&](const KeptBootImage& image) {
            return std::any_of(space.unsizedBootImages.begin(), space.unsizedBootImages.end(),
                               [&](const iso::SectorRun& run) { return run.first == image.first; });
        })) {
        space.DropUnsizedBootImages();
    }
    const BootOption bootOption = catalog ? kBootAlways : kBootNone;

    // 1. Layout of the new metadata. A boot record added to an image that
    // had none makes the descriptor set a sector longer than the image's,
    // and everything else goes behind it; a UDF file system goes right
    // behind the descriptors.
    // A hybrid image's first partition may hold a copy of the metadata,
    // which is laid out anew beside the volume's.
    DescriptorSetPlan set;
    set.mode = mode_;
    set.bootOption = bootOption;
    if (hybridBefore && hybridBefore->copy) {
        const hybrid::FileSystemCopy& copy = *hybridBefore->copy;
        const bool coversVolume = copy.offset + std::uint64_t{copy.volumeSectors} >= hybridBefore->volumeSectors;
        layout_.SetPartitionCopy(copy.offset, coversVolume ? 0 : copy.volumeSectors);
    } else {
        layout_.SetPartitionCopy(0);
    }
    layout_.SetUdfPlacement(udf ? space.udfPlacement : iso::udf::Placement{});
    layout_.SetMetadataStart(0);
    if (!layout_.Measure(*desc_, set, udf, writer::TreeAccess(tree_), error)) {
        return false;
    }

    // 2. The catalog's sector and a loaded boot image right behind the
    // directories; everything from 16 up to firstFree will be overwritten.
    // A catalog that the tree lists as a file stays that file: the new
    // catalog goes where the file's data is after the data pass.
    // A catalog no file lists keeps its sector when the new metadata does
    // not reach it (it is rewritten there).
    DirNode* catalogFile = catalog ? FindCatalogFile() : nullptr;
    const std::uint32_t loadedSectors = bootAction_ == BootAction::Load ? SectorsFor(loadedBootFile_->entry.size) : 0;
    const std::uint32_t oldCatalog = desc_->HasBootRecord() ? desc_->GetBootCatalogSector() : 0;
    const auto newCatalogSectors = [&](std::uint32_t overwrittenEnd) {
        const bool stays = oldCatalog >= overwrittenEnd && oldCatalog < oldSectors;
        return catalog && catalogFile == nullptr && !stays ? 1u : 0u;
    };
    // Where appended data begins: behind everything the file holds (what
    // lies beyond the tree, a boot image or a partition table's backup,
    // stays). The padding that ends the volume is no data: what nothing
    // refers to of it is taken over, and the image ends in the same padding
    // behind the appended data again.
    std::uint32_t appendFrom = oldEnd;
    if (!hybridBefore && tailPadding != 0 && oldEnd <= space.volumeSectors) {
        const iso::SectorSet unreferenced = space.Free();
        while (appendFrom > oldEnd - tailPadding && unreferenced.Contains(appendFrom - 1)) {
            --appendFrom;
        }
    }
    // What new metadata, and compacting the files too, may be written over:
    // the free space, and also the old metadata and the data of deleted
    // files (overwritten under the journal, like every byte the old image
    // refers to). Only the files of the tree, the boot images that no file
    // lists (one whose file was deleted among them), what lies beside the
    // trees, what lies in front of front and the run from runStart to runEnd
    // stay.
    const auto reusableRoom = [&](std::uint32_t front, std::uint32_t runStart, std::uint32_t runEnd) {
        iso::SectorSet taken = space.beside;
        taken.Add(0, front);
        taken.Add(runStart, runEnd - runStart);
        for (const KeptBootImage& image : keptImages) {
            if (image.owner == nullptr) {
                taken.Add(image.first, image.sectors);
            }
        }
        ForEachFileNode(tree_, [&](DirNode* node) {
            const DirEntry& file = node->entry;
            if (file.EntrySource != EntrySourceKind::Image || file.size == 0) {
                return;
            }
            for (const ExtentPiece& piece : file.Pieces()) {
                taken.Add(piece.extent, SectorsFor(piece.length));
            }
        });
        iso::SectorSet room = taken.Complement(0, space.volumeSectors);
        if (tailPadding != 0 && oldEnd >= tailPadding) {
            room.Remove(oldEnd - tailPadding, tailPadding);
        }
        return room;
    };
    // New metadata that would cover files (or a boot image) lying right
    // behind the old metadata goes instead into the first run of reusable
    // room that holds it, else over the room that ends the data (where it
    // was placed before; it may outgrow that into the padding), else behind
    // the data: the files stay where they are (moving them copies them
    // whole, a first file of gigabytes included, and one of 4 GiB or more
    // cannot move at all; compacting, one moved out of the way would go
    // behind the data and the image grow). Only the descriptors and the UDF
    // volume structures stay in front. Not where the image ties its
    // metadata to its place (a partition's copy of it, a chain of sessions,
    // a volume for Macs), nor for a new boot image, which goes right behind
    // the metadata. Behind the data, the metadata goes behind what the save
    // appends as well, so that it ends the data and the next save can lay
    // it out again in its own place, growing into the padding.
    // Except in a compaction, the metadata stays in front when placing it
    // elsewhere would grow the image by more than four times what the
    // covered files take: the whole of it behind the data against a few
    // small files in its way (the file entries of a UDF bridge of many files
    // take tens of megabytes). Moving a file writes it twice (its undo copy
    // and its new place) besides growing the image by as much at most, so
    // below that the files stay.
    // A boot image that no file lists would move behind the data; on a UDF
    // volume, data behind the last thing its tree refers to makes 7-Zip take
    // the volume for a damaged one. There the metadata goes elsewhere
    // instead, whatever it grows the image by, and with the free space not
    // known (the image's length cannot be told, say) behind the data.
    const bool mayPlaceElsewhere = !hybridBefore && space.earlierSessions.empty() && !sessionHeader
        && space.macHeld.Empty() && bootAction_ != BootAction::Load;
    const std::uint32_t coverEnd = layout_.End() + newCatalogSectors(layout_.End());
    const bool keepHiddenBoot = mayPlaceElsewhere && udf
        && std::any_of(keptImages.begin(), keptImages.end(),
                       [&](const KeptBootImage& image) { return CoveredByFront(image, coverEnd); });
    bool behindData = false;
    const std::uint64_t covered =
        mayPlaceElsewhere && (space.known || keepHiddenBoot) ? FrontMetadataCovers(coverEnd, keptImages) : 0;
    if (covered != 0) {
        const std::uint32_t needed = layout_.End() - layout_.FixedFront() + newCatalogSectors(layout_.FixedFront());
        iso::SectorSet room = space.known ? reusableRoom(layout_.FixedFront(), 0, 0) : iso::SectorSet{};
        room.Remove(appendFrom, UINT32_MAX - appendFrom);
        const auto runs = room.Runs();
        const auto fits = std::find_if(runs.begin(), runs.end(),
                                       [needed](const iso::SectorRun& run) { return run.count >= needed; });
        const bool endsTheData = !runs.empty() && runs.back().End() == appendFrom;
        // How much placing it elsewhere grows the image.
        std::uint64_t growth = fits != runs.end() ? 0 : needed;
        if (fits == runs.end() && endsTheData) {
            const std::uint64_t end = std::uint64_t{runs.back().first} + needed;
            growth = end > appendFrom ? end - appendFrom : 0;
        }
        if (compacting_ || covered == UINT64_MAX || growth <= 4 * covered || keepHiddenBoot) {
            // Compacting, behind the data as it ends after the pass.
            behindData = compacting_ || (fits == runs.end() && !endsTheData);
            layout_.SetMetadataStart(behindData ? appendFrom : fits != runs.end() ? fits->first : runs.back().first);
            if (!layout_.Measure(*desc_, set, udf, writer::TreeAccess(tree_), error)) {
                return false;
            }
        }
    }
    const bool placedElsewhere = layout_.MetadataStart() != layout_.FixedFront();
    std::uint32_t metadataEnd = layout_.End();
    const bool reserveCatalog =
        newCatalogSectors(placedElsewhere ? layout_.FixedFront() : metadataEnd + loadedSectors) != 0;
    const bool catalogStays = catalog && catalogFile == nullptr && !reserveCatalog;
    catalogSector_ = catalogStays ? oldCatalog : reserveCatalog ? metadataEnd : 0;
    std::uint32_t firstFree = metadataEnd + (reserveCatalog ? 1 : 0);
    std::uint32_t bootPlace = 0;
    if (bootAction_ == BootAction::Load) {
        bootPlace = firstFree;
        firstFree += loadedSectors;
    }
    // Earlier sessions of the file keep their sectors: the new metadata
    // (and a boot image loaded behind it) may not reach the first of them.
    if (!space.earlierSessions.empty() && firstFree > space.earlierSessions.front()) {
        error = "the saved folders and tables would overwrite the image's earlier session at sector "
            + std::to_string(space.earlierSessions.front()) + " (the file holds "
            + std::to_string(space.earlierSessions.size()) + " session(s) of xorriso's before the one shown)";
        return false;
    }
    // Nor what a volume for Macs holds: it cannot move, its files are where
    // its catalog says.
    for (const iso::SectorRun& run : space.macHeld.Runs()) {
        if (run.first < firstFree && run.End() > iso::kFirstDescriptorSector) {
            error = "the saved folders and tables would reach sector "
                + std::to_string(std::max(run.first, iso::kFirstDescriptorSector)) + ", where the image's "
                + space.macVolume + " keeps its files and catalog, which cannot move";
            return false;
        }
    }
    NoteWhatTheSaveLeavesBehind(space, oldSectors);
    // What is overwritten from sector 16 on: everything up to firstFree, or
    // with the metadata placed elsewhere only the descriptors and the UDF
    // volume structures in front, and the run of the metadata (and a new
    // catalog behind it) from metadataStart to firstFree.
    const std::uint32_t frontEnd = placedElsewhere ? layout_.FixedFront() : firstFree;
    std::uint32_t metadataStart = layout_.MetadataStart();

    // 3. Mark what the new metadata covers, to be moved. Free space lies
    // behind the new metadata and in front of the image's padding (data in
    // the padding would end up in a disc's last sectors); nothing of it is
    // kept for a rollback, since nothing refers to it.
    // A compaction cuts a file that holds only zeros behind its volume too
    // (xorriso pads the file of a volume it writes so): they are no data. A
    // file with more behind its volume keeps it (a Video CD's video).
    constexpr std::uint32_t kMostZerosBehind = 2048; // 4 MiB
    const std::uint32_t behind = space.volumeSectors < oldEnd ? oldEnd - space.volumeSectors : 0;
    const bool onlyZerosBehind = compacting_ && !udf && oldSectors == oldEnd && behind != 0
        && behind <= kMostZerosBehind && TrailingZeroSectors(oldEnd, false, behind) == behind;
    bool mayShrink = !hybridBefore && space.known && (oldSectors <= space.volumeSectors || onlyZerosBehind);
    iso::SectorSet free = space.Free();
    free.Remove(0, frontEnd);
    free.Remove(metadataStart, firstFree - metadataStart);
    if (tailPadding != 0 && oldEnd >= tailPadding) {
        free.Remove(oldEnd - tailPadding, tailPadding);
    }
    for (const iso::SectorRun& run : free.Runs()) {
        if (!sector_->ForgoUndo(run.first, run.count)) {
            error = std::string("cannot prepare the save: ") + sector_->GetLastError();
            return false;
        }
    }
    if (compacting_) {
        free = reusableRoom(frontEnd, metadataStart, firstFree);
    }
    // The old closing anchor's sector is where appended data or the new
    // anchor begins, never a place for a file.
    free.Remove(oldEnd, oldSectors - oldEnd);
    DataPlacement placement;
    placement.free = std::move(free);
    placement.compact = compacting_;
    placement.fillHoles = fillingHoles_;
    // An ordinary save leaves every file it was not asked to change where it
    // lies and gives back only the free sectors that end the volume (when
    // the end may be given back), until the holes inside take more than a
    // third of it (padding aside): then the files that end it move down into
    // the holes where they fit too, so that edit after edit does not
    // leave an image mostly holes. A compaction always moves them.
    const std::uint64_t dataSectors = space.volumeSectors > tailPadding ? space.volumeSectors - tailPadding : 0;
    const bool holey = placement.free.Count() * 3 > dataSectors;
    placement.pullTail = mayShrink && (compacting_ || fillingHoles_ || holey);
    placement.fixedEnd = std::max(firstFree, FixedEnd(keptImages, catalog.has_value(), catalogFile));
    data_->SetPlacement(placement);
    data_->SetBootImagePlace(bootPlace);
    if (!data_->RescueData(sector_, tree_, frontEnd)) {
        error = data_->GetLastError();
        return false;
    }

    // 4. Append new and moved data from appendFrom, never below the new
    // metadata.
    const std::uint32_t appendStart = behindData ? appendFrom : std::max(firstFree, appendFrom);
    if (!data_->WriteData(tree_, appendStart, sector_, context, callback)) {
        error = data_->GetLastError();
        return false;
    }
    if (behindData) {
        layout_.SetMetadataStart(compacting_ ? std::max(LiveEnd(keptImages, catalogStays), layout_.FixedFront())
                                             : std::max(data_->GetEndSector(), appendFrom));
        if (!layout_.Measure(*desc_, set, udf, writer::TreeAccess(tree_), error)) {
            return false;
        }
        metadataStart = layout_.MetadataStart();
        metadataEnd = layout_.End();
        catalogSector_ = reserveCatalog ? metadataEnd : catalogSector_;
        firstFree = metadataEnd + (reserveCatalog ? 1 : 0);
    }
    // With nothing appended, the volume still ends where it did, padding and
    // all; metadata placed behind the data, or reaching into the padding,
    // counts as appended.
    const bool appended = data_->GetEndSector() > appendStart || (placedElsewhere && firstFree > appendFrom);
    std::uint32_t end = behindData ? firstFree : appended ? data_->GetEndSector() : std::max(firstFree, oldEnd);
    // A first partition that ends in front of partitions appended to the
    // volume (its copy of the metadata, or the partition itself, which does
    // not grow over them) cannot reach what is appended behind those.
    const bool keptPartition = hybridBefore && !hybridBefore->copy && hybridBefore->keptPartitionEnd != 0;
    if (hybridBefore && (hybridBefore->copy || keptPartition)) {
        const std::uint32_t reach = keptPartition
            ? hybridBefore->keptPartitionEnd : hybridBefore->copy->offset + hybridBefore->copy->volumeSectors;
        std::uint32_t outOfReach = 0;
        ForEachFileNode(tree_, [&](DirNode* node) {
            const auto pieces = node->entry.Pieces();
            outOfReach += std::any_of(pieces.begin(), pieces.end(), [reach](const ExtentPiece& piece) {
                return piece.length != 0 && std::uint64_t{piece.extent} + SectorsFor(piece.length) > reach;
            });
        });
        if ((keptPartition || reach < hybridBefore->volumeSectors) && outOfReach != 0) {
            saveNotes_.push_back(std::string("the image's first partition ")
                                 + (hybridBefore->copy ? "holds a copy of its file system that ends" : "ends")
                                 + " in front of the partitions appended to it: " + std::to_string(outOfReach)
                                 + " file(s) lie behind those and cannot be read through that partition (the disc"
                                   " and the whole disk read them)");
        }
    }
    for (KeptBootImage& image : keptImages) {
        if (image.owner != nullptr) {
            image.entry->loadRba = image.owner->entry.extent;
        } else if (CoveredByFront(image, frontEnd)) {
            if (!MoveSectors(image.first, image.sectors, end, error)) {
                return false;
            }
            image.entry->loadRba = end;
            end += image.sectors;
        }
        // A loader that knew its old place is told its new one.
        if (IsNoEmulation(*image.entry) && image.length != 0 && image.entry->loadRba != image.first
            && !iso::MoveBootInfo(*sector_, image.first, image.entry->loadRba, image.length, error)) {
            return false;
        }
    }
    if (catalogFile != nullptr) {
        catalogSector_ = catalogFile->entry.extent;
    }
    if (bootAction_ == BootAction::Load) {
        std::uint32_t bootSize = 0;
        const std::uint32_t bootExtent = data_->GetBootInfo(bootSize);
        if (bootExtent != bootPlace) {
            error = "the loaded boot image was not written where its sectors were reserved";
            return false;
        }
        catalog->defaultEntry.loadRba = bootExtent;
        if (mediaType_ == kMediaNoEmulation
            && !iso::WriteBootInfo(*sector_, bootExtent, loadedBootFile_->entry.size, bootInfoPatch_, error)) {
            return false;
        }
    }
    // Data appended into or behind the image's padding would lie in the
    // last sectors of a disc, where some readers fail (GRUB booting from a
    // CD could not read a file there): the image ends in the same padding
    // again.
    if (appended && tailPadding != 0) {
        if (!WriteZeroSectors(end, tailPadding, error)) {
            return false;
        }
        end += tailPadding;
    }
    // Free space at the end of the volume is given back: the volume ends
    // behind what the new metadata refers to, in the same padding, and the
    // file is cut there once the save counts. Not for an image that holds
    // more than its volume, or whose partition tables describe it.
    shrinkTo_ = 0;
    const std::uint32_t macEnd = space.macHeld.Empty()
        ? 0 : static_cast<std::uint32_t>(space.macHeld.Runs().back().End());
    // Not knowing the free space (a loader of unknown length may read any
    // sector nothing else refers to), the end is given back only when all
    // of what is cut held what the old metadata referred to: the data of
    // deleted files, old folders. A UDF volume that ended in the data of a
    // deleted file would end in data that no file refers to, which 7-Zip
    // takes for damage.
    const bool mayShrinkReferenced = !mayShrink && !compacting_ && !hybridBefore && space.referencesKnown
        && oldSectors <= space.volumeSectors;
    const std::uint32_t liveEnd = !appended && (mayShrink || compacting_ || mayShrinkReferenced)
        ? std::max({LiveEnd(keptImages, catalog.has_value()), firstFree, macEnd}) : end;
    if (mayShrinkReferenced && std::uint64_t{liveEnd} + tailPadding < end) {
        iso::SectorSet referenced = space.used;
        for (const iso::SectorRun& run : space.beside.Runs()) {
            referenced.Remove(run.first, run.count);
        }
        mayShrink = referenced.Complement(liveEnd, oldEnd - tailPadding).Empty();
    }
    if (!mayShrink && !mayShrinkReferenced && std::uint64_t{liveEnd} + tailPadding < end) {
        saveNotes_.push_back(std::string("the image keeps its size (")
                             + (hybridBefore ? "partition tables in its system area describe it as a disk of that size"
                                             : "the file holds more than its volume, and what lies behind the volume"
                                               " stays")
                             + "): its free space stays inside the volume, for later additions");
    }
    // The volume ends where the file does, but for padding that lay behind
    // it, which stays behind it.
    std::uint32_t paddingBehindVolume = 0;
    if (mayShrink && std::uint64_t{liveEnd} + tailPadding < end) {
        if (tailPadding != 0 && !WriteZeroSectors(liveEnd, tailPadding, error)) {
            return false;
        }
        end = liveEnd + tailPadding;
        shrinkTo_ = end;
        paddingBehindVolume = onlyZerosBehind ? tailPadding : 0;
    }
    // A compaction that put the metadata behind the data may end the volume
    // lower than it did.
    if (behindData && compacting_ && mayShrink && end < oldEnd) {
        shrinkTo_ = end;
    }
    // A file that runs on behind its volume (xorriso pads the file of a
    // volume it writes, and keeps its session chain by the volume's size;
    // a Video CD's volume is its first track, and its video lies in the
    // track behind it) keeps that size when the save puts nothing behind
    // the file's end: the volume does not take in sectors it never held.
    // What the save placed lies in the volume's free space or below
    // firstFree; what lay behind the volume before the save stays there
    // and is no reason for the volume to grow.
    if (shrinkTo_ == 0 && !udf && !hybridBefore && space.volumeSectors != 0 && space.volumeSectors < oldEnd
        && !appended) {
        end = std::max(space.volumeSectors, firstFree);
    }
    // The closing UDF anchor is the volume's last sector.
    if (udf) {
        if (end == UINT32_MAX) {
            error = "the image would be larger than an ISO 9660 volume can be (2^32 sectors)";
            return false;
        }
        ++end;
        if (shrinkTo_ != 0) {
            shrinkTo_ = end;
        }
    }
    // A hybrid image that ended on a whole cylinder of its partition table
    // (1 MiB: 64 heads of 32 sectors, as isohybrid lays it out) ends on one
    // again, so that its partitions stay cylinder-aligned.
    constexpr std::uint32_t kCylinderSectors = 64 * 32 * 512 / kSectorBytes;
    if (hybridBefore && appended && oldSectors % kCylinderSectors == 0 && end % kCylinderSectors != 0) {
        const std::uint32_t aligned = end + (kCylinderSectors - end % kCylinderSectors);
        if (!WriteZeroSectors(end, aligned - end, error)) {
            return false;
        }
        end = aligned;
    }
    // The partitions that covered the volume grow over the new data; a
    // backup GPT becomes the volume's last blocks, so the end may grow.
    std::vector<hybrid::MovedRange> moved = hybridBefore ? MovedData(placesBefore, keptImages)
                                                         : std::vector<hybrid::MovedRange>{};
    // A loaded loader takes the place of the default boot image for the
    // MBR's boot code too, unless another catalog entry keeps the old image:
    // the MBR boots what the disc boots. Left naming the old image, it would
    // name free sectors (the old image replaced) or a file that is no boot
    // image any more, which the next save may move without it following.
    if (hybridBefore && replacedBootImage != 0 && mediaType_ == kMediaNoEmulation
        && std::none_of(keptImages.begin(), keptImages.end(),
                        [&](const KeptBootImage& image) { return image.first == replacedBootImage; })) {
        moved.push_back({replacedBootImage, SectorsFor(loadedBootFile_->entry.size), catalog->defaultEntry.loadRba,
                         true});
    }
    if (hybridBefore && !hybrid::WriteGrownTables(*sector_, *hybridBefore, firstFree, moved, end, error)) {
        return false;
    }
    // xorriso finds the sessions of an image file by their headers and takes
    // sector 16 for a copy of the last one's: a volume that now reaches past
    // the chain's last session gets a header of its own behind it (one a
    // save here wrote is rewritten), in the room between the last session
    // and the data appended behind the file's old end.
    std::optional<std::uint32_t> headerAt;
    if (sessionHeader && (sessionHeader->rewritten || end > sessionHeader->chainEnd)) {
        const std::uint64_t headerEnd =
            std::uint64_t{sessionHeader->start} + iso::kFirstDescriptorSector + layout_.DescriptorSectors();
        if (headerEnd <= appendStart && headerEnd <= end) {
            headerAt = sessionHeader->start;
        } else {
            saveNotes_.push_back("the file's chain of xorriso's sessions no longer leads to the saved volume (no room"
                                 " for its session header at sector "
                                 + std::to_string(sessionHeader->start + iso::kFirstDescriptorSector)
                                 + "): xorriso warns that the chain is broken and reads the volume from sector 0");
        }
    }
    // The data must be on the device before the metadata that points at it
    // replaces the old.
    if (!sector_->Flush()) {
        error = std::string("cannot flush the image: ") + sector_->GetLastError();
        return false;
    }

    // 5. The metadata with the final extents, in the places measured.
    set.volumeSectors = end - paddingBehindVolume;
    // An empty file has no data, but its record still names a sector, and
    // other tools give it one near the end of their data (xorriso one
    // sector for all of them). When the volume shrank below that sector,
    // bsdtar refuses the whole image for an extent outside the volume. When
    // the save gave that sector to something else, readers take the file
    // for what lies there: bsdtar, which numbers a record without a serial
    // number by its extent, for a link to a new folder there and the folder
    // for a loop; xorriso for a second boot catalog. The record names
    // sector 0 instead, as an empty file of a new image does. The undo of a
    // failed save puts the old sector back with the other places.
    // genisoimage records links as empty files in its UDF tree: an image
    // whose UDF tree shows its links so gets new links so too. An image
    // with no links to tell by gets them as links, as a new image has them.
    TakenSectors taken(layout_.MetadataStart(), layout_.End());
    for (const FilePlace& place : placesBefore) {
        const DirEntry& file = place.node->entry;
        if (!place.inImage || file.extent != place.extent) {
            taken.Add(file.extent, file.extent + SectorsFor(file.moreExtents.empty() ? file.size : file.extentLength));
            for (const ExtentPiece& piece : file.moreExtents) {
                taken.Add(piece.extent, piece.extent + SectorsFor(piece.length));
            }
        }
    }
    for (const KeptBootImage& image : keptImages) {
        if (image.owner == nullptr && image.entry->loadRba != image.first) {
            taken.Add(image.entry->loadRba, image.entry->loadRba + image.sectors);
        }
    }
    if (catalogSector_ != 0 && catalogSector_ != oldCatalog) {
        taken.Add(catalogSector_, catalogSector_ + 1);
    }
    taken.Finish();
    bool keptLinks = false;
    ForEachFileNode(tree_, [&](DirNode* node) {
        DirEntry& file = node->entry;
        keptLinks = keptLinks || (file.kept != nullptr && file.IsSymlink());
        const bool elsewhere = file.extent >= set.volumeSectors || taken.Holds(file.extent);
        if (file.size == 0 && file.moreExtents.empty() && elsewhere) {
            file.extent = 0;
        }
    });
    set.bootCatalogSector = catalogSector_;
    CByteBuffer descriptors(256);
    CByteBuffer udfVolume(256);
    CByteBuffer udfClosing(256);
    CByteBuffer pathTables(256);
    CByteBuffer directories(256);
    writer::UdfNames udfNames{space.udfLabel, space.udfVolumeSet};
    // A new label is the UDF volume's too: readers of UDF (Windows among
    // them) show that one.
    if (std::vector<std::uint8_t> primary(kSectorBytes);
        udf && pendingProperties_ && !pendingProperties_->volumeIdentifier.empty()
        && sector_->ReadSector(iso::kFirstDescriptorSector, primary.data())
        && iso::ReadVolumeProperties(primary, false).volumeIdentifier != pendingProperties_->volumeIdentifier) {
        udfNames.label = pendingProperties_->volumeIdentifier;
    }
    if (space.udfRevision != 0) {
        udfNames.revision = space.udfRevision;
    }
    udfNames.domainFlags = space.udfDomainFlags;
    udfNames.linksAsFiles = keptLinks && !space.udfHoldsLinks;
    udfNames.applicationId = space.udfApplicationId;
    udfNames.contentsFlags = space.udfContentsFlags;
    if (!layout_.Render(*desc_, set, writer::TreeAccess(tree_), platform::CurrentFileTime(), udfNames,
                        {descriptors, udfVolume, udfClosing, pathTables, directories}, error)) {
        return false;
    }
    // Copies of the old anchor in the image's padding (genisoimage fills
    // it with them) that stay inside the new volume would lead a reader
    // looking for an anchor near the volume's end to the old descriptor
    // sequences, whose sectors are free now: they are cleared. Appended
    // data and the padding behind it cover everything from appendStart on,
    // and the new closing anchor is written below. Metadata placed behind
    // the data lies there too, the padding in front of it stays inside the
    // volume. What a boot image no file lists may hold stays as it is.
    if (udf) {
        std::vector<std::uint8_t> bytes(kSectorBytes);
        const std::uint32_t last = std::min({oldSectors, end - 1, appended ? appendStart : UINT32_MAX});
        for (std::uint32_t number = std::max(frontEnd, oldEnd - tailPadding); number < last; ++number) {
            const bool boot = std::any_of(keptImages.begin(), keptImages.end(), [number](const KeptBootImage& image) {
                return image.owner == nullptr && image.entry->loadRba <= number
                    && number - image.entry->loadRba < image.sectors;
            });
            if (!boot && sector_->ReadSector(number, bytes.data())
                && iso::udf::CheckDescriptorTag(bytes.data(), bytes.size(), iso::udf::kTagAnchor, number) == nullptr
                && !WriteZeroSectors(number, 1, error)) {
                return false;
            }
        }
    }

    // 6. Catalog, path tables, directories, and the descriptors last.
    const auto write = [&](const void* data, std::uint32_t sectors, std::uint32_t first) {
        if (!sector_->WriteSectors(data, sectors, first)) {
            error = std::string("cannot write the image: ") + sector_->GetLastError();
            return false;
        }
        return true;
    };
    if (catalog) {
        std::vector<std::uint8_t> catalogSector(kSectorBytes);
        if (!iso::EncodeBootCatalogSet(*catalog, catalogSector)) {
            error = "the boot catalog does not fit one sector";
            return false;
        }
        if (!write(catalogSector.data(), 1, catalogSector_)) {
            return false;
        }
    }
    if (udf
        && (!write(udfVolume.GetData(), layout_.UdfVolumeSectors(), layout_.UdfStart())
            || !write(udfVolume.GetData() + std::size_t{layout_.UdfVolumeSectors()} * kSectorBytes,
                      layout_.UdfFileSectors(), layout_.UdfFilesStart())
            || !write(udfClosing.GetData(), 1, end - 1))) {
        return false;
    }
    if (!write(pathTables.GetData(), layout_.PathTableSectors(), layout_.PathTableStart())
        || !write(directories.GetData(), layout_.DirectorySectors(), layout_.DirectoryStart())) {
        return false;
    }
    // The partition's copy, and nothing old between the two descriptor sets.
    if (const CByteBuffer& copy = layout_.CopyDescriptors(); copy.GetSize() != 0) {
        const std::uint32_t gapStart = iso::kFirstDescriptorSector + layout_.DescriptorSectors();
        const auto sectorsOf = [](const CByteBuffer& buffer) {
            return static_cast<std::uint32_t>(buffer.GetSize() / kSectorBytes);
        };
        const std::uint32_t gap = layout_.CopyDescriptorStart() - gapStart;
        if ((gap != 0 && !WriteZeroSectors(gapStart, gap, error))
            || !write(copy.GetData(), sectorsOf(copy), layout_.CopyDescriptorStart())
            || !write(layout_.CopyMetadata().GetData(), sectorsOf(layout_.CopyMetadata()),
                      layout_.CopyMetadataStart())) {
            return false;
        }
    }
    if (headerAt) {
        // The same descriptors, the volume's size counted from the session's start.
        std::vector<std::uint8_t> header(descriptors.GetData(), descriptors.GetData() + descriptors.GetSize());
        for (std::size_t at = 0; at + kSectorBytes <= header.size(); at += kSectorBytes) {
            const auto type = static_cast<iso::DescriptorType>(header[at]);
            if (type == iso::DescriptorType::Primary || type == iso::DescriptorType::Supplementary) {
                iso::PutBoth32(iso::Bytes(header).subspan(at, kSectorBytes), iso::kVolumeSpaceSizeOffset,
                               end - *headerAt);
            }
        }
        if (!write(header.data(), layout_.DescriptorSectors(), *headerAt + iso::kFirstDescriptorSector)) {
            return false;
        }
    }
    return write(descriptors.GetData(), layout_.DescriptorSectors(), iso::kFirstDescriptorSector);
}

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoEdit, tarvelin::IIsoEdit, Edit1, Edit2)
