// Clocks, tick policies, timer_fact, the time splits and the low-tick
// generator with its "t-tick" thread.
#include "CmClock.h"

#include "CmClockInternal.h"
#include "CmClockSource.h"
#include "CmDebug.h"
#include "CmThread.h"
#include "CmTrace.h"
#include "CmUtilTemplates.h"
#include "platform/CmPlatformClock.h"

std::atomic<unsigned long long> g_qwCmLowTickUs{kMockTimeDisabled};

namespace {

constexpr long long kSecondsPerYear = 31536000LL;
// The steady counter behind timer_policy is the monotonic clock in
// nanoseconds.
constexpr int64_t kCounterFrequency = 1000000000;
const CCmTimeValue kLowTickInterval(0L, 10000L);

std::atomic<unsigned long long> g_qwMockTime{kMockTimeDisabled};

// The tick thread and its users; guarded by TickMutex().
ACmThread* g_tickThread = nullptr;
int32_t refNum = 0;

CCmMutexThread& TickMutex() {
  static CCmMutexThread* mutex = new CCmMutexThread;  // never destroyed: used at exit
  return *mutex;
}

// Starts the generator on the tick thread.
class CTickEvent : public ICmEvent {
 public:
  int OnEventFire() override {
    if (low_tick_generator* generator = low_tick_generator::Instance()) generator->start();
    return ZAR_S_OK;
  }
};

// elapsed() in some unit: the tag and now divided by aDivisor, a reading
// before the tag taken as one wrap of the clock. A wrap whose rest to the
// clock's end is below one unit still counts as a wrap (never now - tag,
// which would be negative).
long long Elapsed(unsigned long long aNow, unsigned long long aTag, unsigned long long aMax, unsigned long long aDivisor,
                  int aUnitsPerSecond) {
  const unsigned long long now = aNow / aDivisor;
  const unsigned long long tag = aTag / aDivisor;
  const bool wrapped = static_cast<long long>(now) < static_cast<long long>(tag);
  const long long wrap = wrapped ? static_cast<long long>((aMax - aTag) / aDivisor) : 0;
  if (!checkIsTimeValid(wrap, aUnitsPerSecond)) return 0;
  return wrapped ? static_cast<long long>(now) + wrap : static_cast<long long>(now - tag);
}

}  // namespace

// ------------------------------------------------------------- policies

unsigned long long CmTickCountUs() { return static_cast<unsigned long long>(cm_clock::TickCountMs()) * 1000ULL; }

unsigned long long tick_policy::now_us() {
  return static_cast<unsigned long long>(cm_clock::MonotonicNanoseconds()) / 1000ULL;
}

void low_tick_policy::start() { startLowTick(); }

void low_tick_policy::stop() { stopLowTick(); }

PretInitialationTimer::PretInitialationTimer()
    : frequency(kCounterFrequency),
      start(CounterMicros(cm_clock::MonotonicNanoseconds())),
      epoch(static_cast<unsigned long long>(cm_clock::WallMicroseconds() / 1000000) * 1000000ULL) {}

unsigned long long PretInitialationTimer::CounterMicros(int64_t aCount) const {
  // A frequency in whole MHz divides exactly; the double form loses
  // microseconds once the counter passes 2^53.
  if (frequency % 1000000 == 0) return static_cast<unsigned long long>(aCount / (frequency / 1000000));
  return static_cast<unsigned long long>(static_cast<double>(aCount) * 1000.0 / static_cast<double>(frequency) *
                                         1000.0);
}

unsigned long long timer_policy::now() {
  PretInitialationTimer* pPretInitialationTimer = CCmSingletonT<PretInitialationTimer>::Instance();
  CM_ASSERTE_RETURN(pPretInitialationTimer, 0);
  return pPretInitialationTimer->epoch + pPretInitialationTimer->CounterMicros(cm_clock::MonotonicNanoseconds()) -
         pPretInitialationTimer->start;
}

// ------------------------------------------------------------ timer_fact

void set_mock_time(unsigned long long t) { g_qwMockTime.store(t, std::memory_order_relaxed); }

unsigned long long get_mock_time() { return g_qwMockTime.load(std::memory_order_relaxed); }

template <class P>
unsigned long long timer_fact<P>::now() {
  const unsigned long long mock = g_qwMockTime.load(std::memory_order_relaxed);
  return mock != kMockTimeDisabled ? mock : P::now();
}

template <class P>
void timer_fact<P>::reset(long long aStart) {
  m_qwTag = aStart == static_cast<long long>(kMockTimeDisabled) ? now() : static_cast<unsigned long long>(aStart);
}

template <class P>
long long timer_fact<P>::elapsed() const {
  return Elapsed(now(), m_qwTag, P::max_time_value(), 1, 1000000);
}

template <class P>
long long timer_fact<P>::elapsed_mills() const {
  return Elapsed(now(), m_qwTag, P::max_time_value(), 1000, 1000);
}

template <class P>
long long timer_fact<P>::elapsed_sec() const {
  return Elapsed(now(), m_qwTag, P::max_time_value(), 1000000, 1);
}

template class timer_fact<tick_policy>;
template class timer_fact<low_tick_policy>;
template class timer_fact<timer_policy>;

bool checkIsTimeValid(long long aWrap, int aUnitsPerSecond) {
  if (aWrap < static_cast<long long>(aUnitsPerSecond) * kSecondsPerYear) return true;
  CM_WARNING_TRACE("timer_fact::elapsed_sec over one year, no support, remain = " << aWrap);
  return false;
}

unsigned long calculate_tick_interval(unsigned long aStart, unsigned long aEnd) {
  return static_cast<uint32_t>(static_cast<uint32_t>(aEnd) - static_cast<uint32_t>(aStart));
}

// ----------------------------------------------------------- time splits

time_type::time_type() { reset(static_cast<long long>(timer_policy::now())); }

time_type::time_type(long long aMicros) { reset(aMicros); }

void time_type::reset(long long aMicros) {
  millisecond = static_cast<int32_t>((aMicros / 1000) % 1000);
  microsecond = static_cast<int32_t>(aMicros - (aMicros / 1000) * 1000);
  tm local{};
  if (cm_platform::LocalTime(aMicros / 1000000, &local)) {
    second = local.tm_sec;
    minute = local.tm_min;
    hour = local.tm_hour;
    day = local.tm_mday;
    month = local.tm_mon + 1;
    year = local.tm_year + 1900;
    weekday = local.tm_wday;
    yearday = local.tm_yday;
    isdst = local.tm_isdst;
  } else {
    second = minute = hour = day = month = year = weekday = yearday = isdst = 0;
  }
}

tick_type::tick_type() { reset(static_cast<long long>(CmTickCountUs())); }

tick_type::tick_type(long long aMicros) { reset(aMicros); }

void tick_type::reset(long long aMicros) {
  hours = static_cast<uint32_t>(aMicros / 3600000000LL);
  minutes = static_cast<uint32_t>((aMicros / 60000000LL) % 60);
  seconds = static_cast<uint32_t>((aMicros / 1000000LL) % 60);
  milliseconds = static_cast<uint32_t>((aMicros / 1000) % 1000);
  microseconds = static_cast<uint32_t>(aMicros % 1000);
}

time_type formatted_timer::now() { return time_type(static_cast<long long>(timer_policy::now())); }

tick_type formatted_ticker::now() { return tick_type(static_cast<long long>(CmTickCountUs())); }

// ----------------------------------------------------- low_tick_generator

low_tick_generator::low_tick_generator() : m_bStarted(false) {}

low_tick_generator* low_tick_generator::Instance() { return CCmSingletonT<low_tick_generator>::Instance(); }

low_tick_generator::~low_tick_generator() {
  CM_INFO_TRACE_THIS("low_tick_generator::~low_tick_generator");
  // Readers must not keep a tick that no longer moves.
  m_Timer.Cancel(true);
  g_qwCmLowTickUs.store(kMockTimeDisabled);
}

void low_tick_generator::start() {
  CM_INFO_TRACE_THIS("low_tick_generator::start");
  const unsigned long long tick = CmTickCountUs();
  const int rv = m_Timer.Schedule(this, kLowTickInterval, 0);
  // A second start re-schedules the running timer: still started.
  if (rv != ZAR_S_OK && rv != ZAR_E_ALREADY_EXISTS) {
    CM_ERROR_TRACE_THIS("low_tick_generator::start, FAILED to schedule ticket timer in t-tick thread. rv = " << rv);
    m_bStarted.store(false);
    return;
  }
  g_qwCmLowTickUs.store(tick);
  m_bStarted.store(true);
}

void low_tick_generator::stop() {
  CM_INFO_TRACE_THIS("low_tick_generator::stop");
  // After Cancel no refresh runs any more, so the word stays stopped.
  m_Timer.Cancel(true);
  m_bStarted.store(false);
  g_qwCmLowTickUs.store(kMockTimeDisabled);
}

void low_tick_generator::OnTimer(CCmTimerWrapperID* /*aId*/) { g_qwCmLowTickUs.store(CmTickCountUs()); }

// ----------------------------------------------------- the tick thread

void startLowTick(void) {
  CCmMutexGuardT<CCmMutexThread> guard(TickMutex());
  if (g_tickThread) {
    CM_WARNING_TRACE("startLowTick: g_tickThread has been initialized");
    ++refNum;
    return;
  }
  ACmThread* thread = nullptr;
  int rv = CreateUserTaskThread("t-tick", thread, TFLAG_JOINABLE, true, TT_UNKNOWN);
  if (rv != ZAR_S_OK || !thread) {
    CM_ERROR_TRACE("startLowTick: failed to create a user thread, " << rv);
    return;
  }
  g_tickThread = thread;
  // Synchronous: the generator runs before startLowTick returns.
  rv = thread->GetEventQueue()->SendEvent(new CTickEvent, nullptr);
  if (rv != ZAR_S_OK) {
    CM_ERROR_TRACE("startLowTick: failed to send start tick event to tick thread, " << rv);
    return;
  }
  ++refNum;
}

void stopLowTick(void) {
  CM_INFO_TRACE("stopLowTick, enter.");
  CCmMutexGuardT<CCmMutexThread> guard(TickMutex());
  --refNum;
  if (refNum == 0 && g_tickThread) {
    if (low_tick_generator* generator = low_tick_generator::Instance()) generator->stop();
    g_tickThread->Stop(nullptr);
    g_tickThread->Join();
    g_tickThread->Destory(0);
    g_tickThread = nullptr;
  }
  if (refNum < 0) refNum = 0;
  CM_INFO_TRACE("stopLowTick, leave. refNum=" << refNum);
}

int32_t CmLowTickRefCountForTesting() {
  CCmMutexGuardT<CCmMutexThread> guard(TickMutex());
  return refNum;
}

ACmThread* CmLowTickThreadForTesting() {
  CCmMutexGuardT<CCmMutexThread> guard(TickMutex());
  return g_tickThread;
}
