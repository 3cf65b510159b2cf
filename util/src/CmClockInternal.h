// CmClockInternal.h - test seams of the clocks (exported for the tests; not
// part of the public headers).
#ifndef CM_CLOCK_INTERNAL_H
#define CM_CLOCK_INTERNAL_H

#include "CmClock.h"

class ACmThread;

// The users counted by startLowTick/stopLowTick, and the tick thread (null
// when there is none).
CM_EXPORT int32_t CmLowTickRefCount();
CM_EXPORT ACmThread* CmLowTickThread();

#endif  // CM_CLOCK_INTERNAL_H
