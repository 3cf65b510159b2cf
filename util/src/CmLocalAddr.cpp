// The local address list, its pruning and the primary address, over the
// platform's adapter list and route probe (CmPlatformNetIf.h).
//
// get_local_addr asks the process-wide enumeration function for the
// adapters, so a fabricated adapter list given to SetGetAdaptersAddressesFuc
// flows through exactly the same walk as the system's own.
#include "CmLocalAddr.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "CmClockSource.h"
#include "CmDebug.h"
#include "CmError.h"
#include "CmFuncTracer.h"
#include "CmInetAddr.h"
#include "CmLocalAddrInternal.h"
#include "CmTrace.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformNetIf.h"

using cm_platform::NetAddress;
using cm_platform::NetFamily;

namespace {

constexpr uint32_t kFirstBuffer = 32768;
constexpr int kEnumerationCalls = 5;
constexpr uint32_t kSkipAnycastAndMulticast = CM_ADAPTERS_FLAG_SKIP_ANYCAST | CM_ADAPTERS_FLAG_SKIP_MULTICAST;
constexpr unsigned kTracedCalls = 150;
constexpr uint32_t kFlagUnusable = 8;
constexpr uint32_t kFlagPreferred = 2;
constexpr uint32_t kFlagOrdinary = 1;

std::atomic<cm_get_adapters_addresses_fn> g_pfnEnumerate{&cm_get_adapters_addresses};
std::atomic<bool> g_bDefaultServer{true};
std::atomic<unsigned> g_nTracedCalls{0};

// A probe target as (IPv4 in host order << 16) | port.
constexpr uint64_t Target(uint32_t aIp, uint16_t aPort) { return (static_cast<uint64_t>(aIp) << 16) | aPort; }
std::atomic<uint64_t> g_MediaTarget{Target(0xCB007101u, 5004)};  // 203.0.113.1
std::atomic<uint64_t> g_ResolverTarget{Target(0x08080808u, 53)};

size_t Align8(size_t aSize) { return (aSize + 7) & ~static_cast<size_t>(7); }

int64_t NowSeconds() { return cm_clock::WallMicroseconds() / 1000000; }

// ---- laying the adapter list out in the caller's buffer

size_t NeededSize(const std::vector<cm_platform::NetAdapter>& aAdapters, bool aUnicasts) {
  size_t size = 0;
  for (const cm_platform::NetAdapter& a : aAdapters) {
    size += Align8(sizeof(cm_adapter_addresses));
    if (aUnicasts) size += a.m_Unicasts.size() * Align8(sizeof(cm_adapter_unicast));
  }
  return size;
}

cm_adapter_unicast* LayOutUnicast(const cm_platform::NetUnicast& aFrom, char*& aCursor) {
  cm_adapter_unicast* u = reinterpret_cast<cm_adapter_unicast*>(aCursor);
  aCursor += Align8(sizeof(cm_adapter_unicast));
  memset(u, 0, sizeof(*u));
  u->address_len = cm_platform::NetMakeSockaddr(aFrom.m_Address, aFrom.m_dwScope, 0, &u->address);
  u->prefix_length = aFrom.m_byPrefixLength;
  u->dad_state = aFrom.m_DadState;
  u->preferred_lifetime = aFrom.m_dwPreferredLifetime;
  u->valid_lifetime = aFrom.m_dwValidLifetime;
  u->flags = (aFrom.m_bTemporary ? static_cast<uint32_t>(CM_UNICAST_TEMPORARY) : 0u) |
             (aFrom.m_bDeprecated ? static_cast<uint32_t>(CM_UNICAST_DEPRECATED) : 0u);
  return u;
}

void LayOut(const std::vector<cm_platform::NetAdapter>& aAdapters, bool aUnicasts, cm_adapter_addresses* aBuffer) {
  char* cursor = reinterpret_cast<char*>(aBuffer);
  cm_adapter_addresses* previous = nullptr;
  for (const cm_platform::NetAdapter& from : aAdapters) {
    cm_adapter_addresses* a = reinterpret_cast<cm_adapter_addresses*>(cursor);
    cursor += Align8(sizeof(cm_adapter_addresses));
    memset(a, 0, sizeof(*a));
    snprintf(a->name, sizeof(a->name), "%s", from.m_strName.c_str());
    a->if_index = from.m_dwIndex;
    a->if_type = from.m_Type;
    a->oper_status = from.m_OperState;
    cm_adapter_unicast** link = &a->first_unicast;
    for (size_t i = 0; aUnicasts && i < from.m_Unicasts.size(); ++i) {
      *link = LayOutUnicast(from.m_Unicasts[i], cursor);
      link = &(*link)->next;
    }
    if (previous) previous->next = a;
    previous = a;
  }
}

// ---- address helpers

bool SamePrefix(const uint8_t* aAddress, const uint8_t* aPrefix, const uint8_t* aMask, size_t aLength) {
  for (size_t i = 0; i < aLength; ++i) {
    if ((aAddress[i] & aMask[i]) != (aPrefix[i] & aMask[i])) return false;
  }
  return true;
}

// A prefix of the pruning rules, parsed once.
struct Prefix {
  uint8_t m_Prefix[16];
  uint8_t m_Mask[16];
  Prefix(int aFamily, const char* aPrefix, const char* aMask) {
    memset(m_Prefix, 0, sizeof(m_Prefix));
    memset(m_Mask, 0, sizeof(m_Mask));
    cm_inet_pton(aFamily, aPrefix, m_Prefix);
    cm_inet_pton(aFamily, aMask, m_Mask);
  }
  bool Holds(const NetAddress& aAddress) const {
    return SamePrefix(aAddress.m_Bytes, m_Prefix, m_Mask, cm_platform::NetAddressLength(aAddress.m_Family));
  }
};

struct PrunePrefixes {
  Prefix global{CM_AF_INET6, "2000::", "e000::"};
  Prefix documentation{CM_AF_INET6, "2001:db8::", "ffff:ffff::"};
  Prefix documentation2{CM_AF_INET6, "3fff::", "ffff:f000::"};
  Prefix uniqueLocal{CM_AF_INET6, "fc00::", "fe00::"};
  Prefix linkLocal{CM_AF_INET6, "fe80::", "ffc0::"};
  Prefix loopback{CM_AF_INET, "127.0.0.0", "255.0.0.0"};
  Prefix xlat{CM_AF_INET, "192.0.0.0", "255.255.255.248"};
};

const PrunePrefixes& Prefixes() {
  static const PrunePrefixes s_Prefixes;
  return s_Prefixes;
}

bool IsSkippedByEnumeration(const NetAddress& aAddress) {
  const uint8_t* b = aAddress.m_Bytes;
  if (aAddress.m_Family == cm_platform::kNetFamilyIPv4) return b[0] == 127 || (b[0] == 169 && b[1] == 254);
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(b, kLoopback6, 16) == 0 || Prefixes().linkLocal.Holds(aAddress);
}

void DottedText(const uint8_t* aBytes, char* aText, size_t aSize) {
  snprintf(aText, aSize, "%u.%u.%u.%u", aBytes[0], aBytes[1], aBytes[2], aBytes[3]);
}

NetAddress TargetAddress(uint64_t aTarget) {
  NetAddress a;
  a.m_Family = cm_platform::kNetFamilyIPv4;
  const uint32_t ip = static_cast<uint32_t>(aTarget >> 16);
  a.m_Bytes[0] = static_cast<uint8_t>(ip >> 24);
  a.m_Bytes[1] = static_cast<uint8_t>(ip >> 16);
  a.m_Bytes[2] = static_cast<uint8_t>(ip >> 8);
  a.m_Bytes[3] = static_cast<uint8_t>(ip);
  return a;
}

// Opens the probe socket and traces the target; -1 (traced) when no socket.
int OpenProbe(NetAddress& aTarget, uint16_t& aPort) {
  int error = 0;
  const int socket = cm_platform::NetProbeOpen(error);
  if (socket < 0) {
    CM_ERROR_TRACE("getPrimaryIp, socket failed");
    return -1;
  }
  const uint64_t target = g_bDefaultServer.load() ? g_MediaTarget.load() : g_ResolverTarget.load();
  aTarget = TargetAddress(target);
  aPort = static_cast<uint16_t>(target & 0xFFFF);
  char text[CM_IP_TEXT_SIZE];
  DottedText(aTarget.m_Bytes, text, sizeof(text));
  CM_DEBUG_TRACE("getPrimaryIp, detectIP=" << text);
  return socket;
}

// ---- get_local_addr

local_addr* NewElement(const cm_sockaddr_storage& aAddr, uint32_t aLength, const char* aName, int64_t aExpire) {
  local_addr* e = static_cast<local_addr*>(calloc(1, sizeof(local_addr)));
  if (!e) return nullptr;
  memcpy(&e->addr, &aAddr, sizeof(aAddr));
  e->addr_len = aLength;
  if (aName) snprintf(e->ifname, sizeof(e->ifname), "%s", aName);
  e->expire = aExpire;
  return e;
}

// The list being built: the head and the last element's link.
struct ListBuilder {
  local_addr* m_pHead = nullptr;
  local_addr** m_ppTail = &m_pHead;
  void Append(local_addr* aElement) {
    *m_ppTail = aElement;
    m_ppTail = &aElement->next;
  }
  void Prepend(local_addr* aElement) {
    aElement->next = m_pHead;
    if (!m_pHead) m_ppTail = &aElement->next;
    m_pHead = aElement;
  }
};

void TraceAddress(const NetAddress& aAddress, bool aKnown, const cm_adapter_unicast& aUnicast, int64_t aNow) {
  if (!CmTraceIsEnabled(CM_TRACE_LEVEL_INFO)) return;
  char text[CM_IP_TEXT_SIZE] = "";
  if (aKnown) {
    cm_inet_ntop(aAddress.m_Family == cm_platform::kNetFamilyIPv4 ? CM_AF_INET : CM_AF_INET6, aAddress.m_Bytes, text,
                 sizeof(text));
  }
  CM_INFO_TRACE("get_local_addr, addr=" << text << ", ifname=**********, lifetime=" << aUnicast.preferred_lifetime
                                        << ", state=" << aUnicast.dad_state << ", now=" << aNow);
}

// Adds one enumerated address to the list, or skips it.
void TakeAddress(const cm_adapter_unicast& aUnicast, const char* aName, const NetAddress* aPrimary, int64_t aNow,
                 ListBuilder& aList) {
  NetAddress address;
  bool known = false;
  cm_platform::NetReadSockaddr(&aUnicast.address, address, known);
  if (aUnicast.dad_state != CM_DAD_PREFERRED) return;
  if (!known) {
    TraceAddress(address, false, aUnicast, aNow);
    return;
  }
  if (IsSkippedByEnumeration(address)) return;
  const bool v6 = address.m_Family == cm_platform::kNetFamilyIPv6;
  const int64_t expire = v6 ? aNow + static_cast<int64_t>(aUnicast.preferred_lifetime) : 0;
  local_addr* e = NewElement(aUnicast.address, v6 ? 28 : 16, aName, expire);
  if (!e) return;
  TraceAddress(address, true, aUnicast, aNow);
  if (!v6 && aPrimary && memcmp(address.m_Bytes, aPrimary->m_Bytes, 4) == 0) aList.Prepend(e);
  else aList.Append(e);
}

// Calls the enumeration function as the retry rule says; the buffer it
// filled (to be freed) or null with aCode telling why.
cm_adapter_addresses* Enumerate(uint32_t& aCode, bool& aAllocationFailed) {
  const cm_get_adapters_addresses_fn enumerate = g_pfnEnumerate.load();
  uint32_t size = kFirstBuffer;
  aAllocationFailed = false;
  for (int call = 0; call < kEnumerationCalls; ++call) {
    void* buffer = cm_platform::NetTakeFault(cm_platform::kNetFaultAdapterBuffer) ? nullptr : malloc(size ? size : 1);
    if (!buffer) {
      aAllocationFailed = true;
      return nullptr;
    }
    aCode = enumerate(CM_ADAPTERS_FAMILY_UNSPEC, kSkipAnycastAndMulticast, nullptr,
                      static_cast<cm_adapter_addresses*>(buffer), &size);
    if (aCode == CM_ADAPTERS_SUCCESS) return static_cast<cm_adapter_addresses*>(buffer);
    free(buffer);
    if (aCode != CM_ADAPTERS_BUFFER_OVERFLOW) return nullptr;
    CM_WARNING_TRACE("get_local_addr, buffer overflow, needed buffer=" << size);
  }
  return nullptr;
}

// ---- prune_local_addr

struct PruneEntry {
  local_addr* m_pElement;
  char m_szText[CM_IP_TEXT_SIZE];
};

struct PruneLists {
  std::vector<PruneEntry*> m_Keep;
  std::vector<PruneEntry*> m_Xlat;
  std::vector<PruneEntry*> m_Delete;
  bool m_bIPv6Survives = false;
};

#define CM_PRUNE_TRACE(what, entry)                                                                   \
  CM_DEBUG_TRACE("prune_local_addr, keep " what " IPv6 Address= " << (entry).m_pElement->ifname << "," \
                                                                     << (entry).m_szText << ", expire="  \
                                                                     << (entry).m_pElement->expire << ", flag=" \
                                                                     << (entry).m_pElement->flag)

// Sorts an IPv6 candidate against the kept IPv6 addresses of its interface.
void PlaceCandidate(PruneEntry& aCandidate, PruneLists& aLists) {
  const local_addr& c = *aCandidate.m_pElement;
  for (PruneEntry*& kept : aLists.m_Keep) {
    const local_addr& k = *kept->m_pElement;
    NetAddress ka;
    bool known = false;
    cm_platform::NetReadSockaddr(&k.addr, ka, known);
    if (!known || ka.m_Family != cm_platform::kNetFamilyIPv6 || strcmp(k.ifname, c.ifname) != 0) continue;
    if ((c.flag == kFlagPreferred && k.flag == kFlagOrdinary) || (c.flag == k.flag && c.expire < k.expire)) {
      aLists.m_Delete.push_back(kept);
      kept = &aCandidate;
      return;
    }
    if ((c.flag == kFlagOrdinary && k.flag == kFlagPreferred) || (c.flag == k.flag && c.expire >= k.expire)) {
      aLists.m_Delete.push_back(&aCandidate);
      return;
    }
  }
  aLists.m_Keep.push_back(&aCandidate);
  aLists.m_bIPv6Survives = true;
}

void SortIPv6(PruneEntry& aEntry, const NetAddress& aAddress, const bool* aOptions, int64_t aNow, PruneLists& aLists) {
  const local_addr& e = *aEntry.m_pElement;
  if (!cm_inet_ntop(CM_AF_INET6, aAddress.m_Bytes, aEntry.m_szText, sizeof(aEntry.m_szText))) {
    aEntry.m_szText[0] = '\0';
    CM_ERROR_TRACE("prune_local_addr, inet_ntop failed, errno=" << errno);
    aLists.m_Delete.push_back(&aEntry);
    return;
  }
  if (e.flag == kFlagUnusable || e.expire <= aNow) {
    aLists.m_Delete.push_back(&aEntry);
    return;
  }
  const PrunePrefixes& p = Prefixes();
  if (p.global.Holds(aAddress) && !p.documentation.Holds(aAddress) && !p.documentation2.Holds(aAddress)) {
    CM_PRUNE_TRACE("global unicast", aEntry);
  } else if (aOptions[0] && p.linkLocal.Holds(aAddress)) {
    CM_PRUNE_TRACE("link local", aEntry);
  } else if (aOptions[1] && p.uniqueLocal.Holds(aAddress)) {
    CM_PRUNE_TRACE("unique local", aEntry);
  } else {
    aLists.m_Delete.push_back(&aEntry);
    return;
  }
  PlaceCandidate(aEntry, aLists);
}

void SortIPv4(PruneEntry& aEntry, const NetAddress& aAddress, PruneLists& aLists) {
  const local_addr& e = *aEntry.m_pElement;
  if (!cm_inet_ntop(CM_AF_INET, aAddress.m_Bytes, aEntry.m_szText, sizeof(aEntry.m_szText))) {
    aEntry.m_szText[0] = '\0';
    CM_ERROR_TRACE("prune_local_addr, inet_ntop failed, error=" << errno);
    aLists.m_Delete.push_back(&aEntry);
    return;
  }
  if (Prefixes().xlat.Holds(aAddress)) {
    CM_DEBUG_TRACE("prune_local_addr, keep XLAT464 Reserved IPv4 Address= " << e.ifname << "," << aEntry.m_szText
                                                                            << ", expire=" << e.expire);
    aLists.m_Xlat.push_back(&aEntry);
  } else if (Prefixes().loopback.Holds(aAddress)) {
    CM_DEBUG_TRACE("prune_local_addr, delete loopback IPv4 Address= " << e.ifname << "," << aEntry.m_szText
                                                                      << ", expire=" << e.expire);
    aLists.m_Delete.push_back(&aEntry);
  } else {
    aLists.m_Keep.push_back(&aEntry);
  }
}

void Drop(const PruneEntry& aEntry) {
  const local_addr* e = aEntry.m_pElement;
  CM_INFO_TRACE("prune_local_addr, IP Address= " << e->ifname << "," << aEntry.m_szText << ", expire=" << e->expire
                                                 << ", flag=" << e->flag);
  free(aEntry.m_pElement);
}

bool ParseThree(int aFamily, const std::string& aAddress, const std::string& aPrefix, const std::string& aMask,
                uint8_t (&aBytes)[3][16]) {
  return cm_inet_pton(aFamily, aAddress.c_str(), aBytes[0]) == 1 && cm_inet_pton(aFamily, aPrefix.c_str(), aBytes[1]) == 1 &&
         cm_inet_pton(aFamily, aMask.c_str(), aBytes[2]) == 1;
}

}  // namespace

// ---- the enumeration

uint32_t cm_get_adapters_addresses(uint32_t aFamily, uint32_t aFlags, void* /*aReserved*/, cm_adapter_addresses* aAdapters,
                                   uint32_t* aSize) {
  const NetFamily family = cm_platform::NetFamilyOf(static_cast<int>(aFamily));
  if (!aSize || (aFamily != CM_ADAPTERS_FAMILY_UNSPEC && family == cm_platform::kNetFamilyNone)) {
    return CM_ADAPTERS_INVALID_PARAMETER;
  }
  std::vector<cm_platform::NetAdapter> adapters;
  if (cm_platform::NetEnumerateAdapters(family, adapters) != cm_platform::kEnumOk) return CM_ADAPTERS_GEN_FAILURE;
  if (adapters.empty()) return CM_ADAPTERS_NO_DATA;
  const bool unicasts = (aFlags & CM_ADAPTERS_FLAG_SKIP_UNICAST) == 0;
  const size_t needed = NeededSize(adapters, unicasts);
  if (!aAdapters || *aSize < needed) {
    *aSize = static_cast<uint32_t>(needed);
    return CM_ADAPTERS_BUFFER_OVERFLOW;
  }
  LayOut(adapters, unicasts, aAdapters);
  return CM_ADAPTERS_SUCCESS;
}

void SetGetAdaptersAddressesFuc(cm_get_adapters_addresses_fn aFunc) {
  CM_ASSERTE_RETURN_VOID(aFunc != nullptr);
  const cm_get_adapters_addresses_fn old = g_pfnEnumerate.load();
  CM_INFO_TRACE("SetGetAdaptersAddressesFuc, fn=" << reinterpret_cast<const void*>(aFunc)
                                                  << ", old=" << reinterpret_cast<const void*>(old));
  g_pfnEnumerate.store(aFunc);
}

cm_get_adapters_addresses_fn GetGetAdaptersAddressesFuc(void) { return g_pfnEnumerate.load(); }

// ---- the primary address

int32_t getPrimaryIp(struct sockaddr_in* aAddr, std::string* aText) {
  CM_ASSERTE_RETURN(aText != nullptr, -1);
  NetAddress target;
  uint16_t port = 0;
  const int socket = OpenProbe(target, port);
  if (socket < 0) return -1;
  cm_sockaddr_storage local;
  int error = 0;
  const cm_platform::NetProbeStep step = cm_platform::NetProbeConnect(socket, target, port, &local, error);
  if (step != cm_platform::kProbeOk) {
    if (step == cm_platform::kProbeConnect) CM_ERROR_TRACE("getPrimaryIp, connect failed, errno=" << error);
    else CM_ERROR_TRACE("getPrimaryIp, getsockname failed");
    cm_platform::NetProbeClose(socket);
    return -1;
  }
  NetAddress address;
  bool known = false;
  cm_platform::NetReadSockaddr(&local, address, known);
  char text[CM_IP_TEXT_SIZE];
  if (!cm_inet_ntop(CM_AF_INET, address.m_Bytes, text, sizeof(text))) {
    CM_ERROR_TRACE("getPrimaryIp, inet_ntop failed, error=" << errno);
    cm_platform::NetProbeClose(socket);
    return -1;
  }
  *aText = text;
  CM_INFO_TRACE("getPrimaryIp is: " << text);
  cm_platform::NetProbeClose(socket);
  if (aAddr) memcpy(static_cast<void*>(aAddr), &local, 16);
  return 0;
}

std::string getPrimaryIpStr() {
  NetAddress target;
  uint16_t port = 0;
  const int socket = OpenProbe(target, port);
  if (socket < 0) return std::string();
  cm_sockaddr_storage local;
  int error = 0;
  const cm_platform::NetProbeStep step = cm_platform::NetProbeConnect(socket, target, port, &local, error);
  cm_platform::NetProbeClose(socket);
  if (step != cm_platform::kProbeOk) {
    if (step == cm_platform::kProbeConnect) CM_ERROR_TRACE("getPrimaryIpStr, connect failed");
    else CM_ERROR_TRACE("getPrimaryIpStr, getsockname failed");
    return std::string();
  }
  NetAddress address;
  bool known = false;
  cm_platform::NetReadSockaddr(&local, address, known);
  char text[CM_IP_TEXT_SIZE];
  DottedText(address.m_Bytes, text, sizeof(text));
  return text;
}

void EnableDefaultServer4PrimaryIp(bool aValue) {
  CM_INFO_TRACE("EnableDefaultServer4PrimaryIp, value=" << (aValue ? 1 : 0));
  g_bDefaultServer.store(aValue);
}

void disable_detect_manual_ipv6(bool /*aValue*/) {}

int32_t SetPrimaryIpProbeTarget(bool aDefaultServer, const char* aIPv4, uint16_t aPort) {
  uint8_t b[4];
  if (cm_inet_pton(CM_AF_INET, aIPv4, b) != 1) {
    CM_ERROR_TRACE("SetPrimaryIpProbeTarget, not an IPv4 address: " << aIPv4);
    return ZAR_E_INVALIDARG;
  }
  const uint32_t ip = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                      (static_cast<uint32_t>(b[2]) << 8) | b[3];
  (aDefaultServer ? g_MediaTarget : g_ResolverTarget).store(Target(ip, aPort));
  CM_INFO_TRACE("SetPrimaryIpProbeTarget, server=" << (aDefaultServer ? 1 : 0) << ", target=" << aIPv4 << ":" << aPort);
  return ZAR_S_OK;
}

// ---- the list

int32_t get_local_addr(local_addr** aList) {
  local_addr** res = aList;
  CM_ASSERTE_RETURN(res != nullptr, ZAR_E_INVALIDARG);
  const bool traced = g_nTracedCalls.load() < kTracedCalls && g_nTracedCalls.fetch_add(1) < kTracedCalls;
  CCmUtilFuncTracer tracer(traced, false, nullptr, "get_local_addr", "");
  cm_sockaddr_storage primaryStorage{};
  std::string primaryText;
  const int32_t errPrim = getPrimaryIp(reinterpret_cast<sockaddr_in*>(&primaryStorage), &primaryText);
  *res = nullptr;
  uint32_t code = 0;
  bool allocationFailed = false;
  cm_adapter_addresses* adapters = Enumerate(code, allocationFailed);
  if (allocationFailed) {
    CM_ERROR_TRACE("get_local_addr, Memory allocation failed for IP_ADAPTER_ADDRESSES struct");
    return -1;
  }
  if (!adapters) {
    CM_ERROR_TRACE("get_local_addr, ERROR on GetAdaptersAddresses, code=" << code << ", errPrim=" << errPrim);
    if (errPrim == 0) *res = NewElement(primaryStorage, 16, nullptr, 0);
    return -1;
  }
  NetAddress primary;
  bool known = false;
  cm_platform::NetReadSockaddr(&primaryStorage, primary, known);
  const int64_t now = NowSeconds();
  ListBuilder list;
  for (const cm_adapter_addresses* a = adapters; a; a = a->next) {
    char name[sizeof(a->name)];
    snprintf(name, sizeof(name), "%.*s", static_cast<int>(sizeof(a->name) - 1), a->name);
    for (const cm_adapter_unicast* u = a->first_unicast; u; u = u->next) {
      TakeAddress(*u, name, errPrim == 0 ? &primary : nullptr, now, list);
    }
  }
  free(adapters);
  *res = list.m_pHead;
  return list.m_pHead ? 0 : -1;
}

void free_local_addr(local_addr* aList) {
  while (aList) {
    local_addr* next = aList->next;
    free(aList);
    aList = next;
  }
}

void prune_local_addr(local_addr** aList, const bool* aOptions, bool* aXlatRemoved) {
  static const bool kAllTrue[3] = {true, true, true};
  const bool* options = aOptions ? aOptions : kAllTrue;
  if (aXlatRemoved) *aXlatRemoved = false;
  if (!aList || !*aList) return;
  const int64_t now = NowSeconds();
  std::vector<PruneEntry> entries;
  for (local_addr* e = *aList; e; e = e->next) entries.push_back(PruneEntry{e, {}});
  PruneLists lists;
  for (PruneEntry& entry : entries) {
    NetAddress address;
    bool known = false;
    cm_platform::NetReadSockaddr(&entry.m_pElement->addr, address, known);
    if (known && address.m_Family == cm_platform::kNetFamilyIPv6) SortIPv6(entry, address, options, now, lists);
    else SortIPv4(entry, address, lists);
  }
  if (options[2] || !lists.m_bIPv6Survives) {
    lists.m_Keep.insert(lists.m_Keep.end(), lists.m_Xlat.begin(), lists.m_Xlat.end());
  } else if (!lists.m_Xlat.empty()) {
    lists.m_Delete.insert(lists.m_Delete.end(), lists.m_Xlat.begin(), lists.m_Xlat.end());
    if (aXlatRemoved) *aXlatRemoved = true;
  }
  local_addr** link = aList;
  for (PruneEntry* kept : lists.m_Keep) {
    *link = kept->m_pElement;
    link = &kept->m_pElement->next;
  }
  *link = nullptr;
  for (const PruneEntry* dropped : lists.m_Delete) Drop(*dropped);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature
bool isSamePrefixIPv6(std::string aAddress, std::string aPrefix, std::string aMask) {
  uint8_t bytes[3][16];
  if (!ParseThree(CM_AF_INET6, aAddress, aPrefix, aMask, bytes)) {
    CM_DEBUG_TRACE("isSamePrefixIPv6, Invalid IPv6 address or mask, ip1 = " << aAddress.c_str() << ", ip2 = "
                                                                            << aPrefix.c_str() << ", mask = " << aMask.c_str());
    return false;
  }
  return SamePrefix(bytes[0], bytes[1], bytes[2], 16);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature
bool isSamePrefixIPv4(std::string aAddress, std::string aPrefix, std::string aMask) {
  uint8_t bytes[3][16];
  if (!ParseThree(CM_AF_INET, aAddress, aPrefix, aMask, bytes)) {
    CM_DEBUG_TRACE("isSamePrefixIPv4, Invalid IPv4 address or mask, ip1 = " << aAddress.c_str() << ", ip2 = "
                                                                            << aPrefix.c_str() << ", mask = " << aMask.c_str());
    return false;
  }
  return SamePrefix(bytes[0], bytes[1], bytes[2], 4);
}

void CmLocalAddrResetTracedCallsForTesting() { g_nTracedCalls.store(0); }
