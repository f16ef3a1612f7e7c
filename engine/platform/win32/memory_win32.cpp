// Blocks are committed virtual memory: Windows zero-fills them and backs
// them with pages as they are touched (large pages need a privilege users
// seldom hold, so none are asked for).

#include "platform/memory.h"

#include <windows.h>

namespace tarvelin::platform {

void* AllocateBlock(std::size_t bytes)
{
    if (bytes == 0) {
        return nullptr;
    }
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeBlock(void* block, std::size_t /*bytes*/)
{
    if (block != nullptr) {
        ::VirtualFree(block, 0, MEM_RELEASE);
    }
}

} // namespace tarvelin::platform
