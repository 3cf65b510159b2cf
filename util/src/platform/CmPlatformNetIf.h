// CmPlatformNetIf.h - the host's network interfaces in the library's own
// terms: the list of adapters with their unicast addresses, the route probe
// behind the primary address, socket address structures, what the system
// tells about one adapter (medium, virtual kind) and the Wi-Fi link.
//
// Addresses travel as NetAddress (CmPlatformNet.h); socket address
// structures are written into caller memory of kNetSockaddrStorage bytes in
// the platform's own layout (family first), so that callers can hand them to
// sockets unchanged.
//
// Sources on Linux: adapters come from rtnetlink (RTM_GETLINK, RTM_GETADDR),
// and from getifaddrs when the routing socket cannot be used; adapter facts
// from /sys/class/net/<name>; the Wi-Fi link from nl80211 when the kernel
// offers it, else from /proc/net/wireless.
//
// Thread safety: every function may be called from any thread. The test
// seams are process-wide switches meant to be set by a test's main thread.
#ifndef CM_PLATFORM_NET_IF_H
#define CM_PLATFORM_NET_IF_H

#include <cstdint>
#include <string>
#include <vector>

#include "CmDefines.h"
#include "CmTestHooks.h"
#include "platform/CmPlatformNet.h"

namespace cm_platform {

constexpr size_t kNetSockaddrStorage = 128;
constexpr uint32_t kNetLifetimeInfinite = 0xFFFFFFFFu;

// ---- socket address structures
// Writes the platform's socket address of aAddress (port in host order;
// aScope is the IPv6 scope, the interface index of a link-local address)
// into aStorage, zeroing the rest of it. Returns its length (16 or 28), 0
// for kNetFamilyNone.
uint32_t NetMakeSockaddr(const NetAddress& aAddress, uint32_t aScope, uint16_t aPort, void* aStorage);
// Reads the family and bytes of a socket address; an address of any other
// family is read as IPv4 bytes (at the IPv4 position) with aIsKnown false.
void NetReadSockaddr(const void* aStorage, NetAddress& aAddress, bool& aIsKnown);
// The platform's family number of IPv4 and IPv6 socket addresses.
int NetSockaddrFamily(NetFamily aFamily);

// ---- adapters
// Duplicate-address-detection state of an address.
enum NetDadState : int { kDadInvalid = 0, kDadTentative = 1, kDadDuplicate = 2, kDadDeprecated = 3, kDadPreferred = 4 };

// Operational state, numbered as the interface MIB does (RFC 2863).
enum NetOperState : int {
  kOperUp = 1,
  kOperDown = 2,
  kOperTesting = 3,
  kOperUnknown = 4,
  kOperDormant = 5,
  kOperNotPresent = 6,
  kOperLowerLayerDown = 7,
};

// Interface types, numbered as the IANA ifType registry does.
enum NetIfType : uint32_t {
  kIfTypeOther = 1,
  kIfTypeEthernet = 6,
  kIfTypePpp = 23,
  kIfTypeLoopback = 24,
  kIfTypeIeee80211 = 71,
  kIfTypeTunnel = 131,
  kIfTypeWwan = 243,
};

struct NetUnicast {
  NetAddress m_Address;
  uint32_t m_dwScope = 0;  // interface index for IPv6 link-local, else 0
  uint8_t m_byPrefixLength = 0;
  NetDadState m_DadState = kDadPreferred;
  uint32_t m_dwPreferredLifetime = kNetLifetimeInfinite;  // seconds from now
  uint32_t m_dwValidLifetime = kNetLifetimeInfinite;
  bool m_bTemporary = false;
  bool m_bDeprecated = false;
};

struct NetAdapter {
  std::string m_strName;
  uint32_t m_dwIndex = 0;
  NetIfType m_Type = kIfTypeOther;
  NetOperState m_OperState = kOperUnknown;
  std::vector<NetUnicast> m_Unicasts;  // in the system's order
};

enum NetEnumResult : int { kEnumOk = 0, kEnumFailed = 1 };

// The adapters in the system's order with their unicast addresses of
// aFamily (kNetFamilyNone: both). Tries rtnetlink first and getifaddrs when
// that fails; kEnumFailed (errno set) when neither answers.
NetEnumResult NetEnumerateAdapters(NetFamily aFamily, std::vector<NetAdapter>& aOut);

// ---- the route probe
enum NetProbeStep : int { kProbeOk = 0, kProbeSocket, kProbeConnect, kProbeGetSockName };

// Opens an IPv4 datagram socket for NetProbeConnect; -1 with aError set on
// failure.
int NetProbeOpen(int& aError);
// Connects the probe socket to aTarget:aPort (no packet is sent; the system
// only picks the outgoing interface) and reads its local socket address
// into aLocal (kNetSockaddrStorage bytes). On failure returns the step that
// failed with its errno in aError.
NetProbeStep NetProbeConnect(int aSocket, const NetAddress& aTarget, uint16_t aPort, void* aLocal, int& aError);
void NetProbeClose(int aSocket);

// ---- one adapter's facts
enum NetMedium : int {
  kMediumUnknown = 0,  // the system does not know the adapter
  kMediumEthernet,
  kMediumWireless,
  kMediumLoopback,
  kMediumPpp,
  kMediumTunnel,
  kMediumWwan,
  kMediumBluetooth,
  kMediumOther,
};

enum NetVirtualKind : int { kVirtualNone = 0, kVirtualTun, kVirtualTap, kVirtualWireguard, kVirtualPpp };

struct NetAdapterFacts {
  NetMedium m_Medium = kMediumUnknown;
  NetVirtualKind m_Virtual = kVirtualNone;
  std::string m_strDescription;  // the administrator's alias, else empty
};

// What the system tells about the adapter named aName (/sys/class/net).
NetAdapterFacts NetAdapterFactsOf(const std::string& aName);

// ---- the Wi-Fi link
enum NetWifiPhy : int {  // the 802.11 PHY of the link's receive rate
  kWifiPhyUnknown = 0,
  kWifiPhyFhss,
  kWifiPhyOfdm,     // 802.11a
  kWifiPhyHrDsss,   // 802.11b
  kWifiPhyErp,      // 802.11g
  kWifiPhyHt,       // 802.11n
  kWifiPhyVht,      // 802.11ac
  kWifiPhyHe,       // 802.11ax
};

// Where a Wi-Fi query stopped; each names the step of the query that failed.
enum NetWifiStep : int {
  kWifiOk = 0,
  kWifiNoService,      // neither nl80211 nor /proc/net/wireless
  kWifiOpenFailed,     // the nl80211 socket could not be opened
  kWifiEnumFailed,     // the interface list could not be read
  kWifiNoInterface,    // no wireless interface
  kWifiNotConnected,   // no wireless interface is associated
  kWifiNoChannel,      // the associated interface tells no frequency
  kWifiNoBssid,        // the access point's address is unknown
  kWifiListFailed,     // the station or network list could not be read
};

struct NetWifiLink {
  std::string m_strInterface;
  std::string m_strSsid;
  uint8_t m_Bssid[6] = {};
  bool m_bHasBssid = false;
  int m_nSignalDbm = 0;  // 0: unknown
  bool m_bHasNoise = false;
  int m_nNoiseDbm = 0;
  int m_nRxKbps = 0;
  int m_nFrequencyMhz = 0;  // 0: unknown
  NetWifiPhy m_Phy = kWifiPhyUnknown;
  int m_nInterfaces = 0;  // wireless interfaces seen
  bool m_bFromProc = false;  // figures from /proc/net/wireless (no BSSID, rate, channel, SSID)
};

// Queries the associated Wi-Fi link. aError is the errno of a failed call.
NetWifiStep NetQueryWifi(NetWifiLink& aLink, int& aError);

// ---- test seams
enum NetFault : int {
  kNetFaultProbeSocket = 0,
  kNetFaultProbeConnect,
  kNetFaultProbeGetSockName,
  kNetFaultRouteNetlink,   // the rtnetlink enumeration fails (the fallback answers)
  kNetFaultIfaddrs,        // the getifaddrs fallback fails
  kNetFaultWifiNetlink,    // the kernel appears to offer no nl80211
  kNetFaultAdapterBuffer,  // the local address list's enumeration buffer cannot be allocated
  kNetFaultCount,
};
// The next aCount uses of aFault fail with aErrno (0 clears it).
CM_TEST_EXPORT void NetInjectFaultForTesting(NetFault aFault, int aCount, int aErrno);
// Reads /sys/class/net and /proc/net/wireless under aRoot instead of "/";
// while set, the Wi-Fi query reads only that /proc/net/wireless, so that the
// machine's own radios never mix into a fabricated tree. Null restores the
// real ones.
CM_TEST_EXPORT void NetSetSysRootForTesting(const char* aRoot);
// Consumes one injected failure of aFault; true (errno set) when one was due.
bool NetTakeFault(NetFault aFault);

}  // namespace cm_platform

#endif  // CM_PLATFORM_NET_IF_H
