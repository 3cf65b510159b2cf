#include "CmTimeValue.h"

#include <gtest/gtest.h>
#include <sys/time.h>

namespace {

void ExpectTv(const CCmTimeValue& aTv, long aSec, long aUsec) {
  EXPECT_EQ(aTv.GetSec(), aSec);
  EXPECT_EQ(aTv.GetUsec(), aUsec);
}

TEST(CCmTimeValue, NormalisesCarriesAndSigns) {
  ExpectTv(CCmTimeValue(0, 1500000), 1, 500000);
  ExpectTv(CCmTimeValue(2, -1), 1, 999999);
  ExpectTv(CCmTimeValue(-2, 1), -1, -999999);
  ExpectTv(CCmTimeValue(0, -500000), 0, -500000);
  ExpectTv(CCmTimeValue(0, -2500000), -2, -500000);
  ExpectTv(CCmTimeValue(3, 7000000), 10, 0);
  // Any 32-bit microsecond count is accepted.
  ExpectTv(CCmTimeValue(0, 2147483647L), 2147, 483647);
  ExpectTv(CCmTimeValue(0, -2147483647L - 1), -2147, -483648);
  timeval tv{5, 2000001};
  ExpectTv(CCmTimeValue(tv), 7, 1);
}

TEST(CCmTimeValue, FromDoubleTruncatesTowardZero) {
  ExpectTv(CCmTimeValue(1.5), 1, 500000);
  ExpectTv(CCmTimeValue(-1.5), -1, -500000);
  ExpectTv(CCmTimeValue(0.0000004), 0, 0);
  ExpectTv(CCmTimeValue(-0.25), 0, -250000);
  CCmTimeValue tv;
  tv.Set(2.0000019);
  ExpectTv(tv, 2, 1);
}

TEST(CCmTimeValue, MillisecondConversionsTruncate) {
  CCmTimeValue tv;
  tv.SetByTotalMsec(-1500);
  ExpectTv(tv, -1, -500000);
  tv.SetByTotalMsec(1999);
  ExpectTv(tv, 1, 999000);
  EXPECT_EQ(CCmTimeValue(1, 999999).GetTotalInMsec(), 1999);
  EXPECT_EQ(CCmTimeValue(0, -1500).GetTotalInMsec(), -1);
  EXPECT_EQ(CCmTimeValue(-3, -999).GetTotalInMsec(), -3000);
  // 32-bit arithmetic: beyond about 24.8 days the value wraps.
  EXPECT_EQ(CCmTimeValue(2147483L, 0).GetTotalInMsec(), 2147483000L);
  EXPECT_EQ(CCmTimeValue(2147484L, 0).GetTotalInMsec(), static_cast<long>(static_cast<int32_t>(2147484000u)));
}

TEST(CCmTimeValue, ArithmeticAndOrdering) {
  ExpectTv(CCmTimeValue(1, 0) - CCmTimeValue(0, 1), 0, 999999);
  const CCmTimeValue tiny = CCmTimeValue(0, 0) - CCmTimeValue(0, 1);
  ExpectTv(tiny, 0, -1);
  EXPECT_TRUE(tiny < CCmTimeValue::get_tvZero());
  ExpectTv(CCmTimeValue(1, 600000) + CCmTimeValue(2, 700000), 4, 300000);
  ExpectTv(CCmTimeValue(-1, -600000) + CCmTimeValue(0, 700000), 0, -900000);
  CCmTimeValue acc(5, 0);
  acc -= CCmTimeValue(7, 250000);
  ExpectTv(acc, -2, -250000);
  acc += CCmTimeValue(2, 250000);
  EXPECT_EQ(acc, CCmTimeValue::get_tvZero());

  const CCmTimeValue values[] = {CCmTimeValue(-5, -1), CCmTimeValue(-5, 0), CCmTimeValue(0, -3),
                                 CCmTimeValue(0, 0),   CCmTimeValue(0, 3),  CCmTimeValue(1, 0),
                                 CCmTimeValue(1, 1),   CCmTimeValue::get_tvMax()};
  for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
    for (size_t j = 0; j < sizeof(values) / sizeof(values[0]); ++j) {
      EXPECT_EQ(values[i] < values[j], i < j ? 1 : 0) << i << "," << j;
      EXPECT_EQ(values[i] <= values[j], i <= j ? 1 : 0);
      EXPECT_EQ(values[i] > values[j], i > j ? 1 : 0);
      EXPECT_EQ(values[i] >= values[j], i >= j ? 1 : 0);
      EXPECT_EQ(values[i] == values[j], i == j ? 1 : 0);
      EXPECT_EQ(values[i] != values[j], i != j ? 1 : 0);
    }
  }
  ExpectTv(CCmTimeValue::get_tvMax(), 2147483647L, 999999);
}

TEST(CCmTimeValue, WallClockAndCalendar) {
  const CCmTimeValue before = CCmTimeValue::GetTimeOfDay();
  timeval tv;
  gettimeofday(&tv, nullptr);
  const CCmTimeValue after = CCmTimeValue::GetTimeOfDay();
  EXPECT_LE(before, after);
  EXPECT_LE(before.GetSec(), static_cast<long>(tv.tv_sec));
  EXPECT_GE(after.GetSec(), static_cast<long>(tv.tv_sec));
  EXPECT_GE(before.GetUsec(), 0);
  EXPECT_LT(before.GetUsec(), 1000000);

  tm utc{};
  CCmTimeValue(86400L * 365 + 3600 + 61, 999).GetUTCTime(&utc);  // 1971-01-01 01:01:01
  EXPECT_EQ(utc.tm_year, 71);
  EXPECT_EQ(utc.tm_yday, 0);
  EXPECT_EQ(utc.tm_hour, 1);
  EXPECT_EQ(utc.tm_min, 1);
  EXPECT_EQ(utc.tm_sec, 1);
}

}  // namespace
