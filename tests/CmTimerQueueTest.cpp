// Timer queues on an injected clock: the contract every node storage shares
// (typed over the queue kinds), the clock-jump rules, the ordered list
// against a literal model, and a cancel from another thread during a
// callback.
#include "CmTimerQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <typeinfo>
#include <vector>

#include "CmTimerQueueInternal.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

// Stops the queues' clock at a fixed time for the test and restores it.
class FrozenClock : public ::testing::Test {
 protected:
  void SetUp() override { CmTimerQueueClockFreeze(&m_tvNow); }
  void TearDown() override {
    CmTimerQueueClockFreeze(nullptr);
    CmTimerQueueClockSetOffset(CCmTimeValue());
  }
  void Advance(long aMs) {
    m_tvNow += Ms(aMs);
    CmTimerQueueClockFreeze(&m_tvNow);
  }
  CCmTimeValue m_tvNow{1700000000L, 0L};
};

class Recorder : public ICmTimerHandler {
 public:
  Recorder(std::vector<int>* aLog = nullptr, int aId = 0, std::function<void()> aAction = nullptr)
      : m_pLog(aLog), m_nId(aId), m_Action(std::move(aAction)) {}
  void OnTimeout(const CCmTimeValue& aCurTime, void* aArg) override {
    ++count;
    at = aCurTime;
    token = aArg;
    if (m_pLog) m_pLog->push_back(m_nId);
    if (m_Action) m_Action();
  }
  int count = 0;
  CCmTimeValue at;
  void* token = nullptr;

 private:
  std::vector<int>* m_pLog;
  int m_nId;
  std::function<void()> m_Action;
};

class TopicLog : public ICmObserver {
 public:
  void OnObserve(const char* aTopic, void*) override { topics.push_back(aTopic); }
  std::vector<std::string> topics;
};

template <class Queue>
class TimerQueueContract : public FrozenClock {
 protected:
  Queue m_Queue;
};
using NodeQueues = ::testing::Types<CCmTimerQueueOrderedList, CCmTimerQueueOnDemand>;
TYPED_TEST_SUITE(TimerQueueContract, NodeQueues);

TYPED_TEST(TimerQueueContract, RefusalsAndRepeatCounts) {
  TraceCapture trace;
  auto& queue = this->m_Queue;
  Recorder h;
  EXPECT_EQ(queue.ScheduleTimer(nullptr, nullptr, Ms(10), 1), ZAR_E_INVALIDARG);
  EXPECT_EQ(queue.CancelTimer(nullptr), ZAR_E_INVALIDARG);
  EXPECT_EQ(trace.Count("Assert failed: aEh"), 2u);
  EXPECT_EQ(queue.ScheduleTimer(&h, nullptr, Ms(0), 2), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: aInterval > CCmTimeValue::get_tvZero() || aCount == 1"));
  EXPECT_EQ(queue.CancelTimer(&h), ZAR_E_NOT_FOUND);
  CCmTimeValue remain, earliest;
  EXPECT_EQ(queue.CheckExpire(&remain, &earliest), 0);  // empty: no deadline
  EXPECT_EQ(remain, CCmTimeValue::get_tvMax());
  EXPECT_EQ(earliest, CCmTimeValue::get_tvMax());

  int token = 0;
  ASSERT_EQ(queue.ScheduleTimer(&h, &token, Ms(0), 1), 0);  // fires at the next check
  EXPECT_EQ(queue.CheckExpire(), 1);
  EXPECT_EQ(h.token, &token);
  EXPECT_EQ(h.at, this->m_tvNow);

  Recorder three, forever;
  queue.ScheduleTimer(&three, nullptr, Ms(10), 3);
  queue.ScheduleTimer(&forever, nullptr, Ms(10), 0);
  EXPECT_EQ(queue.CheckExpire(&remain, &earliest), 0);
  EXPECT_EQ(remain, Ms(10));
  EXPECT_EQ(earliest, this->m_tvNow + Ms(10));
  for (int i = 0; i < 5; ++i) {
    this->Advance(10);
    queue.CheckExpire();
  }
  EXPECT_EQ(three.count, 3);
  EXPECT_EQ(forever.count, 5);
  EXPECT_EQ(queue.CancelTimer(&three), ZAR_E_NOT_FOUND);  // its count ran out
  EXPECT_EQ(queue.CancelTimer(&forever), 0);
}

TYPED_TEST(TimerQueueContract, PeriodicTimerSkipsMissedPeriodsAndKeepsPhase) {
  auto& queue = this->m_Queue;
  const CCmTimeValue start = this->m_tvNow;
  Recorder h;
  queue.ScheduleTimer(&h, nullptr, Ms(100), 0);
  this->Advance(1050);  // the thread was blocked for ten periods
  CCmTimeValue remain, earliest;
  EXPECT_EQ(queue.CheckExpire(&remain, &earliest), 1);
  EXPECT_EQ(earliest, start + Ms(1100));
  EXPECT_EQ(remain, Ms(50));
}

TYPED_TEST(TimerQueueContract, CallbacksMayCancelOrRescheduleThemselves) {
  auto& queue = this->m_Queue;
  int periodicCancel = -1, oneShotCancel = -1, reschedule = -1;
  Recorder periodic(nullptr, 0, [&] { periodicCancel = queue.CancelTimer(&periodic); });
  Recorder oneShot(nullptr, 0, [&] { oneShotCancel = queue.CancelTimer(&oneShot); });
  Recorder again(nullptr, 0, [&] {
    if (again.count == 1) reschedule = queue.ScheduleTimer(&again, nullptr, Ms(50), 1);
  });
  Recorder later;
  Recorder scheduler(nullptr, 0, [&] {
    this->Advance(1);  // time passes inside the callback
    queue.ScheduleTimer(&later, nullptr, Ms(0), 1);
  });
  queue.ScheduleTimer(&periodic, nullptr, Ms(10), 0);
  queue.ScheduleTimer(&oneShot, nullptr, Ms(10), 1);
  queue.ScheduleTimer(&again, nullptr, Ms(10), 0);
  queue.ScheduleTimer(&scheduler, nullptr, Ms(10), 1);
  this->Advance(10);
  EXPECT_EQ(queue.CheckExpire(), 4);
  EXPECT_EQ(periodicCancel, 0);  // its re-armed node was removed
  EXPECT_EQ(oneShotCancel, ZAR_E_NOT_FOUND);
  EXPECT_EQ(reschedule, ZAR_E_ALREADY_EXISTS);
  EXPECT_EQ(later.count, 0);  // scheduled for "now" during the call: next call
  this->Advance(20);
  EXPECT_EQ(queue.CheckExpire(), 1);  // only `later`; `again` now runs on 50 ms
  this->Advance(30);
  EXPECT_EQ(queue.CheckExpire(), 1);
  EXPECT_EQ(again.count, 2);
  EXPECT_EQ(periodic.count, 1);
}

TYPED_TEST(TimerQueueContract, ClockSetBackRebasesAndJumpForwardRearms) {
  auto& queue = this->m_Queue;
  TraceCapture trace;
  Recorder fast, slow;
  queue.ScheduleTimer(&fast, nullptr, Ms(100), 0);
  queue.ScheduleTimer(&slow, nullptr, Ms(5000), 1);
  CmTimerQueueClockSetOffset(CCmTimeValue(-7200L, 0L));  // set back two hours
  CCmTimeValue remain;
  EXPECT_EQ(queue.CheckExpire(&remain), 0);
  EXPECT_EQ(remain, CCmTimeValue::get_tvZero());  // come back at once
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CheckExpire local changed, tvEarliest=", 1));
  this->Advance(100);  // deadlines are now + period again
  EXPECT_EQ(queue.CheckExpire(&remain), 1);
  EXPECT_EQ(remain, Ms(100));
  this->Advance(4900);
  EXPECT_EQ(queue.CheckExpire(), 2);

  CmTimerQueueClockSetOffset(CCmTimeValue(-7200L + 1800L, 0L));  // forward half an hour
  EXPECT_EQ(queue.CheckExpire(&remain), 1);                      // once, phase kept
  EXPECT_EQ(remain, Ms(100));
  EXPECT_FALSE(trace.Contains("m_tvExpired="));
  CmTimerQueueClockSetOffset(CCmTimeValue());  // forward 1.5 hours
  EXPECT_EQ(queue.CheckExpire(&remain), 1);
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CheckExpire local changed, m_tvExpired=", 1));
  EXPECT_EQ(remain, Ms(100));  // a new phase from now
}

TYPED_TEST(TimerQueueContract, ObserverHearsOfSchedules) {
  TopicLog observer;
  TypeParam queue(&observer);
  Recorder a, b;
  const bool onDemand = typeid(TypeParam) == typeid(CCmTimerQueueOnDemand);
  queue.ScheduleTimer(&a, nullptr, Ms(10), 1);  // into an empty queue
  queue.ScheduleTimer(&b, nullptr, Ms(10), 1);
  queue.ScheduleTimer(&b, nullptr, Ms(20), 1);  // a replacement
  const std::vector<std::string> expected =
      onDemand ? std::vector<std::string>{"TimerQueue", "TimerQueueOnDemand", "TimerQueueOnDemand"}
               : std::vector<std::string>{"TimerQueue"};
  EXPECT_EQ(observer.topics, expected);
}

using OrderedList = FrozenClock;

// The ordered list against the literal rules: insert before the first node
// not earlier (so equal deadlines fire newest first), pop the front, re-base
// without re-sorting, one schedule per handler (ZAR_E_ALREADY_EXISTS).
TEST_F(OrderedList, AgreesWithALiteralModelUnderRandomOperations) {
  struct Entry {
    int id;
    CCmTimeValue expired, interval;
    DWORD count;
  };
  std::vector<Entry> model;
  CCmTimerQueueOrderedList queue;
  std::vector<int> fired, expectedFired;
  std::vector<std::unique_ptr<Recorder>> handlers;
  auto insert = [&](const Entry& e) {
    auto pos = std::find_if(model.begin(), model.end(), [&](const Entry& m) { return m.expired >= e.expired; });
    model.insert(pos, e);
  };
  auto erase = [&](int id) {
    auto it = std::find_if(model.begin(), model.end(), [&](const Entry& m) { return m.id == id; });
    if (it == model.end()) return false;
    model.erase(it);
    return true;
  };
  // Some callbacks cancel another timer or re-schedule their own, on the
  // queue and, at the same point of the firing order, on the model.
  auto action = [&](int id, bool onModel) {
    if (id % 7 == 0) {
      const int other = (id + 1) % 40;
      if (onModel) erase(other);
      else queue.CancelTimer(handlers[other].get());
    } else if (id % 11 == 0) {
      if (onModel) erase(id), insert({id, m_tvNow + Ms(20), Ms(20), 1});
      else queue.ScheduleTimer(handlers[id].get(), nullptr, Ms(20), 1);
    }
  };
  for (int i = 0; i < 40; ++i) handlers.emplace_back(new Recorder(&fired, i, [&action, i] { action(i, false); }));
  std::mt19937 rng(12345);
  for (int step = 0; step < 6000; ++step) {
    const int op = static_cast<int>(rng() % 100), id = static_cast<int>(rng() % handlers.size());
    if (op < 45) {
      const CCmTimeValue interval = Ms(static_cast<long>(rng() % 5) * 10 + 10);
      const DWORD count = rng() % 3;
      const bool existed = erase(id);
      insert({id, m_tvNow + interval, interval, count == 0 ? 0xFFFFFFFF : count});
      ASSERT_EQ(queue.ScheduleTimer(handlers[id].get(), nullptr, interval, count), existed ? ZAR_E_ALREADY_EXISTS : 0);
    } else if (op < 65) {
      ASSERT_EQ(queue.CancelTimer(handlers[id].get()), erase(id) ? 0 : ZAR_E_NOT_FOUND);
    } else if (op < 98) {
      Advance(static_cast<long>(rng() % 40));
      while (!model.empty() && model.front().expired <= m_tvNow) {
        Entry e = model.front();
        model.erase(model.begin());
        expectedFired.push_back(e.id);
        if (e.count != 0xFFFFFFFF) --e.count;
        if (e.count != 0) {
          while (e.expired <= m_tvNow) e.expired += e.interval;
          insert(e);
        }
        action(e.id, true);
      }
      queue.CheckExpire();
      ASSERT_EQ(fired, expectedFired) << "step " << step;
    } else {
      Advance(-2 * 3600 * 1000);  // the clock is set back: deadlines re-based, order kept
      for (Entry& e : model) e.expired = m_tvNow + e.interval;
      queue.CheckExpire();
    }
  }
}

TEST(CCmTimerQueueBase, CreateTimerQueueFollowsTheDefaultKind) {
  TraceCapture trace;
  std::unique_ptr<CCmTimerQueueBase> list(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default));
  ASSERT_TRUE(list);
  EXPECT_EQ(typeid(*list), typeid(CCmTimerQueueOrderedList));
  cm_set_default_timer_type(0);  // changes nothing
  EXPECT_EQ(CmGetDefaultTimerType(), CmQueueType_OrderedList);
  cm_set_default_timer_type(7);
  EXPECT_EQ(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default), nullptr);
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CreateTimerQueue, no timer queue of type=7", 1));
  cm_set_default_timer_type(CmQueueType_OrderedList);
}

ThreadWaiter* g_pCancelWaiting = nullptr;
void SignalCancelWaiting() { g_pCancelWaiting->Finished(); }

TEST_F(OrderedList, CancelFromAnotherThreadWaitsForTheRunningCallback) {
  CCmTimerQueueOrderedList queue;
  ThreadWaiter entered, cancelWaiting;
  g_pCancelWaiting = &cancelWaiting;
  CmTimerQueueSetCancelWaitHook(&SignalCancelWaiting);
  std::atomic<bool> callbackDone{false};
  Recorder h(nullptr, 0, [&] {
    entered.Finished();
    cancelWaiting.WaitUntilTimeout(std::chrono::seconds(20));  // the canceller is waiting for us
    callbackDone = true;
  });
  queue.ScheduleTimer(&h, nullptr, Ms(10), 0);
  Advance(10);
  std::thread owner([&] { queue.CheckExpire(); });
  ASSERT_TRUE(entered.WaitUntilTimeout(std::chrono::seconds(20)));
  EXPECT_EQ(queue.CancelTimer(&h), 0);
  EXPECT_TRUE(callbackDone);  // not running any more when the cancel returned
  owner.join();
  CmTimerQueueSetCancelWaitHook(nullptr);
  Advance(100);
  EXPECT_EQ(queue.CheckExpire(), 0);
  EXPECT_EQ(h.count, 1);
}

}  // namespace
