#include "extract_dlg.h"

#include "shell_services.h"

#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/prompt.h"

#include <QCoreApplication>

#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>
#include <QPushButton>

#include <string>

namespace tarvelin::shell {

namespace {

QString& Destination()
{
    static QString folder;
    return folder;
}

// Removes the folders of runs that ended without removing theirs (killed,
// or crashed): the process they are named after is gone.
void RemoveEndedRuns(const QString& base)
{
    const QFileInfoList runs =
        QDir(base).entryInfoList({QStringLiteral("run-*")}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo& run : runs) {
        bool number = false;
        const qulonglong pid = run.fileName().mid(4).toULongLong(&number);
        if (number && pid != static_cast<qulonglong>(QCoreApplication::applicationPid())
            && platform::ProcessGone(pid)) {
            QDir(run.filePath()).removeRecursively();
        }
    }
}

} // namespace

QString TarvelinTempFolder(QString* error)
{
    std::string reason;
    // Each run has a folder of its own inside, so that one run's exit
    // leaves another's files alone. A run that exits removes the shared
    // folder once it is empty, possibly just after this run made it and
    // before its own folder is in it: then the shared one is made again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::string base = platform::PrivateTemporaryFolder("Tarvelin", &reason);
        if (base.empty()) {
            break;
        }
        if (attempt == 0) {
            RemoveEndedRuns(QString::fromStdString(base));
        }
        const std::string run = base + "/run-" + std::to_string(QCoreApplication::applicationPid());
        if (platform::MakePrivateFolder(run, &reason)) {
            return QString::fromStdString(run);
        }
        if (platform::PathExists(base)) {
            break; // not the race above
        }
    }
    if (error != nullptr) {
        *error = QString::fromStdString(reason);
    }
    return {};
}

QString DefaultExtractFolder()
{
    // Not the temporary folder: what it holds is removed at exit, and what
    // a user extracts is meant to stay.
    QString base = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (base.isEmpty()) {
        base = QDir::homePath();
    }
    return QDir(base).filePath(QStringLiteral("Tarvelin"));
}

QString ExtractDestination()
{
    return Destination();
}

void SetExtractDestination(const QString& folder)
{
    Destination() = folder;
}

CExtractDlg::CExtractDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("extractDialog"));
    setWindowTitle(QStringLiteral("Extract Files..."));
    auto* label = new QLabel(QStringLiteral("Extract to:"), this);
    edit_ = new QLineEdit(this);
    edit_->setObjectName(QStringLiteral("destinationEdit"));
    edit_->setMinimumWidth(220);
    browse_ = new QPushButton(QStringLiteral("..."), this);
    browse_->setObjectName(QStringLiteral("browseButton"));
    browse_->setAutoDefault(false);
    extract_ = new QPushButton(QStringLiteral("Extract"), this);
    extract_->setObjectName(QStringLiteral("extractButton"));
    extract_->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);

    auto* layout = new QGridLayout(this);
    layout->addWidget(label, 0, 0);
    layout->addWidget(edit_, 1, 0);
    layout->addWidget(browse_, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(extract_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons, 2, 0, 1, 2);

    connect(browse_, &QPushButton::clicked, this, &CExtractDlg::OnBrowse);
    connect(extract_, &QPushButton::clicked, this, &CExtractDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CExtractDlg::reject);

    const QString folder = QDir::toNativeSeparators(DefaultExtractFolder());
    SetExtractDestination(folder);
    edit_->setText(folder);
}

void CExtractDlg::OnBrowse()
{
    const QString folder = ShellServices().ChooseFolder(this, QString::fromUtf8(kBrowseTitle));
    if (!folder.isEmpty()) {
        SetExtractDestination(folder);
        edit_->setText(folder);
    }
}

QString CExtractDlg::Destination() const
{
    return edit_->text().trimmed();
}

void CExtractDlg::accept()
{
    if (Destination().isEmpty()) {
        platform::Ask("Please choose the folder to extract to.", "Extract Files...", platform::PromptButtons::Ok,
                      platform::PromptIcon::Warning);
        edit_->setFocus();
        return;
    }
    SetExtractDestination(Destination());
    QDialog::accept();
}

} // namespace tarvelin::shell
