// The pipeline's hot path is DeliverData -> unit -> DeliverDataToNextModule
// -> the next module's DeliverData. It takes no allocation and no lock:
// deliver lists are copied into a small array on the stack from a
// sequence-numbered copy (no graph mutex), counters are single-writer
// relaxed atomics, the detail trace costs one comparison when off, and the
// events that carry queued samples to a module's thread are recycled. The
// one locked instruction per hop is the unit's spin flag.
#include "ProcessModule.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "CmEventQueue.h"
#include "CmThread.h"
#include "CmTrace.h"

namespace {

// One writer per counter (one upstream per input channel, one delivering
// thread per module), so a load and a store keep it exact without a locked
// instruction on the hot path.
inline uint32_t Bump(std::atomic<uint32_t>& aCounter) {
  const uint32_t value = aCounter.load(std::memory_order_relaxed) + 1;
  aCounter.store(value, std::memory_order_relaxed);
  return value;
}

enum : uint8_t { kUndecided = 0, kDirect = 1, kQueued = 2 };

// Spare drain events kept per module.
constexpr uint32_t kMaxSpareEvents = 64;

}  // namespace

// ------------------------------------------------------------- ProcessConfig

ProcessConfig::ProcessConfig() = default;
ProcessConfig::~ProcessConfig() = default;

CmResult ProcessConfig::ConfigProcess(const char* aKey, const char* aValue) {
  if (!aKey || !aValue) return ZAR_E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(m_Mutex);
  m_Values[aKey] = aValue;
  return ZAR_S_OK;
}

CmResult ProcessConfig::GetProcessConfigValue(const char* aKey, char* aBuffer, uint32_t& aSize) {
  if (!aKey || !aBuffer || aSize == 0) return ZAR_E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(m_Mutex);
  auto it = m_Values.find(aKey);
  if (it == m_Values.end()) return ZAR_E_FAIL;
  const CCmString& value = it->second;
  if (value.size() > aSize - 1) return ZAR_E_INVALIDARG;
  if (value.empty()) return ZAR_S_OK;
  memcpy(aBuffer, value.c_str(), value.size() + 1);
  aSize = static_cast<uint32_t>(value.size());
  return ZAR_S_OK;
}

// --------------------------------------------------------------- ProcessUnit

ProcessUnit::ProcessUnit() : m_dwSpin(0), m_pModule(nullptr) {}
ProcessUnit::~ProcessUnit() = default;

uint32_t ProcessUnit::AddRef() { return static_cast<uint32_t>(AddReference()); }
uint32_t ProcessUnit::Release() { return static_cast<uint32_t>(ReleaseReference()); }
uint32_t ProcessUnit::GetReference() { return static_cast<uint32_t>(CZarUnknownImpl::GetReference()); }
CmResult ProcessUnit::QueryInterface(const zar::_tagUUID& aIid, void** aOut) {
  return CZarUnknownImpl::QueryInterface(aIid, aOut);
}

void ProcessUnit::LockSpin() {
  // A holder delivers a whole downstream chain; after a short spin, give
  // the core to it rather than burn the time slice.
  for (unsigned spins = 0; m_dwSpin.exchange(1, std::memory_order_acquire) != 0; ++spins) {
    if (spins >= 64) std::this_thread::yield();
  }
}

CmResult ProcessUnit::Process(IProcessData* aData, uint16_t aChannel) {
  IProcessData* result = _Process(aData, aChannel);
  if (!result) return ZAR_S_OK;
  LockSpin();
  IProcessModule* module = m_pModule.load(std::memory_order_relaxed);
  if (module) module->DeliverDataToNextModule(result, 0);
  UnlockSpin();
  result->Release();
  return ZAR_S_OK;
}

CmResult ProcessUnit::SetProcessModule(IProcessModule* aModule) {
  LockSpin();
  m_pModule.store(aModule, std::memory_order_relaxed);
  UnlockSpin();
  return ZAR_S_OK;
}

IProcessModule* ProcessUnit::GetProcessModule() { return m_pModule.load(std::memory_order_relaxed); }

CmResult ProcessUnit::InitProcessUnit() { return ZAR_S_OK; }

IProcessData* ProcessUnit::_Process(IProcessData* /*aData*/, uint16_t /*aChannel*/) { return nullptr; }

CmResult ProcessUnit::_DeliverDataToNextModule(IProcessData* aData, uint16_t aOutputChannel) {
  LockSpin();
  IProcessModule* module = m_pModule.load(std::memory_order_relaxed);
  const CmResult rv = module ? module->DeliverDataToNextModule(aData, aOutputChannel) : ZAR_E_FAIL;
  UnlockSpin();
  return rv;
}

CmResult ProcessUnit::GetProcessModuleOption(uint32_t aId, ProcessModuleValue& aValue) {
  IProcessModule* module = GetProcessModule();
  return module ? module->GetProcessModuleOption(aId, aValue) : ZAR_E_FAIL;
}

uint32_t ProcessUnit::GetProcessModuleType() {
  IProcessModule* module = GetProcessModule();
  return module ? module->GetProcessModuleType() : 0;
}

const char* ProcessUnit::GetProcessModuleName() {
  IProcessModule* module = GetProcessModule();
  return module ? module->GetProcessModuleName() : "";
}

CmResult ProcessUnit::_FireOnStatusChangedEvent(uint32_t aEventType, const ProcessModuleValue& aValue) {
  auto* module = dynamic_cast<ProcessModule*>(GetProcessModule());
  if (module) module->_FireOnStatusChangedEvent(aEventType, aValue);
  return ZAR_S_OK;
}

// ------------------------------------------------------ the samples' queues

void ProcessModule::SampleQueue::Push(IProcessData* aData) {
  if (m_nSize == m_nCapacity) {
    const uint32_t capacity = m_nCapacity ? m_nCapacity * 2 : 16;
    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers is wanted
    auto* slots = static_cast<IProcessData**>(malloc(sizeof(IProcessData*) * capacity));
    if (!slots) throw std::bad_alloc();
    for (uint32_t i = 0; i < m_nSize; ++i) slots[i] = m_pSlots[(m_nHead + i) % m_nCapacity];
    free(m_pSlots);
    m_pSlots = slots;
    m_nCapacity = capacity;
    m_nHead = 0;
  }
  m_pSlots[(m_nHead + m_nSize) % m_nCapacity] = aData;
  ++m_nSize;
}

IProcessData* ProcessModule::SampleQueue::Pop() {
  if (m_nSize == 0) return nullptr;
  IProcessData* data = m_pSlots[m_nHead];
  m_nHead = (m_nHead + 1) % m_nCapacity;
  --m_nSize;
  return data;
}

bool ProcessModule::SampleQueue::RemoveLast(IProcessData* aData) {
  for (uint32_t i = m_nSize; i-- > 0;) {
    if (m_pSlots[(m_nHead + i) % m_nCapacity] != aData) continue;
    for (uint32_t j = i; j + 1 < m_nSize; ++j) {
      m_pSlots[(m_nHead + j) % m_nCapacity] = m_pSlots[(m_nHead + j + 1) % m_nCapacity];
    }
    --m_nSize;
    return true;
  }
  return false;
}

// The event that carries a queued channel to the module's thread. It holds
// a reference on the module from the post until its disposal, and goes back
// to the module's spares when done.
struct ProcessModule::DrainEvent final : public ICmEvent {
  DrainEvent() : ICmEvent(0) {}
  ~DrainEvent() override = default;
  int OnEventFire() override { return m_pModule->_DrainQueueData(m_wChannel); }
  void OnDestorySelf() override {
    ProcessModule* module = m_pModule;
    module->RecycleDrainEvent(this);
    module->Release();  // may delete the module, and this event with it
  }

  ProcessModule* m_pModule = nullptr;
  uint16_t m_wChannel = 0;
  DrainEvent* m_pNext = nullptr;
};

// ------------------------------------------------------------- ProcessModule

ProcessModule::ProcessModule()
    : m_bAllowMultiInputer(false),
      m_dwStatisticsOption(0),
      m_pThread(nullptr),
      m_dwType(0),
      m_pUnit(nullptr),
      m_nStatus(PROCESS_MODULE_STATUS_UNINIT) {
  for (auto& counter : m_aInputSamples) counter.store(0, std::memory_order_relaxed);
  for (auto& counter : m_aOutputSamples) counter.store(0, std::memory_order_relaxed);
  for (auto& decision : m_aQueueDecision) decision.store(kUndecided, std::memory_order_relaxed);
  m_Options.max_load_factor(1.0f);
  m_Options.rehash(8);
}

ProcessModule::~ProcessModule() {
  IProcessUnit* unit = m_pUnit.exchange(nullptr);
  if (unit) {
    unit->SetProcessModule(nullptr);
    unit->Release();
  }
  for (uint16_t channel = 0; channel < kInputChannels; ++channel) {
    while (IProcessData* data = PopQueued(channel)) data->Release();
    free(m_aQueues[channel].m_pSlots);
  }
  while (DrainEvent* event = m_pFreeEvents) {
    m_pFreeEvents = event->m_pNext;
    delete event;
  }
}

uint32_t ProcessModule::AddRef() { return static_cast<uint32_t>(AddReference()); }
uint32_t ProcessModule::Release() { return static_cast<uint32_t>(ReleaseReference()); }
uint32_t ProcessModule::GetReference() { return static_cast<uint32_t>(CZarUnknownImpl::GetReference()); }
CmResult ProcessModule::QueryInterface(const zar::_tagUUID& aIid, void** aOut) {
  return CZarUnknownImpl::QueryInterface(aIid, aOut);
}

CmResult ProcessModule::ConfigProcess(const char* aKey, const char* aValue) {
  return m_Config.ConfigProcess(aKey, aValue);
}

CmResult ProcessModule::GetProcessConfigValue(const char* aKey, char* aBuffer, uint32_t& aSize) {
  return m_Config.GetProcessConfigValue(aKey, aBuffer, aSize);
}

void ProcessModule::SetProcessModuleInfo(const char* aName, uint32_t aType) {
  if (aName) m_strName = aName;
  m_dwType = aType;
}

const char* ProcessModule::GetProcessModuleName() { return m_strName.c_str(); }
uint32_t ProcessModule::GetProcessModuleType() { return m_dwType; }
ProcessModuleStatus ProcessModule::GetProcessModuleStatus() {
  return static_cast<ProcessModuleStatus>(m_nStatus.load(std::memory_order_acquire));
}

uint32_t ProcessModule::GetInputSampleCount(uint16_t aChannel) const {
  return aChannel < kInputChannels ? m_aInputSamples[aChannel].load(std::memory_order_relaxed) : 0;
}

uint32_t ProcessModule::GetOutputSampleCount(uint16_t aChannel) const {
  return aChannel < kInputChannels ? m_aOutputSamples[aChannel].load(std::memory_order_relaxed) : 0;
}

// --------------------------------------------------------------- life cycle

CmResult ProcessModule::InitModule() {
  IProcessUnit* unit = m_pUnit.load(std::memory_order_acquire);
  if (unit) {
    const CmResult rv = unit->InitProcessUnit();
    if (rv != ZAR_S_OK) return rv;
  }
  _UpdateModuleStatus(PROCESS_MODULE_STATUS_INITED);
  return ZAR_S_OK;
}

CmResult ProcessModule::Start() {
  if (GetProcessModuleStatus() == PROCESS_MODULE_STATUS_UNINIT) return ZAR_E_FAIL;
  _UpdateModuleStatus(PROCESS_MODULE_STATUS_STARTED);
  return ZAR_S_OK;
}

CmResult ProcessModule::Stop() {
  if (GetProcessModuleStatus() == PROCESS_MODULE_STATUS_UNINIT) return ZAR_E_FAIL;
  _UpdateModuleStatus(PROCESS_MODULE_STATUS_STOPPED);
  return ZAR_S_OK;
}

void ProcessModule::_UpdateModuleStatus(ProcessModuleStatus aStatus) {
  if (m_nStatus.exchange(aStatus, std::memory_order_acq_rel) == aStatus) return;
  _FireOnStatusChangedEvent(PROCESS_MODULE_EVENT_STATUS, ProcessModuleValue(static_cast<uint32_t>(aStatus)));
}

CmResult ProcessModule::SetProcessModuleThread(ACmThread* aThread) {
  m_pThread.store(aThread, std::memory_order_release);
  for (auto& decision : m_aQueueDecision) decision.store(kUndecided, std::memory_order_release);
  return ZAR_S_OK;
}

CmResult ProcessModule::SetProcessUnit(IProcessUnit* aUnit) {
  if (aUnit) aUnit->AddRef();
  IProcessUnit* old = m_pUnit.load(std::memory_order_acquire);
  if (old) old->SetProcessModule(nullptr);
  m_pUnit.store(aUnit, std::memory_order_release);
  if (old) old->Release();
  if (aUnit) aUnit->SetProcessModule(this);
  return ZAR_S_OK;
}

IProcessUnit* ProcessModule::GetProcessUnit() { return m_pUnit.load(std::memory_order_acquire); }

CmResult ProcessModule::_UpdateModuleContextToProcessUnit() { return ZAR_S_OK; }

// ------------------------------------------------------------------ options

CmResult ProcessModule::SetProcessModuleOption(uint32_t aId, const ProcessModuleValue& aValue) {
  m_Options[aId] = aValue;
  if (aId != PROCESS_MODULE_OPTION_STATISTICS) return ZAR_E_FAIL;
  m_dwStatisticsOption.store(static_cast<uint32_t>(aValue), std::memory_order_relaxed);
  return ZAR_S_OK;
}

CmResult ProcessModule::GetProcessModuleOption(uint32_t aId, ProcessModuleValue& aValue) {
  auto it = m_Options.find(aId);
  if (it == m_Options.end()) return ZAR_E_NOTIMPL;
  aValue = it->second;
  return ZAR_S_OK;
}

CmResult ProcessModule::_FireOptionToDelivers(uint32_t aId, const ProcessModuleValue& aValue) {
  std::vector<Link> targets;
  for (uint16_t output = 0; output < kOutputChannels; ++output) {
    CopyTargets(targets, output);
    for (const Link& link : targets) link.m_pModule->SetProcessModuleOption(aId, aValue);
  }
  return ZAR_S_OK;
}

CmResult ProcessModule::_FireOptionToInputters(uint32_t aId, const ProcessModuleValue& aValue) {
  std::vector<Link> inputters;
  {
    std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
    inputters = m_Inputers;
  }
  for (const Link& link : inputters) link.m_pModule->SetProcessModuleOption(aId, aValue);
  return ZAR_S_OK;
}

// ---------------------------------------------------------------- listeners

uint64_t ProcessModule::_EventTypeToListenTypeGroup(uint32_t aEventType) {
  switch (aEventType) {
    case PROCESS_MODULE_EVENT_STATUS: return 1;
    case PROCESS_MODULE_EVENT_INPUT_SAMPLES:
    case PROCESS_MODULE_EVENT_OUTPUT_SAMPLES: return 2;
    default: return ~uint64_t(0);
  }
}

CmResult ProcessModule::_FireOnStatusChangedEvent(uint32_t aEventType, const ProcessModuleValue& aValue) {
  Notify(_EventTypeToListenTypeGroup(aEventType),
         [&](IProcessModuleEventNotify* aListener) { aListener->OnProcessModuleEvent(aEventType, aValue); });
  return ZAR_S_OK;
}

// -------------------------------------------------------------------- graph

CmResult ProcessModule::AddDeliver(IProcessModule* aModule, uint16_t aChannel, uint16_t aOutputChannel) {
  if (!aModule || aOutputChannel >= kOutputChannels || aChannel >= kInputChannels) {
    CM_ERROR_TRACE("ProcessModule::AddDeliver invalidate input params, pIProcessModule="
                   << static_cast<const void*>(aModule) << ",nChannelId=" << aChannel
                   << ",nOutputChannelId=" << aOutputChannel);
    return ZAR_E_INVALIDARG;
  }
  if (aModule == static_cast<IProcessModule*>(this)) return ZAR_E_FAIL;
  auto listed = [&] {
    for (const Link& link : m_aDelivers[aOutputChannel]) {
      if (link.m_pModule == aModule) return true;
    }
    return false;
  };
  {
    std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
    if (listed()) {
      CM_ERROR_TRACE("ProcessModule::AddDeliver fail deliver already exist");
      return ZAR_E_FAIL;
    }
  }
  // The target's lock is never taken under ours, so two modules linking to
  // each other at once cannot deadlock.
  auto* target = dynamic_cast<ProcessModule*>(aModule);
  if (target && target->AddInputer(this, aChannel) != ZAR_S_OK) {
    CM_ERROR_TRACE("ProcessModule::AddDeliver fail add inputter");
    return ZAR_E_FAIL;
  }
  std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
  if (listed()) {  // another thread added it meanwhile
    if (target) target->RemoveInputer(this);
    CM_ERROR_TRACE("ProcessModule::AddDeliver fail deliver already exist");
    return ZAR_E_FAIL;
  }
  m_aDelivers[aOutputChannel].push_back(Link{aModule, aChannel});
  PublishDelivers(aOutputChannel);
  return ZAR_S_OK;
}

CmResult ProcessModule::AddInputer(IProcessModule* aModule, uint16_t aChannel) {
  if (!aModule) {
    CM_ERROR_TRACE("ProcessModule::AddInputer add NULL deliver");
    return ZAR_E_INVALIDARG;
  }
  if (aModule == static_cast<IProcessModule*>(this)) return ZAR_E_FAIL;
  std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
  if (!m_bAllowMultiInputer) {
    for (const Link& link : m_Inputers) {
      if (link.m_wChannel != aChannel) continue;
      CM_ERROR_TRACE("ProcessModule::AddInputer exist same inputer for nChannelId=" << aChannel);
      return ZAR_E_FAIL;
    }
  }
  m_Inputers.push_back(Link{aModule, aChannel});
  return ZAR_S_OK;
}

CmResult ProcessModule::RemoveInputer(IProcessModule* aModule) {
  if (!aModule) return ZAR_E_FAIL;
  std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
  for (auto it = m_Inputers.begin(); it != m_Inputers.end(); ++it) {
    if (it->m_pModule != aModule) continue;
    m_Inputers.erase(it);
    return ZAR_S_OK;
  }
  return ZAR_E_FAIL;
}

CmResult ProcessModule::RemoveDeliver(IProcessModule* aModule) {
  if (!aModule) return ZAR_E_FAIL;
  std::vector<IProcessModule*> removed;
  {
    std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
    for (uint16_t output = 0; output < kOutputChannels; ++output) {
      std::vector<Link>& delivers = m_aDelivers[output];
      for (auto it = delivers.begin(); it != delivers.end(); ++it) {
        if (it->m_pModule != aModule) continue;
        removed.push_back(it->m_pModule);
        delivers.erase(it);
        PublishDelivers(output);
        break;
      }
    }
  }
  for (IProcessModule* module : removed) {
    if (auto* target = dynamic_cast<ProcessModule*>(module)) target->RemoveInputer(this);
  }
  return removed.empty() ? ZAR_E_FAIL : ZAR_S_OK;
}

CmResult ProcessModule::RemoveDeliver(uint16_t aChannel, uint16_t aOutputChannel) {
  if (aOutputChannel >= kOutputChannels) {
    CM_ERROR_TRACE("ProcessModule::RemoveDeliver: invalid output Channel ID nOutputChannelId >= "
                   << static_cast<int>(kOutputChannels));
    return ZAR_E_FAIL;
  }
  IProcessModule* removed = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
    auto& delivers = m_aDelivers[aOutputChannel];
    for (auto it = delivers.begin(); it != delivers.end(); ++it) {
      if (it->m_wChannel != aChannel) continue;
      removed = it->m_pModule;
      delivers.erase(it);
      PublishDelivers(aOutputChannel);
      break;
    }
  }
  if (!removed) return ZAR_E_FAIL;
  if (auto* target = dynamic_cast<ProcessModule*>(removed)) target->RemoveInputer(this);
  return ZAR_S_OK;
}

void ProcessModule::CopyTargets(std::vector<Link>& aTargets, uint16_t aOutputChannel) {
  std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
  aTargets = m_aDelivers[aOutputChannel];
}

void ProcessModule::PublishDelivers(uint16_t aOutputChannel) {
  DeliverView& view = m_aDeliverViews[aOutputChannel];
  const std::vector<Link>& delivers = m_aDelivers[aOutputChannel];
  // Every store of the copy is a release, so a reader that sees any of
  // them also sees the odd sequence number stored before (no fences: the
  // thread sanitizer does not model them).
  const uint32_t seq = view.m_nSeq.load(std::memory_order_relaxed);
  view.m_nSeq.store(seq + 1, std::memory_order_relaxed);
  if (delivers.size() > kInlineTargets) {
    view.m_nCount.store(kTooManyTargets, std::memory_order_release);
  } else {
    view.m_nCount.store(static_cast<uint32_t>(delivers.size()), std::memory_order_release);
    for (size_t i = 0; i < delivers.size(); ++i) {
      view.m_aModule[i].store(delivers[i].m_pModule, std::memory_order_release);
      view.m_aChannel[i].store(delivers[i].m_wChannel, std::memory_order_release);
    }
  }
  view.m_nSeq.store(seq + 2, std::memory_order_release);
}

uint32_t ProcessModule::ReadDelivers(uint16_t aOutputChannel, Link* aLinks) {
  DeliverView& view = m_aDeliverViews[aOutputChannel];
  for (unsigned attempt = 0;; ++attempt) {
    const uint32_t seq = view.m_nSeq.load(std::memory_order_acquire);
    if (seq & 1) {
      // A writer is between its stores; it holds the graph mutex, so after
      // a short spin let it run rather than burn the time slice.
      if (attempt >= 64) std::this_thread::yield();
      continue;
    }
    // Acquire loads: the sequence number read after them is at least the
    // one their writer stored first, so a copy mixed with a newer
    // publication fails the comparison.
    uint32_t count = view.m_nCount.load(std::memory_order_acquire);
    if (count != kTooManyTargets) {
      for (uint32_t i = 0; i < count; ++i) {
        aLinks[i].m_pModule = view.m_aModule[i].load(std::memory_order_acquire);
        aLinks[i].m_wChannel = view.m_aChannel[i].load(std::memory_order_acquire);
      }
    }
    if (view.m_nSeq.load(std::memory_order_relaxed) == seq) return count;
  }
}

// ----------------------------------------------------------------- delivery

void ProcessModule::TraceSample(const char* aWhat, const char* aCounterName, IProcessData* aData,
                                uint16_t aChannel, uint32_t aCount) {
  const void* bytes = aData ? aData->GetDataPtr() : nullptr;
  const int32_t length = aData ? aData->GetDataLength() : 0;
  CM_DETAIL_TRACE("module_name:" << m_strName << " ProcessModule::Info " << aWhat << ", " << "this" << "="
                                 << static_cast<const void*>(this) << ",data_ptr=" << bytes
                                 << ",data_length=" << length << ",channel_id=" << aChannel << aCounterName
                                 << aCount << ",queue_size=" << GetProcessModuleQueueSize(aChannel));
}

CmResult ProcessModule::DeliverData(IProcessData* aData, uint16_t aChannel) {
  if (!aData || aChannel >= kInputChannels) return ZAR_E_INVALIDARG;
  const uint32_t count = Bump(m_aInputSamples[aChannel]);
  if (aChannel == 0 && (m_dwStatisticsOption.load(std::memory_order_relaxed) & 1)) {
    _FireOnStatusChangedEvent(PROCESS_MODULE_EVENT_INPUT_SAMPLES, ProcessModuleValue(count));
  }
  if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) TraceSample("Input", ",input_samples=", aData, aChannel, count);

  if (m_nStatus.load(std::memory_order_acquire) != PROCESS_MODULE_STATUS_STARTED) {
    DeliverDataToNextModule(aData, 0);
    return ZAR_S_OK;
  }
  if (!_NeedQueuedProcess(aChannel)) return _HandleOneProcessData(aData, aChannel);

  CmResult rv = _PushProcessDataToQueue(aData, aChannel);
  if (rv != ZAR_S_OK) return rv;
  rv = PostDrainEvent(aChannel);
  if (rv == ZAR_S_OK) return rv;
  // No event will come for this sample: take it back unless an earlier
  // event has handled it already.
  CM_ERROR_TRACE("ProcessModule::DeliverData, the module's thread refused the sample, rv=" << rv << CM_THIS_SUFFIX);
  bool taken;
  {
    std::lock_guard<std::recursive_mutex> lock(m_QueueMutex);
    taken = m_aQueues[aChannel].RemoveLast(aData);
  }
  if (!taken) return ZAR_S_OK;
  aData->Release();
  return rv;
}

bool ProcessModule::_NeedQueuedProcess(uint16_t aChannel) {
  const uint8_t decision = m_aQueueDecision[aChannel].load(std::memory_order_acquire);
  if (decision != kUndecided) return decision == kQueued;
  ACmThread* thread = m_pThread.load(std::memory_order_acquire);
  const bool queued = thread && thread->GetThreadId() != GetThreadSelfId();
  m_aQueueDecision[aChannel].store(queued ? kQueued : kDirect, std::memory_order_release);
  return queued;
}

CmResult ProcessModule::_HandleOneProcessData(IProcessData* aData, uint16_t aChannel) {
  if (!_DeliverDataToProcessUnit(aData, aChannel)) DeliverDataToNextModule(aData, 0);
  return ZAR_S_OK;
}

bool ProcessModule::_DeliverDataToProcessUnit(IProcessData* aData, uint16_t aChannel) {
  IProcessUnit* unit = m_pUnit.load(std::memory_order_acquire);
  if (!unit) return false;
  unit->Process(aData, aChannel);
  return true;
}

CmResult ProcessModule::DeliverDataToNextModule(IProcessData* aData, uint16_t aOutputChannel) {
  if (aOutputChannel < kInputChannels) {
    const uint32_t count = Bump(m_aOutputSamples[aOutputChannel]);
    if (aOutputChannel == 0 && (m_dwStatisticsOption.load(std::memory_order_relaxed) & 2)) {
      _FireOnStatusChangedEvent(PROCESS_MODULE_EVENT_OUTPUT_SAMPLES, ProcessModuleValue(count));
    }
    if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) {
      TraceSample("output", ",output_samples=", aData, aOutputChannel, count);
    }
  }
  if (aOutputChannel >= kOutputChannels) return ZAR_E_FAIL;
  return ForEachTarget(aOutputChannel, aData);
}

CmResult ProcessModule::ForEachTarget(uint16_t aOutputChannel, IProcessData* aData) {
  Link inlineLinks[kInlineTargets];
  const uint32_t count = ReadDelivers(aOutputChannel, inlineLinks);
  if (count != kTooManyTargets) {
    for (uint32_t i = 0; i < count; ++i) inlineLinks[i].m_pModule->DeliverData(aData, inlineLinks[i].m_wChannel);
    return ZAR_S_OK;
  }
  std::vector<Link> links;
  CopyTargets(links, aOutputChannel);
  for (const Link& link : links) link.m_pModule->DeliverData(aData, link.m_wChannel);
  return ZAR_S_OK;
}

CmResult ProcessModule::DeliverDataToNextModuleByDeliverIndex(IProcessData* aData, uint16_t aOutputChannel,
                                                              uint32_t aIndex) {
  if (aOutputChannel >= kOutputChannels) return ZAR_E_FAIL;
  std::lock_guard<std::recursive_mutex> lock(m_GraphMutex);
  const std::vector<Link>& delivers = m_aDelivers[aOutputChannel];
  if (aIndex >= delivers.size()) return ZAR_E_FAIL;
  if (aIndex == 0) {
    const uint32_t count = Bump(m_aOutputSamples[aOutputChannel]);
    if (aOutputChannel == 0 && (m_dwStatisticsOption.load(std::memory_order_relaxed) & 2)) {
      _FireOnStatusChangedEvent(PROCESS_MODULE_EVENT_OUTPUT_SAMPLES, ProcessModuleValue(count));
    }
    if (CmTraceIsEnabled(CM_TRACE_LEVEL_DETAIL)) {
      TraceSample("output", ",output_samples=", aData, aOutputChannel, count);
    }
  }
  const Link link = delivers[aIndex];
  link.m_pModule->DeliverData(aData, link.m_wChannel);
  return ZAR_S_OK;
}

// ------------------------------------------------------------------- queues

CmResult ProcessModule::_PushProcessDataToQueue(IProcessData* aData, uint16_t aChannel) {
  if (!aData || aChannel >= kInputChannels) return ZAR_E_INVALIDARG;
  aData->AddRef();
  std::lock_guard<std::recursive_mutex> lock(m_QueueMutex);
  m_aQueues[aChannel].Push(aData);
  return ZAR_S_OK;
}

IProcessData* ProcessModule::PopQueued(uint16_t aChannel) {
  std::lock_guard<std::recursive_mutex> lock(m_QueueMutex);
  return m_aQueues[aChannel].Pop();
}

uint32_t ProcessModule::GetProcessModuleQueueSize(uint16_t aChannel) { return _GetProcessDataToQueueSize(aChannel); }

uint32_t ProcessModule::_GetProcessDataToQueueSize(uint16_t aChannel) {
  if (aChannel >= kInputChannels) return 0;
  std::lock_guard<std::recursive_mutex> lock(m_QueueMutex);
  return m_aQueues[aChannel].m_nSize;
}

uint32_t ProcessModule::_GetProcessDataToQueueSize() {
  std::lock_guard<std::recursive_mutex> lock(m_QueueMutex);
  uint32_t total = 0;
  for (const SampleQueue& queue : m_aQueues) total += queue.m_nSize;
  return total;
}

CmResult ProcessModule::_PopProcessDataFromQueue(IProcessData** aData, uint16_t aChannel) {
  if (!aData || aChannel >= kInputChannels) return ZAR_E_INVALIDARG;
  IProcessData* data = PopQueued(aChannel);
  if (!data) return ZAR_S_FALSE;
  *aData = data;  // the queue's reference becomes the caller's
  return ZAR_S_OK;
}

CmResult ProcessModule::PopWith(uint16_t aChannel, void* aUser, PopCallback aPlain,
                                PopCallbackWithChannel aWithChannel) {
  if (aChannel >= kInputChannels) return ZAR_E_INVALIDARG;
  while (IProcessData* data = PopQueued(aChannel)) {
    const int stop = aPlain ? aPlain(data, aUser) : aWithChannel(data, aChannel, aUser);
    data->Release();
    if (stop != 0) return ZAR_S_FALSE;
  }
  return ZAR_S_OK;
}

CmResult ProcessModule::_PopProcessDataFromQueue(PopCallback aCallback, uint16_t aChannel, void* aUser) {
  if (!aCallback) return ZAR_E_INVALIDARG;
  return PopWith(aChannel, aUser, aCallback, nullptr);
}

CmResult ProcessModule::_PopProcessDataFromQueue(PopCallbackWithChannel aCallback, uint16_t aChannel,
                                                 void* aUser) {
  if (!aCallback) return ZAR_E_INVALIDARG;
  return PopWith(aChannel, aUser, nullptr, aCallback);
}

CmResult ProcessModule::_ProcessQueueDataOnce() {
  if (!m_pUnit.load(std::memory_order_acquire)) return ZAR_E_FAIL;
  for (uint16_t channel = 0; channel < kInputChannels; ++channel) {
    IProcessData* data = PopQueued(channel);
    if (!data) continue;
    _HandleOneProcessData(data, channel);
    data->Release();
  }
  return ZAR_S_OK;
}

CmResult ProcessModule::_DrainQueueData(uint16_t aChannel) {
  if (aChannel >= kInputChannels) return ZAR_E_FAIL;
  for (int i = 0; i < kDrainBatch; ++i) {
    IProcessData* data = PopQueued(aChannel);
    if (!data) break;
    _HandleOneProcessData(data, aChannel);
    data->Release();
  }
  return ZAR_S_OK;
}

CmResult ProcessModule::_DrainQueueData() {
  for (uint16_t channel = 0; channel < kInputChannels; channel += 2) _DrainQueueData(channel);
  return ZAR_S_OK;
}

// ------------------------------------------------------------ drain events

ProcessModule::DrainEvent* ProcessModule::TakeDrainEvent() {
  while (m_bEventPoolLock.exchange(true, std::memory_order_acquire)) {
  }
  DrainEvent* event = m_pFreeEvents;
  if (event) {
    m_pFreeEvents = event->m_pNext;
    --m_nFreeEvents;
  }
  m_bEventPoolLock.store(false, std::memory_order_release);
  return event ? event : new DrainEvent;
}

void ProcessModule::RecycleDrainEvent(DrainEvent* aEvent) {
  while (m_bEventPoolLock.exchange(true, std::memory_order_acquire)) {
  }
  if (m_nFreeEvents < kMaxSpareEvents) {
    aEvent->m_pNext = m_pFreeEvents;
    m_pFreeEvents = aEvent;
    ++m_nFreeEvents;
    aEvent = nullptr;
  }
  m_bEventPoolLock.store(false, std::memory_order_release);
  delete aEvent;
}

CmResult ProcessModule::PostDrainEvent(uint16_t aChannel) {
  ACmThread* thread = m_pThread.load(std::memory_order_acquire);
  ICmEventQueue* queue = thread ? thread->GetEventQueue() : nullptr;
  if (!queue) return ZAR_E_UNEXPECTED;
  DrainEvent* event = TakeDrainEvent();
  event->m_pModule = this;
  event->m_wChannel = aChannel;
  AddRef();
  // A refusal disposes of the event at once, which gives the reference back.
  return queue->PostEvent(event, ICmEventQueue::EPRIORITY_DEFAULT);
}
