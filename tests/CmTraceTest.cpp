// The trace path end to end: gating, line composition, sink routing, the
// outside trace library (a stand-in built beside the library) and the module
// loader.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
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
    m_pfnGet = reinterpret_cast<bool (*)(size_t, unsigned*, char*, size_t, char*, size_t, size_t*)>(
        dlsym(m_hModule, "stand_in_get"));
    m_pfnReset();
  }
  ~StandIn() {
    if (m_hModule) dlclose(m_hModule);
  }
  bool Loaded() const { return m_hModule && m_pfnReset && m_pfnGet; }
  // "level module|text" of every call so far, then forgets them.
  std::vector<std::string> Take() {
    std::vector<std::string> calls;
    unsigned level;
    char module[256];
    std::vector<char> text(4096);
    size_t full;
    for (size_t i = 0; m_pfnGet(i, &level, module, sizeof(module), text.data(), text.size(), &full); ++i) {
      calls.push_back(std::to_string(level) + " " + module + "|" + std::string(text.data(), full));
    }
    m_pfnReset();
    return calls;
  }

 private:
  void* m_hModule = nullptr;
  void (*m_pfnReset)() = nullptr;
  bool (*m_pfnGet)(size_t, unsigned*, char*, size_t, char*, size_t, size_t*) = nullptr;
};

using Strings = std::vector<std::string>;

TEST(CmTraceGate, MaskAndTroubleshootingLevel) {
  TraceCapture trace(2);
  CM_DEBUG_TRACE("level three " << 1);
  set_external_trace_mask(4);
  CM_DEBUG_TRACE("level three " << 2);
  set_external_trace_mask(2);
  CmTraceSetTroubleshootingLevel(3);
  CM_DEBUG_TRACE("level three " << 3);
  CM_DETAIL_TRACE("level four");
  EXPECT_EQ(get_external_trace_mask(), 2u);
  // Compared as signed values: a mask of 0xffffffff is -1, not "everything".
  CmTraceSetTroubleshootingLevel(0);
  set_external_trace_mask(0xffffffffu);
  CM_ERROR_TRACE("error at minus one");
  CmTraceSetTroubleshootingLevel(-1);
  CM_ERROR_TRACE("suppressed error");
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 3u);
  const std::pair<unsigned, std::string> expected[] = {
      {3, "level three 2"}, {3, "level three 3"}, {0, "error at minus one"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].level, expected[i].first);
    EXPECT_NE(lines[i].text.find(expected[i].second), std::string::npos) << lines[i].text;
  }
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
  EXPECT_EQ(trace.Texts(), (Strings{"[UTIL] no module", "[] empty module", "[MOD] abc", "[MOD] "}));
}

TEST(UtilAdapterTrace, LongTextsAreBoundedByTheReserve) {
  TraceCapture trace;
  const std::string text(1024, 'a'), big(3000, 'b'), huge(1100, 'c'), longModule(200, 'm');
  util_adapter_trace(2, "M", text.c_str(), 1024);  // fits the 1224-byte stack buffer
  util_adapter_trace(2, "M", big.c_str(), 3000);   // heap buffer of 3200 bytes
  EXPECT_EQ(trace.Texts(), (Strings{"[M] " + text, "[M] " + big}));
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
  EXPECT_TRUE(standIn.Take().empty());
  cm_set_trace_option(1);
  util_adapter_trace(1, "MOD", "to the library", 14);
  EXPECT_EQ(trace.Texts(), Strings{"[MOD] to the sink"});
  EXPECT_EQ(standIn.Take(), Strings{"4 MOD|to the library"});  // library level of a warning
  // Without a sink, bit 0x4 falls through to the other outputs.
  set_util_external_trace_sink(nullptr);
  cm_set_trace_option(5);
  util_adapter_trace(0, "MOD", "fall through", 12);
  EXPECT_EQ(standIn.Take(), Strings{"8 MOD|fall through"});
}

TEST(UtilAdapterTrace, EmptyModuleIsReplacedByCallerModuleForOutputs) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  TraceCapture trace(2, 1);
  util_adapter_trace(2, nullptr, "who", 3);
  const Strings calls = standIn.Take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("2 ", 0), 0u) << calls[0];
  EXPECT_NE(calls[0], "2 |who");  // a module was filled in
  EXPECT_EQ(calls[0].substr(calls[0].size() - 4), "|who");
}

TEST(UtilAdapterTrace, LogstashSinkWithOptionBit8) {
  static Strings received;
  received.clear();
  TraceCapture trace(2, 0x8);
  set_util_logstash_external_trace_sink(
      [](unsigned, const char* aLine, unsigned aLength) { received.emplace_back(aLine, aLength); });
  util_adapter_trace(2, "L", "stash", 5);
  cm_set_trace_option(0);
  util_adapter_trace(2, "L", "nowhere", 7);
  set_util_logstash_external_trace_sink(nullptr);
  EXPECT_EQ(received, Strings{"[L] stash"});
  EXPECT_TRUE(trace.Lines().empty());
}

TEST(UtilAdapterTrace, LongTextReachesLibraryIn2047ByteSteps) {
  StandIn standIn;
  ASSERT_TRUE(standIn.Loaded());
  TraceCapture trace(2, 1);
  std::string text(5000, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  // Exactly two steps' worth: the second call carries the rest, no empty third.
  const std::pair<unsigned, std::vector<size_t>> cases[] = {
      {5000, {2047, 2047, 906}}, {4094, {2047, 2047}}, {2047, {2047}}, {2048, {2047, 1}}};
  for (const auto& [length, steps] : cases) {
    util_adapter_trace(2, "M", text.c_str(), length);
    Strings expected;
    for (size_t at = 0, k = 0; k < steps.size(); at += steps[k++])
      expected.push_back("2 M|" + text.substr(at, steps[k]));
    EXPECT_EQ(standIn.Take(), expected) << length;
  }
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
  const Strings calls = standIn.Take();
  EXPECT_EQ(calls, (Strings{"6 M|remapped", "6 |direct"}));

  qlo->Close();
  EXPECT_FALSE(qlo->IsLoadDllSuccessfully());
  EXPECT_FALSE(qlo->trace_string(2, nullptr, text));
  util_adapter_trace(2, "M", "while closed", 12);
  EXPECT_TRUE(standIn.Take().empty());
  qlo->Init();
  EXPECT_TRUE(qlo->IsLoadDllSuccessfully());
}

TEST(CCmQloTrace, SplitStringLikeGetline) {
  // Pieces are appended to what the vector already holds.
  const std::tuple<const char*, char, Strings> cases[] = {{"a,b,", ',', {"kept", "a", "b"}},
                                                          {",a,,b", ',', {"kept", "", "a", "", "b"}},
                                                          {"", ',', {"kept"}},
                                                          {"no delimiter", ';', {"kept", "no delimiter"}}};
  for (const auto& [text, delimiter, expected] : cases) {
    Strings out{"kept"};
    CCmQloTrace::instance()->split_string(text, delimiter, out);
    EXPECT_EQ(out, expected) << text;
  }
}

TEST(ModuleLoader, LoadsOnlyOwnerWritableFilesFromLibraryDirectory) {
  const std::string dir = LibraryDir();
  const std::string copy = dir + "libzar_loader_probe.so", link = dir + "libzar_loader_link.so";
  {
    std::ifstream in(dir + CM_QLO_TRACE_LIBRARY_NAME, std::ios::binary);
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << in.rdbuf();
  }
  for (mode_t mode : {0664, 0646}) {  // group- or world-writable
    ASSERT_EQ(chmod(copy.c_str(), mode), 0);
    EXPECT_EQ(zar_load_library_s("libzar_loader_probe.so", 0, 0), nullptr) << std::oct << mode;
  }
  ASSERT_EQ(chmod(copy.c_str(), 0644), 0);
  void* module = zar_load_library_s("libzar_loader_probe.so", 0, 0);
  EXPECT_NE(module, nullptr);
  if (module) dlclose(module);
  unlink(link.c_str());
  ASSERT_EQ(symlink(copy.c_str(), link.c_str()), 0);
  // Links, other directories, missing files and empty names are refused.
  for (const char* name : {"libzar_loader_link.so", "../bin/libzar_loader_probe.so", "libzar_no_such_module.so", ""}) {
    EXPECT_EQ(zar_load_library_s(name, 0, 0), nullptr) << name;
  }
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
  const int value = 3, line = __LINE__ + 1;
  CM_ASSERTE(value == 4);
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 0u);
  EXPECT_EQ(lines[0].text, "[libzarutil.so] CmTraceTest.cpp:" + std::to_string(line) + " Assert failed: value == 4");
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
