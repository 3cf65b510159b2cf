// CmPlatformWait.h - sleeping on a 32-bit word until another thread changes
// it, and pinning a thread to a processor.
//
// The word wait is the slow path under the library's hand-offs (the event
// queues' owner and SendEvent's sender): the fast path is an atomic
// operation in the caller's memory, and a thread enters the kernel only to
// sleep or to wake one that sleeps. The kernel compares the word before it
// sleeps, so a change made between the caller's last check and the sleep
// is never lost.
#ifndef CM_PLATFORM_WAIT_H
#define CM_PLATFORM_WAIT_H

#include <atomic>
#include <cstdint>

#include "CmDefines.h"
#include "CmTestHooks.h"

namespace cm_platform {

// The deadline aMicroseconds from now on the clock the word waits run on
// (the steady clock of the platform: these waits are for other threads, not
// for time, so a test's manual clock does not move them). Negative: -1,
// without limit.
int64_t WaitDeadline(int64_t aMicroseconds);
// Sleeps while aWord holds aExpected, until aDeadline (from WaitDeadline;
// -1: without limit). Returns false when the deadline has passed, true when
// woken, when the word differs, or spuriously: callers re-check their
// condition.
bool WaitOnWordUntil(std::atomic<uint32_t>& aWord, uint32_t aExpected, int64_t aDeadline);
// Asks that the calling thread's timed waits end at their deadline. By
// default the kernel may let a timed wait run on for up to 50 us so that
// it can coalesce wake-ups; a thread that owns timers would add that to
// every firing. Harmless where the system has no such setting.
void EndTimedWaitsOnTime();
// Spins while aWord holds aValue, for at most aMicroseconds; true when the
// word changed in time. For waits that usually end within a wake-up's time,
// where sleeping would add a second wake-up to the first. The spin does not
// yield between looks: a thread that yields stays runnable and loses the
// scheduler's credit for sleeping, so on a busy machine it then waits whole
// time slices behind other work (measured: a SendEvent round trip went from
// 0.2 ms to 3.6 ms with three busy threads on two cores).
bool PollWordWhile(std::atomic<uint32_t>& aWord, uint32_t aValue, int64_t aMicroseconds);
// Wakes at most aCount threads sleeping on aWord.
void WakeWord(std::atomic<uint32_t>& aWord, int aCount);

// Binds the calling thread to processor aCpu (benchmarks measure hand-offs
// across two fixed cores this way; the library itself never pins). False
// when the processor does not exist or may not be used.
CM_TEST_EXPORT bool PinCurrentThreadToCpuForTesting(unsigned aCpu);
// Lets the calling thread run on every processor again.
CM_TEST_EXPORT bool UnpinCurrentThreadForTesting();

}  // namespace cm_platform

#endif  // CM_PLATFORM_WAIT_H
