// CmEventQueue.h - events and event queues: how work crosses threads.
//
// The road of an event:
//
//   any thread                   queue                              owning thread
//   ----------                   -----                              -------------
//   new MyEvent --PostEvent-->   inbox (lock-free, newest first)
//                                      <--taken whole, reversed-- owner's list (oldest first)
//                                                    <--PopPendingEvents (a batch)
//                                                       ProcessEvents (no lock held):
//                                                         OnEventFire()
//                                                         OnDestorySelf()
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
#include <cstddef>
#include <list>
#include <new>
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
// Memory: events are typically made on one thread and deleted on another,
// by the million, so new and delete of an event (of any derived class)
// recycle its memory through per-thread caches instead of the general
// allocator's cross-thread path; a warm hand-off allocates nothing. An event
// made with new must therefore be deleted with delete (never through the global operator
// or free), which is what OnDestorySelf does.
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

  // The sized delete gives the cache the block's size class; an unsized
  // one beside it would be chosen instead, so there is none.
  static void* operator new(std::size_t aSize);  // NOLINT(misc-new-delete-overloads)
  static void* operator new(std::size_t aSize, const std::nothrow_t&) noexcept;
  static void* operator new(std::size_t, void* aPlace) noexcept { return aPlace; }
  static void* operator new(std::size_t aSize, std::align_val_t aAlign) { return ::operator new(aSize, aAlign); }
  static void operator delete(void* aBlock, std::size_t aSize) noexcept;
  static void operator delete(void*, void*) noexcept {}
  static void operator delete(void* aBlock, std::size_t, std::align_val_t aAlign) noexcept {
    // Unsized: a host compiled without sized deallocation (clang's default)
    // has no global sized form to call.
    ::operator delete(aBlock, aAlign);
  }

  unsigned long GetTag() const { return m_dwTag; }
  // Kernel id of the thread that constructed the event.
  unsigned long GetOriginThreadId() const { return m_dwOriginThreadId; }

 protected:
  virtual ~ICmEvent();

  DWORD m_dwTag;             // carried for the poster; the library never reads it
  DWORD m_dwOriginThreadId;

 private:
  friend class CCmEventQueueBase;
  // The link of a taken batch (see PopPendingChain): an event is in at most
  // one batch at a time, so a batch needs no list nodes of its own.
  ICmEvent* m_pNextPending = nullptr;
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
  // ZAR_E_INVALIDARG for a null event, ZAR_E_OUTOFMEMORY when the queue
  // could not grow; the event is disposed of in every case in which it was
  // not queued.
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

// A block of the inbox's entries (see CCmEventQueueBase).
struct CmInboxChunk;

// The queue engine: a FIFO of pending events, taken out by the owner in
// batches and fired with no lock held (so an event may post to its own
// queue). A new queue is stopped: posts are refused until the owner calls
// Start.
//
// How it is built (the observable rules are those of a locked list; the
// machinery is chosen for the cost of a post):
//  - A post appends the event's address to an inbox under a word lock held
//    for a few instructions. The inbox is a chain of fixed-size chunks of
//    addresses, so an append never copies what is already there (a growing
//    array made the posters copy megabytes under the lock whenever four
//    producers outran the owner); emptied chunks are kept for the next
//    appends, so a warm queue allocates nothing. A post that finds the lock
//    held does not wait: it pushes the event onto an overflow stack (one
//    compare-and-swap), which the next holder moves into the inbox before
//    its own event, and the owner takes with the inbox. Posting order is
//    the order in which posts took the lock or pushed onto the stack; a
//    thread's own posts always fire in the order it made them.
//  - The owner takes the whole inbox in one short hold of that lock and
//    hands out batches from it, oldest first. Arrays of addresses rather
//    than a list linked through the events: the owner reads
//    the addresses in order and fetches the events ahead of firing them, so
//    the cache misses on events written by other cores overlap instead of
//    following one another (a linked inbox made the owner wait for each
//    event's link in turn: two thirds of its time with four producers).
//  - m_pMutex, when present, serialises the taking side only (batches,
//    DestoryPendingEvents), so a queue polled from more than one thread
//    stays consistent; posters never take it.
//  - The owner's sleep (CCmEventQueueUsingConditionVariable) is an event
//    count: the owner announces that it is about to sleep, checks the inbox
//    once more and sleeps on a word; a post wakes it only when it has
//    announced, so posts to a busy owner make no system call.
//
// Lifetime: owned by its thread object (or by whoever constructed it); the
// destructor disposes of the events still pending, unfired.
//
// Thread safety: PostEvent, SendEvent, GetPendingEventsCount, Stop and
// IsRunning from any thread (when built with a mutex); PopPendingEvents,
// ProcessEvents, ProcessOneEvent and DestoryPendingEvents from the owner.
// Built without a mutex, the taking side belongs to one thread.
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
  unsigned long GetPendingEventsCount() override {
    // Taken first: what was taken by then was posted by then.
    const DWORD taken = m_dwTaken.load(std::memory_order_acquire);
    return PendingSince(taken);
  }
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

  // The loops' forms of PopPendingEvents and ProcessEvents: a batch is a
  // chain of events linked through the queue's own link (no list nodes),
  // oldest first; aFirst is null when nothing was taken.
  int PopPendingChain(ICmEvent*& aFirst, unsigned long aMaxCount, unsigned long* aRemain = nullptr);
  int ProcessChain(ICmEvent* aFirst);
  // The event after aEvent in a taken chain (null at its end); read it
  // before aEvent fires.
  static ICmEvent* NextInChain(const ICmEvent* aEvent) { return aEvent->m_pNextPending; }

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
  // The refusals common to every post: a null event (ZAR_E_INVALIDARG) and
  // a stopped queue (ZAR_E_UNEXPECTED, the event disposed of, the warning
  // rate-limited). Returns true with aResult set when aEvent was refused.
  bool RefusePost(ICmEvent* aEvent, bool aIsSend, int& aResult) {
    if (aEvent && !m_bIsStopped.load(std::memory_order_relaxed)) return false;
    aResult = Refuse(aEvent, aIsSend);
    return true;
  }
  int Refuse(ICmEvent* aEvent, bool aIsSend);
  // A post the inbox had no room for: traced, disposed of, ZAR_E_OUTOFMEMORY.
  int RefuseUnqueued(ICmEvent* aEvent);
  // Queues aEvent; aSize receives the count before it. False when the inbox
  // could not grow (out of memory): the event was not queued.
  bool Push(ICmEvent* aEvent, unsigned long* aSize);
  // True when an event is waiting for the owner (a quick look: a post
  // being made may not show yet).
  bool HasPending() const {
    return OwnerHasEvents() || m_dwInboxCount.load(std::memory_order_relaxed) != 0 ||
           m_pOverflow.load(std::memory_order_relaxed) != nullptr;
  }
  // Taken out of the inbox and not handed out yet (the owner's).
  bool OwnerHasEvents() const { return m_pExpanding || m_pTakenChunk || m_pTakenOverflow; }
  // The owner's look after it has announced a sleep, under the inbox lock:
  // either this look sees a post's event, or that post, whose check of the
  // announcement comes after its hold of the lock, sees the announcement.
  bool HasPendingBeforeSleep();
  // Posted minus aTaken (never below 0: a post counts before it pushes).
  DWORD PendingSince(DWORD aTaken) const {
    const DWORD posted = m_dwPosted.load(std::memory_order_relaxed) + m_dwOverflowPosted.load(std::memory_order_relaxed);
    const int32_t pending = static_cast<int32_t>(posted - aTaken);
    return pending < 0 ? 0 : static_cast<DWORD>(pending);
  }
  // With the taking side's lock held: the next batch as a chain.
  int TakeChain_l(ICmEvent*& aFirst, unsigned long aMaxCount, unsigned long& aTaken, bool& aAll,
                  unsigned long* aRemain,
                  bool aWaitForPosters = false);
  void LockQueue() {
    if (m_pMutex) m_pMutex->Lock();
  }
  void UnLockQueue() {
    if (m_pMutex) m_pMutex->UnLock();
  }
  void SetRunning(bool aRunning) { m_bRunning.store(aRunning, std::memory_order_relaxed); }
  EventHook GetEventHook() const { return m_pEventHook.load(std::memory_order_relaxed); }
  // A derived queue whose own lock also guards the taking side: the base
  // locks aMutex when it acts on its own, and does not own it.
  explicit CCmEventQueueBase(CCmMutexThread& aSharedMutex);

  // ---- read or written by posters (kept apart from the owner's fields)
  // The lock and what a post or a take touches under it share one cache
  // line of their own, so a hold moves one line between cores.
  alignas(64) std::atomic<uint32_t> m_nInboxLock;  // guards the inbox chunks (see CmWordLock.h)
  std::atomic<DWORD> m_dwInboxCount;       // entries in the inbox, stored under the lock
  std::atomic<DWORD> m_dwPosted;           // events appended; written under the inbox lock
  // The inbox: chunks of entries, oldest first; an entry with its lowest
  // bit set is an overflow chain. Null when empty.
  CmInboxChunk* m_pInboxHead;
  CmInboxChunk* m_pInboxTail;              // the chunk being filled
  CmInboxChunk* m_pSpareChunks;            // emptied chunks for the next appends
  unsigned m_nSpareChunks;
  // Events posted while another thread held the inbox lock: a lock-free
  // stack linked through the events, newest first. The next holder of the
  // lock moves it into the inbox, as one entry, before its own event.
  std::atomic<ICmEvent*> m_pOverflow;
  std::atomic<DWORD> m_dwOverflowPosted;   // events pushed onto m_pOverflow
  // The sleep words and what every post reads start a line of their own:
  // the owner's sleeps and wake-ups do not take the posts' line away.
  alignas(64) std::atomic<uint32_t> m_nWakeSeq;  // the owner sleeps on it; a wake-up advances it
  std::atomic<uint32_t> m_nOwnerSleeping;  // 1 while the owner has announced a sleep
  std::atomic<DWORD> m_dwOwnerThreadId;
  std::atomic<int32_t> m_bIsStopped;
  std::atomic<EventHook> m_pEventHook;
  CCmMutexThread* m_pMutex;                // null: single-thread taking side
  bool m_bOwnsMutex;
  CCmTimeValue m_tvCreation;
  char m_szReserved[512];                  // also keeps the owner's fields off the posters' cache lines

  // ---- the owner's (taking side, guarded by m_pMutex when present)
  // What the owner has taken and hands out, in this order: the chain being
  // handed out, the rest of the last inbox taken, then the overflow chain
  // taken with it.
  ICmEvent* m_pExpanding;                  // an overflow chain turned oldest first
  CmInboxChunk* m_pTakenChunk;             // the last inbox taken; null once all handed out
  size_t m_nTakenNext;                     // its first entry not yet handed out
  CmInboxChunk* m_pDoneChunks;             // handed out; back to the spares at the next take
  ICmEvent* m_pTakenOverflow;              // newest first, as taken
  // Events taken, written by the taking side only. Pending is posted minus
  // taken; a count of its own, so that taking never writes the posters'
  // cache line (a shared counter written on both sides made every post
  // wait for that line).
  std::atomic<DWORD> m_dwTaken;
  std::atomic<bool> m_bRunning;

 private:
  CCmEventQueueBase(CCmMutexThread* aMutex, bool aOwnsMutex);
  // Replaces what the owner has, all handed out, with the inbox and the
  // overflow; false when both were empty. Unless aWaitForPosters, false
  // also when a poster holds the inbox lock: the owner does not wait for a
  // poster that may have been preempted inside it (its timers would wait
  // too); it comes back on its next turn.
  bool TakeInbox_l(bool aWaitForPosters);
  // The next event of the owner's, null when it has none.
  ICmEvent* NextTaken_l();
  static ICmEvent* OldestFirst(ICmEvent* aNewest);
};

// A thread-safe queue that its owner drains by polling.
class CM_EXPORT CCmEventQueueUsingMutex : public CCmEventQueueBase {
 public:
  CCmEventQueueUsingMutex() : CCmEventQueueBase(true) {}
};

// A thread-safe queue whose owner sleeps in PopOrWaitPendingEvents until an
// event is posted or the timeout passes. A post wakes the owner only when it
// sleeps; posts to a busy owner cost one compare-and-swap and no system
// call.
//
// The owner's sleep is the base's event count rather than a condition
// variable under m_Mutex: a post holds only the inbox's word lock, for a few
// instructions, and never waits for the owner to fire anything. The wait measures
// its timeout in microseconds on the monotonic clock, from a deadline
// computed once; it does not return before the deadline unless an event is
// pending. m_Mutex guards the taking side (the base's mutex).
class CM_EXPORT CCmEventQueueUsingConditionVariable : public CCmEventQueueBase {
 public:
  CCmEventQueueUsingConditionVariable();
  ~CCmEventQueueUsingConditionVariable() override;

  int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) override;
  // Owner only. When nothing is pending, sleeps until a post or the timeout
  // (null: without limit); then takes at most aMaxCount events.
  // ZAR_E_NOT_FOUND when the queue is still empty after the sleep.
  int PopOrWaitPendingEvents(std::list<ICmEvent*>& aEvents, CCmTimeValue* aTimeout, unsigned long aMaxCount);
  // The loops' form of the above: the batch is a chain (see PopPendingChain).
  int WaitNextBatch(ICmEvent*& aFirst, CCmTimeValue* aTimeout, unsigned long aMaxCount);

 private:
  // Returns when an event is pending or the timeout has passed.
  void SleepUntilPosted(const CCmTimeValue* aTimeout);
  // A post's half of the event count.
  void WakeOwnerIfSleeping() {
    if (m_nOwnerSleeping.load(std::memory_order_seq_cst) != 0 && m_nOwnerSleeping.exchange(0) != 0) WakeOwner();
  }
  void WakeOwner();

  CCmMutexThread m_Mutex;
  bool m_bSpinBeforeSleep = false;  // the owner's: its last sleep was short
};

// The wrapper that carries a SendEvent across threads. It is queued in
// place of the sender's event, fires it, hands the result back to the
// waiting sender, and is freed only when both the queue and the sender are
// done with it, whichever finishes last, so a sender that times out leaves
// nothing dangling:
//   - the queue's pass (its one OnDestorySelf) fires the wrapped event,
//     releases the sender, and disposes of the wrapped event on the owning
//     thread;
//   - the sender, when its wait has ended, casts the other vote.
// The second vote frees the wrapper. Handing the wrapper back through the
// queue once more (a second post, fired as a no-op) would also free it on
// the owning thread, but it costs the owner a second wake-up per round
// trip; the vote keeps every observable rule (the wrapped event fires and
// is disposed of on the owner, exactly once, also after a time-out) without
// it.
//
// The sender sleeps on a word of the wrapper rather than an event object:
// the owner's signal is one exchange, and a system call only when the
// sender has gone to sleep.
//
// A pass that disposes of the wrapper unfired (the queue stopped and
// dropped it) releases a sender that waits without limit with
// ZAR_E_UNEXPECTED; a sender with a timeout waits it out and gets
// ZAR_E_TIMEOUT.
//
// Made by CCmEventQueueBase::SendEvent; not meant to be created elsewhere.
class CM_EXPORT CCmEventSynchronous : public ICmEvent {
 public:
  CCmEventSynchronous(ICmEvent* aEvent, CCmEventQueueBase* aEventQueue);

  int OnEventFire() override;
  // The queue's pass: disposes of the wrapped event and votes.
  void OnDestorySelf() override;
  // The sender's side: waits (null: without limit), then votes. The wrapper
  // must not be touched after this returns. 0 or the wrapped event's result
  // when it fired, ZAR_E_TIMEOUT when the wait ran out.
  int WaitResultAndDeleteThis(CCmTimeValue* aTimeout);

 protected:
  ~CCmEventSynchronous() override;

 private:
  friend class CCmEventQueueBase;  // sets m_bWaitWithoutLimit before the first post, votes on a refusal
  void DisposeWrappedOnce();
  // Releases the sender (the result, when any, is in place).
  void Signal();
  // True when signalled within aTimeout (null: without limit).
  bool WaitSignal(const CCmTimeValue* aTimeout);
  void Vote();

  ICmEvent* m_pEvent;
  int m_Result;                        // written before the sender is released
  // The queue it was sent through; the two votes dispose of the wrapper, so
  // nothing reads it after construction.
  [[maybe_unused]] CCmEventQueueBase* m_pEventQueue;
  std::atomic<int32_t> m_bDestoryed;   // the wrapped event has been disposed of
  std::atomic<uint32_t> m_nSignal;     // 0 waiting, 1 released, 2 the sender sleeps on it
  std::atomic<int> m_nVotes;           // the second vote frees the wrapper
  std::atomic<bool> m_bFired;
  bool m_bWaitWithoutLimit;            // set by the sender before posting
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
