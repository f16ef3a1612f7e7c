#pragma once

// The images of the tricky tree (MakeTrickyTree) that the ls, extract, read and UDF command tests read, made once on
// first use: tree/, genisoimage's jr.iso (-J -R -joliet-long), joliet.iso (-J -joliet-long -D, in Asia/Tokyo),
// primary.iso (-D), rockridge.iso (-R -D), udf.iso (-udf); xorriso's El Torito images of noemul/, floppy/ and harddisk/
// (noemul.iso, floppy.iso, harddisk.iso); raw forms jr-mode1.bin, jr-mode2.bin, udf-mode1.bin, floppy-mode1.bin, and
// udf-alone-mode1.bin: udf.iso's UDF volume alone.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin::test {

// A bridge image's UDF volume alone: its UDF recognition sequence moved to sector 16 over the ISO 9660 descriptors,
// which are gone (the UDF volume does not record where the sequence lies).
inline std::vector<std::uint8_t> UdfAlone(std::vector<std::uint8_t> image)
{
    constexpr std::size_t kSector = 2048;
    const std::string begin("\0BEA01\1", 7);
    std::size_t from = 16;
    while (from * kSector + begin.size() < image.size()
           && !std::equal(begin.begin(), begin.end(), image.begin() + static_cast<std::ptrdiff_t>(from * kSector))) {
        ++from;
    }
    const auto at = [&image](std::size_t sector) { return image.begin() + static_cast<std::ptrdiff_t>(sector * kSector); };
    std::copy(at(from), at(from + 3), at(16)); // BEA01, NSR02, TEA01
    std::fill(at(19), at(from + 3), 0);
    return image;
}

inline std::string TrickyImage(const std::string& name)
{
    static const std::unique_ptr<TempDir> made = [] {
        auto dir = std::make_unique<TempDir>();
        const auto at = [&dir](const std::string& file) { return *dir / file; };
        MakeTrickyTree(at("tree"));
        RunGenisoimage(at("tree"), at("jr.iso"), "-J -R -joliet-long");
        RunGenisoimage(at("tree"), at("joliet.iso"), "-J -joliet-long -D", "Asia/Tokyo");
        RunGenisoimage(at("tree"), at("primary.iso"), "-D");
        RunGenisoimage(at("tree"), at("rockridge.iso"), "-R -D");
        RunGenisoimage(at("tree"), at("udf.iso"), "-udf");
        MakeRawBin(at("jr.iso"), at("jr-mode1.bin"), RawForm::Mode1);
        MakeRawBin(at("jr.iso"), at("jr-mode2.bin"), RawForm::Mode2Form1);
        MakeRawBin(at("udf.iso"), at("udf-mode1.bin"), RawForm::Mode1);
        WriteWholeFile(at("udf-alone-mode1.bin"), EncodeRawImage(UdfAlone(ReadWholeFile(at("udf.iso"))), RawForm::Mode1));
        std::filesystem::create_directories(at("noemul/sub"));
        WriteWholeFile(at("noemul/boot.img"), RandomBytes(5000, 21));
        WriteWholeFile(at("noemul/sub/file.txt"), std::string("beside the boot image\n"));
        RunXorrisoMkisofs(at("noemul"), at("noemul.iso"), "-J -R -b boot.img -no-emul-boot -boot-load-size 4");
        std::filesystem::create_directories(at("floppy"));
        WriteWholeFile(at("floppy/boot.img"), RandomBytes(1474560, 22));
        RunXorrisoMkisofs(at("floppy"), at("floppy.iso"), "-J -R -b boot.img");
        MakeRawBin(at("floppy.iso"), at("floppy-mode1.bin"), RawForm::Mode1);
        std::vector<std::uint8_t> disk = RandomBytes(64 * 512, 31);
        const std::uint8_t partition[16] = {0x80, 0, 2, 0, 0x83, 0, 0, 0, 1, 0, 0, 0, 63, 0, 0, 0};
        std::copy(std::begin(partition), std::end(partition), disk.begin() + 446);
        std::fill(disk.begin() + 462, disk.begin() + 510, 0);
        disk[510] = 0x55;
        disk[511] = 0xAA;
        std::filesystem::create_directories(at("harddisk"));
        WriteWholeFile(at("harddisk/disk.img"), disk);
        RunXorrisoMkisofs(at("harddisk"), at("harddisk.iso"), "-J -b disk.img -hard-disk-boot");
        return dir;
    }();
    return *made / name;
}

// A test of the tricky images: they need genisoimage and xorriso.
class TrickyImagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        TARVELIN_REQUIRE_TOOL("xorriso");
    }
    static std::string At(const std::string& name) { return TrickyImage(name); }
};

} // namespace tarvelin::test
