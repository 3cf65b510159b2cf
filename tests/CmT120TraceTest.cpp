// The trace files: layout byte for byte, buffering and size limits, the
// registry, level routing, rotation by size, the ring of ten, the day
// rollover, the trace directory and the trace path's option bit 0x2.
//
// Every test points USERPROFILE (and TMPDIR) at its own temporary directory
// and fixes the clock the trace files see.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

const std::string kMarker = "************************* Current Trace Point *************************\n\n";

std::string Header(long aOffset) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%-31ld\n", aOffset);
  return buf;
}

// 2024-03-04 05:06:07.089 local time, in microseconds since 1970.
int64_t MarchFourth() {
  struct tm t {};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t)) * 1000000 + 89000;
}

constexpr int64_t kOneDay = 86400LL * 1000000;

std::string Stamp() {
  char buf[128];
  snprintf(buf, sizeof(buf), "[03/04/2024 05:06:07.089 pid=%d tid=%d]", static_cast<int>(getpid()),
           static_cast<int>(syscall(SYS_gettid)));
  return buf;
}

class TraceFiles : public ::testing::Test {
 protected:
  TraceFiles() : m_Profile("USERPROFILE", m_Dir.Path()), m_Temp("TEMP", nullptr), m_Tmpdir("TMPDIR", m_Dir.Path()) {}
  void SetUp() override {
    CmT120TraceResetDirCacheForTest();
    CmT120TraceSetNowForTest(MarchFourth());
  }
  void TearDown() override {
    CmT120TraceSetNowForTest(kCmT120TraceRealClock);
    CmT120TraceResetDirCacheForTest();
  }
  std::string Logs() const { return m_Dir.Path() + "/logs/"; }
  std::string Info(int aIndex) const { return Logs() + "CmT120TraceTest_info_" + std::to_string(aIndex) + ".log"; }
  std::string Error(int aIndex) const { return Logs() + "CmT120TraceTest_error_" + std::to_string(aIndex) + ".log"; }
  static std::string Record(const std::string& aModule, const std::string& aText) {
    return Stamp() + " [" + aModule + "] :" + aText + "\n";
  }
  // What a file holding exactly these records looks like.
  static std::string FileWith(const std::string& aRecords) {
    return Header(32 + static_cast<long>(aRecords.size())) + aRecords + (aRecords.empty() ? "" : kMarker);
  }
  CCmT120TraceFile* OpenFile(const std::string& aPath, unsigned long aLimit = 0) {
    return static_cast<CCmT120TraceFile*>(CCmT120TraceFileMgr::instance()->open(aPath.c_str(), aLimit, 0, 0));
  }

  ScopedTempDir m_Dir;
  ScopedEnv m_Profile;
  ScopedEnv m_Temp;
  ScopedEnv m_Tmpdir;
};

// ---- one file

TEST_F(TraceFiles, FreshFileHoldsOnlyTheHeader) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  ASSERT_TRUE(file && file->is_open());
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), "32" + std::string(29, ' ') + "\n");
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, RecordLayoutByteForByte) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  const std::string prefix = Stamp() + " [mod] :";
  const std::string text(100 - prefix.size() - 1, 't');  // a record of 100 bytes
  file->write("mod", "", text.c_str());
  const std::string first = prefix + text + "\n";
  ASSERT_EQ(first.size(), 100u);
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), "132" + std::string(28, ' ') + "\n" + first + kMarker);

  // The next flush writes over the marker.
  file->write(nullptr, "sep", "no module");
  file->write("ignored", nullptr, "text only");
  const std::string rest = Stamp() + " sep:no module\n" + Stamp() + " text only\n";
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(first + rest));
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, RecordThatDoesNotFitIsDropped) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  const std::string huge(CCmT120TraceFile::kRecordSize, 'h');
  file->write("m", "", huge.c_str());
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), Header(32));
  // Exactly filling the buffer loses the last byte (the newline).
  const std::string prefix = Stamp() + " [m] :";
  const std::string fill(CCmT120TraceFile::kRecordSize - prefix.size() - 1, 'f');
  file->write("m", "", fill.c_str());
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(prefix + fill));
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, BufferCountCollectsRecordsBeforeAFlush) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  EXPECT_FALSE(file->refresh_settings(0, 0));
  EXPECT_FALSE(file->refresh_settings(0, CCmT120TraceFile::kMaxBufferCount + 1));
  ASSERT_TRUE(file->refresh_settings(0, 3));
  file->write("m", "", "one");
  file->write("m", "", "two");
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), Header(32));
  file->write("m", "", "three");
  const std::string three = Record("m", "one") + Record("m", "two") + Record("m", "three");
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(three));
  file->write("m", "", "four");  // buffered; closing flushes it
  CCmT120TraceFileMgr::instance()->close(file);
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(three + Record("m", "four")));
}

TEST_F(TraceFiles, FullFlagRisesWhenAFlushStartsAtTheLimit) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"), 200);
  const std::string record = Record("m", std::string(80, 'x'));
  file->write("m", "", std::string(80, 'x').c_str());  // header 32 -> 32 + r
  EXPECT_FALSE(file->is_full());
  file->write("m", "", std::string(80, 'x').c_str());  // starts below 200, ends above
  EXPECT_FALSE(file->is_full());
  file->write("m", "", std::string(80, 'x').c_str());  // starts at or above 200: full, still written
  EXPECT_TRUE(file->is_full());
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(record + record + record));
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, BrokenHeaderIsReadAsOffsetZero) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  {
    FILE* f = fopen(m_Dir.File("a.log").c_str(), "r+b");
    fputs("garbage", f);
    fclose(f);
  }
  file->write("m", "", "x");
  // The record lands at offset 0, over the header, which then says where it ends.
  const std::string record = Record("m", "x");
  const std::string contents = ReadWholeFile(m_Dir.File("a.log"));
  EXPECT_EQ(contents.substr(0, 32), Header(static_cast<long>(record.size())));
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, UnopenableFileDropsRecords) {
  CCmT120TraceFile* file = OpenFile(m_Dir.File("no/such/dir/a.log"));
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->is_open());
  file->write("m", "", "lost");
  file->flush_buffer();
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, FilesArePrivateAndLinksAreRefused) {
  const std::string target = m_Dir.Write("target.txt", "precious");
  ASSERT_EQ(symlink(target.c_str(), m_Dir.File("link.log").c_str()), 0);
  CCmT120TraceFile* linked = OpenFile(m_Dir.File("link.log"));
  EXPECT_FALSE(linked->is_open());
  linked->write("m", "", "x");
  EXPECT_EQ(ReadWholeFile(target), "precious");
  CCmT120TraceFileMgr::instance()->close(linked);

  CCmT120TraceFile* file = OpenFile(m_Dir.File("a.log"));
  struct stat st;
  ASSERT_EQ(stat(m_Dir.File("a.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  CCmT120TraceFileMgr::instance()->close(file);
}

TEST_F(TraceFiles, ManagerKeepsOneFilePerName) {
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  const uint32_t before = mgr->file_count();
  void* a = mgr->open(m_Dir.File("a.log").c_str(), 0, 0, 0);
  void* again = mgr->open(m_Dir.File("a.log").c_str(), 0, 0, 0);
  void* b = mgr->open(m_Dir.File("b.log").c_str(), 0, 1, 0);
  EXPECT_EQ(a, again);
  EXPECT_NE(a, b);
  EXPECT_EQ(mgr->open(nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(mgr->file_count(), before + 2);
  EXPECT_GE(static_cast<CCmT120TraceFile*>(b)->descriptor(), 0);  // kept on request
  EXPECT_EQ(static_cast<CCmT120TraceFile*>(a)->descriptor(), -1);
  EXPECT_TRUE(static_cast<CCmT120TraceFile*>(a)->is_same_file(m_Dir.File("a.log").c_str()));
  EXPECT_FALSE(static_cast<CCmT120TraceFile*>(a)->is_same_file(nullptr));
  EXPECT_EQ(mgr->file_name(a), m_Dir.File("a.log"));

  mgr->write(a, "m", "", "through the manager");
  EXPECT_EQ(ReadWholeFile(m_Dir.File("a.log")), FileWith(Record("m", "through the manager")));
  mgr->refresh_settings(1, 1);
  mgr->write(a, "m", "", "again");
  EXPECT_TRUE(mgr->is_full(a));

  int notAFile = 0;
  mgr->close(&notAFile);  // ignored
  mgr->write(&notAFile, "m", "", "ignored");
  EXPECT_FALSE(mgr->is_full(&notAFile));
  EXPECT_EQ(mgr->file_name(&notAFile), "");
  mgr->close(a);
  mgr->close(b);
  EXPECT_EQ(mgr->file_count(), before);
}

// ---- the front end

TEST_F(TraceFiles, LoadOpensTheFirstFileOfEachRing) {
  CCmT120Trace trace("Log", nullptr, 0);
  EXPECT_EQ(std::string(trace.get_trace_dir()), Logs());
  EXPECT_TRUE(trace.load(nullptr));
  EXPECT_EQ(trace.info_file_name(), Info(0));
  EXPECT_EQ(trace.error_file_name(), Error(0));
  EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));
  EXPECT_EQ(ReadWholeFile(Error(0)), Header(32));
  struct stat st;
  ASSERT_EQ(stat(Logs().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(trace.load(nullptr));  // already open: nothing changes
  EXPECT_EQ(trace.info_file_name(), Info(0));
}

TEST_F(TraceFiles, LevelsRouteToInfoAndErrorFiles) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  trace.trace_string(1, "mod", "a warning");
  trace.trace_string(0, "mod", "an error");
  trace.trace_string(4, "mod", "detail");
  EXPECT_EQ(ReadWholeFile(Info(0)),
            FileWith(Record("mod", "a warning") + Record("mod", "an error") + Record("mod", "detail")));
  EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record("mod", "an error")));
}

TEST_F(TraceFiles, FullInfoFileStartsTheNextOfTheRing) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  trace.trace_string(2, "m", "first");
  CCmT120TraceFileMgr::instance()->refresh_settings(1, 1);  // every open file is at its limit now
  trace.trace_string(2, "m", "fills info 0");
  EXPECT_EQ(trace.info_file_name(), Info(1));
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("m", "first") + Record("m", "fills info 0")));
  trace.trace_string(2, "m", "goes to info 1");
  EXPECT_EQ(ReadWholeFile(Info(1)), FileWith(Record("m", "goes to info 1")));
  EXPECT_EQ(trace.error_file_name(), Error(0));  // no level-0 message yet

  trace.trace_string(0, "m", "error rotates too");
  EXPECT_EQ(trace.error_file_name(), Error(1));
  EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record("m", "error rotates too")));
}

TEST_F(TraceFiles, RingWrapsAfterIndexNine) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  for (int i = 0; i < 10; ++i) {
    CCmT120TraceFileMgr::instance()->refresh_settings(1, 1);
    trace.trace_string(2, "m", ("message " + std::to_string(i)).c_str());
    EXPECT_EQ(trace.info_file_name(), Info((i + 1) % 10)) << i;
  }
  // Index 0 came round again and was emptied.
  EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));
  EXPECT_EQ(ReadWholeFile(Info(9)), FileWith(Record("m", "message 9")));
  trace.trace_string(2, "m", "after the wrap");
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("m", "after the wrap")));
}

TEST_F(TraceFiles, NewDayRestartsBothRings) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  CCmT120TraceFileMgr::instance()->refresh_settings(1, 1);
  trace.trace_string(0, "m", "day one");  // moves both rings to index 1
  ASSERT_EQ(trace.info_file_name(), Info(1));
  ASSERT_EQ(trace.error_file_name(), Error(1));

  CmT120TraceSetNowForTest(MarchFourth() + kOneDay);
  trace.trace_string(0, "m", "day two");
  // Still written to yesterday's info file; then both rings restart at 0,
  // and the level-0 copy goes to the new error file.
  const std::string dayTwo = Stamp().replace(4, 2, "05");
  EXPECT_EQ(ReadWholeFile(Info(1)), FileWith(dayTwo + " [m] :day two\n"));
  EXPECT_EQ(trace.info_file_name(), Info(0));
  EXPECT_EQ(trace.error_file_name(), Error(0));
  EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));
  EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(dayTwo + " [m] :day two\n"));

  trace.trace_string(2, "m", "next");
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(dayTwo + " [m] :next\n"));
  // The rings go on from index 0: the next full file leads to index 1.
  CCmT120TraceFileMgr::instance()->refresh_settings(1, 1);
  trace.trace_string(2, "m", "rotate");
  EXPECT_EQ(trace.info_file_name(), Info(1));
}

TEST_F(TraceFiles, FixedNameTakesTheInfoSlot) {
  {
    CCmT120Trace fixed("Log", "fixed.log", 1);
    fixed.load(nullptr);
    EXPECT_EQ(fixed.info_file_name(), Logs() + "fixed.log");
    EXPECT_EQ(fixed.error_file_name(), "");
    fixed.trace_string(0, "m", "only one file");
    EXPECT_EQ(ReadWholeFile(Logs() + "fixed.log"), FileWith(Record("m", "only one file")));
  }
  CCmT120Trace numbered("Log", "fixed.log", 0);
  numbered.load(nullptr);
  EXPECT_EQ(numbered.info_file_name(), Logs() + "fixed.log.0");
  CCmT120TraceFileMgr::instance()->refresh_settings(1, 1);
  numbered.trace_string(2, "m", "x");
  EXPECT_EQ(numbered.info_file_name(), Logs() + "fixed.log.1");
}

TEST_F(TraceFiles, ConcurrentMessagesStayWhole) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&trace, t] {
      for (int i = 0; i < kEach; ++i) trace.trace_string(2, "m", ("t" + std::to_string(t) + " #" + std::to_string(i)).c_str());
    });
  }
  for (auto& th : threads) th.join();
  const std::string contents = ReadWholeFile(Info(0));
  ASSERT_GT(contents.size(), 32 + kMarker.size());
  EXPECT_EQ(contents.substr(0, 32), Header(static_cast<long>(contents.size() - kMarker.size())));
  size_t lines = 0;
  for (size_t pos = 32; pos < contents.size() - kMarker.size();) {
    const size_t end = contents.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(contents.compare(pos, 12, "[03/04/2024 "), 0);
    ++lines;
    pos = end + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kEach));
}

// ---- the trace directory

TEST_F(TraceFiles, DirectoryComesFromTheEnvironment) {
  CCmT120Trace trace("Log", nullptr, 0);
  EXPECT_EQ(std::string(trace.get_trace_dir()), Logs());
  {
    ScopedEnv other("USERPROFILE", "/elsewhere");
    EXPECT_EQ(std::string(trace.get_trace_dir()), Logs());  // remembered once found
  }
  CmT120TraceResetDirCacheForTest();
  {
    ScopedEnv noProfile("USERPROFILE", nullptr);
    ScopedEnv temp("TEMP", m_Dir.File("temp"));
    EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.File("temp") + "/logs/");
  }
  CmT120TraceResetDirCacheForTest();
  {
    ScopedEnv noProfile("USERPROFILE", nullptr);
    // Neither variable: the system's temporary directory itself, not remembered.
    EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.Path());
    ScopedEnv tooLong("USERPROFILE", "/" + std::string(504, 'x'));
    EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.Path());
    ScopedEnv later("TEMP", m_Dir.File("later"));
    ScopedEnv stillNoProfile("USERPROFILE", nullptr);
    EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.File("later") + "/logs/");
  }
}

TEST_F(TraceFiles, WithoutEitherVariableFilesGoToTheTemporaryDirectory) {
  ScopedEnv noProfile("USERPROFILE", nullptr);
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  EXPECT_EQ(trace.info_file_name(), m_Dir.File("CmT120TraceTest_info_0.log"));
  EXPECT_EQ(trace.error_file_name(), m_Dir.File("CmT120TraceTest_error_0.log"));
}

TEST(CmT120TraceProcessName, IsTheExecutablesFileName) {
  EXPECT_STREQ(CmT120TraceProcessName(), "CmT120TraceTest");
}

// ---- the trace path

TEST_F(TraceFiles, OptionBitTwoWritesTheTraceFiles) {
  CmT120TraceResetInstanceForTest();
  {
    TraceCapture settings(2, 0x2);
    CM_WARNING_TRACE("CTest::Run, through the trace path " << 7);
    CM_ERROR_TRACE("CTest::Run, an error");
    CM_DEBUG_TRACE("CTest::Run, suppressed by the mask");
    const std::string module = CmGetUtilModuleName();
    EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record(module, "CTest::Run, through the trace path 7") +
                                               Record(module, "CTest::Run, an error")));
    EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record(module, "CTest::Run, an error")));
    // Without the bit nothing more is written.
    cm_set_trace_option(0x4);
    CM_ERROR_TRACE("CTest::Run, not to the files");
    EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record(module, "CTest::Run, an error")));
  }
  CmT120TraceResetInstanceForTest();
}

TEST_F(TraceFiles, ModuleFilter) {
  CmT120TraceResetInstanceForTest();
  {
    TraceCapture settings(2);
    EXPECT_TRUE(is_module_trace_enabled(2, nullptr));  // creates the files
    EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));
    EXPECT_FALSE(is_module_trace_enabled(3, nullptr));  // above the threshold
    EXPECT_FALSE(is_module_trace_enabled(2, "mod"));    // the set is empty
    CCmT120Trace::instance()->enable_module_trace("mod");
    EXPECT_TRUE(is_module_trace_enabled(2, "mod"));
    EXPECT_FALSE(is_module_trace_enabled(2, "mo"));
    EXPECT_FALSE(is_module_trace_enabled(2, nullptr));
    EXPECT_FALSE(is_module_trace_enabled(3, "mod"));
    EXPECT_FALSE(CCmT120Trace::instance()->is_module_trace_enabled(0x100000000ul, "mod"));
    CCmT120Trace::instance()->disable_module_trace("mod");
    EXPECT_TRUE(is_module_trace_enabled(2, nullptr));
  }
  CmT120TraceResetInstanceForTest();
}

}  // namespace
