#include "convert/batch_pipeline.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tarvelin {

namespace {

// One batch being written, one being produced and one ready between them,
// so that a slow write or a slow batch does not stall the other side at once.
constexpr std::size_t kSlots = 3;

BatchRun RunOnOneThread(std::uint32_t batches, std::uint8_t* buffer, const ProduceBatch& produce,
                        const ConsumeBatch& consume)
{
    for (std::uint32_t batch = 0; batch < batches; ++batch) {
        const std::size_t size = produce(batch, buffer);
        if (!consume(batch, buffer, size)) {
            return BatchRun::Stopped;
        }
    }
    return BatchRun::Finished;
}

} // namespace

BatchRun RunBatches(std::uint32_t batches, std::size_t bufferBytes, const ProduceBatch& produce,
                    const ConsumeBatch& consume)
{
    if (batches == 0) {
        return BatchRun::Finished;
    }
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
    try {
        for (std::size_t i = 0; i < kSlots; ++i) {
            buffers.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(bufferBytes));
        }
    } catch (const std::bad_alloc&) {
        return BatchRun::OutOfMemory;
    }
    if (batches == 1) {
        return RunOnOneThread(batches, buffers[0].get(), produce, consume);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> freeSlots;
    std::deque<std::size_t> fullSlots;
    std::size_t sizes[kSlots] = {};
    bool stop = false;
    for (std::size_t i = 0; i < kSlots; ++i) {
        freeSlots.push_back(i);
    }

    const auto producer = [&] {
        for (std::uint32_t batch = 0; batch < batches; ++batch) {
            std::size_t slot = 0;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || !freeSlots.empty(); });
                if (stop) {
                    return;
                }
                slot = freeSlots.front();
                freeSlots.pop_front();
            }
            const std::size_t size = produce(batch, buffers[slot].get());
            {
                const std::lock_guard lock(mutex);
                sizes[slot] = size;
                fullSlots.push_back(slot);
            }
            changed.notify_all();
        }
    };
    std::thread helper;
    try {
        helper = std::thread(producer);
    } catch (const std::system_error&) {
        return RunOnOneThread(batches, buffers[0].get(), produce, consume);
    }

    // The helper must be gone before the buffers and the queues are, also
    // when consume throws.
    const auto stopHelper = [&] {
        {
            const std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        helper.join();
    };
    BatchRun result = BatchRun::Finished;
    try {
        for (std::uint32_t batch = 0; batch < batches; ++batch) {
            std::size_t slot = 0;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !fullSlots.empty(); });
                slot = fullSlots.front();
                fullSlots.pop_front();
            }
            const bool goOn = consume(batch, buffers[slot].get(), sizes[slot]);
            {
                const std::lock_guard lock(mutex);
                freeSlots.push_back(slot);
            }
            changed.notify_all();
            if (!goOn) {
                result = BatchRun::Stopped;
                break;
            }
        }
    } catch (...) {
        stopHelper();
        throw;
    }
    stopHelper();
    return result;
}

} // namespace tarvelin
