// The timer queue engine: scheduling, cancelling and firing over the node
// primitives of a storage, the clock-jump rules, the queue factory and the
// process-wide default kind.
#include <climits>
#include <mutex>

#include "CmClockSource.h"
#include "CmDebug.h"
#include "CmTimerQueue.h"
#include "CmTimerQueueInternal.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"

namespace {

// A deadline this far from now means the wall clock was set.
const CCmTimeValue kClockJump(3600L, 0L);
constexpr DWORD kCountForever = 0xFFFFFFFF;

std::atomic<int32_t> g_nDefaultTimerType{CmQueueType_OrderedList};

// A foreign cancel looks again this often while the handler's callback runs.
constexpr unsigned kCancelWaitMs = 10;

int64_t ToMicroseconds(const CCmTimeValue& aTv) {
  return static_cast<int64_t>(aTv.GetSec()) * 1000000 + aTv.GetUsec();
}

CCmTimeValue FromMicroseconds(int64_t aUs) { return CCmTimeValue(static_cast<long>(aUs / 1000000), static_cast<long>(aUs % 1000000)); }

// Milliseconds as the clock-jump warnings print them (32-bit unsigned).
uint32_t TraceMs(const CCmTimeValue& aTv) {
  return static_cast<uint32_t>(aTv.GetSec()) * 1000u + static_cast<uint32_t>(aTv.GetUsec() / 1000);
}

// ---- the queue kinds. A storage joins the factory with one entry here.
typedef CCmTimerQueueBase* (*QueueMaker)(ICmObserver* aObserver);

CCmTimerQueueBase* MakeOrderedList(ICmObserver* aObserver) {
  return new (std::nothrow) CCmTimerQueueOrderedList(aObserver);
}

CCmTimerQueueBase* MakeMinHeap(ICmObserver* aObserver) { return new (std::nothrow) CCmTimerMinHeapQueue(aObserver); }

CCmTimerQueueBase* MakeWheel(ICmObserver* aObserver) { return new (std::nothrow) CCmTimerWheelQueue(aObserver); }

struct QueueKind {
  CmQueueType type;
  QueueMaker make;  // null: no storage of this kind in this build
};

const QueueKind kQueueKinds[] = {
    {CmQueueType_OrderedList, &MakeOrderedList},
    {CmQueueType_MinHeap, &MakeMinHeap},
    {CmQueueType_Wheel, &MakeWheel},
};

}  // namespace

// --------------------------------------------------------- the default kind

void CmTimerQueueWaitForDelivery(const std::atomic<ICmTimerHandler*>& aExpiring, const std::atomic<DWORD>& aThread,
                                 ICmTimerHandler* aEh, std::atomic<CCmWakeableSleep*>& aSleep) {
  const DWORD self = cm_platform::CurrentThreadId();
  auto delivering = [&aExpiring, &aThread, aEh, self] {
    const DWORD firing = aThread.load(std::memory_order_acquire);
    return aExpiring.load(std::memory_order_acquire) == aEh && firing != 0 && firing != self;
  };
  if (delivering()) CCmWakeableSleep::In(aSleep).SleepWhile(delivering, kCancelWaitMs, -1);
}

int32_t CmGetDefaultTimerType() { return g_nDefaultTimerType.load(); }

void cm_set_default_timer_type(int32_t type) {
  if (type != 0) g_nDefaultTimerType.store(type);
}

// ----------------------------------------------------------- the factory

CCmTimerQueueBase* CCmTimerQueueBase::CreateTimerQueue(ICmObserver* aObserver, CmQueueType aType) {
  const int32_t type = aType == CmQueueType_Default ? g_nDefaultTimerType.load() : static_cast<int32_t>(aType);
  for (const QueueKind& kind : kQueueKinds) {
    if (kind.type == type && kind.make) return kind.make(aObserver);
  }
  CM_WARNING_TRACE("CCmTimerQueueBase::CreateTimerQueue, no timer queue of type=" << type);
  return nullptr;
}

// ------------------------------------------------------------ the engine

CCmTimerQueueBase::CCmTimerQueueBase(ICmObserver* aObserver)
    : m_pObserver(aObserver),
      m_pExpiringHandler(nullptr),
      m_dwExpiringThreadId(0),
      m_tvLastLook(CCmTimeValue::GetTimeOfDay()),
      m_pCancelSleep(nullptr) {}

CCmTimerQueueBase::~CCmTimerQueueBase() { delete m_pCancelSleep.load(); }

void CCmTimerQueueBase::ResetExpiredTime_l(const CCmTimeValue& /*aNow*/) {}

int CCmTimerQueueBase::ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval, DWORD aCount) {
  CM_ASSERTE_RETURN(aEh, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(aInterval > CCmTimeValue::get_tvZero() || aCount == 1, ZAR_E_INVALIDARG);
  std::unique_lock<std::mutex> lock(m_StorageMutex);
  CCmTimeValue earliest;
  const bool wasEmpty = GetEarliestTime_l(earliest) == -1;
  const CCmTimeValue now = CCmTimeValue::GetTimeOfDay();
  // With no deadline to protect, this reading is the queue's latest look.
  if (wasEmpty) m_tvLastLook = now;
  CNode node;
  node.m_pEh = aEh;
  node.m_pToken = aToken;
  node.m_tvExpired = now + aInterval;
  node.m_tvInterval = aInterval;
  node.m_dwCount = aCount == 0 ? kCountForever : aCount;
  const int pushed = PushNode_l(node);
  lock.unlock();  // the observer may call back into the queue
  if (wasEmpty && m_pObserver) m_pObserver->OnObserve("TimerQueue", nullptr);
  if (pushed == 0) return ZAR_S_OK;
  return pushed == 1 ? ZAR_E_ALREADY_EXISTS : ZAR_E_FAIL;
}

int CCmTimerQueueBase::CancelTimer(ICmTimerHandler* aEh) {
  CM_ASSERTE_RETURN(aEh, ZAR_E_INVALIDARG);
  int erased;
  {
    std::lock_guard<std::mutex> lock(m_StorageMutex);
    erased = EraseNode_l(aEh);
  }
  // A callback of this handler running on the owning thread must have
  // returned before the caller may destroy the handler. Its re-armed node,
  // if any, went with the erase: the owner re-arms under the lock before it
  // calls back.
  CmTimerQueueWaitForDelivery(m_pExpiringHandler, m_dwExpiringThreadId, aEh, m_pCancelSleep);
  if (erased == 0) return ZAR_S_OK;
  return erased == 1 ? ZAR_E_NOT_FOUND : ZAR_E_FAIL;
}

CCmTimeValue CCmTimerQueueBase::GetEarliestTime() {
  std::lock_guard<std::mutex> lock(m_StorageMutex);
  CCmTimeValue earliest;
  return GetEarliestTime_l(earliest) == -1 ? CCmTimeValue::get_tvMax() : earliest;
}

// Next deadline of a periodic node that fired at aNow: the first one after
// aNow in the node's phase, so missed periods are skipped rather than fired
// in a burst. A node more than an hour overdue (the clock jumped forward)
// starts a new phase one period from now.
void CCmTimerQueueBase::ReArm(CNode& aNode, const CCmTimeValue& aNow) {
  if (aNow <= aNode.m_tvExpired + kClockJump) {
    aNode.m_tvExpired += aNode.m_tvInterval;
    if (aNode.m_tvExpired > aNow) return;  // the usual case: no period was missed
    const int64_t now = ToMicroseconds(aNow);
    const int64_t interval = ToMicroseconds(aNode.m_tvInterval);
    int64_t expired = ToMicroseconds(aNode.m_tvExpired);
    expired += ((now - expired) / interval + 1) * interval;
    aNode.m_tvExpired = FromMicroseconds(expired);
    return;
  }
  CM_WARNING_TRACE_THIS("CCmTimerQueueBase::CheckExpire local changed, m_tvExpired="
                        << TraceMs(aNode.m_tvExpired) << ", tvCur=" << TraceMs(aNow));
  aNode.m_tvExpired = aNow + aNode.m_tvInterval;
}

// The storage lock is held for each storage step (one per fired timer plus
// one), never across a callback, a trace line or the observer.
int CCmTimerQueueBase::CheckExpire(CCmTimeValue* aRemainTime, CCmTimeValue* aEarliestTime) {
  const CCmTimeValue tvMax = CCmTimeValue::get_tvMax();
  CCmTimeValue earliest;
  std::unique_lock<std::mutex> lock(m_StorageMutex);
  if (GetEarliestTime_l(earliest) == -1) {
    // An empty queue (the common case of a busy event loop) reads no clock.
    lock.unlock();
    FinishCheck(aRemainTime, aEarliestTime, tvMax);
    return 0;
  }
  const CCmTimeValue tvCur = CCmTimeValue::GetTimeOfDay();
  const CCmTimeValue lastLook = m_tvLastLook;
  m_tvLastLook = tvCur;
  m_dwExpiringThreadId.store(cm_platform::CurrentThreadId(), std::memory_order_release);
  int fired = 0;
  while (earliest <= tvCur) {
    CNode node;
    if (PopFirstNode_l(node) != 0) {
      m_dwExpiringThreadId.store(0, std::memory_order_release);
      return fired;
    }
    m_pExpiringHandler.store(node.m_pEh, std::memory_order_release);
    if (node.m_dwCount != kCountForever) --node.m_dwCount;
    if (node.m_dwCount != 0 && node.m_tvInterval > CCmTimeValue::get_tvZero()) {
      ReArm(node, tvCur);
      RePushNode_l(node);
    }
    // Unlocked across the callback: it may schedule or cancel on this queue.
    lock.unlock();
    if (ICmTimerHandler* handler = m_pExpiringHandler.load(std::memory_order_relaxed)) {
      handler->OnTimeout(tvCur, node.m_pToken);
      CmTimerQueueDeliveryEnded(m_pExpiringHandler, m_pCancelSleep);
      ++fired;
    }
    lock.lock();
    if (GetEarliestTime_l(earliest) == -1) {
      lock.unlock();
      FinishCheck(aRemainTime, aEarliestTime, tvMax);
      return fired;
    }
  }
  const bool setBack = earliest - kClockJump > tvCur && tvCur + kClockJump < lastLook;
  // The clock was set back: deadlines an hour or more away are stale.
  if (setBack) ResetExpiredTime_l(tvCur);
  lock.unlock();
  if (setBack) {
    CM_WARNING_TRACE_THIS("CCmTimerQueueBase::CheckExpire local changed, tvEarliest=" << TraceMs(earliest)
                                                                                       << ", tvCur=" << TraceMs(tvCur));
    earliest = tvCur;
  }
  FinishCheck(aRemainTime, aEarliestTime, earliest);
  return fired;
}

void CCmTimerQueueBase::FinishCheck(CCmTimeValue* aRemainTime, CCmTimeValue* aEarliestTime,
                                    const CCmTimeValue& aEarliest) {
  if (aRemainTime) {
    if (aEarliest == CCmTimeValue::get_tvMax()) {
      *aRemainTime = aEarliest;
    } else {
      const CCmTimeValue now = CCmTimeValue::GetTimeOfDay();
      *aRemainTime = aEarliest > now ? aEarliest - now : CCmTimeValue::get_tvZero();
    }
  }
  if (aEarliestTime) *aEarliestTime = aEarliest;
  m_dwExpiringThreadId.store(0, std::memory_order_release);
}
