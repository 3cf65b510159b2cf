// ZarPerfsStats.h - how loaded the machine and the process are, sampled once
// a second on a thread of its own: system CPU usage, process CPU usage, the
// busiest threads of the process with their CPU usage, and memory usage.
//
// Which to use:
//  - CZarPerfsStats: continuous figures while a media session runs. start()
//    and stop() are counted; the first start starts the sampling thread,
//    the stop that balances the last start ends it. Callers copy the latest
//    figures out as the two fixed-layout records below.
//  - ZARSystemResourceMonitor (ZarSystemResourceMonitor.h): figures on
//    demand, without a thread.
//  - get_memory_usage: the physical memory status, once.
//
// Typical use:
//   CZarPerfsStats& perfs = CZarPerfsStats::instance();
//   perfs.EnablFullPerfStatus(true);       // per-thread figures too
//   perfs.start(nullptr);
//   perfs.WaitUntilReady(std::chrono::seconds(5));
//   zar::_tagZarCPUUsage cpu;
//   if (perfs.get_cpu_statistics(cpu) == 0) ... cpu.threads[0] is the busiest
//   perfs.stop();
//
// Figures on Linux: CPU times come from the kernel's accounting (/proc), in
// clock ticks (10 ms at the usual 100 Hz), so a thread's usage over one
// second is exact to about one percent of one processor. Processor
// performance and GPU usage come from performance counters Linux does not
// offer: they are "not available" and stay 0, and system CPU usage always
// comes from the idle/kernel/user times. Fan speed (-1.0) and CPU
// temperature (0.0) are not measured either.
#ifndef ZAR_PERFS_STATS_H
#define ZAR_PERFS_STATS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "CmDefines.h"
#include "CmTimerWrapperID.h"

class ACmThread;

namespace zar {

// One thread of the process in _tagZarCPUUsage.
struct _tagZarThreadCPUUsage {
  // "<thread id>-<handle>-<thread name>" in UTF-8, NUL-terminated, at most
  // 259 bytes. On Linux a thread's handle is its kernel thread id, so the
  // id appears twice ("4711-4711-decoder"); bytes of the kernel's name that
  // are not UTF-8 (or NUL) become '?'.
  char name[260];
  float cpuUsage;  // percent of the whole machine, 0-100
};

// The CPU figures; all zero until written.
struct _tagZarCPUUsage {
  float systemCpuUsage;        // percent, 0-100
  uint8_t reserved0[512];
  uint16_t processorCount;     // logical processors
  uint8_t reserved1[2];
  float processCpuUsage;       // percent of the whole machine, 0-100, <= systemCpuUsage
  float processorPerformance;  // percent, 0-200; not available on Linux (0)
  uint8_t reserved2[4];
  _tagZarThreadCPUUsage threads[20];  // busiest first
  uint16_t threadCount;        // valid entries of threads
  uint8_t reserved3[2];
  float gpuUsage;              // percent, 0-100; not available on Linux (0)
  uint8_t reserved4[20];
};

// The memory figures; all zero until written.
struct _tagZarMemoryUsage {
  float memoryUsage;  // percent of physical memory in use
  uint8_t reserved0[4];
  uint64_t usedKiB;   // physical memory in use (total - available)
  uint64_t totalKiB;  // physical memory
  uint8_t reserved1[8];
};

static_assert(sizeof(_tagZarThreadCPUUsage) == 264, "thread entry is 264 bytes");
static_assert(offsetof(_tagZarThreadCPUUsage, cpuUsage) == 260, "thread usage follows the name");
static_assert(sizeof(_tagZarCPUUsage) == 5840, "CPU record is 5840 bytes");
static_assert(offsetof(_tagZarCPUUsage, systemCpuUsage) == 0, "layout");
static_assert(offsetof(_tagZarCPUUsage, processorCount) == 516, "layout");
static_assert(offsetof(_tagZarCPUUsage, processCpuUsage) == 520, "layout");
static_assert(offsetof(_tagZarCPUUsage, processorPerformance) == 524, "layout");
static_assert(offsetof(_tagZarCPUUsage, threads) == 532, "layout");
static_assert(offsetof(_tagZarCPUUsage, threadCount) == 5812, "layout");
static_assert(offsetof(_tagZarCPUUsage, gpuUsage) == 5816, "layout");
static_assert(sizeof(_tagZarMemoryUsage) == 32, "memory record is 32 bytes");
static_assert(offsetof(_tagZarMemoryUsage, memoryUsage) == 0, "layout");
static_assert(offsetof(_tagZarMemoryUsage, usedKiB) == 8, "layout");
static_assert(offsetof(_tagZarMemoryUsage, totalKiB) == 16, "layout");

}  // namespace zar

// One time sample in 100-ns units. A system sample fills wallClock and the
// three system times; a process or thread sample fills wallClock, kernel,
// user and creation (since the machine booted). exit stays 0: Linux keeps no
// times of an ended thread. The wall clock is the library's timer_policy
// clock, which never jumps when the system clock is set.
struct ProcessSystemTimes {
  uint64_t wallClock = 0;
  uint64_t systemIdle = 0;
  uint64_t systemKernel = 0;  // includes systemIdle
  uint64_t systemUser = 0;
  uint64_t kernel = 0;
  uint64_t user = 0;
  uint64_t creation = 0;
  uint64_t exit = 0;
};

// Physical memory from the operating system: total = total bytes / 1024,
// used = (total - available) bytes / 1024, percent = used x 100 / total (0
// when total is 0). Returns 0, or -1 with all three outputs 0 when the
// status cannot be read.
CM_EXPORT int get_memory_usage(float& aPercent, unsigned long long& aUsedKiB, unsigned long long& aTotalKiB);

// The sampling statistics. instance() is the process's; an object of your
// own is independent of it (it has its own thread while started).
//
// Sampling: while started, the sampling thread ("zar-perfs", a plain
// operating-system thread, not a library thread) takes a sample, waits one
// second, takes a second sample and stores the figures computed from the
// two, again and again. Each stored sample counts towards readiness: the
// object is ready after two stored samples since the start that started
// the thread. Threads are sampled only with EnablFullPerfStatus(true); the
// 10 busiest are stored, busiest first (equal usage keeps the kernel's
// listing order). A thread that ends between the two samples of a round is
// left out of that round (Linux keeps no figures of an ended thread), and so
// is a thread id that the kernel reused for a new thread in between.
//
// Stopping: the stop that balances the last start marks the sampling thread
// stopped and waits for it to end, at most the stop time limit (SetInterval,
// 2000 ms by default), WITHOUT holding the object's lock. The sampling
// thread needs that lock to store a sample; a stop holding it would make a
// stop that lands mid-sample always wait the full limit. Instead a sample
// that completes after the stop is discarded, so the records keep the
// figures of the last sample stored before the stop, and nothing is stored
// once stop() has returned. A thread that outlives the limit ends on its own
// and frees what it used.
//
// Thread safety: every member may be called from any thread; all of them
// and the sampling thread's stores are serialised by one lock, which is
// never held while /proc is read or while waiting.
class CM_EXPORT CZarPerfsStats : public CCmTimerWrapperIDSink {
 public:
  static CZarPerfsStats& instance();

  CZarPerfsStats();
  ~CZarPerfsStats() override;
  CZarPerfsStats(const CZarPerfsStats&) = delete;
  CZarPerfsStats& operator=(const CZarPerfsStats&) = delete;

  // Counted start; the thread argument is not used. Traces (info, module
  // "MediaSession") "CZarPerfsStats::start, inst=<n> [cid=0]" and, when
  // already started, "perfs: it is already started. [cid=0]". When the
  // sampling thread cannot be started, inst stays 0 (error line).
  void start(ACmThread* aThread);
  // Counted stop; "CZarPerfsStats::stop, inst=<n> [cid=0]". A stop while
  // stopped changes nothing.
  void stop();
  // Starts the sampling thread and re-arms readiness; 0, or
  // ZAR_E_THREAD_UNAVAILABLE when no thread could be started. With the
  // thread already running it does nothing and returns 0.
  int init();
  // Stops the sampling thread (inst = 0) as described above.
  void uninit();
  bool is_stopped();

  // Blocks until two samples have been stored since the latest start, or
  // until statistics are stopped: a stop releases the waiters, and a call
  // while stopped returns at once (waiting for samples that never come
  // would hang the caller for ever).
  void WaitUntilReady();
  // The same with a limit; true when two samples have been stored since
  // the latest start.
  bool WaitUntilReady(std::chrono::milliseconds aTimeout);

  // Copy the latest figures: 0, or ZAR_E_UNEXPECTED (nothing copied) while
  // stopped. The figures survive a stop and show again after a new start.
  int get_cpu_statistics(zar::_tagZarCPUUsage& aUsage);
  int get_memory_statistics(zar::_tagZarMemoryUsage& aUsage);

  // The stop time limit in milliseconds (negative counts as 0).
  void SetInterval(int aMilliseconds);
  // Per-thread figures are collected only while this is set.
  void EnablFullPerfStatus(bool aEnable);

  float get_fan_speed() { return -1.0f; }
  double get_cpu_temperature() { return 0.0; }

  void OnTimer(CCmTimerWrapperID* aId) override;

  struct Record;

 private:
  std::shared_ptr<Record> m_pRecord;  // shared with the sampling thread
};

#endif  // ZAR_PERFS_STATS_H
