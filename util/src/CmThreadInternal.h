// CmThreadInternal.h - private parts of the thread object: the function
// tracers of its life-cycle calls, and test seams.
#ifndef CM_THREAD_INTERNAL_H
#define CM_THREAD_INTERNAL_H

#include <atomic>

#include "CmFuncTracer.h"
#include "CmTestHooks.h"
#include "CmThread.h"
#include "CmTrace.h"

// ---- function tracers of the ACmThread life-cycle calls.
//
// Create, the constructor, Join, Destory, Terminate and the destructor are
// each bracketed by a CCmUtilFuncTracer (an enter line, and a leave line
// with the time spent) for the first 150 calls of that call in the process:
//   "ZARFunc ACmThread::Create,line=108 [this=0x...] Enter..., aType=..."
//   "ZARFunc ACmThread::Create,line=108 [this=0x...] Leave"
// The arguments of CM_THREAD_FUNC_TRACER are what the lines print:
//   aFunction  "ACmThread::Create"
//   aLine      the call's number in the engine's logs (108 for Create ...)
//   aExtra     a << chain of the call's details, e.g. ", aType=" << aType
// Both texts are formatted into the tracer's own buffers when the scope
// begins (the extra chain is evaluated only then, and only for enabled
// calls), so the leave line of Destory or of the destructor, which runs
// after the object is gone, reads nothing of it.
constexpr unsigned kCmThreadFuncTracerCalls = 150;

// One call site's count of calls; every site joins a process-wide list so
// that tests can start the counts afresh.
class CCmThreadFuncTracerSite {
 public:
  CCmThreadFuncTracerSite();
  // Counts this call; true while the site is within its first 150 calls.
  bool Enter() {
    return m_nCalls.load(std::memory_order_relaxed) < kCmThreadFuncTracerCalls &&
           m_nCalls.fetch_add(1, std::memory_order_relaxed) < kCmThreadFuncTracerCalls;
  }
  void Reset() { m_nCalls.store(0); }
  CCmThreadFuncTracerSite* Next() const { return m_pNext; }

 private:
  std::atomic<unsigned> m_nCalls{0};
  CCmThreadFuncTracerSite* m_pNext;
};

class CCmThreadFuncTracer {
 public:
  CCmThreadFuncTracer() : m_Extra(m_szExtra, sizeof(m_szExtra)) { m_szExtra[0] = '\0'; }
  ~CCmThreadFuncTracer();
  CCmThreadFuncTracer(const CCmThreadFuncTracer&) = delete;
  CCmThreadFuncTracer& operator=(const CCmThreadFuncTracer&) = delete;

  CCmTextFormator& Extra() { return m_Extra; }
  // Writes the enter line; the leave line follows at destruction.
  void Start(const char* aFunction, int aLine, const void* aThis);

 private:
  char m_szFunction[256];
  char m_szExtra[512];
  CCmTextFormator m_Extra;
  alignas(CCmUtilFuncTracer) unsigned char m_Tracer[sizeof(CCmUtilFuncTracer)];
  bool m_bStarted = false;
};

#define CM_THREAD_FUNC_TRACER(aFunction, aLine, aExtra)                 \
  static CCmThreadFuncTracerSite cmFuncTracerSite_;                     \
  CCmThreadFuncTracer cmFuncTracer_;                                    \
  if (cmFuncTracerSite_.Enter()) {                                      \
    cmFuncTracer_.Extra() << aExtra;                                    \
    cmFuncTracer_.Start(aFunction, aLine, this);                        \
  }

// ---- test seams (exported for the tests; not part of the public headers)

// Called by every new thread before its procedure begins (before it counts
// as running), so a test can hold a thread in "start requested". Null
// removes it.
CM_TEST_EXPORT void CmThreadSetStartHookForTesting(void (*aHook)(ACmThread* aThread));
// How long Create waits for OnThreadInit, in milliseconds (default 5000).
CM_TEST_EXPORT void CmThreadSetStartTimeoutForTesting(long aMilliseconds);
// Every function-tracer site counts its calls from 0 again.
CM_TEST_EXPORT void CmThreadResetFuncTracerCountsForTesting();

#endif  // CM_THREAD_INTERNAL_H
