// The modal dialogs: extract, About, the three conversions over real images
// and the CD-ROM capture from the simulated drive. Questions and messages
// are answered and recorded through the prompt; file and folder choosers
// through the scripted desktop services.

#include "about_dlg.h"
#include "cd_rip_dlg.h"
#include "commands.h"
#include "convert_dlgs.h"
#include "dialog_fixtures.h"
#include "extract_dlg.h"
#include "main_frame.h"
#include "text_progress_ctrl.h"

#include "convert/convert_fixtures.h"
#include "convert/iso2bin.h"
#include "core/raw_sector.h"
#include "platform/directory.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <string>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;

TEST(ExtractDlg, OpensWithTheDefaultEveryTimeAndBrowsesForAFolder)
{
    test::ScriptedShellServices desktop;
    test::InstalledPrompt prompts;
    const QString fallback = QDir::toNativeSeparators(DefaultExtractFolder());
    ASSERT_FALSE(fallback.isEmpty());
    EXPECT_FALSE(fallback.startsWith(TarvelinTempFolder())); // what is extracted stays after exit
    {
        CExtractDlg dialog;
        EXPECT_EQ(dialog.windowTitle(), "Extract Files...");
        EXPECT_EQ(dialog.Edit()->text(), fallback);
        EXPECT_EQ(ExtractDestination(), fallback);
        EXPECT_EQ(dialog.ExtractButton()->text(), "Extract");
        EXPECT_TRUE(dialog.ExtractButton()->isDefault());

        // Cancelled browsing changes nothing.
        desktop.Choose("");
        dialog.BrowseButton()->click();
        EXPECT_EQ(dialog.Edit()->text(), fallback);

        desktop.Choose("/srv/out");
        dialog.BrowseButton()->click();
        ASSERT_EQ(desktop.calls.size(), 2U);
        EXPECT_TRUE(desktop.calls[1].folder);
        EXPECT_EQ(desktop.calls[1].title, "Select Add Folder.");
        EXPECT_EQ(dialog.Edit()->text(), "/srv/out");
        dialog.ExtractButton()->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(ExtractDestination(), "/srv/out");
    }
    {
        // Whatever was chosen before, a new dialog starts from the default;
        // a folder typed into the box is the one used.
        CExtractDlg dialog;
        EXPECT_EQ(dialog.Edit()->text(), fallback);
        dialog.Edit()->setText("/srv/typed");
        dialog.ExtractButton()->click();
        EXPECT_EQ(ExtractDestination(), "/srv/typed");
    }
    {
        // An emptied box is refused with a word, and the dialog stays.
        CExtractDlg dialog;
        dialog.show();
        dialog.Edit()->clear();
        dialog.ExtractButton()->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(prompts.prompt.Texts(), std::vector<std::string>{"Please choose the folder to extract to."});
    }
}

// An environment variable set (or, with a null value, unset) for the
// length of a test.
class ScopedSetting {
public:
    ScopedSetting(const char* name, const QByteArray& value)
        : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedSetting() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }
    ScopedSetting(const ScopedSetting&) = delete;
    ScopedSetting& operator=(const ScopedSetting&) = delete;

private:
    const char* name_;
    QByteArray old_;
    bool had_;
};

TEST(TemporaryFolder, IsTheUsersOwnAndAnyOtherAtItsPathIsRefused)
{
    test::TempDir dir;
    platform::FileInfo mine;
    ASSERT_TRUE(platform::GetLinkInfo(dir.Path(), mine));

    // Without a runtime folder: the temporary folder, the user's id in the name.
    {
        const ScopedSetting runtime("XDG_RUNTIME_DIR", QByteArray());
        const ScopedSetting temporary("TMPDIR", QByteArray::fromStdString(dir.Path()));
        const std::string folder = dir / ("Tarvelin-" + std::to_string(mine.uid));
        EXPECT_EQ(TarvelinTempFolder().toStdString(),
                  folder + "/run-" + std::to_string(QCoreApplication::applicationPid()));
        platform::FileInfo facts;
        ASSERT_TRUE(platform::GetLinkInfo(folder, facts));
        EXPECT_EQ(facts.mode & 07777, 0700U);
        EXPECT_EQ(facts.uid, mine.uid);
    }

    const ScopedSetting runtime("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir.Path()));
    const std::string path = dir / "Tarvelin";
    fs::create_directory(dir / "elsewhere");
    fs::permissions(dir / "elsewhere", fs::perms::owner_all, fs::perm_options::replace);
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* reason;
    };
    const Case cases[] = {
        {"a link to a private folder", [&] { fs::create_directory_symlink(dir / "elsewhere", path); }, "it is a link"},
        {"a file", [&] { test::WriteWholeFile(path, std::string("x")); }, "it is not a folder"},
        {"a folder others may read",
         [&] {
             fs::create_directory(path);
             fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec,
                             fs::perm_options::replace);
         },
         "its mode is not 0700"},
        {"another user's folder",
         [&] {
             fs::create_directory(path);
             fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
             // Only the superuser can give a folder away; others meet the
             // system's own folder, which is not theirs.
             if (mine.uid == 0) {
                 ASSERT_EQ(test::RunCommand("chown 65534 " + test::ShellQuote(path)).exitCode, 0);
             } else {
                 fs::remove(path);
                 fs::create_directory_symlink("/", path);
             }
         },
         mine.uid == 0 ? "it belongs to another user" : "it is a link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        QString error;
        EXPECT_TRUE(TarvelinTempFolder(&error).isEmpty());
        EXPECT_NE(error.toStdString().find(c.reason), std::string::npos) << error.toStdString();
        EXPECT_NE(error.toStdString().find(path), std::string::npos) << error.toStdString();
        // Nothing was made inside it.
        EXPECT_FALSE(fs::exists(dir / "elsewhere/run-" + std::to_string(QCoreApplication::applicationPid())));
        fs::remove(path);
    }
    // Once the path is free, the folder is made there, private.
    EXPECT_FALSE(TarvelinTempFolder().isEmpty());
    platform::FileInfo facts;
    ASSERT_TRUE(platform::GetLinkInfo(path, facts));
    EXPECT_TRUE(facts.isDirectory);
    EXPECT_EQ(facts.mode & 07777, 0700U);

    // The folder of a run that ended without clearing it (killed) goes at
    // the next start; that of a process still running stays.
    const test::CommandResult ended = test::RunCommand("sh -c 'echo $$'");
    const std::string endedRun = path + "/run-" + std::to_string(std::stoull(ended.output));
    const std::string runningRun = path + "/run-1";
    for (const std::string& run : {endedRun, runningRun}) {
        fs::create_directories(run + "/viewed");
        test::WriteWholeFile(run + "/viewed/file.txt", std::string("left behind"));
    }
    EXPECT_FALSE(TarvelinTempFolder().isEmpty());
    EXPECT_FALSE(fs::exists(endedRun));
    EXPECT_TRUE(fs::exists(runningRun + "/viewed/file.txt"));
}

TEST(AboutDlg, ShowsTheVersionInBlueOpensItsLinkAndClosesOnAClick)
{
    test::ScriptedShellServices desktop;
    CAboutDlg dialog;
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
    std::vector<std::string> texts;
    for (const QLabel* label : dialog.findChildren<QLabel*>(QStringLiteral("aboutText"))) {
        texts.push_back(label->text().toStdString());
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    }
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Tarvelin Version 4.0");

    // Showing it starts the reveal of the screen under it, which ends while
    // events are served.
    dialog.show();
    ASSERT_FALSE(dialog.RevealCanvas().isNull());
    EXPECT_EQ(dialog.RevealCanvas().size(), dialog.size() * dialog.devicePixelRatio());
    ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.Revealing(); }));

    // A click on the link opens its address and leaves the dialog up.
    CHyperLink* link = dialog.Link();
    EXPECT_EQ(link->palette().color(QPalette::WindowText), CHyperLink::LinkColour());
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(desktop.opened, QStringList{AboutLinkAddress()});
    EXPECT_TRUE(link->Visited());
    EXPECT_TRUE(dialog.isVisible());

    // A click anywhere else closes it as OK.
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(AboutDlg, TheFramesAboutCommandShowsItModally)
{
    CMainFrame frame;
    QAction* about = frame.findChild<QAction*>(QStringLiteral("command%1").arg(ID_APP_ABOUT));
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isEnabled());
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* dialog = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (dialog != nullptr) {
            shown = dialog->objectName();
            QTest::mouseClick(dialog, Qt::LeftButton, {}, QPoint(2, 2));
        }
    });
    about->trigger();
    EXPECT_EQ(shown, "aboutDialog");
}

// Images for the conversions: an ISO made by genisoimage and its raw BIN
// and CUE made by the command-line converter.
class ConvertDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        fs::create_directories(dir / "src");
        test::WriteWholeFile(dir / "src/data.bin", test::RandomBytes(150000, 11));
        test::WriteWholeFile(dir / "src/notes.txt", std::string("notes\n"));
        iso = dir / "disc.iso";
        test::RunGenisoimage(dir / "src", iso, "-J");
        bin = dir / "disc.bin";
        const test::CommandResult made = test::RunCommand(std::string(TARVELIN_CLI_PATH) + " iso2bin " +
                                                          test::ShellQuote(iso) + " " + test::ShellQuote(bin));
        ASSERT_EQ(made.exitCode, 0) << made.output;
    }

    // Presses the start button and serves events until the conversion ended.
    static void Convert(CConvertDlg& dialog)
    {
        dialog.StartButton()->click();
        ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.Running(); }));
    }

    static QString Q(const std::string& path) { return QString::fromStdString(path); }

    test::TempDir dir;
    test::InstalledPrompt prompts;
    test::ScriptedShellServices desktop;
    std::string iso;
    std::string bin;
};

TEST_F(ConvertDlgTest, BinToIsoGivesBackTheIsoTheBinWasMadeOf)
{
    CBinToIsoDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "BIN to ISO Convert...");
    EXPECT_EQ(dialog.StartButton()->text(), "Convert");
    EXPECT_EQ(dialog.ExitButton()->text(), "Exit");
    EXPECT_EQ(dialog.Bar()->GetPos(), 0);
    EXPECT_EQ(dialog.Bar()->Upper(), 100);
    const std::vector<std::string> labels = [&] {
        std::vector<std::string> texts;
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            texts.push_back(label->text().toStdString());
        }
        return texts;
    }();
    EXPECT_EQ(labels, (std::vector<std::string>{"Please choose Source file...", "Please choose Output file..."}));

    // The source through "...", the output through "..." too.
    const std::string output = dir / "back.iso";
    desktop.Choose(Q(bin));
    dialog.SourceBrowse()->click();
    desktop.Choose(Q(output));
    dialog.OutputBrowse()->click();
    ASSERT_EQ(desktop.calls.size(), 2U);
    EXPECT_FALSE(desktop.calls[0].spec.save);
    EXPECT_EQ(desktop.calls[0].filter, "Bin Files (*.BIN)|*.BIN||");
    EXPECT_EQ(desktop.calls[0].spec.defaultSuffix, "");
    EXPECT_TRUE(desktop.calls[1].spec.save);
    EXPECT_EQ(desktop.calls[1].filter, "ISO Files (*.ISO)|*.ISO||");
    EXPECT_EQ(desktop.calls[1].spec.defaultSuffix, ".ISO");
    EXPECT_EQ(dialog.SourceEdit()->text(), Q(bin));

    Convert(dialog);
    EXPECT_EQ(prompts.prompt.Texts(), std::vector<std::string>{"Congratulations,Convert successful!"});
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
    EXPECT_EQ(dialog.Bar()->GetPos(), 100);
}

TEST_F(ConvertDlgTest, ATypedOutputThatExistsIsReplacedOnlyAfterAYesAndEachRunStartsAnEmptyBar)
{
    CBinToIsoDlg dialog;
    const std::string output = dir / "kept.iso";
    test::WriteWholeFile(output, std::string("keep me"));
    test::WriteWholeFile(dir / "kept.copy", std::string("keep me"));
    dialog.SourceEdit()->setText(Q(bin));
    dialog.OutputEdit()->setText(Q(output));
    const std::string question = output + " already exists.\nDo you want to replace it?";
    prompts.prompt.Answer(platform::PromptAnswer::No);
    dialog.StartButton()->click();
    ASSERT_EQ(prompts.prompt.Texts(), std::vector<std::string>{question});
    EXPECT_EQ(prompts.prompt.Asked()[0].buttons, platform::PromptButtons::YesNo);
    EXPECT_FALSE(dialog.Running());
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(dir / "kept.copy"));

    prompts.prompt.Answer(platform::PromptAnswer::Yes);
    Convert(dialog);
    EXPECT_EQ(prompts.prompt.Texts(),
              (std::vector<std::string>{question, question, "Congratulations,Convert successful!"}));
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
    EXPECT_EQ(dialog.Bar()->GetPos(), 100);

    // A run that fails at once does not show the last run's full bar.
    dialog.SourceEdit()->setText(Q(dir / "missing.bin"));
    prompts.prompt.Answer(platform::PromptAnswer::Yes);
    dialog.StartButton()->click();
    EXPECT_EQ(prompts.prompt.Texts().back().rfind("Open source File Failed!\n", 0), 0U);
    EXPECT_EQ(dialog.Bar()->GetPos(), 0);
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
}

TEST_F(ConvertDlgTest, AnyToIsoTakesTypedPathsAndACueSheet)
{
    CAnyToIsoDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "Any Formats to ISO...");
    EXPECT_EQ(dialog.StartButton()->text(), "CONVERT");
    desktop.Choose("");
    dialog.SourceBrowse()->click();
    ASSERT_EQ(desktop.calls.size(), 1U);
    EXPECT_EQ(desktop.calls[0].filter, "Any CD-ROM Image Files (*.*)|*.*||");

    // Typed, not chosen: the paths in the boxes are the ones used.
    const std::string output = dir / "typed.iso";
    dialog.SourceEdit()->setText(Q(CueSheetPathFor(bin)));
    dialog.OutputEdit()->setText(Q(output));
    Convert(dialog);
    EXPECT_EQ(prompts.prompt.Texts(), std::vector<std::string>{"Congratulations,Convert successful!"});
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
}

TEST_F(ConvertDlgTest, IsoToBinOnItsWorkerMatchesTheCommandLine)
{
    CIsoToBinDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "ISO to BIN");
    desktop.Choose(Q(iso));
    dialog.SourceBrowse()->click();
    desktop.Choose("");
    dialog.OutputBrowse()->click();
    ASSERT_EQ(desktop.calls.size(), 2U);
    EXPECT_EQ(desktop.calls[0].filter, "Bin Files (*.ISO)|*.ISO||");
    EXPECT_EQ(desktop.calls[1].filter, "ISO Files (*.BIN)|*.BIN||");
    EXPECT_EQ(desktop.calls[1].spec.defaultSuffix, ".BIN");
    const std::string output = dir / "out.bin";
    dialog.OutputEdit()->setText(Q(output));

    dialog.show();
    dialog.StartButton()->click();
    // Running: neither Exit nor another start.
    EXPECT_TRUE(dialog.Running());
    EXPECT_FALSE(dialog.ExitButton()->isEnabled());
    EXPECT_FALSE(dialog.StartButton()->isEnabled());
    dialog.reject();
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.Running(); }));
    EXPECT_EQ(prompts.prompt.Texts(), std::vector<std::string>{"Congratulations,Convert successful!"});
    EXPECT_EQ(dialog.Bar()->GetPos(), 100);
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(bin));
    EXPECT_EQ(test::ReadWholeFile(CueSheetPathFor(output)).size(), 61U + std::string("out.bin").size());
    dialog.reject();
    EXPECT_FALSE(dialog.isVisible());
}

// Each failure of opening says so with its own text and caption, with the
// OK and Cancel buttons, and why.
TEST_F(ConvertDlgTest, OpenAndWriteFailuresHaveTheirMessages)
{
    struct Case {
        std::function<std::unique_ptr<CConvertDlg>()> make;
        std::string openText, openCaption, writeText, writeCaption;
    };
    const std::vector<Case> cases{
        {[] { return std::make_unique<CBinToIsoDlg>(); }, "Open source File Failed!", "Open Fail", "Write file erro!",
         "Write Fail"},
        {[] { return std::make_unique<CAnyToIsoDlg>(); }, "Open source File Failed!", "Open Fail", "Write file erro!",
         "Write Fail"},
        {[] { return std::make_unique<CIsoToBinDlg>(); }, "Open Source File Failed", "Open Fail!!",
         "Write File Failed", "Write file erro"},
    };
    for (const Case& c : cases) {
        const std::unique_ptr<CConvertDlg> dialog = c.make();
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        const std::size_t before = prompts.prompt.Asked().size();
        // Nothing chosen: no source.
        dialog->StartButton()->click();
        // A source, but an output in a folder that does not exist.
        dialog->SourceEdit()->setText(Q(dialog->objectName() == "isoToBinDialog" ? iso : bin));
        dialog->OutputEdit()->setText(Q(dir / "missing/out.img"));
        dialog->StartButton()->click();
        const auto asked = prompts.prompt.Asked();
        ASSERT_EQ(asked.size(), before + 2);
        // The message, then the converter's reason on a line of its own.
        EXPECT_EQ(asked[before].text.rfind(c.openText + "\n", 0), 0U) << asked[before].text;
        EXPECT_GT(asked[before].text.size(), c.openText.size() + 1);
        EXPECT_EQ(asked[before].caption, c.openCaption);
        EXPECT_EQ(asked[before].buttons, platform::PromptButtons::OkCancel);
        EXPECT_EQ(asked[before + 1].text.rfind(c.writeText + "\n", 0), 0U) << asked[before + 1].text;
        EXPECT_NE(asked[before + 1].text.find("missing"), std::string::npos) << asked[before + 1].text;
        EXPECT_EQ(asked[before + 1].caption, c.writeCaption);
        EXPECT_EQ(asked[before + 1].buttons, platform::PromptButtons::OkCancel);
        EXPECT_FALSE(dialog->Running());
    }
}

TEST_F(ConvertDlgTest, AConversionThatFailsSaysWhyWithAFullBar)
{
    const std::vector<std::pair<std::function<std::unique_ptr<CConvertDlg>()>, std::string>> cases{
        {[] { return std::make_unique<CBinToIsoDlg>(); }, bin},
        {[] { return std::make_unique<CIsoToBinDlg>(); }, iso},
    };
    for (const auto& [make, source] : cases) {
        const std::unique_ptr<CConvertDlg> dialog = make();
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        const std::size_t before = prompts.prompt.Asked().size();
        const std::string output = dir / "full.img";
        dialog->SourceEdit()->setText(Q(source));
        dialog->OutputEdit()->setText(Q(output));
        {
            const test::FileSizeLimit fullDisk(20000);
            Convert(*dialog);
        }
        const auto asked = prompts.prompt.Asked();
        ASSERT_EQ(asked.size(), before + 1);
        EXPECT_EQ(asked[before].text.rfind("Convert failed!\n", 0), 0U) << asked[before].text;
        EXPECT_GT(asked[before].text.size(), std::string("Convert failed!\n").size());
        EXPECT_EQ(asked[before].caption, "Convert Fail");
        EXPECT_EQ(dialog->Bar()->GetPos(), 100);
        // No half-written output is left behind.
        EXPECT_FALSE(fs::exists(output));
    }
}

// The capture dialog over the simulated drive of the capture tests.
class CdRipDlgTest : public test::CaptureTest {
protected:
    void InsertDisc(std::uint32_t sectors)
    {
        user_ = test::RandomBytes(std::size_t{sectors} * 2048, sectors);
        std::vector<std::uint8_t> raw(std::size_t{sectors} * 2352);
        raw::EncodeMode1Sectors(user_.data(), sectors, 0, raw.data());
        drive_.SetDisc(std::move(raw));
    }

    test::TempDir dir;
    test::ScriptedShellServices desktop;
    std::vector<std::uint8_t> user_;
};

TEST_F(CdRipDlgTest, ListsTheDrivesAndMakesNothingBeforeOneIsChosen)
{
    InsertDisc(100);
    CCdRipDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "MAKE ISO From CDROM");
    EXPECT_EQ(dialog.MakeButton()->text(), "Make");
    ASSERT_EQ(dialog.DriveList()->count(), 1);
    EXPECT_EQ(dialog.DriveList()->itemText(0), "D:  (simulated-cdrom)");
    EXPECT_EQ(dialog.DriveList()->currentIndex(), -1);
    EXPECT_TRUE(dialog.DriveList()->placeholderText().isEmpty());
    EXPECT_EQ(dialog.OutputBox()->currentText(), QDir::toNativeSeparators(QDir::homePath() + "/Tarvelin.iso"));
    EXPECT_EQ(dialog.Bar()->GetPos(), 0);

    const std::string target = dir / "never.iso";
    dialog.OutputBox()->setEditText(QString::fromStdString(target));
    dialog.MakeButton()->click();
    EXPECT_FALSE(dialog.Running());
    EXPECT_TRUE(dialog.HoldsComponent());
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(prompt_.Asked().empty());
    // No READ CD was sent to the drive.
    const auto commands = drive_.Commands();
    EXPECT_TRUE(std::none_of(commands.begin(), commands.end(),
                             [](const std::vector<std::uint8_t>& cdb) { return !cdb.empty() && cdb[0] == 0xBE; }));
}

TEST_F(CdRipDlgTest, MakesTheIsoOfTheDiscAndReleasesTheComponentAfterwards)
{
    InsertDisc(300);
    CCdRipDlg dialog;
    const std::string target = dir / "disc.iso";
    desktop.Choose(QString::fromStdString(target));
    dialog.BrowseButton()->click();
    ASSERT_EQ(desktop.calls.size(), 1U);
    EXPECT_TRUE(desktop.calls[0].spec.save);
    EXPECT_EQ(desktop.calls[0].filter, "ISO Files (*.ISO)|*.ISO||");
    EXPECT_EQ(desktop.calls[0].spec.defaultSuffix, ".ISO");
    dialog.DriveList()->setCurrentIndex(0);
    dialog.show();
    dialog.MakeButton()->click();
    EXPECT_TRUE(dialog.Running());
    dialog.reject();
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.HoldsComponent(); }));
    EXPECT_EQ(dialog.Bar()->GetPos(), 100);
    EXPECT_FALSE(dialog.Running());
    EXPECT_TRUE(prompt_.Asked().empty());
    EXPECT_EQ(test::ReadWholeFile(target), user_);
    // Without a component Make does nothing more.
    EXPECT_FALSE(dialog.MakeButton()->isEnabled());
    dialog.reject();
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(CdRipDlgTest, AnAbortedCaptureSaysSorryAndReleasesTheComponent)
{
    InsertDisc(400);
    drive_.FailSector(10, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(platform::PromptAnswer::Abort);
    CCdRipDlg dialog;
    const std::string target = dir / "bad.iso";
    dialog.OutputBox()->setEditText(QString::fromStdString(target));
    dialog.DriveList()->setCurrentIndex(0);
    dialog.MakeButton()->click();
    ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.HoldsComponent(); }));
    const auto asked = prompt_.Asked();
    ASSERT_EQ(asked.size(), 2U);
    EXPECT_EQ(asked[0].text, "Read error, maybe the CDROM has bad sector. ");
    EXPECT_EQ(asked[1].text, "Sorry,Maybe have some errors");
    EXPECT_EQ(asked[1].caption, "Error");
    EXPECT_FALSE(dialog.Running());
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(CdRipDlgTest, AFinishedCaptureSaysWhichSectorsAreZero)
{
    InsertDisc(400);
    drive_.FailSector(30, capture::SimulatedCdRom::kAlways);
    drive_.FailSector(31, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(platform::PromptAnswer::Ignore);
    prompt_.Answer(platform::PromptAnswer::Yes); // ignore all
    CCdRipDlg dialog;
    const std::string target = dir / "holes.iso";
    dialog.OutputBox()->setEditText(QString::fromStdString(target));
    dialog.DriveList()->setCurrentIndex(0);
    dialog.MakeButton()->click();
    ASSERT_TRUE(test::ServeEventsUntil([&] { return !dialog.HoldsComponent(); }));
    const auto asked = prompt_.Asked();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back().text, "2 sectors could not be read and are zero in the image: 30-31");
    EXPECT_EQ(asked.back().caption, "MAKE ISO From CDROM");
    const std::vector<std::uint8_t> image = test::ReadWholeFile(target);
    ASSERT_EQ(image.size(), user_.size());
    EXPECT_TRUE(std::all_of(image.begin() + 30 * 2048, image.begin() + 32 * 2048, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 30 * 2048, user_.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 32 * 2048, image.end(), user_.begin() + 32 * 2048));
}

TEST_F(CdRipDlgTest, WithoutADriveTheListSaysSoAndMakeIsDimmed)
{
    drive_.SetPresent(false);
    CCdRipDlg dialog;
    EXPECT_EQ(dialog.DriveList()->count(), 0);
    EXPECT_EQ(dialog.DriveList()->placeholderText(), "no CD-ROM drive found");
    EXPECT_FALSE(dialog.MakeButton()->isEnabled());
    dialog.MakeButton()->click();
    EXPECT_FALSE(dialog.Running());
}

} // namespace
} // namespace tarvelin::shell
