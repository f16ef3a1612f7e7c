// Volume descriptors of real images across a save (isoinfo -d -debug and every byte but what a save moves), of a new
// build, and what info says of the boot entries (as xorriso reports them).

#include "iso/iso9660.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::InfoField;
using test::RunCli;
using test::ShellQuote;

constexpr std::size_t kSector = 2048;

constexpr const char* kMemtest = "/usr/lib/memtest86+/memtest86+x64.iso"; // as fidelity_test and hybrid_save_test

// isoinfo's descriptor report by label ("Volume id", "Creation Date", ...), from its first line through the file
// structure version, with whether it found Joliet and an El Torito record.
std::map<std::string, std::string> DescriptorReport(const std::string& image, const std::string& options)
{
    const CommandResult info = RunCommand("isoinfo -d -debug " + options + " -i " + ShellQuote(image) + " 2>&1");
    EXPECT_EQ(info.exitCode, 0) << info.output;
    std::map<std::string, std::string> report;
    std::istringstream lines(info.output);
    bool inDescriptor = true;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(':');
        if (inDescriptor && colon != std::string::npos) {
            report[line.substr(0, colon)] = line.substr(colon + 1);
        }
        inDescriptor = inDescriptor && !line.starts_with("File structure version");
        if (line.starts_with("Joliet with UCS level") || line.starts_with("NO Joliet")
            || line.starts_with("El Torito VD version")) {
            report[line.substr(0, line.find(','))] = "found";
        }
    }
    return report;
}

// The descriptor set's sectors from 16 through the terminator.
std::vector<std::vector<std::uint8_t>> DescriptorSet(const std::string& image)
{
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    std::vector<std::vector<std::uint8_t>> set;
    for (std::size_t at = 16 * kSector; at + kSector <= bytes.size(); at += kSector) {
        set.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + kSector));
        if (bytes[at] == 0xFF || std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at + 1),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 6)) != "CD001") {
            break;
        }
    }
    return set;
}

// The byte ranges of a descriptor that a save may change.
bool SaveMayChange(std::uint8_t type, std::size_t offset)
{
    if (type == 0) {
        return offset >= 71 && offset < 75; // the boot record's catalog sector
    }
    if (type != 1 && type != 2) {
        return false;
    }
    return (offset >= 80 && offset < 88)      // volume space size
        || (offset >= 132 && offset < 156)    // path table size and locations
        || (offset >= 158 && offset < 174)    // root extent and data length
        || (offset >= 830 && offset < 847);   // modification date
}

TEST(DescriptorFidelity, SaveKeepsEveryDescriptorFieldItDoesNotMove)
{
    for (const char* tool : {"isoinfo", "xorriso", "genisoimage"}) {
        TARVELIN_REQUIRE(test::ToolAvailable(tool), tool);
    }
    test::TempDir dir;
    fs::create_directories(dir / "src");
    for (const char* name : {"COPYING", "ABSTRACT", "BIBLIO", "a.txt"}) {
        test::WriteWholeFile(dir / "src/" + name, std::string(name) + "\n");
    }
    test::WriteWholeFile(dir / "small.txt", std::string("added by the test\n"));
    const std::string ids = " -sysid SYSX -publisher 'PUB ME' -p 'PREP ME' -A 'APP ME' -volset VSET -copyright COPYING"
                            " -abstract ABSTRACT -biblio BIBLIO -J -R -o ";
    const struct {
        const char* name;
        std::string shipped; // copied when set, else made by the command
        std::string command;
    } images[] = {
        {"every-id.iso", "",
         "xorriso -volume_date x 2031010203040500 -volume_date f 2021010203040500 -as mkisofs -V MYLABEL" + ids},
        {"level4.iso", "", "xorriso -as mkisofs -iso-level 4 -V LEVEL4 -J -R -o "},
        {"genisoimage.iso", "", "genisoimage -quiet -V GENLABEL" + ids},
        {"grub-rescue.iso", "/usr/lib/grub-rescue/grub-rescue-cdrom.iso", ""},
        {"ipxe.iso", "/usr/lib/ipxe/ipxe.iso", ""},
        {"memtest.iso", kMemtest, ""},
    };
    for (const auto& image : images) {
        SCOPED_TRACE(image.name);
        const std::string path = dir / image.name;
        if (image.shipped.empty()) {
            ASSERT_TRUE(test::Succeeded(
                RunCommand(image.command + ShellQuote(path) + " " + ShellQuote(dir / "src") + " 2>&1")));
        } else {
            TARVELIN_REQUIRE(fs::exists(image.shipped), image.shipped);
            fs::copy_file(image.shipped, path);
            fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
        }
        const auto setBefore = DescriptorSet(path);
        std::vector<std::pair<std::string, std::map<std::string, std::string>>> reports{
            {"", DescriptorReport(path, "")}};
        if (reports[0].second.count("Joliet with UCS level 3 found") != 0) {
            reports.emplace_back("-J", DescriptorReport(path, "-J"));
        }

        // Each kind of edit, saved in turn; every save keeps what the one before kept.
        const std::string q = ShellQuote(path);
        for (const std::string& edit : {"add " + q + " " + ShellQuote(dir / "small.txt"), "mkdir " + q + " /made",
                                        "rename " + q + " /small.txt renamed.txt", "rm " + q + " /renamed.txt"}) {
            SCOPED_TRACE(edit);
            const CommandResult saved = RunCli(edit);
            ASSERT_EQ(saved.exitCode, 0) << saved.output;
            // xorriso's level 4 gives the enhanced descriptor a tree of its own, which the save does not keep.
            EXPECT_EQ(test::Contains(saved.output, "ISO 9660:1999 tree"),
                      std::string(image.name) == "level4.iso" && edit.starts_with("add"))
                << saved.output;
            for (const auto& [options, before] : reports) {
                auto after = DescriptorReport(path, options);
                EXPECT_GE(after["Modification Date"], before.at("Modification Date")) << options;
                for (const char* moved : {"Volume size is", "Root directory extent", "Path table size is",
                                          "L Path table start", "M Path table start", "Modification Date"}) {
                    after.erase(moved);
                }
                EXPECT_EQ(after["L Path opt table start"], " 0");
                EXPECT_EQ(after["M Path opt table start"], " 0");
                after.erase("L Path opt table start");
                after.erase("M Path opt table start");
                for (const auto& [label, value] : before) {
                    if (after.count(label) != 0) {
                        EXPECT_EQ(after[label], value) << options << " " << label;
                    }
                }
                EXPECT_EQ(after.size() + 8, before.size()) << options;
            }
            const auto setAfter = DescriptorSet(path);
            ASSERT_EQ(setAfter.size(), setBefore.size());
            for (std::size_t i = 0; i < setBefore.size(); ++i) {
                for (std::size_t offset = 0; offset < kSector; ++offset) {
                    if (!SaveMayChange(setBefore[i][0], offset)) {
                        ASSERT_EQ(setAfter[i][offset], setBefore[i][offset]) << "sector " << 16 + i << " byte " << offset;
                    }
                }
            }
        }
    }
}

TEST(DescriptorFidelity, BuildWritesAVolumeSetOfOneAndSpaceFilledFields)
{
    TARVELIN_REQUIRE(test::ToolAvailable("isoinfo"), "isoinfo");
    test::TempDir dir;
    fs::create_directories(dir / "src/sub");
    test::WriteWholeFile(dir / "src/sub/file.txt", std::string("text\n"));
    const std::string image = dir / "built.iso";
    const CommandResult built = RunCli("build " + ShellQuote(image) + " " + ShellQuote(dir / "src") + " --label DISC");
    ASSERT_EQ(built.exitCode, 0) << built.output;

    auto report = DescriptorReport(image, "");
    EXPECT_EQ(report["Volume id"], " DISC");
    EXPECT_EQ(report["Volume set size is"], " 1");
    EXPECT_EQ(report["Volume set sequence number is"], " 1");
    EXPECT_EQ(report["Copyright File id"], " ");
    EXPECT_EQ(report["Expiration Date"], "   0000 00 00 00:00:00.00");

    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const auto set = DescriptorSet(image);
    ASSERT_EQ(set.size(), 3U);
    const std::size_t publisher = iso::VolumeDescriptorOffset::kPublisherIdentifier;
    for (std::size_t offset = publisher; offset < publisher + 128; ++offset) {
        EXPECT_EQ(set[0][offset], 0x20) << offset;
        EXPECT_EQ(set[1][offset], offset % 2 == 0 ? 0x00 : 0x20) << offset;
    }
    // Every record of both root directories names volume 1 of the set.
    for (const auto& descriptor : {set[0], set[1]}) {
        const std::uint32_t root = iso::ReadLe32(descriptor, 158);
        ASSERT_LT((root + 1) * kSector, bytes.size() + 1);
        const auto records = iso::DecodeDirectorySector(
            iso::ConstBytes(bytes).subspan(std::size_t{root} * kSector, kSector));
        ASSERT_EQ(records.records.size(), 3U);
        for (const iso::DirectoryRecord& record : records.records) {
            EXPECT_EQ(record.volumeSequenceNumber, 1U);
        }
    }
}

// xorriso's "El Torito boot img :   2  UEFI  y   none  0x0000  0x00   1728   34"
// as info words it.
std::string PeerBootEntry(const std::string& line, bool first)
{
    std::istringstream words(line.substr(line.find(':') + 1));
    std::string index, platform, bootable, emulation, segment, systemType, loadSize, sector;
    words >> index >> platform >> bootable >> emulation >> segment >> systemType >> loadSize >> sector;
    const std::map<std::string, std::string> platforms{{"BIOS", "80x86"}, {"UEFI", "EFI"}, {"PPC", "PowerPC"},
                                                       {"Mac", "Mac"}};
    const std::map<std::string, std::string> emulations{{"none", "no emulation"}, {"fd1.2", "1.2 MB diskette"},
                                                        {"fd1.4", "1.44 MB diskette"},
                                                        {"fd2.8", "2.88 MB diskette"}, {"hd", "hard disk"}};
    return std::string(first ? "default" : "section") + ", "
         + (platforms.count(platform) != 0 ? platforms.at(platform) : platform) + ", "
         + (emulations.count(emulation) != 0 ? emulations.at(emulation) : emulation) + ", " + loadSize
         + " x 512 bytes from sector " + sector + ", " + (bootable == "y" ? "bootable" : "not bootable");
}

TEST(DescriptorFidelity, InfoListsEveryBootEntryAsXorrisoDoes)
{
    TARVELIN_REQUIRE(test::ToolAvailable("xorriso"), "xorriso");
    test::TempDir dir;
    fs::create_directories(dir / "src");
    test::WriteWholeFile(dir / "src/bios.img", test::RandomBytes(4 * kSector, 1));
    test::WriteWholeFile(dir / "src/efi.img", test::RandomBytes(720 * kSector, 2));
    const std::string made = dir / "bios-efi.iso";
    test::RunXorrisoMkisofs(dir / "src", made,
                            "-b bios.img -no-emul-boot -boot-load-size 4 -eltorito-alt-boot -e efi.img -no-emul-boot");
    std::vector<std::string> images{made, "/usr/lib/grub-rescue/grub-rescue-cdrom.iso", "/usr/lib/ipxe/ipxe.iso",
                                    kMemtest};
    for (const std::string& image : images) {
        SCOPED_TRACE(image);
        TARVELIN_REQUIRE(!image.empty() && fs::exists(image), image);
        const std::string peer =
            RunCommand("xorriso -indev " + ShellQuote(image) + " -report_el_torito plain 2>/dev/null").output;
        std::vector<std::string> expected;
        std::istringstream lines(peer);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("El Torito boot img :")) {
                expected.push_back(PeerBootEntry(line, expected.empty()));
            }
        }
        ASSERT_FALSE(expected.empty()) << peer;
        const std::string output = RunCli("info " + ShellQuote(image)).output;
        EXPECT_EQ(InfoField(output, "boot entries"), std::to_string(expected.size())) << output;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(InfoField(output, "boot entry " + std::to_string(i + 1)), expected[i]) << output;
        }
    }
}

} // namespace
} // namespace tarvelin
