// tarvelin-cli mkdir IMAGE PATH: a new empty folder in an image, saved in
// place. The folder above it must exist.

#include "command.h"
#include "image_session.h"

namespace tarvelin::cli {

namespace {

int RunMkdir(const Arguments& args);

const Command kMkdir{"mkdir", "IMAGE PATH", "make a folder in an image (saved in place)", RunMkdir};

int RunMkdir(const Arguments& args)
{
    if (args.size() != 2) {
        return UsageError(kMkdir, args.size() < 2 ? "an image and a folder path are needed" : "too many arguments");
    }
    std::string path = args[1];
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string above = slash == std::string::npos ? "/" : path.substr(0, slash);
    if (!IsSafeEntryName(name)) {
        return UsageError(kMkdir, "'" + args[1] + "' does not end in a folder name");
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(args[0]); status != kExitOk) {
        return status;
    }
    DirNode* parent = FindFolder(session, above);
    if (parent == nullptr) {
        return kExitFailure;
    }
    if (session.Edit().NewDirectory(name.c_str(), parent) == nullptr) {
        PrintError("cannot make '" + args[1] + "': " + session.Edit().GetLastError() + "; the image is unchanged");
        return kExitFailure;
    }
    return SaveEdits(session);
}

} // namespace

TARVELIN_CLI_COMMAND(kMkdir)

} // namespace tarvelin::cli
