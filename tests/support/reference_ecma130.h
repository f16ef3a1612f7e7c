#pragma once

// A slow, independent ECMA-130 sector encoder for checking the engine's
// encoder (engine/core/raw_sector.h) and anything that writes raw sectors.
//
// It is written from the definitions, not from the engine's code: the EDC is
// a bit-serial CRC whose polynomial is multiplied out from the two factors
// ECMA-130 gives, and each P or Q check-byte pair is found by solving the two
// syndrome equations of the Reed-Solomon code over GF(2^8) with plain
// (bit-serial) field arithmetic. No lookup table is shared with the engine.
// Expect about a millisecond per sector in a sanitizer build.

#include <cstddef>
#include <cstdint>

namespace tarvelin::test {

// The EDC of ECMA-130 (CRC-32 with the polynomial
// (x^16+x^15+x^2+1)(x^16+x^2+x+1), least significant bit first, start 0,
// no final inversion).
std::uint32_t ReferenceEdc(const std::uint8_t* data, std::size_t size);

// BCD minute, second, frame of lba + 150 (computed modulo 2^32), each from
// the low 8 bits of its value.
void ReferenceEncodeAddress(std::uint32_t lba, std::uint8_t out3[3]);

// A whole 2352-byte Mode 1 sector from 2048 data bytes.
void ReferenceEncodeMode1(const std::uint8_t* data2048, std::uint32_t lba, std::uint8_t* out2352);

// A whole 2352-byte Mode 2 Form 1 sector: subheader8 is the 8-byte subheader
// written at offset 16, the data goes to offset 24.
void ReferenceEncodeMode2Form1(const std::uint8_t* data2048, std::uint32_t lba,
                               const std::uint8_t* subheader8, std::uint8_t* out2352);

// True when every P column and Q diagonal of the 2352-byte sector is a
// codeword, that is its syndromes for the roots alpha^0 and alpha^1 vanish.
// headerAsZero: evaluate with bytes 12..15 taken as zero (Mode 2 Form 1).
bool ReferenceParityHolds(const std::uint8_t* sector2352, bool headerAsZero);

} // namespace tarvelin::test
