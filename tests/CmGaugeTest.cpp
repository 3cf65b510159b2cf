// Gauges under the test clock, and CmDuration's start and end lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CmGauge.h"
#include "ManualClock.h"

using namespace time_util;
using ms = time_util::duration;

namespace {
int64_t g_llFakeTicks = 0;  // a hand-moved clock, 100-ns ticks
time_point FakeNow() { return time_point(tick(g_llFakeTicks)); }
}  // namespace

TEST(Stopwatch, ReadsTheTestClockAndTruncatesTowardZero) {
  Stopwatch sw;
  sw.UT_Reset(0);
  sw.UT_Elapsed(1500);
  EXPECT_EQ(sw.Read(), ms(1500));
  Stopwatch copy(sw);  // a copy carries its own test clock
  sw.Reset();
  sw.UT_Elapsed(7);
  EXPECT_EQ(sw.Read(), ms(7));
  EXPECT_EQ(copy.Read(), ms(1500));

  sw.UT_Reset(0);
  g_llFakeTicks = 500000;            // 50 ms
  sw.UT_SetPfnNow(&FakeNow, false);  // keeps the start of the test clock (0 ms)
  EXPECT_EQ(sw.Read(), ms(50));
  sw.UT_SetPfnNow(&FakeNow, true);
  g_llFakeTicks += 159999;
  EXPECT_EQ(sw.Read(), ms(15));
  g_llFakeTicks = 500000 - 15000;  // a clock set back reads negative, truncated
  EXPECT_EQ(sw.Read(), ms(-1));
}

TEST(DurationGauge, ElapsesAtThePeriodAndRestartsAtTheCall) {
  DurationGauge gauge(ms(1000));
  gauge.UT_Reset(0);
  gauge.UT_Elapsed(999);
  EXPECT_FALSE(gauge.DurationElapsed());
  gauge.UT_Elapsed(1);
  EXPECT_TRUE(gauge.DurationElapsed());
  EXPECT_FALSE(gauge.DurationElapsed());
  gauge.UT_Elapsed(1300);  // late: the next period starts at this call
  EXPECT_TRUE(gauge.DurationElapsed());
  gauge.UT_Elapsed(500);
  gauge.SetDuration(ms(400));  // keeps the start
  EXPECT_EQ(gauge.Read(), ms(500));
  EXPECT_TRUE(gauge.DurationElapsed());
  EXPECT_EQ(DurationGauge().GetDuration(), ms(1000));
}

TEST(RateCounter, ReportsIncrementAndCountOncePerPeriod) {
  RateCounter counter;
  EXPECT_EQ(counter.GetDuration(), ms(1000));
  counter.UT_Reset(0);
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  auto record = [&](uint32_t aIncrement, uint32_t aCount) { reports.emplace_back(aIncrement, aCount); };
  for (int i = 0; i < 5; ++i) counter.IncOne(record);
  EXPECT_EQ(counter.GetIncrement(), 5u);
  counter.UT_Elapsed(1000);
  counter.IncOne(record);
  EXPECT_EQ(counter.GetIncrement(), 0u);
  for (int i = 0; i < 3; ++i) counter.IncOne();
  counter.UT_Elapsed(999);
  counter.IncOne(record);
  EXPECT_EQ(reports.size(), 1u);
  counter.UT_Elapsed(1);
  counter.IncOne(record);
  // SetDuration clears the counters.
  counter.IncOne();
  counter.SetDuration(ms(10));
  counter.IncOne();
  counter.UT_Elapsed(10);
  counter.IncOne(record);
  EXPECT_EQ(reports, (std::vector<std::pair<uint32_t, uint32_t>>{{6, 6}, {5, 11}, {2, 2}}));
}

// The callback runs before the report is stored: reading the increment it
// sees the one it was given; a Reset from it clears the counters for good.
TEST(RateCounter, CallbackSeesItsIncrementAndMayReset) {
  RateCounter counter(ms(10));
  counter.UT_Reset(0);
  counter.IncOne();
  counter.Reset();
  EXPECT_EQ(counter.GetIncrement(), 0u);
  for (int i = 0; i < 3; ++i) counter.IncOne();
  counter.UT_Elapsed(10);
  uint32_t seen = 0;
  counter.IncOne([&](uint32_t aIncrement, uint32_t) { seen = counter.GetIncrement() + 100 * aIncrement; });
  EXPECT_EQ(seen, 404u);
  EXPECT_EQ(counter.GetIncrement(), 0u);
  counter.IncOne();
  counter.UT_Elapsed(10);
  counter.IncOne([&](uint32_t, uint32_t) { counter.Reset(); });
  counter.IncOne();
  EXPECT_EQ(counter.GetIncrement(), 1u);
}

namespace {
// Enters each state of aSteps {state, ms} and stays there for its time, then concludes.
void Drive(DutyCycleGauge& aGauge, std::initializer_list<std::pair<int, int>> aSteps, bool aConclude = true) {
  for (auto [state, time] : aSteps) {
    aGauge.SetState(state);
    aGauge.UT_Elapsed(time);
  }
  if (aConclude) aGauge.Conclude();
}
// "<ms>ms x<entries>" of a state, or "none".
std::string Info(const DutyCycleGauge& aGauge, int aState) {
  ms d(0);
  int entries = 0;
  if (!aGauge.GetStateInfo(aState, &d, &entries)) return "none";
  return std::to_string(d.count()) + "ms x" + std::to_string(entries);
}
// {state, ratio, duration} of the dominant (or trivial) state.
std::tuple<int, double, ms> Rank(const DutyCycleGauge& aGauge, bool aDominant) {
  double ratio = -1;
  ms d(-1);
  const int state = aDominant ? aGauge.GetDominantState(&ratio, &d) : aGauge.GetTrivialState(&ratio, &d);
  return {state, ratio, d};
}
}  // namespace

TEST(DutyCycleGauge, AccountsStatesAndRanksThem) {
  DutyCycleGauge gauge(ms(1000));
  gauge.UT_Reset(0);
  EXPECT_FALSE(gauge.HasSetFirstState());
  Drive(gauge, {{1, 300}, {2, 700}});
  EXPECT_TRUE(gauge.HasSetFirstState());
  EXPECT_EQ(gauge.GetState(), 2);
  EXPECT_EQ(Info(gauge, 1) + " " + Info(gauge, 2) + " " + Info(gauge, 3), "300ms x1 700ms x1 none");
  EXPECT_EQ(Rank(gauge, true), std::make_tuple(2, 0.7, ms(700)));
  EXPECT_EQ(Rank(gauge, false), std::make_tuple(1, 0.3, ms(300)));
}

TEST(DutyCycleGauge, NothingBeforeTheFirstStatistics) {
  DutyCycleGauge gauge(ms(1000));
  gauge.SetState(4);
  EXPECT_EQ(Rank(gauge, true), std::make_tuple(0, -1.0, ms(-1)));  // outputs untouched
  EXPECT_EQ(Rank(gauge, false), std::make_tuple(0, -1.0, ms(-1)));
  ms d(-7);
  int entries = -3;
  EXPECT_FALSE(gauge.GetStateInfo(4, &d, &entries));
  EXPECT_EQ(std::make_pair(d, entries), std::make_pair(ms(-7), -3));
  EXPECT_EQ(gauge.GetLatestStats(), nullptr);
}

TEST(DutyCycleGauge, ReentriesTiesAndALoneState) {
  DutyCycleGauge gauge(ms(1000));
  gauge.UT_Reset(0);
  Drive(gauge, {{5, 200}, {5, 200}, {3, 200}, {5, 200}});  // the repeated 5 is no new entry
  EXPECT_EQ(Info(gauge, 5), "600ms x2");
  // A tie goes to the first state in state order.
  gauge.Reset();
  Drive(gauge, {{5, 400}, {3, 400}});
  EXPECT_EQ(gauge.GetDominantState(nullptr, nullptr), 3);
  EXPECT_EQ(gauge.GetTrivialState(nullptr, nullptr), 3);
  // With one state nothing is below the total: trivial is state 0 with all.
  gauge.Reset();
  Drive(gauge, {{7, 500}});
  EXPECT_EQ(Rank(gauge, false), std::make_tuple(0, 1.0, ms(500)));
  gauge.Reset();
  Drive(gauge, {{1, 0}});  // a zero total gives a zero share
  EXPECT_EQ(Rank(gauge, true), std::make_tuple(0, 0.0, ms(0)));
}

TEST(DutyCycleGauge, PeekPublishesWhenDueAndStartsAFreshPeriod) {
  DutyCycleGauge gauge(ms(3600 * 1000));  // only the first Peek is due
  gauge.UT_Reset(0);
  Drive(gauge, {{1, 200}, {2, 300}}, false);
  ms total(0);
  ASSERT_TRUE(gauge.Peek(&total));
  EXPECT_EQ(total, ms(500));
  EXPECT_EQ(gauge.GetDominantState(nullptr, nullptr), 2);
  gauge.UT_Elapsed(40);
  EXPECT_FALSE(gauge.Peek(&total));
  gauge.Conclude();  // the new period holds the current state, entered once
  EXPECT_EQ(Info(gauge, 2) + " " + Info(gauge, 1), "40ms x1 none");
  DutyCycleGauge always(ms(0));
  always.UT_Reset(0);
  always.SetState(1);
  EXPECT_TRUE(always.Peek(nullptr));
  always.UT_Elapsed(20);
  EXPECT_TRUE(always.Peek(&total));
  EXPECT_EQ(total, ms(20));
}

TEST(DutyCycleGauge, ConcurrentStateChangesKeepTheBooksConsistent) {
  DutyCycleGauge gauge(ms(0));
  gauge.SetState(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&gauge, t] {
      for (int i = 0; i < 2000; ++i) {
        gauge.SetState((t + i) % 3);
        if (i % 100 == 0) gauge.Peek(nullptr);
        gauge.GetDominantState(nullptr, nullptr);
      }
    });
  }
  for (auto& th : threads) th.join();
  gauge.Conclude();
  auto stats = gauge.GetLatestStats();
  ASSERT_NE(stats, nullptr);
  uint64_t sum = 0;
  for (const auto& s : stats->states) sum += s.second.duration;
  EXPECT_EQ(sum, stats->total);
}

namespace {
// The start and end lines of a CmDuration living aLifeNs.
std::pair<std::string, std::string> DurationLines(int64_t aLifeNs) {
  ManualClock clock;
  testing::internal::CaptureStdout();
  std::string start;
  {
    CmDuration life;
    start = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    clock.AdvanceNs(aLifeNs);
  }
  return {start, testing::internal::GetCapturedStdout()};
}
}  // namespace

TEST(CmDuration, EndLineSplitsMinutesAndSeconds) {
  const std::string prefix = "UT Process ended. PID: " + std::to_string(getpid()) + " Duration: ";
  const std::pair<int64_t, const char*> cases[] = {
      {125000000000LL, "2m5s\n"}, {59999999999LL, "0m59s\n"}, {60000000000LL, "1m0s\n"}};
  for (auto [life, expected] : cases) EXPECT_EQ(DurationLines(life).second, prefix + expected);
}

TEST(CmDuration, StartLineNamesProcessAndGating) {
  const std::string prefix = "UT Process started. PID: " + std::to_string(getpid()) + " nRUN_UT_BY_GATING: ";
  unsetenv("RUN_UT_ON_VM");
  unsetenv("RUN_UT_BY_GATING");
  std::string line = DurationLines(0).first;
  EXPECT_EQ(line.rfind(prefix + "-1 ProcessName: /", 0), 0u) << line;
  EXPECT_NE(line.find("/CmGaugeTest\n"), std::string::npos) << line;
  setenv("RUN_UT_ON_VM", "3", 1);
  EXPECT_EQ(DurationLines(0).first.rfind(prefix + "3 ProcessName: ", 0), 0u);
  setenv("RUN_UT_BY_GATING", "7", 1);  // the second variable wins
  EXPECT_EQ(DurationLines(0).first.rfind(prefix + "7 ProcessName: ", 0), 0u);
  unsetenv("RUN_UT_ON_VM");
  unsetenv("RUN_UT_BY_GATING");
}
