#include "iso/udf_format.h"

#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarvelin::iso::udf {

namespace {

constexpr std::string_view kOstaCompressedUnicode = "OSTA Compressed Unicode";

} // namespace

std::uint16_t DescriptorCrc(const std::uint8_t* data, std::size_t length)
{
    // A byte at a time: every file entry of a volume is checked on reading,
    // and a bit at a time the CRC took most of a listing's time.
    static constexpr std::array<std::uint16_t, 256> kTable = [] {
        std::array<std::uint16_t, 256> table{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            auto crc = static_cast<std::uint16_t>(byte << 8);
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
            }
            table[byte] = crc;
        }
        return table;
    }();
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}

const char* CheckDescriptorTag(const std::uint8_t* data, std::size_t available, std::uint16_t expectedId,
                               std::uint32_t expectedLocation)
{
    if (available < kTagSize) {
        return "the descriptor is cut short";
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < kTagSize; ++i) {
        if (i != 4) {
            sum = static_cast<std::uint8_t>(sum + data[i]);
        }
    }
    if (sum != data[4]) {
        return "the tag checksum is wrong";
    }
    if (Le16(data) != expectedId) {
        return "the descriptor is not of the kind expected";
    }
    const std::uint16_t crcLength = Le16(data + 10);
    if (kTagSize + static_cast<std::size_t>(crcLength) > available) {
        return "the descriptor's CRC length runs beyond it";
    }
    if (DescriptorCrc(data + kTagSize, crcLength) != Le16(data + 8)) {
        return "the descriptor CRC is wrong";
    }
    if (Le32(data + 12) != expectedLocation) {
        return "the descriptor names another location";
    }
    return nullptr;
}

std::string DecodeCs0(const std::uint8_t* data, std::size_t length)
{
    std::string out;
    if (length == 0) {
        return out;
    }
    const std::uint8_t compression = data[0];
    std::u16string units;
    if (compression == 8 || compression == 254) {
        for (std::size_t i = 1; i < length; ++i) {
            units += static_cast<char16_t>(data[i]);
        }
    } else if (compression == 16 || compression == 255) {
        for (std::size_t i = 1; i + 1 < length; i += 2) {
            units += static_cast<char16_t>((data[i] << 8) | data[i + 1]);
        }
    }
    return units.empty() ? out : platform::Utf16ToNarrow(units);
}

std::optional<std::string> DecodePathComponents(const std::uint8_t* data, std::size_t length)
{
    std::string path;
    std::size_t at = 0;
    while (at < length) {
        if (at + 4 > length || at + 4 + data[at + 1] > length) {
            return std::nullopt;
        }
        const std::uint8_t type = data[at];
        const std::uint8_t identifierLength = data[at + 1];
        std::string part;
        switch (type) {
        case 1: // a root named by the identifier, or the file system's when unnamed
        case 2: // the root of the file system
            path = "/";
            break;
        case 3: part = ".."; break;
        case 4: part = "."; break;
        case 5:
            part = DecodeCs0(data + at + 4, identifierLength);
            if (part.empty()) {
                return std::nullopt;
            }
            break;
        default: return std::nullopt;
        }
        if (!part.empty()) {
            if (!path.empty() && path.back() != '/') {
                path += '/';
            }
            path += part;
        }
        at += 4 + std::size_t{identifierLength};
    }
    return path;
}

std::string DecodeDString(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return {};
    }
    const std::size_t used = std::min<std::size_t>(data[size - 1], size - 1);
    return DecodeCs0(data, used);
}

std::optional<platform::FileTime> DecodeTimestamp(const std::uint8_t* data)
{
    const std::uint16_t typeAndZone = Le16(data);
    platform::CalendarTime fields;
    fields.year = static_cast<std::int16_t>(Le16(data + 2));
    fields.month = data[4];
    fields.day = data[5];
    fields.hour = data[6];
    fields.minute = data[7];
    fields.second = data[8];
    fields.millisecond = data[9] * 10 + data[10] / 10;
    if (fields.year < 1601 || fields.month < 1 || fields.month > 12 || fields.day < 1 || fields.day > 31
        || fields.hour > 23 || fields.minute > 59 || fields.second > 59 || fields.millisecond > 999) {
        return std::nullopt;
    }
    platform::FileTime wall = 0;
    if (!platform::UtcToFileTime(fields, wall)) {
        return std::nullopt;
    }
    // Type 1: local time, with the zone's offset in minutes in 12 signed bits
    // (-2047: no zone recorded, read as UTC).
    int offsetMinutes = 0;
    if ((typeAndZone >> 12) == 1) {
        int zone = typeAndZone & 0x0FFF;
        if ((zone & 0x0800) != 0) {
            zone -= 0x1000;
        }
        if (zone >= -1440 && zone <= 1440) {
            offsetMinutes = zone;
        }
    }
    const std::int64_t moment = static_cast<std::int64_t>(wall)
        - static_cast<std::int64_t>(offsetMinutes) * 60 * static_cast<std::int64_t>(platform::kFileTimeTicksPerSecond);
    if (moment < 0) {
        return std::nullopt;
    }
    return static_cast<platform::FileTime>(moment);
}

void FinishDescriptorTag(std::uint8_t* data, std::uint16_t id, std::size_t bodyLength, std::uint32_t location,
                         std::uint16_t version)
{
    PutLe16(data, id);
    PutLe16(data + 2, version);
    PutLe16(data + 8, DescriptorCrc(data + kTagSize, bodyLength));
    PutLe16(data + 10, static_cast<std::uint16_t>(bodyLength));
    PutLe32(data + 12, location);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < kTagSize; ++i) {
        if (i != 4) {
            sum = static_cast<std::uint8_t>(sum + data[i]);
        }
    }
    data[4] = sum;
}

std::vector<std::uint8_t> EncodeCs0(std::string_view text, std::size_t maxBytes)
{
    const std::u16string units = platform::NarrowToUtf16(text);
    const bool narrow = std::all_of(units.begin(), units.end(), [](char16_t unit) { return unit <= 0xFF; });
    std::vector<std::uint8_t> out;
    if (units.empty() || maxBytes < 2) {
        return out;
    }
    out.push_back(narrow ? 8 : 16);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (narrow) {
            if (out.size() + 1 > maxBytes) {
                break;
            }
            out.push_back(static_cast<std::uint8_t>(unit));
            continue;
        }
        // A surrogate pair goes whole or not at all.
        const bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size();
        if (out.size() + (pair ? 4 : 2) > maxBytes) {
            break;
        }
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
        out.push_back(static_cast<std::uint8_t>(unit));
        if (pair) {
            ++i;
            out.push_back(static_cast<std::uint8_t>(units[i] >> 8));
            out.push_back(static_cast<std::uint8_t>(units[i]));
        }
    }
    if (out.size() < 2) {
        out.clear(); // nothing fitted behind the compression byte
    }
    return out;
}

void PutDString(std::uint8_t* field, std::size_t size, std::string_view text)
{
    std::memset(field, 0, size);
    if (size < 2) {
        return;
    }
    const std::vector<std::uint8_t> cs0 = EncodeCs0(text, size - 1);
    std::copy(cs0.begin(), cs0.end(), field);
    field[size - 1] = static_cast<std::uint8_t>(cs0.size());
}

std::vector<std::uint8_t> EncodePathComponents(std::string_view path)
{
    // 4/14.16.1: type, identifier length, version 0, identifier.
    std::vector<std::uint8_t> out;
    const auto component = [&out](std::uint8_t type, const std::vector<std::uint8_t>& identifier) {
        out.push_back(type);
        out.push_back(static_cast<std::uint8_t>(identifier.size()));
        out.push_back(0);
        out.push_back(0);
        out.insert(out.end(), identifier.begin(), identifier.end());
    };
    if (!path.empty() && path.front() == '/') {
        component(2, {});
    }
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        const std::string_view part = path.substr(at, slash - at);
        if (part == "..") {
            component(3, {});
        } else if (part == ".") {
            component(4, {});
        } else if (!part.empty()) {
            component(5, EncodeCs0(part, 255));
        }
        at = slash + 1;
    }
    return out;
}

void PutTimestamp(std::uint8_t* data, platform::FileTime time)
{
    // 1/7.3: type and zone, year, month, day, hour, minute, second,
    // centiseconds, hundreds of microseconds, microseconds.
    platform::CalendarTime fields;
    int offsetMinutes = 0;
    std::uint16_t typeAndZone = 0;
    if (platform::FileTimeToLocal(time, fields, &offsetMinutes) && offsetMinutes >= -1440 && offsetMinutes <= 1440) {
        typeAndZone = static_cast<std::uint16_t>(0x1000 | (static_cast<unsigned>(offsetMinutes) & 0x0FFF));
    } else if (platform::FileTimeToUtc(time, fields)) {
        typeAndZone = 0x1000;
    } else {
        std::memset(data, 0, 12);
        return;
    }
    PutLe16(data, typeAndZone);
    PutLe16(data + 2, static_cast<std::uint16_t>(fields.year));
    data[4] = static_cast<std::uint8_t>(fields.month);
    data[5] = static_cast<std::uint8_t>(fields.day);
    data[6] = static_cast<std::uint8_t>(fields.hour);
    data[7] = static_cast<std::uint8_t>(fields.minute);
    data[8] = static_cast<std::uint8_t>(fields.second);
    const auto micro = static_cast<std::uint32_t>((time % platform::kFileTimeTicksPerSecond) / 10);
    data[9] = static_cast<std::uint8_t>(micro / 10000);
    data[10] = static_cast<std::uint8_t>(micro / 100 % 100);
    data[11] = static_cast<std::uint8_t>(micro % 100);
}

void PutOstaCharspec(std::uint8_t* data)
{
    std::memset(data, 0, 64);
    std::memcpy(data + 1, kOstaCompressedUnicode.data(), kOstaCompressedUnicode.size());
}

void PutEntityId(std::uint8_t* data, std::string_view identifier, const std::uint8_t (&suffix)[8])
{
    std::memset(data, 0, 32);
    std::memcpy(data + 1, identifier.data(), std::min<std::size_t>(identifier.size(), 23));
    std::memcpy(data + 24, suffix, 8);
}

} // namespace tarvelin::iso::udf
