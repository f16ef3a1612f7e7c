#include "tarvelin_app.h"

#include "main_frame.h"
#include "message_prompt.h"
#include "tarvelin_view.h"

#include <QScreen>
#include <QStyle>

namespace tarvelin::shell {

CTarvelinApp::CTarvelinApp(int& argc, char** argv) : QApplication(argc, argv) {}

CTarvelinApp::~CTarvelinApp()
{
    frame_.reset();
    if (platform::GetPrompt() == prompt_.get()) {
        platform::SetPrompt(nullptr);
    }
}

void CTarvelinApp::SetUpSettings()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(kSettingsOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(kSettingsApplication));
}

bool CTarvelinApp::InitInstance()
{
    SetUpSettings();
    prompt_ = std::make_unique<MessageBoxPrompt>();
    platform::SetPrompt(prompt_.get());

    frame_ = std::make_unique<CMainFrame>();
    frame_->show();
    if (const QScreen* screen = frame_->screen(); screen != nullptr) {
        frame_->move(screen->availableGeometry().center() - frame_->rect().center());
    }
    frame_->setWindowTitle(QStringLiteral("Tarvelin"));

    // A path on the command line (as a file manager's "Open with" gives it)
    // opens that image.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && frame_->GetRightPane() != nullptr) {
        frame_->GetRightPane()->OpenImage(arguments.at(1).toStdString());
    }
    return true;
}

} // namespace tarvelin::shell
