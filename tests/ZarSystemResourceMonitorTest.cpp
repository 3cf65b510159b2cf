// The resource monitor: its refresh rule on a mock low tick over a fake /proc
// tree (cached figures inside the interval, exact figures after it, the
// fallbacks and failure lines), and the process's share on this machine.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "CmClock.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"
#include "ZarSystemResourceMonitor.h"
#include "platform/CmPlatformProc.h"

namespace {

constexpr unsigned long long kMs = 1000;  // mock time is in microseconds

struct MockTick {
  explicit MockTick(unsigned long long aUs) { set_mock_time(aUs); }
  ~MockTick() { set_mock_time(kMockTimeDisabled); }
  void Set(unsigned long long aUs) { set_mock_time(aUs); }
};

struct FakeProc {
  ScopedTempDir dir;
  FakeProc() {
    std::filesystem::create_directories(dir.File("self/task"));
    dir.Write("self/stat", "100 (host) S 1 1 1 0 -1 0 0 0 0 0 5 5 0 0 20 0 1 0 50 0 0\n");
    dir.Write("self/statm", "765 439 411 5 0 123 0\n");
    cm_platform::SetProcRootForTesting(dir.Path().c_str());
  }
  ~FakeProc() { cm_platform::SetProcRootForTesting(nullptr); }
  // /proc/stat with the given ticks of user time and idle time.
  void Cpu(unsigned aUser, unsigned aIdle) const {
    dir.Write("stat", "cpu " + std::to_string(aUser) + " 0 0 " + std::to_string(aIdle) + " 0 0 0 0 0 0\n");
  }
  void Memory(unsigned long long aTotalKiB, unsigned long long aAvailableKiB) const {
    dir.Write("meminfo", "MemTotal: " + std::to_string(aTotalKiB) + " kB\nMemAvailable: " +
                             std::to_string(aAvailableKiB) + " kB\n");
  }
};

struct Figures {
  float system = -1, process = -1, memory = -1;
  unsigned long long used = 0, total = 0, resident = 0;
};

Figures Read(ZARSystemResourceMonitor& aMonitor) {
  Figures f;
  aMonitor.GetSystemCpuUsage(f.system);
  aMonitor.GetProcessCpuUsage(f.process);
  aMonitor.GetMemoryUsage(f.memory, f.used, f.total, f.resident);
  return f;
}

uint64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

TEST(ZARSystemResourceMonitor, CachedInsideTheIntervalRefreshedAfterIt) {
  FakeProc proc;
  proc.Cpu(0, 0);
  proc.Memory(16777216, 4194304);
  MockTick tick(50000 * kMs);
  ZARSystemResourceMonitor monitor;

  Figures f = Read(monitor);  // the first refresh only keeps its samples
  EXPECT_EQ(f.system, 0.0f);
  EXPECT_EQ(f.process, 0.0f);
  EXPECT_FLOAT_EQ(f.memory, 75.0f);
  EXPECT_EQ(f.used, 12582912u);
  EXPECT_EQ(f.total, 16777216u);
  EXPECT_EQ(f.resident * 1024 % 439, 0u);

  proc.Cpu(409, 591);
  proc.Memory(16777216, 8388608);
  tick.Set(50999 * kMs);
  f = Read(monitor);
  EXPECT_EQ(f.system, 0.0f) << "inside the interval";
  EXPECT_FLOAT_EQ(f.memory, 75.0f) << "inside the interval";

  tick.Set(51000 * kMs);
  f = Read(monitor);
  EXPECT_FLOAT_EQ(f.system, 40.9f);
  unsigned whole = 0;
  EXPECT_TRUE(monitor.GetSystemCpuUsage(whole));
  EXPECT_EQ(whole, 40u);
  EXPECT_FLOAT_EQ(f.memory, 50.0f);
  EXPECT_EQ(f.used, 8388608u);
  EXPECT_EQ(f.process, 0.0f) << "the fake process used no time";

  // Interval 0: every call refreshes, even with the clock standing still.
  monitor.SetUpdateInterval(0);
  proc.Cpu(409, 1591);
  EXPECT_TRUE(monitor.GetSystemCpuUsage(f.system));
  EXPECT_EQ(f.system, 0.0f);
  EXPECT_TRUE(monitor.GetSystemCpuUsage(f.system));
  EXPECT_EQ(f.system, 1.0f) << "no time passed between the samples";

  // A clock earlier than the last refresh (the tick count wrapped) is late.
  monitor.SetUpdateInterval(1000);
  proc.Memory(16777216, 12582912);
  tick.Set(10 * kMs);
  f = Read(monitor);
  EXPECT_FLOAT_EQ(f.memory, 25.0f);
}

TEST(ZARSystemResourceMonitor, UnreadableFiguresKeepTheirValuesAndSaySo) {
  FakeProc proc;
  proc.Cpu(0, 0);
  proc.Memory(1000, 250);
  MockTick tick(50000 * kMs);
  ZARSystemResourceMonitor monitor;
  Read(monitor);
  proc.Cpu(30, 70);
  tick.Set(51000 * kMs);
  const Figures before = Read(monitor);
  ASSERT_FLOAT_EQ(before.system, 30.0f);
  ASSERT_FLOAT_EQ(before.memory, 75.0f);

  TraceCapture trace;
  for (const char* file : {"stat", "self/stat", "meminfo", "self/statm"}) std::filesystem::remove(proc.dir.File(file));
  tick.Set(52000 * kMs);
  Figures f = Read(monitor);
  EXPECT_FLOAT_EQ(f.system, 30.0f);
  EXPECT_EQ(f.process, before.process);
  EXPECT_FLOAT_EQ(f.memory, 75.0f);
  EXPECT_EQ(f.total, 1000u);
  EXPECT_EQ(f.resident, before.resident);
  EXPECT_EQ(trace.Count("get system memory usage info failed!", CM_TRACE_LEVEL_ERROR), 1u);
  EXPECT_EQ(trace.Count("get process memory usage info failed!", CM_TRACE_LEVEL_ERROR), 1u);
  EXPECT_EQ(trace.Count("ZARSystemResourceMonitor::Refresh, system CPU times cannot be read", 1), 1u);
  EXPECT_EQ(trace.Count("ZARSystemResourceMonitor::Refresh, process CPU times cannot be read", 1), 1u);

  // Readable again: CPU usage since the last good sample; a memory percent
  // that is not above 0 keeps the previous one.
  proc.Cpu(40, 160);
  proc.Memory(1000, 1000);
  proc.dir.Write("self/statm", "765 439 411 5 0 123 0\n");
  tick.Set(53000 * kMs);
  f = Read(monitor);
  EXPECT_FLOAT_EQ(f.system, 10.0f);
  EXPECT_FLOAT_EQ(f.memory, 75.0f);
  EXPECT_EQ(f.used, 0u);
  proc.Memory(1000, 500);
  tick.Set(54000 * kMs);
  EXPECT_FLOAT_EQ(Read(monitor).memory, 50.0f);
}

TEST(ZARSystemResourceMonitor, ProcessShareOfThisMachine) {
  ZARSystemResourceMonitor monitor;
  monitor.SetUpdateInterval(0);
  EXPECT_EQ(monitor.GetCpuCount(), static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
  float share = -1.0f;
  monitor.GetProcessCpuUsage(share);
  const uint64_t cpuStart = ThreadCpuUs();
  const auto wallStart = std::chrono::steady_clock::now();
  const auto deadline = wallStart + std::chrono::seconds(30);
  volatile uint64_t sink = 0;
  while (ThreadCpuUs() - cpuStart < 300000 && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i);
  }
  monitor.GetProcessCpuUsage(share);
  const double wallUs =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - wallStart).count();
  const double expected = (ThreadCpuUs() - cpuStart) * 100.0 / (monitor.GetCpuCount() * wallUs);
  // This thread's share is a lower bound of the process's (ticks of 10 ms).
  EXPECT_GE(share, expected * 0.8 - 5.0);
  EXPECT_LE(share, 100.0f);
  unsigned whole = 0;
  monitor.GetProcessCpuUsage(whole);
  EXPECT_LE(whole, 100u);
}

TEST(ZARSystemResourceMonitor, TheProcessMonitor) {
  IZARSystemResourceMonitor* monitor = getZARSystemResourceMonitor();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(getZARSystemResourceMonitor(), monitor);
  releaseZARSystemResourceMonitor(monitor);
  float percent = 0;
  unsigned long long used = 0, total = 0, resident = 0;
  EXPECT_TRUE(monitor->GetMemoryUsage(percent, used, total, resident));
  EXPECT_GT(total, 0u);
  EXPECT_GT(resident, 0u);
  EXPECT_LT(resident, total);
  EXPECT_GT(percent, 0.0f);
}
