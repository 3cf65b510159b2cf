// Linux implementation of CmPlatformWait.h over futex(2) and the scheduler's
// affinity mask.
#include <errno.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/CmPlatformWait.h"

namespace cm_platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be a plain 32-bit word");

void WaitOnWord(std::atomic<uint32_t>& aWord, uint32_t aExpected, int64_t aMicroseconds) {
  timespec relative;
  timespec* timeout = nullptr;
  if (aMicroseconds >= 0) {
    relative.tv_sec = static_cast<time_t>(aMicroseconds / 1000000);
    relative.tv_nsec = static_cast<long>(aMicroseconds % 1000000) * 1000L;
    timeout = &relative;
  }
  // A relative FUTEX_WAIT measures on the monotonic clock. EAGAIN (the word
  // changed), EINTR and ETIMEDOUT all mean "look again".
  const int saved = errno;
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAIT_PRIVATE, aExpected, timeout, nullptr, 0);
  errno = saved;
}

void WakeWord(std::atomic<uint32_t>& aWord, int aCount) {
  const int saved = errno;
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&aWord), FUTEX_WAKE_PRIVATE, aCount, nullptr, nullptr, 0);
  errno = saved;
}

bool PinCurrentThreadToCpu(unsigned aCpu) {
  if (aCpu >= CPU_SETSIZE) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(aCpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

bool UnpinCurrentThread() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long online = sysconf(_SC_NPROCESSORS_CONF);
  for (long cpu = 0; cpu < online && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

}  // namespace cm_platform
