#pragma once

// Pieces shared by the raw sector encoder's implementations (portable C++ in
// raw_sector_portable.cpp, AVX2 + PCLMULQDQ in raw_sector_x86.cpp): the
// geometry of the P and Q codes, GF(2^8) arithmetic evaluated at compile
// time, and the kernel table that the dispatcher in raw_sector.cpp picks.
//
// The product code (ECMA-130 Annex A) over the 2064 + 172 bytes from sector
// offset 12, seen as a byte array `region`:
//   P: 86 columns m of 24 bytes region[m + 86 r]; each column is the data
//      part of a (26,24) Reed-Solomon codeword whose check bytes go to
//      region[2064 + m] and region[2064 + 86 + m].
//   Q: 52 diagonals d of 43 bytes region[((d/2) 86 + d%2 + 88 k) mod 2236];
//      check bytes to region[2236 + d] and region[2236 + 52 + d].
// Both codes have the roots alpha^0 and alpha^1. For data symbols
// s_0..s_{n-1} with H = sum s_i alpha^(n-1-i) (Horner's rule with a multiply
// by alpha per step) and B = sum s_i, the check bytes c0, c1 that make
// c(1) = c(alpha) = 0 are
//   c0 = (alpha^2 H + B) / (alpha + 1),   c1 = c0 + B,
// so each column or diagonal needs only the running H and B plus one fixed
// combination at the end: c0 = kCheckFromH * H + kCheckFromB * B.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvelin::raw::detail {

inline constexpr std::size_t kRegionOffset = 12;
inline constexpr std::size_t kPColumns = 86;
inline constexpr std::size_t kPRows = 24;
inline constexpr std::size_t kPSize = kPColumns * kPRows; // 2064
inline constexpr std::size_t kQDiagonals = 52;
inline constexpr std::size_t kQLength = 43;
inline constexpr std::size_t kQSize = kQDiagonals * kQLength; // 2236
// Q seen as 26 rows of 43 two-byte words: diagonal pair j (diagonals 2j, 2j+1)
// takes at step k the word in row (j + k) mod 26, column k.
inline constexpr std::size_t kQRows = 26;

// GF(2^8) with x^8 + x^4 + x^3 + x^2 + 1; alpha = x = 2.
inline constexpr unsigned kFieldPolynomial = 0x11D;

constexpr std::uint8_t GfMultiply(std::uint8_t a, std::uint8_t b)
{
    unsigned product = 0;
    unsigned shifted = a;
    for (int bit = 0; bit < 8; ++bit) {
        if ((b >> bit) & 1U) {
            product ^= shifted;
        }
        shifted <<= 1;
        if (shifted & 0x100U) {
            shifted ^= kFieldPolynomial;
        }
    }
    return static_cast<std::uint8_t>(product);
}

constexpr std::uint8_t GfInverse(std::uint8_t a)
{
    std::uint8_t result = 1; // a^254
    for (int i = 0; i < 254; ++i) {
        result = GfMultiply(result, a);
    }
    return result;
}

inline constexpr std::uint8_t kCheckFromB = GfInverse(0x02 ^ 0x01);                // 1/(alpha+1)
inline constexpr std::uint8_t kCheckFromH = GfMultiply(4, GfInverse(0x02 ^ 0x01)); // alpha^2/(alpha+1)
static_assert(GfMultiply(kCheckFromB, 3) == 1);

// v * factor for every byte value v.
constexpr std::array<std::uint8_t, 256> MultiplyTable(std::uint8_t factor)
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        table[v] = GfMultiply(static_cast<std::uint8_t>(v), factor);
    }
    return table;
}
inline constexpr std::array<std::uint8_t, 256> kCheckFromHTable = MultiplyTable(kCheckFromH);
inline constexpr std::array<std::uint8_t, 256> kCheckFromBTable = MultiplyTable(kCheckFromB);

// The EDC polynomial (x^16+x^15+x^2+1)(x^16+x^2+x+1) with bit 31 - d holding
// the coefficient of x^d (x^32 implied); also the CRC of the byte 0x80.
inline constexpr std::uint32_t kEdcPolynomialReflected = 0xD8018001U;

// Slicing-by-8 tables: kEdcTables[0][b] is the CRC of the byte b; entry
// [t][b] is the CRC of b followed by t zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeEdcTables()
{
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) ? (crc >> 1) ^ kEdcPolynomialReflected : crc >> 1;
        }
        tables[0][b] = crc;
    }
    for (std::size_t t = 1; t < 8; ++t) {
        for (std::uint32_t b = 0; b < 256; ++b) {
            const std::uint32_t previous = tables[t - 1][b];
            tables[t][b] = (previous >> 8) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}
inline constexpr std::array<std::array<std::uint32_t, 256>, 8> kEdcTables = MakeEdcTables();
static_assert(kEdcTables[0][0x80] == 0xD8018001U);

// Continues crc over eight message bytes given as a little-endian word
// (byte 0 of the message in bits 0..7): one slicing-by-8 step.
inline std::uint32_t EdcEightBytes(std::uint32_t crc, std::uint64_t bytes)
{
    const auto& t = kEdcTables;
    const std::uint64_t x = bytes ^ crc;
    // Combined as a tree: the next step waits on this result.
    return ((t[7][x & 0xFFU] ^ t[6][(x >> 8) & 0xFFU]) ^ (t[5][(x >> 16) & 0xFFU] ^ t[4][(x >> 24) & 0xFFU])) ^
           ((t[3][(x >> 32) & 0xFFU] ^ t[2][(x >> 40) & 0xFFU]) ^ (t[1][(x >> 48) & 0xFFU] ^ t[0][x >> 56]));
}

// Portable EDC (slicing by 8); the x86 kernels use it for short pieces.
std::uint32_t EdcPortable(const std::uint8_t* data, std::size_t size, std::uint32_t crc);

struct Kernels {
    const char* name;
    std::uint32_t (*edc)(const std::uint8_t* data, std::size_t size, std::uint32_t crc);
    // P then Q: reads sector bytes 12..2075, writes 2076..2351.
    void (*parity)(std::uint8_t* sector);
};

extern const Kernels kPortableKernels;
// The fastest x86 kernels this processor runs (AVX2 with PCLMULQDQ, and with
// VPCLMULQDQ where allowed and present), or null when this build or
// processor lacks them.
const Kernels* X86Kernels(bool allowVpclmul);

} // namespace tarvelin::raw::detail
