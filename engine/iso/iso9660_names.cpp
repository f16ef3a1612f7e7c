// Names on disc: ISO 9660 identifiers (upper-cased narrow text), Joliet
// identifiers (UTF-16 big-endian), their limits, and the read-side clean-up
// of identifiers found in an image.
//
// Names that are too long are cut rather than refused, and names that clash
// inside one directory once they are upper-cased or cut are given a "~n"
// suffix: an image must never hold two entries with one name, because a
// reader then shows only one of them and the other file is lost to it.

#include "iso/iso9660.h"

#include "platform/text.h"

#include <algorithm>
#include <set>

namespace tarvelin::iso {

namespace {

// Room below which a "~n" suffix plus a little of the name cannot be made.
constexpr std::size_t kMinUniqueRoom = 12;

// A position inside a character that may not be cut: a UTF-8 continuation
// byte or the low half of a UTF-16 surrogate pair.
bool InsideCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool InsideCharacter(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// The longest a character can be in code units; malformed text that keeps
// looking "inside" past this is cut where it is.
constexpr std::size_t MaxCharacterUnits(char) { return 4; }
constexpr std::size_t MaxCharacterUnits(char16_t) { return 2; }

// The largest cut position <= limit that does not split a character.
template <typename Char>
std::size_t CutPosition(std::basic_string_view<Char> text, std::size_t limit)
{
    if (limit >= text.size()) {
        return text.size();
    }
    std::size_t cut = limit;
    while (cut > 0 && limit - cut < MaxCharacterUnits(Char{}) - 1 && InsideCharacter(text[cut])) {
        --cut;
    }
    return InsideCharacter(text[cut]) ? limit : cut;
}

// Where the extension starts (its dot), or the end when there is none. A
// leading dot (".profile") starts a name, not an extension.
template <typename Char>
std::size_t ExtensionStart(std::basic_string_view<Char> text)
{
    const std::size_t dot = text.rfind(static_cast<Char>('.'));
    return dot == std::basic_string_view<Char>::npos || dot == 0 ? text.size() : dot;
}

template <typename Char>
std::basic_string<Char> Shorten(std::basic_string_view<Char> text, std::size_t maxUnits)
{
    if (text.size() <= maxUnits) {
        return std::basic_string<Char>(text);
    }
    const std::size_t extensionStart = ExtensionStart(text);
    const std::basic_string_view<Char> extension = text.substr(extensionStart);
    if (!extension.empty() && extension.size() < maxUnits) {
        const std::basic_string_view<Char> stem = text.substr(0, extensionStart);
        const std::size_t cut = CutPosition(stem, maxUnits - extension.size());
        if (cut > 0) {
            return std::basic_string<Char>(stem.substr(0, cut)) + std::basic_string<Char>(extension);
        }
    }
    return std::basic_string<Char>(text.substr(0, CutPosition(text, maxUnits)));
}

template <typename Char>
std::basic_string<Char> Widen(std::string_view ascii)
{
    return std::basic_string<Char>(ascii.begin(), ascii.end());
}

// name with "~n" before its extension, cut so that the whole fits maxUnits.
template <typename Char>
std::basic_string<Char> WithSuffix(std::basic_string_view<Char> name, std::size_t number, std::size_t maxUnits)
{
    const std::basic_string<Char> suffix = Widen<Char>("~" + std::to_string(number));
    std::size_t stemEnd = ExtensionStart(name);
    std::basic_string_view<Char> extension = name.substr(stemEnd);
    if (suffix.size() + extension.size() + 1 > maxUnits) {
        stemEnd = name.size(); // the extension does not fit beside the suffix: cut it like the rest
        extension = {};
    }
    const std::basic_string_view<Char> stem = name.substr(0, stemEnd);
    const std::size_t room = maxUnits - suffix.size() - extension.size();
    return std::basic_string<Char>(stem.substr(0, CutPosition(stem, room))) + suffix
        + std::basic_string<Char>(extension);
}

// Readers on the target system compare names without regard to case.
template <typename Char>
std::basic_string<Char> CompareKey(const std::basic_string<Char>& name)
{
    std::basic_string<Char> key = name;
    for (Char& c : key) {
        if (c >= static_cast<Char>('a') && c <= static_cast<Char>('z')) {
            c = static_cast<Char>(c - 'a' + 'A');
        }
    }
    return key;
}

// An identifier that can never be a child's name: empty, or the single
// byte or unit that marks "." or "..".
template <typename Char>
bool Unusable(const std::basic_string<Char>& name)
{
    return name.empty()
        || (name.size() == 1 && (name[0] == static_cast<Char>(kSelfIdentifier) || name[0] == static_cast<Char>(kParentIdentifier)));
}

template <typename Char>
std::vector<std::basic_string<Char>> MakeUnique(std::vector<std::basic_string<Char>> names, std::size_t maxUnits)
{
    maxUnits = std::max(maxUnits, kMinUniqueRoom);
    std::set<std::basic_string<Char>> taken;
    std::vector<bool> keep(names.size(), false);
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = Shorten<Char>(names[i], maxUnits);
        keep[i] = !Unusable(names[i]) && taken.insert(CompareKey(names[i])).second;
    }
    // Every name kept is reserved before any suffix is chosen, so a name that
    // happens to look like "X~1" keeps it and the clash of X moves on to "X~2".
    // Of the numbers 1..count+1 at least one is free, so the search ends.
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (keep[i]) {
            continue;
        }
        for (std::size_t number = 1; number <= names.size() + 1; ++number) {
            std::basic_string<Char> candidate = WithSuffix<Char>(names[i], number, maxUnits);
            if (taken.insert(CompareKey(candidate)).second) {
                names[i] = std::move(candidate);
                break;
            }
        }
    }
    return names;
}

} // namespace

std::string IsoName(std::string_view narrow)
{
    std::string name(narrow);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return name;
}

std::u16string JolietName(std::string_view narrow) { return platform::NarrowToUtf16(narrow); }

std::string JolietIdentifier(std::u16string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit >> 8));
        bytes.push_back(static_cast<char>(unit & 0xFF));
    }
    return bytes;
}

std::string ShortenName(std::string_view utf8, std::size_t maxBytes) { return Shorten<char>(utf8, maxBytes); }

std::u16string ShortenName(std::u16string_view utf16, std::size_t maxUnits)
{
    return Shorten<char16_t>(utf16, maxUnits);
}

std::vector<std::string> UniqueIsoNames(std::span<const std::string> narrowNames, std::size_t maxBytes)
{
    std::vector<std::string> names;
    names.reserve(narrowNames.size());
    for (const std::string& name : narrowNames) {
        names.push_back(IsoName(name));
    }
    return MakeUnique<char>(std::move(names), maxBytes);
}

std::vector<std::u16string> UniqueJolietNames(std::span<const std::string> narrowNames, std::size_t maxUnits)
{
    std::vector<std::u16string> names;
    names.reserve(narrowNames.size());
    for (const std::string& name : narrowNames) {
        names.push_back(JolietName(name));
    }
    return MakeUnique<char16_t>(std::move(names), maxUnits);
}

std::string DecodeIsoIdentifier(std::string_view identifier)
{
    identifier = identifier.substr(0, identifier.find('\0'));
    identifier = identifier.substr(0, identifier.find(';'));
    if (!identifier.empty() && identifier.back() == '.') {
        identifier.remove_suffix(1);
    }
    return std::string(identifier);
}

std::string DecodeJolietIdentifier(std::string_view identifier)
{
    if (identifier.size() % 2 != 0) {
        return {};
    }
    std::u16string units;
    units.reserve(identifier.size() / 2);
    for (std::size_t i = 0; i < identifier.size(); i += 2) {
        const char16_t unit = static_cast<char16_t>((static_cast<unsigned char>(identifier[i]) << 8)
                                                    | static_cast<unsigned char>(identifier[i + 1]));
        if (unit == u'\0' || unit == u';') {
            break;
        }
        units.push_back(unit);
    }
    return platform::Utf16ToNarrow(units);
}

// ---------------------------------------------------------------------------
// Text fields of the descriptors

void PutTextField(Bytes field, std::string_view text, std::uint8_t pad)
{
    const std::size_t count = std::min(text.size(), field.size());
    std::copy_n(text.begin(), count, field.begin());
    std::fill(field.begin() + static_cast<std::ptrdiff_t>(count), field.end(), pad);
}

void PutJolietTextField(Bytes field, std::string_view narrow, char16_t pad)
{
    const std::size_t width = field.size() / 2;
    std::u16string units = platform::NarrowToUtf16(narrow);
    units.resize(CutPosition<char16_t>(units, width));
    units.resize(width, pad);
    PutTextField(field, JolietIdentifier(units), 0x00);
}

std::string ReadTextField(ConstBytes field)
{
    std::string text(field.begin(), field.end());
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

std::string ReadJolietTextField(ConstBytes field)
{
    std::u16string units;
    for (std::size_t i = 0; i + 1 < field.size(); i += 2) {
        units.push_back(static_cast<char16_t>((field[i] << 8) | field[i + 1]));
    }
    while (!units.empty() && (units.back() == u' ' || units.back() == u'\0')) {
        units.pop_back();
    }
    return platform::Utf16ToNarrow(units);
}

} // namespace tarvelin::iso
