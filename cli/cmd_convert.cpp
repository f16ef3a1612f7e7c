// tarvelin-cli bin2iso SRC OUT.iso and iso2bin SRC.iso OUT.bin: the two
// conversions, with a progress bar when standard error is a terminal.
// Ctrl+C stops a conversion cleanly: the engine removes the partial output.

#include "command.h"
#include "interrupt.h"
#include "percent_bar.h"

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"
#include "platform/directory.h"

#include <cinttypes>
#include <cstdio>

namespace tarvelin::cli {

namespace {

// The conversions' progress callback: the bar, and a false answer once
// Ctrl+C was pressed, so that the conversion stops and removes its output
// instead of the process ending with a partial file left behind.
struct ConvertWatch {
    PercentBar bar;

    static bool Report(void* context, std::int32_t value)
    {
        auto* watch = static_cast<ConvertWatch*>(context);
        if (value >= 0 && value <= 100) {
            watch->bar.Draw(value);
        } else {
            watch->bar.Finish();
        }
        return !InterruptGuard::Requested();
    }
};

int OpenFailure(ImageOpenError error, const char* reason)
{
    PrintError(reason);
    return error == ImageOpenError::NoVolume ? kExitNotAnImage : kExitFailure;
}

// Said before the conversion starts, so that it stands above the bar.
void WarnOfSource(const char* warning)
{
    if (*warning != '\0') {
        PrintError(std::string("warning: ") + warning);
    }
}

// What the conversion added to the source's warning (the damaged sectors it
// read), said once it is over; before is what was said before it.
void WarnOfConverted(const std::string& before, const std::string& after)
{
    if (after.size() > before.size()) {
        WarnOfSource(after.c_str() + (before.empty() ? 0 : before.size() + 2));
    }
}

int RunBin2Iso(const Arguments& args);
int RunIso2Bin(const Arguments& args);

const Command kBin2Iso{"bin2iso", "SRC OUT.iso", "convert an image of any layout (or its CUE sheet) to ISO",
                       RunBin2Iso};
const Command kIso2Bin{"iso2bin", "SRC.iso OUT.bin", "convert an ISO to raw Mode 1 sectors and a CUE sheet",
                       RunIso2Bin};

int CheckArguments(const Command& command, const Arguments& args)
{
    if (args.size() < 2) {
        return UsageError(command, args.empty() ? "no source image named" : "no output file named");
    }
    if (args.size() > 2) {
        return UsageError(command, "too many arguments");
    }
    return kExitOk;
}

int RunBin2Iso(const Arguments& args)
{
    if (const int status = CheckArguments(kBin2Iso, args); status != kExitOk) {
        return status;
    }
    const ComponentPtr<IBin2Iso> converter = MakeComponent(Bin2ISO1);
    if (converter == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    int status = kExitOk;
    if (!converter->OpenSource(args[0].c_str())) {
        status = OpenFailure(converter->GetOpenError(), converter->GetLastError());
    } else if (!converter->OpenTarget(args[1].c_str())) {
        PrintError(converter->GetLastError());
        status = kExitFailure;
    } else {
        const std::string warned = converter->GetSourceWarning();
        WarnOfSource(warned.c_str());
        const InterruptGuard guard;
        ConvertWatch watch{PercentBar("bin2iso")};
        if (converter->Convert(&watch, ConvertWatch::Report)) {
            WarnOfConverted(warned, converter->GetSourceWarning());
            // Not into the image itself where that went to standard output.
            platform::FileInfo info;
            const bool special = platform::GetFileInfo(args[1], info) && info.isSpecial;
            std::fprintf(special ? stderr : stdout, "%s: %" PRIu32 " sectors of 2048 bytes\n", args[1].c_str(),
                         converter->GetSectorCount());
        } else {
            PrintError(converter->GetLastError());
            status = kExitFailure;
        }
    }
    return status;
}

int RunIso2Bin(const Arguments& args)
{
    if (const int status = CheckArguments(kIso2Bin, args); status != kExitOk) {
        return status;
    }
    const ComponentPtr<IIso2Bin> converter = MakeComponent(NEW_ISO2BIN1);
    if (converter == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    int status = kExitOk;
    if (!converter->OpenSource(args[0].c_str())) {
        status = OpenFailure(converter->GetOpenError(), converter->GetLastError());
    } else if (!converter->OpenTarget(args[1].c_str())) {
        PrintError(converter->GetLastError());
        status = kExitFailure;
    } else {
        WarnOfSource(converter->GetSourceWarning());
        const InterruptGuard guard;
        ConvertWatch watch{PercentBar("iso2bin")};
        if (!converter->Start(&watch, ConvertWatch::Report)) {
            PrintError(converter->GetLastError());
            status = kExitFailure;
        } else if (converter->Wait()) {
            std::printf("%s: %" PRIu32 " raw sectors of 2352 bytes; CUE sheet %s\n", args[1].c_str(),
                        converter->GetSectorCount(), CueSheetPathFor(args[1]).c_str());
        } else {
            PrintError(converter->GetLastError());
            status = kExitFailure;
        }
    }
    return status;
}

} // namespace

TARVELIN_CLI_COMMAND(kBin2Iso)
TARVELIN_CLI_COMMAND(kIso2Bin)

} // namespace tarvelin::cli
