// The trace path end to end: gating, line composition, sink routing, the
// outside trace library (a stand-in built beside the library) and the module
// loader.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "CmDebug.h"
#include "CmQloTrace.h"
#include "CmTrace.h"
#include "CmTraceInternal.h"
#include "TraceCapture.h"
#include "platform/CmPlatform.h"

namespace {

std::string LibraryDir() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&util_adapter_trace), &info)) return "";
  std::string path = info.dli_fname;
  return path.substr(0, path.rfind('/') + 1);
}

struct StandInCall {
  unsigned level;
  std::string module;
  std::string text;
};

// Access to the stand-in outside trace library that the library loaded.
class StandIn {
 public:
  StandIn() {
    const std::string path = LibraryDir() + CM_QLO_TRACE_LIBRARY_NAME;
    chmod(path.c_str(), 0755);  // the loader refuses group- or world-writable files
    CCmQloTrace::instance()->Init();
    m_hModule = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!m_hModule) return;
    m_pfnReset = reinterpret_cast<void (*)()>(dlsym(m_hModule, "stand_in_reset"));
    m_pfnCount = reinterpret_cast<size_t (*)()>(dlsym(m_hModule, "stand_in_count"));
    m_pfnGet = reinterpret_cast<bool (*)(size_t, unsigned*, char*, size_t, char*, size_t, size_t*)>(
        dlsym(m_hModule, "stand_in_get"));
    m_pfnReset();
  }
  ~StandIn() {
    if (m_hModule) dlclose(m_hModule);
  }
  bool Loaded() const { return m_hModule && m_pfnReset && m_pfnCount && m_pfnGet; }
  std::vector<StandInCall> Calls() const {
    std::vector<StandInCall> calls;
    const size_t n = m_pfnCount();
    for (size_t i = 0; i < n; ++i) {
      unsigned level;
      char module[256];
      std::vector<char> text(4096);
      size_t full;
      if (m_pfnGet(i, &level, module, sizeof(module), text.data(), text.size(), &full)) {
        calls.push_back({level, module, std::string(text.data(), full)});
      }
    }
    return calls;
  }
  void Reset() { m_pfnReset(); }

 private:
  void* m_hModule = nullptr;
  void (*m_pfnReset)() = nullptr;
  size_t (*m_pfnCount)() = nullptr;
  bool (*m_pfnGet)(size_t, unsigned*, char*, size_t, char*, size_t, size_t*) = nullptr;
};

TEST(CmTraceGate, MaskAndTroubleshootingLevel) {
  TraceCapture trace(2);
  CM_DEBUG_TRACE("level three " << 1);
  EXPECT_FALSE(trace.Contains("level three 1"));
  set_external_trace_mask(4);
  CM_DEBUG_TRACE("level three " << 2);
  EXPECT_TRUE(trace.Contains("level three 2", 3));
  set_external_trace_mask(2);
  CmTraceSetTroubleshootingLevel(3);
  CM_DEBUG_TRACE("level three " << 3);
  CM_DETAIL_TRACE("level four");
  EXPECT_TRUE(trace.Contains("level three 3", 3));
  EXPECT_FALSE(trace.Contains("level four"));
  EXPECT_EQ(get_external_trace_mask(), 2u);
  // Compared as signed values: a mask of 0xffffffff is -1, not "everything".
  CmTraceSetTroubleshootingLevel(0);
  set_external_trace_mask(0xffffffffu);
  CM_ERROR_TRACE("error at minus one");
  EXPECT_TRUE(trace.Contains("error at minus one", 0));
  CmTraceSetTroubleshootingLevel(-1);
  CM_ERROR_TRACE("suppressed error");
  EXPECT_FALSE(trace.Contains("suppressed error"));
}

TEST(CmTraceGate, SuppressedStatementDoesNotEvaluateOperands) {
  TraceCapture trace(1);
  int evaluated = 0;
  auto touch = [&evaluated] { return ++evaluated; };
  CM_INFO_TRACE("value=" << touch());
  EXPECT_EQ(evaluated, 0);
  CM_WARNING_TRACE("value=" << touch());
  EXPECT_EQ(evaluated, 1);
}

TEST(UtilAdapterTrace, LineCarriesModulePrefixAndObjectSuffix) {
  TraceCapture trace;
  struct Obj {
    void Say() { CM_INFO_TRACE_THIS("Obj::Say, hello"); }
  } obj;
  obj.Say();
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].text.rfind("[libzarutil.so] Obj::Say, hello [this=0x", 0), 0u) << lines[0].text;
  EXPECT_EQ(std::string(CmGetUtilModuleName()), "libzarutil.so");

  trace.Clear();
  util_adapter_trace(1, nullptr, "no module", 9);
  util_adapter_trace(1, "", "empty module", 12);
  util_adapter_trace(1, "MOD", "abcdef", 3);  // the length bounds the text
  util_adapter_trace(1, "MOD", nullptr, 0);
  const std::vector<TraceLine> more = trace.Lines();
  ASSERT_EQ(more.size(), 4u);
  EXPECT_EQ(more[0].text, "[UTIL] no module");
  EXPECT_EQ(more[1].text, "[] empty module");
  EXPECT_EQ(more[2].text, "[MOD] abc");
  EXPECT_EQ(more[3].text, "[MOD] ");
}

TEST(UtilAdapterTrace, LongTextsAreBoundedByTheReserve) {
  TraceCapture trace;
  const std::string text(1024, 'a');
  util_adapter_trace(2, "M", text.c_str(), 1024);  // fits the 1224-byte stack buffer
  const std::string big(3000, 'b');
  util_adapter_trace(2, "M", big.c_str(), 3000);  // heap buffer of 3200 bytes
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "[M] " + text);
  EXPECT_EQ(lines[1].text, "[M] " + big);
  const std::string huge(1100, 'c');
  std::string longModule(200, 'm');
  trace.Clear();
  // A 1100-byte text gets a 1300-byte buffer; the 200-byte module pushes the
  // line past its 1300 - 96 characters and the text's tail is cut.
  util_adapter_trace(2, longModule.c_str(), huge.c_str(), 1100);
  ASSERT_EQ(trace.Lines().size(), 1u);
  EXPECT_EQ(trace.Lines()[0].text.size(), 1300u - 96u);
}

TEST(UtilAdapterTrace, SinkIsExclusiveOnlyWithOptionBit4) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  TraceCapture trace(2, 5);
  util_adapter_trace(2, "MOD", "to the sink", 11);
  EXPECT_TRUE(trace.Contains("[MOD] to the sink"));
  EXPECT_TRUE(standIn.Calls().empty());

  cm_set_trace_option(1);
  util_adapter_trace(1, "MOD", "to the library", 14);
  EXPECT_FALSE(trace.Contains("to the library"));
  std::vector<StandInCall> calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].level, 4u);  // library level of a warning
  EXPECT_EQ(calls[0].module, "MOD");
  EXPECT_EQ(calls[0].text, "to the library");

  // Without a sink, bit 0x4 falls through to the other outputs.
  standIn.Reset();
  set_util_external_trace_sink(nullptr);
  cm_set_trace_option(5);
  util_adapter_trace(0, "MOD", "fall through", 12);
  calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].level, 8u);
}

TEST(UtilAdapterTrace, EmptyModuleIsReplacedByCallerModuleForOutputs) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  TraceCapture trace(2, 1);
  util_adapter_trace(2, nullptr, "who", 3);
  const std::vector<StandInCall> calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].module.empty());
  EXPECT_EQ(calls[0].text, "who");
}

TEST(UtilAdapterTrace, LogstashSinkWithOptionBit8) {
  static std::vector<std::string> received;
  received.clear();
  TraceCapture trace(2, 0x8);
  set_util_logstash_external_trace_sink(
      [](unsigned, const char* aLine, unsigned aLength) { received.emplace_back(aLine, aLength); });
  util_adapter_trace(2, "L", "stash", 5);
  cm_set_trace_option(0);
  util_adapter_trace(2, "L", "nowhere", 7);
  set_util_logstash_external_trace_sink(nullptr);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], "[L] stash");
  EXPECT_TRUE(trace.Lines().empty());
}

TEST(UtilAdapterTrace, LongTextReachesLibraryIn2047ByteSteps) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  TraceCapture trace(2, 1);
  std::string text(5000, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  util_adapter_trace(2, "M", text.c_str(), 5000);
  std::vector<StandInCall> calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].text, text.substr(0, 2047));
  EXPECT_EQ(calls[1].text, text.substr(2047, 2047));
  EXPECT_EQ(calls[2].text, text.substr(4094));

  // Exactly two steps' worth: the second call carries the rest, no empty third.
  standIn.Reset();
  util_adapter_trace(2, "M", text.c_str(), 4094);
  calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].text, text.substr(2047, 2047));
  standIn.Reset();
  util_adapter_trace(2, "M", text.c_str(), 2047);
  EXPECT_EQ(standIn.Calls().size(), 1u);
  standIn.Reset();
  util_adapter_trace(2, "M", text.c_str(), 2048);
  calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].text, text.substr(2047, 1));
}

TEST(CCmQloTrace, LevelTableAndEntryPoints) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  CCmQloTrace* qlo = CCmQloTrace::instance();
  EXPECT_EQ(qlo, CCmQloTrace::instance());
  EXPECT_TRUE(qlo->IsLoadDllSuccessfully());
  const int defaults[] = {8, 4, 2, 1, 1, 0, 0};
  for (unsigned i = 0; i < 7; ++i) {
    int value = -1;
    EXPECT_TRUE(qlo->GetTraceLevel(i, value));
    EXPECT_EQ(value, defaults[i]) << i;
  }
  int value = 77;
  EXPECT_FALSE(qlo->UpdateTraceLevel(256, 5));
  EXPECT_FALSE(qlo->GetTraceLevel(256, value));
  EXPECT_EQ(value, 77);
  EXPECT_TRUE(qlo->UpdateTraceLevel(255, 9));
  EXPECT_TRUE(qlo->GetTraceLevel(255, value));
  EXPECT_EQ(value, 9);

  TraceCapture trace(2, 1);
  ASSERT_TRUE(qlo->UpdateTraceLevel(2, 6));
  util_adapter_trace(2, "M", "remapped", 8);
  char text[] = "direct";
  EXPECT_TRUE(qlo->trace_string(258, "ignored", text));  // level & 0xff == 2
  ASSERT_TRUE(qlo->UpdateTraceLevel(2, 2));
  std::vector<StandInCall> calls = standIn.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].level, 6u);
  EXPECT_EQ(calls[1].level, 6u);
  EXPECT_EQ(calls[1].text, "direct");

  qlo->Close();
  EXPECT_FALSE(qlo->IsLoadDllSuccessfully());
  EXPECT_FALSE(qlo->trace_string(2, nullptr, text));
  standIn.Reset();
  util_adapter_trace(2, "M", "while closed", 12);
  EXPECT_TRUE(standIn.Calls().empty());
  qlo->Init();
  EXPECT_TRUE(qlo->IsLoadDllSuccessfully());
}

TEST(CCmQloTrace, SplitStringLikeGetline) {
  CCmQloTrace* qlo = CCmQloTrace::instance();
  std::vector<std::string> out{"kept"};
  qlo->split_string("a,b,", ',', out);
  EXPECT_EQ(out, (std::vector<std::string>{"kept", "a", "b"}));
  out.clear();
  qlo->split_string(",a,,b", ',', out);
  EXPECT_EQ(out, (std::vector<std::string>{"", "a", "", "b"}));
  out.clear();
  qlo->split_string("", ',', out);
  EXPECT_TRUE(out.empty());
  qlo->split_string("no delimiter", ';', out);
  EXPECT_EQ(out, (std::vector<std::string>{"no delimiter"}));
}

TEST(ModuleLoader, LoadsOnlyOwnerWritableFilesFromLibraryDirectory) {
  const std::string dir = LibraryDir();
  const std::string source = dir + CM_QLO_TRACE_LIBRARY_NAME;
  const std::string copy = dir + "libzar_loader_probe.so";
  {
    std::ifstream in(source, std::ios::binary);
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  ASSERT_EQ(chmod(copy.c_str(), 0664), 0);
  EXPECT_EQ(zar_load_library_s("libzar_loader_probe.so", 0, 0), nullptr);  // group-writable
  ASSERT_EQ(chmod(copy.c_str(), 0646), 0);
  EXPECT_EQ(zar_load_library_s("libzar_loader_probe.so", 0, 0), nullptr);  // world-writable
  ASSERT_EQ(chmod(copy.c_str(), 0644), 0);
  void* module = zar_load_library_s("libzar_loader_probe.so", 0, 0);
  EXPECT_NE(module, nullptr);
  if (module) dlclose(module);

  const std::string link = dir + "libzar_loader_link.so";
  unlink(link.c_str());
  ASSERT_EQ(symlink(copy.c_str(), link.c_str()), 0);
  EXPECT_EQ(zar_load_library_s("libzar_loader_link.so", 0, 0), nullptr);  // links are refused
  EXPECT_EQ(zar_load_library_s(("../bin/" + std::string("libzar_loader_probe.so")).c_str(), 0, 0), nullptr);
  EXPECT_EQ(zar_load_library_s("libzar_no_such_module.so", 0, 0), nullptr);
  EXPECT_EQ(zar_load_library_s("", 0, 0), nullptr);
  EXPECT_EQ(zar_load_library_s(nullptr, 0, 0), nullptr);
  unlink(link.c_str());
  unlink(copy.c_str());
}

TEST(GetCallerModuleName, RefusesEmptyBuffersAndTruncates) {
  char buf[64];
  EXPECT_FALSE(GetCallerModuleName(nullptr, 10));
  EXPECT_FALSE(GetCallerModuleName(buf, 0));
  ASSERT_TRUE(GetCallerModuleName(buf, sizeof(buf)));
  const std::string full = buf;
  EXPECT_FALSE(full.empty());
  char small[3];
  ASSERT_TRUE(GetCallerModuleName(small, sizeof(small)));
  EXPECT_EQ(std::string(small), full.substr(0, 2));
}

TEST(UtilAdapterCrash, ForwardsToInstalledSink) {
  int context = 0;
  EXPECT_EQ(util_adapter_crash(&context), 0);
  set_util_external_crash_sink([](void* aContext) -> long {
    ++*static_cast<int*>(aContext);
    return 42;
  });
  EXPECT_EQ(util_adapter_crash(&context), 42);
  EXPECT_EQ(context, 1);
  set_util_external_crash_sink(nullptr);
  EXPECT_EQ(util_adapter_crash(&context), 0);
}

TEST(CmAssertion, LineShapeAndCounting) {
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  const int value = 3;
  CM_ASSERTE(value == 4);
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 0u);
  const std::string expected = "[libzarutil.so] CmTraceTest.cpp:" + std::to_string(__LINE__ - 4) +
                               " Assert failed: value == 4";
  EXPECT_EQ(lines[0].text, expected);
  cm_assertion_report();
  EXPECT_EQ(cm_get_assertions_count(), before + 2);
}

int ReturnsAfterAssert(int aValue) {
  CM_ASSERTE_RETURN(aValue > 0, ZAR_E_INVALIDARG);
  return 0;
}

TEST(CmAssertion, CountedEvenWhenNoLineIsProduced) {
  TraceCapture trace(0xffffffffu);
  CmTraceSetTroubleshootingLevel(-1);
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(ReturnsAfterAssert(-1), ZAR_E_INVALIDARG);
  EXPECT_EQ(ReturnsAfterAssert(1), 0);
  CM_ASSERTE(false);
  EXPECT_EQ(cm_get_assertions_count(), before + 2);
  EXPECT_TRUE(trace.Lines().empty());
  const unsigned logs = cm_get_temp_logs_count();
  cm_add_temp_log();
  EXPECT_EQ(cm_get_temp_logs_count(), logs + 1);
}

}  // namespace
