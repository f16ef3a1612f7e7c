// tarvelin-cli build OUT.iso SRC... [--label TEXT] [--no-rock] [--joliet-long] [--udf]:
// a new ISO 9660 image with Joliet and Rock Ridge names from files and
// folders on disk, with --udf also a UDF 2.01 file system (which alone
// lists files of 4 GiB or more). Each SRC becomes an
// entry of the image's root, a folder with everything below it.
//
// The build runs on the engine's worker and this thread waits for its end
// (IIsoBuild::Build). Ctrl+C is turned into a false answer to the next
// progress call, which stops the build; the builder then removes the
// partial image.

#include "command.h"
#include "interrupt.h"
#include "percent_bar.h"

#include "platform/directory.h"
#include "platform/path.h"
#include "writer/iso_build.h"

#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

int RunBuild(const Arguments& args);

const Command kBuild{"build", "OUT.iso SRC... [--label TEXT] [--no-rock] [--joliet-long] [--udf]",
                     "make an ISO 9660 + Joliet + Rock Ridge (+ UDF) image of files and folders", RunBuild};

constexpr const char* kUdfHint = "hint: --udf records files of 4 GiB or more in a UDF file system beside ISO 9660";

// What the build's progress calls (on its thread) share with the command.
struct BuildWatch {
    PercentBar bar{"building"};
    bool cancelled = false; // read once the build has ended
};

bool OnProgress(void* context, std::int32_t value)
{
    auto& watch = *static_cast<BuildWatch*>(context);
    if (InterruptGuard::Requested()) {
        watch.cancelled = true;
        return false;
    }
    watch.bar.Draw(value / 10);
    return true;
}

// Whether a file was left out for being 4 GiB or more: the error notices
// of a folder walk name the file's size.
bool HasTooLargeFile(IIsoBuild* builder)
{
    for (std::uint32_t i = 0; i < builder->GetNoticeCount(); ++i) {
        bool isError = false;
        const std::string text = builder->GetNotice(i, &isError);
        if (isError && text.find("4 GiB or more") != std::string::npos) {
            return true;
        }
    }
    return false;
}

int Fail(ComponentPtr<IIsoBuild>& builder, const std::string& message, const char* hint = nullptr)
{
    PrintError(message);
    if (hint != nullptr) {
        PrintError(hint);
    }
    builder.reset(); // removes the unfinished output
    return kExitFailure;
}

int RunBuild(const Arguments& args)
{
    std::string output;
    std::vector<std::string> sources;
    std::string label;
    bool haveLabel = false;
    std::uint32_t options = kBuildIsoAndJoliet;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--label") {
            if (i + 1 >= args.size()) {
                return UsageError(kBuild, "--label needs a text");
            }
            label = args[++i];
            haveLabel = true;
        } else if (!optionsEnded && arg.rfind("--label=", 0) == 0) {
            label = arg.substr(8);
            haveLabel = true;
        } else if (!optionsEnded && arg == "--no-rock") {
            options |= kBuildNoRockRidge;
        } else if (!optionsEnded && arg == "--joliet-long") {
            options |= kBuildJolietLong;
        } else if (!optionsEnded && arg == "--udf") {
            options |= kBuildUdf;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return UsageError(kBuild, "unknown option '" + arg + "'");
        } else if (output.empty()) {
            output = arg;
        } else {
            sources.push_back(arg);
        }
    }
    if (output.empty()) {
        return UsageError(kBuild, "no output image named");
    }
    if (sources.empty()) {
        return UsageError(kBuild, "no files or folders to put into the image");
    }

    ComponentPtr<IIsoBuild> builder = MakeComponent(NEW_ISOBUILDNEW);
    if (builder == nullptr) {
        PrintError("out of memory");
        return kExitFailure;
    }
    if (haveLabel && !builder->SetVolumeLabel(label.c_str())) {
        PrintError(builder->GetLastError());
        return kExitUsage;
    }
    if (!builder->SetOutput(output.c_str(), options)) {
        return Fail(builder, builder->GetLastError());
    }

    const InterruptGuard guard;
    for (const std::string& argument : sources) {
        // Absolute and without "." steps, so that "." adds the current folder under its own name.
        const std::string path = platform::AbsolutePath(argument);
        platform::FileInfo info;
        std::string error;
        if (!platform::GetFileInfo(path, info, &error)) {
            return Fail(builder, error);
        }
        MacroNode* added = info.isDirectory ? builder->AddDirectoryTree(path.c_str(), builder->GetRoot())
                                            : builder->AddFile(path.c_str(), builder->GetRoot());
        if (added == nullptr) {
            const bool tooLarge = !info.isDirectory && info.size > UINT32_MAX && (options & kBuildUdf) == 0;
            return Fail(builder, std::string("cannot add '") + argument + "': " + builder->GetLastError(),
                        tooLarge ? kUdfHint : nullptr);
        }
        if (InterruptGuard::Requested()) {
            return Fail(builder, "build cancelled; no image was written");
        }
    }
    PrintNotices(*builder);
    const std::uint32_t addNotices = builder->GetNoticeCount();
    if (builder->GetErrorNoticeCount() != 0) {
        return Fail(builder, "some of the sources cannot go into the image; no image was written",
                    (options & kBuildUdf) == 0 && HasTooLargeFile(builder.get()) ? kUdfHint : nullptr);
    }

    BuildWatch watch;
    const bool built = builder->Build(&watch, OnProgress);
    if (built) {
        watch.bar.Draw(100);
    }
    watch.bar.Finish();
    if (watch.cancelled) {
        return Fail(builder, "build cancelled; no image was written");
    }
    PrintNotices(*builder, addNotices);
    if (!built) {
        return Fail(builder, "cannot build '" + output + "': " + builder->GetLastError());
    }
    return kExitOk;
}

} // namespace

TARVELIN_CLI_COMMAND(kBuild)

} // namespace tarvelin::cli
