// CmInetAddrInternal.h - test seam of the address text utilities. Exported
// only so that tests can drive it; not part of the public headers.
#ifndef CM_INET_ADDR_INTERNAL_H
#define CM_INET_ADDR_INTERNAL_H

#include "CmTestHooks.h"

// Forgets the address get_local_ip found, so that its next call looks the
// host's name up again.
CM_TEST_EXPORT void CmInetResetLocalIpCacheForTesting();

#endif  // CM_INET_ADDR_INTERNAL_H
