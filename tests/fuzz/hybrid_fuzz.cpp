// The partition tables of a hybrid image as a save grows them: the MBR and
// a GPT in the system area, read from the image and rewritten. An input is
// the save's numbers (five little-endian words: old volume sectors, old file
// length in sectors, metadata end, data end, and a moved range's from, with
// its length and new place in the next two), then the system area; a
// shorter area is filled with zeros (the unused GPT entries are zeros).

#include "fuzz_input.h"

#include "iso/hybrid_tables.h"

#include <algorithm>
#include <vector>

using namespace tarvelin;

namespace {

constexpr std::size_t kWords = 7;

std::uint32_t Word(const std::uint8_t* data, std::size_t index)
{
    return iso::ReadLe32(iso::ConstBytes(data, kWords * 4), index * 4);
}

bool SameRange(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t from,
               std::size_t to)
{
    return std::equal(a.begin() + static_cast<std::ptrdiff_t>(from), a.begin() + static_cast<std::ptrdiff_t>(to),
                      b.begin() + static_cast<std::ptrdiff_t>(from));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kWords * 4) {
        return 0;
    }
    hybrid::VolumeGrowth growth;
    growth.oldVolumeSectors = Word(data, 0);
    growth.oldFileLength = std::uint64_t{Word(data, 1)} * iso::kSectorSize;
    growth.metadataEnd = Word(data, 2);
    growth.dataEnd = Word(data, 3);
    if (Word(data, 5) != 0) {
        growth.moved.push_back({Word(data, 4), Word(data, 5), Word(data, 6), (Word(data, 5) & 1) != 0});
    }
    std::vector<std::uint8_t> area(hybrid::kSystemAreaBytes);
    std::copy_n(data + kWords * 4, std::min(size - kWords * 4, area.size()), area.begin());

    const hybrid::GrownTables grown = hybrid::GrowTables(area, growth);
    fuzz::Expect(grown.systemArea.size() == area.size(), "the system area keeps its size");
    fuzz::Expect(grown.changed == (grown.systemArea != area), "a change is reported exactly when there is one");
    fuzz::Expect(grown.volumeSectors >= growth.dataEnd, "the volume takes in what the save wrote");
    // The MBR's boot code stays but for the block of a boot image it loads.
    const std::size_t bootField = hybrid::MbrOffset::kBootFileBlock;
    fuzz::Expect(SameRange(area, grown.systemArea, 0, bootField)
                     && SameRange(area, grown.systemArea, bootField + 4, hybrid::MbrOffset::kPartitionTable),
                 "the boot code stays");
    if (grown.backupGpt.empty()) {
        fuzz::Expect(SameRange(area, grown.systemArea, 512, area.size()), "without a GPT written, no GPT changes");
    } else {
        fuzz::Expect(grown.backupGpt.size() % 512 == 0 && grown.backupGpt.size() >= 1024,
                     "a backup GPT is whole blocks: entries, then its header");
        fuzz::Expect(grown.backupGpt.size() / 512 <= std::uint64_t{grown.volumeSectors} * 4,
                     "the backup GPT fits in the volume");
    }
    return 0;
}
