#pragma once

// The progress callback of every long operation.

#include <cmath>
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

// The last value of a conversion (image to ISO, ISO to BIN and CUE), after
// its percent reports: the output is complete, or it failed or was stopped.
inline constexpr std::int32_t kConvertDone = 200;
inline constexpr std::int32_t kConvertFailed = 201;

// The last value of a capture (a CD-ROM rip, a diskette copy), after its
// percent reports: stopped with the unfinished image removed, or complete.
inline constexpr std::int32_t kCaptureAborted = -1;
inline constexpr std::int32_t kCaptureFinished = -2;

// A job's fraction done (core/job.h) on the scale of a value protocol:
// 100 for percents, 1000 for thousandths.
inline std::int32_t ScaledProgress(double fraction, int scale = 100)
{
    return static_cast<std::int32_t>(std::lround(fraction * scale));
}

} // namespace tarvelin
