// tarvelin-cli info: the detected layout of real images, and exit codes.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::CommandResult;
using test::InfoField;
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
        {headed, {{"layout", "probe 4 (found by scan)"}, {"base offset", std::to_string(300 + 16 * 2352)},
                  {"first sector", "16"}, {"sector size", "2352"}, {"data offset", "16"}, {"tail size", "288"},
                  {"track mode", "1"}}},
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

TEST_F(InfoCommandTest, FailuresAndTheirExitCodes)
{
    WriteWholeFile(dir_ / "notes.txt", test::RandomBytes(100000, 5));
    WriteWholeFile(dir_ / "empty.cue", std::string("REM no file\n"));
    // A data track behind an audio track that the file, cut short, no longer holds.
    WriteWholeFile(dir_ / "cut.bin", test::RandomBytes(2352 * 100, 6));
    WriteWholeFile(dir_ / "cut.cue", std::string("FILE \"cut.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                 "  TRACK 02 MODE1/2352\n    INDEX 01 00:04:00\n"));
    test::ExpectRefusals({
        {"info " + ShellQuote(dir_ / "notes.txt"), 2, "no ISO 9660 volume found"},
        {"info " + ShellQuote(dir_ / "missing.iso"), 1, "missing.iso"},
        {"info " + ShellQuote(dir_ / "empty.cue"), 1, "FILE"},
        {"info " + ShellQuote(dir_ / "cut.cue"), 2, "data track at byte 705600 of '" + dir_ / "cut.bin"
                                                     + "', which ends at byte 235200: the file is shorter than the sheet says"},
        {"info", 64},
        {"info " + ShellQuote(iso_) + " " + ShellQuote(iso_), 64},
        // Standard output on a full disk: the report is lost, which is no success.
        {"info " + ShellQuote(iso_) + " >/dev/full; }", 1, "cannot write to standard output", "{ "},
    });
    EXPECT_FALSE(test::PathPresent(dir_ / "missing.iso"));
}

} // namespace
} // namespace tarvelin
