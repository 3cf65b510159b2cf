#include "CmMutex.h"

#include "CmTrace.h"
#include "platform/CmPlatform.h"

namespace {

// Kept out of line so the lock's fast path carries no trace buffer.
[[gnu::cold, gnu::noinline]] int RefuseReleased(const char* aWhat, const void* aThis) {
  CM_ERROR_TRACE("CCmMutexThreadBase::" << aWhat << " object instances already released [this=" << aThis << "]");
  return ZAR_E_FAIL;
}

}  // namespace

CCmMutexThreadBase::CCmMutexThreadBase() : m_nValid(kValidMark) {}

CCmMutexThreadBase::~CCmMutexThreadBase() {
  m_nValid.store(0);
  if (m_bCreated) cm_platform::CriticalSectionDestroy(m_Lock);
  m_bCreated = false;
}

void CCmMutexThreadBase::CreateLock() { m_bCreated = cm_platform::CriticalSectionInit(m_Lock); }

int CCmMutexThreadBase::Lock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("Lock()", this);
  return cm_platform::CriticalSectionEnter(m_Lock) == 0 ? ZAR_S_OK : ZAR_E_FAIL;
}

int CCmMutexThreadBase::UnLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("UnLock()", this);
  return cm_platform::CriticalSectionLeave(m_Lock) == 0 ? ZAR_S_OK : ZAR_E_FAIL;
}

int CCmMutexThreadBase::TryLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("TryLock()", this);
  return cm_platform::CriticalSectionTryEnter(m_Lock) == 0 ? ZAR_S_OK : ZAR_E_FAIL;
}

CCmMutexThread::CCmMutexThread() { CreateLock(); }
CCmMutexThread::~CCmMutexThread() = default;

CCmMutexThreadRecursive::CCmMutexThreadRecursive() { CreateLock(); }
CCmMutexThreadRecursive::~CCmMutexThreadRecursive() = default;
