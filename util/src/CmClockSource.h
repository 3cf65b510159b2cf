// CmClockSource.h - where every family of the library reads time and
// sleeps.
//
// Four things: the wall clock (nanoseconds since 1970-01-01 UTC; it jumps
// when the system clock is set), the monotonic clock (nanoseconds from an
// arbitrary origin; it never goes back), the 32-bit millisecond tick count
// (the monotonic clock in milliseconds, truncated to 32 bits, so it wraps
// after about 49.7 days) and sleeping - for a while, or until another thread
// signals progress (CCmWakeableSleep).
//
// The platform layer answers (CmPlatformClock.h) unless a test installed its
// own source (tests/support/ManualClock.h); then every clock of the library
// moves with it: time values, timer deadlines and the waits of foreign
// cancels, the tick policies and timer_fact, function tracer costs, trace
// file dates, gauges. The time-outs of the waitable objects themselves
// (events, semaphores, condition variables, ThreadWaiter) stay on the
// platform's monotonic clock: they wait for other threads, not for time.
//
// Thread safety: every function may be called from any thread. A source is
// installed before the threads that should see it read a clock, and must
// stay valid as long as any thread might still be reading through it.
#ifndef CM_CLOCK_SOURCE_H
#define CM_CLOCK_SOURCE_H

#include <atomic>
#include <cstdint>

#include "CmConditionVariable.h"
#include "CmTestHooks.h"
#include "platform/CmPlatformClock.h"

// A replacement for the platform's clocks and sleep.
class ICmClockSource {
 public:
  virtual int64_t WallNanoseconds() = 0;
  virtual int64_t MonotonicNanoseconds() = 0;
  // Sleeps aMs milliseconds. With aWake, returns true as soon as aWake is
  // signalled (taking the signal), false when the time ran out first.
  virtual bool SleepMs(unsigned aMs, CCmEventThread* aWake) = 0;

 protected:
  ~ICmClockSource() = default;
};

namespace cm_clock {

// Null gives the platform's clocks back.
CM_TEST_EXPORT void SetSourceForTesting(ICmClockSource* aSource);

// Null while the platform answers; read on every clock reading.
extern std::atomic<ICmClockSource*> g_pSource;

inline int64_t WallNanoseconds() {
  if (ICmClockSource* source = g_pSource.load(std::memory_order_acquire)) return source->WallNanoseconds();
  return cm_platform::WallClockNanoseconds();
}

inline int64_t WallMicroseconds() { return WallNanoseconds() / 1000; }

inline int64_t MonotonicNanoseconds() {
  if (ICmClockSource* source = g_pSource.load(std::memory_order_acquire)) return source->MonotonicNanoseconds();
  return cm_platform::MonotonicNanoseconds();
}

inline uint32_t TickCountMs() { return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000); }

CM_TEST_EXPORT void SleepMs(unsigned aMs);
// As ICmClockSource::SleepMs with a wake object.
CM_TEST_EXPORT bool SleepMs(unsigned aMs, CCmEventThread& aWake);

}  // namespace cm_clock

// A sleep that another thread can cut short, for a thread that waits until
// another one has made progress (a foreign cancel waiting for a running
// timer callback). The sleeping side calls SleepWhile with its condition;
// the other side calls Wake after changing what the condition reads. Wake
// costs one load while nobody sleeps. A Wake that races past a sleeper
// still registering is lost: that sleep runs to its end and the condition
// is read again, so a lost Wake costs one sleep, never a hang.
//
// Thread safety: any number of sleepers and wakers; each Wake releases one
// sleeper (the others wake when their sleep ends).
class CCmWakeableSleep {
 public:
  CCmWakeableSleep() : m_Event(0, 0) {}
  CCmWakeableSleep(const CCmWakeableSleep&) = delete;
  CCmWakeableSleep& operator=(const CCmWakeableSleep&) = delete;

  // Sleeps aMs at a time while aBusy() holds, at most aMaxSleeps times
  // (negative: without limit). Returns the number of sleeps begun.
  template <class Busy>
  int SleepWhile(Busy aBusy, unsigned aMs, int aMaxSleeps) {
    m_nSleepers.fetch_add(1);
    int sleeps = 0;
    for (; sleeps != aMaxSleeps && aBusy(); ++sleeps) cm_clock::SleepMs(aMs, m_Event);
    m_nSleepers.fetch_sub(1);
    return sleeps;
  }

  void Wake() {
    if (m_nSleepers.load() != 0) m_Event.Signal();
  }

  // The object behind aSlot, made by whichever thread needs it first, so
  // that what nobody ever waits for carries no event. The owner of the slot
  // deletes it.
  static CCmWakeableSleep& In(std::atomic<CCmWakeableSleep*>& aSlot);

 private:
  std::atomic<int> m_nSleepers{0};
  CCmEventThread m_Event;  // automatic reset
};

#endif  // CM_CLOCK_SOURCE_H
