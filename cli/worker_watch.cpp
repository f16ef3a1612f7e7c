#include "worker_watch.h"

namespace tarvelin::cli {

void WorkerWatch::End(std::int32_t finalValue, bool cancelled)
{
    std::lock_guard lock(mutex_);
    ended_ = true;
    cancelled_ = cancelled;
    finalValue_ = finalValue;
    changed_.notify_one();
}

void WorkerWatch::Wait()
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_; });
    }
    bar.Finish();
}

} // namespace tarvelin::cli
