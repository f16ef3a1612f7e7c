// The application: an image named on the command line opens at start, the desktop's file filters, and an installation
// offers the program to the desktop for CD images.

#include "shell_fixtures.h"

#include "tarvelin_app.h"

#include "support/fixtures.h"

#include <QMessageBox>
#include <QUrl>

#include <sstream>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace fixture;

TEST(CommandLine, TheFirstArgumentThatIsNoOptionNamesTheImageAndFiltersBecomeQtLines)
{
    const std::pair<QStringList, std::string> cases[]{
        {{"tarvelin"}, ""},
        {{"tarvelin", "/data/disc.iso"}, "/data/disc.iso"},
        {{"tarvelin", "relative/disc.bin", "second.iso"}, "relative/disc.bin"},
        // A file manager may hand over a URL; blanks and the like come escaped.
        {{"tarvelin", "file:///data/my%20disc.cue"}, "/data/my disc.cue"},
        // Characters a URL would read specially stay part of a plain path.
        {{"tarvelin", "/data/a#b%20c.iso"}, "/data/a#b%20c.iso"},
        {{"tarvelin", "--", "-dash.iso"}, "-dash.iso"},
        {{"tarvelin", "--unknown"}, ""},
    };
    for (const auto& [arguments, path] : cases) {
        EXPECT_EQ(CTarvelinApp::ImagePathFromArguments(arguments).toStdString(), path) << path;
    }
    // The desktop's file filters become Qt's lines, with patterns in either case; suffixes lose their dot.
    const std::pair<const char*, const char*> filters[]{
        {"All Support(*.ISO;*.BIN;*.CIF;*.IMG;*.NRG)|*.ISO;*.BIN;*.CIF;*.IMG;*.NRG||",
         "All Support(*.ISO;*.BIN;*.CIF;*.IMG;*.NRG) (*.ISO *.iso *.BIN *.bin *.CIF *.cif *.IMG *.img *.NRG *.nrg)"},
        // The blank after the first pattern list is the program's own; it does not end up in a pattern.
        {"(*.image)|*.image |(*.*)|*.*||", "(*.image) (*.image *.IMAGE);;(*.*) (*.*)"},
        {"(*.*)|*.*|All files (*)|*||", "(*.*) (*.*);;All files (*) (*)"},
        {"", ""},
    };
    for (const auto& [filter, qt] : filters) {
        EXPECT_EQ(QtFileFilter(filter).toStdString(), qt);
    }
    EXPECT_EQ(QtDefaultSuffix(".ISO").toStdString(), "ISO");
    EXPECT_EQ(QtDefaultSuffix("image").toStdString(), "image");
}

// Runs the start-up of the program in the test's own application object and puts back what it changed afterwards.
class StartUpTest : public testing::Test {
protected:
    void SetUp() override
    {
        app_ = qobject_cast<CTarvelinApp*>(QCoreApplication::instance());
        ASSERT_NE(app_, nullptr);
    }
    void TearDown() override
    {
        if (app_ != nullptr) {
            app_->ExitInstance();
        }
        platform::SetPrompt(previousPrompt_);
    }
    CTarvelinApp* app_ = nullptr;
    platform::IPrompt* previousPrompt_ = platform::GetPrompt();
    test::TempDir dir_;
};

TEST_F(StartUpTest, AnImageOnTheCommandLineAsAPathOrAFileUrlIsOpenAndListedWhenTheWindowShows)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    WriteTree(dir_ / "tree", {{"hello.txt", "hello"}, {"photos/one.jpg", std::string(300, 'j')}});
    const std::string image = dir_ / "named on the command line.iso";
    test::MakeIsoWithGenisoimage(dir_ / "tree", image);
    const QString url = QUrl::fromLocalFile(QString::fromStdString(image)).toString(QUrl::FullyEncoded);
    ASSERT_TRUE(url.contains(QStringLiteral("%20")));
    for (const QString& argument : {QString::fromStdString(image), url}) {
        SCOPED_TRACE(argument.toStdString());
        ASSERT_TRUE(app_->InitInstance({"tarvelin", argument}));
        CMainFrame* frame = app_->MainFrame();
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(frame->isVisible());
        // The title names the image's file.
        EXPECT_EQ(frame->windowTitle().toStdString(), "named on the command line.iso - Tarvelin");
        CTarvelinView& list = *frame->GetRightPane();
        EXPECT_TRUE(list.ImageMode());
        EXPECT_EQ(list.CurrentFolder(), &list.ImageRoot());
        EXPECT_EQ(RowNameSet(list), (std::set<std::string>{"hello.txt", "photos"}));
        const QTreeWidgetItem* root = frame->GetLeftPane()->topLevelItem(0);
        ASSERT_EQ(root->childCount(), 1);
        EXPECT_EQ(root->child(0)->text(0).toStdString(), "photos");
        app_->ExitInstance();
    }
}

TEST_F(StartUpTest, WithoutAnImageTheWindowComposesAndAnUnreadableOneSaysOpenErrorFile)
{
    // Without an image the window starts empty, composing.
    ASSERT_TRUE(app_->InitInstance({"tarvelin"}));
    CTarvelinView& empty = *app_->MainFrame()->GetRightPane();
    EXPECT_FALSE(empty.ImageMode());
    EXPECT_EQ(empty.CurrentFolder(), &empty.ComposeRoot());
    EXPECT_EQ(empty.Model().rowCount(), 0);
    app_->ExitInstance();
    const std::string garbage = dir_ / "not an image.iso";
    test::WriteWholeFile(garbage, test::RandomBytes(50000, 3));
    // The start-up shows the real message box; answer it as a user would.
    std::vector<std::string> shown;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&shown] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box != nullptr) {
            shown.push_back(box->text().toStdString());
            box->accept();
        }
    });
    answer.start();
    ASSERT_TRUE(app_->InitInstance({"tarvelin", QString::fromStdString(garbage)}));
    answer.stop();
    // The message, then the file and the engine's reason on a line below.
    const std::string start = "open error file!\n" + garbage + ": ";
    ASSERT_EQ(shown.size(), std::size_t{1});
    EXPECT_TRUE(shown[0].starts_with(start)) << shown[0];
    EXPECT_GT(shown[0].size(), start.size());
    // The window stays, holding no image.
    ASSERT_NE(app_->MainFrame(), nullptr);
    EXPECT_TRUE(app_->MainFrame()->isVisible());
    EXPECT_EQ(app_->MainFrame()->GetRightPane()->Model().rowCount(), 0);
}

std::string ReadText(const std::string& path)
{
    return Text(test::ReadWholeFile(path));
}

std::string DesktopKey(const std::string& desktopFile, const std::string& key)
{
    std::istringstream lines(ReadText(desktopFile));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(key + "=")) {
            return line.substr(key.size() + 1);
        }
    }
    return {};
}

TEST(Install, IntoAPrefixGivesTheProgramsADesktopEntryTheMimeTypesAndTheIcon)
{
    TARVELIN_REQUIRE_TOOL("cmake");
    TARVELIN_REQUIRE_TOOL("desktop-file-validate");
    TARVELIN_REQUIRE_TOOL("update-mime-database");
    test::TempDir prefix;
    // The build folder these tests belong to (the CLI's program lies in its cli folder).
    const std::string build = fs::path(TARVELIN_CLI_PATH).parent_path().parent_path().string();
    const test::CommandResult install =
        test::RunCommand("cmake --install " + test::ShellQuote(build) + " --prefix " + test::ShellQuote(prefix.Path()));
    ASSERT_EQ(install.exitCode, 0) << install.output;
    // Both programs find their private library, installed and in the build folder, and neither looks for libraries in
    // the working folder (an empty run path entry would).
    const std::string installedCli = prefix / "bin/tarvelin-cli";
    EXPECT_EQ(test::RunCommand(test::ShellQuote(installedCli) + " --help").exitCode, 0);
    for (const std::string& program : {installedCli, std::string(TARVELIN_CLI_PATH), prefix / "bin/tarvelin"}) {
        const std::string dynamic = test::RunCommand("readelf -d " + test::ShellQuote(program)).output;
        const std::size_t at = dynamic.find("runpath: [");
        ASSERT_NE(at, std::string::npos) << program;
        const std::string runPath = dynamic.substr(at + 10, dynamic.find(']', at) - at - 10);
        EXPECT_TRUE(runPath.find("::") == std::string::npos && !runPath.starts_with(':') && !runPath.ends_with(':'))
            << program << ": " << runPath;
    }
    const std::string desktop = prefix / "share/applications/tarvelin.desktop";
    const std::string mime = prefix / "share/mime/packages/tarvelin.xml";
    for (const std::string& file :
         {desktop, mime, prefix / "share/icons/hicolor/scalable/apps/tarvelin.svg", prefix / "bin/tarvelin",
          prefix / "bin/tarvelin-cli"}) {
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
    }
    const test::CommandResult validate = test::RunCommand("desktop-file-validate " + test::ShellQuote(desktop));
    EXPECT_EQ(validate.exitCode, 0) << validate.output;
    EXPECT_EQ(validate.output, "");
    EXPECT_EQ(DesktopKey(desktop, "Exec"), "tarvelin %f");
    EXPECT_EQ(DesktopKey(desktop, "Icon"), "tarvelin");
    // The database compiled from the installed package maps our two extensions to our types; the standard ones are the
    // shared database's.
    const std::string globs = ReadText(prefix / "share/mime/globs2");
    EXPECT_NE(globs.find("application/x-tarvelin-bin-image:*.bin"), std::string::npos) << globs;
    EXPECT_NE(globs.find("application/x-tarvelin-nrg-image:*.nrg"), std::string::npos) << globs;
    const std::string ours = ReadText(mime);
    const std::string shared = ReadText("/usr/share/mime/packages/freedesktop.org.xml");
    EXPECT_EQ(DesktopKey(desktop, "MimeType"), "application/x-cd-image;application/x-cue;application/x-raw-disk-image;"
                                               "application/x-tarvelin-bin-image;application/x-tarvelin-nrg-image;");
    for (const auto& [type, glob] : std::vector<std::pair<std::string, std::string>>{
             {"application/x-cd-image", "*.iso"}, {"application/x-cue", "*.cue"},
             {"application/x-raw-disk-image", "*.img"}, {"application/x-tarvelin-bin-image", ""},
             {"application/x-tarvelin-nrg-image", ""}}) {
        const std::string declaration = "type=\"" + type + "\"";
        const bool standard = shared.find("<mime-type " + declaration) != std::string::npos;
        EXPECT_NE(ours.find(declaration) != std::string::npos, standard)
            << type << " must be defined exactly once, by us or by the shared database";
        if (!glob.empty()) {
            const std::size_t at = shared.find("<mime-type " + declaration);
            ASSERT_TRUE(standard) << type;
            const std::size_t end = shared.find("</mime-type>", at);
            EXPECT_NE(shared.substr(at, end - at).find("pattern=\"" + glob + "\""), std::string::npos) << type;
        }
    }
    // The installed program finds the engine beside it (the command-line one's --help above did too).
    const test::CommandResult gui = test::RunCommand("QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 " +
                                                     test::ShellQuote(prefix / "bin/tarvelin") + " --version");
    EXPECT_EQ(gui.exitCode, 0) << gui.output;
    EXPECT_NE(gui.output.find("Tarvelin"), std::string::npos) << gui.output;
}

} // namespace
} // namespace tarvelin::shell
