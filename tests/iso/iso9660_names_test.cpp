// Names on disc: conversion, limits, shortening, uniqueness within one
// directory, and the read-side clean-up of identifiers.

#include "iso/iso9660.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tarvelin::iso {
namespace {

// True when the text is well-formed UTF-8 (no cut sequence at either end).
bool IsWholeUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool IsWholeUtf16(const std::u16string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string FoldAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

TEST(Iso9660Names, IsoNamesUpperCaseAsciiOnly)
{
    EXPECT_EQ(IsoName("a.txt"), "A.TXT");
    EXPECT_EQ(IsoName("Mixed Case-1_z.Tar.gz"), "MIXED CASE-1_Z.TAR.GZ");
    // Bytes outside a..z stay as they are, UTF-8 included.
    EXPECT_EQ(IsoName("\xC3\xA4rger;1"), "\xC3\xA4RGER;1");
}

TEST(Iso9660Names, JolietNamesAreBigEndianUtf16WithCaseKept)
{
    EXPECT_EQ(JolietName("a.txt"), u"a.txt");
    EXPECT_EQ(JolietIdentifier(JolietName("a.txt")), std::string("\0a\0.\0t\0x\0t", 10));
    EXPECT_EQ(JolietIdentifier(JolietName("\xC3\xA4")), std::string("\x00\xE4", 2));
    // A character beyond the basic plane becomes a surrogate pair.
    EXPECT_EQ(JolietIdentifier(JolietName("\xF0\x9F\x98\x80")), std::string("\xD8\x3D\xDE\x00", 4));
}

TEST(Iso9660Names, ShorteningKeepsTheExtensionAndWholeCharacters)
{
    EXPECT_EQ(ShortenName("short.txt", 221), "short.txt");
    const std::string longName = std::string(300, 'x') + ".document";
    const std::string cut = ShortenName(longName, 221);
    EXPECT_EQ(cut.size(), 221u);
    EXPECT_EQ(cut, std::string(212, 'x') + ".document");

    // "ä" is two bytes: a limit that would split it cuts before it.
    const std::string umlauts = std::string(10, 'a') + "\xC3\xA4\xC3\xA4" + ".txt";
    EXPECT_EQ(ShortenName(umlauts, 15), std::string(10, 'a') + ".txt");
    EXPECT_EQ(ShortenName(umlauts, 16), std::string(10, 'a') + "\xC3\xA4" + ".txt");
    for (std::size_t limit = 1; limit <= umlauts.size(); ++limit) {
        const std::string shortened = ShortenName(umlauts, limit);
        EXPECT_LE(shortened.size(), limit);
        EXPECT_TRUE(IsWholeUtf8(shortened)) << limit;
    }

    // No extension, or an extension that leaves no room for the stem: cut
    // the name at its end.
    EXPECT_EQ(ShortenName(std::string(30, 'y'), 10), std::string(10, 'y'));
    EXPECT_EQ(ShortenName("a." + std::string(30, 'e'), 10), "a." + std::string(8, 'e'));
    EXPECT_EQ(ShortenName(".profile-with-a-long-name", 8), ".profile");

    // UTF-16: a surrogate pair is never split.
    const std::u16string pairs = u"ab\U0001F600\U0001F600.txt";
    EXPECT_EQ(ShortenName(pairs, 8), u"ab\U0001F600.txt");
    EXPECT_EQ(ShortenName(pairs, 7), u"ab.txt");
    for (std::size_t limit = 1; limit <= pairs.size(); ++limit) {
        const std::u16string shortened = ShortenName(pairs, limit);
        EXPECT_LE(shortened.size(), limit);
        EXPECT_TRUE(IsWholeUtf16(shortened)) << limit;
    }
}

TEST(Iso9660Names, ClashingNamesInOneDirectoryBecomeUnique)
{
    // a.txt and A.TXT are one ISO name; the first keeps it.
    const std::vector<std::string> names = {"a.txt", "A.TXT", "b", "a.TXT", "A~1.TXT"};
    const std::vector<std::string> iso = UniqueIsoNames(names);
    EXPECT_EQ(iso, (std::vector<std::string>{"A.TXT", "A~2.TXT", "B", "A~3.TXT", "A~1.TXT"}));

    // Joliet keeps case but readers ignore it, so the same names clash there.
    const std::vector<std::u16string> joliet = UniqueJolietNames(names);
    EXPECT_EQ(joliet, (std::vector<std::u16string>{u"a.txt", u"A~2.TXT", u"b", u"a~3.TXT", u"A~1.TXT"}));

    // Names that are distinct only beyond the limit clash once cut.
    const std::string stem(300, 'n');
    const std::vector<std::string> longNames = {stem + "1.dat", stem + "2.dat", stem + "3.dat"};
    const std::vector<std::string> cut = UniqueIsoNames(longNames);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0], std::string(217, 'N') + ".DAT");
    EXPECT_EQ(cut[1], std::string(215, 'N') + "~1.DAT");
    EXPECT_EQ(cut[2], std::string(215, 'N') + "~2.DAT");
    const std::vector<std::u16string> cutJoliet = UniqueJolietNames(longNames);
    for (const std::u16string& name : cutJoliet) {
        EXPECT_LE(name.size(), kMaxJolietRecordUnits);
        EXPECT_NE(DirectoryRecordSize(JolietIdentifier(name).size()), 0u);
    }
    EXPECT_EQ(std::set<std::u16string>(cutJoliet.begin(), cutJoliet.end()).size(), 3u);
}

TEST(Iso9660Names, EveryResultFitsARecordAndNoTwoCompareEqual)
{
    // Many same-looking names, some long, some with multi-byte characters,
    // some empty or equal to the "." / ".." identifier bytes.
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back(i % 3 == 0 ? "Readme.TXT" : i % 3 == 1 ? "readme.txt" : std::string(250, 'r') + ".txt");
    }
    names.push_back("");
    names.push_back(std::string(1, '\0'));
    names.push_back(std::string(1, '\1'));
    names.push_back(std::string(120, '\xE4') + "\xC3\xA4\xC3\xA4\xC3\xA4.txt");

    const std::vector<std::string> iso = UniqueIsoNames(names);
    ASSERT_EQ(iso.size(), names.size());
    std::set<std::string> seen;
    for (const std::string& name : iso) {
        EXPECT_NE(DirectoryRecordSize(name.size()), 0u) << name;
        EXPECT_FALSE(name.size() == 1 && (name[0] == '\0' || name[0] == '\1'));
        EXPECT_TRUE(seen.insert(FoldAscii(name)).second) << name;
    }
    const std::vector<std::u16string> joliet = UniqueJolietNames(names);
    std::set<std::u16string> seenJoliet;
    for (std::u16string name : joliet) {
        EXPECT_LE(name.size(), kMaxJolietRecordUnits);
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(IsWholeUtf16(name));
        for (char16_t& c : name) {
            c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        }
        EXPECT_TRUE(seenJoliet.insert(name).second);
    }
}

TEST(Iso9660Names, ReadSideStripsVersionsAndTheEmptyExtensionDot)
{
    EXPECT_EQ(DecodeIsoIdentifier("A.TXT;1"), "A.TXT");
    EXPECT_EQ(DecodeIsoIdentifier("README.;1"), "README");
    EXPECT_EQ(DecodeIsoIdentifier("README."), "README");
    EXPECT_EQ(DecodeIsoIdentifier("DIR"), "DIR");
    EXPECT_EQ(DecodeIsoIdentifier("A.B;1;2"), "A.B");
    EXPECT_EQ(DecodeIsoIdentifier(std::string("NAME\0JUNK", 9)), "NAME");
    EXPECT_EQ(DecodeIsoIdentifier(";1"), "");

    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0a\0.\0t\0x\0t\0;\0001", 14)), "a.txt");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0M\0i\0x\0e\0d", 10)), "Mixed");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\x00\xE4\xD8\x3D\xDE\x00", 6)), "\xC3\xA4\xF0\x9F\x98\x80");
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\0a\0", 3)), ""); // odd length
    // A lone surrogate cannot be shown; it is replaced, not dropped.
    EXPECT_EQ(DecodeJolietIdentifier(std::string("\xD8\x3D\0a", 4)), "\xEF\xBF\xBD" "a");
}

} // namespace
} // namespace tarvelin::iso
