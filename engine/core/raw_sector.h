#pragma once

// Raw CD sectors (ECMA-130): the 2352-byte form of a sector with sync
// pattern, address header, error detection code (EDC) and the P/Q
// Reed-Solomon parity around 2048 bytes of user data. This is the one
// definition of the raw sector formats the system writes.
//
// Mode 1 (2352 bytes):
//   0    12  sync: 00, ten FF, 00
//   12    3  address, BCD minute/second/frame of lba + 150
//   15    1  mode = 1
//   16 2048  user data
//   2064  4  EDC over bytes 0..2063, little-endian
//   2068  8  zero
//   2076 172 P parity over bytes 12..2075
//   2248 104 Q parity over bytes 12..2247
//
// Mode 2 Form 1 (2352 bytes):
//   0    12  sync;  12 3 address;  15 1 mode = 2
//   16    8  subheader (file, channel, submode, coding) twice
//   24 2048  user data
//   2072  4  EDC over bytes 16..2071
//   2076 172 P parity, 2248 104 Q parity, computed with the 4 header bytes
//            12..15 taken as zero

#include "platform/export.h"

#include <cstddef>
#include <cstdint>

namespace tarvelin::raw {

inline constexpr std::size_t kSectorSize = 2352;
inline constexpr std::size_t kUserDataSize = 2048;
inline constexpr std::size_t kMode1DataOffset = 16;
inline constexpr std::size_t kMode2SubheaderOffset = 16;
inline constexpr std::size_t kMode2Form1DataOffset = 24;
inline constexpr std::uint32_t kLeadInSectors = 150; // the two-second offset of sector 0
inline constexpr std::uint8_t kSyncPattern[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// The subheader written into Mode 2 Form 1 sectors: file 0, channel 0,
// submode "data", coding 0, twice.
inline constexpr std::uint8_t kForm1DataSubheader[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};
// Mode 2 Form 2: the subheader's submode byte (its third) carries this bit,
// and the sector holds 2324 bytes of data behind the subheader (video and
// audio of a Video CD, XA audio), with no room for parity.
inline constexpr std::uint8_t kSubmodeForm2 = 0x20;
// The submode bits that end a record and a file, on a file's last sector.
inline constexpr std::uint8_t kSubmodeEndOfRecord = 0x01;
inline constexpr std::uint8_t kSubmodeEndOfFile = 0x80;
inline constexpr std::size_t kForm2DataSize = 2324;

// Writes the BCD address of lba (minute, second, frame of lba + 150) to out[0..2].
// Each value v is stored as (v/10)*16 + v%10 from its low 8 bits.
TARVELIN_API void EncodeAddress(std::uint32_t lba, std::uint8_t out[3]);
// The lba an address header in[0..2] gives; false when it is no BCD
// address at or after the two-second offset.
bool DecodeAddress(const std::uint8_t in[3], std::uint32_t& lba);

// Builds a raw Mode 1 sector from 2048 bytes of user data.
TARVELIN_API void EncodeMode1(const std::uint8_t* userData, std::uint32_t lba, std::uint8_t* out);
// Builds count consecutive raw Mode 1 sectors (lba, lba + 1, ...) from
// count * 2048 bytes into count * 2352 bytes.
TARVELIN_API void EncodeMode1Sectors(const std::uint8_t* userData, std::size_t count,
                                     std::uint32_t firstLba, std::uint8_t* out);

// Builds a raw Mode 2 Form 1 sector; subheader is 8 bytes (null: kForm1DataSubheader).
TARVELIN_API void EncodeMode2Form1(const std::uint8_t* userData, std::uint32_t lba,
                                   const std::uint8_t* subheader, std::uint8_t* out);
TARVELIN_API void EncodeMode2Form1Sectors(const std::uint8_t* userData, std::size_t count,
                                          std::uint32_t firstLba, const std::uint8_t* subheader,
                                          std::uint8_t* out);

// The EDC: CRC-32 with polynomial (x^16+x^15+x^2+1)(x^16+x^2+x+1), bits least
// significant first, start 0, no final inversion; crc continues a previous run.
TARVELIN_API std::uint32_t ComputeEdc(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// What the checks a stored raw sector carries say of it, in a track whose
// sectors are of trackMode (1 or 2): Sound; NoSync when it has no sync
// pattern (a sector a drive could not read is left so, often all zeros);
// WrongMode when its header gives another mode (a Mode 0 sector, all zeros
// behind its header, is sound in either); WrongEdc when its EDC does not
// match its bytes (Mode 1 over 0..2063; Mode 2 Form 1 over 16..2071; Form 2
// over 16..2347, where an EDC of 0 says none was computed). The P/Q parity
// is not looked at.
enum class SectorCheck : std::uint8_t { Sound, NoSync, WrongMode, WrongEdc };
TARVELIN_API SectorCheck CheckSector(const std::uint8_t* sector, std::uint8_t trackMode);

// P then Q parity of a sector whose bytes 12..2075 are in place; writes
// bytes 2076..2351. For a Mode 2 Form 1 sector, zero bytes 12..15 first (and
// put the header back after).
TARVELIN_API void ComputeParity(std::uint8_t* sector);

// Which implementation encodes. Automatic (the default) takes the fastest one
// the processor runs: on x86-64 AVX2 with carry-less multiplication, 256 bits
// wide where VPCLMULQDQ exists; else the portable C++ code. Portable forces
// the portable code and X86Avx2Pclmul the AVX2 code with 128-bit PCLMULQDQ,
// so that tests and benchmarks can cover every implementation; all produce
// the same bytes. Returns false (and changes nothing) when the processor or
// build cannot run the path. Meant for tests and benchmarks: switching while
// other threads encode is safe but mixes implementations.
enum class EncoderPath : std::uint8_t { Automatic, Portable, X86Avx2Pclmul };
TARVELIN_API bool ForceEncoderPath(EncoderPath path);
// The implementation that encoding uses now: "avx2-vpclmul", "avx2-pclmul"
// or "portable".
TARVELIN_API const char* ActiveEncoderPath();

} // namespace tarvelin::raw
