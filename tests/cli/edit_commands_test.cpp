// tarvelin-cli add, rm, mkdir and rename: each one save of the image in
// place; replaced entries named; every failure a message, exit code 1 (2 for
// a file that is no image, 64 for wrong arguments) and the image unchanged.

#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;

class EditCommands : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "disc.iso";

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        TARVELIN_REQUIRE_TOOL("7z");
        fs::create_directories(dir / "src/docs/inner");
        test::WriteWholeFile(dir / "src/docs/readme.txt", std::string("old readme\n"));
        test::WriteWholeFile(dir / "src/docs/inner/deep.bin", test::RandomBytes(10000, 1));
        test::WriteWholeFile(dir / "src/top.bin", test::RandomBytes(3000, 2));
        test::RunGenisoimage(dir / "src", image, "-J -R");
    }

    CommandResult Cli(const std::string& arguments)
    {
        return RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " " + arguments);
    }

    std::vector<std::string> Listing() { return test::SevenZipPaths(image); }
};

TEST_F(EditCommands, AddPutsFilesAndFoldersWhereAskedAndNamesWhatItReplaced)
{
    fs::create_directories(dir / "new/pack/sub");
    test::WriteWholeFile(dir / "new/readme.txt", std::string("new readme\n"));
    test::WriteWholeFile(dir / "new/pack/sub/x.txt", std::string("x\n"));
    const CommandResult added = Cli("add " + ShellQuote(image) + " " + ShellQuote(dir / "new/readme.txt") + " " +
                                    ShellQuote(dir / "new/pack") + " --to docs");
    ASSERT_EQ(added.exitCode, 0) << added.output;
    EXPECT_EQ(added.output, "replaced '/docs/readme.txt'\n");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/inner/", "docs/inner/deep.bin", "docs/pack/",
                                                   "docs/pack/sub/", "docs/pack/sub/x.txt", "docs/readme.txt",
                                                   "top.bin"}));
    const CommandResult shown = Cli("cat " + ShellQuote(image) + " docs/readme.txt");
    EXPECT_EQ(shown.output, "new readme\n");
}

TEST_F(EditCommands, RmMkdirAndRenameChangeTheTree)
{
    CommandResult result = Cli("rm " + ShellQuote(image) + " docs/inner top.bin docs/inner/deep.bin");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/readme.txt"}));
    for (const char* folder : {" /docs/made", " /top"}) {
        result = Cli("mkdir " + ShellQuote(image) + folder);
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
    result = Cli("rename " + ShellQuote(image) + " docs/readme.txt README.md");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/README.md", "docs/made/", "top/"}));
    // A new folder's ".." record has its parent's date, the root's too.
    const std::string records = RunCommand("isoinfo -l -i " + ShellQuote(image)).output;
    EXPECT_EQ(records.find(" 1900 "), std::string::npos) << records;
}

TEST_F(EditCommands, FreedSpaceIsReusedShownAndCompactedAway)
{
    // Space freed by rm takes what a later add brings: the image does not grow.
    ASSERT_EQ(Cli("rm " + ShellQuote(image) + " top.bin").exitCode, 0);
    const auto size = fs::file_size(image);
    test::WriteWholeFile(dir / "same.bin", test::RandomBytes(3000, 3));
    ASSERT_EQ(Cli("add " + ShellQuote(image) + " " + ShellQuote(dir / "same.bin")).exitCode, 0);
    EXPECT_LE(fs::file_size(image), size);

    // compact -o leaves the image as it is; the copy holds every file with
    // no free space but the padding genisoimage ends an image with.
    ASSERT_EQ(Cli("rm " + ShellQuote(image) + " docs/readme.txt").exitCode, 0);
    const auto before = test::ReadWholeFile(image);
    const std::string copy = dir / "compact.iso";
    const CommandResult compacted = Cli("compact " + ShellQuote(image) + " -o " + ShellQuote(copy));
    ASSERT_EQ(compacted.exitCode, 0) << compacted.output;
    EXPECT_TRUE(test::ReadWholeFile(image) == before);
    EXPECT_EQ(test::SevenZipPaths(copy), Listing());
    EXPECT_EQ(RunCommand("7z e -so " + ShellQuote(copy) + " same.bin 2>/dev/null").output.size(), 3000u);
    EXPECT_NE(Cli("info " + ShellQuote(copy)).output.find("free space:      150 sectors (0.3 MiB) in 1 pieces"),
              std::string::npos);
    EXPECT_LE(fs::file_size(copy), fs::file_size(image));
    EXPECT_EQ(Cli("compact " + ShellQuote(copy) + " -o " + ShellQuote(copy)).exitCode, 64); // never over itself
}

TEST_F(EditCommands, FailuresSayWhyAndLeaveTheImageAlone)
{
    const auto original = test::ReadWholeFile(image);
    const struct {
        std::string arguments;
        int exitCode;
        std::string message;
    } cases[] = {
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "no-such-file"), 1, "no-such-file"},
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "src/top.bin") + " --to top.bin", 1, "not a folder"},
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "src/top.bin") + " --to nowhere", 1, "not found"},
        {"rm " + ShellQuote(image) + " docs/missing.txt", 1, "not found"},
        {"rm " + ShellQuote(image) + " /", 1, "root folder"},
        {"mkdir " + ShellQuote(image) + " docs", 1, "already exists"},
        {"mkdir " + ShellQuote(image) + " missing/folder", 1, "not found"},
        {"rename " + ShellQuote(image) + " top.bin docs", 1, "already exists"},
        {"rename " + ShellQuote(image) + " top.bin a/b", 64, "not a name"},
        {"rm " + ShellQuote(image), 64, "usage"},
        {"add " + ShellQuote(dir / "src/top.bin") + " " + ShellQuote(dir / "src/top.bin"), 2, "no ISO 9660 volume"},
    };
    for (const auto& item : cases) {
        const CommandResult result = Cli(item.arguments);
        EXPECT_EQ(result.exitCode, item.exitCode) << item.arguments << "\n" << result.output;
        EXPECT_NE(result.output.find(item.message), std::string::npos) << item.arguments << "\n" << result.output;
        EXPECT_TRUE(test::ReadWholeFile(image) == original) << item.arguments;
    }
    EXPECT_FALSE(fs::exists(image + ".tarvelin-undo"));
}

} // namespace
} // namespace tarvelin
