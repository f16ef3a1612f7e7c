// The progress dialog, the self-painting bar, and the save and build of the
// list view followed through them: percent texts, the painted split, Cancel
// with its question answered either way, and failures said with reasons.

#include "dialog_fixtures.h"
#include "progress_dlg.h"
#include "progress_session.h"
#include "text_progress_ctrl.h"

#include "edit/iso_edit.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"
#include "writer/iso_build.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QWidget>

#include <filesystem>
#include <utility>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using platform::PromptAnswer;

TEST(ProgressDlg, PercentTextIsTheShareOfTheRangeWrappedAtAHundred)
{
    EXPECT_EQ(CProgressDlg::PercentText(500, 0, 2000), "25%");
    EXPECT_EQ(CProgressDlg::PercentText(2000, 0, 2000), "100%");
    EXPECT_EQ(CProgressDlg::PercentText(1999, 0, 2000), "99%");
    // Beyond the range the share wraps, except at exactly 100.
    EXPECT_EQ(CProgressDlg::PercentText(2100, 0, 2000), "5%");
    EXPECT_EQ(CProgressDlg::PercentText(4000, 0, 2000), "0%");
    EXPECT_EQ(CProgressDlg::PercentText(45, 0, 100), "45%");
    EXPECT_EQ(CProgressDlg::PercentText(150, 100, 200), "50%");
}

TEST(ProgressDlg, ModelessOverAnEnabledOwnerWithItsTextsAndPositions)
{
    QWidget owner;
    owner.show();
    CProgressDlg dialog;
    ASSERT_TRUE(dialog.Create(&owner));
    EXPECT_FALSE(dialog.Create(&owner));
    QDialog* window = dialog.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Progress");
    EXPECT_FALSE(window->isModal());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(owner.isEnabled());
    EXPECT_EQ(window->parentWidget(), &owner);
    EXPECT_EQ(dialog.ShownPercent(), " 0 %");
    EXPECT_EQ(dialog.CancelButton()->text(), "Cancel");

    dialog.SetRange(0, 2000);
    dialog.SetStep(1);
    EXPECT_EQ(dialog.SetPos(500), 0);
    EXPECT_EQ(dialog.ShownPercent(), "25%");
    EXPECT_EQ(dialog.Bar()->value(), 500);
    EXPECT_EQ(dialog.SetPos(2000), 500);
    EXPECT_EQ(dialog.ShownPercent(), "100%");

    // Hidden after an operation, shown again with the position it had.
    dialog.Hide();
    EXPECT_TRUE(dialog.Exists());
    dialog.Show();
    EXPECT_EQ(dialog.GetPos(), 2000);
    dialog.Destroy();
    EXPECT_FALSE(dialog.Exists());
}

TEST(ProgressDlg, CancelRaisesAFlagThatReadingClearsAndLeavesTheDialogUp)
{
    QWidget owner;
    CProgressDlg dialog;
    ASSERT_TRUE(dialog.Create(&owner));
    EXPECT_FALSE(dialog.CheckCancelButton());
    dialog.CancelButton()->click();
    EXPECT_TRUE(dialog.Window()->isVisible());
    EXPECT_TRUE(dialog.CheckCancelButton());
    EXPECT_FALSE(dialog.CheckCancelButton());
    // Escape (reject) counts as Cancel too and does not close it.
    dialog.Window()->reject();
    EXPECT_TRUE(dialog.Window()->isVisible());
    EXPECT_TRUE(dialog.CheckCancelButton());
}

// Pixels of the colour in the columns [left, right).
int CountColour(const QImage& image, QColor colour, int left, int right)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = left; x < right; ++x) {
            count += image.pixelColor(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

TEST(TextProgressCtrl, TextIsDrawnInTheTwoColoursSplitWhereTheBarEnds)
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
    // Corners: the bar on the left, the background on the right.
    EXPECT_EQ(image.pixelColor(1, 1), bar.BarColour());
    EXPECT_EQ(image.pixelColor(198, 1), bar.BackColour());
    // Left of the end the text is in the window colour over the bar and
    // never in the highlight; right of it the other way round.
    EXPECT_GT(CountColour(image, bar.TextOnBarColour(), 0, split), 0);
    EXPECT_GT(CountColour(image, bar.TextOnBackColour(), split, 200), 0);
    // The glyphs next to the end on either side.
    EXPECT_GT(CountColour(image, bar.TextOnBarColour(), split - 12, split), 0);
    EXPECT_GT(CountColour(image, bar.TextOnBackColour(), split, split + 12), 0);
    // Over an empty bar the window colour is the background: the text is
    // in the highlight colour on both sides of the middle.
    bar.SetPos(0);
    const QImage empty = bar.Render();
    EXPECT_EQ(empty.pixelColor(1, 1), bar.BackColour());
    EXPECT_GT(CountColour(empty, bar.TextOnBackColour(), split - 12, split), 0);
}

TEST(TextProgressCtrl, SetPosRepaintsOnlyWhenTheWidthChangesAndAResizeForgetsIt)
{
    CTextProgressCtrl bar;
    bar.resize(100, 20);
    bar.show();
    EXPECT_EQ(bar.LastWidth(), -1);
    bar.SetPos(10);
    EXPECT_EQ(bar.LastWidth(), 10);
    EXPECT_EQ(bar.SetPos(10), 10);
    bar.resize(300, 20);
    EXPECT_EQ(bar.LastWidth(), -1);
    bar.SetPos(10);
    EXPECT_EQ(bar.LastWidth(), 30);
    // A range that is no range paints nothing but the background.
    bar.SetRange(5, 5);
    const QImage image = bar.Render();
    EXPECT_EQ(CountColour(image, bar.BarColour(), 0, image.width()), 0);
    EXPECT_EQ(bar.ShownText(), "");
}

// A save or build of real files followed through a session.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir / "src"); }

    std::string File(const std::string& name, std::size_t size, std::uint32_t seed)
    {
        const std::string path = dir / ("src/" + name);
        test::WriteWholeFile(path, test::RandomBytes(size, seed));
        return path;
    }

    ComponentPtr<IIsoBuild> Builder(const std::string& output)
    {
        ComponentPtr<IIsoBuild> builder = MakeComponent(NEW_ISOBUILDNEW);
        EXPECT_NE(builder, nullptr);
        EXPECT_TRUE(builder->SetOutput(output.c_str(), kBuildIsoAndJoliet));
        return builder;
    }

    std::vector<std::string> Asked() { return prompts.prompt.Texts(); }

    test::TempDir dir;
    test::InstalledPrompt prompts;
    QWidget owner;
};

TEST_F(SessionTest, ABuildRunsToItsEndWithTheDialogThenHidden)
{
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    ASSERT_NE(builder->AddFile(File("a.bin", 300000, 1).c_str(), builder->GetRoot()), nullptr);
    ASSERT_NE(builder->AddFile(File("b.bin", 5000, 2).c_str(), builder->GetRoot()), nullptr);
    ProgressSession session(&owner);
    QSignalSpy finished(&session, &ProgressSession::buildFinished);
    ASSERT_TRUE(session.StartBuild(std::move(builder)));
    EXPECT_TRUE(session.Busy());
    EXPECT_TRUE(session.Dialog().IsVisible());
    EXPECT_EQ(session.Dialog().Upper(), 2000);
    EXPECT_EQ(session.Dialog().Step(), 1);
    ASSERT_TRUE(test::ServeEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_FALSE(session.Busy());
    EXPECT_FALSE(session.Dialog().IsVisible());
    EXPECT_TRUE(session.Dialog().Exists());
    EXPECT_EQ(session.Dialog().ShownPercent(), "100%");
    EXPECT_TRUE(Asked().empty());
    // The image holds both files.
    const test::CommandResult listing = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(output));
    EXPECT_NE(listing.output.find("/a.bin"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("/b.bin"), std::string::npos) << listing.output;
}

TEST_F(SessionTest, AFinishedBuildTellsWhatItLeftOut)
{
    // A named pipe in a chosen folder cannot go into an image: the build
    // leaves it out, and the user hears of it once the image is made.
    File("kept.bin", 4000, 3);
    const std::string pipe = dir / "src/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
    ProgressSession session(&owner);
    QSignalSpy finished(&session, &ProgressSession::buildFinished);
    ASSERT_TRUE(session.StartBuild(std::move(builder)));
    ASSERT_TRUE(test::ServeEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    const std::vector<std::string> asked = Asked();
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_EQ(asked[0].rfind("The image was made, but not everything went into it:\n", 0), 0U) << asked[0];
    EXPECT_NE(asked[0].find("pipe"), std::string::npos) << asked[0];
    const test::CommandResult listing = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(output));
    EXPECT_NE(listing.output.find("/src/kept.bin"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("pipe"), std::string::npos) << listing.output;
}

TEST_F(SessionTest, CancelAnsweredNoLetsTheBuildFinish)
{
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    ASSERT_NE(builder->AddFile(File("a.bin", 100000, 3).c_str(), builder->GetRoot()), nullptr);
    ProgressSession session(&owner);
    session.ShowDialog();
    session.Dialog().CancelButton()->click();
    prompts.prompt.Answer(PromptAnswer::No);
    QSignalSpy finished(&session, &ProgressSession::buildFinished);
    ASSERT_TRUE(session.StartBuild(std::move(builder)));
    ASSERT_TRUE(test::ServeEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    ASSERT_EQ(prompts.prompt.Asked().size(), 1U);
    EXPECT_EQ(prompts.prompt.Asked()[0].text, "Are you sure to cancel");
    EXPECT_EQ(prompts.prompt.Asked()[0].buttons, platform::PromptButtons::YesNo);
    EXPECT_FALSE(session.Dialog().IsVisible());
    EXPECT_EQ(test::ReadWholeFile(output).size() % 2048, 0U);
    EXPECT_GT(test::ReadWholeFile(output).size(), 100000U);
}

TEST_F(SessionTest, CancelAnsweredYesStopsTheBuildAndReleasesTheBuilder)
{
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    ASSERT_NE(builder->AddFile(File("a.bin", 100000, 4).c_str(), builder->GetRoot()), nullptr);
    ASSERT_NE(builder->AddFile(File("b.bin", 100000, 5).c_str(), builder->GetRoot()), nullptr);
    ProgressSession session(&owner);
    session.ShowDialog();
    session.Dialog().CancelButton()->click();
    prompts.prompt.Answer(PromptAnswer::Yes);
    QSignalSpy finished(&session, &ProgressSession::buildFinished);
    ASSERT_TRUE(session.StartBuild(std::move(builder)));
    ASSERT_TRUE(test::ServeEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    EXPECT_FALSE(session.Busy());
    EXPECT_FALSE(session.Dialog().IsVisible());
    // Only the question: a cancel is no failure to report.
    EXPECT_EQ(Asked(), std::vector<std::string>{"Are you sure to cancel"});
    // The released builder took its unfinished image with it.
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(SessionTest, AFailedBuildSaysWhyInsteadOfLeavingTheDialogUp)
{
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    const std::string gone = File("gone.bin", 1000, 6);
    ASSERT_NE(builder->AddFile(gone.c_str(), builder->GetRoot()), nullptr);
    fs::remove(gone);
    ProgressSession session(&owner);
    QSignalSpy finished(&session, &ProgressSession::buildFinished);
    ASSERT_TRUE(session.StartBuild(std::move(builder)));
    ASSERT_TRUE(test::ServeEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    EXPECT_FALSE(session.Dialog().IsVisible());
    const auto asked = prompts.prompt.Asked();
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_EQ(asked[0].text.rfind("Create ISO Failed!\n", 0), 0U) << asked[0].text;
    EXPECT_NE(asked[0].text.find(gone), std::string::npos) << asked[0].text;
    EXPECT_EQ(asked[0].caption, "Tarvelin");
}

TEST_F(SessionTest, ABuildThatCannotStartSaysWhy)
{
    ComponentPtr<IIsoBuild> builder = MakeComponent(NEW_ISOBUILDNEW); // no output set
    ASSERT_NE(builder, nullptr);
    ProgressSession session(&owner);
    EXPECT_FALSE(session.StartBuild(std::move(builder)));
    EXPECT_FALSE(session.Busy());
    const auto asked = Asked();
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_EQ(asked[0].rfind("Create ISO Failed!", 0), 0U);
}

TEST_F(SessionTest, ASessionGoingAwayMidBuildStopsItWithoutWaitingOnTheGui)
{
    const std::string output = dir / "out.iso";
    ComponentPtr<IIsoBuild> builder = Builder(output);
    for (int i = 0; i < 8; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        ASSERT_NE(builder->AddFile(File(name, 200000, 20 + i).c_str(), builder->GetRoot()), nullptr);
    }
    {
        ProgressSession session(&owner);
        session.ShowDialog();
        // The worker's first report finds Cancel pressed and waits for the
        // GUI's answer, which never comes: no events are served here.
        session.Dialog().CancelButton()->click();
        ASSERT_TRUE(session.StartBuild(std::move(builder)));
    }
    // The session's end let the question go unanswered, stopped the build
    // and released the builder, which took its unfinished image along.
    EXPECT_TRUE(Asked().empty());
    EXPECT_FALSE(fs::exists(output));
}

// An opened image made by genisoimage with one file added, to be saved.
class SaveSessionTest : public SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        TARVELIN_REQUIRE_TOOL("genisoimage");
        File("old.txt", 3000, 7);
        image = dir / "a.iso";
        test::RunGenisoimage(dir / "src", image, "-J");
        edit = Edit1();
        ASSERT_NE(edit, nullptr);
        ASSERT_TRUE(edit->Open(image.c_str()));
        edit->LoadTree();
    }
    void TearDown() override { DestroyComponent(edit); }

    bool Save(ProgressSession& session, bool& saved)
    {
        QSignalSpy finished(&session, &ProgressSession::saveFinished);
        if (!session.StartSave(edit)) {
            return false;
        }
        if (!test::ServeEventsUntil([&] { return finished.count() == 1; })) {
            return false;
        }
        saved = finished.at(0).at(0).toBool();
        return true;
    }

    std::string image;
    IIsoEdit* edit = nullptr;
};

TEST_F(SaveSessionTest, ASaveWritesTheImageAndHidesTheDialog)
{
    const std::string added = dir / "added.bin";
    test::WriteWholeFile(added, test::RandomBytes(9000, 8));
    ASSERT_NE(edit->AddFile(added.c_str(), edit->GetRoot()), nullptr);
    ProgressSession session(&owner);
    bool saved = false;
    ASSERT_TRUE(Save(session, saved));
    EXPECT_TRUE(saved);
    EXPECT_FALSE(session.Dialog().IsVisible());
    EXPECT_EQ(session.Dialog().ShownPercent(), "100%");
    EXPECT_TRUE(Asked().empty());
    const test::CommandResult listing = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(image));
    EXPECT_NE(listing.output.find("/added.bin"), std::string::npos) << listing.output;
}

TEST_F(SaveSessionTest, ACancelledSaveHidesTheDialogAndStillRunsToItsEnd)
{
    const std::string added = dir / "added.bin";
    test::WriteWholeFile(added, test::RandomBytes(9000, 9));
    ASSERT_NE(edit->AddFile(added.c_str(), edit->GetRoot()), nullptr);
    ProgressSession session(&owner);
    session.ShowDialog();
    session.Dialog().CancelButton()->click();
    prompts.prompt.Answer(PromptAnswer::Yes);
    bool saved = false;
    ASSERT_TRUE(Save(session, saved));
    EXPECT_TRUE(saved);
    EXPECT_EQ(Asked(), std::vector<std::string>{"Are you sure to cancel"});
    EXPECT_FALSE(session.Dialog().IsVisible());
    const test::CommandResult listing = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(image));
    EXPECT_NE(listing.output.find("/added.bin"), std::string::npos) << listing.output;
}

TEST_F(SaveSessionTest, ASessionGoingAwayMidSaveWaitsForTheSavesEnd)
{
    const std::string added = dir / "added.bin";
    test::WriteWholeFile(added, test::RandomBytes(400000, 10));
    ASSERT_NE(edit->AddFile(added.c_str(), edit->GetRoot()), nullptr);
    {
        ProgressSession session(&owner);
        ASSERT_TRUE(session.StartSave(edit));
    }
    // The save ran to its end (it cannot be stopped) and the image holds it.
    EXPECT_FALSE(edit->IsSaving());
    const test::CommandResult listing = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(image));
    EXPECT_NE(listing.output.find("/added.bin"), std::string::npos) << listing.output;
}

TEST_F(SaveSessionTest, AFailedSaveSaysWhyAndTheImageStaysAsItWas)
{
    const auto original = test::ReadWholeFile(image);
    const std::string gone = dir / "gone.txt";
    test::WriteWholeFile(gone, std::string("soon gone\n"));
    ASSERT_NE(edit->AddFile(gone.c_str(), edit->GetRoot()), nullptr);
    fs::remove(gone);
    ProgressSession session(&owner);
    bool saved = true;
    ASSERT_TRUE(Save(session, saved));
    EXPECT_FALSE(saved);
    EXPECT_FALSE(session.Dialog().IsVisible());
    const auto asked = prompts.prompt.Asked();
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_EQ(asked[0].text.rfind("Save ISO Failed!\n", 0), 0U) << asked[0].text;
    EXPECT_NE(asked[0].text.find("gone.txt"), std::string::npos) << asked[0].text;
    EXPECT_EQ(test::ReadWholeFile(image), original);
}

} // namespace
} // namespace tarvelin::shell
