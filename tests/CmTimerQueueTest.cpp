// Timer queues on an injected clock: the contract every node storage shares
// (typed over the queue kinds), the clock-jump rules, each storage against
// a literal model of its order under random operations, the wheel's and
// the heap's own cases, the calendar queue, and a cancel from another
// thread during a callback.
#include "CmTimerQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <numeric>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "CmTimerQueueInternal.h"
#include "EventProbe.h"
#include "ManualClock.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

CCmTimeValue Ms(long aMs) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(aMs);
  return tv;
}

// The library's clocks stand still for the test; m_tvNow is the wall time
// the queues see when the wall clock has not been set.
class FrozenClock : public ::testing::Test {
 protected:
  void Advance(long aMs) {
    m_tvNow += Ms(aMs);
    m_Clock.AdvanceMs(aMs);
  }
  ManualClock m_Clock;
  CCmTimeValue m_tvNow{m_Clock.Wall()};
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

// Only the ordered list re-bases its deadlines after the clock was set back.
template <class Queue>
constexpr bool kRebases = std::is_base_of<CCmTimerQueueOrderedList, Queue>::value;

template <class Queue>
class TimerQueueContract : public FrozenClock {
 protected:
  Queue m_Queue;
};
using NodeQueues =
    ::testing::Types<CCmTimerQueueOrderedList, CCmTimerQueueOnDemand, CCmTimerMinHeapQueue, CCmTimerWheelQueue>;
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

TYPED_TEST(TimerQueueContract, ClockSetBackAndJumpForward) {
  auto& queue = this->m_Queue;
  TraceCapture trace;
  Recorder fast, slow;
  queue.ScheduleTimer(&fast, nullptr, Ms(100), 0);
  queue.ScheduleTimer(&slow, nullptr, Ms(5000), 1);
  this->m_Clock.ShiftWall(CCmTimeValue(-7200L, 0L));  // set back two hours
  CCmTimeValue remain;
  EXPECT_EQ(queue.CheckExpire(&remain), 0);
  EXPECT_EQ(remain, CCmTimeValue::get_tvZero());  // come back at once
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CheckExpire local changed, tvEarliest=", 1));
  this->Advance(100);
  if (!kRebases<TypeParam>) {
    // Deadlines stay where they were, two hours ahead; once the setback has
    // been seen the queue waits for them instead of asking again at once.
    EXPECT_EQ(queue.CheckExpire(&remain), 0);
    EXPECT_EQ(remain, CCmTimeValue(7200L, 0L));
    this->m_Clock.ShiftWall(CCmTimeValue(7200L, 0L));
  }
  EXPECT_EQ(queue.CheckExpire(&remain), 1);  // the list: deadlines now + period
  EXPECT_EQ(remain, Ms(100));
  this->Advance(4900);
  EXPECT_EQ(queue.CheckExpire(), 2);

  trace.Clear();
  this->m_Clock.ShiftWall(CCmTimeValue(1800L, 0L));  // forward half an hour
  EXPECT_EQ(queue.CheckExpire(&remain), 1);                     // once, phase kept
  EXPECT_EQ(remain, Ms(100));
  EXPECT_FALSE(trace.Contains("m_tvExpired="));
  this->m_Clock.ShiftWall(CCmTimeValue(5400L, 0L));  // forward 1.5 hours
  EXPECT_EQ(queue.CheckExpire(&remain), 1);
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CheckExpire local changed, m_tvExpired=", 1));
  EXPECT_EQ(remain, Ms(100));  // a new phase from now
}

// Re-scheduling keeps one entry per handler.
TYPED_TEST(TimerQueueContract, FiresInDeadlineOrder) {
  std::vector<int> log;
  Recorder a(&log, 30), b(&log, 10), c(&log, 20);
  this->m_Queue.ScheduleTimer(&a, nullptr, Ms(30), 1);
  this->m_Queue.ScheduleTimer(&b, nullptr, Ms(10), 1);
  this->m_Queue.ScheduleTimer(&c, nullptr, Ms(5), 1);
  EXPECT_EQ(this->m_Queue.ScheduleTimer(&c, nullptr, Ms(20), 1), ZAR_E_ALREADY_EXISTS);
  for (int step = 0; step < 30; ++step) this->Advance(1), this->m_Queue.CheckExpire();
  EXPECT_EQ(log, (std::vector<int>{10, 20, 30}));
}

// A deadline hours or years ahead is not a clock set back: the queue reports
// its true distance (no warning, no busy loop) and never fires it early.
TYPED_TEST(TimerQueueContract, ZeroAndHugeDelays) {
  auto& queue = this->m_Queue;
  TraceCapture trace;
  Recorder zero, forty, year;
  queue.ScheduleTimer(&forty, nullptr, Ms(40000), 0);
  queue.ScheduleTimer(&zero, nullptr, Ms(0), 1);
  CCmTimeValue remain, earliest;
  EXPECT_EQ(queue.CheckExpire(&remain, &earliest), 1);  // only the zero delay
  EXPECT_EQ(earliest, this->m_tvNow + Ms(40000));
  this->Advance(39999);
  EXPECT_EQ(queue.CheckExpire(&remain), 0);
  EXPECT_EQ(remain, Ms(1));
  this->Advance(1);
  EXPECT_EQ(queue.CheckExpire(nullptr, &earliest), 1);
  EXPECT_EQ(earliest, this->m_tvNow + Ms(40000));  // re-armed one period on
  queue.CancelTimer(&forty);

  const CCmTimeValue tenYears(315360000L, 0L);
  const CCmTimeValue due = this->m_tvNow + tenYears;
  queue.ScheduleTimer(&year, nullptr, tenYears, 1);
  for (int day = 0; day < 3; ++day) {
    EXPECT_EQ(queue.CheckExpire(&remain, &earliest), 0);
    EXPECT_EQ(earliest, due);
    EXPECT_EQ(remain, due - this->m_tvNow);
    this->Advance(24 * 3600 * 1000L);
  }
  EXPECT_FALSE(trace.Contains("local changed"));
  EXPECT_EQ(queue.CancelTimer(&year), 0);
}

// Equal deadlines: the list fires the newest first; the heap and the wheel
// (one bucket) in scheduling order.
TYPED_TEST(TimerQueueContract, EqualDeadlines) {
  auto& queue = this->m_Queue;
  std::vector<int> log;
  Recorder a(&log, 1), b(&log, 2), c(&log, 3);
  for (Recorder* h : {&a, &b, &c}) queue.ScheduleTimer(h, nullptr, Ms(20), 1);
  this->Advance(20);
  EXPECT_EQ(queue.CheckExpire(), 3);
  EXPECT_EQ(log, kRebases<TypeParam> ? std::vector<int>({3, 2, 1}) : std::vector<int>({1, 2, 3}));
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

// ---- the min-heap and the wheel against literal models of their order.
//
// A model entry carries what decides its turn: the heap fires by deadline,
// then scheduling order; the wheel by deadline, then near timers (due within
// 29 s of the second they were scheduled in) before far ones, near ones in
// scheduling order, far ones the newest first. Both fire
// only the entry they announce, while its deadline has come, and re-arm as
// the engine does (phase kept, or one period after now when more than an
// hour late).
struct ModelEntry {
  int id;
  CCmTimeValue expired, interval;
  DWORD count;
  uint64_t seq;
  bool far;
};

typedef std::tuple<int64_t, int, int64_t, int64_t> ModelKey;

ModelKey HeapKey(const ModelEntry& e) {
  return ModelKey(static_cast<int64_t>(e.expired.GetSec()) * 1000000 + e.expired.GetUsec(), 0,
                  static_cast<int64_t>(e.seq), 0);
}

ModelKey WheelKey(const ModelEntry& e) {
  const int64_t seq = static_cast<int64_t>(e.seq);
  return ModelKey(static_cast<int64_t>(e.expired.GetSec()) * 1000000 + e.expired.GetUsec(), e.far ? 1 : 0,
                  e.far ? -seq : seq, 0);
}

class NodeModel : public FrozenClock {
 protected:
  template <class Queue>
  void Run(ModelKey (*aKey)(const ModelEntry&), std::function<CCmTimeValue(std::mt19937&)> aInterval);
};

template <class Queue>
void NodeModel::Run(ModelKey (*aKey)(const ModelEntry&), std::function<CCmTimeValue(std::mt19937&)> aInterval) {
  CCmTimeValue& aNow = m_tvNow;
  std::vector<ModelEntry> model;
  uint64_t seq = 0;
  Queue queue;
  std::vector<int> fired, expectedFired;
  std::vector<std::unique_ptr<Recorder>> handlers;
  auto insert = [&](ModelEntry e) {
    e.seq = seq++;
    e.far = e.expired.GetSec() > aNow.GetSec() + 29;
    model.push_back(e);
  };
  auto erase = [&](int id) {
    auto it = std::find_if(model.begin(), model.end(), [&](const ModelEntry& m) { return m.id == id; });
    if (it == model.end()) return false;
    model.erase(it);
    return true;
  };
  auto next = [&] {
    return std::min_element(model.begin(), model.end(),
                            [&](const ModelEntry& a, const ModelEntry& b) { return aKey(a) < aKey(b); });
  };
  auto action = [&](int id, bool onModel) {
    if (id % 7 == 0) {
      const int other = (id + 1) % 40;
      if (onModel) erase(other);
      else queue.CancelTimer(handlers[other].get());
    } else if (id % 11 == 0) {
      if (onModel) erase(id), insert({id, aNow + Ms(20), Ms(20), 1, 0, false});
      else queue.ScheduleTimer(handlers[id].get(), nullptr, Ms(20), 1);
    }
  };
  // One CheckExpire, and the same on the model.
  auto check = [&] {
    while (!model.empty() && next()->expired <= aNow) {
      ModelEntry e = *next();
      erase(e.id);
      expectedFired.push_back(e.id);
      if (e.count != 0xFFFFFFFF) --e.count;
      if (e.count != 0) {
        if (aNow <= e.expired + CCmTimeValue(3600L, 0L)) {
          while (e.expired <= aNow) e.expired += e.interval;
        } else {
          e.expired = aNow + e.interval;
        }
        insert(e);
      }
      action(e.id, true);
    }
    queue.CheckExpire();
  };
  for (int i = 0; i < 40; ++i) handlers.emplace_back(new Recorder(&fired, i, [&action, i] { action(i, false); }));
  std::mt19937 rng(4242);
  for (int step = 0; step < 8000; ++step) {
    const int op = static_cast<int>(rng() % 200), id = static_cast<int>(rng() % handlers.size());
    if (op < 90) {
      const CCmTimeValue interval = aInterval(rng);
      const DWORD count = rng() % 3;
      const bool existed = erase(id);
      insert({id, aNow + interval, interval, count == 0 ? 0xFFFFFFFF : count, 0, false});
      ASSERT_EQ(queue.ScheduleTimer(handlers[id].get(), nullptr, interval, count), existed ? ZAR_E_ALREADY_EXISTS : 0);
    } else if (op < 130) {
      ASSERT_EQ(queue.CancelTimer(handlers[id].get()), erase(id) ? 0 : ZAR_E_NOT_FOUND);
    } else if (op < 198) {
      // Mostly short steps; now and then the thread was held up for 35 s.
      Advance(op < 196 ? static_cast<long>(rng() % 400) : 35000L);
      check();
      ASSERT_EQ(fired, expectedFired) << "step " << step;
      ASSERT_EQ(queue.GetEarliestTime(), model.empty() ? CCmTimeValue::get_tvMax() : next()->expired) << "step " << step;
    } else {
      // The clock is set back two hours (exactly 240 wheel revolutions), or
      // forward: nothing is re-based, so old and new deadlines share buckets.
      Advance(op == 198 ? -2 * 3600 * 1000L : 2 * 3600 * 1000L);
      check();
      ASSERT_EQ(fired, expectedFired) << "step " << step;
    }
  }
  EXPECT_GT(fired.size(), 2000u);
}

TEST_F(NodeModel, MinHeapAgreesWithALiteralModelUnderRandomOperations) {
  Run<CCmTimerMinHeapQueue>(&HeapKey, [](std::mt19937& rng) { return Ms(static_cast<long>(rng() % 6) * 10 + 10); });
}

TEST_F(NodeModel, WheelAgreesWithALiteralModelUnderRandomOperations) {
  // Odd milliseconds share buckets unevenly; a third are far timers, some
  // on the 29/30-second border.
  Run<CCmTimerWheelQueue>(&WheelKey, [](std::mt19937& rng) {
    return rng() % 3 == 0 ? Ms(29000 + static_cast<long>(rng() % 12000)) : Ms(1 + static_cast<long>(rng() % 60));
  });
}

TEST(CCmTimerQueueBase, CreateTimerQueueFollowsTheDefaultKind) {
  TraceCapture trace;
  std::unique_ptr<CCmTimerQueueBase> list(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default));
  ASSERT_TRUE(list);
  EXPECT_EQ(typeid(*list), typeid(CCmTimerQueueOrderedList));
  std::unique_ptr<CCmTimerQueueBase> wheel(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Wheel));
  ASSERT_TRUE(wheel);
  EXPECT_EQ(typeid(*wheel), typeid(CCmTimerWheelQueue));
  cm_set_default_timer_type(CmQueueType_MinHeap);
  cm_set_default_timer_type(0);  // changes nothing
  EXPECT_EQ(CmGetDefaultTimerType(), CmQueueType_MinHeap);
  std::unique_ptr<CCmTimerQueueBase> heap(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default));
  ASSERT_TRUE(heap);
  EXPECT_EQ(typeid(*heap), typeid(CCmTimerMinHeapQueue));
  cm_set_default_timer_type(7);
  EXPECT_EQ(CCmTimerQueueBase::CreateTimerQueue(nullptr, CmQueueType_Default), nullptr);
  EXPECT_TRUE(trace.Contains("CCmTimerQueueBase::CreateTimerQueue, no timer queue of type=7", 1));
  cm_set_default_timer_type(CmQueueType_OrderedList);
}

// ---- the wheel's own cases

using Wheel = FrozenClock;

TEST_F(Wheel, BucketIndexIsTheTimeIn10MsUnitsModulo3000) {
  const std::pair<CCmTimeValue, int> cases[] = {
      {CCmTimeValue(1L, 234567L), 123}, {CCmTimeValue(29L, 999999L), 2999}, {CCmTimeValue(30L, 0L), 0},
      {CCmTimeValue(0L, -10000L), 2999}, {CCmTimeValue::get_tvMax(), 799}, {CCmTimeValue(-0x7fffffffL - 1, 0L), 2200}};
  for (const auto& [time, bucket] : cases) EXPECT_EQ(CCmTimerWheelQueue::BucketIndex(time), bucket) << time.GetSec();
}

// A far timer waits in a far bucket, is announced in its turn among near
// timers scheduled later, and fires once, never a millisecond early.
TEST_F(Wheel, FarTimerFiresOnceInItsTurnAmongNearOnes) {
  CCmTimerWheelQueue queue;
  std::vector<int> log;
  Recorder far(&log, 40), before(&log, 38), after(&log, 42);
  const CCmTimeValue start = m_tvNow;
  queue.ScheduleTimer(&far, nullptr, Ms(40000), 1);
  EXPECT_EQ(far.m_nWheelIndex, CCmTimerWheelQueue::BucketIndex(start + Ms(40000)));
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::WheelFarCount(queue, far.m_nWheelIndex), 1u);
  Advance(25000);
  queue.ScheduleTimer(&after, nullptr, Ms(17000), 1);
  queue.ScheduleTimer(&before, nullptr, Ms(13000), 1);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::WheelNearCount(queue, after.m_nWheelIndex), 1u);
  CCmTimeValue earliest;
  for (long t : {38000L, 40000L, 42000L}) {
    queue.CheckExpire(nullptr, &earliest);
    EXPECT_EQ(earliest, start + Ms(t));  // each deadline announced in turn
    Advance((start + Ms(t) - m_tvNow).GetTotalInMsec() - 1);
    EXPECT_EQ(queue.CheckExpire(), 0);
    Advance(1);
  }
  EXPECT_EQ(queue.CheckExpire(nullptr, &earliest), 1);
  EXPECT_EQ(earliest, CCmTimeValue::get_tvMax());
  EXPECT_EQ(log, (std::vector<int>{38, 40, 42}));
}

// Within one 10 ms slot, near and far timers alike fire in deadline order
// (equal deadlines in scheduling order), and the earliest time reported is
// never later than a timer held: a push due before the announced timer of
// its slot is announced in its place. None fires early.
TEST_F(Wheel, OneSlotFiresInDeadlineOrderAndNeverEarly) {
  CCmTimerWheelQueue queue;
  std::vector<int> log;
  const CCmTimeValue start = m_tvNow;  // at a slot's start
  Recorder late(&log, 8), early(&log, 3), tie(&log, 4);
  queue.ScheduleTimer(&late, nullptr, Ms(8), 1);
  queue.ScheduleTimer(&early, nullptr, Ms(3), 1);
  queue.ScheduleTimer(&tie, nullptr, Ms(3), 1);
  EXPECT_EQ(late.m_nWheelIndex, early.m_nWheelIndex);
  EXPECT_EQ(queue.GetEarliestTime(), start + Ms(3));
  Advance(3);
  EXPECT_EQ(queue.CheckExpire(), 2);
  EXPECT_EQ(queue.GetEarliestTime(), start + Ms(8));
  Advance(5);
  EXPECT_EQ(queue.CheckExpire(), 1);
  EXPECT_EQ(log, (std::vector<int>{3, 4, 8}));

  // Two far timers and two near ones share the slot start + 40.00x.
  log.clear();
  m_tvNow = start;
  m_Clock.SetWall(m_tvNow);
  Recorder far9(&log, 9), far1(&log, 1), near8(&log, 8), near5(&log, 5);
  const std::pair<Recorder*, long> pushes[] = {{&far9, 40009}, {&far1, 40001}, {&near8, 18}, {&near5, 15}};
  const long announced[] = {40009, 40001, 40001, 40001};
  for (size_t i = 0; i < 4; ++i) {
    if (i == 2) Advance(40000 - 10);
    queue.ScheduleTimer(pushes[i].first, nullptr, Ms(pushes[i].second), 1);
    EXPECT_EQ(queue.GetEarliestTime(), start + Ms(announced[i])) << i;
  }
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::WheelFarCount(queue, far1.m_nWheelIndex), 2u);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::WheelNearCount(queue, far1.m_nWheelIndex), 2u);
  for (long due : {40001L, 40005L, 40008L, 40009L}) {
    EXPECT_EQ(queue.GetEarliestTime(), start + Ms(due));
    Advance((start + Ms(due) - m_tvNow).GetTotalInMsec() - 1);
    EXPECT_EQ(queue.CheckExpire(), 0) << due;
    Advance(1);
    EXPECT_EQ(queue.CheckExpire(), 1) << due;
  }
  EXPECT_EQ(log, (std::vector<int>{1, 5, 8, 9}));
}

TEST_F(Wheel, ErasingTheEarliestAnnouncesTheNextHeldDeadline) {
  CCmTimerWheelQueue queue;
  Recorder a, b, c, d;
  const std::pair<Recorder*, long> timers[] = {{&a, 15}, {&b, 12}, {&c, 2500}, {&d, 35000}};
  for (const auto& [h, ms] : timers) queue.ScheduleTimer(h, nullptr, Ms(ms), 1);
  const std::pair<Recorder*, CCmTimeValue> erasures[] = {
      {&b, m_tvNow + Ms(15)}, {&a, m_tvNow + Ms(2500)}, {&d, m_tvNow + Ms(2500)}, {&c, CCmTimeValue::get_tvMax()}};
  EXPECT_EQ(queue.GetEarliestTime(), m_tvNow + Ms(12));  // b, due before a in the same slot
  for (const auto& [h, next] : erasures) {
    EXPECT_EQ(queue.CancelTimer(h), 0);
    EXPECT_EQ(queue.GetEarliestTime(), next);
  }
}

// ---- the calendar queue: slots, ticks and the zero-delay event

class Calendar : public FrozenClock {
 protected:
  void SetUp() override {
    FrozenClock::SetUp();
    m_Events.Reset2CurrentThreadInfo();
    m_Events.Start();
  }
  // Fires what the calendar posted; returns how many events there were.
  size_t RunEvents() {
    std::list<ICmEvent*> batch;
    if (m_Events.PopPendingEvents(batch, 100) != 0) return 0;
    m_Events.ProcessEvents(batch);
    return batch.size();
  }
  CCmEventQueueUsingMutex m_Events;
};

TEST_F(Calendar, SlotArithmeticTicksAndTheLongIntervalClamp) {
  TraceCapture trace;
  CCmTimerQueueCalendar calendar(5, 1000, &m_Events);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarSlotInterval(calendar), 10u);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarMaxSlot(calendar), 99u);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarMaxSlot(CCmTimerQueueCalendar(50, 20, &m_Events)), 10u);
  std::vector<int> log;
  Recorder quarter(&log, 25), clamped(&log, 5000), a(&log, 1), b(&log, 2), tiny(&log, 3);
  calendar.TimerTick();  // current slot 1
  calendar.ScheduleTimer(&quarter, nullptr, Ms(25), 1);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarSlotOf(calendar, &quarter), 4);
  calendar.ScheduleTimer(&clamped, nullptr, Ms(5000), 1);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarSlotOf(calendar, &clamped), 0);  // 1 + 99, around the ring
  EXPECT_TRUE(trace.Contains("CCmTimerQueueCalendar::InsertUnique_i, exceed max interval. interval_s=5 "
                             "interval_us=0 dwDistance=500 m_impl->dwMaxSlotNumber=99 [this=0x",
                             0));
  calendar.ScheduleTimer(&a, nullptr, Ms(20), 2);
  calendar.ScheduleTimer(&b, nullptr, Ms(20), 0);
  calendar.ScheduleTimer(&tiny, nullptr, CCmTimeValue(0L, 300L), 1);  // the next slot, not this one
  for (int tick = 1; tick <= 99; ++tick) calendar.TimerTick();
  // Newest first within a slot; the periodic ones every 2 ticks.
  EXPECT_EQ(std::vector<int>(log.begin(), log.begin() + 6), (std::vector<int>{3, 2, 1, 25, 1, 2}));
  EXPECT_EQ(log.back(), 5000);  // 99 ticks on, alone in its slot
  EXPECT_EQ(std::count(log.begin(), log.end(), 5000), 1);
  EXPECT_EQ(clamped.at, m_tvNow);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarCurrentSlot(calendar), 0u);  // wrapped
  EXPECT_EQ(calendar.CancelTimer(&quarter), ZAR_E_NOT_FOUND);  // its count ran out
  EXPECT_EQ(calendar.ScheduleTimer(&b, nullptr, Ms(50), 0), ZAR_E_ALREADY_EXISTS);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarSlotOf(calendar, &b), 5);
  EXPECT_EQ(calendar.CancelTimer(&b), 0);
}

TEST_F(Calendar, ZeroDelayTimersShareOnePostAndFireOnceNewestFirst) {
  CCmTimerQueueCalendar calendar(10, 1000, &m_Events);
  std::vector<int> log;
  Recorder a(&log, 1), b(&log, 2), c(&log, 3);
  calendar.ScheduleTimer(&c, nullptr, Ms(30), 1);
  calendar.ScheduleTimer(&a, nullptr, Ms(0), 5);
  calendar.ScheduleTimer(&b, nullptr, Ms(0), 1);
  EXPECT_EQ(calendar.ScheduleTimer(&c, nullptr, Ms(0), 1), ZAR_E_ALREADY_EXISTS);  // out of its slot
  EXPECT_EQ(m_Events.GetPendingEventsCount(), 1u);
  EXPECT_EQ(CCmTimerQueueInspectorForTesting::CalendarFireNowCount(calendar), 3u);
  EXPECT_EQ(calendar.CancelTimer(&b), 0);
  EXPECT_EQ(RunEvents(), 1u);
  EXPECT_EQ(log, (std::vector<int>{3, 1}));  // once, whatever the count
  for (int tick = 0; tick < 5; ++tick) calendar.TimerTick();
  EXPECT_EQ(log.size(), 2u);
}

// The zero-delay list is drained until empty, timers that callbacks add on
// the way included (newest first). A handler that already fired in this
// drain and adds itself again waits for the next post, so one that does so
// forever fires once per event and never keeps the thread from others.
TEST_F(Calendar, ZeroDelayDrainTakesTimersAddedOnTheWayButEachHandlerOnce) {
  CCmTimerQueueCalendar calendar(10, 1000, &m_Events);
  std::vector<int> log;
  Recorder b(&log, 2), c(&log, 3), gone(&log, 5);
  Recorder a(&log, 1, [&] {
    calendar.ScheduleTimer(&b, nullptr, Ms(0), 1);
    calendar.ScheduleTimer(&c, nullptr, Ms(0), 1);
    calendar.ScheduleTimer(&gone, nullptr, Ms(0), 1);
    calendar.CancelTimer(&gone);
  });
  Recorder forever(&log, 4, [&] { calendar.ScheduleTimer(&forever, nullptr, Ms(0), 1); });
  calendar.ScheduleTimer(&a, nullptr, Ms(0), 1);
  EXPECT_EQ(RunEvents(), 1u);
  EXPECT_EQ(log, (std::vector<int>{1, 3, 2}));
  EXPECT_EQ(m_Events.GetPendingEventsCount(), 0u);  // drained: nothing posted again

  log.clear();
  EventTally other;
  calendar.ScheduleTimer(&forever, nullptr, Ms(0), 1);
  m_Events.PostEvent(new ProbeEvent(other));
  for (int turn = 1; turn <= 3; ++turn) {
    EXPECT_EQ(RunEvents(), turn == 1 ? 2u : 1u);  // the other event gets its turn
    EXPECT_EQ(forever.count, turn);
    EXPECT_EQ(m_Events.GetPendingEventsCount(), 1u);
  }
  EXPECT_EQ(other.fired, 1);
  EXPECT_EQ(calendar.CancelTimer(&forever), 0);
  EXPECT_EQ(RunEvents(), 1u);
  EXPECT_EQ(forever.count, 3);
}

TEST_F(Calendar, RefusalsAndAPostOutlivingTheCalendar) {
  TraceCapture trace;
  Recorder h;
  {
    CCmTimerQueueCalendar calendar(10, 1000, &m_Events);
    EXPECT_EQ(calendar.ScheduleTimer(nullptr, nullptr, Ms(10), 1), ZAR_E_INVALIDARG);
    EXPECT_EQ(calendar.CancelTimer(nullptr), ZAR_E_INVALIDARG);
    EXPECT_EQ(trace.Count("Assert failed: aEh"), 2u);
    EXPECT_EQ(calendar.CancelTimer(&h), ZAR_E_NOT_FOUND);
    calendar.ScheduleTimer(&h, nullptr, Ms(0), 1);
  }
  EXPECT_EQ(RunEvents(), 1u);  // the calendar is gone: nothing fires
  m_Events.Stop();
  CCmTimerQueueCalendar refused(10, 1000, &m_Events);
  refused.ScheduleTimer(&h, nullptr, Ms(0), 1);
  m_Events.Start();
  refused.ScheduleTimer(&h, nullptr, Ms(0), 1);  // a refused post is made again
  EXPECT_EQ(RunEvents(), 1u);
  EXPECT_EQ(h.count, 1);
}

TEST_F(OrderedList, CancelFromAnotherThreadWaitsForTheRunningCallback) {
  CCmTimerQueueOrderedList queue;
  ThreadWaiter entered, cancelWaiting;
  m_Clock.OnSleep([&](unsigned) { cancelWaiting.Finished(); });
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
  m_Clock.OnSleep(nullptr);
  Advance(100);
  EXPECT_EQ(queue.CheckExpire(), 0);
  EXPECT_EQ(h.count, 1);
}


// ---- cancels from another thread racing periodic callbacks, every kind.
//
// The owner thread fires periodic timers without pause and re-schedules a
// handler once the canceller has cancelled it. The canceller checks the
// rule of a cross-thread cancel each time: when CancelTimer returns, that
// handler's callback is not running and never fires again. Every eighth
// cancel is made while the callback is known to run (it holds until the
// canceller is waiting for it); the others land wherever they land. Run
// under ThreadSanitizer this also checks that the canceller and the owner
// never touch the queue's storage unordered.
std::atomic<int> g_nCancelWaits{0};

class RacedHandler : public ICmTimerHandler {
 public:
  enum State { kArmed, kCancelled, kRearm };
  void OnTimeout(const CCmTimeValue&, void*) override {
    running = true;
    if (state.load() == kCancelled) ++lateFirings;
    if (hold.exchange(false)) {
      const int waits = g_nCancelWaits.load();
      holding = true;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (g_nCancelWaits.load() == waits && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      holding = false;
    }
    running = false;
  }
  std::atomic<int> state{kArmed};
  std::atomic<bool> running{false};
  std::atomic<bool> hold{false};
  std::atomic<bool> holding{false};
  std::atomic<int> lateFirings{0};
};

// aTurn fires what is due, on the owner's thread.
template <class Queue>
void RaceCancelsAgainstPeriodicCallbacks(Queue& aQueue, const CCmTimeValue& aPeriod, void (*aTurn)(Queue&)) {
  constexpr int kHandlers = 4, kCancels = 96;
  RacedHandler handlers[kHandlers];
  for (RacedHandler& h : handlers) ASSERT_EQ(aQueue.ScheduleTimer(&h, nullptr, aPeriod, 0), 0);
  g_nCancelWaits = 0;
  ManualClock clock(ManualClock::kRunning);  // real periods; the cancels' waits counted
  clock.OnSleep([](unsigned) { ++g_nCancelWaits; });
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    while (!stop.load()) {
      aTurn(aQueue);
      for (RacedHandler& h : handlers) {
        if (h.state.load() != RacedHandler::kRearm) continue;
        h.state = RacedHandler::kArmed;
        aQueue.ScheduleTimer(&h, nullptr, aPeriod, 0);
      }
      std::this_thread::yield();
    }
    for (RacedHandler& h : handlers) aQueue.CancelTimer(&h);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int cancels = 0, stillRunning = 0, notFound = 0;
  for (unsigned pick = 0; cancels < kCancels && std::chrono::steady_clock::now() < deadline; ++pick) {
    RacedHandler& h = handlers[pick % kHandlers];
    if (h.state.load() != RacedHandler::kArmed) {
      std::this_thread::yield();
      continue;
    }
    if (cancels % 8 == 0) {
      // Cancel inside a callback: wait until one holds for us.
      h.hold = true;
      while (!h.holding.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    const int result = aQueue.CancelTimer(&h);
    if (h.running.load()) ++stillRunning;
    if (result != 0) ++notFound;  // a periodic timer is always scheduled
    h.hold = false;
    h.state = RacedHandler::kCancelled;
    ++cancels;
    // Room for a few periods: a firing left scheduled past the cancel
    // shows up as a late firing.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    h.state = RacedHandler::kRearm;
  }
  stop = true;
  owner.join();
  clock.OnSleep(nullptr);
  EXPECT_EQ(cancels, kCancels);
  EXPECT_EQ(stillRunning, 0);
  EXPECT_EQ(notFound, 0);
  EXPECT_GE(g_nCancelWaits.load(), kCancels / 8);  // the held callbacks were waited for
  for (RacedHandler& h : handlers) EXPECT_EQ(h.lateFirings.load(), 0);
}

template <class Queue>
class CrossThreadCancel : public ::testing::Test {};
TYPED_TEST_SUITE(CrossThreadCancel, NodeQueues);

TYPED_TEST(CrossThreadCancel, RacesPeriodicCallbacksSafely) {
  TypeParam queue;
  RaceCancelsAgainstPeriodicCallbacks<TypeParam>(queue, Ms(1), [](TypeParam& q) { q.CheckExpire(); });
}

TEST(CrossThreadCancelCalendar, RacesPeriodicCallbacksSafely) {
  CCmTimerQueueCalendar calendar(10, 1000, nullptr);
  RaceCancelsAgainstPeriodicCallbacks<CCmTimerQueueCalendar>(calendar, Ms(10),
                                                             [](CCmTimerQueueCalendar& c) { c.TimerTick(); });
}

}  // namespace
