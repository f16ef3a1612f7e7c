// File times on POSIX. UTC is pure calendar arithmetic (days since
// 1970-01-01 <-> proleptic Gregorian date), so it is exact for every date
// the engine can hold, before 1970 as well. Local time goes through the C
// library's time zone database: localtime_r for one instant, mktime for
// reading wall-clock fields.

#include "platform/time.h"

#include <ctime>
#include <limits>

namespace tarvelin::platform {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Calendar fields are accepted up to the last year a file time of 63 bits
// reaches in full; the same limit holds on every platform.
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;
constexpr std::uint64_t kLargestFileTime = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool IsLeapYear(std::int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(std::int64_t year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date. The year is counted
// from March so that the leap day falls at the end of each 400-year era.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = FloorDiv(year, 400);
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day)
{
    days += 719468;
    const std::int64_t era = FloorDiv(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

bool FieldsValid(const CalendarTime& in)
{
    return in.year >= kFirstYear && in.year <= kLastYear && in.month >= 1 && in.month <= 12
        && in.day >= 1 && in.day <= DaysInMonth(in.year, in.month) && in.hour >= 0 && in.hour <= 23
        && in.minute >= 0 && in.minute <= 59 && in.second >= 0 && in.second <= 59
        && in.millisecond >= 0 && in.millisecond <= 999;
}

// The fields read as if they were UTC, in seconds since 1970.
std::int64_t WallSeconds(const CalendarTime& in)
{
    return DaysFromCivil(in.year, in.month, in.day) * kSecondsPerDay + in.hour * 3600 + in.minute * 60
        + in.second;
}

bool FitsTimeT(std::int64_t seconds)
{
    return seconds >= std::numeric_limits<std::time_t>::min() && seconds <= std::numeric_limits<std::time_t>::max();
}

// Unix seconds (floored) and the milliseconds within that second.
bool SplitFileTime(FileTime time, std::int64_t& unixSeconds, int& millisecond)
{
    if (time > kLargestFileTime) {
        return false;
    }
    unixSeconds = static_cast<std::int64_t>(time / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
    millisecond = static_cast<int>((time % kFileTimeTicksPerSecond) / 10000);
    return true;
}

bool JoinFileTime(std::int64_t unixSeconds, int millisecond, FileTime& out)
{
    const std::int64_t since1601 = unixSeconds + kFileTimeEpochOffsetSeconds;
    if (since1601 < 0) {
        return false;
    }
    out = static_cast<FileTime>(since1601) * kFileTimeTicksPerSecond + static_cast<FileTime>(millisecond) * 10000;
    return true;
}

// The zone's offset from UTC, in seconds east, at one instant.
bool OffsetAt(std::int64_t unixSeconds, std::int64_t& offset)
{
    if (!FitsTimeT(unixSeconds)) {
        return false;
    }
    const auto when = static_cast<std::time_t>(unixSeconds);
    std::tm fields{};
    if (::localtime_r(&when, &fields) == nullptr) {
        return false;
    }
    offset = fields.tm_gmtoff;
    return true;
}

} // namespace

FileTime CurrentFileTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t since1601 = static_cast<std::int64_t>(now.tv_sec) + kFileTimeEpochOffsetSeconds;
    if (since1601 < 0) {
        return 0;
    }
    return static_cast<FileTime>(since1601) * kFileTimeTicksPerSecond + static_cast<FileTime>(now.tv_nsec / 100);
}

bool FileTimeToUtc(FileTime time, CalendarTime& out)
{
    std::int64_t unixSeconds = 0;
    int millisecond = 0;
    if (!SplitFileTime(time, unixSeconds, millisecond)) {
        return false;
    }
    const std::int64_t days = FloorDiv(unixSeconds, kSecondsPerDay);
    const std::int64_t secondOfDay = unixSeconds - days * kSecondsPerDay;
    std::int64_t year = 0;
    CalendarTime result;
    CivilFromDays(days, year, result.month, result.day);
    result.year = static_cast<int>(year);
    result.hour = static_cast<int>(secondOfDay / 3600);
    result.minute = static_cast<int>(secondOfDay / 60 % 60);
    result.second = static_cast<int>(secondOfDay % 60);
    result.millisecond = millisecond;
    // 1970-01-01 was a Thursday.
    result.dayOfWeek = static_cast<int>(days + 4 - FloorDiv(days + 4, 7) * 7);
    out = result;
    return true;
}

bool FileTimeToLocal(FileTime time, CalendarTime& out, int* gmtOffsetMinutes)
{
    std::int64_t unixSeconds = 0;
    int millisecond = 0;
    if (!SplitFileTime(time, unixSeconds, millisecond) || !FitsTimeT(unixSeconds)) {
        return false;
    }
    const auto when = static_cast<std::time_t>(unixSeconds);
    std::tm fields{};
    if (::localtime_r(&when, &fields) == nullptr) {
        return false;
    }
    CalendarTime result;
    result.year = fields.tm_year + 1900;
    result.month = fields.tm_mon + 1;
    result.day = fields.tm_mday;
    result.hour = fields.tm_hour;
    result.minute = fields.tm_min;
    // A leap second, where the zone database counts them, shows as :59.
    result.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
    result.millisecond = millisecond;
    result.dayOfWeek = fields.tm_wday;
    out = result;
    if (gmtOffsetMinutes != nullptr) {
        *gmtOffsetMinutes = static_cast<int>(fields.tm_gmtoff / 60);
    }
    return true;
}

bool UtcToFileTime(const CalendarTime& in, FileTime& out)
{
    if (!FieldsValid(in)) {
        return false;
    }
    return JoinFileTime(WallSeconds(in), in.millisecond, out);
}

// Wall-clock fields do not always name one instant: when the clocks go back
// an hour, the hour repeats (a fold), and when they go forward, an hour is
// skipped (a gap). C libraries resolve both differently, so mktime only
// finds the neighbourhood and the answer is settled here: in a fold the
// earlier instant (the first time the clock showed these fields), in a gap
// the fields are read with the offset in force before the gap, which moves
// them forward by the gap's length (02:30 in a gap from 02:00 to 03:00
// becomes 03:30), as a clock that was not changed would show.
bool LocalToFileTime(const CalendarTime& in, FileTime& out)
{
    if (!FieldsValid(in)) {
        return false;
    }
    std::tm fields{};
    fields.tm_year = in.year - 1900;
    fields.tm_mon = in.month - 1;
    fields.tm_mday = in.day;
    fields.tm_hour = in.hour;
    fields.tm_min = in.minute;
    fields.tm_sec = in.second;
    fields.tm_isdst = -1;
    // mktime returns -1 both on failure and for 1969-12-31 23:59:59 UTC;
    // only a failure leaves tm_wday untouched.
    fields.tm_wday = -1;
    const std::time_t anchor = ::mktime(&fields);
    if (anchor == static_cast<std::time_t>(-1) && fields.tm_wday == -1) {
        return false;
    }

    const std::int64_t wall = WallSeconds(in);
    // Zone changes lie far more than a day apart, so the offsets a day
    // either side of the anchor are the ones that can apply.
    std::int64_t offsets[3] = {};
    if (!OffsetAt(anchor, offsets[0]) || !OffsetAt(anchor - kSecondsPerDay, offsets[1])
        || !OffsetAt(anchor + kSecondsPerDay, offsets[2])) {
        return false;
    }
    bool found = false;
    std::int64_t best = 0;
    for (const std::int64_t offset : offsets) {
        const std::int64_t candidate = wall - offset;
        std::int64_t actual = 0;
        if (OffsetAt(candidate, actual) && actual == offset && (!found || candidate < best)) {
            best = candidate;
            found = true;
        }
    }
    if (!found) {
        // In a gap: the offset before it is the one a day before the anchor.
        best = wall - offsets[1];
    }
    return JoinFileTime(best, in.millisecond, out);
}

} // namespace tarvelin::platform
