// Boot images through the editing facade and tarvelin-cli: loaded diskettes and loaders booted in
// QEMU, saved back and removed; the media type of a loaded file; a BIOS and EFI catalog surviving
// an edit that moves both boot images.

#include "iso/boot_info_table.h"
#include "iso/iso9660.h"
#include "iso/iso_edit_test_support.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;

constexpr const char* kMarker = "TARVELIN-BOOT-OK";

// Real-mode code, hand-assembled: writes the marker to the first serial port, then halts.
std::vector<std::uint8_t> MarkerBootCode()
{
    std::vector<std::uint8_t> code{0xBA, 0xF8, 0x03}; // mov dx, 0x3F8
    for (const char c : std::string(kMarker) + "\n") {
        code.insert(code.end(), {0xB0, static_cast<std::uint8_t>(c), 0xEE}); // mov al, c; out dx, al
    }
    code.insert(code.end(), {0xFA, 0xF4, 0xEB, 0xFD}); // cli; hlt; jmp hlt
    return code;
}

// A 1.44 MB diskette whose boot sector runs the code.
std::vector<std::uint8_t> DisketteImage()
{
    std::vector<std::uint8_t> image(1474560, 0);
    const auto code = MarkerBootCode();
    std::copy(code.begin(), code.end(), image.begin());
    image[510] = 0x55;
    image[511] = 0xAA;
    return image;
}

// A 40 KiB no-emulation loader: the code, then bytes the BIOS never loads.
std::vector<std::uint8_t> NoEmulationLoader()
{
    std::vector<std::uint8_t> image = test::RandomBytes(40960, 77);
    const auto code = MarkerBootCode();
    std::copy(code.begin(), code.end(), image.begin());
    return image;
}

std::string ElToritoReport(const std::string& image)
{
    return RunCommand("xorriso -indev " + ShellQuote(image) + " -report_el_torito plain 2>/dev/null").output;
}

// xorriso's lines about the El Torito entries, without the LBA column unless asked (images may move).
std::vector<std::string> ElToritoEntries(const std::string& image, bool withLba)
{
    std::vector<std::string> lines;
    std::istringstream in(ElToritoReport(image));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("El Torito boot img :", 0) == 0 || line.rfind("El Torito img path :", 0) == 0) {
            if (!withLba && line.rfind("El Torito boot img :", 0) == 0) {
                line = line.substr(0, line.find_last_not_of(" 0123456789") + 1);
            }
            lines.push_back(line);
        }
    }
    return lines;
}

class BootImages : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "disc.iso";

    // An image of our own build, without a boot record.
    void BuildImage()
    {
        fs::create_directories(dir / "src/docs");
        test::WriteWholeFile(dir / "src/docs/readme.txt", std::string("read me\n"));
        test::WriteWholeFile(dir / "src/data.bin", test::RandomBytes(50000, 3));
        const CommandResult built = test::RunCli("build " + ShellQuote(image) + " " + ShellQuote(dir / "src/docs")
                                                 + " " + ShellQuote(dir / "src/data.bin"));
        ASSERT_EQ(built.exitCode, 0) << built.output;
    }

    void ExpectBootsInQemu()
    {
        TARVELIN_REQUIRE_TOOL("qemu-system-x86_64");
        EXPECT_TRUE(test::BootsToMarker("-boot d -cdrom " + ShellQuote(image), dir / "serial.txt", kMarker));
    }
};

// A diskette (emulated) and a 40 KiB loader (no emulation) are loaded, boot, and come back byte for byte.
TEST_F(BootImages, ALoadedDisketteOrLoaderBootsComesBackAndIsRemoved)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    for (const bool diskette : {true, false}) {
        SCOPED_TRACE(diskette ? "diskette" : "loader");
        BuildImage();
        const std::vector<std::uint8_t> bytes = diskette ? DisketteImage() : NoEmulationLoader();
        test::WriteWholeFile(dir / "boot.img", bytes);
        const std::string load = "boot load " + ShellQuote(image) + " " + ShellQuote(dir / "boot.img");
        const CommandResult loaded = test::RunCli(load + (diskette ? " --to /docs" : ""));
        ASSERT_EQ(loaded.exitCode, 0) << loaded.output;
        EXPECT_NE(loaded.output.find(diskette ? "1.44 MB diskette emulation" : "no emulation"), std::string::npos)
            << loaded.output;
        const CommandResult saved = test::RunCli("boot save " + ShellQuote(image) + " " + ShellQuote(dir / "back.img"));
        ASSERT_EQ(saved.exitCode, 0) << saved.output;
        EXPECT_TRUE(test::ReadWholeFile(dir / "back.img") == bytes);
        ExpectBootsInQemu();
        if (diskette) {
            // The catalog right behind the folders, the diskette right behind it.
            const auto entries = ElToritoEntries(image, true);
            ASSERT_EQ(entries.size(), 2u);
            EXPECT_NE(entries[0].find("BIOS  y  fd1.4  0x0000"), std::string::npos) << entries[0];
            EXPECT_EQ(entries[1], "El Torito img path :   1  /docs/boot.img");
            const std::string report = ElToritoReport(image);
            std::uint32_t catalog = 0;
            std::uint32_t imageSector = 0;
            std::istringstream(report.substr(report.find("El Torito catalog  :") + 20)) >> catalog;
            std::istringstream(entries[0].substr(entries[0].find_last_of(' '))) >> imageSector;
            EXPECT_EQ(imageSector, catalog + 1);
            fs::remove(image);
            continue;
        }
        ASSERT_TRUE(test::Succeeded(test::RunCli("boot remove " + ShellQuote(image))));
        {
            test::EditHandle edit;
            ASSERT_TRUE(edit->Open(image.c_str()));
            std::vector<std::uint8_t> sector17(2048);
            ASSERT_TRUE(edit->ReadSector(17, sector17.data()));
            EXPECT_FALSE(iso::IsElToritoBootRecord(sector17));
            EXPECT_FALSE(edit->HasBootImage());
        }
        EXPECT_TRUE(ElToritoEntries(image, true).empty());
        const CommandResult again = test::RunCli("boot remove " + ShellQuote(image));
        EXPECT_EQ(again.exitCode, 1);
        EXPECT_NE(again.output.find("has no boot image"), std::string::npos) << again.output;
    }
}

TEST_F(BootImages, TheMediaTypeFollowsTheFileLength)
{
    BuildImage();
    test::EditHandle edit;
    ASSERT_TRUE(test::OpenTree(edit.get(), image));
    const std::vector<std::pair<std::uint64_t, std::uint32_t>> cases = {
        {2048, 0}, {2049, 0}, {40960, 0}, {1228800, 1}, {1474560, 2}, {1474561, 0}, {2949120, 3}, {2949121, 0},
    };
    for (const auto& [length, mediaType] : cases) {
        const std::string path = dir / ("boot" + std::to_string(length) + ".img");
        test::WriteSparseFile(path, {0xEB, 0xFE}, length);
        ASSERT_TRUE(edit->LoadBootImage(path.c_str(), edit->GetRoot())) << edit->GetLastError();
        EXPECT_EQ(edit->GetMediaType(), mediaType) << length << " bytes";
    }
    // Only the last loaded file is the boot image.
    int marked = 0;
    for (DirNode* child = edit->GetFirstChild(edit->GetRoot()); child != nullptr; child = edit->GetNextSibling(child)) {
        marked += child->entry.bootMark ? 1 : 0;
    }
    EXPECT_EQ(marked, 1);
    EXPECT_FALSE(edit->LoadBootImage((dir / "missing.img").c_str(), edit->GetRoot()));
    test::WriteWholeFile(dir / "empty.img", std::vector<std::uint8_t>{});
    EXPECT_FALSE(edit->LoadBootImage((dir / "empty.img").c_str(), edit->GetRoot()));
}

// The automatic rule is the default; 0 keeps the loader's bytes as on disk for the next save only.
TEST_F(BootImages, SetBootInfoPatchDecidesForTheNextSaveOnly)
{
    TARVELIN_REQUIRE_FILE("/usr/lib/ISOLINUX/isolinux.bin");
    BuildImage();
    const auto loader = test::ReadWholeFile("/usr/lib/ISOLINUX/isolinux.bin");
    test::EditHandle edit;
    ASSERT_TRUE(test::OpenTree(edit.get(), image));
    EXPECT_FALSE(edit->SetBootInfoPatch(8));
    for (const bool patched : {false, true}) {
        ASSERT_TRUE(edit->LoadBootImage("/usr/lib/ISOLINUX/isolinux.bin", edit->GetRoot())) << edit->GetLastError();
        if (!patched) {
            ASSERT_TRUE(edit->SetBootInfoPatch(0));
        }
        const test::SaveOutcome saved = test::SaveAndWait(edit.get());
        ASSERT_EQ(saved.finalValue, kSaveDone) << saved.error;
        CByteBuffer back(256);
        ASSERT_TRUE(edit->SaveBootImage(back));
        const std::vector<std::uint8_t> bytes(back.GetData(), back.GetData() + back.GetSize());
        std::uint32_t extent = 0;
        ASSERT_TRUE(edit->GetItemExtent(test::FindNode(edit.get(), "isolinux.bin"), extent));
        EXPECT_EQ(bytes == loader, !patched);
        EXPECT_EQ(iso::HasBootInfoTable(bytes, extent), patched);
    }
}

TEST_F(BootImages, LoadingAFileAlreadyInTheFolderLeavesOneEntryThatIsTheBootImage)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    fs::create_directories(dir / "src/boot");
    test::WriteWholeFile(dir / "src/boot/loader.bin", test::RandomBytes(4096, 9));
    test::WriteWholeFile(dir / "src/other.txt", std::string("other\n"));
    test::RunGenisoimage(dir / "src", image, "-J -R -b boot/loader.bin -no-emul-boot -c boot/boot.cat");
    test::WriteWholeFile(dir / "loader.bin", NoEmulationLoader());

    const CommandResult loaded =
        test::RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(dir / "loader.bin") + " --to /boot");
    ASSERT_EQ(loaded.exitCode, 0) << loaded.output;
    EXPECT_NE(loaded.output.find("replaced '/boot/loader.bin'"), std::string::npos) << loaded.output;
    const test::TreeContents tree = test::ReadImageTree(image);
    EXPECT_EQ(tree.count("boot/loader.bin"), 1u);
    EXPECT_TRUE(tree.at("boot/loader.bin").bytes == NoEmulationLoader());
    EXPECT_EQ(tree.at("other.txt").bytes, test::ReadWholeFile(dir / "src/other.txt"));
    // The catalog stays the file the image listed it as.
    const auto entries = ElToritoEntries(image, false);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "El Torito img path :   1  /boot/loader.bin");
    EXPECT_NE(ElToritoReport(image).find("El Torito cat path : /boot/boot.cat"), std::string::npos);
    ExpectBootsInQemu();
}

TEST_F(BootImages, EveryEntryOfABiosAndEfiCatalogSurvivesAnEditThatGrowsTheFolders)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    fs::create_directories(dir / "src");
    test::WriteWholeFile(dir / "src/bios.img", test::RandomBytes(4096, 1));
    test::WriteWholeFile(dir / "src/efi.img", test::RandomBytes(65536, 2));
    test::WriteWholeFile(dir / "src/a.txt", std::string("a\n"));
    test::RunXorrisoMkisofs(dir / "src", image,
                            "-J -b bios.img -no-emul-boot -eltorito-alt-boot -e efi.img -no-emul-boot");
    const auto entriesBefore = ElToritoEntries(image, false);
    ASSERT_EQ(entriesBefore.size(), 4u);
    const auto withLbaBefore = ElToritoEntries(image, true);

    // Enough new names that the folders outgrow their room in front of both boot images.
    fs::create_directories(dir / "many");
    for (int i = 0; i < 120; ++i) {
        test::WriteWholeFile(dir / ("many/a long enough file name to grow the folders " + std::to_string(i)), "x");
    }
    ASSERT_TRUE(test::Succeeded(test::RunCli("add " + ShellQuote(image) + " " + ShellQuote(dir / "many"))));

    EXPECT_EQ(ElToritoEntries(image, false), entriesBefore);
    EXPECT_EQ(ElToritoEntries(image, true), withLbaBefore); // the folders went elsewhere
    const std::string out = dir / "boot-images";
    fs::create_directories(out);
    const CommandResult extracted = RunCommand("xorriso -indev " + ShellQuote(image) +
                                               " -osirrox on -extract_boot_images " + ShellQuote(out) + " 2>&1");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    EXPECT_TRUE(test::ReadWholeFile(out + "/eltorito_img1_bios.img") == test::ReadWholeFile(dir / "src/bios.img"));
    EXPECT_TRUE(test::ReadWholeFile(out + "/eltorito_img2_uefi.img") == test::ReadWholeFile(dir / "src/efi.img"));

    // A loaded boot image replaces the BIOS entry only.
    test::WriteWholeFile(dir / "loader.bin", NoEmulationLoader());
    ASSERT_TRUE(test::Succeeded(test::RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(dir / "loader.bin"))));
    const auto entriesAfter = ElToritoEntries(image, false);
    ASSERT_EQ(entriesAfter.size(), 4u);
    EXPECT_EQ(entriesAfter[1], entriesBefore[1]); // the EFI entry
    EXPECT_EQ(entriesAfter[2], "El Torito img path :   1  /loader.bin");
    EXPECT_EQ(entriesAfter[3], entriesBefore[3]);

    // An image for EFI alone: the loader becomes the PC's default entry, which a BIOS boots only under a catalog that
    // names the PC platform, and the EFI entry it replaces stays as an entry of its own.
    fs::remove(image);
    test::RunXorrisoMkisofs(dir / "src", image, "-J -e efi.img -no-emul-boot");
    ASSERT_EQ(ElToritoEntries(image, false).size(), 2u);
    ASSERT_TRUE(test::Succeeded(test::RunCli("boot load " + ShellQuote(image) + " " + ShellQuote(dir / "loader.bin"))));
    const auto efiOnly = ElToritoEntries(image, false);
    ASSERT_EQ(efiOnly.size(), 4u) << ElToritoReport(image);
    EXPECT_EQ(efiOnly[0].rfind("El Torito boot img :   1  BIOS  y   none", 0), 0u) << efiOnly[0];
    EXPECT_EQ(efiOnly[1].rfind("El Torito boot img :   2  UEFI  y   none", 0), 0u) << efiOnly[1];
    EXPECT_EQ(efiOnly[2], "El Torito img path :   1  /loader.bin");
    EXPECT_EQ(efiOnly[3], "El Torito img path :   2  /efi.img");
    ExpectBootsInQemu();
}

// A hard disk image that no folder lists is as long as its MBR's partitions: a save that moves it
// keeps it whole (it kept its first sector only), and boot save writes it whole. A loader that no
// folder lists and nothing measures (no table, four 512-byte sectors loaded) may run on up to the next
// file: a save that moves it moves all of that (it moved the loaded 2048 bytes and wrote folders over
// the rest); boot save writes what the catalog loads.
TEST_F(BootImages, AHiddenBootImageIsKeptWhole)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "xorriso");
    std::vector<std::uint8_t> disk = test::RandomBytes(1 << 20, 9);
    const std::uint8_t partition[16] = {0x80, 0, 2, 0, 0x83, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0x07, 0, 0}; // blocks 1..2047
    std::fill(disk.begin() + 446, disk.begin() + 510, 0);
    std::copy(std::begin(partition), std::end(partition), disk.begin() + 446);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const std::vector<std::uint8_t> loader = test::RandomBytes(20480, 10);
    fs::create_directories(dir / "many");
    for (int i = 0; i < 120; ++i) {
        test::WriteWholeFile(dir / ("many/a long enough file name to grow the folders " + std::to_string(i)), "x");
    }
    const struct {
        const char* name;
        const std::vector<std::uint8_t>& bytes;
        const char* options;
        std::size_t saved; // the bytes boot save writes
        // Whether the folders go elsewhere: with a loader of unknown length the image's free space cannot be told,
        // the folders stay in front and the loader moves.
        bool stays;
    } cases[] = {
        {"hard disk", disk, "-hard-disk-boot", disk.size(), true},
        {"loader without a table", loader, "-no-emul-boot -boot-load-size 4", 2048, false},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        fs::remove_all(dir / "src");
        fs::remove(image);
        fs::create_directories(dir / "src");
        test::WriteWholeFile(dir / "src/boot.img", item.bytes);
        test::WriteWholeFile(dir / "src/a.txt", std::string("a\n"));
        test::RunGenisoimage(dir / "src", image,
                             std::string("-R -b boot.img -c boot.cat -hide boot.img -hide boot.cat ") + item.options);
        const auto bootSector = [&] {
            const auto entries = ElToritoEntries(image, true);
            EXPECT_EQ(entries.size(), 1u);
            return entries.empty() ? 0ULL : std::stoull(entries[0].substr(entries[0].find_last_of(' ') + 1));
        };
        const std::uint64_t before = bootSector();
        ASSERT_TRUE(test::Succeeded(test::RunCli("add " + ShellQuote(image) + " " + ShellQuote(dir / "many"))));

        const std::uint64_t lba = bootSector();
        EXPECT_EQ(lba == before, item.stays);
        const auto bytes = test::ReadWholeFile(image);
        ASSERT_GE(bytes.size(), lba * 2048 + item.bytes.size());
        EXPECT_TRUE(std::equal(item.bytes.begin(), item.bytes.end(),
                               bytes.begin() + static_cast<std::ptrdiff_t>(lba * 2048)));
        const CommandResult saved = test::RunCli("boot save " + ShellQuote(image) + " " + ShellQuote(dir / "out.img"));
        ASSERT_EQ(saved.exitCode, 0) << saved.output;
        EXPECT_TRUE(test::ReadWholeFile(dir / "out.img")
                    == std::vector<std::uint8_t>(item.bytes.begin(),
                                                 item.bytes.begin() + static_cast<std::ptrdiff_t>(item.saved)));
    }
}

// Removing the file that is the boot image (or a folder that holds it), or replacing the folder, leaves the boot record
// loading its data, which then no file lists: the edit says so, and the save keeps the whole image where it lies or
// moves all of it (a UDF image's new metadata was written over it, or only the sectors the catalog loads were moved).
TEST_F(BootImages, DeletingTheBootImagesFileSaysSoAndTheSaveKeepsItsDataWhole)
{
    const std::vector<std::uint8_t> loader = test::RandomBytes(8192, 11);
    test::WriteWholeFile(dir / "loader.bin", loader);
    fs::create_directories(dir / "new/docs");
    for (int i = 0; i < 300; ++i) {
        test::WriteWholeFile(dir / ("new/docs/a long enough file name to grow the folders " + std::to_string(i)), "x");
    }
    const std::string q = ShellQuote(image);
    for (const bool udf : {false, true}) {
        SCOPED_TRACE(udf ? "udf" : "iso");
        fs::remove(image);
        BuildImage();
        if (udf) {
            fs::remove(image);
            ASSERT_TRUE(test::Succeeded(test::RunCli("build " + q + " " + ShellQuote(dir / "src/docs") + " "
                                                     + ShellQuote(dir / "src/data.bin") + " --udf")));
        }
        ASSERT_TRUE(
            test::Succeeded(test::RunCli("boot load " + q + " " + ShellQuote(dir / "loader.bin") + " --to /docs")));
        if (!udf) {
            const CommandResult other = test::RunCli("rm " + q + " /data.bin");
            ASSERT_EQ(other.exitCode, 0) << other.output;
            EXPECT_EQ(other.output.find("boot image"), std::string::npos) << other.output;
        }
        const CommandResult gone = udf ? test::RunCli("add " + q + " " + ShellQuote(dir / "new/docs"))
                                       : test::RunCli("rm " + q + " /docs");
        ASSERT_EQ(gone.exitCode, 0) << gone.output;
        EXPECT_NE(gone.output.find("warning: 'loader.bin' is the image's boot image: the boot record still loads it"),
                  std::string::npos)
            << gone.output;
        const std::string info = test::RunCli("info " + q).output;
        const std::size_t at = info.find("boot image:      sector ");
        ASSERT_NE(at, std::string::npos) << info;
        const std::uint64_t sector = std::stoull(info.substr(at + 24));
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
        EXPECT_TRUE(bytes.size() >= sector * 2048 + loader.size()
                    && std::equal(loader.begin(), loader.end(), bytes.begin() + static_cast<std::ptrdiff_t>(sector * 2048)));
    }
}

} // namespace
} // namespace tarvelin
