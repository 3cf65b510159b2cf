// CmWordLock.h - a non-recursive lock in one 32-bit word, for the library's
// own short critical sections (the mutex family's state, an event queue's
// inbox).
//
// 0 free, 1 held, 2 held and a thread may be asleep waiting for it. Taking a
// free word is one compare-and-swap; a contended taker spins briefly (the
// holder usually leaves within a few hundred cycles), then marks the word
// and sleeps in the kernel until the holder leaves, so a holder that was
// preempted costs its waiters no processor time. A thread that takes the
// lock after sleeping keeps the mark, so its release wakes the next sleeper
// (possibly none: one spare wake-up, never a lost one).
//
// Thread safety: any thread; the release only by the holder.
#ifndef CM_WORD_LOCK_H
#define CM_WORD_LOCK_H

#include <atomic>
#include <cstdint>

#include "platform/CmPlatformWait.h"

inline bool CmWordTryLock(std::atomic<uint32_t>& aWord) {
  uint32_t expected = 0;
  return aWord.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

// The slow path of CmWordLock.
void CmWordLockContended(std::atomic<uint32_t>& aWord);

inline void CmWordLock(std::atomic<uint32_t>& aWord) {
  if (!CmWordTryLock(aWord)) CmWordLockContended(aWord);
}

inline void CmWordUnlock(std::atomic<uint32_t>& aWord) {
  if (aWord.exchange(0, std::memory_order_release) == 2) cm_platform::WakeWord(aWord, 1);
}

#endif  // CM_WORD_LOCK_H
