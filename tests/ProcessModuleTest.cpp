// Process modules and units: building the graph, the direct and the queued
// road of a sample through a chain of three modules (order per channel,
// nothing lost, doubled or leaked), the queue decision, stopping with
// samples still queued, listeners, options, configuration and counting.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CmThread.h"
#include "CmTrace.h"
#include "ProcessModule.h"
#include "ThreadWaiter.h"
#include "TraceCapture.h"

namespace {

constexpr std::chrono::seconds kBound(20);

uint32_t Self() { return static_cast<uint32_t>(GetThreadSelfId()); }

struct SampleTally {
  std::atomic<int> alive{0};
  std::atomic<int> deaths{0};
};

// A counted sample. Its destructor counts, so "released exactly once" is
// deaths == samples at the end; a second release would be a use after free
// that the sanitizer builds report.
class Sample : public IProcessData {
 public:
  Sample(SampleTally& aTally, uint32_t aSeq) : m_Tally(aTally), m_dwSeq(aSeq) { ++m_Tally.alive; }
  uint32_t AddRef() override { return ++m_nRef; }
  uint32_t Release() override {
    const uint32_t left = --m_nRef;
    if (left == 0) delete this;
    return left;
  }
  CmResult QueryInterface(const zar::_tagUUID&, void** aOut) override {
    if (aOut) *aOut = nullptr;
    return ZAR_E_NOINTERFACE;
  }
  uint32_t GetReference() override { return m_nRef; }
  uint32_t GetDataType() override { return 0; }
  unsigned char* GetDataPtr() override { return m_aBytes; }
  int32_t GetDataLength() override { return sizeof(m_aBytes); }
  uint64_t GetTimestamp() override { return m_dwSeq; }
  void* GetUserContext() override { return nullptr; }
  uint32_t Seq() const { return m_dwSeq; }

 private:
  ~Sample() override {
    --m_Tally.alive;
    ++m_Tally.deaths;
  }
  SampleTally& m_Tally;
  uint32_t m_dwSeq;
  std::atomic<uint32_t> m_nRef{1};
  unsigned char m_aBytes[3] = {1, 2, 3};
};

struct Seen {
  uint32_t seq;
  uint16_t channel;
  uint32_t thread;
};

// Records every sample it is given. kPass returns the sample (delivered on
// output 0 by ProcessUnit::Process), kPerChannel sends channel c on output
// c itself, kConsume keeps it to itself.
class RecordingUnit : public ProcessUnit {
 public:
  enum Mode { kPass, kPerChannel, kConsume };
  explicit RecordingUnit(Mode aMode, ThreadWaiter* aArrivals = nullptr) : m_eMode(aMode), m_pArrivals(aArrivals) {}

  std::vector<Seen> SeenSamples() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Seen;
  }
  std::function<void(IProcessData*, uint16_t)> m_OnProcess;  // set before samples flow
  using ProcessUnit::_FireOnStatusChangedEvent;

 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Seen.push_back({static_cast<Sample*>(aData)->Seq(), aChannel, Self()});
    }
    if (m_OnProcess) m_OnProcess(aData, aChannel);
    if (m_pArrivals) m_pArrivals->Finished();
    if (m_eMode == kConsume) return nullptr;
    if (m_eMode == kPerChannel && aChannel != 0) {
      _DeliverDataToNextModule(aData, aChannel);
      return nullptr;
    }
    aData->AddRef();  // the result's reference, released by Process
    return aData;
  }

 private:
  Mode m_eMode;
  ThreadWaiter* m_pArrivals;
  std::mutex m_Mutex;
  std::vector<Seen> m_Seen;
};

// Opens the protected operations to the tests.
class TestModule : public ProcessModule {
 public:
  explicit TestModule(const char* aName = "m") { SetProcessModuleInfo(aName, 7); }
  void AllowMultiInputer() { m_bAllowMultiInputer = true; }
  using ProcessModule::_DrainQueueData;
  using ProcessModule::_FireOnStatusChangedEvent;
  using ProcessModule::_FireOptionToDelivers;
  using ProcessModule::_FireOptionToInputters;
  using ProcessModule::_GetProcessDataToQueueSize;
  using ProcessModule::_PopProcessDataFromQueue;
  using ProcessModule::_ProcessQueueDataOnce;
  using ProcessModule::_PushProcessDataToQueue;
  std::map<uint32_t, uint32_t> m_OptionsSeen;  // written by SetProcessModuleOption

  CmResult SetProcessModuleOption(uint32_t aId, const ProcessModuleValue& aValue) override {
    m_OptionsSeen[aId] = static_cast<uint32_t>(aValue);
    return ProcessModule::SetProcessModuleOption(aId, aValue);
  }
};

template <class T, class... Args>
T* Counted(Args&&... aArgs) {
  T* object = new T(std::forward<Args>(aArgs)...);
  object->AddRef();
  return object;
}

// A library thread the test owns; Block() holds it inside an event until
// Unblock(), so samples pile up in a module's queue meanwhile.
class TaskThread {
 public:
  TaskThread() { EXPECT_EQ(CreateUserTaskThread("pipe-test", m_pThread, TFLAG_JOINABLE, true, 1301), 0); }
  ~TaskThread() { Finish(); }
  ACmThread* Get() { return m_pThread; }
  uint32_t Id() { return static_cast<uint32_t>(m_pThread->GetThreadId()); }

  int Send(std::function<int()> aWork) {
    return m_pThread->GetEventQueue()->SendEvent(CmMakeInvokeEvent(std::move(aWork)));
  }
  int Post(std::function<int()> aWork) {
    return m_pThread->GetEventQueue()->PostEvent(CmMakeInvokeEvent(std::move(aWork)));
  }
  void Block(std::function<void()> aBeforeLeaving = nullptr) {
    m_Started.Reset(1);
    m_Release.Reset(1);
    ASSERT_EQ(Post([this, aBeforeLeaving] {
                m_Started.Finished();
                m_Release.WaitUntilTimeout(kBound);
                if (aBeforeLeaving) aBeforeLeaving();
                return 0;
              }),
              0);
    ASSERT_TRUE(m_Started.WaitUntilTimeout(kBound));
  }
  void Unblock() { m_Release.Finished(); }
  // Waits until everything posted so far has run.
  void Drain() { EXPECT_EQ(Send([] { return 0; }), 0); }
  void Finish() {
    if (!m_pThread) return;
    m_pThread->Stop();
    m_pThread->Join();
    m_pThread->Destory(0);
    m_pThread = nullptr;
  }

 private:
  ACmThread* m_pThread = nullptr;
  ThreadWaiter m_Started{1};
  ThreadWaiter m_Release{1};
};

class Listener : public IProcessModuleEventNotify {
 public:
  void OnProcessModuleEvent(uint32_t aEventType, const ProcessModuleValue& aValue) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Heard.push_back(std::to_string(aEventType) + ":" + std::to_string(static_cast<uint32_t>(aValue)));
    if (m_OnEvent) m_OnEvent();
  }
  std::vector<std::string> Heard() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Heard;
  }
  std::function<void()> m_OnEvent;

 private:
  std::mutex m_Mutex;
  std::vector<std::string> m_Heard;
};

std::string Hex(const void* aPointer) {
  char text[32];
  snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(aPointer)));
  return text;
}

// ------------------------------------------------------------------ graph

TEST(ProcessModule, AddDeliverRefusesBadArgumentsWithItsLine) {
  auto* a = Counted<TestModule>("a");
  auto* b = Counted<TestModule>("b");
  TraceCapture trace;
  struct Case {
    IProcessModule* target;
    uint16_t channel, output;
    CmResult result;
    const char* line;
  };
  const std::string badB = "ProcessModule::AddDeliver invalidate input params, pIProcessModule=" + Hex(b);
  const std::vector<Case> cases = {
      {b, 16, 0, ZAR_E_INVALIDARG, ",nChannelId=16,nOutputChannelId=0"},
      {b, 0, 4, ZAR_E_INVALIDARG, ",nChannelId=0,nOutputChannelId=4"},
      {nullptr, 0, 0, ZAR_E_INVALIDARG, nullptr},
      {a, 0, 0, ZAR_E_FAIL, ""},  // itself: refused without a line
  };
  for (const Case& c : cases) {
    trace.Clear();
    EXPECT_EQ(a->AddDeliver(c.target, c.channel, c.output), c.result);
    if (!c.line) {
      EXPECT_TRUE(trace.Contains("invalidate input params, pIProcessModule=0x0,nChannelId=0,nOutputChannelId=0", 0));
    } else if (*c.line) {
      EXPECT_TRUE(trace.Contains(badB + c.line, 0)) << c.line;
    } else {
      EXPECT_EQ(trace.Count("ProcessModule::", 0), 0u);
    }
  }
  a->Release();
  b->Release();
}

TEST(ProcessModule, OneTargetPerOutputAndOneUpstreamPerInput) {
  auto* a = Counted<TestModule>("a");
  auto* b = Counted<TestModule>("b");
  auto* c = Counted<TestModule>("c");
  TraceCapture trace;
  ASSERT_EQ(a->AddDeliver(b, 0, 0), ZAR_S_OK);
  EXPECT_EQ(a->AddDeliver(b, 1, 0), ZAR_E_FAIL);  // same output, another input: still a duplicate
  EXPECT_TRUE(trace.Contains("ProcessModule::AddDeliver fail deliver already exist", 0));
  EXPECT_EQ(a->AddDeliver(b, 0, 1), ZAR_E_FAIL);  // b's input 0 has its upstream
  EXPECT_TRUE(trace.Contains("ProcessModule::AddInputer exist same inputer for nChannelId=0", 0));
  EXPECT_TRUE(trace.Contains("ProcessModule::AddDeliver fail add inputter", 0));
  EXPECT_EQ(c->AddDeliver(b, 0, 0), ZAR_E_FAIL);  // another upstream on the same input
  ASSERT_EQ(a->AddDeliver(b, 1, 1), ZAR_S_OK);
  b->AllowMultiInputer();
  EXPECT_EQ(c->AddDeliver(b, 0, 0), ZAR_S_OK);

  EXPECT_EQ(b->AddInputer(nullptr, 0), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("ProcessModule::AddInputer add NULL deliver", 0));
  EXPECT_EQ(b->AddInputer(b, 3), ZAR_E_FAIL);

  // RemoveDeliver(module) takes the first entry on every output channel and
  // the inputters with it, so a's links can be made again.
  EXPECT_EQ(a->RemoveDeliver(b), ZAR_S_OK);
  EXPECT_EQ(a->RemoveDeliver(b), ZAR_E_FAIL);
  EXPECT_EQ(a->RemoveDeliver(static_cast<IProcessModule*>(nullptr)), ZAR_E_FAIL);
  ASSERT_EQ(a->AddDeliver(b, 1, 2), ZAR_S_OK);
  EXPECT_EQ(a->RemoveDeliver(0, 2), ZAR_E_FAIL);  // no deliver bound to input 0 there
  EXPECT_EQ(a->RemoveDeliver(1, 2), ZAR_S_OK);
  EXPECT_EQ(a->RemoveDeliver(1, 4), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("ProcessModule::RemoveDeliver: invalid output Channel ID nOutputChannelId >= 4", 0));
  EXPECT_EQ(b->RemoveInputer(a), ZAR_E_FAIL);  // already gone with the delivers
  EXPECT_EQ(b->RemoveInputer(c), ZAR_S_OK);
  EXPECT_EQ(b->RemoveInputer(nullptr), ZAR_E_FAIL);
  EXPECT_EQ(c->RemoveDeliver(b), ZAR_S_OK);
  for (auto* m : {a, b, c}) m->Release();
}

// The pipeline's interfaces cross the library boundary by type: the library
// must export their type information so that its dynamic_cast and a host's
// agree.
TEST(ProcessModule, InterfacesAreExportedByType) {
  // The library as loaded, whatever its file is called (it carries a version).
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&cm_get_trace_option), &info), 0);
  void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr) << info.dli_fname;
  for (const char* symbol : {"_ZTIN3zar11IZarUnknownE", "_ZTI14IProcessModule", "_ZTI12IProcessUnit",
                             "_ZTI13ProcessModule", "_ZTI11ProcessUnit"}) {
    EXPECT_NE(dlsym(library, symbol), nullptr) << symbol;
  }
  dlclose(library);
  auto* host = Counted<TestModule>();
  zar::IZarUnknown* unknown = host;
  EXPECT_NE(dynamic_cast<IProcessModule*>(unknown), nullptr);
  host->Release();
}

// ----------------------------------------------------------- the chain

// a -> b -> c, outputs 0 and 1 linked to inputs 0 and 1; c's unit records.
struct Chain {
  explicit Chain(ThreadWaiter* aArrivals = nullptr) {
    a = Counted<TestModule>("a");
    b = Counted<TestModule>("b");
    c = Counted<TestModule>("c");
    ua = Counted<RecordingUnit>(RecordingUnit::kPerChannel);
    ub = Counted<RecordingUnit>(RecordingUnit::kPerChannel);
    uc = Counted<RecordingUnit>(RecordingUnit::kConsume, aArrivals);
    a->SetProcessUnit(ua);
    b->SetProcessUnit(ub);
    c->SetProcessUnit(uc);
    for (uint16_t ch = 0; ch < 2; ++ch) {
      EXPECT_EQ(a->AddDeliver(b, ch, ch), ZAR_S_OK);
      EXPECT_EQ(b->AddDeliver(c, ch, ch), ZAR_S_OK);
    }
  }
  void Start() {
    for (auto* m : {a, b, c}) {
      EXPECT_EQ(m->InitModule(), ZAR_S_OK);
      EXPECT_EQ(m->Start(), ZAR_S_OK);
    }
  }
  ~Chain() {
    a->RemoveDeliver(b);
    b->RemoveDeliver(c);
    for (auto* m : {a, b, c}) m->Release();
    for (auto* u : {ua, ub, uc}) u->Release();
  }
  // Delivers aCount samples, numbered 0.., on aChannel of a.
  void Feed(SampleTally& aTally, uint16_t aChannel, uint32_t aCount, uint32_t aFirst = 0) {
    for (uint32_t seq = aFirst; seq < aFirst + aCount; ++seq) {
      auto* sample = new Sample(aTally, seq);
      EXPECT_EQ(a->DeliverData(sample, aChannel), ZAR_S_OK);
      sample->Release();
    }
  }
  TestModule *a, *b, *c;
  RecordingUnit *ua, *ub, *uc;
};

// Each channel's sequence arrives complete and in order, nothing doubled.
void ExpectInOrderPerChannel(const std::vector<Seen>& aSeen, uint32_t aPerChannel) {
  std::map<uint16_t, uint32_t> next;
  for (const Seen& s : aSeen) {
    ASSERT_EQ(s.seq, next[s.channel]) << "channel " << s.channel;
    ++next[s.channel];
  }
  EXPECT_EQ(next[0], aPerChannel);
  EXPECT_EQ(next[1], aPerChannel);
}

TEST(ProcessModuleChain, DirectRunsDepthFirstOnTheCallersThread) {
  SampleTally tally;
  {
    Chain chain;
    chain.Start();
    auto* probe = new Sample(tally, 0);
    chain.uc->m_OnProcess = [&](IProcessData* aData, uint16_t) {
      if (aData == probe) {
        EXPECT_EQ(probe->GetReference(), 3u);  // the caller's, a's result and b's result
      }
    };
    ASSERT_EQ(chain.a->DeliverData(probe, 0), ZAR_S_OK);
    EXPECT_EQ(chain.uc->SeenSamples().size(), 1u);  // done before DeliverData returned
    EXPECT_EQ(probe->GetReference(), 1u);
    probe->Release();
    chain.uc->m_OnProcess = nullptr;
    chain.Feed(tally, 0, 499, 1);
    chain.Feed(tally, 1, 500);
    ExpectInOrderPerChannel(chain.uc->SeenSamples(), 500);
    for (const Seen& s : chain.ub->SeenSamples()) ASSERT_EQ(s.thread, Self());
    for (auto* m : {chain.a, chain.b, chain.c}) {
      EXPECT_EQ(m->GetInputSampleCount(0), 500u);
      EXPECT_EQ(m->GetInputSampleCount(1), 500u);
    }
    EXPECT_EQ(chain.b->GetOutputSampleCount(0), 500u);
    EXPECT_EQ(chain.c->GetOutputSampleCount(0), 0u);  // its unit consumes
    EXPECT_EQ(tally.alive, 0);
  }
  EXPECT_EQ(tally.deaths, 1000);
}

TEST(ProcessModuleChain, MiddleModuleOnItsOwnThreadKeepsOrderAndReleasesAll) {
  SampleTally tally;
  ThreadWaiter arrivals(1000);
  TaskThread thread;
  {
    Chain chain(&arrivals);
    chain.b->SetProcessModuleThread(thread.Get());
    chain.Start();
    std::thread second([&] { chain.Feed(tally, 1, 500); });
    chain.Feed(tally, 0, 500);
    second.join();
    ASSERT_TRUE(arrivals.WaitUntilTimeout(kBound));
    thread.Drain();  // drain events that found nothing left are done too
    ExpectInOrderPerChannel(chain.uc->SeenSamples(), 500);
    for (const Seen& s : chain.ub->SeenSamples()) ASSERT_EQ(s.thread, thread.Id());
    for (const Seen& s : chain.uc->SeenSamples()) ASSERT_EQ(s.thread, thread.Id());
    EXPECT_EQ(chain.b->GetProcessModuleQueueSize(0) + chain.b->GetProcessModuleQueueSize(1), 0u);
    EXPECT_EQ(chain.b->GetReference(), 1u);  // every event has given its reference back
    EXPECT_EQ(tally.alive, 0);
  }
  EXPECT_EQ(tally.deaths, 1000);
}

// Twenty samples queued while the thread is busy: the first event takes 8,
// the next 8, the third the last 4, the other 17 find nothing.
TEST(ProcessModuleChain, EachEventHandlesAtMostEightSamples) {
  SampleTally tally;
  TaskThread thread;
  Chain chain;
  chain.b->SetProcessModuleThread(thread.Get());
  chain.Start();
  thread.Block();
  std::vector<uint32_t> queueAfterEvent;
  chain.Feed(tally, 0, 1);
  thread.Post([&] {
    queueAfterEvent.push_back(chain.b->GetProcessModuleQueueSize(0));
    return 0;
  });
  chain.Feed(tally, 0, 19);
  EXPECT_EQ(chain.b->GetProcessModuleQueueSize(0), 20u);
  EXPECT_EQ(thread.Get()->GetEventQueue()->GetPendingEventsCount(), 21u);
  EXPECT_EQ(chain.b->GetReference(), 21u);  // one per drain event
  EXPECT_TRUE(chain.ub->SeenSamples().empty());
  thread.Unblock();
  thread.Drain();
  EXPECT_EQ(queueAfterEvent, std::vector<uint32_t>{12});
  EXPECT_EQ(chain.uc->SeenSamples().size(), 20u);
  EXPECT_EQ(chain.b->GetReference(), 1u);
}

TEST(ProcessModuleChain, FirstSampleDecidesTheChannelUntilTheThreadIsSetAgain) {
  SampleTally tally;
  TaskThread thread;
  Chain chain;
  TestModule* b = chain.b;
  b->SetProcessModuleThread(thread.Get());
  chain.Start();
  auto deliver = [&](uint16_t aChannel) {
    auto* s = new Sample(tally, 0);
    const CmResult rv = b->DeliverData(s, aChannel);
    s->Release();
    return rv;
  };
  // Channel 0 starts on b's thread: direct, also later from this thread.
  ASSERT_EQ(thread.Send([&] { return deliver(0); }), 0);
  ASSERT_EQ(deliver(0), 0);
  EXPECT_EQ(chain.ub->SeenSamples().back().thread, Self());
  // Channel 1 starts here: queued, also later from b's own thread.
  thread.Block();
  ASSERT_EQ(deliver(1), 0);
  EXPECT_EQ(b->GetProcessModuleQueueSize(1), 1u);
  thread.Unblock();
  uint32_t queuedInside = 0;
  ASSERT_EQ(thread.Send([&] {
              deliver(1);
              queuedInside = b->GetProcessModuleQueueSize(1);
              return 0;
            }),
            0);
  EXPECT_EQ(queuedInside, 1u);
  thread.Drain();
  std::vector<Seen> seen = chain.ub->SeenSamples();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].thread, thread.Id());
  EXPECT_EQ(seen[3].thread, thread.Id());
  // Setting the thread again forgets: channel 1 from here is now direct
  // when the module has no thread at all.
  b->SetProcessModuleThread(nullptr);
  ASSERT_EQ(deliver(1), 0);
  EXPECT_EQ(chain.ub->SeenSamples().back().thread, Self());
  EXPECT_EQ(tally.deaths, 5);
}

// Stop (status 3) with samples queued: the queued ones are still handled
// by the unit on the module's thread; samples delivered after Stop pass
// straight to output 0 without it.
TEST(ProcessModuleChain, StopLeavesQueuedSamplesToTheirEvents) {
  SampleTally tally;
  TaskThread thread;
  Chain chain;
  chain.b->SetProcessModuleThread(thread.Get());
  chain.Start();
  thread.Block();
  chain.Feed(tally, 0, 5);
  ASSERT_EQ(chain.b->Stop(), ZAR_S_OK);
  chain.Feed(tally, 0, 3);  // not started any more: straight through, here
  EXPECT_EQ(chain.ub->SeenSamples().size(), 0u);
  EXPECT_EQ(chain.uc->SeenSamples().size(), 3u);
  thread.Unblock();
  thread.Drain();
  EXPECT_EQ(chain.ub->SeenSamples().size(), 5u);
  EXPECT_EQ(chain.uc->SeenSamples().size(), 8u);
  EXPECT_EQ(tally.deaths, 8);
}

// The thread ends with drain events pending: they are disposed of unfired,
// give their module references back, and the samples stay queued until the
// module dies. A thread that refuses the event gets the sample taken back.
TEST(ProcessModuleChain, ThreadEndingWithSamplesQueuedReleasesEachOnce) {
  SampleTally tally;
  TaskThread thread;
  Chain* chain = new Chain;
  chain->b->SetProcessModuleThread(thread.Get());
  chain->Start();
  ACmThread* raw = thread.Get();
  thread.Block([raw] { static_cast<CCmThreadTask*>(raw)->SetStopFlag(); });
  chain->Feed(tally, 0, 5);
  EXPECT_EQ(chain->b->GetReference(), 6u);
  thread.Unblock();
  ASSERT_EQ(raw->Join(), 0);  // the loop ends after the blocking event
  EXPECT_EQ(chain->b->GetReference(), 1u);
  EXPECT_EQ(chain->b->GetProcessModuleQueueSize(0), 5u);
  EXPECT_EQ(tally.deaths, 0);

  raw->Stop();  // the queue now refuses posts
  TraceCapture trace;
  auto* late = new Sample(tally, 99);
  EXPECT_EQ(chain->b->DeliverData(late, 0), ZAR_E_UNEXPECTED);
  EXPECT_TRUE(trace.Contains("ProcessModule::DeliverData, the module's thread refused the sample, rv=", 0));
  EXPECT_EQ(late->GetReference(), 1u);
  EXPECT_EQ(chain->b->GetProcessModuleQueueSize(0), 5u);
  late->Release();
  EXPECT_EQ(tally.deaths, 1);
  delete chain;
  EXPECT_EQ(tally.deaths, 6);
  EXPECT_EQ(tally.alive, 0);
}

// Delivery reads the deliver list without the graph mutex while another
// thread relinks a target over and over: the steady target gets every
// sample exactly once, the moving one at most once, and a list longer than
// the inline copy (ten targets) reaches all of them.
TEST(ProcessModuleChain, DeliveryMeetsAGraphChangingUnderIt) {
  SampleTally tally;
  auto* a = Counted<TestModule>("a");
  std::vector<TestModule*> targets;
  for (int i = 0; i < 10; ++i) targets.push_back(Counted<TestModule>("t"));
  TestModule* steady = targets[0];
  TestModule* moving = targets[1];
  ASSERT_EQ(a->AddDeliver(steady, 0, 0), ZAR_S_OK);
  ASSERT_EQ(a->AddDeliver(moving, 0, 0), ZAR_S_OK);
  std::atomic<bool> done{false};
  std::thread relinker([&] {
    while (!done.load()) {
      EXPECT_EQ(a->RemoveDeliver(moving), ZAR_S_OK);
      EXPECT_EQ(a->AddDeliver(moving, 0, 0), ZAR_S_OK);
    }
  });
  constexpr uint32_t kSamples = 2000;
  for (uint32_t seq = 0; seq < kSamples; ++seq) {
    auto* sample = new Sample(tally, seq);
    ASSERT_EQ(a->DeliverData(sample, 0), ZAR_S_OK);
    sample->Release();
  }
  done = true;
  relinker.join();
  EXPECT_EQ(steady->GetInputSampleCount(0), kSamples);
  EXPECT_LE(moving->GetInputSampleCount(0), kSamples);
  EXPECT_EQ(tally.deaths, static_cast<int>(kSamples));

  for (size_t i = 2; i < targets.size(); ++i) ASSERT_EQ(a->AddDeliver(targets[i], 0, 0), ZAR_S_OK);
  std::vector<uint32_t> before;
  for (TestModule* t : targets) before.push_back(t->GetInputSampleCount(0));
  auto* sample = new Sample(tally, 0);
  a->DeliverData(sample, 0);
  for (size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(targets[i]->GetInputSampleCount(0), before[i] + 1) << i;
  // Removing the first deliver (steady) republishes the list: the ninth of
  // the remaining [moving, t2 .. t9] is t9.
  EXPECT_EQ(a->RemoveDeliver(0, 0), ZAR_S_OK);
  EXPECT_EQ(a->DeliverDataToNextModuleByDeliverIndex(sample, 0, 8), ZAR_S_OK);
  EXPECT_EQ(targets[9]->GetInputSampleCount(0), 2u);
  a->DeliverData(sample, 0);
  EXPECT_EQ(steady->GetInputSampleCount(0), kSamples + 1);
  EXPECT_EQ(targets[2]->GetInputSampleCount(0), 2u);
  sample->Release();
  for (TestModule* t : targets) {
    a->RemoveDeliver(t);
    t->Release();
  }
  a->Release();
}

TEST(ProcessModuleChain, UnstartedModulesPassSamplesOnUntouched) {
  SampleTally tally;
  Chain chain;  // never initialised or started
  chain.Feed(tally, 0, 3);
  chain.Feed(tally, 1, 2);  // channel 1 also goes to output 0
  EXPECT_TRUE(chain.ua->SeenSamples().empty());
  EXPECT_EQ(chain.b->GetInputSampleCount(0), 5u);
  EXPECT_EQ(chain.c->GetInputSampleCount(0), 5u);
  EXPECT_EQ(chain.c->GetInputSampleCount(1), 0u);
  EXPECT_EQ(chain.c->Start(), ZAR_E_FAIL);
  EXPECT_EQ(chain.c->Stop(), ZAR_E_FAIL);
  EXPECT_EQ(chain.c->GetProcessModuleStatus(), PROCESS_MODULE_STATUS_UNINIT);
  EXPECT_EQ(tally.deaths, 5);
}

// ------------------------------------------------------- listeners

TEST(ProcessModule, ListenersHearTheirGroupsInMaskOrder) {
  auto* m = Counted<TestModule>();
  auto* unit = Counted<RecordingUnit>(RecordingUnit::kConsume);
  m->SetProcessUnit(unit);
  Listener status, counts, both, everything;
  EXPECT_EQ(m->AddListener(0, &status), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->AddListener(1, nullptr), ZAR_E_INVALIDARG);
  ASSERT_EQ(m->AddListener(3, &both), ZAR_S_OK);
  ASSERT_EQ(m->AddListener(1, &status), ZAR_S_OK);
  EXPECT_EQ(m->AddListener(1, &status), ZAR_S_FALSE);
  ASSERT_EQ(m->AddListener(2, &counts), ZAR_S_OK);
  ASSERT_EQ(m->AddListener(1, &both), ZAR_S_OK);  // under two matching groups: called twice
  ASSERT_EQ(m->AddListener(0x100, &everything), ZAR_S_OK);
  std::vector<std::string> order;
  status.m_OnEvent = [&] { order.push_back("status"); };
  both.m_OnEvent = [&] { order.push_back("both"); };

  ASSERT_EQ(m->InitModule(), ZAR_S_OK);
  ASSERT_EQ(m->InitModule(), ZAR_S_OK);  // no change, no event
  ASSERT_EQ(m->Start(), ZAR_S_OK);
  EXPECT_EQ(order, (std::vector<std::string>{"status", "both", "both", "status", "both", "both"}));
  EXPECT_EQ(status.Heard(), (std::vector<std::string>{"1:1", "1:2"}));
  EXPECT_TRUE(counts.Heard().empty());

  ASSERT_EQ(m->SetProcessModuleOption(PROCESS_MODULE_OPTION_STATISTICS, ProcessModuleValue(3u)), ZAR_S_OK);
  SampleTally tally;
  auto* s = new Sample(tally, 0);
  m->DeliverData(s, 0);
  m->DeliverData(s, 1);  // only channel 0 is reported
  m->DeliverDataToNextModule(s, 0);
  m->DeliverDataToNextModule(s, 0);
  s->Release();
  EXPECT_EQ(counts.Heard(), (std::vector<std::string>{"2:1", "3:1", "3:2"}));
  unit->_FireOnStatusChangedEvent(99, ProcessModuleValue(5u));  // other types reach every group
  EXPECT_EQ(everything.Heard(), (std::vector<std::string>{"99:5"}));
  EXPECT_EQ(counts.Heard().back(), "99:5");

  // A listener may remove itself while being told: no lock is held.
  status.m_OnEvent = [&] { m->RemoveListener(1, &status); };
  m->Stop();
  m->Stop();
  EXPECT_EQ(status.Heard(), (std::vector<std::string>{"1:1", "1:2", "99:5", "1:3"}));
  EXPECT_EQ(m->RemoveListener(1, &status), ZAR_S_FALSE);
  EXPECT_EQ(m->RemoveListener(0, &status), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->RemoveListener(7, &status), ZAR_S_FALSE);
  m->Release();
  unit->Release();
}

// ------------------------------------------------- options and settings

TEST(ProcessModule, OptionsAreStoredAndOnlyOptionOneIsKnown) {
  auto* up = Counted<TestModule>("up");
  auto* m = Counted<TestModule>("m");
  auto* down = Counted<TestModule>("down");
  ASSERT_EQ(up->AddDeliver(m, 0, 0), ZAR_S_OK);
  ASSERT_EQ(m->AddDeliver(down, 2, 3), ZAR_S_OK);
  ProcessModuleValue value(1234u);
  EXPECT_EQ(m->GetProcessModuleOption(7, value), ZAR_E_NOTIMPL);
  EXPECT_EQ(static_cast<uint32_t>(value), 1234u);
  EXPECT_EQ(m->SetProcessModuleOption(7, ProcessModuleValue(-5)), ZAR_E_FAIL);
  ASSERT_EQ(m->GetProcessModuleOption(7, value), ZAR_S_OK);
  EXPECT_EQ(static_cast<int>(value), -5);
  EXPECT_EQ(value.GetType(), ProcessModuleValue::kInt32);

  EXPECT_EQ(m->_FireOptionToDelivers(9, ProcessModuleValue(90u)), ZAR_S_OK);
  EXPECT_EQ(m->_FireOptionToInputters(8, ProcessModuleValue(80u)), ZAR_S_OK);
  EXPECT_EQ(down->m_OptionsSeen, (std::map<uint32_t, uint32_t>{{9, 90}}));
  EXPECT_EQ(up->m_OptionsSeen, (std::map<uint32_t, uint32_t>{{8, 80}}));

  // The unit sees its module's options, name and type; alone it sees none.
  auto* unit = Counted<RecordingUnit>(RecordingUnit::kPass);
  EXPECT_EQ(unit->GetProcessModuleOption(7, value), ZAR_E_FAIL);
  EXPECT_STREQ(unit->GetProcessModuleName(), "");
  EXPECT_EQ(unit->GetProcessModuleType(), 0u);
  m->SetProcessUnit(unit);
  EXPECT_EQ(unit->GetProcessModuleOption(7, value), ZAR_S_OK);
  EXPECT_STREQ(unit->GetProcessModuleName(), "m");
  EXPECT_EQ(unit->GetProcessModuleType(), 7u);
  m->SetProcessModuleInfo(nullptr, 8);
  EXPECT_STREQ(m->GetProcessModuleName(), "m");
  EXPECT_EQ(m->GetProcessModuleType(), 8u);

  up->RemoveDeliver(m);
  m->RemoveDeliver(down);
  for (auto* x : {up, m, down}) x->Release();
  unit->Release();
}

TEST(ProcessConfig, KeepsTextSettingsAndNeedsRoomForTheNul) {
  auto* m = Counted<TestModule>();
  char buffer[8] = "xxxxxxx";
  uint32_t size = sizeof(buffer);
  EXPECT_EQ(m->ConfigProcess(nullptr, "v"), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->ConfigProcess("k", nullptr), ZAR_E_INVALIDARG);
  ASSERT_EQ(m->ConfigProcess("codec", "first"), ZAR_S_OK);
  ASSERT_EQ(m->ConfigProcess("codec", "opus"), ZAR_S_OK);  // replaced
  ASSERT_EQ(m->ConfigProcess("empty", ""), ZAR_S_OK);
  struct Case {
    const char* key;
    char* buffer;
    uint32_t size;
    CmResult result;
    uint32_t sizeAfter;
    const char* text;
  };
  const std::vector<Case> cases = {
      {nullptr, buffer, 8, ZAR_E_INVALIDARG, 8, "xxxxxxx"},
      {"codec", nullptr, 8, ZAR_E_INVALIDARG, 8, "xxxxxxx"},
      {"codec", buffer, 0, ZAR_E_INVALIDARG, 0, "xxxxxxx"},
      {"absent", buffer, 8, ZAR_E_FAIL, 8, "xxxxxxx"},
      {"codec", buffer, 4, ZAR_E_INVALIDARG, 4, "xxxxxxx"},  // 4 letters need 5 bytes
      {"empty", buffer, 8, ZAR_S_OK, 8, "xxxxxxx"},          // untouched
      {"codec", buffer, 5, ZAR_S_OK, 4, "opus"},
  };
  for (const Case& c : cases) {
    size = c.size;
    EXPECT_EQ(m->GetProcessConfigValue(c.key, c.buffer, size), c.result) << (c.key ? c.key : "null");
    EXPECT_EQ(size, c.sizeAfter);
    EXPECT_STREQ(buffer, c.text);
  }
  m->Release();
}

TEST(ProcessModuleValue, ConversionsReadTheStoredBits) {
  static_assert(sizeof(ProcessModuleValue) == 16, "a type and an 8-byte slot");
  const ProcessModuleValue zero;
  EXPECT_EQ(zero.GetType(), ProcessModuleValue::kUint32);
  EXPECT_EQ(static_cast<uint64_t>(zero), 0u);
  EXPECT_EQ(static_cast<unsigned int>(ProcessModuleValue(1.0f)), 0x3F800000u);
  EXPECT_EQ(static_cast<uint64_t>(ProcessModuleValue(-1)), 0xFFFFFFFFu);  // zero-extended bits
  EXPECT_EQ(static_cast<int>(ProcessModuleValue(int64_t(-2))), -2);
  EXPECT_EQ(static_cast<int64_t>(ProcessModuleValue(uint64_t(1) << 40)), int64_t(1) << 40);
  EXPECT_EQ(static_cast<float>(ProcessModuleValue(0x40490FDBu)), 3.14159274f);
  int object = 0;
  ProcessModuleValue pointer;
  pointer = static_cast<const void*>(&object);
  EXPECT_EQ(pointer.GetType(), ProcessModuleValue::kPointer);
  EXPECT_EQ(pointer.GetPointer(), &object);
  pointer = 2.5f;
  EXPECT_EQ(pointer.GetType(), ProcessModuleValue::kFloat);
  EXPECT_EQ(static_cast<float>(pointer), 2.5f);
}

// ------------------------------------------------ counting and queues

TEST(ProcessModule, CountsReferencesAndAnswersOnlyIZarUnknown) {
  auto* m = Counted<TestModule>();
  void* out = &out;
  EXPECT_EQ(m->QueryInterface(zar::IID_IZarUnknown, nullptr), ZAR_E_POINTER);
  zar::_tagUUID other = zar::IID_IZarUnknown;
  other.Data4[7] ^= 1;
  EXPECT_EQ(m->QueryInterface(other, &out), ZAR_E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(m->QueryInterface(zar::IID_IZarUnknown, &out), ZAR_S_OK);
  EXPECT_EQ(out, static_cast<zar::CZarUnknownImpl*>(m));
  EXPECT_EQ(m->GetReference(), 2u);
  EXPECT_EQ(static_cast<zar::CZarUnknownImpl*>(out)->ReleaseReference(), 1u);

  // The module holds one reference on its unit and introduces itself; a
  // replaced unit is let go of, and the module's end lets go of the last.
  auto* first = Counted<RecordingUnit>(RecordingUnit::kPass);
  auto* second = Counted<RecordingUnit>(RecordingUnit::kPass);
  ASSERT_EQ(m->SetProcessUnit(first), ZAR_S_OK);
  EXPECT_EQ(first->GetReference(), 2u);
  EXPECT_EQ(first->GetProcessModule(), static_cast<IProcessModule*>(m));
  ASSERT_EQ(m->SetProcessUnit(first), ZAR_S_OK);  // the same again
  EXPECT_EQ(first->GetReference(), 2u);
  ASSERT_EQ(m->SetProcessUnit(second), ZAR_S_OK);
  EXPECT_EQ(first->GetReference(), 1u);
  EXPECT_EQ(first->GetProcessModule(), nullptr);
  EXPECT_EQ(m->GetProcessUnit(), second);
  EXPECT_EQ(m->Release(), 0u);
  EXPECT_EQ(second->GetReference(), 1u);
  EXPECT_EQ(second->GetProcessModule(), nullptr);
  EXPECT_EQ(first->Release(), 0u);
  EXPECT_EQ(second->Release(), 0u);
}

TEST(ProcessModule, RefusesBadDeliveriesAndDeliversByIndex) {
  auto* m = Counted<TestModule>();
  auto* x = Counted<TestModule>("x");
  auto* y = Counted<TestModule>("y");
  ASSERT_EQ(m->AddDeliver(x, 0, 1), ZAR_S_OK);
  ASSERT_EQ(m->AddDeliver(y, 0, 1), ZAR_S_OK);
  SampleTally tally;
  auto* s = new Sample(tally, 0);
  EXPECT_EQ(m->DeliverData(nullptr, 0), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->DeliverData(s, 16), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->GetInputSampleCount(0), 0u);
  EXPECT_EQ(m->DeliverDataToNextModule(s, 4), ZAR_E_FAIL);

  struct Case {
    uint16_t output;
    uint32_t index;
    CmResult result;
    uint32_t xSeen, ySeen, outputs;
  };
  const std::vector<Case> cases = {
      {1, 1, ZAR_S_OK, 0, 1, 0},  // only the index-0 call counts an output
      {1, 0, ZAR_S_OK, 1, 1, 1},
      {1, 2, ZAR_E_FAIL, 1, 1, 1},
      {4, 0, ZAR_E_FAIL, 1, 1, 1},
      {0, 0, ZAR_E_FAIL, 1, 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(m->DeliverDataToNextModuleByDeliverIndex(s, c.output, c.index), c.result);
    EXPECT_EQ(x->GetInputSampleCount(0), c.xSeen);
    EXPECT_EQ(y->GetInputSampleCount(0), c.ySeen);
    EXPECT_EQ(m->GetOutputSampleCount(1), c.outputs);
  }
  s->Release();
  m->RemoveDeliver(x);
  m->RemoveDeliver(y);
  for (auto* z : {m, x, y}) z->Release();
  EXPECT_EQ(tally.deaths, 1);
}

TEST(ProcessModule, DerivedModulesDrainTheirQueuesThemselves) {
  SampleTally tally;
  auto* m = Counted<TestModule>();
  auto* unit = Counted<RecordingUnit>(RecordingUnit::kConsume);
  std::vector<Sample*> samples;
  for (uint32_t i = 0; i < 40; ++i) samples.push_back(new Sample(tally, i));
  auto fill = [&](uint16_t aChannel, uint32_t aFirst, uint32_t aCount) {
    for (uint32_t i = aFirst; i < aFirst + aCount; ++i) ASSERT_EQ(m->_PushProcessDataToQueue(samples[i], aChannel), 0);
  };
  EXPECT_EQ(m->_PushProcessDataToQueue(samples[0], 16), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->_ProcessQueueDataOnce(), ZAR_E_FAIL);  // no unit
  m->SetProcessUnit(unit);

  fill(0, 0, 3);
  fill(5, 3, 2);
  EXPECT_EQ(m->_GetProcessDataToQueueSize(), 5u);
  EXPECT_EQ(samples[0]->GetReference(), 2u);
  ASSERT_EQ(m->_ProcessQueueDataOnce(), ZAR_S_OK);  // one of each channel
  std::vector<Seen> seen = unit->SeenSamples();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].seq == 0 && seen[0].channel == 0 && seen[1].seq == 3 && seen[1].channel == 5);

  IProcessData* popped = nullptr;
  EXPECT_EQ(m->_PopProcessDataFromQueue(&popped, 16), ZAR_E_INVALIDARG);
  EXPECT_EQ(m->_PopProcessDataFromQueue(static_cast<IProcessData**>(nullptr), 0), ZAR_E_INVALIDARG);
  ASSERT_EQ(m->_PopProcessDataFromQueue(&popped, 0), ZAR_S_OK);
  EXPECT_EQ(popped, samples[1]);
  EXPECT_EQ(popped->GetReference(), 2u);  // the caller's now
  popped->Release();
  EXPECT_EQ(m->_PopProcessDataFromQueue(&popped, 1), ZAR_S_FALSE);

  struct Stopper {
    std::vector<uint32_t> seen;
    size_t stopAt;
  } stopper{{}, 2};
  fill(3, 10, 4);
  EXPECT_EQ(m->_PopProcessDataFromQueue(
                [](IProcessData* d, uint16_t ch, void* u) {
                  auto* st = static_cast<Stopper*>(u);
                  st->seen.push_back(static_cast<Sample*>(d)->Seq() * 100 + ch);
                  return st->seen.size() == st->stopAt ? 1 : 0;
                },
                3, &stopper),
            ZAR_S_FALSE);
  EXPECT_EQ(stopper.seen, (std::vector<uint32_t>{1003, 1103}));
  EXPECT_EQ(m->_GetProcessDataToQueueSize(3), 2u);  // the one handed over is gone
  EXPECT_EQ(m->_PopProcessDataFromQueue([](IProcessData*, void*) { return 0; }, 3, nullptr), ZAR_S_OK);
  EXPECT_EQ(m->_GetProcessDataToQueueSize(3), 0u);

  // _DrainQueueData(): up to 8 of each even channel only.
  fill(2, 20, 10);
  fill(1, 30, 2);
  ASSERT_EQ(m->_DrainQueueData(), ZAR_S_OK);
  EXPECT_EQ(m->_GetProcessDataToQueueSize(2), 2u);
  EXPECT_EQ(m->_GetProcessDataToQueueSize(1), 2u);
  EXPECT_EQ(m->_DrainQueueData(16), ZAR_E_FAIL);

  for (Sample* s : samples) s->Release();
  EXPECT_GT(tally.alive, 0);  // the module still holds the rest
  m->Release();               // and releases them with itself
  unit->Release();
  EXPECT_EQ(tally.alive, 0);
  EXPECT_EQ(tally.deaths, 40);
}

TEST(ProcessModule, DetailLinesDescribeEachSample) {
  auto* m = Counted<TestModule>("mixer");
  SampleTally tally;
  auto* s = new Sample(tally, 0);
  TraceCapture trace(4);
  m->DeliverData(s, 2);
  const std::string common = "this=" + Hex(m) + ",data_ptr=" + Hex(s->GetDataPtr()) + ",data_length=3";
  EXPECT_EQ(trace.Count("module_name:mixer ProcessModule::Info Input, " + common +
                            ",channel_id=2,input_samples=1,queue_size=0",
                        4),
            1u);
  EXPECT_EQ(trace.Count("module_name:mixer ProcessModule::Info output, " + common +
                            ",channel_id=0,output_samples=1,queue_size=0",
                        4),
            1u);
  trace.Clear();
  set_external_trace_mask(3);
  m->DeliverData(s, 2);
  EXPECT_EQ(trace.Count("ProcessModule::Info"), 0u);
  s->Release();
  m->Release();
}

}  // namespace
