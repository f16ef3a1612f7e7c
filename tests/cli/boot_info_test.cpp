// boot load and later saves tell a loader where it lies: boot-info-table and GRUB2 boot info checked against xorriso's
// sector byte for byte, and isolinux booted in QEMU until its SAY line shows.

#include "iso/boot_info_table.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::RunCli;
using test::ShellQuote;

constexpr const char* kIsolinux = "/usr/lib/ISOLINUX/isolinux.bin";
constexpr const char* kLdlinux = "/usr/lib/syslinux/modules/bios/ldlinux.c32";
constexpr const char* kMarker = "TARVELIN-ISOLINUX-OK";

std::vector<std::uint8_t> LoaderInImage(const std::string& image, std::size_t length)
{
    return test::ReadFileRange(image, std::uint64_t{test::XorrisoBootImageSector(image)} * 2048, length);
}

// Enough long names that the folders of the image grow over the sectors behind them.
std::string ManyFiles(const test::TempDir& dir)
{
    const std::string folder = dir / "many";
    fs::create_directories(folder);
    for (int i = 0; i < 150; ++i) {
        test::WriteWholeFile(folder + "/a long enough file name to grow the folders " + std::to_string(i), "x");
    }
    return folder;
}

TEST(BootInfo, BootLoadFillsInWhatIsAskedAndNothingElse)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    TARVELIN_REQUIRE_FILE(kIsolinux);
    test::TempDir dir;
    fs::create_directories(dir / "src");
    test::WriteWholeFile(dir / "src/data.bin", test::RandomBytes(30000, 1));
    std::vector<std::uint8_t> noTable = test::RandomBytes(40960, 2); // no plausible table: the descriptor is 0
    std::fill(noTable.begin() + 8, noTable.begin() + 24, 0);
    test::WriteWholeFile(dir / "plain.bin", noTable);

    const struct {
        std::string file;
        std::string options;
        bool table;
        bool grub2;
    } cases[] = {
        {kIsolinux, "", true, false}, // isolinux.bin ships with a plausible table
        {kIsolinux, "--info-table", true, false},
        {dir / "plain.bin", "", false, false},
        {dir / "plain.bin", "--grub2-info", false, true},
        {dir / "plain.bin", "--info-table --grub2-info", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " " + c.options);
        const std::string image = dir / "disc.iso";
        fs::remove(image);
        ASSERT_EQ(RunCli("build " + ShellQuote(image) + " " + ShellQuote(dir / "src/data.bin")).exitCode, 0);
        const std::vector<std::uint8_t> file = test::ReadWholeFile(c.file);
        const CommandResult loaded = RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(c.file) + " " + c.options);
        ASSERT_EQ(loaded.exitCode, 0) << loaded.output;

        const std::uint32_t sector = test::XorrisoBootImageSector(image);
        const std::vector<std::uint8_t> placed = LoaderInImage(image, file.size());
        EXPECT_EQ(iso::HasBootInfoTable(placed, sector), c.table);
        EXPECT_EQ(iso::HasGrub2BootInfo(placed, sector), c.grub2);
        std::vector<std::uint8_t> expected = file; // every other byte as on disk
        if (c.grub2) {
            iso::PatchGrub2BootInfo(expected, sector);
        }
        if (c.table) {
            iso::PatchBootInfoTable(expected, sector);
        }
        EXPECT_TRUE(placed == expected);
        EXPECT_TRUE(test::ReadWholeFile(c.file) == file); // the file on disk is left alone
    }

    // Fields a loader cannot hold are refused, and the image stays as it was, its free sectors too
    // (those data.bin left to a smaller loader, where a save puts the next loaded one).
    const std::string image = dir / "disc.iso";
    fs::remove(image);
    ASSERT_EQ(RunCli("build " + ShellQuote(image) + " " + ShellQuote(dir / "src/data.bin")).exitCode, 0);
    test::WriteWholeFile(dir / "small.bin", test::RandomBytes(4096, 4));
    ASSERT_EQ(RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(dir / "small.bin")).exitCode, 0);
    test::WriteWholeFile(dir / "floppy.img", std::vector<std::uint8_t>(1474560, 0));
    test::WriteWholeFile(dir / "short.bin", test::RandomBytes(2555, 3));
    const std::vector<std::uint8_t> before = test::ReadWholeFile(image);
    const std::string load = "boot load " + ShellQuote(image) + " ";
    test::ExpectRefusals({{load + ShellQuote(dir / "floppy.img") + " --info-table", 1, "is booted as a diskette"},
                          {load + ShellQuote(dir / "short.bin") + " --grub2-info", 1, "too short for GRUB2's boot info"}},
                         [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(image) == before); });
}

// A loader that is a file of the image and one hidden from its folders, both with a table and GRUB2's boot info from
// xorriso: a save that moves them (the new folders of an isohybrid image, which stay in front, cover their sectors)
// tells them their new place, and changes nothing else of them.
TEST(BootInfo, ASaveThatMovesALoaderKeepsItsBootInformationRight)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    TARVELIN_REQUIRE_FILE(kIsolinux);
    TARVELIN_REQUIRE_FILE("/usr/lib/ISOLINUX/isohdpfx.bin");
    test::TempDir dir;
    const std::string many = ManyFiles(dir);
    fs::create_directories(dir / "src/isolinux");
    fs::copy_file(kIsolinux, dir / "src/isolinux/isolinux.bin");
    test::WriteWholeFile(dir / "src/readme.txt", std::string("read me\n"));
    const std::vector<std::uint8_t> loader = test::ReadWholeFile(kIsolinux);
    for (const std::string& hide : std::vector<std::string>{"", "-hide isolinux.bin -hide-joliet isolinux.bin"}) {
        SCOPED_TRACE(hide.empty() ? "a file of the image" : "hidden");
        const std::string image = dir / "disc.iso";
        fs::remove(image);
        test::RunXorrisoMkisofs(dir / "src", image,
                                "-J -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 "
                                "-boot-info-table --grub2-boot-info -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin "
                                    + hide);
        const std::uint32_t before = test::XorrisoBootImageSector(image);
        ASSERT_TRUE(iso::HasBootInfoTable(LoaderInImage(image, loader.size()), before));

        ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(image) + " " + ShellQuote(many))));
        const std::uint32_t after = test::XorrisoBootImageSector(image);
        ASSERT_NE(after, before);
        std::vector<std::uint8_t> expected = loader;
        iso::PatchGrub2BootInfo(expected, after);
        iso::PatchBootInfoTable(expected, after);
        EXPECT_TRUE(LoaderInImage(image, loader.size()) == expected);
    }
}

// isolinux loaded in place of the one an isohybrid image boots from, over its file or beside it: the
// MBR's boot code loads the new copy. It kept naming the old one's sectors, free or no longer a boot
// image, which the next save may write over or move.
TEST(BootInfo, AnIsohybridMbrLoadsTheLoaderThatReplacedItsBootImage)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    TARVELIN_REQUIRE_FILE(kIsolinux);
    TARVELIN_REQUIRE_FILE("/usr/lib/ISOLINUX/isohdpfx.bin");
    test::TempDir dir;
    fs::create_directories(dir / "src/isolinux");
    fs::copy_file(kIsolinux, dir / "src/isolinux/isolinux.bin");
    test::WriteWholeFile(dir / "src/readme.txt", std::string("read me\n"));
    for (const char* folder : {"/isolinux", "/"}) {
        SCOPED_TRACE(folder);
        const std::string image = dir / "disc.iso";
        fs::remove(image);
        test::RunXorrisoMkisofs(dir / "src", image,
                                "-b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 "
                                "-boot-info-table -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin");
        ASSERT_EQ(test::MbrBootKind(image), "isohybrid");
        const std::uint32_t before = test::XorrisoBootImageSector(image);
        ASSERT_TRUE(test::Succeeded(
            RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(kIsolinux) + " --to " + folder)));
        ASSERT_NE(test::XorrisoBootImageSector(image), before);
        EXPECT_EQ(test::MbrBootKind(image), "isohybrid");
    }
}

class IsolinuxBoot : public ::testing::Test {
protected:
    test::TempDir dir;

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOLS("qemu-system-x86_64", "xorriso");
        TARVELIN_REQUIRE_FILE(kIsolinux);
        TARVELIN_REQUIRE_FILE(kLdlinux);
        fs::create_directories(dir / "src/isolinux");
        fs::copy_file(kLdlinux, dir / "src/isolinux/ldlinux.c32");
        test::WriteWholeFile(dir / "src/isolinux/isolinux.cfg",
                             "SERIAL 0 115200\nSAY " + std::string(kMarker) + "\nPROMPT 0\n");
    }

    // An image of our own build with isolinux's folder, then the loader.
    std::string BuildWithLoader(const std::string& loader, const std::string& options)
    {
        const std::string image = dir / "isolinux.iso";
        EXPECT_TRUE(test::Succeeded(RunCli("build " + ShellQuote(image) + " " + ShellQuote(dir / "src/isolinux"))));
        EXPECT_TRUE(test::Succeeded(
            RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(loader) + " --to /isolinux " + options)));
        return image;
    }

    void ExpectBoots(const std::string& image)
    {
        EXPECT_TRUE(test::BootsToMarker("-cdrom " + ShellQuote(image) + " -boot d -nographic", dir / "serial.txt",
                                        kMarker));
    }
};

// Folders that outgrow their room go behind the data: the loader stays where it was and still boots.
TEST_F(IsolinuxBoot, BootsWhenLoadedWithItsTableAndAfterASaveThatGrowsTheFolders)
{
    const std::string image = BuildWithLoader(kIsolinux, "--info-table");
    ExpectBoots(image);
    const std::uint32_t before = test::XorrisoBootImageSector(image);
    ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(image) + " " + ShellQuote(ManyFiles(dir)))));
    EXPECT_EQ(test::XorrisoBootImageSector(image), before);
    ExpectBoots(image);
}

// isolinux finds itself through the BIOS when its table names sector 0, as it ships; a table that names another sector
// sends it astray. A loader taken out of another image carries such a table: the automatic rule tells it its new place.
// xorriso's own mode writes even a new image file as a session from sector 32: its table names the descriptor at 48.
TEST_F(IsolinuxBoot, BootsWhenTakenFromAnotherImageWithoutBeingAsked)
{
    fs::create_directories(dir / "other/boot");
    fs::copy_file(kIsolinux, dir / "other/boot/isolinux.bin");
    const std::string other = dir / "other.iso";
    const struct {
        bool nativeMode;
        std::uint32_t descriptor; // in the table of the loader saved from the image
    } cases[] = {{false, 16}, {true, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nativeMode ? "xorriso's own mode" : "xorriso -as mkisofs");
        fs::remove(other);
        if (c.nativeMode) {
            const CommandResult made =
                RunCommand("xorriso -outdev " + ShellQuote(other) + " -map " + ShellQuote(dir / "other")
                           + " / -boot_image any bin_path=/boot/isolinux.bin -boot_image any boot_info_table=on 2>&1");
            ASSERT_EQ(made.exitCode, 0) << made.output;
        } else {
            test::RunXorrisoMkisofs(dir / "other", other,
                                    "-b boot/isolinux.bin -no-emul-boot -boot-load-size 4 -boot-info-table");
        }
        ASSERT_TRUE(test::Succeeded(RunCli("boot save " + ShellQuote(other) + " " + ShellQuote(dir / "isolinux.bin"))));
        EXPECT_EQ(iso::ReadLe32(test::ReadWholeFile(dir / "isolinux.bin"), 8), c.descriptor);

        fs::remove(dir / "isolinux.iso");
        const std::string image = BuildWithLoader(dir / "isolinux.bin", "");
        ASSERT_NE(test::XorrisoBootImageSector(image), test::XorrisoBootImageSector(other));
        ExpectBoots(image);
    }
}

} // namespace
} // namespace tarvelin
