// tarvelin-cli compact IMAGE [-o OUT]: moves every file of an image down
// over the free space inside its volume and cuts the file behind the last
// one; in place under the undo journal, or into a copy with -o (the image
// itself is then only read).

#include "command.h"
#include "image_session.h"

#include "platform/directory.h"
#include "platform/file.h"

#include <cinttypes>
#include <cstdio>

namespace tarvelin::cli {

namespace {

int RunCompact(const Arguments& args);

const Command kCompact{"compact", "IMAGE [-o OUT]",
                       "give an image's free space back: files moved down, the file cut (in place, or into OUT)",
                       RunCompact};

// Copies the image file to a new file of that name.
bool CopyImage(const std::string& from, const std::string& to, std::string& error)
{
    platform::File source;
    platform::File target;
    std::uint64_t length = 0;
    std::uint64_t copied = 0;
    if (!source.Open(from, platform::OpenMode::ReadShared) || !source.Length(length)) {
        error = "cannot read '" + from + "': " + source.LastError();
        return false;
    }
    if (!target.Open(to, platform::OpenMode::CreateNew)) {
        error = "cannot create '" + to + "': " + target.LastError();
        return false;
    }
    if (!target.CopyFrom(source, length, copied) || copied != length || !target.Flush()) {
        error = "cannot copy '" + from + "' to '" + to + "': " +
                (target.LastError().empty() ? source.LastError() : target.LastError());
        target.Close();
        platform::RemoveFile(to);
        return false;
    }
    return true;
}

int RunCompact(const Arguments& args)
{
    std::string image;
    std::string output;
    for (std::size_t index = 0; index < args.size(); ++index) {
        if (args[index] == "-o" && index + 1 < args.size()) {
            output = args[++index];
        } else if (args[index] == "-o") {
            return UsageError(kCompact, "-o needs the name of the new image");
        } else if (image.empty()) {
            image = args[index];
        } else {
            return UsageError(kCompact, "too many arguments");
        }
    }
    if (image.empty()) {
        return UsageError(kCompact, "no image named");
    }
    std::string error;
    if (!output.empty()) {
        if (!CopyImage(image, output, error)) {
            PrintError(error);
            return kExitFailure;
        }
    }
    const std::string target = output.empty() ? image : output;
    int status = kExitFailure;
    {
        ImageSession session;
        status = session.Open(target);
        if (status == kExitOk) {
            const FreeSpaceInfo before = session.Edit().GetFreeSpace();
            if (!before.known) {
                PrintError("cannot compact '" + target + "': its free space cannot be told (" + before.why + ")");
                status = kExitFailure;
            } else {
                session.Edit().CompactNextSave();
                status = SaveEdits(session);
                if (status == kExitOk) {
                    const FreeSpaceInfo after = session.Edit().GetFreeSpace();
                    std::fprintf(stderr, "compacted: %" PRIu32 " sectors before, %" PRIu32 " now (%" PRIu64
                                         " free inside the volume)\n",
                                 before.volumeSectors, after.volumeSectors, after.freeSectors);
                }
            }
        }
    }
    if (status != kExitOk && !output.empty()) {
        platform::RemoveFile(output);
    }
    return status;
}

} // namespace

TARVELIN_CLI_COMMAND(kCompact)

} // namespace tarvelin::cli
