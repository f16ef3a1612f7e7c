#include "shell_services.h"

#include "look/hyperlink.h"

#include "platform/prompt.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

namespace tarvelin::shell {

namespace {

class DesktopServices final : public IShellServices {
public:
    QString ChooseFile(QWidget* owner, const FileDialogSpec& spec) override
    {
        const QStringList chosen =
            Choose(owner, spec, spec.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        return chosen.isEmpty() ? QString() : chosen.front();
    }

    QStringList ChooseFiles(QWidget* owner, const FileDialogSpec& spec) override
    {
        return Choose(owner, spec, QFileDialog::ExistingFiles);
    }

    QString ChooseFolder(QWidget* owner, const QString& title) override
    {
        return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
    }

    std::optional<OpenError> TryOpen(const QString& pathOrAddress) override
    {
        const QUrl url = pathOrAddress.contains(QLatin1Char(':')) && !pathOrAddress.startsWith(QLatin1Char('/'))
                             ? QUrl(pathOrAddress)
                             : QUrl::fromLocalFile(pathOrAddress);
        // The desktop's opener runs detached and cannot say why it failed
        // with a local file; what is wrong with the file is found here.
        if (url.isLocalFile()) {
            const QFileInfo file(url.toLocalFile());
            if (!file.exists()) {
                return file.dir().exists() ? OpenError::FileNotFound : OpenError::PathNotFound;
            }
            if (!file.isReadable()) {
                return OpenError::AccessDenied;
            }
        }
        if (QDesktopServices::openUrl(url)) {
            return std::nullopt;
        }
        return OpenError::NoAssociation;
    }

private:
    static QStringList Choose(QWidget* owner, const FileDialogSpec& spec, QFileDialog::FileMode mode)
    {
        QFileDialog dialog(owner, spec.title);
        dialog.setAcceptMode(spec.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(mode);
        dialog.setOption(QFileDialog::ReadOnly, false);
        dialog.setNameFilter(QtFileFilter(spec.filter));
        dialog.setDefaultSuffix(QtDefaultSuffix(spec.defaultSuffix));
        if (dialog.exec() != QDialog::Accepted) {
            return {};
        }
        return dialog.selectedFiles();
    }
};

IShellServices* installed = nullptr;

} // namespace

IShellServices* SetShellServices(IShellServices* services)
{
    IShellServices* previous = installed;
    installed = services;
    return previous;
}

IShellServices& ShellServices()
{
    static DesktopServices desktop;
    return installed != nullptr ? *installed : desktop;
}

bool OpenOrTell(const QString& path)
{
    const std::optional<OpenError> failure = ShellServices().TryOpen(path);
    if (!failure.has_value()) {
        return true;
    }
    const QString text = QStringLiteral("No program could open %1\n%2")
                             .arg(QDir::toNativeSeparators(path), HyperlinkFailureReason(static_cast<int>(*failure)));
    platform::Ask(text.toStdString(), "Tarvelin", platform::PromptButtons::Ok, platform::PromptIcon::Warning);
    return false;
}

bool ConfirmReplaceTyped(const QString& output, const QString& chosen)
{
    if (output.isEmpty() || output == chosen || !QFileInfo::exists(output) || QFileInfo(output).isDir()) {
        return true;
    }
    const QString text = QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(output);
    return platform::Ask(text.toStdString(), "Tarvelin", platform::PromptButtons::YesNo,
                         platform::PromptIcon::Warning) == platform::PromptAnswer::Yes;
}

QString QtFileFilter(std::string_view filter)
{
    const QStringList parts = QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size()))
                                  .split(QLatin1Char('|'));
    QStringList lines;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() && parts[i + 1].isEmpty()) {
            break;
        }
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = pattern.trimmed();
            for (const QString& variant : {trimmed, trimmed.toUpper(), trimmed.toLower()}) {
                if (!patterns.contains(variant)) {
                    patterns.append(variant);
                }
            }
        }
        lines.append(parts[i].trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                     QLatin1Char(')'));
    }
    return lines.join(QStringLiteral(";;"));
}

QString QtDefaultSuffix(const QString& suffix)
{
    return suffix.startsWith(QLatin1Char('.')) ? suffix.mid(1) : suffix;
}

} // namespace tarvelin::shell
