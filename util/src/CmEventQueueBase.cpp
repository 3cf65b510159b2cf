// The event queue engine, its sleeping form and the synchronous wrapper
// behind SendEvent.
//
// A post appends the event's address to a chunk of the inbox under a word
// lock held for a few instructions (see CmEventQueue.h); the owner takes the
// inbox's chunks whole and hands out batches from them, so a warm post
// allocates nothing and the owner never holds the lock while it fires. The
// owner's sleep and the sender's wait are words in the objects themselves
// that the platform layer sleeps on. The owner spins for a moment before it
// sleeps only while posts come faster than a sleep and a wake-up take (an
// idle task thread must cost nothing); a SendEvent sender spins for 10 us
// before it sleeps, because the answer usually comes sooner than a wake-up
// would (measured on a 2-core machine: a round trip of 2 us instead of
// 20 us idle, and no slower with three busy threads competing for the
// cores).
#include "CmEventQueue.h"

#include <cstring>
#include <thread>

#include "CmBlockCache.h"
#include "CmDebug.h"
#include "CmOneInN.h"
#include "CmTrace.h"
#include "CmWordLock.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformThread.h"
#include "platform/CmPlatformWait.h"

namespace {

// How long a task thread whose queue has run dry spins for the next post
// before it sleeps, when posts have been coming faster than a sleep and a
// wake-up take: about what the two cost together, so the spin never costs
// much more processor time than the sleep it saves. Posts that come less
// often than that find the owner asleep as before.
constexpr int64_t kOwnerSpinMicroseconds = 2;

// How long a SendEvent caller spins for the result before it sleeps. A
// round trip to an idle task thread takes about 2 us with the spin and
// 20 us without (two wake-ups instead of one); an event that runs longer
// costs its sender this much processor time more.
constexpr int64_t kSendSpinMicroseconds = 10;

// Entries per inbox chunk: a chunk with its header is 4 KiB. Up to
// kSpareChunksKept emptied chunks (about 4,000 entries) are kept for the
// next appends; a burst deeper than that frees the rest once handed out.
constexpr size_t kChunkEntries = 510;
constexpr unsigned kSpareChunksKept = 8;
// How many events ahead of the one handed out the owner fetches.
constexpr size_t kPrefetchAhead = 8;

// Refusals of a stopped queue are reported for 1 call in 200, per operation
// and process-wide; the first refusal is always reported.
CCmOneInN<200> g_PostRefusals;
CCmOneInN<200> g_SendRefusals;

// Microseconds of a timeout (null: -1, without limit; never negative).
int64_t TimeoutMicroseconds(const CCmTimeValue* aTimeout) {
  if (!aTimeout) return -1;
  const int64_t us = static_cast<int64_t>(aTimeout->GetSec()) * 1000000 + aTimeout->GetUsec();
  return us < 0 ? 0 : us;
}

}  // namespace

struct CmInboxChunk {
  CmInboxChunk* next;
  size_t count;
  ICmEvent* entries[kChunkEntries];
};

namespace {

void FreeChunks(CmInboxChunk* aChunk) {
  while (aChunk) {
    CmInboxChunk* const next = aChunk->next;
    ::operator delete(aChunk);
    aChunk = next;
  }
}

}  // namespace

// ------------------------------------------------------------------ ICmEvent

ICmEvent::ICmEvent(unsigned long aTag)
    : m_dwTag(static_cast<DWORD>(aTag)), m_dwOriginThreadId(cm_platform::CurrentThreadId()) {}

ICmEvent::~ICmEvent() = default;

void ICmEvent::OnDestorySelf() { delete this; }

void* ICmEvent::operator new(std::size_t aSize) { return CmBlockCacheAlloc(aSize); }  // NOLINT(misc-new-delete-overloads): sized delete only, see the header

void* ICmEvent::operator new(std::size_t aSize, const std::nothrow_t&) noexcept { return CmBlockCacheTryAlloc(aSize); }

void ICmEvent::operator delete(void* aBlock, std::size_t aSize) noexcept { CmBlockCacheFree(aBlock, aSize); }

// --------------------------------------------------------- CCmEventQueueBase

CCmTimeValue CCmEventQueueBase::s_tvReportInterval(0L, 500000L);

CCmEventQueueBase::CCmEventQueueBase(bool aWithMutex)
    : CCmEventQueueBase(aWithMutex ? new CCmMutexThread : nullptr, aWithMutex) {}

CCmEventQueueBase::CCmEventQueueBase(CCmMutexThread& aSharedMutex) : CCmEventQueueBase(&aSharedMutex, false) {}

CCmEventQueueBase::CCmEventQueueBase(CCmMutexThread* aMutex, bool aOwnsMutex)
    : m_nInboxLock(0),
      m_dwInboxCount(0),
      m_dwPosted(0),
      m_pInboxHead(nullptr),
      m_pInboxTail(nullptr),
      m_pSpareChunks(nullptr),
      m_nSpareChunks(0),
      m_pOverflow(nullptr),
      m_dwOverflowPosted(0),
      m_nWakeSeq(0),
      m_nOwnerSleeping(0),
      m_dwOwnerThreadId(0),
      m_bIsStopped(1),
      m_pEventHook(nullptr),
      m_pMutex(aMutex),
      m_bOwnsMutex(aOwnsMutex),
      m_tvCreation(CCmTimeValue::GetTimeOfDay()),
      m_pExpanding(nullptr),
      m_pTakenChunk(nullptr),
      m_nTakenNext(0),
      m_pDoneChunks(nullptr),
      m_pTakenOverflow(nullptr),
      m_dwTaken(0),
      m_bRunning(false) {
  memset(m_szReserved, 0, sizeof(m_szReserved));
}

CCmEventQueueBase::~CCmEventQueueBase() {
  CM_INFO_TRACE_THIS("CCmEventQueueBase::~CCmEventQueueBase");
  DestoryPendingEvents();
  // All handed out by now: what is left are emptied chunks.
  FreeChunks(m_pInboxHead);
  FreeChunks(m_pSpareChunks);
  FreeChunks(m_pDoneChunks);
  if (m_bOwnsMutex) delete m_pMutex;
}

void CCmEventQueueBase::Start() {
  CM_INFO_TRACE_THIS("CCmEventQueueBase::Start");
  m_bIsStopped.store(0);
}

void CCmEventQueueBase::Stop() {
  CM_INFO_TRACE_THIS("CCmEventQueueBase::Stop");
  m_bIsStopped.store(1);
}

void CCmEventQueueBase::Reset2CurrentThreadInfo() { m_dwOwnerThreadId.store(cm_platform::CurrentThreadId()); }

int CCmEventQueueBase::Refuse(ICmEvent* aEvent, bool aIsSend) {
  if (!aEvent) {
    CmAssertFailed(__FILE__, __LINE__, "aEvent");
    return ZAR_E_INVALIDARG;
  }
  if ((aIsSend ? g_SendRefusals : g_PostRefusals).Pass()) {
    CM_WARNING_TRACE_THIS("CCmEventQueueBase::" << (aIsSend ? "SendEvent" : "PostEvent") << ", has been stopped.");
  }
  aEvent->OnDestorySelf();
  return ZAR_E_UNEXPECTED;
}

namespace {

// An overflow chain stored as one entry of the inbox: its newest event's
// address with the lowest bit set (events are at least 8-byte aligned).
ICmEvent* AsEntry(ICmEvent* aChain) { return reinterpret_cast<ICmEvent*>(reinterpret_cast<uintptr_t>(aChain) | 1); }
bool IsChainEntry(const ICmEvent* aEntry) { return (reinterpret_cast<uintptr_t>(aEntry) & 1) != 0; }
ICmEvent* ChainOf(ICmEvent* aEntry) { return reinterpret_cast<ICmEvent*>(reinterpret_cast<uintptr_t>(aEntry) & ~uintptr_t{1}); }

}  // namespace

// Turns a chain linked newest first into one linked oldest first.
ICmEvent* CCmEventQueueBase::OldestFirst(ICmEvent* aNewest) {
  ICmEvent* oldest = nullptr;
  while (aNewest) {
    ICmEvent* const next = aNewest->m_pNextPending;
    aNewest->m_pNextPending = oldest;
    oldest = aNewest;
    aNewest = next;
  }
  return oldest;
}

bool CCmEventQueueBase::Push(ICmEvent* aEvent, unsigned long* aSize) {
  if (!CmWordTryLock(m_nInboxLock)) {
    // Another poster (or the owner) holds the lock: rather than wait for a
    // holder that may have been preempted, leave the event on the overflow
    // stack, where the next holder or the owner picks it up.
    m_dwOverflowPosted.fetch_add(1, std::memory_order_relaxed);
    if (aSize) *aSize = PendingSince(m_dwTaken.load(std::memory_order_relaxed) + 1);
    ICmEvent* head = m_pOverflow.load(std::memory_order_relaxed);
    do {
      aEvent->m_pNextPending = head;
    } while (!m_pOverflow.compare_exchange_weak(head, aEvent, std::memory_order_seq_cst, std::memory_order_relaxed));
    return true;
  }
  CmInboxChunk* chunk = m_pInboxTail;
  // Room for this event and an overflow chain in front of it.
  if (!chunk || chunk->count + 2 > kChunkEntries) {
    CmInboxChunk* fresh = m_pSpareChunks;
    if (fresh) {
      m_pSpareChunks = fresh->next;
      --m_nSpareChunks;
    } else {
      fresh = static_cast<CmInboxChunk*>(::operator new(sizeof(CmInboxChunk), std::nothrow));
      if (!fresh) {
        CmWordUnlock(m_nInboxLock);
        return false;
      }
    }
    fresh->next = nullptr;
    fresh->count = 0;
    if (chunk) {
      chunk->next = fresh;
    } else {
      m_pInboxHead = fresh;
    }
    m_pInboxTail = chunk = fresh;
  }
  DWORD appended = 1;
  // Events left on the overflow stack were posted before this one began.
  if (m_pOverflow.load(std::memory_order_relaxed)) {
    chunk->entries[chunk->count++] = AsEntry(m_pOverflow.exchange(nullptr, std::memory_order_acquire));
    ++appended;
  }
  chunk->entries[chunk->count++] = aEvent;
  m_dwPosted.store(m_dwPosted.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  m_dwInboxCount.store(m_dwInboxCount.load(std::memory_order_relaxed) + appended, std::memory_order_relaxed);
  CmWordUnlock(m_nInboxLock);
  if (aSize) *aSize = PendingSince(m_dwTaken.load(std::memory_order_relaxed) + 1);
  return true;
}

bool CCmEventQueueBase::HasPendingBeforeSleep() {
  if (OwnerHasEvents()) return true;
  // A post that leaves its event on the overflow stack takes no lock: the
  // stack is read with full ordering, as the post reads the announcement.
  if (m_pOverflow.load(std::memory_order_seq_cst)) return true;
  // A poster inside the lock is about to add an event.
  if (!CmWordTryLock(m_nInboxLock)) return true;
  const bool pending = m_pInboxHead != nullptr;
  CmWordUnlock(m_nInboxLock);
  return pending;
}

int CCmEventQueueBase::RefuseUnqueued(ICmEvent* aEvent) {
  CM_ERROR_TRACE_THIS("CCmEventQueueBase::PostEvent, out of memory.");
  aEvent->OnDestorySelf();
  return ZAR_E_OUTOFMEMORY;
}

int CCmEventQueueBase::PostEvent(ICmEvent* aEvent, EPriority /*aPri*/, unsigned long* aSize) {
  int rv;
  if (RefusePost(aEvent, false, rv)) return rv;
  if (!Push(aEvent, aSize)) return RefuseUnqueued(aEvent);
  return ZAR_S_OK;
}

int CCmEventQueueBase::SendEvent(ICmEvent* aEvent, CCmTimeValue* aTimeout) {
  int refused;
  if (RefusePost(aEvent, true, refused)) return refused;
  if (m_dwOwnerThreadId.load(std::memory_order_relaxed) == cm_platform::CurrentThreadId()) {
    const int rv = aEvent->OnEventFire();
    aEvent->OnDestorySelf();
    return rv;
  }

  CCmEventSynchronous* sync = new CCmEventSynchronous(aEvent, this);
  sync->m_bWaitWithoutLimit = (aTimeout == nullptr);
  // The virtual post, so that a derived queue wakes its owner.
  const int rv = PostEvent(sync, EPRIORITY_DEFAULT, nullptr);
  if (rv != ZAR_S_OK) {
    // The refusal was the queue's pass (the wrapped event is disposed of);
    // the sender's vote frees the wrapper.
    sync->Vote();
    return rv;
  }
  return sync->WaitResultAndDeleteThis(aTimeout);
}

bool CCmEventQueueBase::TakeInbox_l(bool aWaitForPosters) {
  // Looked at before the lock is taken: an empty inbox is left to the
  // posters' cores.
  if (m_dwInboxCount.load(std::memory_order_relaxed) == 0 && !m_pOverflow.load(std::memory_order_relaxed)) {
    return false;
  }
  if (aWaitForPosters) {
    CmWordLock(m_nInboxLock);
  } else if (!CmWordTryLock(m_nInboxLock)) {
    // A poster is inside: usually for a few instructions, unless it was
    // preempted there, in which case it may need this processor.
    std::this_thread::yield();
    return false;
  }
  m_pTakenChunk = m_pInboxHead;
  m_nTakenNext = 0;
  m_pInboxHead = m_pInboxTail = nullptr;
  m_dwInboxCount.store(0, std::memory_order_relaxed);
  // Under the lock: the overflow holds only events posted after the inbox's.
  m_pTakenOverflow = m_pOverflow.exchange(nullptr, std::memory_order_acquire);
  // The chunks handed out since the last take become the posters' spares;
  // beyond what a usual depth needs, they are freed after the lock.
  while (m_pDoneChunks && m_nSpareChunks < kSpareChunksKept) {
    CmInboxChunk* const chunk = m_pDoneChunks;
    m_pDoneChunks = chunk->next;
    chunk->next = m_pSpareChunks;
    m_pSpareChunks = chunk;
    ++m_nSpareChunks;
  }
  CmInboxChunk* const excess = m_pDoneChunks;
  m_pDoneChunks = nullptr;
  CmWordUnlock(m_nInboxLock);
  FreeChunks(excess);
  return OwnerHasEvents();
}

ICmEvent* CCmEventQueueBase::NextTaken_l() {
  for (;;) {
    if (ICmEvent* const event = m_pExpanding) {
      m_pExpanding = event->m_pNextPending;
      return event;
    }
    if (CmInboxChunk* const chunk = m_pTakenChunk) {
      ICmEvent* const entry = chunk->entries[m_nTakenNext];
      // Events come from other cores: fetch the ones a few places ahead
      // now, so that their misses overlap with this batch's work.
      if (m_nTakenNext + kPrefetchAhead < chunk->count) {
        __builtin_prefetch(ChainOf(chunk->entries[m_nTakenNext + kPrefetchAhead]), 1);
      }
      if (++m_nTakenNext == chunk->count) {
        // Every taken chunk holds at least one entry, so a current chunk
        // always has one to hand out.
        m_pTakenChunk = chunk->next;
        m_nTakenNext = 0;
        chunk->next = m_pDoneChunks;
        m_pDoneChunks = chunk;
      }
      if (!IsChainEntry(entry)) return entry;
      m_pExpanding = OldestFirst(ChainOf(entry));
      continue;
    }
    if (!m_pTakenOverflow) return nullptr;
    m_pExpanding = OldestFirst(m_pTakenOverflow);
    m_pTakenOverflow = nullptr;
  }
}

int CCmEventQueueBase::TakeChain_l(ICmEvent*& aFirst, unsigned long aMaxCount, unsigned long& aTaken, bool& aAll,
                                   unsigned long* aRemain, bool aWaitForPosters) {
  aFirst = nullptr;
  aTaken = 0;
  aAll = false;
  // The inbox is taken only when the owner has handed out all it took, so a
  // busy queue touches the posters' cache lines once per many batches.
  // At most once per call, so that posters who keep posting cannot keep a
  // call that takes everything going.
  bool tookInbox = false;
  if (!OwnerHasEvents()) {
    if (!TakeInbox_l(aWaitForPosters)) return ZAR_E_NOT_FOUND;
    tookInbox = true;
  }
  ICmEvent* last = nullptr;
  while (aTaken < aMaxCount) {
    ICmEvent* event = NextTaken_l();
    if (!event) {
      if (tookInbox || !TakeInbox_l(aWaitForPosters)) break;
      tookInbox = true;
      event = NextTaken_l();
    }
    if (last) {
      last->m_pNextPending = event;
    } else {
      aFirst = event;
    }
    last = event;
    ++aTaken;
  }
  if (last) last->m_pNextPending = nullptr;
  aAll = !OwnerHasEvents() && m_dwInboxCount.load(std::memory_order_relaxed) == 0 &&
         !m_pOverflow.load(std::memory_order_relaxed);
  const DWORD taken = m_dwTaken.load(std::memory_order_relaxed) + static_cast<DWORD>(aTaken);
  m_dwTaken.store(taken, std::memory_order_release);
  if (aRemain) *aRemain = PendingSince(taken);
  return ZAR_S_OK;
}

int CCmEventQueueBase::PopPendingChain(ICmEvent*& aFirst, unsigned long aMaxCount, unsigned long* aRemain) {
  unsigned long taken;
  bool all;
  LockQueue();
  const int rv = TakeChain_l(aFirst, aMaxCount, taken, all, aRemain);
  UnLockQueue();
  return rv;
}

int CCmEventQueueBase::PopPendingEvents(std::list<ICmEvent*>& aEvents, unsigned long aMaxCount,
                                        unsigned long* aRemain) {
  ICmEvent* first;
  unsigned long taken;
  bool all;
  LockQueue();
  const int rv = TakeChain_l(first, aMaxCount, taken, all, aRemain);
  UnLockQueue();
  if (rv != ZAR_S_OK) return rv;
  if (all) aEvents.clear();  // the previous content is replaced
  for (ICmEvent* event = first; event;) {
    ICmEvent* const next = event->m_pNextPending;
    event->m_pNextPending = nullptr;
    aEvents.push_back(event);
    event = next;
  }
  return ZAR_S_OK;
}

int CCmEventQueueBase::ProcessChain(ICmEvent* aFirst) {
  SetRunning(true);
  for (ICmEvent* event = aFirst; event;) {
    // Read first: a fired event may be handed elsewhere (a SendEvent
    // wrapper's sender may free it) once it has run.
    ICmEvent* const next = event->m_pNextPending;
    event->OnEventFire();
    event->OnDestorySelf();
    event = next;
  }
  if (EventHook hook = GetEventHook()) {
    hook();
    return ZAR_E_EVENT_HOOKED;
  }
  SetRunning(false);
  return ZAR_S_OK;
}

int CCmEventQueueBase::ProcessEvents(const std::list<ICmEvent*>& aEvents) {
  SetRunning(true);
  for (ICmEvent* event : aEvents) {
    if (!event) {
      CmAssertFailed(__FILE__, __LINE__, "aEvent");
      continue;
    }
    event->OnEventFire();
    event->OnDestorySelf();
  }
  if (EventHook hook = GetEventHook()) {
    hook();
    return ZAR_E_EVENT_HOOKED;
  }
  SetRunning(false);
  return ZAR_S_OK;
}

int CCmEventQueueBase::ProcessOneEvent(ICmEvent* aEvent) {
  CM_ASSERTE_RETURN(aEvent, ZAR_E_INVALIDARG);
  aEvent->OnEventFire();
  aEvent->OnDestorySelf();
  return ZAR_S_OK;
}

void CCmEventQueueBase::DestoryPendingEvents() {
  CM_INFO_TRACE_THIS("CCmEventQueueBase::DestoryPendingEvents, m_dwSize=" << GetPendingEventsCount());
  ICmEvent* first;
  unsigned long taken;
  bool all;
  LockQueue();
  TakeChain_l(first, 0xFFFFFFFFul, taken, all, nullptr, true);
  UnLockQueue();
  for (ICmEvent* event = first; event;) {
    ICmEvent* const next = event->m_pNextPending;
    event->OnDestorySelf();
    event = next;
  }
}

// ------------------------------------------ CCmEventQueueUsingConditionVariable

CCmEventQueueUsingConditionVariable::CCmEventQueueUsingConditionVariable() : CCmEventQueueBase(m_Mutex) {}

CCmEventQueueUsingConditionVariable::~CCmEventQueueUsingConditionVariable() {
  // m_Mutex goes before the base destructor runs; no other thread may touch
  // a queue that is being destroyed, so the base finishes without the lock.
  m_pMutex = nullptr;
}

int CCmEventQueueUsingConditionVariable::PostEvent(ICmEvent* aEvent, EPriority /*aPri*/, unsigned long* aSize) {
  int rv;
  if (RefusePost(aEvent, false, rv)) return rv;
  if (!Push(aEvent, aSize)) return RefuseUnqueued(aEvent);
  WakeOwnerIfSleeping();
  return ZAR_S_OK;
}

void CCmEventQueueUsingConditionVariable::WakeOwner() {
  m_nWakeSeq.fetch_add(1, std::memory_order_release);
  cm_platform::WakeWord(m_nWakeSeq, 1);
}

void CCmEventQueueUsingConditionVariable::SleepUntilPosted(const CCmTimeValue* aTimeout) {
  const int64_t timeout = TimeoutMicroseconds(aTimeout);
  if (timeout == 0) return;
  if (m_bSpinBeforeSleep) {
    const int64_t spin = timeout < 0 || timeout > kOwnerSpinMicroseconds ? kOwnerSpinMicroseconds : timeout;
    if (cm_platform::PollWordWhile(m_dwInboxCount, 0, spin)) return;
  }
  const int64_t deadline = cm_platform::WaitDeadline(timeout);
  for (;;) {
    const uint32_t seq = m_nWakeSeq.load(std::memory_order_acquire);
    m_nOwnerSleeping.store(1, std::memory_order_seq_cst);
    if (HasPendingBeforeSleep()) break;
    const int64_t asleep = cm_platform::WaitDeadline(0);
    const bool inTime = cm_platform::WaitOnWordUntil(m_nWakeSeq, seq, deadline);
    m_nOwnerSleeping.store(0, std::memory_order_relaxed);
    // A post woke the owner soon after it fell asleep: posts are coming
    // faster than a sleep and a wake-up cost, so the next time it first
    // spins for a moment.
    m_bSpinBeforeSleep = inTime && cm_platform::WaitDeadline(0) - asleep < 2 * kOwnerSpinMicroseconds;
    if (!inTime || HasPending()) return;
  }
  m_nOwnerSleeping.store(0, std::memory_order_relaxed);
}

int CCmEventQueueUsingConditionVariable::PopOrWaitPendingEvents(std::list<ICmEvent*>& aEvents,
                                                                CCmTimeValue* aTimeout, unsigned long aMaxCount) {
  if (!HasPending()) SleepUntilPosted(aTimeout);
  return PopPendingEvents(aEvents, aMaxCount, nullptr);
}

int CCmEventQueueUsingConditionVariable::WaitNextBatch(ICmEvent*& aFirst, CCmTimeValue* aTimeout,
                                                       unsigned long aMaxCount) {
  if (!HasPending()) SleepUntilPosted(aTimeout);
  return PopPendingChain(aFirst, aMaxCount, nullptr);
}

// ------------------------------------------------------- CCmEventSynchronous

CCmEventSynchronous::CCmEventSynchronous(ICmEvent* aEvent, CCmEventQueueBase* aEventQueue)
    : ICmEvent(0),
      m_pEvent(aEvent),
      m_Result(ZAR_E_NOT_AVAILABLE),
      m_pEventQueue(aEventQueue),
      m_bDestoryed(0),
      m_nSignal(0),
      m_nVotes(0),
      m_bFired(false),
      m_bWaitWithoutLimit(false) {}

CCmEventSynchronous::~CCmEventSynchronous() { DisposeWrappedOnce(); }

void CCmEventSynchronous::Signal() {
  if (m_nSignal.exchange(1, std::memory_order_acq_rel) == 2) cm_platform::WakeWord(m_nSignal, 1);
}

bool CCmEventSynchronous::WaitSignal(const CCmTimeValue* aTimeout) {
  if (m_nSignal.load(std::memory_order_acquire) == 1) return true;
  const int64_t timeout = TimeoutMicroseconds(aTimeout);
  // Most events fire within microseconds of being taken, sooner than the
  // sender could go to sleep and be woken: look for the signal for a short
  // while first.
  const int64_t spin = timeout < 0 || timeout > kSendSpinMicroseconds ? kSendSpinMicroseconds : timeout;
  if (cm_platform::PollWordWhile(m_nSignal, 0, spin)) return m_nSignal.load(std::memory_order_acquire) == 1;
  const int64_t deadline = cm_platform::WaitDeadline(timeout);
  for (;;) {
    uint32_t state = 0;
    // Announce the sleep; a signal that came first leaves 1 behind.
    if (!m_nSignal.compare_exchange_strong(state, 2, std::memory_order_acq_rel) && state == 1) return true;
    const bool inTime = cm_platform::WaitOnWordUntil(m_nSignal, 2, deadline);
    if (m_nSignal.load(std::memory_order_acquire) == 1) return true;
    if (!inTime) return false;
  }
}

int CCmEventSynchronous::OnEventFire() {
  if (m_bDestoryed.load()) return ZAR_S_OK;
  const int rv = m_pEvent ? m_pEvent->OnEventFire() : ZAR_E_POINTER;
  m_Result = rv;
  m_bFired.store(true);
  Signal();
  return rv;
}

void CCmEventSynchronous::DisposeWrappedOnce() {
  if (m_bDestoryed.exchange(1)) return;
  ICmEvent* const event = m_pEvent;
  m_pEvent = nullptr;
  if (event) event->OnDestorySelf();
  if (!m_bFired.load() && m_bWaitWithoutLimit) {
    // Dropped unfired: a sender without a timeout would wait forever.
    m_Result = ZAR_E_UNEXPECTED;
    Signal();
  }
}

void CCmEventSynchronous::Vote() {
  if (m_nVotes.fetch_add(1, std::memory_order_acq_rel) + 1 >= 2) delete this;
}

void CCmEventSynchronous::OnDestorySelf() {
  DisposeWrappedOnce();
  Vote();
}

int CCmEventSynchronous::WaitResultAndDeleteThis(CCmTimeValue* aTimeout) {
  int rv;
  if (WaitSignal(aTimeout)) {
    rv = m_Result;
  } else {
    CM_WARNING_TRACE_THIS("CCmEventSynchronous::WaitResultAndDeleteThis, m_SendEvent.Wait() failed!");
    rv = ZAR_E_TIMEOUT;
  }
  // From here the wrapper may be freed at any moment by the owner.
  Vote();
  return rv;
}
