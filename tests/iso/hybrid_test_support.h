#pragma once

// Crafted system areas of hybrid images: an MBR and a GPT written byte by
// byte at their positions, without the engine's encoders, and raw reads of
// the fields the tests check.

#include "core/crc32.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvelin::test {

using Chs3 = std::array<std::uint8_t, 3>;

struct CraftedMbrEntry {
    std::uint8_t type = 0;
    std::uint32_t first = 0;
    std::uint32_t blocks = 0;
    Chs3 firstChs{};
    Chs3 lastChs{};
    bool operator==(const CraftedMbrEntry&) const = default;
};

struct CraftedGptEntry {
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
    bool operator==(const CraftedGptEntry&) const = default;
};

struct CraftedGpt {
    std::uint64_t alternate = 0;
    std::uint64_t firstUsable = 64;
    std::uint64_t lastUsable = 0;
    std::uint64_t entryLba = 2;
    std::uint32_t entryCount = 248; // 62 blocks, as the usual tools write
    std::vector<CraftedGptEntry> entries;
};

inline void PutLe(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint64_t GetLe(const std::vector<std::uint8_t>& bytes, std::size_t offset, int width)
{
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    }
    return value;
}

// Header size 92 at block `at` of bytes, sealed with its CRC.
inline void SealGptHeader(std::vector<std::uint8_t>& bytes, std::size_t at)
{
    PutLe(bytes, at + 16, 0, 4);
    PutLe(bytes, at + 16, Crc32(bytes.data() + at, 92), 4);
}

// 32 KiB: the MBR entries (0x55 0xAA behind them) and, when given, a GPT
// header in block 1 with its entry array.
inline std::vector<std::uint8_t> CraftSystemArea(const std::vector<CraftedMbrEntry>& mbr,
                                                 const std::optional<CraftedGpt>& gpt = std::nullopt)
{
    std::vector<std::uint8_t> area(32768, 0);
    area[510] = 0x55;
    area[511] = 0xAA;
    for (std::size_t i = 0; i < mbr.size(); ++i) {
        const std::size_t at = 446 + 16 * i;
        std::copy(mbr[i].firstChs.begin(), mbr[i].firstChs.end(), area.begin() + static_cast<long>(at) + 1);
        area[at + 4] = mbr[i].type;
        std::copy(mbr[i].lastChs.begin(), mbr[i].lastChs.end(), area.begin() + static_cast<long>(at) + 5);
        PutLe(area, at + 8, mbr[i].first, 4);
        PutLe(area, at + 12, mbr[i].blocks, 4);
    }
    if (!gpt) {
        return area;
    }
    std::vector<std::uint8_t> entries(std::size_t{gpt->entryCount} * 128, 0);
    for (std::size_t i = 0; i < gpt->entries.size(); ++i) {
        const std::size_t at = 128 * i;
        for (std::size_t b = 0; b < 32; ++b) {
            entries[at + b] = static_cast<std::uint8_t>(0xA0 + i + b); // type and partition GUIDs
        }
        PutLe(entries, at + 32, gpt->entries[i].first, 8);
        PutLe(entries, at + 40, gpt->entries[i].last, 8);
        entries[at + 56] = static_cast<std::uint8_t>('P' + i); // a name of one UTF-16 unit
    }
    if (gpt->entryLba * 512 + entries.size() <= area.size()) {
        std::copy(entries.begin(), entries.end(), area.begin() + static_cast<long>(gpt->entryLba * 512));
    }
    const std::uint8_t signature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
    std::copy(std::begin(signature), std::end(signature), area.begin() + 512);
    PutLe(area, 512 + 8, 0x00010000, 4);
    PutLe(area, 512 + 12, 92, 4);
    PutLe(area, 512 + 24, 1, 8);
    PutLe(area, 512 + 32, gpt->alternate, 8);
    PutLe(area, 512 + 40, gpt->firstUsable, 8);
    PutLe(area, 512 + 48, gpt->lastUsable, 8);
    for (std::size_t b = 0; b < 16; ++b) {
        area[512 + 56 + b] = static_cast<std::uint8_t>(0x40 + b); // disk GUID
    }
    PutLe(area, 512 + 72, gpt->entryLba, 8);
    PutLe(area, 512 + 80, gpt->entryCount, 4);
    PutLe(area, 512 + 84, 128, 4);
    PutLe(area, 512 + 88, Crc32(entries.data(), entries.size()), 4);
    SealGptHeader(area, 512);
    return area;
}

inline CraftedMbrEntry ReadMbrEntry(const std::vector<std::uint8_t>& area, std::size_t index)
{
    const std::size_t at = 446 + 16 * index;
    CraftedMbrEntry entry;
    std::copy_n(area.begin() + static_cast<long>(at) + 1, 3, entry.firstChs.begin());
    entry.type = area[at + 4];
    std::copy_n(area.begin() + static_cast<long>(at) + 5, 3, entry.lastChs.begin());
    entry.first = static_cast<std::uint32_t>(GetLe(area, at + 8, 4));
    entry.blocks = static_cast<std::uint32_t>(GetLe(area, at + 12, 4));
    return entry;
}

// Writes the crafted area over the system area of an image file.
inline void WriteSystemArea(const std::string& image, const std::vector<std::uint8_t>& area)
{
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    file.write(reinterpret_cast<const char*>(area.data()), static_cast<std::streamsize>(area.size()));
    if (!file) {
        throw std::runtime_error("cannot write the system area of " + image);
    }
}

} // namespace tarvelin::test
