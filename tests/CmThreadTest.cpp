// The thread object (start, registry, priorities, the deletion votes), the
// named thread factory and the singleton clean-up list.
#include "CmThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CmThreadInternal.h"
#include "CmThreadPriority.h"
#include "CmUtilTemplates.h"
#include "ManualClock.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

constexpr std::chrono::seconds kLimit(20);

// A thread whose loop runs until Stop; it reports its start and its end.
class ProbeThread : public ACmThread {
 public:
  explicit ProbeThread(std::atomic<unsigned long>* aDeletedOn = nullptr) : m_pDeletedOn(aDeletedOn) {}
  void OnThreadInit() override { initialized = true; }
  void OnThreadRun() override {
    joinSelf = Join();
    release.WaitUntilTimeout(kLimit);
  }
  int Stop(CCmTimeValue*) override {
    release.Finished();
    return 0;
  }
  std::atomic<bool> initialized{false};
  int joinSelf = 0;
  ThreadWaiter release;

 protected:
  ~ProbeThread() override {
    if (m_pDeletedOn) m_pDeletedOn->store(GetThreadSelfId());
  }

 private:
  std::atomic<unsigned long>* m_pDeletedOn;
};

std::string KernelName(unsigned long aTid) {
  std::ifstream comm("/proc/self/task/" + std::to_string(aTid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

void StopJoinDestory(ACmThread* aThread) {
  aThread->Stop(nullptr);
  aThread->Join();
  aThread->Destory(0);
}

TEST(ACmThread, CreateStartsRegistersAndNamesTheThread) {
  TraceCapture trace;
  std::atomic<unsigned long> deletedOn{0};
  ProbeThread* t = new ProbeThread(&deletedOn);
  ASSERT_EQ(t->Create("probe-thread-long-name", 7), 0);
  EXPECT_TRUE(t->initialized);  // OnThreadInit ran before Create returned
  const unsigned long tid = t->GetThreadId();
  EXPECT_NE(tid, GetThreadSelfId());
  EXPECT_EQ(KernelName(tid), "probe-thread-lo");
  EXPECT_TRUE(trace.Contains("RegisterThread, thread=0x"));
  EXPECT_TRUE(trace.Contains(" tid=" + std::to_string(tid) + " name=probe-thread-long-name type=7 eventQueue=0x0 timerQueue=0x0"));
  EXPECT_EQ(t->Create("again", 7), ZAR_E_ALREADY_CREATED);
  EXPECT_TRUE(trace.Contains("Assert failed: m_Type == TT_UNKNOWN"));

  ProbeThread* second = new ProbeThread;
  ASSERT_EQ(second->Create("second", 7), 0);
  EXPECT_EQ(GetThread(7), t);  // the first registered of its type
  EXPECT_EQ(GetThreadById(tid), t);
  EXPECT_TRUE(trace.Contains("GetThreadById(0x"));
  EXPECT_EQ(GetThread(8), nullptr);
  EXPECT_TRUE(trace.Contains("GetThread, aType=8", 1));

  StopJoinDestory(t);
  EXPECT_EQ(deletedOn, GetThreadSelfId());  // a joinable thread: deleted by Destory
  EXPECT_TRUE(trace.Contains("UnRegisterThread, thread=0x"));
  EXPECT_EQ(GetThreadById(tid), nullptr);
  EXPECT_EQ(GetThread(7), second);
  second->Stop(nullptr);
  second->Join();
  EXPECT_EQ(second->joinSelf, ZAR_E_FAIL);  // Join from the thread itself
  second->Destory(0);
}

TEST(ACmThread, HostTypeAdoptsTheCallingThread) {
  TraceCapture trace;
  ProbeThread* host = new ProbeThread;
  ASSERT_EQ(host->Create("host", TT_HOST), 0);
  EXPECT_FALSE(host->initialized);  // no procedure runs for the host type
  EXPECT_EQ(host->GetThreadId(), GetThreadSelfId());
  EXPECT_EQ(GetThread(TT_CALLING), host);
  EXPECT_EQ(getCurrentThread(), host);
  EXPECT_EQ(host->Join(), ZAR_E_FAIL);  // the caller is the thread
  EXPECT_EQ(host->SetPriority(0), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("SetThreadPriorityRawByHandle: Invalid handle", 0));
  host->Destory(0);
  EXPECT_EQ(getCurrentThread(), nullptr);
}

TEST(ACmThread, PriorityRequestedBeforeCreateIsApplied) {
  TraceCapture trace;
  int native = 0;
  ASSERT_EQ(GetCurrentThreadPriorityRaw(native), 0);
  const int lower = std::max(native - 2, -19);  // lowering needs no privilege
  ProbeThread* t = new ProbeThread;
  int priority = 0;
  EXPECT_EQ(t->GetPriority(priority), ZAR_S_FALSE);
  EXPECT_EQ(priority, 0x7fffffff);
  EXPECT_EQ(t->SetPriority(0x7fffffff), ZAR_E_INVALIDARG);
  EXPECT_EQ(t->SetPriority(lower), ZAR_E_INVALIDARG);  // kept for Create
  ASSERT_EQ(t->Create("prio", 9), 0);
  EXPECT_TRUE(trace.Contains("_setPriority() Priority from 2147483647 to " + std::to_string(lower)));
  EXPECT_EQ(t->GetPriority(priority), 0);
  EXPECT_EQ(priority, lower);
  int seen = 0;
  EXPECT_EQ(GetThreadPriorityRawByHandle(t->GetThreadHandle(), seen), 0);
  EXPECT_EQ(seen, lower);
  t->Stop(nullptr);
  t->Join();
  t->Terminate();  // forgets the handle
  EXPECT_EQ(t->GetPriority(priority), ZAR_E_UNEXPECTED);
  EXPECT_EQ(t->SetPriority(lower - 1), 0);  // nothing to apply it to
  t->Destory(0);
}

ThreadWaiter* g_pHold = nullptr;
void HoldHeldThreads(ACmThread* aThread) {
  if (std::string(aThread->GetName()).rfind("held", 0) == 0) g_pHold->WaitUntilTimeout(kLimit);
}

// Each object is deleted exactly once, by whichever of its owner and its
// thread is done last.
TEST(ACmThread, DeletionVotesInBothOrders) {
  struct Case {
    const char* name;
    TFlag flag;
    bool ownerFirst;
  };
  const Case cases[] = {{"held-late-owner-first", TFLAG_JOINABLE, true},
                        {"held-late-thread-first", TFLAG_JOINABLE, false},
                        {"detached-owner-first", TFLAG_DETACHED, true},
                        {"detached-thread-first", TFLAG_DETACHED, false}};
  CmThreadSetStartHookForTesting(&HoldHeldThreads);
  CmThreadSetStartTimeoutForTesting(50);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceCapture trace;
    ThreadWaiter hold;
    g_pHold = &hold;
    std::atomic<unsigned long> deletedOn{0};
    ProbeThread* t = new ProbeThread(&deletedOn);
    ASSERT_EQ(t->Create(c.name, 9, c.flag), 0);
    const unsigned long tid = t->GetThreadId();
    const bool held = c.flag == TFLAG_JOINABLE;
    if (held) {
      EXPECT_TRUE(trace.Contains("ACmThread::Create m_pEvent4Start->Wait 5s timeout !!!", 0));
      EXPECT_EQ(t->Join(), 0);  // before the procedure began: late delete
      EXPECT_TRUE(trace.Contains("ACmThread::Join() change to Late Delete"));
    }
    if (c.ownerFirst) {
      EXPECT_EQ(t->Destory(0), 0);
      EXPECT_EQ(deletedOn, 0u);  // the thread has not voted yet
      hold.Finished();
      t->Stop(nullptr);
      for (int i = 0; deletedOn == 0 && i < 20000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_EQ(deletedOn, tid);  // the thread deleted itself
      // Its destructor still traces its leaving; wait for that line, so that
      // the thread is done with the trace path before this capture ends.
      auto left = [&trace] {
        for (const std::string& line : trace.Texts()) {
          if (line.find("ACmThread::~ACmThread,line=62") != std::string::npos && line.find(" Leave") != std::string::npos) {
            return true;
          }
        }
        return false;
      };
      for (int i = 0; !left() && i < 20000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_TRUE(left());
    } else {
      hold.Finished();
      t->Stop(nullptr);
      if (!held) t->Join();
      for (int i = 0; t->GetStopFlag() == 0 && i < 20000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_EQ(deletedOn, 0u);
      t->Destory(0);
      EXPECT_EQ(deletedOn, GetThreadSelfId());
    }
  }
  CmThreadSetStartHookForTesting(nullptr);
  CmThreadSetStartTimeoutForTesting(5000);
}

// Each life-cycle call is traced for its first 150 calls in the process;
// the leave lines of Destory and of the destructor come after the object is
// gone and read nothing of it (the sanitizer build checks that).
TEST(ACmThread, FunctionTracersCoverTheFirst150CallsOfEachCall) {
  // A loaded machine can make a call last long enough for its tracer to add
  // its cost to the leave line; a clock that stands still keeps it off.
  ManualClock clock;
  std::vector<TraceLine> lines;
  std::string self, tid;
  std::thread([&] {  // TT_HOST names the calling thread: not the test's own
    TraceCapture trace;
    CmThreadResetFuncTracerCountsForTesting();
    for (int i = 0; i < 155; ++i) {
      ProbeThread* thread = new ProbeThread;
      ASSERT_EQ(thread->Create("h", TT_HOST, TFLAG_JOINABLE, false), 0);
      char text[16];
      snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(thread)));
      if (i == 0) self = text, tid = std::to_string(thread->GetThreadId());
      thread->Destory(3);
    }
    lines = trace.Lines();
  }).join();
  auto count = [&](const std::string& aText) {
    return std::count_if(lines.begin(), lines.end(), [&](const TraceLine& l) { return l.text.find(aText) != std::string::npos; });
  };
  // The first line of a kind belongs to the first object (a later one may
  // reuse its address, so the address alone does not tell).
  auto first = [&](const std::string& aSite, const char* aEnd) {
    for (const TraceLine& l : lines) {
      if (l.text.find(aSite) != std::string::npos && l.text.find(aEnd) != std::string::npos) return l.text;
    }
    return std::string();
  };
  const std::string me = "[this=" + self + "] ", own = std::string("[") + CmGetUtilModuleName() + "] ";
  EXPECT_EQ(first("ACmThread::Create,", "Enter"),
            own + "ZARFunc ACmThread::Create,line=108 " + me + "Enter..., aType=0, aFlag=1, Register=0, name=h");
  EXPECT_EQ(first("ACmThread::Destory,", "Enter"),
            own + "ZARFunc ACmThread::Destory,line=235 " + me + "Enter..., aReason=3, m_Tid=" + tid);
  EXPECT_EQ(first("ACmThread::~ACmThread,", "Enter"),
            own + "ZARFunc ACmThread::~ACmThread,line=62 " + me + "Enter..., m_Tid=" + tid);
  EXPECT_EQ(first("ACmThread::Destory,", "Leave"), own + "ZARFunc ACmThread::Destory,line=235 " + me + "Leave");
  for (const char* site : {"ACmThread::ACmThread,line=57", "ACmThread::Create,line=108", "ACmThread::Destory,line=235",
                           "ACmThread::~ACmThread,line=62"}) {
    EXPECT_EQ(count(std::string("ZARFunc ") + site + " [this=0x"), 300) << site;  // enter and leave, 150 calls
  }
  EXPECT_EQ(count("ZARFunc ACmThread::Join"), 0);
}

TEST(ThreadRegistry, ConcurrentCreateDestroyAndLookups) {
  std::atomic<bool> done{false};
  std::atomic<int> seen{0};
  std::thread reader([&] {
    while (!done) {
      if (GetThreadById(GetThreadSelfId()) == nullptr && getCurrentThread() == nullptr && GetThread(11)) ++seen;
    }
  });
  std::vector<std::thread> creators;
  for (int c = 0; c < 3; ++c) {
    creators.emplace_back([] {
      for (int i = 0; i < 15; ++i) {
        ProbeThread* t = new ProbeThread;
        ASSERT_EQ(t->Create("churn", 11), 0);
        EXPECT_EQ(GetThreadById(t->GetThreadId()), t);
        StopJoinDestory(t);
      }
    });
  }
  for (auto& t : creators) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(GetThread(11), nullptr);
}

TEST(ThreadRegistry, CleanThreadListStopsAndForgetsEveryThread) {
  TraceCapture trace;
  std::vector<ProbeThread*> threads(3);
  for (auto*& t : threads) {
    t = new ProbeThread;
    ASSERT_EQ(t->Create("cleaned", 12), 0);
  }
  EXPECT_EQ(TPCleanThreadList(), 0);
  EXPECT_TRUE(trace.Contains("CleanThreadList, list size=3"));
  for (ProbeThread* t : threads) {
    EXPECT_EQ(GetThreadById(t->GetThreadId()), nullptr);
    EXPECT_TRUE(t->release.WaitUntilTimeout(kLimit));  // stopped
    t->Join();
    t->Destory(0);
  }
}

TEST(ThreadIdentity, IdsAreKernelThreadIds) {
  const unsigned long self = GetThreadSelfId();
  unsigned long other = 0;
  std::thread([&] { other = GetThreadSelfId(); }).join();
  EXPECT_NE(other, self);
  EXPECT_EQ(static_cast<unsigned long>(CmGetThreadID()), self);
  EXPECT_EQ(IsEqualCurrentThread(self) + IsThreadEqual(self, other), 1);
  EXPECT_FALSE(KernelName(self).empty());  // /proc knows the id
}

TEST(ACmThreadSingletonFactory, SharesANamedThreadUntilTheLastRelease) {
  TraceCapture trace;
  ACmThreadSingletonFactory& factory = ACmThreadSingletonFactory::Instance();
  ACmThread *a = nullptr, *b = nullptr;
  ASSERT_EQ(factory.GetSingletonThread("shared-worker", a), 0);
  ASSERT_EQ(factory.GetSingletonThread("shared-worker", b), 0);
  EXPECT_EQ(a, b);
  ASSERT_NE(a->GetTimerQueue(), nullptr);
  const unsigned long tid = a->GetThreadId();
  factory.ResleseSingletonThread("shared-worker", reinterpret_cast<ACmThread*>(&factory));  // not its thread
  factory.ResleseSingletonThread("shared-worker", a);
  EXPECT_EQ(GetThreadById(tid), a);  // still running
  EXPECT_EQ(a->GetEventQueue()->SendEvent(CmMakeInvokeEvent([] { return 5; })), 5);
  factory.ResleseSingletonThread("shared-worker", a);
  EXPECT_EQ(GetThreadById(tid), nullptr);
  EXPECT_TRUE(trace.Contains("ACmThreadSingletonFactory::ResleseSingletonThread, enter, pThreadName=shared-worker"));
  EXPECT_TRUE(trace.Contains("ACmThreadSingletonFactory::ResleseSingletonThread, leave"));
  EXPECT_EQ(factory.GetSingletonThread(nullptr, a), ZAR_E_INVALIDARG);
}

std::vector<char> g_Destroyed;
std::atomic<int> g_nConstructed{0};
template <char kName>
struct Named {
  Named() { ++g_nConstructed; }
  ~Named() { g_Destroyed.push_back(kName); }
};

TEST(CCmSingletonT, CleanupAllDestroysNewestFirstAndAllowsRecreation) {
  g_Destroyed.clear();
  g_nConstructed = 0;
  std::vector<std::thread> racers;
  std::vector<Named<'A'>*> seen(4);
  for (int i = 0; i < 4; ++i) racers.emplace_back([&, i] { seen[i] = CCmSingletonT<Named<'A'>>::Instance(); });
  for (auto& t : racers) t.join();
  EXPECT_EQ(g_nConstructed, 1);  // one instance for every racer
  EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 4);
  CCmSingletonT<Named<'B'>>::Instance();
  CCmSingletonT<Named<'C'>>::Instance();
  EXPECT_EQ(CCmSingletonT<Named<'B'>>::Instance(), CCmSingletonT<Named<'B'>>::Instance());
  CCmCleanUpBase::CleanupAll();
  EXPECT_EQ(g_Destroyed, (std::vector<char>{'C', 'B', 'A'}));
  ASSERT_NE(CCmSingletonT<Named<'A'>>::Instance(), nullptr);  // a fresh one
  EXPECT_EQ(g_nConstructed, 4);
  CCmCleanUpBase::CleanupAll();
}

}  // namespace
