// url_string_encode at any destination length: it never writes outside the
// buffer (allocated to the exact length, so AddressSanitizer sees every
// stray byte), always terminates it, and produces the longest whole-unit
// prefix of the full encoding that fits.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "CmHttpUrl.h"
#include "FuzzSupport.h"

namespace {

std::vector<std::string> Units(const std::string& aSrc) {
  static const char kHex[] = "0123456789abcdef";
  std::vector<std::string> units;
  for (unsigned char c : aSrc) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      units.emplace_back(1, static_cast<char>(c));
    } else if (c == ' ') {
      units.emplace_back("+");
    } else {
      units.push_back(std::string("%") + kHex[c >> 4] + kHex[c & 0xF]);
    }
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 2) return 0;
  const int length = static_cast<int16_t>(aData[0] | (aData[1] << 8));
  const std::string src(reinterpret_cast<const char*>(aData) + 2, strnlen(reinterpret_cast<const char*>(aData) + 2, aSize - 2));
  const size_t bufferSize = length > 0 ? static_cast<size_t>(length) : 1;
  char* dst = new char[bufferSize];
  dst[0] = '#';
  FUZZ_CHECK(url_string_encode(src.c_str(), dst, length) == dst);
  if (length < 1) {
    FUZZ_CHECK(dst[0] == '#');
    delete[] dst;
    return 0;
  }
  const size_t written = strnlen(dst, bufferSize);
  FUZZ_CHECK(written < bufferSize);
  std::string expected;
  for (const std::string& unit : Units(src)) {
    if (expected.size() + unit.size() + 1 > bufferSize) break;
    expected += unit;
  }
  FUZZ_CHECK(std::string(dst, written) == expected);
  delete[] dst;
  return 0;
}
