// Gauges of namespace time_util and CmDuration.
//
// Stopwatch, DurationGauge and RateCounter share one clock record: the clock
// function, the test clock's base and offset, the start instant and the
// period. The test clock is a mode of the record rather than a function
// object, so copying a gauge never leaves a clock pointing into another
// gauge's record.
#include "CmGauge.h"

#include <atomic>
#include <cstdlib>
#include <iostream>

#include "CmClockSource.h"
#include "CmMutex.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformFile.h"

namespace time_util {

struct ClockRecord {
  PfnNow clock = nullptr;  // null: the system clock
  uint64_t mockBase = 1000;
  uint64_t mockOffset = 0;
  time_point start;
  duration period{1000};
  bool mock = false;  // the test clock is installed

  time_point Now() const {
    if (mock) return time_point(tick(static_cast<int64_t>((mockBase + mockOffset) * 10000ULL)));
    return clock ? clock() : SystemNow();
  }
  duration Elapsed() const { return std::chrono::duration_cast<duration>(Now() - start); }
  void SetClock(PfnNow aClock, bool aReset) {
    clock = aClock;
    mock = false;
    if (aReset) start = Now();
  }
  void InstallTestClock(unsigned long long aMilliseconds) {
    mockBase = aMilliseconds;
    mockOffset = 0;
    mock = true;
    start = Now();
  }
};

struct RateRecord {
  ClockRecord clock;
  uint32_t count = 0;
  uint32_t reported = 0;
};

// The library's wall clock in 100 ns ticks (truncated, as a time point cast
// of the system clock truncates).
time_point SystemNow() { return time_point(tick(cm_clock::WallNanoseconds() / 100)); }

namespace {

std::unique_ptr<ClockRecord> NewClockRecord(PfnNow aClock, duration aPeriod) {
  std::unique_ptr<ClockRecord> record(new ClockRecord);
  record->clock = aClock;
  record->period = aPeriod;
  record->start = record->Now();
  return record;
}

}  // namespace

// ---- Stopwatch

Stopwatch::Stopwatch() : Stopwatch(nullptr) {}
Stopwatch::Stopwatch(PfnNow aClock) : m_pRecord(NewClockRecord(aClock, duration(0))) {}
Stopwatch::Stopwatch(const Stopwatch& aOther) : m_pRecord(new ClockRecord(*aOther.m_pRecord)) {}
Stopwatch& Stopwatch::operator=(const Stopwatch& aOther) {
  *m_pRecord = *aOther.m_pRecord;
  return *this;
}
Stopwatch::~Stopwatch() = default;

void Stopwatch::Reset() { m_pRecord->start = m_pRecord->Now(); }
duration Stopwatch::Read() const { return m_pRecord->Elapsed(); }
duration Stopwatch::Lap() {
  const time_point now = m_pRecord->Now();
  const duration elapsed = std::chrono::duration_cast<duration>(now - m_pRecord->start);
  m_pRecord->start = now;
  return elapsed;
}
void Stopwatch::UT_SetPfnNow(PfnNow aClock, bool aReset) { m_pRecord->SetClock(aClock, aReset); }
void Stopwatch::UT_Reset(unsigned long long aMilliseconds) { m_pRecord->InstallTestClock(aMilliseconds); }
void Stopwatch::UT_Elapsed(unsigned long long aMilliseconds) { m_pRecord->mockOffset += aMilliseconds; }

// ---- DurationGauge

DurationGauge::DurationGauge() : DurationGauge(duration(1000)) {}
DurationGauge::DurationGauge(duration aDuration, PfnNow aClock) : m_pRecord(NewClockRecord(aClock, aDuration)) {}
DurationGauge::DurationGauge(const DurationGauge& aOther) : m_pRecord(new ClockRecord(*aOther.m_pRecord)) {}
DurationGauge& DurationGauge::operator=(const DurationGauge& aOther) {
  *m_pRecord = *aOther.m_pRecord;
  return *this;
}
DurationGauge::~DurationGauge() = default;

void DurationGauge::Reset() { m_pRecord->start = m_pRecord->Now(); }
duration DurationGauge::Read() const { return m_pRecord->Elapsed(); }
duration DurationGauge::GetDuration() const { return m_pRecord->period; }
void DurationGauge::SetDuration(duration aDuration) { m_pRecord->period = aDuration; }

bool DurationGauge::DurationElapsed() {
  const time_point now = m_pRecord->Now();
  if (now - m_pRecord->start < m_pRecord->period) return false;
  m_pRecord->start = now;
  return true;
}

void DurationGauge::UT_SetPfnNow(PfnNow aClock, bool aReset) { m_pRecord->SetClock(aClock, aReset); }
void DurationGauge::UT_Reset(unsigned long long aMilliseconds) { m_pRecord->InstallTestClock(aMilliseconds); }
void DurationGauge::UT_Elapsed(unsigned long long aMilliseconds) { m_pRecord->mockOffset += aMilliseconds; }

// ---- RateCounter

RateCounter::RateCounter() : RateCounter(duration(1000)) {}
RateCounter::RateCounter(duration aDuration) : m_pRecord(new RateRecord) {
  m_pRecord->clock.period = aDuration;
  m_pRecord->clock.start = m_pRecord->clock.Now();
}
RateCounter::RateCounter(const RateCounter& aOther) : m_pRecord(new RateRecord(*aOther.m_pRecord)) {}
RateCounter& RateCounter::operator=(const RateCounter& aOther) {
  *m_pRecord = *aOther.m_pRecord;
  return *this;
}
RateCounter::~RateCounter() = default;

void RateCounter::IncOne(const Callback& aCallback) {
  RateRecord& r = *m_pRecord;
  ++r.count;
  const time_point now = r.clock.Now();
  if (now - r.clock.start < r.clock.period) return;
  r.clock.start = now;
  const uint32_t increment = r.count - r.reported;
  // The report is stored after the callback: reading GetIncrement it sees
  // the increment it was given. After a Reset from it, count and reported
  // are both 0 and stay so.
  if (aCallback) aCallback(increment, r.count);
  r.reported = r.count;
}

uint32_t RateCounter::GetIncrement() const { return m_pRecord->count - m_pRecord->reported; }
duration RateCounter::GetDuration() const { return m_pRecord->clock.period; }

void RateCounter::Reset() {
  m_pRecord->count = 0;
  m_pRecord->reported = 0;
  m_pRecord->clock.start = m_pRecord->clock.Now();
}

void RateCounter::SetDuration(duration aDuration) {
  m_pRecord->clock.period = aDuration;
  Reset();
}

void RateCounter::UT_SetPfnNow(PfnNow aClock, bool aReset) { m_pRecord->clock.SetClock(aClock, aReset); }
void RateCounter::UT_Reset(unsigned long long aMilliseconds) { m_pRecord->clock.InstallTestClock(aMilliseconds); }
void RateCounter::UT_Elapsed(unsigned long long aMilliseconds) { m_pRecord->clock.mockOffset += aMilliseconds; }

// ---- DutyCycleGauge

struct DutyCycleRecord {
  explicit DutyCycleRecord(duration aInterval) : interval(aInterval) {}

  duration interval;
  Stopwatch stopwatch;  // time in the current state
  uint64_t total = 0;   // milliseconds over closed state periods
  std::atomic<int> currentState{0};
  std::atomic<bool> firstStatePending{true};
  // Guards states, total, latest and the stopwatch against SetState/Peek
  // from other threads.
  mutable CCmMutexThread mutex;
  DutyCycleGauge::StateMap states;
  std::shared_ptr<DutyCycleGauge::DutyCycleStats> latest;

  // Entering a state restarts the stopwatch; Switch closes the old state
  // and enters the new one on a single clock reading.
  void Enter(int aState) {
    Count(aState);
    stopwatch.Reset();
  }
  void Close(int aState) { Account(aState, stopwatch.Read()); }
  void Switch(int aFrom, int aTo) {
    Account(aFrom, stopwatch.Lap());
    Count(aTo);
  }

  void Count(int aState) {
    DutyCycleGauge::StateInfo& info = states[aState];
    info.entries = static_cast<int32_t>(static_cast<uint32_t>(info.entries) + 1u);
    currentState.store(aState, std::memory_order_relaxed);
  }
  void Account(int aState, duration aElapsed) {
    // A system clock set back must not turn into an enormous period.
    const uint64_t d = aElapsed.count() > 0 ? static_cast<uint64_t>(aElapsed.count()) : 0;
    states[aState].duration += d;
    total += d;
  }

  void BuildStats() {
    std::shared_ptr<DutyCycleGauge::DutyCycleStats> stats = std::make_shared<DutyCycleGauge::DutyCycleStats>();
    stats->createTime = SystemNow().time_since_epoch().count();
    stats->states = states;
    stats->total = total;
    stats->trivialDuration = total;
    for (const auto& entry : stats->states) {
      if (entry.second.duration > stats->dominantDuration) {
        stats->dominantState = entry.first;
        stats->dominantDuration = entry.second.duration;
      }
      if (entry.second.duration < stats->trivialDuration) {
        stats->trivialState = entry.first;
        stats->trivialDuration = entry.second.duration;
      }
    }
    latest = std::move(stats);
  }

  bool StatsDue() const {
    if (!latest) return true;
    const int64_t age = SystemNow().time_since_epoch().count() - latest->createTime;
    return tick(age) >= interval;
  }
};

DutyCycleGauge::DutyCycleStats::~DutyCycleStats() = default;

DutyCycleGauge::DutyCycleGauge(duration aInterval) : m_pRecord(new DutyCycleRecord(aInterval)) {}
DutyCycleGauge::~DutyCycleGauge() = default;

void DutyCycleGauge::SetState(int aState) {
  DutyCycleRecord& r = *m_pRecord;
  CCmMutexGuardT<CCmMutexThread> guard(r.mutex);
  if (r.firstStatePending.load(std::memory_order_relaxed)) {
    r.states.clear();
    r.total = 0;
    r.Enter(aState);
    r.firstStatePending.store(false, std::memory_order_relaxed);
    return;
  }
  const int current = r.currentState.load(std::memory_order_relaxed);
  if (aState != current) r.Switch(current, aState);
}

bool DutyCycleGauge::Peek(duration* aTotal) {
  DutyCycleRecord& r = *m_pRecord;
  CCmMutexGuardT<CCmMutexThread> guard(r.mutex);
  if (!r.StatsDue()) return false;
  const int current = r.currentState.load(std::memory_order_relaxed);
  // The period closes and the next one opens on one clock reading.
  r.Account(current, r.stopwatch.Lap());
  r.BuildStats();
  if (aTotal) *aTotal = duration(static_cast<int64_t>(r.total));
  r.states.clear();
  r.total = 0;
  r.Count(current);
  return true;
}

void DutyCycleGauge::Conclude() {
  DutyCycleRecord& r = *m_pRecord;
  r.Close(r.currentState.load(std::memory_order_relaxed));
  r.BuildStats();
}

bool DutyCycleGauge::GetStateInfo(int aState, duration* aDuration, int* aEntries) const {
  const DutyCycleRecord& r = *m_pRecord;
  CCmMutexGuardT<CCmMutexThread> guard(r.mutex);
  if (!r.latest) return false;
  const auto it = r.latest->states.find(aState);
  if (it == r.latest->states.end()) return false;
  if (aDuration) *aDuration = duration(static_cast<int64_t>(it->second.duration));
  if (aEntries) *aEntries = it->second.entries;
  return true;
}

namespace {

void ShareOfTotal(uint64_t aMilliseconds, uint64_t aTotal, double* aRatio, duration* aDuration) {
  if (aRatio) *aRatio = aTotal == 0 ? 0.0 : static_cast<double>(aMilliseconds) / static_cast<double>(aTotal);
  if (aDuration) *aDuration = duration(static_cast<int64_t>(aMilliseconds));
}

}  // namespace

int DutyCycleGauge::GetDominantState(double* aRatio, duration* aDuration) const {
  const DutyCycleRecord& r = *m_pRecord;
  CCmMutexGuardT<CCmMutexThread> guard(r.mutex);
  if (!r.latest) return 0;
  ShareOfTotal(r.latest->dominantDuration, r.latest->total, aRatio, aDuration);
  return r.latest->dominantState;
}

int DutyCycleGauge::GetTrivialState(double* aRatio, duration* aDuration) const {
  const DutyCycleRecord& r = *m_pRecord;
  CCmMutexGuardT<CCmMutexThread> guard(r.mutex);
  if (!r.latest) return 0;
  ShareOfTotal(r.latest->trivialDuration, r.latest->total, aRatio, aDuration);
  return r.latest->trivialState;
}

std::shared_ptr<const DutyCycleGauge::DutyCycleStats> DutyCycleGauge::GetLatestStats() const {
  CCmMutexGuardT<CCmMutexThread> guard(m_pRecord->mutex);
  return m_pRecord->latest;
}

int DutyCycleGauge::GetState() const { return m_pRecord->currentState.load(std::memory_order_relaxed); }
bool DutyCycleGauge::HasSetFirstState() const { return !m_pRecord->firstStatePending.load(std::memory_order_relaxed); }
void DutyCycleGauge::Reset() { m_pRecord->firstStatePending.store(true, std::memory_order_relaxed); }

void DutyCycleGauge::UT_SetPfnNow(PfnNow aClock, bool aReset) { m_pRecord->stopwatch.UT_SetPfnNow(aClock, aReset); }
void DutyCycleGauge::UT_Reset(unsigned long long aMilliseconds) { m_pRecord->stopwatch.UT_Reset(aMilliseconds); }
void DutyCycleGauge::UT_Elapsed(unsigned long long aMilliseconds) { m_pRecord->stopwatch.UT_Elapsed(aMilliseconds); }

}  // namespace time_util

// ---- CmDuration

namespace {

int64_t SteadyNowNs() { return cm_clock::MonotonicNanoseconds(); }

// A set variable counts as its integer value (0 when it is not a number).
void ReadIntEnvironment(const char* aName, long& aValue) {
  if (const char* text = std::getenv(aName)) aValue = std::strtol(text, nullptr, 10);
}

}  // namespace

CmDuration::CmDuration() : m_llStartNs(SteadyNowNs()) {
  long gating = -1;
  ReadIntEnvironment("RUN_UT_ON_VM", gating);
  ReadIntEnvironment("RUN_UT_BY_GATING", gating);
  std::string path;
  if (!cm_platform::ExecutablePath(path)) std::cerr << "Failed to get executable path" << std::endl;
  std::cout << "UT Process started. PID: " << cm_platform::CurrentProcessId() << " nRUN_UT_BY_GATING: " << gating
            << " ProcessName: " << path << std::endl;
}

CmDuration::~CmDuration() {
  int64_t seconds = (SteadyNowNs() - m_llStartNs) / 1000000000;
  int64_t minutes = 0;
  if (seconds >= 60) {
    minutes = seconds / 60;
    seconds = seconds % 60;
  }
  std::cout << "UT Process ended. PID: " << cm_platform::CurrentProcessId() << " Duration: " << minutes << "m"
            << seconds << "s" << std::endl;
}
