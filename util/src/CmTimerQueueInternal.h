// CmTimerQueueInternal.h - what tests see of the timer queues' inside.
#ifndef CM_TIMER_QUEUE_INTERNAL_H
#define CM_TIMER_QUEUE_INTERNAL_H

#include "CmTimerQueue.h"
#include "CmTestHooks.h"

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
