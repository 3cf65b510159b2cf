// Timers: timer wrappers on a task thread (one-shot, periodic, cancelled
// from another thread), the timer queue kinds side by side, the clocks and
// the low-tick thread.
#include <chrono>
#include <thread>
#include <vector>

#include "CmClock.h"
#include "CmThread.h"
#include "CmTimerQueue.h"
#include "CmTimerWrapperID.h"
#include "CmTrace.h"
#include "Demo.h"
#include "ThreadWaiter.h"

namespace {

constexpr std::chrono::seconds kLimit(10);

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

class Sink : public CCmTimerWrapperIDSink {
 public:
  Sink(const char* aName, int aStopAfter, ThreadWaiter* aDone) : m_pName(aName), m_nStopAfter(aStopAfter), m_pDone(aDone) {}
  void OnTimer(CCmTimerWrapperID* aId) override {
    const int n = ++count;
    printf("    %s fires (%d) on thread %lu\n", m_pName, n, GetThreadSelfId());
    if (n == m_nStopAfter) {
      aId->Cancel();  // on the timer's own thread: removed at once
      if (m_pDone) m_pDone->Finished();
    }
  }
  std::atomic<int> count{0};

 private:
  const char* m_pName;
  int m_nStopAfter;
  ThreadWaiter* m_pDone;
};

int WrapperSection() {
  int failures = 0;
  DemoTitle("Timer wrappers on a task thread");
  ACmThread* worker = nullptr;
  CreateUserTaskThread("demo-timers", worker);
  if (!worker) return Check(false, "CreateUserTaskThread");
  printf("  main thread %lu, worker %lu\n", GetThreadSelfId(), worker->GetThreadId());

  ThreadWaiter oneShotDone, periodicDone;
  Sink oneShot("one-shot 20 ms", 1, &oneShotDone);
  Sink periodic("periodic 15 ms", 3, &periodicDone);
  Sink endless("endless 10 ms", 0, nullptr);
  CCmTimerWrapperID a, b, c;
  failures += Check(a.ScheduleInThread(worker, &oneShot, Ms(20), 1) == 0, "one-shot scheduled from main (posted)");
  failures += Check(b.ScheduleInThread(worker, &periodic, Ms(15), 0) == 0, "periodic scheduled from main");
  failures += Check(c.ScheduleInThread(worker, &endless, Ms(10), 0) == 0, "endless scheduled from main");
  failures += Check(oneShotDone.WaitUntilTimeout(kLimit) && periodicDone.WaitUntilTimeout(kLimit),
                    "one-shot fired once, periodic 3 times then cancelled itself");
  const int rv = c.Cancel();  // from main: handed to the worker, no firing starts afterwards
  const int seen = endless.count;
  worker->GetEventQueue()->SendEvent(CmMakeInvokeEvent([] { return 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  failures += Check(rv == ZAR_E_POINTER, "Cancel from main returns ZAR_E_POINTER (posted)");
  failures += Check(endless.count == seen, "no OnTimer after Cancel returned");
  failures += Check(periodic.count == 3 && oneShot.count == 1, "counts: one-shot 1, periodic 3");
  printf("  endless fired %d times before its cancel\n", seen);
  worker->Stop(nullptr);
  worker->Join();
  worker->Destory(0);
  return failures;
}

class Recorder : public ICmTimerHandler {
 public:
  explicit Recorder(std::vector<int>* aLog, int aId) : m_pLog(aLog), m_nId(aId) {}
  void OnTimeout(const CCmTimeValue&, void*) override { m_pLog->push_back(m_nId); }

 private:
  std::vector<int>* m_pLog;
  int m_nId;
};

int KindsSection() {
  int failures = 0;
  DemoTitle("Timer queue kinds (driven here by hand)");
  const struct {
    CmQueueType type;
    const char* name;
  } kinds[] = {{CmQueueType_OrderedList, "ordered list"}, {CmQueueType_MinHeap, "min-heap"}, {CmQueueType_Wheel, "wheel"}};
  for (const auto& kind : kinds) {
    CCmTimerQueueBase* queue = CCmTimerQueueBase::CreateTimerQueue(nullptr, kind.type);
    std::vector<int> log;
    Recorder r30(&log, 30), r10(&log, 10), r20(&log, 20);
    queue->ScheduleTimer(&r30, nullptr, Ms(30), 1);
    queue->ScheduleTimer(&r10, nullptr, Ms(10), 1);
    queue->ScheduleTimer(&r20, nullptr, Ms(20), 1);
    const auto limit = std::chrono::steady_clock::now() + kLimit;
    while (log.size() < 3 && std::chrono::steady_clock::now() < limit) {
      CCmTimeValue remain;
      queue->CheckExpire(&remain);
      if (log.size() < 3) std::this_thread::sleep_for(std::chrono::microseconds(remain.GetSec() * 1000000 + remain.GetUsec()));
    }
    printf("  %-12s fired 30/10/20 ms timers in the order %d, %d, %d\n", kind.name, log.size() > 0 ? log[0] : 0,
           log.size() > 1 ? log[1] : 0, log.size() > 2 ? log[2] : 0);
    failures += Check(log == std::vector<int>({10, 20, 30}), "deadline order");
    delete queue;
  }
  printf("  wheel bucket of 1.234567 s: %d\n", CCmTimerWheelQueue::BucketIndex(CCmTimeValue(1L, 234567L)));

  CCmTimerQueueCalendar calendar(10, 1000, nullptr);  // ticked by its owner
  std::vector<int> log;
  Recorder r(&log, 25);
  calendar.ScheduleTimer(&r, nullptr, Ms(25), 1);
  int ticks = 0;
  while (log.empty() && ticks < 10) {
    calendar.TimerTick();
    ++ticks;
  }
  printf("  calendar (10 ms slots): a 25 ms timer fired at tick %d\n", ticks);
  failures += Check(ticks == 3, "calendar: ceil(25 / 10) = 3 ticks");
  return failures;
}

int ClockSection() {
  int failures = 0;
  DemoTitle("Clocks and the low-tick thread");
  set_mock_time(5000000);
  timer_fact<tick_policy> fact;
  timer_fact<tick_policy>::MockNow(7500000);
  printf("  mock time 5.0 s -> 7.5 s: elapsed %lld us, %lld ms, %lld s\n", fact.elapsed(), fact.elapsed_mills(),
         fact.elapsed_sec());
  failures += Check(fact.elapsed() == 2500000 && fact.elapsed_sec() == 2, "timer_fact on the mock time");
  timer_fact<tick_policy> wrapped(4294967000000LL);
  set_mock_time(1000000);
  failures += Check(wrapped.elapsed() == 1295000, "measured across a wrap of the 32-bit tick count");
  set_mock_time(kMockTimeDisabled);
  printf("  calculate_tick_interval(0xFFFFFFF0, 0x10) = 0x%lx\n", calculate_tick_interval(0xFFFFFFF0UL, 0x10UL));
  const tick_type split(7384123456LL);
  printf("  tick 7384123456 us = %uh %um %us %ums %uus\n", split.hours, split.minutes, split.seconds, split.milliseconds,
         split.microseconds);
  const time_type local = formatted_timer::now();
  printf("  local time now: %04d-%02d-%02d %02d:%02d:%02d.%03d\n", local.year, local.month, local.day, local.hour,
         local.minute, local.second, local.millisecond);

  startLowTick();
  startLowTick();
  const unsigned long long t1 = low_tick_policy::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const unsigned long long t2 = low_tick_policy::now();
  printf("  low_tick_policy::now(): %llu -> %llu us after 50 ms (10 ms resolution)\n", t1, t2);
  failures += Check(t2 > t1, "the t-tick thread refreshes the low tick");
  stopLowTick();
  stopLowTick();
  failures += Check(g_qwCmLowTickUs.load() == kMockTimeDisabled, "the last stopLowTick ended the t-tick thread");
  return failures;
}

}  // namespace

int DemoTimers() {
  const unsigned mask = get_external_trace_mask();
  set_external_trace_mask(1);
  int failures = WrapperSection();
  failures += KindsSection();
  failures += ClockSection();
  set_external_trace_mask(mask);
  return failures;
}
