#include "iso/boot_info_table.h"

#include "core/iso_sector.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace tarvelin::iso {

std::uint32_t AddBootInfoChecksum(std::uint32_t sum, ConstBytes words)
{
    const std::size_t whole = words.size() / 4 * 4;
    for (std::size_t offset = 0; offset < whole; offset += 4) {
        sum += ReadLe32(words, offset);
    }
    std::uint32_t last = 0;
    for (std::size_t i = whole; i < words.size(); ++i) {
        last |= std::uint32_t{words[i]} << (8 * (i - whole));
    }
    return sum + last;
}

std::uint32_t BootInfoChecksum(ConstBytes file)
{
    return file.size() > BootInfoTableOffset::kEnd ? AddBootInfoChecksum(0, file.subspan(BootInfoTableOffset::kEnd))
                                                   : 0;
}

std::optional<BootInfoTable> ReadBootInfoTable(ConstBytes head)
{
    if (head.size() < BootInfoTableOffset::kEnd) {
        return std::nullopt;
    }
    BootInfoTable table;
    table.primaryDescriptor = ReadLe32(head, BootInfoTableOffset::kPrimaryDescriptor);
    table.fileSector = ReadLe32(head, BootInfoTableOffset::kFileSector);
    table.fileLength = ReadLe32(head, BootInfoTableOffset::kFileLength);
    table.checksum = ReadLe32(head, BootInfoTableOffset::kChecksum);
    return table;
}

bool PutBootInfoTable(Bytes head, const BootInfoTable& table)
{
    if (head.size() < BootInfoTableOffset::kEnd) {
        return false;
    }
    PutLe32(head, BootInfoTableOffset::kPrimaryDescriptor, table.primaryDescriptor);
    PutLe32(head, BootInfoTableOffset::kFileSector, table.fileSector);
    PutLe32(head, BootInfoTableOffset::kFileLength, table.fileLength);
    PutLe32(head, BootInfoTableOffset::kChecksum, table.checksum);
    std::fill(head.begin() + BootInfoTableOffset::kReserved, head.begin() + BootInfoTableOffset::kEnd, 0);
    return true;
}

namespace {

// The descriptor field of a table an image writer filled in: the primary
// descriptor lies at sector 16 of the session the writer wrote, which need
// not start at sector 0. A loader carries its table across images, so any
// such sector is taken; what the table says of the file itself is what
// tells it apart from other bytes.
bool NamesDescriptorSector(const BootInfoTable& table)
{
    return table.primaryDescriptor >= kFirstDescriptorSector;
}

} // namespace

bool HasBootInfoTable(ConstBytes file, std::uint32_t sector)
{
    const std::optional<BootInfoTable> table = ReadBootInfoTable(file);
    return table && table->primaryDescriptor == kFirstDescriptorSector && table->fileSector == sector
        && table->fileLength == file.size() && table->checksum == BootInfoChecksum(file);
}

bool HasPlausibleBootInfoTable(ConstBytes head, std::uint64_t fileLength)
{
    const std::optional<BootInfoTable> table = ReadBootInfoTable(head);
    return table && NamesDescriptorSector(*table) && table->fileLength == fileLength;
}

bool PatchBootInfoTable(Bytes file, std::uint32_t sector)
{
    if (file.size() < BootInfoTableOffset::kEnd || file.size() > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    return PutBootInfoTable(file, {kFirstDescriptorSector, sector, static_cast<std::uint32_t>(file.size()),
                                   BootInfoChecksum(file)});
}

std::uint64_t Grub2BootInfoValue(std::uint32_t sector)
{
    return std::uint64_t{sector} * 4 + 5;
}

bool HasGrub2BootInfo(ConstBytes file, std::uint32_t sector)
{
    if (file.size() < kGrub2BootInfoEnd) {
        return false;
    }
    const std::uint64_t value = ReadLe32(file, kGrub2BootInfoOffset)
                              | std::uint64_t{ReadLe32(file, kGrub2BootInfoOffset + 4)} << 32;
    return value == Grub2BootInfoValue(sector);
}

bool PatchGrub2BootInfo(Bytes file, std::uint32_t sector)
{
    if (file.size() < kGrub2BootInfoEnd) {
        return false;
    }
    const std::uint64_t value = Grub2BootInfoValue(sector);
    PutLe32(file, kGrub2BootInfoOffset, static_cast<std::uint32_t>(value));
    PutLe32(file, kGrub2BootInfoOffset + 4, static_cast<std::uint32_t>(value >> 32));
    return true;
}

// ---------------------------------------------------------------------------
// In an image

namespace {

constexpr std::uint32_t kHeadSectors = 2; // hold the table and GRUB2's boot info
constexpr std::uint32_t kChecksumBatch = 32;

// The first sectors of a boot file in the image, kept as whole sectors so
// that writing them back leaves the bytes behind a short file as they were.
struct BootFileHead {
    std::uint32_t extent = 0;
    std::uint64_t length = 0;
    std::uint32_t sectors = 0;
    std::vector<std::uint8_t> bytes;

    Bytes File() { return Bytes(bytes).first(static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes.size()))); }
};

bool ReadHead(IIsoSector& sector, std::uint32_t extent, std::uint64_t length, BootFileHead& head, std::string& error)
{
    if (length == 0 || length > std::numeric_limits<std::uint32_t>::max()
        || extent + std::uint64_t{SectorsFor(static_cast<std::uint32_t>(length))}
               > std::numeric_limits<std::uint32_t>::max()) {
        error = "the boot image does not lie within the sectors an image can address";
        return false;
    }
    head.extent = extent;
    head.length = length;
    head.sectors = std::min(kHeadSectors, SectorsFor(static_cast<std::uint32_t>(length)));
    head.bytes.assign(std::size_t{head.sectors} * kSectorSize, 0);
    if (!sector.ReadSectors(extent, head.bytes.data(), head.sectors)) {
        error = std::string("cannot read the boot image: ") + sector.GetLastError();
        return false;
    }
    return true;
}

bool WriteHead(IIsoSector& sector, const BootFileHead& head, std::string& error)
{
    if (!sector.WriteSectors(head.bytes.data(), head.sectors, head.extent)) {
        error = std::string("cannot write the boot information of the boot image: ") + sector.GetLastError();
        return false;
    }
    return true;
}

// The checksum of the file: its head as it is in memory, the rest read from
// the image a batch of sectors at a time.
bool FileChecksum(IIsoSector& sector, BootFileHead& head, std::uint32_t& sum, std::string& error)
{
    sum = BootInfoChecksum(head.File());
    std::vector<std::uint8_t> batch(std::size_t{kChecksumBatch} * kSectorSize);
    for (std::uint64_t offset = head.bytes.size(); offset < head.length;) {
        const std::uint64_t left = head.length - offset;
        const auto sectors = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(kChecksumBatch, (left + kSectorSize - 1) / kSectorSize));
        const auto first = head.extent + static_cast<std::uint32_t>(offset / kSectorSize);
        if (!sector.ReadSectors(first, batch.data(), sectors)) {
            error = std::string("cannot read the boot image: ") + sector.GetLastError();
            return false;
        }
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left, batch.size()));
        sum = AddBootInfoChecksum(sum, ConstBytes(batch).first(take));
        offset += take;
    }
    return true;
}

} // namespace

const char* ForcedBootInfoMisfit(std::uint64_t length, std::uint32_t flags)
{
    if ((flags & kBootInfoTable) != 0 && length < BootInfoTableOffset::kEnd) {
        return "the boot image is too short for a boot-info-table (64 bytes)";
    }
    if ((flags & kBootInfoGrub2) != 0 && length < kGrub2BootInfoEnd) {
        return "the boot image is too short for GRUB2's boot info (2,556 bytes)";
    }
    return nullptr;
}

bool WriteBootInfo(IIsoSector& sector, std::uint32_t extent, std::uint64_t length, std::uint32_t flags,
                   std::string& error)
{
    if ((flags & (kBootInfoTable | kBootInfoGrub2 | kBootInfoAutomatic)) == 0) {
        return true;
    }
    BootFileHead head;
    if (!ReadHead(sector, extent, length, head, error)) {
        return false;
    }
    const bool table = (flags & kBootInfoTable) != 0
                    || ((flags & kBootInfoAutomatic) != 0 && HasPlausibleBootInfoTable(head.File(), length));
    const bool grub2 = (flags & kBootInfoGrub2) != 0;
    if (const char* misfit = ForcedBootInfoMisfit(length, (table ? kBootInfoTable : 0) | (grub2 ? kBootInfoGrub2 : 0));
        misfit != nullptr) {
        error = misfit;
        return false;
    }
    if (!table && !grub2) {
        return true;
    }
    // GRUB2's boot info lies in the checksummed part: it goes in first.
    if (grub2) {
        PatchGrub2BootInfo(head.File(), extent);
    }
    std::uint32_t checksum = 0;
    if (table) {
        if (!FileChecksum(sector, head, checksum, error)) {
            return false;
        }
        PutBootInfoTable(head.File(), {kFirstDescriptorSector, extent, static_cast<std::uint32_t>(length), checksum});
    }
    return WriteHead(sector, head, error);
}

bool MoveBootInfo(IIsoSector& sector, std::uint32_t from, std::uint32_t extent, std::uint64_t length,
                  std::string& error)
{
    if (from == extent) {
        return true;
    }
    BootFileHead head;
    if (!ReadHead(sector, extent, length, head, error)) {
        return false;
    }
    const std::optional<BootInfoTable> table = ReadBootInfoTable(head.File());
    bool tableValid = table && NamesDescriptorSector(*table) && table->fileSector == from
                   && table->fileLength == length;
    const bool grub2 = HasGrub2BootInfo(head.File(), from);
    std::uint32_t checksum = 0;
    if (tableValid) {
        if (!FileChecksum(sector, head, checksum, error)) {
            return false;
        }
        tableValid = checksum == table->checksum;
    }
    if (!tableValid && !grub2) {
        return true;
    }
    if (grub2) {
        // The checksum changes by what the two words of the boot info do.
        const Bytes field = head.File().subspan(kGrub2BootInfoOffset, 8);
        checksum -= AddBootInfoChecksum(0, field);
        PatchGrub2BootInfo(head.File(), extent);
        checksum += AddBootInfoChecksum(0, field);
    }
    // Only the sector and the checksum change; the rest of the table stays
    // as the image had it.
    if (tableValid) {
        PutLe32(head.File(), BootInfoTableOffset::kFileSector, extent);
        PutLe32(head.File(), BootInfoTableOffset::kChecksum, checksum);
    }
    return WriteHead(sector, head, error);
}

std::uint64_t BootFileLengthFromTable(IIsoSector& sector, std::uint32_t first)
{
    std::vector<std::uint8_t> bytes(kSectorSize);
    if (!sector.ReadSector(first, bytes.data())) {
        return 0;
    }
    const std::optional<BootInfoTable> table = ReadBootInfoTable(bytes);
    if (!table || !NamesDescriptorSector(*table) || table->fileSector != first
        || table->fileLength <= BootInfoTableOffset::kEnd
        || first + std::uint64_t{SectorsFor(table->fileLength)} > sector.GetSectorCount()) {
        return 0;
    }
    BootFileHead head;
    std::string error;
    std::uint32_t checksum = 0;
    if (!ReadHead(sector, first, table->fileLength, head, error) || !FileChecksum(sector, head, checksum, error)) {
        return 0;
    }
    return checksum == table->checksum ? table->fileLength : 0;
}

} // namespace tarvelin::iso
