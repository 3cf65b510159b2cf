// The timer wrapper on real task threads. Time is a manual clock: a test
// moves it and then lets the task turn its loop (Sync), so "fires after one
// interval" is exact; cross-thread waits use latches with generous limits.
#include "CmTimerWrapperID.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "ManualClock.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

constexpr std::chrono::seconds kLimit(20);

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

ACmThread* NewTask(const char* aName, bool aWithTimers = true, int aType = TT_UNKNOWN) {
  ACmThread* thread = nullptr;
  EXPECT_EQ(CreateUserTaskThread(aName, thread, TFLAG_JOINABLE, aWithTimers, aType), 0);
  return thread;
}

void StopJoinDestory(ACmThread* aThread) { aThread->Stop(nullptr), aThread->Join(), aThread->Destory(0); }

int RunOn(ACmThread* aThread, std::function<int()> aWork) {
  return aThread->GetEventQueue()->SendEvent(CmMakeInvokeEvent(std::move(aWork)));
}

// The loop checks its timers before each batch: once the second event has
// fired, a CheckExpire has run since the first was posted.
void Sync(ACmThread* aThread) {
  RunOn(aThread, [] { return 0; });
  RunOn(aThread, [] { return 0; });
}

std::string Hex(const void* aPointer) {
  char text[16];
  snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(aPointer)));
  return text;
}

class Sink : public CCmTimerWrapperIDSink {
 public:
  explicit Sink(std::function<void(CCmTimerWrapperID*)> aAction = nullptr) : m_Action(std::move(aAction)) {}
  void OnTimer(CCmTimerWrapperID* aId) override {
    thread = GetThreadSelfId();
    ++count;
    if (m_Action) m_Action(aId);
  }
  std::atomic<int> count{0};
  std::atomic<unsigned long> thread{0};

 private:
  std::function<void(CCmTimerWrapperID*)> m_Action;
};

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override { m_pTask = NewTask("wrapped"); }
  void TearDown() override { StopJoinDestory(m_pTask); }
  // Moves the clock and lets the task fire what is due.
  void Advance(long aMs) {
    m_Clock.AdvanceMs(aMs);
    Sync(m_pTask);
  }
  ManualClock m_Clock;
  ACmThread* m_pTask = nullptr;
};

TEST_F(WrapperTest, RefusalsOfArgumentsAndThreads) {
  TraceCapture trace;
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(timer.Schedule(nullptr, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: aSink", 0));
  EXPECT_EQ(timer.Schedule(&sink, Ms(10), 1), ZAR_E_POINTER);  // no library thread
  EXPECT_TRUE(trace.Contains("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue. [this=" +
                                 Hex(&timer) + "]",
                             0));
  EXPECT_EQ(timer.Cancel(), ZAR_E_NOT_FOUND);  // still idle
  EXPECT_EQ(timer.ScheduleInThread(static_cast<ACmThread*>(nullptr), &sink, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_EQ(timer.ScheduleInThread(987654, &sink, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_EQ(trace.Count("Assert failed: pThread != NULL", 0), 2u);

  ACmThread* events = NewTask("no-timers", false);
  EXPECT_EQ(timer.ScheduleInThread(events, &sink, Ms(10), 1), ZAR_E_THREAD_UNAVAILABLE);
  EXPECT_TRUE(trace.Contains("Assert failed: pTimerQueue != NULL", 0));
  EXPECT_EQ(RunOn(events, [&] { return timer.Schedule(&sink, Ms(10), 1); }), ZAR_E_THREAD_UNAVAILABLE);
  EXPECT_TRUE(trace.Contains("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue 2.", 1));
  StopJoinDestory(events);

  // Bound to one thread, the timer refuses another until it is cancelled.
  ACmThread* other = NewTask("other", true, 61);
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Schedule(&sink, Ms(10), 0); }), 0);
  EXPECT_EQ(timer.ScheduleInThread(other, &sink, Ms(10), 0), ZAR_E_POINTER);
  EXPECT_TRUE(trace.Contains("schedule 2 timers in different thread is not supported. [this=" + Hex(&timer), 0));
  EXPECT_EQ(RunOn(other, [&] { return timer.Schedule(&sink, Ms(10), 0); }), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("CCmTimerWrapperID::Schedule, schedule in different thread is not allowed.", 0));
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
  EXPECT_EQ(timer.ScheduleInThread(61, &sink, Ms(10), 0), 0);  // by type, after the cancel
  Sync(other);
  m_Clock.AdvanceMs(10);
  Sync(other);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(sink.thread, other->GetThreadId());
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
  StopJoinDestory(other);
}

TEST_F(WrapperTest, ScheduleAndCancelFromTheOwnerAndFromOtherThreads) {
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Schedule(&sink, Ms(10), 0); }), 0);
  // Re-scheduling replaces the entry: one entry, the new interval.
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Schedule(&sink, Ms(30), 0); }), ZAR_E_ALREADY_EXISTS);
  Advance(29);
  EXPECT_EQ(sink.count, 0);
  Advance(1);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(sink.thread, m_pTask->GetThreadId());
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Cancel(); }), 0);
  Advance(100);
  EXPECT_EQ(sink.count, 1);

  // From here the request travels as an event; the first firing comes one
  // interval after the task took it.
  EXPECT_EQ(timer.ScheduleInThread(m_pTask, &sink, Ms(20), 0), 0);
  Sync(m_pTask);
  Advance(19);
  EXPECT_EQ(sink.count, 1);
  Advance(1);
  EXPECT_EQ(sink.count, 2);
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);  // handed to the task
  Advance(100);
  EXPECT_EQ(sink.count, 2);
  EXPECT_EQ(timer.Cancel(), ZAR_E_NOT_FOUND);

  // A count that ran out leaves the timer bound, with no entry left.
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Schedule(&sink, Ms(10), 1); }), 0);
  Advance(10);
  EXPECT_EQ(RunOn(m_pTask, [&] { return timer.Cancel(); }), ZAR_E_NOT_FOUND);
  EXPECT_EQ(sink.count, 3);
}

TEST_F(WrapperTest, DestructionAndSelfDeletionCancel) {
  std::atomic<int> deleted{0};
  Sink counted;
  Sink periodic([&](CCmTimerWrapperID* aId) { delete aId, ++deleted; });
  Sink oneShot([&](CCmTimerWrapperID* aId) { delete aId, ++deleted; });
  Sink cancels([&](CCmTimerWrapperID* aId) { EXPECT_EQ(aId->Cancel(), 0); });
  CCmTimerWrapperID* foreign = new CCmTimerWrapperID;
  CCmTimerWrapperID* owned = new CCmTimerWrapperID;
  CCmTimerWrapperID c;
  ASSERT_EQ(foreign->ScheduleInThread(m_pTask, &counted, Ms(10), 0), 0);
  ASSERT_EQ(RunOn(m_pTask, [&] { return owned->Schedule(&counted, Ms(10), 0); }), 0);
  ASSERT_EQ((new CCmTimerWrapperID)->ScheduleInThread(m_pTask, &periodic, Ms(10), 0), 0);
  ASSERT_EQ((new CCmTimerWrapperID)->ScheduleInThread(m_pTask, &oneShot, Ms(10), 1), 0);
  ASSERT_EQ(c.ScheduleInThread(m_pTask, &cancels, Ms(10), 0), 0);
  Sync(m_pTask);
  delete foreign;  // from this thread: the cancel travels to the task
  RunOn(m_pTask, [&] { return delete owned, 0; });
  for (int i = 0; i < 5; ++i) Advance(10);
  EXPECT_EQ(counted.count, 0);
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(periodic.count + oneShot.count + cancels.count, 3);
  EXPECT_EQ(c.Cancel(), ZAR_E_NOT_FOUND);
}

// A foreign Cancel waits for a callback in progress (30 ms steps first);
// one that runs too long is given up on after 5 x 30 + 20 x 100 ms.
TEST_F(WrapperTest, ForeignCancelWaitsBoundedlyForARunningCallback) {
  TraceCapture trace;
  ThreadWaiter entered, cancelWaiting, release;
  std::atomic<bool> callbackDone{false}, cancelled{false};
  std::atomic<int> afterCancel{0};
  Sink quick([&](CCmTimerWrapperID*) {
    afterCancel += cancelled ? 1 : 0;
    entered.Finished();
    cancelWaiting.WaitUntilTimeout(kLimit);  // until the canceller waits for us
    callbackDone = true;
  });
  Sink stuck([&](CCmTimerWrapperID*) { entered.Finished(), release.WaitUntilTimeout(kLimit); });
  for (Sink* sink : {&quick, &stuck}) {
    entered.Reset(1);
    m_Clock.TakeSleeps();
    if (sink == &quick) m_Clock.OnSleep([&](unsigned) { cancelWaiting.Finished(); });
    else m_Clock.OnSleep(nullptr);
    CCmTimerWrapperID timer;
    ASSERT_EQ(timer.ScheduleInThread(m_pTask, sink, Ms(10), 0), 0);
    Sync(m_pTask);
    m_Clock.AdvanceMs(10);  // due now
    m_pTask->GetEventQueue()->PostEvent(CmMakeInvokeEvent([] { return 0; }));  // wake the loop
    ASSERT_TRUE(entered.WaitUntilTimeout(kLimit));
    EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
    cancelled = true;
    const std::vector<unsigned> sleeps = m_Clock.TakeSleeps();
    if (sink == &quick) {
      EXPECT_TRUE(callbackDone);  // it had returned before Cancel did
      ASSERT_FALSE(sleeps.empty());
      EXPECT_EQ(sleeps.front(), 30u);
    } else {
      std::vector<unsigned> expected(5, 30u);
      expected.insert(expected.end(), 20, 100u);
      EXPECT_EQ(sleeps, expected);
      EXPECT_TRUE(trace.Contains("CCmTimerWrapperRef::Cancel, the timer has been executed too long time, parent=" +
                                     Hex(&timer) + ", thread=" + std::to_string(m_pTask->GetThreadId()) + " [this=",
                                 0));
      release.Finished();
    }
  }
  Advance(100);
  EXPECT_EQ(afterCancel, 0);
  EXPECT_EQ(quick.count + stuck.count, 2);
}

// Two plain threads and a library thread schedule and cancel one timer at
// random while it fires every millisecond of real time and its callback
// re-schedules and cancels itself. After the last Cancel has returned no
// OnTimer may start.
TEST(CCmTimerWrapperID, ScheduleAndCancelFromEveryThreadUnderLoad) {
  ACmThread* task = NewTask("hammered");
  ACmThread* other = NewTask("other");
  CCmTimerWrapperID timer;
  std::atomic<bool> quiet{false}, finished{false};
  std::atomic<int> late{0}, fires{0};
  ThreadWaiter firedAfterStorm;
  Sink sink([&](CCmTimerWrapperID* aId) {
    late += finished ? 1 : 0;
    const int n = ++fires;
    if (quiet) return firedAfterStorm.Finished();
    if (n % 5 == 0) aId->Schedule(&sink, CCmTimeValue(0L, 1000L), 0);
    if (n % 7 == 0) aId->Cancel();
  });
  auto hammer = [&](int aSeed) {
    for (int i = 0; i < 300; ++i) {
      if ((i + aSeed) % 3 == 0) timer.Cancel();
      else EXPECT_EQ(timer.ScheduleInThread(task, &sink, CCmTimeValue(0L, 1000L), 0), 0);
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::thread t1(hammer, 0), t2(hammer, 1);
  RunOn(other, [&] { return hammer(2), 0; });
  t1.join();
  t2.join();
  // A schedule a callback makes while a foreign Cancel waits for it is a
  // new one: keep the callbacks from making any now.
  quiet = true;
  Sync(task);
  timer.ScheduleInThread(task, &sink, CCmTimeValue(0L, 1000L), 0);
  EXPECT_TRUE(firedAfterStorm.WaitUntilTimeout(kLimit));  // still alive after the storm
  timer.Cancel();
  finished = true;
  Sync(task);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Sync(task);
  EXPECT_EQ(late, 0);
  StopJoinDestory(other);
  StopJoinDestory(task);
}

// A cancel that a stopping thread refuses: that thread keeps the handler
// until it is destroyed, so its last turn cannot fire a freed one.
TEST(CCmTimerWrapperID, CancelRefusedByAStoppingThreadIsSafe) {
  ManualClock clock;
  ACmThread* task = NewTask("stopping");
  Sink sink;
  CCmTimerWrapperID* timer = new CCmTimerWrapperID;
  ASSERT_EQ(timer->ScheduleInThread(task, &sink, Ms(10), 0), 0);
  Sync(task);
  ThreadWaiter blocked, release;
  task->GetEventQueue()->PostEvent(
      CmMakeInvokeEvent([&] { return blocked.Finished(), release.WaitUntilTimeout(kLimit), 0; }));
  ASSERT_TRUE(blocked.WaitUntilTimeout(kLimit));
  task->Stop(nullptr);  // the queue refuses posts from now on
  clock.AdvanceMs(50);  // due at the loop's last turn
  delete timer;  // its cancel is refused
  release.Finished();
  task->Join();
  EXPECT_EQ(sink.count, 0);
  // A schedule a stopped thread refuses leaves the wrapper idle.
  CCmTimerWrapperID again;
  EXPECT_EQ(again.ScheduleInThread(task, &sink, Ms(10), 0), ZAR_E_UNEXPECTED);
  EXPECT_EQ(again.Cancel(), ZAR_E_NOT_FOUND);
  task->Destory(0);
}

}  // namespace
