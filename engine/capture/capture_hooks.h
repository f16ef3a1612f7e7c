#pragma once

// The waits and the free-space query of the capture engines go through
// these hooks so that tests can run the slow paths (a bad sector costs
// seconds of pauses on a real drive) without waiting, and can set the free
// space to any value.

#include "platform/export.h"

#include <cstdint>
#include <string>

namespace tarvelin::capture {

using SleepFn = void (*)(std::uint32_t milliseconds);
using FreeSpaceFn = bool (*)(const std::string& folder, std::uint64_t& bytes);

// Install a replacement (null: the real one); the previous one is returned.
TARVELIN_API SleepFn SetSleep(SleepFn sleep);
TARVELIN_API FreeSpaceFn SetFreeSpaceQuery(FreeSpaceFn query);

void Sleep(std::uint32_t milliseconds);
// Bytes free for the file system that will hold the file at path.
bool FreeSpaceFor(const std::string& path, std::uint64_t& bytes);

} // namespace tarvelin::capture
