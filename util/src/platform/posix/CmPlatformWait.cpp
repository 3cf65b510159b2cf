// Linux implementation of CmPlatformWait.h over futex(2), the thread's timer
// slack and the scheduler's affinity mask.
#include <errno.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/CmPlatformThread.h"
#include "platform/CmPlatformWait.h"

namespace cm_platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be a plain 32-bit word");

int64_t WaitDeadline(int64_t aMicroseconds) {
  if (aMicroseconds < 0) return -1;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000 + aMicroseconds;
}

bool WaitOnWordUntil(std::atomic<uint32_t>& aWord, uint32_t aExpected, int64_t aDeadline) {
  timespec absolute;
  timespec* timeout = nullptr;
  if (aDeadline >= 0) {
    absolute.tv_sec = static_cast<time_t>(aDeadline / 1000000);
    absolute.tv_nsec = static_cast<long>(aDeadline % 1000000) * 1000L;
    timeout = &absolute;
  }
  // The bitset form takes an absolute time on CLOCK_MONOTONIC, so a wait
  // cut short by a spurious wake-up or a signal goes on to the same end
  // without reading the clock again. EAGAIN (the word changed) and EINTR
  // mean "look again"; ETIMEDOUT that the deadline has passed.
  const int saved = errno;
  const long rv = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAIT_BITSET_PRIVATE, aExpected, timeout,
                          nullptr, FUTEX_BITSET_MATCH_ANY);
  const bool timedOut = rv != 0 && errno == ETIMEDOUT;
  errno = saved;
  return !timedOut;
}

void EndTimedWaitsOnTime() {
  // The smallest slack the kernel takes (0 would mean "back to the default").
  const int saved = errno;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  errno = saved;
}

bool PollWordWhile(std::atomic<uint32_t>& aWord, uint32_t aValue, int64_t aMicroseconds) {
  const int64_t end = WaitDeadline(aMicroseconds);
  for (;;) {
    if (aWord.load(std::memory_order_acquire) != aValue) return true;
    if (WaitDeadline(0) >= end) return false;
    for (int i = 0; i < 16; ++i) CpuRelax();
  }
}

void WakeWord(std::atomic<uint32_t>& aWord, int aCount) {
  const int saved = errno;
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAKE_PRIVATE, aCount, nullptr, nullptr, 0);
  errno = saved;
}

bool PinCurrentThreadToCpuForTesting(unsigned aCpu) {
  if (aCpu >= CPU_SETSIZE) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(aCpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

bool UnpinCurrentThreadForTesting() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long online = sysconf(_SC_NPROCESSORS_CONF);
  for (long cpu = 0; cpu < online && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

}  // namespace cm_platform
