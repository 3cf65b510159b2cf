// zar_media_demo: synthetic audio carried through the library in real time.
//
// A capture module on a task thread, driven by a 20 ms periodic timer,
// produces 48 kHz frames; a processing chain (gain, CRC-16, Base64
// transport, checking sink) runs on a second task thread. Once a second a
// status line shows frames, timer lateness, end-to-end latency, queue depth,
// the CPU share of each library thread and memory. The exit status is 0
// only when every captured frame reached the sink once, in order and intact.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CmInetAddr.h"
#include "CmLocalAddr.h"
#include "CmNetworkType.h"
#include "CmStaticPerformanceScore.h"
#include "CmSystemInfo.h"
#include "CmT120Trace.h"
#include "CmThread.h"
#include "CmTimerQueue.h"
#include "CmTimerWrapperID.h"
#include "CmTrace.h"
#include "CmUtilMisc.h"
#include "MediaDemoLogic.h"
#include "MediaPipeline.h"
#include "ThreadWaiter.h"
#include "ZarPerfsStats.h"
#include "ZarSystemResourceMonitor.h"

using namespace media_demo;

namespace {

constexpr int64_t kFrameUs = kFrameMs * 1000;
constexpr const char* kModule = "zar_media_demo";

// ---- trace lines: every one to the trace files, warnings and errors also
// to the console, all of them counted.
std::atomic<uint64_t> g_aTraceLines[5];

void HostTraceSink(unsigned aLevel, const char* aLine, unsigned aLength) {
  g_aTraceLines[aLevel < 5 ? aLevel : 4].fetch_add(1, std::memory_order_relaxed);
  if (aLevel <= CM_TRACE_LEVEL_WARNING) fprintf(stderr, "trace: %.*s\n", static_cast<int>(aLength), aLine);
}

void Trace(unsigned aLevel, const std::string& aText) {
  util_adapter_trace(aLevel, kModule, aText.c_str(), static_cast<unsigned>(aText.size()));
}

std::string Format(const char* aFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* aFormat, ...) {
  char text[1024];
  va_list args;
  va_start(args, aFormat);
  vsnprintf(text, sizeof(text), aFormat, args);
  va_end(args);
  return text;
}

// Prints a line and writes it to the trace too.
void Say(const std::string& aText) {
  printf("%s\n", aText.c_str());
  Trace(CM_TRACE_LEVEL_INFO, aText);
}

// ---- start-up facts

void ShowHostFacts() {
  char brand[256] = {};
  unsigned mhz = 0, physical = 0, perCore = 0;
  uint64_t memoryMB = 0;
  get_cpu_brand(brand, sizeof(brand));
  get_cpu_frequency(mhz);
  get_cpu_core(physical, perCore);
  get_memory_size(memoryMB);
  Say(Format("host: \"%s\", %u MHz, %u physical cores x %u threads, %llu MB", brand, mhz, physical, perCore,
             static_cast<unsigned long long>(memoryMB)));

  CmStaticPerformanceScore* sps = CmStaticPerformanceScore::Instance(false);
  // The engine ships its own parameters; these are neutral ones (no
  // generation offsets, step 1, base 0, bonus 2).
  sps->ConfigureParameters(ZarCurrentOS_Linux, std::vector<int>(7, 0), {1, 0, 2});
  int score = 0, low = 0, high = 0;
  const int rc = sps->GetStaticPerformanceScore(score, zar::ZarPerformanceLevel_4);
  sps->GetLimitScore(low, high, zar::ZarPerformanceLevel_4);
  Say(Format("static performance score (level 4, neutral parameters): %d in [%d, %d)%s", score, low, high,
             rc == 0 ? "" : " (not computed)"));
  CmStaticPerformanceScore::DestroyInstance();
}

std::string AddressText(const local_addr& aAddr) {
  char text[64] = "?";
  // The platform's socket addresses: the IPv4 address at offset 4, the
  // IPv6 address at offset 8.
  const char* raw = reinterpret_cast<const char*>(&aAddr.addr);
  if (aAddr.addr_len == 16) {
    cm_inet_ntop(2, raw + 4, text, sizeof(text));
  } else if (aAddr.addr_len == 28) {
    cm_inet_ntop(23, raw + 8, text, sizeof(text));
  }
  return text;
}

void ShowNetwork() {
  const std::string primary = getPrimaryIpStr();
  Say("primary address: " + (primary.empty() ? std::string("(none: no route outside)") : primary));
  local_addr* list = nullptr;
  const int32_t rc = get_local_addr(&list);
  std::string addresses;
  int count = 0;
  for (local_addr* a = list; a; a = a->next, ++count) addresses += " " + AddressText(*a) + "%" + a->ifname;
  free_local_addr(list);
  Say(Format("local addresses (%d%s):", count, rc == 0 ? "" : ", enumeration failed") + addresses);
  const zar::_NetworkTypeInfo net = DetectNetWork();
  Say(Format("network type: %s%s", NetWorkTypeToString(net.networkType), net.isVPNConnected ? ", VPN" : ""));
}

// ---- threads

// The demo's own thread types (the host chooses them; the library only
// compares them).
enum { kDemoThreadType = 1700 };

ACmThread* StartThread(const char* aName) {
  static int s_nNextType = kDemoThreadType;
  ACmThread* thread = nullptr;
  if (CreateUserTaskThread(aName, thread, TFLAG_JOINABLE, true, s_nNextType++) != 0 || !thread) {
    fprintf(stderr, "zar_media_demo: cannot start thread %s\n", aName);
    return nullptr;
  }
  return thread;
}

void EndThread(ACmThread*& aThread) {
  if (!aThread) return;
  aThread->Stop(nullptr);
  aThread->Join();
  aThread->Destory(0);
  aThread = nullptr;
}

// Runs aFunctor on aThread and returns its result.
template <class Functor>
int RunOn(ACmThread* aThread, Functor aFunctor) {
  return aThread->GetEventQueue()->SendEvent(CmMakeInvokeEvent(aFunctor));
}

// ---- capture

// The capture side: each timer firing produces the frames that are due by
// the capture clock (one normally, more after a stall, as a sound device
// delivers a backlog) and hands them to the capture module. With the
// calendar kind a calendar queue on the capture thread, ticked every 10 ms
// by the thread's own queue, fires the 20 ms timer.
class Capture : public CCmTimerWrapperIDSink, public ICmTimerHandler {
 public:
  Capture(IProcessModule* aModule, IProcessModule* aWatched, PipelineFigures& aFigures, ACmThread* aThread)
      : m_pModule(aModule), m_pWatched(aWatched), m_Figures(aFigures), m_pThread(aThread) {}

  int Start(TimerKind aKind) {
    return RunOn(m_pThread, [this, aKind] {
      m_qwStartUs = RunMicros();
      m_qwNextDeadlineUs = m_qwStartUs + kFrameUs;
      if (aKind != TimerKind::kCalendar) return m_Timer.Schedule(this, Interval(kFrameUs));
      m_pCalendar.reset(new CCmTimerQueueCalendar(10, 1000, m_pThread->GetEventQueue()));
      m_qwTicksDone = 0;
      const int rc = m_pCalendar->ScheduleTimer(this, nullptr, Interval(kFrameUs), 0);
      return rc != 0 ? rc : m_Ticker.Schedule(this, Interval(10000));
    });
  }

  void Stop() {
    m_Timer.Cancel();
    m_Ticker.Cancel();
    // The calendar belongs to the capture thread.
    RunOn(m_pThread, [this] {
      m_pCalendar.reset();
      return 0;
    });
  }

  uint64_t Captured() const { return m_qwCaptured.load(); }
  uint64_t CatchUp() const { return m_qwCatchUp.load(); }

  void OnTimer(CCmTimerWrapperID* aId) override {
    if (aId == &m_Ticker) {
      // As many calendar ticks as 10 ms slots have passed, so a late
      // ticker does not make the calendar fall behind the clock.
      const uint64_t due = (RunMicros() - m_qwStartUs) / 10000;
      while (m_pCalendar && m_qwTicksDone < due) {
        ++m_qwTicksDone;
        m_pCalendar->TimerTick();
      }
      return;
    }
    Produce();
  }
  void OnTimeout(const CCmTimeValue&, void*) override { Produce(); }

 private:
  static CCmTimeValue Interval(int64_t aMicros) { return CCmTimeValue(0L, static_cast<long>(aMicros)); }

  void Produce() {
    const uint64_t now = RunMicros();
    // Lateness of this firing against the deadline it fires for; a firing
    // that comes after later deadlines passed stands for all of them (the
    // queue skips missed periods and keeps the phase).
    m_Figures.AddLateness(now >= m_qwNextDeadlineUs ? static_cast<int64_t>(now - m_qwNextDeadlineUs) : 0);
    while (m_qwNextDeadlineUs <= now) m_qwNextDeadlineUs += kFrameUs;
    const uint64_t due = (now - m_qwStartUs) / kFrameUs;
    const uint64_t before = m_qwCaptured.load();
    for (uint64_t seq = before; seq < due; ++seq) {
      MediaFrame* frame = MediaFrame::Capture(static_cast<uint32_t>(seq), RunMicros());
      m_pModule->DeliverData(frame, 0);
      frame->Release();
      m_qwCaptured.store(seq + 1);
    }
    if (due > before + 1) m_qwCatchUp.fetch_add(due - before - 1);
    m_Figures.NoteQueueDepth(m_pWatched->GetProcessModuleQueueSize(0));
  }

  IProcessModule* m_pModule;
  IProcessModule* m_pWatched;  // the first module on the processing thread
  PipelineFigures& m_Figures;
  ACmThread* m_pThread;
  CCmTimerWrapperID m_Timer, m_Ticker;
  std::unique_ptr<CCmTimerQueueCalendar> m_pCalendar;  // capture thread only
  uint64_t m_qwStartUs = 0, m_qwNextDeadlineUs = 0, m_qwTicksDone = 0;
  std::atomic<uint64_t> m_qwCaptured{0}, m_qwCatchUp{0};
};

// ---- load

// Posts --load events per second to the processing thread, in batches from
// a 10 ms timer on a thread of its own; each event checksums a small buffer.
class LoadGenerator : public CCmTimerWrapperIDSink {
 public:
  LoadGenerator(long aPerSecond, ACmThread* aTarget) : m_lPerSecond(aPerSecond), m_pTarget(aTarget) {}

  void Start(ACmThread* aThread) {
    m_qwStartUs = RunMicros();
    m_Timer.ScheduleInThread(aThread, this, CCmTimeValue(0L, 10000L), 0);
  }
  void Stop() { m_Timer.Cancel(); }

  void OnTimer(CCmTimerWrapperID*) override {
    const uint64_t due = (RunMicros() - m_qwStartUs) * static_cast<uint64_t>(m_lPerSecond) / 1000000;
    ICmEventQueue* queue = m_pTarget->GetEventQueue();
    while (m_qwPosted < due) {
      LoadGenerator* self = this;
      const unsigned char salt = static_cast<unsigned char>(m_qwPosted);
      if (queue->PostEvent(CmMakeInvokeEvent([self, salt] {
            unsigned char bytes[64] = {salt};
            unsigned short crc = 0;
            CalcCRC16(crc, bytes, sizeof(bytes));
            self->m_qwChecksum.fetch_xor(crc, std::memory_order_relaxed);
            self->m_qwExecuted.fetch_add(1, std::memory_order_relaxed);
            return 0;
          })) != 0) {
        break;
      }
      ++m_qwPosted;
      m_qwPostedShared.store(m_qwPosted, std::memory_order_relaxed);
    }
  }

  uint64_t Posted() const { return m_qwPostedShared.load(); }
  uint64_t Executed() const { return m_qwExecuted.load(); }

 private:
  long m_lPerSecond;
  ACmThread* m_pTarget;
  CCmTimerWrapperID m_Timer;
  uint64_t m_qwStartUs = 0;
  uint64_t m_qwPosted = 0;  // load thread only
  std::atomic<uint64_t> m_qwPostedShared{0}, m_qwExecuted{0}, m_qwChecksum{0};
};

// ---- the status line and the CPU figures

struct CpuFigures {
  float process = -1;                     // % of one CPU, the library's figure
  float processOwn = -1;                  // % of one CPU, the demo's own measurement
  std::vector<std::pair<std::string, float>> threads;  // name, % of one CPU (-1: not among the busiest)
};

// CZarPerfsStats reports percent of the whole machine; top shows percent of
// one CPU, and so does the demo.
CpuFigures ReadCpu(const std::vector<ACmThread*>& aThreads) {
  CpuFigures figures;
  zar::_tagZarCPUUsage cpu{};
  if (CZarPerfsStats::instance().get_cpu_statistics(cpu) != 0 || cpu.processorCount == 0) return figures;
  const float scale = cpu.processorCount;
  figures.process = cpu.processCpuUsage * scale;
  for (ACmThread* thread : aThreads) {
    if (!thread) continue;
    const std::string prefix = std::to_string(thread->GetThreadId()) + "-";
    float share = -1;
    for (unsigned i = 0; i < cpu.threadCount && i < 20; ++i) {
      if (std::strncmp(cpu.threads[i].name, prefix.c_str(), prefix.size()) == 0) share = cpu.threads[i].cpuUsage * scale;
    }
    figures.threads.emplace_back(thread->GetName(), share);
  }
  return figures;
}

// The process's CPU time over wall time since the previous call, in % of one
// CPU. The library's process figure never exceeds its whole-machine figure,
// which is a whole percent of the machine, so on a quiet machine it reads a
// fraction of what top shows for the process; this one is not clamped.
// std::clock() is the process's CPU time (all threads) on this platform.
class ProcessMeter {
 public:
  ProcessMeter() : m_Clock(std::clock()), m_Wall(std::chrono::steady_clock::now()) {}
  float Sample() {
    const std::clock_t clock = std::clock();
    const auto wall = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(wall - m_Wall).count();
    float percent = -1;
    if (clock != static_cast<std::clock_t>(-1) && m_Clock != static_cast<std::clock_t>(-1) && seconds > 0) {
      percent = static_cast<float>(100.0 * (clock - m_Clock) / CLOCKS_PER_SEC / seconds);
    }
    m_Clock = clock;
    m_Wall = wall;
    return percent;
  }

 private:
  std::clock_t m_Clock;
  std::chrono::steady_clock::time_point m_Wall;
};

struct RunTotals {
  std::vector<CpuFigures> seconds;  // one per status line once figures exist
  unsigned long long rssMaxKiB = 0;
};

class StatusLine : public CCmTimerWrapperIDSink {
 public:
  StatusLine(int aSeconds, PipelineFigures& aFigures, Capture& aCapture, ACmThread* aProcess,
             std::vector<ACmThread*> aThreads, RunTotals& aTotals, ThreadWaiter& aDone)
      : m_nSeconds(aSeconds), m_Figures(aFigures), m_Capture(aCapture), m_pProcess(aProcess),
        m_Threads(std::move(aThreads)), m_Totals(aTotals), m_Done(aDone) {}

  void OnTimer(CCmTimerWrapperID* aId) override {
    ++m_nTick;
    const PipelineFigures::Window w = m_Figures.TakeWindow();
    CpuFigures cpu = ReadCpu(m_Threads);
    cpu.processOwn = m_Meter.Sample();
    if (cpu.process >= 0) m_Totals.seconds.push_back(cpu);
    float memPercent = 0;
    unsigned long long used = 0, total = 0, rss = 0;
    getZARSystemResourceMonitor()->GetMemoryUsage(memPercent, used, total, rss);
    m_Totals.rssMaxKiB = std::max(m_Totals.rssMaxKiB, rss);
    std::string threads;
    for (const auto& t : cpu.threads) {
      threads += " " + t.first + (t.second < 0 ? std::string(" -") : Format(" %.0f%%", t.second));
    }
    const std::string line = Format(
        "[%2ds] frames %llu captured, %llu delivered (+%llu) | timer late p50/p99/max %.2f/%.2f/%.2f ms | "
        "e2e p50/p99/max %.2f/%.2f/%.2f ms | queue max %u, events %lu | cpu%s, process %s (library %s) | "
        "rss %.1f MiB",
        m_nTick, static_cast<unsigned long long>(m_Capture.Captured()),
        static_cast<unsigned long long>(m_Delivered += w.delivered), static_cast<unsigned long long>(w.delivered),
        w.latenessP50 / 1000.0, w.latenessP99 / 1000.0, w.latenessMax / 1000.0, w.latencyP50 / 1000.0,
        w.latencyP99 / 1000.0, w.latencyMax / 1000.0, w.queueMax, m_pProcess->GetEventQueue()->GetPendingEventsCount(),
        threads.empty() ? " (sampling)" : threads.c_str(),
        cpu.processOwn < 0 ? "-" : Format("%.1f%%", cpu.processOwn).c_str(),
        cpu.process < 0 ? "sampling" : Format("%.0f%%", cpu.process).c_str(), rss / 1024.0);
    Say(line);
    if (m_nTick == m_nSeconds) {
      aId->Cancel();
      m_Done.Finished();
    }
  }

 private:
  int m_nSeconds;
  PipelineFigures& m_Figures;
  Capture& m_Capture;
  ACmThread* m_pProcess;
  std::vector<ACmThread*> m_Threads;
  RunTotals& m_Totals;
  ThreadWaiter& m_Done;
  ProcessMeter m_Meter;
  int m_nTick = 0;
  uint64_t m_Delivered = 0;
};

// ---- the graph

IProcessModule* NewModule(const char* aName, IProcessUnit* aUnit) {
  ProcessModule* module = new ProcessModule;
  module->AddRef();
  module->SetProcessModuleInfo(aName, 0);
  if (aUnit) {
    aUnit->AddRef();
    module->SetProcessUnit(aUnit);  // the module holds its own reference
    aUnit->Release();
  }
  module->InitModule();
  module->Start();
  return module;
}

std::string JsonEscape(const std::string& aText) {
  std::string out;
  for (char c : aText) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      out += Format("\\u%04x", c);
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  switch (ParseOptions(argc, argv, options, error)) {
    case ParseOutcome::kHelp:
      printf("%s", Usage(argv[0]).c_str());
      return 0;
    case ParseOutcome::kError:
      fprintf(stderr, "zar_media_demo: %s\n%s", error.c_str(), Usage(argv[0]).c_str());
      return 2;
    case ParseOutcome::kRun:
      break;
  }

  // Trace lines go to the trace files (0x2) and to the host's sink (0x8).
  set_util_logstash_external_trace_sink(&HostTraceSink);
  cm_set_trace_option(0x2 | 0x8);
  RunMicros();

  Say(Format("zar_media_demo: %d s, modules on threads %d, timer kind %s, load %ld events/s", options.seconds,
             options.modulesOnThreads, TimerKindName(options.timerKind), options.load));
  ShowHostFacts();
  ShowNetwork();

  // Task threads create their timer queue of the default kind as they start;
  // the calendar is driven from an ordered list.
  const int queueKind = options.timerKind == TimerKind::kHeap    ? CmQueueType_MinHeap
                        : options.timerKind == TimerKind::kWheel ? CmQueueType_Wheel
                                                                 : CmQueueType_OrderedList;
  cm_set_default_timer_type(queueKind);

  CZarPerfsStats& perfs = CZarPerfsStats::instance();
  perfs.EnablFullPerfStatus(true);
  perfs.start(nullptr);

  ACmThread* captureThread = StartThread("media-capture");
  ACmThread* processThread = StartThread("media-process");
  ACmThread* farThread = options.modulesOnThreads == 2 ? StartThread("media-far") : nullptr;
  ACmThread* loadThread = options.load > 0 ? StartThread("media-load") : nullptr;
  ACmThread* statusThread = StartThread("media-status");
  if (!captureThread || !processThread || !statusThread || (options.modulesOnThreads == 2 && !farThread) ||
      (options.load > 0 && !loadThread)) {
    return 1;
  }

  PipelineFigures figures;
  IProcessModule* capture = NewModule("capture", nullptr);
  IProcessModule* gain = NewModule("gain", new GainUnit);
  IProcessModule* crc = NewModule("crc16", new CrcUnit);
  IProcessModule* encode = NewModule("transport-encode", new EncodeUnit);
  IProcessModule* decode = NewModule("transport-decode", new DecodeUnit(figures));
  IProcessModule* sink = NewModule("sink", new SinkUnit(figures));
  IProcessModule* chain[] = {capture, gain, crc, encode, decode, sink};
  for (size_t i = 0; i + 1 < sizeof(chain) / sizeof(chain[0]); ++i) chain[i]->AddDeliver(chain[i + 1], 0, 0);
  // The capture module lives on the capture thread, where its timer fires,
  // so its samples are handled directly; a module on another thread queues
  // them and drains the queue there.
  capture->SetProcessModuleThread(captureThread);
  if (options.modulesOnThreads >= 1) gain->SetProcessModuleThread(processThread);
  if (options.modulesOnThreads == 2) decode->SetProcessModuleThread(farThread);

  Capture source(capture, gain, figures, captureThread);
  LoadGenerator load(options.load, processThread);
  RunTotals totals;
  ThreadWaiter done;
  std::vector<ACmThread*> watched = {captureThread, processThread, farThread, loadThread};
  StatusLine status(options.seconds, figures, source, processThread, watched, totals, done);
  CCmTimerWrapperID statusTimer;

  Say(Format("pipeline: capture on %s -> gain, crc16, transport-encode on %s -> transport-decode, sink on %s",
             captureThread->GetName(),
             options.modulesOnThreads >= 1 ? processThread->GetName() : captureThread->GetName(),
             options.modulesOnThreads == 2   ? farThread->GetName()
             : options.modulesOnThreads == 1 ? processThread->GetName()
                                             : captureThread->GetName()));
  if (source.Start(options.timerKind) != 0) {
    fprintf(stderr, "zar_media_demo: the capture timer could not be scheduled\n");
    return 1;
  }
  if (loadThread) load.Start(loadThread);
  statusTimer.ScheduleInThread(statusThread, &status, CCmTimeValue(1L, 0L), 0);

  const bool finished = done.WaitUntilTimeout(std::chrono::seconds(options.seconds + 60));
  statusTimer.Cancel();
  source.Stop();
  load.Stop();
  const uint64_t captured = source.Captured();
  const bool drained = figures.WaitForFrames(captured, 10000);
  perfs.stop();

  // Shut down: threads first (pending events are dropped), then the graph.
  EndThread(loadThread);
  EndThread(statusThread);
  EndThread(captureThread);
  EndThread(processThread);
  EndThread(farThread);
  for (size_t i = 0; i + 1 < sizeof(chain) / sizeof(chain[0]); ++i) chain[i]->RemoveDeliver(chain[i + 1]);
  for (IProcessModule* module : chain) {
    module->Stop();
    module->Release();
  }

  // ---- the summary
  FrameAccounting& books = figures.Accounting();
  books.Finish(captured);
  const uint64_t corrupt = books.Corrupt() + figures.TransportErrors();
  const bool clean = finished && drained && books.Clean() && figures.TransportErrors() == 0;
  printf("\n%s\n", figures.Lateness().Render("timer lateness", 40).c_str());
  printf("%s\n", figures.Latency().Render("end-to-end latency", 40).c_str());

  std::vector<std::pair<std::string, double>> cpuAverages;
  double processAverage = 0, processOwnAverage = 0;
  // The first figures cover the start-up; the averages leave them out when
  // there are others.
  const size_t skip = totals.seconds.size() > 2 ? 1 : 0;
  const size_t used = totals.seconds.size() - skip;
  if (used > 0) {
    for (size_t s = skip; s < totals.seconds.size(); ++s) {
      processAverage += totals.seconds[s].process / used;
      processOwnAverage += std::max(0.0f, totals.seconds[s].processOwn) / used;
      for (size_t t = 0; t < totals.seconds[s].threads.size(); ++t) {
        if (cpuAverages.size() <= t) cpuAverages.emplace_back(totals.seconds[s].threads[t].first, 0.0);
        cpuAverages[t].second += std::max(0.0f, totals.seconds[s].threads[t].second) / used;
      }
    }
  }
  std::string cpuText;
  for (const auto& a : cpuAverages) cpuText += Format(" %s %.1f%%", a.first.c_str(), a.second);

  Say(Format("summary: %llu frames captured (%llu in catch-up after a late timer), %llu delivered; "
             "lost %llu, doubled %llu, reordered %llu, corrupt %llu",
             static_cast<unsigned long long>(captured), static_cast<unsigned long long>(source.CatchUp()),
             static_cast<unsigned long long>(books.Delivered()), static_cast<unsigned long long>(books.Lost()),
             static_cast<unsigned long long>(books.Doubled()), static_cast<unsigned long long>(books.Reordered()),
             static_cast<unsigned long long>(corrupt)));
  Say(Format("summary: timer lateness p50 %.3f ms, p99 %.3f ms, max %.3f ms; end-to-end p50 %.3f ms, p99 %.3f ms, "
             "max %.3f ms; deepest queue %u",
             figures.Lateness().Percentile(50) / 1000.0, figures.Lateness().Percentile(99) / 1000.0,
             figures.Lateness().Max() / 1000.0, figures.Latency().Percentile(50) / 1000.0,
             figures.Latency().Percentile(99) / 1000.0, figures.Latency().Max() / 1000.0, figures.QueueMax()));
  if (options.load > 0) {
    Say(Format("summary: load %llu events posted, %llu run on %s", static_cast<unsigned long long>(load.Posted()),
               static_cast<unsigned long long>(load.Executed()), "media-process"));
  }
  Say(Format("summary: average CPU (%% of one CPU, as top -H shows):%s, process %.1f%% (library figure %.1f%%, "
             "never above its whole-machine figure); peak rss %.1f MiB",
             cpuText.empty() ? " (no figures)" : cpuText.c_str(), processOwnAverage, processAverage,
             totals.rssMaxKiB / 1024.0));
  Say(Format("summary: trace lines: %llu error, %llu warning, %llu info, %llu debug/detail",
             static_cast<unsigned long long>(g_aTraceLines[0].load()),
             static_cast<unsigned long long>(g_aTraceLines[1].load()),
             static_cast<unsigned long long>(g_aTraceLines[2].load()),
             static_cast<unsigned long long>(g_aTraceLines[3].load() + g_aTraceLines[4].load())));
  if (!finished) Say("summary: the status thread did not finish in time");
  if (!drained) Say("summary: frames still in flight after 10 s");
  Say(clean ? "result: PASS - every frame arrived once, in order and intact"
            : "result: FAIL - frames were lost, doubled, reordered or corrupt");

  const CCmString infoFile = CCmT120Trace::instance()->info_file_name();
  const CCmString errorFile = CCmT120Trace::instance()->error_file_name();

  if (!options.jsonPath.empty()) {
    std::ofstream json(options.jsonPath);
    json << "{\n"
         << "  \"seconds\": " << options.seconds << ",\n"
         << "  \"modules_on_threads\": " << options.modulesOnThreads << ",\n"
         << "  \"timer_kind\": \"" << TimerKindName(options.timerKind) << "\",\n"
         << "  \"load_events_per_second\": " << options.load << ",\n"
         << "  \"frames\": {\"captured\": " << captured << ", \"catch_up\": " << source.CatchUp()
         << ", \"delivered\": " << books.Delivered() << ", \"lost\": " << books.Lost()
         << ", \"doubled\": " << books.Doubled() << ", \"reordered\": " << books.Reordered()
         << ", \"corrupt\": " << corrupt << "},\n"
         << "  \"timer_lateness_us\": {\"p50\": " << figures.Lateness().Percentile(50)
         << ", \"p99\": " << figures.Lateness().Percentile(99) << ", \"max\": " << figures.Lateness().Max()
         << "},\n"
         << "  \"end_to_end_latency_us\": {\"p50\": " << figures.Latency().Percentile(50)
         << ", \"p99\": " << figures.Latency().Percentile(99) << ", \"max\": " << figures.Latency().Max() << "},\n"
         << "  \"deepest_queue\": " << figures.QueueMax() << ",\n"
         << "  \"load\": {\"posted\": " << load.Posted() << ", \"executed\": " << load.Executed() << "},\n"
         << "  \"cpu_percent_of_one_cpu\": {";
    for (const auto& a : cpuAverages) json << "\"" << JsonEscape(a.first) << "\": " << Format("%.2f", a.second) << ", ";
    json << "\"process\": " << Format("%.2f", processOwnAverage)
         << ", \"process_library_figure\": " << Format("%.2f", processAverage) << "},\n"
         << "  \"peak_rss_kib\": " << totals.rssMaxKiB << ",\n"
         << "  \"trace_files\": [\"" << JsonEscape(infoFile) << "\", \"" << JsonEscape(errorFile) << "\"],\n"
         << "  \"clean\": " << (clean ? "true" : "false") << "\n"
         << "}\n";
    if (!json) fprintf(stderr, "zar_media_demo: cannot write %s\n", options.jsonPath.c_str());
  }
  printf("trace files: %s and %s\n", infoFile.c_str(), errorFile.c_str());
  set_util_logstash_external_trace_sink(nullptr);
  return clean ? 0 : 1;
}
