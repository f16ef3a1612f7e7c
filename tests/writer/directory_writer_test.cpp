// The directory writers (CBuildDirSecs over a source tree, CIsoDir over an
// edited tree): records and their sizes, sector boundaries, the order of
// the directory extents, the two-build contract, names cut and made unique,
// dates with their zone, and files stored in several extents.

#include "build_test_support.h"
#include "core/byte_buffer.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "writer/directory_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
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
// sectors in an otherwise empty image.
template <class Interface, class Tree>
std::vector<std::uint8_t> BuildTwice(Interface* (*factory)(), Tree* tree, std::uint32_t mode = 2,
                                     Interface** keep = nullptr)
{
    Held<Interface> first(factory());
    first->Build(mode, tree, kStart);
    EXPECT_STREQ(first->GetLastError(), "");
    Interface* second = factory();
    second->Build(mode, tree, kStart);
    EXPECT_STREQ(second->GetLastError(), "");
    EXPECT_TRUE(second->IsLayoutSettled());
    EXPECT_EQ(second->GetSectorCount(), first->GetSectorCount());
    CByteBuffer out(256);
    EXPECT_TRUE(second->CopyTo(out));
    std::vector<std::uint8_t> image(std::size_t{kStart} * kSector, 0);
    image.insert(image.end(), out.GetData(), out.GetData() + out.GetSize());
    if (keep != nullptr) {
        *keep = second;
    } else {
        second->Destroy();
    }
    return image;
}

std::vector<std::uint8_t> BuildTwice(IMacroList* list, std::uint32_t mode = 2, IBuildDirSecs** keep = nullptr)
{
    return BuildTwice<IBuildDirSecs, IMacroList>(&NEW_DIRSECSNEW, list, mode, keep);
}

TEST(DirSecs, EmptyRootIsOneSectorPerTreeWithDotAndDotDot)
{
    Held<IMacroList> list(NEW_MACROLIST());
    IBuildDirSecs* raw = nullptr;
    const std::vector<std::uint8_t> image = BuildTwice(list.get(), 2, &raw);
    Held<IBuildDirSecs> directories(raw);
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
    // Byte by byte: "." is 34 bytes with identifier 0x00, ".." follows.
    const std::uint8_t* root = image.data() + std::size_t{kStart} * kSector;
    EXPECT_EQ(root[0], 34);
    EXPECT_EQ(root[2], kStart);
    EXPECT_EQ(root[25], 2);
    EXPECT_EQ(root[32], 1);
    EXPECT_EQ(root[33], 0);
    EXPECT_EQ(root[34], 34);
    EXPECT_EQ(root[34 + 33], 1);
    EXPECT_EQ(root[68], 0); // nothing after them

    const SourceNode stored = InfoOf(list.get(), list->GetRoot());
    EXPECT_EQ(stored.isoDirExtent, kStart);
    EXPECT_EQ(stored.jolietDirExtent, kStart + 1);
    EXPECT_EQ(stored.isoDirSize, 2048u);
}

TEST(DirSecs, FileRecordSizesAndNamesInBothTrees)
{
    Held<IMacroList> list(NEW_MACROLIST());
    SourceNode file = FileNode("a.txt", 5000);
    file.fileExtent = 99;
    list->AddChild(list->GetRoot(), file);
    list->AddChild(list->GetRoot(), FileNode("ab", 0)); // even length: one padding byte
    const std::vector<std::uint8_t> image = BuildTwice(list.get());

    const std::uint8_t* iso = image.data() + std::size_t{kStart} * kSector + 68;
    EXPECT_EQ(iso[0], 38); // 33 + 5
    EXPECT_EQ(iso[32], 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(iso + 33), 5), "A.TXT");
    EXPECT_EQ(iso[38], 36); // "AB": 33 + 2 + 1
    EXPECT_EQ(iso[38 + 35], 0);

    const auto isoRecords = ReadDirectory(image, kStart, 2048);
    ASSERT_EQ(isoRecords.size(), 4u);
    EXPECT_EQ(isoRecords[2].extent, 99u);
    EXPECT_EQ(isoRecords[2].dataLength, 5000u);
    EXPECT_EQ(isoRecords[2].flags, 0);
    EXPECT_EQ(isoRecords[3].extent, 0u); // an empty file has no extent

    const std::uint8_t* joliet = image.data() + std::size_t{kStart + 1} * kSector + 68;
    EXPECT_EQ(joliet[0], 44); // 33 + 10 + 1
    EXPECT_EQ(joliet[32], 10);
    const auto jolietRecords = ReadDirectory(image, kStart + 1, 2048);
    ASSERT_EQ(jolietRecords.size(), 4u);
    EXPECT_EQ(jolietRecords[2].identifier, iso::JolietIdentifier(u"a.txt"));
}

// Files whose ISO records fill a directory up to `fill` bytes, "." and ".."
// included, with 254- and smaller odd-sized records.
void FillDirectory(IMacroList* list, MacroNode* folder, std::size_t fill)
{
    std::size_t used = 68;
    int index = 0;
    while (used < fill) {
        std::size_t record = std::min<std::size_t>(254, fill - used);
        if (fill - used - record != 0 && fill - used - record < 34) {
            record -= 40; // leave room for one more record of at least 34
        }
        const std::size_t nameLength = record - 33 - ((record - 33) % 2 == 0 ? 1 : 0);
        ASSERT_EQ(iso::DirectoryRecordSize(nameLength), record) << "record size must be reachable";
        std::string name = std::to_string(index++) + "-";
        name.resize(nameLength, 'n');
        list->AddChild(folder, FileNode(name, 1));
        used += record;
    }
}

TEST(DirSecs, RecordsNeverCrossASectorBoundary)
{
    // 2040 bytes used: a 40-byte record starts the second sector.
    {
        Held<IMacroList> list(NEW_MACROLIST());
        FillDirectory(list.get(), list->GetRoot(), 2040);
        list->AddChild(list->GetRoot(), FileNode("abc.txt", 1)); // 33 + 7 = 40
        IBuildDirSecs* raw = nullptr;
        const std::vector<std::uint8_t> image = BuildTwice(list.get(), 1, &raw);
        Held<IBuildDirSecs> directories(raw);
        EXPECT_EQ(directories->GetIsoRootSize(), 4096u);
        const std::uint8_t* root = image.data() + std::size_t{kStart} * kSector;
        EXPECT_TRUE(std::all_of(root + 2040, root + 2048, [](std::uint8_t b) { return b == 0; }));
        EXPECT_EQ(root[2048], 40);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(root + 2048 + 33), 7), "ABC.TXT");
        // "." carries the size of both sectors.
        EXPECT_EQ(ReadDirectory(image, kStart, 4096)[0].dataLength, 4096u);
    }
    // Exactly 2048 bytes: one sector, and the next record goes on in the
    // second without an empty sector between.
    for (const bool another : {false, true}) {
        Held<IMacroList> list(NEW_MACROLIST());
        FillDirectory(list.get(), list->GetRoot(), 2048);
        if (another) {
            list->AddChild(list->GetRoot(), FileNode("z", 1));
        }
        IBuildDirSecs* raw = nullptr;
        const std::vector<std::uint8_t> image = BuildTwice(list.get(), 1, &raw);
        Held<IBuildDirSecs> directories(raw);
        EXPECT_EQ(directories->GetIsoRootSize(), another ? 4096u : 2048u);
        if (another) {
            EXPECT_EQ(image[std::size_t{kStart} * kSector + 2048], 34);
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
    IBuildDirSecs* raw = nullptr;
    const std::vector<std::uint8_t> image = BuildTwice(list.get(), 2, &raw);
    Held<IBuildDirSecs> directories(raw);
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
    const std::vector<std::uint8_t> second = BuildTwice(list.get());
    const std::vector<std::uint8_t> third = BuildTwice(list.get());
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
    IBuildDirSecs* raw = nullptr;
    BuildTwice(list.get(), 2, &raw);
    Held<IBuildDirSecs> directories(raw);
    EXPECT_EQ(directories->GetIsoRootSize(), 2048u);    // 68 + 20 x 74
    EXPECT_EQ(directories->GetJolietRootSize(), 4096u); // 68 + 20 x 114
}

TEST(DirSecs, LongAndClashingNamesAreCutAndMadeUniqueInEveryTree)
{
    Held<IMacroList> list(NEW_MACROLIST());
    const std::string longName = std::string(300, 'w') + ".txt";
    list->AddChild(list->GetRoot(), FileNode("readme.txt", 1));
    list->AddChild(list->GetRoot(), FileNode("README.TXT", 1));
    list->AddChild(list->GetRoot(), FileNode(longName, 1));
    list->AddChild(list->GetRoot(), FileNode(std::string(300, 'w') + ".txt", 1)); // same long name
    const std::vector<std::uint8_t> image = BuildTwice(list.get());
    for (const std::uint32_t extent : {kStart, kStart + 1}) {
        const auto records = ReadDirectory(image, extent, 2048);
        ASSERT_EQ(records.size(), 6u);
        std::set<std::string> seen;
        for (std::size_t i = 2; i < records.size(); ++i) {
            const std::string name = extent == kStart ? iso::DecodeIsoIdentifier(records[i].identifier)
                                                      : iso::DecodeJolietIdentifier(records[i].identifier);
            std::string key = name;
            for (char& c : key) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            EXPECT_TRUE(seen.insert(key).second) << "two entries named " << name;
            EXPECT_LE(iso::DirectoryRecordSize(records[i]), 255u);
            if (i >= 4) {
                EXPECT_EQ(key.substr(key.size() - 4), ".TXT") << "the extension is kept";
            }
        }
        if (extent == kStart) {
            EXPECT_EQ(records[2].identifier, "README.TXT");
            EXPECT_LE(records[4].identifier.size(), iso::kMaxRecordIdentifierLength);
        } else {
            EXPECT_EQ(records[2].identifier, iso::JolietIdentifier(u"readme.txt"));
            EXPECT_LE(records[4].identifier.size(), 2 * iso::kMaxJolietRecordUnits);
        }
    }
}

TEST(DirSecs, DatesAreLocalTimeWithTheTrueOffsetOfThatMoment)
{
    const test::ScopedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    platform::CalendarTime summer;
    summer.year = 2004;
    summer.month = 7;
    summer.day = 9;
    summer.hour = 6;
    summer.minute = 5;
    summer.second = 4;
    platform::FileTime moment = 0;
    ASSERT_TRUE(platform::UtcToFileTime(summer, moment));

    Held<IMacroList> list(NEW_MACROLIST());
    SourceNode file = FileNode("dated", 1);
    file.creationTime = moment;
    list->AddChild(list->GetRoot(), file);
    SourceNode root = InfoOf(list.get(), list->GetRoot());
    root.creationTime = moment;
    list->SetInfo(list->GetRoot(), root);
    const std::vector<std::uint8_t> image = BuildTwice(list.get(), 1);

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
    ASSERT_NE(tree->NewDirectory("folder", tree->GetRoot()), nullptr);
    IIsoDir* raw = nullptr;
    const std::vector<std::uint8_t> image = BuildTwice<IIsoDir, IIsoDirEdit>(&Dir1, tree.get(), 2, &raw);
    Held<IIsoDir> directories(raw);
    for (const std::uint32_t extent : {kStart, directories->GetJolietRootExtent()}) {
        const auto records = ReadDirectory(image, extent, 2048);
        ASSERT_EQ(records.size(), 5u);
        EXPECT_EQ(records[2].extent, 1000u);
        EXPECT_EQ(records[2].dataLength, 0xFFFFF800u);
        EXPECT_EQ(records[2].flags, iso::DirectoryFlags::kMultiExtent);
        EXPECT_EQ(records[3].extent, 1000u + 0x1FFFFF);
        EXPECT_EQ(records[3].dataLength, 0x1000u);
        EXPECT_EQ(records[3].flags, 0);
        EXPECT_EQ(records[2].identifier, records[3].identifier);
        EXPECT_TRUE(records[4].IsDirectory());
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
