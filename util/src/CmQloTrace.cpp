#include "CmQloTrace.h"

#include <mutex>
#include <sstream>

#include "CmDebugFileConfigInternal.h"
#include "CmTraceInternal.h"
#include "platform/CmPlatform.h"

namespace {

std::atomic<CCmQloTrace*> g_pQloTrace{nullptr};
std::mutex g_QloCreateMutex;
// Creation loads the library and reads the debug configuration, both of
// which may trace; a message from the creating thread must not ask for the
// instance again (it would wait for itself), so it skips this output.
thread_local bool t_bCreatingQloTrace = false;

constexpr size_t kRawChunk = 2047;

// Option bit 0x1: the raw entry point, in steps of kRawChunk bytes (each
// call receives the rest of the text). The bridge is made by the first
// message.
class QloTraceSink final : public ICmTraceSink {
 public:
  void Write(unsigned aLevel, const char* aModule, char* aText, unsigned aLength) override {
    CCmQloTrace* qlo = CCmQloTrace::instance();
    const CmQloTraceRawFn raw = qlo ? qlo->RawEntry() : nullptr;
    if (!raw) return;
    const unsigned libLevel = qlo->LibraryLevel(aLevel);
    size_t offset = 0;
    while (aLength - offset > kRawChunk) {
      raw(libLevel, aModule, "", aText + offset);
      offset += kRawChunk;
    }
    raw(libLevel, aModule, "", aText + offset);
  }
};

QloTraceSink g_QloSink;
[[maybe_unused]] const bool g_bQloSinkSet = (CmTraceSetSink(CmTraceOutput_Library, &g_QloSink), true);

}  // namespace

CCmQloTrace* CCmQloTrace::instance() {
  CCmQloTrace* p = g_pQloTrace.load(std::memory_order_acquire);
  if (p || t_bCreatingQloTrace) return p;
  std::lock_guard<std::mutex> lock(g_QloCreateMutex);
  p = g_pQloTrace.load(std::memory_order_acquire);
  if (!p) {
    t_bCreatingQloTrace = true;
    p = new CCmQloTrace();
    t_bCreatingQloTrace = false;
    g_pQloTrace.store(p, std::memory_order_release);
  }
  return p;
}

CCmQloTrace::CCmQloTrace() {
  for (auto& level : m_Levels) level.store(0, std::memory_order_relaxed);
  Init();
  static const uint32_t kDefaults[] = {8, 4, 2, 1, 1};
  for (unsigned i = 0; i < 5; ++i) m_Levels[i].store(kDefaults[i], std::memory_order_relaxed);
}

CCmQloTrace::~CCmQloTrace() { Close(); }

void CCmQloTrace::Init() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  UpdateTroubleShotConfigStatus();
  if (m_hModule) return;
  m_hModule = zar_load_library_s(CM_QLO_TRACE_LIBRARY_NAME, 0, 0);
  if (!m_hModule) return;
  m_pfnTrace.store(reinterpret_cast<CmQloTraceFn>(cm_platform::ModuleSymbol(m_hModule, "QLOTRACEA")),
                   std::memory_order_release);
  m_pfnRaw.store(reinterpret_cast<CmQloTraceRawFn>(cm_platform::ModuleSymbol(m_hModule, "QLOTRACERAWA")),
                 std::memory_order_release);
}

void CCmQloTrace::Close() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  m_pfnTrace.store(nullptr, std::memory_order_release);
  m_pfnRaw.store(nullptr, std::memory_order_release);
  cm_platform::ModuleClose(m_hModule);
  m_hModule = nullptr;
}

bool CCmQloTrace::IsLoadDllSuccessfully() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  return m_hModule && m_pfnTrace.load() && m_pfnRaw.load();
}

bool CCmQloTrace::UpdateTraceLevel(unsigned aIndex, int aValue) {
  if (aIndex >= 256) return false;
  m_Levels[aIndex].store(static_cast<uint32_t>(aValue), std::memory_order_relaxed);
  return true;
}

bool CCmQloTrace::GetTraceLevel(unsigned aIndex, int& aValue) {
  if (aIndex >= 256) return false;
  aValue = static_cast<int>(m_Levels[aIndex].load(std::memory_order_relaxed));
  return true;
}

bool CCmQloTrace::trace_string(unsigned long aLevel, const char* /*aAux*/, char* aText) {
  const CmQloTraceRawFn raw = RawEntry();
  if (!raw) return false;
  raw(LibraryLevel(static_cast<unsigned>(aLevel)), "", "", aText ? aText : "");
  return true;
}

void CCmQloTrace::UpdateTroubleShotConfigStatus() { CmDebugConfigPushTroubleshootingLevel(); }

void CCmQloTrace::split_string(const std::string& aText, char aDelimiter, std::vector<std::string>& aOut) {
  std::istringstream in(aText);
  std::string piece;
  while (std::getline(in, piece, aDelimiter)) aOut.push_back(piece);
}
