// Samples through a chain of three processing modules, beside ACE Streams
// (an ACE_Stream of three ACE_Modules with ACE_Tasks) in the same binary:
//  - Direct: the whole chain runs on the caller's thread.
//  - Threaded: the middle module has a thread of its own (ours: a task
//    thread set with SetProcessModuleThread; ACE: an activated ACE_Task
//    draining its message queue in svc()). Each iteration sends a batch of
//    kBatch samples and waits until the last module has counted them all.
// Every module does the same work on both sides: it increments a hop
// counter in the sample's payload; the last module checks that the sample
// made all three hops, counts it and lets it go.
//
// Samples: "Fresh" allocates one per delivery in each framework's natural
// form (ours: the producer's IProcessData with its 64-byte payload inline;
// ACE: an ACE_Message_Block of 64 bytes) and the chain frees it at the end.
// "Reused" sends one preallocated sample over and over (ours: the caller
// keeps its reference; ACE: the same message block, which the last task
// does not release), which leaves only the frameworks' own cost.
// "Returned" is Reused with the hop units returning the sample as their
// result instead of forwarding it (two more atomic operations per hop).
//
// What bounds the direct road: each hop that delivers onward takes the
// unit's spin flag (one locked exchange), which serialises deliveries of a
// unit against each other and against SetProcessModule; an ACE put chain
// is plain virtual calls with no synchronisation, so with a reused sample
// ACE is several times faster, and the two meet only where allocation
// dominates (Fresh).
#include <benchmark/benchmark.h>

#include <ace/Init_ACE.h>
#include <ace/Message_Block.h>
#include <ace/Module.h>
#include <ace/Stream.h>
#include <ace/Task.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "CmThread.h"
#include "ProcessModule.h"

namespace {

constexpr int kPayload = 64;
constexpr long kBatch = 4096;

// Waits (yielding) until aCounter reaches aTarget.
void AwaitCount(const std::atomic<long>& aCounter, long aTarget) {
  while (aCounter.load(std::memory_order_acquire) < aTarget) std::this_thread::yield();
}

// ------------------------------------------------------------------- ours

class BenchSample final : public IProcessData {
 public:
  BenchSample() { memset(m_aPayload, 0, sizeof(m_aPayload)); }
  uint32_t AddRef() override { return m_nRef.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    const uint32_t left = m_nRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  CmResult QueryInterface(const zar::_tagUUID&, void** aOut) override {
    if (aOut) *aOut = nullptr;
    return ZAR_E_NOINTERFACE;
  }
  uint32_t GetReference() override { return m_nRef.load(); }
  uint32_t GetDataType() override { return 0; }
  unsigned char* GetDataPtr() override { return m_aPayload; }
  int32_t GetDataLength() override { return kPayload; }
  uint64_t GetTimestamp() override { return 0; }
  void* GetUserContext() override { return nullptr; }

 private:
  ~BenchSample() override = default;
  std::atomic<uint32_t> m_nRef{1};
  unsigned char m_aPayload[kPayload];
};

// Increments the hop counter and passes the sample on. A unit that hands
// on its own input forwards it on output 0; one that returns it as a result
// pays an AddRef here and a Release in ProcessUnit::Process per hop (the
// "Returned" variant measures that road).
class HopUnit : public ProcessUnit {
 public:
  explicit HopUnit(bool aReturnResult = false) : m_bReturnResult(aReturnResult) {}

 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t) override {
    ++aData->GetDataPtr()[0];
    if (m_bReturnResult) {
      aData->AddRef();
      return aData;
    }
    _DeliverDataToNextModule(aData, 0);
    return nullptr;
  }

 private:
  bool m_bReturnResult;
};

// The last hop: checks and counts.
class SinkUnit : public ProcessUnit {
 public:
  std::atomic<long> m_nSeen{0};
  std::atomic<long> m_nWrong{0};

 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t) override {
    unsigned char* payload = aData->GetDataPtr();
    if (++payload[0] != 3) m_nWrong.fetch_add(1, std::memory_order_relaxed);
    payload[0] = 0;  // a reused sample starts its next trip at 0
    // One thread runs the last module: a plain increment, no locked instruction.
    m_nSeen.store(m_nSeen.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return nullptr;
  }
};

struct OurChain {
  explicit OurChain(ACmThread* aMiddleThread, bool aReturnResults = false) {
    for (ProcessModule*& m : modules) {
      m = new ProcessModule;
      m->AddRef();
    }
    units[0] = new HopUnit(aReturnResults);
    units[1] = new HopUnit(aReturnResults);
    units[2] = sink = new SinkUnit;
    for (int i = 0; i < 3; ++i) {
      units[i]->AddRef();
      modules[i]->SetProcessUnit(units[i]);
      modules[i]->InitModule();
      modules[i]->Start();
    }
    modules[0]->AddDeliver(modules[1], 0, 0);
    modules[1]->AddDeliver(modules[2], 0, 0);
    modules[1]->SetProcessModuleThread(aMiddleThread);
  }
  ~OurChain() {
    modules[0]->RemoveDeliver(modules[1]);
    modules[1]->RemoveDeliver(modules[2]);
    for (int i = 0; i < 3; ++i) {
      modules[i]->Release();
      units[i]->Release();
    }
  }
  void Check(benchmark::State& aState, long aExpected) {
    if (sink->m_nSeen.load() != aExpected || sink->m_nWrong.load() != 0) aState.SkipWithError("samples lost or wrong");
    aState.SetItemsProcessed(aExpected);
  }
  ProcessModule* modules[3];
  ProcessUnit* units[3];
  SinkUnit* sink;
};

void BM_DirectFresh_ProcessModule(benchmark::State& state) {
  OurChain chain(nullptr);
  for (auto _ : state) {
    auto* sample = new BenchSample;
    chain.modules[0]->DeliverData(sample, 0);
    sample->Release();
  }
  chain.Check(state, static_cast<long>(state.iterations()));
}

void BM_DirectReused_ProcessModule(benchmark::State& state) {
  OurChain chain(nullptr);
  auto* sample = new BenchSample;
  for (auto _ : state) chain.modules[0]->DeliverData(sample, 0);
  sample->Release();
  chain.Check(state, static_cast<long>(state.iterations()));
}

void BM_DirectReturned_ProcessModule(benchmark::State& state) {
  OurChain chain(nullptr, true);
  auto* sample = new BenchSample;
  for (auto _ : state) chain.modules[0]->DeliverData(sample, 0);
  sample->Release();
  chain.Check(state, static_cast<long>(state.iterations()));
}

void BM_ThreadedFresh_ProcessModule(benchmark::State& state) {
  ACmThread* thread = nullptr;
  if (CreateUserTaskThread("bench-pipe", thread, TFLAG_JOINABLE, true, 1302) != 0) {
    return state.SkipWithError("no task thread");
  }
  long sent = 0;
  {
    OurChain chain(thread);
    for (auto _ : state) {
      for (long i = 0; i < kBatch; ++i) {
        auto* sample = new BenchSample;
        chain.modules[0]->DeliverData(sample, 0);
        sample->Release();
      }
      sent += kBatch;
      AwaitCount(chain.sink->m_nSeen, sent);
    }
    thread->Stop();
    thread->Join();
    chain.Check(state, sent);
  }
  thread->Destory(0);
}

// --------------------------------------------------------------------- ACE

typedef ACE_Task<ACE_MT_SYNCH> AceTask;
typedef ACE_Module<ACE_MT_SYNCH> AceModule;
typedef ACE_Stream<ACE_MT_SYNCH> AceStream;

class AceHopTask : public AceTask {
 public:
  int put(ACE_Message_Block* aMb, ACE_Time_Value* = nullptr) override {
    ++aMb->rd_ptr()[0];
    return put_next(aMb);
  }
};

// The middle module's task when it has a thread: put() queues, svc() runs
// the hop on the task's own thread.
class AceQueuedHopTask : public AceTask {
 public:
  int open(void* = nullptr) override { return activate(THR_NEW_LWP | THR_JOINABLE, 1); }
  int put(ACE_Message_Block* aMb, ACE_Time_Value* aTimeout = nullptr) override { return putq(aMb, aTimeout); }
  int svc() override {
    ACE_Message_Block* mb = nullptr;
    while (getq(mb) != -1) {
      if (mb->msg_type() == ACE_Message_Block::MB_HANGUP) {
        mb->release();
        break;
      }
      ++mb->rd_ptr()[0];
      put_next(mb);
    }
    return 0;
  }
  void Finish() {
    putq(new ACE_Message_Block(0, ACE_Message_Block::MB_HANGUP));
    wait();
  }
};

class AceSinkTask : public AceTask {
 public:
  explicit AceSinkTask(bool aRelease) : m_bRelease(aRelease) {}
  int put(ACE_Message_Block* aMb, ACE_Time_Value* = nullptr) override {
    if (++aMb->rd_ptr()[0] != 3) m_nWrong.fetch_add(1, std::memory_order_relaxed);
    aMb->rd_ptr()[0] = 0;  // a reused sample starts its next trip at 0
    // One thread runs the last module: a plain increment, no locked instruction.
    m_nSeen.store(m_nSeen.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (m_bRelease) aMb->release();
    return 0;
  }
  std::atomic<long> m_nSeen{0};
  std::atomic<long> m_nWrong{0};

 private:
  bool m_bRelease;
};

struct AceChain {
  AceChain(AceTask* aMiddle, bool aRelease) : sink(new AceSinkTask(aRelease)) {
    // push() puts a module right below the head, so the last pushed is first.
    stream.push(new AceModule(ACE_TEXT("c"), sink, nullptr, nullptr, 0));
    stream.push(new AceModule(ACE_TEXT("b"), aMiddle, nullptr, nullptr, 0));
    stream.push(new AceModule(ACE_TEXT("a"), first, nullptr, nullptr, 0));
    middle = aMiddle;
  }
  ~AceChain() {
    stream.close();
    delete first;
    delete middle;
    delete sink;
  }
  void Check(benchmark::State& aState, long aExpected) {
    if (sink->m_nSeen.load() != aExpected || sink->m_nWrong.load() != 0) aState.SkipWithError("samples lost or wrong");
    aState.SetItemsProcessed(aExpected);
  }
  ACE_Message_Block* NewSample() {
    auto* mb = new ACE_Message_Block(kPayload);
    memset(mb->wr_ptr(), 0, kPayload);
    mb->wr_ptr(kPayload);
    return mb;
  }
  AceHopTask* first = new AceHopTask;
  AceTask* middle;
  AceSinkTask* sink;
  AceStream stream;
};

void BM_DirectFresh_AceStream(benchmark::State& state) {
  AceChain chain(new AceHopTask, true);
  for (auto _ : state) chain.stream.put(chain.NewSample());
  chain.Check(state, static_cast<long>(state.iterations()));
}

void BM_DirectReused_AceStream(benchmark::State& state) {
  AceChain chain(new AceHopTask, false);
  ACE_Message_Block* sample = chain.NewSample();
  for (auto _ : state) chain.stream.put(sample);
  sample->release();
  chain.Check(state, static_cast<long>(state.iterations()));
}

void BM_ThreadedFresh_AceStream(benchmark::State& state) {
  auto* middle = new AceQueuedHopTask;
  AceChain chain(middle, true);
  long sent = 0;
  for (auto _ : state) {
    for (long i = 0; i < kBatch; ++i) chain.stream.put(chain.NewSample());
    sent += kBatch;
    AwaitCount(chain.sink->m_nSeen, sent);
  }
  middle->Finish();
  chain.Check(state, sent);
}

BENCHMARK(BM_DirectFresh_ProcessModule);
BENCHMARK(BM_DirectFresh_AceStream);
BENCHMARK(BM_DirectReused_ProcessModule);
BENCHMARK(BM_DirectReused_AceStream);
BENCHMARK(BM_DirectReturned_ProcessModule);
BENCHMARK(BM_ThreadedFresh_ProcessModule)->UseRealTime();
BENCHMARK(BM_ThreadedFresh_AceStream)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  ACE::init();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ACE::fini();
  return 0;
}
