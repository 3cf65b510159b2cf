// CmConfigInitFileInternal.h - the ini reader over a text in memory, and
// the configuration paths, for tests and fuzzing.
#ifndef CM_CONFIG_INIT_FILE_INTERNAL_H
#define CM_CONFIG_INIT_FILE_INTERNAL_H

#include <string>

#include "CmConfigInitFile.h"
#include "CmTestHooks.h"

// The same lookup as get_string_param_from_ini_force, over aSize bytes of
// aData read as a file would be (lines of at most 2047 characters, a NUL
// byte ends the line's text).
CM_TEST_EXPORT unsigned char CmIniLookupInText(const char* aData, size_t aSize, const char* aSection, const char* aKey,
                                          char* aValue, unsigned long aValueSize);

// Full path of the main configuration file.
CM_TEST_EXPORT std::string CmMainConfigFilePath();

// The stored home environment text (CCmConfigInitFile::SetQuilloHomeEnv).
CM_TEST_EXPORT std::string CmQuilloHomeEnv();

#endif  // CM_CONFIG_INIT_FILE_INTERNAL_H
