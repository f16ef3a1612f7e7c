#pragma once

// Images for the tests of the image reading side: an image in memory that
// counts how it is read, crafted record by record with the engine's ISO 9660
// encoders where no peer tool writes the shape (loops, damage, multi-extent
// files), and the listing `isoinfo -l` prints.

#include "core/iso_sector.h"
#include "iso/iso9660.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::test {

// An image held in memory: logical sectors, zeros until a test writes them,
// read through the sector component interface or through the callback the
// engine's decoders take. Reads outside the image fail as the engine's
// sector component fails for sectors it cannot position, and are counted;
// so is the highest sector read. Images no peer tool writes are assembled
// with the engine's encoders: descriptors at 16 onwards, directories
// wherever the test puts them.
class MemorySector : public IIsoSector {
public:
    explicit MemorySector(std::vector<std::uint8_t> content = {});
    explicit MemorySector(std::uint32_t sectorCount) : MemorySector(std::vector<std::uint8_t>(sectorCount * kSector)) {}

    static constexpr std::size_t kSector = 2048;
    std::vector<std::uint8_t> bytes;
    std::uint32_t readSectorCalls = 0;
    std::uint32_t readSectorsCalls = 0;
    mutable std::uint32_t readsOutside = 0;
    mutable std::uint32_t highestRead = 0;

    std::uint32_t SectorCount() const { return static_cast<std::uint32_t>(bytes.size() / kSector); }
    std::uint8_t* SectorData(std::uint32_t sector) { return bytes.data() + sector * kSector; }
    iso::Bytes At(std::uint32_t sector) { return iso::Bytes(SectorData(sector), kSector); }
    iso::ConstBytes SectorBytes(std::uint32_t sector, std::uint32_t count = 1) const
    {
        return iso::ConstBytes(bytes).subspan(sector * kSector, count * kSector);
    }
    void Put(std::uint32_t sector, std::uint32_t offset, std::string_view data)
    {
        std::copy(data.begin(), data.end(), SectorData(sector) + offset);
    }
    iso::SectorReader Reader() const
    {
        return [this](std::uint32_t sector, std::uint8_t* buffer) { return Copy(sector, buffer, 1); };
    }

    // Writes ".", ".." and the records in order from sector `extent` on,
    // records never crossing a sector; returns the directory's data length.
    std::uint32_t WriteDirectory(std::uint32_t extent, std::uint32_t parentExtent, std::uint32_t parentLength,
                                 const std::vector<iso::DirectoryRecord>& children);
    // The data length WriteDirectory gives these children.
    static std::uint32_t DirectoryLength(const std::vector<iso::DirectoryRecord>& children);
    // Primary descriptor at 16 with this root, then a Joliet descriptor when
    // a Joliet root is given, then the terminator.
    void WriteDescriptors(std::uint32_t rootExtent, std::uint32_t rootLength,
                          std::optional<std::pair<std::uint32_t, std::uint32_t>> jolietRoot = std::nullopt);

    bool Reserved() override { return true; }
    bool Open(const char*) override { return false; }
    void AcceptUdfAlone(bool) override {}
    bool HoldsUdfAlone() override { return false; }
    bool ReadSector(std::uint32_t sector, void* buffer) override;
    bool ReadSectors(std::uint32_t firstSector, void* buffer, std::uint32_t count) override;
    bool WriteSectors(const void*, std::uint32_t, std::uint32_t) override { return false; }
    bool HasForm2Sectors(std::uint32_t, std::uint32_t) override { return false; }
    bool ReadForm2Data(std::uint32_t, void*, std::uint32_t) override { return false; }
    bool HasSubheaders() override { return false; }
    bool ReadSubheaders(std::uint32_t, std::uint32_t, void*) override { return false; }
    bool WriteSectorsWithSubheaders(const void*, const void*, std::uint32_t, std::uint32_t) override { return false; }
    bool SeekToEnd() override { return false; }
    bool SeekToSector(std::uint32_t) override { return false; }
    std::uint32_t GetDamagedSectors(std::uint32_t*) override { return 0; }
    std::uint32_t GetTrackMode() override { return 0; }
    ImageLayout GetLayout() override { return {0, 0, 2048, 0, 0}; }
    LayoutProbe GetLayoutProbe() override { return LayoutProbe::PlainIso; }
    std::uint32_t GetSectorCount() override { return SectorCount(); }
    ImageOpenError GetOpenError() override { return ImageOpenError::None; }
    bool IsReadOnly() override { return true; }
    bool Flush() override { return true; }
    IImageFile* GetFile() override { return nullptr; }
    const char* GetLastError() override { return ""; }
    bool BeginSave() override { return false; }
    bool CommitSave() override { return false; }
    bool RollbackSave() override { return false; }
    bool ForgoUndo(std::uint32_t, std::uint32_t) override { return false; }
    bool ProtectAhead(std::uint32_t, std::uint32_t) override { return false; }
    bool TruncateSectors(std::uint32_t) override { return false; }

private:
    bool Copy(std::uint32_t firstSector, void* buffer, std::uint32_t count) const;
};

// A both-endian 32-bit number as the bytes of a system use entry.
std::string Both32(std::uint32_t value);

// A record for a crafted directory; dates default to none.
iso::DirectoryRecord MakeRecord(const std::string& identifier, std::uint32_t extent, std::uint32_t length,
                                std::uint8_t flags = 0, iso::RecordingDate date = {});
// A Joliet identifier (UTF-16 big-endian) of UTF-8 text.
std::string JolietId(const std::string& utf8);

// Puts the numbers `to` in place of every run of bytes that holds the numbers `from`, each number in both byte orders
// as a directory record holds its extent and data length; how many runs.
int ReplaceBothOrderFields(std::vector<std::uint8_t>& bytes, const std::vector<std::uint32_t>& from,
                           const std::vector<std::uint32_t>& to);

// A record line of `isoinfo -l` with the folder it lists ("/", "/SUB/"): each field as printed, the name with
// " -> target" where Rock Ridge records a link.
struct IsoinfoLine {
    std::string folder, mode, links, user, group, size, month, day, year, extent, flags, name;
};
// Every record line of the output, "." and ".." too, in the order printed.
std::vector<IsoinfoLine> IsoinfoLines(const std::string& output);

// One line of `isoinfo -l`: the identifier as recorded, its size, extent and flags.
struct IsoinfoEntry {
    std::string identifier;
    std::uint64_t size = 0;
    std::uint32_t extent = 0;
    unsigned flags = 0;
    bool operator==(const IsoinfoEntry&) const = default;
};
// Directory path as isoinfo prints it ("/", "/SUB/") -> its records in
// order, "." and ".." left out.
using IsoinfoListing = std::map<std::string, std::vector<IsoinfoEntry>>;
IsoinfoListing ParseIsoinfoListing(const std::string& output);

} // namespace tarvelin::test
