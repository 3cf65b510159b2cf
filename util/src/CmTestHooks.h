// CmTestHooks.h - how the library shows its tests, fuzz targets and
// benchmarks what nothing else may call.
//
// Internal headers mark such declarations CM_TEST_EXPORT. The build exports
// them only when it asks for test hooks (the CMake option ZAR_TEST_HOOKS,
// which defines CM_TEST_HOOKS; on for the test, fuzz and benchmark builds);
// otherwise they stay hidden like the rest of the library's inside, and the
// shipped library's dynamic symbol table holds none of them.
//
// Naming: a hook that exists only for tests (it replaces, resets, fails or
// inspects something) ends in "ForTesting". Internal functions that the
// library itself uses and tests also call keep their own names.
#ifndef CM_TEST_HOOKS_H
#define CM_TEST_HOOKS_H

#include "CmDefines.h"

#ifdef CM_TEST_HOOKS
#define CM_TEST_EXPORT CM_EXPORT
#else
#define CM_TEST_EXPORT
#endif

#endif  // CM_TEST_HOOKS_H
