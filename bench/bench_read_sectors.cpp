// Sequential ReadSectors throughput over a whole image held in the page
// cache, against a plain read of the same file with a 1 MiB buffer.
//
// usage: bench_read_sectors [--dir FOLDER] [--megabytes N]
//   FOLDER: where the images are made (default: the temporary folder);
//   N: user data per image in MB (default 512).
// Untimed set-up: ~1 GB written and deleted (so the file system has settled),
// a plain image of N MB and a raw Mode 1 image of the same sectors, each read
// once to bring it into the page cache. Timed: ReadSectors in 64-sector and
// 1-sector calls from sector 0 to the end, and the peer read; each figure is
// the best of three passes. Rates are MB (10^6 bytes) of user data per second;
// the ratio is against the peer reading the same file.

#include "core/iso_sector.h"
#include "core/raw_sector.h"
#include "platform/file.h"
#include "platform/path.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace tarvelin;

constexpr std::size_t kSector = raw::kUserDataSize;
constexpr std::size_t kChunkSectors = 512; // 1 MiB of user data per write
constexpr std::size_t kPeerBuffer = 1024 * 1024;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "bench_read_sectors: %s\n", what.c_str());
    std::exit(1);
}

// Fills the chunk of sectors first.. with pseudo-random bytes; sectors 16
// and 17 get the two volume descriptor heads that layout detection looks
// for (a primary descriptor and the set terminator).
void FillChunk(std::vector<std::uint8_t>& chunk, std::size_t firstSector, std::mt19937_64& random)
{
    for (std::size_t i = 0; i + 8 <= chunk.size(); i += 8) {
        const std::uint64_t value = random();
        std::memcpy(chunk.data() + i, &value, 8);
    }
    for (std::size_t sector = 16; sector <= 17; ++sector) {
        if (sector < firstSector || sector >= firstSector + chunk.size() / kSector) {
            continue;
        }
        std::uint8_t* head = chunk.data() + (sector - firstSector) * kSector;
        head[0] = sector == 16 ? 1 : 255;
        std::memcpy(head + 1, "CD001", 5);
        head[6] = 1;
    }
}

void WriteAll(platform::File& file, const std::uint8_t* bytes, std::size_t size)
{
    if (!file.Write(bytes, size)) {
        Fail(file.LastError());
    }
}

// The plain image and its raw Mode 1 form, written side by side.
void MakeImages(const std::string& plainPath, const std::string& rawPath, std::size_t sectors)
{
    platform::File plain;
    platform::File rawFile;
    if (!plain.Open(plainPath, platform::OpenMode::CreateTruncate)) {
        Fail(plain.LastError());
    }
    if (!rawFile.Open(rawPath, platform::OpenMode::CreateTruncate)) {
        Fail(rawFile.LastError());
    }
    std::mt19937_64 random(2352);
    std::vector<std::uint8_t> chunk(kChunkSectors * kSector);
    std::vector<std::uint8_t> encoded(kChunkSectors * raw::kSectorSize);
    for (std::size_t first = 0; first < sectors; first += kChunkSectors) {
        const std::size_t count = std::min(kChunkSectors, sectors - first);
        chunk.resize(count * kSector);
        FillChunk(chunk, first, random);
        raw::EncodeMode1Sectors(chunk.data(), count, static_cast<std::uint32_t>(first), encoded.data());
        WriteAll(plain, chunk.data(), chunk.size());
        WriteAll(rawFile, encoded.data(), count * raw::kSectorSize);
    }
}

void WriteAndDelete(const std::string& path, std::size_t megabytes)
{
    {
        platform::File file;
        if (!file.Open(path, platform::OpenMode::CreateTruncate)) {
            Fail(file.LastError());
        }
        std::vector<std::uint8_t> block(1000 * 1000, 0x5A);
        for (std::size_t i = 0; i < megabytes; ++i) {
            WriteAll(file, block.data(), block.size());
        }
        file.Flush();
    }
    std::remove(path.c_str());
}

// Best of three timed passes, in seconds.
double BestSeconds(const std::function<void()>& pass)
{
    double best = 1e30;
    for (int trial = 0; trial < 3; ++trial) {
        const auto start = Clock::now();
        pass();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Reads the image from sector 0 to its end in calls of perCall sectors.
void ReadImage(IIsoSector& sectors, std::uint32_t total, std::uint32_t perCall, std::vector<std::uint8_t>& buffer)
{
    buffer.resize(std::size_t{perCall} * kSector);
    for (std::uint32_t sector = 0; sector < total; sector += perCall) {
        const std::uint32_t count = std::min(perCall, total - sector);
        if (!sectors.ReadSectors(sector, buffer.data(), count)) {
            Fail(std::string("ReadSectors failed: ") + sectors.GetLastError());
        }
    }
}

void ReadFilePlainly(const std::string& path, std::vector<std::uint8_t>& buffer)
{
    platform::File file;
    if (!file.Open(path, platform::OpenMode::ReadOnly)) {
        Fail(file.LastError());
    }
    buffer.resize(kPeerBuffer);
    while (file.Read(buffer.data(), buffer.size()) > 0) {
    }
}

void MeasureImage(const char* name, const std::string& path)
{
    IIsoSector* sectors = Sector1();
    if (sectors == nullptr || !sectors->Open(path.c_str())) {
        Fail(std::string("cannot open ") + path + (sectors ? std::string(": ") + sectors->GetLastError() : ""));
    }
    const std::uint32_t total = sectors->GetSectorCount();
    const double userMegabytes = static_cast<double>(total) * kSector / 1e6;
    std::vector<std::uint8_t> buffer;

    // The peer runs while the image is not held open (it is locked while open).
    DestroyComponent(sectors);
    ReadFilePlainly(path, buffer); // into the page cache
    const double peer = BestSeconds([&] { ReadFilePlainly(path, buffer); });

    sectors = Sector1();
    if (!sectors->Open(path.c_str())) {
        Fail(sectors->GetLastError());
    }
    std::printf("%s: %u sectors, track mode %u, %.0f MB of user data\n", name, total, sectors->GetTrackMode(),
                userMegabytes);
    std::printf("  peer: 1 MiB reads of the file   %8.0f MB/s of user data\n", userMegabytes / peer);
    for (const std::uint32_t perCall : {64u, 1u}) {
        const double seconds = BestSeconds([&] { ReadImage(*sectors, total, perCall, buffer); });
        std::printf("  ReadSectors, %2u sectors a call   %8.0f MB/s of user data  (%.2fx the peer)\n", perCall,
                    userMegabytes / seconds, peer / seconds);
    }
    std::fflush(stdout);
    DestroyComponent(sectors);
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder = platform::TempFolder();
    std::size_t megabytes = 512;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            folder = argv[++i];
        } else if (std::strcmp(argv[i], "--megabytes") == 0 && i + 1 < argc) {
            megabytes = static_cast<std::size_t>(std::atol(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--dir FOLDER] [--megabytes N]\n", argv[0]);
            return 2;
        }
    }
    const std::size_t sectors = std::max<std::size_t>(64, megabytes * 1000 * 1000 / kSector);
    const std::string plainPath = platform::JoinPath(folder, "tarvelin-bench-read.iso");
    const std::string rawPath = platform::JoinPath(folder, "tarvelin-bench-read.bin");

    WriteAndDelete(platform::JoinPath(folder, "tarvelin-bench-settle.tmp"), 1000);
    MakeImages(plainPath, rawPath, sectors);
    MeasureImage("plain image", plainPath);
    MeasureImage("raw Mode 1 image", rawPath);
    std::remove(plainPath.c_str());
    std::remove(rawPath.c_str());
    return 0;
}
