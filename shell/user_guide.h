#pragma once

// The user guide that ships with the program (docs/guide, HTML): where it
// lies beside the program, and the addresses of its pages that Help and the
// About dialog open.

#include <QString>
#include <QUrl>

namespace tarvelin::shell {

// The guide's first page seen from a program in programFolder: installed
// (programFolder/../share/doc/tarvelin/guide/index.html) or in the build
// tree (programFolder/guide/index.html). Empty when neither exists.
QString UserGuideAt(const QString& programFolder);

// The same from the running program's folder; *lookedFor (when given) is
// where an installed guide would be, for a message that it is missing.
QString UserGuide(QString* lookedFor = nullptr);

// A page of the guide as an address: the first page with a section's
// anchor ("problems"), or none. Empty when the guide is missing.
QUrl UserGuideAddress(const QString& section = {});

} // namespace tarvelin::shell
