// UTF-8 <-> UTF-16 without the platform's help, so every platform converts
// the same way. Ill-formed input is replaced, never dropped or passed on:
// each maximal ill-formed subsequence of UTF-8 becomes one U+FFFD (the
// practice recommended by Unicode, chapter 3), each unpaired surrogate of
// UTF-16 becomes one U+FFFD.

#include "platform/text.h"

#include <cstdint>

namespace tarvelin::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void PutUtf16(std::u16string& out, char32_t code)
{
    if (code < 0x10000) {
        out += static_cast<char16_t>(code);
    } else {
        code -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (code >> 10));
        out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    }
}

void PutUtf8(std::string& out, char32_t code)
{
    auto put = [&out](char32_t byte) { out += static_cast<char>(static_cast<unsigned char>(byte)); };
    if (code < 0x80) {
        put(code);
    } else if (code < 0x800) {
        put(0xC0 | (code >> 6));
        put(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        put(0xE0 | (code >> 12));
        put(0x80 | ((code >> 6) & 0x3F));
        put(0x80 | (code & 0x3F));
    } else {
        put(0xF0 | (code >> 18));
        put(0x80 | ((code >> 12) & 0x3F));
        put(0x80 | ((code >> 6) & 0x3F));
        put(0x80 | (code & 0x3F));
    }
}

// Decodes one code point at text[pos] and advances pos past it. An
// ill-formed sequence yields U+FFFD and advances past its longest valid
// prefix (at least one byte), so the next well-formed character survives.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos)
{
    const auto byte = [&text](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(pos++);
    if (lead < 0x80) {
        return lead;
    }
    int trailing = 0;
    char32_t code = 0;
    // The range allowed for the first trailing byte excludes overlong
    // forms, surrogates and values above U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        code = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        code = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return kReplacement;
    }
    for (int i = 0; i < trailing; ++i) {
        if (pos >= text.size()) {
            return kReplacement;
        }
        const std::uint8_t next = byte(pos);
        if (next < low || next > high) {
            return kReplacement;
        }
        low = 0x80;
        high = 0xBF;
        code = (code << 6) | (next & 0x3F);
        ++pos;
    }
    return code;
}

} // namespace

std::u16string NarrowToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        PutUtf16(out, DecodeUtf8(text, pos));
    }
    return out;
}

std::string Utf16ToNarrow(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const char32_t low = text[++i];
            PutUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            PutUtf8(out, kReplacement);
        } else {
            PutUtf8(out, unit);
        }
    }
    return out;
}

} // namespace tarvelin::platform
