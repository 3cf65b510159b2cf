// The trace path into the trace files from eight threads while the files
// rotate under them: 8 x 25,000 lines (full size; StressScale.h) through
// CM_INFO_TRACE, while one of them keeps marking the open files full and
// changing their buffer sizes, so records are buffered, flushed and moved to
// the next file of the ring all the time. Afterwards every line must be in
// exactly one file, whole, in the order its thread wrote it, and every file
// must be well formed (header offset, records, marker). The rotations stay
// within the ring of ten, so no file is emptied by wrapping around.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "ManualClock.h"
#include "ScopedTempDir.h"
#include "StressScale.h"
#include "TraceCapture.h"

namespace {

constexpr int kWriters = 8;
constexpr long kFullLines = 25000;  // per writer
constexpr int kRotations = 6;
const std::string kMarker = CCmT120TraceFile::kMarker;

// The line's filler: its length and letter follow from writer and number,
// so a torn or spliced line shows.
std::string Filler(int aWriter, long aNumber) {
  return std::string(static_cast<size_t>((aNumber * 7 + aWriter) % 40), static_cast<char>('a' + aWriter));
}

TEST(TraceFilesStress, EightWritersWhileFilesRotate) {
  ScopedTempDir dir;
  ScopedEnv profile("USERPROFILE", dir.Path()), temp("TEMP", nullptr), tmpdir("TMPDIR", dir.Path()),
      home("HOME", dir.File("home")), state("XDG_STATE_HOME", nullptr);
  ManualClock clock;  // one calendar day throughout: no rotation by date
  CmT120TraceResetDirCacheForTesting();
  CmT120TraceResetInstanceForTesting();

  const long perWriter = StressCount(kFullLines);
  const long total = perWriter * kWriters;
  std::atomic<int> rotations{0};
  const auto start = std::chrono::steady_clock::now();
  {
    TraceCapture toFiles(2, 0x2);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        for (long n = 0; n < perWriter; ++n) {
          // Writer 0 also marks every open file full at its next flush,
          // spread over the run, with a different buffer size each time;
          // it writes on afterwards, so each mark starts one new file.
          if (w == 0 && n > 0 && n % (perWriter / (kRotations + 1)) == 0 && rotations.load() < kRotations) {
            CCmT120TraceFileMgr::instance()->refresh_settings(1, 1 + rotations.fetch_add(1) % 4);
          }
          CM_INFO_TRACE("stress w=" << w << " n=" << n << " " << Filler(w, n).c_str());
        }
      });
    }
    for (auto& th : threads) th.join();
    CCmT120TraceFileMgr::instance()->refresh_settings(CCmT120Trace::kSizeLimit, 1);  // flushes every file
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

  std::vector<std::vector<char>> seen(kWriters, std::vector<char>(static_cast<size_t>(perWriter), 0));
  std::vector<long> last(kWriters, -1);
  long lines = 0, others = 0, disorder = 0, bad = 0, files = 0;
  for (int index = 0; index < 10; ++index) {
    const std::string path = dir.Path() + "/logs/CmT120TraceStressTest_info_" + std::to_string(index) + ".log";
    const std::string contents = ReadWholeFile(path);
    if (contents.empty()) continue;
    ++files;
    ASSERT_GE(contents.size(), 32u) << path;
    const size_t end = std::strtoul(contents.substr(0, 32).c_str(), nullptr, 10);
    ASSERT_GE(end, 32u) << path;
    ASSERT_LE(end, contents.size()) << path;
    EXPECT_TRUE(end == 32 ? contents.size() == 32 || contents.substr(end) == kMarker : contents.substr(end) == kMarker)
        << path;
    for (size_t pos = 32; pos < end;) {
      const size_t eol = contents.find('\n', pos);
      ASSERT_NE(eol, std::string::npos) << path;
      ASSERT_LE(eol, end) << path;
      const std::string line = contents.substr(pos, eol - pos);
      pos = eol + 1;
      const size_t text = line.find("] :");
      if (line.empty() || line[0] != '[' || text == std::string::npos) {
        ++bad;
        continue;
      }
      int w = -1;
      long n = -1;
      char filler[64] = "";
      const std::string body = line.substr(text + 3);
      if (body.compare(0, 7, "stress ") != 0) {
        ++others;
        continue;
      }
      const int fields = sscanf(body.c_str(), "stress w=%d n=%ld %63s", &w, &n, filler);
      if (fields < 2 || w < 0 || w >= kWriters || n < 0 || n >= perWriter ||
          body != "stress w=" + std::to_string(w) + " n=" + std::to_string(n) + " " + Filler(w, n)) {
        ++bad;
        continue;
      }
      ++lines;
      ++seen[static_cast<size_t>(w)][static_cast<size_t>(n)];
      if (n <= last[static_cast<size_t>(w)]) ++disorder;
      last[static_cast<size_t>(w)] = n;
    }
  }
  long missing = 0, doubled = 0;
  for (const auto& writer : seen) {
    for (char count : writer) {
      missing += count == 0;
      doubled += count > 1;
    }
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(disorder, 0);
  EXPECT_EQ(lines, total);
  EXPECT_EQ(rotations.load(), kRotations);
  EXPECT_GE(files, kRotations + 1);
  printf("%ld lines from %d threads into %ld files (%d forced rotations, %ld other lines); %lld ms; "
         "%ld missing, %ld doubled, %ld torn\n",
         lines, kWriters, files, rotations.load(), others, static_cast<long long>(elapsed.count()), missing, doubled,
         bad);
  CmT120TraceResetInstanceForTesting();
}

}  // namespace
