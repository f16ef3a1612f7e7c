// tarvelin-cli info IMAGE: how an image stores its sectors, which volume
// descriptors it has, whether a UDF file system rides along, and every entry
// of its boot catalog.

#include "command.h"
#include "image_session.h"
#include "udf_session.h"

#include "core/image_file.h"
#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "iso/rock_ridge.h"
#include "iso/udf.h"
#include "iso/volume_space.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::cli {

namespace {

const char* ProbeKind(LayoutProbe probe)
{
    switch (probe) {
    case LayoutProbe::PlainIso: return "plain ISO";
    case LayoutProbe::RawMode1: return "raw, Mode 1 sectors";
    case LayoutProbe::RawMode2: return "raw, Mode 2 Form 1 sectors";
    case LayoutProbe::Scanned: return "found by scan";
    case LayoutProbe::None: break;
    }
    return "none";
}

// By the low four bits of the byte: the bits above them are flags (an
// entry extension follows, the image holds drivers).
const char* MediaTypeName(std::uint8_t mediaType)
{
    switch (mediaType & 0x0F) {
    case 0: return "no emulation";
    case 1: return "1.2 MB diskette";
    case 2: return "1.44 MB diskette";
    case 3: return "2.88 MB diskette";
    case 4: return "hard disk";
    default: return "unknown";
    }
}

// The platform of the validation entry or of a section header.
std::string PlatformName(std::uint8_t platformId)
{
    switch (platformId) {
    case 0x00: return "80x86";
    case 0x01: return "PowerPC";
    case 0x02: return "Mac";
    case iso::kPlatformEfi: return "EFI";
    default: break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(platformId));
    return hex;
}

void PrintBootEntry(std::size_t number, const char* where, std::uint8_t platformId, const iso::BootEntry& entry)
{
    std::printf("boot entry %zu:%*s%s, %s, %s, %u x 512 bytes from sector %" PRIu32 ", %s\n", number,
                number < 10 ? 4 : 3, "", where, PlatformName(platformId).c_str(), MediaTypeName(entry.mediaType),
                static_cast<unsigned>(entry.sectorCount), entry.loadRba,
                entry.bootIndicator == iso::kBootable ? "bootable" : "not bootable");
}

// The default entry and every section entry, one line each.
void PrintBootEntries(const iso::SectorReader& read, std::uint32_t catalogSector)
{
    std::vector<std::uint8_t> sector(iso::kSectorSize);
    iso::DecodeReport report;
    std::optional<iso::BootCatalogSet> catalog;
    if (read(catalogSector, sector.data())) {
        catalog = iso::DecodeBootCatalogSet(sector, &report);
    }
    if (!catalog) {
        std::printf("boot entries:    unreadable (%s)\n",
                    report.problem != nullptr ? report.problem : "the catalog's sector cannot be read");
        return;
    }
    std::printf("boot entries:    %zu\n", iso::BootEntriesOf(*catalog).size());
    std::size_t number = 1;
    PrintBootEntry(number++, "default", catalog->platformId, catalog->defaultEntry);
    for (const iso::BootSection& section : catalog->sections) {
        for (const iso::BootEntry& entry : section.entries) {
            PrintBootEntry(number++, "section", section.platformId, entry);
        }
    }
}

// The UDF volume's revision, names and entries, or why it cannot be read.
void PrintUdfVolume(const iso::SectorReader& read, std::uint32_t sectorCount)
{
    std::string problem;
    const std::optional<iso::udf::Volume> volume = iso::udf::ReadVolume(read, sectorCount, &problem);
    if (!volume) {
        std::printf("udf volume:      unreadable (%s)\n", problem.c_str());
        return;
    }
    std::printf("udf revision:    %s\n", iso::udf::RevisionText(volume->revision).c_str());
    std::printf("udf volume id:   %s\n", PrintableName(volume->volumeIdentifier).c_str());
    std::printf("udf label:       %s\n", PrintableName(volume->logicalVolumeIdentifier).c_str());
    std::printf("udf entries:     %" PRIu32 " files, %" PRIu32 " folders\n", volume->fileCount, volume->folderCount);
    if (volume->usedMetadataMirror) {
        std::printf("udf metadata:    read from the mirror (the metadata file is damaged)\n");
    }
    if (const std::string damage = iso::udf::DescribeDamage(volume->report); !damage.empty()) {
        std::printf("udf damage:      %s\n", damage.c_str());
    }
}

void PrintDescriptors(IIsoSector* sectors)
{
    const std::uint32_t sectorCount = sectors->GetSectorCount();
    const iso::SectorReader read = [sectors](std::uint32_t sector, std::uint8_t* buffer) {
        return sectors->ReadSector(sector, buffer);
    };
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, sectorCount);
    std::printf("descriptors:     %" PRIu32 "%s\n", set.descriptorCount,
                set.terminatorFound ? "" : " (no terminator before the end of the image)");
    std::printf("primary:         %s\n", set.hasPrimary ? "yes" : "no");
    if (set.jolietSector) {
        std::printf("joliet:          yes, level %d (sector %" PRIu32 ")\n", static_cast<int>(set.jolietLevel),
                    *set.jolietSector);
    } else {
        std::printf("joliet:          no\n");
    }
    const iso::SuspVolumeInfo susp = iso::ReadSuspVolume(read, sectorCount);
    std::printf("rock ridge:      %s\n", susp.rockRidge ? "yes" : "no");
    if (set.HasUdf()) {
        std::printf("udf:             yes, NSR0%u\n", static_cast<unsigned>(set.udfNsrVersion));
        PrintUdfVolume(read, sectorCount);
    } else {
        std::printf("udf:             no\n");
    }
    std::printf("boot record:     %s\n", set.hasBootRecord ? "yes" : "no");
    if (!set.hasBootRecord) {
        return;
    }
    const std::optional<iso::BootInfo> boot = iso::ReadBootInfo(read, sectorCount);
    if (!boot) {
        std::printf("boot catalog:    damaged (it or its boot image lies outside the image)\n");
        return;
    }
    std::string damage;
    if (!boot->catalogValid) {
        // What the catalog's decoder refused, without its "boot catalog: ".
        std::vector<std::uint8_t> sector(iso::kSectorSize);
        iso::DecodeReport report;
        if (read(boot->catalogSector, sector.data())) {
            iso::DecodeBootCatalog(sector, &report);
        }
        std::string_view problem = report.problem != nullptr ? report.problem : "its sector cannot be read";
        if (const std::string_view prefix = "boot catalog: "; problem.starts_with(prefix)) {
            problem.remove_prefix(prefix.size());
        }
        damage = " (damaged: " + std::string(problem) + ")";
    }
    std::printf("boot catalog:    sector %" PRIu32 "%s\n", boot->catalogSector, damage.c_str());
    std::printf("boot media:      %u (%s)\n", static_cast<unsigned>(boot->mediaType), MediaTypeName(boot->mediaType));
    if (boot->catalogValid && boot->imageSector == 0) {
        std::printf("boot image:      none (the default entry is empty)\n");
    } else {
        std::printf("boot image:      sector %" PRIu32 "\n", boot->imageSector);
    }
    std::printf("boot load size:  %u %s of 512 bytes\n", static_cast<unsigned>(boot->loadSectorCount),
                boot->loadSectorCount == 1 ? "sector" : "sectors");
    if (boot->catalogValid) {
        PrintBootEntries(read, boot->catalogSector);
    }
}

int RunInfo(const Arguments& args);

// An image without an ISO 9660 volume: its UDF volume, when it is one of
// UDF alone.
int InfoOfUdfAlone(const std::string& imagePath)
{
    iso::udf::ImageSectors image;
    if (const int status = OpenUdfImage(image, imagePath); status != kExitOk) {
        return status;
    }
    std::printf("image:           %s\n", imagePath.c_str());
    std::printf("layout:          probe %" PRIu32 " (%s), UDF alone (no ISO 9660 volume)\n",
                static_cast<std::uint32_t>(image.Sectors()->GetLayoutProbe()),
                ProbeKind(image.Sectors()->GetLayoutProbe()));
    std::printf("logical sectors: %" PRIu32 "\n", image.SectorCount());
    std::printf("udf:             yes, NSR0%u\n",
                static_cast<unsigned>(iso::UdfNsrVersionAt(image.Reader(), image.SectorCount(),
                                                           iso::kFirstDescriptorSector)));
    PrintUdfVolume(image.Reader(), image.SectorCount());
    WarnOfDamagedSectors(image.Sectors(), imagePath);
    return kExitOk;
}

const Command kInfo{"info", "IMAGE", "show how an image stores its sectors, its descriptors and boot record",
                    RunInfo};

int RunInfo(const Arguments& args)
{
    if (args.size() != 1) {
        return UsageError(kInfo, args.empty() ? "no image named" : "too many arguments");
    }
    ComponentPtr<IIsoSector> sectors = MakeComponent(Sector1);
    if (sectors == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    if (!sectors->Open(args[0].c_str())) {
        const bool noVolume = sectors->GetOpenError() == ImageOpenError::NoVolume;
        if (!noVolume) {
            PrintError(sectors->GetLastError());
        }
        sectors.reset();
        return noVolume ? InfoOfUdfAlone(args[0]) : kExitFailure;
    }
    const ImageLayout layout = sectors->GetLayout();
    std::printf("image:           %s\n", args[0].c_str());
    std::printf("data file:       %s\n", sectors->GetFile()->GetPath());
    std::printf("layout:          probe %" PRIu32 " (%s)\n", static_cast<std::uint32_t>(sectors->GetLayoutProbe()),
                ProbeKind(sectors->GetLayoutProbe()));
    std::printf("base offset:     %" PRIu64 "\n", layout.baseOffset);
    std::printf("first sector:    %" PRIu32 "\n", layout.firstSector);
    std::printf("sector size:     %" PRIu32 "\n", layout.sectorSize);
    std::printf("data offset:     %" PRIu32 "\n", layout.dataOffset);
    std::printf("tail size:       %" PRIu32 "\n", layout.tailSize);
    if (layout.sessionStart != 0) {
        std::printf("session start:   %" PRIu32 " (the volume counts its sectors from the disc's start)\n",
                    layout.sessionStart);
    }
    std::printf("track mode:      %" PRIu32 "\n", sectors->GetTrackMode());
    std::printf("logical sectors: %" PRIu32 "\n", sectors->GetSectorCount());
    // A later session addressed from the disc's start is read, never saved.
    std::printf("access:          %s\n", sectors->IsReadOnly()       ? "read-only"
                                        : layout.sessionStart != 0 ? "read-only (a later session of the disc)"
                                                                    : "read-write");
    const iso::VolumeSpace space = iso::ScanVolumeSpace(*sectors);
    if (space.known) {
        const std::uint64_t free = space.Free().Count();
        std::printf("free space:      %" PRIu64 " sectors (%.1f MiB) in %zu pieces, of a volume of %" PRIu32
                    " sectors\n",
                    free, static_cast<double>(free) * 2048 / (1024.0 * 1024.0), space.Free().Runs().size(),
                    space.volumeSectors);
        // Where, when that is short to tell.
        const std::vector<iso::SectorRun> runs = space.Free().Runs();
        if (!runs.empty() && runs.size() <= 8) {
            std::printf("free pieces:    ");
            for (const iso::SectorRun& run : runs) {
                std::printf(" %" PRIu32 "-%" PRIu64, run.first, run.End() - 1);
            }
            std::printf("\n");
        }
        if (!space.macVolume.empty()) {
            const std::vector<iso::SectorRun> held = space.macHeld.Runs();
            std::printf("mac volume:      %s", space.macVolume.c_str());
            if (!held.empty()) {
                std::printf(", sectors %" PRIu32 "-%" PRIu64 " kept by saves", held.front().first,
                            held.back().End() - 1);
            }
            std::printf("\n");
        }
    } else {
        std::printf("free space:      unknown (%s)\n", space.why.c_str());
    }
    PrintDescriptors(sectors.get());
    WarnOfDamagedSectors(sectors.get(), args[0]);
    if (const std::string sheet = UnfollowedCueSheetWarning(args[0]); !sheet.empty()) {
        PrintError("warning: " + sheet);
    }
    return kExitOk;
}

} // namespace

TARVELIN_CLI_COMMAND(kInfo)

} // namespace tarvelin::cli
