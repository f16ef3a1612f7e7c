// CIsoEdit: the facade over an opened image. Reading, browsing and the boot
// image live here; edits are carried by the tree until a save writes them.

#include "iso/iso_edit.h"

#include "core/iso_sector.h"
#include "iso/iso_dir_edit.h"
#include "platform/file.h"
#include "writer/descriptor_writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarvelin {

namespace {

constexpr std::uint32_t kSectorBytes = 2048;

std::uint32_t SectorsFor(std::uint64_t bytes)
{
    return static_cast<std::uint32_t>((bytes + kSectorBytes - 1) / kSectorBytes);
}

// Creates a sub-component through its exported name; null when the engine
// has no such component.
template <class Interface>
Interface* CreateByName(const char* factoryName)
{
    ComponentFactory factory = FindFactory(factoryName);
    if (factory == nullptr) {
        return nullptr;
    }
    CComponent* component = factory();
    auto* typed = dynamic_cast<Interface*>(component);
    if (component != nullptr && typed == nullptr) {
        component->Destroy();
    }
    return typed;
}

// Boot media types of the El Torito catalog and the size of their images.
constexpr std::uint32_t kMediaNoEmulation = 0;

std::uint32_t DisketteSectors(std::uint32_t mediaType)
{
    switch (mediaType) {
    case 1: return 600;  // 1.2 MB
    case 2: return 720;  // 1.44 MB
    case 3: return 1440; // 2.88 MB
    default: return 0;
    }
}

// Media type of a boot image file by its length.
std::uint32_t MediaTypeForLength(std::uint64_t length)
{
    if (length < 2049) {
        return kMediaNoEmulation;
    }
    if (length < 1228801) {
        return 1;
    }
    if (length < 1474561) {
        return 2;
    }
    if (length <= 2949120) {
        return 3;
    }
    return kMediaNoEmulation;
}

class CIsoEdit final : public IIsoEdit {
public:
    ~CIsoEdit() override
    {
        DestroyComponent(sector_);
        DestroyComponent(tree_);
        DestroyComponent(desc_);
        DestroyComponent(path_);
        DestroyComponent(data_);
        DestroyComponent(dir_);
    }

    bool Init() override
    {
        // A missing sub-component stays null; the operations that need it fail.
        sector_ = CreateByName<IIsoSector>("Sector1");
        tree_ = CreateByName<IIsoDirEdit>("DirEdit1");
        desc_ = CreateByName<IIsoDesc>("Desc1");
        path_ = CreateByName<CComponent>("Path1");
        data_ = CreateByName<CComponent>("Data1");
        dir_ = CreateByName<CComponent>("Dir1");
        bootAction_ = 0;
        return true;
    }

    bool Reserved() override { return true; }

    bool Open(const char* path) override
    {
        if (sector_ == nullptr) {
            return Fail("the sector access component is missing");
        }
        if (!sector_->Open(path)) {
            return Fail(sector_->GetLastError());
        }
        if (desc_ != nullptr) {
            desc_->SetSource(sector_);
        }
        lastError_.clear();
        return true;
    }

    void LoadTree() override
    {
        if (tree_ == nullptr || sector_ == nullptr) {
            lastError_ = tree_ == nullptr ? "the directory tree component is missing" : "no image is open";
            return;
        }
        tree_->SetSector(sector_);
        bootImageSector_ = 0;
        mediaType_ = 0;
        // Without a boot record no file may be taken for the boot image.
        if (desc_ != nullptr && desc_->HasBootRecord()) {
            bootImageSector_ = desc_->GetBootInfo(mediaType_);
        }
        tree_->Load(bootImageSector_);
        lastError_ = tree_->GetLastError();
    }

    DirNode* GetRoot() override { return tree_ != nullptr ? tree_->GetRoot() : nullptr; }
    DirNode* GetFirstChild(DirNode* node) override { return tree_ != nullptr ? tree_->GetFirstChild(node) : nullptr; }
    DirNode* GetNextSibling(DirNode* node) override { return tree_ != nullptr ? tree_->GetNextSibling(node) : nullptr; }

    bool DeleteNode(DirNode* parent, DirNode* node) override
    {
        if (tree_ != nullptr) {
            tree_->DeleteNode(parent, node);
        }
        return true;
    }

    DirNode* AddFile(const char* path, DirNode* parent) override
    {
        return Forward(tree_ != nullptr ? tree_->AddFile(path, parent) : nullptr);
    }
    DirNode* AddDirectory(const char* path, DirNode* parent) override
    {
        return Forward(tree_ != nullptr ? tree_->AddDirectory(path, parent) : nullptr);
    }
    DirNode* AddDirectoryTree(const char* path, DirNode* parent) override
    {
        return Forward(tree_ != nullptr ? tree_->AddDirectoryTree(path, parent) : nullptr);
    }
    DirNode* NewDirectory(const char* name, DirNode* parent) override
    {
        return Forward(tree_ != nullptr ? tree_->NewDirectory(name, parent) : nullptr);
    }
    bool Rename(const char* name, DirNode* node) override
    {
        return tree_ != nullptr && tree_->Rename(name, node);
    }

    bool StartSave(void*, ProgressFn) override
    {
        // The save worker comes with the writers of edited images; until
        // then a save must not pretend to have happened.
        return Fail("saving an edited image is not available in this version");
    }

    bool GetItemInfo(DirNode* node, ItemInfo& info) override
    {
        if (tree_ == nullptr) {
            return false;
        }
        DirEntry entry;
        if (!tree_->GetInfo(node, entry)) {
            return false;
        }
        info.name = entry.name;
        info.size = entry.size;
        info.isDirectory = entry.isDirectory;
        info.date = entry.date;
        return true;
    }

    bool ReadFileData(DirNode* node, std::uint64_t offset, void* buffer, std::uint32_t count) override
    {
        if (tree_ == nullptr || node == nullptr) {
            return Fail("no such entry");
        }
        DirEntry entry;
        tree_->GetInfo(node, entry);
        if (entry.isDirectory) {
            return Fail("'" + entry.name + "' is a folder");
        }
        if (offset > entry.size || count > entry.size - offset) {
            return Fail("read beyond the end of '" + entry.name + "'");
        }
        if (count == 0) {
            return true;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        switch (entry.EntrySource) {
        case EntrySourceKind::Image: return ReadImageData(entry, offset, out, count);
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

    bool HasBootImage() override { return desc_ != nullptr && desc_->HasBootRecord(); }

    void DeleteBootImage() override { bootAction_ = 2; }

    bool SaveBootImage(CByteBuffer& buffer) override
    {
        if (desc_ == nullptr || sector_ == nullptr || !desc_->HasBootRecord()) {
            return Fail("the image has no boot image");
        }
        std::uint32_t mediaType = 0;
        const std::uint32_t first = desc_->GetBootInfo(mediaType);
        mediaType_ = mediaType;
        // A boot record whose catalog does not check out names no boot
        // image; sector 0 would only hand back the system area.
        if (first == 0) {
            return Fail("the image's boot catalog is damaged: it names no boot image");
        }
        std::uint64_t bytes = std::uint64_t{DisketteSectors(mediaType)} * kSectorBytes;
        if (bytes == 0) {
            // No emulation (and hard disk emulation): the boot file's own size
            // when a file of the image lies there, else what the catalog loads.
            bytes = BootFileSize(first);
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
        bootAction_ = 1;
        if (tree_ != nullptr) {
            tree_->AddBootFile(path, parent);
        }
        bootBuffer_.Clear();
        if (!bootBuffer_.LoadFile(path)) {
            mediaType_ = kMediaNoEmulation;
            return Fail(std::string("cannot read the boot image '") + path + "'");
        }
        mediaType_ = MediaTypeForLength(bootBuffer_.GetSize());
        return true;
    }

    bool GetItemExtent(DirNode* node, std::uint32_t& extent) override
    {
        if (tree_ == nullptr || node == nullptr) {
            return false;
        }
        DirEntry entry;
        tree_->GetInfo(node, entry);
        extent = entry.extent;
        return true;
    }

    bool ReadSector(std::uint32_t sector, void* buffer) override
    {
        return sector_ != nullptr && sector_->ReadSector(sector, buffer);
    }

    const char* GetLastError() override { return lastError_.c_str(); }
    IIsoSector* GetSector() override { return sector_; }
    TreeLoadReport GetLoadReport() override { return tree_ != nullptr ? tree_->GetLoadReport() : TreeLoadReport{}; }

private:
    bool Fail(const std::string& why)
    {
        lastError_ = why;
        return false;
    }

    DirNode* Forward(DirNode* node)
    {
        if (node == nullptr && tree_ != nullptr) {
            lastError_ = tree_->GetLastError();
        }
        return node;
    }

    // The pieces of a file's data in the image, in order.
    static std::vector<ExtentPiece> PiecesOf(const DirEntry& entry)
    {
        std::vector<ExtentPiece> pieces;
        if (entry.moreExtents.empty()) {
            pieces.push_back({entry.extent, static_cast<std::uint32_t>(entry.size)});
        } else {
            pieces.push_back({entry.extent, entry.extentLength});
            pieces.insert(pieces.end(), entry.moreExtents.begin(), entry.moreExtents.end());
        }
        return pieces;
    }

    bool ReadImageData(const DirEntry& entry, std::uint64_t offset, std::uint8_t* out, std::uint32_t count)
    {
        if (sector_ == nullptr) {
            return Fail("no image is open");
        }
        const std::uint32_t imageSectors = sector_->GetSectorCount();
        std::uint64_t pieceStart = 0;
        for (const ExtentPiece& piece : PiecesOf(entry)) {
            const std::uint64_t pieceEnd = pieceStart + piece.length;
            if (count > 0 && offset < pieceEnd) {
                const std::uint64_t inPiece = offset - pieceStart;
                const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, pieceEnd - offset));
                const std::uint64_t firstSector = piece.extent + inPiece / kSectorBytes;
                const std::uint64_t lastSector = piece.extent + (inPiece + take - 1) / kSectorBytes;
                if (lastSector >= imageSectors) {
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
        if (tree_ == nullptr) {
            return 0;
        }
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
    CComponent* path_ = nullptr;
    CComponent* data_ = nullptr;
    CComponent* dir_ = nullptr;

    std::uint32_t bootImageSector_ = 0;
    std::uint32_t bootAction_ = 0;
    std::uint32_t mediaType_ = 0;
    CByteBuffer bootBuffer_{256};
    std::string lastError_;
};

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoEdit, tarvelin::IIsoEdit, Edit1, Edit2)
