// Gauges under the test clock, and CmDuration's start and end lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "CmGauge.h"
#include "CmGaugeSeams.h"

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
  RateCounter counter(ms(1000));
  counter.UT_Reset(0);
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  auto record = [&](uint32_t aIncrement, uint32_t aCount) { reports.emplace_back(aIncrement, aCount); };
  for (int i = 0; i < 5; ++i) counter.IncOne(record);
  EXPECT_EQ(counter.GetIncrement(), 5u);
  counter.UT_Elapsed(1000);
  counter.IncOne(record);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], std::make_pair(6u, 6u));
  EXPECT_EQ(counter.GetIncrement(), 0u);
  for (int i = 0; i < 3; ++i) counter.IncOne();
  counter.UT_Elapsed(999);
  counter.IncOne(record);
  EXPECT_EQ(reports.size(), 1u);
  counter.UT_Elapsed(1);
  counter.IncOne(record);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], std::make_pair(5u, 11u));
}

TEST(RateCounter, SetDurationAndResetClearTheCounters) {
  RateCounter counter;
  EXPECT_EQ(counter.GetDuration(), ms(1000));
  counter.UT_Reset(0);
  counter.IncOne();
  counter.SetDuration(ms(10));
  uint32_t lastCount = 0;
  counter.IncOne();
  counter.UT_Elapsed(10);
  counter.IncOne([&](uint32_t, uint32_t aCount) { lastCount = aCount; });
  EXPECT_EQ(lastCount, 2u);
  counter.IncOne();
  counter.Reset();
  EXPECT_EQ(counter.GetIncrement(), 0u);
  // A callback may reset the counter it is called from.
  counter.UT_Elapsed(10);
  counter.IncOne([&](uint32_t, uint32_t) { counter.Reset(); });
  counter.IncOne();
  EXPECT_EQ(counter.GetIncrement(), 1u);
}

TEST(DutyCycleGauge, AccountsStatesAndRanksThem) {
  DutyCycleGauge gauge(ms(1000));
  gauge.UT_Reset(0);
  EXPECT_FALSE(gauge.HasSetFirstState());
  gauge.SetState(1);
  gauge.UT_Elapsed(300);
  gauge.SetState(2);
  gauge.UT_Elapsed(700);
  gauge.Conclude();
  EXPECT_TRUE(gauge.HasSetFirstState());
  EXPECT_EQ(gauge.GetState(), 2);
  ms d(0);
  int entries = 0;
  ASSERT_TRUE(gauge.GetStateInfo(1, &d, &entries));
  EXPECT_EQ(d, ms(300));
  EXPECT_EQ(entries, 1);
  ASSERT_TRUE(gauge.GetStateInfo(2, &d, &entries));
  EXPECT_EQ(d, ms(700));
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(gauge.GetStateInfo(3, &d, &entries));
  double ratio = 0;
  EXPECT_EQ(gauge.GetDominantState(&ratio, &d), 2);
  EXPECT_DOUBLE_EQ(ratio, 0.7);
  EXPECT_EQ(d, ms(700));
  EXPECT_EQ(gauge.GetTrivialState(&ratio, &d), 1);
  EXPECT_DOUBLE_EQ(ratio, 0.3);
  EXPECT_EQ(d, ms(300));
}

TEST(DutyCycleGauge, NothingBeforeTheFirstStatistics) {
  DutyCycleGauge gauge(ms(1000));
  gauge.SetState(4);
  double ratio = -1.0;
  ms d(-7);
  int entries = -3;
  EXPECT_EQ(gauge.GetDominantState(&ratio, &d), 0);
  EXPECT_EQ(gauge.GetTrivialState(&ratio, &d), 0);
  EXPECT_FALSE(gauge.GetStateInfo(4, &d, &entries));
  EXPECT_EQ(ratio, -1.0);
  EXPECT_EQ(d, ms(-7));
  EXPECT_EQ(entries, -3);
  EXPECT_EQ(gauge.GetLatestStats(), nullptr);
}

TEST(DutyCycleGauge, ReentriesTiesAndALoneState) {
  DutyCycleGauge gauge(ms(1000));
  gauge.UT_Reset(0);
  for (int s : {5, 5, 3, 5}) {  // the repeated 5 is no new entry
    gauge.SetState(s);
    gauge.UT_Elapsed(200);
  }
  gauge.Conclude();
  ms d(0);
  int entries = 0;
  ASSERT_TRUE(gauge.GetStateInfo(5, &d, &entries));
  EXPECT_EQ(d, ms(600));
  EXPECT_EQ(entries, 2);
  // A tie goes to the first state in state order.
  gauge.Reset();
  gauge.SetState(5);
  gauge.UT_Elapsed(400);
  gauge.SetState(3);
  gauge.UT_Elapsed(400);
  gauge.Conclude();
  EXPECT_EQ(gauge.GetDominantState(nullptr, nullptr), 3);
  EXPECT_EQ(gauge.GetTrivialState(nullptr, nullptr), 3);
  // With one state nothing is below the total: trivial is state 0 with all.
  gauge.Reset();
  gauge.SetState(7);
  gauge.UT_Elapsed(500);
  gauge.Conclude();
  double ratio = 0;
  EXPECT_EQ(gauge.GetTrivialState(&ratio, &d), 0);
  EXPECT_DOUBLE_EQ(ratio, 1.0);
  EXPECT_EQ(d, ms(500));
  gauge.Reset();
  gauge.SetState(1);
  gauge.Conclude();  // a zero total gives a zero share
  EXPECT_EQ(gauge.GetDominantState(&ratio, &d), 0);
  EXPECT_EQ(ratio, 0.0);
}

TEST(DutyCycleGauge, PeekPublishesWhenDueAndStartsAFreshPeriod) {
  DutyCycleGauge gauge(ms(3600 * 1000));  // only the first Peek is due
  gauge.UT_Reset(0);
  gauge.SetState(1);
  gauge.UT_Elapsed(200);
  gauge.SetState(2);
  gauge.UT_Elapsed(300);
  ms total(0);
  ASSERT_TRUE(gauge.Peek(&total));
  EXPECT_EQ(total, ms(500));
  EXPECT_EQ(gauge.GetDominantState(nullptr, nullptr), 2);
  gauge.UT_Elapsed(40);
  EXPECT_FALSE(gauge.Peek(&total));
  gauge.Conclude();  // the new period holds the current state, entered once
  ms d(0);
  int entries = 0;
  ASSERT_TRUE(gauge.GetStateInfo(2, &d, &entries));
  EXPECT_EQ(d, ms(40));
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(gauge.GetStateInfo(1, &d, &entries));

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
int64_t g_llSteadyNs = 0;
int64_t FakeSteadyNs() { return g_llSteadyNs; }

// The start and end lines of a CmDuration living aLifeNs.
std::pair<std::string, std::string> DurationLines(int64_t aLifeNs) {
  CmDurationSetSteadyClockForTest(&FakeSteadyNs);
  testing::internal::CaptureStdout();
  std::string start;
  {
    CmDuration life;
    start = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    g_llSteadyNs += aLifeNs;
  }
  CmDurationSetSteadyClockForTest(nullptr);
  return {start, testing::internal::GetCapturedStdout()};
}
}  // namespace

TEST(CmDuration, EndLineSplitsMinutesAndSeconds) {
  const std::string prefix = "UT Process ended. PID: " + std::to_string(getpid()) + " Duration: ";
  EXPECT_EQ(DurationLines(125000000000LL).second, prefix + "2m5s\n");
  EXPECT_EQ(DurationLines(59999999999LL).second, prefix + "0m59s\n");
  EXPECT_EQ(DurationLines(60000000000LL).second, prefix + "1m0s\n");
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
