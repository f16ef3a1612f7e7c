#pragma once

// The progress callback of every long operation.

#include <cstdint>

namespace tarvelin {

// (context, value) -> keep going. The context is the caller's, handed back
// unchanged; what the values mean and where a false answer is looked at is
// each operation's own protocol.
using ProgressFn = bool (*)(void* context, std::int32_t value);

} // namespace tarvelin
