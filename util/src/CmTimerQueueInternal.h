// CmTimerQueueInternal.h - what the timer queues share inside the library,
// and the test seams of their clock.
//
// Every timer queue reads the wall clock through CmTimerQueueNow(), never
// CCmTimeValue::GetTimeOfDay() directly, so tests can move or stop the clock
// the queues see (to exercise the clock-jump rules, or to assert exact
// deadlines) without touching the system clock. The seams are exported for
// the tests only; they are not part of the public headers.
#ifndef CM_TIMER_QUEUE_INTERNAL_H
#define CM_TIMER_QUEUE_INTERNAL_H

#include "CmTimerQueue.h"

// The wall clock as the timer queues see it: the frozen time when one is
// set, otherwise GetTimeOfDay(); plus the offset.
CM_EXPORT CCmTimeValue CmTimerQueueNow();

// Test seam: shifts the timer queues' clock by aOffset (zero restores it).
CM_EXPORT void CmTimerQueueClockSetOffset(const CCmTimeValue& aOffset);
// Test seam: stops the timer queues' clock at *aNow (the offset still
// applies); null lets it run again.
CM_EXPORT void CmTimerQueueClockFreeze(const CCmTimeValue* aNow);

// Test seam: called by a CancelTimer from another thread each time it is
// about to sleep while the handler's callback runs (null removes it).
CM_EXPORT void CmTimerQueueSetCancelWaitHook(void (*aHook)());

// What a CancelTimer does after its erase: while aEh's callback is being
// delivered on another thread (aExpiring names it, aThread is the thread
// firing), sleep 10 ms at a time, calling the cancel-wait seam first.
void CmTimerQueueWaitForDelivery(const std::atomic<ICmTimerHandler*>& aExpiring, const std::atomic<DWORD>& aThread,
                                 ICmTimerHandler* aEh);

// The process-wide default queue kind (cm_set_default_timer_type).
CM_EXPORT int32_t CmGetDefaultTimerType();

// Test seam: a look inside the storages, for tests of where a timer went.
struct CM_EXPORT CCmTimerQueueInspector {
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
