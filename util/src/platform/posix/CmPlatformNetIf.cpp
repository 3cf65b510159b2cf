// Linux implementation of the adapter list and the route probe of
// CmPlatformNetIf.h.
//
// The adapter list is read with two rtnetlink dumps on one routing socket:
// RTM_GETLINK for the adapters (index, name, hardware type, operational
// state) and RTM_GETADDR for their addresses (prefix, IFA_F_* flags, the
// lifetimes of IFA_CACHEINFO). A dump the kernel interrupted because the
// tables changed (NLM_F_DUMP_INTR) is read again. When the routing socket
// cannot be used at all, getifaddrs answers instead; it knows no detection
// state or lifetimes, so its addresses count as preferred and permanent.
// <net/if.h> before the kernel's headers, which then leave its names alone.
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/if.h>
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>

#include "platform/CmPlatformNetIf.h"

#ifndef ARPHRD_IP6GRE
#define ARPHRD_IP6GRE 823  // GRE over IPv6, missing from the C library's list
#endif

namespace cm_platform {

namespace {

static_assert(sizeof(sockaddr_storage) == kNetSockaddrStorage, "socket address storage is 128 bytes");
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28, "socket address lengths");

constexpr int kDumpAttempts = 3;  // reads of a dump the kernel keeps interrupting
constexpr size_t kReceiveBuffer = 32768;

struct Fault {
  std::atomic<int> m_nCount{0};
  std::atomic<int> m_nErrno{0};
};
Fault g_Faults[kNetFaultCount];

// ---- rtnetlink

// A NETLINK_ROUTE socket that sends one dump request at a time and hands
// each answer message to a callback.
class RouteSocket {
 public:
  ~RouteSocket() {
    if (m_nFd >= 0) close(m_nFd);
  }
  bool Open() {
    m_nFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    return m_nFd >= 0;
  }

  // Dumps aType for aFamily. aOnMessage returns false to reject the answer.
  // False (errno set) when the dump failed; aInterrupted tells that the
  // kernel's tables changed while it was read.
  template <typename OnMessage>
  bool Dump(uint16_t aType, uint8_t aFamily, bool& aInterrupted, OnMessage aOnMessage) {
    aInterrupted = false;
    struct {
      nlmsghdr header;
      union {
        ifinfomsg link;
        ifaddrmsg address;
      } body;
    } request{};
    const size_t bodyLength = aType == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg);
    request.header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(bodyLength));
    request.header.nlmsg_type = aType;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++m_dwSeq;
    request.body.address.ifa_family = aFamily;  // both start with the family byte
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_nFd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0) {
      return false;
    }
    for (;;) {
      const ssize_t n = recv(m_nFd, m_Buffer, sizeof(m_Buffer), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) {
        errno = EPROTO;
        return false;
      }
      int len = static_cast<int>(n);
      for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(m_Buffer); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
        if (h->nlmsg_seq != m_dwSeq) continue;
        if (h->nlmsg_flags & NLM_F_DUMP_INTR) aInterrupted = true;
        if (h->nlmsg_type == NLMSG_DONE) return true;
        if (h->nlmsg_type == NLMSG_ERROR) {
          const nlmsgerr* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
          errno = e->error ? -e->error : EPROTO;
          return false;
        }
        if (!aOnMessage(h)) {
          errno = EPROTO;
          return false;
        }
      }
    }
  }

 private:
  int m_nFd = -1;
  uint32_t m_dwSeq = 0;
  alignas(nlmsghdr) char m_Buffer[kReceiveBuffer];
};

NetIfType IfTypeOfHardware(unsigned aType) {
  switch (aType) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
      return kIfTypeEthernet;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      return kIfTypeIeee80211;
    case ARPHRD_LOOPBACK:
      return kIfTypeLoopback;
    case ARPHRD_PPP:
      return kIfTypePpp;
    case ARPHRD_NONE:
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
      return kIfTypeTunnel;
    case ARPHRD_RAWIP:
      return kIfTypeWwan;
    default:
      return kIfTypeOther;
  }
}

NetOperState OperStateOf(unsigned aLinuxState) {
  switch (aLinuxState) {
    case IF_OPER_UP:
      return kOperUp;
    case IF_OPER_DOWN:
      return kOperDown;
    case IF_OPER_TESTING:
      return kOperTesting;
    case IF_OPER_DORMANT:
      return kOperDormant;
    case IF_OPER_NOTPRESENT:
      return kOperNotPresent;
    case IF_OPER_LOWERLAYERDOWN:
      return kOperLowerLayerDown;
    default:
      return kOperUnknown;
  }
}

NetDadState DadStateOf(uint32_t aFlags) {
  if (aFlags & IFA_F_DADFAILED) return kDadDuplicate;
  if (aFlags & IFA_F_TENTATIVE) return kDadTentative;
  if (aFlags & IFA_F_DEPRECATED) return kDadDeprecated;
  return kDadPreferred;
}

bool IsLinkLocal6(const uint8_t* aBytes) { return aBytes[0] == 0xfe && (aBytes[1] & 0xc0) == 0x80; }

// Adapters collected from the two dumps: the order of the link dump, and
// each adapter's position by index.
struct Collected {
  std::vector<NetAdapter> m_Adapters;
  std::map<uint32_t, size_t> m_Position;
};

bool OnLink(const nlmsghdr* aHeader, Collected& aOut) {
  if (aHeader->nlmsg_type != RTM_NEWLINK) return true;
  if (aHeader->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return false;
  const ifinfomsg* info = static_cast<const ifinfomsg*>(NLMSG_DATA(aHeader));
  NetAdapter adapter;
  adapter.m_dwIndex = static_cast<uint32_t>(info->ifi_index);
  adapter.m_Type = IfTypeOfHardware(info->ifi_type);
  adapter.m_OperState = (info->ifi_flags & IFF_UP) ? kOperUnknown : kOperDown;
  int len = static_cast<int>(IFLA_PAYLOAD(aHeader));
  for (const rtattr* a = IFLA_RTA(info); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
    if (a->rta_type == IFLA_IFNAME && RTA_PAYLOAD(a) > 0) {
      adapter.m_strName.assign(static_cast<const char*>(RTA_DATA(a)), strnlen(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a)));
    } else if (a->rta_type == IFLA_OPERSTATE && RTA_PAYLOAD(a) >= 1 && (info->ifi_flags & IFF_UP)) {
      adapter.m_OperState = OperStateOf(*static_cast<const uint8_t*>(RTA_DATA(a)));
    }
  }
  aOut.m_Position[adapter.m_dwIndex] = aOut.m_Adapters.size();
  aOut.m_Adapters.push_back(std::move(adapter));
  return true;
}

bool OnAddress(const nlmsghdr* aHeader, Collected& aOut) {
  if (aHeader->nlmsg_type != RTM_NEWADDR) return true;
  if (aHeader->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return false;
  const ifaddrmsg* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(aHeader));
  if (info->ifa_family != AF_INET && info->ifa_family != AF_INET6) return true;
  const auto where = aOut.m_Position.find(info->ifa_index);
  if (where == aOut.m_Position.end()) return true;  // an adapter born after the link dump
  const size_t length = info->ifa_family == AF_INET ? 4 : 16;
  const rtattr* address = nullptr;
  const rtattr* local = nullptr;
  uint32_t flags = info->ifa_flags;
  NetUnicast u;
  int len = static_cast<int>(IFA_PAYLOAD(aHeader));
  for (const rtattr* a = IFA_RTA(info); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
    if (a->rta_type == IFA_ADDRESS && RTA_PAYLOAD(a) >= length) address = a;
    else if (a->rta_type == IFA_LOCAL && RTA_PAYLOAD(a) >= length) local = a;
    else if (a->rta_type == IFA_FLAGS && RTA_PAYLOAD(a) >= 4) memcpy(&flags, RTA_DATA(a), 4);
    else if (a->rta_type == IFA_CACHEINFO && RTA_PAYLOAD(a) >= sizeof(ifa_cacheinfo)) {
      ifa_cacheinfo cache;
      memcpy(&cache, RTA_DATA(a), sizeof(cache));
      u.m_dwPreferredLifetime = cache.ifa_prefered;
      u.m_dwValidLifetime = cache.ifa_valid;
    }
  }
  // On a point-to-point link IFA_ADDRESS is the peer and IFA_LOCAL our own.
  const rtattr* own = local ? local : address;
  if (!own) return true;
  u.m_Address.m_Family = info->ifa_family == AF_INET ? kNetFamilyIPv4 : kNetFamilyIPv6;
  memcpy(u.m_Address.m_Bytes, RTA_DATA(own), length);
  if (u.m_Address.m_Family == kNetFamilyIPv6 && IsLinkLocal6(u.m_Address.m_Bytes)) u.m_dwScope = info->ifa_index;
  u.m_byPrefixLength = info->ifa_prefixlen;
  u.m_DadState = DadStateOf(flags);
  u.m_bTemporary = (flags & IFA_F_TEMPORARY) != 0;
  u.m_bDeprecated = (flags & IFA_F_DEPRECATED) != 0;
  aOut.m_Adapters[where->second].m_Unicasts.push_back(u);
  return true;
}

uint8_t LinuxFamily(NetFamily aFamily) {
  return aFamily == kNetFamilyIPv4 ? AF_INET : aFamily == kNetFamilyIPv6 ? AF_INET6 : AF_UNSPEC;
}

bool EnumerateByNetlink(NetFamily aFamily, std::vector<NetAdapter>& aOut) {
  if (NetTakeFault(kNetFaultRouteNetlink)) return false;
  RouteSocket route;
  if (!route.Open()) return false;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    Collected c;
    bool linksInterrupted = false;
    bool addressesInterrupted = false;
    if (!route.Dump(RTM_GETLINK, AF_UNSPEC, linksInterrupted, [&c](const nlmsghdr* h) { return OnLink(h, c); }) ||
        !route.Dump(RTM_GETADDR, LinuxFamily(aFamily), addressesInterrupted,
                    [&c](const nlmsghdr* h) { return OnAddress(h, c); })) {
      return false;
    }
    aOut = std::move(c.m_Adapters);
    if (!linksInterrupted && !addressesInterrupted) break;
  }
  return true;
}

// ---- getifaddrs

uint8_t PrefixOfMask(const sockaddr* aMask, size_t aLength) {
  if (!aMask) return 0;
  const uint8_t* bytes = aMask->sa_family == AF_INET
                             ? reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(aMask)->sin_addr)
                             : reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(aMask)->sin6_addr);
  uint8_t bits = 0;
  for (size_t i = 0; i < aLength; ++i) bits = static_cast<uint8_t>(bits + __builtin_popcount(bytes[i]));
  return bits;
}

NetAdapter& AdapterNamed(const char* aName, Collected& aOut) {
  for (NetAdapter& a : aOut.m_Adapters) {
    if (a.m_strName == aName) return a;
  }
  NetAdapter adapter;
  adapter.m_strName = aName;
  adapter.m_dwIndex = if_nametoindex(aName);
  aOut.m_Adapters.push_back(std::move(adapter));
  return aOut.m_Adapters.back();
}

void AddIfaddr(const ifaddrs* aEntry, NetFamily aFamily, Collected& aOut) {
  NetAdapter& adapter = AdapterNamed(aEntry->ifa_name, aOut);
  if (aEntry->ifa_flags & IFF_UP) adapter.m_OperState = (aEntry->ifa_flags & IFF_RUNNING) ? kOperUp : kOperLowerLayerDown;
  else adapter.m_OperState = kOperDown;
  const sockaddr* addr = aEntry->ifa_addr;
  if (!addr) return;
  if (addr->sa_family == AF_PACKET) {
    const sockaddr_ll* link = reinterpret_cast<const sockaddr_ll*>(addr);
    adapter.m_Type = IfTypeOfHardware(link->sll_hatype);
    adapter.m_dwIndex = static_cast<uint32_t>(link->sll_ifindex);
    return;
  }
  NetUnicast u;
  if (addr->sa_family == AF_INET && aFamily != kNetFamilyIPv6) {
    u.m_Address.m_Family = kNetFamilyIPv4;
    memcpy(u.m_Address.m_Bytes, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, 4);
    u.m_byPrefixLength = PrefixOfMask(aEntry->ifa_netmask, 4);
  } else if (addr->sa_family == AF_INET6 && aFamily != kNetFamilyIPv4) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    u.m_Address.m_Family = kNetFamilyIPv6;
    memcpy(u.m_Address.m_Bytes, &in6->sin6_addr, 16);
    u.m_dwScope = IsLinkLocal6(u.m_Address.m_Bytes) ? in6->sin6_scope_id : 0;
    u.m_byPrefixLength = PrefixOfMask(aEntry->ifa_netmask, 16);
  } else {
    return;
  }
  adapter.m_Unicasts.push_back(u);
}

bool EnumerateByIfaddrs(NetFamily aFamily, std::vector<NetAdapter>& aOut) {
  if (NetTakeFault(kNetFaultIfaddrs)) return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  Collected c;
  for (const ifaddrs* p = list; p; p = p->ifa_next) {
    if (p->ifa_name) AddIfaddr(p, aFamily, c);
  }
  freeifaddrs(list);
  aOut = std::move(c.m_Adapters);
  return true;
}

}  // namespace

// ---- socket address structures

uint32_t NetMakeSockaddr(const NetAddress& aAddress, uint32_t aScope, uint16_t aPort, void* aStorage) {
  memset(aStorage, 0, kNetSockaddrStorage);
  if (aAddress.m_Family == kNetFamilyIPv4) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(aPort);
    memcpy(&in.sin_addr, aAddress.m_Bytes, 4);
    memcpy(aStorage, &in, sizeof(in));
    return sizeof(in);
  }
  if (aAddress.m_Family == kNetFamilyIPv6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(aPort);
    in6.sin6_scope_id = aScope;
    memcpy(&in6.sin6_addr, aAddress.m_Bytes, 16);
    memcpy(aStorage, &in6, sizeof(in6));
    return sizeof(in6);
  }
  return 0;
}

void NetReadSockaddr(const void* aStorage, NetAddress& aAddress, bool& aIsKnown) {
  sockaddr_storage s;
  memcpy(&s, aStorage, sizeof(s));
  aIsKnown = s.ss_family == AF_INET || s.ss_family == AF_INET6;
  if (s.ss_family == AF_INET6) {
    aAddress.m_Family = kNetFamilyIPv6;
    memcpy(aAddress.m_Bytes, &reinterpret_cast<const sockaddr_in6*>(&s)->sin6_addr, 16);
  } else {
    aAddress.m_Family = kNetFamilyIPv4;
    memcpy(aAddress.m_Bytes, &reinterpret_cast<const sockaddr_in*>(&s)->sin_addr, 4);
  }
}

int NetSockaddrFamily(NetFamily aFamily) { return aFamily == kNetFamilyIPv6 ? AF_INET6 : AF_INET; }

// ---- adapters

NetEnumResult NetEnumerateAdapters(NetFamily aFamily, std::vector<NetAdapter>& aOut) {
  aOut.clear();
  if (EnumerateByNetlink(aFamily, aOut)) return kEnumOk;
  aOut.clear();
  return EnumerateByIfaddrs(aFamily, aOut) ? kEnumOk : kEnumFailed;
}

// ---- the route probe

int NetProbeOpen(int& aError) {
  const int fd = NetTakeFault(kNetFaultProbeSocket) ? -1 : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  aError = fd < 0 ? errno : 0;
  return fd;
}

NetProbeStep NetProbeConnect(int aSocket, const NetAddress& aTarget, uint16_t aPort, void* aLocal, int& aError) {
  sockaddr_storage target;
  const uint32_t targetLength = NetMakeSockaddr(aTarget, 0, aPort, &target);
  aError = 0;
  if (NetTakeFault(kNetFaultProbeConnect) ||
      connect(aSocket, reinterpret_cast<const sockaddr*>(&target), static_cast<socklen_t>(targetLength)) != 0) {
    aError = errno;
    return kProbeConnect;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  if (NetTakeFault(kNetFaultProbeGetSockName) || getsockname(aSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    aError = errno;
    return kProbeGetSockName;
  }
  memcpy(aLocal, &local, sizeof(local));
  return kProbeOk;
}

void NetProbeClose(int aSocket) {
  if (aSocket >= 0) close(aSocket);
}

// ---- test seams

void NetInjectFaultForTesting(NetFault aFault, int aCount, int aErrno) {
  if (aFault < 0 || aFault >= kNetFaultCount) return;
  g_Faults[aFault].m_nErrno.store(aErrno);
  g_Faults[aFault].m_nCount.store(aCount);
}

bool NetTakeFault(NetFault aFault) {
  Fault& f = g_Faults[aFault];
  int n = f.m_nCount.load(std::memory_order_relaxed);
  while (n > 0) {
    if (f.m_nCount.compare_exchange_weak(n, n - 1)) {
      errno = f.m_nErrno.load();
      return true;
    }
  }
  return false;
}

}  // namespace cm_platform
