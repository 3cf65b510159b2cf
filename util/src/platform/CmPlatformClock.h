// CmPlatformClock.h - the operating system's clocks and sleep, in the
// library's own terms.
//
// Only the clock source (CmClockSource.h) and the calendar conversions of
// the time types call these: every family reads time through the clock
// source, so that tests can move all of it at once.
//
// Thread safety: every function may be called from any thread.
#ifndef CM_PLATFORM_CLOCK_H
#define CM_PLATFORM_CLOCK_H

#include <cstdint>
#include <ctime>

struct timeval;

namespace cm_platform {

// Wall-clock nanoseconds since 1970-01-01 UTC (jumps when the clock is set).
int64_t WallClockNanoseconds();
// Steady nanoseconds from an arbitrary origin; never goes back.
int64_t MonotonicNanoseconds();
// Sleeps the calling thread (an interrupted sleep goes on to the end).
void SleepMs(unsigned aMilliseconds);

// Calendar time of seconds since 1970 in the local time zone / in UTC;
// false when the conversion fails.
bool LocalTime(int64_t aSeconds, struct tm* aOut);
bool UtcTime(int64_t aSeconds, struct tm* aOut);
// The seconds and microseconds of the platform's struct timeval.
void TimevalParts(const struct timeval& aTv, long& aSeconds, long& aMicroseconds);

}  // namespace cm_platform

#endif  // CM_PLATFORM_CLOCK_H
