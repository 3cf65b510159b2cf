// The ordered-list timer queue beside ACE's ACE_Timer_List, doing the same
// work at 1,000 and 10,000 timers:
//  - ScheduleCancel: schedule every timer (deadlines in shuffled order),
//    then cancel every one (in another shuffled order);
//  - ScheduleExpire: schedule every timer as a one-shot, then fire them all
//    with one expiry pass;
//  - PeriodicExpire: every timer periodic with the same 10 ms period, their
//    phases 1 us apart; each iteration moves time one period on and fires
//    (and re-arms) all.
// Time is fixed by the caller on both sides (our queues read an injected
// clock), so neither pays for reading the system clock. Callbacks are
// counted and checked.
#include <benchmark/benchmark.h>

#include <ace/Event_Handler.h>
#include <ace/Init_ACE.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Timer_List.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "CmTimerQueue.h"
#include "ManualClock.h"

namespace {

const CCmTimeValue kStart(1700000000L, 0L);

std::vector<long> Shuffled(long aCount, unsigned aSeed) {
  std::vector<long> v(static_cast<size_t>(aCount));
  std::iota(v.begin(), v.end(), 1);
  std::shuffle(v.begin(), v.end(), std::mt19937(aSeed));
  return v;
}

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

class CountingHandler : public ICmTimerHandler {
 public:
  void OnTimeout(const CCmTimeValue&, void* aArg) override { ++*static_cast<long*>(aArg); }
};

class AceCountingHandler : public ACE_Event_Handler {
 public:
  int handle_timeout(const ACE_Time_Value&, const void* aArg) override {
    ++*static_cast<long*>(const_cast<void*>(aArg));
    return 0;
  }
};

ACE_Time_Value AceMs(long aMs) { return ACE_Time_Value(aMs / 1000, (aMs % 1000) * 1000); }

struct FrozenClock {
  FrozenClock() { Set(kStart); }
  void Set(const CCmTimeValue& aNow) {
    now = aNow;
    clock.SetWall(aNow);
  }
  ManualClock clock;
  CCmTimeValue now;
};

void BM_ScheduleCancel_CCmTimerQueueOrderedList(benchmark::State& state) {
  const long n = state.range(0);
  const std::vector<long> deadlines = Shuffled(n, 1), cancels = Shuffled(n, 2);
  std::vector<CountingHandler> handlers(static_cast<size_t>(n));
  FrozenClock clock;
  CCmTimerQueueOrderedList queue;
  long fired = 0, failures = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) failures += queue.ScheduleTimer(&handlers[i], &fired, Ms(deadlines[i]), 1) != 0;
    for (long i = 0; i < n; ++i) failures += queue.CancelTimer(&handlers[cancels[i] - 1]) != 0;
  }
  if (failures || fired || queue.GetEarliestTime() != CCmTimeValue::get_tvMax()) state.SkipWithError("wrong work");
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

void BM_ScheduleCancel_AceTimerList(benchmark::State& state) {
  const long n = state.range(0);
  const std::vector<long> deadlines = Shuffled(n, 1), cancels = Shuffled(n, 2);
  std::vector<AceCountingHandler> handlers(static_cast<size_t>(n));
  std::vector<long> ids(static_cast<size_t>(n));
  const ACE_Time_Value now(kStart.GetSec(), 0);
  ACE_Timer_List list;
  long fired = 0, failures = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) failures += (ids[i] = list.schedule(&handlers[i], &fired, now + AceMs(deadlines[i]))) == -1;
    for (long i = 0; i < n; ++i) failures += list.cancel(ids[cancels[i] - 1], nullptr, 1) != 1;
  }
  if (failures || fired || !list.is_empty()) state.SkipWithError("wrong work");
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

void BM_ScheduleExpire_CCmTimerQueueOrderedList(benchmark::State& state) {
  const long n = state.range(0);
  const std::vector<long> deadlines = Shuffled(n, 3);
  std::vector<CountingHandler> handlers(static_cast<size_t>(n));
  FrozenClock clock;
  CCmTimerQueueOrderedList queue;
  long fired = 0, expected = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) queue.ScheduleTimer(&handlers[i], &fired, Ms(deadlines[i]), 1);
    clock.Set(clock.now + Ms(n + 1));
    queue.CheckExpire();
    expected += n;
  }
  if (fired != expected) state.SkipWithError("lost callbacks");
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

void BM_ScheduleExpire_AceTimerList(benchmark::State& state) {
  const long n = state.range(0);
  const std::vector<long> deadlines = Shuffled(n, 3);
  std::vector<AceCountingHandler> handlers(static_cast<size_t>(n));
  ACE_Time_Value now(kStart.GetSec(), 0);
  ACE_Timer_List list;
  long fired = 0, expected = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) list.schedule(&handlers[i], &fired, now + AceMs(deadlines[i]));
    now += AceMs(n + 1);
    list.expire(now);
    expected += n;
  }
  if (fired != expected) state.SkipWithError("lost callbacks");
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

void BM_PeriodicExpire_CCmTimerQueueOrderedList(benchmark::State& state) {
  const long n = state.range(0);
  std::vector<CountingHandler> handlers(static_cast<size_t>(n));
  FrozenClock clock;
  CCmTimerQueueOrderedList queue;
  long fired = 0;
  for (long i = 0; i < n; ++i) {
    clock.Set(kStart + CCmTimeValue(0L, i));
    queue.ScheduleTimer(&handlers[i], &fired, Ms(10), 0);
  }
  clock.Set(kStart + CCmTimeValue(0L, n));  // each step below then fires every timer once
  for (auto _ : state) {
    clock.Set(clock.now + Ms(10));
    queue.CheckExpire();
  }
  if (fired != n * static_cast<long>(state.iterations())) state.SkipWithError("lost callbacks");
  state.SetItemsProcessed(fired);
}

void BM_PeriodicExpire_AceTimerList(benchmark::State& state) {
  const long n = state.range(0);
  std::vector<AceCountingHandler> handlers(static_cast<size_t>(n));
  ACE_Time_Value now(kStart.GetSec(), 0);
  ACE_Timer_List list;
  long fired = 0;
  for (long i = 0; i < n; ++i) list.schedule(&handlers[i], &fired, now + AceMs(10) + ACE_Time_Value(0, i), AceMs(10));
  now += ACE_Time_Value(0, n);
  for (auto _ : state) {
    now += AceMs(10);
    list.expire(now);
  }
  if (fired != n * static_cast<long>(state.iterations())) state.SkipWithError("lost callbacks");
  state.SetItemsProcessed(fired);
}

BENCHMARK(BM_ScheduleCancel_CCmTimerQueueOrderedList)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ScheduleCancel_AceTimerList)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ScheduleExpire_CCmTimerQueueOrderedList)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ScheduleExpire_AceTimerList)->Arg(1000)->Arg(10000);
BENCHMARK(BM_PeriodicExpire_CCmTimerQueueOrderedList)->Arg(1000)->Arg(10000);
BENCHMARK(BM_PeriodicExpire_AceTimerList)->Arg(1000)->Arg(10000);

}  // namespace

int main(int argc, char** argv) {
  ACE::init();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ACE::fini();
  return 0;
}
