// The trace files: layout byte for byte, buffering and limits, level
// routing, rotation by size, the ring of ten, the day rollover, the trace
// directory and trace option bit 0x2. Every test points USERPROFILE and
// TMPDIR at its own directory and fixes the clock the trace files see.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "ManualClock.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

const std::string kMarker = "************************* Current Trace Point *************************\n\n";

std::string Header(long aOffset) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%-31ld\n", aOffset);
  return buf;
}

// 2024-03-04 05:06:07.089 local time.
int64_t MarchFourth() {
  struct tm t {};
  t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 4, t.tm_hour = 5, t.tm_min = 6, t.tm_sec = 7, t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t)) * 1000000 + 89000;
}

std::string Record(const std::string& aModule, const std::string& aText, const char* aDay = "04") {
  char stamp[128];
  snprintf(stamp, sizeof(stamp), "[03/%s/2024 05:06:07.089 pid=%d tid=%d]", aDay, static_cast<int>(getpid()),
           static_cast<int>(syscall(SYS_gettid)));
  return stamp + (" [" + aModule + "] :" + aText + "\n");
}

// A file holding exactly these records.
std::string FileWith(const std::string& aRecords) {
  return Header(32 + static_cast<long>(aRecords.size())) + aRecords + (aRecords.empty() ? "" : kMarker);
}

class TraceFiles : public ::testing::Test {
 protected:
  TraceFiles()
      : m_Profile("USERPROFILE", m_Dir.Path()),
        m_Temp("TEMP", nullptr),
        m_Tmpdir("TMPDIR", m_Dir.Path()),
        m_Home("HOME", m_Dir.File("home")),
        m_State("XDG_STATE_HOME", nullptr) {}
  void SetUp() override {
    CmT120TraceResetDirCacheForTesting();
    m_Clock.SetWallMicroseconds(MarchFourth());
  }
  void TearDown() override { CmT120TraceResetDirCacheForTesting(); }
  std::string Info(int aIndex) const { return Name("info", aIndex); }
  std::string Error(int aIndex) const { return Name("error", aIndex); }
  std::string Name(const char* aKind, int aIndex) const {
    return m_Dir.Path() + "/logs/CmT120TraceTest_" + aKind + "_" + std::to_string(aIndex) + ".log";
  }
  CCmT120TraceFile* Open(const std::string& aPath, unsigned long aLimit = 0) {
    return static_cast<CCmT120TraceFile*>(CCmT120TraceFileMgr::instance()->open(aPath.c_str(), aLimit, 0, 0));
  }
  static void Close(CCmT120TraceFile* aFile) { CCmT120TraceFileMgr::instance()->close(aFile); }
  static void AllFull() { CCmT120TraceFileMgr::instance()->refresh_settings(1, 1); }

  ScopedTempDir m_Dir;
  ScopedEnv m_Profile, m_Temp, m_Tmpdir, m_Home, m_State;
  ManualClock m_Clock;
};

TEST_F(TraceFiles, LayoutByteForByte) {
  const std::string path = m_Dir.File("a.log");
  CCmT120TraceFile* file = Open(path);
  EXPECT_EQ(ReadWholeFile(path), "32" + std::string(29, ' ') + "\n");

  const std::string prefix = Record("mod", "");
  const std::string text(100 - prefix.size(), 't');  // a record of 100 bytes
  file->write("mod", "", text.c_str());
  const std::string first = Record("mod", text);
  ASSERT_EQ(first.size(), 100u);
  EXPECT_EQ(ReadWholeFile(path), "132" + std::string(28, ' ') + "\n" + first + kMarker);

  file->write("mod", "", "second");  // written over the marker
  file->write("mod", "", std::string(CCmT120TraceFile::kRecordSize, 'h').c_str());  // does not fit: dropped
  EXPECT_EQ(ReadWholeFile(path), FileWith(first + Record("mod", "second")));
  Close(file);
}

// The three record forms, and the bounded formatter's edge: a record that
// fills the buffer exactly loses its last character to the terminating
// zero, one character more and it is dropped.
TEST_F(TraceFiles, RecordFormsAndTheExactFit) {
  const std::string path = m_Dir.File("a.log");
  CCmT120TraceFile* file = Open(path);
  const std::string full = Record("m", "");
  const std::string stamp = full.substr(0, full.size() - std::string(" [m] :\n").size());
  file->write(nullptr, "", "no module");
  file->write("m", nullptr, "no separator");
  file->write(nullptr, nullptr, "neither");
  file->write("m", "sep", "both");
  const std::string forms = stamp + " :no module\n" + stamp + " no separator\n" + stamp + " neither\n" + stamp +
                            " [m] sep:both\n";
  EXPECT_EQ(ReadWholeFile(path), FileWith(forms));

  const std::string exact(CCmT120TraceFile::kRecordSize - full.size(), 'x');  // record of exactly 10240 bytes
  file->write("m", "", (exact + "y").c_str());                                // 10241: dropped
  EXPECT_EQ(ReadWholeFile(path), FileWith(forms));
  file->write("m", "", exact.c_str());
  const std::string cut = Record("m", exact).substr(0, CCmT120TraceFile::kRecordSize - 1);
  EXPECT_EQ(ReadWholeFile(path), FileWith(forms + cut));
  Close(file);
}

// The process and thread ids in the records are remembered, and must be the
// child's own in a forked child (whose one thread has the process's id).
TEST_F(TraceFiles, ForkedChildRecordsItsOwnProcessId) {
  const std::string parentPath = m_Dir.File("parent.log");
  CCmT120TraceFile* parent = Open(parentPath);
  parent->write("m", "", "before");
  EXPECT_EQ(ReadWholeFile(parentPath), FileWith(Record("m", "before")));
  const std::string childPath = m_Dir.File("child.log");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      CCmT120TraceFile file(childPath.c_str(), 0, 0, 0);
      file.write("m", "", "in child");
    }
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = ReadWholeFile(childPath);
  const std::string id = std::to_string(child);
  EXPECT_NE(text.find(" pid=" + id + " tid=" + id + "] [m] :in child\n"), std::string::npos) << text;
  parent->write("m", "", "after");
  EXPECT_EQ(ReadWholeFile(parentPath), FileWith(Record("m", "before") + Record("m", "after")));
  Close(parent);
}

TEST_F(TraceFiles, BufferCountAndSizeLimit) {
  const std::string path = m_Dir.File("a.log");
  CCmT120TraceFile* file = Open(path, 200);
  EXPECT_FALSE(file->refresh_settings(200, 0));
  ASSERT_TRUE(file->refresh_settings(200, 2));
  file->write("m", "", std::string(80, 'x').c_str());
  EXPECT_EQ(ReadWholeFile(path), Header(32));  // waiting for the second record
  file->write("m", "", std::string(80, 'x').c_str());
  const std::string r = Record("m", std::string(80, 'x'));
  EXPECT_EQ(ReadWholeFile(path), FileWith(r + r));
  EXPECT_FALSE(file->is_full());  // the flush began below 200
  file->write("m", "", std::string(80, 'x').c_str());
  file->write("m", "", std::string(80, 'x').c_str());
  EXPECT_TRUE(file->is_full());  // began at or above 200: full, still written
  EXPECT_EQ(ReadWholeFile(path), FileWith(r + r + r + r));
  Close(file);
}

TEST_F(TraceFiles, FilesArePrivateAndLinksAreRefused) {
  const std::string target = m_Dir.Write("target.txt", "precious");
  ASSERT_EQ(symlink(target.c_str(), m_Dir.File("link.log").c_str()), 0);
  CCmT120TraceFile* linked = Open(m_Dir.File("link.log"));
  EXPECT_FALSE(linked->is_open());
  linked->write("m", "", "x");
  EXPECT_EQ(ReadWholeFile(target), "precious");
  Close(linked);

  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  struct stat file, dir;
  ASSERT_EQ(stat(Info(0).c_str(), &file), 0);
  ASSERT_EQ(stat((m_Dir.Path() + "/logs").c_str(), &dir), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.st_mode & 0777, 0700u);
  trace.trace_string(2, "m", "kept");
  Open(Info(0));  // one object per name: opening again does not empty it
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("m", "kept")));
}

TEST_F(TraceFiles, LevelsRouteToInfoAndErrorFiles) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  EXPECT_EQ(ReadWholeFile(Error(0)), Header(32));
  trace.trace_string(1, "mod", "a warning");
  trace.trace_string(0, "mod", "an error");
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("mod", "a warning") + Record("mod", "an error")));
  EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record("mod", "an error")));
}

TEST_F(TraceFiles, RotationBySizeWrapsAfterIndexNine) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  trace.trace_string(2, "m", "first");
  AllFull();
  trace.trace_string(2, "m", "fills info 0");  // still written to info 0, then info 1 starts
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("m", "first") + Record("m", "fills info 0")));
  EXPECT_EQ(trace.info_file_name(), Info(1));
  EXPECT_EQ(trace.error_file_name(), Error(0));
  for (int i = 1; i < 10; ++i) {
    AllFull();
    trace.trace_string(2, "m", ("message " + std::to_string(i)).c_str());
    EXPECT_EQ(trace.info_file_name(), Info((i + 1) % 10)) << i;
  }
  EXPECT_EQ(ReadWholeFile(Info(9)), FileWith(Record("m", "message 9")));
  EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));  // index 0 again, emptied
  trace.trace_string(0, "m", "error rotates too");
  EXPECT_EQ(trace.error_file_name(), Error(1));
}

TEST_F(TraceFiles, NewDayRestartsBothRings) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  AllFull();
  trace.trace_string(0, "m", "day one");  // both rings move to index 1
  ASSERT_EQ(trace.info_file_name(), Info(1));

  m_Clock.SetWallMicroseconds(MarchFourth() + 86400LL * 1000000);
  trace.trace_string(0, "m", "day two");
  EXPECT_EQ(ReadWholeFile(Info(1)), FileWith(Record("m", "day two", "05")));  // the previous info file
  EXPECT_EQ(trace.info_file_name(), Info(0));
  EXPECT_EQ(ReadWholeFile(Info(0)), Header(32));
  EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record("m", "day two", "05")));  // the new error file
  trace.trace_string(2, "m", "next");
  EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record("m", "next", "05")));
}

TEST_F(TraceFiles, FixedNameTakesTheInfoSlot) {
  CCmT120Trace numbered("Log", "fixed.log", 0);
  numbered.load(nullptr);
  EXPECT_EQ(numbered.info_file_name(), m_Dir.Path() + "/logs/fixed.log.0");
  EXPECT_EQ(numbered.error_file_name(), "");
  AllFull();
  numbered.trace_string(0, "m", "x");
  EXPECT_EQ(numbered.info_file_name(), m_Dir.Path() + "/logs/fixed.log.1");
}

TEST_F(TraceFiles, ConcurrentMessagesStayWhole) {
  CCmT120Trace trace("Log", nullptr, 0);
  trace.load(nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&trace] {
      for (int i = 0; i < 200; ++i) trace.trace_string(2, "m", "concurrent");
    });
  }
  for (auto& th : threads) th.join();
  const std::string contents = ReadWholeFile(Info(0));
  const size_t end = contents.size() - kMarker.size();
  EXPECT_EQ(contents.substr(0, 32), Header(static_cast<long>(end)));
  size_t lines = 0;
  for (size_t pos = 32; pos < end; pos = contents.find('\n', pos) + 1, ++lines) {
    EXPECT_EQ(contents.compare(contents.find('\n', pos) - 13, 14, "] :concurrent\n"), 0);
  }
  EXPECT_EQ(lines, 800u);
}

TEST_F(TraceFiles, DirectoryComesFromTheEnvironment) {
  CCmT120Trace trace("Log", nullptr, 0);
  EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.Path() + "/logs/");
  ScopedEnv other("USERPROFILE", nullptr);
  EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.Path() + "/logs/");  // remembered once found
  CmT120TraceResetDirCacheForTesting();
  const std::string stateDir = m_Dir.File("home") + "/.local/state/zarutil/logs/";
  EXPECT_EQ(std::string(trace.get_trace_dir()), stateDir);  // neither: the user's state directory
  {
    ScopedEnv tooLong("TEMP", "/" + std::string(504, 'x'));
    EXPECT_EQ(std::string(trace.get_trace_dir()), stateDir);
  }
  ScopedEnv temp("TEMP", m_Dir.File("t"));
  EXPECT_EQ(std::string(trace.get_trace_dir()), m_Dir.File("t") + "/logs/");
  EXPECT_STREQ(CmT120TraceProcessName(), "CmT120TraceTest");
}

// Whether a trace written through a fresh front end reached aDir.
bool TraceReaches(const std::string& aDir) {
  {
    CCmT120Trace trace("Log", nullptr, 0);
    trace.load(nullptr);
    trace.trace_string(0, "m", "where");
  }
  return ReadWholeFile(aDir + "CmT120TraceTest_info_0.log").find("] [m] :where\n") != std::string::npos;
}

mode_t ModeOf(const std::string& aPath) {
  struct stat st {};
  return lstat(aPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Without USERPROFILE and TEMP the files go to the user's state directory;
// only a user without a home gets a folder of its own in the temporary
// directory, never the temporary directory itself. The levels the library
// adds are created owner-only.
TEST_F(TraceFiles, DirectoryWithoutTheVariables) {
  ScopedEnv noProfile("USERPROFILE", nullptr);
  const std::string tmpOwned = "/zarutil-" + std::to_string(geteuid());
  const std::string tmpFolder = tmpOwned + "/logs/";
  const struct {
    const char* state;  // XDG_STATE_HOME: null unset, "/x" inside the test's directory, else as it is
    const char* home;   // HOME, the same way
    const char* dir;    // the expected directory inside the test's directory
    const char* owned;  // the first level the library adds
  } cases[] = {
      {"/s", "/h", "/s/zarutil/logs/", "/s/zarutil"},
      {nullptr, "/h", "/h/.local/state/zarutil/logs/", "/h/.local"},
      {"relative", "/h/", "/h/.local/state/zarutil/logs/", "/h/.local"},
      {nullptr, nullptr, tmpFolder.c_str(), tmpOwned.c_str()},
      {nullptr, "", tmpFolder.c_str(), nullptr},
      {"relative", "relative", tmpFolder.c_str(), nullptr},
  };
  for (const auto& c : cases) {
    ScopedTempDir scratch;
    auto inScratch = [&](const char* aText) {
      return aText && aText[0] == '/' ? scratch.Path() + aText : std::string(aText ? aText : "");
    };
    const std::string stateValue = inScratch(c.state), homeValue = inScratch(c.home);
    ScopedEnv state("XDG_STATE_HOME", c.state ? stateValue.c_str() : nullptr),
        home("HOME", c.home ? homeValue.c_str() : nullptr), tmp("TMPDIR", scratch.Path());
    CmT120TraceResetDirCacheForTesting();
    const std::string dir = scratch.Path() + c.dir;
    EXPECT_EQ(std::string(CCmT120Trace("Log", nullptr, 0).get_trace_dir()), dir);
    EXPECT_TRUE(TraceReaches(dir)) << dir;
    EXPECT_EQ(ModeOf(dir), 0700u) << dir;
    if (c.owned) {
      EXPECT_EQ(ModeOf(scratch.Path() + c.owned), 0700u) << c.owned;
    }
  }
}

// A trace directory that someone else controls is refused, never altered:
// no file is written into it or through it.
TEST_F(TraceFiles, DirectoryOthersControlIsRefused) {
  const std::string uid = std::to_string(geteuid());
  const struct {
    const char* name;
    std::function<void(const std::string&)> prepare;  // gets the test's directory
    bool useProfile;                                  // else the temporary directory's fallback
    bool needsRoot = false;                           // to give a directory away
  } cases[] = {
      {"group-writable logs under USERPROFILE",
       [](const std::string& aDir) {
         mkdir((aDir + "/logs").c_str(), 0700);
         chmod((aDir + "/logs").c_str(), 0770);
       },
       true},
      {"world-writable per-user folder",
       [&](const std::string& aDir) {
         mkdir((aDir + "/zarutil-" + uid).c_str(), 0700);
         chmod((aDir + "/zarutil-" + uid).c_str(), 01777);
       },
       false},
      {"logs a symbolic link",
       [&](const std::string& aDir) {
         mkdir((aDir + "/zarutil-" + uid).c_str(), 0700);
         mkdir((aDir + "/elsewhere").c_str(), 0700);
         symlink((aDir + "/elsewhere").c_str(), (aDir + "/zarutil-" + uid + "/logs").c_str());
       },
       false},
      {"per-user folder owned by another user",
       [&](const std::string& aDir) {
         mkdir((aDir + "/zarutil-" + uid).c_str(), 0700);
         ASSERT_EQ(chown((aDir + "/zarutil-" + uid).c_str(), 65534, 65534), 0);
       },
       false, true},
  };
  for (const auto& c : cases) {
    if (c.needsRoot && geteuid() != 0) continue;
    ScopedTempDir scratch;
    ScopedEnv profile("USERPROFILE", c.useProfile ? scratch.Path().c_str() : nullptr), home("HOME", nullptr),
        tmp("TMPDIR", scratch.Path());
    c.prepare(scratch.Path());
    CmT120TraceResetDirCacheForTesting();
    const std::string dir = c.useProfile ? scratch.Path() + "/logs/" : scratch.Path() + "/zarutil-" + uid + "/logs/";
    EXPECT_EQ(std::string(CCmT120Trace("Log", nullptr, 0).get_trace_dir()), dir) << c.name;
    EXPECT_FALSE(TraceReaches(dir)) << c.name;
    EXPECT_FALSE(TraceReaches(scratch.Path() + "/elsewhere/")) << c.name;
    EXPECT_FALSE(TraceReaches(scratch.Path() + "/")) << c.name;
  }
}

TEST_F(TraceFiles, TracePathOptionBitAndModuleFilter) {
  CmT120TraceResetInstanceForTesting();
  {
    TraceCapture settings(2, 0x2);
    CM_ERROR_TRACE("CTest::Run, an error " << 7);
    CM_DEBUG_TRACE("CTest::Run, suppressed by the mask");
    const std::string own = CmGetUtilModuleName();
    EXPECT_EQ(ReadWholeFile(Info(0)), FileWith(Record(own, "CTest::Run, an error 7")));
    EXPECT_EQ(ReadWholeFile(Error(0)), FileWith(Record(own, "CTest::Run, an error 7")));

    EXPECT_TRUE(is_module_trace_enabled(2, nullptr));
    EXPECT_FALSE(is_module_trace_enabled(3, nullptr));  // above the threshold
    EXPECT_FALSE(is_module_trace_enabled(2, "mod"));    // no module enabled
    CCmT120Trace::instance()->enable_module_trace("mod");
    EXPECT_TRUE(is_module_trace_enabled(2, "mod"));
    EXPECT_FALSE(is_module_trace_enabled(2, "mo"));
    EXPECT_FALSE(is_module_trace_enabled(2, nullptr));
  }
  CmT120TraceResetInstanceForTesting();
}

}  // namespace
