// Names on disc: conversion, limits, shortening, uniqueness within one directory, and the
// read-side clean-up of identifiers.

#include "iso/iso9660.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace tarvelin::iso {
namespace {

// Whole UTF-16 text (no surrogate pair cut at either end) survives a trip through UTF-8.
bool IsWholeUtf16(const std::u16string& text) { return platform::NarrowToUtf16(platform::Utf16ToNarrow(text)) == text; }

TEST(Iso9660Names, ReadSideStripsVersionsAndTheEmptyExtensionDot)
{
    EXPECT_EQ(DecodeIsoIdentifier("A.TXT;1"), "A.TXT");
    EXPECT_EQ(DecodeIsoIdentifier("README.;1"), "README");
    EXPECT_EQ(DecodeIsoIdentifier("README."), "README");
    EXPECT_EQ(DecodeIsoIdentifier("DIR"), "DIR");
    EXPECT_EQ(DecodeIsoIdentifier("A.B;1;2"), "A.B;1");
    EXPECT_EQ(DecodeIsoIdentifier("a;b.txt"), "a;b.txt"); // level 4, no version
    EXPECT_EQ(DecodeIsoIdentifier("a;b.txt;1"), "a;b.txt");
    EXPECT_EQ(DecodeIsoIdentifier(std::string("NAME\0JUNK", 9)), "NAME");
    EXPECT_EQ(DecodeIsoIdentifier(";1"), "");

    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0a\0.\0t\0x\0t\0;\0001", 14)), "a.txt");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0M\0i\0x\0e\0d", 10)), "Mixed");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\x00\xE4\xD8\x3D\xDE\x00", 6)), "\xC3\xA4\xF0\x9F\x98\x80");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0a\0", 3)), ""); // odd length
    // A lone surrogate cannot be shown; it is replaced, not dropped.
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\xD8\x3D\0a", 4)), "\xEF\xBF\xBD" "a");
}

TEST(Iso9660Names, IdentifiersOfNewEntriesHoldDCharactersOnlyAndFitTheirLevel)
{
    constexpr IsoNameLimits kLevel1 = IsoNameLimits::Level1();
    constexpr IsoNameLimits kLevel2 = IsoNameLimits::Level2();
    struct Case {
        std::string name;
        bool folder;
        IsoNameLimits limits;
        std::string identifier;
    };
    // Level 1 file identifiers of many more names are held to xorriso's below.
    const std::vector<Case> cases = {
        {"README", false, kLevel1, "README.;1"},
        {"\x80\x80.c", false, kLevel1, "__.C;1"},                            // stray continuation bytes
        {"", false, kLevel1, "_.;1"},
        {std::string(40, 'a') + ".txt", false, kLevel2, std::string(27, 'A') + ".TXT;1"},
        {"a." + std::string(40, 'e'), false, kLevel2, "A." + std::string(29, 'E') + ";1"},
        {"Long Directory Name.d", true, kLevel1, "LONG_DIR"},
        {"sub.dir", true, kLevel1, "SUB_DIR"},
        {std::string(40, 'd'), true, kLevel2, std::string(31, 'D')},
        {"", true, kLevel1, "_"},
        // Limits below level 1 are raised to it, limits beyond a record cut to it.
        {"abcdefghij.txt", false, {1, 1, 1, 1}, "ABCDEFGH.TXT;1"},
        {std::string(300, 'l'), false, {500, 500, 500, 500}, std::string(218, 'L') + ".;1"},
        // ISO 9660:1999: the name as it is, no version; cut at a character.
        {"My Report v2.tar.gz", false, IsoNameLimits::Level4(), "My Report v2.tar.gz"},
        {"README", false, IsoNameLimits::Level4(), "README"},
        {"a;1/b\x01", false, IsoNameLimits::Level4(), "a_1_b_"},
        {std::string(205, 'x') + "\xC3\xA9\xC3\xA9", true, IsoNameLimits::Level4(), std::string(205, 'x') + "\xC3\xA9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.folder ? IsoDirectoryIdentifier(c.name, c.limits) : IsoFileIdentifier(c.name, c.limits),
                  c.identifier)
            << c.name;
    }
}

TEST(Iso9660Names, NewIdentifiersClashWithNothingKeptOrNew)
{
    constexpr IsoNameLimits kLevel1 = IsoNameLimits::Level1();
    struct Case {
        std::vector<NewEntryName> entries;
        std::vector<std::string> taken;
        IsoNameLimits limits;
        std::vector<std::string> identifiers;
    };
    const std::string longExtension = "a." + std::string(40, 'e');
    const std::vector<Case> cases = {
        {{{"readme.txt"}}, {"README.TXT;1"}, kLevel1, {"README_1.TXT;1"}},
        {{{"readme.txt"}}, {"README.TXT"}, kLevel1, {"README_1.TXT;1"}},
        // Kept identifiers that a relaxed writer left in lower case.
        {{{"readme.txt"}}, {"readme.txt;1"}, kLevel1, {"README_1.TXT;1"}},
        // A folder README and a file README.;1 read alike.
        {{{"readme", true}}, {"README.;1"}, kLevel1, {"README_1"}},
        {{{"readme"}}, {"README"}, kLevel1, {"README_1.;1"}},
        {{{"a long file name.gz"}, {"a long file.gz"}}, {}, kLevel1, {"A_LONG_F.GZ;1", "A_LONG_1.GZ;1"}},
        {{{"a long file name.gz"}, {"a long file.gz"}}, {"A_LONG_1.GZ;1"}, kLevel1, {"A_LONG_F.GZ;1", "A_LONG_2.GZ;1"}},
        {{{"x_1"}, {"x"}, {"X"}}, {}, kLevel1, {"X_1.;1", "X.;1", "X_2.;1"}},
        {{{"directory one", true}, {"directory two", true}}, {}, kLevel1, {"DIRECTOR", "DIRECT_1"}},
        {{{longExtension}, {longExtension}}, {}, IsoNameLimits::Level2(),
         {"A." + std::string(29, 'E') + ";1", "A_1." + std::string(27, 'E') + ";1"}},
        // ISO 9660:1999 names clash only when equal, case and all.
        {{{"readme.txt"}, {"Readme.txt"}, {"readme.txt"}}, {"README.TXT"}, IsoNameLimits::Level4(),
         {"readme.txt", "Readme.txt", "readme_1.txt"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UniqueIsoIdentifiers(c.entries, c.taken, c.limits), c.identifiers) << c.entries.front().name;
    }

    // Many names that cut to one, beside kept ones holding the first numbers.
    std::vector<std::string> names;
    std::vector<NewEntryName> entries;
    for (int i = 0; i < 150; ++i) {
        names.push_back("Quarterly report " + std::to_string(i) + (i % 2 == 0 ? ".pdf" : ""));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        entries.push_back({names[i], i % 3 == 0});
    }
    const std::vector<std::string> taken = {"QUARTE_1.PDF;1", "QUARTE_2", "QUARTERL.;1"};
    std::set<std::string> seen;
    for (const std::string& identifier : UniqueIsoIdentifiers(entries, taken, kLevel1)) {
        const auto legal = [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == ';';
        };
        EXPECT_TRUE(std::all_of(identifier.begin(), identifier.end(), legal)) << identifier;
        const std::string shown = DecodeIsoIdentifier(identifier);
        const std::size_t dot = shown.find('.');
        EXPECT_LE(shown.substr(0, dot).size(), 8u) << identifier;
        EXPECT_LE(dot == std::string::npos ? 0 : shown.size() - dot - 1, 3u) << identifier;
        EXPECT_TRUE(seen.insert(shown).second) << identifier;
    }
    for (const std::string& kept : taken) {
        EXPECT_EQ(seen.count(DecodeIsoIdentifier(kept)), 0u) << kept;
    }
}

TEST(Iso9660Names, JolietNamesOfNewEntriesKeepCaseAndTheExtensionAndClashOnlyWhenEqual)
{
    const std::u16string seventy(70, u'x');
    const std::string longName = std::string(300, 'x') + ".document";
    struct Case {
        std::string name;
        bool folder;
        bool longNames;
        std::u16string joliet;
    };
    const std::vector<Case> cases = {
        {"Mixed Case.Txt", false, false, u"Mixed Case.Txt"},
        {"a*b/c:d;e?f\\g.txt", false, false, u"a_b_c_d_e_f_g.txt"},
        {"tab\there\x1f", false, false, u"tab_here_"},
        {std::string(70, 'x') + ".txt", false, false, seventy.substr(0, 60) + u".txt"},
        {std::string(70, 'x') + ".txt", false, true, seventy + u".txt"},
        {std::string(110, 'x'), false, true, std::u16string(103, u'x')},
        {std::string(70, 'x') + ".dir", true, false, seventy.substr(0, 64)},
        // 63 units and then a pair that would end past 64: cut before it.
        {std::string(63, 'p') + "\xF0\x9F\x98\x80", true, false, std::u16string(63, u'p')},
        {"", false, false, u"_"},
        {longName, false, false, std::u16string(55, u'x') + u".document"},
        {longName, false, true, std::u16string(94, u'x') + u".document"},
        {longName, true, false, std::u16string(64, u'x')}, // a folder has no extension
        // No extension, or one that leaves no room for the stem: cut at the end.
        {std::string(70, 'y'), false, false, std::u16string(64, u'y')},
        {"a." + std::string(70, 'e'), false, false, u"a." + std::u16string(62, u'e')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JolietEntryName(c.name, c.folder, c.longNames), c.joliet) << c.name;
    }
    // A surrogate pair is never split, whatever the limit falls on.
    for (std::size_t stem = 56; stem <= 64; ++stem) {
        const std::string twoPairs = "\xF0\x9F\x98\x80\xF0\x9F\x98\x80.txt";
        const std::u16string cut = JolietEntryName(std::string(stem, 'p') + twoPairs, false, false);
        EXPECT_LE(cut.size(), 64u) << stem;
        EXPECT_TRUE(IsWholeUtf16(cut)) << stem;
        EXPECT_EQ(cut.substr(cut.size() - 4), u".txt") << stem;
    }

    const std::vector<NewEntryName> entries = {{"Readme"}, {"README"}, {"a:b"}, {"a_b"}, {"kept.txt"}, {"dir", true}};
    const std::vector<std::string> taken = {JolietIdentifier(u"kept.txt;1"), JolietIdentifier(u"dir")};
    const std::vector<std::string> identifiers = UniqueJolietIdentifiers(entries, taken, false);
    std::vector<std::string> names;
    for (const std::string& identifier : identifiers) {
        names.push_back(DecodeJolietIdentifier(identifier));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Readme", "README", "a_b", "a_b~1", "kept~1.txt", "dir~1"}));
}

TEST(Iso9660Names, RecordsOrderByNameThenExtensionThenVersionDescending)
{
    struct Case {
        std::string a;
        std::string b;
        int order; // sign of Compare(a, b)
    };
    const std::vector<Case> iso = {
        {"AB.C;1", "AB.C0;1", -1}, // "C " before "C0", though ';' sorts after '0'
        {"A.B;1", "A0.;1", -1},    // "A " before "A0"
        {"AB.;1", "AB_.;1", -1},
        {"AA.;2", "AA.;1", -1},    // the higher version first
        {"AA.;10", "AA.;9", -1},
        {"DIR", "DIR.;1", -1},     // without a version first
        {"B", "A.Z;1", 1},
        {"A.TXT;1", "A.TXT;1", 0},
        {"\xE4.;1", "Z.;1", 1},    // bytes are unsigned
        {"A\x10.;1", "A.;1", -1},  // padded with spaces, not NULs (kept identifiers may hold any byte)
        {"A .;1", "A.;1", -1},     // equal when padded: then by their bytes
    };
    for (const Case& c : iso) {
        EXPECT_EQ(CompareIsoIdentifiers(c.a, c.b), c.order) << c.a << " / " << c.b;
        EXPECT_EQ(CompareIsoIdentifiers(c.b, c.a), -c.order) << c.b << " / " << c.a;
    }
    const std::vector<std::pair<std::u16string, std::u16string>> joliet = {
        {u"ab", u"ab-"},   {u"ab-", u"ab.c"},       {u"A.x", u"a b"},
        {u"a-.d", u"a.b.c"}, {u"z", u"\u00e4"}, {u"\u00ff", u"\u0100"},
    };
    for (const auto& [a, b] : joliet) {
        EXPECT_LT(CompareJolietIdentifiers(JolietIdentifier(a), JolietIdentifier(b)), 0);
        EXPECT_GT(CompareJolietIdentifiers(JolietIdentifier(b), JolietIdentifier(a)), 0);
    }
}

// The identifiers of a peer image's root directory, in record order.
std::vector<std::string> RootIdentifiers(const test::MemorySector& image, bool joliet)
{
    const DescriptorSetInfo set = ScanDescriptorSet(image.Reader(), image.SectorCount());
    const std::uint32_t sector = joliet ? set.jolietSector.value_or(0) : kFirstDescriptorSector;
    const std::optional<VolumeDescriptor> descriptor =
        ReadVolumeDescriptor(image.Reader(), image.SectorCount(), sector);
    std::vector<std::string> identifiers;
    if (!descriptor) {
        ADD_FAILURE() << "no descriptor at " << sector;
        return identifiers;
    }
    const DirectoryRecord& root = descriptor->rootRecord;
    for (std::uint32_t i = 0; i < SectorsFor(root.dataLength); ++i) {
        for (const DirectoryRecord& record : DecodeDirectorySector(image.SectorBytes(root.extent + i)).records) {
            if (!record.IsSelf() && !record.IsParent()) {
                identifiers.push_back(record.identifier);
            }
        }
    }
    return identifiers;
}

TEST(Iso9660Names, LevelOneIdentifiersAndRecordOrderAreThoseOfXorriso)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    test::TempDir dir;
    const std::vector<std::string> names = {
        "readme.txt", "README2", "a long file name.tar.gz", "a.b.c", ".profile", "x;1", "Gr\xC3\xBC\xC3\x9F" "e.txt",
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", "name.", "file.html5x", "with space.txt", "ab.c", "ab.c0",
        "ab.cz", "a0", "ab", "ab-", "A.x", "a b", "a-.d", "Mixed-Case_9.Doc", "abcdefghij",
    };
    std::filesystem::create_directories(dir / "src/folder");
    std::filesystem::create_directories(dir / "src/abcdefghi");
    std::vector<std::string> expected = {"FOLDER", "ABCDEFGH"};
    for (const std::string& name : names) {
        test::WriteWholeFile(dir / ("src/" + name), std::string("1"));
        expected.push_back(IsoFileIdentifier(name, IsoNameLimits::Level1()));
    }
    const test::CommandResult made = test::RunCommand("xorriso -as mkisofs -quiet -J -o "
                                                      + test::ShellQuote(dir / "x.iso") + " "
                                                      + test::ShellQuote(dir / "src"));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const test::MemorySector image(test::ReadWholeFile(dir / "x.iso"));

    const std::vector<std::string> primary = RootIdentifiers(image, false);
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return CompareIsoIdentifiers(a, b) < 0;
    });
    EXPECT_EQ(primary, sorted);

    const std::vector<std::string> joliet = RootIdentifiers(image, true);
    ASSERT_EQ(joliet.size(), names.size() + 2);
    EXPECT_TRUE(std::is_sorted(joliet.begin(), joliet.end(), [](const std::string& a, const std::string& b) {
        return CompareJolietIdentifiers(a, b) < 0;
    }));
}

} // namespace
} // namespace tarvelin::iso
