// The min-heap and the wheel timer queues beside ACE's ACE_Timer_Heap and
// ACE_Timer_Wheel and libuv's timers, doing the same work at 10,000 and
// 100,000 timers with random deadlines (1 ms .. 60 s, so the wheel holds
// near and far timers): schedule all, cancel a random half, expire the rest
// in one pass. Items are operations (n schedules + n/2 cancels + n/2
// firings), so ns per operation = 1e9 / items_per_second.
//
// Time is fixed by the caller everywhere: our queues read an injected
// clock, ACE takes the time as an argument, and libuv's loop time is set
// back before scheduling so that one uv_run(UV_RUN_NOWAIT) finds every
// remaining timer due (no I/O waits). Callbacks are counted and checked.
#include <benchmark/benchmark.h>

#include <ace/Event_Handler.h>
#include <ace/Init_ACE.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Timer_Heap.h>
#include <ace/Timer_Wheel.h>
#include <uv.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "CmTimerQueue.h"
#include "ManualClock.h"

namespace {

const CCmTimeValue kStart(1700000000L, 0L);
constexpr long kMaxDeadlineMs = 60000;

struct Workload {
  std::vector<long> deadlineMs;  // per timer
  std::vector<long> cancelled;   // indices of the half that is cancelled, shuffled
  explicit Workload(long aCount) : deadlineMs(static_cast<size_t>(aCount)) {
    std::mt19937 rng(static_cast<unsigned>(aCount));
    for (long& d : deadlineMs) d = 1 + static_cast<long>(rng() % kMaxDeadlineMs);
    std::vector<long> all(static_cast<size_t>(aCount));
    for (long i = 0; i < aCount; ++i) all[static_cast<size_t>(i)] = i;
    std::shuffle(all.begin(), all.end(), rng);
    cancelled.assign(all.begin(), all.begin() + aCount / 2);
  }
};

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

class CountingHandler : public ICmTimerHandler {
 public:
  void OnTimeout(const CCmTimeValue&, void* aArg) override { ++*static_cast<long*>(aArg); }
};

template <class Queue>
void BM_Kinds_Ours(benchmark::State& state) {
  const long n = state.range(0);
  const Workload work(n);
  std::vector<CountingHandler> handlers(static_cast<size_t>(n));
  ManualClock clock;
  clock.SetWall(kStart);
  Queue queue;
  long fired = 0, failures = 0, expected = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) failures += queue.ScheduleTimer(&handlers[i], &fired, Ms(work.deadlineMs[i]), 1) != 0;
    for (long i : work.cancelled) failures += queue.CancelTimer(&handlers[i]) != 0;
    clock.AdvanceMs(kMaxDeadlineMs + 1);
    queue.CheckExpire();
    expected += n - n / 2;
  }
  if (failures || fired != expected || queue.GetEarliestTime() != CCmTimeValue::get_tvMax()) {
    state.SkipWithError("wrong work");
  }
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

class AceCountingHandler : public ACE_Event_Handler {
 public:
  int handle_timeout(const ACE_Time_Value&, const void* aArg) override {
    ++*static_cast<long*>(const_cast<void*>(aArg));
    return 0;
  }
};

ACE_Time_Value AceMs(long aMs) { return ACE_Time_Value(aMs / 1000, (aMs % 1000) * 1000); }

template <class Queue>
void RunAce(benchmark::State& state, Queue& aQueue) {
  const long n = state.range(0);
  const Workload work(n);
  std::vector<AceCountingHandler> handlers(static_cast<size_t>(n));
  std::vector<long> ids(static_cast<size_t>(n));
  ACE_Time_Value now(kStart.GetSec(), 0);
  long fired = 0, failures = 0, expected = 0;
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) {
      failures += (ids[i] = aQueue.schedule(&handlers[i], &fired, now + AceMs(work.deadlineMs[i]))) == -1;
    }
    for (long i : work.cancelled) failures += aQueue.cancel(ids[i], nullptr, 1) != 1;
    now += AceMs(kMaxDeadlineMs + 1);
    aQueue.expire(now);
    expected += n - n / 2;
  }
  if (failures || fired != expected || !aQueue.is_empty()) state.SkipWithError("wrong work");
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

void BM_Kinds_AceTimerHeap(benchmark::State& state) {
  ACE_Timer_Heap heap(static_cast<size_t>(state.range(0)), true);
  RunAce(state, heap);
}

// The wheel's geometry close to ours: 4096 spokes of 8 ms (ACE rounds both
// to powers of two), nodes preallocated.
void BM_Kinds_AceTimerWheel(benchmark::State& state) {
  ACE_Timer_Wheel wheel(4096, 8, static_cast<size_t>(state.range(0)));
  RunAce(state, wheel);
}

void BM_Kinds_AceTimerWheelDefault(benchmark::State& state) {
  ACE_Timer_Wheel wheel;
  RunAce(state, wheel);
}

void OnUvTimer(uv_timer_t* aTimer) { ++*static_cast<long*>(aTimer->data); }

void BM_Kinds_LibuvTimers(benchmark::State& state) {
  const long n = state.range(0);
  const Workload work(n);
  uv_loop_t loop;
  uv_loop_init(&loop);
  std::unique_ptr<uv_timer_t[]> timers(new uv_timer_t[static_cast<size_t>(n)]);
  long fired = 0, failures = 0, expected = 0;
  for (long i = 0; i < n; ++i) {
    uv_timer_init(&loop, &timers[i]);
    timers[i].data = &fired;
  }
  for (auto _ : state) {
    loop.time = 0;  // every deadline lies in the past of the next uv_run
    for (long i = 0; i < n; ++i) {
      failures += uv_timer_start(&timers[i], &OnUvTimer, static_cast<uint64_t>(work.deadlineMs[i]), 0) != 0;
    }
    for (long i : work.cancelled) failures += uv_timer_stop(&timers[i]) != 0;
    uv_run(&loop, UV_RUN_NOWAIT);
    expected += n - n / 2;
  }
  if (failures || fired != expected || uv_loop_alive(&loop)) state.SkipWithError("wrong work");
  for (long i = 0; i < n; ++i) uv_close(reinterpret_cast<uv_handle_t*>(&timers[i]), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
  state.SetItemsProcessed(2 * n * static_cast<long>(state.iterations()));
}

BENCHMARK_TEMPLATE(BM_Kinds_Ours, CCmTimerMinHeapQueue)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Kinds_AceTimerHeap)->Arg(10000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_Kinds_Ours, CCmTimerWheelQueue)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Kinds_AceTimerWheel)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Kinds_AceTimerWheelDefault)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Kinds_LibuvTimers)->Arg(10000)->Arg(100000);

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
