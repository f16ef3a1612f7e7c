// tarvelin-cli info: the detected layout of real images, and exit codes.

#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteWholeFile;

CommandResult RunInfo(const std::string& arguments)
{
    return RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " info " + arguments);
}

// The value of the "name:" line of the output, trimmed; "<missing>" when absent.
std::string Field(const std::string& output, const std::string& name)
{
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with(name + ":")) {
            const std::size_t start = line.find_first_not_of(' ', name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "<missing>";
}

class InfoCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        test::MakeFolderTree(dir_ / "tree");
        iso_ = dir_ / "volume.iso";
        test::MakeIsoWithGenisoimage(dir_ / "tree", iso_);
        isoSectors_ = std::to_string(test::ReadWholeFile(iso_).size() / test::kLogicalSectorSize);
    }

    TempDir dir_;
    std::string iso_;
    std::string isoSectors_;
};

TEST_F(InfoCommandTest, PlainIso)
{
    const CommandResult result = RunInfo(ShellQuote(iso_));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Field(result.output, "data file"), iso_);
    EXPECT_EQ(Field(result.output, "layout"), "probe 1 (plain ISO)");
    EXPECT_EQ(Field(result.output, "base offset"), "0");
    EXPECT_EQ(Field(result.output, "first sector"), "0");
    EXPECT_EQ(Field(result.output, "sector size"), "2048");
    EXPECT_EQ(Field(result.output, "data offset"), "0");
    EXPECT_EQ(Field(result.output, "tail size"), "0");
    EXPECT_EQ(Field(result.output, "track mode"), "0");
    EXPECT_EQ(Field(result.output, "logical sectors"), isoSectors_);
    EXPECT_EQ(Field(result.output, "access"), "read-write");
}

TEST_F(InfoCommandTest, RawImagesAndTheDataFileBehindACueSheet)
{
    const std::string mode1 = dir_ / "mode1.bin";
    const std::string mode2 = dir_ / "mode2.bin";
    test::MakeRawBin(iso_, mode1, test::RawForm::Mode1);
    test::MakeRawBin(iso_, mode2, test::RawForm::Mode2Form1);
    const std::string sheet = dir_ / "mode1.cue";
    WriteWholeFile(sheet, std::string("FILE \"mode1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"));

    CommandResult result = RunInfo(ShellQuote(sheet));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Field(result.output, "image"), sheet);
    EXPECT_EQ(Field(result.output, "data file"), mode1);
    EXPECT_EQ(Field(result.output, "layout"), "probe 2 (raw, Mode 1 sectors)");
    EXPECT_EQ(Field(result.output, "sector size"), "2352");
    EXPECT_EQ(Field(result.output, "data offset"), "16");
    EXPECT_EQ(Field(result.output, "tail size"), "288");
    EXPECT_EQ(Field(result.output, "track mode"), "1");
    EXPECT_EQ(Field(result.output, "logical sectors"), isoSectors_);

    result = RunInfo(ShellQuote(mode2));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Field(result.output, "layout"), "probe 3 (raw, Mode 2 Form 1 sectors)");
    EXPECT_EQ(Field(result.output, "data offset"), "24");
    EXPECT_EQ(Field(result.output, "tail size"), "280");
    EXPECT_EQ(Field(result.output, "track mode"), "2");
}

TEST_F(InfoCommandTest, LayoutFoundByScan)
{
    const std::string path = dir_ / "headed.img";
    Bytes image(300, 0x5A);
    const Bytes raw = test::EncodeRawImage(test::ReadWholeFile(iso_), test::RawForm::Mode1);
    image.insert(image.end(), raw.begin(), raw.end());
    WriteWholeFile(path, image);

    const CommandResult result = RunInfo(ShellQuote(path));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Field(result.output, "layout"), "probe 4 (found by scan)");
    EXPECT_EQ(Field(result.output, "base offset"), std::to_string(300 + 16 * 2352 + 16));
    EXPECT_EQ(Field(result.output, "first sector"), "16");
    EXPECT_EQ(Field(result.output, "sector size"), "2352");
    EXPECT_EQ(Field(result.output, "tail size"), "304");
    EXPECT_EQ(Field(result.output, "track mode"), "1");
    EXPECT_EQ(Field(result.output, "logical sectors"), isoSectors_);
}

TEST_F(InfoCommandTest, ReadOnlyImage)
{
    ASSERT_EQ(::chmod(iso_.c_str(), 0444), 0);
    std::string prefix;
    if (::geteuid() == 0) {
        // Root ignores permission bits; look as an ordinary user.
        TARVELIN_REQUIRE_TOOL("setpriv");
        ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (RunCommand(prefix + "test -x " + ShellQuote(TARVELIN_CLI_PATH)).exitCode != 0) {
            GTEST_SKIP() << "the command-line program cannot be run by an unprivileged user here";
        }
    }
    const CommandResult result = RunCommand(prefix + ShellQuote(TARVELIN_CLI_PATH) + " info " + ShellQuote(iso_));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Field(result.output, "access"), "read-only");
    EXPECT_EQ(Field(result.output, "layout"), "probe 1 (plain ISO)");
}

TEST_F(InfoCommandTest, FailuresAndTheirExitCodes)
{
    const std::string text = dir_ / "notes.txt";
    WriteWholeFile(text, test::RandomBytes(100000, 5));
    CommandResult result = RunInfo(ShellQuote(text));
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find("no ISO 9660 volume found"), std::string::npos) << result.output;

    const std::string missing = dir_ / "missing.iso";
    result = RunInfo(ShellQuote(missing));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("missing.iso"), std::string::npos) << result.output;
    EXPECT_EQ(::access(missing.c_str(), F_OK), -1);

    const std::string sheet = dir_ / "empty.cue";
    WriteWholeFile(sheet, std::string("REM no file\n"));
    result = RunInfo(ShellQuote(sheet));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("FILE"), std::string::npos) << result.output;

    EXPECT_EQ(RunInfo("").exitCode, 64);
    EXPECT_EQ(RunInfo(ShellQuote(iso_) + " " + ShellQuote(iso_)).exitCode, 64);
}

} // namespace
} // namespace tarvelin
