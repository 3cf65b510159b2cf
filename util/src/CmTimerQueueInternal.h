// CmTimerQueueInternal.h - what the timer queues share inside the library,
// and what tests see of their inside.
#ifndef CM_TIMER_QUEUE_INTERNAL_H
#define CM_TIMER_QUEUE_INTERNAL_H

#include "CmClockSource.h"
#include "CmTimerQueue.h"
#include "CmTestHooks.h"

// What a CancelTimer does after its erase: while aEh's callback is being
// delivered on another thread (aExpiring names it, aThread is the thread
// firing), sleep on the wakeable sleep in aSleep (made by the first such
// wait), 10 ms at a time, until CmTimerQueueDeliveryEnded wakes it.
void CmTimerQueueWaitForDelivery(const std::atomic<ICmTimerHandler*>& aExpiring, const std::atomic<DWORD>& aThread,
                                 ICmTimerHandler* aEh, std::atomic<CCmWakeableSleep*>& aSleep);

// The firing thread's side: the delivery in aExpiring has returned; a
// cancel waiting for it wakes at once.
inline void CmTimerQueueDeliveryEnded(std::atomic<ICmTimerHandler*>& aExpiring,
                                      std::atomic<CCmWakeableSleep*>& aSleep) {
  aExpiring.store(nullptr, std::memory_order_release);
  CCmWakeableSleep* const sleep = aSleep.load(std::memory_order_acquire);
  if (__builtin_expect(sleep != nullptr, 0)) sleep->Wake();
}

// The process-wide default queue kind (cm_set_default_timer_type).
CM_TEST_EXPORT int32_t CmGetDefaultTimerType();

// A look inside the storages, for tests of where a timer went.
struct CM_TEST_EXPORT CCmTimerQueueInspectorForTesting {
  // Nodes in the near and the far list of a wheel bucket.
  static size_t WheelNearCount(const CCmTimerWheelQueue& aQueue, int aBucket);
  static size_t WheelFarCount(const CCmTimerWheelQueue& aQueue, int aBucket);
  static size_t HeapSize(const CCmTimerMinHeapQueue& aQueue);
  static DWORD CalendarSlotInterval(const CCmTimerQueueCalendar& aQueue);
  static DWORD CalendarMaxSlot(const CCmTimerQueueCalendar& aQueue);
  static DWORD CalendarCurrentSlot(const CCmTimerQueueCalendar& aQueue);
  // The slot of a slotted handler, -1 when it has none.
  static long CalendarSlotOf(const CCmTimerQueueCalendar& aQueue, ICmTimerHandler* aEh);
  static size_t CalendarFireNowCount(const CCmTimerQueueCalendar& aQueue);
};

#endif  // CM_TIMER_QUEUE_INTERNAL_H
