// POSIX implementation of identity, loaded objects and the module loader of
// CmPlatform.h.
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/CmPlatform.h"

namespace cm_platform {

namespace {

// gettid() and getpid() are system calls on every call; the ids change only
// in a forked child, whose one thread is the one that called fork: the
// fork handler forgets both there. Every event construction reads the
// thread id: a word in the static TLS block (no lookup call, no
// initialisation guard), 0 until first read.
thread_local uint32_t t_nThreadId __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<uint32_t> g_nProcessId{0};

void ForgetIdsInChild() {
  t_nThreadId = 0;
  g_nProcessId.store(0, std::memory_order_relaxed);
}

void InstallForkHandler() {
  static const bool s_bInstalled = pthread_atfork(nullptr, nullptr, ForgetIdsInChild) == 0;
  (void)s_bInstalled;
}

}  // namespace

uint32_t CurrentThreadId() {
  if (t_nThreadId == 0) {
    InstallForkHandler();
    t_nThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
  }
  return t_nThreadId;
}

uint32_t CurrentProcessId() {
  uint32_t pid = g_nProcessId.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  InstallForkHandler();
  pid = static_cast<uint32_t>(getpid());
  g_nProcessId.store(pid, std::memory_order_relaxed);
  return pid;
}

int LastError() { return errno; }

void SetLastError(int aError) { errno = aError; }

bool ModulePathOfAddress(const void* aAddress, std::string& aPath) {
  Dl_info info;
  if (!aAddress || dladdr(aAddress, &info) == 0 || !info.dli_fname || !*info.dli_fname) return false;
  aPath = info.dli_fname;
  return true;
}

std::string OwnModulePath() {
  std::string path;
  ModulePathOfAddress(reinterpret_cast<const void*>(&OwnModulePath), path);
  return path;
}

void* ModuleOpen(const char* aPath) { return dlopen(aPath, RTLD_NOW | RTLD_LOCAL); }

void* ModuleSymbol(void* aModule, const char* aName) { return aModule ? dlsym(aModule, aName) : nullptr; }

void ModuleClose(void* aModule) {
  if (aModule) dlclose(aModule);
}

int CaptureStack(void** aFrames, int aMaxFrames) { return backtrace(aFrames, aMaxFrames); }

}  // namespace cm_platform

void* zar_load_library_s(const char* aFileName, int aPathKind, int aFlags) {
  if (!aFileName || !*aFileName || strchr(aFileName, '/') || aPathKind != 0 || aFlags != 0) return nullptr;
  const std::string own = cm_platform::OwnModulePath();
  const size_t slash = own.rfind('/');
  if (slash == std::string::npos) return nullptr;
  const std::string path = own.substr(0, slash + 1) + aFileName;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return nullptr;
  return cm_platform::ModuleOpen(path.c_str());
}
