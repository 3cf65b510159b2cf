// CmThreadInternal.h - private parts of the thread object: the function
// tracer seam of its life-cycle calls, and test seams.
#ifndef CM_THREAD_INTERNAL_H
#define CM_THREAD_INTERNAL_H

#include <atomic>

#include "CmThread.h"
#include "CmTrace.h"

// ---- function tracers of the ACmThread life-cycle calls.
//
// Create, the constructor, Join, Destory, Terminate and the destructor are
// each bracketed by a function tracer (an enter line, and a leave line with
// the time spent) for the first 150 calls of that call in the process. The
// tracer belongs to the tracing subsystem and plugs in here: until it
// exists, CM_THREAD_FUNC_TRACER only counts the calls of its site and writes
// nothing. Its arguments are what the tracer prints:
//   aFunction  "ACmThread::Create"
//   aLine      the call's number in the engine's logs (108 for Create ...)
//   aExtra     a << chain of the call's details, e.g. ", aType=" << aType
// The extra chain is compiled (so it stays correct) but not evaluated.
constexpr unsigned kCmThreadFuncTracerCalls = 150;

class CCmThreadFuncTracerSeam {
 public:
  CCmThreadFuncTracerSeam(bool aEnabled, const char* aFunction, int aLine, const void* aThis)
      : m_bEnabled(aEnabled), m_pFunction(aFunction), m_nLine(aLine), m_pThis(aThis) {}
  bool IsEnabled() const { return m_bEnabled; }
  const char* Function() const { return m_pFunction; }
  int Line() const { return m_nLine; }
  const void* Object() const { return m_pThis; }

 private:
  bool m_bEnabled;
  const char* m_pFunction;
  int m_nLine;
  const void* m_pThis;
};

#define CM_THREAD_FUNC_TRACER(aFunction, aLine, aExtra)                                                  \
  static std::atomic<unsigned> cmFuncTracerCalls_{0};                                                   \
  CCmThreadFuncTracerSeam cmFuncTracer_(cmFuncTracerCalls_.fetch_add(1, std::memory_order_relaxed) <   \
                                            kCmThreadFuncTracerCalls,                                   \
                                        aFunction, aLine, this);                                        \
  if (false) {                                                                                          \
    char cmFuncTracerBuf_[1];                                                                           \
    CCmTextFormator cmFuncTracerExtra_(cmFuncTracerBuf_, sizeof(cmFuncTracerBuf_));                     \
    cmFuncTracerExtra_ << aExtra;                                                                       \
  }

// ---- test seams (exported for the tests; not part of the public headers)

// Called by every new thread before its procedure begins (before it counts
// as running), so a test can hold a thread in "start requested". Null
// removes it.
CM_EXPORT void CmThreadSetStartHook(void (*aHook)(ACmThread* aThread));
// How long Create waits for OnThreadInit, in milliseconds (default 5000).
CM_EXPORT void CmThreadSetStartTimeout(long aMilliseconds);

#endif  // CM_THREAD_INTERNAL_H
