// Function tracers, the leading id and path reduction for trace text.
#include "CmFuncTracer.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>

#include "CmClock.h"
#include "CmConfigInitFile.h"
#include "CmError.h"
#include "CmFuncTracerInternal.h"
#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformNet.h"

namespace {

constexpr unsigned kTraceBuffer = 1024;
constexpr size_t kLeadingIdMax = 1023;
constexpr uint64_t kCostShownMs = 2;
constexpr uint64_t kCostWarningMs = 300;
constexpr uint64_t kCostErrorMs = 900;

// The tracers' clock: the steady clock in milliseconds.
uint64_t NowMs() { return static_cast<uint64_t>(tick_policy::now_us() / 1000); }

const char* ModuleOrOwn(const char* aModule) { return (aModule && *aModule) ? aModule : CmGetUtilModuleName(); }

void Send(unsigned aLevel, const char* aModule, CCmTextFormator& aText) {
  util_adapter_trace(aLevel, ModuleOrOwn(aModule), aText, aText.tell());
}

}  // namespace

// ---- CCmUtilFuncTracer

CCmUtilFuncTracer::CCmUtilFuncTracer(bool aEnable, bool aIsApi, const char* aModule, const char* aFunction,
                                     const char* aExtra)
    : m_bEnable(aEnable) {
  if (!m_bEnable) return;
  m_qwStartMs = NowMs();
  m_bApi = aIsApi;
  m_pModule = aModule;
  m_pFunction = aFunction;
  m_pExtra = aExtra;
  if (!CmTraceIsEnabled(CM_TRACE_LEVEL_INFO)) return;
  char buf[kTraceBuffer];
  CCmTextFormator text(buf, sizeof(buf));
  text << Prefix() << m_pFunction << " Enter..." << m_pExtra;
  Send(CM_TRACE_LEVEL_INFO, m_pModule, text);
}

CCmUtilFuncTracer::~CCmUtilFuncTracer() {
  if (!m_bEnable) return;
  const uint64_t now = NowMs();
  const uint64_t cost = now > m_qwStartMs ? now - m_qwStartMs : 0;
  unsigned level = CM_TRACE_LEVEL_INFO;
  if (cost >= kCostErrorMs) level = CM_TRACE_LEVEL_ERROR;
  else if (cost >= kCostWarningMs) level = CM_TRACE_LEVEL_WARNING;
  if (!CmTraceIsEnabled(level)) return;
  char buf[kTraceBuffer];
  CCmTextFormator text(buf, sizeof(buf));
  text << Prefix() << m_pFunction << " Leave";
  if (cost >= kCostShownMs) text << ", " << "cost" << "=" << static_cast<unsigned long long>(cost) << "ms";
  Send(level, m_pModule, text);
}

// ---- CCmT120FuncTracer

CCmT120FuncTracer::CCmT120FuncTracer(const char* aModule, const char* aFunction)
    : m_pModule(aModule), m_pFunction(aFunction) {
  Trace("Enter ");
}

CCmT120FuncTracer::~CCmT120FuncTracer() { Trace("Leave "); }

void CCmT120FuncTracer::Trace(const char* aWhat) {
  CCmT120Trace* files = CCmT120Trace::instance();
  if (!files || !files->is_module_trace_enabled(CM_TRACE_LEVEL_INFO, m_pModule)) return;
  char buf[kTraceBuffer];
  CCmTextFormator text(buf, sizeof(buf));
  text << aWhat << m_pFunction;
  Send(CM_TRACE_LEVEL_INFO, m_pModule, text);
}

// ---- leading id

std::string CmComposeLeadingId(const std::string& aProcessName, const std::string& aMachineId) {
  std::string name = aProcessName;
  static const char kExe[] = ".exe";
  const size_t exeLength = sizeof(kExe) - 1;
  if (name.size() >= exeLength && name.compare(name.size() - exeLength, exeLength, kExe) == 0) {
    name.resize(name.size() - exeLength);
  }
  std::string id = name + "." + aMachineId + ".";
  if (id.size() > kLeadingIdMax) id.resize(kLeadingIdMax);
  return id;
}

const char* get_leading_id(void) {
  static std::mutex s_Mutex;
  static char s_szLeadingId[kLeadingIdMax + 1];
  static bool s_bComputed = false;
  std::lock_guard<std::mutex> lock(s_Mutex);
  if (s_bComputed) return s_szLeadingId;

  char machine[kLeadingIdMax + 1] = "";
  if (!get_string_param("Trace", "MachineID", machine, sizeof(machine))) machine[0] = '\0';
  std::string host;
  if (!cm_platform::NetHostName(host)) {
    const int error = cm_platform::LastError();
    CM_WARNING_TRACE("CCmDnsManager::GetLocalIps, gethostname() failed! err=" << error);
    host.clear();
  }
  const std::string id = CmComposeLeadingId(CmT120TraceProcessName(), machine[0] ? std::string(machine) : host);
  memcpy(s_szLeadingId, id.c_str(), id.size() + 1);
  s_bComputed = true;
  return s_szLeadingId;
}

// ---- path reduction

int zar_get_filepath_trace(const char* aPath, char* aOut, size_t aSize) {
  if (!aPath || !aOut || aSize == 0) return ZAR_E_FAIL;
  std::string lower(aPath);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  static const char* const kMarkers[] = {"\\appdata", "\\quillo", "\\velmar",
                                         "/application support", "/quillo", "/velmar"};
  size_t at = std::string::npos;
  for (const char* marker : kMarkers) {
    at = lower.find(marker);
    if (at != std::string::npos) break;
  }
  if (at == std::string::npos) return ZAR_E_FAIL;
  const std::string reduced = lower.substr(0, 3) + "*" + lower.substr(at);
  if (reduced.size() > aSize - 1) return ZAR_E_BUFFER_TOO_SMALL;
  memcpy(aOut, reduced.c_str(), reduced.size() + 1);
  return ZAR_S_OK;
}
