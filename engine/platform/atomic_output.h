#pragma once

// AtomicOutput: a file that appears under its name complete or not at all.
//
// Every output of the engine (a new image, a converted image and its CUE
// sheet, a captured disc or diskette, each extracted file) is written under
// a temporary name in its target folder and renamed into place only once it
// is complete and flushed to the device. A failure, a kill or a power loss
// before that leaves nothing under the final name (or the old file, when
// one is being replaced).
//
// The temporary name of NAME is ".NAME.tarvelin-PID.part" in the same
// folder, PID being the writing process (NAME cut to 200 bytes, at a
// character's start, so that the temporary name stays within the limits
// of file systems). A process that is killed leaves its temporary behind;
// the next output into that folder removes such stale temporaries: files
// whose name follows that rule exactly, whose process is gone and which
// nobody holds open. Nothing else is ever removed.

#include "platform/export.h"
#include "platform/file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::platform {

// What an output does with whatever holds its name already.
enum class ExistingOutput {
    // A file of that name is replaced when the output is complete, and the
    // new one gets its permissions; through a symbolic link, the file it
    // leads to. A file that may not be written, or that some other program
    // holds, refuses the output; while the output is written the old file
    // is held as an open file is (another Open of it fails). A device or
    // pipe of that name is written directly, as there is nothing to rename
    // onto it.
    Replace,
    // The file or link that holds the name is replaced; a link is not
    // followed. A folder refuses the output.
    ReplaceEntry,
    // Anything of that name refuses the output, when it is opened and again
    // when it is renamed into place.
    Refuse,
};

// Whether Open first removes the stale temporaries of the final name.
enum class StaleTemporaries { Remove, Keep };

// The temporary file name (no folder) of the file name name, for process pid.
TARVELIN_API std::string TemporaryNameFor(std::string_view name, std::uint64_t pid);
// The process of a temporary file name, when the name follows the rule for
// forName (for any name when forName is empty); nothing for other names.
TARVELIN_API std::optional<std::uint64_t> TemporaryNameProcess(std::string_view fileName,
                                                               std::string_view forName = {});
// Whether no process of that id runs now (0 counts as none).
TARVELIN_API bool ProcessGone(std::uint64_t pid);
// The temporary path of finalPath for this process.
TARVELIN_API std::string TemporaryPathFor(const std::string& finalPath);
// Removes from folder the stale temporaries (see above) of forName, or of
// every name when forName is empty; returns how many.
TARVELIN_API std::size_t RemoveStaleTemporaries(const std::string& folder, std::string_view forName = {});

// Copies the file at source to the new file target, complete or not at all
// (an existing target refuses the copy); false with the reason.
TARVELIN_API bool CopyToNewFile(const std::string& source, const std::string& target, std::string& error);

class TARVELIN_API AtomicOutput {
public:
    AtomicOutput() = default;
    // An output neither committed nor discarded is discarded.
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    AtomicOutput(AtomicOutput&& other) noexcept;
    AtomicOutput& operator=(AtomicOutput&& other) noexcept;

    // Creates the temporary file, empty, for reading and writing. Messages
    // of the file name the final path.
    bool Open(const std::string& finalPath, ExistingOutput existing,
              StaleTemporaries stale = StaleTemporaries::Remove);
    bool IsOpen() const { return file_.IsOpen(); }
    // The file being written.
    File& Stream() { return file_; }

    // Flushes the file to the device, renames it into place and closes it.
    // On failure the temporary is removed and nothing is under the final
    // name that was not there before.
    bool Commit();
    // Closes the file and removes the temporary.
    void Discard();

    // The name the output gets, and the one it is written under until then
    // (the same for a device or pipe written directly).
    const std::string& FinalPath() const { return finalPath_; }
    const std::string& WritingPath() const { return file_.Path(); }
    const std::string& LastError() const { return lastError_.empty() ? file_.LastError() : lastError_; }

private:
    friend class OutputBatch;
    bool Fail(const std::string& why);
    // The rename of Commit, for an output whose data is on the device.
    bool PutInPlace();

    File file_;
    // The old file of the name, held while a replacement is written.
    std::intptr_t held_ = -1;
    std::string finalPath_;
    ExistingOutput existing_ = ExistingOutput::Replace;
    bool direct_ = false;
    std::string lastError_;
};

// Many small outputs put in place together: each is complete when added and
// stays open until Commit, which makes all of them durable with one flush of
// their file system (instead of one per file, which costs a disk round trip
// each) and then renames each into place. The temporaries of outputs never
// committed are removed with the batch.
class TARVELIN_API OutputBatch {
public:
    static constexpr std::size_t kMaxOutputs = 64;
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{32} << 20;

    OutputBatch() = default;
    ~OutputBatch();
    OutputBatch(const OutputBatch&) = delete;
    OutputBatch& operator=(const OutputBatch&) = delete;

    // Takes a complete output (its data written, its date set) of bytes
    // bytes; true when the batch is then full and should be committed.
    bool Add(AtomicOutput&& output, std::uint64_t bytes);
    // Flushes and puts in place every output added, in the order added;
    // done(index, error) for each, error empty when it is in place.
    template <class Done>
    void Commit(Done done)
    {
        Flush();
        for (std::size_t i = 0; i < outputs_.size(); ++i) {
            done(i, outputs_[i].PutInPlace() ? std::string() : outputs_[i].LastError());
        }
        outputs_.clear();
        bytes_ = 0;
    }
    std::size_t Size() const { return outputs_.size(); }

private:
    // Pushes the data of every output to the device.
    void Flush();

    std::vector<AtomicOutput> outputs_;
    std::uint64_t bytes_ = 0;
};

} // namespace tarvelin::platform
