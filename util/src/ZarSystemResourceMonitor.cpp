#include "ZarSystemResourceMonitor.h"

#include <algorithm>

#include "CmClock.h"
#include "CmTrace.h"
#include "ZarCpuUsage.h"
#include "platform/CmPlatformCpu.h"
#include "platform/CmPlatformProc.h"

namespace {

typedef CCmMutexGuardT<CCmMutexThread> Guard;

float ClampPercent(float aValue) { return std::min(std::max(aValue, 0.0f), 100.0f); }

}  // namespace

ZARSystemResourceMonitor::ZARSystemResourceMonitor() : m_nCpuCount(cm_platform::CpuOnlineCount()) {}

unsigned ZARSystemResourceMonitor::GetCpuCount() { return m_nCpuCount; }

bool ZARSystemResourceMonitor::GetSystemCpuUsage(float& aUsage) {
  Guard guard(m_Mutex);
  RefreshLocked();
  aUsage = m_fSystemCpu;
  return true;
}

bool ZARSystemResourceMonitor::GetSystemCpuUsage(unsigned& aUsage) {
  float usage = 0.0f;
  GetSystemCpuUsage(usage);
  aUsage = static_cast<unsigned>(ClampPercent(usage));
  return true;
}

bool ZARSystemResourceMonitor::GetProcessCpuUsage(float& aUsage) {
  Guard guard(m_Mutex);
  RefreshLocked();
  aUsage = m_fProcessCpu;
  return true;
}

bool ZARSystemResourceMonitor::GetProcessCpuUsage(unsigned& aUsage) {
  float usage = 0.0f;
  GetProcessCpuUsage(usage);
  aUsage = static_cast<unsigned>(ClampPercent(usage));
  return true;
}

void ZARSystemResourceMonitor::SetUpdateInterval(unsigned aMilliseconds) {
  Guard guard(m_Mutex);
  m_nUpdateIntervalMs = aMilliseconds;
}

bool ZARSystemResourceMonitor::GetMemoryUsage(float& aPercent, unsigned long long& aUsedKiB,
                                              unsigned long long& aTotalKiB, unsigned long long& aProcessKiB) {
  Guard guard(m_Mutex);
  RefreshLocked();
  aPercent = m_fMemoryPercent;
  aUsedKiB = m_qwUsedKiB;
  aTotalKiB = m_qwTotalKiB;
  aProcessKiB = m_qwProcessKiB;
  return true;
}

void ZARSystemResourceMonitor::Refresh() {
  Guard guard(m_Mutex);
  RefreshLocked();
}

void ZARSystemResourceMonitor::RefreshLocked() {
  const unsigned long long now = timer_fact<low_tick_policy>::now();
  // Unsigned: a clock that wrapped since the last refresh counts as late.
  if (m_qwLastRefreshUs != 0 && now - m_qwLastRefreshUs < m_nUpdateIntervalMs * 1000ULL) return;
  RefreshSystemCpu();
  RefreshProcessCpu();
  RefreshMemory();
  m_qwLastRefreshUs = now;
}

void ZARSystemResourceMonitor::RefreshSystemCpu() {
  ProcessSystemTimes sample;
  if (!ZarTakeSystemSample(sample)) {
    CM_WARNING_TRACE_THIS("ZARSystemResourceMonitor::Refresh, system CPU times cannot be read");
    return;
  }
  if (m_SystemSample.wallClock != 0) {
    const int64_t idle = static_cast<int64_t>(sample.systemIdle - m_SystemSample.systemIdle);
    const int64_t total = static_cast<int64_t>(sample.systemKernel - m_SystemSample.systemKernel) +
                          static_cast<int64_t>(sample.systemUser - m_SystemSample.systemUser);
    if (total <= 0) {
      m_fSystemCpu = 1.0f;
    } else {
      const int64_t clampedIdle = std::min(std::max<int64_t>(idle, 0), total);
      m_fSystemCpu = static_cast<float>(static_cast<double>(total - clampedIdle) * 100.0 / static_cast<double>(total));
    }
  }
  m_SystemSample = sample;
}

void ZARSystemResourceMonitor::RefreshProcessCpu() {
  ProcessSystemTimes sample;
  if (!ZarTakeProcessSample(sample)) {
    CM_WARNING_TRACE_THIS("ZARSystemResourceMonitor::Refresh, process CPU times cannot be read");
    return;
  }
  if (m_ProcessSample.wallClock != 0) {
    // The shared formula answers 2.0 where this monitor answers 1.0.
    const bool measurable = sample.wallClock != m_ProcessSample.wallClock && m_nCpuCount != 0;
    m_fProcessCpu = measurable ? ZarProcessCpuUsage(m_ProcessSample, sample, m_nCpuCount) : 1.0f;
  }
  m_ProcessSample = sample;
}

void ZARSystemResourceMonitor::RefreshMemory() {
  cm_platform::MemoryStatus status;
  if (cm_platform::ReadMemoryStatus(status)) {
    m_qwTotalKiB = status.totalBytes / 1024;
    m_qwUsedKiB = (status.totalBytes - status.availableBytes) / 1024;
    const float percent =
        m_qwTotalKiB == 0 ? 0.0f : static_cast<float>(static_cast<double>(m_qwUsedKiB) * 100.0 / static_cast<double>(m_qwTotalKiB));
    if (percent > 0.0f) m_fMemoryPercent = percent;
  } else {
    CM_ERROR_TRACE("get system memory usage info failed!");
  }
  uint64_t resident = 0;
  if (cm_platform::ReadProcessResidentBytes(resident)) {
    m_qwProcessKiB = resident / 1024;
  } else {
    CM_ERROR_TRACE("get process memory usage info failed!");
  }
}

IZARSystemResourceMonitor* getZARSystemResourceMonitor() {
  static ZARSystemResourceMonitor s_monitor;
  s_monitor.Refresh();
  return &s_monitor;
}

void releaseZARSystemResourceMonitor(IZARSystemResourceMonitor* /*aMonitor*/) {}
