// ProcessModule.h - the processing pipeline: modules that pass counted
// samples to each other, the units that do the work, listeners and
// configuration.
//
//   source --DeliverData(s, c)--> [ module A ] --output 0--> [ module B ] --> ...
//                                     |  ^                     (own thread:
//                          unit->Process  DeliverDataToNextModule   queued)
//
// Which to use:
//  - IProcessData: implement it for a sample (counted; its bytes and length
//    are what the module traces).
//  - ProcessUnit: derive from it and override _Process to do the work of a
//    module; a non-null result is delivered on output channel 0 and then
//    released once.
//  - ProcessModule: derive from it (or use it as it is) for a node with 16
//    input and 4 output channels. AddDeliver links an output channel to an
//    input channel of another module. Without a thread a whole chain runs
//    on the caller's thread, depth first; SetProcessModuleThread gives the
//    module a library thread, and samples delivered from other threads are
//    then queued and handled on that thread, in arrival order per channel.
//  - IProcessModuleEventNotify: register with AddListener to hear status
//    changes (event type 1, group mask 1) and sample counts (types 2 and 3,
//    group mask 2; switched on by option 1, bit 0 input and bit 1 output).
//
// Ownership: modules and units are counted (zar::IZarUnknown) and start at
// a count of 0: create with new and AddRef. Deliver, inputter and listener
// lists hold plain pointers, so remove delivers (RemoveDeliver) before
// releasing a module. A caller keeps its sample alive for the duration of
// DeliverData; a queued sample holds a reference of its own.
//
// Errors are result codes with error-level trace lines; nothing throws
// except std::system_error from a mutex that cannot be locked.
#ifndef PROCESS_MODULE_H
#define PROCESS_MODULE_H

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "CmError.h"
#include "CmString.h"
#include "ZarUnknown.h"

class ACmThread;
class IProcessModule;

// A sample. Only the sample's bytes and length are read by the library (for
// the detail trace line); the other operations are for the units.
class CM_EXPORT IProcessData : public zar::IZarUnknown {
 public:
  // What kind of sample this is; the meaning is the units' own.
  virtual uint32_t GetDataType() = 0;
  virtual unsigned char* GetDataPtr() = 0;
  virtual int32_t GetDataLength() = 0;
  // Media time of the sample, in the units' own clock.
  virtual uint64_t GetTimestamp() = 0;
  // A pointer the producer attaches for its consumers.
  virtual void* GetUserContext() = 0;
};

// The work of a module: Process handles one sample of an input channel.
// Counted; ProcessUnit is the implementation to derive from. Called on the
// thread the module runs its samples on.
class CM_EXPORT IProcessUnit : public zar::IZarUnknown {
 public:
  virtual CmResult Process(IProcessData* aData, uint16_t aChannel) = 0;
  virtual CmResult SetProcessModule(IProcessModule* aModule) = 0;
  virtual IProcessModule* GetProcessModule() = 0;
  virtual CmResult InitProcessUnit() = 0;
};

// Text settings by key.
class CM_EXPORT IProcessConfig {
 public:
  virtual CmResult ConfigProcess(const char* aKey, const char* aValue) = 0;
  // aSize: the buffer's size in, the value's length (without NUL) out.
  virtual CmResult GetProcessConfigValue(const char* aKey, char* aBuffer, uint32_t& aSize) = 0;

 protected:
  ~IProcessConfig() = default;
};

// A 16-byte tagged value: a type and an 8-byte slot. The conversions read
// the slot's bits whatever the type: a value is stored in the low bytes of
// a zeroed slot, so a 32-bit value converted to 64 bits is zero-extended
// and a float converted to an integer gives its IEEE bits.
class ProcessModuleValue {
 public:
  enum Type : uint32_t { kUint32 = 0, kInt32 = 1, kUint64 = 2, kInt64 = 3, kFloat = 4, kPointer = 5 };

  ProcessModuleValue() : m_dwType(kUint32), m_qwBits(0) {}
  ProcessModuleValue(uint32_t aValue) { Store(kUint32, &aValue, sizeof(aValue)); }
  ProcessModuleValue(int32_t aValue) { Store(kInt32, &aValue, sizeof(aValue)); }
  ProcessModuleValue(uint64_t aValue) { Store(kUint64, &aValue, sizeof(aValue)); }
  ProcessModuleValue(int64_t aValue) { Store(kInt64, &aValue, sizeof(aValue)); }
  ProcessModuleValue(float aValue) { Store(kFloat, &aValue, sizeof(aValue)); }
  ProcessModuleValue(const void* aValue) { Store(kPointer, &aValue, sizeof(aValue)); }

  ProcessModuleValue& operator=(uint32_t aValue) { return *this = ProcessModuleValue(aValue); }
  ProcessModuleValue& operator=(int32_t aValue) { return *this = ProcessModuleValue(aValue); }
  ProcessModuleValue& operator=(uint64_t aValue) { return *this = ProcessModuleValue(aValue); }
  ProcessModuleValue& operator=(int64_t aValue) { return *this = ProcessModuleValue(aValue); }
  ProcessModuleValue& operator=(float aValue) { return *this = ProcessModuleValue(aValue); }
  ProcessModuleValue& operator=(const void* aValue) { return *this = ProcessModuleValue(aValue); }

  operator int() const { return Load<int32_t>(); }
  operator unsigned int() const { return Load<uint32_t>(); }
  operator int64_t() const { return Load<int64_t>(); }
  operator uint64_t() const { return Load<uint64_t>(); }
  operator float() const { return Load<float>(); }
  const void* GetPointer() const { return Load<const void*>(); }
  uint32_t GetType() const { return m_dwType; }

 private:
  void Store(uint32_t aType, const void* aValue, size_t aSize) {
    m_dwType = aType;
    m_qwBits = 0;
    __builtin_memcpy(&m_qwBits, aValue, aSize);
  }
  template <class T>
  T Load() const {
    T value;
    __builtin_memcpy(&value, &m_qwBits, sizeof(T));
    return value;
  }

  uint32_t m_dwType;
  uint64_t m_qwBits;
};

enum ProcessModuleStatus {
  PROCESS_MODULE_STATUS_UNINIT = 0,
  PROCESS_MODULE_STATUS_INITED = 1,
  PROCESS_MODULE_STATUS_STARTED = 2,
  PROCESS_MODULE_STATUS_STOPPED = 3,
};

// Event types sent to listeners, and their group masks.
enum : uint32_t {
  PROCESS_MODULE_EVENT_STATUS = 1,          // value: the new status (uint32)
  PROCESS_MODULE_EVENT_INPUT_SAMPLES = 2,   // value: input count of channel 0
  PROCESS_MODULE_EVENT_OUTPUT_SAMPLES = 3,  // value: output count of channel 0
};
enum : uint32_t { PROCESS_MODULE_OPTION_STATISTICS = 1 };

// A node of the pipeline: takes samples on its input channels, has its unit
// process them and delivers results to the modules linked to its output
// channels. Counted; ProcessModule is the implementation. Thread safety: as
// ProcessModule.
class CM_EXPORT IProcessModule : public zar::IZarUnknown, public IProcessConfig {
 public:
  virtual CmResult DeliverData(IProcessData* aData, uint16_t aChannel) = 0;
  virtual CmResult Start() = 0;
  virtual CmResult Stop() = 0;
  virtual CmResult InitModule() = 0;
  virtual CmResult SetProcessModuleOption(uint32_t aId, const ProcessModuleValue& aValue) = 0;
  virtual CmResult GetProcessModuleOption(uint32_t aId, ProcessModuleValue& aValue) = 0;
  virtual const char* GetProcessModuleName() = 0;
  virtual uint32_t GetProcessModuleType() = 0;
  virtual ProcessModuleStatus GetProcessModuleStatus() = 0;
  virtual CmResult AddDeliver(IProcessModule* aModule, uint16_t aChannel, uint16_t aOutputChannel) = 0;
  virtual CmResult RemoveDeliver(uint16_t aChannel, uint16_t aOutputChannel) = 0;
  virtual CmResult RemoveDeliver(IProcessModule* aModule) = 0;
  virtual CmResult SetProcessModuleThread(ACmThread* aThread) = 0;
  virtual CmResult SetProcessUnit(IProcessUnit* aUnit) = 0;
  virtual IProcessUnit* GetProcessUnit() = 0;
  virtual CmResult DeliverDataToNextModule(IProcessData* aData, uint16_t aOutputChannel) = 0;
  virtual uint32_t GetProcessModuleQueueSize(uint16_t aChannel) = 0;
};

// A listener to a module's events (status changes, sample counts); called
// outside the module's lock, on the thread that caused the event.
class CM_EXPORT IProcessModuleEventNotify {
 public:
  virtual void OnProcessModuleEvent(uint32_t aEventType, const ProcessModuleValue& aValue) = 0;

 protected:
  ~IProcessModuleEventNotify() = default;
};

// Listeners by group mask (a listener may sit under several masks).
// Notify calls, outside the lock, every listener of every group whose mask
// shares a bit with the event's, groups in ascending mask order, listeners
// in order of registration; one registered under two matching groups is
// called twice. Listeners are plain pointers: remove them before they die.
//
// Thread safety: any thread; the map is guarded by m_Mutex and listeners
// run on the notifying thread with it released, so a listener may add or
// remove listeners.
template <class Listener>
class ZARObserverMgr {
 public:
  // ZAR_E_INVALIDARG for mask 0 or null; ZAR_S_FALSE when already listed
  // under aMask.
  CmResult AddListener(uint64_t aMask, Listener* aListener) {
    if (aMask == 0 || !aListener) return ZAR_E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<Listener*>& group = m_Groups[aMask];
    for (Listener* listed : group) {
      if (listed == aListener) return ZAR_S_FALSE;
    }
    group.push_back(aListener);
    m_nListeners.fetch_add(1, std::memory_order_relaxed);
    return ZAR_S_OK;
  }
  // ZAR_E_INVALIDARG as above; ZAR_S_FALSE when not listed under aMask.
  CmResult RemoveListener(uint64_t aMask, Listener* aListener) {
    if (aMask == 0 || !aListener) return ZAR_E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto it = m_Groups.find(aMask);
    if (it == m_Groups.end()) return ZAR_S_FALSE;
    for (auto entry = it->second.begin(); entry != it->second.end(); ++entry) {
      if (*entry != aListener) continue;
      it->second.erase(entry);
      if (it->second.empty()) m_Groups.erase(it);
      m_nListeners.fetch_sub(1, std::memory_order_relaxed);
      return ZAR_S_OK;
    }
    return ZAR_S_FALSE;
  }

 protected:
  ZARObserverMgr() = default;
  ~ZARObserverMgr() = default;
  ZARObserverMgr(const ZARObserverMgr&) = delete;
  ZARObserverMgr& operator=(const ZARObserverMgr&) = delete;

  template <class Call>
  void Notify(uint64_t aMask, Call aCall) {
    if (m_nListeners.load(std::memory_order_relaxed) == 0) return;
    std::vector<Listener*> targets;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      for (const auto& group : m_Groups) {
        if (group.first & aMask) targets.insert(targets.end(), group.second.begin(), group.second.end());
      }
    }
    for (Listener* listener : targets) aCall(listener);
  }

 private:
  std::mutex m_Mutex;
  std::map<uint64_t, std::vector<Listener*>> m_Groups;  // guarded by m_Mutex
  std::atomic<size_t> m_nListeners{0};                  // a hint: skip the lock when nobody listens
};

class ProcessModule;

// The base of the units modules own. Process runs _Process and delivers a
// non-null result on the module's output channel 0, then releases it once,
// so _Process returns a result with a reference for the unit to give up.
//
// Thread safety: Process runs on the module's delivering thread. The spin
// flag makes SetProcessModule wait for a delivery of this unit to finish
// (and the other way round); a delivery holds it for its whole downstream
// chain, so a unit must not call its own SetProcessModule from inside it.
class CM_EXPORT ProcessUnit : public IProcessUnit, public zar::CZarUnknownImpl {
 public:
  ProcessUnit();
  ~ProcessUnit() override;
  ProcessUnit(const ProcessUnit&) = delete;
  ProcessUnit& operator=(const ProcessUnit&) = delete;

  uint32_t AddRef() override;
  uint32_t Release() override;
  CmResult QueryInterface(const zar::_tagUUID& aIid, void** aOut) override;
  uint32_t GetReference() override;

  // Always 0.
  CmResult Process(IProcessData* aData, uint16_t aChannel) override;
  // The module is not counted. Always 0.
  CmResult SetProcessModule(IProcessModule* aModule) override;
  IProcessModule* GetProcessModule() override;
  CmResult InitProcessUnit() override;

  // Forwarded to the module: ZAR_E_FAIL, 0 and "" without one.
  CmResult GetProcessModuleOption(uint32_t aId, ProcessModuleValue& aValue);
  uint32_t GetProcessModuleType();
  const char* GetProcessModuleName();

 protected:
  // The work; the default produces nothing.
  virtual IProcessData* _Process(IProcessData* aData, uint16_t aChannel);
  // Delivers on any output channel of the module; ZAR_E_FAIL without one.
  CmResult _DeliverDataToNextModule(IProcessData* aData, uint16_t aOutputChannel);
  // Tells the module's listeners, as the module itself would. Always 0.
  CmResult _FireOnStatusChangedEvent(uint32_t aEventType, const ProcessModuleValue& aValue);

 private:
  void LockSpin();
  void UnlockSpin() { m_dwSpin.store(0, std::memory_order_release); }

  std::atomic<uint32_t> m_dwSpin;            // 0 free, 1 held
  std::atomic<IProcessModule*> m_pModule;    // not counted; written under m_dwSpin
};

// Text settings of a module.
// Thread safety: any thread; one recursive mutex guards the map.
class CM_EXPORT ProcessConfig : public IProcessConfig {
 public:
  ProcessConfig();
  ~ProcessConfig();
  // ZAR_E_INVALIDARG for a null key or value; otherwise sets (or replaces).
  CmResult ConfigProcess(const char* aKey, const char* aValue) override;
  // ZAR_E_INVALIDARG for a null key or buffer, a size of 0, or a value that
  // does not fit with its NUL; ZAR_E_FAIL for an absent key. An empty value
  // leaves buffer and size untouched.
  CmResult GetProcessConfigValue(const char* aKey, char* aBuffer, uint32_t& aSize) override;

 private:
  std::recursive_mutex m_Mutex;
  std::map<CCmString, CCmString> m_Values;  // guarded by m_Mutex
};

// A node of the graph. Status: 0 on construction, InitModule -> 1,
// Start -> 2, Stop -> 3 (Start and Stop refused in status 0). Only a
// started module hands samples to its unit; in any other status DeliverData
// passes them straight to output channel 0.
//
// Queued processing: once a thread is set, the first sample on each input
// channel decides for that channel, until the thread is set again: arriving
// on another thread it makes the channel queued, arriving on the module's
// own thread direct. A queued sample is held (AddRef), appended to the
// channel's queue (no limit), and an event posted to the thread that
// handles up to 8 samples of that channel; so the queue never holds a
// sample without an event on its way. Each pending event holds a reference
// on the module, so a module with a thread must be counted (new + AddRef):
// it then outlives the events posted for it. A sample whose event the
// thread refuses (the thread is stopping) is taken out of the queue again
// and released, and DeliverData returns the refusal. Samples still queued
// when the module dies are released by its destructor.
//
// Thread safety: DeliverData from any thread. SetProcessModuleThread and
// SetProcessUnit must not race with deliveries. The graph mutex guards the
// deliver and inputter lists; deliveries copy a list and call targets with
// it released (except DeliverDataToNextModuleByDeliverIndex). The queue
// mutex guards the 16 queues; samples are handled with it released. The
// option table is not locked: set options before samples flow. The sample
// counters are exact while each channel has one delivering thread at a time
// (one upstream per input channel).
class CM_EXPORT ProcessModule : public IProcessModule,
                                public ZARObserverMgr<IProcessModuleEventNotify>,
                                public zar::CZarUnknownImpl {
 public:
  enum : uint16_t { kInputChannels = 16, kOutputChannels = 4, kDrainBatch = 8 };

  ProcessModule();
  ~ProcessModule() override;
  ProcessModule(const ProcessModule&) = delete;
  ProcessModule& operator=(const ProcessModule&) = delete;

  uint32_t AddRef() override;
  uint32_t Release() override;
  CmResult QueryInterface(const zar::_tagUUID& aIid, void** aOut) override;
  uint32_t GetReference() override;

  CmResult ConfigProcess(const char* aKey, const char* aValue) override;
  CmResult GetProcessConfigValue(const char* aKey, char* aBuffer, uint32_t& aSize) override;

  // ZAR_E_INVALIDARG for null data or a channel of 16 or more; otherwise 0
  // (or the refusal of the module's thread, see above).
  CmResult DeliverData(IProcessData* aData, uint16_t aChannel) override;
  CmResult Start() override;
  CmResult Stop() override;
  CmResult InitModule() override;
  // Stores the value; 0 for option 1 (the statistics bits), ZAR_E_FAIL
  // (after storing) for any other id.
  CmResult SetProcessModuleOption(uint32_t aId, const ProcessModuleValue& aValue) override;
  // ZAR_E_NOTIMPL for an id never set.
  CmResult GetProcessModuleOption(uint32_t aId, ProcessModuleValue& aValue) override;
  const char* GetProcessModuleName() override;
  uint32_t GetProcessModuleType() override;
  ProcessModuleStatus GetProcessModuleStatus() override;
  // ZAR_E_INVALIDARG (traced) for null, an output channel above 3 or an
  // input channel of 16 or more; ZAR_E_FAIL for this module itself, a
  // module already on that output channel, or an input channel of the
  // target that already has an upstream module.
  CmResult AddDeliver(IProcessModule* aModule, uint16_t aChannel, uint16_t aOutputChannel) override;
  // The first deliver of output aOutputChannel bound to input aChannel;
  // ZAR_E_FAIL when there is none or the output channel is out of range.
  CmResult RemoveDeliver(uint16_t aChannel, uint16_t aOutputChannel) override;
  // The first deliver to aModule on each output channel; ZAR_E_FAIL when
  // none was removed.
  CmResult RemoveDeliver(IProcessModule* aModule) override;
  // Not counted; null goes back to direct processing.
  CmResult SetProcessModuleThread(ACmThread* aThread) override;
  // Holds a reference on the unit and introduces itself to it.
  CmResult SetProcessUnit(IProcessUnit* aUnit) override;
  IProcessUnit* GetProcessUnit() override;
  // Counts the output, then hands the sample to every deliver of the
  // channel in order of addition (their results are not looked at).
  // ZAR_E_FAIL for an output channel of 4 or more.
  CmResult DeliverDataToNextModule(IProcessData* aData, uint16_t aOutputChannel) override;
  uint32_t GetProcessModuleQueueSize(uint16_t aChannel) override;

  // An upstream module on input aChannel. ZAR_E_INVALIDARG for null;
  // ZAR_E_FAIL for this module itself or a channel that has one already.
  virtual CmResult AddInputer(IProcessModule* aModule, uint16_t aChannel);
  virtual CmResult RemoveInputer(IProcessModule* aModule);

  // A null name keeps the name.
  void SetProcessModuleInfo(const char* aName, uint32_t aType);
  // Only the aIndex-th deliver of the channel (counting from 0), called with
  // the graph mutex held; the output is counted only for index 0.
  // ZAR_E_FAIL for a channel of 4 or more or an index beyond the list.
  CmResult DeliverDataToNextModuleByDeliverIndex(IProcessData* aData, uint16_t aOutputChannel, uint32_t aIndex);
  // Sample counters (0 for a channel of 16 or more).
  uint32_t GetInputSampleCount(uint16_t aChannel) const;
  uint32_t GetOutputSampleCount(uint16_t aChannel) const;

 protected:
  friend class ProcessUnit;
  typedef int (*PopCallback)(IProcessData* aData, void* aUser);
  typedef int (*PopCallbackWithChannel)(IProcessData* aData, uint16_t aChannel, void* aUser);

  virtual bool _DeliverDataToProcessUnit(IProcessData* aData, uint16_t aChannel);
  // Type 1 -> mask 1, types 2 and 3 -> mask 2, others -> every bit.
  virtual uint64_t _EventTypeToListenTypeGroup(uint32_t aEventType);
  // Holds the sample and appends it to the channel's queue; no event.
  virtual CmResult _PushProcessDataToQueue(IProcessData* aData, uint16_t aChannel);

  uint32_t _GetProcessDataToQueueSize(uint16_t aChannel);
  uint32_t _GetProcessDataToQueueSize();
  // The front sample with a reference for the caller. ZAR_E_INVALIDARG for a
  // bad channel or null out pointer, ZAR_S_FALSE when empty.
  CmResult _PopProcessDataFromQueue(IProcessData** aData, uint16_t aChannel);
  // Takes samples off the front and lends each to aCallback (the queue's
  // reference is released after the call): 0 when the queue ran empty,
  // ZAR_S_FALSE when the callback returned non-zero, ZAR_E_INVALIDARG for
  // a bad channel.
  CmResult _PopProcessDataFromQueue(PopCallback aCallback, uint16_t aChannel, void* aUser);
  CmResult _PopProcessDataFromQueue(PopCallbackWithChannel aCallback, uint16_t aChannel, void* aUser);
  // One sample of each non-empty channel, 0 to 15. ZAR_E_FAIL without unit.
  CmResult _ProcessQueueDataOnce();
  // Up to 8 samples of the channel, handled one by one.
  CmResult _DrainQueueData(uint16_t aChannel);
  // Up to 8 of each even channel, 0, 2, ..., 14.
  CmResult _DrainQueueData();
  CmResult _FireOnStatusChangedEvent(uint32_t aEventType, const ProcessModuleValue& aValue);
  CmResult _FireOptionToInputters(uint32_t aId, const ProcessModuleValue& aValue);
  CmResult _FireOptionToDelivers(uint32_t aId, const ProcessModuleValue& aValue);
  void _UpdateModuleStatus(ProcessModuleStatus aStatus);
  bool _NeedQueuedProcess(uint16_t aChannel);
  CmResult _HandleOneProcessData(IProcessData* aData, uint16_t aChannel);
  CmResult _UpdateModuleContextToProcessUnit();

  // Lets one input channel accept several upstream modules.
  bool m_bAllowMultiInputer;

 private:
  struct Link {
    IProcessModule* m_pModule;
    uint16_t m_wChannel;
  };
  // A growable ring of held samples, oldest first.
  struct SampleQueue {
    IProcessData** m_pSlots = nullptr;
    uint32_t m_nCapacity = 0;
    uint32_t m_nHead = 0;
    uint32_t m_nSize = 0;
    void Push(IProcessData* aData);
    IProcessData* Pop();
    bool RemoveLast(IProcessData* aData);
  };
  struct DrainEvent;
  // A copy of one deliver list that DeliverDataToNextModule reads without
  // taking the graph mutex: writers (holding the mutex) republish it after
  // every change, bracketing the stores with an odd sequence number, and a
  // reader retries until it has read a whole, unchanged copy. That gives
  // the same consistent snapshot a copy under the mutex would. Lists longer
  // than kInlineTargets are read under the mutex instead.
  enum : uint32_t { kInlineTargets = 8, kTooManyTargets = ~0u };
  struct DeliverView {
    std::atomic<uint32_t> m_nSeq{0};  // odd while a writer is publishing
    std::atomic<uint32_t> m_nCount{0};
    std::atomic<IProcessModule*> m_aModule[kInlineTargets] = {};
    std::atomic<uint16_t> m_aChannel[kInlineTargets] = {};
  };

  CmResult PostDrainEvent(uint16_t aChannel);
  DrainEvent* TakeDrainEvent();
  void RecycleDrainEvent(DrainEvent* aEvent);
  IProcessData* PopQueued(uint16_t aChannel);
  void TraceSample(const char* aWhat, const char* aCounterName, IProcessData* aData, uint16_t aChannel,
                   uint32_t aCount);
  void CopyTargets(std::vector<Link>& aTargets, uint16_t aOutputChannel);
  // Under m_GraphMutex, after every change of m_aDelivers[aOutputChannel].
  void PublishDelivers(uint16_t aOutputChannel);
  // The whole list into aLinks (room for kInlineTargets), or kTooManyTargets.
  uint32_t ReadDelivers(uint16_t aOutputChannel, Link* aLinks);
  CmResult ForEachTarget(uint16_t aOutputChannel, IProcessData* aData);
  CmResult PopWith(uint16_t aChannel, void* aUser, PopCallback aPlain, PopCallbackWithChannel aWithChannel);

  std::atomic<uint32_t> m_aInputSamples[kInputChannels];
  std::atomic<uint32_t> m_aOutputSamples[kInputChannels];
  std::atomic<uint32_t> m_dwStatisticsOption;
  std::atomic<ACmThread*> m_pThread;
  CCmString m_strName;
  uint32_t m_dwType;
  // Per input channel: 0 undecided, 1 direct, 2 queued.
  std::atomic<uint8_t> m_aQueueDecision[kInputChannels];

  std::recursive_mutex m_QueueMutex;
  SampleQueue m_aQueues[kInputChannels];  // guarded by m_QueueMutex

  std::recursive_mutex m_GraphMutex;
  std::vector<Link> m_aDelivers[kOutputChannels];  // guarded by m_GraphMutex
  std::vector<Link> m_Inputers;                    // guarded by m_GraphMutex
  DeliverView m_aDeliverViews[kOutputChannels];    // written under m_GraphMutex

  std::atomic<IProcessUnit*> m_pUnit;  // one reference held
  ProcessConfig m_Config;
  std::atomic<int> m_nStatus;
  std::unordered_map<uint32_t, ProcessModuleValue> m_Options;  // not locked

  std::atomic<bool> m_bEventPoolLock{false};
  DrainEvent* m_pFreeEvents = nullptr;  // spare drain events; guarded by m_bEventPoolLock
  uint32_t m_nFreeEvents = 0;
};

#endif  // PROCESS_MODULE_H
