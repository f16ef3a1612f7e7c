#pragma once

// The file list, the right pane, and the owner of everything the user works
// on: the records of a composition or of the opened image, the image
// component, and the bindings of records to image nodes. The list shows the
// children of one folder record at a time, in one of four view modes.
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
#include "record_model.h"

#include <QIcon>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
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

class CTarvelinView final : public QWidget {
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
    // The New command: drops the records of the mode in force (and the
    // image component in image mode); the mode stays.
    void ClearCurrentMode();

    // Which names of an image the panes show (Rock Ridge, Joliet, ISO 9660
    // or the engine's automatic choice), for the opened image and those
    // opened later in this session. The opened image is read again with
    // them, and the folder shown stays shown where the image still has it.
    // Unsaved edits are not dropped silently: "Save changes?" is asked as
    // New and Open ask it; Cancel keeps the names and the edits. Without an
    // opened image nothing happens.
    void ChooseNameSource(NameSource source);
    NameSource ChosenNameSource() const { return nameSource_; }
    // An image is open (a New in image mode leaves none).
    bool HasOpenedImage() const { return imageMode_ && edit_ != nullptr; }
    bool ImageHasRockRidge() const { return hasRockRidge_; }

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
    // entries on disk (those of an opened image extracted to the temporary
    // folder first). Null when none could be provided.
    QMimeData* DragData(const std::vector<EntryRecord*>& records);

    // Work running on a worker thread.
    bool IsSaving() const { return saving_; }
    bool IsBuilding() const { return building_; }
    bool IsMakingBootImage() const { return maker_ != nullptr; }
    bool IsBusy() const { return IsSaving() || IsBuilding() || IsMakingBootImage(); }
    bool Modified() const { return modified_; }
    const std::string& ImagePath() const { return imagePath_; }
    // The device or file Make Bootable Info From Floppy copies instead of
    // the first floppy drive; empty for the drive.
    void SetFloppyDevice(const std::string& path) { floppyDevice_ = path; }
    // The progress dialog of saves and builds and their workers' reports.
    ProgressSession& Progress() { return *progress_; }
    // The link the Homepage and Support commands open.
    static const char* const kHomepage;
    static const char* const kSupportAddress;

    int GetIconIndex(const std::string& path, std::uint32_t attributes);
    QIcon IconAt(int index) const;
    static std::string GetTypeName(const std::string& path);

    bool ImageMode() const { return imageMode_; }
    bool Bootable() const { return bootable_; }
    EntryRecord* CurrentFolder() const { return currentFolder_; }
    EntryRecord& ImageRoot() { return imageRoot_; }
    EntryRecord& ComposeRoot() { return composeRoot_; }
    const RecordNodeMap& NodeMap() const { return nodeMap_; }
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

    // Work on worker threads: the save and the build report through the
    // progress session, the floppy copy through FloppyCallback, which
    // posts its end to the view.
    static bool FloppyCallback(void* context, std::int32_t value);
    void StartImageSave(std::function<void()> afterSave);
    void StartBuild();
    void OnSaveFinished(bool saved);
    void OnBuildFinished(bool built);
    void OnFloppyEnded(bool complete);
    void CloseWindowIfAsked();
    void NewProgressSession();
    // Stops a running build; its partial output is removed.
    void StopBuild();

    // Which components a command uses; true, after saying so, when one of
    // them is busy on a worker thread.
    enum Uses : unsigned { kUsesImage = 1, kUsesBuilder = 2, kUsesMaker = 4 };
    bool RefusedWhileBusy(unsigned uses);
    // Before an opened image with unsaved edits is dropped: true to go on
    // now; false when the user cancelled, or chose to save first (then
    // `then` runs once the save has succeeded).
    bool ConfirmDropEdits(std::function<void()> then);
    bool HandleWindowClose(QEvent* event);
    bool HandleDrop(QObject* viewport, QEvent* event);

    void OpenImageFile(const std::string& path);
    // Opens the image again with the names of source; the folder shown
    // stays where the image still has it. afterSave: the edits have just
    // been saved.
    void ReloadWithNames(NameSource source, bool afterSave);
    // The folder records from the root's child down to folder.
    std::vector<EntryRecord*> FolderChain(EntryRecord* folder);
    // From the image root down at most `levels` folders, at each level the
    // first child folder isStep(level, child) accepts; the deepest reached.
    EntryRecord* DeepestFolderAlong(std::size_t levels,
                                    const std::function<bool(std::size_t, const EntryRecord&)>& isStep);
    void AddFolderTreeRecords(const std::string& folderPath, EntryRecord& parentRecord);
    void BuildImageRecords(EntryRecord& parentRecord, DirNode* firstNode, bool followSiblings = true);
    // Records for the image entries of the folder's node that no record
    // stands for yet.
    void AddMissingImageRecords(EntryRecord& folderRecord);
    // Drops a child record and its bindings (and those below it).
    void FreeRecordTree(EntryRecord& parent, EntryRecord* record);
    void DropRecordNamed(EntryRecord& parent, const std::string& name);
    DirNode* NodeOf(const EntryRecord* record) const;
    // Writes one file of the opened image to target; false, after telling
    // the user, when it could not.
    bool ExtractImageRecord(const EntryRecord& record, const std::string& destination);
    std::vector<EntryRecord*> SelectedRecords() const;
    void RebuildTree();
    EntryRecord& ModeRoot() { return imageMode_ ? imageRoot_ : composeRoot_; }

    CTarvelinDoc* doc_;
    EntryRecord composeRoot_;
    EntryRecord imageRoot_;
    RecordNodeMap nodeMap_;
    EntryRecord* currentFolder_ = &composeRoot_;
    IIsoEdit* edit_ = nullptr;
    IBootImageMaker* maker_ = nullptr;
    std::string imagePath_;
    bool imageMode_ = false;
    bool modified_ = false;
    bool bootable_ = false;
    bool hasRockRidge_ = false;
    // Value-initialised: NameSource::Automatic.
    NameSource nameSource_{};
    bool saving_ = false;
    bool building_ = false;
    // The first build's image opens by itself once it is complete.
    bool builtImageOpened_ = false;
    std::function<void()> afterSave_;
    bool closeWhenIdle_ = false;
    QObject* watchedWindow_ = nullptr;
    std::unique_ptr<ProgressSession> progress_;
    int dragNumber_ = 0;
    std::string floppyDevice_;

    RecordListModel* model_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QTreeView* details_ = nullptr;
    QListView* icons_ = nullptr;
    int viewMode_ = 0;
    int sortColumn_ = -1;
    bool sortAscending_ = true;

    int folderIconIndex_ = -1;
    std::vector<QIcon> iconList_;
    std::map<QString, int> iconIndexByType_;
    QString temporaryFolder_;
};

} // namespace tarvelin::shell
