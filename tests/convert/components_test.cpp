// The mapped source reader's positions and short reads, and the 64-bit
// sector arithmetic.

#include "core/iso_sector.h"
#include "convert/mapped_file.h"

#include "convert/convert_fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::Bytes;
using test::RandomBytes;
using test::TempDir;
using test::WriteWholeFile;

TEST(ConvertMappedFileTest, PositionsAndShortReads)
{
    TempDir dir;
    const Bytes bytes = RandomBytes(5000, 1);
    WriteWholeFile(dir / "file", bytes);
    for (IMappedFile* (*factory)() : {NEW_READFILEMAP_BIN2ISO, NEW_READFILEMAP_ISO2BIN}) {
        IMappedFile* file = factory();
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(file->Open((dir / "file").c_str())) << file->GetLastError();
        EXPECT_EQ(file->GetSize(), 5000u);
        ASSERT_NE(file->GetView(), nullptr);
        EXPECT_EQ(file->GetView()[4999], bytes[4999]);

        Bytes buffer(100, 0xEE);
        EXPECT_TRUE(file->Seek(4950));
        EXPECT_EQ(file->Read(buffer.data(), 100), 50u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50, bytes.begin() + 4950));
        EXPECT_EQ(buffer[50], 0xEE) << "bytes past the end are left alone";
        // The position follows the bytes read: at the end, nothing more.
        EXPECT_EQ(file->Read(buffer.data(), 100), 0u);

        EXPECT_TRUE(file->Seek(5000));
        EXPECT_FALSE(file->Seek(5001));
        EXPECT_EQ(file->ReadAt(5000, buffer.data(), 10), 0u);
        EXPECT_EQ(file->ReadAt(6000, buffer.data(), 10), 0u);
        EXPECT_EQ(file->ReadAt(10, buffer.data(), 20), 20u);
        EXPECT_EQ(file->Read(buffer.data() + 20, 20), 20u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 40, bytes.begin() + 10));
        file->Destroy();
    }
}

TEST(ConvertLayoutTest, SectorCountsAndPositionsBeyondFourGibibytes)
{
    // 3,000,000 raw sectors: 7 GB, past what 32-bit sizes and positions hold.
    const ImageLayout raw{0, 0, 2352, 16, 288};
    constexpr std::uint64_t kRawLength = std::uint64_t{3'000'000} * 2352;
    EXPECT_EQ(SectorCountOf(raw, kRawLength), 3'000'000u);
    EXPECT_EQ(SectorCountOf(raw, kRawLength + 16), 3'000'000u) << "a sector whose data starts at the end";
    EXPECT_EQ(SectorCountOf(raw, kRawLength + 17), 3'000'001u) << "a partial last sector";
    EXPECT_EQ(UserDataStart(raw, 2'999'999), std::int64_t{2'999'999} * 2352 + 16);
    // A scanned layout whose header is shorter than 16 sectors.
    const ImageLayout scanned{12188, 16, 2048, 0, 0};
    EXPECT_EQ(UserDataStart(scanned, 0), 12188 - 16 * 2048);
    EXPECT_EQ(SectorCountOf(scanned, 12188 + 24 * 2048), 40u);
    EXPECT_EQ(SectorCountOf(ImageLayout{}, 1000), 0u);
}

} // namespace
} // namespace tarvelin
