// Thread priorities over nice values, thread handles and the unsupported
// policies. Changes happen on spawned threads, and only downwards unless the
// process may raise priorities, so the test process itself is untouched.
#include "CmThreadPriority.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>

#include "CmThread.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

TEST(ThreadPriority, ScaleAndPolicyTables) {
  const char* names[] = {"Lowest", "BelowNormal", "Normal", "AboveNormal", "Highest", "TimeCritical"};
  const int natives[] = {-2, -1, 0, 1, 2, 15};
  for (int p = 0; p < 6; ++p) {
    EXPECT_STREQ(ThreadPriorityToString(static_cast<ZarThreadPriority>(p)), names[p]);
    EXPECT_EQ(ThreadPriorityToNative(static_cast<ZarThreadPriority>(p)), natives[p]);
    EXPECT_EQ(ThreadPriorityFromNative(natives[p]), p);
  }
  EXPECT_EQ(ThreadPriorityToNative(static_cast<ZarThreadPriority>(9)), 0);
  EXPECT_STREQ(ThreadPriorityToString(static_cast<ZarThreadPriority>(9)), "Unknown");
  EXPECT_EQ(ThreadPriorityFromNative(-15), ZarThreadPriority_Lowest);
  EXPECT_EQ(ThreadPriorityFromNative(3), ZarThreadPriority_TimeCritical);
  EXPECT_STREQ(ThreadPolicyToString(ZarThreadPolicy_Utility), "Utility");
  EXPECT_STREQ(ThreadPolicyToString(static_cast<ZarThreadPolicy>(7)), "Unknown");
  EXPECT_EQ(GetThreadPriorityMin(), -15);
  EXPECT_EQ(GetThreadPriorityMax(), 15);
}

TEST(ThreadPriority, InvalidHandlesIdsAndPoliciesAreRefused) {
  TraceCapture trace;
  void* const allBits = reinterpret_cast<void*>(~uintptr_t(0));
  int native = 5;
  unsigned long id = 0;
  EXPECT_EQ(SetThreadPriorityByHandle(nullptr, ZarThreadPriority_Normal), ZAR_E_INVALIDARG);
  EXPECT_EQ(SetThreadPriorityRawByHandle(allBits, 0), ZAR_E_INVALIDARG);
  EXPECT_EQ(GetThreadPriorityRawByHandle(nullptr, native), ZAR_E_INVALIDARG);
  EXPECT_EQ(CloseThreadHandle(allBits), ZAR_E_INVALIDARG);
  EXPECT_EQ(GetThreadIdFromHandle(nullptr, id), ZAR_E_INVALIDARG);
  for (const char* fn : {"SetThreadPriorityByHandle", "SetThreadPriorityRawByHandle", "GetThreadPriorityRawByHandle",
                         "CloseThreadHandle", "GetThreadIdFromHandle"}) {
    EXPECT_TRUE(trace.Contains(std::string(fn) + ": Invalid handle", 0)) << fn;
  }
  void* handle = allBits;
  EXPECT_EQ(OpenThreadHandleFromId(0x7ffffff0, handle), ZAR_E_FAIL);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(trace.Contains("OpenThreadHandleFromId: OpenThread failed, error=3", 0));

  ZarThreadPolicy policy = ZarThreadPolicy_Background;
  EXPECT_EQ(GetThreadPolicyByHandle(nullptr, policy), ZAR_E_NOTIMPL);
  EXPECT_EQ(SetThreadPolicyByHandle(nullptr, policy), ZAR_E_NOTIMPL);
  EXPECT_EQ(GetCurrentThreadPolicy(policy), ZAR_E_NOTIMPL);
  EXPECT_EQ(SetCurrentThreadPolicy(ZarThreadPolicy_UserInteractive), ZAR_E_NOTIMPL);
  EXPECT_EQ(policy, ZarThreadPolicy_Background);
  EXPECT_EQ(trace.Count(": Thread policy is not supported on ", 2), 4u);
}

// Only threads of this process are reached: the parent process (alive, and
// ours to renice when privileged) and an id of no thread at all are refused
// before the system is asked. The value set is the parent's own, so even a
// wrongly accepted call changes nothing.
TEST(ThreadPriority, ThreadsOfOtherProcessesAreRefused) {
  const unsigned long parent = static_cast<unsigned long>(getppid());
  errno = 0;
  const int parentNative = -getpriority(PRIO_PROCESS, static_cast<id_t>(parent));
  ASSERT_EQ(errno, 0);
  void* const parentHandle = reinterpret_cast<void*>(static_cast<uintptr_t>(parent));
  int native = 0;
  const struct {
    std::function<int()> call;
    const char* line;
  } cases[] = {
      {[&] { return SetThreadPriorityRawById(parent, parentNative); }, "SetThreadPriorityRawById: Invalid thread id"},
      {[&] { return SetThreadPriorityById(parent, ThreadPriorityFromNative(parentNative)); },
       "SetThreadPriorityById: Invalid thread id"},
      {[&] { return SetThreadPriorityRawById(0x7ffffff0, -1); }, "SetThreadPriorityRawById: Invalid thread id"},
      {[&] { return SetThreadPriorityById(0, ZarThreadPriority_Normal); }, "SetThreadPriorityById: Invalid thread id"},
      {[&] { return SetThreadPriorityRawByHandle(parentHandle, parentNative); },
       "SetThreadPriorityRawByHandle: Invalid handle"},
      {[&] { return SetThreadPriorityByHandle(parentHandle, ThreadPriorityFromNative(parentNative)); },
       "SetThreadPriorityByHandle: Invalid handle"},
      {[&] { return GetThreadPriorityRawByHandle(parentHandle, native); },
       "GetThreadPriorityRawByHandle: Invalid handle"},
  };
  for (const auto& c : cases) {
    TraceCapture trace;
    EXPECT_EQ(c.call(), ZAR_E_INVALIDARG) << c.line;
    ASSERT_EQ(trace.Lines().size(), 1u) << c.line;
    EXPECT_EQ(trace.Lines()[0].level, 0u);
    EXPECT_NE(trace.Lines()[0].text.find(c.line), std::string::npos) << trace.Lines()[0].text;
  }
}

TEST(ThreadPriority, CurrentThreadIsLoweredAndReadBack) {
  TraceCapture trace;
  std::thread([&] {
    int before = 0;
    ASSERT_EQ(GetCurrentThreadPriorityRaw(before), 0);
    const int lower = std::max(before - 3, -19);
    ASSERT_EQ(SetCurrentThreadPriorityRaw(lower), 0);
    EXPECT_TRUE(trace.Contains("SetCurrentThreadPriorityRaw: Priority changed from " + std::to_string(before) + " to " +
                               std::to_string(lower)));
    ZarThreadPriority step = ZarThreadPriority_Highest;
    EXPECT_EQ(GetCurrentThreadPriority(step), 0);
    EXPECT_EQ(step, ThreadPriorityFromNative(lower));
    if (lower > -15) {
      ASSERT_EQ(SetCurrentThreadPriorityRaw(-15), 0);
    }
    EXPECT_EQ(GetCurrentThreadPriority(step), 0);
    EXPECT_EQ(step, ZarThreadPriority_Lowest);  // -15 reads back as Lowest

    // Raising needs a privilege this process may lack; either way it says so.
    int now = 0;
    GetCurrentThreadPriorityRaw(now);
    const int rv = SetCurrentThreadPriority(ZarThreadPriority_TimeCritical);
    if (rv == 0) {
      EXPECT_TRUE(trace.Contains("SetCurrentThreadPriority: Priority changed from " + std::to_string(now) +
                                 " to 15 (TimeCritical)"));
    } else {
      EXPECT_EQ(rv, ZAR_E_FAIL);
      EXPECT_TRUE(trace.Contains("SetCurrentThreadPriority: SetThreadPriority failed, error=", 0));
    }
  }).join();
}

TEST(ThreadPriority, AnotherThreadIsReachedByIdAndByHandle) {
  ThreadWaiter ready, done;
  unsigned long tid = 0;
  std::thread worker([&] {
    tid = GetThreadSelfId();
    ready.Finished();
    done.WaitUntilTimeout(std::chrono::seconds(20));
  });
  ASSERT_TRUE(ready.WaitUntilTimeout(std::chrono::seconds(20)));
  void* handle = nullptr;
  ASSERT_EQ(OpenThreadHandleFromId(tid, handle), 0);
  unsigned long id = 0;
  EXPECT_EQ(GetThreadIdFromHandle(handle, id), 0);
  EXPECT_EQ(id, tid);
  int before = 0;
  ASSERT_EQ(GetThreadPriorityRawByHandle(handle, before), 0);
  EXPECT_EQ(SetThreadPriorityRawById(tid, before - 1), 0);
  int after = 0;
  EXPECT_EQ(GetThreadPriorityRawByHandle(handle, after), 0);
  EXPECT_EQ(after, before - 1);
  if (after > -2) {
    EXPECT_EQ(SetThreadPriorityByHandle(handle, ZarThreadPriority_Lowest), 0);
    EXPECT_EQ(GetThreadPriorityRawByHandle(handle, after), 0);
    EXPECT_EQ(after, -2);
  }
  EXPECT_EQ(CloseThreadHandle(handle), 0);
  done.Finished();
  worker.join();

  unsigned long long selfNative = 0;
  void* selfHandle = nullptr;
  EXPECT_EQ(GetCurrentThreadIdNative(selfNative) + GetCurrentThreadId(id) + GetCurrentThreadHandle(selfHandle), 0);
  EXPECT_EQ(selfNative, GetThreadSelfId());
  EXPECT_EQ(id, GetThreadSelfId());
  EXPECT_EQ(selfHandle, CmThreadHandleFromId(id));
}

}  // namespace
