// ThreadWaiter.h - a completion latch: N arrivals release the waiters.
//
// Thread safety: Finished() and the waits may be called from any thread;
// Reset() re-arms the latch and must not race with waiters of the previous
// round.
#ifndef CM_THREAD_WAITER_H
#define CM_THREAD_WAITER_H

#include <chrono>
#include <memory>

#include "CmDefines.h"

// A completion latch: waiters are released once Finished() was called as
// many times as the latch was armed for (see above for thread safety).
class CM_EXPORT ThreadWaiter {
 public:
  explicit ThreadWaiter(unsigned aCount = 1);
  ~ThreadWaiter();
  ThreadWaiter(const ThreadWaiter&) = delete;
  ThreadWaiter& operator=(const ThreadWaiter&) = delete;

  // Re-arms for aCount arrivals; returns whether the latch had finished.
  bool Reset(unsigned aCount);
  void Finished();
  void WaitUntilFinished();
  // True when the latch finished within aTimeout.
  bool WaitUntilTimeout(std::chrono::milliseconds aTimeout);

 private:
  struct State;
  std::unique_ptr<State> m_pState;
};

#endif  // CM_THREAD_WAITER_H
