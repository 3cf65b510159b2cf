// CmConditionVariable.h - waitable objects: event, counting semaphore and the
// condition variable built from them.
//
// Which to use:
//  - CCmEventThread: a signal that one or many threads wait for, with manual
//    or automatic reset.
//  - CCmSemaphore: a counting semaphore with a maximum count.
//  - CCmConditionVariableThread: waits paired with a caller's CCmMutexThread;
//    Broadcast returns only after every waiter it released has left its wait.
//
// Timeouts: a null CCmTimeValue* waits without limit; otherwise the wait lasts
// sec*1000 + usec/1000 milliseconds (truncating), a negative result does not
// wait at all, and a positive timeout shorter than 1 ms waits 1 ms. Waits
// measure on a monotonic clock, so setting the wall clock does not stretch
// them. A wait that runs out returns ZAR_E_TIMEOUT without a trace; a
// platform failure is traced at warning level with the errno value and
// returns ZAR_E_FAIL.
//
// Thread safety: every operation may be called from any thread.
#ifndef CM_CONDITION_VARIABLE_H
#define CM_CONDITION_VARIABLE_H

#include "CmMutex.h"
#include "CmTimeValue.h"

struct CmPlatformEvent;
struct CmPlatformSemaphore;

// Milliseconds for a timeout as above; -1 means without limit.
CM_EXPORT long CmTimeoutToMilliseconds(const CCmTimeValue* aTimeout);

// A signal one or many threads wait for. With manual reset a Signal releases
// every waiter and stays set until Reset; with automatic reset it releases
// one waiter (or the next to wait) and clears itself.
//
// Thread safety: any thread (see above).
class CM_EXPORT CCmEventThread {
 public:
  explicit CCmEventThread(int aManualReset = 0, int aInitialState = 0, const char* aName = nullptr);
  ~CCmEventThread();
  CCmEventThread(const CCmEventThread&) = delete;
  CCmEventThread& operator=(const CCmEventThread&) = delete;

  int Signal();
  int Reset();
  // 0 when signalled, ZAR_E_TIMEOUT, or ZAR_E_FAIL.
  int Wait(CCmTimeValue* aTimeout = nullptr);

 private:
  CmPlatformEvent* m_hEvent;
};

// A counting semaphore: Lock takes one unit, waiting while there is none;
// UnLock/PostN add units up to the maximum count.
//
// Thread safety: any thread (see above).
class CM_EXPORT CCmSemaphore {
 public:
  explicit CCmSemaphore(long aInitialCount = 0, const char* aName = nullptr, long aMaximumCount = 0x7fffffff);
  ~CCmSemaphore();
  CCmSemaphore(const CCmSemaphore&) = delete;
  CCmSemaphore& operator=(const CCmSemaphore&) = delete;

  // Waits without limit for one unit.
  int Lock();
  int UnLock() { return PostN(1); }
  // Fails (ZAR_E_FAIL) when the count would pass the maximum.
  int PostN(long aCount);
  CmPlatformSemaphore*& GetSemaphoreType() { return m_hSemaphore; }

 private:
  CmPlatformSemaphore* m_hSemaphore;
};

// Wait must be called with the external mutex held and returns with it held
// again. A Signal with no waiter is lost.
class CM_EXPORT CCmConditionVariableThread {
 public:
  explicit CCmConditionVariableThread(CCmMutexThread& aMutex);
  ~CCmConditionVariableThread();
  CCmConditionVariableThread(const CCmConditionVariableThread&) = delete;
  CCmConditionVariableThread& operator=(const CCmConditionVariableThread&) = delete;

  int Wait(CCmTimeValue* aTimeout = nullptr);
  int Signal();
  // Blocks until every thread that was waiting has left its semaphore wait;
  // the caller may hold the external mutex meanwhile.
  int Broadcast();
  CCmMutexThread& GetUnderlyingMutex() { return m_MutexExternal; }

 private:
  CCmMutexThread& m_MutexExternal;
  int32_t m_nWaiters;
  CCmMutexThread m_MutexWaiters;  // guards m_nWaiters and m_bWasBroadcast
  CCmSemaphore m_Semaphore;
  CmPlatformEvent* m_hWaitersDone;
  bool m_bWasBroadcast;
};

#endif  // CM_CONDITION_VARIABLE_H
