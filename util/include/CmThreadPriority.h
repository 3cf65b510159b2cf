// CmThreadPriority.h - portable thread priorities and the native values
// behind them.
//
// Which function to use:
//  - SetCurrentThreadPriority / GetCurrentThreadPriority: the six-step scale
//    (ZarThreadPriority) for the calling thread; the usual choice.
//  - ...ByHandle / ...ById: the same for another thread of this process.
//  - ...Raw...: the platform's native value directly.
//  - Thread policies (quality-of-service classes) are not supported on this
//    platform: those functions answer ZAR_E_NOTIMPL and change nothing.
//
// Linux mapping:
//  - A thread id is the kernel thread id (gettid), as everywhere in the
//    library.
//  - A thread handle is a pointer-sized value that names a thread of this
//    process: its kernel id. OpenThreadHandleFromId checks that the thread
//    exists and returns that value; CloseThreadHandle only validates it (no
//    resource is held). A handle outlives its thread: once the thread has
//    ended, operations on the handle fail, and the kernel may reuse the id
//    for a later thread. GetCurrentThreadHandle returns the calling thread's
//    handle, usable from any thread.
//  - The native priority is the negated nice value of the thread, so larger
//    is more urgent and the table's values keep their meaning: Lowest -2
//    (nice 2), BelowNormal -1, Normal 0, AboveNormal 1, Highest 2,
//    TimeCritical 15 (nice -15). GetThreadPriorityMin/Max report the
//    portable span -15..15; the kernel itself accepts -19..20 through the raw
//    setters. Raising a thread above its current urgency needs CAP_SYS_NICE
//    (or a matching RLIMIT_NICE); without it the setters fail with the
//    "SetThreadPriority failed, error=" line carrying errno (EACCES/EPERM)
//    and ZAR_E_FAIL. Lowering is always allowed.
//  - Linux can set a priority by thread id, so SetThreadPriorityById and
//    SetThreadPriorityRawById work.
//  - Ids and handles reach only threads of this process: the kernel would
//    let a privileged process renice any thread of the system by id. Any
//    other id is refused with ZAR_E_INVALIDARG and the line "<function>:
//    Invalid thread id <id>", any other handle with the "Invalid handle"
//    line.
//
// Every failure writes an error-level trace line naming the function; a
// successful change writes an info line.
//
// Thread safety: every function may be called from any thread.
#ifndef CM_THREAD_PRIORITY_H
#define CM_THREAD_PRIORITY_H

#include "CmDefines.h"
#include "CmError.h"

enum ZarThreadPriority {
  ZarThreadPriority_Lowest = 0,
  ZarThreadPriority_BelowNormal = 1,
  ZarThreadPriority_Normal = 2,
  ZarThreadPriority_AboveNormal = 3,
  ZarThreadPriority_Highest = 4,
  ZarThreadPriority_TimeCritical = 5,
};

enum ZarThreadPolicy {
  ZarThreadPolicy_UserInteractive = 0,
  ZarThreadPolicy_UserInitiated = 1,
  ZarThreadPolicy_Default = 2,
  ZarThreadPolicy_Utility = 3,
  ZarThreadPolicy_Background = 4,
};

// Returned by native reads that failed, and stored by them.
constexpr int kZarThreadPriorityUnknown = 0x7fffffff;

// "Lowest" ... "TimeCritical", "Unknown" for other values.
CM_EXPORT const char* ThreadPriorityToString(ZarThreadPriority aPriority);
// "UserInteractive" ... "Background", "Unknown" for other values.
CM_EXPORT const char* ThreadPolicyToString(ZarThreadPolicy aPolicy);
// The native value of a step (0 for values outside the scale). Not a result code.
CM_EXPORT int ThreadPriorityToNative(ZarThreadPriority aPriority);
// The step of a native value: <= -2 Lowest, -1, 0, 1, 2, >= 3 TimeCritical.
CM_EXPORT ZarThreadPriority ThreadPriorityFromNative(int aNative);
CM_EXPORT int GetThreadPriorityMin();
CM_EXPORT int GetThreadPriorityMax();

// ZAR_E_INVALIDARG for an invalid (null or all-bits-set) handle or one that
// names no thread of this process, ZAR_E_FAIL when the system refuses,
// else 0.
CM_EXPORT int SetThreadPriorityByHandle(void* aHandle, ZarThreadPriority aPriority);
CM_EXPORT int SetThreadPriorityRawByHandle(void* aHandle, int aNative);
// aNative = 0x7fffffff and ZAR_E_FAIL when the read fails.
CM_EXPORT int GetThreadPriorityRawByHandle(void* aHandle, int& aNative);

CM_EXPORT int SetCurrentThreadPriority(ZarThreadPriority aPriority);
CM_EXPORT int SetCurrentThreadPriorityRaw(int aNative);
// aPriority is left untouched on failure.
CM_EXPORT int GetCurrentThreadPriority(ZarThreadPriority& aPriority);
CM_EXPORT int GetCurrentThreadPriorityRaw(int& aNative);

// ZAR_E_INVALIDARG for an id that names no thread of this process (0, one
// wider than 32 bits, a thread of another process or none at all),
// ZAR_E_FAIL when the system refuses (no privilege to raise it), else 0.
CM_EXPORT int SetThreadPriorityById(unsigned long aId, ZarThreadPriority aPriority);
CM_EXPORT int SetThreadPriorityRawById(unsigned long aId, int aNative);

// Not supported on this platform: an info line, ZAR_E_NOTIMPL, nothing changed.
CM_EXPORT int GetThreadPolicyByHandle(void* aHandle, ZarThreadPolicy& aPolicy);
CM_EXPORT int SetThreadPolicyByHandle(void* aHandle, ZarThreadPolicy aPolicy);
CM_EXPORT int GetCurrentThreadPolicy(ZarThreadPolicy& aPolicy);
CM_EXPORT int SetCurrentThreadPolicy(ZarThreadPolicy aPolicy);

// aHandle = the handle of thread aId of this process, or null with
// ZAR_E_FAIL when there is no such thread. Close it with CloseThreadHandle.
CM_EXPORT int OpenThreadHandleFromId(unsigned long aId, void*& aHandle);
CM_EXPORT int CloseThreadHandle(void* aHandle);
CM_EXPORT int GetThreadIdFromHandle(void* aHandle, unsigned long& aId);
CM_EXPORT int GetCurrentThreadIdNative(unsigned long long& aId);
CM_EXPORT int GetCurrentThreadId(unsigned long& aId);
CM_EXPORT int GetCurrentThreadHandle(void*& aHandle);

// The handle of thread aId without any check (what ACmThread stores).
inline void* CmThreadHandleFromId(unsigned long aId) { return reinterpret_cast<void*>(static_cast<uintptr_t>(aId)); }

#endif  // CM_THREAD_PRIORITY_H
