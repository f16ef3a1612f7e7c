// Portable raw sector kernels: slicing-by-8 EDC and the P/Q parity with
// eight GF(2^8) symbols per 64-bit word (multiplying a word's bytes by
// alpha is a shift, a mask and a multiply by the reduction byte 0x1D).

#include "core/raw_sector_internal.h"

#include <cstring>

namespace tarvelin::raw::detail {
namespace {

std::uint64_t LoadWord(const std::uint8_t* p)
{
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void StoreWord(std::uint8_t* p, std::uint64_t word) { std::memcpy(p, &word, sizeof word); }

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

// Q: gather step k of every diagonal pair into one row of 52 bytes (padded
// to 56), then run the same word-parallel Horner over the 43 rows. Seen as
// 26 rows of 43 two-byte words, the word in row r, column k is step k of
// diagonal pair (r - k) mod 26; the gather walks the rows in order, four
// words per load.
constexpr std::size_t kQRowBytes = 56;
constexpr std::size_t kQWords = kQRowBytes / 8;

void ComputeQ(std::uint8_t* region)
{
    std::uint8_t steps[kQLength][kQRowBytes];
    for (std::size_t r = 0; r < kQRows; ++r) {
        const std::uint8_t* row = region + kPColumns * r;
        std::size_t pair = r; // (r - k) mod 26 for k = 0
        std::size_t k = 0;
        for (; k + 4 <= kQLength; k += 4) {
            const std::uint64_t words = LoadWord(row + 2 * k);
            std::uint8_t bytes[8];
            StoreWord(bytes, words);
            for (std::size_t i = 0; i < 4; ++i) {
                std::memcpy(&steps[k + i][2 * pair], bytes + 2 * i, 2);
                pair = pair == 0 ? kQRows - 1 : pair - 1;
            }
        }
        for (; k < kQLength; ++k) {
            std::memcpy(&steps[k][2 * pair], row + 2 * k, 2);
            pair = pair == 0 ? kQRows - 1 : pair - 1;
        }
    }
    for (std::size_t k = 0; k < kQLength; ++k) {
        std::memset(&steps[k][kQDiagonals], 0, kQRowBytes - kQDiagonals);
    }
    std::uint64_t h[kQWords] = {};
    std::uint64_t b[kQWords] = {};
    for (std::size_t k = 0; k < kQLength; ++k) {
        for (std::size_t w = 0; w < kQWords; ++w) {
            const std::uint64_t symbols = LoadWord(&steps[k][8 * w]);
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
        std::uint64_t bytes = 0; // the message's bytes in little-endian order, whatever the host's
        for (int i = 7; i >= 0; --i) {
            bytes = (bytes << 8) | data[i];
        }
        crc = EdcEightBytes(crc, bytes);
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
