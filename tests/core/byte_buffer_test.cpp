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
    EXPECT_EQ(buffer.GetCapacity(), 0u);
    EXPECT_TRUE(buffer.Append(nullptr, 0));
    EXPECT_EQ(buffer.GetCapacity(), 0u) << "appending nothing allocates nothing";
    EXPECT_FALSE(buffer.Append(nullptr, 4)) << "no bytes to copy";

    ASSERT_TRUE(buffer.AppendByte(0x11));
    EXPECT_EQ(buffer.GetCapacity(), 256u);
    const std::vector<std::uint8_t> more(255, 0x22);
    ASSERT_TRUE(buffer.Append(more.data(), 255));
    EXPECT_EQ(buffer.GetCapacity(), 256u);
    ASSERT_TRUE(buffer.AppendDword(0xA1B2C3D4)); // least significant byte first
    EXPECT_EQ(buffer.GetSize(), 260u);
    EXPECT_EQ(buffer.GetCapacity(), 512u);
    // A whole sector at once rounds up to the next step past it.
    const auto sector = test::RandomBytes(2048, 9);
    ASSERT_TRUE(buffer.Append(sector.data(), 2048));
    EXPECT_EQ(buffer.GetSize(), 2308u);
    EXPECT_EQ(buffer.GetCapacity(), 2560u);

    const std::uint8_t* data = buffer.GetData();
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[255], 0x22);
    EXPECT_EQ(std::vector<std::uint8_t>(data + 256, data + 260), (std::vector<std::uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(std::memcmp(data + 260, sector.data(), 2048), 0) << "growing keeps what was held";

    for (const std::int32_t growth : {0, -256, 1}) { // unusable steps still grow
        CByteBuffer odd(growth);
        ASSERT_TRUE(odd.AppendString("abc")) << growth;
        EXPECT_EQ(odd.GetCapacity(), 3u) << growth;
    }
}

TEST(ByteBuffer, CStrTerminatesWithoutCountingTheTerminator)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("ab"));
    EXPECT_STREQ(buffer.CStr(), "ab");
    // The next append overwrites the terminator.
    ASSERT_TRUE(buffer.AppendString("cd"));
    EXPECT_STREQ(buffer.CStr(), "abcd");
    EXPECT_EQ(buffer.GetSize(), 4u);
    EXPECT_FALSE(buffer.AppendString(nullptr));
    EXPECT_STREQ(CByteBuffer().CStr(), "");

    // Terminating a full buffer takes one more step.
    CByteBuffer full(4);
    ASSERT_TRUE(full.AppendString("wxyz"));
    EXPECT_EQ(full.GetCapacity(), 4u);
    EXPECT_STREQ(full.CStr(), "wxyz");
    EXPECT_EQ(full.GetCapacity(), 8u);
    EXPECT_EQ(full.GetSize(), 4u);
}

// Appending the buffer's own bytes while it must grow reads them from the
// old block; freeing it first would copy freed memory. A size that would
// wrap 32 bits fails and leaves the buffer alone.
TEST(ByteBuffer, AppendingItsOwnContentsAndSizesBeyondFourGiB)
{
    CByteBuffer buffer(8);
    ASSERT_TRUE(buffer.AppendString("12345678"));
    ASSERT_TRUE(buffer.Append(buffer.GetData(), buffer.GetSize()));
    ASSERT_TRUE(buffer.Append(buffer.GetData() + 2, 3));
    EXPECT_EQ(Contents(buffer), "1234567812345678345");
    const std::uint32_t capacity = buffer.GetCapacity();
    EXPECT_FALSE(buffer.Append(buffer.GetData(), std::numeric_limits<std::uint32_t>::max()));
    EXPECT_EQ(Contents(buffer), "1234567812345678345");
    EXPECT_EQ(buffer.GetCapacity(), capacity);
}

TEST(ByteBuffer, AppendFormat)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("FILE "));
    ASSERT_TRUE(buffer.AppendFormat("\"%s\" BINARY\r\n  TRACK %02d MODE1/%u\r\n", "disc.bin", 1, 2352u));
    ASSERT_TRUE(buffer.AppendFormat("%s", ""));
    EXPECT_EQ(Contents(buffer), "FILE \"disc.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n");
    // A character outside the C locale's repertoire cannot be rendered, and
    // leaves the buffer as it was (where a wchar_t holds it: not Windows).
    if constexpr (sizeof(wchar_t) >= 4) {
        const wchar_t wide[] = {static_cast<wchar_t>(0x1F600), 0};
        EXPECT_FALSE(buffer.AppendFormat("%ls", wide));
    }
    EXPECT_EQ(buffer.GetSize(), 47u);

    const std::string longName(5000, 'n');
    CByteBuffer longer;
    ASSERT_TRUE(longer.AppendByte('<'));
    ASSERT_TRUE(longer.AppendFormat("%s|%d|%s", longName.c_str(), 42, longName.c_str()));
    EXPECT_EQ(Contents(longer), "<" + longName + "|42|" + longName);
    EXPECT_EQ(longer.GetCapacity() % 256, 0u);
    // Exactly at the lengths where a fixed area would have to stop.
    for (const std::size_t length : {4095u, 4096u, 511u, 512u}) {
        CByteBuffer exact;
        ASSERT_TRUE(exact.AppendFormat("%s", std::string(length, 'x').c_str()));
        EXPECT_EQ(exact.GetSize(), length);
    }
}

// A load replaces the contents, and appending after it goes back to whole
// steps; a file that cannot be read leaves the buffer as it was.
TEST(ByteBuffer, LoadFileReplacesTheContentsOrLeavesThemAlone)
{
    test::TempDir dir;
    const auto bytes = test::RandomBytes(3000, 5);
    const std::string path = dir / "boot.img";
    test::WriteWholeFile(path, bytes);
    const std::string empty = dir / "empty.img";
    test::WriteWholeFile(empty, std::string());
    const std::string held = dir / "held.img";
    test::WriteWholeFile(held, std::string("data"));

    CByteBuffer buffer;
    ASSERT_TRUE(buffer.AppendString("previous contents"));
    ASSERT_TRUE(buffer.LoadFile(path.c_str()));
    EXPECT_EQ(buffer.GetCapacity(), 3000u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.GetData(), buffer.GetData() + buffer.GetSize()), bytes);
    ASSERT_TRUE(buffer.AppendByte(7));
    EXPECT_EQ(buffer.GetCapacity(), 3072u);
    EXPECT_EQ(buffer.GetData()[2999], bytes[2999]);
    EXPECT_EQ(buffer.GetData()[3000], 7);

    CByteBuffer small;
    ASSERT_TRUE(small.AppendString("xy"));
    EXPECT_TRUE(small.LoadFile(empty.c_str()));
    EXPECT_EQ(small.GetCapacity(), 256u);
    EXPECT_FALSE(small.LoadFile((dir / "missing.img").c_str()));
    EXPECT_FALSE(small.LoadFile(dir.Path().c_str())) << "a folder is no file";
    EXPECT_FALSE(small.LoadFile(nullptr));
    {
        platform::File holder;
        ASSERT_TRUE(holder.Open(held, platform::OpenMode::ReadWrite));
        EXPECT_FALSE(small.LoadFile(held.c_str())) << "a file in use";
    }
    EXPECT_EQ(Contents(small), "xy");
    EXPECT_TRUE(small.LoadFile(held.c_str()));
    EXPECT_EQ(Contents(small), "data");

    CByteBuffer fresh;
    EXPECT_TRUE(fresh.LoadFile(empty.c_str()));
    EXPECT_EQ(fresh.GetData(), nullptr);
    EXPECT_EQ(fresh.GetSize(), 0u);
}

} // namespace
} // namespace tarvelin
