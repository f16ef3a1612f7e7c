// tarvelin-cli cat, boot save and info on the tricky images (plain, raw, behind a header or a CUE sheet, and El Torito
// of each emulation), a boot catalog damaged here, and the exit codes of their failures.

#include "cli/tricky_images.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::CliLine;
using test::CommandResult;
using test::Contains;
using test::InfoField;
using test::RunCommand;
using test::ShellQuote;

class ReadCommandsTest : public test::TrickyImagesTest {
protected:
    static std::string Info(const std::string& image) { return test::CliOutput("info " + ShellQuote(At(image))); }

    test::TempDir out_;
};

TEST_F(ReadCommandsTest, CatWritesTheFileBytesAndNothingElse)
{
    for (const char* image : {"jr.iso", "jr-mode2.bin", "primary.iso"}) {
        SCOPED_TRACE(image);
        const std::string path = std::string(image) == "primary.iso" ? "SIZES/CHUNKS.BIN" : "sizes/chunks.bin";
        const std::string copy = out_ / "big.out";
        const CommandResult result =
            RunCommand(CliLine("cat " + ShellQuote(At(image)) + " " + path + " > " + ShellQuote(copy)));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(test::ReadWholeFile(copy), test::ReadWholeFile(At("tree/sizes/chunks.bin")));
    }
    const Bytes one = test::ReadWholeFile(At("tree/sizes/one.bin")); // found without regard to case
    EXPECT_EQ(test::CliOutput("cat " + ShellQuote(At("jr.iso")) + " /Sizes/One.BIN"),
              std::string(one.begin(), one.end()));
    EXPECT_EQ(test::CliOutput("cat " + ShellQuote(At("jr.iso")) + " empty.dat"), "");
}

TEST_F(ReadCommandsTest, LayoutsOfPlainRawAndHeadedImagesAndTheDataFileBehindACueSheet)
{
    const std::string sheet = At("jr-mode1.cue");
    test::WriteWholeFile(sheet,
                         std::string("FILE \"jr-mode1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"));
    // A sheet that calls the same file an audio track: its volume is still found, with a warning.
    const std::string audio = At("audio.cue");
    test::WriteWholeFile(audio, std::string("FILE \"jr-mode1.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"));
    // Raw sectors behind 300 bytes of something else: found by a scan.
    const std::string headed = out_ / "headed.img";
    Bytes image(300, 0x5A);
    const Bytes raw = test::EncodeRawImage(test::ReadWholeFile(At("jr.iso")), test::RawForm::Mode1);
    image.insert(image.end(), raw.begin(), raw.end());
    test::WriteWholeFile(headed, image);
    const struct {
        std::string image;
        std::vector<std::pair<const char*, std::string>> fields;
    } cases[] = {
        {At("jr.iso"), {{"data file", At("jr.iso")}, {"layout", "probe 1 (plain ISO)"}, {"base offset", "0"},
                        {"first sector", "0"}, {"sector size", "2048"}, {"data offset", "0"}, {"tail size", "0"},
                        {"track mode", "0"}, {"access", "read-write"}}},
        {sheet, {{"image", sheet}, {"data file", At("jr-mode1.bin")}, {"layout", "probe 2 (raw, Mode 1 sectors)"},
                 {"sector size", "2352"}, {"data offset", "16"}, {"tail size", "288"}, {"track mode", "1"}}},
        {audio, {{"data file", At("jr-mode1.bin")}, {"layout", "probe 2 (raw, Mode 1 sectors)"}}},
        {At("jr-mode2.bin"), {{"layout", "probe 3 (raw, Mode 2 Form 1 sectors)"}, {"data offset", "24"},
                              {"tail size", "280"}, {"track mode", "2"}}},
        {headed, {{"layout", "probe 4 (found by scan)"}, {"base offset", std::to_string(300 + 16 * 2352)},
                  {"first sector", "16"}, {"sector size", "2352"}, {"data offset", "16"}, {"tail size", "288"},
                  {"track mode", "1"}}},
    };
    const std::string sectors = std::to_string(std::filesystem::file_size(At("jr.iso")) / 2048);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const CommandResult result = test::RunCli("info " + ShellQuote(c.image));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(InfoField(result.output, "logical sectors"), sectors);
        for (const auto& [name, value] : c.fields) {
            EXPECT_EQ(InfoField(result.output, name), value) << name;
        }
        for (const std::string& output : {result.output, test::RunCli("ls " + ShellQuote(c.image)).output}) {
            EXPECT_EQ(Contains(output, "warning: the CUE sheet '" + audio + "' names no data track"), c.image == audio)
                << output;
        }
    }
}

// Two raw sectors of a file whose checks fail: one with a changed byte of user data, one left blank as a drive leaves a
// sector it could not read. cat, extract and bin2iso give the bytes as stored, say how many sectors were damaged and
// the first, and end 0, as a rip that could not read every sector does; ls and info too, for damaged metadata. The sound
// image draws no warning.
TEST_F(ReadCommandsTest, DamagedRawSectorsAreGivenAsStoredWithAWarning)
{
    const std::uint32_t extent = test::ParseLongListing(test::CliOutput("ls -l -R " + ShellQuote(At("jr.iso"))))
                                     .at("sizes/chunks.bin")
                                     .extent;
    Bytes raw = test::ReadWholeFile(At("jr-mode1.bin"));
    Bytes iso = test::ReadWholeFile(At("jr.iso"));
    Bytes file = test::ReadWholeFile(At("tree/sizes/chunks.bin"));
    ASSERT_GT(file.size(), 4u * 2048);
    const std::size_t changed = 2048 + 100;                          // in the file's second sector
    raw[std::size_t{extent + 1} * 2352 + 16 + 100] ^= 0x20;
    std::fill_n(raw.begin() + std::ptrdiff_t{extent + 3} * 2352, 2352, 0); // its fourth
    for (Bytes* plain : {&iso, &file}) {
        const std::size_t at = plain == &iso ? std::size_t{extent} * 2048 : 0;
        (*plain)[at + changed] ^= 0x20;
        std::fill_n(plain->begin() + std::ptrdiff_t(at + 3 * 2048), 2048, 0);
    }
    const std::string damaged = out_ / "damaged.bin";
    test::WriteWholeFile(damaged, raw);
    const std::string warning = "warning: '" + damaged + "': 2 sectors are damaged, the first sector "
                                + std::to_string(extent + 1) + " (no sync pattern";
    const struct {
        std::string arguments;
        std::string output; // the file the bytes go to
        const Bytes& expected;
    } cases[] = {
        {"cat " + ShellQuote(damaged) + " sizes/chunks.bin > " + ShellQuote(out_ / "cat.out"), out_ / "cat.out", file},
        {"extract " + ShellQuote(damaged) + " sizes/chunks.bin -C " + ShellQuote(out_ / "x"), out_ / "x/chunks.bin",
         file},
        {"bin2iso " + ShellQuote(damaged) + " " + ShellQuote(out_ / "out.iso"), out_ / "out.iso", iso},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        // Grouped, so that cat's warnings reach the output and not the file its bytes go to.
        const CommandResult result = RunCommand("{ " + CliLine(c.arguments) + "; }");
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_TRUE(Contains(result.output, warning)) << result.output;
        EXPECT_TRUE(test::ReadWholeFile(c.output) == c.expected);
    }
    const CommandResult sound = test::RunCli("bin2iso " + ShellQuote(At("jr-mode1.bin")) + " " + ShellQuote(out_ / "sound.iso"));
    EXPECT_EQ(sound.exitCode, 0);
    EXPECT_FALSE(Contains(sound.output, "warning")) << sound.output;

    // A folder's sector whose error detection code no longer matches draws the warning from ls and info, which read
    // only metadata.
    const std::uint32_t folder =
        test::ParseLongListing(test::CliOutput("ls -l -R " + ShellQuote(At("jr.iso")))).at("sizes/").extent;
    Bytes metadata = test::ReadWholeFile(At("jr-mode1.bin"));
    metadata[std::size_t{folder} * 2352 + 16 + 2048] ^= 0x01;
    const std::string folderDamaged = out_ / "folder.bin";
    test::WriteWholeFile(folderDamaged, metadata);
    for (const char* command : {"ls -R ", "info "}) {
        const CommandResult result = test::RunCli(command + ShellQuote(folderDamaged));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_TRUE(Contains(result.output, "warning: '" + folderDamaged + "': sector " + std::to_string(folder)
                                                + " is damaged"))
            << command << result.output;
        EXPECT_FALSE(Contains(test::RunCli(command + ShellQuote(At("jr-mode1.bin"))).output, "warning")) << command;
    }
}

TEST_F(ReadCommandsTest, FailuresSayWhyAndWriteNothing)
{
    const std::string plain = ShellQuote(At("jr.iso"));
    const std::string noemul = ShellQuote(At("noemul.iso"));
    const std::string saved = out_ / "boot.img";
    test::WriteWholeFile(out_ / "notes.txt", test::RandomBytes(100000, 5));
    test::WriteWholeFile(out_ / "empty.cue", std::string("REM no file\n"));
    // A data track behind an audio track that the file, cut short, no longer holds.
    test::WriteWholeFile(out_ / "cut.bin", test::RandomBytes(2352 * 100, 6));
    test::WriteWholeFile(out_ / "cut.cue", std::string("FILE \"cut.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                       "  TRACK 02 MODE1/2352\n    INDEX 01 00:04:00\n"));
    test::ExpectRefusals({
        {"info " + ShellQuote(out_ / "notes.txt"), 2, "no ISO 9660 volume found"},
        {"info " + ShellQuote(out_ / "missing.iso"), 1, "missing.iso"},
        {"info " + ShellQuote(out_ / "empty.cue"), 1, "FILE"},
        {"info " + ShellQuote(out_ / "cut.cue"), 2, "data track at byte 705600 of '" + out_ / "cut.bin"
                                                     + "', which ends at byte 235200: the file is shorter than the sheet says"},
        {"info", 64},
        {"info " + plain + " " + plain, 64},
        // Standard output on a full disk: the report is lost, which is no success.
        {"info " + plain + " >/dev/full; }", 1, "cannot write to standard output", "{ "},
        {"cat " + plain + " b", 1, "'b' is a folder"},
        {"cat " + plain + " /", 1, "is a folder"},
        {"cat " + plain + " docs/missing.txt", 1, "'/docs/missing.txt' not found"},
        {"cat " + plain, 64},
        {"cat " + plain + " a b", 64},
        {"boot save " + plain + " " + ShellQuote(saved), 1, "has no boot image"},
        {"boot save " + noemul + " " + ShellQuote(out_ / "no/such/folder/b"), 1, "no/such/folder/b"},
        {"boot " + noemul, 64},
        {"boot burn " + noemul + " x", 64},
        {"boot save " + noemul, 64},
    });
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_FALSE(fs::exists(out_ / "missing.iso"));
}

// A catalog that no longer checks out, or a sound one whose default entry is empty: sector 0 must not be handed out as
// the boot image. A sound catalog whose default entry loads from beyond the end of the image: what fails says so,
// rather than blame the catalog alone. No boot image's file is written, and the image does not change.
TEST_F(ReadCommandsTest, ADamagedCatalogAnEmptyDefaultEntryOrABootImageOutsideIsNamedAndSavesNoFile)
{
    const std::string saved = out_ / "boot.img";
    const std::string damaged = out_ / "damaged.iso";
    const std::string catalogField = InfoField(Info("noemul.iso"), "boot catalog"); // "sector N"
    const auto catalog = static_cast<std::uint32_t>(std::stoul(catalogField.substr(7)));
    const struct {
        std::size_t offset; // of the bytes set in the catalog
        const char* message;
        const char* info;      // after the catalog's sector; nullptr: not checked
        const char* bootImage; // the "boot image" field, when it is not the sector the image loads
        std::size_t count = 32;
        std::uint8_t value = 0;
        const char* edit = nullptr; // what a save refuses with, when it is asked to check
    } cases[] = {
        {0, "boot catalog is damaged", " (damaged: no validation entry)", nullptr},
        {32, "default entry of the image's boot catalog is empty", "", "none (the default entry is empty)"},
        // A sound validation entry before an entry that is neither bootable nor not.
        {32, "boot catalog is damaged", " (damaged: initial entry has an unknown boot indicator)", nullptr, 1, 0x11},
        // The default entry's load RBA.
        {32 + 8, "or the boot image it names lies outside the image", nullptr, nullptr, 4, 0xFF,
         "or the boot image the catalog names lies outside the image"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.message);
        fs::copy_file(At("noemul.iso"), damaged, fs::copy_options::overwrite_existing);
        Bytes image = test::ReadWholeFile(damaged);
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(catalog * 2048 + row.offset), row.count, row.value);
        test::WriteWholeFile(damaged, image);
        std::vector<test::Refusal> refusals{
            {"boot save " + ShellQuote(damaged) + " " + ShellQuote(saved), 1, row.message}};
        if (row.edit != nullptr) {
            refusals.emplace_back("mkdir " + ShellQuote(damaged) + " new", 1, row.edit);
        }
        test::ExpectRefusals(refusals, [&](const test::Refusal&) {
            EXPECT_FALSE(fs::exists(saved));
            EXPECT_TRUE(test::ReadWholeFile(damaged) == image);
        });
        const std::string info = test::RunForOutput(CliLine("info " + ShellQuote(damaged)));
        if (row.info != nullptr) {
            EXPECT_EQ(InfoField(info, "boot catalog"), "sector " + std::to_string(catalog) + row.info);
        }
        if (row.bootImage != nullptr) {
            EXPECT_EQ(InfoField(info, "boot image"), row.bootImage);
        }
    }
}

// The raw forms answer as the plain ones (Joliet follows a boot record); the boot record's sectors and load
// size are isoinfo's. boot save writes the file given to xorriso: with no emulation the whole file, not just the
// sectors loaded; with hard disk emulation the whole disk image file.
TEST_F(ReadCommandsTest, InfoNamesTheDescriptorSetAndAgreesWithIsoinfoOnTheBootRecordAndBootSaveGivesItsFile)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const struct {
        const char* image;
        const char* descriptors;
        const char* joliet;
        const char* media; // nullptr: no boot record
        const char* peer;  // the plain image isoinfo reads
        const char* bootFile = nullptr;
    } cases[] = {
        {"jr.iso", "3", "yes, level 3 (sector 17)", nullptr, ""},
        {"jr-mode2.bin", "3", "yes, level 3 (sector 17)", nullptr, ""},
        {"primary.iso", "2", "no", nullptr, ""},
        {"noemul.iso", "4", "yes, level 3 (sector 18)", "0 (no emulation)", "noemul.iso", "noemul/boot.img"},
        {"floppy.iso", "4", "yes, level 3 (sector 18)", "2 (1.44 MB diskette)", "floppy.iso", "floppy/boot.img"},
        {"floppy-mode1.bin", "4", "yes, level 3 (sector 18)", "2 (1.44 MB diskette)", "floppy.iso", "floppy/boot.img"},
        {"harddisk.iso", "4", "yes, level 3 (sector 18)", "4 (hard disk)", "harddisk.iso", "harddisk/disk.img"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string output = Info(c.image);
        EXPECT_EQ(InfoField(output, "descriptors"), c.descriptors);
        EXPECT_EQ(InfoField(output, "primary"), "yes");
        EXPECT_EQ(InfoField(output, "udf"), "no");
        EXPECT_EQ(InfoField(output, "joliet"), c.joliet);
        EXPECT_EQ(InfoField(output, "boot record"), c.media == nullptr ? "no" : "yes");
        if (c.media == nullptr) {
            EXPECT_EQ(InfoField(output, "boot catalog"), "<missing>");
            continue;
        }
        EXPECT_EQ(InfoField(output, "boot media"), c.media);
        const std::string saved = out_ / (std::string(c.image) + ".boot");
        EXPECT_EQ(test::CliOutput("boot save " + ShellQuote(At(c.image)) + " " + ShellQuote(saved)), "");
        EXPECT_EQ(test::ReadWholeFile(saved), test::ReadWholeFile(At(c.bootFile)));
        // isoinfo: "... boot catalog is in sector 33", "Nsect 4", "Bootoff 22 34".
        const std::string peer = test::RunForOutput("isoinfo -d -i " + ShellQuote(At(c.peer)));
        const auto after = [&peer](const std::string& label) {
            const std::size_t at = peer.find(label);
            EXPECT_NE(at, std::string::npos) << label << " in\n" << peer;
            return std::istringstream(at == std::string::npos ? "" : peer.substr(at + label.size()));
        };
        unsigned catalogSector = 0, sectors = 0, imageSector = 0;
        std::string hex;
        after("boot catalog is in sector ") >> catalogSector;
        after("Nsect ") >> sectors;
        after("Bootoff ") >> hex >> imageSector;
        EXPECT_EQ(InfoField(output, "boot catalog"), "sector " + std::to_string(catalogSector));
        EXPECT_EQ(InfoField(output, "boot image"), "sector " + std::to_string(imageSector));
        EXPECT_EQ(InfoField(output, "boot load size"),
                  std::to_string(sectors) + (sectors == 1 ? " sector" : " sectors") + " of 512 bytes");
    }
}

} // namespace
} // namespace tarvelin
