// The version of the loaded library. The text is compiled into the library
// itself (not taken from the header a caller includes), so a caller can tell
// which release it runs with.
#include "CmVersion.h"

const char* zar_util_version(void) { return ZARUTIL_VERSION; }
