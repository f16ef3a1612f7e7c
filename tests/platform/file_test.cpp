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
