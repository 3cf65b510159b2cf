// CmFuncTracerInternal.h - the leading id's composition, for tests.
#ifndef CM_FUNC_TRACER_INTERNAL_H
#define CM_FUNC_TRACER_INTERNAL_H

#include <string>

#include "CmFuncTracer.h"
#include "CmTestHooks.h"

// The leading id from its parts: aProcessName without a final ".exe", ".",
// aMachineId, "." - at most 1023 characters.
CM_TEST_EXPORT std::string CmComposeLeadingId(const std::string& aProcessName, const std::string& aMachineId);

#endif  // CM_FUNC_TRACER_INTERNAL_H
