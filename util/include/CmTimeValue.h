// CmTimeValue.h - CCmTimeValue, the time value of every wait, timer and timeout.
//
// Seconds and microseconds, both signed 32-bit, kept in normal form:
// -999999 <= usec <= 999999 and, when sec != 0, usec is 0 or has the sign of
// sec (minus half a second is (0, -500000)). Ordering is lexicographic on
// (sec, usec), which is numeric order for normal values. get_tvMax() stands
// for "no deadline" / "wait without limit" throughout the library.
//
// Thread safety: a plain value; copies may be used on any thread.
#ifndef CM_TIME_VALUE_H
#define CM_TIME_VALUE_H

#include <ctime>

#include "CmDefines.h"

struct timeval;

// Seconds and microseconds in normal form (see above). Thread safety: a
// plain value.
class CM_EXPORT CCmTimeValue {
 public:
  CCmTimeValue() : m_lSec(0), m_lUsec(0) {}
  CCmTimeValue(long aSec) : m_lSec(static_cast<int32_t>(aSec)), m_lUsec(0) {}
  // Keeps CCmTimeValue(5) unambiguous between the long and double forms.
  CCmTimeValue(int aSec) : m_lSec(aSec), m_lUsec(0) {}
  CCmTimeValue(long aSec, long aUsec) { Set(aSec, aUsec); }
  CCmTimeValue(const timeval& aTv) { Set(aTv); }
  explicit CCmTimeValue(double aSec) { Set(aSec); }

  void Set(long aSec, long aUsec) {
    m_lSec = static_cast<int32_t>(aSec);
    m_lUsec = static_cast<int32_t>(aUsec);
    Normalize();
  }
  void Set(const timeval& aTv);
  // Both parts truncate toward zero: 1.5 -> (1, 500000), -1.5 -> (-1, -500000).
  void Set(double aSec) {
    const long sec = static_cast<long>(aSec);
    Set(sec, static_cast<long>((aSec - static_cast<double>(sec)) * 1000000.0));
  }
  // Already normal by construction, so it is not normalised again.
  void SetByTotalMsec(long aMilliseconds) {
    m_lSec = static_cast<int32_t>(aMilliseconds / 1000);
    m_lUsec = static_cast<int32_t>((aMilliseconds - static_cast<long>(m_lSec) * 1000) * 1000);
  }

  long GetSec() const { return m_lSec; }
  long GetUsec() const { return m_lUsec; }
  // Computed in 32-bit arithmetic, as the engine always has: meaningful within
  // +-2,147,483 s (about 24.8 days); beyond that the value wraps.
  long GetTotalInMsec() const {
    const int64_t ms = static_cast<int64_t>(m_lSec) * 1000 + m_lUsec / 1000;
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
  }

  // Wall-clock time since 1970-01-01 UTC.
  static CCmTimeValue GetTimeOfDay();
  void GetUTCTime(tm* aOut) const;
  void GetLocalTime(tm* aOut) const;

  static CCmTimeValue get_tvZero() { return CCmTimeValue(); }
  static CCmTimeValue get_tvMax() { return CCmTimeValue(0x7fffffffL, 999999L); }

  CCmTimeValue& operator+=(const CCmTimeValue& aRight) {
    Set(static_cast<long>(m_lSec) + aRight.m_lSec, static_cast<long>(m_lUsec) + aRight.m_lUsec);
    return *this;
  }
  CCmTimeValue& operator-=(const CCmTimeValue& aRight) {
    Set(static_cast<long>(m_lSec) - aRight.m_lSec, static_cast<long>(m_lUsec) - aRight.m_lUsec);
    return *this;
  }

  friend int operator==(const CCmTimeValue& a, const CCmTimeValue& b) {
    return a.m_lSec == b.m_lSec && a.m_lUsec == b.m_lUsec;
  }
  friend int operator!=(const CCmTimeValue& a, const CCmTimeValue& b) { return !(a == b); }
  friend int operator<(const CCmTimeValue& a, const CCmTimeValue& b) {
    return a.m_lSec < b.m_lSec || (a.m_lSec == b.m_lSec && a.m_lUsec < b.m_lUsec);
  }
  friend int operator>(const CCmTimeValue& a, const CCmTimeValue& b) { return b < a; }
  friend int operator<=(const CCmTimeValue& a, const CCmTimeValue& b) { return !(b < a); }
  friend int operator>=(const CCmTimeValue& a, const CCmTimeValue& b) { return !(a < b); }

  int32_t m_lSec;
  int32_t m_lUsec;

 private:
  // Sums of two normal values need at most one pass of the loops; any 32-bit
  // microsecond count is accepted. Wraps in 32 bits like the engine's values.
  void Normalize() {
    int64_t sec = m_lSec;
    int64_t usec = m_lUsec;
    if (usec >= 1000000 || usec <= -1000000) {
      sec += usec / 1000000;
      usec %= 1000000;
    }
    if (sec >= 1 && usec < 0) {
      sec -= 1;
      usec += 1000000;
    } else if (sec < 0 && usec > 0) {
      sec += 1;
      usec -= 1000000;
    }
    m_lSec = static_cast<int32_t>(static_cast<uint32_t>(sec));
    m_lUsec = static_cast<int32_t>(usec);
  }
};

inline CCmTimeValue operator+(const CCmTimeValue& a, const CCmTimeValue& b) {
  CCmTimeValue r(a);
  r += b;
  return r;
}
inline CCmTimeValue operator-(const CCmTimeValue& a, const CCmTimeValue& b) {
  CCmTimeValue r(a);
  r -= b;
  return r;
}

#endif  // CM_TIME_VALUE_H
