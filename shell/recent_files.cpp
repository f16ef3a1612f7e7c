#include "recent_files.h"

#include <QFileInfo>
#include <QSettings>

namespace tarvelin::shell {

namespace {
const QString kGroup = QStringLiteral("Recent File List");
}

QStringList RecentFileList::Paths()
{
    QSettings settings;
    settings.beginGroup(kGroup);
    QStringList paths;
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString path = settings.value(QStringLiteral("File%1").arg(i)).toString();
        if (!path.isEmpty()) {
            paths.push_back(path);
        }
    }
    return paths;
}

namespace {

void Store(const QStringList& paths)
{
    QSettings settings;
    settings.beginGroup(kGroup);
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString key = QStringLiteral("File%1").arg(i);
        if (i <= paths.size()) {
            settings.setValue(key, paths[i - 1]);
        } else {
            settings.remove(key);
        }
    }
}

} // namespace

void RecentFileList::Add(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList paths = Paths();
    paths.removeAll(absolute);
    paths.prepend(absolute);
    Store(paths);
}

void RecentFileList::Remove(const QString& path)
{
    QStringList paths = Paths();
    if (paths.removeAll(QFileInfo(path).absoluteFilePath()) > 0) {
        Store(paths);
    }
}

} // namespace tarvelin::shell
