// POSIX implementation of the waitable objects of CmPlatform.h (the
// mutexes keep their state in a word of their own and sleep on it through
// CmPlatformWait.h).
//
// Events and semaphores emulate the contract of the engine's original
// platform objects with one mutex and one condition variable each. The
// condition variable runs on CLOCK_MONOTONIC; a timed wait computes its
// deadline once and loops over spurious wake-ups, so a change of the wall
// clock neither stretches nor shortens a wait.
#include <errno.h>
#include <pthread.h>
#include <sys/single_threaded.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/CmPlatform.h"

struct CmPlatformEvent {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool manualReset;
  bool signaled;
};

struct CmPlatformSemaphore {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  long count;
  long maximum;
};

namespace cm_platform {
namespace {

std::atomic<int> g_nFailCreations{0};

bool ShouldFailCreation() {
  int n = g_nFailCreations.load();
  while (n > 0) {
    if (g_nFailCreations.compare_exchange_weak(n, n - 1)) {
      errno = ENOMEM;
      return true;
    }
  }
  return false;
}

bool InitMonotonicCond(pthread_cond_t* aCond) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return false;
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const int rc = pthread_cond_init(aCond, &attr);
  pthread_condattr_destroy(&attr);
  return rc == 0;
}

timespec DeadlineAfter(long aMilliseconds) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += aMilliseconds / 1000;
  ts.tv_nsec += (aMilliseconds % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// Waits on aCond under aMutex (held) until aReady() or the timeout.
template <class Ready>
WaitResult WaitLocked(pthread_mutex_t* aMutex, pthread_cond_t* aCond, long aMilliseconds, Ready aReady) {
  if (aMilliseconds == kInfinite) {
    while (!aReady()) pthread_cond_wait(aCond, aMutex);
    return kSignaled;
  }
  if (aReady()) return kSignaled;
  if (aMilliseconds <= 0) return kTimedOut;
  const timespec deadline = DeadlineAfter(aMilliseconds);
  while (!aReady()) {
    const int rc = pthread_cond_timedwait(aCond, aMutex, &deadline);
    if (rc == ETIMEDOUT) return aReady() ? kSignaled : kTimedOut;
    if (rc != 0 && rc != EINTR) {
      errno = rc;
      return kFailed;
    }
  }
  return kSignaled;
}

}  // namespace

void FailCreationsForTesting(int aCount) { g_nFailCreations.store(aCount); }

const char* const g_pProcessSingleThreaded = &__libc_single_threaded;

// ---------------------------------------------------------------- events

CmPlatformEvent* EventCreate(bool aManualReset, bool aInitialState) {
  if (ShouldFailCreation()) return nullptr;
  CmPlatformEvent* ev = new (std::nothrow) CmPlatformEvent;
  if (!ev) {
    errno = ENOMEM;
    return nullptr;
  }
  if (pthread_mutex_init(&ev->mutex, nullptr) != 0) {
    delete ev;
    return nullptr;
  }
  if (!InitMonotonicCond(&ev->cond)) {
    pthread_mutex_destroy(&ev->mutex);
    delete ev;
    return nullptr;
  }
  ev->manualReset = aManualReset;
  ev->signaled = aInitialState;
  return ev;
}

bool EventClose(CmPlatformEvent* aEvent) {
  if (!aEvent) {
    errno = EINVAL;
    return false;
  }
  pthread_cond_destroy(&aEvent->cond);
  pthread_mutex_destroy(&aEvent->mutex);
  delete aEvent;
  return true;
}

bool EventSet(CmPlatformEvent* aEvent) {
  if (!aEvent) {
    errno = EINVAL;
    return false;
  }
  pthread_mutex_lock(&aEvent->mutex);
  aEvent->signaled = true;
  // A manual-reset event releases everyone; an automatic one a single waiter.
  if (aEvent->manualReset) pthread_cond_broadcast(&aEvent->cond);
  else pthread_cond_signal(&aEvent->cond);
  pthread_mutex_unlock(&aEvent->mutex);
  return true;
}

bool EventReset(CmPlatformEvent* aEvent) {
  if (!aEvent) {
    errno = EINVAL;
    return false;
  }
  pthread_mutex_lock(&aEvent->mutex);
  aEvent->signaled = false;
  pthread_mutex_unlock(&aEvent->mutex);
  return true;
}

WaitResult EventWait(CmPlatformEvent* aEvent, long aMilliseconds) {
  if (!aEvent) {
    errno = EINVAL;
    return kFailed;
  }
  pthread_mutex_lock(&aEvent->mutex);
  const WaitResult rc = WaitLocked(&aEvent->mutex, &aEvent->cond, aMilliseconds, [aEvent] { return aEvent->signaled; });
  if (rc == kSignaled && !aEvent->manualReset) aEvent->signaled = false;
  pthread_mutex_unlock(&aEvent->mutex);
  return rc;
}

// ------------------------------------------------------------ semaphores

CmPlatformSemaphore* SemaphoreCreate(long aInitial, long aMaximum) {
  if (ShouldFailCreation()) return nullptr;
  if (aMaximum <= 0 || aInitial < 0 || aInitial > aMaximum) {
    errno = EINVAL;
    return nullptr;
  }
  CmPlatformSemaphore* sem = new (std::nothrow) CmPlatformSemaphore;
  if (!sem) {
    errno = ENOMEM;
    return nullptr;
  }
  if (pthread_mutex_init(&sem->mutex, nullptr) != 0) {
    delete sem;
    return nullptr;
  }
  if (!InitMonotonicCond(&sem->cond)) {
    pthread_mutex_destroy(&sem->mutex);
    delete sem;
    return nullptr;
  }
  sem->count = aInitial;
  sem->maximum = aMaximum;
  return sem;
}

bool SemaphoreClose(CmPlatformSemaphore* aSemaphore) {
  if (!aSemaphore) {
    errno = EINVAL;
    return false;
  }
  pthread_cond_destroy(&aSemaphore->cond);
  pthread_mutex_destroy(&aSemaphore->mutex);
  delete aSemaphore;
  return true;
}

bool SemaphoreRelease(CmPlatformSemaphore* aSemaphore, long aCount) {
  if (!aSemaphore || aCount <= 0) {
    errno = EINVAL;
    return false;
  }
  pthread_mutex_lock(&aSemaphore->mutex);
  if (aCount > aSemaphore->maximum - aSemaphore->count) {
    pthread_mutex_unlock(&aSemaphore->mutex);
    errno = EOVERFLOW;
    return false;
  }
  aSemaphore->count += aCount;
  if (aCount == 1) pthread_cond_signal(&aSemaphore->cond);
  else pthread_cond_broadcast(&aSemaphore->cond);
  pthread_mutex_unlock(&aSemaphore->mutex);
  return true;
}

WaitResult SemaphoreWait(CmPlatformSemaphore* aSemaphore, long aMilliseconds) {
  if (!aSemaphore) {
    errno = EINVAL;
    return kFailed;
  }
  pthread_mutex_lock(&aSemaphore->mutex);
  const WaitResult rc =
      WaitLocked(&aSemaphore->mutex, &aSemaphore->cond, aMilliseconds, [aSemaphore] { return aSemaphore->count > 0; });
  if (rc == kSignaled) --aSemaphore->count;
  pthread_mutex_unlock(&aSemaphore->mutex);
  return rc;
}

}  // namespace cm_platform
