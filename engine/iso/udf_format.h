#pragma once

// The on-disc pieces of UDF (ECMA-167 3rd edition with the OSTA UDF rules)
// that both the reader and the writer of a UDF file system use: descriptor
// tags with their checksum and CRC, CS0 strings and d-strings, timestamps,
// the path components of symbolic links, and the byte positions of the
// fields of file entries and file identifiers. One home for each, so that
// what the writer records is what the reader checks.

#include "platform/export.h"
#include "platform/time.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::iso::udf {

inline constexpr std::uint32_t kUdfBlockSize = 2048;

// Little-endian fields, as every UDF structure stores its numbers.
inline std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | (std::uint64_t{Le32(p + 4)} << 32); }
inline void PutLe16(std::uint8_t* p, std::uint16_t value)
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t value)
{
    PutLe16(p, static_cast<std::uint16_t>(value));
    PutLe16(p + 2, static_cast<std::uint16_t>(value >> 16));
}
inline void PutLe64(std::uint8_t* p, std::uint64_t value)
{
    PutLe32(p, static_cast<std::uint32_t>(value));
    PutLe32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

// Descriptor tag identifiers (ECMA-167 3/7.2.1, 4/7.2.1).
enum TagId : std::uint16_t {
    kTagPrimaryVolume = 1,
    kTagAnchor = 2,
    kTagVolumePointer = 3,
    kTagImplementationUse = 4,
    kTagPartition = 5,
    kTagLogicalVolume = 6,
    kTagUnallocatedSpace = 7,
    kTagTerminating = 8,
    kTagLogicalVolumeIntegrity = 9,
    kTagFileSet = 256,
    kTagFileIdentifier = 257,
    kTagAllocationExtent = 258,
    kTagFileEntry = 261,
    kTagExtendedFileEntry = 266,
};

// The 16-byte descriptor tag (3/7.2): identifier 0-1, version 2-3,
// checksum 4, serial 6-7, CRC 8-9, CRC length 10-11, location 12-15.
inline constexpr std::size_t kTagSize = 16;
// Tag version of NSR03 volumes (UDF 2.00 and later), and of NSR02 ones
// (UDF 1.02 and 1.50).
inline constexpr std::uint16_t kTagVersion3 = 3;
inline constexpr std::uint16_t kTagVersion2 = 2;
// The first revision recorded as NSR03.
inline constexpr std::uint16_t kFirstNsr03Revision = 0x0200;

// Domain flags, the third byte of the suffix of the domain identifier of
// the logical volume and file set descriptors (UDF 2.1.5.3).
inline constexpr std::uint8_t kHardWriteProtect = 0x01;
inline constexpr std::uint8_t kSoftWriteProtect = 0x02;

// The anchor's fixed place (3/8.4.2.1).
inline constexpr std::uint32_t kAnchorSector = 256;

// Where a volume keeps its descriptor sequences, its integrity sequence and
// its partition (absolute sectors); the defaults are a new image's places,
// all behind the anchor. Other tools put the sequences between the
// recognition sequence and the anchor and start the partition at 257.
struct Placement {
    std::uint32_t mainSequence = kAnchorSector + 1;
    std::uint32_t reserveSequence = kAnchorSector + 17;
    std::uint32_t sequenceSectors = 16; // of each sequence's extent
    std::uint32_t integrity = kAnchorSector + 33; // its descriptor, then its terminator
    std::uint32_t partitionStart = kAnchorSector + 35;

    bool operator==(const Placement&) const = default;
};

// Extent lengths (4/14.14.1.1): 30 bits of length, the top two the type.
inline constexpr std::uint32_t kExtentLengthMask = 0x3FFFFFFF;
enum ExtentType : std::uint32_t { kRecorded = 0, kAllocatedOnly = 1, kUnallocated = 2, kContinuation = 3 };
// The longest extent UDF allows that is a whole number of blocks (2.3.10).
inline constexpr std::uint32_t kMaxExtentBytes = (1u << 30) - kUdfBlockSize;

// ICB tag (4/14.6) file types and allocation descriptor kinds (flags 0-2).
inline constexpr std::uint8_t kFileTypeRegular = 5;
inline constexpr std::uint8_t kFileTypeDirectory = 4;
inline constexpr std::uint8_t kFileTypeSymlink = 12;
inline constexpr std::uint8_t kFileTypeStreamDirectory = 13;
inline constexpr std::uint16_t kAdShort = 0;
inline constexpr std::uint16_t kAdEmbedded = 3;

// File characteristics of a file identifier (4/14.4.3).
inline constexpr std::uint8_t kCharDirectory = 0x02;
inline constexpr std::uint8_t kCharDeleted = 0x04;
inline constexpr std::uint8_t kCharParent = 0x08;

// Byte positions in a file entry (4/14.9) and an extended one (4/14.17).
namespace fe {
inline constexpr std::size_t kFileType = 27; // ICB tag at 16, file type its byte 11
inline constexpr std::size_t kIcbFlags = 34;
inline constexpr std::size_t kUid = 36;
inline constexpr std::size_t kGid = 40;
inline constexpr std::size_t kPermissions = 44;
inline constexpr std::size_t kLinkCount = 48;
inline constexpr std::size_t kInformationLength = 56;
inline constexpr std::size_t kBlocksRecorded = 64;
inline constexpr std::size_t kAccessTime = 72;
inline constexpr std::size_t kModificationTime = 84;
inline constexpr std::size_t kExtendedModificationTime = 92;
inline constexpr std::size_t kAttributeTime = 96;
inline constexpr std::size_t kCheckpoint = 108;
inline constexpr std::size_t kImplementation = 128;
inline constexpr std::size_t kUniqueId = 160;
inline constexpr std::size_t kEaLength = 168;
inline constexpr std::size_t kExtendedEaLength = 208;
inline constexpr std::size_t kAllocation = 176;
inline constexpr std::size_t kExtendedAllocation = 216;
} // namespace fe

// Byte positions in a file identifier descriptor (4/14.4).
namespace fi {
inline constexpr std::size_t kCharacteristics = 18;
inline constexpr std::size_t kNameLength = 19;
inline constexpr std::size_t kIcb = 20; // long_ad: length, block, partition, 6 bytes of use
inline constexpr std::size_t kUseLength = 36;
inline constexpr std::size_t kFixedSize = 38;
// Whole descriptor size with its padding to 4 bytes.
inline constexpr std::size_t Size(std::size_t useLength, std::size_t nameLength)
{
    return (kFixedSize + useLength + nameLength + 3) & ~std::size_t{3};
}
} // namespace fi

// CRC-16 CCITT (polynomial 0x1021, initial value 0) of the descriptor CRC.
TARVELIN_API std::uint16_t DescriptorCrc(const std::uint8_t* data, std::size_t length);

// Why a descriptor tag does not check out; nullptr when it does. The tag's
// CRC covers crcLength bytes behind the 16-byte tag, which must lie inside
// the available bytes. expectedLocation is the block the tag must name.
TARVELIN_API const char* CheckDescriptorTag(const std::uint8_t* data, std::size_t available, std::uint16_t expectedId,
                                            std::uint32_t expectedLocation);

// Fills in the tag of a descriptor whose other bytes are final: identifier,
// version, a CRC over the bodyLength bytes behind the tag, location, and
// the checksum last.
TARVELIN_API void FinishDescriptorTag(std::uint8_t* data, std::uint16_t id, std::size_t bodyLength,
                                      std::uint32_t location, std::uint16_t version = kTagVersion3);

// A CS0 string of `length` bytes (its first byte the compression: 8 one
// byte per character, 16 big-endian UTF-16 units) as UTF-8.
TARVELIN_API std::string DecodeCs0(const std::uint8_t* data, std::size_t length);
// UTF-8 text as CS0: compression 8 when every code point is at most 0xFF,
// else 16. At most maxBytes bytes, cut before a whole character.
TARVELIN_API std::vector<std::uint8_t> EncodeCs0(std::string_view text, std::size_t maxBytes);
// A d-string field of `size` bytes: its last byte holds the used length.
TARVELIN_API std::string DecodeDString(const std::uint8_t* data, std::size_t size);
TARVELIN_API void PutDString(std::uint8_t* field, std::size_t size, std::string_view text);
// The path components of a symbolic link's data as a '/'-separated path
// ("/" for the root, ".." and "." for parent and current folder); nullopt
// when they are malformed.
TARVELIN_API std::optional<std::string> DecodePathComponents(const std::uint8_t* data, std::size_t length);
TARVELIN_API std::vector<std::uint8_t> EncodePathComponents(std::string_view path);
// A 12-byte timestamp with its time zone; nullopt when unset or invalid.
TARVELIN_API std::optional<platform::FileTime> DecodeTimestamp(const std::uint8_t* data);
// The moment as local time with the zone's offset (type 1); UTC when the
// local time cannot be had.
TARVELIN_API void PutTimestamp(std::uint8_t* data, platform::FileTime time);

// The charspec of OSTA Compressed Unicode (UDF 2.1.2), 64 bytes.
TARVELIN_API void PutOstaCharspec(std::uint8_t* data);
// An entity identifier (1/7.4): flags 0, identifier, 8 bytes of suffix.
TARVELIN_API void PutEntityId(std::uint8_t* data, std::string_view identifier, const std::uint8_t (&suffix)[8]);

} // namespace tarvelin::iso::udf
