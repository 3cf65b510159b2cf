// The debug configuration table, its JSON file and the directories it is
// looked for in.
//
// The JSON text is parsed by nlohmann-json, used only here: the table keeps
// its values as parsed documents so that nested objects and arrays survive a
// merge unchanged, and the getters look only at the kind of the top value.
#include "CmDebugFileConfig.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <map>
#include <new>

#include "CmDebugFileConfigInternal.h"
#include "CmMutex.h"
#include "CmTrace.h"
#include "CmTraceInternal.h"
#include "platform/CmPlatformFile.h"

using Json = nlohmann::json;

struct CZarDebugFileConfig::Impl {
  CCmMutexThreadRecursive m_Mutex;      // guards m_Values
  std::map<std::string, Json> m_Values;
  std::atomic<bool> m_bReadPermission{false};
};

namespace {

constexpr size_t kMaxBasePath = 260;
const char kConfigFileName[] = "config.json";

// Set by the test seam: the next record creation fails as an allocation would.
std::atomic<bool> g_bFailNextRecord{false};

int TypeTag(const Json& aValue) {
  switch (aValue.type()) {
    case Json::value_t::null: return kCmJsonNull;
    case Json::value_t::string: return kCmJsonString;
    case Json::value_t::boolean: return kCmJsonBool;
    case Json::value_t::number_integer: {
      const int64_t v = aValue.get<int64_t>();
      return (v >= INT_MIN && v <= INT_MAX) ? kCmJsonInt : kCmJsonInt64;
    }
    case Json::value_t::number_unsigned:
      return aValue.get<uint64_t>() <= static_cast<uint64_t>(INT_MAX) ? kCmJsonInt : kCmJsonUint64;
    case Json::value_t::number_float: return kCmJsonDouble;
    case Json::value_t::object: return kCmJsonObject;
    case Json::value_t::array: return kCmJsonArray;
    default: return -1;
  }
}

bool IsWordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool IsNullWord(const char* aWord) {
  static const char kNull[] = "null";
  for (int i = 0; i < 4; ++i) {
    if (tolower(static_cast<unsigned char>(aWord[i])) != kNull[i]) return false;
  }
  return true;
}

}  // namespace

// The record refuses in one place so every operation reports alike.
#define CM_DEBUG_CONFIG_CHECK_IMPL(name, rv)                                       \
  do {                                                                             \
    if (!m_pImpl) {                                                                \
      CM_ERROR_TRACE("[CZarDebugFileConfig::" name "] pImpl is null!");            \
      return rv;                                                                   \
    }                                                                              \
  } while (0)

std::string CmJsonLowerCaseNulls(const std::string& aText) {
  std::string out(aText);
  bool inString = false;
  for (size_t i = 0; i < out.size(); ++i) {
    const char c = out[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (!IsWordChar(c) || (i > 0 && IsWordChar(out[i - 1]))) continue;
    size_t end = i;
    while (end < out.size() && IsWordChar(out[end])) ++end;
    if (end - i == 4 && IsNullWord(out.c_str() + i)) out.replace(i, 4, "null");
    i = end - 1;
  }
  return out;
}

IConfigPathProvider::~IConfigPathProvider() = default;

int DefaultConfigPathProvider::GetConfigBasePath(CCmString& aPath) { return ::GetConfigBasePath(aPath); }

int GetConfigBasePath(CCmString& aPath) {
  const std::string dir = cm_platform::TempDirectory();
  if (dir.empty() || dir.size() > kMaxBasePath) return ZAR_E_FAIL;
  aPath = dir;
  return ZAR_S_OK;
}

CCmString CCmDefaultDir::GetDefaultDir() {
  std::string path;
  if (!cm_platform::ExecutablePath(path)) return CCmString();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.resize(slash + 1);
  return CCmString(path);
}

CZarDebugFileConfig* CZarDebugFileConfig::instance() {
  static CZarDebugFileConfig* const s_pInstance = new CZarDebugFileConfig();
  return s_pInstance;
}

CZarDebugFileConfig::CZarDebugFileConfig() : m_pImpl(nullptr) {
  // Nothing here may trace: the trace path reads this object while the
  // singleton is still being made.
  try {
    if (g_bFailNextRecord.exchange(false)) throw std::bad_alloc();
    m_pImpl = new Impl();
  } catch (const std::exception&) {
    m_pImpl = nullptr;
  }
}

CZarDebugFileConfig::~CZarDebugFileConfig() { delete m_pImpl; }

int CZarDebugFileConfig::SetReadPermission(bool aAllowed) {
  CM_DEBUG_CONFIG_CHECK_IMPL("SetReadPermission", ZAR_E_FAIL);
  m_pImpl->m_bReadPermission.store(aAllowed);
  return ZAR_S_OK;
}

bool CZarDebugFileConfig::GetReadPermission() {
  CM_DEBUG_CONFIG_CHECK_IMPL("GetReadPermission", false);
  return m_pImpl->m_bReadPermission.load();
}

int CZarDebugFileConfig::ReadAndSetDebugConfigs(IConfigPathProvider* aProvider) {
  CM_DEBUG_CONFIG_CHECK_IMPL("ReadAndSetDebugConfigs", ZAR_E_FAIL);
  if (!aProvider) {
    CM_ERROR_TRACE("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: No config path provider.");
    return ZAR_E_INVALIDARG;
  }
  CCmString base;
  const int rv = aProvider->GetConfigBasePath(base);
  if (rv != ZAR_S_OK) {
    CM_ERROR_TRACE("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: Failed to get the config file path.");
    return rv;
  }
  const CCmString path = base + "/" + kConfigFileName;
  if (!m_pImpl->m_bReadPermission.load()) {
    CM_ERROR_TRACE("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: No read permission set.");
    return ZAR_E_FAIL;
  }
  CCmString contents;
  if (!ReadConfigFile(path, contents)) {
    CM_ERROR_TRACE("[CZarDebugFileConfig::ReadAndSetDebugConfigs] Error: Failed to read the config file.");
    return ZAR_E_FAIL;
  }
  return ParseConfigJSON(contents);
}

bool CZarDebugFileConfig::ReadConfigFile(const CCmString& aPath, CCmString& aContents) {
  CM_DEBUG_CONFIG_CHECK_IMPL("ReadConfigFile", false);
  FILE* file = fopen(aPath.c_str(), "rb");
  if (!file) return false;
  std::string contents;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) contents.append(chunk, n);
  const bool ok = !ferror(file);
  fclose(file);
  if (ok) aContents = contents;
  return ok;
}

int CZarDebugFileConfig::ParseConfigJSON(const CCmString& aText) {
  CM_DEBUG_CONFIG_CHECK_IMPL("ParseConfigJSON", ZAR_E_FAIL);
  // A raw NUL byte is never valid JSON, but the parser takes it for the end
  // of the text and would accept what stands before it.
  if (aText.find('\0') != std::string::npos) return ZAR_S_OK;
  Json parsed = Json::parse(CmJsonLowerCaseNulls(aText), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return ZAR_S_OK;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  for (auto& member : parsed.items()) m_pImpl->m_Values[member.key()] = std::move(member.value());
  return ZAR_S_OK;
}

namespace {

// Finds aKey with kind aTag under the record's lock; null when absent or of
// another kind.
const Json* FindTyped(CZarDebugFileConfig::Impl& aImpl, const CCmString& aKey, int aTag) {
  const auto it = aImpl.m_Values.find(aKey);
  if (it == aImpl.m_Values.end() || TypeTag(it->second) != aTag) return nullptr;
  return &it->second;
}

}  // namespace

int CZarDebugFileConfig::GetValueString(const CCmString& aKey, CCmString& aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("GetValueString", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  const Json* value = FindTyped(*m_pImpl, aKey, kCmJsonString);
  if (!value) return ZAR_E_FAIL;
  aValue = value->get<std::string>();
  return ZAR_S_OK;
}

int CZarDebugFileConfig::GetValueInt(const CCmString& aKey, int& aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("GetValueInt", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  const Json* value = FindTyped(*m_pImpl, aKey, kCmJsonInt);
  if (!value) return ZAR_E_FAIL;
  aValue = value->get<int>();
  return ZAR_S_OK;
}

int CZarDebugFileConfig::GetValueDouble(const CCmString& aKey, double& aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("GetValueDouble", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  const Json* value = FindTyped(*m_pImpl, aKey, kCmJsonDouble);
  if (!value) return ZAR_E_FAIL;
  aValue = value->get<double>();
  return ZAR_S_OK;
}

int CZarDebugFileConfig::GetValueBool(const CCmString& aKey, bool& aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("GetValueBool", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  const Json* value = FindTyped(*m_pImpl, aKey, kCmJsonBool);
  if (!value) return ZAR_E_FAIL;
  aValue = value->get<bool>();
  return ZAR_S_OK;
}

int CZarDebugFileConfig::SetValueString(const CCmString& aKey, const CCmString& aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("SetValueString", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_Values[aKey] = static_cast<const std::string&>(aValue);
  return ZAR_S_OK;
}

int CZarDebugFileConfig::SetValueInt(const CCmString& aKey, int aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("SetValueInt", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_Values[aKey] = aValue;
  return ZAR_S_OK;
}

int CZarDebugFileConfig::SetValueDouble(const CCmString& aKey, double aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("SetValueDouble", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_Values[aKey] = aValue;
  return ZAR_S_OK;
}

int CZarDebugFileConfig::SetValueBool(const CCmString& aKey, bool aValue) {
  CM_DEBUG_CONFIG_CHECK_IMPL("SetValueBool", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_Values[aKey] = aValue;
  return ZAR_S_OK;
}

int CZarDebugFileConfig::CleanDebugConfigs() {
  CM_DEBUG_CONFIG_CHECK_IMPL("CleanDebugConfigs", ZAR_E_FAIL);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_pImpl->m_Mutex);
  m_pImpl->m_Values.clear();
  return ZAR_S_OK;
}

void CmDebugConfigPushTroubleshootingLevel() {
  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  int level = 0;
  if (config && config->GetValueInt("zar_trace_level", level) == ZAR_S_OK) CmTraceSetTroubleshootingLevel(level);
}

CZarDebugFileConfig* CmDebugConfigForTesting::NewWithoutRecord() {
  g_bFailNextRecord.store(true);
  return new CZarDebugFileConfig();
}

void CmDebugConfigForTesting::Delete(CZarDebugFileConfig* aConfig) { delete aConfig; }

int CmDebugConfigForTesting::TypeOf(CZarDebugFileConfig* aConfig, const std::string& aKey) {
  if (!aConfig || !aConfig->m_pImpl) return -1;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(aConfig->m_pImpl->m_Mutex);
  const auto it = aConfig->m_pImpl->m_Values.find(aKey);
  return it == aConfig->m_pImpl->m_Values.end() ? -1 : TypeTag(it->second);
}

size_t CmDebugConfigForTesting::Size(CZarDebugFileConfig* aConfig) {
  if (!aConfig || !aConfig->m_pImpl) return 0;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(aConfig->m_pImpl->m_Mutex);
  return aConfig->m_pImpl->m_Values.size();
}
