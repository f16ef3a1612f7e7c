#pragma once

// CRC-32 of IEEE 802.3 (polynomial 0x04C11DB7, reflected 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF): the check value of the undo journal and of
// the GPT header and entry array. The EDC of CD sectors is a different CRC
// (core/raw_sector.h).

#include "platform/export.h"

#include <cstddef>
#include <cstdint>

namespace tarvelin {

// The CRC of size bytes; a running CRC continues with the previous result as
// crc (Crc32(b, m, Crc32(a, n)) is the CRC of a followed by b).
TARVELIN_API std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

} // namespace tarvelin
