// Per-thread caches of small blocks that trade batches through a depot.
//
//   thread A (allocates)          depot (locked per class)        thread B (frees)
//   cache: take a block  <--batch--  [batch][batch]...  <--batch--  cache: keep the block
//
// Caches and the depot keep the blocks' addresses, not lists linked through
// the blocks. A thread cache keeps up to two batches per class; a free into
// a full one first sends the older batch to the depot, and an allocation
// from an empty cache takes a batch from there (or asks the general
// allocator). The depot keeps a bounded number of batches per class; beyond
// that batches are freed.
#include "CmBlockCache.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define CM_BLOCK_CACHE_BYPASS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CM_BLOCK_CACHE_BYPASS 1
#endif
#endif

#ifdef CM_BLOCK_CACHE_BYPASS

void* CmBlockCacheTryAlloc(std::size_t aSize) noexcept { return ::operator new(aSize, std::nothrow); }

void CmBlockCacheFree(void* aBlock, std::size_t /*aSize*/) noexcept {
  if (aBlock) ::operator delete(aBlock);
}

#else

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = kCmBlockCacheMax / kGranule;
// Blocks per batch. Every batch crosses the depot's lock, whose cache line
// moves between the freeing and the allocating core each time (an event
// queue's owner spent 17 % of its time in the lock call, nearly all of it
// waiting for that line, with 64): 256 made a hand-off with four producers
// 10-15 % faster.
constexpr unsigned kBatch = 256;
// The depot keeps up to 2 MiB per class: enough for a burst of tens of
// thousands of small events to come back for reuse.
constexpr std::size_t kDepotBytesPerClass = 2u << 20;

std::size_t ClassOf(std::size_t aSize) { return aSize == 0 ? 0 : (aSize - 1) / kGranule; }
std::size_t ClassBytes(std::size_t aClass) { return (aClass + 1) * kGranule; }

void FreeBlocks(void* const* aBlocks, std::size_t aCount) {
  for (std::size_t i = 0; i < aCount; ++i) ::operator delete(aBlocks[i]);
}

// Batches of kBatch block addresses per class, under a lock per class.
class Depot {
 public:
  Depot() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      m_nCapacity[c] = kDepotBytesPerClass / ClassBytes(c) / kBatch * kBatch;
    }
  }
  // Copies a batch into aBlocks; false when the depot has none.
  bool Take(std::size_t aClass, void** aBlocks) {
    std::lock_guard<std::mutex> lock(m_Mutex[aClass]);
    std::vector<void*>& blocks = m_Blocks[aClass];
    if (blocks.empty()) return false;
    std::memcpy(aBlocks, blocks.data() + blocks.size() - kBatch, kBatch * sizeof(void*));
    blocks.resize(blocks.size() - kBatch);
    return true;
  }
  // False when the depot is full: the caller frees the batch.
  bool Give(std::size_t aClass, void* const* aBlocks) {
    std::lock_guard<std::mutex> lock(m_Mutex[aClass]);
    std::vector<void*>& blocks = m_Blocks[aClass];
    if (blocks.size() + kBatch > m_nCapacity[aClass]) return false;
    blocks.insert(blocks.end(), aBlocks, aBlocks + kBatch);
    return true;
  }

 private:
  std::mutex m_Mutex[kClasses];
  std::vector<void*> m_Blocks[kClasses];  // guarded by m_Mutex of its class; a multiple of kBatch
  std::size_t m_nCapacity[kClasses];
};

// Never destroyed: threads may free blocks while the process exits.
Depot& TheDepot() {
  static Depot* depot = new Depot;
  return *depot;
}

// A thread's blocks, as a stack of addresses per class (up to two batches).
// The addresses live here rather than in a list linked through the blocks,
// so taking a block does not read it: a block freed on another core would
// make that read a cache miss on every allocation.
struct ThreadCache {
  void* blocks[kClasses][2 * kBatch];
  unsigned counts[kClasses] = {};

  // The older batch (the bottom of the stack) goes to the depot.
  void GiveOlderBatch(std::size_t aClass) {
    void** const stack = blocks[aClass];
    if (!TheDepot().Give(aClass, stack)) FreeBlocks(stack, kBatch);
    counts[aClass] -= kBatch;
    std::memmove(stack, stack + kBatch, counts[aClass] * sizeof(void*));
  }

  void Flush() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      if (counts[c] >= kBatch) GiveOlderBatch(c);
      FreeBlocks(blocks[c], counts[c]);
      counts[c] = 0;
    }
  }
};

// The calling thread's cache: a word in the static TLS block, so the fast
// paths need no lookup call and no initialisation guard. Null before the
// thread's first slow path and after its end.
thread_local ThreadCache* t_pCache __attribute__((tls_model("initial-exec"))) = nullptr;

// Made on a thread's first slow path (on the heap: 64 KiB of addresses is
// too much to add to every thread's static storage); handed back at the
// thread's end.
struct CacheOwner {
  ThreadCache* cache = nullptr;
  bool ended = false;
  ~CacheOwner() {
    ended = true;
    t_pCache = nullptr;
    if (cache) cache->Flush();
    delete cache;
  }
};

ThreadCache* CacheForSlowPath() {
  if (!t_pCache) {
    static thread_local CacheOwner owner;
    // A thread past its end has no cache (nor one that cannot be made);
    // callers then use the general allocator.
    if (!owner.ended && !owner.cache) t_pCache = owner.cache = new (std::nothrow) ThreadCache;
  }
  return t_pCache;
}

[[gnu::noinline]] void* AllocSlow(std::size_t aClass) noexcept {
  ThreadCache* const cache = CacheForSlowPath();
  if (cache && TheDepot().Take(aClass, cache->blocks[aClass])) {
    cache->counts[aClass] = kBatch - 1;
    return cache->blocks[aClass][kBatch - 1];
  }
  return ::operator new(ClassBytes(aClass), std::nothrow);
}

[[gnu::noinline]] void FreeSlow(void* aBlock, std::size_t aClass) noexcept {
  ThreadCache* const cache = CacheForSlowPath();
  if (!cache) {
    ::operator delete(aBlock);
    return;
  }
  if (cache->counts[aClass] == 2 * kBatch) cache->GiveOlderBatch(aClass);
  cache->blocks[aClass][cache->counts[aClass]++] = aBlock;
}

}  // namespace

void* CmBlockCacheTryAlloc(std::size_t aSize) noexcept {
  if (aSize <= kCmBlockCacheMax) {
    const std::size_t c = ClassOf(aSize);
    ThreadCache* const cache = t_pCache;
    if (cache && cache->counts[c] != 0) return cache->blocks[c][--cache->counts[c]];
    return AllocSlow(c);
  }
  return ::operator new(aSize, std::nothrow);
}

void CmBlockCacheFree(void* aBlock, std::size_t aSize) noexcept {
  if (!aBlock) return;
  if (aSize <= kCmBlockCacheMax) {
    const std::size_t c = ClassOf(aSize);
    ThreadCache* const cache = t_pCache;
    if (!cache || cache->counts[c] == 2 * kBatch) return FreeSlow(aBlock, c);
    cache->blocks[c][cache->counts[c]++] = aBlock;
    return;
  }
  ::operator delete(aBlock);
}

#endif  // CM_BLOCK_CACHE_BYPASS

void* CmBlockCacheAlloc(std::size_t aSize) {
  void* const block = CmBlockCacheTryAlloc(aSize);
  if (!block) throw std::bad_alloc();
  return block;
}
