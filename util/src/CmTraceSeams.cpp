// Where the trace path meets the debug configuration and the trace files.
// Until those exist in this build, the troubleshooting level is never read
// from a file and no trace-file object can be created, so option bit 0x2 and
// is_module_trace_enabled() skip their output.
#include "CmTraceInternal.h"

bool CmReadTroubleshootingLevel(int& /*aLevel*/) { return false; }

bool CmTraceFileWrite(unsigned /*aLevel*/, const char* /*aModule*/, char* /*aText*/) { return false; }

int CmTraceFileModuleEnabled(unsigned /*aLevel*/, const char* /*aModule*/) { return -1; }
