#pragma once

// Times inside the engine are file times: 100-nanosecond units since
// 1 January 1601 UTC, as 64-bit numbers.

#include "platform/export.h"

#include <cstdint>

namespace tarvelin::platform {

using FileTime = std::uint64_t;

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
inline constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ULL;

struct CalendarTime {
    int year = 1601;   // full year
    int month = 1;     // 1..12
    int day = 1;       // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 0; // 0 = Sunday
};

TARVELIN_API FileTime CurrentFileTime();

// Calendar fields of a file time, in UTC or in the local time zone.
// The local form also gives the zone's offset from Greenwich at that moment,
// in minutes east of Greenwich.
TARVELIN_API bool FileTimeToUtc(FileTime time, CalendarTime& out);
TARVELIN_API bool FileTimeToLocal(FileTime time, CalendarTime& out, int* gmtOffsetMinutes = nullptr);

// The file time of calendar fields read as UTC or as local time.
TARVELIN_API bool UtcToFileTime(const CalendarTime& in, FileTime& out);
TARVELIN_API bool LocalToFileTime(const CalendarTime& in, FileTime& out);

} // namespace tarvelin::platform
