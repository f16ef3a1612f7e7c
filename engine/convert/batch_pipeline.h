#pragma once

// Both conversions stream batches of sectors: a batch is produced (read out
// of the source and, for raw output, encoded) and then written. Producing
// runs on a helper thread one or two batches ahead of the writing, so that
// the two overlap on two cores; when the helper falls behind, the writing
// thread produces the batch it needs itself. Batches are written strictly in
// order, each produced from its number alone, so the output is the same
// bytes as one thread would write.

#include "platform/export.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tarvelin {

// Fills buffer with batch `batch`; returns the bytes it filled.
using ProduceBatch = std::function<std::size_t(std::uint32_t batch, std::uint8_t* buffer)>;
// Takes the bytes of batch `batch`; false stops the run.
using ConsumeBatch = std::function<bool(std::uint32_t batch, const std::uint8_t* bytes, std::size_t size)>;

enum class BatchRun {
    Finished,    // every batch was consumed
    Stopped,     // a consume returned false
    OutOfMemory, // the buffers could not be allocated; nothing was produced
};

// consume is called on the calling thread, in batch order; produce on the
// helper thread and on the calling thread, possibly at the same time for two
// different batches (so it may keep no state of its own across calls).
// bufferBytes is the most any batch fills.
TARVELIN_API BatchRun RunBatches(std::uint32_t batches, std::size_t bufferBytes, const ProduceBatch& produce,
                    const ConsumeBatch& consume);

} // namespace tarvelin
