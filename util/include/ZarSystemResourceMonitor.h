// ZarSystemResourceMonitor.h - system CPU, process CPU and memory usage on
// demand, without a thread of its own.
//
// Every getter first refreshes: at most once per update interval (1000 ms by
// default, measured on the low_tick_policy clock, so mock time moves it) the
// monitor reads the machine's and the process's CPU times and the memory
// status; inside the interval it answers from the figures of the last
// refresh. CPU usage is computed between two refreshes, so the first refresh
// only keeps its samples and the CPU figures appear from the second on.
// A clock reading earlier than the last refresh (the 32-bit tick count
// wrapped) counts as a full interval.
//
// Use getZARSystemResourceMonitor() for the process's monitor; for the
// continuous, per-thread figures see CZarPerfsStats (ZarPerfsStats.h).
#ifndef ZAR_SYSTEM_RESOURCE_MONITOR_H
#define ZAR_SYSTEM_RESOURCE_MONITOR_H

#include <cstdint>

#include "CmDefines.h"
#include "CmMutex.h"
#include "ZarPerfsStats.h"

// The monitor's interface. Not deleted through: the process's monitor is a
// static object and releaseZARSystemResourceMonitor does nothing.
class CM_EXPORT IZARSystemResourceMonitor {
 public:
  // Logical processors.
  virtual unsigned GetCpuCount() = 0;
  // Refresh, then the system CPU percent (0-100); always true.
  virtual bool GetSystemCpuUsage(float& aUsage) = 0;
  virtual bool GetSystemCpuUsage(unsigned& aUsage) = 0;  // truncated
  // Refresh, then the process CPU percent of the whole machine; always true.
  virtual bool GetProcessCpuUsage(float& aUsage) = 0;
  virtual bool GetProcessCpuUsage(unsigned& aUsage) = 0;  // truncated
  // The update interval in milliseconds; 0 refreshes on every call.
  virtual void SetUpdateInterval(unsigned aMilliseconds) = 0;
  // Refresh, then memory percent, used and total physical memory in KiB and
  // the process's working set (resident memory) in KiB; always true.
  virtual bool GetMemoryUsage(float& aPercent, unsigned long long& aUsedKiB, unsigned long long& aTotalKiB,
                              unsigned long long& aProcessKiB) = 0;

 protected:
  ~IZARSystemResourceMonitor() = default;
};

// The monitor. The process's one is getZARSystemResourceMonitor(); an object
// of your own keeps its own samples and interval.
//
// Refresh failures: unreadable memory figures keep the previous ones and
// trace (error) "get system memory usage info failed!" or "get process
// memory usage info failed!"; unreadable CPU times keep the previous
// figures and samples and trace a warning. A memory percent that is not
// above 0 keeps the previous percent.
//
// Thread safety: any thread; refreshes and reads are serialised by one lock.
class CM_EXPORT ZARSystemResourceMonitor final : public IZARSystemResourceMonitor {
 public:
  ZARSystemResourceMonitor();
  ~ZARSystemResourceMonitor() = default;
  ZARSystemResourceMonitor(const ZARSystemResourceMonitor&) = delete;
  ZARSystemResourceMonitor& operator=(const ZARSystemResourceMonitor&) = delete;

  unsigned GetCpuCount() override;
  bool GetSystemCpuUsage(float& aUsage) override;
  bool GetSystemCpuUsage(unsigned& aUsage) override;
  bool GetProcessCpuUsage(float& aUsage) override;
  bool GetProcessCpuUsage(unsigned& aUsage) override;
  void SetUpdateInterval(unsigned aMilliseconds) override;
  bool GetMemoryUsage(float& aPercent, unsigned long long& aUsedKiB, unsigned long long& aTotalKiB,
                      unsigned long long& aProcessKiB) override;

  // Refreshes when the update interval has passed since the last refresh.
  void Refresh();

 private:
  void RefreshLocked();
  void RefreshSystemCpu();
  void RefreshProcessCpu();
  void RefreshMemory();

  CCmMutexThread m_Mutex;  // guards every field below
  ProcessSystemTimes m_SystemSample;   // wallClock 0: none yet
  ProcessSystemTimes m_ProcessSample;  // wallClock 0: none yet
  unsigned long long m_qwLastRefreshUs = 0;  // low_tick_policy time; 0 = never
  float m_fSystemCpu = 0.0f;
  float m_fProcessCpu = 0.0f;
  unsigned m_nCpuCount = 0;
  unsigned m_nUpdateIntervalMs = 1000;
  float m_fMemoryPercent = 0.0f;
  unsigned long long m_qwUsedKiB = 0;
  unsigned long long m_qwTotalKiB = 0;
  unsigned long long m_qwProcessKiB = 0;
};

// Refreshes the process's monitor and returns it.
CM_EXPORT IZARSystemResourceMonitor* getZARSystemResourceMonitor();
// Does nothing: the process's monitor lives as long as the process.
CM_EXPORT void releaseZARSystemResourceMonitor(IZARSystemResourceMonitor* aMonitor);

#endif  // ZAR_SYSTEM_RESOURCE_MONITOR_H
