// CmNetworkType.h - the kind of network the host is on (wired, Wi-Fi, ...),
// whether a VPN-like adapter is present, and the Wi-Fi link's figures.
//
// Which to use:
//  - DetectNetWork: detects (within 100 ms), stores the result as the
//    current status and returns it; getNetworkStatus reads the stored one.
//  - GetWifiStats / DetectedSSID: the Wi-Fi link's signal, rate, channel,
//    access point and network name while the current status is Wi-Fi.
//  - the converters: dBm to percent, frequency to channel and band, and the
//    texts of the enumerations.
//
// On Linux the adapter carrying the primary IPv4 address (CmLocalAddr.h)
// is classified from /sys/class/net: a Wi-Fi adapter ("wireless/",
// "phy80211" or DEVTYPE wlan) gives Wifi, an Ethernet adapter Wired (Wifi
// when its description names a virtual adapter over a live Wi-Fi link),
// DEVTYPE wwan gives WWAN, a PPP link PPP, a Bluetooth network adapter
// BlueTooth, anything else NotDetected. A VPN-like adapter is a tun, tap,
// WireGuard or PPP device, or an Ethernet or other adapter whose
// description (its alias, else its name) contains "virtual". Wi-Fi figures
// come from nl80211, else /proc/net/wireless (signal and noise only).
//
// Thread safety: every function may be called from any thread; detections
// are serialised, and the current status is one atomic value.
#ifndef CM_NETWORK_TYPE_H
#define CM_NETWORK_TYPE_H

#include <string>

#include "CmDefines.h"

namespace zar {

enum eNetworkStatus : int32_t {
  NETWORK_WIFI = 1,
  NETWORK_3G = 2,
  NETWORK_EDGE = 3,
  NETWORK_2G = 4,
  NETWORK_BLUETOOTH = 5,
  NETWORK_MODEM = 6,
  NETWORK_PPP = 7,
  NETWORK_WWAN = 8,
  NETWORK_WIRED = 9,
  NETWORK_LTE = 10,
  NETWORK_3_5G = 11,
  NETWORK_5G = 12,
  NETWORK_WIFI_OTHER = 13,  // a second Wi-Fi kind some hosts report; Wi-Fi everywhere
  NETWORK_NOT_DETECTED = 255,
};

// A detection's result: the network kind and whether a VPN-like adapter is
// present. A plain value.
struct _NetworkTypeInfo {
  eNetworkStatus networkType;
  bool isVPNConnected;
};

}  // namespace zar

enum eWifiChFrequency : int32_t {
  WIFI_CH_FREQUENCY_2_4GHZ = 1,
  WIFI_CH_FREQUENCY_5GHZ = 2,
  WIFI_CH_FREQUENCY_UNKNOWN = 255,
};

enum eWifiPhyMode : int32_t {
  WIFI_PHY_MODE_80211A = 1,
  WIFI_PHY_MODE_80211B = 2,
  WIFI_PHY_MODE_80211G = 3,
  WIFI_PHY_MODE_80211N = 4,
  WIFI_PHY_MODE_80211AC = 5,
  WIFI_PHY_MODE_80211 = 6,  // the original frequency-hopping PHY
  WIFI_PHY_MODE_UNKNOWN = 255,
};

// The Wi-Fi link's figures (GetWifiStats).
struct WifiStats {
  int32_t rssi = 0;            // signal level, dBm
  int32_t rxRate = 0;          // receive rate, Mbit/s
  int32_t signalStrength = 0;  // percent, ConvertRssiToStrength(rssi)
  int32_t snr = 0;             // signal minus noise level, 0 when either is unknown
  std::string bssid = "NotDetected";  // access point, "%02x:%02x:%02x:%02x:%02x:%02x"
  int32_t channel = 0;
  eWifiChFrequency band = WIFI_CH_FREQUENCY_UNKNOWN;
  eWifiPhyMode phyMode = WIFI_PHY_MODE_UNKNOWN;
};

// Detects within 100 ms (DetectNetWorkWindowsWrapper), stores the result as
// the current status and returns it.
CM_EXPORT zar::_NetworkTypeInfo DetectNetWork();

// Runs one detection on its own thread and waits until 100 ms after the
// call. A detection that has not finished by then ("DetectNetWorkWindows
// may hang, timeout after 100ms") gives NotDetected without VPN and stays
// pending: the next call waits for it (again at most 100 ms) instead of
// starting another. A pending detection that finished after its caller
// gave up is discarded and a fresh one started, so no caller gets an old
// answer. Calls are serialised.
CM_EXPORT zar::_NetworkTypeInfo DetectNetWorkWindowsWrapper();
// One detection without a time limit.
CM_EXPORT zar::_NetworkTypeInfo DetectNetWorkWindows();

CM_EXPORT zar::_NetworkTypeInfo getNetworkStatus();
CM_EXPORT void setNetworkStatus(zar::_NetworkTypeInfo aInfo);

// True when aText, lower-cased, contains "virtual".
CM_EXPORT bool IsVPNInterface(const std::string& aText);

// 0 with the figures in aStats; -1 when the current status is not Wi-Fi (1
// or 13); otherwise the failure of the Wi-Fi query: ZAR_E_NOTIMPL when the
// system offers no Wi-Fi information, ZAR_E_NOT_FOUND when no wireless
// interface is associated, ZAR_E_NOT_AVAILABLE when the link tells no
// channel or access point, ZAR_E_FAIL when the system's query failed.
CM_EXPORT int GetWifiStats(WifiStats& aStats);
// The associated wireless network's name; "NotDetected" when there is none.
CM_EXPORT std::string DetectedSSID();

// -99..-1 dBm: 2 * dBm + 200, capped at 100 from -50 up; anything else 0.
CM_EXPORT int ConvertRssiToStrength(int aRssi);
// 2412..2484 MHz: channels 1..15; 5170..5825 MHz: 34..165; anything else 0.
CM_EXPORT int ConvertFrequencyToChannel(int aFrequency);
// 2412..2484 MHz: 2.4 GHz; 4915 up to 5826 (excluded): 5 GHz; else unknown.
CM_EXPORT eWifiChFrequency CheckWifiChannelBand(int aFrequency);

CM_EXPORT const char* NetWorkTypeToString(zar::eNetworkStatus aType);
CM_EXPORT const char* WifiChannelFrequencyToString(eWifiChFrequency aBand);
CM_EXPORT const char* WifiPhyModeToString(eWifiPhyMode aMode);

#endif  // CM_NETWORK_TYPE_H
