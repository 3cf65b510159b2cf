// Host facts for the static performance score, read through the platform
// layer and formed by the rules of CmSystemInfoInternal.h.
#include "CmSystemInfo.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "CmSystemInfoInternal.h"
#include "CmTrace.h"
#include "platform/CmPlatformCpu.h"

namespace {
// The nominal frequency does not change while the process runs; -1: not read.
std::atomic<int64_t> g_llCachedFrequencyMHz{-1};
}  // namespace

unsigned CmBrandFrequencyMHz(const std::string& aBrand) {
  const size_t at = aBrand.find('@');
  const size_t ghz = aBrand.find("GHz");
  if (at == std::string::npos || ghz == std::string::npos || ghz < at) return 0;
  const std::string number = aBrand.substr(at + 1, ghz - at - 1);
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end);
  if (end == number.c_str() || !std::isfinite(value) || value <= 0.0 || value > 1e6) return 0;
  return static_cast<unsigned>(std::lround(value * 1000.0));
}

int CmComposeCpuFrequency(unsigned aBrandMHz, long aSystemMHz, unsigned& aMHz) {
  if (aSystemMHz > 0) {
    const unsigned system = static_cast<unsigned>(std::min<long>(aSystemMHz, UINT32_MAX));
    aMHz = (aBrandMHz != 0 && aBrandMHz < system) ? aBrandMHz : system;
    return 0;
  }
  if (aBrandMHz == 0) return -2;
  aMHz = aBrandMHz;
  return 0;
}

uint64_t CmRoundMemoryMB(uint64_t aBytes) { return ((aBytes >> 20) + 512) & ~static_cast<uint64_t>(1023); }

void CmResetCpuFrequencyCacheForTesting() { g_llCachedFrequencyMHz.store(-1); }

int get_cpu_brand(char* aBuf, int aSize) {
  if (!aBuf || aSize <= 0) return -1;
  const std::string brand = cm_platform::CpuBrandString();
  const size_t n = std::min(brand.size(), static_cast<size_t>(aSize - 1));
  std::memcpy(aBuf, brand.data(), n);
  aBuf[n] = '\0';
  CM_INFO_TRACE("get_cpu_brand = " << aBuf);
  return brand.empty() ? -1 : 0;
}

int get_cpu_frequency(unsigned& aMHz) {
  const int64_t cached = g_llCachedFrequencyMHz.load();
  if (cached >= 0) {
    aMHz = static_cast<unsigned>(cached);
    return 0;
  }
  const unsigned brandMHz = CmBrandFrequencyMHz(cm_platform::CpuBrandString());
  const long systemMHz = cm_platform::CpuSystemFrequencyMHz();
  CM_INFO_TRACE("get_cpu_frequency dwMHz = " << systemMHz << ", dstFrequency_MHz = " << brandMHz);
  unsigned mhz = 0;
  const int rc = CmComposeCpuFrequency(brandMHz, systemMHz, mhz);
  if (rc != 0) return rc;
  // Two first callers compute the same value; whichever store lands is right.
  g_llCachedFrequencyMHz.store(mhz);
  aMHz = mhz;
  return 0;
}

int get_cpu_core(unsigned& aPhysical, unsigned& aPerCore) {
  aPhysical = 2;
  aPerCore = 1;
  unsigned physical = 0, perCore = 0;
  if (cm_platform::CpuTopology(physical, perCore)) {
    aPhysical = physical;
    aPerCore = perCore;
  } else {
    aPhysical = cm_platform::CpuOnlineCount();
  }
  return 0;
}

int get_memory_size(uint64_t& aMB) {
  const uint64_t bytes = cm_platform::PhysicalMemoryBytes();
  if (bytes == 0) return -1;
  aMB = CmRoundMemoryMB(bytes);
  return 0;
}
