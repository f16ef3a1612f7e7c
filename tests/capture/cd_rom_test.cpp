#include "capture/cd_rom.h"
#include "capture_fixtures.h"
#include "core/raw_sector.h"
#include "platform/scsi.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tarvelin;
using tarvelin::test::CaptureTest;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes RawDisc(std::uint32_t sectors)
{
    const Bytes user = test::RandomBytes(std::size_t{sectors} * 2048, 7);
    Bytes raw(std::size_t{sectors} * 2352);
    raw::EncodeMode1Sectors(user.data(), sectors, 0, raw.data());
    return raw;
}

class CdRomTest : public CaptureTest {
protected:
    void SetUp() override
    {
        CaptureTest::SetUp();
        drive_.SetDisc(RawDisc(40));
        rom_ = Rom1();
        ASSERT_NE(rom_, nullptr);
    }
    void TearDown() override
    {
        DestroyComponent(rom_);
        CaptureTest::TearDown();
    }
    ICdRom* rom_ = nullptr;
};

// An unknown letter, or no selection, sends nothing; with no drive there
// are no letters. (The drive list and its INQUIRY answer: the drives
// command's tests.)
TEST_F(CdRomTest, OnlyTheSelectedDriveIsSentCommands)
{
    ASSERT_TRUE(rom_->Initialize());
    drive_.ClearCommands();
    EXPECT_FALSE(rom_->SelectDrive('E'));
    std::uint8_t toc[804];
    EXPECT_FALSE(rom_->ReadToc(toc, sizeof toc, 0));
    ASSERT_TRUE(rom_->SelectDrive('D'));
    rom_->ReleaseDrive();
    EXPECT_FALSE(rom_->SetSpeed(ICdRom::kMaximumSpeed));
    EXPECT_TRUE(drive_.Commands().empty());

    ICdRom* other = Rom1();
    drive_.SetPresent(false);
    EXPECT_FALSE(other->Initialize());
    char letters[ICdRom::kMaxDrives] = {};
    EXPECT_EQ(other->GetDriveLetters(letters), 0u);
    EXPECT_FALSE(other->SelectDrive('D'));
    DestroyComponent(other);
}

TEST_F(CdRomTest, CommandBlocksAreByteExact)
{
    ASSERT_TRUE(rom_->Initialize());
    // Discovery sends INQUIRY with its 100-byte allocation.
    ASSERT_FALSE(drive_.Commands().empty());
    EXPECT_EQ(drive_.Commands().front(), (Bytes{0x12, 0, 0, 0, 100, 0}));
    ASSERT_TRUE(rom_->SelectDrive('D'));
    drive_.ClearCommands();
    std::uint8_t toc[804];
    ASSERT_TRUE(rom_->ReadToc(toc, 804, 0));
    ASSERT_TRUE(rom_->SetSpeed(0xFFFF));
    ASSERT_TRUE(rom_->SetSpeed(1));
    Bytes raw(24 * 2352);
    ASSERT_TRUE(rom_->ReadSectors(0, 24, raw.data()));
    EXPECT_FALSE(rom_->ReadSectors(0x123456, 1, raw.data())); // past the disc
    rom_->SetRawReadMode();
    const std::vector<Bytes> expected = {
        {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0x00},
        {0xBB, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0},
        {0xBB, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0},
        {0xBE, 0, 0, 0x00, 0x00, 0x00, 0, 0, 24, 0xF8, 0, 0},
        {0xBE, 0, 0, 0x12, 0x34, 0x56, 0, 0, 1, 0xF8, 0, 0},
        {0x55, 0x00, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0},
        {0x55, 0x10, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0},
    };
    EXPECT_EQ(drive_.Commands(), expected);
    EXPECT_EQ(Bytes(raw.begin(), raw.end()), RawDisc(24));
}

// A CHECK CONDITION is a failed read, whatever the buffer holds; so is
// GOOD status with the data in the buffer when the adapter or the driver
// reports trouble.
TEST_F(CdRomTest, CheckConditionOrAdapterOrDriverTroubleIsAFailedRead)
{
    drive_.FailSector(5, 1);
    ASSERT_TRUE(rom_->Initialize());
    ASSERT_TRUE(rom_->SelectDrive('D'));
    Bytes raw(24 * 2352);
    EXPECT_FALSE(rom_->ReadSectors(0, 24, raw.data()));
    EXPECT_TRUE(rom_->ReadSectors(0, 24, raw.data()));
    EXPECT_EQ(drive_.ReadAttempts(5), 2);
    for (const auto& [host, driver] : {std::pair<int, int>{0x07, 0}, {0, 0x04}, {0x01, 0x06}}) {
        drive_.SetAdapterTrouble(static_cast<std::uint16_t>(host), static_cast<std::uint16_t>(driver));
        EXPECT_FALSE(rom_->ReadSectors(0, 1, raw.data())) << host << " " << driver;
    }
    drive_.SetAdapterTrouble(0, 0);
    EXPECT_TRUE(rom_->ReadSectors(0, 1, raw.data()));

    std::unique_ptr<platform::IScsiDevice> device = drive_.Open("simulated-cdrom");
    ASSERT_NE(device, nullptr);
    drive_.FailSector(7, capture::SimulatedCdRom::kAlways);
    const std::uint8_t cdb[12] = {0xBE, 0, 0, 0, 0, 7, 0, 0, 1, 0xF8, 0, 0};
    platform::ScsiResult result;
    EXPECT_FALSE(device->Execute(cdb, platform::ScsiDirection::In, raw.data(), 2352, 5000, result));
    EXPECT_TRUE(result.delivered);
    EXPECT_EQ(result.status, platform::kScsiCheckCondition);
    EXPECT_EQ(result.sense[2], 0x03); // medium error
}

// What a pass-through reports, read into a result: any status but GOOD,
// any host status and any driver status but "sense data came back" fail.
// The SG_IO rows carry all four fields; the NT rows have no adapter or
// driver status, only the SCSI status and the sense bytes returned.
TEST(ScsiResultTest, PassThroughOutcomeFailsOnCheckConditionHostOrDriverTrouble)
{
    struct Case {
        std::uint8_t status;
        std::uint16_t host;
        std::uint16_t driver;
        std::uint8_t senseWritten;
        bool succeeded;
        std::uint32_t senseKept;
    };
    const Case cases[] = {
        {0x00, 0, 0, 0, true, 0},       {0x00, 0, 0x08, 18, true, 18}, // SG_IO: sense bytes alone are no trouble
        {0x02, 0, 0x08, 18, false, 18},                                // SG_IO: CHECK CONDITION
        {0x08, 0, 0, 0, false, 0},                                     // BUSY
        {0x00, 0x07, 0, 0, false, 0},                                  // DID_ERROR
        {0x00, 0x03, 0, 0, false, 0},                                  // DID_TIME_OUT
        {0x00, 0, 0x06, 0, false, 0},                                  // DRIVER_TIMEOUT
        {0x00, 0, 0x28, 18, false, 18},                                // DRIVER_SENSE, SUGGEST_ABORT
        {0x02, 0, 0, 18, false, 18},                                   // NT: CHECK CONDITION with sense
        {0x18, 0, 0, 0, false, 0},                                     // NT: RESERVATION CONFLICT
        {0x02, 0, 0, 255, false, 32},                                  // more sense claimed than the buffer holds
    };
    for (const Case& c : cases) {
        platform::ScsiResult result;
        platform::ReadPassThroughOutcome(c.status, c.host, c.driver, c.senseWritten, result);
        EXPECT_EQ(result.Succeeded(), c.succeeded) << int{c.status} << " " << c.host << " " << c.driver;
        EXPECT_EQ(result.senseLength, c.senseKept) << int{c.status} << " " << int{c.senseWritten};
    }
    EXPECT_FALSE(platform::ScsiResult{}.Succeeded()); // never delivered
}

TEST_F(CdRomTest, SimulatedDriveLoadsIsoAndRawImages)
{
    test::TempDir dir;
    const Bytes user = test::RandomBytes(3 * 2048, 9);
    test::WriteWholeFile(dir / "disc.iso", user);
    std::string error;
    ASSERT_TRUE(drive_.LoadImage(dir / "disc.iso", error)) << error;
    ASSERT_TRUE(rom_->Initialize());
    ASSERT_TRUE(rom_->SelectDrive('D'));
    Bytes raw(3 * 2352);
    ASSERT_TRUE(rom_->ReadSectors(0, 3, raw.data()));
    EXPECT_TRUE(std::equal(user.begin(), user.begin() + 2048, raw.begin() + 16));
    EXPECT_FALSE(rom_->ReadSectors(1, 3, raw.data())); // beyond the lead-out

    test::WriteWholeFile(dir / "disc.bin", raw);
    ASSERT_TRUE(drive_.LoadImage(dir / "disc.bin", error)) << error;
    Bytes again(3 * 2352);
    ASSERT_TRUE(rom_->ReadSectors(0, 3, again.data()));
    EXPECT_EQ(again, raw);
    test::WriteWholeFile(dir / "odd.bin", Bytes(1000));
    EXPECT_FALSE(drive_.LoadImage(dir / "odd.bin", error));
}

// Runs against the machine's own drive; most machines have none.
TEST(ScsiTransportTest, SystemPassThroughAnswersInquiryOnARealDrive)
{
    if (!std::filesystem::exists("/dev/sr0")) {
        GTEST_SKIP() << "no /dev/sr0 on this machine: the SG_IO transport was not exercised";
    }
    platform::IScsiTransport& transport = platform::SystemScsiTransport();
    const std::vector<std::string> drives = transport.ListDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.front(), "/dev/sr0");
    std::unique_ptr<platform::IScsiDevice> device = transport.Open("/dev/sr0");
    if (device == nullptr) {
        GTEST_SKIP() << "/dev/sr0 exists but cannot be opened by this user";
    }
    const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 100, 0};
    std::uint8_t data[100] = {};
    platform::ScsiResult result;
    ASSERT_TRUE(device->Execute(cdb, platform::ScsiDirection::In, data, sizeof data, 2000, result));
    EXPECT_EQ(data[0] & 0x1F, 0x05); // peripheral device type: CD/DVD
}

} // namespace
