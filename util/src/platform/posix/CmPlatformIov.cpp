// POSIX implementation of CmPlatformIov.h.
#include <sys/uio.h>

#include "platform/CmPlatformIov.h"

namespace cm_platform {

void IovSet(struct iovec* aIov, unsigned long aIndex, const void* aBase, uint32_t aLength) {
  aIov[aIndex].iov_base = const_cast<void*>(aBase);
  aIov[aIndex].iov_len = aLength;
}

}  // namespace cm_platform
