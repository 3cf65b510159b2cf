// CmSystemInfoInternal.h - the rules that turn raw host readings into the
// facts of CmSystemInfo.h, exported for tests.
#ifndef CM_SYSTEM_INFO_INTERNAL_H
#define CM_SYSTEM_INFO_INTERNAL_H

#include <cstdint>
#include <string>

#include "CmTestHooks.h"

// The brand's nominal frequency: the text between the first "@" and the
// first "GHz" as GHz, in whole MHz; 0 when it does not parse.
CM_TEST_EXPORT unsigned CmBrandFrequencyMHz(const std::string& aBrand);
// The frequency rule: the system value (aSystemMHz, <= 0 when missing), or
// the brand value when it is not 0 and smaller or the only one. -2 when
// neither exists (aMHz unchanged), else 0.
CM_TEST_EXPORT int CmComposeCpuFrequency(unsigned aBrandMHz, long aSystemMHz, unsigned& aMHz);
// Bytes to MB rounded to the nearest multiple of 1024:
// ((bytes >> 20) + 512) with the low ten bits cleared.
CM_TEST_EXPORT uint64_t CmRoundMemoryMB(uint64_t aBytes);
// Forgets the cached frequency so the next get_cpu_frequency reads again.
CM_TEST_EXPORT void CmResetCpuFrequencyCacheForTesting();

#endif  // CM_SYSTEM_INFO_INTERNAL_H
