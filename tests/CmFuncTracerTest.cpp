// Function tracers (cost levels on an injected clock), the leading id and
// path reduction for trace text.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>

#include "CmConfigInitFile.h"
#include "CmConfigInitFileInternal.h"
#include "CmDebugFileConfig.h"
#include "CmError.h"
#include "CmFuncTracer.h"
#include "CmFuncTracerInternal.h"
#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

std::atomic<uint64_t> g_nNowMs{1000000};
uint64_t MockNow() { return g_nNowMs.load(); }

class FuncTracer : public ::testing::Test {
 protected:
  void SetUp() override { CmFuncTracerSetClockForTest(&MockNow); }
  void TearDown() override { CmFuncTracerSetClockForTest(nullptr); }

  // The leave line of a scope that lasted aCostMs, and its level.
  TraceLine LeaveAfter(uint64_t aCostMs) {
    TraceCapture trace;
    {
      CCmUtilFuncTracer tracer(true, false, "mod", "Work", nullptr);
      g_nNowMs += aCostMs;
    }
    const std::vector<TraceLine> lines = trace.Lines();
    return lines.size() == 2 ? lines[1] : TraceLine{99, "wrong line count " + std::to_string(lines.size())};
  }
};

TEST_F(FuncTracer, EnterAndLeaveLines) {
  TraceCapture trace;
  {
    CCmUtilFuncTracer tracer(true, false, "mod", "CFoo::Bar", " arg=1");
    g_nNowMs += 1;
  }
  {
    CCmUtilFuncTracer api(true, true, "mod", "CFoo::Api", nullptr);
  }
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "[mod] ZARFunc CFoo::Bar Enter... arg=1");
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[1].text, "[mod] ZARFunc CFoo::Bar Leave");  // 1 ms: no cost shown
  EXPECT_EQ(lines[1].level, 2u);
  EXPECT_EQ(lines[2].text, "[mod] ZARFuncAPI CFoo::Api Enter...");
  EXPECT_EQ(lines[3].text, "[mod] ZARFuncAPI CFoo::Api Leave");
}

TEST_F(FuncTracer, CostLevels) {
  struct Case {
    uint64_t cost;
    unsigned level;
    const char* text;
  };
  const Case cases[] = {
      {0, 2, "[mod] ZARFunc Work Leave"},
      {1, 2, "[mod] ZARFunc Work Leave"},
      {2, 2, "[mod] ZARFunc Work Leave, cost=2ms"},
      {299, 2, "[mod] ZARFunc Work Leave, cost=299ms"},
      {300, 1, "[mod] ZARFunc Work Leave, cost=300ms"},
      {899, 1, "[mod] ZARFunc Work Leave, cost=899ms"},
      {900, 0, "[mod] ZARFunc Work Leave, cost=900ms"},
      {950, 0, "[mod] ZARFunc Work Leave, cost=950ms"},
      {86400000, 0, "[mod] ZARFunc Work Leave, cost=86400000ms"},
  };
  for (const Case& c : cases) {
    const TraceLine line = LeaveAfter(c.cost);
    EXPECT_EQ(line.text, c.text) << c.cost;
    EXPECT_EQ(line.level, c.level) << c.cost;
  }
}

TEST_F(FuncTracer, ClockGoingBackCountsAsNoCost) {
  TraceCapture trace;
  {
    CCmUtilFuncTracer tracer(true, false, "mod", "Work", nullptr);
    g_nNowMs -= 500;
  }
  EXPECT_EQ(trace.Find("Leave"), "[mod] ZARFunc Work Leave");
}

TEST_F(FuncTracer, DisabledTracerWritesNothing) {
  TraceCapture trace;
  {
    CCmUtilFuncTracer tracer(false, true, "mod", "Work", "x");
    g_nNowMs += 950;
  }
  EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(FuncTracer, EachLineObeysTheThreshold) {
  TraceCapture trace(0);
  {
    CCmUtilFuncTracer quick(true, false, "mod", "Quick", nullptr);
    g_nNowMs += 400;
  }
  {
    CCmUtilFuncTracer slow(true, false, "mod", "Slow", nullptr);
    g_nNowMs += 950;
  }
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "[mod] ZARFunc Slow Leave, cost=950ms");
}

TEST_F(FuncTracer, ModuleFallsBackToTheLibrarysOwn) {
  TraceCapture trace;
  {
    CCmUtilFuncTracer nullModule(true, false, nullptr, "A", nullptr);
    CCmUtilFuncTracer emptyModule(true, false, "", "B", nullptr);
  }
  const std::string own = std::string("[") + CmGetUtilModuleName() + "] ";
  EXPECT_EQ(trace.Find("A Enter"), own + "ZARFunc A Enter...");
  EXPECT_EQ(trace.Find("B Leave"), own + "ZARFunc B Leave");
}

TEST_F(FuncTracer, LongTextsAreCut) {
  TraceCapture trace;
  const std::string name(2000, 'n');
  {
    CCmUtilFuncTracer tracer(true, false, "mod", name.c_str(), "extra");
  }
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "[mod] ZARFunc " + std::string(928 - 8, 'n'));
}

TEST_F(FuncTracer, CopiesWriteTheirOwnLeaveLine) {
  TraceCapture trace;
  {
    CCmUtilFuncTracer tracer(true, false, "mod", "Work", nullptr);
    CCmUtilFuncTracer copy(tracer);
    g_nNowMs += 5;
  }
  EXPECT_EQ(trace.Count("ZARFunc Work Leave, cost=5ms"), 2u);
  EXPECT_EQ(trace.Count("Enter"), 1u);
}

// ---- CCmT120FuncTracer

class T120FuncTracer : public ::testing::Test {
 protected:
  T120FuncTracer() : m_Profile("USERPROFILE", m_Dir.Path()), m_Tmpdir("TMPDIR", m_Dir.Path()) {}
  void SetUp() override {
    CmT120TraceResetDirCacheForTest();
    CmT120TraceResetInstanceForTest();
  }
  void TearDown() override {
    CmT120TraceResetInstanceForTest();
    CmT120TraceResetDirCacheForTest();
  }
  ScopedTempDir m_Dir;
  ScopedEnv m_Profile;
  ScopedEnv m_Tmpdir;
};

TEST_F(T120FuncTracer, FollowsTheModuleFilter) {
  TraceCapture trace;
  { CCmT120FuncTracer named("mod", "CFoo::Named"); }
  EXPECT_TRUE(trace.Lines().empty());  // no module enabled yet
  { CCmT120FuncTracer unnamed(nullptr, "CFoo::Unnamed"); }
  const std::string own = std::string("[") + CmGetUtilModuleName() + "] ";
  ASSERT_EQ(trace.Lines().size(), 2u);
  EXPECT_EQ(trace.Lines()[0].text, own + "Enter CFoo::Unnamed");
  EXPECT_EQ(trace.Lines()[1].text, own + "Leave CFoo::Unnamed");
  EXPECT_EQ(trace.Lines()[1].level, 2u);

  trace.Clear();
  CCmT120Trace::instance()->enable_module_trace("mod");
  { CCmT120FuncTracer named("mod", "CFoo::Named"); }
  { CCmT120FuncTracer unnamed(nullptr, "CFoo::Unnamed"); }
  ASSERT_EQ(trace.Lines().size(), 2u);
  EXPECT_EQ(trace.Lines()[0].text, "[mod] Enter CFoo::Named");
  EXPECT_EQ(trace.Lines()[1].text, "[mod] Leave CFoo::Named");
}

TEST_F(T120FuncTracer, BelowInfoThresholdWritesNothing) {
  TraceCapture trace(1);
  { CCmT120FuncTracer unnamed(nullptr, "CFoo::Unnamed"); }
  EXPECT_TRUE(trace.Lines().empty());
}

// ---- leading id

TEST(LeadingId, Composition) {
  EXPECT_EQ(CmComposeLeadingId("app.exe", "box"), "app.box.");
  EXPECT_EQ(CmComposeLeadingId("app.EXE", "box"), "app.EXE.box.");
  EXPECT_EQ(CmComposeLeadingId("app.exe.bin", "box"), "app.exe.bin.box.");
  EXPECT_EQ(CmComposeLeadingId("a.exe.exe", ""), "a.exe..");
  EXPECT_EQ(CmComposeLeadingId("exe", "h"), "exe.h.");
  EXPECT_EQ(CmComposeLeadingId(std::string(2000, 'p'), "h"), std::string(1023, 'p'));
}

TEST(LeadingId, UsesMachineIdOfTheMainConfiguration) {
  const std::string name = "zar-leading-" + std::to_string(getpid()) + ".cfg";
  std::filesystem::create_directories(CCmDefaultDir::GetDefaultDir() + "conf");
  set_quillo_config_file_name(name);
  const std::string path = CmMainConfigFilePath();
  std::ofstream(path) << "[Other]\nMachineID = wrong\n[ Trace ]\n  machineid = box-7;\n";
  enable_config_io_feature(true);
  const char* id = get_leading_id();
  enable_config_io_feature(false);
  std::filesystem::remove(path);
  set_quillo_config_file_name("quillo.cfg");
  EXPECT_STREQ(id, "CmFuncTracerTest.box-7.");
  EXPECT_EQ(get_leading_id(), id);  // computed once
}

// ---- path reduction

TEST(FilepathTrace, HidesThePartBeforeAKnownFolder) {
  char out[128];
  EXPECT_EQ(zar_get_filepath_trace("C:\\Users\\someone\\AppData\\Local\\x.log", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "c:\\*\\appdata\\local\\x.log");
  EXPECT_EQ(zar_get_filepath_trace("/home/Someone/.config/Quillo/x.LOG", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "/ho*/quillo/x.log");
  EXPECT_EQ(zar_get_filepath_trace("/Users/a/Library/Application Support/z", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "/us*/application support/z");
  // Markers are tried in their order, not by position: "\velmar" wins over
  // an earlier "/quillo".
  EXPECT_EQ(zar_get_filepath_trace("/quillo/a\\velmar\\b", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "/qu*\\velmar\\b");
  EXPECT_EQ(zar_get_filepath_trace("/velmar", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "/ve*/velmar");
}

TEST(FilepathTrace, Refusals) {
  char out[16] = "untouched";
  EXPECT_EQ(zar_get_filepath_trace("/home/someone/x.log", out, sizeof(out)), ZAR_E_FAIL);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(zar_get_filepath_trace(nullptr, out, sizeof(out)), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/quillo", nullptr, 8), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/quillo", out, 0), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/home/x/.quillo/x.log", out, sizeof(out)), ZAR_E_FAIL);  // no "/quillo"
  EXPECT_EQ(zar_get_filepath_trace("/h/quillo/abcd", out, sizeof(out)), ZAR_E_BUFFER_TOO_SMALL);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(zar_get_filepath_trace("/h/quillo/abc", out, sizeof(out)), ZAR_S_OK);  // exactly 15
  EXPECT_STREQ(out, "/h/*/quillo/abc");
}

}  // namespace
