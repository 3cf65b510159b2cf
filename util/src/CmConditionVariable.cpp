// The waitable objects over the platform layer's events and semaphores.
//
// The condition variable is the classic construction from a semaphore and an
// event: waiters count themselves in, release the caller's mutex and block on
// the semaphore; Signal releases one unit when someone waits (a signal with no
// waiter is lost, as the engine's code expects); Broadcast releases one unit
// per waiter and then blocks until the last of them reports, through the
// waiters-done event, that it has left the semaphore. That last report
// happens before the waiter takes the caller's mutex again, which is what lets
// a broadcaster hold that mutex throughout.
#include "CmConditionVariable.h"

#include "CmDebug.h"
#include "platform/CmPlatform.h"

long CmTimeoutToMilliseconds(const CCmTimeValue* aTimeout) {
  if (!aTimeout) return cm_platform::kInfinite;
  int64_t ms = static_cast<int64_t>(aTimeout->GetSec()) * 1000 + aTimeout->GetUsec() / 1000;
  if (ms < 0) ms = 0;
  if (ms == 0 && aTimeout->GetUsec() > 0) ms = 1;
  return static_cast<long>(ms);
}

namespace {

// The warning of a failed platform call: "<aWhere>, <aCall> failed!", the
// wait result when there is one (named aResultName), the last error and
// the object.
void WarnFailed(const void* aThis, const char* aWhere, const char* aCall, const char* aResultName = nullptr,
                cm_platform::WaitResult aResult = cm_platform::kSignaled) {
  const int err = cm_platform::LastError();
  if (aResultName) {
    CM_WARNING_TRACE(aWhere << ", " << aCall << " failed! " << aResultName << "=" << static_cast<int>(aResult)
                            << " err=" << err << " [this=" << aThis << "]");
  } else {
    CM_WARNING_TRACE(aWhere << ", " << aCall << " failed! err=" << err << " [this=" << aThis << "]");
  }
}

}  // namespace

// ------------------------------------------------------------ CCmEventThread

// aName is accepted for the engine's interface; events are process-local here.
CCmEventThread::CCmEventThread(int aManualReset, int aInitialState, const char* /*aName*/)
    : m_hEvent(cm_platform::EventCreate(aManualReset != 0, aInitialState != 0)) {
  if (!m_hEvent) {
    WarnFailed(this, "CCmEventThread::CCmEventThread", "CreateEventA()");
  }
}

CCmEventThread::~CCmEventThread() {
  if (!cm_platform::EventClose(m_hEvent)) {
    WarnFailed(this, "CCmEventThread::~CCmEventThread", "CloseHandle()");
  }
}

int CCmEventThread::Signal() {
  if (!cm_platform::EventSet(m_hEvent)) {
    WarnFailed(this, "CCmEventThread::Signal", "SetEvent");
    return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

int CCmEventThread::Reset() {
  if (!cm_platform::EventReset(m_hEvent)) {
    WarnFailed(this, "CCmEventThread::Reset", "Reset()");
    return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

int CCmEventThread::Wait(CCmTimeValue* aTimeout) {
  const cm_platform::WaitResult rc = cm_platform::EventWait(m_hEvent, CmTimeoutToMilliseconds(aTimeout));
  if (rc == cm_platform::kSignaled) return ZAR_S_OK;
  if (rc == cm_platform::kTimedOut) return ZAR_E_TIMEOUT;
  WarnFailed(this, "CCmEventThread::Wait", "WaitForSingleObject()", "result", rc);
  return ZAR_E_FAIL;
}

// -------------------------------------------------------------- CCmSemaphore

CCmSemaphore::CCmSemaphore(long aInitialCount, const char* /*aName*/, long aMaximumCount)
    : m_hSemaphore(cm_platform::SemaphoreCreate(aInitialCount, aMaximumCount)) {
  if (!m_hSemaphore) {
    WarnFailed(this, "CCmSemaphore::CCmSemaphore", "CreateSemaphoreA()");
  }
}

CCmSemaphore::~CCmSemaphore() {
  if (!cm_platform::SemaphoreClose(m_hSemaphore)) {
    WarnFailed(this, "CCmSemaphore::~CCmSemaphore", "CloseHandle()");
  }
}

int CCmSemaphore::Lock() {
  const cm_platform::WaitResult rc = cm_platform::SemaphoreWait(m_hSemaphore, cm_platform::kInfinite);
  if (rc == cm_platform::kSignaled) return ZAR_S_OK;
  WarnFailed(this, "CCmSemaphore::Lock", "WaitForSingleObject()", "dwRet", rc);
  return ZAR_E_FAIL;
}

int CCmSemaphore::PostN(long aCount) {
  if (!cm_platform::SemaphoreRelease(m_hSemaphore, aCount)) {
    WarnFailed(this, "CCmSemaphore::UnLock", "ReleaseSemaphore()");
    return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

// ------------------------------------------------ CCmConditionVariableThread

CCmConditionVariableThread::CCmConditionVariableThread(CCmMutexThread& aMutex)
    : m_MutexExternal(aMutex),
      m_nWaiters(0),
      m_Semaphore(0, nullptr, 0x7fffffff),
      m_hWaitersDone(cm_platform::EventCreate(false, false)),
      m_bWasBroadcast(false) {
  if (!m_hWaitersDone) {
    WarnFailed(this, "CCmConditionVariableThread::CCmConditionVariableThread", "CreateEventA()");
  }
}

CCmConditionVariableThread::~CCmConditionVariableThread() {
  if (!cm_platform::EventClose(m_hWaitersDone)) {
    WarnFailed(this, "CCmConditionVariableThread::~CCmConditionVariableThread", "CloseHandle()");
  }
}

CM_NO_SANITIZE_VPTR int CCmConditionVariableThread::Wait(CCmTimeValue* aTimeout) {
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_MutexWaiters);
    ++m_nWaiters;
  }
  const long ms = CmTimeoutToMilliseconds(aTimeout);

  const int rv = m_MutexExternal.UnLock();
  if (!IS_ZAR_OK(rv)) {
    CmAssertFailed(__FILE__, __LINE__, "IS_ZAR_OK(rv)");
    // Not waiting after all: leave the count as it was so that a later
    // Signal or Broadcast does not count a waiter that is not there.
    CCmMutexGuardT<CCmMutexThread> guard(m_MutexWaiters);
    --m_nWaiters;
    return rv;
  }

  const cm_platform::WaitResult waitRc = cm_platform::SemaphoreWait(m_Semaphore.GetSemaphoreType(), ms);
  bool lastWaiterOfBroadcast;
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_MutexWaiters);
    --m_nWaiters;
    lastWaiterOfBroadcast = m_bWasBroadcast && m_nWaiters == 0;
  }

  int result = ZAR_S_OK;
  if (waitRc == cm_platform::kTimedOut) {
    result = ZAR_E_TIMEOUT;
  } else if (waitRc != cm_platform::kSignaled) {
    WarnFailed(this, "CCmConditionVariableThread::Wait", "WaitForSingleObject()", "result", waitRc);
    result = ZAR_E_FAIL;
  }

  if (lastWaiterOfBroadcast && !cm_platform::EventSet(m_hWaitersDone)) {
    WarnFailed(this, "CCmConditionVariableThread::Wait", "SetEvent()");
  }
  m_MutexExternal.Lock();
  return result;
}

int CCmConditionVariableThread::Signal() {
  int waiters;
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_MutexWaiters);
    waiters = m_nWaiters;
  }
  return waiters >= 1 ? m_Semaphore.PostN(1) : ZAR_S_OK;
}

int CCmConditionVariableThread::Broadcast() {
  m_MutexWaiters.Lock();
  if (m_nWaiters <= 0) {
    m_MutexWaiters.UnLock();
    return ZAR_S_OK;
  }
  m_bWasBroadcast = true;
  const int waiters = m_nWaiters;
  m_MutexWaiters.UnLock();

  int result = m_Semaphore.PostN(waiters);
  const cm_platform::WaitResult rc = cm_platform::EventWait(m_hWaitersDone, cm_platform::kInfinite);
  if (rc != cm_platform::kSignaled) {
    WarnFailed(this, "CCmConditionVariableThread::Broadcast", "WaitForSingleObject()", "result", rc);
    result = ZAR_E_FAIL;
  }
  CCmMutexGuardT<CCmMutexThread> guard(m_MutexWaiters);
  m_bWasBroadcast = false;
  return result;
}
