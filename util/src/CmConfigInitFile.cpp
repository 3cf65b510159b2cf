// The ini reader, the free getters of the main configuration file and
// CCmConfigInitFile.
//
// The reader works on pieces of at most 2047 characters as fgets delivers
// them, so a file and a text in memory (the fuzz target's view) are read by
// the same code through a small line source.
#include "CmConfigInitFile.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CmConfigInitFileInternal.h"
#include "CmDebugFileConfig.h"
#include "CmMutex.h"
#include "CmTrace.h"

namespace {

constexpr int kLineBuffer = 2048;
constexpr size_t kValueBuffer = 256;
constexpr size_t kHomeEnvMax = 511;
const char kDefaultFileName[] = "quillo.cfg";

std::atomic<bool> g_bConfigIoEnabled{false};
std::mutex g_SettingsMutex;  // guards the two texts below
std::string g_strConfigFileName = kDefaultFileName;
std::string g_strHomeEnv = "HOME";

// ---- the reader

// Yields the file's lines as fgets does: at most aSize - 1 bytes, up to and
// including a newline.
class LineSource {
 public:
  virtual ~LineSource() = default;
  virtual bool Next(char* aBuf, int aSize) = 0;
};

class FileLines : public LineSource {
 public:
  explicit FileLines(FILE* aFile) : m_pFile(aFile) {}
  bool Next(char* aBuf, int aSize) override { return fgets(aBuf, aSize, m_pFile) != nullptr; }

 private:
  FILE* m_pFile;
};

class TextLines : public LineSource {
 public:
  TextLines(const char* aData, size_t aSize) : m_pData(aData), m_nSize(aSize) {}
  bool Next(char* aBuf, int aSize) override {
    if (m_nPos >= m_nSize) return false;
    int n = 0;
    while (n < aSize - 1 && m_nPos < m_nSize) {
      const char c = m_pData[m_nPos++];
      aBuf[n++] = c;
      if (c == '\n') break;
    }
    aBuf[n] = '\0';
    return true;
  }

 private:
  const char* m_pData;
  size_t m_nSize;
  size_t m_nPos = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const char* aBegin, const char* aEnd) {
  while (aBegin < aEnd && IsBlank(*aBegin)) ++aBegin;
  while (aEnd > aBegin && IsBlank(aEnd[-1])) --aEnd;
  return std::string(aBegin, aEnd);
}

bool EqualsNoCase(const std::string& aA, const char* aB) {
  const size_t n = strlen(aB);
  if (aA.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (tolower(static_cast<unsigned char>(aA[i])) != tolower(static_cast<unsigned char>(aB[i]))) return false;
  }
  return true;
}

std::string WithoutQuotes(const std::string& aValue) {
  const size_t n = aValue.size();
  if (n >= 2 && (aValue[0] == '"' || aValue[0] == '\'') && aValue[n - 1] == aValue[0]) {
    return Trimmed(aValue.data() + 1, aValue.data() + n - 1);
  }
  return aValue;
}

enum class LineResult { kNext, kFound, kStop };

// One line of the search; aInside tracks whether the wanted section is open.
LineResult ReadLine(const char* aLine, const char* aSection, const char* aKey, bool& aInside, std::string& aValue) {
  const char* p = aLine;
  while (IsBlank(*p)) ++p;
  if (*p == '#') return LineResult::kNext;
  const char* open = strchr(aLine, '[');
  const char* close = strchr(aLine, ']');
  if (open && close) {
    if (aInside) return LineResult::kStop;
    const std::string name = open < close ? Trimmed(open + 1, close) : std::string();
    aInside = aSection && EqualsNoCase(name, aSection);
    return LineResult::kNext;
  }
  const char* eq = strchr(aLine, '=');
  if (!aInside || !eq || !aKey) return LineResult::kNext;
  if (!EqualsNoCase(Trimmed(aLine, eq), aKey)) return LineResult::kNext;
  aValue = WithoutQuotes(Trimmed(eq + 1, aLine + strlen(aLine)));
  return LineResult::kFound;
}

bool FindValue(LineSource& aLines, const char* aSection, const char* aKey, std::string& aValue) {
  char line[kLineBuffer];
  bool inside = aSection == nullptr;
  while (aLines.Next(line, sizeof(line))) {
    const LineResult r = ReadLine(line, aSection, aKey, inside, aValue);
    if (r == LineResult::kFound) return true;
    if (r == LineResult::kStop) return false;
  }
  return false;
}

// Copies the found value out and applies the trailing-';' rule.
unsigned char Deliver(bool aFound, const std::string& aFoundValue, char* aValue, unsigned long aSize) {
  size_t n = aFound ? aFoundValue.size() : 0;
  if (n > aSize - 1) n = aSize - 1;
  memcpy(aValue, aFoundValue.data(), n);
  aValue[n] = '\0';
  if (n == 0) return 0;
  if (aValue[n - 1] == ';') aValue[n - 1] = '\0';
  return 1;
}

std::string ExecutableDir() { return CCmDefaultDir::GetDefaultDir(); }

// ---- number conversions of the getters

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtoul on a 32-bit unsigned long: saturates at 0xFFFFFFFF, a negative
// number wraps. aDigits tells whether any digit was read.
uint32_t ParseUint32(const char* aText, bool& aDigits) {
  const char* p = aText;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  bool overflow = false;
  aDigits = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    aDigits = true;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  const uint32_t v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

// strtol on a 32-bit long: saturates at the 32-bit limits.
int32_t ParseInt32(const char* aText) {
  const char* p = aText;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

// "%hu": the low 16 bits of an unsigned number; false without digits.
bool ParseWord(const char* aText, unsigned short& aValue) {
  const char* p = aText;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value > UINT64_MAX / 16 ? UINT64_MAX : value * 10 + static_cast<uint64_t>(*p - '0');
  }
  aValue = static_cast<unsigned short>(negative ? 0u - value : value);
  return true;
}

bool IsTrueText(const char* aText) { return EqualsNoCase(aText, "TRUE"); }

unsigned char DefaultLookup(const char* aPath, const char* aSection, const char* aKey, char* aValue, int aValueSize) {
  return get_string_param_from_configfile(aPath, aSection, aKey, aValue,
                                          aValueSize > 0 ? static_cast<unsigned long>(aValueSize) : 0);
}

}  // namespace

// ---- free functions

unsigned char CmIniLookupInText(const char* aData, size_t aSize, const char* aSection, const char* aKey,
                                char* aValue, unsigned long aValueSize) {
  if (!aValue || aValueSize == 0) return 0;
  aValue[0] = '\0';
  TextLines lines(aData ? aData : "", aData ? aSize : 0);
  std::string found;
  const bool ok = FindValue(lines, aSection, aKey, found);
  return Deliver(ok, found, aValue, aValueSize);
}

std::string CmMainConfigFilePath() {
  std::lock_guard<std::mutex> lock(g_SettingsMutex);
  return ExecutableDir() + "conf/" + g_strConfigFileName;
}

std::string CmQuilloHomeEnv() {
  std::lock_guard<std::mutex> lock(g_SettingsMutex);
  return g_strHomeEnv;
}

void enable_config_io_feature(bool aEnable) { g_bConfigIoEnabled.store(aEnable); }

unsigned char get_string_param_from_ini_force(const char* aPath, const char* aSection, const char* aKey,
                                              char* aValue, unsigned long aSize) {
  if (!aValue || aSize == 0) return 0;
  aValue[0] = '\0';
  FILE* file = aPath ? fopen(aPath, "r") : nullptr;
  if (!file) return 0;
  FileLines lines(file);
  std::string found;
  const bool ok = FindValue(lines, aSection, aKey, found);
  fclose(file);
  return Deliver(ok, found, aValue, aSize);
}

unsigned char get_string_param_from_configfile(const char* aPath, const char* aSection, const char* aKey,
                                               char* aValue, unsigned long aSize) {
  if (!g_bConfigIoEnabled.load()) return 0;
  return get_string_param_from_ini_force(aPath, aSection, aKey, aValue, aSize);
}

unsigned char get_string_param(const char* aSection, const char* aKey, char* aValue, unsigned long aSize) {
  if (!g_bConfigIoEnabled.load()) return 0;
  return get_string_param_from_ini_force(CmMainConfigFilePath().c_str(), aSection, aKey, aValue, aSize);
}

unsigned char get_bool_param(const char* aSection, const char* aKey, unsigned char aDefault) {
  char value[kValueBuffer];
  if (!get_string_param(aSection, aKey, value, sizeof(value))) return aDefault;
  return IsTrueText(value) ? 1 : 0;
}

unsigned long get_uint32_param(const char* aSection, const char* aKey) {
  char value[kValueBuffer];
  if (!get_string_param(aSection, aKey, value, sizeof(value))) return 0;
  bool digits;
  return ParseUint32(value, digits);
}

unsigned short get_uint16_param(const char* aSection, const char* aKey) {
  char value[kValueBuffer];
  if (!get_string_param(aSection, aKey, value, sizeof(value))) return 0;
  return static_cast<unsigned short>(ParseInt32(value));
}

int get_int_param(const char* aSection, const char* aKey) {
  char value[kValueBuffer];
  if (!get_string_param(aSection, aKey, value, sizeof(value))) return 0;
  return ParseInt32(value);
}

const char* get_quillo_home_dir(void) {
  // The executable does not move while the process runs, so one computed
  // text serves every caller and its pointer stays valid.
  static const std::string s_strHome = ExecutableDir();
  return s_strHome.c_str();
}

void set_quillo_config_file_name(const CCmString& aName) {
  std::lock_guard<std::mutex> lock(g_SettingsMutex);
  g_strConfigFileName = aName;
}

// ---- CCmConfigInitFile

struct CCmConfigInitFile::Impl {
  CCmString m_strPath;
  CmConfigLookupFunc m_pfnLookup = &DefaultLookup;
  CCmMutexThreadRecursive m_Mutex;  // guards m_pfnLookup and every lookup
};

CCmConfigInitFile::CCmConfigInitFile() : m_pImpl(new Impl()) {
  m_pImpl->m_strPath = ExecutableDir() + kDefaultFileName;
}

CCmConfigInitFile::CCmConfigInitFile(CCmString aFileName) : m_pImpl(new Impl()) {
  m_pImpl->m_strPath = std::move(aFileName);
}

CCmConfigInitFile::~CCmConfigInitFile() { delete m_pImpl; }

int CCmConfigInitFile::InitWithFileName(const CCmString& /*aFileName*/) { return 0; }

void CCmConfigInitFile::RegisterFunc(CmConfigLookupFunc aFunc) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_pfnLookup = aFunc;
}

CCmString CCmConfigInitFile::GetFileName() const { return m_pImpl->m_strPath; }

bool CCmConfigInitFile::Lookup(const CCmString& aSection, const CCmString& aKey, char (&aValue)[256]) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  aValue[0] = '\0';
  if (!m_pImpl->m_pfnLookup) return false;
  if (!m_pImpl->m_pfnLookup(m_pImpl->m_strPath.c_str(), aSection.c_str(), aKey.c_str(), aValue, sizeof(aValue))) {
    return false;
  }
  aValue[sizeof(aValue) - 1] = '\0';  // a replaced lookup may forget it
  return true;
}

int CCmConfigInitFile::GetBoolParam(const CCmString& aSection, const CCmString& aKey, int aDefault) {
  char value[kValueBuffer];
  if (!Lookup(aSection, aKey, value)) return aDefault;
  return IsTrueText(value) ? 1 : 0;
}

CCmString CCmConfigInitFile::GetStringParam(const CCmString& aSection, const CCmString& aKey, CCmString aDefault) {
  char value[kValueBuffer];
  if (!Lookup(aSection, aKey, value)) return aDefault;
  return CCmString(value);
}

unsigned short CCmConfigInitFile::GetWordParam(const CCmString& aSection, const CCmString& aKey,
                                               unsigned short aDefault) {
  char value[kValueBuffer];
  unsigned short word;
  if (!Lookup(aSection, aKey, value) || !ParseWord(value, word)) return aDefault;
  return word;
}

unsigned long CCmConfigInitFile::GetDwordParam(const CCmString& aSection, const CCmString& aKey,
                                               unsigned long aDefault) {
  char value[kValueBuffer];
  if (!Lookup(aSection, aKey, value)) return aDefault;
  bool digits;
  const uint32_t v = ParseUint32(value, digits);
  return v == 0xFFFFFFFFu ? aDefault : v;
}

int CCmConfigInitFile::GetIntParam(const CCmString& aSection, const CCmString& aKey, int aDefault) {
  char value[kValueBuffer];
  if (!Lookup(aSection, aKey, value)) return aDefault;
  const int32_t v = ParseInt32(value);
  return (v == INT_MAX || v == INT_MIN) ? aDefault : v;
}

float CCmConfigInitFile::GetFloatParam(const CCmString& aSection, const CCmString& aKey, float aDefault) {
  char value[kValueBuffer];
  if (!Lookup(aSection, aKey, value)) return aDefault;
  const double v = static_cast<float>(atof(value));
  if (std::isnan(v) || v >= 2147483647.0 || v <= -2147483648.0) return aDefault;
  return static_cast<float>(v);
}

void CCmConfigInitFile::SetQuilloConfigFileName(const CCmString& aName) {
  set_quillo_config_file_name(aName);
  CM_INFO_TRACE("CCmConfigInitFile::SetQuilloConfigFileName, file name " << aName);
}

void CCmConfigInitFile::SetQuilloHomeEnv(const CCmString& aText) {
  if (aText.empty()) return;
  std::lock_guard<std::mutex> lock(g_SettingsMutex);
  g_strHomeEnv = aText.substr(0, kHomeEnvMax);
}

CCmString CCmConfigInitFile::GetQuilloHomeDir() {
  const char* dir = get_quillo_home_dir();
  return dir ? CCmString(dir) : CCmString();
}
