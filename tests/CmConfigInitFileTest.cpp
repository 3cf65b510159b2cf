// The ini reader's rules, the main configuration file and the typed getters.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "CmConfigInitFile.h"
#include "CmConfigInitFileInternal.h"
#include "CmDebugFileConfig.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

const char kIni[] =
    "top = before\n"
    "  [  Net  ]  trailing text\n"
    "# Port = commented\n"
    "Port = 80\n"
    "Key\t=\t a = b \r\n"
    "spaced = \"  quoted  \"\n"
    "mixed = 'open\"\n"
    "quotedsemi = \"kept\";\n"
    "semi = ;\n"
    "yes = TRUE;\n"
    "no = yes\n"
    "nines = 99999999999\n"
    "dwordmax = 4294967295\n"
    "word = 70000\n"
    "text = abc\n"
    "float = 1.25\n"
    "floatbig = 3e9\n"
    "[Other]\n"
    "late = x\n"
    "[net]\n"
    "Extra = only in the second Net\n";

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override { m_strPath = m_Dir.Write("test.cfg", kIni); }
  std::string Lookup(const char* aSection, const char* aKey) {
    char value[256];
    return get_string_param_from_ini_force(m_strPath.c_str(), aSection, aKey, value, sizeof(value)) ? value : "<none>";
  }
  ScopedTempDir m_Dir;
  std::string m_strPath;
};

TEST_F(IniFile, ReaderRules) {
  EXPECT_EQ(Lookup("net", "PORT"), "80");          // spaces inside the brackets, any case
  EXPECT_EQ(Lookup("net", "extra"), "<none>");     // the second Net is never searched
  EXPECT_EQ(Lookup("net", "late"), "<none>");      // stands after the next header
  EXPECT_EQ(Lookup("other", "late"), "x");
  EXPECT_EQ(Lookup(nullptr, "top"), "before");     // before any header: null section only
  EXPECT_EQ(Lookup("net", "top"), "<none>");
  EXPECT_EQ(Lookup("net", "key"), "a = b");        // first '=' splits; whitespace trimmed
  EXPECT_EQ(Lookup("net", "spaced"), "quoted");
  EXPECT_EQ(Lookup("net", "mixed"), "'open\"");    // different marks stay
  EXPECT_EQ(Lookup("net", "quotedsemi"), "\"kept\"");  // ';' goes only after the quote rule
  EXPECT_EQ(Lookup("net", "semi"), "");            // ";" alone: found, empty
  EXPECT_EQ(Lookup("net", "yes"), "TRUE");
}

TEST_F(IniFile, BuffersLongLinesAndRefusals) {
  char small[4];
  ASSERT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "net", "text", small, sizeof(small)));
  EXPECT_STREQ(small, "abc");
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "net", "absent", small, sizeof(small)));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "net", "text", nullptr, 8));
  EXPECT_FALSE(get_string_param_from_ini_force(m_Dir.File("absent").c_str(), "net", "text", small, sizeof(small)));

  // A piece boundary after 2047 characters starts a new "line".
  const std::string filler(2047 - 7, 'x');
  const std::string longText = "[L]\nlong = " + filler + "k2 = v2\n";
  m_strPath = m_Dir.Write("long.cfg", longText);
  char big[4096];
  ASSERT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "l", "long", big, sizeof(big)));
  EXPECT_EQ(std::string(big), filler);
  EXPECT_EQ(Lookup("l", "k2"), "v2");
  ASSERT_TRUE(CmIniLookupInText(longText.data(), longText.size(), "l", "k2", big, sizeof(big)));
  EXPECT_STREQ(big, "v2");
}

TEST_F(IniFile, TypedGettersAndTheirDefaults) {
  enable_config_io_feature(true);
  CCmConfigInitFile file{CCmString(m_strPath)};
  EXPECT_EQ(file.GetBoolParam("net", "yes", 5), 1);  // "TRUE;" reads as 1
  EXPECT_EQ(file.GetBoolParam("net", "no", 5), 0);
  EXPECT_EQ(file.GetBoolParam("net", "absent", 5), 5);
  EXPECT_EQ(file.GetStringParam("net", "spaced", "d"), "quoted");
  EXPECT_EQ(file.GetWordParam("net", "word", 7), 70000 & 0xFFFF);
  EXPECT_EQ(file.GetWordParam("net", "text", 7), 7);
  EXPECT_EQ(file.GetDwordParam("net", "dwordmax", 7), 7ul);
  EXPECT_EQ(file.GetDwordParam("net", "nines", 7), 7ul);
  EXPECT_EQ(file.GetIntParam("net", "nines", 7), 7);  // eleven nines overflow
  EXPECT_EQ(file.GetIntParam("net", "text", 7), 0);
  EXPECT_FLOAT_EQ(file.GetFloatParam("net", "float", 7.f), 1.25f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("net", "floatbig", 7.f), 7.f);

  file.RegisterFunc(nullptr);
  EXPECT_EQ(file.GetBoolParam("net", "yes", 5), 5);
  EXPECT_EQ(file.GetStringParam("net", "spaced", "d"), "d");
  EXPECT_EQ(file.GetIntParam("net", "port", 7), 7);
  EXPECT_FLOAT_EQ(file.GetFloatParam("net", "float", 7.f), 7.f);
  file.RegisterFunc([](const char*, const char*, const char* aKey, char* aValue, int aSize) -> unsigned char {
    snprintf(aValue, static_cast<size_t>(aSize), "%zu", strlen(aKey));
    return 1;
  });
  EXPECT_EQ(file.GetIntParam("any", "four", 7), 4);
  enable_config_io_feature(false);
  EXPECT_EQ(CCmConfigInitFile{CCmString(m_strPath)}.GetIntParam("net", "port", 7), 7);  // reading off
}

TEST(MainConfigFile, ReadingIsOffUntilEnabled) {
  const std::string name = "zar-test-" + std::to_string(getpid()) + ".cfg";
  std::filesystem::create_directories(CCmDefaultDir::GetDefaultDir() + "conf");
  TraceCapture trace;
  CCmConfigInitFile::SetQuilloConfigFileName(name);
  EXPECT_TRUE(trace.Contains("CCmConfigInitFile::SetQuilloConfigFileName, file name " + name, 2));
  const std::string path = CmMainConfigFilePath();
  EXPECT_EQ(path, CCmDefaultDir::GetDefaultDir() + "conf/" + name);
  std::ofstream(path) << "[Trace]\nMachineID = box-7;\nflag = True\nn = -12\nbig = 99999999999\nu16 = 70000\n";

  char value[32];
  EXPECT_FALSE(get_string_param("trace", "machineid", value, sizeof(value)));
  EXPECT_TRUE(get_string_param_from_ini_force(path.c_str(), "trace", "machineid", value, sizeof(value)));
  EXPECT_EQ(get_bool_param("trace", "flag", 5), 5);
  enable_config_io_feature(true);
  EXPECT_TRUE(get_string_param("trace", "machineid", value, sizeof(value)));
  EXPECT_STREQ(value, "box-7");
  EXPECT_EQ(get_bool_param("trace", "flag", 5), 1);
  EXPECT_EQ(get_int_param("trace", "n"), -12);
  EXPECT_EQ(get_int_param("trace", "absent"), 0);
  EXPECT_EQ(get_uint32_param("trace", "big"), 4294967295ul);
  EXPECT_EQ(get_uint16_param("trace", "u16"), 70000 & 0xFFFF);
  enable_config_io_feature(false);
  std::filesystem::remove(path);
  set_quillo_config_file_name("quillo.cfg");

  EXPECT_EQ(std::string(get_quillo_home_dir()), CCmDefaultDir::GetDefaultDir());
  EXPECT_EQ(CCmConfigInitFile().GetFileName(), CCmDefaultDir::GetDefaultDir() + "quillo.cfg");
  CCmConfigInitFile::SetQuilloHomeEnv(std::string(600, 'h'));
  EXPECT_EQ(CmQuilloHomeEnv(), std::string(511, 'h'));
  CCmConfigInitFile::SetQuilloHomeEnv("");
  EXPECT_EQ(CmQuilloHomeEnv(), std::string(511, 'h'));  // empty changes nothing
}

}  // namespace
