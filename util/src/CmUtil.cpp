// The library's start-up and shutdown entry points: nothing to do (see
// CmUtil.h).
#include "CmUtil.h"

int CmUtilInit() { return 0; }

int CmUtilCleanup() { return 0; }
