// cm_inet_pton / cm_inet_ntop: text -> bytes -> text -> bytes round trips
// for every accepted text, refusals leave the destination untouched, any
// 4 or 16 bytes print and parse back, and a short destination either gets
// the whole text or nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "CmInetAddr.h"
#include "FuzzSupport.h"

namespace {

const int kFamilies[] = {CM_AF_INET, CM_AF_INET6, 10 /* AF_INET6 on Linux */, 0, 7};

size_t LengthOf(int aFamily) { return aFamily == CM_AF_INET ? 4 : 16; }

void CheckText(int aFamily, const std::string& aText) {
  uint8_t bytes[16];
  memset(bytes, 0xA5, sizeof(bytes));
  const int r = cm_inet_pton(aFamily, aText.c_str(), bytes);
  const bool known = aFamily == CM_AF_INET || aFamily == CM_AF_INET6 || aFamily == 10;
  if (!known || r == 0) {
    FUZZ_CHECK(r == 0);
    for (uint8_t b : bytes) FUZZ_CHECK(b == 0xA5);
    return;
  }
  FUZZ_CHECK(r == 1);
  FUZZ_CHECK(aFamily == CM_AF_INET ? isIPv4(aText.c_str()) : isIPv6(aText.c_str()));
  char text[CM_IP_TEXT_SIZE];
  FUZZ_CHECK(cm_inet_ntop(aFamily, bytes, text, sizeof(text)) == text);
  uint8_t again[16];
  FUZZ_CHECK(cm_inet_pton(aFamily, text, again) == 1);
  FUZZ_CHECK(memcmp(bytes, again, LengthOf(aFamily)) == 0);
  char text2[CM_IP_TEXT_SIZE];
  FUZZ_CHECK(cm_inet_ntop(aFamily, again, text2, sizeof(text2)) == text2 && strcmp(text, text2) == 0);
}

void CheckBytes(int aFamily, const uint8_t* aBytes, int aSmallSize) {
  char text[CM_IP_TEXT_SIZE];
  FUZZ_CHECK(cm_inet_ntop(aFamily, aBytes, text, sizeof(text)) == text);
  uint8_t back[16];
  FUZZ_CHECK(cm_inet_pton(aFamily, text, back) == 1);
  FUZZ_CHECK(memcmp(aBytes, back, LengthOf(aFamily)) == 0);
  char* small = new char[aSmallSize > 0 ? aSmallSize : 1];
  const char* r = cm_inet_ntop(aFamily, aBytes, small, aSmallSize);
  if (strlen(text) < static_cast<size_t>(aSmallSize > 0 ? aSmallSize : 0)) {
    FUZZ_CHECK(r == small && strcmp(small, text) == 0);
  } else {
    FUZZ_CHECK(r == nullptr);
  }
  delete[] small;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  if (aSize < 1) return 0;
  const int family = kFamilies[aData[0] % 5];
  const char* raw = reinterpret_cast<const char*>(aData) + 1;
  CheckText(family, std::string(raw, strnlen(raw, aSize - 1)));
  if (aSize >= 17) {
    const int small = aData[0] / 5 - 3;  // -3 .. 47
    CheckBytes(aData[0] & 1 ? CM_AF_INET6 : CM_AF_INET, aData + 1, small);
  }
  return 0;
}
