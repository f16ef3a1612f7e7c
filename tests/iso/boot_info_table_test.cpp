// The boot-info-table and GRUB2's boot info on crafted buffers: what makes a table valid or plausible,
// the patches, and the tables xorriso writes (of a loader no whole number of words long) checked too.

#include "iso/boot_info_table.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace tarvelin {
namespace {

using iso::BootInfoTableOffset;

TEST(BootInfoTable, APatchedTableIsValidOnlyForItsSectorLengthAndBytes)
{
    std::vector<std::uint8_t> file = test::RandomBytes(38913, 5);
    const std::vector<std::uint8_t> original = file;
    ASSERT_TRUE(iso::PatchBootInfoTable(file, 1234));
    EXPECT_EQ(iso::ReadLe32(file, 8), 16u);
    EXPECT_EQ(iso::ReadLe32(file, 12), 1234u);
    EXPECT_EQ(iso::ReadLe32(file, 16), 38913u);
    EXPECT_EQ(iso::ReadLe32(file, 20), iso::BootInfoChecksum(original));
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 24, file.begin() + 64), std::vector<std::uint8_t>(40, 0));
    EXPECT_TRUE(std::equal(file.begin() + 64, file.end(), original.begin() + 64));
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 8, original.begin()));

    EXPECT_TRUE(iso::HasBootInfoTable(file, 1234));
    EXPECT_FALSE(iso::HasBootInfoTable(file, 1235));
    // The checksum, the descriptor's sector, the length no longer match.
    const std::function<void(std::vector<std::uint8_t>&)> changes[] = {
        [](auto& bytes) { bytes[30000] ^= 1; }, [](auto& bytes) { iso::PutLe32(bytes, 8, 17); },
        [](auto& bytes) { bytes.pop_back(); }};
    for (const auto& change : changes) {
        auto changed = file;
        change(changed);
        EXPECT_FALSE(iso::HasBootInfoTable(changed, 1234));
    }

    std::vector<std::uint8_t> tiny(63, 0xEE);
    EXPECT_FALSE(iso::PatchBootInfoTable(tiny, 20));
    EXPECT_EQ(tiny, std::vector<std::uint8_t>(63, 0xEE));
    EXPECT_FALSE(iso::HasBootInfoTable(tiny, 0));
}

TEST(BootInfoTable, APlausibleTableNamesTheDescriptorAndTheFileLength)
{
    std::vector<std::uint8_t> head(2048, 0);
    const struct {
        std::uint32_t descriptor;
        std::uint32_t length;
        std::uint64_t fileLength;
        bool plausible;
    } cases[] = {
        {16, 38912, 38912, true}, // as isolinux.bin ships: sector 0, the checksum filled in
        {16, 38912, 38913, false},
        {48, 38912, 38912, true}, // taken from an image xorriso wrote as a session at sector 32
        {0, 38912, 38912, false},
        {0, 0, 38912, false},                  // a loader without a table
        {16, 0, std::uint64_t{1} << 32, false}, // a length the field cannot hold
    };
    for (const auto& c : cases) {
        iso::PutLe32(head, 8, c.descriptor);
        iso::PutLe32(head, 16, c.length);
        EXPECT_EQ(iso::HasPlausibleBootInfoTable(head, c.fileLength), c.plausible)
            << c.descriptor << " " << c.length << " " << c.fileLength;
    }
    EXPECT_FALSE(iso::HasPlausibleBootInfoTable(std::span(head).first(63), 38912));
}

TEST(BootInfoTable, Grub2BootInfoIsFourTimesTheSectorPlusFiveAtByte2548)
{
    const std::pair<std::uint32_t, std::uint64_t> values[] = {{0, 5}, {34, 141}, {0xFFFFFFFF, 0x400000001}};
    for (const auto& [sector, value] : values) {
        EXPECT_EQ(iso::Grub2BootInfoValue(sector), value);
        std::vector<std::uint8_t> file = test::RandomBytes(2556, sector);
        const std::vector<std::uint8_t> original = file;
        ASSERT_TRUE(iso::PatchGrub2BootInfo(file, sector));
        EXPECT_EQ(iso::ReadLe32(file, 2548), static_cast<std::uint32_t>(value));
        EXPECT_EQ(iso::ReadLe32(file, 2552), static_cast<std::uint32_t>(value >> 32));
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + 2548, original.begin()));
        EXPECT_TRUE(iso::HasGrub2BootInfo(file, sector));
        EXPECT_FALSE(iso::HasGrub2BootInfo(file, sector + 1));
    }
    std::vector<std::uint8_t> shortFile(2555, 0);
    EXPECT_FALSE(iso::PatchGrub2BootInfo(shortFile, 7));
    EXPECT_EQ(shortFile, std::vector<std::uint8_t>(2555, 0));

    // Both in one file: the table's checksum covers the boot info.
    std::vector<std::uint8_t> file = test::RandomBytes(5000, 8);
    ASSERT_TRUE(iso::PatchGrub2BootInfo(file, 99));
    ASSERT_TRUE(iso::PatchBootInfoTable(file, 99));
    EXPECT_TRUE(iso::HasBootInfoTable(file, 99));
    EXPECT_TRUE(iso::HasGrub2BootInfo(file, 99));
}

// The same functions agree with the fields xorriso fills in.
TEST(BootInfoTable, TablesAndBootInfoXorrisoWritesCheckOut)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    test::TempDir dir;
    std::filesystem::create_directories(dir / "src/boot");
    const std::vector<std::uint8_t> loader = test::RandomBytes(30001, 11);
    test::WriteWholeFile(dir / "src/boot/loader.bin", loader);
    test::WriteWholeFile(dir / "src/other.txt", std::string("other\n"));
    const std::string image = dir / "x.iso";
    test::RunXorrisoMkisofs(dir / "src", image,
                            "-b boot/loader.bin -no-emul-boot -boot-load-size 4 -boot-info-table --grub2-boot-info");
    const std::uint32_t sector = test::XorrisoBootImageSector(image);
    const auto placed = test::ReadFileRange(image, std::uint64_t{sector} * 2048, loader.size());
    EXPECT_TRUE(iso::HasBootInfoTable(placed, sector));
    EXPECT_TRUE(iso::HasGrub2BootInfo(placed, sector));
    EXPECT_FALSE(iso::HasBootInfoTable(placed, sector + 1));
    auto ours = loader;
    iso::PatchGrub2BootInfo(ours, sector);
    iso::PatchBootInfoTable(ours, sector);
    EXPECT_TRUE(ours == placed);
}

} // namespace
} // namespace tarvelin
