// Configuration files and trace files: an ini file and a JSON debug file
// that the demo writes to a temporary directory, and trace lines that go to
// the library's trace files there.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "CmConfigData.h"
#include "CmConfigInitFile.h"
#include "CmDebugFileConfig.h"
#include "CmFuncTracer.h"
#include "CmQloTrace.h"
#include "CmT120Trace.h"
#include "CmTrace.h"
#include "Demo.h"

namespace {

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

std::string MakeDemoDir() {
  std::random_device random;
  const auto dir = std::filesystem::temp_directory_path() / ("zar-demo-" + std::to_string(random()));
  std::filesystem::create_directories(dir);
  return dir.string();
}

class DirProvider : public IConfigPathProvider {
 public:
  explicit DirProvider(std::string aDir) : m_strDir(std::move(aDir)) {}
  int GetConfigBasePath(CCmString& aPath) override {
    aPath = m_strDir + "/";
    return 0;
  }

 private:
  std::string m_strDir;
};

void PrintFile(const std::string& aPath, int aMaxLines) {
  std::ifstream in(aPath, std::ios::binary);
  std::string line;
  for (int n = 0; n < aMaxLines && std::getline(in, line); ++n) printf("    | %s\n", line.c_str());
}

int DemoIni(const std::string& aDir) {
  DemoTitle("Ini configuration file");
  const std::string path = aDir + "/demo.cfg";
  std::ofstream(path) << "# demo settings\n"
                         "[ Trace ]\n"
                         "MachineID = box-7;\n"
                         "[Net]\n"
                         "Port = 8080\n"
                         "Secure = TRUE;\n"
                         "Name = \"  media node  \"\n"
                         "Timeout = 99999999999\n";
  printf("  wrote %s\n", path.c_str());
  int failures = 0;
  char value[64];
  failures += Check(get_string_param_from_ini_force(path.c_str(), "trace", "machineid", value, sizeof(value)) &&
                        std::string(value) == "box-7",
                    "[ Trace ] MachineID -> box-7 (case, spaces, ';')");
  enable_config_io_feature(true);
  CCmConfigInitFile file{CCmString(path)};
  printf("  Port=%lu Secure=%d Name=\"%s\" Timeout=%d (default 30)\n", file.GetDwordParam("net", "port", 0),
         file.GetBoolParam("net", "secure", 0), file.GetStringParam("net", "name", "").c_str(),
         file.GetIntParam("net", "timeout", 30));
  failures += Check(file.GetDwordParam("net", "port", 0) == 8080 && file.GetBoolParam("net", "secure", 0) == 1 &&
                        file.GetStringParam("net", "name", "") == "media node" &&
                        file.GetIntParam("net", "timeout", 30) == 30,
                    "typed getters, quotes stripped, overflow gives default");
  enable_config_io_feature(false);
  failures += Check(file.GetIntParam("net", "port", -1) == -1, "reading switched off: default again");
  return failures;
}

int DemoJson(const std::string& aDir) {
  DemoTitle("JSON debug configuration file");
  std::ofstream(aDir + "/config.json") << R"({"zar_trace_level": 3, "dump_frames": true, "gain": 1.5, "tag": "lab", "x": NULL})";
  printf("  wrote %s/config.json\n", aDir.c_str());
  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  DirProvider provider(aDir);
  int failures = 0;
  failures += Check(config->ReadAndSetDebugConfigs(&provider) == ZAR_E_FAIL, "refused before SetReadPermission(true)");
  config->SetReadPermission(true);
  failures += Check(config->ReadAndSetDebugConfigs(&provider) == 0, "read and merged after permission");
  int level = 0;
  bool dump = false;
  double gain = 0;
  CCmString tag;
  config->GetValueInt("zar_trace_level", level);
  config->GetValueBool("dump_frames", dump);
  config->GetValueDouble("gain", gain);
  config->GetValueString("tag", tag);
  printf("  zar_trace_level=%d dump_frames=%d gain=%.2f tag=%s\n", level, dump, gain, tag.c_str());
  failures += Check(level == 3 && dump && gain == 1.5 && tag == "lab", "typed values");
  failures += Check(config->GetValueInt("gain", level) == ZAR_E_FAIL, "a double is not an int");

  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  CM_DEBUG_TRACE("demo, a debug line let through by zar_trace_level 3 (mask stays 2)");
  config->SetValueInt("zar_trace_level", 0);
  CCmQloTrace::instance()->UpdateTroubleShotConfigStatus();
  CM_DEBUG_TRACE("demo, not produced: troubleshooting level back to 0");
  config->CleanDebugConfigs();
  config->SetReadPermission(false);

  const ConfigData number(42), text("abc");
  printf("  ConfigData(42).ToString()=%s, ConfigData(1.5f)=%s, ConfigData(\"abc\").ToInt()=%d\n",
         number.ToString().c_str(), ConfigData(1.5f).ToCstr(), text.ToInt());
  return failures;
}

int DemoTraceFiles(const std::string& aDir) {
  DemoTitle("Trace files");
  setenv("USERPROFILE", aDir.c_str(), 1);
  const unsigned oldOption = cm_get_trace_option();
  cm_set_trace_option(0x2);  // the trace files only, for these lines
  CM_INFO_TRACE("demo, an info line goes to the info file");
  CM_ERROR_TRACE("demo, an error line goes to both files");
  {
    CCmUtilFuncTracer tracer(true, true, nullptr, "DemoTraceFiles", " (a traced scope)");
  }
  cm_set_trace_option(oldOption);
  unsetenv("USERPROFILE");

  CCmT120Trace* files = CCmT120Trace::instance();
  const std::string info = files->info_file_name(), error = files->error_file_name();
  printf("  trace directory %s\n  info file  %s\n", files->get_trace_dir(), info.c_str());
  PrintFile(info, 8);
  printf("  error file %s\n", error.c_str());
  PrintFile(error, 3);
  std::ifstream in(info);
  const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int failures = 0;
  failures += Check(info.rfind(aDir, 0) == 0 && contents.find("an error line") != std::string::npos &&
                        contents.find("ZARFuncAPI DemoTraceFiles Leave") != std::string::npos,
                    "lines reached the info file under USERPROFILE/logs");

  printf("  leading id: %s\n", get_leading_id());
  char reduced[256];
  zar_get_filepath_trace("/home/someone/.local/share/Quillo/logs/a.log", reduced, sizeof(reduced));
  printf("  path for trace text: %s\n", reduced);
  failures += Check(std::string(reduced) == "/ho*/quillo/logs/a.log", "path reduced to the known folder");
  return failures;
}

}  // namespace

int DemoConfig() {
  const std::string dir = MakeDemoDir();
  int failures = DemoIni(dir) + DemoJson(dir) + DemoTraceFiles(dir);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return failures;
}
