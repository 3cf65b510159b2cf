// CmClock.h - the library's clocks: three clock policies, the measuring
// object timer_fact<P>, the process-wide mock time, calendar and clock
// splits of a time, and the low-tick generator with its "t-tick" thread.
//
// All clock values are unsigned 64-bit microsecond counts.
//
// Which clock to use:
//  - low_tick_policy: the cheap one for hot paths - one memory read while
//    the low-tick generator runs (startLowTick), 10 ms resolution; otherwise
//    it reads the tick count itself.
//  - tick_policy: the 32-bit millisecond tick count in microseconds (wraps
//    after about 49.7 days); now_us() is the steady high-resolution clock.
//  - timer_policy: wall-clock microseconds since 1970 that run on the
//    steady counter from an anchor taken once, so they never jump when the
//    system clock is set.
//  - timer_fact<P>: measures an interval on policy P: elapsed() and
//    overtime() in microseconds, milliseconds and seconds, correct across
//    one wrap of the tick count; the mock time (set_mock_time) replaces
//    every policy's now() for tests.
//  - time_type / formatted_timer: a time as local calendar fields;
//    tick_type / formatted_ticker: a tick value as hours ... microseconds.
//
// Thread safety: every clock may be read from any thread. startLowTick and
// stopLowTick are serialised by one lock. The mock time is one process-wide
// value meant for single-threaded tests.
#ifndef CM_CLOCK_H
#define CM_CLOCK_H

#include <atomic>
#include <cstdint>

#include "CmDefines.h"
#include "CmTimerWrapperID.h"

// All bits set: no mock time.
constexpr unsigned long long kMockTimeDisabled = 0xFFFFFFFFFFFFFFFFULL;

// The low-tick generator's cached tick, published for low_tick_policy::now()
// in one word; kMockTimeDisabled (a value no tick reaches) while the
// generator is stopped.
CM_EXPORT extern std::atomic<unsigned long long> g_qwCmLowTickUs;

// The tick count in microseconds: (32-bit millisecond tick count) x 1000.
CM_EXPORT unsigned long long CmTickCountUs();

// The plain tick clock: one tick-count call per reading, wrapping with the
// 32-bit millisecond tick. Thread safety: stateless; any thread.
struct CM_EXPORT tick_policy {
  // The 32-bit millisecond tick count x 1000.
  static unsigned long long now() { return CmTickCountUs(); }
  // The steady high-resolution counter in microseconds (nanoseconds / 1000).
  static unsigned long long now_us();
  // (2^32 - 1) ms in microseconds: where the tick count wraps.
  static unsigned long long max_time_value() { return 4294967295000ULL; }
};

// The cheap clock: one memory read while the "t-tick" generator runs
// (10 ms resolution). Thread safety: any thread.
struct CM_EXPORT low_tick_policy {
  // The generator's cached tick while it runs, else the tick count x 1000.
  static unsigned long long now() {
    const unsigned long long cached = g_qwCmLowTickUs.load(std::memory_order_relaxed);
    return cached != kMockTimeDisabled ? cached : CmTickCountUs();
  }
  static unsigned long long max_time_value() { return 4294967295000ULL; }
  // startLowTick / stopLowTick.
  static void start();
  static void stop();
};

// The wall clock of timer deadlines, in microseconds since 1970, advancing
// with the steady counter. Thread safety: any thread.
struct CM_EXPORT timer_policy {
  // Microseconds since 1970-01-01: the anchor's whole second plus the
  // steady counter's progress since the anchor (PretInitialationTimer).
  static unsigned long long now();
  static unsigned long long max_time_value() { return 0x7FFFFFFFFFFFFFFFULL; }
};

// The process-wide mock time; kMockTimeDisabled switches it off.
CM_EXPORT void set_mock_time(unsigned long long t);
CM_EXPORT unsigned long long get_mock_time();

// Measures time since a tag on policy P. A reading earlier than the tag is
// taken as one wrap of P's clock (P::max_time_value() - tag is added); a
// wrap correction of a year or more is refused ("timer_fact::elapsed_sec
// over one year, no support, remain = ...", warning) and the elapsed time
// is 0 - so a wall clock that went backwards measures 0, never a huge
// value. Instantiated for tick_policy, low_tick_policy and timer_policy.
//
// Thread safety: a value; one object belongs to one thread.
template <class P>
class CM_EXPORT timer_fact {
 public:
  timer_fact() : m_qwTag(now()) {}
  // The tag is aStart, or now when aStart is -1 (kMockTimeDisabled).
  explicit timer_fact(long long aStart) : m_qwTag(0) { reset(aStart); }
  void reset(long long aStart);
  unsigned long long latest_tag() const { return m_qwTag; }

  // The mock time when set, else P::now().
  static unsigned long long now();
  static void MockNow(unsigned long long t) { set_mock_time(t); }

  long long elapsed() const;
  long long elapsed_mills() const;
  long long elapsed_sec() const;
  bool overtime(long long x) const { return elapsed() >= x; }
  bool overtime_mills(long long x) const { return elapsed_mills() >= x; }
  bool overtime_sec(long long x) const { return elapsed_sec() >= x; }

 private:
  unsigned long long m_qwTag;
};

extern template class timer_fact<tick_policy>;
extern template class timer_fact<low_tick_policy>;
extern template class timer_fact<timer_policy>;

CM_EXTERN_C_BEGIN
// True when aWrap < aUnitsPerSecond x 31,536,000 (a 365-day year in that
// unit); otherwise the warning "timer_fact::elapsed_sec over one year, no
// support, remain = <aWrap>" and false.
CM_EXPORT bool checkIsTimeValid(long long aWrap, int aUnitsPerSecond);
// aEnd - aStart in 32-bit unsigned arithmetic: right across one wrap of the
// millisecond tick count.
CM_EXPORT unsigned long calculate_tick_interval(unsigned long aStart, unsigned long aEnd);
// Reference-counted start and stop of the "t-tick" thread, whose 10 ms timer
// refreshes the low tick. The first start creates the thread and starts the
// generator on it before returning; the stop that brings the count to 0
// stops the generator and stops, joins and destroys the thread.
CM_EXPORT void startLowTick(void);
CM_EXPORT void stopLowTick(void);
CM_EXTERN_C_END

// A time as local calendar fields (the first nine as the C library's local
// time of its whole seconds; all nine 0 when that conversion fails).
class CM_EXPORT time_type {
 public:
  time_type();  // timer_policy::now()
  explicit time_type(long long aMicros);

  int32_t second;
  int32_t minute;
  int32_t hour;
  int32_t day;          // of the month
  int32_t month;        // 1..12
  int32_t year;         // four digits
  int32_t weekday;      // 0 = Sunday
  int32_t yearday;      // 0-based
  int32_t isdst;
  int32_t millisecond;  // 0..999
  int32_t microsecond;  // within the millisecond, 0..999

 protected:
  void reset(long long aMicros);
};

// A tick value split into clock fields; hours are not reduced.
class CM_EXPORT tick_type {
 public:
  tick_type();  // the tick count x 1000
  explicit tick_type(long long aMicros);

  uint32_t hours;
  uint32_t minutes;       // 0..59
  uint32_t seconds;       // 0..59
  uint32_t milliseconds;  // 0..999
  uint32_t microseconds;  // 0..999

 protected:
  void reset(long long aMicros);
};

// Now as local calendar fields; does not consult the mock time. Any thread.
struct CM_EXPORT formatted_timer {
  static time_type now();
};
// Now as a tick split into hours ... microseconds; does not consult the mock
// time. Any thread.
struct CM_EXPORT formatted_ticker {
  static tick_type now();
};

// The anchor of timer_policy, taken once per process (CCmSingletonT; a
// clean-up re-anchors at the next use). The high-resolution counter is the
// library's monotonic clock in nanoseconds (frequency 10^9); it cannot fail
// to be read, so no process-clock fallback is needed.
class CM_EXPORT PretInitialationTimer {
 public:
  PretInitialationTimer();

  int64_t frequency;       // counts per second of the high-resolution counter
  unsigned long long start;  // the counter at creation, in microseconds
  unsigned long long epoch;  // whole seconds since 1970 at creation x 1,000,000

  // A counter value in microseconds (as the counter's own arithmetic
  // defines it: count x 1000.0 / frequency x 1000.0, truncated).
  unsigned long long CounterMicros(int64_t aCount) const;
};

// Refreshes the low tick every 10 ms on the thread that started it (the
// "t-tick" thread, through startLowTick). A process-wide singleton
// (CCmSingletonT). The cached tick it keeps is g_qwCmLowTickUs, so readers
// reach it in one load.
//
// Thread safety: start and OnTimer on the tick thread; stop from any
// thread (it cancels the timer, waiting for a refresh in progress).
class CM_EXPORT low_tick_generator : public CCmTimerWrapperIDSink {
 public:
  low_tick_generator();
  ~low_tick_generator() override;
  low_tick_generator(const low_tick_generator&) = delete;
  low_tick_generator& operator=(const low_tick_generator&) = delete;

  // The process's generator (CCmSingletonT<low_tick_generator>, reached
  // through the library so that every module sees the same one).
  static low_tick_generator* Instance();

  // Caches the tick and schedules the 10 ms refresh on the calling thread.
  void start();
  void stop();
  bool started() const { return m_bStarted.load(); }
  unsigned long long cached_tick() const { return g_qwCmLowTickUs.load(std::memory_order_relaxed); }

  void OnTimer(CCmTimerWrapperID* aId) override;

 private:
  CCmTimerWrapperID m_Timer;
  std::atomic<bool> m_bStarted;
};

#endif  // CM_CLOCK_H
