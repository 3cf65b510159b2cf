// One sample of every thread of a process with 50 threads, as the sampling
// thread of CZarPerfsStats takes it (ZarListThreads: the thread list, each
// thread's kernel and user time and its name, from /proc), against what
// POSIX offers for the same figures where it applies:
//  - clock_gettime on each thread's CPU clock (pthread_getcpuclockid):
//    one total per thread, no kernel/user split, no names;
//  - the same plus pthread_getname_np for each name (which reads the
//    thread's /proc "comm" file for any thread but the caller).
// And for the calling thread alone, where getrusage(RUSAGE_THREAD) and
// clock_gettime(CLOCK_THREAD_CPUTIME_ID) apply: ReadThreadCpuTimes against
// both. Every benchmark checks that it saw all 50 threads (or its own time).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "ZarCpuUsage.h"
#include "platform/CmPlatformProc.h"

namespace {

constexpr size_t kThreads = 50;

// The benchmark's process: its main thread and 49 named idle threads.
class FiftyThreads {
 public:
  FiftyThreads() {
    m_Handles.push_back(pthread_self());
    for (size_t i = 1; i < kThreads; ++i) {
      m_Threads.emplace_back([this, i] {
        zar_set_thread_name(("bench-" + std::to_string(i)).c_str());
        std::unique_lock<std::mutex> lock(m_Mutex);
        ++m_nNamed;
        m_Cond.notify_all();
        m_Cond.wait(lock, [this] { return m_bEnd; });
      });
      m_Handles.push_back(m_Threads.back().native_handle());
    }
    // Every thread carries its name before the first measurement; a thread
    // still unnamed after the limit shows as an error of the benchmark.
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Cond.wait_for(lock, std::chrono::seconds(60), [this] { return m_nNamed == kThreads - 1; });
  }
  ~FiftyThreads() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_bEnd = true;
    }
    m_Cond.notify_all();
    for (std::thread& t : m_Threads) t.join();
  }
  const std::vector<pthread_t>& Handles() const { return m_Handles; }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_bEnd = false;
  size_t m_nNamed = 0;
  std::vector<std::thread> m_Threads;
  std::vector<pthread_t> m_Handles;
};

FiftyThreads& Process() {
  static FiftyThreads threads;
  return threads;
}

bool AllThere(size_t aSeen, benchmark::State& state) {
  if (aSeen == kThreads) return true;
  state.SkipWithError(("saw " + std::to_string(aSeen) + " threads, not 50").c_str());
  return false;
}

void BM_ZarSampleAllThreads(benchmark::State& state) {
  Process();
  std::vector<THREADITEM> items;
  size_t named = 0;
  for (auto _ : state) {
    ZarListThreads(items);
    named = 0;
    for (const THREADITEM& item : items) named += item.name.find("-bench-") != std::string::npos;
    benchmark::DoNotOptimize(items.data());
  }
  if (AllThere(items.size(), state) && named != kThreads - 1) state.SkipWithError("thread names missing");
  state.SetItemsProcessed(static_cast<long>(state.iterations() * kThreads));
}

void BM_PeerCpuClockAllThreads(benchmark::State& state) {
  const std::vector<pthread_t>& handles = Process().Handles();
  size_t seen = 0;
  for (auto _ : state) {
    seen = 0;
    uint64_t total = 0;
    for (pthread_t handle : handles) {
      clockid_t clock;
      timespec ts;
      if (pthread_getcpuclockid(handle, &clock) != 0 || clock_gettime(clock, &ts) != 0) continue;
      total += static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
      ++seen;
    }
    benchmark::DoNotOptimize(total);
  }
  AllThere(seen, state);
  state.SetItemsProcessed(static_cast<long>(state.iterations() * kThreads));
}

void BM_PeerCpuClockAndNameAllThreads(benchmark::State& state) {
  const std::vector<pthread_t>& handles = Process().Handles();
  size_t seen = 0, named = 0;
  for (auto _ : state) {
    seen = named = 0;
    uint64_t total = 0;
    for (pthread_t handle : handles) {
      clockid_t clock;
      timespec ts;
      char name[16];
      if (pthread_getcpuclockid(handle, &clock) != 0 || clock_gettime(clock, &ts) != 0) continue;
      if (pthread_getname_np(handle, name, sizeof(name)) == 0) named += std::strncmp(name, "bench-", 6) == 0;
      total += static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
      ++seen;
    }
    benchmark::DoNotOptimize(total);
  }
  if (AllThere(seen, state) && named != kThreads - 1) state.SkipWithError("thread names missing");
  state.SetItemsProcessed(static_cast<long>(state.iterations() * kThreads));
}

void BM_ZarOwnThreadTimes(benchmark::State& state) {
  const uint32_t self = static_cast<uint32_t>(CmGetThreadID());
  cm_platform::ThreadCpuTimes times;
  bool ok = true;
  for (auto _ : state) {
    ok = cm_platform::ReadThreadCpuTimes(self, times) && ok;
    benchmark::DoNotOptimize(times.times.user);
  }
  if (!ok || times.times.user + times.times.kernel == 0) state.SkipWithError("no time read");
}

void BM_PeerGetrusageThread(benchmark::State& state) {
  rusage usage{};
  bool ok = true;
  for (auto _ : state) {
    ok = getrusage(RUSAGE_THREAD, &usage) == 0 && ok;
    benchmark::DoNotOptimize(usage.ru_utime.tv_usec);
  }
  if (!ok || usage.ru_utime.tv_sec + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec == 0) {
    state.SkipWithError("no time read");
  }
}

void BM_PeerClockThreadCputime(benchmark::State& state) {
  timespec ts{};
  bool ok = true;
  for (auto _ : state) {
    ok = clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0 && ok;
    benchmark::DoNotOptimize(ts.tv_nsec);
  }
  if (!ok || ts.tv_sec + ts.tv_nsec == 0) state.SkipWithError("no time read");
}

BENCHMARK(BM_ZarSampleAllThreads)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerCpuClockAllThreads)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerCpuClockAndNameAllThreads)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZarOwnThreadTimes);
BENCHMARK(BM_PeerGetrusageThread);
BENCHMARK(BM_PeerClockThreadCputime);

}  // namespace

BENCHMARK_MAIN();
