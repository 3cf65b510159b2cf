// The loops that drain event queues: task threads (events, or events and
// timers), the host-driven heart-beat thread, the worker factory and thread
// naming.
//
// One turn of a CCmThreadTask:
//   1. CheckExpire: due timers fire; remain = time to the next deadline.
//   2. WaitNextBatch: take at most 5 pending events, or sleep until a post
//      or the deadline when none are pending.
//   3. ProcessChain: each event fires, then is disposed of.
// The loop ends after the batch in which the stop event fired; whatever is
// still pending is disposed of unfired.
#include <new>

#include "CmClockSource.h"
#include "CmDebug.h"
#include "CmOneInN.h"
#include "CmThread.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformThread.h"
#include "platform/CmPlatformWait.h"

namespace {

constexpr unsigned long kTaskBatch = 5;
constexpr unsigned long kAllEvents = 0xFFFFFFFF;

int CreateBuiltInTaskThread(const char* aName, ACmThread*& aThread, TFlag aFlag, bool aWithTimerQueue, int aType) {
  ACmThread* pThread = aWithTimerQueue ? static_cast<ACmThread*>(new (std::nothrow) CCmThreadTask)
                                       : new (std::nothrow) CCmThreadTaskWithEventQueueOnly;
  CM_ASSERTE_RETURN(pThread, ZAR_E_OUTOFMEMORY);
  const int rv = pThread->Create(aName, aType, aFlag, true);
  if (rv != ZAR_S_OK) {
    pThread->Destory(rv);
    return rv;
  }
  aThread = pThread;
  return ZAR_S_OK;
}

std::atomic<CmCreateUserTaskThreadFunc> g_pfnCreateUserTaskThread{&CreateBuiltInTaskThread};

// 1 in 100 clamped heart-beat delays is reported, process-wide.
CCmOneInN<100> g_LongBeats;

}  // namespace

// -------------------------------------------------------- worker creation

int CreateUserTaskThread(const char* aName, ACmThread*& aThread, TFlag aFlag, bool aWithTimerQueue, int aType) {
  return g_pfnCreateUserTaskThread.load()(aName, aThread, aFlag, aWithTimerQueue, aType);
}

CmCreateUserTaskThreadFunc setCreateUserTaskThread(CmCreateUserTaskThreadFunc aCreator) {
  return g_pfnCreateUserTaskThread.exchange(aCreator ? aCreator : &CreateBuiltInTaskThread);
}

int zar_set_thread_name(const char* aName) {
  if (!aName) return ZAR_E_INVALIDARG;
  return cm_platform::SetCurrentThreadName(aName) ? ZAR_S_OK : ZAR_E_FAIL;
}

// ---------------------------------------- CCmThreadTaskWithEventQueueOnly

CCmThreadTaskWithEventQueueOnly::CCmThreadTaskWithEventQueueOnly() : m_bStopRequested(false) {}

CCmThreadTaskWithEventQueueOnly::~CCmThreadTaskWithEventQueueOnly() = default;

void CCmThreadTaskWithEventQueueOnly::OnThreadInit() {
  m_EventQueue.Reset2CurrentThreadInfo();
  m_Est.Reset2CurrentThreadInfo();
  CCmMutexGuardT<CCmMutexThread> guard(m_StartStopMutex);
  if (m_bStopRequested) return;  // stays stopped: the loop never starts
  SetStartFlag();
  m_EventQueue.Start();
}

void CCmThreadTaskWithEventQueueOnly::RunOneTurn(CCmTimeValue* aTimeout, unsigned long aMaxCount) {
  ICmEvent* batch = nullptr;
  if (m_EventQueue.WaitNextBatch(batch, aTimeout, aMaxCount) == ZAR_S_OK) m_EventQueue.ProcessChain(batch);
}

void CCmThreadTaskWithEventQueueOnly::OnThreadRun() {
  CM_INFO_TRACE_THIS("CCmThreadTaskWithEventQueueOnly::OnThreadRun");
  while (!IsFlagStopped()) RunOneTurn(nullptr, kAllEvents);
  m_EventQueue.DestoryPendingEvents();
}

int CCmThreadTaskWithEventQueueOnly::Stop(CCmTimeValue* /*aTimeout*/) {
  CM_INFO_TRACE_THIS("CCmThreadTaskWithEventQueueOnly::Stop");
  CCmMutexGuardT<CCmMutexThread> guard(m_StartStopMutex);
  m_bStopRequested = true;
  const int rv = GetEventQueue()->PostEvent(new CCmEventStopT<CCmThreadTaskWithEventQueueOnly>(this),
                                            ICmEventQueue::EPRIORITY_DEFAULT, nullptr);
  m_EventQueue.Stop();
  return rv;
}

// ---------------------------------------------------------- CCmThreadTask

CCmThreadTask::CCmThreadTask() : m_pTimerQueue(nullptr) {}

CCmThreadTask::~CCmThreadTask() {
  // Cleared, so that nothing released while the bases are destroyed finds
  // the freed queue through GetTimerQueue().
  delete m_pTimerQueue;
  m_pTimerQueue = nullptr;
}

void CCmThreadTask::OnThreadInit() {
  // On this thread: the queue belongs to it. An unknown default kind leaves
  // the thread without timers.
  m_pTimerQueue = CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default);
  // The loop sleeps until the next deadline; without this the kernel may
  // wake it up to 50 us late (measured: the median lateness of a 20 ms
  // periodic timer under posted load was about twice a peer's that sleeps
  // on a timer file descriptor).
  cm_platform::EndTimedWaitsOnTime();
  CCmThreadTaskWithEventQueueOnly::OnThreadInit();
}

void CCmThreadTask::OnThreadRun() {
  CM_INFO_TRACE_THIS("CCmThreadTask::OnThreadRun, Begin. name=" << GetName());
  const CCmTimeValue tvMax = CCmTimeValue::get_tvMax();
  while (!IsFlagStopped()) {
    CCmTimeValue remain = tvMax;
    if (m_pTimerQueue) m_pTimerQueue->CheckExpire(&remain, nullptr);
    RunOneTurn(remain == tvMax ? nullptr : &remain, kTaskBatch);
  }
  m_EventQueue.DestoryPendingEvents();
  CM_INFO_TRACE_THIS("CCmThreadTask::OnThreadRun, End. name=" << GetName());
}

void CCmThreadTask::SleepMsWithLoop(unsigned long aMs) {
  const uint32_t deadline = cm_clock::TickCountMs() + static_cast<uint32_t>(aMs);
  for (;;) {
    // Signed difference: correct across a wrap of the tick count.
    const int32_t left = static_cast<int32_t>(deadline - cm_clock::TickCountMs());
    if (left <= 0) break;
    CCmTimeValue remaining(static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000);
    RunOneTurn(&remaining, kTaskBatch);
  }
  // Under the Stop lock: a Stop made before this clean-up had its stop event
  // dropped here (or fired already), one made after it is still pending.
  CCmMutexGuardT<CCmMutexThread> guard(m_StartStopMutex);
  const bool stopRequested = m_bStopRequested;
  m_EventQueue.DestoryPendingEvents();
  if (stopRequested) SetStopFlag();
}

// ----------------------------------------------------- CCmThreadHeartBeat

CCmThreadHeartBeat::CCmThreadHeartBeat()
    : m_tvLastEarliest(CCmTimeValue::get_tvMax()), m_pTimerQueue(nullptr), m_pScheduler(nullptr) {}

CCmThreadHeartBeat::~CCmThreadHeartBeat() {
  delete m_pTimerQueue;
  m_pTimerQueue = nullptr;
}

void CCmThreadHeartBeat::OnThreadInit() {
  CM_INFO_TRACE_THIS("CCmThreadHeartBeat::OnThreadInit");
  if (!m_pTimerQueue) m_pTimerQueue = new CCmTimerQueueOnDemand(this);
  Reset2CurrentThreadInfo();
}

void CCmThreadHeartBeat::OnThreadRun() {
  if (m_pScheduler.load()) {
    CM_ERROR_TRACE(
        "CCmThreadHeartBeat::OnThreadRun, with scheduler you should never call OnThreadRun it will be driven by "
        "scheduler automatically.");
    return;
  }
  DoHeartBeat();
}

int CCmThreadHeartBeat::Stop(CCmTimeValue* /*aTimeout*/) {
  m_pScheduler.store(nullptr);
  return ZAR_S_OK;
}

void CCmThreadHeartBeat::SetThreadId(unsigned long aTid) {
  m_Tid.store(static_cast<DWORD>(aTid));
  SetOwnerThreadId(aTid);
}

int CCmThreadHeartBeat::PostEvent(ICmEvent* aEvent, EPriority aPri, unsigned long* aSize) {
  const int rv = CCmEventQueueBase::PostEvent(aEvent, aPri, aSize);
  if (Scheduler scheduler = m_pScheduler.load()) scheduler(0);
  return rv;
}

void CCmThreadHeartBeat::OnObserve(const char* /*aTopic*/, void* /*aData*/) {
  if (Scheduler scheduler = m_pScheduler.load()) scheduler(10);
}

int CCmThreadHeartBeat::DoHeartBeat() {
  CCmTimeValue remain = CCmTimeValue::get_tvMax();
  CCmTimeValue earliest = CCmTimeValue::get_tvMax();
  if (m_pTimerQueue) m_pTimerQueue->CheckExpire(&remain, &earliest);

  ICmEvent* events = nullptr;
  if (PopPendingChain(events, kAllEvents, nullptr) == ZAR_S_OK && ProcessChain(events) == ZAR_E_EVENT_HOOKED) {
    return ZAR_E_EVENT_HOOKED;
  }
  if (m_pScheduler.load()) ScheduleNext(remain, earliest);
  m_tvLastEarliest = earliest;
  return ZAR_S_OK;
}

void CCmThreadHeartBeat::ScheduleNext(const CCmTimeValue& aRemain, const CCmTimeValue& aEarliest) {
  long delay = 200;  // no timer, or no new deadline since the last beat
  if (aEarliest != m_tvLastEarliest && aRemain != CCmTimeValue::get_tvMax()) {
    const long ms = aRemain.GetSec() * 1000 + aRemain.GetUsec() / 1000 + 5;
    if (ms <= 10) {
      delay = 10;
    } else if (ms > 1000) {
      if (g_LongBeats.Pass()) CM_INFO_TRACE_THIS("CCmThreadHeartBeat::DoHeartBeat schedule in ms =" << ms);
      delay = 1000;
    } else {
      delay = ms;
    }
  }
  if (Scheduler scheduler = m_pScheduler.load()) scheduler(delay);
}
