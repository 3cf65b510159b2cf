// Threads and event loops: a task thread receiving posted and sent events
// and firing a timer, a heart-beat thread driven by a host's scheduler, a
// named shared thread, and the registry lookups.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "CmTrace.h"
#include "Demo.h"
#include "ThreadWaiter.h"

namespace {

constexpr std::chrono::seconds kLimit(10);

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

class Tick : public ICmTimerHandler {
 public:
  Tick(int aLimit, ThreadWaiter* aDone) : m_nLimit(aLimit), m_pDone(aDone) {}
  void OnTimeout(const CCmTimeValue& aNow, void*) override {
    printf("    timer %d fires on thread %lu at %ld.%06ld\n", ++count, GetThreadSelfId(), aNow.GetSec(), aNow.GetUsec());
    if (count == m_nLimit) m_pDone->Finished();
  }
  int count = 0;

 private:
  int m_nLimit;
  ThreadWaiter* m_pDone;
};

int TaskThreadSection() {
  int failures = 0;
  DemoTitle("Task thread: posted and sent events, a timer, the registry");
  ACmThread* worker = nullptr;
  failures += Check(CreateUserTaskThread("demo-worker", worker, TFLAG_JOINABLE, true, 42) == 0, "CreateUserTaskThread");
  if (!worker) return failures;
  printf("  main thread %lu, worker thread %lu\n", GetThreadSelfId(), worker->GetThreadId());
  ICmEventQueue* queue = worker->GetEventQueue();

  ThreadWaiter posted(3);
  for (int i = 1; i <= 3; ++i) {
    queue->PostEvent(CmMakeInvokeEvent([i, &posted] {
      printf("    posted event %d fires on thread %lu\n", i, GetThreadSelfId());
      posted.Finished();
      return 0;
    }));
  }
  failures += Check(posted.WaitUntilTimeout(kLimit), "3 posted events fired in order on the worker");
  const int sent = queue->SendEvent(CmMakeInvokeEvent([] { return getCurrentThread() == GetThread(TT_CALLING) ? 7 : -1; }));
  failures += Check(sent == 7, "SendEvent returned the event's result (7)");

  ThreadWaiter ticked;
  Tick tick(3, &ticked);
  queue->SendEvent(CmMakeInvokeEvent([&] {
    return worker->GetTimerQueue()->ScheduleTimer(&tick, nullptr, CCmTimeValue(0L, 20000L), 3);
  }));
  failures += Check(ticked.WaitUntilTimeout(kLimit), "20 ms timer fired 3 times on the worker");

  failures += Check(GetThread(42) == worker, "GetThread(42) finds the worker by type");
  failures += Check(GetThreadById(worker->GetThreadId()) == worker, "GetThreadById finds it by id");
  failures += Check(getCurrentThread() == nullptr, "main is not a library thread");

  ACmThread* shared = nullptr;
  ACmThread* again = nullptr;
  ACmThreadSingletonFactory& factory = ACmThreadSingletonFactory::Instance();
  factory.GetSingletonThread("demo-shared", shared);
  factory.GetSingletonThread("demo-shared", again);
  failures += Check(shared && shared == again, "two users of \"demo-shared\" get one thread");
  factory.ResleseSingletonThread("demo-shared", shared);
  factory.ResleseSingletonThread("demo-shared", again);

  worker->Stop(nullptr);
  worker->Join();
  worker->Destory(0);
  failures += Check(GetThread(42) == nullptr, "after Stop, Join, Destory the worker is gone");
  return failures;
}

// The host's side of a heart-beat thread: its own loop, which calls
// DoHeartBeat when the beat asked to be called.
class HostLoop {
 public:
  static void Schedule(long aDelayMs) { s_pInstance->Request(aDelayMs); }

  explicit HostLoop(std::vector<long>& aDelays) : m_Delays(aDelays) { s_pInstance = this; }
  void Request(long aDelayMs) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Delays.push_back(aDelayMs);
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(aDelayMs);
    if (due < m_Due) m_Due = due;
    m_Cond.notify_one();
  }
  // Runs on the host thread until Quit.
  void Run(CCmThreadHeartBeat* aBeat) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (!m_bQuit) {
      if (m_Cond.wait_until(lock, m_Due) == std::cv_status::timeout || std::chrono::steady_clock::now() >= m_Due) {
        m_Due = std::chrono::steady_clock::time_point::max();
        lock.unlock();
        aBeat->DoHeartBeat();
        lock.lock();
      }
    }
  }
  void Quit() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bQuit = true;
    m_Cond.notify_one();
  }

 private:
  static HostLoop* s_pInstance;
  std::vector<long>& m_Delays;
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::chrono::steady_clock::time_point m_Due = std::chrono::steady_clock::time_point::max();
  bool m_bQuit = false;
};
HostLoop* HostLoop::s_pInstance = nullptr;

int HeartBeatSection() {
  int failures = 0;
  DemoTitle("Heart-beat thread driven by the host's scheduler");
  std::vector<long> delays;
  HostLoop host(delays);
  ThreadWaiter ready, ticked, eventFired;
  CCmThreadHeartBeat* beat = nullptr;
  std::thread hostThread([&] {
    beat = new CCmThreadHeartBeat;
    beat->Create("demo-beat", TT_HOST);  // the host's own thread
    beat->OnThreadInit();
    beat->GetEventQueue()->Start();
    beat->SetScheduler(&HostLoop::Schedule);
    ready.Finished();
    host.Run(beat);
    beat->Destory(0);
  });
  ready.WaitUntilTimeout(kLimit);
  const unsigned long hostTid = beat->GetThreadId();
  Tick tick(2, &ticked);
  beat->GetEventQueue()->PostEvent(CmMakeInvokeEvent([&] {
    printf("    posted event fires on the host thread: %s\n", GetThreadSelfId() == hostTid ? "yes" : "no");
    eventFired.Finished();
    return beat->GetTimerQueue()->ScheduleTimer(&tick, nullptr, CCmTimeValue(0L, 30000L), 2);
  }));
  failures += Check(eventFired.WaitUntilTimeout(kLimit), "a post asked for a beat at once and fired there");
  failures += Check(ticked.WaitUntilTimeout(kLimit), "30 ms timer fired twice, in beats the host ran");
  beat->Stop(nullptr);  // no more requests to the host
  host.Quit();
  hostThread.join();
  printf("  delays the beat asked for (ms):");
  for (long d : delays) printf(" %ld", d);
  printf("\n");
  failures += Check(!delays.empty() && delays.front() == 0, "the first request was 0 ms (an event was posted)");
  return failures;
}

}  // namespace

int DemoThreads() {
  // Thread start-up and shutdown write many info lines; show warnings only.
  const unsigned mask = get_external_trace_mask();
  set_external_trace_mask(1);
  int failures = TaskThreadSection();
  failures += HeartBeatSection();
  set_external_trace_mask(mask);
  return failures;
}
