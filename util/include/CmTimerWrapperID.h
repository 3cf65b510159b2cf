// CmTimerWrapperID.h - the timer object application code holds.
//
// A CCmTimerWrapperID is scheduled on the timer queue of the calling thread
// (Schedule) or of another library thread (ScheduleInThread), and calls its
// sink's OnTimer on that thread. It hides three hazards of raw timer
// handlers: a queue may be touched only by its own thread, a handler must
// not die while its queue refers to it or its callback runs, and a cancel
// may come from any thread.
//
//   class Poller : public CCmTimerWrapperIDSink {
//     void OnTimer(CCmTimerWrapperID* aId) override { ... }
//   };
//   CCmTimerWrapperID timer;
//   timer.ScheduleInThread(worker, &poller, CCmTimeValue(0L, 20000L), 0);  // every 20 ms
//   ...
//   timer.Cancel();        // from any thread; see Cancel for the guarantee
//
// Between the wrapper and the queue stands a small reference-counted
// handler, CCmTimerWrapperRef. The queue holds a plain pointer to it; the
// wrapper, every event posted on its behalf and every running delivery hold
// counted references. A cancel detaches the handler from the wrapper, so a
// late firing finds no wrapper to call, and the handler is freed (and taken
// out of its queue, on the queue's thread) when its last reference goes.
//
// Which class to use: CCmTimerWrapperID and a sink of your own; the ref is
// the wrapper's business.
#ifndef CM_TIMER_WRAPPER_ID_H
#define CM_TIMER_WRAPPER_ID_H

#include <atomic>

#include "CmDefines.h"
#include "CmError.h"
#include "CmMutex.h"
#include "CmTimeValue.h"
#include "CmTimerQueue.h"
#include "CmUtilTemplates.h"

class ACmThread;
class CCmTimerWrapperID;

// The caller's callback. Not owned by the wrapper: it must outlive the
// schedule (cancel before destroying it).
//
// Thread safety: OnTimer runs on the thread that owns the queue.
class CM_EXPORT CCmTimerWrapperIDSink {
 public:
  virtual void OnTimer(CCmTimerWrapperID* aId) = 0;

 protected:
  virtual ~CCmTimerWrapperIDSink() = default;
};

// The timer. Embed it or allocate it; destroying it cancels it.
//
// Results: 0 done; ZAR_E_ALREADY_EXISTS the timer was scheduled and has been
// re-scheduled (one queue entry, the new interval in force); ZAR_E_INVALIDARG
// a null sink or thread (assertion); ZAR_E_POINTER the calling thread is no
// library thread (Schedule), the timer is bound to another thread
// (ScheduleInThread), or a cancel from a foreign thread was handed to the
// queue's thread; ZAR_E_FAIL Schedule while bound to another thread;
// ZAR_E_THREAD_UNAVAILABLE the thread has no timer queue (or event queue);
// ZAR_E_NOT_FOUND Cancel on an idle timer; ZAR_S_FALSE Cancel, from a
// library thread without a timer queue, of a timer whose schedule had not
// reached its queue yet.
//
// States: idle (never scheduled, or cancelled) and scheduled. Every
// schedule until the next Cancel uses one handler bound to one thread:
// re-scheduling replaces the queue entry; scheduling for a second thread is
// refused. After Cancel the timer is idle and may choose another thread.
// A count that runs out leaves it bound to its thread until Cancel.
//
// Thread safety: Schedule, ScheduleInThread, Cancel and the destructor may
// be called from any thread, also from inside OnTimer (a sink may even
// delete its wrapper there). No OnTimer starts after Cancel (or the
// destructor) has returned. A Cancel from a thread other than the queue's
// waits for an OnTimer running there to return - 5 x 30 ms, then 20 x
// 100 ms at most; past that it traces "CCmTimerWrapperRef::Cancel, the
// timer has been executed too long time, ..." and returns, so a callback
// that never ends cannot hang the canceller. The wrapper's lock is never
// held while OnTimer runs.
class CM_EXPORT CCmTimerWrapperID {
 public:
  CCmTimerWrapperID();
  virtual ~CCmTimerWrapperID();
  CCmTimerWrapperID(const CCmTimerWrapperID&) = delete;
  CCmTimerWrapperID& operator=(const CCmTimerWrapperID&) = delete;

  // On the calling library thread's timer queue: the first OnTimer one
  // interval from now, then every interval; aCount firings (0: without
  // end). A zero interval is allowed only with aCount 1.
  int Schedule(CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval, DWORD aCount = 0);
  // On pThread's queue. From another thread the request travels as an event
  // and this returns the post's result; the first OnTimer comes one
  // interval after pThread took the event. A request that fails there (the
  // thread lost its queue) is dropped.
  int ScheduleInThread(ACmThread* pThread, CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval,
                       DWORD aCount = 0);
  // On the first registered thread of type aType.
  int ScheduleInThread(int aType, CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval, DWORD aCount = 0);
  // Stops the timer. On the queue's thread the entry is removed at once (0,
  // or ZAR_E_NOT_FOUND when its count had run out); from another thread the
  // removal is posted there and ZAR_E_POINTER is returned, but no OnTimer
  // starts any more. The flag is accepted and not consulted.
  int Cancel(bool aWaitOnExecuting = true);

 protected:
  // Delivers OnTimer to aArg (the sink) while the timer is scheduled.
  virtual void OnTimeout(const CCmTimeValue& aCurTime, void* aArg);

 private:
  friend class CCmTimerWrapperRef;
  struct Impl;
  Impl* m_impl;
};

// The handler that stands between a wrapper and a queue (see above).
// Created and owned by CCmTimerWrapperID; counted with Add/ReleaseReference.
//
// Thread safety: the flags, the parent and the queue are atomic; the queue
// calls OnTimeout on its own thread only.
class CM_EXPORT CCmTimerWrapperRef : public CCmReferenceControlT<CCmMutexThread>, public ICmTimerHandler {
 public:
  // For the thread with id aThreadId; no queue yet.
  CCmTimerWrapperRef(CCmTimerWrapperID* aParent, DWORD aThreadId);

  void OnTimeout(const CCmTimeValue& aCurTime, void* aArg) override;

  // Runs on the owning thread: binds the first schedule to aQueue (a queue
  // once bound is kept) and schedules. ZAR_E_UNEXPECTED without a queue.
  int ScheduleOnOwner(ICmTimerQueue* aQueue, CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval,
                      DWORD aCount);
  // Detaches the ref from its wrapper: no delivery starts afterwards. True
  // when the calling thread owns the queue; otherwise it first waits for a
  // delivery in progress (bounded, see CCmTimerWrapperID).
  bool PrepareCancel();

  ICmTimerQueue* GetTimerQueue() const { return m_pTimerQueue.load(); }
  DWORD GetThreadId() const { return m_dwThreadId; }
  bool IsExecuting() const { return m_bExecuting.load(); }
  bool IsCancelled() const { return m_bCancelled.load(); }

 protected:
  // Takes itself out of its queue when released on the queue's thread.
  ~CCmTimerWrapperRef() override;

 private:
  bool CallerOwnsQueue() const;
  // Clears executing and wakes a cancel waiting for this delivery.
  void EndDelivery();

  std::atomic<CCmTimerWrapperID*> m_pParent;
  std::atomic<ICmTimerQueue*> m_pTimerQueue;  // null until bound, then fixed
  const DWORD m_dwThreadId;
  std::atomic<bool> m_bExecuting;
  std::atomic<bool> m_bCancelled;
  // Where a foreign cancel sleeps while a delivery runs; made by the first.
  std::atomic<CCmWakeableSleep*> m_pCancelSleep;
};

#endif  // CM_TIMER_WRAPPER_ID_H
