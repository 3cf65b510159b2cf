// CmTimerWrapperIDInternal.h - test seams of the timer wrapper (exported
// for the tests; not part of the public headers).
#ifndef CM_TIMER_WRAPPER_ID_INTERNAL_H
#define CM_TIMER_WRAPPER_ID_INTERNAL_H

#include "CmTimerWrapperID.h"
#include "CmTestHooks.h"

// Replaces the sleeps of a foreign Cancel waiting for a running delivery
// (30 ms five times, then 100 ms twenty times): aSleep(ms) is called instead,
// so tests see the schedule and need not spend 2.15 s. Null restores
// sleeping.
CM_TEST_EXPORT void CmTimerWrapperSetCancelSleepForTesting(void (*aSleep)(unsigned aMs));

#endif  // CM_TIMER_WRAPPER_ID_INTERNAL_H
