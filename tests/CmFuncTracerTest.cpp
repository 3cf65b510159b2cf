// Function tracers (cost levels on a manual clock), the leading id and
// path reduction for trace text.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "CmConfigInitFile.h"
#include "CmConfigInitFileInternal.h"
#include "CmDebugFileConfig.h"
#include "CmFuncTracer.h"
#include "CmFuncTracerInternal.h"
#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "ManualClock.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

class FuncTracer : public ::testing::Test {
 protected:
  ManualClock m_Clock;
};

TEST_F(FuncTracer, EnterAndLeaveLinesWithCostLevels) {
  struct Case {
    int64_t cost;
    unsigned level;
    const char* leave;
  };
  const Case cases[] = {
      {1, 2, "[mod] ZARFunc Work Leave"},
      {-500, 2, "[mod] ZARFunc Work Leave"},  // a clock going back costs nothing
      {2, 2, "[mod] ZARFunc Work Leave, cost=2ms"},
      {299, 2, "[mod] ZARFunc Work Leave, cost=299ms"},
      {300, 1, "[mod] ZARFunc Work Leave, cost=300ms"},
      {899, 1, "[mod] ZARFunc Work Leave, cost=899ms"},
      {900, 0, "[mod] ZARFunc Work Leave, cost=900ms"},
      {950, 0, "[mod] ZARFunc Work Leave, cost=950ms"},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    {
      CCmUtilFuncTracer tracer(true, false, "mod", "Work", " arg=1");
      m_Clock.AdvanceMs(c.cost);
    }
    const std::vector<TraceLine> lines = trace.Lines();
    ASSERT_EQ(lines.size(), 2u) << c.cost;
    EXPECT_EQ(lines[0].text, "[mod] ZARFunc Work Enter... arg=1");
    EXPECT_EQ(lines[0].level, 2u);
    EXPECT_EQ(lines[1].text, c.leave) << c.cost;
    EXPECT_EQ(lines[1].level, c.level) << c.cost;
  }
}

TEST_F(FuncTracer, DisabledThresholdAndModule) {
  TraceCapture trace(0);
  {
    CCmUtilFuncTracer off(false, true, "mod", "Off", "x");
    CCmUtilFuncTracer quick(true, true, "", "Quick", nullptr);
    CCmUtilFuncTracer slow(true, true, nullptr, "Slow", nullptr);
    m_Clock.AdvanceMs(950);
  }
  // Only the level-0 leave lines pass threshold 0; the disabled one writes nothing.
  const std::string own = std::string("[") + CmGetUtilModuleName() + "] ";
  ASSERT_EQ(trace.Lines().size(), 2u);
  EXPECT_EQ(trace.Lines()[0].text, own + "ZARFuncAPI Slow Leave, cost=950ms");
  EXPECT_EQ(trace.Lines()[1].text, own + "ZARFuncAPI Quick Leave, cost=950ms");
}

TEST(T120FuncTracer, FollowsTheModuleFilter) {
  ScopedTempDir dir;
  ScopedEnv profile("USERPROFILE", dir.Path()), tmpdir("TMPDIR", dir.Path());
  CmT120TraceResetDirCacheForTesting();
  CmT120TraceResetInstanceForTesting();
  {
    TraceCapture trace;
    { CCmT120FuncTracer named("mod", "CFoo::Named"); }
    EXPECT_TRUE(trace.Lines().empty());  // no module enabled yet
    { CCmT120FuncTracer unnamed(nullptr, "CFoo::Unnamed"); }
    const std::string own = std::string("[") + CmGetUtilModuleName() + "] ";
    ASSERT_EQ(trace.Lines().size(), 2u);
    EXPECT_EQ(trace.Lines()[0].text, own + "Enter CFoo::Unnamed");
    EXPECT_EQ(trace.Lines()[1].text, own + "Leave CFoo::Unnamed");
    trace.Clear();
    CCmT120Trace::instance()->enable_module_trace("mod");
    { CCmT120FuncTracer named("mod", "CFoo::Named"); }
    ASSERT_EQ(trace.Lines().size(), 2u);
    EXPECT_EQ(trace.Lines()[1].text, "[mod] Leave CFoo::Named");
  }
  CmT120TraceResetInstanceForTesting();
  CmT120TraceResetDirCacheForTesting();
}

TEST(LeadingId, CompositionAndMachineId) {
  EXPECT_EQ(CmComposeLeadingId("app.exe", "box"), "app.box.");
  EXPECT_EQ(CmComposeLeadingId("app.EXE", "box"), "app.EXE.box.");
  EXPECT_EQ(CmComposeLeadingId("a.exe.bin", ""), "a.exe.bin..");
  EXPECT_EQ(CmComposeLeadingId(std::string(2000, 'p'), "h"), std::string(1023, 'p'));

  const std::string name = "zar-leading-" + std::to_string(getpid()) + ".cfg";
  std::filesystem::create_directories(CCmDefaultDir::GetDefaultDir() + "conf");
  set_quillo_config_file_name(name);
  std::ofstream(CmMainConfigFilePath()) << "[Other]\nMachineID = wrong\n[ Trace ]\n  machineid = box-7;\n";
  enable_config_io_feature(true);
  const char* id = get_leading_id();
  enable_config_io_feature(false);
  std::filesystem::remove(CmMainConfigFilePath());
  set_quillo_config_file_name("quillo.cfg");
  EXPECT_STREQ(id, "CmFuncTracerTest.box-7.");
  EXPECT_EQ(get_leading_id(), id);  // computed once
}

TEST(FilepathTrace, ReducesOrRefuses) {
  char out[32] = "untouched";
  EXPECT_EQ(zar_get_filepath_trace("C:\\Users\\x\\AppData\\Local\\a.log", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "c:\\*\\appdata\\local\\a.log");
  EXPECT_EQ(zar_get_filepath_trace("/quillo/a\\velmar\\b", out, sizeof(out)), ZAR_S_OK);  // marker order wins
  EXPECT_STREQ(out, "/qu*\\velmar\\b");
  EXPECT_EQ(zar_get_filepath_trace("/Users/a/Application Support/z", out, sizeof(out)), ZAR_S_OK);
  EXPECT_STREQ(out, "/us*/application support/z");

  strcpy(out, "untouched");
  EXPECT_EQ(zar_get_filepath_trace("/home/x/.quillo/a.log", out, sizeof(out)), ZAR_E_FAIL);  // no marker
  EXPECT_EQ(zar_get_filepath_trace(nullptr, out, sizeof(out)), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/quillo", nullptr, 8), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/quillo", out, 0), ZAR_E_FAIL);
  EXPECT_EQ(zar_get_filepath_trace("/h/quillo/abcd", out, 16), ZAR_E_BUFFER_TOO_SMALL);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(zar_get_filepath_trace("/h/quillo/abc", out, 16), ZAR_S_OK);  // exactly 15 characters
  EXPECT_STREQ(out, "/h/*/quillo/abc");
}

}  // namespace
