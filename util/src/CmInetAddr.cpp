// Address text utilities over the platform's socket layer (CmPlatformNet.h).
// Every text taken here may come from the network or a configuration file:
// lengths are bounded before copying, numbers are read without overflow,
// and each output is written only within the size its caller gave.
#include "CmInetAddr.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "CmDebug.h"
#include "CmInetAddrInternal.h"
#include "CmTrace.h"
#include "CmUriText.h"
#include "platform/CmPlatformNet.h"

using cm_platform::NetAddress;
using cm_platform::NetFamily;

namespace {

constexpr uint32_t kUntested = 0xFFFFFFFFu;
constexpr size_t kMaxTransportText = 64;

// get_local_ip's answer: written once under g_LocalIpMutex, then only read
// (g_bLocalIpFound publishes it).
std::mutex g_LocalIpMutex;
std::atomic<bool> g_bLocalIpFound{false};
char g_szLocalIp[64];

// Copies at most aSize - 1 bytes of aText and a NUL.
void CopyCut(const std::string& aText, char* aDst, int aSize) {
  const size_t n = aText.size() < static_cast<size_t>(aSize - 1) ? aText.size() : static_cast<size_t>(aSize - 1);
  memcpy(aDst, aText.data(), n);
  aDst[n] = '\0';
}

// Reads the next decimal number of a dotted text and steps past its dot.
uint32_t NextDottedNumber(const char*& aText) {
  uint32_t value = 0;
  while (cm_uri_text::IsAsciiDigit(*aText)) value = value * 10u + static_cast<uint32_t>(*aText++ - '0');
  if (*aText == '.') ++aText;
  return value;
}

int CheckFamily(std::atomic<uint32_t>& aState, int aFamily) {
  uint32_t state = aState.load();
  if (state == kUntested) {
    state = cm_platform::NetCanOpenDatagramSocket(aFamily) ? 1u : 0u;
    aState.store(state);
  }
  return static_cast<int>(state);
}

}  // namespace

int cm_inet_pton(int aFamily, const char* aSrc, void* aDst) {
  const NetFamily family = cm_platform::NetFamilyOf(aFamily);
  if (family == cm_platform::kNetFamilyNone || !aSrc || !aDst) return 0;
  return cm_platform::NetTextToAddress(family, aSrc, static_cast<uint8_t*>(aDst)) ? 1 : 0;
}

const char* cm_inet_ntop(int aFamily, const void* src, char* dst, int size) {
  const NetFamily family = cm_platform::NetFamilyOf(aFamily);
  if (family == cm_platform::kNetFamilyNone || !src || !dst) return nullptr;
  CM_ASSERTE_RETURN(size > 0, nullptr);
  char text[CM_IP_TEXT_SIZE];
  int socketError = 0;
  if (!cm_platform::NetAddressToText(family, static_cast<const uint8_t*>(src), text, sizeof(text), socketError)) {
    const int savedErrno = errno;  // tracing must not change what the caller reads
    CM_ERROR_TRACE("cm_inet_ntop, WSAAddressToStringW failed, error code: " << convertWSAErr2Str(socketError));
    errno = savedErrno;
    return nullptr;
  }
  const std::string_view sDst(text);
  CM_ASSERTE_RETURN(sDst.length() < (size_t)size, nullptr);
  memcpy(dst, text, sDst.length() + 1);
  return dst;
}

const char* convertWSAErr2Str(int aErrorCode) {
  switch (aErrorCode) {
    case 10014:
      return "WSAEFAULT";
    case 10022:
      return "WSAEINVAL";
    case 10055:
      return "WSAENOBUFS";
    case 10093:
      return "WSANOTINITIALISED";
    default:
      return "UNKNOWN ERROR";
  }
}

bool isIPv4(const char* aText) {
  uint8_t bytes[4];
  return cm_inet_pton(CM_AF_INET, aText, bytes) == 1;
}

bool isIPv6(const char* aText) {
  uint8_t bytes[16];
  return cm_inet_pton(CM_AF_INET6, aText, bytes) == 1;
}

bool is_ip_address(const char* aText) {
  if (!aText) {
    CM_ERROR_TRACE("is_ip_address: ip string is null");
    return false;
  }
  for (const char* p = aText; *p; ++p) {
    if (!cm_uri_text::IsAsciiDigit(*p) && *p != '.' && *p != '(' && *p != '\t') return false;
  }
  return true;
}

uint32_t ip_2_id(const char* aText) {
  char resolved[CM_IP_TEXT_SIZE] = "";
  const char* text = aText;
  if (!is_ip_address(aText)) {
    resolve_2_ip(aText, resolved);
    text = resolved;
  }
  if (!text || !*text) return 0;
  const uint32_t a = NextDottedNumber(text);
  const uint32_t b = NextDottedNumber(text);
  const uint32_t c = NextDottedNumber(text);
  const uint32_t d = NextDottedNumber(text);
  return (a << 24) + (b << 16) + (c << 8) + d;
}

const char* id_2_ip(uint32_t aId) {
  static thread_local char s_szIp[64];
  snprintf(s_szIp, sizeof(s_szIp), "%d.%d.%d.%d", static_cast<int>((aId >> 24) & 0xFF),
           static_cast<int>((aId >> 16) & 0xFF), static_cast<int>((aId >> 8) & 0xFF), static_cast<int>(aId & 0xFF));
  return s_szIp;
}

void resolve_2_ip(const char* aHostName, char* aDst) {
  if (!aHostName || !aDst) {
    // The destination holds CM_IP_TEXT_SIZE bytes: its text is read no further.
    const CCmString dst = aDst ? CCmString(aDst, strnlen(aDst, CM_IP_TEXT_SIZE - 1)) : CCmString();
    CM_ERROR_TRACE("resolve_2_ip: No host_name: " << aHostName << "; or ip_address: " << dst << "; given");
    return;
  }
  // IPv4 only: ip_2_id and transport_address_parse read the answer as
  // dotted numbers.
  std::vector<NetAddress> answers;
  if (!cm_platform::NetLookupHost(aHostName, cm_platform::kNetFamilyIPv4, answers)) {
    CM_ERROR_TRACE("resolve_2_ip: can't resolve host_name: " << aHostName);
    return;
  }
  cm_inet_ntop(CM_AF_INET, answers.front().m_Bytes, aDst, 22);
}

bool transport_address_parse(const char* aText, char* aProto, int aProtoSize, char* aHost, int aHostSize,
                             uint16_t* aPort) {
  CM_ASSERTE_RETURN(aText && aProto && aHost && aPort, false);
  CM_ASSERTE_RETURN(aProtoSize > 0 && aHostSize > 0, false);
  const size_t length = strnlen(aText, kMaxTransportText + 1);
  if (length > kMaxTransportText) return false;
  const std::string text(aText, length);
  const size_t sep = text.find("://");
  if (sep == std::string::npos) return false;
  const size_t colon = text.find(':', sep + 3);
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  std::string host = text.substr(sep + 3, colon - sep - 3);
  if (!is_ip_address(host.c_str())) {
    char resolved[CM_IP_TEXT_SIZE] = "";
    resolve_2_ip(host.c_str(), resolved);
    if (!*resolved) return false;
    host = resolved;
  }
  const int32_t port = cm_uri_text::AtoiSaturating(text.data() + colon + 1, text.size() - colon - 1);
  CopyCut(text.substr(0, sep), aProto, aProtoSize);
  CopyCut(host, aHost, aHostSize);
  *aPort = static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
  return true;
}

const char* get_local_ip(void) {
  if (g_bLocalIpFound.load(std::memory_order_acquire)) return g_szLocalIp;
  std::lock_guard<std::mutex> lock(g_LocalIpMutex);
  if (g_bLocalIpFound.load(std::memory_order_relaxed)) return g_szLocalIp;
  std::string name;
  std::vector<NetAddress> answers;
  const NetAddress* host = nullptr;
  if (cm_platform::NetHostName(name) && cm_platform::NetLookupHost(name.c_str(), cm_platform::kNetFamilyIPv4, answers)) {
    host = &answers.front();
  }
  CM_ASSERTE_RETURN(host, nullptr);
  snprintf(g_szLocalIp, sizeof(g_szLocalIp), "%u.%u.%u.%u", host->m_Bytes[0], host->m_Bytes[1], host->m_Bytes[2],
           host->m_Bytes[3]);
  g_bLocalIpFound.store(true, std::memory_order_release);
  return g_szLocalIp;
}

int ipv4_enabled(void) {
  static std::atomic<uint32_t> s_nState{kUntested};
  return CheckFamily(s_nState, CM_AF_INET);
}

int ipv6_enabled(void) {
  static std::atomic<uint32_t> s_nState{kUntested};
  return CheckFamily(s_nState, CM_AF_INET6);
}

int ip_check(uint32_t* aState, int aFamily) {
  CM_ASSERTE_RETURN(aState, 0);
  if (*aState == kUntested) *aState = cm_platform::NetCanOpenDatagramSocket(aFamily) ? 1u : 0u;
  return static_cast<int>(*aState);
}

bool isPureIp6(void) {
  std::string name;
  std::vector<NetAddress> answers;
  if (!cm_platform::NetHostName(name) || !cm_platform::NetLookupHost(name.c_str(), cm_platform::kNetFamilyNone, answers)) {
    return false;
  }
  bool realIPv4 = false;
  bool realIPv6 = false;
  for (const NetAddress& a : answers) {
    char text[CM_IP_TEXT_SIZE];
    int socketError = 0;
    if (!cm_platform::NetAddressToText(a.m_Family, a.m_Bytes, text, sizeof(text), socketError)) continue;
    if (a.m_Family == cm_platform::kNetFamilyIPv4) {
      if (strncmp(text, "169.254.", 8) != 0 && strncmp(text, "127.0.0.1", 9) != 0) realIPv4 = true;
    } else if (strncmp(text, "fe80:", 5) != 0 && strncmp(text, "::1", 3) != 0) {
      realIPv6 = true;
    }
  }
  return realIPv6 && !realIPv4;
}

void CmInetResetLocalIpCacheForTesting() {
  std::lock_guard<std::mutex> lock(g_LocalIpMutex);
  g_bLocalIpFound.store(false);
}
