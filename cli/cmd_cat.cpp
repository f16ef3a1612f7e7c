// tarvelin-cli cat IMAGE PATH: the bytes of one file of an image on
// standard output, streamed in bounded chunks.

#include "command.h"
#include "image_session.h"
#include "udf_session.h"

#include "platform/console.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarvelin::cli {

namespace {

constexpr std::uint32_t kChunkBytes = 1u << 20;

int RunCat(const Arguments& args);

const Command kCat{"cat", "IMAGE PATH", "write one file of an image to standard output", RunCat};

// Writes size bytes from read(offset, buffer, count) to standard output in
// chunks; false with the reason printed when reading or writing fails.
template <typename ReadFn>
bool StreamOut(std::uint64_t size, const std::string& path, ReadFn read)
{
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size)));
    platform::WriteStandardOutputAsBytes();
    for (std::uint64_t offset = 0; offset < size;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkBytes, size - offset));
        std::string problem;
        if (!read(offset, buffer.data(), count, &problem)) {
            PrintError("cannot read '" + PrintableName(path) + "': " + problem);
            return false;
        }
        if (std::fwrite(buffer.data(), 1, count, stdout) != count) {
            PrintError("cannot write to standard output");
            return false;
        }
        offset += count;
    }
    if (std::fflush(stdout) != 0) {
        PrintError("cannot write to standard output");
        return false;
    }
    return true;
}

// Only a file has bytes to write. A link, named pipe, device or socket has
// no data of its own (what an image stores for a link is its target's path):
// writing nothing, or that path, and reporting success would pass for a file.
// False with the reason printed.
bool IsFileToWrite(const ItemInfo& info, bool isRoot, const std::string& path)
{
    const std::string shown = "'" + PrintableName(path) + "'";
    if (isRoot || info.isDirectory) {
        PrintError(shown + " is a folder, not a file");
        return false;
    }
    if (info.IsSymlink()) {
        PrintError(shown + " is a symbolic link to '" + PrintableName(info.posix.linkTarget) + "', not a file");
        return false;
    }
    // The kinds extract makes no file for; a mode without a type is a file's.
    const std::uint32_t type = info.posix.known ? info.posix.mode & iso::kModeTypeMask : 0;
    const char* kind = type == iso::kModeFifo                                           ? "a named pipe"
                       : type == iso::kModeSocket                                       ? "a socket"
                       : type == iso::kModeCharDevice || type == iso::kModeBlockDevice ? "a device file"
                                                                                        : nullptr;
    if (kind != nullptr) {
        PrintError(shown + " is " + kind + ", not a file");
        return false;
    }
    return true;
}

int CatUdf(const Arguments& args, UdfSession& session)
{
    std::string problem;
    const std::int32_t index = session.Find(args[1], &problem);
    if (index < 0) {
        PrintError(PrintableName(problem) + " in '" + args[0] + "'");
        return kExitFailure;
    }
    const iso::udf::Node& node = session.Node(index);
    if (!IsFileToWrite(iso::udf::ItemInfoOf(node), index == 0, args[1])) {
        return kExitFailure;
    }
    const bool done = StreamOut(node.size, args[1], [&](std::uint64_t offset, std::uint8_t* buffer,
                                                        std::uint32_t count, std::string* why) {
        return session.Read(node, offset, buffer, count, why);
    });
    WarnOfDamagedSectors(session.Sectors(), args[0]);
    return done ? kExitOk : kExitFailure;
}

int RunCat(const Arguments& args)
{
    if (args.size() != 2) {
        return UsageError(kCat, args.size() < 2 ? "an image and a path are needed" : "too many arguments");
    }
    int status = kExitOk;
    ImageSession session;
    if (UdfSession udf; OpenChosenTree(udf, session, args[0], &status)) {
        return CatUdf(args, udf);
    }
    if (status != kExitOk) {
        return status;
    }
    std::string problem;
    DirNode* node = session.Find(args[1], &problem);
    if (node == nullptr) {
        PrintError(PrintableName(problem) + " in '" + args[0] + "'");
        return kExitFailure;
    }
    const ItemInfo info = session.Info(node);
    if (!IsFileToWrite(info, node == session.Root(), args[1])) {
        return kExitFailure;
    }
    const bool done = StreamOut(info.size, args[1], [&](std::uint64_t offset, std::uint8_t* buffer,
                                                        std::uint32_t count, std::string* why) {
        if (!session.Edit().ReadFileData(node, offset, buffer, count)) {
            *why = session.Edit().GetLastError();
            return false;
        }
        return true;
    });
    WarnOfDamagedSectors(session.Sectors(), args[0]);
    return done ? kExitOk : kExitFailure;
}

} // namespace

TARVELIN_CLI_COMMAND(kCat)

} // namespace tarvelin::cli
