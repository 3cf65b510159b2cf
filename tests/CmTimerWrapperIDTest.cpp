// The timer wrapper on real task threads. Time is the timer queues'
// injected clock: a test moves it and then lets the task turn its loop
// (Sync), so "fires after one interval" is exact; cross-thread waits use
// latches with generous limits.
#include "CmTimerWrapperID.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "CmTimerQueueInternal.h"
#include "CmTimerWrapperIDInternal.h"
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

void StopJoinDestory(ACmThread* aThread) {
  aThread->Stop(nullptr);
  aThread->Join();
  aThread->Destory(0);
}

// Runs aWork on the thread and returns its result.
int RunOn(ACmThread* aThread, std::function<int()> aWork) {
  return aThread->GetEventQueue()->SendEvent(CmMakeInvokeEvent(std::move(aWork)));
}

// The loop checks its timers before each batch: after the second event
// fired, a CheckExpire has run since the first was posted.
void Sync(ACmThread* aThread) {
  RunOn(aThread, [] { return 0; });
  RunOn(aThread, [] { return 0; });
}

class Sink : public CCmTimerWrapperIDSink {
 public:
  explicit Sink(std::function<void(CCmTimerWrapperID*)> aAction = nullptr) : m_Action(std::move(aAction)) {}
  void OnTimer(CCmTimerWrapperID* aId) override {
    thread = GetThreadSelfId();
    last = aId;
    ++count;
    if (m_Action) m_Action(aId);
  }
  std::atomic<int> count{0};
  std::atomic<unsigned long> thread{0};
  std::atomic<CCmTimerWrapperID*> last{nullptr};

 private:
  std::function<void(CCmTimerWrapperID*)> m_Action;
};

// The queues' clock, stopped for the test and moved by it.
class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override { CmTimerQueueClockFreeze(&m_tvNow); }
  void TearDown() override {
    CmTimerQueueClockFreeze(nullptr);
    CmTimerWrapperSetCancelSleep(nullptr);
  }
  void Advance(long aMs) {
    m_tvNow += Ms(aMs);
    CmTimerQueueClockFreeze(&m_tvNow);
  }
  CCmTimeValue m_tvNow{1700000000L, 0L};
};

TEST_F(WrapperTest, RefusalsOfArgumentsAndThreads) {
  TraceCapture trace;
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(timer.Schedule(nullptr, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: aSink", 0));
  // The test's own thread is no library thread.
  EXPECT_EQ(timer.Schedule(&sink, Ms(10), 1), ZAR_E_POINTER);
  char suffix[64];
  snprintf(suffix, sizeof(suffix), " [this=0x%x]", static_cast<unsigned>(reinterpret_cast<uintptr_t>(&timer)));
  EXPECT_TRUE(trace.Contains(std::string("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue.") +
                                 suffix,
                             0));
  EXPECT_EQ(timer.Cancel(), ZAR_E_NOT_FOUND);  // still idle

  EXPECT_EQ(timer.ScheduleInThread(static_cast<ACmThread*>(nullptr), &sink, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: pThread != NULL", 0));
  EXPECT_EQ(timer.ScheduleInThread(987654, &sink, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("GetThread, aType=987654", 1));
  EXPECT_EQ(trace.Count("Assert failed: pThread != NULL"), 2u);

  ACmThread* events = NewTask("no-timers", false);
  EXPECT_EQ(timer.ScheduleInThread(events, &sink, Ms(10), 1), ZAR_E_THREAD_UNAVAILABLE);
  EXPECT_TRUE(trace.Contains("Assert failed: pTimerQueue != NULL", 0));
  EXPECT_EQ(RunOn(events, [&] { return timer.Schedule(&sink, Ms(10), 1); }), ZAR_E_THREAD_UNAVAILABLE);
  EXPECT_TRUE(trace.Contains("CCmTimerWrapperID::Schedule, your thread doesn't support TP timer queue 2.", 1));
  EXPECT_EQ(timer.Cancel(), ZAR_E_NOT_FOUND);
  StopJoinDestory(events);
  EXPECT_EQ(sink.count, 0);
}

TEST_F(WrapperTest, OwnerScheduleRescheduleAndCancel) {
  ACmThread* task = NewTask("owner");
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(RunOn(task, [&] { return timer.Schedule(&sink, Ms(10), 0); }), 0);
  // A second schedule replaces the first: one entry, the new interval.
  EXPECT_EQ(RunOn(task, [&] { return timer.Schedule(&sink, Ms(30), 0); }), ZAR_E_ALREADY_EXISTS);
  Advance(20);
  Sync(task);
  EXPECT_EQ(sink.count, 0);
  Advance(10);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(sink.thread, task->GetThreadId());
  EXPECT_EQ(sink.last, &timer);
  EXPECT_EQ(RunOn(task, [&] { return timer.Cancel(); }), 0);
  Advance(100);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(RunOn(task, [&] { return timer.Cancel(); }), ZAR_E_NOT_FOUND);

  // A count that ran out leaves the timer bound: the owner's cancel finds
  // no entry any more.
  EXPECT_EQ(RunOn(task, [&] { return timer.Schedule(&sink, Ms(10), 1); }), 0);
  Advance(10);
  Sync(task);
  EXPECT_EQ(sink.count, 2);
  EXPECT_EQ(RunOn(task, [&] { return timer.Cancel(); }), ZAR_E_NOT_FOUND);
  StopJoinDestory(task);
}

TEST_F(WrapperTest, ForeignScheduleAndCancelTravelAsEvents) {
  ACmThread* task = NewTask("foreign");
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(timer.ScheduleInThread(task, &sink, Ms(20), 0), 0);  // the post's result
  Sync(task);  // the request reached the queue now: the first firing is 20 ms on
  Advance(19);
  Sync(task);
  EXPECT_EQ(sink.count, 0);
  Advance(1);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(sink.thread, task->GetThreadId());
  // Again from here: the same entry is replaced.
  EXPECT_EQ(timer.ScheduleInThread(task, &sink, Ms(50), 0), 0);
  Sync(task);
  Advance(49);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);  // handed to the task
  Advance(100);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  EXPECT_EQ(timer.Cancel(), ZAR_E_NOT_FOUND);
  StopJoinDestory(task);
}

TEST_F(WrapperTest, ASecondThreadIsRefusedUntilCancel) {
  TraceCapture trace;
  ACmThread* a = NewTask("first", true, 61);
  ACmThread* b = NewTask("second");
  CCmTimerWrapperID timer;
  Sink sink;
  EXPECT_EQ(RunOn(a, [&] { return timer.Schedule(&sink, Ms(10), 0); }), 0);
  EXPECT_EQ(timer.ScheduleInThread(b, &sink, Ms(10), 0), ZAR_E_POINTER);
  EXPECT_TRUE(trace.Contains(
      "CCmTimerWrapperID::ScheduleInThread, schedule 2 timers in different thread is not supported. [this=0x", 0));
  EXPECT_EQ(RunOn(b, [&] { return timer.Schedule(&sink, Ms(10), 0); }), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("CCmTimerWrapperID::Schedule, schedule in different thread is not allowed. [this=0x", 0));
  // Pending for b (not yet bound): a is refused as well.
  CCmTimerWrapperID pending;
  ThreadWaiter hold, held;
  RunOn(b, [] { return 0; });
  b->GetEventQueue()->PostEvent(CmMakeInvokeEvent([&] { return held.Finished(), hold.WaitUntilTimeout(kLimit), 0; }));
  ASSERT_TRUE(held.WaitUntilTimeout(kLimit));
  EXPECT_EQ(pending.ScheduleInThread(b, &sink, Ms(10), 0), 0);
  EXPECT_EQ(pending.ScheduleInThread(61, &sink, Ms(10), 0), ZAR_E_POINTER);  // a, by its type
  hold.Finished();

  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
  EXPECT_EQ(timer.ScheduleInThread(b, &sink, Ms(10), 0), 0);
  Sync(b);
  Advance(10);
  Sync(b);
  Sync(a);
  EXPECT_EQ(sink.count, 2);  // timer and pending, both on b
  EXPECT_EQ(sink.thread, b->GetThreadId());
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
  EXPECT_EQ(RunOn(b, [&] { return pending.Cancel(); }), 0);
  StopJoinDestory(a);
  StopJoinDestory(b);
}

TEST_F(WrapperTest, DestroyingAScheduledTimerCancelsIt) {
  ACmThread* task = NewTask("destroy");
  Sink sink;
  CCmTimerWrapperID* foreign = new CCmTimerWrapperID;
  CCmTimerWrapperID* owned = new CCmTimerWrapperID;
  ASSERT_EQ(foreign->ScheduleInThread(task, &sink, Ms(10), 0), 0);
  ASSERT_EQ(RunOn(task, [&] { return owned->Schedule(&sink, Ms(10), 0); }), 0);
  Sync(task);
  delete foreign;  // from this thread: the cancel travels to the task
  RunOn(task, [&] { return delete owned, 0; });
  Advance(100);
  Sync(task);
  EXPECT_EQ(sink.count, 0);
  StopJoinDestory(task);
}

TEST_F(WrapperTest, SinkMayDeleteItsWrapperInsideOnTimer) {
  ACmThread* task = NewTask("self-delete");
  std::atomic<int> deleted{0};
  Sink periodic([&](CCmTimerWrapperID* aId) { delete aId, ++deleted; });
  Sink oneShot([&](CCmTimerWrapperID* aId) { delete aId, ++deleted; });
  Sink cancels([&](CCmTimerWrapperID* aId) { EXPECT_EQ(aId->Cancel(), 0); });
  CCmTimerWrapperID* a = new CCmTimerWrapperID;
  CCmTimerWrapperID* b = new CCmTimerWrapperID;
  CCmTimerWrapperID c;
  ASSERT_EQ(a->ScheduleInThread(task, &periodic, Ms(10), 0), 0);
  ASSERT_EQ(b->ScheduleInThread(task, &oneShot, Ms(10), 1), 0);
  ASSERT_EQ(c.ScheduleInThread(task, &cancels, Ms(10), 0), 0);
  Sync(task);
  for (int i = 0; i < 5; ++i) {
    Advance(10);
    Sync(task);
  }
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(periodic.count, 1);
  EXPECT_EQ(oneShot.count, 1);
  EXPECT_EQ(cancels.count, 1);
  EXPECT_EQ(c.Cancel(), ZAR_E_NOT_FOUND);
  StopJoinDestory(task);
}

std::mutex g_SleepsMutex;
std::vector<unsigned> g_Sleeps;
ThreadWaiter* g_pCancelWaiting = nullptr;

void RecordSleep(unsigned aMs) {
  {
    std::lock_guard<std::mutex> lock(g_SleepsMutex);
    g_Sleeps.push_back(aMs);
  }
  if (g_pCancelWaiting) g_pCancelWaiting->Finished();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<unsigned> TakeSleeps() {
  std::lock_guard<std::mutex> lock(g_SleepsMutex);
  std::vector<unsigned> sleeps;
  sleeps.swap(g_Sleeps);
  return sleeps;
}

TEST_F(WrapperTest, ForeignCancelWaitsForTheRunningCallback) {
  ACmThread* task = NewTask("racing");
  ThreadWaiter entered, cancelWaiting;
  std::atomic<bool> callbackDone{false};
  std::atomic<int> afterCancel{0};
  std::atomic<bool> cancelled{false};
  Sink sink([&](CCmTimerWrapperID*) {
    if (cancelled) ++afterCancel;
    if (sink.count == 1) {
      entered.Finished();
      cancelWaiting.WaitUntilTimeout(kLimit);  // the canceller is waiting for us
      callbackDone = true;
    }
  });
  g_pCancelWaiting = &cancelWaiting;
  CmTimerWrapperSetCancelSleep(&RecordSleep);
  TakeSleeps();
  CCmTimerWrapperID timer;
  ASSERT_EQ(timer.ScheduleInThread(task, &sink, Ms(10), 0), 0);
  Sync(task);
  Advance(10);
  task->GetEventQueue()->PostEvent(CmMakeInvokeEvent([] { return 0; }));  // wake the loop
  ASSERT_TRUE(entered.WaitUntilTimeout(kLimit));
  Advance(10);  // due again: only the cancel keeps it from firing
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);
  cancelled = true;
  EXPECT_TRUE(callbackDone);  // it had returned before Cancel did
  const std::vector<unsigned> sleeps = TakeSleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.front(), 30u);
  Advance(100);
  Sync(task);
  EXPECT_EQ(afterCancel, 0);
  EXPECT_EQ(sink.count, 1);
  g_pCancelWaiting = nullptr;
  StopJoinDestory(task);
}

TEST_F(WrapperTest, ForeignCancelGivesUpAfterItsBoundedWait) {
  TraceCapture trace;
  ACmThread* task = NewTask("stuck");
  ThreadWaiter entered, release;
  Sink sink([&](CCmTimerWrapperID*) { entered.Finished(), release.WaitUntilTimeout(kLimit); });
  CmTimerWrapperSetCancelSleep(&RecordSleep);
  TakeSleeps();
  CCmTimerWrapperID timer;
  ASSERT_EQ(timer.ScheduleInThread(task, &sink, Ms(10), 0), 0);
  Sync(task);
  Advance(10);
  task->GetEventQueue()->PostEvent(CmMakeInvokeEvent([] { return 0; }));
  ASSERT_TRUE(entered.WaitUntilTimeout(kLimit));
  EXPECT_EQ(timer.Cancel(), ZAR_E_POINTER);  // returns although the callback still runs
  std::vector<unsigned> expected(5, 30u);
  expected.insert(expected.end(), 20, 100u);
  EXPECT_EQ(TakeSleeps(), expected);
  char text[160];
  snprintf(text, sizeof(text),
           "CCmTimerWrapperRef::Cancel, the timer has been executed too long time, parent=0x%x, thread=%lu [this=0x",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(&timer)), task->GetThreadId());
  EXPECT_TRUE(trace.Contains(text, 0)) << text;
  release.Finished();
  Advance(100);
  Sync(task);
  EXPECT_EQ(sink.count, 1);
  StopJoinDestory(task);
}

// Owner and foreign threads schedule and cancel one timer at random while
// it fires every millisecond of real time; the timer's thread itself
// re-schedules and cancels from inside OnTimer. After the last Cancel has
// returned no OnTimer may start.
TEST(CCmTimerWrapperID, ScheduleAndCancelFromEveryThreadUnderLoad) {
  ACmThread* task = NewTask("hammered");
  ACmThread* other = NewTask("other");
  CCmTimerWrapperID timer;
  std::atomic<bool> quiet{false};
  std::atomic<bool> finished{false};
  std::atomic<int> late{0};
  std::atomic<int> fires{0};
  Sink sink([&](CCmTimerWrapperID* aId) {
    if (finished) ++late;
    const int n = ++fires;
    if (quiet) return;
    if (n % 5 == 0) aId->Schedule(&sink, CCmTimeValue(0L, 1000L), 0);
    if (n % 7 == 0) aId->Cancel();
  });
  auto hammer = [&](int aSeed) {
    for (int i = 0; i < 300; ++i) {
      if ((i + aSeed) % 3 == 0) {
        timer.Cancel();
      } else {
        const int rv = timer.ScheduleInThread(task, &sink, CCmTimeValue(0L, 1000L), 0);
        EXPECT_TRUE(rv == 0 || rv == ZAR_E_ALREADY_EXISTS) << rv;
      }
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::thread t1(hammer, 0), t2(hammer, 1);
  // A third party: a library thread that is not the timer's.
  RunOn(other, [&] { return hammer(2), 0; });
  t1.join();
  t2.join();
  // A callback's own schedule made while a foreign Cancel waits for it is
  // a new schedule; keep the callbacks from making one now.
  quiet = true;
  Sync(task);
  timer.Cancel();
  finished = true;
  Sync(task);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Sync(task);
  EXPECT_EQ(late, 0);
  EXPECT_GT(fires, 0);
  StopJoinDestory(other);
  StopJoinDestory(task);
}

// A cancel that a stopping thread refuses: that thread keeps the handler
// until it is destroyed, so its last turns cannot fire a freed one.
TEST_F(WrapperTest, CancelRefusedByAStoppingThreadIsSafe) {
  ACmThread* task = NewTask("stopping");
  Sink sink;
  CCmTimerWrapperID* timer = new CCmTimerWrapperID;
  ASSERT_EQ(timer->ScheduleInThread(task, &sink, Ms(10), 0), 0);
  Sync(task);
  ThreadWaiter blocked, release;
  task->GetEventQueue()->PostEvent(CmMakeInvokeEvent([&] { return blocked.Finished(), release.WaitUntilTimeout(kLimit), 0; }));
  ASSERT_TRUE(blocked.WaitUntilTimeout(kLimit));
  task->Stop(nullptr);  // the queue refuses posts from now on
  Advance(50);          // due when the loop turns once more
  delete timer;         // its cancel is refused
  release.Finished();
  task->Join();
  EXPECT_EQ(sink.count, 0);
  task->Destory(0);
  // A schedule refused by a stopped thread leaves the wrapper idle.
  CCmTimerWrapperID again;
  ACmThread* stopped = NewTask("stopped");
  stopped->Stop(nullptr);
  EXPECT_EQ(again.ScheduleInThread(stopped, &sink, Ms(10), 0), ZAR_E_UNEXPECTED);
  EXPECT_EQ(again.Cancel(), ZAR_E_NOT_FOUND);
  stopped->Join();
  stopped->Destory(0);
}

}  // namespace
