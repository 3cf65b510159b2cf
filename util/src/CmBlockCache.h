// CmBlockCache.h - recycled small blocks for objects that are made on one
// thread and freed on another (events, pool blocks).
//
// A freed block goes to the freeing thread's cache; a thread that allocates
// takes from its own cache, and caches trade whole batches of blocks through
// a shared depot, so a producer whose blocks are freed by a consumer gets
// them back a batch at a time (one lock hold per batch) instead of paying
// the general allocator's cross-thread path for every block. Blocks are
// grouped in 16-byte size classes up to kCmBlockCacheMax bytes; larger ones
// go to the general allocator. The memory of cached blocks is kept for reuse
// (bounded per thread and in the depot), not returned to the system.
//
// Address-sanitizer builds pass every request straight to the general
// allocator, so that a block used after it was freed is still reported.
//
// Thread safety: any thread; a thread's cache is flushed to the depot when
// the thread ends.
#ifndef CM_BLOCK_CACHE_H
#define CM_BLOCK_CACHE_H

#include <cstddef>

constexpr std::size_t kCmBlockCacheMax = 256;

// A block of at least aSize bytes, aligned for any fundamental type; throws
// std::bad_alloc like operator new when memory runs out.
void* CmBlockCacheAlloc(std::size_t aSize);
// Null on failure instead.
void* CmBlockCacheTryAlloc(std::size_t aSize) noexcept;
// aSize must be the size the block was allocated with.
void CmBlockCacheFree(void* aBlock, std::size_t aSize) noexcept;

#endif  // CM_BLOCK_CACHE_H
