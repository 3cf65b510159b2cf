// CmTrace.h - the trace path: levels, the text formatter, the trace
// statements and the host-facing settings and sinks.
//
// A trace statement costs one comparison when its level is suppressed:
// CmTraceIsEnabled() reads one cached threshold, the larger of the external
// trace mask (default 2) and the troubleshooting level of the debug
// configuration. Only a produced message is formatted, into a 1024-byte
// stack buffer through CCmTextFormator, prefixed with the module name and
// handed to util_adapter_trace(), which routes it by the trace option:
//   0x1 the outside trace library, 0x2 the library's trace files,
//   0x4 the host sink, exclusively (when set and installed, nothing else),
//   0x8 the second ("logstash") host sink.
// The library never writes to a console.
//
// Levels: 0 error, 1 warning, 2 info, 3 debug, 4 detail (smaller is more
// severe). Messages carry no newline; messages about an object end with
// CM_THIS_SUFFIX (" [this=0x<low 32 bits of the address>]").
//
// Thread safety: everything here may be used from any thread. The settings
// are process-wide values read without locks; a change takes effect with the
// next message.
#ifndef CM_TRACE_H
#define CM_TRACE_H

#include <atomic>

#include "CmDefines.h"
#include "CmString.h"

enum {
  CM_TRACE_LEVEL_ERROR = 0,
  CM_TRACE_LEVEL_WARNING = 1,
  CM_TRACE_LEVEL_INFO = 2,
  CM_TRACE_LEVEL_DEBUG = 3,
  CM_TRACE_LEVEL_DETAIL = 4,
};

// Streamed into a CCmTextFormator: 0 (HEX) prints the next 32-bit integer
// in hexadecimal, 1 (DECIMAL) in decimal; other values change nothing.
// Scoped, so that its names stay out of the callers' namespace;
// CCmOrdix(0) names the value 0.
enum class CCmOrdix : int { HEX = 0, DECIMAL = 1 };

// Appends text and numbers to a caller's buffer, always keeping a
// terminating zero and leaving the last 96 bytes of the buffer unused (a
// 1024-byte buffer holds at most 928 characters); what does not fit is
// dropped silently.
//
// Number forms: int, long and their unsigned forms in decimal, or lowercase
// hexadecimal without prefix for one number after CCmOrdix(0) (a negative
// value as its two's-complement bits); the flag is cleared after that number.
// char and short types print as numbers; long long types always in decimal,
// leaving the flag alone; float/double as the integer part, "." and three
// truncated fraction digits ("NaN", "inf", "-inf" for the special values);
// any pointer as "0x" and the low 32 bits of the address in hexadecimal (the
// engine's object suffix format). long is 64-bit on this platform and prints
// whole, so int64_t and size_t values are never cut.
//
// Thread safety: none; a formator and its buffer belong to one thread.
class CM_EXPORT CCmTextFormator {
 public:
  CCmTextFormator(char* aBuf, unsigned aCapacity);
  virtual ~CCmTextFormator() = default;
  CCmTextFormator(const CCmTextFormator&) = default;
  CCmTextFormator& operator=(const CCmTextFormator&) = default;

  CCmTextFormator& operator<<(const char* aText);
  CCmTextFormator& operator<<(const CCmString& aText);
  CCmTextFormator& operator<<(char aValue) { return *this << static_cast<int>(aValue); }
  CCmTextFormator& operator<<(unsigned char aValue) { return *this << static_cast<int>(aValue); }
  CCmTextFormator& operator<<(short aValue) { return *this << static_cast<int>(aValue); }
  CCmTextFormator& operator<<(unsigned short aValue) { return *this << static_cast<int>(aValue); }
  CCmTextFormator& operator<<(int aValue);
  CCmTextFormator& operator<<(long aValue);
  CCmTextFormator& operator<<(unsigned int aValue);
  CCmTextFormator& operator<<(unsigned long aValue);
  CCmTextFormator& operator<<(long long aValue);
  CCmTextFormator& operator<<(unsigned long long aValue);
  CCmTextFormator& operator<<(float aValue) { return *this << static_cast<double>(aValue); }
  CCmTextFormator& operator<<(double aValue);
  CCmTextFormator& operator<<(const void* aValue);
  CCmTextFormator& operator<<(CCmOrdix aOrdix) {
    if (aOrdix == CCmOrdix::HEX) m_bHex = true;
    else if (aOrdix == CCmOrdix::DECIMAL) m_bHex = false;
    return *this;
  }

  void reset();
  unsigned tell() const { return m_nLength; }
  operator char*() { return m_pBuf; }
  const char* c_str() const { return m_pBuf; }
  // Appends aLength bytes of aText (which need not be terminated) under the
  // same 96-byte reserve.
  void Append(const char* aText, size_t aLength);

 private:

  char* m_pBuf;
  unsigned m_nCapacity;
  unsigned m_nLength;
  bool m_bHex;
};

// Plain C names of the host interface.
CM_EXTERN_C_BEGIN
typedef void (*util_external_trace_sink)(unsigned aLevel, const char* aLine, unsigned aLength);
typedef long (*util_external_crash_sink)(void* aContext);

// The single output path; aModule may be null or empty ("UTIL" then names it
// in the line).
CM_EXPORT void util_adapter_trace(unsigned aLevel, const char* aModule, const char* aText, unsigned aLength);
// Hands aContext to the installed crash sink and returns its result; 0 when
// none is installed.
CM_EXPORT long util_adapter_crash(void* aContext);

CM_EXPORT void set_util_external_trace_sink(util_external_trace_sink aSink);
CM_EXPORT void set_util_logstash_external_trace_sink(util_external_trace_sink aSink);
CM_EXPORT void set_util_external_crash_sink(util_external_crash_sink aSink);
CM_EXPORT void set_external_trace_mask(unsigned aMask);
CM_EXPORT unsigned get_external_trace_mask(void);
CM_EXPORT void cm_set_trace_option(unsigned aOption);
CM_EXPORT unsigned cm_get_trace_option(void);
CM_EXPORT bool is_module_trace_enabled(unsigned aLevel, const char* aModule);
// Name of the loaded object (library or executable) that called the caller
// of this function, after its last '/'; "UTIL" when it cannot be told.
CM_EXPORT bool GetCallerModuleName(char* aBuf, size_t aSize);
CM_EXTERN_C_END

// The library's own module name (its file name), computed once.
CM_EXPORT const char* CmGetUtilModuleName();

// Effective threshold, max(external mask, troubleshooting level) as signed
// integers; kept current by the setters so the check is a single load.
CM_EXPORT extern std::atomic<int> g_nCmTraceThreshold;

inline bool CmTraceIsEnabled(unsigned aLevel) {
  return static_cast<long long>(aLevel) <= g_nCmTraceThreshold.load(std::memory_order_relaxed);
}

// The trace statement. `str` is a chain of << operands.
#define CM_TRACE_PRINT(level, str)                                                  \
  do {                                                                              \
    if (CmTraceIsEnabled(level)) {                                                  \
      char cmTraceBuf_[1024];                                                       \
      CCmTextFormator cmTraceFmt_(cmTraceBuf_, sizeof(cmTraceBuf_));                \
      cmTraceFmt_ << str;                                                           \
      util_adapter_trace((level), CmGetUtilModuleName(), cmTraceBuf_, cmTraceFmt_.tell()); \
    }                                                                               \
  } while (0)

#define CM_THIS_SUFFIX " [this=" << static_cast<const void*>(this) << "]"

#define CM_ERROR_TRACE(str) CM_TRACE_PRINT(CM_TRACE_LEVEL_ERROR, str)
#define CM_WARNING_TRACE(str) CM_TRACE_PRINT(CM_TRACE_LEVEL_WARNING, str)
#define CM_INFO_TRACE(str) CM_TRACE_PRINT(CM_TRACE_LEVEL_INFO, str)
#define CM_DEBUG_TRACE(str) CM_TRACE_PRINT(CM_TRACE_LEVEL_DEBUG, str)
#define CM_DETAIL_TRACE(str) CM_TRACE_PRINT(CM_TRACE_LEVEL_DETAIL, str)

#define CM_ERROR_TRACE_THIS(str) CM_ERROR_TRACE(str << CM_THIS_SUFFIX)
#define CM_WARNING_TRACE_THIS(str) CM_WARNING_TRACE(str << CM_THIS_SUFFIX)
#define CM_INFO_TRACE_THIS(str) CM_INFO_TRACE(str << CM_THIS_SUFFIX)
#define CM_DEBUG_TRACE_THIS(str) CM_DEBUG_TRACE(str << CM_THIS_SUFFIX)
#define CM_DETAIL_TRACE_THIS(str) CM_DETAIL_TRACE(str << CM_THIS_SUFFIX)

#endif  // CM_TRACE_H
