// POSIX implementation of CmPlatformFile.h.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/CmPlatformFile.h"

namespace cm_platform {

bool ExecutablePath(std::string& aPath) {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return false;
  aPath.assign(buf.data(), static_cast<size_t>(n));
  return true;
}

std::string TempDirectory() {
  std::string dir;
  const char* env = getenv("TMPDIR");
  dir = (env && *env) ? env : P_tmpdir;
  if (dir.empty()) return dir;
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool GetEnv(const char* aName, std::string& aValue) {
  const char* value = aName ? getenv(aName) : nullptr;
  if (!value) return false;
  aValue = value;
  return true;
}

bool MakeDirectory(const char* aPath) {
  if (!aPath || !*aPath) return false;
  if (mkdir(aPath, 0700) == 0) return true;
  struct stat st;
  return errno == EEXIST && stat(aPath, &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE* OpenPrivateStream(const char* aPath) {
  if (!aPath) return nullptr;
  const int fd = open(aPath, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "w+b");
  if (!stream) close(fd);
  return stream;
}

int StreamDescriptor(std::FILE* aStream) { return aStream ? fileno(aStream) : -1; }

long ReadAt(int aDescriptor, int64_t aOffset, void* aBuf, size_t aLength) {
  ssize_t n;
  do {
    n = pread(aDescriptor, aBuf, aLength, static_cast<off_t>(aOffset));
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool WriteAt(int aDescriptor, int64_t aOffset, const void* aBuf, size_t aLength) {
  const char* p = static_cast<const char*>(aBuf);
  while (aLength > 0) {
    const ssize_t n = pwrite(aDescriptor, p, aLength, static_cast<off_t>(aOffset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    aOffset += n;
    aLength -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace cm_platform
