// POSIX/Linux implementation of CmPlatformThread.h.
//
// ThreadStart hands the new thread a small shared start block; the thread
// publishes its gettid() through it and only then runs the procedure. The
// block is reference-counted by shared_ptr because either side may be the
// last to let go of it.
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/CmPlatform.h"
#include "platform/CmPlatformThread.h"

namespace cm_platform {
namespace {

struct StartBlock {
  ThreadProc proc;
  void* arg;
  std::atomic<uint32_t>* tid;
  std::mutex mutex;
  std::condition_variable cond;
  bool published = false;  // guarded by mutex
};

void* Trampoline(void* aBlock) {
  std::shared_ptr<StartBlock>* owned = static_cast<std::shared_ptr<StartBlock>*>(aBlock);
  std::shared_ptr<StartBlock> block = std::move(*owned);
  delete owned;
  const ThreadProc proc = block->proc;
  void* const arg = block->arg;
  block->tid->store(CurrentThreadId());
  {
    std::lock_guard<std::mutex> lock(block->mutex);
    block->published = true;
    block->cond.notify_one();
  }
  block.reset();
  proc(arg);
  return nullptr;
}

// Length of the longest prefix of aName within aLimit bytes that does not
// end inside a UTF-8 sequence.
size_t Utf8Prefix(const char* aName, size_t aLimit) {
  size_t len = strlen(aName);
  if (len <= aLimit) return len;
  len = aLimit;
  // Step back over continuation bytes, then over the lead byte they belong to.
  while (len > 0 && (static_cast<unsigned char>(aName[len]) & 0xC0) == 0x80) --len;
  return len;
}

}  // namespace

bool ThreadStart(ThreadProc aProc, void* aArg, std::atomic<uint32_t>* aTid) {
  if (!aProc || !aTid) {
    errno = EINVAL;
    return false;
  }
  std::shared_ptr<StartBlock> block(new (std::nothrow) StartBlock);
  if (!block) {
    errno = ENOMEM;
    return false;
  }
  block->proc = aProc;
  block->arg = aArg;
  block->tid = aTid;
  auto* forThread = new (std::nothrow) std::shared_ptr<StartBlock>(block);
  if (!forThread) {
    errno = ENOMEM;
    return false;
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, &Trampoline, forThread);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete forThread;
    errno = rc;
    return false;
  }
  std::unique_lock<std::mutex> lock(block->mutex);
  block->cond.wait(lock, [&] { return block->published; });
  return true;
}

bool SetCurrentThreadName(const char* aName) {
  if (!aName) {
    errno = EINVAL;
    return false;
  }
  char name[16];
  const size_t len = Utf8Prefix(aName, sizeof(name) - 1);
  memcpy(name, aName, len);
  name[len] = '\0';
  const int rc = pthread_setname_np(pthread_self(), name);
  if (rc != 0) errno = rc;
  return rc == 0;
}

bool CurrentThreadName(std::string& aName) {
  char name[64];
  const int rc = pthread_getname_np(pthread_self(), name, sizeof(name));
  if (rc != 0) {
    errno = rc;
    return false;
  }
  aName = name;
  return true;
}

bool ThreadExists(uint32_t aTid) {
  if (aTid == 0) {
    errno = ESRCH;
    return false;
  }
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/task/%u", aTid);
  struct stat st;
  if (stat(path, &st) != 0) {
    errno = ESRCH;
    return false;
  }
  return true;
}

bool GetThreadNice(uint32_t aTid, int& aNice) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(aTid));
  // -1 is also a valid nice value; only errno tells a failure apart.
  if (nice == -1 && errno != 0) return false;
  aNice = nice;
  return true;
}

bool SetThreadNice(uint32_t aTid, int aNice) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(aTid), aNice) == 0;
}

}  // namespace cm_platform
