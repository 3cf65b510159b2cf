// Helpers shared by the fuzz targets.
#ifndef ZAR_FUZZ_SUPPORT_H
#define ZAR_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>

#include "CmTrace.h"

// Refused inputs write trace lines; a fuzzer makes millions of them. Route
// them to a sink that drops them, so only the library's own work is measured
// and nothing reaches files.
inline void FuzzQuietTrace() {
  static const bool s_bDone = [] {
    set_util_external_trace_sink([](unsigned, const char*, unsigned) {});
    cm_set_trace_option(0x4);
    return true;
  }();
  (void)s_bDone;
}

// A broken invariant: say which and stop, so the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                             \
    }                                                                      \
  } while (0)

#endif  // ZAR_FUZZ_SUPPORT_H
