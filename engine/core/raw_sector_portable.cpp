// Portable raw sector kernels: slicing-by-8 EDC and the P/Q parity with
// eight GF(2^8) symbols per 64-bit word (multiplying a word's bytes by
// alpha is a shift, a mask and a multiply by the reduction byte 0x1D).

#include "core/raw_sector_internal.h"

#include <bit>
#include <cstring>

namespace tarvelin::raw::detail {
namespace {

// Eight bytes in host order: for the byte-parallel arithmetic, where each
// byte is its own lane and goes back where it came from.
std::uint64_t LoadWord(const std::uint8_t* p)
{
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void StoreWord(std::uint8_t* p, std::uint64_t word) { std::memcpy(p, &word, sizeof word); }

// Little-endian words, so that word i of the four is bytes 2i, 2i+1 on any host.
std::uint64_t LoadLittleEndian(const std::uint8_t* p)
{
    std::uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, p, sizeof word);
    } else {
        for (int i = 7; i >= 0; --i) {
            word = (word << 8) | p[i];
        }
    }
    return word;
}

void StoreLittleEndian(std::uint8_t* p, std::uint64_t word)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &word, sizeof word);
    } else {
        for (int i = 0; i < 8; ++i) {
            p[i] = static_cast<std::uint8_t>(word >> (8 * i));
        }
    }
}

// Every byte times alpha: shift left within the byte, and reduce the bytes
// whose top bit fell out by x^8 = x^4 + x^3 + x^2 + 1 (0x1D).
std::uint64_t MultiplyBytesByAlpha(std::uint64_t word)
{
    const std::uint64_t high = (word >> 7) & 0x0101010101010101ULL;
    return ((word & 0x7F7F7F7F7F7F7F7FULL) << 1) ^ (high * 0x1D);
}

// Check bytes from the running H and B of each column (see the header).
void FinishChecks(const std::uint8_t* h, const std::uint8_t* b, std::size_t count, std::uint8_t* check0,
                  std::uint8_t* check1)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t c0 = static_cast<std::uint8_t>(kCheckFromHTable[h[i]] ^ kCheckFromBTable[b[i]]);
        check0[i] = c0;
        check1[i] = static_cast<std::uint8_t>(c0 ^ b[i]);
    }
}

// The 86 columns of a row as eleven words: bytes 0..79 in ten words and
// bytes 78..85 in an eleventh that overlaps the tenth by two bytes. Columns
// are independent, so the overlap computes bytes 78 and 79 twice, alike.
constexpr std::size_t kPWords = 11;
constexpr std::size_t PWordOffset(std::size_t w) { return w < 10 ? 8 * w : kPColumns - 8; }

void ComputeP(std::uint8_t* region)
{
    std::uint64_t h[kPWords] = {};
    std::uint64_t b[kPWords] = {};
    for (std::size_t r = 0; r < kPRows; ++r) {
        const std::uint8_t* row = region + kPColumns * r;
        for (std::size_t w = 0; w < kPWords; ++w) {
            const std::uint64_t symbols = LoadWord(row + PWordOffset(w));
            h[w] = MultiplyBytesByAlpha(h[w]) ^ symbols;
            b[w] ^= symbols;
        }
    }
    std::uint8_t hBytes[kPColumns];
    std::uint8_t bBytes[kPColumns];
    for (std::size_t w = 0; w < kPWords; ++w) {
        StoreWord(hBytes + PWordOffset(w), h[w]);
        StoreWord(bBytes + PWordOffset(w), b[w]);
    }
    FinishChecks(hBytes, bBytes, kPColumns, region + kPSize, region + kPSize + kPColumns);
}

// Q. Seen as 26 rows of 43 two-byte words (row r at region + 86 r), step k
// of diagonal pair j is the word in row (j + k) mod 26, column k: step k of
// all pairs is column k rotated by k mod 26 words. The columns are built by
// transposing 4 x 4 blocks of words held in 64-bit integers, each column
// written twice in a row (bytes 0..51 and 52..103) so that every step is
// the 52 bytes from byte 2 (k mod 26) on (read as seven words; the bytes
// past 52 are computed and dropped). Rows 26 and 27 of the last block are
// zero; its first copy is written before the second copy of rows 0..3
// replaces them.
constexpr std::size_t kQRowBytes = 56; // a step, read as whole words
constexpr std::size_t kQWords = kQRowBytes / 8;
constexpr std::size_t kColumnBytes = 112;

// Rows a, b, c, d of four 16-bit words each in, columns out.
void TransposeFourByFour(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d, std::uint64_t out[4])
{
    constexpr std::uint64_t kEvenWords = 0x0000FFFF0000FFFFULL;
    constexpr std::uint64_t kLowHalf = 0x00000000FFFFFFFFULL;
    const std::uint64_t ab02 = (a & kEvenWords) | ((b & kEvenWords) << 16); // a0 b0 a2 b2
    const std::uint64_t ab13 = ((a >> 16) & kEvenWords) | (b & ~kEvenWords); // a1 b1 a3 b3
    const std::uint64_t cd02 = (c & kEvenWords) | ((d & kEvenWords) << 16);
    const std::uint64_t cd13 = ((c >> 16) & kEvenWords) | (d & ~kEvenWords);
    out[0] = (ab02 & kLowHalf) | (cd02 << 32);
    out[1] = (ab13 & kLowHalf) | (cd13 << 32);
    out[2] = (ab02 >> 32) | (cd02 & ~kLowHalf);
    out[3] = (ab13 >> 32) | (cd13 & ~kLowHalf);
}

void ComputeQ(std::uint8_t* region)
{
    std::uint8_t columns[kQLength][kColumnBytes];
    constexpr std::size_t kRowGroups = (kQRows + 3) / 4;      // 7, the last with rows 24, 25
    constexpr std::size_t kColumnGroups = (kQLength + 3) / 4; // 11; word 43 is never stored
    for (std::size_t rg = kRowGroups; rg-- > 0;) { // last row group first, see above
        const std::size_t r = 4 * rg;
        for (std::size_t cg = 0; cg < kColumnGroups; ++cg) {
            std::uint64_t rows[4];
            for (std::size_t i = 0; i < 4; ++i) {
                rows[i] = r + i < kQRows ? LoadLittleEndian(region + kPColumns * (r + i) + 8 * cg) : 0;
            }
            std::uint64_t pieces[4];
            TransposeFourByFour(rows[0], rows[1], rows[2], rows[3], pieces);
            for (std::size_t i = 0; i < 4 && 4 * cg + i < kQLength; ++i) {
                StoreLittleEndian(&columns[4 * cg + i][2 * r], pieces[i]);
                StoreLittleEndian(&columns[4 * cg + i][kQDiagonals + 2 * r], pieces[i]);
            }
        }
    }
    std::uint64_t h[kQWords] = {};
    std::uint64_t b[kQWords] = {};
    for (std::size_t k = 0; k < kQLength; ++k) {
        const std::uint8_t* step = &columns[k][2 * (k % kQRows)];
        for (std::size_t w = 0; w < kQWords; ++w) {
            const std::uint64_t symbols = LoadWord(step + 8 * w);
            h[w] = MultiplyBytesByAlpha(h[w]) ^ symbols;
            b[w] ^= symbols;
        }
    }
    std::uint8_t hBytes[kQRowBytes];
    std::uint8_t bBytes[kQRowBytes];
    for (std::size_t w = 0; w < kQWords; ++w) {
        StoreWord(hBytes + 8 * w, h[w]);
        StoreWord(bBytes + 8 * w, b[w]);
    }
    FinishChecks(hBytes, bBytes, kQDiagonals, region + kQSize, region + kQSize + kQDiagonals);
}

void ParityPortable(std::uint8_t* sector)
{
    std::uint8_t* region = sector + kRegionOffset;
    ComputeP(region);
    ComputeQ(region);
}

} // namespace

std::uint32_t EdcPortable(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    while (size >= 8) {
        crc = EdcEightBytes(crc, LoadLittleEndian(data));
        data += 8;
        size -= 8;
    }
    while (size-- > 0) {
        crc = (crc >> 8) ^ kEdcTables[0][(crc ^ *data++) & 0xFFU];
    }
    return crc;
}

const Kernels kPortableKernels = {"portable", &EdcPortable, &ParityPortable};

} // namespace tarvelin::raw::detail
