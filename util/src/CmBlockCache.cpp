// Per-thread caches of small blocks that trade batches through a depot.
//
//   thread A (allocates)          depot (locked per class)        thread B (frees)
//   cache: take a block  <--batch--  [batch][batch]...  <--batch--  cache: keep the block
//
// A block on a free list holds the link to the next one in its first word.
// A thread cache keeps up to two batches per class; when it holds more after
// a free, one batch goes to the depot, and an allocation from an empty cache
// takes a batch from there (or asks the general allocator). The depot keeps
// a bounded number of batches per class; beyond that batches are freed.
#include "CmBlockCache.h"

#include <mutex>
#include <new>

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
constexpr unsigned kBatch = 64;
// The depot keeps up to 2 MiB per class: enough for a burst of tens of
// thousands of small events to come back for reuse.
constexpr std::size_t kDepotBytesPerClass = 2u << 20;

struct FreeBlock {
  FreeBlock* next;
};

std::size_t ClassOf(std::size_t aSize) { return aSize == 0 ? 0 : (aSize - 1) / kGranule; }
std::size_t ClassBytes(std::size_t aClass) { return (aClass + 1) * kGranule; }

// A list of blocks that moves as one.
struct Batch {
  FreeBlock* first;
  unsigned count;
};

class Depot {
 public:
  Depot() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      m_nCapacity[c] = static_cast<unsigned>(kDepotBytesPerClass / (kBatch * ClassBytes(c)));
      m_Batches[c] = new Batch[m_nCapacity[c]];
    }
  }
  bool Take(std::size_t aClass, Batch& aBatch) {
    std::lock_guard<std::mutex> lock(m_Mutex[aClass]);
    unsigned& n = m_nBatches[aClass];
    if (n == 0) return false;
    aBatch = m_Batches[aClass][--n];
    return true;
  }
  // False when the depot is full: the caller frees the batch.
  bool Give(std::size_t aClass, const Batch& aBatch) {
    std::lock_guard<std::mutex> lock(m_Mutex[aClass]);
    unsigned& n = m_nBatches[aClass];
    if (n == m_nCapacity[aClass]) return false;
    m_Batches[aClass][n++] = aBatch;
    return true;
  }

 private:
  std::mutex m_Mutex[kClasses];
  unsigned m_nBatches[kClasses] = {};  // guarded by m_Mutex of its class
  unsigned m_nCapacity[kClasses];
  Batch* m_Batches[kClasses];
};

// Never destroyed: threads may free blocks while the process exits.
Depot& TheDepot() {
  static Depot* depot = new Depot;
  return *depot;
}

void FreeList(FreeBlock* aFirst) {
  while (aFirst) {
    FreeBlock* const next = aFirst->next;
    ::operator delete(aFirst);
    aFirst = next;
  }
}

struct ThreadCache {
  FreeBlock* heads[kClasses] = {};
  unsigned counts[kClasses] = {};

  // Moves kBatch blocks of class aClass out as a batch.
  Batch Split(std::size_t aClass) {
    Batch batch{heads[aClass], kBatch};
    FreeBlock* last = heads[aClass];
    for (unsigned i = 1; i < kBatch; ++i) last = last->next;
    heads[aClass] = last->next;
    last->next = nullptr;
    counts[aClass] -= kBatch;
    return batch;
  }

  void Flush() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (counts[c] >= kBatch) {
        Batch batch = Split(c);
        if (!TheDepot().Give(c, batch)) FreeList(batch.first);
      }
      FreeList(heads[c]);
      heads[c] = nullptr;
      counts[c] = 0;
    }
  }
};

// The calling thread's cache: a word in the static TLS block, so the fast
// paths need no lookup call and no initialisation guard. Null before the
// thread's first slow path and after its end.
thread_local ThreadCache* t_pCache __attribute__((tls_model("initial-exec"))) = nullptr;

// Created on a thread's first slow path; hands the cache back at its end.
struct CacheOwner {
  ThreadCache cache;
  CacheOwner() { t_pCache = &cache; }
  ~CacheOwner() {
    t_pCache = nullptr;
    cache.Flush();
  }
};

ThreadCache* CacheForSlowPath() {
  if (!t_pCache) {
    static thread_local CacheOwner owner;  // its constructor sets t_pCache
    // A thread past its end (owner destroyed) has no cache; callers then
    // use the general allocator.
  }
  return t_pCache;
}

}  // namespace

namespace {

[[gnu::noinline]] void* AllocSlow(std::size_t aClass) noexcept {
  ThreadCache* const cache = CacheForSlowPath();
  Batch batch;
  if (cache && TheDepot().Take(aClass, batch)) {
    FreeBlock* const block = batch.first;
    cache->heads[aClass] = block->next;
    cache->counts[aClass] = batch.count - 1;
    return block;
  }
  return ::operator new(ClassBytes(aClass), std::nothrow);
}

[[gnu::noinline]] void FreeSlow(FreeBlock* aBlock, std::size_t aClass) noexcept {
  ThreadCache* const cache = CacheForSlowPath();
  if (!cache) {
    ::operator delete(aBlock);
    return;
  }
  aBlock->next = cache->heads[aClass];
  cache->heads[aClass] = aBlock;
  ++cache->counts[aClass];
}

[[gnu::noinline]] void GiveBatch(ThreadCache* aCache, std::size_t aClass) noexcept {
  Batch batch = aCache->Split(aClass);
  if (!TheDepot().Give(aClass, batch)) FreeList(batch.first);
}

}  // namespace

void* CmBlockCacheTryAlloc(std::size_t aSize) noexcept {
  if (aSize <= kCmBlockCacheMax) {
    const std::size_t c = ClassOf(aSize);
    ThreadCache* const cache = t_pCache;
    if (cache && cache->heads[c]) {
      FreeBlock* const block = cache->heads[c];
      cache->heads[c] = block->next;
      --cache->counts[c];
      return block;
    }
    return AllocSlow(c);
  }
  return ::operator new(aSize, std::nothrow);
}

void CmBlockCacheFree(void* aBlock, std::size_t aSize) noexcept {
  if (!aBlock) return;
  if (aSize <= kCmBlockCacheMax) {
    const std::size_t c = ClassOf(aSize);
    FreeBlock* const block = static_cast<FreeBlock*>(aBlock);
    ThreadCache* const cache = t_pCache;
    if (!cache) return FreeSlow(block, c);
    block->next = cache->heads[c];
    cache->heads[c] = block;
    if (++cache->counts[c] >= 2 * kBatch) GiveBatch(cache, c);
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
