// xbase64_decode on arbitrary bytes, in an exactly-sized input buffer and
// an output buffer of exactly len / 4 * 3 bytes: it must agree with the
// plain model and stay inside both buffers. The input, taken as data, must
// also survive xbase64_encode (into xbase64_calc_encode_buf_size bytes) and
// xbase64_decode unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/support/ByteCodecModels.h"
#include "CmUtilMisc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  xbase64_init_decode_table();
  std::vector<unsigned char> text(aData, aData + aSize);
  std::vector<unsigned char> out(aSize / 4 * 3);
  const unsigned long n = xbase64_decode(text.data(), aSize, out.data(), out.size());
  if (n > out.size()) abort();
  if (std::string(out.begin(), out.begin() + static_cast<long>(n)) != model::XBase64Decode(text.data(), aSize)) abort();

  std::vector<unsigned char> encoded(xbase64_calc_encode_buf_size(text.data(), aSize));
  const unsigned long chars = xbase64_encode(text.data(), aSize, encoded.data(), encoded.size());
  if (chars != (aSize + 2) / 3 * 4 || chars > encoded.size()) abort();
  encoded.resize(chars);  // exact, so an overread of the decoder shows
  std::vector<unsigned char> back(chars / 4 * 3);
  const unsigned long m = xbase64_decode(encoded.data(), chars, back.data(), back.size());
  if (m != aSize || !std::equal(text.begin(), text.end(), back.begin())) abort();
  return 0;
}
