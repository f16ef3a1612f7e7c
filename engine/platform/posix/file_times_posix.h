#pragma once

// The one conversion of a file time into the access and modification times
// that utimensat and futimens take.

#include "platform/time.h"

#include <sys/stat.h>

namespace tarvelin::platform {

struct SystemFileTimes {
    timespec times[2]; // access, modification
};

inline SystemFileTimes ToSystemFileTimes(FileTime modification)
{
    SystemFileTimes result{};
    result.times[1].tv_sec = static_cast<time_t>(static_cast<std::int64_t>(modification / kFileTimeTicksPerSecond)
                                                 - kFileTimeEpochOffsetSeconds);
    result.times[1].tv_nsec = static_cast<long>(modification % kFileTimeTicksPerSecond) * 100;
    result.times[0] = result.times[1];
    return result;
}

} // namespace tarvelin::platform
