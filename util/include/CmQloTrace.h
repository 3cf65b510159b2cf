// CmQloTrace.h - CCmQloTrace, the bridge to the outside trace library.
//
// The outside trace library is an optional shared object, "libqlotrace.so",
// that must sit in the same directory as this library; it is loaded at run
// time through the library's module loader, which loads only from that
// directory and refuses a file that anyone but its owner may write. Its two
// entry points are looked up by name:
//   "QLOTRACEA"    int (unsigned libLevel, const char* text, const char* aux)
//   "QLOTRACERAWA" int (unsigned libLevel, const char* module, const char* aux,
//                       const char* text)
// A library that is missing, refused or lacks an entry point is skipped
// silently. util_adapter_trace() sends lines longer than 2047 bytes to the raw
// entry in steps of 2047 bytes (each call receives the rest of the text).
//
// The library level of a trace level comes from a 256-entry table (defaults:
// 0->8, 1->4, 2->2, 3->1, 4->1, others 0).
//
// Thread safety: a process-wide singleton, created once even when two
// threads ask at the same moment; Init/Close hold its mutex, the entry points
// are called without it; the level table may be read and written from any
// thread.
#ifndef CM_QLO_TRACE_H
#define CM_QLO_TRACE_H

#include <atomic>
#include <string>
#include <vector>

#include "CmMutex.h"

CM_EXTERN_C_BEGIN
typedef int (*CmQloTraceFn)(unsigned aLibLevel, const char* aText, const char* aAux);
typedef int (*CmQloTraceRawFn)(unsigned aLibLevel, const char* aModule, const char* aAux, const char* aText);
CM_EXTERN_C_END

// File name of the outside trace library, looked for beside this library.
#define CM_QLO_TRACE_LIBRARY_NAME "libqlotrace.so"

// The process's one bridge to the outside trace library: loads it, holds
// its entry points and the level table (see above for thread safety).
class CM_EXPORT CCmQloTrace {
 public:
  static CCmQloTrace* instance();

  void Init();
  void Close();
  bool IsLoadDllSuccessfully();
  // false for an index of 256 or more.
  bool UpdateTraceLevel(unsigned aIndex, int aValue);
  bool GetTraceLevel(unsigned aIndex, int& aValue);
  // Sends text through the raw entry point (empty module and aux); false
  // when that entry point is missing. aAux is not used.
  bool trace_string(unsigned long aLevel, const char* aAux, char* aText);
  // Takes "zar_trace_level" from the debug configuration when it can be
  // read; otherwise keeps the current troubleshooting level.
  void UpdateTroubleShotConfigStatus();
  // Pieces of aText between delimiters, as getline with that delimiter gives
  // them (a trailing delimiter adds no empty piece).
  void split_string(const std::string& aText, char aDelimiter, std::vector<std::string>& aOut);

  unsigned LibraryLevel(unsigned aLevel) const { return m_Levels[aLevel & 0xFF].load(std::memory_order_relaxed); }
  CmQloTraceRawFn RawEntry() const { return m_pfnRaw.load(std::memory_order_acquire); }

 private:
  CCmQloTrace();
  ~CCmQloTrace();

  CCmMutexThreadRecursive m_Mutex;  // guards loading and unloading
  void* m_hModule = nullptr;
  std::atomic<uint32_t> m_Levels[256];
  std::atomic<CmQloTraceFn> m_pfnTrace{nullptr};
  std::atomic<CmQloTraceRawFn> m_pfnRaw{nullptr};
};

#endif  // CM_QLO_TRACE_H
