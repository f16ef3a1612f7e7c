// System use entries: crafted entries and continuation chains (damage, loops, areas outside the
// image), written entries read back through an image, and mutated bytes never read past.

#include "iso/iso9660.h"
#include "iso/rock_ridge.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>

namespace tarvelin::iso {
namespace {

using test::Both32;
using test::MemorySector;

std::string Entry(std::string_view signature, const std::string& body)
{
    return std::string(signature) + static_cast<char>(4 + body.size()) + '\1' + body;
}
std::string Flagged(std::string_view signature, std::uint8_t flags, const std::string& rest)
{
    return Entry(signature, static_cast<char>(flags) + rest);
}
std::string Part(std::uint8_t flags, const std::string& text) // an SL component
{
    return std::string{static_cast<char>(flags), static_cast<char>(text.size())} + text;
}
std::string Ce(std::uint32_t block, std::uint32_t offset, std::uint32_t length)
{
    return Entry("CE", Both32(block) + Both32(offset) + Both32(length));
}
platform::FileTime FromUnix(std::int64_t seconds)
{
    return static_cast<platform::FileTime>(seconds + platform::kFileTimeEpochOffsetSeconds)
         * platform::kFileTimeTicksPerSecond;
}

// What a decoded record says, on one line, for tables and readable failures.
std::string Summary(const RockRidgeInfo& info)
{
    std::ostringstream out;
    const UnixAttributes& a = info.attributes;
    out << (info.present ? "rr" : "-");
    if (a.known) {
        out << " px " << std::oct << a.mode << std::dec << " " << a.links << " " << a.uid << " " << a.gid
            << (a.serial ? " #" + std::to_string(*a.serial) : "");
    }
    if (info.name) {
        out << " nm '" << *info.name << "'";
    }
    if (!a.linkTarget.empty()) {
        out << " sl " << a.linkTarget;
    }
    for (const auto& [tag, time] : {std::pair{" cr ", a.created}, {" mt ", a.modified}, {" at ", a.accessed},
                                    {" ch ", a.changed}}) {
        if (time != 0) {
            out << tag << (static_cast<std::int64_t>(time / platform::kFileTimeTicksPerSecond)
                           - platform::kFileTimeEpochOffsetSeconds);
        }
    }
    out << (info.childLink ? " cl " + std::to_string(*info.childLink) : "")
        << (info.parentLink ? " pl " + std::to_string(*info.parentLink) : "") << (info.relocated ? " re" : "")
        << (info.device ? " pn " + std::to_string(*info.device) : "") << (info.zisofs.present ? " zf" : "");
    return out.str();
}

// Reads a record's system use from a heap block of exactly its size (AddressSanitizer sees reads past it).
SystemUseArea ReadExact(const std::string& systemUse, std::uint8_t skip, const MemorySector& image, SuspReport* report)
{
    const auto exact = std::make_unique<char[]>(systemUse.size());
    std::memcpy(exact.get(), systemUse.data(), systemUse.size());
    return ReadSystemUseArea({exact.get(), systemUse.size()}, skip, image.Reader(), image.SectorCount(), report);
}

// 2024-03-15 10:20:30 at +02:00 (1710490830), 2023-07-14 06:05:04 UTC (1689314704).
const std::string kDate = {124, 3, 15, 10, 20, 30, 8};
const std::string kLongDate = std::string("2023071406050400") + '\0';

TEST(RockRidgeRead, CraftedEntriesAndChains)
{
    struct Area {
        std::uint32_t block, offset;
        std::string bytes;
    };
    struct Case {
        const char* label;
        std::string systemUse;
        std::vector<Area> areas; // in an image of 64 sectors
        std::string expected;
        std::size_t continuations;
        std::uint32_t damaged;
        std::uint8_t skip = 0;
    };
    const std::string px = Both32(0100644) + Both32(2) + Both32(1000) + Both32(100);
    std::string chainOf65; // areas of one CE each, one behind the other in sector 30
    for (std::uint32_t i = 1; i <= 65; ++i) {
        chainOf65 += Ce(30, i * 28, 28);
    }
    const std::vector<Case> cases = {
        {"posix_name_times", Entry("PX", px + Both32(77)) + Flagged("NM", 0, "Readme.md")
             + Flagged("TF", 0x0E, kDate + kDate + kDate), {},
         "rr px 100644 2 1000 100 #77 nm 'Readme.md' mt 1710490830 at 1710490830 ch 1710490830", 0, 0},
        {"px_without_serial_and_continued_name", Flagged("NM", 1, "long ") + Entry("PX", px) + Flagged("NM", 0, "x"),
         {}, "rr px 100644 2 1000 100 nm 'long x'", 0, 0},
        {"self_name_is_empty", Flagged("NM", 0x02, "") + Flagged("NM", 0, "late"), {}, "rr nm ''", 0, 0},
        {"link_over_two_entries",
         Flagged("SL", 1, Part(0x08, "") + Part(0, "usr") + Part(1, "li"))
             + Flagged("SL", 0, Part(0, "b") + Part(0x04, "") + Part(0x02, "") + Part(0, "x")),
         {}, "rr sl /usr/lib/.././x", 0, 0},
        // xorriso writes the empty component of "a//b" and "x//" as a root component: it adds a '/' where it
        // stands, as the Linux kernel reads it, and never makes a relative link absolute.
        {"root_inside_a_link", Flagged("SL", 0, Part(0, "a") + Part(0x08, "") + Part(0, "b")), {}, "rr sl a//b", 0, 0},
        {"root_ending_a_link", Flagged("SL", 0, Part(0, "x") + Part(0x08, "")), {}, "rr sl x//", 0, 0},
        {"long_form_times", Flagged("TF", 0x83, kLongDate + kLongDate), {}, "rr cr 1689314704 mt 1689314704", 0, 0},
        {"device_and_relocation",
         Entry("PN", Both32(1) + Both32(5)) + Entry("CL", Both32(40)) + Entry("PL", Both32(41)) + Entry("RE", ""),
         {}, "rr cl 40 pl 41 re pn 4294967301", 0, 0},
        // xorriso's zisofs entry (algorithm, header size / 4, log2 of the block size, size before compression).
        {"compressed_data", Entry("PX", px) + Entry("ZF", std::string("pz\x04\x0f", 4) + Both32(5000)), {},
         "rr px 100644 2 1000 100 zf", 0, 0},
        // Too short for their kind: left out, nothing behind them read.
        {"short_entries", Entry("PX", px.substr(0, 20)) + Entry("CL", "abc") + Flagged("TF", 0x06, kDate)
             + Flagged("SL", 0, Part(0, "ok") + Part(0, "xyz").substr(0, 3)),
         {}, "rr sl ok mt 1710490830", 0, 0},
        {"length_past_the_bytes", Flagged("NM", 0, "kept") + std::string("NM\x40\x01\x00zz", 7), {}, "rr nm 'kept'",
         0, 1},
        {"stop_entry", Flagged("NM", 0, "a") + Entry("ST", "") + Entry("RE", ""), {}, "rr nm 'a'", 0, 0},
        {"skip_bytes", "XA-ATTRIBUTES!" + Flagged("NM", 0, "b"), {}, "rr nm 'b'", 0, 0, 14},
        {"chain_of_two_areas", Flagged("NM", 1, "one ") + Ce(20, 100, 37),
         {{20, 100, Flagged("NM", 1, "two ") + Ce(21, 2000, 10)}, {21, 2000, Flagged("NM", 0, "three")}},
         "rr nm 'one two three'", 2, 0},
        {"loop", Ce(20, 0, 34), {{20, 0, Ce(20, 0, 34) + Flagged("NM", 0, "l")}}, "rr nm 'l'", 1, 1},
        {"beyond_the_image", Flagged("NM", 0, "n") + Ce(64, 0, 10), {}, "rr nm 'n'", 0, 1},
        {"past_its_sector", Ce(20, 2000, 49), {{20, 2000, Flagged("NM", 0, "x")}}, "-", 0, 1},
        {"short_ce", Entry("CE", Both32(20)), {}, "-", 0, 1},
        {"at_most_64_areas", Ce(30, 0, 28), {{30, 0, chainOf65}}, "-", 64, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MemorySector image(64u);
        for (const Area& area : c.areas) {
            image.Put(area.block, area.offset, area.bytes);
        }
        SuspReport report;
        const SystemUseArea area = ReadExact(c.systemUse, c.skip, image, &report);
        EXPECT_EQ(area.inlineBytes, c.systemUse.substr(c.skip));
        EXPECT_EQ(area.continuation.size(), c.continuations);
        EXPECT_EQ(report.damaged, c.damaged);
        EXPECT_EQ(Summary(DecodeRockRidge(area)), c.expected);
    }
}

TEST(RockRidgeRead, VolumeEntries)
{
    const std::string sp = Entry("SP", "\xBE\xEF\x05");
    const auto er = [](const std::string& id, char descriptionLength) {
        return Entry("ER", std::string{static_cast<char>(id.size()), descriptionLength, 0, 1} + id + "DESC");
    };
    std::string engine;
    for (const std::string& entry : EncodeRockRidgeVolumeEntries()) {
        engine += entry;
    }
    const std::vector<std::tuple<std::string, bool, int, bool, std::vector<std::string>>> cases = {
        {sp + er("RRIP_1991A", 4), true, 5, true, {"RRIP_1991A"}},
        {sp + er("OTHER", 4) + er("IEEE_1282", 4), true, 5, true, {"OTHER", "IEEE_1282"}},
        {sp + er("IEEE_P1282", 4), true, 5, true, {"IEEE_P1282"}},
        {Entry("SP", std::string("\xBE\xEE\x00", 3)) + er("X", 4), false, 0, false, {"X"}},
        {er("RRIP_1991A", 4) + sp, false, 0, true, {"RRIP_1991A"}}, // SP must come first
        {sp + er("RRIP_1991A", 5), true, 5, false, {}},             // texts past the entry
        {engine, true, 0, true, {"RRIP_1991A"}},
    };
    for (const auto& [bytes, susp, skip, rockRidge, extensions] : cases) {
        SCOPED_TRACE(bytes);
        const SuspVolumeInfo info = DecodeSuspVolume(SystemUseArea{bytes, {}});
        EXPECT_EQ(info.susp, susp);
        EXPECT_EQ(info.skip, skip);
        EXPECT_EQ(info.rockRidge, rockRidge);
        EXPECT_EQ(info.extensions, extensions);
    }
}

UnixAttributes Attributes(std::uint32_t mode, std::string linkTarget = {})
{
    return {true, mode, 1, 1000, 1000, 0, std::move(linkTarget), FromUnix(1612325106), FromUnix(1672531199),
            FromUnix(915148800), 0};
}

// Lays the continuation areas into sectors 20 on at assorted offsets, sets the CE entries, and reads
// the record back through the image.
SystemUseArea LayAndReadBack(SystemUseArea area)
{
    MemorySector image(32u);
    std::vector<std::uint32_t> offsets;
    for (std::size_t i = 0; i < area.continuation.size(); ++i) {
        offsets.push_back(static_cast<std::uint32_t>(i * 300 % (kSectorSize - area.continuation[i].size() + 1)));
        EXPECT_TRUE(PlaceContinuation(area, i, static_cast<std::uint32_t>(20 + i), offsets.back()));
    }
    EXPECT_FALSE(PlaceContinuation(area, area.continuation.size(), 1, 1));
    for (std::size_t i = 0; i < area.continuation.size(); ++i) { // once every CE entry is set
        image.Put(static_cast<std::uint32_t>(20 + i), offsets[i], area.continuation[i]);
    }
    SuspReport report;
    const SystemUseArea read = ReadExact(area.inlineBytes, 0, image, &report);
    EXPECT_EQ(read, area);
    EXPECT_EQ(report.damaged, 0u);
    return read;
}

TEST(RockRidgeWrite, EntriesReadBackThroughContinuationAreas)
{
    const std::string longName(600, 'n');
    std::string manyParts;
    for (int i = 0; i < 400; ++i) {
        manyParts += "part" + std::to_string(i) + "/";
    }
    UnixAttributes noTimes = Attributes(kModeDirectory | 0700);
    noTimes.modified = noTimes.accessed = noTimes.changed = 0;
    const std::vector<std::tuple<UnixAttributes, std::string, std::size_t, std::size_t>> cases = {
        {Attributes(kModeRegular | 0644), "readme.txt", 200, 0},
        {noTimes, "", 60, 0},
        {Attributes(kModeRegular | 0751), longName, 100, 1},
        {Attributes(kModeSymlink | 0777, "/" + std::string(600, 'c') + "/.././/" + std::string(30, 'd') + "/"), "l",
         40, 1},
        {Attributes(kModeSymlink | 0777, manyParts + "end"), longName, 28, 3},
        {Attributes(kModeSymlink | 0777, "../a//b/."), "rel", 220, 0},
    };
    for (const auto& [attributes, name, inlineRoom, continuations] : cases) {
        SCOPED_TRACE(name.substr(0, 20) + " -> " + attributes.linkTarget.substr(0, 20));
        const std::vector<std::string> entries = EncodeRockRidgeEntries(attributes, name);
        for (const std::string& entry : entries) {
            EXPECT_EQ(entry.size(), static_cast<std::uint8_t>(entry[2]));
        }
        const SystemUseArea area = PackSystemUse(entries, inlineRoom);
        EXPECT_LE(area.inlineBytes.size(), inlineRoom);
        EXPECT_EQ(area.continuation.size(), continuations);
        for (const std::string& continuation : area.continuation) {
            EXPECT_LE(continuation.size(), kSectorSize);
        }
        EXPECT_EQ(SystemUseEntries(area), entries);

        const SystemUseArea read = LayAndReadBack(area);
        const RockRidgeInfo info = DecodeRockRidge(read);
        EXPECT_EQ(info.attributes, attributes);
        EXPECT_EQ(info.name, name.empty() ? std::nullopt : std::optional(name));
        // Renamed: every other entry stays.
        const RockRidgeInfo renamed = DecodeRockRidge(LayAndReadBack(RenameSystemUse(read, "renamed", inlineRoom)));
        EXPECT_EQ(renamed.attributes, attributes);
        EXPECT_EQ(renamed.name, "renamed");
        EXPECT_EQ(DecodeRockRidge(RenameSystemUse(read, "", inlineRoom)).name, std::nullopt);
    }
    // Room below a CE entry: the record shows it cannot hold its entries.
    const SystemUseArea cramped = PackSystemUse(EncodeRockRidgeEntries(Attributes(kModeRegular), "name"), 10);
    EXPECT_EQ(cramped.inlineBytes.substr(0, 2), "CE");
    EXPECT_EQ(cramped.continuation.size(), 1u);
}

TEST(RockRidgeRobustness, MutatedAreasAndChainsAreNeverReadPast)
{
    std::mt19937 random(7);
    SystemUseArea valid = PackSystemUse(
        EncodeRockRidgeEntries(Attributes(kModeSymlink | 0777, "/a/" + std::string(300, 'b') + "/../c"),
                               std::string(400, 'n')),
        60);
    for (std::size_t i = 0; i < valid.continuation.size(); ++i) {
        ASSERT_TRUE(PlaceContinuation(valid, i, static_cast<std::uint32_t>(4 + i), 16));
    }
    for (std::uint32_t round = 0; round < 3000; ++round) {
        MemorySector image{test::RandomBytes(8 * kSectorSize, round)};
        std::string record = valid.inlineBytes;
        if (round % 4 == 0) { // random bytes throughout
            record.resize(random() % 200);
            std::generate(record.begin(), record.end(), [&random] { return static_cast<char>(random()); });
        } else { // the valid chain with a few bytes changed
            for (std::size_t i = 0; i < valid.continuation.size(); ++i) {
                image.Put(static_cast<std::uint32_t>(4 + i), 16, valid.continuation[i]);
            }
            for (std::uint32_t change = 0; change <= round % 5; ++change) {
                const std::size_t at = random() % (record.size() + 2 * kSectorSize);
                const auto value = static_cast<std::uint8_t>(random());
                (at < record.size() ? reinterpret_cast<std::uint8_t&>(record[at])
                                    : image.bytes[4 * kSectorSize + at - record.size()]) = value;
            }
        }
        SuspReport report;
        const SystemUseArea area = ReadExact(record, static_cast<std::uint8_t>(random() % 3), image, &report);
        ASSERT_LE(area.continuation.size(), 64u);
        for (const std::string& continuation : area.continuation) {
            ASSERT_LE(continuation.size(), kSectorSize);
        }
        Summary(DecodeRockRidge(area));
        DecodeSuspVolume(area);
        EXPECT_EQ(DecodeRockRidge(RenameSystemUse(area, "n", 100)).name, "n");
    }
}

} // namespace
} // namespace tarvelin::iso
