// Reading typed values with CCmByteStreamNetwork from a chain built out of
// arbitrary bytes. Input: byte 0 picks the number of blocks (1..8), byte 1
// the number of reads, then one byte per read (its kind), then the payload,
// spread over the blocks (alternately data blocks and exactly-sized caller
// memory, so AddressSanitizer sees any overread). Checked against a flat
// big-endian model: every value, the sticky failure, the bytes left in the
// chain; and writing the values read back out must give the bytes consumed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CmByteStream.h"
#include "FuzzSupport.h"

namespace {

// The flat reader the stream must agree with.
struct Model {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool failed = false;

  bool Take(size_t aCount, uint64_t* aValue) {
    if (failed || size - pos < aCount) {
      if (!failed) pos = size;  // the failing read still consumes what is there
      failed = true;
      return false;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < aCount; ++i) v = (v << 8) | data[pos + i];
    pos += aCount;
    if (aValue) *aValue = v;
    return true;
  }
};

template <class T>
void Check(CCmByteStreamNetwork& aStream, Model& aModel, size_t aWidth, CCmByteStreamNetwork& aEcho) {
  T value{};
  aStream >> value;
  uint64_t expected = 0;
  const bool ok = aModel.Take(aWidth, &expected);
  uint64_t bits = 0;
  memcpy(&bits, &value, sizeof(value));
  if (!ok) expected = 0;
  if (sizeof(T) == 2) bits &= 0xFFFF;
  if (sizeof(T) == 4) bits &= 0xFFFFFFFF;
  if (sizeof(T) == 1) bits &= 0xFF;
  if (bits != expected) abort();
  if (ok) aEcho << value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 2) return 0;
  const size_t blocks = 1 + aData[0] % 8;
  const size_t reads = aData[1] < aSize - 2 ? aData[1] : aSize - 2;
  const uint8_t* kinds = aData + 2;
  const uint8_t* payload = kinds + reads;
  const size_t payloadSize = aSize - 2 - reads;

  FuzzChain chain(payload, payloadSize, blocks);
  if (chain.Head().GetChainedLength() != payloadSize) abort();

  CCmByteStreamNetwork stream(chain.Head());
  CCmMessageBlock echoBlock(payloadSize + 1);
  CCmByteStreamNetwork echo(echoBlock);
  Model model{payload, payloadSize};
  for (size_t r = 0; r < reads; ++r) {
    switch (kinds[r] % 8) {
      case 0: Check<uint8_t>(stream, model, 1, echo); break;
      case 1: Check<uint16_t>(stream, model, 2, echo); break;
      case 2: Check<uint32_t>(stream, model, 4, echo); break;
      case 3: Check<int16_t>(stream, model, 2, echo); break;
      case 4: Check<int32_t>(stream, model, 4, echo); break;
      case 5: Check<float>(stream, model, 4, echo); break;
      case 6: {
        CCmString text("stale");
        stream >> text;
        uint64_t length = 0;
        const bool ok = model.Take(2, &length) && model.Take(static_cast<size_t>(length), nullptr);
        if (ok && text.size() != length) abort();
        if (ok && memcmp(text.data(), payload + model.pos - length, length) != 0) abort();
        if (!ok && !text.empty()) abort();
        if (ok) echo << text;
        break;
      }
      default: {
        const size_t count = kinds[r] >> 3;
        std::string raw(count, 'x');
        stream.Read(&raw[0], static_cast<DWORD>(count));
        const bool ok = model.Take(count, nullptr);
        if (ok && memcmp(raw.data(), payload + model.pos - count, count) != 0) abort();
        if (!ok && raw != std::string(count, '\0')) abort();
        if (ok) echo.Write(raw.data(), static_cast<DWORD>(count));
      }
    }
    if (stream.IsGood() == model.failed) abort();
    if (chain.Head().GetChainedLength() != payloadSize - model.pos) abort();
  }
  // What was read successfully, written again, is exactly what was consumed.
  const CCmString echoed = echoBlock.FlattenChained();
  if (!echo.IsGood() || echoed.size() > payloadSize || memcmp(echoed.data(), payload, echoed.size()) != 0) abort();
  if (!model.failed && echoed.size() != model.pos) abort();
  return 0;
}
