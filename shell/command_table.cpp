#include "commands.h"

#include <array>

namespace tarvelin::shell {

namespace {

constexpr std::array kCommands{
    CommandInfo{ID_FILE_NEWISO, "&New\tCtrl+N", "New ISO File\nNew ISO File"},
    CommandInfo{ID_FILE_OPENISO, "&Open...\tCtrl+O", "Open an ISO File\nOpen an ISO File"},
    CommandInfo{ID_FILE_SAVEISO, "&Save\tCtrl+S", "Save  ISO File\nSave ISO File"},
    CommandInfo{ID_FILE_SAVEISOAS, "Save &As...", ""},
    CommandInfo{ID_FILE_COMPACT, "Co&mpact Image",
                "Save the image with no free space inside it\nCompact Image"},
    CommandInfo{ID_FILE_BUILDUDF, "New Images With &UDF",
                "Give new images a UDF file system too (files of 4 GiB or more need it)\nNew Images With UDF"},
    CommandInfo{ID_FILE_PROPERTIES, "P&roperties...",
                "Show or change the image's volume label, publisher and dates\nProperties"},
    CommandInfo{ID_APP_EXIT, "E&xit", "Quit Tarvelin\nExit"},
    CommandInfo{ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar\nToolbar"},
    CommandInfo{ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar\nStatus Bar"},
    CommandInfo{ID_VIEW_LARGEICON, "&Large Icons", ""},
    CommandInfo{ID_VIEW_SMALLICON, "Small Icons", ""},
    CommandInfo{ID_VIEW_LIST, "List", ""},
    CommandInfo{ID_VIEW_DETAILS, "Details", ""},
    CommandInfo{ID_VIEW_NAMES_AUTOMATIC, "&Automatic Names",
                "Show the image's Rock Ridge names, else its Joliet or ISO 9660 names\nAutomatic Names"},
    CommandInfo{ID_VIEW_NAMES_ROCKRIDGE, "&Rock Ridge Names", "Show the image's Rock Ridge names\nRock Ridge Names"},
    CommandInfo{ID_VIEW_NAMES_JOLIET, "&Joliet Names", "Show the image's Joliet names\nJoliet Names"},
    CommandInfo{ID_VIEW_NAMES_ISO, "&ISO 9660 Names", "Show the image's ISO 9660 names\nISO 9660 Names"},
    CommandInfo{ID_VIEW_NAMES_UDF, "&UDF Tree", "Show the image's UDF file system\nUDF Tree"},
    CommandInfo{ID_ACTIONS_MAKEISO, "&Make ISO From CD-ROM", "Make ISO From CD-ROM\nMake ISO From CD-ROM"},
    CommandInfo{ID_ACTIONS_ADDFILES, "Add Files...", "Add File to ISO\nAdd File to ISO"},
    CommandInfo{ID_ACTIONS_ADDDIRECTORY, "Add Directory...", "Add Directory to ISO\nAdd Directory "},
    CommandInfo{ID_ACTIONS_EXTRACT, "Extract...", "Extract File From ISO\nExtract File From ISO"},
    CommandInfo{ID_ACTIONS_VIEW, "View...", "View ISO File\nView ISO File"},
    CommandInfo{ID_ACTIONS_DELETE, "Delete...", "Delete File\nDelete File"},
    CommandInfo{ID_EDIT_RENAME, "&Rename\tF2", "Rename the selected entry\nRename"},
    CommandInfo{ID_EDIT_NEWFOLDER, "New &Folder\tCtrl+Shift+N", "Make a new folder in the folder shown\nNew Folder"},
    CommandInfo{ID_ACTIONS_SELECTALL, "Select All...", "Select All File\nSelect All File"},
    CommandInfo{ID_CONVERT_BIN2ISO, "BIN to ISO...", "BIN to ISO\nBIN File to ISO File"},
    CommandInfo{ID_CONVERT_ISO2BIN, "ISO to BIN", "ISO to BIN\nISO to BIN"},
    CommandInfo{ID_CONVERT_OTHER, "Other Format Convert...",
                "Any CD-ROM Image Files to ISO\nAny CD-ROM Image Files to ISO"},
    CommandInfo{ID_BOOT_LOAD, "Load Bootable Info From file...",
                "Load Bootable Information From File\nLoad Bootable from file"},
    CommandInfo{ID_BOOT_SAVE, "Save Bootable Info to file...", "Save bootable Information to File\nSave bootable Info"},
    CommandInfo{ID_BOOT_DELETE, "Delete Bootable...", "Delete bootable Info\nDelete bootable Info"},
    CommandInfo{ID_BOOT_FROMFLOPPY, "Make Bootable Info From Floppy...",
                "Make Bootable Infomation From Floppy\nMake bootable from floppy"},
    CommandInfo{ID_HELP_CONTENTS, "Contents...", "ISO Content\nISO Content"},
    CommandInfo{ID_HELP_HOMEPAGE, "Homepage", "ISO Homepage\nISO Homepage"},
    CommandInfo{ID_HELP_SUPPORT, "Tarvelin Support...", "ISO Support\nISO Support"},
    CommandInfo{ID_APP_ABOUT, "&About Tarvelin...", "Show the version of Tarvelin\nAbout"},
};

} // namespace

const CommandInfo* FindCommand(int id)
{
    for (const CommandInfo& command : kCommands) {
        if (command.id == id) {
            return &command;
        }
    }
    return nullptr;
}

const std::vector<MenuLayout>& MenuBarLayout()
{
    static const std::vector<MenuLayout> layout{
        {"&File",
         {ID_FILE_NEWISO, ID_FILE_OPENISO, ID_FILE_SAVEISO, ID_FILE_SAVEISOAS, ID_FILE_COMPACT, ID_FILE_PROPERTIES, ID_FILE_BUILDUDF, 0,
          ID_APP_EXIT}},
        {"&View",
         {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, 0, ID_VIEW_LARGEICON, ID_VIEW_SMALLICON, ID_VIEW_LIST,
          ID_VIEW_DETAILS, 0, ID_VIEW_NAMES_AUTOMATIC, ID_VIEW_NAMES_ROCKRIDGE, ID_VIEW_NAMES_JOLIET,
          ID_VIEW_NAMES_ISO, ID_VIEW_NAMES_UDF}},
        {"&Actions",
         {ID_ACTIONS_MAKEISO, 0, ID_ACTIONS_ADDFILES, ID_ACTIONS_ADDDIRECTORY, ID_ACTIONS_EXTRACT, 0, ID_ACTIONS_VIEW,
          ID_ACTIONS_DELETE, ID_ACTIONS_SELECTALL}},
        {"&Convert", {ID_CONVERT_BIN2ISO, ID_CONVERT_ISO2BIN, ID_CONVERT_OTHER}},
        {"&Bootable CD", {ID_BOOT_LOAD, ID_BOOT_SAVE, ID_BOOT_DELETE, 0, ID_BOOT_FROMFLOPPY}},
        {"&Help", {ID_HELP_CONTENTS, ID_HELP_HOMEPAGE, ID_HELP_SUPPORT, 0, ID_APP_ABOUT}},
    };
    return layout;
}

const std::vector<int>& ListContextMenuLayout()
{
    static const std::vector<int> layout{ID_ACTIONS_ADDFILES, ID_ACTIONS_ADDDIRECTORY, 0,
                                         ID_ACTIONS_EXTRACT,  ID_ACTIONS_VIEW,         ID_ACTIONS_DELETE,
                                         0,                   ID_EDIT_RENAME,          ID_EDIT_NEWFOLDER,
                                         0,                   ID_ACTIONS_SELECTALL};
    return layout;
}

const std::vector<int>& ToolBarLayout()
{
    static const std::vector<int> layout{ID_FILE_NEWISO, ID_FILE_OPENISO,    0, ID_FILE_SAVEISO,  0,
                                         ID_ACTIONS_ADDDIRECTORY, ID_ACTIONS_DELETE, 0, ID_ACTIONS_EXTRACT,
                                         0, ID_CONVERT_OTHER, 0, ID_APP_ABOUT};
    return layout;
}

std::string_view StatusPrompt(std::string_view prompt)
{
    return prompt.substr(0, prompt.find('\n'));
}

std::string_view ToolTip(std::string_view prompt)
{
    const std::size_t newline = prompt.find('\n');
    return newline == std::string_view::npos ? prompt : prompt.substr(newline + 1);
}

} // namespace tarvelin::shell
