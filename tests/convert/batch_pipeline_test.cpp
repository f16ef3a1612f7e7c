// The batch pipeline of the conversions: stops and exceptions that end the
// run with the helper gone. (The order and bytes of the batches are held
// to the independent encoder by the conversions' own tests.)

#include "convert/batch_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace tarvelin {
namespace {

constexpr std::size_t kBatchBytes = 4096;

// Batch n: kBatchBytes bytes of the value n * 7 + i, short by n % 5 bytes.
std::size_t FillBatch(std::uint32_t batch, std::uint8_t* buffer)
{
    const std::size_t size = kBatchBytes - batch % 5;
    for (std::size_t i = 0; i < size; ++i) {
        buffer[i] = static_cast<std::uint8_t>(batch * 7 + i);
    }
    return size;
}

TEST(ConvertBatchPipelineTest, AFalseConsumeStopsTheRunAndAThrowingOneEndsItToo)
{
    std::vector<std::uint32_t> consumed;
    std::atomic<std::uint32_t> produced{0};
    const BatchRun run = RunBatches(
        100, kBatchBytes,
        [&](std::uint32_t batch, std::uint8_t* buffer) {
            ++produced;
            return FillBatch(batch, buffer);
        },
        [&](std::uint32_t batch, const std::uint8_t*, std::size_t) {
            consumed.push_back(batch);
            return batch < 5;
        });
    EXPECT_EQ(run, BatchRun::Stopped);
    EXPECT_EQ(consumed, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_LE(produced.load(), 6u + 3u) << "the helper runs at most the slots ahead";

    EXPECT_THROW(RunBatches(
                     100, kBatchBytes, FillBatch,
                     [](std::uint32_t batch, const std::uint8_t*, std::size_t) -> bool {
                         if (batch == 3) {
                             throw std::runtime_error("consume failed");
                         }
                         return true;
                     }),
                 std::runtime_error);
    EXPECT_EQ(RunBatches(0, kBatchBytes, FillBatch, [](std::uint32_t, const std::uint8_t*, std::size_t) {
                  return false;
              }),
              BatchRun::Finished);
}

} // namespace
} // namespace tarvelin
