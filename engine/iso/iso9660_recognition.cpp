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
