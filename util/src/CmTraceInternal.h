// CmTraceInternal.h - the trace path's private seams.
//
// The troubleshooting level joins the threshold here; the trace-file output
// (option bit 0x2) and the module-enable check reach the trace-file object
// through CmTraceFile*(). Exported only so that tests can drive them; not part
// of the public headers.
#ifndef CM_TRACE_INTERNAL_H
#define CM_TRACE_INTERNAL_H

#include "CmTrace.h"
#include "CmTestHooks.h"

// Stores the troubleshooting level and recomputes the threshold.
CM_TEST_EXPORT void CmTraceSetTroubleshootingLevel(int aLevel);
CM_TEST_EXPORT int CmTraceGetTroubleshootingLevel();

// Reads "zar_trace_level" from the debug configuration; false when it is not
// available.
bool CmReadTroubleshootingLevel(int& aLevel);

// Writes one message to the trace files; false when the trace-file object
// does not exist and cannot be created.
bool CmTraceFileWrite(unsigned aLevel, const char* aModule, char* aText);
// The trace-file object's module check: 1 or 0, or -1 when that object does
// not exist and cannot be created.
int CmTraceFileModuleEnabled(unsigned aLevel, const char* aModule);

#endif  // CM_TRACE_INTERNAL_H
