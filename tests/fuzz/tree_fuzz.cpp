// The directory tree of an image, as `ls -R` and `extract` read it: the
// primary tree with its Rock Ridge and other SUSP entries (continuation
// areas, relocated folders), the Joliet tree paired with it, and the names
// each set of names gives. Every entry is listed and a little of each file
// is read. The free space a save would use is worked out too (every tree,
// continuation area, boot image and partition table entry it refers to).

#include "fuzz_input.h"

#include "edit/iso_edit.h"

#include <vector>

using namespace tarvelin;

namespace {

// Entries listed per load; far more than a few hundred KiB of directory
// records hold.
constexpr std::size_t kMaxEntries = 100000;
constexpr std::uint32_t kReadBytes = 4096;

void Walk(IIsoEdit& edit)
{
    std::vector<DirNode*> pending{edit.GetRoot()};
    std::vector<std::uint8_t> buffer(kReadBytes);
    std::size_t listed = 0;
    while (!pending.empty() && listed < kMaxEntries) {
        DirNode* folder = pending.back();
        pending.pop_back();
        for (DirNode* node = edit.GetFirstChild(folder); node != nullptr && listed < kMaxEntries;
             node = edit.GetNextSibling(node)) {
            ++listed;
            ItemInfo info;
            fuzz::Expect(edit.GetItemInfo(node, info), "a listed entry has its facts");
            fuzz::Expect(!info.name.empty(), "a listed entry has a name");
            std::uint32_t extent = 0;
            (void)edit.GetItemExtent(node, extent);
            if (info.isDirectory) {
                pending.push_back(node);
                continue;
            }
            const auto head = static_cast<std::uint32_t>(std::min<std::uint64_t>(info.size, kReadBytes));
            (void)edit.ReadFileData(node, 0, buffer.data(), head);
            if (info.size > kReadBytes) {
                (void)edit.ReadFileData(node, info.size - kReadBytes, buffer.data(), kReadBytes);
            }
            fuzz::Expect(!edit.ReadFileData(node, info.size, buffer.data(), 1), "nothing reads past a file's end");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::Inputs().Write("image.iso", data, size);
    ComponentPtr<IIsoEdit> edit(Edit1());
    fuzz::Expect(edit.get() != nullptr, "the edit component can be made");
    if (!edit->Open(path.c_str())) {
        return 0;
    }
    const FreeSpaceInfo free = edit->GetFreeSpace();
    fuzz::Expect(free.known || free.freeSectors == 0, "unknown free space offers no sector");
    fuzz::Expect(free.freeSectors <= free.volumeSectors, "no more free sectors than the volume has");
    for (const NameSource names : {NameSource::Automatic, NameSource::Iso, NameSource::Joliet}) {
        edit->SetNameSource(names);
        edit->LoadTree();
        (void)edit->GetLoadReport();
        (void)edit->HasRockRidge();
        Walk(*edit.get());
    }
    return 0;
}
