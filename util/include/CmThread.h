// CmThread.h - the library's threads: the thread object and its registry,
// the task threads that run event and timer loops, heart-beat threads
// driven by the host, named shared threads, and thread identity.
//
// Which class to use:
//  - CreateUserTaskThread(name, thread): the usual way to get a worker; a
//    CCmThreadTask (events and timers) or CCmThreadTaskWithEventQueueOnly.
//    Post work with thread->GetEventQueue()->PostEvent(new MyEvent).
//  - ACmThreadSingletonFactory: a named thread shared by several users,
//    reference-counted by name.
//  - CCmThreadHeartBeat: no loop of its own; the host calls DoHeartBeat
//    after the delay the thread asks its scheduler for.
//  - ACmThread: derive from it for a thread with a loop of your own.
//  - GetThread / GetThreadById / getCurrentThread: find a registered thread.
//
// A thread's life, as its owner sees it:
//
//   ACmThread* t;  CreateUserTaskThread("worker", t);   // running, registered
//   t->GetEventQueue()->PostEvent(new MyEvent);         // any thread
//   t->Stop();  t->Join();  t->Destory(0);               // owner, in this order
//
// Create returns once the new thread has run OnThreadInit (its queues exist
// and are started), or after 5 s with an error line if it did not. Stop asks
// the loop to end after the events posted before it; Join waits (up to about
// 50 s) for the thread to have stopped; Destory unregisters and frees the
// object. A thread object is deleted exactly once, by whichever of its owner
// and its own thread finishes with it last (see ACmThread).
//
// Thread ids are kernel thread ids (gettid); thread handles are described in
// CmThreadPriority.h; thread names reach the kernel (at most 15 bytes).
#ifndef CM_THREAD_H
#define CM_THREAD_H

#include <atomic>
#include <memory>

#include "CmEventQueue.h"
#include "CmMutex.h"
#include "CmStopFlag.h"
#include "CmString.h"
#include "CmTimerQueue.h"

// Thread types are chosen by the host; these three mean something to the
// library, every other value starts a thread and is only compared.
enum {
  TT_UNKNOWN = -1,  // a new object; creating with it works but is traced
  TT_HOST = 0,      // adopt the calling thread: no thread is started
  TT_CALLING = 4,   // GetThread(TT_CALLING) finds the calling thread's object
};

// Creation flags (a bit set). 0 given to Create means TFLAG_JOINABLE.
enum TFlag : uint32_t {
  TFLAG_NONE = 0,
  TFLAG_JOINABLE = 1,  // the owner frees the object through Destory
  TFLAG_DETACHED = 2,  // reported by IsDetached(); no other effect
};
inline TFlag operator|(TFlag a, TFlag b) { return static_cast<TFlag>(static_cast<uint32_t>(a) | b); }

// The thread object. Subclasses implement OnThreadRun (the loop) and
// usually Stop, OnThreadInit, GetEventQueue and GetTimerQueue.
//
// Lifetime: create with new, never delete directly; the owner's last call
// is Destory. A joinable thread is freed by Destory. A thread without
// TFLAG_JOINABLE, or one whose Join came before its procedure started (late
// delete), is freed by the second of two votes: the end of its thread
// procedure and Destory. A thread that is joined before it has begun to run
// therefore frees itself when it ends if Destory came first.
//
// Thread safety: Stop, SetPriority, GetPriority and the getters may be
// called from any thread; Create, Join and Destory by the owner;
// OnThreadInit and OnThreadRun run on the thread itself.
class CM_EXPORT ACmThread {
 public:
  enum RunningStatus {
    STATUS_NOT_STARTED = 0,
    STATUS_START_REQUESTED = 1,
    STATUS_RUNNING = 2,   // the thread procedure has begun
    STATUS_FINISHED = 3,  // OnThreadRun has returned
  };

  // Starts the thread (or, for TT_HOST, adopts the calling thread), waits
  // up to 5 s for OnThreadInit and registers it when aRegister. A null name
  // gives "ACmThread". ZAR_E_ALREADY_CREATED on a second call,
  // ZAR_E_THREAD_UNAVAILABLE when no thread could be started,
  // ZAR_E_OUTOFMEMORY. After a failure the caller still calls Destory.
  virtual int Create(const char* aName, int aType, TFlag aFlag = TFLAG_JOINABLE, bool aRegister = true);
  // Asks the loop to end; the base has no loop (ZAR_E_NOTIMPL).
  virtual int Stop(CCmTimeValue* aTimeout = nullptr);
  // On the new thread, before Create returns. The base seeds rand().
  virtual void OnThreadInit();
  // The loop; the thread ends when it returns.
  virtual void OnThreadRun() = 0;
  virtual void* GetReactor() { return nullptr; }
  virtual ICmEventQueue* GetEventQueue() { return nullptr; }
  virtual ICmTimerQueue* GetTimerQueue() { return nullptr; }
  virtual void SetStop();
  // 1 once the thread procedure has ended (or Terminate was called).
  virtual int GetStopFlag() { return m_nStopFlag.load(); }
  virtual bool IsDetached() { return (m_Flag & TFLAG_DETACHED) != 0; }
  // Sets the native priority (CmThreadPriority.h). Before Create the request
  // is kept and applied by Create (the call itself returns the refusal of
  // the invalid handle). ZAR_E_INVALIDARG for 0x7fffffff.
  virtual int SetPriority(const int& aPriority);
  // 0, ZAR_S_FALSE when the priority is not known (thread never started),
  // ZAR_E_UNEXPECTED after Terminate.
  virtual int GetPriority(int& aPriority);

  // Waits for the thread to have stopped (woken when it sets its stop flag,
  // looking again every 10 ms; at most about 50 s). ZAR_E_FAIL when called by the thread itself. Before the thread
  // procedure has begun it returns at once and switches to late delete.
  int Join();
  // The owner's last call, after Stop and Join: unregisters and frees the
  // object (or casts its vote, see above). Always 0.
  int Destory(int aReason);
  // Forgets the thread's handle and marks it stopped; the thread itself
  // runs on.
  void Terminate();

  // Keeps an object alive until this thread object is destroyed: aRelease
  // (aObject) is called by the destructor, after the thread's queues are
  // gone. The timer wrapper hands over a timer handler it could not take
  // out of a stopping thread's queue this way. Any thread.
  void ReleaseWhenDestroyed(void (*aRelease)(void*), void* aObject);

  void* GetThreadHandle() { return m_Handle.load(); }
  unsigned long GetThreadId() { return m_Tid.load(); }
  int GetThreadType() { return m_Type; }
  const char* GetName() const { return m_pName ? m_pName->c_str() : ""; }
  int GetRunningStatus() { return m_threadRunningStatus.load(); }

 protected:
  ACmThread();
  virtual ~ACmThread();
  ACmThread(const ACmThread&) = delete;
  ACmThread& operator=(const ACmThread&) = delete;

  std::atomic<DWORD> m_Tid;
  std::atomic<void*> m_Handle;  // all bits set until started; null after Terminate
  int m_Type;
  TFlag m_Flag;
  std::atomic<int> m_nStopFlag;
  CCmString* m_pName;
  CCmEventThread* m_pEvent4Start;  // the start handshake; guarded by m_EventMutex
  CCmMutexThread m_EventMutex;
  int32_t m_bRegistered;
  int32_t m_bRegister;
  std::atomic<int> m_nPriority;           // last applied or read; 0x7fffffff unknown
  std::atomic<int> m_nPriorityRequested;  // 0x7fffffff none
  CCmMutexThread m_StatusMutex;           // guards the three below (status is also polled)
  std::atomic<int> m_threadRunningStatus;
  int m_nDeleteVotes;
  bool m_bLateDelete;

 private:
  // Set by a voting thread procedure as its very last touch; a Destory that
  // casts the second vote waits for it before deleting.
  std::atomic<bool> m_bProcedureDone;
  // Signalled (automatic reset) after the stop flag or m_bProcedureDone is
  // set, for a Join or a Destory waiting for them. Shared, because whoever
  // signals it may find the object deleted once the flag is set.
  std::shared_ptr<CCmEventThread> m_pEnded;
  struct Keep;
  Keep* m_pKeep;  // objects released by the destructor; guarded by m_StatusMutex

  static void ThreadProc(void* aThread);
  int StartOsThread();
};

// ---- the registry: every created thread that asked to be registered.
// Lookups hold the registry lock for the whole walk; the objects returned
// are not reference-counted (the owner's Destory ends their validity).

// TT_CALLING: the calling thread's object; otherwise the first registered
// thread of that type. A miss is a warning "GetThread, aType=<type>".
CM_EXPORT ACmThread* GetThread(int aType);
CM_EXPORT ACmThread* GetThreadById(unsigned long aId);
CM_EXPORT ACmThread* getCurrentThread();
// Emergency stop: Stop(null) on every registered thread, then forgets them
// all (none is joined or freed). Stop runs under the registry lock.
CM_EXPORT int TPCleanThreadList();

// ---- thread identity (kernel thread ids)
CM_EXPORT unsigned long GetThreadSelfId();
CM_EXPORT int IsThreadEqual(unsigned long a, unsigned long b);
CM_EXPORT int IsEqualCurrentThread(unsigned long aId);
CM_EXPORT int CmGetThreadID();
CM_EXPORT int CmGetProcessID();

// The thread-identity functions as static members, and two small value
// types of the engine's connection bookkeeping. Thread safety: stateless.
class CM_EXPORT CCmThreadManager {
 public:
  static unsigned long GetThreadSelfId() { return ::GetThreadSelfId(); }
  static int IsThreadEqual(unsigned long a, unsigned long b) { return ::IsThreadEqual(a, b); }
  static int IsEqualCurrentThread(unsigned long aId) { return ::IsEqualCurrentThread(aId); }

  // A listening endpoint, ordered by host name bytes, then port, then value.
  class CListenElement {
   public:
    CListenElement(const CCmString& aHost = CCmString(), uint16_t aPort = 0, uint32_t aValue = 0)
        : m_strHost(aHost), m_wPort(aPort), m_dwValue(aValue) {}
    bool operator<(const CListenElement& aOther) const {
      if (m_strHost != aOther.m_strHost) return m_strHost < aOther.m_strHost;
      if (m_wPort != aOther.m_wPort) return m_wPort < aOther.m_wPort;
      return m_dwValue < aOther.m_dwValue;
    }
    CCmString m_strHost;
    uint16_t m_wPort;
    uint32_t m_dwValue;
  };

  // A count of links, as the engine's connection statistics carry it.
  class CLinkSummary {
   public:
    explicit CLinkSummary(uint32_t aLinks = 0) : m_dwLinks(aLinks) {}
    uint32_t LinkNum() const { return m_dwLinks; }
    uint32_t m_dwLinks;
  };
};

// ---- named shared threads

// Threads shared by name ("low-pri-stat", ...): the first GetSingletonThread
// of a name creates a task thread with a timer queue, later ones return it;
// the last ResleseSingletonThread stops, joins and frees it.
//
// Thread safety: any thread; one process-wide lock, held across the
// creation and the stop/join/free of a thread.
class CM_EXPORT ACmThreadSingletonFactory {
 public:
  static ACmThreadSingletonFactory& Instance();

  // ZAR_E_INVALIDARG for a null name, or the creation's failure.
  int GetSingletonThread(const char* aName, ACmThread*& aThread);
  // A name that maps to another thread changes nothing.
  void ResleseSingletonThread(const char* aName, ACmThread* aThread);

 private:
  ACmThreadSingletonFactory();
  ~ACmThreadSingletonFactory();
  struct State;
  State* m_pState;  // never freed: threads may use the factory during exit
};

// ---- task threads

// A worker that sleeps until events arrive and fires them in order. The
// loop's stop flag reads as stopped until the thread starts.
//
// Stop posts a stop event and then stops the queue: events posted before
// Stop fire first, later ones are refused (ZAR_E_UNEXPECTED); events still
// pending when the loop ends are disposed of unfired.
class CM_EXPORT CCmThreadTaskWithEventQueueOnly : public ACmThread, public CCmStopFlag {
 public:
  CCmThreadTaskWithEventQueueOnly();
  // From any thread. ZAR_E_UNEXPECTED when already stopped.
  int Stop(CCmTimeValue* aTimeout = nullptr) override;
  void OnThreadInit() override;
  void OnThreadRun() override;
  ICmEventQueue* GetEventQueue() override { return &m_EventQueue; }

 protected:
  ~CCmThreadTaskWithEventQueueOnly() override;
  // Takes the next batch (sleeping when nothing is pending) and fires it.
  void RunOneTurn(CCmTimeValue* aTimeout, unsigned long aMaxCount);

  CCmEventQueueUsingConditionVariable m_EventQueue;

 private:
  friend class CCmThreadTask;
  // A Stop that comes before OnThreadInit (the start handshake ran out)
  // must keep the loop from starting at all, and one whose stop event is
  // dropped unfired must still end it.
  CCmMutexThread m_StartStopMutex;
  bool m_bStopRequested;  // guarded by m_StartStopMutex
};

// The event that ends a task loop: it sets its owner's stop flag.
template <class OwnerType>
class CCmEventStopT : public ICmEvent {
 public:
  explicit CCmEventStopT(OwnerType* aOwner) : ICmEvent(0), m_pOwner(aOwner) {}
  int OnEventFire() override {
    if (m_pOwner) m_pOwner->SetStopFlag();
    return ZAR_S_OK;
  }

 private:
  OwnerType* m_pOwner;
};

// A worker with events and timers. Each turn fires the due timers, then at
// most 5 pending events; it sleeps only when no event is pending, and never
// past the next deadline. So a stream of events delays a due timer by at
// most five firings. Its timer queue is of the process-wide default kind
// (cm_set_default_timer_type), created on the thread; a kind this build has
// no storage for leaves the thread without timers (GetTimerQueue() null).
// The thread asks the system to end its timed sleeps at the deadline rather
// than coalescing them, so a timer fires as close to it as scheduling allows.
class CM_EXPORT CCmThreadTask : public CCmThreadTaskWithEventQueueOnly {
 public:
  CCmThreadTask();
  void OnThreadInit() override;
  void OnThreadRun() override;
  ICmTimerQueue* GetTimerQueue() override { return m_pTimerQueue; }

  // On this thread only (from inside an event, say): keeps firing events
  // for aMs milliseconds, then disposes of those still pending unfired.
  // Timers do not fire meanwhile. A Stop whose stop event is among the
  // disposed still ends the loop.
  void SleepMsWithLoop(unsigned long aMs);

 protected:
  ~CCmThreadTask() override;

  CCmTimerQueueBase* m_pTimerQueue;
};

// A thread without a loop, driven by the host. The host installs a
// scheduler: a function asked to call DoHeartBeat on the heart-beat thread
// after the given number of milliseconds. Each beat fires due timers and
// all pending events, then asks for the next call: 200 ms when there is no
// timer or the earliest deadline has not changed since the previous beat,
// otherwise the time to the deadline + 5 ms, within 10..1000 ms. A post asks
// for a call at once (0), a new schedule for one in 10 ms.
//
// Setup, on the heart-beat thread: Create(name, TT_HOST) (or SetThreadId),
// OnThreadInit() (creates the on-demand timer queue), GetEventQueue()->
// Start(), SetScheduler(...). Stop clears the scheduler.
//
// Thread safety: PostEvent/SendEvent from any thread (the scheduler is then
// called on the posting thread, so it must be callable from any thread);
// DoHeartBeat and the timer queue on the heart-beat thread only.
class CM_EXPORT CCmThreadHeartBeat : public ACmThread, public CCmEventQueueUsingMutex, public ICmObserver {
 public:
  typedef void (*Scheduler)(long aDelayMs);

  CCmThreadHeartBeat();
  int Stop(CCmTimeValue* aTimeout = nullptr) override;
  void OnThreadInit() override;
  void OnThreadRun() override;
  ICmEventQueue* GetEventQueue() override { return static_cast<CCmEventQueueUsingMutex*>(this); }
  ICmTimerQueue* GetTimerQueue() override { return m_pTimerQueue; }
  int PostEvent(ICmEvent* aEvent, EPriority aPri = EPRIORITY_DEFAULT, unsigned long* aSize = nullptr) override;
  void OnObserve(const char* aTopic, void* aData) override;

  // One beat. 0, or ZAR_E_EVENT_HOOKED when an event hook ended the beat.
  int DoHeartBeat();
  void SetScheduler(Scheduler aScheduler) { m_pScheduler.store(aScheduler); }
  // The thread that runs the beats, when it is not the object's own.
  void SetThreadId(unsigned long aTid);

 protected:
  ~CCmThreadHeartBeat() override;

 private:
  void ScheduleNext(const CCmTimeValue& aRemain, const CCmTimeValue& aEarliest);

  CCmTimeValue m_tvLastEarliest;
  CCmTimerQueueBase* m_pTimerQueue;
  std::atomic<Scheduler> m_pScheduler;
};

// ---- worker creation

typedef int (*CmCreateUserTaskThreadFunc)(const char* aName, ACmThread*& aThread, TFlag aFlag,
                                          bool aWithTimerQueue, int aType);

// Creates and starts a registered worker through the current creator (the
// built-in one unless the host replaced it): a CCmThreadTask when
// aWithTimerQueue, else a CCmThreadTaskWithEventQueueOnly. 0 and aThread
// set, or the creation's failure (nothing is left behind).
CM_EXPORT int CreateUserTaskThread(const char* aName, ACmThread*& aThread, TFlag aFlag = TFLAG_JOINABLE,
                                   bool aWithTimerQueue = true, int aType = TT_UNKNOWN);
// Installs the host's creator and returns the previous one; null restores
// the built-in creator.
CM_EXPORT CmCreateUserTaskThreadFunc setCreateUserTaskThread(CmCreateUserTaskThreadFunc aCreator);

// Names the calling thread (the kernel keeps 15 bytes). 0 when done,
// ZAR_E_INVALIDARG for null, ZAR_E_FAIL when the system refused.
CM_EXPORT int zar_set_thread_name(const char* aName);

#endif  // CM_THREAD_H
