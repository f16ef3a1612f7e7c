// Recording dates (date7), volume dates (date17) and the volume label.
//
// Dates are written as local wall-clock time together with the zone's
// offset from Greenwich at that very moment (summer time included), which
// is what ECMA-119 9.1.5 and 8.4.26.1 ask for: a reader subtracts the
// offset and gets the moment back whatever zone it runs in.

#include "iso/iso9660.h"

#include <algorithm>
#include <cstdio>

namespace tarvelin::iso {

namespace {

constexpr int kMinOffsetQuarters = -48; // -12:00
constexpr int kMaxOffsetQuarters = 52;  // +13:00, the most every reader takes (the Linux kernel ignores more)
// Zones reach +14:00 (the Line Islands), and writers label their dates so
// (genisoimage writes 56): such an offset is read as it stands.
constexpr int kMaxReadOffsetQuarters = 56;
constexpr std::int64_t kSecondsPerQuarter = 15 * 60;
constexpr std::int64_t kTicksPerSecond = static_cast<std::int64_t>(platform::kFileTimeTicksPerSecond);

// A moment as local calendar fields with the offset in quarter hours, or in
// UTC with offset 0 when the zone's offset cannot be written.
struct ZonedFields {
    platform::CalendarTime fields;
    int offsetQuarters = 0;
};

std::optional<ZonedFields> SplitForDisc(platform::FileTime utc)
{
    ZonedFields zoned;
    // The offset is measured rather than taken from the zone's minutes: the
    // wall clock read as UTC minus the moment, both in whole seconds, is
    // exact, also for historical offsets that have seconds.
    if (platform::FileTimeToLocal(utc, zoned.fields)) {
        platform::CalendarTime wholeSeconds = zoned.fields;
        wholeSeconds.millisecond = 0;
        platform::FileTime wall = 0;
        const bool measured = platform::UtcToFileTime(wholeSeconds, wall);
        const std::int64_t offsetSeconds = static_cast<std::int64_t>(wall / platform::kFileTimeTicksPerSecond)
            - static_cast<std::int64_t>(utc / platform::kFileTimeTicksPerSecond);
        if (measured && offsetSeconds % kSecondsPerQuarter == 0) {
            const std::int64_t quarters = offsetSeconds / kSecondsPerQuarter;
            if (quarters >= kMinOffsetQuarters && quarters <= kMaxOffsetQuarters) {
                zoned.offsetQuarters = static_cast<int>(quarters);
                return zoned;
            }
        }
    }
    if (!platform::FileTimeToUtc(utc, zoned.fields)) {
        return std::nullopt;
    }
    zoned.offsetQuarters = 0;
    return zoned;
}

// Wall-clock fields labelled with an offset back to the moment.
std::optional<platform::FileTime> JoinFromDisc(const platform::CalendarTime& fields, int offsetQuarters)
{
    platform::FileTime wall = 0;
    if (!platform::UtcToFileTime(fields, wall)) {
        return std::nullopt;
    }
    // An offset no zone has says nothing of the zone (genisoimage labels
    // some dates from 2028 on with -96): the fields are read as UTC, as the
    // Linux kernel and bsdtar read them.
    const bool zoned = offsetQuarters >= kMinOffsetQuarters && offsetQuarters <= kMaxReadOffsetQuarters;
    const int quarters = zoned ? offsetQuarters : 0;
    const std::int64_t moment = static_cast<std::int64_t>(wall) - quarters * kSecondsPerQuarter * kTicksPerSecond;
    if (moment < 0) {
        return std::nullopt;
    }
    return static_cast<platform::FileTime>(moment);
}

// value as count decimal digits with leading zeros (value < 10^count).
void PutDigits(VolumeDate& date, std::size_t first, std::size_t count, int value)
{
    for (std::size_t i = first + count; i > first; --i) {
        date[i - 1] = static_cast<std::uint8_t>('0' + value % 10);
        value /= 10;
    }
}

int Digits(const VolumeDate& date, std::size_t first, std::size_t count, bool& ok)
{
    int value = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        if (date[i] < '0' || date[i] > '9') {
            ok = false;
            return 0;
        }
        value = value * 10 + (date[i] - '0');
    }
    return value;
}

} // namespace

RecordingDate RecordingDateFromFileTime(platform::FileTime utc)
{
    const std::optional<ZonedFields> zoned = SplitForDisc(utc);
    if (!zoned || zoned->fields.year < 1900 || zoned->fields.year > 1900 + 255) {
        return {};
    }
    RecordingDate date;
    date.yearsSince1900 = static_cast<std::uint8_t>(zoned->fields.year - 1900);
    date.month = static_cast<std::uint8_t>(zoned->fields.month);
    date.day = static_cast<std::uint8_t>(zoned->fields.day);
    date.hour = static_cast<std::uint8_t>(zoned->fields.hour);
    date.minute = static_cast<std::uint8_t>(zoned->fields.minute);
    date.second = static_cast<std::uint8_t>(zoned->fields.second);
    date.gmtOffset = static_cast<std::int8_t>(zoned->offsetQuarters);
    return date;
}

std::optional<platform::FileTime> FileTimeFromRecordingDate(const RecordingDate& date)
{
    if (date.IsUnset()) {
        return std::nullopt;
    }
    // The records of one image share a few dates, and reading a tree asks
    // for every record's: the last date read is answered again at once.
    struct Last {
        RecordingDate date;
        std::optional<platform::FileTime> time;
    };
    thread_local Last last;
    if (date == last.date) {
        return last.time;
    }
    platform::CalendarTime fields;
    fields.year = 1900 + date.yearsSince1900;
    fields.month = date.month;
    fields.day = date.day;
    fields.hour = date.hour;
    fields.minute = date.minute;
    fields.second = date.second;
    last = {date, JoinFromDisc(fields, date.gmtOffset)};
    return last.time;
}

VolumeDate UnsetVolumeDate()
{
    VolumeDate date{};
    std::fill_n(date.begin(), 16, static_cast<std::uint8_t>('0'));
    return date;
}

VolumeDate VolumeDateFromFileTime(platform::FileTime utc)
{
    const std::optional<ZonedFields> zoned = SplitForDisc(utc);
    if (!zoned || zoned->fields.year > 9999) {
        return UnsetVolumeDate();
    }
    const platform::CalendarTime& f = zoned->fields;
    VolumeDate date{};
    PutDigits(date, 0, 4, f.year);
    PutDigits(date, 4, 2, f.month);
    PutDigits(date, 6, 2, f.day);
    PutDigits(date, 8, 2, f.hour);
    PutDigits(date, 10, 2, f.minute);
    PutDigits(date, 12, 2, f.second);
    PutDigits(date, 14, 2, f.millisecond / 10);
    date[16] = static_cast<std::uint8_t>(static_cast<std::int8_t>(zoned->offsetQuarters));
    return date;
}

std::optional<platform::FileTime> FileTimeFromVolumeDate(const VolumeDate& date)
{
    if (date == VolumeDate{} || date == UnsetVolumeDate()) {
        return std::nullopt;
    }
    bool ok = true;
    platform::CalendarTime fields;
    fields.year = Digits(date, 0, 4, ok);
    fields.month = Digits(date, 4, 2, ok);
    fields.day = Digits(date, 6, 2, ok);
    fields.hour = Digits(date, 8, 2, ok);
    fields.minute = Digits(date, 10, 2, ok);
    fields.second = Digits(date, 12, 2, ok);
    fields.millisecond = Digits(date, 14, 2, ok) * 10;
    if (!ok) {
        return std::nullopt;
    }
    return JoinFromDisc(fields, static_cast<std::int8_t>(date[16]));
}

std::string VolumeLabelText(const platform::CalendarTime& local)
{
    char text[64] = {};
    std::snprintf(text, sizeof text, "%d%d%d%d%d", local.year, local.month, local.day, local.hour, local.minute);
    return text;
}

} // namespace tarvelin::iso
