// CmTraceInternal.h - what the trace core (CmTrace.cpp) offers the rest of
// the library: the outputs it routes to and the troubleshooting level.
//
// The core knows its outputs only through ICmTraceSink. The trace files
// and the outside trace library each register one sink when the library is
// loaded; the debug configuration pushes its troubleshooting level in. So
// the path points one way: they include this header, the core includes
// none of theirs.
#ifndef CM_TRACE_INTERNAL_H
#define CM_TRACE_INTERNAL_H

#include "CmTrace.h"
#include "CmTestHooks.h"

// An output of util_adapter_trace() chosen by a bit of the trace option.
// Called on the tracing thread without a lock of the core; an output that
// cannot be reached right now drops the message.
class ICmTraceSink {
 public:
  // aText is the terminated message after its "[module] " prefix,
  // aLength its length; aModule is never null.
  virtual void Write(unsigned aLevel, const char* aModule, char* aText, unsigned aLength) = 0;
  // Whether this output takes messages of aModule at aLevel; only an
  // output that keeps a module list answers anything but false.
  virtual bool ModuleEnabled(unsigned /*aLevel*/, const char* /*aModule*/) { return false; }

 protected:
  ~ICmTraceSink() = default;
};

enum CmTraceOutput {
  CmTraceOutput_Library = 0,  // option bit 0x1, the outside trace library
  CmTraceOutput_Files = 1,    // option bit 0x2, the library's trace files
};

// Registers the sink of an output (null removes it). A sink stays valid for
// the life of the process.
void CmTraceSetSink(CmTraceOutput aOutput, ICmTraceSink* aSink);

// The troubleshooting level joins the external mask in the threshold.
CM_TEST_EXPORT void CmTraceSetTroubleshootingLevel(int aLevel);
CM_TEST_EXPORT int CmTraceGetTroubleshootingLevel();

#endif  // CM_TRACE_INTERNAL_H
