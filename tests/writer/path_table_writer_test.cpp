// The path table writer: record bytes in both byte orders, sector boundaries, parents that cannot be numbered
// (whole trees: isoinfo in iso_build_test).

#include "build_test_support.h"
#include "core/byte_buffer.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "writer/path_table_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
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

std::vector<std::uint8_t> Rendered(IPathTableResult* tables)
{
    CByteBuffer out(256);
    EXPECT_TRUE(tables->CopyTo(out));
    return std::vector<std::uint8_t>(out.GetData(), out.GetData() + out.GetSize());
}

std::vector<iso::PathTableRecord> Table(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                                        std::uint32_t size, iso::PathTableOrder order)
{
    const auto decoded = iso::DecodePathTable(iso::ConstBytes(bytes).subspan(offset, size), order);
    EXPECT_TRUE(decoded.has_value());
    return decoded.value_or(std::vector<iso::PathTableRecord>{});
}

void SetDirExtents(IMacroList* list, MacroNode* node, std::uint32_t iso, std::uint32_t joliet)
{
    SourceNode record = InfoOf(list, node);
    record.isoDirExtent = iso;
    record.jolietDirExtent = joliet;
    list->SetInfo(node, record);
}

// Four zero-padded tables of a sector each; files take no record; a record is 8 bytes and its identifier padded to
// even length, extent and parent number in the table's byte order.
TEST(PathTable, RecordSizesNamesAndBothByteOrders)
{
    Held<IMacroList> list(NEW_MACROLIST());
    // Added against their order: each record keeps its own folder's extent.
    MacroNode* abc = list->AddChild(list->GetRoot(), FolderNode("abc"));
    MacroNode* ab = list->AddChild(list->GetRoot(), FolderNode("ab"));
    list->AddChild(list->GetRoot(), FileNode("file.txt", 10));
    SetDirExtents(list.get(), ab, 20, 0x01020304);
    SetDirExtents(list.get(), abc, 21, 31);
    Held<IBuildPathTable> tables(NEW_PATHTABLENEW());
    tables->Build(2, list.get(), 19, 25, 26);
    ASSERT_STREQ(tables->GetLastError(), "");
    EXPECT_EQ(tables->GetSectorCount(), 4);
    EXPECT_EQ(tables->GetIsoStart(), 19u);
    EXPECT_EQ(tables->GetJolietStart(), 21u);
    // Root 10, "AB" 8 + 2, "ABC" 8 + 3 + 1; Joliet "ab" 8 + 4, "abc" 8 + 6.
    const std::uint32_t isoSize = 10 + 10 + 12;
    const std::uint32_t jolietSize = 10 + 12 + 14;
    EXPECT_EQ(tables->GetIsoTableSize(), isoSize);
    EXPECT_EQ(tables->GetJolietTableSize(), jolietSize);

    const std::vector<std::uint8_t> bytes = Rendered(tables.get());
    ASSERT_EQ(bytes.size(), 4 * kSector);
    const auto at = [&](std::size_t offset, std::size_t count) {
        return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
    };
    // The ISO L table whole; the root records of the others.
    EXPECT_EQ(at(0, isoSize), (std::vector<std::uint8_t>{1, 0, 25, 0, 0, 0, 1, 0, 0, 0,
                                                         2, 0, 20, 0, 0, 0, 1, 0, 'A', 'B',
                                                         3, 0, 21, 0, 0, 0, 1, 0, 'A', 'B', 'C', 0}));
    EXPECT_EQ(at(kSector, 10), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 25, 0, 1, 0, 0}));
    EXPECT_EQ(at(2 * kSector, 10), (std::vector<std::uint8_t>{1, 0, 26, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(at(3 * kSector, 10), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 26, 0, 1, 0, 0}));
    // The ISO M table: extent 20 as 00 00 00 14, parent 1 as 00 01.
    EXPECT_EQ(at(kSector + 10, 10), (std::vector<std::uint8_t>{2, 0, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 'A', 'B'}));
    // The Joliet L table: UTF-16 big-endian names, the extent little-endian.
    EXPECT_EQ(at(2 * kSector + 10, 12), (std::vector<std::uint8_t>{4, 0, 0x04, 0x03, 0x02, 0x01, 1, 0, 0, 'a', 0, 'b'}));
    for (std::size_t t = 0; t < 4; ++t) {
        const std::vector<std::uint8_t> padding = at(t * kSector + (t < 2 ? isoSize : jolietSize),
                                                     kSector - (t < 2 ? isoSize : jolietSize));
        EXPECT_TRUE(std::all_of(padding.begin(), padding.end(), [](std::uint8_t b) { return b == 0; }))
            << "padding of table " << t;
    }

    const auto isoL = Table(bytes, 0, isoSize, iso::PathTableOrder::LittleEndian);
    const auto isoM = Table(bytes, kSector, isoSize, iso::PathTableOrder::BigEndian);
    const auto jolietM = Table(bytes, 3 * kSector, jolietSize, iso::PathTableOrder::BigEndian);
    EXPECT_EQ(isoL, isoM);
    ASSERT_EQ(isoL.size(), 3u);
    EXPECT_EQ(isoL[0], iso::MakeRootPathTableRecord(25));
    ASSERT_EQ(jolietM.size(), 3u);
    EXPECT_EQ(jolietM[2].identifier, iso::JolietIdentifier(u"abc"));
    EXPECT_EQ(jolietM[2].extent, 31u);

    // Without Joliet only the ISO tables are rendered.
    Held<IBuildPathTable> isoOnly(NEW_PATHTABLENEW());
    isoOnly->Build(1, list.get(), 18, 22, 0);
    EXPECT_EQ(isoOnly->GetSectorCount(), 2);
    EXPECT_EQ(isoOnly->GetJolietTableSize(), 0u);
}

TEST(PathTable, TableOfExactlyOneSectorAndOneByteMore)
{
    // Records are always of even length: 2048 bytes exactly, then 2050.
    // Root 10 + 53 x (8 + 30) + (8 + 16) = 2048.
    for (const bool oneMore : {false, true}) {
        Held<IMacroList> list(NEW_MACROLIST());
        for (int i = 0; i < 53; ++i) {
            std::string name = "directory-" + std::to_string(i);
            name.resize(30, 'x');
            list->AddChild(list->GetRoot(), FolderNode(name));
        }
        list->AddChild(list->GetRoot(), FolderNode(oneMore ? "last-directory-xy" : "last-directory-x"));
        Held<IBuildPathTable> tables(NEW_PATHTABLENEW());
        tables->Build(2, list.get(), 19, 0, 0);
        ASSERT_STREQ(tables->GetLastError(), "");
        const std::uint32_t size = oneMore ? 2050 : 2048;
        EXPECT_EQ(tables->GetIsoTableSize(), size);
        const std::uint32_t perTable = oneMore ? 2 : 1;
        EXPECT_EQ(tables->GetJolietStart(), 19 + 2 * perTable);
        const std::vector<std::uint8_t> bytes = Rendered(tables.get());
        // The M table starts right behind the L table's sectors.
        const auto isoM = Table(bytes, perTable * kSector, size, iso::PathTableOrder::BigEndian);
        EXPECT_EQ(isoM.size(), 55u);
    }
}

// A folder the Joliet tree leaves out takes no number there.
TEST(PathTable, EditedTreeNumbersEachTreeOnItsOwn)
{
    Held<IIsoDirEdit> tree(DirEdit1());
    DirNode* top = tree->NewDirectory("Top", tree->GetRoot());
    DirNode* hidden = tree->NewDirectory("hidden", tree->GetRoot());
    ASSERT_NE(tree->NewDirectory("inner", top), nullptr);
    DirEntry entry;
    tree->GetInfo(hidden, entry);
    entry.inJolietTree = false;
    tree->SetInfo(hidden, entry);
    Held<IIsoPath> tables(Path1());
    tables->Build(2, tree.get(), 18, 22, 23);
    ASSERT_STREQ(tables->GetLastError(), "");
    const std::vector<std::uint8_t> bytes = Rendered(tables.get());
    const auto isoL = Table(bytes, 0, tables->GetIsoTableSize(), iso::PathTableOrder::LittleEndian);
    const auto jolietM = Table(bytes, (tables->GetJolietStart() - 18 + 1) * kSector, tables->GetJolietTableSize(),
                               iso::PathTableOrder::BigEndian);
    std::vector<std::pair<std::string, std::uint16_t>> iso, joliet;
    for (std::size_t i = 0; i < isoL.size(); ++i) { // the root's identifier left out
        iso.emplace_back(i == 0 ? "" : isoL[i].identifier, isoL[i].parentNumber);
    }
    for (std::size_t i = 0; i < jolietM.size(); ++i) {
        joliet.emplace_back(i == 0 ? "" : iso::DecodeJolietIdentifier(jolietM[i].identifier), jolietM[i].parentNumber);
    }
    EXPECT_EQ(iso, (std::vector<std::pair<std::string, std::uint16_t>>{
                       {"", 1}, {"HIDDEN", 1}, {"TOP", 1}, {"INNER", 3}}));
    EXPECT_EQ(joliet, (std::vector<std::pair<std::string, std::uint16_t>>{
                          {"", 1}, {"Top", 1}, {"inner", 2}}));
}

TEST(PathTable, ParentNumbersBeyondSixteenBitsAreRefused)
{
    // 65535 folders take 2..65536 (the last added sorts last); a subfolder of the last needs parent 65536.
    Held<IMacroList> list(NEW_MACROLIST());
    MacroNode* last = nullptr;
    for (int i = 0; i < 65535; ++i) {
        const std::string number = std::to_string(i);
        last = list->AddChild(list->GetRoot(), FolderNode("d" + std::string(5 - number.size(), '0') + number));
    }
    Held<IBuildPathTable> fits(NEW_PATHTABLENEW());
    fits->Build(1, list.get(), 18, 0, 0);
    EXPECT_STREQ(fits->GetLastError(), "");

    list->AddChild(last, FolderNode("too far"));
    Held<IBuildPathTable> refused(NEW_PATHTABLENEW());
    refused->Build(1, list.get(), 18, 0, 0);
    EXPECT_NE(std::string(refused->GetLastError()).find("65535"), std::string::npos) << refused->GetLastError();
    EXPECT_EQ(refused->GetSectorCount(), 0);
    CByteBuffer out(256);
    EXPECT_FALSE(refused->CopyTo(out));
}

} // namespace
} // namespace tarvelin
