// CmStopFlag.h - owner-thread marker, the atomic stop flag of thread loops,
// and the exit-flag guard.
//
// CCmEnsureSingleThread records an owner thread id; it checks nothing (the
// engine keeps it for layout and for diagnostics). CCmStopFlag is written by
// one thread (typically a stop event on a task thread) and polled by another:
// it is atomic, and a new flag reads as stopped. CCmMainThreadExitProtect
// stores true through a caller's flag when it is destroyed.
#ifndef CM_STOP_FLAG_H
#define CM_STOP_FLAG_H

#include <atomic>

#include "CmDefines.h"

// Records the thread that owns an object (the constructing thread, or one
// set later). It checks nothing: EnsureSingleThread is a no-op kept for the
// engine's layout and for diagnostics.
//
// Thread safety: none of its own; the owner sets it, others may read the id.
class CM_EXPORT CCmEnsureSingleThread {
 public:
  CCmEnsureSingleThread();
  CCmEnsureSingleThread(const CCmEnsureSingleThread&) = default;
  CCmEnsureSingleThread& operator=(const CCmEnsureSingleThread&) = default;
  CCmEnsureSingleThread(CCmEnsureSingleThread&&) = default;
  CCmEnsureSingleThread& operator=(CCmEnsureSingleThread&&) = default;

  void Reset2CurrentThreadInfo();
  void Reset2ThreadId(unsigned long aThreadId) { m_dwThreadId = static_cast<DWORD>(aThreadId); }
  // Deliberately a no-op: ownership is documented, not enforced.
  void EnsureSingleThread() const {}
  unsigned long GetThreadId() const { return m_dwThreadId; }

 protected:
  DWORD m_dwThreadId;
  char m_szReserved[512];
};

// The stop flag a thread loop polls: written by one thread (typically a stop
// event on the loop's own thread), read by others. A new flag reads as
// stopped until SetStartFlag.
//
// Thread safety: Set*/IsFlagStopped* may be called from any thread. The
// "WithoutThreadCheck" forms are the same operations (no form checks the
// caller against the owner).
class CM_EXPORT CCmStopFlag {
 public:
  CCmStopFlag();
  ~CCmStopFlag();
  CCmStopFlag(const CCmStopFlag&) = delete;
  CCmStopFlag& operator=(const CCmStopFlag&) = delete;

  bool IsFlagStopped() const { return m_pFlag == nullptr || m_pFlag->load(); }
  bool IsFlagStoppedWithoutThreadCheck() const { return IsFlagStopped(); }
  void SetStopFlag() { Store(true); }
  void SetStartFlag() { Store(false); }
  void SetStopFlagWithoutThreadCheck(bool aValue) { Store(aValue); }

 protected:
  void Store(bool aValue) {
    if (m_pFlag) m_pFlag->exchange(aValue);
  }

  CCmEnsureSingleThread m_Est;
  std::atomic<bool>* m_pFlag;
};

// Stores true through a caller's flag when it is destroyed, so the flag's
// owner learns that the protected scope (normally the main thread's) ended.
// A guard whose pointer was never set changes nothing.
//
// Thread safety: none; the flag is written by whichever thread destroys it.
class CM_EXPORT CCmMainThreadExitProtect {
 public:
  CCmMainThreadExitProtect() : m_pExitFlag(nullptr) {}
  ~CCmMainThreadExitProtect() {
    if (m_pExitFlag) {
      *m_pExitFlag = true;
      m_pExitFlag = nullptr;
    }
  }
  CCmMainThreadExitProtect(const CCmMainThreadExitProtect&) = default;
  CCmMainThreadExitProtect& operator=(const CCmMainThreadExitProtect&) = default;

  bool* m_pExitFlag;
};

#endif  // CM_STOP_FLAG_H
