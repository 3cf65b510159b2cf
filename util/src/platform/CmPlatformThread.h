// CmPlatformThread.h - operating-system threads in the library's own terms.
//
// Threads are started detached: the library never joins an operating-system
// thread (ACmThread::Join waits for the thread's stop flag), so nothing has
// to reap them. A thread is named by its kernel thread id everywhere; the
// scheduling priority of a thread is its nice value, read and written by id.
//
// Conventions as in CmPlatform.h: failures leave the reason in errno.
#ifndef CM_PLATFORM_THREAD_H
#define CM_PLATFORM_THREAD_H

#include <atomic>
#include <cstdint>
#include <string>

namespace cm_platform {

typedef void (*ThreadProc)(void* aArg);

// Starts a detached thread with the default stack size running aProc(aArg).
// The new thread stores its kernel id in *aTid before aProc runs, and
// ThreadStart returns only after that store, so the caller can use the id at
// once and aProc finds it already in place. False (errno set, *aTid
// untouched) when no thread could be started.
bool ThreadStart(ThreadProc aProc, void* aArg, std::atomic<uint32_t>* aTid);

// Names the calling thread for debuggers and /proc (at most 15 bytes are
// kept; a name is never cut inside a UTF-8 sequence).
bool SetCurrentThreadName(const char* aName);
// The calling thread's name as the kernel reports it.
bool CurrentThreadName(std::string& aName);

// True when aTid is a live thread of this process.
bool ThreadExists(uint32_t aTid);

// Nice value of thread aTid (-20 most urgent ... 19 least). Raising the
// urgency (lowering nice) needs CAP_SYS_NICE or a matching RLIMIT_NICE and
// fails with EACCES/EPERM otherwise.
bool GetThreadNice(uint32_t aTid, int& aNice);
bool SetThreadNice(uint32_t aTid, int aNice);

// A processor hint for busy-wait loops (a pause of a few dozen cycles that
// also yields the core to its hyper-thread sibling).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace cm_platform

#endif  // CM_PLATFORM_THREAD_H
