// The debug configuration: JSON merge and kinds, read permission, the
// refusal lines, the base directories, and the troubleshooting level that
// joins the trace threshold.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CmDebugFileConfig.h"
#include "CmDebugFileConfigInternal.h"
#include "CmQloTrace.h"
#include "CmTrace.h"
#include "CmTraceInternal.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

class FixedDirProvider : public IConfigPathProvider {
 public:
  explicit FixedDirProvider(std::string aDir, int aResult = 0) : m_strDir(std::move(aDir)), m_nResult(aResult) {}
  int GetConfigBasePath(CCmString& aPath) override {
    if (m_nResult == 0) aPath = m_strDir;
    return m_nResult;
  }

 private:
  std::string m_strDir;
  int m_nResult;
};

class DebugConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pConfig = CZarDebugFileConfig::instance();
    m_pConfig->CleanDebugConfigs();
    m_pConfig->SetReadPermission(true);
  }
  void TearDown() override {
    m_pConfig->CleanDebugConfigs();
    m_pConfig->SetReadPermission(false);
  }
  int Read(const std::string& aJson) {
    m_Dir.Write("config.json", aJson);
    FixedDirProvider provider(m_Dir.Path() + "/");
    return m_pConfig->ReadAndSetDebugConfigs(&provider);
  }
  int TypeOf(const char* aKey) { return CmDebugConfigTestAccess::TypeOf(m_pConfig, aKey); }
  size_t Size() { return CmDebugConfigTestAccess::Size(m_pConfig); }

  CZarDebugFileConfig* m_pConfig = nullptr;
  ScopedTempDir m_Dir;
};

TEST_F(DebugConfig, FileValuesKeepTheirKinds) {
  ASSERT_EQ(Read(R"({"a": 1, "b": 2.5, "c": "x", "d": true})"), 0);
  int i = 0;
  double d = 0;
  CCmString s;
  bool b = false;
  EXPECT_EQ(m_pConfig->GetValueInt("a", i), 0);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(m_pConfig->GetValueDouble("b", d), 0);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(m_pConfig->GetValueString("c", s), 0);
  EXPECT_EQ(s, "x");
  EXPECT_EQ(m_pConfig->GetValueBool("d", b), 0);
  EXPECT_TRUE(b);

  // A getter of another kind refuses and leaves its output alone.
  i = 99;
  EXPECT_EQ(m_pConfig->GetValueInt("b", i), ZAR_E_FAIL);
  EXPECT_EQ(i, 99);
  d = 9.5;
  EXPECT_EQ(m_pConfig->GetValueDouble("a", d), ZAR_E_FAIL);
  EXPECT_EQ(d, 9.5);
  EXPECT_EQ(m_pConfig->GetValueString("a", s), ZAR_E_FAIL);
  EXPECT_EQ(m_pConfig->GetValueBool("c", b), ZAR_E_FAIL);
  EXPECT_EQ(m_pConfig->GetValueInt("missing", i), ZAR_E_FAIL);
}

TEST_F(DebugConfig, TypeTagsFollowTheJsonKinds) {
  ASSERT_EQ(Read(R"({"s": "t", "i": -2147483648, "big": 2147483648, "neg": -2147483649,
                    "u": 18446744073709551615, "huge": 18446744073709551616, "e": 1e3, "f": 0.5,
                    "o": {"x": [1, 2]}, "arr": [], "t": false, "n": null})"),
            0);
  EXPECT_EQ(TypeOf("s"), kCmJsonString);
  EXPECT_EQ(TypeOf("i"), kCmJsonInt);
  EXPECT_EQ(TypeOf("big"), kCmJsonUint64);
  EXPECT_EQ(TypeOf("neg"), kCmJsonInt64);
  EXPECT_EQ(TypeOf("u"), kCmJsonUint64);
  EXPECT_EQ(TypeOf("huge"), kCmJsonDouble);
  EXPECT_EQ(TypeOf("e"), kCmJsonDouble);  // an exponent makes a double
  EXPECT_EQ(TypeOf("f"), kCmJsonDouble);
  EXPECT_EQ(TypeOf("o"), kCmJsonObject);
  EXPECT_EQ(TypeOf("arr"), kCmJsonArray);
  EXPECT_EQ(TypeOf("t"), kCmJsonBool);
  EXPECT_EQ(TypeOf("n"), kCmJsonNull);
  int i = 0;
  EXPECT_EQ(m_pConfig->GetValueInt("big", i), ZAR_E_FAIL);  // beyond 32 bits
  EXPECT_EQ(m_pConfig->GetValueInt("i", i), 0);
  EXPECT_EQ(i, -2147483647 - 1);
}

TEST_F(DebugConfig, SecondFileMergesIntoTheTable) {
  ASSERT_EQ(Read(R"({"a": 1, "b": 2.5, "c": "x", "d": true})"), 0);
  ASSERT_EQ(Read(R"({"a": 3, "e": "new"})"), 0);
  int a = 0;
  EXPECT_EQ(m_pConfig->GetValueInt("a", a), 0);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(Size(), 5u);
  double b = 0;
  EXPECT_EQ(m_pConfig->GetValueDouble("b", b), 0);
  EXPECT_EQ(b, 2.5);
  // A member may change its kind.
  ASSERT_EQ(Read(R"({"a": "three"})"), 0);
  EXPECT_EQ(TypeOf("a"), kCmJsonString);
}

TEST_F(DebugConfig, NullIsAcceptedInAnyLetterCase) {
  EXPECT_EQ(m_pConfig->ParseConfigJSON(R"({"a": NULL, "b": Null, "c": [nULL, "NULL"], "d": 4})"), 0);
  EXPECT_EQ(Size(), 4u);
  EXPECT_EQ(TypeOf("a"), kCmJsonNull);
  EXPECT_EQ(TypeOf("b"), kCmJsonNull);
  EXPECT_EQ(TypeOf("c"), kCmJsonArray);
  // Inside strings and as part of longer words nothing changes.
  EXPECT_EQ(CmJsonLowerCaseNulls(R"({"NULL": "Null \" NULL", "k": NULLX})"),
            R"({"NULL": "Null \" NULL", "k": NULLX})");
  EXPECT_EQ(CmJsonLowerCaseNulls("[NuLl,null,NULL]"), "[null,null,null]");
}

TEST_F(DebugConfig, MalformedOrNonObjectTextAddsNothing) {
  ASSERT_EQ(m_pConfig->SetValueInt("keep", 5), 0);
  const char* bad[] = {"", "{", R"({"a": 1,})", R"({"a": 1} trailing)", "[1, 2]", "42", R"("text")",
                       R"({"a": TRUE})", "{\"a\": \"\xff\xfe\"}", R"({"a": 01})"};
  for (const char* text : bad) {
    EXPECT_EQ(m_pConfig->ParseConfigJSON(text), 0) << text;
    EXPECT_EQ(Size(), 1u) << text;
  }
  int keep = 0;
  EXPECT_EQ(m_pConfig->GetValueInt("keep", keep), 0);
  EXPECT_EQ(keep, 5);
}

TEST_F(DebugConfig, SettersReplaceWithTheirKind) {
  EXPECT_EQ(m_pConfig->SetValueString("k", "v"), 0);
  EXPECT_EQ(TypeOf("k"), kCmJsonString);
  EXPECT_EQ(m_pConfig->SetValueInt("k", 7), 0);
  EXPECT_EQ(TypeOf("k"), kCmJsonInt);
  EXPECT_EQ(m_pConfig->SetValueDouble("k", 3.0), 0);
  EXPECT_EQ(TypeOf("k"), kCmJsonDouble);
  double d = 0;
  EXPECT_EQ(m_pConfig->GetValueDouble("k", d), 0);
  EXPECT_EQ(d, 3.0);
  EXPECT_EQ(m_pConfig->SetValueBool("k", false), 0);
  bool b = true;
  EXPECT_EQ(m_pConfig->GetValueBool("k", b), 0);
  EXPECT_FALSE(b);
  EXPECT_EQ(Size(), 1u);
  EXPECT_EQ(m_pConfig->CleanDebugConfigs(), 0);
  EXPECT_EQ(Size(), 0u);
}

TEST_F(DebugConfig, ReadingNeedsPermission) {
  TraceCapture trace;
  m_pConfig->SetReadPermission(false);
  EXPECT_FALSE(m_pConfig->GetReadPermission());
  EXPECT_EQ(Read(R"({"a": 1})"), ZAR_E_FAIL);
  EXPECT_EQ(Size(), 0u);
  EXPECT_TRUE(trace.Contains("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: No read permission set.", 0));
  m_pConfig->SetReadPermission(true);
  EXPECT_TRUE(m_pConfig->GetReadPermission());
  EXPECT_EQ(Read(R"({"a": 1})"), 0);
  EXPECT_EQ(Size(), 1u);
}

TEST_F(DebugConfig, RefusalsNameTheirCause) {
  TraceCapture trace;
  FixedDirProvider failing("", ZAR_E_NOT_FOUND);
  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(&failing), ZAR_E_NOT_FOUND);
  EXPECT_TRUE(
      trace.Contains("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: Failed to get the config file path.", 0));

  FixedDirProvider empty(m_Dir.Path() + "/");  // no config.json there
  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(&empty), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: Failed to read the config file.", 0));

  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(nullptr), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: No config path provider.", 0));

  CCmString contents = "untouched";
  EXPECT_FALSE(m_pConfig->ReadConfigFile(m_Dir.File("nope.json"), contents));
  EXPECT_EQ(contents, "untouched");
  EXPECT_FALSE(m_pConfig->ReadConfigFile(m_Dir.Path(), contents));  // a directory reads as an error
}

TEST_F(DebugConfig, ReadConfigFileKeepsEveryByte) {
  const std::string bytes("{\"a\":\0 1}\r\n", 11);
  const std::string path = m_Dir.Write("raw.json", bytes);
  CCmString contents;
  ASSERT_TRUE(m_pConfig->ReadConfigFile(path, contents));
  EXPECT_EQ(contents, bytes);
}

TEST(CZarDebugFileConfig, WithoutRecordEveryOperationRefuses) {
  TraceCapture trace;
  CZarDebugFileConfig* config = CmDebugConfigTestAccess::NewWithoutRecord();
  int i = 0;
  double d = 0;
  bool b = false;
  CCmString s;
  FixedDirProvider provider("/tmp/");
  EXPECT_EQ(config->SetReadPermission(true), ZAR_E_FAIL);
  EXPECT_FALSE(config->GetReadPermission());
  EXPECT_EQ(config->ReadAndSetDebugConfigs(&provider), ZAR_E_FAIL);
  EXPECT_FALSE(config->ReadConfigFile("/dev/null", s));
  EXPECT_EQ(config->ParseConfigJSON("{}"), ZAR_E_FAIL);
  EXPECT_EQ(config->GetValueString("k", s), ZAR_E_FAIL);
  EXPECT_EQ(config->GetValueInt("k", i), ZAR_E_FAIL);
  EXPECT_EQ(config->GetValueDouble("k", d), ZAR_E_FAIL);
  EXPECT_EQ(config->GetValueBool("k", b), ZAR_E_FAIL);
  EXPECT_EQ(config->SetValueString("k", "v"), ZAR_E_FAIL);
  EXPECT_EQ(config->SetValueInt("k", 1), ZAR_E_FAIL);
  EXPECT_EQ(config->SetValueDouble("k", 1), ZAR_E_FAIL);
  EXPECT_EQ(config->SetValueBool("k", true), ZAR_E_FAIL);
  EXPECT_EQ(config->CleanDebugConfigs(), ZAR_E_FAIL);
  for (const char* op : {"SetReadPermission", "GetReadPermission", "ReadAndSetDebugConfigs", "ReadConfigFile",
                         "ParseConfigJSON", "GetValueString", "GetValueInt", "GetValueDouble", "GetValueBool",
                         "SetValueString", "SetValueInt", "SetValueDouble", "SetValueBool", "CleanDebugConfigs"}) {
    EXPECT_EQ(trace.Count(std::string("[CZarDebugFileConfig::") + op + "] pImpl is null!", 0), 1u) << op;
  }
  CmDebugConfigTestAccess::Delete(config);
}

TEST(CZarDebugFileConfig, InstanceIsOneObjectAcrossThreads) {
  CZarDebugFileConfig* seen[4] = {};
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = CZarDebugFileConfig::instance(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, CZarDebugFileConfig::instance());
}

TEST(ConfigBasePath, IsTheTemporaryDirectoryWithItsSeparator) {
  ScopedTempDir dir;
  {
    ScopedEnv tmp("TMPDIR", dir.Path());
    CCmString path;
    EXPECT_EQ(GetConfigBasePath(path), 0);
    EXPECT_EQ(path, dir.Path() + "/");
    DefaultConfigPathProvider provider;
    CCmString viaProvider;
    EXPECT_EQ(provider.GetConfigBasePath(viaProvider), 0);
    EXPECT_EQ(viaProvider, path);
  }
  {
    ScopedEnv tmp("TMPDIR", "/" + std::string(300, 'x'));
    CCmString path = "unchanged";
    EXPECT_EQ(GetConfigBasePath(path), ZAR_E_FAIL);
    EXPECT_EQ(path, "unchanged");
  }
}

TEST(ConfigBasePath, DefaultProviderReadsConfigJsonFromTmpdir) {
  ScopedTempDir dir;
  ScopedEnv tmp("TMPDIR", dir.Path());
  dir.Write("config.json", R"({"from_tmpdir": 11})");
  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  config->CleanDebugConfigs();
  config->SetReadPermission(true);
  DefaultConfigPathProvider provider;
  EXPECT_EQ(config->ReadAndSetDebugConfigs(&provider), 0);
  int value = 0;
  EXPECT_EQ(config->GetValueInt("from_tmpdir", value), 0);
  EXPECT_EQ(value, 11);
  config->CleanDebugConfigs();
  config->SetReadPermission(false);
}

TEST(CCmDefaultDir, IsTheExecutablesDirectory) {
  const CCmString dir = CCmDefaultDir::GetDefaultDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  EXPECT_EQ(dir + "CmDebugFileConfigTest", std::string(self));
}

TEST(TroubleshootingLevel, ComesFromZarTraceLevel) {
  TraceCapture trace(2);
  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  config->CleanDebugConfigs();
  CM_DEBUG_TRACE("before the debug configuration");
  EXPECT_FALSE(trace.Contains("before the debug configuration"));

  ASSERT_EQ(config->ParseConfigJSON(R"({"zar_trace_level": 3})"), 0);
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  EXPECT_EQ(CmTraceGetTroubleshootingLevel(), 3);
  EXPECT_EQ(get_external_trace_mask(), 2u);
  CM_DEBUG_TRACE("a level-three line");
  CM_DETAIL_TRACE("a level-four line");
  EXPECT_TRUE(trace.Contains("a level-three line", 3));
  EXPECT_FALSE(trace.Contains("a level-four line"));

  // A value of another kind, or none, keeps the level.
  ASSERT_EQ(config->ParseConfigJSON(R"({"zar_trace_level": "4"})"), 0);
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  EXPECT_EQ(CmTraceGetTroubleshootingLevel(), 3);
  config->CleanDebugConfigs();
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  EXPECT_EQ(CmTraceGetTroubleshootingLevel(), 3);
}

}  // namespace
