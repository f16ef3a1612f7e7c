#include "shell_services.h"

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
        QFileDialog dialog(owner, spec.title);
        dialog.setAcceptMode(spec.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(spec.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        dialog.setOption(QFileDialog::ReadOnly, false);
        dialog.setNameFilter(QtFileFilter(spec.filter));
        dialog.setDefaultSuffix(QtDefaultSuffix(spec.defaultSuffix));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return {};
        }
        return dialog.selectedFiles().front();
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
