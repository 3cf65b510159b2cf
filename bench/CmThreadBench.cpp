// Event hand-off between threads beside its peers, in the same binary:
//  - 1,000,000 events posted to a CCmThreadTask by one producer and by four,
//    against Boost.Asio io_context::post to a thread running run(), and
//    against a plain mutex + condition variable + deque hand-off (items/s);
//  - a SendEvent round trip against a promise/future round trip through
//    io_context::post.
// Each hand-off runs twice: unpinned (the scheduler places the threads) and
// pinned (producers on processor 0, the consumer on processor 1), because
// where the scheduler puts a producer and its consumer decides whether they
// share a core, and with it much of the figure. The time is wall-clock
// time; the CPU column is the whole process's CPU time (every producer and
// the consumer), which on a machine shared with other work says more than
// the wall clock does. Every hand-off allocates one work item per post, as
// a poster of events does; each benchmark counts what its consumer ran.
#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "ThreadWaiter.h"
#include "platform/CmPlatformWait.h"

namespace {

constexpr long kEvents = 1000000;
constexpr unsigned kProducerCpu = 0;
constexpr unsigned kConsumerCpu = 1;

// Arguments of every hand-off benchmark: {producers, pinned}.
void HandOffArgs(benchmark::internal::Benchmark* aBench) {
  aBench->ArgNames({"producers", "pinned"});
  for (int producers : {1, 4}) {
    for (int pinned : {0, 1}) aBench->Args({producers, pinned});
  }
  aBench->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

bool PlaceProducer(bool aPinned) {
  return aPinned ? cm_platform::PinCurrentThreadToCpuForTesting(kProducerCpu)
                 : cm_platform::UnpinCurrentThreadForTesting();
}

bool PlaceConsumer(bool aPinned) {
  return aPinned ? cm_platform::PinCurrentThreadToCpuForTesting(kConsumerCpu)
                 : cm_platform::UnpinCurrentThreadForTesting();
}

// Runs aProducers producers, each making its share of kEvents calls of
// aPost; one producer is the calling thread itself.
template <class Post>
void Produce(int aProducers, bool aPinned, Post aPost) {
  if (aProducers == 1) {
    for (long i = 0; i < kEvents; ++i) aPost();
    return;
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < aProducers; ++p) {
    producers.emplace_back([&, p] {
      PlaceProducer(aPinned);
      const long share = kEvents / aProducers + (p < kEvents % aProducers ? 1 : 0);
      for (long i = 0; i < share; ++i) aPost();
    });
  }
  for (std::thread& producer : producers) producer.join();
}

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
  const int producers = static_cast<int>(state.range(0));
  const bool pinned = state.range(1) != 0;
  ACmThread* task = nullptr;
  if (CreateUserTaskThread("bench-post", task) != 0) return state.SkipWithError("no task thread");
  ICmEventQueue* queue = task->GetEventQueue();
  const bool placed = PlaceProducer(pinned) &&
                      queue->SendEvent(CmMakeInvokeEvent([pinned] { return PlaceConsumer(pinned) ? 0 : -1; })) == 0;
  long total = 0;
  for (auto _ : state) {
    long count = 0;
    ThreadWaiter done;
    Produce(producers, pinned, [&] { queue->PostEvent(new CountEvent(&count, &done)); });
    done.WaitUntilFinished();
    total += count;
  }
  task->Stop(nullptr);
  task->Join();
  task->Destory(0);
  cm_platform::UnpinCurrentThreadForTesting();
  if (!placed) state.SkipWithError("cannot place the threads");
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost events");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_CCmThreadTask)->Apply(HandOffArgs);

void BM_Post1M_AsioPost(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const bool pinned = state.range(1) != 0;
  boost::asio::io_context io;
  auto guard = boost::asio::make_work_guard(io);
  std::promise<bool> consumerPlaced;
  std::thread runner([&] {
    consumerPlaced.set_value(PlaceConsumer(pinned));
    io.run();
  });
  const bool placed = consumerPlaced.get_future().get() && PlaceProducer(pinned);
  long total = 0;
  for (auto _ : state) {
    long count = 0;
    ThreadWaiter done;
    Produce(producers, pinned, [&] {
      boost::asio::post(io, [&count, &done] {
        if (++count == kEvents) done.Finished();
      });
    });
    done.WaitUntilFinished();
    total += count;
  }
  guard.reset();
  runner.join();
  cm_platform::UnpinCurrentThreadForTesting();
  if (!placed) state.SkipWithError("cannot place the threads");
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost handlers");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_AsioPost)->Apply(HandOffArgs);

// The plain baseline: the consumer swaps the whole deque out under the lock
// and is notified only when it waits.
class DequeHandOff {
 public:
  struct Item {
    long* count;
    ThreadWaiter* done;
  };
  explicit DequeHandOff(bool aPinned) : m_Consumer([this, aPinned] { Run(aPinned); }) {}
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
  bool Placed() { return m_Placed.get_future().get(); }

 private:
  void Run(bool aPinned) {
    m_Placed.set_value(PlaceConsumer(aPinned));
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
  std::promise<bool> m_Placed;
  std::thread m_Consumer;
};

void BM_Post1M_MutexCondvarDeque(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const bool pinned = state.range(1) != 0;
  long total = 0;
  bool placed = false;
  {
    DequeHandOff handOff(pinned);
    placed = handOff.Placed() && PlaceProducer(pinned);
    for (auto _ : state) {
      long count = 0;
      ThreadWaiter done;
      Produce(producers, pinned, [&] { handOff.Push(new DequeHandOff::Item{&count, &done}); });
      done.WaitUntilFinished();
      total += count;
    }
  }
  cm_platform::UnpinCurrentThreadForTesting();
  if (!placed) state.SkipWithError("cannot place the threads");
  if (total != kEvents * static_cast<long>(state.iterations())) state.SkipWithError("lost items");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Post1M_MutexCondvarDeque)->Apply(HandOffArgs);

void RoundTripArgs(benchmark::internal::Benchmark* aBench) {
  aBench->ArgNames({"pinned"})->Arg(0)->Arg(1)->UseRealTime()->MeasureProcessCPUTime();
}

void BM_RoundTrip_SendEvent(benchmark::State& state) {
  const bool pinned = state.range(0) != 0;
  ACmThread* task = nullptr;
  if (CreateUserTaskThread("bench-send", task) != 0) return state.SkipWithError("no task thread");
  ICmEventQueue* queue = task->GetEventQueue();
  const bool placed = PlaceProducer(pinned) &&
                      queue->SendEvent(CmMakeInvokeEvent([pinned] { return PlaceConsumer(pinned) ? 0 : -1; })) == 0;
  long fired = 0;
  for (auto _ : state) {
    fired += queue->SendEvent(CmMakeInvokeEvent([] { return 1; }));
  }
  task->Stop(nullptr);
  task->Join();
  task->Destory(0);
  cm_platform::UnpinCurrentThreadForTesting();
  if (!placed) state.SkipWithError("cannot place the threads");
  if (fired != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
  state.SetItemsProcessed(fired);
}
BENCHMARK(BM_RoundTrip_SendEvent)->Apply(RoundTripArgs);

void BM_RoundTrip_AsioPromiseFuture(benchmark::State& state) {
  const bool pinned = state.range(0) != 0;
  boost::asio::io_context io;
  auto guard = boost::asio::make_work_guard(io);
  std::promise<bool> consumerPlaced;
  std::thread runner([&] {
    consumerPlaced.set_value(PlaceConsumer(pinned));
    io.run();
  });
  const bool placed = consumerPlaced.get_future().get() && PlaceProducer(pinned);
  long fired = 0;
  for (auto _ : state) {
    std::promise<int> promise;
    std::future<int> future = promise.get_future();
    boost::asio::post(io, [&promise] { promise.set_value(1); });
    fired += future.get();
  }
  guard.reset();
  runner.join();
  cm_platform::UnpinCurrentThreadForTesting();
  if (!placed) state.SkipWithError("cannot place the threads");
  if (fired != static_cast<long>(state.iterations())) state.SkipWithError("lost round trips");
  state.SetItemsProcessed(fired);
}
BENCHMARK(BM_RoundTrip_AsioPromiseFuture)->Apply(RoundTripArgs);

}  // namespace

BENCHMARK_MAIN();
