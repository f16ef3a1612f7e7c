// Decoders against damaged bytes: structures of a genisoimage image mutated with a fixed seed, each in
// a buffer of exactly its size (AddressSanitizer catches reads past it). A decoder either refuses the
// bytes or gives fields that encode back to them.

#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <numeric>
#include <random>

namespace tarvelin::iso {
namespace {

using ByteVector = std::vector<std::uint8_t>;

class Iso9660Robustness : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!test::ToolAvailable("genisoimage")) {
            return;
        }
        // Made in the +05:30 zone, so that its dates carry an offset.
        const test::ScopedZone zone("Asia/Kolkata");
        dir_ = std::make_unique<test::TempDir>();
        test::MakeFolderTree(*dir_ / "src");
        std::filesystem::create_directories(*dir_ / "src/many"); // its directory spans two sectors
        for (int i = 1; i <= 60; ++i) {
            test::WriteWholeFile(*dir_ / ("src/many/file number " + std::to_string(i) + " with a long name.txt"), "");
        }
        test::MakeIsoWithGenisoimage(*dir_ / "src", *dir_ / "made.iso");
        image_ = std::make_unique<test::MemorySector>(test::ReadWholeFile(*dir_ / "made.iso"));
    }
    static void TearDownTestSuite()
    {
        image_.reset();
        dir_.reset();
    }
    void SetUp() override
    {
        TARVELIN_REQUIRE(image_ != nullptr, "genisoimage");
    }

    static const test::MemorySector& Image() { return *image_; }
    static ByteVector SectorCopy(std::uint32_t sector)
    {
        const ConstBytes bytes = Image().SectorBytes(sector);
        return ByteVector(bytes.begin(), bytes.end());
    }
    static VolumeDescriptor Descriptor(std::uint32_t sector)
    {
        std::optional<VolumeDescriptor> descriptor = DecodeVolumeDescriptor(Image().SectorBytes(sector));
        EXPECT_TRUE(descriptor);
        return descriptor.value_or(VolumeDescriptor{});
    }

private:
    static inline std::unique_ptr<test::TempDir> dir_;
    static inline std::unique_ptr<test::MemorySector> image_;
};

// Changes one to six bytes, half at the hot spots (length and number fields), to values that stress
// lengths; a quarter of the cases are also cut short.
ByteVector Mutate(const ByteVector& original, const std::vector<std::size_t>& hotSpots, std::mt19937& random)
{
    ByteVector bytes = original;
    const int changes = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < changes && !bytes.empty(); ++i) {
        const bool hot = !hotSpots.empty() && random() % 2 == 0;
        const std::size_t position = hot ? hotSpots[random() % hotSpots.size()] : random() % bytes.size();
        if (position >= bytes.size()) {
            continue;
        }
        static constexpr std::uint8_t kEdges[] = {0, 1, 2, 32, 33, 34, 35, 127, 128, 254, 255};
        switch (random() % 4) {
        case 0: bytes[position] = static_cast<std::uint8_t>(random()); break;
        case 1: bytes[position] = kEdges[random() % std::size(kEdges)]; break;
        case 2: bytes[position] = static_cast<std::uint8_t>(bytes[position] + 1); break;
        default: bytes[position] = static_cast<std::uint8_t>(bytes[position] - 1); break;
        }
    }
    if (random() % 4 == 0 && !bytes.empty()) {
        bytes.resize(random() % bytes.size());
    }
    return bytes;
}

// Offsets of the length and number fields of each record in a directory sector.
std::vector<std::size_t> DirectoryHotSpots(const ByteVector& sector)
{
    std::vector<std::size_t> spots;
    for (std::size_t offset = 0; offset < sector.size() && sector[offset] != 0; offset += sector[offset]) {
        for (const std::size_t field : {0, 1, 2, 5, 9, 10, 13, 17, 25, 32}) {
            spots.push_back(offset + field);
        }
    }
    return spots;
}

bool SameBytes(const ByteVector& encoded, const ByteVector& bytes, std::size_t offset)
{
    return offset + encoded.size() <= bytes.size()
        && std::equal(encoded.begin(), encoded.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

// exact: the bytes are as a writer made them, and every record must encode back to them.
void CheckDirectorySector(const ByteVector& bytes, bool exact = false)
{
    const DirectorySectorRecords walked = DecodeDirectorySector(bytes);
    std::size_t offset = 0;
    for (const DirectoryRecord& record : walked.records) {
        ASSERT_LT(offset, bytes.size());
        const std::size_t length = bytes[offset];
        ASSERT_GE(length, 34u);
        ASSERT_LE(offset + length, bytes.size());
        ASSERT_FALSE(record.identifier.empty());
        ASSERT_LE(33 + record.identifier.size(), length);

        DecodeReport report;
        const std::optional<DirectoryRecord> single =
            DecodeDirectoryRecord(ConstBytes(bytes).subspan(offset), &report);
        ASSERT_TRUE(single);
        ASSERT_EQ(*single, record);
        const std::size_t n = record.identifier.size();
        const bool cleanPadding = n % 2 == 1 || bytes[offset + 33 + n] == 0;
        const bool reencodes = DirectoryRecordSize(record) == length && cleanPadding && !report.endianMismatch;
        ASSERT_TRUE(reencodes || !exact) << offset;
        if (reencodes) {
            ByteVector encoded(length);
            ASSERT_EQ(EncodeDirectoryRecord(record, encoded), length);
            ASSERT_TRUE(SameBytes(encoded, bytes, offset)) << "record at " << offset;
        }
        offset += length;
    }
    if (!walked.damaged) {
        ASSERT_TRUE(offset >= bytes.size() || bytes[offset] == 0);
    }
}

TEST_F(Iso9660Robustness, MutatedDirectorySectorsNeverDecodeOutOfBounds)
{
    const VolumeDescriptor primary = Descriptor(16);
    const VolumeDescriptor joliet = Descriptor(17);
    std::vector<ByteVector> sectors = {SectorCopy(primary.rootRecord.extent), SectorCopy(joliet.rootRecord.extent)};
    // Every sector of the Joliet /many/ directory, packed with long names.
    for (const DirectoryRecord& record : DecodeDirectorySector(sectors[1]).records) {
        if (DecodeJolietIdentifier(record.identifier) == "many") {
            ASSERT_GE(record.dataLength, 2 * kSectorSize);
            for (std::uint32_t i = 0; i < record.dataLength / kSectorSize; ++i) {
                sectors.push_back(SectorCopy(record.extent + i));
            }
        }
    }
    ASSERT_GE(sectors.size(), 4u);

    std::mt19937 random(20040709);
    for (const ByteVector& original : sectors) {
        CheckDirectorySector(original, true);
        ASSERT_FALSE(DecodeDirectorySector(original).damaged);
        const std::vector<std::size_t> hotSpots = DirectoryHotSpots(original);
        int damaged = 0;
        for (int i = 0; i < 1500; ++i) {
            const ByteVector bytes = Mutate(original, hotSpots, random);
            damaged += DecodeDirectorySector(bytes).damaged ? 1 : 0;
            CheckDirectorySector(bytes);
            if (HasFatalFailure()) {
                return;
            }
        }
        EXPECT_GT(damaged, 100) << "the mutations should reach the length checks";
    }
}

TEST_F(Iso9660Robustness, MutatedVolumeDescriptorsAreRefusedOrReencodeExactly)
{
    std::mt19937 random(16);
    const std::vector<std::size_t> hotSpots = {0, 1, 5, 6, 80, 84, 87, 128, 129, 130, 131, 156, 157, 158, 170, 181, 188, 189};
    for (const std::uint32_t sector : {16u, 17u}) {
        const ByteVector original = SectorCopy(sector);
        ByteVector again(kSectorSize);
        ASSERT_TRUE(EncodeVolumeDescriptor(Descriptor(sector), again));
        EXPECT_EQ(again, original) << "the descriptor as read encodes back to its bytes";
        int refused = 0;
        for (int i = 0; i < 1500; ++i) {
            const ByteVector bytes = Mutate(original, hotSpots, random);
            DecodeReport report;
            const std::optional<VolumeDescriptor> decoded = DecodeVolumeDescriptor(bytes, &report);
            if (!decoded) {
                ++refused;
                ASSERT_NE(report.problem, nullptr);
                continue;
            }
            ASSERT_EQ(bytes.size(), kSectorSize);
            ASSERT_EQ(decoded->logicalBlockSize, kSectorSize);
            ASSERT_TRUE(decoded->rootRecord.IsDirectory());
            if (report.endianMismatch) {
                continue;
            }
            ByteVector encoded(kSectorSize);
            ASSERT_TRUE(EncodeVolumeDescriptor(*decoded, encoded));
            for (std::size_t k = 0; k < kSectorSize; ++k) {
                const bool reserved = (k >= 72 && k < 80) || k == 882 || k >= 1395;
                if (!reserved) {
                    ASSERT_EQ(encoded[k], bytes[k]) << "byte " << k;
                }
            }
        }
        EXPECT_GT(refused, 300);
    }
}

TEST_F(Iso9660Robustness, MutatedPathTablesKeepParentsBeforeChildren)
{
    std::mt19937 random(19);
    for (const std::uint32_t sector : {16u, 17u}) {
        const VolumeDescriptor descriptor = Descriptor(sector);
        const ConstBytes table = Image().SectorBytes(descriptor.typeLPathTable).first(descriptor.pathTableSize);
        const ByteVector original(table.begin(), table.end());
        ASSERT_TRUE(DecodePathTable(original, PathTableOrder::LittleEndian));
        std::vector<std::size_t> hotSpots;
        for (std::size_t offset = 0; offset < original.size(); offset += PathTableRecordSize(original[offset])) {
            hotSpots.insert(hotSpots.end(), {offset, offset + 2, offset + 6, offset + 7});
        }
        for (int i = 0; i < 1500; ++i) {
            const ByteVector bytes = Mutate(original, hotSpots, random);
            const auto records = DecodePathTable(bytes, PathTableOrder::LittleEndian);
            if (!records) {
                continue;
            }
            ASSERT_FALSE(records->empty());
            EXPECT_EQ(records->front().parentNumber, 1);
            std::size_t offset = 0;
            for (std::size_t k = 0; k < records->size(); ++k) {
                const PathTableRecord& record = (*records)[k];
                if (k > 0) {
                    ASSERT_GE(record.parentNumber, 1);
                    ASSERT_LE(record.parentNumber, k);
                }
                ByteVector encoded(PathTableRecordSize(record.identifier.size()));
                ASSERT_EQ(EncodePathTableRecord(record, PathTableOrder::LittleEndian, encoded), encoded.size());
                const std::size_t compared = 8 + record.identifier.size(); // the padding may be damaged
                ASSERT_LE(offset + compared, bytes.size());
                ASSERT_TRUE(std::equal(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(compared),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(offset)));
                offset += encoded.size();
            }
            ASSERT_GE(offset, bytes.size());
        }
    }
}

TEST_F(Iso9660Robustness, MutatedBootCatalogsDecodeOnlyWithAValidChecksum)
{
    BootCatalog catalog;
    catalog.loadRba = 1234;
    ByteVector original(kSectorSize);
    ASSERT_TRUE(EncodeBootCatalog(catalog, original));
    std::vector<std::size_t> hotSpots(64);
    std::iota(hotSpots.begin(), hotSpots.end(), 0);
    std::mt19937 random(55);
    int accepted = 0;
    for (int i = 0; i < 3000; ++i) {
        const ByteVector bytes = Mutate(original, hotSpots, random);
        const std::optional<BootCatalog> decoded = DecodeBootCatalog(bytes);
        if (!decoded) {
            continue;
        }
        ++accepted;
        ASSERT_EQ(bytes.size(), kSectorSize);
        std::uint32_t sum = 0;
        for (std::size_t k = 0; k < 32; k += 2) {
            sum += ReadLe16(bytes, k);
        }
        ASSERT_EQ(sum & 0xFFFF, 0u);
        ASSERT_EQ(decoded->loadRba, ReadLe32(bytes, 40));
        ASSERT_EQ(decoded->mediaType, bytes[33]);
    }
    EXPECT_GT(accepted, 0) << "mutations of the initial entry alone keep the catalog valid";
}

TEST_F(Iso9660Robustness, RecognitionOfDamagedDescriptorSetsStaysInsideTheImage)
{
    std::mt19937 random(17);
    const std::vector<std::size_t> hotSpots = {0, 6, 7, 71, 72, 73, 74, 88, 89, 90};
    for (int i = 0; i < 400; ++i) {
        test::MemorySector image;
        // A copy of the image cut somewhere after its descriptors, one of sectors 16..18 damaged.
        const std::uint32_t keep = 17 + static_cast<std::uint32_t>(random() % 8);
        image.bytes.assign(Image().bytes.begin(),
                           Image().bytes.begin() + static_cast<std::ptrdiff_t>(std::size_t{keep} * kSectorSize));
        const std::uint32_t damagedSector = 16 + static_cast<std::uint32_t>(random() % 3);
        if (damagedSector < keep) {
            ByteVector sector(image.bytes.begin() + static_cast<std::ptrdiff_t>(std::size_t{damagedSector} * kSectorSize),
                              image.bytes.begin() + static_cast<std::ptrdiff_t>(std::size_t{damagedSector + 1} * kSectorSize));
            sector = Mutate(sector, hotSpots, random);
            sector.resize(kSectorSize, 0);
            std::copy(sector.begin(), sector.end(),
                      image.bytes.begin() + static_cast<std::ptrdiff_t>(std::size_t{damagedSector} * kSectorSize));
        }
        if (keep > kBootRecordSector && random() % 3 == 0) {
            // Turn sector 17 into a boot record that points anywhere.
            ASSERT_TRUE(EncodeBootRecord(MakeElToritoBootRecord(static_cast<std::uint32_t>(random() % 64)),
                                         Bytes(image.bytes).subspan(17 * kSectorSize, kSectorSize)));
        }
        const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
        ASSERT_LE(set.descriptorCount, image.SectorCount() - 16);
        if (set.jolietSector) {
            ASSERT_LT(*set.jolietSector, image.SectorCount());
        }
        const std::optional<BootInfo> boot = ReadBootInfo(image.Reader(), image.SectorCount());
        if (boot) {
            ASSERT_LT(boot->catalogSector, image.SectorCount());
            ASSERT_LT(boot->imageSector, image.SectorCount());
        }
        ASSERT_EQ(image.readsOutside, 0u);
    }
}

} // namespace
} // namespace tarvelin::iso
