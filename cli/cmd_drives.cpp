// tarvelin-cli drives: the CD-ROM drives, one per line: the letter that rip
// takes, the device, and the vendor and model the drive gives in its
// INQUIRY answer.

#include "command.h"

#include "capture/cd_rom.h"
#include "capture/simulated_cdrom.h"

#include <cstdio>
#include <string>

namespace tarvelin::cli {

namespace {

int RunDrives(const Arguments& args);

const Command kDrives{"drives", "", "list the CD-ROM drives: letter, device, vendor and model", RunDrives};

int RunDrives(const Arguments& args)
{
    if (!args.empty()) {
        return UsageError(kDrives, "drives takes no arguments");
    }
    std::string error;
    if (!capture::InstallSimulatedCdRomFromEnvironment(error)) {
        PrintError(error);
        return kExitFailure;
    }
    const ComponentPtr<ICdRom> rom = MakeComponent(Rom1);
    if (rom == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    char letters[ICdRom::kMaxDrives] = {};
    const std::uint32_t count = rom->Initialize() ? rom->GetDriveLetters(letters) : 0;
    if (count == 0) {
        PrintError("no CD-ROM drive found");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        char model[64] = {};
        if (!rom->Inquire(letters[i], model, sizeof model)) {
            std::snprintf(model, sizeof model, "(no answer to INQUIRY)");
        }
        std::printf("%c: %s %s\n", letters[i], rom->GetDevicePath(letters[i]), model);
    }
    return kExitOk;
}

} // namespace

TARVELIN_CLI_COMMAND(kDrives)

} // namespace tarvelin::cli
