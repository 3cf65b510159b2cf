// Reference counting, the stop flag, the owner marker, the exit guard and
// the library's version.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CmMutex.h"
#include "CmString.h"
#include "CmStopFlag.h"
#include "CmUtilTemplates.h"
#include "CmVersion.h"

namespace {

std::atomic<int> g_destroyed{0};

class Counted : public CCmReferenceControlT<CCmMutexThread> {
 public:
  ~Counted() override { ++g_destroyed; }
};

class CustomDisposal : public CCmReferenceControlT<CCmMutexNullSingleThread> {
 public:
  explicit CustomDisposal(int* aDisposed) : m_pDisposed(aDisposed) {}

 protected:
  void OnReferenceDestory() override { ++*m_pDisposed; }  // does not delete

 private:
  int* m_pDisposed;
};

TEST(CCmReferenceControlT, LastReleaseDeletesOnce) {
  g_destroyed = 0;
  Counted* p = new Counted;
  // Braced lists evaluate left to right: the counts after each step.
  EXPECT_EQ(
      (std::vector<unsigned long>{p->GetReference(), p->AddReference(), p->AddReference(), p->ReleaseReference()}),
      (std::vector<unsigned long>{0, 1, 2, 1}));
  EXPECT_EQ(g_destroyed.load(), 0);
  EXPECT_EQ(p->ReleaseReference(), 0u);
  EXPECT_EQ(g_destroyed.load(), 1);
}

TEST(CCmReferenceControlT, OverriddenDisposalAndCopiedCount) {
  int disposed = 0;
  CustomDisposal obj(&disposed);
  obj.AddReference();
  obj.AddReference();
  CustomDisposal copy(obj);
  EXPECT_EQ(copy.GetReference(), 2u);
  obj.ReleaseReference();
  obj.ReleaseReference();
  EXPECT_EQ(disposed, 1);
  copy.ReleaseReference();
  EXPECT_EQ(copy.ReleaseReference(), 0u);
  EXPECT_EQ(disposed, 2);
}

TEST(CCmReferenceControlT, ConcurrentReleaseDestroysExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    g_destroyed = 0;
    Counted* p = new Counted;
    const int kThreads = 4, kPerThread = 1000;
    p->AddReference();  // held by the test until every thread has its share
    for (int i = 0; i < kThreads * kPerThread; ++i) p->AddReference();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([p] {
        for (int i = 0; i < kPerThread; ++i) {
          p->AddReference();
          p->ReleaseReference();
          p->ReleaseReference();
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_destroyed.load(), 0);
    EXPECT_EQ(p->ReleaseReference(), 0u);
    EXPECT_EQ(g_destroyed.load(), 1);
  }
}

TEST(CCmStopFlag, NewFlagReadsStoppedFormsAgreeAndStopsCrossThreads) {
  CCmStopFlag flag;
  EXPECT_TRUE(flag.IsFlagStopped());
  flag.SetStartFlag();
  EXPECT_FALSE(flag.IsFlagStopped());
  EXPECT_FALSE(flag.IsFlagStoppedWithoutThreadCheck());
  flag.SetStopFlag();
  EXPECT_TRUE(flag.IsFlagStoppedWithoutThreadCheck());
  flag.SetStopFlagWithoutThreadCheck(false);
  EXPECT_FALSE(flag.IsFlagStopped());
  std::thread stopper([&flag] { flag.SetStopFlag(); });
  while (!flag.IsFlagStopped()) std::this_thread::yield();  // seen here, or the test times out
  stopper.join();
}

TEST(CCmEnsureSingleThread, RecordsOwnerAndCopies) {
  CCmEnsureSingleThread owner;
  const unsigned long mine = owner.GetThreadId();
  EXPECT_NE(mine, 0u);
  unsigned long other = 0;
  std::thread([&other] { other = CCmEnsureSingleThread().GetThreadId(); }).join();
  EXPECT_NE(other, mine);
  owner.Reset2ThreadId(42);
  CCmEnsureSingleThread copy;
  copy = owner;
  EXPECT_EQ(copy.GetThreadId(), 42u);
  copy.Reset2CurrentThreadInfo();
  EXPECT_EQ(copy.GetThreadId(), mine);
}

TEST(CCmMainThreadExitProtect, SetsFlagOnlyWhenPointed) {
  bool exited = false;
  { CCmMainThreadExitProtect unset; }
  EXPECT_FALSE(exited);
  {
    CCmMainThreadExitProtect guard;
    guard.m_pExitFlag = &exited;
  }
  EXPECT_TRUE(exited);
}

// CCmString is the standard string with nothing added.
static_assert(sizeof(CCmString) == sizeof(std::string), "CCmString adds no data");

}  // namespace

// The loaded library reports the version this test was compiled against, as
// the three numbers of the header joined by dots.
TEST(ZarUtilVersion, LoadedLibraryMatchesHeader) {
  const char* version = zar_util_version();
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, ZARUTIL_VERSION);
  EXPECT_EQ(std::string(version), std::to_string(ZARUTIL_VERSION_MAJOR) + "." + std::to_string(ZARUTIL_VERSION_MINOR) +
                                      "." + std::to_string(ZARUTIL_VERSION_PATCH));
}
