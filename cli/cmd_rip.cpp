// tarvelin-cli rip DRIVE OUT.iso: an ISO image of the data track of the
// disc in a CD-ROM drive. DRIVE is a letter from `drives` (D, or D:) or the
// drive's device. Sectors that stay unreadable are asked about on the
// terminal (Abort, Retry, Ignore, and whether to ignore all); the ones
// not read are zero in the image and listed at the end. Ctrl+C stops the
// capture in order and removes the partial image.

#include "command.h"

#include "capture/cd_rip.h"
#include "capture/cd_rom.h"
#include "capture_watch.h"
#include "interrupt.h"
#include "iso/iso9660.h"
#include "platform/directory.h"
#include "platform/same_file.h"
#include "platform/file.h"
#include "capture/simulated_cdrom.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

int RunRip(const Arguments& args);

const Command kRip{"rip", "DRIVE OUT.iso", "make an ISO image of the data CD in a drive (D, D: or its device)",
                   RunRip};

bool SameDevice(const std::string& a, const std::string& b)
{
    return a == b || platform::SameFile(a, b);
}

// The letter of the drive the argument names; false with the reason when
// there is no such drive.
bool FindDrive(const std::string& argument, char& letter, std::string& error)
{
    const ComponentPtr<ICdRom> rom = MakeComponent(Rom1);
    if (rom == nullptr) {
        error = "out of memory";
        return false;
    }
    char letters[ICdRom::kMaxDrives] = {};
    const std::uint32_t count = rom->Initialize() ? rom->GetDriveLetters(letters) : 0;
    const bool isLetter = (argument.size() == 1 || (argument.size() == 2 && argument[1] == ':')) &&
                          std::isalpha(static_cast<unsigned char>(argument[0])) != 0;
    std::string known;
    letter = 0;
    for (std::uint32_t i = 0; i < count && letter == 0; ++i) {
        const std::string device = rom->GetDevicePath(letters[i]);
        if (isLetter ? letters[i] == std::toupper(static_cast<unsigned char>(argument[0]))
                     : SameDevice(argument, device)) {
            letter = letters[i];
        }
        known += std::string(known.empty() ? "" : ", ") + letters[i] + ": " + device;
    }
    if (letter != 0) {
        return true;
    }
    error = count == 0 ? "no CD-ROM drive found"
                       : "no CD-ROM drive '" + argument + "' (the drives: " + known + ")";
    return false;
}

// The drive gives the track as long as its table of contents says; a
// volume that says it is longer is cut short in the ISO, which the user
// is told (as a conversion of such an image tells).
void WarnOfAShortTrack(const std::string& output, std::uint32_t sectors)
{
    platform::File iso;
    std::vector<std::uint8_t> descriptor(2048);
    if (!iso.Open(output, platform::OpenMode::ReadOnly)
        || iso.ReadAt(std::uint64_t{16} * 2048, descriptor.data(), descriptor.size()) != descriptor.size()
        || !iso::HasDescriptorHeader(descriptor, iso::DescriptorType::Primary)) {
        return;
    }
    const std::uint32_t volume = iso::ReadBoth32(descriptor, iso::VolumeDescriptorOffset::kVolumeSpaceSize);
    if (volume > sectors) {
        PrintError("warning: the disc's track ends " + std::to_string(volume - sectors)
                   + " sectors before its volume does (the volume has " + std::to_string(volume)
                   + "): the image holds only the " + std::to_string(sectors) + " sectors of the track");
    }
}

int RunRip(const Arguments& args)
{
    std::vector<std::string> operands;
    for (const std::string& arg : args) {
        if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(kRip, "unknown option '" + arg + "'");
        }
        operands.push_back(arg);
    }
    if (operands.size() < 2) {
        return UsageError(kRip, operands.empty() ? "no drive named" : "no output file named");
    }
    if (operands.size() > 2) {
        return UsageError(kRip, "too many arguments");
    }
    const std::string& output = operands[1];
    std::string error;
    if (!capture::InstallSimulatedCdRomFromEnvironment(error)) {
        PrintError(error);
        return kExitFailure;
    }
    char letter = 0;
    if (!FindDrive(operands[0], letter, error)) {
        PrintError(error);
        return kExitFailure;
    }
    const std::string drive = std::string(1, letter) + ":";
    const std::string failurePrefix = "cannot rip drive " + std::string(1, letter);

    ComponentPtr<ICdRip> rip = MakeComponent(Rip1);
    if (rip == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    const InterruptGuard guard;
    bool prepared = false;
    {
        RefusalCollector refusals;
        // Run reports to its own callback: none is needed here.
        prepared = rip->Prepare(output.c_str(), letter, nullptr, nullptr);
        if (!prepared) {
            error = refusals.Messages();
        }
    }
    if (!prepared) {
        PrintError(failurePrefix + ": " + error);
        rip.reset();
        return kExitFailure;
    }
    const std::uint32_t sectors = rip->GetSectorCount();
    const CaptureOutcome outcome =
        RunCapture(*rip, "rip", [&rip](void* context, ProgressFn progress) { return rip->Run(context, progress); });
    const std::uint32_t form2 = rip->GetForm2SectorCount();
    rip.reset();
    const int status = ReportCapture(outcome, "rip", failurePrefix,
                                     output + ": " + std::to_string(sectors) + " sectors of 2048 bytes from " + drive);
    if (outcome.end == CaptureOutcome::End::Complete) {
        WarnOfAShortTrack(output, sectors);
        if (form2 != 0) {
            PrintError("warning: " + capture::DescribeForm2Sectors(form2));
        }
    }
    return status;
}

} // namespace

TARVELIN_CLI_COMMAND(kRip)

} // namespace tarvelin::cli
