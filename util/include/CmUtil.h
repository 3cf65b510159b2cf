// CmUtil.h - the library's start-up and shutdown entry points.
//
// The library needs no set-up: it starts no thread and reads no file until a
// caller asks it to, and loading it only records its module handle. The two
// entry points exist so that hosts written against an initialise/clean-up
// pair can call them; both do nothing and return 0. The real shutdown work is
// TPCleanThreadList (stops the library's threads) and
// CCmCleanUpBase::CleanupAll (destroys the singletons).
//
// Thread safety: any thread, any number of times.
#ifndef CM_UTIL_H
#define CM_UTIL_H

#include "CmDefines.h"

CM_EXTERN_C_BEGIN
CM_EXPORT int CmUtilInit();
CM_EXPORT int CmUtilCleanup();
CM_EXTERN_C_END

#endif  // CM_UTIL_H
