#pragma once

// CIsoEdit: the one object through which a program works on an opened
// image: open, list, extract, edit, save in place, manage the boot image.
// It owns its six sub-components: sector access, directory tree,
// descriptors, path tables, file data and directories.
//
// Edits change only the tree in memory until StartSave writes them back
// into the image file, on a worker thread:
//   1. lays out the new descriptors, path tables and directories from
//      sector 16 on, then one sector for the boot catalog and the sectors
//      of a newly loaded boot image;
//   2. writes, behind everything the image holds, the files added from disk
//      and the files of the image that the new metadata will cover (copied
//      straight from their old place), and flushes them; a no-emulation
//      boot file written or moved there is told its new place (its
//      boot-info-table and GRUB2 boot info, see iso/boot_info_table.h);
//   3. rewrites the boot catalog (every entry of the old one kept, the
//      default one replaced by a loaded boot image), path tables,
//      directories and, last, the descriptors.
// Every byte of the old image overwritten on the way is kept in an undo
// journal first: a save that fails is rolled back before it reports, and
// one the process did not survive is rolled back by the next Open. The
// system area (sectors 0 to 15) is written only to grow the partition
// tables of a hybrid image over the new data (iso/hybrid_tables.h).
//
// Progress protocol of StartSave (values sent on the worker thread):
//   0..99        percent of the files written
//   kSaveDone    the image file holds the edited image
//   kSaveFailed  the save failed and the image is as it was; GetLastError
//                says why
// The answers are not looked at: a save always runs to one of the two ends.
// After the final call the worker touches nothing of the facade, so the
// callback may Destroy it; destroying it from another thread while a save
// runs waits for the save to end, and no final call comes then (the save
// runs as a core/job.h job, whose rules these are). Save is the blocking
// form. While a save runs, edits, reads of the
// image and the boot operations are refused (IsSaving tells), and the tree
// must not be walked: the worker is changing its entries.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/job.h"
#include "platform/export.h"
#include "core/progress.h"
#include "core/registry.h"
#include "iso/boot_info_table.h"
#include "iso/dir_entry.h"
#include "iso/iso9660.h"
#include "iso/iso_dir_edit.h"
#include "platform/time.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelin {

inline constexpr std::int32_t kSaveDone = kProgressDone;
inline constexpr std::int32_t kSaveFailed = kProgressFailed;

// One entry as a program shows it.
struct ItemInfo {
    std::string name;
    std::uint64_t size = 0;
    bool isDirectory = false;
    platform::FileTime date = 0;
    // Mode, owner and link target where the image records them (Rock
    // Ridge) or the file system gave them (entries added from disk).
    iso::UnixAttributes posix;
    bool IsSymlink() const { return posix.known && iso::IsSymlinkMode(posix.mode); }
};

class IIsoSector;

struct FreeSpaceInfo {
    bool known = false;      // false: the scan met something it cannot account for
    std::string why;         // then, what it met
    std::uint32_t volumeSectors = 0;
    std::uint64_t freeSectors = 0;
    std::uint32_t runs = 0;  // pieces the free sectors lie in
};

class IIsoEdit : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual bool Open(const char* path) = 0;
    // Reads the tree; when even the root cannot be read, the tree stays empty
    // and GetLastError says why.
    virtual void LoadTree() = 0;
    virtual DirNode* GetRoot() = 0;
    virtual DirNode* GetFirstChild(DirNode* node) = 0;
    virtual DirNode* GetNextSibling(DirNode* node) = 0;
    virtual bool DeleteNode(DirNode* parent, DirNode* node) = 0;
    // A folder never holds two entries of the same name (compared without
    // regard to ASCII case, as readers of the image compare them, except in
    // an image with Rock Ridge, whose POSIX names differ by case): an added
    // file or folder replaces the entry of its name, and WasReplaced says
    // so. Null, with GetLastError, when nothing could be added (the entry
    // it would have replaced is then kept).
    virtual DirNode* AddFile(const char* path, DirNode* parent) = 0;
    virtual DirNode* AddDirectory(const char* path, DirNode* parent) = 0;
    virtual DirNode* AddDirectoryTree(const char* path, DirNode* parent) = 0;
    // Null when the folder already holds an entry of that name.
    virtual DirNode* NewDirectory(const char* name, DirNode* parent) = 0;
    // False when another entry of the folder already has that name.
    virtual bool Rename(const char* name, DirNode* node) = 0;
    // Starts the save worker (protocol above); false, with GetLastError,
    // when no image is open, no callback is given or a save is under way.
    virtual bool StartSave(void* context, ProgressFn callback) = 0;
    virtual bool GetItemInfo(DirNode* node, ItemInfo& info) = 0;
    // Reads count bytes of the file's data from byte offset on; false when
    // the range lies outside the file or a sector cannot be read.
    virtual bool ReadFileData(DirNode* node, std::uint64_t offset, void* buffer, std::uint32_t count) = 0;
    virtual bool HasBootImage() = 0;
    // The next save writes no boot record and no catalog.
    virtual void DeleteBootImage() = 0;
    // Appends the image's current boot image to the buffer.
    virtual bool SaveBootImage(CByteBuffer& buffer) = 0;
    // Adds the file below parent as the boot image the next save makes the
    // catalog's default entry (other entries of the catalog stay). A file
    // of that name already in the folder is replaced by it (WasReplaced).
    // The media type follows the file's length: exactly 1,228,800,
    // 1,474,560 or 2,949,120 bytes emulate a 1.2, 1.44 or 2.88 MB diskette;
    // any other length boots without emulation. False, with GetLastError,
    // when the file cannot be added; nothing changes then.
    virtual bool LoadBootImage(const char* path, DirNode* parent) = 0;
    virtual bool GetItemExtent(DirNode* node, std::uint32_t& extent) = 0;
    virtual bool ReadSector(std::uint32_t sector, void* buffer) = 0;

    // Why the last failing operation failed, worded for the user.
    virtual const char* GetLastError() = 0;
    // The sector access of the opened image (owned by this component).
    virtual IIsoSector* GetSector() = 0;
    // What the last LoadTree met and survived (records skipped, loops refused).
    virtual TreeLoadReport GetLoadReport() = 0;
    // True when the last add or LoadBootImage replaced an entry of the same name.
    virtual bool WasReplaced() = 0;
    // True when Open found an interrupted save and restored the image.
    virtual bool WasRecovered() = 0;
    virtual bool IsSaving() = 0;
    // The media type the next save gives a loaded boot image (El Torito
    // 0 no emulation, 1 to 3 diskettes); that of the image's boot record
    // otherwise.
    virtual std::uint32_t GetMediaType() = 0;

    // Which names the next LoadTree shows: Rock Ridge, Joliet or ISO 9660
    // (Automatic: the platform's usual choice among those the image has).
    virtual void SetNameSource(NameSource source) = 0;
    // Whether the loaded image carries Rock Ridge.
    virtual bool HasRockRidge() = 0;
    // What the next save writes into a loaded no-emulation boot image once
    // its data is at its final place (kBootInfoTable, kBootInfoGrub2,
    // kBootInfoAutomatic; 0 for nothing): the boot-info-table and GRUB2's
    // boot info tell a loader where the rest of it lies. Until set, and
    // again after each LoadTree and save, kBootInfoAutomatic. Only the
    // image's copy is changed, never the file on disk. Boot files the save
    // moves keep a table and boot info that were right for their old place
    // right, whatever this says. False, changing nothing, while a save runs,
    // for an unknown flag, or for a field it forces that the loaded boot
    // image is too short to hold.
    virtual bool SetBootInfoPatch(std::uint32_t flags) = 0;

    // The free space inside the volume as the image stands (what no
    // metadata of it refers to; see iso/volume_space.h). A save puts new
    // and moved data there first and gives free space at the end of the
    // file back; sectors the old metadata refers to are never reused by the
    // save that replaces it.
    virtual FreeSpaceInfo GetFreeSpace() = 0;
    // The next save also moves every file of the image down into the lowest
    // room that holds it, so that afterwards no free space is left inside
    // the volume but between pieces that cannot move (boot images that no
    // file lists, files of 4 GiB or more). Moves are journaled like every
    // other write of the save. The moves run as further saves after the
    // one that writes the edits: when one of them fails, the save still
    // counts (the image holds the edits, compacted part of the way) and an
    // error notice says why the compaction stopped.
    virtual void CompactNextSave() = 0;

    // The volume's texts and dates: those the next save writes where they
    // have been set, else those of the image's primary descriptor (empty
    // when it cannot be read).
    virtual iso::VolumeProperties GetVolumeProperties() = 0;
    // The next save writes them into the primary and the Joliet descriptor,
    // every other descriptor byte kept; a date left empty stays as the save
    // sets it. False, changing nothing, while a save runs.
    virtual bool SetVolumeProperties(const iso::VolumeProperties& properties) = 0;
    // LoadTree for reading alone (listing, extraction): it leaves out what a
    // save needs to keep unchanged entries as they are, so edits and saves
    // are refused until the next LoadTree.
    virtual void LoadTreeForReading() = 0;

    // What the caller should hear about: entries of added folders that were
    // left out (pipes, sockets, devices, links back into the folder, files
    // of 4 GiB or more, what cannot be read), and files added from disk
    // whose length changed before a save copied them (the image keeps the
    // length they had when added). An error notice means the image lacks
    // something the caller chose. Notices gather from Open on until
    // ClearNotices; while a save runs the list reads as empty, since the
    // save adds to it.
    virtual std::uint32_t GetNoticeCount() = 0;
    virtual const char* GetNotice(std::uint32_t index, bool* isError) = 0;
    virtual std::uint32_t GetErrorNoticeCount() = 0;
    virtual void ClearNotices() = 0;
    // The save of StartSave, waited for: returns once it has ended, true
    // when the image file holds the edited image, false, with GetLastError,
    // when the save could not start or failed (the image is then as it
    // was). progress, if given, gets the percents 0..99 on the save's
    // thread (its answers are not looked at), never a final value. Not from
    // inside a callback of this facade's own running save.
    virtual bool Save(void* context, ProgressFn progress) = 0;
    // StartSave with the job's own reports (core/job.h) in place of the
    // value protocol: onProgress gets the fraction of the files written,
    // on the save's thread (its answer is not looked at: a save runs to its
    // end); onEnd gets the final report, Done, or Failed with its reason,
    // exactly once, and may release the facade. Either may be empty.
    virtual bool StartSaveJob(Job::OnProgress onProgress, Job::OnEnd onEnd) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoEdit, Edit1, Edit2)
