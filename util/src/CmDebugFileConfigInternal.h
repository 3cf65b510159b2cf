// CmDebugFileConfigInternal.h - what the debug configuration offers the
// rest of the library, and its test hooks.
#ifndef CM_DEBUG_FILE_CONFIG_INTERNAL_H
#define CM_DEBUG_FILE_CONFIG_INTERNAL_H

#include <string>

#include "CmDebugFileConfig.h"
#include "CmTestHooks.h"

// Hands "zar_trace_level" to the trace path as its troubleshooting level
// when the table holds it; otherwise the level stays as it is.
void CmDebugConfigPushTroubleshootingLevel();

class CM_TEST_EXPORT CmDebugConfigForTesting {
 public:
  // A separate object whose private record could not be created, as after
  // an allocation failure; free it with Delete.
  static CZarDebugFileConfig* NewWithoutRecord();
  static void Delete(CZarDebugFileConfig* aConfig);
  // The kind (CmJsonTypeTag) stored under aKey, or -1 when it is absent.
  static int TypeOf(CZarDebugFileConfig* aConfig, const std::string& aKey);
  // Number of keys in the table.
  static size_t Size(CZarDebugFileConfig* aConfig);
};

// The text with every bare word "null" outside strings, in any letter case,
// written in lower case, so that a standard JSON parser accepts it.
CM_TEST_EXPORT std::string CmJsonLowerCaseNulls(const std::string& aText);

#endif  // CM_DEBUG_FILE_CONFIG_INTERNAL_H
