// CmFuncTracerInternal.h - the function tracers' clock and the leading id's
// composition, with their test seams.
#ifndef CM_FUNC_TRACER_INTERNAL_H
#define CM_FUNC_TRACER_INTERNAL_H

#include <cstdint>
#include <string>

#include "CmFuncTracer.h"
#include "CmTestHooks.h"

// The one clock of the function tracers: the steady clock of
// tick_policy::now_us(), in milliseconds.
CM_TEST_EXPORT uint64_t CmFuncTracerNowMs();

// Test seam: the tracers read aClock instead (null restores the monotonic
// clock), so cost levels are checked without sleeping.
typedef uint64_t (*CmFuncTracerClockFn)();
CM_TEST_EXPORT void CmFuncTracerSetClockForTesting(CmFuncTracerClockFn aClock);

// The leading id from its parts: aProcessName without a final ".exe", ".",
// aMachineId, "." - at most 1023 characters.
CM_TEST_EXPORT std::string CmComposeLeadingId(const std::string& aProcessName, const std::string& aMachineId);

#endif  // CM_FUNC_TRACER_INTERNAL_H
