// Task threads (the loop's order of timers and events, Stop, SendEvent,
// exactly-once disposal across threads), the worker factory, thread names
// and the heart-beat thread's requests to its host.
#include "CmThread.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <vector>

#include "EventProbe.h"
#include "ManualClock.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

constexpr std::chrono::seconds kLimit(20);

ACmThread* NewTask(const char* aName, bool aWithTimers = true) {
  ACmThread* thread = nullptr;
  EXPECT_EQ(CreateUserTaskThread(aName, thread, TFLAG_JOINABLE, aWithTimers, TT_UNKNOWN), 0);
  return thread;
}

void StopJoinDestory(ACmThread* aThread) {
  aThread->Stop(nullptr);
  aThread->Join();
  aThread->Destory(0);
}

template <class F>
int Post(ACmThread* aThread, F aFunctor) {
  return aThread->GetEventQueue()->PostEvent(CmMakeInvokeEvent(std::move(aFunctor)));
}

class Timer : public ICmTimerHandler {
 public:
  explicit Timer(std::function<void()> aAction) : m_Action(std::move(aAction)) {}
  void OnTimeout(const CCmTimeValue&, void*) override { m_Action(); }

 private:
  std::function<void()> m_Action;
};

TEST(CCmThreadTask, DueTimerFiresBeforeEachBatchOfAtMostFiveEvents) {
  ManualClock clock;  // advanced by the task thread only
  ACmThread* task = NewTask("loop-order");
  std::vector<int> log;  // touched on the task thread only until the end
  Timer timer([&] { log.push_back(0); });
  ThreadWaiter blocked, release, done;
  Post(task, [&] {
    task->GetTimerQueue()->ScheduleTimer(&timer, nullptr, CCmTimeValue(0L, 1000L), 3);
    blocked.Finished();
    release.WaitUntilTimeout(kLimit);
    clock.AdvanceMs(1);  // the timer is due at the next turn
    return 0;
  });
  ASSERT_TRUE(blocked.WaitUntilTimeout(kLimit));
  for (int i = 1; i <= 12; ++i) {
    Post(task, [&, i] {
      log.push_back(i);
      clock.AdvanceMs(1);
      if (i == 12) done.Finished();
      return 0;
    });
  }
  release.Finished();
  ASSERT_TRUE(done.WaitUntilTimeout(kLimit));
  StopJoinDestory(task);
  EXPECT_EQ(log, (std::vector<int>{0, 1, 2, 3, 4, 5, 0, 6, 7, 8, 9, 10, 0, 11, 12}));
}

TEST(CCmThreadTask, StopFiresWhatWasPostedBeforeAndRefusesTheRest) {
  ACmThread* task = NewTask("stopping");
  ThreadWaiter blocked, release;
  Post(task, [&] { return blocked.Finished(), release.WaitUntilTimeout(kLimit), 0; });
  ASSERT_TRUE(blocked.WaitUntilTimeout(kLimit));
  EventTally tally(4);
  for (int i = 0; i < 3; ++i) task->GetEventQueue()->PostEvent(new ProbeEvent(tally));
  EXPECT_EQ(task->Stop(nullptr), 0);
  EXPECT_EQ(task->GetEventQueue()->PostEvent(new ProbeEvent(tally)), ZAR_E_UNEXPECTED);
  EXPECT_EQ(task->Stop(nullptr), ZAR_E_UNEXPECTED);
  release.Finished();
  task->Join();
  EXPECT_EQ(task->GetStopFlag(), 1);
  EXPECT_EQ(tally.fired, 3);
  EXPECT_EQ(tally.disposed, 4);
  task->Destory(0);
}

TEST(CCmThreadTask, SendEventFromOwnerAndFromOtherThreads) {
  ACmThread* task = NewTask("sender");
  ICmEventQueue* queue = task->GetEventQueue();
  EXPECT_EQ(queue->SendEvent(CmMakeInvokeEvent([] { return 3; })), 3);
  // On its own thread SendEvent fires at once, inside the running event.
  EXPECT_EQ(queue->SendEvent(CmMakeInvokeEvent([queue] { return queue->SendEvent(CmMakeInvokeEvent([] { return 4; })); })), 4);

  ThreadWaiter busy, release;
  Post(task, [&] { return busy.Finished(), release.WaitUntilTimeout(kLimit), 0; });
  ASSERT_TRUE(busy.WaitUntilTimeout(kLimit));
  EventTally tally;
  CCmTimeValue tenMs(0L, 10000L);
  EXPECT_EQ(queue->SendEvent(new ProbeEvent(tally), &tenMs), ZAR_E_TIMEOUT);
  release.Finished();
  ASSERT_TRUE(tally.allDisposed.WaitUntilTimeout(kLimit));
  EXPECT_EQ(tally.fireThread, task->GetThreadId());  // it still fired, on the task
  EXPECT_EQ(tally.disposeThread, task->GetThreadId());

  // A sender that times out while its event runs, the task stopping
  // meanwhile: its refused hand-back must not dispose of the running event.
  ThreadWaiter firing, hold;
  EventTally running;
  int rv = 0;
  std::thread sender([&] {
    CCmTimeValue timeout(0L, 100000L);
    rv = queue->SendEvent(
        new ProbeEvent(running, 0, [&] { return firing.Finished(), hold.WaitUntilTimeout(kLimit), 0; }), &timeout);
  });
  ASSERT_TRUE(firing.WaitUntilTimeout(kLimit));
  task->Stop(nullptr);
  sender.join();
  EXPECT_EQ(rv, ZAR_E_TIMEOUT);
  hold.Finished();
  task->Join();
  EXPECT_EQ(running.disposed, 1);
  EXPECT_EQ(running.disposeThread, task->GetThreadId());
  task->Destory(0);
}

TEST(CCmThreadTask, StoppingUnderManyProducersDisposesOfEveryEventOnce) {
  constexpr int kProducers = 3, kEach = 2000;
  EventTally tally(kProducers * kEach);
  std::vector<std::vector<int>> seen(kProducers);  // appended on the task thread
  ACmThread* task = NewTask("contended");
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        task->GetEventQueue()->PostEvent(new ProbeEvent(tally, p, [&seen, p, i] { return seen[p].push_back(i), 0; }));
        if (p == 0 && i == kEach / 2) task->Stop(nullptr);  // amid the others' posts
      }
    });
  }
  for (auto& t : producers) t.join();
  task->Join();
  task->Destory(0);  // disposes of whatever the loop left pending
  EXPECT_EQ(tally.disposed, kProducers * kEach);
  EXPECT_GE(tally.disposedUnfired, kEach / 2 - 1);  // at least producer 0's later posts
  for (const auto& order : seen) EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// The timer slack of the thread that runs the event (the kernel's own
// reading; tests look at the library from outside).
long SlackOn(ACmThread* aThread) {
  long slack = -1;
  aThread->GetEventQueue()->SendEvent(CmMakeInvokeEvent([&slack] { return slack = prctl(PR_GET_TIMERSLACK), 0; }));
  return slack;
}

TEST(CCmThreadTask, TimerWakesAnIdleTaskNotEarlierThanItsDeadline) {
  ACmThread* task = NewTask("timed");
  // A thread with timers sleeps without the kernel's coalescing slack; one
  // with events only keeps the process's default.
  ACmThread* eventsOnly = NewTask("untimed", false);
  EXPECT_EQ(SlackOn(task), 1);
  EXPECT_EQ(SlackOn(eventsOnly), prctl(PR_GET_TIMERSLACK));
  StopJoinDestory(eventsOnly);
  ThreadWaiter fired;
  std::atomic<unsigned long> firedOn{0};
  Timer timer([&] { firedOn = GetThreadSelfId(), fired.Finished(); });
  const auto start = std::chrono::steady_clock::now();
  task->GetEventQueue()->SendEvent(CmMakeInvokeEvent(
      [&] { return task->GetTimerQueue()->ScheduleTimer(&timer, nullptr, CCmTimeValue(0L, 30000L), 1); }));
  ASSERT_TRUE(fired.WaitUntilTimeout(kLimit));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(firedOn, task->GetThreadId());
  StopJoinDestory(task);
}

TEST(CCmThreadTask, SleepMsWithLoopKeepsFiringEventsAndKeepsAStop) {
  CCmThreadTask* task = static_cast<CCmThreadTask*>(NewTask("sleeper"));
  ThreadWaiter sleeping, firedDuringSleep;
  std::chrono::steady_clock::duration slept{};
  Post(task, [&] {
    const auto start = std::chrono::steady_clock::now();
    sleeping.Finished();
    task->SleepMsWithLoop(60);
    slept = std::chrono::steady_clock::now() - start;
    return 0;
  });
  ASSERT_TRUE(sleeping.WaitUntilTimeout(kLimit));
  Post(task, [&] { return firedDuringSleep.Finished(), 0; });
  EXPECT_TRUE(firedDuringSleep.WaitUntilTimeout(kLimit));
  // A Stop whose stop event the sleep's clean-up drops still ends the loop.
  Post(task, [&] {
    task->Stop(nullptr);
    task->SleepMsWithLoop(0);
    return 0;
  });
  task->Join();
  EXPECT_EQ(task->GetStopFlag(), 1);
  EXPECT_GE(slept, std::chrono::milliseconds(59));  // a millisecond tick count
  task->Destory(0);
}

int g_nHookCalls = 0;
std::string g_strHookName;
CmCreateUserTaskThreadFunc g_pfnPrevious = nullptr;
int RecordingCreator(const char* aName, ACmThread*& aThread, TFlag aFlag, bool aWithTimerQueue, int aType) {
  ++g_nHookCalls;
  g_strHookName = aName;
  EXPECT_EQ(aFlag, TFLAG_DETACHED | TFLAG_JOINABLE);
  EXPECT_FALSE(aWithTimerQueue);
  EXPECT_EQ(aType, 21);
  return g_pfnPrevious(aName, aThread, aFlag, aWithTimerQueue, aType);
}

TEST(CreateUserTaskThread, HookSeesTheArgumentsAndKindsFollowTheRequest) {
  g_nHookCalls = 0;
  g_pfnPrevious = setCreateUserTaskThread(&RecordingCreator);
  ACmThread* worker = nullptr;
  ASSERT_EQ(CreateUserTaskThread("hooked", worker, TFLAG_DETACHED | TFLAG_JOINABLE, false, 21), 0);
  EXPECT_EQ(g_strHookName, "hooked");
  EXPECT_EQ(worker->GetTimerQueue(), nullptr);  // events only
  StopJoinDestory(worker);
  EXPECT_EQ(setCreateUserTaskThread(g_pfnPrevious), &RecordingCreator);
  ASSERT_EQ(CreateUserTaskThread("built-in", worker), 0);
  EXPECT_EQ(g_nHookCalls, 1);
  EXPECT_NE(worker->GetTimerQueue(), nullptr);
  StopJoinDestory(worker);

  cm_set_default_timer_type(7);  // a kind without storage: no timers
  worker = NewTask("no-timers");
  EXPECT_EQ(worker->GetTimerQueue(), nullptr);
  StopJoinDestory(worker);
  // Every storage kind, as chosen when the thread starts.
  for (const auto& [kind, type] : {std::pair<int32_t, const std::type_info*>{CmQueueType_MinHeap, &typeid(CCmTimerMinHeapQueue)},
                                   {CmQueueType_Wheel, &typeid(CCmTimerWheelQueue)},
                                   {CmQueueType_OrderedList, &typeid(CCmTimerQueueOrderedList)}}) {
    cm_set_default_timer_type(kind);
    worker = NewTask("kind");
    ASSERT_NE(worker->GetTimerQueue(), nullptr);
    EXPECT_EQ(typeid(*worker->GetTimerQueue()), *type);
    ThreadWaiter fired;
    Timer timer([&] { fired.Finished(); });
    worker->GetEventQueue()->SendEvent(CmMakeInvokeEvent(
        [&] { return worker->GetTimerQueue()->ScheduleTimer(&timer, nullptr, CCmTimeValue(0L, 1000L), 1); }));
    EXPECT_TRUE(fired.WaitUntilTimeout(kLimit));
    StopJoinDestory(worker);
  }
}

TEST(zar_set_thread_name, NamesTheCallingThreadWithinTheKernelLimit) {
  EXPECT_EQ(zar_set_thread_name(nullptr), ZAR_E_INVALIDARG);
  std::string name;
  std::thread([&] {
    EXPECT_EQ(zar_set_thread_name("\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB5\xCE\xB6\xCE\xB7\xCE\xB8"), 0);
    std::ifstream comm("/proc/self/task/" + std::to_string(GetThreadSelfId()) + "/comm");
    std::getline(comm, name);
  }).join();
  EXPECT_EQ(name, "\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB5\xCE\xB6\xCE\xB7");  // not cut inside a character
}

std::vector<long> g_Delays;
void RecordDelay(long aDelayMs) { g_Delays.push_back(aDelayMs); }
int g_nBeatHooks = 0;
void BeatHook() { ++g_nBeatHooks; }

// Everything on the calling thread, which the heart beat adopts.
TEST(CCmThreadHeartBeat, AsksItsHostForTheRightDelays) {
  TraceCapture trace;
  ManualClock clock;
  g_Delays.clear();
  g_nBeatHooks = 0;
  CCmThreadHeartBeat* beat = new CCmThreadHeartBeat;
  ASSERT_EQ(beat->Create("beat", TT_HOST), 0);
  beat->OnThreadInit();
  beat->GetEventQueue()->Start();
  beat->SetScheduler(&RecordDelay);
  auto delays = [] {
    std::vector<long> d;
    d.swap(g_Delays);
    return d;
  };

  EventTally tally;
  beat->GetEventQueue()->PostEvent(new ProbeEvent(tally));
  EXPECT_EQ(delays(), std::vector<long>{0});  // a post: call me now
  int fired = 0;
  Timer timer([&] { ++fired; });
  ICmTimerQueue* timers = beat->GetTimerQueue();
  timers->ScheduleTimer(&timer, nullptr, CCmTimeValue(2L, 300000L), 1);
  EXPECT_EQ(delays(), (std::vector<long>{10, 10}));  // "TimerQueue", then "TimerQueueOnDemand"
  EXPECT_EQ(beat->DoHeartBeat(), 0);
  EXPECT_EQ(tally.fired, 1);
  EXPECT_EQ(delays(), std::vector<long>{1000});  // 2.3 s away: clamped
  beat->DoHeartBeat();
  EXPECT_EQ(delays(), std::vector<long>{200});  // the same deadline as last time
  for (const auto& [ms, expected] : {std::pair<long, long>{3, 10}, {100, 105}}) {
    CCmTimeValue interval;
    interval.SetByTotalMsec(ms);
    EXPECT_EQ(timers->ScheduleTimer(&timer, nullptr, interval, 1), ZAR_E_ALREADY_EXISTS);
    beat->DoHeartBeat();
    EXPECT_EQ(delays(), std::vector<long>{expected});
  }
  clock.AdvanceMs(100);
  beat->DoHeartBeat();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(delays(), std::vector<long>{200});  // no timer left

  beat->SetEventHook(&BeatHook);
  beat->GetEventQueue()->PostEvent(CmMakeInvokeEvent([] { return 0; }));
  EXPECT_EQ(beat->DoHeartBeat(), ZAR_E_EVENT_HOOKED);
  EXPECT_EQ(g_nBeatHooks, 1);
  beat->OnThreadRun();  // never with a scheduler
  EXPECT_TRUE(trace.Contains("CCmThreadHeartBeat::OnThreadRun, with scheduler you should never call OnThreadRun", 0));
  beat->Stop(nullptr);
  delays();
  beat->GetEventQueue()->PostEvent(CmMakeInvokeEvent([] { return 0; }));
  EXPECT_TRUE(delays().empty());  // the scheduler is gone
  beat->Destory(0);
}

}  // namespace
