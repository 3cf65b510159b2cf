// Network type detection: the converters and texts, the classification of
// the primary adapter and the VPN rules over fabricated adapter lists and
// fabricated /sys trees, the 100 ms limit with a source that blocks, the
// Wi-Fi figures from a fabricated /proc/net/wireless, and detection on this
// machine and in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "CmError.h"
#include "CmInetAddr.h"
#include "CmLocalAddr.h"
#include "CmNetworkType.h"
#include "FakeAdapters.h"
#include "NetNamespace.h"
#include "ScopedTempDir.h"
#include "TraceCapture.h"
#include "platform/CmPlatformNetIf.h"

namespace {

using zar::_NetworkTypeInfo;

// Probes toward loopback, so the primary address is 127.0.0.1 (which the
// fabricated adapter lists place where a test wants it).
class LoopbackPrimary {
 public:
  LoopbackPrimary() {
    SetPrimaryIpProbeTarget(true, "127.0.0.1", 5004);
    SetPrimaryIpProbeTarget(false, "127.0.0.1", 53);
  }
  ~LoopbackPrimary() {
    SetPrimaryIpProbeTarget(true, "203.0.113.1", 5004);
    SetPrimaryIpProbeTarget(false, "8.8.8.8", 53);
    setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_NOT_DETECTED, false});
  }
};

// A fabricated /sys/class/net and /proc/net/wireless, read instead of the
// real ones while the object lives.
class SysTree {
 public:
  struct Device {
    const char* name;
    int type = 0;             // ARPHRD number
    const char* devType = "";  // DEVTYPE of uevent
    bool wirelessDir = false;
    bool phy80211 = false;
    const char* tunFlags = nullptr;
    const char* alias = nullptr;
  };
  SysTree() { cm_platform::NetSetSysRootForTesting(m_Dir.Path().c_str()); }
  ~SysTree() {
    cm_platform::NetSetSysRootForTesting(nullptr);
    cm_platform::NetInjectFaultForTesting(cm_platform::kNetFaultWifiNetlink, 0, 0);
  }
  void Add(const Device& d) {
    const std::string dir = "sys/class/net/" + std::string(d.name);
    MakeDirs(dir);
    m_Dir.Write(dir + "/type", std::to_string(d.type) + "\n");
    m_Dir.Write(dir + "/uevent", std::string("INTERFACE=") + d.name + (*d.devType ? std::string("\nDEVTYPE=") + d.devType : "") + "\n");
    if (d.wirelessDir) MakeDirs(dir + "/wireless");
    if (d.phy80211) MakeDirs(dir + "/phy80211");
    if (d.tunFlags) m_Dir.Write(dir + "/tun_flags", std::string(d.tunFlags) + "\n");
    if (d.alias) m_Dir.Write(dir + "/ifalias", std::string(d.alias) + "\n");
  }
  void Wireless(const std::string& aLines) {
    MakeDirs("proc/net");
    m_Dir.Write("proc/net/wireless",
                "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
                " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n" +
                    aLines);
  }

 private:
  void MakeDirs(const std::string& aRelative) {
    std::string path = m_Dir.Path();
    size_t start = 0;
    while (start <= aRelative.size()) {
      const size_t slash = aRelative.find('/', start);
      path += "/" + aRelative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      mkdir(path.c_str(), 0700);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  }
  ScopedTempDir m_Dir;
};

const char* kAssociated = " zw0: 0000   54.  -56.  -90        0      0      0      0      0        0\n";

// ---- converters and texts

TEST(NetworkTypeConverters, RssiFrequencyAndBand) {
  const std::pair<int, int> kStrength[] = {{0, 0}, {-1, 100}, {-50, 100}, {-51, 98}, {-75, 50}, {-99, 2}, {-100, 0}, {5, 0}};
  for (const auto& c : kStrength) EXPECT_EQ(c.second, ConvertRssiToStrength(c.first)) << c.first;
  const std::pair<int, int> kChannel[] = {{2411, 0}, {2412, 1},  {2437, 6},    {2484, 15}, {2485, 0},
                                          {5169, 0}, {5170, 34}, {5180, 36}, {5825, 165}, {5826, 0}, {5900, 0}};
  for (const auto& c : kChannel) EXPECT_EQ(c.second, ConvertFrequencyToChannel(c.first)) << c.first;
  const std::pair<int, eWifiChFrequency> kBand[] = {
      {2411, WIFI_CH_FREQUENCY_UNKNOWN}, {2412, WIFI_CH_FREQUENCY_2_4GHZ}, {2484, WIFI_CH_FREQUENCY_2_4GHZ},
      {4914, WIFI_CH_FREQUENCY_UNKNOWN}, {4915, WIFI_CH_FREQUENCY_5GHZ},   {5825, WIFI_CH_FREQUENCY_5GHZ},
      {5826, WIFI_CH_FREQUENCY_UNKNOWN}, {5900, WIFI_CH_FREQUENCY_UNKNOWN}};
  for (const auto& c : kBand) EXPECT_EQ(c.second, CheckWifiChannelBand(c.first)) << c.first;
}

TEST(NetworkTypeConverters, TextsOfEveryValue) {
  const char* kTypes[] = {"NotDetected", "Wifi", "3G", "Edge", "2G", "BlueTooth", "Modem", "PPP",
                          "WWAN",        "Wired", "LTE", "3.5G", "5G", "Wifi", "NotDetected"};
  for (int v = 0; v <= 14; ++v) EXPECT_STREQ(kTypes[v], NetWorkTypeToString(static_cast<zar::eNetworkStatus>(v))) << v;
  EXPECT_STREQ("NotDetected", NetWorkTypeToString(zar::NETWORK_NOT_DETECTED));
  const std::pair<int, const char*> kBands[] = {{0, "NotDetected"}, {1, "2.4GHz"}, {2, "5GHz"}, {3, "NotDetected"}, {255, "Unknown"}};
  for (const auto& c : kBands) EXPECT_STREQ(c.second, WifiChannelFrequencyToString(static_cast<eWifiChFrequency>(c.first)));
  const char* kModes[] = {"Unknown", "802.11a", "802.11b", "802.11g", "802.11n", "802.11ac", "802.11", "Unknown"};
  for (int v = 0; v <= 7; ++v) EXPECT_STREQ(kModes[v], WifiPhyModeToString(static_cast<eWifiPhyMode>(v))) << v;
  EXPECT_STREQ("Unknown", WifiPhyModeToString(WIFI_PHY_MODE_UNKNOWN));
}

TEST(NetworkTypeConverters, VpnNameRuleAndStatusValue) {
  EXPECT_TRUE(IsVPNInterface("Hyper-V Virtual Ethernet Adapter"));
  EXPECT_TRUE(IsVPNInterface("VIRTUAL"));
  EXPECT_FALSE(IsVPNInterface("virtua l"));
  EXPECT_FALSE(IsVPNInterface(""));
  EXPECT_FALSE(IsVPNInterface("wlan0"));
  static_assert(sizeof(_NetworkTypeInfo) == 8, "a 32-bit type and a flag");
  setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_LTE, true});
  EXPECT_EQ(zar::NETWORK_LTE, getNetworkStatus().networkType);
  EXPECT_TRUE(getNetworkStatus().isVPNConnected);
  setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_NOT_DETECTED, false});
  EXPECT_FALSE(getNetworkStatus().isVPNConnected);
}

// ---- classification

struct ClassifyCase {
  const char* name;
  SysTree::Device device;  // the primary adapter as /sys knows it ("" name: unknown to /sys)
  uint32_t enumeratedType;
  bool wifiLink;           // /proc/net/wireless shows an associated link
  zar::eNetworkStatus type;
  bool vpn;
};

const ClassifyCase kClassifyCases[] = {
    {"WirelessDirectory", {"zw0", 1, "", true}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIFI, false},
    {"Phy80211Link", {"zw0", 1, "", false, true}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIFI, false},
    {"DevTypeWlan", {"zw0", 1, "wlan"}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIFI, false},
    {"PlainEthernet", {"zw0", 1}, CM_IF_TYPE_OTHER, true, zar::NETWORK_WIRED, false},
    {"VirtualAdapterOverWifi", {"zw0", 1, "", false, false, nullptr, "Virtual Ethernet Adapter"}, CM_IF_TYPE_ETHERNET, true,
     zar::NETWORK_WIFI, true},
    {"VirtualAdapterWithoutWifi", {"zw0", 1, "", false, false, nullptr, "Virtual Ethernet Adapter"}, CM_IF_TYPE_ETHERNET, false,
     zar::NETWORK_WIRED, true},
    {"VirtualByName", {"zvirtual0", 1}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIRED, true},
    {"Wwan", {"zw0", 519, "wwan"}, CM_IF_TYPE_OTHER, false, zar::NETWORK_WWAN, false},
    {"Ppp", {"zw0", 512}, CM_IF_TYPE_OTHER, false, zar::NETWORK_PPP, true},
    {"Bluetooth", {"zw0", 1, "bluetooth"}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_BLUETOOTH, false},
    {"Tun", {"zw0", 65534, "", false, false, "0x1001"}, CM_IF_TYPE_TUNNEL, false, zar::NETWORK_NOT_DETECTED, true},
    {"Tap", {"zw0", 1, "", false, false, "0x1002"}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIRED, true},
    {"WireGuard", {"zw0", 65534, "wireguard"}, CM_IF_TYPE_TUNNEL, false, zar::NETWORK_NOT_DETECTED, true},
    {"Loopback", {"zw0", 772}, CM_IF_TYPE_LOOPBACK, false, zar::NETWORK_NOT_DETECTED, false},
    {"UnknownToSysWireless", {"", 0}, CM_IF_TYPE_IEEE80211, false, zar::NETWORK_WIFI, false},
    {"UnknownToSysEthernet", {"", 0}, CM_IF_TYPE_ETHERNET, false, zar::NETWORK_WIRED, false},
    {"UnknownToSysWwan", {"", 0}, CM_IF_TYPE_WWAN, false, zar::NETWORK_WWAN, false},
    {"UnknownToSysTunnel", {"", 0}, CM_IF_TYPE_TUNNEL, false, zar::NETWORK_NOT_DETECTED, false},
};

class ClassifyTable : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTable, PrimaryAdapterDecides) {
  const ClassifyCase& c = GetParam();
  LoopbackPrimary primary;
  SysTree sys;
  if (*c.device.name) sys.Add(c.device);
  if (c.wifiLink) sys.Wireless(kAssociated);
  FakeAdapters fake;
  fake.Adapter("zother", CM_IF_TYPE_ETHERNET).Address("10.0.0.1");
  fake.Adapter(*c.device.name ? c.device.name : "zabsent", c.enumeratedType).Address("2001:2::1", 64).Address("127.0.0.1", 8);
  const _NetworkTypeInfo info = DetectNetWorkWindows();
  EXPECT_EQ(c.type, info.networkType);
  EXPECT_EQ(c.vpn, info.isVPNConnected);
  EXPECT_EQ(static_cast<uint32_t>(CM_AF_INET), fake.LastFamily()) << "only IPv4 adapters are asked for";
}

INSTANTIATE_TEST_SUITE_P(DetectNetWorkWindows, ClassifyTable, ::testing::ValuesIn(kClassifyCases),
                         [](const ::testing::TestParamInfo<ClassifyCase>& i) { return std::string(i.param.name); });

TEST(DetectNetWorkWindows, NoAdapterHoldsThePrimaryAddressButAVirtualOneSetsVpn) {
  LoopbackPrimary primary;
  SysTree sys;
  sys.Add({"zeth0", 1});
  sys.Add({"zhv0", 1, "", false, false, nullptr, "Hyper Virtual Ethernet Adapter"});
  FakeAdapters fake;
  fake.Adapter("zeth0").Address("10.0.0.1");
  fake.Adapter("zhv0").Address("10.0.0.2").Address("10.0.0.3");
  TraceCapture trace;
  const _NetworkTypeInfo info = DetectNetWorkWindows();
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, info.networkType);
  EXPECT_TRUE(info.isVPNConnected);
  EXPECT_EQ(std::vector<std::string>({"ZARFunc DetectNetWorkWindows Enter...",
                                      "DetectNetWorkWindows, IP Address =10.0.0.1, adapt type = 6, isVPNConnected = 0",
                                      "DetectNetWorkWindows, IP Address =10.0.0.2, adapt type = 6, isVPNConnected = 1",
                                      "DetectNetWorkWindows, IP Address =10.0.0.3, adapt type = 6, isVPNConnected = 1",
                                      "ZARFunc DetectNetWorkWindows Leave"}),
            [&] {
              std::vector<std::string> out;
              for (const std::string& t : trace.Texts()) {
                if (t.find("getPrimaryIp") == std::string::npos) out.push_back(t.substr(t.find("] ") + 2));
              }
              if (!out.empty() && out.back().find("Leave, cost") != std::string::npos) out.back() = "ZARFunc DetectNetWorkWindows Leave";
              return out;
            }());
}

TEST(DetectNetWorkWindows, PrimaryLineNamesTheAdapterType) {
  LoopbackPrimary primary;
  SysTree sys;
  sys.Add({"zw0", 1, "", true});
  FakeAdapters fake;
  fake.Adapter("zw0").Address("127.0.0.1", 8);
  TraceCapture trace;
  EXPECT_EQ(zar::NETWORK_WIFI, DetectNetWorkWindows().networkType);
  EXPECT_TRUE(trace.Contains("DetectNetWorkWindows, primary IP Address =:127.0.0.1, adapter type = 71", 2));
  EXPECT_TRUE(trace.Contains("DetectNetWorkWindows, IP Address =127.0.0.1, adapt type = 71, isVPNConnected = 0", 2));
}

TEST(DetectNetWorkWindows, FailingEnumerationGivesTheStartingValues) {
  LoopbackPrimary primary;
  SysTree sys;
  sys.Add({"zvirtual0", 1, "", true});
  FakeAdapters fake;
  fake.Adapter("zvirtual0").Address("127.0.0.1", 8);
  fake.SetFailure(CM_ADAPTERS_GEN_FAILURE);
  const _NetworkTypeInfo info = DetectNetWorkWindows();
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, info.networkType);
  EXPECT_FALSE(info.isVPNConnected);
  EXPECT_EQ(1, fake.Calls());
}

// ---- the time limit

TEST(DetectNetWork, BlockedDetectionTimesOutStaysPendingAndIsNotRepeated) {
  LoopbackPrimary primary;
  SysTree sys;
  sys.Add({"zeth0", 1});
  FakeAdapters fake;
  fake.Adapter("zeth0").Address("127.0.0.1", 8);
  fake.BlockCalls();
  setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_WIRED, true});
  TraceCapture trace;
  const auto start = std::chrono::steady_clock::now();
  _NetworkTypeInfo info = DetectNetWork();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, info.networkType);
  EXPECT_FALSE(info.isVPNConnected);
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, getNetworkStatus().networkType) << "the timed-out answer is stored";
  EXPECT_FALSE(getNetworkStatus().isVPNConnected);
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_EQ(1u, trace.Count("DetectNetWorkWindows may hang, timeout after 100ms", 0));
  ASSERT_TRUE(fake.WaitEntered(10000)) << "the detection never reached the source";

  info = DetectNetWork();  // still blocked: waited for, not started again
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, info.networkType);
  EXPECT_EQ(1, fake.SizeQueries());
  EXPECT_EQ(2u, trace.Count("DetectNetWorkWindows may hang, timeout after 100ms", 0));

  fake.Release();
  ASSERT_TRUE(fake.WaitBlockedCallReturned(10000));
  int calls = 0;
  do {
    info = DetectNetWork();
  } while (info.networkType != zar::NETWORK_WIRED && ++calls < 50);
  EXPECT_EQ(zar::NETWORK_WIRED, info.networkType);
  EXPECT_EQ(zar::NETWORK_WIRED, getNetworkStatus().networkType);
  EXPECT_LE(fake.SizeQueries(), 2 + calls) << "one detection at a time";
}

TEST(DetectNetWork, ExceptionInTheDetectionIsReported) {
  LoopbackPrimary primary;
  FakeAdapters fake;
  fake.ThrowOnCall();
  setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_WIRED, true});
  TraceCapture trace;
  // On a loaded machine the detection thread may not even start within the
  // 100 ms; each call then gives up on it, and a later one sees the throw.
  _NetworkTypeInfo info{zar::NETWORK_WIRED, true};
  int calls = 0;
  while (!trace.Contains("DetectNetWorkWindows exception!") && calls++ < 50) info = DetectNetWork();
  EXPECT_EQ(1u, trace.Count("DetectNetWorkWindows exception!", 0));
  EXPECT_EQ(static_cast<size_t>(calls - 1), trace.Count("DetectNetWorkWindows may hang, timeout after 100ms", 0));
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, info.networkType);
  EXPECT_FALSE(info.isVPNConnected);
  EXPECT_EQ(zar::NETWORK_NOT_DETECTED, getNetworkStatus().networkType);
  EXPECT_FALSE(getNetworkStatus().isVPNConnected);
}

// ---- Wi-Fi figures

TEST(GetWifiStats, OnlyWhileTheStatusIsWifi) {
  LoopbackPrimary restore;
  SysTree sys;
  sys.Wireless(kAssociated);
  TraceCapture trace;
  WifiStats stats;
  stats.bssid = "kept";
  for (const zar::eNetworkStatus s : {zar::NETWORK_WIRED, zar::NETWORK_NOT_DETECTED, zar::NETWORK_LTE}) {
    setNetworkStatus(_NetworkTypeInfo{s, false});
    EXPECT_EQ(-1, GetWifiStats(stats));
  }
  EXPECT_EQ("kept", stats.bssid);
  EXPECT_TRUE(trace.Lines().empty());
  for (const zar::eNetworkStatus s : {zar::NETWORK_WIFI, zar::NETWORK_WIFI_OTHER}) {
    setNetworkStatus(_NetworkTypeInfo{s, false});
    EXPECT_EQ(0, GetWifiStats(stats));
  }
}

TEST(GetWifiStats, FiguresFromTheKernelsWirelessTable) {
  LoopbackPrimary restore;
  SysTree sys;
  setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_WIFI, false});
  sys.Wireless(" zdown: 0000    0.    0.  -256        0      0      0      0      0        0\n" + std::string(kAssociated));
  WifiStats stats;
  stats.channel = 7;
  ASSERT_EQ(0, GetWifiStats(stats));
  EXPECT_EQ(-56, stats.rssi);
  EXPECT_EQ(34, stats.snr);
  EXPECT_EQ(88, stats.signalStrength);
  EXPECT_EQ(0, stats.rxRate);
  EXPECT_EQ("NotDetected", stats.bssid);
  EXPECT_EQ(0, stats.channel);
  EXPECT_EQ(WIFI_CH_FREQUENCY_UNKNOWN, stats.band);
  EXPECT_EQ(WIFI_PHY_MODE_UNKNOWN, stats.phyMode);
  sys.Wireless(" zw0: 0000   40.  -70.  -256        0      0      0      0      0        0\n");
  ASSERT_EQ(0, GetWifiStats(stats));
  EXPECT_EQ(-70, stats.rssi);
  EXPECT_EQ(0, stats.snr) << "no noise level, no difference";
  EXPECT_EQ(60, stats.signalStrength);
  EXPECT_EQ("NotDetected", DetectedSSID());
}

struct WifiFailure {
  const char* name;
  const char* wireless;  // null: no /proc/net/wireless
  bool realRoot;         // the real /sys and /proc, with the nl80211 socket failing
  int result;
  const char* statsLine;
  const char* ssidLine;
};

TEST(GetWifiStats, EachFailureHasItsResultAndLines) {
  const WifiFailure kCases[] = {
      {"NoService", nullptr, false, ZAR_E_NOTIMPL, "GetWifiStatsWindows: Windows version is too low to detect Wifi Status.",
       "GetWiFiSSIDWindows: Windows version is too low to detect SSID."},
      {"NoInterface", "", false, ZAR_E_NOT_FOUND, "GetWifiStatsWindows: Wlan Interfaces number is 0",
       "GetWiFiSSIDWindows: Wlan Interfaces number is 0"},
      {"NotAssociated", " zw0: 0000    0.    0.  -256        0      0      0      0      0        0\n", false, ZAR_E_NOT_FOUND,
       "GetWifiStatsWindows: Query current connection failed.", "GetWiFiSSIDWindows: Avaliable Wlan Interfaces number is 0"},
      {"SocketRefused", nullptr, true, ZAR_E_FAIL, "GetWifiStatsWindows: WlanOpenHandle failed, error code = 13",
       "GetWiFiSSIDWindows: WlanOpenHandle failed, error code = 13"},
  };
  LoopbackPrimary restore;
  for (const WifiFailure& c : kCases) {
    SysTree sys;
    if (c.wireless) sys.Wireless(c.wireless);
    if (c.realRoot) {
      cm_platform::NetSetSysRootForTesting(nullptr);
      cm_platform::NetInjectFaultForTesting(cm_platform::kNetFaultWifiNetlink, 2, EACCES);
    }
    setNetworkStatus(_NetworkTypeInfo{zar::NETWORK_WIFI, false});
    TraceCapture trace(3);
    WifiStats stats;
    EXPECT_EQ(c.result, GetWifiStats(stats)) << c.name;
    EXPECT_EQ("NotDetected", stats.bssid) << c.name;
    EXPECT_TRUE(trace.Contains(c.statsLine, 1)) << c.name;
    EXPECT_TRUE(trace.Contains("GetWifiStats: Get wifi stats failed", 3)) << c.name;
    EXPECT_EQ("NotDetected", DetectedSSID()) << c.name;
    EXPECT_TRUE(trace.Contains(c.ssidLine, 1)) << c.name;
  }
}

// ---- real adapters

std::string FirstLine(const std::string& aPath) {
  std::ifstream in(aPath);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST(DetectNetWorkWindows, ThisMachinesPrimaryEthernetIsWired) {
  // The primary address is one of this machine's own (the route to it
  // starts from it), so no probe leaves the machine.
  std::string name, address;
  {
    uint32_t size = 0;
    cm_get_adapters_addresses(CM_AF_INET, 0, nullptr, nullptr, &size);
    std::vector<uint64_t> buffer(size / 8 + 512);
    size = static_cast<uint32_t>(buffer.size() * 8);
    auto* adapters = reinterpret_cast<cm_adapter_addresses*>(buffer.data());
    ASSERT_EQ(0u, cm_get_adapters_addresses(CM_AF_INET, 0, nullptr, adapters, &size));
    for (const cm_adapter_addresses* a = adapters; a && name.empty(); a = a->next) {
      if (a->if_type != CM_IF_TYPE_ETHERNET || !a->first_unicast) continue;
      sockaddr_in in;
      memcpy(&in, &a->first_unicast->address, sizeof(in));
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
      name = a->name;
      address = text;
    }
  }
  const std::string sys = "/sys/class/net/" + name;
  struct stat st;
  if (name.empty() || FirstLine(sys + "/type") != "1" || stat((sys + "/wireless").c_str(), &st) == 0 ||
      stat((sys + "/phy80211").c_str(), &st) == 0 || stat((sys + "/tun_flags").c_str(), &st) == 0) {
    GTEST_SKIP() << "this machine has no plain Ethernet adapter with an IPv4 address";
  }
  LoopbackPrimary restore;
  SetPrimaryIpProbeTarget(true, address.c_str(), 5004);
  TraceCapture trace;
  EXPECT_EQ(zar::NETWORK_WIRED, DetectNetWorkWindows().networkType);
  EXPECT_TRUE(trace.Contains("DetectNetWorkWindows, primary IP Address =:" + address + ", adapter type = 6", 2));
}

TEST(DetectNetWorkWindows, InsideANamespaceTheRoutedAdapterIsFound) {
  NetNamespace ns;
  if (!ns.Ok()) GTEST_SKIP() << ns.Why();
  for (const char* c : {"link add name zdc type veth peer name zdd", "link set dev zdc up", "link set dev zdd up",
                        "addr add 198.51.100.2/24 dev zdc", "route add default via 198.51.100.1 dev zdc"}) {
    ASSERT_TRUE(ns.Ip(c)) << c;
  }
  LoopbackPrimary restore;
  SetPrimaryIpProbeTarget(true, "203.0.113.1", 5004);  // routed by the namespace's default route; nothing is sent
  TraceCapture trace;
  _NetworkTypeInfo info{zar::NETWORK_NOT_DETECTED, true};
  ASSERT_TRUE(ns.RunInside([&] { info = DetectNetWorkWindows(); }));
  EXPECT_EQ(zar::NETWORK_WIRED, info.networkType);
  EXPECT_FALSE(info.isVPNConnected);
  EXPECT_TRUE(trace.Contains("DetectNetWorkWindows, primary IP Address =:198.51.100.2, adapter type = 6", 2));
}

}  // namespace
