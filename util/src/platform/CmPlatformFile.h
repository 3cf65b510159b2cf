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

// The calling user's directory for data that outlives a run (logs, history):
// $XDG_STATE_HOME when it is an absolute path, else $HOME/.local/state when
// $HOME is one; always ending with '/'. False when the user has no home.
bool UserStateDirectory(std::string& aDir);

// A short text telling the calling user apart from the machine's other
// users (the effective user id), for per-user names in shared directories.
std::string UserTag();

// Makes aPath a directory that only the calling user controls. Its last
// aPrivateLevels levels are created owner-only when missing, and each must
// then be a real directory (not a symbolic link) owned by the calling user
// and writable by nobody else. Missing levels above them are created
// owner-only when aCreateParents is set. False when the directory cannot be
// made so: an existing level owned by someone else or writable by others is
// refused, never altered.
bool MakePrivateDirectory(const std::string& aPath, unsigned aPrivateLevels, bool aCreateParents);

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
