// Measurement and the static performance score: gauges watching a short real
// workload, the machine's and the process's load with a thread burning CPU,
// then the host's facts and its score for every level.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CmGauge.h"
#include "CmStaticPerformanceScore.h"
#include "CmSystemInfo.h"
#include "CmThread.h"
#include "Demo.h"
#include "ZarPerfsStats.h"
#include "ZarSystemResourceMonitor.h"

namespace {

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

enum { kBusy = 1, kIdle = 2 };

// A few milliseconds of arithmetic over a buffer.
uint32_t Work(std::vector<uint32_t>& aBuf) {
  uint32_t h = 2166136261u;
  for (int round = 0; round < 600; ++round) {
    for (uint32_t& v : aBuf) h = (h ^ (v += h)) * 16777619u;
  }
  return h;
}

int DemoGauges() {
  int failures = 0;
  DemoTitle("Gauges over a 300 ms workload (busy work, then 1 ms naps)");
  time_util::Stopwatch total;
  time_util::DurationGauge tenth(time_util::duration(100));
  time_util::RateCounter rate(time_util::duration(50));
  time_util::DutyCycleGauge duty(time_util::duration(60000));
  std::vector<uint32_t> buf(4096, 1);
  uint32_t sink = 0, reports = 0, reported = 0;
  while (total.Read() < time_util::duration(300)) {
    duty.SetState(kBusy);
    sink ^= Work(buf);
    duty.SetState(kIdle);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    rate.IncOne([&](uint32_t aIncrement, uint32_t aCount) {
      ++reports;
      reported += aIncrement;
      if (reports <= 3) printf("  rate report: %u rounds in the last 50 ms (%u so far)\n", aIncrement, aCount);
    });
    if (tenth.DurationElapsed())
      printf("  DurationGauge: another 100 ms at %lld ms\n", (long long)total.Read().count());
  }
  duty.Conclude();
  const long long elapsed = total.Read().count();
  time_util::duration busy(0), idle(0);
  int busyEntries = 0;
  duty.GetStateInfo(kBusy, &busy, &busyEntries);
  duty.GetStateInfo(kIdle, &idle, nullptr);
  double ratio = 0;
  const int dominant = duty.GetDominantState(&ratio, nullptr);
  printf("  stopwatch %lld ms; busy %lld ms in %d entries, idle %lld ms; dominant state %s (%.0f%%)\n", elapsed,
         (long long)busy.count(), busyEntries, (long long)idle.count(), dominant == kBusy ? "busy" : "idle",
         ratio * 100.0);
  failures += Check(elapsed >= 300, "stopwatch ran at least 300 ms");
  // Each state period counts in whole milliseconds, so the sum stays below the stopwatch.
  failures += Check(busy.count() + idle.count() <= elapsed && busyEntries > 0, "duty cycle accounts within it");
  failures += Check(reports >= 2 && reported + rate.GetIncrement() > 0, "rate counter reported per period");
  failures += Check(sink != 1, "workload produced a value");
  return failures;
}

int DemoLoad() {
  int failures = 0;
  DemoTitle("Load of this machine and process, one thread burning CPU");
  std::atomic<bool> stop{false};
  std::thread burner([&] {
    zar_set_thread_name("demo-burner");
    std::vector<uint32_t> buf(4096, 1);
    uint32_t sink = 0;
    while (!stop.load(std::memory_order_relaxed)) sink ^= Work(buf);
    printf("  burner done (%u)\n", sink & 1u);
  });
  CZarPerfsStats& perfs = CZarPerfsStats::instance();
  perfs.EnablFullPerfStatus(true);
  perfs.start(nullptr);
  const bool ready = perfs.WaitUntilReady(std::chrono::seconds(10));
  zar::_tagZarCPUUsage cpu{};
  zar::_tagZarMemoryUsage memory{};
  const bool got = perfs.get_cpu_statistics(cpu) == 0 && perfs.get_memory_statistics(memory) == 0;
  perfs.stop();
  stop = true;
  burner.join();
  printf("  %u processors: system %.1f%%, this process %.1f%%; memory %.1f%% (%llu of %llu KiB)\n",
         cpu.processorCount, cpu.systemCpuUsage, cpu.processCpuUsage, memory.memoryUsage,
         (unsigned long long)memory.usedKiB, (unsigned long long)memory.totalKiB);
  bool burnerFirst = false;
  for (unsigned i = 0; i < cpu.threadCount && i < 3; ++i) {
    printf("  thread %-30s %5.1f%%\n", cpu.threads[i].name, cpu.threads[i].cpuUsage);
    burnerFirst = burnerFirst || (i == 0 && std::string(cpu.threads[i].name).find("-demo-burner") != std::string::npos);
  }
  failures += Check(ready && got, "two samples taken within 10 s");
  failures += Check(burnerFirst && cpu.threads[0].cpuUsage > 0.0f, "the burning thread is the busiest");
  failures += Check(cpu.processCpuUsage <= cpu.systemCpuUsage && memory.totalKiB > 0, "figures are consistent");

  IZARSystemResourceMonitor* monitor = getZARSystemResourceMonitor();
  float percent = 0;
  unsigned long long used = 0, total = 0, resident = 0;
  monitor->GetMemoryUsage(percent, used, total, resident);
  printf("  monitor: %u processors, memory %.1f%%, this process's working set %llu KiB\n", monitor->GetCpuCount(),
         percent, resident);
  failures += Check(total == memory.totalKiB && resident > 0, "the monitor sees the same memory");
  releaseZARSystemResourceMonitor(monitor);
  return failures;
}

int DemoScore() {
  int failures = 0;
  DemoTitle("Static performance score of this host");
  char brand[1024] = {};
  unsigned mhz = 0, physical = 0, perCore = 0;
  uint64_t memMB = 0;
  get_cpu_brand(brand, sizeof(brand));
  const int freqRc = get_cpu_frequency(mhz);
  get_cpu_core(physical, perCore);
  get_memory_size(memMB);
  printf("  host facts: brand \"%s\", %u MHz%s, %u physical cores x %u, %llu MB\n", brand, mhz,
         freqRc == 0 ? "" : " (no source)", physical, perCore, (unsigned long long)memMB);

  CmStaticPerformanceScore* sps = CmStaticPerformanceScore::Instance(false);
  ZarCurrentOS os = ZarCurrentOS_Unknown;
  std::string name;
  failures += Check(sps->GetOSType(os, name) == 0 && name == "linux", "the operating system is \"linux\"");
  // Example parameters: no generation offsets, step 1, base 0, bonus 2.
  failures += Check(sps->ConfigureParameters(ZarCurrentOS_Linux, std::vector<int>(7, 0), {1, 0, 2}) == 0,
                    "parameters configured for linux");
  sps->Print();
  bool inBands = true;
  for (int level = 0; level <= 5; ++level) {
    int score = 0, minValue = 0, maxValue = 0;
    const zar::ZarPerformanceLevel l = static_cast<zar::ZarPerformanceLevel>(level);
    sps->ResetScore();
    const int rc = sps->GetStaticPerformanceScore(score, l);
    sps->GetLimitScore(minValue, maxValue, l);
    printf("  level %d: score %d in [%d, %d)\n", level, score, minValue, maxValue);
    inBands = inBands && rc == 0 && score >= minValue && score < maxValue;
  }
  failures += Check(inBands, "every level's score lies in its band");

  DemoTitle("Static performance score of a described device");
  CmStaticPerformanceScore described;
  described.OverrideAllSystemOption("13th Gen Intel(R) Core(TM) i9-13900K", 3000, 24, 1, 32768, 0.0f, ZarCurrentOS_Win,
                                    0, 0);
  described.ConfigureParameters(ZarCurrentOS_Win, std::vector<int>(7, 0), {1, 0, 2});
  int score = 0;
  described.GetStaticPerformanceScore(score, zar::ZarPerformanceLevel_5);
  printf("  i9-13900K, 24 cores, 32 GB on win, level 5: %d (band [110, 120))\n", score);
  failures += Check(score == 110, "(13-22+9)*3 + 110 = 110");
  CmStaticPerformanceScore::DestroyInstance();
  return failures;
}

}  // namespace

int DemoMeasure() { return DemoGauges() + DemoLoad() + DemoScore(); }
