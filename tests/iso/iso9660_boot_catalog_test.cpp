// Whole boot catalogs: a default entry and sections with their entries and
// extension entries survive a decode and encode unchanged, the header and
// extension flags follow what comes next, and what cannot be read whole or
// written into one sector is refused.

#include "iso/iso9660.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvelin::iso {
namespace {

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

} // namespace
} // namespace tarvelin::iso
