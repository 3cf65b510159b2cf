// POSIX implementation of CmPlatformFile.h.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
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

namespace {

bool IsAbsolute(const char* aPath) { return aPath && aPath[0] == '/'; }

// A real directory (lstat: a link is no directory) that the calling user
// owns and nobody else may write.
bool IsPrivateDirectory(const std::string& aPath) {
  struct stat st;
  return lstat(aPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool UserStateDirectory(std::string& aDir) {
  const char* state = getenv("XDG_STATE_HOME");
  if (IsAbsolute(state)) {
    aDir = state;
  } else {
    const char* home = getenv("HOME");
    if (!IsAbsolute(home)) return false;
    aDir = home;
    if (aDir.back() != '/') aDir += '/';
    aDir += ".local/state";
  }
  if (aDir.back() != '/') aDir += '/';
  return true;
}

std::string UserTag() { return std::to_string(static_cast<unsigned long>(geteuid())); }

bool MakePrivateDirectory(const std::string& aPath, unsigned aPrivateLevels, bool aCreateParents) {
  std::vector<std::string> levels;  // every prefix of aPath that ends a level
  for (size_t at = 1; at <= aPath.size(); ++at) {
    if ((at == aPath.size() || aPath[at] == '/') && aPath[at - 1] != '/') levels.push_back(aPath.substr(0, at));
  }
  if (aPath.empty() || aPath[0] != '/' || aPrivateLevels == 0 || aPrivateLevels > levels.size()) return false;
  const size_t firstPrivate = levels.size() - aPrivateLevels;
  for (size_t i = 0; i < levels.size(); ++i) {
    const bool isPrivate = i >= firstPrivate;
    if (!isPrivate && !aCreateParents) continue;
    if (mkdir(levels[i].c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (isPrivate && !IsPrivateDirectory(levels[i])) return false;
  }
  return true;
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
