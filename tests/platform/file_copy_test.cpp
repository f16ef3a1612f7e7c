// File::CopyFrom: copies done by the system where it can, by reads and
// writes where it cannot.

#include "platform/file.h"
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
    // Past the source's end the copy is short, and says so.
    ASSERT_TRUE(target.CopyFrom(source, 5 << 20, copied));
    EXPECT_EQ(copied, bytes.size() - 2000010);
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
    target.Close();
    const std::vector<std::uint8_t> written = ReadWholeFile(dir / "target");
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

} // namespace
} // namespace tarvelin::platform
