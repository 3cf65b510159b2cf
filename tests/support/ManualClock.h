// ManualClock.h - a clock for tests that moves only when the test moves it.
//
// While one exists, every clock of the library reads it: the wall clock
// (time values, timer deadlines, trace file dates, gauge stamps), the
// monotonic clock and the tick count (tick policies, function tracer costs,
// gauge durations), and the library's sleeps. Advance moves wall, monotonic
// and tick together; SetWall and ShiftWall move the wall clock alone, as
// setting the system clock does.
//
// A sleep through the library returns at once after moving both clocks by
// its length, so a test sees the schedule of sleeps (TakeSleeps) without
// spending it. A sleep that another thread can cut short (a cancel waiting
// for a running callback) also gives the other thread up to a real
// millisecond to signal, so such a wait does not spin. OnSleep runs a
// function on the sleeping thread before each sleep, for tests that must
// act while a thread waits.
//
// A running clock (kRunning) instead moves on with the platform's
// monotonic clock from where it stands, and its sleeps take their real
// time; it still records them and calls OnSleep, for tests that need real
// periods and want to see the library wait.
//
// Thread safety: any thread may read or sleep on the clock while the test
// moves it. Make one before starting threads that should see it and destroy
// it after they stopped reading; only one may exist at a time.
#ifndef ZAR_TEST_MANUAL_CLOCK_H
#define ZAR_TEST_MANUAL_CLOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "CmClockSource.h"
#include "CmTimeValue.h"

class ManualClock final : public ICmClockSource {
 public:
  static constexpr int64_t kDefaultWallSeconds = 1700000000;  // 2023-11-14 22:13:20 UTC
  static constexpr int64_t kDefaultMonotonicNs = 1000000000000;

  enum Running { kRunning };

  explicit ManualClock(int64_t aWallSeconds = kDefaultWallSeconds)
      : m_nWallNs(aWallSeconds * kNsPerSecond), m_nMonotonicNs(kDefaultMonotonicNs) {
    cm_clock::SetSourceForTesting(this);
  }
  explicit ManualClock(Running)
      : m_nWallNs(Ns(std::chrono::system_clock::now())),
        m_nMonotonicNs(Ns(std::chrono::steady_clock::now())),
        m_nRunningSince(m_nMonotonicNs.load()) {
    cm_clock::SetSourceForTesting(this);
  }
  ~ManualClock() { cm_clock::SetSourceForTesting(nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  void AdvanceNs(int64_t aNs) {
    m_nWallNs.fetch_add(aNs);
    m_nMonotonicNs.fetch_add(aNs);
  }
  void AdvanceMs(int64_t aMs) { AdvanceNs(aMs * 1000000); }
  void Advance(const CCmTimeValue& aStep) { AdvanceNs(NsOf(aStep)); }

  void SetWall(const CCmTimeValue& aWall) { m_nWallNs.store(NsOf(aWall)); }
  void SetWallMicroseconds(int64_t aUs) { m_nWallNs.store(aUs * 1000); }
  void ShiftWall(const CCmTimeValue& aDelta) { m_nWallNs.fetch_add(NsOf(aDelta)); }
  CCmTimeValue Wall() const {
    const int64_t us = (m_nWallNs.load() + RunNs()) / 1000;
    return CCmTimeValue(static_cast<long>(us / 1000000), static_cast<long>(us % 1000000));
  }

  void OnSleep(std::function<void(unsigned aMs)> aAction) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_OnSleep = std::move(aAction);
  }
  // Every sleep asked so far, in milliseconds, in order; cleared by reading.
  std::vector<unsigned> TakeSleeps() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<unsigned> sleeps;
    sleeps.swap(m_Sleeps);
    return sleeps;
  }

  int64_t WallNanoseconds() override { return m_nWallNs.load() + RunNs(); }
  int64_t MonotonicNanoseconds() override { return m_nMonotonicNs.load() + RunNs(); }
  bool SleepMs(unsigned aMs, CCmEventThread* aWake) override {
    std::function<void(unsigned)> action;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Sleeps.push_back(aMs);
      action = m_OnSleep;
    }
    if (action) action(aMs);
    if (m_nRunningSince >= 0) {
      if (!aWake) return std::this_thread::sleep_for(std::chrono::milliseconds(aMs)), false;
      CCmTimeValue wait(static_cast<long>(aMs / 1000), static_cast<long>(aMs % 1000) * 1000);
      return aWake->Wait(&wait) == 0;
    }
    AdvanceMs(aMs);
    if (!aWake) return false;
    CCmTimeValue realMoment(0L, 1000L);
    return aWake->Wait(&realMoment) == 0;
  }

 private:
  static constexpr int64_t kNsPerSecond = 1000000000;
  static int64_t NsOf(const CCmTimeValue& aTv) {
    return static_cast<int64_t>(aTv.GetSec()) * kNsPerSecond + static_cast<int64_t>(aTv.GetUsec()) * 1000;
  }

  // What a running clock has run since it was made.
  int64_t RunNs() const { return m_nRunningSince < 0 ? 0 : Ns(std::chrono::steady_clock::now()) - m_nRunningSince; }
  template <class TimePoint>
  static int64_t Ns(TimePoint aTime) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(aTime.time_since_epoch()).count();
  }

  std::atomic<int64_t> m_nWallNs;
  std::atomic<int64_t> m_nMonotonicNs;
  const int64_t m_nRunningSince = -1;  // the platform's monotonic time; -1: not running
  std::mutex m_Mutex;
  std::vector<unsigned> m_Sleeps;
  std::function<void(unsigned)> m_OnSleep;
};

#endif  // ZAR_TEST_MANUAL_CLOCK_H
