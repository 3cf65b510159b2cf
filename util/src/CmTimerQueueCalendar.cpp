// The calendar queue: a ring of slot lists advanced by its owner's
// TimerTick, and a fire-now list for zero-delay timers.
//
//   slots:  [0] -> e -> e      current slot: fired by the last tick
//           [1] -> e           a timer of distance d sits in slot
//           ...                (current + d) % (max + 1), newest first
//           [max]
//   fire-now: e -> e           fired by one posted event, newest first
//   deferred: e -> e           re-added during a drain by a handler that
//                              already fired in it; the next post's
//
// A handler has at most one entry. The handler index names the slot of a
// slotted entry; entries of the fire-now and deferred lists are not in it
// and are found by walking those lists.
//
// The zero-delay post: rather than the calendar itself, a small event that
// points at it is posted, so a calendar destroyed while its post is pending
// leaves an event that finds it gone instead of a dangling one.
#include <atomic>
#include <mutex>
#include <new>

#include "CmDebug.h"
#include "CmPointerIndex.h"
#include "CmThread.h"
#include "CmTimerQueue.h"
#include "CmTimerQueueInternal.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"

namespace {
constexpr DWORD kMinSlotInterval = 10;
constexpr DWORD kMinMaxSlot = 10;
constexpr DWORD kCountForever = 0xFFFFFFFF;
}  // namespace

// The posted stand-in of the calendar; both live on the owning thread.
class CCmCalendarFireEvent : public ICmEvent {
 public:
  explicit CCmCalendarFireEvent(CCmTimerQueueCalendar* aCalendar) : ICmEvent(0), m_pCalendar(aCalendar) {}
  int OnEventFire() override { return m_pCalendar ? m_pCalendar->OnEventFire() : ZAR_S_OK; }
  void OnDestorySelf() override;
  void Detach() { m_pCalendar = nullptr; }

 private:
  CCmTimerQueueCalendar* m_pCalendar;
};

struct CCmTimerQueueCalendar::Impl {
  typedef CCmTimerQueueCalendar::SlotType Entry;

  // Guards everything below but the two atomics: the owner takes it around
  // each list step, a CancelTimer from another thread around its erase.
  std::mutex lock;
  // The handler whose callback TimerTick or OnEventFire is delivering, and
  // the thread doing so (0 when none): a foreign CancelTimer waits on them.
  std::atomic<ICmTimerHandler*> expiring{nullptr};
  std::atomic<DWORD> expiringThread{0};
  std::atomic<CCmWakeableSleep*> cancelSleep{nullptr};  // made by the first foreign cancel that waits

  DWORD slotInterval = kMinSlotInterval;
  Entry** slots = nullptr;  // dwMaxSlotNumber + 1 list heads
  DWORD dwMaxSlotNumber = kMinMaxSlot;
  DWORD currentSlot = 0;
  ICmEventQueue* eventQueue = nullptr;
  Entry* fireNow = nullptr;
  Entry* deferred = nullptr;  // held back by the drain under way, oldest last
  CCmPointerIndexT<DWORD> slotOf;  // slotted handler -> slot
  CCmPointerIndexT<char> firedInDrain;  // handlers the drain under way fired
  bool posted = false;
  CCmCalendarFireEvent* pendingPost = nullptr;

  // Unlinks aEh's entry from the list at aHead; null when absent.
  static Entry* TakeFrom(Entry*& aHead, ICmTimerHandler* aEh) {
    for (Entry** link = &aHead; *link; link = &(*link)->m_pNext) {
      if ((*link)->m_Value.m_pEh == aEh) {
        Entry* entry = *link;
        *link = entry->m_pNext;
        entry->m_pNext = nullptr;
        return entry;
      }
    }
    return nullptr;
  }

  static void FreeList(Entry* aHead) {
    while (aHead) {
      Entry* next = aHead->m_pNext;
      delete aHead;
      aHead = next;
    }
  }
};

void CCmCalendarFireEvent::OnDestorySelf() {
  if (m_pCalendar && m_pCalendar->m_impl->pendingPost == this) m_pCalendar->m_impl->pendingPost = nullptr;
  delete this;
}

CCmTimerQueueCalendar::CCmTimerQueueCalendar(DWORD aSlotInterval, DWORD aSpan, ICmEventQueue* aEventQueue)
    : ICmEvent(0), m_impl(new Impl) {
  m_impl->slotInterval = aSlotInterval < kMinSlotInterval ? kMinSlotInterval : aSlotInterval;
  DWORD maxSlot = aSpan >= m_impl->slotInterval ? aSpan / m_impl->slotInterval - 1 : 0;
  if (maxSlot < kMinMaxSlot) maxSlot = kMinMaxSlot;
  m_impl->dwMaxSlotNumber = maxSlot;
  m_impl->slots = new Impl::Entry*[static_cast<size_t>(maxSlot) + 1]();
  if (!aEventQueue) {
    if (ACmThread* thread = getCurrentThread()) aEventQueue = thread->GetEventQueue();
  }
  m_impl->eventQueue = aEventQueue;
}

CCmTimerQueueCalendar::~CCmTimerQueueCalendar() {
  if (m_impl->pendingPost) m_impl->pendingPost->Detach();
  Impl::FreeList(m_impl->fireNow);
  Impl::FreeList(m_impl->deferred);
  for (DWORD i = 0; i <= m_impl->dwMaxSlotNumber; ++i) Impl::FreeList(m_impl->slots[i]);
  delete[] m_impl->slots;
  delete m_impl->cancelSleep.load();
  delete m_impl;
}

CCmTimerQueueCalendar::SlotType* CCmTimerQueueCalendar::TakeEntry_i(ICmTimerHandler* aEh) {
  if (DWORD* slot = m_impl->slotOf.Find(aEh)) {
    const DWORD where = *slot;
    m_impl->slotOf.Erase(aEh);
    return Impl::TakeFrom(m_impl->slots[where], aEh);
  }
  if (SlotType* entry = Impl::TakeFrom(m_impl->fireNow, aEh)) return entry;
  return Impl::TakeFrom(m_impl->deferred, aEh);
}

int CCmTimerQueueCalendar::ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval,
                                         DWORD aCount) {
  CM_ASSERTE_RETURN(aEh, ZAR_E_INVALIDARG);
  std::lock_guard<std::mutex> lock(m_impl->lock);
  SlotType* entry = TakeEntry_i(aEh);
  const bool reused = entry != nullptr;
  if (!entry) {
    entry = new (std::nothrow) SlotType;
    if (!entry) return ZAR_E_OUTOFMEMORY;
  }
  entry->m_Value.m_pEh = aEh;
  entry->m_Value.m_pToken = aToken;
  entry->m_Value.m_tvInterval = aInterval;
  entry->m_Value.m_dwCount = aCount == 0 ? kCountForever : aCount;
  if (aInterval == CCmTimeValue::get_tvZero()) {
    entry->m_pNext = m_impl->fireNow;
    m_impl->fireNow = entry;
    PostFireNow_i();
  } else {
    InsertUnique_i(aInterval, entry);
  }
  return reused ? ZAR_E_ALREADY_EXISTS : ZAR_S_OK;
}

void CCmTimerQueueCalendar::PostFireNow_i() {
  if (m_impl->posted || !m_impl->eventQueue) return;
  m_impl->posted = true;
  CCmCalendarFireEvent* event = new (std::nothrow) CCmCalendarFireEvent(this);
  if (!event) {
    m_impl->posted = false;
    return;
  }
  m_impl->pendingPost = event;
  if (m_impl->eventQueue->PostEvent(event, ICmEventQueue::EPRIORITY_DEFAULT, nullptr) != ZAR_S_OK) {
    m_impl->posted = false;  // the refused event is already disposed of
  }
}

void CCmTimerQueueCalendar::InsertUnique_i(const CCmTimeValue& aInterval, SlotType* aEntry) {
  const uint32_t ms = static_cast<uint32_t>(aInterval.GetSec()) * 1000u + static_cast<uint32_t>(aInterval.GetUsec() / 1000);
  DWORD distance = ms / m_impl->slotInterval + (ms % m_impl->slotInterval != 0 ? 1 : 0);
  if (distance > m_impl->dwMaxSlotNumber - 1) {
    CM_ERROR_TRACE_THIS("CCmTimerQueueCalendar::InsertUnique_i, exceed max interval. interval_s="
                        << aInterval.GetSec() << " interval_us=" << aInterval.GetUsec() << " dwDistance=" << distance
                        << " m_impl->dwMaxSlotNumber=" << m_impl->dwMaxSlotNumber);
    distance = m_impl->dwMaxSlotNumber;
  }
  // Below a millisecond the distance would be the slot being fired, where a
  // re-inserted periodic entry would be fired again and again.
  if (distance == 0) distance = 1;
  const DWORD slot = static_cast<DWORD>((static_cast<uint64_t>(m_impl->currentSlot) + distance) %
                                        (static_cast<uint64_t>(m_impl->dwMaxSlotNumber) + 1));
  aEntry->m_pNext = m_impl->slots[slot];
  m_impl->slots[slot] = aEntry;
  m_impl->slotOf.Insert(aEntry->m_Value.m_pEh, slot);
}

// Marks the calling thread as the one delivering callbacks of the calendar
// for as long as it lives.
class CCmCalendarDelivery {
 public:
  explicit CCmCalendarDelivery(std::atomic<DWORD>& aThread) : m_Thread(aThread) {
    m_Thread.store(cm_platform::CurrentThreadId(), std::memory_order_release);
  }
  ~CCmCalendarDelivery() { m_Thread.store(0, std::memory_order_release); }
  CCmCalendarDelivery(const CCmCalendarDelivery&) = delete;
  CCmCalendarDelivery& operator=(const CCmCalendarDelivery&) = delete;

 private:
  std::atomic<DWORD>& m_Thread;
};

void CCmTimerQueueCalendar::TimerTick() {
  CCmCalendarDelivery delivery(m_impl->expiringThread);
  std::unique_lock<std::mutex> lock(m_impl->lock);
  m_impl->currentSlot = m_impl->currentSlot >= m_impl->dwMaxSlotNumber ? 0 : m_impl->currentSlot + 1;
  const DWORD current = m_impl->currentSlot;
  const CCmTimeValue now = CCmTimeValue::GetTimeOfDay();
  while (SlotType* entry = m_impl->slots[current]) {
    m_impl->slots[current] = entry->m_pNext;
    entry->m_pNext = nullptr;
    m_impl->slotOf.Erase(entry->m_Value.m_pEh);
    ICmTimerHandler* handler = entry->m_Value.m_pEh;
    void* token = entry->m_Value.m_pToken;
    if (--entry->m_Value.m_dwCount == 0) {
      delete entry;
    } else {
      InsertUnique_i(entry->m_Value.m_tvInterval, entry);
    }
    m_impl->expiring.store(handler, std::memory_order_release);
    lock.unlock();
    // The callback may schedule or cancel anything, this slot included.
    handler->OnTimeout(now, token);
    CmTimerQueueDeliveryEnded(m_impl->expiring, m_impl->cancelSleep);
    lock.lock();
  }
}

// Drains the fire-now list, also of the entries these callbacks add. posted
// stays set meanwhile, so they join this drain instead of a new post. A
// handler fires at most once per drain: an entry it adds after firing is
// held back for the next post, so a callback that re-adds itself forever
// runs once per event and the thread's other events get their turn.
int CCmTimerQueueCalendar::OnEventFire() {
  CCmCalendarDelivery delivery(m_impl->expiringThread);
  std::unique_lock<std::mutex> lock(m_impl->lock);
  const CCmTimeValue now = CCmTimeValue::GetTimeOfDay();
  while (SlotType* entry = m_impl->fireNow) {
    m_impl->fireNow = entry->m_pNext;
    entry->m_pNext = nullptr;
    ICmTimerHandler* handler = entry->m_Value.m_pEh;
    if (m_impl->firedInDrain.Find(handler)) {
      SlotType** tail = &m_impl->deferred;
      while (*tail) tail = &(*tail)->m_pNext;
      *tail = entry;
      continue;
    }
    m_impl->firedInDrain.Insert(handler, 1);
    void* token = entry->m_Value.m_pToken;
    delete entry;
    m_impl->expiring.store(handler, std::memory_order_release);
    lock.unlock();
    handler->OnTimeout(now, token);
    CmTimerQueueDeliveryEnded(m_impl->expiring, m_impl->cancelSleep);
    lock.lock();
  }
  if (m_impl->firedInDrain.Size() != 0) m_impl->firedInDrain.Clear();
  m_impl->fireNow = m_impl->deferred;
  m_impl->deferred = nullptr;
  m_impl->posted = false;
  if (m_impl->fireNow) PostFireNow_i();
  return ZAR_S_OK;
}

int CCmTimerQueueCalendar::CancelTimer(ICmTimerHandler* aEh) {
  CM_ASSERTE_RETURN(aEh, ZAR_E_INVALIDARG);
  bool found;
  {
    std::lock_guard<std::mutex> lock(m_impl->lock);
    SlotType* entry = TakeEntry_i(aEh);
    found = entry != nullptr;
    delete entry;
  }
  CmTimerQueueWaitForDelivery(m_impl->expiring, m_impl->expiringThread, aEh, m_impl->cancelSleep);
  return found ? ZAR_S_OK : ZAR_E_NOT_FOUND;
}

// ----------------------------------------------------------- test seam

DWORD CCmTimerQueueInspectorForTesting::CalendarSlotInterval(const CCmTimerQueueCalendar& aQueue) {
  return aQueue.m_impl->slotInterval;
}

DWORD CCmTimerQueueInspectorForTesting::CalendarMaxSlot(const CCmTimerQueueCalendar& aQueue) {
  return aQueue.m_impl->dwMaxSlotNumber;
}

DWORD CCmTimerQueueInspectorForTesting::CalendarCurrentSlot(const CCmTimerQueueCalendar& aQueue) {
  return aQueue.m_impl->currentSlot;
}

long CCmTimerQueueInspectorForTesting::CalendarSlotOf(const CCmTimerQueueCalendar& aQueue, ICmTimerHandler* aEh) {
  const DWORD* slot = aQueue.m_impl->slotOf.Find(aEh);
  return slot ? static_cast<long>(*slot) : -1;
}

size_t CCmTimerQueueInspectorForTesting::CalendarFireNowCount(const CCmTimerQueueCalendar& aQueue) {
  size_t n = 0;
  for (const CCmTimerQueueCalendar::SlotType* e = aQueue.m_impl->fireNow; e; e = e->m_pNext) ++n;
  return n;
}
