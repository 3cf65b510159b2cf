// Linux implementation of the adapter facts and the Wi-Fi link of
// CmPlatformNetIf.h.
//
// Adapter facts come from /sys/class/net/<name>: "wireless/" or "phy80211"
// mark a Wi-Fi adapter, "type" is the hardware type (ARPHRD_*), DEVTYPE of
// "uevent" names wlan, wwan, bluetooth and wireguard devices, "tun_flags"
// exists on tun and tap devices, and "ifalias" is the administrator's
// description.
//
// The Wi-Fi link comes from nl80211 over generic netlink when the kernel
// registers that family: the station interfaces (NL80211_CMD_GET_INTERFACE),
// the access point the associated one is connected to with its signal and
// receive rate (NL80211_CMD_GET_STATION), the noise of the channel in use
// (NL80211_CMD_GET_SURVEY) and, when the interface does not tell its SSID,
// the associated network of the scan results (NL80211_CMD_GET_SCAN). A
// kernel without nl80211 still may keep /proc/net/wireless, which tells the
// signal and noise levels only.
// <net/if.h> before the kernel's headers, which then leave its names alone.
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/if.h>
#include <errno.h>
#include <linux/genetlink.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/CmPlatformNetIf.h"

#ifndef ARPHRD_IP6GRE
#define ARPHRD_IP6GRE 823  // GRE over IPv6, missing from the C library's list
#endif

namespace cm_platform {

namespace {

std::mutex g_RootMutex;  // guards g_strRoot
std::string g_strRoot;   // prefix of /sys and /proc paths; empty: the real ones

std::string Root() {
  std::lock_guard<std::mutex> lock(g_RootMutex);
  return g_strRoot;
}

bool Exists(const std::string& aPath) {
  struct stat st;
  return stat(aPath.c_str(), &st) == 0;
}

// The first line of a small /sys file, without its line end.
bool ReadLine(const std::string& aPath, std::string& aLine) {
  std::ifstream in(aPath);
  if (!in || !std::getline(in, aLine)) return false;
  while (!aLine.empty() && (aLine.back() == '\n' || aLine.back() == '\r' || aLine.back() == ' ')) aLine.pop_back();
  return true;
}

std::string DevType(const std::string& aDir) {
  std::ifstream in(aDir + "/uevent");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 8, "DEVTYPE=") == 0) return line.substr(8);
  }
  return std::string();
}

// Adapter names come from callers and fabricated lists: only a plain file
// name may reach a path.
bool IsPlainName(const std::string& aName) {
  return !aName.empty() && aName != "." && aName != ".." && aName.find('/') == std::string::npos;
}

NetMedium MediumOfHardware(long aType) {
  switch (aType) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
      return kMediumEthernet;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      return kMediumWireless;
    case ARPHRD_LOOPBACK:
      return kMediumLoopback;
    case ARPHRD_PPP:
      return kMediumPpp;
    case ARPHRD_RAWIP:
      return kMediumWwan;
    case ARPHRD_NONE:
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
      return kMediumTunnel;
    default:
      return kMediumOther;
  }
}

// ---- generic netlink

constexpr size_t kGenlBuffer = 32768;

struct Attr {
  uint16_t m_wType;
  const uint8_t* m_pData;
  size_t m_nLength;
};

// Calls aOnAttr for each attribute in [aData, aData + aLength).
template <typename OnAttr>
void ForEachAttr(const uint8_t* aData, size_t aLength, OnAttr aOnAttr) {
  while (aLength >= NLA_HDRLEN) {
    nlattr a;
    memcpy(&a, aData, sizeof(a));
    if (a.nla_len < NLA_HDRLEN || a.nla_len > aLength) return;
    aOnAttr(Attr{static_cast<uint16_t>(a.nla_type & NLA_TYPE_MASK), aData + NLA_HDRLEN,
                 static_cast<size_t>(a.nla_len - NLA_HDRLEN)});
    const size_t step = NLA_ALIGN(a.nla_len);
    if (step >= aLength) return;
    aData += step;
    aLength -= step;
  }
}

uint32_t U32(const Attr& a) {
  uint32_t v = 0;
  if (a.m_nLength >= 4) memcpy(&v, a.m_pData, 4);
  return v;
}

uint16_t U16(const Attr& a) {
  uint16_t v = 0;
  if (a.m_nLength >= 2) memcpy(&v, a.m_pData, 2);
  return v;
}

int S8(const Attr& a) { return a.m_nLength >= 1 ? static_cast<int8_t>(a.m_pData[0]) : 0; }

// A NETLINK_GENERIC socket sending one request at a time.
class GenlSocket {
 public:
  ~GenlSocket() {
    if (m_nFd >= 0) close(m_nFd);
  }
  bool Open() {
    if (NetTakeFault(kNetFaultWifiNetlink)) return false;
    m_nFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    return m_nFd >= 0;
  }

  // Sends command aCmd of family aFamily with the attributes aAttrs (already
  // encoded) and hands the attribute area of each answer to aOnReply. False
  // with errno set when the request fails.
  template <typename OnReply>
  bool Request(uint16_t aFamily, uint8_t aCmd, bool aDump, const std::string& aAttrs, OnReply aOnReply) {
    std::string msg(NLMSG_HDRLEN + GENL_HDRLEN, '\0');
    msg += aAttrs;
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(msg.size());
    h.nlmsg_type = aFamily;
    h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | (aDump ? NLM_F_DUMP : 0));
    h.nlmsg_seq = ++m_dwSeq;
    genlmsghdr g{};
    g.cmd = aCmd;
    g.version = 1;
    memcpy(&msg[0], &h, sizeof(h));
    memcpy(&msg[NLMSG_HDRLEN], &g, sizeof(g));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_nFd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0) return false;
    for (;;) {
      const ssize_t n = recv(m_nFd, m_Buffer, sizeof(m_Buffer), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EPROTO;
        return false;
      }
      int len = static_cast<int>(n);
      for (const nlmsghdr* r = reinterpret_cast<const nlmsghdr*>(m_Buffer); NLMSG_OK(r, len); r = NLMSG_NEXT(r, len)) {
        if (r->nlmsg_seq != m_dwSeq) continue;
        if (r->nlmsg_type == NLMSG_DONE) return true;
        if (r->nlmsg_type == NLMSG_ERROR) {
          const nlmsgerr* e = static_cast<const nlmsgerr*>(NLMSG_DATA(r));
          if (e->error == 0) return true;  // the acknowledgement of a plain request
          errno = -e->error;
          return false;
        }
        if (r->nlmsg_len < NLMSG_LENGTH(GENL_HDRLEN)) continue;
        const uint8_t* attrs = static_cast<const uint8_t*>(NLMSG_DATA(r)) + GENL_HDRLEN;
        aOnReply(attrs, r->nlmsg_len - NLMSG_LENGTH(GENL_HDRLEN));
      }
    }
  }

 private:
  int m_nFd = -1;
  uint32_t m_dwSeq = 0;
  alignas(nlmsghdr) uint8_t m_Buffer[kGenlBuffer];
};

std::string EncodeAttr(uint16_t aType, const void* aData, size_t aLength) {
  nlattr a{};
  a.nla_len = static_cast<uint16_t>(NLA_HDRLEN + aLength);
  a.nla_type = aType;
  std::string out(reinterpret_cast<const char*>(&a), sizeof(a));
  out.append(static_cast<const char*>(aData), aLength);
  out.resize(NLA_ALIGN(out.size()), '\0');
  return out;
}

std::string EncodeU32(uint16_t aType, uint32_t aValue) { return EncodeAttr(aType, &aValue, sizeof(aValue)); }

// The id of the nl80211 family; 0 with errno ENOENT when the kernel has none.
uint16_t ResolveNl80211(GenlSocket& aSocket) {
  uint16_t id = 0;
  const char name[] = NL80211_GENL_NAME;
  const bool ok = aSocket.Request(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, false, EncodeAttr(CTRL_ATTR_FAMILY_NAME, name, sizeof(name)),
                                  [&id](const uint8_t* aData, size_t aLength) {
                                    ForEachAttr(aData, aLength, [&id](const Attr& a) {
                                      if (a.m_wType == CTRL_ATTR_FAMILY_ID) id = U16(a);
                                    });
                                  });
  if (ok && id == 0) errno = ENOENT;
  return ok ? id : 0;
}

struct WifiInterface {
  uint32_t m_dwIndex = 0;
  std::string m_strName;
  uint32_t m_dwFrequency = 0;
  std::string m_strSsid;
};

bool ListStations(GenlSocket& aSocket, uint16_t aFamily, std::vector<WifiInterface>& aOut) {
  return aSocket.Request(aFamily, NL80211_CMD_GET_INTERFACE, true, std::string(), [&aOut](const uint8_t* d, size_t n) {
    WifiInterface w;
    uint32_t type = 0;
    ForEachAttr(d, n, [&](const Attr& a) {
      if (a.m_wType == NL80211_ATTR_IFINDEX) w.m_dwIndex = U32(a);
      else if (a.m_wType == NL80211_ATTR_IFNAME) w.m_strName.assign(reinterpret_cast<const char*>(a.m_pData), strnlen(reinterpret_cast<const char*>(a.m_pData), a.m_nLength));
      else if (a.m_wType == NL80211_ATTR_IFTYPE) type = U32(a);
      else if (a.m_wType == NL80211_ATTR_WIPHY_FREQ) w.m_dwFrequency = U32(a);
      else if (a.m_wType == NL80211_ATTR_SSID) w.m_strSsid.assign(reinterpret_cast<const char*>(a.m_pData), a.m_nLength);
    });
    if (type == NL80211_IFTYPE_STATION || type == NL80211_IFTYPE_P2P_CLIENT) aOut.push_back(w);
  });
}

NetWifiPhy PhyOfRate(const Attr& aRate, uint32_t aFrequency, int& aKbps) {
  NetWifiPhy phy = kWifiPhyUnknown;
  uint32_t rate100k = 0;
  ForEachAttr(aRate.m_pData, aRate.m_nLength, [&](const Attr& a) {
    if (a.m_wType == NL80211_RATE_INFO_BITRATE32) rate100k = U32(a);
    else if (a.m_wType == NL80211_RATE_INFO_BITRATE && rate100k == 0) rate100k = U16(a);
    else if (a.m_wType == NL80211_RATE_INFO_MCS && phy < kWifiPhyHt) phy = kWifiPhyHt;
    else if (a.m_wType == NL80211_RATE_INFO_VHT_MCS && phy < kWifiPhyVht) phy = kWifiPhyVht;
    else if (a.m_wType == NL80211_RATE_INFO_HE_MCS) phy = kWifiPhyHe;
  });
  aKbps = static_cast<int>(rate100k * 100);
  if (phy == kWifiPhyUnknown && rate100k > 0) {
    if (aFrequency >= 4900) phy = kWifiPhyOfdm;
    else phy = rate100k > 110 ? kWifiPhyErp : kWifiPhyHrDsss;
  }
  return phy;
}

// The access point the interface is associated with; false when none.
bool ReadStation(GenlSocket& aSocket, uint16_t aFamily, const WifiInterface& aIf, NetWifiLink& aLink, bool& aFailed) {
  bool found = false;
  aFailed = !aSocket.Request(aFamily, NL80211_CMD_GET_STATION, true, EncodeU32(NL80211_ATTR_IFINDEX, aIf.m_dwIndex),
                             [&](const uint8_t* d, size_t n) {
                               if (found) return;
                               found = true;
                               ForEachAttr(d, n, [&](const Attr& a) {
                                 if (a.m_wType == NL80211_ATTR_MAC && a.m_nLength >= 6) {
                                   memcpy(aLink.m_Bssid, a.m_pData, 6);
                                   aLink.m_bHasBssid = true;
                                 } else if (a.m_wType == NL80211_ATTR_STA_INFO) {
                                   ForEachAttr(a.m_pData, a.m_nLength, [&](const Attr& s) {
                                     if (s.m_wType == NL80211_STA_INFO_SIGNAL) aLink.m_nSignalDbm = S8(s);
                                     else if (s.m_wType == NL80211_STA_INFO_RX_BITRATE)
                                       aLink.m_Phy = PhyOfRate(s, aIf.m_dwFrequency, aLink.m_nRxKbps);
                                   });
                                 }
                               });
                             });
  return found;
}

void ReadNoise(GenlSocket& aSocket, uint16_t aFamily, uint32_t aIndex, NetWifiLink& aLink) {
  aSocket.Request(aFamily, NL80211_CMD_GET_SURVEY, true, EncodeU32(NL80211_ATTR_IFINDEX, aIndex),
                  [&aLink](const uint8_t* d, size_t n) {
                    ForEachAttr(d, n, [&aLink](const Attr& a) {
                      if (a.m_wType != NL80211_ATTR_SURVEY_INFO) return;
                      bool inUse = false;
                      int noise = 0;
                      bool hasNoise = false;
                      ForEachAttr(a.m_pData, a.m_nLength, [&](const Attr& s) {
                        if (s.m_wType == NL80211_SURVEY_INFO_IN_USE) inUse = true;
                        else if (s.m_wType == NL80211_SURVEY_INFO_NOISE) {
                          noise = S8(s);
                          hasNoise = true;
                        }
                      });
                      if (inUse && hasNoise) {
                        aLink.m_nNoiseDbm = noise;
                        aLink.m_bHasNoise = true;
                      }
                    });
                  });
}

// The SSID of the associated network from the scan results' elements.
void ReadSsidFromScan(GenlSocket& aSocket, uint16_t aFamily, uint32_t aIndex, NetWifiLink& aLink) {
  aSocket.Request(aFamily, NL80211_CMD_GET_SCAN, true, EncodeU32(NL80211_ATTR_IFINDEX, aIndex),
                  [&aLink](const uint8_t* d, size_t n) {
                    ForEachAttr(d, n, [&aLink](const Attr& a) {
                      if (a.m_wType != NL80211_ATTR_BSS) return;
                      uint32_t status = 0xFFFFFFFFu;
                      Attr elements{0, nullptr, 0};
                      ForEachAttr(a.m_pData, a.m_nLength, [&](const Attr& b) {
                        if (b.m_wType == NL80211_BSS_STATUS) status = U32(b);
                        else if (b.m_wType == NL80211_BSS_INFORMATION_ELEMENTS) elements = b;
                      });
                      if (status != NL80211_BSS_STATUS_ASSOCIATED) return;
                      for (size_t i = 0; i + 2 <= elements.m_nLength;) {
                        const size_t len = elements.m_pData[i + 1];
                        if (i + 2 + len > elements.m_nLength) break;
                        if (elements.m_pData[i] == 0) {  // the SSID element
                          aLink.m_strSsid.assign(reinterpret_cast<const char*>(elements.m_pData + i + 2), len);
                          break;
                        }
                        i += 2 + len;
                      }
                    });
                  });
}

NetWifiStep QueryNl80211(GenlSocket& aSocket, uint16_t aFamily, NetWifiLink& aLink, int& aError) {
  std::vector<WifiInterface> stations;
  if (!ListStations(aSocket, aFamily, stations)) {
    aError = errno;
    return kWifiEnumFailed;
  }
  aLink.m_nInterfaces = static_cast<int>(stations.size());
  if (stations.empty()) return kWifiNoInterface;
  for (const WifiInterface& w : stations) {
    bool failed = false;
    if (!ReadStation(aSocket, aFamily, w, aLink, failed)) {
      if (failed) {
        aError = errno;
        return kWifiListFailed;
      }
      continue;
    }
    aLink.m_strInterface = w.m_strName;
    aLink.m_strSsid = w.m_strSsid;
    aLink.m_nFrequencyMhz = static_cast<int>(w.m_dwFrequency);
    if (aLink.m_nFrequencyMhz == 0) return kWifiNoChannel;
    if (!aLink.m_bHasBssid) return kWifiNoBssid;
    ReadNoise(aSocket, aFamily, w.m_dwIndex, aLink);
    if (aLink.m_strSsid.empty()) ReadSsidFromScan(aSocket, aFamily, w.m_dwIndex, aLink);
    return kWifiOk;
  }
  return kWifiNotConnected;
}

// ---- /proc/net/wireless

// "  wlan0: 0000   54.  -56.  -256 ..." after two header lines. Level and
// noise are dBm; -256 (or anything not negative) means no value.
NetWifiStep QueryProc(NetWifiLink& aLink) {
  std::ifstream in(Root() + "/proc/net/wireless");
  if (!in) return kWifiNoService;
  std::string line;
  for (int header = 0; header < 2 && std::getline(in, line); ++header) {
  }
  bool connected = false;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    ++aLink.m_nInterfaces;
    if (connected) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    std::istringstream fields(line.substr(colon + 1));
    std::string status;
    double quality = 0, level = 0, noise = 0;
    if (!(fields >> status >> quality)) continue;
    fields.ignore(1, '.');
    if (!(fields >> level)) continue;
    fields.ignore(1, '.');
    if (!(fields >> noise)) noise = 0;
    if (level >= 0 || level < -255) continue;  // no signal: not associated
    connected = true;
    aLink.m_strInterface = name;
    aLink.m_nSignalDbm = static_cast<int>(level);
    if (noise < 0 && noise > -256) {
      aLink.m_nNoiseDbm = static_cast<int>(noise);
      aLink.m_bHasNoise = true;
    }
  }
  aLink.m_bFromProc = true;
  if (aLink.m_nInterfaces == 0) return kWifiNoInterface;
  return connected ? kWifiOk : kWifiNotConnected;
}

}  // namespace

NetAdapterFacts NetAdapterFactsOf(const std::string& aName) {
  NetAdapterFacts facts;
  if (!IsPlainName(aName)) return facts;
  const std::string dir = Root() + "/sys/class/net/" + aName;
  std::string text;
  if (!ReadLine(dir + "/type", text)) return facts;
  facts.m_Medium = MediumOfHardware(strtol(text.c_str(), nullptr, 10));
  const std::string devType = DevType(dir);
  if (Exists(dir + "/wireless") || Exists(dir + "/phy80211") || devType == "wlan") facts.m_Medium = kMediumWireless;
  else if (devType == "wwan") facts.m_Medium = kMediumWwan;
  else if (devType == "bluetooth") facts.m_Medium = kMediumBluetooth;
  if (devType == "wireguard") facts.m_Virtual = kVirtualWireguard;
  else if (facts.m_Medium == kMediumPpp) facts.m_Virtual = kVirtualPpp;
  if (ReadLine(dir + "/tun_flags", text)) {
    const unsigned long flags = strtoul(text.c_str(), nullptr, 0);
    facts.m_Virtual = (flags & IFF_TAP) ? kVirtualTap : kVirtualTun;
  }
  if (ReadLine(dir + "/ifalias", text)) facts.m_strDescription = text;
  return facts;
}

NetWifiStep NetQueryWifi(NetWifiLink& aLink, int& aError) {
  aLink = NetWifiLink();
  aError = 0;
  if (!Root().empty()) return QueryProc(aLink);  // a fabricated tree: the machine's radios stay out of it
  GenlSocket genl;
  if (!genl.Open()) {
    aError = errno;
    return kWifiOpenFailed;
  }
  const uint16_t family = ResolveNl80211(genl);
  if (family == 0) {
    if (errno != ENOENT) {
      aError = errno;
      return kWifiOpenFailed;
    }
    return QueryProc(aLink);
  }
  return QueryNl80211(genl, family, aLink, aError);
}

void NetSetSysRootForTesting(const char* aRoot) {
  std::lock_guard<std::mutex> lock(g_RootMutex);
  g_strRoot = aRoot ? aRoot : "";
}

}  // namespace cm_platform
