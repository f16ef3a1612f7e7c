// The commands of the file list: files and folders added, extracted, viewed
// and deleted; the save of the opened image and the build of a new one; the
// boot image commands; help. Long work runs on the engines' worker threads,
// whose callbacks post each value here (see tarvelin_view.h).

#include "tarvelin_view.h"

#include "cd_rip_dlg.h"
#include "commands.h"
#include "convert_dlgs.h"
#include "extract_dlg.h"
#include "left_view.h"
#include "progress_session.h"
#include "recent_files.h"
#include "shell_services.h"
#include "tarvelin_doc.h"
#include "user_guide.h"

#include "capture/floppy.h"
#include "capture/unread_sectors.h"
#include "core/byte_buffer.h"
#include "edit/iso_edit.h"
#include "edit/iso_extract.h"
#include "platform/atomic_output.h"
#include "platform/prompt.h"
#include "writer/iso_build.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QListView>
#include <QTreeView>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace tarvelin::shell {

namespace {

using platform::PromptAnswer;
using platform::PromptButtons;
using platform::PromptIcon;

constexpr const char* kProgramCaption = "Tarvelin";
// "All files" shows the files without an extension (README) that "*.*"
// hides.
constexpr std::string_view kBootImageFilter = "(*.image)|*.image |(*.*)|*.*|All files (*)|*||";
constexpr std::string_view kOpenImageFilter =
    "All Support(*.ISO;*.BIN;*.CIF;*.IMG;*.NRG;*.CUE)|*.ISO;*.BIN;*.CIF;*.IMG;*.NRG;*.CUE|All files (*)|*||";

void Tell(const std::string& text, const char* caption = kProgramCaption, PromptIcon icon = PromptIcon::None)
{
    platform::Ask(text, caption, PromptButtons::Ok, icon);
}

} // namespace


const std::map<int, CTarvelinView::Handler>& CTarvelinView::Handlers()
{
    static const std::map<int, Handler> handlers{
        {ID_FILE_NEWISO, &CTarvelinView::OnFileNew},
        {ID_FILE_OPENISO, &CTarvelinView::OnFileOpen},
        {ID_FILE_SAVEISO, &CTarvelinView::OnFileSave},
        {ID_FILE_SAVEISOAS, &CTarvelinView::OnFileSaveAs},
        {ID_FILE_COMPACT, &CTarvelinView::OnCompact},
        {ID_ACTIONS_ADDFILES, &CTarvelinView::OnAddFiles},
        {ID_ACTIONS_ADDDIRECTORY, &CTarvelinView::OnAddDirectory},
        {ID_ACTIONS_EXTRACT, &CTarvelinView::OnExtract},
        {ID_ACTIONS_VIEW, &CTarvelinView::OnView},
        {ID_ACTIONS_DELETE, &CTarvelinView::OnDelete},
        {ID_EDIT_RENAME, &CTarvelinView::OnRename},
        {ID_EDIT_NEWFOLDER, &CTarvelinView::OnNewFolder},
        {ID_FILE_PROPERTIES, &CTarvelinView::OnProperties},
        {ID_FILE_BUILDUDF, &CTarvelinView::OnBuildUdf},
        {ID_ACTIONS_SELECTALL, &CTarvelinView::OnSelectAll},
        {ID_BOOT_LOAD, &CTarvelinView::OnLoadBootable},
        {ID_BOOT_SAVE, &CTarvelinView::OnSaveBootable},
        {ID_BOOT_DELETE, &CTarvelinView::OnDeleteBootable},
        {ID_BOOT_FROMFLOPPY, &CTarvelinView::OnBootableFromFloppy},
        {ID_CONVERT_BIN2ISO, &CTarvelinView::OnBinToIso},
        {ID_CONVERT_ISO2BIN, &CTarvelinView::OnIsoToBin},
        {ID_CONVERT_OTHER, &CTarvelinView::OnOtherFormatConvert},
        {ID_ACTIONS_MAKEISO, &CTarvelinView::OnMakeIsoFromCd},
        {ID_HELP_CONTENTS, &CTarvelinView::OnHelpContents},
        {ID_HELP_HOMEPAGE, &CTarvelinView::OnHomepage},
        {ID_HELP_SUPPORT, &CTarvelinView::OnSupport},
    };
    return handlers;
}

bool CTarvelinView::HasHandler(int id) const
{
    return Handlers().contains(id);
}

bool CTarvelinView::HandleCommand(int id)
{
    const auto found = Handlers().find(id);
    if (found == Handlers().end()) {
        return false;
    }
    (this->*found->second)();
    return true;
}

// --- Guards ---------------------------------------------------------------

bool CTarvelinView::RefusedWhileBusy(unsigned uses)
{
    const char* busy = nullptr;
    if ((uses & kUsesImage) != 0 && saving_) {
        busy = "The image is being saved. Please try again when the save has ended.";
    } else if ((uses & (kUsesBuilder | kUsesImage)) != 0 && building_) {
        busy = "A new image is being built. Please try again when the build has ended.";
    } else if ((uses & kUsesMaker) != 0 && maker_ != nullptr) {
        busy = "A boot image is being read from the floppy. Please try again when it has ended.";
    }
    if (busy == nullptr) {
        return false;
    }
    Tell(busy, kProgramCaption, PromptIcon::Warning);
    return true;
}

bool CTarvelinView::ConfirmDropEdits(std::function<void()> then)
{
    // A composition changed since it was last built is asked about as the
    // edits of an image are; Yes builds it.
    const bool composing = !controller_.ImageMode();
    if ((!composing && !controller_.HasOpenedImage()) || !controller_.Modified()) {
        return true;
    }
    // A second request (another close while the question is up) waits
    // for the answer to the first.
    if (askingToSave_) {
        return false;
    }
    askingToSave_ = true;
    const PromptAnswer answer =
        platform::Ask("Save changes?", kProgramCaption, PromptButtons::YesNoCancel, PromptIcon::Question);
    askingToSave_ = false;
    switch (answer) {
    case PromptAnswer::Yes:
        if (composing) {
            StartBuild(std::move(then));
        } else {
            StartImageSave(std::move(then));
        }
        return false;
    case PromptAnswer::No:
        return true;
    default:
        return false;
    }
}

void CTarvelinView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The window is known once the view is shown inside it.
    if (QWidget* top = window(); top != this && top != watchedWindow_) {
        if (watchedWindow_ != nullptr) {
            watchedWindow_->removeEventFilter(this);
        }
        top->installEventFilter(this);
        watchedWindow_ = top;
    }
}

bool CTarvelinView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == watchedWindow_ && event->type() == QEvent::Close) {
        return HandleWindowClose(event);
    }
    if ((watched == details_->viewport() || watched == icons_->viewport()) &&
        (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove || event->type() == QEvent::Drop)) {
        return HandleDrop(watched, event);
    }
    return QWidget::eventFilter(watched, event);
}

bool CTarvelinView::HandleWindowClose(QEvent* event)
{
    if (saving_) {
        // A save cannot be stopped half-way; the window closes after it.
        event->ignore();
        closeWhenIdle_ = true;
        Tell("The image is being saved. The window closes when the save has ended.");
        return true;
    }
    // Whoever stops the build of the composition to close has answered for
    // it: the composition is not asked about again.
    const bool buildStopped = building_;
    if (building_) {
        if (platform::Ask("A new image is being built. Stop building it and close?", kProgramCaption,
                          PromptButtons::YesNo, PromptIcon::Question) != PromptAnswer::Yes) {
            event->ignore();
            return true;
        }
        StopBuild();
    }
    if (maker_ != nullptr) {
        if (platform::Ask("A boot image is being read from the floppy. Stop reading it and close?", kProgramCaption,
                          PromptButtons::YesNo, PromptIcon::Question) != PromptAnswer::Yes) {
            event->ignore();
            return true;
        }
        maker_.reset();
    }
    if (!buildStopped
        && !ConfirmDropEdits([this] { QMetaObject::invokeMethod(watchedWindow_, "close", Qt::QueuedConnection); })) {
        event->ignore();
        return true;
    }
    return false;
}

// --- File menu -------------------------------------------------------------

void CTarvelinView::OnFileNew()
{
    if (RefusedWhileBusy(kUsesImage | kUsesBuilder) || !ConfirmDropEdits([this] { ClearCurrentMode(); })) {
        return;
    }
    ClearCurrentMode();
}

void CTarvelinView::OnFileOpen()
{
    if (RefusedWhileBusy(kUsesImage | kUsesBuilder) || !ConfirmDropEdits([this] { OnFileOpen(); })) {
        return;
    }
    FileDialogSpec spec;
    spec.defaultSuffix = QStringLiteral("ISO");
    spec.filter = kOpenImageFilter;
    const QString path = ShellServices().ChooseFile(this, spec);
    if (!path.isEmpty()) {
        OpenImage(path.toStdString());
    }
}

void CTarvelinView::OpenRecent(const std::string& path)
{
    // A file that no longer opens (gone, moved, damaged since) leaves the
    // list once the user has been told why.
    const auto open = [this, path] {
        if (!OpenImage(path)) {
            RecentFileList::Remove(QString::fromStdString(path));
        }
    };
    if (RefusedWhileBusy(kUsesImage | kUsesBuilder) || !ConfirmDropEdits(open)) {
        return;
    }
    open();
}

void CTarvelinView::OnFileSave()
{
    if (controller_.ImageMode()) {
        if (RefusedWhileBusy(kUsesImage)) {
            return;
        }
        if (controller_.Modified() && controller_.Edit() != nullptr) {
            StartImageSave(nullptr);
        }
        return;
    }
    if (RefusedWhileBusy(kUsesBuilder)) {
        return;
    }
    StartBuild(nullptr);
}

void CTarvelinView::OnFileSaveAs()
{
    if (!controller_.ImageMode()) {
        OnFileSave();
        return;
    }
    if (!controller_.HasOpenedImage() || RefusedWhileBusy(kUsesImage)) {
        return;
    }
    // The edited image goes to a new file, which is opened then; the
    // opened file stays as it is.
    FileDialogSpec spec;
    spec.save = true;
    spec.defaultSuffix = QStringLiteral("ISO");
    spec.filter = "(*.ISO)|*.ISO|All files (*)|*||";
    const QString chosen = ShellServices().ChooseFile(this, spec);
    if (chosen.isEmpty()) {
        return;
    }
    IIsoEdit* copy = controller_.PrepareSaveAs(chosen.toStdString());
    if (copy == nullptr) {
        return;
    }
    if (progress_->StartSave(copy)) {
        saving_ = true;
        afterSave_ = nullptr;
    } else {
        controller_.FinishSaveAs(false);
    }
}

void CTarvelinView::OnCompact()
{
    IIsoEdit* edit = controller_.Edit();
    if (controller_.RefusedInUdfTree()) {
        return;
    }
    if (!controller_.ImageMode() || edit == nullptr) {
        Tell("Compact Image works on an opened image: open one first.", kProgramCaption, PromptIcon::Information);
        return;
    }
    if (RefusedWhileBusy(kUsesImage)) {
        return;
    }
    const FreeSpaceInfo before = edit->GetFreeSpace();
    if (!before.known) {
        Tell("The image cannot be compacted: its free space cannot be told.\n" + before.why, kProgramCaption,
             PromptIcon::Warning);
        return;
    }
    // The save that compacts also writes the edits not saved yet.
    edit->CompactNextSave();
    StartImageSave([this, before] {
        const FreeSpaceInfo after = controller_.Edit()->GetFreeSpace();
        const auto megabytes = [](std::uint32_t sectors) {
            return QString::number(static_cast<double>(sectors) * 2048 / (1024.0 * 1024.0), 'f', 1).toStdString();
        };
        // A compaction that stopped short still saved the edits; its error
        // notice, shown with the save's end, says why it stopped.
        const bool stoppedShort = controller_.Edit()->GetErrorNoticeCount() > 0;
        Tell((stoppedShort ? "The image has been compacted only part of the way: "
                           : "The image has been compacted: ") +
                 megabytes(before.volumeSectors) + " MB before, " + megabytes(after.volumeSectors) + " MB now.",
             kProgramCaption, stoppedShort ? PromptIcon::Warning : PromptIcon::Information);
    });
}

void CTarvelinView::NewProgressSession()
{
    progress_ = std::make_unique<ProgressSession>(this);
    connect(progress_.get(), &ProgressSession::saveFinished, this, &CTarvelinView::OnSaveFinished);
    connect(progress_.get(), &ProgressSession::buildFinished, this, &CTarvelinView::OnBuildFinished);
}

void CTarvelinView::StartImageSave(std::function<void()> afterSave)
{
    if (controller_.Edit() == nullptr || saving_) {
        return;
    }
    if (progress_->StartSave(controller_.Edit())) {
        saving_ = true;
        afterSave_ = std::move(afterSave);
    }
}

void CTarvelinView::OnSaveFinished(bool saved)
{
    saving_ = false;
    std::function<void()> then = std::move(afterSave_);
    afterSave_ = nullptr;
    if (controller_.SavingAs()) {
        if (!controller_.FinishSaveAs(saved)) {
            closeWhenIdle_ = false;
            return;
        }
        CloseWindowIfAsked();
        return;
    }
    if (!saved) {
        // The session has said why; nothing waits for this save any more.
        closeWhenIdle_ = false;
        return;
    }
    controller_.SaveFinished(true);
    if (closeWhenIdle_) {
        CloseWindowIfAsked();
        return;
    }
    if (then) {
        then();
    }
}

void CTarvelinView::StartBuild(std::function<void()> afterBuild)
{
    FileDialogSpec spec;
    spec.save = true;
    spec.defaultSuffix = QStringLiteral("ISO");
    spec.filter = "(*.ISO)|*.ISO||";
    const QString chosen = ShellServices().ChooseFile(this, spec);
    if (chosen.isEmpty()) {
        return;
    }
    // Paths go to the builder as they are: on this system a backslash is
    // an ordinary character of a file name.
    controller_.SetImagePath(chosen.toStdString());
    const std::string& imagePath = controller_.ImagePath();
    ComponentPtr<IIsoBuild> builder = MakeComponent(NEW_ISOBUILDNEW);
    if (builder == nullptr) {
        Tell("Create ISO Failed!");
        return;
    }
    if (!builder->SetOutput(imagePath.c_str(), kBuildIsoAndJoliet | (buildUdf_ ? kBuildUdf : 0))) {
        const std::string reason = builder->GetLastError();
        builder.reset();
        Tell("Create ISO Failed!\n" + reason);
        return;
    }
    std::vector<std::string> failures;
    if (!controller_.FillBuild(*builder, failures)) {
        // An image without something the user chose is no image to leave;
        // the builder removes its output.
        builder.reset();
        Tell("Create ISO Failed!" + FailureList(failures));
        return;
    }
    // The session owns the builder from here on, also when it cannot start.
    building_ = progress_->StartBuild(std::move(builder));
    if (building_) {
        afterBuild_ = std::move(afterBuild);
    }
}

void CTarvelinView::OnBuildFinished(bool built)
{
    building_ = false;
    std::function<void()> then = std::move(afterBuild_);
    afterBuild_ = nullptr;
    if (!built) {
        closeWhenIdle_ = false;
        return;
    }
    controller_.SaveFinished(true);
    if (closeWhenIdle_) {
        CloseWindowIfAsked();
        return;
    }
    // What waited for the build (New, Open, closing) comes instead of the
    // opening of the new image.
    if (then) {
        then();
        return;
    }
    if (!builtImageOpened_) {
        builtImageOpened_ = true;
        OpenImage(controller_.ImagePath());
    }
}

void CTarvelinView::StopBuild()
{
    if (!building_) {
        return;
    }
    // The session goes with the builder it holds: releasing it stops the
    // worker and waits for it, and the partial image is removed.
    building_ = false;
    NewProgressSession();
}

void CTarvelinView::CloseWindowIfAsked()
{
    if (closeWhenIdle_ && watchedWindow_ != nullptr && !IsBusy()) {
        closeWhenIdle_ = false;
        QMetaObject::invokeMethod(watchedWindow_, "close", Qt::QueuedConnection);
    }
}

// --- View menu: the names an image shows -------------------------------------

void CTarvelinView::ChooseTree(TreeChoice choice)
{
    if (choice == controller_.ChosenTree() || !HasOpenedImage() || RefusedWhileBusy(kUsesImage)) {
        return;
    }
    // The image is read again from its file: edits not saved would be
    // lost, so the user is asked as New and Open ask.
    if (ConfirmDropEdits([this, choice] { controller_.ReloadWithChoice(choice, true); })) {
        controller_.ReloadWithChoice(choice, false);
    }
}

// --- Actions menu ------------------------------------------------------------

void CTarvelinView::OnAddFiles()
{
    if (!RefusedWhileBusy(kUsesImage)) {
        controller_.AddFiles();
    }
}

void CTarvelinView::OnAddDirectory()
{
    if (!RefusedWhileBusy(kUsesImage)) {
        controller_.AddDirectory();
    }
}

bool CTarvelinView::AddDroppedPaths(const QStringList& paths)
{
    return !paths.isEmpty() && !RefusedWhileBusy(kUsesImage) && controller_.AddPaths(paths);
}

bool CTarvelinView::HandleDrop(QObject* viewport, QEvent* event)
{
    auto* drop = static_cast<QDropEvent*>(event);
    // Rows dragged from this list itself are not added to it again.
    const QObject* source = drop->source();
    const bool fromHere = source == details_ || source == icons_ || source == viewport;
    QStringList paths;
    if (!fromHere && drop->mimeData() != nullptr) {
        for (const QUrl& url : drop->mimeData()->urls()) {
            if (url.isLocalFile()) {
                paths.append(url.toLocalFile());
            }
        }
    }
    if (paths.isEmpty()) {
        drop->ignore();
        return true;
    }
    drop->setDropAction(Qt::CopyAction);
    if (event->type() != QEvent::Drop) {
        drop->accept();
        return true;
    }
    if (AddDroppedPaths(paths)) {
        drop->accept();
    } else {
        drop->ignore();
    }
    return true;
}

EntryRecord* CTarvelinView::AddEntry(const std::string& diskPath, EntryRecord* parentRecord)
{
    return controller_.AddEntry(diskPath, parentRecord);
}

std::vector<EntryRecord*> CTarvelinView::SelectedRecords() const
{
    std::vector<EntryRecord*> records;
    for (int row : SelectedRows()) {
        if (EntryRecord* record = model_->RecordAt(row); record != nullptr) {
            records.push_back(record);
        }
    }
    return records;
}

void CTarvelinView::OnExtract()
{
    if (RefusedWhileBusy(kUsesImage)) {
        return;
    }
    CExtractDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    ExtractSelection(ExtractDestination().toStdString());
}

void CTarvelinView::ExtractSelection(const std::string& destination)
{
    for (EntryRecord* record : SelectedRecords()) {
        // An image's extraction stops at its first failure; a composition's
        // copy goes on (what failed has been told).
        if (!controller_.CopyOutRecord(*record, destination) && controller_.ImageMode()) {
            return;
        }
        OpenOrTell(QString::fromStdString(destination));
    }
}

void CTarvelinView::OnView()
{
    if (RefusedWhileBusy(kUsesImage)) {
        return;
    }
    for (EntryRecord* record : SelectedRecords()) {
        if (record->isFolder == 1) {
            Tell("Cann't open a Directory", "Error Message");
            continue;
        }
        OpenFileRow(*record);
    }
}

void CTarvelinView::OpenFileRow(const EntryRecord& record)
{
    const bool composing = !controller_.ImageMode();
    if (composing && CImageController::NamedAsOnDisk(record)) {
        OpenOrTell(QString::fromStdString(record.path));
        return;
    }
    if (!ReadyTemporaryFolder(true)) {
        return;
    }
    // A renamed file of the composition is copied under its new name into a
    // folder of its own: an earlier copy of that name is never what is shown.
    const QString folder =
        composing ? QDir(temporaryFolder_).filePath(QStringLiteral("open-%1").arg(++copyNumber_)) : temporaryFolder_;
    if (controller_.CopyOutRecord(record, folder.toStdString())) {
        OpenOrTell(QDir(folder).filePath(QString::fromStdString(record.name)));
    }
}

void CTarvelinView::OnDelete()
{
    if (!RefusedWhileBusy(kUsesImage)) {
        controller_.DeleteRecords(SelectedRecords());
    }
}

void CTarvelinView::OnRename()
{
    if (RefusedWhileBusy(kUsesImage)) {
        return;
    }
    const std::vector<EntryRecord*> records = SelectedRecords();
    if (records.size() == 1) {
        controller_.RenameRecord(records.front());
    }
}

void CTarvelinView::OnProperties()
{
    if (!RefusedWhileBusy(kUsesImage)) {
        controller_.EditProperties();
    }
}

void CTarvelinView::OnNewFolder()
{
    if (RefusedWhileBusy(kUsesImage)) {
        return;
    }
    if (EntryRecord* added = controller_.NewFolder(); added != nullptr) {
        // The new folder's row is selected, ready to be opened or renamed.
        for (int row = 0; row < model_->rowCount(); ++row) {
            if (model_->RecordAt(row) == added) {
                ActiveItemView()->setCurrentIndex(model_->index(row, 0));
            }
        }
    }
}

void CTarvelinView::OnSelectAll()
{
    QAbstractItemView* view = ActiveItemView();
    view->setFocus();
    const int rows = model_->rowCount();
    if (rows == 0) {
        return;
    }
    // From the first visible row down: rows scrolled above the top stay as
    // they are.
    const QModelIndex top = view->indexAt(QPoint(1, 1));
    const int first = top.isValid() ? top.row() : 0;
    const QItemSelection rowsToSelect(model_->index(first, 0),
                                      model_->index(rows - 1, RecordListModel::ColumnCount - 1));
    view->selectionModel()->select(rowsToSelect, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// --- Boot menu ------------------------------------------------------------------

void CTarvelinView::OnLoadBootable()
{
    if (!RefusedWhileBusy(kUsesImage)) {
        controller_.LoadBootable();
    }
}

void CTarvelinView::OnSaveBootable()
{
    // What the controller says first (no image, not bootable) needs no
    // component; the boot image is read only after the file is chosen.
    if (controller_.ImageMode() && controller_.Bootable() && RefusedWhileBusy(kUsesImage)) {
        return;
    }
    controller_.SaveBootable();
}

void CTarvelinView::OnDeleteBootable()
{
    if (controller_.ImageMode() && controller_.HasBootImageToDelete() && RefusedWhileBusy(kUsesImage)) {
        return;
    }
    controller_.DeleteBootable();
}

void CTarvelinView::OnBootableFromFloppy()
{
    if (RefusedWhileBusy(kUsesMaker)) {
        return;
    }
    FileDialogSpec spec;
    spec.save = true;
    spec.defaultSuffix = QStringLiteral("image");
    spec.filter = kBootImageFilter;
    const QString path = ShellServices().ChooseFile(this, spec);
    if (path.isEmpty()) {
        return;
    }
    maker_ = MakeComponent(Make1);
    if (maker_ == nullptr) {
        Tell("Make Image from floppy Error", "Error");
        return;
    }
    if (!floppyDevice_.empty()) {
        maker_->SetDevice(floppyDevice_.c_str());
    }
    // The end is handled on the GUI thread, where the maker is released
    // (waiting there for its worker to return).
    const auto onEnd = [this](const JobReport& end) {
        QMetaObject::invokeMethod(
            this, [this, complete = end.state == JobState::Done] { OnFloppyEnded(complete); }, Qt::QueuedConnection);
    };
    if (!maker_->StartJob(path.toStdString().c_str(), {}, onEnd)) {
        // The maker has said why.
        maker_.reset();
    }
}

void CTarvelinView::OnFloppyEnded(bool complete)
{
    if (maker_ == nullptr) {
        return;
    }
    // What the user did not already hear from the maker: sectors left zero
    // in a complete image, or why an incomplete one was removed.
    std::string told;
    if (complete) {
        if (const std::vector<std::uint32_t> unread = capture::UnreadSectorsOf(*maker_); !unread.empty()) {
            told = capture::DescribeUnreadSectors(unread);
        }
    } else if (const char* reason = maker_->GetLastError(); reason != nullptr && *reason != '\0') {
        told = std::string("Make Image from floppy Error\n") + reason;
    }
    maker_.reset();
    if (!told.empty()) {
        Tell(told, "Error", complete ? PromptIcon::Warning : PromptIcon::Error);
    }
    CloseWindowIfAsked();
}

// --- Conversions and the CD-ROM: modal dialogs with components of their own --

void CTarvelinView::OnBinToIso()
{
    CBinToIsoDlg(this).exec();
}

void CTarvelinView::OnIsoToBin()
{
    CIsoToBinDlg(this).exec();
}

void CTarvelinView::OnOtherFormatConvert()
{
    CAnyToIsoDlg(this).exec();
}

void CTarvelinView::OnMakeIsoFromCd()
{
    CCdRipDlg(this).exec();
}

// --- Help menu --------------------------------------------------------------------

void CTarvelinView::OnHelpContents()
{
    OpenUserGuide({});
}

void CTarvelinView::OnHomepage()
{
    OpenUserGuide({});
}

void CTarvelinView::OnSupport()
{
    OpenUserGuide(QStringLiteral("problems"));
}

void CTarvelinView::OpenUserGuide(const QString& section)
{
    // The guide ships with the program; the homepage and support are its
    // first page and its page on reporting problems.
    QString lookedFor;
    if (UserGuide(&lookedFor).isEmpty()) {
        Tell("The help file " + lookedFor.toStdString() + " was not found.");
        return;
    }
    const QString address = UserGuideAddress(section).toString();
    if (!ShellServices().Open(address)) {
        Tell("The help file " + address.toStdString() + " could not be opened.");
    }
}

bool CTarvelinView::ReadyTemporaryFolder(bool tell)
{
    // Made again when an earlier window's exit took it away.
    QString error;
    temporaryFolder_ = TarvelinTempFolder(&error);
    if (temporaryFolder_.isEmpty() && tell) {
        Tell("The folder for temporary files cannot be used:\n" + error.toStdString(), "Wrong Info");
    }
    return !temporaryFolder_.isEmpty();
}

// --- Dragging rows out ---------------------------------------------------------------

QMimeData* CTarvelinView::DragData(const std::vector<EntryRecord*>& records)
{
    QList<QUrl> urls;
    // A composition's rows are handed over as it arranges them (its names,
    // the folders made in it, what was added into them), not as the files
    // lie on disk: copied, as an image's entries are extracted.
    const bool composing = !controller_.ImageMode();
    if ((!composing && !controller_.HasOpenedImage()) || saving_ || !ReadyTemporaryFolder(false)) {
        return nullptr;
    }
    // A folder of its own per drag, so entries of one name in two drags
    // never meet.
    const QString folder = QDir(temporaryFolder_).filePath(QStringLiteral("drag-%1").arg(++copyNumber_));
    for (const EntryRecord* record : records) {
        const bool copied = controller_.CopyOutRecord(*record, folder.toStdString());
        if (copied) {
            urls.append(QUrl::fromLocalFile(QDir(folder).filePath(QString::fromStdString(record->name))));
        }
    }
    if (urls.isEmpty()) {
        return nullptr;
    }
    auto* dragged = new QMimeData;
    dragged->setUrls(urls);
    return dragged;
}

} // namespace tarvelin::shell
