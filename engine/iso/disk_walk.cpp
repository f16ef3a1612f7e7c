// The one walk of a folder on disk that both the build and the edit use.
// It keeps its own stack, so no depth of folders reaches the call stack,
// and the identity on disk of every folder it entered, so that a link back
// to one of them is left out instead of being followed for ever.

#include "iso/disk_walk.h"

#include "platform/console.h"
#include "platform/path.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

namespace tarvelin::iso {

namespace {

constexpr std::uint64_t kLargestIsoFile = std::numeric_limits<std::uint32_t>::max();

} // namespace

std::string DiskFileRefusal(const platform::FileInfo& info, const DiskAddRules& rules, bool* lostData)
{
    if (lostData != nullptr) {
        *lostData = false;
    }
    if (info.isSpecial) {
        return "not a file or a folder (a device, pipe, socket or broken link)";
    }
    if (info.size > kLargestIsoFile && !rules.largeFiles) {
        if (lostData != nullptr) {
            *lostData = true;
        }
        return std::to_string(info.size) + " bytes; an ISO 9660 image cannot hold a file of 4 GiB or more" +
               rules.largeFileAdvice;
    }
    return {};
}

void AddFolderContents(const std::string& path, const platform::FileInfo& info, void* top, const DiskAddRules& rules,
                       DiskTreeSink& sink, NoticeList& notices)
{
    // Every folder entered, with the index of the one it lies in.
    constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
    struct Folder {
        void* node;
        DiskIdentity identity;
        std::size_t parent;
        std::string path;
    };
    std::vector<Folder> entered{{top, IdentityOf(info), kNoParent, path}};
    const auto insideOf = [&entered](std::size_t folder, const DiskIdentity& identity) {
        for (; folder != kNoParent; folder = entered[folder].parent) {
            if (entered[folder].identity == identity) {
                return true;
            }
        }
        return false;
    };
    const auto leftOut = [&notices](bool isError, const std::string& entry, const std::string& why) {
        notices.Add(isError, "left out '" + entry + "': " + why);
    };

    std::vector<std::size_t> pending{0};
    std::vector<platform::FileInfo> subfolders;
    while (!pending.empty()) {
        // Ctrl+C stops a long walk (a link to a large tree, followed) where
        // it is; the caller sees the request and goes no further.
        if (platform::InterruptCatcher::Requested()) {
            notices.Add(true, "the walk of '" + path + "' was interrupted; the rest of it is left out");
            return;
        }
        const std::size_t current = pending.back();
        pending.pop_back();
        const std::string folder = entered[current].path;
        void* node = entered[current].node;

        platform::DirectorySearch search;
        if (!search.Open(folder)) {
            notices.Add(true, search.LastError() + "; its contents are left out");
            continue;
        }
        subfolders.clear();
        platform::FileInfo entry;
        while (search.Next(entry)) {
            const std::string entryPath = platform::JoinPath(folder, entry.name);
            std::string why;
            if (entry.isSymlink && rules.linksAsLinks) {
                platform::FileInfo link;
                if (!platform::GetLinkInfo(entryPath, link, &why) || sink.AddFile(entryPath, link, node, why) == nullptr) {
                    leftOut(true, entryPath, why);
                }
                continue;
            }
            if (entry.isDirectory) {
                subfolders.push_back(std::move(entry));
                continue;
            }
            bool lostData = false;
            why = DiskFileRefusal(entry, rules, &lostData);
            if (!why.empty() || sink.Excludes(entryPath, entry, why)) {
                leftOut(lostData, entryPath, "it is " + why);
                continue;
            }
            if (sink.AddFile(entryPath, entry, node, why) == nullptr) {
                leftOut(true, entryPath, why);
            }
        }
        if (!search.LastError().empty()) {
            notices.Add(true, search.LastError() + "; the rest of that folder is left out");
        }
        const std::size_t firstNew = pending.size();
        for (const platform::FileInfo& sub : subfolders) {
            const std::string subPath = platform::JoinPath(folder, sub.name);
            if (insideOf(current, IdentityOf(sub))) {
                leftOut(false, subPath, "it leads back to a folder that contains it");
                continue;
            }
            std::string why;
            void* child = sink.AddFolder(subPath, sub, node, why);
            if (child == nullptr) {
                leftOut(true, subPath, why);
                continue;
            }
            entered.push_back({child, IdentityOf(sub), current, subPath});
            pending.push_back(entered.size() - 1);
        }
        // Each folder complete before the next, in listing order.
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(firstNew), pending.end());
    }
}

} // namespace tarvelin::iso
