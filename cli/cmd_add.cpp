// tarvelin-cli add IMAGE SRC... [--to PATH]: files and folders from disk
// into an image, saved in place. Each SRC goes into the folder PATH of the
// image (the root by default), a folder with everything below it; an entry
// of the same name there is replaced, and the command says so. What a
// folder's walk leaves out and what the save notices are printed as a
// build prints them: warnings alone still save, an error saves nothing.

#include "command.h"
#include "image_session.h"

#include "platform/directory.h"
#include "platform/path.h"

#include <cstdio>

namespace tarvelin::cli {

namespace {

int RunAdd(const Arguments& args);

const Command kAdd{"add", "IMAGE SRC... [--to PATH]", "add files and folders to an image (saved in place)", RunAdd};

int RunAdd(const Arguments& args)
{
    std::string image;
    std::string folder = "/";
    std::vector<std::string> sources;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--to") {
            if (i + 1 >= args.size()) {
                return UsageError(kAdd, "--to needs a folder of the image");
            }
            folder = args[++i];
        } else if (!optionsEnded && arg.rfind("--to=", 0) == 0) {
            folder = arg.substr(5);
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return UsageError(kAdd, "unknown option '" + arg + "'");
        } else if (image.empty()) {
            image = arg;
        } else {
            sources.push_back(arg);
        }
    }
    if (image.empty()) {
        return UsageError(kAdd, "no image named");
    }
    if (sources.empty()) {
        return UsageError(kAdd, "no files or folders to add");
    }

    ImageSession session;
    if (const int status = session.OpenForEditing(image); status != kExitOk) {
        return status;
    }
    DirNode* parent = FindFolder(session, folder);
    if (parent == nullptr) {
        return kExitFailure;
    }
    IIsoEdit& edit = session.Edit();
    for (const std::string& argument : sources) {
        // Absolute and without "." steps, so that "." adds the current folder under its own name.
        const std::string path = platform::AbsolutePath(argument);
        platform::FileInfo info;
        std::string error;
        if (!platform::GetFileInfo(path, info, &error)) {
            PrintError(error + "; the image is unchanged");
            return kExitFailure;
        }
        DirNode* added = info.isDirectory ? edit.AddDirectoryTree(path.c_str(), parent)
                                          : edit.AddFile(path.c_str(), parent);
        if (added == nullptr) {
            PrintNotices(edit);
            PrintError("cannot add '" + argument + "': " + edit.GetLastError() + "; the image is unchanged");
            return kExitFailure;
        }
        if (edit.WasReplaced()) {
            std::printf("replaced '%s'\n", PrintableName(JoinImagePath(folder, session.Info(added).name)).c_str());
        }
    }
    std::fflush(stdout);
    // What the folders' walks left out. Pipes, sockets and links back into
    // a folder hold nothing to lose; a file that cannot go in (or cannot be
    // read) would be lost, so nothing is saved, as a build makes no image.
    PrintNotices(edit);
    if (edit.GetErrorNoticeCount() != 0) {
        PrintError("some of the sources cannot go into the image; the image is unchanged");
        return kExitFailure;
    }
    edit.ClearNotices();
    return SaveEdits(session);
}

} // namespace

TARVELIN_CLI_COMMAND(kAdd)

} // namespace tarvelin::cli
