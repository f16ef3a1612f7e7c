#pragma once

// What the commands and dialogs ask of the desktop: choosing a file or a
// folder, and opening a file, folder or address with the program the desktop
// associates with it. The program installs the desktop's own implementation;
// tests install one that answers from a script and records what was opened.

#include <QString>
#include <QStringList>

#include <optional>
#include <string_view>

class QWidget;

namespace tarvelin::shell {

// A file dialog as a command describes it. `filter` is in the program's
// "Text|patterns|...||" form (see QtFileFilter). Every dialog hides the
// read-only choice and asks before overwriting an existing file.
struct FileDialogSpec {
    bool save = false;
    QString title;
    // Added when the chosen name has none; may start with a dot.
    QString defaultSuffix;
    std::string_view filter;
};

// Why the desktop could not open a path or an address. The numbers are the
// shell's error codes, by which a link's failure message picks its reason.
enum class OpenError : int {
    OutOfResources = 0,
    FileNotFound = 2,
    PathNotFound = 3,
    AccessDenied = 5,
    NoAssociation = 31,
};

class IShellServices {
public:
    virtual ~IShellServices() = default;
    // The chosen path; empty when the user cancelled.
    virtual QString ChooseFile(QWidget* owner, const FileDialogSpec& spec) = 0;
    // An open dialog in which several files can be chosen at once; none
    // when the user cancelled.
    virtual QStringList ChooseFiles(QWidget* owner, const FileDialogSpec& spec) = 0;
    // A file-system folder; empty when the user cancelled.
    virtual QString ChooseFolder(QWidget* owner, const QString& title) = 0;
    // Opens a path or an address (http:, mailto:) the way the desktop does;
    // nothing when it did, otherwise why it could not.
    virtual std::optional<OpenError> TryOpen(const QString& pathOrAddress) = 0;
    // The same, for callers that only need to know whether it worked.
    bool Open(const QString& pathOrAddress) { return !TryOpen(pathOrAddress).has_value(); }
};

// The installed services (not owned; null restores the desktop's own) and
// the previous ones.
IShellServices* SetShellServices(IShellServices* services);
IShellServices& ShellServices();

// Opens a path with the installed services; when nothing could open it,
// says so in a message box with the reason. Whether it was opened.
bool OpenOrTell(const QString& path);

// Whether a file may be written at the output path a dialog will use: the
// file dialog asked about the path it gave (`chosen`); a path typed in, or
// a default, that names an existing file is asked about here.
bool ConfirmReplaceTyped(const QString& output, const QString& chosen);

// "All Support(*.ISO;*.BIN)|*.ISO;*.BIN||" as Qt's file dialog takes it:
// one "Text (patterns)" line per pair. Patterns are matched without regard
// to case, so each is given in upper and lower case as well.
QString QtFileFilter(std::string_view filter);

// The default suffix without a leading dot, as Qt's file dialog takes it.
QString QtDefaultSuffix(const QString& suffix);

} // namespace tarvelin::shell
