#include "CmTimeValue.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <utility>
#include <vector>

namespace {

using SecUsec = std::pair<long, long>;
SecUsec Tv(const CCmTimeValue& aTv) { return {aTv.GetSec(), aTv.GetUsec()}; }

// Each value against the seconds and microseconds it must hold.
void ExpectAll(const std::vector<std::pair<CCmTimeValue, SecUsec>>& aCases) {
  for (size_t i = 0; i < aCases.size(); ++i) EXPECT_EQ(Tv(aCases[i].first), aCases[i].second) << "case " << i;
}

TEST(CCmTimeValue, NormalisesCarriesAndSigns) {
  // Any 32-bit microsecond count is accepted.
  ExpectAll({{CCmTimeValue(0, 1500000), {1, 500000}},
             {CCmTimeValue(2, -1), {1, 999999}},
             {CCmTimeValue(-2, 1), {-1, -999999}},
             {CCmTimeValue(0, -500000), {0, -500000}},
             {CCmTimeValue(0, -2500000), {-2, -500000}},
             {CCmTimeValue(3, 7000000), {10, 0}},
             {CCmTimeValue(0, 2147483647L), {2147, 483647}},
             {CCmTimeValue(0, -2147483647L - 1), {-2147, -483648}},
             {CCmTimeValue(timeval{5, 2000001}), {7, 1}}});
}

TEST(CCmTimeValue, FromDoubleAndMillisecondsTruncateTowardZero) {
  CCmTimeValue set, fromMs, toMs;
  set.Set(2.0000019);
  fromMs.SetByTotalMsec(-1500);
  toMs.SetByTotalMsec(1999);
  ExpectAll({{CCmTimeValue(1.5), {1, 500000}},
             {CCmTimeValue(-1.5), {-1, -500000}},
             {CCmTimeValue(0.0000004), {0, 0}},
             {CCmTimeValue(-0.25), {0, -250000}},
             {set, {2, 1}},
             {fromMs, {-1, -500000}},
             {toMs, {1, 999000}}});
  EXPECT_EQ(CCmTimeValue(1, 999999).GetTotalInMsec(), 1999);
  EXPECT_EQ(CCmTimeValue(0, -1500).GetTotalInMsec(), -1);
  EXPECT_EQ(CCmTimeValue(-3, -999).GetTotalInMsec(), -3000);
  // 32-bit arithmetic: beyond about 24.8 days the value wraps.
  EXPECT_EQ(CCmTimeValue(2147483L, 0).GetTotalInMsec(), 2147483000L);
  EXPECT_EQ(CCmTimeValue(2147484L, 0).GetTotalInMsec(), static_cast<long>(static_cast<int32_t>(2147484000u)));
}

TEST(CCmTimeValue, ArithmeticAndOrdering) {
  const CCmTimeValue tiny = CCmTimeValue(0, 0) - CCmTimeValue(0, 1);
  EXPECT_TRUE(tiny < CCmTimeValue::get_tvZero());
  CCmTimeValue acc(5, 0);
  acc -= CCmTimeValue(7, 250000);
  const CCmTimeValue afterSubtract = acc;
  acc += CCmTimeValue(2, 250000);
  EXPECT_EQ(acc, CCmTimeValue::get_tvZero());
  ExpectAll({{CCmTimeValue(1, 0) - CCmTimeValue(0, 1), {0, 999999}},
             {tiny, {0, -1}},
             {CCmTimeValue(1, 600000) + CCmTimeValue(2, 700000), {4, 300000}},
             {CCmTimeValue(-1, -600000) + CCmTimeValue(0, 700000), {0, -900000}},
             {afterSubtract, {-2, -250000}},
             {CCmTimeValue::get_tvMax(), {2147483647L, 999999}}});
  const CCmTimeValue values[] = {CCmTimeValue(-5, -1), CCmTimeValue(-5, 0),      CCmTimeValue(0, -3),
                                 CCmTimeValue(0, 0),   CCmTimeValue(0, 3),       CCmTimeValue(1, 0),
                                 CCmTimeValue(1, 1),   CCmTimeValue::get_tvMax()};
  for (size_t i = 0; i < 8; ++i) {
    for (size_t j = 0; j < 8; ++j) {
      const CCmTimeValue &a = values[i], &b = values[j];
      // Each operator yields exactly 1 or 0.
      EXPECT_EQ(std::vector<int>({(a < b), (a <= b), (a > b), (a >= b), (a == b), (a != b)}),
                std::vector<int>({(i < j), (i <= j), (i > j), (i >= j), (i == j), (i != j)}))
          << i << "," << j;
    }
  }
}

TEST(CCmTimeValue, WallClockAndCalendar) {
  const CCmTimeValue before = CCmTimeValue::GetTimeOfDay();
  timeval tv;
  gettimeofday(&tv, nullptr);
  const CCmTimeValue after = CCmTimeValue::GetTimeOfDay();
  EXPECT_LE(before, after);
  EXPECT_LE(before.GetSec(), static_cast<long>(tv.tv_sec));
  EXPECT_GE(after.GetSec(), static_cast<long>(tv.tv_sec));
  EXPECT_TRUE(before.GetUsec() >= 0 && before.GetUsec() < 1000000) << before.GetUsec();
  tm utc{};
  CCmTimeValue(86400L * 365 + 3600 + 61, 999).GetUTCTime(&utc);  // 1971-01-01 01:01:01
  EXPECT_EQ(std::vector<int>({utc.tm_year, utc.tm_yday, utc.tm_hour, utc.tm_min, utc.tm_sec}),
            std::vector<int>({71, 0, 1, 1, 1}));
}

}  // namespace
