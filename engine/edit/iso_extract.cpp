#include "edit/iso_extract.h"

#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>

namespace tarvelin {

namespace {

// Bytes read and written per step: large enough that the system calls cost
// nothing next to the copying, and small enough to stay in a processor
// core's second-level cache between the read and the write. With 1 MiB, large
// files took twice as long to extract (measured on ext4).
constexpr std::uint32_t kChunkBytes = 256u * 1024;
// Files of this size or more are flushed to the disk on their own; smaller
// ones in batches (platform::OutputBatch).
constexpr std::uint64_t kOwnFlushBytes = std::uint64_t{4} << 20;

// The permission bits an extracted entry may get: never set-user-ID or
// set-group-ID, which would hand whoever runs the file the rights of the
// one who extracted it.
constexpr std::uint32_t kExtractedPermissions = iso::kModePermissionMask & ~std::uint32_t{06000};

// A folder made or met on the way, finished once everything below it is there.
struct MadeFolder {
    std::string path;
    platform::FileTime date = 0;
    std::optional<std::uint32_t> mode;
};

// Only the mode of what is made: a folder's for a folder, a file's for a
// file (a record that is a folder in one place and a file in another is
// damage, and its bits are left alone).
std::optional<std::uint32_t> PermissionsOf(const ItemInfo& info)
{
    const bool folderMode = (info.posix.mode & iso::kModeTypeMask) == iso::kModeDirectory;
    if (!info.posix.known || folderMode != info.isDirectory) {
        return std::nullopt;
    }
    return info.posix.mode & kExtractedPermissions;
}

class Extractor {
public:
    Extractor(ExtractTree& tree, const ExtractOptions& options) : tree_(tree), options_(options) {}

    ExtractTotals Run(const std::vector<ExtractNode>& nodes, const std::string& destination)
    {
        bool destinationFresh = false;
        if (!MakeFolders(destination, destinationFresh)) {
            return totals_;
        }
        // What an extraction killed before it ended left in the folders it
        // writes into again goes as each is reached.
        if (!destinationFresh) {
            platform::RemoveStaleTemporaries(destination);
        }
        for (ExtractNode node : nodes) {
            if (tree_.IsRoot(node)) {
                ExtractFolderContents(node, destination, destinationFresh);
                continue;
            }
            const ItemInfo info = Info(node);
            std::string target;
            if (!TargetFor(destination, info.name, target)) {
                continue;
            }
            if (info.isDirectory) {
                bool fresh = false;
                if (MakeFolder(node, target, fresh)) {
                    madeFolders_.push_back({target, info.date, PermissionsOf(info)});
                    ExtractFolderContents(node, target, fresh);
                }
            } else {
                ExtractNonFolder(node, info, target, destinationFresh);
            }
        }
        PlaceBatch();
        // Last, as creating entries inside a folder changes its date; the
        // deepest first, so that a folder that loses its write or search
        // permission has nothing left to be done below it.
        for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) {
            KeepDate(folder->path, folder->date);
            KeepPermissions(folder->path, folder->mode);
        }
        return totals_;
    }

private:
    void Fail(ExtractProblem problem, const std::string& message)
    {
        ++totals_.failures;
        if (options_.report) {
            options_.report(problem, message);
        }
    }

    ItemInfo Info(ExtractNode node) { return tree_.Info(node); }

    bool TargetFor(const std::string& folder, const std::string& name, std::string& target)
    {
        if (!IsSafeEntryName(name)) {
            Fail(ExtractProblem::UnsafeName, "refusing the entry '" + PrintableName(name) + "' in '" + PrintableName(folder)
                 + "': its name would reach outside the destination folder");
            return false;
        }
        // A name the image may hold that this system reads as more than
        // one entry of the folder (a backslash, a drive, ".. " on Windows).
        if (!platform::IsPlainName(name)) {
            Fail(ExtractProblem::UnsafeName, "refusing the entry '" + PrintableName(name) + "' in '" + PrintableName(folder)
                 + "': this system does not read its name as one entry of the destination folder");
            return false;
        }
        // Written all the same, but said: the name on disk is not the
        // image's, and two such names may come out alike (the second is
        // then refused as an entry written twice).
        if (const std::string stored = platform::StoredName(name); stored != name) {
            Fail(ExtractProblem::Name, "the name '" + PrintableName(name) + "' in '" + PrintableName(folder)
                 + "' is not UTF-8 text; it is written as '" + PrintableName(stored) + "'");
        }
        target = platform::JoinPath(folder, name);
        return true;
    }

    // path and every missing folder above it; false with the system's
    // reason when one cannot be made.
    static bool MakeFoldersUpTo(const std::string& path, std::string& error)
    {
        if (path.empty() || platform::IsDirectory(path)) {
            return true;
        }
        const std::string parent(platform::FolderOf(path));
        if (parent != path && !MakeFoldersUpTo(parent, error)) {
            return false;
        }
        return platform::MakeDirectory(path, &error);
    }

    // The destination with every missing parent; fresh tells whether it
    // was made here.
    bool MakeFolders(const std::string& destination, bool& fresh)
    {
        platform::FileInfo facts;
        fresh = !platform::GetLinkInfo(destination, facts);
        std::string error;
        if (!MakeFoldersUpTo(destination, error) || !platform::IsDirectory(destination)) {
            Fail(ExtractProblem::CannotCreate, "cannot create the destination folder '" + destination + "': "
                 + (error.empty() ? std::string("a file of that name is in the way") : error));
            return false;
        }
        return true;
    }

    // Files and folders below a folder of the image, at any depth.
    std::uint64_t CountBelow(ExtractNode folder)
    {
        std::uint64_t count = 0;
        std::vector<ExtractNode> pending{folder};
        std::vector<ExtractNode> children;
        while (!pending.empty()) {
            const ExtractNode node = pending.back();
            pending.pop_back();
            tree_.Children(node, children);
            count += children.size();
            for (ExtractNode child : children) {
                if (Info(child).isDirectory) {
                    pending.push_back(child);
                }
            }
        }
        return count;
    }

    // A folder of the image that could not be made: it and everything below
    // it count as not extracted, and the message says how much that is.
    void FolderNotMade(ExtractNode node, const std::string& why)
    {
        const std::uint64_t below = CountBelow(node);
        totals_.failures += below;
        Fail(ExtractProblem::CannotCreate,
             below == 0 ? why
                        : why + "; the " + std::to_string(below) + (below == 1 ? " entry" : " entries")
                              + " inside it not extracted");
    }

    // fresh: the folder did not exist before, so nothing planted can be
    // inside it. node: the image's folder it is made for.
    bool MakeFolder(ExtractNode node, const std::string& path, bool& fresh)
    {
        platform::FileInfo facts;
        const bool present = platform::GetLinkInfo(path, facts);
        if (present && facts.isSymlink) {
            FolderNotMade(node, "'" + PrintableName(path) + "' is a symbolic link; not followed");
            return false;
        }
        // A folder this run has filled already is another entry of the
        // image whose name this system takes for the same one ("D" and "d"
        // on Windows): the two are not merged, which would put the files of
        // one over those of the other.
        if (present && WrittenBefore(facts)) {
            FolderNotMade(node, "'" + PrintableName(path) + "' is a folder extracted before under another entry's name"
                                    " (this system does not tell the two names apart); not merged into it");
            return false;
        }
        fresh = !present;
        std::string error;
        if (!platform::MakeDirectory(path, &error)) {
            FolderNotMade(node, PrintableName(error));
            return false;
        }
        if (!fresh) {
            platform::RemoveStaleTemporaries(path);
        }
        Remember(path);
        ++totals_.folders;
        return true;
    }

    // Whether the entry facts describe is one this run made or wrote.
    bool WrittenBefore(const platform::FileInfo& facts) const
    {
        return written_.contains({facts.volumeId, facts.fileId});
    }

    void Remember(const std::string& path)
    {
        platform::FileInfo facts;
        // A file system that gives no identities (0) is left unchecked.
        if (platform::GetLinkInfo(path, facts) && facts.fileId != 0) {
            written_.insert({facts.volumeId, facts.fileId});
        }
    }

    // In a folder that was there before, an entry is replaced unless this
    // run wrote it under a name this system does not tell apart from
    // target's. Nor is one this run gave the very same path (two entries of
    // one name in a damaged image, or two paths asked for that end alike):
    // its file may not be in place yet, and the system's refusal would not
    // say why.
    bool TakenBefore(const std::string& target, bool inFreshFolder)
    {
        const bool again = !targets_.insert(target).second;
        platform::FileInfo facts;
        if (!inFreshFolder && platform::GetLinkInfo(target, facts) && WrittenBefore(facts)) {
            NotExtracted(target, "an entry extracted before under another name is there (this system does not tell"
                                 " the two names apart); not replaced");
            return true;
        }
        if (again) {
            NotExtracted(target, "another entry of that name was extracted there before; not replaced");
        }
        return again;
    }

    void KeepDate(const std::string& path, platform::FileTime date)
    {
        std::string error;
        if (date != 0 && !platform::SetFileTime(path, date, &error)) {
            Fail(ExtractProblem::Date, PrintableName(error));
        }
    }

    void KeepPermissions(const std::string& path, std::optional<std::uint32_t> mode)
    {
        std::string error;
        if (mode && !platform::SetFileMode(path, *mode, &error)) {
            Fail(ExtractProblem::Permissions, PrintableName(error));
        }
    }

    // Everything below folder, written into target, which exists. Iterative,
    // so that no nesting of folders can exhaust the stack.
    void ExtractFolderContents(ExtractNode folder, const std::string& target, bool targetFresh)
    {
        struct Pending {
            ExtractNode node;
            std::string path;
            bool fresh;
        };
        std::vector<Pending> pending{{folder, target, targetFresh}};
        std::vector<Pending> subfolders;
        while (!pending.empty()) {
            auto [node, path, fresh] = std::move(pending.back());
            pending.pop_back();
            subfolders.clear();
            tree_.Children(node, children_);
            for (ExtractNode child : children_) {
                const ItemInfo info = Info(child);
                std::string childPath;
                if (!TargetFor(path, info.name, childPath)) {
                    continue;
                }
                bool childFresh = false;
                if (!info.isDirectory) {
                    ExtractNonFolder(child, info, childPath, fresh);
                } else if (MakeFolder(child, childPath, childFresh)) {
                    madeFolders_.push_back({childPath, info.date, PermissionsOf(info)});
                    subfolders.push_back({child, std::move(childPath), childFresh});
                }
            }
            // In listing order: the first subfolder is taken next.
            pending.insert(pending.end(), std::make_move_iterator(subfolders.rbegin()),
                           std::make_move_iterator(subfolders.rend()));
        }
    }

    void ExtractNonFolder(ExtractNode node, const ItemInfo& info, const std::string& target, bool inFreshFolder)
    {
        const std::uint32_t type = info.posix.known ? info.posix.mode & iso::kModeTypeMask : 0;
        if (info.IsSymlink()) {
            ExtractLink(info, target, inFreshFolder);
        } else if (type == iso::kModeFifo || type == iso::kModeCharDevice || type == iso::kModeBlockDevice
                   || type == iso::kModeSocket) {
            ExtractSpecial(info, type, target, inFreshFolder);
        } else {
            ExtractFile(node, info, target, inFreshFolder);
        }
    }

    // A new link, made where a file of that name would go: whatever held
    // the name in a folder that was there before goes first (a folder stays,
    // and the link is then reported as not made).
    void ExtractLink(const ItemInfo& info, const std::string& target, bool inFreshFolder)
    {
        if (TakenBefore(target, inFreshFolder)) {
            return;
        }
        if (!inFreshFolder) {
            platform::RemoveFile(target);
        }
        std::string error;
        if (!platform::MakeSymlink(info.posix.linkTarget, target, &error)) {
            Fail(ExtractProblem::CannotCreate, PrintableName(error));
            return;
        }
        if (!inFreshFolder) {
            Remember(target);
        }
        ++totals_.files;
        KeepDate(target, info.date);
    }

    // A named pipe is made as one, with its bits and date. A device is not
    // made: an image is not trusted to hand out access to the devices of
    // whoever extracts it; nor is a socket, which means nothing without the
    // program that listened on it. Neither becomes an empty file that would
    // pass for it.
    void ExtractSpecial(const ItemInfo& info, std::uint32_t type, const std::string& target, bool inFreshFolder)
    {
        if (type != iso::kModeFifo) {
            NotExtracted(target, type == iso::kModeSocket ? "it is a socket, which is not made"
                                                          : "it is a device file, which is not made from an image");
            return;
        }
        if (TakenBefore(target, inFreshFolder)) {
            return;
        }
        if (!inFreshFolder) {
            platform::RemoveFile(target);
        }
        std::string error;
        if (!platform::MakeFifo(target, 0600, &error)) {
            Fail(ExtractProblem::CannotCreate, PrintableName(error));
            return;
        }
        if (!inFreshFolder) {
            Remember(target);
        }
        ++totals_.files;
        KeepDate(target, info.date);
        KeepPermissions(target, PermissionsOf(info));
    }

    void ExtractFile(ExtractNode node, const ItemInfo& info, const std::string& target, bool inFreshFolder)
    {
        // The file is made new under a temporary name and renamed into place
        // once complete, so nothing that holds its name is followed or
        // written through: a link planted there would reach outside the
        // destination. In a folder that was there before, a file or link of
        // that name is replaced; a folder made here holds only what this run
        // put in it, and a name met twice there is refused.
        platform::AtomicOutput out;
        const platform::ExistingOutput existing =
            inFreshFolder ? platform::ExistingOutput::Refuse : platform::ExistingOutput::ReplaceEntry;
        if (TakenBefore(target, inFreshFolder)) {
            return;
        }
        if (!out.Open(target, existing, platform::StaleTemporaries::Keep)) {
            Fail(ExtractProblem::CannotCreate, PrintableName(out.LastError()));
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
            std::string problem;
            if (!tree_.Read(node, offset, buffer_.get(), count, &problem)) {
                failure = "cannot read it from the image: " + problem;
                break;
            }
            if (!out.Stream().Write(buffer_.get(), count)) {
                failure = out.LastError();
                break;
            }
            offset += count;
            done_ += count;
            if (options_.progress) {
                options_.progress(done_);
            }
        }
        if (!failure.empty()) {
            out.Discard();
            NotExtracted(target, failure);
            return;
        }
        // The date goes onto the file before it gets its name (the rename
        // keeps it), through the open file: setting it by its path would look
        // the path up once more.
        Written written{target, info.size, PermissionsOf(info), {}, !inFreshFolder};
        if (info.date != 0 && !out.Stream().SetTimes(info.date)) {
            written.dateError = out.Stream().LastError();
        }
        // A large file is flushed and put in place on its own; small ones
        // together, which spares a disk round trip per file.
        if (info.size >= kOwnFlushBytes) {
            const bool placed = out.Commit();
            Placed(written, placed ? std::string() : out.LastError());
            return;
        }
        writing_.push_back(std::move(written));
        if (batch_.Add(std::move(out), info.size)) {
            PlaceBatch();
        }
    }

    // A file whose data is written, waiting to be put in place.
    struct Written {
        std::string target;
        std::uint64_t size = 0;
        std::optional<std::uint32_t> mode;
        std::string dateError;
        // Put in a folder that was there before, where a name met twice is
        // not refused by the system (ExtractFile).
        bool remember = false;
    };

    void NotExtracted(const std::string& target, const std::string& why)
    {
        Fail(ExtractProblem::Incomplete, "'" + PrintableName(target) + "' not extracted: " + PrintableName(why));
    }

    void PlaceBatch()
    {
        batch_.Commit([this](std::size_t index, const std::string& error) { Placed(writing_[index], error); });
        writing_.clear();
    }

    void Placed(const Written& file, const std::string& error)
    {
        if (!error.empty()) {
            NotExtracted(file.target, error);
            return;
        }
        ++totals_.files;
        totals_.bytes += file.size;
        if (file.remember) {
            Remember(file.target);
        }
        if (!file.dateError.empty()) {
            Fail(ExtractProblem::Date, PrintableName(file.dateError));
        }
        KeepPermissions(file.target, file.mode);
    }

    ExtractTree& tree_;
    const ExtractOptions& options_;
    std::vector<ExtractNode> children_;
    ExtractTotals totals_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t bufferSize_ = 0;
    std::vector<MadeFolder> madeFolders_;
    // Identities (volume, file) of the folders this run made or filled and
    // of the files it put into folders that were there before.
    std::set<std::pair<std::uint64_t, std::uint64_t>> written_;
    // The paths this run gave entries other than folders.
    std::unordered_set<std::string> targets_;
    std::uint64_t done_ = 0;
    platform::OutputBatch batch_;
    std::vector<Written> writing_;
};

} // namespace

std::uint64_t FileBytesBelow(IIsoEdit& edit, DirNode* node)
{
    ItemInfo info;
    edit.GetItemInfo(node, info);
    if (node != edit.GetRoot() && !info.isDirectory) {
        return info.size;
    }
    std::uint64_t bytes = 0;
    std::vector<DirNode*> pending{node};
    while (!pending.empty()) {
        DirNode* folder = pending.back();
        pending.pop_back();
        for (DirNode* child = edit.GetFirstChild(folder); child != nullptr; child = edit.GetNextSibling(child)) {
            ItemInfo childInfo;
            edit.GetItemInfo(child, childInfo);
            if (childInfo.isDirectory) {
                pending.push_back(child);
            } else {
                bytes += childInfo.size;
            }
        }
    }
    return bytes;
}

bool IsoEditTree::IsRoot(ExtractNode node) { return node == edit_.GetRoot(); }

ItemInfo IsoEditTree::Info(ExtractNode node)
{
    ItemInfo info;
    edit_.GetItemInfo(Dir(node), info);
    return info;
}

void IsoEditTree::Children(ExtractNode node, std::vector<ExtractNode>& out)
{
    out.clear();
    for (DirNode* child = edit_.GetFirstChild(Dir(node)); child != nullptr; child = edit_.GetNextSibling(child)) {
        out.push_back(child);
    }
}

bool IsoEditTree::Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
                       std::string* problem)
{
    if (!edit_.ReadFileData(Dir(node), offset, buffer, count)) {
        *problem = edit_.GetLastError();
        return false;
    }
    return true;
}

DirNode* IsoEditTree::Dir(ExtractNode node)
{
    // The facade hands out nodes it owns; extracting only reads them.
    return const_cast<DirNode*>(static_cast<const DirNode*>(node));
}

ExtractTotals ExtractEntries(IIsoEdit& edit, const std::vector<DirNode*>& nodes, const std::string& destination,
                             const ExtractOptions& options)
{
    IsoEditTree tree(edit);
    return ExtractEntries(tree, std::vector<ExtractNode>(nodes.begin(), nodes.end()), destination, options);
}

ExtractTotals ExtractEntries(ExtractTree& tree, const std::vector<ExtractNode>& nodes, const std::string& destination,
                             const ExtractOptions& options)
{
    return Extractor(tree, options).Run(nodes, destination);
}

} // namespace tarvelin
