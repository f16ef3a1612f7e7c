// The batch pipeline of the conversions: batches written in order with the
// bytes of their own number, whichever thread produced them (the
// conversions' three batches meet in every order too rarely to show a
// mix-up); stops and exceptions that end the run with the helper gone.

#include "convert/batch_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
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

TEST(ConvertBatchPipelineTest, BatchesArriveInOrderWhicheverThreadMadeThem)
{
    constexpr std::uint32_t kBatches = 200;
    const std::thread::id writer = std::this_thread::get_id();
    std::atomic<std::uint32_t> produced{0};
    std::vector<std::uint32_t> order;
    std::uint32_t wrong = 0;
    const BatchRun run = RunBatches(
        kBatches, kBatchBytes,
        [&](std::uint32_t batch, std::uint8_t* buffer) {
            ++produced;
            // A helper that lags now and then, and a writer that lags at
            // other times (below), so that the threads meet in every order.
            if (std::this_thread::get_id() != writer && batch % 3 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return FillBatch(batch, buffer);
        },
        [&](std::uint32_t batch, const std::uint8_t* bytes, std::size_t size) {
            order.push_back(batch);
            if (batch % 7 == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            std::vector<std::uint8_t> expected(kBatchBytes);
            const bool same = size == FillBatch(batch, expected.data()) && std::memcmp(bytes, expected.data(), size) == 0;
            wrong += same ? 0 : 1;
            return true;
        });
    EXPECT_EQ(run, BatchRun::Finished);
    std::vector<std::uint32_t> inOrder(kBatches);
    for (std::uint32_t i = 0; i < kBatches; ++i) {
        inOrder[i] = i;
    }
    EXPECT_EQ(order, inOrder);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(produced.load(), kBatches) << "each batch produced once";
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
