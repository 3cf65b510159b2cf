// The hot gauge updates beside the same bookkeeping written directly on
// std::chrono::steady_clock (the peer a module would otherwise hand-roll):
//  - DutyCycleGauge::SetState switching between two states (lock, close the
//    old state, enter the new one) against a mutex + std::map + steady_clock;
//  - RateCounter::IncOne with a report callback against a counter and a
//    steady_clock period check;
//  - Stopwatch::Read against steady_clock::now() - start in milliseconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "CmGauge.h"

namespace {

using Steady = std::chrono::steady_clock;

// ---- DutyCycleGauge

void BM_DutyCycleGauge_SetState(benchmark::State& state) {
  time_util::DutyCycleGauge gauge(time_util::duration(1000));
  int s = 0;
  for (auto _ : state) {
    gauge.SetState(s);
    s ^= 1;
  }
  gauge.Conclude();
  int entries0 = 0, entries1 = 0;
  gauge.GetStateInfo(0, nullptr, &entries0);
  gauge.GetStateInfo(1, nullptr, &entries1);
  if (entries0 + entries1 != static_cast<int>(state.iterations())) state.SkipWithError("lost state entries");
}
BENCHMARK(BM_DutyCycleGauge_SetState);

// The same accounting written directly.
class StdDutyCycle {
 public:
  void SetState(int aState) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Steady::time_point now = Steady::now();
    if (m_bFirst) {
      m_bFirst = false;
    } else {
      if (aState == m_nState) return;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_Start).count();
      m_States[m_nState].duration += static_cast<uint64_t>(ms);
      m_llTotal += static_cast<uint64_t>(ms);
    }
    ++m_States[aState].entries;
    m_nState = aState;
    m_Start = now;
  }
  int Entries(int aState) { return m_States[aState].entries; }

 private:
  struct Info {
    uint64_t duration = 0;
    int entries = 0;
  };
  std::mutex m_Mutex;
  std::map<int, Info> m_States;
  uint64_t m_llTotal = 0;
  int m_nState = 0;
  bool m_bFirst = true;
  Steady::time_point m_Start;
};

void BM_StdChrono_DutyCycle_SetState(benchmark::State& state) {
  StdDutyCycle gauge;
  int s = 0;
  for (auto _ : state) {
    gauge.SetState(s);
    s ^= 1;
  }
  if (gauge.Entries(0) + gauge.Entries(1) != static_cast<int>(state.iterations())) {
    state.SkipWithError("lost state entries");
  }
}
BENCHMARK(BM_StdChrono_DutyCycle_SetState);

// ---- RateCounter

void BM_RateCounter_IncOne(benchmark::State& state) {
  time_util::RateCounter counter(time_util::duration(1));
  uint64_t reported = 0;
  const time_util::RateCounter::Callback onReport = [&reported](uint32_t aIncrement, uint32_t) {
    reported += aIncrement;
  };
  for (auto _ : state) counter.IncOne(onReport);
  if (reported + counter.GetIncrement() != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("lost events");
  }
}
BENCHMARK(BM_RateCounter_IncOne);

class StdRateCounter {
 public:
  explicit StdRateCounter(std::chrono::milliseconds aPeriod) : m_Period(aPeriod), m_Start(Steady::now()) {}
  void IncOne(const std::function<void(uint32_t, uint32_t)>& aCallback) {
    ++m_nCount;
    const Steady::time_point now = Steady::now();
    if (now - m_Start < m_Period) return;
    m_Start = now;
    const uint32_t increment = m_nCount - m_nReported;
    m_nReported = m_nCount;
    if (aCallback) aCallback(increment, m_nCount);
  }
  uint32_t GetIncrement() const { return m_nCount - m_nReported; }

 private:
  std::chrono::milliseconds m_Period;
  Steady::time_point m_Start;
  uint32_t m_nCount = 0;
  uint32_t m_nReported = 0;
};

void BM_StdChrono_RateCounter_IncOne(benchmark::State& state) {
  StdRateCounter counter(std::chrono::milliseconds(1));
  uint64_t reported = 0;
  const std::function<void(uint32_t, uint32_t)> onReport = [&reported](uint32_t aIncrement, uint32_t) {
    reported += aIncrement;
  };
  for (auto _ : state) counter.IncOne(onReport);
  if (reported + counter.GetIncrement() != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("lost events");
  }
}
BENCHMARK(BM_StdChrono_RateCounter_IncOne);

// ---- Stopwatch

void BM_Stopwatch_Read(benchmark::State& state) {
  time_util::Stopwatch sw;
  int64_t sum = 0;
  for (auto _ : state) sum += sw.Read().count();
  benchmark::DoNotOptimize(sum);
  if (sum < 0) state.SkipWithError("negative reading");
}
BENCHMARK(BM_Stopwatch_Read);

void BM_StdChrono_Stopwatch_Read(benchmark::State& state) {
  const Steady::time_point start = Steady::now();
  int64_t sum = 0;
  for (auto _ : state) sum += std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
  benchmark::DoNotOptimize(sum);
  if (sum < 0) state.SkipWithError("negative reading");
}
BENCHMARK(BM_StdChrono_Stopwatch_Read);

}  // namespace

BENCHMARK_MAIN();
