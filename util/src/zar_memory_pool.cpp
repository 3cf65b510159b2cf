// ZARMemPool: fixed-size blocks from malloc, kept on last-in first-out
// stacks so that the block handed out next is the one most recently touched
// (warm in cache).
//
// One mutex around one free list made every Alloc and Free of threads that
// share a pool fight over the same lock and cache line. The free blocks are
// therefore split: each pool has a few small stacks ("shards"), and a thread
// always uses the same shard (threads are numbered as they first touch any
// pool). A shard has a lock of its own that in practice only its thread
// takes, so a warm Alloc or Free is an uncontended exchange and a pop or
// push on memory that stays in that core's cache. Behind the shards, the
// shared list under the pool mutex takes what overflows a shard and refills
// an empty one in batches; it alone grows the pool and keeps the count of
// created blocks, so the limit and the steps of 10 are exactly those of a
// single list.
//
// A thread whose shard and the shared list are empty first collects the
// blocks parked in the other shards before it grows the pool, so the pool
// grows only when no free block is left anywhere and Alloc fails only when
// every created block is out, as with a single list.
//
// Lock order: the pool mutex, then a shard lock. A shard lock is held only
// for a few loads and stores and never while waiting for anything else.
// Trace lines are formatted after every lock is released; their counts
// (blocks in the pool, blocks created) are read just after the operation,
// which is exact while no other thread uses the pool at that moment.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "CmDebug.h"
#include "ZarMemoryPool.h"
#include "platform/CmPlatformThread.h"

namespace {

constexpr DWORD kGrowStep = 10;
constexpr unsigned kShardCount = 8;
constexpr unsigned kShardCapacity = 16;
// Blocks moved between a shard and the shared list at a time: half a shard,
// so a thread that frees and allocates around the boundary does not bounce.
constexpr unsigned kBatch = kShardCapacity / 2;

// The shard of the calling thread, fixed for its life. Threads are numbered
// in the order they first use a pool, so the first kShardCount threads never
// share a shard.
unsigned ThreadShard() {
  static std::atomic<unsigned> s_nNextThread{0};
  // Initial-exec: a plain load from the thread pointer instead of a call
  // into the dynamic linker on every Alloc and Free.
  static thread_local unsigned t_nShard [[gnu::tls_model("initial-exec")]] = kShardCount;
  if (t_nShard == kShardCount) t_nShard = s_nNextThread.fetch_add(1, std::memory_order_relaxed) % kShardCount;
  return t_nShard;
}

// A small LIFO stack of free blocks with its own lock. The lock is held for
// a handful of instructions, so a waiter spins briefly and then gives the
// processor away (the holder may have been preempted).
struct alignas(64) ZARMemPoolShard {
  std::atomic<bool> m_bLocked{false};
  // Written only under the lock; atomic so that the trace counts may read
  // it without the lock.
  std::atomic<uint32_t> m_nCount{0};
  void* m_Blocks[kShardCapacity];

  void Lock() {
    if (m_bLocked.exchange(true, std::memory_order_acquire)) LockContended();
  }
  [[gnu::noinline]] void LockContended() {
    while (m_bLocked.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; m_bLocked.load(std::memory_order_relaxed); ++spins) {
        if (spins < 64) {
          cm_platform::CpuRelax();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void Unlock() { m_bLocked.store(false, std::memory_order_release); }
  uint32_t Count() const { return m_nCount.load(std::memory_order_relaxed); }
};

}  // namespace

struct ZARMemPoolState {
  ZARMemPoolShard m_Shards[kShardCount];
  std::mutex m_Mutex;  // guards the members below; taken before a shard lock
  std::vector<void*> m_FreeList;
  DWORD m_dwBlockSize = 0;
  // Blocks created so far; written under m_Mutex, read by the trace counts.
  std::atomic<DWORD> m_dwCurrentSize{0};
  DWORD m_dwBlockLimit = 0;

  // Creates the next step of blocks; ZAR_E_FAIL when the limit is reached.
  // Caller holds m_Mutex.
  CmResult Expand() {
    const DWORD current = m_dwCurrentSize.load(std::memory_order_relaxed);
    if (current >= m_dwBlockLimit) return ZAR_E_FAIL;
    const DWORD left = m_dwBlockLimit - current;
    const DWORD step = left < kGrowStep ? left : kGrowStep;
    m_dwCurrentSize.store(current + step, std::memory_order_relaxed);
    // The list never holds more than the created blocks, so with this
    // capacity no later insert allocates (FreeSlow inserts under a shard
    // lock).
    m_FreeList.reserve(current + step);
    // A failed malloc leaves a null entry, which Alloc refuses to hand out.
    for (DWORD i = 0; i < step; ++i) m_FreeList.push_back(std::malloc(m_dwBlockSize));
    return ZAR_S_OK;
  }

  // Moves every block parked in the shards to the shared list (oldest shard
  // content first, so the most recently freed blocks end up on top).
  // Caller holds m_Mutex.
  void CollectShards() {
    for (ZARMemPoolShard& shard : m_Shards) {
      shard.Lock();
      const uint32_t n = shard.Count();
      m_FreeList.insert(m_FreeList.end(), shard.m_Blocks, shard.m_Blocks + n);
      shard.m_nCount.store(0, std::memory_order_relaxed);
      shard.Unlock();
    }
  }

  // Caller holds m_Mutex.
  void FreeAll() {
    CollectShards();
    for (void* block : m_FreeList) std::free(block);
    m_FreeList.clear();
    m_dwCurrentSize.store(0, std::memory_order_relaxed);
  }

  // Alloc when the caller's shard is empty: one block from the shared list
  // (collecting the shards, then growing, when it is empty) and a batch more
  // into the shard. Null with aExhausted set when every created block is
  // out and the limit is reached (aCreated: the count at that moment).
  void* AllocSlow(ZARMemPoolShard& aShard, bool& aExhausted, DWORD& aCreated) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_FreeList.empty()) CollectShards();
    if (m_FreeList.empty()) Expand();
    aCreated = m_dwCurrentSize.load(std::memory_order_relaxed);
    aExhausted = m_FreeList.empty();
    if (aExhausted) return nullptr;
    void* block = m_FreeList.back();
    m_FreeList.pop_back();
    aShard.Lock();
    const uint32_t n = aShard.Count();
    size_t take = kShardCapacity - n;
    if (take > kBatch) take = kBatch;
    if (take > m_FreeList.size()) take = m_FreeList.size();
    // Same order as on the shared list: the top of the shard is its top.
    memcpy(aShard.m_Blocks + n, m_FreeList.data() + (m_FreeList.size() - take), take * sizeof(void*));
    aShard.m_nCount.store(static_cast<uint32_t>(n + take), std::memory_order_relaxed);
    aShard.Unlock();
    m_FreeList.resize(m_FreeList.size() - take);
    return block;
  }

  // Free into a full shard: its older half goes to the shared list. The
  // move happens under the pool mutex so that the spilled blocks are never
  // in neither place: a thread that finds the shared list and every shard
  // empty must be able to conclude that every created block is out.
  void FreeSlow(ZARMemPoolShard& aShard, void* aBlock) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    aShard.Lock();
    uint32_t n = aShard.Count();
    if (n == kShardCapacity) {
      m_FreeList.insert(m_FreeList.end(), aShard.m_Blocks, aShard.m_Blocks + kBatch);
      memmove(aShard.m_Blocks, aShard.m_Blocks + kBatch, (n - kBatch) * sizeof(void*));
      n -= kBatch;
    }
    aShard.m_Blocks[n] = aBlock;
    aShard.m_nCount.store(n + 1, std::memory_order_relaxed);
    aShard.Unlock();
  }

  // Free blocks in the shared list and every shard (for the trace lines).
  size_t FreeCount() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    size_t n = m_FreeList.size();
    for (const ZARMemPoolShard& shard : m_Shards) n += shard.Count();
    return n;
  }
};

ZARMemPool::ZARMemPool(unsigned int blockSize, unsigned int blockLimit)
    : m_dwBlockSize(blockSize), m_dwBlockLimit(blockLimit), m_pState(nullptr) {}

ZARMemPool::~ZARMemPool() {
  if (!m_pState) return;
  {
    std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
    m_pState->FreeAll();
  }
  delete m_pState;
  m_pState = nullptr;
}

uint32_t ZARMemPool::AddRef() { return static_cast<uint32_t>(AddReference()); }

uint32_t ZARMemPool::Release() { return static_cast<uint32_t>(ReleaseReference()); }

uint32_t ZARMemPool::GetReference() { return static_cast<uint32_t>(CZarUnknownImpl::GetReference()); }

CmResult ZARMemPool::QueryInterface(const zar::_tagUUID& aIid, void** aOut) {
  if (aOut && aIid == IID_IZARMemPool) {
    *aOut = static_cast<IZARMemPool*>(this);
    AddRef();
    return ZAR_S_OK;
  }
  return CZarUnknownImpl::QueryInterface(aIid, aOut);
}

bool ZARMemPool::Init() {
  if (m_pState) return true;
  m_pState = new ZARMemPoolState;
  m_pState->m_dwBlockSize = m_dwBlockSize;
  m_pState->m_dwBlockLimit = m_dwBlockLimit;
  const DWORD initialCount = m_dwBlockLimit < kGrowStep ? m_dwBlockLimit : kGrowStep;
  CM_ASSERTE_RETURN(m_dwBlockSize != 0 && initialCount != 0, true);
  m_pState->m_dwCurrentSize.store(initialCount, std::memory_order_relaxed);
  m_pState->m_FreeList.reserve(initialCount);
  for (DWORD i = 0; i < initialCount; ++i) m_pState->m_FreeList.push_back(std::malloc(m_dwBlockSize));
  return true;
}

bool ZARMemPool::Uninit() {
  if (!m_pState) return false;
  std::lock_guard<std::mutex> lock(m_pState->m_Mutex);
  m_pState->FreeAll();
  return true;
}

namespace {

// The level-4 lines, kept out of the fast paths (their buffer would cost a
// large stack frame on every call).
[[gnu::noinline]] void TraceAllocOrFree(ZARMemPoolState* aState, const char* aWhat, void* aBlock) {
  const size_t inPool = aState->FreeCount();
  const DWORD created = aState->m_dwCurrentSize.load(std::memory_order_relaxed);
  CM_DETAIL_TRACE("ZAR_MEM_POOL " << aWhat << ", size_in_pool=" << inPool << ",cur_size=" << created
                                  << ",pData=" << aBlock);
}

// Alloc when the caller's shard was empty.
[[gnu::noinline]] void* AllocFromShared(ZARMemPoolState* aState, ZARMemPoolShard& aShard, DWORD aLimit) {
  bool exhausted = false;
  DWORD created = 0;
  void* pRet = aState->AllocSlow(aShard, exhausted, created);
  if (exhausted) {
    CM_DEBUG_TRACE("ZAR_MEM_POOL fail expand, cur_size=" << created << ",max_size=" << aLimit);
    return nullptr;
  }
  CM_ASSERTE_RETURN(pRet, nullptr);
  if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) TraceAllocOrFree(aState, "Alloc", pRet);
  return pRet;
}

// The end of an Alloc served by the shard whose block is null (a failed
// malloc) or whose line is wanted.
[[gnu::noinline]] void* AllocTail(ZARMemPoolState* aState, void* pRet) {
  CM_ASSERTE_RETURN(pRet, nullptr);
  if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) TraceAllocOrFree(aState, "Alloc", pRet);
  return pRet;
}

}  // namespace

void* ZARMemPool::Alloc(unsigned int size) {
  ZARMemPoolState* const state = m_pState;
  if (!state || size > m_dwBlockSize) return nullptr;
  ZARMemPoolShard& shard = state->m_Shards[ThreadShard()];
  shard.Lock();
  const uint32_t n = shard.Count();
  if (n == 0) {
    shard.Unlock();
    return AllocFromShared(state, shard, m_dwBlockLimit);
  }
  void* const pRet = shard.m_Blocks[n - 1];
  shard.m_nCount.store(n - 1, std::memory_order_relaxed);
  shard.Unlock();
  if (!pRet || CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) return AllocTail(state, pRet);
  return pRet;
}

void ZARMemPool::Free(void* pPointer) {
  ZARMemPoolState* const state = m_pState;
  if (!state) return;
  CM_ASSERTE_RETURN_VOID(pPointer!=nullptr);
  ZARMemPoolShard& shard = state->m_Shards[ThreadShard()];
  shard.Lock();
  const uint32_t n = shard.Count();
  if (n < kShardCapacity) {
    shard.m_Blocks[n] = pPointer;
    shard.m_nCount.store(n + 1, std::memory_order_relaxed);
    shard.Unlock();
  } else {
    shard.Unlock();
    state->FreeSlow(shard, pPointer);
  }
  if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) TraceAllocOrFree(state, "Free", pPointer);
}

IZARMemPool* CreateZARMemPool(unsigned int blockSize, unsigned int blockLimit) {
  ZARMemPool* pool = new ZARMemPool(blockSize, blockLimit);
  pool->AddRef();
  return pool;
}
