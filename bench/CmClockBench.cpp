// The clocks beside what they stand for:
//  - low_tick_policy::now() (the low-tick thread running) against a
//    relaxed atomic load - the one memory read it aims to cost - and
//    clock_gettime(CLOCK_MONOTONIC_COARSE), the kernel's cheap clock;
//  - timer_policy::now() against clock_gettime(CLOCK_REALTIME);
//  - tick_policy::now_us() against clock_gettime(CLOCK_MONOTONIC).
// Each reads its clock in a loop, checks that the readings never go back
// and are plausible, and reports items per second (one item = one read).
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>

#include "CmClock.h"

namespace {

template <class Read>
void ReadClock(benchmark::State& state, Read aRead) {
  unsigned long long previous = aRead();
  long backwards = 0;
  for (auto _ : state) {
    const unsigned long long now = aRead();
    backwards += now < previous;
    previous = now;
    benchmark::DoNotOptimize(now);
  }
  if (backwards || previous == 0 || previous == kMockTimeDisabled) state.SkipWithError("clock went back or is unset");
  state.SetItemsProcessed(static_cast<long>(state.iterations()));
}

unsigned long long ClockGettimeUs(clockid_t aClock) {
  timespec ts;
  clock_gettime(aClock, &ts);
  return static_cast<unsigned long long>(ts.tv_sec) * 1000000ULL + static_cast<unsigned long long>(ts.tv_nsec) / 1000;
}

void BM_LowTickPolicyNow(benchmark::State& state) {
  startLowTick();
  if (g_qwCmLowTickUs.load() == kMockTimeDisabled) state.SkipWithError("the low-tick generator did not start");
  ReadClock(state, [] { return low_tick_policy::now(); });
  stopLowTick();
}

std::atomic<unsigned long long> g_qwWord{1};

void BM_RelaxedAtomicLoad(benchmark::State& state) {
  ReadClock(state, [] { return g_qwWord.load(std::memory_order_relaxed); });
}

void BM_ClockGettimeMonotonicCoarse(benchmark::State& state) {
  ReadClock(state, [] { return ClockGettimeUs(CLOCK_MONOTONIC_COARSE); });
}

void BM_TimerPolicyNow(benchmark::State& state) {
  ReadClock(state, [] { return timer_policy::now(); });
}

void BM_ClockGettimeRealtime(benchmark::State& state) {
  ReadClock(state, [] { return ClockGettimeUs(CLOCK_REALTIME); });
}

void BM_TickPolicyNowUs(benchmark::State& state) {
  ReadClock(state, [] { return tick_policy::now_us(); });
}

void BM_ClockGettimeMonotonic(benchmark::State& state) {
  ReadClock(state, [] { return ClockGettimeUs(CLOCK_MONOTONIC); });
}

BENCHMARK(BM_LowTickPolicyNow);
BENCHMARK(BM_RelaxedAtomicLoad);
BENCHMARK(BM_ClockGettimeMonotonicCoarse);
BENCHMARK(BM_TimerPolicyNow);
BENCHMARK(BM_ClockGettimeRealtime);
BENCHMARK(BM_TickPolicyNowUs);
BENCHMARK(BM_ClockGettimeMonotonic);

}  // namespace

BENCHMARK_MAIN();
