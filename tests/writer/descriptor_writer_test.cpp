// The volume descriptor writers (CBuildDesc, CIsoDesc), byte by byte against layouts written out here without the
// engine's encoders, and CIsoDesc's questions about source images in memory and made by genisoimage and xorriso.

#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"
#include "build_test_support.h"
#include "writer/descriptor_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace tarvelin {
namespace {

constexpr std::size_t kSector = 2048;
using Sector = std::vector<std::uint8_t>;

// +1:00 in winter, +2:00 in summer, without a zone database.
constexpr const char* kTestZone = "CET-1CEST,M3.5.0,M10.5.0/3";

platform::FileTime Utc(int year, int month, int day, int hour, int minute, int second = 0)
{
    platform::CalendarTime fields;
    fields.year = year;
    fields.month = month;
    fields.day = day;
    fields.hour = hour;
    fields.minute = minute;
    fields.second = second;
    platform::FileTime time = 0;
    EXPECT_TRUE(platform::UtcToFileTime(fields, time));
    return time;
}

// 2004-01-05 09:07:00 in the test zone (08:07 UTC).
const platform::FileTime kJanuaryBuild = Utc(2004, 1, 5, 8, 7);

void Put(Sector& s, std::size_t at, std::uint32_t v, std::size_t width, bool bigEndian)
{
    for (std::size_t i = 0; i < width; ++i) {
        s[at + (bigEndian ? width - 1 - i : i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
void Le32(Sector& s, std::size_t at, std::uint32_t v) { Put(s, at, v, 4, false); }
void Be32(Sector& s, std::size_t at, std::uint32_t v) { Put(s, at, v, 4, true); }
void Both16(Sector& s, std::size_t at, std::uint16_t v)
{
    Put(s, at, v, 2, false);
    Put(s, at + 2, v, 2, true);
}
void Both32(Sector& s, std::size_t at, std::uint32_t v)
{
    Le32(s, at, v);
    Be32(s, at + 4, v);
}
void Text(Sector& s, std::size_t at, const std::string& text)
{
    std::copy(text.begin(), text.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
}
std::string Ucs2(const std::string& ascii)
{
    std::string out;
    for (const char c : ascii) {
        out.push_back('\0');
        out.push_back(c);
    }
    return out;
}
struct Tree {
    std::uint32_t ptSize, ptSector, rootExtent, rootSize;
};

// The 17-byte volume date of a recording date's fields, hundredths 00.
std::string VolumeDateOf(const std::array<std::uint8_t, 7>& date)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d00", 1900 + date[0], date[1], date[2], date[3],
                  date[4], date[5]);
    return std::string(digits) + static_cast<char>(date[6]);
}

// A new primary (type 1) or Joliet (type 2) descriptor: text fields of spaces (UCS-2 in Joliet, a 37-byte field
// ending in a zero byte), a volume set of one, created and modified at the build, no expiration or effective date.
Sector ExpectedDescriptor(std::uint8_t type, std::uint32_t volumeSectors, const Tree& tree, std::uint32_t mTable,
                          const std::string& label, const std::array<std::uint8_t, 7>& rootDate)
{
    Sector s(kSector, 0);
    s[0] = type;
    Text(s, 1, "CD001");
    s[6] = 1;
    const auto field = [&](std::size_t at, std::size_t width, const std::string& text) {
        for (std::size_t i = 0; i < width; ++i) {
            s[at + i] = type == 2 && i % 2 == 0 ? 0x00 : 0x20;
        }
        Text(s, at, type == 2 ? Ucs2(text) : text);
    };
    field(8, 32, "");
    field(40, 32, label);
    for (const std::size_t at : {190U, 318U, 446U}) {
        field(at, 128, "");
    }
    field(574, 128, "TARVELIN");
    for (const std::size_t at : {702U, 739U, 776U}) {
        field(at, 37, "");
    }
    Both32(s, 80, volumeSectors);
    if (type == 2) {
        s[88] = 0x25;
        s[89] = 0x2F;
        s[90] = 0x45;
    }
    Both16(s, 120, 1);
    Both16(s, 124, 1);
    Both16(s, 128, 2048);
    Both32(s, 132, tree.ptSize);
    Le32(s, 140, tree.ptSector);
    Be32(s, 148, mTable);
    s[156] = 34;
    Both32(s, 158, tree.rootExtent);
    Both32(s, 166, tree.rootSize);
    std::copy(rootDate.begin(), rootDate.end(), s.begin() + 174);
    s[181] = 2;
    Both16(s, 184, 1);
    s[188] = 1;
    s[189] = 0;
    Text(s, 813, VolumeDateOf(rootDate));
    Text(s, 830, VolumeDateOf(rootDate));
    Text(s, 847, std::string(16, '0') + '\0');
    Text(s, 864, std::string(16, '0') + '\0');
    s[881] = 1; // file structure version
    return s;
}

Sector ExpectedTerminator()
{
    Sector s(kSector, 0);
    s[0] = 0xFF;
    Text(s, 1, "CD001");
    s[6] = 1;
    return s;
}

Sector ExpectedBootRecord(std::uint32_t catalogSector)
{
    Sector s(kSector, 0);
    Text(s, 1, "CD001");
    s[6] = 1;
    Text(s, 7, "EL TORITO SPECIFICATION");
    Le32(s, 71, catalogSector);
    return s;
}

template <class Component>
std::vector<Sector> Copied(Component& component)
{
    CByteBuffer out;
    EXPECT_TRUE(component.CopyTo(out));
    EXPECT_EQ(out.GetSize() % kSector, 0U);
    EXPECT_EQ(out.GetSize() / kSector, static_cast<std::uint32_t>(component.GetSectorCount()));
    std::vector<Sector> sectors;
    for (std::uint32_t at = 0; at + kSector <= out.GetSize(); at += kSector) {
        sectors.emplace_back(out.GetData() + at, out.GetData() + at + kSector);
    }
    return sectors;
}

using test::Held;

class ZoneTest : public ::testing::Test {
    test::ScopedZone zone_{kTestZone};
};

constexpr Tree kIsoTree{10, 19, 23, 2048};
constexpr Tree kJolietTree{10, 21, 24, 2048};
constexpr std::array<std::uint8_t, 7> kJanuaryRootDate{104, 1, 5, 9, 7, 0, 4}; // +1:00 = 4 quarter hours

class DescriptorSetRendering : public ZoneTest {};

std::vector<Sector> RenderNew(bool edit, platform::FileTime time, std::uint32_t mode, std::uint32_t volume,
                              const Tree& iso, const Tree& joliet)
{
    if (edit) {
        Held<IIsoDesc> desc(Desc1());
        desc->SetBuildTime(time);
        desc->Build(mode, volume, iso.ptSize, iso.ptSector, iso.rootExtent, iso.rootSize, joliet.ptSize,
                    joliet.ptSector, joliet.rootExtent, joliet.rootSize, 0, kBootKeep);
        return Copied(*desc.get());
    }
    Held<IBuildDesc> desc(NEW_DESCNEW());
    desc->SetBuildTime(time);
    desc->Build(mode, volume, iso.ptSize, iso.ptSector, iso.rootExtent, iso.rootSize, joliet.ptSize,
                joliet.ptSector, joliet.rootExtent, joliet.rootSize);
    return Copied(*desc.get());
}

TEST_F(DescriptorSetRendering, NewSetIsPrimaryJolietTerminatorByteForByteInEitherWriter)
{
    struct Case {
        platform::FileTime utc;
        std::uint32_t mode;
        const char* label;
        std::array<std::uint8_t, 7> date;
        Tree iso{kIsoTree};
        std::uint32_t mTable = 20; // the M table follows the padded L table
    };
    const Case cases[] = {
        {kJanuaryBuild, 2, "20041597", kJanuaryRootDate},
        // Only mode 2 adds the Joliet descriptor.
        {kJanuaryBuild, 0, "20041597", kJanuaryRootDate},
        {kJanuaryBuild, 0xFFFFFFFFU, "20041597", kJanuaryRootDate},
        {Utc(2004, 12, 31, 22, 59, 30), 2, "200412312359", {104, 12, 31, 23, 59, 30, 4}},
        // Summer time: +2:00.
        {Utc(2004, 7, 9, 6, 5, 7), 2, "20047985", {104, 7, 9, 8, 5, 7, 8}},
        // Local midnight of New Year while it is still the old year in UTC.
        {Utc(2004, 12, 31, 23, 0, 0), 2, "20051100", {105, 1, 1, 0, 0, 0, 4}},
        // 2048 bytes fill one sector; 2049 spill into a second.
        {kJanuaryBuild, 2, "20041597", kJanuaryRootDate, {2048, 19, 50, 2048}, 20},
        {kJanuaryBuild, 2, "20041597", kJanuaryRootDate, {2049, 19, 50, 2048}, 21},
        {kJanuaryBuild, 2, "20041597", kJanuaryRootDate, {4097, 40, 50, 2048}, 43},
        {kJanuaryBuild, 2, "20041597", kJanuaryRootDate, {0xFFFFFFFFU, 19, 50, 2048}, 19 + 2097152},
    };
    for (const bool edit : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(edit ? "CIsoDesc " : "CBuildDesc ") + c.label + " mode " + std::to_string(c.mode)
                         + " table " + std::to_string(c.iso.ptSize));
            // The Joliet tables lie 7 sectors behind the ISO ones, the Joliet root one behind.
            const Tree joliet{c.iso.ptSize, c.iso.ptSector + 7, c.iso.rootExtent + 1, 2048};
            const std::vector<Sector> set = RenderNew(edit, c.utc, c.mode, 25, c.iso, joliet);
            ASSERT_EQ(set.size(), c.mode == 2 ? 3U : 2U);
            EXPECT_EQ(set[0], ExpectedDescriptor(1, 25, c.iso, c.mTable, c.label, c.date));
            if (c.mode == 2) {
                EXPECT_EQ(set[1], ExpectedDescriptor(2, 25, joliet, c.mTable + 7, c.label, c.date));
            }
            EXPECT_EQ(set.back(), ExpectedTerminator());
        }
    }
}

TEST_F(DescriptorSetRendering, CopyToAppendsAndNothingIsCopiedBeforeABuild)
{
    Held<IBuildDesc> desc(NEW_DESCNEW());
    CByteBuffer out;
    ASSERT_TRUE(out.Append("head", 4));
    // Before a build there is no set: no empty set is handed out as if it were one.
    EXPECT_FALSE(desc->CopyTo(out));
    EXPECT_EQ(out.GetSize(), 4U);
    desc->Build(1, 21, 10, 19, 21, 2048, 0, 0, 0, 0);
    desc->Build(2, 25, 10, 19, 23, 2048, 10, 21, 24, 2048); // replaces the set
    ASSERT_TRUE(desc->CopyTo(out));
    ASSERT_EQ(out.GetSize(), 4U + 3 * kSector);
    EXPECT_EQ(std::memcmp(out.GetData(), "head", 4), 0);
}

// A source image in memory: a read outside it or any write fails the test.

class MemorySource final : public test::MemorySector {
public:
    explicit MemorySource(std::uint32_t sectors) : MemorySector(sectors) {}
    ~MemorySource() override { EXPECT_EQ(readsOutside, 0u) << "reads outside an image of " << GetSectorCount(); }

    void Put(std::uint32_t first, const std::vector<Sector>& sectors)
    {
        for (const Sector& s : sectors) {
            std::copy(s.begin(), s.end(), At(first++).begin());
        }
    }

    void PutDescriptor(std::uint32_t sector, iso::DescriptorType type, std::uint32_t rootExtent)
    {
        iso::VolumeDescriptor descriptor;
        descriptor.type = type;
        descriptor.rootRecord = iso::MakeRootRecord(rootExtent, 2048, kJanuaryBuild);
        if (type == iso::DescriptorType::Supplementary) {
            std::copy(iso::kJolietLevel3Escape.begin(), iso::kJolietLevel3Escape.end(),
                      descriptor.escapeSequences.begin());
        }
        ASSERT_TRUE(iso::EncodeVolumeDescriptor(descriptor, At(sector)));
    }
    void PutTerminator(std::uint32_t sector) { ASSERT_TRUE(iso::EncodeTerminator(At(sector))); }
    void PutBootRecord(std::uint32_t catalogSector)
    {
        ASSERT_TRUE(iso::EncodeBootRecord(iso::MakeElToritoBootRecord(catalogSector), At(iso::kBootRecordSector)));
    }
    void PutCatalog(std::uint32_t sector, std::uint32_t imageSector, iso::BootMediaType media)
    {
        iso::BootCatalog catalog;
        catalog.loadRba = imageSector;
        catalog.mediaType = static_cast<std::uint8_t>(media);
        catalog.sectorCount = 4;
        ASSERT_TRUE(iso::EncodeBootCatalog(catalog, At(sector)));
    }
    bool WriteSectors(const void*, std::uint32_t, std::uint32_t) override
    {
        ADD_FAILURE() << "the descriptor component wrote to its source";
        return false;
    }
};

struct DescriptorAnswers {
    std::int32_t descriptorCount = 0;
    std::int32_t jolietMode = 0;
    bool hasBootRecord = false;
    std::uint32_t catalogSector = 0;
    std::uint32_t imageSector = 0;
    std::uint32_t mediaType = 0;
    std::uint32_t loadSectors = 0;
    bool operator==(const DescriptorAnswers&) const = default;
};

std::ostream& operator<<(std::ostream& out, const DescriptorAnswers& a)
{
    return out << "{count " << a.descriptorCount << ", Joliet " << a.jolietMode << ", boot " << a.hasBootRecord
               << ", catalog " << a.catalogSector << ", image " << a.imageSector << ", media " << a.mediaType
               << ", load " << a.loadSectors << "}";
}

DescriptorAnswers Ask(IIsoSector* source)
{
    Held<IIsoDesc> desc(Desc1());
    desc->SetSource(source);
    DescriptorAnswers answers;
    answers.mediaType = 99; // must be written
    answers.descriptorCount = desc->GetDescriptorCount();
    answers.jolietMode = desc->GetJolietMode();
    answers.hasBootRecord = desc->HasBootRecord();
    answers.catalogSector = desc->GetBootCatalogSector();
    answers.imageSector = desc->GetBootInfo(answers.mediaType);
    answers.loadSectors = desc->GetBootLoadSectorCount();
    return answers;
}

class DescriptorSourceQuestions : public ZoneTest {};

TEST_F(DescriptorSourceQuestions, GarbageSectorSeventeenIsNoBootRecord)
{
    MemorySource source(40);
    source.PutDescriptor(16, iso::DescriptorType::Primary, 25);
    source.Put(17, {test::RandomBytes(kSector, 17)});
    source.At(17)[0] = 0x00; // a boot record's type byte, but not its identifier
    source.PutTerminator(18);
    // Without a boot record, the catalog the garbage points at must not make sector 31 (a file's) the boot image.
    iso::PutLe32(source.At(17), 71, 30);
    source.PutCatalog(30, 31, iso::BootMediaType::Diskette1440);
    EXPECT_EQ(Ask(&source), (DescriptorAnswers{3, 1, false, 0, 0, 0, 0}));
}

TEST_F(DescriptorSourceQuestions, BootInfoOnlyFromACatalogThatChecksOut)
{
    // A catalog sector that is no catalog: the sector 20 its load RBA bytes name is not the boot image.
    MemorySource source(40);
    source.PutDescriptor(16, iso::DescriptorType::Primary, 25);
    source.PutBootRecord(30);
    source.PutTerminator(18);
    iso::Bytes notACatalog = source.At(30);
    notACatalog[33] = 2;
    iso::PutLe32(notACatalog, 40, 20);
    EXPECT_EQ(Ask(&source), (DescriptorAnswers{3, 1, true, 0, 0, 0, 0}));
    // A catalog pointer past the end of the image is not followed.
    source.PutBootRecord(4000);
    EXPECT_EQ(Ask(&source), (DescriptorAnswers{3, 1, true, 0, 0, 0, 0}));

    // A real catalog, answered afresh: nothing is cached between calls.
    Held<IIsoDesc> desc(Desc1());
    desc->SetSource(&source);
    std::uint32_t media = 99;
    EXPECT_EQ(desc->GetBootInfo(media), 0U);
    source.PutBootRecord(30);
    source.PutCatalog(30, 33, iso::BootMediaType::Diskette1440);
    EXPECT_EQ(desc->GetBootInfo(media), 33U);
    EXPECT_EQ(media, 2U);
    EXPECT_EQ(desc->GetBootCatalogSector(), 30U);
    source.PutCatalog(30, 35, iso::BootMediaType::HardDisk);
    EXPECT_EQ(desc->GetBootInfo(media), 35U);
    EXPECT_EQ(media, 4U);
}

TEST_F(DescriptorSourceQuestions, UnreadablePrimaryAndMissingSource)
{
    MemorySource source(20);
    source.Put(16, {test::RandomBytes(kSector, 16)});
    source.At(16)[0] = 0x01;
    EXPECT_EQ(Ask(nullptr), (DescriptorAnswers{0, 1, false, 0, 0, 0, 0}));
    for (IIsoSector* from : {static_cast<IIsoSector*>(&source), static_cast<IIsoSector*>(nullptr)}) {
        Held<IIsoDesc> desc(Desc1());
        desc->SetSource(from);
        std::array<std::uint8_t, 34> record;
        record.fill(0xAA);
        EXPECT_FALSE(desc->GetRootRecord(record.data()));
        EXPECT_EQ(record, (std::array<std::uint8_t, 34>{}));
        record.fill(0xAA);
        EXPECT_FALSE(desc->GetJolietRootRecord(record.data()));
        EXPECT_EQ(record, (std::array<std::uint8_t, 34>{}));
    }
}

class DescriptorBootRecord : public ZoneTest {};

// Random bytes under a real header, block size and root record: a wiped or re-rendered field shows.
Sector RandomDescriptor(std::uint8_t type, std::uint8_t version, std::uint32_t rootExtent, std::uint32_t seed)
{
    Sector s = test::RandomBytes(kSector, seed);
    s[0] = type;
    Text(s, 1, "CD001");
    s[6] = version;
    std::fill(s.begin() + 88, s.begin() + 120, 0); // no escape sequences
    Both16(s, 128, 2048);
    EXPECT_EQ(iso::EncodeDirectoryRecord(iso::MakeRootRecord(rootExtent, 4096, kJanuaryBuild),
                                         iso::Bytes(s).subspan(156, 34)),
              34U);
    return s;
}

// The source sector with what a save moves: volume size, path tables, root extent and length, modification date.
Sector Placed(Sector s, const Tree& tree, std::uint32_t volumeSectors, const std::string& modified)
{
    Both32(s, 80, volumeSectors);
    Both32(s, 132, tree.ptSize);
    Le32(s, 140, tree.ptSector);
    Le32(s, 144, 0);
    Be32(s, 148, tree.ptSector + 1);
    Be32(s, 152, 0);
    Both32(s, 158, tree.rootExtent);
    Both32(s, 166, tree.rootSize);
    Text(s, 830, modified);
    return s;
}

TEST_F(DescriptorBootRecord, SavedSetKeepsEveryFieldTheSaveDoesNotMove)
{
    // A, as xorriso lays out an ISO 9660:1999 image: primary (root 25), El Torito, Joliet (root 26), enhanced with a
    // tree of its own (root 27), supplementary sharing the primary's root, partition descriptor, terminator.
    // B: primary, Joliet, then no terminator. C: a labelled primary and the terminator.
    const Sector primary = RandomDescriptor(1, 1, 25, 1);
    Sector joliet = RandomDescriptor(2, 1, 26, 2);
    Text(joliet, 88, "%/E");
    const Sector enhanced = RandomDescriptor(2, 2, 27, 3);
    const Sector sharing = RandomDescriptor(2, 1, 25, 4);
    Sector partition = test::RandomBytes(kSector, 5);
    partition[0] = 3;
    Text(partition, 1, "CD001");
    partition[6] = 1;
    Sector bootRecord = ExpectedBootRecord(30);
    Text(bootRecord, 39, "VENDOR BOOT ID");
    Sector terminator = ExpectedTerminator();
    terminator[100] = 0x5A; // kept as read, whatever it holds

    MemorySource a(40);
    a.Put(16, {primary, bootRecord, joliet, enhanced, sharing, partition, terminator});
    MemorySource b(40);
    b.Put(16, {primary, joliet, test::RandomBytes(kSector, 6)});
    b.At(18)[1] = 'X';
    Sector labelled = primary;
    Text(labelled, 40, "SAVED" + std::string(27, ' '));
    MemorySource noJoliet(40);
    noJoliet.Put(16, {labelled, terminator});

    // 2010-06-01 12:30:15 CEST (+2:00 = 8 quarter hours).
    const std::string modified = std::string("2010060112301500") + '\x08';
    const Sector p = Placed(primary, kIsoTree, 90, modified);
    const Sector j = Placed(joliet, kJolietTree, 90, modified);
    // A save writes no tree of the enhanced descriptor's own: it gets the primary's.
    const Sector e = Placed(enhanced, kIsoTree, 90, modified);
    const Sector shared = Placed(sharing, kIsoTree, 90, modified);
    Sector keptBoot = bootRecord;
    Le32(keptBoot, 71, 77);
    const Sector newBoot = ExpectedBootRecord(77);
    const Sector newTerminator = ExpectedTerminator();

    const struct {
        const char* what;
        MemorySource* source;
        std::uint32_t option;
        std::uint32_t mode;
        std::vector<Sector> expected;
    } cases[] = {
        {"boot kept", &a, kBootKeep, 2, {p, keptBoot, j, e, shared, partition, terminator}},
        {"boot removed, the rest moves down", &a, kBootNone, 2, {p, j, e, shared, partition, terminator}},
        {"no Joliet tree saved", &a, kBootAlways, 1, {p, keptBoot, e, shared, partition, terminator}},
        {"boot added at 17, terminator added", &b, kBootAlways, 2, {p, newBoot, j, newTerminator}},
        {"nothing to add", &b, kBootKeep, 2, {p, j, newTerminator}},
        {"boot kept, no Joliet tree saved", &a, kBootKeep, 1, {p, keptBoot, e, shared, partition, terminator}},
        {"nothing to remove", &b, kBootNone, 1, {p, newTerminator}},
        {"Joliet added with the primary's label", &noJoliet, kBootKeep, 2,
         {Placed(labelled, kIsoTree, 90, modified),
          ExpectedDescriptor(2, 90, kJolietTree, 22, "SAVED", {110, 6, 1, 12, 30, 15, 8}), terminator}},
        // Without a source the set is a new one, with a boot record when asked.
        {"new set", nullptr, kBootAlways, 1,
         {ExpectedDescriptor(1, 90, kIsoTree, 20, "2010611230", {110, 6, 1, 12, 30, 15, 8}), newBoot, newTerminator}},
    };
    for (const auto& c : cases) {
        Held<IIsoDesc> desc(Desc1());
        desc->SetSource(c.source);
        desc->SetBuildTime(Utc(2010, 6, 1, 10, 30, 15));
        desc->Build(c.mode, 90, kIsoTree.ptSize, kIsoTree.ptSector, kIsoTree.rootExtent, kIsoTree.rootSize,
                    kJolietTree.ptSize, kJolietTree.ptSector, kJolietTree.rootExtent, kJolietTree.rootSize, 77,
                    c.option);
        const std::vector<Sector> set = Copied(*desc.get());
        ASSERT_EQ(set.size(), c.expected.size()) << c.what;
        for (std::size_t i = 0; i < set.size(); ++i) {
            EXPECT_EQ(set[i], c.expected[i]) << c.what << ", sector " << 16 + i;
        }
    }
}

TEST_F(DescriptorSourceQuestions, UdfRecognitionSequenceBehindTheTerminator)
{
    const struct {
        std::vector<std::string> sequence; // from sector 18, behind primary and terminator
        std::uint32_t nsr;
    } cases[] = {
        {{"BEA01", "NSR02", "TEA01"}, 2},
        {{"BEA01", "BOOT2", "NSR03", "TEA01"}, 3},
        {{"BEA01", "TEA01", "NSR02"}, 0}, // behind the extended area's end
        {{"NSR02", "TEA01"}, 0},          // no extended area begins
        {{"BEA01"}, 0},                   // the image ends
        {{"BEA01", "NSR02"}, 2},          // cut short after its NSR descriptor
    };
    for (const auto& c : cases) {
        MemorySource source(18 + static_cast<std::uint32_t>(c.sequence.size()));
        source.PutDescriptor(16, iso::DescriptorType::Primary, 25);
        source.PutTerminator(17);
        for (std::size_t i = 0; i < c.sequence.size(); ++i) {
            iso::Bytes sector = source.At(18 + static_cast<std::uint32_t>(i));
            std::copy(c.sequence[i].begin(), c.sequence[i].end(), sector.begin() + 1);
            sector[6] = 1;
        }
        Held<IIsoDesc> desc(Desc1());
        desc->SetSource(&source);
        EXPECT_EQ(desc->GetUdfNsrVersion(), c.nsr) << c.sequence.front() << " +" << c.sequence.size() - 1;
    }
}

// The number right after the first occurrence of prefix.
std::optional<std::uint32_t> NumberAfter(const std::string& text, const std::string& prefix, int base = 10)
{
    const std::size_t at = text.find(prefix);
    char* end = nullptr;
    const char* start = at == std::string::npos ? nullptr : text.c_str() + at + prefix.size();
    const unsigned long value = start ? std::strtoul(start, &end, base) : 0;
    return end != start ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(value)) : std::nullopt;
}

class DescriptorPeerImages : public ZoneTest {};

// What isoinfo and xorriso report of an image, as CIsoDesc's answers; the descriptor count from the type bytes.
DescriptorAnswers AskPeers(const std::string& path)
{
    DescriptorAnswers facts;
    const std::string info = test::RunCommand("isoinfo -d -i " + test::ShellQuote(path)).output;
    facts.jolietMode = info.find("Joliet with UCS level 3 found") != std::string::npos ? 2 : 1;
    EXPECT_TRUE(facts.jolietMode == 2 || info.find("NO Joliet present") != std::string::npos) << info;
    const std::optional<std::uint32_t> catalog = NumberAfter(info, "boot catalog is in sector ");
    facts.hasBootRecord = catalog.has_value();
    facts.catalogSector = catalog.value_or(0);
    facts.mediaType = NumberAfter(info, "Boot media ").value_or(0);
    facts.loadSectors = NumberAfter(info, "Nsect ", 16).value_or(0);
    const std::string torito =
        test::RunCommand("xorriso -indev " + test::ShellQuote(path) + " -report_el_torito plain 2>/dev/null").output;
    if (catalog) {
        EXPECT_EQ(NumberAfter(torito, "El Torito catalog  : "), catalog) << torito;
        facts.imageSector = test::XorrisoBootImageSector(path);
    }
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(path);
    for (std::size_t sector = 16; (sector + 1) * kSector <= bytes.size(); ++sector) {
        ++facts.descriptorCount;
        if (bytes[sector * kSector] == 0xFF) {
            break;
        }
    }
    return facts;
}

// CIsoDesc answers as the peers read their images; a kept boot record follows the primary, naming the new catalog.
TEST_F(DescriptorPeerImages, AnswersAgreeWithThePeersOnTheirImages)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("isoinfo");
    TARVELIN_REQUIRE_TOOL("xorriso");
    test::TempDir dir;
    const std::string source = dir / "src";
    std::filesystem::create_directories(source);
    test::MakeFolderTree(source);
    test::WriteWholeFile(source + "/boot.img", test::RandomBytes(6144, 5));
    test::WriteWholeFile(source + "/floppy.img", test::RandomBytes(1474560, 6));

    struct Case {
        std::string command;
        std::int32_t descriptorCount, jolietMode;
        bool boot;
        std::uint32_t mediaType;
    };
    // With -J and a boot image the Joliet descriptor comes third, after the boot record.
    const Case cases[] = {{"genisoimage -quiet -J", 3, 2, false, 0},
                          {"genisoimage -quiet", 2, 1, false, 0},
                          {"xorriso -as mkisofs -quiet -J -b boot.img -no-emul-boot", 4, 2, true, 0},
                          {"xorriso -as mkisofs -quiet -b floppy.img", 3, 1, true, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string path = dir / "image.iso";
        const test::CommandResult made = test::RunCommand(c.command + " -o " + test::ShellQuote(path) + " "
                                                          + test::ShellQuote(source) + " 2>&1");
        ASSERT_EQ(made.exitCode, 0) << made.output;
        Held<IIsoSector> sector(Sector1());
        ASSERT_TRUE(sector->Open(path.c_str())) << path;
        const DescriptorAnswers answers = Ask(sector.get());
        EXPECT_EQ(answers, AskPeers(path));
        EXPECT_EQ(std::tuple(answers.descriptorCount, answers.jolietMode, answers.hasBootRecord, answers.mediaType,
                             answers.imageSector != 0),
                  std::tuple(c.descriptorCount, c.jolietMode, c.boot, c.mediaType, c.boot));
        // The root records are the descriptors' own, Joliet's behind the boot record.
        Held<IIsoDesc> desc(Desc1());
        desc->SetSource(sector.get());
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(path);
        std::array<std::uint8_t, 34> record{};
        ASSERT_TRUE(desc->GetRootRecord(record.data()));
        EXPECT_TRUE(std::equal(record.begin(), record.end(), bytes.begin() + 16 * kSector + 156));
        EXPECT_EQ(desc->GetJolietRootRecord(record.data()), c.jolietMode == 2);
        if (c.jolietMode == 2) {
            EXPECT_TRUE(std::equal(record.begin(), record.end(), bytes.begin() + (c.boot ? 18 : 17) * kSector + 156));
        }
        if (!c.boot) {
            continue;
        }
        desc->SetBuildTime(kJanuaryBuild);
        desc->Build(static_cast<std::uint32_t>(answers.jolietMode), 100, 10, 19, 23, 2048, 10, 21, 24, 2048,
                    answers.catalogSector + 1, kBootKeep);
        const std::vector<Sector> set = Copied(*desc.get());
        ASSERT_EQ(set.size(), c.jolietMode == 2 ? 4U : 3U);
        EXPECT_EQ(set[1], ExpectedBootRecord(answers.catalogSector + 1));
    }
}

} // namespace
} // namespace tarvelin
