// The thread registry while threads come and go: four churners create, use
// and destroy 2,000 task threads (full size; StressScale.h) while four
// other threads look threads up by type, by id and as the caller without
// pause. Each churner's threads have a type of their own, so while one is
// alive every lookup of it must find exactly that object, from outside and
// from inside, and once it is destroyed none may. The lookups themselves
// must not touch a freed entry (the sanitizer builds check that).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "CmTrace.h"
#include "StressScale.h"

namespace {

constexpr int kChurners = 4;
constexpr int kLookers = 4;
constexpr long kFullThreads = 2000;
constexpr int kFirstType = 1000;

TEST(ThreadRegistryStress, ChurnAgainstLookups) {
  // Lookups trace every miss; keep that out of the figures and the files.
  set_util_external_trace_sink([](unsigned, const char*, unsigned) {});
  cm_set_trace_option(0x4);
  set_external_trace_mask(0);

  const long perChurner = StressCount(kFullThreads) / kChurners + 1;
  std::atomic<unsigned long> liveIds[kChurners] = {};
  std::atomic<bool> churning{true};
  std::atomic<long> lookups{0}, found{0}, wrong{0}, created{0};

  std::vector<std::thread> lookers;
  for (int l = 0; l < kLookers; ++l) {
    lookers.emplace_back([&, l] {
      long n = 0, hits = 0;
      while (churning.load()) {
        const int c = static_cast<int>(n % kChurners);
        if (GetThread(kFirstType + c)) ++hits;
        if (const unsigned long id = liveIds[c].load()) {
          if (GetThreadById(id)) ++hits;
        }
        // A thread the library did not create is none of its threads.
        if (getCurrentThread() || GetThread(TT_CALLING) || GetThreadById(GetThreadSelfId())) wrong.fetch_add(1);
        n += 1 + l % 2;
        if (n % 16 == 0) std::this_thread::yield();
      }
      lookups.fetch_add(n);
      found.fetch_add(hits);
    });
  }

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> churners;
  for (int c = 0; c < kChurners; ++c) {
    churners.emplace_back([&, c] {
      const int type = kFirstType + c;
      for (long i = 0; i < perChurner; ++i) {
        ACmThread* t = nullptr;
        if (CreateUserTaskThread("churn", t, TFLAG_JOINABLE, i % 2 == 0, type) != 0 || !t) {
          wrong.fetch_add(1);
          continue;
        }
        created.fetch_add(1);
        const unsigned long id = t->GetThreadId();
        liveIds[c].store(id);
        if (GetThread(type) != t || GetThreadById(id) != t) wrong.fetch_add(1);
        // Every third thread is also asked who it is from inside.
        if (i % 3 == 0) {
          const int rv = t->GetEventQueue()->SendEvent(CmMakeInvokeEvent([t, id] {
            const bool ok = getCurrentThread() == t && GetThread(TT_CALLING) == t && GetThreadById(id) == t &&
                            GetThreadSelfId() == id;
            return ok ? 0 : -1;
          }));
          if (rv != 0) wrong.fetch_add(1);
        }
        liveIds[c].store(0);
        t->Stop(nullptr);
        t->Join();
        t->Destory(0);
        if (GetThread(type) != nullptr) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : churners) th.join();
  churning.store(false);
  for (auto& th : lookers) th.join();
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(created.load(), perChurner * kChurners);
  EXPECT_GT(lookups.load(), 0);
  for (int c = 0; c < kChurners; ++c) EXPECT_EQ(GetThread(kFirstType + c), nullptr);
  printf("%ld threads created and destroyed against %ld lookups (%ld found a live thread); %lld ms\n",
         created.load(), lookups.load(), found.load(), static_cast<long long>(elapsed.count()));
}

}  // namespace
