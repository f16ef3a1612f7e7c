#include "convert_dlgs.h"

#include "text_progress_ctrl.h"

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"
#include "platform/prompt.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <climits>

namespace tarvelin::shell {

namespace {

constexpr const char* kProgramCaption = "Tarvelin";
constexpr const char* kFailedCaption = "Convert Fail";

// Paths go to the engine in UTF-8, as every path the engine takes, and
// otherwise unchanged: a backslash may be an ordinary character of a name.
std::string EnginePath(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

QPushButton* NewButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

const ConvertDlgTexts kBinToIsoTexts{
    "BIN to ISO Convert...",
    "Please choose Source file...",
    "Please choose Output file...",
    "Convert",
    {false, {}, {}, "Bin Files (*.BIN)|*.BIN||"},
    {true, {}, QStringLiteral(".ISO"), "ISO Files (*.ISO)|*.ISO||"},
    "Open source File Failed!",
    "Open Fail",
    "Write file erro!",
    "Write Fail",
};

const ConvertDlgTexts kAnyToIsoTexts{
    "Any Formats to ISO...",
    "Please Choose Source File...",
    "Please Choose output File...",
    "CONVERT",
    {false, {}, {}, "Any CD-ROM Image Files (*.*)|*.*||"},
    {true, {}, QStringLiteral(".ISO"), "ISO Files (*.ISO)|*.ISO||"},
    "Open source File Failed!",
    "Open Fail",
    "Write file erro!",
    "Write Fail",
};

const ConvertDlgTexts kIsoToBinTexts{
    "ISO to BIN",
    "Please Choose Source File...",
    "Please Choose Output File...",
    "Convert",
    {false, {}, {}, "Bin Files (*.ISO)|*.ISO||"},
    {true, {}, QStringLiteral(".BIN"), "ISO Files (*.BIN)|*.BIN||"},
    "Open Source File Failed",
    "Open Fail!!",
    "Write File Failed",
    "Write file erro",
};

} // namespace

CConvertDlg::CConvertDlg(const ConvertDlgTexts& texts, QWidget* parent) : QDialog(parent), texts_(texts)
{
    setWindowTitle(QString::fromUtf8(texts_.title));
    auto* group = new QGroupBox(this);
    auto* sourceLabel = new QLabel(QString::fromUtf8(texts_.sourceLabel), group);
    sourceEdit_ = new QLineEdit(group);
    sourceEdit_->setObjectName(QStringLiteral("sourceEdit"));
    sourceEdit_->setMinimumWidth(260);
    sourceBrowse_ = NewButton(QStringLiteral("..."), "sourceBrowse", group);
    auto* outputLabel = new QLabel(QString::fromUtf8(texts_.outputLabel), group);
    outputEdit_ = new QLineEdit(group);
    outputEdit_->setObjectName(QStringLiteral("outputEdit"));
    outputBrowse_ = NewButton(QStringLiteral("..."), "outputBrowse", group);
    auto* paths = new QGridLayout(group);
    paths->addWidget(sourceLabel, 0, 0, 1, 2);
    paths->addWidget(sourceEdit_, 1, 0);
    paths->addWidget(sourceBrowse_, 1, 1);
    paths->addWidget(outputLabel, 2, 0, 1, 2);
    paths->addWidget(outputEdit_, 3, 0);
    paths->addWidget(outputBrowse_, 3, 1);

    bar_ = new CTextProgressCtrl(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->SetRange(0, 100);
    bar_->SetPos(0);
    startButton_ = NewButton(QString::fromUtf8(texts_.startButton), "startButton", this);
    exitButton_ = NewButton(QStringLiteral("Exit"), "exitButton", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(startButton_);
    buttons->addWidget(exitButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(bar_);
    layout->addLayout(buttons);

    connect(sourceBrowse_, &QPushButton::clicked, this, [this] { Browse(true); });
    connect(outputBrowse_, &QPushButton::clicked, this, [this] { Browse(false); });
    connect(startButton_, &QPushButton::clicked, this, &CConvertDlg::OnStart);
    connect(exitButton_, &QPushButton::clicked, this, &CConvertDlg::reject);
}

CConvertDlg::~CConvertDlg() = default;

void CConvertDlg::Browse(bool source)
{
    const FileDialogSpec& spec = source ? texts_.sourceChooser : texts_.outputChooser;
    const QString path = ShellServices().ChooseFile(this, spec);
    if (!path.isEmpty()) {
        (source ? sourceEdit_ : outputEdit_)->setText(path);
        if (!source) {
            confirmedOutput_ = path;
        }
    }
}

void CConvertDlg::reject()
{
    if (running_) {
        return; // the converter works until its end; the dialog waits for it
    }
    QDialog::reject();
}

void CConvertDlg::SetRunning(bool running)
{
    running_ = running;
    for (QWidget* control : {static_cast<QWidget*>(sourceEdit_), static_cast<QWidget*>(outputEdit_),
                             static_cast<QWidget*>(sourceBrowse_), static_cast<QWidget*>(outputBrowse_),
                             static_cast<QWidget*>(startButton_), static_cast<QWidget*>(exitButton_)}) {
        control->setEnabled(!running);
    }
}

void CConvertDlg::OnStart()
{
    if (running_) {
        return;
    }
    ReleaseConverter(); // the last conversion's, finished
    bar_->SetPos(0);
    if (!ConfirmReplace()) {
        return;
    }
    if (!Open(EnginePath(sourceEdit_), EnginePath(outputEdit_))) {
        return;
    }
    lastValue_ = INT_MIN;
    succeeded_ = false;
    SetRunning(true);
    if (!Run()) {
        SetRunning(false);
        platform::Ask(QStringLiteral("%1\n%2").arg(QString::fromUtf8(kFailed), FailureReason()).toStdString(),
                      kFailedCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
    }
}

bool CConvertDlg::ConfirmReplace()
{
    return ConfirmReplaceTyped(outputEdit_->text(), confirmedOutput_);
}

void CConvertDlg::ShowOpenFailure()
{
    ShowFailure(texts_.openFailText, texts_.openFailCaption);
}

void CConvertDlg::ShowWriteFailure()
{
    ShowFailure(texts_.writeFailText, texts_.writeFailCaption);
}

void CConvertDlg::ShowFailure(const char* text, const char* caption)
{
    // The converter's reason goes below the message: a file in use by the
    // main window, a missing folder and a bad path all fail alike otherwise.
    std::string message = text;
    if (const QString reason = FailureReason(); !reason.isEmpty()) {
        message += "\n" + reason.toStdString();
    }
    platform::Ask(message, caption, platform::PromptButtons::OkCancel, platform::PromptIcon::None);
}

bool CConvertDlg::OnProgress(const JobProgress& done)
{
    if (bridge_.Closed()) {
        return false; // the dialog is going: stop
    }
    const std::int32_t shown = ScaledProgress(done.fraction);
    if (lastValue_.exchange(shown) != shown) {
        bridge_.Post([this, shown] { bar_->SetPos(shown); });
    }
    // On the GUI thread the conversion holds the event loop: keep the
    // dialog drawn and its (disabled) controls answering.
    PumpGuiEvents();
    return true;
}

void CConvertDlg::OnJobEnd(const JobReport& end)
{
    if (bridge_.Closed()) {
        return;
    }
    succeeded_ = end.state == JobState::Done;
    // At the end the bar shows full, whatever the outcome.
    if (lastValue_.exchange(100) != 100) {
        bridge_.Post([this] { bar_->SetPos(100); });
    }
    if (!IsGuiThread()) {
        bridge_.Post([this] { Finish(); });
    }
}

void CConvertDlg::Finish()
{
    SetRunning(false);
    if (succeeded_) {
        const QString warning = SourceWarning();
        platform::Ask(warning.isEmpty() ? std::string(kSucceeded) : std::string(kSucceeded) + "\n" + warning.toStdString(),
                      kProgramCaption, platform::PromptButtons::Ok,
                      warning.isEmpty() ? platform::PromptIcon::Information : platform::PromptIcon::Warning);
        return;
    }
    bar_->SetPos(100);
    const QString reason = FailureReason();
    const QString text = reason.isEmpty() ? QString::fromUtf8(kFailed)
                                          : QStringLiteral("%1\n%2").arg(QString::fromUtf8(kFailed), reason);
    platform::Ask(text.toStdString(), kFailedCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
}

CBin2IsoConvertDlg::~CBin2IsoConvertDlg()
{
    bridge_.Close();
    ReleaseConverter();
}

bool CBin2IsoConvertDlg::Open(const std::string& source, const std::string& output)
{
    converter_ = MakeComponent(Bin2ISO1);
    if (converter_ == nullptr) {
        return false;
    }
    if (!converter_->OpenSource(source.c_str())) {
        ShowOpenFailure();
        return false;
    }
    if (!converter_->OpenTarget(output.c_str())) {
        ShowWriteFailure();
        return false;
    }
    return true;
}

bool CBin2IsoConvertDlg::Run()
{
    // Runs here, on the GUI thread, to its end.
    OnJobEnd(converter_->RunJob([this](const JobProgress& done) { return OnProgress(done); }));
    Finish();
    return true;
}

QString CBin2IsoConvertDlg::FailureReason()
{
    return converter_ != nullptr ? QString::fromUtf8(converter_->GetLastError()) : QString();
}

QString CBin2IsoConvertDlg::SourceWarning()
{
    return converter_ != nullptr ? QString::fromUtf8(converter_->GetSourceWarning()) : QString();
}

void CBin2IsoConvertDlg::ReleaseConverter()
{
    converter_.reset();
}

CBinToIsoDlg::CBinToIsoDlg(QWidget* parent) : CBin2IsoConvertDlg(kBinToIsoTexts, parent)
{
    setObjectName(QStringLiteral("binToIsoDialog"));
}

CAnyToIsoDlg::CAnyToIsoDlg(QWidget* parent) : CBin2IsoConvertDlg(kAnyToIsoTexts, parent)
{
    setObjectName(QStringLiteral("anyToIsoDialog"));
}

CIsoToBinDlg::CIsoToBinDlg(QWidget* parent) : CConvertDlg(kIsoToBinTexts, parent)
{
    setObjectName(QStringLiteral("isoToBinDialog"));
}

CIsoToBinDlg::~CIsoToBinDlg()
{
    // Reports from now on are answered false, so a running worker stops;
    // releasing the converter waits for it.
    bridge_.Close();
    ReleaseConverter();
}

bool CIsoToBinDlg::Open(const std::string& source, const std::string& output)
{
    converter_ = MakeComponent(NEW_ISO2BIN1);
    if (converter_ == nullptr) {
        return false;
    }
    if (!converter_->OpenSource(source.c_str())) {
        ShowOpenFailure();
        return false;
    }
    if (!converter_->OpenTarget(output.c_str())) {
        ShowWriteFailure();
        return false;
    }
    return true;
}

bool CIsoToBinDlg::Run()
{
    return converter_->StartJob([this](const JobProgress& done) { return OnProgress(done); },
                                [this](const JobReport& end) { OnJobEnd(end); });
}

QString CIsoToBinDlg::FailureReason()
{
    if (converter_ == nullptr) {
        return {};
    }
    // Called after the worker's last report (or when it never started): its
    // end is near or past, and only then is its reason settled.
    converter_->Wait();
    return QString::fromUtf8(converter_->GetLastError());
}

QString CIsoToBinDlg::SourceWarning()
{
    return converter_ != nullptr ? QString::fromUtf8(converter_->GetSourceWarning()) : QString();
}

void CIsoToBinDlg::ReleaseConverter()
{
    converter_.reset();
}

} // namespace tarvelin::shell
