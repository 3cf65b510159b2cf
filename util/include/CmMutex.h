// CmMutex.h - the mutex family and the spin lock.
//
// Which to use:
//  - CCmMutexThread: the library's ordinary lock; recursive (the holder may
//    lock again), safe on any thread. CCmMutexThreadRecursive behaves the same
//    and names recursive use in code that depends on it.
//  - CCmMutexNull, CCmMutexNullSingleThread, CCmFakeMutex: lock nothing; for
//    objects confined to one thread that are written against a mutex type.
//  - CCmSpinLock: a few instructions under a lock that is almost never
//    contended; it spins without yielding.
//
// Every Lock/UnLock/TryLock returns 0 when done. A real mutex used after its
// destruction (while its memory is still readable) refuses with ZAR_E_FAIL
// and an error-level "already released" trace line instead of touching freed
// platform state: the validity word is cleared before the lock is destroyed.
#ifndef CM_MUTEX_H
#define CM_MUTEX_H

#include <atomic>

#include "CmError.h"
#include "CmStopFlag.h"

// Marks a function that may call into a real mutex after that mutex was
// destroyed, which the family answers with its defined refusal; the
// sanitizer's dynamic-type check would otherwise stop at the call.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define CM_NO_SANITIZE_VPTR __attribute__((no_sanitize("vptr")))
#else
#define CM_NO_SANITIZE_VPTR
#endif

// The state of the library's recursive lock. A pthread recursive mutex
// behind two out-of-line calls cost 1.4 times std::recursive_mutex on every
// uncontended Lock/UnLock (its type dispatch, owner and user counts, and our
// wrapper around it); this lock keeps the same behaviour (recursive, TryLock
// refused to other threads, UnLock refused to non-holders) with one atomic
// exchange each way while uncontended, and plain stores while the process
// has only ever had one thread (as the C library's own locks do). A
// contended Lock spins briefly, then sleeps on m_nState in the kernel
// (the platform's word wait), and the releasing holder wakes one
// sleeper. The platform's lock object is thus replaced by this state; what
// callers observe of the mutex family is unchanged.
struct CmCriticalSection {
  // 0 free, 1 held, 2 held and a thread may be asleep waiting for it.
  std::atomic<uint32_t> m_nState{0};
  // The holding thread (an address unique to each live thread), 0 when free.
  std::atomic<uintptr_t> m_nOwner{0};
  // Locks taken by the holder; only the holder touches it.
  uint32_t m_nDepth = 0;
};

// The real, recursive lock both CCmMutexThread and CCmMutexThreadRecursive
// are; the validity word turns a use after destruction into a refusal.
//
// Thread safety: Lock/UnLock/TryLock from any thread; UnLock only by the
// holder (another thread's UnLock is refused with ZAR_E_FAIL).
class CM_EXPORT CCmMutexThreadBase {
 public:
  static constexpr uint32_t kValidMark = 0x1357998;

  virtual ~CCmMutexThreadBase();
  CCmMutexThreadBase(const CCmMutexThreadBase&) = delete;
  CCmMutexThreadBase& operator=(const CCmMutexThreadBase&) = delete;

  int Lock();
  int UnLock();
  // 0 when entered (also when the caller already holds it), ZAR_E_FAIL when
  // another thread holds it.
  int TryLock();
  CmCriticalSection& GetMutexType() { return m_Lock; }

 protected:
  CCmMutexThreadBase();
  // Called by the derived constructors: the lock starts free.
  void CreateLock();

  CmCriticalSection m_Lock;
  // 0x1357998 while the lock is alive. Atomic so that the clearing store in
  // the destructor is neither optimised away nor a data race.
  std::atomic<uint32_t> m_nValid;
  bool m_bCreated = false;

 private:
  void LockContended();
  void WakeWaiter();
};

// The library's ordinary lock (recursive). Thread safety: as the base.
class CM_EXPORT CCmMutexThread : public CCmMutexThreadBase {
 public:
  CCmMutexThread();
  ~CCmMutexThread() override;
};

// The same lock, named for code that relies on locking again while holding
// it. Thread safety: as the base.
class CM_EXPORT CCmMutexThreadRecursive : public CCmMutexThreadBase {
 public:
  CCmMutexThreadRecursive();
  ~CCmMutexThreadRecursive() override;
};

// A mutex type that locks nothing, for objects confined to one thread that
// are written against a mutex type. Thread safety: none needed; no state.
class CCmMutexNull {
 public:
  int Lock() { return 0; }
  int UnLock() { return 0; }
  int TryLock() { return 0; }
};

// Locks nothing, like CCmMutexNull, and records its owner thread for
// diagnostics. Thread safety: for one thread.
class CCmMutexNullSingleThread {
 public:
  int Lock() { return 0; }
  int UnLock() { return 0; }
  int TryLock() { return 0; }

 private:
  CCmEnsureSingleThread m_Est;
};

// A non-atomic flag for single-threaded code that still wants TryLock to
// report re-entry.
class CCmFakeMutex {
 public:
  int Lock() {
    m_nLocked = 1;
    return 0;
  }
  int UnLock() {
    m_nLocked = 0;
    return 0;
  }
  int TryLock() {
    if (m_nLocked == 1) return ZAR_E_FAIL;
    m_nLocked = 1;
    return 0;
  }

 private:
  int32_t m_nLocked = 0;
};

// Thread safety: any thread. Spins with no pause or yield between attempts,
// so hold it only for a handful of instructions.
class CCmSpinLock {
 public:
  CCmSpinLock() { m_nLock.exchange(0); }
  long lock() {
    while (m_nLock.exchange(1, std::memory_order_acquire) != 0) {
    }
    return 0;
  }
  // 0 when taken, -1 when already held.
  long try_lock() { return m_nLock.exchange(1, std::memory_order_acquire) == 0 ? 0 : -1; }
  long unlock() {
    m_nLock.store(0, std::memory_order_release);
    return 0;
  }

 private:
  std::atomic<int32_t> m_nLock;
};

// Scoped lock over any member of the family (RAII).
template <class MutexType>
class CCmMutexGuardT {
 public:
  explicit CCmMutexGuardT(MutexType& aMutex) : m_Mutex(aMutex), m_bLocked(aMutex.Lock() == 0) {}
  ~CCmMutexGuardT() {
    if (m_bLocked) m_Mutex.UnLock();
  }
  CCmMutexGuardT(const CCmMutexGuardT&) = delete;
  CCmMutexGuardT& operator=(const CCmMutexGuardT&) = delete;
  bool IsLocked() const { return m_bLocked; }

 private:
  MutexType& m_Mutex;
  bool m_bLocked;
};

#endif  // CM_MUTEX_H
