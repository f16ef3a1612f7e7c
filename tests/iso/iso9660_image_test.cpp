// The recognition rules of the descriptor set, on images built in memory (real images against
// isoinfo: tests/cli/ls_test.cpp, tests/writer/descriptor_writer_test.cpp).

#include "iso9660_test_image.h"

#include <gtest/gtest.h>

namespace tarvelin::iso {
namespace {

using test_image::Image;

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
    // Behind the terminator only the sector where a UDF recognition sequence would begin is read.
    EXPECT_EQ(image.highestRead, 21u);
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
