// The application: an image named on the command line opens at start, and
// an installation offers the program to the desktop for CD images.

#include "command_helpers.h"
#include "left_view.h"
#include "main_frame.h"
#include "tarvelin_app.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;

TEST(CommandLine, TheFirstArgumentThatIsNoOptionNamesTheImage)
{
    const auto path = [](const QStringList& arguments) {
        return CTarvelinApp::ImagePathFromArguments(arguments).toStdString();
    };
    EXPECT_EQ(path({"tarvelin"}), "");
    EXPECT_EQ(path({"tarvelin", "/data/disc.iso"}), "/data/disc.iso");
    EXPECT_EQ(path({"tarvelin", "relative/disc.bin", "second.iso"}), "relative/disc.bin");
    // A file manager may hand over a URL; blanks and the like come escaped.
    EXPECT_EQ(path({"tarvelin", "file:///data/my%20disc.cue"}), "/data/my disc.cue");
    // Characters a URL would read specially stay part of a plain path.
    EXPECT_EQ(path({"tarvelin", "/data/a#b%20c.iso"}), "/data/a#b%20c.iso");
    EXPECT_EQ(path({"tarvelin", "--", "-dash.iso"}), "-dash.iso");
    EXPECT_EQ(path({"tarvelin", "--unknown"}), "");
}

// Runs the start-up of the program in the test's own application object and
// puts back what it changed afterwards.
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

TEST_F(StartUpTest, AnImageOnTheCommandLineIsOpenAndListedWhenTheWindowShows)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    fs::create_directories(dir_ / "tree/photos");
    test::WriteWholeFile(dir_ / "tree/hello.txt", std::string("hello"));
    test::WriteWholeFile(dir_ / "tree/photos/one.jpg", std::string(300, 'j'));
    const std::string image = dir_ / "named on the command line.iso";
    test::MakeIsoWithGenisoimage(dir_ / "tree", image);

    ASSERT_TRUE(app_->InitInstance({"tarvelin", QString::fromStdString(image)}));
    CMainFrame* frame = app_->MainFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->isVisible());
    // The title names the image's file.
    EXPECT_EQ(frame->windowTitle().toStdString(), "named on the command line.iso - Tarvelin");
    CTarvelinView& list = *frame->GetRightPane();
    EXPECT_TRUE(list.ImageMode());
    EXPECT_EQ(list.CurrentFolder(), &list.ImageRoot());
    EXPECT_EQ(test_commands::RowNameSet(list), (std::set<std::string>{"hello.txt", "photos"}));
    const QTreeWidgetItem* root = frame->GetLeftPane()->topLevelItem(0);
    ASSERT_EQ(root->childCount(), 1);
    EXPECT_EQ(root->child(0)->text(0).toStdString(), "photos");
}

TEST_F(StartUpTest, AFileUrlFromAFileManagerOpensTheImageItNames)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    fs::create_directories(dir_ / "tree");
    test::WriteWholeFile(dir_ / "tree/only.txt", std::string("x"));
    const std::string image = dir_ / "with blank.iso";
    test::MakeIsoWithGenisoimage(dir_ / "tree", image);

    const QString url = QUrl::fromLocalFile(QString::fromStdString(image)).toString(QUrl::FullyEncoded);
    ASSERT_TRUE(url.contains(QStringLiteral("%20")));
    ASSERT_TRUE(app_->InitInstance({"tarvelin", url}));
    EXPECT_EQ(test_commands::RowNameSet(*app_->MainFrame()->GetRightPane()), std::set<std::string>{"only.txt"});
}

TEST_F(StartUpTest, WithoutAnImageTheWindowStartsEmptyInComposeMode)
{
    ASSERT_TRUE(app_->InitInstance({"tarvelin"}));
    CTarvelinView& list = *app_->MainFrame()->GetRightPane();
    EXPECT_FALSE(list.ImageMode());
    EXPECT_EQ(list.CurrentFolder(), &list.ComposeRoot());
    EXPECT_EQ(list.Model().rowCount(), 0);
}

TEST_F(StartUpTest, AnUnreadableImageOnTheCommandLineSaysOpenErrorFileInAMessageBox)
{
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
    ASSERT_EQ(shown.size(), std::size_t{1});
    EXPECT_TRUE(shown[0].starts_with("open error file!\n" + garbage + ": ")) << shown[0];
    EXPECT_GT(shown[0].size(), ("open error file!\n" + garbage + ": ").size());
    // The window stays, holding no image.
    ASSERT_NE(app_->MainFrame(), nullptr);
    EXPECT_TRUE(app_->MainFrame()->isVisible());
    EXPECT_EQ(app_->MainFrame()->GetRightPane()->Model().rowCount(), 0);
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::istringstream parts(text);
    for (std::string item; std::getline(parts, item, ';');) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

// The build folder these tests belong to (the CLI's program lies in its cli
// folder).
std::string BuildFolder()
{
    return fs::path(TARVELIN_CLI_PATH).parent_path().parent_path().string();
}

TEST(Install, IntoAPrefixGivesTheProgramsADesktopEntryTheMimeTypesAndTheIcon)
{
    TARVELIN_REQUIRE_TOOL("cmake");
    TARVELIN_REQUIRE_TOOL("desktop-file-validate");
    TARVELIN_REQUIRE_TOOL("update-mime-database");
    test::TempDir prefix;
    const test::CommandResult install = test::RunCommand("cmake --install " + test::ShellQuote(BuildFolder()) +
                                                         " --prefix " + test::ShellQuote(prefix.Path()));
    ASSERT_EQ(install.exitCode, 0) << install.output;

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

    // The database compiled from the installed package maps our two
    // extensions to our types; the standard ones are the shared database's.
    const std::string globs = ReadText(prefix / "share/mime/globs2");
    EXPECT_NE(globs.find("application/x-tarvelin-bin-image:*.bin"), std::string::npos) << globs;
    EXPECT_NE(globs.find("application/x-tarvelin-nrg-image:*.nrg"), std::string::npos) << globs;
    const std::string ours = ReadText(mime);
    const std::string shared = ReadText("/usr/share/mime/packages/freedesktop.org.xml");
    const std::vector<std::string> types = SplitList(DesktopKey(desktop, "MimeType"));
    EXPECT_EQ(types, (std::vector<std::string>{"application/x-cd-image", "application/x-cue",
                                               "application/x-raw-disk-image", "application/x-tarvelin-bin-image",
                                               "application/x-tarvelin-nrg-image"}));
    for (const std::string& type : types) {
        const std::string declaration = "type=\"" + type + "\"";
        const bool defined = ours.find(declaration) != std::string::npos;
        const bool standard = shared.find("<mime-type " + declaration) != std::string::npos;
        EXPECT_NE(defined, standard) << type << " must be defined exactly once, by us or by the shared database";
    }
    for (const auto& [type, glob] : std::vector<std::pair<std::string, std::string>>{
             {"application/x-cd-image", "*.iso"}, {"application/x-cue", "*.cue"},
             {"application/x-raw-disk-image", "*.img"}}) {
        const std::size_t at = shared.find("<mime-type type=\"" + type + "\"");
        ASSERT_NE(at, std::string::npos) << type;
        const std::size_t end = shared.find("</mime-type>", at);
        EXPECT_NE(shared.substr(at, end - at).find("pattern=\"" + glob + "\""), std::string::npos) << type;
    }

    // The installed programs find the engine beside them.
    const std::string bin = prefix / "bin";
    const test::CommandResult cli = test::RunCommand(test::ShellQuote(bin + "/tarvelin-cli") + " help");
    EXPECT_EQ(cli.exitCode, 0) << cli.output;
    const test::CommandResult gui = test::RunCommand("QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 " +
                                                     test::ShellQuote(bin + "/tarvelin") + " --version");
    EXPECT_EQ(gui.exitCode, 0) << gui.output;
    EXPECT_NE(gui.output.find("Tarvelin"), std::string::npos) << gui.output;
}

} // namespace
} // namespace tarvelin::shell
