// One trace line written to the trace files, beside spdlog's basic file
// sink writing the same line with a time stamp of the same shape.
//
//  - Zar: CCmT120Trace::trace_string with the default buffer count of 1:
//    every record is flushed at once (two seeks, the record, the marker and
//    the header, then fflush), so a crash loses nothing already traced.
//  - Zar/Buffered64: the same with 64 records collected per flush
//    (refresh_settings), for callers who trade durability for speed.
//  - Spdlog: basic_file_sink_st as shipped (stdio-buffered, no flush per
//    line), and Spdlog/FlushEach with flush_on(info), which matches the
//    library's durability.
// Each run writes 100000 records (13 MB, below the 20 MiB limit, so no
// rotation is timed) into a directory of its own and counts the records in
// the files afterwards.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"

namespace {

constexpr int64_t kRecords = 100000;
const char kText[] = "CCmEventQueueBase::PostEvent, event posted, pending=12 [this=0x5566aa10]";

class RunDir {
 public:
  RunDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zar-bench-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_strPath = pattern;
  }
  ~RunDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
  }
  const std::string& Path() const { return m_strPath; }

 private:
  std::string m_strPath;
};

// Lines holding kText in every file of aDir whose name contains aPart.
int64_t CountRecords(const std::string& aDir, const std::string& aPart) {
  int64_t n = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(aDir)) {
    if (!entry.is_regular_file() || entry.path().filename().string().find(aPart) == std::string::npos) continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) n += line.find(kText) != std::string::npos;
  }
  return n;
}

void RunZar(benchmark::State& state, int aBufferCount) {
  RunDir dir;
  setenv("USERPROFILE", dir.Path().c_str(), 1);
  CmT120TraceResetDirCacheForTesting();
  int64_t written = 0;
  {
    CCmT120Trace trace("Log", nullptr, 0);
    trace.load(nullptr);
    if (aBufferCount != 1) CCmT120TraceFileMgr::instance()->refresh_settings(CCmT120Trace::kSizeLimit, aBufferCount);
    for (auto _ : state) {
      trace.trace_string(2, "mod", kText);
      benchmark::ClobberMemory();
    }
    written = static_cast<int64_t>(state.iterations());
  }  // closing flushes what is buffered
  CmT120TraceResetDirCacheForTesting();
  unsetenv("USERPROFILE");
  state.SetItemsProcessed(written);
  if (CountRecords(dir.Path(), "_info_") != written) state.SkipWithError("records missing from the trace files");
}

void BM_TraceFileLine_Zar(benchmark::State& state) { RunZar(state, 1); }
BENCHMARK(BM_TraceFileLine_Zar)->Iterations(kRecords);

void BM_TraceFileLine_ZarBuffered64(benchmark::State& state) { RunZar(state, 64); }
BENCHMARK(BM_TraceFileLine_ZarBuffered64)->Iterations(kRecords);

void RunSpdlog(benchmark::State& state, bool aFlushEach) {
  RunDir dir;
  const std::string path = dir.Path() + "/spdlog.log";
  {
    auto logger = std::make_shared<spdlog::logger>("mod", std::make_shared<spdlog::sinks::basic_file_sink_st>(path, true));
    logger->set_pattern("[%m/%d/%Y %H:%M:%S.%e pid=%P tid=%t] [%n] :%v");
    if (aFlushEach) logger->flush_on(spdlog::level::info);
    for (auto _ : state) {
      logger->info(kText);
      benchmark::ClobberMemory();
    }
    logger->flush();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  if (CountRecords(dir.Path(), "spdlog") != static_cast<int64_t>(state.iterations()))
    state.SkipWithError("records missing from the spdlog file");
}

void BM_TraceFileLine_Spdlog(benchmark::State& state) { RunSpdlog(state, false); }
BENCHMARK(BM_TraceFileLine_Spdlog)->Iterations(kRecords);

void BM_TraceFileLine_SpdlogFlushEach(benchmark::State& state) { RunSpdlog(state, true); }
BENCHMARK(BM_TraceFileLine_SpdlogFlushEach)->Iterations(kRecords);

}  // namespace

BENCHMARK_MAIN();
