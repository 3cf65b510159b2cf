// Event hand-off between threads beside its peers, in the same binary:
//  - one producer posting 1,000,000 events to a CCmThreadTask, against
//    Boost.Asio io_context::post to a thread running run(), and against a
//    plain mutex + condition variable + deque hand-off (items/s);
//  - a SendEvent round trip against a promise/future round trip through
//    io_context::post.
// Every hand-off allocates one work item per post, as a poster of events
// does; each benchmark counts what its consumer ran.
#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "CmThread.h"
#include "ThreadWaiter.h"

namespace {

constexpr long kEvents = 1000000;

// Counts on the consumer thread and opens the latch at the last one.
class CountEvent : public ICmEvent {
 public:
  CountEvent(long* aCount, ThreadWaiter* aDone) : m_pCount(aCount), m_pDone(aDone) {}
  int OnEventFire() override {
    if (++*m_pCount == kEvents) m_pDone->Finished();
    return 0;
  }

 private:
  long* m_pCount;
  ThreadWaiter* m_pDone;
};

void BM_Post1M_CCmThreadTask(benchmark::State& state) {
  ACmThread* task = nullptr;
  if (CreateUserTaskThread("bench-post", task) != 0) return state.SkipWithError("no task thread");
  ICmEventQueue* queue = task->GetEventQueue();
  long total = 0;
  for (auto _ : state) {
    long count = 0;
    ThreadWaiter done;
    for (long i = 0; i < kEvents; ++i) queue->PostEvent(new CountEvent(&count, &done));
    done.WaitUntilFinished();
    total += count;
  }
  task->Stop(nullptr);
  task->Join();
  task->Destory(0);
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost events");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_CCmThreadTask)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Post1M_AsioPost(benchmark::State& state) {
  boost::asio::io_context io;
  auto guard = boost::asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  long total = 0;
  for (auto _ : state) {
    long count = 0;
    ThreadWaiter done;
    for (long i = 0; i < kEvents; ++i) {
      boost::asio::post(io, [&count, &done] {
        if (++count == kEvents) done.Finished();
      });
    }
    done.WaitUntilFinished();
    total += count;
  }
  guard.reset();
  runner.join();
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost handlers");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_AsioPost)->Unit(benchmark::kMillisecond)->UseRealTime();

// The plain baseline: the consumer swaps the whole deque out under the lock
// and is notified only when it waits.
class DequeHandOff {
 public:
  struct Item {
    long* count;
    ThreadWaiter* done;
  };
  DequeHandOff() : m_Consumer([this] { Run(); }) {}
  ~DequeHandOff() {
    Push(nullptr);
    m_Consumer.join();
  }
  void Push(Item* aItem) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Items.push_back(aItem);
      wake = m_bWaiting;
      m_bWaiting = false;
    }
    if (wake) m_Cond.notify_one();
  }

 private:
  void Run() {
    std::deque<Item*> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m_Mutex);
        while (m_Items.empty()) {
          m_bWaiting = true;
          m_Cond.wait(lock);
        }
        batch.swap(m_Items);
      }
      for (Item* item : batch) {
        if (!item) return;
        if (++*item->count == kEvents) item->done->Finished();
        delete item;
      }
      batch.clear();
    }
  }
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::deque<Item*> m_Items;
  bool m_bWaiting = false;
  std::thread m_Consumer;
};

void BM_Post1M_MutexCondvarDeque(benchmark::State& state) {
  long total = 0;
  {
    DequeHandOff handOff;
    for (auto _ : state) {
      long count = 0;
      ThreadWaiter done;
      for (long i = 0; i < kEvents; ++i) handOff.Push(new DequeHandOff::Item{&count, &done});
      done.WaitUntilFinished();
      total += count;
    }
  }
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost items");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_MutexCondvarDeque)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RoundTrip_SendEvent(benchmark::State& state) {
  ACmThread* task = nullptr;
  if (CreateUserTaskThread("bench-send", task) != 0) return state.SkipWithError("no task thread");
  ICmEventQueue* queue = task->GetEventQueue();
  long fired = 0;
  for (auto _ : state) {
    fired += queue->SendEvent(CmMakeInvokeEvent([] { return 1; }));
  }
  task->Stop(nullptr);
  task->Join();
  task->Destory(0);
  if (fired != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
  state.SetItemsProcessed(fired);
}
BENCHMARK(BM_RoundTrip_SendEvent)->UseRealTime();

void BM_RoundTrip_AsioPromiseFuture(benchmark::State& state) {
  boost::asio::io_context io;
  auto guard = boost::asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  long fired = 0;
  for (auto _ : state) {
    std::promise<int> promise;
    std::future<int> future = promise.get_future();
    boost::asio::post(io, [&promise] { promise.set_value(1); });
    fired += future.get();
  }
  guard.reset();
  runner.join();
  if (fired != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
  state.SetItemsProcessed(fired);
}
BENCHMARK(BM_RoundTrip_AsioPromiseFuture)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
