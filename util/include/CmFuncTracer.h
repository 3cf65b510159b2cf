// CmFuncTracer.h - function tracers, the leading id and path reduction for
// trace text.
//
// Which to use:
//  - CCmUtilFuncTracer: a local object that writes "ZARFunc <fn> Enter..."
//    when made and "ZARFunc <fn> Leave" when destroyed, with the time spent
//    once it reaches 2 ms; the leave line is a warning from 300 ms and an
//    error from 900 ms, so slow calls stand out in the host's logs.
//  - CCmT120FuncTracer: "Enter <fn>" / "Leave <fn>" lines for modules
//    switched on in the trace files' module filter (CCmT120Trace).
//  - get_leading_id(): "<process>.<machine>." naming this process in logs.
//  - zar_get_filepath_trace(): a file path with the user-specific part
//    hidden, for trace text.
#ifndef CM_FUNC_TRACER_H
#define CM_FUNC_TRACER_H

#include <cstdint>

#include "CmDefines.h"

// Brackets a scope with enter and leave lines at level 2 (the leave line at
// 1 or 0 when the scope was slow: 300 ms and 900 ms). The prefix is
// "ZARFuncAPI " for an API entry point, else "ZARFunc ". The lines go out
// under aModule, or the library's own module name when it is null or empty.
// Time is measured on the monotonic clock in milliseconds. The texts are
// not copied: they must outlive the object. A copy writes its own leave line.
//
// Thread safety: an object belongs to the thread whose scope it brackets.
class CM_EXPORT CCmUtilFuncTracer {
 public:
  // With aEnable false the object writes nothing at all.
  CCmUtilFuncTracer(bool aEnable, bool aIsApi, const char* aModule, const char* aFunction, const char* aExtra);
  virtual ~CCmUtilFuncTracer();
  CCmUtilFuncTracer(const CCmUtilFuncTracer&) = default;
  CCmUtilFuncTracer& operator=(const CCmUtilFuncTracer&) = default;

 private:
  const char* Prefix() const { return m_bApi ? "ZARFuncAPI " : "ZARFunc "; }

  bool m_bEnable;
  bool m_bApi = false;
  const char* m_pModule = nullptr;
  const char* m_pFunction = nullptr;
  const char* m_pExtra = nullptr;
  uint64_t m_qwStartMs = 0;
};

// "Enter <fn>" when made and "Leave <fn>" when destroyed, at level 2, each
// only when is_module_trace_enabled(2, aModule) holds at that moment (a null
// module passes while no module is enabled; a named one only once enabled).
// Creates the trace-file object on first use.
//
// Thread safety: an object belongs to the thread whose scope it brackets.
class CM_EXPORT CCmT120FuncTracer {
 public:
  CCmT120FuncTracer(const char* aModule, const char* aFunction);
  virtual ~CCmT120FuncTracer();
  CCmT120FuncTracer(const CCmT120FuncTracer&) = delete;
  CCmT120FuncTracer& operator=(const CCmT120FuncTracer&) = delete;

 private:
  void Trace(const char* aWhat);

  const char* m_pModule;
  const char* m_pFunction;
};

CM_EXTERN_C_BEGIN

// "<process name without a final ".exe">.<machine id>." (at most 1023
// characters), computed once per process. The machine id is "MachineID" of
// section "Trace" in the main configuration file when configuration reading
// is enabled and the key has a value, else the host name. Any thread; the
// text stays valid for the life of the process.
CM_EXPORT const char* get_leading_id(void);

// Reduces a path for trace text: lower-cased, the first three characters,
// "*", then the rest from the first known folder marker ("\appdata",
// "\quillo", "\velmar", "/application support", "/quillo", "/velmar", tried
// in this order). ZAR_S_OK with the result in aOut; ZAR_E_FAIL for null
// arguments, a size of 0 or a path without any marker;
// ZAR_E_BUFFER_TOO_SMALL when the result needs more than aSize - 1
// characters. aOut is written only on success.
CM_EXPORT int zar_get_filepath_trace(const char* aPath, char* aOut, size_t aSize);

CM_EXTERN_C_END

#endif  // CM_FUNC_TRACER_H
