#include "user_guide.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace tarvelin::shell {

namespace {

QString InstalledGuide(const QString& programFolder)
{
    return QDir::cleanPath(QDir(programFolder).filePath(QStringLiteral("../share/doc/tarvelin/guide/index.html")));
}

} // namespace

QString UserGuideAt(const QString& programFolder)
{
    for (const QString& page :
         {InstalledGuide(programFolder), QDir(programFolder).filePath(QStringLiteral("guide/index.html"))}) {
        if (QFileInfo(page).isFile()) {
            return page;
        }
    }
    return {};
}

QString UserGuide(QString* lookedFor)
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    if (lookedFor != nullptr) {
        *lookedFor = InstalledGuide(programFolder);
    }
    return UserGuideAt(programFolder);
}

QUrl UserGuideAddress(const QString& section)
{
    const QString page = UserGuide();
    if (page.isEmpty()) {
        return {};
    }
    QUrl address = QUrl::fromLocalFile(page);
    if (!section.isEmpty()) {
        address.setFragment(section);
    }
    return address;
}

} // namespace tarvelin::shell
