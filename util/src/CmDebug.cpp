#include "CmDebug.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<unsigned> g_nAssertions{0};
std::atomic<unsigned> g_nTempLogs{0};
}  // namespace

void cm_assertion_report(void) { g_nAssertions.fetch_add(1, std::memory_order_relaxed); }
unsigned cm_get_assertions_count(void) { return g_nAssertions.load(std::memory_order_relaxed); }
void cm_add_temp_log(void) { g_nTempLogs.fetch_add(1, std::memory_order_relaxed); }
unsigned cm_get_temp_logs_count(void) { return g_nTempLogs.load(std::memory_order_relaxed); }

void CmAssertFailed(const char* aFile, int aLine, const char* aExpression) {
  cm_assertion_report();
  if (!CmTraceIsEnabled(CM_TRACE_LEVEL_ERROR)) return;
  const char* file = aFile ? aFile : "";
  const char* slash = strrchr(file, '/');
  if (slash) file = slash + 1;
  char buf[1024];
  CCmTextFormator fmt(buf, sizeof(buf));
  fmt << file << ":" << aLine << " Assert failed: " << aExpression;
  util_adapter_trace(CM_TRACE_LEVEL_ERROR, CmGetUtilModuleName(), buf, fmt.tell());
}
