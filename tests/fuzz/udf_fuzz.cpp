// The UDF file system of an image, as `ls --tree udf` and `extract --tree
// udf` read it: the anchors, both volume descriptor sequences, the partition
// maps (a metadata partition and its mirror), the file set and every file
// entry below its root. Every node is listed and a little of each file is
// read, from its start and its end.
//
// The input is the image itself, sector after sector; a last sector cut
// short reads with zeros behind it.

#include "fuzz_input.h"

#include "iso/udf.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace tarvelin;

namespace {

constexpr std::uint32_t kReadBytes = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kBlock = iso::udf::kUdfBlockSize;
    const auto sectorCount = static_cast<std::uint32_t>((size + kBlock - 1) / kBlock);
    const iso::SectorReader read = [&](std::uint32_t sector, std::uint8_t* buffer) {
        if (sector >= sectorCount) {
            return false;
        }
        const std::size_t offset = static_cast<std::size_t>(sector) * kBlock;
        const std::size_t available = std::min(kBlock, size - offset);
        std::memcpy(buffer, data + offset, available);
        std::memset(buffer + available, 0, kBlock - available);
        return true;
    };

    std::string problem;
    bool noVolume = false;
    const std::optional<iso::udf::Volume> volume = iso::udf::ReadVolume(read, sectorCount, &problem, &noVolume);
    if (!volume) {
        fuzz::Expect(!problem.empty(), "a volume that cannot be read says why");
        return 0;
    }
    fuzz::Expect(!volume->nodes.empty() && volume->nodes[0].isDirectory, "a volume has a root folder");
    (void)iso::udf::RevisionText(volume->revision);

    std::vector<std::uint8_t> buffer(kReadBytes);
    std::uint32_t files = 0;
    std::uint32_t folders = 0;
    for (std::size_t index = 0; index < volume->nodes.size(); ++index) {
        const iso::udf::Node& node = volume->nodes[index];
        for (const std::int32_t child : node.children) {
            fuzz::Expect(child > 0 && static_cast<std::size_t>(child) < volume->nodes.size(),
                         "a child is a node of the volume");
            fuzz::Expect(volume->nodes[static_cast<std::size_t>(child)].parent == static_cast<std::int32_t>(index),
                         "a child names its folder as its parent");
        }
        if (index == 0) {
            continue;
        }
        fuzz::Expect(!node.name.empty(), "a listed node has a name");
        if (node.isDirectory) {
            ++folders;
            continue;
        }
        ++files;
        const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(node.size, kReadBytes));
        (void)iso::udf::ReadFileData(read, sectorCount, *volume, node, 0, buffer.data(), head, &problem);
        if (node.size > kReadBytes) {
            (void)iso::udf::ReadFileData(read, sectorCount, *volume, node, node.size - kReadBytes, buffer.data(),
                                         kReadBytes, &problem);
        }
    }
    fuzz::Expect(files == volume->fileCount && folders == volume->folderCount,
                 "the counts of files and folders are those of the nodes");
    return 0;
}
