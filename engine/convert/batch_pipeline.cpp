#include "convert/batch_pipeline.h"

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace tarvelin {

namespace {

// One batch being written, one being produced and one ready between them.
constexpr std::size_t kSlots = 3;

enum class SlotState { Free, Producing, Full, Consuming };

struct Slot {
    std::unique_ptr<std::uint8_t[]> bytes;
    SlotState state = SlotState::Free;
    std::uint32_t batch = 0;
    std::size_t size = 0;
};

// Batches are claimed for producing strictly in order, by the helper thread
// or, when the batch the writer needs next has not been claimed yet, by the
// writer itself: a writer never sleeps waiting for a helper that the system
// has not scheduled, so two threads are never slower than one.
class Pipeline {
public:
    Pipeline(std::uint32_t batches, std::array<Slot, kSlots>& slots, const ProduceBatch& produce,
             const ConsumeBatch& consume)
        : batches_(batches), slots_(slots), produce_(produce), consume_(consume)
    {
    }

    void RunHelper()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            Slot* slot = nullptr;
            changed_.wait(lock, [&] { return stop_ || nextToProduce_ == batches_ || (slot = FreeSlot()) != nullptr; });
            if (stop_ || nextToProduce_ == batches_) {
                return;
            }
            Claim(*slot);
            lock.unlock();
            slot->size = produce_(slot->batch, slot->bytes.get());
            lock.lock();
            slot->state = SlotState::Full;
            changed_.notify_all();
        }
    }

    // On the calling thread; false when a consume stopped the run.
    bool RunWriter()
    {
        for (std::uint32_t batch = 0; batch < batches_; ++batch) {
            Slot* slot = nullptr;
            bool produceHere = false;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] {
                    slot = FullSlot(batch);
                    if (slot == nullptr && nextToProduce_ == batch) {
                        slot = FreeSlot();
                        produceHere = slot != nullptr;
                    }
                    return slot != nullptr;
                });
                if (produceHere) {
                    Claim(*slot);
                }
                slot->state = produceHere ? SlotState::Producing : SlotState::Consuming;
            }
            if (produceHere) {
                slot->size = produce_(slot->batch, slot->bytes.get());
            }
            const bool goOn = consume_(batch, slot->bytes.get(), slot->size);
            {
                const std::lock_guard lock(mutex_);
                slot->state = SlotState::Free;
                if (!goOn) {
                    stop_ = true;
                }
            }
            changed_.notify_all();
            if (!goOn) {
                return false;
            }
        }
        return true;
    }

    void Stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

private:
    Slot* FreeSlot()
    {
        for (Slot& slot : slots_) {
            if (slot.state == SlotState::Free) {
                return &slot;
            }
        }
        return nullptr;
    }

    Slot* FullSlot(std::uint32_t batch)
    {
        for (Slot& slot : slots_) {
            if (slot.state == SlotState::Full && slot.batch == batch) {
                return &slot;
            }
        }
        return nullptr;
    }

    void Claim(Slot& slot)
    {
        slot.state = SlotState::Producing;
        slot.batch = nextToProduce_++;
    }

    const std::uint32_t batches_;
    std::array<Slot, kSlots>& slots_;
    const ProduceBatch& produce_;
    const ConsumeBatch& consume_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint32_t nextToProduce_ = 0;
    bool stop_ = false;
};

} // namespace

BatchRun RunBatches(std::uint32_t batches, std::size_t bufferBytes, const ProduceBatch& produce,
                    const ConsumeBatch& consume)
{
    if (batches == 0) {
        return BatchRun::Finished;
    }
    std::array<Slot, kSlots> slots;
    try {
        for (Slot& slot : slots) {
            slot.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(bufferBytes);
        }
    } catch (const std::bad_alloc&) {
        return BatchRun::OutOfMemory;
    }
    Pipeline pipeline(batches, slots, produce, consume);
    std::thread helper;
    if (batches > 1) {
        try {
            helper = std::thread([&pipeline] { pipeline.RunHelper(); });
        } catch (const std::system_error&) {
            // Without a helper the writer produces every batch itself.
        }
    }
    // The helper must be gone before the slots and the pipeline are, also
    // when consume throws.
    const auto stopHelper = [&] {
        pipeline.Stop();
        if (helper.joinable()) {
            helper.join();
        }
    };
    bool finished = false;
    try {
        finished = pipeline.RunWriter();
    } catch (...) {
        stopHelper();
        throw;
    }
    stopHelper();
    return finished ? BatchRun::Finished : BatchRun::Stopped;
}

} // namespace tarvelin
