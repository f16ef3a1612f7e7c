// Blocks are anonymous mappings. One that holds at least a large page is
// placed on a large-page boundary and marked for large pages, which Linux
// grants where transparent huge pages are enabled for marked memory.

#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;

std::size_t PageSize()
{
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t RoundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

} // namespace

void* AllocateBlock(std::size_t bytes)
{
    if (bytes == 0 || bytes > SIZE_MAX - kLargePage) {
        return nullptr;
    }
    const std::size_t length = RoundUp(bytes, PageSize());
    const bool large = length >= kLargePage;
    // A large block is mapped with a large page of slack, cut away on both
    // sides once the boundary inside is known.
    const std::size_t mapped = large ? length + kLargePage : length;
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    if (!large) {
        return raw;
    }
    auto* const start = static_cast<std::uint8_t*>(raw);
    const std::size_t before = (kLargePage - reinterpret_cast<std::uintptr_t>(start) % kLargePage) % kLargePage;
    if (before != 0) {
        ::munmap(start, before);
    }
    if (const std::size_t after = mapped - before - length; after != 0) {
        ::munmap(start + before + length, after);
    }
#ifdef MADV_HUGEPAGE
    ::madvise(start + before, length, MADV_HUGEPAGE); // a hint: without large pages the block works as well
#endif
    return start + before;
}

void FreeBlock(void* block, std::size_t bytes)
{
    if (block != nullptr) {
        ::munmap(block, RoundUp(bytes, PageSize()));
    }
}

} // namespace tarvelin::platform
