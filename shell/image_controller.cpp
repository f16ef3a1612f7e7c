#include "image_controller.h"

#include "notice_text.h"
#include "recent_files.h"

#include "core/byte_buffer.h"
#include "convert/iso2bin.h"
#include "core/image_file.h"
#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "edit/iso_edit.h"
#include "edit/iso_extract.h"
#include "writer/iso_build.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/path.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>
#include <utility>

namespace tarvelin::shell {

namespace {

// A disk path as a key: the builder and the folder scan join names to it
// in their own ways.
std::string PathKey(const std::string& path)
{
    std::string key = std::filesystem::path(path).lexically_normal().string();
    while (key.size() > 1 && key.back() == '/') {
        key.pop_back();
    }
    return key;
}

std::string DiskName(const std::string& path)
{
    return std::filesystem::path(PathKey(path)).filename().string();
}

using platform::PromptAnswer;
using platform::PromptButtons;
using platform::PromptIcon;

constexpr const char* kProgramCaption = "Tarvelin";
// "All files" shows the files without an extension (README) that "*.*"
// hides.
constexpr std::string_view kBootImageFilter = "(*.image)|*.image |(*.*)|*.*|All files (*)|*||";
constexpr std::string_view kAddFilesFilter = "(*.*)|*.*|All files (*)|*||";
// How many failures a message lists before it says how many more there are.
constexpr std::size_t kListedFailures = 8;

// What a composition's volume needs besides its files' data, at least: the
// system area, the descriptors and their terminator, four path tables and
// the two root folders.
constexpr std::uint64_t kVolumeOverheadSectors = iso::kSystemAreaSectors + 3 + 4 + 2;
// Per entry, about what its directory records take in both trees.
constexpr std::uint64_t kRecordBytesPerEntry = 2 * 64;

// Copies the image file under the facade to a new file, complete or not at
// all. The file is read through the facade, which holds it exclusively.
bool CopyImageFile(IIsoEdit& edit, const std::string& target, std::string& why)
{
    IImageFile* file = edit.GetSector() != nullptr ? edit.GetSector()->GetFile() : nullptr;
    if (file == nullptr) {
        why = "the image file cannot be read";
        return false;
    }
    platform::AtomicOutput output;
    if (!output.Open(target, platform::ExistingOutput::Refuse)) {
        why = output.LastError();
        return false;
    }
    constexpr std::uint32_t kChunk = 1u << 20;
    std::vector<std::uint8_t> chunk(kChunk);
    const std::uint64_t length = file->GetLength();
    for (std::uint64_t at = 0; at < length;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, length - at));
        if (file->ReadAt(at, chunk.data(), count) != count) {
            why = std::string("the image file cannot be read: ") + file->GetLastError();
            return false;
        }
        if (!output.Stream().Write(chunk.data(), count)) {
            why = output.LastError();
            return false;
        }
        at += count;
    }
    if (!output.Commit()) {
        why = output.LastError();
        return false;
    }
    return true;
}

} // namespace

std::string FailureList(const std::vector<std::string>& failures)
{
    std::string text;
    for (std::size_t i = 0; i < failures.size() && i < kListedFailures; ++i) {
        text += "\n" + failures[i];
    }
    if (failures.size() > kListedFailures) {
        text += "\n(" + std::to_string(failures.size() - kListedFailures) + " more)";
    }
    return text;
}

CImageController::CImageController(IImageControllerHost& host) : host_(host) {}

NameSource NamesOf(TreeChoice choice)
{
    switch (choice) {
    case TreeChoice::RockRidge:
        return NameSource::RockRidge;
    case TreeChoice::Joliet:
        return NameSource::Joliet;
    case TreeChoice::Iso:
        return NameSource::Iso;
    case TreeChoice::Automatic:
    case TreeChoice::Udf:
        break;
    }
    return NameSource::Automatic;
}

CImageController::~CImageController()
{
    DropSaveAs();
    // It may read through the facade's image component.
    udfSectors_.Close();
    edit_.reset();
}

namespace {

// The node at the end of the names from the root; null when one is missing.
DirNode* NodeAt(IIsoEdit& edit, const std::vector<std::string>& names)
{
    DirNode* node = edit.GetRoot();
    for (const std::string& name : names) {
        DirNode* child = node == nullptr ? nullptr : edit.GetFirstChild(node);
        ItemInfo info;
        while (child != nullptr && (!edit.GetItemInfo(child, info) || info.name != name)) {
            child = edit.GetNextSibling(child);
        }
        node = child;
    }
    return node;
}

std::string PathText(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += "/" + name;
    }
    return text.empty() ? "/" : text;
}

} // namespace

std::vector<std::string> CImageController::NamePath(const EntryRecord* record)
{
    std::vector<std::string> names;
    for (const EntryRecord* at = record; at != nullptr && at != &imageRoot_; at = FindParentRecord(imageRoot_, at)) {
        names.push_back(at->name);
    }
    std::reverse(names.begin(), names.end());
    return names;
}

void CImageController::Tell(const std::string& text, const char* caption, PromptIcon icon)
{
    host_.Ask(text, caption, PromptButtons::Ok, icon);
}

void CImageController::ShowFolder(EntryRecord* record)
{
    currentFolder_ = record;
    host_.ListFolder(record);
}

DirNode* CImageController::NodeOf(const EntryRecord* record) const
{
    const auto found = nodeMap_.find(record);
    return found == nodeMap_.end() ? nullptr : found->second;
}

void CImageController::ClearCurrentMode()
{
    EntryRecord& root = ModeRoot();
    // No row may stand for a record about to be freed.
    host_.ListFolder(nullptr);
    UnbindRecordTree(nodeMap_, root);
    root.children.clear();
    modified_ = false;
    if (!imageMode_) {
        composeProperties_.reset();
        composeRemoved_.clear();
    }
    if (imageMode_) {
        DropSaveAs();
        udfNodes_.clear();
        udfVolume_.reset();
        udfSectors_.Close();
        hasUdfTree_ = false;
        showsUdf_ = false;
        edit_.reset();
        bootLoaded_ = false;
        hasRockRidge_ = false;
        editLog_.clear();
    }
    currentFolder_ = &root;
    host_.FoldersChanged(&root);
    host_.ImageChanged();
    host_.ContentsChanged();
}

bool CImageController::OpenImage(const std::string& path)
{
    ClearCurrentMode();
    edit_ = MakeComponent(Edit1);
    if (edit_ == nullptr) {
        return false;
    }
    std::string reason;
    if (!edit_->Open(path.c_str())) {
        // An image of UDF alone has no ISO 9660 tree to edit; its UDF tree
        // is shown, read-only.
        reason = edit_->GetLastError();
        edit_.reset();
    } else {
        edit_->SetNameSource(NamesOf(choice_));
        edit_->LoadTree();
    }
    if (!OpenUdfTree(path, reason)) {
        // The engine's reason below the message, as the command line gives it.
        Tell("open error file!\n" + path + ": " + reason);
        return false;
    }
    imagePath_ = path;
    imageMode_ = true;
    hasRockRidge_ = edit_ != nullptr && edit_->HasRockRidge();
    if (showsUdf_) {
        BuildUdfRecords();
    } else {
        DirNode* root = edit_->GetRoot();
        nodeMap_[&imageRoot_] = root;
        if (root != nullptr) {
            BuildImageRecords(imageRoot_, edit_->GetFirstChild(root));
        }
    }
    bootable_ = edit_ != nullptr && edit_->HasBootImage();
    RecentFileList::Add(QString::fromStdString(path));
    ShowFolder(&imageRoot_);
    host_.FoldersChanged(&imageRoot_);
    host_.ImageChanged();
    host_.ContentsChanged();
    TellWhatTheOpenMet(path);
    return true;
}

void CImageController::TellWhatTheOpenMet(const std::string& path)
{
    std::string told;
    if (edit_ != nullptr && edit_->WasRecovered()) {
        told = "A save of this image was cut short; the image has been put back as it was before that save.\n";
    }
    if (path != damageToldFor_) {
        if (std::string sheet = UnfollowedCueSheetWarning(path); !sheet.empty()) {
            sheet[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sheet[0])));
            told += sheet + ".\n";
        }
        const std::string tree = showsUdf_ ? iso::udf::DescribeDamage(udfVolume_->report)
                                           : DescribeTreeDamage(edit_->GetLoadReport());
        if (!tree.empty()) {
            told += "The tree of this image is damaged: " + tree + ".\n";
        }
        IIsoSector* sectors = edit_ != nullptr ? edit_->GetSector() : udfSectors_.Sectors();
        std::uint32_t first = 0;
        if (const std::uint32_t count = sectors != nullptr ? sectors->GetDamagedSectors(&first) : 0; count != 0) {
            told += DescribeDamagedSectors(count, first) + ".\n";
        }
        damageToldFor_ = path;
    }
    if (!told.empty()) {
        told.pop_back();
        Tell(path + "\n" + told, kProgramCaption, PromptIcon::Warning);
    }
}

bool CImageController::OpenUdfTree(const std::string& path, std::string& why)
{
    if (edit_ != nullptr) {
        if (IIsoSector* sectors = edit_->GetSector(); sectors != nullptr) {
            udfSectors_.Use(*sectors);
        }
        if (!udfSectors_.IsOpen()
            || !iso::ScanDescriptorSet(udfSectors_.Reader(), udfSectors_.SectorCount()).HasUdf()) {
            udfSectors_.Close();
            return true;
        }
    } else {
        std::string problem;
        const iso::udf::ImageSectors::OpenResult opened = udfSectors_.Open(path, &problem);
        if (opened != iso::udf::ImageSectors::OpenResult::Ok) {
            // The image component's reason tells it unless the file is one
            // that holds no volume at all.
            if (opened == iso::udf::ImageSectors::OpenResult::NotAnImage) {
                why = problem;
            }
            return false;
        }
    }
    std::string problem;
    std::optional<iso::udf::Volume> volume =
        iso::udf::ReadVolume(udfSectors_.Reader(), udfSectors_.SectorCount(), &problem);
    if (!volume) {
        udfSectors_.Close();
        if (edit_ == nullptr) {
            why = "its UDF tree cannot be read: " + problem;
            return false;
        }
        // The ISO 9660 tree is shown; the UDF choice is greyed.
        return true;
    }
    hasUdfTree_ = true;
    udfVolume_ = std::move(volume);
    showsUdf_ = edit_ == nullptr || choice_ == TreeChoice::Udf
        || (choice_ == TreeChoice::Automatic && UdfHoldsMoreFiles());
    if (!showsUdf_) {
        // Read again when it is chosen: a save of the ISO 9660 tree moves
        // what the UDF tree records.
        udfVolume_.reset();
        udfSectors_.Close();
    }
    return true;
}

bool CImageController::UdfHoldsMoreFiles()
{
    // Automatic shows the ISO 9660 tree, the one that can be edited, with
    // its best names, unless the UDF tree holds files it cannot show: then
    // the UDF tree is the image as its readers see it (a Windows
    // installation image has a lone note in its ISO 9660 tree; files of
    // 4 GiB or more are in the UDF tree only).
    return iso::udf::HoldsFilesBeyond(*udfVolume_, iso::udf::IsoFilePlaces(*edit_));
}

void CImageController::BuildUdfRecords()
{
    const iso::udf::Volume& volume = *udfVolume_;
    udfNodes_[&imageRoot_] = 0;
    // Depth first without recursion; the records keep the tree's order.
    std::vector<std::pair<EntryRecord*, std::int32_t>> pending{{&imageRoot_, 0}};
    while (!pending.empty()) {
        auto [parent, index] = pending.back();
        pending.pop_back();
        for (const std::int32_t child : volume.nodes[static_cast<std::size_t>(index)].children) {
            const iso::udf::Node& node = volume.nodes[static_cast<std::size_t>(child)];
            auto record = std::make_unique<EntryRecord>();
            record->isFolder = node.isDirectory ? 1 : 0;
            record->attributes = node.isDirectory ? kDirectoryAttribute : 0;
            record->size = node.isDirectory ? 0 : node.size;
            record->name = node.name;
            record->path = node.name;
            EntryRecord* added = parent->Append(std::move(record));
            udfNodes_[added] = child;
            if (node.isDirectory) {
                pending.emplace_back(added, child);
            }
        }
    }
}

bool CImageController::RefusedInUdfTree()
{
    if (!ShowsUdfTree()) {
        return false;
    }
    Tell(edit_ == nullptr ? "This image holds a UDF file system alone, which is read-only here: it can be browsed, "
                            "viewed and extracted, not edited."
                          : "The UDF tree is read-only here. To edit the image, choose its ISO 9660, Joliet or "
                            "Rock Ridge names in the View menu.",
         kProgramCaption, PromptIcon::Information);
    return true;
}

void CImageController::BuildImageRecords(EntryRecord& parentRecord, DirNode* firstNode, bool followSiblings)
{
    // Depth first without recursion; the records keep the engine's order.
    std::vector<std::pair<EntryRecord*, DirNode*>> pending{{&parentRecord, firstNode}};
    bool first = true;
    while (!pending.empty()) {
        auto [parent, node] = pending.back();
        pending.pop_back();
        const bool onlyThisNode = first && !followSiblings;
        first = false;
        for (; node != nullptr; node = onlyThisNode ? nullptr : edit_->GetNextSibling(node)) {
            ItemInfo info;
            if (!edit_->GetItemInfo(node, info)) {
                continue;
            }
            auto record = std::make_unique<EntryRecord>();
            record->isFolder = info.isDirectory ? 1 : 0;
            record->attributes = info.isDirectory ? kDirectoryAttribute : 0;
            record->size = info.size;
            record->name = info.name;
            record->path = info.name;
            EntryRecord* added = parent->Append(std::move(record));
            nodeMap_[added] = node;
            if (DirNode* child = edit_->GetFirstChild(node); child != nullptr) {
                pending.emplace_back(added, child);
            }
        }
    }
}

void CImageController::ReloadWithChoice(TreeChoice choice, bool afterSave)
{
    if (!HasOpenedImage()) {
        return;
    }
    const std::string path = imagePath_;
    const std::vector<EntryRecord*> chain = FolderChain(currentFolder_);
    std::vector<std::string> names;
    for (const EntryRecord* record : chain) {
        names.push_back(record->name);
    }
    const auto byName = [&names](std::size_t level, const EntryRecord& child) {
        return SameEntryName(child.name, names[level]);
    };
    if (afterSave) {
        // The save has moved the folders, and the tree in memory still
        // gives their old places: the saved image is read again with the
        // names the user saw to learn where the folder shown is now.
        if (!OpenImage(path)) {
            return;
        }
        ShowFolder(DeepestFolderAlong(names.size(), byName));
        ReloadWithChoice(choice, false);
        return;
    }
    // A folder's place in the image file tells it again whatever names the
    // ISO 9660 tree is read with. One added since the image was read has
    // no place there yet, nor has anything below it. Between that tree and
    // the UDF tree the names tell it.
    const bool fromUdf = showsUdf_;
    std::vector<std::uint32_t> extents;
    for (const EntryRecord* record : fromUdf ? std::vector<EntryRecord*>() : chain) {
        std::uint32_t extent = 0;
        if (!edit_->GetItemExtent(NodeOf(record), extent) || extent == 0) {
            break;
        }
        extents.push_back(extent);
    }
    choice_ = choice;
    if (!OpenImage(path)) {
        return;
    }
    EntryRecord* folder = nullptr;
    if (fromUdf || showsUdf_) {
        folder = DeepestFolderAlong(names.size(), byName);
    } else {
        folder = DeepestFolderAlong(extents.size(), [this, &extents](std::size_t level, const EntryRecord& child) {
            std::uint32_t extent = 0;
            return edit_->GetItemExtent(NodeOf(&child), extent) && extent == extents[level];
        });
    }
    if (folder != &imageRoot_) {
        host_.RevealFolder(folder);
        ShowFolder(folder);
    }
}

std::vector<EntryRecord*> CImageController::FolderChain(EntryRecord* folder)
{
    std::vector<EntryRecord*> chain;
    for (EntryRecord* record = folder; record != nullptr && record != &imageRoot_;
         record = FindParentRecord(imageRoot_, record)) {
        chain.push_back(record);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

EntryRecord* CImageController::DeepestFolderAlong(std::size_t levels,
                                                  const std::function<bool(std::size_t, const EntryRecord&)>& isStep)
{
    EntryRecord* folder = &imageRoot_;
    for (std::size_t level = 0; level < levels; ++level) {
        const auto next = std::find_if(folder->children.begin(), folder->children.end(),
                                       [&](const std::unique_ptr<EntryRecord>& child) {
                                           return child->isFolder == 1 && isStep(level, *child);
                                       });
        if (next == folder->children.end()) {
            break;
        }
        folder = next->get();
    }
    return folder;
}

// --- Adding ------------------------------------------------------------------

void CImageController::AddFiles()
{
    if (RefusedInUdfTree()) {
        return;
    }
    FileDialogSpec spec;
    spec.filter = kAddFilesFilter;
    const QStringList paths = host_.ChooseFiles(spec);
    if (paths.isEmpty() || (imageMode_ && edit_ == nullptr)) {
        return;
    }
    bool added = false;
    for (const QString& path : paths) {
        added = AddEntry(path.toStdString(), currentFolder_) != nullptr || added;
    }
    if (added) {
        SetModified();
    }
    ShowFolder(currentFolder_);
}

void CImageController::AddDirectory()
{
    if (RefusedInUdfTree()) {
        return;
    }
    const QString path = host_.ChooseFolder(QStringLiteral("Select Add Folder."));
    if (path.isEmpty() || (imageMode_ && edit_ == nullptr)) {
        return;
    }
    if (AddEntry(path.toStdString(), currentFolder_) != nullptr) {
        SetModified();
    }
    ShowFolder(currentFolder_);
    host_.FoldersChanged(&ModeRoot());
}

bool CImageController::AddPaths(const QStringList& paths)
{
    if (paths.isEmpty() || RefusedInUdfTree() || (imageMode_ && edit_ == nullptr)) {
        return false;
    }
    bool added = false;
    for (const QString& path : paths) {
        added = AddEntry(path.toStdString(), currentFolder_) != nullptr || added;
    }
    if (added) {
        SetModified();
        ShowFolder(currentFolder_);
        host_.FoldersChanged(&ModeRoot());
    }
    return added;
}

EntryRecord* CImageController::AddEntry(const std::string& diskPath, EntryRecord* parentRecord)
{
    if (RefusedInUdfTree()) {
        return nullptr;
    }
    const QFileInfo found(QString::fromStdString(diskPath));
    if (parentRecord == nullptr || !found.exists()) {
        Tell("'" + diskPath + "' cannot be added: it was not found.");
        return nullptr;
    }
    const bool isFolder = found.isDir();
    if (imageMode_) {
        DirNode* parentNode = NodeOf(parentRecord);
        if (edit_ == nullptr || parentNode == nullptr) {
            return nullptr;
        }
        edit_->ClearNotices();
        DirNode* added = isFolder ? edit_->AddDirectoryTree(diskPath.c_str(), parentNode)
                                  : edit_->AddFile(diskPath.c_str(), parentNode);
        // What the folder's walk left out, told as a build's is.
        const std::string leftOut = NoticeText(*edit_);
        edit_->ClearNotices();
        if (added == nullptr) {
            Tell("'" + diskPath + "' cannot be added: " + edit_->GetLastError() + leftOut);
            return nullptr;
        }
        // Replacing an entry tells what came of that too (its boot image
        // staying in the image, say).
        if (!leftOut.empty()) {
            Tell("'" + diskPath
                     + (edit_->WasReplaced() ? "' was added in place of the entry of its name:"
                                             : "' was added, but not everything went into it:")
                     + leftOut,
                 kProgramCaption, PromptIcon::Warning);
        }
        LogEdit([parent = NamePath(parentRecord), diskPath, isFolder](IIsoEdit& edit, std::string& why) {
            DirNode* copyParent = NodeAt(edit, parent);
            if (copyParent == nullptr) {
                why = PathText(parent) + " is not in the image";
                return false;
            }
            if ((isFolder ? edit.AddDirectoryTree(diskPath.c_str(), copyParent)
                          : edit.AddFile(diskPath.c_str(), copyParent)) == nullptr) {
                why = "'" + diskPath + "': " + edit.GetLastError();
                return false;
            }
            return true;
        });
        if (edit_->WasReplaced()) {
            DropGoneRecords(*parentRecord, false);
        }
        // The records of what the image now holds, each bound to its entry.
        const std::size_t before = parentRecord->children.size();
        BuildImageRecords(*parentRecord, added, false);
        if (parentRecord->children.size() == before) {
            return nullptr;
        }
        EntryRecord* record = parentRecord->children.back().get();
        record->path = diskPath;
        record->typeName = GetTypeName(diskPath);
        return record;
    }
    // What the build would refuse is refused now, as an image refuses it.
    if (platform::FileInfo info; !isFolder && platform::GetFileInfo(diskPath, info) && info.isSpecial) {
        Tell("'" + diskPath + "' cannot be added: it is not a file or a folder (a device, pipe or socket).");
        return nullptr;
    }
    auto record = std::make_unique<EntryRecord>();
    record->isFolder = isFolder ? 1 : 0;
    record->attributes = isFolder ? kDirectoryAttribute : 0;
    record->size = isFolder ? 0 : static_cast<std::uint64_t>(found.size());
    record->name = found.fileName().toStdString();
    record->path = diskPath;
    record->typeName = GetTypeName(diskPath);
    EntryRecord* added = parentRecord->Append(std::move(record));
    if (isFolder) {
        AddFolderTreeRecords(diskPath, *added);
    }
    return added;
}

void CImageController::AddFolderTreeRecords(const std::string& folderPath, EntryRecord& parentRecord)
{
    // In every folder its non-empty files first, then its subfolders; no
    // recursion, and folder links are not followed (they could loop).
    std::vector<std::pair<QString, EntryRecord*>> pending{{QString::fromStdString(folderPath), &parentRecord}};
    while (!pending.empty()) {
        auto [path, parent] = pending.back();
        pending.pop_back();
        const QDir folder(path);
        const QFileInfoList files = folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
        for (const QFileInfo& file : files) {
            if (file.size() <= 0) {
                continue;
            }
            auto record = std::make_unique<EntryRecord>();
            record->size = static_cast<std::uint64_t>(file.size());
            record->name = file.fileName().toStdString();
            record->path = file.filePath().toStdString();
            record->typeName = GetTypeName(record->path);
            record->scanned = true;
            parent->Append(std::move(record));
        }
        const QFileInfoList folders =
            folder.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
        std::vector<std::pair<QString, EntryRecord*>> below;
        for (const QFileInfo& sub : folders) {
            auto record = std::make_unique<EntryRecord>();
            record->isFolder = 1;
            record->attributes = kDirectoryAttribute;
            record->name = sub.fileName().toStdString();
            record->path = sub.filePath().toStdString();
            record->typeName = GetTypeName(record->path);
            record->scanned = true;
            below.emplace_back(sub.filePath(), parent->Append(std::move(record)));
        }
        pending.insert(pending.end(), below.rbegin(), below.rend());
    }
}

void CImageController::AddMissingImageRecords(EntryRecord& folderRecord)
{
    DirNode* folderNode = NodeOf(&folderRecord);
    if (edit_ == nullptr || folderNode == nullptr) {
        return;
    }
    for (DirNode* node = edit_->GetFirstChild(folderNode); node != nullptr; node = edit_->GetNextSibling(node)) {
        bool known = false;
        for (const auto& child : folderRecord.children) {
            known = known || NodeOf(child.get()) == node;
        }
        if (!known) {
            BuildImageRecords(folderRecord, node, false);
        }
    }
}

void CImageController::DropGoneRecords(EntryRecord& top, bool below)
{
    // The engine decides which entries an edit takes along (the entries a
    // new one replaces: Rock Ridge names differ by case, other names do
    // not; the boot catalog's file with the boot record): their records
    // are those bound to nodes their folder no longer holds.
    bool folderGone = false;
    std::vector<EntryRecord*> pending{&top};
    while (!pending.empty()) {
        EntryRecord* folder = pending.back();
        pending.pop_back();
        // A record bound to no node says nothing of what the image holds.
        DirNode* folderNode = NodeOf(folder);
        if (edit_ == nullptr || folderNode == nullptr) {
            continue;
        }
        std::set<const DirNode*> held;
        for (DirNode* node = edit_->GetFirstChild(folderNode); node != nullptr; node = edit_->GetNextSibling(node)) {
            held.insert(node);
        }
        std::erase_if(folder->children, [&](const std::unique_ptr<EntryRecord>& child) {
            if (held.contains(NodeOf(child.get()))) {
                return false;
            }
            folderGone = folderGone || child->isFolder == 1;
            UnbindRecordTree(nodeMap_, *child);
            return true;
        });
        for (const auto& child : folder->children) {
            if (below && child->isFolder == 1) {
                pending.push_back(child.get());
            }
        }
    }
    // No row or tree item may stand for a freed record, not even while a
    // message box is up before the caller lists again.
    if (currentFolder_ != &imageRoot_ && FindParentRecord(imageRoot_, currentFolder_) == nullptr) {
        currentFolder_ = &imageRoot_;
    }
    ShowFolder(currentFolder_);
    if (folderGone) {
        host_.FoldersChanged(&ModeRoot());
    }
}

// --- Deleting, renaming, new folders ----------------------------------------

void CImageController::DeleteRecords(const std::vector<EntryRecord*>& records)
{
    if (records.empty() || RefusedInUdfTree() || (imageMode_ && edit_ == nullptr)) {
        return;
    }
    // The rows are the children of the folder shown; they go in one pass,
    // however many there are.
    EntryRecord* parent = currentFolder_;
    DirNode* parentNode = imageMode_ ? NodeOf(parent) : nullptr;
    std::set<const EntryRecord*> deleted;
    std::vector<std::string> failures;
    host_.ListFolder(nullptr);
    const std::vector<std::string> parentNames = imageMode_ ? NamePath(parent) : std::vector<std::string>();
    if (imageMode_) {
        edit_->ClearNotices();
    }
    for (EntryRecord* record : records) {
        if (imageMode_) {
            DirNode* node = NodeOf(record);
            if (parentNode == nullptr || node == nullptr || !edit_->DeleteNode(parentNode, node)) {
                failures.push_back("'" + record->name + "': " + edit_->GetLastError());
                continue;
            }
            std::vector<std::string> names = parentNames;
            names.push_back(record->name);
            LogEdit([parentNames, names](IIsoEdit& edit, std::string& why) {
                DirNode* copyParent = NodeAt(edit, parentNames);
                DirNode* copyNode = NodeAt(edit, names);
                if (copyParent == nullptr || copyNode == nullptr || !edit.DeleteNode(copyParent, copyNode)) {
                    why = PathText(names) + " cannot be deleted";
                    return false;
                }
                return true;
            });
        }
        if (!imageMode_ && record->scanned) {
            // It came with a folder the build reads from disk again.
            composeRemoved_.insert(PathKey(record->path));
        }
        UnbindRecordTree(nodeMap_, *record);
        deleted.insert(record);
    }
    std::erase_if(parent->children, [&deleted](const std::unique_ptr<EntryRecord>& child) {
        return deleted.contains(child.get());
    });
    // Only what went is a change: a delete that failed throughout leaves
    // the image as it was.
    if (!deleted.empty()) {
        modified_ = true;
    }
    ShowFolder(parent);
    host_.FoldersChanged(&ModeRoot());
    host_.ContentsChanged();
    if (!failures.empty()) {
        Tell("These entries could not be deleted:" + FailureList(failures));
    }
    // What the deletes noticed: the boot image's file gone, say.
    if (imageMode_ && edit_->GetNoticeCount() != 0) {
        const std::string noticed = NoticeText(*edit_);
        edit_->ClearNotices();
        Tell(noticed.substr(1), kProgramCaption, PromptIcon::Warning);
    }
}

bool CImageController::NameIsFree(const EntryRecord& parent, const EntryRecord* self, const std::string& name)
{
    if (name.empty()) {
        Tell("An entry needs a name: the name given is empty.", kProgramCaption, PromptIcon::Warning);
        return false;
    }
    if (!IsSafeEntryName(name)) {
        Tell("'" + name + "' cannot name an entry: a name has no '/' and is not '.' or '..'.", kProgramCaption,
             PromptIcon::Warning);
        return false;
    }
    // An image's edits refuse longer names too; a build would write them.
    if (name.size() > kMaxEntryNameBytes) {
        Tell("A name is at most " + std::to_string(kMaxEntryNameBytes) + " bytes long; this one has "
                 + std::to_string(name.size()) + ".",
             kProgramCaption, PromptIcon::Warning);
        return false;
    }
    for (const auto& child : parent.children) {
        if (child.get() != self && SameEntryName(child->name, name)) {
            Tell("The folder already holds an entry named '" + child->name + "'.", kProgramCaption,
                 PromptIcon::Warning);
            return false;
        }
    }
    return true;
}

bool CImageController::RenameRecord(EntryRecord* record)
{
    if (record == nullptr || RefusedInUdfTree()) {
        return false;
    }
    const std::optional<std::string> name = host_.AskName("Rename", "New name:", record->name);
    return name && *name != record->name && Rename(record, *name);
}

bool CImageController::Rename(EntryRecord* record, const std::string& newName)
{
    if (RefusedInUdfTree()) {
        return false;
    }
    EntryRecord* parent = record == nullptr ? nullptr : FindParentRecord(ModeRoot(), record);
    if (parent == nullptr || !NameIsFree(*parent, record, newName)) {
        return false;
    }
    if (imageMode_) {
        DirNode* node = NodeOf(record);
        const std::vector<std::string> names = NamePath(record);
        if (edit_ == nullptr || node == nullptr || !edit_->Rename(newName.c_str(), node)) {
            Tell("'" + record->name + "' cannot be renamed: " + (edit_ != nullptr ? edit_->GetLastError() : ""));
            return false;
        }
        LogEdit([names, newName](IIsoEdit& edit, std::string& why) {
            DirNode* copyNode = NodeAt(edit, names);
            if (copyNode == nullptr || !edit.Rename(newName.c_str(), copyNode)) {
                why = PathText(names) + " cannot be renamed";
                return false;
            }
            return true;
        });
        ItemInfo info;
        record->name = edit_->GetItemInfo(node, info) ? info.name : newName;
        // An entry read from the image is known by its name; one added from
        // disk keeps its file's path (its icon and type come from there).
        if (record->typeName.empty()) {
            record->path = record->name;
        }
    } else {
        // A composition's entry keeps its file on disk; only the name it
        // gets in the image changes.
        record->name = newName;
    }
    SetModified();
    ShowFolder(currentFolder_);
    if (record->isFolder == 1) {
        host_.FoldersChanged(&ModeRoot());
    }
    return true;
}

EntryRecord* CImageController::NewFolder()
{
    if (RefusedInUdfTree() || (imageMode_ && edit_ == nullptr)) {
        return nullptr;
    }
    const std::optional<std::string> name = host_.AskName("New Folder", "Folder name:", "New Folder");
    return name ? MakeFolder(currentFolder_, *name) : nullptr;
}

EntryRecord* CImageController::MakeFolder(EntryRecord* parentRecord, const std::string& name)
{
    if (RefusedInUdfTree() || parentRecord == nullptr || !NameIsFree(*parentRecord, nullptr, name)) {
        return nullptr;
    }
    if (!imageMode_) {
        auto record = std::make_unique<EntryRecord>();
        record->isFolder = 1;
        record->attributes = kDirectoryAttribute;
        record->name = name;
        static const QMimeDatabase mimeTypes;
        record->typeName = mimeTypes.mimeTypeForName(QStringLiteral("inode/directory")).comment().toStdString();
        EntryRecord* made = parentRecord->Append(std::move(record));
        SetModified();
        ShowFolder(currentFolder_);
        host_.FoldersChanged(&ModeRoot());
        return made;
    }
    DirNode* parentNode = NodeOf(parentRecord);
    if (edit_ == nullptr || parentNode == nullptr) {
        return nullptr;
    }
    DirNode* added = edit_->NewDirectory(name.c_str(), parentNode);
    if (added == nullptr) {
        Tell("The folder '" + name + "' cannot be made: " + edit_->GetLastError());
        return nullptr;
    }
    LogEdit([parent = NamePath(parentRecord), name](IIsoEdit& edit, std::string& why) {
        DirNode* copyParent = NodeAt(edit, parent);
        if (copyParent == nullptr || edit.NewDirectory(name.c_str(), copyParent) == nullptr) {
            why = "the folder " + name + " cannot be made in " + PathText(parent);
            return false;
        }
        return true;
    });
    const std::size_t before = parentRecord->children.size();
    BuildImageRecords(*parentRecord, added, false);
    if (parentRecord->children.size() == before) {
        return nullptr;
    }
    SetModified();
    ShowFolder(currentFolder_);
    host_.FoldersChanged(&ModeRoot());
    return parentRecord->children.back().get();
}

// --- Properties ----------------------------------------------------------------

namespace {

// The dialog shows dates to the second: a date within a second of the
// image's is one the user left alone.
bool SameSecond(const std::optional<platform::FileTime>& a, const std::optional<platform::FileTime>& b)
{
    constexpr platform::FileTime kSecond = 10'000'000;
    if (!a || !b) {
        return !a && !b;
    }
    return (*a > *b ? *a - *b : *b - *a) < kSecond;
}

} // namespace

bool CImageController::EditProperties()
{
    if (RefusedInUdfTree()) {
        return false;
    }
    if (!imageMode_) {
        // Unset texts and dates are the build's: its date label and moment.
        iso::VolumeProperties chosen = composeProperties_.value_or(iso::VolumeProperties{});
        if (!host_.EditProperties(chosen) || chosen == composeProperties_.value_or(iso::VolumeProperties{})) {
            return false;
        }
        composeProperties_ = chosen;
        SetModified();
        return true;
    }
    if (edit_ == nullptr) {
        return false;
    }
    const iso::VolumeProperties before = edit_->GetVolumeProperties();
    iso::VolumeProperties chosen = before;
    if (!host_.EditProperties(chosen)) {
        return false;
    }
    // A date left alone keeps its exact value; the modification date then
    // becomes the save's moment, as with every save.
    if (!chosen.creationDate || SameSecond(chosen.creationDate, before.creationDate)) {
        chosen.creationDate.reset();
    }
    if (!chosen.modificationDate || SameSecond(chosen.modificationDate, before.modificationDate)) {
        chosen.modificationDate.reset();
    }
    iso::VolumeProperties unchanged = before;
    unchanged.creationDate.reset();
    unchanged.modificationDate.reset();
    if (chosen == unchanged) {
        return false;
    }
    if (!edit_->SetVolumeProperties(chosen)) {
        Tell(std::string("The properties cannot be set: ") + edit_->GetLastError());
        return false;
    }
    LogEdit([chosen](IIsoEdit& edit, std::string& why) {
        if (!edit.SetVolumeProperties(chosen)) {
            why = std::string("the properties cannot be set: ") + edit.GetLastError();
            return false;
        }
        return true;
    });
    SetModified();
    return true;
}

// --- Extracting ----------------------------------------------------------------

bool CImageController::ExtractImageRecord(const EntryRecord& record, const std::string& destination)
{
    DirNode* node = NodeOf(&record);
    const auto udfNode = udfNodes_.find(&record);
    if (showsUdf_ ? udfNode == udfNodes_.end() || !udfVolume_ : edit_ == nullptr || node == nullptr) {
        return false;
    }
    ExtractProblem firstProblem = ExtractProblem::CannotCreate;
    std::vector<std::string> failures;
    // Entries written whole whose date or permission bits could not be set:
    // told, as the command line tells them, without stopping the command.
    std::vector<std::string> unkept;
    ExtractOptions options;
    options.report = [&](ExtractProblem problem, std::string_view message) {
        if (problem == ExtractProblem::Date || problem == ExtractProblem::Permissions
            || problem == ExtractProblem::Name) {
            unkept.emplace_back(message);
            return;
        }
        if (failures.empty()) {
            firstProblem = problem;
        }
        failures.emplace_back(message);
    };
    // Raw sectors whose own checks fail are extracted as they are stored,
    // and told.
    IIsoSector* sectors = showsUdf_ ? udfSectors_.Sectors() : edit_->GetSector();
    std::uint32_t firstDamaged = 0;
    const std::uint32_t damagedBefore = sectors != nullptr ? sectors->GetDamagedSectors(&firstDamaged) : 0;
    if (showsUdf_) {
        // File data is read in bounded chunks, files of 4 GiB or more too;
        // runs the UDF tree records as unwritten come out as zeros.
        iso::udf::VolumeTree tree(udfSectors_, *udfVolume_);
        ExtractEntries(tree, {tree.Handle(udfNode->second)}, destination, options);
    } else {
        ExtractEntries(*edit_, {node}, destination, options);
    }
    std::string damage;
    if (const std::uint32_t damaged = sectors != nullptr ? sectors->GetDamagedSectors(&firstDamaged) : 0;
        damaged > damagedBefore) {
        damage = DescribeDamagedSectors(damaged, firstDamaged) + ".";
    }
    if (failures.empty()) {
        if (!unkept.empty()) {
            Tell("Everything was extracted, but not every name, date or permission could be kept:" + FailureList(unkept)
                     + (damage.empty() ? "" : "\n\n" + damage),
                 kProgramCaption, PromptIcon::Warning);
        } else if (!damage.empty()) {
            Tell("Everything was extracted, but " + damage, kProgramCaption, PromptIcon::Warning);
        }
        return true;
    }
    if (record.isFolder != 1 && firstProblem == ExtractProblem::CannotCreate) {
        Tell("Create File Failure\n\n" + failures.front(), "Wrong Info");
    } else {
        failures.insert(failures.end(), unkept.begin(), unkept.end());
        Tell("Not everything could be extracted:" + FailureList(failures) + (damage.empty() ? "" : "\n\n" + damage),
             "Wrong Info");
    }
    return false;
}

bool CImageController::ExtractComposedRecord(const EntryRecord& record, const std::string& destination)
{
    namespace fs = std::filesystem;
    // Each entry under the name and in the folder the composition gives it,
    // with the bytes of its file on disk; a file already at the destination
    // is never overwritten. What the composition leaves out of an added
    // folder stays out; the empty files the build takes from such a folder
    // (they have no records) come along.
    struct Pending {
        const EntryRecord* entry; // null for an empty file without a record
        std::string source;
        fs::path target;
    };
    std::vector<std::string> failures;
    std::vector<Pending> pending{{&record, record.path, fs::path(destination) / record.name}};
    if (std::error_code error; !fs::create_directories(destination, error) && error) {
        failures.push_back("'" + destination + "': " + error.message());
        pending.clear();
    }
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        const std::string target = at.target.string();
        if (at.entry == nullptr || at.entry->isFolder != 1) {
            if (std::string why; !platform::PathExists(target) && !platform::CopyToNewFile(at.source, target, why)) {
                failures.push_back(why);
            }
            continue;
        }
        if (std::string why; !platform::MakeDirectory(target, &why)) {
            failures.push_back(why);
            continue;
        }
        for (const auto& child : at.entry->children) {
            pending.push_back({child.get(), child->path, at.target / child->name});
        }
        if (at.source.empty()) {
            continue; // a folder made in the composition
        }
        std::set<std::string> recorded;
        for (const auto& child : at.entry->children) {
            recorded.insert(PathKey(child->path));
        }
        const QFileInfoList files = QDir(QString::fromStdString(at.source))
                                        .entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
        for (const QFileInfo& file : files) {
            const std::string path = file.filePath().toStdString();
            // Pipes, sockets and devices are left out, as the build leaves
            // them out; reading a pipe would wait for a writer for ever.
            if (platform::FileInfo found; file.size() != 0 || !platform::GetFileInfo(path, found) || found.isSpecial) {
                continue;
            }
            const std::string key = PathKey(path);
            if (!recorded.contains(key) && !composeRemoved_.contains(key)) {
                pending.push_back({nullptr, path, at.target / file.fileName().toStdString()});
            }
        }
    }
    if (failures.empty()) {
        return true;
    }
    Tell("Not everything could be copied:" + FailureList(failures), "Wrong Info");
    return false;
}

bool CImageController::CopyOutRecord(const EntryRecord& record, const std::string& destination)
{
    return ImageMode() ? ExtractImageRecord(record, destination) : ExtractComposedRecord(record, destination);
}

bool CImageController::NamedAsOnDisk(const EntryRecord& record)
{
    return !record.path.empty() && record.name == DiskName(record.path);
}

// --- Boot image -------------------------------------------------------------------

void CImageController::LoadBootable()
{
    if (RefusedInUdfTree()) {
        return;
    }
    FileDialogSpec spec;
    spec.filter = kBootImageFilter;
    const QString path = host_.ChooseFile(spec);
    if (path.isEmpty()) {
        return;
    }
    DirNode* folderNode = NodeOf(currentFolder_);
    if (!imageMode_ || edit_ == nullptr || folderNode == nullptr) {
        host_.Ask("Couldn't Load Bootable Infomation", "Warning MessageBox", PromptButtons::YesNo,
                  PromptIcon::Warning);
        return;
    }
    // The file goes into the folder once, as the boot image.
    if (!edit_->LoadBootImage(path.toStdString().c_str(), folderNode)) {
        Tell(std::string("Couldn't Load Bootable Infomation\n\n") + edit_->GetLastError(), "Warning MessageBox",
             PromptIcon::Warning);
        return;
    }
    LogEdit([folder = NamePath(currentFolder_), file = path.toStdString()](IIsoEdit& edit, std::string& why) {
        DirNode* copyFolder = NodeAt(edit, folder);
        if (copyFolder == nullptr || !edit.LoadBootImage(file.c_str(), copyFolder)) {
            why = "the boot image '" + file + "' cannot be loaded";
            return false;
        }
        return true;
    });
    bootLoaded_ = true;
    SetModified();
    if (edit_->WasReplaced()) {
        DropGoneRecords(*currentFolder_, false);
    }
    AddMissingImageRecords(*currentFolder_);
    ShowFolder(currentFolder_);
}

void CImageController::SaveBootable()
{
    if (!imageMode_) {
        Tell("You should open ISO first", "Warning Information");
        return;
    }
    if (!bootable_) {
        Tell("The Image File is not bootable File", "Warning Information");
        return;
    }
    FileDialogSpec spec;
    spec.save = true;
    spec.filter = kBootImageFilter;
    const QString path = host_.ChooseFile(spec);
    if (path.isEmpty() || edit_ == nullptr) {
        return;
    }
    CByteBuffer buffer(256);
    if (!edit_->SaveBootImage(buffer)) {
        Tell(std::string("The boot image could not be read: ") + edit_->GetLastError());
        return;
    }
    // Complete or not at all: a file it replaces stays as it was until the
    // boot image is wholly on the disk.
    platform::AtomicOutput output;
    if (!output.Open(path.toStdString(), platform::ExistingOutput::Replace)
        || !output.Stream().Write(buffer.GetData(), static_cast<std::size_t>(buffer.GetSize())) || !output.Commit()) {
        Tell("'" + path.toStdString() + "' could not be written: " + output.LastError());
    }
}

void CImageController::DeleteBootable()
{
    if (!imageMode_) {
        Tell("You should open ISO first", "Warning Infor");
        return;
    }
    if (!HasBootImageToDelete()) {
        Tell("The Image File is not bootable File", "Warning Information");
        return;
    }
    if (edit_ == nullptr || RefusedInUdfTree()) {
        return;
    }
    edit_->DeleteBootImage();
    DropGoneRecords(imageRoot_, true);
    bootLoaded_ = false;
    LogEdit([](IIsoEdit& edit, std::string&) {
        edit.DeleteBootImage();
        return true;
    });
    // Otherwise Save would not write the change.
    SetModified();
}

void CImageController::SaveFinished(bool saved)
{
    if (!saved) {
        return;
    }
    modified_ = false;
    editLog_.clear();
    bootable_ = edit_ != nullptr && edit_->HasBootImage();
    bootLoaded_ = false;
    // The save wrote names the image cannot hold as given converted or
    // cut, as the image's names go; the rows show what it holds.
    ShowEngineNames();
    host_.ContentsChanged();
}

void CImageController::ShowEngineNames()
{
    if (!imageMode_ || edit_ == nullptr) {
        return;
    }
    bool renamed = false;
    bool folderRenamed = false;
    std::vector<EntryRecord*> pending{&imageRoot_};
    while (!pending.empty()) {
        EntryRecord* folder = pending.back();
        pending.pop_back();
        for (const std::unique_ptr<EntryRecord>& child : folder->children) {
            pending.push_back(child.get());
            ItemInfo info;
            DirNode* node = NodeOf(child.get());
            if (node == nullptr || !edit_->GetItemInfo(node, info) || info.name == child->name) {
                continue;
            }
            child->name = info.name;
            // As after a rename: an entry added from disk keeps its file's path.
            if (child->typeName.empty()) {
                child->path = child->name;
            }
            renamed = true;
            folderRenamed = folderRenamed || child->isFolder == 1;
        }
    }
    if (renamed) {
        ShowFolder(currentFolder_);
    }
    if (folderRenamed) {
        host_.FoldersChanged(&imageRoot_);
    }
}

IIsoEdit* CImageController::PrepareSaveAs(const std::string& target)
{
    namespace fs = std::filesystem;
    if (!HasOpenedImage() || saveAsEdit_ != nullptr) {
        return nullptr;
    }
    if (edit_ == nullptr) {
        Tell("This image holds a UDF file system alone, which is read-only here: it cannot be saved under "
             "another name.",
             kProgramCaption, PromptIcon::Information);
        return nullptr;
    }
    // An image opened through a CUE sheet is saved as a raw image with a
    // one-track sheet of its own beside it, as ISO to BIN writes them, so
    // that it opens again here and in other programs: a chosen sheet name
    // gets its raw image beside it as ".bin".
    std::string dataTarget = target;
    std::string sheetTarget;
    std::string openedData;
    std::string why;
    if (ResolveImagePath(imagePath_, openedData, why) && openedData != imagePath_) {
        sheetTarget = CueSheetPathFor(target);
        if (sheetTarget == target) {
            dataTarget = target.substr(0, target.size() - platform::ExtensionOf(target).size()) + ".bin";
        }
        if (platform::FileNameOf(dataTarget).find_first_of("\"\r\n") != std::string_view::npos) {
            Tell("'" + dataTarget + "' cannot be named in a CUE sheet: choose a name without double quotes.",
                 kProgramCaption, PromptIcon::Warning);
            return nullptr;
        }
    }
    std::error_code error;
    if (fs::equivalent(target, imagePath_, error) || fs::equivalent(dataTarget, openedData, error)
        || (!sheetTarget.empty() && fs::equivalent(sheetTarget, imagePath_, error))) {
        Tell("'" + target + "' is the opened image itself: Save writes the edits into it.", kProgramCaption,
             PromptIcon::Warning);
        return nullptr;
    }
    // The copy is made under a temporary name beside the target, edited
    // and saved there, and takes the target's name only once it is saved.
    const std::string copy = platform::TemporaryPathFor(dataTarget);
    if (!CopyImageFile(*edit_, copy, why)) {
        Tell("Save ISO Failed!\n" + why);
        return nullptr;
    }
    saveAsEdit_ = MakeComponent(Edit1);
    saveAsCopy_ = copy;
    saveAsTarget_ = dataTarget;
    saveAsSheet_ = sheetTarget;
    if (saveAsEdit_ == nullptr || !saveAsEdit_->Open(copy.c_str())) {
        why = saveAsEdit_ != nullptr ? saveAsEdit_->GetLastError() : "the image cannot be opened";
        DropSaveAs();
        Tell("Save ISO Failed!\n" + why);
        return nullptr;
    }
    saveAsEdit_->SetNameSource(NamesOf(choice_));
    saveAsEdit_->LoadTree();
    for (const LoggedEdit& logged : editLog_) {
        if (!logged(*saveAsEdit_, why)) {
            DropSaveAs();
            Tell("Save ISO Failed!\nThe edits cannot be made again on the copy: " + why);
            return nullptr;
        }
    }
    return saveAsEdit_.get();
}

bool CImageController::FinishSaveAs(bool saved)
{
    if (saveAsEdit_ == nullptr) {
        return false;
    }
    saveAsEdit_.reset();
    if (!saved) {
        // The save has said why.
        DropSaveAs();
        return false;
    }
    std::error_code error;
    std::filesystem::rename(saveAsCopy_, saveAsTarget_, error);
    if (error) {
        const std::string target = saveAsTarget_;
        DropSaveAs();
        Tell("Save ISO Failed!\n'" + target + "': " + error.message());
        return false;
    }
    const std::string target = saveAsTarget_;
    const std::string sheet = saveAsSheet_;
    saveAsCopy_.clear();
    saveAsTarget_.clear();
    saveAsSheet_.clear();
    // The edits live on in the new file; the opened image stays as it was.
    modified_ = false;
    editLog_.clear();
    if (sheet.empty()) {
        return OpenImage(target);
    }
    // The opened sheet's tracks and modes where it names no other file; a
    // one-track sheet as ISO to BIN writes it otherwise.
    const std::string text = CueSheetForCopy(imagePath_, platform::FileNameOf(target)).value_or(CueSheetText(target));
    platform::AtomicOutput output;
    if (!output.Open(sheet, platform::ExistingOutput::Replace) || !output.Stream().Write(text.data(), text.size())
        || !output.Commit()) {
        Tell("Save ISO Failed!\nThe edited image is in '" + target + "', but its CUE sheet could not be written: "
             + output.LastError());
        OpenImage(target);
        return false;
    }
    return OpenImage(sheet);
}

void CImageController::DropSaveAs()
{
    saveAsEdit_.reset();
    if (!saveAsCopy_.empty()) {
        std::error_code error;
        std::filesystem::remove(saveAsCopy_, error);
    }
    saveAsCopy_.clear();
    saveAsTarget_.clear();
    saveAsSheet_.clear();
}

// --- What the panes show ------------------------------------------------------

std::string CImageController::GetTypeName(const std::string& path)
{
    const QFileInfo file(QString::fromStdString(path));
    if (file.exists()) {
        static const QMimeDatabase mimeTypes;
        const QMimeType type = mimeTypes.mimeTypeForFile(file);
        if (type.isValid() && !type.isDefault() && !type.comment().isEmpty()) {
            return type.comment().toStdString();
        }
    }
    const std::size_t dot = path.rfind('.');
    const std::size_t separator = path.find_last_of("/\\");
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
        std::string extension = path.substr(dot + 1);
        for (char& c : extension) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return extension + " File";
    }
    return "File";
}

std::uint64_t CImageController::ContentSize() const
{
    if (imageMode_) {
        const QFileInfo file(QString::fromStdString(imagePath_));
        return HasOpenedImage() && file.exists() ? static_cast<std::uint64_t>(file.size()) : 0;
    }
    std::uint64_t sectors = kVolumeOverheadSectors;
    std::uint64_t recordBytes = 0;
    std::vector<const EntryRecord*> pending{&composeRoot_};
    while (!pending.empty()) {
        const EntryRecord* folder = pending.back();
        pending.pop_back();
        for (const auto& child : folder->children) {
            recordBytes += kRecordBytesPerEntry;
            if (child->isFolder == 1) {
                pending.push_back(child.get());
            } else {
                sectors += (child->size + iso::kSectorSize - 1) / iso::kSectorSize;
            }
        }
    }
    sectors += (recordBytes + iso::kSectorSize - 1) / iso::kSectorSize;
    return composeRoot_.children.empty() ? 0 : sectors * iso::kSectorSize;
}

std::string CImageController::ImageFileName() const
{
    return HasOpenedImage() ? QFileInfo(QString::fromStdString(imagePath_)).fileName().toStdString()
                                          : std::string();
}

bool CImageController::FillBuild(IIsoBuild& builder, std::vector<std::string>& failures)
{
    if (composeProperties_ && !builder.SetVolumeProperties(*composeProperties_)) {
        failures.push_back(builder.GetLastError());
    }
    ComposeFolder(builder, composeRoot_, builder.GetRoot(), failures);
    return failures.empty();
}

void CImageController::ComposeFolder(IIsoBuild& builder, const EntryRecord& folder, MacroNode* node,
                                     std::vector<std::string>& failures)
{
    IMacroList& list = *builder.GetList();
    const auto rename = [&list](MacroNode* target, const std::string& name) {
        SourceNode info;
        list.GetInfo(target, info);
        info.name = name;
        info.nameLength = static_cast<std::uint32_t>(name.size());
        list.SetInfo(target, info);
    };
    std::map<std::string, const EntryRecord*> scanned;
    for (const auto& child : folder.children) {
        if (child->scanned) {
            scanned.emplace(PathKey(child->path), child.get());
        }
    }
    std::vector<MacroNode*> fromDisk;
    for (MacroNode* child = list.GetFirstChild(node); child != nullptr; child = list.GetNextSibling(child)) {
        fromDisk.push_back(child);
    }
    for (MacroNode* child : fromDisk) {
        SourceNode info;
        list.GetInfo(child, info);
        const std::string key = PathKey(info.diskPath);
        if (composeRemoved_.contains(key)) {
            list.DeleteNode(node, child);
            continue;
        }
        const auto record = scanned.find(key);
        if (record == scanned.end()) {
            continue; // what the list leaves out (empty files) goes in as the folder holds it
        }
        if (record->second->name != DiskName(record->second->path)) {
            rename(child, record->second->name);
        }
        if (record->second->isFolder == 1) {
            ComposeFolder(builder, *record->second, child, failures);
        }
    }
    for (const auto& child : folder.children) {
        if (child->scanned) {
            continue;
        }
        MacroNode* added = nullptr;
        if (child->isFolder == 1 && child->path.empty()) {
            SourceNode made;
            made.isDirectory = true;
            made.creationTime = platform::CurrentFileTime();
            added = list.AddChild(node, made);
        } else {
            added = child->isFolder == 1 ? builder.AddDirectoryTree(child->path.c_str(), node)
                                         : builder.AddFile(child->path.c_str(), node);
        }
        if (added == nullptr) {
            failures.push_back(child->path.empty() ? "the folder '" + child->name + "' cannot be made"
                                                   : builder.GetLastError());
            continue;
        }
        if (child->path.empty() || child->name != DiskName(child->path)) {
            rename(added, child->name);
        }
        if (child->isFolder == 1) {
            ComposeFolder(builder, *child, added, failures);
        }
    }
}

} // namespace tarvelin::shell
