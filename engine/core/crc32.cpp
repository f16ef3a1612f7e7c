#include "core/crc32.h"

#include <array>

namespace tarvelin {

namespace {

// Tables for eight bytes at a step: tables[0] is the byte-at-a-time table,
// tables[k][i] the CRC of byte i followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

const Tables& CrcTables()
{
    static const Tables tables = [] {
        Tables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[0][i] = c;
        }
        for (std::size_t k = 1; k < t.size(); ++k) {
            for (std::uint32_t i = 0; i < 256; ++i) {
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
            }
        }
        return t;
    }();
    return tables;
}

std::uint32_t Le32(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16
        | std::uint32_t{bytes[3]} << 24;
}

} // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    const Tables& t = CrcTables();
    crc = ~crc;
    // Eight bytes at a step: the undo journal sums every sector a save
    // overwrites.
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t low = crc ^ Le32(data);
        const std::uint32_t high = Le32(data + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24]
            ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; size != 0; ++data, --size) {
        crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

} // namespace tarvelin
