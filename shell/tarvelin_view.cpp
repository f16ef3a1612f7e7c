#include "tarvelin_view.h"

#include "commands.h"
#include "extract_dlg.h"
#include "left_view.h"
#include "progress_session.h"
#include "properties_dlg.h"
#include "recent_files.h"
#include "shell_services.h"
#include "tarvelin_doc.h"

#include "capture/floppy.h"
#include "edit/iso_edit.h"
#include "platform/prompt.h"

#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
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
    details_->header()->setSortIndicatorShown(true);
    details_->header()->setSortIndicator(sortColumn_, Qt::AscendingOrder);
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
    model_->SortRows(sortColumn_, sortAscending_);
    SetViewMode(ID_VIEW_DETAILS);
    NewProgressSession();
}

CTarvelinView::~CTarvelinView()
{
    // Each waits for its worker: a build or a floppy copy stops (the build's
    // partial output is removed), a save runs to its end.
    progress_.reset();
    maker_.reset();
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
    controller_.ShowFolder(record);
}

void CTarvelinView::ClearCurrentMode()
{
    if (!controller_.ImageMode()) {
        StopBuild();
    }
    controller_.ClearCurrentMode();
}

bool CTarvelinView::OpenImage(const std::string& path)
{
    return controller_.OpenImage(path);
}

QString CTarvelinView::TitleText() const
{
    const std::string name = controller_.ImageFileName();
    if (name.empty()) {
        return QStringLiteral("Tarvelin");
    }
    return QString::fromStdString(name) + (controller_.Modified() ? QStringLiteral("*") : QString()) +
           QStringLiteral(" - Tarvelin");
}

QString CTarvelinView::SizeStatusText() const
{
    const std::uint64_t size = controller_.ContentSize();
    if (controller_.HasOpenedImage()) {
        return QStringLiteral("Image: %1").arg(QString::fromStdString(SizeText(size)));
    }
    if (size == 0) {
        return QString();
    }
    return QStringLiteral("About %1").arg(QString::fromStdString(SizeText(size)));
}

// --- The controller's host -----------------------------------------------------

platform::PromptAnswer CTarvelinView::Ask(const std::string& text, const std::string& caption,
                                          platform::PromptButtons buttons, platform::PromptIcon icon)
{
    return platform::Ask(text, caption, buttons, icon);
}

QString CTarvelinView::ChooseFile(const FileDialogSpec& spec)
{
    return ShellServices().ChooseFile(this, spec);
}

QStringList CTarvelinView::ChooseFiles(const FileDialogSpec& spec)
{
    return ShellServices().ChooseFiles(this, spec);
}

QString CTarvelinView::ChooseFolder(const QString& title)
{
    return ShellServices().ChooseFolder(this, title);
}

std::optional<std::string> CTarvelinView::AskName(const std::string& title, const std::string& label,
                                                  const std::string& initial)
{
    bool accepted = false;
    const QString name = QInputDialog::getText(this, QString::fromStdString(title), QString::fromStdString(label),
                                               QLineEdit::Normal, QString::fromStdString(initial), &accepted);
    if (!accepted) {
        return std::nullopt;
    }
    return name.toStdString();
}

bool CTarvelinView::EditProperties(iso::VolumeProperties& properties)
{
    CPropertiesDlg dialog(properties, this);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    properties = dialog.Properties();
    return true;
}

void CTarvelinView::ListFolder(EntryRecord* folder)
{
    model_->ShowChildren(folder);
}

void CTarvelinView::FoldersChanged(EntryRecord* root)
{
    if (doc_->TreeView() != nullptr) {
        doc_->TreeView()->RebuildTree(root);
    }
}

void CTarvelinView::RevealFolder(EntryRecord* folder)
{
    if (doc_->TreeView() != nullptr) {
        doc_->TreeView()->RevealRecord(folder);
    }
}

void CTarvelinView::ImageChanged()
{
    emit imageChanged();
}

void CTarvelinView::ContentsChanged()
{
    emit contentsChanged();
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
    details_->header()->setSortIndicator(sortColumn_, sortAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void CTarvelinView::OnRowDoubleClicked(int row)
{
    EntryRecord* record = model_->RecordAt(row);
    if (record == nullptr) {
        return;
    }
    if (record->isFolder != 1) {
        // Opened as View opens it.
        if (!controller_.ImageMode() || (!RefusedWhileBusy(kUsesImage) && controller_.HasOpenedImage())) {
            OpenFileRow(*record);
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

} // namespace tarvelin::shell
