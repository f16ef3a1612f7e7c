// The directory writers (CBuildDirSecs over a source tree, CIsoDir over an
// edited tree): records and their sizes, their order and identifiers in
// each tree, sector boundaries, the order of the directory extents, the
// two-build contract, dates with their zone, Rock Ridge entries, and files
// stored in several extents.

#include "build_test_support.h"
#include "core/byte_buffer.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "iso/rock_ridge.h"
#include "writer/directory_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin {
namespace {

using test::FileNode;
using test::FolderNode;
using test::Held;
using test::InfoOf;
using test::kSector;
using test::ReadDirectory;

constexpr std::uint32_t kStart = 23;

// The directories as the second of two builds renders them, placed at their
// sectors in an otherwise empty image, and the component that rendered them.
template <class Interface>
struct Built {
    std::vector<std::uint8_t> image;
    Held<Interface> directories;
};

template <class Interface, class Tree>
Built<Interface> BuildTwice(Interface* (*factory)(), Tree* tree, std::uint32_t mode = 2)
{
    Held<Interface> first(factory());
    first->Build(mode, tree, kStart);
    EXPECT_STREQ(first->GetLastError(), "");
    Built<Interface> second{std::vector<std::uint8_t>(std::size_t{kStart} * kSector, 0), Held<Interface>(factory())};
    second.directories->Build(mode, tree, kStart);
    EXPECT_STREQ(second.directories->GetLastError(), "");
    EXPECT_TRUE(second.directories->IsLayoutSettled());
    EXPECT_EQ(second.directories->GetSectorCount(), first->GetSectorCount());
    CByteBuffer out(256);
    EXPECT_TRUE(second.directories->CopyTo(out));
    second.image.insert(second.image.end(), out.GetData(), out.GetData() + out.GetSize());
    return second;
}

Built<IBuildDirSecs> BuildTwice(IMacroList* list, std::uint32_t mode = 2)
{
    return BuildTwice<IBuildDirSecs, IMacroList>(&NEW_DIRSECSNEW, list, mode);
}

// The children's identifiers of a directory, in record order; Joliet ones
// decoded.
std::vector<std::string> ChildNames(const std::vector<iso::DirectoryRecord>& records, bool joliet)
{
    std::vector<std::string> names;
    for (std::size_t i = 2; i < records.size(); ++i) {
        names.push_back(joliet ? iso::DecodeJolietIdentifier(records[i].identifier) : records[i].identifier);
    }
    return names;
}

TEST(DirSecs, EmptyRootIsOneSectorPerTreeWithDotAndDotDot)
{
    Held<IMacroList> list(NEW_MACROLIST());
    const auto [image, directories] = BuildTwice(list.get());
    EXPECT_EQ(directories->GetSectorCount(), 2);
    EXPECT_EQ(directories->GetIsoRootExtent(), kStart);
    EXPECT_EQ(directories->GetJolietRootExtent(), kStart + 1);
    EXPECT_EQ(directories->GetIsoRootSize(), 2048u);
    EXPECT_EQ(directories->GetJolietRootSize(), 2048u);
    for (std::uint32_t extent : {kStart, kStart + 1}) {
        const auto records = ReadDirectory(image, extent, 2048);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_TRUE(records[0].IsSelf());
        EXPECT_TRUE(records[1].IsParent());
        for (const auto& record : records) {
            // The root's ".." is the root itself.
            EXPECT_EQ(record.extent, extent);
            EXPECT_EQ(record.dataLength, 2048u);
            EXPECT_EQ(record.flags, iso::DirectoryFlags::kDirectory);
        }
    }
    // Byte by byte: "." is 34 bytes with identifier 0x00 and, as a bare list
    // writes no Rock Ridge, no system use; ".." follows.
    const std::uint8_t* root = image.data() + std::size_t{kStart} * kSector;
    EXPECT_EQ(std::vector<std::uint8_t>(root + 32, root + 36), (std::vector<std::uint8_t>{1, 0, 34, 0}));
    EXPECT_EQ(root[0], 34);
    EXPECT_EQ(root[34 + 33], 1);
    EXPECT_EQ(root[68], 0); // nothing after them
}

// The lengths of the records of a one-sector directory, "." and ".." left
// out, read from the bytes.
std::vector<int> RecordLengths(const std::vector<std::uint8_t>& image, std::uint32_t extent)
{
    std::vector<int> lengths;
    for (std::size_t at = std::size_t{extent} * kSector + 68; image[at] != 0; at += image[at]) {
        lengths.push_back(image[at]);
    }
    return lengths;
}

// Each tree records its own identifiers in its own order: ISO 9660 by name
// and extension padded with spaces, a folder before a file of its name;
// Joliet unit by unit, a name before the longer names it starts. A record
// is 33 bytes and its identifier, padded to an even length.
TEST(DirSecs, RecordsAreInIdentifierOrderInEachTree)
{
    Held<IMacroList> list(NEW_MACROLIST());
    for (const auto& [name, folder] : std::vector<std::pair<std::string, bool>>{
             {"x.y", false}, {"ab-", false}, {"ab.c", false}, {"b", false},
             {"C", false}, {"x", true}, {"a.txt", false}, {"ab", false}}) {
        SourceNode node = folder ? FolderNode(name) : FileNode(name, name == "b" ? 0 : 5000);
        node.fileExtent = name == "b" ? 0 : 99; // an empty file has no extent
        list->AddChild(list->GetRoot(), node);
    }
    const auto [image, directories] = BuildTwice(list.get());
    const std::uint32_t joliet = directories->GetJolietRootExtent();
    const auto isoRecords = ReadDirectory(image, kStart, 2048);
    EXPECT_EQ(ChildNames(isoRecords, false),
              (std::vector<std::string>{"A.TXT;1", "AB.;1", "AB.C;1", "AB_.;1", "B.;1", "C.;1", "X", "X.Y;1"}));
    EXPECT_EQ(RecordLengths(image, kStart), (std::vector<int>{40, 38, 40, 40, 38, 38, 34, 38}));
    EXPECT_EQ(ChildNames(ReadDirectory(image, joliet, 2048), true),
              (std::vector<std::string>{"C", "a.txt", "ab", "ab-", "ab.c", "b", "x", "x.y"}));
    EXPECT_EQ(RecordLengths(image, joliet), (std::vector<int>{36, 44, 38, 40, 42, 36, 36, 40}));
    ASSERT_EQ(isoRecords.size(), 10u);
    EXPECT_EQ(std::make_pair(isoRecords[2].extent, isoRecords[2].dataLength), std::make_pair(99u, 5000u));
    EXPECT_EQ(std::make_pair(isoRecords[6].extent, isoRecords[6].dataLength), std::make_pair(0u, 0u));
}

// Files whose ISO records fill the root up to `fill` bytes, "." and ".."
// included: records of even sizes from 38 to 66 bytes, identifiers that
// start with digits so that they sort before any name that starts with a
// letter.
void FillRoot(IMacroList* list, std::size_t fill)
{
    const std::size_t half = (fill - 68) / 2;
    const std::size_t count = (half + 32) / 33;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t record = 2 * (half * (i + 1) / count - half * i / count);
        // "NAME.;1" of odd length: 33 + identifier bytes, no padding.
        std::string name = std::to_string(10 + i);
        name.resize(record - 33 - 3, 'n');
        ASSERT_EQ(iso::DirectoryRecordSize(iso::IsoFileIdentifier(name, iso::IsoNameLimits::Level2()).size()),
                  record);
        list->AddChild(list->GetRoot(), FileNode(name, 1));
    }
}

TEST(DirSecs, RecordsNeverCrossASectorBoundary)
{
    // 2040 bytes used: a 42-byte record starts the second sector.
    {
        Held<IMacroList> list(NEW_MACROLIST());
        FillRoot(list.get(), 2040);
        list->AddChild(list->GetRoot(), FileNode("abc.txt", 1)); // "ABC.TXT;1": 33 + 9
        const auto [image, directories] = BuildTwice(list.get(), 1);
        EXPECT_EQ(directories->GetIsoRootSize(), 4096u);
        const std::uint8_t* root = image.data() + std::size_t{kStart} * kSector;
        EXPECT_NE(root[2040 - 66], 0); // the last record of the first sector ends at 2040
        EXPECT_TRUE(std::all_of(root + 2040, root + 2048, [](std::uint8_t b) { return b == 0; }));
        EXPECT_EQ(root[2048], 42);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(root + 2048 + 33), 9), "ABC.TXT;1");
        // "." carries the size of both sectors.
        EXPECT_EQ(ReadDirectory(image, kStart, 4096)[0].dataLength, 4096u);
    }
    // Exactly 2048 bytes: one sector, and the next record goes on in the
    // second without an empty sector between.
    for (const bool another : {false, true}) {
        Held<IMacroList> list(NEW_MACROLIST());
        FillRoot(list.get(), 2048);
        if (another) {
            list->AddChild(list->GetRoot(), FileNode("z", 1)); // "Z.;1": 33 + 4 + 1
        }
        const auto [image, directories] = BuildTwice(list.get(), 1);
        EXPECT_EQ(directories->GetIsoRootSize(), another ? 4096u : 2048u);
        if (another) {
            EXPECT_EQ(image[std::size_t{kStart} * kSector + 2048], 38);
        }
    }
}

TEST(DirSecs, DirectoriesLieInPreOrderAndDotDotNamesTheParent)
{
    // root -> A -> A1, root -> B; files in each.
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* a = list->AddChild(list->GetRoot(), FolderNode("A"));
    MacroNode* b = list->AddChild(list->GetRoot(), FolderNode("B"));
    MacroNode* a1 = list->AddChild(a, FolderNode("A1"));
    list->AddChild(a1, FileNode("deep", 3));
    list->AddChild(b, FileNode("bee", 3));
    const auto [image, directories] = BuildTwice(list.get());
    EXPECT_EQ(directories->GetSectorCount(), 8);
    EXPECT_EQ(directories->GetJolietRootExtent(), kStart + 4);

    const std::vector<MacroNode*> order{list->GetRoot(), a, a1, b};
    for (std::size_t i = 0; i < order.size(); ++i) {
        const SourceNode record = InfoOf(list.get(), order[i]);
        EXPECT_EQ(record.isoDirExtent, kStart + i) << i;
        EXPECT_EQ(record.jolietDirExtent, kStart + 4 + i) << i;
        EXPECT_EQ(record.isoDirSize, 2048u);
    }
    const auto a1Records = ReadDirectory(image, kStart + 2, 2048);
    ASSERT_EQ(a1Records.size(), 3u);
    EXPECT_EQ(a1Records[0].extent, kStart + 2);
    EXPECT_EQ(a1Records[1].extent, kStart + 1); // ".." is A
    const auto rootRecords = ReadDirectory(image, kStart, 2048);
    ASSERT_EQ(rootRecords.size(), 4u);
    EXPECT_EQ(rootRecords[2].identifier, "A");
    EXPECT_EQ(rootRecords[2].extent, kStart + 1);
    EXPECT_EQ(rootRecords[3].extent, kStart + 3);
    const auto jolietB = ReadDirectory(image, kStart + 7, 2048);
    EXPECT_EQ(jolietB[1].extent, kStart + 4); // the Joliet root
}

TEST(DirSecs, OnlyASecondBuildIsSettledAndItRendersTheSameBytesAgain)
{
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* folder = list->AddChild(list->GetRoot(), FolderNode("folder"));
    list->AddChild(folder, FileNode("f", 1));
    Held<IBuildDirSecs> first(NEW_DIRSECSNEW());
    first->Build(2, list.get(), kStart);
    EXPECT_FALSE(first->IsLayoutSettled()); // the tree held no layout yet
    const std::vector<std::uint8_t> second = BuildTwice(list.get()).image;
    const std::vector<std::uint8_t> third = BuildTwice(list.get()).image;
    EXPECT_EQ(second, third);
    // Moving the start unsettles the layout again.
    Held<IBuildDirSecs> moved(NEW_DIRSECSNEW());
    moved->Build(2, list.get(), kStart + 1);
    EXPECT_FALSE(moved->IsLayoutSettled());
}

TEST(DirSecs, JolietRootCanNeedMoreSectorsThanTheIsoRoot)
{
    Held<IMacroList> list(NEW_MACROLIST());
    for (int i = 0; i < 20; ++i) {
        std::string name = "file number " + std::to_string(i) + " ";
        name.resize(40, 'x');
        list->AddChild(list->GetRoot(), FileNode(name, 1));
    }
    const auto directories = BuildTwice(list.get()).directories;
    EXPECT_EQ(directories->GetIsoRootSize(), 2048u);    // 68 + 20 x 66: identifiers cut to 30 + ".;1"
    EXPECT_EQ(directories->GetJolietRootSize(), 4096u); // 68 + 20 x 114: 40 units each
}

// ISO 9660 identifiers clash when they differ only in case; Joliet keeps
// case, so there only equal names clash. The entry first in the tree keeps
// the plain identifier (the sizes tell the entries apart); long names are
// cut to the limits of each tree, keeping the extension.
TEST(DirSecs, LongAndClashingNamesAreCutAndMadeUniqueInEveryTree)
{
    Held<IMacroList> list(NEW_MACROLIST());
    const std::string longName = std::string(300, 'w') + ".txt";
    for (const std::string& name : {std::string("readme.txt"), std::string("README.TXT"), longName, longName}) {
        list->AddChild(list->GetRoot(), FileNode(name, list->GetNodeCount() + 1));
    }
    const auto [image, directories] = BuildTwice(list.get());
    const std::vector<std::pair<std::string, std::uint32_t>> isoExpected{
        {"README.TXT;1", 1},
        {"README_1.TXT;1", 2},
        {std::string(27, 'W') + ".TXT;1", 3},
        {std::string(25, 'W') + "_1.TXT;1", 4},
    };
    const std::vector<std::pair<std::string, std::uint32_t>> jolietExpected{
        {"README.TXT", 2},
        {"readme.txt", 1},
        {std::string(60, 'w') + ".txt", 3},
        {std::string(58, 'w') + "~1.txt", 4},
    };
    for (const bool joliet : {false, true}) {
        const auto records =
            ReadDirectory(image, joliet ? directories->GetJolietRootExtent() : kStart, 2048);
        const std::vector<std::string> names = ChildNames(records, joliet);
        std::vector<std::pair<std::string, std::uint32_t>> found;
        for (std::size_t i = 0; i < names.size(); ++i) {
            found.emplace_back(joliet ? names[i] : records[i + 2].identifier, records[i + 2].dataLength);
        }
        EXPECT_EQ(found, joliet ? jolietExpected : isoExpected) << (joliet ? "Joliet" : "ISO 9660");
    }
}

TEST(DirSecs, DatesAreLocalTimeWithTheTrueOffsetOfThatMoment)
{
    const test::ScopedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    platform::FileTime moment = 0;
    ASSERT_TRUE(platform::UtcToFileTime(platform::CalendarTime{2004, 7, 9, 6, 5, 4}, moment));

    Held<IMacroList> list(NEW_MACROLIST());
    SourceNode file = FileNode("dated", 1);
    file.creationTime = moment;
    list->AddChild(list->GetRoot(), file);
    SourceNode root = InfoOf(list.get(), list->GetRoot());
    root.creationTime = moment;
    list->SetInfo(list->GetRoot(), root);
    const std::vector<std::uint8_t> image = BuildTwice(list.get(), 1).image;

    const std::uint8_t* record = image.data() + std::size_t{kStart} * kSector + 68;
    // 2004-07-09 08:05:04 summer time, +2:00 = 8 quarter hours.
    EXPECT_EQ(std::vector<std::uint8_t>(record + 18, record + 25),
              (std::vector<std::uint8_t>{104, 7, 9, 8, 5, 4, 8}));
    // "." and ".." of the root carry the root's date, so readers do not
    // show the root as dated 1899.
    const auto records = ReadDirectory(image, kStart, 2048);
    EXPECT_EQ(records[0].date, records[2].date);
    EXPECT_EQ(records[1].date, records[2].date);
    EXPECT_EQ(iso::FileTimeFromRecordingDate(records[2].date), moment);
}

// With Rock Ridge the root's "." record opens with SP, and the ER entry,
// too large for the record, goes on in a continuation area in the sector
// right behind the root directory; every ISO 9660 record carries PX and TF,
// every child NM with its whole name, a symbolic link SL. Joliet has no
// links: the link is left out of that tree, which records no system use.
TEST(DirSecs, RockRidgeEntriesAndTheirContinuationBehindTheRoot)
{
    Held<IMacroList> list(NEW_MACROLIST());
    NameRules rules;
    rules.rockRidge = true;
    list->SetNameRules(rules);
    const platform::FileTime when = 127000000000000000; // 2003-06-18
    const std::string longName = std::string(100, 'n') + ".text";
    SourceNode file = FileNode(longName, 1);
    SourceNode link = FileNode("link", 0);
    link.posix.known = true;
    link.posix.mode = iso::kModeSymlink | 0777;
    link.posix.linkTarget = "../" + longName;
    link.posix.modified = when;
    SourceNode folder = FolderNode("folder");
    SourceNode root = InfoOf(list.get(), list->GetRoot());
    for (SourceNode* node : {&file, &link, &folder, &root}) {
        node->creationTime = when;
    }
    list->SetInfo(list->GetRoot(), root);
    list->AddChild(list->GetRoot(), file);
    list->AddChild(list->GetRoot(), link);
    list->AddChild(list->GetRoot(), folder);
    const auto [image, directories] = BuildTwice(list.get());
    // ISO root, its continuation sector, "folder"; the Joliet root, "folder".
    EXPECT_EQ(directories->GetSectorCount(), 5);
    EXPECT_EQ(directories->GetIsoRootSize(), 2048u);
    EXPECT_EQ(directories->GetJolietRootExtent(), kStart + 3);
    EXPECT_EQ(std::memcmp(image.data() + std::size_t{kStart + 1} * kSector, "ER", 2), 0);

    const iso::SectorReader read = [&](std::uint32_t sector, std::uint8_t* buffer) {
        const bool inside = std::size_t{sector + 1} * kSector <= image.size();
        if (inside) {
            std::memcpy(buffer, image.data() + std::size_t{sector} * kSector, kSector);
        }
        return inside;
    };
    iso::SuspReport report;
    const auto readArea = [&](const iso::DirectoryRecord& record) {
        return iso::ReadSystemUseArea(record.systemUse, 0, read, static_cast<std::uint32_t>(image.size() / kSector),
                                      &report);
    };
    const auto records = ReadDirectory(image, kStart, 2048);
    ASSERT_EQ(records.size(), 5u);
    const iso::SuspVolumeInfo volume = iso::DecodeSuspVolume(readArea(records[0]));
    EXPECT_TRUE(volume.susp);
    EXPECT_TRUE(volume.rockRidge);
    EXPECT_EQ(readArea(records[0]).continuation.size(), 1u);

    // "." and "..", then "FOLDER", "LINK.;1" and the long name's identifier.
    const std::vector<std::pair<std::optional<std::string>, std::uint32_t>> expected{
        {std::nullopt, iso::kModeDirectory}, {std::nullopt, iso::kModeDirectory}, {"folder", iso::kModeDirectory},
        {"link", iso::kModeSymlink}, {longName, iso::kModeRegular}};
    std::set<std::uint32_t> serials;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const iso::RockRidgeInfo info = iso::DecodeRockRidge(readArea(records[i]));
        ASSERT_TRUE(info.attributes.known && info.attributes.serial) << "no PX in record " << i;
        EXPECT_EQ(info.attributes.modified, when) << i;
        EXPECT_EQ(std::make_pair(info.name, info.attributes.mode & iso::kModeTypeMask), expected[i]) << i;
        EXPECT_EQ(info.attributes.linkTarget, i == 3 ? link.posix.linkTarget : "");
        if (i >= 2) {
            serials.insert(*info.attributes.serial);
        }
    }
    EXPECT_EQ(serials.size(), 3u) << "no two entries taken for hard links of one file";
    EXPECT_EQ(report.damaged, 0u);

    const auto joliet = ReadDirectory(image, kStart + 3, 2048);
    EXPECT_EQ(ChildNames(joliet, true), (std::vector<std::string>{"folder", std::string(59, 'n') + ".text"}));
    for (const auto& record : joliet) {
        EXPECT_EQ(record.systemUse, "");
    }
}

TEST(DirSecs, EditedTreeFilesInSeveralExtentsGetOneRecordPerExtent)
{
    Held<IIsoDirEdit> tree(DirEdit1());
    DirNode* node = tree->NewDirectory("placeholder", tree->GetRoot());
    DirEntry entry;
    entry.name = "huge.bin"; // as read from an image: no nameLength
    entry.EntrySource = EntrySourceKind::Image;
    entry.extent = 1000;
    entry.extentLength = 0xFFFFF800u;
    entry.moreExtents = {{1000 + 0x1FFFFF, 0x1000}};
    entry.size = std::uint64_t{0xFFFFF800u} + 0x1000;
    tree->SetInfo(node, entry);
    ASSERT_NE(tree->NewDirectory("folder", tree->GetRoot()), nullptr); // sorts first
    const auto [image, directories] = BuildTwice<IIsoDir, IIsoDirEdit>(&Dir1, tree.get());
    for (const std::uint32_t extent : {kStart, directories->GetJolietRootExtent()}) {
        const auto records = ReadDirectory(image, extent, 2048);
        ASSERT_EQ(records.size(), 5u);
        EXPECT_TRUE(records[2].IsDirectory());
        EXPECT_EQ(records[3].extent, 1000u);
        EXPECT_EQ(records[3].dataLength, 0xFFFFF800u);
        EXPECT_EQ(records[3].flags, iso::DirectoryFlags::kMultiExtent);
        EXPECT_EQ(records[4].extent, 1000u + 0x1FFFFF);
        EXPECT_EQ(records[4].dataLength, 0x1000u);
        EXPECT_EQ(records[4].flags, 0);
        EXPECT_EQ(records[3].identifier, records[4].identifier);
    }

    // A size the extents do not add up to cannot be written.
    entry.size += 1;
    tree->SetInfo(node, entry);
    Held<IIsoDir> refused(Dir1());
    refused->Build(2, tree.get(), kStart);
    EXPECT_NE(std::string(refused->GetLastError()).find("huge.bin"), std::string::npos);
    EXPECT_EQ(refused->GetSectorCount(), 0);
}

} // namespace
} // namespace tarvelin
