#include "CmMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "TraceCapture.h"

namespace {

// The contract every real mutex of the family keeps.
template <class M>
class RealMutexTest : public ::testing::Test {};
using RealMutexes = ::testing::Types<CCmMutexThread, CCmMutexThreadRecursive>;
TYPED_TEST_SUITE(RealMutexTest, RealMutexes);

TYPED_TEST(RealMutexTest, HolderMayLockAgain) {
  TypeParam m;
  EXPECT_EQ(m.Lock(), 0);
  EXPECT_EQ(m.Lock(), 0);
  EXPECT_EQ(m.TryLock(), 0);
  EXPECT_EQ(m.UnLock(), 0);
  EXPECT_EQ(m.UnLock(), 0);
  EXPECT_EQ(m.UnLock(), 0);
}

TYPED_TEST(RealMutexTest, TryLockFailsWhileAnotherThreadHolds) {
  TypeParam m;
  ASSERT_EQ(m.Lock(), 0);
  int fromOther = 0;
  std::thread([&] { fromOther = m.TryLock(); }).join();
  EXPECT_EQ(fromOther, ZAR_E_FAIL);
  // Recursion depth is tracked: one UnLock of two Locks still holds it.
  ASSERT_EQ(m.Lock(), 0);
  ASSERT_EQ(m.UnLock(), 0);
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

struct DeadMutexResults {
  int lock, tryLock, unLock;
};

// The memory stays ours and readable; the lock's life has ended.
CM_NO_SANITIZE_VPTR DeadMutexResults UseDeadMutex(CCmMutexThreadBase* aMutex) {
  return {aMutex->Lock(), aMutex->TryLock(), aMutex->UnLock()};
}

TYPED_TEST(RealMutexTest, UseAfterDestructionRefusesWithLine) {
  TraceCapture trace;
  alignas(TypeParam) unsigned char storage[sizeof(TypeParam)];
  CCmMutexThreadBase* m = new (storage) TypeParam;
  m->~CCmMutexThreadBase();
  const DeadMutexResults r = UseDeadMutex(m);
  EXPECT_EQ(r.lock, ZAR_E_FAIL);
  EXPECT_EQ(r.tryLock, ZAR_E_FAIL);
  EXPECT_EQ(r.unLock, ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("CCmMutexThreadBase::Lock() object instances already released [this=0x", 0));
  EXPECT_TRUE(trace.Contains("CCmMutexThreadBase::TryLock() object instances already released", 0));
  EXPECT_TRUE(trace.Contains("CCmMutexThreadBase::UnLock() object instances already released", 0));
}

TEST(CCmFakeMutex, TryLockReportsHeld) {
  CCmFakeMutex m;
  EXPECT_EQ(m.TryLock(), 0);
  EXPECT_EQ(m.TryLock(), ZAR_E_FAIL);
  EXPECT_EQ(m.UnLock(), 0);
  EXPECT_EQ(m.TryLock(), 0);
  EXPECT_EQ(m.Lock(), 0);
  EXPECT_EQ(m.TryLock(), ZAR_E_FAIL);
}

TEST(CCmMutexNull, NeverBlocksOrRefuses) {
  CCmMutexNull n;
  CCmMutexNullSingleThread s;
  EXPECT_EQ(n.Lock() | n.TryLock() | n.TryLock() | n.UnLock(), 0);
  EXPECT_EQ(s.Lock() | s.TryLock() | s.TryLock() | s.UnLock(), 0);
}

TEST(CCmSpinLock, TryLockAndExclusion) {
  CCmSpinLock lock;
  EXPECT_EQ(lock.try_lock(), 0);
  EXPECT_EQ(lock.try_lock(), -1);
  EXPECT_EQ(lock.unlock(), 0);
  EXPECT_EQ(lock.try_lock(), 0);
  lock.unlock();

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
