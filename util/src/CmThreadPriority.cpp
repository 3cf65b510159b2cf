// Thread priorities over the kernel's per-thread nice values. The mapping is
// described in CmThreadPriority.h: handle = kernel thread id, native
// priority = -nice.
#include "CmThreadPriority.h"

#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformThread.h"

namespace {

uint32_t TidOfHandle(void* aHandle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(aHandle)); }

bool IsInvalidHandle(void* aHandle) { return aHandle == nullptr || aHandle == reinterpret_cast<void*>(~uintptr_t(0)); }

// A handle or id reaches only threads of this process: the kernel would
// otherwise renice any thread of the system for a privileged process.
// (A thread that ends between the check and the call leaves its id to the
// kernel's reuse delay, as any id-based call does.)
bool IsOwnThread(uintptr_t aId) {
  return aId != 0 && aId <= 0xffffffffu && cm_platform::ThreadExists(static_cast<uint32_t>(aId));
}

bool IsUsableHandle(void* aHandle) {
  return !IsInvalidHandle(aHandle) && IsOwnThread(reinterpret_cast<uintptr_t>(aHandle));
}

// The native priority of thread aTid, or kZarThreadPriorityUnknown.
int ReadNative(uint32_t aTid) {
  int nice;
  if (!cm_platform::GetThreadNice(aTid, nice)) return kZarThreadPriorityUnknown;
  return -nice;
}

bool WriteNative(uint32_t aTid, int aNative) { return cm_platform::SetThreadNice(aTid, -aNative); }

// Every refused system call reports through here: "<function>: <what>
// failed, error=<errno>".
int ReportFailure(const char* aFunction, const char* aWhat) {
  CM_ERROR_TRACE(aFunction << ": " << aWhat << " failed, error=" << cm_platform::LastError());
  return ZAR_E_FAIL;
}

int ReportInvalidHandle(const char* aFunction) {
  CM_ERROR_TRACE(aFunction << ": Invalid handle");
  return ZAR_E_INVALIDARG;
}

int PolicyNotSupported(const char* aFunction) {
  CM_INFO_TRACE(aFunction << ": Thread policy is not supported on Linux");
  return ZAR_E_NOTIMPL;
}

int SetCurrentNative(const char* aFunction, int aNative, const char* aStepText) {
  const uint32_t tid = cm_platform::CurrentThreadId();
  const int oldNative = ReadNative(tid);
  if (!WriteNative(tid, aNative)) return ReportFailure(aFunction, "SetThreadPriority");
  const int newNative = ReadNative(tid);
  if (aStepText) {
    CM_INFO_TRACE(aFunction << ": Priority changed from " << oldNative << " to " << newNative << " (" << aStepText
                            << ")");
  } else {
    CM_INFO_TRACE(aFunction << ": Priority changed from " << oldNative << " to " << newNative);
  }
  return ZAR_S_OK;
}

}  // namespace

const char* ThreadPriorityToString(ZarThreadPriority aPriority) {
  switch (aPriority) {
    case ZarThreadPriority_Lowest: return "Lowest";
    case ZarThreadPriority_BelowNormal: return "BelowNormal";
    case ZarThreadPriority_Normal: return "Normal";
    case ZarThreadPriority_AboveNormal: return "AboveNormal";
    case ZarThreadPriority_Highest: return "Highest";
    case ZarThreadPriority_TimeCritical: return "TimeCritical";
  }
  return "Unknown";
}

const char* ThreadPolicyToString(ZarThreadPolicy aPolicy) {
  switch (aPolicy) {
    case ZarThreadPolicy_UserInteractive: return "UserInteractive";
    case ZarThreadPolicy_UserInitiated: return "UserInitiated";
    case ZarThreadPolicy_Default: return "Default";
    case ZarThreadPolicy_Utility: return "Utility";
    case ZarThreadPolicy_Background: return "Background";
  }
  return "Unknown";
}

int ThreadPriorityToNative(ZarThreadPriority aPriority) {
  switch (aPriority) {
    case ZarThreadPriority_Lowest: return -2;
    case ZarThreadPriority_BelowNormal: return -1;
    case ZarThreadPriority_Normal: return 0;
    case ZarThreadPriority_AboveNormal: return 1;
    case ZarThreadPriority_Highest: return 2;
    case ZarThreadPriority_TimeCritical: return 15;
  }
  return 0;
}

ZarThreadPriority ThreadPriorityFromNative(int aNative) {
  if (aNative <= -2) return ZarThreadPriority_Lowest;
  if (aNative >= 3) return ZarThreadPriority_TimeCritical;
  return static_cast<ZarThreadPriority>(aNative + 2);
}

int GetThreadPriorityMin() { return -15; }
int GetThreadPriorityMax() { return 15; }

int SetThreadPriorityByHandle(void* aHandle, ZarThreadPriority aPriority) {
  if (!IsUsableHandle(aHandle)) return ReportInvalidHandle("SetThreadPriorityByHandle");
  if (!WriteNative(TidOfHandle(aHandle), ThreadPriorityToNative(aPriority))) {
    return ReportFailure("SetThreadPriorityByHandle", "SetThreadPriority");
  }
  CM_INFO_TRACE("SetThreadPriorityByHandle: Priority set to " << ThreadPriorityToString(aPriority));
  return ZAR_S_OK;
}

int SetThreadPriorityRawByHandle(void* aHandle, int aNative) {
  if (!IsUsableHandle(aHandle)) return ReportInvalidHandle("SetThreadPriorityRawByHandle");
  if (!WriteNative(TidOfHandle(aHandle), aNative)) return ReportFailure("SetThreadPriorityRawByHandle", "SetThreadPriority");
  CM_INFO_TRACE("SetThreadPriorityRawByHandle: Priority set to " << aNative);
  return ZAR_S_OK;
}

int GetThreadPriorityRawByHandle(void* aHandle, int& aNative) {
  if (!IsUsableHandle(aHandle)) return ReportInvalidHandle("GetThreadPriorityRawByHandle");
  aNative = ReadNative(TidOfHandle(aHandle));
  if (aNative == kZarThreadPriorityUnknown) {
    CM_ERROR_TRACE("GetThreadPriorityRawByHandle: GetThreadPriority failed");
    return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

int SetCurrentThreadPriority(ZarThreadPriority aPriority) {
  return SetCurrentNative("SetCurrentThreadPriority", ThreadPriorityToNative(aPriority),
                          ThreadPriorityToString(aPriority));
}

int SetCurrentThreadPriorityRaw(int aNative) { return SetCurrentNative("SetCurrentThreadPriorityRaw", aNative, nullptr); }

int GetCurrentThreadPriority(ZarThreadPriority& aPriority) {
  const int native = ReadNative(cm_platform::CurrentThreadId());
  if (native == kZarThreadPriorityUnknown) {
    CM_ERROR_TRACE("GetCurrentThreadPriority: GetThreadPriority failed");
    return ZAR_E_FAIL;
  }
  aPriority = ThreadPriorityFromNative(native);
  return ZAR_S_OK;
}

int GetCurrentThreadPriorityRaw(int& aNative) {
  aNative = ReadNative(cm_platform::CurrentThreadId());
  if (aNative == kZarThreadPriorityUnknown) {
    CM_ERROR_TRACE("GetCurrentThreadPriorityRaw: GetThreadPriority failed");
    return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

int SetThreadPriorityById(unsigned long aId, ZarThreadPriority aPriority) {
  if (!IsOwnThread(aId)) {
    CM_ERROR_TRACE("SetThreadPriorityById: Invalid thread id " << aId);
    return ZAR_E_INVALIDARG;
  }
  if (!WriteNative(static_cast<uint32_t>(aId), ThreadPriorityToNative(aPriority))) {
    return ReportFailure("SetThreadPriorityById", "SetThreadPriority");
  }
  CM_INFO_TRACE("SetThreadPriorityById: Priority set to " << ThreadPriorityToString(aPriority));
  return ZAR_S_OK;
}

int SetThreadPriorityRawById(unsigned long aId, int aNative) {
  if (!IsOwnThread(aId)) {
    CM_ERROR_TRACE("SetThreadPriorityRawById: Invalid thread id " << aId);
    return ZAR_E_INVALIDARG;
  }
  if (!WriteNative(static_cast<uint32_t>(aId), aNative)) return ReportFailure("SetThreadPriorityRawById", "SetThreadPriority");
  CM_INFO_TRACE("SetThreadPriorityRawById: Priority set to " << aNative);
  return ZAR_S_OK;
}

int GetThreadPolicyByHandle(void* /*aHandle*/, ZarThreadPolicy& /*aPolicy*/) {
  return PolicyNotSupported("GetThreadPolicyByHandle");
}
int SetThreadPolicyByHandle(void* /*aHandle*/, ZarThreadPolicy /*aPolicy*/) {
  return PolicyNotSupported("SetThreadPolicyByHandle");
}
int GetCurrentThreadPolicy(ZarThreadPolicy& /*aPolicy*/) { return PolicyNotSupported("GetCurrentThreadPolicy"); }
int SetCurrentThreadPolicy(ZarThreadPolicy /*aPolicy*/) { return PolicyNotSupported("SetCurrentThreadPolicy"); }

int OpenThreadHandleFromId(unsigned long aId, void*& aHandle) {
  // Ids beyond 32 bits name no thread; 0 makes the check fail with ESRCH.
  const uint32_t tid = aId > 0xffffffffUL ? 0 : static_cast<uint32_t>(aId);
  if (!cm_platform::ThreadExists(tid)) {
    aHandle = nullptr;
    return ReportFailure("OpenThreadHandleFromId", "OpenThread");
  }
  aHandle = CmThreadHandleFromId(tid);
  return ZAR_S_OK;
}

int CloseThreadHandle(void* aHandle) {
  if (IsInvalidHandle(aHandle)) return ReportInvalidHandle("CloseThreadHandle");
  return ZAR_S_OK;
}

int GetThreadIdFromHandle(void* aHandle, unsigned long& aId) {
  if (IsInvalidHandle(aHandle)) return ReportInvalidHandle("GetThreadIdFromHandle");
  aId = TidOfHandle(aHandle);
  if (aId == 0) {
    cm_platform::ThreadExists(0);  // sets the last error
    return ReportFailure("GetThreadIdFromHandle", "GetThreadId");
  }
  return ZAR_S_OK;
}

int GetCurrentThreadIdNative(unsigned long long& aId) {
  aId = cm_platform::CurrentThreadId();
  return ZAR_S_OK;
}

int GetCurrentThreadId(unsigned long& aId) {
  aId = cm_platform::CurrentThreadId();
  return ZAR_S_OK;
}

int GetCurrentThreadHandle(void*& aHandle) {
  aHandle = CmThreadHandleFromId(cm_platform::CurrentThreadId());
  return ZAR_S_OK;
}
