// transport_address_parse on any text and output sizes (buffers allocated
// to the exact size): it agrees with a simple model of the split, cuts
// every output to its buffer, and resolves non-numeric hosts only to
// address texts. Lookups run offline, so the fuzzer never waits for DNS.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CmInetAddr.h"
#include "FuzzSupport.h"
#include "platform/CmPlatformNet.h"

namespace {

std::string Cut(const std::string& aText, int aSize) {
  return aText.substr(0, static_cast<size_t>(aSize - 1));
}

uint16_t ModelPort(const std::string& aText) {
  long long v = strtoll(aText.c_str(), nullptr, 10);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(v)) & 0xFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  static const bool s_bOffline = [] {
    cm_platform::SetOfflineLookupForTesting(true);
    return true;
  }();
  (void)s_bOffline;
  if (aSize < 2) return 0;
  const int protoSize = aData[0] % 80;
  const int hostSize = aData[1] % 80;
  const char* raw = reinterpret_cast<const char*>(aData) + 2;
  const std::string text(raw, strnlen(raw, aSize - 2));
  char* proto = new char[protoSize > 0 ? protoSize : 1];
  char* host = new char[hostSize > 0 ? hostSize : 1];
  uint16_t port = 0;
  const bool ok = transport_address_parse(text.c_str(), proto, protoSize, host, hostSize, &port);

  const size_t sep = text.find("://");
  const size_t colon = sep == std::string::npos ? std::string::npos : text.find(':', sep + 3);
  const bool shapeOk = text.size() <= 64 && colon != std::string::npos && colon + 1 < text.size() &&
                       protoSize > 0 && hostSize > 0;
  if (!shapeOk) {
    FUZZ_CHECK(!ok);
  } else {
    const std::string hostPart = text.substr(sep + 3, colon - sep - 3);
    if (is_ip_address(hostPart.c_str())) {
      FUZZ_CHECK(ok);
      FUZZ_CHECK(host == Cut(hostPart, hostSize));
    }
    if (ok) {
      FUZZ_CHECK(proto == Cut(text.substr(0, sep), protoSize));
      FUZZ_CHECK(port == ModelPort(text.substr(colon + 1)));
      FUZZ_CHECK(strlen(host) < static_cast<size_t>(hostSize));
      if (!is_ip_address(hostPart.c_str()) && hostSize >= CM_IP_TEXT_SIZE) FUZZ_CHECK(isIPv4(host) || isIPv6(host));
    }
  }
  delete[] proto;
  delete[] host;
  return 0;
}
