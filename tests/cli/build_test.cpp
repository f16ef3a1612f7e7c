// tarvelin-cli build: sources and label against 7-Zip, isoinfo and bsdtar, dates, and every failure with its message,
// exit code and no partial image (missing source, file too large, full disk, Ctrl+C).

#include "platform/atomic_output.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;

class BuildCommand : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "out.iso";

    CommandResult Run(const std::string& arguments, const std::string& prefix = "")
    {
        return RunCommand(prefix + ShellQuote(TARVELIN_CLI_PATH) + " build " + arguments);
    }

    void MakeSources()
    {
        fs::create_directories(dir / "folder/sub");
        test::WriteWholeFile(dir / "folder/one.txt", test::RandomBytes(3000, 1));
        test::WriteWholeFile(dir / "folder/sub/two.bin", test::RandomBytes(10000, 2));
        test::WriteWholeFile(dir / "single.dat", test::RandomBytes(5, 3));
    }
};

TEST_F(BuildCommand, EachSourceAndDotBecomeTopLevelEntriesAndTheLabelIsKept)
{
    TARVELIN_REQUIRE_TOOLS("7z", "isoinfo");
    MakeSources();
    fs::create_hard_link(dir / "folder/sub/two.bin", dir / "folder/linked.bin");
    fs::create_hard_link(dir / "single.dat", dir / "left-out.dat");
    const CommandResult result = Run(ShellQuote(image) + " " + ShellQuote(dir / "folder") + " " +
                                     ShellQuote(dir / "single.dat") + " --label 'My Disc'");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, ""); // no terminal: no progress bar, nothing to say

    const CommandResult info = RunCommand("isoinfo -d -i " + ShellQuote(image));
    EXPECT_NE(info.output.find("Volume id: My Disc"), std::string::npos) << info.output;
    const std::string out = dir / "x";
    ASSERT_TRUE(test::Succeeded(RunCommand("7z x -y -o" + ShellQuote(out) + " " + ShellQuote(image))));
    EXPECT_EQ(test::ReadWholeFile(out + "/folder/one.txt"), test::ReadWholeFile(dir / "folder/one.txt"));
    EXPECT_EQ(test::ReadWholeFile(out + "/folder/sub/two.bin"), test::ReadWholeFile(dir / "folder/sub/two.bin"));
    EXPECT_EQ(test::ReadWholeFile(out + "/single.dat"), test::ReadWholeFile(dir / "single.dat"));
    // A hard link shares its file's sectors, as peers store it.
    EXPECT_EQ(test::ReadWholeFile(out + "/folder/linked.bin"), test::ReadWholeFile(dir / "folder/sub/two.bin"));
    // Its names are one file to readers that join hard links, and the Rock Ridge link count counts the names the
    // image holds, as xorriso writes it: a name left out on disk is not one.
    EXPECT_TRUE(test::NamesOneFile(image, {"/folder/linked.bin", "/folder/sub/two.bin"}, "/folder/one.txt"));
    EXPECT_TRUE(test::NamesOneFile(image, {"/single.dat"}, "/folder/one.txt"));

    // "." adds the current folder under its own name.
    const std::string dot = dir / "dot.iso";
    ASSERT_EQ(Run(ShellQuote(dot) + " .", "cd " + ShellQuote(dir / "folder") + " && ").exitCode, 0);
    const CommandResult listing = RunCommand("isoinfo -J -l -i " + ShellQuote(dot));
    EXPECT_NE(listing.output.find("Directory listing of /folder/sub/"), std::string::npos) << listing.output;

    // Two sources of one name stay apart in Rock Ridge too: the later one as name~1, as in the Joliet and UDF trees,
    // and a warning says so.
    TARVELIN_REQUIRE_TOOL("bsdtar");
    fs::create_directories(dir / "again");
    test::WriteWholeFile(dir / "again/single.dat", std::string("again\n"));
    const std::string twice = dir / "twice.iso";
    const CommandResult renamed =
        Run(ShellQuote(twice) + " " + ShellQuote(dir / "single.dat") + " " + ShellQuote(dir / "again/single.dat"));
    ASSERT_EQ(renamed.exitCode, 0) << renamed.output;
    EXPECT_NE(renamed.output.find("warning: '" + (dir / "again/single.dat") + "' has the name of an entry added before"
                                  " it to the same folder: the image names it 'single.dat~1'"),
              std::string::npos)
        << renamed.output;
    const std::vector<std::string> paths = test::BsdtarPaths(twice);
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
              (std::set<std::string>{"single.dat", "single.dat~1"}));
    EXPECT_EQ(RunCommand("bsdtar -xOf " + ShellQuote(twice) + " single.dat~1").output, "again\n");
    // Without Rock Ridge the Joliet tree's name is the one readers see, and the one told.
    const CommandResult joliet = Run(ShellQuote(twice) + " " + ShellQuote(dir / "single.dat") + " "
                                     + ShellQuote(dir / "again/single.dat") + " --no-rock");
    ASSERT_EQ(joliet.exitCode, 0) << joliet.output;
    EXPECT_EQ(joliet.output, "tarvelin-cli: warning: '/single.dat' is named 'single~1.dat' in the image: its names"
                             " cannot hold the name as given\n");
    EXPECT_EQ(RunCommand("bsdtar -xOf " + ShellQuote(twice) + " single~1.dat").output, "again\n");
}

// A file or folder is dated by its modification time in every tree, as peers date it and extraction restores it, not by
// when it came to be on this disk: built into a new image in each mode, and added to one.
// Link targets whose SL entries fill the record, one continuation area and several chained ones: each CE entry
// names where the next area was put, so every target reads back whole.
TEST_F(BuildCommand, LinkTargetsOfEveryLengthReadBackWhole)
{
    const auto steps = [](int count) {
        std::string target = "up";
        for (int i = 0; i < count; ++i) {
            target += "/step" + std::to_string(i);
        }
        return target;
    };
    const std::vector<std::string> targets{"near", std::string(255, 'z') + "/" + std::string(255, 'y'), steps(200),
                                           steps(450)};
    fs::create_directories(dir / "links");
    for (std::size_t i = 0; i < targets.size(); ++i) {
        fs::create_symlink(targets[i], dir / ("links/l" + std::to_string(i)));
    }
    ASSERT_TRUE(test::Succeeded(Run(ShellQuote(image) + " " + ShellQuote(dir / "links"))));
    const std::string out = dir / "out";
    ASSERT_TRUE(test::Succeeded(
        RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " extract " + ShellQuote(image) + " -C " + ShellQuote(out))));
    for (std::size_t i = 0; i < targets.size(); ++i) {
        SCOPED_TRACE(targets[i].size());
        EXPECT_EQ(fs::read_symlink(out + "/links/l" + std::to_string(i)).string(), targets[i]);
    }
}

TEST_F(BuildCommand, EveryTreeDatesAnEntryByItsModificationTime)
{
    TARVELIN_REQUIRE_TOOLS("7z", "isoinfo", "genisoimage");
    fs::create_directories(dir / "stage/src/sub");
    test::WriteWholeFile(dir / "stage/src/old.txt", std::string("old\n"));
    test::WriteWholeFile(dir / "stage/src/sub/older.bin", test::RandomBytes(3000, 4));
    test::StampTreeTimes(dir / "stage", 1000000000); // 2001 onwards
    const auto source = test::SnapshotTree(dir / "stage");
    fs::create_directories(dir / "empty");
    test::RunGenisoimage(dir / "empty", dir / "base.iso", "-J -R");

    const std::string src = ShellQuote(dir / "stage/src");
    const std::pair<std::string, std::string> cases[] = {
        {"build.iso", "build {} " + src},
        {"plain.iso", "build {} " + src + " --no-rock"},
        {"udf.iso", "build {} " + src + " --udf"}, // 7-Zip reads its UDF tree
        {"base.iso", "add {} " + src},
    };
    for (const auto& [name, command] : cases) {
        SCOPED_TRACE(command);
        const std::string made = dir / name;
        std::string line = command;
        line.replace(line.find("{}"), 2, ShellQuote(made));
        ASSERT_TRUE(test::Succeeded(RunCommand(test::CliLine(line, "UTC"))));
        const auto sevenZip = test::SevenZipDates(made, "UTC");
        const auto joliet = test::IsoinfoDatedListing(made, "-J");
        ASSERT_EQ(sevenZip.size(), source.size());
        for (const auto& [path, entry] : source) {
            SCOPED_TRACE(path);
            const std::string when = test::FormatInZone(entry.modified, "UTC");
            EXPECT_EQ(sevenZip.count(path) ? sevenZip.at(path).substr(0, 19) : "missing", when); // UDF: to the µs
            EXPECT_EQ(joliet.count(path) ? joliet.at(path).day : "missing", when.substr(0, 10));
        }
    }
}

// Each failure says why and leaves no image: usage errors (64), a missing source, an unwritable output, a file of 4 GiB
// inside a folder, a full disk (ulimit -f counts 1024-byte blocks here: writes beyond 200 KB fail).
TEST_F(BuildCommand, FailuresSayWhyAndLeaveNoImage)
{
    MakeSources();
    fs::create_directories(dir / "big");
    fs::create_directories(dir / "huge/sub");
    test::WriteWholeFile(dir / "big/big.bin", test::RandomBytes(400000, 4));
    test::WriteSparseFile(dir / "huge/sub/huge.bin", {1}, std::uint64_t{4} << 30);
    const std::string out = ShellQuote(image) + " ";
    const std::string folder = ShellQuote(dir / "folder");
    test::ExpectRefusals({
        {"build", 64},
        {"build " + ShellQuote(image), 64},
        {"build " + out + folder + " --bogus", 64},
        {"build " + out + folder + " --label", 64},
        {"build " + out + folder + " --label 'a label far too long'", 64, "too long"},
        {"build " + out + folder + " " + ShellQuote(dir / "nothing-here"), 1, "nothing-here"},
        {"build " + ShellQuote(dir / "no/such/folder/out.iso") + " " + folder, 1, "no/such/folder/out.iso"},
        {"build " + out + ShellQuote(dir / "huge"), 1,
         "huge.bin': it is 4294967296 bytes; an ISO 9660 image cannot hold a file of 4 GiB"},
        {"build " + out + ShellQuote(dir / "big"), 1, "File too large", "trap '' XFSZ; ulimit -f 200; "},
    }, [&](const test::Refusal&) { EXPECT_FALSE(fs::exists(image)); });
}

// Ctrl+C, and the SIGTERM of a shutdown, stop the build in order.
TEST_F(BuildCommand, InterruptCancelsCleanly)
{
    // 2 GiB, mostly a hole: long enough to be interrupted in the middle.
    test::WriteSparseFile(dir / "big.bin", test::RandomBytes(4096, 5), std::uint64_t{2} << 30);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int messages = ::open((dir / "messages").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(messages, STDERR_FILENO);
            ::execl(TARVELIN_CLI_PATH, TARVELIN_CLI_PATH, "build", image.c_str(), (dir / "big.bin").c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Wait until data is being copied into the image's temporary file, then send the signal.
        const std::string writing = dir / platform::TemporaryNameFor("out.iso", static_cast<std::uint64_t>(child));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        std::error_code error;
        while (std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(writing, error) && fs::file_size(writing, error) > (std::uint64_t{1} << 20)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the build did not end by itself";
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_FALSE(fs::exists(image));
        EXPECT_FALSE(fs::exists(writing));
        const std::vector<std::uint8_t> messages = test::ReadWholeFile(dir / "messages");
        EXPECT_NE(std::string(messages.begin(), messages.end()).find("cancelled"), std::string::npos);
    }
}

} // namespace
} // namespace tarvelin
