// CmLocalAddrInternal.h - the test hook of the local address list.
#ifndef CM_LOCAL_ADDR_INTERNAL_H
#define CM_LOCAL_ADDR_INTERNAL_H

#include "CmDefines.h"
#include "CmTestHooks.h"

// Makes the next 150 calls of get_local_addr bracketed by function tracer
// lines again, as the first ones of the process are.
CM_TEST_EXPORT void CmLocalAddrResetTracedCallsForTesting();

#endif  // CM_LOCAL_ADDR_INTERNAL_H
