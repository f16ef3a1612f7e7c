// tarvelin-cli compact IMAGE [-o OUT]: moves every file of an image down
// over the free space inside its volume and cuts the file behind the last
// one; in place under the undo journal, or into a copy with -o (the image
// itself is then only read).

#include "command.h"
#include "image_session.h"

#include "core/image_file.h"
#include "core/image_journal.h"
#include "core/iso_sector.h"
#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/same_file.h"
#include "platform/file.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

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
    if (!target.CopyFrom(source, length, copied) || copied != length) {
        error = "cannot copy '" + from + "': " + (target.LastError().empty() ? source.LastError() : target.LastError());
        return false;
    }
    return true;
}

// Compacts the image at path in place; the exit code.
int CompactInPlace(const std::string& path)
{
    ImageSession session;
    if (const int status = session.OpenForEditing(path); status != kExitOk) {
        return status;
    }
    const FreeSpaceInfo before = session.Edit().GetFreeSpace();
    if (!before.known) {
        PrintError("cannot compact '" + path + "': its free space cannot be told (" + before.why + ")");
        return kExitFailure;
    }
    session.Edit().CompactNextSave();
    const int status = SaveEdits(session);
    if (status == kExitOk && session.Edit().GetErrorNoticeCount() != 0) {
        return kExitFailure; // saved, but not compacted all the way (the notice says why)
    }
    if (status == kExitOk) {
        const FreeSpaceInfo after = session.Edit().GetFreeSpace();
        std::fprintf(stderr, "compacted: %" PRIu32 " sectors before, %" PRIu32 " now (%" PRIu64
                             " free inside the volume)\n",
                     before.volumeSectors, after.volumeSectors, after.freeSectors);
    }
    return status;
}

// A killed run leaves the undo file of its temporary copy beside it; once
// the copy itself is gone (removed as stale), the undo file belongs to
// nothing and goes too.
void RemoveOrphanedUndoFiles(const std::string& folder, const std::string& name)
{
    const std::string suffix = ImageJournal::UndoPathFor("");
    platform::DirectorySearch search;
    if (!search.Open(folder)) {
        return;
    }
    platform::FileInfo entry;
    std::vector<std::string> orphans;
    while (search.Next(entry)) {
        if (entry.isDirectory || !entry.name.ends_with(suffix)) {
            continue;
        }
        const std::string copy = entry.name.substr(0, entry.name.size() - suffix.size());
        if (platform::TemporaryNameProcess(copy, name) && !platform::PathExists(folder + "/" + copy)) {
            orphans.push_back(folder + "/" + entry.name);
        }
    }
    for (const std::string& orphan : orphans) {
        platform::RemoveFile(orphan);
    }
}

// The copy is made and compacted under a temporary name beside OUT, which
// it takes only once complete: a failed or killed run leaves no OUT.
int CompactInto(const std::string& image, const std::string& output)
{
    ComponentPtr<IIsoSector> probe = MakeComponent(Sector1);
    const bool opened = probe != nullptr && probe->Open(image.c_str());
    const std::string dataFile = opened ? probe->GetFile()->GetPath() : std::string();
    const std::string why = probe != nullptr ? probe->GetLastError() : "out of memory";
    probe.reset();
    if (!opened) {
        PrintError(why);
        return kExitFailure;
    }
    if (dataFile != image) {
        PrintError("'" + image + "' is a CUE sheet: name its data file ('" + dataFile + "') to compact it into a new "
                   "image");
        return kExitUsage;
    }
    platform::FileInfo outputFile;
    const bool outputExists = platform::GetFileInfo(output, outputFile);
    if (outputExists && platform::SameFile(output, image)) {
        PrintError("'" + output + "' is the image itself: leave out -o to compact it in place");
        return kExitUsage;
    }
    // The compacted copy takes OUT's name once complete; a device or pipe
    // of that name would be replaced by a plain file (as root, /dev/null
    // itself), so none is taken.
    if (outputExists && outputFile.isSpecial) {
        PrintError("'" + output + "' is a device, pipe or socket: compact writes a new image file; name one");
        return kExitUsage;
    }
    const std::size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
    platform::RemoveStaleTemporaries(folder, name);
    RemoveOrphanedUndoFiles(folder, name);
    const std::string temporary = platform::TemporaryPathFor(output);
    std::string error;
    int status = CopyImage(image, temporary, error) ? CompactInPlace(temporary) : kExitFailure;
    if (!error.empty()) {
        PrintError(error);
    }
    // An OUT that exists is replaced, as the other commands replace their outputs.
    if (status == kExitOk && !platform::RenameFile(temporary, output, true, &error)) {
        PrintError("cannot put the compacted image in place as '" + output + "': " + error);
        status = kExitFailure;
    }
    if (status != kExitOk) {
        // What was said of a save concerned the temporary copy.
        platform::RemoveFile(temporary);
        PrintError("'" + output + "' was not made; '" + image + "' is unchanged");
    }
    return status;
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
    return output.empty() ? CompactInPlace(image) : CompactInto(image, output);
}

} // namespace

TARVELIN_CLI_COMMAND(kCompact)

} // namespace tarvelin::cli
