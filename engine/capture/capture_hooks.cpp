#include "capture/capture_hooks.h"

#include "platform/path.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tarvelin::capture {

namespace {
std::atomic<SleepFn> sleepHook{nullptr};
std::atomic<FreeSpaceFn> freeSpaceHook{nullptr};
} // namespace

SleepFn SetSleep(SleepFn sleep)
{
    return sleepHook.exchange(sleep);
}

FreeSpaceFn SetFreeSpaceQuery(FreeSpaceFn query)
{
    return freeSpaceHook.exchange(query);
}

void Sleep(std::uint32_t milliseconds)
{
    if (SleepFn hook = sleepHook.load()) {
        hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool FreeSpaceFor(const std::string& path, std::uint64_t& bytes)
{
    // The file does not exist yet; the folder that will hold it does, and
    // names the right file system whatever form the path has.
    std::string folder(platform::FolderOf(path));
    if (folder.empty()) {
        folder = ".";
    }
    if (FreeSpaceFn hook = freeSpaceHook.load()) {
        return hook(folder, bytes);
    }
    return platform::FreeDiskSpace(folder, bytes);
}

} // namespace tarvelin::capture
