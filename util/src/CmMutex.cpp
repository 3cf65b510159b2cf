#include "CmMutex.h"

#include "CmTrace.h"
#include "CmWordLock.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformWait.h"
#include "platform/CmPlatformThread.h"

namespace {

// Kept out of line so the lock's fast path carries no trace buffer.
[[gnu::cold, gnu::noinline]] int RefuseReleased(const char* aWhat, const void* aThis) {
  CM_ERROR_TRACE("CCmMutexThreadBase::" << aWhat << " object instances already released [this=" << aThis << "]");
  return ZAR_E_FAIL;
}

// Identifies the calling thread for the owner word: the address of a
// thread-local byte, unique among live threads and never 0. Initial-exec
// makes it an offset from the thread pointer, without a call.
uintptr_t SelfId() {
  static thread_local char t_cMarker [[gnu::tls_model("initial-exec")]];
  return reinterpret_cast<uintptr_t>(&t_cMarker);
}

constexpr int kSpinsBeforeSleep = 100;

}  // namespace

CCmMutexThreadBase::CCmMutexThreadBase() : m_nValid(kValidMark) {}

CCmMutexThreadBase::~CCmMutexThreadBase() {
  m_nValid.store(0);
  m_bCreated = false;
}

void CCmMutexThreadBase::CreateLock() {
  m_Lock.m_nState.store(0, std::memory_order_relaxed);
  m_Lock.m_nOwner.store(0, std::memory_order_relaxed);
  m_Lock.m_nDepth = 0;
  m_bCreated = true;
}

namespace {

// Takes the lock word when it is free. While the process has a single
// thread, no other thread holds the lock or waits for it: a plain store.
bool TakeFreeWord(std::atomic<uint32_t>& aState) {
  if (cm_platform::ProcessIsSingleThreaded()) {
    aState.store(1, std::memory_order_relaxed);
    return true;
  }
  return CmWordTryLock(aState);
}

}  // namespace

// The holder's own earlier store is the only way the owner word can equal
// the caller's id, so a relaxed read tells "mine" from "not mine". While the
// process has a single thread, taking and leaving the lock are plain stores,
// as in the C library's own locks: starting a thread orders them before
// anything the new thread does, and a lock held across that start is left
// with an atomic exchange like any other.
int CCmMutexThreadBase::Lock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("Lock()", this);
  const uintptr_t self = SelfId();
  if (m_Lock.m_nOwner.load(std::memory_order_relaxed) == self) {
    ++m_Lock.m_nDepth;
    return ZAR_S_OK;
  }
  if (!TakeFreeWord(m_Lock.m_nState)) LockContended();
  m_Lock.m_nOwner.store(self, std::memory_order_relaxed);
  m_Lock.m_nDepth = 1;
  return ZAR_S_OK;
}

void CmWordLockContended(std::atomic<uint32_t>& aWord) {
  for (int i = 0; i < kSpinsBeforeSleep; ++i) {
    cm_platform::CpuRelax();
    uint32_t expected = 0;
    if (aWord.load(std::memory_order_relaxed) == 0 &&
        aWord.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
  }
  while (aWord.exchange(2, std::memory_order_acquire) != 0) cm_platform::WaitOnWordUntil(aWord, 2, -1);
}

// The word lock's slow path (see CmWordLock.h).
void CCmMutexThreadBase::LockContended() { CmWordLockContended(m_Lock.m_nState); }

void CCmMutexThreadBase::WakeWaiter() { cm_platform::WakeWord(m_Lock.m_nState, 1); }

int CCmMutexThreadBase::UnLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("UnLock()", this);
  if (m_Lock.m_nOwner.load(std::memory_order_relaxed) != SelfId()) return ZAR_E_FAIL;  // not the holder
  if (--m_Lock.m_nDepth > 0) return ZAR_S_OK;
  m_Lock.m_nOwner.store(0, std::memory_order_relaxed);
  if (cm_platform::ProcessIsSingleThreaded()) {
    m_Lock.m_nState.store(0, std::memory_order_relaxed);  // nobody to wake
  } else if (m_Lock.m_nState.exchange(0, std::memory_order_release) == 2) {
    WakeWaiter();
  }
  return ZAR_S_OK;
}

int CCmMutexThreadBase::TryLock() {
  if (m_nValid.load(std::memory_order_relaxed) != kValidMark) return RefuseReleased("TryLock()", this);
  const uintptr_t self = SelfId();
  if (m_Lock.m_nOwner.load(std::memory_order_relaxed) == self) {
    ++m_Lock.m_nDepth;
    return ZAR_S_OK;
  }
  if (!TakeFreeWord(m_Lock.m_nState)) return ZAR_E_FAIL;
  m_Lock.m_nOwner.store(self, std::memory_order_relaxed);
  m_Lock.m_nDepth = 1;
  return ZAR_S_OK;
}

CCmMutexThread::CCmMutexThread() { CreateLock(); }
CCmMutexThread::~CCmMutexThread() = default;

CCmMutexThreadRecursive::CCmMutexThreadRecursive() { CreateLock(); }
CCmMutexThreadRecursive::~CCmMutexThreadRecursive() = default;
