// tarvelin-cli extract IMAGE [PATH...] -C DIR: files and folders of an image
// written to disk with their dates (the engine's extraction, which refuses
// names reaching outside the destination and leaves no short file behind),
// with a progress bar on a terminal.

#include "command.h"
#include "operations.h"

#include "edit/iso_extract.h"
#include "platform/console.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

namespace tarvelin::cli {

namespace {

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

    ExtractOptions options;
    options.showProgress = platform::IsTerminal(platform::StandardStream::Error);
    const auto finish = [&words](const ExtractTotals& totals, IIsoSector* sectors) {
        WarnOfDamagedSectors(sectors, words[0]);
        if (totals.failures > 0) {
            PrintError(std::to_string(totals.failures) + (totals.failures == 1 ? " entry" : " entries")
                       + " could not be extracted (" + std::to_string(totals.files) + " files extracted)");
            return kExitFailure;
        }
        return kExitOk;
    };
    ImageSession session;
    UdfSession udf;
    int status = kExitOk;
    if (OpenChosenTree(udf, session, words[0], &status)) {
        std::vector<std::int32_t> picked;
        for (std::size_t i = 1; i < words.size(); ++i) {
            std::string problem;
            const std::int32_t node = udf.Find(words[i], &problem);
            if (node < 0) {
                PrintError(PrintableName(problem) + " in '" + words[0] + "'");
                return kExitFailure;
            }
            picked.push_back(node);
        }
        if (picked.empty()) {
            picked.push_back(0);
        }
        return finish(ExtractUdfEntries(udf, picked, destination, options), udf.Sectors());
    }

    if (status != kExitOk) {
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

    return finish(ExtractEntries(session, nodes, destination, options), session.Sectors());
}

// The extraction of either tree, with the progress bar and the reports the
// command shows; totalBytes is computed only when the bar is shown.
ExtractTotals ExtractWithProgress(ExtractTree& tree, const std::vector<ExtractNode>& nodes,
                                  const std::function<std::uint64_t()>& totalBytes, const std::string& destination,
                                  const ExtractOptions& options)
{
    std::optional<ProgressBar> bar;
    tarvelin::ExtractOptions engineOptions;
    if (options.showProgress) {
        bar.emplace(totalBytes());
        bar->Update(0, true);
    }
    engineOptions.report = [&bar, &options](ExtractProblem, std::string_view message) {
        if (bar) {
            bar->Clear();
        }
        if (options.report) {
            options.report(message);
        } else {
            PrintError(message);
        }
    };
    std::uint64_t done = 0;
    if (bar) {
        engineOptions.progress = [&bar, &done](std::uint64_t doneBytes) {
            done = doneBytes;
            bar->Update(doneBytes);
        };
    }
    const ExtractTotals totals = tarvelin::ExtractEntries(tree, nodes, destination, engineOptions);
    if (bar) {
        bar->Update(done, true);
        std::fprintf(stderr, "\n");
    }
    return totals;
}

} // namespace

ExtractTotals ExtractEntries(ImageSession& session, const std::vector<DirNode*>& nodes, const std::string& destination,
                             const ExtractOptions& options)
{
    const auto total = [&session, &nodes] {
        std::uint64_t bytes = 0;
        for (DirNode* node : nodes) {
            bytes += FileBytesBelow(session.Edit(), node);
        }
        return bytes;
    };
    IsoEditTree tree(session.Edit());
    return ExtractWithProgress(tree, std::vector<ExtractNode>(nodes.begin(), nodes.end()), total,
                               destination, options);
}

ExtractTotals ExtractUdfEntries(UdfSession& session, const std::vector<std::int32_t>& nodes,
                                const std::string& destination, const ExtractOptions& options)
{
    iso::udf::VolumeTree tree = session.Tree();
    std::vector<ExtractNode> handles;
    for (const std::int32_t node : nodes) {
        handles.push_back(tree.Handle(node));
    }
    const auto total = [&session, &nodes] {
        std::uint64_t bytes = 0;
        for (const std::int32_t node : nodes) {
            bytes += iso::udf::FileBytesBelow(session.Volume(), node);
        }
        return bytes;
    };
    return ExtractWithProgress(tree, handles, total, destination, options);
}

TARVELIN_CLI_COMMAND(kExtract)

} // namespace tarvelin::cli
