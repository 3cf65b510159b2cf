#include "CmMutex.h"

#include "CmTrace.h"
#include "platform/CmPlatform.h"

CCmMutexThreadBase::CCmMutexThreadBase() : m_nValid(kValidMark) {}

CCmMutexThreadBase::~CCmMutexThreadBase() {
  m_nValid.store(0);
  if (m_bCreated) cm_platform::CriticalSectionDestroy(m_Lock);
  m_bCreated = false;
}

void CCmMutexThreadBase::CreateLock() { m_bCreated = cm_platform::CriticalSectionInit(m_Lock); }

int CCmMutexThreadBase::Lock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) {
    CM_ERROR_TRACE_THIS("CCmMutexThreadBase::Lock() object instances already released");
    return ZAR_E_FAIL;
  }
  return cm_platform::CriticalSectionEnter(m_Lock) ? ZAR_S_OK : ZAR_E_FAIL;
}

int CCmMutexThreadBase::UnLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) {
    CM_ERROR_TRACE_THIS("CCmMutexThreadBase::UnLock() object instances already released");
    return ZAR_E_FAIL;
  }
  return cm_platform::CriticalSectionLeave(m_Lock) ? ZAR_S_OK : ZAR_E_FAIL;
}

int CCmMutexThreadBase::TryLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) {
    CM_ERROR_TRACE_THIS("CCmMutexThreadBase::TryLock() object instances already released");
    return ZAR_E_FAIL;
  }
  return cm_platform::CriticalSectionTryEnter(m_Lock) ? ZAR_S_OK : ZAR_E_FAIL;
}

CCmMutexThread::CCmMutexThread() { CreateLock(); }
CCmMutexThread::~CCmMutexThread() = default;

CCmMutexThreadRecursive::CCmMutexThreadRecursive() { CreateLock(); }
CCmMutexThreadRecursive::~CCmMutexThreadRecursive() = default;
