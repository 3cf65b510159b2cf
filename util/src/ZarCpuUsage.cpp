#include "ZarCpuUsage.h"

#include <algorithm>
#include <cstring>

#include "CmClock.h"
#include "platform/CmPlatformProc.h"

namespace {

constexpr unsigned kMaxRecordEntries = sizeof(zar::_tagZarCPUUsage::threads) / sizeof(zar::_tagZarThreadCPUUsage);
constexpr size_t kMaxNameBytes = sizeof(zar::_tagZarThreadCPUUsage::name) - 1;

void SetTaskTimes(const cm_platform::TaskCpuTimes& aTimes, ProcessSystemTimes& aSample) {
  aSample.kernel = aTimes.kernel;
  aSample.user = aTimes.user;
  aSample.creation = aTimes.creation;
  aSample.exit = 0;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at aText (aLeft bytes remain), or
// 0 when it is not one (overlong forms, surrogates, beyond U+10FFFF).
size_t Utf8SequenceLength(const unsigned char* aText, size_t aLeft) {
  const unsigned char c = aText[0];
  if (c < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) length = 2;
  else if (c >= 0xE0 && c <= 0xEF) length = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
  else if (c >= 0xF0 && c <= 0xF4) length = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || aLeft < length || aText[1] < low || aText[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(aText[i])) return 0;
  }
  return length;
}

// Longest prefix of the well-formed UTF-8 text aName within aLimit bytes
// that does not end inside a sequence.
size_t Utf8Prefix(const std::string& aName, size_t aLimit) {
  if (aName.size() <= aLimit) return aName.size();
  size_t length = aLimit;
  while (length > 0 && IsContinuation(static_cast<unsigned char>(aName[length]))) --length;
  return length;
}

}  // namespace

uint64_t ZarWallClock100ns() { return static_cast<uint64_t>(timer_policy::now()) * 10; }

bool ZarTakeSystemSample(ProcessSystemTimes& aSample) {
  aSample = ProcessSystemTimes();
  aSample.wallClock = ZarWallClock100ns();
  cm_platform::SystemCpuTimes times;
  if (!cm_platform::ReadSystemCpuTimes(times)) return false;
  aSample.systemIdle = times.idle;
  aSample.systemKernel = times.kernel;
  aSample.systemUser = times.user;
  return true;
}

bool ZarTakeProcessSample(ProcessSystemTimes& aSample) {
  aSample = ProcessSystemTimes();
  aSample.wallClock = ZarWallClock100ns();
  cm_platform::TaskCpuTimes times;
  if (!cm_platform::ReadProcessCpuTimes(times)) return false;
  SetTaskTimes(times, aSample);
  return true;
}

int ZarSystemCpuUsage(const ProcessSystemTimes& a, const ProcessSystemTimes& b) {
  // Counters are unsigned; a counter that went back shows as a negative
  // delta through the two's-complement difference.
  const int64_t idle = static_cast<int64_t>(b.systemIdle - a.systemIdle);
  const int64_t total =
      static_cast<int64_t>(b.systemKernel - a.systemKernel) + static_cast<int64_t>(b.systemUser - a.systemUser);
  if (total == 0) return 2;
  if (total < 0) return 3;
  const int64_t clampedIdle = std::min(std::max<int64_t>(idle, 0), total);
  return static_cast<int>(static_cast<__int128>(total - clampedIdle) * 100 / total);
}

float ZarProcessCpuUsage(const ProcessSystemTimes& a, const ProcessSystemTimes& b, unsigned aProcessors) {
  if (a.wallClock == b.wallClock || aProcessors == 0) return 2.0f;
  const double busy = static_cast<double>(static_cast<int64_t>(b.kernel - a.kernel)) +
                      static_cast<double>(static_cast<int64_t>(b.user - a.user));
  const double wall = static_cast<double>(static_cast<int64_t>(b.wallClock - a.wallClock));
  const double percent = busy * 100.0 / (static_cast<double>(aProcessors) * wall);
  return static_cast<float>(std::min(std::max(percent, 0.0), 100.0));
}

std::string ZarThreadEntryName(uint32_t aTid, uint32_t aHandle, const std::string& aName) {
  std::string entry = std::to_string(aTid) + "-" + std::to_string(aHandle) + "-";
  const unsigned char* text = reinterpret_cast<const unsigned char*>(aName.data());
  for (size_t i = 0; i < aName.size();) {
    const size_t length = Utf8SequenceLength(text + i, aName.size() - i);
    if (length == 0 || text[i] == '\0') {
      entry += '?';
      ++i;
    } else {
      entry.append(aName, i, length);
      i += length;
    }
  }
  return entry;
}

bool ZarListThreads(std::vector<THREADITEM>& aThreads) {
  aThreads.clear();
  std::vector<cm_platform::ThreadCpuTimes> threads;
  const uint64_t wall = ZarWallClock100ns();
  if (!cm_platform::ReadAllThreadCpuTimes(threads)) return false;
  aThreads.resize(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) {
    THREADITEM& item = aThreads[i];
    item.handle = threads[i].tid;
    item.name = ZarThreadEntryName(threads[i].tid, item.handle, threads[i].name);
    item.sample.wallClock = wall;
    SetTaskTimes(threads[i].times, item.sample);
  }
  return true;
}

void ZarFinishThreads(std::vector<THREADITEM>& aThreads, unsigned aProcessors) {
  const uint64_t wall = ZarWallClock100ns();
  size_t kept = 0;
  for (THREADITEM& item : aThreads) {
    cm_platform::ThreadCpuTimes now;
    if (!cm_platform::ReadThreadCpuTimes(item.handle, now) || now.times.creation != item.sample.creation) continue;
    ProcessSystemTimes second;
    second.wallClock = wall;
    SetTaskTimes(now.times, second);
    item.cpuUsage = ZarProcessCpuUsage(item.sample, second, aProcessors);
    if (&aThreads[kept] != &item) aThreads[kept] = std::move(item);
    ++kept;
  }
  aThreads.resize(kept);
}

void ZarStoreBusiestThreads(std::vector<THREADITEM>& aThreads, unsigned aMaxEntries, zar::_tagZarCPUUsage& aRecord) {
  std::stable_sort(aThreads.begin(), aThreads.end(),
                   [](const THREADITEM& x, const THREADITEM& y) { return x.cpuUsage > y.cpuUsage; });
  const size_t count = std::min<size_t>({aThreads.size(), aMaxEntries, kMaxRecordEntries});
  std::memset(aRecord.threads, 0, sizeof(aRecord.threads));
  for (size_t i = 0; i < count; ++i) {
    zar::_tagZarThreadCPUUsage& entry = aRecord.threads[i];
    const size_t length = Utf8Prefix(aThreads[i].name, kMaxNameBytes);
    std::memcpy(entry.name, aThreads[i].name.data(), length);
    entry.cpuUsage = aThreads[i].cpuUsage;
  }
  aRecord.threadCount = static_cast<uint16_t>(count);
}
