// The fixed-block pool beside glibc malloc/free, for 1500-byte blocks:
//  - one Alloc and Free per iteration, on one thread and on two threads
//    sharing one pool (glibc gives each thread its own arena);
//  - a burst of 16 blocks held together, then freed.
// Each benchmark writes into every block and checks the bytes it wrote.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "ZarMemoryPool.h"

namespace {

constexpr unsigned kBlock = 1500;
constexpr int kBurst = 16;

IZARMemPool* SharedPool() {
  static IZARMemPool* pool = [] {
    IZARMemPool* p = CreateZARMemPool(kBlock, 1000);
    p->Init();
    return p;
  }();
  return pool;
}

bool Touch(void* aBlock, int aValue) {
  if (!aBlock) return false;
  unsigned char* bytes = static_cast<unsigned char*>(aBlock);
  bytes[0] = bytes[kBlock - 1] = static_cast<unsigned char>(aValue);
  benchmark::ClobberMemory();
  return bytes[0] == bytes[kBlock - 1];
}

void BM_AllocFree_ZARMemPool(benchmark::State& state) {
  IZARMemPool* pool = SharedPool();
  long good = 0;
  for (auto _ : state) {
    void* block = pool->Alloc(kBlock);
    good += Touch(block, static_cast<int>(good)) ? 1 : 0;
    pool->Free(block);
  }
  if (good != static_cast<long>(state.iterations())) state.SkipWithError("pool handed out no block");
}
BENCHMARK(BM_AllocFree_ZARMemPool)->Threads(1)->Threads(2)->UseRealTime();

void BM_AllocFree_Malloc(benchmark::State& state) {
  long good = 0;
  for (auto _ : state) {
    void* block = malloc(kBlock);
    good += Touch(block, static_cast<int>(good)) ? 1 : 0;
    free(block);
  }
  if (good != static_cast<long>(state.iterations())) state.SkipWithError("malloc failed");
}
BENCHMARK(BM_AllocFree_Malloc)->Threads(1)->Threads(2)->UseRealTime();

void BM_Burst16_ZARMemPool(benchmark::State& state) {
  IZARMemPool* pool = SharedPool();
  long good = 0;
  void* held[kBurst];
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) good += Touch(held[i] = pool->Alloc(kBlock), i) ? 1 : 0;
    for (int i = 0; i < kBurst; ++i) pool->Free(held[i]);
  }
  if (good != kBurst * static_cast<long>(state.iterations())) state.SkipWithError("pool handed out no block");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBurst);
}
BENCHMARK(BM_Burst16_ZARMemPool)->Threads(1)->Threads(2)->UseRealTime();

void BM_Burst16_Malloc(benchmark::State& state) {
  long good = 0;
  void* held[kBurst];
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) good += Touch(held[i] = malloc(kBlock), i) ? 1 : 0;
    for (int i = 0; i < kBurst; ++i) free(held[i]);
  }
  if (good != kBurst * static_cast<long>(state.iterations())) state.SkipWithError("malloc failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBurst);
}
BENCHMARK(BM_Burst16_Malloc)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
