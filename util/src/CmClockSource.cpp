// The clock source: the platform's clocks unless a test installed others.
#include "CmClockSource.h"

namespace cm_clock {

std::atomic<ICmClockSource*> g_pSource{nullptr};

void SetSourceForTesting(ICmClockSource* aSource) { g_pSource.store(aSource, std::memory_order_release); }

void SleepMs(unsigned aMs) {
  if (ICmClockSource* source = g_pSource.load(std::memory_order_acquire)) {
    source->SleepMs(aMs, nullptr);
  } else {
    cm_platform::SleepMs(aMs);
  }
}

bool SleepMs(unsigned aMs, CCmEventThread& aWake) {
  if (ICmClockSource* source = g_pSource.load(std::memory_order_acquire)) return source->SleepMs(aMs, &aWake);
  CCmTimeValue timeout;
  timeout.SetByTotalMsec(static_cast<long>(aMs));
  return aWake.Wait(&timeout) == ZAR_S_OK;
}

}  // namespace cm_clock

CCmWakeableSleep& CCmWakeableSleep::In(std::atomic<CCmWakeableSleep*>& aSlot) {
  CCmWakeableSleep* sleep = aSlot.load(std::memory_order_acquire);
  if (sleep) return *sleep;
  CCmWakeableSleep* made = new CCmWakeableSleep;
  if (aSlot.compare_exchange_strong(sleep, made, std::memory_order_acq_rel)) return *made;
  delete made;  // another thread's came first
  return *sleep;
}
