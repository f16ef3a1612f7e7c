#include "iso/mac_volume.h"

#include "iso/hybrid_tables.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace tarvelin::iso {

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::uint64_t kHeaderOffset = 1024;
// More entries than any tool writes; a map claiming more is read this far.
constexpr std::uint32_t kMostMapEntries = 64;

using Block = std::array<std::uint8_t, kBlock>;

// The 512 bytes at a byte offset that is a multiple of 512.
std::optional<Block> ReadBlock(const SectorReader& read, std::uint32_t sectorCount, std::uint64_t offset)
{
    const std::uint64_t sector = offset / kSectorSize;
    if (offset % kBlock != 0 || sector >= sectorCount) {
        return std::nullopt;
    }
    std::array<std::uint8_t, kSectorSize> bytes{};
    if (!read(static_cast<std::uint32_t>(sector), bytes.data())) {
        return std::nullopt;
    }
    Block block{};
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset % kSectorSize), kBlock, block.begin());
    return block;
}

bool Signed(const Block& block, std::string_view signature)
{
    return std::equal(signature.begin(), signature.end(), block.begin());
}

// The volume whose header lies 1024 bytes behind first.
std::optional<MacVolume> VolumeAt(const SectorReader& read, std::uint32_t sectorCount, std::uint64_t first,
                                  std::uint32_t partition)
{
    const std::optional<Block> header = ReadBlock(read, sectorCount, first + kHeaderOffset);
    if (!header) {
        return std::nullopt;
    }
    const ConstBytes bytes(*header);
    MacVolume volume;
    volume.partition = partition;
    volume.first = first;
    if (Signed(*header, "BD")) {
        const std::uint16_t blocks = ReadBe16(bytes, 18);
        const std::uint32_t blockSize = ReadBe32(bytes, 20);
        const std::uint16_t start = ReadBe16(bytes, 28);
        if (blocks == 0 || blockSize == 0 || blockSize % kBlock != 0) {
            return std::nullopt;
        }
        volume.end = first + std::uint64_t{start} * kBlock + std::uint64_t{blocks} * blockSize;
        return volume;
    }
    const std::uint16_t version = ReadBe16(bytes, 2);
    if ((Signed(*header, "H+") && version == 4) || (Signed(*header, "HX") && version == 5)) {
        const std::uint32_t blockSize = ReadBe32(bytes, 40);
        const std::uint32_t blocks = ReadBe32(bytes, 44);
        if (blocks == 0 || blockSize < kBlock || (blockSize & (blockSize - 1)) != 0) {
            return std::nullopt;
        }
        volume.plus = true;
        volume.end = first + std::uint64_t{blocks} * blockSize;
        return volume;
    }
    return std::nullopt;
}

} // namespace

std::string MacVolume::Describe() const
{
    return std::string(plus ? "HFS+ volume for Macs" : "HFS volume for Macs")
        + (partition != 0 ? " (Apple partition " + std::to_string(partition) + ")" : "");
}

std::vector<MacVolume> FindMacVolumes(const SectorReader& read, std::uint32_t sectorCount)
{
    std::vector<MacVolume> volumes;
    const std::optional<Block> driver = ReadBlock(read, sectorCount, 0);
    if (!driver) {
        return volumes;
    }
    const std::uint64_t blockSize = hybrid::ApmBlockSize(*driver);
    if (blockSize == 0) {
        if (std::optional<MacVolume> volume = VolumeAt(read, sectorCount, 0, 0)) {
            volumes.push_back(*volume);
        }
        return volumes;
    }
    std::uint32_t entries = 1;
    for (std::uint32_t index = 1; index <= entries && index <= kMostMapEntries; ++index) {
        const std::optional<Block> block = ReadBlock(read, sectorCount, index * blockSize);
        const std::optional<hybrid::ApmEntry> entry = block ? hybrid::DecodeApmEntry(*block) : std::nullopt;
        if (!entry) {
            break;
        }
        entries = entry->mapEntries;
        if (entry->type != "Apple_HFS") {
            continue;
        }
        if (std::optional<MacVolume> volume =
                VolumeAt(read, sectorCount, std::uint64_t{entry->firstBlock} * blockSize, index)) {
            volumes.push_back(*volume);
        }
    }
    return volumes;
}

} // namespace tarvelin::iso
