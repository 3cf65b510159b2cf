// The trace path: settings, the threshold, util_adapter_trace() and module
// names.
//
// util_adapter_trace() keeps all its state on the stack and reads the
// settings without locks (relaxed atomics: a change is seen by the next
// message). It allocates only for texts longer than 1024 bytes. The trace
// files and the outside trace library are sinks registered from their own
// sources (CmTraceInternal.h); nothing here knows them.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "CmTrace.h"
#include "CmTraceInternal.h"
#include "platform/CmPlatform.h"

std::atomic<int> g_nCmTraceThreshold{2};

namespace {

std::atomic<unsigned> g_nExternalMask{2};
std::atomic<int> g_nTroubleshootingLevel{0};
std::atomic<unsigned> g_nTraceOption{5};
std::atomic<util_external_trace_sink> g_pfnSink{nullptr};
std::atomic<util_external_trace_sink> g_pfnLogstashSink{nullptr};
std::atomic<util_external_crash_sink> g_pfnCrashSink{nullptr};
std::atomic<ICmTraceSink*> g_pSinks[2] = {{nullptr}, {nullptr}};  // by CmTraceOutput

constexpr unsigned kOptionTraceLibrary = 0x1;
constexpr unsigned kOptionTraceFiles = 0x2;
constexpr unsigned kOptionSinkExclusive = 0x4;
constexpr unsigned kOptionLogstash = 0x8;

void RecomputeThreshold() {
  const int mask = static_cast<int>(g_nExternalMask.load(std::memory_order_relaxed));
  const int trouble = g_nTroubleshootingLevel.load(std::memory_order_relaxed);
  g_nCmTraceThreshold.store(mask > trouble ? mask : trouble, std::memory_order_relaxed);
}

// A module's name is its file name without the release suffix: the loader
// opens a versioned library by its SONAME ("libzarutil.so.0", the file being
// "libzarutil.so.0.1.0"), yet trace lines name it "libzarutil.so" in every
// release so that filters on the name keep working.
const char* BaseName(const std::string& aPath, size_t& aLength) {
  const size_t slash = aPath.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  aLength = aPath.size() - start;
  const size_t so = aPath.rfind(".so.");
  if (so != std::string::npos && so > start &&
      aPath.find_first_not_of("0123456789.", so + 4) == std::string::npos) {
    aLength = so + 3 - start;
  }
  return aPath.c_str() + start;
}

std::string ComputeOwnModuleName() {
  try {
    std::string path;
    if (!cm_platform::ModulePathOfAddress(reinterpret_cast<const void*>(&ComputeOwnModuleName), path)) return "UTIL";
    size_t len;
    const char* name = BaseName(path, len);
    return len ? std::string(name, len) : std::string("UTIL");
  } catch (...) {
    return "errModule";
  }
}

}  // namespace

void CmTraceSetSink(CmTraceOutput aOutput, ICmTraceSink* aSink) {
  g_pSinks[aOutput].store(aSink, std::memory_order_release);
}

void CmTraceSetTroubleshootingLevel(int aLevel) {
  g_nTroubleshootingLevel.store(aLevel, std::memory_order_relaxed);
  RecomputeThreshold();
}

int CmTraceGetTroubleshootingLevel() { return g_nTroubleshootingLevel.load(std::memory_order_relaxed); }

void set_util_external_trace_sink(util_external_trace_sink aSink) { g_pfnSink.store(aSink); }
void set_util_logstash_external_trace_sink(util_external_trace_sink aSink) { g_pfnLogstashSink.store(aSink); }
void set_util_external_crash_sink(util_external_crash_sink aSink) { g_pfnCrashSink.store(aSink); }

void set_external_trace_mask(unsigned aMask) {
  g_nExternalMask.store(aMask, std::memory_order_relaxed);
  RecomputeThreshold();
}

unsigned get_external_trace_mask(void) { return g_nExternalMask.load(std::memory_order_relaxed); }

void cm_set_trace_option(unsigned aOption) { g_nTraceOption.store(aOption, std::memory_order_relaxed); }

unsigned cm_get_trace_option(void) { return g_nTraceOption.load(std::memory_order_relaxed); }

long util_adapter_crash(void* aContext) {
  const util_external_crash_sink sink = g_pfnCrashSink.load();
  return sink ? sink(aContext) : 0;
}

const char* CmGetUtilModuleName() {
  static const std::string name = ComputeOwnModuleName();
  return name.c_str();
}

bool GetCallerModuleName(char* aBuf, size_t aSize) {
  if (!aBuf || aSize == 0) return false;
  const char* name = "UTIL";
  size_t len = 4;
  std::string path;
  void* frames[62];
  const int depth = cm_platform::CaptureStack(frames, 62);
  if (depth > 3 && cm_platform::ModulePathOfAddress(frames[3], path)) {
    size_t baseLen;
    const char* base = BaseName(path, baseLen);
    if (baseLen) {
      name = base;
      len = baseLen;
    }
  }
  if (len > aSize - 1) len = aSize - 1;
  memcpy(aBuf, name, len);
  aBuf[len] = '\0';
  return true;
}

bool is_module_trace_enabled(unsigned aLevel, const char* aModule) {
  ICmTraceSink* files = g_pSinks[CmTraceOutput_Files].load(std::memory_order_acquire);
  return files && files->ModuleEnabled(aLevel, aModule);
}

void util_adapter_trace(unsigned aLevel, const char* aModule, const char* aText, unsigned aLength) {
  char stackBuf[1224];
  std::unique_ptr<char[]> heapBuf;
  char* buf = stackBuf;
  unsigned size = sizeof(stackBuf);
  if (aLength > 1024) {
    heapBuf.reset(new (std::nothrow) char[static_cast<size_t>(aLength) + 200]);
    if (!heapBuf) return;
    buf = heapBuf.get();
    size = aLength + 200;
  }
  if (!aText) aLength = 0;

  CCmTextFormator line(buf, size);
  line << "[" << (aModule ? aModule : "UTIL") << "] ";
  const unsigned textStart = line.tell();
  if (aLength) line.Append(aText, aLength);
  // From here the text is the (terminated, equally truncated) tail of the line.
  char* text = buf + textStart;

  const unsigned option = g_nTraceOption.load(std::memory_order_relaxed);
  const util_external_trace_sink sink = g_pfnSink.load(std::memory_order_relaxed);
  if ((option & kOptionSinkExclusive) && sink) {
    sink(aLevel, buf, line.tell());
    return;
  }

  char callerName[256];
  const char* module = aModule;
  if (!module || !*module) {
    GetCallerModuleName(callerName, sizeof(callerName));
    module = callerName;
  }

  const unsigned textLength = line.tell() - textStart;
  if (option & kOptionTraceLibrary) {
    if (ICmTraceSink* library = g_pSinks[CmTraceOutput_Library].load(std::memory_order_acquire)) {
      library->Write(aLevel, module, text, textLength);
    }
  }
  if (option & kOptionTraceFiles) {
    if (ICmTraceSink* files = g_pSinks[CmTraceOutput_Files].load(std::memory_order_acquire)) {
      files->Write(aLevel, module, text, textLength);
    }
  }
  if (option & kOptionLogstash) {
    const util_external_trace_sink logstash = g_pfnLogstashSink.load(std::memory_order_relaxed);
    if (logstash) logstash(aLevel, buf, line.tell());
  }
}
