// Where the trace path meets the trace files. Until those exist in this
// build, no trace-file object can be created, so option bit 0x2 and
// is_module_trace_enabled() skip their output.
#include "CmTraceInternal.h"

bool CmTraceFileWrite(unsigned /*aLevel*/, const char* /*aModule*/, char* /*aText*/) { return false; }

int CmTraceFileModuleEnabled(unsigned /*aLevel*/, const char* /*aModule*/) { return -1; }
