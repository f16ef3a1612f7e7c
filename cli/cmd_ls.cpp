// tarvelin-cli ls IMAGE [PATH] [-R] [-l]: the names of an image's tree as
// the tree holds them (Joliet names where the image has them).

#include "command.h"
#include "operations.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

// Lines are put together in a buffer and written in large blocks: with tens
// of thousands of entries, formatted printing per line costs more than
// reading the whole tree.
class ListingWriter {
public:
    ListingWriter(const ListOptions& options, std::FILE* out)
        : options_(options), out_(out)
    {
    }

    void Entry(std::uint32_t extent, const ItemInfo& info, std::string_view path)
    {
        if (options_.longFormat) {
            if (info.posix.known) {
                Mode(info.posix.mode);
            }
            Number(info.size, 12, "");
            buffer_ += Date(info.date);
            Number(extent, 10, "  ");
        }
        AppendPrintableName(buffer_, path);
        if (options_.longFormat && info.IsSymlink()) {
            buffer_.append(" -> ");
            AppendPrintableName(buffer_, info.posix.linkTarget);
        }
        buffer_.append(info.isDirectory ? "/\n" : "\n");
        if (buffer_.size() >= kFlushBytes) {
            Flush();
        }
    }

    bool Finish()
    {
        Flush();
        return written_ && std::ferror(out_) == 0;
    }

private:
    static constexpr std::size_t kFlushBytes = 64 * 1024;

    // The value right-aligned in width columns, then the separator: one
    // append per field, as appending costs more than the digits.
    void Number(std::uint64_t value, std::size_t width, std::string_view separator)
    {
        constexpr std::size_t kDigits = 20; // the most a 64-bit value has
        constexpr std::size_t kSeparator = 4;
        char digits[kDigits];
        const auto [end, error] = std::to_chars(digits, digits + kDigits, value);
        const auto length = static_cast<std::size_t>(end - digits);
        const std::size_t pad = std::min(width, kDigits) > length ? std::min(width, kDigits) - length : 0;
        const std::size_t gap = std::min(separator.size(), kSeparator);
        char field[kDigits + kSeparator];
        std::memset(field, ' ', pad);
        std::memcpy(field + pad, digits, length);
        std::memcpy(field + pad + length, separator.data(), gap);
        buffer_.append(field, pad + length + gap);
    }

    // The mode as ls(1) shows it, "drwxr-xr-x", and a space: the type, then
    // read, write and execute for owner, group and others, with s/S and t/T
    // where the set-ID and sticky bits are set.
    void Mode(std::uint32_t mode)
    {
        // Indexed by the type field (mode bits 12..15): 1 pipe, 2 character
        // device, 4 folder, 6 block device, 8 file, 10 link, 12 socket.
        constexpr std::string_view kTypeLetters = "?pc?d?b?-?l?s???";
        char text[11];
        text[0] = kTypeLetters[(mode & iso::kModeTypeMask) >> 12];
        constexpr std::uint32_t kSpecial[3] = {04000, 02000, 01000}; // set-user-ID, set-group-ID, sticky
        for (int who = 0; who < 3; ++who) {
            const std::uint32_t bits = mode >> (6 - 3 * who);
            char* const triple = text + 1 + 3 * who;
            triple[0] = (bits & 4) != 0 ? 'r' : '-';
            triple[1] = (bits & 2) != 0 ? 'w' : '-';
            const bool execute = (bits & 1) != 0;
            if ((mode & kSpecial[who]) != 0) {
                const char mark = who == 2 ? 't' : 's';
                triple[2] = execute ? mark : static_cast<char>(mark - 'a' + 'A');
            } else {
                triple[2] = execute ? 'x' : '-';
            }
        }
        text[10] = ' ';
        buffer_.append(text, sizeof text);
    }

    // Entries of one image mostly share a few dates; the text keeps the
    // separators on both sides.
    const std::string& Date(platform::FileTime date)
    {
        if (date != lastDate_ || lastDateText_.empty()) {
            lastDate_ = date;
            lastDateText_ = "  " + FormatLocalDate(date) + "  ";
        }
        return lastDateText_;
    }

    void Flush()
    {
        if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size()) {
            written_ = false;
        }
        buffer_.clear();
    }

    const ListOptions& options_;
    std::FILE* out_;
    std::string buffer_;
    platform::FileTime lastDate_ = 0;
    std::string lastDateText_;
    bool written_ = true;
};

int RunLs(const Arguments& args);

const Command kLs{"ls", "IMAGE [PATH] [-R] [-l]",
                  "list a folder of an image (-R: all below, -l: mode where the image records it, size, date, extent)",
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
    UdfSession udf;
    int status = kExitOk;
    if (OpenChosenTree(udf, session, words[0], &status)) {
        std::string problem;
        const std::int32_t node = udf.Find(words.size() == 2 ? words[1] : "/", &problem);
        if (node < 0) {
            PrintError(PrintableName(problem) + " in '" + words[0] + "'");
            return kExitFailure;
        }
        if (!ListUdfEntries(udf, node, options, stdout) || std::fflush(stdout) != 0) {
            PrintError("cannot write the listing to standard output");
            return kExitFailure;
        }
        WarnOfDamagedSectors(udf.Sectors(), words[0]);
        return kExitOk;
    }
    if (status != kExitOk) {
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
    WarnOfDamagedSectors(session.Sectors(), words[0]);
    return kExitOk;
}

} // namespace

bool ListEntries(ImageSession& session, DirNode* node, const ListOptions& options, std::FILE* out)
{
    ListingWriter writer(options, out);
    if (node != session.Root()) {
        const ItemInfo info = session.Info(node);
        if (!info.isDirectory) {
            writer.Entry(session.Extent(node), info, info.name);
            return writer.Finish();
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
    std::string path;
    while (!frames.empty()) {
        DirNode* child = frames.back().next;
        if (child == nullptr) {
            frames.pop_back();
            continue;
        }
        frames.back().next = edit.GetNextSibling(child);
        const ItemInfo info = session.Info(child);
        path.assign(frames.back().prefix).append(info.name);
        writer.Entry(session.Extent(child), info, path);
        if (info.isDirectory && options.recursive) {
            frames.push_back({edit.GetFirstChild(child), path + "/"});
        }
    }
    return writer.Finish();
}

bool ListUdfEntries(UdfSession& session, std::int32_t node, const ListOptions& options, std::FILE* out)
{
    ListingWriter writer(options, out);
    const auto infoOf = [&session](std::int32_t index) { return iso::udf::ItemInfoOf(session.Node(index)); };
    if (node != 0 && !session.Node(node).isDirectory) {
        writer.Entry(session.Node(node).firstSector, infoOf(node), session.Node(node).name);
        return writer.Finish();
    }
    // As ListEntries: depth first, one frame per open folder.
    struct Frame {
        const std::vector<std::int32_t>* children;
        std::size_t next;
        std::string prefix;
    };
    std::vector<Frame> frames{{&session.Node(node).children, 0, ""}};
    std::string path;
    while (!frames.empty()) {
        Frame& top = frames.back();
        if (top.next >= top.children->size()) {
            frames.pop_back();
            continue;
        }
        const std::int32_t child = (*top.children)[top.next++];
        const ItemInfo info = infoOf(child);
        path.assign(top.prefix).append(info.name);
        writer.Entry(session.Node(child).firstSector, info, path);
        if (info.isDirectory && options.recursive) {
            frames.push_back({&session.Node(child).children, 0, path + "/"});
        }
    }
    return writer.Finish();
}

TARVELIN_CLI_COMMAND(kLs)

} // namespace tarvelin::cli
