#pragma once

// The program's own pictures (SVG, built into the program): one for each
// toolbar command, shown in the toolbar and beside the same command in the
// menus, and the program's window icon.

#include <QIcon>

namespace tarvelin::shell {

// The picture of a toolbar command; a null icon for other commands.
QIcon CommandIcon(int id);

// The window icon: the same picture the desktop entry installs.
QIcon ProgramIcon();

} // namespace tarvelin::shell
