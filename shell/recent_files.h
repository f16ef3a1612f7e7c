#pragma once

// The list of the images opened last, newest first, kept in the settings
// of organisation "Local AppWizard-Generated Applications", application
// "Tarvelin", group "Recent File List" (keys File1 to File4).

#include <QString>
#include <QStringList>

namespace tarvelin::shell {

inline constexpr int kRecentFileCount = 4;

class RecentFileList {
public:
    // Puts the path first; an entry already listed moves up, the oldest
    // beyond four drops out.
    static void Add(const QString& path);
    // Takes the path off the list (one that no longer opens).
    static void Remove(const QString& path);
    static QStringList Paths();
};

} // namespace tarvelin::shell
