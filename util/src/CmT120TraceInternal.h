// CmT120TraceInternal.h - the trace files' clock and test seams.
#ifndef CM_T120_TRACE_INTERNAL_H
#define CM_T120_TRACE_INTERNAL_H

#include <cstdint>
#include <ctime>

#include "CmT120Trace.h"
#include "CmTestHooks.h"

constexpr int64_t kCmT120TraceRealClock = -1;

// Wall-clock microseconds since 1970 as the trace files see them: the time
// stamp of every record and the date that restarts the rings.
CM_TEST_EXPORT int64_t CmT120TraceNow();

// Local calendar time of CmT120TraceNow()'s whole seconds (all fields 0
// when it cannot be converted) and the microseconds within that second. The
// conversion is kept per thread for the current second, since every record
// and every date check needs it.
CM_TEST_EXPORT void CmT120TraceLocalNow(struct tm& aLocal, int& aMicroseconds);

// Test seam: the trace files see aWallMicroseconds instead of the system
// time (kCmT120TraceRealClock restores it), so a test can move the date.
CM_TEST_EXPORT void CmT120TraceSetNowForTesting(int64_t aWallMicroseconds);

// Test seam: forget the remembered trace directory, so a changed
// environment is read again.
CM_TEST_EXPORT void CmT120TraceResetDirCacheForTesting();

// Test seam: destroy the process-wide front end (closing its files); the
// next instance() makes a new one. No other thread may be tracing.
CM_TEST_EXPORT void CmT120TraceResetInstanceForTesting();

// The process name used in file names.
CM_TEST_EXPORT const char* CmT120TraceProcessName();

#endif  // CM_T120_TRACE_INTERNAL_H
