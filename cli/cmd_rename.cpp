// tarvelin-cli rename IMAGE PATH NEWNAME: an entry of an image renamed in
// its folder, saved in place.

#include "command.h"
#include "image_session.h"

namespace tarvelin::cli {

namespace {

int RunRename(const Arguments& args);

const Command kRename{"rename", "IMAGE PATH NEWNAME", "rename a file or folder of an image (saved in place)",
                      RunRename};

int RunRename(const Arguments& args)
{
    if (args.size() != 3) {
        return UsageError(kRename, args.size() < 3 ? "an image, an entry and a new name are needed"
                                                   : "too many arguments");
    }
    const std::string& newName = args[2];
    if (!IsSafeEntryName(newName)) {
        return UsageError(kRename, "'" + newName + "' is not a name (no '/', not '.' or '..')");
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(args[0]); status != kExitOk) {
        return status;
    }
    std::string problem;
    DirNode* node = session.Find(args[1], &problem);
    if (node == nullptr) {
        PrintError(problem + "; the image is unchanged");
        return kExitFailure;
    }
    if (node == session.Root()) {
        PrintError("the root folder has no name to change; the image is unchanged");
        return kExitFailure;
    }
    if (!session.Edit().Rename(newName.c_str(), node)) {
        PrintError("cannot rename '" + args[1] + "': " + session.Edit().GetLastError() + "; the image is unchanged");
        return kExitFailure;
    }
    return SaveEdits(session);
}

} // namespace

TARVELIN_CLI_COMMAND(kRename)

} // namespace tarvelin::cli
