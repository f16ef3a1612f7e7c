// Saves in place of hybrid images (Debian's and xorriso's): the partition over the volume ends at its new end, the
// others keep their place and bytes or follow their file, a GPT verifies, and an added file lies inside the grown
// partition. A partition over the volume with partitions appended behind it keeps its end instead: no partitions
// overlap, and the save says which files lie out of its reach.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;

struct Extent {
    std::uint64_t start = 0;
    std::uint64_t blocks = 0;
    std::uint64_t End() const { return start + blocks; }
    bool operator==(const Extent&) const = default;
};

// What `xorriso -report_system_area plain` shows, in 512-byte blocks.
struct DiskTables {
    std::uint64_t volumeBlocks = 0;
    std::map<int, Extent> mbr;
    std::map<int, Extent> gpt;
    std::map<int, Extent> apm; // an Apple partition map's, converted from its blocks
    std::uint64_t lastUsable = 0;
    std::uint64_t backupHeader = 0;
};

DiskTables ReportTables(const std::string& image)
{
    const CommandResult report =
        RunCommand("xorriso -indev " + ShellQuote(image) + " -report_system_area plain 2>&1");
    DiskTables tables;
    std::uint64_t apmBlock = 0; // in 512-byte blocks
    std::istringstream lines(report.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, colon);
        std::istringstream values(line.substr(colon + 1));
        int number = 0;
        std::string status;
        std::string type;
        Extent extent;
        if (key.starts_with("ISO image size/512")) {
            values >> tables.volumeBlocks;
        } else if (key.starts_with("MBR partition ")
                   && values >> number >> status >> type >> extent.start >> extent.blocks) {
            tables.mbr[number] = extent;
        } else if (key.starts_with("GPT lba range")) {
            std::uint64_t firstUsable = 0;
            values >> firstUsable >> tables.lastUsable >> tables.backupHeader;
        } else if (key.starts_with("GPT start and size") && values >> number >> extent.start >> extent.blocks) {
            tables.gpt[number] = extent;
        } else if (key.starts_with("APM block size") && values >> apmBlock) {
            apmBlock /= 512;
        } else if (key.starts_with("APM start and size") && values >> number >> extent.start >> extent.blocks) {
            tables.apm[number] = {extent.start * apmBlock, extent.blocks * apmBlock};
        }
    }
    return tables;
}

// The number behind the first `"key":` at or after from; from moves past it.
std::optional<std::uint64_t> JsonNumber(const std::string& json, const std::string& key, std::size_t& from)
{
    const std::size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    from = at + key.size() + 3;
    return std::strtoull(json.c_str() + from, nullptr, 10);
}

// The partitions of the table `sfdisk --json` reads (a GPT behind a protective MBR, else the MBR), and that table's
// label.
std::vector<Extent> SfdiskPartitions(const std::string& image, std::string& label)
{
    const std::string json = RunCommand("sfdisk --json " + ShellQuote(image) + " 2>/dev/null").output;
    const std::size_t at = json.find("\"label\":");
    const std::size_t open = json.find('"', at == std::string::npos ? json.size() : at + 8);
    label = open == std::string::npos ? "" : json.substr(open + 1, json.find('"', open + 1) - open - 1);
    std::vector<Extent> partitions;
    std::size_t from = 0;
    while (const std::optional<std::uint64_t> start = JsonNumber(json, "start", from)) {
        partitions.push_back({*start, JsonNumber(json, "size", from).value_or(0)});
    }
    return partitions;
}

struct FileData {
    std::uint64_t lba = 0; // 2048-byte sectors
    std::uint64_t size = 0;
    std::string path;      // as the image spells it
};

// Data extents of the image's files by lower-cased path, as xorriso reads them.
std::map<std::string, FileData> FileExtents(const std::string& image)
{
    const CommandResult report =
        RunCommand("xorriso -indev " + ShellQuote(image) + " -find / -type f -exec report_lba -- 2>&1");
    std::map<std::string, FileData> files;
    // "File data lba:  0 ,  1536 ,  1465 ,  3000000 , '/BIG.BIN'": extent
    // number, first sector, sectors, size, path.
    std::istringstream lines(report.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t quote = line.find('\'');
        if (!line.starts_with("File data lba:") || quote == std::string::npos) {
            continue;
        }
        std::istringstream numbers(line.substr(14, quote - 14));
        FileData data;
        std::uint64_t extentNumber = 0;
        std::uint64_t sectors = 0;
        char comma = 0;
        numbers >> extentNumber >> comma >> data.lba >> comma >> sectors >> comma >> data.size;
        data.path = line.substr(quote + 1, line.rfind('\'') - quote - 1);
        std::string key = data.path;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        files[key] = data;
    }
    return files;
}

std::vector<std::uint8_t> PartitionBytes(const std::string& image, const Extent& extent)
{
    return test::ReadFileRange(image, extent.start * 512, extent.blocks * 512);
}

// In every image the first partition of each table covers the volume (in a protective MBR the 0xEE entry); the second,
// where there is one, lies on a file of the image or is kept as it is.
struct Row {
    const char* id;
    // Makes the image in the folder (which holds tree/ and efi.img) and gives its path.
    std::function<std::string(const test::TempDir&)> make;
    const char* secondOnFile = nullptr;
    bool apm = false; // it has an Apple partition map
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.id;
}

std::string CopyOf(const test::TempDir& dir, const std::string& source)
{
    fs::copy_file(source, dir / "image.iso");
    fs::permissions(dir / "image.iso", fs::perms::owner_write, fs::perm_options::add);
    return dir / "image.iso";
}

std::string Mkisofs(const test::TempDir& dir, const std::string& options)
{
    const std::string isolinux = "-b boot/isolinux.bin -c boot/boot.cat -no-emul-boot -boot-load-size 4 "
                                 "-boot-info-table -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin ";
    test::RunXorrisoMkisofs(dir / "tree", dir / "image.iso", "-R " + isolinux + options);
    return dir / "image.iso";
}

const Row kRows[] = {
    // grub-mkrescue: protective-msdos-label, the partition from block 1.
    {"GrubRescue", [](const test::TempDir& dir) { return CopyOf(dir, "/usr/lib/grub-rescue/grub-rescue-cdrom.iso"); }},
    // isohybrid, the partition to the end of the file padded behind the volume.
    {"Ipxe", [](const test::TempDir& dir) { return CopyOf(dir, "/usr/lib/ipxe/ipxe.iso"); }},
    // An EFI partition appended behind the volume.
    {"Memtest", [](const test::TempDir& dir) { return CopyOf(dir, "/usr/lib/memtest86+/memtest86+x64.iso"); }},
    {"XorrisoIsohybridMbr", [](const test::TempDir& dir) { return Mkisofs(dir, ""); }},
    // The partition from block 64, with its own copy of the file system's metadata there.
    {"XorrisoPartitionOffset", [](const test::TempDir& dir) { return Mkisofs(dir, "-partition_offset 16"); }},
    // MBR and GPT; their second partitions are the EFI image inside the volume.
    {"XorrisoGptEfiInside",
     [](const test::TempDir& dir) {
         return Mkisofs(dir, "-eltorito-alt-boot -e boot/efi.img -no-emul-boot -isohybrid-gpt-basdat");
     },
     "/boot/efi.img"},
    // The same with an Apple partition map of 2048-byte blocks (Debian's), whose entry lies on the EFI image and whose
    // GPT partition over the volume ends on a whole sector.
    {"XorrisoGptApmEfiInside",
     [](const test::TempDir& dir) {
         return Mkisofs(dir, "-eltorito-alt-boot -e boot/efi.img -no-emul-boot -isohybrid-gpt-basdat "
                             "-isohybrid-apm-hfsplus");
     },
     "/boot/efi.img", true},
    {"XorrisoGptEfiAppended",
     [](const test::TempDir& dir) {
         return Mkisofs(dir, "-eltorito-alt-boot -e --interval:appended_partition_2:all:: -no-emul-boot "
                             "-append_partition 2 0xef " + ShellQuote(dir / "efi.img") + " -isohybrid-gpt-basdat");
     }},
    // MBR and GPT; the EFI image appended, in the GPT with xorriso's gap partitions behind it.
    {"XorrisoEfiAppendedAsGpt",
     [](const test::TempDir& dir) {
         return Mkisofs(dir, "-eltorito-alt-boot -e --interval:appended_partition_2:all:: -no-emul-boot "
                             "-append_partition 2 0xef " + ShellQuote(dir / "efi.img") + " -appended_part_as_gpt");
     }},
    // Protective MBR; the GPT's first partition marks the volume from block 64.
    {"XorrisoNativeGptAppended",
     [](const test::TempDir& dir) {
         const CommandResult made =
             RunCommand("xorriso -outdev " + ShellQuote(dir / "image.iso") + " -map " + ShellQuote(dir / "tree") +
                        " / -append_partition 2 0xef " + ShellQuote(dir / "efi.img") +
                        " -boot_image any appended_part_as=gpt 2>&1");
         EXPECT_EQ(made.exitCode, 0) << made.output;
         return dir / "image.iso";
     }},
};

class HybridSave : public ::testing::TestWithParam<Row> {};

// Whether a partition of the table lies behind the first one, which then must not grow over it.
bool AppendedBehindFirst(const std::map<int, Extent>& table)
{
    return table.contains(1) && std::any_of(table.begin(), table.end(), [&](const auto& partition) {
               return partition.second.start >= table.at(1).End();
           });
}

// The checks after each save; `added` is the file the save added, if any, and `said` what the save printed.
void CheckSaved(const Row& row, const std::string& image, const DiskTables& before, const std::string& originalPath,
                const std::vector<std::uint8_t>* added, const std::string& said)
{
    const DiskTables after = ReportTables(image);
    const std::uint64_t volumeEnd = after.volumeBlocks;
    // The volume takes in everything the file holds, the backup GPT too.
    EXPECT_EQ(fs::file_size(image), volumeEnd * 512);
    const std::map<std::string, FileData> files = FileExtents(image);
    const std::map<std::string, FileData> originalFiles = FileExtents(originalPath);

    const auto check = [&](const char* table, const std::map<int, Extent>& was, const std::map<int, Extent>& now,
                           std::uint64_t grownEnd) {
        ASSERT_EQ(now.size(), was.size()) << table;
        for (const auto& [number, old] : was) {
            SCOPED_TRACE(std::string(table) + " partition " + std::to_string(number));
            const Extent& extent = now.at(number);
            if (number == 1) {
                EXPECT_EQ(extent.start, old.start);
                EXPECT_EQ(extent.End(), AppendedBehindFirst(was) ? old.End() : grownEnd);
            } else if (row.secondOnFile != nullptr) {
                const FileData& file = files.at(row.secondOnFile);
                EXPECT_EQ(extent.start, file.lba * 4);
                EXPECT_EQ(extent.blocks, old.blocks);
                EXPECT_TRUE(PartitionBytes(image, extent) == PartitionBytes(originalPath, old));
            } else {
                EXPECT_EQ(extent, old);
                EXPECT_TRUE(PartitionBytes(image, extent) == PartitionBytes(originalPath, old));
            }
        }
    };
    check("MBR", before.mbr, after.mbr, volumeEnd);
    check("GPT", before.gpt, after.gpt, after.lastUsable + 1);
    // An Apple partition map's entries follow the file they lay on, or stay.
    ASSERT_EQ(after.apm.size(), before.apm.size());
    for (const auto& [number, old] : before.apm) {
        const Extent& extent = after.apm.at(number);
        const bool onFile = row.secondOnFile != nullptr && old.start == originalFiles.at(row.secondOnFile).lba * 4;
        EXPECT_EQ(extent, (onFile ? Extent{files.at(row.secondOnFile).lba * 4, old.blocks} : old)) << "APM " << number;
        EXPECT_TRUE(PartitionBytes(image, extent) == PartitionBytes(originalPath, old)) << "APM " << number;
    }

    std::string label;
    const std::vector<Extent> sfdisk = SfdiskPartitions(image, label);
    std::vector<Extent> expected;
    for (const auto& [number, extent] : label == "gpt" ? after.gpt : after.mbr) {
        expected.push_back(extent);
    }
    EXPECT_EQ(sfdisk, expected) << "sfdisk reads a " << label << " label";
    const std::string overlap = "overlaps";
    EXPECT_EQ(test::Contains(RunCommand("sfdisk -V " + ShellQuote(image) + " 2>&1").output, overlap),
              test::Contains(RunCommand("sfdisk -V " + ShellQuote(originalPath) + " 2>&1").output, overlap));
    if (!before.gpt.empty()) {
        EXPECT_EQ(after.backupHeader, volumeEnd - 1);
        const CommandResult verify = RunCommand("sgdisk -v " + ShellQuote(image) + " 2>&1");
        for (const char* problem : {"CRC", "differ", "self-pointer", "corrupt"}) {
            EXPECT_EQ(verify.output.find(problem), std::string::npos) << verify.output;
        }
    }
    // An isohybrid MBR's boot code still loads the BIOS boot image where it now lies (xorriso tells isohybrid from its
    // block number).
    EXPECT_EQ(test::MbrBootKind(image), test::MbrBootKind(originalPath));
    if (added == nullptr) {
        return;
    }
    // The added file lies inside every grown partition, whole.
    const FileData& big = files.at("/added/big.bin");
    ASSERT_EQ(big.size, added->size());
    const auto inside = [&](const Extent& extent) {
        return big.lba * 4 >= extent.start && (big.lba * 2048 + big.size + 511) / 512 <= extent.End();
    };
    for (const std::map<int, Extent>* table : {&before.mbr, &before.gpt}) {
        if (table->contains(1)) {
            const Extent& now = (table == &before.mbr ? after.mbr : after.gpt).at(1);
            EXPECT_EQ(inside(now), !AppendedBehindFirst(*table));
        }
    }
    EXPECT_EQ(test::Contains(said, "cannot be read through that partition"),
              AppendedBehindFirst(before.mbr) || AppendedBehindFirst(before.gpt))
        << said;
    if (row.secondOnFile != nullptr) {
        EXPECT_NE(files.at(row.secondOnFile).lba, originalFiles.at(row.secondOnFile).lba) << "meant to be pushed aside";
    }
    EXPECT_TRUE(test::ReadFileRange(image, big.lba * 2048, big.size) == *added);
}

TEST_P(HybridSave, PartitionsCoverTheAddedDataAndTheOthersStay)
{
    const Row& row = GetParam();
    TARVELIN_REQUIRE_TOOLS("xorriso", "sfdisk", "sgdisk", "dd");
    for (const char* file : {"/usr/lib/grub-rescue/grub-rescue-cdrom.iso", "/usr/lib/ipxe/ipxe.iso",
                             "/usr/lib/memtest86+/memtest86+x64.iso", "/usr/lib/ISOLINUX/isohdpfx.bin",
                             "/usr/lib/ISOLINUX/isolinux.bin"}) {
        TARVELIN_REQUIRE_FILE(file);
    }
    test::TempDir dir;
    fs::create_directories(dir / "tree/boot");
    fs::copy_file("/usr/lib/ISOLINUX/isolinux.bin", dir / "tree/boot/isolinux.bin");
    test::WriteWholeFile(dir / "tree/boot/efi.img", test::RandomBytes(1474560, 1));
    test::WriteWholeFile(dir / "tree/data.bin", test::RandomBytes(300000, 2));
    test::WriteWholeFile(dir / "efi.img", test::RandomBytes(1474560, 3));
    const std::string image = row.make(dir);
    const std::string originalPath = dir / "original.iso";
    fs::copy_file(image, originalPath);
    const DiskTables before = ReportTables(image);
    ASSERT_NE(before.volumeBlocks, 0u);
    ASSERT_EQ(before.mbr.count(1), 1u);
    ASSERT_EQ(before.apm.empty(), !row.apm);

    // A save that appends nothing.
    const std::string cli = ShellQuote(TARVELIN_CLI_PATH);
    CommandResult saved = RunCommand(cli + " mkdir " + ShellQuote(image) + " /added");
    ASSERT_EQ(saved.exitCode, 0) << saved.output;
    {
        SCOPED_TRACE("after mkdir");
        CheckSaved(row, image, before, originalPath, nullptr, saved.output);
    }

    // A save that appends 3 MB and a folder wide enough to push the files behind the metadata aside.
    fs::create_directories(dir / "add/wide");
    for (int i = 0; i < 700; ++i) {
        test::WriteWholeFile(dir / ("add/wide/a file with a long name " + std::to_string(i)), std::to_string(i));
    }
    const std::vector<std::uint8_t> big = test::RandomBytes(3000000, 4);
    test::WriteWholeFile(dir / "add/big.bin", big);
    saved = RunCommand(cli + " add " + ShellQuote(image) + " " + ShellQuote(dir / "add/big.bin") + " " +
                       ShellQuote(dir / "add/wide") + " --to /added 2>&1");
    ASSERT_EQ(saved.exitCode, 0) << saved.output;
    {
        SCOPED_TRACE("after add");
        CheckSaved(row, image, before, originalPath, &big, saved.output);
    }

    // Read from the grown partition alone, as a system that mounts it would: one from block 0 shares the volume's
    // metadata, one behind it holds a copy of its own when the image had one.
    if (AppendedBehindFirst(before.mbr)) {
        return;
    }
    const Extent partition = ReportTables(image).mbr.at(1);
    const std::vector<std::uint8_t> ownVolume = test::ReadFileRange(originalPath, partition.start * 512 + 32769, 5);
    if (partition.start == 0 || std::string(ownVolume.begin(), ownVolume.end()) == "CD001") {
        const std::string alone = dir / "partition.img";
        const CommandResult copied =
            RunCommand("dd if=" + ShellQuote(image) + " of=" + ShellQuote(alone) + " bs=512 skip=" +
                       std::to_string(partition.start) + " count=" + std::to_string(partition.blocks) + " 2>&1");
        ASSERT_EQ(copied.exitCode, 0) << copied.output;
        const CommandResult extracted =
            RunCommand("xorriso -osirrox on -indev " + ShellQuote(alone) + " -extract " +
                       ShellQuote(FileExtents(image).at("/added/big.bin").path) + " " + ShellQuote(dir / "out.bin") +
                       " 2>&1");
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        EXPECT_TRUE(test::ReadWholeFile(dir / "out.bin") == big);
    }
}

INSTANTIATE_TEST_SUITE_P(RealImages, HybridSave, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.id); });

} // namespace
} // namespace tarvelin
