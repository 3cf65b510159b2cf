// CmPlatformIov.h - the platform's scatter/gather descriptor (struct iovec),
// filled without exposing its layout to the rest of the library.
#ifndef CM_PLATFORM_IOV_H
#define CM_PLATFORM_IOV_H

#include <cstdint>

struct iovec;

namespace cm_platform {

// Sets entry aIndex of the array aIov to aLength bytes at aBase.
void IovSet(struct iovec* aIov, unsigned long aIndex, const void* aBase, uint32_t aLength);

}  // namespace cm_platform

#endif  // CM_PLATFORM_IOV_H
