// Recording dates and volume dates carry local time with the zone's real
// offset, and read back to the same moment in any zone.

#include "iso/iso9660.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tarvelin::iso {
namespace {

using platform::FileTime;

constexpr FileTime kTicksPerSecond = platform::kFileTimeTicksPerSecond;

FileTime Utc(int year, int month, int day, int hour, int minute, int second = 0, int millisecond = 0)
{
    const platform::CalendarTime fields{year, month, day, hour, minute, second, millisecond, 0};
    FileTime time = 0;
    EXPECT_TRUE(platform::UtcToFileTime(fields, time));
    return time;
}

// Each test chooses its zones; the process's zone is put back after.
class Iso9660Dates : public ::testing::Test {
protected:
    static void UseZone(const char* zone)
    {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }

private:
    test::ScopedZone restore_{"UTC"};
};

TEST_F(Iso9660Dates, LocalTimeIsWrittenWithTheZonesRealOffsetAndReadsBackInAnyZone)
{
    struct Case {
        const char* zone;
        FileTime moment;
        RecordingDate written;
        FileTime readBack; // the moment to the second
    };
    const FileTime summer = Utc(2004, 7, 9, 8, 5, 0);
    const FileTime unwritable = Utc(2010, 3, 1, 20, 15, 9);
    const Case cases[] = {
        {"Europe/Berlin", Utc(2004, 1, 15, 12, 0, 30), {104, 1, 15, 13, 0, 30, 4}, Utc(2004, 1, 15, 12, 0, 30)},
        {"Europe/Berlin", summer, {104, 7, 9, 10, 5, 0, 8}, summer},
        // 2004-10-31: the clock shows 02:30 twice, first in summer time (+2),
        // then in winter time (+1). The offset byte tells the two apart.
        {"Europe/Berlin", Utc(2004, 10, 31, 0, 30), {104, 10, 31, 2, 30, 0, 8}, Utc(2004, 10, 31, 0, 30)},
        {"Europe/Berlin", Utc(2004, 10, 31, 1, 30), {104, 10, 31, 2, 30, 0, 4}, Utc(2004, 10, 31, 1, 30)},
        // Sub-second parts are dropped, not rounded.
        {"Europe/Berlin", Utc(2004, 7, 9, 8, 5, 7, 999) + 9999, {104, 7, 9, 10, 5, 7, 8}, Utc(2004, 7, 9, 8, 5, 7)},
        {"Asia/Kolkata", summer, {104, 7, 9, 13, 35, 0, 22}, summer},
        {"America/New_York", Utc(2004, 1, 15, 12, 0), {104, 1, 15, 7, 0, 0, -20}, Utc(2004, 1, 15, 12, 0)},
        // +14:00 lies beyond the +13:00 that the offset byte allows; 20
        // minutes are no whole number of quarter hours: UTC instead.
        {"Pacific/Kiritimati", unwritable, {110, 3, 1, 20, 15, 9, 0}, unwritable},
        {"XYZ-0:20", unwritable, {110, 3, 1, 20, 15, 9, 0}, unwritable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zone);
        UseZone(c.zone);
        const RecordingDate date = RecordingDateFromFileTime(c.moment);
        EXPECT_EQ(date, c.written);
        std::uint8_t bytes[7] = {};
        PutRecordingDate(bytes, 0, date);
        EXPECT_EQ(bytes[6], static_cast<std::uint8_t>(c.written.gmtOffset));
        EXPECT_EQ(ReadRecordingDate(bytes, 0), date);
        // Reading does not depend on the reader's zone.
        UseZone(c.zone == std::string("America/New_York") ? "Asia/Kolkata" : "America/New_York");
        EXPECT_EQ(FileTimeFromRecordingDate(date), c.readBack);
    }
}

TEST_F(Iso9660Dates, UnsetInvalidAndOutOfRangeDates)
{
    UseZone("UTC");
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{}), std::nullopt);
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 13, 1, 0, 0, 0, 0}), std::nullopt);
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 2, 30, 0, 0, 0, 0}), std::nullopt);
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 2, 29, 24, 0, 0, 0}), std::nullopt);
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 2, 29, 0, 0, 0, 0}), Utc(2004, 2, 29, 0, 0));

    // +14:00 (56, as genisoimage writes it in the Line Islands) is read as it stands; an offset beyond -48..+56
    // says nothing, and the date is read as UTC (genisoimage labels some dates from 2028 on with -96).
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 7, 9, 20, 0, 0, 56}), Utc(2004, 7, 9, 6, 0));
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{104, 7, 9, 20, 0, 0, 127}), Utc(2004, 7, 9, 20, 0));
    EXPECT_EQ(FileTimeFromRecordingDate(RecordingDate{136, 9, 4, 10, 57, 41, -96}), Utc(2036, 9, 4, 10, 57, 41));

    // 1601 (file time 0) and 2156 are outside what the year byte holds.
    EXPECT_TRUE(RecordingDateFromFileTime(0).IsUnset());
    EXPECT_TRUE(RecordingDateFromFileTime(Utc(2156, 1, 1, 0, 0)).IsUnset());
    EXPECT_EQ(RecordingDateFromFileTime(Utc(2155, 12, 31, 23, 59, 59)), (RecordingDate{255, 12, 31, 23, 59, 59, 0}));
    EXPECT_EQ(RecordingDateFromFileTime(Utc(1900, 1, 1, 0, 0)), (RecordingDate{0, 1, 1, 0, 0, 0, 0}));
}

TEST_F(Iso9660Dates, VolumeDatesUseDigitsAndTheOffset)
{
    UseZone("Europe/Berlin");
    const FileTime moment = Utc(2004, 7, 9, 8, 5, 7, 250);
    const VolumeDate date = VolumeDateFromFileTime(moment);
    const std::string digits(date.begin(), date.begin() + 16);
    EXPECT_EQ(digits, "2004070910050725");
    EXPECT_EQ(date[16], 8);
    EXPECT_EQ(FileTimeFromVolumeDate(date), moment);

    UseZone("America/New_York");
    EXPECT_EQ(FileTimeFromVolumeDate(date), moment); // read in another zone
    EXPECT_EQ(VolumeDateFromFileTime(moment)[16], 0xF0); // -16: summer time in New York

    EXPECT_EQ(FileTimeFromVolumeDate(VolumeDate{}), std::nullopt);
    EXPECT_EQ(FileTimeFromVolumeDate(UnsetVolumeDate()), std::nullopt);
    for (const char* month : {"0:", "13"}) { // the character after 9, a 13th month
        VolumeDate wrong = date;
        std::copy_n(month, 2, wrong.begin() + 4);
        EXPECT_EQ(FileTimeFromVolumeDate(wrong), std::nullopt) << month;
    }
}

} // namespace
} // namespace tarvelin::iso
