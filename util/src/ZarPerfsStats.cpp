#include "ZarPerfsStats.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "CmConditionVariable.h"
#include "CmError.h"
#include "CmMutex.h"
#include "CmTrace.h"
#include "ThreadWaiter.h"
#include "ZarCpuUsage.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformCpu.h"
#include "platform/CmPlatformProc.h"
#include "platform/CmPlatformThread.h"

// The media session's lines carry its module name, not the library's.
#define ZAR_PERFS_TRACE(level, str)                                           \
  do {                                                                        \
    if (CmTraceIsEnabled(level)) {                                            \
      char perfsBuf_[1024];                                                   \
      CCmTextFormator perfsFmt_(perfsBuf_, sizeof(perfsBuf_));                \
      perfsFmt_ << str;                                                       \
      util_adapter_trace((level), "MediaSession", perfsBuf_, perfsFmt_.tell()); \
    }                                                                         \
  } while (0)

namespace {

constexpr unsigned kMaxThreadEntries = 10;
constexpr int kDefaultStopLimitMs = 2000;
constexpr long kSamplePeriodMs = 1000;
constexpr unsigned kSamplesUntilReady = 2;

// One start-to-stop life of the sampling thread. The thread and the object
// share it; whichever lets go last frees it.
struct SamplingRun {
  CCmEventThread wake{0, 0};  // auto-reset: a stop cuts the one-second wait short
  ThreadWaiter done{1};       // the thread has left its loop
  std::atomic<uint32_t> tid{0};
  bool stopped = false;  // guarded by the record's mutex
};

}  // namespace

// The object's state; shared with the sampling thread so that a thread
// outliving a stop (or the object) never touches freed memory.
struct CZarPerfsStats::Record {
  CCmMutexThreadRecursive mutex;  // guards every field below
  int32_t inst = 0;
  int stopLimitMs = kDefaultStopLimitMs;
  unsigned maxEntries = kMaxThreadEntries;
  zar::_tagZarCPUUsage cpu{};
  zar::_tagZarMemoryUsage memory{};
  bool fullStatistics = false;
  ThreadWaiter ready{kSamplesUntilReady};
  unsigned samples = 0;  // stored since the latest init
  unsigned processors = 0;
  std::shared_ptr<SamplingRun> run;  // null while no sampling thread runs
};

namespace {

typedef CCmMutexGuardT<CCmMutexThreadRecursive> Guard;

struct SamplerArgs {
  std::shared_ptr<CZarPerfsStats::Record> record;
  std::shared_ptr<SamplingRun> run;
};

// What one round measured, ready to be stored.
struct Round {
  float systemCpu = 0.0f;
  float processCpu = 0.0f;
  std::vector<THREADITEM> threads;
  bool memoryOk = false;
  float memoryPercent = 0.0f;
  unsigned long long usedKiB = 0, totalKiB = 0;
};

void ReleaseWaiters(ThreadWaiter& aLatch) {
  while (!aLatch.WaitUntilTimeout(std::chrono::milliseconds(0))) aLatch.Finished();
}

// True (and the record's fields read) unless the run was stopped.
bool StillRunning(CZarPerfsStats::Record& aRecord, const SamplingRun& aRun, bool* aFull, unsigned* aProcessors) {
  Guard guard(aRecord.mutex);
  if (aRun.stopped) return false;
  if (aFull) *aFull = aRecord.fullStatistics;
  if (aProcessors) *aProcessors = aRecord.processors;
  return true;
}

// A failed reading gives the formulas' "no time measured" values.
void Compute(const ProcessSystemTimes aSystem[2], const ProcessSystemTimes aProcess[2], bool aSystemOk,
             bool aProcessOk, unsigned aProcessors, Round& aRound) {
  const int system = aSystemOk ? ZarSystemCpuUsage(aSystem[0], aSystem[1]) : 2;
  aRound.systemCpu = static_cast<float>(std::min(std::max(system, 0), 100));
  const float process = aProcessOk ? ZarProcessCpuUsage(aProcess[0], aProcess[1], aProcessors) : 2.0f;
  aRound.processCpu = std::min(process, aRound.systemCpu);
  aRound.memoryOk = get_memory_usage(aRound.memoryPercent, aRound.usedKiB, aRound.totalKiB) == 0;
}

bool Store(CZarPerfsStats::Record& aRecord, const SamplingRun& aRun, Round& aRound) {
  Guard guard(aRecord.mutex);
  if (aRun.stopped) return false;
  zar::_tagZarCPUUsage& cpu = aRecord.cpu;
  cpu.systemCpuUsage = aRound.systemCpu;
  cpu.processCpuUsage = aRound.processCpu;
  cpu.processorPerformance = 0.0f;  // not available
  cpu.gpuUsage = 0.0f;              // not available
  cpu.processorCount = static_cast<uint16_t>(aRecord.processors);
  ZarStoreBusiestThreads(aRound.threads, aRecord.maxEntries, cpu);
  if (aRound.memoryOk) {
    aRecord.memory.memoryUsage = aRound.memoryPercent;
    aRecord.memory.usedKiB = aRound.usedKiB;
    aRecord.memory.totalKiB = aRound.totalKiB;
  }
  ++aRecord.samples;
  aRecord.ready.Finished();
  return true;
}

void SamplingLoop(CZarPerfsStats::Record& aRecord, SamplingRun& aRun) {
  bool full = false;
  unsigned processors = 0;
  while (StillRunning(aRecord, aRun, &full, &processors)) {
    ProcessSystemTimes system[2], process[2];
    Round round;
    bool systemOk = ZarTakeSystemSample(system[0]);
    bool processOk = ZarTakeProcessSample(process[0]);
    if (full) ZarListThreads(round.threads);
    CCmTimeValue period(kSamplePeriodMs / 1000, (kSamplePeriodMs % 1000) * 1000);
    aRun.wake.Wait(&period);
    if (!StillRunning(aRecord, aRun, nullptr, nullptr)) break;
    systemOk = ZarTakeSystemSample(system[1]) && systemOk;
    processOk = ZarTakeProcessSample(process[1]) && processOk;
    ZarFinishThreads(round.threads, processors);
    Compute(system, process, systemOk, processOk, processors, round);
    if (!Store(aRecord, aRun, round)) break;
  }
}

// Stops the record's run (inst = 0, waiters released) and hands it over for
// WaitForRun. Called with the record's mutex held.
std::shared_ptr<SamplingRun> DetachRun(CZarPerfsStats::Record& aRecord, int& aLimitMs) {
  aRecord.inst = 0;
  aLimitMs = aRecord.stopLimitMs;
  std::shared_ptr<SamplingRun> run = std::move(aRecord.run);
  if (run) run->stopped = true;
  ReleaseWaiters(aRecord.ready);
  return run;
}

// Waits for a detached run's thread without holding the record's mutex: the
// thread may need it to finish its round.
void WaitForRun(const std::shared_ptr<SamplingRun>& aRun, int aLimitMs, bool aTrace) {
  if (!aRun) return;
  aRun->wake.Signal();
  if (aRun->done.WaitUntilTimeout(std::chrono::milliseconds(aLimitMs)) || !aTrace) return;
  ZAR_PERFS_TRACE(CM_TRACE_LEVEL_WARNING, "CZarPerfsStats::uninit, the sampling thread did not end within "
                                              << aLimitMs << " ms; it ends on its own [cid=0]");
}

void SamplingThread(void* aArgs) {
  std::unique_ptr<SamplerArgs> args(static_cast<SamplerArgs*>(aArgs));
  cm_platform::SetCurrentThreadName("zar-perfs");
  SamplingLoop(*args->record, *args->run);
  args->run->done.Finished();
}

}  // namespace

CZarPerfsStats& CZarPerfsStats::instance() {
  static CZarPerfsStats s_instance;
  return s_instance;
}

CZarPerfsStats::CZarPerfsStats() : m_pRecord(std::make_shared<Record>()) {
  // The trace path's own statics must outlive this object, which may be a
  // static destroyed at exit.
  CmGetUtilModuleName();
}

CZarPerfsStats::~CZarPerfsStats() {
  std::shared_ptr<SamplingRun> run;
  int limitMs = 0;
  {
    Guard guard(m_pRecord->mutex);
    run = DetachRun(*m_pRecord, limitMs);
  }
  // Quietly: at process exit the trace path may already be gone.
  WaitForRun(run, limitMs, false);
}

void CZarPerfsStats::start(ACmThread* /*aThread*/) {
  Record& r = *m_pRecord;
  Guard guard(r.mutex);
  ZAR_PERFS_TRACE(CM_TRACE_LEVEL_INFO, "CZarPerfsStats::start, inst=" << r.inst << " [cid=0]");
  if (r.inst != 0) {
    ZAR_PERFS_TRACE(CM_TRACE_LEVEL_INFO, "perfs: it is already started. [cid=0]");
    ++r.inst;
    return;
  }
  if (init() == 0) r.inst = 1;
}

void CZarPerfsStats::stop() {
  Record& r = *m_pRecord;
  std::shared_ptr<SamplingRun> run;
  int limitMs = 0;
  {
    Guard guard(r.mutex);
    ZAR_PERFS_TRACE(CM_TRACE_LEVEL_INFO, "CZarPerfsStats::stop, inst=" << r.inst << " [cid=0]");
    if (r.inst > 0) --r.inst;
    if (r.inst >= 1) return;
    run = DetachRun(r, limitMs);
  }
  WaitForRun(run, limitMs, true);
}

int CZarPerfsStats::init() {
  Record& r = *m_pRecord;
  Guard guard(r.mutex);
  if (r.run) return 0;
  r.processors = cm_platform::CpuOnlineCount();
  r.ready.Reset(kSamplesUntilReady);
  r.samples = 0;
  std::shared_ptr<SamplingRun> run = std::make_shared<SamplingRun>();
  SamplerArgs* args = new SamplerArgs{m_pRecord, run};
  if (!cm_platform::ThreadStart(&SamplingThread, args, &run->tid)) {
    const int error = cm_platform::LastError();
    delete args;
    ZAR_PERFS_TRACE(CM_TRACE_LEVEL_ERROR,
                    "CZarPerfsStats::init, cannot start the sampling thread, err=" << error << " [cid=0]");
    return ZAR_E_THREAD_UNAVAILABLE;
  }
  r.run = std::move(run);
  return 0;
}

void CZarPerfsStats::uninit() {
  std::shared_ptr<SamplingRun> run;
  int limitMs = 0;
  {
    Guard guard(m_pRecord->mutex);
    run = DetachRun(*m_pRecord, limitMs);
  }
  WaitForRun(run, limitMs, true);
}

bool CZarPerfsStats::is_stopped() {
  Guard guard(m_pRecord->mutex);
  return m_pRecord->inst == 0;
}

void CZarPerfsStats::WaitUntilReady() {
  {
    Guard guard(m_pRecord->mutex);
    if (!m_pRecord->run) return;
  }
  m_pRecord->ready.WaitUntilFinished();
}

bool CZarPerfsStats::WaitUntilReady(std::chrono::milliseconds aTimeout) {
  Record& r = *m_pRecord;
  {
    Guard guard(r.mutex);
    if (!r.run) return false;
  }
  r.ready.WaitUntilTimeout(aTimeout);
  Guard guard(r.mutex);
  return r.run && r.samples >= kSamplesUntilReady;
}

int CZarPerfsStats::get_cpu_statistics(zar::_tagZarCPUUsage& aUsage) {
  Guard guard(m_pRecord->mutex);
  if (m_pRecord->inst < 1) return ZAR_E_UNEXPECTED;
  aUsage = m_pRecord->cpu;
  return 0;
}

int CZarPerfsStats::get_memory_statistics(zar::_tagZarMemoryUsage& aUsage) {
  Guard guard(m_pRecord->mutex);
  if (m_pRecord->inst < 1) return ZAR_E_UNEXPECTED;
  aUsage = m_pRecord->memory;
  return 0;
}

void CZarPerfsStats::SetInterval(int aMilliseconds) {
  Guard guard(m_pRecord->mutex);
  m_pRecord->stopLimitMs = aMilliseconds < 0 ? 0 : aMilliseconds;
}

void CZarPerfsStats::EnablFullPerfStatus(bool aEnable) {
  Guard guard(m_pRecord->mutex);
  m_pRecord->fullStatistics = aEnable;
}

void CZarPerfsStats::OnTimer(CCmTimerWrapperID* /*aId*/) {}

int get_memory_usage(float& aPercent, unsigned long long& aUsedKiB, unsigned long long& aTotalKiB) {
  cm_platform::MemoryStatus status;
  if (!cm_platform::ReadMemoryStatus(status)) {
    aPercent = 0.0f;
    aUsedKiB = aTotalKiB = 0;
    return -1;
  }
  aTotalKiB = status.totalBytes / 1024;
  aUsedKiB = (status.totalBytes - status.availableBytes) / 1024;
  aPercent = aTotalKiB == 0 ? 0.0f : static_cast<float>(static_cast<double>(aUsedKiB) * 100.0 / static_cast<double>(aTotalKiB));
  return 0;
}
