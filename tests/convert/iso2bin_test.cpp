// ISO to BIN: raw sectors that agree with the independent encoder, a round
// trip through a peer tool, the CUE sheet
// beside the BIN, refused sources and names, and a worker that ends with
// 201 and no files on a stop or a failure, is waited for on destruction,
// and may be destroyed from inside its final report.

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"
#include "core/iso_sector.h"

#include "convert/convert_fixtures.h"
#include "support/reference_ecma130.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::Bytes;
using test::kLogicalSectorSize;
using test::PaddedToSectors;
using test::ProgressLog;
using test::ReadWholeFile;
using test::SyntheticVolume;
using test::WriteWholeFile;

constexpr std::size_t kRawSize = 2352;

std::string ReadText(const std::string& path)
{
    const Bytes bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

class Iso2BinTest : public test::ConvertTest {
protected:
    // Converts source to bin and waits; the converter's reason on failure.
    bool ToBin(const std::string& source, const std::string& bin, ProgressLog& log, std::string* error = nullptr)
    {
        ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
        bool converted = converter->OpenSource(source.c_str()) && converter->OpenTarget(bin.c_str())
                         && converter->Start(&log, ProgressLog::Record);
        converted = converted && converter->Wait();
        if (error != nullptr) {
            *error = converter->GetLastError();
        }
        return converted;
    }

    std::string Bin() const { return dir_ / "out.bin"; }
    std::string Cue() const { return dir_ / "out.cue"; }
};

TEST_F(Iso2BinTest, BinSectorsAgreeWithTheIndependentEncoder)
{
    // Three batches and a partial last sector, whose missing bytes are zeros.
    const Bytes volume = SyntheticVolume(2100, 21, 300);
    ProgressLog log;
    std::string error;
    ASSERT_TRUE(ToBin(Put("volume.iso", volume), Bin(), log, &error)) << error;
    const Bytes bin = ReadWholeFile(Bin());
    const Bytes padded = PaddedToSectors(volume);
    const std::size_t sectors = padded.size() / kLogicalSectorSize;
    ASSERT_EQ(bin.size(), sectors * kRawSize) << "one raw sector per sector of the ISO, none more";
    std::uint8_t expected[kRawSize];
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < sectors; ++i) {
        test::ReferenceEncodeMode1(padded.data() + i * kLogicalSectorSize, static_cast<std::uint32_t>(i), expected);
        if (!std::equal(expected, expected + kRawSize, bin.begin() + static_cast<std::ptrdiff_t>(i * kRawSize))) {
            ADD_FAILURE() << "sector " << i << " differs from the reference encoding";
            if (++mismatches == 5) {
                break;
            }
        }
    }
    log.ExpectProtocol(200);
    for (const std::thread::id& thread : log.threads) {
        EXPECT_NE(thread, std::this_thread::get_id()) << "reports come on the worker thread";
    }
}

TEST_F(Iso2BinTest, APeerToolConvertsOurBinAndCueBackToTheIso)
{
    TARVELIN_REQUIRE_TOOL("bchunk");
    const Bytes volume = SyntheticVolume(300, 23);
    ProgressLog log;
    std::string error;
    ASSERT_TRUE(ToBin(Put("volume.iso", volume), Bin(), log, &error)) << error;
    const test::CommandResult result = test::RunCommand("cd " + test::ShellQuote(dir_.Path())
                                                        + " && bchunk out.bin out.cue track");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    ASSERT_TRUE(test::Exists(dir_ / "track01.iso")) << "the track was not taken for a Mode 1 data track:\n"
                                                    << result.output;
    EXPECT_TRUE(ReadWholeFile(dir_ / "track01.iso") == volume);
}

TEST_F(Iso2BinTest, TheCueSheetNamesTheBinThatLiesBesideIt)
{
    const Bytes volume = SyntheticVolume(40, 24);
    const std::string source = Put("volume.iso", volume);
    ProgressLog log;
    std::string error;
    ASSERT_TRUE(ToBin(source, Bin(), log, &error)) << error;
    EXPECT_EQ(ReadText(Cue()), "FILE \"out.bin\"   BINARY \r\n TRACK 01 MODE1/2352\r\n   INDEX 01 00:00:00\r\n");

    // A backslash is part of the name here: written as it is, not doubled,
    // and the image reader finds the BIN through the sheet.
    const std::string odd = dir_ / "a\\b c.img";
    ASSERT_TRUE(ToBin(source, odd, log, &error)) << error;
    const std::string oddCue = dir_ / "a\\b c.cue";
    EXPECT_EQ(ReadText(oddCue), "FILE \"a\\b c.img\"   BINARY \r\n TRACK 01 MODE1/2352\r\n   INDEX 01 00:00:00\r\n");
    ComponentPtr<IIsoSector> reader(Sector1());
    ASSERT_TRUE(reader->Open(oddCue.c_str())) << reader->GetLastError();
    EXPECT_EQ(reader->GetLayoutProbe(), LayoutProbe::RawMode1);
    EXPECT_EQ(reader->GetTrackMode(), 1u);
    Bytes sectors(volume.size());
    ASSERT_TRUE(reader->ReadSectors(0, sectors.data(), 40));
    EXPECT_TRUE(sectors == volume);

    EXPECT_EQ(CueSheetPathFor("/d/disc.raw.image"), "/d/disc.raw.cue");
    EXPECT_EQ(CueSheetPathFor("/d.v2/disc"), "/d.v2/disc.cue") << "a dot in the folder is no extension";
}

// 2336-byte sectors are no plain ISO: refused with the reason, nothing to
// start. A CUE sheet is followed to its data file, here a plain ISO.
TEST_F(Iso2BinTest, SourcesAreTakenOnlyAsPlainIsoImages)
{
    const Bytes volume = SyntheticVolume(40, 25);
    ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
    EXPECT_FALSE(converter->OpenSource(Put("source.img", test::EncodeMode2Sectors2336(volume)).c_str()));
    EXPECT_EQ(converter->GetOpenError(), ImageOpenError::CannotOpen);
    EXPECT_NE(std::string(converter->GetLastError()).find("2336-byte sectors"), std::string::npos)
        << converter->GetLastError();
    EXPECT_EQ(converter->GetSectorCount(), 0u);
    ASSERT_TRUE(converter->OpenTarget(Bin().c_str()));
    ProgressLog log;
    EXPECT_FALSE(converter->Start(&log, ProgressLog::Record)) << "nothing to convert";
    EXPECT_TRUE(log.values.empty());
    converter.reset();

    Put("volume.iso", volume);
    const std::string sheet = dir_ / "volume.cue";
    WriteWholeFile(sheet, std::string("FILE \"volume.iso\" BINARY\r\n  TRACK 01 MODE1/2048\r\n"));
    std::string error;
    ASSERT_TRUE(ToBin(sheet, Bin(), log, &error)) << error;
    EXPECT_EQ(ReadWholeFile(Bin()).size(), 40 * kRawSize);
}

TEST_F(Iso2BinTest, TargetsThatNoCueSheetCanNameAreRefusedUntouched)
{
    const std::string source = Put("volume.iso", SyntheticVolume(20, 27));
    for (const std::string& target : {dir_ / "say \"cheese\".bin", dir_ / "line\nbreak.bin", dir_ / "disc.cue",
                                      dir_ / "missing folder/out.bin"}) {
        SCOPED_TRACE(target);
        ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
        ASSERT_TRUE(converter->OpenSource(source.c_str()));
        EXPECT_FALSE(converter->OpenTarget(target.c_str()));
        EXPECT_STRNE(converter->GetLastError(), "");
        EXPECT_FALSE(test::Exists(target));
    }
}

// Both conversions stopped, or failing on a write, and a CUE sheet that
// cannot be made (the BIN alone is no result either): 201 with the reason,
// no 200, and no files.
TEST_F(Iso2BinTest, AStoppedOrFailedConversionReports201WithItsReasonAndLeavesNoFiles)
{
    const std::string source = Put("volume.iso", SyntheticVolume(3000, 28));
    const std::string iso = dir_ / "out.iso";
    const auto toIso = [&](ProgressLog& log, std::string& error) {
        ComponentPtr<IBin2Iso> converter(Bin2ISO1());
        const bool converted = converter->OpenSource(source.c_str()) && converter->OpenTarget(iso.c_str())
                               && converter->Convert(&log, ProgressLog::Record);
        error = converter->GetLastError();
        return converted;
    };
    struct Case {
        const char* name;
        bool toBin;
        std::size_t stopAt;
        bool limited;
        bool cueTaken; // a folder holds the CUE sheet's name
        std::vector<std::string> reasons;
    };
    const Case cases[] = {
        {"image to ISO stopped", false, 1, false, false, {"stopped"}},
        {"image to ISO, a write failed", false, 0, true, false, {"cannot write", "out.iso"}},
        {"ISO to BIN stopped", true, 1, false, false, {"stopped"}},
        {"ISO to BIN, a write failed", true, 0, true, false, {"cannot write", "out.bin"}},
        {"ISO to BIN, no CUE sheet", true, 0, false, true, {"out.cue"}},
    };
    // The same runs through the job reports: Cancelled when stopped, Failed
    // with the reason otherwise.
    const auto byJob = [&](bool toBin, ProgressLog& log, std::string& error) {
        const Job::OnProgress onProgress = [&log](const JobProgress& done) {
            return ProgressLog::Record(&log, ScaledProgress(done.fraction));
        };
        if (!toBin) {
            ComponentPtr<IBin2Iso> converter(Bin2ISO1());
            EXPECT_TRUE(converter->OpenSource(source.c_str()) && converter->OpenTarget(iso.c_str()));
            const JobReport report = converter->RunJob(onProgress);
            error = converter->GetLastError();
            return report;
        }
        ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
        std::promise<JobReport> end;
        EXPECT_TRUE(converter->OpenSource(source.c_str()) && converter->OpenTarget(Bin().c_str()));
        EXPECT_TRUE(converter->StartJob(onProgress, [&end](const JobReport& report) { end.set_value(report); }));
        const JobReport report = end.get_future().get();
        converter->Wait();
        error = converter->GetLastError();
        return report;
    };
    for (const bool jobs : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (jobs ? ", job reports" : ", percents"));
            if (c.cueTaken) {
                ASSERT_EQ(::mkdir(Cue().c_str(), 0755), 0);
            }
            ProgressLog log;
            log.stopAt = c.stopAt;
            std::string error;
            {
                std::optional<test::FileSizeLimit> limit;
                if (c.limited) {
                    limit.emplace(3 * 1024 * 1024);
                }
                if (!jobs) {
                    EXPECT_FALSE(c.toBin ? ToBin(source, Bin(), log, &error) : toIso(log, error));
                } else {
                    const JobReport end = byJob(c.toBin, log, error);
                    EXPECT_EQ(end.state, c.stopAt != 0 ? JobState::Cancelled : JobState::Failed);
                    EXPECT_EQ(end.reason, c.stopAt != 0 ? std::string() : error);
                }
            }
            if (!jobs) {
                log.ExpectProtocol(201);
                EXPECT_EQ(std::count(log.values.begin(), log.values.end(), 200), 0);
            }
            EXPECT_TRUE(c.stopAt == 0 || log.values.size() == 1u + !jobs) << log.values.size();
            for (const std::string& reason : c.reasons) {
                EXPECT_NE(error.find(reason), std::string::npos) << error;
            }
            EXPECT_FALSE(test::Exists(Bin()));
            EXPECT_FALSE(test::Exists(iso));
            EXPECT_EQ(test::Exists(Cue()), c.cueTaken);
            std::filesystem::remove(Cue());
        }
    }
}

TEST_F(Iso2BinTest, TheWorkerIsWaitedForAndStartsOnce)
{
    const Bytes volume = SyntheticVolume(2500, 30);
    const std::string source = Put("volume.iso", volume);
    {
        // Destroyed at once after Start: destruction waits for the worker,
        // which finishes its work.
        ProgressLog log;
        ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
        ASSERT_TRUE(converter->OpenSource(source.c_str()));
        ASSERT_TRUE(converter->OpenTarget(Bin().c_str()));
        ASSERT_TRUE(converter->Start(&log, ProgressLog::Record));
        EXPECT_FALSE(converter->Start(&log, ProgressLog::Record));
        EXPECT_FALSE(converter->OpenTarget((dir_ / "other.bin").c_str())) << "not while the worker runs";
        converter.reset();
        log.ExpectProtocol(200);
        EXPECT_EQ(ReadWholeFile(Bin()).size(), 2500 * kRawSize);
        EXPECT_TRUE(test::Exists(Cue()));
    }
    {
        ComponentPtr<IIso2Bin> converter(NEW_ISO2BIN1());
        EXPECT_FALSE(converter->Start(nullptr, nullptr)) << "no source";
        EXPECT_FALSE(converter->IsFinished());
        EXPECT_FALSE(converter->Wait());
        ASSERT_TRUE(converter->OpenSource(source.c_str()));
        EXPECT_FALSE(converter->Start(nullptr, nullptr)) << "no target";
        ASSERT_TRUE(converter->OpenTarget(Bin().c_str()));
        ASSERT_TRUE(converter->Start(nullptr, nullptr)) << "a null callback is allowed";
        EXPECT_TRUE(converter->Wait());
        EXPECT_TRUE(converter->IsFinished());
        EXPECT_EQ(ReadWholeFile(Bin()).size(), 2500 * kRawSize);
    }
    {
        // Destroyed from inside its final report, on the worker's thread:
        // the finished files stay.
        struct Owner {
            IIso2Bin* converter = nullptr;
            std::promise<std::int32_t> last;
            static bool Report(void* context, std::int32_t value)
            {
                auto& owner = *static_cast<Owner*>(context);
                if (value == kConvertDone || value == kConvertFailed) {
                    owner.converter->Destroy();
                    owner.last.set_value(value);
                }
                return true;
            }
        } owner;
        std::filesystem::remove(Bin());
        std::filesystem::remove(Cue());
        owner.converter = NEW_ISO2BIN1();
        ASSERT_TRUE(owner.converter->OpenSource(source.c_str()));
        ASSERT_TRUE(owner.converter->OpenTarget(Bin().c_str()));
        std::future<std::int32_t> last = owner.last.get_future();
        ASSERT_TRUE(owner.converter->Start(&owner, Owner::Report));
        EXPECT_EQ(last.get(), kConvertDone);
        EXPECT_EQ(ReadWholeFile(Bin()).size(), 2500 * kRawSize);
        EXPECT_TRUE(test::Exists(Cue()));
    }
}

} // namespace
} // namespace tarvelin
