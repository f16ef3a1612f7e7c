#pragma once

// System Use Sharing Protocol (SUSP, IEEE P1281) and the Rock Ridge
// Interchange Protocol (RRIP, IEEE P1282): the entries that follow the
// identifier of a directory record and carry POSIX names, modes, links and
// times. Every entry starts with the same four bytes:
//   0 2 signature ("PX", "NM", ...), 2 u8 length of the entry, 3 u8 version
// and the entries of one record may go on in continuation areas that a
// "CE" entry names (block, offset and length, each both-endian 32-bit).
//
// Entries used here (byte positions within the entry):
//   SP  7  4 check bytes BE EF, 6 LEN_SKP: bytes to skip in every other
//          system use field (only in the "." record of the root)
//   CE 28  4 block, 12 offset, 20 length of the continuation area
//   ST  4  the end of the system use entries of this record
//   ER  8+ 4 LEN_ID, 5 LEN_DES, 6 LEN_SRC, 7 EXT_VER, 8 identifier,
//          description, source
//   PX 44  4 mode, 12 links, 20 uid, 28 gid, 36 serial (RRIP 1.12; the
//          36-byte form of RRIP 1.10 has no serial)
//   PN 20  4 device number high, 12 low
//   SL  5+ 4 flags (0x01 continued in the next SL), then components:
//          0 flags (0x01 continued, 0x02 ".", 0x04 "..", 0x08 "/"),
//          1 length, 2 content
//   NM  5+ 4 flags (0x01 continued in the next NM, 0x02 ".", 0x04 ".."),
//          5 the name's bytes
//   CL 12  4 where the relocated directory lies (the placeholder record)
//   PL 12  4 where the directory's real parent lies (its ".." record)
//   RE  4  the relocated directory's own record in the relocation folder
//   TF  5+ 4 flags (0x01 creation, 0x02 modification, 0x04 access,
//          0x08 attributes, 0x10 backup, 0x20 expiration, 0x40 effective,
//          0x80 the long 17-byte form), then the dates present in that
//          order, 7 bytes each (ECMA-119 9.1.5) or 17 (8.4.26.1)
//   ZF 16  4 algorithm ("pz": zisofs), then the header and block sizes and
//          the size before compression: the file's data is stored
//          compressed, as xorriso writes it (no RRIP entry, read beside them)
// Numbers are both-endian (ECMA-119 7.2.3 / 7.3.3).

#include "platform/export.h"
#include "iso/iso9660.h"
#include "platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::iso {

inline constexpr std::size_t kSuspHeaderSize = 4;
inline constexpr std::size_t kContinuationEntrySize = 28;

// The system use entries of one directory record as the image stores them:
// the bytes inside the record (after LEN_SKP bytes of the record, which are
// not part of this) and, in chain order, the continuation areas its CE
// entries name, each exactly the bytes its CE entry gives. A writer keeps
// the bytes and only moves continuation areas, rewriting the block and
// offset of the CE entry that names each one (PlaceContinuation).
struct SystemUseArea {
    std::string inlineBytes;
    std::vector<std::string> continuation;

    bool Empty() const { return inlineBytes.empty() && continuation.empty(); }
    bool operator==(const SystemUseArea&) const = default;
};

// What reading continuation areas met and survived.
struct SuspReport {
    std::uint32_t damaged = 0; // entries or continuation areas left out: bad lengths, loops, beyond the image
};

// The POSIX view of an entry: what a Rock Ridge record says of it, or what
// the file system says of a file added from disk.
struct UnixAttributes {
    bool known = false;          // false: nothing is known (no PX, or not from a POSIX file system)
    std::uint32_t mode = 0;      // st_mode bits, file type included (kModeDirectory, ...)
    std::uint32_t links = 1;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::optional<std::uint32_t> serial; // PX of RRIP 1.12
    std::string linkTarget;      // symbolic links: the target as a path, "/" separated
    platform::FileTime modified = 0; // 0: not known
    platform::FileTime accessed = 0;
    platform::FileTime changed = 0;  // attribute change
    platform::FileTime created = 0;

    bool operator==(const UnixAttributes&) const = default;
};
inline constexpr std::uint32_t kModeTypeMask = 0170000;
inline constexpr std::uint32_t kModeDirectory = 0040000;
inline constexpr std::uint32_t kModeRegular = 0100000;
inline constexpr std::uint32_t kModeSymlink = 0120000;
inline constexpr std::uint32_t kModeFifo = 0010000;
inline constexpr std::uint32_t kModeCharDevice = 0020000;
inline constexpr std::uint32_t kModeBlockDevice = 0060000;
inline constexpr std::uint32_t kModeSocket = 0140000;
inline constexpr std::uint32_t kModePermissionMask = 07777;
inline bool IsSymlinkMode(std::uint32_t mode) { return (mode & kModeTypeMask) == kModeSymlink; }

// What a ZF entry says: the file's data in the image is compressed.
struct ZisofsInfo {
    bool present = false;
    char algorithm[2] = {};        // "pz": zisofs
    std::uint8_t headerQuads = 0;  // the stored header's length in 4-byte units
    std::uint8_t blockLog2 = 0;
    std::uint32_t size = 0;        // the file's size before compression
    // zisofs with its 16-byte header and blocks of 32, 64 or 128 KiB, the
    // forms zisofs readers know.
    bool Expandable() const
    {
        return present && algorithm[0] == 'p' && algorithm[1] == 'z' && headerQuads == 4 && blockLog2 >= 15
               && blockLog2 <= 17;
    }
    bool operator==(const ZisofsInfo&) const = default;
};

// What the Rock Ridge entries of one record say.
struct RockRidgeInfo {
    bool present = false;        // at least one RRIP entry (PX, PN, SL, NM, CL, PL, RE, TF, RR, SF)
    UnixAttributes attributes;   // known when a PX entry was found
    std::optional<std::string> name; // NM; empty for the "." and ".." forms
    std::optional<std::uint32_t> childLink;  // CL: this record stands for the directory at that block
    std::optional<std::uint32_t> parentLink; // PL
    bool relocated = false;      // RE
    std::optional<std::uint64_t> device;     // PN, high << 32 | low
    ZisofsInfo zisofs;           // ZF: the data in the image is compressed, not the file's bytes

    bool operator==(const RockRidgeInfo&) const = default;
};

// What the "." record of the root says about the volume.
struct SuspVolumeInfo {
    bool susp = false;           // an SP entry opens the root's "." record
    std::uint8_t skip = 0;       // its LEN_SKP
    bool rockRidge = false;      // an ER entry names RRIP ("RRIP_1991A", "IEEE_P1282", "IEEE_1282")
    std::vector<std::string> extensions; // the identifiers of every ER entry
};

// Calls visit(signature, entry) for each entry of bytes, entry being the
// whole entry (header included); stops at an ST entry, at a length below 4
// or beyond the bytes (counted as damage) and at padding shorter than a
// header. A visit that returns false stops the walk.
template <class Visit>
void ForEachSuspEntry(std::string_view bytes, Visit&& visit, SuspReport* report = nullptr);

// The system use bytes of a record, skip bytes left out, and every
// continuation area its CE entries chain to, read through read (the first
// CE entry of each area is followed). A CE entry that is too short, names
// no bytes, bytes beyond one sector or beyond the image, or an area already
// read (a loop), or whose sector cannot be read, ends the chain and is
// counted; so is a 65th area (at most 64 per record).
TARVELIN_API SystemUseArea ReadSystemUseArea(std::string_view recordSystemUse, std::uint8_t skip,
                                             const SectorReader& read, std::uint32_t sectorCount,
                                             SuspReport* report = nullptr);

// Where each continuation area of an area lies: the block, offset and
// length its CE entry names, in the order of area.continuation.
struct ContinuationPlace {
    std::uint32_t block = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};
TARVELIN_API std::vector<ContinuationPlace> ContinuationPlacesOf(const SystemUseArea& area);

// Every entry of the area in order, inline entries first, then those of each
// continuation area; CE, ST and PD entries left out (they describe the
// storage, not the entry).
TARVELIN_API std::vector<std::string> SystemUseEntries(const SystemUseArea& area);

// Entries too short for their kind are left out, and nothing behind an
// entry's length is read. The first complete NM set and the first complete
// SL set count; TF dates of either form fill the times they carry.
TARVELIN_API RockRidgeInfo DecodeRockRidge(const SystemUseArea& area);
// DecodeRockRidge(ReadSystemUseArea(...)) without copying the record's own
// bytes: what reading a tree needs of a record it does not keep.
TARVELIN_API RockRidgeInfo ReadRockRidge(std::string_view recordSystemUse, std::uint8_t skip,
                                         const SectorReader& read, std::uint32_t sectorCount,
                                         SuspReport* report = nullptr);
// Bytes in front of the SUSP entries of the root's "." record: 0, or 14
// where a CD-XA record (its "XA" at bytes 6 and 7) comes first and SP
// follows it, as genisoimage -XA writes (LEN_SKP then skips the same
// record in every other record).
TARVELIN_API std::uint8_t RootSelfSkip(std::string_view rootSelfSystemUse);

// From the root's "." record (its system use without RootSelfSkip bytes).
// rockRidge follows the ER entries alone, with or without an SP entry.
TARVELIN_API SuspVolumeInfo DecodeSuspVolume(const SystemUseArea& rootSelf);

// The same, read from the image: the root's "." record of the primary
// descriptor's tree. Nothing (susp false) when it cannot be read.
TARVELIN_API SuspVolumeInfo ReadSuspVolume(const SectorReader& read, std::uint32_t sectorCount);

// ---------------------------------------------------------------------------
// Writing.

// The entries a new record carries: PX (44 bytes, serial 0 unless given),
// TF (modification, access, attribute change; recording dates of 7 bytes; a
// time of 0 is left out, and no TF when none is known), NM unless name is
// empty (split into continued NM entries when longer than one entry holds),
// SL for a symbolic link with a target (components split on "/", "." and
// ".." and a leading "/" flagged, empty components kept so that "a//b" and
// "a/" read back as written).
TARVELIN_API std::vector<std::string> EncodeRockRidgeEntries(const UnixAttributes& attributes,
                                                             std::string_view name);
// The SP entry (LEN_SKP 0) and the ER entry of RRIP_1991A, for the "." record
// of the root, SP first.
TARVELIN_API std::vector<std::string> EncodeRockRidgeVolumeEntries();
// An NM entry list for name alone (the name of a renamed entry).
TARVELIN_API std::vector<std::string> EncodeNameEntries(std::string_view name);

// Puts entries into an area: inline while they fit inlineRoom bytes, keeping
// room for a CE entry when more follow; the rest into continuation areas of
// at most 2048 bytes each, every area but the last ending in a CE entry.
// CE entries carry block and offset 0 until PlaceContinuation sets them.
// When more must follow and inlineRoom cannot even hold the CE entry (below
// 28 bytes), inlineBytes is that CE entry alone, longer than inlineRoom: the
// caller sees that the record cannot carry the entries.
TARVELIN_API SystemUseArea PackSystemUse(const std::vector<std::string>& entries, std::size_t inlineRoom);

// Rewrites the CE entry that names continuation area `index` (the one in
// inlineBytes for index 0, the one ending continuation[index - 1] otherwise)
// with the area's new block and offset. False when that CE entry is missing.
TARVELIN_API bool PlaceContinuation(SystemUseArea& area, std::size_t index, std::uint32_t block,
                                    std::uint32_t offset);

// Replaces the NM entries of an area with name's (packed anew into
// inlineRoom), where the first old NM entry was or else at the end; the
// other entries stay as they were, in their order (CE, ST and PD entries
// are made anew or dropped, as SystemUseEntries leaves them out).
TARVELIN_API SystemUseArea RenameSystemUse(const SystemUseArea& area, std::string_view name,
                                           std::size_t inlineRoom);
// The area without the entries of a directory relocation (CL, PL, RE),
// packed anew into inlineRoom, for a folder put back where it belongs.
// Both this and RenameSystemUse keep the flags of an RR entry naming the
// entries that remain.
TARVELIN_API SystemUseArea WithoutRelocation(const SystemUseArea& area, std::size_t inlineRoom);

// Rewrites the link count of every PX entry of the area that holds `from`
// with `to`, in place: every other byte stays. A folder's link count is 2
// and one for each folder below it; an image that does not count them
// (xorriso gives every folder 1) keeps its own value. The number of PX
// entries changed.
TARVELIN_API std::size_t ReplacePosixLinks(SystemUseArea& area, std::uint32_t from, std::uint32_t to);

// ---------------------------------------------------------------------------

template <class Visit>
void ForEachSuspEntry(std::string_view bytes, Visit&& visit, SuspReport* report)
{
    std::size_t at = 0;
    while (bytes.size() - at >= kSuspHeaderSize) {
        const auto length = static_cast<std::uint8_t>(bytes[at + 2]);
        if (length < kSuspHeaderSize || length > bytes.size() - at) {
            // Padding of a record is zero; anything else is damage.
            if (bytes[at] != '\0' && report != nullptr) {
                ++report->damaged;
            }
            return;
        }
        const std::string_view entry = bytes.substr(at, length);
        const std::string_view signature = entry.substr(0, 2);
        if (signature == "ST") {
            return;
        }
        if (!visit(signature, entry)) {
            return;
        }
        at += length;
    }
}

} // namespace tarvelin::iso
