#pragma once

// CIsoSector: an image file of any supported layout seen as an array of
// 2048-byte logical sectors, numbered as on the CD (logical sector 16 holds
// the primary volume descriptor).

#include "core/component.h"
#include "core/registry.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tarvelin {

// Where logical sector N lies in the image file: its user data starts at
// (T - firstSector) * sectorSize + dataOffset + baseOffset, computed in 64 bits,
// where T is its sector of the track: N itself, but N - sessionStart from
// sessionStart on.
//
// sessionStart is not 0 for a data track that starts at that sector of its
// disc (behind audio tracks, as the data session of an enhanced CD does)
// and holds a volume that gives its extents as sectors of the disc: its
// descriptors lie at sector 16 of the track, its files and directories at
// their disc sector minus sessionStart. Logical sectors below sessionStart
// are then those of the track's start (its system area and descriptors), so
// that the volume reads as one that starts the disc.
struct ImageLayout {
    std::uint64_t baseOffset = 0; // file offset of sector firstSector's user data, minus dataOffset
    std::uint32_t firstSector = 0;
    std::uint32_t sectorSize = 0; // bytes per stored sector
    std::uint32_t dataOffset = 0; // bytes in front of the user data inside a stored sector
    std::uint32_t tailSize = 0;   // bytes behind the user data inside a stored sector
    std::uint32_t sessionStart = 0;
};

// How an image stores its sectors; GetTrackMode gives it as its number.
enum class TrackMode : std::uint32_t {
    Plain = 0,      // the user data alone
    Mode1 = 1,      // raw Mode 1 sectors
    Mode2Form1 = 2, // raw Mode 2 Form 1 sectors
};

// Which layout probe found the volume.
enum class LayoutProbe : std::uint32_t {
    None = 0,
    PlainIso = 1,    // 2048-byte sectors from offset 0
    RawMode1 = 2,    // 2352-byte sectors, user data at 16
    RawMode2 = 3,    // 2352-byte sectors, user data at 24
    Scanned = 4,     // header or sector size found by scanning the first MiB
};

// Reads up to count bytes at position into buffer; returns how many were read
// (fewer only at the end of the source).
using LayoutReadFn = std::function<std::uint32_t(std::uint64_t position, void* buffer, std::uint32_t count)>;

// The layout detection of Open, over any source of bytes (the converters run
// it over a mapped file): the four probes in their order. None when no
// volume is found; layout is set only when one is. The volume is looked for
// in the bytes from trackStart on (where a CUE sheet's data track starts).
// The track's disc sector comes from the headers of its raw sectors, else
// from trackSector (where the CUE sheet puts it; 0 when it does not say);
// sessionStart is set to it when the volume's extents are disc sectors.
TARVELIN_API LayoutProbe DetectImageLayout(const LayoutReadFn& readAt, ImageLayout& layout,
                                           std::uint64_t trackStart = 0, std::uint32_t trackSector = 0);

// File offset of the user data of a logical sector; negative where the
// layout places the sector before the start of the file (a header shorter
// than the 16 sectors in front of the volume descriptor).
TARVELIN_API std::int64_t UserDataStart(const ImageLayout& layout, std::uint32_t sector);

// Logical sectors 0 .. N-1 of a file of fileLength bytes in this layout: N is
// the first sector whose user data starts at or behind the end of the file
// (so a last, partial sector counts), from sessionStart on when that is set
// (the track's sectors, plus sessionStart). At most the largest sector number.
TARVELIN_API std::uint32_t SectorCountOf(const ImageLayout& layout, std::uint64_t fileLength);

// How the sectors of a detected layout are stored: raw sectors of the mode
// the sync pattern and header of its sector 16 give (their user data then
// lies dataOffset bytes behind the start of the stored sector), or Plain.
TARVELIN_API TrackMode StoredTrackMode(const LayoutReadFn& readAt, const ImageLayout& layout);

// The warning about raw sectors whose own checks failed (raw::CheckSector)
// where they were read: how many, and the first (lowest) of them.
TARVELIN_API std::string DescribeDamagedSectors(std::uint32_t count, std::uint32_t first);

// Whether each stored sector of this layout carries a Mode 2 subheader
// right in front of its user data (file, channel, submode, coding, twice):
// raw sectors whose volume descriptor's header says Mode 2, and 2336-byte
// sectors (Mode 2 without sync and header).
TARVELIN_API bool StoresSubheaders(const LayoutReadFn& readAt, const ImageLayout& layout);
inline constexpr std::uint32_t kSubheaderBytes = 8;
inline constexpr std::uint32_t kSubmodeByte = 2; // of the subheader

// The volume space size a primary volume descriptor gives (its little-endian
// half); 0 when the 2048 bytes hold no primary descriptor.
std::uint32_t PrimaryVolumeSectors(const std::uint8_t* descriptor);

// Why Open failed.
enum class ImageOpenError : std::uint32_t {
    None = 0,
    CannotOpen = 1, // the file (or the CUE sheet's data file) could not be opened
    NoVolume = 2,   // no ISO 9660 volume descriptor where a layout would put it (nor,
                    // where AcceptUdfAlone allows one, a UDF recognition sequence)
};

class IIsoSector : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual bool Open(const char* path) = 0;
    // The layout detection also finds a volume of UDF alone (its
    // recognition sequence at sector 16, no ISO 9660 descriptors). Open
    // refuses such an image as NoVolume, as what reads ISO 9660 structures
    // through this component has nothing to read in it, unless accept was
    // given here before: the UDF reader takes it. HoldsUdfAlone says
    // whether the open image is one.
    virtual void AcceptUdfAlone(bool accept) = 0;
    virtual bool HoldsUdfAlone() = 0;
    // Reads one sector into 2048 bytes; false when it cannot be positioned
    // (a sector the layout places before the start of the file). Bytes
    // beyond the end of the file read as zeros.
    virtual bool ReadSector(std::uint32_t sector, void* buffer) = 0;
    virtual bool ReadSectors(std::uint32_t firstSector, void* buffer, std::uint32_t count) = 0;
    // Writes count sectors as logical sectors firstSector onwards, in the
    // stored form of the image (plain, raw Mode 1 or raw Mode 2 Form 1).
    // Refused behind the data track of a CUE sheet whose further tracks
    // follow it in the same file (see CueDataTrackOf), and for a volume that
    // counts its sectors from the start of the disc (ImageLayout::sessionStart).
    virtual bool WriteSectors(const void* buffer, std::uint32_t count, std::uint32_t firstSector) = 0;
    // Mode 2 Form 2 sectors hold 2324 bytes of data, of which a logical
    // sector carries the first 2048: their data is read whole with
    // ReadForm2Data (2324 bytes a sector), and written never (a save cannot
    // move them). Both need a layout that stores subheaders (raw Mode 2, or
    // 2336-byte sectors); HasForm2Sectors is false, with an empty
    // GetLastError, for any other, and false with a reason when a sector
    // cannot be read.
    virtual bool HasForm2Sectors(std::uint32_t firstSector, std::uint32_t count) = 0;
    virtual bool ReadForm2Data(std::uint32_t firstSector, void* buffer, std::uint32_t count) = 0;
    // The Mode 2 subheader is part of a file's data: a file keeps its file
    // and channel numbers, and the end-of-record and end-of-file bits on
    // its last sector, wherever it is written. HasSubheaders says whether
    // the layout stores them; ReadSubheaders gives the stored subheaders
    // of count sectors, kSubheaderBytes each, and fails with a reason for a
    // layout without them. WriteSectorsWithSubheaders is WriteSectors that
    // gives sector i the subheader at subheaders + i * kSubheaderBytes; for
    // a layout without subheaders they are not used. It refuses a subheader
    // that says Form 2: logical sectors are written as Form 1.
    virtual bool HasSubheaders() = 0;
    virtual bool ReadSubheaders(std::uint32_t firstSector, std::uint32_t count, void* out) = 0;
    virtual bool WriteSectorsWithSubheaders(const void* buffer, const void* subheaders, std::uint32_t count,
                                            std::uint32_t firstSector) = 0;
    virtual bool SeekToEnd() = 0;
    virtual bool SeekToSector(std::uint32_t sector) = 0;
    // Raw sectors read since Open whose own checks failed (raw::CheckSector:
    // no sync pattern, a header of another mode, data that their EDC does not
    // match), read as they are stored all the same: how many, and the
    // lowest in *first. Only sectors stored whole in the file are checked.
    virtual std::uint32_t GetDamagedSectors(std::uint32_t* first) = 0;

    // A TrackMode as its number.
    virtual std::uint32_t GetTrackMode() = 0;
    virtual ImageLayout GetLayout() = 0;
    virtual LayoutProbe GetLayoutProbe() = 0;
    // Logical sectors from 0 whose user data starts inside the file (inside
    // the data track, where a CUE sheet's further tracks follow it).
    virtual std::uint32_t GetSectorCount() = 0;
    virtual ImageOpenError GetOpenError() = 0;
    virtual bool IsReadOnly() = 0;
    virtual bool Flush() = 0;
    // The image file underneath (owned by this component).
    virtual class IImageFile* GetFile() = 0;
    virtual const char* GetLastError() = 0;

    // An all-or-nothing save in place, carried out by the image file (see
    // IImageFile::BeginSave): every sector written between BeginSave and
    // CommitSave can be taken back by RollbackSave, or by the next Open
    // after a crash.
    virtual bool BeginSave() = 0;
    virtual bool CommitSave() = 0;
    virtual bool RollbackSave() = 0;
    // During a save: sectors firstSector onwards are free space nothing
    // refers to, written without an undo copy (see IImageFile::ForgoUndo).
    virtual bool ForgoUndo(std::uint32_t firstSector, std::uint32_t count) = 0;
    // During a save: keeps the undo copy of sectors about to be written at
    // once (see IImageFile::ProtectAhead).
    virtual bool ProtectAhead(std::uint32_t firstSector, std::uint32_t count) = 0;
    // Cuts the image file behind its first count sectors; not during a save,
    // nor where a CUE sheet's further tracks follow the data track.
    virtual bool TruncateSectors(std::uint32_t count) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoSector, Sector1, Sector2)
