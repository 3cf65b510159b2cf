// The kernel's accounting texts of any shape. Every parser takes the raw
// input and either refuses it or gives well-formed values; a stat line built
// from numbers and a thread name of the input (any bytes) parses back to
// exactly those; a /proc/stat line built from the input's numbers converts
// exactly when the result fits and is refused otherwise; and the thread
// entry names made from the name are UTF-8 that the sanitiser leaves alone,
// also after the record cut them to 259 bytes.
//
// Input: the whole text for the parsers; for the models, 36 bytes of numbers
// (utime, stime, start ticks, eight bytes each; pid and ticks per second,
// four bytes each, little-endian), then the thread name.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "ZarCpuUsage.h"
#include "platform/CmPlatformProc.h"

using namespace cm_platform;

namespace {

uint64_t ReadLE(const uint8_t* aData, int aBytes) {
  uint64_t v = 0;
  for (int i = aBytes - 1; i >= 0; --i) v = (v << 8) | aData[i];
  return v;
}

void RawText(std::string_view aText) {
  TaskStatFields fields;
  if (ParseTaskStat(aText, fields)) {
    const size_t open = aText.find('('), close = aText.rfind(')');
    FUZZ_CHECK(open < close && fields.name == aText.substr(open + 1, close - open - 1));
  }
  SystemCpuTimes system;
  if (ParseProcStatCpu(aText, 100, system)) FUZZ_CHECK(system.kernel >= system.idle && system.idle % 100000 == 0);
  MemoryStatus memory;
  if (ParseMemInfo(aText, memory)) FUZZ_CHECK(memory.availableBytes <= memory.totalBytes && memory.totalBytes % 1024 == 0);
  uint64_t pages = 0;
  ParseStatmResidentPages(aText, pages);
}

// A stat line of the model's numbers and name parses back to them.
void StatLineModel(uint64_t aUtime, uint64_t aStime, uint64_t aStart, uint32_t aPid, const std::string& aName) {
  const std::string line = std::to_string(aPid) + " (" + aName + ") R 1 1 1 0 -1 4194304 99 0 0 0 " +
                           std::to_string(aUtime) + " " + std::to_string(aStime) + " 0 0 20 0 1 0 " +
                           std::to_string(aStart) + " 3133440 380\n";
  TaskStatFields fields;
  FUZZ_CHECK(ParseTaskStat(line, fields));
  FUZZ_CHECK(fields.pid == aPid && fields.name == aName);
  FUZZ_CHECK(fields.utimeTicks == aUtime && fields.stimeTicks == aStime && fields.startTicks == aStart);
}

// A /proc/stat line of the model's numbers: converted exactly when it fits.
void CpuLineModel(uint64_t aUser, uint64_t aSystem, uint64_t aIdle, uint64_t aHz) {
  const std::string line = "cpu  " + std::to_string(aUser) + " 0 " + std::to_string(aSystem) + " " +
                           std::to_string(aIdle) + " 0 0 0 0 0 0\ncpu0 1 2 3 4\n";
  const unsigned __int128 kernelTicks = static_cast<unsigned __int128>(aSystem) + aIdle;
  SystemCpuTimes times;
  const bool parsed = ParseProcStatCpu(line, aHz, times);
  if (aHz == 0 || kernelTicks > UINT64_MAX) {
    FUZZ_CHECK(!parsed);
    return;
  }
  const unsigned __int128 unit = 10000000;
  const unsigned __int128 user = aUser * unit / aHz, idle = aIdle * unit / aHz, kernel = kernelTicks * unit / aHz;
  FUZZ_CHECK(parsed == (user <= UINT64_MAX && idle <= UINT64_MAX && kernel <= UINT64_MAX));
  if (parsed) FUZZ_CHECK(times.user == user && times.idle == idle && times.kernel == kernel);
}

// Sanitised names stay as they are when sanitised again, also once cut.
void EntryNameModel(uint32_t aTid, const std::string& aName) {
  const std::string prefix = std::to_string(aTid) + "-" + std::to_string(aTid) + "-";
  const std::string entry = ZarThreadEntryName(aTid, aTid, aName);
  FUZZ_CHECK(entry.compare(0, prefix.size(), prefix) == 0);
  const std::string clean = entry.substr(prefix.size());
  FUZZ_CHECK(ZarThreadEntryName(aTid, aTid, clean) == entry);

  std::vector<THREADITEM> items(1);
  items[0].name = entry;
  items[0].cpuUsage = 1.0f;
  static zar::_tagZarCPUUsage record;
  ZarStoreBusiestThreads(items, 10, record);
  const char* stored = record.threads[0].name;
  const size_t length = strnlen(stored, sizeof(record.threads[0].name));
  FUZZ_CHECK(record.threadCount == 1 && length <= 259 && entry.compare(0, length, stored) == 0);
  FUZZ_CHECK(length == entry.size() || length + 4 > 259);  // cut only to fit
  const std::string kept(stored, length);
  FUZZ_CHECK(length < prefix.size() || ZarThreadEntryName(aTid, aTid, kept.substr(prefix.size())) == kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  RawText(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (aSize < 36) return 0;
  const uint64_t a = ReadLE(aData, 8), b = ReadLE(aData + 8, 8), c = ReadLE(aData + 16, 8);
  const uint32_t pid = static_cast<uint32_t>(ReadLE(aData + 24, 4));
  const uint64_t hz = ReadLE(aData + 28, 4) & 0xFFFF;
  const std::string name(reinterpret_cast<const char*>(aData + 36), aSize - 36);
  StatLineModel(a, b, c, pid, name);
  CpuLineModel(a, b, c, hz);
  EntryNameModel(pid, name);
  return 0;
}
