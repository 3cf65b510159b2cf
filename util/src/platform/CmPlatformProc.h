// CmPlatformProc.h - the machine's and the process's CPU and memory
// accounting, in the library's own terms: cumulative CPU times of the whole
// machine, of the process and of each of its threads, the physical memory
// status and the process's resident memory.
//
// Units: every CPU time is a count of 100-nanosecond units. The kernel counts
// in clock ticks (ClockTicksPerSecond(), USER_HZ, 100 on most machines), so
// readings advance in steps of one tick (10 ms at 100 Hz).
//
// Where the figures come from (Linux):
//   system times      first line of /proc/stat
//   process times     /proc/self/stat
//   thread times      /proc/self/task/<tid>/stat, which also carries the
//                     thread's name (the same kernel field /comm shows)
//   memory status     /proc/meminfo (MemTotal, MemAvailable)
//   resident memory   /proc/self/statm
//
// The Parse* functions are pure: they turn the kernel's text into values and
// refuse anything malformed, so they are tested and fuzzed on captured
// samples. The Read* functions go to the machine (or to the directory set by
// SetProcRootForTesting) and fail when a file is missing, unreadable or
// malformed; a thread that ends while being read is simply not reported.
//
// Thread safety: everything may be called from any thread.
#ifndef CM_PLATFORM_PROC_H
#define CM_PLATFORM_PROC_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CmDefines.h"
#include "CmTestHooks.h"

namespace cm_platform {

// Cumulative CPU time of all processors. kernel includes idle, as the
// engine's formulas expect: idle = idle + iowait; kernel = system + irq +
// softirq + steal + idle; user = user + nice (guest time is already inside
// user and nice).
struct SystemCpuTimes {
  uint64_t idle = 0;
  uint64_t kernel = 0;
  uint64_t user = 0;
};

// CPU time of a process or a thread; creation is its start in 100-ns units
// since the machine booted (two readings of one thread id with different
// creation times are two different threads).
struct TaskCpuTimes {
  uint64_t kernel = 0;
  uint64_t user = 0;
  uint64_t creation = 0;
};

// One thread of the process.
struct ThreadCpuTimes {
  uint32_t tid = 0;
  std::string name;  // the kernel's thread name (at most 15 bytes for user threads)
  TaskCpuTimes times;
};

// Physical memory; available is at most total.
struct MemoryStatus {
  uint64_t totalBytes = 0;
  uint64_t availableBytes = 0;
};

// The fields of a /proc/<pid>/stat line this layer uses, in clock ticks.
struct TaskStatFields {
  uint32_t pid = 0;
  std::string name;  // between the first '(' and the last ')': any bytes
  uint64_t utimeTicks = 0;
  uint64_t stimeTicks = 0;
  uint64_t startTicks = 0;
};

// ---- readers (this machine); exported for the tests and benchmarks

// Clock ticks per second of the kernel's CPU accounting (never 0).
CM_TEST_EXPORT uint64_t ClockTicksPerSecond();
CM_TEST_EXPORT bool ReadSystemCpuTimes(SystemCpuTimes& aTimes);
CM_TEST_EXPORT bool ReadProcessCpuTimes(TaskCpuTimes& aTimes);
// Every thread of the process that could be read; false (and aThreads
// empty) when the thread list itself cannot be read.
CM_TEST_EXPORT bool ReadAllThreadCpuTimes(std::vector<ThreadCpuTimes>& aThreads);
// One thread by id; false when it no longer exists or cannot be read.
CM_TEST_EXPORT bool ReadThreadCpuTimes(uint32_t aTid, ThreadCpuTimes& aThread);
CM_TEST_EXPORT bool ReadMemoryStatus(MemoryStatus& aStatus);
// Resident set (working set) of the process in bytes.
CM_TEST_EXPORT bool ReadProcessResidentBytes(uint64_t& aBytes);

// ---- parsers of the kernel's texts

// aTicks clock ticks at aTicksPerSecond in 100-ns units; false when
// aTicksPerSecond is 0 or the result does not fit 64 bits.
CM_TEST_EXPORT bool ClockTicksTo100ns(uint64_t aTicks, uint64_t aTicksPerSecond, uint64_t& aUnits);
// The aggregate "cpu" line that /proc/stat starts with (at least the user,
// nice, system and idle columns; later columns may be missing).
CM_TEST_EXPORT bool ParseProcStatCpu(std::string_view aText, uint64_t aTicksPerSecond, SystemCpuTimes& aTimes);
// A /proc/<pid>/stat or /proc/<pid>/task/<tid>/stat line. The name may hold
// spaces, parentheses and any other byte: it ends at the last ')'.
CM_TEST_EXPORT bool ParseTaskStat(std::string_view aText, TaskStatFields& aFields);
// /proc/meminfo: MemTotal and MemAvailable; kernels without MemAvailable
// give MemFree + Buffers + Cached. Values must be in kB.
CM_TEST_EXPORT bool ParseMemInfo(std::string_view aText, MemoryStatus& aStatus);
// The resident page count, second column of /proc/<pid>/statm.
CM_TEST_EXPORT bool ParseStatmResidentPages(std::string_view aText, uint64_t& aPages);

// Reads every file above below aRoot instead of /proc ("stat", "meminfo",
// "self/stat", "self/statm", "self/task/<tid>/stat"); null restores /proc.
// Set it while no reader runs.
CM_TEST_EXPORT void SetProcRootForTesting(const char* aRoot);

}  // namespace cm_platform

#endif  // CM_PLATFORM_PROC_H
