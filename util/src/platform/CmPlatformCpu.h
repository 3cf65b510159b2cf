// CmPlatformCpu.h - the host facts the static performance score rates: the
// CPU brand, its nominal frequency, its core topology and the physical
// memory.
//
// The readers go to the machine; the Parse*/Count* helpers turn the kernel's
// file contents into values and are exported so that tests feed them fixed
// text.
#ifndef CM_PLATFORM_CPU_H
#define CM_PLATFORM_CPU_H

#include <cstdint>
#include <string>
#include <vector>

#include "CmTestHooks.h"

namespace cm_platform {

// ---- readers (this machine)

// The processor brand string: the CPU identification instruction's brand
// leaves where the processor has them, else the CPU description of
// /proc/cpuinfo. Leading and trailing blanks are removed; "" when unknown.
std::string CpuBrandString();
// The processor's nominal frequency in MHz as the kernel reports it: cpufreq
// base_frequency, else cpuinfo_max_freq, else "cpu MHz" of /proc/cpuinfo.
// -1 when none of them exists.
long CpuSystemFrequencyMHz();
// Physical cores and logical processors per physical core of the online
// processors, from /sys/devices/system/cpu. False when the topology cannot
// be read.
bool CpuTopology(unsigned& aPhysical, unsigned& aPerCore);
// Online logical processors (at least 1).
unsigned CpuOnlineCount();
// Total physical memory in bytes; 0 when unknown.
uint64_t PhysicalMemoryBytes();

// ---- parsers of the kernel's texts

// Value of the first "key : value" line of /proc/cpuinfo text whose key is
// aKey, trimmed; "" when absent.
CM_TEST_EXPORT std::string ParseCpuInfoValue(const std::string& aCpuInfo, const char* aKey);
// The CPU description in /proc/cpuinfo text: "model name", else "Hardware",
// "Processor", "cpu model", "cpu"; "" when none.
CM_TEST_EXPORT std::string ParseCpuInfoBrand(const std::string& aCpuInfo);
// "cpu MHz" of /proc/cpuinfo text rounded to whole MHz; -1 when absent or
// not a positive number.
CM_TEST_EXPORT long ParseCpuInfoMHz(const std::string& aCpuInfo);
// A cpufreq file (kHz) in whole MHz; -1 when not a positive number.
CM_TEST_EXPORT long ParseCpuFreqKHzAsMHz(const std::string& aText);
// A kernel CPU list such as "0-3,8,10-11" as the processor numbers it
// names, ascending; empty when the text is malformed.
CM_TEST_EXPORT std::vector<unsigned> ParseCpuList(const std::string& aText);
// One key per online processor naming its core (the processors sharing it):
// physical = distinct keys, perCore = processors / physical (0 when there
// are no keys).
CM_TEST_EXPORT void CountCpuCores(const std::vector<std::string>& aCoreKeys, unsigned& aPhysical, unsigned& aPerCore);
// "MemTotal" of /proc/meminfo text in bytes; 0 when absent.
CM_TEST_EXPORT uint64_t ParseMemInfoTotalBytes(const std::string& aMemInfo);

}  // namespace cm_platform

#endif  // CM_PLATFORM_CPU_H
