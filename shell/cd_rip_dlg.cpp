#include "cd_rip_dlg.h"

#include "text_progress_ctrl.h"

#include "capture/cd_rip.h"
#include "capture/cd_rom.h"
#include "capture/unread_sectors.h"
#include "capture/simulated_cdrom.h"
#include "platform/prompt.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>

namespace tarvelin::shell {

namespace {

constexpr std::uint32_t kMaxLetters = 23;

const FileDialogSpec kOutputChooser{true, {}, QStringLiteral(".ISO"), "ISO Files (*.ISO)|*.ISO||"};

QPushButton* NewButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// "D:" and, when the drive is known by a device, the device beside it.
QString DriveEntry(char letter, ICdRom* devices)
{
    QString entry = QStringLiteral("%1:").arg(QChar::fromLatin1(letter));
    const char* device = devices != nullptr ? devices->GetDevicePath(letter) : "";
    if (device != nullptr && *device != '\0') {
        entry += QStringLiteral("  (%1)").arg(QString::fromUtf8(device));
    }
    return entry;
}

} // namespace

QString CCdRipDlg::DefaultOutputPath()
{
    return QDir(QDir::homePath()).filePath(QStringLiteral("Tarvelin.iso"));
}

CCdRipDlg::CCdRipDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("cdRipDialog"));
    setWindowTitle(QStringLiteral("MAKE ISO From CDROM"));
    auto* group = new QGroupBox(QStringLiteral("Create ISO From  CD-ROM"), this);
    auto* driveLabel = new QLabel(QStringLiteral("Choose CD-ROM:"), group);
    drives_ = new QComboBox(group);
    drives_->setObjectName(QStringLiteral("driveList"));
    auto* outputLabel = new QLabel(QStringLiteral("Output file:"), group);
    output_ = new QComboBox(group);
    output_->setObjectName(QStringLiteral("outputBox"));
    output_->setEditable(true);
    output_->setMinimumWidth(260);
    browse_ = NewButton(QStringLiteral("..."), "browseButton", group);
    auto* grid = new QGridLayout(group);
    grid->addWidget(driveLabel, 0, 0);
    grid->addWidget(drives_, 0, 1, 1, 2);
    grid->addWidget(outputLabel, 1, 0);
    grid->addWidget(output_, 1, 1);
    grid->addWidget(browse_, 1, 2);

    bar_ = new CTextProgressCtrl(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->SetRange(0, 100);
    bar_->SetPos(0);
    make_ = NewButton(QStringLiteral("Make"), "makeButton", this);
    make_->setDefault(true);
    exit_ = NewButton(QStringLiteral("Exit"), "exitButton", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(make_);
    buttons->addWidget(exit_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(bar_);
    layout->addLayout(buttons);

    connect(browse_, &QPushButton::clicked, this, &CCdRipDlg::OnBrowse);
    connect(make_, &QPushButton::clicked, this, &CCdRipDlg::OnMake);
    connect(exit_, &QPushButton::clicked, this, &CCdRipDlg::reject);

    output_->setEditText(QDir::toNativeSeparators(DefaultOutputPath()));
    // TARVELIN_SIMULATED_CDROM (a test facility) puts a simulated drive in
    // the list; a value that cannot be used is said, not ignored.
    if (std::string error; !capture::InstallSimulatedCdRomFromEnvironment(error)) {
        platform::Ask(error, "MAKE ISO From CDROM", platform::PromptButtons::Ok, platform::PromptIcon::Warning);
    }
    rip_ = MakeComponent(Rip1);
    if (rip_ != nullptr) {
        char letters[kMaxLetters] = {};
        const std::uint32_t count = std::min(rip_->ListDrives(letters), kMaxLetters);
        letters_.assign(letters, letters + count);
        // The capture component names the drives by letter only; a drive
        // list of our own says which device each letter is.
        ComponentPtr<ICdRom> devices = MakeComponent(Rom1);
        if (devices && !devices->Initialize()) {
            devices.reset();
        }
        for (char letter : letters_) {
            drives_->addItem(DriveEntry(letter, devices.get()));
        }
    }
    // No drive is chosen until the user picks one.
    drives_->setCurrentIndex(-1);
    if (letters_.empty()) {
        drives_->setPlaceholderText(QString::fromUtf8(kNoDrive));
    }
    make_->setEnabled(rip_ != nullptr && !letters_.empty());
}

CCdRipDlg::~CCdRipDlg()
{
    // Reports from now on are answered false and the capture stops;
    // releasing the component waits for its worker.
    bridge_.Close();
    rip_.reset();
}

void CCdRipDlg::OnBrowse()
{
    const QString path = ShellServices().ChooseFile(this, kOutputChooser);
    if (!path.isEmpty()) {
        output_->setEditText(path);
        chosenOutput_ = path;
    }
}

void CCdRipDlg::reject()
{
    if (running_) {
        return; // the capture is stopped only through its own questions
    }
    QDialog::reject();
}

void CCdRipDlg::SetRunning(bool running)
{
    running_ = running;
    for (QWidget* control : {static_cast<QWidget*>(drives_), static_cast<QWidget*>(output_),
                             static_cast<QWidget*>(browse_), static_cast<QWidget*>(make_),
                             static_cast<QWidget*>(exit_)}) {
        control->setEnabled(!running);
    }
    make_->setEnabled(!running && rip_ != nullptr);
}

void CCdRipDlg::OnMake()
{
    const int index = drives_->currentIndex();
    if (running_ || rip_ == nullptr || index < 0 || index >= static_cast<int>(letters_.size())) {
        return;
    }
    const QString output = output_->currentText().trimmed();
    // The capture replaces what the path holds once it is complete: a file
    // there from before (the last capture under the default name) goes
    // only when the user says so.
    if (!ConfirmReplaceTyped(output, chosenOutput_)) {
        return;
    }
    const std::string target = output.toStdString();
    lastValue_ = INT_MIN;
    // Prepare says itself why it cannot go on.
    if (!rip_->PrepareJob(
            target.c_str(), letters_[static_cast<std::size_t>(index)],
            [this](const JobProgress& done) { return OnProgress(done); }, [this](const JobReport& end) { OnJobEnd(end); })) {
        return;
    }
    SetRunning(true);
    rip_->Start();
}

bool CCdRipDlg::OnProgress(const JobProgress& done)
{
    if (bridge_.Closed()) {
        return false;
    }
    const std::int32_t value = ScaledProgress(done.fraction);
    if (lastValue_.exchange(value) != value) {
        bridge_.Post([this, value] { bar_->SetPos(value); });
    }
    return true;
}

void CCdRipDlg::OnJobEnd(const JobReport& end)
{
    if (bridge_.Closed()) {
        return;
    }
    // The last report: the worker touches nothing after it, and the
    // component is released on the GUI thread, which waits for the worker
    // to be gone.
    const bool finished = end.state == JobState::Done;
    bridge_.Post([this, finished] { OnEnd(finished); });
}

void CCdRipDlg::OnEnd(bool finished)
{
    if (finished) {
        bar_->SetPos(100);
        // The image is complete, but sectors that could not be read are
        // zero in it, and of Mode 2 Form 2 sectors it holds only a part:
        // the user has to know which, and how many.
        if (const std::vector<std::uint32_t> unread = capture::UnreadSectorsOf(*rip_); !unread.empty()) {
            platform::Ask(capture::DescribeUnreadSectors(unread), "MAKE ISO From CDROM", platform::PromptButtons::Ok,
                          platform::PromptIcon::Warning);
        }
        if (const std::uint32_t form2 = rip_->GetForm2SectorCount(); form2 != 0) {
            platform::Ask(capture::DescribeForm2Sectors(form2), "MAKE ISO From CDROM", platform::PromptButtons::Ok,
                          platform::PromptIcon::Warning);
        }
        QTimer::singleShot(kFullBarMs, this, [this] { Release(); });
        return;
    }
    const std::string reason = rip_ != nullptr ? rip_->GetLastError() : std::string();
    std::string text = kCaptureError;
    if (!reason.empty()) {
        text += "\n" + reason;
    }
    platform::Ask(text, "Error", platform::PromptButtons::Ok, platform::PromptIcon::Error);
    Release();
}

void CCdRipDlg::Release()
{
    rip_.reset();
    SetRunning(false);
}

} // namespace tarvelin::shell
