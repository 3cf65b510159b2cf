// CmPlatformExecutable.h - the running executable, in the library's terms.
#ifndef CM_PLATFORM_EXECUTABLE_H
#define CM_PLATFORM_EXECUTABLE_H

#include <cstddef>
#include <string>

namespace cm_platform {

// Full path of the running executable. False (aPath untouched) when it
// cannot be read or is longer than aMaxLength characters.
bool ExecutablePath(std::string& aPath, size_t aMaxLength);

}  // namespace cm_platform

#endif  // CM_PLATFORM_EXECUTABLE_H
