// zar_demo: a tour of the library as a host application uses it. It installs
// a trace sink that prints every produced line, then runs one section per
// subsystem. Exit status 0 means every section saw what it expected.
#include <cstdio>
#include <cstring>

#include "CmThread.h"
#include "CmTrace.h"
#include "CmUtilTemplates.h"
#include "Demo.h"

namespace {
void PrintingSink(unsigned aLevel, const char* aLine, unsigned aLength) {
  printf("  [sink level %u] %.*s\n", aLevel, static_cast<int>(aLength), aLine);
}
}  // namespace

int main() {
  // The host's side of tracing: its own sink, exclusively (option bit 0x4).
  set_util_external_trace_sink(&PrintingSink);
  cm_set_trace_option(0x4);

  int failures = 0;
  failures += DemoCore();
  failures += DemoMeasure();
  failures += DemoConfig();
  failures += DemoUrls();
  failures += DemoBuffers();
  failures += DemoThreads();
  failures += DemoTimers();

  // The host's shutdown: stop whatever library thread is still registered,
  // then destroy the library's singletons (newest first).
  TPCleanThreadList();
  CCmCleanUpBase::CleanupAll();

  set_util_external_trace_sink(nullptr);
  printf("\n%s\n", failures == 0 ? "demo: all sections passed" : "demo: some sections FAILED");
  return failures == 0 ? 0 : 1;
}
