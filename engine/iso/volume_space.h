#pragma once

// Which sectors of an ISO 9660 volume the image's metadata refers to, as
// the image stands on disc: the system area, the descriptor set, the path
// tables, every directory and file extent of every tree (extended attribute
// records and continuation areas of the system use included), the boot
// catalog and its boot images, what the partition tables of a hybrid image
// hold inside the volume, and the structures of a UDF file system beside
// ISO 9660 (its recognition sequence, anchors, descriptor sequences,
// integrity sequence, file set, file entries, folders and file data), and
// what an HFS or HFS+ volume for Macs holds inside it. Everything else inside the volume is free:
// nothing a reader follows leads there, whatever bytes it holds.
//
// The scan reads what is written, not what an edit intends; a save takes
// its free sectors from the image as it was before the save, so the old
// metadata never points into what the save overwrites.

#include "platform/export.h"
#include "iso/iso9660.h"
#include "iso/udf_format.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin {
class IIsoSector;
}

namespace tarvelin::iso {

struct SectorRun {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint64_t End() const { return std::uint64_t{first} + count; }
    bool operator==(const SectorRun&) const = default;
};

// A set of sectors kept as sorted, merged runs.
class TARVELIN_API SectorSet {
public:
    void Add(std::uint64_t first, std::uint64_t count);
    void Remove(std::uint64_t first, std::uint64_t count);
    bool Contains(std::uint32_t sector) const;
    // True when any sector of [first, first + count) is in the set.
    bool Overlaps(std::uint64_t first, std::uint64_t count) const;
    // The lowest sector above `sector` that is in the set; nothing when none is.
    std::optional<std::uint64_t> FirstAbove(std::uint64_t sector) const;
    std::vector<SectorRun> Runs() const;
    std::uint64_t Count() const;
    bool Empty() const { return runs_.empty(); }
    // The first sector of the lowest run that holds count sectors and starts
    // no higher than limit; taken out of the set. Nothing when none does.
    std::optional<std::uint32_t> Take(std::uint32_t count, std::uint32_t limit = UINT32_MAX);
    // The sectors from first up to end that are not in the set.
    SectorSet Complement(std::uint32_t first, std::uint32_t end) const;

private:
    std::map<std::uint64_t, std::uint64_t> runs_; // start -> end (exclusive)
};

struct TARVELIN_API VolumeSpace {
    // False when the scan met something it cannot account for (a structure
    // it cannot read, a descriptor of an unknown kind, a boot image of
    // unknown length, another file system beside ISO 9660): then no sector
    // may be taken for free, and why says what was met.
    bool known = false;
    std::string why;
    // Every sector the image's metadata and tables refer to is in used: when
    // known, and also when only boot images of unknown length leave the free
    // space unknown (which of the sectors nothing refers to such a loader
    // reads cannot be told).
    bool referencesKnown = false;
    std::uint32_t volumeSectors = 0; // the primary descriptor's volume space size
    SectorSet used;                  // inside the volume
    // Of those, what no file or directory record refers to and a save keeps
    // where it is: the system area, the boot catalog and boot images that
    // no file lists, what partition tables hold.
    SectorSet beside;

    // The image carries a UDF file system too.
    bool udf = false;
    // Why a save cannot lay the UDF file system out anew from the ISO 9660
    // tree; empty when it can: every UDF file's data is an ISO 9660 file's,
    // in partitions and a revision the save writes.
    std::string udfRefusal;
    // The UDF volume's names, which a save keeps.
    std::string udfLabel;
    std::string udfVolumeSet;
    // And what else it says of itself: its revision, its domain's
    // write-protect flags, and whether its UDF tree holds symbolic links
    // (genisoimage records links as empty files there, which readers that
    // know only files and folders need).
    std::uint16_t udfRevision = 0;
    std::uint8_t udfDomainFlags = 0;
    bool udfHoldsLinks = false;
    std::array<std::uint8_t, 32> udfApplicationId{};
    std::uint8_t udfContentsFlags = 0;
    // Where its descriptors and its partition lie, which a save keeps where
    // its own structures fit there.
    udf::Placement udfPlacement;

    // What an HFS or HFS+ volume for Macs that shares this volume holds
    // inside it behind the ISO 9660 metadata: its catalog and the data of
    // the files it lists, which stay its files whatever the ISO 9660 tree
    // becomes. Also beside; macVolume names the volume (empty: none).
    SectorSet macHeld;
    std::string macVolume;

    // Where the sessions an image file holds before the one the volume
    // describes begin (xorriso's chain, see EarlierSessionStarts), lowest
    // first; their files lie in sectors this volume does not refer to, so
    // the space is not known when there are any.
    std::vector<std::uint32_t> earlierSessions;

    // The boot images that no file lists and whose length cannot be told,
    // each with every sector that may be its: from its first up to where the
    // next thing the image's metadata or tables refer to begins (at most the
    // volume's end). Also beside; the space is not known when there are any.
    std::vector<SectorRun> unsizedBootImages;
    // Of their sectors, those that nothing else uses.
    SectorSet unsizedOnly;

    // Free sectors inside the volume; empty when the space is not known.
    SectorSet Free() const;

    // For a save that drops the boot images of unknown length (it removes
    // the boot record, or loads a new image in place of the one such an
    // image was): their sectors are free, and the space is known. Nothing
    // changes when something else left the space unknown.
    void DropUnsizedBootImages();
    // Knows the space as it is: only what lies inside the volume counts.
    void SetKnown();
};

// xorriso keeps the sessions of an image file in a chain: the first starts
// at sector 32, each next one at the end of the one before (its primary
// descriptor, 16 sectors into it, counts the sectors from its start)
// rounded up to 32 sectors, and sector 16 holds a copy of the last one's
// descriptor. The starts of the sessions before the one whose root the
// descriptor `current` names, or, where no session names that root (a save
// here wrote the volume anew), before the chain's last one.
TARVELIN_API std::vector<std::uint32_t> EarlierSessionStarts(const SectorReader& read, std::uint32_t sectorCount,
                                                              const VolumeDescriptor& current);

// Where a save writes the header of the session its volume makes in
// xorriso's chain, so that the chain leads to the volume again: the start of
// the chain's last session when a save here wrote that one (its tree lies in
// front of it, from sector 16), else the start of the next session behind
// the last; and where the chain ends (the last session's end). Nothing when
// the image file holds no chain of sessions (fewer than two headers from
// sector 48 on).
struct SessionHeaderPlace {
    std::uint32_t start = 0;
    std::uint64_t chainEnd = 0;
    bool rewritten = false; // start is that of the chain's last session
};
TARVELIN_API std::optional<SessionHeaderPlace> NextSessionHeader(const SectorReader& read, std::uint32_t sectorCount);

// Reads the metadata of the image from sector 0 to the volume's end.
TARVELIN_API VolumeSpace ScanVolumeSpace(IIsoSector& sector);

// Bytes of an El Torito boot image that no file record lists, from its load
// RBA: a diskette's size under diskette emulation; under hard disk
// emulation the end of the last partition its MBR lists (at most to the end
// of the image); without emulation, the length its boot info table or its
// FAT boot sector (an EFI image) gives, or what the entry loads when that is
// more than one sector. 0 when it cannot be told (a small loader without a
// table, a disk image without an MBR).
TARVELIN_API std::uint64_t HiddenBootImageLength(IIsoSector& sector, const BootEntry& entry);
// The sectors that length takes.
TARVELIN_API std::uint32_t HiddenBootImageSectors(IIsoSector& sector, const BootEntry& entry);
// Sectors of a diskette image for an El Torito media type (1 to 3); 0 for any other.
TARVELIN_API std::uint32_t DisketteSectors(std::uint32_t mediaType);

} // namespace tarvelin::iso
