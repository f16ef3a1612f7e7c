// tarvelin-cli info: the detected layout of real images, and exit codes.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::CommandResult;
using test::InfoField;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteWholeFile;

CommandResult RunInfo(const std::string& arguments) { return test::RunCli("info " + arguments); }

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

TEST_F(InfoCommandTest, LayoutsOfPlainRawAndHeadedImagesAndTheDataFileBehindACueSheet)
{
    const std::string mode1 = dir_ / "mode1.bin";
    const std::string mode2 = dir_ / "mode2.bin";
    test::MakeRawBin(iso_, mode1, test::RawForm::Mode1);
    test::MakeRawBin(iso_, mode2, test::RawForm::Mode2Form1);
    const std::string sheet = dir_ / "mode1.cue";
    WriteWholeFile(sheet, std::string("FILE \"mode1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"));
    // Raw sectors behind 300 bytes of something else: found by a scan.
    const std::string headed = dir_ / "headed.img";
    Bytes image(300, 0x5A);
    const Bytes raw = test::EncodeRawImage(test::ReadWholeFile(iso_), test::RawForm::Mode1);
    image.insert(image.end(), raw.begin(), raw.end());
    WriteWholeFile(headed, image);

    const struct {
        std::string image;
        std::vector<std::pair<const char*, std::string>> fields;
    } cases[] = {
        {iso_, {{"data file", iso_}, {"layout", "probe 1 (plain ISO)"}, {"base offset", "0"}, {"first sector", "0"},
                {"sector size", "2048"}, {"data offset", "0"}, {"tail size", "0"}, {"track mode", "0"},
                {"access", "read-write"}}},
        {sheet, {{"image", sheet}, {"data file", mode1}, {"layout", "probe 2 (raw, Mode 1 sectors)"},
                 {"sector size", "2352"}, {"data offset", "16"}, {"tail size", "288"}, {"track mode", "1"}}},
        {mode2, {{"layout", "probe 3 (raw, Mode 2 Form 1 sectors)"}, {"data offset", "24"}, {"tail size", "280"},
                 {"track mode", "2"}}},
        {headed, {{"layout", "probe 4 (found by scan)"}, {"base offset", std::to_string(300 + 16 * 2352 + 16)},
                  {"first sector", "16"}, {"sector size", "2352"}, {"tail size", "304"}, {"track mode", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const CommandResult result = RunInfo(ShellQuote(c.image));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(InfoField(result.output, "logical sectors"), isoSectors_);
        for (const auto& [name, value] : c.fields) {
            EXPECT_EQ(InfoField(result.output, name), value) << name;
        }
    }
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
    const CommandResult result = RunCommand(prefix + test::CliLine("info " + ShellQuote(iso_)));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(InfoField(result.output, "access"), "read-only");
    EXPECT_EQ(InfoField(result.output, "layout"), "probe 1 (plain ISO)");
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
