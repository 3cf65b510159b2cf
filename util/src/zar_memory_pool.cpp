// ZARMemPool: fixed-size blocks from malloc, kept on a LIFO free list so
// that the block handed out next is the one most recently touched (warm in
// cache). Trace lines are formatted after the mutex is released.
#include <cstdlib>
#include <mutex>
#include <vector>

#include "CmDebug.h"
#include "ZarMemoryPool.h"

namespace {
constexpr DWORD kGrowStep = 10;
}  // namespace

struct ZARMemPoolState {
  std::mutex m_Mutex;  // guards every member below
  std::vector<void*> m_FreeList;
  DWORD m_dwBlockSize = 0;
  DWORD m_dwCurrentSize = 0;  // blocks created so far
  DWORD m_dwBlockLimit = 0;

  // Creates the next step of blocks; ZAR_E_FAIL when the limit is reached.
  // Caller holds m_Mutex.
  CmResult Expand() {
    if (m_dwCurrentSize >= m_dwBlockLimit) return ZAR_E_FAIL;
    const DWORD left = m_dwBlockLimit - m_dwCurrentSize;
    const DWORD step = left < kGrowStep ? left : kGrowStep;
    m_dwCurrentSize += step;
    // A failed malloc leaves a null entry, which Alloc refuses to hand out.
    for (DWORD i = 0; i < step; ++i) m_FreeList.push_back(std::malloc(m_dwBlockSize));
    return ZAR_S_OK;
  }

  // Caller holds m_Mutex.
  void FreeAll() {
    for (void* block : m_FreeList) std::free(block);
    m_FreeList.clear();
    m_dwCurrentSize = 0;
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
  m_pState->m_dwCurrentSize = initialCount;
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

void* ZARMemPool::Alloc(unsigned int size) {
  ZARMemPoolState* const state = m_pState;
  if (!state || size > m_dwBlockSize) return nullptr;
  void* pRet = nullptr;
  size_t inPool = 0;
  DWORD created = 0;
  bool exhausted = false;
  {
    std::lock_guard<std::mutex> lock(state->m_Mutex);
    if (state->m_FreeList.empty()) state->Expand();
    created = state->m_dwCurrentSize;
    exhausted = state->m_FreeList.empty();
    if (!exhausted) {
      pRet = state->m_FreeList.back();
      state->m_FreeList.pop_back();
      inPool = state->m_FreeList.size();
    }
  }
  if (exhausted) {
    CM_DEBUG_TRACE("ZAR_MEM_POOL fail expand, cur_size=" << created << ",max_size=" << m_dwBlockLimit);
    return nullptr;
  }
  CM_ASSERTE_RETURN(pRet, nullptr);
  CM_DETAIL_TRACE("ZAR_MEM_POOL Alloc, size_in_pool=" << inPool << ",cur_size=" << created << ",pData=" << pRet);
  return pRet;
}

void ZARMemPool::Free(void* pPointer) {
  ZARMemPoolState* const state = m_pState;
  if (!state) return;
  CM_ASSERTE_RETURN_VOID(pPointer!=nullptr);
  size_t inPool = 0;
  DWORD created = 0;
  {
    std::lock_guard<std::mutex> lock(state->m_Mutex);
    state->m_FreeList.push_back(pPointer);
    inPool = state->m_FreeList.size();
    created = state->m_dwCurrentSize;
  }
  CM_DETAIL_TRACE("ZAR_MEM_POOL Free, size_in_pool=" << inPool << ",cur_size=" << created << ",pData=" << pPointer);
}

IZARMemPool* CreateZARMemPool(unsigned int blockSize, unsigned int blockLimit) {
  ZARMemPool* pool = new ZARMemPool(blockSize, blockLimit);
  pool->AddRef();
  return pool;
}
