#pragma once

// Images made by peer tools for the ISO 9660 structure tests, read with a
// plain file read, and a parser for the listings isoinfo prints of them.

#include "iso/iso9660.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin::iso::test_image {

// 2004-07-09 08:05:07 UTC, given to every file and folder of the source tree.
inline constexpr long long kSourceUnixTime = 1089360307;
inline constexpr platform::FileTime kSourceFileTime =
    (static_cast<platform::FileTime>(kSourceUnixTime) + 11644473600ULL) * platform::kFileTimeTicksPerSecond;

// A whole image in memory, read through the same callback the engine uses.
struct Image {
    std::string path;
    std::vector<std::uint8_t> bytes;

    std::uint32_t SectorCount() const { return static_cast<std::uint32_t>(bytes.size() / kSectorSize); }
    ConstBytes SectorBytes(std::uint32_t sector, std::uint32_t count = 1) const
    {
        return ConstBytes(bytes).subspan(std::size_t{sector} * kSectorSize, std::size_t{count} * kSectorSize);
    }
    // A reader that fails the test when asked for a sector outside the image.
    SectorReader Reader() const
    {
        return [this](std::uint32_t sector, std::uint8_t* buffer) {
            if (sector >= SectorCount()) {
                ADD_FAILURE() << "sector " << sector << " read outside an image of " << SectorCount();
                return false;
            }
            std::memcpy(buffer, bytes.data() + std::size_t{sector} * kSectorSize, kSectorSize);
            return true;
        };
    }
};

inline Image LoadImage(const std::string& path)
{
    Image image;
    image.path = path;
    image.bytes = test::ReadWholeFile(path);
    return image;
}

// The source folder of the fixture images:
//   a.txt, "Mixed Case Long Name.text", empty/, Sub/data.bin (5000 bytes),
//   Sub/Deeper/readme, many/ (60 files: its directory spans two sectors).
inline std::string MakeSourceTree(const test::TempDir& dir)
{
    const std::string root = dir / "src";
    std::filesystem::create_directories(root + "/Sub/Deeper");
    std::filesystem::create_directories(root + "/empty");
    std::filesystem::create_directories(root + "/many");
    test::WriteWholeFile(root + "/a.txt", "hello\n");
    test::WriteWholeFile(root + "/Mixed Case Long Name.text", "x\n");
    test::WriteWholeFile(root + "/Sub/data.bin", test::RandomBytes(5000, 7));
    test::WriteWholeFile(root + "/Sub/Deeper/readme", "y\n");
    for (int i = 1; i <= 60; ++i) {
        test::WriteWholeFile(root + "/many/file number " + std::to_string(i) + " with a rather long name.txt",
                             std::to_string(i));
    }
    const test::CommandResult touched = test::RunCommand("find " + test::ShellQuote(root) + " -exec touch -m -d @"
                                                         + std::to_string(kSourceUnixTime) + " {} +");
    EXPECT_EQ(touched.exitCode, 0) << touched.output;
    return root;
}

// genisoimage -J image of the source tree, written in the Asia/Kolkata zone
// (+05:30) so that its dates carry a non-zero offset.
inline Image MakeJolietImage(const test::TempDir& dir)
{
    const std::string source = MakeSourceTree(dir);
    const std::string path = dir / "joliet.iso";
    const test::CommandResult made = test::RunCommand("TZ=Asia/Kolkata genisoimage -quiet -J -V TESTVOL -o "
                                                      + test::ShellQuote(path) + " " + test::ShellQuote(source));
    EXPECT_EQ(made.exitCode, 0) << made.output;
    return LoadImage(path);
}

struct ListedEntry {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t extent = 0;
    unsigned flags = 0;
    bool operator==(const ListedEntry&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const ListedEntry& entry)
{
    return out << '{' << entry.name << ", " << entry.size << ", [" << entry.extent << ' ' << entry.flags << "]}";
}
// Directory path ("/", "/SUB/") -> its records in order.
using Listing = std::map<std::string, std::vector<ListedEntry>>;

// Parses `isoinfo -l` output: "Directory listing of /SUB/" headers and
// lines such as "d---------   0    0    0     2048 Dec  6 2026 [     29 02]  SUB ".
inline Listing ParseIsoinfoListing(const std::string& output)
{
    static const std::string kHeader = "Directory listing of ";
    Listing listing;
    std::string current;
    std::istringstream lines(output);
    std::string text;
    while (std::getline(lines, text)) {
        if (text.rfind(kHeader, 0) == 0) {
            current = text.substr(kHeader.size());
            listing[current];
            continue;
        }
        const std::size_t open = text.find('[');
        const std::size_t close = text.find("]  ", open == std::string::npos ? 0 : open);
        if (current.empty() || open == std::string::npos || close == std::string::npos || text.empty()
            || (text[0] != 'd' && text[0] != '-') || text.back() != ' ') {
            continue;
        }
        // mode, three numbers, size, month, day, year before the bracket.
        std::istringstream before(text.substr(0, open));
        std::string mode, month;
        unsigned long a = 0, b = 0, c = 0, size = 0, day = 0, year = 0;
        std::istringstream inside(text.substr(open + 1, close - open - 1));
        unsigned long extent = 0;
        unsigned flags = 0;
        if (!(before >> mode >> a >> b >> c >> size >> month >> day >> year)
            || !(inside >> extent >> std::hex >> flags)) {
            continue;
        }
        ListedEntry entry;
        entry.size = static_cast<std::uint32_t>(size);
        entry.extent = static_cast<std::uint32_t>(extent);
        entry.flags = flags;
        entry.name = text.substr(close + 3, text.size() - close - 4);
        listing[current].push_back(entry);
    }
    return listing;
}

// "Key: value" lines of `isoinfo -d`.
inline std::map<std::string, std::string> ParseIsoinfoSummary(const std::string& output)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(output);
    std::string text;
    while (std::getline(lines, text)) {
        const std::size_t colon = text.find(": ");
        if (colon != std::string::npos) {
            fields[text.substr(0, colon)] = text.substr(colon + 2);
        }
    }
    return fields;
}

} // namespace tarvelin::iso::test_image
