// tarvelin-cli ls on the tricky images against 7-Zip, bsdtar and isoinfo: names, dates in several zones, paths, Rock
// Ridge modes and exit codes.

#include "cli/tricky_images.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::LongLine;
using test::ParseLongListing;
using test::RunForOutput;
using test::ShellQuote;
using test::TempDir;
namespace fs = std::filesystem;

class LsCommandTest : public test::TrickyImagesTest {};

TEST_F(LsCommandTest, RecursiveListingEqualsWhatSevenZipAndBsdtarList)
{
    TARVELIN_REQUIRE_TOOLS("7z", "bsdtar");
    for (const char* image : {"jr.iso", "joliet.iso", "primary.iso", "noemul.iso", "floppy.iso"}) {
        SCOPED_TRACE(image);
        const std::vector<std::string> ours = test::SortedLines(test::CliOutput("ls -R " + ShellQuote(At(image))));
        EXPECT_EQ(ours, test::SevenZipPaths(At(image)));
        EXPECT_EQ(ours, test::BsdtarPaths(At(image)));
        EXPECT_GT(ours.size(), 1u);
    }
}

TEST_F(LsCommandTest, WithoutJolietThePrimaryNamesAreListedAsIsoinfoRecordsThem)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    // An image with Rock Ridge shows its Rock Ridge names unless the primary names are asked for.
    for (const char* image : {"primary.iso", "rockridge.iso"}) {
        SCOPED_TRACE(image);
        std::vector<std::string> expected;
        for (const auto& [path, entry] : test::IsoinfoDatedListing(At(image), "")) {
            std::string shown = test::PrimaryPathShown(path, false);
            if (path.back() != '/') {
                shown.pop_back();
            }
            expected.push_back(shown);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(test::SortedLines(test::CliOutput("ls -R --names iso " + ShellQuote(At(image)))), expected);
    }
}

// Dates in the viewer's zone whatever zone the image was made in (joliet.iso: Tokyo), each with the offset of its own
// moment (New York keeps summer time). 7-Zip applies today's offset, so it is compared in zones without summer time;
// isoinfo shows the day as recorded, so in the maker's zone.
TEST_F(LsCommandTest, LongListingMatchesTheSourceSevenZipAndIsoinfoInEachZone)
{
    TARVELIN_REQUIRE_TOOLS("isoinfo", "7z");
    const auto source = test::SnapshotTree(At("tree"));
    const struct {
        const char* image;
        const char* zone;
        bool sevenZip;
        bool isoinfo;
    } rows[] = {
        {"jr.iso", "UTC", true, true},
        {"joliet.iso", "America/New_York", false, false},
        {"joliet.iso", "Asia/Kolkata", true, false}, // a half-hour offset
        {"joliet.iso", "Asia/Tokyo", false, true},
    };
    std::map<std::string, std::map<std::string, LongLine>> byZone;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.image) + " in " + row.zone);
        const auto ours = ParseLongListing(test::CliOutput("ls -R -l " + ShellQuote(At(row.image)), row.zone));
        byZone[row.zone] = ours;
        ASSERT_EQ(ours.size(), source.size());
        const auto sevenZip = row.sevenZip ? test::SevenZipDates(At(row.image), row.zone)
                                           : std::map<std::string, std::string>{};
        for (const auto& [path, line] : ours) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(source.count(path));
            EXPECT_EQ(line.date, test::FormatInZone(source.at(path).modified, row.zone));
            EXPECT_TRUE(!row.sevenZip || line.date == sevenZip.at(path)) << sevenZip.at(path);
            EXPECT_TRUE(source.at(path).isDirectory || line.size == source.at(path).bytes.size());
        }
        // isoinfo cuts Joliet names at 64 characters; the rest it shows. A folder's extent is its primary one.
        std::size_t compared = 0;
        for (const auto& [path, entry] : row.isoinfo ? test::IsoinfoDatedListing(At(row.image), "-J")
                                                     : std::map<std::string, test::IsoinfoDatedEntry>{}) {
            if (ours.count(path)) {
                EXPECT_EQ(ours.at(path).size, entry.size) << path;
                EXPECT_TRUE(path.back() == '/' || ours.at(path).extent == entry.extent) << path;
                EXPECT_EQ(ours.at(path).date.substr(0, 10), entry.day) << path;
                ++compared;
            }
        }
        EXPECT_TRUE(!row.isoinfo || compared > 20u) << compared;
    }
    // The zones differ by 13 or 14 hours, so some days must differ too.
    std::size_t daysDiffer = 0;
    for (const auto& [path, line] : byZone.at("Asia/Tokyo")) {
        daysDiffer += line.date.substr(0, 10) != byZone.at("America/New_York").at(path).date.substr(0, 10) ? 1 : 0;
    }
    EXPECT_GT(daysDiffer, 0u);
}

TEST_F(LsCommandTest, PathsSelectAFolderOrAFile)
{
    const std::string image = ShellQuote(At("jr.iso"));
    EXPECT_EQ(test::CliOutput("ls " + image + " b"), "c\n");
    EXPECT_EQ(test::CliOutput("ls " + image + " /b/"), "c\n");
    EXPECT_EQ(test::CliOutput("ls " + image + " Grüße"), "Straße.txt\n");
    // Folders end in '/'; -R paths are relative to the folder listed.
    EXPECT_EQ(test::SortedLines(test::CliOutput("ls " + image + " nested")),
              (std::vector<std::string>{"empty inside/", "empty too.bin"}));
    EXPECT_EQ(test::CliOutput("ls -R " + image + " 1/2/3/4/5/6/7/8"), "9/\n9/10/\n9/10/11/\n9/10/11/leaf.txt\n");
    // A file lists itself.
    EXPECT_EQ(test::CliOutput("ls " + image + " sizes/one.bin"), "one.bin\n");
    // Exact first, then without regard to case.
    EXPECT_EQ(test::CliOutput("ls " + image + " SIZES/ONE.BIN"), "one.bin\n");
    EXPECT_EQ(test::CliOutput("ls " + image + " readme"), "README\n");
    // Size, date, extent before the name.
    const auto longLine = ParseLongListing(test::CliOutput("ls -l " + image + " sizes/just-over.bin"));
    ASSERT_TRUE(longLine.count("just-over.bin"));
    EXPECT_EQ(longLine.at("just-over.bin").size, 2049u);
}

TEST_F(LsCommandTest, FailuresAndTheirExitCodes)
{
    const std::string image = ShellQuote(At("jr.iso"));
    test::WriteWholeFile(At("random.bin"), test::RandomBytes(200000, 3));
    test::ExpectRefusals({
        {"ls " + image + " no/such/thing", 1, "'/no' not found"},
        {"ls " + image + " a/below-a-file", 1, "is a file"},
        {"ls " + ShellQuote(At("missing.iso")), 1, "missing.iso"},
        {"ls " + ShellQuote(At("random.bin")), 2, "no ISO 9660 volume found"},
        {"ls", 64},
        {"ls " + image + " -x", 64},
        {"ls " + image + " a b", 64},
    });
}

// An entry one tree hides (genisoimage -hide, -hide-joliet) is listed once, as is every entry of the same data the
// other tree names: a record the primary tree lacks must not take another's partner by its data alone (a hard link,
// empty files). Entries of the same name but other data are other files, and both stay. A folder one tree hides is not
// the other's folder that that one hides (outer holds no files, sub does).
TEST(LsHiddenEntriesTest, EachFileIsListedOnceWhereOneTreeHidesIt)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TempDir dir;
    const std::string source = dir / "src";
    fs::create_directories(source + "/sub");
    fs::create_directories(source + "/outer/inner");
    test::WriteWholeFile(source + "/outer/inner/delta.txt", std::string("d\n"));
    test::WriteWholeFile(source + "/alpha.txt", std::string("a\n"));
    ASSERT_EQ(::link((source + "/alpha.txt").c_str(), (source + "/alpha2.txt").c_str()), 0);
    test::WriteWholeFile(source + "/beta.txt", std::string("b\n"));
    test::WriteWholeFile(source + "/empty1", std::string());
    test::WriteWholeFile(source + "/empty2", std::string());
    test::WriteWholeFile(source + "/sub/gamma.txt", std::string("c\n"));
    const std::vector<std::string> all{"alpha.txt", "alpha2.txt", "beta.txt", "empty1", "empty2", "outer/",
                                       "outer/inner/", "outer/inner/delta.txt", "sub/", "sub/gamma.txt"};
    const std::vector<std::string> options{"-J -R -hide empty1",
                                           "-J -R -hide alpha.txt",
                                           "-J -hide empty1 -hide alpha.txt",
                                           "-J -R -hide-joliet empty2 -hide-joliet alpha2.txt",
                                           "-J -R -hide sub/gamma.txt -hide-joliet beta.txt",
                                           "-J -R -hide outer -hide-joliet sub"};
    for (const std::string& option : options) {
        SCOPED_TRACE(option);
        const std::string image = dir / "hidden.iso";
        fs::remove(image);
        test::RunGenisoimage(source, image, option);
        EXPECT_EQ(test::SortedLines(test::CliOutput("ls -R " + ShellQuote(image))), all);
    }

    // Crafted: B.TXT is named b.txt in the Joliet tree, after a record of the same data that the primary tree lacks;
    // SAME.TXT and same.txt hold different data: two files.
    test::MemorySector crafted(40);
    const std::uint32_t primaryLength = crafted.WriteDirectory(
        20, 20, 0, {test::MakeRecord("B.TXT;1", 30, 2), test::MakeRecord("SAME.TXT;1", 31, 2)});
    const std::uint32_t jolietLength = crafted.WriteDirectory(
        22, 22, 0,
        {test::MakeRecord(test::JolietId("a hidden.txt"), 30, 2), test::MakeRecord(test::JolietId("b.txt"), 30, 2),
         test::MakeRecord(test::JolietId("same.txt"), 32, 2)});
    crafted.WriteDescriptors(20, primaryLength, std::make_pair(22u, jolietLength));
    const std::string image = dir / "crafted.iso";
    test::WriteWholeFile(image, crafted.bytes);
    // The primary SAME.TXT, in that tree alone, keeps its own name.
    EXPECT_EQ(test::SortedLines(test::CliOutput("ls " + ShellQuote(image))),
              (std::vector<std::string>{"SAME.TXT", "a hidden.txt", "b.txt", "same.txt"}));
}

// Without Rock Ridge, folders whose ISO 9660 names are cut (8 characters, and "-" and "." made "_") pair with their
// Joliet folders by the files they hold, folders of folders by the files below them, and folders without data by
// their names (QDf comes first in the Joliet tree, HPT in the ISO 9660 tree), and folders whose names differ in case
// only by what they hold: each is listed once, and a save writes
// each tree without the other's folders (the UDF tree from both).
TEST(LsHiddenEntriesTest, WithoutRockRidgeFoldersWhoseIsoNamesAreCutAreListedOnce)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "isoinfo");
    TempDir dir;
    const std::string source = dir / "src";
    for (const char* folder : {"top/alpha.long.folder", "top/beta.long.folder/inner.folder", "top/-PWiT.x",
                               "top/-pwIt.X", "top/gamma.long.folder/x.long.folder/y", "top/hpt.long.folder",
                               "top/QDf.long.folder"}) {
        fs::create_directories(source + "/" + folder);
    }
    test::WriteWholeFile(source + "/top/hpt.long.folder/empty-file.z", std::string());
    // One ISO 9660 name for two folders: MIXED, MIXED000.
    fs::create_directories(source + "/top/Mixed");
    fs::create_directories(source + "/top/mixed");
    test::WriteWholeFile(source + "/top/Mixed/upper.txt", std::string("U\n"));
    test::WriteWholeFile(source + "/top/mixed/lower.txt", std::string("l\n"));
    test::WriteWholeFile(source + "/top/beta.long.folder/inner.folder/file.txt", std::string("b\n"));
    test::WriteWholeFile(source + "/top/gamma.long.folder/x.long.folder/y/g.txt", std::string("g\n"));
    const std::vector<std::string> all{"top/", "top/-PWiT.x/", "top/-pwIt.X/", "top/Mixed/", "top/Mixed/upper.txt",
                                       "top/QDf.long.folder/", "top/alpha.long.folder/",
                                       "top/beta.long.folder/", "top/beta.long.folder/inner.folder/",
                                       "top/beta.long.folder/inner.folder/file.txt", "top/gamma.long.folder/",
                                       "top/gamma.long.folder/x.long.folder/", "top/gamma.long.folder/x.long.folder/y/",
                                       "top/gamma.long.folder/x.long.folder/y/g.txt", "top/hpt.long.folder/",
                                       "top/hpt.long.folder/empty-file.z", "top/mixed/", "top/mixed/lower.txt"};
    const std::string image = dir / "joliet.iso";
    test::RunGenisoimage(source, image, "-J -udf");
    EXPECT_EQ(test::SortedLines(test::CliOutput("ls -R " + ShellQuote(image))), all);
    ASSERT_TRUE(test::Succeeded(test::RunCli("mkdir " + ShellQuote(image) + " /made")));
    std::vector<std::string> saved = all;
    saved.insert(saved.begin(), "made/");
    for (const char* tree : {"iso", "joliet", "udf"}) {
        EXPECT_EQ(test::SortedLines(test::CliOutput(std::string("ls -R --tree ") + tree + " --names joliet "
                                                    + ShellQuote(image))).size(),
                  saved.size()) << tree;
    }
    EXPECT_EQ(test::SortedLines(test::CliOutput("ls -R " + ShellQuote(image))), saved);
    EXPECT_EQ(test::IsoinfoDatedListing(image, "").size(), test::IsoinfoDatedListing(image, "-J").size());
}

// With Rock Ridge the long listing starts with the mode as ls(1) shows it and names a link's target; without it the
// lines are as they were. The modes come from the Rock Ridge reader of the tree.
TEST(LsPosixTest, RockRidgeModesAndLinkTargetsAreShown)
{
    TARVELIN_REQUIRE_TOOLS("xorriso", "genisoimage", "isoinfo");
    TempDir dir;
    const std::string source = dir / "src";
    struct Row {
        std::string name;
        unsigned mode;      // 0: a link to "../other/place"
        std::string shown;  // the mode field, then the name as listed
    };
    const std::vector<Row> rows = {
        {"plain", 0640, "-rw-r----- plain"},
        {"tool", 0751, "-rwxr-x--x tool"},
        {"setuid", 04755, "-rwsr-xr-x setuid"},
        {"setgid", 02644, "-rw-r-Sr-- setgid"},
        {"ro", 0555, "dr-xr-xr-x ro/"},
        {"sticky", 01777, "drwxrwxrwt sticky/"},
        {"link", 0, "lrwxrwxrwx link -> ../other/place"},
    };
    fs::create_directories(source);
    for (const Row& row : rows) {
        const std::string path = source + "/" + row.name;
        if (row.mode == 0) {
            fs::create_symlink("../other/place", path);
        } else if (row.shown[0] == 'd') {
            fs::create_directories(path);
        } else {
            test::WriteWholeFile(path, std::string("x"));
        }
        if (row.mode != 0) {
            ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
        }
    }
    test::RunXorrisoMkisofs(source, dir / "rr.iso", "-R");
    test::RunXorrisoMkisofs(source, dir / "plain.iso", "--norock");
    // genisoimage -XA puts a CD-XA record in front of every record's SUSP entries, the root's SP too.
    test::RunGenisoimage(source, dir / "xa.iso", "-R -J -XA");
    ::chmod((source + "/ro").c_str(), 0755);

    std::string line;
    const auto listedIn = [&](const std::string& image) {
        std::istringstream lines(test::CliOutput("ls -l " + ShellQuote(image)));
        std::map<std::string, std::string> listed; // name -> the mode field and what follows the extent
        while (std::getline(lines, line)) {
            const std::string named = line.substr(line.rfind("  ") + 2);
            std::string name = named.substr(0, named.find(' '));
            if (name.back() == '/') {
                name.pop_back();
            }
            listed[name] = line.substr(0, 11) + named;
        }
        return listed;
    };
    for (const char* image : {"rr.iso", "xa.iso"}) {
        std::map<std::string, std::string> listed = listedIn(dir / image);
        for (const Row& row : rows) {
            EXPECT_EQ(listed[row.name], row.shown) << image << " " << row.name;
        }
    }
    // A save keeps the CD-XA records: the renamed file keeps its mode, and isoinfo finds Rock Ridge as before.
    ASSERT_EQ(test::RunCli("rename " + ShellQuote(dir / "xa.iso") + " tool renamed").exitCode, 0);
    EXPECT_EQ(listedIn(dir / "xa.iso")["renamed"], "-rwxr-x--x renamed");
    const std::string records = test::RunCommand("isoinfo -R -l -i " + ShellQuote(dir / "xa.iso")).output;
    const std::size_t renamed = records.find(" renamed \n");
    ASSERT_NE(renamed, std::string::npos) << records;
    EXPECT_EQ(records.substr(records.rfind('\n', renamed) + 1, 10), "-rwxr-x--x") << records;
    // cat names the link's target instead of passing it off as an empty file.
    test::ExpectRefusals({{"cat " + ShellQuote(dir / "rr.iso") + " link", 1,
                           "'link' is a symbolic link to '../other/place', not a file"}});

    std::istringstream plain(test::CliOutput("ls -l " + ShellQuote(dir / "plain.iso")));
    std::size_t count = 0;
    while (std::getline(plain, line)) {
        EXPECT_EQ(line[0], ' ') << "no mode without Rock Ridge: " << line;
        ++count;
    }
    EXPECT_EQ(count, rows.size() - 1) << "without Rock Ridge xorriso leaves the link out";

    // genisoimage dates the record of a grafted folder with the moment the image was made; its Rock Ridge TF entry
    // keeps the folder's own time.
    test::WriteWholeFile(source + "/ro/Twin.txt", std::string("upper\n"));
    test::WriteWholeFile(source + "/ro/twin.txt", std::string("lower\n"));
    // It labels some dates from 2028 on with an offset no zone has (-96): such a date reads as UTC, as the Linux
    // kernel and bsdtar read it.
    test::WriteWholeFile(source + "/ro/far.txt", std::string("far\n"));
    const timespec far[2] = {{2104138661, 0}, {2104138661, 0}}; // 2036-09-04 10:57:41 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, (source + "/ro/far.txt").c_str(), far, 0), 0);
    const timespec times[2] = {{981173106, 0}, {981173106, 0}}; // 2001-02-03 04:05:06 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, (source + "/ro").c_str(), times, 0), 0);
    test::RunGenisoimage("grafted/in=" + source + "/ro", dir / "graft.iso", "-R -graft-points");
    const std::string grafted = test::CliOutput("ls -l " + ShellQuote(dir / "graft.iso") + " grafted");
    EXPECT_TRUE(test::Contains(grafted, "2001-02-03 04:05:06")) << grafted;
    const std::string farLine = test::CliOutput("ls -l " + ShellQuote(dir / "graft.iso") + " grafted/in/far.txt");
    EXPECT_TRUE(test::Contains(farLine, "2036-09-04 10:57:41")) << farLine;
    // Names that differ only in case: the exact one, else neither.
    const std::string twins = ShellQuote(dir / "graft.iso") + " grafted/in/";
    EXPECT_EQ(test::CliOutput("cat " + twins + "Twin.txt"), "upper\n");
    test::ExpectRefusals({{"cat " + twins + "TWIN.TXT", 1, "matches 2 entries that differ only in case"}});
}

} // namespace
} // namespace tarvelin
