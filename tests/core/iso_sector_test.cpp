// Logical sector access: layout detection on every stored form of one real
// volume (made by genisoimage), reading and writing through each of them.

#include "core/image_file.h"
#include "core/iso_sector.h"

#include "support/fixtures.h"
#include "support/reference_ecma130.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::kLogicalSectorSize;
using test::RandomBytes;
using test::ReadFileRange;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

constexpr std::size_t kRawSize = 2352;
constexpr std::uint8_t kForm1Subheader[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};

using Sectors = ComponentPtr<IIsoSector>;

Sectors NewSectors() { return Sectors(Sector1()); }

Bytes Filler(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

Bytes Join(const Bytes& header, const Bytes& body)
{
    Bytes joined(header);
    joined.insert(joined.end(), body.begin(), body.end());
    return joined;
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

// Raw sectors each followed by 96 bytes of subchannel data (2448 a sector).
Bytes WithSubchannel(const Bytes& raw)
{
    Bytes out;
    for (std::size_t at = 0; at < raw.size(); at += kRawSize) {
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                   raw.begin() + static_cast<std::ptrdiff_t>(at + kRawSize));
        out.insert(out.end(), 96, 0x5C);
    }
    return out;
}
const auto Mode1Reference = [](const Bytes& data, std::uint32_t lba) {
    return test::EncodeRawImage(data, test::RawForm::Mode1, lba);
};
const auto Mode2Form1Reference = [](const Bytes& data, std::uint32_t lba) {
    return test::EncodeRawImage(data, test::RawForm::Mode2Form1, lba);
};

// One stored form of the test volume and what detection must make of it.
struct StoredForm {
    std::string name;
    Bytes image;
    LayoutProbe probe;
    ImageLayout layout;
    std::uint32_t trackMode;
};

void ExpectLayout(IIsoSector& sectors, const StoredForm& form)
{
    const ImageLayout l = sectors.GetLayout();
    const ImageLayout& e = form.layout;
    EXPECT_EQ(std::tuple(sectors.GetLayoutProbe(), l.baseOffset, l.firstSector, l.sectorSize, l.dataOffset, l.tailSize,
                         sectors.GetTrackMode()),
              std::tuple(form.probe, e.baseOffset, e.firstSector, e.sectorSize, e.dataOffset, e.tailSize, form.trackMode))
        << form.name;
}

class IsoSectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!test::ToolAvailable("genisoimage")) {
            return;
        }
        suiteDir_ = new TempDir();
        test::MakeFolderTree(*suiteDir_ / "tree");
        test::MakeIsoWithGenisoimage(*suiteDir_ / "tree", *suiteDir_ / "volume.iso");
        iso_ = new Bytes(ReadWholeFile(*suiteDir_ / "volume.iso"));
        rawMode1_ = new Bytes(test::EncodeRawImage(*iso_, test::RawForm::Mode1));
        rawMode2_ = new Bytes(test::EncodeRawImage(*iso_, test::RawForm::Mode2Form1));
    }

    static void TearDownTestSuite()
    {
        delete rawMode2_;
        delete rawMode1_;
        delete iso_;
        delete suiteDir_;
        rawMode2_ = rawMode1_ = iso_ = nullptr;
        suiteDir_ = nullptr;
    }

    void SetUp() override { TARVELIN_REQUIRE_TOOL("genisoimage"); }

    static const Bytes& Iso() { return *iso_; }
    static std::uint32_t IsoSectors() { return static_cast<std::uint32_t>(iso_->size() / kLogicalSectorSize); }
    static Bytes IsoSector(std::uint32_t sector) { return Slice(*iso_, sector * kLogicalSectorSize, kLogicalSectorSize); }

    std::string Put(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir_ / name;
        WriteWholeFile(path, bytes);
        return path;
    }

    // Every stored form of the volume that detection knows.
    static std::vector<StoredForm> StoredForms()
    {
        const Bytes header300 = Filler(300, 0x5A);
        const Bytes header16k = Filler(16384, 0x5A);
        const Bytes header16k300 = Filler(16384 + 300, 0x5A);
        return {
            {"plain ISO", Iso(), LayoutProbe::PlainIso, {0, 0, 2048, 0, 0}, 0},
            {"raw Mode 1", *rawMode1_, LayoutProbe::RawMode1, {0, 0, 2352, 16, 288}, 1},
            {"raw Mode 2 Form 1", *rawMode2_, LayoutProbe::RawMode2, {0, 0, 2352, 24, 280}, 2},
            {"plain behind 16 KiB", Join(header16k, Iso()), LayoutProbe::Scanned, {16384 + 32768, 16, 2048, 0, 0}, 0},
            {"plain behind 16 KiB + 300", Join(header16k300, Iso()), LayoutProbe::Scanned,
             {16684 + 32768, 16, 2048, 0, 0}, 0},
            // The identifier runs across the end of a scanned 16 KiB chunk.
            {"plain behind 16 KiB - 4", Join(Filler(16380, 0x5A), Iso()), LayoutProbe::Scanned,
             {16380 + 32768, 16, 2048, 0, 0}, 0},
            // Raw sectors found by the scan start at their sync pattern.
            {"raw Mode 1 behind 300", Join(header300, *rawMode1_), LayoutProbe::Scanned,
             {300 + 16 * 2352, 16, 2352, 16, 288}, 1},
            {"raw Mode 2 behind 16 KiB + 300", Join(header16k300, *rawMode2_), LayoutProbe::Scanned,
             {16684 + 16 * 2352, 16, 2352, 24, 280}, 2},
            {"2336-byte sectors", test::EncodeMode2Sectors2336(Iso()), LayoutProbe::Scanned,
             {16 * 2336 + 8, 16, 2336, 0, 288}, 0},
            {"raw Mode 1 with subchannel", WithSubchannel(*rawMode1_), LayoutProbe::Scanned,
             {16 * 2448, 16, 2448, 16, 384}, 1},
            {"raw Mode 2 Form 1 with subchannel", WithSubchannel(*rawMode2_), LayoutProbe::Scanned,
             {16 * 2448, 16, 2448, 24, 376}, 2},
        };
    }

    static TempDir* suiteDir_;
    static Bytes* iso_;
    static Bytes* rawMode1_;
    static Bytes* rawMode2_;
    TempDir dir_;
};

TempDir* IsoSectorTest::suiteDir_ = nullptr;
Bytes* IsoSectorTest::iso_ = nullptr;
Bytes* IsoSectorTest::rawMode1_ = nullptr;
Bytes* IsoSectorTest::rawMode2_ = nullptr;

TEST_F(IsoSectorTest, EveryStoredFormIsDetectedAndReadsAsThePlainVolume)
{
    for (const StoredForm& form : StoredForms()) {
        SCOPED_TRACE(form.name);
        Sectors sectors = NewSectors();
        ASSERT_TRUE(sectors->Open(Put("image", form.image).c_str())) << sectors->GetLastError();
        ExpectLayout(*sectors, form);
        ASSERT_EQ(sectors->GetSectorCount(), IsoSectors());

        Bytes all(Iso().size());
        ASSERT_TRUE(sectors->ReadSectors(0, all.data(), IsoSectors()));
        EXPECT_TRUE(all == Iso());
        Bytes one(kLogicalSectorSize);
        for (std::uint32_t sector = 0; sector < IsoSectors(); ++sector) {
            ASSERT_TRUE(sectors->ReadSector(sector, one.data()));
            ASSERT_TRUE(one == IsoSector(sector)) << "sector " << sector;
        }
        // A read fills exactly the sectors asked for, none for a count of 0.
        Bytes buffer(8 * kLogicalSectorSize, 0xCD);
        ASSERT_TRUE(sectors->ReadSectors(16, buffer.data(), 7));
        EXPECT_TRUE(Slice(buffer, 0, 7 * kLogicalSectorSize) == Slice(Iso(), 16 * kLogicalSectorSize, 7 * kLogicalSectorSize));
        EXPECT_TRUE(Slice(buffer, 7 * kLogicalSectorSize, kLogicalSectorSize) == Filler(kLogicalSectorSize, 0xCD));
        EXPECT_TRUE(sectors->ReadSectors(16, buffer.data() + 7 * kLogicalSectorSize, 0));
        EXPECT_TRUE(Slice(buffer, 7 * kLogicalSectorSize, kLogicalSectorSize) == Filler(kLogicalSectorSize, 0xCD));
    }
}

// A partial last sector counts when its user data starts inside the file;
// reads past the end give zeros.
TEST_F(IsoSectorTest, TruncatedFilesCountTheirPartialSector)
{
    Bytes bin = *rawMode1_;
    bin.resize(40 * kRawSize + 16 + 1000);
    const Bytes odd = Join(Iso(), Filler(1000, 0x77));
    const struct {
        const char* what;
        Bytes image;
        Bytes plain; // the volume's bytes the image holds
        LayoutProbe probe;
        std::uint32_t sectors;
    } cases[] = {
        {"plain ISO of odd size", odd, odd, LayoutProbe::PlainIso, IsoSectors() + 1},
        {"raw Mode 1 cut inside a sector's user data", bin, Slice(Iso(), 0, 40 * kLogicalSectorSize + 1000),
         LayoutProbe::RawMode1, 41},
        {"plain ISO ending right after the second identifier", Slice(Iso(), 0, 34816 + 6),
         Slice(Iso(), 0, 34816 + 6), LayoutProbe::PlainIso, 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sectors sectors = NewSectors();
        ASSERT_TRUE(sectors->Open(Put("cut.img", c.image).c_str()));
        EXPECT_EQ(sectors->GetLayoutProbe(), c.probe);
        EXPECT_EQ(sectors->GetSectorCount(), c.sectors);
        // The last whole sector, the partial one, and one past the end.
        const std::size_t from = (c.sectors - 2) * kLogicalSectorSize;
        Bytes expected = Slice(c.plain, from, c.plain.size() - from);
        expected.resize(kLogicalSectorSize * 3, 0);
        Bytes buffer(kLogicalSectorSize * 3, 0xAA);
        ASSERT_TRUE(sectors->ReadSectors(c.sectors - 2, buffer.data(), 3));
        EXPECT_TRUE(buffer == expected);
    }
}

// Only the first identifier of a scan chunk counts: a decoy "CD001" after a
// type byte other than 1 early in the chunk at 16 KiB hides a real
// descriptor pair further on in that chunk, not one in the next chunk.
Bytes Decoyed(std::size_t descriptor)
{
    Bytes image(128 * 1024, 0);
    std::memcpy(&image[16384 + 101], "CD001", 5);
    image[descriptor] = 1;
    std::memcpy(&image[descriptor + 1], "CD001", 5);
    image[descriptor + 2048] = 0xFF;
    std::memcpy(&image[descriptor + 2049], "CD001", 5);
    return image;
}

TEST_F(IsoSectorTest, FilesWithoutAVolumeFailToOpen)
{
    Bytes tooClose(64 * 1024, 0);
    tooClose[40000] = 1;
    std::memcpy(&tooClose[40001], "CD001", 5);
    std::memcpy(&tooClose[41001], "CD001", 5); // only 1000 bytes further
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"random bytes", RandomBytes(2 * 1024 * 1024, 7)},
        {"descriptor with the next identifier too close", tooClose},
        {"volume behind a 1 MiB header", Join(Filler(1024 * 1024, 0), Iso())},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o'}},
        {"cut inside the second identifier", Slice(Iso(), 0, 34816 + 3)},
        {"cut inside the primary descriptor", Slice(Iso(), 0, 32768 + 100)},
        {"empty", {}},
        {"real descriptor in a decoy's chunk", Decoyed(16384 + 4000)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        Sectors sectors = NewSectors();
        EXPECT_FALSE(sectors->Open(Put("novolume.img", bytes).c_str()));
        EXPECT_EQ(sectors->GetOpenError(), ImageOpenError::NoVolume);
        EXPECT_NE(std::string(sectors->GetLastError()).find("no ISO 9660 volume"), std::string::npos);
        EXPECT_EQ(sectors->GetLayoutProbe(), LayoutProbe::None);
        Bytes buffer(kLogicalSectorSize);
        EXPECT_FALSE(sectors->ReadSector(16, buffer.data()));
    }
    Sectors sectors = NewSectors();
    ASSERT_TRUE(sectors->Open(Put("decoy.img", Decoyed(32768 + 300)).c_str()));
    ExpectLayout(*sectors, {"real descriptor in the next chunk", {}, LayoutProbe::Scanned, {33068, 16, 2048, 0, 0}, 0});
}

TEST_F(IsoSectorTest, SectorsBeforeTheFileStartFailPositioning)
{
    // The first eight sectors are cut away and a 300-byte header put in front.
    const Bytes image = Join(Filler(300, 0x5A), Slice(Iso(), 16384, Iso().size() - 16384));
    const std::string path = Put("headless.img", image);
    Sectors sectors = NewSectors();
    ASSERT_TRUE(sectors->Open(path.c_str()));
    ExpectLayout(*sectors, {"", {}, LayoutProbe::Scanned, {300 + 16384, 16, 2048, 0, 0}, 0});

    Bytes buffer(4 * kLogicalSectorSize);
    EXPECT_FALSE(sectors->ReadSector(0, buffer.data()));
    EXPECT_FALSE(sectors->ReadSector(7, buffer.data()));
    EXPECT_NE(std::string(sectors->GetLastError()), "");
    EXPECT_FALSE(sectors->ReadSectors(6, buffer.data(), 4));
    EXPECT_FALSE(sectors->SeekToSector(7));
    EXPECT_FALSE(sectors->WriteSectors(buffer.data(), 1, 7));
    EXPECT_TRUE(ReadWholeFile(path) == image);

    ASSERT_TRUE(sectors->ReadSector(8, buffer.data()));
    EXPECT_TRUE(Slice(buffer, 0, kLogicalSectorSize) == IsoSector(8));
    EXPECT_TRUE(sectors->SeekToSector(8));
}

// A mixed-mode disc: the sheet's audio track follows the data track in the
// same file. The volume ends with its track; nothing is written over the
// audio, nor is the file cut. The file opened by itself has no such end.
// A sheet that cannot be followed to the track's end lets nothing be
// appended behind the file.
TEST_F(IsoSectorTest, TheAudioBehindAMixedModeDataTrackIsLeftAlone)
{
    const std::uint32_t track = IsoSectors();
    const auto msf = [](std::uint32_t frames) {
        char text[16];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", frames / 4500, frames / 75 % 60, frames % 75);
        return std::string(text);
    };
    const Bytes image = Join(*rawMode1_, RandomBytes(200 * kRawSize, 11));
    const std::string bin = Put("mixed.bin", image);
    const std::string sheet = "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                              "  TRACK 02 AUDIO\n    INDEX 00 " + msf(track) + "\n    INDEX 01 " + msf(track + 150) + "\n";
    const std::string cue = Put("mixed.cue", Bytes(sheet.begin(), sheet.end()));

    Sectors sectors = NewSectors();
    ASSERT_TRUE(sectors->Open(cue.c_str())) << sectors->GetLastError();
    EXPECT_EQ(sectors->GetSectorCount(), track);
    const Bytes data(2 * kLogicalSectorSize, 0x77);
    EXPECT_TRUE(sectors->WriteSectors(data.data(), 1, track - 1));
    EXPECT_FALSE(sectors->WriteSectors(data.data(), 2, track - 1));
    EXPECT_NE(std::string(sectors->GetLastError()).find("data track"), std::string::npos) << sectors->GetLastError();
    EXPECT_FALSE(sectors->TruncateSectors(track - 1));
    const Bytes after = ReadWholeFile(bin);
    ASSERT_EQ(after.size(), image.size());
    EXPECT_TRUE(Slice(after, track * kRawSize, 200 * kRawSize) == Slice(image, track * kRawSize, 200 * kRawSize));

    // A sheet whose audio track cannot be placed (its INDEX is no time) is read as its file whole, and nothing is
    // appended behind the file, where the audio track would take it in.
    const std::string unplaced = "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                 "  TRACK 02 AUDIO\n    INDEX 01 zz:00:00\n";
    const std::string badCue = Put("unplaced.cue", Bytes(unplaced.begin(), unplaced.end()));
    ASSERT_TRUE(sectors->Open(badCue.c_str())) << sectors->GetLastError();
    EXPECT_EQ(sectors->GetSectorCount(), track + 200);
    EXPECT_FALSE(sectors->WriteSectors(data.data(), 1, track + 200));
    EXPECT_NE(std::string(sectors->GetLastError()).find("cannot be read from it"), std::string::npos)
        << sectors->GetLastError();
    EXPECT_EQ(ReadWholeFile(bin).size(), image.size());

    ASSERT_TRUE(sectors->Open(bin.c_str()));
    EXPECT_EQ(sectors->GetSectorCount(), track + 200);
    EXPECT_TRUE(sectors->WriteSectors(data.data(), 1, track + 200));
}

// Writes land at their own sector wherever the position stands, in the
// image's own form: raw images get whole sectors in their mode, other
// sector sizes only their user data.
TEST_F(IsoSectorTest, WritesLandAtTheirOwnSectorInTheImagesForm)
{
    // Sector 18 of a plain image holding what would be raw sector 16's
    // header: file data here, and writes stay plain.
    Bytes sync = Iso();
    const std::uint8_t header[16] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0, 0x00, 0x02, 0x16, 0x01};
    std::copy(std::begin(header), std::end(header), sync.begin() + 37632);
    const auto plain = [](const Bytes& data, std::uint32_t) { return data; };
    struct Case {
        std::string name;
        Bytes image;
        std::uint32_t first, count; // sectors written
        std::size_t zero;           // file offset of sector 0's user data, or of raw sector 0
        std::size_t stride;
        std::uint32_t trackMode;
        std::function<Bytes(const Bytes&, std::uint32_t)> encode; // the sectors as stored
        std::size_t tail = 0; // zeros behind the last appended sector's stored form
        const std::uint8_t* subheaders = nullptr; // given to WriteSectorsWithSubheaders, 8 bytes a sector
    };
    // A file's subheaders as an XA mastering tool writes them: file 1, channel 2, data, the last sector with
    // end of record and end of file.
    static constexpr std::uint8_t kFileSubheaders[3 * 8] = {1, 2, 0x08, 0, 1, 2, 0x08, 0, 1, 2, 0x08, 0, 1, 2, 0x08, 0,
                                                            1, 2, 0x89, 0, 1, 2, 0x89, 0};
    const auto withSubheaders = [](const Bytes& data, std::uint32_t lba) {
        Bytes out(data.size() / kLogicalSectorSize * kRawSize);
        for (std::size_t i = 0; i < data.size() / kLogicalSectorSize; ++i) {
            test::ReferenceEncodeMode2Form1(data.data() + i * kLogicalSectorSize, lba + static_cast<std::uint32_t>(i),
                                            kFileSubheaders + i * 8, out.data() + i * kRawSize);
        }
        return out;
    };
    const auto subheaderAndData = [](const Bytes& data, std::uint32_t) {
        Bytes out;
        for (std::size_t i = 0; i < data.size() / kLogicalSectorSize; ++i) {
            out.insert(out.end(), kFileSubheaders + i * 8, kFileSubheaders + i * 8 + 8);
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i * kLogicalSectorSize),
                       data.begin() + static_cast<std::ptrdiff_t>((i + 1) * kLogicalSectorSize));
        }
        return out;
    };
    const std::vector<Case> cases = {
        {"plain ISO", Iso(), 20, 3, 0, 2048, 0, plain},
        {"plain ISO with bytes behind its volume", Join(Iso(), Filler(5000, 0x33)), IsoSectors(), 3, 0, 2048, 0, plain},
        {"plain ISO with a sync pattern at the raw track-mode offset", sync, 20, 1, 0, 2048, 0, plain},
        {"raw Mode 1", *rawMode1_, 20, 3, 0, kRawSize, 1, Mode1Reference},
        {"raw Mode 2 Form 1", *rawMode2_, 20, 3, 0, kRawSize, 2, Mode2Form1Reference},
        {"raw Mode 1 behind 300", Join(Filler(300, 0x5A), *rawMode1_), 20, 3, 300, kRawSize, 1, Mode1Reference},
        {"raw Mode 2 behind 16 KiB + 300", Join(Filler(16684, 0x5A), *rawMode2_), 20, 3, 16684, kRawSize, 2,
         Mode2Form1Reference},
        // The track starts at sector 1000 of its disc, as one behind audio
        // tracks does: the headers of the sectors written say so too.
        {"raw Mode 1 of a track at 1000", Mode1Reference(Iso(), 1000), 20, 3, 0, kRawSize, 1,
         [](const Bytes& data, std::uint32_t lba) { return Mode1Reference(data, lba + 1000); }},
        // More sectors than one encoding batch, appended behind the volume.
        {"many raw sectors appended", *rawMode2_, IsoSectors(), 500, 0, kRawSize, 2, Mode2Form1Reference},
        {"2336-byte sectors", test::EncodeMode2Sectors2336(Iso()), 20, 3, 8, 2336, 0, plain},
        // Raw sectors with subchannel data behind each: it stays, and an
        // appended sector gets its room, as zeros.
        {"raw Mode 1 with subchannel", WithSubchannel(*rawMode1_), 20, 3, 0, 2448, 1, Mode1Reference},
        {"raw Mode 2 with subchannel, appended", WithSubchannel(*rawMode2_), IsoSectors() + 1, 3, 0, 2448, 2,
         Mode2Form1Reference, 96},
        // Sectors written with their own subheaders (a file moved with the subheaders of its old sectors);
        // images without subheaders take the data alone.
        {"raw Mode 2 Form 1, a subheader per sector", *rawMode2_, 20, 3, 0, kRawSize, 2, withSubheaders, 0,
         kFileSubheaders},
        {"raw Mode 2 with subchannel, a subheader per sector", WithSubchannel(*rawMode2_), 20, 3, 0, 2448, 2,
         withSubheaders, 0, kFileSubheaders},
        {"2336-byte sectors, a subheader per sector", test::EncodeMode2Sectors2336(Iso()), 20, 3, 0, 2336, 0,
         subheaderAndData, 0, kFileSubheaders},
        {"raw Mode 1, subheaders given", *rawMode1_, 20, 3, 0, kRawSize, 1, Mode1Reference, 0, kFileSubheaders},
        {"plain ISO, subheaders given", Iso(), 20, 3, 0, 2048, 0, plain, 0, kFileSubheaders},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = RandomBytes(c.count * kLogicalSectorSize, 11);
        const std::string path = Put("image", c.image);
        Sectors sectors = NewSectors();
        ASSERT_TRUE(sectors->Open(path.c_str()));
        EXPECT_EQ(sectors->GetTrackMode(), c.trackMode);
        const std::uint32_t before = sectors->GetSectorCount();
        ASSERT_TRUE(sectors->SeekToEnd());
        if (c.subheaders != nullptr) {
            ASSERT_TRUE(sectors->WriteSectorsWithSubheaders(data.data(), c.subheaders, c.count, c.first))
                << sectors->GetLastError();
        } else {
            ASSERT_TRUE(sectors->WriteSectors(data.data(), c.count, c.first)) << sectors->GetLastError();
        }
        const Bytes stored = c.encode(data, c.first);
        const std::size_t each = stored.size() / c.count;
        Bytes expected = c.image;
        expected.resize(std::max(expected.size(), c.zero + (c.first + c.count - 1) * c.stride + each + c.tail));
        for (std::size_t i = 0; i < c.count; ++i) {
            std::copy_n(stored.begin() + static_cast<std::ptrdiff_t>(i * each), each,
                        expected.begin() + static_cast<std::ptrdiff_t>(c.zero + (c.first + i) * c.stride));
        }
        EXPECT_TRUE(ReadWholeFile(path) == expected);
        Bytes back(data.size());
        ASSERT_TRUE(sectors->ReadSectors(c.first, back.data(), c.count));
        EXPECT_TRUE(back == data);
        EXPECT_EQ(sectors->GetSectorCount(), std::max(before, c.first + c.count));
        // The subheaders stored, where the image stores them, read back as written (the 2048-byte sectors of
        // the 2336-byte test image carry kForm1Subheader).
        Bytes subheaders(std::size_t{c.count} * 8);
        const bool stores = c.stride == 2336 || c.trackMode == 2;
        EXPECT_EQ(sectors->HasSubheaders(), stores);
        ASSERT_EQ(sectors->ReadSubheaders(c.first, c.count, subheaders.data()), stores);
        if (stores) {
            for (std::uint32_t i = 0; i < c.count; ++i) {
                EXPECT_TRUE(std::equal(subheaders.begin() + i * 8, subheaders.begin() + i * 8 + 8,
                                       c.subheaders != nullptr ? c.subheaders + i * 8 : kForm1Subheader))
                    << i;
            }
        }
    }
}

// A logical sector is written as Form 1: a subheader that says Form 2 (2324 bytes of data behind it) is refused,
// and nothing is written.
TEST_F(IsoSectorTest, SectorsAreNeverWrittenWithAForm2Subheader)
{
    const std::string path = Put("image", *rawMode2_);
    Sectors sectors = NewSectors();
    ASSERT_TRUE(sectors->Open(path.c_str()));
    const Bytes data = RandomBytes(2 * kLogicalSectorSize, 12);
    const std::uint8_t subheaders[16] = {0, 0, 0x08, 0, 0, 0, 0x08, 0, 1, 0, 0x60, 0, 1, 0, 0x60, 0};
    EXPECT_FALSE(sectors->WriteSectorsWithSubheaders(data.data(), subheaders, 2, 20));
    EXPECT_NE(std::string(sectors->GetLastError()).find("Form 2"), std::string::npos) << sectors->GetLastError();
    EXPECT_TRUE(ReadWholeFile(path) == *rawMode2_);
}

// Images beyond 4 GiB, as sparse files: positions must not wrap at 32 bits.
TEST_F(IsoSectorTest, SectorsBeyondFourGibibytes)
{
    constexpr std::uint32_t kPlaced = 2'300'000; // put there by the test
    constexpr std::uint32_t kWritten = 2'200'000; // written by the engine
    const Bytes placed = RandomBytes(kLogicalSectorSize, 21);
    const Bytes written = RandomBytes(kLogicalSectorSize, 22);
    struct BigCase {
        std::string name;
        const Bytes& volume;
        std::uint64_t stride;
        std::uint64_t dataOffset;
        bool raw;
    };
    for (const BigCase& big : {BigCase{"plain", Iso(), kLogicalSectorSize, 0, false},
                               BigCase{"raw Mode 1", *rawMode1_, kRawSize, 16, true}}) {
        SCOPED_TRACE(big.name);
        const std::string path = dir_ / "big.img";
        const std::uint64_t length = (std::uint64_t{kPlaced} + 1) * big.stride;
        test::WriteSparseFile(path, big.volume, length);
        {
            const Bytes stored = big.raw ? Mode1Reference(placed, kPlaced) : placed;
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, stored.data(), stored.size(), static_cast<off_t>(kPlaced * big.stride)),
                      static_cast<ssize_t>(stored.size()));
            ::close(fd);
        }
        Sectors sectors = NewSectors();
        ASSERT_TRUE(sectors->Open(path.c_str()));
        EXPECT_EQ(sectors->GetTrackMode(), big.raw ? 1u : 0u);
        EXPECT_EQ(sectors->GetSectorCount(), kPlaced + 1);
        Bytes buffer(kLogicalSectorSize);
        ASSERT_TRUE(sectors->ReadSector(kPlaced, buffer.data()));
        EXPECT_TRUE(buffer == placed);

        ASSERT_TRUE(sectors->WriteSectors(written.data(), 1, kWritten));
        const std::uint64_t at = kWritten * big.stride;
        ASSERT_GT(at, std::uint64_t{1} << 32);
        const Bytes expected = big.raw ? Mode1Reference(written, kWritten) : written;
        EXPECT_TRUE(ReadFileRange(path, at, expected.size()) == expected);
        // Where a 32-bit position would have put it: still the volume.
        const std::uint64_t wrapped = at % (std::uint64_t{1} << 32);
        EXPECT_FALSE(ReadFileRange(path, wrapped, expected.size()) == expected);
        ASSERT_TRUE(sectors->ReadSector(kWritten, buffer.data()));
        EXPECT_TRUE(buffer == written);
        std::error_code error;
        EXPECT_EQ(std::filesystem::file_size(path, error), length);
    }
}

} // namespace
} // namespace tarvelin
