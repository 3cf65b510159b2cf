// Clocks: the mock time, wraps of the tick count and the one-year check,
// the time splits, the wall-clock policy's anchor, and the reference-counted
// "t-tick" thread behind low_tick_policy.
#include "CmClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "CmClockInternal.h"
#include "CmClockSource.h"
#include "CmThread.h"
#include "CmTimerQueue.h"
#include "ManualClock.h"
#include "TraceCapture.h"

namespace {

// Restores real clocks whatever the test did.
class MockTime : public ::testing::Test {
 protected:
  void TearDown() override { set_mock_time(kMockTimeDisabled); }
};

TEST_F(MockTime, ReplacesEveryPolicyUntilSwitchedOff) {
  set_mock_time(5000000);
  EXPECT_EQ(get_mock_time(), 5000000u);
  EXPECT_EQ(timer_fact<low_tick_policy>::now(), 5000000u);
  EXPECT_EQ(timer_fact<timer_policy>::now(), 5000000u);
  timer_fact<tick_policy> fact;
  timer_fact<timer_policy> wall(-1);  // -1: now
  EXPECT_EQ(fact.latest_tag(), 5000000u);
  timer_fact<tick_policy>::MockNow(7500000);
  EXPECT_EQ(fact.elapsed(), 2500000);
  EXPECT_EQ(fact.elapsed_mills(), 2500);
  EXPECT_EQ(fact.elapsed_sec(), 2);
  EXPECT_EQ(wall.elapsed(), 2500000);
  EXPECT_TRUE(fact.overtime(2500000) && fact.overtime_mills(2500) && !fact.overtime(2500001) && !fact.overtime_sec(3));

  set_mock_time(kMockTimeDisabled);
  const unsigned long long now = timer_fact<timer_policy>::now();
  const unsigned long long wallNow = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  EXPECT_LE(now, wallNow + 1000);  // the anchor keeps its whole second only
  EXPECT_GE(now + 2000000, wallNow);
  EXPECT_LE(now, timer_policy::now());
}

TEST_F(MockTime, WrapsOfTheTickCountAndClocksGoingBack) {
  TraceCapture trace;
  timer_fact<tick_policy> fact(4294967000000LL);
  timer_fact<low_tick_policy> last(4294967295000LL);  // the very last tick
  timer_fact<timer_policy> wall(10000000);
  set_mock_time(1000000);
  EXPECT_EQ(fact.elapsed(), 1000000 + 295000);
  EXPECT_EQ(fact.elapsed_mills(), 1000 + 295);
  EXPECT_EQ(fact.elapsed_sec(), 1);  // also when the wrap's own part is below a second
  EXPECT_EQ(last.elapsed(), 1000000);
  EXPECT_EQ(calculate_tick_interval(0xFFFFFFF0UL, 0x10UL), 0x20UL);
  EXPECT_FALSE(trace.Contains("over one year"));
  // The wall clock is 9 s before its tag: no wrap, 0 and a warning.
  EXPECT_EQ(wall.elapsed() + wall.elapsed_mills() + wall.elapsed_sec(), 0);
  EXPECT_EQ(trace.Count("timer_fact::elapsed_sec over one year, no support, remain = ", 1), 3u);
  EXPECT_TRUE(trace.Contains("remain = " + std::to_string(0x7FFFFFFFFFFFFFFFLL - 10000000)));
  EXPECT_TRUE(checkIsTimeValid(31535999999999LL, 1000000));
  EXPECT_FALSE(checkIsTimeValid(31536000000000LL, 1000000));
  EXPECT_FALSE(checkIsTimeValid(31536000, 1));
}

TEST(CmClock, TimeSplitsAndTheSteadyClock) {
  const tick_type tick(7384123456LL);
  EXPECT_EQ(std::vector<uint32_t>({tick.hours, tick.minutes, tick.seconds, tick.milliseconds, tick.microseconds}),
            std::vector<uint32_t>({2, 3, 4, 123, 456}));
  EXPECT_EQ(tick_type(100LL * 3600000000LL).hours, 100u);  // not reduced
  const time_type t(1700000000123456LL);
  const time_t seconds = 1700000000;
  tm local{};
  ASSERT_TRUE(localtime_r(&seconds, &local));
  EXPECT_EQ(std::vector<int32_t>({t.second, t.minute, t.hour, t.day, t.month, t.year, t.weekday, t.yearday, t.isdst,
                                  t.millisecond, t.microsecond}),
            std::vector<int32_t>({local.tm_sec, local.tm_min, local.tm_hour, local.tm_mday, local.tm_mon + 1, 2023,
                                  local.tm_wday, local.tm_yday, local.tm_isdst, 123, 456}));
  set_mock_time(1000);  // the formatted clocks do not consult it
  EXPECT_GT(formatted_timer::now().year, 2000);
  set_mock_time(kMockTimeDisabled);

  EXPECT_EQ(tick_policy::now() % 1000, 0u);
}

// Every clock of the library reads one source: a manual clock moves the
// wall clock, the steady clocks and the tick count together, setting the
// wall clock leaves the steady ones alone, and a sleep moves them all.
TEST(ClockSource, ManualClockMovesEveryClockTogether) {
  ManualClock clock;
  const CCmTimeValue wall = CCmTimeValue::GetTimeOfDay();
  EXPECT_EQ(wall, clock.Wall());
  const unsigned long long steady = tick_policy::now_us();
  const unsigned long long tick = CmTickCountUs();
  const unsigned long long anchored = timer_policy::now();
  clock.AdvanceMs(1234);
  EXPECT_EQ(CCmTimeValue::GetTimeOfDay(), wall + CCmTimeValue(1L, 234000L));
  EXPECT_EQ(tick_policy::now_us() - steady, 1234000u);
  EXPECT_EQ(CmTickCountUs() - tick, 1234000u);
  EXPECT_EQ(timer_policy::now() - anchored, 1234000u);

  clock.ShiftWall(CCmTimeValue(-3600L, 0L));  // the system clock set back
  EXPECT_EQ(CCmTimeValue::GetTimeOfDay(), wall + CCmTimeValue(1L, 234000L) - CCmTimeValue(3600L, 0L));
  EXPECT_EQ(tick_policy::now_us() - steady, 1234000u);

  clock.TakeSleeps();
  cm_clock::SleepMs(25);
  EXPECT_EQ(clock.TakeSleeps(), std::vector<unsigned>{25});
  EXPECT_EQ(CmTickCountUs() - tick, 1259000u);
}

// Two users share one "t-tick" thread; the last one out ends it.
TEST(CmLowTick, ReferenceCountedTickThread) {
  TraceCapture trace;
  ASSERT_EQ(CmLowTickRefCountForTesting(), 0);
  ASSERT_EQ(CmLowTickThreadForTesting(), nullptr);
  EXPECT_EQ(g_qwCmLowTickUs.load(), kMockTimeDisabled);  // readers use the tick count

  startLowTick();
  low_tick_policy::start();
  EXPECT_EQ(CmLowTickRefCountForTesting(), 2);
  ACmThread* thread = CmLowTickThreadForTesting();
  ASSERT_NE(thread, nullptr);
  EXPECT_STREQ(thread->GetName(), "t-tick");
  EXPECT_TRUE(trace.Contains("startLowTick: g_tickThread has been initialized", 1));
  EXPECT_TRUE(trace.Contains("low_tick_generator::start [this=0x", 2));
  low_tick_generator* generator = low_tick_generator::Instance();
  EXPECT_TRUE(generator->started());
  // The cached tick moves every 10 ms; wait until it has moved once.
  const unsigned long long first = low_tick_policy::now();
  EXPECT_NE(first, kMockTimeDisabled);
  EXPECT_EQ(first % 1000, 0u);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (low_tick_policy::now() == first && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_GT(low_tick_policy::now(), first);

  stopLowTick();
  EXPECT_EQ(CmLowTickRefCountForTesting(), 1);
  EXPECT_EQ(CmLowTickThreadForTesting(), thread);
  EXPECT_TRUE(trace.Contains("stopLowTick, leave. refNum=1", 2));
  low_tick_policy::stop();
  EXPECT_EQ(CmLowTickRefCountForTesting(), 0);
  EXPECT_EQ(CmLowTickThreadForTesting(), nullptr);
  EXPECT_FALSE(generator->started());
  EXPECT_EQ(g_qwCmLowTickUs.load(), kMockTimeDisabled);
  EXPECT_TRUE(trace.Contains("low_tick_generator::stop [this=0x", 2));
  stopLowTick();  // one too many
  EXPECT_EQ(CmLowTickRefCountForTesting(), 0);
  EXPECT_TRUE(trace.Contains("stopLowTick, leave. refNum=0", 2));
  EXPECT_EQ(trace.Count("stopLowTick, enter."), 3u);
}

TEST(CmLowTick, AThreadWithoutTimersCannotStartTheGenerator) {
  TraceCapture trace;
  cm_set_default_timer_type(7);  // task threads get no timer queue
  startLowTick();
  cm_set_default_timer_type(CmQueueType_OrderedList);
  EXPECT_TRUE(trace.Contains(
      "low_tick_generator::start, FAILED to schedule ticket timer in t-tick thread. rv = " +
          std::to_string(static_cast<int>(ZAR_E_THREAD_UNAVAILABLE)),
      0));
  EXPECT_FALSE(low_tick_generator::Instance()->started());
  EXPECT_EQ(g_qwCmLowTickUs.load(), kMockTimeDisabled);
  EXPECT_EQ(CmLowTickRefCountForTesting(), 1);  // the thread itself was made
  stopLowTick();
  EXPECT_EQ(CmLowTickThreadForTesting(), nullptr);
}

}  // namespace
