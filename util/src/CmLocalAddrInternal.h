// CmLocalAddrInternal.h - test seam of the local address list. Exported
// only so that tests can drive it; not part of the public headers.
#ifndef CM_LOCAL_ADDR_INTERNAL_H
#define CM_LOCAL_ADDR_INTERNAL_H

#include "CmDefines.h"

// Makes the next 150 calls of get_local_addr bracketed by function tracer
// lines again, as the first ones of the process are.
CM_EXPORT void CmLocalAddrResetTracedCallsForTesting();

#endif  // CM_LOCAL_ADDR_INTERNAL_H
