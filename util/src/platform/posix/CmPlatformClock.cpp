// POSIX implementation of CmPlatformClock.h: CLOCK_REALTIME and
// CLOCK_MONOTONIC, nanosleep, localtime_r and gmtime_r.
#include <errno.h>
#include <sys/time.h>
#include <time.h>

#include "platform/CmPlatformClock.h"

namespace cm_platform {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

int64_t Nanoseconds(clockid_t aClock) {
  timespec ts;
  clock_gettime(aClock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNanosecondsPerSecond + ts.tv_nsec;
}

}  // namespace

int64_t WallClockNanoseconds() { return Nanoseconds(CLOCK_REALTIME); }

int64_t MonotonicNanoseconds() { return Nanoseconds(CLOCK_MONOTONIC); }

void SleepMs(unsigned aMilliseconds) {
  timespec ts{static_cast<time_t>(aMilliseconds / 1000), static_cast<long>(aMilliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool LocalTime(int64_t aSeconds, struct tm* aOut) {
  const time_t t = static_cast<time_t>(aSeconds);
  return localtime_r(&t, aOut) != nullptr;
}

bool UtcTime(int64_t aSeconds, struct tm* aOut) {
  const time_t t = static_cast<time_t>(aSeconds);
  return gmtime_r(&t, aOut) != nullptr;
}

void TimevalParts(const struct timeval& aTv, long& aSeconds, long& aMicroseconds) {
  aSeconds = static_cast<long>(aTv.tv_sec);
  aMicroseconds = static_cast<long>(aTv.tv_usec);
}

}  // namespace cm_platform
