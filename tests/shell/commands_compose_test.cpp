// Composing a new image: names of any length and with backslashes kept as
// they are, the desktop opening files of a composition, and a running
// build refusing the commands that would release it and stopping only when
// the user agrees to closing the window.

#include "command_helpers.h"

#include "commands.h"
#include "left_view.h"

#include "support/cli_fixtures.h"
#include "writer/iso_build.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace test_commands;

class ComposeTest : public testing::Test {
protected:
    void SetUp() override
    {
        frame_.show();
        QApplication::processEvents();
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }

    test::TempDir dir_;
    ScriptedPrompt prompt_;
    ScriptedServices services_;
    CMainFrame frame_;
};

TEST_F(ComposeTest, LongNamesAndBackslashesAreKeptWholeFromRecordToImage)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    // 150 characters: more than the records of old could hold.
    const std::string longName = std::string(146, 'n') + ".txt";
    const std::string folder = dir_ / "back\\slash";
    fs::create_directories(folder);
    test::WriteWholeFile(folder + "/" + longName, test::RandomBytes(1000, 6));
    test::WriteWholeFile(folder + "/a\\b.txt", std::string("backslash in the name\n"));
    services_.SetChoices({folder, dir_ / "long.iso"});
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    ASSERT_EQ(List().ComposeRoot().children.size(), std::size_t{1});
    const EntryRecord& record = *List().ComposeRoot().children[0];
    EXPECT_EQ(record.name, "back\\slash");
    EXPECT_EQ(record.path, folder);
    ASSERT_EQ(record.children.size(), std::size_t{2});
    std::set<std::string> names{record.children[0]->name, record.children[1]->name};
    EXPECT_EQ(names, (std::set<std::string>{longName, "a\\b.txt"}));

    // A double-click on a file of a composition opens the file itself.
    emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "back\\slash"), 0));
    emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), "a\\b.txt"), 0));
    EXPECT_EQ(services_.Opened(), std::vector<std::string>{folder + "/a\\b.txt"});

    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;
    // Rock Ridge keeps the names whole (isoinfo lists them as they are;
    // bsdtar would escape the backslashes); Joliet, which excludes the
    // backslash, has '_' in its place.
    const std::string image = dir_ / "long.iso";
    const auto listed = [&](const char* which) {
        const std::string command = std::string("isoinfo ") + which + " -f -i " + test::ShellQuote(image);
        return test::SortedLines(test::RunForOutput(command));
    };
    const std::vector<std::string> rock = listed("-R");
    EXPECT_NE(std::find(rock.begin(), rock.end(), "/back\\slash/a\\b.txt"), rock.end());
    EXPECT_NE(std::find(rock.begin(), rock.end(), "/back\\slash/" + longName), rock.end());
    const std::vector<std::string> joliet = listed("-J");
    EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/back_slash/a_b.txt"), joliet.end());
}

TEST_F(ComposeTest, NewImagesWithUdfGetAUdfFileSystemThatSevenZipReads)
{
    TARVELIN_REQUIRE_TOOL("7z");
    QAction* udf = frame_.CommandAction(ID_FILE_BUILDUDF);
    ASSERT_NE(udf, nullptr);
    EXPECT_FALSE(udf->isChecked());
    frame_.RunCommand(ID_FILE_BUILDUDF);
    EXPECT_TRUE(udf->isChecked());
    EXPECT_TRUE(List().BuildsUdf());

    const std::string file = dir_ / "Grüße.txt";
    test::WriteWholeFile(file, std::string("in both trees\n"));
    services_.SetChoices({file, dir_ / "udf.iso"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    const std::string listing = test::RunForOutput("7z l -slt " + test::ShellQuote(dir_ / "udf.iso"));
    EXPECT_NE(listing.find("Type = Udf"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Path = Grüße.txt"), std::string::npos) << listing;

    frame_.RunCommand(ID_FILE_BUILDUDF);
    EXPECT_FALSE(udf->isChecked());
    EXPECT_FALSE(List().BuildsUdf());
}

TEST_F(ComposeTest, ARunningBuildIsNotReleasedByCommandsAndClosingAsksToStopIt)
{
    const std::string big = dir_ / "big.bin";
    test::WriteWholeFile(big, test::RandomBytes(4 * 1024 * 1024, 7));
    const std::string output = dir_ / "new.iso";
    services_.SetChoices({big, output});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(List().IsBuilding());
    // The build's end has not been handed to the GUI thread yet.
    for (int id : {ID_FILE_NEWISO, ID_FILE_OPENISO, ID_FILE_SAVEISO}) {
        prompt_.asked.clear();
        frame_.RunCommand(id);
        ASSERT_EQ(prompt_.asked.size(), std::size_t{1}) << id;
        EXPECT_TRUE(prompt_.asked[0].text.starts_with("A new image is being built.")) << id;
    }
    EXPECT_EQ(List().ComposeRoot().children.size(), std::size_t{1});

    prompt_.asked.clear();
    prompt_.answers["A new image is being built. Stop"] = platform::PromptAnswer::No;
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(List().IsBuilding());
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_EQ(prompt_.asked[0].buttons, platform::PromptButtons::YesNo);

    prompt_.answers["A new image is being built. Stop"] = platform::PromptAnswer::Yes;
    EXPECT_TRUE(frame_.close());
    EXPECT_FALSE(List().IsBuilding());
    // Stopped or complete, the image is not opened; a stopped build leaves
    // no partial file.
    QApplication::processEvents();
    EXPECT_FALSE(List().ImageMode());
    if (fs::exists(output)) {
        EXPECT_EQ(fs::file_size(output) % 2048, 0u);
        EXPECT_GT(fs::file_size(output), 4u * 1024 * 1024);
    }
}

TEST_F(ComposeTest, ExtractCopiesFromDiskWithoutOverwritingViewOpensAndDeleteDropsRecords)
{
    const std::string folder = dir_ / "folder";
    fs::create_directories(folder + "/sub");
    test::WriteWholeFile(folder + "/one.txt", std::string("one\n"));
    test::WriteWholeFile(folder + "/sub/two.bin", test::RandomBytes(3000, 8));
    const std::string file = dir_ / "three.txt";
    test::WriteWholeFile(file, std::string("three\n"));
    services_.SetChoices({folder, file});
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);

    const std::string destination = dir_ / "out";
    fs::create_directories(destination + "/folder");
    // A file already at the destination is kept as it is.
    test::WriteWholeFile(destination + "/folder/one.txt", std::string("kept\n"));
    SelectNamed(List(), {"folder", "three.txt"});
    RunExtract(frame_, destination);
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;
    const std::vector<std::uint8_t> kept = test::ReadWholeFile(destination + "/folder/one.txt");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "kept\n");
    EXPECT_EQ(test::ReadWholeFile(destination + "/folder/sub/two.bin"), test::ReadWholeFile(folder + "/sub/two.bin"));
    EXPECT_EQ(test::ReadWholeFile(destination + "/three.txt"), test::ReadWholeFile(file));
    EXPECT_EQ(services_.Opened(), (std::vector<std::string>{destination, destination}));

    services_.ClearOpened();
    SelectNamed(List(), {"three.txt", "folder"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    EXPECT_EQ(services_.Opened(), std::vector<std::string>{file});
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_EQ(prompt_.asked[0].text, "Cann't open a Directory");

    SelectNamed(List(), {"folder"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(RowNames(List()), std::vector<std::string>{"three.txt"});
    EXPECT_EQ(List().ComposeRoot().children.size(), std::size_t{1});
    EXPECT_EQ(frame_.GetLeftPane()->topLevelItem(0)->childCount(), 0);
}

} // namespace
} // namespace tarvelin::shell
