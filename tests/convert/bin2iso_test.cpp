// Image to ISO: every stored form of a real volume converts to the ISO that
// the image reader sees; whole images whatever their sector size; sectors
// placed before the file start; CUE sheets as sources; failures and stops
// reported with 201, a reason, and no output left behind.

#include "convert/bin2iso.h"
#include "core/iso_sector.h"

#include "convert/convert_fixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::Bytes;
using test::Concat;
using test::kLogicalSectorSize;
using test::PaddedToSectors;
using test::ProgressLog;
using test::RandomBytes;
using test::ReadWholeFile;
using test::SyntheticVolume;
using test::TempDir;
using test::WriteWholeFile;

// Each 2048-byte sector of plain stored in a raw-sized sector (user data at
// dataOffset, filler around it): all that detection and conversion read.
Bytes StoreInRawSectors(const Bytes& plain, std::size_t dataOffset)
{
    const std::size_t sectors = plain.size() / kLogicalSectorSize;
    Bytes image(sectors * 2352, 0xA5);
    for (std::size_t i = 0; i < sectors; ++i) {
        std::copy_n(plain.begin() + static_cast<std::ptrdiff_t>(i * kLogicalSectorSize), kLogicalSectorSize,
                    image.begin() + static_cast<std::ptrdiff_t>(i * 2352 + dataOffset));
    }
    return image;
}

// What the image reader makes of an image: every logical sector it counts.
Bytes ReadThroughImageReader(const std::string& path)
{
    ComponentPtr<IIsoSector> sectors(Sector1());
    if (!sectors || !sectors->Open(path.c_str())) {
        throw std::runtime_error("the image reader cannot open " + path);
    }
    Bytes all(std::size_t{sectors->GetSectorCount()} * kLogicalSectorSize);
    if (!sectors->ReadSectors(0, all.data(), sectors->GetSectorCount())) {
        throw std::runtime_error("the image reader cannot read " + path);
    }
    return all;
}

class Bin2IsoTest : public test::ConvertTest {
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
    }

    static void TearDownTestSuite()
    {
        delete iso_;
        delete suiteDir_;
        iso_ = nullptr;
        suiteDir_ = nullptr;
    }

    // Converts source into out.iso; the converter's reason on failure.
    bool Convert(const std::string& source, ProgressLog& log, std::string* error = nullptr)
    {
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        const bool converted = converter->OpenSource(source.c_str()) && converter->OpenTarget(Out().c_str())
                               && converter->Convert(&log, ProgressLog::Record);
        if (error != nullptr) {
            *error = converter->GetLastError();
        }
        return converted;
    }

    std::string Out() const { return dir_ / "out.iso"; }

    static TempDir* suiteDir_;
    static Bytes* iso_;
};

TempDir* Bin2IsoTest::suiteDir_ = nullptr;
Bytes* Bin2IsoTest::iso_ = nullptr;

TEST_F(Bin2IsoTest, EveryStoredFormAndSizeConvertsToTheVolumeTheImageReaderSees)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    const Bytes& iso = *iso_;
    const Bytes oddIso = Concat(iso, RandomBytes(777, 3));
    // A raw image cut 1000 bytes before its end keeps 1336 bytes of its last
    // sector's user data; the rest of that sector reads as zeros.
    const Bytes rawMode1 = test::EncodeRawImage(iso, test::RawForm::Mode1);
    const Bytes cutRaw(rawMode1.begin(), rawMode1.end() - 1000);
    Bytes cutIso(iso);
    std::fill(cutIso.end() - (2048 - 1336), cutIso.end(), 0);
    // Three batches of sectors and a partial last sector: a count taken as
    // the size divided by 2352 would drop the last seventh of a plain image.
    const Bytes synthetic = SyntheticVolume(2600, 11, 100);
    const Bytes whole = PaddedToSectors(synthetic);
    struct Form {
        const char* name;
        Bytes image;
        const Bytes& expected;
    };
    const Form forms[] = {
        {"plain ISO", iso, iso},
        {"plain ISO of odd size", oddIso, PaddedToSectors(oddIso)},
        {"raw Mode 1", rawMode1, iso},
        {"raw Mode 1 cut inside its last sector", cutRaw, cutIso},
        {"raw Mode 1 cut inside its last header", Bytes(rawMode1.begin(), rawMode1.end() - 2340),
         Bytes(iso.begin(), iso.end() - 2048)},
        {"raw Mode 2 Form 1", test::EncodeRawImage(iso, test::RawForm::Mode2Form1), iso},
        {"plain behind a 16 KiB header", Concat(Bytes(16384, 0x5A), iso), iso},
        {"raw Mode 1 behind a 300-byte header",
         Concat(Bytes(300, 0x5A), test::EncodeRawImage(iso, test::RawForm::Mode1)), iso},
        {"2336-byte sectors", test::EncodeMode2Sectors2336(iso), iso},
        {"three batches, plain", synthetic, whole},
        {"three batches, raw Mode 1", StoreInRawSectors(whole, 16), whole},
        {"three batches, raw Mode 2", StoreInRawSectors(whole, 24), whole},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        const std::string source = Put("source.img", form.image);
        ProgressLog log;
        std::string error;
        ASSERT_TRUE(Convert(source, log, &error)) << error;
        const Bytes converted = ReadWholeFile(Out());
        EXPECT_TRUE(converted == form.expected) << converted.size() << " bytes against " << form.expected.size();
        EXPECT_TRUE(converted == ReadThroughImageReader(source));
        log.ExpectProtocol(200);
        // A report per batch of 1024 sectors at least, on the caller's thread.
        EXPECT_GE(log.values.size(), 1 + (converted.size() / kLogicalSectorSize + 1023) / 1024);
        for (const std::thread::id& thread : log.threads) {
            EXPECT_EQ(thread, std::this_thread::get_id()) << "reports come on the caller's thread";
        }
    }
}

TEST_F(Bin2IsoTest, SectorsPlacedBeforeTheFileStartConvertAsZeros)
{
    // The volume without its first 10 sectors and 100 bytes: the scan finds
    // sector 16 at 6 * 2048 - 100, so sectors 0 to 9 and the first 100 bytes
    // of sector 10 lie before the file. They were once a failed conversion.
    const Bytes volume = SyntheticVolume(40, 12);
    constexpr std::size_t kCut = 10 * kLogicalSectorSize + 100;
    const Bytes image(volume.begin() + kCut, volume.end());
    ComponentPtr<IBin2Iso> converter(Bin2ISO1());
    const std::string source = Put("headless.img", image);
    ASSERT_TRUE(converter->OpenSource(source.c_str())) << converter->GetLastError();
    EXPECT_EQ(converter->GetSectorCount(), 40u);
    ASSERT_TRUE(converter->OpenTarget(Out().c_str()));
    ProgressLog log;
    ASSERT_TRUE(converter->Convert(&log, ProgressLog::Record)) << converter->GetLastError();
    Bytes expected(volume);
    std::fill_n(expected.begin(), kCut, 0);
    EXPECT_TRUE(ReadWholeFile(Out()) == expected);
    log.ExpectProtocol(200);
}

TEST_F(Bin2IsoTest, CueSheetSourcesAreFollowedToTheirDataFile)
{
    const Bytes volume = SyntheticVolume(30, 13);
    Put("disc image.bin", StoreInRawSectors(volume, 16));
    const std::string sheet = dir_ / "disc.cue";
    WriteWholeFile(sheet, std::string("FILE \"disc image.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n"
                                      "    INDEX 01 00:00:00\r\n"));
    ProgressLog log;
    std::string error;
    ASSERT_TRUE(Convert(sheet, log, &error)) << error;
    EXPECT_TRUE(ReadWholeFile(Out()) == volume);

    // A mixed-mode disc: audio follows the data track in the same file, from
    // the first INDEX of track 2 on; only the data track is the volume.
    Put("disc image.bin", Concat(StoreInRawSectors(volume, 16), RandomBytes(std::size_t{8} * 2352, 5)));
    WriteWholeFile(sheet, std::string("FILE \"disc image.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                      "  TRACK 02 AUDIO\n    INDEX 00 00:00:30\n    INDEX 01 00:00:32\n"));
    ASSERT_TRUE(Convert(sheet, log, &error)) << error;
    EXPECT_TRUE(ReadWholeFile(Out()) == volume);

    WriteWholeFile(sheet, std::string("FILE \"gone.bin\" BINARY\r\n"));
    ComponentPtr<IBin2Iso> converter(Bin2ISO1());
    EXPECT_FALSE(converter->OpenSource(sheet.c_str()));
    EXPECT_EQ(converter->GetOpenError(), ImageOpenError::CannotOpen);
    EXPECT_NE(std::string(converter->GetLastError()).find("gone.bin"), std::string::npos)
        << converter->GetLastError();
    EXPECT_NE(std::string(converter->GetLastError()).find("disc.cue"), std::string::npos)
        << converter->GetLastError();
}

TEST_F(Bin2IsoTest, OpeningFailuresSayWhy)
{
    {
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        EXPECT_FALSE(converter->OpenSource((dir_ / "missing.bin").c_str()));
        EXPECT_EQ(converter->GetOpenError(), ImageOpenError::CannotOpen);
        EXPECT_NE(std::string(converter->GetLastError()).find("missing.bin"), std::string::npos);
    }
    {
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        EXPECT_FALSE(converter->OpenSource(Put("noise.bin", RandomBytes(64 * 1024, 4)).c_str()));
        EXPECT_EQ(converter->GetOpenError(), ImageOpenError::NoVolume);
        EXPECT_NE(std::string(converter->GetLastError()).find("no ISO 9660 volume"), std::string::npos);
    }
    {
        // Neither a conversion without source nor one without target reports 200.
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        ProgressLog log;
        EXPECT_FALSE(converter->Convert(&log, ProgressLog::Record));
        EXPECT_EQ(log.values, std::vector<std::int32_t>{201});
        ASSERT_TRUE(converter->OpenSource(Put("volume.iso", SyntheticVolume(20, 5)).c_str()));
        EXPECT_FALSE(converter->OpenTarget((dir_ / "no such folder/out.iso").c_str()));
        EXPECT_NE(std::string(converter->GetLastError()).find("no such folder"), std::string::npos);
        EXPECT_FALSE(converter->Convert(&log, ProgressLog::Record));
        EXPECT_EQ(log.values, (std::vector<std::int32_t>{201, 201}));
    }
    {
        // The source as its own target: refused before it is emptied.
        const Bytes volume = SyntheticVolume(20, 6);
        const std::string path = Put("self.iso", volume);
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        ASSERT_TRUE(converter->OpenSource(path.c_str()));
        EXPECT_FALSE(converter->OpenTarget(path.c_str()));
        EXPECT_NE(std::string(converter->GetLastError()).find("in use"), std::string::npos)
            << converter->GetLastError();
        converter.reset();
        EXPECT_TRUE(ReadWholeFile(path) == volume);
    }
}

TEST_F(Bin2IsoTest, AStoppedOrFailedConversionReports201WithItsReasonAndLeavesNoOutput)
{
    const std::string source = Put("volume.iso", SyntheticVolume(3000, 7));
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "a write failed");
        ProgressLog log;
        log.stopAt = stop ? 1 : 0;
        std::string error;
        {
            std::optional<test::FileSizeLimit> limit;
            if (!stop) {
                limit.emplace(3 * 1024 * 1024);
            }
            EXPECT_FALSE(Convert(source, log, &error));
        }
        log.ExpectProtocol(201);
        EXPECT_EQ(std::count(log.values.begin(), log.values.end(), 200), 0);
        EXPECT_TRUE(!stop || log.values.size() == 2u) << log.values.size();
        for (const char* reason : {stop ? "stopped" : "cannot write", stop ? "" : "out.iso"}) {
            EXPECT_NE(error.find(reason), std::string::npos) << error;
        }
        EXPECT_FALSE(test::Exists(Out()));
    }
}

TEST_F(Bin2IsoTest, SourceSectorsBeyondFourGibibytes)
{
    // A sparse raw image of 2,300,001 sectors (5.4 GB) with the volume at its
    // start and one sector placed at its end.
    constexpr std::uint32_t kLast = 2'300'000;
    const Bytes volume = SyntheticVolume(20, 9);
    const Bytes placed = RandomBytes(kLogicalSectorSize, 10);
    const std::string path = dir_ / "big.bin";
    test::WriteSparseFile(path, StoreInRawSectors(volume, 16), (std::uint64_t{kLast} + 1) * 2352);
    {
        const Bytes stored = StoreInRawSectors(placed, 16);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, stored.data(), stored.size(), static_cast<off_t>(std::uint64_t{kLast} * 2352)),
                  static_cast<ssize_t>(stored.size()));
        ::close(fd);
    }
    ComponentPtr<IBin2IsoSectorFile> sectors(NEW_ISOSECTORFILE_BIN2ISO());
    ASSERT_TRUE(sectors);
    ASSERT_TRUE(sectors->OpenSource(path.c_str())) << sectors->GetLastError();
    EXPECT_EQ(sectors->GetLayoutProbe(), LayoutProbe::RawMode1);
    EXPECT_EQ(sectors->GetSectorCount(), kLast + 1);
    Bytes buffer(kLogicalSectorSize, 0xEE);
    ASSERT_TRUE(sectors->ReadSector(kLast, buffer.data()));
    EXPECT_TRUE(buffer == placed);
    // Past the last sector: zeros, not stale bytes.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    ASSERT_TRUE(sectors->ReadSector(kLast + 1, buffer.data()));
    EXPECT_TRUE(buffer == Bytes(kLogicalSectorSize, 0));
}

} // namespace
} // namespace tarvelin
