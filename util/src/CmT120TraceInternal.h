// CmT120TraceInternal.h - what the trace files share between their sources,
// and their test hooks.
#ifndef CM_T120_TRACE_INTERNAL_H
#define CM_T120_TRACE_INTERNAL_H

#include <ctime>

#include "CmT120Trace.h"
#include "CmTestHooks.h"

// Local calendar time of the library's wall clock (CmClockSource.h) in whole
// seconds (all fields 0 when it cannot be converted) and the microseconds
// within that second: the time stamp of every record and the date that
// restarts the rings. The conversion is kept per thread for the current
// second, since every record and every date check needs it.
void CmT120TraceLocalNow(struct tm& aLocal, int& aMicroseconds);

// The process name used in file names (and in the leading id).
CM_TEST_EXPORT const char* CmT120TraceProcessName();

// Forgets the remembered trace directory, so a changed environment is read
// again.
CM_TEST_EXPORT void CmT120TraceResetDirCacheForTesting();

// Destroys the process-wide front end (closing its files); the next
// instance() makes a new one. No other thread may be tracing.
CM_TEST_EXPORT void CmT120TraceResetInstanceForTesting();

#endif  // CM_T120_TRACE_INTERNAL_H
