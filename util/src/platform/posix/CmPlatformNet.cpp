// POSIX implementation of the address services of CmPlatformNet.h over
// inet_pton/inet_ntop, gethostname, getaddrinfo and socket.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/CmPlatformNet.h"

namespace cm_platform {

namespace {

constexpr int kEngineIPv4 = 2;
constexpr int kEngineIPv6 = 23;

std::atomic<int> g_nFailAddressToText{0};
std::atomic<int> g_nFailAddressToTextErrno{0};
std::atomic<bool> g_bOfflineLookup{false};
std::mutex g_HostNameMutex;  // guards g_strHostNameOverride and g_bHostNameOverridden
std::string g_strHostNameOverride;
bool g_bHostNameOverridden = false;

int NativeFamily(NetFamily aFamily) { return aFamily == kNetFamilyIPv4 ? AF_INET : AF_INET6; }

// errno of a failed conversion in the engine's socket error numbering.
int SocketErrorOf(int aErrno) {
  switch (aErrno) {
    case ENOSPC:
    case EFAULT:
      return kNetErrFault;
    case EAFNOSUPPORT:
      return kNetErrAfNotSupported;
    case ENOBUFS:
    case ENOMEM:
      return kNetErrNoBuffers;
    default:
      return kNetErrInvalid;
  }
}

bool TakeInjectedFailure(std::atomic<int>& aCounter) {
  int n = aCounter.load();
  while (n > 0) {
    if (aCounter.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

void AppendAnswer(const sockaddr* aAddr, NetFamily aWanted, std::vector<NetAddress>& aOut) {
  NetAddress a;
  if (aAddr->sa_family == AF_INET && aWanted != kNetFamilyIPv6) {
    a.m_Family = kNetFamilyIPv4;
    memcpy(a.m_Bytes, &reinterpret_cast<const sockaddr_in*>(aAddr)->sin_addr, 4);
  } else if (aAddr->sa_family == AF_INET6 && aWanted != kNetFamilyIPv4) {
    a.m_Family = kNetFamilyIPv6;
    memcpy(a.m_Bytes, &reinterpret_cast<const sockaddr_in6*>(aAddr)->sin6_addr, 16);
  } else {
    return;
  }
  aOut.push_back(a);
}

// "localhost" as the offline lookup answers it.
void AppendLoopbacks(NetFamily aWanted, std::vector<NetAddress>& aOut) {
  if (aWanted != kNetFamilyIPv6) {
    NetAddress a;
    a.m_Family = kNetFamilyIPv4;
    const uint8_t v4[4] = {127, 0, 0, 1};
    memcpy(a.m_Bytes, v4, 4);
    aOut.push_back(a);
  }
  if (aWanted != kNetFamilyIPv4) {
    NetAddress a;
    a.m_Family = kNetFamilyIPv6;
    a.m_Bytes[15] = 1;
    aOut.push_back(a);
  }
}

}  // namespace

NetFamily NetFamilyOf(int aFamily) {
  if (aFamily == kEngineIPv4) return kNetFamilyIPv4;
  if (aFamily == kEngineIPv6 || aFamily == AF_INET6) return kNetFamilyIPv6;
  return kNetFamilyNone;
}

bool NetTextToAddress(NetFamily aFamily, const char* aText, uint8_t* aBytes) {
  if (aFamily == kNetFamilyNone || !aText || !aBytes) return false;
  uint8_t parsed[16];
  if (inet_pton(NativeFamily(aFamily), aText, parsed) != 1) return false;
  memcpy(aBytes, parsed, NetAddressLength(aFamily));
  return true;
}

bool NetAddressToText(NetFamily aFamily, const uint8_t* aBytes, char* aBuf, size_t aSize, int& aSocketError) {
  int err = 0;
  if (TakeInjectedFailure(g_nFailAddressToText)) {
    err = g_nFailAddressToTextErrno.load();
  } else if (aFamily == kNetFamilyNone) {
    err = EAFNOSUPPORT;
  } else if (!aBytes || !aBuf || aSize == 0) {
    err = EFAULT;
  } else {
    const socklen_t size = aSize > 4096 ? 4096 : static_cast<socklen_t>(aSize);
    if (inet_ntop(NativeFamily(aFamily), aBytes, aBuf, size)) return true;
    err = errno;
  }
  errno = err;
  aSocketError = SocketErrorOf(err);
  return false;
}

bool NetHostName(std::string& aName) {
  {
    std::lock_guard<std::mutex> lock(g_HostNameMutex);
    if (g_bHostNameOverridden) {
      aName = g_strHostNameOverride;
      return true;
    }
  }
  char buf[256];
  if (gethostname(buf, sizeof(buf)) != 0) return false;
  buf[sizeof(buf) - 1] = '\0';
  aName = buf;
  return true;
}

bool NetLookupHost(const char* aName, NetFamily aWanted, std::vector<NetAddress>& aOut) {
  aOut.clear();
  if (!aName) return false;
  const bool offline = g_bOfflineLookup.load();
  if (offline && strcmp(aName, "localhost") == 0) {
    AppendLoopbacks(aWanted, aOut);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = aWanted == kNetFamilyIPv4 ? AF_INET : aWanted == kNetFamilyIPv6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
  if (offline) hints.ai_flags |= AI_NUMERICHOST;
  addrinfo* result = nullptr;
  if (getaddrinfo(aName, nullptr, &hints, &result) != 0) return false;
  for (const addrinfo* p = result; p; p = p->ai_next) {
    if (p->ai_addr) AppendAnswer(p->ai_addr, aWanted, aOut);
  }
  freeaddrinfo(result);
  return !aOut.empty();
}

bool NetCanOpenDatagramSocket(int aFamily) {
  int family = aFamily;
  if (aFamily == kEngineIPv4) family = AF_INET;
  else if (aFamily == kEngineIPv6) family = AF_INET6;
  const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void FailAddressToTextForTesting(int aCount, int aErrno) {
  g_nFailAddressToTextErrno.store(aErrno);
  g_nFailAddressToText.store(aCount);
}

void SetHostNameForTesting(const char* aName) {
  std::lock_guard<std::mutex> lock(g_HostNameMutex);
  g_bHostNameOverridden = aName != nullptr;
  g_strHostNameOverride = aName ? aName : "";
}

void SetOfflineLookupForTesting(bool aOn) { g_bOfflineLookup.store(aOn); }

}  // namespace cm_platform
