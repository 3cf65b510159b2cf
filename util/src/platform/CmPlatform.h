// CmPlatform.h - the operating-system layer, in the library's own terms.
//
// Everything the library needs from the OS goes through the headers of this
// folder, which include no OS header themselves; the build compiles one
// implementation folder beside them (posix/ for Linux), the only code of the
// library that includes OS headers.
//
// Conventions: "last error" is errno; waits take milliseconds with -1 meaning
// without limit and measure on the monotonic clock. The clocks and sleep
// are in CmPlatformClock.h.
#ifndef CM_PLATFORM_H
#define CM_PLATFORM_H

#include <atomic>
#include <cstdint>
#include <string>

#include "CmMutex.h"
#include "CmTestHooks.h"

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

// Non-zero while the process has only ever had one thread (the C library's
// own flag; its locks skip their atomic instructions while it is set). Once
// a second thread has been started it stays zero.
extern const char* const g_pProcessSingleThreaded;
inline bool ProcessIsSingleThreaded() { return *g_pProcessSingleThreaded != 0; }

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

// The next aCount event or semaphore creations fail (ENOMEM), so tests
// reach the failure paths of the waitable objects.
CM_TEST_EXPORT void FailCreationsForTesting(int aCount);

}  // namespace cm_platform

// The library's module loader. aFileName is a bare file name looked for in
// the directory of this library only; the file must be a regular file (not a
// link) that neither its group nor others may write. Returns the loaded
// module or null. aPathKind and aFlags are kept
// for the engine's calling convention and must be 0.
CM_EXPORT void* zar_load_library_s(const char* aFileName, int aPathKind, int aFlags);

#endif  // CM_PLATFORM_H
