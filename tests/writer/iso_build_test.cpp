// CIsoBuild: the layout of an empty image byte by byte, the options, sources added and refused, the progress protocol
// with cancel and failure, and whole images read by isoinfo, xorriso, 7z and bsdtar.

#include "build_test_support.h"
#include "iso/iso9660.h"
#include "platform/console.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"
#include "writer/iso_build.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::Held;
using test::InfoOf;
using test::kSector;
using test::ProgressLog;
using test::SectorOf;

class IsoBuild : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "out.iso";

    // Runs a build to its end; the builder is destroyed inside the final call.
    std::int32_t Build(Held<IIsoBuild>& builder, ProgressLog& log)
    {
        log.destroyInCallback = builder.release();
        EXPECT_TRUE(log.destroyInCallback->StartBuild(&log, &ProgressLog::Callback));
        EXPECT_TRUE(log.Wait());
        const std::vector<std::int32_t> values = log.Values();
        return values.empty() ? -1 : values.back();
    }

    Held<IIsoBuild> NewBuilder(std::uint32_t options = kBuildIsoAndJoliet)
    {
        Held<IIsoBuild> builder(NEW_ISOBUILDNEW());
        EXPECT_NE(builder.get(), nullptr);
        EXPECT_TRUE(builder->SetOutput(image.c_str(), options)) << builder->GetLastError();
        return builder;
    }

    std::string MakeFile(const std::string& relative, const std::vector<std::uint8_t>& bytes)
    {
        const fs::path path = fs::path(dir.Path()) / relative;
        fs::create_directories(path.parent_path());
        test::WriteWholeFile(path.string(), bytes);
        return path.string();
    }
};

// With Rock Ridge the root's "." record continues in the sector behind the root, which holds the ER entry.
TEST_F(IsoBuild, EmptyTreeLayoutWithAndWithoutRockRidge)
{
    struct Row {
        std::uint32_t options;
        std::uint32_t sectors;
        std::uint32_t jolietRoot;
        std::string label;   // empty: the date label
        std::string primary; // the primary's label when not the label itself
    };
    // Characters beyond ASCII become one '_' each in the primary descriptor.
    for (const Row& row : {Row{kBuildIsoAndJoliet, 26, 25, "", ""},
                           Row{kBuildIsoAndJoliet | kBuildNoRockRidge, 25, 24, "Holiday 2004", ""},
                           Row{kBuildIsoAndJoliet, 26, 25, "M\xC3\xBCsik \xF0\x9F\x98\x80!", "M_sik _!"}}) {
        SCOPED_TRACE(row.options);
        const bool rockRidge = (row.options & kBuildNoRockRidge) == 0;
        Held<IIsoBuild> builder = NewBuilder(row.options);
        if (!row.label.empty()) {
            // Labels that do not fit (16 characters in 32 bytes) are refused.
            EXPECT_FALSE(builder->SetVolumeLabel(""));
            EXPECT_FALSE(builder->SetVolumeLabel("seventeen chars!!"));
            EXPECT_FALSE(builder->SetVolumeLabel("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                                 "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" "a"));
            ASSERT_TRUE(builder->SetVolumeLabel(row.label.c_str()));
        }
        ProgressLog log;
        const platform::FileTime before = platform::CurrentFileTime() / 10000000 * 10000000;
        ASSERT_EQ(Build(builder, log), kBuildDone);
        EXPECT_EQ(log.Values(), std::vector<std::int32_t>{kBuildDone});

        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
        ASSERT_EQ(bytes.size(), row.sectors * kSector);
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + 16 * kSector, [](std::uint8_t b) { return b == 0; }));
        const auto primary = iso::DecodeVolumeDescriptor(SectorOf(bytes, 16));
        const auto joliet = iso::DecodeVolumeDescriptor(SectorOf(bytes, 17));
        ASSERT_TRUE(primary && joliet);
        EXPECT_TRUE(iso::HasDescriptorHeader(SectorOf(bytes, 18), iso::DescriptorType::Terminator));
        // Size, path table size and L, M tables, root extent and length; Joliet tables and root.
        EXPECT_EQ(std::tuple(primary->volumeSpaceSize, primary->pathTableSize, primary->typeLPathTable,
                             primary->typeMPathTable, primary->rootRecord.extent, primary->rootRecord.dataLength,
                             joliet->typeLPathTable, joliet->typeMPathTable, joliet->rootRecord.extent),
                  std::tuple(row.sectors, 10u, 19u, 20u, 23u, 2048u, 21u, 22u, row.jolietRoot));
        EXPECT_EQ(iso::JolietLevelOf(*joliet), iso::JolietLevel::Level3);

        // Behind the root: the ER entry, or else the Joliet root's "." record.
        EXPECT_EQ(std::string(SectorOf(bytes, 24).begin(), SectorOf(bytes, 24).begin() + 2),
                  rockRidge ? "ER" : std::string("\x22\x00", 2));
        // The root is dated with the build.
        const auto rootDate = iso::FileTimeFromRecordingDate(primary->rootRecord.date);
        ASSERT_TRUE(rootDate.has_value());
        EXPECT_GE(*rootDate, before);
        EXPECT_LE(*rootDate, platform::CurrentFileTime());
        // Else the date label: year, month, day, hour, minute without zero padding.
        const iso::RecordingDate& d = primary->rootRecord.date;
        char dateLabel[64];
        std::snprintf(dateLabel, sizeof dateLabel, "%d%d%d%d%d", 1900 + d.yearsSince1900, d.month, d.day, d.hour,
                      d.minute);
        const std::string label = row.label.empty() ? std::string(dateLabel) : row.label;
        EXPECT_EQ(iso::ReadTextField(primary->volumeIdentifier), row.primary.empty() ? label : row.primary);
        EXPECT_EQ(iso::ReadJolietTextField(joliet->volumeIdentifier), label);
    }
}

// Rock Ridge or none, Joliet names of 64 or 103 characters as isoinfo reads them; a name readers see cut is told.
TEST_F(IsoBuild, OptionsChooseRockRidgeAndTheLengthOfJolietNames)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const std::string name = std::string(96, 'n') + ".txt";
    const std::string file = MakeFile("src/" + name, {1});
    const std::string cut = std::string(60, 'n') + ".txt";
    const std::string told = "'/" + name + "' is named '" + cut + "' in the image: its names cannot hold the name as"
                             " given";
    struct Row {
        std::uint32_t options;
        std::string jolietName;
        std::string notice;
    };
    for (const Row& row : {Row{kBuildIsoAndJoliet, cut, ""}, Row{kBuildIsoAndJoliet | kBuildJolietLong, name, ""},
                           Row{kBuildIsoAndJoliet | kBuildNoRockRidge, cut, told},
                           Row{kBuildIsoAndJoliet | kBuildNoRockRidge | kBuildJolietLong, name, ""}}) {
        SCOPED_TRACE(row.options);
        Held<IIsoBuild> builder = NewBuilder(row.options);
        ASSERT_NE(builder->AddFile(file.c_str(), builder->GetRoot()), nullptr);
        ASSERT_TRUE(builder->Build(nullptr, nullptr)) << builder->GetLastError();
        std::string notices;
        for (std::uint32_t i = 0; i < builder->GetNoticeCount(); ++i) {
            notices += builder->GetNotice(i, nullptr);
        }
        EXPECT_EQ(notices, row.notice);
        const auto info = test::RunCommand("isoinfo -d -i " + test::ShellQuote(image));
        const bool rockRidge = (row.options & kBuildNoRockRidge) == 0;
        EXPECT_NE(info.output.find(rockRidge ? "Rock Ridge signatures" : "NO Rock Ridge"), std::string::npos)
            << info.output;
        const auto joliet = test::RunCommand("isoinfo -J -f -i " + test::ShellQuote(image));
        EXPECT_EQ(joliet.output, "/" + row.jolietName + "\n");
    }
}

TEST(IsoBuildNames, LongFileNamesKeepSixtyCharactersAndTheirExtension)
{
    const std::string sixty(60, 'a');
    std::string wide; // 61 two-byte characters
    for (int i = 0; i < 61; ++i) {
        wide += "\xC3\xA9";
    }
    const std::vector<std::pair<std::string, std::string>> cases{
        {sixty + ".txt", sixty + ".txt"}, // the stem fits
        {sixty + "bcdefghijk.txt", sixty + ".txt"},
        {sixty, sixty},
        {sixty + "b", sixty},
        {"." + sixty + "b", "." + std::string(59, 'a')},            // a leading dot starts a name
        {"a." + std::string(70, 'e'), "a." + std::string(70, 'e')}, // a long extension is not repeated
        {wide + ".txt", wide.substr(0, 120) + ".txt"},              // characters, not bytes
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(BuildFileName(name), expected) << name;
    }
}

TEST_F(IsoBuild, AddingSourcesFilesBeforeFoldersAndNothingForMissingPaths)
{
    const std::string folder = dir / "src";
    MakeFile("src/a", {1});
    MakeFile("src/s/c", {2});
    MakeFile("src/b", {3});
    MakeFile("src/t/d", {4});
    const std::string single = MakeFile("single", {5});
    Held<IIsoBuild> builder = NewBuilder();
    IMacroList* list = builder->GetList();

    MacroNode* top = builder->AddDirectoryTree(folder.c_str(), builder->GetRoot());
    ASSERT_NE(top, nullptr) << builder->GetLastError();
    EXPECT_EQ(list->FindParent(top), builder->GetRoot());
    std::vector<std::string> names;
    bool folderSeen = false;
    for (MacroNode* child = list->GetFirstChild(top); child != nullptr; child = list->GetNextSibling(child)) {
        const SourceNode record = InfoOf(list, child);
        EXPECT_FALSE(folderSeen && !record.isDirectory) << "file " << record.name << " after a folder";
        folderSeen = folderSeen || record.isDirectory;
        names.push_back(record.name);
        if (record.isDirectory) {
            ASSERT_NE(list->GetFirstChild(child), nullptr);
            EXPECT_EQ(InfoOf(list, list->GetFirstChild(child)).name, record.name == "s" ? "c" : "d");
            EXPECT_EQ(InfoOf(list, child).diskPath, platform::JoinPath(folder, record.name));
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "s", "t"}));

    MacroNode* file = builder->AddFile(single.c_str(), builder->GetRoot());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(InfoOf(list, file).fileSize, 1u);

    const std::uint64_t count = list->GetNodeCount();
    EXPECT_EQ(builder->AddDirectoryTree((dir / "missing").c_str(), builder->GetRoot()), nullptr);
    EXPECT_NE(std::string(builder->GetLastError()).find("missing"), std::string::npos);
    EXPECT_EQ(builder->AddFile((dir / "missing").c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(builder->AddFile(folder.c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(builder->AddDirectory(single.c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(list->GetNodeCount(), count);
    EXPECT_EQ(builder->GetNoticeCount(), 0u);
}

TEST_F(IsoBuild, WhatCannotGoIntoAnImageIsRefusedWhenAdded)
{
    const std::string folder = dir / "src";
    MakeFile("src/ok", {1});
    const std::string huge = dir / "src/huge";
    test::WriteSparseFile(huge, {1}, std::uint64_t{4} << 30); // exactly 4 GiB
    ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(".", dir / "src/loop"); // leads back to src itself
    fs::create_symlink("ok", dir / "src/tofile");

    // Without Rock Ridge links are followed: the one to a file brings its bytes, the one back into the walk is left out.
    for (const bool rockRidge : {true, false}) {
        SCOPED_TRACE(rockRidge);
        // The output inside the source folder is not put into itself.
        Held<IIsoBuild> builder(NEW_ISOBUILDNEW());
        const std::string inside = dir / "src/out.iso";
        ASSERT_TRUE(builder->SetOutput(inside.c_str(), kBuildIsoAndJoliet | (rockRidge ? 0 : kBuildNoRockRidge)));

        EXPECT_EQ(builder->AddFile(huge.c_str(), builder->GetRoot()), nullptr);
        EXPECT_NE(std::string(builder->GetLastError()).find("4 GiB"), std::string::npos) << builder->GetLastError();
        EXPECT_EQ(builder->AddFile((dir / "src/pipe").c_str(), builder->GetRoot()), nullptr);
        EXPECT_EQ(builder->AddFile(inside.c_str(), builder->GetRoot()), nullptr);

        MacroNode* top = builder->AddDirectoryTree(folder.c_str(), builder->GetRoot());
        ASSERT_NE(top, nullptr);
        IMacroList* list = builder->GetList();
        std::map<std::string, std::string> added; // name -> "-> " link target, or size
        for (MacroNode* child = list->GetFirstChild(top); child != nullptr; child = list->GetNextSibling(child)) {
            const SourceNode record = InfoOf(list, child);
            added[record.name] =
                record.IsSymlink() ? "-> " + record.posix.linkTarget : std::to_string(record.fileSize);
        }
        EXPECT_EQ(added, rockRidge ? (std::map<std::string, std::string>{
                                         {"loop", "-> ."}, {"ok", "1"}, {"tofile", "-> ok"}})
                                   : (std::map<std::string, std::string>{{"ok", "1"}, {"tofile", "1"}}));
        // The file too large is an error; the pipe, the output and the link back are warnings.
        EXPECT_EQ(builder->GetErrorNoticeCount(), 1u);
        std::string all;
        for (std::uint32_t i = 0; i < builder->GetNoticeCount(); ++i) {
            bool isError = false;
            const std::string text = builder->GetNotice(i, &isError);
            all += text + "\n";
            EXPECT_EQ(isError, text.find("huge") != std::string::npos) << text;
        }
        EXPECT_EQ(builder->GetNoticeCount(), rockRidge ? 3u : 4u) << all;
        for (const char* name : {"huge", "pipe", "out.iso", "loop"}) {
            EXPECT_EQ(all.find(name) != std::string::npos, rockRidge ? name != std::string("loop") : true)
                << name << " in:\n" << all;
        }
    }
    // Ctrl+C, caught as the command line catches it, stops a walk where it is, and an error says so; once the catcher
    // is gone, the next walk of the process is not stopped.
    {
        const platform::InterruptCatcher catcher;
        ASSERT_EQ(std::raise(SIGINT), 0);
        Held<IIsoBuild> builder = NewBuilder();
        MacroNode* top = builder->AddDirectoryTree(folder.c_str(), builder->GetRoot());
        ASSERT_NE(top, nullptr);
        EXPECT_EQ(builder->GetList()->GetFirstChild(top), nullptr);
        ASSERT_EQ(builder->GetErrorNoticeCount(), 1u);
        EXPECT_NE(std::string(builder->GetNotice(0, nullptr)).find("interrupted"), std::string::npos);
    }
    EXPECT_FALSE(platform::InterruptCatcher::Requested());
}

TEST_F(IsoBuild, ProgressRisesBelowAThousandAndEndsWithOneFinalCall)
{
    for (int i = 0; i < 6; ++i) {
        MakeFile("src/f" + std::to_string(i), test::RandomBytes(static_cast<std::size_t>(i) * 5000 + 1, i));
    }
    MakeFile("src/empty", {});
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
    ProgressLog log;
    ASSERT_EQ(Build(builder, log), kBuildDone);
    const std::vector<std::int32_t> values = log.Values();
    ASSERT_EQ(values.size(), 7u); // one per non-empty file, then the end
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end() - 1));
    EXPECT_LT(values[values.size() - 2], 1000);
    EXPECT_EQ(std::count(values.begin(), values.end(), kBuildDone), 1);
}

TEST_F(IsoBuild, ACancelledBuildEndsWithoutAFinalCallAndLeavesNoImage)
{
    MakeFile("src/one", test::RandomBytes(10000, 1));
    MakeFile("src/two", test::RandomBytes(10000, 2));
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
    ProgressLog log;
    log.cancelAt = 0;
    log.destroyInCallback = builder.release();
    ASSERT_TRUE(log.destroyInCallback->StartBuild(&log, &ProgressLog::Callback));
    ASSERT_TRUE(log.Wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(log.Values().size(), 1u);
    EXPECT_FALSE(platform::PathExists(image));
}

TEST_F(IsoBuild, TheWaitedForBuildSaysHowItEnded)
{
    MakeFile("src/one", test::RandomBytes(10000, 1));
    const std::string gone = MakeFile("src/two", test::RandomBytes(10000, 2));
    const auto stop = [](void*, std::int32_t) { return false; };
    struct Row {
        const char* name;
        ProgressFn progress;
        bool removeSource;
        bool built;
        std::string reason; // found in GetLastError
    };
    for (const Row& row : {Row{"done, with no progress function", nullptr, false, true, ""},
                           Row{"cancelled by a false answer", stop, false, false, "cancelled"},
                           Row{"failed on a source that went", nullptr, true, false, gone}}) {
        SCOPED_TRACE(row.name);
        Held<IIsoBuild> builder = NewBuilder();
        ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
        if (row.removeSource) {
            ASSERT_TRUE(platform::RemoveFile(gone));
        }
        EXPECT_EQ(builder->Build(nullptr, row.progress), row.built);
        EXPECT_NE(std::string(builder->GetLastError()).find(row.reason), std::string::npos) << builder->GetLastError();
        EXPECT_EQ(platform::PathExists(image), row.built);
        EXPECT_FALSE(builder->Build(nullptr, nullptr)) << "once per builder";
        builder.release()->Destroy();
        EXPECT_EQ(platform::PathExists(image), row.built);
        platform::RemoveFile(image);
    }
}

TEST_F(IsoBuild, DestroyingARunningBuildStopsItAndRemovesTheImage)
{
    const std::string big = dir / "big";
    test::WriteSparseFile(big, test::RandomBytes(100, 3), std::uint64_t{1} << 30);
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddFile(big.c_str(), builder->GetRoot()), nullptr);
    ProgressLog log; // never answers false; the builder is destroyed here
    ASSERT_TRUE(builder->StartBuild(&log, &ProgressLog::Callback));
    while (log.Values().empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    IIsoBuild* running = builder.release();
    running->Destroy(); // waits for the worker
    for (const std::int32_t value : log.Values()) {
        EXPECT_LT(value, 1000);
    }
    EXPECT_FALSE(platform::PathExists(image));
}

TEST_F(IsoBuild, ASourceThatGrewIsCutToItsSizeAndReported)
{
    const std::vector<std::uint8_t> original = test::RandomBytes(5000, 6);
    const std::string grows = MakeFile("src/grows", original);
    const std::vector<std::uint8_t> next = test::RandomBytes(3000, 7);
    MakeFile("src/next", next);
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddFile(grows.c_str(), builder->GetRoot()), nullptr);
    ASSERT_NE(builder->AddFile((dir / "src/next").c_str(), builder->GetRoot()), nullptr);
    std::vector<std::uint8_t> longer = original;
    longer.resize(20000, 0xAB);
    test::WriteWholeFile(grows, longer);
    ProgressLog log;
    ASSERT_EQ(Build(builder, log), kBuildDone);
    ASSERT_EQ(log.noticesAtEnd.size(), 1u);
    EXPECT_NE(log.noticesAtEnd[0].find(grows), std::string::npos);

    // The record keeps the size it was added with.
    TARVELIN_REQUIRE_TOOL("7z");
    const std::string out = dir / "x";
    const auto result = test::RunCommand("7z x -y -o" + test::ShellQuote(out) + " " + test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(test::ReadWholeFile(out + "/grows"), original);
    EXPECT_EQ(test::ReadWholeFile(out + "/next"), next);
}

// One image read by each peer: Rock Ridge readers (bsdtar, xorriso) see whole names, modes and the link; Joliet
// readers (7z) names cut to 64 characters, case kept, no link; ISO 9660 readers the identifiers in their order.
class IsoBuildPeers : public IsoBuild {
protected:
    struct Expected {
        std::string rockRidge; // the path as Rock Ridge gives it
        std::string joliet;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Expected> files;
    std::vector<std::string> folders;
    const std::map<std::string, std::string> links{{"tree/link", "a/second/x"}};

    void SetUp() override
    {
        const std::string longStem = std::string(90, 'x') + " long name";
        const std::vector<std::pair<std::string, std::size_t>> tree{
            {"tree/readme.txt", 10},
            {"tree/Report.txt", 2048},
            {"tree/report.TXT", 2049}, // clashes with Report.txt in the ISO 9660 tree only
            {"tree/no extension", 1},
            {"tree/empty", 0},
            {"tree/" + longStem + ".document", 3000},
            {"tree/\xC3\x9C" "bersicht \xE2\x80\x93 \xC3\xB1.txt", 4097},
            {"tree/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", 100},
            {"tree/a/b/c/d/e/deep file.bin", 70000},
            {"tree/a/b/sibling.dat", 1500000},
            {"tree/a/second/x", 5},
            {"tree/Folder With Spaces/inner.txt", 77},
            {"solo.bin", 12345},
        };
        std::uint32_t seed = 100;
        for (const auto& [path, size] : tree) {
            Expected expected{path, path, test::RandomBytes(size, seed++)};
            if (path.find(longStem) != std::string::npos) {
                expected.joliet = "tree/" + std::string(55, 'x') + ".document";
            }
            MakeFile(path, expected.bytes);
            files.push_back(std::move(expected));
        }
        ASSERT_EQ(::chmod((dir / "tree/Report.txt").c_str(), 0640), 0);
        for (const auto& [link, target] : links) {
            fs::create_symlink(target, dir / link);
        }
        folders = {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/a/b/c/d", "tree/a/b/c/d/e", "tree/a/second",
                   "tree/Folder With Spaces", "tree/emptyfolder"};
        fs::create_directories(fs::path(dir.Path()) / "tree/emptyfolder");

        Held<IIsoBuild> builder = NewBuilder();
        ASSERT_TRUE(builder->SetVolumeLabel("PEERS"));
        ASSERT_NE(builder->AddDirectoryTree((dir / "tree").c_str(), builder->GetRoot()), nullptr);
        ASSERT_NE(builder->AddFile((dir / "solo.bin").c_str(), builder->GetRoot()), nullptr);
        ASSERT_EQ(builder->GetNoticeCount(), 0u);
        ProgressLog log;
        ASSERT_EQ(Build(builder, log), kBuildDone) << log.errorAtEnd;
    }

    // Every file under the name the reader shows, with its bytes; the folders and links; nothing else.
    void ExpectExtracted(const std::string& root, bool rockRidge)
    {
        std::map<std::string, std::vector<std::uint8_t>> found;
        std::map<std::string, std::string> foundLinks;
        std::vector<std::string> foundFolders;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string relative = entry.path().lexically_relative(root).string(); // links not followed
            if (entry.is_symlink()) {
                foundLinks[relative] = fs::read_symlink(entry.path()).string();
            } else if (entry.is_directory()) {
                foundFolders.push_back(relative);
            } else {
                found[relative] = test::ReadWholeFile(entry.path().string());
            }
        }
        for (const Expected& file : files) {
            const std::string& path = rockRidge ? file.rockRidge : file.joliet;
            const auto at = found.find(path);
            ASSERT_NE(at, found.end()) << "missing " << path;
            EXPECT_TRUE(at->second == file.bytes) << "other contents in " << path;
            found.erase(at);
        }
        for (const auto& unexpected : found) {
            ADD_FAILURE() << "unexpected " << unexpected.first;
        }
        const std::map<std::string, std::string> noLinks;
        EXPECT_EQ(foundLinks, rockRidge ? links : noLinks);
        std::sort(foundFolders.begin(), foundFolders.end());
        std::vector<std::string> expected = folders;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(foundFolders, expected);
    }
};

// The names isoinfo lists for one directory, in its order.
std::vector<std::string> ListedIn(const std::string& listing, const std::string& directory)
{
    std::vector<std::string> names;
    test::IsoinfoListing parsed = test::ParseIsoinfoListing(listing);
    for (const test::IsoinfoEntry& entry : parsed[directory]) {
        names.push_back(entry.identifier);
    }
    return names;
}

// 7z reads Joliet, bsdtar Rock Ridge.
TEST_F(IsoBuildPeers, SevenZipAndBsdtarExtractEveryFileUnderTheNamesOfTheirTree)
{
    TARVELIN_REQUIRE_TOOL("7z");
    TARVELIN_REQUIRE_TOOL("bsdtar");
    const std::string out7 = dir / "x7";
    const auto result = test::RunCommand("7z x -y -o" + test::ShellQuote(out7) + " " + test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.find("WARNING"), std::string::npos) << result.output;
    ExpectExtracted(out7, false);

    const std::string out = dir / "xb";
    fs::create_directory(out);
    const auto tar = test::RunCommand("bsdtar -x -C " + test::ShellQuote(out) + " -f " + test::ShellQuote(image));
    ASSERT_EQ(tar.exitCode, 0) << tar.output;
    ExpectExtracted(out, true);
    const auto listing = test::RunCommand("bsdtar -tvf " + test::ShellQuote(image));
    ASSERT_EQ(listing.exitCode, 0) << listing.output;
    EXPECT_EQ(listing.output.find("1899"), std::string::npos) << listing.output;
}

TEST_F(IsoBuildPeers, XorrisoListsEveryEntryWithItsSizeModeAndLinkAndComplainsOfNothing)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    const auto result = test::RunCommand("xorriso -abort_on NEVER -return_with SORRY 32 -indev " +
                                         test::ShellQuote(image) + " -pvd_info -find / -exec lsdl --");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    for (const char* problem : {"FAILURE", "SORRY", "WARNING", "1899"}) {
        EXPECT_EQ(result.output.find(problem), std::string::npos) << problem << " in:\n" << result.output;
    }
    // The line that ends in the quoted path (and what follows it).
    const auto lineOf = [&](const std::string& ending) {
        const std::size_t at = result.output.find(ending + "\n");
        if (at == std::string::npos) {
            return std::string();
        }
        const std::size_t start = result.output.rfind('\n', at) + 1;
        return result.output.substr(start, at - start);
    };
    for (const Expected& file : files) {
        const std::string line = lineOf("'/" + file.rockRidge + "'");
        ASSERT_FALSE(line.empty()) << file.rockRidge << " in:\n" << result.output;
        EXPECT_NE(line.find(" " + std::to_string(file.bytes.size()) + " "), std::string::npos) << line;
    }
    EXPECT_EQ(test::InfoField(result.output, "Volume Id    "), "PEERS");
    EXPECT_EQ(lineOf("'/tree/Report.txt'").substr(0, 10), "-rw-r-----");
    EXPECT_EQ(lineOf("'/tree/link' -> 'a/second/x'").substr(0, 10), "lrwxrwxrwx");
}

TEST_F(IsoBuildPeers, IsoinfoReadsBothTreesAndThePathTable)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const std::string quoted = test::ShellQuote(image);
    const auto info = test::RunCommand("isoinfo -d -debug -i " + quoted);
    ASSERT_EQ(info.exitCode, 0) << info.output;
    for (const char* line : {"Joliet with UCS level 3 found", "Rock Ridge signatures"}) {
        EXPECT_NE(info.output.find(line), std::string::npos) << line << " in:\n" << info.output;
    }
    for (const auto& [label, value] : std::vector<std::pair<std::string, std::string>>{
             {"Volume id", "PEERS"}, {"Volume size is", std::to_string(fs::file_size(image) / kSector)},
             {"Logical block size is", "2048"}, {"Root directory extent", "23 size: 2048"},
             {"L Path table start", "19"}, {"M Path table start", "20"}, {"Application id", "TARVELIN"},
             {"Modification Date", test::InfoField(info.output, "Creation Date")}}) {
        EXPECT_EQ(test::InfoField(info.output, label), value) << label << "\n" << info.output;
    }
    EXPECT_NE(test::InfoField(info.output, "Creation Date").substr(0, 4), "0000");

    // isoinfo prints Joliet names in Latin-1, so the others show as '_'.
    const auto joliet = test::RunCommand("isoinfo -J -l -i " + quoted);
    ASSERT_EQ(joliet.exitCode, 0) << joliet.output;
    const std::vector<std::string> jolietTree{
        "Folder With Spaces", "Report.txt", "a", "empty", "emptyfolder", "no extension", "readme.txt", "report.TXT",
        std::string(55, 'x') + ".document", "\xDC" "bersicht _ \xF1.txt", "___.txt"};
    EXPECT_EQ(ListedIn(joliet.output, "/tree/"), jolietTree) << joliet.output;

    const auto primary = test::RunCommand("isoinfo -l -i " + quoted);
    ASSERT_EQ(primary.exitCode, 0) << primary.output;
    const std::vector<std::string> isoTree{
        "A", "EMPTY.;1", "EMPTYFOLDER", "FOLDER_WITH_SPACES", "LINK.;1", "NO_EXTENSION.;1", "README.TXT;1",
        "REPORT.TXT;1", "REPORT_1.TXT;1", std::string(22, 'X') + ".DOCUMENT;1", "_BERSICHT____.TXT;1", "___.TXT;1"};
    EXPECT_EQ(ListedIn(primary.output, "/TREE/"), isoTree) << primary.output;
    EXPECT_EQ(ListedIn(primary.output, "/TREE/A/B/C/D/E/"), std::vector<std::string>{"DEEP_FILE.BIN;1"});

    // The path table level by level, a parent's folders in order; isoinfo -p prints "number: parent extent name".
    const auto table = test::RunCommand("isoinfo -p -i " + quoted);
    ASSERT_EQ(table.exitCode, 0) << table.output;
    std::istringstream lines(table.output);
    std::vector<std::pair<int, std::string>> records;
    std::string line;
    while (std::getline(lines, line)) {
        int number = 0;
        int parent = 0;
        char name[64] = {};
        if (std::sscanf(line.c_str(), " %d: %d %*x %63s", &number, &parent, name) == 3) {
            records.emplace_back(parent, name);
        }
    }
    const std::vector<std::pair<int, std::string>> expected{
        {1, "TREE"}, {2, "A"}, {2, "EMPTYFOLDER"}, {2, "FOLDER_WITH_SPACES"}, {3, "B"}, {3, "SECOND"},
        {6, "C"}, {8, "D"}, {9, "E"}};
    EXPECT_EQ(records, expected) << table.output;
}

TEST_F(IsoBuild, DatesKeepTheirMomentAcrossZones)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    const std::string file = MakeFile("src/dated", {1, 2, 3});
    platform::FileInfo info;
    ASSERT_TRUE(platform::GetFileInfo(file, info));
    {
        const test::ScopedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
        Held<IIsoBuild> builder = NewBuilder();
        ASSERT_NE(builder->AddFile(file.c_str(), builder->GetRoot()), nullptr);
        ProgressLog log;
        ASSERT_EQ(Build(builder, log), kBuildDone);
    }
    const std::string out = dir / "x";
    fs::create_directory(out);
    const auto result = test::RunCommand("TZ=UTC bsdtar -x -C " + test::ShellQuote(out) + " -f " +
                                         test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    struct stat extracted {};
    ASSERT_EQ(::stat((out + "/dated").c_str(), &extracted), 0);
    const std::int64_t expected = static_cast<std::int64_t>(info.creationTime / platform::kFileTimeTicksPerSecond)
        - platform::kFileTimeEpochOffsetSeconds;
    EXPECT_EQ(static_cast<std::int64_t>(extracted.st_mtime), expected);
}

} // namespace
} // namespace tarvelin
