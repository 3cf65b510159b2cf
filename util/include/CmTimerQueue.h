// CmTimerQueue.h - timer queues: the per-thread store of scheduled timers.
//
// Every library thread that runs a loop owns one timer queue. Once per turn
// the loop calls CheckExpire, which fires what is due (on that thread) and
// says how long the thread may sleep before the next deadline. Callers on
// other threads never touch a queue directly: the timer wrapper posts an
// event to the owning thread instead.
//
// Which class to use:
//  - ICmTimerHandler: derive from it to receive OnTimeout.
//  - ICmTimerQueue: what schedulers see (ACmThread::GetTimerQueue()).
//  - CCmTimerQueueBase::CreateTimerQueue(observer, kind): make a queue of a
//    kind (CmQueueType); CmQueueType_Default follows
//    cm_set_default_timer_type().
//  - CCmTimerQueueOrderedList: a sorted list; the default kind.
//  - CCmTimerQueueOnDemand: an ordered list that also tells its observer
//    after every new schedule (heart-beat threads wake their host with it).
//  - CCmTimerQueueBase: the engine. A new storage derives from it and
//    implements the node primitives (PushNode_l ... GetEarliestTime_l); the
//    engine supplies scheduling, cancelling, firing, re-arming and the
//    clock-jump rules on top of them.
//
// Deadlines are absolute wall-clock times. The queue watches for the clock
// being set: a deadline more than an hour ahead of now after a setback makes
// the storage re-base its deadlines (ResetExpiredTime_l) and the caller come
// back at once; a periodic timer more than an hour overdue after a jump
// forward is re-armed one period after now. Both are warnings
// ("CCmTimerQueueBase::CheckExpire local changed, ...").
#ifndef CM_TIMER_QUEUE_H
#define CM_TIMER_QUEUE_H

#include <atomic>

#include "CmDefines.h"
#include "CmError.h"
#include "CmEventQueue.h"
#include "CmMutex.h"
#include "CmTimeValue.h"

// Receives timeouts. The handler is not owned by any queue: it must outlive
// its schedule (cancel it, or let its count run out, before destroying it).
//
// Thread safety: OnTimeout runs on the queue's owning thread.
class CM_EXPORT ICmTimerHandler {
 public:
  ICmTimerHandler() : m_nWheelIndex(-1) {}
  ICmTimerHandler(const ICmTimerHandler&) = default;
  ICmTimerHandler& operator=(const ICmTimerHandler&) = default;

  // aCurTime: the time the firing queue read at the start of this
  // CheckExpire; aArg: the token given to ScheduleTimer.
  virtual void OnTimeout(const CCmTimeValue& aCurTime, void* aArg) = 0;

  // Bucket of the handler's node in a wheel queue; -1 elsewhere.
  int32_t m_nWheelIndex;

 protected:
  virtual ~ICmTimerHandler() = default;
};

// What schedulers see of a queue.
class CM_EXPORT ICmTimerQueue {
 public:
  // Fires aEh->OnTimeout(now, aToken) aInterval from now and then every
  // aInterval, aCount times in all (0: without end). A zero interval is
  // allowed only with aCount 1 (fires at the next CheckExpire). One schedule
  // per handler: scheduling a scheduled handler replaces its schedule.
  // 0, ZAR_E_ALREADY_EXISTS (replaced), ZAR_E_INVALIDARG (null handler, or
  // a zero/negative interval with aCount != 1).
  virtual int ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval, DWORD aCount) = 0;
  // 0, ZAR_E_NOT_FOUND (not scheduled), ZAR_E_INVALIDARG (null handler).
  virtual int CancelTimer(ICmTimerHandler* aEh) = 0;

 protected:
  virtual ~ICmTimerQueue() = default;
};

enum CmQueueType {
  CmQueueType_Default = 0,      // the process-wide default at creation
  CmQueueType_OrderedList = 1,  // CCmTimerQueueOrderedList
  CmQueueType_MinHeap = 2,      // min-heap storage
  CmQueueType_Wheel = 3,        // timing-wheel storage
};

// The engine of the node-storage queues.
//
// A handler's callback may schedule or cancel any timer of the same queue,
// its own included: a periodic timer is re-armed before its callback runs, so
// cancelling itself there removes the next firing (0), while a one-shot
// timer is already gone (ZAR_E_NOT_FOUND). A periodic timer fires at most
// once per CheckExpire: missed periods are skipped and the phase is kept.
//
// Lifetime: owned by its thread (or the caller of CreateTimerQueue);
// destroying a queue calls no handler.
//
// Thread safety: a single-thread object; its guard is a null lock. Only
// CancelTimer may come from another thread, and then it waits (polling every
// 10 ms) until a callback of that handler running on the owning thread has
// returned. Such a cancel touches the storage while the owner may be using
// it, so it is safe only while the owner is inside that very callback;
// everything else must reach the owning thread as an event.
class CM_EXPORT CCmTimerQueueBase : public ICmTimerQueue {
 public:
  // One scheduled timer, passed by value between the engine and a storage.
  struct CNode {
    ICmTimerHandler* m_pEh = nullptr;
    void* m_pToken = nullptr;
    CCmTimeValue m_tvExpired;   // absolute wall-clock deadline
    CCmTimeValue m_tvInterval;  // period, and the delay of the first firing
    DWORD m_dwCount = 0;        // firings still to come; 0xFFFFFFFF without end
  };

  // A queue of kind aType (CmQueueType_Default: the current process-wide
  // default) telling aObserver about schedules; null for a kind this build
  // has no storage for (traced). The caller owns the result.
  static CCmTimerQueueBase* CreateTimerQueue(ICmObserver* aObserver, CmQueueType aType);

  int ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval, DWORD aCount) override;
  int CancelTimer(ICmTimerHandler* aEh) override;
  ~CCmTimerQueueBase() override;

  // Fires every timer due now and returns how many callbacks ran. Then
  // *aRemainTime (when given) = time until the earliest remaining deadline
  // (0 if passed, tvMax if none) and *aEarliestTime = that deadline (tvMax
  // if none). Owning thread only.
  virtual int CheckExpire(CCmTimeValue* aRemainTime = nullptr, CCmTimeValue* aEarliestTime = nullptr);

  // The earliest deadline, tvMax when nothing is scheduled.
  CCmTimeValue GetEarliestTime();

 protected:
  explicit CCmTimerQueueBase(ICmObserver* aObserver);

  // The storage primitives, always called under the guard.
  // Inserts aNode, first removing any node of the same handler: 1 when one
  // was removed, else 0.
  virtual int PushNode_l(const CNode& aNode) = 0;
  // 0 when the handler's node was removed, 1 when it had none.
  virtual int EraseNode_l(ICmTimerHandler* aEh) = 0;
  // Inserts a node whose handler is known to have none; 0.
  virtual int RePushNode_l(const CNode& aNode) = 0;
  // Removes the earliest node into aNode: 0, or -1 when empty.
  virtual int PopFirstNode_l(CNode& aNode) = 0;
  // The earliest deadline: 0, or -1 when empty.
  virtual int GetEarliestTime_l(CCmTimeValue& aEarliest) const = 0;
  // Re-bases deadlines after the clock was set back; the base does nothing.
  virtual void ResetExpiredTime_l(const CCmTimeValue& aNow);

  CCmMutexNullSingleThread m_Mutex;
  ICmObserver* m_pObserver;  // not owned; may be null
  // The handler being delivered by CheckExpire, and the thread inside
  // CheckExpire; read by a CancelTimer on another thread.
  std::atomic<ICmTimerHandler*> m_pExpiringHandler;
  std::atomic<DWORD> m_dwExpiringThreadId;

 private:
  void ReArm(CNode& aNode, const CCmTimeValue& aNow);
  void FinishCheck(CCmTimeValue* aRemainTime, CCmTimeValue* aEarliestTime, const CCmTimeValue& aEarliest);
};

// A list kept in deadline order; among equal deadlines the timer scheduled
// last fires first. Scheduling walks the list (from whichever end the
// deadline suggests); cancelling and replacing find the handler's node
// directly; firing takes the front. Nodes are recycled.
class CM_EXPORT CCmTimerQueueOrderedList : public CCmTimerQueueBase {
 public:
  explicit CCmTimerQueueOrderedList(ICmObserver* aObserver = nullptr);
  ~CCmTimerQueueOrderedList() override;
  CCmTimerQueueOrderedList(const CCmTimerQueueOrderedList&) = delete;
  CCmTimerQueueOrderedList& operator=(const CCmTimerQueueOrderedList&) = delete;

 protected:
  int PushNode_l(const CNode& aNode) override;
  int EraseNode_l(ICmTimerHandler* aEh) override;
  int RePushNode_l(const CNode& aNode) override;
  int PopFirstNode_l(CNode& aNode) override;
  int GetEarliestTime_l(CCmTimeValue& aEarliest) const override;
  // Every deadline becomes aNow + its period; the list keeps its order.
  void ResetExpiredTime_l(const CCmTimeValue& aNow) override;

 private:
  struct Impl;
  Impl* m_impl;
};

// The heart-beat threads' queue: after every schedule that returned 0 it
// also tells its observer "TimerQueueOnDemand", so the host can be asked to
// call in sooner.
class CM_EXPORT CCmTimerQueueOnDemand : public CCmTimerQueueOrderedList {
 public:
  explicit CCmTimerQueueOnDemand(ICmObserver* aObserver = nullptr) : CCmTimerQueueOrderedList(aObserver) {}
  int ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval, DWORD aCount) override;
};

CM_EXTERN_C_BEGIN
// Sets the process-wide default queue kind (CmQueueType); 0 leaves it
// unchanged. No range check: an unknown default makes later default
// creations yield no queue. Task threads read it when they start.
CM_EXPORT void cm_set_default_timer_type(int32_t type);
CM_EXTERN_C_END

#endif  // CM_TIMER_QUEUE_H
