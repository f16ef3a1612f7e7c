#include "core/byte_buffer.h"
#include "platform/file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

std::string Contents(const CByteBuffer& buffer)
{
    if (buffer.GetSize() == 0) {
        return {};
    }
    return {reinterpret_cast<const char*>(buffer.GetData()), buffer.GetSize()};
}

TEST(ByteBuffer, GrowsInWholeStepsOfTheGranularity)
{
    CByteBuffer buffer(256);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetCapacity(), 0u);

    ASSERT_TRUE(buffer.AppendByte(0x11));
    EXPECT_EQ(buffer.GetSize(), 1u);
    EXPECT_EQ(buffer.GetCapacity(), 256u);
    const std::vector<std::uint8_t> more(255, 0x22);
    ASSERT_TRUE(buffer.Append(more.data(), 255));
    EXPECT_EQ(buffer.GetSize(), 256u);
    EXPECT_EQ(buffer.GetCapacity(), 256u);
    ASSERT_TRUE(buffer.AppendByte(0x33));
    EXPECT_EQ(buffer.GetSize(), 257u);
    EXPECT_EQ(buffer.GetCapacity(), 512u);

    // A whole sector at once rounds up to the next step past it.
    const auto sector = test::RandomBytes(2048, 9);
    ASSERT_TRUE(buffer.Append(sector.data(), 2048));
    EXPECT_EQ(buffer.GetSize(), 2305u);
    EXPECT_EQ(buffer.GetCapacity(), 2560u);

    const std::uint8_t* data = buffer.GetData();
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[1], 0x22);
    EXPECT_EQ(data[255], 0x22);
    EXPECT_EQ(data[256], 0x33);
    EXPECT_EQ(std::memcmp(data + 257, sector.data(), 2048), 0) << "growing keeps what was held";
}

TEST(ByteBuffer, AppendOfNothingChangesNothing)
{
    CByteBuffer buffer;
    EXPECT_TRUE(buffer.Append(nullptr, 0));
    EXPECT_TRUE(buffer.Append("x", 0));
    EXPECT_EQ(buffer.GetCapacity(), 0u);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_FALSE(buffer.Append(nullptr, 4)) << "no bytes to copy";
    EXPECT_EQ(buffer.GetSize(), 0u);
}

TEST(ByteBuffer, AppendDwordIsLeastSignificantFirst)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendDword(258));
    ASSERT_TRUE(buffer.AppendDword(0xA1B2C3D4));
    const std::vector<std::uint8_t> want = {0x02, 0x01, 0x00, 0x00, 0xD4, 0xC3, 0xB2, 0xA1};
    ASSERT_EQ(buffer.GetSize(), want.size());
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.GetData(), buffer.GetData() + buffer.GetSize()), want);
}

TEST(ByteBuffer, CStrTerminatesWithoutCountingTheTerminator)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("ab"));
    const char* text = buffer.CStr();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(buffer.GetSize(), 2u);
    // The next append overwrites the terminator.
    ASSERT_TRUE(buffer.AppendString("cd"));
    EXPECT_STREQ(buffer.CStr(), "abcd");
    EXPECT_EQ(buffer.GetSize(), 4u);
    EXPECT_FALSE(buffer.AppendString(nullptr));
    EXPECT_EQ(buffer.GetSize(), 4u);

    CByteBuffer empty;
    ASSERT_NE(empty.CStr(), nullptr);
    EXPECT_STREQ(empty.CStr(), "");
    EXPECT_EQ(empty.GetSize(), 0u);

    // Terminating a full buffer takes one more step.
    CByteBuffer full(4);
    ASSERT_TRUE(full.AppendString("wxyz"));
    EXPECT_EQ(full.GetCapacity(), 4u);
    EXPECT_STREQ(full.CStr(), "wxyz");
    EXPECT_EQ(full.GetCapacity(), 8u);
    EXPECT_EQ(full.GetSize(), 4u);
}

// Appending the buffer's own bytes while it must grow reads them from the
// old block; freeing it first would copy freed memory.
TEST(ByteBuffer, AppendingItsOwnContentsWhileGrowing)
{
    CByteBuffer buffer(8);
    ASSERT_TRUE(buffer.AppendString("12345678"));
    ASSERT_EQ(buffer.GetCapacity(), 8u);
    ASSERT_TRUE(buffer.Append(buffer.GetData(), buffer.GetSize()));
    EXPECT_EQ(Contents(buffer), "1234567812345678");
    ASSERT_TRUE(buffer.Append(buffer.GetData() + 2, 3));
    EXPECT_EQ(Contents(buffer), "1234567812345678345");
}

TEST(ByteBuffer, SizesBeyondFourGiBFailWithoutWrapping)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("keep"));
    const std::uint32_t capacity = buffer.GetCapacity();
    // size + count would wrap to 3 in 32 bits; the bytes are never read.
    EXPECT_FALSE(buffer.Append(buffer.GetData(), std::numeric_limits<std::uint32_t>::max()));
    EXPECT_EQ(Contents(buffer), "keep");
    EXPECT_EQ(buffer.GetCapacity(), capacity);
}

TEST(ByteBuffer, UnusableGranularityStillGrows)
{
    for (const std::int32_t growth : {0, -256, 1}) {
        CByteBuffer buffer(growth);
        ASSERT_TRUE(buffer.AppendString("abc")) << growth;
        EXPECT_EQ(buffer.GetCapacity(), 3u) << growth;
        EXPECT_EQ(Contents(buffer), "abc");
    }
}

TEST(ByteBuffer, AppendFormatRendersText)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("FILE "));
    ASSERT_TRUE(buffer.AppendFormat("\"%s\" BINARY\r\n  TRACK %02d MODE1/%u\r\n", "disc.bin", 1, 2352u));
    EXPECT_EQ(Contents(buffer), "FILE \"disc.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n");
    ASSERT_TRUE(buffer.AppendFormat("%s", ""));
    EXPECT_EQ(buffer.GetSize(), 47u);
}

TEST(ByteBuffer, AppendFormatOfLongText)
{
    const std::string longName(5000, 'n');
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendByte('<'));
    ASSERT_TRUE(buffer.AppendFormat("%s|%d|%s", longName.c_str(), 42, longName.c_str()));
    const std::string want = "<" + longName + "|42|" + longName;
    EXPECT_EQ(Contents(buffer), want);
    EXPECT_EQ(buffer.GetCapacity() % 256, 0u);

    // Exactly at the lengths where a fixed area would have to stop.
    for (const std::size_t length : {4095u, 4096u, 511u, 512u}) {
        CByteBuffer exact;
        ASSERT_TRUE(exact.AppendFormat("%s", std::string(length, 'x').c_str()));
        EXPECT_EQ(exact.GetSize(), length);
    }
}

TEST(ByteBuffer, AppendFormatThatCannotRenderLeavesTheBuffer)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("kept"));
    // A character outside the C locale's repertoire cannot be rendered.
    const wchar_t wide[] = {static_cast<wchar_t>(0x1F600), 0};
    EXPECT_FALSE(buffer.AppendFormat("%ls", wide));
    EXPECT_EQ(Contents(buffer), "kept");
}

TEST(ByteBuffer, LoadFileReplacesTheContents)
{
    test::TempDir dir;
    const auto bytes = test::RandomBytes(3000, 5);
    const std::string path = dir / "boot.img";
    test::WriteWholeFile(path, bytes);

    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("previous contents"));
    ASSERT_TRUE(buffer.LoadFile(path.c_str()));
    ASSERT_EQ(buffer.GetSize(), 3000u);
    EXPECT_EQ(buffer.GetCapacity(), 3000u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.GetData(), buffer.GetData() + 3000), bytes);

    // Appending after a load goes back to whole steps.
    ASSERT_TRUE(buffer.AppendByte(7));
    EXPECT_EQ(buffer.GetSize(), 3001u);
    EXPECT_EQ(buffer.GetCapacity(), 3072u);
    EXPECT_EQ(buffer.GetData()[2999], bytes[2999]);
    EXPECT_EQ(buffer.GetData()[3000], 7);
}

TEST(ByteBuffer, LoadFileOfEmptyOrMissingFilesLeavesTheBuffer)
{
    test::TempDir dir;
    const std::string empty = dir / "empty.img";
    test::WriteWholeFile(empty, std::string());

    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("xy"));
    EXPECT_TRUE(buffer.LoadFile(empty.c_str()));
    EXPECT_EQ(Contents(buffer), "xy");
    EXPECT_EQ(buffer.GetCapacity(), 256u);

    EXPECT_FALSE(buffer.LoadFile((dir / "missing.img").c_str()));
    EXPECT_EQ(Contents(buffer), "xy");
    EXPECT_FALSE(buffer.LoadFile(dir.Path().c_str())) << "a folder is no file";
    EXPECT_EQ(Contents(buffer), "xy");
    EXPECT_FALSE(buffer.LoadFile(nullptr));
    EXPECT_EQ(Contents(buffer), "xy");

    CByteBuffer fresh;
    EXPECT_TRUE(fresh.LoadFile(empty.c_str()));
    EXPECT_EQ(fresh.GetData(), nullptr);
    EXPECT_EQ(fresh.GetSize(), 0u);
}

TEST(ByteBuffer, LoadFileOfAFileInUseFailsAndLeavesTheBuffer)
{
    test::TempDir dir;
    const std::string path = dir / "held.img";
    test::WriteWholeFile(path, std::string("data"));
    platform::File holder;
    ASSERT_TRUE(holder.Open(path, platform::OpenMode::ReadWrite));
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("xy"));
    EXPECT_FALSE(buffer.LoadFile(path.c_str()));
    EXPECT_EQ(Contents(buffer), "xy");
    holder.Close();
    EXPECT_TRUE(buffer.LoadFile(path.c_str()));
    EXPECT_EQ(Contents(buffer), "data");
}

} // namespace
} // namespace tarvelin
