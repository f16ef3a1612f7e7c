// tarvelin-cli bin2iso and iso2bin end to end with their exit codes, and the progress bar a terminal gets.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::CommandResult;
using test::ReadWholeFile;
using test::RunCli;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteWholeFile;

// Random sectors with the descriptor heads layout detection looks for, and
// the volume's size in the primary one.
Bytes Volume(std::uint32_t sectors)
{
    Bytes volume = test::RandomBytes(std::size_t{sectors} * 2048, 41);
    for (std::uint32_t sector : {16u, 17u}) {
        std::uint8_t* head = volume.data() + std::size_t{sector} * 2048;
        head[0] = sector == 16 ? 1 : 255;
        std::memcpy(head + 1, "CD001", 5);
    }
    for (int i = 0; i < 4; ++i) {
        volume[16 * 2048 + 80 + i] = volume[16 * 2048 + 87 - i] = static_cast<std::uint8_t>(sectors >> (8 * i));
    }
    return volume;
}

class ConvertCommandTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return ShellQuote(dir_ / name); }

    TempDir dir_;
};

TEST_F(ConvertCommandTest, ConvertsBothWaysWithoutABarOffTheTerminal)
{
    TARVELIN_REQUIRE_TOOL("cueprint");
    const Bytes volume = Volume(100);
    WriteWholeFile(dir_ / "in.iso", volume);

    const CommandResult toBin = RunCli("iso2bin " + Path("in.iso") + " " + Path("out.bin"));
    ASSERT_EQ(toBin.exitCode, 0) << toBin.output;
    EXPECT_NE(toBin.output.find("100 raw sectors"), std::string::npos) << toBin.output;
    EXPECT_EQ(toBin.output.find('\r'), std::string::npos) << "no bar when standard error is no terminal";
    EXPECT_EQ(ReadWholeFile(dir_ / "out.bin").size(), 100u * 2352);
    // The sheet beside the BIN (its text: tests/convert) is one that cuetools' strict reader takes.
    const CommandResult printed = test::RunCommand("cueprint " + Path("out.cue") + " 2>&1");
    EXPECT_EQ(printed.exitCode, 0) << printed.output;
    EXPECT_TRUE(test::Contains(printed.output, "no. of tracks:\t1")) << printed.output;

    // Back through the sheet, as a user would pick it.
    const CommandResult toIso = RunCli("bin2iso " + Path("out.cue") + " " + Path("back.iso"));
    ASSERT_EQ(toIso.exitCode, 0) << toIso.output;
    EXPECT_EQ(toIso.output.find("warning"), std::string::npos) << toIso.output;
    EXPECT_NE(toIso.output.find("100 sectors"), std::string::npos) << toIso.output;
    EXPECT_TRUE(ReadWholeFile(dir_ / "back.iso") == volume);
    // An image cut short converts as far as it goes, both ways, and says so.
    WriteWholeFile(dir_ / "cut.iso", Bytes(volume.begin(), volume.begin() + 60 * 2048));
    for (const char* command : {"bin2iso", "iso2bin"}) {
        const CommandResult cut = RunCli(std::string(command) + " " + Path("cut.iso") + " " + Path("cut.out"));
        EXPECT_EQ(cut.exitCode, 0) << cut.output;
        EXPECT_TRUE(test::Contains(cut.output, "warning: '" + (dir_ / "cut.iso")
                                                   + "' ends 40 sectors before its volume does (the volume has 100)"))
            << cut.output;
    }
    // Into a pipe through the link /dev/stdout: the image alone, its summary
    // on standard error.
    RunCommand("(" + test::CliLine("bin2iso " + Path("out.cue") + " /dev/stdout") + " 2>" + Path("said.txt")
               + "; echo $? >" + Path("status.txt") + ") | cat > " + Path("piped.iso"));
    const Bytes said = ReadWholeFile(dir_ / "said.txt");
    EXPECT_EQ(ReadWholeFile(dir_ / "status.txt"), Bytes({'0', '\n'})) << std::string(said.begin(), said.end());
    EXPECT_TRUE(test::Contains(std::string(said.begin(), said.end()), "100 sectors"));
    EXPECT_TRUE(ReadWholeFile(dir_ / "piped.iso") == volume);
    // A reader that goes early ends the conversion (it waited for ever when
    // the pipe was opened for reading as well), as a failure.
    RunCommand("(" + test::CliLine("bin2iso " + Path("out.cue") + " /dev/stdout") + " 2>/dev/null; echo $? >"
               + Path("status.txt") + ") | head -c 1 >/dev/null");
    EXPECT_NE(ReadWholeFile(dir_ / "status.txt"), Bytes({'0', '\n'}));

    // A sheet written on Windows, naming the BIN with a backslash and in other case, from a folder of its own.
    std::filesystem::create_directories(dir_ / "win");
    WriteWholeFile(dir_ / "win/disc.cue", std::string("FILE \"..\\OUT.BIN\" BINARY\r\n  TRACK 01 MODE1/2352\r\n"));
    ASSERT_TRUE(test::Succeeded(RunCli("bin2iso " + Path("win/disc.cue") + " " + Path("win.iso"))));
    EXPECT_TRUE(ReadWholeFile(dir_ / "win.iso") == volume);
}

TEST_F(ConvertCommandTest, FailuresHaveTheirExitCodeAndReason)
{
    WriteWholeFile(dir_ / "noise.bin", test::RandomBytes(100000, 42));
    WriteWholeFile(dir_ / "raw.bin", test::EncodeRawImage(Volume(30), test::RawForm::Mode1));
    WriteWholeFile(dir_ / "twin.bin", test::EncodeRawImage(Volume(30), test::RawForm::Mode1));
    WriteWholeFile(dir_ / "Twin.bin", test::EncodeRawImage(Volume(30), test::RawForm::Mode1));
    WriteWholeFile(dir_ / "twin.cue", std::string("FILE \"TWIN.BIN\" BINARY\n"));
    const Bytes volume = Volume(30);
    WriteWholeFile(dir_ / "plain.iso", volume);
    const std::string plainSheet = "FILE plain.iso BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                   "  TRACK 02 AUDIO\n    INDEX 01 00:00:30\n";
    WriteWholeFile(dir_ / "plain.cue", plainSheet);
    std::filesystem::create_symlink("plain.iso", dir_ / "alias.iso");
    WriteWholeFile(dir_ / "cut.cue", std::string("FILE plain.iso BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                 "  TRACK 02 MODE1/2048\n    INDEX 01 00:01:00\n"));
    test::ExpectRefusals({
        // The output would replace the file being read, under any name.
        {"bin2iso " + Path("plain.iso") + " " + Path("plain.iso"), 1, "is the source image of the conversion"},
        {"bin2iso " + Path("plain.cue") + " " + Path("alias.iso"), 1, "is the source image of the conversion"},
        {"iso2bin " + Path("plain.cue") + " " + Path("plain.iso"), 1, "is the source image of the conversion"},
        // Nor the sheet it was opened through, which alone holds the tracks behind the data track.
        {"bin2iso " + Path("plain.cue") + " " + Path("plain.cue"), 1, "is the CUE sheet of the source image"},
        {"iso2bin " + Path("plain.cue") + " " + Path("plain.bin"), 1, "is the CUE sheet of the source image"},
        {"bin2iso " + Path("twin.cue") + " " + Path("out.iso"), 1, "several files match 'TWIN.BIN' but for case"},
        {"bin2iso " + Path("missing.bin") + " " + Path("out.iso"), 1, "cannot open"},
        {"bin2iso " + Path("noise.bin") + " " + Path("out.iso"), 2, "no ISO 9660 volume"},
        {"bin2iso " + Path("cut.cue") + " " + Path("out.iso"), 2,
         "data track at byte 176400 of '" + dir_ / "plain.iso" + "', which ends at byte 61440: the file is shorter"},
        {"bin2iso " + Path("raw.bin") + " " + Path("no folder/out.iso"), 1, "no folder"},
        {"iso2bin " + Path("raw.bin") + " " + Path("out.bin"), 1, "not a plain ISO image"},
        {"iso2bin " + Path("plain.iso") + " /dev/null", 1, "is a device or pipe"},
        {"iso2bin " + Path("noise.bin") + " " + Path("out.bin"), 2, "no ISO 9660 volume"},
        {"bin2iso", 64, "usage: tarvelin-cli bin2iso SRC OUT.iso"},
        {"iso2bin " + Path("raw.bin"), 64, "no output file named"},
        {"iso2bin a b c", 64, "too many arguments"},
    });
    EXPECT_NE(::access((dir_ / "out.bin").c_str(), F_OK), 0) << "a refused source leaves no output";
    EXPECT_TRUE(ReadWholeFile(dir_ / "plain.iso") == volume);
    EXPECT_TRUE(ReadWholeFile(dir_ / "plain.cue") == Bytes(plainSheet.begin(), plainSheet.end()));
}

// The long commands show a progress bar on a terminal (off one they are silent: their own tests check that).
TEST_F(ConvertCommandTest, ATerminalGetsAProgressBarOfEachLongCommand)
{
    TARVELIN_REQUIRE_TOOL("script");
    WriteWholeFile(dir_ / "in.iso", Volume(3000));
    std::filesystem::create_directories(dir_ / "folder");
    WriteWholeFile(dir_ / "folder/two.bin", test::RandomBytes(300000, 2));
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"iso2bin " + Path("in.iso") + " " + Path("out.bin"), {"\riso2bin [", "########################################] 100%"}},
        {"build " + Path("built.iso") + " " + Path("folder"), {"building [", "100%"}},
        {"extract " + Path("built.iso") + " -C " + Path("x"), {"100%"}},
    };
    for (const auto& [arguments, shown] : cases) {
        const CommandResult result = RunCommand("script -qec " + ShellQuote(test::CliLine(arguments)) + " /dev/null < /dev/null");
        ASSERT_EQ(result.exitCode, 0) << arguments << "\n" << result.output;
        for (const std::string& part : shown) {
            EXPECT_TRUE(test::Contains(result.output, part)) << arguments << "\n" << result.output;
        }
    }
}

} // namespace
} // namespace tarvelin
