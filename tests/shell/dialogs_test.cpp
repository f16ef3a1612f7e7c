// The dialogs: extract, About, the three conversions, the CD-ROM capture from the simulated drive, and the progress
// dialog with its self-painting bar following builds and saves through a session.

#include "shell_fixtures.h"

#include "about_dlg.h"
#include "cd_rip_dlg.h"
#include "convert_dlgs.h"
#include "progress_dlg.h"
#include "text_progress_ctrl.h"

#include "capture/capture_fixtures.h"
#include "convert/convert_fixtures.h"
#include "convert/iso2bin.h"
#include "edit/iso_edit.h"
#include "platform/directory.h"
#include "writer/iso_build.h"

#include <sys/stat.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace fixture;
using platform::PromptAnswer;

TEST(ExtractDlg, OpensWithTheDefaultEveryTimeAndBrowsesForAFolder)
{
    Desktop desktop;
    Prompt prompt;
    const QString fallback = QDir::toNativeSeparators(DefaultExtractFolder());
    ASSERT_FALSE(fallback.isEmpty());
    EXPECT_FALSE(fallback.startsWith(TarvelinTempFolder())); // what is extracted stays after exit
    {
        CExtractDlg dialog;
        EXPECT_EQ(dialog.Edit()->text(), fallback);
        EXPECT_EQ(ExtractDestination(), fallback);
        EXPECT_TRUE(dialog.ExtractButton()->isDefault());
        desktop.Choose({"", "/srv/out"});
        dialog.BrowseButton()->click();
        EXPECT_EQ(dialog.Edit()->text(), fallback);
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
        // Whatever was chosen before, a new dialog starts from the default; a folder typed into the box is the one
        // used.
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
        EXPECT_EQ(prompt.Texts(), std::vector<std::string>{"Please choose the folder to extract to."});
    }
}

// An environment variable set (or, with a null value, unset) for the length of a test.
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
    const struct {
        const char* what;
        std::function<void()> make;
        const char* reason;
    } cases[] = {
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
             // Only the superuser can give a folder away; others meet the system's own folder, which is not theirs.
             if (mine.uid == 0) {
                 ASSERT_EQ(test::RunCommand("chown 65534 " + test::ShellQuote(path)).exitCode, 0);
             } else {
                 fs::remove(path);
                 fs::create_directory_symlink("/", path);
             }
         },
         mine.uid == 0 ? "it belongs to another user" : "it is a link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        QString error;
        EXPECT_TRUE(TarvelinTempFolder(&error).isEmpty());
        EXPECT_NE(error.toStdString().find(c.reason), std::string::npos) << error.toStdString();
        EXPECT_NE(error.toStdString().find(path), std::string::npos) << error.toStdString();
        EXPECT_FALSE(fs::exists(dir / "elsewhere/run-" + std::to_string(QCoreApplication::applicationPid())));
        fs::remove(path);
    }
    // Once the path is free, the folder is made there, private.
    EXPECT_FALSE(TarvelinTempFolder().isEmpty());
    platform::FileInfo facts;
    ASSERT_TRUE(platform::GetLinkInfo(path, facts));
    EXPECT_TRUE(facts.isDirectory);
    EXPECT_EQ(facts.mode & 07777, 0700U);
    // The folder of a run that ended without clearing it (killed) goes at the next start; that of a process still
    // running stays.
    const test::CommandResult ended = test::RunCommand("sh -c 'echo $$'");
    const std::string endedRun = path + "/run-" + std::to_string(std::stoull(ended.output));
    const std::string runningRun = path + "/run-1";
    for (const std::string& run : {endedRun, runningRun}) {
        WriteTree(run, {{"viewed/file.txt", "left behind"}});
    }
    EXPECT_FALSE(TarvelinTempFolder().isEmpty());
    EXPECT_FALSE(fs::exists(endedRun));
    EXPECT_TRUE(fs::exists(runningRun + "/viewed/file.txt"));
}

TEST(AboutDlg, ShowsTheVersionInBlueOpensItsLinkAndClosesOnAClick)
{
    Desktop desktop;
    CAboutDlg dialog;
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
    // Showing it starts the reveal of the screen under it, which ends while events are served.
    dialog.show();
    ASSERT_FALSE(dialog.RevealCanvas().isNull());
    EXPECT_EQ(dialog.RevealCanvas().size(), dialog.size() * dialog.devicePixelRatio());
    ASSERT_TRUE(WaitFor([&] { return !dialog.Revealing(); }));
    // A click on the link opens its address and leaves the dialog up.
    CHyperLink* link = dialog.Link();
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(desktop.opened, std::vector<std::string>{AboutLinkAddress().toStdString()});
    EXPECT_TRUE(link->Visited());
    EXPECT_TRUE(dialog.isVisible());
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    // The frame's About command shows it modally.
    CMainFrame frame;
    QString shown;
    WhenDialogShows<CAboutDlg>([&shown](CAboutDlg& about) {
        shown = about.objectName();
        QTest::mouseClick(&about, Qt::LeftButton, {}, QPoint(2, 2));
    });
    frame.RunCommand(ID_APP_ABOUT);
    EXPECT_EQ(shown, "aboutDialog");
}

// Images for the conversions: an ISO made by genisoimage and its raw BIN and CUE made by the command-line converter.
class ConvertDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        WriteTree(dir / "src", {{"data.bin", Text(test::RandomBytes(150000, 11))}, {"notes.txt", "notes\n"}});
        test::RunGenisoimage(dir / "src", iso, "-J");
        const test::CommandResult made = test::RunCommand(std::string(TARVELIN_CLI_PATH) + " iso2bin " +
                                                          test::ShellQuote(iso) + " " + test::ShellQuote(bin));
        ASSERT_EQ(made.exitCode, 0) << made.output;
    }
    static void Convert(CConvertDlg& dialog)
    {
        dialog.StartButton()->click();
        ASSERT_TRUE(WaitFor([&] { return !dialog.Running(); }));
    }
    static QString Q(const std::string& path) { return QString::fromStdString(path); }
    test::TempDir dir;
    Prompt prompt;
    Desktop desktop;
    std::string iso = dir / "disc.iso";
    std::string bin = dir / "disc.bin";
};

using MakeDialog = std::function<std::unique_ptr<CConvertDlg>()>;
template <class Dialog>
MakeDialog Maker()
{
    return [] { return std::make_unique<Dialog>(); };
}

TEST_F(ConvertDlgTest, EachConversionBrowsesWithItsFiltersAndGivesWhatTheCommandLineGives)
{
    const struct {
        MakeDialog make;
        std::string title, start, sourceFilter, outputFilter, outputSuffix;
        bool browseSource, browseOutput; // else typed
        bool worker;                     // else on the GUI thread, to its end
        std::string source, output, expected;
    } cases[]{
        {Maker<CBinToIsoDlg>(), "BIN to ISO Convert...", "Convert", "Bin Files (*.BIN)|*.BIN||",
         "ISO Files (*.ISO)|*.ISO||", ".ISO", true, true, false, bin, dir / "back.iso", iso},
        // A cue sheet names the BIN.
        {Maker<CAnyToIsoDlg>(), "Any Formats to ISO...", "CONVERT", "Any CD-ROM Image Files (*.*)|*.*||",
         "ISO Files (*.ISO)|*.ISO||", ".ISO", false, false, false, CueSheetPathFor(bin), dir / "typed.iso", iso},
        {Maker<CIsoToBinDlg>(), "ISO to BIN", "Convert", "Bin Files (*.ISO)|*.ISO||", "ISO Files (*.BIN)|*.BIN||",
         ".BIN", true, false, true, iso, dir / "out.bin", bin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const std::unique_ptr<CConvertDlg> dialog = c.make();
        EXPECT_EQ(dialog->windowTitle().toStdString(), c.title);
        EXPECT_EQ(dialog->StartButton()->text().toStdString(), c.start);
        EXPECT_EQ(dialog->Bar()->GetPos(), 0);
        // Each path through "...", or typed after a cancelled "...".
        desktop.calls.clear();
        desktop.Choose({c.browseSource ? c.source : "", c.browseOutput ? c.output : ""});
        dialog->SourceBrowse()->click();
        dialog->OutputBrowse()->click();
        ASSERT_EQ(desktop.calls.size(), 2U);
        EXPECT_FALSE(desktop.calls[0].spec.save);
        EXPECT_EQ(desktop.calls[0].filter, c.sourceFilter);
        EXPECT_EQ(desktop.calls[0].spec.defaultSuffix, "");
        EXPECT_TRUE(desktop.calls[1].spec.save);
        EXPECT_EQ(desktop.calls[1].filter, c.outputFilter);
        EXPECT_EQ(desktop.calls[1].spec.defaultSuffix.toStdString(), c.outputSuffix);
        EXPECT_EQ(dialog->SourceEdit()->text().toStdString(), c.browseSource ? c.source : "");
        EXPECT_EQ(dialog->OutputEdit()->text().toStdString(), c.browseOutput ? c.output : "");
        dialog->SourceEdit()->setText(Q(c.source));
        dialog->OutputEdit()->setText(Q(c.output));
        prompt.asked.clear();
        dialog->show();
        dialog->StartButton()->click();
        // Running on a worker: neither Exit nor another start, and no closing.
        EXPECT_EQ(dialog->Running(), c.worker);
        EXPECT_EQ(dialog->ExitButton()->isEnabled(), !c.worker);
        EXPECT_EQ(dialog->StartButton()->isEnabled(), !c.worker);
        dialog->reject();
        EXPECT_EQ(dialog->isVisible(), c.worker);
        ASSERT_TRUE(WaitFor([&] { return !dialog->Running(); }));
        EXPECT_EQ(prompt.Texts(), std::vector<std::string>{"Congratulations,Convert successful!"});
        EXPECT_EQ(test::ReadWholeFile(c.output), test::ReadWholeFile(c.expected));
        EXPECT_EQ(dialog->Bar()->GetPos(), 100);
        dialog->reject();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_TRUE(dialog->ExitButton()->isEnabled());
    }
    EXPECT_EQ(test::ReadWholeFile(CueSheetPathFor(dir / "out.bin")).size(), 63U + std::string("out.bin").size());
}

TEST_F(ConvertDlgTest, ATypedOutputThatExistsIsReplacedOnlyAfterAYesAndEachRunStartsAnEmptyBar)
{
    CBinToIsoDlg dialog;
    const std::string output = dir / "kept.iso";
    test::WriteWholeFile(output, std::string("keep me"));
    dialog.SourceEdit()->setText(Q(bin));
    dialog.OutputEdit()->setText(Q(output));
    const std::string question = output + " already exists.\nDo you want to replace it?";
    prompt.queue = {PromptAnswer::No};
    dialog.StartButton()->click();
    ASSERT_EQ(prompt.Texts(), std::vector<std::string>{question});
    EXPECT_EQ(prompt.asked[0].buttons, platform::PromptButtons::YesNo);
    EXPECT_FALSE(dialog.Running());
    EXPECT_EQ(Text(test::ReadWholeFile(output)), "keep me");
    prompt.queue = {PromptAnswer::Yes};
    Convert(dialog);
    EXPECT_EQ(prompt.Texts(), (std::vector<std::string>{question, question, "Congratulations,Convert successful!"}));
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
    EXPECT_EQ(dialog.Bar()->GetPos(), 100);
    // A run that fails at once does not show the last run's full bar.
    dialog.SourceEdit()->setText(Q(dir / "missing.bin"));
    prompt.queue = {PromptAnswer::Yes};
    dialog.StartButton()->click();
    EXPECT_TRUE(prompt.Texts().back().starts_with("Open source File Failed!\n"));
    EXPECT_EQ(dialog.Bar()->GetPos(), 0);
    EXPECT_EQ(test::ReadWholeFile(output), test::ReadWholeFile(iso));
}

// A source cut short converts as far as it goes; the message of success says what is missing, as a warning.
TEST_F(ConvertDlgTest, ASourceCutShortConvertsWithAWarning)
{
    const std::string cut = dir / "cut.iso";
    const std::vector<std::uint8_t> whole = test::ReadWholeFile(iso);
    test::WriteWholeFile(cut, std::vector<std::uint8_t>(whole.begin(), whole.end() - 10 * 2048));
    int run = 0;
    for (const MakeDialog& make : {Maker<CBinToIsoDlg>(), Maker<CIsoToBinDlg>()}) {
        const std::unique_ptr<CConvertDlg> dialog = make();
        dialog->SourceEdit()->setText(Q(cut));
        dialog->OutputEdit()->setText(Q(dir / ("cut" + std::to_string(++run) + ".out")));
        prompt.asked.clear();
        Convert(*dialog);
        ASSERT_EQ(prompt.asked.size(), 1U);
        EXPECT_TRUE(prompt.asked[0].text.starts_with("Congratulations,Convert successful!\n'" + cut
                                                     + "' ends 10 sectors before its volume does"))
            << prompt.asked[0].text;
        EXPECT_EQ(prompt.asked[0].icon, platform::PromptIcon::Warning);
    }
}

// Each failure says so with its own text and caption, with the OK and Cancel buttons, and why; a conversion failing
// midway leaves a full bar and no half-written output.
TEST_F(ConvertDlgTest, OpenWriteAndMidwayFailuresHaveTheirMessages)
{
    const struct {
        MakeDialog make;
        std::string source, openText, openCaption, writeText, writeCaption;
        bool midway;
    } cases[]{
        {Maker<CBinToIsoDlg>(), bin, "Open source File Failed!", "Open Fail", "Write file erro!", "Write Fail", true},
        {Maker<CAnyToIsoDlg>(), bin, "Open source File Failed!", "Open Fail", "Write file erro!", "Write Fail", false},
        {Maker<CIsoToBinDlg>(), iso, "Open Source File Failed", "Open Fail!!", "Write File Failed", "Write file erro",
         true},
    };
    for (const auto& c : cases) {
        const std::unique_ptr<CConvertDlg> dialog = c.make();
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        prompt.asked.clear();
        dialog->StartButton()->click();
        dialog->SourceEdit()->setText(Q(c.source));
        dialog->OutputEdit()->setText(Q(dir / "missing/out.img"));
        dialog->StartButton()->click();
        ASSERT_EQ(prompt.asked.size(), 2U);
        // The message, then the converter's reason on a line of its own.
        const std::pair<std::string, std::string> expected[]{{c.openText, c.openCaption}, {c.writeText, c.writeCaption}};
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(prompt.asked[i].text.starts_with(expected[i].first + "\n")) << prompt.asked[i].text;
            EXPECT_GT(prompt.asked[i].text.size(), expected[i].first.size() + 1);
            EXPECT_EQ(prompt.asked[i].caption, expected[i].second);
            EXPECT_EQ(prompt.asked[i].buttons, platform::PromptButtons::OkCancel);
        }
        EXPECT_NE(prompt.asked[1].text.find("missing"), std::string::npos) << prompt.asked[1].text;
        EXPECT_FALSE(dialog->Running());
        if (!c.midway) {
            continue;
        }
        prompt.asked.clear();
        const std::string output = dir / "full.img";
        dialog->OutputEdit()->setText(Q(output));
        {
            const test::FileSizeLimit fullDisk(20000);
            Convert(*dialog);
        }
        ASSERT_EQ(prompt.asked.size(), 1U);
        EXPECT_TRUE(prompt.asked[0].text.starts_with("Convert failed!\n")) << prompt.asked[0].text;
        EXPECT_GT(prompt.asked[0].text.size(), std::string("Convert failed!\n").size());
        EXPECT_EQ(prompt.asked[0].caption, "Convert Fail");
        EXPECT_EQ(dialog->Bar()->GetPos(), 100);
        EXPECT_FALSE(fs::exists(output));
    }
}

// The capture dialog over the simulated drive of the capture tests.
class CdRipDlgTest : public test::CaptureTest {
protected:
    void Make(CCdRipDlg& dialog, const std::string& target)
    {
        dialog.OutputBox()->setEditText(QString::fromStdString(target));
        dialog.DriveList()->setCurrentIndex(0);
        dialog.MakeButton()->click();
        ASSERT_TRUE(WaitFor([&] { return !dialog.HoldsComponent(); }));
        EXPECT_FALSE(dialog.Running());
    }
    test::TempDir dir;
    Desktop desktop;
};

TEST_F(CdRipDlgTest, ListsTheDrivesMakesTheIsoOfTheDiscZeroesTheSectorsIgnoredAndSaysSorryWhenAborted)
{
    const std::vector<std::uint8_t> user = InsertRandomDisc(300);
    {
        CCdRipDlg dialog;
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
        const std::string made = dir / "disc.iso";
        desktop.Choose({made});
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
        ASSERT_TRUE(WaitFor([&] { return !dialog.HoldsComponent(); }));
        EXPECT_EQ(dialog.Bar()->GetPos(), 100);
        EXPECT_FALSE(dialog.Running());
        EXPECT_TRUE(prompt_.Asked().empty());
        EXPECT_EQ(test::ReadWholeFile(made), user);
        // Without a component Make does nothing more.
        EXPECT_FALSE(dialog.MakeButton()->isEnabled());
        dialog.reject();
        EXPECT_FALSE(dialog.isVisible());
    }
    {
        // A typed or default path that names a file from before is replaced only after a Yes.
        const std::string earlier = dir / "earlier.iso";
        test::WriteWholeFile(earlier, std::string("an earlier image"));
        const std::vector<std::uint8_t> before = test::ReadWholeFile(earlier);
        const std::size_t asked = prompt_.Asked().size();
        prompt_.Answer(PromptAnswer::No);
        CCdRipDlg dialog;
        dialog.OutputBox()->setEditText(QString::fromStdString(earlier));
        dialog.DriveList()->setCurrentIndex(0);
        dialog.MakeButton()->click();
        EXPECT_FALSE(dialog.Running());
        ASSERT_EQ(prompt_.Asked().size(), asked + 1);
        EXPECT_EQ(prompt_.Asked().back().text, earlier + " already exists.\nDo you want to replace it?");
        EXPECT_EQ(test::ReadWholeFile(earlier), before);
        prompt_.Answer(PromptAnswer::Yes);
        Make(dialog, earlier);
        EXPECT_EQ(prompt_.Asked().size(), asked + 2);
        EXPECT_EQ(test::ReadWholeFile(earlier), user);
    }
    {
        // Two sectors that never read, all ignored: the capture finishes, saying which sectors are zero.
        drive_.FailSector(30, capture::SimulatedCdRom::kAlways);
        drive_.FailSector(31, capture::SimulatedCdRom::kAlways);
        prompt_.Answer(PromptAnswer::Ignore);
        prompt_.Answer(PromptAnswer::Yes); // ignore all
        CCdRipDlg dialog;
        Make(dialog, dir / "holes.iso");
        const auto asked = prompt_.Asked();
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(asked.back().text, "2 sectors could not be read and are zero in the image: 30-31");
        EXPECT_EQ(asked.back().caption, "MAKE ISO From CDROM");
        std::vector<std::uint8_t> expected = user;
        std::fill(expected.begin() + 30 * 2048, expected.begin() + 32 * 2048, 0);
        EXPECT_EQ(test::ReadWholeFile(dir / "holes.iso"), expected);
    }
    // An earlier one, the capture aborted: sorry, and no file.
    const std::size_t before = prompt_.Asked().size();
    drive_.FailSector(10, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(PromptAnswer::Abort);
    CCdRipDlg dialog;
    Make(dialog, dir / "bad.iso");
    const auto asked = prompt_.Asked();
    ASSERT_EQ(asked.size(), before + 2);
    EXPECT_EQ(asked[before].text, "Read error, maybe the CDROM has bad sector. ");
    EXPECT_EQ(asked[before + 1].text, "Sorry,Maybe have some errors");
    EXPECT_EQ(asked[before + 1].caption, "Error");
    EXPECT_FALSE(fs::exists(dir / "bad.iso"));
    // Without a drive the list says so and Make is dimmed.
    drive_.SetPresent(false);
    CCdRipDlg none;
    EXPECT_EQ(none.DriveList()->count(), 0);
    EXPECT_EQ(none.DriveList()->placeholderText(), "no CD-ROM drive found");
    EXPECT_FALSE(none.MakeButton()->isEnabled());
    none.MakeButton()->click();
    EXPECT_FALSE(none.Running());
}

TEST(ProgressDlg, PercentTextWrapsAtAHundredAndCancelRaisesAFlagThatReadingClears)
{
    const struct {
        int pos, lower, upper;
        const char* text;
    } cases[]{{500, 0, 2000, "25%"}, {2000, 0, 2000, "100%"}, {1999, 0, 2000, "99%"},
              // Beyond the range the share wraps, except at exactly 100.
              {2100, 0, 2000, "5%"},  {4000, 0, 2000, "0%"},   {150, 100, 200, "50%"}};
    for (const auto& c : cases) {
        EXPECT_EQ(CProgressDlg::PercentText(c.pos, c.lower, c.upper), c.text) << c.pos;
    }
    // Modeless over an enabled owner; Cancel raises a flag that reading clears.
    QWidget owner;
    owner.show();
    CProgressDlg dialog;
    ASSERT_TRUE(dialog.Create(&owner));
    EXPECT_FALSE(dialog.Create(&owner));
    QDialog* window = dialog.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->isModal());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(owner.isEnabled());
    EXPECT_EQ(window->parentWidget(), &owner);
    EXPECT_EQ(dialog.ShownPercent(), " 0 %");
    dialog.SetRange(0, 2000);
    dialog.SetStep(1);
    EXPECT_EQ(dialog.SetPos(500), 0);
    EXPECT_EQ(dialog.ShownPercent(), "25%");
    EXPECT_EQ(dialog.Bar()->value(), 500);
    EXPECT_EQ(dialog.SetPos(2000), 500);
    EXPECT_EQ(dialog.ShownPercent(), "100%");
    // Cancel, and Escape (reject) too, leave the dialog up.
    EXPECT_FALSE(dialog.CheckCancelButton());
    dialog.CancelButton()->click();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialog.CheckCancelButton());
    EXPECT_FALSE(dialog.CheckCancelButton());
    window->reject();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialog.CheckCancelButton());
    // Hidden after an operation, shown again with the position it had.
    dialog.Hide();
    EXPECT_TRUE(dialog.Exists());
    dialog.Show();
    EXPECT_EQ(dialog.GetPos(), 2000);
    dialog.Destroy();
    EXPECT_FALSE(dialog.Exists());
}

TEST(TextProgressCtrl, TextIsDrawnInTheTwoColoursSplitWhereTheBarEndsAndAResizeRedrawsIt)
{
    CTextProgressCtrl bar;
    bar.resize(200, 30);
    bar.SetRange(0, 100);
    EXPECT_EQ(bar.SetPos(37), 0);
    EXPECT_EQ(bar.ShownText(), "37%");
    EXPECT_EQ(bar.LastWidth(), 74);
    ASSERT_NE(bar.BarColour(), bar.BackColour());
    EXPECT_EQ(bar.TextOnBarColour(), bar.BackColour());
    EXPECT_EQ(bar.TextOnBackColour(), bar.BarColour());
    // A text wide enough for the bar's end (at 100) to cut through it.
    bar.SetWindowText(QStringLiteral("WWWWWWWWWWWW"));
    EXPECT_EQ(bar.SetPos(50), 37);
    const QImage image = bar.Render();
    ASSERT_EQ(image.width(), 200);
    const int split = 100;
    EXPECT_EQ(image.pixelColor(1, 1), bar.BarColour());
    EXPECT_EQ(image.pixelColor(198, 1), bar.BackColour());
    // Left of the end the text is in the window colour over the bar; right of it in the highlight.
    EXPECT_GT(PixelsOf(image, bar.TextOnBarColour(), split - 12, split), 0);
    EXPECT_GT(PixelsOf(image, bar.TextOnBackColour(), split, split + 12), 0);
    // Over an empty bar the window colour is the background: the text is in the highlight colour on both sides of the
    // middle.
    bar.SetPos(0);
    const QImage empty = bar.Render();
    EXPECT_EQ(empty.pixelColor(1, 1), bar.BackColour());
    EXPECT_GT(PixelsOf(empty, bar.TextOnBackColour(), split - 12, split), 0);
    // A position is drawn once, and again after a resize at the new width.
    bar.show();
    bar.SetPos(10);
    EXPECT_EQ(bar.LastWidth(), 20);
    EXPECT_EQ(bar.SetPos(10), 10);
    bar.resize(600, 30);
    EXPECT_EQ(bar.LastWidth(), -1);
    bar.SetPos(10);
    EXPECT_EQ(bar.LastWidth(), 60);
    // A range that is no range paints nothing but the background.
    bar.SetWindowText(QString());
    bar.SetRange(5, 5);
    EXPECT_EQ(PixelsOf(bar.Render(), bar.BarColour()), 0);
    EXPECT_EQ(bar.ShownText(), "");
}

// A build of real files, or the save of an image made by genisoimage with one file added, followed through a session.
class SessionTest : public ::testing::Test {
protected:
    std::string File(const std::string& name, std::size_t size, std::uint32_t seed)
    {
        const std::string path = dir / ("src/" + name);
        WriteTree(dir / "src", {{name, Text(test::RandomBytes(size, seed))}});
        return path;
    }
    ComponentPtr<IIsoBuild> Builder(const std::vector<std::string>& files)
    {
        ComponentPtr<IIsoBuild> builder = MakeComponent(NEW_ISOBUILDNEW);
        EXPECT_TRUE(builder->SetOutput(output.c_str(), kBuildIsoAndJoliet));
        for (const std::string& file : files) {
            EXPECT_NE(builder->AddFile(file.c_str(), builder->GetRoot()), nullptr) << file;
        }
        return builder;
    }
    // The session's dialog is up with Cancel pressed, the question to be answered so.
    void PressCancel(ProgressSession& session, PromptAnswer answer)
    {
        session.ShowDialog();
        session.Dialog().CancelButton()->click();
        prompt.queue = {answer};
    }
    bool Build(ProgressSession& session, ComponentPtr<IIsoBuild> builder)
    {
        QSignalSpy finished(&session, &ProgressSession::buildFinished);
        EXPECT_TRUE(session.StartBuild(std::move(builder)));
        EXPECT_TRUE(WaitFor([&] { return finished.count() == 1; }));
        EXPECT_FALSE(session.Busy());
        EXPECT_FALSE(session.Dialog().IsVisible());
        return !finished.empty() && finished.at(0).at(0).toBool();
    }
    void TearDown() override
    {
        if (edit_ != nullptr) {
            DestroyComponent(edit_);
        }
    }
    // The image of src holds one file; another, from beside src, is added.
    IIsoEdit* OpenEdit(std::size_t addedSize, std::uint32_t seed)
    {
        if (edit_ != nullptr) {
            DestroyComponent(edit_);
        }
        File("old.txt", 3000, 7);
        test::RunGenisoimage(dir / "src", image, "-J");
        test::WriteWholeFile(added, test::RandomBytes(addedSize, seed));
        edit_ = Edit1();
        EXPECT_TRUE(edit_->Open(image.c_str()));
        edit_->LoadTree();
        EXPECT_NE(edit_->AddFile(added.c_str(), edit_->GetRoot()), nullptr);
        return edit_;
    }
    bool Save(ProgressSession& session, IIsoEdit* edit)
    {
        QSignalSpy finished(&session, &ProgressSession::saveFinished);
        EXPECT_TRUE(session.StartSave(edit));
        EXPECT_TRUE(WaitFor([&] { return finished.count() == 1; }));
        EXPECT_FALSE(session.Dialog().IsVisible());
        return !finished.empty() && finished.at(0).at(0).toBool();
    }
    bool ImageHoldsAdded() { return std::ranges::count(IsoinfoPaths(image, "-J -f"), "/added.bin") == 1; }
    test::TempDir dir;
    Prompt prompt;
    QWidget owner;
    std::string output = dir / "out.iso";
    std::string image = dir / "a.iso";
    std::string added = dir / "added.bin";
    IIsoEdit* edit_ = nullptr;
};

TEST_F(SessionTest, AFinishedBuildTellsWhatItLeftOutAndAFailedOneWhy)
{
    // A named pipe in a chosen folder cannot go into an image: the build leaves it out, and the user hears of it once
    // the image is made.
    File("kept.bin", 4000, 3);
    ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0600), 0);
    ComponentPtr<IIsoBuild> builder = Builder({});
    ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
    ProgressSession session(&owner);
    EXPECT_TRUE(Build(session, std::move(builder)));
    EXPECT_TRUE(Has(prompt.TakeOne("The image was made, but not everything went into it:\n").text, "pipe"));
    EXPECT_EQ(IsoinfoPaths(output, "-J -f"), (std::vector<std::string>{"/src", "/src/kept.bin"}));
    // A build failing on its worker says why, and one that cannot start too.
    const std::string gone = File("gone.bin", 1000, 6);
    ComponentPtr<IIsoBuild> failing = Builder({gone});
    fs::remove(gone);
    EXPECT_FALSE(Build(session, std::move(failing)));
    const Asked failed = prompt.TakeOne("Create ISO Failed!\n");
    EXPECT_TRUE(Has(failed.text, gone));
    EXPECT_EQ(failed.caption, "Tarvelin");
    EXPECT_FALSE(session.StartBuild(MakeComponent(NEW_ISOBUILDNEW))); // no output set
    EXPECT_FALSE(session.Busy());
    prompt.TakeOne("Create ISO Failed!");
}

TEST_F(SessionTest, CancelAnsweredNoLetsTheBuildFinishAndYesStopsItAndReleasesTheBuilder)
{
    for (const PromptAnswer answer : {PromptAnswer::No, PromptAnswer::Yes}) {
        SCOPED_TRACE(static_cast<int>(answer));
        prompt.asked.clear();
        ProgressSession session(&owner);
        PressCancel(session, answer);
        QString shownWhenAsked;
        prompt.onAsk = [&] { shownWhenAsked = session.Dialog().ShownPercent(); };
        const bool built = Build(session, Builder({File("a.bin", 100000, 3), File("b.bin", 100000, 4)}));
        EXPECT_EQ(built, answer == PromptAnswer::No);
        // Only the question: a cancel is no failure to report.
        EXPECT_EQ(prompt.Texts(), std::vector<std::string>{"Are you sure to cancel"});
        EXPECT_EQ(prompt.asked[0].buttons, platform::PromptButtons::YesNo);
        if (built) {
            EXPECT_EQ(fs::file_size(output) % 2048, 0U);
            EXPECT_GT(fs::file_size(output), 200000U);
            // The bar spans the dialog's whole range: asked before the first file's data, it showed the part of the
            // volume in front of it.
            const std::uint64_t inFront = test::IsoinfoDatedListing(output, "-J").at("a.bin").extent;
            EXPECT_EQ(shownWhenAsked, QString::number(inFront * 100 / (fs::file_size(output) / 2048)) + "%");
            fs::remove(output);
        } else {
            // The released builder took its unfinished image with it.
            EXPECT_FALSE(fs::exists(output));
        }
    }
}

TEST_F(SessionTest, ASessionGoingAwayMidBuildStopsItWithoutWaitingOnTheGui)
{
    std::vector<std::string> files;
    for (std::uint32_t i = 0; i < 8; ++i) {
        files.push_back(File("f" + std::to_string(i) + ".bin", 200000, 20 + i));
    }
    {
        ProgressSession session(&owner);
        session.ShowDialog();
        // The worker's first report finds Cancel pressed and waits for the GUI's answer, which never comes: no events
        // are served here.
        session.Dialog().CancelButton()->click();
        ASSERT_TRUE(session.StartBuild(Builder(files)));
    }
    // The session's end let the question go unanswered, stopped the build and released the builder, which took its
    // unfinished image along.
    prompt.ExpectNone();
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(SessionTest, ASaveRunsToItsEndCancelledOrWithItsSessionGoneAndAFailedOneSaysWhy)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    {
        // Cancel answered Yes hides the dialog; the save still runs to its end.
        IIsoEdit* edit = OpenEdit(9000, 9);
        ProgressSession session(&owner);
        PressCancel(session, PromptAnswer::Yes);
        EXPECT_TRUE(Save(session, edit));
        EXPECT_EQ(prompt.Texts(), std::vector<std::string>{"Are you sure to cancel"});
        EXPECT_EQ(session.Dialog().ShownPercent(), "100%");
        EXPECT_TRUE(ImageHoldsAdded());
    }
    {
        // The session going away mid-save waits for its end (a save cannot be stopped), and the image holds it.
        IIsoEdit* edit = OpenEdit(400000, 10);
        {
            ProgressSession session(&owner);
            ASSERT_TRUE(session.StartSave(edit));
        }
        EXPECT_FALSE(edit->IsSaving());
        EXPECT_TRUE(ImageHoldsAdded());
    }
    // A failed save says why and the image stays as it was.
    prompt.asked.clear();
    IIsoEdit* edit = OpenEdit(100, 11);
    EXPECT_FALSE(ImageHoldsAdded());
    const auto original = test::ReadWholeFile(image);
    fs::remove(added);
    ProgressSession session(&owner);
    EXPECT_FALSE(Save(session, edit));
    EXPECT_TRUE(Has(prompt.TakeOne("Save ISO Failed!\n").text, "added.bin"));
    EXPECT_EQ(test::ReadWholeFile(image), original);
}

} // namespace
} // namespace tarvelin::shell
