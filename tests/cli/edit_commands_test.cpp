// tarvelin-cli add, rm, mkdir, rename and compact: each a save in place; every failure a message, its exit code and the
// image unchanged.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/nrg_fixtures.h"
#include "support/reference_ecma130.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::RunCli;
using test::ShellQuote;

class EditCommands : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "disc.iso";

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOLS("genisoimage", "7z");
        fs::create_directories(dir / "src/docs/inner");
        test::WriteWholeFile(dir / "src/docs/readme.txt", std::string("old readme\n"));
        test::WriteWholeFile(dir / "src/docs/inner/deep.bin", test::RandomBytes(10000, 1));
        test::WriteWholeFile(dir / "src/top.bin", test::RandomBytes(3000, 2));
        test::RunGenisoimage(dir / "src", image, "-J -R");
    }

    std::vector<std::string> Listing() { return test::SevenZipPaths(image); }
};

TEST_F(EditCommands, AddPutsFilesAndFoldersWhereAskedAndNamesWhatItReplaced)
{
    fs::create_directories(dir / "new/pack/sub");
    test::WriteWholeFile(dir / "new/readme.txt", std::string("new readme\n"));
    test::WriteWholeFile(dir / "new/pack/sub/x.txt", std::string("x\n"));
    fs::create_hard_link(dir / "new/pack/sub/x.txt", dir / "new/pack/y.txt");
    const CommandResult added = RunCli("add " + ShellQuote(image) + " " + ShellQuote(dir / "new/readme.txt") + " " +
                                    ShellQuote(dir / "new/pack") + " --to docs");
    ASSERT_EQ(added.exitCode, 0) << added.output;
    EXPECT_EQ(added.output, "replaced '/docs/readme.txt'\n");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/inner/", "docs/inner/deep.bin", "docs/pack/",
                                                   "docs/pack/sub/", "docs/pack/sub/x.txt", "docs/pack/y.txt",
                                                   "docs/readme.txt", "top.bin"}));
    const CommandResult shown = RunCli("cat " + ShellQuote(image) + " docs/readme.txt");
    EXPECT_EQ(shown.output, "new readme\n");
    // Hard links added together are one file, stored once.
    TARVELIN_REQUIRE_TOOL("xorriso");
    EXPECT_TRUE(test::NamesOneFile(image, {"/docs/pack/sub/x.txt", "/docs/pack/y.txt"}, "/docs/readme.txt"));

    // Without Rock Ridge, names that differ in case alone are two files (Joliet names here): one of them is replaced,
    // the very name if there, else the first; the other stays.
    TARVELIN_REQUIRE_TOOL("bsdtar");
    fs::create_directories(dir / "cased");
    test::WriteWholeFile(dir / "cased/Readme.txt", std::string("first\n"));
    test::WriteWholeFile(dir / "cased/readme.txt", std::string("second\n"));
    test::WriteWholeFile(dir / "new/README.TXT", std::string("added\n"));
    const std::string joliet = dir / "joliet.iso";
    test::RunGenisoimage(dir / "cased", joliet, "-J");
    ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(joliet) + " " + ShellQuote(dir / "new/README.TXT"))));
    EXPECT_EQ(test::SevenZipPaths(joliet), (std::vector<std::string>{"README.TXT", "readme.txt"}));
    EXPECT_EQ(RunCommand("bsdtar -xOf " + ShellQuote(joliet) + " readme.txt").output, "second\n");
    EXPECT_EQ(RunCommand("bsdtar -xOf " + ShellQuote(joliet) + " README.TXT").output, "added\n");

    // A name the image's names cannot hold is told as the save wrote it (tests/iso: every kind of tree).
    test::WriteWholeFile(dir / "My new file.txt", std::string("new\n"));
    test::RunGenisoimage(dir / "cased", joliet, "");
    EXPECT_EQ(RunCli("add " + ShellQuote(joliet) + " " + ShellQuote(dir / "My new file.txt")).output,
              "tarvelin-cli: warning: '/My new file.txt' is named 'MY_NEW_F.TXT' in the image: its names cannot hold"
              " the name as given\n");
}

TEST_F(EditCommands, RmMkdirAndRenameChangeTheTree)
{
    CommandResult result = RunCli("rm " + ShellQuote(image) + " docs/inner top.bin docs/inner/deep.bin");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/readme.txt"}));
    for (const char* folder : {" /docs/made", " /top"}) {
        result = RunCli("mkdir " + ShellQuote(image) + folder);
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
    result = RunCli("rename " + ShellQuote(image) + " docs/readme.txt README.md");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"docs/", "docs/README.md", "docs/made/", "top/"}));
    // A new folder's ".." record has its parent's date, the root's too.
    const std::string records = RunCommand("isoinfo -l -i " + ShellQuote(image)).output;
    EXPECT_EQ(records.find(" 1900 "), std::string::npos) << records;
}

TEST_F(EditCommands, FreedSpaceIsReusedShownAndCompactedAway)
{
    // Space freed by rm takes what a later add brings: the image does not grow.
    ASSERT_EQ(RunCli("rm " + ShellQuote(image) + " top.bin").exitCode, 0);
    const auto size = fs::file_size(image);
    test::WriteWholeFile(dir / "same.bin", test::RandomBytes(3000, 3));
    ASSERT_EQ(RunCli("add " + ShellQuote(image) + " " + ShellQuote(dir / "same.bin")).exitCode, 0);
    EXPECT_LE(fs::file_size(image), size);

    // compact -o leaves the image as it is; the copy holds every file with no free space but the padding genisoimage
    // ends an image with.
    ASSERT_EQ(RunCli("rm " + ShellQuote(image) + " docs/readme.txt").exitCode, 0);
    const auto before = test::ReadWholeFile(image);
    const std::string copy = dir / "compact.iso";
    ASSERT_TRUE(test::Succeeded(RunCli("compact " + ShellQuote(image) + " -o " + ShellQuote(copy))));
    EXPECT_TRUE(test::ReadWholeFile(image) == before);
    EXPECT_EQ(test::SevenZipPaths(copy), Listing());
    EXPECT_EQ(RunCommand("7z e -so " + ShellQuote(copy) + " same.bin 2>/dev/null").output.size(), 3000u);
    EXPECT_NE(RunCli("info " + ShellQuote(copy)).output.find("free space:      150 sectors (0.3 MiB) in 1 pieces"),
              std::string::npos);
    EXPECT_LE(fs::file_size(copy), fs::file_size(image));
    EXPECT_EQ(RunCli("compact " + ShellQuote(copy) + " -o " + ShellQuote(copy)).exitCode, 64); // never over itself
    // ...nor over a pipe or device, which a plain file would replace.
    const std::string pipe = dir / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const CommandResult intoPipe = RunCli("compact " + ShellQuote(image) + " -o " + ShellQuote(pipe));
    EXPECT_EQ(intoPipe.exitCode, 64);
    EXPECT_NE(intoPipe.output.find("is a device, pipe or socket"), std::string::npos) << intoPipe.output;
    EXPECT_TRUE(fs::is_fifo(pipe));
}

// bsdtar refuses a whole image when a record names a sector outside the volume, takes two folders read one after the
// other for links of one folder when they have one number (a serial-less record's number is its extent), and a folder
// for a loop when an empty file inside it has its number. All came from saves of genisoimage and xorriso images: an
// empty file that genisoimage put behind its last file kept that sector once the removal of that file shrank the
// volume, new records numbered from 1 up met the sectors of the image's own, and an empty file's sector, which xorriso
// puts behind the metadata, was taken by its folder when the metadata grew. xorriso warns of a second boot catalog when
// an empty file names the sector the save gave the catalog.
TEST_F(EditCommands, EditsOfOtherToolsImagesStayReadableToBsdtarAndXorriso)
{
    TARVELIN_REQUIRE_TOOLS("bsdtar", "xorriso");
    const auto bsdtarReads = [](const std::string& iso, const std::string& expected) {
        const CommandResult listed = RunCommand("bsdtar -tvf " + ShellQuote(iso));
        EXPECT_EQ(listed.exitCode, 0) << listed.output;
        EXPECT_EQ(listed.output.find("link to"), std::string::npos) << listed.output;
        EXPECT_NE(listed.output.find(expected), std::string::npos) << listed.output;
    };
    fs::create_directories(dir / "e");
    test::WriteWholeFile(dir / "e/b.txt", std::string("b\n"));
    test::WriteWholeFile(dir / "e/y_big", test::RandomBytes(1000000, 4));
    test::WriteWholeFile(dir / "e/z_empty", std::string());
    const std::string emptyLast = dir / "empty-last.iso";
    test::RunGenisoimage(dir / "e", emptyLast, "-J -R");
    const auto sizeBefore = fs::file_size(emptyLast);
    ASSERT_TRUE(test::Succeeded(RunCli("rm " + ShellQuote(emptyLast) + " /y_big")));
    ASSERT_LT(fs::file_size(emptyLast), sizeBefore - 1000000);
    bsdtarReads(emptyLast, " z_empty\n");

    // 33 folders of two empty files each, added in front of the image's folder zz: the last of them used to get the
    // number of zz's sector.
    fs::create_directories(dir / "n/a");
    fs::create_directories(dir / "n/zz");
    test::WriteWholeFile(dir / "n/a/f", std::string("f\n"));
    test::WriteWholeFile(dir / "n/zz/g", std::string("g\n"));
    for (int i = 1; i <= 33; ++i) {
        const fs::path folder = fs::path(dir / "add") / ("d" + std::to_string(i));
        fs::create_directories(folder);
        test::WriteWholeFile(folder / "x", std::string());
        test::WriteWholeFile(folder / "y", std::string());
    }
    const std::string numbered = dir / "numbered.iso";
    test::RunGenisoimage(dir / "n", numbered, "-J -R");
    ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(numbered) + " " + ShellQuote(dir / "add") + " --to /a")));
    bsdtarReads(numbered, " zz/g\n");

    // 100 files added to the root push the folder d onto sector 32, where xorriso put the empty file d/e.
    fs::create_directories(dir / "x/d");
    test::WriteWholeFile(dir / "x/a.txt", std::string("a\n"));
    test::WriteWholeFile(dir / "x/d/e", std::string());
    test::WriteWholeFile(dir / "x/d/x", std::string("x\n"));
    const std::string pushed = dir / "pushed.iso";
    test::RunXorrisoMkisofs(dir / "x", pushed, "-r -J");
    std::string files;
    for (int i = 1; i <= 100; ++i) {
        const std::string file = dir / ("file-number-" + std::to_string(i) + ".txt");
        test::WriteWholeFile(file, std::to_string(i) + "\n");
        files += " " + ShellQuote(file);
    }
    ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(pushed) + files)));
    bsdtarReads(pushed, " d/e\n");

    // A folder and 16 names added, then compacted: the boot catalog, a file of the tree, moves onto sector 32, where
    // xorriso put the empty file e. xorriso then found two catalogs and warned.
    fs::create_directories(dir / "c/isolinux");
    test::WriteWholeFile(dir / "c/a.txt", std::string("a\n"));
    test::WriteWholeFile(dir / "c/e", std::string());
    test::WriteWholeFile(dir / "c/isolinux/loader.bin", test::RandomBytes(38912, 5));
    const std::string catalog = dir / "catalog.iso";
    const std::string q = ShellQuote(catalog);
    test::RunXorrisoMkisofs(dir / "c", catalog,
                            "-r -J -b isolinux/loader.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4");
    ASSERT_NE(RunCli("ls " + q + " /e -l").output.find(" 32  e"), std::string::npos);
    files.clear();
    for (int i = 1; i <= 16; ++i) {
        const std::string file = dir / ("g" + std::to_string(i));
        test::WriteWholeFile(file, std::string());
        files += " " + ShellQuote(file);
    }
    for (const std::string& edit : {"mkdir " + q + " /d1", "add " + q + files, "compact " + q}) {
        ASSERT_TRUE(test::Succeeded(RunCli(edit))) << edit;
    }
    ASSERT_NE(RunCli("info " + q).output.find("boot catalog:    sector 32\n"), std::string::npos);
    const CommandResult loaded = RunCommand("xorriso -return_with WARNING 32 -indev " + q);
    EXPECT_EQ(loaded.exitCode, 0) << loaded.output;
    bsdtarReads(catalog, " e\n");
}

// genisoimage ends an image with 150 zero sectors that nothing refers to. An add takes them over and pads again behind
// the new file (it used to pad behind them, growing the image by 300 KB); a later save leaves every file it was not asked
// to change where it lies (a rename used to pull the files that ended the volume down into freed metadata), and a
// removal of the file gives the image its old length back.
TEST(PaddedImage, EditsTakeOverThePaddingAndMoveNoUntouchedFile)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "isoinfo", "7z");
    test::TempDir dir;
    fs::create_directories(dir / "src/d");
    for (int index = 1; index <= 3; ++index) {
        test::WriteWholeFile(dir / ("src/f" + std::to_string(index) + ".bin"), test::RandomBytes(100000, index));
    }
    test::WriteWholeFile(dir / "src/d/x.txt", std::string("x\n"));
    test::WriteWholeFile(dir / "new.txt", std::string("n\n"));
    const std::string image = dir / "padded.iso";
    const std::string q = ShellQuote(image);
    // Files (no folders: their records move with the metadata) -> extent.
    const auto extents = [&] {
        std::map<std::string, std::uint32_t> files;
        for (const auto& [path, entry] : test::IsoinfoDatedListing(image, "")) {
            if (!path.ends_with('/')) {
                files[path] = entry.extent;
            }
        }
        return files;
    };
    for (const std::string options : {"-J -R", "-J -R -udf"}) {
        SCOPED_TRACE(options);
        const bool udf = options.ends_with("-udf");
        test::RunGenisoimage(dir / "src", image, options);
        const auto length = fs::file_size(image);
        const auto original = extents();

        ASSERT_TRUE(test::Succeeded(RunCli("add " + q + " " + ShellQuote(dir / "new.txt"))));
        EXPECT_EQ(fs::file_size(image), length + 2048);
        auto added = extents();
        ASSERT_EQ(added.count("NEW.TXT;1"), 1u);
        EXPECT_LT(added["NEW.TXT;1"], length / 2048); // in the old padding
        added.erase("NEW.TXT;1");
        EXPECT_EQ(added, original);
        // Padded again: 150 zero sectors, in front of the closing UDF anchor.
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
        const auto paddingEnd = bytes.end() - (udf ? 2048 : 0);
        EXPECT_TRUE(std::all_of(paddingEnd - 150 * 2048, paddingEnd, [](std::uint8_t byte) { return byte == 0; }));

        ASSERT_TRUE(test::Succeeded(RunCli("rename " + q + " f1.bin g1.bin")));
        EXPECT_EQ(fs::file_size(image), length + 2048);
        auto renamed = extents();
        ASSERT_EQ(renamed.count("G1.BIN;1"), 1u);
        renamed["F1.BIN;1"] = renamed["G1.BIN;1"];
        renamed.erase("G1.BIN;1");
        renamed.erase("NEW.TXT;1");
        EXPECT_EQ(renamed, original);
        EXPECT_EQ(test::SevenZipPaths(image), (std::vector<std::string>{"d/", "d/x.txt", "f2.bin", "f3.bin", "g1.bin",
                                                                        "new.txt"}));

        ASSERT_TRUE(test::Succeeded(RunCli("rm " + q + " new.txt")));
        EXPECT_EQ(fs::file_size(image), length);

        // Eighty more names outgrow the room in front of the first file: the new folders and tables (and UDF file
        // entries) go behind the data instead of pushing the files out of their places, and come back in front once
        // they fit there again. Compacting such an image gives its free space back: the first file does not go behind
        // the data to make room for the folders in front.
        fs::remove_all(dir / "many");
        fs::create_directories(dir / "many");
        for (int index = 1; index <= 80; ++index) {
            test::WriteWholeFile(dir / ("many/a_rather_long_file_name_" + std::to_string(index) + ".txt"),
                                 std::to_string(index));
        }
        ASSERT_TRUE(test::Succeeded(RunCli("add " + q + " " + ShellQuote(dir / "many"))));
        auto grown = extents();
        EXPECT_EQ(std::erase_if(grown, [](const auto& file) { return file.first.starts_with("MANY/"); }), 80u);
        grown["F1.BIN;1"] = grown["G1.BIN;1"];
        grown.erase("G1.BIN;1");
        EXPECT_EQ(grown, original);
        // The next save lays them out again in their own place: the image does not grow by them again.
        const auto grownLength = fs::file_size(image);
        ASSERT_TRUE(test::Succeeded(
            RunCli("rename " + q + " many/a_rather_long_file_name_1.txt b_rather_long_file_name_1.txt")));
        EXPECT_EQ(fs::file_size(image), grownLength);
        const std::string compacted = dir / "compacted.iso";
        fs::copy_file(image, compacted, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(test::Succeeded(RunCli("compact " + ShellQuote(compacted))));
        EXPECT_LT(fs::file_size(compacted), fs::file_size(image));
        for (const std::string& read : {image, compacted}) {
            const std::string out = read + (udf ? "-udf" : "-iso");
            ASSERT_TRUE(test::Succeeded(RunCommand("7z x -y -t" + std::string(udf ? "udf" : "iso") + " -o"
                                                   + ShellQuote(out) + " " + ShellQuote(read) + " >/dev/null")));
            const std::string last = "many/a_rather_long_file_name_80.txt";
            EXPECT_EQ(test::ReadWholeFile(out + "/" + last), test::ReadWholeFile(dir / last)) << read;
            EXPECT_EQ(test::ReadWholeFile(out + "/g1.bin"), test::ReadWholeFile(dir / "src/f1.bin")) << read;
        }
        ASSERT_TRUE(test::Succeeded(RunCli("rm " + q + " many")));
        EXPECT_EQ(fs::file_size(image), length);
        auto shrunk = extents();
        shrunk["F1.BIN;1"] = shrunk["G1.BIN;1"];
        shrunk.erase("G1.BIN;1");
        EXPECT_EQ(shrunk, original);
    }
}

// xorriso reads the image's chain of sessions without a warning, and sums it up so.
void ExpectXorrisoSessions(const std::string& image, const std::string& summary)
{
    const std::string toc = RunCommand("xorriso -indev " + ShellQuote(image) + " -toc 2>&1").output;
    EXPECT_EQ(toc.find("WARNING"), std::string::npos) << toc;
    EXPECT_NE(toc.find("Media summary: " + summary), std::string::npos) << toc;
}

// xorriso writing to a file pads it behind the volume and finds its sessions by the volume's size: a save that appends
// nothing keeps that size (it used to take in the padding, and xorriso then saw a broken chain of sessions), the file
// its length.
TEST(PaddedVolume, ASaveThatAppendsNothingKeepsTheVolumeSizeAndXorrisosSessions)
{
    TARVELIN_REQUIRE_TOOLS("xorriso", "isoinfo");
    test::TempDir dir;
    fs::create_directories(dir / "src/dir");
    test::WriteWholeFile(dir / "src/dir/a.bin", test::RandomBytes(30000, 4));
    test::WriteWholeFile(dir / "src/top.txt", std::string("top\n"));
    const std::string made = dir / "made.iso";
    ASSERT_TRUE(test::Succeeded(
        RunCommand("xorriso -outdev " + ShellQuote(made) + " -map " + ShellQuote(dir / "src") + " / -commit 2>&1")));
    const auto volumeSize = [](const std::string& image) {
        const std::string report = RunCommand("isoinfo -d -i " + ShellQuote(image)).output;
        const auto at = report.find("Volume size is: ");
        return at == std::string::npos ? std::string() : report.substr(at, report.find('\n', at) - at);
    };
    const std::string sizeBefore = volumeSize(made);
    ASSERT_FALSE(sizeBefore.empty());
    ASSERT_LT(std::stoull(sizeBefore.substr(16)) * 2048, fs::file_size(made)); // padded behind the volume
    const std::string image = dir / "edited.iso";
    const std::string q = ShellQuote(image);
    for (const std::string& edit :
         {"rename " + q + " top.txt renamed.txt", "rm " + q + " dir/a.bin", "mkdir " + q + " dir/new"}) {
        SCOPED_TRACE(edit);
        fs::copy_file(made, image, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(test::Succeeded(RunCli(edit)));
        EXPECT_EQ(volumeSize(image), sizeBefore);
        EXPECT_EQ(fs::file_size(image), fs::file_size(made));
        ExpectXorrisoSessions(image, "1 session");
    }
    // A save that grows the volume of this one session gives it no session header of its own, which would make the
    // session an earlier one of the saved volume: compact still gives back what a removal freed.
    const std::string grown = dir / "grown.iso";
    fs::copy_file(made, grown);
    test::WriteWholeFile(dir / "big.bin", test::RandomBytes(2000000, 5));
    ASSERT_EQ(RunCli("add " + ShellQuote(grown) + " " + ShellQuote(dir / "big.bin")).exitCode, 0);
    ASSERT_EQ(RunCli("rm " + ShellQuote(grown) + " dir/a.bin").exitCode, 0);
    EXPECT_TRUE(test::Succeeded(RunCli("compact " + ShellQuote(grown))));
    // So does compacting the image as xorriso made it: what lies behind its volume is zeros, no data (the file used to
    // keep its size, the freed sectors staying inside the volume); the padding stays behind the volume.
    const std::string compacted = dir / "compacted.iso";
    fs::copy_file(made, compacted);
    ASSERT_TRUE(test::Succeeded(RunCli("rm " + ShellQuote(compacted) + " dir/a.bin")));
    ASSERT_TRUE(test::Succeeded(RunCli("compact " + ShellQuote(compacted))));
    EXPECT_LE(fs::file_size(compacted) + 30000, fs::file_size(made));
    const std::string sizeAfter = volumeSize(compacted);
    ASSERT_FALSE(sizeAfter.empty());
    EXPECT_LT(std::stoull(sizeAfter.substr(16)) * 2048, fs::file_size(compacted)); // still padded behind the volume
    ExpectXorrisoSessions(compacted, "1 session");
    EXPECT_EQ(test::SevenZipPaths(compacted), (std::vector<std::string>{"dir/", "top.txt"}));
}

// Sessions xorriso added to an image file stay loadable after saves here: the sectors of the files an earlier session
// lists are never taken for new data (they used to be: an added file overwrote a file that the last session deleted and
// the first still lists), the saved volume is a session of the chain, compact says why it cannot, and an edit whose
// folders would reach the first session is refused with the image unchanged.
TEST(XorrisoSessions, SavesKeepTheEarlierSessionsReadable)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    test::TempDir dir;
    fs::create_directories(dir / "src");
    const std::vector<std::uint8_t> deleted = test::RandomBytes(60000, 5), added = test::RandomBytes(60000, 6);
    test::WriteWholeFile(dir / "src/deleted.bin", deleted);
    test::WriteWholeFile(dir / "src/kept.txt", std::string("kept\n"));
    test::WriteWholeFile(dir / "added.bin", added);
    const std::string image = dir / "sessions.iso";
    for (const std::string& session : {"-outdev " + ShellQuote(image) + " -map " + ShellQuote(dir / "src") + " /",
                                       "-dev " + ShellQuote(image) + " -rm /deleted.bin --"}) {
        ASSERT_TRUE(test::Succeeded(RunCommand("xorriso " + session + " -commit")));
    }
    // A file as xorriso extracts it from the session given (0: the one the volume's descriptor names).
    const auto extracted = [&](int session, const std::string& path) {
        const std::string out = dir / "out";
        fs::remove(out);
        RunCommand("xorriso -osirrox on -indev " + ShellQuote(image)
                   + (session != 0 ? " -load session " + std::to_string(session) : "") + " -extract " + path + " "
                   + ShellQuote(out));
        return fs::exists(out) ? test::ReadWholeFile(out) : std::vector<std::uint8_t>{};
    };
    ASSERT_EQ(extracted(1, "/deleted.bin"), deleted);

    const std::string q = ShellQuote(image);
    for (const std::string& edit : {"add " + q + " " + ShellQuote(dir / "added.bin"), "rename " + q + " kept.txt k.txt",
                                    "mkdir " + q + " again"}) {
        SCOPED_TRACE(edit);
        ASSERT_TRUE(test::Succeeded(RunCli(edit)));
        EXPECT_EQ(extracted(1, "/deleted.bin"), deleted);
        // The chain of session headers leads to the saved volume: xorriso's two sessions, then the one the first save
        // made (it used to end at xorriso's last, the volume reaching past it).
        ExpectXorrisoSessions(image, "3 sessions");
    }
    EXPECT_EQ(extracted(0, "/added.bin"), added);
    for (int i = 0; i < 60; ++i) {
        fs::create_directories(dir / ("many/folder-with-a-long-name-" + std::to_string(i)));
    }
    const std::vector<std::uint8_t> before = test::ReadWholeFile(image);
    test::ExpectRefusals({{"compact " + q, 1, "2 earlier session(s) of xorriso's (the first from sector 32)"},
                          {"add " + q + " " + ShellQuote(dir / "many"), 1,
                           "would overwrite the image's earlier session at sector 32"}},
                         [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(image) == before); });
    EXPECT_EQ(extracted(1, "/deleted.bin"), deleted);
}

// How many saves a command makes of an image: each makes the image's undo file anew and removes it (watched both, or
// the events of one save would merge with the next's). -1 when that cannot be watched.
int SavesOf(const std::string& image, const std::string& command, CommandResult& result)
{
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, fs::path(image).parent_path().c_str(), IN_CREATE | IN_DELETE) < 0) {
        if (watch >= 0) {
            ::close(watch);
        }
        return -1;
    }
    result = RunCli(command);
    const std::string undo = fs::path(image).filename().string() + ".tarvelin-undo";
    int saves = 0;
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t got = 0; (got = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            saves += (event->mask & IN_CREATE) != 0 && event->len != 0 && undo == event->name;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::close(watch);
    return saves;
}

// Many small files above a small hole, and a last file no hole holds: the end of the data cannot come down before the
// compacting save. The passes that fill holes without the journal stop once one leaves that end where it was, rather
// than let the hole creep up a few files a save: the first fills the hole, the second shows the end stayed, then the
// compacting save. On a plain image and on one whose partition holds a copy of the metadata (its end never comes down).
TEST(Compaction, StopsFillingHolesOnceAPassLeavesTheEndOfTheDataWhereItWas)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "xorriso");
    test::TempDir dir;
    fs::create_directories(dir / "src");
    for (int i = 0; i < 100; ++i) {
        test::WriteWholeFile(dir / ("src/f" + std::to_string(1000 + i)), test::RandomBytes(2048, 10 + i));
    }
    test::WriteWholeFile(dir / "src/tail.bin", test::RandomBytes(200000, 9));
    const std::pair<const char*, void (*)(const std::string&, const std::string&)> makers[] = {
        {"plain", [](const std::string& src, const std::string& out) { test::RunGenisoimage(src, out, "-J -R"); }},
        {"partition copy",
         [](const std::string& src, const std::string& out) {
             test::RunXorrisoMkisofs(src, out, "-J -R -partition_offset 16");
         }},
    };
    for (const auto& [layout, make] : makers) {
        SCOPED_TRACE(layout);
        const std::string image = dir / "image.iso";
        fs::remove(image);
        make(dir / "src", image);
        ASSERT_EQ(RunCli("rm " + ShellQuote(image) + " f1000").exitCode, 0);
        CommandResult compacted;
        const int saves = SavesOf(image, "compact " + ShellQuote(image), compacted);
        ASSERT_EQ(compacted.exitCode, 0) << compacted.output;
        EXPECT_GE(saves, 2);
        EXPECT_LE(saves, 3);
        // What is free is one run behind the data: the partition's copy of the metadata is no free space.
        EXPECT_NE(RunCli("info " + ShellQuote(image)).output.find(" in 1 pieces, "), std::string::npos);
        const fs::path out = dir / "out";
        fs::remove_all(out);
        ASSERT_EQ(RunCli("extract " + ShellQuote(image) + " -C " + ShellQuote(out.string())).exitCode, 0);
        for (const auto& file : fs::directory_iterator(dir / "src")) {
            const std::string name = file.path().filename().string();
            if (name == "f1000") {
                EXPECT_FALSE(fs::exists(out / name));
            } else {
                EXPECT_TRUE(test::ReadWholeFile(out / name) == test::ReadWholeFile(file.path())) << name;
            }
        }
    }
}

// Gives every record of extent `from` and data length `fromSize` the extent and length `to` and `toSize`; how many.
int RewriteRecords(const std::string& image, std::uint32_t from, std::uint32_t fromSize, std::uint32_t to,
                   std::uint32_t toSize)
{
    std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const int records = test::ReplaceBothOrderFields(bytes, {from, fromSize}, {to, toSize});
    test::WriteWholeFile(image, bytes);
    return records;
}

// Points every record of top.bin (primary and Joliet, which stay paired) at extent with the size given: the damage of
// a record whose data runs past the end of the image.
void MisplaceTopBin(const std::string& image, std::uint32_t extent, std::uint32_t size)
{
    const auto listed = test::ParseLongListing(RunCli("ls -l " + ShellQuote(image) + " top.bin").output);
    ASSERT_TRUE(listed.contains("top.bin"));
    EXPECT_EQ(RewriteRecords(image, listed.at("top.bin").extent, static_cast<std::uint32_t>(listed.at("top.bin").size),
                             extent, size),
              2);
}

// A file whose data runs past the end of the image has none there to move: a save that must move it out of the way
// of the new folders refuses, rather than make up 64 MiB for it; a compaction leaves it where it is rather than move
// made-up bytes into the image as its data.
TEST_F(EditCommands, DataBeyondTheEndOfTheImageIsNeverMadeUpBySaves)
{
    const std::string copy = dir / "copy.iso";
    fs::copy_file(image, copy);
    MisplaceTopBin(image, 17, 64u << 20); // from the descriptors on, mostly beyond the end
    const auto original = test::ReadWholeFile(image);
    test::ExpectRefusals({{"rm " + ShellQuote(image) + " docs/readme.txt", 1,
                           "the data of 'top.bin' lies beyond the end of the image"}},
                         [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(image) == original); });

    const auto sectors = static_cast<std::uint32_t>(fs::file_size(copy) / 2048);
    MisplaceTopBin(copy, sectors + 100, 3000);
    ASSERT_EQ(RunCli("rm " + ShellQuote(copy) + " docs/readme.txt").exitCode, 0);
    const std::string compacted = dir / "compacted.iso";
    ASSERT_TRUE(test::Succeeded(RunCli("compact " + ShellQuote(copy) + " -o " + ShellQuote(compacted))));
    test::ExpectRefusals({{"cat " + ShellQuote(compacted) + " top.bin", 1, "beyond the end of the image"}});
}

// A Video CD as vcdimager makes it: its video lies in the Mode 2 Form 2 sectors of the disc's second track, 2324 bytes
// of data each, of which a 2048-byte logical sector carries only a part. It is read whole (every pack of the MPEG
// source in it, in order), through the CUE sheet too, and no save cuts it: compaction leaves it where it is, folders
// that outgrow the room in front of it go behind it, and bin2iso says what its ISO loses.
TEST(VideoCd, ItsVideoIsReadWholeAndNoSaveCutsIt)
{
    TARVELIN_REQUIRE_TOOLS("ffmpeg", "vcdimager");
    test::TempDir dir;
    const std::string bin = dir / "v.bin";
    ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.Path()) + " && ffmpeg -loglevel error -f lavfi -i "
                         "testsrc=size=352x240:rate=29.97 -f lavfi -i sine=sample_rate=44100 -t 2 -target ntsc-vcd a.mpg"
                         " && vcdimager -t vcd2 -c v.cue -b v.bin a.mpg")
                  .exitCode,
              0);
    const auto bytes = [](const std::string& path) {
        const std::vector<std::uint8_t> read = test::ReadWholeFile(path);
        return std::string(read.begin(), read.end());
    };
    const std::string source = bytes(dir / "a.mpg");
    const auto holdsTheVideo = [&](const std::string& image, const std::string& into) {
        EXPECT_TRUE(test::Succeeded(RunCli("extract " + ShellQuote(image) + " -C " + ShellQuote(into))));
        const std::string video = bytes(into + "/MPEGAV/AVSEQ01.DAT");
        constexpr std::size_t kPack = 2324;
        std::size_t at = 0;
        for (std::size_t pack = 0; pack < source.size(); pack += kPack) {
            const std::string_view wanted = std::string_view(source).substr(pack, kPack);
            while (at < video.size() && std::string_view(video).substr(at, kPack) != wanted) {
                at += kPack;
            }
            if (at >= video.size()) {
                return false;
            }
            at += kPack;
        }
        return video.size() % kPack == 0;
    };
    EXPECT_TRUE(holdsTheVideo(dir / "v.cue", dir / "from-cue"));

    const std::string compacted = dir / "compacted.bin";
    fs::copy_file(bin, compacted);
    const CommandResult compaction = RunCli("compact " + ShellQuote(compacted));
    EXPECT_EQ(compaction.exitCode, 0) << compaction.output;
    EXPECT_TRUE(holdsTheVideo(compacted, dir / "from-compacted"));

    // vcdimager sizes the volume to its first track, the file system's; the video lies behind it, in the second.
    // Saves keep that size, never give new files the video's sectors (nor the second track's gap in front of it),
    // and leave the video whole.
    const auto isoSize = [&](const std::string& image) {
        // vcd-info reads a BIN through the CUE sheet of its name, and the BIN of the sheet's name: vcdimager's
        // sheet serves.
        const std::string sheet = fs::path(image).replace_extension(".cue").string();
        if (!fs::exists(sheet)) {
            fs::copy_file(dir / "v.cue", sheet);
        }
        const std::string report = test::RunForOutput("vcd-info --cue-file " + ShellQuote(sheet));
        const std::size_t at = report.find("ISO size: ");
        return at == std::string::npos ? std::string("<missing>") : report.substr(at, report.find('\n', at) - at);
    };
    const std::string expectedSize = isoSize(bin);
    EXPECT_TRUE(test::Contains(expectedSize, "ISO size: 300 blocks")) << expectedSize;
    EXPECT_EQ(isoSize(compacted), expectedSize);
    const std::string saved = dir / "saved.bin";
    fs::copy_file(bin, saved);
    test::WriteWholeFile(dir / "one.txt", std::string(5000, '1'));
    test::WriteWholeFile(dir / "two.txt", std::string(70000, '2'));
    for (const char* added : {"one.txt", "two.txt"}) {
        ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(saved) + " " + ShellQuote(dir / added))));
        EXPECT_EQ(isoSize(saved), expectedSize) << added;
    }
    const auto listed = test::ParseLongListing(RunCli("ls -l " + ShellQuote(saved)).output);
    for (const char* added : {"ONE.TXT", "TWO.TXT"}) {
        ASSERT_TRUE(listed.contains(added)) << added;
        EXPECT_LE(listed.at(added).extent + (listed.at(added).size + 2047) / 2048, 300u) << added;
    }
    EXPECT_TRUE(holdsTheVideo(saved, dir / "from-saved"));

    // The subheader of a Mode 2 sector belongs to the file it holds: a file the compaction moved keeps the
    // subheader of each of its sectors (vcdimager ends a file with end of file), a new file gets those of the
    // image's own files, and every sector written is whole (sync, address, EDC, P/Q parity).
    const std::vector<std::uint8_t> original = test::ReadWholeFile(bin);
    const auto subheaderAt = [](const std::vector<std::uint8_t>& image, std::uint32_t sector) {
        return std::string(image.begin() + std::ptrdiff_t{sector} * 2352 + 16,
                           image.begin() + std::ptrdiff_t{sector} * 2352 + 24);
    };
    const auto badSectors = [](const std::vector<std::uint8_t>& image) {
        constexpr std::uint8_t kSync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
        const auto le32 = [](const std::uint8_t* at) {
            return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16
                | std::uint32_t{at[3]} << 24;
        };
        std::vector<std::uint32_t> bad;
        for (std::uint32_t n = 0; n < image.size() / 2352; ++n) {
            const std::uint8_t* at = image.data() + std::size_t{n} * 2352;
            std::uint8_t address[3] = {};
            test::ReferenceEncodeAddress(n, address);
            const bool form2 = (at[18] & 0x20) != 0;
            const std::uint32_t edc = le32(at + (form2 ? 2348 : 2072));
            const bool whole = std::equal(kSync, kSync + 12, at) && std::equal(address, address + 3, at + 12)
                && at[15] == 2 && std::equal(at + 16, at + 20, at + 20)
                && (form2 ? edc == 0 || edc == test::ReferenceEdc(at + 16, 2332)
                          : edc == test::ReferenceEdc(at + 16, 2056) && test::ReferenceParityHolds(at, true));
            if (!whole) {
                bad.push_back(n);
            }
        }
        return bad;
    };
    EXPECT_EQ(badSectors(original), std::vector<std::uint32_t>{});
    const auto before = test::ParseLongListing(RunCli("ls -l -R " + ShellQuote(bin)).output);
    const std::vector<std::uint8_t> compactedBytes = test::ReadWholeFile(compacted);
    EXPECT_EQ(badSectors(compactedBytes), std::vector<std::uint32_t>{});
    int moved = 0;
    for (const auto& [name, line] : test::ParseLongListing(RunCli("ls -l -R " + ShellQuote(compacted)).output)) {
        if (name.ends_with("/")) {
            continue;
        }
        SCOPED_TRACE(name);
        ASSERT_TRUE(before.contains(name));
        moved += line.extent != before.at(name).extent;
        for (std::uint32_t i = 0; i < (line.size + 2047) / 2048; ++i) {
            EXPECT_EQ(subheaderAt(compactedBytes, line.extent + i), subheaderAt(original, before.at(name).extent + i))
                << i;
        }
    }
    EXPECT_GT(moved, 0); // the compaction moved files of the first track down
    const std::vector<std::uint8_t> savedBytes = test::ReadWholeFile(saved);
    EXPECT_EQ(badSectors(savedBytes), std::vector<std::uint32_t>{});
    std::string last = subheaderAt(original, before.at("VCD/INFO.VCD").extent);
    ASSERT_EQ(last[2], '\x88'); // data, end of file
    std::string body = last;
    body[2] = body[6] = '\x08';
    for (const char* added : {"ONE.TXT", "TWO.TXT"}) {
        SCOPED_TRACE(added);
        const std::uint32_t sectors = static_cast<std::uint32_t>((listed.at(added).size + 2047) / 2048);
        for (std::uint32_t i = 0; i < sectors; ++i) {
            EXPECT_EQ(subheaderAt(savedBytes, listed.at(added).extent + i), i + 1 == sectors ? last : body) << i;
        }
    }

    for (int i = 0; i < 500; ++i) {
        fs::create_directories(dir / ("folders/f" + std::to_string(i)));
    }
    const std::string grown = dir / "grown.bin";
    fs::copy_file(bin, grown);
    ASSERT_TRUE(test::Succeeded(RunCli("add " + ShellQuote(grown) + " " + ShellQuote(dir / "folders"))));
    const auto grownListing = test::ParseLongListing(RunCli("ls -l -R " + ShellQuote(grown)).output);
    ASSERT_TRUE(grownListing.contains("MPEGAV/AVSEQ01.DAT"));
    EXPECT_EQ(grownListing.at("MPEGAV/AVSEQ01.DAT").extent, before.at("MPEGAV/AVSEQ01.DAT").extent);
    EXPECT_EQ(badSectors(test::ReadWholeFile(grown)), std::vector<std::uint32_t>{});
    EXPECT_TRUE(holdsTheVideo(grown, dir / "from-grown"));

    const CommandResult conversion = RunCli("bin2iso " + ShellQuote(dir / "v.cue") + " " + ShellQuote(dir / "v.iso"));
    EXPECT_EQ(conversion.exitCode, 0) << conversion.output;
    EXPECT_TRUE(test::Contains(conversion.output, "Mode 2 Form 2 sectors")) << conversion.output;

    // Ripped from a drive, the disc's ISO keeps 2048 of the 2324 bytes of each Form 2 sector: rip says how many
    // there were, and what keeps them.
    std::uint32_t form2 = 0;
    for (std::size_t at = 18; at < original.size(); at += 2352) {
        form2 += (original[at] & 0x20) != 0;
    }
    const CommandResult rip = RunCommand("TARVELIN_SIMULATED_CDROM=" + ShellQuote(bin) + " "
                                         + test::CliLine("rip D " + ShellQuote(dir / "ripped.iso")));
    EXPECT_EQ(rip.exitCode, 0) << rip.output;
    EXPECT_TRUE(test::Contains(rip.output, "warning: " + std::to_string(form2)
                                               + " sectors of the disc are Mode 2 Form 2 sectors (2324 bytes of data"))
        << rip.output;
    EXPECT_TRUE(test::Contains(rip.output, "a raw BIN/CUE image of the disc (2352-byte sectors) keeps them whole"))
        << rip.output;
}

// A folder whose recorded length runs on to the end of the image (its record, "." and its subfolder's "..") reads on
// into what follows it: another folder, or file data (without Joliet the files follow the primary folders). Only its
// own entries are listed, with the damage said, and a save writes those alone: nothing read past its end becomes an
// entry.
TEST_F(EditCommands, AFolderRecordedLongerThanItIsListsAndSavesOnlyItsOwnEntries)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    test::WriteWholeFile(dir / "src/docs/inner/text.txt", "Words, words and words" + std::string(100000, 'x'));
    const auto isoinfo = [&] {
        return test::ParseIsoinfoListing(test::RunForOutput("isoinfo -l -i " + ShellQuote(image)));
    };
    // The listing without the warning, which standard error may give first.
    const auto entries = [](const std::string& output) {
        std::vector<std::string> lines;
        for (std::string& line : test::SortedLines(output)) {
            if (!line.starts_with("tarvelin-cli: ")) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    };
    const struct {
        const char* options;
        const char* folder; // as isoinfo names it
    } cases[] = {{"-J -R", "/DOCS/"}, {"-R", "/DOCS/INNER/"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.folder);
        fs::remove(image);
        test::RunGenisoimage(dir / "src", image, c.options);
        const std::string listed = RunCli("ls -R " + ShellQuote(image)).output;
        const test::IsoinfoListing before = isoinfo();
        const std::string folder = c.folder;
        const std::string parent = folder.substr(0, folder.rfind('/', folder.size() - 2) + 1);
        const std::string name = folder.substr(parent.size(), folder.size() - parent.size() - 1);
        const auto record = std::find_if(before.at(parent).begin(), before.at(parent).end(),
                                         [&](const test::IsoinfoEntry& entry) { return entry.identifier == name; });
        ASSERT_NE(record, before.at(parent).end());
        const auto sectors = static_cast<std::uint32_t>(fs::file_size(image) / 2048);
        ASSERT_GE(RewriteRecords(image, record->extent, static_cast<std::uint32_t>(record->size), record->extent,
                                 (sectors - record->extent) * 2048),
                  2);

        const CommandResult damaged = RunCli("ls -R " + ShellQuote(image));
        EXPECT_EQ(damaged.exitCode, 0) << damaged.output;
        EXPECT_EQ(entries(damaged.output), entries(listed));
        EXPECT_TRUE(test::Contains(damaged.output, "is damaged")) << damaged.output;

        ASSERT_TRUE(test::Succeeded(RunCli("mkdir " + ShellQuote(image) + " new")));
        const test::IsoinfoListing after = isoinfo();
        ASSERT_TRUE(after.contains(folder));
        std::vector<std::string> names;
        for (const test::IsoinfoEntry& entry : after.at(folder)) {
            names.push_back(entry.identifier);
        }
        std::vector<std::string> expected;
        for (const test::IsoinfoEntry& entry : before.at(folder)) {
            expected.push_back(entry.identifier);
        }
        EXPECT_EQ(names, expected);
    }
}

// What add and build leave out, both say alike and both still succeed: a pipe in a folder is left out with a warning
// (a file that changed length since it was added: tests/iso SaveEdge, tests/writer). Links in a folder stay links in
// a Rock Ridge image, a dangling one too.
TEST_F(EditCommands, AddAndBuildNameWhatTheyLeaveOut)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    fs::create_directories(dir / "more");
    test::WriteWholeFile(dir / "more/kept.txt", std::string("kept\n"));
    ASSERT_EQ(::mkfifo((dir / "more/pipe").c_str(), 0600), 0);
    fs::create_symlink("kept.txt", dir / "more/to-kept");
    fs::create_symlink("nowhere", dir / "more/dangling");
    const std::string pipeWarning = "tarvelin-cli: warning: left out '" + (dir / "more/pipe") +
                                    "': it is not a file or a folder (a device, pipe, socket or broken link)\n";

    const std::string built = dir / "built.iso";
    for (const auto& [command, result] : {std::pair{"add " + ShellQuote(image), image},
                                          std::pair{"build " + ShellQuote(built), built}}) {
        const CommandResult run = RunCli(command + " " + ShellQuote(dir / "more"));
        EXPECT_EQ(run.exitCode, 0) << command << "\n" << run.output;
        EXPECT_NE(run.output.find(pipeWarning), std::string::npos) << command << "\n" << run.output;
        const std::vector<std::string> paths = test::SevenZipPaths(result);
        EXPECT_NE(std::find(paths.begin(), paths.end(), "more/kept.txt"), paths.end()) << command;
        EXPECT_EQ(std::find(paths.begin(), paths.end(), "more/pipe"), paths.end()) << command;
        const std::string links = RunCommand("bsdtar tvf " + ShellQuote(result)).output;
        for (const char* link : {" more/to-kept -> kept.txt\n", " more/dangling -> nowhere\n"}) {
            EXPECT_NE(links.find(link), std::string::npos) << command << "\n" << links;
        }
    }

    // A folder that holds the image: the image is left out of itself, as a build leaves out its own output.
    fs::create_directories(dir / "holder");
    const std::string inner = dir / "holder/disc.iso";
    fs::copy_file(image, inner);
    const CommandResult holder = RunCli("add " + ShellQuote(inner) + " " + ShellQuote(dir / "holder"));
    EXPECT_EQ(holder.exitCode, 0) << holder.output;
    EXPECT_NE(holder.output.find("warning: left out '" + inner + "': it is the image being edited"), std::string::npos)
        << holder.output;
    const std::vector<std::string> holderPaths = test::SevenZipPaths(inner);
    EXPECT_NE(std::find(holderPaths.begin(), holderPaths.end(), "holder/"), holderPaths.end());
    EXPECT_EQ(std::find(holderPaths.begin(), holderPaths.end(), "holder/disc.iso"), holderPaths.end());
}

// A Nero image keeps its chunk chain behind the track data, found through the footer in the file's last bytes. A save
// that makes the track longer or shorter moves the chain behind the new end with the track's end and lead-out in step
// (saves used to write the new data over the chain, or cut it off); one that keeps the length leaves the chain alone. A
// chain this program cannot follow refuses saves that would move it.
TEST_F(EditCommands, NeroImagesStayNeroImagesThroughSaves)
{
    TARVELIN_REQUIRE_TOOL("cd-info");
    const std::vector<std::uint8_t> huge = test::RandomBytes(2 << 20, 7);
    test::WriteWholeFile(dir / "huge.bin", huge);
    test::WriteWholeFile(dir / "boot.img", test::RandomBytes(4096, 8));
    const auto volumeSectors = [](const std::string& nrg) {
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(nrg);
        const std::size_t at = test::kNeroPregapBytes + 16 * 2048 + 80; // the primary descriptor's volume space size
        return std::int64_t{bytes.at(at)} | std::int64_t{bytes.at(at + 1)} << 8 | std::int64_t{bytes.at(at + 2)} << 16
            | std::int64_t{bytes.at(at + 3)} << 24;
    };
    for (const int version : {1, 2}) {
        SCOPED_TRACE("Nero version " + std::to_string(version));
        const std::string nrg = dir / ("disc" + std::to_string(version) + ".nrg");
        test::WrapIsoAsNero(image, nrg, {version});
        const test::NeroTrackEnd made = test::ReadNeroTrackEnd(nrg);
        ASSERT_TRUE(made.found);
        const auto expectWholeChain = [&](const std::string& path) {
            const test::NeroTrackEnd end = test::ReadNeroTrackEnd(path);
            ASSERT_TRUE(end.found);
            const std::int64_t sectors = volumeSectors(path);
            EXPECT_EQ(end.chainStart, test::kNeroPregapBytes + std::uint64_t(sectors) * 2048);
            EXPECT_EQ(end.trackEnd, end.chainStart);
            EXPECT_EQ(end.leadOut, sectors);
            EXPECT_TRUE(end.rest == made.rest); // every other byte of the chain as it was
            const std::string listed = RunCommand("cd-info --no-device-info --nrg-file " + ShellQuote(path)).output;
            EXPECT_TRUE(test::Contains(listed, "  1: 00:02:00  000000 data")) << listed;
            if (version == 2) { // cd-info 2.1 puts the lead-out of every version 1 image at sector 1024
                // "170: MM:SS:FF  SECTOR leadout ..."
                const std::size_t line = listed.find("\n170: ");
                ASSERT_NE(line, std::string::npos) << listed;
                long long leadOut = -1;
                EXPECT_EQ(std::sscanf(listed.c_str() + line, "\n170: %*s %lld leadout", &leadOut), 1) << listed;
                EXPECT_EQ(leadOut, sectors) << listed;
            }
        };
        enum class Length { Kept, Changed, Either };
        struct Step {
            std::string arguments;
            Length length;
        };
        const Step steps[] = {
            {"rm " + ShellQuote(nrg) + " top.bin", Length::Kept},
            {"add " + ShellQuote(nrg) + " " + ShellQuote(dir / "huge.bin"), Length::Changed}, // grows
            {"rm " + ShellQuote(nrg) + " huge.bin", Length::Changed},                        // gives the end back
            {"boot load " + ShellQuote(nrg) + " " + ShellQuote(dir / "boot.img"), Length::Either},
            {"mkdir " + ShellQuote(nrg) + " new", Length::Either},
            {"compact " + ShellQuote(nrg) + " -o " + ShellQuote(dir / "copy.nrg"), Length::Kept},
            {"compact " + ShellQuote(nrg), Length::Either},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.arguments);
            const std::vector<std::uint8_t> before = test::NeroChainOf(nrg);
            const auto length = fs::file_size(nrg);
            ASSERT_TRUE(test::Succeeded(RunCli(step.arguments)));
            expectWholeChain(nrg);
            EXPECT_TRUE(step.length != Length::Kept || fs::file_size(nrg) == length);
            EXPECT_TRUE(step.length != Length::Changed || fs::file_size(nrg) != length);
            if (fs::file_size(nrg) == length) {
                EXPECT_TRUE(test::NeroChainOf(nrg) == before); // the tail untouched
            }
            if (test::Contains(step.arguments, "add ")) {
                const std::string read = RunCommand(test::CliLine("cat " + ShellQuote(nrg) + " huge.bin")).output;
                EXPECT_TRUE(read == std::string(huge.begin(), huge.end()));
            }
        }
        expectWholeChain(dir / "copy.nrg");
        EXPECT_EQ(test::SortedLines(RunCli("ls -R " + ShellQuote(nrg)).output),
                  test::SortedLines(RunCli("ls -R " + ShellQuote(dir / "copy.nrg")).output));
        EXPECT_TRUE(test::Contains(RunCli("ls -R " + ShellQuote(nrg)).output, "deep.bin"));
        // The volume alone: the chain is no sector of it.
        const std::string iso = dir / "from-nrg.iso";
        ASSERT_EQ(RunCli("bin2iso " + ShellQuote(nrg) + " " + ShellQuote(iso)).exitCode, 0);
        EXPECT_EQ(fs::file_size(iso), std::uint64_t(volumeSectors(nrg)) * 2048);
    }

    const std::string unknown = dir / "two-tracks.nrg";
    test::WrapIsoAsNero(image, unknown, {2, true});
    const auto original = test::ReadWholeFile(unknown);
    test::ExpectRefusals({{"add " + ShellQuote(unknown) + " " + ShellQuote(dir / "huge.bin"), 1,
                           "it is a Nero image whose chunk chain"}},
                         [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(unknown) == original); });
    EXPECT_TRUE(test::Succeeded(RunCli("rm " + ShellQuote(unknown) + " top.bin")));
    EXPECT_EQ(fs::file_size(unknown), original.size());
}

TEST_F(EditCommands, FailuresSayWhyAndLeaveTheImageAlone)
{
    // A folder with a file no ISO 9660 image can hold: added, it would be lost.
    fs::create_directories(dir / "huge");
    test::WriteSparseFile(dir / "huge/big.bin", {1}, std::uint64_t{4} << 30);
    const auto original = test::ReadWholeFile(image);
    test::ExpectRefusals({
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "no-such-file"), 1, "no-such-file"},
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "huge"), 1,
         "error: left out '" + (dir / "huge/big.bin") + "': it is 4294967296 bytes"},
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "src/top.bin") + " --to top.bin", 1, "not a folder"},
        {"add " + ShellQuote(image) + " " + ShellQuote(dir / "src/top.bin") + " --to nowhere", 1, "not found"},
        {"add " + ShellQuote(image) + " " + ShellQuote(image), 1, "is the image being edited"},
        {"boot save " + ShellQuote(image) + " " + ShellQuote(image), 64, "is the image itself"},
        {"rm " + ShellQuote(image) + " docs/missing.txt", 1, "not found"},
        {"rm " + ShellQuote(image) + " /", 1, "root folder"},
        {"rm " + ShellQuote(image) + " top.bin/", 1, "'/top.bin' is a file, not a folder"},
        {"mkdir " + ShellQuote(image) + " docs", 1, "already exists"},
        {"mkdir " + ShellQuote(image) + " missing/folder", 1, "not found"},
        {"rename " + ShellQuote(image) + " top.bin docs", 1, "already exists"},
        {"rename " + ShellQuote(image) + " top.bin a/b", 64, "not a name"},
        {"rename " + ShellQuote(image) + " top.bin " + std::string(256, 'n'), 1, "at most 255 bytes"},
        {"mkdir " + ShellQuote(image) + " docs/" + std::string(256, 'n'), 1, "at most 255 bytes"},
        {"rm " + ShellQuote(image), 64, "usage"},
        {"add " + ShellQuote(dir / "src/top.bin") + " " + ShellQuote(dir / "src/top.bin"), 2, "no ISO 9660 volume"},
    }, [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(image) == original); });
    EXPECT_FALSE(fs::exists(image + ".tarvelin-undo"));
}

} // namespace
} // namespace tarvelin
