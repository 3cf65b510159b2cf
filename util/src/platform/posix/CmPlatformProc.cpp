// Linux implementation of CmPlatformProc.h.
//
// The readers open, read and close one small /proc file each, into a stack
// buffer: a sample of all threads reads one "stat" file per thread through a
// descriptor of the task directory, so no path is resolved twice and nothing
// is allocated for a thread's line. Numbers are parsed by hand from
// string_views; every column that is used must be a plain decimal number
// that fits 64 bits, anything else refuses the whole text.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>

#include "platform/CmPlatformProc.h"

namespace cm_platform {

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;  // 100-ns units
// A stat line is at most a 64-byte name and 50 numbers; this holds it whole.
constexpr size_t kStatBuffer = 1536;
// /proc/stat can be long (one line per processor, interrupts); its first
// line fits easily.
constexpr size_t kSystemStatBuffer = 4096;
constexpr size_t kMemInfoBuffer = 16384;

std::atomic<const std::string*> g_pProcRoot{nullptr};
std::mutex g_RootMutex;
// Every root ever set stays alive, so a reader never sees a freed one.
std::list<std::string> g_Roots;

const char* ProcRoot() {
  const std::string* root = g_pProcRoot.load(std::memory_order_acquire);
  return root ? root->c_str() : "/proc";
}

// Reads the file aPath (relative to aDir when that is a descriptor) into
// aBuf, terminated; the byte count, or -1. A file longer than the buffer
// gives its first aCapacity - 1 bytes.
long ReadSmallFile(int aDir, const char* aPath, char* aBuf, size_t aCapacity) {
  const int fd = aDir >= 0 ? openat(aDir, aPath, O_RDONLY | O_CLOEXEC) : open(aPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t used = 0;
  while (used + 1 < aCapacity) {
    const ssize_t n = read(fd, aBuf + used, aCapacity - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return -1;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  aBuf[used] = '\0';
  return static_cast<long>(used);
}

long ReadProcFile(const char* aRelative, char* aBuf, size_t aCapacity) {
  char path[4096];
  const int len = snprintf(path, sizeof(path), "%s/%s", ProcRoot(), aRelative);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return -1;
  return ReadSmallFile(-1, path, aBuf, aCapacity);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A whole token of decimal digits that fits 64 bits.
bool ToUnsigned(std::string_view aToken, uint64_t& aValue) {
  if (aToken.empty() || aToken.size() > 20) return false;
  uint64_t value = 0;
  for (char c : aToken) {
    if (!IsDigit(c)) return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  aValue = value;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated token of aText from aPos; empty at the end.
std::string_view NextToken(std::string_view aText, size_t& aPos) {
  while (aPos < aText.size() && IsBlank(aText[aPos])) ++aPos;
  const size_t start = aPos;
  while (aPos < aText.size() && !IsBlank(aText[aPos]) && aText[aPos] != '\n') ++aPos;
  return aText.substr(start, aPos - start);
}

bool TaskTimesFromFields(const TaskStatFields& aFields, TaskCpuTimes& aTimes) {
  const uint64_t hz = ClockTicksPerSecond();
  return ClockTicksTo100ns(aFields.stimeTicks, hz, aTimes.kernel) &&
         ClockTicksTo100ns(aFields.utimeTicks, hz, aTimes.user) &&
         ClockTicksTo100ns(aFields.startTicks, hz, aTimes.creation);
}

// Reads "<tid>/stat" below the open task directory aTaskDir.
bool ReadTaskEntry(int aTaskDir, const char* aTidText, ThreadCpuTimes& aThread) {
  char path[64];
  const int len = snprintf(path, sizeof(path), "%s/stat", aTidText);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return false;
  char buf[kStatBuffer];
  const long n = ReadSmallFile(aTaskDir, path, buf, sizeof(buf));
  TaskStatFields fields;
  if (n <= 0 || !ParseTaskStat(std::string_view(buf, static_cast<size_t>(n)), fields)) return false;
  uint64_t tid = 0;
  // The line names the thread it belongs to; a mismatch is a malformed file.
  if (!ToUnsigned(aTidText, tid) || tid != fields.pid) return false;
  aThread.tid = fields.pid;
  aThread.name = std::move(fields.name);
  return TaskTimesFromFields(fields, aThread.times);
}

// Value of "aKey:" in /proc/meminfo text, in bytes.
bool MemInfoBytes(std::string_view aText, std::string_view aKey, uint64_t& aBytes) {
  size_t pos = 0;
  while (pos < aText.size()) {
    size_t end = aText.find('\n', pos);
    if (end == std::string_view::npos) end = aText.size();
    const std::string_view line = aText.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() <= aKey.size() || line.compare(0, aKey.size(), aKey) != 0 || line[aKey.size()] != ':') continue;
    size_t at = aKey.size() + 1;
    uint64_t kib = 0;
    if (!ToUnsigned(NextToken(line, at), kib) || NextToken(line, at) != "kB") return false;
    if (!NextToken(line, at).empty() || kib > UINT64_MAX / 1024) return false;
    aBytes = kib * 1024;
    return true;
  }
  return false;
}

}  // namespace

// ---- readers

uint64_t ClockTicksPerSecond() {
  static const uint64_t hz = [] {
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? static_cast<uint64_t>(ticks) : uint64_t{100};
  }();
  return hz;
}

bool ReadSystemCpuTimes(SystemCpuTimes& aTimes) {
  char buf[kSystemStatBuffer];
  const long n = ReadProcFile("stat", buf, sizeof(buf));
  return n > 0 && ParseProcStatCpu(std::string_view(buf, static_cast<size_t>(n)), ClockTicksPerSecond(), aTimes);
}

bool ReadProcessCpuTimes(TaskCpuTimes& aTimes) {
  char buf[kStatBuffer];
  const long n = ReadProcFile("self/stat", buf, sizeof(buf));
  TaskStatFields fields;
  return n > 0 && ParseTaskStat(std::string_view(buf, static_cast<size_t>(n)), fields) &&
         TaskTimesFromFields(fields, aTimes);
}

bool ReadAllThreadCpuTimes(std::vector<ThreadCpuTimes>& aThreads) {
  aThreads.clear();
  char path[4096];
  const int len = snprintf(path, sizeof(path), "%s/self/task", ProcRoot());
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return false;
  DIR* dir = opendir(path);
  if (!dir) return false;
  const int dirFd = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (!IsDigit(entry->d_name[0])) continue;  // ".", ".." and strangers
    ThreadCpuTimes thread;
    // A thread that ended since the directory was listed has no file left.
    if (ReadTaskEntry(dirFd, entry->d_name, thread)) aThreads.push_back(std::move(thread));
  }
  closedir(dir);
  return true;
}

bool ReadThreadCpuTimes(uint32_t aTid, ThreadCpuTimes& aThread) {
  char path[64];
  snprintf(path, sizeof(path), "self/task/%u/stat", aTid);
  char buf[kStatBuffer];
  const long n = ReadProcFile(path, buf, sizeof(buf));
  TaskStatFields fields;
  if (n <= 0 || !ParseTaskStat(std::string_view(buf, static_cast<size_t>(n)), fields) || fields.pid != aTid) {
    return false;
  }
  aThread.tid = aTid;
  aThread.name = std::move(fields.name);
  return TaskTimesFromFields(fields, aThread.times);
}

bool ReadMemoryStatus(MemoryStatus& aStatus) {
  std::string buf(kMemInfoBuffer, '\0');
  const long n = ReadProcFile("meminfo", &buf[0], buf.size());
  return n > 0 && ParseMemInfo(std::string_view(buf.data(), static_cast<size_t>(n)), aStatus);
}

bool ReadProcessResidentBytes(uint64_t& aBytes) {
  char buf[256];
  const long n = ReadProcFile("self/statm", buf, sizeof(buf));
  uint64_t pages = 0;
  if (n <= 0 || !ParseStatmResidentPages(std::string_view(buf, static_cast<size_t>(n)), pages)) return false;
  const long pageSize = sysconf(_SC_PAGESIZE);
  const uint64_t size = pageSize > 0 ? static_cast<uint64_t>(pageSize) : 4096u;
  if (pages > UINT64_MAX / size) return false;
  aBytes = pages * size;
  return true;
}

// ---- parsers

bool ClockTicksTo100ns(uint64_t aTicks, uint64_t aTicksPerSecond, uint64_t& aUnits) {
  if (aTicksPerSecond == 0) return false;
  const unsigned __int128 units = static_cast<unsigned __int128>(aTicks) * kUnitsPerSecond / aTicksPerSecond;
  if (units > UINT64_MAX) return false;
  aUnits = static_cast<uint64_t>(units);
  return true;
}

bool ParseProcStatCpu(std::string_view aText, uint64_t aTicksPerSecond, SystemCpuTimes& aTimes) {
  size_t pos = 0;
  if (NextToken(aText, pos) != "cpu") return false;
  // user nice system idle iowait irq softirq steal (guest and guest_nice are
  // inside user and nice).
  uint64_t column[8] = {};
  int count = 0;
  for (; count < 8; ++count) {
    const std::string_view token = NextToken(aText, pos);
    if (token.empty()) break;
    if (!ToUnsigned(token, column[count])) return false;
  }
  if (count < 4) return false;
  const uint64_t idleTicks = column[3] + column[4];
  uint64_t userTicks = 0, kernelTicks = 0;
  if (idleTicks < column[3] || __builtin_add_overflow(column[0], column[1], &userTicks)) return false;
  kernelTicks = idleTicks;
  for (int i : {2, 5, 6, 7}) {
    if (__builtin_add_overflow(kernelTicks, column[i], &kernelTicks)) return false;
  }
  SystemCpuTimes times;
  if (!ClockTicksTo100ns(idleTicks, aTicksPerSecond, times.idle) ||
      !ClockTicksTo100ns(kernelTicks, aTicksPerSecond, times.kernel) ||
      !ClockTicksTo100ns(userTicks, aTicksPerSecond, times.user)) {
    return false;
  }
  aTimes = times;
  return true;
}

bool ParseTaskStat(std::string_view aText, TaskStatFields& aFields) {
  const size_t open = aText.find('(');
  const size_t close = aText.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
  size_t pos = 0;
  uint64_t pid = 0;
  if (!ToUnsigned(NextToken(aText.substr(0, open), pos), pid) || pid > UINT32_MAX) return false;
  if (pos < open && !NextToken(aText.substr(0, open), pos).empty()) return false;
  // After the name: state (field 3) ... utime (14), stime (15) ... starttime (22).
  const std::string_view rest = aText.substr(close + 1);
  pos = 0;
  TaskStatFields fields;
  for (int field = 3; field <= 22; ++field) {
    const std::string_view token = NextToken(rest, pos);
    if (token.empty()) return false;
    if (field == 14 && !ToUnsigned(token, fields.utimeTicks)) return false;
    if (field == 15 && !ToUnsigned(token, fields.stimeTicks)) return false;
    if (field == 22 && !ToUnsigned(token, fields.startTicks)) return false;
  }
  fields.pid = static_cast<uint32_t>(pid);
  fields.name.assign(aText.data() + open + 1, close - open - 1);
  aFields = std::move(fields);
  return true;
}

bool ParseMemInfo(std::string_view aText, MemoryStatus& aStatus) {
  MemoryStatus status;
  if (!MemInfoBytes(aText, "MemTotal", status.totalBytes)) return false;
  if (!MemInfoBytes(aText, "MemAvailable", status.availableBytes)) {
    uint64_t free = 0, buffers = 0, cached = 0;
    if (!MemInfoBytes(aText, "MemFree", free)) return false;
    MemInfoBytes(aText, "Buffers", buffers);
    MemInfoBytes(aText, "Cached", cached);
    if (__builtin_add_overflow(free, buffers, &status.availableBytes) ||
        __builtin_add_overflow(status.availableBytes, cached, &status.availableBytes)) {
      return false;
    }
  }
  if (status.availableBytes > status.totalBytes) status.availableBytes = status.totalBytes;
  aStatus = status;
  return true;
}

bool ParseStatmResidentPages(std::string_view aText, uint64_t& aPages) {
  size_t pos = 0;
  uint64_t size = 0, resident = 0;
  if (!ToUnsigned(NextToken(aText, pos), size) || !ToUnsigned(NextToken(aText, pos), resident)) return false;
  aPages = resident;
  return true;
}

void SetProcRootForTesting(const char* aRoot) {
  std::lock_guard<std::mutex> lock(g_RootMutex);
  if (!aRoot) {
    g_pProcRoot.store(nullptr, std::memory_order_release);
    return;
  }
  g_Roots.emplace_back(aRoot);
  g_pProcRoot.store(&g_Roots.back(), std::memory_order_release);
}

}  // namespace cm_platform
