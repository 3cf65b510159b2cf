// The trace path's hot costs beside their peers:
//  - a suppressed trace statement against spdlog's suppressed log call;
//  - formatting a typical line into a 1024-byte buffer with CCmTextFormator
//    against snprintf and fmt::format_to_n.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstring>

#include "CmTrace.h"

namespace {

const char kExpected[] = "CCmEventQueueBase::PostEvent, has been stopped. [this=0x5566aa10]";
void* const kThis = reinterpret_cast<void*>(0x5566aa10);

unsigned long g_nSinkCalls = 0;
void CountingSink(unsigned, const char*, unsigned) { ++g_nSinkCalls; }

void BM_SuppressedTrace_Zar(benchmark::State& state) {
  set_external_trace_mask(2);
  cm_set_trace_option(0x4);
  set_util_external_trace_sink(&CountingSink);
  g_nSinkCalls = 0;
  for (auto _ : state) {
    CM_DEBUG_TRACE("CCmEventQueueBase::PostEvent, has been stopped." << " [this=" << kThis << "]");
    benchmark::ClobberMemory();
  }
  // The same statement at a produced level must reach the sink exactly once.
  CM_INFO_TRACE("CCmEventQueueBase::PostEvent, has been stopped." << " [this=" << kThis << "]");
  set_util_external_trace_sink(nullptr);
  if (g_nSinkCalls != 1) state.SkipWithError("suppressed trace produced output");
}
BENCHMARK(BM_SuppressedTrace_Zar);

void BM_SuppressedTrace_Spdlog(benchmark::State& state) {
  auto logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_st>());
  logger->set_level(spdlog::level::info);
  for (auto _ : state) {
    logger->debug("CCmEventQueueBase::PostEvent, has been stopped. [this={}]", kThis);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SuppressedTrace_Spdlog);

void BM_FormatLine_Zar(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    CCmTextFormator fmt(buf, sizeof(buf));
    fmt << "CCmEventQueueBase::PostEvent, has been stopped." << " [this=" << kThis << "]";
    benchmark::DoNotOptimize(fmt.tell());
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, kExpected) != 0) state.SkipWithError("formator produced a different line");
}
BENCHMARK(BM_FormatLine_Zar);

void BM_FormatLine_Snprintf(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    const int n = snprintf(buf, sizeof(buf), "%s [this=0x%lx]", "CCmEventQueueBase::PostEvent, has been stopped.",
                           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(kThis) & 0xffffffffu));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, kExpected) != 0) state.SkipWithError("snprintf produced a different line");
}
BENCHMARK(BM_FormatLine_Snprintf);

void BM_FormatLine_Fmt(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    const auto r = fmt::format_to_n(buf, sizeof(buf) - 1, "{} [this=0x{:x}]",
                                    "CCmEventQueueBase::PostEvent, has been stopped.",
                                    static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kThis)));
    *r.out = '\0';
    benchmark::DoNotOptimize(r.size);
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, kExpected) != 0) state.SkipWithError("fmt produced a different line");
}
BENCHMARK(BM_FormatLine_Fmt);

// A line with numbers, where hand-written conversion matters most.
void BM_FormatNumbers_Zar(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    CCmTextFormator fmt(buf, sizeof(buf));
    fmt << "CCmTimerQueueBase::CheckExpire, count=" << 123456 << " next=" << 987654321u << " ms=" << -42;
    benchmark::DoNotOptimize(fmt.tell());
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, "CCmTimerQueueBase::CheckExpire, count=123456 next=987654321 ms=-42") != 0)
    state.SkipWithError("formator produced a different line");
}
BENCHMARK(BM_FormatNumbers_Zar);

void BM_FormatNumbers_Snprintf(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    const int n = snprintf(buf, sizeof(buf), "CCmTimerQueueBase::CheckExpire, count=%d next=%u ms=%d", 123456,
                           987654321u, -42);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, "CCmTimerQueueBase::CheckExpire, count=123456 next=987654321 ms=-42") != 0)
    state.SkipWithError("snprintf produced a different line");
}
BENCHMARK(BM_FormatNumbers_Snprintf);

void BM_FormatNumbers_Fmt(benchmark::State& state) {
  char buf[1024];
  for (auto _ : state) {
    const auto r = fmt::format_to_n(buf, sizeof(buf) - 1, "CCmTimerQueueBase::CheckExpire, count={} next={} ms={}",
                                    123456, 987654321u, -42);
    *r.out = '\0';
    benchmark::DoNotOptimize(r.size);
    benchmark::ClobberMemory();
  }
  if (strcmp(buf, "CCmTimerQueueBase::CheckExpire, count=123456 next=987654321 ms=-42") != 0)
    state.SkipWithError("fmt produced a different line");
}
BENCHMARK(BM_FormatNumbers_Fmt);

}  // namespace

BENCHMARK_MAIN();
