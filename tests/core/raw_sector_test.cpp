// The raw sector encoder (engine/core/raw_sector.h) against the independent
// slow reference in tests/support/reference_ecma130.*, on both of the
// encoder's implementations (the processor-specific one and the portable
// one), plus a check that the reference's parity check catches damage.

#include "core/raw_sector.h"

#include "support/reference_ecma130.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tarvelin::raw {
namespace {

using test::ReferenceEdc;
using test::ReferenceEncodeMode1;
using test::ReferenceEncodeMode2Form1;
using test::ReferenceParityHolds;

using Sector = std::array<std::uint8_t, kSectorSize>;

std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0) {
            text += ' ';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// First differing offset, or -1.
long FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Sector numbers worth covering: the Part's header vectors, minute and
// second boundaries, the 99/100-minute step, and the 32-bit wrap of lba + 150.
const std::vector<std::uint32_t>& InterestingLbas()
{
    static const std::vector<std::uint32_t> lbas = {
        0,      1,      74,     75,     4349,        4350,        4499,        4500,        269849,
        449849, 449850, 449851, 1149999, 0xFFFFFFFFU - 151, 0xFFFFFFFFU - 150, 0xFFFFFFFFU - 149,
        0xFFFFFFFFU - 148, 0xFFFFFFFFU - 1, 0xFFFFFFFFU};
    return lbas;
}

// Runs every test once per implementation (those this processor lacks are skipped).
class RawSectorPathTest : public ::testing::TestWithParam<EncoderPath> {
protected:
    void SetUp() override
    {
        if (!ForceEncoderPath(GetParam())) {
            GTEST_SKIP() << "this processor or build lacks the implementation";
        }
    }
    void TearDown() override { ForceEncoderPath(EncoderPath::Automatic); }
};

std::string PathName(const ::testing::TestParamInfo<EncoderPath>& info)
{
    static const char* const names[] = {"Automatic", "Portable", "X86Avx2Pclmul"}; // in the enum's order
    return names[static_cast<std::size_t>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, RawSectorPathTest,
                         ::testing::Values(EncoderPath::Automatic, EncoderPath::Portable,
                                           EncoderPath::X86Avx2Pclmul),
                         PathName);

// Known addresses (minute, second, frame in BCD, low eight bits of each
// value), in EncodeAddress and in a Mode 1 sector's header; elsewhere the
// sectors' headers are compared with the reference's.
TEST_P(RawSectorPathTest, AddressesOfKnownSectorsAndAcrossTheWrap)
{
    struct Vector {
        std::uint32_t lba;
        const char* address;
    };
    const Vector vectors[] = {
        {0, "00 02 00"}, {4349, "00 59 74"}, {4350, "01 00 00"}, {4499, "01 01 74"}, {449850, "A0 00 00"},
        {0xFFFFFFFFU - 149, "00 00 00"}, // lba + 150 = 2^32 wraps to 0
        // 0xFFFFFFFF = 57266230 s + 45 frames; 954437 min (low byte 0x45 = 69) 10 s.
        {0xFFFFFFFFU - 150, "69 10 45"},
    };
    const std::vector<std::uint8_t> data(kUserDataSize, 0);
    for (const Vector& v : vectors) {
        Sector sector{};
        EncodeMode1(data.data(), v.lba, sector.data());
        EXPECT_EQ(Hex(sector.data() + 12, 4), std::string(v.address) + " 01") << "lba " << v.lba;
        std::uint8_t address[3];
        EncodeAddress(v.lba, address);
        EXPECT_EQ(Hex(address, 3), v.address) << "lba " << v.lba;
    }
}

TEST_P(RawSectorPathTest, BothModesMatchTheReferenceForRandomAndStructuredData)
{
    std::mt19937 random(0x4D31u);
    std::vector<std::uint32_t> lbas = InterestingLbas();
    for (int i = 0; i < 200; ++i) {
        // Mostly sector numbers of real discs, some anywhere in 32 bits.
        lbas.push_back(i % 4 == 0 ? static_cast<std::uint32_t>(random()) : random() % 450000);
    }
    std::vector<std::vector<std::uint8_t>> patterns;
    for (std::size_t i = 0; i < lbas.size(); ++i) {
        patterns.push_back(test::RandomBytes(kUserDataSize, static_cast<std::uint32_t>(1000 + i)));
    }
    // All 0 (the header alone feeds EDC and parity), all 0xFF, a single set
    // bit at several places, a ramp: patterns that random data rarely produces.
    patterns.emplace_back(kUserDataSize, 0x00);
    patterns.emplace_back(kUserDataSize, 0xFF);
    patterns.emplace_back(kUserDataSize, 0x80);
    for (std::size_t position : {std::size_t{0}, std::size_t{85}, std::size_t{1000}, kUserDataSize - 1}) {
        patterns.emplace_back(kUserDataSize, 0)[position] = 0x01;
    }
    patterns.emplace_back(kUserDataSize);
    for (std::size_t i = 0; i < kUserDataSize; ++i) {
        patterns.back()[i] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        const std::uint32_t lba = p < lbas.size() ? lbas[p] : 16 + static_cast<std::uint32_t>(p);
        const auto subheader = test::RandomBytes(8, static_cast<std::uint32_t>(3000 + p));
        Sector fast;
        fast.fill(0xEE);
        Sector expected{};
        EncodeMode1(patterns[p].data(), lba, fast.data());
        ReferenceEncodeMode1(patterns[p].data(), lba, expected.data());
        ASSERT_EQ(FirstDifference(fast.data(), expected.data(), kSectorSize), -1) << "Mode 1 " << p << " lba " << lba;
        fast.fill(0xEE);
        EncodeMode2Form1(patterns[p].data(), lba, subheader.data(), fast.data());
        ReferenceEncodeMode2Form1(patterns[p].data(), lba, subheader.data(), expected.data());
        ASSERT_EQ(FirstDifference(fast.data(), expected.data(), kSectorSize), -1) << "Mode 2 " << p << " lba " << lba;
        EXPECT_EQ(fast[15], 2);
    }
}

TEST_P(RawSectorPathTest, Mode2Form1NullSubheaderMeansTheDataSubheader)
{
    const auto data = test::RandomBytes(kUserDataSize, 77);
    Sector fast;
    Sector expected{};
    EncodeMode2Form1(data.data(), 12345, nullptr, fast.data());
    ReferenceEncodeMode2Form1(data.data(), 12345, kForm1DataSubheader, expected.data());
    EXPECT_EQ(FirstDifference(fast.data(), expected.data(), kSectorSize), -1);
    EXPECT_EQ(Hex(fast.data() + 16, 8), "00 00 08 00 00 00 08 00");
    // The parity ignores the header, so only bytes 12..14 depend on the lba.
    Sector other;
    EncodeMode2Form1(data.data(), 999, nullptr, other.data());
    for (std::size_t i = 0; i < kSectorSize; ++i) {
        if (i < 12 || i > 14) {
            ASSERT_EQ(fast[i], other[i]) << i;
        }
    }
    EXPECT_TRUE(ReferenceParityHolds(fast.data(), true));
    EXPECT_FALSE(ReferenceParityHolds(fast.data(), false));
}

// Batches across the wrap of the address, from data and into sectors at
// odd addresses (as inside a caller's byte buffer), writing nothing outside
// their sectors.
TEST_P(RawSectorPathTest, BatchesMatchTheReferenceAcrossTheWrapAndNeedNoAlignment)
{
    constexpr std::size_t kCount = 7;
    const auto data = test::RandomBytes(kCount * kUserDataSize + 7, 5);
    const auto subheader = test::RandomBytes(9, 6);
    struct Case {
        std::uint32_t first;
        std::size_t shift;
    };
    for (const Case c : {Case{0, 0}, Case{4347, 1}, Case{4000, 3}, Case{0xFFFFFFFFU - 152, 7}, Case{0xFFFFFFFFU - 2, 0}}) {
        std::vector<std::uint8_t> batch(kCount * kSectorSize + 7, 0xEE);
        EncodeMode1Sectors(data.data() + c.shift, kCount, c.first, batch.data() + c.shift);
        std::vector<std::uint8_t> batch2(kCount * kSectorSize + 7, 0xEE);
        EncodeMode2Form1Sectors(data.data() + c.shift, kCount, c.first, subheader.data() + 1, batch2.data() + c.shift);
        for (std::size_t i = 0; i < kCount; ++i) {
            const std::uint32_t lba = c.first + static_cast<std::uint32_t>(i);
            const std::uint8_t* from = data.data() + c.shift + i * kUserDataSize;
            Sector expected{};
            ReferenceEncodeMode1(from, lba, expected.data());
            ASSERT_EQ(FirstDifference(batch.data() + c.shift + i * kSectorSize, expected.data(), kSectorSize), -1)
                << "first " << c.first << " sector " << i;
            ReferenceEncodeMode2Form1(from, lba, subheader.data() + 1, expected.data());
            ASSERT_EQ(FirstDifference(batch2.data() + c.shift + i * kSectorSize, expected.data(), kSectorSize), -1)
                << "first " << c.first << " sector " << i;
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (i < c.shift || i >= c.shift + kCount * kSectorSize) {
                EXPECT_EQ(batch[i], 0xEE) << i;
                EXPECT_EQ(batch2[i], 0xEE) << i;
            }
        }
        EXPECT_EQ(ComputeEdc(data.data() + c.shift, 2064), ReferenceEdc(data.data() + c.shift, 2064));
    }
    // A count of zero writes nothing.
    std::uint8_t untouched = 0xEE;
    EncodeMode1Sectors(data.data(), 0, 0, &untouched);
    EncodeMode2Form1Sectors(data.data(), 0, 0, nullptr, &untouched);
    EXPECT_EQ(untouched, 0xEE);
}

TEST_P(RawSectorPathTest, EdcMatchesReferenceForEveryLengthAndSplit)
{
    // The catalogue check value of CRC-32/CD-ROM-EDC for "123456789".
    EXPECT_EQ(ComputeEdc(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x6EC2EDC4U);
    EXPECT_EQ(ComputeEdc(nullptr, 0), 0U);
    const auto data = test::RandomBytes(3000, 9);
    for (std::size_t size = 0; size <= 600; ++size) {
        ASSERT_EQ(ComputeEdc(data.data(), size), ReferenceEdc(data.data(), size)) << size;
    }
    for (std::size_t size : {std::size_t{511}, std::size_t{1024}, std::size_t{2056}, std::size_t{2064},
                             std::size_t{2999}, std::size_t{3000}}) {
        const std::uint32_t whole = ReferenceEdc(data.data(), size);
        ASSERT_EQ(ComputeEdc(data.data(), size), whole) << size;
        // Continuing a run gives the CRC of the whole message.
        for (std::size_t split : {std::size_t{1}, std::size_t{3}, std::size_t{63}, std::size_t{64},
                                  std::size_t{100}, std::size_t{128}, size / 2, size - 5}) {
            const std::uint32_t first = ComputeEdc(data.data(), split);
            ASSERT_EQ(ComputeEdc(data.data() + split, size - split, first), whole) << size << " at " << split;
        }
    }
}

TEST_P(RawSectorPathTest, ComputeParityRewritesBytes2076OnFromTheRest)
{
    const auto data = test::RandomBytes(kUserDataSize, 10);
    Sector expected{};
    ReferenceEncodeMode1(data.data(), 777, expected.data());
    Sector sector = expected;
    std::memset(sector.data() + 2076, 0x5A, kSectorSize - 2076);
    ComputeParity(sector.data());
    EXPECT_EQ(FirstDifference(sector.data(), expected.data(), kSectorSize), -1);
    // Arbitrary bytes 12..2075 (not a well-formed sector) still give codewords.
    const auto noise = test::RandomBytes(kSectorSize, 11);
    std::memcpy(sector.data(), noise.data(), kSectorSize);
    ComputeParity(sector.data());
    EXPECT_EQ(FirstDifference(sector.data(), noise.data(), 2076), -1);
    EXPECT_TRUE(ReferenceParityHolds(sector.data(), false));
}

TEST(RawSectorPaths, ForcingAPathIsVisibleAndReversible)
{
    EXPECT_TRUE(ForceEncoderPath(EncoderPath::Portable));
    EXPECT_STREQ(ActiveEncoderPath(), "portable");
    EXPECT_TRUE(ForceEncoderPath(EncoderPath::Automatic));
    const std::string automatic = ActiveEncoderPath();
    EXPECT_TRUE(automatic == "portable" || automatic == "avx2-pclmul" || automatic == "avx2-vpclmul") << automatic;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul")) {
        EXPECT_EQ(automatic, __builtin_cpu_supports("vpclmulqdq") ? "avx2-vpclmul" : "avx2-pclmul");
        EXPECT_TRUE(ForceEncoderPath(EncoderPath::X86Avx2Pclmul));
        EXPECT_STREQ(ActiveEncoderPath(), "avx2-pclmul");
    } else {
        EXPECT_FALSE(ForceEncoderPath(EncoderPath::X86Avx2Pclmul));
    }
#else
    EXPECT_FALSE(ForceEncoderPath(EncoderPath::X86Avx2Pclmul));
#endif
    EXPECT_TRUE(ForceEncoderPath(EncoderPath::Automatic));
    EXPECT_EQ(ActiveEncoderPath(), automatic);
}

// The checks a read sector gets, on sectors the reference encodes: a sound
// one of each form passes, and each kind of damage is told, one byte enough.
TEST_P(RawSectorPathTest, CheckSectorTellsSoundSectorsFromDamagedOnes)
{
    const auto data = test::RandomBytes(kForm2DataSize, 50);
    Sector mode1{};
    ReferenceEncodeMode1(data.data(), 1234, mode1.data());
    Sector form1{};
    ReferenceEncodeMode2Form1(data.data(), 1234, kForm1DataSubheader, form1.data());
    // Form 2: subheader with its submode bit, 2324 bytes, EDC over 16..2347.
    Sector form2 = form1;
    form2[18] = form2[22] = kSubmodeForm2;
    std::memcpy(form2.data() + kMode2Form1DataOffset, data.data(), kForm2DataSize);
    const std::uint32_t edc = ReferenceEdc(form2.data() + 16, 2332);
    for (int i = 0; i < 4; ++i) {
        form2[2348 + i] = static_cast<std::uint8_t>(edc >> (8 * i));
    }
    Sector blank{}; // Mode 0
    std::memcpy(blank.data(), kSyncPattern, sizeof kSyncPattern);
    EncodeAddress(1234, blank.data() + 12);
    const auto changed = [](Sector sector, std::size_t offset, std::uint8_t value) {
        sector[offset] = value;
        return sector;
    };
    const struct {
        const char* name;
        Sector sector;
        std::uint8_t trackMode;
        SectorCheck expected;
    } cases[] = {
        {"Mode 1", mode1, 1, SectorCheck::Sound},
        {"Mode 2 Form 1", form1, 2, SectorCheck::Sound},
        {"Mode 2 Form 2", form2, 2, SectorCheck::Sound},
        {"Mode 2 Form 2 without EDC", changed(changed(changed(changed(form2, 2348, 0), 2349, 0), 2350, 0), 2351, 0),
         2, SectorCheck::Sound},
        {"Mode 0, blank", blank, 1, SectorCheck::Sound},
        {"all zeros", Sector{}, 1, SectorCheck::NoSync},
        {"one sync byte", changed(mode1, 5, 0xFE), 1, SectorCheck::NoSync},
        {"Mode 1 in a Mode 2 track", mode1, 2, SectorCheck::WrongMode},
        {"Mode 2 in a Mode 1 track", form1, 1, SectorCheck::WrongMode},
        {"mode 3", changed(mode1, 15, 3), 1, SectorCheck::WrongMode},
        {"Mode 0 with data", changed(blank, 2000, 1), 1, SectorCheck::WrongMode},
        {"Mode 1, user data", changed(mode1, 1000, mode1[1000] ^ 0x10), 1, SectorCheck::WrongEdc},
        {"Mode 1, address", changed(mode1, 14, mode1[14] ^ 0x01), 1, SectorCheck::WrongEdc},
        {"Mode 1, EDC", changed(mode1, 2066, mode1[2066] ^ 0x80), 1, SectorCheck::WrongEdc},
        {"Form 1, subheader", changed(form1, 19, 0x01), 2, SectorCheck::WrongEdc},
        {"Form 1, user data", changed(form1, 2071, form1[2071] ^ 0x01), 2, SectorCheck::WrongEdc},
        {"Form 2, data", changed(form2, 2347, form2[2347] ^ 0x01), 2, SectorCheck::WrongEdc},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckSector(c.sector.data(), c.trackMode), c.expected) << c.name;
    }
}

// --- The reference itself -------------------------------------------------
// Its CRC and field need no tests of their own: the encoder, written apart
// from it, agrees with it everywhere and meets the catalogue check value.
// Its parity check must fail on a damaged sector, or the checks that lean
// on it could not fail.

TEST(ReferenceEcma130, SectorsAreCodewordsAndCorruptionIsDetected)
{
    for (std::uint32_t seed = 0; seed < 4; ++seed) {
        const auto data = test::RandomBytes(kUserDataSize, 40 + seed);
        Sector mode1{};
        ReferenceEncodeMode1(data.data(), seed * 1000, mode1.data());
        EXPECT_TRUE(ReferenceParityHolds(mode1.data(), false));
        EXPECT_EQ(ReferenceEdc(mode1.data(), 2068), 0U); // data + EDC leaves no remainder
        // Sync 00 FF x 10 00, mode 1, eight reserved zero bytes behind the EDC.
        EXPECT_EQ(Hex(mode1.data(), 12), "00 FF FF FF FF FF FF FF FF FF FF 00");
        EXPECT_EQ(mode1[15], 1);
        EXPECT_EQ(Hex(mode1.data() + 2068, 8), "00 00 00 00 00 00 00 00");
        Sector mode2{};
        ReferenceEncodeMode2Form1(data.data(), seed * 1000, kForm1DataSubheader, mode2.data());
        EXPECT_TRUE(ReferenceParityHolds(mode2.data(), true));
        EXPECT_EQ(ReferenceEdc(mode2.data() + 16, 2060), 0U);
        // One changed byte anywhere under P, or in P or Q, breaks a codeword.
        for (std::size_t offset : {std::size_t{12}, std::size_t{16}, std::size_t{2075}, std::size_t{2076},
                                   std::size_t{2247}, std::size_t{2248}, std::size_t{2351}}) {
            Sector damaged = mode1;
            damaged[offset] ^= 0x40;
            EXPECT_FALSE(ReferenceParityHolds(damaged.data(), false)) << offset;
        }
    }
}

} // namespace
} // namespace tarvelin::raw
