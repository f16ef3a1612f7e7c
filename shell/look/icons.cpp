#include "look/icons.h"

#include "commands.h"

#include <QString>

#include <array>
#include <utility>

namespace tarvelin::shell {

QIcon CommandIcon(int id)
{
    static const std::array<std::pair<int, const char*>, 8> pictures{{
        {ID_FILE_NEWISO, "new-image"},
        {ID_FILE_OPENISO, "open-image"},
        {ID_FILE_SAVEISO, "save-image"},
        {ID_ACTIONS_ADDDIRECTORY, "add-folder"},
        {ID_ACTIONS_DELETE, "delete"},
        {ID_ACTIONS_EXTRACT, "extract"},
        {ID_CONVERT_OTHER, "convert-to-iso"},
        {ID_APP_ABOUT, "about"},
    }};
    for (const auto& [command, name] : pictures) {
        if (command == id) {
            return QIcon(QStringLiteral(":/tarvelin/icons/%1.svg").arg(QString::fromLatin1(name)));
        }
    }
    return {};
}

QIcon ProgramIcon()
{
    return QIcon(QStringLiteral(":/tarvelin/icons/tarvelin.svg"));
}

} // namespace tarvelin::shell
