// CmDebugFileConfig.h - the JSON debug configuration file and the
// directories it is looked for in.
//
// CZarDebugFileConfig is a process-wide table of typed values read from
// "config.json", which switches debug behaviour on (for example
// "zar_trace_level", the troubleshooting level of the trace path; see
// CCmQloTrace::UpdateTroubleShotConfigStatus). Reading the file is refused
// until SetReadPermission(true). The file lies in the directory an
// IConfigPathProvider names: DefaultConfigPathProvider names the system's
// temporary directory ($TMPDIR, else /tmp, with its trailing '/').
//
//   CZarDebugFileConfig* cfg = CZarDebugFileConfig::instance();
//   cfg->SetReadPermission(true);
//   DefaultConfigPathProvider where;
//   cfg->ReadAndSetDebugConfigs(&where);     // merges the file into the table
//   int level;
//   if (cfg->GetValueInt("zar_trace_level", level) == 0) ...
//
// CCmDefaultDir::GetDefaultDir gives the running executable's directory,
// where the ini configuration lives (CmConfigInitFile.h).
#ifndef CM_DEBUG_FILE_CONFIG_H
#define CM_DEBUG_FILE_CONFIG_H

#include "CmDefines.h"
#include "CmError.h"
#include "CmString.h"

// Names the directory that holds "config.json".
//
// Thread safety: implementations are called from whichever thread reads the
// debug configuration.
class CM_EXPORT IConfigPathProvider {
 public:
  virtual ~IConfigPathProvider();
  // Stores the directory (ending with '/') in aPath; 0 or a result code.
  virtual int GetConfigBasePath(CCmString& aPath) = 0;
};

// The system's temporary directory (GetConfigBasePath below). Stateless.
class CM_EXPORT DefaultConfigPathProvider : public IConfigPathProvider {
 public:
  int GetConfigBasePath(CCmString& aPath) override;
};

// Stores the system's temporary directory with its trailing '/' and returns
// 0; ZAR_E_FAIL (aPath unchanged) when the platform names none or a path
// longer than 260 characters. Any thread.
CM_EXPORT int GetConfigBasePath(CCmString& aPath);

// Where the running executable lives, for files kept beside it.
//
// Thread safety: stateless; any thread.
class CM_EXPORT CCmDefaultDir {
 public:
  // The running executable's directory, ending with '/'; a path without '/'
  // is returned unchanged, and an empty text when the executable's path
  // cannot be told. Any thread.
  static CCmString GetDefaultDir();
};

// JSON value kinds as the table records them. The getters accept only their
// own kind: GetValueInt wants kCmJsonInt, GetValueDouble kCmJsonDouble (an
// integer written without "." or "e" is not a double), and so on.
enum CmJsonTypeTag {
  kCmJsonNull = 0,
  kCmJsonString = 1,
  kCmJsonInt = 2,      // fits a signed 32-bit integer
  kCmJsonInt64 = 3,    // other negative integers
  kCmJsonUint64 = 4,   // other non-negative integers
  kCmJsonDouble = 5,   // written with "." or an exponent, or beyond 64 bits
  kCmJsonObject = 6,
  kCmJsonArray = 7,
  kCmJsonBool = 8,
};

// Process-wide singleton created on first use by instance() and never
// destroyed. It owns a private record (the table and its lock); if that
// record could not be created every operation traces
// "[CZarDebugFileConfig::<operation>] pImpl is null!" at level 0 and fails
// (ZAR_E_FAIL, or false).
//
// The file is JSON; the top-level value must be an object, whose members
// are merged into the table (a member replaces the value of the same name;
// other names stay). null is accepted in any letter case. A text that does
// not parse, or whose top-level value is not an object, adds nothing.
//
// Thread safety: every operation may be called from any thread; table
// operations hold the record's recursive lock for their duration.
class CM_EXPORT CZarDebugFileConfig {
 public:
  static CZarDebugFileConfig* instance();

  int SetReadPermission(bool aAllowed);
  bool GetReadPermission();

  // Reads "<base>/config.json" of aProvider's base directory and merges it.
  // Result: the provider's code when it fails; ZAR_E_FAIL without read
  // permission or when the file cannot be read; ZAR_E_INVALIDARG for a null
  // provider; else the result of ParseConfigJSON (0). Each refusal traces a
  // level-0 line "[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: ...".
  int ReadAndSetDebugConfigs(IConfigPathProvider* aProvider);
  // The whole file as bytes; false when it cannot be opened.
  bool ReadConfigFile(const CCmString& aPath, CCmString& aContents);
  // Parses and merges; always 0 (a malformed text merges nothing).
  int ParseConfigJSON(const CCmString& aText);

  // 0 and the value when aKey exists with the getter's kind; otherwise
  // ZAR_E_FAIL and aValue untouched.
  int GetValueString(const CCmString& aKey, CCmString& aValue);
  int GetValueInt(const CCmString& aKey, int& aValue);
  int GetValueDouble(const CCmString& aKey, double& aValue);
  int GetValueBool(const CCmString& aKey, bool& aValue);

  // Insert or replace with the setter's kind; 0.
  int SetValueString(const CCmString& aKey, const CCmString& aValue);
  int SetValueInt(const CCmString& aKey, int aValue);
  int SetValueDouble(const CCmString& aKey, double aValue);
  int SetValueBool(const CCmString& aKey, bool aValue);

  // Removes every key; 0.
  int CleanDebugConfigs();

  struct Impl;

 private:
  friend class CmDebugConfigForTesting;

  CZarDebugFileConfig();
  ~CZarDebugFileConfig();
  CZarDebugFileConfig(const CZarDebugFileConfig&) = delete;
  CZarDebugFileConfig& operator=(const CZarDebugFileConfig&) = delete;

  Impl* m_pImpl;
};

#endif  // CM_DEBUG_FILE_CONFIG_H
