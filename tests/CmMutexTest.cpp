#include "CmMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"

namespace {

using Codes = std::vector<int>;

// The contract every real mutex of the family keeps.
template <class M>
class RealMutexTest : public ::testing::Test {};
using RealMutexes = ::testing::Types<CCmMutexThread, CCmMutexThreadRecursive>;
TYPED_TEST_SUITE(RealMutexTest, RealMutexes);

TYPED_TEST(RealMutexTest, HolderMayLockAgainAndOthersCannotTry) {
  TypeParam m;
  ASSERT_EQ(m.Lock(), 0);
  int fromOther = 0;
  std::thread([&] { fromOther = m.TryLock(); }).join();
  EXPECT_EQ(fromOther, ZAR_E_FAIL);
  // The holder may lock again and the depth is tracked: two UnLocks of three Locks still hold it.
  EXPECT_EQ((Codes{m.Lock(), m.TryLock(), m.UnLock(), m.UnLock()}), Codes(4, 0));
  std::thread([&] { fromOther = m.TryLock(); }).join();
  EXPECT_EQ(fromOther, ZAR_E_FAIL);
  ASSERT_EQ(m.UnLock(), 0);
  std::thread([&] {
    fromOther = m.TryLock();
    if (fromOther == 0) m.UnLock();
  }).join();
  EXPECT_EQ(fromOther, 0);
}

TYPED_TEST(RealMutexTest, ExcludesConcurrentWriters) {
  TypeParam m;
  long counter = 0;  // deliberately non-atomic: the lock must make it exact
  const int kThreads = 4, kIterations = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        CCmMutexGuardT<TypeParam> guard(m);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kIterations);
}

// Threads that find the lock held for long stop spinning and sleep; every
// UnLock of the holder must let the next one in (a lost wake-up hangs it).
// Only the holder may unlock.
TYPED_TEST(RealMutexTest, SleepingWaitersAreWokenAndOnlyTheHolderUnlocks) {
  auto* m = new TypeParam;  // leaked, with the waiters, if a wake-up is lost
  ASSERT_EQ(m->Lock(), 0);
  int fromOther = 0;
  std::thread([&] { fromOther = m->UnLock(); }).join();
  EXPECT_EQ(fromOther, ZAR_E_FAIL);
  std::thread([&] { fromOther = m->TryLock(); }).join();
  EXPECT_EQ(fromOther, ZAR_E_FAIL);  // the refused UnLock left it held

  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    int entered = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([m, shared] {
      m->Lock();
      {
        std::lock_guard<std::mutex> lock(shared->mutex);
        ++shared->entered;
      }
      shared->done.notify_all();
      m->UnLock();
    });
  }
  // Held well past any spinning, so the waiters are asleep in the kernel.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    EXPECT_EQ(shared->entered, 0);
  }
  ASSERT_EQ(m->UnLock(), 0);
  std::unique_lock<std::mutex> lock(shared->mutex);
  const bool all = shared->done.wait_for(lock, std::chrono::seconds(30), [&] { return shared->entered == 3; });
  lock.unlock();
  EXPECT_TRUE(all) << "a waiter was never woken";
  for (auto& t : waiters) {
    if (all) {
      t.join();
    } else {
      t.detach();
    }
  }
  if (all) delete m;
}

// The memory stays ours and readable; the lock's life has ended.
CM_NO_SANITIZE_VPTR Codes UseDeadMutex(CCmMutexThreadBase* aMutex) {
  return {aMutex->Lock(), aMutex->TryLock(), aMutex->UnLock()};
}

TYPED_TEST(RealMutexTest, UseAfterDestructionRefusesWithLine) {
  TraceCapture trace;
  alignas(TypeParam) unsigned char storage[sizeof(TypeParam)];
  CCmMutexThreadBase* m = new (storage) TypeParam;
  m->~CCmMutexThreadBase();
  EXPECT_EQ(UseDeadMutex(m), Codes(3, ZAR_E_FAIL));
  for (const char* op : {"Lock", "TryLock", "UnLock"}) {
    EXPECT_TRUE(
        trace.Contains(std::string("CCmMutexThreadBase::") + op + "() object instances already released [this=0x", 0))
        << op;
  }
}

TEST(CCmFakeMutex, TryLockReportsHeld) {
  CCmFakeMutex m;
  EXPECT_EQ((Codes{m.TryLock(), m.TryLock(), m.UnLock(), m.TryLock(), m.Lock(), m.TryLock()}),
            (Codes{0, ZAR_E_FAIL, 0, 0, 0, ZAR_E_FAIL}));
}

TEST(CCmMutexNull, NeverBlocksOrRefuses) {
  CCmMutexNull n;
  CCmMutexNullSingleThread s;
  EXPECT_EQ(n.Lock() | n.TryLock() | n.TryLock() | n.UnLock(), 0);
  EXPECT_EQ(s.Lock() | s.TryLock() | s.TryLock() | s.UnLock(), 0);
}

TEST(CCmSpinLock, TryLockAndExclusion) {
  CCmSpinLock lock;
  EXPECT_EQ((std::vector<long>{lock.try_lock(), lock.try_lock(), lock.unlock(), lock.try_lock(), lock.unlock()}),
            (std::vector<long>{0, -1, 0, 0, 0}));

  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock.lock();
        ++counter;
        lock.unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
