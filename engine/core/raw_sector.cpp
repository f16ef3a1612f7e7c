// Raw CD sector encoder (ECMA-130 Mode 1 and Mode 2 Form 1): the sector
// layout and the dispatch between the portable and the x86 kernels. The
// kernels (EDC and P/Q parity) live in raw_sector_portable.cpp and
// raw_sector_x86.cpp; raw_sector_internal.h explains the arithmetic.

#include "core/raw_sector.h"

#include "core/raw_sector_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tarvelin::raw {
namespace {

using detail::Kernels;

const Kernels* BestKernels()
{
    static const Kernels* const best = [] {
        const Kernels* x86 = detail::X86Kernels(true);
        return x86 != nullptr ? x86 : &detail::kPortableKernels;
    }();
    return best;
}

// The forced implementation, or null for the best one.
std::atomic<const Kernels*> gForced{nullptr};

const Kernels& ActiveKernels()
{
    const Kernels* forced = gForced.load(std::memory_order_relaxed);
    return forced != nullptr ? *forced : *BestKernels();
}

std::uint32_t GetLittleEndian32(const std::uint8_t* in)
{
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
}

void PutLittleEndian32(std::uint32_t value, std::uint8_t* out)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint8_t ToBcd(std::uint32_t value)
{
    const std::uint32_t low = value & 0xFFU;
    return static_cast<std::uint8_t>((low / 10) * 16 + low % 10);
}

void WriteSyncAndHeader(std::uint32_t lba, std::uint8_t mode, std::uint8_t* out)
{
    std::memcpy(out, kSyncPattern, sizeof kSyncPattern);
    EncodeAddress(lba, out + 12);
    out[15] = mode;
}

// Mode 1: sync, header, data at 16, EDC over 0..2063 at 2064, eight zero
// bytes at 2068, then P and Q.
void EncodeMode1With(const Kernels& kernels, const std::uint8_t* userData, std::uint32_t lba, std::uint8_t* out)
{
    WriteSyncAndHeader(lba, 1, out);
    std::memcpy(out + kMode1DataOffset, userData, kUserDataSize);
    PutLittleEndian32(kernels.edc(out, 2064, 0), out + 2064);
    std::memset(out + 2068, 0, 8);
    kernels.parity(out);
}

// Mode 2 Form 1: sync, header, subheader at 16, data at 24, EDC over
// 16..2071 at 2072; P and Q as if the header bytes 12..15 were zero.
void EncodeMode2Form1With(const Kernels& kernels, const std::uint8_t* userData, std::uint32_t lba,
                          const std::uint8_t* subheader, std::uint8_t* out)
{
    std::memcpy(out, kSyncPattern, sizeof kSyncPattern);
    std::memset(out + 12, 0, 4);
    std::memcpy(out + 16, subheader != nullptr ? subheader : kForm1DataSubheader, 8);
    std::memcpy(out + kMode2Form1DataOffset, userData, kUserDataSize);
    PutLittleEndian32(kernels.edc(out + 16, 2056, 0), out + 2072);
    kernels.parity(out);
    EncodeAddress(lba, out + 12);
    out[15] = 2;
}

} // namespace

void EncodeAddress(std::uint32_t lba, std::uint8_t out[3])
{
    const std::uint32_t address = lba + kLeadInSectors; // modulo 2^32, like every sector number
    const std::uint32_t seconds = address / 75;
    out[0] = ToBcd(seconds / 60);
    out[1] = ToBcd(seconds % 60);
    out[2] = ToBcd(address % 75);
}

bool DecodeAddress(const std::uint8_t in[3], std::uint32_t& lba)
{
    std::uint32_t values[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::uint32_t high = in[i] >> 4;
        const std::uint32_t low = in[i] & 0x0F;
        if (high > 9 || low > 9) {
            return false;
        }
        values[i] = high * 10 + low;
    }
    if (values[1] >= 60 || values[2] >= 75) {
        return false;
    }
    const std::uint32_t address = (values[0] * 60 + values[1]) * 75 + values[2];
    if (address < kLeadInSectors) {
        return false;
    }
    lba = address - kLeadInSectors;
    return true;
}

void EncodeMode1(const std::uint8_t* userData, std::uint32_t lba, std::uint8_t* out)
{
    EncodeMode1With(ActiveKernels(), userData, lba, out);
}

void EncodeMode1Sectors(const std::uint8_t* userData, std::size_t count, std::uint32_t firstLba, std::uint8_t* out)
{
    const Kernels& kernels = ActiveKernels();
    for (std::size_t i = 0; i < count; ++i) {
        EncodeMode1With(kernels, userData + i * kUserDataSize, firstLba + static_cast<std::uint32_t>(i),
                        out + i * kSectorSize);
    }
}

void EncodeMode2Form1(const std::uint8_t* userData, std::uint32_t lba, const std::uint8_t* subheader,
                      std::uint8_t* out)
{
    EncodeMode2Form1With(ActiveKernels(), userData, lba, subheader, out);
}

void EncodeMode2Form1Sectors(const std::uint8_t* userData, std::size_t count, std::uint32_t firstLba,
                             const std::uint8_t* subheader, std::uint8_t* out)
{
    const Kernels& kernels = ActiveKernels();
    for (std::size_t i = 0; i < count; ++i) {
        EncodeMode2Form1With(kernels, userData + i * kUserDataSize, firstLba + static_cast<std::uint32_t>(i),
                             subheader, out + i * kSectorSize);
    }
}

std::uint32_t ComputeEdc(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    return ActiveKernels().edc(data, size, crc);
}

void ComputeParity(std::uint8_t* sector) { ActiveKernels().parity(sector); }

SectorCheck CheckSector(const std::uint8_t* sector, std::uint8_t trackMode)
{
    if (std::memcmp(sector, kSyncPattern, sizeof kSyncPattern) != 0) {
        return SectorCheck::NoSync;
    }
    const std::uint8_t mode = sector[15];
    if (mode == 0) {
        const bool blank = std::all_of(sector + kMode1DataOffset, sector + kSectorSize,
                                       [](std::uint8_t byte) { return byte == 0; });
        return blank ? SectorCheck::Sound : SectorCheck::WrongMode;
    }
    if (mode != trackMode || (mode != 1 && mode != 2)) {
        return SectorCheck::WrongMode;
    }
    const Kernels& kernels = ActiveKernels();
    const auto matches = [&](std::size_t from, std::size_t edcOffset) {
        return kernels.edc(sector + from, edcOffset - from, 0) == GetLittleEndian32(sector + edcOffset);
    };
    if (mode == 1) {
        return matches(0, kMode1DataOffset + kUserDataSize) ? SectorCheck::Sound : SectorCheck::WrongEdc;
    }
    if ((sector[kMode2SubheaderOffset + 2] & kSubmodeForm2) != 0) {
        constexpr std::size_t kForm2EdcOffset = kMode2Form1DataOffset + kForm2DataSize;
        return GetLittleEndian32(sector + kForm2EdcOffset) == 0 || matches(kMode2SubheaderOffset, kForm2EdcOffset)
                   ? SectorCheck::Sound
                   : SectorCheck::WrongEdc;
    }
    return matches(kMode2SubheaderOffset, kMode2Form1DataOffset + kUserDataSize) ? SectorCheck::Sound
                                                                                : SectorCheck::WrongEdc;
}

bool ForceEncoderPath(EncoderPath path)
{
    const Kernels* forced = nullptr;
    switch (path) {
    case EncoderPath::Automatic:
        break;
    case EncoderPath::Portable:
        forced = &detail::kPortableKernels;
        break;
    case EncoderPath::X86Avx2Pclmul:
        forced = detail::X86Kernels(false);
        if (forced == nullptr) {
            return false;
        }
        break;
    }
    gForced.store(forced, std::memory_order_relaxed);
    return true;
}

const char* ActiveEncoderPath() { return ActiveKernels().name; }

} // namespace tarvelin::raw
