#include "platform/file.h"
#include "platform/mapped_file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarvelin::platform {
namespace {

using test::TempDir;

// Whole files and empty ones are mapped; a new Open lets go of the file
// mapped before; readers share a mapped file, which nobody can empty under
// the view.
TEST(PlatformMappedFile, MapsWholeFilesSharedWithReadersOnlyAndReplacesTheViewOnReopen)
{
    TempDir dir;
    const std::string path = dir / "source.bin";
    const auto bytes = test::RandomBytes(300001, 7);
    test::WriteWholeFile(path, bytes);
    test::WriteWholeFile(dir / "empty.bin", std::string());

    MappedFile mapped;
    ASSERT_TRUE(mapped.Open(dir / "empty.bin")) << mapped.LastError();
    EXPECT_TRUE(mapped.IsOpen());
    EXPECT_EQ(mapped.Size(), 0u);
    EXPECT_EQ(mapped.Data(), nullptr);

    ASSERT_TRUE(mapped.Open(path)) << mapped.LastError();
    File file;
    EXPECT_TRUE(file.Open(dir / "empty.bin", OpenMode::ReadWrite)) << file.LastError();
    MappedFile again;
    EXPECT_TRUE(again.Open(path)) << "two readers share the file: " << again.LastError();
    File writer;
    EXPECT_FALSE(writer.Open(path, OpenMode::CreateTruncate));
    EXPECT_NE(writer.LastError().find("in use"), std::string::npos) << writer.LastError();
    ASSERT_EQ(mapped.Size(), bytes.size());
    ASSERT_NE(mapped.Data(), nullptr);
    EXPECT_EQ(std::memcmp(mapped.Data(), bytes.data(), bytes.size()), 0);

    mapped.Close();
    again.Close();
    EXPECT_FALSE(mapped.IsOpen());
    EXPECT_EQ(mapped.Data(), nullptr);
    EXPECT_EQ(mapped.Size(), 0u);
    EXPECT_TRUE(writer.Open(path, OpenMode::ReadWrite)) << writer.LastError();

    const std::string missing = dir / "missing.bin";
    EXPECT_FALSE(mapped.Open(missing));
    EXPECT_NE(mapped.LastError().find(missing), std::string::npos) << mapped.LastError();
    EXPECT_FALSE(mapped.Open(dir.Path()));
    EXPECT_FALSE(mapped.IsOpen());
}

} // namespace
} // namespace tarvelin::platform
