// CIsoBuild, the build of a new image: the layout of an empty image byte by
// byte, how sources are added (and refused), the progress protocol with
// cancel and failure, and whole images checked by the peer tools:
//   isoinfo -d / -l / -J -l / -p,  xorriso -indev IMG -find / -exec lsdl,
//   7z x,  bsdtar -x  (every file extracted with identical bytes and names).

#include "build_test_support.h"
#include "iso/iso9660.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "writer/iso_build.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

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

    Held<IIsoBuild> NewBuilder()
    {
        Held<IIsoBuild> builder(NEW_ISOBUILDNEW());
        EXPECT_NE(builder.get(), nullptr);
        EXPECT_TRUE(builder->SetOutput(image.c_str(), kBuildIsoAndJoliet)) << builder->GetLastError();
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

TEST_F(IsoBuild, EmptyTreeIsTwentyFiveSectorsLaidOutAsAlways)
{
    Held<IIsoBuild> builder = NewBuilder();
    ProgressLog log;
    const platform::FileTime before = platform::CurrentFileTime() / 10000000 * 10000000;
    ASSERT_EQ(Build(builder, log), kBuildDone);
    EXPECT_EQ(log.Values(), std::vector<std::int32_t>{kBuildDone});

    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    ASSERT_EQ(bytes.size(), 25 * kSector);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + 16 * kSector, [](std::uint8_t b) { return b == 0; }));
    const auto primary = iso::DecodeVolumeDescriptor(SectorOf(bytes, 16));
    const auto joliet = iso::DecodeVolumeDescriptor(SectorOf(bytes, 17));
    ASSERT_TRUE(primary && joliet);
    EXPECT_TRUE(iso::HasDescriptorHeader(SectorOf(bytes, 18), iso::DescriptorType::Terminator));
    EXPECT_EQ(primary->volumeSpaceSize, 25u);
    EXPECT_EQ(primary->pathTableSize, 10u);
    EXPECT_EQ(primary->typeLPathTable, 19u);
    EXPECT_EQ(primary->typeMPathTable, 20u);
    EXPECT_EQ(primary->rootRecord.extent, 23u);
    EXPECT_EQ(primary->rootRecord.dataLength, 2048u);
    EXPECT_EQ(joliet->typeLPathTable, 21u);
    EXPECT_EQ(joliet->typeMPathTable, 22u);
    EXPECT_EQ(joliet->rootRecord.extent, 24u);
    EXPECT_EQ(iso::JolietLevelOf(*joliet), iso::JolietLevel::Level3);
    // The root record is dated with the build, not with a date no reader
    // can take.
    const auto rootDate = iso::FileTimeFromRecordingDate(primary->rootRecord.date);
    ASSERT_TRUE(rootDate.has_value());
    EXPECT_GE(*rootDate, before);
    EXPECT_LE(*rootDate, platform::CurrentFileTime());
    // The date label: year, month, day, hour, minute without zero padding.
    const std::string label = iso::ReadTextField(primary->volumeIdentifier);
    EXPECT_GE(label.size(), 8u);
    EXPECT_TRUE(std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; })) << label;
    EXPECT_EQ(iso::ReadJolietTextField(joliet->volumeIdentifier), label);
}

TEST(IsoBuildNames, LongFileNamesKeepSixtyCharactersAndTheirExtension)
{
    const std::string sixty(60, 'a');
    EXPECT_EQ(BuildFileName(sixty + ".txt"), sixty + ".txt"); // the stem fits
    EXPECT_EQ(BuildFileName(sixty + "bcdefghijk.txt"), sixty + ".txt");
    EXPECT_EQ(BuildFileName(sixty), sixty);
    EXPECT_EQ(BuildFileName(sixty + "b"), sixty);
    EXPECT_EQ(BuildFileName("." + sixty + "b"), "." + std::string(59, 'a')); // a leading dot starts a name
    // A long extension beside a short stem is not repeated.
    const std::string longExtension = "a." + std::string(70, 'e');
    EXPECT_EQ(BuildFileName(longExtension), longExtension);
    // Characters, not bytes: 61 two-byte characters keep 60 of them.
    std::string wide;
    for (int i = 0; i < 61; ++i) {
        wide += "\xC3\xA9";
    }
    EXPECT_EQ(BuildFileName(wide + ".txt"), wide.substr(0, 120) + ".txt");
}

TEST_F(IsoBuild, AddingSourcesFilesBeforeFoldersAndNothingForMissingPaths)
{
    const std::string folder = dir / "src";
    MakeFile("src/a", {1});
    MakeFile("src/s/c", {2});
    MakeFile("src/b", {3});
    MakeFile("src/t/d", {4});
    const std::string longName = std::string(66, 'L') + ".txt";
    const std::string longFile = MakeFile(longName, {5});
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

    MacroNode* file = builder->AddFile(longFile.c_str(), builder->GetRoot());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(InfoOf(list, file).name, std::string(60, 'L') + ".txt");
    EXPECT_EQ(InfoOf(list, file).fileSize, 1u);

    const std::uint64_t count = list->GetNodeCount();
    EXPECT_EQ(builder->AddDirectoryTree((dir / "missing").c_str(), builder->GetRoot()), nullptr);
    EXPECT_NE(std::string(builder->GetLastError()).find("missing"), std::string::npos);
    EXPECT_EQ(builder->AddFile((dir / "missing").c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(builder->AddFile(folder.c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(builder->AddDirectory(longFile.c_str(), builder->GetRoot()), nullptr);
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

    // The output inside the source folder is not put into itself.
    Held<IIsoBuild> builder(NEW_ISOBUILDNEW());
    const std::string inside = dir / "src/out.iso";
    ASSERT_TRUE(builder->SetOutput(inside.c_str(), kBuildIsoAndJoliet));

    EXPECT_EQ(builder->AddFile(huge.c_str(), builder->GetRoot()), nullptr);
    EXPECT_NE(std::string(builder->GetLastError()).find("4 GiB"), std::string::npos) << builder->GetLastError();
    EXPECT_EQ(builder->AddFile((dir / "src/pipe").c_str(), builder->GetRoot()), nullptr);
    EXPECT_EQ(builder->AddFile(inside.c_str(), builder->GetRoot()), nullptr);

    MacroNode* top = builder->AddDirectoryTree(folder.c_str(), builder->GetRoot());
    ASSERT_NE(top, nullptr);
    IMacroList* list = builder->GetList();
    std::vector<std::string> added;
    for (MacroNode* child = list->GetFirstChild(top); child != nullptr; child = list->GetNextSibling(child)) {
        added.push_back(InfoOf(list, child).name);
    }
    EXPECT_EQ(added, std::vector<std::string>{"ok"});
    // The file too large is an error (the image would lack it); the pipe,
    // the output and the link back are only warnings.
    EXPECT_EQ(builder->GetErrorNoticeCount(), 1u);
    EXPECT_EQ(builder->GetNoticeCount(), 4u);
    std::string all;
    for (std::uint32_t i = 0; i < builder->GetNoticeCount(); ++i) {
        bool isError = false;
        const std::string text = builder->GetNotice(i, &isError);
        all += text + "\n";
        EXPECT_EQ(isError, text.find("huge") != std::string::npos) << text;
    }
    for (const char* name : {"huge", "pipe", "out.iso", "loop"}) {
        EXPECT_NE(all.find(name), std::string::npos) << name << " in:\n" << all;
    }
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

    // Empty files only: the final call alone.
    const std::string other = dir / "other.iso";
    Held<IIsoBuild> empty(NEW_ISOBUILDNEW());
    ASSERT_TRUE(empty->SetOutput(other.c_str(), kBuildIsoAndJoliet));
    ASSERT_NE(empty->AddFile((dir / "src/empty").c_str(), empty->GetRoot()), nullptr);
    ProgressLog emptyLog;
    ASSERT_EQ(Build(empty, emptyLog), kBuildDone);
    EXPECT_EQ(emptyLog.Values(), std::vector<std::int32_t>{kBuildDone});
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

TEST_F(IsoBuild, AFailedBuildSaysWhyWithItsOwnFinalValueAndLeavesNoImage)
{
    const std::string gone = MakeFile("src/gone", test::RandomBytes(100, 4));
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddFile(gone.c_str(), builder->GetRoot()), nullptr);
    ASSERT_TRUE(platform::RemoveFile(gone));
    ProgressLog log;
    ASSERT_EQ(Build(builder, log), kBuildFailed);
    EXPECT_NE(log.errorAtEnd.find(gone), std::string::npos) << log.errorAtEnd;
    EXPECT_FALSE(platform::PathExists(image));
}

TEST_F(IsoBuild, AFullDiskFailsTheBuildAndRemovesThePartialImage)
{
    MakeFile("src/data", test::RandomBytes(300000, 5));
    Held<IIsoBuild> builder = NewBuilder();
    ASSERT_NE(builder->AddDirectoryTree((dir / "src").c_str(), builder->GetRoot()), nullptr);
    // Writes beyond 100 KB fail as on a full disk.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    ProgressLog log;
    const std::int32_t final = Build(builder, log);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(final, kBuildFailed);
    EXPECT_NE(log.errorAtEnd.find("out.iso"), std::string::npos) << log.errorAtEnd;
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

    TARVELIN_REQUIRE_TOOL("7z");
    const std::string out = dir / "x";
    const auto result = test::RunCommand("7z x -y -o" + test::ShellQuote(out) + " " + test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(test::ReadWholeFile(out + "/grows"), original);
    EXPECT_EQ(test::ReadWholeFile(out + "/next"), next);
}

TEST_F(IsoBuild, TheVolumeLabelCanBeChosen)
{
    Held<IIsoBuild> builder = NewBuilder();
    EXPECT_FALSE(builder->SetVolumeLabel(""));
    EXPECT_FALSE(builder->SetVolumeLabel("seventeen chars!!"));
    EXPECT_FALSE(builder->SetVolumeLabel("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" "a"));
    ASSERT_TRUE(builder->SetVolumeLabel("Holiday 2004"));
    ProgressLog log;
    ASSERT_EQ(Build(builder, log), kBuildDone);
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const auto primary = iso::DecodeVolumeDescriptor(SectorOf(bytes, 16));
    const auto joliet = iso::DecodeVolumeDescriptor(SectorOf(bytes, 17));
    ASSERT_TRUE(primary && joliet);
    EXPECT_EQ(iso::ReadTextField(primary->volumeIdentifier), "Holiday 2004");
    EXPECT_EQ(iso::ReadJolietTextField(joliet->volumeIdentifier), "Holiday 2004");
}

// --- Whole images read by the peer tools -----------------------------------

class IsoBuildPeers : public IsoBuild {
protected:
    // One source file: the paths it may have in the image (names that clash
    // get a "~n" in the order the folder lists them) and its contents.
    struct Expected {
        std::vector<std::string> paths;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Expected> files;
    std::vector<std::string> folders;

    void SetUp() override
    {
        const std::string longStem = std::string(90, 'x') + " long name";
        const std::vector<std::pair<std::string, std::size_t>> tree{
            {"tree/readme.txt", 10},
            {"tree/Report.txt", 2048},
            {"tree/report.TXT", 2049}, // clashes with Report.txt in both trees
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
            Expected expected;
            expected.bytes = test::RandomBytes(size, seed++);
            MakeFile(path, expected.bytes);
            const std::string folder(platform::FolderOf(path));
            const std::string name(platform::FileNameOf(path));
            const std::string prefix = folder.empty() ? "" : folder + "/";
            expected.paths.push_back(prefix + BuildFileName(name));
            if (name == "Report.txt" || name == "report.TXT") {
                expected.paths.push_back(prefix + name.substr(0, 6) + "~1" + name.substr(6));
            }
            files.push_back(std::move(expected));
        }
        folders = {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/a/b/c/d", "tree/a/b/c/d/e", "tree/a/second",
                   "tree/Folder With Spaces", "tree/emptyfolder"};
        fs::create_directories(fs::path(dir.Path()) / "tree/emptyfolder");

        Held<IIsoBuild> builder = NewBuilder();
        ASSERT_NE(builder->AddDirectoryTree((dir / "tree").c_str(), builder->GetRoot()), nullptr);
        ASSERT_NE(builder->AddFile((dir / "solo.bin").c_str(), builder->GetRoot()), nullptr);
        ASSERT_EQ(builder->GetNoticeCount(), 0u);
        ProgressLog log;
        ASSERT_EQ(Build(builder, log), kBuildDone) << log.errorAtEnd;
    }

    static bool Allowed(const Expected& expected, const std::string& path)
    {
        return std::find(expected.paths.begin(), expected.paths.end(), path) != expected.paths.end();
    }

    // Every file extracted under root once, under one of its names, with its
    // bytes; the folders as they were; nothing else.
    void ExpectExtracted(const std::string& root)
    {
        std::vector<std::string> foundFolders;
        std::vector<bool> matched(files.size(), false);
        std::size_t foundFiles = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string relative = fs::relative(entry.path(), root).string();
            if (entry.is_directory()) {
                foundFolders.push_back(relative);
                continue;
            }
            ++foundFiles;
            const std::vector<std::uint8_t> bytes = test::ReadWholeFile(entry.path().string());
            bool known = false;
            for (std::size_t i = 0; i < files.size(); ++i) {
                if (!matched[i] && Allowed(files[i], relative) && files[i].bytes == bytes) {
                    matched[i] = true;
                    known = true;
                    break;
                }
            }
            EXPECT_TRUE(known) << "unexpected name or contents: " << relative;
        }
        EXPECT_EQ(foundFiles, files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_TRUE(matched[i]) << "missing " << files[i].paths[0];
        }
        std::sort(foundFolders.begin(), foundFolders.end());
        std::vector<std::string> expected = folders;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(foundFolders, expected);
    }
};

TEST_F(IsoBuildPeers, SevenZipExtractsEveryFileWithItsJolietName)
{
    TARVELIN_REQUIRE_TOOL("7z");
    const std::string out = dir / "x7";
    const auto result = test::RunCommand("7z x -y -o" + test::ShellQuote(out) + " " + test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.find("WARNING"), std::string::npos) << result.output;
    ExpectExtracted(out);
}

TEST_F(IsoBuildPeers, BsdtarExtractsEveryFileAndTheRootHasAValidDate)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    const std::string out = dir / "xb";
    fs::create_directory(out);
    const auto result = test::RunCommand("bsdtar -x -C " + test::ShellQuote(out) + " -f " + test::ShellQuote(image));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    ExpectExtracted(out);
    const auto listing = test::RunCommand("bsdtar -tvf " + test::ShellQuote(image));
    ASSERT_EQ(listing.exitCode, 0) << listing.output;
    EXPECT_EQ(listing.output.find("1899"), std::string::npos) << listing.output;
}

TEST_F(IsoBuildPeers, XorrisoListsEveryEntryWithItsSizeAndComplainsOfNothing)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    const auto result = test::RunCommand("xorriso -abort_on NEVER -return_with SORRY 32 -indev " +
                                         test::ShellQuote(image) + " -find / -exec lsdl --");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    for (const char* problem : {"FAILURE", "SORRY", "WARNING", "1899"}) {
        EXPECT_EQ(result.output.find(problem), std::string::npos) << problem << " in:\n" << result.output;
    }
    for (const Expected& file : files) {
        std::size_t at = std::string::npos;
        std::string line;
        for (const std::string& path : file.paths) {
            line = "'/" + path + "'";
            at = result.output.find(line);
            if (at != std::string::npos) {
                break;
            }
        }
        ASSERT_NE(at, std::string::npos) << file.paths[0] << " in:\n" << result.output;
        const std::size_t lineStart = result.output.rfind('\n', at) + 1;
        EXPECT_NE(result.output.substr(lineStart, at - lineStart).find(" " + std::to_string(file.bytes.size()) + " "),
                  std::string::npos)
            << result.output.substr(lineStart, at - lineStart + line.size());
    }
}

TEST_F(IsoBuildPeers, IsoinfoReadsBothTreesAndThePathTable)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const std::string quoted = test::ShellQuote(image);
    const auto info = test::RunCommand("isoinfo -d -i " + quoted);
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("Joliet with UCS level 3 found"), std::string::npos) << info.output;
    const std::uint64_t sectors = fs::file_size(image) / kSector;
    EXPECT_NE(info.output.find("Volume size is: " + std::to_string(sectors)), std::string::npos) << info.output;

    const auto joliet = test::RunCommand("isoinfo -J -l -i " + quoted);
    ASSERT_EQ(joliet.exitCode, 0) << joliet.output;
    // isoinfo prints names in Latin-1, so only the ASCII ones are looked for.
    for (const Expected& file : files) {
        if (std::any_of(file.paths[0].begin(), file.paths[0].end(), [](char c) { return (c & 0x80) != 0; })) {
            continue;
        }
        bool listed = false;
        for (const std::string& path : file.paths) {
            listed = listed || joliet.output.find("]  " + std::string(platform::FileNameOf(path)) + " ") != std::string::npos;
        }
        EXPECT_TRUE(listed) << file.paths[0] << " in:\n" << joliet.output;
    }
    const auto primary = test::RunCommand("isoinfo -l -i " + quoted);
    ASSERT_EQ(primary.exitCode, 0) << primary.output;
    EXPECT_NE(primary.output.find("Directory listing of /TREE/A/B/C/D/E/"), std::string::npos) << primary.output;
    EXPECT_NE(primary.output.find(" REPORT.TXT "), std::string::npos);
    EXPECT_NE(primary.output.find(" REPORT~1.TXT "), std::string::npos) << primary.output;

    // The path table: every folder once, parents before children, levels in
    // order (isoinfo walks it with -p).
    const auto table = test::RunCommand("isoinfo -p -i " + quoted);
    ASSERT_EQ(table.exitCode, 0) << table.output;
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const auto descriptor = iso::DecodeVolumeDescriptor(SectorOf(bytes, 16));
    ASSERT_TRUE(descriptor.has_value());
    const auto records = iso::DecodePathTable(
        iso::ConstBytes(bytes).subspan(std::size_t{descriptor->typeLPathTable} * kSector, descriptor->pathTableSize),
        iso::PathTableOrder::LittleEndian);
    ASSERT_TRUE(records.has_value());
    EXPECT_EQ(records->size(), folders.size() + 1);
    std::vector<int> level(records->size() + 1, 0);
    level[1] = 1;
    for (std::size_t i = 1; i < records->size(); ++i) {
        level[i + 1] = level[(*records)[i].parentNumber] + 1;
        EXPECT_GE(level[i + 1], level[i]) << "record " << i + 1 << " comes before a shallower one";
        EXPECT_NE(table.output.find(" " + (*records)[i].identifier), std::string::npos);
    }
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
