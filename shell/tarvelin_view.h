#pragma once

// The file list, the right pane, and the owner of everything the user works
// on: the records of a composition or of the opened image, the image
// component, and the bindings of records to image nodes. The list shows the
// children of one folder record at a time, in one of four view modes.
//
// The records, the image component and the commands that change them are
// the controller's (image_controller.h); the list is its host: it asks the
// user, picks files and shows what the controller changed.
//
// Commands reach the list by number (HandleCommand); the frame forwards
// them whichever pane has the focus, so each runs once. Their handlers are
// in view_commands.cpp.
//
// Long work (the save of the opened image, the build of a new one, the copy
// of a floppy) runs on the engines' worker threads. Their callbacks only
// post each value to this view on the GUI thread, which alone touches the
// widgets, the records and the components. While such work runs, the
// commands that would use or release its component are refused, and closing
// the window waits for the save or asks to stop the build.

#include "entry_record.h"
#include "image_controller.h"
#include "record_model.h"

#include "capture/floppy.h"

#include <QIcon>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

class QListView;
class QStackedWidget;
class QTreeView;
class QAbstractItemView;
class QMimeData;
class QModelIndex;

namespace tarvelin {
class IIsoEdit;
class IIsoBuild;
class IBootImageMaker;
enum class NameSource : std::uint32_t;
}

namespace tarvelin::shell {

class CTarvelinDoc;
class ProgressSession;

class CTarvelinView final : public QWidget, private IImageControllerHost {
    Q_OBJECT
public:
    CTarvelinView(CTarvelinDoc* doc, QWidget* parent = nullptr);
    ~CTarvelinView() override;

    // Runs the handler of a command; false when the list has none for it.
    bool HandleCommand(int id);
    bool HasHandler(int id) const;

    // Makes the record the current folder and lists its children.
    void ShowFolder(EntryRecord* record);
    // Drops the current mode's records and component, then opens the image
    // and lists its root; "open error file!" when it cannot be opened.
    bool OpenImage(const std::string& path);
    // Open Recent: the image of the kept list, opened as Open opens it
    // (unsaved edits are not dropped without asking).
    void OpenRecent(const std::string& path);
    // The New command: drops the records of the mode in force (and the
    // image component in image mode); the mode stays.
    void ClearCurrentMode();

    // Which tree and names of an image the panes show (Rock Ridge, Joliet,
    // ISO 9660, the UDF tree or the automatic choice), for the opened image
    // and those opened later in this session. The opened image is read
    // again with them, and the folder shown stays shown where the image
    // still has it.
    // Unsaved edits are not dropped silently: "Save changes?" is asked as
    // New and Open ask it; Cancel keeps the names and the edits. Without an
    // opened image nothing happens.
    void ChooseTree(TreeChoice choice);
    TreeChoice ChosenTree() const { return controller_.ChosenTree(); }
    // An image is open (a New in image mode leaves none).
    bool HasOpenedImage() const { return controller_.HasOpenedImage(); }
    bool ImageHasRockRidge() const { return controller_.HasRockRidge(); }

    // One of the view-mode command numbers (32804 to 32807).
    void SetViewMode(int commandId);
    int ViewMode() const { return viewMode_; }

    // A click on a column header: a new column sorts ascending, the same
    // column again reverses the direction.
    void OnColumnClick(int column);
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return sortAscending_; }

    // Double-click on a row: a folder row opens that folder, a file row is
    // opened on the desktop (a file of the opened image as View does it).
    void OnRowDoubleClicked(int row);

    // Appends a record for a file or folder on disk below parentRecord (a
    // folder with everything below it). With an image opened the entry is
    // added to the image too and its records are those of the new image
    // entries, each bound to its node. Null when nothing was added (the
    // reason has been shown).
    EntryRecord* AddEntry(const std::string& diskPath, EntryRecord* parentRecord);
    // Extracts the selected rows into a folder, as Extract does after its
    // dialog.
    void ExtractSelection(const std::string& destination);
    // Files and folders dropped from the desktop, added as Add Files and Add
    // Directory add them; false when nothing could be added.
    bool AddDroppedPaths(const QStringList& paths);
    // What dragging the rows out of the list hands over: file URLs of the
    // entries copied to the temporary folder first, those of an opened image
    // extracted, those of a composition as it arranges them. Null when none
    // could be provided.
    QMimeData* DragData(const std::vector<EntryRecord*>& records);
    // Opens a file row (View, double-click) under the name the image gives
    // it: an image's entry extracted to the temporary folder, a composition's
    // file where it lies on disk, or a copy when it was renamed here.
    void OpenFileRow(const EntryRecord& record);

    // Work running on a worker thread.
    bool IsSaving() const { return saving_; }
    bool IsBuilding() const { return building_; }
    // New images get a UDF file system beside ISO 9660 and Joliet.
    bool BuildsUdf() const { return buildUdf_; }
    bool IsMakingBootImage() const { return maker_ != nullptr; }
    bool IsBusy() const { return IsSaving() || IsBuilding() || IsMakingBootImage(); }
    bool Modified() const { return controller_.Modified(); }
    const std::string& ImagePath() const { return controller_.ImagePath(); }
    // The device or file Make Bootable Info From Floppy copies instead of
    // the first floppy drive; empty for the drive.
    void SetFloppyDevice(const std::string& path) { floppyDevice_ = path; }
    // The progress dialog of saves and builds and their workers' reports.
    ProgressSession& Progress() { return *progress_; }
    // The link the Homepage and Support commands open.

    int GetIconIndex(const std::string& path, std::uint32_t attributes);
    QIcon IconAt(int index) const;
    static std::string GetTypeName(const std::string& path) { return CImageController::GetTypeName(path); }

    bool ImageMode() const { return controller_.ImageMode(); }
    bool Bootable() const { return controller_.Bootable(); }
    EntryRecord* CurrentFolder() const { return controller_.CurrentFolder(); }
    EntryRecord& ImageRoot() { return controller_.ImageRoot(); }
    EntryRecord& ComposeRoot() { return controller_.ComposeRoot(); }
    const RecordNodeMap& NodeMap() const { return controller_.NodeMap(); }
    CImageController& Controller() { return controller_; }
    // What the window's title and status bar show: the image's file name
    // with "*" while edits are unsaved, and its size.
    QString TitleText() const;
    QString SizeStatusText() const;
    RecordListModel& Model() { return *model_; }
    QTreeView* DetailsView() const { return details_; }
    QListView* IconsView() const { return icons_; }
    // The item view the current mode shows.
    QAbstractItemView* ActiveItemView() const;
    // Rows selected, in list order.
    std::vector<int> SelectedRows() const;
    const QString& TemporaryFolder() const { return temporaryFolder_; }
    // Makes or checks this run's temporary folder; when it cannot be had,
    // false (and, with tell, a message that says why).
    bool ReadyTemporaryFolder(bool tell);

signals:
    // A right click in the list, at a global position.
    void contextMenuRequested(const QPoint& globalPosition);
    // An image was opened or dropped, or its names changed: what the
    // commands may do has changed.
    void imageChanged();
    // Edits were made or saved: the title and the sizes shown changed.
    void contentsChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    using Handler = void (CTarvelinView::*)();
    static const std::map<int, Handler>& Handlers();

    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void OnFileSaveAs();
    void OnCompact();
    void OnAddFiles();
    void OnAddDirectory();
    void OnExtract();
    void OnView();
    void OnDelete();
    void OnRename();
    void OnNewFolder();
    void OnProperties();
    void OnBuildUdf() { buildUdf_ = !buildUdf_; }
    void OnSelectAll();
    void OnLoadBootable();
    void OnSaveBootable();
    void OnDeleteBootable();
    void OnBootableFromFloppy();
    void OnBinToIso();
    void OnIsoToBin();
    void OnOtherFormatConvert();
    void OnMakeIsoFromCd();
    void OnHelpContents();
    void OnHomepage();
    void OnSupport();
    // Opens the user guide at a section (its first page for none).
    void OpenUserGuide(const QString& section);

    // Work on worker threads: the save and the build report through the
    // progress session; the floppy copy posts its end to the view.
    void StartImageSave(std::function<void()> afterSave);
    // afterBuild runs once the build has succeeded, in place of the opening
    // of the first image built.
    void StartBuild(std::function<void()> afterBuild);
    void OnSaveFinished(bool saved);
    void OnBuildFinished(bool built);
    void OnFloppyEnded(bool complete);
    void CloseWindowIfAsked();
    void NewProgressSession();
    // Stops a running build; its partial output is removed.
    void StopBuild();

    // Which components a command uses; true, after saying so, when one of
    // them is busy on a worker thread. kUsesImage is the opened image or,
    // while composing, the composition, which a running build was made
    // from: an edit made then would be in neither the new image nor, once
    // the build ends, the list.
    enum Uses : unsigned { kUsesImage = 1, kUsesBuilder = 2, kUsesMaker = 4 };
    bool RefusedWhileBusy(unsigned uses);
    // Before an opened image with unsaved edits, or a composition changed
    // since its last build, is dropped: true to go on now; false when the
    // user cancelled, or chose to save (build) first (then `then` runs once
    // the save or the build has succeeded).
    bool ConfirmDropEdits(std::function<void()> then);
    bool HandleWindowClose(QEvent* event);
    bool HandleDrop(QObject* viewport, QEvent* event);

    std::vector<EntryRecord*> SelectedRecords() const;

    // The controller's host.
    platform::PromptAnswer Ask(const std::string& text, const std::string& caption, platform::PromptButtons buttons,
                               platform::PromptIcon icon) override;
    QString ChooseFile(const FileDialogSpec& spec) override;
    QStringList ChooseFiles(const FileDialogSpec& spec) override;
    QString ChooseFolder(const QString& title) override;
    std::optional<std::string> AskName(const std::string& title, const std::string& label,
                                       const std::string& initial) override;
    bool EditProperties(iso::VolumeProperties& properties) override;
    void ListFolder(EntryRecord* folder) override;
    void FoldersChanged(EntryRecord* root) override;
    void RevealFolder(EntryRecord* folder) override;
    void ImageChanged() override;
    void ContentsChanged() override;

    CTarvelinDoc* doc_;
    CImageController controller_{*this};
    ComponentPtr<IBootImageMaker> maker_;
    bool saving_ = false;
    bool building_ = false;
    bool buildUdf_ = false;
    // The first build's image opens by itself once it is complete.
    bool builtImageOpened_ = false;
    std::function<void()> afterSave_;
    // What waits for the running build: New, Open or closing the window
    // after "Save changes?" was answered Yes while composing.
    std::function<void()> afterBuild_;
    bool closeWhenIdle_ = false;
    // "Save changes?" is up: a second close request does not ask again.
    bool askingToSave_ = false;
    QObject* watchedWindow_ = nullptr;
    std::unique_ptr<ProgressSession> progress_;
    // Numbers the folders of their own that drags and opened copies get in
    // the temporary folder.
    int copyNumber_ = 0;
    std::string floppyDevice_;

    RecordListModel* model_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QTreeView* details_ = nullptr;
    QListView* icons_ = nullptr;
    int viewMode_ = 0;
    int sortColumn_ = RecordListModel::FileNameColumn;
    bool sortAscending_ = true;

    int folderIconIndex_ = -1;
    std::vector<QIcon> iconList_;
    std::map<QString, int> iconIndexByType_;
    QString temporaryFolder_;
};

} // namespace tarvelin::shell
