#pragma once

// The progress callback of every long operation.

#include <cstdint>

namespace tarvelin {

// (context, value) -> keep going. The context is the caller's, handed back
// unchanged; what the values mean and where a false answer is looked at is
// each operation's own protocol.
using ProgressFn = bool (*)(void* context, std::int32_t value);

// The last value of the save of an edited image and of the build of a new
// image: the work is complete, or it failed (the component's GetLastError
// says why).
inline constexpr std::int32_t kProgressDone = 2000;
inline constexpr std::int32_t kProgressFailed = 2001;

} // namespace tarvelin
