// CRC-16 and Base64 beside their peers:
//  - CalcCRC16 (CRC-16/ARC) against boost::crc_16_type over 1500 bytes (a
//    packet) and 64 KiB;
//  - CM_Base64Encode / CM_Base64Decode and the xbase64_ pair against
//    OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, same sizes.
// Every benchmark compares its result with the peer's (or the expected
// bytes) and reports an error when they differ.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <boost/crc.hpp>
#include <random>
#include <string>
#include <vector>

#include "CmUtilMisc.h"

namespace {

std::vector<unsigned char> Payload(size_t aLength) {
  std::mt19937 rng(static_cast<unsigned>(aLength));
  std::vector<unsigned char> out(aLength);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

unsigned short BoostCrc(const std::vector<unsigned char>& aData) {
  boost::crc_16_type crc;
  crc.process_bytes(aData.data(), aData.size());
  return static_cast<unsigned short>(crc.checksum());
}

void BM_Crc16_CalcCRC16(benchmark::State& state) {
  std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  const unsigned short expected = BoostCrc(data);
  unsigned short result = 0;
  for (auto _ : state) {
    unsigned short crc = 0;
    result = CalcCRC16(crc, data.data(), data.size());
    benchmark::DoNotOptimize(result);
  }
  if (result != expected) state.SkipWithError("CRC differs from boost::crc_16_type");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16_CalcCRC16)->Arg(1500)->Arg(65536);

void BM_Crc16_BoostCrc16Type(benchmark::State& state) {
  std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  unsigned short crc = 0;
  const unsigned short expected = CalcCRC16(crc, data.data(), data.size());
  unsigned short result = 0;
  for (auto _ : state) {
    boost::crc_16_type peer;
    peer.process_bytes(data.data(), data.size());
    result = static_cast<unsigned short>(peer.checksum());
    benchmark::DoNotOptimize(result);
  }
  if (result != expected) state.SkipWithError("CRC differs from CalcCRC16");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16_BoostCrc16Type)->Arg(1500)->Arg(65536);

std::string OpenSslEncode(const std::vector<unsigned char>& aData) {
  std::string out(aData.size() / 3 * 4 + 5, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), aData.data(), static_cast<int>(aData.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

void BM_Base64Encode_CM(benchmark::State& state) {
  const std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    CM_Base64Encode(data.data(), static_cast<unsigned>(data.size()), out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != OpenSslEncode(data)) state.SkipWithError("text differs from EVP_EncodeBlock");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode_CM)->Arg(1500)->Arg(65536);

void BM_Base64Encode_xbase64(benchmark::State& state) {
  std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out(xbase64_calc_encode_buf_size(data.data(), data.size()));
  unsigned long n = 0;
  for (auto _ : state) {
    n = xbase64_encode(data.data(), data.size(), out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (std::string(out.begin(), out.begin() + static_cast<long>(n)) != OpenSslEncode(data)) {
    state.SkipWithError("text differs from EVP_EncodeBlock");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode_xbase64)->Arg(1500)->Arg(65536);

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
  const std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out(data.size() / 3 * 4 + 5);
  for (auto _ : state) {
    EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(data.size()));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  std::string mine;
  CM_Base64Encode(data.data(), static_cast<unsigned>(data.size()), mine);
  if (mine != reinterpret_cast<const char*>(out.data())) state.SkipWithError("text differs from CM_Base64Encode");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode_OpenSSL)->Arg(1500)->Arg(65536);

// Decoding benchmarks count the decoded bytes, like the encoders.
void BM_Base64Decode_CM(benchmark::State& state) {
  const std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  const std::string text = OpenSslEncode(data);
  std::string out;
  for (auto _ : state) {
    CM_Base64Decode(text.c_str(), out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != std::string(data.begin(), data.end())) state.SkipWithError("bytes differ from the input");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode_CM)->Arg(1500)->Arg(65536);

void BM_Base64Decode_xbase64(benchmark::State& state) {
  xbase64_init_decode_table();
  const std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  std::string text = OpenSslEncode(data);
  std::vector<unsigned char> out(text.size() / 4 * 3);
  unsigned long n = 0;
  for (auto _ : state) {
    n = xbase64_decode(reinterpret_cast<unsigned char*>(&text[0]), text.size(), out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (n != data.size() || !std::equal(data.begin(), data.end(), out.begin())) {
    state.SkipWithError("bytes differ from the input");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode_xbase64)->Arg(1500)->Arg(65536);

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
  const std::vector<unsigned char> data = Payload(static_cast<size_t>(state.range(0)));
  const std::string text = OpenSslEncode(data);
  std::vector<unsigned char> out(text.size() / 4 * 3);
  int n = 0;
  for (auto _ : state) {
    n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  // EVP_DecodeBlock counts the padding's zero bytes too.
  if (n < static_cast<int>(data.size()) || !std::equal(data.begin(), data.end(), out.begin())) {
    state.SkipWithError("bytes differ from the input");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode_OpenSSL)->Arg(1500)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
