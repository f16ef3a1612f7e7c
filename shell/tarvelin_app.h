#pragma once

// The application: settings, the main window, the prompt through which the
// engine and the shell ask the user, and the image named on the command
// line.

#include <QApplication>
#include <QStringList>

#include <memory>

namespace tarvelin::shell {

class CMainFrame;
class MessageBoxPrompt;

// Where the settings live (the recent-file list).
inline constexpr const char* kSettingsOrganization = "Local AppWizard-Generated Applications";
inline constexpr const char* kSettingsApplication = "Tarvelin";

class CTarvelinApp final : public QApplication {
    Q_OBJECT
public:
    CTarvelinApp(int& argc, char** argv);
    ~CTarvelinApp() override;

    // Names the settings; called first, also by programs that only use the
    // shell's classes (the tests).
    static void SetUpSettings();

    // The image a command line names: its first argument that is not an
    // option, as a local path (a file manager may hand over a file:// URL).
    // Empty when there is none.
    static QString ImagePathFromArguments(const QStringList& arguments);

    // Creates and shows the main window; when the arguments (program name
    // first, as QCoreApplication::arguments() gives them) name an image,
    // opens it. --help and --version answer and end the program. False ends
    // the program.
    bool InitInstance();
    bool InitInstance(const QStringList& arguments);
    // Closes the main window and takes the message-box prompt away again.
    void ExitInstance();
    CMainFrame* MainFrame() const { return frame_.get(); }

private:
    std::unique_ptr<MessageBoxPrompt> prompt_;
    std::unique_ptr<CMainFrame> frame_;
};

} // namespace tarvelin::shell
