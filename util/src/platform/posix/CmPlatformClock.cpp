// POSIX implementation of CmPlatformClock.h: CLOCK_MONOTONIC for the
// counter, clock() for the process clock.
#include <sys/time.h>
#include <time.h>

#include "platform/CmPlatformClock.h"

namespace cm_platform {

namespace {
constexpr int64_t kNanosecondsPerSecond = 1000000000;
}  // namespace

bool HighResolutionCounter(int64_t& aCount) {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  aCount = static_cast<int64_t>(ts.tv_sec) * kNanosecondsPerSecond + ts.tv_nsec;
  return true;
}

int64_t HighResolutionFrequency() { return kNanosecondsPerSecond; }

uint64_t MonotonicNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

void TimevalParts(const struct timeval& aTv, long& aSeconds, long& aMicroseconds) {
  aSeconds = static_cast<long>(aTv.tv_sec);
  aMicroseconds = static_cast<long>(aTv.tv_usec);
}

int64_t ProcessClockMs() { return static_cast<int64_t>(clock()) * 1000 / CLOCKS_PER_SEC; }

}  // namespace cm_platform
