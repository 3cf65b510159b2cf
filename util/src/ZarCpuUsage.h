// ZarCpuUsage.h - CPU usage from two time samples, shared by CZarPerfsStats
// and ZARSystemResourceMonitor: the samples, the usage formulas, the thread
// list with its names, and the choice of the busiest threads.
//
// All times are counts of 100-nanosecond units; the wall clock is the
// library's timer_policy clock (it never jumps when the system clock is set).
#ifndef ZAR_CPU_USAGE_H
#define ZAR_CPU_USAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "CmDefines.h"
#include "CmTestHooks.h"
#include "ZarPerfsStats.h"

// One thread of the process between its two samples. handle is the thread's
// kernel id, which needs no closing.
struct THREADITEM {
  std::string name;  // "<tid>-<handle>-<kernel name>"
  float cpuUsage = 0.0f;
  ProcessSystemTimes sample;
  uint32_t handle = 0;
};

// Wall clock now, in 100-ns units.
uint64_t ZarWallClock100ns();
// Fill a sample; false when the figures cannot be read (the sample then
// holds only the wall clock).
bool ZarTakeSystemSample(ProcessSystemTimes& aSample);
bool ZarTakeProcessSample(ProcessSystemTimes& aSample);

// System CPU percent between samples a and b: idle = b.idle - a.idle,
// total = kernel and user deltas; 2 when total is 0, 3 when negative, else
// (total - idle) x 100 / total in integers with idle clamped to 0..total.
CM_TEST_EXPORT int ZarSystemCpuUsage(const ProcessSystemTimes& a, const ProcessSystemTimes& b);
// Process (or thread) CPU percent of the whole machine: (kernel + user
// deltas) x 100 / (processors x wall delta), clamped to 0..100; 2.0 when the
// wall clocks are equal or aProcessors is 0.
CM_TEST_EXPORT float ZarProcessCpuUsage(const ProcessSystemTimes& a, const ProcessSystemTimes& b, unsigned aProcessors);

// "<tid>-<handle>-<name>" with the bytes of aName that are not UTF-8, and
// NUL bytes (which would cut the stored name short), replaced by '?'.
CM_TEST_EXPORT std::string ZarThreadEntryName(uint32_t aTid, uint32_t aHandle, const std::string& aName);
// Every thread of the process with its first sample; false when the thread
// list cannot be read.
CM_TEST_EXPORT bool ZarListThreads(std::vector<THREADITEM>& aThreads);
// Takes each listed thread's second sample and computes its usage; threads
// that ended (or whose id now names another thread) are removed.
CM_TEST_EXPORT void ZarFinishThreads(std::vector<THREADITEM>& aThreads, unsigned aProcessors);
// Sorts aThreads by usage, busiest first (stable), and stores up to
// aMaxEntries (at most 20) into aRecord with names cut to 259 bytes, never
// inside a UTF-8 sequence; sets the entry count and zeroes unused entries.
CM_TEST_EXPORT void ZarStoreBusiestThreads(std::vector<THREADITEM>& aThreads, unsigned aMaxEntries,
                                      zar::_tagZarCPUUsage& aRecord);

#endif  // ZAR_CPU_USAGE_H
