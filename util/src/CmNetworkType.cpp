// Network type detection over the adapter enumeration of CmLocalAddr.h and
// the platform's adapter facts and Wi-Fi link (CmPlatformNetIf.h).
//
// A detection walks the IPv4 adapters the process-wide enumeration function
// reports, so a fabricated adapter list drives it as it drives
// get_local_addr. The time-limited form runs each detection on a thread of
// its own: the system calls behind it (the enumeration function above all)
// may block, and the caller must not.
#include "CmNetworkType.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "CmClockSource.h"
#include "CmError.h"
#include "CmFuncTracer.h"
#include "CmInetAddr.h"
#include "CmLocalAddr.h"
#include "CmTrace.h"
#include "ThreadWaiter.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformNetIf.h"
#include "platform/CmPlatformThread.h"

using zar::_NetworkTypeInfo;
using zar::eNetworkStatus;

namespace {

constexpr int64_t kDetectionLimitUs = int64_t{100} * 1000;
constexpr _NetworkTypeInfo kNotDetected{zar::NETWORK_NOT_DETECTED, false};

// The current status: the type in the low 32 bits, the VPN flag above.
std::atomic<uint64_t> g_Status{static_cast<uint32_t>(zar::NETWORK_NOT_DETECTED)};

// ---- one detection

// The IPv4 adapter list from the enumeration function, size query first;
// null on any failure.
cm_adapter_addresses* IPv4Adapters() {
  const cm_get_adapters_addresses_fn enumerate = GetGetAdaptersAddressesFuc();
  const uint32_t flags = CM_ADAPTERS_FLAG_SKIP_ANYCAST | CM_ADAPTERS_FLAG_SKIP_MULTICAST;
  uint32_t size = 0;
  if (enumerate(CM_AF_INET, flags, nullptr, nullptr, &size) != CM_ADAPTERS_BUFFER_OVERFLOW || size == 0) return nullptr;
  void* buffer = malloc(size);
  if (!buffer) return nullptr;
  if (enumerate(CM_AF_INET, flags, nullptr, static_cast<cm_adapter_addresses*>(buffer), &size) != CM_ADAPTERS_SUCCESS) {
    free(buffer);
    return nullptr;
  }
  return static_cast<cm_adapter_addresses*>(buffer);
}

cm_platform::NetMedium MediumOfIfType(uint32_t aType) {
  switch (aType) {
    case CM_IF_TYPE_ETHERNET:
      return cm_platform::kMediumEthernet;
    case CM_IF_TYPE_IEEE80211:
      return cm_platform::kMediumWireless;
    case CM_IF_TYPE_PPP:
      return cm_platform::kMediumPpp;
    case CM_IF_TYPE_LOOPBACK:
      return cm_platform::kMediumLoopback;
    case CM_IF_TYPE_TUNNEL:
      return cm_platform::kMediumTunnel;
    case CM_IF_TYPE_WWAN:
      return cm_platform::kMediumWwan;
    default:
      return cm_platform::kMediumOther;
  }
}

uint32_t IfTypeOfMedium(cm_platform::NetMedium aMedium) {
  switch (aMedium) {
    case cm_platform::kMediumEthernet:
      return CM_IF_TYPE_ETHERNET;
    case cm_platform::kMediumWireless:
      return CM_IF_TYPE_IEEE80211;
    case cm_platform::kMediumPpp:
      return CM_IF_TYPE_PPP;
    case cm_platform::kMediumLoopback:
      return CM_IF_TYPE_LOOPBACK;
    case cm_platform::kMediumTunnel:
      return CM_IF_TYPE_TUNNEL;
    case cm_platform::kMediumWwan:
      return CM_IF_TYPE_WWAN;
    default:
      return CM_IF_TYPE_OTHER;
  }
}

// An adapter as the detection sees it: what the system says about it, and
// the enumeration's type where the system does not know it.
struct AdapterView {
  cm_platform::NetMedium m_Medium;
  uint32_t m_dwType;
  std::string m_strDescription;
  bool m_bVirtualDevice;
};

AdapterView ViewOf(const cm_adapter_addresses& aAdapter) {
  const std::string name(aAdapter.name, strnlen(aAdapter.name, sizeof(aAdapter.name)));
  const cm_platform::NetAdapterFacts facts = cm_platform::NetAdapterFactsOf(name);
  AdapterView v;
  v.m_Medium = facts.m_Medium != cm_platform::kMediumUnknown ? facts.m_Medium : MediumOfIfType(aAdapter.if_type);
  v.m_dwType = IfTypeOfMedium(v.m_Medium);
  v.m_strDescription = facts.m_strDescription.empty() ? name : facts.m_strDescription;
  v.m_bVirtualDevice = facts.m_Virtual != cm_platform::kVirtualNone;
  return v;
}

bool WifiLinkUp() {
  cm_platform::NetWifiLink link;
  int error = 0;
  return cm_platform::NetQueryWifi(link, error) == cm_platform::kWifiOk;
}

eNetworkStatus Classify(const AdapterView& aView) {
  switch (aView.m_Medium) {
    case cm_platform::kMediumWireless:
      return zar::NETWORK_WIFI;
    case cm_platform::kMediumEthernet:
      // A virtual adapter bridged onto a wireless link carries Wi-Fi traffic.
      return IsVPNInterface(aView.m_strDescription) && WifiLinkUp() ? zar::NETWORK_WIFI : zar::NETWORK_WIRED;
    case cm_platform::kMediumWwan:
      return zar::NETWORK_WWAN;
    case cm_platform::kMediumPpp:
      return zar::NETWORK_PPP;
    case cm_platform::kMediumBluetooth:
      return zar::NETWORK_BLUETOOTH;
    default:
      return zar::NETWORK_NOT_DETECTED;
  }
}

bool IsVpnLike(const AdapterView& aView) {
  if (aView.m_bVirtualDevice) return true;
  const bool ethernetOrOther = aView.m_dwType == CM_IF_TYPE_ETHERNET || aView.m_dwType == CM_IF_TYPE_OTHER;
  return ethernetOrOther && IsVPNInterface(aView.m_strDescription);
}

void Examine(const cm_adapter_addresses& aAdapter, const std::string& aPrimary, _NetworkTypeInfo& aInfo) {
  const AdapterView view = ViewOf(aAdapter);
  for (const cm_adapter_unicast* u = aAdapter.first_unicast; u; u = u->next) {
    cm_platform::NetAddress address;
    bool known = false;
    cm_platform::NetReadSockaddr(&u->address, address, known);
    if (!known || address.m_Family != cm_platform::kNetFamilyIPv4) continue;
    char text[CM_IP_TEXT_SIZE];
    if (!cm_inet_ntop(CM_AF_INET, address.m_Bytes, text, sizeof(text))) continue;
    if (aPrimary == text) {
      CM_INFO_TRACE("DetectNetWorkWindows, primary IP Address =:" << text << ", adapter type = " << view.m_dwType);
      aInfo.networkType = Classify(view);
    }
    if (!aInfo.isVPNConnected) aInfo.isVPNConnected = IsVpnLike(view);
    CM_INFO_TRACE("DetectNetWorkWindows, IP Address =" << text << ", adapt type = " << view.m_dwType
                                                       << ", isVPNConnected = " << (aInfo.isVPNConnected ? 1 : 0));
  }
}

// ---- the time-limited detection

// One detection running on its own thread; the latch opens when it ends.
struct Detection {
  ThreadWaiter m_Done;
  _NetworkTypeInfo m_Result = kNotDetected;
  bool m_bThrew = false;
};

std::mutex g_DetectMutex;                 // serialises the time-limited detections
std::shared_ptr<Detection> g_pPending;   // guarded by g_DetectMutex: a detection that outlived its caller

void RunDetection(void* aArg) {
  const std::unique_ptr<std::shared_ptr<Detection>> owner(static_cast<std::shared_ptr<Detection>*>(aArg));
  Detection& d = **owner;
  cm_platform::SetCurrentThreadName("net-detect");
  try {
    d.m_Result = DetectNetWorkWindows();
  } catch (...) {
    d.m_bThrew = true;
  }
  d.m_Done.Finished();
}

std::shared_ptr<Detection> StartDetection() {
  auto detection = std::make_shared<Detection>();
  auto* arg = new std::shared_ptr<Detection>(detection);
  std::atomic<uint32_t> tid{0};
  if (!cm_platform::ThreadStart(&RunDetection, arg, &tid)) {
    delete arg;
    return nullptr;
  }
  return detection;
}

// ---- the Wi-Fi query and its lines

struct WifiTexts {
  const char* m_pPrefix;
  const char* m_pNoService;
  const char* m_pNotConnected;
};

const WifiTexts kStatsTexts{"GetWifiStatsWindows: ", "Windows version is too low to detect Wifi Status.",
                            "Query current connection failed."};
const WifiTexts kSsidTexts{"GetWiFiSSIDWindows: ", "Windows version is too low to detect SSID.",
                           "Avaliable Wlan Interfaces number is 0"};

// Runs the query and traces a failure at level 1; the step reached.
cm_platform::NetWifiStep QueryWifi(const WifiTexts& aTexts, cm_platform::NetWifiLink& aLink) {
  int error = 0;
  const cm_platform::NetWifiStep step = cm_platform::NetQueryWifi(aLink, error);
  const char* p = aTexts.m_pPrefix;
  switch (step) {
    case cm_platform::kWifiOk:
      break;
    case cm_platform::kWifiNoService:
      CM_WARNING_TRACE(p << aTexts.m_pNoService);
      break;
    case cm_platform::kWifiOpenFailed:
      CM_WARNING_TRACE(p << "WlanOpenHandle failed, error code = " << error);
      break;
    case cm_platform::kWifiEnumFailed:
      CM_WARNING_TRACE(p << "WlanEnumInterfaces failed, error code = " << error);
      break;
    case cm_platform::kWifiNoInterface:
      CM_WARNING_TRACE(p << "Wlan Interfaces number is " << aLink.m_nInterfaces);
      break;
    case cm_platform::kWifiNotConnected:
      CM_WARNING_TRACE(p << aTexts.m_pNotConnected);
      break;
    case cm_platform::kWifiNoChannel:
      CM_WARNING_TRACE(p << "Query current channel number failed.");
      break;
    case cm_platform::kWifiNoBssid:
      CM_WARNING_TRACE(p << "BSSID is NULL.");
      break;
    case cm_platform::kWifiListFailed:
      CM_WARNING_TRACE(p << "WlanGetAvailableNetworkList failed, error code = " << error);
      break;
  }
  return step;
}

int ResultOf(cm_platform::NetWifiStep aStep) {
  switch (aStep) {
    case cm_platform::kWifiOk:
      return 0;
    case cm_platform::kWifiNoService:
      return ZAR_E_NOTIMPL;
    case cm_platform::kWifiNoInterface:
    case cm_platform::kWifiNotConnected:
      return ZAR_E_NOT_FOUND;
    case cm_platform::kWifiNoChannel:
    case cm_platform::kWifiNoBssid:
      return ZAR_E_NOT_AVAILABLE;
    default:
      return ZAR_E_FAIL;
  }
}

eWifiPhyMode PhyModeOf(cm_platform::NetWifiPhy aPhy) {
  switch (aPhy) {
    case cm_platform::kWifiPhyFhss:
      return WIFI_PHY_MODE_80211;
    case cm_platform::kWifiPhyOfdm:
      return WIFI_PHY_MODE_80211A;
    case cm_platform::kWifiPhyHrDsss:
      return WIFI_PHY_MODE_80211B;
    case cm_platform::kWifiPhyErp:
      return WIFI_PHY_MODE_80211G;
    case cm_platform::kWifiPhyHt:
      return WIFI_PHY_MODE_80211N;
    case cm_platform::kWifiPhyVht:
      return WIFI_PHY_MODE_80211AC;
    default:
      return WIFI_PHY_MODE_UNKNOWN;
  }
}

}  // namespace

_NetworkTypeInfo DetectNetWorkWindows() {
  CCmUtilFuncTracer tracer(true, false, nullptr, "DetectNetWorkWindows", "");
  const std::string primary = getPrimaryIpStr();
  _NetworkTypeInfo info = kNotDetected;
  cm_adapter_addresses* adapters = IPv4Adapters();
  for (const cm_adapter_addresses* a = adapters; a; a = a->next) Examine(*a, primary, info);
  free(adapters);
  return info;
}

_NetworkTypeInfo DetectNetWorkWindowsWrapper() {
  const int64_t deadline = cm_clock::MonotonicNanoseconds() / 1000 + kDetectionLimitUs;
  std::lock_guard<std::mutex> lock(g_DetectMutex);
  std::shared_ptr<Detection> detection = std::move(g_pPending);
  if (detection && detection->m_Done.WaitUntilTimeout(std::chrono::milliseconds(0))) detection.reset();
  if (!detection) detection = StartDetection();
  if (!detection) {
    CM_ERROR_TRACE("DetectNetWorkWindows, no thread could be started");
    return kNotDetected;
  }
  const int64_t leftUs = std::max<int64_t>(0, deadline - cm_clock::MonotonicNanoseconds() / 1000);
  if (!detection->m_Done.WaitUntilTimeout(std::chrono::milliseconds((leftUs + 999) / 1000))) {
    g_pPending = std::move(detection);
    CM_ERROR_TRACE("DetectNetWorkWindows may hang, timeout after 100ms");
    return kNotDetected;
  }
  if (detection->m_bThrew) {
    CM_ERROR_TRACE("DetectNetWorkWindows exception!");
    return kNotDetected;
  }
  return detection->m_Result;
}

_NetworkTypeInfo DetectNetWork() {
  const _NetworkTypeInfo info = DetectNetWorkWindowsWrapper();
  setNetworkStatus(info);
  return info;
}

_NetworkTypeInfo getNetworkStatus() {
  const uint64_t packed = g_Status.load();
  return _NetworkTypeInfo{static_cast<eNetworkStatus>(static_cast<int32_t>(packed & 0xFFFFFFFFu)), (packed >> 32) != 0};
}

void setNetworkStatus(_NetworkTypeInfo aInfo) {
  g_Status.store(static_cast<uint32_t>(aInfo.networkType) | (static_cast<uint64_t>(aInfo.isVPNConnected) << 32));
}

bool IsVPNInterface(const std::string& aText) {
  std::string lower(aText);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("virtual") != std::string::npos;
}

int GetWifiStats(WifiStats& aStats) {
  const eNetworkStatus type = getNetworkStatus().networkType;
  if (type != zar::NETWORK_WIFI && type != zar::NETWORK_WIFI_OTHER) return -1;
  aStats.bssid = "NotDetected";
  cm_platform::NetWifiLink link;
  const cm_platform::NetWifiStep step = QueryWifi(kStatsTexts, link);
  if (step != cm_platform::kWifiOk) {
    CM_DEBUG_TRACE("GetWifiStats: Get wifi stats failed");
    return ResultOf(step);
  }
  aStats.rssi = link.m_nSignalDbm;
  aStats.rxRate = link.m_nRxKbps / 1000;
  aStats.signalStrength = ConvertRssiToStrength(link.m_nSignalDbm);
  aStats.snr = link.m_nSignalDbm != 0 && link.m_bHasNoise ? link.m_nSignalDbm - link.m_nNoiseDbm : 0;
  if (link.m_bHasBssid) {
    char text[18];
    const uint8_t* b = link.m_Bssid;
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    aStats.bssid = text;
  }
  aStats.channel = ConvertFrequencyToChannel(link.m_nFrequencyMhz);
  aStats.band = CheckWifiChannelBand(link.m_nFrequencyMhz);
  aStats.phyMode = PhyModeOf(link.m_Phy);
  return 0;
}

std::string DetectedSSID() {
  cm_platform::NetWifiLink link;
  QueryWifi(kSsidTexts, link);
  return link.m_strSsid.empty() ? std::string("NotDetected") : link.m_strSsid;
}

int ConvertRssiToStrength(int aRssi) {
  if (aRssi < -99 || aRssi > -1) return 0;
  if (aRssi >= -50) return 100;
  return 2 * aRssi + 200;
}

int ConvertFrequencyToChannel(int aFrequency) {
  if (aFrequency >= 2412 && aFrequency <= 2484) return (aFrequency - 2412) / 5 + 1;
  if (aFrequency >= 5170 && aFrequency <= 5825) return (aFrequency - 5170) / 5 + 34;
  return 0;
}

eWifiChFrequency CheckWifiChannelBand(int aFrequency) {
  if (aFrequency >= 2412 && aFrequency <= 2484) return WIFI_CH_FREQUENCY_2_4GHZ;
  if (aFrequency >= 4915 && aFrequency < 5826) return WIFI_CH_FREQUENCY_5GHZ;
  return WIFI_CH_FREQUENCY_UNKNOWN;
}

const char* NetWorkTypeToString(zar::eNetworkStatus aType) {
  switch (aType) {
    case zar::NETWORK_WIFI:
    case zar::NETWORK_WIFI_OTHER:
      return "Wifi";
    case zar::NETWORK_3G:
      return "3G";
    case zar::NETWORK_EDGE:
      return "Edge";
    case zar::NETWORK_2G:
      return "2G";
    case zar::NETWORK_BLUETOOTH:
      return "BlueTooth";
    case zar::NETWORK_MODEM:
      return "Modem";
    case zar::NETWORK_PPP:
      return "PPP";
    case zar::NETWORK_WWAN:
      return "WWAN";
    case zar::NETWORK_WIRED:
      return "Wired";
    case zar::NETWORK_LTE:
      return "LTE";
    case zar::NETWORK_3_5G:
      return "3.5G";
    case zar::NETWORK_5G:
      return "5G";
    default:
      return "NotDetected";
  }
}

const char* WifiChannelFrequencyToString(eWifiChFrequency aBand) {
  switch (aBand) {
    case WIFI_CH_FREQUENCY_2_4GHZ:
      return "2.4GHz";
    case WIFI_CH_FREQUENCY_5GHZ:
      return "5GHz";
    case WIFI_CH_FREQUENCY_UNKNOWN:
      return "Unknown";
    default:
      return "NotDetected";
  }
}

const char* WifiPhyModeToString(eWifiPhyMode aMode) {
  switch (aMode) {
    case WIFI_PHY_MODE_80211A:
      return "802.11a";
    case WIFI_PHY_MODE_80211B:
      return "802.11b";
    case WIFI_PHY_MODE_80211G:
      return "802.11g";
    case WIFI_PHY_MODE_80211N:
      return "802.11n";
    case WIFI_PHY_MODE_80211AC:
      return "802.11ac";
    case WIFI_PHY_MODE_80211:
      return "802.11";
    default:
      return "Unknown";
  }
}
