// File::CopyFrom, by the system where it can and by reads and writes where
// it cannot, and the refusals of files and folders, which name what failed.

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelin::platform {
namespace {

using test::RandomBytes;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

// A copy goes on from where the source and the target stand and leaves
// both where it ended, so that a second copy follows the first.
TEST(FileCopy, CopiesFromBothCurrentPositionsAndAdvancesThem)
{
    TempDir dir;
    const std::vector<std::uint8_t> bytes = RandomBytes(3 << 20, 1);
    WriteWholeFile(dir / "source", bytes);
    File source;
    File target;
    ASSERT_TRUE(source.Open(dir / "source", OpenMode::ReadShared)) << source.LastError();
    ASSERT_TRUE(target.Open(dir / "target", OpenMode::CreateTruncate)) << target.LastError();
    ASSERT_TRUE(target.Write("head", 4));
    ASSERT_TRUE(source.Seek(10));
    std::uint64_t copied = 0;
    ASSERT_TRUE(target.CopyFrom(source, 2000000, copied)) << target.LastError();
    EXPECT_EQ(copied, 2000000u);
    EXPECT_EQ(source.Position(), 2000010u);
    EXPECT_EQ(target.Position(), 2000004u);
    ASSERT_TRUE(target.CopyFrom(source, 5 << 20, copied));
    EXPECT_EQ(copied, bytes.size() - 2000010) << "short past the source's end";
    target.Close();
    std::vector<std::uint8_t> expected{'h', 'e', 'a', 'd'};
    expected.insert(expected.end(), bytes.begin() + 10, bytes.end());
    EXPECT_EQ(ReadWholeFile(dir / "target"), expected);
}

TEST(FileCopy, FallsBackToReadsWhereTheSystemCannotCopy)
{
    // The kernel's own files cannot be copied by copy_file_range (or claim
    // to be empty); the copy reads them instead.
    TempDir dir;
    File source;
    File target;
    ASSERT_TRUE(source.Open("/proc/self/status", OpenMode::ReadShared)) << source.LastError();
    ASSERT_TRUE(target.Open(dir / "target", OpenMode::CreateTruncate));
    std::uint64_t copied = 0;
    ASSERT_TRUE(target.CopyFrom(source, 64, copied)) << target.LastError();
    EXPECT_EQ(copied, 64u);
    // Past the source's end the copy is short, and says so.
    ASSERT_TRUE(target.CopyFrom(source, 1 << 20, copied)) << target.LastError();
    EXPECT_GT(copied, 0u);
    EXPECT_LT(copied, 1u << 20);
    target.Close();
    const std::vector<std::uint8_t> written = ReadWholeFile(dir / "target");
    EXPECT_EQ(written.size(), 64 + copied);
    EXPECT_EQ(std::string(written.begin(), written.begin() + 5), "Name:");
}

TEST(FileCopy, AReadOnlyTargetRefusesTheCopy)
{
    TempDir dir;
    WriteWholeFile(dir / "source", RandomBytes(100, 2));
    File source;
    File target;
    ASSERT_TRUE(source.Open(dir / "source", OpenMode::ReadShared));
    WriteWholeFile(dir / "target", RandomBytes(10, 3));
    ASSERT_TRUE(target.Open(dir / "target", OpenMode::ReadShared));
    std::uint64_t copied = 7;
    EXPECT_FALSE(target.CopyFrom(source, 100, copied));
    EXPECT_EQ(copied, 0u);
    EXPECT_FALSE(target.LastError().empty());
}

TEST(PlatformFile, RefusalsSayWhatFailed)
{
    TempDir dir;
    const std::string path = dir / "protected.bin";
    WriteWholeFile(path, std::string("data"));
    File file;
    EXPECT_FALSE(file.SetTimes(0)) << "nothing open to date";
    EXPECT_NE(file.LastError().find("not open"), std::string::npos) << file.LastError();
    ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly)) << file.LastError();
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_NE(file.LastError().find("read-only"), std::string::npos) << file.LastError();
    EXPECT_FALSE(file.Seek(~0ULL)) << "a position the platform cannot address is refused, not wrapped";
    file.Close();
    EXPECT_EQ(ReadWholeFile(path), (std::vector<std::uint8_t>{'d', 'a', 't', 'a'}));

    DirectorySearch search;
    FileInfo info;
    EXPECT_FALSE(search.Next(info)) << "nothing opened yet";
    EXPECT_NE(search.LastError().find("no folder"), std::string::npos) << search.LastError();
    const std::string missing = dir / "missing";
    EXPECT_FALSE(search.Open(missing));
    EXPECT_NE(search.LastError().find(missing), std::string::npos) << search.LastError();
    ASSERT_TRUE(GetFileInfo(dir.Path() + "/", info));
    EXPECT_EQ(info.name, FileNameOf(dir.Path())) << "a trailing separator is no name";

    std::string error;
    ASSERT_TRUE(MakeDirectory(missing));
    WriteWholeFile(missing + "/inside", std::string("y"));
    EXPECT_FALSE(RemoveDirectory(missing, &error)) << "only empty folders are removed";
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    ASSERT_TRUE(RemoveFile(missing + "/inside"));
    EXPECT_TRUE(RemoveDirectory(missing, &error)) << error;
    EXPECT_FALSE(PathExists(missing));
}

} // namespace
} // namespace tarvelin::platform
