#include "CmTimeValue.h"

#include "CmClockSource.h"
#include "platform/CmPlatformClock.h"

void CCmTimeValue::Set(const timeval& aTv) {
  long sec, usec;
  cm_platform::TimevalParts(aTv, sec, usec);
  Set(sec, usec);
}

CCmTimeValue CCmTimeValue::GetTimeOfDay() {
  const int64_t us = cm_clock::WallMicroseconds();
  return CCmTimeValue(static_cast<long>(us / 1000000), static_cast<long>(us % 1000000));
}

void CCmTimeValue::GetUTCTime(tm* aOut) const {
  if (aOut) cm_platform::UtcTime(static_cast<int64_t>(m_lSec), aOut);
}

void CCmTimeValue::GetLocalTime(tm* aOut) const {
  if (aOut) cm_platform::LocalTime(static_cast<int64_t>(m_lSec), aOut);
}
