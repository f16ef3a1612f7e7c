#include "support/reference_ecma130.h"

#include <array>
#include <cstring>

// ECMA-130 (2nd edition, 1996): Annex A (scrambling aside) and clause 14
// define the sector; Annex A gives the P and Q product code. Everything here
// is computed the long way on purpose.

namespace tarvelin::test {
namespace {

constexpr std::size_t kSectorSize = 2352;
constexpr std::size_t kParityRegion = 12; // P and Q cover bytes from offset 12 on
constexpr std::size_t kPColumns = 86;
constexpr std::size_t kPRows = 24;       // data symbols of each (26,24) P codeword
constexpr std::size_t kQDiagonals = 52;
constexpr std::size_t kQLength = 43;     // data symbols of each (45,43) Q codeword
constexpr std::size_t kPSize = kPColumns * kPRows;   // 2064 bytes under P
constexpr std::size_t kQSize = kQDiagonals * kQLength; // 2236 bytes under Q

// GF(2^8) with x^8 + x^4 + x^3 + x^2 + 1; alpha is the element x (= 2).
constexpr unsigned kFieldPolynomial = 0x11D;
constexpr std::uint8_t kAlpha = 2;

std::uint8_t GfMul(std::uint8_t a, std::uint8_t b)
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

std::uint8_t GfPow(std::uint8_t base, unsigned exponent)
{
    std::uint8_t result = 1;
    for (unsigned i = 0; i < exponent; ++i) {
        result = GfMul(result, base);
    }
    return result;
}

// a^254 = a^-1 in a field of 256 elements (a != 0).
std::uint8_t GfInverse(std::uint8_t a) { return GfPow(a, 254); }

// Value of the codeword polynomial c(x) = sum c[i] x^(n-1-i) at x = root.
std::uint8_t EvaluateAt(const std::uint8_t* symbols, std::size_t n, std::uint8_t root)
{
    std::uint8_t value = 0; // Horner's rule
    for (std::size_t i = 0; i < n; ++i) {
        value = static_cast<std::uint8_t>(GfMul(value, root) ^ symbols[i]);
    }
    return value;
}

// The two check symbols that make data[0..k-1], check0, check1 a codeword of
// the (k+2, k) Reed-Solomon code with roots alpha^0 and alpha^1: c(1) = 0 and
// c(alpha) = 0. With s_j the value of the data part at root_j, the check
// symbols solve  root_j * check0 + check1 = s_j  (j = 0, 1), by Cramer's rule.
void SolveCheckSymbols(const std::uint8_t* data, std::size_t k, std::uint8_t& check0, std::uint8_t& check1)
{
    std::array<std::uint8_t, 64> word{};
    std::memcpy(word.data(), data, k);
    const std::size_t n = k + 2;
    const std::uint8_t roots[2] = {1, kAlpha};
    // The data part's contribution: data followed by two zero symbols.
    const std::uint8_t s0 = EvaluateAt(word.data(), n, roots[0]);
    const std::uint8_t s1 = EvaluateAt(word.data(), n, roots[1]);
    // | r0 1 | |check0|   |s0|
    // | r1 1 | |check1| = |s1|     (minus is plus in characteristic 2)
    const std::uint8_t determinant = roots[0] ^ roots[1];
    const std::uint8_t inverse = GfInverse(determinant);
    check0 = GfMul(static_cast<std::uint8_t>(s0 ^ s1), inverse);
    check1 = GfMul(static_cast<std::uint8_t>(GfMul(roots[0], s1) ^ GfMul(roots[1], s0)), inverse);
}

// Byte offset (inside the region from offset 12) of symbol `step` of Q diagonal d.
std::size_t QSymbolOffset(std::size_t d, std::size_t step)
{
    return ((d / 2) * 86 + (d % 2) + 88 * step) % kQSize;
}

// P then Q over the region starting at sector offset 12.
void ComputeParityInPlace(std::uint8_t* sector)
{
    std::uint8_t* region = sector + kParityRegion;
    std::uint8_t symbols[kQLength];
    for (std::size_t m = 0; m < kPColumns; ++m) {
        for (std::size_t r = 0; r < kPRows; ++r) {
            symbols[r] = region[m + kPColumns * r];
        }
        SolveCheckSymbols(symbols, kPRows, region[kPSize + m], region[kPSize + kPColumns + m]);
    }
    for (std::size_t d = 0; d < kQDiagonals; ++d) {
        for (std::size_t step = 0; step < kQLength; ++step) {
            symbols[step] = region[QSymbolOffset(d, step)];
        }
        SolveCheckSymbols(symbols, kQLength, region[kQSize + d], region[kQSize + kQDiagonals + d]);
    }
}

std::uint8_t Bcd(std::uint32_t value)
{
    const unsigned low = value & 0xFFU;
    return static_cast<std::uint8_t>((low / 10) * 16 + low % 10);
}

void WriteSyncAndAddress(std::uint32_t lba, std::uint8_t mode, std::uint8_t* out)
{
    out[0] = 0x00;
    for (int i = 1; i <= 10; ++i) {
        out[i] = 0xFF;
    }
    out[11] = 0x00;
    ReferenceEncodeAddress(lba, out + 12);
    out[15] = mode;
}

void PutLittleEndian32(std::uint32_t value, std::uint8_t* out)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The EDC polynomial, bit-reversed (bit 31 - d holds the coefficient of
// x^d), as multiplied out from its two factors.
std::uint32_t ReferenceEdcPolynomialReflected()
{
    // Multiply the two factors as polynomials over GF(2).
    const std::uint64_t factorA = (1ULL << 16) | (1ULL << 15) | (1ULL << 2) | 1ULL; // x^16+x^15+x^2+1
    const std::uint64_t factorB = (1ULL << 16) | (1ULL << 2) | (1ULL << 1) | 1ULL;  // x^16+x^2+x+1
    std::uint64_t product = 0;
    for (int i = 0; i < 17; ++i) {
        if ((factorB >> i) & 1U) {
            product ^= factorA << i;
        }
    }
    // Degree 32; drop x^32 and reverse the remaining 32 coefficients.
    std::uint32_t reflected = 0;
    for (int degree = 0; degree < 32; ++degree) {
        if ((product >> degree) & 1U) {
            reflected |= 1U << (31 - degree);
        }
    }
    return reflected;
}

} // namespace

std::uint32_t ReferenceEdc(const std::uint8_t* data, std::size_t size)
{
    const std::uint32_t polynomial = ReferenceEdcPolynomialReflected();
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) ? (crc >> 1) ^ polynomial : crc >> 1;
        }
    }
    return crc;
}

void ReferenceEncodeAddress(std::uint32_t lba, std::uint8_t out3[3])
{
    const std::uint32_t address = lba + 150U; // modulo 2^32
    const std::uint32_t seconds = address / 75;
    out3[0] = Bcd(seconds / 60);
    out3[1] = Bcd(seconds % 60);
    out3[2] = Bcd(address % 75);
}

void ReferenceEncodeMode1(const std::uint8_t* data2048, std::uint32_t lba, std::uint8_t* out2352)
{
    std::memset(out2352, 0, kSectorSize);
    WriteSyncAndAddress(lba, 1, out2352);
    std::memcpy(out2352 + 16, data2048, 2048);
    PutLittleEndian32(ReferenceEdc(out2352, 2064), out2352 + 2064);
    ComputeParityInPlace(out2352);
}

void ReferenceEncodeMode2Form1(const std::uint8_t* data2048, std::uint32_t lba,
                               const std::uint8_t* subheader8, std::uint8_t* out2352)
{
    std::memset(out2352, 0, kSectorSize);
    WriteSyncAndAddress(lba, 2, out2352);
    std::memcpy(out2352 + 16, subheader8, 8);
    std::memcpy(out2352 + 24, data2048, 2048);
    PutLittleEndian32(ReferenceEdc(out2352 + 16, 2056), out2352 + 2072);
    std::uint8_t header[4];
    std::memcpy(header, out2352 + 12, 4);
    std::memset(out2352 + 12, 0, 4);
    ComputeParityInPlace(out2352);
    std::memcpy(out2352 + 12, header, 4);
}

bool ReferenceParityHolds(const std::uint8_t* sector2352, bool headerAsZero)
{
    std::array<std::uint8_t, kSectorSize> copy{};
    std::memcpy(copy.data(), sector2352, kSectorSize);
    if (headerAsZero) {
        std::memset(copy.data() + 12, 0, 4);
    }
    const std::uint8_t* region = copy.data() + kParityRegion;
    std::uint8_t word[kQLength + 2];
    for (std::size_t m = 0; m < kPColumns; ++m) {
        for (std::size_t r = 0; r < kPRows; ++r) {
            word[r] = region[m + kPColumns * r];
        }
        word[kPRows] = region[kPSize + m];
        word[kPRows + 1] = region[kPSize + kPColumns + m];
        if (EvaluateAt(word, kPRows + 2, 1) != 0 || EvaluateAt(word, kPRows + 2, kAlpha) != 0) {
            return false;
        }
    }
    for (std::size_t d = 0; d < kQDiagonals; ++d) {
        for (std::size_t step = 0; step < kQLength; ++step) {
            word[step] = region[QSymbolOffset(d, step)];
        }
        word[kQLength] = region[kQSize + d];
        word[kQLength + 1] = region[kQSize + kQDiagonals + d];
        if (EvaluateAt(word, kQLength + 2, 1) != 0 || EvaluateAt(word, kQLength + 2, kAlpha) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace tarvelin::test
