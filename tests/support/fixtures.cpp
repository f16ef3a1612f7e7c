#include "support/fixtures.h"

#include "support/reference_ecma130.h"
#include "support/test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tarvelin::test {

void MakeFolderTree(const std::string& root, std::uint32_t seed)
{
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(root) / "docs" / "deep" / "deeper");
    fs::create_directories(fs::path(root) / "empty folder");
    WriteWholeFile(root + "/readme.txt", std::string("A small text file.\n"));
    WriteWholeFile(root + "/empty.dat", std::vector<std::uint8_t>{});
    WriteWholeFile(root + "/docs/three-sectors.bin", RandomBytes(3 * kLogicalSectorSize, seed));
    WriteWholeFile(root + "/docs/odd-size.bin", RandomBytes(5 * kLogicalSectorSize + 777, seed + 1));
    WriteWholeFile(root + "/docs/deep/deeper/large.bin", RandomBytes(40 * kLogicalSectorSize + 5, seed + 2));
    WriteWholeFile(root + "/docs/deep/Mixed Case Name.txt", std::string("mixed case\n"));
}

void MakeIsoWithGenisoimage(const std::string& folder, const std::string& isoPath, const std::string& extraOptions)
{
    const CommandResult result = RunCommand("genisoimage -quiet -R -J -V TARVELIN_TEST " + extraOptions + " -o "
                                            + ShellQuote(isoPath) + " " + ShellQuote(folder));
    if (result.exitCode != 0) {
        throw std::runtime_error("genisoimage failed: " + result.output);
    }
}

std::vector<std::uint8_t> EncodeRawImage(const std::vector<std::uint8_t>& plain, RawForm form, std::uint32_t firstLba)
{
    constexpr std::size_t kRawSize = 2352;
    constexpr std::uint8_t kSubheader[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};
    const std::size_t sectors = (plain.size() + kLogicalSectorSize - 1) / kLogicalSectorSize;
    std::vector<std::uint8_t> padded(plain);
    padded.resize(sectors * kLogicalSectorSize);
    std::vector<std::uint8_t> image(sectors * kRawSize);
    for (std::size_t i = 0; i < sectors; ++i) {
        const std::uint8_t* data = padded.data() + i * kLogicalSectorSize;
        const auto lba = firstLba + static_cast<std::uint32_t>(i);
        if (form == RawForm::Mode1) {
            ReferenceEncodeMode1(data, lba, image.data() + i * kRawSize);
        } else {
            ReferenceEncodeMode2Form1(data, lba, kSubheader, image.data() + i * kRawSize);
        }
    }
    return image;
}

void MakeRawBin(const std::string& isoPath, const std::string& binPath, RawForm form)
{
    WriteWholeFile(binPath, EncodeRawImage(ReadWholeFile(isoPath), form));
}

std::vector<std::uint8_t> EncodeMode2Sectors2336(const std::vector<std::uint8_t>& plain)
{
    constexpr std::size_t kStoredSize = 2336;
    constexpr std::uint8_t kSubheader[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};
    const std::size_t sectors = (plain.size() + kLogicalSectorSize - 1) / kLogicalSectorSize;
    std::vector<std::uint8_t> image(sectors * kStoredSize, 0xE5);
    for (std::size_t i = 0; i < sectors; ++i) {
        std::uint8_t* stored = image.data() + i * kStoredSize;
        std::copy(std::begin(kSubheader), std::end(kSubheader), stored);
        const std::size_t begin = i * kLogicalSectorSize;
        const std::size_t end = std::min(plain.size(), begin + kLogicalSectorSize);
        std::fill(stored + 8, stored + 8 + kLogicalSectorSize, 0);
        std::copy(plain.begin() + static_cast<std::ptrdiff_t>(begin), plain.begin() + static_cast<std::ptrdiff_t>(end),
                  stored + 8);
    }
    return image;
}

void WriteSparseFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::uint64_t length)
{
    WriteWholeFile(path, bytes);
    std::error_code error;
    std::filesystem::resize_file(path, length, error);
    if (error) {
        throw std::runtime_error("cannot extend " + path + ": " + error.message());
    }
}

std::vector<std::uint8_t> ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t count)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<std::uint8_t> bytes(count);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(in ? count : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

} // namespace tarvelin::test
