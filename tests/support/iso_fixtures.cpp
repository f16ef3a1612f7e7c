#include "support/iso_fixtures.h"

#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace tarvelin::test {

MemorySector::MemorySector(std::vector<std::uint8_t> content) : bytes(std::move(content))
{
    bytes.resize((bytes.size() + kSector - 1) / kSector * kSector);
}

bool MemorySector::Copy(std::uint32_t firstSector, void* buffer, std::uint32_t count) const
{
    if (std::uint64_t{firstSector} + count > SectorCount()) {
        ++readsOutside;
        return false;
    }
    highestRead = std::max(highestRead, firstSector + count - 1);
    std::memcpy(buffer, bytes.data() + firstSector * kSector, count * kSector);
    return true;
}

bool MemorySector::ReadSector(std::uint32_t sector, void* buffer)
{
    ++readSectorCalls;
    return Copy(sector, buffer, 1);
}

bool MemorySector::ReadSectors(std::uint32_t firstSector, void* buffer, std::uint32_t count)
{
    ++readSectorsCalls;
    return Copy(firstSector, buffer, count);
}

std::uint32_t MemorySector::DirectoryLength(const std::vector<iso::DirectoryRecord>& children)
{
    std::vector<std::size_t> sizes;
    for (const iso::DirectoryRecord& child : children) {
        sizes.push_back(iso::DirectoryRecordSize(child));
    }
    return iso::DirectoryDataLength(sizes);
}

std::uint32_t MemorySector::WriteDirectory(std::uint32_t extent, std::uint32_t parentExtent,
                                           std::uint32_t parentLength,
                                           const std::vector<iso::DirectoryRecord>& children)
{
    const std::uint32_t length = DirectoryLength(children);
    if ((extent * kSector) + length > bytes.size()) {
        throw std::logic_error("crafted directory does not fit the image");
    }
    const iso::Bytes out(SectorData(extent), length);
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::vector<iso::DirectoryRecord> records{iso::MakeSelfRecord(extent, length),
                                              iso::MakeParentRecord(parentExtent, parentLength)};
    records.insert(records.end(), children.begin(), children.end());
    std::size_t used = 0;
    for (const iso::DirectoryRecord& record : records) {
        const std::size_t at = iso::PlaceDirectoryRecord(used, iso::DirectoryRecordSize(record));
        const std::size_t written = iso::EncodeDirectoryRecord(record, out.subspan(at));
        if (written == 0) {
            throw std::logic_error("crafted record cannot be encoded");
        }
        used = at + written;
    }
    return length;
}

void MemorySector::WriteDescriptors(std::uint32_t rootExtent, std::uint32_t rootLength,
                                    std::optional<std::pair<std::uint32_t, std::uint32_t>> jolietRoot)
{
    std::uint32_t sector = iso::kFirstDescriptorSector;
    iso::VolumeDescriptor primary;
    primary.type = iso::DescriptorType::Primary;
    primary.volumeSpaceSize = SectorCount();
    primary.volumeSetSize = 1;
    primary.volumeSequenceNumber = 1;
    primary.rootRecord = iso::MakeSelfRecord(rootExtent, rootLength);
    if (!iso::EncodeVolumeDescriptor(primary, At(sector++))) {
        throw std::logic_error("crafted primary descriptor cannot be encoded");
    }
    if (jolietRoot) {
        iso::VolumeDescriptor joliet = primary;
        joliet.type = iso::DescriptorType::Supplementary;
        std::copy(iso::kJolietLevel3Escape.begin(), iso::kJolietLevel3Escape.end(), joliet.escapeSequences.begin());
        joliet.rootRecord = iso::MakeSelfRecord(jolietRoot->first, jolietRoot->second);
        if (!iso::EncodeVolumeDescriptor(joliet, At(sector++))) {
            throw std::logic_error("crafted Joliet descriptor cannot be encoded");
        }
    }
    iso::EncodeTerminator(At(sector));
}

iso::DirectoryRecord MakeRecord(const std::string& identifier, std::uint32_t extent, std::uint32_t length,
                                std::uint8_t flags, iso::RecordingDate date)
{
    iso::DirectoryRecord record;
    record.identifier = identifier;
    record.extent = extent;
    record.dataLength = length;
    record.flags = flags;
    record.date = date;
    record.volumeSequenceNumber = 1;
    return record;
}

std::string JolietId(const std::string& utf8)
{
    return iso::JolietIdentifier(platform::NarrowToUtf16(utf8));
}

std::string Both32(std::uint32_t value)
{
    std::string bytes(8, '\0');
    iso::PutBoth32(iso::Bytes(reinterpret_cast<std::uint8_t*>(bytes.data()), 8), 0, value);
    return bytes;
}

int ReplaceBothOrderFields(std::vector<std::uint8_t>& bytes, const std::vector<std::uint32_t>& from,
                           const std::vector<std::uint32_t>& to)
{
    const auto encode = [](const std::vector<std::uint32_t>& numbers) {
        std::vector<std::uint8_t> fields(numbers.size() * 8);
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            iso::PutBoth32(fields, i * 8, numbers[i]);
        }
        return fields;
    };
    const std::vector<std::uint8_t> pattern = encode(from), replacement = encode(to);
    int runs = 0;
    for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), pattern.begin(), pattern.end())) != bytes.end();) {
        at = std::copy(replacement.begin(), replacement.end(), at);
        ++runs;
    }
    return runs;
}

std::vector<IsoinfoLine> IsoinfoLines(const std::string& output)
{
    static const std::string kHeader = "Directory listing of ";
    std::vector<IsoinfoLine> records;
    std::string folder;
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        // "----------   0    0    0      3 Dec  6 2026 [     33 00]  A.;1 "
        const std::size_t open = text.find('[');
        const std::size_t close = open == std::string::npos ? open : text.find("]  ", open);
        if (text.rfind(kHeader, 0) == 0) {
            folder = text.substr(kHeader.size());
            continue;
        }
        IsoinfoLine line;
        line.folder = folder;
        std::istringstream before(text.substr(0, open)), inside(text.substr(open + 1, close - open - 1));
        if (folder.empty() || close == std::string::npos
            || !(before >> line.mode >> line.links >> line.user >> line.group >> line.size >> line.month >> line.day
                 >> line.year)
            || !(inside >> line.extent >> line.flags)) {
            continue;
        }
        line.name = text.substr(close + 3);
        line.name.resize(line.name.size() - (line.name.ends_with(' ') ? 1 : 0));
        records.push_back(std::move(line));
    }
    return records;
}

IsoinfoListing ParseIsoinfoListing(const std::string& output)
{
    IsoinfoListing listing;
    for (const IsoinfoLine& line : IsoinfoLines(output)) {
        std::vector<IsoinfoEntry>& folder = listing[line.folder];
        if ((line.mode[0] == 'd' || line.mode[0] == '-') && line.name != "." && line.name != "..") {
            folder.push_back({line.name, std::stoull(line.size), static_cast<std::uint32_t>(std::stoul(line.extent)),
                              static_cast<unsigned>(std::stoul(line.flags, nullptr, 16))});
        }
    }
    return listing;
}

} // namespace tarvelin::test
