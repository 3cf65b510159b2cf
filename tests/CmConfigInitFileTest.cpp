// The ini reader's rules, the free getters of the main configuration file
// and CCmConfigInitFile's typed getters.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "CmConfigInitFile.h"
#include "CmConfigInitFileInternal.h"
#include "CmDebugFileConfig.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"

namespace {

// Reading switched on for the scope.
class ConfigIo {
 public:
  explicit ConfigIo(bool aOn = true) { enable_config_io_feature(aOn); }
  ~ConfigIo() { enable_config_io_feature(false); }
};

class IniFile : public ::testing::Test {
 protected:
  std::string Lookup(const char* aSection, const char* aKey, bool* aFound = nullptr) {
    char value[256];
    const bool found = get_string_param_from_ini_force(m_strPath.c_str(), aSection, aKey, value, sizeof(value)) != 0;
    if (aFound) *aFound = found;
    return found ? std::string(value) : std::string("<none>");
  }
  void Write(const std::string& aContents) { m_strPath = m_Dir.Write("test.cfg", aContents); }

  ScopedTempDir m_Dir;
  std::string m_strPath;
};

TEST_F(IniFile, SectionsMatchTheFirstOneOnly) {
  Write("top = before\n"
        "  [  Net  ]  trailing text\n"
        "Port = 80\n"
        "[Other]\n"
        "late = x\n"
        "[net]\n"
        "Port = 81\n"
        "Extra = only in the second\n");
  EXPECT_EQ(Lookup("net", "port"), "80");
  EXPECT_EQ(Lookup("NET", "PORT"), "80");
  EXPECT_EQ(Lookup("net", "extra"), "<none>");  // the second Net is never searched
  EXPECT_EQ(Lookup("net", "late"), "<none>");   // stands after the next header
  EXPECT_EQ(Lookup("other", "late"), "x");
  EXPECT_EQ(Lookup(nullptr, "top"), "before");  // before any header: null section only
  EXPECT_EQ(Lookup(nullptr, "port"), "<none>");
  EXPECT_EQ(Lookup("", "top"), "<none>");
  EXPECT_EQ(Lookup("missing", "port"), "<none>");
}

TEST_F(IniFile, LinesAndEntries) {
  Write("# [Fake] comment that looks like a header\n"
        "[S]\n"
        "   # key = commented out\n"
        "line without an equals sign\n"
        "\tKey\t=\t a = b \r\n"
        "semi = ;\n"
        "empty =\n"
        "; key = semicolon is no comment marker\n"
        "x]y[z = bracketed\n"
        "after = the odd header\n");
  EXPECT_EQ(Lookup("s", "key"), "a = b");  // first '=' splits, whitespace trimmed
  bool found = false;
  EXPECT_EQ(Lookup("s", "semi", &found), "");
  EXPECT_TRUE(found);  // ";" alone: found, empty
  EXPECT_EQ(Lookup("s", "empty", &found), "<none>");
  EXPECT_FALSE(found);
  EXPECT_EQ(Lookup("s", "; key"), "semicolon is no comment marker");
  // A line with both brackets is a header even with '=' in it, and ends S.
  EXPECT_EQ(Lookup("s", "x]y[z"), "<none>");
  EXPECT_EQ(Lookup("s", "after"), "<none>");
  EXPECT_EQ(Lookup("", "after"), "the odd header");  // ']' before '[': an empty name
}

TEST_F(IniFile, QuotesAndTrailingSemicolon) {
  Write("[Q]\n"
        "spaced = \"  quoted  \"\n"
        "single = '  one '\n"
        "mixed = 'open\"\n"
        "quotedsemi = \"kept\";\n"
        "plainsemi = value;\n"
        "lone = \"\n"
        "empty = \"\"\n");
  EXPECT_EQ(Lookup("q", "spaced"), "quoted");
  EXPECT_EQ(Lookup("q", "single"), "one");
  EXPECT_EQ(Lookup("q", "mixed"), "'open\"");
  EXPECT_EQ(Lookup("q", "quotedsemi"), "\"kept\"");  // ';' goes only after the quote rule
  EXPECT_EQ(Lookup("q", "plainsemi"), "value");
  EXPECT_EQ(Lookup("q", "lone"), "\"");
  EXPECT_EQ(Lookup("q", "empty"), "<none>");
}

TEST_F(IniFile, LongLinesAreReadInPieces) {
  // The piece boundary after 2047 characters starts a new "line", which can
  // hold an entry of its own.
  const std::string filler(2047 - 7, 'x');
  Write("[L]\nlong = " + filler + "k2 = v2\n");
  EXPECT_EQ(Lookup("l", "long"), filler.substr(0, 255));  // cut to the 256-byte buffer
  char big[4096];
  ASSERT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "l", "long", big, sizeof(big)));
  EXPECT_EQ(std::string(big), filler);
  EXPECT_EQ(Lookup("l", "k2"), "v2");
}

TEST_F(IniFile, ValueIsCutToTheBuffer) {
  Write("[C]\nk = abcdefgh\nsemi = abc;\n");
  char small[4];
  ASSERT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "c", "k", small, sizeof(small)));
  EXPECT_STREQ(small, "abc");
  // The cut happens before the ';' rule: "abc;" cut to 3 keeps "abc".
  ASSERT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "c", "semi", small, sizeof(small)));
  EXPECT_STREQ(small, "abc");
  char tiny[1] = {'z'};
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "c", "k", tiny, sizeof(tiny)));
  EXPECT_EQ(tiny[0], '\0');
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "c", "k", tiny, 0));
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "c", "k", nullptr, 8));
  EXPECT_FALSE(get_string_param_from_ini_force(m_strPath.c_str(), "c", nullptr, small, sizeof(small)));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(get_string_param_from_ini_force(m_Dir.File("absent.cfg").c_str(), "c", "k", small, sizeof(small)));
  EXPECT_FALSE(get_string_param_from_ini_force(nullptr, "c", "k", small, sizeof(small)));
}

TEST_F(IniFile, MemoryReaderAgreesWithTheFileReader) {
  const std::string text = "a = 1\n[S]\nk = \"v\" \n" + std::string(3000, 'y') + "\nk2 = 2;";
  Write(text);
  for (const char* key : {"a", "k", "k2", "zz"}) {
    for (const char* section : {static_cast<const char*>(nullptr), "s"}) {
      char fromFile[64], fromText[64];
      const unsigned char f = get_string_param_from_ini_force(m_strPath.c_str(), section, key, fromFile, 64);
      const unsigned char t = CmIniLookupInText(text.data(), text.size(), section, key, fromText, 64);
      EXPECT_EQ(f, t) << key;
      EXPECT_STREQ(fromFile, fromText) << key;
    }
  }
}

TEST_F(IniFile, ConfigfileVariantNeedsReadingEnabled) {
  Write("[S]\nk = v\n");
  char value[16];
  enable_config_io_feature(false);
  EXPECT_FALSE(get_string_param_from_configfile(m_strPath.c_str(), "s", "k", value, sizeof(value)));
  EXPECT_TRUE(get_string_param_from_ini_force(m_strPath.c_str(), "s", "k", value, sizeof(value)));
  ConfigIo on;
  EXPECT_TRUE(get_string_param_from_configfile(m_strPath.c_str(), "s", "k", value, sizeof(value)));
  EXPECT_STREQ(value, "v");
}

// ---- the main configuration file, <exe dir>/conf/<name>

class MainConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_strName = "zar-test-" + std::to_string(getpid()) + ".cfg";
    std::filesystem::create_directories(CCmDefaultDir::GetDefaultDir() + "conf");
    set_quillo_config_file_name(m_strName);
    m_strPath = CmMainConfigFilePath();
  }
  void TearDown() override {
    std::filesystem::remove(m_strPath);
    set_quillo_config_file_name("quillo.cfg");
  }
  void Write(const std::string& aContents) { std::ofstream(m_strPath, std::ios::binary) << aContents; }

  std::string m_strName;
  std::string m_strPath;
};

TEST_F(MainConfigFile, PathIsConfBesideTheExecutable) {
  EXPECT_EQ(m_strPath, CCmDefaultDir::GetDefaultDir() + "conf/" + m_strName);
  set_quillo_config_file_name("quillo.cfg");
  EXPECT_EQ(CmMainConfigFilePath(), CCmDefaultDir::GetDefaultDir() + "conf/quillo.cfg");
}

TEST_F(MainConfigFile, ReadingIsOffUntilEnabled) {
  Write("[Trace]\nMachineID = box-7;\nflag = True\nn = 42\n");
  char value[32];
  enable_config_io_feature(false);
  EXPECT_FALSE(get_string_param("trace", "machineid", value, sizeof(value)));
  EXPECT_EQ(get_bool_param("trace", "flag", 0), 0);
  EXPECT_EQ(get_bool_param("trace", "flag", 5), 5);
  EXPECT_EQ(get_int_param("trace", "n"), 0);
  ConfigIo on;
  ASSERT_TRUE(get_string_param("trace", "machineid", value, sizeof(value)));
  EXPECT_STREQ(value, "box-7");
  EXPECT_EQ(get_bool_param("trace", "flag", 0), 1);
  EXPECT_EQ(get_int_param("trace", "n"), 42);
}

TEST_F(MainConfigFile, FreeNumberGetters) {
  Write("[N]\nbool_yes = yes\nbool_no = FALSE\nu32 = 4000000000\nu32big = 99999999999\nu32neg = -1\n"
        "u16 = 70000\ni = -12\nibig = 99999999999\nword = abc\n");
  ConfigIo on;
  EXPECT_EQ(get_bool_param("n", "bool_yes", 1), 0);
  EXPECT_EQ(get_bool_param("n", "bool_no", 1), 0);
  EXPECT_EQ(get_bool_param("n", "absent", 1), 1);
  EXPECT_EQ(get_uint32_param("n", "u32"), 4000000000ul);
  EXPECT_EQ(get_uint32_param("n", "u32big"), 4294967295ul);
  EXPECT_EQ(get_uint32_param("n", "u32neg"), 4294967295ul);
  EXPECT_EQ(get_uint32_param("n", "absent"), 0ul);
  EXPECT_EQ(get_uint16_param("n", "u16"), 70000 & 0xFFFF);
  EXPECT_EQ(get_uint16_param("n", "absent"), 0);
  EXPECT_EQ(get_int_param("n", "i"), -12);
  EXPECT_EQ(get_int_param("n", "ibig"), 2147483647);
  EXPECT_EQ(get_int_param("n", "word"), 0);
}

TEST_F(MainConfigFile, HomeDirIsTheExecutablesDirectory) {
  ASSERT_NE(get_quillo_home_dir(), nullptr);
  EXPECT_EQ(std::string(get_quillo_home_dir()), CCmDefaultDir::GetDefaultDir());
  EXPECT_EQ(CCmConfigInitFile::GetQuilloHomeDir(), CCmDefaultDir::GetDefaultDir());
}

// ---- CCmConfigInitFile

class ConfigInitFile : public IniFile {
 protected:
  void SetUp() override {
    Write("[T]\n"
          "yes = TRUE;\n"
          "yes2 = true\n"
          "no = yes\n"
          "str = \" hello \"\n"
          "word = 65535\n"
          "wordbig = 70000\n"
          "wordbad = x1\n"
          "dword = 4294967294\n"
          "dwordmax = 4294967295\n"
          "dwordover = 4294967296\n"
          "int = -2147483647\n"
          "nines = 99999999999\n"
          "negnines = -99999999999\n"
          "text = abc\n"
          "float = 1.25\n"
          "floatbig = 3e9\n"
          "floatneg = -2147483648\n"
          "nan = nan\n"
          "inf = inf\n");
  }
};

TEST_F(ConfigInitFile, TypedGettersAndTheirOverflowDefaults) {
  ConfigIo on;
  CCmConfigInitFile file{CCmString(m_strPath)};
  EXPECT_EQ(file.GetFileName(), m_strPath);
  EXPECT_EQ(file.GetBoolParam("t", "yes", 5), 1);  // "TRUE;" reads as 1
  EXPECT_EQ(file.GetBoolParam("t", "yes2", 5), 1);
  EXPECT_EQ(file.GetBoolParam("t", "no", 5), 0);
  EXPECT_EQ(file.GetBoolParam("t", "absent", 5), 5);
  EXPECT_EQ(file.GetStringParam("t", "str", "d"), "hello");
  EXPECT_EQ(file.GetStringParam("t", "absent", "d"), "d");
  EXPECT_EQ(file.GetWordParam("t", "word", 7), 65535);
  EXPECT_EQ(file.GetWordParam("t", "wordbig", 7), 70000 & 0xFFFF);
  EXPECT_EQ(file.GetWordParam("t", "wordbad", 7), 7);
  EXPECT_EQ(file.GetDwordParam("t", "dword", 7), 4294967294ul);
  EXPECT_EQ(file.GetDwordParam("t", "dwordmax", 7), 7ul);
  EXPECT_EQ(file.GetDwordParam("t", "dwordover", 7), 7ul);
  EXPECT_EQ(file.GetDwordParam("t", "text", 7), 0ul);
  EXPECT_EQ(file.GetIntParam("t", "int", 7), -2147483647);
  EXPECT_EQ(file.GetIntParam("t", "nines", 7), 7);  // eleven nines overflow
  EXPECT_EQ(file.GetIntParam("t", "negnines", 7), 7);
  EXPECT_EQ(file.GetIntParam("t", "text", 7), 0);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "float", 7.f), 1.25f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "floatbig", 7.f), 7.f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "floatneg", 7.f), 7.f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "nan", 7.f), 7.f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "inf", 7.f), 7.f);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "text", 7.f), 0.f);
}

TEST_F(ConfigInitFile, DefaultLookupNeedsReadingEnabled) {
  enable_config_io_feature(false);
  CCmConfigInitFile file{CCmString(m_strPath)};
  EXPECT_EQ(file.GetIntParam("t", "int", 7), 7);
}

TEST_F(ConfigInitFile, RegisterFuncReplacesTheLookup) {
  ConfigIo on;
  CCmConfigInitFile file{CCmString(m_strPath)};
  file.RegisterFunc(nullptr);
  EXPECT_EQ(file.GetBoolParam("t", "yes", 5), 5);
  EXPECT_EQ(file.GetStringParam("t", "str", "d"), "d");
  EXPECT_EQ(file.GetWordParam("t", "word", 7), 7);
  EXPECT_EQ(file.GetDwordParam("t", "dword", 7), 7ul);
  EXPECT_EQ(file.GetIntParam("t", "int", 7), 7);
  EXPECT_FLOAT_EQ(file.GetFloatParam("t", "float", 7.f), 7.f);

  static std::string s_seen;
  file.RegisterFunc([](const char* aPath, const char* aSection, const char* aKey, char* aValue,
                       int aSize) -> unsigned char {
    s_seen = std::string(aPath) + "|" + aSection + "|" + aKey + "|" + std::to_string(aSize);
    snprintf(aValue, static_cast<size_t>(aSize), "123");
    return 1;
  });
  EXPECT_EQ(file.GetIntParam("sec", "key", 7), 123);
  EXPECT_EQ(s_seen, m_strPath + "|sec|key|256");
  EXPECT_EQ(file.InitWithFileName("other"), 0);
  EXPECT_EQ(file.GetFileName(), m_strPath);
}

TEST(CCmConfigInitFile, DefaultFileIsBesideTheExecutable) {
  CCmConfigInitFile file;
  EXPECT_EQ(file.GetFileName(), CCmDefaultDir::GetDefaultDir() + "quillo.cfg");
}

TEST(CCmConfigInitFile, StaticSettings) {
  TraceCapture trace;
  CCmConfigInitFile::SetQuilloConfigFileName("other.cfg");
  EXPECT_TRUE(trace.Contains("CCmConfigInitFile::SetQuilloConfigFileName, file name other.cfg", 2));
  EXPECT_EQ(CmMainConfigFilePath(), CCmDefaultDir::GetDefaultDir() + "conf/other.cfg");
  set_quillo_config_file_name("quillo.cfg");

  EXPECT_EQ(CmQuilloHomeEnv(), "HOME");
  CCmConfigInitFile::SetQuilloHomeEnv("");
  EXPECT_EQ(CmQuilloHomeEnv(), "HOME");
  CCmConfigInitFile::SetQuilloHomeEnv(std::string(600, 'h'));
  EXPECT_EQ(CmQuilloHomeEnv(), std::string(511, 'h'));
  CCmConfigInitFile::SetQuilloHomeEnv("HOME");
}

}  // namespace
