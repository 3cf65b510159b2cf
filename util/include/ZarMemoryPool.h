// ZarMemoryPool.h - a pool of fixed-size memory blocks for hot media paths.
//
//   IZARMemPool* pool = CreateZARMemPool(1500, 200);  // one reference
//   pool->Init();                                      // 10 blocks ready
//   void* packet = pool->Alloc(1200);                  // <= 1500 bytes
//   ...
//   pool->Free(packet);
//   pool->Release();                                   // frees the free list
//
// The pool creates blocks in steps of 10 up to its limit and never returns
// them to the system before Uninit (or its destruction). Blocks handed out
// are not tracked: Free trusts its caller, and blocks still out at Uninit or
// destruction stay the caller's to free (with free()).
//
// Threads sharing a pool: with one lock around one free list, two threads
// doing Alloc/Free spent most of their time passing the lock and its cache
// line between cores (5.9 times glibc malloc, which gives each thread an
// arena). The free blocks are therefore kept in a few small last-in
// first-out stacks, one per thread (up to 8 threads; more share them), each
// with a lock only its own thread normally takes; after warm-up Alloc and
// Free are an uncontended exchange and a pop or push there. A shared list
// behind them takes the overflow, refills in batches and alone creates
// blocks. What a caller observes stays as with one list: the pool grows in
// steps of 10 only when no free block is left in any stack, Alloc fails at
// the limit only when every block is out (it takes blocks freed by other
// threads back first), and the counts in the trace lines are those of the
// whole pool. The difference: the block a thread gets back first is the last
// one it freed itself, not the last one freed by any thread.
#ifndef ZAR_MEMORY_POOL_H
#define ZAR_MEMORY_POOL_H

#include "ZarUnknown.h"

// {5A415201-2013-0114-0123-456789ABCDEF}: answered by ZARMemPool besides
// zar::IID_IZarUnknown.
constexpr zar::_tagUUID IID_IZARMemPool = {0x5A415201, 0x2013, 0x0114,
                                           {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// A pool of equal-sized blocks behind the counted interface; CreateZARMemPool
// makes one. Thread safety: as ZARMemPool below.
class IZARMemPool : public zar::IZarUnknown {
 public:
  // Creates the pool state once, with min(10, limit) blocks; true also when
  // already initialised (and when the sizes are 0, after an assertion).
  virtual bool Init() = 0;
  // Frees the free list and restarts the count of created blocks; false
  // before Init.
  virtual bool Uninit() = 0;
  // A block of the pool's block size; null when size exceeds it, before
  // Init, or when the limit is reached (level-3 trace).
  virtual void* Alloc(unsigned int size) = 0;
  // Puts a block back; null is refused with an assertion.
  virtual void Free(void* block) = 0;
};

struct ZARMemPoolState;

// Lifetime: counted (IZarUnknown); CreateZARMemPool returns it with one
// reference, the last Release destroys it.
// Thread safety: Alloc, Free and Uninit may be called from any thread (a
// lock per stack of free blocks and one mutex over the shared list and the
// counts). Init takes no lock and must not race with any other call.
class CM_EXPORT ZARMemPool : public IZARMemPool, public zar::CZarUnknownImpl {
 public:
  ZARMemPool(unsigned int blockSize, unsigned int blockLimit);
  ~ZARMemPool() override;
  ZARMemPool(const ZARMemPool&) = delete;
  ZARMemPool& operator=(const ZARMemPool&) = delete;

  uint32_t AddRef() override;
  uint32_t Release() override;
  // Answers zar::IID_IZarUnknown (the CZarUnknownImpl part, as every
  // implementation does) and IID_IZARMemPool (an IZARMemPool pointer).
  CmResult QueryInterface(const zar::_tagUUID& aIid, void** aOut) override;
  uint32_t GetReference() override;

  bool Init() override;
  bool Uninit() override;
  void* Alloc(unsigned int size) override;
  void Free(void* block) override;

 private:
  DWORD m_dwBlockSize;
  DWORD m_dwBlockLimit;
  ZARMemPoolState* m_pState;
};

CM_EXPORT IZARMemPool* CreateZARMemPool(unsigned int blockSize, unsigned int blockLimit);

#endif  // ZAR_MEMORY_POOL_H
