// The timer wrapper and its reference-counted handler.
//
// Who holds the handler (CCmTimerWrapperRef):
//   - the wrapper, from its first schedule until Cancel;
//   - every schedule or cancel event posted to the queue's thread;
//   - each delivery, for its duration (so a sink may delete the wrapper);
//   - a stopping thread that refused a cancel event (until it is destroyed).
// The queue holds a plain pointer. The last release takes the handler out
// of its queue when it happens on the queue's thread; on any other thread
// the queue can no longer fire it (the cancel event ran, the thread's loop
// has ended, or the handler was never queued).
//
// No delivery after Cancel: Cancel sets `cancelled` and clears the parent
// before it looks at `executing`; a delivery sets `executing` before it
// looks at `cancelled` (all sequentially consistent). So either the
// delivery sees the cancel and returns, or the canceller sees it running
// and waits - it cannot start afterwards and reach the wrapper.
//
// The thread a handler serves is fixed when the handler is made (the
// caller's for Schedule, the target's for ScheduleInThread): requests for
// another thread are refused until Cancel, and every event for the handler
// goes to that thread, so its queue is only ever touched there.
#include "CmTimerWrapperID.h"

#include <new>
#include <utility>

#include "CmClockSource.h"
#include "CmDebug.h"
#include "CmThread.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"

namespace {

// The wait of a foreign cancel for a running delivery: 5 x 30 ms, then
// 20 x 100 ms; a delivery that ends wakes it at once.
constexpr int kShortSleeps = 5;
constexpr unsigned kShortSleepMs = 30;
constexpr int kLongSleeps = 20;
constexpr unsigned kLongSleepMs = 100;

// One counted reference to a handler.
class RefHolder {
 public:
  explicit RefHolder(CCmTimerWrapperRef* aRef) : m_pRef(aRef) {
    if (m_pRef) m_pRef->AddReference();
  }
  RefHolder(const RefHolder& aOther) : RefHolder(aOther.m_pRef) {}
  RefHolder(RefHolder&& aOther) noexcept : m_pRef(std::exchange(aOther.m_pRef, nullptr)) {}
  RefHolder& operator=(const RefHolder&) = delete;
  ~RefHolder() {
    if (m_pRef) m_pRef->ReleaseReference();
  }
  CCmTimerWrapperRef* operator->() const { return m_pRef; }
  CCmTimerWrapperRef* get() const { return m_pRef; }

 private:
  CCmTimerWrapperRef* m_pRef;
};

// Runs on the handler's thread: binds it to that thread's queue on the
// first request, then schedules.
struct ScheduleRequest {
  RefHolder ref;
  CCmTimerWrapperIDSink* sink;
  CCmTimeValue interval;
  DWORD count;

  int operator()() {
    ICmTimerQueue* queue = ref->GetTimerQueue();
    if (!queue) {
      ACmThread* thread = getCurrentThread();
      if (!thread) return ZAR_E_THREAD_UNAVAILABLE;
      queue = thread->GetTimerQueue();
    }
    return ref->ScheduleOnOwner(queue, sink, interval, count);
  }
};

struct CancelRequest {
  RefHolder ref;

  int operator()() {
    ICmTimerQueue* queue = ref->GetTimerQueue();
    return queue ? queue->CancelTimer(ref.get()) : ZAR_S_FALSE;
  }
};

void ReleaseKeptRef(void* aRef) { static_cast<CCmTimerWrapperRef*>(aRef)->ReleaseReference(); }

}  // namespace

// ------------------------------------------------------- CCmTimerWrapperRef

CCmTimerWrapperRef::CCmTimerWrapperRef(CCmTimerWrapperID* aParent, DWORD aThreadId)
    : m_pParent(aParent),
      m_pTimerQueue(nullptr),
      m_dwThreadId(aThreadId),
      m_bExecuting(false),
      m_bCancelled(false),
      m_pCancelSleep(nullptr) {}

CCmTimerWrapperRef::~CCmTimerWrapperRef() {
  if (PrepareCancel()) {
    if (ICmTimerQueue* queue = m_pTimerQueue.load()) queue->CancelTimer(this);
  }
  delete m_pCancelSleep.load();
}

void CCmTimerWrapperRef::OnTimeout(const CCmTimeValue& aCurTime, void* aArg) {
  m_bExecuting.store(true);
  if (m_bCancelled.load()) {
    EndDelivery();
    return;
  }
  // The sink may delete the wrapper, and with it the wrapper's reference.
  AddReference();
  if (CCmTimerWrapperID* parent = m_pParent.load()) parent->OnTimeout(aCurTime, aArg);
  EndDelivery();
  ReleaseReference();
}

void CCmTimerWrapperRef::EndDelivery() {
  m_bExecuting.store(false);
  if (CCmWakeableSleep* cancelSleep = m_pCancelSleep.load()) cancelSleep->Wake();
}

int CCmTimerWrapperRef::ScheduleOnOwner(ICmTimerQueue* aQueue, CCmTimerWrapperIDSink* aSink,
                                        const CCmTimeValue& aInterval, DWORD aCount) {
  ICmTimerQueue* unbound = nullptr;
  if (aQueue) m_pTimerQueue.compare_exchange_strong(unbound, aQueue);
  CM_ASSERTE_RETURN(m_pTimerQueue != NULL, ZAR_E_UNEXPECTED);
  if (m_pTimerQueue.load() != aQueue) {
    CM_ERROR_TRACE_THIS("CCmTimerWrapperRef::ScheduleOnOwner, bound to another queue.");
    return ZAR_E_FAIL;
  }
  // A handler cancelled before its request arrived stays out of the queue.
  if (!m_pParent.load()) return ZAR_E_NOT_FOUND;
  m_bCancelled.store(false);
  return aQueue->ScheduleTimer(this, aSink, aInterval, aCount);
}

bool CCmTimerWrapperRef::CallerOwnsQueue() const {
  ACmThread* thread = getCurrentThread();
  return thread && thread->GetTimerQueue() == m_pTimerQueue.load();
}

bool CCmTimerWrapperRef::PrepareCancel() {
  m_bCancelled.store(true);
  CCmTimerWrapperID* const parent = m_pParent.exchange(nullptr);
  if (CallerOwnsQueue()) return true;
  if (m_bExecuting.load()) {
    auto executing = [this] { return m_bExecuting.load(); };
    CCmWakeableSleep& sleep = CCmWakeableSleep::In(m_pCancelSleep);
    if (sleep.SleepWhile(executing, kShortSleepMs, kShortSleeps) == kShortSleeps) {
      sleep.SleepWhile(executing, kLongSleepMs, kLongSleeps);
    }
  }
  if (m_bExecuting.load()) {
    CM_ERROR_TRACE_THIS("CCmTimerWrapperRef::Cancel, the timer has been executed too long time, parent="
                        << static_cast<const void*>(parent) << ", thread=" << m_dwThreadId);
  }
  return false;
}

// -------------------------------------------------------- CCmTimerWrapperID

struct CCmTimerWrapperID::Impl {
  CCmTimerWrapperRef* ref = nullptr;  // one counted reference; guarded by mutex
  CCmMutexThreadRecursive mutex;
};

CCmTimerWrapperID::CCmTimerWrapperID() : m_impl(new Impl) {}

CCmTimerWrapperID::~CCmTimerWrapperID() {
  Cancel(true);
  delete m_impl;
}

void CCmTimerWrapperID::OnTimeout(const CCmTimeValue& /*aCurTime*/, void* aArg) {
  bool scheduled;
  {
    CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_impl->mutex);
    scheduled = m_impl->ref != nullptr;
  }
  // The sink may delete this wrapper: nothing of it is touched afterwards.
  if (scheduled && aArg) static_cast<CCmTimerWrapperIDSink*>(aArg)->OnTimer(this);
}

int CCmTimerWrapperID::Schedule(CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval, DWORD aCount) {
  CM_ASSERTE_RETURN(aSink, ZAR_E_INVALIDARG);
  ACmThread* const thread = getCurrentThread();
  if (!thread) {
    CM_ERROR_TRACE_THIS("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue.");
    return ZAR_E_POINTER;
  }
  ICmTimerQueue* const queue = thread->GetTimerQueue();
  if (!queue) {
    CM_WARNING_TRACE_THIS("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue 2.");
    return ZAR_E_THREAD_UNAVAILABLE;
  }
  const DWORD self = static_cast<DWORD>(thread->GetThreadId());
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_impl->mutex);
  if (!m_impl->ref) {
    m_impl->ref = new CCmTimerWrapperRef(this, self);
    m_impl->ref->AddReference();
  }
  CCmTimerWrapperRef* const ref = m_impl->ref;
  const ICmTimerQueue* const bound = ref->GetTimerQueue();
  if (bound == queue || (!bound && ref->GetThreadId() == self)) {
    return ref->ScheduleOnOwner(queue, aSink, aInterval, aCount);
  }
  CM_ERROR_TRACE_THIS("CCmTimerWrapperID::Schedule, schedule in different thread is not allowed.");
  return ZAR_E_FAIL;
}

int CCmTimerWrapperID::ScheduleInThread(ACmThread* pThread, CCmTimerWrapperIDSink* aSink,
                                        const CCmTimeValue& aInterval, DWORD aCount) {
  CM_ASSERTE_RETURN(pThread != NULL, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(aSink, ZAR_E_INVALIDARG);
  const DWORD target = static_cast<DWORD>(pThread->GetThreadId());
  if (target == cm_platform::CurrentThreadId()) return Schedule(aSink, aInterval, aCount);
  ICmTimerQueue* const pTimerQueue = pThread->GetTimerQueue();
  CM_ASSERTE_RETURN(pTimerQueue != NULL, ZAR_E_THREAD_UNAVAILABLE);
  ICmEventQueue* const events = pThread->GetEventQueue();
  if (!events) return ZAR_E_THREAD_UNAVAILABLE;

  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_impl->mutex);
  const bool created = !m_impl->ref;
  if (created) {
    m_impl->ref = new CCmTimerWrapperRef(this, target);
    m_impl->ref->AddReference();
  }
  CCmTimerWrapperRef* const ref = m_impl->ref;
  const ICmTimerQueue* const bound = ref->GetTimerQueue();
  if (bound == pTimerQueue || (!bound && ref->GetThreadId() == target)) {
    const int rv = events->PostEvent(CmMakeInvokeEvent(ScheduleRequest{RefHolder(ref), aSink, aInterval, aCount}),
                                     ICmEventQueue::EPRIORITY_DEFAULT, nullptr);
    if (rv != ZAR_S_OK && created) {
      // Nothing reached the thread: leave the wrapper idle, free to choose again.
      m_impl->ref = nullptr;
      ref->ReleaseReference();
    }
    return rv;
  }
  CM_ERROR_TRACE_THIS("CCmTimerWrapperID::ScheduleInThread, schedule 2 timers in different thread is not supported.");
  return ZAR_E_POINTER;
}

int CCmTimerWrapperID::ScheduleInThread(int aType, CCmTimerWrapperIDSink* aSink, const CCmTimeValue& aInterval,
                                        DWORD aCount) {
  CM_ASSERTE_RETURN(aSink, ZAR_E_INVALIDARG);
  ACmThread* const pThread = GetThread(aType);
  CM_ASSERTE_RETURN(pThread != NULL, ZAR_E_INVALIDARG);
  return ScheduleInThread(pThread, aSink, aInterval, aCount);
}

int CCmTimerWrapperID::Cancel(bool /*aWaitOnExecuting*/) {
  CCmTimerWrapperRef* ref;
  {
    CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_impl->mutex);
    ref = m_impl->ref;
    m_impl->ref = nullptr;
  }
  if (!ref) return ZAR_E_NOT_FOUND;
  int rv = ZAR_E_POINTER;
  if (ref->PrepareCancel()) {
    ICmTimerQueue* const queue = ref->GetTimerQueue();
    rv = queue ? queue->CancelTimer(ref) : ZAR_S_FALSE;
  } else if (ACmThread* thread = GetThreadById(ref->GetThreadId())) {
    if (ICmEventQueue* events = thread->GetEventQueue()) {
      const int posted = events->PostEvent(CmMakeInvokeEvent(CancelRequest{RefHolder(ref)}),
                                           ICmEventQueue::EPRIORITY_DEFAULT, nullptr);
      // A stopping thread may still fire its queue once or twice: it keeps
      // the handler until it is destroyed.
      if (posted != ZAR_S_OK && ref->GetTimerQueue()) {
        ref->AddReference();
        thread->ReleaseWhenDestroyed(&ReleaseKeptRef, ref);
      }
    }
  }
  ref->ReleaseReference();
  return rv;
}
