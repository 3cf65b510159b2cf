// EventProbe - events that report what happened to them, so tests can prove
// that every event handed to a queue is disposed of exactly once, and on
// which thread it fired and was disposed of.
//
//   EventTally tally(3);                      // expect 3 disposals
//   queue.PostEvent(new ProbeEvent(tally));
//   tally.allDisposed.WaitUntilTimeout(...);
//   EXPECT_EQ(tally.disposed, 3);
//
// A second disposal of the same event would be a use after free, which the
// sanitizer builds report.
#ifndef ZAR_TEST_EVENT_PROBE_H
#define ZAR_TEST_EVENT_PROBE_H

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "CmEventQueue.h"
#include "ThreadWaiter.h"
#include "CmThread.h"

struct EventTally {
  explicit EventTally(unsigned aExpected = 1) : allDisposed(aExpected) {}
  std::atomic<int> fired{0};
  std::atomic<int> disposed{0};
  std::atomic<int> disposedUnfired{0};
  std::atomic<uint32_t> fireThread{0};
  std::atomic<uint32_t> disposeThread{0};
  ThreadWaiter allDisposed;
  std::mutex mutex;
  std::vector<int> order;  // tags in firing order; guarded by mutex

  std::vector<int> Order() {
    std::lock_guard<std::mutex> lock(mutex);
    return order;
  }
};

class ProbeEvent : public ICmEvent {
 public:
  explicit ProbeEvent(EventTally& aTally, int aTag = 0, std::function<int()> aAction = nullptr)
      : ICmEvent(static_cast<unsigned long>(aTag)), m_Tally(aTally), m_Action(std::move(aAction)) {}

  int OnEventFire() override {
    m_bFired = true;
    m_Tally.fireThread = static_cast<uint32_t>(GetThreadSelfId());
    {
      std::lock_guard<std::mutex> lock(m_Tally.mutex);
      m_Tally.order.push_back(static_cast<int>(GetTag()));
    }
    ++m_Tally.fired;
    return m_Action ? m_Action() : 0;
  }

  void OnDestorySelf() override {
    EventTally& tally = m_Tally;
    tally.disposeThread = static_cast<uint32_t>(GetThreadSelfId());
    if (!m_bFired) ++tally.disposedUnfired;
    delete this;
    ++tally.disposed;
    tally.allDisposed.Finished();
  }

 private:
  EventTally& m_Tally;
  std::function<int()> m_Action;
  bool m_bFired = false;
};

#endif  // ZAR_TEST_EVENT_PROBE_H
