#pragma once

// Command identifiers of the menus, the toolbar and the context menu. The
// numbers are the program's own command numbers: the frame forwards every
// number of the list view's range to the list view, which finds its handler
// by number.

#include <string_view>
#include <vector>

namespace tarvelin::shell {

enum CommandId : int {
    ID_ACTIONS_ADDDIRECTORY = 32772,
    ID_ACTIONS_ADDFILES = 32773,
    ID_ACTIONS_MAKEISO = 32776,
    ID_ACTIONS_EXTRACT = 32779,
    ID_ACTIONS_VIEW = 32780,
    ID_ACTIONS_DELETE = 32781,
    ID_ACTIONS_SELECTALL = 32782,
    ID_BOOT_LOAD = 32783,
    ID_BOOT_SAVE = 32784,
    ID_BOOT_DELETE = 32785,
    ID_BOOT_FROMFLOPPY = 32786,
    ID_CONVERT_BIN2ISO = 32787,
    ID_CONVERT_ISO2BIN = 32788,
    ID_CONVERT_OTHER = 32789,
    ID_HELP_CONTENTS = 32790,
    ID_HELP_HOMEPAGE = 32791,
    ID_HELP_SUPPORT = 32792,
    ID_FILE_NEWISO = 32794,
    ID_FILE_OPENISO = 32795,
    ID_FILE_SAVEISO = 32796,
    ID_FILE_SAVEISOAS = 32797,
    // Gives an opened image's free space back (files moved down, file cut).
    ID_FILE_COMPACT = 32798,
    // Rename the selected entry, make a folder in the folder shown.
    ID_EDIT_RENAME = 32799,
    ID_EDIT_NEWFOLDER = 32800,
    // The opened image's volume label, publisher, preparer, application
    // identifier and dates.
    ID_FILE_PROPERTIES = 32801,
    // Whether new images get a UDF file system beside ISO 9660 and Joliet
    // (which files of 4 GiB or more need); a check mark.
    ID_FILE_BUILDUDF = 32802,
    ID_VIEW_LARGEICON = 32804,
    ID_VIEW_SMALLICON = 32805,
    ID_VIEW_LIST = 32806,
    ID_VIEW_DETAILS = 32807,
    // Which names of an opened image the panes show; the frame handles them.
    ID_VIEW_NAMES_AUTOMATIC = 32808,
    ID_VIEW_NAMES_ROCKRIDGE = 32809,
    ID_VIEW_NAMES_JOLIET = 32810,
    ID_VIEW_NAMES_ISO = 32811,
    // The image's UDF tree, read-only; greyed for an image without one.
    ID_VIEW_NAMES_UDF = 32812,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

// The range of numbers the frame hands to the list view.
inline constexpr int kFirstForwardedCommand = 32771;
inline constexpr int kLastForwardedCommand = 32807;

// A command as the menus and the toolbar show it. `prompt` is the status-bar
// prompt and the tooltip separated by "\n"; empty when the command has none.
struct CommandInfo {
    CommandId id;
    std::string_view menuText;
    std::string_view prompt;
};

// Null when the number is not a command of the program.
const CommandInfo* FindCommand(int id);

// A menu of the menu bar: its title and its items in order; a zero
// identifier stands for a separator.
struct MenuLayout {
    std::string_view title;
    std::vector<int> items;
};
const std::vector<MenuLayout>& MenuBarLayout();
// The context menu of the list.
const std::vector<int>& ListContextMenuLayout();
// Toolbar buttons left to right; zero is a separator.
const std::vector<int>& ToolBarLayout();

// The status-bar prompt and the tooltip of a command's prompt text.
std::string_view StatusPrompt(std::string_view prompt);
std::string_view ToolTip(std::string_view prompt);

} // namespace tarvelin::shell
