// Events, semaphores, the condition variable and ThreadWaiter. Waits on real
// threads assert "not earlier than" with slack and use latches, never sleeps
// as synchronisation.
#include "CmConditionVariable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ThreadWaiter.h"
#include "TraceCapture.h"
#include "platform/CmPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point aStart) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count());
}

TEST(CmTimeout, ConversionRules) {
  EXPECT_EQ(CmTimeoutToMilliseconds(nullptr), -1);
  // Sub-millisecond waits round up to 1 ms; negative ones do not wait.
  const std::tuple<long, long, long> cases[] = {{0, 500, 1},       {0, 0, 0},    {-1, 0, 0},  {0, -500, 0},
                                                {1, 999999, 1999}, {0, 1500, 1}, {3, 0, 3000}};
  for (auto [sec, usec, expected] : cases) {
    const CCmTimeValue tv(sec, usec);
    EXPECT_EQ(CmTimeoutToMilliseconds(&tv), expected) << sec << " s " << usec << " us";
  }
  const CCmTimeValue max = CCmTimeValue::get_tvMax();
  EXPECT_GT(CmTimeoutToMilliseconds(&max), 2147483647L);  // no 32-bit wrap to a short wait
}

TEST(CCmEventThread, TimeoutsAndSignals) {
  CCmEventThread ev;  // automatic reset, not signalled
  CCmTimeValue zero(0, 0), negative(-1, 0), halfMs(0, 500), tenMs(0, 10000);
  const std::pair<CCmTimeValue*, long> waits[] = {{&zero, 0}, {&negative, 0}, {&halfMs, 1}, {&tenMs, 10}};
  for (auto [timeout, atLeastMs] : waits) {
    const auto start = Clock::now();
    EXPECT_EQ(ev.Wait(timeout), ZAR_E_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), atLeastMs);
  }
  EXPECT_EQ(ev.Signal(), 0);
  EXPECT_EQ(ev.Wait(&zero), 0);
  EXPECT_EQ(ev.Wait(&zero), ZAR_E_TIMEOUT);  // automatic reset consumed it
  EXPECT_EQ(ev.Signal(), 0);
  EXPECT_EQ(ev.Reset(), 0);
  EXPECT_EQ(ev.Wait(&zero), ZAR_E_TIMEOUT);
}

TEST(CCmEventThread, NullWaitBlocksAndManualResetReleasesEveryWaiter) {
  CCmEventThread ev(1, 0);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (ev.Wait(nullptr) == 0) ++released;
    });
  }
  CCmTimeValue pause(0, 20000), zero;
  CCmEventThread().Wait(&pause);
  EXPECT_EQ(released.load(), 0);  // a wait without limit does not return unsignalled
  EXPECT_EQ(ev.Signal(), 0);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(ev.Wait(&zero), 0);  // stays signalled until Reset
  ev.Reset();
  EXPECT_EQ(ev.Wait(&zero), ZAR_E_TIMEOUT);
  EXPECT_EQ(CCmEventThread(1, 1).Wait(&zero), 0);
}

TEST(CCmEventThread, FailedCreationIsTracedAndEveryUseFails) {
  TraceCapture trace;
  cm_platform::FailCreationsForTesting(1);
  {
    CCmEventThread ev;
    CCmTimeValue zero;
    EXPECT_EQ(ev.Signal(), ZAR_E_FAIL);
    EXPECT_EQ(ev.Reset(), ZAR_E_FAIL);
    EXPECT_EQ(ev.Wait(&zero), ZAR_E_FAIL);
  }
  for (const char* line : {"CCmEventThread, CreateEventA() failed! err=12 [this=0x", "Signal, SetEvent failed! err=22",
                           "Reset, Reset() failed! err=22", "Wait, WaitForSingleObject() failed! result=-1 err=22",
                           "~CCmEventThread, CloseHandle() failed! err=22"}) {
    EXPECT_TRUE(trace.Contains(std::string("CCmEventThread::") + line, 1)) << line;
  }
}

TEST(CCmSemaphore, CountsAndMaximum) {
  TraceCapture trace;
  CCmSemaphore sem(1, nullptr, 3);
  EXPECT_EQ(sem.Lock(), 0);
  EXPECT_EQ(sem.PostN(3), 0);
  EXPECT_EQ(sem.UnLock(), ZAR_E_FAIL);  // would pass the maximum
  EXPECT_TRUE(trace.Contains("CCmSemaphore::UnLock, ReleaseSemaphore() failed! err=", 1));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sem.Lock(), 0);

  std::atomic<int> got{0};
  std::thread taker([&] {
    if (sem.Lock() == 0) ++got;
  });
  EXPECT_EQ(sem.UnLock(), 0);
  taker.join();
  EXPECT_EQ(got.load(), 1);
}

TEST(CCmSemaphore, FailedCreationIsTraced) {
  TraceCapture trace;
  cm_platform::FailCreationsForTesting(1);
  {
    CCmSemaphore sem;
    EXPECT_EQ(sem.Lock(), ZAR_E_FAIL);
    EXPECT_EQ(sem.PostN(1), ZAR_E_FAIL);
  }
  for (const char* line :
       {"CCmSemaphore, CreateSemaphoreA() failed! err=12", "Lock, WaitForSingleObject() failed! dwRet=-1 err=22",
        "~CCmSemaphore, CloseHandle() failed! err=22"}) {
    EXPECT_TRUE(trace.Contains(std::string("CCmSemaphore::") + line, 1)) << line;
  }
}

class ConditionVariableTest : public ::testing::Test {
 protected:
  CCmMutexThread m_Mutex;
  CCmConditionVariableThread m_Cond{m_Mutex};
};

TEST_F(ConditionVariableTest, SignalWithoutWaiterIsLost) {
  EXPECT_EQ(m_Cond.Signal(), 0);
  CCmTimeValue tenMs(0, 10000);
  m_Mutex.Lock();
  const auto start = Clock::now();
  EXPECT_EQ(m_Cond.Wait(&tenMs), ZAR_E_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 10);
  // Wait returned with the mutex held again: another thread cannot take it.
  int other = 0;
  std::thread([&] { other = m_Mutex.TryLock(); }).join();
  EXPECT_EQ(other, ZAR_E_FAIL);
  m_Mutex.UnLock();
  EXPECT_EQ(&m_Cond.GetUnderlyingMutex(), &m_Mutex);
}

TEST_F(ConditionVariableTest, SignalWakesOneWaiter) {
  bool ready = false;
  std::atomic<int> woken{0};
  ThreadWaiter waiting(1);
  std::thread waiter([&] {
    m_Mutex.Lock();
    waiting.Finished();
    while (!ready) {
      if (m_Cond.Wait(nullptr) != 0) break;
    }
    ++woken;
    m_Mutex.UnLock();
  });
  waiting.WaitUntilFinished();
  m_Mutex.Lock();  // the waiter is inside Wait once it released the mutex
  ready = true;
  EXPECT_EQ(m_Cond.Signal(), 0);
  m_Mutex.UnLock();
  waiter.join();
  EXPECT_EQ(woken.load(), 1);
}

TEST_F(ConditionVariableTest, BroadcastReturnsAfterEveryWaiterLeft) {
  const int kWaiters = 3;
  std::atomic<int> inWait{0};
  std::atomic<int> leftWait{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      m_Mutex.Lock();
      ++inWait;
      EXPECT_EQ(m_Cond.Wait(nullptr), 0);
      ++leftWait;
      m_Mutex.UnLock();
    });
  }
  // A waiter counts itself in before it releases the mutex, so once all three
  // incremented inWait and we can take the mutex, all three are waiting.
  while (inWait.load() < kWaiters) std::this_thread::yield();
  m_Mutex.Lock();
  EXPECT_EQ(m_Cond.Broadcast(), 0);  // with the mutex held, as callers may
  // Every waiter has left its semaphore wait; each now needs the mutex.
  EXPECT_EQ(leftWait.load(), 0);
  m_Mutex.UnLock();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(leftWait.load(), kWaiters);
  EXPECT_EQ(m_Cond.Broadcast(), 0);  // no waiter: returns at once
}

TEST_F(ConditionVariableTest, WaitWithDestroyedExternalMutexAsserts) {
  TraceCapture trace;
  alignas(CCmMutexThread) unsigned char storage[sizeof(CCmMutexThread)];
  CCmMutexThread* dead = new (storage) CCmMutexThread;
  CCmConditionVariableThread cond(*dead);
  static_cast<CCmMutexThreadBase*>(dead)->~CCmMutexThreadBase();
  CCmTimeValue zero;
  EXPECT_EQ(cond.Wait(&zero), ZAR_E_FAIL);
  EXPECT_NE(trace.Find(" Assert failed: IS_ZAR_OK(rv)").find("CmConditionVariable.cpp:"), std::string::npos);
  // The failed wait left no phantom waiter behind.
  EXPECT_EQ(cond.Broadcast(), 0);
}

TEST(ThreadWaiter, CountsArrivalsResetsAndReleasesEveryWaiter) {
  ThreadWaiter waiter(2);
  waiter.Finished();
  EXPECT_FALSE(waiter.WaitUntilTimeout(std::chrono::milliseconds(10)));
  waiter.Finished();
  EXPECT_TRUE(waiter.WaitUntilTimeout(std::chrono::milliseconds(10)));
  waiter.Finished();  // extra arrivals change nothing
  EXPECT_TRUE(waiter.Reset(1));
  EXPECT_FALSE(waiter.WaitUntilTimeout(std::chrono::milliseconds(1)));
  EXPECT_FALSE(waiter.Reset(1));
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      waiter.WaitUntilFinished();
      ++released;
    });
  }
  std::thread([&] { waiter.Finished(); }).join();
  for (auto& t : threads) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(waiter.WaitUntilTimeout(std::chrono::milliseconds::max()));
}

}  // namespace
