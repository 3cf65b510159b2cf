// CmPlatform.h - the operating-system layer, in the library's own terms.
//
// Everything the library needs from the OS goes through here; the rest of
// the code includes no OS header it does not need. This build implements it
// over POSIX/Linux in platform/posix/.
//
// Conventions: "last error" is errno; waits take milliseconds with -1 meaning
// without limit and measure on the monotonic clock.
#ifndef CM_PLATFORM_H
#define CM_PLATFORM_H

#include <cstdint>
#include <string>

#include "CmMutex.h"

struct CmPlatformEvent;
struct CmPlatformSemaphore;

namespace cm_platform {

constexpr long kInfinite = -1;

// The outcome of a wait; kFailed leaves the reason in errno.
enum WaitResult : int { kSignaled = 0, kTimedOut = 258, kFailed = -1 };

// ---- identity and errors
uint32_t CurrentThreadId();   // kernel thread id
uint32_t CurrentProcessId();
int LastError();              // errno of the calling thread
void SetLastError(int aError);
void SleepMs(unsigned aMilliseconds);

// ---- recursive lock stored in caller memory
bool CriticalSectionInit(CmCriticalSection& aCs);
void CriticalSectionDestroy(CmCriticalSection& aCs);
// Enter/TryEnter/Leave are the hot path of every lock in the library; they
// are defined inline by the platform's CmPlatformLock.inc below.
inline bool CriticalSectionEnter(CmCriticalSection& aCs);
inline bool CriticalSectionTryEnter(CmCriticalSection& aCs);  // false when held elsewhere
inline bool CriticalSectionLeave(CmCriticalSection& aCs);

// ---- events (manual or automatic reset); null handles fail with EINVAL
CmPlatformEvent* EventCreate(bool aManualReset, bool aInitialState);
bool EventClose(CmPlatformEvent* aEvent);
bool EventSet(CmPlatformEvent* aEvent);
bool EventReset(CmPlatformEvent* aEvent);
WaitResult EventWait(CmPlatformEvent* aEvent, long aMilliseconds);

// ---- counting semaphores
CmPlatformSemaphore* SemaphoreCreate(long aInitial, long aMaximum);
bool SemaphoreClose(CmPlatformSemaphore* aSemaphore);
// Fails with EOVERFLOW when the count would pass the maximum.
bool SemaphoreRelease(CmPlatformSemaphore* aSemaphore, long aCount);
WaitResult SemaphoreWait(CmPlatformSemaphore* aSemaphore, long aMilliseconds);

// ---- clocks
int64_t WallClockMicroseconds();       // since 1970-01-01 UTC
int64_t MonotonicMicroseconds();       // arbitrary origin, never goes back
bool LocalTime(int64_t aSeconds, struct tm* aOut);
bool UtcTime(int64_t aSeconds, struct tm* aOut);

// ---- loaded objects
// Full path of the loaded object (library or executable) holding aAddress.
bool ModulePathOfAddress(const void* aAddress, std::string& aPath);
// Full path of this library.
std::string OwnModulePath();
void* ModuleOpen(const char* aPath);  // null when it cannot be loaded
void* ModuleSymbol(void* aModule, const char* aName);
void ModuleClose(void* aModule);
// Return addresses of the calling stack, innermost first.
int CaptureStack(void** aFrames, int aMaxFrames);

// Test seam: the next aCount event or semaphore creations fail (ENOMEM), so
// tests reach the failure paths of the waitable objects.
CM_EXPORT void cm_platform_test_fail_creations(int aCount);

}  // namespace cm_platform

#include "platform/posix/CmPlatformLock.inc"

// The library's module loader. aFileName is a bare file name looked for in
// the directory of this library only; the file must be a regular file (not a
// link) that neither its group nor others may write. Returns the loaded
// module or null. aPathKind and aFlags are kept
// for the engine's calling convention and must be 0.
CM_EXPORT void* zar_load_library_s(const char* aFileName, int aPathKind, int aFlags);

#endif  // CM_PLATFORM_H
