// CmGauge.h - small measuring objects kept beside state machines and
// counters, in namespace time_util.
//
// Which to use:
//  - Stopwatch: "how long since I last reset?" in milliseconds.
//  - DurationGauge: "has my period elapsed?"; each true answer opens the next
//    period at the moment of the call (periodic work without a timer).
//  - RateCounter: counts events and reports the increment once per period
//    through a callback (events per second and the like).
//  - DutyCycleGauge: how long an object spent in each of its states over a
//    statistics period, with the dominant and the least-used (trivial) state.
//  - CmDuration: put one in a test program's main(); it prints the process's
//    start line and, when destroyed, its life time.
//
// Units: every duration is a time_util::duration, a signed 64-bit count of
// milliseconds; readings truncate toward zero. Time comes from a replaceable
// clock function returning a system-clock time point with 100-ns resolution
// (by default SystemNow(), the system clock). The UT_* members are the test
// hooks: UT_Reset(t) installs a test clock standing at t ms that moves only
// by UT_Elapsed(d), so tests drive the gauges exactly.
#ifndef CM_GAUGE_H
#define CM_GAUGE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "CmDefines.h"

namespace time_util {

typedef std::chrono::milliseconds duration;
// 100-nanosecond ticks of the system clock.
typedef std::chrono::duration<int64_t, std::ratio<1, 10000000>> tick;
typedef std::chrono::time_point<std::chrono::system_clock, tick> time_point;
// The clock function; null stands for SystemNow.
typedef time_point (*PfnNow)();

// The system clock's now, in 100-ns ticks.
CM_EXPORT time_point SystemNow();

struct ClockRecord;
struct RateRecord;
struct DutyCycleRecord;

// Time since construction or the last Reset.
//
// Ownership: a value type; a copy carries the clock, the start and the test
// clock's position.
// Thread safety: none; one thread at a time.
class CM_EXPORT Stopwatch {
 public:
  Stopwatch();
  explicit Stopwatch(PfnNow aClock);
  Stopwatch(const Stopwatch& aOther);
  Stopwatch& operator=(const Stopwatch& aOther);
  ~Stopwatch();

  void Reset();
  duration Read() const;
  // Read and Reset at one instant: the time since the start, and a new start.
  duration Lap();

  // Replaces the clock (null: the system clock); with aReset the start is
  // taken anew from the new clock.
  void UT_SetPfnNow(PfnNow aClock, bool aReset);
  // Installs the test clock standing at aMilliseconds and resets.
  void UT_Reset(unsigned long long aMilliseconds);
  // Moves the test clock forward by aMilliseconds.
  void UT_Elapsed(unsigned long long aMilliseconds);

 private:
  std::unique_ptr<ClockRecord> m_pRecord;
};

// A period that elapses again and again.
//
// Ownership: a value type. Thread safety: none; one thread at a time.
class CM_EXPORT DurationGauge {
 public:
  DurationGauge();  // 1000 ms, system clock
  explicit DurationGauge(duration aDuration, PfnNow aClock = nullptr);
  DurationGauge(const DurationGauge& aOther);
  DurationGauge& operator=(const DurationGauge& aOther);
  ~DurationGauge();

  void Reset();
  duration Read() const;
  duration GetDuration() const;
  // Changes the period; the current period keeps its start.
  void SetDuration(duration aDuration);
  // False while less than the period has passed since the start; otherwise
  // the start moves to now and the answer is true.
  bool DurationElapsed();

  void UT_SetPfnNow(PfnNow aClock, bool aReset);
  void UT_Reset(unsigned long long aMilliseconds);
  void UT_Elapsed(unsigned long long aMilliseconds);

 private:
  std::unique_ptr<ClockRecord> m_pRecord;
};

// Counts events and reports them once per period.
//
// Counters are unsigned 32-bit and wrap; the increment (count - reported)
// stays right across a wrap.
// Ownership: a value type. Thread safety: none; one thread at a time (the
// callback runs on the thread calling IncOne).
class CM_EXPORT RateCounter {
 public:
  // (increment since the last report, count so far)
  typedef std::function<void(uint32_t, uint32_t)> Callback;

  RateCounter();  // 1000 ms
  explicit RateCounter(duration aDuration);
  RateCounter(const RateCounter& aOther);
  RateCounter& operator=(const RateCounter& aOther);
  ~RateCounter();

  // Counts one event; when the period has passed, restarts it, calls
  // aCallback (if set) with the increment and the count, and then stores
  // the report (GetIncrement inside the callback still gives the increment).
  void IncOne(const Callback& aCallback = nullptr);
  uint32_t GetIncrement() const;
  duration GetDuration() const;
  // Both counters to 0 and a new period from now.
  void Reset();
  void SetDuration(duration aDuration);

  void UT_SetPfnNow(PfnNow aClock, bool aReset);
  void UT_Reset(unsigned long long aMilliseconds);
  void UT_Elapsed(unsigned long long aMilliseconds);

 private:
  std::unique_ptr<RateRecord> m_pRecord;
};

// Time spent in each state of an object over a statistics interval.
//
// The owner reports state changes with SetState; Peek, called periodically,
// closes a statistics period once the latest statistics are at least the
// interval old (by the system clock) and starts the next one; Conclude closes
// the books at the end without starting anew. Statistics rank the dominant
// state (the first, in ascending state order, with the largest duration) and
// the trivial state (the first with the smallest duration below the total;
// state 0 with the whole total when no state is below it).
//
// Ownership: not copyable; statistics are shared with callers that keep them.
// Thread safety: SetState, Peek, GetStateInfo, GetDominantState and
// GetTrivialState lock the gauge's mutex and may be called from any thread.
// GetState and HasSetFirstState read atomics and may be called from any
// thread. Conclude and Reset do not lock: call them when no other thread uses
// the gauge (typically from its owner at the end). The UT_* hooks are for
// single-threaded tests.
class CM_EXPORT DutyCycleGauge {
 public:
  // What the gauge recorded for one state in a period.
  struct StateInfo {
    uint64_t duration = 0;  // milliseconds spent in the state
    int32_t entries = 0;    // times the state was entered
  };
  typedef std::map<int, StateInfo> StateMap;

  // One statistics period, immutable once published.
  class CM_EXPORT DutyCycleStats {
   public:
    DutyCycleStats() = default;
    virtual ~DutyCycleStats();

    int64_t createTime = 0;  // system-clock ticks of 100 ns
    StateMap states;
    uint64_t total = 0;  // milliseconds over all states
    int dominantState = 0;
    uint64_t dominantDuration = 0;
    int trivialState = 0;
    uint64_t trivialDuration = 0;
  };

  explicit DutyCycleGauge(duration aInterval);
  virtual ~DutyCycleGauge();
  DutyCycleGauge(const DutyCycleGauge&) = delete;
  DutyCycleGauge& operator=(const DutyCycleGauge&) = delete;

  // The first call after construction or Reset starts afresh (the books are
  // cleared); later calls switch state when it differs from the current one.
  void SetState(int aState);
  // When statistics are due: closes the current state, publishes statistics,
  // stores their total into *aTotal (if given), clears the books and enters
  // the current state again. Returns whether this happened.
  bool Peek(duration* aTotal);
  // Closes the current state and publishes statistics, without clearing.
  void Conclude();
  // Duration and entries of aState in the latest statistics; false when
  // there are none or aState is not in them. Outputs may be null.
  bool GetStateInfo(int aState, duration* aDuration, int* aEntries) const;
  // The dominant (trivial) state of the latest statistics with its share of
  // the total (0.0 when the total is 0) and its duration. Returns 0 and
  // leaves the outputs untouched when there are no statistics.
  int GetDominantState(double* aRatio, duration* aDuration) const;
  int GetTrivialState(double* aRatio, duration* aDuration) const;
  // The latest statistics, or null before the first.
  std::shared_ptr<const DutyCycleStats> GetLatestStats() const;

  int GetState() const;
  bool HasSetFirstState() const;
  // The next SetState starts afresh.
  void Reset();

  // Act on the stopwatch that times the current state.
  void UT_SetPfnNow(PfnNow aClock, bool aReset);
  void UT_Reset(unsigned long long aMilliseconds);
  void UT_Elapsed(unsigned long long aMilliseconds);

 private:
  std::unique_ptr<DutyCycleRecord> m_pRecord;
};

}  // namespace time_util

// Prints the life of a test process on standard output:
//   "UT Process started. PID: <pid> nRUN_UT_BY_GATING: <n> ProcessName: <path>"
//   "UT Process ended. PID: <pid> Duration: <m>m<s>s"
// n is the integer in RUN_UT_BY_GATING, else in RUN_UT_ON_VM, else -1. The
// life time is measured on the steady clock.
//
// Ownership: one per process, usually a local of main(); not copyable.
// Thread safety: construct and destroy on one thread.
class CM_EXPORT CmDuration {
 public:
  CmDuration();
  ~CmDuration();
  CmDuration(const CmDuration&) = delete;
  CmDuration& operator=(const CmDuration&) = delete;

 private:
  int64_t m_llStartNs;
};

namespace time_util {
using ::CmDuration;
}  // namespace time_util

#endif  // CM_GAUGE_H
