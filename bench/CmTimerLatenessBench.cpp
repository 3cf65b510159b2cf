// Timer lateness under load: a 20 ms periodic timer on a thread that also
// receives 200,000 posted events per second, beside a Boost.Asio
// steady_timer on an io_context thread under the same load. Each firing's
// lateness is its time past its own deadline on the monotonic clock; the
// counters are the p50, p99 and maximum of one run of kFirings firings (in
// microseconds), and the load that was actually delivered.
//
// The library's periodic timer keeps its phase (every deadline is the
// first one plus a whole number of periods), so the deadline of a firing is
// the start plus the whole number of periods that have passed; the Asio timer is
// re-armed at its previous expiry plus the period, the same schedule.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "ThreadWaiter.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPeriod(20);
constexpr int kFirings = 100;
constexpr long kEventsPerSecond = 200000;

// Posts kEventsPerSecond through aPost until aStop is set, catching up
// after it was held back, and returns how many it posted.
template <class Post>
long Load(const std::atomic<bool>& aStop, Post aPost) {
  const Clock::time_point start = Clock::now();
  long posted = 0;
  while (!aStop.load(std::memory_order_relaxed)) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    const long due = static_cast<long>(elapsed * kEventsPerSecond / 1000000);
    while (posted < due) {
      aPost();
      ++posted;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return posted;
}

void Report(benchmark::State& aState, std::vector<double>& aLateUs, long aPosted, double aSeconds) {
  std::sort(aLateUs.begin(), aLateUs.end());
  auto at = [&](double q) { return aLateUs[static_cast<size_t>(q * (aLateUs.size() - 1))]; };
  aState.counters["p50_us"] = at(0.50);
  aState.counters["p99_us"] = at(0.99);
  aState.counters["max_us"] = aLateUs.back();
  aState.counters["load_ev_per_s"] = aPosted / aSeconds;
}

class LatenessTimer : public ICmTimerHandler {
 public:
  void Start(ICmTimerQueue* aQueue) {
    m_pQueue = aQueue;
    m_tStart = Clock::now();
    aQueue->ScheduleTimer(this, nullptr, CCmTimeValue(0L, static_cast<long>(kPeriod.count() * 1000)), 0);
  }
  void OnTimeout(const CCmTimeValue&, void*) override {
    const double sinceStart = std::chrono::duration<double, std::micro>(Clock::now() - m_tStart).count();
    const double period = std::chrono::duration<double, std::micro>(kPeriod).count();
    // The deadline just passed (timers never fire early; half a
    // millisecond of slack covers the two clock reads at the start).
    const double periods = std::max(1.0, std::floor((sinceStart + 500.0) / period));
    lateUs.push_back(sinceStart - periods * period);
    if (static_cast<int>(lateUs.size()) == kFirings) {
      m_pQueue->CancelTimer(this);
      done.Finished();
    }
  }
  std::vector<double> lateUs;
  ThreadWaiter done;

 private:
  ICmTimerQueue* m_pQueue = nullptr;
  Clock::time_point m_tStart;
};

void BM_TimerLatenessUnderLoad_CCmThreadTask(benchmark::State& state) {
  ACmThread* task = nullptr;
  if (CreateUserTaskThread("bench-late", task) != 0) return state.SkipWithError("no task thread");
  ICmEventQueue* queue = task->GetEventQueue();
  std::atomic<long> fired{0};
  long posted = 0;
  for (auto _ : state) {
    LatenessTimer timer;
    timer.lateUs.reserve(kFirings);
    std::atomic<bool> stop{false};
    const Clock::time_point begin = Clock::now();
    std::thread loader([&] {
      posted = Load(stop, [&] {
        queue->PostEvent(CmMakeInvokeEvent([&fired] { return fired.fetch_add(1, std::memory_order_relaxed), 0; }));
      });
    });
    queue->PostEvent(CmMakeInvokeEvent([&timer, task] { return timer.Start(task->GetTimerQueue()), 0; }));
    const bool finished = timer.done.WaitUntilTimeout(std::chrono::seconds(60));
    stop = true;
    loader.join();
    if (!finished) {
      state.SkipWithError("timer did not fire");
      break;
    }
    Report(state, timer.lateUs, posted, std::chrono::duration<double>(Clock::now() - begin).count());
  }
  task->Stop(nullptr);
  task->Join();
  task->Destory(0);
  if (fired.load() == 0) state.SkipWithError("no load was delivered");
}
BENCHMARK(BM_TimerLatenessUnderLoad_CCmThreadTask)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TimerLatenessUnderLoad_AsioSteadyTimer(benchmark::State& state) {
  boost::asio::io_context io;
  auto guard = boost::asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  std::atomic<long> fired{0};
  long posted = 0;
  for (auto _ : state) {
    std::vector<double> lateUs;
    lateUs.reserve(kFirings);
    ThreadWaiter done;
    boost::asio::steady_timer timer(io);
    std::function<void(const boost::system::error_code&)> onTimer = [&](const boost::system::error_code& aError) {
      if (aError) return;
      lateUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - timer.expiry()).count());
      if (static_cast<int>(lateUs.size()) == kFirings) return done.Finished();
      timer.expires_at(timer.expiry() + kPeriod);
      timer.async_wait(onTimer);
    };
    std::atomic<bool> stop{false};
    const Clock::time_point begin = Clock::now();
    std::thread loader([&] {
      posted = Load(stop, [&] { boost::asio::post(io, [&fired] { fired.fetch_add(1, std::memory_order_relaxed); }); });
    });
    boost::asio::post(io, [&] {
      timer.expires_after(kPeriod);
      timer.async_wait(onTimer);
    });
    const bool finished = done.WaitUntilTimeout(std::chrono::seconds(60));
    stop = true;
    loader.join();
    if (!finished) {
      state.SkipWithError("timer did not fire");
      break;
    }
    Report(state, lateUs, posted, std::chrono::duration<double>(Clock::now() - begin).count());
  }
  guard.reset();
  runner.join();
  if (fired.load() == 0) state.SkipWithError("no load was delivered");
}
BENCHMARK(BM_TimerLatenessUnderLoad_AsioSteadyTimer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
