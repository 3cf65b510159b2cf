// Message blocks beside ACE_Message_Block: the life of one packet. Write
// 1200 bytes into a 1500-byte block, duplicate it (sharing the storage), read
// the bytes back from the duplicate, and free both. A second pair moves the
// same 1200 bytes through a chain of three 500-byte blocks, the path of a
// packet that crosses block boundaries.
#include <ace/Init_ACE.h>
#include <ace/Message_Block.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "CmMessageBlock.h"

namespace {

constexpr size_t kBlock = 1500;
constexpr size_t kPayload = 1200;

std::vector<char> Payload() {
  std::vector<char> out(kPayload);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7 + 1);
  return out;
}

void BM_Packet_CCmMessageBlock(benchmark::State& state) {
  const std::vector<char> payload = Payload();
  std::vector<char> out(kPayload);
  long good = 0;
  for (auto _ : state) {
    CCmMessageBlock mb(kBlock);
    mb.Write(payload.data(), kPayload);
    CCmMessageBlock* dup = mb.DuplicateChained();
    unsigned long n = 0;
    dup->Read(out.data(), kPayload, &n);
    dup->DestroyChained();
    benchmark::ClobberMemory();
    good += (n == kPayload && out[kPayload - 1] == payload[kPayload - 1]) ? 1 : 0;
  }
  if (good != static_cast<long>(state.iterations()) || out != payload) state.SkipWithError("bytes lost");
}
BENCHMARK(BM_Packet_CCmMessageBlock);

void BM_Packet_ACE_Message_Block(benchmark::State& state) {
  const std::vector<char> payload = Payload();
  std::vector<char> out(kPayload);
  long good = 0;
  for (auto _ : state) {
    ACE_Message_Block mb(kBlock);
    mb.copy(payload.data(), kPayload);
    ACE_Message_Block* dup = mb.duplicate();
    const size_t n = dup->length();
    memcpy(out.data(), dup->rd_ptr(), n);
    dup->rd_ptr(n);
    dup->release();
    benchmark::ClobberMemory();
    good += (n == kPayload && out[kPayload - 1] == payload[kPayload - 1]) ? 1 : 0;
  }
  if (good != static_cast<long>(state.iterations()) || out != payload) state.SkipWithError("bytes lost");
}
BENCHMARK(BM_Packet_ACE_Message_Block);

void BM_ChainOf3_CCmMessageBlock(benchmark::State& state) {
  const std::vector<char> payload = Payload();
  std::vector<char> out(kPayload);
  long good = 0;
  for (auto _ : state) {
    CCmMessageBlock a(500), b(500), c(500);
    a.Append(&b);
    b.Append(&c);
    unsigned long written = 0, n = 0;
    a.Write(payload.data(), kPayload, &written);
    CCmMessageBlock* dup = a.DuplicateChained();
    dup->Read(out.data(), kPayload, &n);
    dup->DestroyChained();
    benchmark::ClobberMemory();
    good += (written == kPayload && n == kPayload) ? 1 : 0;
  }
  if (good != static_cast<long>(state.iterations()) || out != payload) state.SkipWithError("bytes lost");
}
BENCHMARK(BM_ChainOf3_CCmMessageBlock);

// ACE has no chained write or read: the caller walks cont() itself.
void BM_ChainOf3_ACE_Message_Block(benchmark::State& state) {
  const std::vector<char> payload = Payload();
  std::vector<char> out(kPayload);
  long good = 0;
  for (auto _ : state) {
    ACE_Message_Block a(500), b(500), c(500);
    a.cont(&b);
    b.cont(&c);
    size_t written = 0;
    for (ACE_Message_Block* mb = &a; mb && written < kPayload; mb = mb->cont()) {
      const size_t n = std::min(mb->space(), kPayload - written);
      mb->copy(payload.data() + written, n);
      written += n;
    }
    ACE_Message_Block* dup = a.duplicate();
    size_t n = 0;
    for (ACE_Message_Block* mb = dup; mb; mb = mb->cont()) {
      memcpy(out.data() + n, mb->rd_ptr(), mb->length());
      n += mb->length();
      mb->rd_ptr(mb->length());
    }
    dup->release();
    a.cont(nullptr);  // the stack blocks must not release each other
    b.cont(nullptr);
    benchmark::ClobberMemory();
    good += (written == kPayload && n == kPayload) ? 1 : 0;
  }
  if (good != static_cast<long>(state.iterations()) || out != payload) state.SkipWithError("bytes lost");
}
BENCHMARK(BM_ChainOf3_ACE_Message_Block);

}  // namespace

int main(int argc, char** argv) {
  ACE::init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ACE::fini();
  return 0;
}
