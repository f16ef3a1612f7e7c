// tarvelin-cli floppy OUT.image [--device PATH]: a boot image file made of
// every sector of a diskette, from the first floppy drive or from the
// device or diskette image file named. Sectors that cannot be read are
// asked about on the terminal; the ones not read are zero in the image and
// listed at the end. Ctrl+C stops the copy in order and removes the
// partial image.

#include "command.h"

#include "capture/floppy.h"
#include "capture_watch.h"
#include "interrupt.h"
#include "platform/directory.h"
#include "platform/floppy_device.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

int RunFloppy(const Arguments& args);

const Command kFloppy{"floppy", "OUT.image [--device PATH]",
                      "copy a diskette (default the first floppy drive) into a boot image file", RunFloppy};

int RunFloppy(const Arguments& args)
{
    std::string output;
    std::string device;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--device") {
            if (i + 1 >= args.size()) {
                return UsageError(kFloppy, "--device needs a path");
            }
            device = args[++i];
        } else if (arg.rfind("--device=", 0) == 0) {
            device = arg.substr(9);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(kFloppy, "unknown option '" + arg + "'");
        } else if (output.empty()) {
            output = arg;
        } else {
            return UsageError(kFloppy, "too many arguments");
        }
    }
    if (output.empty()) {
        return UsageError(kFloppy, "no output file named");
    }
    if (device.empty()) {
        device = platform::FirstFloppyDevice();
    }

    ComponentPtr<IBootImageMaker> maker = MakeComponent(Make1);
    if (maker == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    maker->SetDevice(device.c_str());
    const bool existed = platform::PathExists(output);
    const InterruptGuard guard;
    // The refusals of Run are kept; its questions about bad sectors go on
    // to the terminal.
    RefusalCollector refusals;
    const CaptureOutcome outcome = RunCapture(*maker, "floppy", [&](void* context, ProgressFn progress) {
        return maker->Run(output.c_str(), context, progress);
    });
    refusals.Uninstall();
    maker.reset();
    const std::string error = refusals.Messages();
    if (!error.empty()) {
        // The target is created before the diskette is looked at; a new
        // one left empty by the refusal goes again.
        if (!existed) {
            platform::RemoveFile(output);
        }
        PrintError("cannot copy the diskette in " + device + ": " + error);
        return kExitFailure;
    }
    platform::FileInfo written;
    const bool sized = platform::GetFileInfo(output, written);
    return ReportCapture(outcome, "floppy copy", "cannot copy the diskette in " + device,
                         output + ": " + std::to_string(sized ? written.size : 0) + " bytes copied from " + device);
}

} // namespace

TARVELIN_CLI_COMMAND(kFloppy)

} // namespace tarvelin::cli
