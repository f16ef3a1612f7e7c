#pragma once

// ImageJournal: makes an in-place save of an image all-or-nothing.
//
// A save overwrites metadata at the front of an image and appends data at
// its end. Before any byte below the image's original length is overwritten,
// the bytes that were there go into an undo file beside the image
// ("<image>.tarvelin-undo") and that file is flushed to the device. When the
// save fails, Rollback puts the old bytes back and cuts the image to its old
// length; when the process dies half-way, the next open of the image finds
// the undo file and does the same (Recover). Commit flushes the image and
// deletes the undo file: that deletion is the moment the new image counts.
//
// Undo file layout (all numbers little-endian):
//   header, 32 bytes:  "TRVLUNDO", u32 version 1, u32 0, u64 original
//                      length, u32 reserved 0, u32 CRC-32 of bytes 0..27
//   records, each:     "UREC", u64 offset, u32 length, length old bytes,
//                      u32 CRC-32 of everything from offset to the data's end
// Records are flushed one by one before the range they protect is written,
// so a torn last record protects a range that was never touched.

#include "platform/export.h"
#include "platform/file.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace tarvelin {

class TARVELIN_API ImageJournal {
public:
    ImageJournal() = default;
    ~ImageJournal();
    ImageJournal(const ImageJournal&) = delete;
    ImageJournal& operator=(const ImageJournal&) = delete;

    static std::string UndoPathFor(const std::string& imagePath);

    // Rolls back a save that was interrupted, when the image has an undo
    // file; recovered tells whether it did. False (with the reason) when an
    // undo file is there but cannot be applied: the image must then not be
    // used as it stands.
    static bool Recover(const std::string& imagePath, platform::File& image, bool& recovered, std::string& error);

    // Starts protecting the image (open read-write) with its current length.
    bool Begin(platform::File& image);
    bool Active() const { return image_ != nullptr; }
    // Journals the old bytes of [offset, offset + length) that lie below the
    // original length and are not journaled yet. Call before writing there.
    bool Protect(std::uint64_t offset, std::uint64_t length);
    // Protect for a whole range that is about to be overwritten piece by
    // piece: its records are written first and flushed to the device once.
    bool ProtectAhead(std::uint64_t offset, std::uint64_t length);
    // Declares [offset, offset + length) free space whose old bytes nothing
    // refers to: writes there are not journaled, and a rollback leaves
    // whatever was written there (unreferenced again once the old metadata
    // is back). Ranges already journaled stay so.
    bool Forgo(std::uint64_t offset, std::uint64_t length);
    // Flushes the image, then deletes the undo file.
    bool Commit();
    // Restores the old bytes, cuts the image to its old length, flushes it and
    // deletes the undo file.
    bool Rollback();

    const std::string& LastError() const { return lastError_; }

private:
    bool Fail(const std::string& why);
    bool AppendRecord(std::uint64_t offset, std::uint64_t length, bool flush);
    bool Cover(std::uint64_t offset, std::uint64_t length, bool keepOldBytes, bool flushEach);

    platform::File* image_ = nullptr;
    platform::File undo_;
    std::string undoPath_;
    std::uint64_t originalLength_ = 0;
    // Journaled ranges below the original length: start -> end.
    std::map<std::uint64_t, std::uint64_t> protected_;
    std::string lastError_;
};

} // namespace tarvelin
