// CmEventQueue.h - events and event queues: how work crosses threads.
//
// The road of an event:
//
//   any thread                      queue (locked briefly)        owning thread
//   ----------                      ----------------------        -------------
//   new MyEvent  --PostEvent-->     pending list, oldest first
//                                                   <--PopPendingEvents (batch, one lock)
//                                                      ProcessEvents (no lock held):
//                                                        OnEventFire()
//                                                        OnDestorySelf()
//
// Which class to use:
//  - ICmEvent: derive from it for a unit of work; OnEventFire runs on the
//    thread that owns the queue.
//  - CCmInvokeEvent<F>: an event that calls a functor; no subclass needed.
//  - ICmEventQueue: what posters see (ACmThread::GetEventQueue()).
//  - CCmEventQueueUsingConditionVariable: a queue whose owner sleeps until
//    an event arrives or a timeout passes (the task threads' queue).
//  - CCmEventQueueUsingMutex: a queue drained by polling (heart-beat threads).
//  - CCmEventQueueBase: the engine behind both; built without a mutex it is a
//    single-thread queue.
//
// Ownership: from the moment an event is handed to PostEvent or SendEvent the
// queue owns it, whatever the call returns, and disposes of it exactly once
// through OnDestorySelf: after firing it, unfired when it is still pending at
// DestoryPendingEvents or destruction, or at once when the queue refuses it.
#ifndef CM_EVENT_QUEUE_H
#define CM_EVENT_QUEUE_H

#include <atomic>
#include <list>
#include <utility>

#include "CmConditionVariable.h"
#include "CmError.h"
#include "CmMutex.h"
#include "CmTimeValue.h"

// A unit of work handed to another thread. Create it with new; after the
// hand-off the queue owns it (see above). The default OnDestorySelf deletes
// the object; override it for events that live elsewhere (embedded or
// pooled), then the override decides what disposal means.
//
// Thread safety: OnEventFire and OnDestorySelf run on one thread at a time
// (normally the queue's owner); the tag and origin are fixed at construction.
class CM_EXPORT ICmEvent {
 public:
  explicit ICmEvent(unsigned long aTag = 0);

  // Does the work on the owning thread; the result reaches SendEvent callers.
  virtual int OnEventFire() = 0;
  // Called exactly once when the queue is done with the event.
  virtual void OnDestorySelf();

  unsigned long GetTag() const { return m_dwTag; }
  // Kernel id of the thread that constructed the event.
  unsigned long GetOriginThreadId() const { return m_dwOriginThreadId; }

 protected:
  virtual ~ICmEvent();

  DWORD m_dwTag;             // carried for the poster; the library never reads it
  DWORD m_dwOriginThreadId;
};

// What posters see of a queue.
//
// Thread safety: PostEvent, SendEvent and GetPendingEventsCount may be called
// from any thread; Start from the owner.
class CM_EXPORT ICmEventQueue {
 public:
  // Accepted and ignored: events always fire in the order they were posted.
  // Every poster in the library passes EPRIORITY_DEFAULT.
  enum EPriority {
    EPRIORITY_HIGH = 64,
    EPRIORITY_DEFAULT = 128,
    EPRIORITY_LOW = 192,
  };

  // Queues aEvent. aSize, when given, receives the number of events pending
  // before this one. 0, or ZAR_E_UNEXPECTED when the queue is stopped,
  // ZAR_E_INVALIDARG for a null event; the event is disposed of in every case
  // in which it was not queued.
  virtual int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) = 0;
  // Fires aEvent on the owning thread and waits for its result (a null
  // aTimeout waits without limit). On the owning thread itself the event
  // fires at once. Returns OnEventFire's result, ZAR_E_TIMEOUT when the wait
  // ran out (the event still fires later), or the refusal codes of PostEvent.
  virtual int SendEvent(ICmEvent* aEvent, CCmTimeValue* aTimeout = nullptr) = 0;
  virtual unsigned long GetPendingEventsCount() = 0;
  virtual void Start() = 0;

 protected:
  virtual ~ICmEventQueue() = default;
};

// The queue engine: a FIFO of pending events, taken out by the owner in
// batches under one lock hold and fired with no lock held (so an event may
// post to its own queue). A new queue is stopped: posts are refused until
// the owner calls Start.
//
// Lifetime: owned by its thread object (or by whoever constructed it); the
// destructor disposes of the events still pending, unfired.
//
// Thread safety: PostEvent, SendEvent, GetPendingEventsCount, Stop and
// IsRunning from any thread (when built with a mutex); PopPendingEvents,
// ProcessEvents, ProcessOneEvent and DestoryPendingEvents from the owner.
// Built without a mutex, everything belongs to one thread.
class CM_EXPORT CCmEventQueueBase : public ICmEventQueue {
 public:
  typedef void (*EventHook)();

  explicit CCmEventQueueBase(bool aWithMutex = false);
  ~CCmEventQueueBase() override;
  CCmEventQueueBase(const CCmEventQueueBase&) = delete;
  CCmEventQueueBase& operator=(const CCmEventQueueBase&) = delete;

  int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) override;
  int SendEvent(ICmEvent* aEvent, CCmTimeValue* aTimeout = nullptr) override;
  // Read without a lock: a snapshot.
  unsigned long GetPendingEventsCount() override { return m_dwSize.load(std::memory_order_relaxed); }
  void Start() override;
  // Refuses further posts; what is pending stays for the owner.
  void Stop();

  // Moves at most aMaxCount of the oldest events to the end of aEvents (all
  // of them when there are no more than aMaxCount: aEvents then becomes
  // exactly the pending list). aRemain receives what stays pending.
  // ZAR_E_NOT_FOUND, with aRemain untouched, when nothing is pending.
  int PopPendingEvents(std::list<ICmEvent*>& aEvents, unsigned long aMaxCount, unsigned long* aRemain = nullptr);
  // Fires and disposes of each event in order. With an event hook installed
  // the hook runs after the batch and the result is ZAR_E_EVENT_HOOKED (the
  // running mark then stays set); otherwise 0.
  int ProcessEvents(const std::list<ICmEvent*>& aEvents);
  int ProcessOneEvent(ICmEvent* aEvent);
  // Disposes of every pending event without firing it.
  void DestoryPendingEvents();

  // The calling thread becomes the owner (SendEvent from it fires at once).
  void Reset2CurrentThreadInfo();
  void SetOwnerThreadId(unsigned long aThreadId) { m_dwOwnerThreadId.store(static_cast<DWORD>(aThreadId)); }
  unsigned long GetOwnerThreadId() const { return m_dwOwnerThreadId.load(std::memory_order_relaxed); }
  bool IsStopped() const { return m_bIsStopped.load(std::memory_order_relaxed) != 0; }
  bool IsRunning() const { return m_bRunning.load(std::memory_order_relaxed); }
  // A host hook called after every processed batch (null removes it).
  void SetEventHook(EventHook aHook) { m_pEventHook.store(aHook); }

  // Half a second; kept for the engine's interface, not read by the library.
  static CCmTimeValue s_tvReportInterval;

 protected:
  // The owner's batch step behind PopPendingEvents and the task loops, with
  // the lock held. When aUsed is given it holds a batch that has been
  // processed: its list nodes are kept for later posts (so a busy queue
  // allocates nothing per event but the event itself); then the next batch
  // is taken as PopPendingEvents describes. Nodes that cannot be kept go to
  // aToFree, for the caller to free after unlocking.
  int TakeBatch_l(std::list<ICmEvent*>& aEvents, unsigned long aMaxCount, unsigned long* aRemain,
                  std::list<ICmEvent*>* aUsed, std::list<ICmEvent*>& aToFree);
  // The refusals common to every post: a null event (ZAR_E_INVALIDARG) and
  // a stopped queue (ZAR_E_UNEXPECTED, the event disposed of, the warning
  // rate-limited). Returns true with aResult set when aEvent was refused.
  bool RefusePost(ICmEvent* aEvent, bool aIsSend, int& aResult);
  // A list node for the next post, allocated before the lock is taken when
  // no spare node is likely to be there (empty otherwise).
  std::list<ICmEvent*> PrepareNode(ICmEvent* aEvent) const;
  // Appends under the held lock, using a spare node when there is one (then
  // aPrepared's node becomes a spare), else aPrepared's node, else a new
  // one; aSize receives the count before it.
  int Append_l(ICmEvent* aEvent, unsigned long* aSize, std::list<ICmEvent*>& aPrepared);
  void LockQueue() {
    if (m_pMutex) m_pMutex->Lock();
  }
  void UnLockQueue() {
    if (m_pMutex) m_pMutex->UnLock();
  }
  void SetRunning(bool aRunning) { m_bRunning.store(aRunning, std::memory_order_relaxed); }
  EventHook GetEventHook() const { return m_pEventHook.load(std::memory_order_relaxed); }
  // A derived queue whose own lock also guards the pending list: the base
  // locks aMutex when it acts on its own, and does not own it.
  explicit CCmEventQueueBase(CCmMutexThread& aSharedMutex);

  std::list<ICmEvent*>* m_pPendingEvents;  // oldest first; guarded by m_pMutex
  std::atomic<DWORD> m_dwSize;             // written under m_pMutex, read anywhere
  CCmTimeValue m_tvCreation;
  char m_szReserved[512];
  std::atomic<DWORD> m_dwOwnerThreadId;
  std::atomic<int32_t> m_bIsStopped;
  std::atomic<bool> m_bRunning;
  std::atomic<EventHook> m_pEventHook;
  CCmMutexThread* m_pMutex;                // null: single-thread queue
  bool m_bOwnsMutex;
  std::list<ICmEvent*>* m_pSpareNodes;     // list nodes kept for reuse; guarded by m_pMutex
  std::atomic<size_t> m_nSpareNodes;       // its size, for a hint read without the lock

 private:
  CCmEventQueueBase(CCmMutexThread* aMutex, bool aOwnsMutex);
  // Moves the nodes of aNodes to the spare list, or to aToFree (released
  // after the lock) when the spare list is full.
  void Recycle_l(std::list<ICmEvent*>& aNodes, std::list<ICmEvent*>& aToFree);
};

// A thread-safe queue that its owner drains by polling.
class CM_EXPORT CCmEventQueueUsingMutex : public CCmEventQueueBase {
 public:
  CCmEventQueueUsingMutex() : CCmEventQueueBase(true) {}
};

// A thread-safe queue whose owner sleeps in PopOrWaitPendingEvents until an
// event is posted or the timeout passes. A post wakes the owner only when it
// sleeps; posts to a busy owner cost one lock hold and no system call.
//
// Lock order: m_Mutex, then the base mutex. The base mutex is m_Mutex
// itself, so the inner lock is a recursive re-entry that costs no atomic
// operation; what the base does on its own (PopPendingEvents,
// DestoryPendingEvents) still holds the one lock that posts take.
class CM_EXPORT CCmEventQueueUsingConditionVariable : public CCmEventQueueBase {
 public:
  CCmEventQueueUsingConditionVariable();
  ~CCmEventQueueUsingConditionVariable() override;

  int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) override;
  // Owner only. When nothing is pending, sleeps once, until a post or the
  // timeout (null: without limit); then takes at most aMaxCount events.
  // ZAR_E_NOT_FOUND when the queue is still empty after the sleep.
  int PopOrWaitPendingEvents(std::list<ICmEvent*>& aEvents, CCmTimeValue* aTimeout, unsigned long aMaxCount);
  // The loops' form of the above: aBatch holds the previous, processed
  // batch, whose list nodes are recycled, and receives the next one.
  int WaitNextBatch(std::list<ICmEvent*>& aBatch, CCmTimeValue* aTimeout, unsigned long aMaxCount);

 private:
  int PopOrWait(std::list<ICmEvent*>& aEvents, CCmTimeValue* aTimeout, unsigned long aMaxCount,
                std::list<ICmEvent*>* aUsed);

  CCmMutexThread m_Mutex;
  CCmConditionVariableThread m_Condition;  // bound to m_Mutex
  bool m_bOwnerSleeping;                   // guarded by m_Mutex
};

// The wrapper that carries a SendEvent across threads. It is queued in
// place of the sender's event, fires it, hands the result back through
// m_SendEvent, and is freed only when both the queue and the sender are done
// with it, whichever finishes last, so a sender that times out leaves
// nothing dangling:
//   1. the queue's first pass fires the wrapped event, signals the sender,
//      and disposes of the wrapped event (the wrapper stays);
//   2. the sender, when its wait has ended, posts the wrapper once more; the
//      queue takes it after the first pass (posting order), its firing does
//      nothing and its disposal frees the wrapper on the owning thread.
// When the queue refuses that second post (it was stopped meanwhile), the
// refusal counts as the sender's part and the wrapper is freed by whichever
// of the two comes last; the wrapped event is never disposed of while its
// first pass may still run.
//
// A first pass disposed of unfired (the queue stopped and dropped it)
// releases a sender that waits without limit with ZAR_E_UNEXPECTED; a sender
// with a timeout waits it out and gets ZAR_E_TIMEOUT.
//
// Made by CCmEventQueueBase::SendEvent; not meant to be created elsewhere.
class CM_EXPORT CCmEventSynchronous : public ICmEvent {
 public:
  CCmEventSynchronous(ICmEvent* aEvent, CCmEventQueueBase* aEventQueue);

  int OnEventFire() override;
  // First call: disposes of the wrapped event; second call: frees the wrapper.
  void OnDestorySelf() override;
  // The sender's side: waits, then hands the wrapper back (see above). The
  // wrapper must not be touched after this returns.
  int WaitResultAndDeleteThis(CCmTimeValue* aTimeout);

 protected:
  ~CCmEventSynchronous() override;

 private:
  friend class CCmEventQueueBase;  // sets m_bWaitWithoutLimit before the first post
  void DisposeWrappedOnce();

  ICmEvent* m_pEvent;
  int m_Result;                        // written before m_SendEvent is signalled
  CCmEventQueueBase* m_pEventQueue;
  std::atomic<int32_t> m_bDestoryed;   // the wrapped event has been disposed of
  CCmEventThread m_SendEvent;          // automatic reset
  std::atomic<int> m_nVotes;           // disposals seen; the second frees the wrapper
  std::atomic<bool> m_bFired;
  bool m_bWaitWithoutLimit;            // set by the sender before posting
  std::atomic<bool> m_bSenderReposting;  // the sender's second post is under way
  DWORD m_dwSenderThreadId;
};

// An event that calls a functor on the owning thread and returns its result
// (the functor returns an int result code). The functor is destroyed with
// the event, releasing whatever it captured.
//
//   queue->PostEvent(new CCmInvokeEvent<std::function<int()>>([=] { ... return 0; }));
template <class Functor>
class CCmInvokeEvent : public ICmEvent {
 public:
  explicit CCmInvokeEvent(Functor aFunctor) : ICmEvent(0), m_Functor(std::move(aFunctor)) {}
  int OnEventFire() override { return m_Functor(); }

 protected:
  ~CCmInvokeEvent() override = default;

 private:
  Functor m_Functor;
};

template <class Functor>
CCmInvokeEvent<Functor>* CmMakeInvokeEvent(Functor aFunctor) {
  return new CCmInvokeEvent<Functor>(std::move(aFunctor));
}

// Receives notifications by topic. Topics sent by the library: "TimerQueue"
// and "TimerQueueOnDemand" (a timer queue reporting a schedule).
class CM_EXPORT ICmObserver {
 public:
  virtual void OnObserve(const char* aTopic, void* aData) = 0;

 protected:
  virtual ~ICmObserver() = default;
};

#endif  // CM_EVENT_QUEUE_H
