#include "platform/time.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <unistd.h>

namespace tarvelin::platform {
namespace {

CalendarTime Fields(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int millisecond = 0)
{
    CalendarTime time;
    time.year = year;
    time.month = month;
    time.day = day;
    time.hour = hour;
    time.minute = minute;
    time.second = second;
    time.millisecond = millisecond;
    return time;
}

void ExpectFields(const CalendarTime& got, const CalendarTime& want)
{
    EXPECT_EQ(got.year, want.year);
    EXPECT_EQ(got.month, want.month);
    EXPECT_EQ(got.day, want.day);
    EXPECT_EQ(got.hour, want.hour);
    EXPECT_EQ(got.minute, want.minute);
    EXPECT_EQ(got.second, want.second);
    EXPECT_EQ(got.millisecond, want.millisecond);
}

constexpr FileTime kUnixEpoch = 116444736000000000ULL;
// 2004-07-09 08:05:00 UTC, a Friday.
constexpr FileTime kSummerMorning = 127338339000000000ULL;

// Whole seconds are held to timegm below; the milliseconds here.
TEST(PlatformTime, UtcKeepsMilliseconds)
{
    CalendarTime got;
    ASSERT_TRUE(FileTimeToUtc(kSummerMorning + 1234567, got));
    ExpectFields(got, Fields(2004, 7, 9, 8, 5, 0, 123));
    ASSERT_TRUE(FileTimeToUtc(kUnixEpoch - 10000, got));
    ExpectFields(got, Fields(1969, 12, 31, 23, 59, 59, 999));
    FileTime back = 0;
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 7, 9, 8, 5, 0, 123), back));
    EXPECT_EQ(back, kSummerMorning + 1230000);
}

TEST(PlatformTime, UtcRefusesFieldsThatNameNoMoment)
{
    FileTime time = 77;
    EXPECT_FALSE(UtcToFileTime(Fields(1900, 2, 29), time)) << "1900 was no leap year";
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 4, 31), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 13, 1), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 0, 1), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 1, 0), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 1, 1, 24), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 1, 1, 0, 60), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 1, 1, 0, 0, 60), time));
    EXPECT_FALSE(UtcToFileTime(Fields(2003, 1, 1, 0, 0, 0, 1000), time));
    EXPECT_FALSE(UtcToFileTime(Fields(1600, 12, 31), time)) << "before the first file time";
    EXPECT_EQ(time, 77u) << "a refused conversion leaves the output alone";

    CalendarTime got;
    EXPECT_FALSE(FileTimeToUtc(~0ULL, got)) << "beyond 63 bits";
}

// The calendar arithmetic against the C library's timegm, one date every
// 97 days from 1601 to 2400 (the step walks through every month and leap
// rule), at a time of day that moves too.
TEST(PlatformTime, UtcAgreesWithTimegmOverFourCenturies)
{
    FileTime start = 0;
    FileTime end = 0;
    ASSERT_TRUE(UtcToFileTime(Fields(1601, 1, 1), start));
    ASSERT_TRUE(UtcToFileTime(Fields(2400, 12, 31), end));
    const FileTime step = (97ULL * 86400 + 3671) * kFileTimeTicksPerSecond;
    int checked = 0;
    for (FileTime time = start; time <= end; time += step) {
        CalendarTime got;
        ASSERT_TRUE(FileTimeToUtc(time, got));
        std::tm fields{};
        fields.tm_year = got.year - 1900;
        fields.tm_mon = got.month - 1;
        fields.tm_mday = got.day;
        fields.tm_hour = got.hour;
        fields.tm_min = got.minute;
        fields.tm_sec = got.second;
        const std::time_t unix = ::timegm(&fields);
        ASSERT_EQ(static_cast<std::int64_t>(unix),
                  static_cast<std::int64_t>(time / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds)
            << got.year << "-" << got.month << "-" << got.day;
        ASSERT_EQ(got.dayOfWeek, fields.tm_wday) << got.year << "-" << got.month << "-" << got.day;
        FileTime back = 0;
        ASSERT_TRUE(UtcToFileTime(got, back));
        ASSERT_EQ(back, time);
        ++checked;
    }
    EXPECT_GT(checked, 3000);
}

TEST(PlatformTime, CurrentFileTimeIsNow)
{
    const FileTime now = CurrentFileTime();
    const auto seconds = static_cast<std::int64_t>(now / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
    const std::int64_t reference = std::time(nullptr);
    EXPECT_LE(std::llabs(seconds - reference), 2);
}

// Local time under a fixed zone; the zone in force before is put back.
class PlatformTimeLocal : public ::testing::Test {
protected:
    void SetUp() override { TARVELIN_REQUIRE_FILE("/usr/share/zoneinfo/Europe/Berlin"); }

private:
    test::ScopedZone zone_{"Europe/Berlin"};
};

TEST_F(PlatformTimeLocal, WinterAndSummerOffsets)
{
    FileTime winter = 0;
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 1, 15, 12, 0, 0, 250), winter));
    CalendarTime local;
    int offset = 0;
    ASSERT_TRUE(FileTimeToLocal(winter, local, &offset));
    ExpectFields(local, Fields(2004, 1, 15, 13, 0, 0, 250));
    EXPECT_EQ(offset, 60);

    ASSERT_TRUE(FileTimeToLocal(kSummerMorning, local, &offset));
    ExpectFields(local, Fields(2004, 7, 9, 10, 5));
    EXPECT_EQ(offset, 120);
    EXPECT_EQ(local.dayOfWeek, 5);

    // Without DST in the 1960s, and across the date line of midnight.
    FileTime old = 0;
    ASSERT_TRUE(UtcToFileTime(Fields(1965, 6, 30, 23, 30), old));
    ASSERT_TRUE(FileTimeToLocal(old, local, &offset));
    ExpectFields(local, Fields(1965, 7, 1, 0, 30));
    EXPECT_EQ(offset, 60);
    ASSERT_TRUE(FileTimeToLocal(old, local)) << "the offset is optional";
}

TEST_F(PlatformTimeLocal, LocalFieldsRoundTrip)
{
    FileTime time = 0;
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 7, 9, 10, 5), time));
    EXPECT_EQ(time, kSummerMorning);
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 1, 15, 13, 0, 0, 250), time));
    FileTime utc = 0;
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 1, 15, 12, 0, 0, 250), utc));
    EXPECT_EQ(time, utc);
    ASSERT_TRUE(LocalToFileTime(Fields(1965, 7, 1, 0, 30), time));
    ASSERT_TRUE(UtcToFileTime(Fields(1965, 6, 30, 23, 30), utc));
    EXPECT_EQ(time, utc);
    // 1970-01-01 00:59:59 in Berlin is the second before the epoch, which
    // mktime reports as -1, its failure value.
    ASSERT_TRUE(LocalToFileTime(Fields(1970, 1, 1, 0, 59, 59), time));
    EXPECT_EQ(time, kUnixEpoch - kFileTimeTicksPerSecond);

    EXPECT_FALSE(LocalToFileTime(Fields(2004, 2, 30), time));
    EXPECT_FALSE(LocalToFileTime(Fields(1601, 1, 1, 0, 10), time)) << "east of Greenwich this is before 1601 UTC";
}

TEST_F(PlatformTimeLocal, RepeatedAndSkippedHoursResolveTheSameWayEveryTime)
{
    // 2004-10-31: clocks went back from 03:00 CEST to 02:00 CET, so 02:30
    // happened twice; the first time (CEST) is taken.
    FileTime time = 0;
    FileTime utc = 0;
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 10, 31, 2, 30), time));
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 10, 31, 0, 30), utc));
    EXPECT_EQ(time, utc);
    // 2004-03-28: clocks went forward from 02:00 CET to 03:00 CEST; 02:30
    // never happened and is read as CET, which is 03:30 CEST.
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 3, 28, 2, 30), time));
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 3, 28, 1, 30), utc));
    EXPECT_EQ(time, utc);
    CalendarTime local;
    int offset = 0;
    ASSERT_TRUE(FileTimeToLocal(time, local, &offset));
    ExpectFields(local, Fields(2004, 3, 28, 3, 30));
    EXPECT_EQ(offset, 120);
    // The hours next to the changes are plain.
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 10, 31, 3, 30), time));
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 10, 31, 2, 30), utc));
    EXPECT_EQ(time, utc);
    ASSERT_TRUE(LocalToFileTime(Fields(2004, 3, 28, 1, 59, 59), time));
    ASSERT_TRUE(UtcToFileTime(Fields(2004, 3, 28, 0, 59, 59), utc));
    EXPECT_EQ(time, utc);
}

} // namespace
} // namespace tarvelin::platform
