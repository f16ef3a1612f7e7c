// tarvelin-cli cat IMAGE PATH: the bytes of one file of an image on
// standard output, streamed in bounded chunks.

#include "command.h"
#include "image_session.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarvelin::cli {

namespace {

constexpr std::uint32_t kChunkBytes = 1u << 20;

int RunCat(const Arguments& args);

const Command kCat{"cat", "IMAGE PATH", "write one file of an image to standard output", RunCat};

int RunCat(const Arguments& args)
{
    if (args.size() != 2) {
        return UsageError(kCat, args.size() < 2 ? "an image and a path are needed" : "too many arguments");
    }
    ImageSession session;
    if (const int status = session.Open(args[0]); status != kExitOk) {
        return status;
    }
    std::string problem;
    DirNode* node = session.Find(args[1], &problem);
    if (node == nullptr) {
        PrintError(PrintableName(problem) + " in '" + args[0] + "'");
        return kExitFailure;
    }
    const ItemInfo info = session.Info(node);
    if (node == session.Root() || info.isDirectory) {
        PrintError("'" + PrintableName(args[1]) + "' is a folder, not a file");
        return kExitFailure;
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, info.size)));
    for (std::uint64_t offset = 0; offset < info.size;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkBytes, info.size - offset));
        if (!session.Edit().ReadFileData(node, offset, buffer.data(), count)) {
            PrintError("cannot read '" + PrintableName(args[1]) + "': " + session.Edit().GetLastError());
            return kExitFailure;
        }
        if (std::fwrite(buffer.data(), 1, count, stdout) != count) {
            PrintError("cannot write to standard output");
            return kExitFailure;
        }
        offset += count;
    }
    if (std::fflush(stdout) != 0) {
        PrintError("cannot write to standard output");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

TARVELIN_CLI_COMMAND(kCat)

} // namespace tarvelin::cli
