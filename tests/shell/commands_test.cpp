// The commands of the file list end to end on real images: a composition
// built and opened by itself, checked with bsdtar; Extract and View
// against the source bytes; Delete and Add saved and reopened, also for
// entries added before the save; failures and their messages.

#include "command_helpers.h"

#include "commands.h"
#include "left_view.h"

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QInputDialog>
#include <QLabel>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace test_commands;

std::set<std::string> AsSet(const std::vector<std::string>& names)
{
    return {names.begin(), names.end()};
}

class CommandsTest : public testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        fs::create_directories(source_ + "/docs/inner");
        test::WriteWholeFile(source_ + "/big.bin", test::RandomBytes(3 * 1024 * 1024 + 123, 1));
        test::WriteWholeFile(source_ + "/small.txt", std::string("small file\n"));
        test::WriteWholeFile(source_ + "/other.txt", std::string("other file\n"));
        test::WriteWholeFile(source_ + "/docs/readme.txt", test::RandomBytes(5000, 2));
        test::WriteWholeFile(source_ + "/docs/inner/deep.dat", test::RandomBytes(70000, 3));
        test::RunGenisoimage(source_, image_, "-J -r");
        frame_.show();
        QApplication::processEvents();
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }

    void OpenSourceImage()
    {
        ASSERT_TRUE(List().OpenImage(image_));
    }

    void Select(const std::vector<std::string>& names) { SelectNamed(List(), names); }

    test::TempDir dir_;
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "source.iso";
    ScriptedPrompt prompt_;
    ScriptedServices services_;
    CMainFrame frame_;
};

TEST_F(CommandsTest, AddFilesTakesManyFilesAtOnceWithOrWithoutAnExtension)
{
    const std::string readme = dir_ / "README";
    test::WriteWholeFile(readme, std::string("read me\n"));
    services_.SetChoices({source_ + "/small.txt\n" + readme + "\n" + source_ + "/big.bin"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    ASSERT_EQ(services_.FileDialogs().size(), std::size_t{1});
    EXPECT_EQ(services_.FileDialogs()[0].filter, "(*.*)|*.*|All files (*)|*||");
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"small.txt", "README", "big.bin"}));
    EXPECT_TRUE(prompt_.asked.empty());
}

TEST_F(CommandsTest, AComposedImageIsBuiltOnSaveAndOpensByItself)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    const std::string output = dir_ / "new.iso";
    services_.SetChoices({source_ + "/docs", dir_ / "source", source_ + "/small.txt", output});
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    EXPECT_EQ(services_.FolderTitles(), (std::vector<std::string>{"Select Add Folder.", "Select Add Folder."}));
    ASSERT_EQ(List().ComposeRoot().children.size(), std::size_t{3});
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"docs", "source", "small.txt"}));
    // The folders' contents are records too, files before folders.
    const EntryRecord& docs = *List().ComposeRoot().children[0];
    ASSERT_EQ(docs.children.size(), std::size_t{2});
    EXPECT_EQ(docs.children[0]->name, "readme.txt");
    EXPECT_EQ(docs.children[1]->name, "inner");
    EXPECT_EQ(frame_.GetLeftPane()->topLevelItem(0)->childCount(), 2);

    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_FALSE(services_.FileDialogs().empty());
    const FileDialogSpec dialog = services_.FileDialogs().back();
    EXPECT_TRUE(dialog.save);
    EXPECT_EQ(dialog.filter, "(*.ISO)|*.ISO||");
    EXPECT_EQ(dialog.defaultSuffix.toStdString(), "ISO");
    EXPECT_TRUE(List().IsBuilding());
    EXPECT_TRUE(List().Progress().Dialog().IsVisible());
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_FALSE(List().Progress().Dialog().IsVisible());

    // The new image is open, listing its root.
    EXPECT_TRUE(List().ImageMode());
    EXPECT_EQ(List().ImagePath(), output);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"docs", "source", "small.txt"}));
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;

    // A peer reads the same tree and the same bytes.
    const std::vector<std::string> paths = test::BsdtarPaths(output);
    for (const char* expected : {"docs/", "docs/readme.txt", "docs/inner/deep.dat", "source/big.bin",
                                 "source/docs/inner/deep.dat", "small.txt"}) {
        EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
    }
    const std::string unpacked = dir_ / "unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(test::RunCommand("bsdtar -xf " + test::ShellQuote(output) + " -C " + test::ShellQuote(unpacked)).exitCode,
              0);
    EXPECT_EQ(test::ReadWholeFile(unpacked + "/source/big.bin"), test::ReadWholeFile(source_ + "/big.bin"));
    EXPECT_EQ(test::ReadWholeFile(unpacked + "/docs/inner/deep.dat"),
              test::ReadWholeFile(source_ + "/docs/inner/deep.dat"));
}

TEST_F(CommandsTest, ABuildThatCannotBeMadeSaysCreateIsoFailedWithTheReason)
{
    // The output cannot be created.
    services_.SetChoices({source_ + "/small.txt", dir_ / "no/such/folder/new.iso"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("Create ISO Failed!\n")) << prompt_.asked[0].text;
    EXPECT_GT(prompt_.asked[0].text.size(), std::string("Create ISO Failed!\n\n").size());
    EXPECT_FALSE(List().IsBuilding());

    // A chosen file that is gone by the time of the save.
    fs::remove(source_ + "/small.txt");
    const std::string output = dir_ / "new.iso";
    services_.SetChoices({output});
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{2});
    EXPECT_TRUE(prompt_.asked[1].text.starts_with("Create ISO Failed!\n")) << prompt_.asked[1].text;
    EXPECT_FALSE(List().IsBuilding());
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(List().ImageMode());
}

TEST_F(CommandsTest, ExtractAndViewWriteTheImagesBytesAndAFolderWithEverythingBelow)
{
    OpenSourceImage();
    const std::string destination = dir_ / "out";
    fs::create_directories(destination);
    Select({"big.bin", "docs"});
    RunExtract(frame_, "");
    EXPECT_TRUE(services_.Opened().empty());
    RunExtract(frame_, destination);
    EXPECT_TRUE(prompt_.asked.empty());
    EXPECT_EQ(test::ReadWholeFile(destination + "/big.bin"), test::ReadWholeFile(source_ + "/big.bin"));
    EXPECT_EQ(test::ReadWholeFile(destination + "/docs/readme.txt"), test::ReadWholeFile(source_ + "/docs/readme.txt"));
    EXPECT_EQ(test::ReadWholeFile(destination + "/docs/inner/deep.dat"),
              test::ReadWholeFile(source_ + "/docs/inner/deep.dat"));
    // The destination is shown once per row.
    EXPECT_EQ(services_.Opened(), (std::vector<std::string>{destination, destination}));

    services_.ClearOpened();
    Select({"small.txt", "docs"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    const std::string viewed = (fs::path(List().TemporaryFolder().toStdString()) / "small.txt").string();
    EXPECT_EQ(services_.Opened(), std::vector<std::string>{viewed});
    EXPECT_EQ(test::ReadWholeFile(viewed), test::ReadWholeFile(source_ + "/small.txt"));
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_EQ(prompt_.asked[0].text, "Cann't open a Directory");
    EXPECT_EQ(prompt_.asked[0].caption, "Error Message");

    // A double-click on a file row opens it as View does.
    services_.ClearOpened();
    fs::remove(viewed);
    emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "small.txt"), 0));
    EXPECT_EQ(services_.Opened(), std::vector<std::string>{viewed});
    EXPECT_TRUE(fs::exists(viewed));
    fs::remove(viewed);

    // When the desktop has no program for the item, each way of opening it
    // says so, with the file and the reason.
    services_.FailOpens(OpenError::NoAssociation);
    const std::vector<std::pair<std::string, std::function<void()>>> openers{
        {viewed, [&] { frame_.RunCommand(ID_ACTIONS_VIEW); }},
        {viewed, [&] { emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "small.txt"), 0)); }},
        {destination, [&] { RunExtract(frame_, destination); }},
    };
    for (const auto& [item, open] : openers) {
        SCOPED_TRACE(item);
        Select({"small.txt"});
        fs::remove(destination + "/small.txt");
        fs::remove(viewed);
        prompt_.asked.clear();
        open();
        ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
        EXPECT_EQ(prompt_.asked[0].text, "No program could open " + item +
                                             "\nThere is no application associated\nwith the given filename extension.");
    }
}

TEST_F(CommandsTest, WhatViewLeftInTheTemporaryFolderGoesWithTheWindow)
{
    auto window = std::make_unique<CMainFrame>();
    CTarvelinView& list = *window->GetRightPane();
    ASSERT_TRUE(list.OpenImage(image_));
    SelectNamed(list, {"small.txt", "big.bin"});
    window->RunCommand(ID_ACTIONS_VIEW);
    const std::string folder = list.TemporaryFolder().toStdString();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(test::ReadWholeFile(folder + "/small.txt"), test::ReadWholeFile(source_ + "/small.txt"));
    EXPECT_TRUE(fs::exists(folder + "/big.bin"));
    window.reset();
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(CommandsTest, AFailedReadOrCreateIsReportedAndLeavesNoShortFile)
{
    OpenSourceImage();
    // The destination cannot be made: a file is in its way.
    const std::string blocker = dir_ / "blocker";
    test::WriteWholeFile(blocker, std::string("x"));
    Select({"small.txt"});
    RunExtract(frame_, blocker + "/out");
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("Create File Failure")) << prompt_.asked[0].text;
    EXPECT_EQ(prompt_.asked[0].caption, "Wrong Info");
    EXPECT_TRUE(services_.Opened().empty());

    // The image loses its tail after it was opened: the big file's data
    // cannot be read in full.
    fs::resize_file(image_, fs::file_size(image_) - 2 * 1024 * 1024);
    const std::string destination = dir_ / "out";
    Select({"big.bin"});
    RunExtract(frame_, destination);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{2});
    EXPECT_TRUE(prompt_.asked[1].text.starts_with("Not everything could be extracted:")) << prompt_.asked[1].text;
    EXPECT_NE(prompt_.asked[1].text.find("big.bin"), std::string::npos) << prompt_.asked[1].text;
    EXPECT_FALSE(fs::exists(destination + "/big.bin"));
    // The command stops at the failing row.
    EXPECT_TRUE(services_.Opened().empty());
}

TEST_F(CommandsTest, DeleteAndAddAreSavedIntoTheImageAndAddedEntriesWorkBeforeTheSave)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    OpenSourceImage();
    Select({"small.txt", "other.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"big.bin", "docs"}));
    EXPECT_TRUE(List().Modified());

    // Into a folder of the image: a file and a folder from disk.
    const std::string extra = dir_ / "extra";
    fs::create_directories(extra + "/sub");
    test::WriteWholeFile(extra + "/added.txt", test::RandomBytes(3000, 9));
    test::WriteWholeFile(extra + "/sub/nested.bin", test::RandomBytes(9000, 10));
    emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "docs"), 0));
    ASSERT_EQ(List().CurrentFolder()->name, "docs");
    services_.SetChoices({extra + "/added.txt", extra + "/sub"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"readme.txt", "inner", "added.txt", "sub"}));
    EXPECT_TRUE(prompt_.asked.empty());

    // Before the save, the added entries are the ones viewed and extracted.
    Select({"added.txt"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    ASSERT_EQ(services_.Opened().size(), std::size_t{1});
    EXPECT_EQ(test::ReadWholeFile(services_.Opened()[0]), test::ReadWholeFile(extra + "/added.txt"));
    const std::string early = dir_ / "early";
    fs::create_directories(early);
    Select({"sub"});
    RunExtract(frame_, early);
    EXPECT_EQ(test::ReadWholeFile(early + "/sub/nested.bin"), test::ReadWholeFile(extra + "/sub/nested.bin"));
    fs::remove(services_.Opened()[0]);

    // Into the folder just added, and an added file deleted again.
    test::WriteWholeFile(dir_ / "later.txt", std::string("added into an added folder\n"));
    test::WriteWholeFile(dir_ / "gone.txt", std::string("added and deleted\n"));
    emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "sub"), 0));
    ASSERT_EQ(List().CurrentFolder()->name, "sub");
    services_.SetChoices({dir_ / "later.txt", dir_ / "gone.txt"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    Select({"gone.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"nested.bin", "later.txt"}));

    frame_.RunCommand(ID_FILE_SAVEISO);
    EXPECT_TRUE(List().IsSaving());
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_FALSE(List().Modified());
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;

    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"big.bin", "docs"}));
    const std::vector<std::string> paths = test::BsdtarPaths(image_);
    for (const char* expected : {"docs/added.txt", "docs/sub/nested.bin", "docs/sub/later.txt", "docs/inner/deep.dat",
                                 "big.bin"}) {
        EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
    }
    for (const char* removed : {"small.txt", "other.txt", "docs/sub/gone.txt"}) {
        EXPECT_EQ(std::find(paths.begin(), paths.end(), removed), paths.end()) << removed;
    }
    const std::string unpacked = dir_ / "unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(test::RunCommand("bsdtar -xf " + test::ShellQuote(image_) + " -C " + test::ShellQuote(unpacked)).exitCode,
              0);
    EXPECT_EQ(test::ReadWholeFile(unpacked + "/docs/sub/nested.bin"), test::ReadWholeFile(extra + "/sub/nested.bin"));
    EXPECT_EQ(test::ReadWholeFile(unpacked + "/big.bin"), test::ReadWholeFile(source_ + "/big.bin"));
}

TEST_F(CommandsTest, AddingAFileOfAnExistingNameReplacesTheEntryAndItsRow)
{
    OpenSourceImage();
    const std::string replacement = dir_ / "small.txt";
    test::WriteWholeFile(replacement, std::string("the new small file, longer than before\n"));
    services_.SetChoices({replacement});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    const std::vector<std::string> names = RowNames(List());
    EXPECT_EQ(std::count(names.begin(), names.end(), "small.txt"), 1);
    Select({"small.txt"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    ASSERT_EQ(services_.Opened().size(), std::size_t{1});
    EXPECT_EQ(test::ReadWholeFile(services_.Opened()[0]), test::ReadWholeFile(replacement));
    fs::remove(services_.Opened()[0]);
}

TEST_F(CommandsTest, SaveAsWritesANewFileAndOpensItAndTheTitleFollows)
{
    OpenSourceImage();
    EXPECT_EQ(frame_.windowTitle().toStdString(), "source.iso - Tarvelin");
    EXPECT_TRUE(frame_.SizeLabel()->text().startsWith(QStringLiteral("Image: "))) << frame_.SizeLabel()->text().toStdString();
    frame_.RunCommand(ID_FILE_SAVEISO);
    EXPECT_FALSE(List().IsSaving());
    EXPECT_TRUE(services_.FileDialogs().empty());

    const auto before = test::ReadWholeFile(image_);
    const std::string target = dir_ / "saved as.iso";
    Select({"small.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(frame_.windowTitle().toStdString(), "source.iso* - Tarvelin");
    services_.SetChoices({target});
    frame_.RunCommand(ID_FILE_SAVEISOAS);
    ASSERT_EQ(services_.FileDialogs().size(), std::size_t{1});
    EXPECT_TRUE(services_.FileDialogs()[0].save);
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;

    EXPECT_EQ(test::ReadWholeFile(image_), before);
    EXPECT_EQ(List().ImagePath(), target);
    EXPECT_EQ(frame_.windowTitle().toStdString(), "saved as.iso - Tarvelin");
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"big.bin", "docs", "other.txt"}));
    const std::string listing = test::RunForOutput("isoinfo -J -f -i " + test::ShellQuote(target));
    EXPECT_EQ(listing.find("small.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/other.txt"), std::string::npos) << listing;
    // The size shown is the new file's.
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(),
              "Image: " + SizeText(static_cast<std::uint64_t>(fs::file_size(target))));
}

TEST_F(CommandsTest, RenameNewFolderAndDeleteHaveTheirKeysAndTheListsContextMenu)
{
    const struct {
        int id;
        QKeySequence key;
    } keys[]{{ID_ACTIONS_DELETE, QKeySequence(Qt::Key_Delete)},
             {ID_EDIT_RENAME, QKeySequence(Qt::Key_F2)},
             {ID_EDIT_NEWFOLDER, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N)}};
    for (const auto& command : keys) {
        ASSERT_NE(frame_.CommandAction(command.id), nullptr) << command.id;
        EXPECT_EQ(frame_.CommandAction(command.id)->shortcut(), command.key) << command.id;
        EXPECT_EQ(std::ranges::count(ListContextMenuLayout(), command.id), 1) << command.id;
    }

    // Through the dialogs, on the folder shown: a new folder, then the
    // selected file renamed, then both saved.
    OpenSourceImage();
    WhenDialogShows<QInputDialog>([](QInputDialog& dialog) {
        dialog.setTextValue(QStringLiteral("made"));
        dialog.accept();
    });
    frame_.RunCommand(ID_EDIT_NEWFOLDER);
    Select({"small.txt"});
    WhenDialogShows<QInputDialog>([](QInputDialog& dialog) {
        EXPECT_EQ(dialog.textValue().toStdString(), "small.txt");
        dialog.setTextValue(QStringLiteral("tiny.txt"));
        dialog.accept();
    });
    frame_.RunCommand(ID_EDIT_RENAME);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"big.bin", "docs", "made", "other.txt", "tiny.txt"}));
    EXPECT_EQ(frame_.GetLeftPane()->topLevelItem(0)->childCount(), 2);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    const std::string listing = test::RunForOutput("isoinfo -J -f -i " + test::ShellQuote(image_));
    EXPECT_NE(listing.find("/tiny.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/made"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("small.txt"), std::string::npos) << listing;
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;
}

TEST_F(CommandsTest, ACloseRequestWhileSaveChangesIsAskedAsksNoSecondTime)
{
    OpenSourceImage();
    Select({"small.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    // A prompt that, while the first question is up, gets another close.
    class ClosingPrompt final : public platform::IPrompt {
    public:
        explicit ClosingPrompt(QWidget& window) : window_(window), previous_(platform::SetPrompt(this)) {}
        ~ClosingPrompt() override { platform::SetPrompt(previous_); }
        platform::PromptAnswer Ask(std::string_view text, std::string_view, platform::PromptButtons,
                                   platform::PromptIcon) override
        {
            asked.emplace_back(text);
            if (asked.size() == 1) {
                // Delivered as the window system delivers one (close()
                // would be swallowed by Qt while the window is closing).
                QCloseEvent again;
                QCoreApplication::sendEvent(&window_, &again);
                secondAccepted = again.isAccepted();
            }
            return platform::PromptAnswer::Cancel;
        }
        std::vector<std::string> asked;
        bool secondAccepted = true;

    private:
        QWidget& window_;
        platform::IPrompt* previous_;
    } prompt(frame_);
    frame_.close();
    EXPECT_EQ(prompt.asked, std::vector<std::string>{"Save changes?"});
    // The second request waits for the first answer; Cancel keeps the window.
    EXPECT_FALSE(prompt.secondAccepted);
    EXPECT_TRUE(frame_.isVisible());
    EXPECT_TRUE(List().Modified());
}

TEST_F(CommandsTest, CompactSavesTheEditsAndLeavesNoFreeSpaceButThePadding)
{
    frame_.RunCommand(ID_FILE_COMPACT);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("Compact Image works on an opened image")) << prompt_.asked[0].text;
    prompt_.asked.clear();

    OpenSourceImage();
    Select({"other.txt", "small.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    prompt_.asked.clear();
    frame_.RunCommand(ID_FILE_COMPACT);
    ASSERT_TRUE(WaitIdle(List()));
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("The image has been compacted")) << prompt_.asked[0].text;
    EXPECT_FALSE(List().Modified());
    List().ClearCurrentMode(); // the image is free for other programs
    // genisoimage's padding is kept at the end; nothing else is free.
    const test::CommandResult info = test::RunCommand(test::ShellQuote(TARVELIN_CLI_PATH) + " info " + image_);
    EXPECT_NE(info.output.find("free space:      150 sectors (0.3 MiB) in 1 pieces"), std::string::npos) << info.output;
    EXPECT_EQ(AsSet(test::BsdtarPaths(image_)),
              (std::set<std::string>{"big.bin", "docs/", "docs/inner/", "docs/inner/deep.dat", "docs/readme.txt"}));
}

TEST_F(CommandsTest, WhileASaveRunsCommandsOnTheImageAreRefusedAndClosingWaitsForIt)
{
    OpenSourceImage();
    Select({"small.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(List().IsSaving());
    // The save's end has not been handed to the GUI thread yet: every
    // command below meets the running save.
    for (int id : {ID_ACTIONS_DELETE, ID_FILE_NEWISO, ID_FILE_OPENISO, ID_ACTIONS_ADDFILES, ID_BOOT_LOAD}) {
        prompt_.asked.clear();
        frame_.RunCommand(id);
        ASSERT_EQ(prompt_.asked.size(), std::size_t{1}) << id;
        EXPECT_TRUE(prompt_.asked[0].text.starts_with("The image is being saved.")) << id;
    }
    EXPECT_TRUE(services_.FileDialogs().empty());
    EXPECT_FALSE(List().ImageRoot().children.empty());

    prompt_.asked.clear();
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(frame_.isVisible());
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("The image is being saved."));
    ASSERT_TRUE(WaitFor([this] { return !frame_.isVisible(); }));
    EXPECT_FALSE(List().Modified());
}

} // namespace
} // namespace tarvelin::shell
