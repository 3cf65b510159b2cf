// The debug configuration: JSON merge and kinds, read permission, the
// refusal lines, the base directories, and the troubleshooting level.
#include <gtest/gtest.h>

#include <vector>

#include "CmDebugFileConfig.h"
#include "CmDebugFileConfigInternal.h"
#include "CmQloTrace.h"
#include "CmTraceInternal.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

class FixedDirProvider : public IConfigPathProvider {
 public:
  explicit FixedDirProvider(std::string aDir, int aResult = 0) : m_strDir(std::move(aDir)), m_nResult(aResult) {}
  int GetConfigBasePath(CCmString& aPath) override {
    aPath = m_strDir;
    return m_nResult;
  }
  std::string m_strDir;
  int m_nResult;
};

class DebugConfig : public ::testing::Test {
 protected:
  void SetUp() override {
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
  int TypeOf(const char* aKey) { return CmDebugConfigForTesting::TypeOf(m_pConfig, aKey); }

  CZarDebugFileConfig* m_pConfig = CZarDebugFileConfig::instance();
  ScopedTempDir m_Dir;
};

TEST_F(DebugConfig, FileValuesKeepTheirKindsAndMerge) {
  ASSERT_EQ(Read(R"({"a": 1, "b": 2.5, "c": "x", "d": true})"), 0);
  int i = 99;
  double d = 0;
  CCmString s;
  bool b = false;
  EXPECT_EQ(m_pConfig->GetValueInt("b", i), ZAR_E_FAIL);  // another kind: refused, output untouched
  EXPECT_EQ(i, 99);
  EXPECT_EQ((std::vector<int>{m_pConfig->GetValueInt("a", i), m_pConfig->GetValueDouble("b", d),
                              m_pConfig->GetValueString("c", s), m_pConfig->GetValueBool("d", b)}),
            std::vector<int>(4, 0));
  EXPECT_TRUE(i == 1 && d == 2.5 && s == "x" && b);

  ASSERT_EQ(Read(R"({"a": 3})"), 0);  // merged, not replaced
  EXPECT_EQ(m_pConfig->GetValueInt("a", i), 0);
  EXPECT_EQ(i, 3);
  EXPECT_EQ(CmDebugConfigForTesting::Size(m_pConfig), 4u);

  EXPECT_EQ(m_pConfig->SetValueDouble("a", 3.0), 0);  // setters bring their own kind
  EXPECT_EQ(TypeOf("a"), kCmJsonDouble);
}

TEST_F(DebugConfig, TypeTagsAndNullInAnyCase) {
  ASSERT_EQ(Read(R"({"i": -2147483648, "big": 2147483648, "neg": -2147483649, "e": 1e3,
                    "o": {"x": [1]}, "arr": [], "n1": NULL, "n2": Null, "s": "NULL"})"),
            0);
  // An exponent makes a double.
  EXPECT_EQ((std::vector<int>{TypeOf("i"), TypeOf("big"), TypeOf("neg"), TypeOf("e"), TypeOf("o"), TypeOf("arr"),
                              TypeOf("n1"), TypeOf("n2")}),
            (std::vector<int>{kCmJsonInt, kCmJsonUint64, kCmJsonInt64, kCmJsonDouble, kCmJsonObject, kCmJsonArray,
                              kCmJsonNull, kCmJsonNull}));
  EXPECT_EQ(CmJsonLowerCaseNulls(R"(["NULL \" NULL", NULLX, nUlL])"), R"(["NULL \" NULL", NULLX, null])");
}

TEST_F(DebugConfig, MalformedOrNonObjectTextAddsNothing) {
  m_pConfig->SetValueInt("keep", 5);
  for (const char* text : {"", "{", R"({"a": 1,})", R"({"a": 1} x)", "[1]", R"({"a": TRUE})", "{\"a\": \"\xff\"}"}) {
    EXPECT_EQ(m_pConfig->ParseConfigJSON(text), 0) << text;
    EXPECT_EQ(CmDebugConfigForTesting::Size(m_pConfig), 1u) << text;
  }
  EXPECT_EQ(m_pConfig->ParseConfigJSON(std::string("{\"a\": 1}\0 x", 11)), 0);  // a NUL byte is no JSON
  EXPECT_EQ(CmDebugConfigForTesting::Size(m_pConfig), 1u);
}

TEST_F(DebugConfig, RefusalsAndTheirLines) {
  TraceCapture trace;
  m_pConfig->SetReadPermission(false);
  EXPECT_EQ(Read(R"({"a": 1})"), ZAR_E_FAIL);
  EXPECT_EQ(CmDebugConfigForTesting::Size(m_pConfig), 0u);
  EXPECT_TRUE(trace.Contains("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: No read permission set.", 0));
  m_pConfig->SetReadPermission(true);

  FixedDirProvider failing("", ZAR_E_NOT_FOUND);
  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(&failing), ZAR_E_NOT_FOUND);
  EXPECT_TRUE(trace.Contains("Error: Failed to get the config file path.", 0));
  FixedDirProvider empty(m_Dir.File("none/"));  // no config.json there
  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(&empty), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("Error: Failed to read the config file.", 0));
  EXPECT_EQ(m_pConfig->ReadAndSetDebugConfigs(nullptr), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Error: No config path provider.", 0));
}

TEST(CZarDebugFileConfig, WithoutRecordEveryOperationRefuses) {
  TraceCapture trace;
  CZarDebugFileConfig* config = CmDebugConfigForTesting::NewWithoutRecord();
  int i = 0;
  CCmString s;
  EXPECT_FALSE(config->GetReadPermission());
  EXPECT_FALSE(config->ReadConfigFile("/dev/null", s));
  EXPECT_EQ(config->ParseConfigJSON("{}"), ZAR_E_FAIL);
  EXPECT_EQ(config->GetValueInt("k", i), ZAR_E_FAIL);
  EXPECT_EQ(config->SetValueBool("k", true), ZAR_E_FAIL);
  EXPECT_EQ(config->CleanDebugConfigs(), ZAR_E_FAIL);
  for (const char* op : {"GetReadPermission", "ReadConfigFile", "ParseConfigJSON", "GetValueInt", "SetValueBool",
                         "CleanDebugConfigs"}) {
    EXPECT_TRUE(trace.Contains(std::string("[CZarDebugFileConfig::") + op + "] pImpl is null!", 0)) << op;
  }
  CmDebugConfigForTesting::Delete(config);
}

TEST(ConfigDirectories, TemporaryAndExecutableDirectories) {
  ScopedTempDir dir;
  {
    ScopedEnv tmp("TMPDIR", dir.Path());
    CCmString path;
    EXPECT_EQ(DefaultConfigPathProvider().GetConfigBasePath(path), 0);
    EXPECT_EQ(path, dir.Path() + "/");
  }
  ScopedEnv tooLong("TMPDIR", "/" + std::string(300, 'x'));
  CCmString path = "unchanged";
  EXPECT_EQ(GetConfigBasePath(path), ZAR_E_FAIL);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(CCmDefaultDir::GetDefaultDir() + "CmDebugFileConfigTest",
            std::filesystem::read_symlink("/proc/self/exe").string());
}

TEST(TroubleshootingLevel, ComesFromZarTraceLevel) {
  TraceCapture trace(2);
  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  ASSERT_EQ(config->ParseConfigJSON(R"({"zar_trace_level": 3})"), 0);
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  CM_DEBUG_TRACE("a level-three line");
  CM_DETAIL_TRACE("a level-four line");
  EXPECT_TRUE(trace.Contains("a level-three line", 3));
  EXPECT_FALSE(trace.Contains("a level-four line"));
  // A value of another kind keeps the level.
  ASSERT_EQ(config->ParseConfigJSON(R"({"zar_trace_level": "4"})"), 0);
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  EXPECT_EQ(CmTraceGetTroubleshootingLevel(), 3);
  config->CleanDebugConfigs();
}

}  // namespace
