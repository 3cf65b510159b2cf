// Clocks: the mock time, wraps of the tick count and the one-year check,
// the time splits, the wall-clock policy's anchor, and the reference-counted
// "t-tick" thread behind low_tick_policy.
#include "CmClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "CmClockInternal.h"
#include "CmFuncTracerInternal.h"
#include "CmThread.h"
#include "CmTimerQueue.h"
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
  EXPECT_EQ(timer_fact<tick_policy>::now(), 5000000u);
  EXPECT_EQ(timer_fact<low_tick_policy>::now(), 5000000u);
  EXPECT_EQ(timer_fact<timer_policy>::now(), 5000000u);
  timer_fact<tick_policy> fact;
  timer_fact<timer_policy> wall(-1);  // -1: now
  EXPECT_EQ(fact.latest_tag(), 5000000u);
  EXPECT_EQ(wall.latest_tag(), 5000000u);
  timer_fact<tick_policy>::MockNow(7500000);
  EXPECT_EQ(fact.elapsed(), 2500000);
  EXPECT_EQ(fact.elapsed_mills(), 2500);
  EXPECT_EQ(fact.elapsed_sec(), 2);
  EXPECT_EQ(wall.elapsed(), 2500000);
  EXPECT_TRUE(fact.overtime(2500000));
  EXPECT_FALSE(fact.overtime(2500001));
  EXPECT_TRUE(fact.overtime_mills(2500));
  EXPECT_FALSE(fact.overtime_sec(3));
  fact.reset(7000000);
  EXPECT_EQ(fact.elapsed_mills(), 500);

  set_mock_time(kMockTimeDisabled);
  const unsigned long long now = timer_fact<timer_policy>::now();
  EXPECT_NE(now, 7500000u);
  const unsigned long long wallNow = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  // The anchor keeps only its whole second: behind by less than one.
  EXPECT_LE(now, wallNow + 1000);
  EXPECT_GE(now + 2000000, wallNow);
}

TEST_F(MockTime, TickCountWrapIsMeasuredAcross) {
  timer_fact<tick_policy> fact(4294967000000LL);
  set_mock_time(1000000);
  EXPECT_EQ(fact.elapsed(), 1000000 + 295000);
  EXPECT_EQ(fact.elapsed_mills(), 1000 + 295);
  // 1.295 s in whole seconds, also when the wrap itself is below a second.
  EXPECT_EQ(fact.elapsed_sec(), 1);
  timer_fact<low_tick_policy> low(4294967295000LL);  // the very last tick
  EXPECT_EQ(low.elapsed(), 1000000);
  EXPECT_EQ(calculate_tick_interval(0xFFFFFFF0UL, 0x10UL), 0x20UL);
  EXPECT_EQ(calculate_tick_interval(0x10UL, 0x30UL), 0x20UL);
}

TEST_F(MockTime, AWallClockGoingBackMeasuresZeroAndWarns) {
  TraceCapture trace;
  timer_fact<timer_policy> fact(10000000);
  set_mock_time(9000000);  // a second before the tag
  EXPECT_EQ(fact.elapsed(), 0);
  EXPECT_EQ(fact.elapsed_mills(), 0);
  EXPECT_EQ(fact.elapsed_sec(), 0);
  EXPECT_EQ(trace.Count("timer_fact::elapsed_sec over one year, no support, remain = ", 1), 3u);
  EXPECT_TRUE(trace.Contains(std::string("remain = ") + std::to_string(0x7FFFFFFFFFFFFFFFLL - 10000000)));
  EXPECT_TRUE(checkIsTimeValid(31535999999999LL, 1000000));
  EXPECT_FALSE(checkIsTimeValid(31536000000000LL, 1000000));
  EXPECT_TRUE(checkIsTimeValid(31535999, 1));
  EXPECT_FALSE(checkIsTimeValid(31536000, 1));
}

TEST(CmClock, TimeSplits) {
  const tick_type tick(7384123456LL);
  EXPECT_EQ(tick.hours, 2u);
  EXPECT_EQ(tick.minutes, 3u);
  EXPECT_EQ(tick.seconds, 4u);
  EXPECT_EQ(tick.milliseconds, 123u);
  EXPECT_EQ(tick.microseconds, 456u);
  EXPECT_EQ(tick_type(100LL * 3600000000LL).hours, 100u);  // not reduced

  const time_type t(1700000000123456LL);
  const time_t seconds = 1700000000;
  tm local{};
  ASSERT_TRUE(localtime_r(&seconds, &local));
  EXPECT_EQ(t.millisecond, 123);
  EXPECT_EQ(t.microsecond, 456);
  EXPECT_EQ(t.second, local.tm_sec);
  EXPECT_EQ(t.minute, local.tm_min);
  EXPECT_EQ(t.hour, local.tm_hour);
  EXPECT_EQ(t.day, local.tm_mday);
  EXPECT_EQ(t.month, local.tm_mon + 1);
  EXPECT_EQ(t.year, 2023);
  EXPECT_EQ(t.weekday, local.tm_wday);
  EXPECT_EQ(t.yearday, local.tm_yday);
  EXPECT_EQ(t.isdst, local.tm_isdst);

  set_mock_time(1000);  // the formatted clocks do not consult it
  EXPECT_GT(formatted_timer::now().year, 2000);
  set_mock_time(kMockTimeDisabled);
  const tick_type now = formatted_ticker::now();
  EXPECT_LT(now.minutes, 60u);
}

TEST(CmClock, SteadyClocksAndTheFunctionTracersClock) {
  const unsigned long long before = tick_policy::now_us();
  const uint64_t tracerMs = CmFuncTracerNowMs();
  const unsigned long long after = tick_policy::now_us();
  EXPECT_LE(before / 1000, tracerMs);
  EXPECT_LE(tracerMs, after / 1000);
  EXPECT_LE(tick_policy::now(), tick_policy::max_time_value());
  EXPECT_EQ(tick_policy::now() % 1000, 0u);
  EXPECT_EQ(timer_policy::max_time_value(), 0x7FFFFFFFFFFFFFFFULL);
  const unsigned long long w1 = timer_policy::now();
  const unsigned long long w2 = timer_policy::now();
  EXPECT_LE(w1, w2);
}

// Two users share one "t-tick" thread; the last one out ends it.
TEST(CmLowTick, ReferenceCountedTickThread) {
  TraceCapture trace;
  ASSERT_EQ(CmLowTickRefCount(), 0);
  ASSERT_EQ(CmLowTickThread(), nullptr);
  EXPECT_EQ(g_qwCmLowTickUs.load(), kMockTimeDisabled);  // readers use the tick count

  startLowTick();
  low_tick_policy::start();
  EXPECT_EQ(CmLowTickRefCount(), 2);
  ACmThread* thread = CmLowTickThread();
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
  EXPECT_EQ(CmLowTickRefCount(), 1);
  EXPECT_EQ(CmLowTickThread(), thread);
  EXPECT_TRUE(trace.Contains("stopLowTick, leave. refNum=1", 2));
  low_tick_policy::stop();
  EXPECT_EQ(CmLowTickRefCount(), 0);
  EXPECT_EQ(CmLowTickThread(), nullptr);
  EXPECT_FALSE(generator->started());
  EXPECT_EQ(g_qwCmLowTickUs.load(), kMockTimeDisabled);
  EXPECT_TRUE(trace.Contains("low_tick_generator::stop [this=0x", 2));
  stopLowTick();  // one too many
  EXPECT_EQ(CmLowTickRefCount(), 0);
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
  EXPECT_EQ(CmLowTickRefCount(), 1);  // the thread itself was made
  stopLowTick();
  EXPECT_EQ(CmLowTickThread(), nullptr);
}

}  // namespace
