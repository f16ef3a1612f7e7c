// tarvelin-cli cat, boot save and the descriptor lines of info, on images
// made by genisoimage and xorriso (no-emulation, 1.44 MB floppy and hard disk
// emulation El Torito), their raw forms, and a boot catalog damaged here.
//
//   genisoimage -input-charset utf-8 -J -R [-no-pad] / without -J
//   xorriso -as mkisofs -J -R -b boot.img -no-emul-boot -boot-load-size 4
//   xorriso -as mkisofs -J -R -b boot.img           (1474560-byte boot.img)
//   xorriso -as mkisofs -J -b disk.img -hard-disk-boot

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
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
using test::TempDir;

// A 32 KiB disk image whose MBR has one bootable partition, as hard disk
// emulation wants.
Bytes HardDiskImage()
{
    Bytes disk = test::RandomBytes(64 * 512, 31);
    std::fill(disk.begin() + 446, disk.begin() + 510, 0);
    const std::uint8_t partition[16] = {0x80, 0, 2, 0, 0x83, 0, 0, 0, 1, 0, 0, 0, 63, 0, 0, 0};
    std::copy(std::begin(partition), std::end(partition), disk.begin() + 446);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    return disk;
}

class ReadCommandsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!test::ToolAvailable("genisoimage") || !test::ToolAvailable("xorriso")) {
            return;
        }
        dir_ = std::make_unique<TempDir>();
        fs::create_directories(At("tree/docs"));
        test::WriteWholeFile(At("tree/big.bin"), test::RandomBytes(2 * 1024 * 1024 + 512 * 1024 + 7, 41));
        test::WriteWholeFile(At("tree/empty.dat"), Bytes{});
        test::WriteWholeFile(At("tree/docs/Note.txt"), std::string("a note\n"));
        test::RunGenisoimage(At("tree"), At("plain.iso"), "-J -R");
        test::RunGenisoimage(At("tree"), At("primary.iso"), "");
        test::MakeRawBin(At("plain.iso"), At("plain-mode2.bin"), test::RawForm::Mode2Form1);

        fs::create_directories(At("noemul/sub"));
        test::WriteWholeFile(At("noemul/boot.img"), test::RandomBytes(5000, 42));
        test::WriteWholeFile(At("noemul/sub/file.txt"), std::string("beside the boot image\n"));
        test::RunXorrisoMkisofs(At("noemul"), At("noemul.iso"), "-J -R -b boot.img -no-emul-boot -boot-load-size 4");
        fs::create_directories(At("floppy"));
        test::WriteWholeFile(At("floppy/boot.img"), test::RandomBytes(1474560, 43));
        test::RunXorrisoMkisofs(At("floppy"), At("floppy.iso"), "-J -R -b boot.img");
        test::MakeRawBin(At("floppy.iso"), At("floppy-mode1.bin"), test::RawForm::Mode1);
        fs::create_directories(At("harddisk"));
        test::WriteWholeFile(At("harddisk/disk.img"), HardDiskImage());
        test::RunXorrisoMkisofs(At("harddisk"), At("harddisk.iso"), "-J -b disk.img -hard-disk-boot");
    }

    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        TARVELIN_REQUIRE_TOOL("xorriso");
        ASSERT_NE(dir_, nullptr);
    }

    static std::string At(const std::string& name) { return *dir_ / name; }

    TempDir out_;
    static std::unique_ptr<TempDir> dir_;
};

std::unique_ptr<TempDir> ReadCommandsTest::dir_;

class CliCatTest : public ReadCommandsTest {};
class CliBootSaveTest : public ReadCommandsTest {};
class InfoDescriptorsTest : public ReadCommandsTest {};

TEST_F(CliCatTest, WritesTheFileBytesAndNothingElse)
{
    for (const char* image : {"plain.iso", "plain-mode2.bin", "primary.iso"}) {
        SCOPED_TRACE(image);
        const std::string path = std::string(image) == "primary.iso" ? "BIG.BIN" : "big.bin";
        const std::string copy = out_ / "big.out";
        const CommandResult result =
            RunCommand(CliLine("cat " + ShellQuote(At(image)) + " " + path + " > " + ShellQuote(copy)));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(test::ReadWholeFile(copy), test::ReadWholeFile(At("tree/big.bin")));
    }
    EXPECT_EQ(test::RunForOutput(CliLine("cat " + ShellQuote(At("plain.iso")) + " /docs/note.TXT")), "a note\n");
    int status = -1;
    EXPECT_EQ(test::RunForOutput(CliLine("cat " + ShellQuote(At("plain.iso")) + " empty.dat"), &status), "");
    EXPECT_EQ(status, 0);
}

TEST_F(CliBootSaveTest, EachBootKindSavesTheBootFileGivenToXorriso)
{
    const struct {
        const char* image;
        const char* bootFile;
    } cases[] = {
        {"noemul.iso", "noemul/boot.img"},         // no emulation: the whole file, not just the sectors loaded
        {"floppy.iso", "floppy/boot.img"},         // 1.44 MB floppy emulation
        {"floppy-mode1.bin", "floppy/boot.img"},   // the same behind raw sectors
        {"harddisk.iso", "harddisk/disk.img"},     // hard disk emulation: the whole disk image file
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.image);
        const std::string saved = out_ / (std::string(item.image) + ".boot");
        const CommandResult result = RunCommand(CliLine("boot save " + ShellQuote(At(item.image)) + " " + ShellQuote(saved)));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(test::ReadWholeFile(saved), test::ReadWholeFile(At(item.bootFile)));
    }
}

TEST_F(ReadCommandsTest, FailuresSayWhyAndWriteNothing)
{
    const std::string plain = ShellQuote(At("plain.iso"));
    const std::string noemul = ShellQuote(At("noemul.iso"));
    const std::string saved = out_ / "boot.img";
    const struct {
        std::string arguments;
        int exitCode;
        const char* says;
    } cases[] = {
        {"cat " + plain + " docs", 1, "'docs' is a folder"},
        {"cat " + plain + " /", 1, "is a folder"},
        {"cat " + plain + " docs/missing.txt", 1, "'/docs/missing.txt' not found"},
        {"cat " + plain, 64, ""},
        {"cat " + plain + " a b", 64, ""},
        {"boot save " + plain + " " + ShellQuote(saved), 1, "has no boot image"},
        {"boot save " + noemul + " " + ShellQuote(out_ / "no/such/folder/b"), 1, "no/such/folder/b"},
        {"boot " + noemul, 64, ""},
        {"boot burn " + noemul + " x", 64, ""},
        {"boot save " + noemul, 64, ""},
    };
    for (const auto& c : cases) {
        const CommandResult result = RunCommand(CliLine(c.arguments));
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
        EXPECT_TRUE(Contains(result.output, c.says)) << c.arguments << "\n" << result.output;
    }
    EXPECT_FALSE(fs::exists(saved));
}

// A boot record whose catalog no longer checks out: sector 0 must not be
// handed out as the boot image.
TEST_F(CliBootSaveTest, ADamagedCatalogIsNamedAndSavesNoFile)
{
    const std::string saved = out_ / "boot.img";
    const std::string damaged = out_ / "damaged.iso";
    fs::copy_file(At("noemul.iso"), damaged);
    const std::string info = test::RunForOutput(CliLine("info " + ShellQuote(damaged)));
    const std::uint32_t catalog = static_cast<std::uint32_t>(std::stoul(InfoField(info, "boot catalog").substr(7)));
    Bytes image = test::ReadWholeFile(damaged);
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(catalog) * 2048, 32, 0);
    test::WriteWholeFile(damaged, image);
    const CommandResult result = RunCommand(CliLine("boot save " + ShellQuote(damaged) + " " + ShellQuote(saved)));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(Contains(result.output, "boot catalog is damaged")) << result.output;
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_EQ(InfoField(test::RunForOutput(CliLine("info " + ShellQuote(damaged))), "boot catalog"),
              "sector " + std::to_string(catalog) + " (damaged: its validation entry does not check out)");
}

TEST_F(InfoDescriptorsTest, DescriptorSetAndJoliet)
{
    std::string output = test::RunForOutput(CliLine("info " + ShellQuote(At("plain.iso"))));
    EXPECT_EQ(InfoField(output, "descriptors"), "3");
    EXPECT_EQ(InfoField(output, "primary"), "yes");
    EXPECT_EQ(InfoField(output, "joliet"), "yes, level 3 (sector 17)");
    EXPECT_EQ(InfoField(output, "boot record"), "no");
    EXPECT_EQ(InfoField(output, "boot catalog"), "<missing>");

    output = test::RunForOutput(CliLine("info " + ShellQuote(At("primary.iso"))));
    EXPECT_EQ(InfoField(output, "descriptors"), "2");
    EXPECT_EQ(InfoField(output, "joliet"), "no");

    // The raw form answers as the plain one.
    output = test::RunForOutput(CliLine("info " + ShellQuote(At("plain-mode2.bin"))));
    EXPECT_EQ(InfoField(output, "descriptors"), "3");
    EXPECT_EQ(InfoField(output, "joliet"), "yes, level 3 (sector 17)");
}

TEST_F(InfoDescriptorsTest, BootRecordAgreesWithIsoinfo)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const struct {
        const char* image;
        const char* media;
    } cases[] = {
        {"noemul.iso", "0 (no emulation)"},
        {"floppy.iso", "2 (1.44 MB diskette)"},
        {"floppy-mode1.bin", "2 (1.44 MB diskette)"},
        {"harddisk.iso", "4 (hard disk)"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.image);
        const std::string output = test::RunForOutput(CliLine("info " + ShellQuote(At(item.image))));
        EXPECT_EQ(InfoField(output, "descriptors"), "4");
        EXPECT_EQ(InfoField(output, "boot record"), "yes");
        EXPECT_EQ(InfoField(output, "boot media"), item.media);

        // isoinfo: "... boot catalog is in sector 33", "Nsect 4", "Bootoff 22 34".
        const std::string peer = test::RunForOutput("isoinfo -d -i " + ShellQuote(At(item.image).ends_with(".bin") ? At("floppy.iso") : At(item.image)));
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
