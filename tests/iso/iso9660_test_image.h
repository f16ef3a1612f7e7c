#pragma once

// Images for the ISO 9660, Rock Ridge and UDF reader tests: a whole image in memory, read through
// the callback the engine's decoders take, and a peer-tool image of a fixed source tree.

#include "iso/iso9660.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::iso::test_image {

// Sectors of 2048 bytes in memory. Reads outside the image fail and are noted, as is the highest read.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::string path;
    mutable std::uint32_t highestRead = 0;
    mutable bool readOutside = false;

    explicit Image(std::vector<std::uint8_t> content = {}, std::string from = {})
        : bytes(std::move(content)), path(std::move(from)) {}
    std::uint32_t SectorCount() const { return static_cast<std::uint32_t>(bytes.size() / kSectorSize); }
    ConstBytes SectorBytes(std::uint32_t sector, std::uint32_t count = 1) const
    {
        return ConstBytes(bytes).subspan(std::size_t{sector} * kSectorSize, std::size_t{count} * kSectorSize);
    }
    Bytes At(std::uint32_t sector) { return Bytes(bytes).subspan(std::size_t{sector} * kSectorSize, kSectorSize); }
    void Put(std::uint32_t sector, std::uint32_t offset, std::string_view data)
    {
        std::memcpy(bytes.data() + std::size_t{sector} * kSectorSize + offset, data.data(), data.size());
    }
    SectorReader Reader() const
    {
        return [this](std::uint32_t sector, std::uint8_t* buffer) {
            if (sector >= SectorCount()) {
                readOutside = true;
                return false;
            }
            highestRead = std::max(highestRead, sector);
            std::memcpy(buffer, bytes.data() + std::size_t{sector} * kSectorSize, kSectorSize);
            return true;
        };
    }
};

// A both-endian 32-bit number as the bytes of a system use entry.
inline std::string Both32(std::uint32_t value)
{
    std::string bytes(8, '\0');
    PutBoth32(Bytes(reinterpret_cast<std::uint8_t*>(bytes.data()), 8), 0, value);
    return bytes;
}

inline Image Blank(std::uint32_t sectors) { return Image{std::vector<std::uint8_t>(std::size_t{sectors} * kSectorSize)}; }
inline Image LoadImage(const std::string& path) { return Image{test::ReadWholeFile(path), path}; }

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
    return root;
}

// genisoimage -J image of the source tree, made in the +05:30 zone so that its dates carry an offset.
inline Image MakeJolietImage(const test::TempDir& dir)
{
    const std::string source = MakeSourceTree(dir);
    const std::string path = dir / "joliet.iso";
    const test::CommandResult made = test::RunCommand("TZ=Asia/Kolkata genisoimage -quiet -J -V TESTVOL -o "
                                                      + test::ShellQuote(path) + " " + test::ShellQuote(source));
    EXPECT_EQ(made.exitCode, 0) << made.output;
    return LoadImage(path);
}

} // namespace tarvelin::iso::test_image
