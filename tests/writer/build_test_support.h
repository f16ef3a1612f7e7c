#pragma once

// Helpers of the new-image writer tests: source records for trees made in
// memory, a wait for a build's final progress call, and readers of the
// sectors of a written image.

#include "core/component.h"
#include "iso/iso9660.h"
#include "support/test_support.h"
#include "writer/iso_build.h"
#include "writer/macro_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin::test {

inline constexpr std::size_t kSector = 2048;

inline SourceNode FileNode(const std::string& name, std::uint64_t size, const std::string& diskPath = "")
{
    SourceNode record;
    record.name = name;
    record.nameLength = static_cast<std::uint32_t>(name.size());
    record.fileSize = size;
    record.diskPath = diskPath;
    return record;
}

inline SourceNode FolderNode(const std::string& name)
{
    SourceNode record;
    record.isDirectory = true;
    record.name = name;
    record.nameLength = static_cast<std::uint32_t>(name.size());
    return record;
}

inline SourceNode InfoOf(IMacroList* list, MacroNode* node)
{
    SourceNode record;
    list->GetInfo(node, record);
    return record;
}

// Owns a component for the length of a test; release() hands it over (to a
// callback that destroys it).
template <class T>
using Held = ComponentPtr<T>;

// Records every progress value of a build and lets the test wait for the
// end: the final value, or a false answer given at the value whose index is
// cancelAt.
class ProgressLog {
public:
    std::optional<std::size_t> cancelAt;
    // Destroyed from inside the final call or the cancelling call, as the
    // user interface does.
    IIsoBuild* destroyInCallback = nullptr;
    // Read inside the final call, while the builder still exists.
    std::string errorAtEnd;
    std::vector<std::string> noticesAtEnd;

    static bool Callback(void* context, std::int32_t value)
    {
        return static_cast<ProgressLog*>(context)->OnValue(value);
    }

    // Waits for the end of the build; false after the timeout.
    bool Wait(std::chrono::seconds timeout = std::chrono::seconds(300))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return ended_; });
    }

    std::vector<std::int32_t> Values()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }

private:
    bool OnValue(std::int32_t value)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        values_.push_back(value);
        const bool final = value == kBuildDone || value == kBuildFailed;
        const bool cancel = !final && cancelAt && values_.size() - 1 == *cancelAt;
        if (final && destroyInCallback != nullptr) {
            errorAtEnd = destroyInCallback->GetLastError();
            for (std::uint32_t i = 0; i < destroyInCallback->GetNoticeCount(); ++i) {
                noticesAtEnd.push_back(destroyInCallback->GetNotice(i, nullptr));
            }
        }
        if ((final || cancel) && destroyInCallback != nullptr) {
            DestroyComponent(destroyInCallback);
        }
        if (final || cancel) {
            ended_ = true;
            changed_.notify_all();
        }
        return !cancel;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int32_t> values_;
    bool ended_ = false;
};

// Sector n of an image held in memory.
inline iso::ConstBytes SectorOf(const std::vector<std::uint8_t>& image, std::uint32_t n)
{
    return iso::ConstBytes(image).subspan(std::size_t{n} * kSector, kSector);
}

// The directory records of the directory at extent with data length bytes.
inline std::vector<iso::DirectoryRecord> ReadDirectory(const std::vector<std::uint8_t>& image,
                                                       std::uint32_t extent, std::uint32_t length)
{
    std::vector<iso::DirectoryRecord> records;
    for (std::uint32_t s = 0; s < length / kSector; ++s) {
        const iso::DirectorySectorRecords sector = iso::DecodeDirectorySector(SectorOf(image, extent + s));
        EXPECT_FALSE(sector.damaged) << "directory at " << extent << ", sector " << s;
        records.insert(records.end(), sector.records.begin(), sector.records.end());
    }
    return records;
}


} // namespace tarvelin::test
