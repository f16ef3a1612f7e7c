// tarvelin-cli ls IMAGE [PATH] [-R] [-l]: the names of an image's tree as
// the tree holds them (Joliet names where the image has them).

#include "command.h"
#include "operations.h"

#include <cinttypes>
#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

bool PrintEntry(ImageSession& session, DirNode* node, const ItemInfo& info, const std::string& path,
                const ListOptions& options, std::FILE* out)
{
    const std::string shown = PrintableName(path) + (info.isDirectory ? "/" : "");
    if (!options.longFormat) {
        return std::fprintf(out, "%s\n", shown.c_str()) >= 0;
    }
    return std::fprintf(out, "%12" PRIu64 "  %s  %10" PRIu32 "  %s\n", info.size, FormatLocalDate(info.date).c_str(),
                        session.Extent(node), shown.c_str())
        >= 0;
}

int RunLs(const Arguments& args);

const Command kLs{"ls", "IMAGE [PATH] [-R] [-l]", "list a folder of an image (-R: all below, -l: size, date, extent)",
                  RunLs};

int RunLs(const Arguments& args)
{
    std::vector<std::string> words;
    ListOptions options;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            for (std::size_t i = 1; i < arg.size(); ++i) {
                if (arg[i] == 'R') {
                    options.recursive = true;
                } else if (arg[i] == 'l') {
                    options.longFormat = true;
                } else {
                    return UsageError(kLs, "unknown option '" + arg + "'");
                }
            }
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        return UsageError(kLs, "no image named");
    }
    if (words.size() > 2) {
        return UsageError(kLs, "more than one path given");
    }

    ImageSession session;
    if (const int status = session.Open(words[0]); status != kExitOk) {
        return status;
    }
    std::string problem;
    DirNode* node = session.Find(words.size() == 2 ? words[1] : "/", &problem);
    if (node == nullptr) {
        PrintError(PrintableName(problem) + " in '" + words[0] + "'");
        return kExitFailure;
    }
    if (!ListEntries(session, node, options, stdout) || std::fflush(stdout) != 0) {
        PrintError("cannot write the listing to standard output");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

bool ListEntries(ImageSession& session, DirNode* node, const ListOptions& options, std::FILE* out)
{
    if (node != session.Root()) {
        const ItemInfo info = session.Info(node);
        if (!info.isDirectory) {
            return PrintEntry(session, node, info, info.name, options, out);
        }
    }
    // Depth first in the tree's order, each folder followed by what it
    // holds; one frame per open folder, so the walk is linear in the entries.
    struct Frame {
        DirNode* next;
        std::string prefix;
    };
    IIsoEdit& edit = session.Edit();
    std::vector<Frame> frames{{edit.GetFirstChild(node), ""}};
    bool written = true;
    while (!frames.empty()) {
        DirNode* child = frames.back().next;
        if (child == nullptr) {
            frames.pop_back();
            continue;
        }
        frames.back().next = edit.GetNextSibling(child);
        const ItemInfo info = session.Info(child);
        std::string path = frames.back().prefix + info.name;
        written = PrintEntry(session, child, info, path, options, out) && written;
        if (info.isDirectory && options.recursive) {
            frames.push_back({edit.GetFirstChild(child), path + "/"});
        }
    }
    return written && std::ferror(out) == 0;
}

TARVELIN_CLI_COMMAND(kLs)

} // namespace tarvelin::cli
