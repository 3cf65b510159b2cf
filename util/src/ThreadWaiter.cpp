#include "ThreadWaiter.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

struct ThreadWaiter::State {
  std::mutex mutex;
  std::condition_variable cond;
  bool finished = false;  // guarded by mutex (read unlocked only as a hint)
  std::atomic<unsigned> target{1};
  std::atomic<unsigned> arrivals{0};
  std::atomic<bool> finishedHint{false};
};

ThreadWaiter::ThreadWaiter(unsigned aCount) : m_pState(new State) { m_pState->target.store(aCount); }

ThreadWaiter::~ThreadWaiter() = default;

bool ThreadWaiter::Reset(unsigned aCount) {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  const bool wasFinished = m_pState->finished;
  m_pState->finished = false;
  m_pState->finishedHint.store(false);
  m_pState->arrivals.store(0);
  m_pState->target.store(aCount);
  return wasFinished;
}

void ThreadWaiter::Finished() {
  State& s = *m_pState;
  if (s.finishedHint.load()) return;
  const unsigned arrived = s.arrivals.fetch_add(1) + 1;
  if (arrived < s.target.load()) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.finished) {
    s.finished = true;
    s.finishedHint.store(true);
    // Every waiter must see the latch open, not only one of them.
    s.cond.notify_all();
  }
}

void ThreadWaiter::WaitUntilFinished() {
  std::unique_lock<std::mutex> lock(m_pState->mutex);
  m_pState->cond.wait(lock, [this] { return m_pState->finished; });
}

bool ThreadWaiter::WaitUntilTimeout(std::chrono::milliseconds aTimeout) {
  std::unique_lock<std::mutex> lock(m_pState->mutex);
  if (aTimeout.count() <= 0) return m_pState->finished;
  const auto now = std::chrono::steady_clock::now();
  // Saturate instead of overflowing the clock: compare in milliseconds.
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now);
  if (aTimeout >= limit) {
    m_pState->cond.wait(lock, [this] { return m_pState->finished; });
    return true;
  }
  return m_pState->cond.wait_until(lock, now + aTimeout, [this] { return m_pState->finished; });
}
