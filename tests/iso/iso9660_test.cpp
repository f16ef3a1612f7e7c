// Byte-exact encodings of the ISO 9660, Joliet and El Torito structures and
// their round trips through the decoders.

#include "iso/iso9660.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace tarvelin::iso {
namespace {

using ByteVector = std::vector<std::uint8_t>;

ByteVector Sector() { return ByteVector(kSectorSize, 0xCC); }

ByteVector Slice(const ByteVector& bytes, std::size_t offset, std::size_t count)
{
    return ByteVector(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                      bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

bool AllZeroBetween(const ByteVector& bytes, std::size_t from, std::size_t to)
{
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to), [](std::uint8_t b) { return b == 0; });
}

DirectoryRecord FileRecord(std::string identifier, std::uint32_t extent, std::uint32_t size)
{
    DirectoryRecord record;
    record.extent = extent;
    record.dataLength = size;
    record.identifier = std::move(identifier);
    return record;
}

// ---------------------------------------------------------------------------

TEST(Iso9660Descriptors, TerminatorIsHeaderAndZeros)
{
    ByteVector sector = Sector();
    ASSERT_TRUE(EncodeTerminator(sector));
    EXPECT_EQ(Slice(sector, 0, 7), (ByteVector{0xFF, 'C', 'D', '0', '0', '1', 0x01}));
    EXPECT_TRUE(AllZeroBetween(sector, 7, kSectorSize));
    EXPECT_TRUE(HasDescriptorHeader(sector, DescriptorType::Terminator));
    EXPECT_FALSE(HasDescriptorHeader(sector, DescriptorType::Primary));

    ByteVector shortSector(kSectorSize - 1, 0xCC);
    EXPECT_FALSE(EncodeTerminator(shortSector));
    EXPECT_EQ(shortSector, ByteVector(kSectorSize - 1, 0xCC));
}

// A primary descriptor as the builder fills it. The byte layout itself is
// held to an independent one in tests/writer/descriptor_writer_test.cpp.
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

TEST(Iso9660Descriptors, EncoderRefusesWhatCannotBeWritten)
{
    ByteVector sector = Sector();
    VolumeDescriptor descriptor = SamplePrimary();
    descriptor.rootRecord.identifier = "AB"; // a 36-byte record does not fit the 34-byte field
    EXPECT_FALSE(EncodeVolumeDescriptor(descriptor, sector));
    descriptor = SamplePrimary();
    descriptor.type = DescriptorType::Terminator;
    EXPECT_FALSE(EncodeVolumeDescriptor(descriptor, sector));
    EXPECT_EQ(sector, Sector());
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
        {"unknown type", 0, 3},
        {"standard identifier", 3, 'X'},
        {"version 2 (enhanced descriptor)", 6, 2},
        {"block size 512", 129, 0x02},
        {"root record length", 156, 33},
        {"root is not a directory", 181, 0},
        {"root identifier is not 0x00", 189, 'A'},
    };
    for (const Case& c : cases) {
        ByteVector sector = good;
        sector[c.offset] = c.value;
        DecodeReport report;
        EXPECT_FALSE(DecodeVolumeDescriptor(sector, &report)) << c.what;
        EXPECT_NE(report.problem, nullptr) << c.what;
    }
    // A sector cut short is refused, whatever its header says.
    const ByteVector truncated(good.begin(), good.end() - 1);
    EXPECT_FALSE(DecodeVolumeDescriptor(truncated));

    // Disagreeing halves of a 32- and of a 16-bit field (the volume space
    // and the block size) are reported, not fatal: the little-endian half counts.
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

// ---------------------------------------------------------------------------

TEST(Iso9660DirectoryRecords, OddNameHasNoPaddingEvenNameHasOneAndLongestNamesFit)
{
    const std::pair<std::size_t, std::size_t> sizes[] = {{5, 38}, {10, 44}, {1, 34}, {221, 254}, {220, 254}, {222, 0},
                                                         {0, 0}};
    for (const auto& [identifier, record] : sizes) {
        EXPECT_EQ(DirectoryRecordSize(identifier), record) << identifier;
    }
    EXPECT_EQ(DirectoryRecordSize(5, 4), 42u);

    ByteVector bytes(256, 0xCC);
    DirectoryRecord record = FileRecord("A.TXT", 0x1234, 6);
    record.date = RecordingDate{104, 7, 9, 10, 5, 30, 8};
    ASSERT_EQ(EncodeDirectoryRecord(record, bytes), 38u);
    EXPECT_EQ(Slice(bytes, 0, 38),
              (ByteVector{38, 0, 0x34, 0x12, 0, 0, 0, 0, 0x12, 0x34, 6, 0, 0, 0, 0, 0, 0, 6, 104, 7, 9, 10, 5, 30,
                          8, 0, 0, 0, 1, 0, 0, 1, 5, 'A', '.', 'T', 'X', 'T'}));
    EXPECT_EQ(bytes[38], 0xCC); // nothing written past the record

    DirectoryRecord joliet = FileRecord(JolietIdentifier(u"a.txt"), 7, 6);
    ASSERT_EQ(EncodeDirectoryRecord(joliet, bytes), 44u);
    EXPECT_EQ(bytes[0], 44);
    EXPECT_EQ(bytes[32], 10);
    EXPECT_EQ(Slice(bytes, 33, 11), (ByteVector{0, 'a', 0, '.', 0, 't', 0, 'x', 0, 't', 0}));

    EXPECT_EQ(EncodeDirectoryRecord(FileRecord(std::string(221, 'N'), 1, 1), bytes), 254u);
    EXPECT_EQ(bytes[0], 254);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord(std::string(220, 'N'), 1, 1), bytes), 254u);
    EXPECT_EQ(bytes[253], 0); // the padding byte

    ByteVector untouched(256, 0xCC);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord(std::string(222, 'N'), 1, 1), untouched), 0u);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord("", 1, 1), untouched), 0u);
    ByteVector tooShort(37, 0xCC);
    EXPECT_EQ(EncodeDirectoryRecord(FileRecord("A.TXT", 1, 1), tooShort), 0u);
    EXPECT_EQ(untouched, ByteVector(256, 0xCC));
    EXPECT_EQ(tooShort, ByteVector(37, 0xCC));
}

TEST(Iso9660DirectoryRecords, DotRecordsAndRootRecord)
{
    ByteVector bytes(34, 0xCC);
    ASSERT_EQ(EncodeDirectoryRecord(MakeSelfRecord(20, 4096), bytes), 34u);
    EXPECT_EQ(bytes, (ByteVector{34, 0, 20, 0, 0, 0, 0, 0, 0, 20, 0, 0x10, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,
                                 0, 2, 0, 0, 1, 0, 0, 1, 1, 0x00}));
    ASSERT_EQ(EncodeDirectoryRecord(MakeParentRecord(18, 2048), bytes), 34u);
    EXPECT_EQ(bytes[33], 0x01);
    EXPECT_EQ(bytes[25], 2);
    EXPECT_TRUE(AllZeroBetween(bytes, 18, 25)); // no date

    const std::optional<DirectoryRecord> self = DecodeDirectoryRecord(bytes);
    ASSERT_TRUE(self);
    EXPECT_TRUE(self->IsParent());
    EXPECT_FALSE(self->IsSelf());
    EXPECT_TRUE(self->IsDirectory());

    // The root record of a descriptor is "." with the build time as its date.
    constexpr platform::FileTime kBuild = 127338339000000000ULL; // 2004-07-09 08:05:00 UTC
    const DirectoryRecord root = MakeRootRecord(23, 2048, kBuild);
    EXPECT_EQ(DirectoryRecordSize(root), kRootRecordSize);
    EXPECT_TRUE(root.IsSelf());
    EXPECT_FALSE(root.date.IsUnset());
    EXPECT_EQ(FileTimeFromRecordingDate(root.date), kBuild);
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
    const std::optional<DirectoryRecord> decoded = DecodeDirectoryRecord(ByteVector(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)), &report);
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
        {"record length 0 (end of sector)", 0, 0},
        {"record length 33", 0, 33},
        {"record length past the bytes", 0, 41},
        {"empty identifier", 32, 0},
        {"identifier past the record", 32, 6},
    };
    for (const Case& c : cases) {
        ByteVector bytes = good;
        bytes[c.offset] = c.value;
        DecodeReport report;
        EXPECT_FALSE(DecodeDirectoryRecord(bytes, &report)) << c.what;
        EXPECT_NE(report.problem, nullptr) << c.what;
    }
}

TEST(Iso9660DirectoryRecords, RecordsNeverCrossASectorBoundary)
{
    EXPECT_EQ(PlaceDirectoryRecord(2040, 40), 2048u);
    EXPECT_EQ(PlaceDirectoryRecord(2008, 40), 2008u); // ends exactly at 2048
    EXPECT_EQ(PlaceDirectoryRecord(2048, 40), 2048u);
    EXPECT_EQ(PlaceDirectoryRecord(4090, 34), 4096u);

    // An empty directory: "." and ".." in one sector.
    EXPECT_EQ(DirectoryDataLength({}), 2048u);
    // 68 + 7 * 254 + 202 = 2048 exactly: one sector; one byte more needs two.
    std::vector<std::size_t> sizes(7, 254);
    sizes.push_back(202);
    EXPECT_EQ(DirectoryDataLength(sizes), 2048u);
    sizes.back() = 204;
    EXPECT_EQ(DirectoryDataLength(sizes), 4096u);
}

TEST(Iso9660DirectoryRecords, SectorWalkStopsAtZeroLengthAndAtDamage)
{
    ByteVector sector(kSectorSize, 0);
    std::size_t used = 0;
    used += EncodeDirectoryRecord(MakeSelfRecord(20, 2048), Bytes(sector).subspan(used));
    used += EncodeDirectoryRecord(MakeParentRecord(20, 2048), Bytes(sector).subspan(used));
    const std::size_t thirdOffset = used;
    used += EncodeDirectoryRecord(FileRecord("A.TXT", 30, 6), Bytes(sector).subspan(used));
    used += EncodeDirectoryRecord(FileRecord("SUB", 31, 2048), Bytes(sector).subspan(used));

    DirectorySectorRecords walked = DecodeDirectorySector(sector);
    ASSERT_EQ(walked.records.size(), 4u);
    EXPECT_FALSE(walked.damaged);
    EXPECT_TRUE(walked.records[0].IsSelf());
    EXPECT_EQ(walked.records[2].identifier, "A.TXT");
    EXPECT_EQ(walked.records[3].extent, 31u);

    // A record whose identifier overruns it ends the walk there.
    sector[thirdOffset + 32] = 200;
    walked = DecodeDirectorySector(sector);
    EXPECT_EQ(walked.records.size(), 2u);
    EXPECT_TRUE(walked.damaged);

    // A last record that claims to run past the sector is refused.
    ByteVector tail(60, 0);
    ASSERT_EQ(EncodeDirectoryRecord(MakeSelfRecord(20, 2048), tail), 34u);
    tail[34] = 40;
    walked = DecodeDirectorySector(tail);
    EXPECT_EQ(walked.records.size(), 1u);
    EXPECT_TRUE(walked.damaged);
}

// ---------------------------------------------------------------------------

TEST(Iso9660PathTables, RecordLayoutInBothOrders)
{
    EXPECT_EQ(PathTableRecordSize(2), 10u);
    EXPECT_EQ(PathTableRecordSize(3), 12u);
    EXPECT_EQ(PathTableRecordSize(6), 14u);
    EXPECT_EQ(PathTableRecordSize(255), 264u);
    EXPECT_EQ(PathTableRecordSize(256), 0u);
    EXPECT_EQ(PathTableRecordSize(0), 0u);

    PathTableRecord record;
    record.extent = 20;
    record.parentNumber = 1;
    record.identifier = "ABC";
    ByteVector little(12, 0xCC);
    ByteVector big(12, 0xCC);
    ASSERT_EQ(EncodePathTableRecord(record, PathTableOrder::LittleEndian, little), 12u);
    ASSERT_EQ(EncodePathTableRecord(record, PathTableOrder::BigEndian, big), 12u);
    EXPECT_EQ(little, (ByteVector{3, 0, 20, 0, 0, 0, 1, 0, 'A', 'B', 'C', 0}));
    EXPECT_EQ(big, (ByteVector{3, 0, 0, 0, 0, 20, 0, 1, 'A', 'B', 'C', 0}));
    EXPECT_EQ(DecodePathTableRecord(little, PathTableOrder::LittleEndian), record);
    EXPECT_EQ(DecodePathTableRecord(big, PathTableOrder::BigEndian), record);

    ByteVector root(10, 0xCC);
    ASSERT_EQ(EncodePathTableRecord(MakeRootPathTableRecord(18), PathTableOrder::LittleEndian, root), 10u);
    EXPECT_EQ(root, (ByteVector{1, 0, 18, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(Iso9660PathTables, WholeTableDecodesAndChecksParents)
{
    // root 1, A 2, B 3, A1 4 (parent 2), X 5 (parent 4).
    const std::vector<PathTableRecord> records = {
        MakeRootPathTableRecord(20),
        {0, 21, 1, "A"},
        {0, 22, 1, "B"},
        {0, 23, 2, "A1"},
        {0, 24, 4, "X"},
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

        ByteVector forward = table;
        forward[40 + (order == PathTableOrder::LittleEndian ? 6 : 7)] = 5; // X names itself as parent
        EXPECT_FALSE(DecodePathTable(forward, order));
        ByteVector zeroParent = table;
        zeroParent[10 + (order == PathTableOrder::LittleEndian ? 6 : 7)] = 0;
        EXPECT_FALSE(DecodePathTable(zeroParent, order));
        ByteVector notRoot = table;
        notRoot[8] = 'R';
        EXPECT_FALSE(DecodePathTable(notRoot, order));
        ByteVector overrun = table;
        overrun[40] = 9; // X's identifier runs past the table's size
        EXPECT_FALSE(DecodePathTable(overrun, order));
        EXPECT_FALSE(DecodePathTable(ByteVector{}, order));
    }
}

// ---------------------------------------------------------------------------

TEST(Iso9660ElTorito, BootRecordLayoutAndRecognition)
{
    ByteVector sector = Sector();
    ASSERT_TRUE(EncodeBootRecord(MakeElToritoBootRecord(0x01020304), sector));
    EXPECT_EQ(Slice(sector, 0, 7), (ByteVector{0x00, 'C', 'D', '0', '0', '1', 0x01}));
    const std::string id = "EL TORITO SPECIFICATION";
    EXPECT_EQ(Slice(sector, 7, id.size()), ByteVector(id.begin(), id.end()));
    EXPECT_TRUE(AllZeroBetween(sector, 7 + id.size(), 71));
    EXPECT_EQ(Slice(sector, 71, 4), (ByteVector{4, 3, 2, 1}));
    EXPECT_TRUE(AllZeroBetween(sector, 75, kSectorSize));
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

TEST(Iso9660ElTorito, CatalogValidationEntrySumsToZero)
{
    BootCatalog catalog;
    catalog.mediaType = static_cast<std::uint8_t>(BootMediaType::Diskette1440);
    catalog.loadRba = 0x00ABCDEF;
    ByteVector sector = Sector();
    ASSERT_TRUE(EncodeBootCatalog(catalog, sector));

    // The system's fixed validation entry: header 1, platform 0, checksum AA 55, key 55 AA.
    EXPECT_EQ(Slice(sector, 0, 4), (ByteVector{1, 0, 0, 0}));
    EXPECT_TRUE(AllZeroBetween(sector, 4, 28));
    EXPECT_EQ(Slice(sector, 28, 4), (ByteVector{0xAA, 0x55, 0x55, 0xAA}));
    EXPECT_EQ(Slice(sector, 32, 12), (ByteVector{0x88, 2, 0, 0, 0, 0, 4, 0, 0xEF, 0xCD, 0xAB, 0x00}));
    EXPECT_TRUE(AllZeroBetween(sector, 44, kSectorSize));

    const auto sum = [&sector] {
        std::uint32_t words = 0;
        for (std::size_t i = 0; i < 32; i += 2) {
            words += ReadLe16(sector, i);
        }
        return words & 0xFFFF;
    };
    EXPECT_EQ(sum(), 0u);

    // Another platform and ID string still sum to zero.
    BootCatalog other = catalog;
    other.platformId = 0xEF;
    PutTextField(other.idString, "Tarvelin boot");
    ASSERT_TRUE(EncodeBootCatalog(other, sector));
    EXPECT_EQ(sum(), 0u);
    EXPECT_EQ(DecodeBootCatalog(sector), other);
}

TEST(Iso9660ElTorito, AnyChangeToTheValidationEntryIsRefused)
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
    ByteVector badIndicator = good;
    badIndicator[32] = 0x44;
    EXPECT_FALSE(DecodeBootCatalog(badIndicator));
    EXPECT_FALSE(DecodeBootCatalog(ByteVector(good.begin(), good.end() - 1)));
}

// Whole catalogs: a default entry and sections with their entries and
// extension entries survive a round trip, the header and extension flags
// follow what comes next, and what cannot be read whole or written into
// one sector is refused.
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
    EXPECT_EQ(*decoded, catalog);
    EXPECT_EQ(BootEntriesOf(*decoded).size(), 4u);
}

TEST(BootCatalogSet, ACatalogWithoutSectionsIsItsDefaultEntry)
{
    BootCatalog single;
    single.mediaType = 2;
    single.loadRba = 30;
    std::vector<std::uint8_t> sector(kSectorSize);
    ASSERT_TRUE(EncodeBootCatalog(single, sector));
    const auto decoded = DecodeBootCatalogSet(sector);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->sections.empty());
    EXPECT_EQ(decoded->defaultEntry.mediaType, 2);
    EXPECT_EQ(decoded->defaultEntry.loadRba, 30u);
    std::vector<std::uint8_t> again(kSectorSize);
    ASSERT_TRUE(EncodeBootCatalogSet(*decoded, again));
    EXPECT_EQ(again, sector);
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

// ---------------------------------------------------------------------------

TEST(Iso9660TextFields, PaddingAndTrimming)
{
    std::array<std::uint8_t, 8> field{};
    PutTextField(field, "ABC", ' ');
    EXPECT_EQ(field, (std::array<std::uint8_t, 8>{'A', 'B', 'C', ' ', ' ', ' ', ' ', ' '}));
    EXPECT_EQ(ReadTextField(field), "ABC");
    PutTextField(field, "0123456789");
    EXPECT_EQ(ReadTextField(field), "01234567");

    // Joliet text is cut at whole characters: U+1F600 needs two units, and
    // a 6-byte field holds "ab" and no half of the pair.
    std::array<std::uint8_t, 6> small{};
    PutJolietTextField(small, "ab\xF0\x9F\x98\x80");
    EXPECT_EQ(small, (std::array<std::uint8_t, 6>{0, 'a', 0, 'b', 0, 0}));
    std::array<std::uint8_t, 8> exact{};
    PutJolietTextField(exact, "ab\xF0\x9F\x98\x80");
    EXPECT_EQ(exact, (std::array<std::uint8_t, 8>{0, 'a', 0, 'b', 0xD8, 0x3D, 0xDE, 0x00}));
    EXPECT_EQ(ReadJolietTextField(exact), "ab\xF0\x9F\x98\x80");
}

} // namespace
} // namespace tarvelin::iso
