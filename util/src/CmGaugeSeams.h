// CmGaugeSeams.h - test seams of the gauges (not part of the public headers).
#ifndef CM_GAUGE_SEAMS_H
#define CM_GAUGE_SEAMS_H

#include <cstdint>

#include "CmTestHooks.h"

// Replaces the steady clock that CmDuration measures its life time with
// (nanoseconds, arbitrary origin); null restores the real one.
CM_TEST_EXPORT void CmDurationSetSteadyClockForTesting(int64_t (*aNowNs)());

#endif  // CM_GAUGE_SEAMS_H
