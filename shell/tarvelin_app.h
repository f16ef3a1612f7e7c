#pragma once

// The application: settings, the main window, the prompt through which the
// engine and the shell ask the user, and the image named on the command
// line.

#include <QApplication>

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

    // Creates and shows the main window; with an image path among the
    // arguments, opens that image. False ends the program.
    bool InitInstance();
    CMainFrame* MainFrame() const { return frame_.get(); }

private:
    std::unique_ptr<MessageBoxPrompt> prompt_;
    std::unique_ptr<CMainFrame> frame_;
};

} // namespace tarvelin::shell
