// tarvelin-cli extract IMAGE [PATH...] -C DIR: files and folders of an image
// written to disk with their dates.
//
// Names come from the image and are not trusted: one that could reach
// outside the destination ("..", a separator inside it, an empty name) is
// refused, and a folder of the destination that is a symbolic link is not
// followed. File data is streamed in bounded chunks; a file whose data cannot
// be read or written in full is removed again, so nothing short is left
// behind without a message.

#include "command.h"
#include "operations.h"

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace tarvelin::cli {

namespace {

// Bytes read and written per step: large enough that the system calls cost
// nothing next to the copying, small enough for any file size.
constexpr std::uint32_t kChunkBytes = 1u << 20;

// A one-line progress bar on standard error, redrawn at most ten times a
// second.
class ProgressBar {
public:
    explicit ProgressBar(std::uint64_t totalBytes) : total_(totalBytes) {}

    void Update(std::uint64_t doneBytes, bool force = false)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - lastDrawn_ < std::chrono::milliseconds(100)) {
            return;
        }
        lastDrawn_ = now;
        const double fraction = total_ == 0 ? 1.0 : static_cast<double>(doneBytes) / static_cast<double>(total_);
        constexpr int kWidth = 30;
        const int filled = std::clamp(static_cast<int>(fraction * kWidth), 0, kWidth);
        std::fprintf(stderr, "\r[%.*s%.*s] %3d%%  %.1f / %.1f MiB", filled, "##############################",
                     kWidth - filled, "------------------------------", static_cast<int>(fraction * 100),
                     static_cast<double>(doneBytes) / (1024.0 * 1024.0),
                     static_cast<double>(total_) / (1024.0 * 1024.0));
        std::fflush(stderr);
        shown_ = true;
    }

    // Clears the line so that a message can be printed in its place.
    void Clear()
    {
        if (shown_) {
            std::fprintf(stderr, "\r\033[K");
            shown_ = false;
            lastDrawn_ = {};
        }
    }

private:
    std::uint64_t total_;
    std::chrono::steady_clock::time_point lastDrawn_{};
    bool shown_ = false;
};

class Extractor {
public:
    Extractor(ImageSession& session, const ExtractOptions& options) : session_(session), options_(options) {}

    ExtractTotals Run(const std::vector<DirNode*>& nodes, const std::string& destination)
    {
        bool destinationFresh = false;
        if (!MakeFolders(destination, destinationFresh)) {
            return totals_;
        }
        if (options_.showProgress) {
            std::uint64_t total = 0;
            for (DirNode* node : nodes) {
                total += BytesBelow(node);
            }
            progress_.emplace(total);
            progress_->Update(0, true);
        }
        for (DirNode* node : nodes) {
            if (node == session_.Root()) {
                ExtractFolderContents(node, destination, destinationFresh);
                continue;
            }
            const ItemInfo info = session_.Info(node);
            std::string target;
            if (!TargetFor(destination, info.name, target)) {
                continue;
            }
            if (info.isDirectory) {
                bool fresh = false;
                if (MakeFolder(target, fresh)) {
                    folderDates_.emplace_back(target, info.date);
                    ExtractFolderContents(node, target, fresh);
                }
            } else {
                ExtractFile(node, info, target, destinationFresh);
            }
        }
        // Last, as creating entries inside a folder changes its date.
        for (const auto& [folder, date] : folderDates_) {
            KeepDate(folder, date);
        }
        if (progress_) {
            progress_->Update(done_, true);
            std::fprintf(stderr, "\n");
        }
        return totals_;
    }

private:
    void Report(const std::string& message)
    {
        if (progress_) {
            progress_->Clear();
        }
        if (options_.report) {
            options_.report(message);
        } else {
            PrintError(message);
        }
    }

    void Fail(const std::string& message)
    {
        ++totals_.failures;
        Report(message);
    }

    std::uint64_t BytesBelow(DirNode* node)
    {
        const ItemInfo info = session_.Info(node);
        if (node != session_.Root() && !info.isDirectory) {
            return info.size;
        }
        std::uint64_t bytes = 0;
        std::vector<DirNode*> pending{node};
        while (!pending.empty()) {
            DirNode* folder = pending.back();
            pending.pop_back();
            IIsoEdit& edit = session_.Edit();
            for (DirNode* child = edit.GetFirstChild(folder); child != nullptr; child = edit.GetNextSibling(child)) {
                const ItemInfo childInfo = session_.Info(child);
                if (childInfo.isDirectory) {
                    pending.push_back(child);
                } else {
                    bytes += childInfo.size;
                }
            }
        }
        return bytes;
    }

    bool TargetFor(const std::string& folder, const std::string& name, std::string& target)
    {
        if (!IsSafeEntryName(name)) {
            Fail("refusing the entry '" + PrintableName(name) + "' in '" + PrintableName(folder)
                 + "': its name would reach outside the destination folder");
            return false;
        }
        target = platform::JoinPath(folder, name);
        return true;
    }

    // The destination with every missing parent; fresh tells whether it
    // was made here.
    bool MakeFolders(const std::string& destination, bool& fresh)
    {
        std::error_code error;
        fresh = !std::filesystem::exists(std::filesystem::symlink_status(destination, error));
        std::filesystem::create_directories(destination, error);
        if (error || !platform::IsDirectory(destination)) {
            Fail("cannot create the destination folder '" + destination + "': "
                 + (error ? error.message() : std::string("a file of that name is in the way")));
            return false;
        }
        return true;
    }

    // fresh: the folder did not exist before, so nothing planted can be
    // inside it.
    bool MakeFolder(const std::string& path, bool& fresh)
    {
        std::error_code ignored;
        const std::filesystem::file_status status = std::filesystem::symlink_status(path, ignored);
        if (std::filesystem::is_symlink(status)) {
            Fail("'" + PrintableName(path) + "' is a symbolic link; not followed");
            return false;
        }
        fresh = !std::filesystem::exists(status);
        std::string error;
        if (!platform::MakeDirectory(path, &error)) {
            Fail(PrintableName(error));
            return false;
        }
        ++totals_.folders;
        return true;
    }

    void KeepDate(const std::string& path, platform::FileTime date)
    {
        std::string error;
        if (date != 0 && !platform::SetFileTime(path, date, &error)) {
            Fail(PrintableName(error));
        }
    }

    // Everything below folder, written into target, which exists. Iterative,
    // so that no nesting of folders can exhaust the stack.
    void ExtractFolderContents(DirNode* folder, const std::string& target, bool targetFresh)
    {
        struct Pending {
            DirNode* node;
            std::string path;
            bool fresh;
        };
        IIsoEdit& edit = session_.Edit();
        std::vector<Pending> pending{{folder, target, targetFresh}};
        std::vector<Pending> subfolders;
        while (!pending.empty()) {
            auto [node, path, fresh] = std::move(pending.back());
            pending.pop_back();
            subfolders.clear();
            for (DirNode* child = edit.GetFirstChild(node); child != nullptr; child = edit.GetNextSibling(child)) {
                const ItemInfo info = session_.Info(child);
                std::string childPath;
                if (!TargetFor(path, info.name, childPath)) {
                    continue;
                }
                bool childFresh = false;
                if (!info.isDirectory) {
                    ExtractFile(child, info, childPath, fresh);
                } else if (MakeFolder(childPath, childFresh)) {
                    folderDates_.emplace_back(childPath, info.date);
                    subfolders.push_back({child, std::move(childPath), childFresh});
                }
            }
            // In listing order: the first subfolder is taken next.
            pending.insert(pending.end(), std::make_move_iterator(subfolders.rbegin()),
                           std::make_move_iterator(subfolders.rend()));
        }
    }

    void ExtractFile(DirNode* node, const ItemInfo& info, const std::string& target, bool inFreshFolder)
    {
        // In a folder that was there before, a file or link of that name goes
        // first: writing through a link planted there would reach outside
        // the destination. A folder made here holds only what this run put
        // in it.
        if (!inFreshFolder) {
            platform::RemoveFile(target);
        }
        platform::File out;
        if (!out.Open(target, platform::OpenMode::CreateTruncate)) {
            Fail(PrintableName(out.LastError()));
            return;
        }
        // As large as the largest chunk met so far, never filled with zeros
        // first: most files of an image are far smaller than a chunk.
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkBytes, info.size));
        if (chunk > bufferSize_) {
            buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(chunk);
            bufferSize_ = chunk;
        }
        std::string failure;
        for (std::uint64_t offset = 0; offset < info.size;) {
            const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkBytes, info.size - offset));
            if (!session_.Edit().ReadFileData(node, offset, buffer_.get(), count)) {
                failure = std::string("cannot read it from the image: ") + session_.Edit().GetLastError();
                break;
            }
            if (!out.Write(buffer_.get(), count)) {
                failure = out.LastError();
                break;
            }
            offset += count;
            done_ += count;
            if (progress_) {
                progress_->Update(done_);
            }
        }
        out.Close();
        if (!failure.empty()) {
            platform::RemoveFile(target);
            Fail("'" + PrintableName(target) + "' not extracted: " + PrintableName(failure));
            return;
        }
        ++totals_.files;
        totals_.bytes += info.size;
        KeepDate(target, info.date);
    }

    ImageSession& session_;
    const ExtractOptions& options_;
    ExtractTotals totals_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t bufferSize_ = 0;
    std::vector<std::pair<std::string, platform::FileTime>> folderDates_;
    std::optional<ProgressBar> progress_;
    std::uint64_t done_ = 0;
};

int RunExtract(const Arguments& args);

const Command kExtract{"extract", "IMAGE [PATH...] -C DIR",
                       "write files and folders of an image (all without PATH) into DIR", RunExtract};

int RunExtract(const Arguments& args)
{
    std::vector<std::string> words;
    std::string destination;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!optionsEnded && args[i] == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && args[i] == "-C") {
            if (i + 1 == args.size()) {
                return UsageError(kExtract, "-C needs a folder");
            }
            destination = args[++i];
        } else if (!optionsEnded && args[i].size() > 1 && args[i][0] == '-') {
            return UsageError(kExtract, "unknown option '" + args[i] + "'");
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.empty()) {
        return UsageError(kExtract, "no image named");
    }
    if (destination.empty()) {
        return UsageError(kExtract, "no destination folder (-C DIR)");
    }

    ImageSession session;
    if (const int status = session.Open(words[0]); status != kExitOk) {
        return status;
    }
    std::vector<DirNode*> nodes;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string problem;
        DirNode* node = session.Find(words[i], &problem);
        if (node == nullptr) {
            PrintError(PrintableName(problem) + " in '" + words[0] + "'");
            return kExitFailure;
        }
        nodes.push_back(node);
    }
    if (nodes.empty()) {
        nodes.push_back(session.Root());
    }

    ExtractOptions options;
    options.showProgress = ::isatty(STDERR_FILENO) == 1;
    const ExtractTotals totals = ExtractEntries(session, nodes, destination, options);
    if (totals.failures > 0) {
        PrintError(std::to_string(totals.failures) + (totals.failures == 1 ? " entry" : " entries")
                   + " could not be extracted (" + std::to_string(totals.files) + " files extracted)");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

ExtractTotals ExtractEntries(ImageSession& session, const std::vector<DirNode*>& nodes, const std::string& destination,
                             const ExtractOptions& options)
{
    return Extractor(session, options).Run(nodes, destination);
}

TARVELIN_CLI_COMMAND(kExtract)

} // namespace tarvelin::cli
