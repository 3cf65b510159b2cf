// CmPlatformClock.h - the clocks behind the tick policies, in the library's
// own terms.
//
// The monotonic clock of CmPlatform.h counts microseconds; the tick
// policies also need the raw high-resolution counter with its frequency
// (the wall-clock policy converts it the way the engine always has), the
// counter in nanoseconds, and the process clock as a fallback. On Linux the
// counter is CLOCK_MONOTONIC in nanoseconds, so its frequency is 10^9; the
// 32-bit millisecond tick count stays in CmPlatformThread.h.
#ifndef CM_PLATFORM_CLOCK_H
#define CM_PLATFORM_CLOCK_H

#include <cstdint>

struct timeval;

namespace cm_platform {

// The seconds and microseconds of the platform's struct timeval.
void TimevalParts(const struct timeval& aTv, long& aSeconds, long& aMicroseconds);

// The high-resolution counter; false when it cannot be read.
bool HighResolutionCounter(int64_t& aCount);
// Counts per second of HighResolutionCounter (never 0).
int64_t HighResolutionFrequency();
// The steady counter in nanoseconds (arbitrary origin, never goes back).
uint64_t MonotonicNanoseconds();
// CPU time of the process in milliseconds.
int64_t ProcessClockMs();

}  // namespace cm_platform

#endif  // CM_PLATFORM_CLOCK_H
