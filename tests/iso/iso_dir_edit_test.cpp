// The tree of an opened image: loaded from crafted images (loops, damage, multi-extent files) and
// randomly mutated ones; and edits of the tree in memory. (Peer images' trees: tests/cli.)

#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "platform/directory.h"
#include "platform/time.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::MakeRecord;
using test::MemorySector;
using test::TempDir;

constexpr std::uint8_t kDir = iso::DirectoryFlags::kDirectory;
constexpr std::uint8_t kMulti = iso::DirectoryFlags::kMultiExtent;

using TreePtr = ComponentPtr<IIsoDirEdit>;

TreePtr LoadFrom(IIsoSector* sector, std::uint32_t bootSector = 0, NameSource names = NameSource::Automatic)
{
    TreePtr tree(DirEdit1());
    tree->SetSector(sector);
    tree->SetNameSource(names);
    tree->Load(bootSector);
    return tree;
}

DirEntry InfoOf(IIsoDirEdit& tree, DirNode* node)
{
    DirEntry entry;
    EXPECT_TRUE(tree.GetInfo(node, entry));
    return entry;
}

std::vector<DirNode*> Children(IIsoDirEdit& tree, DirNode* node)
{
    std::vector<DirNode*> children;
    for (DirNode* child = tree.GetFirstChild(node); child != nullptr; child = tree.GetNextSibling(child)) {
        children.push_back(child);
    }
    return children;
}

std::vector<std::string> ChildNames(IIsoDirEdit& tree, DirNode* node)
{
    std::vector<std::string> names;
    for (DirNode* child : Children(tree, node)) {
        names.push_back(InfoOf(tree, child).name);
    }
    return names;
}

DirNode* ChildNamed(IIsoDirEdit& tree, DirNode* node, const std::string& name)
{
    const std::vector<DirNode*> children = Children(tree, node);
    const auto found = std::find_if(children.begin(), children.end(),
                                    [&](DirNode* child) { return InfoOf(tree, child).name == name; });
    return found == children.end() ? nullptr : *found;
}

// Every entry below the root as (path "b/x", entry), walked with an explicit stack (the trees are deep).
std::vector<std::pair<std::string, DirEntry>> Walk(IIsoDirEdit& tree)
{
    std::vector<std::pair<std::string, DirEntry>> walked;
    std::vector<std::pair<DirNode*, std::string>> pending{{tree.GetRoot(), ""}};
    while (!pending.empty()) {
        auto [node, prefix] = pending.back();
        pending.pop_back();
        for (DirNode* child : Children(tree, node)) {
            const DirEntry entry = InfoOf(tree, child);
            walked.emplace_back(prefix + entry.name, entry);
            if (entry.isDirectory) {
                pending.emplace_back(child, prefix + entry.name + "/");
            }
        }
    }
    return walked;
}

constexpr std::uint32_t kRoot = 20;

TEST(IsoDirEditCrafted, AMultiExtentFileIsOneEntryWithItsPiecesInOrderAndTheBootFileIsMarked)
{
    constexpr std::uint32_t kSectors = 80;
    MemorySector image(kSectors);
    // Filler records push the pieces across the first sector's end.
    std::vector<iso::DirectoryRecord> records;
    for (int i = 0; i < 40; ++i) {
        records.push_back(MakeRecord("FILLER" + std::to_string(100 + i) + ".TXT;1", 40, 10));
    }
    records.push_back(MakeRecord("BIG.DAT;1", 50, 4096, kMulti));
    records.push_back(MakeRecord("BIG.DAT;1", 60, 6144, kMulti));
    records.push_back(MakeRecord("BIG.DAT;1", 70, 1000));
    records.push_back(MakeRecord("NEXT.TXT;1", 41, 5));
    // A chain whose last record still promises more: kept, counted.
    records.push_back(MakeRecord("BROKEN.DAT;1", 42, 2048, kMulti));
    records.push_back(MakeRecord("AFTER.TXT;1", 43, 5));
    const std::uint32_t length = image.WriteDirectory(kRoot, kRoot, 4096, records);
    ASSERT_EQ(length, 4096u);
    image.WriteDescriptors(kRoot, length);

    TreePtr tree = LoadFrom(&image, 41); // NEXT.TXT is the boot image
    const std::vector<std::string> names = ChildNames(*tree, tree->GetRoot());
    ASSERT_EQ(names.size(), 40u + 4);
    EXPECT_EQ(std::vector<std::string>(names.begin() + 40, names.end()),
              (std::vector<std::string>{"BIG.DAT", "NEXT.TXT", "BROKEN.DAT", "AFTER.TXT"}));

    const DirEntry big = InfoOf(*tree, ChildNamed(*tree, tree->GetRoot(), "BIG.DAT"));
    EXPECT_EQ(big.size, 4096u + 6144 + 1000);
    EXPECT_EQ(big.extent, 50u);
    EXPECT_EQ(big.extentLength, 4096u);
    ASSERT_EQ(big.moreExtents.size(), 2u);
    EXPECT_EQ(std::pair(big.moreExtents[0].extent, big.moreExtents[0].length), std::pair(60u, 6144u));
    EXPECT_EQ(std::pair(big.moreExtents[1].extent, big.moreExtents[1].length), std::pair(70u, 1000u));
    EXPECT_EQ(tree->GetEndSector(), 71u); // the last piece ends in sector 70

    const DirEntry broken = InfoOf(*tree, ChildNamed(*tree, tree->GetRoot(), "BROKEN.DAT"));
    EXPECT_EQ(broken.size, 2048u);
    EXPECT_TRUE(broken.moreExtents.empty());
    EXPECT_EQ(tree->GetLoadReport().malformedRecords, 1u);
    for (const auto& [path, entry] : Walk(*tree)) {
        EXPECT_EQ(entry.bootMark, path == "NEXT.TXT") << path;
    }
}

TEST(IsoDirEditCrafted, LoopsDamageAndExtentsOutsideAreSurvivedAndCounted)
{
    constexpr std::uint32_t kSectors = 64;
    MemorySector image(kSectors);
    // SUB (21) holds a loop to itself and one to the root.
    image.WriteDirectory(21, kRoot, 2048,
                         {MakeRecord("SELF", 21, 2048, kDir), MakeRecord("UP", kRoot, 2048, kDir),
                          MakeRecord("C.TXT;1", 41, 10)});
    // BROKEN (22, two sectors): a record 4 bytes before the first sector's end claims 200; the second is read.
    std::vector<iso::DirectoryRecord> brokenRecords;
    for (int i = 0; i < 40; ++i) {
        brokenRecords.push_back(MakeRecord("FX" + std::to_string(1000000000 + i) + ".TXT;1", 42, 1)); // 52 bytes
    }
    ASSERT_EQ(iso::DirectoryRecordSize(brokenRecords[0]), 52u);
    const std::uint32_t brokenLength = image.WriteDirectory(22, kRoot, 2048, brokenRecords);
    ASSERT_EQ(brokenLength, 4096u);
    image.SectorData(22)[2044] = 200;
    // BADID (24): its second record's identifier runs past the record; the rest cannot be trusted.
    image.WriteDirectory(24, kRoot, 2048, {MakeRecord("OK.TXT;1", 42, 1), MakeRecord("BADID.TXT;1", 42, 1),
                                           MakeRecord("LOST.TXT;1", 42, 1)});
    image.SectorData(24)[68 + 42 + iso::DirectoryRecordOffset::kIdentifierLength] = 40;
    // ZERO (25): a zero length byte ends the sector like padding does.
    image.WriteDirectory(25, kRoot, 2048, {MakeRecord("Z1.TXT;1", 42, 1), MakeRecord("Z2.TXT;1", 42, 1)});
    image.SectorData(25)[68 + 42] = 0;
    // SHORT (26): a record length below the fixed part.
    image.WriteDirectory(26, kRoot, 2048, {MakeRecord("S1.TXT;1", 42, 1), MakeRecord("S2.TXT;1", 42, 1)});
    image.SectorData(26)[68 + 42] = 10;
    // BLANK (27): a directory sector overwritten with zeros, its "." record gone.

    const std::uint32_t rootLength = image.WriteDirectory(
        kRoot, kRoot, 2048,
        {MakeRecord("A.TXT;1", 40, 100), MakeRecord("LOOPROOT", kRoot, 2048, kDir),
         MakeRecord("SUB", 21, 2048, kDir), MakeRecord("BROKEN", 22, brokenLength, kDir),
         MakeRecord("BADID", 24, 2048, kDir), MakeRecord("ZERO", 25, 2048, kDir),
         MakeRecord("SHORT", 26, 2048, kDir), MakeRecord("FAR", 100000, 2048, kDir),
         MakeRecord("FARFILE.BIN;1", 5000, 10), MakeRecord("HUGE", 50, 0xFFFFFFFFu, kDir),
         MakeRecord("BLANK", 27, 2048, kDir)});
    image.WriteDescriptors(kRoot, rootLength);

    TreePtr tree = LoadFrom(&image);
    IIsoDirEdit& t = *tree;
    DirNode* root = t.GetRoot();
    EXPECT_EQ(ChildNames(t, root), (std::vector<std::string>{"A.TXT", "LOOPROOT", "SUB", "BROKEN", "BADID", "ZERO",
                                                             "SHORT", "FAR", "FARFILE.BIN", "HUGE", "BLANK"}));
    EXPECT_TRUE(Children(t, ChildNamed(t, root, "LOOPROOT")).empty());
    DirNode* sub = ChildNamed(t, root, "SUB");
    EXPECT_EQ(ChildNames(t, sub), (std::vector<std::string>{"SELF", "UP", "C.TXT"}));
    EXPECT_TRUE(Children(t, ChildNamed(t, sub, "SELF")).empty());
    EXPECT_TRUE(Children(t, ChildNamed(t, sub, "UP")).empty());
    // 38 records of the first sector and the 2 of the second.
    EXPECT_EQ(Children(t, ChildNamed(t, root, "BROKEN")).size(), 40u);
    EXPECT_EQ(ChildNames(t, ChildNamed(t, root, "BADID")), std::vector<std::string>{"OK.TXT"});
    EXPECT_EQ(ChildNames(t, ChildNamed(t, root, "ZERO")), std::vector<std::string>{"Z1.TXT"});
    EXPECT_EQ(ChildNames(t, ChildNamed(t, root, "SHORT")), std::vector<std::string>{"S1.TXT"});
    EXPECT_TRUE(Children(t, ChildNamed(t, root, "FAR")).empty());
    EXPECT_TRUE(Children(t, ChildNamed(t, root, "BLANK")).empty());

    const TreeLoadReport report = t.GetLoadReport();
    EXPECT_EQ(report.loopsRefused, 3u);     // LOOPROOT, SELF, UP
    EXPECT_EQ(report.malformedRecords, 5u); // BROKEN, BADID, SHORT; BLANK and HUGE have no "." record
    EXPECT_EQ(report.extentsOutside, 3u);   // FAR, FARFILE.BIN, HUGE
    // Data beyond the image is not counted past its end.
    EXPECT_EQ(t.GetEndSector(), kSectors);
}

TEST(IsoDirEditCrafted, RootDirectoryOutsideTheImageGivesAnEmptyTree)
{
    MemorySector image(40);
    image.WriteDescriptors(900000, 2048);
    TreePtr tree = LoadFrom(&image);
    EXPECT_EQ(tree->GetFirstChild(tree->GetRoot()), nullptr);
    EXPECT_EQ(tree->GetLoadReport().extentsOutside, 1u);
    EXPECT_EQ(tree->GetEndSector(), 0u);
}

TEST(IsoDirEditCrafted, NestingIsBoundedWithoutExhaustingTheStack)
{
    constexpr std::uint32_t kLevels = 1100;
    constexpr std::uint32_t kFirst = 20;
    MemorySector image(kFirst + kLevels + 2);
    for (std::uint32_t level = 0; level <= kLevels; ++level) {
        const std::uint32_t extent = kFirst + level;
        const std::uint32_t parent = level == 0 ? extent : extent - 1;
        std::vector<iso::DirectoryRecord> children;
        if (level < kLevels) {
            children.push_back(MakeRecord("D", extent + 1, 2048, kDir));
        }
        image.WriteDirectory(extent, parent, 2048, children);
    }
    image.WriteDescriptors(kFirst, 2048);
    TreePtr tree = LoadFrom(&image);
    std::uint32_t depth = 0;
    for (DirNode* node = tree->GetFirstChild(tree->GetRoot()); node != nullptr; node = tree->GetFirstChild(node)) {
        ++depth;
    }
    EXPECT_EQ(depth, 1000u);
    EXPECT_EQ(tree->GetLoadReport().tooDeep, 1u);
}

// Random damage to the directory sectors of a real image (fixed seed): every load ends, stays
// inside the image and keeps the tree finite.
TEST(IsoDirEditCrafted, RandomlyDamagedDirectoriesLoadWithoutCrashOrHang)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TempDir dir;
    const std::string source = dir / "src";
    fs::create_directories(source + "/one/two/three");
    fs::create_directories(source + "/many");
    for (int i = 0; i < 40; ++i) {
        test::WriteWholeFile(source + "/many/entry " + std::to_string(i) + " of the folder.txt", std::to_string(i));
    }
    test::WriteWholeFile(source + "/one/two/three/deep.txt", std::string("d"));
    test::WriteWholeFile(source + "/one/a.bin", test::RandomBytes(3000, 1));
    const std::string path = dir / "fuzz.iso";
    test::RunGenisoimage(source, path, "-J");

    MemorySector sector(test::ReadWholeFile(path));
    const std::uint32_t sectorCount = sector.GetSectorCount();
    // The Joliet directories: those the tree is read from.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> directories; // extent, sectors
    {
        TreePtr clean = LoadFrom(&sector);
        ASSERT_EQ(clean->GetJolietMode(), 2u);
        const iso::SectorReader read = sector.Reader();
        const std::optional<iso::VolumeDescriptor> joliet =
            iso::ReadVolumeDescriptor(read, sectorCount, *iso::ScanDescriptorSet(read, sectorCount).jolietSector);
        ASSERT_TRUE(joliet.has_value());
        directories.emplace_back(joliet->rootRecord.extent, (joliet->rootRecord.dataLength + 2047) / 2048);
        for (const auto& [where, entry] : Walk(*clean)) {
            if (entry.isDirectory) {
                directories.emplace_back(entry.extent, (entry.size + 2047) / 2048);
            }
        }
        ASSERT_EQ(directories.size(), 5u); // the root, one, two, three, many
    }
    std::vector<std::uint32_t> directorySectors;
    for (const auto& [extent, count] : directories) {
        for (std::uint32_t i = 0; i < count; ++i) {
            directorySectors.push_back(extent + i);
        }
    }
    const std::vector<std::uint8_t> original = sector.bytes;

    std::mt19937 random(20240611);
    const auto pick = [&](std::uint32_t below) { return static_cast<std::uint32_t>(random() % below); };
    constexpr int kCases = 3000;
    std::uint64_t loops = 0;
    std::uint64_t malformed = 0;
    std::uint64_t outside = 0;
    for (int round = 0; round < kCases; ++round) {
        const int mutations = 1 + static_cast<int>(pick(3));
        for (int m = 0; m < mutations; ++m) {
            std::uint8_t* bytes = sector.SectorData(directorySectors[pick(static_cast<std::uint32_t>(directorySectors.size()))]);
            const iso::Bytes span(bytes, 2048);
            // A record start: walk a random number of records in.
            std::size_t at = 0;
            for (std::uint32_t steps = pick(12); steps > 0 && at < 2048 && bytes[at] >= 34; --steps) {
                if (at + bytes[at] >= 2048 || bytes[at + bytes[at]] == 0) {
                    break;
                }
                at += bytes[at];
            }
            using O = iso::DirectoryRecordOffset;
            const std::uint32_t rootExtent = directories[0].first;
            switch (pick(6)) {
            case 0: // a few random bytes anywhere in the sector
                for (std::uint32_t i = 1 + pick(8); i > 0; --i) {
                    bytes[pick(2048)] = static_cast<std::uint8_t>(random());
                }
                break;
            case 1: { // the length, the identifier's length or the flags (multi-extent among them)
                const std::size_t fields[] = {O::kLength, O::kIdentifierLength, O::kFlags};
                const std::size_t field = fields[pick(3)];
                if (at + field < 2048) {
                    bytes[at + field] = static_cast<std::uint8_t>(random());
                }
                break;
            }
            case 2: // a directory pointing at an ancestor, itself or anywhere
                if (at + O::kExtent + 8 <= 2048) {
                    const std::uint32_t target = pick(3) == 0 ? rootExtent
                        : pick(2) == 0 ? directories[pick(static_cast<std::uint32_t>(directories.size()))].first
                                       : static_cast<std::uint32_t>(random());
                    iso::PutBoth32(span, at + O::kExtent, target);
                    if (at + O::kFlags < 2048) {
                        bytes[at + O::kFlags] |= kDir;
                    }
                }
                break;
            case 3: // lengths from nothing to far past the image
                if (at + O::kDataLength + 8 <= 2048) {
                    const std::uint32_t choices[] = {0, 1, 2048, 4096 * 3, 0x7FFFFFFF, 0xFFFFFFFF,
                                                     static_cast<std::uint32_t>(random())};
                    iso::PutBoth32(span, at + O::kDataLength, choices[pick(7)]);
                }
                break;
            case 4: // halves of a both-endian field that disagree
                if (at + O::kExtent + 8 <= 2048) {
                    bytes[at + O::kExtent + 4 + pick(4)] ^= 0x5A;
                }
                break;
            default: // a run of zeros or of 0xFF
                std::fill_n(bytes + pick(2000), 1 + pick(48), pick(2) == 0 ? 0x00 : 0xFF);
                break;
            }
        }

        TreePtr tree = LoadFrom(&sector);
        const TreeLoadReport report = tree->GetLoadReport();
        loops += report.loopsRefused;
        malformed += report.malformedRecords;
        outside += report.extentsOutside;
        ASSERT_LE(tree->GetEndSector(), sectorCount) << "case " << round;
        // No sector is read twice as a directory: the tree stays within what the sectors can hold.
        ASSERT_LE(Walk(*tree).size(), std::size_t{sectorCount} * (2048 / 34)) << "case " << round;
        tree.reset();
        sector.bytes = original;
    }
    // The damage reached the guards it is meant for.
    EXPECT_GT(loops, 0u);
    EXPECT_GT(malformed, 0u);
    EXPECT_GT(outside, 0u);
}

TEST(IsoDirEditEdits, AddDirectoryTreeLeavesOutLinksBackToItsOwnFolders)
{
    TempDir dir;
    const std::string top = dir / "top";
    fs::create_directories(top + "/s/inner");
    fs::create_directories(top + "/other");
    test::WriteWholeFile(top + "/other/o.txt", std::string("o"));
    fs::create_directory_symlink("..", top + "/s/up");         // the top folder
    fs::create_directory_symlink(".", top + "/s/inner/self"); // itself
    fs::create_directory_symlink("../../other", top + "/s/inner/sideways"); // not a loop

    TreePtr tree(DirEdit1());
    DirNode* node = tree->AddDirectoryTree(top.c_str(), tree->GetRoot());
    ASSERT_NE(node, nullptr);
    DirNode* s = ChildNamed(*tree, node, "s");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ChildNames(*tree, s), std::vector<std::string>{"inner"});
    DirNode* inner = ChildNamed(*tree, s, "inner");
    EXPECT_EQ(ChildNames(*tree, inner), std::vector<std::string>{"sideways"});
    EXPECT_EQ(ChildNames(*tree, ChildNamed(*tree, inner, "sideways")), std::vector<std::string>{"o.txt"});
    // Each link left out is a warning: nothing that could be held is lost.
    const NoticeList& notices = tree->Notices();
    ASSERT_EQ(notices.Count(), 2u);
    EXPECT_EQ(notices.ErrorCount(), 0u);
    for (const std::string& link : {top + "/s/up", top + "/s/inner/self"}) {
        const std::string expected = "left out '" + link + "': it leads back to a folder that contains it";
        EXPECT_TRUE(expected == notices.Text(0, nullptr) || expected == notices.Text(1, nullptr)) << expected;
    }
}

TEST(IsoDirEditEdits, AddingWhatCannotBeAddedChangesNothing)
{
    TempDir dir;
    test::WriteWholeFile(dir / "file.txt", std::string("x"));
    fs::create_directories(dir / "folder");
    test::WriteSparseFile(dir / "big.bin", {1, 2, 3}, std::uint64_t{1} << 32);
    test::WriteSparseFile(dir / "fits.bin", {1, 2, 3}, (std::uint64_t{1} << 32) - 1);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    TreePtr tree(DirEdit1());
    DirNode* root = tree->GetRoot();
    const std::string missing = dir / "missing";
    EXPECT_EQ(tree->AddFile(missing.c_str(), root), nullptr);
    EXPECT_NE(std::string(tree->GetLastError()), "");
    EXPECT_EQ(tree->AddDirectory(missing.c_str(), root), nullptr);
    EXPECT_EQ(tree->AddDirectoryTree(missing.c_str(), root), nullptr);
    EXPECT_EQ(tree->AddFile((dir / "folder").c_str(), root), nullptr);
    EXPECT_EQ(tree->AddDirectory((dir / "file.txt").c_str(), root), nullptr);
    EXPECT_EQ(tree->AddDirectoryTree((dir / "file.txt").c_str(), root), nullptr);
    EXPECT_EQ(tree->AddFile(nullptr, root), nullptr);
    EXPECT_EQ(tree->AddFile((dir / "file.txt").c_str(), nullptr), nullptr);
    EXPECT_EQ(tree->NewDirectory("", root), nullptr);
    // Files of 4 GiB or more and special files: single adds fail, with the reason.
    EXPECT_EQ(tree->AddFile((dir / "big.bin").c_str(), root), nullptr);
    EXPECT_NE(std::string(tree->GetLastError()).find("4 GiB"), std::string::npos) << tree->GetLastError();
    EXPECT_EQ(tree->AddFile((dir / "pipe").c_str(), root), nullptr);
    EXPECT_NE(std::string(tree->GetLastError()).find("pipe"), std::string::npos) << tree->GetLastError();
    EXPECT_EQ(tree->Notices().Count(), 0u);
    EXPECT_EQ(tree->GetFirstChild(root), nullptr);

    // Nothing can be put below a file.
    DirNode* file = tree->AddFile((dir / "file.txt").c_str(), root);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(tree->AddFile((dir / "file.txt").c_str(), file), nullptr);
    EXPECT_EQ(tree->NewDirectory("below", file), nullptr);
    EXPECT_EQ(tree->GetFirstChild(file), nullptr);
    EXPECT_TRUE(tree->AddBootFile(missing.c_str(), root)); // reports success regardless
    EXPECT_EQ(ChildNames(*tree, root), std::vector<std::string>{"file.txt"});
    DirNode* fits = tree->AddFile((dir / "fits.bin").c_str(), root);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(InfoOf(*tree, fits).size, 0xFFFFFFFFu);

    // A rename needs an entry and a name; one the user made keeps its recorded length in step.
    EXPECT_FALSE(tree->Rename("x", nullptr));
    EXPECT_FALSE(tree->Rename("", file));
    // Names that are no single name: the engine refuses them itself, whatever its callers check.
    for (const char* bad : {"a/b", ".", "..", "/"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(tree->Rename(bad, file));
        EXPECT_NE(std::string(tree->GetLastError()).find("cannot name an entry"), std::string::npos);
        EXPECT_EQ(tree->NewDirectory(bad, root), nullptr);
    }
    DirNode* made = tree->NewDirectory("abc", root);
    ASSERT_TRUE(tree->Rename("abcdef", made));
    EXPECT_EQ(InfoOf(*tree, made).name, "abcdef");
    EXPECT_EQ(InfoOf(*tree, made).nameLength, 6u);
    // A delete that names another parent changes nothing.
    ASSERT_NE(tree->NewDirectory("inner", made), nullptr);
    tree->DeleteNode(root, tree->GetFirstChild(made));
    EXPECT_EQ(ChildNames(*tree, made), std::vector<std::string>{"inner"});
}

TEST(IsoDirEditEdits, AddedEntriesCarryTheirDiskFacts)
{
    TempDir dir;
    const std::string path = dir / "boot.bin";
    test::WriteWholeFile(path, std::string("12345"));
    TreePtr tree(DirEdit1());
    DirNode* boot = nullptr;
    ASSERT_TRUE(tree->AddBootFile(path.c_str(), tree->GetRoot()));
    for (DirNode* child : Children(*tree, tree->GetRoot())) {
        boot = child;
    }
    EXPECT_TRUE(InfoOf(*tree, boot).bootMark);

    // Paths and names have no fixed length limit.
    std::string longFolder = dir.Path();
    for (int i = 0; i < 4; ++i) {
        longFolder += "/" + std::string(100, static_cast<char>('p' + i));
    }
    fs::create_directories(longFolder);
    const std::string longPath = longFolder + "/" + std::string(200, 'f');
    test::WriteWholeFile(longPath, std::string("deep"));
    const DirEntry longEntry = InfoOf(*tree, tree->AddFile(longPath.c_str(), tree->GetRoot()));
    EXPECT_EQ(longEntry.diskPath, longPath);
    EXPECT_EQ(longEntry.name, std::string(200, 'f'));
    EXPECT_EQ(longEntry.size, 4u);

    const platform::FileTime before = platform::CurrentFileTime();
    const DirEntry made = InfoOf(*tree, tree->NewDirectory("New Folder", tree->GetRoot()));
    const platform::FileTime after = platform::CurrentFileTime();
    EXPECT_TRUE(made.isDirectory);
    EXPECT_EQ(made.EntrySource, EntrySourceKind::None);
    EXPECT_EQ(made.nameLength, 10u);
    EXPECT_GE(made.date, before);
    EXPECT_LE(made.date, after);
}

TEST(IsoDirEditEdits, DeepTreesAreFreedWithoutRecursion)
{
    constexpr int kLevels = 300000;
    TreePtr tree(DirEdit1());
    DirNode* node = tree->GetRoot();
    DirNode* half = nullptr;
    for (int level = 0; level < kLevels; ++level) {
        node = tree->NewDirectory("d", node);
        ASSERT_NE(node, nullptr);
        if (level == kLevels / 2) {
            half = node;
        }
    }
    DirNode* halfParent = tree->FindParent(half);
    tree->DeleteNode(halfParent, half);
    EXPECT_EQ(tree->GetFirstChild(halfParent), nullptr);
    tree.reset(); // frees the other half
}

} // namespace
} // namespace tarvelin
