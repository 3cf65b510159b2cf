// CmPlatformFile.h - files, directories and the environment, in the
// library's own terms.
//
// The configuration readers and the trace files reach the file system only
// through here (besides the standard C and C++ streams). Paths use '/'.
#ifndef CM_PLATFORM_FILE_H
#define CM_PLATFORM_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "CmDefines.h"

namespace cm_platform {

// Full path of the running executable; false when it cannot be told.
bool ExecutablePath(std::string& aPath);

// The system's directory for temporary files ($TMPDIR when set, else the
// platform's default), always ending with '/'; empty when it cannot be told.
std::string TempDirectory();

// Value of an environment variable; false when it is not set.
bool GetEnv(const char* aName, std::string& aValue);

// Creates one directory level, readable and writable by its owner only; an
// existing directory counts as success.
bool MakeDirectory(const char* aPath);

// Opens aPath for reading and writing as a binary stream, emptying it and
// creating it when missing (as fopen's "w+b"), except that a new file is
// readable and writable by its owner only, and a symbolic link in place of
// the file is refused (trace files sit in shared temporary directories).
// Null on failure.
std::FILE* OpenPrivateStream(const char* aPath);

// Descriptor number behind a stream; -1 for null.
int StreamDescriptor(std::FILE* aStream);

// Positioned reads and writes on a descriptor, bypassing any stream buffer
// and leaving the file position alone. ReadAt gives the number of bytes
// read (-1 on error); WriteAt writes everything or fails.
long ReadAt(int aDescriptor, int64_t aOffset, void* aBuf, size_t aLength);
bool WriteAt(int aDescriptor, int64_t aOffset, const void* aBuf, size_t aLength);

}  // namespace cm_platform

#endif  // CM_PLATFORM_FILE_H
