// Event hand-off under load: eight producers post to task threads while the
// threads are stopped under them and senders time out, and every event must
// still be disposed of exactly once, each producer's events must fire in the
// order they were posted, and whatever a producer posted before its own Stop
// must fire. Labelled "stress"; the size comes from ZAR_STRESS_EVENTS
// (events per producer, default 50,000; the full run uses 1,000,000).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "ThreadWaiter.h"

namespace {

constexpr int kProducers = 8;
constexpr int kRounds = 4;
constexpr long kSendEvery = 97;  // every 97th hand-off is a SendEvent with a 1 ms limit

long EventsPerProducer() {
  const char* text = std::getenv("ZAR_STRESS_EVENTS");
  const long n = text ? std::strtol(text, nullptr, 10) : 0;
  return n > 0 ? n : 50000;
}

// What happened to every event, by id.
struct Ledger {
  explicit Ledger(size_t aEvents) : disposals(aEvents), fired(aEvents) {}
  std::vector<std::atomic<uint8_t>> disposals;
  std::vector<std::atomic<uint8_t>> fired;
  std::atomic<long> outOfOrder{0};
  // The last sequence number fired per producer; touched on the task thread
  // only (one task per round, rounds one after another).
  long lastFired[kProducers] = {};
};

class StressEvent : public ICmEvent {
 public:
  StressEvent(Ledger& aLedger, size_t aId, int aProducer, long aSeq)
      : m_Ledger(aLedger), m_nId(aId), m_nProducer(aProducer), m_nSeq(aSeq) {}
  int OnEventFire() override {
    m_Ledger.fired[m_nId].fetch_add(1, std::memory_order_relaxed);
    long& last = m_Ledger.lastFired[m_nProducer];
    if (m_nSeq <= last) m_Ledger.outOfOrder.fetch_add(1);
    last = m_nSeq;
    return 0;
  }
  void OnDestorySelf() override {
    m_Ledger.disposals[m_nId].fetch_add(1, std::memory_order_relaxed);
    delete this;
  }

 private:
  Ledger& m_Ledger;
  size_t m_nId;
  int m_nProducer;
  long m_nSeq;
};

TEST(CCmThreadTaskStress, EightProducersStopsAndTimeoutsDisposeEveryEventOnce) {
  const long perProducer = EventsPerProducer();
  const long perRound = perProducer / kRounds;
  ASSERT_GT(perRound, 0);
  const size_t total = static_cast<size_t>(perRound) * kRounds * kProducers;
  auto ledger = std::make_unique<Ledger>(total);
  std::atomic<long> timeouts{0}, refusals{0};
  long mustFire = 0;  // producer 0's events posted before its own Stop

  for (int round = 0; round < kRounds; ++round) {
    ACmThread* task = nullptr;
    ASSERT_EQ(CreateUserTaskThread("stress", task, TFLAG_JOINABLE, true, TT_UNKNOWN), 0);
    ICmEventQueue* queue = task->GetEventQueue();
    for (long& last : ledger->lastFired) last = -1;
    std::vector<size_t> beforeStop;  // ids producer 0 posted before Stop
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (long i = 0; i < perRound; ++i) {
          const size_t id = (static_cast<size_t>(round) * kProducers + p) * perRound + i;
          ICmEvent* event = new StressEvent(*ledger, id, p, i);
          int rv;
          if ((i + p) % kSendEvery == 0) {
            CCmTimeValue oneMs(0L, 1000L);
            rv = queue->SendEvent(event, &oneMs);
            if (rv == ZAR_E_TIMEOUT) ++timeouts;
          } else {
            rv = queue->PostEvent(event);
          }
          if (rv == ZAR_E_UNEXPECTED) ++refusals;
          if (p == 0 && rv == 0) beforeStop.push_back(id);
          // Producer 0 stops the task halfway (a different point each round);
          // the others keep posting into the stopped queue.
          if (p == 0 && i == perRound / 2 + round) task->Stop(nullptr);
        }
      });
    }
    for (std::thread& producer : producers) producer.join();
    task->Stop(nullptr);
    task->Join();
    task->Destory(0);
    mustFire += static_cast<long>(beforeStop.size());
    long lostBeforeStop = 0;
    for (size_t id : beforeStop) {
      if (ledger->fired[id].load() != 1) ++lostBeforeStop;
    }
    EXPECT_EQ(lostBeforeStop, 0) << "round " << round;
  }

  long disposedTwice = 0, neverDisposed = 0, firedTwice = 0;
  for (size_t id = 0; id < total; ++id) {
    const uint8_t d = ledger->disposals[id].load();
    if (d == 0) ++neverDisposed;
    if (d > 1) ++disposedTwice;
    if (ledger->fired[id].load() > 1) ++firedTwice;
  }
  EXPECT_EQ(neverDisposed, 0);
  EXPECT_EQ(disposedTwice, 0);
  EXPECT_EQ(firedTwice, 0);
  EXPECT_EQ(ledger->outOfOrder.load(), 0);
  // Every round stopped halfway, so posts were refused after it.
  EXPECT_GT(refusals.load(), 0);
  EXPECT_GT(mustFire, 0);
  RecordProperty("timeouts", std::to_string(timeouts.load()));
  RecordProperty("refusals", std::to_string(refusals.load()));
  RecordProperty("fired_before_stop", std::to_string(mustFire));
}

}  // namespace
