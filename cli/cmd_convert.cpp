// tarvelin-cli bin2iso SRC OUT.iso and iso2bin SRC.iso OUT.bin: the two
// conversions, with a progress bar when standard error is a terminal.
// Ctrl+C stops a conversion cleanly: the engine removes the partial output.

#include "command.h"

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"

#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace tarvelin::cli {

namespace {

std::atomic<bool> interrupted{false};

void StopOnInterrupt(int) { interrupted.store(true); }

// Ctrl+C asks the running conversion to stop instead of killing the process
// with a partial output left behind.
void CatchInterrupt()
{
    struct sigaction action {};
    action.sa_handler = StopOnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The bar on standard error; nothing when that is not a terminal. Called on
// whichever thread the conversion reports on, one report at a time.
struct ProgressBar {
    const char* label = "";
    bool onTerminal = false;
    int shown = -1;
    bool lineOpen = false;

    static bool Report(void* context, std::int32_t value)
    {
        auto* bar = static_cast<ProgressBar*>(context);
        if (value >= 0 && value <= 100) {
            bar->Draw(value);
        } else {
            bar->Finish();
        }
        return !interrupted.load();
    }

    void Draw(int percent)
    {
        if (!onTerminal || percent == shown) {
            return;
        }
        shown = percent;
        constexpr int kWidth = 40;
        char cells[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i) {
            cells[i] = i < filled ? '#' : '-';
        }
        cells[kWidth] = '\0';
        std::fprintf(stderr, "\r%s [%s] %3d%%", label, cells, percent);
        std::fflush(stderr);
        lineOpen = true;
    }

    void Finish()
    {
        if (lineOpen) {
            std::fputc('\n', stderr);
            lineOpen = false;
        }
    }
};

int OpenFailure(ImageOpenError error, const char* reason)
{
    PrintError(reason);
    return error == ImageOpenError::NoVolume ? kExitNotAnImage : kExitFailure;
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
    IBin2Iso* converter = Bin2ISO1();
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
        CatchInterrupt();
        ProgressBar bar{"bin2iso", ::isatty(STDERR_FILENO) != 0};
        if (converter->Convert(&bar, ProgressBar::Report)) {
            std::printf("%s: %" PRIu32 " sectors of 2048 bytes\n", args[1].c_str(), converter->GetSectorCount());
        } else {
            PrintError(converter->GetLastError());
            status = kExitFailure;
        }
    }
    DestroyComponent(converter);
    return status;
}

int RunIso2Bin(const Arguments& args)
{
    if (const int status = CheckArguments(kIso2Bin, args); status != kExitOk) {
        return status;
    }
    IIso2Bin* converter = NEW_ISO2BIN1();
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
        CatchInterrupt();
        ProgressBar bar{"iso2bin", ::isatty(STDERR_FILENO) != 0};
        if (!converter->Start(&bar, ProgressBar::Report)) {
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
    DestroyComponent(converter);
    return status;
}

} // namespace

TARVELIN_CLI_COMMAND(kBin2Iso)
TARVELIN_CLI_COMMAND(kIso2Bin)

} // namespace tarvelin::cli
