// Linux implementation of CmPlatformExecutable.h: the kernel names the
// executable through the /proc/self/exe link.
#include "platform/CmPlatformExecutable.h"

#include <unistd.h>

#include <vector>

namespace cm_platform {

bool ExecutablePath(std::string& aPath, size_t aMaxLength) {
  // One byte more than allowed tells a path that is too long from one that fits.
  std::vector<char> buf(aMaxLength + 1);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) > aMaxLength) return false;
  aPath.assign(buf.data(), static_cast<size_t>(n));
  return true;
}

}  // namespace cm_platform
