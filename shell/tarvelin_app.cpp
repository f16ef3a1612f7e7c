#include "tarvelin_app.h"

#include "look/icons.h"
#include "look/skin.h"
#include "main_frame.h"
#include "message_prompt.h"
#include "tarvelin_view.h"

#include <QCommandLineParser>
#include <QScreen>
#include <QUrl>

namespace tarvelin::shell {

namespace {

void DescribeArguments(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral("Opens, edits, builds and converts CD images."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("image"),
                                 QStringLiteral("An image to open at start (ISO, BIN, CUE, IMG, NRG, ...)."),
                                 QStringLiteral("[image]"));
}

} // namespace

CTarvelinApp::CTarvelinApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationVersion(QStringLiteral(TARVELIN_VERSION));
    // The desktop entry installed beside the program; window managers find
    // the icon and the name through it.
    setDesktopFileName(QStringLiteral("tarvelin"));
    setWindowIcon(ProgramIcon());
}

CTarvelinApp::~CTarvelinApp()
{
    ExitInstance();
}

void CTarvelinApp::SetUpSettings()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(kSettingsOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(kSettingsApplication));
}

QString CTarvelinApp::ImagePathFromArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    DescribeArguments(parser);
    // Options this program does not know are not images either.
    parser.parse(arguments);
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        return {};
    }
    const QString& argument = positional.front();
    const QUrl url(argument);
    if (url.isLocalFile()) {
        return url.toLocalFile();
    }
    return argument;
}

bool CTarvelinApp::InitInstance()
{
    return InitInstance(QCoreApplication::arguments());
}

bool CTarvelinApp::InitInstance(const QStringList& arguments)
{
    SetUpSettings();
    {
        // Answers --help and --version, and refuses unknown options, before
        // any window shows.
        QCommandLineParser parser;
        DescribeArguments(parser);
        parser.process(arguments);
    }
    if (prompt_ == nullptr) {
        prompt_ = std::make_unique<MessageBoxPrompt>();
    }
    platform::SetPrompt(prompt_.get());

    frame_ = std::make_unique<CMainFrame>();
    frame_->show();
    if (const QScreen* screen = frame_->screen(); screen != nullptr) {
        frame_->move(screen->availableGeometry().center() - frame_->rect().center());
    }
    frame_->setWindowTitle(QStringLiteral("Tarvelin"));

    // A path on the command line (as a file manager's "Open with" gives it)
    // opens that image; one that cannot be opened says "open error file!"
    // and the window stays, empty.
    const QString image = ImagePathFromArguments(arguments);
    if (!image.isEmpty() && frame_->GetRightPane() != nullptr) {
        frame_->GetRightPane()->OpenImage(image.toStdString());
    }
    // The flat controls, for the windows there are and every one to come.
    SkinThread(true);
    return true;
}

void CTarvelinApp::ExitInstance()
{
    SkinThread(false);
    frame_.reset();
    if (prompt_ != nullptr && platform::GetPrompt() == prompt_.get()) {
        platform::SetPrompt(nullptr);
    }
    prompt_.reset();
}

} // namespace tarvelin::shell
