#pragma once

// What the file list works on, without the widgets: the records of a
// composition or of the opened image, the image component with the bindings
// of records to its nodes, the folder shown, and the commands that change
// them (open, add, delete, rename, new folder, extract, the boot image).
// An image's UDF tree is shown read-only: browsed, viewed and extracted;
// its edits go through the ISO 9660 tree, whose save keeps the UDF tree in
// step.
//
// The controller speaks to the user and to the panes only through
// IImageControllerHost: questions and messages, file pickers, a name typed
// in, and notices that the rows, the folders or the state have changed.
// The list view is the host in the program; tests script one of their own.
//
// Work on worker threads (the save and the build) is started by the list
// view, which also refuses the commands that would touch a busy component;
// the controller is told when a save has ended.

#include "entry_record.h"
#include "shell_services.h"

#include "edit/iso_edit.h"
#include "iso/iso9660.h"
#include "edit/udf_image.h"
#include "platform/prompt.h"

#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvelin {
class IIsoBuild;
struct MacroNode;
enum class NameSource : std::uint32_t;
}

namespace tarvelin::shell {

// Failures listed one a line below a message, the first few of them.
std::string FailureList(const std::vector<std::string>& failures);

// Which tree of an opened image the panes show: its ISO 9660 tree with the
// names the engine picks or those chosen, or its UDF tree (read-only here).
// Automatic shows the UDF tree when only it holds some of the files (see
// CImageController::OpenImage); an image of UDF alone shows it whatever the
// choice.
enum class TreeChoice : std::uint32_t { Automatic, RockRidge, Joliet, Iso, Udf };

// The names the ISO 9660 tree is read with under a choice.
NameSource NamesOf(TreeChoice choice);

class IImageControllerHost {
public:
    virtual ~IImageControllerHost() = default;

    virtual platform::PromptAnswer Ask(const std::string& text, const std::string& caption,
                                       platform::PromptButtons buttons, platform::PromptIcon icon) = 0;
    // Empty when the user cancelled.
    virtual QString ChooseFile(const FileDialogSpec& spec) = 0;
    virtual QStringList ChooseFiles(const FileDialogSpec& spec) = 0;
    virtual QString ChooseFolder(const QString& title) = 0;
    // A name typed in, starting from `initial`; nothing when cancelled.
    virtual std::optional<std::string> AskName(const std::string& title, const std::string& label,
                                               const std::string& initial) = 0;
    // The Properties dialog over properties; false when cancelled.
    virtual bool EditProperties(iso::VolumeProperties& properties) = 0;

    // The folder's rows changed, or it became the folder shown: list it
    // again (before any message is shown, rows may stand for freed records).
    virtual void ListFolder(EntryRecord* folder) = 0;
    // Folders were added, removed or renamed below root.
    virtual void FoldersChanged(EntryRecord* root) = 0;
    // Make the folder visible and current in the folder tree.
    virtual void RevealFolder(EntryRecord* folder) = 0;
    // An image was opened or dropped, or its names changed.
    virtual void ImageChanged() = 0;
    // Edits were made or saved: the modified mark and the sizes changed.
    virtual void ContentsChanged() = 0;
};

class CImageController {
public:
    explicit CImageController(IImageControllerHost& host);
    ~CImageController();
    CImageController(const CImageController&) = delete;
    CImageController& operator=(const CImageController&) = delete;

    // Drops the records of the mode in force (and the image component in
    // image mode); the mode stays.
    void ClearCurrentMode();
    // Drops the current mode's records and component, then opens the image
    // and lists its root (the tree of the choice in force); "open error
    // file!" when it cannot be opened.
    bool OpenImage(const std::string& path);
    // Opens the image again with the tree and names of choice; the folder
    // shown stays where the image still has it. afterSave: the edits have
    // just been saved, so the folders may have moved.
    void ReloadWithChoice(TreeChoice choice, bool afterSave);
    // True, after telling the user that the UDF tree is read-only here and
    // how to edit, when the panes show an image's UDF tree.
    bool RefusedInUdfTree();

    // Appends a record for a file or folder on disk below parentRecord (a
    // folder with everything below it). With an image opened the entry is
    // added to the image too and its records are those of the new image
    // entries, each bound to its node. Null when nothing was added (the
    // reason has been shown).
    EntryRecord* AddEntry(const std::string& diskPath, EntryRecord* parentRecord);
    // Adds each path into the folder shown; true when anything was added.
    bool AddPaths(const QStringList& paths);
    // Add Files... and Add Directory...: the paths chosen by the user.
    void AddFiles();
    void AddDirectory();
    // Removes children of the folder shown (and their image entries).
    void DeleteRecords(const std::vector<EntryRecord*>& records);
    // Rename: asks for the record's new name; true when it changed. The
    // record must be a child of the folder shown.
    bool RenameRecord(EntryRecord* record);
    // Renames without asking; false (after saying why) when it cannot.
    bool Rename(EntryRecord* record, const std::string& newName);
    // New Folder: asks for a name and makes an empty folder in the folder
    // shown; the new record, or null.
    EntryRecord* NewFolder();
    EntryRecord* MakeFolder(EntryRecord* parentRecord, const std::string& name);

    // Properties...: the volume texts and dates of the opened image, or of
    // the image the composition will become, shown and, as the user changed
    // them, written by the next save or build. True when anything changed.
    bool EditProperties();

    // Hands the composition to a builder whose output is set: every entry
    // as the user arranged it (renamed, made, deleted, added into folders
    // that came from disk) and the chosen properties. False, with each
    // reason in failures, when any entry cannot go in.
    bool FillBuild(IIsoBuild& builder, std::vector<std::string>& failures);

    // Writes one entry of the opened image (a folder with everything below
    // it) into destination; false, after telling the user, when it could
    // not. Entries written whole whose date or permission bits could not be
    // set are told as a warning and count as extracted.
    bool ExtractImageRecord(const EntryRecord& record, const std::string& destination);

    // Copies one record of the composition (a folder with everything below
    // it) into destination as the composition arranges it: the names,
    // folders and deletions made here, the bytes of the files on disk.
    // Files already there are kept. False, after telling the user, when
    // not everything could be copied.
    bool ExtractComposedRecord(const EntryRecord& record, const std::string& destination);
    // The one of the two above that the window's mode calls for.
    bool CopyOutRecord(const EntryRecord& record, const std::string& destination);
    // A record of the composition that the image names as its file on disk
    // is named (not renamed, not a folder made here).
    static bool NamedAsOnDisk(const EntryRecord& record);

    // The boot menu.
    void LoadBootable();
    void SaveBootable();
    void DeleteBootable();

    // The save of the opened image, or the build of the composition, ended.
    void SaveFinished(bool saved);

    // Save As, first half: the opened image file copied (complete or not at
    // all) beside target, opened, and the edits made since the last save
    // done again there. An image opened through a CUE sheet goes to a raw
    // image with a sheet of its own (a target named as a sheet is the
    // sheet's name, the raw image going beside it as ".bin"). The facade of the copy, ready for its save (owned
    // by the controller); null, after saying why, when it cannot be had.
    // The opened image is not touched.
    IIsoEdit* PrepareSaveAs(const std::string& target);
    // Save As, second half, once the copy's save has ended: a saved copy
    // takes the target's name and is opened in place of the image; a
    // failed one is removed. True when the target holds the edited image.
    bool FinishSaveAs(bool saved);
    bool SavingAs() const { return saveAsEdit_ != nullptr; }

    // Makes the record the current folder and lists its children.
    void ShowFolder(EntryRecord* record);

    static std::string GetTypeName(const std::string& path);
    // The bytes of the opened image file, or what the composition's files
    // come to (their data, rounded up to whole sectors, and the volume's
    // metadata, estimated).
    std::uint64_t ContentSize() const;
    // The name of the opened image's file; empty for a composition.
    std::string ImageFileName() const;

    // Null for an image of UDF alone.
    IIsoEdit* Edit() const { return edit_.get(); }
    bool HasOpenedImage() const { return imageMode_ && (edit_ != nullptr || showsUdf_); }
    bool ImageMode() const { return imageMode_; }
    bool Modified() const { return modified_; }
    void SetModified() { modified_ = true; host_.ContentsChanged(); }
    bool Bootable() const { return bootable_; }
    // Delete Bootable has something to drop: the image's boot image, or one
    // loaded since the last save.
    bool HasBootImageToDelete() const { return bootable_ || bootLoaded_; }
    bool HasRockRidge() const { return hasRockRidge_; }
    TreeChoice ChosenTree() const { return choice_; }
    // The opened image carries a UDF volume that reads.
    bool HasUdfTree() const { return hasUdfTree_; }
    // The panes show the opened image's UDF tree.
    bool ShowsUdfTree() const { return imageMode_ && showsUdf_; }
    const std::string& ImagePath() const { return imagePath_; }
    void SetImagePath(const std::string& path) { imagePath_ = path; }
    EntryRecord* CurrentFolder() const { return currentFolder_; }
    EntryRecord& ImageRoot() { return imageRoot_; }
    EntryRecord& ComposeRoot() { return composeRoot_; }
    EntryRecord& ModeRoot() { return imageMode_ ? imageRoot_ : composeRoot_; }
    const RecordNodeMap& NodeMap() const { return nodeMap_; }
    DirNode* NodeOf(const EntryRecord* record) const;

private:
    void Tell(const std::string& text, const char* caption = "Tarvelin",
              platform::PromptIcon icon = platform::PromptIcon::None);
    void BuildImageRecords(EntryRecord& parentRecord, DirNode* firstNode, bool followSiblings = true);
    // The rows of the opened image take the names the engine reports now.
    void ShowEngineNames();
    // Reads the UDF volume of the opened image, through the image component
    // of the editing facade or, with none, of the image file itself, and
    // decides which tree the panes show; false, with why, when an image of
    // UDF alone cannot be read.
    bool OpenUdfTree(const std::string& path, std::string& why);
    // Tells what the image just opened survived: a save put back after it
    // was cut short, a damaged tree, raw sectors read damaged. The damage is
    // told once for an image, not again when a save or a change of names
    // reads it anew.
    void TellWhatTheOpenMet(const std::string& path);
    // Whether the UDF tree holds files whose data the ISO 9660 tree does not
    // reach.
    bool UdfHoldsMoreFiles();
    void BuildUdfRecords();
    void AddFolderTreeRecords(const std::string& folderPath, EntryRecord& parentRecord);
    // Records for the image entries of the folder's node that no record
    // stands for yet.
    void AddMissingImageRecords(EntryRecord& folderRecord);
    // After an edit that took other entries along: drops the records of
    // top (and, with below, of every folder under it) whose entries the
    // image no longer holds.
    void DropGoneRecords(EntryRecord& top, bool below);
    // Whether the name can be given to a new or renamed entry of parent
    // (other than `self`); says why not.
    bool NameIsFree(const EntryRecord& parent, const EntryRecord* self, const std::string& name);
    std::vector<EntryRecord*> FolderChain(EntryRecord* folder);
    // The names from the root down to the record (empty for the root).
    std::vector<std::string> NamePath(const EntryRecord* record);
    // An edit done again on another facade of the same image; false with
    // the reason.
    using LoggedEdit = std::function<bool(IIsoEdit& edit, std::string& why)>;
    void LogEdit(LoggedEdit edit) { editLog_.push_back(std::move(edit)); }
    void DropSaveAs();
    // One folder of the composition into the build: first what the folder
    // got from disk (removed, renamed, descended into), then what the user
    // put into it.
    void ComposeFolder(IIsoBuild& builder, const EntryRecord& folder, MacroNode* node,
                       std::vector<std::string>& failures);
    EntryRecord* DeepestFolderAlong(std::size_t levels,
                                    const std::function<bool(std::size_t, const EntryRecord&)>& isStep);

    IImageControllerHost& host_;
    EntryRecord composeRoot_;
    EntryRecord imageRoot_;
    RecordNodeMap nodeMap_;
    EntryRecord* currentFolder_ = &composeRoot_;
    ComponentPtr<IIsoEdit> edit_;
    std::string imagePath_;
    std::string damageToldFor_; // the image whose damage was told last
    bool imageMode_ = false;
    bool modified_ = false;
    bool bootable_ = false;
    // A boot image was loaded and not saved yet.
    bool bootLoaded_ = false;
    bool hasRockRidge_ = false;
    TreeChoice choice_ = TreeChoice::Automatic;
    // The opened image's UDF volume, kept while its tree is shown, read
    // through the facade's image component or, for an image of UDF alone,
    // the file itself; the node each record stands for.
    bool hasUdfTree_ = false;
    bool showsUdf_ = false;
    iso::udf::ImageSectors udfSectors_;
    std::optional<iso::udf::Volume> udfVolume_;
    std::map<const EntryRecord*, std::int32_t> udfNodes_;
    // The edits since the image was opened or last saved, in order.
    std::vector<LoggedEdit> editLog_;
    // The composition's chosen properties, and the disk paths of entries
    // that came with an added folder and were deleted from it.
    std::optional<iso::VolumeProperties> composeProperties_;
    std::set<std::string> composeRemoved_;
    ComponentPtr<IIsoEdit> saveAsEdit_;
    std::string saveAsCopy_;
    std::string saveAsTarget_;
    // The CUE sheet written beside the target when the image was opened
    // through one; empty otherwise.
    std::string saveAsSheet_;
};

} // namespace tarvelin::shell
