#include "tarvelin_view.h"

#include "commands.h"
#include "extract_dlg.h"
#include "left_view.h"
#include "progress_session.h"
#include "recent_files.h"
#include "shell_services.h"
#include "tarvelin_doc.h"

#include "capture/floppy.h"
#include "iso/iso_edit.h"
#include "platform/prompt.h"

#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QListView>
#include <QMimeDatabase>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace tarvelin::shell {

CTarvelinView::CTarvelinView(CTarvelinDoc* doc, QWidget* parent) : QWidget(parent), doc_(doc)
{
    setObjectName(QStringLiteral("ListView"));
    temporaryFolder_ = TarvelinTempFolder();
    doc_->SetListView(this);

    model_ = new RecordListModel(
        [this](const EntryRecord& record) { return IconAt(GetIconIndex(record.path, record.attributes)); }, this);
    model_->SetDragProvider([this](const std::vector<EntryRecord*>& records) { return DragData(records); });

    details_ = new QTreeView(this);
    details_->setObjectName(QStringLiteral("DetailsView"));
    details_->setModel(model_);
    details_->setRootIsDecorated(false);
    details_->setItemsExpandable(false);
    details_->setUniformRowHeights(true);
    details_->setAllColumnsShowFocus(true);
    details_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    details_->setSelectionBehavior(QAbstractItemView::SelectRows);
    details_->header()->setSectionsClickable(true);
    details_->header()->setSortIndicatorShown(false);
    details_->header()->setStretchLastSection(false);
    details_->setColumnWidth(RecordListModel::FileNameColumn, 150);
    details_->setColumnWidth(RecordListModel::SizeColumn, 100);
    details_->setColumnWidth(RecordListModel::TypeColumn, 100);

    icons_ = new QListView(this);
    icons_->setObjectName(QStringLiteral("IconsView"));
    icons_->setModel(model_);
    icons_->setModelColumn(RecordListModel::FileNameColumn);
    // One selection for both presentations.
    icons_->setSelectionModel(details_->selectionModel());
    icons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    icons_->setUniformItemSizes(true);
    icons_->setResizeMode(QListView::Adjust);
    icons_->setWrapping(true);

    stack_ = new QStackedWidget(this);
    stack_->addWidget(details_);
    stack_->addWidget(icons_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stack_);
    setFocusProxy(details_);

    connect(details_->header(), &QHeaderView::sectionClicked, this, [this](int column) { OnColumnClick(column); });
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
        connect(view, &QAbstractItemView::doubleClicked, this,
                [this](const QModelIndex& index) { OnRowDoubleClicked(index.row()); });
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& position) {
            emit contextMenuRequested(view->viewport()->mapToGlobal(position));
        });
        // Rows are dragged out to the desktop; files and folders dropped
        // from it are taken by eventFilter before the view sees them.
        view->setDragEnabled(true);
        view->setDragDropMode(QAbstractItemView::DragDrop);
        view->setDefaultDropAction(Qt::CopyAction);
        view->viewport()->setAcceptDrops(true);
        view->viewport()->installEventFilter(this);
    }
    SetViewMode(ID_VIEW_DETAILS);
    NewProgressSession();
}

CTarvelinView::~CTarvelinView()
{
    // Each waits for its worker: a build or a floppy copy stops (the build's
    // partial output is removed), a save runs to its end.
    progress_.reset();
    DestroyComponent(maker_);
    DestroyComponent(edit_);
    // What View and dragging out left there goes with the window; the
    // user's folder above goes too when no other run still uses it.
    if (!temporaryFolder_.isEmpty()) {
        QDir(temporaryFolder_).removeRecursively();
        QDir().rmdir(QFileInfo(temporaryFolder_).absolutePath());
    }
}

QAbstractItemView* CTarvelinView::ActiveItemView() const
{
    return viewMode_ == ID_VIEW_DETAILS ? static_cast<QAbstractItemView*>(details_)
                                        : static_cast<QAbstractItemView*>(icons_);
}

std::vector<int> CTarvelinView::SelectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : details_->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CTarvelinView::SetViewMode(int commandId)
{
    switch (commandId) {
    case ID_VIEW_LARGEICON:
        icons_->setViewMode(QListView::IconMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setIconSize(QSize(32, 32));
        icons_->setGridSize(QSize(96, 64));
        break;
    case ID_VIEW_SMALLICON:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(150, 20));
        break;
    case ID_VIEW_LIST:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::TopToBottom);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(150, 20));
        break;
    case ID_VIEW_DETAILS:
        break;
    default:
        return;
    }
    icons_->setWrapping(true);
    viewMode_ = commandId;
    stack_->setCurrentWidget(commandId == ID_VIEW_DETAILS ? static_cast<QWidget*>(details_)
                                                          : static_cast<QWidget*>(icons_));
    setFocusProxy(ActiveItemView());
}

void CTarvelinView::ShowFolder(EntryRecord* record)
{
    currentFolder_ = record;
    model_->ShowChildren(record);
}

void CTarvelinView::ClearCurrentMode()
{
    EntryRecord& root = ModeRoot();
    model_->Clear();
    UnbindRecordTree(nodeMap_, root);
    root.children.clear();
    if (imageMode_) {
        DestroyComponent(edit_);
        modified_ = false;
        hasRockRidge_ = false;
    } else {
        StopBuild();
    }
    currentFolder_ = &root;
    if (doc_->TreeView() != nullptr) {
        doc_->TreeView()->RebuildTree(&root);
    }
    emit imageChanged();
}

bool CTarvelinView::OpenImage(const std::string& path)
{
    ClearCurrentMode();
    edit_ = Edit1();
    if (edit_ == nullptr) {
        return false;
    }
    if (!edit_->Open(path.c_str())) {
        // The engine's reason below the message, as the command line gives it.
        const std::string reason = edit_->GetLastError();
        DestroyComponent(edit_);
        platform::Ask("open error file!\n" + path + ": " + reason, "Tarvelin", platform::PromptButtons::Ok,
                      platform::PromptIcon::None);
        return false;
    }
    imagePath_ = path;
    imageMode_ = true;
    edit_->SetNameSource(nameSource_);
    edit_->LoadTree();
    hasRockRidge_ = edit_->HasRockRidge();
    DirNode* root = edit_->GetRoot();
    nodeMap_[&imageRoot_] = root;
    if (root != nullptr) {
        BuildImageRecords(imageRoot_, edit_->GetFirstChild(root));
    }
    bootable_ = edit_->HasBootImage();
    RecentFileList::Add(QString::fromStdString(path));
    ShowFolder(&imageRoot_);
    if (doc_->TreeView() != nullptr) {
        doc_->TreeView()->RebuildTree(&imageRoot_);
    }
    emit imageChanged();
    return true;
}

void CTarvelinView::BuildImageRecords(EntryRecord& parentRecord, DirNode* firstNode, bool followSiblings)
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

void CTarvelinView::OnColumnClick(int column)
{
    if (column != sortColumn_) {
        sortColumn_ = column;
        sortAscending_ = true;
    } else {
        sortAscending_ = !sortAscending_;
    }
    model_->SortRows(sortColumn_, sortAscending_);
}

void CTarvelinView::OnRowDoubleClicked(int row)
{
    EntryRecord* record = model_->RecordAt(row);
    if (record == nullptr) {
        return;
    }
    if (record->isFolder != 1) {
        if (!imageMode_) {
            OpenOrTell(QString::fromStdString(record->path));
        } else if (!RefusedWhileBusy(kUsesImage) && edit_ != nullptr) {
            // The entry's name names no file on disk: it is opened as View
            // opens it, from the temporary folder.
            if (ReadyTemporaryFolder(true) && ExtractImageRecord(*record, temporaryFolder_.toStdString())) {
                OpenOrTell(QDir(temporaryFolder_).filePath(QString::fromStdString(record->name)));
            }
        }
        return;
    }
    if (doc_->TreeView() != nullptr) {
        doc_->TreeView()->SelectRecord(record);
    }
    ShowFolder(record);
}

int CTarvelinView::GetIconIndex(const std::string& path, std::uint32_t attributes)
{
    static const QFileIconProvider provider;
    if ((attributes & kDirectoryAttribute) != 0) {
        // One folder picture for every folder row.
        if (folderIconIndex_ < 0) {
            iconList_.push_back(provider.icon(QFileIconProvider::Folder));
            folderIconIndex_ = static_cast<int>(iconList_.size()) - 1;
        }
        return folderIconIndex_;
    }
    // The name decides, the file need not exist.
    static const QMimeDatabase mimeTypes;
    const QMimeType type = mimeTypes.mimeTypeForFile(QString::fromStdString(path), QMimeDatabase::MatchExtension);
    const auto known = iconIndexByType_.find(type.name());
    if (known != iconIndexByType_.end()) {
        return known->second;
    }
    const QIcon fallback = provider.icon(QFileIconProvider::File);
    iconList_.push_back(QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName(), fallback)));
    const int index = static_cast<int>(iconList_.size()) - 1;
    iconIndexByType_.emplace(type.name(), index);
    return index;
}

QIcon CTarvelinView::IconAt(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= iconList_.size()) {
        return {};
    }
    return iconList_[static_cast<std::size_t>(index)];
}

std::string CTarvelinView::GetTypeName(const std::string& path)
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

} // namespace tarvelin::shell
