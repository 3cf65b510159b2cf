// zarutil_consumer: a program built against an installed libzarutil.so, the
// way an engine module uses it. A task thread fills a message block from a
// posted event and signals the main thread, which reads the block back.
// Exit status 0 means every step saw what it expected.
#include <cstdio>
#include <cstring>

#include "CmConditionVariable.h"
#include "CmMessageBlock.h"
#include "CmThread.h"
#include "CmUtilTemplates.h"
#include "CmVersion.h"

namespace {

// Thread types are the host's to choose; this one marks the consumer's worker.
constexpr int kWorkerType = 100;

int Check(bool aOk, const char* aWhat) {
  printf("  %-52s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

}  // namespace

int main() {
  int failures = 0;
  printf("zarutil %s (compiled against %s)\n", zar_util_version(), ZARUTIL_VERSION);
  failures += Check(strcmp(zar_util_version(), ZARUTIL_VERSION) == 0, "loaded library is the installed release");

  CCmThreadTask* worker = new CCmThreadTask;
  failures += Check(worker->Create("consumer", kWorkerType) == ZAR_S_OK, "task thread created");

  const char kText[] = "hello from the worker";
  CCmMessageBlock block(64);
  CCmEventThread filled;
  unsigned long workerTid = 0;
  const int posted = worker->GetEventQueue()->PostEvent(CmMakeInvokeEvent([&] {
    workerTid = GetThreadSelfId();
    const int rv = block.Write(kText, sizeof(kText));
    filled.Signal();
    return rv;
  }));
  failures += Check(posted == ZAR_S_OK, "event posted to the task thread");
  CCmTimeValue limit(10L, 0L);
  failures += Check(filled.Wait(&limit) == ZAR_S_OK, "event fired within 10 s");
  failures += Check(workerTid != 0 && workerTid == worker->GetThreadId(), "event fired on the task thread");

  char text[sizeof(kText)] = {};
  unsigned long read = 0;
  failures += Check(block.Read(text, sizeof(text), &read) == ZAR_S_OK && read == sizeof(kText) &&
                        strcmp(text, kText) == 0,
                    "message block holds the worker's text");

  worker->Stop(nullptr);
  worker->Join();
  worker->Destory(ZAR_S_OK);
  CCmCleanUpBase::CleanupAll();

  printf("%s\n", failures == 0 ? "consumer: all steps passed" : "consumer: some steps FAILED");
  return failures == 0 ? 0 : 1;
}
