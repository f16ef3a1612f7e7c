// x86-64 raw sector kernels: the EDC by carry-less multiplication (folding
// with PCLMULQDQ, or VPCLMULQDQ two blocks per instruction) and the P/Q
// parity 32 symbols at a time with AVX2. The engine is built for generic
// x86-64, so these functions carry their own target attribute and run only
// when the processor reports the features (checked once in X86Kernels).

#include "core/raw_sector_internal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARVELIN_RAW_SECTOR_X86 1
#include <immintrin.h>
#endif

#include <cstring>

namespace tarvelin::raw::detail {

#if defined(TARVELIN_RAW_SECTOR_X86)
namespace {

#define TARVELIN_TARGET_X86 __attribute__((target("avx2,pclmul")))
#define TARVELIN_TARGET_X86_VPCLMUL __attribute__((target("avx2,pclmul,vpclmulqdq")))

// ---------------------------------------------------------------------------
// EDC by folding.
//
// Bit order: the EDC takes each byte's least significant bit first, so a
// 16-byte block loaded little-endian into a register has in bit i the i-th
// message bit of the block; read as a polynomial, bit i is the coefficient of
// x^(127-i) ("reflected" form). A 64-bit half likewise has bit i for
// x^(63-i). A carry-less product of two reflected 64-bit halves A and B read
// as a reflected 128-bit value is A * B * x (the product's bit k weighs
// x^(126-k), one less than x^(127-k)).
//
// Folding a block X forward by F bits (onto a block F bits later in the
// message): X = Xe * x^64 + Xl, with Xe the earlier half (register bits
// 0..63) and Xl the later half. Then
//   X * x^F = Xe * x^(F+64) + Xl * x^F
//          == clmul(Xe, x^(F+63) mod P) + clmul(Xl, x^(F-1) mod P)  (mod P)
// where each constant (degree < 32) is held reflected in a 64-bit half
// (coefficient of x^d at bit 63-d), and each product, of degree < 96, fits
// the 128 bits. The constants are computed here (at compile time) from the
// polynomial. After the last fold, the register is a 16-byte message
// congruent to everything folded into it, so the CRC of those 16 bytes
// (start 0) is the CRC so far; FinishEdc shortens that to eight bytes.

constexpr std::uint32_t Reflect32(std::uint32_t value)
{
    std::uint32_t reflected = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if ((value >> bit) & 1U) {
            reflected |= 1U << (31 - bit);
        }
    }
    return reflected;
}

// The EDC polynomial with bit d for x^d, x^32 implied.
constexpr std::uint32_t kEdcPolynomialNormal = Reflect32(kEdcPolynomialReflected);
static_assert(kEdcPolynomialNormal == 0x8001801BU);

// x^n mod P with bit d for x^d.
constexpr std::uint32_t PowerOfXModEdc(unsigned n)
{
    std::uint32_t remainder = 1;
    for (unsigned i = 0; i < n; ++i) {
        const bool carry = (remainder & 0x80000000U) != 0;
        remainder <<= 1;
        if (carry) {
            remainder ^= kEdcPolynomialNormal;
        }
    }
    return remainder;
}

// x^n mod P as a reflected 64-bit half for PCLMULQDQ.
constexpr std::uint64_t FoldConstant(unsigned n)
{
    return static_cast<std::uint64_t>(Reflect32(PowerOfXModEdc(n))) << 32;
}

// The pair for folding by `bits`: low half for the earlier 64 bits, high
// half for the later 64 bits.
struct FoldPair {
    std::uint64_t earlier;
    std::uint64_t later;
};
constexpr FoldPair FoldBy(unsigned bits) { return {FoldConstant(bits + 63), FoldConstant(bits - 1)}; }

TARVELIN_TARGET_X86 inline __m128i LoadPair(FoldPair pair)
{
    return _mm_set_epi64x(static_cast<long long>(pair.later), static_cast<long long>(pair.earlier));
}

TARVELIN_TARGET_X86 inline __m256i LoadPair256(FoldPair pair)
{
    return _mm256_broadcastsi128_si256(LoadPair(pair));
}

TARVELIN_TARGET_X86 inline __m128i Fold(__m128i x, __m128i constants)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, constants, 0x00), _mm_clmulepi64_si128(x, constants, 0x11));
}

TARVELIN_TARGET_X86_VPCLMUL inline __m256i Fold256(__m256i x, __m256i constants)
{
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, constants, 0x00),
                            _mm256_clmulepi64_epi128(x, constants, 0x11));
}

TARVELIN_TARGET_X86 inline __m128i Load128(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TARVELIN_TARGET_X86 inline __m256i Load256(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The CRC from a folded block x (congruent to the message so far) and the
// remaining tail (< 16 bytes). With x = Xa x^96 + Xb x^64 + Xl (32, 32 and
// 64 bits), Z = Xa (x^96 mod P) + Xb (x^64 mod P) + Xl has degree < 64 and
// is congruent to x, so the CRC of x is the CRC of the eight bytes Z: two
// carry-less products and one slicing step instead of sixteen table steps.
// Xa and Xb go in as 32-bit polynomials (bits 32..63 of a 64-bit half).
TARVELIN_TARGET_X86 inline std::uint32_t FinishEdc(__m128i x, const std::uint8_t* tail, std::size_t tailSize)
{
    const __m128i constants = LoadPair({FoldConstant(95), FoldConstant(63)});
    const __m128i xa = _mm_slli_epi64(x, 32);                                    // low half: Xa
    const __m128i xb = _mm_and_si128(x, _mm_set_epi64x(0, -0x100000000LL));      // low half: Xb
    const __m128i z = _mm_xor_si128(x, _mm_xor_si128(_mm_clmulepi64_si128(xa, constants, 0x00),
                                                     _mm_clmulepi64_si128(xb, constants, 0x10)));
    const std::uint32_t crc = EdcEightBytes(0, static_cast<std::uint64_t>(_mm_extract_epi64(z, 1)));
    return EdcPortable(tail, tailSize, crc);
}

// 16 bytes at a time, for what the wide loops leave (and short messages).
TARVELIN_TARGET_X86 inline std::uint32_t EdcBlocks16(__m128i x, const std::uint8_t* data, std::size_t size)
{
    const __m128i fold128 = LoadPair(FoldBy(128));
    while (size >= 16) {
        x = _mm_xor_si128(Fold(x, fold128), Load128(data));
        data += 16;
        size -= 16;
    }
    return FinishEdc(x, data, size);
}

// A running CRC is the same as that value added to the message's first 32 bits.
TARVELIN_TARGET_X86 inline __m128i FirstBlock(const std::uint8_t* data, std::uint32_t crc)
{
    return _mm_xor_si128(Load128(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
}

TARVELIN_TARGET_X86 std::uint32_t EdcShort(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    if (size < 16) {
        return EdcPortable(data, size, crc);
    }
    return EdcBlocks16(FirstBlock(data, crc), data + 16, size - 16);
}

// PCLMULQDQ: eight 16-byte blocks in flight (128 bytes per round), enough
// independent products to cover the multiplier's latency.
TARVELIN_TARGET_X86 std::uint32_t EdcPclmul(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    if (size < 128) {
        return EdcShort(data, size, crc);
    }
    const __m128i fold1024 = LoadPair(FoldBy(1024));
    __m128i a[8];
    a[0] = FirstBlock(data, crc);
    for (std::size_t i = 1; i < 8; ++i) {
        a[i] = Load128(data + 16 * i);
    }
    data += 128;
    size -= 128;
    while (size >= 128) {
        for (std::size_t i = 0; i < 8; ++i) {
            a[i] = _mm_xor_si128(Fold(a[i], fold1024), Load128(data + 16 * i));
        }
        data += 128;
        size -= 128;
    }
    // Fold the eight into one: pairs by 128 bits, then by 256, then by 512.
    const __m128i fold128 = LoadPair(FoldBy(128));
    const __m128i fold256 = LoadPair(FoldBy(256));
    const __m128i fold512 = LoadPair(FoldBy(512));
    for (std::size_t i = 0; i < 8; i += 2) {
        a[i + 1] = _mm_xor_si128(a[i + 1], Fold(a[i], fold128));
    }
    a[3] = _mm_xor_si128(a[3], Fold(a[1], fold256));
    a[7] = _mm_xor_si128(a[7], Fold(a[5], fold256));
    const __m128i x = _mm_xor_si128(a[7], Fold(a[3], fold512));
    return EdcBlocks16(x, data, size);
}

// VPCLMULQDQ: four 32-byte registers of two blocks each in flight.
TARVELIN_TARGET_X86_VPCLMUL std::uint32_t EdcVpclmul(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    if (size < 128) {
        return EdcShort(data, size, crc);
    }
    const __m256i fold1024 = LoadPair256(FoldBy(1024));
    __m256i a0 = _mm256_xor_si256(Load256(data), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m256i a1 = Load256(data + 32);
    __m256i a2 = Load256(data + 64);
    __m256i a3 = Load256(data + 96);
    data += 128;
    size -= 128;
    while (size >= 128) {
        a0 = _mm256_xor_si256(Fold256(a0, fold1024), Load256(data));
        a1 = _mm256_xor_si256(Fold256(a1, fold1024), Load256(data + 32));
        a2 = _mm256_xor_si256(Fold256(a2, fold1024), Load256(data + 64));
        a3 = _mm256_xor_si256(Fold256(a3, fold1024), Load256(data + 96));
        data += 128;
        size -= 128;
    }
    // a0 onto a1 and a2 onto a3 (32 bytes on), then the first pair onto the
    // second (64 bytes on), then the low block onto the high one.
    const __m256i fold256 = LoadPair256(FoldBy(256));
    const __m256i fold512 = LoadPair256(FoldBy(512));
    const __m256i b1 = _mm256_xor_si256(a1, Fold256(a0, fold256));
    const __m256i b3 = _mm256_xor_si256(a3, Fold256(a2, fold256));
    const __m256i c = _mm256_xor_si256(b3, Fold256(b1, fold512));
    const __m128i x = _mm_xor_si128(_mm256_extracti128_si256(c, 1),
                                    Fold(_mm256_castsi256_si128(c), LoadPair(FoldBy(128))));
    return EdcBlocks16(x, data, size);
}

// ---------------------------------------------------------------------------
// P and Q parity, 32 columns or diagonals per register (see the header for
// the H/B formulation).

// Nibble tables for multiplying every byte by a constant with PSHUFB:
// v * g = low[v & 15] + high[v >> 4]; each table twice, once per 128-bit lane.
struct NibbleTables {
    alignas(32) std::uint8_t low[32];
    alignas(32) std::uint8_t high[32];
};

constexpr NibbleTables MakeNibbleTables(std::uint8_t factor)
{
    NibbleTables tables{};
    for (unsigned n = 0; n < 32; ++n) {
        tables.low[n] = GfMultiply(static_cast<std::uint8_t>(n & 15U), factor);
        tables.high[n] = GfMultiply(static_cast<std::uint8_t>((n & 15U) << 4), factor);
    }
    return tables;
}

constexpr NibbleTables kCheckFromHNibbles = MakeNibbleTables(kCheckFromH);
constexpr NibbleTables kCheckFromBNibbles = MakeNibbleTables(kCheckFromB);

TARVELIN_TARGET_X86 inline void Store256(std::uint8_t* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// Every byte times alpha: double it and reduce where the top bit fell out.
TARVELIN_TARGET_X86 inline __m256i MultiplyByAlpha(__m256i x)
{
    const __m256i overflow = _mm256_cmpgt_epi8(_mm256_setzero_si256(), x);
    return _mm256_xor_si256(_mm256_add_epi8(x, x), _mm256_and_si256(overflow, _mm256_set1_epi8(0x1D)));
}

TARVELIN_TARGET_X86 inline __m256i MultiplyByConstant(__m256i x, const NibbleTables& tables)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_shuffle_epi8(Load256(tables.low), _mm256_and_si256(x, nibble));
    const __m256i high =
        _mm256_shuffle_epi8(Load256(tables.high), _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble));
    return _mm256_xor_si256(low, high);
}

// c0 from H and B; c1 = c0 + B.
TARVELIN_TARGET_X86 inline __m256i FirstCheck(__m256i h, __m256i b)
{
    return _mm256_xor_si256(MultiplyByConstant(h, kCheckFromHNibbles), MultiplyByConstant(b, kCheckFromBNibbles));
}

// P: the 24 rows of 86 bytes are contiguous, so a row's columns are loaded
// directly: bytes 0..31, 32..63 and 54..85 (the last overlaps the second; the
// overlapping columns are computed twice, alike).
TARVELIN_TARGET_X86 void ComputePX86(std::uint8_t* region)
{
    constexpr std::size_t kThird = kPColumns - 32;
    __m256i h0 = _mm256_setzero_si256();
    __m256i h1 = _mm256_setzero_si256();
    __m256i h2 = _mm256_setzero_si256();
    __m256i b0 = _mm256_setzero_si256();
    __m256i b1 = _mm256_setzero_si256();
    __m256i b2 = _mm256_setzero_si256();
    for (std::size_t r = 0; r < kPRows; ++r) {
        const std::uint8_t* row = region + kPColumns * r;
        const __m256i x0 = Load256(row);
        const __m256i x1 = Load256(row + 32);
        const __m256i x2 = Load256(row + kThird);
        h0 = _mm256_xor_si256(MultiplyByAlpha(h0), x0);
        h1 = _mm256_xor_si256(MultiplyByAlpha(h1), x1);
        h2 = _mm256_xor_si256(MultiplyByAlpha(h2), x2);
        b0 = _mm256_xor_si256(b0, x0);
        b1 = _mm256_xor_si256(b1, x1);
        b2 = _mm256_xor_si256(b2, x2);
    }
    std::uint8_t* check0 = region + kPSize;
    std::uint8_t* check1 = check0 + kPColumns;
    const __m256i c0 = FirstCheck(h0, b0);
    const __m256i c1 = FirstCheck(h1, b1);
    const __m256i c2 = FirstCheck(h2, b2);
    Store256(check0, c0);
    Store256(check0 + 32, c1);
    Store256(check0 + kThird, c2);
    Store256(check1, _mm256_xor_si256(c0, b0));
    Store256(check1 + 32, _mm256_xor_si256(c1, b1));
    Store256(check1 + kThird, _mm256_xor_si256(c2, b2));
}

// Q. Seen as 26 rows of 43 two-byte words (row r at region + 86 r), step k
// of diagonal pair j is the word in row (j + k) mod 26, column k. So step k
// of all 26 pairs is column k rotated by s = k mod 26 words.
//
// The kernel first transposes the word matrix into QColumns: column k holds
// rows 0..25 in bytes 0..51 (rows 26..31 as zero padding). Then step k is
// bytes 2s..51 followed by bytes 0..2s-1 of column k: two unaligned loads,
// one at 2s and one 52 bytes before it, merged by a byte mask that takes
// the second from lane 52 - 2s on.
//
// The transpose works on 8 x 8 blocks of words, two at a time (one per
// 128-bit lane): a register loaded from bytes 32 g .. 32 g + 31 of a row
// holds words 16 g .. 16 g + 7 in its low lane and 16 g + 8 .. 16 g + 15 in
// its high lane. Three rounds of unpacking (16-, 32-, then 64-bit) turn eight
// such rows into eight registers, each holding eight rows of two columns;
// the lanes of two such blocks (rows 0..7 and 8..15, or 16..23 and 24..31)
// are then paired so that each 32-byte store writes 16 rows of one column.
// Stores, not shuffles, bound this part, hence the pairing. The words 43..47
// that the last column group reads past the end of a row are never stored.
// Column k at bytes 64 + 64 k; the 64 bytes before column 0 are read (and
// masked off) by its wrapped load, the 64 after the last column by its loads.
struct alignas(32) QColumns {
    static constexpr std::size_t kMargin = 64;
    std::uint8_t bytes[kMargin + 64 * kQLength + kMargin];
    std::uint8_t* Column(std::size_t k) { return bytes + kMargin + 64 * k; }
};

// Selects lanes 52 - 2s .. 63 of a step: 32 bytes from byte 12 + 2s (low
// register) and 44 + 2s (high register).
struct alignas(32) WrapMasks {
    std::uint8_t bytes[128];
};
constexpr WrapMasks MakeWrapMasks()
{
    WrapMasks masks{};
    for (std::size_t i = 64; i < 128; ++i) {
        masks.bytes[i] = 0xFF;
    }
    return masks;
}
constexpr WrapMasks kWrapMasks = MakeWrapMasks();

// Rows 8 block .. 8 block + 7 of column group `group` as eight registers:
// out[m] has column 16 group + m in its low lane and 16 group + 8 + m in its
// high lane. `rowCount` (8 or 2) rows are real, the rest zero.
template <std::size_t rowCount>
TARVELIN_TARGET_X86 inline void TransposeBlock(const std::uint8_t* rowsStart, std::size_t group, __m256i out[8])
{
    __m256i rows[8];
    for (std::size_t i = 0; i < 8; ++i) {
        rows[i] = i < rowCount ? Load256(rowsStart + kPColumns * i + 32 * group) : _mm256_setzero_si256();
    }
    __m256i pairs[8];
    for (std::size_t i = 0; i < 4; ++i) {
        if (2 * i < rowCount) {
            pairs[2 * i] = _mm256_unpacklo_epi16(rows[2 * i], rows[2 * i + 1]);     // words 0..3 of two rows
            pairs[2 * i + 1] = _mm256_unpackhi_epi16(rows[2 * i], rows[2 * i + 1]); // words 4..7
        } else {
            pairs[2 * i] = pairs[2 * i + 1] = _mm256_setzero_si256();
        }
    }
    __m256i quads[8];
    for (std::size_t half = 0; half < 2; ++half) {
        const __m256i* p = pairs + 4 * half;
        __m256i* q = quads + 4 * half;
        if (4 * half < rowCount) {
            q[0] = _mm256_unpacklo_epi32(p[0], p[2]); // words 0, 1 of four rows
            q[1] = _mm256_unpackhi_epi32(p[0], p[2]); // words 2, 3
            q[2] = _mm256_unpacklo_epi32(p[1], p[3]); // words 4, 5
            q[3] = _mm256_unpackhi_epi32(p[1], p[3]); // words 6, 7
        } else {
            q[0] = q[1] = q[2] = q[3] = _mm256_setzero_si256();
        }
    }
    for (std::size_t i = 0; i < 4; ++i) {
        out[2 * i] = _mm256_unpacklo_epi64(quads[i], quads[4 + i]);     // word 2i of eight rows
        out[2 * i + 1] = _mm256_unpackhi_epi64(quads[i], quads[4 + i]); // word 2i + 1
    }
}

// Rows 16 half .. 16 half + 15 of column group `group` into the columns.
template <std::size_t secondBlockRows>
TARVELIN_TARGET_X86 inline void TransposeSixteenRows(const std::uint8_t* region, std::size_t half, std::size_t group,
                                                     QColumns& columns)
{
    __m256i first[8];
    __m256i second[8];
    TransposeBlock<8>(region + kPColumns * 16 * half, group, first);
    TransposeBlock<secondBlockRows>(region + kPColumns * (16 * half + 8), group, second);
    for (std::size_t m = 0; m < 8; ++m) {
        const std::size_t low = 16 * group + m;
        const std::size_t high = low + 8;
        _mm256_store_si256(reinterpret_cast<__m256i*>(columns.Column(low) + 32 * half),
                           _mm256_permute2x128_si256(first[m], second[m], 0x20));
        if (high < kQLength) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(columns.Column(high) + 32 * half),
                               _mm256_permute2x128_si256(first[m], second[m], 0x31));
        }
    }
}

TARVELIN_TARGET_X86 void ComputeQX86(std::uint8_t* region)
{
    QColumns columns;
    const __m256i zero = _mm256_setzero_si256();
    std::uint8_t* after = columns.Column(kQLength);
    _mm256_store_si256(reinterpret_cast<__m256i*>(columns.bytes), zero);
    _mm256_store_si256(reinterpret_cast<__m256i*>(columns.bytes + 32), zero);
    _mm256_store_si256(reinterpret_cast<__m256i*>(after), zero);
    _mm256_store_si256(reinterpret_cast<__m256i*>(after + 32), zero);
    static_assert(kQRows == 16 + 8 + 2);
    for (std::size_t group = 0; group < 3; ++group) {
        TransposeSixteenRows<8>(region, 0, group, columns); // rows 0..15
        TransposeSixteenRows<2>(region, 1, group, columns); // rows 16..25, zero 26..31
    }
    __m256i h0 = zero;
    __m256i h1 = zero;
    __m256i b0 = zero;
    __m256i b1 = zero;
    for (std::size_t k = 0; k < kQLength; ++k) {
        const std::size_t shift = 2 * (k % kQRows);
        const std::uint8_t* step = columns.Column(k) + shift;
        const std::uint8_t* wrapped = step - kQDiagonals;
        const __m256i x0 = _mm256_blendv_epi8(Load256(step), Load256(wrapped), Load256(kWrapMasks.bytes + 12 + shift));
        const __m256i x1 =
            _mm256_blendv_epi8(Load256(step + 32), Load256(wrapped + 32), Load256(kWrapMasks.bytes + 44 + shift));
        h0 = _mm256_xor_si256(MultiplyByAlpha(h0), x0);
        h1 = _mm256_xor_si256(MultiplyByAlpha(h1), x1);
        b0 = _mm256_xor_si256(b0, x0);
        b1 = _mm256_xor_si256(b1, x1);
    }
    alignas(32) std::uint8_t checks[128];
    const __m256i c0 = FirstCheck(h0, b0);
    const __m256i c1 = FirstCheck(h1, b1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(checks), c0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(checks + 32), c1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(checks + 64), _mm256_xor_si256(c0, b0));
    _mm256_store_si256(reinterpret_cast<__m256i*>(checks + 96), _mm256_xor_si256(c1, b1));
    std::memcpy(region + kQSize, checks, kQDiagonals);
    std::memcpy(region + kQSize + kQDiagonals, checks + 64, kQDiagonals);
}

TARVELIN_TARGET_X86 void ParityX86(std::uint8_t* sector)
{
    std::uint8_t* region = sector + kRegionOffset;
    ComputePX86(region);
    ComputeQX86(region);
}

const Kernels kAvx2PclmulKernels = {"avx2-pclmul", &EdcPclmul, &ParityX86};
const Kernels kAvx2VpclmulKernels = {"avx2-vpclmul", &EdcVpclmul, &ParityX86};

} // namespace

const Kernels* X86Kernels(bool allowVpclmul)
{
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("pclmul")) {
        return nullptr;
    }
    return allowVpclmul && __builtin_cpu_supports("vpclmulqdq") ? &kAvx2VpclmulKernels : &kAvx2PclmulKernels;
}

#else

const Kernels* X86Kernels(bool) { return nullptr; }

#endif

} // namespace tarvelin::raw::detail
