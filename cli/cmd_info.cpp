// tarvelin-cli info IMAGE: how an image stores its sectors.

#include "command.h"

#include "core/image_file.h"
#include "core/iso_sector.h"

#include <cinttypes>
#include <cstdio>

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

int RunInfo(const Arguments& args);

const Command kInfo{"info", "IMAGE", "show how an image stores its sectors", RunInfo};

int RunInfo(const Arguments& args)
{
    if (args.size() != 1) {
        return UsageError(kInfo, args.empty() ? "no image named" : "too many arguments");
    }
    IIsoSector* sectors = Sector1();
    if (sectors == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    if (!sectors->Open(args[0].c_str())) {
        PrintError(sectors->GetLastError());
        const bool noVolume = sectors->GetOpenError() == ImageOpenError::NoVolume;
        DestroyComponent(sectors);
        return noVolume ? kExitNotAnImage : kExitFailure;
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
    std::printf("track mode:      %" PRIu32 "\n", sectors->GetTrackMode());
    std::printf("logical sectors: %" PRIu32 "\n", sectors->GetSectorCount());
    std::printf("access:          %s\n", sectors->IsReadOnly() ? "read-only" : "read-write");
    DestroyComponent(sectors);
    return kExitOk;
}

} // namespace

TARVELIN_CLI_COMMAND(kInfo)

} // namespace tarvelin::cli
