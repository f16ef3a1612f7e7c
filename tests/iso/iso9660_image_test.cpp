// Decoding real images made by peer tools, checked against what isoinfo
// reports of them, and the recognition rules on images built in memory.
//
// Fixtures (made afresh by each test in a temporary folder):
//   TZ=Asia/Kolkata genisoimage -quiet -J -V TESTVOL -o joliet.iso src
// (xorriso's boot images are read against the peers in
// tests/writer/descriptor_writer_test.cpp, its Rock Ridge records in
// rock_ridge_test.cpp.)

#include "iso9660_test_image.h"
#include "support/iso_fixtures.h"

#include <gtest/gtest.h>

#include <set>

namespace tarvelin::iso {
namespace {

using test::IsoinfoListing;
using test_image::Image;

enum class Tree { Primary, Joliet };

// A tree walked from its root record with the module's decoders only, in
// the form `isoinfo -l` lists it ("." and ".." left out).
struct Walked {
    IsoinfoListing listing;
    std::map<std::string, std::uint32_t> extents; // directory path -> extent
    std::vector<DirectoryRecord> files;           // every record that is not "." or ".."
    bool damaged = false;
};

void WalkDirectory(const Image& image, const DirectoryRecord& directory, const std::string& path, Tree tree,
                   Walked& walked)
{
    if (!walked.extents.emplace(path, directory.extent).second) {
        return;
    }
    std::vector<test::IsoinfoEntry>& entries = walked.listing[path];
    const std::uint32_t sectors = SectorsFor(directory.dataLength);
    ASSERT_LE(directory.extent + sectors, image.SectorCount());
    std::vector<std::pair<DirectoryRecord, std::string>> subdirectories;
    for (std::uint32_t i = 0; i < sectors; ++i) {
        DirectorySectorRecords records = DecodeDirectorySector(image.SectorBytes(directory.extent + i));
        walked.damaged = walked.damaged || records.damaged || records.endianMismatch;
        for (DirectoryRecord& record : records.records) {
            if (record.IsSelf() || record.IsParent()) {
                continue;
            }
            // isoinfo shows primary identifiers as they are, version included.
            const std::string name = tree == Tree::Joliet ? DecodeJolietIdentifier(record.identifier) : record.identifier;
            entries.push_back({name, record.dataLength, record.extent, record.flags});
            if (record.IsDirectory()) {
                subdirectories.emplace_back(record, path + name + "/");
            }
            walked.files.push_back(std::move(record));
        }
    }
    for (const auto& [sub, subPath] : subdirectories) {
        WalkDirectory(image, sub, subPath, tree, walked);
    }
}

Walked WalkTree(const Image& image, const DirectoryRecord& root, Tree tree)
{
    Walked walked;
    WalkDirectory(image, root, "/", tree, walked);
    return walked;
}

IsoinfoListing Isoinfo(const std::string& options, const std::string& path)
{
    return test::ParseIsoinfoListing(test::RunCommand("isoinfo " + options + " -l -i " + test::ShellQuote(path)).output);
}

// The path tables of a descriptor: L and M decode to the same records, one
// per directory of the walked tree, each at that directory's extent.
void CheckPathTables(const Image& image, const VolumeDescriptor& descriptor, const Walked& walked, Tree tree)
{
    const std::uint32_t tableSectors = SectorsFor(descriptor.pathTableSize);
    ASSERT_LE(descriptor.typeLPathTable + tableSectors, image.SectorCount());
    ASSERT_LE(descriptor.typeMPathTable + tableSectors, image.SectorCount());
    DecodeReport report;
    const auto little = DecodePathTable(image.SectorBytes(descriptor.typeLPathTable).first(descriptor.pathTableSize),
                                        PathTableOrder::LittleEndian, &report);
    ASSERT_TRUE(little) << report.problem;
    const auto big = DecodePathTable(image.SectorBytes(descriptor.typeMPathTable).first(descriptor.pathTableSize),
                                     PathTableOrder::BigEndian, &report);
    ASSERT_TRUE(big) << report.problem;
    EXPECT_EQ(*little, *big);
    ASSERT_EQ(little->size(), walked.extents.size()) << "one path table record per directory";
    std::vector<std::string> paths;
    for (const PathTableRecord& record : *little) {
        const std::string name = tree == Tree::Joliet ? DecodeJolietIdentifier(record.identifier) : record.identifier;
        paths.push_back(paths.empty() ? "/" : paths[record.parentNumber - 1] + name + "/");
        ASSERT_TRUE(walked.extents.count(paths.back())) << paths.back();
        EXPECT_EQ(record.extent, walked.extents.at(paths.back())) << paths.back();
    }
}

TEST(Iso9660RealImage, GenisoimageJolietImageAgreesWithIsoinfo)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("isoinfo");
    test::TempDir dir;
    const Image image = test_image::MakeJolietImage(dir);
    ASSERT_GT(image.SectorCount(), 20u);

    // The descriptor set: primary at 16, Joliet at 17, terminator at 18.
    const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
    EXPECT_TRUE(set.hasPrimary);
    EXPECT_TRUE(set.terminatorFound);
    EXPECT_EQ(set.descriptorCount, 3u);
    ASSERT_TRUE(set.jolietSector);
    EXPECT_EQ(*set.jolietSector, 17u);
    EXPECT_EQ(set.jolietLevel, JolietLevel::Level3);
    EXPECT_FALSE(set.hasBootRecord);

    DecodeReport report;
    const auto primary = ReadVolumeDescriptor(image.Reader(), image.SectorCount(), 16, &report);
    ASSERT_TRUE(primary) << report.problem;
    EXPECT_FALSE(report.endianMismatch);
    const auto joliet = ReadVolumeDescriptor(image.Reader(), image.SectorCount(), *set.jolietSector, &report);
    ASSERT_TRUE(joliet) << report.problem;
    EXPECT_EQ(JolietLevelOf(*joliet), JolietLevel::Level3);

    const std::string summary = test::RunCommand("isoinfo -d -i " + test::ShellQuote(image.path)).output;
    for (const std::string& line : {"Volume id: " + ReadTextField(primary->volumeIdentifier),
                                     "System id: " + ReadTextField(primary->systemIdentifier),
                                     "Volume size is: " + std::to_string(image.SectorCount()),
                                     "Logical block size is: " + std::to_string(primary->logicalBlockSize)}) {
        EXPECT_NE(summary.find(line + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(primary->volumeSpaceSize, image.SectorCount());
    EXPECT_EQ(joliet->volumeSpaceSize, image.SectorCount());
    EXPECT_EQ(ReadJolietTextField(joliet->volumeIdentifier), "TESTVOL");

    // Both trees, record by record, as isoinfo lists them.
    const IsoinfoListing listedJoliet = Isoinfo("-J", image.path);
    const Walked walkedPrimary = WalkTree(image, primary->rootRecord, Tree::Primary);
    const Walked walkedJoliet = WalkTree(image, joliet->rootRecord, Tree::Joliet);
    EXPECT_EQ(walkedPrimary.listing.size(), 5u); // /, /EMPTY/, /MANY/, /SUB/, /SUB/DEEPER/
    EXPECT_FALSE(walkedPrimary.damaged || walkedJoliet.damaged);
    EXPECT_EQ(walkedPrimary.listing, Isoinfo("", image.path));
    EXPECT_EQ(walkedJoliet.listing, listedJoliet);
    ASSERT_TRUE(listedJoliet.count("/many/"));
    EXPECT_EQ(listedJoliet.at("/many/").size(), 60u);
    const auto many = std::find_if(listedJoliet.at("/").begin(), listedJoliet.at("/").end(),
                                   [](const test::IsoinfoEntry& entry) { return entry.identifier == "many"; });
    ASSERT_NE(many, listedJoliet.at("/").end());
    EXPECT_GT(many->size, kSectorSize) << "the fixture needs a two-sector directory";

    // The primary names read back without their version suffix.
    std::set<std::string> primaryNames;
    for (const DirectoryRecord& record : walkedPrimary.files) {
        primaryNames.insert(DecodeIsoIdentifier(record.identifier));
    }
    EXPECT_TRUE(primaryNames.count("A.TXT"));
    EXPECT_TRUE(primaryNames.count("README"));
    EXPECT_TRUE(primaryNames.count("SUB"));

    // Every date was written in Kolkata (+05:30, offset byte 22) and reads
    // back as the moment the files were given, whatever zone the test runs in.
    for (const Walked* walked : {&walkedPrimary, &walkedJoliet}) {
        for (const DirectoryRecord& record : walked->files) {
            EXPECT_EQ(record.date.gmtOffset, 22) << record.identifier;
            EXPECT_EQ(FileTimeFromRecordingDate(record.date), test_image::kSourceFileTime) << record.identifier;
        }
    }

    CheckPathTables(image, *primary, walkedPrimary, Tree::Primary);
    CheckPathTables(image, *joliet, walkedJoliet, Tree::Joliet);
    EXPECT_FALSE(image.readOutside);
}

// ---------------------------------------------------------------------------
// Recognition rules on images built in memory.

void PutDescriptor(Image& image, std::uint32_t sector, DescriptorType type, JolietLevel level = JolietLevel::None)
{
    VolumeDescriptor descriptor;
    descriptor.type = type;
    descriptor.rootRecord = MakeSelfRecord(30, 2048);
    if (level != JolietLevel::None) {
        const std::uint8_t last = level == JolietLevel::Level1 ? 0x40 : level == JolietLevel::Level2 ? 0x43 : 0x45;
        descriptor.escapeSequences = {0x25, 0x2F, last};
    }
    ASSERT_TRUE(EncodeVolumeDescriptor(descriptor, image.At(sector)));
}

TEST(Iso9660Recognition, OnlyASupplementaryDescriptorWithAJolietEscapeIsJoliet)
{
    Image image = test_image::Blank(40);
    PutDescriptor(image, 16, DescriptorType::Primary);
    PutDescriptor(image, 17, DescriptorType::Supplementary); // another character set
    PutDescriptor(image, 18, DescriptorType::Supplementary, JolietLevel::Level1);
    PutDescriptor(image, 19, DescriptorType::Supplementary, JolietLevel::Level3);
    ASSERT_TRUE(EncodeTerminator(image.At(20)));
    const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
    EXPECT_EQ(set.descriptorCount, 5u);
    ASSERT_TRUE(set.jolietSector);
    EXPECT_EQ(*set.jolietSector, 18u);
    EXPECT_EQ(set.jolietLevel, JolietLevel::Level1);
    // Behind the terminator only the one sector where a UDF recognition
    // sequence would begin is looked at.
    EXPECT_EQ(image.highestRead, 21u) << "the scan stops behind the terminator";
    EXPECT_FALSE(set.HasUdf());
}

// (A Joliet descriptor behind a boot record is found: tests/writer.)
TEST(Iso9660Recognition, NoJolietBehindTheTerminator)
{
    Image late = test_image::Blank(40);
    PutDescriptor(late, 16, DescriptorType::Primary);
    ASSERT_TRUE(EncodeTerminator(late.At(17)));
    PutDescriptor(late, 18, DescriptorType::Supplementary, JolietLevel::Level3);
    const DescriptorSetInfo set = ScanDescriptorSet(late.Reader(), late.SectorCount());
    EXPECT_FALSE(set.jolietSector);
    EXPECT_EQ(set.descriptorCount, 2u);
}

TEST(Iso9660Recognition, AMissingTerminatorEndsTheSetAtTheEndOfTheImage)
{
    Image image = test_image::Blank(21);
    PutDescriptor(image, 16, DescriptorType::Primary);
    const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
    EXPECT_FALSE(set.terminatorFound);
    EXPECT_EQ(set.descriptorCount, 5u); // sectors 16..20
    EXPECT_FALSE(image.readOutside);

    // A Joliet descriptor in the last sector is still found.
    PutDescriptor(image, 20, DescriptorType::Supplementary, JolietLevel::Level3);
    EXPECT_EQ(ScanDescriptorSet(image.Reader(), image.SectorCount()).jolietSector, 20u);
    EXPECT_FALSE(image.readOutside);

    // An image that ends before sector 16 has no descriptors at all.
    Image tiny = test_image::Blank(10);
    const DescriptorSetInfo none = ScanDescriptorSet(tiny.Reader(), tiny.SectorCount());
    EXPECT_FALSE(none.hasPrimary);
    EXPECT_EQ(none.descriptorCount, 0u);
    EXPECT_FALSE(tiny.readOutside);
    EXPECT_FALSE(ReadVolumeDescriptor(tiny.Reader(), tiny.SectorCount(), 16));

    // A sector that cannot be read ends the scan like the end of the image.
    Image failing = test_image::Blank(40);
    PutDescriptor(failing, 16, DescriptorType::Primary);
    SectorReader reader = [&failing](std::uint32_t sector, std::uint8_t* buffer) {
        return sector < 18 && failing.Reader()(sector, buffer);
    };
    const DescriptorSetInfo cut = ScanDescriptorSet(reader, failing.SectorCount());
    EXPECT_EQ(cut.descriptorCount, 2u);
    EXPECT_FALSE(cut.terminatorFound);
}

TEST(Iso9660Recognition, BootInfoIsBoundByTheImage)
{
    Image image = test_image::Blank(40);
    PutDescriptor(image, 16, DescriptorType::Primary);
    ASSERT_TRUE(EncodeBootRecord(MakeElToritoBootRecord(25), image.At(17)));
    ASSERT_TRUE(EncodeTerminator(image.At(18)));
    BootCatalog catalog;
    catalog.mediaType = static_cast<std::uint8_t>(BootMediaType::HardDisk);
    catalog.loadRba = 26;
    ASSERT_TRUE(EncodeBootCatalog(catalog, image.At(25)));

    std::optional<BootInfo> boot = ReadBootInfo(image.Reader(), image.SectorCount());
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->catalogSector, 25u);
    EXPECT_EQ(boot->imageSector, 26u);
    EXPECT_EQ(boot->mediaType, 4);
    EXPECT_EQ(boot->loadSectorCount, 4);
    EXPECT_TRUE(boot->catalogValid);

    // A damaged validation entry is reported, the values are still given.
    image.At(25)[28] ^= 1;
    boot = ReadBootInfo(image.Reader(), image.SectorCount());
    ASSERT_TRUE(boot);
    EXPECT_FALSE(boot->catalogValid);
    EXPECT_EQ(boot->imageSector, 26u);

    // A boot image or a catalog outside the image: no boot image.
    catalog.loadRba = 40;
    ASSERT_TRUE(EncodeBootCatalog(catalog, image.At(25)));
    EXPECT_FALSE(ReadBootInfo(image.Reader(), image.SectorCount()));
    ASSERT_TRUE(EncodeBootRecord(MakeElToritoBootRecord(0xFFFFFFF0u), image.At(17)));
    EXPECT_FALSE(ReadBootInfo(image.Reader(), image.SectorCount()));
    EXPECT_FALSE(image.readOutside);

    // No boot record at 17: nothing, even with a catalog somewhere.
    PutDescriptor(image, 17, DescriptorType::Supplementary, JolietLevel::Level3);
    EXPECT_FALSE(ReadBootInfo(image.Reader(), image.SectorCount()));
    EXPECT_FALSE(ScanDescriptorSet(image.Reader(), image.SectorCount()).hasBootRecord);
}

} // namespace
} // namespace tarvelin::iso
