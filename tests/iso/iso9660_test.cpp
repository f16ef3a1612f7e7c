// ISO 9660 and El Torito structures through encoders and decoders (round trips, what is refused), and
// the recognition rules of a descriptor set on images built in memory (real images against isoinfo:
// tests/cli/ls_test.cpp, tests/writer/descriptor_writer_test.cpp).

#include "iso/iso9660.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelin::iso {
namespace {

using ByteVector = std::vector<std::uint8_t>;

ByteVector Sector() { return ByteVector(kSectorSize, 0xCC); }

DirectoryRecord FileRecord(std::string identifier, std::uint32_t extent, std::uint32_t size)
{
    DirectoryRecord record;
    record.extent = extent;
    record.dataLength = size;
    record.identifier = std::move(identifier);
    return record;
}

// A primary descriptor as the builder fills it (its byte layout: tests/writer/descriptor_writer_test.cpp).
VolumeDescriptor SamplePrimary()
{
    VolumeDescriptor descriptor;
    descriptor.type = DescriptorType::Primary;
    PutTextField(descriptor.volumeIdentifier, "20047985");
    descriptor.volumeSpaceSize = 0x01020304;
    descriptor.pathTableSize = 10;
    descriptor.typeLPathTable = 19;
    descriptor.optionalTypeLPathTable = 19;
    descriptor.typeMPathTable = 20;
    descriptor.optionalTypeMPathTable = 20;
    descriptor.rootRecord = MakeSelfRecord(23, 2048);
    descriptor.rootRecord.date = RecordingDate{104, 7, 9, 8, 5, 0, 8};
    PutTextField(descriptor.copyrightFileIdentifier, "Tarvelin");
    return descriptor;
}

TEST(Iso9660Descriptors, EncodersRefuseWhatCannotBeWrittenAndWriteNothing)
{
    ByteVector sector = Sector();
    VolumeDescriptor descriptor = SamplePrimary();
    descriptor.rootRecord.identifier = "AB"; // a 36-byte record does not fit the 34-byte field
    EXPECT_FALSE(EncodeVolumeDescriptor(descriptor, sector));
    descriptor = SamplePrimary();
    descriptor.type = DescriptorType::Terminator;
    EXPECT_FALSE(EncodeVolumeDescriptor(descriptor, sector));
    EXPECT_FALSE(EncodeTerminator(Bytes(sector).first(kSectorSize - 1)));
    EXPECT_EQ(sector, Sector());
    // Identifiers of 0 or more than 221 bytes, or too little room.
    ByteVector room(256, 0xCC);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord(std::string(222, 'N'), 1, 1), room), 0u);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord("", 1, 1), room), 0u);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord("A.TXT", 1, 1), Bytes(room).first(37)), 0u);
    EXPECT_EQ(room, ByteVector(256, 0xCC));
}

TEST(Iso9660Descriptors, DecoderRefusesInconsistentDescriptors)
{
    ByteVector good = Sector();
    ASSERT_TRUE(EncodeVolumeDescriptor(SamplePrimary(), good));

    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"unknown type", 0, 3},           {"standard identifier", 3, 'X'}, {"version 2 (enhanced)", 6, 2},
        {"block size 512", 129, 0x02},    {"root record length", 156, 33}, {"root not a directory", 181, 0},
        {"root identifier not 0x00", 189, 'A'},
    };
    for (const Case& c : cases) {
        ByteVector sector = good;
        sector[c.offset] = c.value;
        DecodeReport report;
        EXPECT_FALSE(DecodeVolumeDescriptor(sector, &report)) << c.what;
        EXPECT_NE(report.problem, nullptr) << c.what;
    }
    EXPECT_FALSE(DecodeVolumeDescriptor(ByteVector(good.begin(), good.end() - 1))); // cut short

    // Disagreeing halves of a 32- and a 16-bit field are reported, not fatal: the little-endian half counts.
    for (const std::size_t offset : {87, 131}) {
        ByteVector mismatched = good;
        mismatched[offset] ^= 0x40;
        DecodeReport report;
        const std::optional<VolumeDescriptor> decoded = DecodeVolumeDescriptor(mismatched, &report);
        ASSERT_TRUE(decoded) << offset;
        EXPECT_TRUE(report.endianMismatch) << offset;
        EXPECT_EQ(decoded->volumeSpaceSize, 0x01020304u);
        EXPECT_EQ(decoded->logicalBlockSize, 2048u);
    }
}

TEST(Iso9660DirectoryRecords, RoundTripKeepsEveryField)
{
    DirectoryRecord record;
    record.extendedAttributeLength = 3;
    record.extent = 0xA1B2C3D4;
    record.dataLength = 0x01020304;
    record.date = RecordingDate{126, 12, 31, 23, 59, 58, -20};
    record.flags = DirectoryFlags::kMultiExtent | DirectoryFlags::kHidden;
    record.fileUnitSize = 4;
    record.interleaveGap = 5;
    record.volumeSequenceNumber = 0x0607;
    record.identifier = "LONG_NAME.DAT;1";
    record.systemUse = std::string("RR\x05\x01\x81", 5);
    ByteVector bytes(255, 0);
    const std::size_t size = EncodeDirectoryRecord(record, bytes);
    ASSERT_EQ(size, DirectoryRecordSize(record));
    ASSERT_EQ(size, 33u + 15 + 5);
    EXPECT_EQ(bytes[24], 0xEC); // -20 as a signed byte

    DecodeReport report;
    const std::optional<DirectoryRecord> decoded = DecodeDirectoryRecord(Bytes(bytes).first(size), &report);
    ASSERT_TRUE(decoded) << report.problem;
    EXPECT_EQ(*decoded, record);
    EXPECT_TRUE(decoded->IsMultiExtent());
    EXPECT_TRUE(decoded->IsHidden());
    EXPECT_FALSE(decoded->IsDirectory());
    EXPECT_FALSE(report.endianMismatch);
}

TEST(Iso9660DirectoryRecords, DecoderChecksEveryLength)
{
    ByteVector good(40, 0);
    ASSERT_EQ(EncodeDirectoryRecord(FileRecord("A.TXT", 5, 6), good), 38u);

    // Cut anywhere inside the record: refused.
    for (std::size_t size = 0; size < 38; ++size) {
        const ByteVector cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(DecodeDirectoryRecord(cut)) << size;
    }
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"record length 0 (end of sector)", 0, 0}, {"record length 33", 0, 33}, {"record length past the bytes", 0, 41},
        {"empty identifier", 32, 0},               {"identifier past the record", 32, 6},
    };
    for (const Case& c : cases) {
        ByteVector bytes = good;
        bytes[c.offset] = c.value;
        DecodeReport report;
        EXPECT_FALSE(DecodeDirectoryRecord(bytes, &report)) << c.what;
        EXPECT_NE(report.problem, nullptr) << c.what;
    }
}

TEST(Iso9660PathTables, WholeTableDecodesAndChecksParents)
{
    // root 1, A 2, B 3, A1 4 (parent 2), X 5 (parent 4).
    const std::vector<PathTableRecord> records = {
        MakeRootPathTableRecord(20), {0, 21, 1, "A"}, {0, 22, 1, "B"}, {0, 23, 2, "A1"}, {0, 24, 4, "X"},
    };
    for (const PathTableOrder order : {PathTableOrder::LittleEndian, PathTableOrder::BigEndian}) {
        ByteVector table(64, 0);
        std::size_t used = 0;
        for (const PathTableRecord& record : records) {
            used += EncodePathTableRecord(record, order, Bytes(table).subspan(used));
        }
        ASSERT_EQ(used, 10u + 10 + 10 + 10 + 10);
        table.resize(used);
        EXPECT_EQ(DecodePathTable(table, order), records);
        EXPECT_FALSE(DecodePathTable(ByteVector{}, order));
        const std::size_t parentLow = order == PathTableOrder::LittleEndian ? 6 : 7;
        // X names itself as parent; A names parent 0; the root is named; X's identifier runs past the table.
        for (const auto& [offset, value] : {std::pair<std::size_t, std::uint8_t>{40 + parentLow, 5},
                                            {10 + parentLow, 0}, {8, 'R'}, {40, 9}}) {
            ByteVector damaged = table;
            damaged[offset] = value;
            EXPECT_FALSE(DecodePathTable(damaged, order)) << offset;
        }
    }
}

TEST(Iso9660ElTorito, BootRecordRecognition)
{
    ByteVector sector = Sector();
    ASSERT_TRUE(EncodeBootRecord(MakeElToritoBootRecord(0x01020304), sector));
    EXPECT_TRUE(IsElToritoBootRecord(sector));
    const std::optional<BootRecord> decoded = DecodeBootRecord(sector);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, MakeElToritoBootRecord(0x01020304));

    // Only the first 20 characters are compared.
    ByteVector variant = sector;
    variant[7 + 20] = 'x';
    EXPECT_TRUE(IsElToritoBootRecord(variant));
    variant[7 + 19] = 'x';
    EXPECT_FALSE(IsElToritoBootRecord(variant));
    ByteVector wrongType = sector;
    wrongType[0] = 1;
    EXPECT_FALSE(IsElToritoBootRecord(wrongType));
    EXPECT_FALSE(DecodeBootRecord(wrongType));
    EXPECT_FALSE(DecodeBootRecord(ByteVector(sector.begin(), sector.end() - 1)));
}

TEST(Iso9660ElTorito, ACatalogRoundTripsAndAnyChangeToTheValidationEntryIsRefused)
{
    ByteVector good = Sector();
    ASSERT_TRUE(EncodeBootCatalog(BootCatalog{}, good));
    ASSERT_TRUE(DecodeBootCatalog(good));
    for (std::size_t offset = 0; offset < kValidationEntrySize; ++offset) {
        for (const std::uint8_t delta : {std::uint8_t{1}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
            ByteVector sector = good;
            sector[offset] = static_cast<std::uint8_t>(sector[offset] + delta);
            EXPECT_FALSE(DecodeBootCatalog(sector)) << "offset " << offset << " delta " << int{delta};
        }
    }
    BootCatalog catalog;
    catalog.platformId = 0xEF;
    catalog.mediaType = static_cast<std::uint8_t>(BootMediaType::Diskette1440);
    catalog.loadRba = 0x00ABCDEF;
    PutTextField(catalog.idString, "Tarvelin boot");
    ByteVector other = Sector();
    ASSERT_TRUE(EncodeBootCatalog(catalog, other));
    EXPECT_EQ(DecodeBootCatalog(other), catalog);
    ByteVector badIndicator = good;
    badIndicator[32] = 0x44;
    EXPECT_FALSE(DecodeBootCatalog(badIndicator));
    EXPECT_FALSE(DecodeBootCatalog(ByteVector(good.begin(), good.end() - 1)));
}

// A default entry and sections with entries and extension entries: the header and extension flags
// follow what comes next.
BootCatalogSet BiosAndEfi()
{
    BootCatalogSet catalog;
    catalog.defaultEntry.mediaType = 0;
    catalog.defaultEntry.sectorCount = 4;
    catalog.defaultEntry.loadRba = 40;
    BootSection efi;
    efi.platformId = kPlatformEfi;
    BootEntry entry;
    entry.sectorCount = 128;
    entry.loadRba = 41;
    entry.criteria[0] = 1;
    entry.criteria[5] = 0x5A;
    // Extension entries as read: indicator, flags (0x20: another follows).
    std::array<std::uint8_t, kBootCatalogEntrySize> extension{kExtensionEntryIndicator, 0x20, 0x77};
    std::array<std::uint8_t, kBootCatalogEntrySize> lastExtension{kExtensionEntryIndicator, 0x00, 0x78};
    entry.extensions = {extension, lastExtension};
    efi.entries = {entry, BootEntry{}};
    efi.entries[1].loadRba = 99;
    BootSection other;
    other.platformId = 2;
    other.idString[0] = 'X';
    other.entries = {BootEntry{}};
    catalog.sections = {efi, other};
    return catalog;
}

TEST(BootCatalogSet, SectionsEntriesAndExtensionsSurviveARoundTrip)
{
    const BootCatalogSet catalog = BiosAndEfi();
    std::vector<std::uint8_t> sector(kSectorSize, 0xCC);
    ASSERT_TRUE(EncodeBootCatalogSet(catalog, sector));
    EXPECT_TRUE(DecodeBootCatalog(sector).has_value()); // the validation entry checks out
    // Validation, default, header, entry + 2 extensions, entry, header, entry.
    EXPECT_EQ(sector[64], kSectionHeaderMore);
    EXPECT_EQ(ReadLe16(sector, 64 + 2), 2);
    EXPECT_EQ(sector[96 + 1] & 0x20, 0x20); // an extension follows
    EXPECT_EQ(sector[128], kExtensionEntryIndicator);
    EXPECT_EQ(sector[128 + 1] & 0x20, 0x20); // and another
    EXPECT_EQ(sector[160 + 1] & 0x20, 0);
    EXPECT_EQ(ReadLe32(sector, 192 + 8), 99u);
    EXPECT_EQ(sector[224], kSectionHeaderLast);
    for (std::size_t i = 288; i < kSectorSize; ++i) {
        ASSERT_EQ(sector[i], 0) << i;
    }
    const auto decoded = DecodeBootCatalogSet(sector);
    ASSERT_TRUE(decoded);
    BootCatalogSet read = catalog;
    read.sections[0].headerIndicator = kSectionHeaderMore;
    read.sections[1].headerIndicator = kSectionHeaderLast;
    read.trailing.assign(kSectorSize - 288, 0);
    EXPECT_EQ(*decoded, read);
    EXPECT_EQ(BootEntriesOf(*decoded).size(), 4u);

    // What the tools leave as they like (the validation entry's reserved bytes, a last header of
    // 0x90, bytes behind the last entry) is written back byte for byte.
    sector[2] = 0x12;
    sector[3] = 0x34;
    PutLe16(sector, 28, 0);
    PutLe16(sector, 28, ValidationEntryChecksum(sector));
    sector[224] = kSectionHeaderMore;
    sector[300] = 0x5A;
    sector[kSectorSize - 1] = 0xA5;
    const auto odd = DecodeBootCatalogSet(sector);
    ASSERT_TRUE(odd);
    std::vector<std::uint8_t> again(kSectorSize, 0xCC);
    ASSERT_TRUE(EncodeBootCatalogSet(*odd, again));
    EXPECT_TRUE(again == sector);
}

TEST(BootCatalogSet, WhatCannotBeReadWholeOrWrittenInOneSectorIsRefused)
{
    std::vector<std::uint8_t> sector(kSectorSize);
    ASSERT_TRUE(EncodeBootCatalogSet(BiosAndEfi(), sector));
    auto overlong = sector;
    PutLe16(overlong, 224 + 2, 200); // the last section claims entries past the sector
    DecodeReport report;
    EXPECT_FALSE(DecodeBootCatalogSet(overlong, &report));
    EXPECT_NE(report.problem, nullptr);
    auto badEntry = sector;
    badEntry[192] = 0x42; // neither bootable nor not bootable
    EXPECT_FALSE(DecodeBootCatalogSet(badEntry));
    auto badChecksum = sector;
    badChecksum[4] ^= 1;
    EXPECT_FALSE(DecodeBootCatalogSet(badChecksum));

    BootCatalogSet crowded;
    BootSection section;
    section.entries.resize(62);
    crowded.sections = {section};
    EXPECT_FALSE(EncodeBootCatalogSet(crowded, sector)); // 2 + 1 + 62 entries: 2080 bytes
    crowded.sections[0].entries.resize(61);
    EXPECT_TRUE(EncodeBootCatalogSet(crowded, sector));
}

using Image = test::MemorySector;

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
    Image image(40u);
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
    Image late(40u);
    PutDescriptor(late, 16, DescriptorType::Primary);
    ASSERT_TRUE(EncodeTerminator(late.At(17)));
    PutDescriptor(late, 18, DescriptorType::Supplementary, JolietLevel::Level3);
    const DescriptorSetInfo set = ScanDescriptorSet(late.Reader(), late.SectorCount());
    EXPECT_FALSE(set.jolietSector);
    EXPECT_EQ(set.descriptorCount, 2u);
}

TEST(Iso9660Recognition, AMissingTerminatorEndsTheSetAtTheEndOfTheImage)
{
    Image image(21u);
    PutDescriptor(image, 16, DescriptorType::Primary);
    const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
    EXPECT_FALSE(set.terminatorFound);
    EXPECT_EQ(set.descriptorCount, 5u); // sectors 16..20
    EXPECT_EQ(image.readsOutside, 0u);

    // A Joliet descriptor in the last sector is still found.
    PutDescriptor(image, 20, DescriptorType::Supplementary, JolietLevel::Level3);
    EXPECT_EQ(ScanDescriptorSet(image.Reader(), image.SectorCount()).jolietSector, 20u);
    EXPECT_EQ(image.readsOutside, 0u);

    // An image that ends before sector 16 has no descriptors at all.
    Image tiny(10u);
    const DescriptorSetInfo none = ScanDescriptorSet(tiny.Reader(), tiny.SectorCount());
    EXPECT_FALSE(none.hasPrimary);
    EXPECT_EQ(none.descriptorCount, 0u);
    EXPECT_EQ(tiny.readsOutside, 0u);
    EXPECT_FALSE(ReadVolumeDescriptor(tiny.Reader(), tiny.SectorCount(), 16));

    // A sector that cannot be read ends the scan like the end of the image.
    Image failing(40u);
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
    Image image(40u);
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
    EXPECT_EQ(image.readsOutside, 0u);

    // No boot record at 17: nothing, even with a catalog somewhere.
    PutDescriptor(image, 17, DescriptorType::Supplementary, JolietLevel::Level3);
    EXPECT_FALSE(ReadBootInfo(image.Reader(), image.SectorCount()));
    EXPECT_FALSE(ScanDescriptorSet(image.Reader(), image.SectorCount()).hasBootRecord);
}

} // namespace
} // namespace tarvelin::iso
