// The whole reading stack run in-process on thousands of genisoimage images (Joliet, and primary only) with directory
// sectors damaged from a fixed seed: no crash, nothing outside the destination, no short file.

#include "command.h"
#include "operations.h"

#include "iso/iso9660.h"

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSector = 2048;

void MakeSmallTree(const std::string& root)
{
    std::uint32_t seed = 100;
    for (const char* folder : {"", "alpha/", "alpha/beta/", "alpha/beta/gamma/", "delta/", "delta/epsilon/", "zeta/"}) {
        fs::create_directories(root + "/" + folder);
        for (int i = 0; i < 4; ++i) {
            const std::size_t size = (seed * 2654435761u) % 5000;
            test::WriteWholeFile(root + "/" + folder + "file" + std::to_string(i) + ".bin",
                                 test::RandomBytes(size, seed));
            ++seed;
        }
    }
    fs::create_directories(root + "/empty");
}

// The sectors holding the directories of the tree a reader takes (Joliet when there is one, else primary), found by
// walking the intact image.
std::vector<std::uint32_t> DirectorySectors(const std::vector<std::uint8_t>& image)
{
    const auto sectorCount = static_cast<std::uint32_t>(image.size() / kSector);
    const iso::SectorReader read = [&image, sectorCount](std::uint32_t sector, std::uint8_t* buffer) {
        if (sector >= sectorCount) {
            return false;
        }
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(sector * kSector), kSector, buffer);
        return true;
    };
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, sectorCount);
    const auto descriptor =
        iso::ReadVolumeDescriptor(read, sectorCount, set.jolietSector.value_or(iso::kFirstDescriptorSector));
    if (!descriptor) {
        return {};
    }
    std::vector<std::uint32_t> sectors;
    std::vector<iso::DirectoryRecord> pending{descriptor->rootRecord};
    while (!pending.empty()) {
        const iso::DirectoryRecord directory = pending.back();
        pending.pop_back();
        for (std::uint32_t i = 0; i < iso::SectorsFor(directory.dataLength); ++i) {
            const std::uint32_t sector = directory.extent + i;
            sectors.push_back(sector);
            const iso::ConstBytes bytes(image.data() + std::size_t{sector} * kSector, kSector);
            for (const iso::DirectoryRecord& record : iso::DecodeDirectorySector(bytes).records) {
                if (record.IsDirectory() && !record.IsSelf() && !record.IsParent()) {
                    pending.push_back(record);
                }
            }
        }
    }
    return sectors;
}

// Offsets of the records in one directory sector, found by their lengths.
std::vector<std::size_t> RecordOffsets(const std::uint8_t* sector)
{
    std::vector<std::size_t> offsets;
    for (std::size_t at = 0; at < kSector && sector[at] != 0; at += sector[at]) {
        offsets.push_back(at);
    }
    return offsets;
}

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : random_(seed) {}

    std::uint32_t Below(std::uint32_t bound) { return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random_); }

    std::uint8_t Byte()
    {
        static constexpr std::uint8_t kEdges[] = {0x00, 0x01, 0x02, 0x21, 0x22, 0x7F, 0x80, 0xFE, 0xFF};
        return Below(3) == 0 ? kEdges[Below(sizeof kEdges)] : static_cast<std::uint8_t>(Below(256));
    }

    void PutLe32(std::uint8_t* at, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i) {
            at[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }

    // One damage to the directory sectors of image.
    void Damage(std::vector<std::uint8_t>& image, const std::vector<std::uint32_t>& directories)
    {
        const auto imageSectors = static_cast<std::uint32_t>(image.size() / kSector);
        const std::uint32_t target = directories[Below(static_cast<std::uint32_t>(directories.size()))];
        std::uint8_t* sector = image.data() + std::size_t{target} * kSector;
        const std::vector<std::size_t> records = RecordOffsets(sector);
        std::uint8_t* record = records.empty() ? sector : sector + records[Below(static_cast<std::uint32_t>(records.size()))];
        switch (Below(8)) {
        case 0: // stray bytes anywhere in the sector
            for (std::uint32_t n = 1 + Below(8); n > 0; --n) {
                sector[Below(kSector)] = Byte();
            }
            break;
        case 1: // a field of one record: lengths, extent, size, date, flags, name
            record[Below(40)] = Byte();
            break;
        case 2: // the record length alone
            record[0] = Byte();
            break;
        case 3: // an extent pointing anywhere, the image's own directories included
            PutLe32(record + 2, Below(2) == 0 ? directories[Below(static_cast<std::uint32_t>(directories.size()))]
                                              : Below(imageSectors + 64));
            record[25] = static_cast<std::uint8_t>(record[25] | (Below(2) == 0 ? 0x02 : 0x00));
            break;
        case 4: // a size far beyond the image
            PutLe32(record + 10, Below(2) == 0 ? 0xFFFFFFFFu : Below(imageSectors * 2) * 2048 + Below(2048));
            break;
        case 5: // a multi-extent flag, hidden flag, or directory flag flipped
            record[25] = static_cast<std::uint8_t>(record[25] ^ (1u << Below(8)));
            break;
        case 6: // the name length disagreeing with the record
            record[32] = Byte();
            break;
        case 7: // a whole other directory sector copied over this one
            std::copy_n(image.data() + std::size_t{directories[Below(static_cast<std::uint32_t>(directories.size()))]} * kSector,
                        kSector, sector);
            break;
        }
    }

private:
    std::mt19937 random_;
};

// Sizes of the files that extraction should have written, by their path below the destination; names an extraction
// refuses are left out with everything below them, as the extraction leaves them out.
std::map<std::string, std::set<std::uint64_t>> ExpectedFileSizes(cli::ImageSession& session)
{
    std::map<std::string, std::set<std::uint64_t>> sizes;
    std::vector<std::pair<DirNode*, std::string>> pending{{session.Root(), ""}};
    while (!pending.empty()) {
        auto [node, prefix] = pending.back();
        pending.pop_back();
        for (DirNode* child = session.Edit().GetFirstChild(node); child != nullptr;
             child = session.Edit().GetNextSibling(child)) {
            const ItemInfo info = session.Info(child);
            if (!cli::IsSafeEntryName(info.name)) {
                continue;
            }
            if (info.isDirectory) {
                pending.emplace_back(child, prefix + info.name + "/");
            } else {
                sizes[prefix + info.name].insert(info.size);
            }
        }
    }
    return sizes;
}

// A fresh folder in memory where the system has one (/dev/shm): thousands of extractions create and remove tens of
// thousands of files, which costs minutes on some disks and milliseconds in memory. Elsewhere the temporary folder.
class ScratchDir {
public:
    ScratchDir()
    {
        std::error_code error;
        const fs::path base = fs::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
            ? fs::path("/dev/shm")
            : fs::temp_directory_path();
        std::string pattern = (base / "tarvelin-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a scratch folder");
        }
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

TEST(CliReadFuzzTest, DamagedDirectorySectorsNeverCrashListingOrExtraction)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    ScratchDir dir;
    MakeSmallTree(dir / "tree");
    test::RunGenisoimage(dir / "tree", dir / "joliet.iso", "-J -R -no-pad");
    test::RunGenisoimage(dir / "tree", dir / "primary.iso", "-no-pad");

    struct Base {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> directories;
    };
    std::vector<Base> bases;
    for (const char* name : {"joliet.iso", "primary.iso"}) {
        Base base{test::ReadWholeFile(dir / name), {}};
        base.directories = DirectorySectors(base.bytes);
        ASSERT_GE(base.directories.size(), 8u) << name;
        bases.push_back(std::move(base));
    }

    const std::string imagePath = dir / "damaged.iso";
    const std::string destination = dir / "out";
    std::FILE* listing = std::fopen("/dev/null", "w");
    ASSERT_NE(listing, nullptr);
    Mutator mutator(20240611);
    constexpr int kCases = 3000;
    std::uint64_t opened = 0, extractedFiles = 0, failures = 0;
    {
        testing::internal::CaptureStderr(); // thousands of damaged trees make thousands of warnings
        for (int round = 0; round < kCases; ++round) {
            const Base& base = bases[static_cast<std::size_t>(round) % bases.size()];
            std::vector<std::uint8_t> image = base.bytes;
            for (std::uint32_t n = 1 + mutator.Below(3); n > 0; --n) {
                mutator.Damage(image, base.directories);
            }
            test::WriteWholeFile(imagePath, image);

            cli::ImageSession session;
            if (session.Open(imagePath) != cli::kExitOk) {
                continue;
            }
            ++opened;
            cli::ListOptions options;
            options.recursive = true;
            options.longFormat = round % 2 == 0;
            ASSERT_TRUE(cli::ListEntries(session, session.Root(), options, listing)) << "case " << round;

            cli::ExtractOptions extract;
            extract.report = [](std::string_view) {};
            const cli::ExtractTotals totals = cli::ExtractEntries(session, {session.Root()}, destination, extract);
            extractedFiles += totals.files;
            failures += totals.failures;

            // Nothing beside the destination; every file in it as long as an entry of its path says.
            for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path())) {
                const std::string name = entry.path().filename().string();
                ASSERT_TRUE(name == "tree" || name == "out" || name.ends_with(".iso")) << "case " << round << ": " << name;
            }
            const auto expected = ExpectedFileSizes(session);
            for (const fs::directory_entry& entry : fs::recursive_directory_iterator(destination)) {
                if (entry.is_directory()) {
                    continue;
                }
                const std::string path = fs::relative(entry.path(), destination).string();
                ASSERT_TRUE(expected.count(path)) << "case " << round << ": " << path;
                ASSERT_TRUE(expected.at(path).count(entry.file_size()))
                    << "case " << round << ": " << path << " has " << entry.file_size() << " bytes";
            }
            fs::remove_all(destination);
        }
        testing::internal::GetCapturedStderr();
    }
    std::fclose(listing);
    // The damage must leave most images readable, or the extraction paths would go untested.
    EXPECT_GT(opened, kCases * 9u / 10) << "images opened";
    EXPECT_GT(extractedFiles, std::uint64_t{kCases} * 10) << "files extracted";
    EXPECT_GT(failures, 100u) << "entries refused or failed";
}

} // namespace
} // namespace tarvelin
