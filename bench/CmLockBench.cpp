// Locks and events beside their standard-library peers:
//  - uncontended CCmMutexThread Lock/UnLock against std::recursive_mutex,
//    first while the process has one thread (the C library's locks then skip
//    their atomic instructions, and so does ours), then again once a second
//    thread exists (both pay them), the case of every real engine process;
//  - event ping-pong between two threads (CCmEventThread) against the same
//    hand-off built on std::condition_variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "CmConditionVariable.h"
#include "CmMutex.h"

namespace {

void BM_Uncontended_CCmMutexThread(benchmark::State& state) {
  CCmMutexThread m;
  long counter = 0;
  for (auto _ : state) {
    m.Lock();
    ++counter;
    m.UnLock();
  }
  benchmark::DoNotOptimize(counter);
  if (counter != static_cast<long>(state.iterations())) state.SkipWithError("lost iterations");
}
BENCHMARK(BM_Uncontended_CCmMutexThread);

void BM_Uncontended_StdRecursiveMutex(benchmark::State& state) {
  std::recursive_mutex m;
  long counter = 0;
  for (auto _ : state) {
    m.lock();
    ++counter;
    m.unlock();
  }
  benchmark::DoNotOptimize(counter);
  if (counter != static_cast<long>(state.iterations())) state.SkipWithError("lost iterations");
}
BENCHMARK(BM_Uncontended_StdRecursiveMutex);

void BM_Uncontended_CCmSpinLock(benchmark::State& state) {
  CCmSpinLock m;
  long counter = 0;
  for (auto _ : state) {
    m.lock();
    ++counter;
    m.unlock();
  }
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_Uncontended_CCmSpinLock);

// Starts one idle thread for the rest of the run: from here on the process
// is multi-threaded (the benchmarks above must run first, as registered).
void StartSecondThread() {
  static const bool started = [] {
    // Never destroyed: the thread waits on them until the process ends.
    auto* m = new std::mutex;
    auto* never = new std::condition_variable;
    std::thread([m, never] {
      std::unique_lock<std::mutex> lock(*m);
      never->wait(lock, [] { return false; });
    }).detach();
    return true;
  }();
  (void)started;
}

void BM_UncontendedThreaded_CCmMutexThread(benchmark::State& state) {
  StartSecondThread();
  BM_Uncontended_CCmMutexThread(state);
}
BENCHMARK(BM_UncontendedThreaded_CCmMutexThread);

void BM_UncontendedThreaded_StdRecursiveMutex(benchmark::State& state) {
  StartSecondThread();
  BM_Uncontended_StdRecursiveMutex(state);
}
BENCHMARK(BM_UncontendedThreaded_StdRecursiveMutex);

// One round trip: main signals ping, the partner waits for it and signals pong.
void BM_PingPong_CCmEventThread(benchmark::State& state) {
  CCmEventThread ping, pong;
  bool stop = false;
  long rounds = 0;
  std::thread partner([&] {
    for (;;) {
      ping.Wait(nullptr);
      if (stop) break;
      ++rounds;
      pong.Signal();
    }
  });
  for (auto _ : state) {
    ping.Signal();
    pong.Wait(nullptr);
  }
  stop = true;
  ping.Signal();
  partner.join();
  if (rounds != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
}
BENCHMARK(BM_PingPong_CCmEventThread)->UseRealTime();

// The same automatic-reset event semantics on the standard library.
class StdEvent {
 public:
  void Signal() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bSignaled = true;
    m_Cond.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Cond.wait(lock, [this] { return m_bSignaled; });
    m_bSignaled = false;
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_bSignaled = false;
};

void BM_PingPong_StdConditionVariable(benchmark::State& state) {
  StdEvent ping, pong;
  bool stop = false;
  long rounds = 0;
  std::thread partner([&] {
    for (;;) {
      ping.Wait();
      if (stop) break;
      ++rounds;
      pong.Signal();
    }
  });
  for (auto _ : state) {
    ping.Signal();
    pong.Wait();
  }
  stop = true;
  ping.Signal();
  partner.join();
  if (rounds != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
}
BENCHMARK(BM_PingPong_StdConditionVariable)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
