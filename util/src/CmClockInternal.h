// CmClockInternal.h - test seams of the clocks (exported for the tests; not
// part of the public headers).
#ifndef CM_CLOCK_INTERNAL_H
#define CM_CLOCK_INTERNAL_H

#include "CmClock.h"
#include "CmTestHooks.h"

class ACmThread;

// The users counted by startLowTick/stopLowTick, and the tick thread (null
// when there is none).
CM_TEST_EXPORT int32_t CmLowTickRefCountForTesting();
CM_TEST_EXPORT ACmThread* CmLowTickThreadForTesting();

#endif  // CM_CLOCK_INTERNAL_H
