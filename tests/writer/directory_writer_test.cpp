// The directory writers (CBuildDirSecs, CIsoDir): an empty root's bytes, sector boundaries, files in several
// extents. Whole trees are read back by the peers in iso_build_test and tests/cli.

#include "build_test_support.h"
#include "core/byte_buffer.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "writer/directory_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::FileNode;
using test::Held;
using test::kSector;
using test::ReadDirectory;

constexpr std::uint32_t kStart = 23;

// The directories of the second of two builds at their sectors in an empty image, and their component.
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
    // "." is 34 bytes, identifier 0x00, no system use (a bare list writes no Rock Ridge); ".." follows.
    const std::uint8_t* root = image.data() + std::size_t{kStart} * kSector;
    EXPECT_EQ(std::vector<std::uint8_t>(root + 32, root + 36), (std::vector<std::uint8_t>{1, 0, 34, 0}));
    EXPECT_EQ(root[0], 34);
    EXPECT_EQ(root[34 + 33], 1);
    EXPECT_EQ(root[68], 0); // nothing after them
}

// Files whose records (38 to 66 bytes, sorting before letters) fill the root to `fill` bytes, "." and ".." included.
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
    // Exactly 2048 bytes: one sector; a next record goes on in the second, no empty sector between.
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

TEST(DirSecs, EditedTreeFilesInSeveralExtentsGetOneRecordPerExtentEachWithItsSystemUse)
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
    // Every record carries the file's Rock Ridge entries (xorriso takes the name and mode from the last).
    const std::string rockRidge("NM\x0D\x01\x00huge.bin", 13);
    auto kept = std::make_shared<KeptRecords>();
    kept->iso.emplace();
    kept->iso->record.identifier = "HUGE.BIN;1";
    kept->iso->record.systemUse.inlineBytes = rockRidge;
    entry.kept = kept;
    tree->SetInfo(node, entry);
    ASSERT_NE(tree->NewDirectory("folder", tree->GetRoot()), nullptr); // sorts first
    const auto [image, directories] = BuildTwice<IIsoDir, IIsoDirEdit>(&Dir1, tree.get());
    for (const std::uint32_t extent : {kStart, directories->GetJolietRootExtent()}) {
        const auto records = ReadDirectory(image, extent, 2048);
        ASSERT_EQ(records.size(), 5u);
        EXPECT_TRUE(records[2].IsDirectory());
        // The folder's ".." names the root it lies in.
        const auto folder = ReadDirectory(image, records[2].extent, 2048);
        ASSERT_EQ(folder.size(), 2u);
        EXPECT_EQ(folder[0].extent, records[2].extent);
        EXPECT_EQ(folder[1].extent, extent);
        EXPECT_EQ(records[3].extent, 1000u);
        EXPECT_EQ(records[3].dataLength, 0xFFFFF800u);
        EXPECT_EQ(records[3].flags, iso::DirectoryFlags::kMultiExtent);
        EXPECT_EQ(records[4].extent, 1000u + 0x1FFFFF);
        EXPECT_EQ(records[4].dataLength, 0x1000u);
        EXPECT_EQ(records[4].flags, 0);
        EXPECT_EQ(records[3].identifier, records[4].identifier);
        const std::string systemUse = extent == kStart ? rockRidge : "";
        EXPECT_EQ(records[3].systemUse, systemUse);
        EXPECT_EQ(records[4].systemUse, systemUse);
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
