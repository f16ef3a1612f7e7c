// Image to ISO: every stored form of a real volume converts to the ISO that
// the image reader sees; sectors placed before the file start; CUE sheets
// as sources; sector arithmetic and the mapped reader beyond 4 GiB. (Stops
// and failed writes: the ISO to BIN tests, which run both conversions.)

#include "convert/bin2iso.h"
#include "convert/mapped_file.h"
#include "core/iso_sector.h"

#include "convert/convert_fixtures.h"
#include "support/reference_ecma130.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
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
};

TEST_F(Bin2IsoTest, EveryStoredFormAndSizeConvertsToTheVolumeTheImageReaderSees)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    test::MakeFolderTree(dir_ / "tree");
    test::MakeIsoWithGenisoimage(dir_ / "tree", dir_ / "volume.iso");
    const Bytes iso = ReadWholeFile(dir_ / "volume.iso");
    const Bytes oddIso = Concat(iso, RandomBytes(777, 3));
    // A raw image cut 1000 bytes before its end keeps 1336 bytes of its last
    // sector's user data; the rest of that sector reads as zeros.
    const Bytes rawMode1 = test::EncodeRawImage(iso, test::RawForm::Mode1);
    Bytes cutIso(iso);
    std::fill(cutIso.end() - (2048 - 1336), cutIso.end(), 0);
    // Three batches of sectors and a partial last sector: a count taken as
    // the size divided by 2352 would drop the last seventh of a plain image.
    const Bytes synthetic = SyntheticVolume(2600, 11, 100);
    const Bytes whole = PaddedToSectors(synthetic);
    // The volume without its first 10 sectors and 100 bytes: the scan finds
    // sector 16 at 6 * 2048 - 100, so sectors 0 to 9 and the first 100 bytes
    // of sector 10 lie before the file and convert as zeros (they were once
    // a failed conversion).
    const Bytes small = SyntheticVolume(40, 12);
    constexpr std::size_t kCut = 10 * kLogicalSectorSize + 100;
    Bytes headless(small);
    std::fill_n(headless.begin(), kCut, 0);
    struct Form {
        const char* name;
        Bytes image;
        const Bytes& expected;
        bool asTheReaderSees; // the image reader gives the same sectors
    };
    const Form forms[] = {
        {"plain ISO", iso, iso, true},
        {"plain ISO of odd size", oddIso, PaddedToSectors(oddIso), true},
        {"raw Mode 1", rawMode1, iso, true},
        {"raw Mode 1 cut inside its last sector", Bytes(rawMode1.begin(), rawMode1.end() - 1000), cutIso, true},
        {"raw Mode 1 cut inside its last header", Bytes(rawMode1.begin(), rawMode1.end() - 2340),
         Bytes(iso.begin(), iso.end() - 2048), true},
        {"raw Mode 2 Form 1", test::EncodeRawImage(iso, test::RawForm::Mode2Form1), iso, true},
        {"plain behind a 16 KiB header", Concat(Bytes(16384, 0x5A), iso), iso, true},
        {"raw Mode 1 behind a 300-byte header", Concat(Bytes(300, 0x5A), rawMode1), iso, true},
        {"2336-byte sectors", test::EncodeMode2Sectors2336(iso), iso, true},
        {"three batches, plain", synthetic, whole, true},
        {"three batches, raw Mode 1", StoreInRawSectors(whole, 16), whole, true},
        {"three batches, raw Mode 2", StoreInRawSectors(whole, 24), whole, true},
        {"sectors before the file start", Bytes(small.begin() + kCut, small.end()), headless, false},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        const std::string source = Put("source.img", form.image);
        ProgressLog log;
        std::string error;
        ASSERT_TRUE(Convert(source, log, &error)) << error;
        const Bytes converted = ReadWholeFile(Out());
        EXPECT_TRUE(converted == form.expected) << converted.size() << " bytes against " << form.expected.size();
        EXPECT_TRUE(!form.asTheReaderSees || converted == ReadThroughImageReader(source));
        log.ExpectProtocol(200);
        // A report per batch of 1024 sectors at least, on the caller's thread.
        EXPECT_GE(log.values.size(), 1 + (converted.size() / kLogicalSectorSize + 1023) / 1024);
        for (const std::thread::id& thread : log.threads) {
            EXPECT_EQ(thread, std::this_thread::get_id()) << "reports come on the caller's thread";
        }
    }
}

// A CUE sheet leads to its first data track, wherever its file holds it:
// behind audio tracks (also past the first MiB, where no scan looks), behind
// a pregap stored in the file, in the second of several files; and audio
// that follows it in the same file is no part of the volume. bchunk, given
// the same sheet, cuts out the same data track. A sheet naming a missing
// file says which file and which sheet.
// The data session of an enhanced CD (genisoimage -C) gives its extents as
// sectors of the disc: it converts to a volume that starts the disc, its
// track's first sectors (the descriptors) in front of the session's start,
// and xorriso extracts the folder it was made of from that.
TEST_F(Bin2IsoTest, CueSheetSourcesAreFollowedToTheirDataTrack)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("xorriso");
    const Bytes volume = SyntheticVolume(30, 13);
    const Bytes mode1 = StoreInRawSectors(volume, 16);
    const Bytes mode2 = StoreInRawSectors(volume, 24);
    const auto audio = [](std::size_t sectors, std::uint32_t seed) { return RandomBytes(sectors * 2352, seed); };
    constexpr std::uint32_t kSessionStart = 300;
    test::MakeFolderTree(dir_ / "tree");
    test::MakeIsoWithGenisoimage(dir_ / "tree", dir_ / "session.iso", "-C 0," + std::to_string(kSessionStart));
    const Bytes session = PaddedToSectors(ReadWholeFile(dir_ / "session.iso"));
    const std::size_t sessionSectors = session.size() / kLogicalSectorSize;
    Bytes sessionMode1(sessionSectors * 2352);
    for (std::size_t i = 0; i < sessionSectors; ++i) {
        test::ReferenceEncodeMode1(session.data() + i * kLogicalSectorSize,
                                   kSessionStart + static_cast<std::uint32_t>(i), sessionMode1.data() + i * 2352);
    }
    // What the session converts to: the track's first sectors, then the
    // track from the session's start.
    Bytes fromDiscStart(session.begin(), session.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                               sessionSectors, kSessionStart) * kLogicalSectorSize));
    fromDiscStart.resize(std::size_t{kSessionStart} * kLogicalSectorSize, 0);
    fromDiscStart = Concat(fromDiscStart, session);
    struct Sheet {
        const char* name;
        std::vector<std::pair<std::string, Bytes>> files;
        std::string sheet;
        bool peerAgrees; // bchunk reads the sheet (one file only) and names the data track track02
        bool isSession = false; // the volume is the session, not the synthetic one
    };
    const Sheet sheets[] = {
        {"data, then audio from track 2's first INDEX",
         {{"disc image.bin", Concat(mode1, audio(8, 5))}},
         "FILE \"disc image.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 00 00:00:30\n    INDEX 01 00:00:32\n",
         false},
        {"audio past the first MiB, then data behind a stored pregap",
         {{"disc.bin", Concat(Concat(audio(600, 6), Bytes(150 * 2352, 0)), mode1)}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2352\n    INDEX 00 00:08:00\n    INDEX 01 00:10:00\n",
         true},
        {"audio, then Mode 2 data with a pregap not stored, CRLF line ends",
         {{"disc.bin", Concat(audio(500, 7), mode2)}},
         "CATALOG 0000000000000\r\nFILE \"disc.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
         "  TRACK 02 MODE2/2352\r\n    PREGAP 00:02:00\r\n    INDEX 01 00:06:50\r\n",
         true},
        {"data between audio tracks",
         {{"disc.bin", Concat(Concat(audio(480, 8), mode1), audio(20, 9))}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2352\n    INDEX 01 00:06:30\n  TRACK 03 AUDIO\n    INDEX 01 00:06:60\n",
         true},
        // A sheet that gives the data track no sectors cannot be followed:
        // the file is read whole rather than as an empty volume.
        {"audio said to start where the data track does",
         {{"disc.bin", mode1}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
         false},
        {"2048-byte data, then audio counted in its own sectors",
         {{"disc.bin", Concat(volume, audio(8, 10))}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:00:30\n",
         false},
        {"karaoke audio with its subchannel, then data",
         {{"disc.bin", Concat(RandomBytes(std::size_t{450} * 2448, 12), mode1)}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 CDG\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2352\n    INDEX 01 00:06:00\n",
         false},
        {"one file a track, audio first",
         {{"01 audio.bin", audio(700, 11)}, {"02 data.bin", mode1}},
         "FILE \"01 audio.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "FILE \"02 data.bin\" BINARY\n  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n",
         false},
        {"one file a track, the data track's pregap at the end of the audio track's file",
         {{"01 audio.bin", Concat(audio(550, 16), Bytes(150 * 2352, 0))}, {"02 data.bin", mode1}},
         "FILE \"01 audio.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2352\n    INDEX 00 00:07:25\nFILE \"02 data.bin\" BINARY\n    INDEX 01 00:00:00\n",
         false},
        // The raw headers say where the track starts on the disc.
        {"audio, then a data session in raw sectors",
         {{"disc.bin", Concat(audio(kSessionStart, 14), sessionMode1)}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2352\n    INDEX 01 00:04:00\n",
         false, true},
        // Only the sheet does, counting the pregap the file leaves out.
        {"audio, then a data session in 2048-byte sectors behind a pregap not stored",
         {{"disc.bin", Concat(audio(kSessionStart - 150, 15), session)}},
         "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 MODE1/2048\n    PREGAP 00:02:00\n    INDEX 01 00:02:00\n",
         false, true},
    };
    const std::string sheet = dir_ / "disc.cue";
    for (const Sheet& row : sheets) {
        SCOPED_TRACE(row.name);
        for (const auto& [name, bytes] : row.files) {
            Put(name, bytes);
        }
        WriteWholeFile(sheet, row.sheet);
        ProgressLog log;
        std::string error;
        ASSERT_TRUE(Convert(sheet, log, &error)) << error;
        const Bytes& expected = row.isSession ? fromDiscStart : volume;
        EXPECT_TRUE(ReadWholeFile(Out()) == expected);
        EXPECT_TRUE(ReadThroughImageReader(sheet) == expected);
        if (row.isSession) {
            const test::CommandResult result = test::RunCommand(
                "cd " + test::ShellQuote(dir_.Path()) + " && rm -rf peer && xorriso -load lba "
                + std::to_string(kSessionStart) + " -indev out.iso -osirrox on -extract / peer >/dev/null 2>&1"
                + " && diff -r tree peer");
            EXPECT_EQ(result.exitCode, 0) << result.output << "xorriso reads the session at its disc sector";
            // Read only: a save would have to put the session's sectors
            // elsewhere in the track than their numbers say.
            const Bytes before = ReadWholeFile(dir_ / "disc.bin");
            ComponentPtr<IIsoSector> sectors(Sector1());
            ASSERT_TRUE(sectors->Open(sheet.c_str())) << sectors->GetLastError();
            EXPECT_EQ(sectors->GetLayout().sessionStart, kSessionStart);
            const Bytes data(kLogicalSectorSize, 0x77);
            EXPECT_FALSE(sectors->BeginSave());
            EXPECT_NE(std::string(sectors->GetLastError()).find("start of the disc"), std::string::npos)
                << sectors->GetLastError();
            EXPECT_FALSE(sectors->WriteSectors(data.data(), 1, kSessionStart + 20));
            EXPECT_FALSE(sectors->TruncateSectors(kSessionStart));
            sectors.reset();
            EXPECT_TRUE(ReadWholeFile(dir_ / "disc.bin") == before);
        }
        if (row.peerAgrees && test::ToolAvailable("bchunk")) {
            const test::CommandResult result = test::RunCommand(
                "cd " + test::ShellQuote(dir_.Path()) + " && bchunk disc.bin disc.cue peer");
            ASSERT_EQ(result.exitCode, 0) << result.output;
            EXPECT_TRUE(ReadWholeFile(dir_ / "peer02.iso") == volume) << result.output;
        }
    }

    WriteWholeFile(sheet, std::string("FILE \"gone.bin\" BINARY\r\n"));
    ComponentPtr<IBin2Iso> converter(Bin2ISO1());
    EXPECT_FALSE(converter->OpenSource(sheet.c_str()));
    EXPECT_EQ(converter->GetOpenError(), ImageOpenError::CannotOpen);
    for (const char* named : {"gone.bin", "disc.cue"}) {
        EXPECT_NE(std::string(converter->GetLastError()).find(named), std::string::npos) << converter->GetLastError();
    }
}

TEST_F(Bin2IsoTest, WithoutSourceOrTargetOrWithTheSourceAsTargetNothingIsConverted)
{
    // Neither a conversion without source nor one without target reports 200.
    ComponentPtr<IBin2Iso> converter(Bin2ISO1());
    ProgressLog log;
    EXPECT_FALSE(converter->Convert(&log, ProgressLog::Record));
    const Bytes volume = SyntheticVolume(20, 6);
    const std::string path = Put("self.iso", volume);
    ASSERT_TRUE(converter->OpenSource(path.c_str()));
    EXPECT_FALSE(converter->Convert(&log, ProgressLog::Record));
    EXPECT_EQ(log.values, (std::vector<std::int32_t>{201, 201}));
    // The source as its own target: refused before it is emptied.
    EXPECT_FALSE(converter->OpenTarget(path.c_str()));
    EXPECT_NE(std::string(converter->GetLastError()).find("is the source image of the conversion"), std::string::npos)
        << converter->GetLastError();
    converter.reset();
    EXPECT_TRUE(ReadWholeFile(path) == volume);
}

TEST_F(Bin2IsoTest, SourceSectorsBeyondFourGibibytes)
{
    // A sparse raw image of 2,300,001 sectors (5.4 GB) with the volume at its
    // start and one sector placed at its end.
    constexpr std::uint32_t kLast = 2'300'000;
    const Bytes placed = RandomBytes(kLogicalSectorSize, 10);
    const std::string path = dir_ / "big.bin";
    test::WriteSparseFile(path, StoreInRawSectors(SyntheticVolume(20, 9), 16), (std::uint64_t{kLast} + 1) * 2352);
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

    // 3,000,000 raw sectors: 7 GB, past what 32-bit sizes and positions hold.
    const ImageLayout raw{0, 0, 2352, 16, 288};
    constexpr std::uint64_t kRawLength = std::uint64_t{3'000'000} * 2352;
    EXPECT_EQ(SectorCountOf(raw, kRawLength + 16), 3'000'000u) << "a sector whose data starts at the end";
    EXPECT_EQ(SectorCountOf(raw, kRawLength + 17), 3'000'001u) << "a partial last sector";
    EXPECT_EQ(UserDataStart(raw, 2'999'999), std::int64_t{2'999'999} * 2352 + 16);
    EXPECT_EQ(SectorCountOf(ImageLayout{}, 1000), 0u);
}

// The mapped source readers' positions and short reads.
TEST_F(Bin2IsoTest, MappedReadersReadShortOnlyAtTheEnd)
{
    const Bytes bytes = RandomBytes(5000, 1);
    const std::string path = Put("file", bytes);
    for (IMappedFile* (*factory)() : {NEW_READFILEMAP_BIN2ISO, NEW_READFILEMAP_ISO2BIN}) {
        ComponentPtr<IMappedFile> file(factory());
        ASSERT_TRUE(file->Open(path.c_str())) << file->GetLastError();
        EXPECT_EQ(file->GetSize(), 5000u);
        Bytes buffer(100, 0xEE);
        EXPECT_TRUE(file->Seek(4950));
        EXPECT_EQ(file->Read(buffer.data(), 100), 50u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50, bytes.begin() + 4950));
        EXPECT_EQ(buffer[50], 0xEE) << "bytes past the end are left alone";
        EXPECT_EQ(file->Read(buffer.data(), 100), 0u) << "the position follows the bytes read";
        EXPECT_FALSE(file->Seek(5001));
        EXPECT_EQ(file->ReadAt(6000, buffer.data(), 10), 0u);
        EXPECT_EQ(file->ReadAt(10, buffer.data(), 20), 20u);
        EXPECT_EQ(file->Read(buffer.data() + 20, 20), 20u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 40, bytes.begin() + 10));
    }
}

} // namespace
} // namespace tarvelin
