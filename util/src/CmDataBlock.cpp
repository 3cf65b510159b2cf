// CCmDataBlock: header and bytes in one malloc'ed allocation, so a packet
// costs one allocation and its bytes sit next to their count in cache.
//
// Packet-sized allocations (a 1500-byte block is 1532 bytes with its header)
// are too big for the C library's per-thread cache: each one took its
// general path, which was a third of a packet's life (create, write,
// duplicate, read, free) in the profile, more than copying the bytes twice.
// Allocations of up to 4 KiB are therefore kept per thread when freed, in
// classes of 256 bytes (each allocation is rounded up to its class so any
// block of the class can reuse it), up to 64 KiB per thread; the next block
// of the class created on that thread takes one back. A thread's cache is
// freed when the thread ends. Builds with the address sanitizer do not
// cache, so that a block used after its last release is still caught.
#include <cstdlib>
#include <cstring>
#include <new>

#include "CmDebug.h"
#include "CmMessageBlock.h"

namespace {

// Lengths are 32-bit; keep header + bytes + alignment within that range.
constexpr unsigned long kMaxDataBlockSize = 0xFFFFFFFFUL - 4096;

#if defined(__SANITIZE_ADDRESS__)
#define CM_DATA_BLOCK_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CM_DATA_BLOCK_CACHE 0
#endif
#endif
#ifndef CM_DATA_BLOCK_CACHE
#define CM_DATA_BLOCK_CACHE 1
#endif

#if CM_DATA_BLOCK_CACHE
constexpr size_t kClassBytes = 256;
constexpr size_t kClassCount = 16;  // allocations up to 4 KiB
constexpr unsigned kPerClass = 8;
constexpr size_t kCacheBudget = size_t{64} * 1024;  // bytes kept per thread

// The size class of an allocation of aTotal bytes; kClassCount when it is
// not cached.
size_t ClassOf(size_t aTotal) { return aTotal <= kClassBytes * kClassCount ? (aTotal - 1) / kClassBytes : kClassCount; }

// Freed allocations of the calling thread, by class. Only its thread
// touches it.
struct BlockCache {
  void* m_Slots[kClassCount][kPerClass] = {};
  unsigned char m_nCount[kClassCount] = {};
  size_t m_nBytes = 0;

  ~BlockCache() {
    for (size_t c = 0; c < kClassCount; ++c) {
      for (unsigned i = 0; i < m_nCount[c]; ++i) std::free(m_Slots[c][i]);
    }
  }

  void* Take(size_t aClass) {
    if (m_nCount[aClass] == 0) return nullptr;
    m_nBytes -= (aClass + 1) * kClassBytes;
    return m_Slots[aClass][--m_nCount[aClass]];
  }

  bool Keep(size_t aClass, void* aMemory) {
    const size_t bytes = (aClass + 1) * kClassBytes;
    if (m_nCount[aClass] == kPerClass || m_nBytes + bytes > kCacheBudget) return false;
    m_Slots[aClass][m_nCount[aClass]++] = aMemory;
    m_nBytes += bytes;
    return true;
  }
};

// The calling thread's cache, made at its first freed block. The pointer is
// an initial-exec thread-local (a load from the thread pointer, no call);
// the reaper, touched once per thread, frees the cache when the thread ends
// and leaves the pointer null and the gone flag set, so blocks freed later
// in that thread's exit go straight back to the C library.
thread_local BlockCache* t_pBlockCache [[gnu::tls_model("initial-exec")]] = nullptr;
thread_local bool t_bBlockCacheGone [[gnu::tls_model("initial-exec")]] = false;

struct BlockCacheReaper {
  ~BlockCacheReaper() {
    delete t_pBlockCache;
    t_pBlockCache = nullptr;
    t_bBlockCacheGone = true;
  }
};

[[gnu::noinline]] BlockCache* MakeBlockCache() {
  if (t_bBlockCacheGone) return nullptr;
  thread_local BlockCacheReaper t_Reaper;
  (void)t_Reaper;
  t_pBlockCache = new BlockCache;
  return t_pBlockCache;
}

void* AllocateBlockMemory(size_t aTotal) {
  const size_t cls = ClassOf(aTotal);
  if (cls == kClassCount) return std::malloc(aTotal);
  BlockCache* cache = t_pBlockCache;
  void* memory = cache ? cache->Take(cls) : nullptr;
  return memory ? memory : std::malloc((cls + 1) * kClassBytes);
}

void FreeBlockMemory(void* aMemory, size_t aTotal) {
  const size_t cls = ClassOf(aTotal);
  if (cls != kClassCount) {
    BlockCache* cache = t_pBlockCache ? t_pBlockCache : MakeBlockCache();
    if (cache && cache->Keep(cls, aMemory)) return;
  }
  std::free(aMemory);
}
#else
void* AllocateBlockMemory(size_t aTotal) { return std::malloc(aTotal); }
void FreeBlockMemory(void* aMemory, size_t) { std::free(aMemory); }
#endif

}  // namespace

CCmDataBlock::CCmDataBlock(DWORD aLength, char* aBase, DWORD aAlignOffset)
    : m_dwLength(aLength), m_pBasePtr(aBase), m_dwAlignOffset(aAlignOffset) {}

CCmDataBlock::~CCmDataBlock() = default;

void CCmDataBlock::OnReferenceDestory() {
  // The allocation's size, as Create computed it (the base sits at the
  // header's end plus the offset, and the length runs to the end).
  const size_t total = sizeof(CCmDataBlock) + m_dwAlignOffset + m_dwLength;
  this->~CCmDataBlock();
  FreeBlockMemory(this, total);
}

int CCmDataBlock::CreateInstance(CCmDataBlock*& aDb, unsigned long aSize, const char* aData) {
  CM_ASSERTE_RETURN(aSize > 0, ZAR_E_INVALIDARG);
  return Create(aDb, aSize, aData, 0);
}

int CCmDataBlock::CreateInstanceWithAlignByte(CCmDataBlock*& aDb, unsigned long aSize, const char* aData,
                                              unsigned long alignByte) {
  CM_ASSERTE_RETURN(aSize > 0, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(alignByte > 0, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(alignByte <= 2048, ZAR_E_INVALIDARG);
  return Create(aDb, aSize, aData, alignByte);
}

// aAlignByte 0 makes an unaligned block whose bytes follow the header.
int CCmDataBlock::Create(CCmDataBlock*& aDb, unsigned long aSize, const char* aData, unsigned long aAlignByte) {
  CM_ASSERTE_RETURN(aSize <= kMaxDataBlockSize, ZAR_E_INVALIDARG);
  const size_t total = sizeof(CCmDataBlock) + aSize + aAlignByte;
  void* memory = AllocateBlockMemory(total);
  if (!memory) return ZAR_E_OUTOFMEMORY;

  char* const headerEnd = static_cast<char*>(memory) + sizeof(CCmDataBlock);
  char* base = headerEnd;
  if (aAlignByte > 0) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(headerEnd);
    const uintptr_t aligned = (end + aAlignByte - 1) / aAlignByte * aAlignByte;
    base = headerEnd + (aligned - end);
  }
  const DWORD offset = static_cast<DWORD>(base - headerEnd);
  const DWORD length = static_cast<DWORD>(aSize + aAlignByte - offset);
  if (aData) memcpy(base, aData, aSize);
  aDb = new (memory) CCmDataBlock(length, base, offset);
  aDb->m_dwReference.store(1, std::memory_order_relaxed);  // not yet shared
  return ZAR_S_OK;
}
