// The UDF reader: tags, names and dates by table; the tree of a genisoimage -udf image against
// its folder; copies of it damaged in one structure each, read with the damage counted and skipped.

#include "iso/udf.h"
#include "iso/volume_space.h"
#include "iso/iso_edit_test_support.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace tarvelin::iso::udf {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::uint8_t TagChecksum(const Bytes& bytes, std::size_t at)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        sum = static_cast<std::uint8_t>(sum + (i == 4 ? 0 : bytes[at + i]));
    }
    return sum;
}

// Little-endian 32-bit fields {offset, value} of a hand-made structure at `at`.
void Put32s(Bytes& bytes, std::size_t at, std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields)
{
    for (const auto& [offset, value] : fields) {
        iso::PutLe32(bytes, at + offset, value);
    }
}

// Recomputes the CRC and checksum of the descriptor tag at `at`.
void Reseal(Bytes& bytes, std::size_t at)
{
    iso::PutLe16(bytes, at + 8, DescriptorCrc(bytes.data() + at + 16, bytes[at + 10] | (bytes[at + 11] << 8)));
    bytes[at + 4] = TagChecksum(bytes, at);
}

TEST(UdfDecoding, CrcTagNamesAndDates)
{
    // The example bytes of the descriptor CRC's definition; the CRC-16 (0x1021, no inversion) check string.
    const std::uint8_t example[] = {0x70, 0x6A, 0x77};
    EXPECT_EQ(DescriptorCrc(example, sizeof example), 0x3299);
    EXPECT_EQ(DescriptorCrc(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x31C3);

    struct NameCase {
        Bytes bytes;
        std::string text;
    };
    const NameCase names[] = {
        {{8, 'a', 'B', '.', 't', 'x', 't'}, "aB.txt"},     {{8, 0xE9, 0xFC}, "\xC3\xA9\xC3\xBC"}, // Latin-1
        {{16, 0x00, 'a', 0x04, 0x16, 0x6C, 0x34}, "a\xD0\x96\xE6\xB0\xB4"}, // UTF-16 big-endian
        {{16, 0xD8, 0x3D, 0xDE, 0x00}, "\xF0\x9F\x98\x80"},         // a surrogate pair
        {{16, 0x00}, ""}, {{3, 'x'}, ""},                          // an odd byte left over; an unknown compression
    };
    for (const NameCase& c : names) {
        EXPECT_EQ(DecodeCs0(c.bytes.data(), c.bytes.size()), c.text);
    }
    struct PathCase {
        Bytes bytes;
        std::optional<std::string> path;
    };
    const PathCase paths[] = {
        {{5, 2, 0, 0, 8, 'a', 5, 3, 0, 0, 16, 0, 'b'}, "a/b"}, {{2, 0, 0, 0, 5, 2, 0, 0, 8, 'a'}, "/a"},
        {{3, 0, 0, 0, 5, 2, 0, 0, 8, 'a'}, "../a"},           {{4, 0, 0, 0}, "."},
        // The identifier runs past the data; a name without a name; no such component.
        {{5, 9, 0, 0, 8, 'a'}, std::nullopt}, {{5, 0, 0, 0}, std::nullopt}, {{9, 0, 0, 0}, std::nullopt},
    };
    for (const PathCase& c : paths) {
        EXPECT_EQ(DecodePathComponents(c.bytes.data(), c.bytes.size()), c.path);
    }
    // Written names and paths: a pair goes whole or not at all.
    EXPECT_EQ(EncodeCs0("a\xF0\x9F\x98\x80", 4), (Bytes{16, 0x00, 'a'}));
    EXPECT_EQ(EncodeCs0("\xF0\x9F\x98\x80", 4), Bytes{});
    EXPECT_EQ(EncodeCs0(std::string(300, 'x'), 255).size(), 255u); // cut to the field
    for (const char* path : {"/a", "../a", "."}) {
        const Bytes encoded = EncodePathComponents(path);
        EXPECT_EQ(DecodePathComponents(encoded.data(), encoded.size()), path);
    }
    std::uint8_t dstring[8] = {8, 'V', 'o', 'l', 0, 0, 0, 4};
    EXPECT_EQ(DecodeDString(dstring, sizeof dstring), "Vol");
    dstring[7] = 200; // a length beyond the field is cut to it
    EXPECT_EQ(DecodeDString(dstring, sizeof dstring).size(), 6u);

    // 2001-02-03 04:05:06.78 in three zones; the moment in UTC.
    platform::FileTime utc = 0;
    platform::CalendarTime fields{2001, 2, 3, 4, 5, 6, 780, 0};
    ASSERT_TRUE(platform::UtcToFileTime(fields, utc));
    const auto stamp = [](std::uint16_t typeAndZone, std::uint8_t month) {
        Bytes b{static_cast<std::uint8_t>(typeAndZone), static_cast<std::uint8_t>(typeAndZone >> 8),
                0xD1, 0x07, month, 3, 4, 5, 6, 78, 0, 0};
        return DecodeTimestamp(b.data());
    };
    constexpr std::uint64_t kHour = 3600ull * platform::kFileTimeTicksPerSecond;
    EXPECT_EQ(stamp(0x1000 | 60, 2), utc - kHour);                  // +01:00
    EXPECT_EQ(stamp(0x1000 | (0x1000 - 120), 2), utc + 2 * kHour);  // -02:00
    EXPECT_EQ(stamp(0x1000 | (0x1000 - 2047), 2), utc);             // no zone recorded
    EXPECT_EQ(stamp(0x1000, 13), std::nullopt);                     // no 13th month

    // A tag sealed here passes; each field broken on its own fails.
    Bytes tag(64, 0);
    tag[0] = kTagFileEntry & 0xFF;
    tag[1] = kTagFileEntry >> 8;
    tag[10] = 48;
    tag[12] = 7;
    for (std::size_t i = 16; i < tag.size(); ++i) {
        tag[i] = static_cast<std::uint8_t>(i * 7);
    }
    Reseal(tag, 0);
    EXPECT_EQ(CheckDescriptorTag(tag.data(), tag.size(), kTagFileEntry, 7), nullptr);
    EXPECT_NE(CheckDescriptorTag(tag.data(), tag.size(), kTagFileEntry, 8), nullptr);
    EXPECT_NE(CheckDescriptorTag(tag.data(), tag.size(), kTagExtendedFileEntry, 7), nullptr);
    EXPECT_NE(CheckDescriptorTag(tag.data(), 63, kTagFileEntry, 7), nullptr); // CRC length past the bytes
    for (const std::size_t at : {40, 4}) { // the CRC, the checksum
        Bytes broken = tag;
        broken[at] ^= 1;
        EXPECT_NE(CheckDescriptorTag(broken.data(), broken.size(), kTagFileEntry, 7), nullptr) << at;
    }
}

using Tree = std::map<std::string, Bytes>;

using Image = test::MemorySector;

// The volume's tree; with data, the bytes of each file too.
Tree TreeOfVolume(const Image& image, const Volume& volume, bool withData = true)
{
    Tree tree;
    std::function<void(std::int32_t, const std::string&)> walk = [&](std::int32_t index, const std::string& prefix) {
        for (const std::int32_t child : volume.nodes[static_cast<std::size_t>(index)].children) {
            const Node& node = volume.nodes[static_cast<std::size_t>(child)];
            if (node.isDirectory) {
                tree[prefix + node.name + "/"];
                walk(child, prefix + node.name + "/");
                continue;
            }
            if (!withData) {
                tree[prefix + node.name];
                continue;
            }
            Bytes data(static_cast<std::size_t>(node.size));
            std::string problem;
            EXPECT_TRUE(ReadFileData(image.Reader(), image.SectorCount(), volume, node, 0, data.data(), data.size(),
                                     &problem))
                << node.name << ": " << problem;
            tree[prefix + node.name] = data;
        }
    };
    walk(0, "");
    return tree;
}

const Node& NodeNamed(const Volume& volume, const std::string& name)
{
    for (const Node& node : volume.nodes) {
        if (node.name == name) {
            return node;
        }
    }
    ADD_FAILURE() << "no " << name;
    static const Node none;
    return none;
}

class UdfImage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!test::ToolAvailable("genisoimage")) {
            return;
        }
        dir_ = std::make_unique<test::TempDir>();
        const std::string root = dir_->Path() + "/tree";
        fs::create_directories(root + "/many");
        test::MakeFolderTree(root);
        // Enough names that the folder's identifiers take several blocks.
        for (int i = 0; i < 150; ++i) {
            test::WriteWholeFile(root + "/many/file number " + std::to_string(i) + ".txt", std::to_string(i));
        }
        test::WriteWholeFile(root + "/\xC3\xBC\xC3\xB1\xC3\xAF c\xC3\xB6" "d\xC3\xA9.txt", std::string("unicode"));
        // The path components of "/etc/x", made a link by SymbolicLinks.
        test::WriteWholeFile(root + "/link", Bytes{2, 0, 0, 0, 5, 4, 0, 0, 8, 'e', 't', 'c', 5, 2, 0, 0, 8, 'x'});
        test::MakeIsoWithGenisoimage(root, dir_->Path() + "/udf.iso", "-udf");
        folder_ = std::make_unique<Tree>(test::FolderContents(root));
        image_ = std::make_unique<Image>(test::ReadWholeFile(dir_->Path() + "/udf.iso"));
        std::string why;
        if (std::optional<Volume> volume = Read(*image_, &why)) {
            sound_ = std::make_unique<Volume>(std::move(*volume));
        }
        EXPECT_NE(sound_, nullptr) << why;
    }
    static void TearDownTestSuite()
    {
        sound_.reset();
        image_.reset();
        folder_.reset();
        dir_.reset();
    }
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        ASSERT_NE(sound_, nullptr);
    }

    static std::optional<Volume> Read(const Image& image, std::string* problem)
    {
        return ReadVolume(image.Reader(), image.SectorCount(), problem);
    }

    static inline std::unique_ptr<test::TempDir> dir_;
    static inline std::unique_ptr<Tree> folder_;
    static inline std::unique_ptr<Image> image_;
    static inline std::unique_ptr<Volume> sound_; // the image as read
    std::string problem; // of the last read
};

// Where the identifier naming `name` (ASCII, in 8- or 16-bit CS0) starts in a folder's data.
std::size_t IdentifierOf(const Bytes& bytes, const Node& folder, const std::string& name)
{
    const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(std::size_t{folder.firstSector} * kUdfBlockSize);
    std::string narrow(1, '\x08');
    std::string wide(1, '\x10');
    for (const char c : name) {
        narrow += c;
        wide += '\0';
        wide += c;
    }
    auto found = std::search(start, bytes.end(), narrow.begin(), narrow.end());
    if (found == bytes.end()) {
        found = std::search(start, bytes.end(), wide.begin(), wide.end());
    }
    const auto nameAt = static_cast<std::size_t>(found - bytes.begin());
    // The name follows the 38 fixed bytes and the implementation use.
    for (std::size_t use = 0; use <= 64 && use + 38 <= nameAt; use += 2) {
        const std::size_t at = nameAt - 38 - use;
        if (bytes[at] == (kTagFileIdentifier & 0xFF) && bytes[at + 1] == (kTagFileIdentifier >> 8)
            && bytes[at + 36] == use) {
            return at;
        }
    }
    ADD_FAILURE() << "no identifier of " << name;
    return 0;
}

// No UDF structure of a bridge image is free space: every sector opening with a sound descriptor
// tag counts as used, and so does the recognition sequence. Of genisoimage's padding copies of the
// anchor only those where readers look (256, N-257, N-1) are structures.
TEST_F(UdfImage, NoUdfStructureIsFreeSpace)
{
    const VolumeSpace space = ScanVolumeSpace(*image_);
    ASSERT_TRUE(space.known) << space.why;
    EXPECT_TRUE(space.udf);
    EXPECT_EQ(space.udfRefusal, "");
    const SectorSet free = space.Free();
    EXPECT_FALSE(free.Empty());
    int tagged = 0;
    for (std::uint32_t n = 16; n < image_->SectorCount(); ++n) {
        const std::uint8_t* p = image_->bytes.data() + std::size_t{n} * kUdfBlockSize;
        const std::string_view identifier(reinterpret_cast<const char*>(p + 1), 5);
        if (identifier == "BEA01" || identifier == "NSR02" || identifier == "TEA01") {
            EXPECT_FALSE(free.Contains(n)) << identifier << " at " << n;
            continue;
        }
        const unsigned id = p[0] | (p[1] << 8);
        const std::uint8_t sum = TagChecksum(image_->bytes, std::size_t{n} * kUdfBlockSize);
        const bool anchorPlace = n == 256 || n == image_->SectorCount() - 257 || n == image_->SectorCount() - 1;
        if (id == 2 && !anchorPlace) {
            continue;
        }
        if (((id >= 1 && id <= 9) || (id >= 256 && id <= 266)) && sum == p[4] && p[5] == 0) {
            EXPECT_FALSE(free.Contains(n)) << "tag " << id << " at " << n;
            ++tagged;
        }
    }
    EXPECT_GT(tagged, 150); // a file entry each, at least
}

TEST_F(UdfImage, DamageIsCountedAndSkipped)
{
    const Volume* sound = sound_.get();
    const std::size_t readme = std::size_t{NodeNamed(*sound, "readme.txt").entrySector} * kUdfBlockSize;
    const Node& docs = NodeNamed(*sound, "docs");
    const std::uint32_t partitionStart = sound->partitions.at(0).start;
    // A range that ends past its file is refused.
    const Node& odd = NodeNamed(*sound, "odd-size.bin");
    Bytes part(11);
    EXPECT_FALSE(ReadFileData(image_->Reader(), image_->SectorCount(), *sound, odd, odd.size - 10, part.data(),
                              part.size(), &problem));

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::uint32_t LoadReport::*counter;
        std::vector<std::string> gone; // paths no longer in the tree
    };
    const Case cases[] = {
        {"tag checksum of a file entry", [&](Bytes& b) { b[readme + 4] ^= 0x55; }, &LoadReport::badDescriptors,
         {"readme.txt"}},
        {"CRC of a file entry", [&](Bytes& b) { b[readme + 40] ^= 0x01; }, &LoadReport::badDescriptors,
         {"readme.txt"}},
        {"location of a file entry",
         [&](Bytes& b) {
             b[readme + 12] ^= 0x01;
             Reseal(b, readme);
         },
         &LoadReport::badDescriptors, {"readme.txt"}},
        {"a folder's identifier pointing back at the folder itself",
         [&](Bytes& b) {
             const std::size_t fid = IdentifierOf(b, docs, "deep");
             const std::uint32_t block = docs.entrySector - partitionStart;
             std::memcpy(&b[fid + 24], &block, 4); // the ICB's block (little-endian host)
             Reseal(b, fid);
         },
         &LoadReport::loopsRefused, {"docs/deep/deeper/", "docs/deep/Mixed Case Name.txt"}},
        {"CRC of a folder's identifier",
         [&](Bytes& b) { b[IdentifierOf(b, docs, "deep") + 40] ^= 0x20; }, &LoadReport::badDescriptors,
         {"docs/deep/"}},
        {"a file's data beyond the end of the image",
         [&](Bytes& b) {
             const std::size_t ad = readme + 176 + (b[readme + 168] | (b[readme + 169] << 8));
             const std::uint32_t far = 0x7FFFFF00;
             std::memcpy(&b[ad + 4], &far, 4);
             Reseal(b, readme);
         },
         &LoadReport::extentsOutside, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image damaged{image_->bytes};
        c.damage(damaged.bytes);
        const std::optional<Volume> volume = Read(damaged, &problem);
        ASSERT_TRUE(volume) << problem;
        EXPECT_GE(volume->report.*c.counter, 1u);
        Tree expected = *folder_;
        for (const std::string& gone : c.gone) {
            std::erase_if(expected, [&gone](const auto& entry) { return entry.first.starts_with(gone); });
        }
        for (auto& [path, bytes] : expected) {
            bytes.clear();
        }
        EXPECT_EQ(TreeOfVolume(damaged, *volume, false), expected);
    }
}

TEST_F(UdfImage, AnchorAndSequenceFallBack)
{
    // The anchor at 256 broken: the one in the last sector is used.
    Image noFirstAnchor{image_->bytes};
    noFirstAnchor.bytes[256 * kUdfBlockSize + 4] ^= 0xFF;
    std::optional<Volume> volume = Read(noFirstAnchor, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_EQ(volume->anchorSector, noFirstAnchor.SectorCount() - 1);
    EXPECT_EQ(volume->fileCount, Read(*image_, &problem)->fileCount);

    // The main descriptor sequence broken at its start: the reserve is read.
    Image noMainSequence{image_->bytes};
    const std::size_t anchor = 256 * kUdfBlockSize;
    const std::uint32_t mainStart = noMainSequence.bytes[anchor + 20] | (noMainSequence.bytes[anchor + 21] << 8);
    noMainSequence.bytes[std::size_t{mainStart} * kUdfBlockSize + 4] ^= 0xFF;
    volume = Read(noMainSequence, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_EQ(volume->report.badDescriptors, 1u);
    EXPECT_EQ(TreeOfVolume(noMainSequence, *volume), *folder_);

    // Every anchor broken: no volume, and the reason.
    Image noAnchor{noFirstAnchor.bytes};
    noAnchor.bytes[(noAnchor.SectorCount() - 1) * std::size_t{kUdfBlockSize} + 4] ^= 0xFF;
    noAnchor.bytes[(noAnchor.SectorCount() - 256) * std::size_t{kUdfBlockSize} + 4] ^= 0xFF;
    EXPECT_FALSE(Read(noAnchor, &problem));
    EXPECT_NE(problem.find("anchor"), std::string::npos);
}

// A file's extents continued in an allocation extent descriptor, the middle one unrecorded: zeros
// there. The descriptor lies behind the partition's data; the partition is stretched to hold it.
TEST_F(UdfImage, ContinuedAndUnrecordedExtents)
{
    const Volume* sound = sound_.get();
    Image image{image_->bytes};
    Bytes& b = image.bytes;
    const std::uint32_t mainStart = iso::ReadLe32(b, 256 * kUdfBlockSize + 20);
    std::size_t pd = 0;
    for (std::uint32_t sector = mainStart; sector < mainStart + 16 && pd == 0; ++sector) {
        pd = b[std::size_t{sector} * kUdfBlockSize] == kTagPartition ? std::size_t{sector} * kUdfBlockSize : 0;
    }
    ASSERT_NE(pd, 0u);
    const std::uint32_t start = iso::ReadLe32(b, pd + 188);
    const std::uint32_t aedBlock = iso::ReadLe32(b, pd + 192) + 2;
    iso::PutLe32(b, pd + 192, aedBlock + 1);
    Reseal(b, pd);

    const Node* file = &NodeNamed(*sound, "three-sectors.bin");
    ASSERT_EQ(file->extents.size(), 1u);
    const std::uint32_t dataBlock = file->extents[0].block;
    const std::size_t fe = std::size_t{file->entrySector} * kUdfBlockSize;
    ASSERT_EQ(b[fe + 34] & 7, 0) << "short allocation descriptors expected";
    const std::size_t ads = fe + 176 + iso::ReadLe32(b, fe + 168);
    iso::PutLe32(b, ads, (3u << 30) | kUdfBlockSize); // continued in aedBlock
    iso::PutLe32(b, ads + 4, aedBlock);
    Reseal(b, fe);

    const std::size_t aed = (start + aedBlock) * std::size_t{kUdfBlockSize};
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(aed), b.begin() + static_cast<std::ptrdiff_t>(aed + 2048), 0);
    b[aed] = kTagAllocationExtent & 0xFF;
    b[aed + 1] = kTagAllocationExtent >> 8;
    b[aed + 2] = 2;
    Put32s(b, aed, {{12, aedBlock}, {20, 24}, {24, kUdfBlockSize}, {28, dataBlock},
                    {32, (1u << 30) | kUdfBlockSize}, // allocated, not recorded
                    {36, dataBlock + 1}, {40, kUdfBlockSize}, {44, dataBlock + 2}});
    b[aed + 10] = 24 + 24 - 16;
    Reseal(b, aed);

    const std::optional<Volume> volume = Read(image, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_EQ(volume->report.Total(), 0u);
    Tree expected = *folder_;
    Bytes& bytes = expected.at("docs/three-sectors.bin");
    std::fill(bytes.begin() + kUdfBlockSize, bytes.begin() + 2 * kUdfBlockSize, 0);
    EXPECT_EQ(TreeOfVolume(image, *volume), expected);

    // The continuation pointing at itself: refused, the entry's other extents kept.
    Put32s(b, aed, {{24, (3u << 30) | kUdfBlockSize}, {28, aedBlock}});
    Reseal(b, aed);
    const std::optional<Volume> looping = Read(image, &problem);
    ASSERT_TRUE(looping) << problem;
    EXPECT_EQ(looping->report.chainsCut, 1u);
    EXPECT_EQ(looping->report.loopsRefused, 0u);
    const Node& node = NodeNamed(*looping, "three-sectors.bin");
    Bytes data(static_cast<std::size_t>(node.size));
    EXPECT_FALSE(ReadFileData(image.Reader(), image.SectorCount(), *looping, node, 0, data.data(), data.size(), &problem));
    EXPECT_NE(problem.find("damaged"), std::string::npos) << problem;
}

// Random bytes over the descriptors and folders (fixed seed): nothing is read outside the image or
// its buffers (AddressSanitizer watches), and every file read succeeds or says why.
TEST_F(UdfImage, RandomDamageNeverReadsOutOfBounds)
{
    const Volume* sound = sound_.get();
    std::uint32_t last = 0;
    for (const Node& node : sound->nodes) {
        last = std::max({last, node.entrySector, node.isDirectory ? node.firstSector : 0});
    }
    std::mt19937 random(20260);
    std::uniform_int_distribution<std::uint32_t> sector(16, last);
    std::uniform_int_distribution<std::uint32_t> offset(0, kUdfBlockSize - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    int read = 0;
    for (int round = 0; round < 300; ++round) {
        Image damaged{image_->bytes};
        for (int hit = 0; hit < 8; ++hit) {
            damaged.bytes[std::size_t{sector(random)} * kUdfBlockSize + offset(random)] =
                static_cast<std::uint8_t>(byte(random));
        }
        const std::optional<Volume> volume = Read(damaged, &problem);
        if (!volume) {
            EXPECT_FALSE(problem.empty());
            continue;
        }
        ++read;
        Bytes data;
        for (const Node& node : volume->nodes) {
            if (!node.isDirectory && node.size <= (1u << 20)) {
                data.resize(static_cast<std::size_t>(node.size));
                if (!ReadFileData(damaged.Reader(), damaged.SectorCount(), *volume, node, 0, data.data(), data.size(),
                                  &problem)) {
                    EXPECT_FALSE(problem.empty());
                }
            }
        }
    }
    EXPECT_GT(read, 100); // most damage leaves a volume to read
}

// A file entry of type 12 is a link to what its path components give; malformed ones stay a file.
TEST_F(UdfImage, SymbolicLinks)
{
    const Volume* sound = sound_.get();
    const std::size_t fe = std::size_t{NodeNamed(*sound, "link").entrySector} * kUdfBlockSize;
    ASSERT_NE(fe, 0u);
    Image image{image_->bytes};
    image.bytes[fe + 27] = 12;
    Reseal(image.bytes, fe);
    std::optional<Volume> volume = Read(image, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_TRUE(NodeNamed(*volume, "link").isSymlink);
    EXPECT_EQ(NodeNamed(*volume, "link").linkTarget, "/etc/x");

    // The data made malformed: a file again, counted.
    const std::uint32_t data = NodeNamed(*volume, "link").firstSector;
    image.bytes[std::size_t{data} * kUdfBlockSize + 4] = 9;
    volume = Read(image, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_FALSE(NodeNamed(*volume, "link").isSymlink);
    EXPECT_EQ(volume->report.malformedRecords, 1u);
}

// The volume given a metadata partition (as UDF 2.50 writes them): a type 2 map whose metadata file
// maps its blocks one to one onto the physical partition in two extents; file set and root reached
// through it. The metadata file and its mirror lie behind the data; the partition is stretched.
TEST_F(UdfImage, MetadataPartitionAndItsMirror)
{
    Image image{image_->bytes};
    Bytes& b = image.bytes;
    // The first descriptor of each kind in the main sequence.
    const std::uint32_t mainStart = iso::ReadLe32(b, 256 * kUdfBlockSize + 20);
    std::map<std::uint16_t, std::size_t> descriptor;
    for (std::uint32_t sector = mainStart; sector < mainStart + 16; ++sector) {
        const std::size_t at = std::size_t{sector} * kUdfBlockSize;
        descriptor.emplace(static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)), at);
    }
    ASSERT_TRUE(descriptor.count(kTagLogicalVolume) && descriptor.count(kTagPartition));
    const std::size_t lvd = descriptor[kTagLogicalVolume];
    const std::size_t pd = descriptor[kTagPartition];
    const std::uint32_t start = iso::ReadLe32(b, pd + 188);
    const std::uint32_t used = iso::ReadLe32(b, pd + 192);
    const std::uint32_t mainFile = used + 2;
    const std::uint32_t mirrorFile = used + 3;
    ASSERT_LT(start + mirrorFile, image.SectorCount() - 1);
    iso::PutLe32(b, pd + 192, mirrorFile + 1);
    Reseal(b, pd);

    // The map: type 2, 64 bytes, its identifier, volume 1, the physical partition's number, the files.
    const std::size_t map = lvd + 440 + iso::ReadLe32(b, lvd + 264);
    b[map] = 2;
    b[map + 1] = 64;
    const std::string id = "*UDF Metadata Partition";
    std::memcpy(&b[map + 5], id.data(), id.size());
    iso::PutLe16(b, map + 36, 1);
    iso::PutLe16(b, map + 38, static_cast<std::uint16_t>(b[lvd + 440 + 4] | (b[lvd + 440 + 5] << 8)));
    Put32s(b, map, {{40, mainFile}, {44, mirrorFile}, {48, 0xFFFFFFFF}});
    iso::PutLe32(b, lvd + 264, iso::ReadLe32(b, lvd + 264) + 64);
    iso::PutLe32(b, lvd + 268, 2);
    iso::PutLe16(b, lvd + 248 + 8, 1); // the file set through the metadata partition
    iso::PutLe16(b, lvd + 10, static_cast<std::uint16_t>(440 + iso::ReadLe32(b, lvd + 264) - 16));
    Reseal(b, lvd);
    const std::size_t fsd = (start + iso::ReadLe32(b, lvd + 248 + 4)) * std::size_t{kUdfBlockSize};
    iso::PutLe16(b, fsd + 400 + 8, 1); // and the root
    Reseal(b, fsd);

    // The metadata file and its mirror: extended file entries (types 250, 251), extents 0..99, 100..used-1.
    for (const auto& [block, type] : {std::pair{mainFile, 250}, std::pair{mirrorFile, 251}}) {
        const std::size_t at = (start + block) * std::size_t{kUdfBlockSize};
        std::fill(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 2048), 0);
        iso::PutLe16(b, at, kTagExtendedFileEntry);
        iso::PutLe16(b, at + 2, 3);
        iso::PutLe32(b, at + 12, block);
        iso::PutLe16(b, at + 16 + 4, 4); // strategy 4
        b[at + 16 + 11] = static_cast<std::uint8_t>(type);
        Put32s(b, at, {{56, used * kUdfBlockSize}, {212, 16}, {216, 100 * kUdfBlockSize}, {220, 0},
                       {224, (used - 100) * kUdfBlockSize}, {228, 100}});
        iso::PutLe16(b, at + 10, 216 + 16 - 16);
        Reseal(b, at);
    }

    std::optional<Volume> volume = Read(image, &problem);
    ASSERT_TRUE(volume) << problem;
    ASSERT_EQ(volume->partitions.size(), 2u);
    EXPECT_EQ(volume->partitions[1].kind, PartitionMap::Kind::Metadata);
    EXPECT_FALSE(volume->usedMetadataMirror);
    EXPECT_EQ(TreeOfVolume(image, *volume), *folder_);

    // The metadata file damaged: its mirror is read.
    b[(start + mainFile) * std::size_t{kUdfBlockSize} + 4] ^= 0xFF;
    volume = Read(image, &problem);
    ASSERT_TRUE(volume) << problem;
    EXPECT_TRUE(volume->usedMetadataMirror);
    EXPECT_EQ(TreeOfVolume(image, *volume), *folder_);

    // The mirror's extents as long ones in the metadata partition itself: refused, not followed round.
    const std::size_t mirror = (start + mirrorFile) * std::size_t{kUdfBlockSize};
    b[mirror + 34] = 1; // long allocation descriptors
    Put32s(b, mirror, {{212, 16}, {216, used * kUdfBlockSize}, {220, 0}});
    iso::PutLe16(b, mirror + 224, 1);
    Reseal(b, mirror);
    EXPECT_FALSE(Read(image, &problem));
    EXPECT_NE(problem.find("physical partition"), std::string::npos) << problem;

    // Both damaged: no tree, and why.
    b[(start + mirrorFile) * std::size_t{kUdfBlockSize} + 4] ^= 0xFF;
    EXPECT_FALSE(Read(image, &problem));
    EXPECT_NE(problem.find("metadata"), std::string::npos);
}

} // namespace
} // namespace tarvelin::iso::udf
