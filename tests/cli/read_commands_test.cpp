// tarvelin-cli cat, boot save and info's descriptor lines on the tricky images (plain, raw and El Torito of each
// emulation), and a boot catalog damaged here.

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
    static std::string Info(const std::string& image) { return test::RunForOutput(CliLine("info " + ShellQuote(At(image)))); }

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
    EXPECT_EQ(test::RunForOutput(CliLine("cat " + ShellQuote(At("jr.iso")) + " /Sizes/One.BIN")),
              std::string(one.begin(), one.end()));
    int status = -1;
    EXPECT_EQ(test::RunForOutput(CliLine("cat " + ShellQuote(At("jr.iso")) + " empty.dat"), &status), "");
    EXPECT_EQ(status, 0);
}

TEST_F(ReadCommandsTest, EachBootKindSavesTheBootFileGivenToXorriso)
{
    const std::pair<const char*, const char*> cases[] = {
        {"noemul.iso", "noemul/boot.img"},       // no emulation: the whole file, not just the sectors loaded
        {"floppy.iso", "floppy/boot.img"},       // 1.44 MB floppy emulation
        {"floppy-mode1.bin", "floppy/boot.img"}, // the same behind raw sectors
        {"harddisk.iso", "harddisk/disk.img"},   // hard disk emulation: the whole disk image file
    };
    for (const auto& [image, bootFile] : cases) {
        SCOPED_TRACE(image);
        const std::string saved = out_ / (std::string(image) + ".boot");
        const CommandResult result = RunCommand(CliLine("boot save " + ShellQuote(At(image)) + " " + ShellQuote(saved)));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(test::ReadWholeFile(saved), test::ReadWholeFile(At(bootFile)));
    }
}

TEST_F(ReadCommandsTest, FailuresSayWhyAndWriteNothing)
{
    const std::string plain = ShellQuote(At("jr.iso"));
    const std::string noemul = ShellQuote(At("noemul.iso"));
    const std::string saved = out_ / "boot.img";
    test::ExpectRefusals({
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
}

// A catalog that no longer checks out, or a sound one whose default entry is empty: sector 0 must not be
// handed out as the boot image.
TEST_F(ReadCommandsTest, ADamagedCatalogOrAnEmptyDefaultEntryIsNamedAndSavesNoFile)
{
    const std::string saved = out_ / "boot.img";
    const std::string damaged = out_ / "damaged.iso";
    const std::string catalogField = InfoField(Info("noemul.iso"), "boot catalog"); // "sector N"
    const auto catalog = static_cast<std::uint32_t>(std::stoul(catalogField.substr(7)));
    const struct {
        std::size_t offset; // of the bytes set in the catalog
        const char* message;
        const char* info;      // after the catalog's sector
        const char* bootImage; // the "boot image" field, when it is not the sector the image loads
        std::size_t count = 32;
        std::uint8_t value = 0;
    } cases[] = {
        {0, "boot catalog is damaged", " (damaged: no validation entry)", nullptr},
        {32, "default entry of the image's boot catalog is empty", "", "none (the default entry is empty)"},
        // A sound validation entry before an entry that is neither bootable nor not.
        {32, "boot catalog is damaged", " (damaged: initial entry has an unknown boot indicator)", nullptr, 1, 0x11},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.message);
        fs::copy_file(At("noemul.iso"), damaged, fs::copy_options::overwrite_existing);
        Bytes image = test::ReadWholeFile(damaged);
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(catalog * 2048 + row.offset), row.count, row.value);
        test::WriteWholeFile(damaged, image);
        const CommandResult result = RunCommand(CliLine("boot save " + ShellQuote(damaged) + " " + ShellQuote(saved)));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(Contains(result.output, row.message)) << result.output;
        EXPECT_FALSE(fs::exists(saved));
        const std::string info = test::RunForOutput(CliLine("info " + ShellQuote(damaged)));
        EXPECT_EQ(InfoField(info, "boot catalog"), "sector " + std::to_string(catalog) + row.info);
        if (row.bootImage != nullptr) {
            EXPECT_EQ(InfoField(info, "boot image"), row.bootImage);
        }
    }
}

// A sound catalog whose default entry loads from beyond the end of the image: what fails says so, rather than blame
// the catalog alone, and neither the boot image's file nor the image changes.
TEST_F(ReadCommandsTest, ABootImageOutsideTheImageIsNamedAsSuch)
{
    const std::string saved = out_ / "boot.img";
    const std::string damaged = out_ / "far.iso";
    const std::string catalogField = InfoField(Info("noemul.iso"), "boot catalog"); // "sector N"
    const auto catalog = static_cast<std::uint32_t>(std::stoul(catalogField.substr(7)));
    fs::copy_file(At("noemul.iso"), damaged, fs::copy_options::overwrite_existing);
    Bytes image = test::ReadWholeFile(damaged);
    const std::size_t loadRba = std::size_t{catalog} * 2048 + 32 + 8;
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(loadRba), 4, 0xFF);
    test::WriteWholeFile(damaged, image);
    test::ExpectRefusals({{"boot save " + ShellQuote(damaged) + " " + ShellQuote(saved), 1,
                           "or the boot image it names lies outside the image"},
                          {"mkdir " + ShellQuote(damaged) + " new", 1,
                           "or the boot image the catalog names lies outside the image"}},
                         [&](const test::Refusal&) {
                             EXPECT_FALSE(fs::exists(saved));
                             EXPECT_TRUE(test::ReadWholeFile(damaged) == image);
                         });
}

// The raw forms answer as the plain ones (Joliet follows a boot record); the boot record's sectors and load
// size are isoinfo's.
TEST_F(ReadCommandsTest, InfoNamesTheDescriptorSetAndAgreesWithIsoinfoOnTheBootRecord)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const struct {
        const char* image;
        const char* descriptors;
        const char* joliet;
        const char* media; // nullptr: no boot record
        const char* peer;  // the plain image isoinfo reads
    } cases[] = {
        {"jr.iso", "3", "yes, level 3 (sector 17)", nullptr, ""},
        {"jr-mode2.bin", "3", "yes, level 3 (sector 17)", nullptr, ""},
        {"primary.iso", "2", "no", nullptr, ""},
        {"noemul.iso", "4", "yes, level 3 (sector 18)", "0 (no emulation)", "noemul.iso"},
        {"floppy.iso", "4", "yes, level 3 (sector 18)", "2 (1.44 MB diskette)", "floppy.iso"},
        {"floppy-mode1.bin", "4", "yes, level 3 (sector 18)", "2 (1.44 MB diskette)", "floppy.iso"},
        {"harddisk.iso", "4", "yes, level 3 (sector 18)", "4 (hard disk)", "harddisk.iso"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string output = Info(c.image);
        EXPECT_EQ(InfoField(output, "descriptors"), c.descriptors);
        EXPECT_EQ(InfoField(output, "primary"), "yes");
        EXPECT_EQ(InfoField(output, "joliet"), c.joliet);
        EXPECT_EQ(InfoField(output, "boot record"), c.media == nullptr ? "no" : "yes");
        if (c.media == nullptr) {
            EXPECT_EQ(InfoField(output, "boot catalog"), "<missing>");
            continue;
        }
        EXPECT_EQ(InfoField(output, "boot media"), c.media);
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
