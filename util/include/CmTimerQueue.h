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
//  - CCmTimerMinHeapQueue: a binary heap; logarithmic everywhere, the
//    choice for many timers with scattered deadlines.
//  - CCmTimerWheelQueue: a timing wheel of 10 ms buckets; constant-time
//    scheduling and firing for timers within 30 seconds.
//  - CCmTimerQueueOnDemand: an ordered list that also tells its observer
//    after every new schedule (heart-beat threads wake their host with it).
//  - CCmTimerQueueCalendar: a ring of slots advanced by its owner's
//    TimerTick, outside the engine: constant-time at slot granularity.
//
// What each operation costs (n timers scheduled):
//
//   queue          schedule / re-schedule   cancel      fire one (pop)
//   ordered list   O(n) walk, from the end  O(1)        O(1)
//   min-heap       O(log n)                 O(log n)    O(log n)
//   wheel, < 30 s  O(1)                     O(1)        O(1) amortised
//   wheel, far     O(k), k in its bucket    O(1)        O(1) amortised
//   calendar       O(1)                     O(k) slot   O(1) per TimerTick entry
//
// Handlers are found through a hash index (O(1)); firing a periodic timer
// re-inserts its node without touching the index.
//  - CCmTimerQueueBase: the engine. A new storage derives from it and
//    implements the node primitives (PushNode_l ... GetEarliestTime_l); the
//    engine supplies scheduling, cancelling, firing, re-arming and the
//    clock-jump rules on top of them.
//
// Deadlines are absolute wall-clock times. The queue watches for the clock
// being set: when the clock reads more than an hour earlier than at the
// queue's previous look and the earliest deadline lies more than an hour
// ahead, the storage re-bases its deadlines (ResetExpiredTime_l) and the
// caller comes back at once; a periodic timer more than an hour overdue after
// a jump forward is re-armed one period after now. Both are warnings
// ("CCmTimerQueueBase::CheckExpire local changed, ..."). A set-back is told
// by the clock going back, not by the deadline's distance alone, so a timer
// scheduled hours ahead is not mistaken for one (that reading made the
// owning loop spin, asking to be called again at once, until the deadline
// came within the hour).
#ifndef CM_TIMER_QUEUE_H
#define CM_TIMER_QUEUE_H

#include <atomic>
#include <mutex>

#include "CmDefines.h"
#include "CmError.h"
#include "CmEventQueue.h"
#include "CmMutex.h"
#include "CmTimeValue.h"

class CCmWakeableSleep;

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
// Thread safety: a single-thread object, except that CancelTimer may come
// from any thread at any time, also while the owner is delivering that
// handler's callback. When it returns, that callback is not running (it
// waits, polling every 10 ms, for one running on the owning thread) and no
// further firing is scheduled. This makes the storage guard a real lock, not
// the null lock a purely single-thread queue would have: the owner takes it
// uncontended around each storage step (never across a callback), and a
// foreign cancel around its erase, which a null lock would leave racing the
// owner's re-arm and its look for the next deadline. Everything else
// (scheduling included) must reach the owning thread as an event.
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

  // Guards the storage (the primitives above) and m_tvLastLook.
  std::mutex m_StorageMutex;
  ICmObserver* m_pObserver;  // not owned; may be null
  // The handler being delivered by CheckExpire, and the thread inside
  // CheckExpire; read by a CancelTimer on another thread.
  std::atomic<ICmTimerHandler*> m_pExpiringHandler;
  std::atomic<DWORD> m_dwExpiringThreadId;
  // The clock at the queue's previous look (owner thread only): a reading
  // more than an hour before it means the clock was set back.
  CCmTimeValue m_tvLastLook;

 private:
  // Where a CancelTimer on another thread sleeps until the callback it
  // waits for has returned; made by the first such cancel.
  std::atomic<CCmWakeableSleep*> m_pCancelSleep;

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

// A binary min-heap of deadlines (four children per node, which halves the
// depth and keeps siblings in one cache line). Each node remembers its place
// in the heap, so replacing or cancelling a handler's timer is logarithmic,
// not a search. Among equal deadlines timers fire in the order they were
// scheduled or re-armed. ResetExpiredTime_l is the engine's: deadlines are
// not re-based after the clock was set back.
class CM_EXPORT CCmTimerMinHeapQueue : public CCmTimerQueueBase {
 public:
  explicit CCmTimerMinHeapQueue(ICmObserver* aObserver = nullptr);
  ~CCmTimerMinHeapQueue() override;
  CCmTimerMinHeapQueue(const CCmTimerMinHeapQueue&) = delete;
  CCmTimerMinHeapQueue& operator=(const CCmTimerMinHeapQueue&) = delete;

 protected:
  int PushNode_l(const CNode& aNode) override;
  int EraseNode_l(ICmTimerHandler* aEh) override;
  int RePushNode_l(const CNode& aNode) override;
  // An empty heap fails the assertion "!m_impl->nodes.empty()" (-1).
  int PopFirstNode_l(CNode& aNode) override;
  int GetEarliestTime_l(CCmTimeValue& aEarliest) const override;

 private:
  friend struct CCmTimerQueueInspectorForTesting;
  struct Impl;
  Impl* m_impl;
};

// A timing wheel: 3000 buckets of 10 ms (one revolution is 30 s). A timer
// due less than 30 s after it is scheduled (its deadline's second at most
// now's second + 29) goes to the near list of its bucket; a later one to
// the far list of its bucket. Both lists are kept in deadline order. The
// bucket of a time is its 10 ms count modulo 3000 (BucketIndex); the
// handler's m_nWheelIndex names the bucket of its node.
//
// Firing order: by deadline, also within one 10 ms slot; equal deadlines
// near timers first, in scheduling order, then far ones, newest first. The
// earliest time the queue reports is always the deadline of the timer it
// fires next, never later than any timer it holds: a timer scheduled into
// the slot of the announced one with an earlier deadline is announced in
// its place. Erasing or firing the timer announced next looks for the
// following one from its bucket on, skipping empty buckets 64 at a time,
// and stops at the first bucket that holds a timer of the slot it stands
// for.
//
// ResetExpiredTime_l is the engine's: deadlines are not re-based after the
// clock was set back.
class CM_EXPORT CCmTimerWheelQueue : public CCmTimerQueueBase {
 public:
  static const int m_slot = 10;          // milliseconds per bucket
  static const int m_maxBuckets = 3000;  // buckets per revolution

  explicit CCmTimerWheelQueue(ICmObserver* aObserver = nullptr);
  ~CCmTimerWheelQueue() override;
  CCmTimerWheelQueue(const CCmTimerWheelQueue&) = delete;
  CCmTimerWheelQueue& operator=(const CCmTimerWheelQueue&) = delete;

  // (seconds * 100 + microseconds / 10000) modulo 3000, in 0..2999 for
  // every value (1.234567 s gives 123).
  static int BucketIndex(const CCmTimeValue& aTime);

 protected:
  int PushNode_l(const CNode& aNode) override;
  int EraseNode_l(ICmTimerHandler* aEh) override;
  int RePushNode_l(const CNode& aNode) override;
  int PopFirstNode_l(CNode& aNode) override;
  int GetEarliestTime_l(CCmTimeValue& aEarliest) const override;

 private:
  friend struct CCmTimerQueueInspectorForTesting;
  struct Impl;
  Impl* m_impl;
};

// One entry of a calendar slot list.
template <class ValueType>
struct CCmTimerQueueCalendarSlotT {
  CCmTimerQueueCalendarSlotT* m_pNext = nullptr;
  ValueType m_Value;
};

// A ring of slots advanced by its owner: TimerTick, called once per slot
// interval on the owning thread, moves to the next slot and fires every
// timer in it (the most recently slotted first). A timer lands
// ceil(interval / slot interval) slots ahead - at least one - and intervals
// longer than the ring are clamped to its last slot with an error line
// ("CCmTimerQueueCalendar::InsertUnique_i, exceed max interval. ...").
// Timers scheduled with a zero interval fire once, whatever their count,
// through one event posted to the owner's event queue, newest first. That
// event drains them until none is left, zero-delay timers its callbacks
// schedule included (they fire next), except that a handler fires at most
// once per event: one that schedules itself again with no delay from its
// own callback (directly or through another handler) waits for a new post.
// A handler re-adding itself for ever therefore fires once per turn of the
// owner's event loop, and the loop's other events still run, instead of
// holding the thread in one endless drain.
//
// The calendar has no CheckExpire: nothing in the library ticks it. Its
// precision is one slot; its span is fixed at construction.
//
// Lifetime: created, ticked and deleted by its owner; the destructor frees
// every entry and calls no handler. A pending zero-delay event outliving
// the calendar finds it gone and does nothing. OnDestorySelf does nothing:
// event processing never deletes the calendar.
//
// Thread safety: a single-thread object. TimerTick, ScheduleTimer and
// OnEventFire run on the thread that owns its event queue. CancelTimer may
// also come from any other thread, at any time: its erase takes the
// calendar's lock (which the owner takes, uncontended, around each list
// step, never across a callback), and it returns once a callback of that
// handler running on the owner has returned, with no further firing
// scheduled, as the engine's CancelTimer does.
class CM_EXPORT CCmTimerQueueCalendar : public ICmTimerQueue, public ICmEvent {
 public:
  // One scheduled timer as a slot stores it.
  struct ValueType {
    ICmTimerHandler* m_pEh = nullptr;
    void* m_pToken = nullptr;
    CCmTimeValue m_tvInterval;
    DWORD m_dwCount = 0;  // 0 given to ScheduleTimer is kept as 0xFFFFFFFF
  };
  typedef CCmTimerQueueCalendarSlotT<ValueType> SlotType;

  // aSlotInterval and aSpan in milliseconds: the slot interval is at least
  // 10, the highest slot index aSpan / interval - 1 and at least 10. A null
  // aEventQueue means the calling library thread's queue (if any).
  CCmTimerQueueCalendar(DWORD aSlotInterval, DWORD aSpan, ICmEventQueue* aEventQueue = nullptr);
  ~CCmTimerQueueCalendar() override;
  CCmTimerQueueCalendar(const CCmTimerQueueCalendar&) = delete;
  CCmTimerQueueCalendar& operator=(const CCmTimerQueueCalendar&) = delete;

  // 0, ZAR_E_ALREADY_EXISTS when the handler's entry was moved,
  // ZAR_E_INVALIDARG for a null handler, ZAR_E_OUTOFMEMORY. No interval or
  // count check.
  int ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval, DWORD aCount) override;
  // 0, ZAR_E_NOT_FOUND, ZAR_E_INVALIDARG.
  int CancelTimer(ICmTimerHandler* aEh) override;
  // Fires the zero-delay timers until none is left (see above); 0.
  int OnEventFire() override;
  void OnDestorySelf() override {}

  void TimerTick();

 private:
  friend struct CCmTimerQueueInspectorForTesting;
  friend class CCmCalendarFireEvent;
  SlotType* TakeEntry_i(ICmTimerHandler* aEh);
  void InsertUnique_i(const CCmTimeValue& aInterval, SlotType* aEntry);
  void PostFireNow_i();

  struct Impl;  // its lock guards the rest of it
  Impl* m_impl;
};

CM_EXTERN_C_BEGIN
// Sets the process-wide default queue kind (CmQueueType); 0 leaves it
// unchanged. No range check: an unknown default makes later default
// creations yield no queue. Task threads read it when they start.
CM_EXPORT void cm_set_default_timer_type(int32_t type);
CM_EXTERN_C_END

#endif  // CM_TIMER_QUEUE_H
