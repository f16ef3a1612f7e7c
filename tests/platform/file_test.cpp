// platform::File against the real file system: modes, exclusive use and
// positions beyond 4 GiB.

#include "platform/directory.h"
#include "platform/file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

std::string ReadText(const std::string& path)
{
    const auto bytes = ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

TEST(PlatformFile, CreateTruncateMakesAMissingFileAndEmptiesAnExistingOne)
{
    TempDir dir;
    const std::string path = dir / "out.bin";
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::CreateTruncate)) << file.LastError();
        EXPECT_TRUE(file.IsWritable());
        ASSERT_TRUE(file.Write("hello world", 11));
        EXPECT_EQ(file.Position(), 11u);
    }
    EXPECT_EQ(ReadText(path), "hello world");

    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::CreateTruncate)) << file.LastError();
    std::uint64_t length = 99;
    ASSERT_TRUE(file.Length(length));
    EXPECT_EQ(length, 0u);
    file.Close();
    EXPECT_EQ(ReadText(path), "");
}

TEST(PlatformFile, CreateNewRefusesWhateverHoldsTheNameAndNeverFollowsALink)
{
    TempDir dir;
    const std::string path = dir / "new.bin";
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::CreateNew)) << file.LastError();
        EXPECT_TRUE(file.IsWritable());
        ASSERT_TRUE(file.Write("fresh", 5));
        File second;
        EXPECT_FALSE(second.Open(path, OpenMode::ReadOnly)) << "held for exclusive use like any open file";
    }
    EXPECT_EQ(ReadText(path), "fresh");

    File file;
    EXPECT_FALSE(file.Open(path, OpenMode::CreateNew));
    EXPECT_NE(file.LastError().find("cannot create '" + path + "'"), std::string::npos) << file.LastError();
    EXPECT_EQ(ReadText(path), "fresh") << "an existing file is neither emptied nor written";

    const std::string victim = dir / "victim.txt";
    WriteWholeFile(victim, std::string("must stay"));
    const std::string link = dir / "planted";
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_FALSE(file.Open(link, OpenMode::CreateNew));
    EXPECT_EQ(ReadText(victim), "must stay");
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(file.Open(dangling, OpenMode::CreateNew)) << "a link to nothing is not made into a file";
    EXPECT_FALSE(PathExists(dir / "nowhere"));
    ASSERT_TRUE(MakeDirectory(dir / "folder"));
    EXPECT_FALSE(file.Open(dir / "folder", OpenMode::CreateNew));
    EXPECT_FALSE(file.IsOpen());
}

TEST(PlatformFile, SetTimesDatesTheOpenFileThroughItsHandle)
{
    TempDir dir;
    const std::string path = dir / "dated.bin";
    CalendarTime fields;
    fields.year = 1998;
    fields.month = 7;
    fields.day = 4;
    fields.hour = 13;
    fields.minute = 14;
    fields.second = 15;
    fields.millisecond = 250;
    FileTime date = 0;
    ASSERT_TRUE(UtcToFileTime(fields, date));
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::CreateNew)) << file.LastError();
        ASSERT_TRUE(file.Write("data", 4));
        ASSERT_TRUE(file.SetTimes(date)) << file.LastError();
    }
    FileInfo info;
    ASSERT_TRUE(GetFileInfo(path, info));
    EXPECT_EQ(info.modificationTime, date);
    EXPECT_EQ(info.size, 4u);

    File closed;
    EXPECT_FALSE(closed.SetTimes(date));
    EXPECT_FALSE(closed.LastError().empty());
}

TEST(PlatformFile, ReadWriteNeverCreatesAMissingFile)
{
    TempDir dir;
    const std::string path = dir / "missing.iso";
    File file;
    EXPECT_FALSE(file.Open(path, OpenMode::ReadWrite));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_NE(file.LastError().find(path), std::string::npos) << file.LastError();
    EXPECT_FALSE(PathExists(path));
    EXPECT_FALSE(file.Open(path, OpenMode::ReadOnly));
    EXPECT_FALSE(PathExists(path));
}

TEST(PlatformFile, ReadWriteKeepsContentsAndWritesInPlace)
{
    TempDir dir;
    const std::string path = dir / "image.iso";
    WriteWholeFile(path, std::string("abcdefgh"));
    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::ReadWrite)) << file.LastError();
    ASSERT_TRUE(file.WriteAt(2, "XY", 2));
    EXPECT_EQ(file.Position(), 0u) << "positioned writes leave the position alone";
    char got[16] = {};
    ASSERT_TRUE(file.Seek(6));
    EXPECT_EQ(file.Read(got, sizeof got), 2u) << "a read is short only at the end";
    EXPECT_EQ(std::string(got, 2), "gh");
    EXPECT_EQ(file.Position(), 8u);
    file.Close();
    EXPECT_EQ(ReadText(path), "abXYefgh");
}

TEST(PlatformFile, ReadOnlyOpenOfAWriteProtectedFileReadsButRefusesWrites)
{
    TempDir dir;
    const std::string path = dir / "protected.bin";
    WriteWholeFile(path, std::string("data"));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);

    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly)) << file.LastError();
    EXPECT_FALSE(file.IsWritable());
    char got[4] = {};
    EXPECT_EQ(file.Read(got, 4), 4u);
    EXPECT_EQ(std::string(got, 4), "data");
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_NE(file.LastError().find("read-only"), std::string::npos) << file.LastError();
    EXPECT_NE(file.LastError().find(path), std::string::npos) << file.LastError();
    EXPECT_FALSE(file.WriteAt(0, "x", 1));
    file.Close();
    EXPECT_EQ(ReadText(path), "data");

    if (::geteuid() != 0) { // the superuser may write anything
        File writer;
        EXPECT_FALSE(writer.Open(path, OpenMode::ReadWrite));
        EXPECT_FALSE(writer.LastError().empty());
    }
}

TEST(PlatformFile, AnOpenFileIsHeldForExclusiveUse)
{
    TempDir dir;
    const std::string path = dir / "held.iso";
    WriteWholeFile(path, std::string("precious"));

    File first;
    ASSERT_TRUE(first.Open(path, OpenMode::ReadOnly)) << first.LastError();
    File second;
    EXPECT_FALSE(second.Open(path, OpenMode::ReadOnly));
    EXPECT_NE(second.LastError().find("in use"), std::string::npos) << second.LastError();
    EXPECT_FALSE(second.Open(path, OpenMode::ReadWrite));
    // Refused, so it must not have emptied the file on the way.
    EXPECT_FALSE(second.Open(path, OpenMode::CreateTruncate));
    EXPECT_EQ(ReadText(path), "precious");

    first.Close();
    EXPECT_TRUE(second.Open(path, OpenMode::ReadWrite)) << second.LastError();
}

TEST(PlatformFile, AnotherProcessCannotLockAnOpenFile)
{
    TARVELIN_REQUIRE_TOOL("flock");
    TempDir dir;
    const std::string path = dir / "held.iso";
    WriteWholeFile(path, std::string("x"));
    const std::string probe = "flock -n " + test::ShellQuote(path) + " true";
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly)) << file.LastError();
        EXPECT_NE(test::RunCommand(probe).exitCode, 0);
    }
    EXPECT_EQ(test::RunCommand(probe).exitCode, 0);
}

TEST(PlatformFile, PositionsBeyondFourGiBWork)
{
    TempDir dir;
    const std::string path = dir / "sparse.bin";
    constexpr std::uint64_t kFar = 5ULL << 30;
    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::CreateTruncate));
    ASSERT_TRUE(file.Seek(kFar));
    const std::uint8_t marker = 0xA5;
    if (!file.Write(&marker, 1)) {
        GTEST_SKIP() << "the temporary file system holds no 5 GiB file: " << file.LastError();
    }
    EXPECT_EQ(file.Position(), kFar + 1);
    std::uint64_t length = 0;
    ASSERT_TRUE(file.Length(length));
    EXPECT_EQ(length, kFar + 1);
    file.Close();

    ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly));
    std::uint8_t got[2] = {0, 0};
    EXPECT_EQ(file.ReadAt(kFar - 1, got, 2), 2u);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[1], marker);
    ASSERT_TRUE(file.SeekToEnd());
    EXPECT_EQ(file.Position(), kFar + 1);
    EXPECT_EQ(file.Read(got, 1), 0u);
    // A position the platform cannot address is refused, not wrapped.
    EXPECT_FALSE(file.Seek(~0ULL));
}

TEST(PlatformFile, TruncateShortensAndDirectoriesAreRefused)
{
    TempDir dir;
    const std::string path = dir / "t.bin";
    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::CreateTruncate));
    ASSERT_TRUE(file.Write("0123456789", 10));
    ASSERT_TRUE(file.Truncate(4));
    ASSERT_TRUE(file.Flush());
    file.Close();
    EXPECT_EQ(ReadText(path), "0123");

    EXPECT_FALSE(file.Open(dir.Path(), OpenMode::ReadOnly));
    EXPECT_FALSE(file.IsOpen());
}

} // namespace
} // namespace tarvelin::platform
