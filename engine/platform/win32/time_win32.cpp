// File times on Windows, which count in the engine's own unit. The system
// converts between UTC and the local time zone with the zone's rules for
// each year.

#include "platform/time.h"

#include "platform/win32/win32_common.h"

namespace tarvelin::platform {

namespace {

constexpr FileTime kLargestFileTime = 0x7FFFFFFFFFFFFFFFull;

CalendarTime FromSystemTime(const SYSTEMTIME& time)
{
    CalendarTime result;
    result.year = time.wYear;
    result.month = time.wMonth;
    result.day = time.wDay;
    result.hour = time.wHour;
    result.minute = time.wMinute;
    result.second = time.wSecond;
    result.millisecond = time.wMilliseconds;
    result.dayOfWeek = time.wDayOfWeek;
    return result;
}

bool ToSystemTime(const CalendarTime& in, SYSTEMTIME& out)
{
    if (in.year < 1601 || in.year > 30827 || in.month < 1 || in.month > 12 || in.day < 1 || in.day > 31
        || in.hour < 0 || in.hour > 23 || in.minute < 0 || in.minute > 59 || in.second < 0 || in.second > 59
        || in.millisecond < 0 || in.millisecond > 999) {
        return false;
    }
    out = SYSTEMTIME{};
    out.wYear = static_cast<WORD>(in.year);
    out.wMonth = static_cast<WORD>(in.month);
    out.wDay = static_cast<WORD>(in.day);
    out.wHour = static_cast<WORD>(in.hour);
    out.wMinute = static_cast<WORD>(in.minute);
    out.wSecond = static_cast<WORD>(in.second);
    out.wMilliseconds = static_cast<WORD>(in.millisecond);
    return true;
}

// The local zone's rules as they were in year: without them the system
// applies this year's rules to every date (and puts a New York file of
// April 2005 an hour off, as daylight saving began later then).
bool ZoneInYear(int year, TIME_ZONE_INFORMATION& zone)
{
    DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
    return year >= 1601 && year <= 30827 && ::GetDynamicTimeZoneInformation(&dynamic) != TIME_ZONE_ID_INVALID
        && ::GetTimeZoneInformationForYear(static_cast<USHORT>(year), &dynamic, &zone);
}

} // namespace

FileTime CurrentFileTime()
{
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return win32::FromFiletime(now);
}

bool FileTimeToUtc(FileTime time, CalendarTime& out)
{
    SYSTEMTIME fields{};
    const FILETIME value = win32::ToFiletime(time);
    if (time > kLargestFileTime || !::FileTimeToSystemTime(&value, &fields)) {
        return false;
    }
    out = FromSystemTime(fields);
    return true;
}

bool FileTimeToLocal(FileTime time, CalendarTime& out, int* gmtOffsetMinutes)
{
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    const FILETIME value = win32::ToFiletime(time);
    TIME_ZONE_INFORMATION zone{};
    if (time > kLargestFileTime || !::FileTimeToSystemTime(&value, &utc) || !ZoneInYear(utc.wYear, zone)
        || !::SystemTimeToTzSpecificLocalTime(&zone, &utc, &local)) {
        return false;
    }
    FILETIME back{};
    if (!::SystemTimeToFileTime(&local, &back)) {
        return false;
    }
    out = FromSystemTime(local);
    if (gmtOffsetMinutes != nullptr) {
        // Both carry the same milliseconds, so the difference is whole minutes.
        const auto difference = static_cast<std::int64_t>(win32::FromFiletime(back) - (time / 10000 * 10000));
        *gmtOffsetMinutes = static_cast<int>(difference / static_cast<std::int64_t>(kFileTimeTicksPerSecond) / 60);
    }
    return true;
}

bool UtcToFileTime(const CalendarTime& in, FileTime& out)
{
    SYSTEMTIME fields{};
    FILETIME value{};
    if (!ToSystemTime(in, fields) || !::SystemTimeToFileTime(&fields, &value)) {
        return false;
    }
    out = win32::FromFiletime(value);
    return true;
}

bool LocalToFileTime(const CalendarTime& in, FileTime& out)
{
    SYSTEMTIME local{};
    SYSTEMTIME utc{};
    FILETIME value{};
    TIME_ZONE_INFORMATION zone{};
    if (!ToSystemTime(in, local) || !ZoneInYear(in.year, zone) || !::TzSpecificLocalTimeToSystemTime(&zone, &local, &utc)
        || !::SystemTimeToFileTime(&utc, &value)) {
        return false;
    }
    out = win32::FromFiletime(value);
    return true;
}

} // namespace tarvelin::platform
