#pragma once

// Helpers of the editing facade's tests: a save run to its end, the tree an opened
// image shows (with every file's bytes), and what the peer tools list and extract.

#include "edit/iso_edit.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace tarvelin::test {

// Owns an editing facade for the length of a test.
class EditHandle {
public:
    EditHandle() : edit_(Edit1()) {}
    ~EditHandle() { DestroyComponent(edit_); }
    EditHandle(const EditHandle&) = delete;
    EditHandle& operator=(const EditHandle&) = delete;
    IIsoEdit* operator->() const { return edit_; }
    IIsoEdit* get() const { return edit_; }

private:
    IIsoEdit* edit_;
};

struct SaveOutcome {
    std::int32_t finalValue = 0;
    std::vector<std::int32_t> progress;
    std::string error;
};

// Starts the save and waits for its final call.
inline SaveOutcome SaveAndWait(IIsoEdit* edit)
{
    struct Watch {
        std::mutex mutex;
        std::condition_variable changed;
        bool ended = false;
        SaveOutcome outcome;
    } watch;
    const auto callback = [](void* context, std::int32_t value) {
        auto& w = *static_cast<Watch*>(context);
        std::lock_guard<std::mutex> lock(w.mutex);
        if (value == kSaveDone || value == kSaveFailed) {
            w.outcome.finalValue = value;
            w.ended = true;
            w.changed.notify_one();
        } else {
            w.outcome.progress.push_back(value);
        }
        return true;
    };
    if (!edit->StartSave(&watch, callback)) {
        watch.outcome.error = edit->GetLastError();
        return watch.outcome;
    }
    std::unique_lock<std::mutex> lock(watch.mutex);
    watch.changed.wait(lock, [&] { return watch.ended; });
    lock.unlock();
    while (edit->IsSaving()) {
        std::this_thread::yield();
    }
    watch.outcome.error = edit->GetLastError();
    return watch.outcome;
}

// The same save through the blocking form, told as SaveAndWait tells it.
inline SaveOutcome SaveBlocking(IIsoEdit* edit)
{
    SaveOutcome outcome;
    const auto progress = [](void* context, std::int32_t value) {
        static_cast<SaveOutcome*>(context)->progress.push_back(value);
        return true;
    };
    outcome.finalValue = edit->Save(&outcome, progress) ? kSaveDone : kSaveFailed;
    EXPECT_FALSE(edit->IsSaving());
    outcome.error = edit->GetLastError();
    return outcome;
}

// The node at a '/'-separated path below the root ("" for the root).
inline DirNode* FindNode(IIsoEdit* edit, const std::string& path)
{
    DirNode* node = edit->GetRoot();
    std::size_t at = 0;
    while (node != nullptr && at < path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, slash - at);
        at = slash + 1;
        ItemInfo info;
        for (node = edit->GetFirstChild(node); node != nullptr && (!edit->GetItemInfo(node, info) || info.name != part);
             node = edit->GetNextSibling(node)) {
        }
    }
    return node;
}

// One entry of an opened image's tree.
struct TreeEntry {
    bool isDirectory = false;
    std::vector<std::uint8_t> bytes;
    platform::FileTime date = 0;
    bool operator==(const TreeEntry&) const = default;
};
// Path ("dir/", "dir/file") -> entry, files with their bytes as the facade reads them.
using TreeContents = std::map<std::string, TreeEntry>;

inline void CollectTree(IIsoEdit* edit, DirNode* node, const std::string& prefix, TreeContents& out)
{
    for (DirNode* child = edit->GetFirstChild(node); child != nullptr; child = edit->GetNextSibling(child)) {
        ItemInfo info;
        edit->GetItemInfo(child, info);
        TreeEntry entry;
        entry.isDirectory = info.isDirectory;
        entry.date = info.date;
        if (info.isDirectory) {
            out[prefix + info.name + "/"] = entry;
            CollectTree(edit, child, prefix + info.name + "/", out);
            continue;
        }
        entry.bytes.resize(static_cast<std::size_t>(info.size));
        if (!entry.bytes.empty()) {
            EXPECT_TRUE(edit->ReadFileData(child, 0, entry.bytes.data(), static_cast<std::uint32_t>(info.size)))
                << prefix << info.name << ": " << edit->GetLastError();
        }
        out[prefix + info.name] = std::move(entry);
    }
}

// Opens an image for editing and reads its tree.
inline ::testing::AssertionResult OpenTree(IIsoEdit* edit, const std::string& image)
{
    if (!edit->Open(image.c_str())) {
        return ::testing::AssertionFailure() << "cannot open " << image << ": " << edit->GetLastError();
    }
    edit->LoadTree();
    return ::testing::AssertionSuccess();
}

// Opens the image afresh and reads its whole tree.
inline TreeContents ReadImageTree(const std::string& image)
{
    EditHandle edit;
    TreeContents tree;
    if (!edit->Open(image.c_str())) {
        ADD_FAILURE() << "cannot open " << image << ": " << edit->GetLastError();
        return tree;
    }
    edit->LoadTree();
    EXPECT_STREQ(edit->GetLastError(), "");
    CollectTree(edit.get(), edit->GetRoot(), "", tree);
    return tree;
}

// Path -> bytes of every file below a folder on disk; folders end in '/'.
inline std::map<std::string, std::vector<std::uint8_t>> FolderContents(const std::string& root)
{
    std::map<std::string, std::vector<std::uint8_t>> contents;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        std::string relative = std::filesystem::relative(item.path(), root).string();
        if (item.is_directory()) {
            contents[relative + "/"] = {};
        } else {
            contents[relative] = ReadWholeFile(item.path().string());
        }
    }
    return contents;
}

inline std::map<std::string, std::vector<std::uint8_t>> WithoutDates(const TreeContents& tree)
{
    std::map<std::string, std::vector<std::uint8_t>> contents;
    for (const auto& [path, entry] : tree) {
        contents[path] = entry.bytes;
    }
    return contents;
}

// What the session's tree holds now, without dates.
inline std::map<std::string, std::vector<std::uint8_t>> SessionContents(IIsoEdit* edit)
{
    TreeContents tree;
    CollectTree(edit, edit->GetRoot(), "", tree);
    return WithoutDates(tree);
}

// Equal contents, and when not, which paths differ (the bytes would drown the report).
inline ::testing::AssertionResult SameContents(const std::map<std::string, std::vector<std::uint8_t>>& actual,
                                               const std::map<std::string, std::vector<std::uint8_t>>& expected)
{
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::string report;
    for (const auto& [path, bytes] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            report += "\n  missing: " + path;
        } else if (found->second != bytes) {
            report += "\n  other bytes: " + path + " (" + std::to_string(found->second.size()) + " bytes, expected " +
                      std::to_string(bytes.size()) + ")";
        }
    }
    for (const auto& [path, bytes] : actual) {
        if (expected.count(path) == 0) {
            report += "\n  unexpected: " + path;
        }
    }
    return ::testing::AssertionFailure() << "contents differ:" << report;
}

// What 7-Zip, bsdtar and xorriso list and extract from the image must be exactly expected.
inline void ExpectPeersSee(const std::string& image, const std::map<std::string, std::vector<std::uint8_t>>& expected)
{
    std::vector<std::string> paths;
    for (const auto& [path, bytes] : expected) {
        paths.push_back(path);
    }
    EXPECT_EQ(SevenZipPaths(image), paths) << "7z listing of " << image;
    EXPECT_EQ(BsdtarPaths(image), paths) << "bsdtar listing of " << image;
    TempDir out;
    const std::vector<std::pair<std::string, std::string>> extractors = {
        {"7z", "7z x -y -o" + ShellQuote(out / "7z") + " " + ShellQuote(image)},
        {"bsdtar", "mkdir -p " + ShellQuote(out / "bsdtar") + " && bsdtar -xf " + ShellQuote(image) + " -C " +
                       ShellQuote(out / "bsdtar")},
        {"xorriso", "xorriso -abort_on NEVER -indev " + ShellQuote(image) + " -osirrox on -extract / " +
                        ShellQuote(out / "xorriso")},
    };
    for (const auto& [tool, command] : extractors) {
        ASSERT_TRUE(test::Succeeded(RunCommand(command))) << tool << ": ";
        auto found = FolderContents(out / tool);
        std::erase_if(found, [](const auto& item) { return item.first.rfind("[BOOT]", 0) == 0; });
        EXPECT_TRUE(SameContents(found, expected)) << tool << " extracted other bytes or paths from " << image;
    }
}

} // namespace tarvelin::test
