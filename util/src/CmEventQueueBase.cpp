// The event queue engine, its condition-variable form and the synchronous
// wrapper behind SendEvent.
//
// The pending list is a std::list whose nodes are recycled: a processed
// batch hands its nodes back (TakeBatch_l's aUsed) and later posts reuse
// them, so a steady stream of events allocates nothing but the events; when
// no spare node is at hand the poster allocates one before taking the lock.
// Events are moved out under one lock hold and fired with no lock held. The
// lock is only ever held for a few list operations, so both sides spin
// briefly on it before blocking: a blocked poster or owner costs a system
// call to sleep and another to be woken.
#include "CmEventQueue.h"

#include <cstring>
#include <iterator>

#include "CmDebug.h"
#include "CmOneInN.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformThread.h"

namespace {

// Nodes kept for reuse per queue; more than a burst's worth would only hold
// memory.
constexpr size_t kMaxSpareNodes = 1024;

// The queue lock is held for a few list operations only, so a poster and the
// owner that meet on it are better off spinning briefly than paying a
// system call each to sleep and to wake the other.
constexpr int kLockSpins = 100;

void LockSpinning(CCmMutexThread& aMutex) {
  for (int i = 0; i < kLockSpins; ++i) {
    if (aMutex.TryLock() == ZAR_S_OK) return;
    cm_platform::CpuRelax();
  }
  aMutex.Lock();
}

// Refusals of a stopped queue are reported for 1 call in 200, per operation
// and process-wide; the first refusal is always reported.
CCmOneInN<200> g_PostRefusals;
CCmOneInN<200> g_SendRefusals;

}  // namespace

// ------------------------------------------------------------------ ICmEvent

ICmEvent::ICmEvent(unsigned long aTag)
    : m_dwTag(static_cast<DWORD>(aTag)), m_dwOriginThreadId(cm_platform::CurrentThreadId()) {}

ICmEvent::~ICmEvent() = default;

void ICmEvent::OnDestorySelf() { delete this; }

// --------------------------------------------------------- CCmEventQueueBase

CCmTimeValue CCmEventQueueBase::s_tvReportInterval(0L, 500000L);

CCmEventQueueBase::CCmEventQueueBase(bool aWithMutex)
    : CCmEventQueueBase(aWithMutex ? new CCmMutexThread : nullptr, aWithMutex) {}

CCmEventQueueBase::CCmEventQueueBase(CCmMutexThread& aSharedMutex) : CCmEventQueueBase(&aSharedMutex, false) {}

CCmEventQueueBase::CCmEventQueueBase(CCmMutexThread* aMutex, bool aOwnsMutex)
    : m_pPendingEvents(new std::list<ICmEvent*>),
      m_dwSize(0),
      m_tvCreation(CCmTimeValue::GetTimeOfDay()),
      m_dwOwnerThreadId(0),
      m_bIsStopped(1),
      m_bRunning(false),
      m_pEventHook(nullptr),
      m_pMutex(aMutex),
      m_bOwnsMutex(aOwnsMutex),
      m_pSpareNodes(new std::list<ICmEvent*>),
      m_nSpareNodes(0) {
  memset(m_szReserved, 0, sizeof(m_szReserved));
}

CCmEventQueueBase::~CCmEventQueueBase() {
  CM_INFO_TRACE_THIS("CCmEventQueueBase::~CCmEventQueueBase");
  DestoryPendingEvents();
  delete m_pPendingEvents;
  delete m_pSpareNodes;
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

std::list<ICmEvent*> CCmEventQueueBase::PrepareNode(ICmEvent* aEvent) const {
  // The hint may be stale either way; a wrong guess costs one allocation
  // under the lock, or a node that joins the spare list.
  if (m_nSpareNodes.load(std::memory_order_relaxed) != 0) return std::list<ICmEvent*>();
  return std::list<ICmEvent*>(1, aEvent);
}

int CCmEventQueueBase::Append_l(ICmEvent* aEvent, unsigned long* aSize, std::list<ICmEvent*>& aPrepared) {
  const DWORD size = m_dwSize.load(std::memory_order_relaxed);
  if (aSize) *aSize = size;
  if (!m_pSpareNodes->empty()) {
    m_pPendingEvents->splice(m_pPendingEvents->end(), *m_pSpareNodes, m_pSpareNodes->begin());
    m_pPendingEvents->back() = aEvent;
    m_pSpareNodes->splice(m_pSpareNodes->end(), aPrepared);
    m_nSpareNodes.store(m_pSpareNodes->size(), std::memory_order_relaxed);
  } else if (!aPrepared.empty()) {
    m_pPendingEvents->splice(m_pPendingEvents->end(), aPrepared);
    m_pPendingEvents->back() = aEvent;
  } else {
    m_pPendingEvents->push_back(aEvent);
  }
  m_dwSize.store(size + 1, std::memory_order_relaxed);
  return ZAR_S_OK;
}

bool CCmEventQueueBase::RefusePost(ICmEvent* aEvent, bool aIsSend, int& aResult) {
  if (!aEvent) {
    CmAssertFailed(__FILE__, __LINE__, "aEvent");
    aResult = ZAR_E_INVALIDARG;
    return true;
  }
  if (!m_bIsStopped.load(std::memory_order_relaxed)) return false;
  if ((aIsSend ? g_SendRefusals : g_PostRefusals).Pass()) {
    CM_WARNING_TRACE_THIS("CCmEventQueueBase::" << (aIsSend ? "SendEvent" : "PostEvent") << ", has been stopped.");
  }
  aEvent->OnDestorySelf();
  aResult = ZAR_E_UNEXPECTED;
  return true;
}

int CCmEventQueueBase::PostEvent(ICmEvent* aEvent, EPriority /*aPri*/, unsigned long* aSize) {
  int rv;
  if (RefusePost(aEvent, false, rv)) return rv;
  std::list<ICmEvent*> node = PrepareNode(aEvent);
  LockQueue();
  rv = Append_l(aEvent, aSize, node);
  UnLockQueue();
  return rv;
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
    // The refusal disposed of the wrapped event; the sender's part is over
    // too, which frees the wrapper.
    sync->OnDestorySelf();
    return rv;
  }
  return sync->WaitResultAndDeleteThis(aTimeout);
}

void CCmEventQueueBase::Recycle_l(std::list<ICmEvent*>& aNodes, std::list<ICmEvent*>& aToFree) {
  if (aNodes.empty()) return;
  if (m_pSpareNodes->size() + aNodes.size() <= kMaxSpareNodes) {
    m_pSpareNodes->splice(m_pSpareNodes->end(), aNodes);
    m_nSpareNodes.store(m_pSpareNodes->size(), std::memory_order_relaxed);
  } else {
    aToFree.splice(aToFree.end(), aNodes);
  }
}

int CCmEventQueueBase::TakeBatch_l(std::list<ICmEvent*>& aEvents, unsigned long aMaxCount, unsigned long* aRemain,
                                   std::list<ICmEvent*>* aUsed, std::list<ICmEvent*>& aToFree) {
  if (aUsed) Recycle_l(*aUsed, aToFree);
  const DWORD size = m_dwSize.load(std::memory_order_relaxed);
  if (size == 0) return ZAR_E_NOT_FOUND;
  if (size > aMaxCount) {
    auto last = m_pPendingEvents->begin();
    std::advance(last, static_cast<long>(aMaxCount));
    aEvents.splice(aEvents.end(), *m_pPendingEvents, m_pPendingEvents->begin(), last);
    m_dwSize.store(size - static_cast<DWORD>(aMaxCount), std::memory_order_relaxed);
  } else {
    Recycle_l(aEvents, aToFree);  // the previous content is replaced
    aEvents.swap(*m_pPendingEvents);
    m_dwSize.store(0, std::memory_order_relaxed);
  }
  if (aRemain) *aRemain = m_dwSize.load(std::memory_order_relaxed);
  return ZAR_S_OK;
}

int CCmEventQueueBase::PopPendingEvents(std::list<ICmEvent*>& aEvents, unsigned long aMaxCount,
                                        unsigned long* aRemain) {
  std::list<ICmEvent*> toFree;  // declared first: freed after the lock is released
  LockQueue();
  const int rv = TakeBatch_l(aEvents, aMaxCount, aRemain, nullptr, toFree);
  UnLockQueue();
  return rv;
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
  CM_INFO_TRACE_THIS("CCmEventQueueBase::DestoryPendingEvents, m_dwSize=" << m_dwSize.load());
  std::list<ICmEvent*> events;
  LockQueue();
  events.swap(*m_pPendingEvents);
  m_dwSize.store(0, std::memory_order_relaxed);
  UnLockQueue();
  for (ICmEvent* event : events) {
    if (event) event->OnDestorySelf();
  }
}

// ------------------------------------------ CCmEventQueueUsingConditionVariable

CCmEventQueueUsingConditionVariable::CCmEventQueueUsingConditionVariable()
    : CCmEventQueueBase(m_Mutex), m_Condition(m_Mutex), m_bOwnerSleeping(false) {}

CCmEventQueueUsingConditionVariable::~CCmEventQueueUsingConditionVariable() {
  // m_Mutex goes before the base destructor runs; no other thread may touch
  // a queue that is being destroyed, so the base finishes without the lock.
  m_pMutex = nullptr;
}

int CCmEventQueueUsingConditionVariable::PostEvent(ICmEvent* aEvent, EPriority /*aPri*/, unsigned long* aSize) {
  int rv;
  if (RefusePost(aEvent, false, rv)) return rv;
  std::list<ICmEvent*> node = PrepareNode(aEvent);
  LockSpinning(m_Mutex);
  rv = Append_l(aEvent, aSize, node);
  // Only the first post after the owner fell asleep needs to wake it.
  const bool wake = m_bOwnerSleeping;
  m_bOwnerSleeping = false;
  m_Mutex.UnLock();
  if (wake) m_Condition.Signal();
  return rv;
}

int CCmEventQueueUsingConditionVariable::PopOrWait(std::list<ICmEvent*>& aEvents, CCmTimeValue* aTimeout,
                                                   unsigned long aMaxCount, std::list<ICmEvent*>* aUsed) {
  std::list<ICmEvent*> toFree;  // declared first: freed after the lock is released
  LockSpinning(m_Mutex);
  if (m_dwSize.load(std::memory_order_relaxed) == 0) {
    m_bOwnerSleeping = true;
    const int rv = m_Condition.Wait(aTimeout);
    m_bOwnerSleeping = false;
    if (rv != ZAR_S_OK && rv != ZAR_E_TIMEOUT) {
      CM_ERROR_TRACE_THIS("CCmEventQueueUsingConditionVariable::PopOrWaitPendingEvents,Wait() failed while pending size="
                          << m_dwSize.load() << " rv=" << rv);
    }
  }
  const int rv = TakeBatch_l(aEvents, aMaxCount, nullptr, aUsed, toFree);
  m_Mutex.UnLock();
  return rv;
}

int CCmEventQueueUsingConditionVariable::PopOrWaitPendingEvents(std::list<ICmEvent*>& aEvents,
                                                                CCmTimeValue* aTimeout, unsigned long aMaxCount) {
  return PopOrWait(aEvents, aTimeout, aMaxCount, nullptr);
}

int CCmEventQueueUsingConditionVariable::WaitNextBatch(std::list<ICmEvent*>& aBatch, CCmTimeValue* aTimeout,
                                                       unsigned long aMaxCount) {
  return PopOrWait(aBatch, aTimeout, aMaxCount, &aBatch);
}

// ------------------------------------------------------- CCmEventSynchronous

CCmEventSynchronous::CCmEventSynchronous(ICmEvent* aEvent, CCmEventQueueBase* aEventQueue)
    : ICmEvent(0),
      m_pEvent(aEvent),
      m_Result(ZAR_E_NOT_AVAILABLE),
      m_pEventQueue(aEventQueue),
      m_bDestoryed(0),
      m_SendEvent(0, 0),
      m_nVotes(0),
      m_bFired(false),
      m_bWaitWithoutLimit(false),
      m_bSenderReposting(false),
      m_dwSenderThreadId(cm_platform::CurrentThreadId()) {}

CCmEventSynchronous::~CCmEventSynchronous() { DisposeWrappedOnce(); }

int CCmEventSynchronous::OnEventFire() {
  if (m_bDestoryed.load()) return ZAR_S_OK;
  const int rv = m_pEvent ? m_pEvent->OnEventFire() : ZAR_E_POINTER;
  m_Result = rv;
  m_bFired.store(true);
  m_SendEvent.Signal();
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
    m_SendEvent.Signal();
  }
}

void CCmEventSynchronous::OnDestorySelf() {
  // A disposal on the sender's thread after it handed the wrapper back can
  // be the refusal of that second post, which may overlap a first pass still
  // running on the owner: it only counts. Every other disposal is the first
  // pass's (the queue keeps posting order) and may dispose of the event.
  const bool senderSide =
      m_bSenderReposting.load() && m_dwSenderThreadId == cm_platform::CurrentThreadId();
  if (!senderSide) DisposeWrappedOnce();
  if (m_nVotes.fetch_add(1) + 1 >= 2) {
    DisposeWrappedOnce();
    delete this;
  }
}

int CCmEventSynchronous::WaitResultAndDeleteThis(CCmTimeValue* aTimeout) {
  int rv = m_SendEvent.Wait(aTimeout);
  if (rv != ZAR_S_OK) {
    CM_WARNING_TRACE_THIS("CCmEventSynchronous::WaitResultAndDeleteThis, m_SendEvent.Wait() failed!");
  } else {
    rv = m_Result;
  }
  CCmEventQueueBase* const queue = m_pEventQueue;
  if (!queue) {
    OnDestorySelf();
    return rv;
  }
  m_bSenderReposting.store(true);
  // From here the wrapper may be freed at any moment by the owner.
  queue->PostEvent(this, ICmEventQueue::EPRIORITY_DEFAULT, nullptr);
  return rv;
}
