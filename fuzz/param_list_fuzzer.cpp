// Decoding a parameter list from bytes a peer sent. Input: byte 0 picks the
// number of blocks the bytes are spread over (1..4; every other block is
// exactly-sized caller memory, so AddressSanitizer sees any overread) and
// whether the list already holds an entry; the rest is the encoded list.
//
// Checked against a flat model decoder: the result, how many bytes were
// consumed, and every entry that was kept (type and value). Then the
// decoded list must encode to exactly GetStreamLength bytes, and decoding
// that encoding again must give the same bytes (a round trip).
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "paramlist.h"

namespace {

struct ModelEntry {
  int type;
  std::string value;  // the wire bytes of the value (for texts: the text)
};

// The wire format, read flat. Returns whether every announced entry was read.
struct Model {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool failed = false;
  std::map<uint32_t, ModelEntry> entries;

  bool Take(size_t aCount, std::string* aOut) {
    if (failed || size - pos < aCount) {
      failed = true;
      pos = size;  // a failing read consumes what is left
      return false;
    }
    if (aOut) aOut->assign(reinterpret_cast<const char*>(data + pos), aCount);
    pos += aCount;
    return true;
  }
  uint32_t Number(const std::string& aBytes) {
    uint32_t v = 0;
    for (unsigned char c : aBytes) v = (v << 8) | c;
    return v;
  }
  bool Decode() {
    std::string bytes;
    if (!Take(4, &bytes)) return true;  // a missing count reads as 0
    const uint32_t count = Number(bytes);
    for (uint32_t i = 0; i < count; ++i) {
      std::string index, type, value, length;
      if (!Take(4, &index) || !Take(1, &type)) return false;
      const int t = static_cast<unsigned char>(type[0]);
      if (t >= CM_DATA_UNKNOW) return false;
      static const size_t kWidth[] = {1, 2, 4, 4, 2, 4, 4};
      if (t < CM_DATA_STRING) {
        if (!Take(kWidth[t], &value)) return false;
      } else {
        if (!Take(t == CM_DATA_STRING ? 2 : 4, &length) || !Take(Number(length), &value)) return false;
        if (t == CM_DATA_STRING) value = std::string(value.c_str());  // kept up to a NUL
      }
      entries[Number(index)] = ModelEntry{t, value};
    }
    return true;
  }
};

// The value's wire bytes as the library holds it.
std::string Held(const CCmMetaData& aData) {
  CCmMessageBlock mb(8);
  CCmByteStreamNetwork os(mb);
  switch (aData.GetType()) {
    case CM_DATA_STRING: {
      const char* text = nullptr;
      FUZZ_CHECK(aData.Get(text) == ZAR_S_OK);
      return text ? std::string(text) : std::string();
    }
    case CM_DATA_RAW: {
      const unsigned char* bytes = nullptr;
      uint32_t length = 0;
      FUZZ_CHECK(aData.Get(bytes, length) == ZAR_S_OK);
      FUZZ_CHECK((bytes == nullptr) == (length == 0));
      return std::string(reinterpret_cast<const char*>(bytes), length);
    }
    default:
      FUZZ_CHECK(aData.StreamTo(os) == ZAR_S_OK);
      return mb.FlattenChained().substr(1);
  }
}

std::string Encode(const CCmParameterList& aList) {
  DWORD length = 0;
  FUZZ_CHECK(aList.GetStreamLength(length) == ZAR_S_OK);
  CCmMessageBlock mb(length);
  CCmByteStreamNetwork os(mb);
  FUZZ_CHECK(aList.StreamTo(os) == ZAR_S_OK);
  FUZZ_CHECK(mb.GetTopLevelSpace() == 0);
  return mb.FlattenChained();
}

bool Encodable(const CCmParameterList& aList) {
  for (const auto& entry : aList.GetParameters()) {
    if (entry.first == 0) return false;
    const char* text = nullptr;
    if (entry.second->GetMetaData().GetType() == CM_DATA_STRING && entry.second->GetMetaData().Get(text) == 0 &&
        text && strlen(text) >= CCmMetaDataStream::STRING_LEN_MAX) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  if (aSize < 1) return 0;
  const size_t blocks = 1 + (aData[0] & 3);
  const bool preset = (aData[0] & 4) != 0;
  const uint8_t* payload = aData + 1;
  const size_t payloadSize = aSize - 1;

  FuzzChain chain(payload, payloadSize, blocks);

  CCmParameterList list;
  Model model{payload, payloadSize, 0, false, {}};
  if (preset) {
    list.AddParameter(new CCmParameterByIndex(1, "preset"));
    model.entries[1] = ModelEntry{CM_DATA_STRING, "preset"};
  }
  CCmByteStreamNetwork stream(chain.Head());
  const CmResult rv = list.StreamFrom(stream);
  const bool modelOk = model.Decode();
  FUZZ_CHECK((rv == ZAR_S_OK) == modelOk);
  FUZZ_CHECK(chain.Head().GetChainedLength() == payloadSize - model.pos);
  FUZZ_CHECK(list.GetParameterCount() == model.entries.size());
  for (const auto& entry : model.entries) {
    const CCmParameterByIndex* param = list.FindParameter(entry.first);
    FUZZ_CHECK(param && param->GetIndex() == entry.first);
    FUZZ_CHECK(param->GetMetaData().GetType() == entry.second.type);
    FUZZ_CHECK(Held(param->GetMetaData()) == entry.second.value);
  }

  if (Encodable(list)) {
    const std::string encoded = Encode(list);
    CCmMessageBlock again(encoded.size(), encoded.data(), 0, encoded.size());
    CCmByteStreamNetwork is(again);
    CCmParameterList decoded;
    FUZZ_CHECK(decoded.StreamFrom(is) == ZAR_S_OK);
    FUZZ_CHECK(again.GetChainedLength() == 0);
    FUZZ_CHECK(Encode(decoded) == encoded);
    CCmParameterList copy(decoded);
    FUZZ_CHECK(Encode(copy) == encoded);
  }
  return 0;
}
