#include "core/image_journal.h"

#include "core/crc32.h"
#include "platform/directory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tarvelin {

namespace {

constexpr char kHeaderMagic[8] = {'T', 'R', 'V', 'L', 'U', 'N', 'D', 'O'};
constexpr char kRecordMagic[4] = {'U', 'R', 'E', 'C'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kRecordHeadSize = 4 + 8 + 4;
// Old bytes are journaled in records of at most this size.
constexpr std::uint64_t kMaxRecordData = 4u << 20;

void PutU32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void PutU64(std::uint8_t* out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const std::uint8_t* in)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

std::uint64_t GetU64(const std::uint8_t* in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

struct UndoRecord {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

} // namespace

ImageJournal::~ImageJournal()
{
    // A journal still active here belongs to a save that neither committed
    // nor rolled back; its undo file stays for the next open to apply.
    undo_.Close();
}

std::string ImageJournal::UndoPathFor(const std::string& imagePath) { return imagePath + ".tarvelin-undo"; }

bool ImageJournal::Fail(const std::string& why)
{
    lastError_ = why;
    return false;
}

bool ImageJournal::Begin(platform::File& image)
{
    lastError_.clear();
    protected_.clear();
    if (!image.IsOpen() || !image.IsWritable()) {
        return Fail("the image is not open for writing");
    }
    if (!image.Length(originalLength_)) {
        return Fail("cannot learn the length of '" + image.Path() + "'");
    }
    undoPath_ = UndoPathFor(image.Path());
    if (platform::PathExists(undoPath_)) {
        return Fail("'" + undoPath_ + "' is left from an interrupted save; open the image again to restore it");
    }
    if (!undo_.Open(undoPath_, platform::OpenMode::CreateTruncate)) {
        return Fail("cannot create the undo file: " + undo_.LastError());
    }
    std::uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kHeaderMagic, sizeof kHeaderMagic);
    PutU32(header + 8, kVersion);
    PutU64(header + 16, originalLength_);
    PutU32(header + 28, Crc32(header, 28));
    if (!undo_.Write(header, sizeof header) || !undo_.Flush()) {
        const std::string why = "cannot write the undo file: " + undo_.LastError();
        undo_.Close();
        platform::RemoveFile(undoPath_);
        return Fail(why);
    }
    image_ = &image;
    return true;
}

bool ImageJournal::AppendRecord(std::uint64_t offset, std::uint64_t length, bool flush)
{
    std::vector<std::uint8_t> record(kRecordHeadSize + length + 4);
    std::memcpy(record.data(), kRecordMagic, sizeof kRecordMagic);
    PutU64(record.data() + 4, offset);
    PutU32(record.data() + 12, static_cast<std::uint32_t>(length));
    if (image_->ReadAt(offset, record.data() + kRecordHeadSize, length) != length) {
        return Fail("cannot read the bytes a save is about to replace: " + image_->LastError());
    }
    PutU32(record.data() + kRecordHeadSize + length,
           Crc32(record.data() + 4, kRecordHeadSize - 4 + length));
    if (!undo_.Write(record.data(), record.size()) || (flush && !undo_.Flush())) {
        return Fail("cannot write the undo file: " + undo_.LastError());
    }
    return true;
}

bool ImageJournal::Protect(std::uint64_t offset, std::uint64_t length) { return Cover(offset, length, true, true); }

bool ImageJournal::ProtectAhead(std::uint64_t offset, std::uint64_t length)
{
    // The records are flushed together, once: nothing of the range has been
    // overwritten yet.
    return Cover(offset, length, true, false) && (undo_.Flush() || Fail("cannot write the undo file: " +
                                                                         undo_.LastError()));
}

bool ImageJournal::Forgo(std::uint64_t offset, std::uint64_t length) { return Cover(offset, length, false, false); }

bool ImageJournal::Cover(std::uint64_t offset, std::uint64_t length, bool keepOldBytes, bool flushEach)
{
    if (!Active()) {
        return Fail("no save is in progress");
    }
    const std::uint64_t end = std::min(offset + length, originalLength_);
    std::uint64_t at = offset;
    while (at < end) {
        // Skip what an earlier record already holds.
        auto next = protected_.upper_bound(at);
        if (next != protected_.begin()) {
            auto previous = std::prev(next);
            if (previous->second > at) {
                at = previous->second;
                continue;
            }
        }
        std::uint64_t stop = end;
        if (next != protected_.end()) {
            stop = std::min(stop, next->first);
        }
        stop = std::min(stop, at + kMaxRecordData);
        if (keepOldBytes && !AppendRecord(at, stop - at, flushEach)) {
            return false;
        }
        // Merge with a neighbour that ends where this one starts.
        auto before = protected_.lower_bound(at);
        if (before != protected_.begin() && std::prev(before)->second == at) {
            std::prev(before)->second = stop;
        } else {
            protected_[at] = stop;
        }
        at = stop;
    }
    return true;
}

bool ImageJournal::Commit()
{
    if (!Active()) {
        return Fail("no save is in progress");
    }
    if (!image_->Flush()) {
        return Fail("cannot flush the image: " + image_->LastError());
    }
    undo_.Close();
    std::string error;
    if (!platform::RemoveFile(undoPath_, &error)) {
        // The image is complete; a stale undo file would roll it back.
        return Fail("cannot remove the undo file: " + error);
    }
    image_ = nullptr;
    return true;
}

namespace {

// Reads the undo file; false when its header is not whole. Records after a
// torn or damaged one are ignored: they were never followed by a write.
bool ReadUndoFile(platform::File& undo, std::uint64_t& originalLength, std::vector<UndoRecord>& records)
{
    std::uint8_t header[kHeaderSize];
    if (undo.ReadAt(0, header, sizeof header) != sizeof header
        || std::memcmp(header, kHeaderMagic, sizeof kHeaderMagic) != 0 || GetU32(header + 8) != kVersion
        || GetU32(header + 28) != Crc32(header, 28)) {
        return false;
    }
    originalLength = GetU64(header + 16);
    std::uint64_t at = kHeaderSize;
    std::uint8_t head[kRecordHeadSize];
    while (undo.ReadAt(at, head, sizeof head) == sizeof head && std::memcmp(head, kRecordMagic, 4) == 0) {
        const std::uint64_t length = GetU32(head + 12);
        if (length > kMaxRecordData) {
            break;
        }
        std::vector<std::uint8_t> body(kRecordHeadSize - 4 + length + 4);
        if (undo.ReadAt(at + 4, body.data(), body.size()) != body.size()) {
            break;
        }
        const std::size_t dataEnd = kRecordHeadSize - 4 + length;
        if (GetU32(body.data() + dataEnd) != Crc32(body.data(), dataEnd)) {
            break;
        }
        UndoRecord record;
        record.offset = GetU64(head + 4);
        record.bytes.assign(body.begin() + (kRecordHeadSize - 4), body.begin() + dataEnd);
        records.push_back(std::move(record));
        at += kRecordHeadSize + length + 4;
    }
    return true;
}

// Puts the old bytes back, newest record first (so a range journaled twice
// ends with its oldest bytes), and cuts the image to its old length.
bool ApplyUndo(platform::File& image, std::uint64_t originalLength, const std::vector<UndoRecord>& records,
               std::string& error)
{
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (!image.WriteAt(record->offset, record->bytes.data(), record->bytes.size())) {
            error = "cannot restore the image: " + image.LastError();
            return false;
        }
    }
    std::uint64_t length = 0;
    if (image.Length(length) && length > originalLength && !image.Truncate(originalLength)) {
        error = "cannot restore the image's length: " + image.LastError();
        return false;
    }
    if (!image.Flush()) {
        error = "cannot flush the restored image: " + image.LastError();
        return false;
    }
    return true;
}

} // namespace

bool ImageJournal::Rollback()
{
    if (!Active()) {
        return Fail("no save is in progress");
    }
    std::uint64_t originalLength = 0;
    std::vector<UndoRecord> records;
    if (!ReadUndoFile(undo_, originalLength, records)) {
        return Fail("the undo file '" + undoPath_ + "' cannot be read back");
    }
    std::string error;
    if (!ApplyUndo(*image_, originalLength, records, error)) {
        return Fail(error);
    }
    undo_.Close();
    platform::RemoveFile(undoPath_);
    image_ = nullptr;
    return true;
}

bool ImageJournal::Recover(const std::string& imagePath, platform::File& image, bool& recovered, std::string& error)
{
    recovered = false;
    const std::string undoPath = UndoPathFor(imagePath);
    if (!platform::PathExists(undoPath)) {
        return true;
    }
    platform::File undo;
    if (!undo.Open(undoPath, platform::OpenMode::ReadOnly)) {
        error = "an interrupted save left '" + undoPath + "', which cannot be opened: " + undo.LastError();
        return false;
    }
    std::uint64_t originalLength = 0;
    std::vector<UndoRecord> records;
    if (!ReadUndoFile(undo, originalLength, records)) {
        // The header never reached the device, so the save never wrote to
        // the image either.
        undo.Close();
        platform::RemoveFile(undoPath);
        return true;
    }
    if (!image.IsWritable()) {
        error = "an interrupted save must be undone first, but '" + imagePath + "' cannot be written";
        return false;
    }
    if (!ApplyUndo(image, originalLength, records, error)) {
        return false;
    }
    undo.Close();
    std::string removeError;
    if (!platform::RemoveFile(undoPath, &removeError)) {
        error = "the image is restored but '" + undoPath + "' cannot be removed: " + removeError;
        return false;
    }
    recovered = true;
    return true;
}

} // namespace tarvelin
