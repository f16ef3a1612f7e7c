#include "platform/time.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

namespace tarvelin::platform {
namespace {

using Fields = CalendarTime;

auto Tie(const CalendarTime& t) { return std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond); }

FileTime Utc(const CalendarTime& fields)
{
    FileTime time = 0;
    EXPECT_TRUE(UtcToFileTime(fields, time));
    return time;
}

constexpr FileTime kUnixEpoch = 116444736000000000ULL;
// 2004-07-09 08:05:00 UTC, a Friday.
constexpr FileTime kSummerMorning = 127338339000000000ULL;

// Whole seconds are held to timegm below; the milliseconds here.
TEST(PlatformTime, UtcKeepsMillisecondsAndRefusesFieldsThatNameNoMoment)
{
    CalendarTime got;
    ASSERT_TRUE(FileTimeToUtc(kSummerMorning + 1234567, got));
    EXPECT_EQ(Tie(got), Tie(Fields{2004, 7, 9, 8, 5, 0, 123}));
    ASSERT_TRUE(FileTimeToUtc(kUnixEpoch - 10000, got));
    EXPECT_EQ(Tie(got), Tie(Fields{1969, 12, 31, 23, 59, 59, 999}));
    EXPECT_EQ(Utc(Fields{2004, 7, 9, 8, 5, 0, 123}), kSummerMorning + 1230000);

    const Fields refused[] = {
        {1900, 2, 29}, // no leap year
        {2003, 4, 31},          {2003, 13, 1},          {2003, 0, 1},
        {2003, 1, 0},           {2003, 1, 1, 24},       {2003, 1, 1, 0, 60},
        {2003, 1, 1, 0, 0, 60}, {2003, 1, 1, 0, 0, 0, 1000},
        {1600, 12, 31}, // before the first file time
    };
    for (const Fields& fields : refused) {
        FileTime time = 77;
        EXPECT_FALSE(UtcToFileTime(fields, time)) << fields.year << "-" << fields.month << "-" << fields.day;
        EXPECT_EQ(time, 77u) << "a refused conversion leaves the output alone";
    }
    EXPECT_FALSE(FileTimeToUtc(~0ULL, got)) << "beyond 63 bits";
}

// The calendar arithmetic against the C library's timegm, one date every
// 97 days from 1601 to 2400 (the step walks through every month and leap
// rule), at a time of day that moves too.
TEST(PlatformTime, UtcAgreesWithTimegmOverFourCenturies)
{
    const FileTime end = Utc(Fields{2400, 12, 31});
    const FileTime step = (97ULL * 86400 + 3671) * kFileTimeTicksPerSecond;
    int checked = 0;
    for (FileTime time = Utc(Fields{1601, 1, 1}); time <= end; time += step) {
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
        ASSERT_EQ(Utc(got), time);
        ++checked;
    }
    EXPECT_GT(checked, 3000);

    const auto now = static_cast<std::int64_t>(CurrentFileTime() / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
    EXPECT_LE(std::llabs(now - std::time(nullptr)), 2);
}

// Local time in Berlin, both ways: winter and summer offsets, no DST in the
// 1960s, midnight crossed, the second before the epoch (which mktime
// reports as -1, its failure value), and the hours of the clock changes.
TEST(PlatformTimeLocal, BothWaysAgreeWithUtcInEverySeason)
{
    TARVELIN_REQUIRE_FILE("/usr/share/zoneinfo/Europe/Berlin");
    const test::ScopedZone zone("Europe/Berlin");
    struct Case {
        Fields local;
        Fields utc;
        int offset;      // minutes east of Greenwich
        bool backToSame; // the local fields read back as they were given
    };
    const Case cases[] = {
        {{2004, 1, 15, 13, 0, 0, 250}, {2004, 1, 15, 12, 0, 0, 250}, 60, true},
        {{2004, 7, 9, 10, 5}, {2004, 7, 9, 8, 5}, 120, true},
        {{1965, 7, 1, 0, 30}, {1965, 6, 30, 23, 30}, 60, true},
        {{1970, 1, 1, 0, 59, 59}, {1969, 12, 31, 23, 59, 59}, 60, true},
        // 2004-10-31: clocks went back from 03:00 CEST to 02:00 CET, so 02:30
        // happened twice; the first time (CEST) is taken.
        {{2004, 10, 31, 2, 30}, {2004, 10, 31, 0, 30}, 120, true},
        {{2004, 10, 31, 3, 30}, {2004, 10, 31, 2, 30}, 60, true},
        // 2004-03-28: clocks went forward from 02:00 CET to 03:00 CEST; 02:30
        // never happened and is read as CET, which is 03:30 CEST.
        {{2004, 3, 28, 2, 30}, {2004, 3, 28, 1, 30}, 120, false},
        {{2004, 3, 28, 1, 59, 59}, {2004, 3, 28, 0, 59, 59}, 60, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.local.year << "-" << c.local.month << "-" << c.local.day << " "
                                        << c.local.hour << ":" << c.local.minute);
        FileTime time = 0;
        ASSERT_TRUE(LocalToFileTime(c.local, time));
        EXPECT_EQ(time, Utc(c.utc));
        CalendarTime back;
        int offset = 0;
        ASSERT_TRUE(FileTimeToLocal(time, back, &offset));
        EXPECT_EQ(offset, c.offset);
        if (c.backToSame) {
            EXPECT_EQ(Tie(back), Tie(c.local));
        }
    }
    CalendarTime local;
    ASSERT_TRUE(FileTimeToLocal(kSummerMorning, local)) << "the offset is optional";
    EXPECT_EQ(Tie(local), Tie(Fields{2004, 7, 9, 10, 5}));
    EXPECT_EQ(local.dayOfWeek, 5);
    ASSERT_TRUE(FileTimeToLocal(Utc(Fields{2004, 3, 28, 1, 30}), local));
    EXPECT_EQ(Tie(local), Tie(Fields{2004, 3, 28, 3, 30}));
    FileTime time = 0;
    EXPECT_FALSE(LocalToFileTime(Fields{2004, 2, 30}, time));
    EXPECT_FALSE(LocalToFileTime(Fields{1601, 1, 1, 0, 10}, time)) << "east of Greenwich this is before 1601 UTC";
}

} // namespace
} // namespace tarvelin::platform
