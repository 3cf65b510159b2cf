// The kernel's accounting texts: the parsers on captured and malformed
// samples, the readers on a fake /proc tree and on this machine.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "CmThread.h"
#include "ScopedTempDir.h"
#include "platform/CmPlatformProc.h"

using namespace cm_platform;

namespace {

constexpr uint64_t kTick = 100000;  // one tick at 100 Hz in 100-ns units

// Captured on a 2-processor machine (the per-processor lines follow).
const char kProcStat[] =
    "cpu  24277 39686 18953 88687 212 0 160 0 0 0\n"
    "cpu0 11973 18872 9281 45754 28 0 64 0 0 0\n"
    "intr 1822210 8 0 0\n";
const char kMemInfo[] =
    "MemTotal:       24683748 kB\nMemFree:        23613584 kB\nMemAvailable:   23905228 kB\n"
    "Buffers:            3540 kB\nCached:           477116 kB\nSwapCached:            0 kB\n";

// A stat line of thread aPid named aName with the given times in ticks.
std::string StatLine(uint32_t aPid, const std::string& aName, uint64_t aUtime, uint64_t aStime, uint64_t aStart) {
  return std::to_string(aPid) + " (" + aName + ") S 14270 14270 4210 0 -1 4194304 99 0 0 0 " + std::to_string(aUtime) +
         " " + std::to_string(aStime) + " 0 0 20 0 1 0 " + std::to_string(aStart) +
         " 3133440 380 18446744073709551615 94049871519744 0 0\n";
}

// Restores the real /proc however a test ends.
struct FakeProcRoot {
  ScopedTempDir dir;
  FakeProcRoot() {
    std::filesystem::create_directories(dir.File("self/task"));
    SetProcRootForTesting(dir.Path().c_str());
  }
  ~FakeProcRoot() { SetProcRootForTesting(nullptr); }
  void Task(const std::string& aTid, const std::string& aStat) const {
    std::filesystem::create_directories(dir.File("self/task/" + aTid));
    if (!aStat.empty()) dir.Write("self/task/" + aTid + "/stat", aStat);
  }
};

uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

TEST(ProcParsers, ClockTicksBecome100nsUnits) {
  const uint64_t kMaxAt100Hz = std::numeric_limits<uint64_t>::max() / kTick;
  struct Case {
    uint64_t ticks, hz;
    bool ok;
    uint64_t units;
  } cases[] = {
      {1, 100, true, kTick},          {3, 250, true, 120000},         {1, 1000, true, 10000},
      {0, 100, true, 0},              {7, 0, false, 0},               {kMaxAt100Hz, 100, true, kMaxAt100Hz * kTick},
      {kMaxAt100Hz + 1, 100, false, 0}, {std::numeric_limits<uint64_t>::max(), 1, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t units = 12345;
    EXPECT_EQ(ClockTicksTo100ns(c.ticks, c.hz, units), c.ok) << c.ticks << " at " << c.hz;
    EXPECT_EQ(units, c.ok ? c.units : 12345u) << c.ticks << " at " << c.hz;
  }
}

TEST(ProcParsers, SystemCpuLine) {
  struct Case {
    const char* text;
    uint64_t idle, kernel, user;  // ticks
  } cases[] = {
      // idle + iowait; system + irq + softirq + steal + idle; user + nice.
      {kProcStat, 88687 + 212, 18953 + 0 + 160 + 0 + 88899, 24277 + 39686},
      {"cpu 1 2 3 4 5 6 7 8 9 10\n", 9, 3 + 6 + 7 + 8 + 9, 3},  // guest columns are inside user
      {"cpu 10 20 30 40\n", 40, 70, 30},                      // an old kernel's four columns
      {"cpu\t1\t0\t0\t0", 0, 0, 1},
  };
  for (const Case& c : cases) {
    SystemCpuTimes times;
    ASSERT_TRUE(ParseProcStatCpu(c.text, 100, times)) << c.text;
    EXPECT_EQ(times.idle, c.idle * kTick) << c.text;
    EXPECT_EQ(times.kernel, c.kernel * kTick) << c.text;
    EXPECT_EQ(times.user, c.user * kTick) << c.text;
  }
  for (const char* bad : {"", "cpu0 1 2 3 4\n", "cpu 1 2 3\n", "cpu 1 -2 3 4\n", "cpu 1 2 3 4x 5\n", "intr 1 2 3 4\n",
                          "cpu 1 2\n3 4\n", "cpu 18446744073709551615 1 0 0\n",
                          "cpu 99999999999999999999 0 0 0\n", "cpu 0 0 18446744073709551615 0 0 1\n"}) {
    SystemCpuTimes times;
    times.idle = 7;
    EXPECT_FALSE(ParseProcStatCpu(bad, 100, times)) << bad;
    EXPECT_EQ(times.idle, 7u) << "untouched on refusal: " << bad;
  }
}

TEST(ProcParsers, TaskStatLineWithAnyName) {
  struct Case {
    std::string text;
    uint32_t pid;
    std::string name;
    uint64_t utime, stime, start;
  } cases[] = {
      {"14273 (cat) R 14270 14270 4210 0 -1 4194304 99 0 0 0 17 5 0 0 20 0 1 0 86257 3133440 380\n", 14273, "cat",
       17, 5, 86257},
      {StatLine(4711, "a) b (c", 1, 2, 3), 4711, "a) b (c", 1, 2, 3},  // spaces and parentheses
      {StatLine(4712, ") S 1 2 3 4 5", 9, 8, 7), 4712, ") S 1 2 3 4 5", 9, 8, 7},
      {StatLine(4713, "", 0, 0, 1), 4713, "", 0, 0, 1},
      {StatLine(4714, "line\nbreak", 5, 6, 7), 4714, "line\nbreak", 5, 6, 7},
      {StatLine(4294967295u, "max pid", 1, 1, 1), 4294967295u, "max pid", 1, 1, 1},
  };
  for (const Case& c : cases) {
    TaskStatFields fields;
    ASSERT_TRUE(ParseTaskStat(c.text, fields)) << c.text;
    EXPECT_EQ(fields.pid, c.pid);
    EXPECT_EQ(fields.name, c.name);
    EXPECT_EQ(fields.utimeTicks, c.utime);
    EXPECT_EQ(fields.stimeTicks, c.stime);
    EXPECT_EQ(fields.startTicks, c.start);
  }
  const std::string tail = "(x) S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2 0 0 20 0 1 0 3\n";
  const std::string bad[] = {
      "",
      "12 (x) S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2 0 0 20 0 1 0\n",   // ends before starttime
      "12 (x) S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2 0 0 20 0 1 0\n3\n",  // a line break ends the line
      "12 x S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2 0 0 20 0 1 0 3\n",  // no parentheses
      "12 )x( S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2 0 0 20 0 1 0 3\n",
      "12 (x) S 14270 14270 4210 0 -1 4194304 99 0 0 0 -1 2 0 0 20 0 1 0 3\n",  // negative utime
      "12 (x) S 14270 14270 4210 0 -1 4194304 99 0 0 0 1 2x 0 0 20 0 1 0 3\n",
      "abc " + tail,
      "4294967296 " + tail,
      "12 13 " + tail,
      tail,
  };
  for (const std::string& text : bad) {
    TaskStatFields fields;
    EXPECT_FALSE(ParseTaskStat(text, fields)) << text;
  }
}

TEST(ProcParsers, MemInfoAndStatm) {
  struct Case {
    std::string text;
    uint64_t totalKiB, availableKiB;
  } cases[] = {
      {kMemInfo, 24683748, 23905228},
      {"MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 20 kB\nCached: 300 kB\n", 1000, 420},  // no MemAvailable
      {"MemTotal: 1000 kB\nMemFree: 100 kB\n", 1000, 100},
      {"MemTotal: 1000 kB\nMemAvailable: 5000 kB\n", 1000, 1000},  // never more than total
      {"MemTotalX: 7 kB\nMemTotal: 16777216 kB\nMemAvailable: 4194304 kB\n", 16777216, 4194304},
  };
  for (const Case& c : cases) {
    MemoryStatus status;
    ASSERT_TRUE(ParseMemInfo(c.text, status)) << c.text;
    EXPECT_EQ(status.totalBytes, c.totalKiB * 1024) << c.text;
    EXPECT_EQ(status.availableBytes, c.availableKiB * 1024) << c.text;
  }
  for (const char* bad : {"", "MemFree: 1 kB\nMemAvailable: 1 kB\n", "MemTotal: 5 MB\nMemAvailable: 1 kB\n",
                          "MemTotal: abc kB\nMemAvailable: 1 kB\n", "MemTotal: 5 kB\n",
                          "MemTotal: 18014398509481984 kB\nMemAvailable: 1 kB\n", "MemTotal: 5 kB extra\nMemFree: 1 kB\n"}) {
    MemoryStatus status;
    EXPECT_FALSE(ParseMemInfo(bad, status)) << bad;
  }
  uint64_t pages = 0;
  EXPECT_TRUE(ParseStatmResidentPages("765 439 411 5 0 123 0\n", pages));
  EXPECT_EQ(pages, 439u);
  for (const char* bad : {"", "765", "765 x 1", "-1 2 3"}) EXPECT_FALSE(ParseStatmResidentPages(bad, pages)) << bad;
}

TEST(ProcReaders, FakeTreeGivesItsFiguresAndSkipsBrokenThreads) {
  FakeProcRoot proc;
  proc.dir.Write("stat", kProcStat);
  proc.dir.Write("meminfo", kMemInfo);
  proc.dir.Write("self/stat", StatLine(100, "media host", 250, 50, 1000));
  proc.dir.Write("self/statm", "765 439 411 5 0 123 0\n");
  proc.Task("101", StatLine(101, "decoder (hw)", 30, 10, 1200));
  proc.Task("102", "102 (broken");                         // malformed
  proc.Task("103", "");                                    // ended: directory without files
  proc.Task("104", StatLine(999, "elsewhere", 1, 1, 1));   // names another thread
  proc.Task("not-a-tid", StatLine(105, "odd", 1, 1, 1));

  SystemCpuTimes system;
  ASSERT_TRUE(ReadSystemCpuTimes(system));
  EXPECT_EQ(system.user, (24277u + 39686u) * kTick * 100 / ClockTicksPerSecond());
  TaskCpuTimes process;
  ASSERT_TRUE(ReadProcessCpuTimes(process));
  EXPECT_EQ(process.user, 250ull * 10000000 / ClockTicksPerSecond());
  EXPECT_EQ(process.kernel, 50ull * 10000000 / ClockTicksPerSecond());
  EXPECT_EQ(process.creation, 1000ull * 10000000 / ClockTicksPerSecond());

  std::vector<ThreadCpuTimes> threads;
  ASSERT_TRUE(ReadAllThreadCpuTimes(threads));
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads[0].tid, 101u);
  EXPECT_EQ(threads[0].name, "decoder (hw)");
  EXPECT_EQ(threads[0].times.user, 30ull * 10000000 / ClockTicksPerSecond());
  ThreadCpuTimes one;
  EXPECT_TRUE(ReadThreadCpuTimes(101, one));
  for (uint32_t tid : {102u, 103u, 104u, 555u}) EXPECT_FALSE(ReadThreadCpuTimes(tid, one)) << tid;

  MemoryStatus memory;
  ASSERT_TRUE(ReadMemoryStatus(memory));
  EXPECT_EQ(memory.availableBytes, 23905228ull * 1024);
  uint64_t resident = 0;
  ASSERT_TRUE(ReadProcessResidentBytes(resident));
  EXPECT_EQ(resident % 439, 0u);
  EXPECT_GE(resident / 439, 4096u);  // one page
}

TEST(ProcReaders, MissingAndMalformedFilesAreRefused) {
  FakeProcRoot proc;
  SystemCpuTimes system;
  TaskCpuTimes process;
  MemoryStatus memory;
  uint64_t resident = 0;
  std::vector<ThreadCpuTimes> threads(3);
  EXPECT_FALSE(ReadSystemCpuTimes(system));
  EXPECT_FALSE(ReadProcessCpuTimes(process));
  EXPECT_FALSE(ReadMemoryStatus(memory));
  EXPECT_FALSE(ReadProcessResidentBytes(resident));
  EXPECT_TRUE(ReadAllThreadCpuTimes(threads));  // the list exists, and is empty
  EXPECT_TRUE(threads.empty());

  proc.dir.Write("stat", "cpu 1 2\n");
  proc.dir.Write("self/stat", "100 (x");
  proc.dir.Write("meminfo", "MemFree: 1 kB\n");
  proc.dir.Write("self/statm", "\n");
  EXPECT_FALSE(ReadSystemCpuTimes(system));
  EXPECT_FALSE(ReadProcessCpuTimes(process));
  EXPECT_FALSE(ReadMemoryStatus(memory));
  EXPECT_FALSE(ReadProcessResidentBytes(resident));

  std::filesystem::remove_all(proc.dir.File("self/task"));
  threads.resize(2);
  EXPECT_FALSE(ReadAllThreadCpuTimes(threads));
  EXPECT_TRUE(threads.empty());
}

TEST(ProcReaders, ThisThreadAsTheKernelCountsIt) {
  ASSERT_EQ(zar_set_thread_name("proc reader (1)x"), 0);
  // Burn until the thread has used at least 300 ms of CPU (bounded).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  volatile uint64_t sink = 0;
  while (ThreadCpuNs() < 300000000u && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i) * 7;
  }
  const uint64_t before = ThreadCpuNs() / 100;
  std::vector<ThreadCpuTimes> threads;
  ASSERT_TRUE(ReadAllThreadCpuTimes(threads));
  const uint64_t after = ThreadCpuNs() / 100;
  ASSERT_GE(after, 3000000u) << "the thread never got 300 ms of CPU";

  const uint32_t self = static_cast<uint32_t>(CmGetThreadID());
  const ThreadCpuTimes* mine = nullptr;
  for (const ThreadCpuTimes& t : threads) {
    if (t.tid == self) mine = &t;
  }
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->name, "proc reader (1)");  // the kernel keeps 15 bytes
  // The kernel reports whole ticks of the same clock.
  const uint64_t tick = 10000000 / ClockTicksPerSecond();
  const uint64_t used = mine->times.kernel + mine->times.user;
  EXPECT_GE(used + 2 * tick, before);
  EXPECT_LE(used, after + 2 * tick);

  TaskCpuTimes process;
  ASSERT_TRUE(ReadProcessCpuTimes(process));
  EXPECT_GE(process.kernel + process.user, used);
  EXPECT_LE(mine->times.creation, process.creation + 60 * 10000000ull) << "created with the process";
  EXPECT_GE(mine->times.creation, process.creation);
}
