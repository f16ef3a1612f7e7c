#pragma once

// The file list, the right pane, and the owner of everything the user works
// on: the records of a composition or of the opened image, the image
// component, and the bindings of records to image nodes. The list shows the
// children of one folder record at a time, in one of four view modes.
//
// Commands reach the list by number (HandleCommand); the frame forwards
// them whichever pane has the focus, so each runs once.

#include "entry_record.h"
#include "record_model.h"

#include <QIcon>
#include <QString>
#include <QWidget>

#include <map>
#include <string>
#include <vector>

class QListView;
class QStackedWidget;
class QTreeView;
class QAbstractItemView;
class QModelIndex;

namespace tarvelin {
class IIsoEdit;
}

namespace tarvelin::shell {

class CTarvelinDoc;

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

    // One of the view-mode command numbers (32804 to 32807).
    void SetViewMode(int commandId);
    int ViewMode() const { return viewMode_; }

    // A click on a column header: a new column sorts ascending, the same
    // column again reverses the direction.
    void OnColumnClick(int column);
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return sortAscending_; }

    // Double-click on a row: a folder row opens that folder.
    void OnRowDoubleClicked(int row);

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

signals:
    // A right click in the list, at a global position.
    void contextMenuRequested(const QPoint& globalPosition);

private:
    using Handler = void (CTarvelinView::*)();
    static const std::map<int, Handler>& Handlers();

    void OnFileNew();
    void OnFileOpen();
    void OnSelectAll();

    void BuildImageRecords(EntryRecord& parentRecord, DirNode* firstNode);
    EntryRecord& ModeRoot() { return imageMode_ ? imageRoot_ : composeRoot_; }

    CTarvelinDoc* doc_;
    EntryRecord composeRoot_;
    EntryRecord imageRoot_;
    RecordNodeMap nodeMap_;
    EntryRecord* currentFolder_ = &composeRoot_;
    IIsoEdit* edit_ = nullptr;
    std::string imagePath_;
    bool imageMode_ = false;
    bool modified_ = false;
    bool bootable_ = false;

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
