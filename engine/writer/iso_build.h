#pragma once

// CIsoBuild: turns files and folders on disk into a new ISO 9660 image with
// Joliet names. The caller names the output, adds sources under the root,
// and starts the build, which runs on a worker thread of its own: it lays
// the image out in four passes and writes it in one forward stream,
// reporting through the progress callback.
//
// Progress protocol (values sent on the worker thread):
//   0..999        thousandths of the volume, before each file's data (and
//                 every few dozen MiB within a large file); a false answer
//                 cancels: nothing more is written and no further call comes
//   kBuildDone    the image is complete, flushed and under its name
//   kBuildFailed  the build failed; GetLastError says why and the partial
//                 output has been removed
// The caller may Destroy the builder from inside the final call or inside
// the call it answers false; the worker touches nothing of the builder
// after either. Destroying it from another thread while the build runs
// stops the build and waits for the worker. A builder destroyed before its
// build finished removes its output: an unfinished image is never left
// behind as if it were one.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/job.h"
#include "platform/export.h"
#include "core/progress.h"
#include "core/registry.h"
#include "platform/time.h"
#include "writer/macro_list.h"

#include <cstdint>
#include <string>

namespace tarvelin {

inline constexpr std::int32_t kBuildDone = kProgressDone;
inline constexpr std::int32_t kBuildFailed = kProgressFailed;

// Options of SetOutput, also the writers' mode.
inline constexpr std::uint32_t kBuildIsoOnly = 1;
inline constexpr std::uint32_t kBuildIsoAndJoliet = 2;
// Bits beside the mode: no Rock Ridge entries (they are written by
// default), and Joliet names of up to 103 characters instead of 64.
inline constexpr std::uint32_t kBuildNoRockRidge = 0x100;
inline constexpr std::uint32_t kBuildJolietLong = 0x200;
// A UDF 2.01 file system beside the ISO 9660 and Joliet trees, sharing
// their file data. It also takes files of 4 GiB or more, which only it
// lists (a notice says so).
inline constexpr std::uint32_t kBuildUdf = 0x400;
inline constexpr std::uint32_t kBuildModeMask = 0xFF;

// Files whose name is longer than this many characters keep this many
// followed by their extension.
inline constexpr std::size_t kMaxBuildNameCharacters = 60;

class IIsoBuild : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Creates the output file under its temporary name (a file of the name
    // is replaced only by the completed image); options kBuildIsoAndJoliet
    // or kBuildIsoOnly, with the bits kBuildNoRockRidge, kBuildJolietLong
    // and kBuildUdf. False, with GetLastError, when it cannot be created.
    virtual bool SetOutput(const char* path, std::uint32_t options) = 0;
    virtual MacroNode* GetRoot() = 0;
    // One file below parent. Null, with GetLastError, for a path that cannot
    // be found, a folder, something that is not a file, the output itself,
    // and, unless the output was set with kBuildUdf, a file of 4 GiB or
    // more, which an ISO 9660 file cannot be.
    virtual MacroNode* AddFile(const char* path, MacroNode* parent) = 0;
    // One folder below parent, without its contents.
    virtual MacroNode* AddDirectory(const char* path, MacroNode* parent) = 0;
    // The folder with everything below it: in every folder its files in the
    // order the file system lists them, then its subfolders. Entries that
    // cannot go into the image are left out and reported as notices.
    virtual MacroNode* AddDirectoryTree(const char* path, MacroNode* parent) = 0;
    // Starts the worker and returns at once; false when no output is set,
    // no callback is given, or a build was already started.
    virtual bool StartBuild(void* context, ProgressFn callback) = 0;

    // Why the last failing operation failed, or why the build failed.
    virtual const char* GetLastError() = 0;
    // The volume label instead of the date label: 1 to 16 characters that
    // fit 32 bytes. False, with GetLastError, for a label that does not fit.
    virtual bool SetVolumeLabel(const char* label) = 0;
    // The volume's texts and dates in place of the label and the build's
    // moment: the label as SetVolumeLabel takes it (an empty one keeps the
    // date label), the other texts cut to their fields, a date left unset
    // the build's moment. False, with GetLastError, for a label that does
    // not fit.
    virtual bool SetVolumeProperties(const iso::VolumeProperties& properties) = 0;
    virtual IMacroList* GetList() = 0;
    // What the caller should hear about: entries of added folders that were
    // left out, and files that changed length while the image was built.
    // An error notice means the image will lack something the caller chose.
    virtual std::uint32_t GetNoticeCount() = 0;
    virtual const char* GetNotice(std::uint32_t index, bool* isError) = 0;
    virtual std::uint32_t GetErrorNoticeCount() = 0;
    // The build of StartBuild, waited for: returns once it has ended, true
    // when the output holds the complete image; false, with GetLastError,
    // when the build could not start, failed, or was cancelled by a false
    // answer to a progress value (no image is left then). progress, if
    // given, gets the thousandths on the build's thread, never a final
    // value. Not from inside a callback of this builder's own build.
    virtual bool Build(void* context, ProgressFn progress) = 0;
    // StartBuild with the job's own reports (core/job.h) in place of the
    // value protocol: onProgress gets the fraction of the volume written,
    // on the build's thread, and a false answer cancels; onEnd gets the
    // final report, Done, Failed with its reason, or Cancelled, exactly
    // once. The builder may be released inside either; it gets no call
    // after that. Either may be empty.
    virtual bool StartBuildJob(Job::OnProgress onProgress, Job::OnEnd onEnd) = 0;
};

// The name a file added to a build without Rock Ridge and without long
// Joliet names gets: its name, or, when that is longer than
// kMaxBuildNameCharacters characters, that many characters of the part
// before its extension followed by the extension.
TARVELIN_API std::string BuildFileName(const std::string& name);

// The layout of a new image and its metadata, as the build writes it.
struct BuildPlan {
    std::uint32_t descriptorSectors = 0;
    std::uint32_t pathTableStart = 0;
    std::uint32_t pathTableSectors = 0;
    std::uint32_t directoryStart = 0;
    std::uint32_t directorySectors = 0;
    std::uint32_t dataStart = 0;
    std::uint32_t totalSectors = 0;
    // The metadata, written in this order behind the 16 zero sectors of the
    // system area. udfVolume (empty without UDF) runs from behind the
    // descriptors to the path tables; udfClosing is the last sector, behind
    // the file data.
    CByteBuffer descriptors{256};
    CByteBuffer udfVolume{256};
    CByteBuffer pathTables{256};
    CByteBuffer directories{256};
    CByteBuffer udfClosing{256};
};

// Lays out the image of the tree in four passes (every size and position
// first, then descriptors, path tables and directories with the final
// values), stores every extent in the tree and renders the metadata. False,
// with error, when the tree cannot be laid out or the passes disagree.
// An empty label gives the date label of buildTime. mode is kBuildIsoOnly
// or kBuildIsoAndJoliet, with kBuildUdf for the UDF bridge.
TARVELIN_API bool PlanImage(IMacroList* list, std::uint32_t mode, platform::FileTime buildTime,
                            const std::string& label, BuildPlan& plan, std::string& error);

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoBuild, NEW_ISOBUILDNEW, NEW_00_ISOBUILDNEW)
