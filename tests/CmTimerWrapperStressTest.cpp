// Timer wrappers under load, for each node storage: 10,000 timers (full
// size; StressScale.h) spread over four task threads, scheduled by two
// foreign threads and cancelled by two others at random moments around
// their deadlines, so cancels meet timers that are queued, firing or
// already gone. Every one-shot timer either fires once or is cancelled
// before it fires (never twice); a timer that is never cancelled fires; no
// OnTimer starts after Cancel has returned, and none is still running when
// Cancel returns. Periodic timers (one in ten) fire until cancelled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "CmTimerQueue.h"
#include "CmTimerWrapperID.h"
#include "StressScale.h"
#include "ThreadWaiter.h"

namespace {

constexpr int kTasks = 4;
constexpr int kSchedulers = 2;
constexpr int kCancellers = 2;
constexpr long kFullTimers = 10000;
using Clock = std::chrono::steady_clock;

CCmTimeValue Us(long aMicroseconds) { return CCmTimeValue(aMicroseconds / 1000000, aMicroseconds % 1000000); }

struct StressTimer : public CCmTimerWrapperIDSink {
  void OnTimer(CCmTimerWrapperID*) override {
    if (cancelReturned.load()) lateStarts.fetch_add(1);
    const int n = fired.fetch_add(1) + 1;
    // A little work, so that cancels find callbacks running.
    for (volatile int i = 0; i < 200; i = i + 1) {
    }
    if (cancelReturned.load()) overlaps.fetch_add(1);
    if (!periodic && !cancel && n == 1) uncancelledFired->Finished();
  }

  CCmTimerWrapperID timer;
  bool periodic = false;
  bool cancel = false;
  long intervalUs = 0;
  long cancelAfterUs = 0;  // after the schedule call returned
  ThreadWaiter* uncancelledFired = nullptr;
  std::atomic<Clock::time_point> scheduledAt{Clock::time_point{}};
  std::atomic<bool> scheduled{false};
  std::atomic<bool> cancelReturned{false};
  std::atomic<int> fired{0};
  std::atomic<int> firedWhenCancelReturned{-1};
  std::atomic<int> lateStarts{0};
  std::atomic<int> overlaps{0};
};

// Fires when every timer with a deadline before it has fired.
struct Sentinel : public CCmTimerWrapperIDSink {
  void OnTimer(CCmTimerWrapperID*) override { done.Finished(); }
  CCmTimerWrapperID timer;
  ThreadWaiter done;
};

class TimerStress : public ::testing::TestWithParam<CmQueueType> {};

TEST_P(TimerStress, EveryTimerFiresOrIsCancelledNeverAfterCancelReturns) {
  cm_set_default_timer_type(GetParam());
  ACmThread* tasks[kTasks] = {};
  for (ACmThread*& task : tasks) {
    ASSERT_EQ(CreateUserTaskThread("tstress", task, TFLAG_JOINABLE, true, TT_UNKNOWN), 0);
    ASSERT_NE(task->GetTimerQueue(), nullptr);
  }

  const long count = StressCount(kFullTimers);
  std::vector<std::unique_ptr<StressTimer>> timers;
  std::mt19937 random(static_cast<unsigned>(count) * 7919u + static_cast<unsigned>(GetParam()));
  long uncancelled = 0;
  for (long i = 0; i < count; ++i) {
    auto t = std::make_unique<StressTimer>();
    t->periodic = i % 10 == 9;
    t->cancel = t->periodic || random() % 2 == 0;
    t->intervalUs = 500 + static_cast<long>(random() % 15000);
    t->cancelAfterUs = static_cast<long>(random() % 16000);
    if (!t->cancel) ++uncancelled;
    timers.push_back(std::move(t));
  }
  ThreadWaiter uncancelledFired(static_cast<unsigned>(uncancelled));
  for (auto& t : timers) t->uncancelledFired = &uncancelledFired;

  const auto start = Clock::now();
  std::atomic<long> badResults{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSchedulers; ++s) {
    threads.emplace_back([&, s] {
      for (long i = s; i < count; i += kSchedulers) {
        StressTimer& t = *timers[static_cast<size_t>(i)];
        const int rv = t.timer.ScheduleInThread(tasks[i % kTasks], &t, Us(t.intervalUs), t.periodic ? 0 : 1);
        if (rv != 0) badResults.fetch_add(1);
        t.scheduledAt.store(Clock::now());
        t.scheduled.store(true);
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  for (int c = 0; c < kCancellers; ++c) {
    threads.emplace_back([&, c] {
      // Each timer is cancelled when its moment comes, whatever the order.
      std::vector<size_t> pending;
      for (long i = c; i < count; i += kCancellers) {
        if (timers[static_cast<size_t>(i)]->cancel) pending.push_back(static_cast<size_t>(i));
      }
      const auto limit = Clock::now() + std::chrono::seconds(120);
      while (!pending.empty() && Clock::now() < limit) {
        for (size_t k = 0; k < pending.size();) {
          StressTimer& t = *timers[pending[k]];
          if (!t.scheduled.load() || Clock::now() < t.scheduledAt.load() + std::chrono::microseconds(t.cancelAfterUs)) {
            ++k;
            continue;
          }
          const int rv = t.timer.Cancel();
          if (rv != 0 && rv != ZAR_E_POINTER && rv != ZAR_E_NOT_FOUND) badResults.fetch_add(1);
          t.firedWhenCancelReturned.store(t.fired.load());
          t.cancelReturned.store(true);
          pending[k] = pending.back();
          pending.pop_back();
        }
        std::this_thread::yield();
      }
      if (!pending.empty()) badResults.fetch_add(1);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_TRUE(uncancelledFired.WaitUntilTimeout(std::chrono::seconds(120)));

  // A last timer on each thread, later than every deadline above: once it
  // has fired, anything that would still fire has done so.
  auto sentinels = std::make_unique<Sentinel[]>(kTasks);
  for (int k = 0; k < kTasks; ++k) {
    ASSERT_EQ(sentinels[k].timer.ScheduleInThread(tasks[k], &sentinels[k], Us(40000), 1), 0);
  }
  for (int k = 0; k < kTasks; ++k) EXPECT_TRUE(sentinels[k].done.WaitUntilTimeout(std::chrono::seconds(60)));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

  long firedOnly = 0, cancelledUnfired = 0, cancelledAfterFiring = 0, periodicFirings = 0;
  for (size_t i = 0; i < timers.size(); ++i) {
    const StressTimer& t = *timers[i];
    EXPECT_EQ(t.lateStarts.load(), 0) << "timer " << i << " fired after Cancel returned";
    EXPECT_EQ(t.overlaps.load(), 0) << "timer " << i << " was running when Cancel returned";
    if (t.cancel) {
      EXPECT_EQ(t.fired.load(), t.firedWhenCancelReturned.load()) << "timer " << i;
    }
    if (t.periodic) {
      periodicFirings += t.fired.load();
    } else if (!t.cancel) {
      EXPECT_EQ(t.fired.load(), 1) << "timer " << i;
      ++firedOnly;
    } else {
      EXPECT_LE(t.fired.load(), 1) << "timer " << i;
      ++(t.fired.load() ? cancelledAfterFiring : cancelledUnfired);
    }
  }
  EXPECT_EQ(badResults.load(), 0);
  printf("timers %ld on queue kind %d: %ld fired uncancelled, %ld cancelled unfired, %ld fired before their "
         "cancel, %ld periodic cancelled after %ld firings; %lld ms\n",
         count, static_cast<int>(GetParam()), firedOnly, cancelledUnfired, cancelledAfterFiring,
         count - firedOnly - cancelledUnfired - cancelledAfterFiring, periodicFirings,
         static_cast<long long>(elapsed.count()));

  // Destroying a wrapper cancels it on its thread, which must still run.
  timers.clear();
  sentinels.reset();
  for (ACmThread* task : tasks) task->Stop(nullptr), task->Join(), task->Destory(0);
  cm_set_default_timer_type(CmQueueType_OrderedList);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TimerStress,
                         ::testing::Values(CmQueueType_OrderedList, CmQueueType_MinHeap, CmQueueType_Wheel),
                         [](const ::testing::TestParamInfo<CmQueueType>& aInfo) {
                           switch (aInfo.param) {
                             case CmQueueType_MinHeap: return "MinHeap";
                             case CmQueueType_Wheel: return "Wheel";
                             default: return "OrderedList";
                           }
                         });

}  // namespace
