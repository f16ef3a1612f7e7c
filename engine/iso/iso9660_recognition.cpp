// Recognising the structures of an image that is read: the descriptor set
// from sector 16, the Joliet descriptor, the El Torito boot image and a UDF
// recognition sequence behind the set. Every sector number taken from the
// image is checked against the image's sector count before it is read.

#include "iso/iso9660.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace tarvelin::iso {

namespace {

using SectorBuffer = std::array<std::uint8_t, kSectorSize>;

bool ReadInside(const SectorReader& read, std::uint32_t sectorCount, std::uint32_t sector, SectorBuffer& buffer)
{
    return sector < sectorCount && read && read(sector, buffer.data());
}

// A recognition sequence holds a handful of descriptors (BEA01, NSR, BOOT2,
// TEA01); a longer walk would only read through the image's data.
constexpr std::uint32_t kMaxExtendedAreaSectors = 16;
constexpr std::string_view kUdfNsrPrefix = "NSR0";

// The identifier of a volume structure descriptor (type 0, version 1), or
// nothing for any other sector.
std::optional<std::string_view> StructureIdentifier(const SectorBuffer& buffer)
{
    if (buffer[0] != 0 || buffer[6] != 1) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char*>(buffer.data() + 1), 5);
}

} // namespace

DescriptorSetInfo ScanDescriptorSet(const SectorReader& read, std::uint32_t sectorCount)
{
    DescriptorSetInfo info;
    SectorBuffer buffer{};
    for (std::uint32_t sector = kFirstDescriptorSector; ReadInside(read, sectorCount, sector, buffer); ++sector) {
        ++info.descriptorCount;
        if (sector == kFirstDescriptorSector) {
            info.hasPrimary = HasDescriptorHeader(buffer, DescriptorType::Primary);
        }
        if (sector == kBootRecordSector) {
            info.hasBootRecord = IsElToritoBootRecord(buffer);
        }
        if (buffer[0] == static_cast<std::uint8_t>(DescriptorType::Terminator)) {
            info.terminatorFound = true;
            break;
        }
        if (!info.enhancedRoot && buffer[0] == static_cast<std::uint8_t>(DescriptorType::Supplementary)
            && std::string_view(reinterpret_cast<const char*>(buffer.data() + 1), 5) == kStandardIdentifier
            && buffer[6] == kEnhancedDescriptorVersion) {
            info.enhancedRoot = ReadBoth32(buffer, kRootRecordOffset + kRecordExtentOffset);
        }
        if (!info.jolietSector && HasDescriptorHeader(buffer, DescriptorType::Supplementary)) {
            VolumeDescriptor candidate;
            candidate.type = DescriptorType::Supplementary;
            std::copy_n(buffer.begin() + VolumeDescriptorOffset::kEscapeSequences, candidate.escapeSequences.size(),
                        candidate.escapeSequences.begin());
            const JolietLevel level = JolietLevelOf(candidate);
            if (level != JolietLevel::None) {
                info.jolietSector = sector;
                info.jolietLevel = level;
            }
        }
    }
    // A boot record is looked for in sector 17 even when the set ended
    // before it (the rule is about sector 17, not about the set).
    if (info.descriptorCount < 2 && ReadInside(read, sectorCount, kBootRecordSector, buffer)) {
        info.hasBootRecord = IsElToritoBootRecord(buffer);
    }
    if (info.terminatorFound) {
        info.udfNsrVersion = UdfNsrVersionAt(read, sectorCount, kFirstDescriptorSector + info.descriptorCount);
    }
    return info;
}

std::uint8_t UdfNsrVersionAt(const SectorReader& read, std::uint32_t sectorCount, std::uint32_t sector)
{
    SectorBuffer buffer{};
    if (!ReadInside(read, sectorCount, sector, buffer) || StructureIdentifier(buffer) != kUdfBeginExtendedArea) {
        return 0;
    }
    for (std::uint32_t i = 1; i < kMaxExtendedAreaSectors && ReadInside(read, sectorCount, sector + i, buffer); ++i) {
        const std::optional<std::string_view> identifier = StructureIdentifier(buffer);
        // Each descriptor starts a block of the volume: with blocks larger
        // than a sector, blank sectors lie between them.
        if (!identifier && std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t byte) { return byte == 0; })) {
            continue;
        }
        if (!identifier || *identifier == kUdfTerminateExtendedArea) {
            break;
        }
        if (identifier->starts_with(kUdfNsrPrefix) && ((*identifier)[4] == '2' || (*identifier)[4] == '3')) {
            return static_cast<std::uint8_t>((*identifier)[4] - '0');
        }
    }
    return 0;
}

std::optional<VolumeDescriptor> ReadVolumeDescriptor(const SectorReader& read, std::uint32_t sectorCount,
                                                     std::uint32_t sector, DecodeReport* report)
{
    SectorBuffer buffer{};
    if (!ReadInside(read, sectorCount, sector, buffer)) {
        if (report != nullptr) {
            report->problem = "volume descriptor: sector outside the image or unreadable";
        }
        return std::nullopt;
    }
    return DecodeVolumeDescriptor(buffer, report);
}

std::optional<BootInfo> ReadBootInfo(const SectorReader& read, std::uint32_t sectorCount)
{
    SectorBuffer buffer{};
    if (!ReadInside(read, sectorCount, kBootRecordSector, buffer) || !IsElToritoBootRecord(buffer)) {
        return std::nullopt;
    }
    BootInfo info;
    info.catalogSector = ReadLe32(buffer, BootRecordOffset::kCatalogSector);
    if (!ReadInside(read, sectorCount, info.catalogSector, buffer)) {
        return std::nullopt;
    }
    info.imageSector = ReadLe32(buffer, BootCatalogOffset::kLoadRba);
    info.mediaType = buffer[BootCatalogOffset::kMediaType];
    info.loadSectorCount = ReadLe16(buffer, BootCatalogOffset::kSectorCount);
    info.catalogValid = DecodeBootCatalog(buffer).has_value();
    if (info.imageSector >= sectorCount) {
        return std::nullopt;
    }
    return info;
}

} // namespace tarvelin::iso
