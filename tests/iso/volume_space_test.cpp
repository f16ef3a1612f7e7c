// Which sectors of a volume count as free: a crafted image whose every reference is known, then one
// change each (continuation area, hidden boot images, what the scan cannot account for).

#include "iso/iso9660.h"
#include "iso/volume_space.h"
#include "support/iso_fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace tarvelin::iso {
namespace {

using test::Both32;
using test::MakeRecord;

constexpr std::uint32_t kSectors = 120;

// Root at 20: A.BIN (5000 bytes at 30), X.BIN (an extended attribute sector, then 2048 bytes, at
// 40), SUB at 22 holding B.BIN (1 byte at 50) and a loop back to the root. rootSelfUse: "."'s system use.
std::vector<std::uint8_t> BaseImage(const std::string& rootSelfUse = {})
{
    test::MemorySector image(kSectors);
    DirectoryRecord extended = MakeRecord("X.BIN;1", 40, 2048);
    extended.extendedAttributeLength = 1;
    DirectoryRecord self = MakeSelfRecord(20, 2048);
    self.systemUse = rootSelfUse;
    std::size_t at = 0;
    for (const DirectoryRecord& record : {self, MakeParentRecord(20, 2048), MakeRecord("A.BIN;1", 30, 5000), extended,
                                          MakeRecord("SUB", 22, 2048, DirectoryFlags::kDirectory)}) {
        at += EncodeDirectoryRecord(record, Bytes(image.SectorData(20) + at, 2048 - at));
    }
    image.WriteDirectory(22, 20, 2048,
                         {MakeRecord("B.BIN;1", 50, 1), MakeRecord("LOOP", 20, 2048, DirectoryFlags::kDirectory)});
    image.WriteDescriptors(20, 2048);
    return image.bytes;
}

// Sector 17 becomes a boot record whose catalog (at 60) holds the entry; the terminator moves to 18.
void AddBootEntry(test::MemorySector& image, const BootEntry& entry)
{
    EncodeTerminator(image.At(18));
    EncodeBootRecord(MakeElToritoBootRecord(60), image.At(17));
    BootCatalogSet catalog;
    catalog.defaultEntry = entry;
    EncodeBootCatalogSet(catalog, image.At(60));
}

BootEntry Entry(std::uint8_t media, std::uint16_t sectorCount, std::uint32_t loadRba)
{
    BootEntry entry;
    entry.mediaType = media;
    entry.sectorCount = sectorCount;
    entry.loadRba = loadRba;
    return entry;
}

TEST(VolumeSpace, FreeSectorsAreWhatNoStructureReferences)
{
    // Sectors of the base image in use: system area and descriptors 0-17,
    // root 20, SUB 22, A.BIN 30-32, X.BIN 40-41, B.BIN 50.
    const std::vector<SectorRun> baseFree{{18, 2}, {21, 1}, {23, 7}, {33, 7}, {42, 8}, {51, kSectors - 51}};
    const struct {
        const char* name;
        std::function<void(test::MemorySector&)> change;
        bool known;
        std::vector<SectorRun> free; // when known
    } cases[] = {
        {"as made", [](test::MemorySector&) {}, true, baseFree},
        {"a continuation area",
         [](test::MemorySector& image) {
             // SP, then a CE entry naming 10 bytes at sector 70.
             image.bytes = BaseImage(std::string("SP\x07\x01\xbe\xef\x00" "CE\x1c\x01", 11) + Both32(70) + Both32(0) +
                               Both32(10));
             std::memcpy(image.SectorData(70), "ST\x04\x01", 4);
         },
         true, {{18, 2}, {21, 1}, {23, 7}, {33, 7}, {42, 8}, {51, 19}, {71, kSectors - 71}}},
        {"a diskette image no file lists (reaching past the volume)",
         [](test::MemorySector& image) { AddBootEntry(image, Entry(2, 1, 61)); }, true,
         {{19, 1}, {21, 1}, {23, 7}, {33, 7}, {42, 8}, {51, 9}}},
        {"a small loader without a table", [](test::MemorySector& image) { AddBootEntry(image, Entry(0, 4, 61)); }, false,
         {}},
        {"an EFI image with its FAT boot sector",
         [](test::MemorySector& image) {
             AddBootEntry(image, Entry(0, 1, 61));
             std::uint8_t* boot = image.SectorData(61);
             PutLe16(Bytes(boot, 512), 11, 512);  // bytes per sector
             boot[13] = 1;                        // sectors per cluster
             PutLe16(Bytes(boot, 512), 14, 1);    // reserved sectors
             boot[16] = 2;                        // FATs
             PutLe16(Bytes(boot, 512), 19, 20);   // 20 sectors of 512: 5 of 2048
             boot[510] = 0x55;
             boot[511] = 0xAA;
         },
         true, {{19, 1}, {21, 1}, {23, 7}, {33, 7}, {42, 8}, {51, 9}, {66, kSectors - 66}}},
        {"a partition descriptor",
         [](test::MemorySector& image) {
             EncodeTerminator(image.At(18));
             PutDescriptorHeader(image.At(17), DescriptorType::Partition);
         },
         false, {}},
        {"a damaged directory", [](test::MemorySector& image) { image.SectorData(22)[34] = 20; }, false, {}},
        {"no descriptor before the terminator", [](test::MemorySector& image) { image.SectorData(17)[1] = 'X'; }, false,
         {}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        test::MemorySector image(BaseImage());
        item.change(image);
        const VolumeSpace space = ScanVolumeSpace(image);
        EXPECT_EQ(space.known, item.known) << space.why;
        if (item.known) {
            EXPECT_EQ(space.Free().Runs(), item.free);
        } else {
            EXPECT_FALSE(space.why.empty());
            EXPECT_TRUE(space.Free().Empty());
        }
    }
}

TEST(VolumeSpace, SectorSetTakesFirstFitBelowALimit)
{
    SectorSet set;
    set.Add(10, 5);
    set.Add(15, 5); // merges into 10-19
    set.Add(40, 30);
    set.Remove(12, 2);
    EXPECT_EQ(set.Runs(), (std::vector<SectorRun>{{10, 2}, {14, 6}, {40, 30}}));
    EXPECT_EQ(set.Take(6), std::optional<std::uint32_t>(14));
    EXPECT_EQ(set.Take(3, 39), std::nullopt); // 40 is above the limit
    EXPECT_EQ(set.Take(3), std::optional<std::uint32_t>(40));
    EXPECT_EQ(set.Count(), 2u + 27u);
    EXPECT_EQ(set.Complement(8, 45).Runs(), (std::vector<SectorRun>{{8, 2}, {12, 31}}));
}

} // namespace
} // namespace tarvelin::iso
