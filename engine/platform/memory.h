#pragma once

// Blocks of memory for structures that grow to megabytes (the nodes of an
// image's tree), taken from the system directly. Where the system can, it
// backs a large block with large pages: a process that fills megabytes of
// fresh memory then takes one fault per 2 MiB instead of one per 4 KiB.
// Used inside the engine only.

#include <cstddef>

namespace tarvelin::platform {

// A zero-filled block of bytes, aligned for any object; null when the
// memory cannot be had. Pages are committed when first touched.
void* AllocateBlock(std::size_t bytes);
// Gives back a block of AllocateBlock, with the size it was asked for.
void FreeBlock(void* block, std::size_t bytes);

} // namespace tarvelin::platform
