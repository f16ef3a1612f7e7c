#pragma once

// A command waiting for an engine's worker (a build or a save): the worker's
// progress callback draws the bar and, at its last report, calls End; the
// command's thread blocks in Wait until then.

#include "percent_bar.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarvelin::cli {

class WorkerWatch {
public:
    explicit WorkerWatch(const char* label) : bar(label) {}
    WorkerWatch(const WorkerWatch&) = delete;
    WorkerWatch& operator=(const WorkerWatch&) = delete;

    // On the worker: the final value (or a cancel the command asked for);
    // wakes Wait.
    void End(std::int32_t finalValue, bool cancelled = false);
    // Blocks until End, then ends the bar's line.
    void Wait();
    // Read after Wait.
    std::int32_t FinalValue() const { return finalValue_; }
    bool Cancelled() const { return cancelled_; }

    PercentBar bar;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool cancelled_ = false;
    std::int32_t finalValue_ = 0;
};

} // namespace tarvelin::cli
