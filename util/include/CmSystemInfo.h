// CmSystemInfo.h - static facts about the host: CPU brand, nominal CPU
// frequency, core counts and physical memory. The static performance score
// (CmStaticPerformanceScore.h) rates a device from these.
//
// Every function returns 0 on success and a negative value when the fact
// cannot be read; outputs are left unchanged on failure.
//
// Thread safety: all may be called from any thread.
#ifndef CM_SYSTEM_INFO_H
#define CM_SYSTEM_INFO_H

#include "CmDefines.h"

// The processor brand string, cut to aSize - 1 bytes and terminated.
// -1 when the buffer is null or empty or no brand can be read ("" then).
CM_EXPORT int get_cpu_brand(char* aBuf, int aSize);
// The nominal frequency in MHz: the kernel's value, or the brand's
// "@ x.xxGHz" when that is smaller (or the only source). The first result is
// kept for the life of the process. -2 when there is no source at all.
CM_EXPORT int get_cpu_frequency(unsigned& aMHz);
// Physical cores and logical processors per physical core from the kernel's
// CPU topology; when that cannot be read, the online processor count and 1.
CM_EXPORT int get_cpu_core(unsigned& aPhysical, unsigned& aPerCore);
// Physical memory in MB rounded to the nearest multiple of 1024.
CM_EXPORT int get_memory_size(uint64_t& aMB);

#endif  // CM_SYSTEM_INFO_H
