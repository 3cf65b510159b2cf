// Core types, locks and the trace path.
#include <atomic>
#include <thread>
#include <vector>

#include "CmConditionVariable.h"
#include "CmDebug.h"
#include "CmMutex.h"
#include "CmQloTrace.h"
#include "CmTimeValue.h"
#include "CmTrace.h"
#include "Demo.h"
#include "ThreadWaiter.h"

namespace {

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

}  // namespace

int DemoCore() {
  int failures = 0;

  DemoTitle("Trace path");
  printf("  library module name: %s\n", CmGetUtilModuleName());
  printf("  mask %u, option 0x%x: levels 0..2 are produced\n", get_external_trace_mask(), cm_get_trace_option());
  CM_ERROR_TRACE("demo, an error line with a number " << 42 << " and hex 0x" << CCmOrdix(0) << 255u);
  CM_WARNING_TRACE("demo, a warning with a time " << 1.25 << " s");
  CM_INFO_TRACE("demo, an info line");
  CM_DEBUG_TRACE("demo, a debug line: not produced at mask 2");
  set_external_trace_mask(4);
  CM_DEBUG_TRACE("demo, a debug line: produced at mask 4");
  set_external_trace_mask(2);
  const unsigned asserts = cm_get_assertions_count();
  CM_ASSERTE(asserts == 12345);  // fails on purpose: a line, a count, no stop
  failures += Check(cm_get_assertions_count() == asserts + 1, "failed assertion counted and traced");
  printf("  outside trace library \"%s\" loaded: %s\n", CM_QLO_TRACE_LIBRARY_NAME,
         CCmQloTrace::instance()->IsLoadDllSuccessfully() ? "yes" : "no (optional)");

  DemoTitle("Time values");
  const CCmTimeValue now = CCmTimeValue::GetTimeOfDay();
  tm local{};
  now.GetLocalTime(&local);
  printf("  now: %ld s %ld us (local %04d-%02d-%02d %02d:%02d:%02d)\n", now.GetSec(), now.GetUsec(),
         local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  const CCmTimeValue a(0, 1500000), b(2, -1), c(-1.5);
  printf("  (0, 1500000) -> (%ld, %ld); (2, -1) -> (%ld, %ld); -1.5 -> (%ld, %ld)\n", a.GetSec(), a.GetUsec(),
         b.GetSec(), b.GetUsec(), c.GetSec(), c.GetUsec());
  failures += Check(a == CCmTimeValue(1, 500000) && b == CCmTimeValue(1, 999999), "normalisation");
  failures += Check(CCmTimeValue(1, 999999).GetTotalInMsec() == 1999, "truncating millisecond conversion");

  DemoTitle("Locks and waitable objects");
  CCmMutexThread mutex;
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CCmMutexGuardT<CCmMutexThread> guard(mutex);
        ++counter;
      }
    });
  }
  for (auto& w : workers) w.join();
  failures += Check(counter == 40000, "4 threads x 10000 increments under CCmMutexThread");

  CCmConditionVariableThread cond(mutex);
  std::atomic<int> waiting{0}, woken{0};
  std::vector<std::thread> waiters;
  for (int t = 0; t < 3; ++t) {
    waiters.emplace_back([&] {
      mutex.Lock();
      ++waiting;
      if (cond.Wait(nullptr) == 0) ++woken;
      mutex.UnLock();
    });
  }
  while (waiting.load() < 3) std::this_thread::yield();
  mutex.Lock();
  cond.Broadcast();
  mutex.UnLock();
  for (auto& w : waiters) w.join();
  failures += Check(woken.load() == 3, "Broadcast released 3 waiters and waited for them");

  CCmEventThread event;
  CCmTimeValue halfMs(0, 500);
  failures += Check(event.Wait(&halfMs) == ZAR_E_TIMEOUT, "0.5 ms event wait times out (after 1 ms)");
  ThreadWaiter latch(2);
  std::thread([&] { latch.Finished(); }).join();
  std::thread([&] { latch.Finished(); }).join();
  failures += Check(latch.WaitUntilTimeout(std::chrono::milliseconds(100)), "ThreadWaiter released by 2 arrivals");
  return failures;
}
