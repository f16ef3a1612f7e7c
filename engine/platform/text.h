#pragma once

// Conversion between the system's narrow code page and UTF-16. The narrow
// code page is UTF-8 on this platform.

#include "platform/export.h"

#include <string>
#include <string_view>

namespace tarvelin::platform {

// Bytes that are not valid in the narrow code page become U+FFFD.
TARVELIN_API std::u16string NarrowToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
TARVELIN_API std::string Utf16ToNarrow(std::u16string_view text);

} // namespace tarvelin::platform
