// The commands over the UDF tree (--tree udf) and info's UDF lines against 7-Zip and udfinfo: genisoimage -udf images
// (no Rock Ridge or Joliet, so the ISO 9660 side cannot pass for UDF), empty mkudffs volumes of each revision, and
// images build --udf makes, also checked by a tag checker of this file's own.

#include "cli/tricky_images.h"
#include "iso/iso_edit_test_support.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/statvfs.h>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::RunForOutput;
using test::ShellQuote;
using test::TempDir;
namespace fs = std::filesystem;

std::string Cli(const std::string& arguments, const std::string& zone = "UTC") { return test::CliLine(arguments, zone); }

// "key=value" lines of udfinfo, which must find nothing to complain of.
std::map<std::string, std::string> UdfinfoFields(const std::string& image)
{
    // Grouped: RunCommand sends standard error to where standard output goes, here nowhere.
    const test::CommandResult complaints = test::RunCommand("{ udfinfo " + ShellQuote(image) + " 2>&1 >/dev/null; }");
    EXPECT_EQ(complaints.exitCode, 0);
    EXPECT_EQ(complaints.output, "") << image; // nothing on standard error
    std::map<std::string, std::string> fields;
    std::istringstream lines(RunForOutput("udfinfo " + ShellQuote(image)));
    std::string line;
    while (std::getline(lines, line)) {
        if (const std::size_t equals = line.find('='); equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return fields;
}

class UdfCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOLS("genisoimage", "xorriso", "mkudffs", "udfinfo", "7z");
    }

    static std::string At(const std::string& name) { return test::TrickyImage(name); }
};

TEST_F(UdfCommandsTest, ListingAndDatesEqualSevenZips)
{
    // The UDF tree is shown by default when the image has one.
    for (const char* ls : {"ls --tree udf -R ", "ls -R "}) {
        for (const char* image : {"udf.iso", "udf-mode1.bin", "udf-alone-mode1.bin"}) {
            SCOPED_TRACE(std::string(ls) + image);
            EXPECT_EQ(test::SortedLines(test::CliOutput(ls + ShellQuote(At(image)))),
                      test::SevenZipPaths(At("udf.iso")));
        }
    }
    // The 7-Zip listing is of the UDF side: the ISO 9660 side has no long names. An image without UDF shows its ISO
    // 9660 tree.
    EXPECT_NE(test::CliOutput("ls --tree iso -R " + ShellQuote(At("udf.iso"))),
              test::CliOutput("ls --tree udf -R " + ShellQuote(At("udf.iso"))));
    EXPECT_EQ(test::CliOutput("ls -R " + ShellQuote(At("rockridge.iso"))),
              test::CliOutput("ls --tree iso -R " + ShellQuote(At("rockridge.iso"))));

    // "size  YYYY-MM-DD HH:MM:SS  extent  path" in a zone east of Greenwich.
    const std::string zone = "Asia/Kolkata";
    std::map<std::string, std::string> ours;
    for (const auto& [path, line] : test::ParseLongListing(
             test::CliOutput("ls --tree udf -R -l " + ShellQuote(At("udf.iso")), zone))) {
        ours[path] = line.date;
    }
    // 7-Zip shows fractions of a second; the listing whole seconds.
    std::map<std::string, std::string> peer = test::SevenZipDates(At("udf.iso"), zone);
    for (auto& [path, date] : peer) {
        date = date.substr(0, 19);
    }
    EXPECT_EQ(ours, peer);
}

TEST_F(UdfCommandsTest, ExtractAndCatGiveTheSourceBytesAndTimes)
{
    const std::string out = At("out");
    test::CliOutput("extract " + ShellQuote(At("udf.iso")) + " -C " + ShellQuote(out));
    // What 7-Zip extracts of the UDF side (genisoimage leaves out what is nested deeper than ISO 9660 allows), with the
    // source's times.
    const std::string peerOut = At("out-7z");
    ASSERT_EQ(test::RunCommand("7z x -y -o" + ShellQuote(peerOut) + " " + ShellQuote(At("udf.iso"))).exitCode, 0);
    const auto extracted = test::SnapshotTree(out);
    const auto peer = test::SnapshotTree(peerOut);
    const auto source = test::SnapshotTree(At("tree"));
    EXPECT_EQ(extracted.size(), peer.size());
    EXPECT_GT(extracted.size(), 20u);
    for (const auto& [path, entry] : peer) {
        const auto found = extracted.find(path);
        ASSERT_NE(found, extracted.end()) << path;
        EXPECT_EQ(found->second.isDirectory, entry.isDirectory) << path;
        EXPECT_TRUE(found->second.bytes == entry.bytes) << path;
        EXPECT_EQ(found->second.modified, source.at(path).modified) << path;
    }
    std::filesystem::remove_all(peerOut);
    std::filesystem::remove_all(out);

    // One file, found without regard to case, and a part of the tree.
    for (const auto& [path, entry] : test::SnapshotTree(At("tree"))) {
        if (!entry.isDirectory && entry.bytes.size() > 2048) {
            EXPECT_EQ(test::CliOutput("cat --tree udf " + ShellQuote(At("udf.iso")) + " " + ShellQuote(path)),
                      std::string(entry.bytes.begin(), entry.bytes.end())) << path;
        }
    }
}

// A volume of UDF alone also in raw sectors (iso2bin's BIN, and its CUE sheet) and behind a header of unknown size:
// read as the plain one, and bin2iso gives that back, which udfinfo and 7-Zip read.
TEST_F(UdfCommandsTest, InfoAgreesWithUdfinfo)
{
    struct Case {
        const char* image;
        const char* mkudffs; // options; nullptr: the genisoimage image
        bool raw = false;    // read from the BIN and CUE sheet iso2bin makes of it
        std::size_t header = 0; // bytes of some other program's header in front of the image (of the BIN when raw)
    };
    const Case cases[] = {
        {"udf.iso", nullptr},
        {"r102.img", "--media-type=dvd --udfrev=1.02 --label=Rev102"},
        {"r150.img", "--media-type=dvd --udfrev=1.50 --label=Rev150"},
        {"r200.img", "--media-type=hd --udfrev=2.00 --label=Rev200"},
        {"r201.img", "--media-type=dvdram --udfrev=2.01 --label=Rev201"},
        {"sparable.img", "--media-type=dvdrw --udfrev=2.01 --label=Sparable"}, // a sparable partition map
        {"raw150.img", "--media-type=dvd --udfrev=1.50 --label=Raw150", true},
        {"raw201.img", "--media-type=hd --udfrev=2.01 --label=Raw201", true},
        {"headed.img", "--media-type=hd --udfrev=2.01 --label=Headed", false, 300},
        {"headed-raw.img", "--media-type=dvd --udfrev=1.50 --label=HeadedRaw", true, 16384 + 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        if (c.mkudffs != nullptr) {
            const test::CommandResult made = test::RunCommand("mkudffs --blocksize=2048 " + std::string(c.mkudffs) + " "
                                                              + ShellQuote(At(c.image)) + " 3000");
            ASSERT_EQ(made.exitCode, 0) << made.output;
        }
        const auto peer = UdfinfoFields(At(c.image));
        std::vector<std::string> read{At(c.image)};
        const auto withHeader = [&c](const std::string& path) {
            if (c.header != 0) {
                std::vector<std::uint8_t> bytes = test::ReadWholeFile(path);
                bytes.insert(bytes.begin(), c.header, 0x5A);
                test::WriteWholeFile(path, bytes);
            }
        };
        if (c.raw) {
            const std::string bin = At(c.image) + ".bin";
            const std::string back = At(c.image) + ".back";
            test::CliOutput("iso2bin " + ShellQuote(At(c.image)) + " " + ShellQuote(bin));
            withHeader(bin);
            test::CliOutput("bin2iso " + ShellQuote(bin) + " " + ShellQuote(back));
            EXPECT_TRUE(test::ReadWholeFile(back) == test::ReadWholeFile(At(c.image)));
            EXPECT_EQ(UdfinfoFields(back).at("lvid"), peer.at("lvid"));
            EXPECT_EQ(test::RunCommand("7z l " + ShellQuote(back)).exitCode, 0);
            read = {bin};
            if (c.header == 0) {
                read.push_back(At(c.image) + ".cue");
            }
        } else {
            withHeader(At(c.image));
        }
        for (const std::string& image : read) {
            const std::string ours = test::CliOutput("info " + ShellQuote(image));
            EXPECT_EQ(test::InfoField(ours, "udf revision"), peer.at("udfrev"));
            EXPECT_EQ(test::InfoField(ours, "udf label"), peer.at("lvid"));
            const int folders = std::stoi(peer.at("numdirs")) - 1; // udfinfo counts the root
            EXPECT_EQ(test::InfoField(ours, "udf entries"), peer.at("numfiles") + " files, " + std::to_string(folders) + " folders");
            EXPECT_EQ(test::InfoField(ours, "udf damage"), "<missing>");
            EXPECT_TRUE(test::InfoField(ours, "layout").starts_with(c.header != 0 ? "probe 4" : c.raw ? "probe 2" : "probe 1"))
                << ours;
            test::CliOutput("ls --tree udf -R " + ShellQuote(image));
        }
    }
    // A raw anchor sector whose error detection code fails is read all the same, and info and ls say so.
    std::vector<std::uint8_t> bin = test::ReadWholeFile(At("raw201.img.bin"));
    bin[256 * 2352 + 16 + 2048] ^= 1;
    const std::string damaged = At("damaged.bin");
    test::WriteWholeFile(damaged, bin);
    for (const char* command : {"info ", "ls --tree udf "}) {
        const test::CommandResult result = test::RunCli(command + ShellQuote(damaged));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_TRUE(test::Contains(result.output, "sector 256 is damaged")) << command << result.output;
    }
}

// Without --tree, ls, cat and extract show the tree that keeps more of a genisoimage bridge: with Rock Ridge, the ISO
// 9660 tree (the UDF side records a symbolic link as an empty file and cuts names to Joliet's 64 characters); without
// it, the UDF tree, whose names are longer than the ISO 9660 ones or than the Joliet ones of the same length.
TEST_F(UdfCommandsTest, TheDefaultTreeIsTheOneThatKeepsMore)
{
    TempDir dir;
    const std::string longName = std::string(240, 'n') + ".txt"; // 244 bytes
    fs::create_directories(dir / "src/sub");
    test::WriteWholeFile(dir / "src/file.txt", "hello\n");
    test::WriteWholeFile(dir / ("src/" + longName), "long\n");
    fs::create_symlink("file.txt", dir / "src/link");
    const struct {
        const char* options;
        bool isoTree;      // the tree shown by default
        std::string shown; // in the default listing
    } cases[] = {
        {"-udf -R -J", true, "link -> file.txt"},
        {"-udf -J", false, longName.substr(0, 64)},
        {"-udf", false, longName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string image = ShellQuote(dir / "out.iso");
        const test::CommandResult made = test::RunCommand("genisoimage -quiet -input-charset utf-8 " + std::string(c.options)
                                                          + " -o " + image + " " + ShellQuote(dir / "src"));
        ASSERT_EQ(made.exitCode, 0) << made.output;
        const std::string listing = test::CliOutput("ls -l " + image);
        EXPECT_EQ(listing, test::CliOutput(std::string("ls -l --tree ") + (c.isoTree ? "iso " : "udf ") + image));
        EXPECT_NE(listing, test::CliOutput(std::string("ls -l --tree ") + (c.isoTree ? "udf " : "iso ") + image));
        EXPECT_NE(listing.find(" " + c.shown + "\n"), std::string::npos) << listing;
        if (c.isoTree) {
            EXPECT_NE(listing.find(" " + longName + "\n"), std::string::npos) << listing;
            // With Joliet names shown (as Windows shows them), the UDF tree's names are as long: it is shown.
            EXPECT_EQ(test::CliOutput("ls -l --names joliet " + image),
                      test::CliOutput("ls -l --tree udf " + image));
            const std::string out = dir / "out";
            test::CliOutput("extract " + image + " -C " + ShellQuote(out));
            EXPECT_TRUE(fs::is_symlink(out + "/link"));
            EXPECT_EQ(fs::read_symlink(out + "/link"), "file.txt");
            EXPECT_EQ(test::ReadWholeFile(out + "/" + longName), test::ReadWholeFile(dir / ("src/" + longName)));
        }
    }
}

TEST_F(UdfCommandsTest, RefusalsSayWhy)
{
    const std::string udf = ShellQuote(At("udf.iso"));
    test::RunCommand("mkudffs --blocksize=2048 --media-type=cdr " + ShellQuote(At("vat.img")) + " 3000");
    // Sound volumes of other blocks (512 is mkudffs's own choice for a hard disk image): said as such, not as an
    // image without an anchor, and without an ISO 9660 tree to stand in, the UDF one's reason is the error.
    for (const char* size : {"512", "4096"}) {
        test::RunCommand(std::string("mkudffs --media-type=hd --blocksize=") + size + " "
                         + ShellQuote(At(std::string("blocks") + size + ".img")) + " 3000");
    }
    // Every anchor zeroed: by default the ISO 9660 tree is shown instead.
    fs::copy_file(At("udf.iso"), At("no-anchor.iso"), fs::copy_options::overwrite_existing);
    {
        const std::uint64_t sectors = fs::file_size(At("no-anchor.iso")) / 2048;
        std::fstream file(At("no-anchor.iso"), std::ios::in | std::ios::out | std::ios::binary);
        for (const std::uint64_t sector : {std::uint64_t{256}, sectors - 257, sectors - 1}) {
            file.seekp(static_cast<std::streamoff>(sector * 2048));
            file.write(std::string(2048, '\0').data(), 2048);
        }
        ASSERT_TRUE(file.good());
    }
    // The root folder's file entry with a byte of its body changed: the reason is said, not only the entry.
    test::RunCommand("mkudffs --media-type=hd --blocksize=2048 " + ShellQuote(At("bad-root.img")) + " 3000");
    {
        std::fstream file(At("bad-root.img"), std::ios::in | std::ios::out | std::ios::binary);
        std::string sector(2048, '\0');
        bool damaged = false;
        for (std::uint64_t at = 257; at < 3000 && !damaged; ++at) {
            file.seekg(static_cast<std::streamoff>(at * 2048));
            file.read(sector.data(), 2048);
            const int id = static_cast<unsigned char>(sector[0]) | (static_cast<unsigned char>(sector[1]) << 8);
            if ((id == 261 || id == 266) && sector[27] == 4) { // a file entry of a folder: the root, alone here
                file.seekp(static_cast<std::streamoff>(at * 2048 + 40));
                file.put(static_cast<char>(sector[40] ^ 1));
                damaged = true;
            }
        }
        ASSERT_TRUE(damaged && file.good());
    }
    test::ExpectRefusals({
        {"ls --tree udf " + ShellQuote(At("bad-root.img")), 1,
         "root folder's file entry cannot be read: the descriptor CRC is wrong"},
        {"ls " + ShellQuote(At("no-anchor.iso")), 0, "cannot be read (no UDF anchor"},
        {"ls --tree udf " + ShellQuote(At("no-anchor.iso")), 2, "no UDF anchor"},
        {"ls --tree udf " + ShellQuote(At("rockridge.iso")), 2, "no UDF anchor"},
        {"ls --tree udf " + ShellQuote(At("vat.img")), 1, "Virtual Partition' is not supported"},
        {"ls " + ShellQuote(At("vat.img")), 1, "cannot read the UDF tree of"},
        {"ls --tree udf " + ShellQuote(At("blocks512.img")), 1, "the UDF volume has 512-byte blocks"},
        {"extract " + ShellQuote(At("blocks4096.img")) + " -C " + ShellQuote(At("none")), 1,
         "the UDF volume has 4096-byte blocks"},
        {"cat --tree udf " + udf + " /", 1, "is a folder"},
        {"ls --tree udf " + udf + " /no/such", 1, "not found"},
        {"rm --tree udf " + udf + " x", 64, "cannot be edited"},
        {"ls --tree hfs " + udf, 64, "--tree takes iso, joliet or udf"},
    });
}

// build --udf ----------------------------------------------------------------

// CRC-16/CCITT, computed here independently of the engine.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) ^ (data[i] >> bit)) & 1;
            crc = static_cast<std::uint16_t>((crc << 1) ^ (top ? 0x1021 : 0));
        }
    }
    return crc;
}

std::uint32_t Le(const std::uint8_t* p, int bytes)
{
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// Why the tag at p (avail bytes) is wrong, or "" when it is right.
std::string TagFault(const std::uint8_t* p, std::size_t avail, std::uint32_t location)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 16; ++i) {
        sum = static_cast<std::uint8_t>(sum + (i == 4 ? 0 : p[i]));
    }
    const std::uint32_t crcLength = Le(p + 10, 2);
    if (sum != p[4]) {
        return "checksum";
    }
    if (16 + crcLength > avail || Crc16(p + 16, crcLength) != Le(p + 8, 2)) {
        return "CRC";
    }
    return Le(p + 12, 4) == location ? "" : "location " + std::to_string(Le(p + 12, 4));
}

// A sparable volume (mkudffs, as for a DVD-RW) whose packet holding the file set was moved to a spare packet, as a
// driver does when the packet cannot be written: the sparing table's first free entry names the packet, both copies
// of the table are updated and the packet's old place is blank. The packet is read where it went.
TEST_F(UdfCommandsTest, APacketMovedBySparingIsReadWhereItWent)
{
    const std::string image = At("spared.img");
    const test::CommandResult made = test::RunCommand("mkudffs --blocksize=2048 --media-type=dvdrw --udfrev=1.50 "
                                                      "--label=Spared " + ShellQuote(image) + " 3000");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const auto sector = [&bytes](std::uint32_t number) { return bytes.data() + std::size_t{number} * 2048; };
    const std::uint8_t* logical = nullptr;
    const std::uint8_t* partition = nullptr;
    const std::uint32_t sequence = Le(sector(256) + 20, 4); // the anchor's main volume descriptor sequence
    for (std::uint32_t at = sequence; at < sequence + 16; ++at) {
        const std::uint32_t id = Le(sector(at), 2);
        logical = id == 6 ? sector(at) : logical;
        partition = id == 5 ? sector(at) : partition;
    }
    ASSERT_TRUE(logical != nullptr && partition != nullptr);
    const std::uint8_t* map = logical + 440;
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(map + 5), 23), "*UDF Sparable Partition");
    const std::uint32_t packetBlocks = Le(map + 40, 2);
    const std::uint32_t fileSet = Le(logical + 252, 4);
    const std::uint32_t packet = fileSet - fileSet % packetBlocks;
    std::uint32_t spare = 0;
    for (std::uint32_t copy = 0; copy < map[42]; ++copy) {
        std::uint8_t* table = sector(Le(map + 48 + 4 * copy, 4));
        ASSERT_EQ(Le(table + 56, 4), 0xFFFFFFFFu); // a free entry
        spare = Le(table + 60, 4);
        for (int i = 0; i < 4; ++i) {
            table[56 + i] = static_cast<std::uint8_t>(packet >> (8 * i));
        }
        const std::uint16_t crc = Crc16(table + 16, Le(table + 10, 2));
        table[8] = static_cast<std::uint8_t>(crc);
        table[9] = static_cast<std::uint8_t>(crc >> 8);
        std::uint8_t sum = 0;
        for (int i = 0; i < 16; ++i) {
            sum = static_cast<std::uint8_t>(sum + (i == 4 ? 0 : table[i]));
        }
        table[4] = sum;
    }
    std::uint8_t* from = sector(Le(partition + 188, 4) + packet);
    std::copy_n(from, std::size_t{packetBlocks} * 2048, sector(spare));
    std::fill_n(from, std::size_t{packetBlocks} * 2048, std::uint8_t{0});
    test::WriteWholeFile(image, bytes);

    EXPECT_EQ(test::CliOutput("ls --tree udf " + ShellQuote(image)), "Non-Allocatable Space\n");
    const std::string info = test::CliOutput("info " + ShellQuote(image));
    EXPECT_EQ(test::InfoField(info, "udf label"), "Spared");
    EXPECT_EQ(test::InfoField(info, "udf damage"), "<missing>");
}

// Checks every descriptor tag of the UDF structures of an image: both descriptor sequences and the integrity
// sequence wherever the anchor at 256 and the logical volume place them, the sectors from the anchor up to the first
// ISO 9660 path table, and the last sector. Sectors from the partition start (the partition descriptor's) hold
// partition-relative tags; a folder's identifiers are followed one by one across its sectors. Returns the tag
// identifiers seen.
std::multiset<std::uint32_t> CheckUdfTags(const std::string& image)
{
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const auto sectors = static_cast<std::uint32_t>(bytes.size() / 2048);
    const auto sector = [&bytes](std::uint32_t n) { return bytes.data() + std::size_t{n} * 2048; };
    const std::vector<std::uint8_t> closing(sector(sectors - 1), sector(sectors));
    std::uint32_t partitionStart = UINT32_MAX;
    std::uint32_t fileSet = UINT32_MAX; // the file set descriptor's block, from the logical volume descriptor
    std::set<std::uint32_t> checked;
    std::multiset<std::uint32_t> seen;
    std::vector<std::uint32_t> integrity; // the integrity sequence's sectors, from the logical volume descriptor
    const auto check = [&](std::uint32_t n) {
        const std::uint8_t* p = sector(n);
        if (!checked.insert(n).second || std::all_of(p, p + 2048, [](std::uint8_t b) { return b == 0; })) {
            return n;
        }
        const std::uint32_t id = Le(p, 2);
        if (id == 5) {
            partitionStart = Le(p + 188, 4);
        }
        if (id == 6) {
            fileSet = Le(p + 252, 4);
            for (std::uint32_t i = 0; i < Le(p + 432, 4) / 2048; ++i) {
                integrity.push_back(Le(p + 436, 4) + i);
            }
        }
        const std::uint32_t location = n >= partitionStart ? n - partitionStart : n;
        if (id != 257) {
            EXPECT_EQ(TagFault(p, 2048, location), "") << "sector " << n << ", tag " << id;
            seen.insert(id);
            return n;
        }
        std::size_t at = 0; // a folder's identifiers, packed across sectors
        const std::size_t avail = bytes.size() - std::size_t{n} * 2048;
        while (at + 38 <= avail && Le(p + at, 2) == 257) {
            EXPECT_EQ(TagFault(p + at, avail - at, location + static_cast<std::uint32_t>(at / 2048)), "")
                << "identifier at sector " << n << " + " << at;
            seen.insert(257);
            at += (38 + Le(p + at + 36, 2) + p[at + 19] + 3) & ~std::size_t{3};
        }
        return n + static_cast<std::uint32_t>((at - 1) / 2048);
    };
    for (const std::size_t sequence : {16, 24}) { // the anchor's main and reserve extents
        const std::uint8_t* extent = sector(256) + sequence;
        for (std::uint32_t n = Le(extent + 4, 4); n < Le(extent + 4, 4) + Le(extent, 4) / 2048; ++n) {
            check(n);
        }
    }
    for (const std::uint32_t n : std::vector<std::uint32_t>(integrity)) {
        check(n);
    }
    // The volume's structures up to the partition, then the file structures from the file set descriptor on, in front
    // of the path tables or placed behind the data, up to the first sector that holds none.
    for (std::uint32_t n = 256; n < partitionStart && n < sectors; ++n) {
        n = check(n);
    }
    EXPECT_LT(std::uint64_t{partitionStart} + fileSet, sectors);
    const std::set<std::uint32_t> fileStructures{8, 256, 257, 261, 266};
    for (std::uint64_t n = std::uint64_t{partitionStart} + fileSet;
         n + 1 < sectors && fileStructures.contains(Le(sector(static_cast<std::uint32_t>(n)), 2)); ++n) {
        n = check(static_cast<std::uint32_t>(n));
    }
    EXPECT_EQ(TagFault(closing.data(), 2048, sectors - 1), "") << "closing anchor";
    seen.insert(Le(closing.data(), 2));
    // No other sector holds an anchor naming itself (genisoimage pads its images with copies): a reader that looks
    // for one near the end would find an old one.
    std::vector<std::uint32_t> anchors;
    for (std::uint32_t n = 0; n < sectors; ++n) {
        if (Le(sector(n), 2) == 2 && Le(sector(n) + 12, 4) == n) {
            anchors.push_back(n);
        }
    }
    EXPECT_EQ(anchors, (std::vector<std::uint32_t>{256, sectors - 1}));
    return seen;
}

// What a tree on disk holds, without the times: paths and bytes.
std::map<std::string, std::vector<std::uint8_t>> TreeBytes(const std::string& root)
{
    std::map<std::string, std::vector<std::uint8_t>> tree;
    for (const auto& [path, entry] : test::SnapshotTree(root)) {
        if (!path.starts_with("[BOOT]")) {
            tree[path] = entry.bytes;
        }
    }
    return tree;
}

// Our reader (both trees), 7-Zip (which takes the UDF tree) and udfinfo see want, the bytes of our UDF extraction
// and 7-Zip's are want's, and every tag checks out. Returns the tags seen.
std::multiset<std::uint32_t> ExpectEveryReaderSees(const std::string& image, const std::string& scratch,
                                                   const std::map<std::string, std::vector<std::uint8_t>>& want)
{
    for (const char* tree : {"udf", "iso"}) {
        EXPECT_EQ(test::SortedLines(test::CliOutput(std::string("ls --tree ") + tree + " -R " + ShellQuote(image))),
                  test::PathsOf(want)) << tree;
    }
    EXPECT_EQ(test::SevenZipPaths(image), test::PathsOf(want));
    EXPECT_NE(RunForOutput("7z l -slt " + ShellQuote(image)).find("Type = Udf"), std::string::npos);
    test::CliOutput("extract --tree udf " + ShellQuote(image) + " -C " + ShellQuote(scratch + "-ours"));
    EXPECT_EQ(test::RunCommand("7z x -y -o" + ShellQuote(scratch + "-peer") + " " + ShellQuote(image)).exitCode, 0);
    EXPECT_EQ(TreeBytes(scratch + "-ours"), want);
    EXPECT_EQ(TreeBytes(scratch + "-peer"), want);
    const auto folders = static_cast<std::size_t>(
        std::count_if(want.begin(), want.end(), [](const auto& entry) { return entry.first.ends_with('/'); }));
    std::map<std::string, std::string> udf = UdfinfoFields(image);
    EXPECT_EQ(udf["numfiles"] + " " + udf["numdirs"],
              std::to_string(want.size() - folders) + " " + std::to_string(folders + 1)); // the root counted
    const std::multiset<std::uint32_t> tags = CheckUdfTags(image);
    EXPECT_EQ(tags.count(261), want.size() + 1); // a file entry each, the root's too
    return tags;
}

class BuiltUdfTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string At(const std::string& name) const { return dir / name; }

    test::CommandResult Build(const std::string& arguments) { return test::RunCommand(Cli("build " + arguments)); }
};

TEST_F(BuiltUdfTest, TheUdfTreeMatchesTheSourceForEveryReader)
{
    TARVELIN_REQUIRE_TOOLS("7z", "udfinfo", "isoinfo");
    const std::string longName(80, 'n');
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"top.txt", 6}, {"a/empty.dat", 0}, {"a/b/Grüße.txt", 3000}, {"a/b/日本語.txt", 4097},
        {"a/b/c/" + longName + ".bin", 70000},
    };
    fs::create_directories(At("in/src/a/b/c"));
    fs::create_directories(At("in/src/vacant"));
    std::uint32_t seed = 1;
    for (const auto& [path, size] : files) {
        test::WriteWholeFile(At("in/src/" + path), test::RandomBytes(size, seed++));
    }
    ASSERT_TRUE(test::Succeeded(Build(ShellQuote(At("out.iso")) + " " + ShellQuote(At("in/src")) + " --udf")));
    const std::multiset<std::uint32_t> tags = ExpectEveryReaderSees(At("out.iso"), At("x"), TreeBytes(At("in")));
    std::map<std::string, std::string> udf = UdfinfoFields(At("out.iso"));
    EXPECT_EQ(udf["udfrev"] + " " + udf["integrity"], "2.01 closed");
    // The ISO 9660 and Joliet trees are still there, over the same data.
    const std::pair<const char*, std::string> trees[] = {
        {"", "/SRC/A/B/C/"},
        {"-J ", "/src/a/b/c/"},
    };
    for (const auto& [option, deepest] : trees) {
        const test::CommandResult iso = test::RunCommand(std::string("isoinfo -l ") + option + "-i " + ShellQuote(At("out.iso")));
        EXPECT_EQ(iso.exitCode, 0);
        EXPECT_NE(iso.output.find("Directory listing of " + deepest), std::string::npos) << option << iso.output;
    }
    // The volume the ISO 9660 descriptor gives is the whole image, UDF included.
    const std::string volume = RunForOutput("isoinfo -d -i " + ShellQuote(At("out.iso")));
    EXPECT_NE(volume.find("Volume size is: " + std::to_string(fs::file_size(At("out.iso")) / 2048)), std::string::npos)
        << volume;
    for (const std::uint32_t id : {1u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 256u, 257u, 261u}) {
        EXPECT_NE(tags.count(id), 0u) << "no tag " << id;
    }
    EXPECT_EQ(tags.count(2), 2u); // anchors at 256 and N-1
}

TEST_F(BuiltUdfTest, AFileOf4GiBOrMoreGoesIntoTheUdfTreeOnly)
{
    TARVELIN_REQUIRE_TOOLS("7z", "isoinfo");
    // The image holds the file's 4.5 GiB written out; its bytes are then read back through pipes, never stored a second
    // time.
    struct statvfs space {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &space), 0);
    TARVELIN_REQUIRE(std::uint64_t{space.f_bavail} * space.f_frsize > (std::uint64_t{10} << 30),
                     "10 GB of free space in " + dir.Path());
    const std::uint64_t size = (std::uint64_t{9} << 29) + 1234; // 4.5 GiB and a bit
    const std::vector<std::uint8_t> first = test::RandomBytes(1 << 20, 41);
    const std::vector<std::uint8_t> last = test::RandomBytes(1 << 20, 42);
    fs::create_directories(At("src"));
    test::WriteSparseFile(At("src/huge.bin"), first, size);
    {
        std::fstream file(At("src/huge.bin"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(size - last.size()));
        file.write(reinterpret_cast<const char*>(last.data()), static_cast<std::streamsize>(last.size()));
        ASSERT_TRUE(file.good());
    }
    test::WriteWholeFile(At("src/small.txt"), "beside it\n");
    test::WriteWholeFile(At("first.bin"), first);
    test::WriteWholeFile(At("last.bin"), last);

    const std::string sources = ShellQuote(At("out.iso")) + " " + ShellQuote(At("src"));
    const test::CommandResult refused = Build(sources);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("4 GiB"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("--udf"), std::string::npos) << refused.output;
    EXPECT_FALSE(fs::exists(At("out.iso")));

    const test::CommandResult built = Build(sources + " --udf");
    ASSERT_EQ(built.exitCode, 0) << built.output;
    EXPECT_NE(built.output.find("recorded in the UDF file system only"), std::string::npos) << built.output;

    const std::string listing = RunForOutput("7z l -slt " + ShellQuote(At("out.iso")));
    EXPECT_NE(listing.find("Type = Udf"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Path = src/huge.bin\nFolder = -\nSize = " + std::to_string(size)), std::string::npos)
        << listing;
    const std::string extract = "7z x -so " + ShellQuote(At("out.iso")) + " src/huge.bin 2>/dev/null | ";
    EXPECT_EQ(test::RunCommand(extract + "head -c 1048576 | cmp - " + ShellQuote(At("first.bin"))).exitCode, 0);
    EXPECT_TRUE(test::Succeeded(test::RunCommand(extract + "tail -c 1048576 | cmp - " + ShellQuote(At("last.bin")))));
    // The UDF tree is shown without --tree: the ISO 9660 tree, Rock Ridge and all, does not reach the file.
    EXPECT_NE(test::CliOutput("ls -l " + ShellQuote(At("out.iso")) + " /src").find(std::to_string(size)),
              std::string::npos);

    const std::string iso = RunForOutput("isoinfo -l -J -i " + ShellQuote(At("out.iso")));
    EXPECT_NE(iso.find("small.txt"), std::string::npos) << iso;
    EXPECT_EQ(iso.find("huge.bin"), std::string::npos) << iso;
    CheckUdfTags(At("out.iso"));
    fs::remove(At("out.iso"));
}

// Names a folder would hold twice stay apart: two sources of one name, and two names alike in the first 127 UTF-16
// units (255 bytes of CS0). Symbolic links beside them are UDF symbolic links: relative, absolute, with "..".
TEST_F(BuiltUdfTest, NamesStayUniqueInTheirFolderAndLinksAreLinks)
{
    TARVELIN_REQUIRE_TOOL("udfinfo");
    std::string stem; // 127 characters beyond 0xFF: 16-bit CS0, 254 bytes of UTF-8
    for (int i = 0; i < 127; ++i) {
        stem += "\xD0\x96";
    }
    fs::create_directories(At("one/sub"));
    fs::create_directories(At("two"));
    test::WriteWholeFile(At("one/same.txt"), "first\n");
    test::WriteWholeFile(At("two/same.txt"), "second\n");
    test::WriteWholeFile(At("one/" + stem + "a"), "a\n");
    test::WriteWholeFile(At("one/" + stem + "b"), "b\n");
    const std::pair<const char*, const char*> links[] = {
        {"one/near", "same.txt"}, {"one/sub/up", "../same.txt"}, {"one/far", "/x/y\xC3\xA9"}};
    for (const auto& [link, target] : links) {
        fs::create_symlink(target, At(link));
    }
    const test::CommandResult built = Build(ShellQuote(At("out.iso")) + " " + ShellQuote(At("one/same.txt")) + " " +
                                            ShellQuote(At("two/same.txt")) + " " + ShellQuote(At("one")) + " --udf");
    ASSERT_EQ(built.exitCode, 0) << built.output;
    const std::vector<std::string> listing =
        test::SortedLines(test::CliOutput("ls --tree udf -R " + ShellQuote(At("out.iso"))));
    std::vector<std::string> expected = {"one/", "one/" + stem, "one/" + stem.substr(0, 125 * 2) + "~1",
                                         "one/same.txt", "same.txt", "same.txt~1", "one/far", "one/near",
                                         "one/sub/", "one/sub/up"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing, expected);
    EXPECT_EQ(test::CliOutput("cat --tree udf " + ShellQuote(At("out.iso")) + " /same.txt~1"), "second\n");
    const std::string longListing = test::CliOutput("ls --tree udf -R -l " + ShellQuote(At("out.iso")));
    for (const auto& [link, target] : links) {
        EXPECT_NE(longListing.find(std::string(link) + " -> " + target), std::string::npos) << longListing;
    }
    // A link has no bytes of its own: cat refuses it, as in the ISO 9660 tree, and writes nothing.
    const test::CommandResult cat = test::RunCommand(Cli("cat --tree udf " + ShellQuote(At("out.iso")) + " /one/near"));
    EXPECT_EQ(cat.exitCode, 1) << cat.output;
    EXPECT_EQ(cat.output, "tarvelin-cli: '/one/near' is a symbolic link to 'same.txt', not a file\n");
    UdfinfoFields(At("out.iso"));
    CheckUdfTags(At("out.iso"));

    // A link added to a bridge that had none is a link there as well, as the build makes it (it used to become an
    // empty file, as genisoimage records links).
    const std::string plain = ShellQuote(At("plain.iso"));
    ASSERT_EQ(Build(plain + " " + ShellQuote(At("two")) + " --udf").exitCode, 0);
    ASSERT_TRUE(test::Succeeded(test::RunCommand(Cli("add " + plain + " " + ShellQuote(At("one/sub"))))));
    const std::string added = test::CliOutput("ls --tree udf -R -l " + plain);
    EXPECT_NE(added.find("sub/up -> ../same.txt"), std::string::npos) << added;
    CheckUdfTags(At("plain.iso"));
}

// Images with a UDF bridge saved in place: a genisoimage -udf -R -J image (one of them booting a loader that no file
// lists, of a length nothing tells) and one build --udf makes, each edited once per case. Every reader sees the edited
// tree (7-Zip takes the UDF side), the bytes are the sources', udfinfo counts it right and every tag checks out. 7-Zip
// takes a UDF volume for a damaged one when data that no UDF file refers to lies behind the last one that does: new
// folders that covered the hidden loader moved it there, and the data of the last file stayed behind its removal.
TEST_F(BuiltUdfTest, EditsOfABridgeImageReachItsUdfTree)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "7z", "udfinfo", "isoinfo");
    fs::create_directories(At("src/sub/deep"));
    test::WriteWholeFile(At("src/a.txt"), "top file\n");
    test::WriteWholeFile(At("src/sub/big.bin"), test::RandomBytes(300000, 3));
    test::WriteWholeFile(At("src/sub/w.txt"), "inside\n");
    test::WriteWholeFile(At("src/sub/deep/d.bin"), test::RandomBytes(5000, 4));
    test::WriteWholeFile(At("new.bin"), test::RandomBytes(70000, 5));
    test::WriteWholeFile(At("loader.bin"), test::RandomBytes(4096, 6));
    test::RunGenisoimage(At("src"), At("genisoimage.iso"), "-udf -R -J");
    fs::copy(At("src"), At("src-boot"), fs::copy_options::recursive);
    fs::copy_file(At("loader.bin"), At("src-boot/loader.bin"));
    test::RunGenisoimage(At("src-boot"), At("hidden.iso"),
                         "-udf -R -J -b loader.bin -no-emul-boot -boot-load-size 4 -hide loader.bin -hide-joliet loader.bin -hide boot.catalog "
                         "-hide-joliet boot.catalog");
    fs::create_directories(At("many"));
    for (int index = 0; index < 40; ++index) {
        test::WriteWholeFile(At("many/f" + std::to_string(index)), std::to_string(index));
    }
    const test::CommandResult built = Build(ShellQuote(At("ours.iso")) + " " + ShellQuote(At("src/a.txt")) + " "
                                            + ShellQuote(At("src/sub")) + " --udf");
    ASSERT_EQ(built.exitCode, 0) << built.output;

    struct Case {
        const char* image;
        std::string command; // after the image's path
        std::function<void(const fs::path&)> onDisk;
    };
    const Case cases[] = {
        {"genisoimage.iso", "add {} " + ShellQuote(At("new.bin")) + " --to /sub/deep",
         [&](const fs::path& root) { fs::copy_file(At("new.bin"), root / "sub/deep/new.bin"); }},
        {"genisoimage.iso", "rm {} /sub/big.bin", [](const fs::path& root) { fs::remove(root / "sub/big.bin"); }},
        {"genisoimage.iso", "mkdir {} /made", [](const fs::path& root) { fs::create_directory(root / "made"); }},
        {"genisoimage.iso", "rename {} /sub/w.txt renamed-with-a-long-name.txt",
         [](const fs::path& root) { fs::rename(root / "sub/w.txt", root / "sub/renamed-with-a-long-name.txt"); }},
        {"hidden.iso", "add {} " + ShellQuote(At("many")),
         [&](const fs::path& root) { fs::copy(At("many"), root / "many"); }},
        {"hidden.iso", "rm {} /sub/deep/d.bin", [](const fs::path& root) { fs::remove(root / "sub/deep/d.bin"); }},
        {"ours.iso", "add {} " + ShellQuote(At("new.bin")) + " --to /",
         [&](const fs::path& root) { fs::copy_file(At("new.bin"), root / "new.bin"); }},
        {"ours.iso", "rm {} /sub", [](const fs::path& root) { fs::remove_all(root / "sub"); }},
        {"ours.iso", "mkdir {} /sub/made", [](const fs::path& root) { fs::create_directory(root / "sub/made"); }},
        {"ours.iso", "rename {} /sub other", [](const fs::path& root) { fs::rename(root / "sub", root / "other"); }},
        {"ours.iso", "boot load {} " + ShellQuote(At("loader.bin")),
         [&](const fs::path& root) { fs::copy_file(At("loader.bin"), root / "loader.bin"); }},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = std::to_string(index++);
        SCOPED_TRACE(std::string(c.image) + ": " + c.command);
        const std::string image = At(name + ".iso");
        fs::copy_file(At(c.image), image);
        const std::string nsr = std::string(c.image) == "ours.iso" ? "yes, NSR03" : "yes, NSR02";
        EXPECT_EQ(test::InfoField(test::CliOutput("info " + ShellQuote(image)), "udf"), nsr);
        // The expected tree: the image's sources with the same edit.
        const fs::path expected = At(name + "-expected");
        fs::create_directories(expected);
        if (std::string(c.image) == "ours.iso") {
            fs::copy_file(At("src/a.txt"), expected / "a.txt");
            fs::copy(At("src/sub"), expected / "sub", fs::copy_options::recursive);
        } else {
            fs::copy(At("src"), expected, fs::copy_options::recursive);
        }
        c.onDisk(expected);
        std::string command = c.command;
        command.replace(command.find("{}"), 2, ShellQuote(image));
        ASSERT_TRUE(test::Succeeded(test::RunCommand(Cli(command))));

        // The save keeps the image's UDF revision: genisoimage's 1.02 (NSR02), our 2.01 (NSR03).
        EXPECT_EQ(test::InfoField(test::CliOutput("info " + ShellQuote(image)), "udf"), nsr);
        const auto want = TreeBytes(expected);
        ExpectEveryReaderSees(image, At(name), want);
        if (std::string(c.image) == "hidden.iso") {
            // What boot save gives (what the catalog loads at least) is the loader's still.
            const std::string saved = At(name + ".boot");
            ASSERT_TRUE(test::Succeeded(test::RunCli("boot save " + ShellQuote(image) + " " + ShellQuote(saved))));
            const auto loader = test::ReadWholeFile(At("loader.bin"));
            const auto bytes = test::ReadWholeFile(saved);
            ASSERT_GE(bytes.size(), 2048u);
            ASSERT_LE(bytes.size(), loader.size());
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), loader.begin()));
        }
        EXPECT_EQ(test::PathsOf(test::IsoinfoDatedListing(image, "-J")), test::PathsOf(want)) << "isoinfo -J";
    }
    // With the loader's length unknown, the end stays when part of it held nothing the image referred to (the data of
    // a file removed by an earlier save), and the save does not blame the file's size for that.
    const std::string twice = At("twice.iso");
    fs::copy_file(At("hidden.iso"), twice);
    ASSERT_TRUE(test::Succeeded(test::RunCli("rm " + ShellQuote(twice) + " /sub/w.txt")));
    const test::CommandResult last = test::RunCli("rm " + ShellQuote(twice) + " /sub/deep/d.bin");
    EXPECT_EQ(last.exitCode, 0);
    EXPECT_EQ(last.output.find("keeps its size"), std::string::npos) << last.output;
    // Removing the boot record drops the loader and with it what left the free space unknown: the end is given back,
    // as 7-Zip needs of a UDF volume (nothing but its closing anchor behind the last sector its tree refers to).
    const auto held = fs::file_size(twice);
    ASSERT_TRUE(test::Succeeded(test::RunCli("boot remove " + ShellQuote(twice))));
    EXPECT_LT(fs::file_size(twice), held);
    EXPECT_EQ(test::InfoField(test::CliOutput("info " + ShellQuote(twice)), "free space").find("unknown"),
              std::string::npos);
    const test::CommandResult tested = test::RunCommand("7z t " + ShellQuote(twice));
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
}

// A bridge of many small files has a file entry a sector for each in front of its data: an add that needs one more
// moves the few small files in the way rather than every file entry, path table and folder behind the data, which
// grew this image by 4.5 MB (and one of 20,000 files by 47 MB).
TEST_F(BuiltUdfTest, AnAddToABridgeOfManyFilesGrowsItByWhatItAdds)
{
    TARVELIN_REQUIRE_TOOLS("7z", "udfinfo", "isoinfo");
    fs::create_directories(At("in/src"));
    for (int index = 0; index < 2000; ++index) {
        test::WriteWholeFile(At("in/src/f" + std::to_string(index) + ".txt"), std::to_string(index) + "\n");
    }
    const std::string image = At("many.iso");
    ASSERT_TRUE(test::Succeeded(Build(ShellQuote(image) + " " + ShellQuote(At("in/src")) + " --udf")));
    const auto length = fs::file_size(image);
    const auto before = test::IsoinfoDatedListing(image, "-J");
    test::WriteWholeFile(At("in/new.txt"), "new\n");
    ASSERT_TRUE(test::Succeeded(test::RunCli("add " + ShellQuote(image) + " " + ShellQuote(At("in/new.txt")))));
    EXPECT_LE(fs::file_size(image), length + 8 * 2048);
    const auto after = test::IsoinfoDatedListing(image, "-J");
    const auto moved = std::count_if(before.begin(), before.end(), [&](const auto& entry) {
        return !entry.first.ends_with('/') && after.at(entry.first).extent != entry.second.extent;
    });
    EXPECT_LE(moved, 4);
    ExpectEveryReaderSees(image, At("x"), TreeBytes(At("in")));
}

// Saves of a genisoimage -udf -R -J image keep what its UDF volume says of itself: revision 1.02, the write-protect
// flags, the serial, names and application, the protected flag of its partition's contents, the places of its
// descriptor sequences and partition, and its link recorded as an empty file, as 7-Zip (which refuses a UDF tree
// holding a symbolic link) read it. genisoimage's first file lies right behind its metadata: a rename leaves every file
// where it was and the image as long as it was. The anchor copies genisoimage pads the image with do not stay behind
// in the saved volume naming the old descriptor sequences, which udfinfo would warn of.
TEST_F(BuiltUdfTest, SavesKeepWhatTheUdfVolumeSaysOfItself)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "7z", "udfinfo");
    fs::create_directories(At("src"));
    fs::create_directories(At("add/deep"));
    test::WriteWholeFile(At("src/a.txt"), "hello\n");
    test::WriteWholeFile(At("src/b.bin"), test::RandomBytes(100000, 8)); // the new volume ends in the old padding
    test::WriteWholeFile(At("add/deep/x.cfg"), "x\n");
    fs::create_symlink("a.txt", At("src/link"));
    test::RunGenisoimage(At("src"), At("u.iso"), "-udf -R -J");
    const std::string image = ShellQuote(At("u.iso"));
    const auto keptFields = [&] {
        std::map<std::string, std::string> fields = UdfinfoFields(At("u.iso"));
        std::string kept;
        for (const char* key :
             {"udfrev", "udfwriterev", "softwriteprotect", "hardwriteprotect", "uuid", "lvid", "vid", "appid"}) {
            kept += std::string(key) + "=" + fields[key] + "\n";
        }
        // The flags of each partition descriptor's contents identifier (genisoimage: protected).
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(At("u.iso"));
        for (std::size_t at = 16 * 2048; at + 2048 <= bytes.size() && at < 512 * 2048; at += 2048) {
            const bool partition = bytes[at] == 5 && bytes[at + 1] == 0 && bytes[at + 12] == ((at / 2048) & 0xFF);
            if (partition && std::string_view(reinterpret_cast<const char*>(&bytes[at + 25]), 4) == "+NSR") {
                kept += "contents flags=" + std::to_string(bytes[at + 24]) + "\n";
            }
        }
        // Where the sequences, the integrity sequence and the partition start (genisoimage: 32, 48, 64, 257).
        std::istringstream places(test::RunCommand("udfinfo " + image).output);
        for (std::string line; std::getline(places, line);) {
            for (const char* type : {"MVDS", "RVDS", "LVID", "PSPACE"}) {
                if (line.starts_with("start=") && line.ends_with(std::string("type=") + type)) {
                    kept += line.substr(0, line.find(',')) + " " + type + "\n";
                }
            }
        }
        return kept;
    };
    const auto extents = [&] {
        std::multiset<std::uint32_t> out;
        for (const auto& [path, entry] : test::IsoinfoDatedListing(At("u.iso"), "")) {
            out.insert(entry.extent);
        }
        return out;
    };
    const std::string before = keptFields();
    ASSERT_NE(before.find("udfrev=1.02\nudfwriterev=1.02\nsoftwriteprotect=yes\nhardwriteprotect=yes"),
              std::string::npos) << before;
    ASSERT_NE(before.find("contents flags=2\ncontents flags=2\n"), std::string::npos) << before; // both sequences
    ASSERT_NE(before.find("start=257 PSPACE"), std::string::npos) << before;
    for (const std::string& command :
         {"rename " + image + " /a.txt b.txt", "add " + image + " " + ShellQuote(At("add"))}) {
        SCOPED_TRACE(command);
        const auto placesBefore = extents();
        const auto lengthBefore = fs::file_size(At("u.iso"));
        ASSERT_TRUE(test::Succeeded(test::RunCommand(Cli(command))));
        EXPECT_EQ(keptFields(), before);
        if (command.starts_with("rename")) {
            EXPECT_EQ(extents(), placesBefore);
            EXPECT_EQ(fs::file_size(At("u.iso")), lengthBefore);
        }
        EXPECT_EQ(test::RunCommand("7z l -tudf " + image).exitCode, 0);
        EXPECT_EQ(test::CliOutput("ls --tree udf -l " + image + " /").find(" -> "), std::string::npos);
    }
    // A new label, set as the Properties dialog sets it, is the UDF volume's too (Windows shows that one); the rest
    // stays.
    {
        test::EditHandle edit;
        ASSERT_TRUE(edit->Open(At("u.iso").c_str()));
        edit->LoadTree();
        iso::VolumeProperties properties = edit->GetVolumeProperties();
        properties.volumeIdentifier = "New label";
        ASSERT_TRUE(edit->SetVolumeProperties(properties));
        ASSERT_EQ(test::SaveAndWait(edit.get()).finalValue, kSaveDone);
    }
    std::map<std::string, std::string> relabelled = UdfinfoFields(At("u.iso"));
    EXPECT_EQ(relabelled["label"] + "|" + relabelled["lvid"] + "|" + relabelled["vid"], "New label|New label|New label");
    const auto withoutLabels = [](const std::string& fields) {
        std::istringstream lines(fields);
        std::string out;
        for (std::string line; std::getline(lines, line);) {
            out += line.starts_with("lvid=") || line.starts_with("vid=") ? "" : line + "\n";
        }
        return out;
    };
    EXPECT_EQ(withoutLabels(keptFields()), withoutLabels(before));
}

// An image whose UDF tree holds more than its ISO 9660 tree is not saved: the save would lose or cut the files only
// the UDF tree has whole. The image stays as it was. Each row changes the ISO 9660 and Joliet records of one file:
// to name another file's data, as if the file were in the UDF tree only; or to record a smaller size, as images of
// files of 4 GiB or more carry them where their ISO 9660 tree keeps only the low 32 bits of the size
// (genisoimage -allow-limited-size -udf).
TEST_F(BuiltUdfTest, AUdfTreeHoldingMoreThanTheIsoTreeIsRefusedAndUntouched)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    constexpr std::uint32_t kUdfOnlySize = 9000;
    struct Case {
        const char* name;
        bool size; // patch the size, else the extent
        const char* refusal;
    };
    const Case cases[] = {
        {"extent", false, "the UDF tree holds 1 files the ISO 9660 tree lacks"},
        {"size", true, "the UDF tree holds 1 files larger than the ISO 9660 tree records them"},
    };
    fs::create_directories(At("src"));
    test::WriteWholeFile(At("src/kept.txt"), "in both trees\n");
    test::WriteWholeFile(At("src/only-udf.bin"), test::RandomBytes(kUdfOnlySize, 7));
    ASSERT_EQ(Build(ShellQuote(At("built.iso")) + " " + ShellQuote(At("src/kept.txt")) + " "
                    + ShellQuote(At("src/only-udf.bin")) + " --udf").exitCode, 0);
    std::map<std::string, std::uint32_t> extents;
    for (const auto& [path, entry] : test::IsoinfoDatedListing(At("built.iso"), "-J")) {
        extents[path] = entry.extent;
    }
    ASSERT_EQ(extents.count("kept.txt"), 1u);
    ASSERT_EQ(extents.count("only-udf.bin"), 1u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> image = test::ReadWholeFile(At("built.iso"));
        const int patched = test::ReplaceBothOrderFields(image, {c.size ? kUdfOnlySize : extents["only-udf.bin"]},
                                                         {c.size ? kUdfOnlySize - 8192 : extents["kept.txt"]});
        ASSERT_EQ(patched, 2); // the ISO 9660 record and the Joliet one
        test::WriteWholeFile(At("out.iso"), image);

        const test::CommandResult refused = test::RunCommand(Cli("mkdir " + ShellQuote(At("out.iso")) + " /more"));
        EXPECT_NE(refused.exitCode, 0);
        EXPECT_NE(refused.output.find(c.refusal), std::string::npos) << refused.output;
        EXPECT_EQ(test::ReadWholeFile(At("out.iso")), image);
    }
}

} // namespace
} // namespace tarvelin
