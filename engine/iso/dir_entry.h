#pragma once

// DirEntry and DirNode: the records and nodes of the tree of an opened image.
// Each entry says where its data comes from: the opened image, a file on
// disk, or a buffer in memory (data moved aside during a save).

#include "iso/iso9660.h"
#include "iso/rock_ridge.h"
#include "platform/directory.h"
#include "platform/export.h"
#include "platform/time.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvelin {

// A directory record as the image holds it, kept so that a save writes an
// entry nobody changed back as it was read: identifier with its version,
// flags, extended attribute length, date with its zone, system use.
struct KeptRecord {
    std::string identifier;                 // raw bytes, version suffix included
    std::uint8_t flags = 0;                 // as stored (the writer derives the directory and multi-extent bits)
    std::uint8_t extendedAttributeLength = 0;
    std::uint8_t fileUnitSize = 0;
    std::uint8_t interleaveGap = 0;
    std::uint16_t volumeSequenceNumber = 1;
    iso::RecordingDate date;                // as stored
    std::string skipped;                    // the system use bytes the SP entry's LEN_SKP says to skip
    iso::SystemUseArea systemUse;           // the entries behind them, continuation areas included

    bool operator==(const KeptRecord&) const = default;
};

// What one tree (primary or Joliet) of the image holds of an entry read
// from it.
struct KeptTreeRecords {
    KeptRecord record;                      // the entry's record in its parent directory
    std::optional<KeptRecord> self;         // directories: their "." record
    std::optional<KeptRecord> parent;       // directories: their ".." record

    bool operator==(const KeptTreeRecords&) const = default;
};

struct KeptRecords {
    std::optional<KeptTreeRecords> iso;
    std::optional<KeptTreeRecords> joliet;
    platform::FileTime dateAsRead = 0;      // the entry's date when it was read: a changed date is written anew
    // A Rock Ridge directory that the image relocated (a CL placeholder in
    // its parent, the directory itself below the relocation folder): the
    // tree holds it at its true place, and a save writes it there, without
    // the CL, PL and RE entries that described the relocation.
    bool relocatedDirectory = false;
    // Folders: how many folders of the primary tree it held when read. Its
    // Rock Ridge link counts (2 and one for each) are rewritten only when
    // that number changed.
    std::uint32_t subfoldersAsRead = 0;
    // Files: how many files of the primary tree named its data when read
    // (DataNames); its Rock Ridge link count is rewritten only when that
    // number changed.
    std::uint32_t namesAsRead = 0;

    bool operator==(const KeptRecords&) const = default;
};

enum class EntrySourceKind : std::uint32_t {
    None = 0,   // no data: a folder added from disk or made by the user
    Image = 1,  // data in the opened image at `extent`
    Disk = 2,   // data is the file at `diskPath`
    Memory = 3, // data held in `memoryData` (moved aside during a save)
};

// One more piece of a file recorded in several extents (ISO 9660 multi-extent
// files); the first piece is `extent` itself.
struct ExtentPiece {
    std::uint32_t extent = 0;
    std::uint32_t length = 0; // bytes
};

struct DirEntry {
    bool isDirectory = false;
    EntrySourceKind EntrySource = EntrySourceKind::None;
    std::uint32_t extent = 0;            // first sector of the data in the image
    std::uint32_t extentLength = 0;      // bytes in the first extent (== size unless multi-extent)
    std::vector<ExtentPiece> moreExtents; // further extents of a multi-extent file, in order
    std::string diskPath;                // source Disk: the file or folder on disk
    std::shared_ptr<const std::vector<std::uint8_t>> memoryData; // source Memory, whole sectors
    std::string name;                    // name in the tree and in the saved image, no version suffix
    std::uint32_t isoDirExtent = 0;      // set by the directory writer during a save
    std::uint32_t jolietDirExtent = 0;
    std::uint32_t isoDirSize = 0;
    std::uint32_t jolietDirSize = 0;
    std::uint64_t size = 0;              // data length in bytes (all extents together)
    std::uint32_t nameLength = 0;        // length of name for entries added by the user; 0 when read
    platform::FileTime date = 0;         // an exact instant (UTC file time); 0 = no date
    std::uint32_t pathTableNumber = 0;   // given by the path table writer during a save
    bool bootMark = false;               // the El Torito boot image file

    // What the image stored for an entry read from it; null for entries
    // added or made by the user. Shared, so copying an entry stays cheap.
    std::shared_ptr<const KeptRecords> kept;
    // Whether each tree of the image carries the entry: an image may leave
    // an entry out of one tree (xorriso writes no Joliet record for a
    // symbolic link; genisoimage hides entries from either tree).
    bool inIsoTree = true;
    bool inJolietTree = true;
    // The name changed since the entry was read: the save gives it new
    // identifiers and a new Rock Ridge name instead of the kept ones.
    bool renamed = false;
    // The name the user gave an entry written anew, once a save has made
    // name the one the image shows for it (an ISO 9660 or Joliet name cut
    // or converted from it); empty while name is the one given. Each save
    // derives the entry's new identifiers, Rock Ridge and UDF names from
    // the given name, so the trees whose names were not shown keep theirs.
    std::string givenName;
    // POSIX mode, owner, link target and times: from the Rock Ridge entries
    // of a record read from the image, from the file system for entries
    // added from disk.
    iso::UnixAttributes posix;
    // The image stores the data compressed (a zisofs ZF entry): its bytes
    // there are not the file's; size counts the stored bytes.
    iso::ZisofsInfo zisofs;
    // The record's XA attributes say the data is stored in Mode 2 Form 2
    // sectors (2324 bytes each; size counts 2048 a sector, as the volume
    // does).
    bool xaForm2 = false;
    bool IsSymlink() const { return posix.known && iso::IsSymlinkMode(posix.mode); }
    // The name a save gives the entry's new identifiers and names.
    const std::string& NameToWrite() const { return givenName.empty() ? name : givenName; }
    // The extents of the data in the image, in order, the first one included.
    std::vector<ExtentPiece> Pieces() const
    {
        std::vector<ExtentPiece> pieces{{extent, moreExtents.empty() ? static_cast<std::uint32_t>(size) : extentLength}};
        pieces.insert(pieces.end(), moreExtents.begin(), moreExtents.end());
        return pieces;
    }
    // Whether all of its data lies in the image's first sectorCount sectors.
    // Sectors beyond the end read as whatever a buffer held: a damaged
    // record's data there is not in the image to be moved, and a copy of it
    // would be made up (up to 4 GiB of it for a damaged size).
    bool DataWithin(std::uint32_t sectorCount) const
    {
        for (const ExtentPiece& piece : Pieces()) {
            if (std::uint64_t{piece.extent} + iso::SectorsFor(piece.length) > sectorCount) {
                return false;
            }
        }
        return true;
    }
    // Whether any of its data lies in the sectors from first up to limit.
    bool DataTouches(std::uint32_t first, std::uint32_t limit) const
    {
        for (const ExtentPiece& piece : Pieces()) {
            const std::uint64_t end = std::uint64_t{piece.extent} + iso::SectorsFor(piece.length);
            if (piece.length != 0 && piece.extent < limit && end > first) {
                return true;
            }
        }
        return false;
    }
};

// The POSIX facts of a file or folder on disk, as Rock Ridge records them
// (nothing known where the platform gives none).
iso::UnixAttributes UnixAttributesOf(const platform::FileInfo& info);
// The date the record of a file or folder from disk gets: its modification
// time, the date every reader shows and extraction restores, and the one its
// Rock Ridge and UDF records carry too (the birth time where the platform
// gives no modification time).
platform::FileTime RecordDateOf(const platform::FileInfo& info);
// A folder the user makes: rwxr-xr-x, dated now.
iso::UnixAttributes NewFolderAttributes(platform::FileTime now);

// Whether two names are those of one entry of a folder: readers of the image
// compare names without regard to ASCII case, and the writers make names
// unique the same way.
TARVELIN_API bool SameEntryName(std::string_view a, std::string_view b);

// Which names of an image the tree shows: Automatic takes Rock Ridge names
// where the image has them, then Joliet, then ISO 9660 (the platform may
// put Joliet first).
enum class NameSource : std::uint32_t { Automatic = 0, RockRidge = 1, Joliet = 2, Iso = 3 };

// How the writers name and describe the entries they write anew (entries
// added, made or renamed by the user, and every entry of a new image).
struct NameRules {
    bool rockRidge = false;    // new records carry Rock Ridge entries (PX, TF, NM, SL)
    std::uint8_t isoLevel = 2; // 1: 8.3 names; 2: up to 30 characters; 4: ISO 9660:1999 names
    bool jolietLong = false;   // Joliet names of up to 103 characters instead of 64
    // The first POSIX file serial number a new Rock Ridge record gets, the
    // next record the next: readers take records of one serial number for
    // hard links of one file, so new numbers lie above those the image has.
    std::uint32_t firstSerial = 1;

    bool operator==(const NameRules&) const = default;
};

// A tree node. Children form a list in insertion order; new children are
// appended at the end. The tree owns every node and keeps the parent and
// last-child links so that finding a parent and appending are O(1).
struct DirNode {
    DirEntry entry;
    DirNode* nextSibling = nullptr;
    DirNode* firstChild = nullptr;
    DirNode* lastChild = nullptr;
    DirNode* parent = nullptr;
    std::uint32_t loadIndex = 0; // while the tree is read from the image: where its names are kept
};

// The folders directly below node that the primary tree lists: a folder's
// POSIX link count is 2 and one for each.
std::uint32_t SubfolderCount(const DirNode* node);

// Hard links of one file are stored once, their records all naming its
// data: for each extent that files of the primary tree below root name, how
// many name it. Files without data in the image (empty, or not placed yet)
// and symbolic links name none. A file's POSIX link count is the number its
// extent has (DataNamesOf).
using DataNames = std::unordered_map<std::uint32_t, std::uint32_t>;
DataNames CountDataNames(const DirNode* root);
// How many files name the entry's data; 0 when it has none in the image.
std::uint32_t DataNamesOf(const DataNames& names, const DirEntry& entry);

} // namespace tarvelin
