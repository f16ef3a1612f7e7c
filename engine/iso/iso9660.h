#pragma once

// ISO 9660 (ECMA-119), Joliet and El Torito on-disc structures: the one place
// in the engine that knows their byte positions. Everything else reads and
// writes volume descriptors, directory records, path tables and the boot
// catalog through the helpers below.
//
// Each structure is a plain struct of native fields with an Encode that
// renders it into caller-owned bytes and a Decode that checks every length
// against the bytes it is given before it reads. Decoders never trust a
// length byte: a record that claims more bytes than are there is refused.
// Byte positions are those of ECMA-119 (clause numbers in the comments), of
// the Joliet extension and of the El Torito bootable CD specification.
//
// Both-endian numbers (ECMA-119 7.2.3 and 7.3.3) are written in full, both
// halves; readers take the little-endian half and report when the halves
// disagree, so that a damaged image can still be listed.
//
// Names: the engine's narrow code page is UTF-8. ISO 9660 identifiers are the
// narrow text with a..z upper-cased; Joliet identifiers are UTF-16
// big-endian. Identifiers in the structs are raw bytes held in std::string.

#include "core/iso9660_constants.h"
#include "platform/export.h"
#include "platform/time.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::iso {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

inline constexpr std::uint32_t kSystemAreaSectors = 16;
inline constexpr std::uint32_t kBootRecordSector = 17;      // El Torito puts its boot record here

// Sectors a structure of this many bytes fills once padded to whole sectors
// (path tables, directories and file data each start on a sector boundary).
inline constexpr std::uint32_t SectorsFor(std::uint32_t bytes)
{
    return static_cast<std::uint32_t>(bytes / kSectorSize + (bytes % kSectorSize != 0 ? 1 : 0));
}

// Why a decoder refused its bytes, and whether a both-endian field had
// halves that disagree (the little-endian half was used).
struct DecodeReport {
    bool endianMismatch = false;
    const char* problem = nullptr; // static text, set when a decoder refuses its bytes
};

// ---------------------------------------------------------------------------
// Numbers (ECMA-119 7.1 to 7.3). Each helper touches bytes[offset] onwards.
// A field that does not fit the span is a caller's fault: writers then write
// nothing and readers give 0 (debug builds stop on an assertion).

TARVELIN_API void PutLe16(Bytes bytes, std::size_t offset, std::uint16_t value);   // 7.2.1
TARVELIN_API void PutBe16(Bytes bytes, std::size_t offset, std::uint16_t value);   // 7.2.2
TARVELIN_API void PutBoth16(Bytes bytes, std::size_t offset, std::uint16_t value); // 7.2.3, 4 bytes
TARVELIN_API void PutLe32(Bytes bytes, std::size_t offset, std::uint32_t value);   // 7.3.1
TARVELIN_API void PutBe32(Bytes bytes, std::size_t offset, std::uint32_t value);   // 7.3.2
TARVELIN_API void PutBoth32(Bytes bytes, std::size_t offset, std::uint32_t value); // 7.3.3, 8 bytes

TARVELIN_API std::uint16_t ReadLe16(ConstBytes bytes, std::size_t offset);
TARVELIN_API std::uint16_t ReadBe16(ConstBytes bytes, std::size_t offset);
TARVELIN_API std::uint32_t ReadLe32(ConstBytes bytes, std::size_t offset);
TARVELIN_API std::uint32_t ReadBe32(ConstBytes bytes, std::size_t offset);
// The little-endian half; *mismatch becomes true when the big-endian half
// differs and is left alone otherwise, so one flag can collect several fields.
TARVELIN_API std::uint16_t ReadBoth16(ConstBytes bytes, std::size_t offset, bool* mismatch = nullptr);
TARVELIN_API std::uint32_t ReadBoth32(ConstBytes bytes, std::size_t offset, bool* mismatch = nullptr);

// ---------------------------------------------------------------------------
// Dates.

// Recording date of a directory record (ECMA-119 9.1.5), 7 bytes:
//   0 years since 1900, 1 month 1..12, 2 day 1..31, 3 hour, 4 minute,
//   5 second, 6 offset from Greenwich in 15-minute units (signed, -48..+52).
// Seven zero bytes mean "no date".
struct RecordingDate {
    std::uint8_t yearsSince1900 = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    std::int8_t gmtOffset = 0;

    bool IsUnset() const { return *this == RecordingDate{}; }
    bool operator==(const RecordingDate&) const = default;
};
inline constexpr std::size_t kRecordingDateSize = 7;

TARVELIN_API void PutRecordingDate(Bytes bytes, std::size_t offset, const RecordingDate& date);
TARVELIN_API RecordingDate ReadRecordingDate(ConstBytes bytes, std::size_t offset);

// The local wall-clock time of the moment, labelled with the zone's real
// offset from Greenwich at that moment, so every reader can place it in
// time. When the zone's offset is not a whole number of quarter hours or
// lies outside -12:00..+13:00, the moment is written in UTC with offset 0
// instead (still the right moment). A moment outside 1900..2155 cannot be
// written and gives the unset date.
TARVELIN_API RecordingDate RecordingDateFromFileTime(platform::FileTime utc);
// The moment a recording date names: its fields minus its offset. The
// offset byte is read as signed and clamped to -48..+52. Unset dates and
// impossible calendar fields give nothing.
TARVELIN_API std::optional<platform::FileTime> FileTimeFromRecordingDate(const RecordingDate& date);

// Volume date of the descriptors (ECMA-119 8.4.26.1), 17 bytes: 16 ASCII
// digits YYYYMMDDHHMMSScc (cc hundredths) and the offset byte as above.
using VolumeDate = std::array<std::uint8_t, 17>;
// "Not specified": sixteen '0' digits and offset 0.
TARVELIN_API VolumeDate UnsetVolumeDate();
// Local time with the zone's offset, on the same terms as RecordingDate.
TARVELIN_API VolumeDate VolumeDateFromFileTime(platform::FileTime utc);
// Nothing for seventeen zero bytes, for the "not specified" form and for
// fields that are not a date.
TARVELIN_API std::optional<platform::FileTime> FileTimeFromVolumeDate(const VolumeDate& date);

// The volume label: year, month, day, hour and minute of a local calendar
// time as decimal numbers without zero padding, 2004-07-09 08:05 giving
// "20047985". At most 12 characters for years of four digits.
TARVELIN_API std::string VolumeLabelText(const platform::CalendarTime& local);

// ---------------------------------------------------------------------------
// Text fields of the descriptors (a-, d- and Joliet character fields).

// Copies text into field, cut to the field's width, the rest filled with pad.
TARVELIN_API void PutTextField(Bytes field, std::string_view text, std::uint8_t pad = 0x00);
// Narrow text as the primary descriptor holds it: printable ASCII as it is,
// each other byte and each UTF-8 sequence one '_' (the descriptor's fields
// have no encoding for them), cut to the field's width, space-padded.
TARVELIN_API void PutPrimaryTextField(Bytes field, std::string_view narrow);
// Narrow text as UTF-16 big-endian, cut at whole characters (a surrogate
// pair is never split), the rest filled with the pad unit; the odd last byte
// of a field of odd width is zero.
TARVELIN_API void PutJolietTextField(Bytes field, std::string_view narrow, char16_t pad = u'\0');
// The field's text without its trailing spaces and NULs.
TARVELIN_API std::string ReadTextField(ConstBytes field);
TARVELIN_API std::string ReadJolietTextField(ConstBytes field);

// ---------------------------------------------------------------------------
// Volume descriptor header (ECMA-119 8.1), the first 7 bytes of every
// descriptor sector:
//   0 type, 1..5 standard identifier "CD001", 6 version 1.

inline constexpr std::size_t kDescriptorHeaderSize = 7;
inline constexpr std::uint8_t kDescriptorVersion = 1;
// The version of an enhanced volume descriptor (ISO 9660:1999).
inline constexpr std::uint8_t kEnhancedDescriptorVersion = 2;

TARVELIN_API void PutDescriptorHeader(Bytes sector, DescriptorType type);
// True when all seven bytes are the header of a descriptor of that type.
TARVELIN_API bool HasDescriptorHeader(ConstBytes sector, DescriptorType type);

// Volume descriptor set terminator (ECMA-119 8.3): the header with type 255
// and 2041 zero bytes. False when sector holds fewer than 2048 bytes.
TARVELIN_API bool EncodeTerminator(Bytes sector);

// ---------------------------------------------------------------------------
// Directory record (ECMA-119 9.1), variable length:
//   0  u8      record length: 33 + n, plus 1 when n is even, plus system use
//   1  u8      extended attribute record length
//   2  both32  extent (first logical block)
//   10 both32  data length in bytes
//   18 date7   recording date
//   25 u8      file flags (DirectoryFlags)
//   26 u8      file unit size
//   27 u8      interleave gap size
//   28 both16  volume sequence number
//   32 u8      file identifier length n
//   33 n       file identifier
//   33+n       one zero byte when n is even (keeps the record length even)
//   then       system use bytes up to the record length (Rock Ridge and such)

struct DirectoryRecordOffset {
    static constexpr std::size_t kLength = kRecordLengthOffset;
    static constexpr std::size_t kExtendedAttributeLength = 1;
    static constexpr std::size_t kExtent = kRecordExtentOffset;
    static constexpr std::size_t kDataLength = 10;
    static constexpr std::size_t kRecordingDate = 18;
    static constexpr std::size_t kFlags = 25;
    static constexpr std::size_t kFileUnitSize = 26;
    static constexpr std::size_t kInterleaveGap = 27;
    static constexpr std::size_t kVolumeSequenceNumber = 28;
    static constexpr std::size_t kIdentifierLength = 32;
    static constexpr std::size_t kIdentifier = 33;
};
static_assert(DirectoryRecordOffset::kRecordingDate + kRecordingDateSize == DirectoryRecordOffset::kFlags);
static_assert(DirectoryRecordOffset::kVolumeSequenceNumber + 4 == DirectoryRecordOffset::kIdentifierLength);

// ECMA-119 9.1.6.
struct DirectoryFlags {
    static constexpr std::uint8_t kHidden = 0x01;      // "existence": not shown to the user
    static constexpr std::uint8_t kDirectory = 0x02;
    static constexpr std::uint8_t kAssociated = 0x04;
    static constexpr std::uint8_t kRecord = 0x08;
    static constexpr std::uint8_t kProtection = 0x10;
    static constexpr std::uint8_t kMultiExtent = 0x80; // more records of this file follow
};

inline constexpr std::size_t kDirectoryRecordFixedSize = 33;
inline constexpr std::size_t kMaxDirectoryRecordSize = 255;
// 33 + 221 = 254 and 33 + 220 + 1 = 254: the longest identifiers a record
// length byte can carry (odd and even lengths alike stay within 255).
inline constexpr std::size_t kMaxRecordIdentifierLength = 221;
inline constexpr std::size_t kMaxJolietRecordUnits = 110; // 220 bytes
// The identifier bytes of the "." and ".." records (ECMA-119 6.8.2.2).
inline constexpr std::uint8_t kSelfIdentifier = 0x00;
inline constexpr std::uint8_t kParentIdentifier = 0x01;

// A directory record; Text is std::string for a record that owns its
// bytes, std::string_view for one read in place from a sector that outlives
// it (reading a tree decodes every record, and copies none it does not keep).
template <class Text>
struct BasicDirectoryRecord {
    std::uint8_t extendedAttributeLength = 0;
    std::uint32_t extent = 0;
    std::uint32_t dataLength = 0;
    RecordingDate date;
    std::uint8_t flags = 0;
    std::uint8_t fileUnitSize = 0;
    std::uint8_t interleaveGap = 0;
    std::uint16_t volumeSequenceNumber = 1; // the volume of a set of one that holds the extent
    Text identifier; // raw bytes, 1..221
    Text systemUse;  // raw bytes after the identifier and its padding

    bool IsDirectory() const { return (flags & DirectoryFlags::kDirectory) != 0; }
    bool IsHidden() const { return (flags & DirectoryFlags::kHidden) != 0; }
    bool IsMultiExtent() const { return (flags & DirectoryFlags::kMultiExtent) != 0; }
    // The "." and ".." records of a directory.
    bool IsSelf() const { return identifier.size() == 1 && identifier[0] == static_cast<char>(kSelfIdentifier); }
    bool IsParent() const { return identifier.size() == 1 && identifier[0] == static_cast<char>(kParentIdentifier); }
    bool operator==(const BasicDirectoryRecord&) const = default;

    // The same record with its bytes copied (or viewed) as Other.
    template <class Other>
    BasicDirectoryRecord<Other> As() const
    {
        return {extendedAttributeLength, extent, dataLength, date, flags, fileUnitSize, interleaveGap,
                volumeSequenceNumber, Other(identifier), Other(systemUse)};
    }
};
using DirectoryRecord = BasicDirectoryRecord<std::string>;
using DirectoryRecordView = BasicDirectoryRecord<std::string_view>;

// CD-ROM XA: a record of a Mode 2 disc may start its system use field with
// 14 bytes: owner group and user, attributes (big-endian), "XA", file
// number, 5 reserved. The attributes say how the file's sectors are stored;
// a Form 2 file (a Video CD's video) has 2324 bytes of data in each.
inline constexpr std::size_t kXaRecordSize = 14;
inline constexpr std::uint16_t kXaForm1 = 0x0800;
inline constexpr std::uint16_t kXaForm2 = 0x1000;
TARVELIN_API bool StartsWithXaRecord(std::string_view systemUse);
// Whether a record's XA attributes mark its data as Mode 2 Form 2 only.
TARVELIN_API bool IsXaForm2File(std::string_view systemUse);

// The record length a record with these identifier and system use lengths
// takes; 0 when it cannot be written (empty identifier or more than 255
// bytes in all). Sizing and encoding both use this, so they cannot disagree.
TARVELIN_API std::size_t DirectoryRecordSize(std::size_t identifierLength, std::size_t systemUseLength = 0);
TARVELIN_API std::size_t DirectoryRecordSize(const DirectoryRecord& record);
// Writes the record at the start of out and returns its length; 0, with
// nothing written, when the record cannot be written or out is too short.
TARVELIN_API std::size_t EncodeDirectoryRecord(const DirectoryRecord& record, Bytes out);
// Decodes the record at the start of bytes (which ends where the sector
// ends). Refuses a record length below 34 or beyond the bytes, and an
// identifier that is empty or runs past the record length.
TARVELIN_API std::optional<DirectoryRecord> DecodeDirectoryRecord(ConstBytes bytes, DecodeReport* report = nullptr);
// The same, read in place: the view holds on to bytes.
TARVELIN_API std::optional<DirectoryRecordView> DecodeDirectoryRecordView(ConstBytes bytes,
                                                                         DecodeReport* report = nullptr);

// "." and ".." (34 bytes each): directory flag, no date.
TARVELIN_API DirectoryRecord MakeSelfRecord(std::uint32_t extent, std::uint32_t dataLength);
TARVELIN_API DirectoryRecord MakeParentRecord(std::uint32_t extent, std::uint32_t dataLength);

// Where in a directory a record of recordSize bytes starts when used bytes
// are already taken: records never cross a sector boundary (ECMA-119
// 6.8.1.1), so a record that would is moved to the next sector.
TARVELIN_API std::size_t PlaceDirectoryRecord(std::size_t used, std::size_t recordSize);
// The data length of a directory holding "." and ".." and records of these
// sizes in this order: whole sectors, at least one.
TARVELIN_API std::uint32_t DirectoryDataLength(std::span<const std::size_t> childRecordSizes);

// The records of one directory sector, walked from offset 0: a length byte
// of 0 ends the sector. A record that does not decode ends the sector too
// and marks it damaged (its length byte cannot be trusted to find the next).
template <class Record>
struct BasicDirectorySectorRecords {
    std::vector<Record> records;
    bool damaged = false;
    bool endianMismatch = false;
};
using DirectorySectorRecords = BasicDirectorySectorRecords<DirectoryRecord>;
using DirectorySectorViews = BasicDirectorySectorRecords<DirectoryRecordView>;
TARVELIN_API DirectorySectorRecords DecodeDirectorySector(ConstBytes sector);
// The same, read in place into decoded (emptied first; its room is reused):
// the views hold on to sector.
TARVELIN_API void DecodeDirectorySectorViews(ConstBytes sector, DirectorySectorViews& decoded);

// ---------------------------------------------------------------------------
// Primary (ECMA-119 8.4) and supplementary (8.5) volume descriptor, one
// sector; Joliet is a supplementary descriptor whose escape sequences name
// UCS-2. Offsets:
//   0    7   header (type 1 or 2)
//   7    u8  volume flags (supplementary only; 0 in a primary)
//   8    32  system identifier
//   40   32  volume identifier
//   72   8   unused
//   80   both32 volume space size (logical blocks)
//   88   32  escape sequences (supplementary; zero in a primary)
//   120  both16 volume set size
//   124  both16 volume sequence number
//   128  both16 logical block size
//   132  both32 path table size (bytes of one table)
//   140  le32 type L path table, 144 le32 optional type L path table
//   148  be32 type M path table, 152 be32 optional type M path table
//   156  34  root directory record
//   190  128 volume set, 318 publisher, 446 data preparer, 574 application identifier
//   702  37  copyright, 739 abstract, 776 bibliographic file identifier
//   813  17  creation, 830 modification, 847 expiration, 864 effective date
//   881  u8  file structure version
//   882  u8  reserved
//   883  512 application use
//   1395 653 reserved

struct VolumeDescriptorOffset {
    static constexpr std::size_t kType = 0;
    static constexpr std::size_t kVolumeFlags = 7;
    static constexpr std::size_t kSystemIdentifier = 8;
    static constexpr std::size_t kVolumeIdentifier = 40;
    static constexpr std::size_t kVolumeSpaceSize = kVolumeSpaceSizeOffset;
    static constexpr std::size_t kEscapeSequences = 88;
    static constexpr std::size_t kVolumeSetSize = 120;
    static constexpr std::size_t kVolumeSequenceNumber = 124;
    static constexpr std::size_t kLogicalBlockSize = 128;
    static constexpr std::size_t kPathTableSize = 132;
    static constexpr std::size_t kTypeLPathTable = 140;
    static constexpr std::size_t kOptionalTypeLPathTable = 144;
    static constexpr std::size_t kTypeMPathTable = 148;
    static constexpr std::size_t kOptionalTypeMPathTable = 152;
    static constexpr std::size_t kRootDirectoryRecord = kRootRecordOffset;
    static constexpr std::size_t kVolumeSetIdentifier = 190;
    static constexpr std::size_t kPublisherIdentifier = 318;
    static constexpr std::size_t kDataPreparerIdentifier = 446;
    static constexpr std::size_t kApplicationIdentifier = 574;
    static constexpr std::size_t kCopyrightFileIdentifier = 702;
    static constexpr std::size_t kAbstractFileIdentifier = 739;
    static constexpr std::size_t kBibliographicFileIdentifier = 776;
    static constexpr std::size_t kCreationDate = 813;
    static constexpr std::size_t kModificationDate = 830;
    static constexpr std::size_t kExpirationDate = 847;
    static constexpr std::size_t kEffectiveDate = 864;
    static constexpr std::size_t kFileStructureVersion = 881;
    static constexpr std::size_t kApplicationUse = 883;
};
inline constexpr std::size_t kRootRecordSize = 34;
static_assert(VolumeDescriptorOffset::kRootDirectoryRecord + kRootRecordSize
              == VolumeDescriptorOffset::kVolumeSetIdentifier);
static_assert(VolumeDescriptorOffset::kBibliographicFileIdentifier + 37 == VolumeDescriptorOffset::kCreationDate);
static_assert(VolumeDescriptorOffset::kEffectiveDate + 17 == VolumeDescriptorOffset::kFileStructureVersion);
static_assert(VolumeDescriptorOffset::kApplicationUse + 512 + 653 == kSectorSize);

enum class JolietLevel : std::uint8_t { None = 0, Level1 = 1, Level2 = 2, Level3 = 3 };
// The escape sequence that declares Joliet UCS-2 level 3 ("%/E").
inline constexpr std::array<std::uint8_t, 3> kJolietLevel3Escape = {0x25, 0x2F, 0x45};

struct VolumeDescriptor {
    DescriptorType type = DescriptorType::Primary; // Primary or Supplementary
    std::uint8_t volumeFlags = 0;
    std::array<std::uint8_t, 32> systemIdentifier{};
    std::array<std::uint8_t, 32> volumeIdentifier{};
    std::uint32_t volumeSpaceSize = 0;
    std::array<std::uint8_t, 32> escapeSequences{};
    std::uint16_t volumeSetSize = 0;
    std::uint16_t volumeSequenceNumber = 0;
    std::uint16_t logicalBlockSize = static_cast<std::uint16_t>(kSectorSize);
    std::uint32_t pathTableSize = 0;
    std::uint32_t typeLPathTable = 0;
    std::uint32_t optionalTypeLPathTable = 0;
    std::uint32_t typeMPathTable = 0;
    std::uint32_t optionalTypeMPathTable = 0;
    DirectoryRecord rootRecord; // must encode to exactly 34 bytes
    std::array<std::uint8_t, 128> volumeSetIdentifier{};
    std::array<std::uint8_t, 128> publisherIdentifier{};
    std::array<std::uint8_t, 128> dataPreparerIdentifier{};
    std::array<std::uint8_t, 128> applicationIdentifier{};
    std::array<std::uint8_t, 37> copyrightFileIdentifier{};
    std::array<std::uint8_t, 37> abstractFileIdentifier{};
    std::array<std::uint8_t, 37> bibliographicFileIdentifier{};
    VolumeDate creationDate{};
    VolumeDate modificationDate{};
    VolumeDate expirationDate{};
    VolumeDate effectiveDate{};
    std::uint8_t fileStructureVersion = 0;
    std::array<std::uint8_t, 512> applicationUse{};

    bool operator==(const VolumeDescriptor&) const = default;
};

// The root directory record of a descriptor. Its recording date is the
// moment the descriptor set is built (the moment of the volume label), so
// readers that show the root's date show when the image was made.
TARVELIN_API DirectoryRecord MakeRootRecord(std::uint32_t extent, std::uint32_t dataLength,
                                            platform::FileTime buildTime);

// Renders the whole sector (2048 bytes; the reserved bytes are zero). False,
// with nothing written, when sector is short, the type is not primary or
// supplementary, or the root record does not take exactly 34 bytes.
TARVELIN_API bool EncodeVolumeDescriptor(const VolumeDescriptor& descriptor, Bytes sector);
// Accepts a primary or supplementary descriptor of version 1 with logical
// blocks of 2048 bytes and a 34-byte root record that is a directory.
TARVELIN_API std::optional<VolumeDescriptor> DecodeVolumeDescriptor(ConstBytes sector,
                                                                    DecodeReport* report = nullptr);
// The texts and dates by which a user knows a volume: volume identifier
// (8.4.6), publisher (8.4.11), data preparer (8.4.12) and application
// identifier (8.4.13), creation (8.4.26) and modification date (8.4.27).
// A date that is not specified reads as nothing; one left empty when
// written keeps the descriptor's date.
struct VolumeProperties {
    std::string volumeIdentifier;
    std::string publisherIdentifier;
    std::string dataPreparerIdentifier;
    std::string applicationIdentifier;
    std::optional<platform::FileTime> creationDate;
    std::optional<platform::FileTime> modificationDate;

    bool operator==(const VolumeProperties&) const = default;
};
// Reads them from an encoded primary descriptor, or with joliet from a
// Joliet one (texts in UCS-2).
TARVELIN_API VolumeProperties ReadVolumeProperties(ConstBytes sector, bool joliet);
// Writes them into an encoded descriptor (2048 bytes), every other byte as
// it was; the texts are cut to their fields and padded with spaces. With
// unchanged (the properties as they were shown to be changed), the fields
// that equal its keep their bytes: a Joliet descriptor keeps its own texts,
// which the primary's d-characters would replace, and a date its zone.
TARVELIN_API void PutVolumeProperties(Bytes sector, const VolumeProperties& properties, bool joliet,
                                      const VolumeProperties* unchanged = nullptr);

// Level from the escape sequences field (%/@, %/C or %/E in its first
// three bytes); None for a primary descriptor or any other sequence.
TARVELIN_API JolietLevel JolietLevelOf(const VolumeDescriptor& descriptor);

// ---------------------------------------------------------------------------
// El Torito boot record (a type 0 descriptor at sector 17):
//   0  7   header (type 0)
//   7  32  boot system identifier "EL TORITO SPECIFICATION", NUL-padded
//   39 32  boot identifier
//   71 le32 sector of the boot catalog
//   75 1973 unused

struct BootRecordOffset {
    static constexpr std::size_t kBootSystemIdentifier = 7;
    static constexpr std::size_t kBootIdentifier = 39;
    static constexpr std::size_t kCatalogSector = 71;
    static constexpr std::size_t kUnused = 75;
};
static_assert(BootRecordOffset::kUnused + 1973 == kSectorSize);
inline constexpr std::string_view kElToritoSystemIdentifier = "EL TORITO SPECIFICATION";
// How much of the identifier is compared when an image is recognised.
inline constexpr std::size_t kElToritoComparedLength = 20;

struct BootRecord {
    std::array<std::uint8_t, 32> bootSystemIdentifier{};
    std::array<std::uint8_t, 32> bootIdentifier{};
    std::uint32_t catalogSector = 0;

    bool operator==(const BootRecord&) const = default;
};
TARVELIN_API BootRecord MakeElToritoBootRecord(std::uint32_t catalogSector);
TARVELIN_API bool EncodeBootRecord(const BootRecord& record, Bytes sector);
TARVELIN_API std::optional<BootRecord> DecodeBootRecord(ConstBytes sector, DecodeReport* report = nullptr);
// The header is 00 "CD001" 01 and the boot system identifier starts with
// the first 20 characters of "EL TORITO SPECIFICATION".
TARVELIN_API bool IsElToritoBootRecord(ConstBytes sector);

// ---------------------------------------------------------------------------
// El Torito boot catalog, one sector; the system writes the validation entry
// and the initial/default entry, the rest zero.
// Validation entry (32 bytes):
//   0 u8 header ID 1, 1 u8 platform ID (0 = 80x86), 2 2 reserved,
//   4 24 ID string, 28 le16 checksum (the 16 le16 words sum to 0),
//   30 key bytes 0x55 0xAA
// Initial/default entry (32 bytes from offset 32):
//   32 u8 boot indicator (0x88 bootable, 0x00 not), 33 u8 boot media type,
//   34 le16 load segment (0 = 0x7C0), 36 u8 system type, 37 unused,
//   38 le16 sector count (virtual 512-byte sectors), 40 le32 load RBA,
//   44 20 unused

struct BootCatalogOffset {
    static constexpr std::size_t kHeaderId = 0;
    static constexpr std::size_t kPlatformId = 1;
    static constexpr std::size_t kIdString = 4;
    static constexpr std::size_t kChecksum = 28;
    static constexpr std::size_t kKeyBytes = 30;
    static constexpr std::size_t kBootIndicator = 32;
    static constexpr std::size_t kMediaType = 33;
    static constexpr std::size_t kLoadSegment = 34;
    static constexpr std::size_t kSystemType = 36;
    static constexpr std::size_t kSectorCount = 38;
    static constexpr std::size_t kLoadRba = 40;
    static constexpr std::size_t kEntriesEnd = 64;
};
static_assert(BootCatalogOffset::kLoadRba + 4 + 20 == BootCatalogOffset::kEntriesEnd);
inline constexpr std::size_t kValidationEntrySize = 32;

enum class BootMediaType : std::uint8_t {
    NoEmulation = 0,
    Diskette1200 = 1,
    Diskette1440 = 2,
    Diskette2880 = 3,
    HardDisk = 4,
};
inline constexpr std::uint8_t kBootable = 0x88;
inline constexpr std::uint8_t kNotBootable = 0x00;

struct BootCatalog {
    std::uint8_t platformId = 0;
    std::array<std::uint8_t, 24> idString{};
    std::uint8_t bootIndicator = kBootable;
    std::uint8_t mediaType = 0; // BootMediaType in bits 0..3; the high bits are kept as read
    std::uint16_t loadSegment = 0;
    std::uint8_t systemType = 0;
    std::uint16_t sectorCount = 4;
    std::uint32_t loadRba = 0;

    bool operator==(const BootCatalog&) const = default;
};
// The checksum word that makes the validation entry's sixteen le16 words
// sum to zero, computed over the entry with its checksum field skipped.
TARVELIN_API std::uint16_t ValidationEntryChecksum(ConstBytes entry);
TARVELIN_API bool EncodeBootCatalog(const BootCatalog& catalog, Bytes sector);
// Refuses a catalog whose validation entry has the wrong header ID, key
// bytes or checksum, or whose boot indicator is neither 0x88 nor 0x00.
TARVELIN_API std::optional<BootCatalog> DecodeBootCatalog(ConstBytes sector, DecodeReport* report = nullptr);

// The whole catalog (El Torito 2.1 to 2.5). Behind the validation entry and
// the initial/default entry come sections, each a header followed by its
// section entries, and a section entry may be followed by extension
// entries. Modern images carry a BIOS default entry and an EFI section.
//   Section header (32 bytes): 0 u8 0x90 (more headers follow) or 0x91
//     (the last), 1 u8 platform ID (0 80x86, 0xEF EFI), 2 le16 number of
//     section entries, 4 28 ID string.
//   Section entry (32 bytes): bytes 0..11 as the default entry (indicator,
//     media type with bit 5 set when an extension follows, load segment,
//     system type, sector count, load RBA), 12 u8 selection criteria type,
//     13 19 selection criteria.
//   Extension entry (32 bytes): 0 u8 0x44, 1 u8 flags (bit 5: another
//     extension follows), 2 30 more selection criteria.
// The catalog is read and written as one sector: 62 entries fit in it.

struct BootSectionOffset {
    static constexpr std::size_t kHeaderIndicator = 0;
    static constexpr std::size_t kPlatformId = 1;
    static constexpr std::size_t kEntryCount = 2;
    static constexpr std::size_t kIdString = 4;
    // Within an entry (the default entry's fields at these offsets too).
    static constexpr std::size_t kBootIndicator = 0;
    static constexpr std::size_t kMediaType = 1;
    static constexpr std::size_t kLoadSegment = 2;
    static constexpr std::size_t kSystemType = 4;
    static constexpr std::size_t kSectorCount = 6;
    static constexpr std::size_t kLoadRba = 8;
    static constexpr std::size_t kCriteria = 12; // through the end of the entry
};
inline constexpr std::size_t kBootCatalogEntrySize = 32;
inline constexpr std::uint8_t kSectionHeaderMore = 0x90;
inline constexpr std::uint8_t kSectionHeaderLast = 0x91;
inline constexpr std::uint8_t kExtensionEntryIndicator = 0x44;
inline constexpr std::uint8_t kPlatformPc = 0; // 80x86
inline constexpr std::uint8_t kPlatformEfi = 0xEF;
static_assert(BootCatalogOffset::kBootIndicator + BootSectionOffset::kLoadRba == BootCatalogOffset::kLoadRba);

struct BootEntry {
    std::uint8_t bootIndicator = kBootable;
    std::uint8_t mediaType = 0;
    std::uint16_t loadSegment = 0;
    std::uint8_t systemType = 0;
    std::uint16_t sectorCount = 4;
    std::uint32_t loadRba = 0;
    // Bytes 12..31: unused (zero) in the default entry, the selection
    // criteria in a section entry; kept as read.
    std::array<std::uint8_t, 20> criteria{};
    // Extension entries behind a section entry, whole, as read.
    std::vector<std::array<std::uint8_t, kBootCatalogEntrySize>> extensions;

    bool operator==(const BootEntry&) const = default;
};

struct BootSection {
    // 0x90 or 0x91 as read; 0 for a new section (the encoder decides).
    std::uint8_t headerIndicator = 0;
    std::uint8_t platformId = 0;
    std::array<std::uint8_t, 28> idString{};
    std::vector<BootEntry> entries;

    bool operator==(const BootSection&) const = default;
};

struct BootCatalogSet {
    std::uint8_t platformId = 0;            // of the validation entry
    std::array<std::uint8_t, 2> reserved{}; // bytes 2..3 of the validation entry, kept as read
    std::array<std::uint8_t, 24> idString{};
    BootEntry defaultEntry;
    std::vector<BootSection> sections;
    // The bytes of the sector behind the last entry, kept as read.
    std::vector<std::uint8_t> trailing;

    bool operator==(const BootCatalogSet&) const = default;
};

// The default entry's media type and load RBA, and every section entry's.
TARVELIN_API std::vector<const BootEntry*> BootEntriesOf(const BootCatalogSet& catalog);
TARVELIN_API std::vector<BootEntry*> BootEntriesOf(BootCatalogSet& catalog);
// Renders the catalog into one sector (behind its last entry the trailing
// bytes, as far as they fit, then zero); a section header's indicator is
// the one read, else 0x91 for the last and 0x90 for the others; each
// entry's extension flags are set from what follows it. False, with nothing
// written, when it does not fit one sector or a section holds more than
// 65535 entries.
TARVELIN_API bool EncodeBootCatalogSet(const BootCatalogSet& catalog, Bytes sector);
// Refuses what DecodeBootCatalog refuses, a section entry with an unknown
// boot indicator, and sections that run past the sector: an entry read
// wrongly would be written back wrongly.
TARVELIN_API std::optional<BootCatalogSet> DecodeBootCatalogSet(ConstBytes sector, DecodeReport* report = nullptr);

// ---------------------------------------------------------------------------
// Path table record (ECMA-119 9.4); L tables hold little-endian numbers,
// M tables big-endian ones:
//   0 u8 identifier length n, 1 u8 extended attribute record length,
//   2 32-bit extent, 6 16-bit parent directory number, 8 n identifier,
//   8+n one zero byte when n is odd.
// The first record is the root: identifier 0x00, parent number 1.

struct PathTableOffset {
    static constexpr std::size_t kIdentifierLength = 0;
    static constexpr std::size_t kExtendedAttributeLength = 1;
    static constexpr std::size_t kExtent = 2;
    static constexpr std::size_t kParentNumber = 6;
    static constexpr std::size_t kIdentifier = 8;
};
inline constexpr std::size_t kMaxPathTableIdentifierLength = 255;

enum class PathTableOrder { LittleEndian /* type L */, BigEndian /* type M */ };

struct PathTableRecord {
    std::uint8_t extendedAttributeLength = 0;
    std::uint32_t extent = 0;
    std::uint16_t parentNumber = 0;
    std::string identifier; // raw bytes, 1..255

    bool operator==(const PathTableRecord&) const = default;
};

// 8 + n, plus 1 when n is odd; 0 for an identifier that cannot be written.
TARVELIN_API std::size_t PathTableRecordSize(std::size_t identifierLength);
// Length written, or 0 (nothing written) as for directory records.
TARVELIN_API std::size_t EncodePathTableRecord(const PathTableRecord& record, PathTableOrder order, Bytes out);
TARVELIN_API std::optional<PathTableRecord> DecodePathTableRecord(ConstBytes bytes, PathTableOrder order,
                                                                  DecodeReport* report = nullptr);
TARVELIN_API PathTableRecord MakeRootPathTableRecord(std::uint32_t rootExtent);
// A whole table of the size the descriptor gives. Refuses a table whose
// records do not fill it exactly, whose first record is not the root, or
// where a record names a parent that does not come before it.
TARVELIN_API std::optional<std::vector<PathTableRecord>> DecodePathTable(ConstBytes table, PathTableOrder order,
                                                                         DecodeReport* report = nullptr);

// ---------------------------------------------------------------------------
// Names.

// Write side. The ISO 9660 name: ASCII a..z upper-cased, every other byte
// unchanged, no version suffix.
TARVELIN_API std::string IsoName(std::string_view narrow);
// The Joliet identifier bytes of UTF-16 text: each unit big-endian.
TARVELIN_API std::string JolietIdentifier(std::u16string_view text);

// Read side. A primary identifier up to the first NUL, without its version
// suffix (the last ";" when only digits follow it) and without the dot that
// separates an empty extension ("README.;1" is "README").
TARVELIN_API std::string DecodeIsoIdentifier(std::string_view identifier);
// A Joliet identifier (UCS-2 / UTF-16 big-endian) in the narrow code page,
// up to the first NUL, without a version suffix; empty for an odd length.
TARVELIN_API std::string DecodeJolietIdentifier(std::string_view identifier);

// Names of entries added to an image, beside records kept as they were read.
//
// ISO 9660 identifiers hold d-characters only (ECMA-119 7.4.1: A-Z, 0-9,
// '_'): a..z are upper-cased, every other byte becomes '_', and so does each
// UTF-8 sequence as a whole. A file is "NAME.EXT;1" with exactly one dot,
// also when the extension is empty ("README.;1", ECMA-119 7.5.1); the last dot
// that is not the first character separates the extension, any other dot
// becomes '_'. A folder is "NAME", without dot or version (7.6.1).
//
// Lengths (ECMA-119 7.5.1, 7.6.3 and the levels of interchange, 10.1, 10.2):
// level 1 allows 8 characters of file name and 3 of extension, 8 for a
// folder; levels 2 and 3 allow 30 for file name and extension together and
// 31 for a folder. Level 1 is what xorriso -as mkisofs and genisoimage write
// unless given -iso-level (both cut "a long file name.gz" to "A_LONG_F.GZ;1").
// Larger limits go beyond the standard; they are honoured up to what a
// directory record carries.
//
// A volume of ISO 9660:1999 (an enhanced volume descriptor, as genisoimage
// -iso-level 4 writes) takes names as they are: case kept, any character
// but '/' and ';' (which become '_'), no version suffix, up to 207 bytes,
// cut at a character's start; they clash only when equal.
struct IsoNameLimits {
    std::size_t name = 8;              // file name part, before the dot
    std::size_t extension = 3;         // after the dot
    std::size_t nameAndExtension = 11; // both together; the dot and ";1" not counted
    std::size_t directory = 8;
    bool enhanced = false;             // ISO 9660:1999 names, as above

    static constexpr IsoNameLimits Level1() { return {8, 3, 11, 8}; }
    static constexpr IsoNameLimits Level2() { return {30, 30, 30, 31}; }
    static constexpr IsoNameLimits Level4() { return {207, 207, 206, 207, true}; }
    bool operator==(const IsoNameLimits&) const = default;
};

TARVELIN_API std::string IsoFileIdentifier(std::string_view narrow, const IsoNameLimits& limits);
TARVELIN_API std::string IsoDirectoryIdentifier(std::string_view narrow, const IsoNameLimits& limits);

// One entry added to a folder: its name (narrow text) and whether it is a folder.
struct NewEntryName {
    std::string_view name;
    bool isDirectory = false;
};

// The character between a name and the number that tells it apart from
// another of the same identifier: '_', so that ISO 9660 identifiers stay
// within the d-characters ('~' is not one). Joliet names take '~'.
inline constexpr char kIsoClashMark = '_';

// The identifiers of the entries added to one folder, in their order, legal
// as above and clashing with nothing: neither with each other nor with
// taken, the identifiers the folder's kept records already hold (as stored,
// version suffix or not). Two identifiers clash when they are equal once a
// version suffix and the dot of an empty extension are left out and a..z are
// upper-cased: a reader without Rock Ridge shows "README.;1" and a folder
// "README" under one name, and readers that fold case show a kept "readme"
// as "README". An entry that clashes gets "_1", "_2", ... before its extension, its name cut so
// that the identifier stays within the limits.
TARVELIN_API std::vector<std::string> UniqueIsoIdentifiers(std::span<const NewEntryName> entries,
                                                           std::span<const std::string> taken,
                                                           const IsoNameLimits& limits);

// Joliet names of added entries: UTF-16 of the name with the characters
// Joliet leaves out ('*', '/', ':', ';', '?', '\' and U+0000..U+001F)
// replaced by '_', cut to 64 units (103 with longNames, as xorriso
// -joliet-long allows) keeping a file's extension and never splitting a
// surrogate pair. An empty name becomes "_".
inline constexpr std::size_t kJolietNameUnits = 64;
inline constexpr std::size_t kJolietLongNameUnits = 103;
TARVELIN_API std::u16string JolietEntryName(std::string_view narrow, bool isDirectory, bool longNames);
// Whether a Joliet identifier as stored (a version suffix not counted) is
// longer than names of 64 units allow: xorriso's own names of that length
// leave a file's extension dot out of the count, so a file's name of 65
// units with a dot in it is not long.
TARVELIN_API bool IsLongJolietIdentifier(std::string_view identifier, bool isDirectory);
// Their identifiers (big-endian bytes, no version suffix, as xorriso and
// genisoimage write them) for one folder, in the entries' order. Joliet
// keeps case, so only equal names clash (a version suffix of a taken
// identifier left out); a clash gets "~1", "~2", ... before the extension.
TARVELIN_API std::vector<std::string> UniqueJolietIdentifiers(std::span<const NewEntryName> entries,
                                                              std::span<const std::string> taken,
                                                              bool longNames);

// The order of the records of a directory (ECMA-119 9.3), for identifiers as
// stored: by file name, the shorter padded with spaces (0x20); then by
// extension, padded the same way; then by version number, highest first. An
// identifier without a version (a folder) comes before one of the same name
// with a version, as the peers order them. Bytes compare as unsigned
// numbers; identifiers equal by these rules are ordered by their bytes, so
// only equal identifiers compare equal. Negative when a goes first. The
// "." and ".." records are placed by the writer, not by this.
TARVELIN_API int CompareIsoIdentifiers(std::string_view a, std::string_view b);
// Joliet identifiers (big-endian bytes as stored) in the order xorriso and
// genisoimage give them: unit by unit over the whole identifier, a name
// before every longer name it starts ("ab", "ab-", "ab.c"). The ISO 9660
// rule with NUL padding, which Joliet's own text asks for, would put "ab.c"
// before "ab-"; readers do not depend on the order, and keeping the peers'
// order leaves the directories of the images they made as they were.
TARVELIN_API int CompareJolietIdentifiers(std::string_view a, std::string_view b);

// ---------------------------------------------------------------------------
// Recognising an image that is read. SectorReader and the UDF recognition
// sequence (UdfNsrVersionAt) are defined with the facts the sector layer
// needs to find a volume (core/iso9660_constants.h).

struct DescriptorSetInfo {
    bool hasPrimary = false;           // sector 16 begins 01 "CD001" 01
    std::uint32_t descriptorCount = 0; // sectors from 16 through the terminator
    bool terminatorFound = false;      // else the set ran to the end of the image
    std::optional<std::uint32_t> jolietSector;
    JolietLevel jolietLevel = JolietLevel::None;
    bool hasBootRecord = false;        // IsElToritoBootRecord(sector 17)
    // The root extent of an enhanced volume descriptor (ISO 9660:1999: a
    // supplementary one of version 2), when the set has one.
    std::optional<std::uint32_t> enhancedRoot;
    // 2 or 3 when a UDF volume recognition sequence follows the terminator
    // (its NSR02 or NSR03 descriptor), 0 when there is none.
    std::uint8_t udfNsrVersion = 0;

    bool HasUdf() const { return udfNsrVersion != 0; }
};
// Scans from sector 16 up to and including the first terminator, never
// beyond sectorCount (nor past a sector that cannot be read): a missing
// terminator ends the set at the end of the image. The Joliet descriptor is
// the first supplementary descriptor of version 1 with a Joliet escape
// sequence, so a supplementary descriptor for another character set is not
// mistaken for it. Behind a terminator it looks for the UDF recognition
// sequence (see UdfNsrVersionAt).
TARVELIN_API DescriptorSetInfo ScanDescriptorSet(const SectorReader& read, std::uint32_t sectorCount);

// Reads and decodes the descriptor in `sector` (bounded by sectorCount).
TARVELIN_API std::optional<VolumeDescriptor> ReadVolumeDescriptor(const SectorReader& read,
                                                                  std::uint32_t sectorCount, std::uint32_t sector,
                                                                  DecodeReport* report = nullptr);

struct BootInfo {
    std::uint32_t catalogSector = 0;
    std::uint32_t imageSector = 0;  // load RBA of the initial entry
    std::uint8_t mediaType = 0;     // byte 33 of the catalog
    std::uint16_t loadSectorCount = 0;
    bool catalogValid = false;      // the validation entry checks out
};
// The boot image of an El Torito image: sector 17 must be a boot record,
// and its catalog and the boot image's first sector must lie inside the
// image; otherwise the image has no boot image.
TARVELIN_API std::optional<BootInfo> ReadBootInfo(const SectorReader& read, std::uint32_t sectorCount);

} // namespace tarvelin::iso
