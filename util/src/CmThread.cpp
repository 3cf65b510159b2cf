// The thread object, the thread registry, thread identity and the named
// thread factory.
//
// Start handshake: Create starts the thread and waits on m_pEvent4Start; the
// thread procedure signals it after OnThreadInit, so the thread's queues are
// in place when Create returns.
//
// Deletion: a joinable thread is deleted by Destory. Otherwise two votes
// decide - the end of the thread procedure and Destory - and the second
// deletes. The thread procedure votes before its last trace line and its
// SetStop, so a Destory that casts the second vote waits until the
// procedure has made its last touch (m_bProcedureDone) before deleting.
#include "CmThread.h"

#include <cstdlib>
#include <map>
#include <vector>

#include "CmDebug.h"
#include "CmThreadInternal.h"
#include "CmThreadPriority.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformClock.h"
#include "platform/CmPlatformThread.h"

namespace {

void* const kInvalidHandle = reinterpret_cast<void*>(~uintptr_t(0));

std::atomic<void (*)(ACmThread*)> g_pfnStartHook{nullptr};
std::atomic<long> g_nStartTimeoutMs{5000};

// The registry: registration order, no references held (threads remove
// themselves). Never destroyed, as threads may unregister during exit.
struct Registry {
  CCmMutexThread mutex;
  std::vector<ACmThread*> threads;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

void TraceRegistration(const char* aWhat, ACmThread* aThread) {
  CM_INFO_TRACE(aWhat << ", thread=" << static_cast<const void*>(aThread) << " tid=" << aThread->GetThreadId()
                      << " name=" << aThread->GetName() << " type=" << aThread->GetThreadType() << " eventQueue="
                      << static_cast<const void*>(aThread->GetEventQueue())
                      << " timerQueue=" << static_cast<const void*>(aThread->GetTimerQueue()));
}

int RegisterThread(ACmThread* aThread) {
  TraceRegistration("RegisterThread", aThread);
  Registry& registry = TheRegistry();
  CCmMutexGuardT<CCmMutexThread> guard(registry.mutex);
  registry.threads.push_back(aThread);
  return ZAR_S_OK;
}

int UnRegisterThread(ACmThread* aThread) {
  TraceRegistration("UnRegisterThread", aThread);
  Registry& registry = TheRegistry();
  CCmMutexGuardT<CCmMutexThread> guard(registry.mutex);
  for (auto it = registry.threads.begin(); it != registry.threads.end(); ++it) {
    if (*it == aThread && (*it)->GetThreadId() == aThread->GetThreadId()) {
      registry.threads.erase(it);
      return ZAR_S_OK;
    }
  }
  return ZAR_E_NOT_FOUND;
}

// Finds under the registry lock; aMatch sees each registered thread in order.
template <class Match>
ACmThread* FindThread(Match aMatch) {
  Registry& registry = TheRegistry();
  CCmMutexGuardT<CCmMutexThread> guard(registry.mutex);
  for (ACmThread* thread : registry.threads) {
    if (aMatch(thread)) return thread;
  }
  return nullptr;
}

}  // namespace

void CmThreadSetStartHookForTesting(void (*aHook)(ACmThread*)) { g_pfnStartHook.store(aHook); }

// ----------------------------------------------------------- function tracers

namespace {
std::atomic<CCmThreadFuncTracerSite*> g_pFuncTracerSites{nullptr};
}  // namespace

CCmThreadFuncTracerSite::CCmThreadFuncTracerSite() : m_pNext(g_pFuncTracerSites.load()) {
  // Sites are function-local statics, constructed once each; a lock-free
  // push keeps a site's first call cheap.
  while (!g_pFuncTracerSites.compare_exchange_weak(m_pNext, this)) {
  }
}

void CmThreadResetFuncTracerCountsForTesting() {
  for (CCmThreadFuncTracerSite* site = g_pFuncTracerSites.load(); site; site = site->Next()) site->Reset();
}

void CCmThreadFuncTracer::Start(const char* aFunction, int aLine, const void* aThis) {
  CCmTextFormator function(m_szFunction, sizeof(m_szFunction));
  function << aFunction << ",line=" << aLine << " [this=" << aThis << "]";
  new (m_Tracer) CCmUtilFuncTracer(true, false, nullptr, m_szFunction, m_szExtra);
  m_bStarted = true;
}

CCmThreadFuncTracer::~CCmThreadFuncTracer() {
  if (m_bStarted) reinterpret_cast<CCmUtilFuncTracer*>(m_Tracer)->~CCmUtilFuncTracer();
}

void CmThreadSetStartTimeoutForTesting(long aMilliseconds) { g_nStartTimeoutMs.store(aMilliseconds); }

// ------------------------------------------------------------------ ACmThread

struct ACmThread::Keep {
  std::vector<std::pair<void (*)(void*), void*>> objects;
};


ACmThread::ACmThread()
    : m_Tid(0),
      m_Handle(kInvalidHandle),
      m_Type(TT_UNKNOWN),
      m_Flag(TFLAG_NONE),
      m_nStopFlag(0),
      m_pName(new CCmString),
      m_pEvent4Start(nullptr),
      m_bRegistered(0),
      m_bRegister(1),
      m_nPriority(kZarThreadPriorityUnknown),
      m_nPriorityRequested(kZarThreadPriorityUnknown),
      m_threadRunningStatus(STATUS_NOT_STARTED),
      m_nDeleteVotes(0),
      m_bLateDelete(false),
      m_bProcedureDone(false),
      m_pEnded(std::make_shared<CCmEventThread>(0, 0)),
      m_pKeep(nullptr) {
  CM_THREAD_FUNC_TRACER("ACmThread::ACmThread", 57, "");
}

ACmThread::~ACmThread() {
  // The tracer's texts are its own: its leave line reads nothing of the
  // object (Destory's runs after `delete this`).
  CM_THREAD_FUNC_TRACER("ACmThread::~ACmThread", 62, ", m_Tid=" << m_Tid.load());
  delete m_pName;
  m_pName = nullptr;
  if (m_bRegistered) {
    UnRegisterThread(this);
    m_bRegistered = 0;
  }
  // A handle names a thread by id and holds nothing to close.
  // The subclasses' queues are gone by now: what was kept may go too.
  if (Keep* keep = m_pKeep) {
    m_pKeep = nullptr;
    for (const auto& kept : keep->objects) kept.first(kept.second);
    delete keep;
  }
}

void ACmThread::ReleaseWhenDestroyed(void (*aRelease)(void*), void* aObject) {
  if (!aRelease) return;
  CCmMutexGuardT<CCmMutexThread> guard(m_StatusMutex);
  if (!m_pKeep) m_pKeep = new Keep;
  m_pKeep->objects.emplace_back(aRelease, aObject);
}

int ACmThread::Create(const char* aName, int aType, TFlag aFlag, bool aRegister) {
  CM_THREAD_FUNC_TRACER("ACmThread::Create", 108,
                        ", aType=" << aType << ", aFlag=" << static_cast<uint32_t>(aFlag)
                                   << ", Register=" << (aRegister ? 1 : 0) << ", name=" << (aName ? aName : ""));
  CM_ASSERTE_RETURN(m_Type == TT_UNKNOWN, ZAR_E_ALREADY_CREATED);
  // A thread created with TT_UNKNOWN keeps that type; its id still marks it.
  CM_ASSERTE_RETURN(m_Tid == 0, ZAR_E_ALREADY_CREATED);
  if (aType == TT_UNKNOWN) CM_WARNING_TRACE("thread type is TT_UNKNOWN");

  m_pName->assign(aName ? aName : "ACmThread");
  m_Type = aType;
  m_Flag = aFlag == TFLAG_NONE ? TFLAG_JOINABLE : aFlag;
  if (m_Type != TT_HOST) {
    const int rv = StartOsThread();
    if (rv != ZAR_S_OK) return rv;
  } else {
    m_Tid.store(cm_platform::CurrentThreadId());
    zar_set_thread_name(GetName());
  }

  const int requested = m_nPriorityRequested.load();
  SetPriority(requested);

  m_bRegister = aRegister ? 1 : 0;
  if (!aRegister) return ZAR_S_OK;
  const int rv = RegisterThread(this);
  if (rv == ZAR_S_OK) {
    m_bRegistered = 1;
    return ZAR_S_OK;
  }
  Stop(nullptr);
  Join();
  return rv;
}

int ACmThread::StartOsThread() {
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_EventMutex);
    m_pEvent4Start = new (std::nothrow) CCmEventThread(0, 0);
    if (!m_pEvent4Start) return ZAR_E_OUTOFMEMORY;
  }
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_StatusMutex);
    m_threadRunningStatus.store(STATUS_START_REQUESTED);
  }
  if (!cm_platform::ThreadStart(&ACmThread::ThreadProc, this, &m_Tid)) {
    CM_ERROR_TRACE_THIS("ACmThread::Create, _beginthreadex() failed! err=" << cm_platform::LastError());
    {
      CCmMutexGuardT<CCmMutexThread> guard(m_StatusMutex);
      m_threadRunningStatus.store(STATUS_NOT_STARTED);
    }
    CCmMutexGuardT<CCmMutexThread> guard(m_EventMutex);
    delete m_pEvent4Start;
    m_pEvent4Start = nullptr;
    return ZAR_E_THREAD_UNAVAILABLE;
  }
  void* invalid = kInvalidHandle;
  m_Handle.compare_exchange_strong(invalid, CmThreadHandleFromId(m_Tid.load()));
  CM_INFO_TRACE_THIS("ACmThread::Create, thread succeed, m_Tid=" << m_Tid.load());

  CCmTimeValue timeout;
  timeout.SetByTotalMsec(g_nStartTimeoutMs.load());
  if (m_pEvent4Start->Wait(&timeout) != ZAR_S_OK) {
    CM_ERROR_TRACE_THIS("ACmThread::Create m_pEvent4Start->Wait 5s timeout !!!");
  }
  CCmMutexGuardT<CCmMutexThread> guard(m_EventMutex);
  delete m_pEvent4Start;
  m_pEvent4Start = nullptr;
  return ZAR_S_OK;
}

void ACmThread::ThreadProc(void* aThread) {
  ACmThread* const pThread = static_cast<ACmThread*>(aThread);
  CM_ASSERTE_RETURN_VOID(pThread);
  if (void (*hook)(ACmThread*) = g_pfnStartHook.load()) hook(pThread);
  {
    CCmMutexGuardT<CCmMutexThread> guard(pThread->m_StatusMutex);
    pThread->m_threadRunningStatus.store(STATUS_RUNNING);
  }
  void* invalid = kInvalidHandle;
  pThread->m_Handle.compare_exchange_strong(invalid, CmThreadHandleFromId(pThread->m_Tid.load()));
  CM_INFO_TRACE("ACmThread::threadProc begin, GetName()=" << pThread->GetName() << ", m_Tid=" << pThread->m_Tid.load()
                                                          << " [this=" << static_cast<const void*>(pThread) << "]");
  zar_set_thread_name(pThread->GetName());
  pThread->OnThreadInit();
  if (pThread->m_Type != TT_HOST) {
    CCmMutexGuardT<CCmMutexThread> guard(pThread->m_EventMutex);
    if (pThread->m_pEvent4Start) pThread->m_pEvent4Start->Signal();
  }

  pThread->OnThreadRun();

  bool deleteIt = false;
  bool votes;
  bool lateDelete;
  {
    CCmMutexGuardT<CCmMutexThread> guard(pThread->m_StatusMutex);
    lateDelete = pThread->m_bLateDelete;
    votes = !(pThread->m_Flag & TFLAG_JOINABLE) || lateDelete;
    if (votes) deleteIt = ++pThread->m_nDeleteVotes >= 2;
    pThread->m_threadRunningStatus.store(STATUS_FINISHED);
  }
  CM_INFO_TRACE("ACmThread::threadProc end, GetName()=" << pThread->GetName() << ", m_Tid=" << pThread->m_Tid.load()
                                                        << ", ifDelete=" << (deleteIt ? 1 : 0) << ", m_bLateDelete="
                                                        << (lateDelete ? 1 : 0) << " [this="
                                                        << static_cast<const void*>(pThread) << "]");
  pThread->SetStop();
  // A joinable thread's owner may delete the object as soon as SetStop has
  // run; a voting owner waits for m_bProcedureDone instead.
  if (deleteIt) {
    delete pThread;
  } else if (votes) {
    const std::shared_ptr<CCmEventThread> ended = pThread->m_pEnded;
    pThread->m_bProcedureDone.store(true);
    ended->Signal();
  }
}

int ACmThread::Stop(CCmTimeValue* /*aTimeout*/) { return ZAR_E_NOTIMPL; }

void ACmThread::OnThreadInit() {
  srand(static_cast<unsigned>(CCmTimeValue::GetTimeOfDay().GetSec()) + m_Tid.load());
}

void ACmThread::SetStop() {
  CM_INFO_TRACE_THIS("ACmThread::SetStop");
  const std::shared_ptr<CCmEventThread> ended = m_pEnded;  // the owner may delete this once the flag is set
  m_nStopFlag.store(1);
  ended->Signal();
}

int ACmThread::Join() {
  CM_THREAD_FUNC_TRACER("ACmThread::Join", 321, "");
  if (m_Tid.load() == cm_platform::CurrentThreadId()) return ZAR_E_FAIL;
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_StatusMutex);
    if (m_bLateDelete) return ZAR_S_OK;
    if (m_Tid.load() != 0 && m_threadRunningStatus.load() == STATUS_START_REQUESTED) {
      if (!(m_Flag & TFLAG_JOINABLE)) return ZAR_S_OK;
      // The procedure has not begun: the thread frees itself when it ends.
      m_bLateDelete = true;
      CM_INFO_TRACE_THIS("ACmThread::Join() change to Late Delete, m_threadRunningStatus="
                         << m_threadRunningStatus.load() << ", m_bLateDelete=" << 1);
      return ZAR_S_OK;
    }
  }
  int sleeps = 0;
  CCmTimeValue step(0L, 10000L);
  while (m_threadRunningStatus.load() >= STATUS_RUNNING && GetStopFlag() == 0 && sleeps < 5000) {
    // An event that could not be made fails at once: then sleep the step.
    if (m_pEnded->Wait(&step) == ZAR_E_FAIL) cm_platform::SleepMs(10);
    ++sleeps;
  }
  CM_INFO_TRACE_THIS("ACmThread::Join(), m_threadRunningStatus=" << m_threadRunningStatus.load()
                                                                 << ", GetStopFlag()=" << GetStopFlag() << ", i=" << sleeps);
  return ZAR_S_OK;
}

int ACmThread::Destory(int aReason) {
  CM_THREAD_FUNC_TRACER("ACmThread::Destory", 235, ", aReason=" << aReason << ", m_Tid=" << m_Tid.load());
  if (m_bRegister && m_bRegistered) {
    UnRegisterThread(this);
    m_bRegistered = 0;
  }
  bool threadVoted = false;
  {
    CCmMutexGuardT<CCmMutexThread> guard(m_StatusMutex);
    if (!(m_Flag & TFLAG_JOINABLE) || m_bLateDelete) {
      if (++m_nDeleteVotes < 2) return ZAR_S_OK;
      threadVoted = true;
    }
  }
  // The thread procedure cast the other vote; let it finish with the object.
  if (threadVoted) {
    CCmTimeValue step(0L, 1000L);
    while (!m_bProcedureDone.load()) {
      if (m_pEnded->Wait(&step) == ZAR_E_FAIL) cm_platform::SleepMs(1);
    }
  }
  delete this;
  return ZAR_S_OK;
}

void ACmThread::Terminate() {
  CM_THREAD_FUNC_TRACER("ACmThread::Terminate", 94, "");
  m_nPriority.store(kZarThreadPriorityUnknown);
  m_nPriorityRequested.store(kZarThreadPriorityUnknown);
  m_Handle.store(nullptr);
  m_nStopFlag.store(1);
}

int ACmThread::SetPriority(const int& aPriority) {
  const int priority = aPriority;
  CM_INFO_TRACE_THIS("SetPriority() Priority = " << priority);
  if (priority == kZarThreadPriorityUnknown) return ZAR_E_INVALIDARG;
  m_nPriorityRequested.store(priority);
  const int old = m_nPriority.load();
  if (priority == old) return ZAR_S_OK;
  void* const handle = m_Handle.load();
  if (!handle) return ZAR_S_OK;
  const int rv = SetThreadPriorityRawByHandle(handle, priority);
  if (rv == ZAR_S_OK) {
    CM_INFO_TRACE_THIS("_setPriority() Priority from " << old << " to " << priority);
    m_nPriority.store(priority);
  }
  return rv;
}

int ACmThread::GetPriority(int& aPriority) {
  void* const handle = m_Handle.load();
  if (!handle) return ZAR_E_UNEXPECTED;
  if (m_nPriority.load() == kZarThreadPriorityUnknown) {
    int native;
    if (GetThreadPriorityRawByHandle(handle, native) == ZAR_S_OK) m_nPriority.store(native);
  }
  aPriority = m_nPriority.load();
  return aPriority == kZarThreadPriorityUnknown ? ZAR_S_FALSE : ZAR_S_OK;
}

// ----------------------------------------------------------------- registry

ACmThread* GetThread(int aType) {
  ACmThread* found;
  if (aType == TT_CALLING) {
    const unsigned long self = cm_platform::CurrentThreadId();
    found = FindThread([self](ACmThread* t) { return t->GetThreadId() == self; });
  } else {
    found = FindThread([aType](ACmThread* t) { return t->GetThreadType() == aType; });
  }
  if (!found) CM_WARNING_TRACE("GetThread, aType=" << aType);
  return found;
}

ACmThread* GetThreadById(unsigned long aId) {
  Registry& registry = TheRegistry();
  CCmMutexGuardT<CCmMutexThread> guard(registry.mutex);
  for (ACmThread* thread : registry.threads) {
    if (thread->GetThreadId() == aId) {
      CM_DEBUG_TRACE("GetThreadById(" << static_cast<const void*>(thread) << ")" << aId << "event Queue:"
                                      << static_cast<const void*>(thread->GetEventQueue()));
      return thread;
    }
  }
  return nullptr;
}

ACmThread* getCurrentThread() {
  const unsigned long self = cm_platform::CurrentThreadId();
  return FindThread([self](ACmThread* t) { return t->GetThreadId() == self; });
}

int TPCleanThreadList() {
  Registry& registry = TheRegistry();
  CCmMutexGuardT<CCmMutexThread> guard(registry.mutex);
  CM_INFO_TRACE("CleanThreadList, list size=" << registry.threads.size());
  for (ACmThread* thread : registry.threads) thread->Stop(nullptr);
  registry.threads.clear();
  return ZAR_S_OK;
}

// ----------------------------------------------------------------- identity

unsigned long GetThreadSelfId() { return cm_platform::CurrentThreadId(); }
int IsThreadEqual(unsigned long a, unsigned long b) { return a == b ? 1 : 0; }
int IsEqualCurrentThread(unsigned long aId) { return aId == cm_platform::CurrentThreadId() ? 1 : 0; }
int CmGetThreadID() { return static_cast<int>(cm_platform::CurrentThreadId()); }
int CmGetProcessID() { return static_cast<int>(cm_platform::CurrentProcessId()); }

// ------------------------------------------------- ACmThreadSingletonFactory

struct ACmThreadSingletonFactory::State {
  struct Entry {
    ACmThread* thread;
    int references;
  };
  CCmMutexThread mutex;
  std::map<CCmString, Entry> threads;  // std::string order is byte order
};

ACmThreadSingletonFactory::ACmThreadSingletonFactory() : m_pState(new (std::nothrow) State) {}

ACmThreadSingletonFactory::~ACmThreadSingletonFactory() = default;

ACmThreadSingletonFactory& ACmThreadSingletonFactory::Instance() {
  static ACmThreadSingletonFactory instance;
  return instance;
}

int ACmThreadSingletonFactory::GetSingletonThread(const char* aName, ACmThread*& aThread) {
  CM_ASSERTE_RETURN(aName, ZAR_E_INVALIDARG);
  if (!m_pState) return ZAR_E_OUTOFMEMORY;
  CCmMutexGuardT<CCmMutexThread> guard(m_pState->mutex);
  auto it = m_pState->threads.find(aName);
  if (it != m_pState->threads.end()) {
    ++it->second.references;
    aThread = it->second.thread;
    return ZAR_S_OK;
  }
  ACmThread* thread = nullptr;
  const int rv = CreateUserTaskThread(aName, thread, TFLAG_JOINABLE, true, TT_UNKNOWN);
  if (rv != ZAR_S_OK) return rv;
  m_pState->threads[aName] = State::Entry{thread, 1};
  aThread = thread;
  return ZAR_S_OK;
}

void ACmThreadSingletonFactory::ResleseSingletonThread(const char* aName, ACmThread* aThread) {
  if (!aName || !aThread) return;
  CM_INFO_TRACE_THIS("ACmThreadSingletonFactory::ResleseSingletonThread, enter, pThreadName="
                     << aName << ", (void*)aThread=" << static_cast<const void*>(aThread));
  if (m_pState) {
    CCmMutexGuardT<CCmMutexThread> guard(m_pState->mutex);
    auto it = m_pState->threads.find(aName);
    if (it != m_pState->threads.end() && it->second.thread == aThread && --it->second.references <= 0) {
      aThread->Stop(nullptr);
      aThread->Join();
      aThread->Destory(0);
      m_pState->threads.erase(it);
    }
  }
  CM_INFO_TRACE_THIS("ACmThreadSingletonFactory::ResleseSingletonThread, leave");
}
