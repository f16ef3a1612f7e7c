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
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace tarvelin::iso {

namespace {

// A position inside a character that may not be cut: the low half of a
// UTF-16 surrogate pair.
bool InsideCharacter(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// Of UTF-8 narrow text: a continuation byte.
bool InsideCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
// The longest a character can be in code units; malformed text that keeps
// looking "inside" past this is cut where it is.
constexpr std::size_t MaxCharacterUnits(char16_t) { return 2; }
constexpr std::size_t MaxCharacterUnits(char) { return 4; }

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

// name with "~n" before its extension (or at its end), cut so that the
// whole fits maxUnits.
template <typename Char>
std::basic_string<Char> WithSuffix(std::basic_string_view<Char> name, std::size_t number, std::size_t maxUnits,
                                   bool keepExtension = true)
{
    const std::basic_string<Char> suffix = Widen<Char>("~" + std::to_string(number));
    std::size_t stemEnd = keepExtension ? ExtensionStart(name) : name.size();
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

// ---------------------------------------------------------------------------
// Names of added entries

namespace {

// A file identifier's parts before the dot and ";1" are added.
struct IsoFileParts {
    std::string name;
    std::string extension;
};

bool IsDCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// Narrow text with each byte mapped by legal, a UTF-8 sequence (a lead byte
// and the continuation bytes after it) mapped as its lead byte alone.
template <typename Map>
std::string MapCharacters(std::string_view text, const Map& legal)
{
    std::string mapped;
    mapped.reserve(text.size());
    std::size_t continuation = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (continuation > 0 && (byte & 0xC0) == 0x80) {
            --continuation;
            continue;
        }
        continuation = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
        mapped.push_back(legal(c));
    }
    return mapped;
}

// d-characters of narrow text: a..z upper-cased, any other byte '_', one '_'
// for each UTF-8 sequence.
std::string DCharacters(std::string_view text)
{
    return MapCharacters(text, [](char c) {
        if (c >= 'a' && c <= 'z') {
            return static_cast<char>(c - 'a' + 'A');
        }
        return IsDCharacter(c) ? c : '_';
    });
}

// Limits never below level 1 (the room a "_n" needs) nor beyond what a
// record carries: ".;1" takes three of its identifier bytes.
IsoNameLimits Bounded(const IsoNameLimits& limits)
{
    if (limits.enhanced) {
        return IsoNameLimits::Level4();
    }
    constexpr IsoNameLimits kLeast = IsoNameLimits::Level1();
    constexpr std::size_t kMostFile = kMaxRecordIdentifierLength - 3;
    const auto bound = [](std::size_t value, std::size_t least, std::size_t most) {
        return std::clamp(value, least, most);
    };
    IsoNameLimits bounded;
    bounded.nameAndExtension = bound(limits.nameAndExtension, kLeast.nameAndExtension, kMostFile);
    bounded.name = bound(limits.name, kLeast.name, bounded.nameAndExtension);
    bounded.extension = bound(limits.extension, kLeast.extension, bounded.nameAndExtension);
    bounded.directory = bound(limits.directory, kLeast.directory, kMaxRecordIdentifierLength);
    return bounded;
}

// Never inside a UTF-8 sequence (d-characters have none).
void CutTo(std::string& text, std::size_t size) { text.resize(CutPosition(std::string_view(text), size)); }

// The characters an identifier may hold under the limits: d-characters, or
// for ISO 9660:1999 the name's own, '/' and ';' (the version's separator)
// and control characters made '_'.
std::string LegalCharacters(std::string_view text, const IsoNameLimits& limits)
{
    if (!limits.enhanced) {
        return DCharacters(text);
    }
    std::string legal(text);
    std::replace_if(
        legal.begin(), legal.end(),
        [](char c) { return c == '/' || c == ';' || static_cast<unsigned char>(c) < 0x20; }, '_');
    return legal;
}

// The identifier of a file: "NAME.EXT;1", or under ISO 9660:1999 the name
// with its extension, if any, and no version.
std::string FileIdentifier(const std::string& name, const std::string& extension, const IsoNameLimits& limits)
{
    if (limits.enhanced) {
        return extension.empty() ? name : name + "." + extension;
    }
    return name + "." + extension + ";1";
}

// Cut to the limits; the extension stays whole while the name keeps a
// character beside it.
void FitFileParts(IsoFileParts& parts, const IsoNameLimits& limits)
{
    CutTo(parts.name, limits.name);
    CutTo(parts.extension, limits.extension);
    if (parts.name.size() + parts.extension.size() > limits.nameAndExtension) {
        CutTo(parts.extension, limits.nameAndExtension - (parts.name.empty() ? 0 : 1));
        CutTo(parts.name, limits.nameAndExtension - parts.extension.size());
    }
    if (parts.name.empty() && parts.extension.empty()) {
        parts.name = "_";
    }
}

IsoFileParts LegalFileParts(std::string_view narrow, const IsoNameLimits& limits)
{
    const std::size_t dot = ExtensionStart(narrow);
    IsoFileParts parts{LegalCharacters(narrow.substr(0, dot), limits),
                       dot < narrow.size() ? LegalCharacters(narrow.substr(dot + 1), limits) : std::string()};
    FitFileParts(parts, limits);
    return parts;
}

std::string LegalDirectory(std::string_view narrow, const IsoNameLimits& limits)
{
    std::string name = LegalCharacters(narrow, limits);
    CutTo(name, limits.directory);
    return name.empty() ? std::string("_") : name;
}

// What two identifiers are compared by for clashes: no version, no dot of
// an empty extension, a..z upper-cased; ISO 9660:1999 names keep their case.
std::string IsoClashKey(std::string_view identifier, const IsoNameLimits& limits)
{
    std::string key = DecodeIsoIdentifier(identifier);
    return limits.enhanced ? key : IsoName(key);
}

// The identifier with "_n" before the dot (files) or at the end (folders);
// empty when the number leaves no room for a character of the name.
std::string NumberedIsoIdentifier(const NewEntryName& entry, std::string_view legal, const IsoFileParts& parts,
                                  std::size_t number, const IsoNameLimits& limits)
{
    const std::string suffix = kIsoClashMark + std::to_string(number);
    if (entry.isDirectory) {
        if (suffix.size() >= limits.directory) {
            return {};
        }
        return std::string(legal.substr(0, CutPosition(legal, limits.directory - suffix.size()))) + suffix;
    }
    IsoFileParts numbered = parts;
    if (suffix.size() >= limits.name) {
        return {};
    }
    CutTo(numbered.extension, limits.nameAndExtension - suffix.size() - 1);
    const std::size_t room = std::min(limits.name, limits.nameAndExtension - numbered.extension.size());
    CutTo(numbered.name, room - suffix.size());
    return FileIdentifier(numbered.name + suffix, numbered.extension, limits);
}

// The units of a Joliet identifier as stored, up to a version suffix.
std::u16string JolietUnits(std::string_view identifier)
{
    std::u16string units;
    units.reserve(identifier.size() / 2);
    for (std::size_t i = 0; i + 1 < identifier.size(); i += 2) {
        const auto unit = static_cast<char16_t>((static_cast<unsigned char>(identifier[i]) << 8)
                                                | static_cast<unsigned char>(identifier[i + 1]));
        if (unit == u';') {
            break;
        }
        units.push_back(unit);
    }
    return units;
}

bool JolietExcludes(char16_t unit)
{
    return unit < 0x20 || unit == u'*' || unit == u'/' || unit == u':' || unit == u';' || unit == u'?'
        || unit == u'\\';
}

// The parts of an ISO 9660 identifier that ECMA-119 9.3 orders by.
struct IsoSortParts {
    std::string_view name;
    std::string_view extension;
    std::optional<std::uint32_t> version;
};

IsoSortParts SortPartsOf(std::string_view identifier)
{
    IsoSortParts parts;
    const std::size_t semicolon = identifier.find(';');
    if (semicolon != std::string_view::npos) {
        std::uint32_t version = 0;
        for (const char c : identifier.substr(semicolon + 1)) {
            if (c < '0' || c > '9') {
                break;
            }
            version = std::min<std::uint32_t>(version * 10 + static_cast<std::uint32_t>(c - '0'), 1u << 20);
        }
        parts.version = version;
        identifier = identifier.substr(0, semicolon);
    }
    const std::size_t dot = identifier.find('.');
    parts.name = identifier.substr(0, dot);
    parts.extension = dot == std::string_view::npos ? std::string_view() : identifier.substr(dot + 1);
    return parts;
}

// The shorter of the two taken as padded with spaces.
int ComparePadded(std::string_view a, std::string_view b)
{
    const std::size_t length = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

} // namespace

std::string IsoFileIdentifier(std::string_view narrow, const IsoNameLimits& limits)
{
    const IsoNameLimits bounded = Bounded(limits);
    const IsoFileParts parts = LegalFileParts(narrow, bounded);
    return FileIdentifier(parts.name, parts.extension, bounded);
}

std::string IsoDirectoryIdentifier(std::string_view narrow, const IsoNameLimits& limits)
{
    return LegalDirectory(narrow, Bounded(limits));
}

std::vector<std::string> UniqueIsoIdentifiers(std::span<const NewEntryName> entries, std::span<const std::string> taken,
                                              const IsoNameLimits& limits)
{
    const IsoNameLimits bounded = Bounded(limits);
    std::set<std::string> used;
    for (const std::string& identifier : taken) {
        used.insert(IsoClashKey(identifier, bounded));
    }
    std::vector<IsoFileParts> parts(entries.size());
    std::vector<std::string> identifiers(entries.size());
    std::vector<std::size_t> clashing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].isDirectory) {
            identifiers[i] = LegalDirectory(entries[i].name, bounded);
        } else {
            parts[i] = LegalFileParts(entries[i].name, bounded);
            identifiers[i] = FileIdentifier(parts[i].name, parts[i].extension, bounded);
        }
        if (!used.insert(IsoClashKey(identifiers[i], bounded)).second) {
            clashing.push_back(i);
        }
    }
    // Every identifier kept is reserved before a number is chosen. The
    // number is what follows the last '_' of the name, so each number gives
    // another identifier; of count + 1 numbers one is free.
    // Numbers once taken stay taken, so the search for the next entry of
    // one identifier goes on where the last one stopped: many names that
    // are cut alike cost one try each, not one per name before them.
    const std::size_t numbers = used.size() + clashing.size() + 1;
    std::map<std::string, std::size_t> nextNumber;
    for (const std::size_t i : clashing) {
        std::size_t& number = nextNumber.try_emplace(identifiers[i], 1).first->second;
        for (; number <= numbers; ++number) {
            std::string candidate = NumberedIsoIdentifier(entries[i], identifiers[i], parts[i], number, bounded);
            if (candidate.empty()) {
                break; // beyond any folder a record length can describe
            }
            if (used.insert(IsoClashKey(candidate, bounded)).second) {
                identifiers[i] = std::move(candidate);
                ++number;
                break;
            }
        }
    }
    return identifiers;
}

std::u16string JolietEntryName(std::string_view narrow, bool isDirectory, bool longNames)
{
    std::u16string name = platform::NarrowToUtf16(narrow);
    std::replace_if(name.begin(), name.end(), JolietExcludes, u'_');
    const std::size_t limit = longNames ? kJolietLongNameUnits : kJolietNameUnits;
    name = isDirectory ? name.substr(0, CutPosition<char16_t>(name, limit)) : Shorten<char16_t>(name, limit);
    return name.empty() ? std::u16string(u"_") : name;
}

bool IsLongJolietIdentifier(std::string_view identifier, bool isDirectory)
{
    const std::u16string units = JolietUnits(identifier);
    const bool extensionDot = !isDirectory && units.find(u'.') != std::u16string::npos;
    return units.size() > kJolietNameUnits + (extensionDot ? 1 : 0);
}

std::vector<std::string> UniqueJolietIdentifiers(std::span<const NewEntryName> entries,
                                                 std::span<const std::string> taken, bool longNames)
{
    const std::size_t limit = longNames ? kJolietLongNameUnits : kJolietNameUnits;
    std::set<std::u16string> used;
    for (const std::string& identifier : taken) {
        used.insert(JolietUnits(identifier));
    }
    std::vector<std::u16string> names(entries.size());
    std::vector<std::size_t> clashing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        names[i] = JolietEntryName(entries[i].name, entries[i].isDirectory, longNames);
        if (!used.insert(names[i]).second) {
            clashing.push_back(i);
        }
    }
    // As for ISO 9660 identifiers: each name's numbers are tried once.
    const std::size_t numbers = used.size() + clashing.size() + 1;
    std::map<std::pair<std::u16string, bool>, std::size_t> nextNumber;
    for (const std::size_t i : clashing) {
        std::size_t& number = nextNumber.try_emplace({names[i], entries[i].isDirectory}, 1).first->second;
        for (; number <= numbers; ++number) {
            std::u16string candidate = WithSuffix<char16_t>(names[i], number, limit, !entries[i].isDirectory);
            if (used.insert(candidate).second) {
                names[i] = std::move(candidate);
                ++number;
                break;
            }
        }
    }
    std::vector<std::string> identifiers;
    identifiers.reserve(names.size());
    for (const std::u16string& name : names) {
        identifiers.push_back(JolietIdentifier(name));
    }
    return identifiers;
}

int CompareIsoIdentifiers(std::string_view a, std::string_view b)
{
    const IsoSortParts x = SortPartsOf(a);
    const IsoSortParts y = SortPartsOf(b);
    if (const int name = ComparePadded(x.name, y.name); name != 0) {
        return name;
    }
    if (const int extension = ComparePadded(x.extension, y.extension); extension != 0) {
        return extension;
    }
    if (x.version != y.version) {
        if (!x.version || !y.version) {
            return !x.version ? -1 : 1;
        }
        return *x.version > *y.version ? -1 : 1;
    }
    return Sign(a.compare(b));
}

int CompareJolietIdentifiers(std::string_view a, std::string_view b)
{
    // Big-endian units compare as their bytes do, and char_traits<char>
    // compares bytes as unsigned numbers.
    return Sign(a.compare(b));
}

std::string DecodeIsoIdentifier(std::string_view identifier)
{
    identifier = identifier.substr(0, identifier.find('\0'));
    // The version is the digits after the last ';'. ISO 9660:1999 (level 4)
    // names may hold a ';' of their own, which stays.
    const std::size_t version = identifier.rfind(';');
    if (version != std::string_view::npos
        && identifier.find_first_not_of("0123456789", version + 1) == std::string_view::npos) {
        identifier = identifier.substr(0, version);
    }
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
    // Most names are ASCII: those units are taken across as they are until
    // the first that is not.
    std::string ascii;
    ascii.reserve(identifier.size() / 2);
    std::size_t i = 0;
    for (; i < identifier.size(); i += 2) {
        const auto high = static_cast<unsigned char>(identifier[i]);
        const auto low = static_cast<unsigned char>(identifier[i + 1]);
        if (high != 0 || low >= 0x80) {
            break;
        }
        if (low == '\0' || low == ';') {
            return ascii;
        }
        ascii.push_back(static_cast<char>(low));
    }
    if (i == identifier.size()) {
        return ascii;
    }
    std::u16string units(ascii.begin(), ascii.end());
    units.reserve(identifier.size() / 2);
    for (; i < identifier.size(); i += 2) {
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

void PutPrimaryTextField(Bytes field, std::string_view narrow)
{
    const std::string printable = MapCharacters(narrow, [](char c) { return c >= ' ' && c <= '~' ? c : '_'; });
    PutTextField(field, printable, ' ');
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
