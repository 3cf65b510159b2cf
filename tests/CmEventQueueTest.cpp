// Event queues: the contract both thread-safe queues share, the owner's
// sleep, and the synchronous wrapper's exactly-once disposal when its event
// is dropped. SendEvent to a running task thread is in CmThreadTaskTest.
#include "CmEventQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "EventProbe.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

constexpr std::chrono::seconds kLimit(20);

template <class Queue>
class EventQueueContract : public ::testing::Test {};
using ThreadSafeQueues = ::testing::Types<CCmEventQueueUsingMutex, CCmEventQueueUsingConditionVariable>;
TYPED_TEST_SUITE(EventQueueContract, ThreadSafeQueues);

TYPED_TEST(EventQueueContract, RefusesWhileStoppedAndKeepsPendingOnStop) {
  TraceCapture trace;
  EventTally tally(6);
  TypeParam queue;
  EXPECT_EQ(queue.PostEvent(new ProbeEvent(tally)), ZAR_E_UNEXPECTED);  // a new queue is stopped
  EXPECT_EQ(tally.disposed, 1);
  queue.Start();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue.PostEvent(new ProbeEvent(tally)), 0);
  unsigned long before = 99;
  EXPECT_EQ(queue.PostEvent(new ProbeEvent(tally), ICmEventQueue::EPRIORITY_DEFAULT, &before), 0);
  EXPECT_EQ(before, 3u);
  EXPECT_EQ(queue.GetPendingEventsCount(), 4u);
  queue.Stop();
  EXPECT_EQ(queue.SendEvent(new ProbeEvent(tally)), ZAR_E_UNEXPECTED);
  EXPECT_EQ(queue.GetPendingEventsCount(), 4u);
  queue.DestoryPendingEvents();
  EXPECT_EQ(tally.disposed, 6);
  EXPECT_EQ(tally.disposedUnfired, 6);
  EXPECT_TRUE(trace.Contains("CCmEventQueueBase::DestoryPendingEvents, m_dwSize=4 [this=0x"));
}

TYPED_TEST(EventQueueContract, PopsOldestFirstInBatchesAndFiresInOrder) {
  EventTally tally(5);
  TypeParam queue;
  queue.Start();
  for (int tag = 1; tag <= 5; ++tag) queue.PostEvent(new ProbeEvent(tally, tag));
  std::list<ICmEvent*> batch;
  unsigned long remain = 99;
  // {batch size, remaining} after popping at most 0 (moves nothing), 2 and 5.
  for (auto [most, size, left] : {std::make_tuple(0ul, 0ul, 5ul), {2ul, 2ul, 3ul}, {5ul, 3ul, 0ul}}) {
    ASSERT_EQ(queue.PopPendingEvents(batch, most, &remain), 0);
    EXPECT_EQ(std::make_pair(batch.size(), remain), std::make_pair(size, left)) << "at most " << most;
    EXPECT_EQ(queue.ProcessEvents(batch), 0);
    batch.clear();
  }
  EXPECT_EQ(tally.Order(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(tally.disposed, 5);
  remain = 99;
  EXPECT_EQ(queue.PopPendingEvents(batch, 5, &remain), ZAR_E_NOT_FOUND);
  EXPECT_EQ(remain, 99u);
}

// The owner takes what was posted in blocks; a batch must run on from the
// end of one block into events posted since, and the counts must follow.
TYPED_TEST(EventQueueContract, BatchesRunOnIntoEventsPostedSinceTheLastTake) {
  EventTally tally(300);
  TypeParam queue;
  queue.Start();
  int nextTag = 1;
  auto post = [&](int aCount) {
    for (int i = 0; i < aCount; ++i) ASSERT_EQ(queue.PostEvent(new ProbeEvent(tally, nextTag++)), 0);
  };
  std::list<ICmEvent*> batch;
  unsigned long remain = 0;
  post(7);
  ASSERT_EQ(queue.PopPendingEvents(batch, 5, &remain), 0);  // 1-5, two left behind
  EXPECT_EQ(remain, 2u);
  queue.ProcessEvents(batch);
  batch.clear();
  unsigned long before = 0;
  ASSERT_EQ(queue.PostEvent(new ProbeEvent(tally, nextTag++), ICmEventQueue::EPRIORITY_DEFAULT, &before), 0);
  EXPECT_EQ(before, 2u);
  post(2);  // 8, 9, 10 wait behind 6 and 7
  EXPECT_EQ(queue.GetPendingEventsCount(), 5u);
  // A batch that takes everything replaces the list's content.
  batch.push_back(nullptr);
  ASSERT_EQ(queue.PopPendingEvents(batch, 5, &remain), 0);
  EXPECT_EQ(batch.size(), 5u);
  EXPECT_EQ(remain, 0u);
  queue.ProcessEvents(batch);
  batch.clear();
  // Many more than one block, taken in odd batch sizes, interleaved with posts.
  post(150);
  for (unsigned long most = 1; queue.GetPendingEventsCount() != 0; most = most % 7 + 1) {
    ASSERT_EQ(queue.PopPendingEvents(batch, most, &remain), 0);
    EXPECT_LE(batch.size(), most);
    EXPECT_EQ(remain, queue.GetPendingEventsCount());
    queue.ProcessEvents(batch);
    batch.clear();
    if (nextTag < 300) post(3);
  }
  std::vector<int> expected(static_cast<size_t>(nextTag - 1));
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i) + 1;
  EXPECT_EQ(tally.Order(), expected);
  EXPECT_EQ(tally.disposed, nextTag - 1);
  EXPECT_EQ(tally.disposedUnfired, 0);
}

// A queue thousands of events deep, taken in batches that straddle the
// inbox's internal blocks, refilled while half taken, and destroyed with
// events still pending in several blocks: order, counts and exactly-once
// disposal hold throughout (and the sanitizer builds see no block reused
// early or leaked).
TYPED_TEST(EventQueueContract, DeepQueuesKeepOrderAcrossRefillsAndDestruction) {
  constexpr int kFirst = 6000;
  constexpr int kSecond = 1500;
  constexpr int kLeft = 2500;
  EventTally tally(kFirst + kSecond + kLeft);
  int nextTag = 1;
  {
    TypeParam queue;
    queue.Start();
    auto post = [&](int aCount) {
      for (int i = 0; i < aCount; ++i) ASSERT_EQ(queue.PostEvent(new ProbeEvent(tally, nextTag++)), 0);
    };
    auto take = [&](unsigned long aMost) {
      std::list<ICmEvent*> batch;
      unsigned long remain = 0;
      ASSERT_EQ(queue.PopPendingEvents(batch, aMost, &remain), 0);
      EXPECT_EQ(batch.size(), aMost);
      EXPECT_EQ(remain, queue.GetPendingEventsCount());
      queue.ProcessEvents(batch);
    };
    post(kFirst);
    for (int i = 0; i < kFirst / 2 / 499; ++i) take(499);
    post(kSecond);
    for (int i = 0; i < 10 && queue.GetPendingEventsCount() > 0; ++i) {
      take(std::min<unsigned long>(733, queue.GetPendingEventsCount()));
    }
    ASSERT_EQ(queue.GetPendingEventsCount(), 0u);
    post(kLeft);
    EXPECT_EQ(queue.GetPendingEventsCount(), static_cast<DWORD>(kLeft));
  }
  std::vector<int> expected(kFirst + kSecond);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i) + 1;
  EXPECT_EQ(tally.Order(), expected);
  EXPECT_EQ(tally.disposed, kFirst + kSecond + kLeft);
  EXPECT_EQ(tally.disposedUnfired, kLeft);
}

int g_nHookCalls = 0;
void CountingHook() { ++g_nHookCalls; }

TEST(CCmEventQueueBase, HookNullEventsAndOwnerSend) {
  TraceCapture trace;
  EventTally tally(3);
  CCmEventQueueBase queue;  // single-thread form
  queue.SetEventHook(&CountingHook);
  g_nHookCalls = 0;
  const std::list<ICmEvent*> batch{new ProbeEvent(tally, 1), nullptr, new ProbeEvent(tally, 2)};
  EXPECT_EQ(queue.ProcessEvents(batch), ZAR_E_EVENT_HOOKED);
  EXPECT_EQ(g_nHookCalls, 1);
  EXPECT_TRUE(queue.IsRunning());  // a hooked batch leaves the mark set
  EXPECT_EQ(tally.Order(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(trace.Contains("Assert failed: aEvent"));
  queue.SetEventHook(nullptr);
  EXPECT_EQ(queue.ProcessEvents({}), 0);
  EXPECT_FALSE(queue.IsRunning());

  EXPECT_EQ((std::vector<int>{queue.PostEvent(nullptr), queue.SendEvent(nullptr), queue.ProcessOneEvent(nullptr)}),
            std::vector<int>(3, ZAR_E_INVALIDARG));

  queue.Reset2CurrentThreadInfo();
  queue.Start();
  EXPECT_EQ(queue.SendEvent(new ProbeEvent(tally, 3, [] { return 42; })), 42);  // fires at once on the owner
  EXPECT_EQ(tally.disposed, 3);
  auto held = std::make_shared<int>(5);  // an invoke event releases its functor with itself
  EXPECT_EQ(queue.SendEvent(CmMakeInvokeEvent([held] { return *held + 1; })), 6);
  EXPECT_EQ(held.use_count(), 1);
}

TEST(CCmEventQueueBase, RefusalWarningsAreRateLimitedPerOperation) {
  CCmEventQueueUsingMutex queue;
  TraceCapture trace;
  for (int i = 0; i < 400; ++i) queue.PostEvent(CmMakeInvokeEvent([] { return 0; }));
  for (int i = 0; i < 400; ++i) queue.SendEvent(CmMakeInvokeEvent([] { return 0; }));
  // Any 400 consecutive refusals hit the 1-in-200 counter twice.
  EXPECT_EQ(trace.Count("CCmEventQueueBase::PostEvent, has been stopped. [this=0x", 1), 2u);
  EXPECT_EQ(trace.Count("CCmEventQueueBase::SendEvent, has been stopped. [this=0x", 1), 2u);
}

TEST(CCmEventQueueUsingConditionVariable, OwnerSleepsUntilPostOrTimeout) {
  CCmEventQueueUsingConditionVariable queue;
  queue.Start();
  std::list<ICmEvent*> batch;
  CCmTimeValue twentyMs(0, 20000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(queue.PopOrWaitPendingEvents(batch, &twentyMs, 5), ZAR_E_NOT_FOUND);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  EventTally tally;
  std::thread poster([&] { queue.PostEvent(new ProbeEvent(tally, 7)); });
  EXPECT_EQ(queue.PopOrWaitPendingEvents(batch, nullptr, 5), 0);  // no limit: woken by the post
  poster.join();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch.front()->GetTag(), 7u);
  queue.ProcessEvents(batch);
}

// A queue that tells the test when a post has gone in.
class ObservedQueue : public CCmEventQueueUsingConditionVariable {
 public:
  int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) override {
    const int rv = CCmEventQueueUsingConditionVariable::PostEvent(aEvent, aPri, aSize);
    posted.Finished();
    return rv;
  }
  ThreadWaiter posted;
};

TEST(CCmEventSynchronous, SenderOfAnEventDroppedUnfiredIsReleased) {
  for (const bool withTimeout : {false, true}) {
    ObservedQueue queue;
    queue.Start();  // nobody drains it
    EventTally tally;
    int rv = 0;
    std::thread sender([&] {
      CCmTimeValue timeout(0, 30000);
      rv = queue.SendEvent(new ProbeEvent(tally), withTimeout ? &timeout : nullptr);
    });
    ASSERT_TRUE(queue.posted.WaitUntilTimeout(kLimit));
    queue.Stop();
    queue.DestoryPendingEvents();
    sender.join();
    // Without a limit the sender is released at once; with one it waits it out.
    EXPECT_EQ(rv, withTimeout ? ZAR_E_TIMEOUT : ZAR_E_UNEXPECTED);
    EXPECT_EQ(tally.disposedUnfired, 1);
  }
}

TEST(CCmEventSynchronous, WrappedNullEventYieldsPointerError) {
  CCmEventSynchronous* sync = new CCmEventSynchronous(nullptr, nullptr);
  EXPECT_EQ(sync->OnEventFire(), ZAR_E_POINTER);
  sync->OnDestorySelf();  // the first pass is over
  CCmTimeValue zero;
  EXPECT_EQ(sync->WaitResultAndDeleteThis(&zero), ZAR_E_POINTER);  // frees it
}

}  // namespace
