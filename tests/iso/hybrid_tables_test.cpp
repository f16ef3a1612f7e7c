// Growing the partition tables of a hybrid image on crafted system areas: which partitions cover the
// volume, their CHS fields, a GPT and its backup, what is left alone. The numbers are worked out by
// hand (CHS in the 64 heads x 32 sectors geometry the usual tools use).

#include "iso/hybrid_tables.h"
#include "iso/hybrid_test_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace tarvelin {
namespace {

using test::Chs3;
using test::CraftedGpt;
using test::CraftedGptEntry;
using test::CraftedMbrEntry;
using test::GetLe;

constexpr Chs3 kChs0 = {0x00, 0x01, 0x00};    // block 0
constexpr Chs3 kChs1 = {0x00, 0x02, 0x00};    // block 1
constexpr Chs3 kChs3999 = {0x3C, 0x20, 0x01}; // the old volume's last block
constexpr Chs3 kChs5999 = {0x3B, 0x10, 0x02}; // the new volume's last block
constexpr Chs3 kBeyondChs = {0xFE, 0xFF, 0xFF};

hybrid::VolumeGrowth Growth(std::uint32_t oldVolume, std::uint64_t fileBlocks, std::uint32_t dataEnd,
                            std::vector<hybrid::MovedRange> moved = {})
{
    hybrid::VolumeGrowth growth;
    growth.oldVolumeSectors = oldVolume;
    growth.oldFileLength = fileBlocks * 512;
    growth.metadataEnd = 30;
    growth.dataEnd = dataEnd;
    growth.moved = std::move(moved);
    return growth;
}

TEST(HybridTables, Crc32IsTheOneOfEthernetAndGpt)
{
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(text), 9), 0xCBF43926u);
    // Whatever the length and wherever a running CRC is split, the sum is the one of the bit-by-bit definition.
    const std::vector<std::uint8_t> bytes = test::RandomBytes(3000, 11);
    std::uint32_t reference = 0xFFFFFFFFu;
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        if (length != 0) {
            reference ^= bytes[length - 1];
            for (int bit = 0; bit < 8; ++bit) {
                reference = (reference & 1) != 0 ? 0xEDB88320u ^ (reference >> 1) : reference >> 1;
            }
        }
        if (length % 97 == 0 || length < 20) {
            const std::size_t split = length / 3;
            EXPECT_EQ(Crc32(bytes.data() + split, length - split, Crc32(bytes.data(), split)), ~reference) << length;
        }
    }
}

TEST(HybridTables, MbrPartitionsThatCoverTheVolumeGrowAndTheOthersStay)
{
    struct Case {
        const char* what;
        hybrid::VolumeGrowth growth;
        std::vector<CraftedMbrEntry> before;
        std::vector<CraftedMbrEntry> after;
    };
    // Old volume: 1000 sectors = blocks 0..3999; the save's data ends at
    // sector 1500 = block 6000 unless a case says otherwise.
    const Case cases[] = {
        {"from block 0 to the volume end", Growth(1000, 4000, 1500),
         {{0x17, 0, 4000, kChs0, kChs3999}}, {{0x17, 0, 6000, kChs0, kChs5999}}},
        {"from block 1 behind the MBR", Growth(1000, 4000, 1500),
         {{0xCD, 1, 3999, kChs1, kChs3999}}, {{0xCD, 1, 5999, kChs1, kChs5999}}},
        {"to the end of a file padded behind the volume", Growth(1000, 5120, 1500),
         {{0x17, 0, 5120, kChs0, {0x1F, 0x20, 0x02}}}, {{0x17, 0, 6000, kChs0, kChs5999}}},
        {"with a partition appended behind the volume it keeps its end: none overlap",
         Growth(1000, 7200, 2300),
         {{0x00, 0, 4000, kChs0, kChs3999}, {0xEF, 4000, 2880, {0x3D, 0x01, 0x01}, {0x16, 0x20, 0x03}}},
         {{0x00, 0, 4000, kChs0, kChs3999}, {0xEF, 4000, 2880, {0x3D, 0x01, 0x01}, {0x16, 0x20, 0x03}}}},
        {"one block short of the volume end is not covering", Growth(1000, 4000, 1500),
         {{0x17, 0, 3999, kChs0, {0x3C, 0x1F, 0x01}}}, {{0x17, 0, 3999, kChs0, {0x3C, 0x1F, 0x01}}}},
        {"a start behind the system area is not covering", Growth(1000, 4000, 1500),
         {{0x83, 65, 3935, {0x02, 0x02, 0x00}, kChs3999}}, {{0x83, 65, 3935, {0x02, 0x02, 0x00}, kChs3999}}},
        {"an extended partition stays", Growth(1000, 4000, 1500),
         {{0x05, 0, 4000, kChs0, kChs3999}}, {{0x05, 0, 4000, kChs0, kChs3999}}},
        {"CHS fields that are no addresses are kept", Growth(1000, 4000, 1500),
         {{0x00, 0, 4000, kChs0, kBeyondChs}}, {{0x00, 0, 6000, kChs0, kBeyondChs}}},
        {"past cylinder 1023 the last CHS is the geometry's last address", Growth(1000, 4000, 600000),
         {{0x17, 0, 4000, kChs0, kChs3999}}, {{0x17, 0, 2400000, kChs0, {0x3F, 0xE0, 0xFF}}}},
        {"a partition on a file's data follows the file",
         Growth(1000, 4000, 2400, {{34, 720, 1600}}),
         {{0x17, 0, 4000, kChs0, kChs3999}, {0xEF, 136, 2880, {0x04, 0x09, 0x00}, {0x1E, 0x08, 0x01}}},
         {{0x17, 0, 9600, kChs0, {0x2B, 0x20, 0x04}}, {0xEF, 6400, 2880, {0x08, 0x01, 0x03}, {0x21, 0x20, 0x04}}}},
        {"a partition longer than the moved data stays", Growth(1000, 4000, 1500, {{34, 10, 1400}}),
         {{0xEF, 136, 2880, kBeyondChs, kBeyondChs}}, {{0xEF, 136, 2880, kBeyondChs, kBeyondChs}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint8_t> area = test::CraftSystemArea(c.before);
        const hybrid::GrownTables grown = hybrid::GrowTables(area, c.growth);
        EXPECT_EQ(grown.volumeSectors, c.growth.dataEnd);
        EXPECT_TRUE(grown.backupGpt.empty());
        EXPECT_EQ(grown.changed, c.before != c.after);
        for (std::size_t i = 0; i < c.after.size(); ++i) {
            EXPECT_EQ(test::ReadMbrEntry(grown.systemArea, i), c.after[i]) << "entry " << i;
        }
        // Nothing but the partition entries may change.
        ASSERT_EQ(grown.systemArea.size(), area.size());
        ASSERT_GE(area.size(), 512u);
        EXPECT_TRUE(std::equal(area.begin(), area.begin() + 446, grown.systemArea.begin()));
        EXPECT_TRUE(std::equal(area.begin() + 510, area.end(), grown.systemArea.begin() + 510));
    }
}

// A volume of 1000 sectors whose last 63 blocks hold the GPT backup (entries 3937..3998, header 3999),
// an ISO partition ending a block before the last usable one, an EFI image at sector 34.
CraftedGpt BaseGpt()
{
    CraftedGpt gpt;
    gpt.alternate = 3999;
    gpt.lastUsable = 3936;
    gpt.entries = {{0, 3935}, {136, 3015}};
    return gpt;
}
const CraftedMbrEntry kProtective = {0xEE, 1, 3999, kChs1, kChs3999};

TEST(HybridTables, AGptGrowsAndItsBackupEndsTheNewVolume)
{
    struct Case {
        const char* what;
        CraftedGpt gpt;
        hybrid::VolumeGrowth growth;
        std::uint32_t volume;       // the new volume, backup included
        std::uint64_t lastUsable;
        std::vector<CraftedGptEntry> entries;
        std::uint32_t protectiveBlocks;
    };
    CraftedGpt appended = BaseGpt(); // an ISO space partition from 64, an EFI partition behind the volume
    appended.alternate = 6999;
    appended.lastUsable = 6936;
    appended.entries = {{64, 3999}, {4000, 6879}};
    const Case cases[] = {
        {"data appended: the backup goes behind it", BaseGpt(), Growth(1000, 4000, 1500), 1516, 6000,
         {{0, 6000}, {136, 3015}}, 6063},
        {"nothing appended: the backup stays where it ends the file", BaseGpt(), Growth(1000, 4000, 1000), 1000,
         3936, {{0, 3936}, {136, 3015}}, 3999},
        {"an EFI entry on a moved file follows it", BaseGpt(), Growth(1000, 4000, 2400, {{34, 720, 1600}}), 2416,
         9600, {{0, 9600}, {6400, 9279}}, 9663},
        {"an entry to the volume end keeps it with one appended behind", appended, Growth(1000, 7000, 2000), 2016,
         8000, {{64, 3999}, {4000, 6879}}, 8063},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint8_t> area = test::CraftSystemArea({kProtective}, c.gpt);
        const hybrid::GrownTables grown = hybrid::GrowTables(area, c.growth);
        const std::vector<std::uint8_t>& out = grown.systemArea;
        ASSERT_EQ(grown.volumeSectors, c.volume);
        const std::uint64_t diskEnd = std::uint64_t{c.volume} * 4;
        EXPECT_EQ(GetLe(out, 512 + 32, 8), diskEnd - 1);
        EXPECT_EQ(GetLe(out, 512 + 48, 8), c.lastUsable);
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ((CraftedGptEntry{GetLe(out, 1024 + 128 * i + 32, 8), GetLe(out, 1024 + 128 * i + 40, 8)}),
                      c.entries[i]) << "entry " << i;
        }
        EXPECT_EQ(test::ReadMbrEntry(out, 0).blocks, c.protectiveBlocks);
        // Both CRCs seal what is there; GUIDs and names are the crafted ones.
        EXPECT_EQ(GetLe(out, 512 + 88, 4), Crc32(out.data() + 1024, 248 * 128));
        std::vector<std::uint8_t> header(out.begin() + 512, out.begin() + 1024);
        test::SealGptHeader(header, 0);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), out.begin() + 512));
        EXPECT_TRUE(std::equal(out.begin() + 1024 + 56, out.begin() + 1024 + 128, area.begin() + 1024 + 56));

        // The backup: the same entries, then a header that points back.
        ASSERT_EQ(grown.backupGpt.size(), 63u * 512);
        EXPECT_TRUE(std::equal(out.begin() + 1024, out.begin() + 1024 + 62 * 512, grown.backupGpt.begin()));
        std::vector<std::uint8_t> backup(grown.backupGpt.end() - 512, grown.backupGpt.end());
        EXPECT_EQ(GetLe(backup, 24, 8), diskEnd - 1);
        EXPECT_EQ(GetLe(backup, 32, 8), 1u);
        EXPECT_EQ(GetLe(backup, 72, 8), diskEnd - 63);
        EXPECT_EQ(GetLe(backup, 48, 8), c.lastUsable);
        const std::uint64_t backupCrc = GetLe(backup, 16, 4);
        test::SealGptHeader(backup, 0);
        EXPECT_EQ(GetLe(backup, 16, 4), backupCrc);
    }
}

TEST(HybridTables, TablesThatCannotBeTrustedOrRewrittenAreLeftAlone)
{
    struct Case {
        const char* what;
        CraftedGpt gpt;
        std::size_t damage; // a byte of the area flipped after crafting; 0 for none
    };
    CraftedGpt outside = BaseGpt();
    outside.entryLba = 64; // the array lies in the volume
    CraftedGpt beyond = BaseGpt();
    beyond.alternate = 9999;
    beyond.lastUsable = 9936;
    beyond.entries = {{0, 3999}, {5000, 9000}}; // ends past where the new last usable block will be
    const Case cases[] = {
        {"no MBR signature", BaseGpt(), 511},
        {"header CRC wrong", BaseGpt(), 512 + 48},
        {"entry array CRC wrong", BaseGpt(), 1024 + 40},
        {"entry array outside the system area", outside, 0},
        {"a kept partition would end past the last usable block", beyond, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> area = test::CraftSystemArea({kProtective}, c.gpt);
        if (c.damage != 0) {
            area[c.damage] ^= 0x01;
        }
        const hybrid::GrownTables grown = hybrid::GrowTables(area, Growth(1000, 4000, 1100));
        EXPECT_FALSE(grown.changed);
        EXPECT_TRUE(grown.systemArea == area);
        EXPECT_TRUE(grown.backupGpt.empty());
        EXPECT_EQ(grown.volumeSectors, 1100u);
    }
}

} // namespace
} // namespace tarvelin
