// CmDebug.h - non-fatal assertions and the diagnostic counters.
//
// A failed CM_ASSERTE* counts itself, writes the level-0 line
// "<file>:<line> Assert failed: <expression>" when level 0 passes the trace
// threshold, and lets the caller continue with its own failure path; an
// assertion never stops the program. The _RETURN forms return the given
// value (or nothing) after the report.
//
// Thread safety: any thread; the counters use atomic increments.
#ifndef CM_DEBUG_H
#define CM_DEBUG_H

#include "CmTrace.h"

CM_EXTERN_C_BEGIN
CM_EXPORT void cm_assertion_report(void);
CM_EXPORT unsigned cm_get_assertions_count(void);
CM_EXPORT void cm_add_temp_log(void);
CM_EXPORT unsigned cm_get_temp_logs_count(void);
CM_EXTERN_C_END

// Counts the failure and writes its line; aFile may carry directories.
CM_EXPORT void CmAssertFailed(const char* aFile, int aLine, const char* aExpression);

#define CM_ASSERTE(expr)                                 \
  do {                                                   \
    if (!(expr)) CmAssertFailed(__FILE__, __LINE__, #expr); \
  } while (0)

#define CM_ASSERTE_RETURN(expr, rv)                \
  do {                                             \
    if (!(expr)) {                                 \
      CmAssertFailed(__FILE__, __LINE__, #expr);   \
      return rv;                                   \
    }                                              \
  } while (0)

#define CM_ASSERTE_RETURN_VOID(expr)               \
  do {                                             \
    if (!(expr)) {                                 \
      CmAssertFailed(__FILE__, __LINE__, #expr);   \
      return;                                      \
    }                                              \
  } while (0)

#endif  // CM_DEBUG_H
