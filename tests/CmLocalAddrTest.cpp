// The local address list: pruning rules on fabricated lists, the walk of
// get_local_addr over fabricated adapter lists (detection states, skipped
// classes, the primary address first, the buffer-too-small retries, failing
// sources), the primary-address probe against loopback and local
// addresses, the prefix checks, and the system's own enumeration on this
// machine and inside a network namespace of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CmDebug.h"
#include "CmError.h"
#include "CmInetAddr.h"
#include "CmLocalAddr.h"
#include "CmLocalAddrInternal.h"
#include "FakeAdapters.h"
#include "NetNamespace.h"
#include "TraceCapture.h"
#include "platform/CmPlatformNet.h"
#include "platform/CmPlatformNetIf.h"

namespace {

using cm_platform::NetInjectFaultForTesting;

std::string TextOf(const void* aStorage) {
  sockaddr_storage s;
  memcpy(&s, aStorage, sizeof(s));
  char text[INET6_ADDRSTRLEN] = "";
  if (s.ss_family == AF_INET6) inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&s)->sin6_addr, text, sizeof(text));
  else inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&s)->sin_addr, text, sizeof(text));
  return text;
}

std::vector<std::string> Texts(const local_addr* aList) {
  std::vector<std::string> out;
  for (; aList; aList = aList->next) out.push_back(TextOf(&aList->addr));
  return out;
}

// Points both probe targets somewhere on this machine for the life of the
// object; the built-in targets come back at the end.
class ProbeTarget {
 public:
  explicit ProbeTarget(const char* aMedia, const char* aResolver = "127.0.0.1") {
    EXPECT_EQ(ZAR_S_OK, SetPrimaryIpProbeTarget(true, aMedia, 5004));
    EXPECT_EQ(ZAR_S_OK, SetPrimaryIpProbeTarget(false, aResolver, 53));
  }
  ~ProbeTarget() {
    SetPrimaryIpProbeTarget(true, "203.0.113.1", 5004);
    SetPrimaryIpProbeTarget(false, "8.8.8.8", 53);
    EnableDefaultServer4PrimaryIp(true);
  }
};

// Clears every injected platform failure when the test ends.
struct NoFaults {
  ~NoFaults() {
    for (int f = 0; f < cm_platform::kNetFaultCount; ++f) NetInjectFaultForTesting(static_cast<cm_platform::NetFault>(f), 0, 0);
    cm_platform::FailAddressToTextForTesting(0, 0);
  }
};

// ---- fabricated lists for prune_local_addr

struct Elem {
  const char* text;
  const char* ifname;
  long long expireIn;  // seconds from now
  uint32_t flag;
};

local_addr* MakeList(const std::vector<Elem>& aElems) {
  local_addr* head = nullptr;
  local_addr** link = &head;
  const int64_t now = time(nullptr);
  for (const Elem& e : aElems) {
    auto* l = static_cast<local_addr*>(calloc(1, sizeof(local_addr)));
    if (strchr(e.text, ':')) {
      sockaddr_in6 in6{};
      in6.sin6_family = AF_INET6;
      inet_pton(AF_INET6, e.text, &in6.sin6_addr);
      memcpy(&l->addr, &in6, sizeof(in6));
      l->addr_len = sizeof(in6);
      l->expire = now + e.expireIn;
    } else {
      sockaddr_in in{};
      in.sin_family = AF_INET;
      inet_pton(AF_INET, e.text, &in.sin_addr);
      memcpy(&l->addr, &in, sizeof(in));
      l->addr_len = sizeof(in);
    }
    snprintf(l->ifname, sizeof(l->ifname), "%s", e.ifname);
    l->flag = e.flag;
    *link = l;
    link = &l->next;
  }
  return head;
}

constexpr long long kDay = 86400;

struct PruneCase {
  const char* name;
  std::vector<Elem> input;
  std::vector<bool> options;  // empty: null pointer (all true)
  std::vector<std::string> kept;
  bool xlatRemoved;
};

const PruneCase kPruneCases[] = {
    {"DocumentationPrefixesGoThoughGlobal",
     {{"2001:db8::1", "eth0", kDay, 0}, {"3fff::1", "eth1", kDay, 0}, {"2001:2::1", "eth2", kDay, 0}},
     {},
     {"2001:2::1"},
     false},
    {"OneIPv6PerInterfaceTheEarliestToExpire",
     {{"2001:2::1", "eth0", kDay, 0}, {"2001:2::2", "eth0", 3600, 0}, {"2001:2::3", "eth0", 2 * kDay, 0}},
     {},
     {"2001:2::2"},
     false},
    {"EqualExpiryKeepsTheFirst", {{"2001:2::1", "eth0", 3600, 0}, {"2001:2::2", "eth0", 3600, 0}}, {}, {"2001:2::1"}, false},
    {"Flag2WinsOverFlag1WhateverTheExpiry",
     {{"2001:2::1", "eth0", 60, 1}, {"2001:2::2", "eth0", kDay, 2}, {"2001:2::3", "eth0", 30, 1}},
     {},
     {"2001:2::2"},
     false},
    {"OtherFlagPairsDoNotDecide", {{"2001:2::1", "eth0", 60, 0}, {"2001:2::2", "eth0", 30, 1}}, {}, {"2001:2::1", "2001:2::2"}, false},
    {"UndecidedComparisonMovesOnToTheNextKept",
     {{"2001:2::1", "eth0", 60, 0}, {"2001:2::2", "eth0", kDay, 1}, {"2001:2::3", "eth0", 30, 1}, {"2001:2::4", "eth0", 10, 2}},
     {},
     {"2001:2::1", "2001:2::4"},
     false},
    {"LinkLocalUniqueLocalAndGlobalShareTheInterfacesOneSlot",
     {{"fe80::1", "eth0", 600, 0}, {"2001:2::1", "eth0", 60, 0}, {"fd00::1", "eth0", 6000, 0}, {"fd00::2", "eth1", 60, 0}},
     {},
     {"2001:2::1", "fd00::2"},
     false},
    {"InterfacesAreJudgedApart", {{"2001:2::1", "eth0", kDay, 0}, {"2001:2::2", "eth1", 60, 0}}, {}, {"2001:2::1", "2001:2::2"}, false},
    {"ReplacementTakesThePlaceOfTheReplaced",
     {{"10.0.0.1", "eth0", 0, 0}, {"2001:2::1", "eth0", kDay, 0}, {"10.0.0.2", "eth1", 0, 0}, {"2001:2::2", "eth0", 60, 0}},
     {},
     {"10.0.0.1", "2001:2::2", "10.0.0.2"},
     false},
    {"UnusableAndExpiredIPv6Go",
     {{"2001:2::1", "eth0", kDay, 8}, {"2001:2::2", "eth1", 0, 0}, {"2001:2::3", "eth2", -5, 0}, {"2001:2::4", "eth3", 5, 0}},
     {},
     {"2001:2::4"},
     false},
    {"LinkLocalAndUniqueLocalKeptByDefault",
     {{"fe80::1", "eth0", kDay, 0}, {"fd00::1", "eth1", kDay, 0}, {"ff02::1", "eth2", kDay, 0}, {"::1", "lo", kDay, 0}},
     {},
     {"fe80::1", "fd00::1"},
     false},
    {"LinkLocalDroppedWhenNotWanted", {{"fe80::1", "eth0", kDay, 0}, {"fd00::1", "eth1", kDay, 0}}, {false, true, true}, {"fd00::1"}, false},
    {"UniqueLocalDroppedWhenNotWanted", {{"fe80::1", "eth0", kDay, 0}, {"fd00::1", "eth1", kDay, 0}}, {true, false, true}, {"fe80::1"}, false},
    {"IPv4LoopbackGoesOtherIPv4Stays",
     {{"127.0.0.1", "lo", 0, 0}, {"127.8.9.10", "lo", 0, 0}, {"169.254.1.1", "eth0", 0, 0}, {"10.0.0.1", "eth0", 0, 0}},
     {},
     {"169.254.1.1", "10.0.0.1"},
     false},
    {"XlatLastByDefault", {{"192.0.0.2", "v4-rmnet", 0, 0}, {"2001:2::1", "rmnet", kDay, 0}}, {}, {"2001:2::1", "192.0.0.2"}, false},
    {"XlatDroppedBesideIPv6WhenNotWanted",
     {{"192.0.0.2", "v4-rmnet", 0, 0}, {"192.0.0.7", "v4-rmnet", 0, 0}, {"192.0.0.8", "x", 0, 0}, {"2001:2::1", "rmnet", kDay, 0}},
     {true, true, false},
     {"192.0.0.8", "2001:2::1"},
     true},
    {"XlatStaysWithoutSurvivingIPv6",
     {{"192.0.0.2", "v4-rmnet", 0, 0}, {"2001:db8::1", "rmnet", kDay, 0}, {"10.0.0.1", "eth0", 0, 0}},
     {true, true, false},
     {"10.0.0.1", "192.0.0.2"},
     false},
    {"NoXlatNothingRemoved", {{"2001:2::1", "rmnet", kDay, 0}}, {true, true, false}, {"2001:2::1"}, false},
};

class PruneTable : public ::testing::TestWithParam<PruneCase> {};

TEST_P(PruneTable, KeepsWhatTheRulesKeepInOrder) {
  const PruneCase& c = GetParam();
  local_addr* list = MakeList(c.input);
  bool options[3] = {true, true, true};
  for (size_t i = 0; i < c.options.size(); ++i) options[i] = c.options[i];
  bool removed = !c.xlatRemoved;  // must be written either way
  prune_local_addr(&list, c.options.empty() ? nullptr : options, &removed);
  EXPECT_EQ(c.kept, Texts(list));
  EXPECT_EQ(c.xlatRemoved, removed);
  free_local_addr(list);  // the dropped elements were freed by the prune (ASan checks both)
}

INSTANTIATE_TEST_SUITE_P(prune_local_addr, PruneTable, ::testing::ValuesIn(kPruneCases),
                         [](const ::testing::TestParamInfo<PruneCase>& i) { return std::string(i.param.name); });

TEST(prune_local_addr, EmptyAndNullListsOnlyClearTheOutput) {
  bool removed = true;
  local_addr* empty = nullptr;
  prune_local_addr(&empty, nullptr, &removed);
  EXPECT_FALSE(removed);
  EXPECT_EQ(nullptr, empty);
  removed = true;
  prune_local_addr(nullptr, nullptr, &removed);
  EXPECT_FALSE(removed);
  local_addr* one = MakeList({{"10.0.0.1", "eth0", 0, 0}});
  prune_local_addr(&one, nullptr, nullptr);  // no output wanted
  EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, Texts(one));
  free_local_addr(one);
  free_local_addr(nullptr);
}

TEST(prune_local_addr, TracesKeptAndDroppedAddresses) {
  TraceCapture trace(3);
  local_addr* list = MakeList({{"2001:2::1", "eth0", 100, 0},
                               {"2001:db8::5", "eth0", 100, 1},
                               {"fe80::1", "eth1", 100, 0},
                               {"fd00::1", "eth2", 100, 0},
                               {"192.0.0.2", "xl", 0, 0},
                               {"127.0.0.1", "lo", 0, 0}});
  const int64_t expire = list->expire;
  prune_local_addr(&list, nullptr, nullptr);
  const std::string e = std::to_string(expire);
  EXPECT_TRUE(trace.Contains("prune_local_addr, keep global unicast IPv6 Address= eth0,2001:2::1, expire=" + e + ", flag=0", 3));
  EXPECT_TRUE(trace.Contains("prune_local_addr, keep link local IPv6 Address= eth1,fe80::1, expire=" + e + ", flag=0", 3));
  EXPECT_TRUE(trace.Contains("prune_local_addr, keep unique local IPv6 Address= eth2,fd00::1, expire=" + e + ", flag=0", 3));
  EXPECT_TRUE(trace.Contains("prune_local_addr, keep XLAT464 Reserved IPv4 Address= xl,192.0.0.2, expire=0", 3));
  EXPECT_TRUE(trace.Contains("prune_local_addr, delete loopback IPv4 Address= lo,127.0.0.1, expire=0", 3));
  EXPECT_TRUE(trace.Contains("prune_local_addr, IP Address= eth0,2001:db8::5, expire=" + e + ", flag=1", 2));
  EXPECT_TRUE(trace.Contains("prune_local_addr, IP Address= lo,127.0.0.1, expire=0, flag=0", 2));
  EXPECT_EQ(2u, trace.Count("prune_local_addr, IP Address= "));
  free_local_addr(list);
}

TEST(prune_local_addr, AddressWithoutTextIsDroppedWithItsLine) {
  NoFaults restore;
  TraceCapture trace;
  local_addr* list = MakeList({{"2001:2::1", "eth0", kDay, 0}, {"10.0.0.1", "eth0", 0, 0}, {"10.0.0.2", "eth0", 0, 0}});
  cm_platform::FailAddressToTextForTesting(2, EINVAL);
  prune_local_addr(&list, nullptr, nullptr);
  EXPECT_EQ(std::vector<std::string>{"10.0.0.2"}, Texts(list));
  EXPECT_TRUE(trace.Contains("prune_local_addr, inet_ntop failed, errno=22", 0));
  EXPECT_TRUE(trace.Contains("prune_local_addr, inet_ntop failed, error=22", 0));
  free_local_addr(list);
}

TEST(prune_local_addr, ElementOfUnknownFamilyIsJudgedAsIPv4) {
  local_addr* list = MakeList({{"127.0.0.1", "x", 0, 0}, {"10.0.0.1", "y", 0, 0}});
  list->addr.ss_family = 77;
  list->next->addr.ss_family = 77;
  prune_local_addr(&list, nullptr, nullptr);
  ASSERT_NE(nullptr, list);
  EXPECT_STREQ("y", list->ifname);  // its IPv4 bytes are not loopback
  EXPECT_EQ(nullptr, list->next);
  free_local_addr(list);
}

// ---- prefix checks

struct PrefixCase {
  bool v6;
  const char* address;
  const char* prefix;
  const char* mask;
  bool same;
};

const PrefixCase kPrefixCases[] = {
    {false, "10.1.2.3", "10.1.0.0", "255.255.0.0", true},
    {false, "10.2.2.3", "10.1.0.0", "255.255.0.0", false},
    {false, "192.0.0.7", "192.0.0.0", "255.255.255.248", true},
    {false, "192.0.0.8", "192.0.0.0", "255.255.255.248", false},
    {false, "10.1.2.3", "10.1.0.0", "255.255.0.x", false},
    {false, "2001::1", "2000::", "255.255.0.0", false},
    {true, "2001:db8:1::1", "2001:db8::", "ffff:ffff::", true},
    {true, "2001:db9::1", "2001:db8::", "ffff:ffff::", false},
    {true, "3fff:0fff::1", "3fff::", "ffff:f000::", true},
    {true, "3fff:1000::1", "3fff::", "ffff:f000::", false},
    {true, "febf::1", "fe80::", "ffc0::", true},
    {true, "fec0::1", "fe80::", "ffc0::", false},
    {true, "10.1.2.3", "10.1.0.0", "255.255.0.0", false},
    {true, "fe80::1", "fe80::", "", false},
};

TEST(isSamePrefix, ComparesUnderTheMaskAndRefusesBadTexts) {
  for (const PrefixCase& c : kPrefixCases) {
    TraceCapture trace(3);
    const bool same = c.v6 ? isSamePrefixIPv6(c.address, c.prefix, c.mask) : isSamePrefixIPv4(c.address, c.prefix, c.mask);
    EXPECT_EQ(c.same, same) << c.address << " " << c.prefix << " " << c.mask;
    uint8_t b[16];
    const int family = c.v6 ? CM_AF_INET6 : CM_AF_INET;
    const bool parsable = cm_inet_pton(family, c.address, b) && cm_inet_pton(family, c.prefix, b) && cm_inet_pton(family, c.mask, b);
    const std::string line = std::string(c.v6 ? "isSamePrefixIPv6, Invalid IPv6" : "isSamePrefixIPv4, Invalid IPv4") +
                             " address or mask, ip1 = " + c.address + ", ip2 = " + c.prefix + ", mask = " + c.mask;
    EXPECT_EQ(parsable ? 0u : 1u, trace.Count(line, 3)) << line;
  }
}

// ---- the primary address

TEST(getPrimaryIp, NamesTheLocalSideOfTheRouteToTheTarget) {
  ProbeTarget target("127.0.0.1");
  TraceCapture trace(3);
  sockaddr_in local{};
  std::string text;
  ASSERT_EQ(0, getPrimaryIp(&local, &text));
  EXPECT_EQ("127.0.0.1", text);
  EXPECT_EQ(AF_INET, local.sin_family);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), local.sin_addr.s_addr);
  EXPECT_EQ("127.0.0.1", getPrimaryIpStr());
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].text.find("getPrimaryIp, detectIP=127.0.0.1"));
  EXPECT_EQ(3u, lines[0].level);
  EXPECT_NE(std::string::npos, lines[1].text.find("getPrimaryIp is: 127.0.0.1"));
  EXPECT_EQ(2u, lines[1].level);
  EXPECT_NE(std::string::npos, lines[2].text.find("getPrimaryIp, detectIP=127.0.0.1"));
  EXPECT_EQ(0, getPrimaryIp(nullptr, &text));  // no socket address wanted
}

TEST(getPrimaryIp, SwitchChoosesTheResolverTarget) {
  ProbeTarget target("127.0.0.2", "127.0.0.3");
  TraceCapture trace(3);
  EnableDefaultServer4PrimaryIp(false);
  EXPECT_EQ("127.0.0.1", getPrimaryIpStr());  // loopback answers from 127.0.0.1
  EXPECT_TRUE(trace.Contains("getPrimaryIp, detectIP=127.0.0.3", 3));
  EXPECT_TRUE(trace.Contains("EnableDefaultServer4PrimaryIp, value=0", 2));
  EnableDefaultServer4PrimaryIp(true);
  getPrimaryIpStr();
  EXPECT_TRUE(trace.Contains("getPrimaryIp, detectIP=127.0.0.2", 3));
}

struct ProbeFailure {
  cm_platform::NetFault fault;
  int error;
  const char* ipLine;     // getPrimaryIp's line
  const char* strLine;    // getPrimaryIpStr's line
  bool targetTraced;
};

TEST(getPrimaryIp, EachFailingStepHasItsLineAndResult) {
  const ProbeFailure kCases[] = {
      {cm_platform::kNetFaultProbeSocket, EMFILE, "getPrimaryIp, socket failed", "getPrimaryIp, socket failed", false},
      {cm_platform::kNetFaultProbeConnect, ENETUNREACH, "getPrimaryIp, connect failed, errno=101", "getPrimaryIpStr, connect failed", true},
      {cm_platform::kNetFaultProbeGetSockName, ENOBUFS, "getPrimaryIp, getsockname failed", "getPrimaryIpStr, getsockname failed", true},
  };
  ProbeTarget target("127.0.0.1");
  NoFaults restore;
  for (const ProbeFailure& c : kCases) {
    TraceCapture trace(3);
    NetInjectFaultForTesting(c.fault, 2, c.error);
    sockaddr_in local{};
    local.sin_port = 77;
    std::string text = "unchanged";
    EXPECT_EQ(-1, getPrimaryIp(&local, &text)) << c.ipLine;
    EXPECT_EQ("unchanged", text);
    EXPECT_EQ(77, local.sin_port);
    EXPECT_EQ("", getPrimaryIpStr());
    const bool sameLine = std::string(c.ipLine) == c.strLine;
    EXPECT_EQ(sameLine ? 2u : 1u, trace.Count(c.ipLine, 0));
    EXPECT_EQ(sameLine ? 2u : 1u, trace.Count(c.strLine, 0));
    EXPECT_EQ(c.targetTraced ? 2u : 0u, trace.Count("getPrimaryIp, detectIP="));
  }
}

TEST(getPrimaryIp, TextConversionFailureAndRefusals) {
  ProbeTarget target("127.0.0.1");
  NoFaults restore;
  TraceCapture trace;
  std::string text;
  cm_platform::FailAddressToTextForTesting(1, EINVAL);
  EXPECT_EQ(-1, getPrimaryIp(nullptr, &text));
  EXPECT_TRUE(trace.Contains("getPrimaryIp, inet_ntop failed, error=22", 0));
  const unsigned asserts = cm_get_assertions_count();
  EXPECT_EQ(-1, getPrimaryIp(nullptr, nullptr));
  EXPECT_EQ(asserts + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: aText != nullptr", 0));
  EXPECT_EQ(ZAR_E_INVALIDARG, SetPrimaryIpProbeTarget(true, "media.example.com", 5004));
  EXPECT_EQ(ZAR_E_INVALIDARG, SetPrimaryIpProbeTarget(false, nullptr, 53));
  EXPECT_TRUE(trace.Contains("SetPrimaryIpProbeTarget, not an IPv4 address: media.example.com", 0));
  EXPECT_EQ("127.0.0.1", getPrimaryIpStr());  // the refused targets changed nothing
}

// ---- get_local_addr over fabricated adapter lists

TEST(get_local_addr, KeepsPreferredAddressesOutsideTheSkippedClasses) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("lo", CM_IF_TYPE_LOOPBACK).Address("127.0.0.1", 8).Address("::1", 128);
  fake.Adapter("eth0")
      .Address("10.0.0.1")
      .Address("169.254.3.4", 16)
      .Address("10.0.0.2", 24, CM_DAD_TENTATIVE)
      .Address("fe80::1", 64)
      .Address("2001:2::1", 64, CM_DAD_PREFERRED, 3600)
      .Address("2001:2::2", 64, CM_DAD_DEPRECATED, 0)
      .Address("2001:2::3", 64, CM_DAD_DUPLICATE)
      .Address("fd00::1", 64, CM_DAD_PREFERRED, CM_LIFETIME_INFINITE, CM_UNICAST_TEMPORARY);
  fake.Adapter("0123456789012345678901234567890123456789012345678901234567890123").Address("10.9.9.9");
  const int64_t before = time(nullptr);
  local_addr* list = reinterpret_cast<local_addr*>(0x1);  // overwritten whatever happens
  ASSERT_EQ(0, get_local_addr(&list));
  const int64_t after = time(nullptr);
  EXPECT_EQ(std::vector<std::string>({"10.0.0.1", "2001:2::1", "fd00::1", "10.9.9.9"}), Texts(list));
  const local_addr* v4 = list;
  const local_addr* v6 = list->next;
  EXPECT_EQ(16u, v4->addr_len);
  EXPECT_EQ(0, v4->expire);
  EXPECT_EQ(28u, v6->addr_len);
  EXPECT_GE(v6->expire, before + 3600);
  EXPECT_LE(v6->expire, after + 3600);
  EXPECT_GE(list->next->next->expire, before + 0xFFFFFFFFll) << "an infinite lifetime counts as 2^32 - 1 s";
  EXPECT_LE(list->next->next->expire, after + 0xFFFFFFFFll);
  EXPECT_STREQ("eth0", v6->ifname);
  EXPECT_EQ(63u, strlen(list->next->next->next->ifname));
  for (const local_addr* l = list; l; l = l->next) EXPECT_EQ(0u, l->flag);
  EXPECT_EQ(0u, fake.LastFamily());
  free_local_addr(list);
}

TEST(get_local_addr, TracesEachKeptAddressAndOtherFamiliesWithoutTheName) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("secret-name")
      .Address("10.0.0.1")
      .OtherFamily(17)
      .Address("10.0.0.2", 24, CM_DAD_TENTATIVE)
      .OtherFamily(17, CM_DAD_TENTATIVE);  // skipped before it is looked at
  TraceCapture trace;
  local_addr* list = nullptr;
  ASSERT_EQ(0, get_local_addr(&list));
  EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, Texts(list));
  EXPECT_TRUE(trace.Contains("get_local_addr, addr=10.0.0.1, ifname=**********, lifetime=4294967295, state=4, now=", 2));
  EXPECT_TRUE(trace.Contains("get_local_addr, addr=, ifname=**********, lifetime=4294967295, state=4, now=", 2));
  EXPECT_EQ(2u, trace.Count("get_local_addr, addr="));
  EXPECT_FALSE(trace.Contains("secret-name"));
  free_local_addr(list);
}

TEST(get_local_addr, HostWithOnlyLoopbackAndLinkLocalGivesAnEmptyList) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("lo", CM_IF_TYPE_LOOPBACK).Address("127.0.0.1", 8).Address("::1", 128);
  fake.Adapter("eth0").Address("169.254.9.9", 16).Address("fe80::2", 64).Address("febf::3", 64);
  local_addr* list = reinterpret_cast<local_addr*>(0x1);
  EXPECT_EQ(-1, get_local_addr(&list));
  EXPECT_EQ(nullptr, list);
}

// A non-loopback IPv4 address of this machine, found by the system's own
// enumeration; empty when it has none.
std::string MachineIPv4() {
  uint32_t size = 0;
  if (cm_get_adapters_addresses(CM_AF_INET, 0, nullptr, nullptr, &size) != CM_ADAPTERS_BUFFER_OVERFLOW) return "";
  std::vector<uint64_t> buffer(size / 8 + 1);
  auto* adapters = reinterpret_cast<cm_adapter_addresses*>(buffer.data());
  if (cm_get_adapters_addresses(CM_AF_INET, 0, nullptr, adapters, &size) != CM_ADAPTERS_SUCCESS) return "";
  for (const cm_adapter_addresses* a = adapters; a; a = a->next) {
    for (const cm_adapter_unicast* u = a->first_unicast; u; u = u->next) {
      const std::string text = TextOf(&u->address);
      if (text.compare(0, 4, "127.") != 0 && text.compare(0, 8, "169.254.") != 0 && u->dad_state == CM_DAD_PREFERRED) return text;
    }
  }
  return "";
}

TEST(get_local_addr, PrimaryAddressComesFirstEvenFromTheLastAdapter) {
  const std::string own = MachineIPv4();
  if (own.empty()) GTEST_SKIP() << "this machine has no IPv4 address besides loopback";
  ProbeTarget target(own.c_str());  // the route to one's own address starts from it
  FakeAdapters fake;
  fake.Adapter("eth0").Address("10.0.0.1").Address("2001:2::1", 64, CM_DAD_PREFERRED, 600);
  fake.Adapter("eth1").Address("10.0.0.2").Address(own.c_str());
  local_addr* list = nullptr;
  ASSERT_EQ(0, get_local_addr(&list));
  EXPECT_EQ(std::vector<std::string>({own, "10.0.0.1", "2001:2::1", "10.0.0.2"}), Texts(list));
  EXPECT_STREQ("eth1", list->ifname);
  prune_local_addr(&list, nullptr, nullptr);
  EXPECT_EQ(own, Texts(list).front());
  free_local_addr(list);
}

TEST(get_local_addr, RetriesWithTheSizeAskedFor) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("eth0").Address("10.0.0.1");
  fake.SetOverflows(2, 40000);
  TraceCapture trace;
  local_addr* list = nullptr;
  ASSERT_EQ(0, get_local_addr(&list));
  EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, Texts(list));
  const std::vector<uint32_t> offered = fake.OfferedSizes();
  ASSERT_EQ(3u, offered.size());
  EXPECT_EQ(32768u, offered[0]);
  EXPECT_GT(offered[1], 40000u);
  EXPECT_EQ(offered[1], offered[2]);
  EXPECT_EQ(2u, trace.Count("get_local_addr, buffer overflow, needed buffer=" + std::to_string(offered[1]), 1));
  free_local_addr(list);
}

TEST(get_local_addr, FifthBufferTooSmallFailsWithThePrimaryAddressAlone) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("eth0").Address("10.0.0.1");
  fake.SetOverflows(100);
  TraceCapture trace;
  local_addr* list = nullptr;
  EXPECT_EQ(-1, get_local_addr(&list));
  EXPECT_EQ(5, fake.Calls());
  EXPECT_EQ(5u, trace.Count("get_local_addr, buffer overflow, needed buffer=", 1));
  EXPECT_TRUE(trace.Contains("get_local_addr, ERROR on GetAdaptersAddresses, code=111, errPrim=0", 0));
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, Texts(list));
  EXPECT_EQ(16u, list->addr_len);
  EXPECT_STREQ("", list->ifname);
  EXPECT_EQ(0, list->expire);
  free_local_addr(list);
}

TEST(get_local_addr, FailingSourceWithoutPrimaryGivesNothing) {
  ProbeTarget target("127.0.0.1");
  NoFaults restore;
  FakeAdapters fake;
  fake.SetFailure(CM_ADAPTERS_GEN_FAILURE);
  TraceCapture trace;
  NetInjectFaultForTesting(cm_platform::kNetFaultProbeConnect, 1, ENETUNREACH);
  local_addr* list = reinterpret_cast<local_addr*>(0x1);
  EXPECT_EQ(-1, get_local_addr(&list));
  EXPECT_EQ(nullptr, list);
  EXPECT_TRUE(trace.Contains("get_local_addr, ERROR on GetAdaptersAddresses, code=31, errPrim=-1", 0));
  EXPECT_EQ(1, fake.Calls());
}

TEST(get_local_addr, BufferThatCannotBeAllocated) {
  ProbeTarget target("127.0.0.1");
  NoFaults restore;
  FakeAdapters fake;
  fake.Adapter("eth0").Address("10.0.0.1");
  TraceCapture trace;
  NetInjectFaultForTesting(cm_platform::kNetFaultAdapterBuffer, 1, ENOMEM);
  local_addr* list = reinterpret_cast<local_addr*>(0x1);
  EXPECT_EQ(-1, get_local_addr(&list));
  EXPECT_EQ(nullptr, list);
  EXPECT_EQ(0, fake.Calls());
  EXPECT_TRUE(trace.Contains("get_local_addr, Memory allocation failed for IP_ADAPTER_ADDRESSES struct", 0));
}

TEST(get_local_addr, NullOutputIsRefused) {
  TraceCapture trace;
  const unsigned asserts = cm_get_assertions_count();
  EXPECT_EQ(ZAR_E_INVALIDARG, get_local_addr(nullptr));
  EXPECT_EQ(asserts + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: res != nullptr", 0));
}

TEST(get_local_addr, FirstHundredFiftyCallsAreBracketedByTracerLines) {
  ProbeTarget target("127.0.0.1");
  FakeAdapters fake;
  fake.Adapter("eth0").Address("10.0.0.1");
  CmLocalAddrResetTracedCallsForTesting();
  TraceCapture trace;
  for (int i = 0; i < 151; ++i) {
    local_addr* list = nullptr;
    get_local_addr(&list);
    free_local_addr(list);
  }
  EXPECT_EQ(150u, trace.Count("ZARFunc get_local_addr Enter...", 2));
  EXPECT_EQ(150u, trace.Count("ZARFunc get_local_addr Leave"));
  EXPECT_EQ(151u, trace.Count("get_local_addr, addr=10.0.0.1"));
}

TEST(SetGetAdaptersAddressesFuc, ReplacesTracesAndRefusesNull) {
  const cm_get_adapters_addresses_fn original = GetGetAdaptersAddressesFuc();
  EXPECT_EQ(&cm_get_adapters_addresses, original);
  TraceCapture trace;
  {
    FakeAdapters fake;
    EXPECT_NE(original, GetGetAdaptersAddressesFuc());
    char expected[64];
    snprintf(expected, sizeof(expected), "SetGetAdaptersAddressesFuc, fn=0x%x, old=0x%x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetGetAdaptersAddressesFuc())),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(original)));
    EXPECT_TRUE(trace.Contains(expected, 2)) << expected;
    const unsigned asserts = cm_get_assertions_count();
    const cm_get_adapters_addresses_fn fakeFn = GetGetAdaptersAddressesFuc();
    SetGetAdaptersAddressesFuc(nullptr);
    EXPECT_EQ(asserts + 1, cm_get_assertions_count());
    EXPECT_TRUE(trace.Contains("Assert failed: aFunc != nullptr", 0));
    EXPECT_EQ(fakeFn, GetGetAdaptersAddressesFuc());
  }
  EXPECT_EQ(original, GetGetAdaptersAddressesFuc());
}

// ---- the system's own enumeration

// Copies the system's adapter list into a buffer of the right size.
struct SystemAdapters {
  std::vector<uint64_t> buffer;
  uint32_t result = 0;
  cm_adapter_addresses* First() { return reinterpret_cast<cm_adapter_addresses*>(buffer.data()); }
  explicit SystemAdapters(uint32_t aFamily = 0, uint32_t aFlags = 0) {
    uint32_t size = 0;
    result = cm_get_adapters_addresses(aFamily, aFlags, nullptr, nullptr, &size);
    if (result != CM_ADAPTERS_BUFFER_OVERFLOW) return;
    size += 4096;  // room for an address born in between
    buffer.assign(size / 8 + 1, 0);
    result = cm_get_adapters_addresses(aFamily, aFlags, nullptr, First(), &size);
  }
  // "name address/prefix" of every unicast address.
  std::set<std::string> Addresses() {
    std::set<std::string> out;
    for (const cm_adapter_addresses* a = First(); result == 0 && a; a = a->next) {
      for (const cm_adapter_unicast* u = a->first_unicast; u; u = u->next) {
        out.insert(std::string(a->name) + " " + TextOf(&u->address) + "/" + std::to_string(u->prefix_length));
      }
    }
    return out;
  }
  const cm_adapter_addresses* Named(const char* aName) {
    for (const cm_adapter_addresses* a = First(); result == 0 && a; a = a->next) {
      if (strcmp(a->name, aName) == 0) return a;
    }
    return nullptr;
  }
};

int PrefixOf(const sockaddr* aMask) {
  if (!aMask) return 0;
  const uint8_t* b = aMask->sa_family == AF_INET6 ? reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(aMask)->sin6_addr)
                                                  : reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(aMask)->sin_addr);
  int bits = 0;
  for (int i = 0; i < (aMask->sa_family == AF_INET6 ? 16 : 4); ++i) bits += __builtin_popcount(b[i]);
  return bits;
}

// What the C library's getifaddrs says, in the same form.
std::set<std::string> IfaddrsAddresses() {
  std::set<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* p = list; p; p = p->ifa_next) {
    if (!p->ifa_addr || (p->ifa_addr->sa_family != AF_INET && p->ifa_addr->sa_family != AF_INET6)) continue;
    out.insert(std::string(p->ifa_name) + " " + TextOf(p->ifa_addr) + "/" + std::to_string(PrefixOf(p->ifa_netmask)));
  }
  freeifaddrs(list);
  return out;
}

TEST(cm_get_adapters_addresses, AgreesWithTheCLibraryOnThisMachine) {
  SystemAdapters system;
  ASSERT_EQ(0u, system.result);
  EXPECT_EQ(IfaddrsAddresses(), system.Addresses());
  const cm_adapter_addresses* lo = system.Named("lo");
  ASSERT_NE(nullptr, lo);
  EXPECT_EQ(CM_IF_TYPE_LOOPBACK, static_cast<int>(lo->if_type));
  EXPECT_EQ(if_nametoindex("lo"), lo->if_index);
  EXPECT_TRUE(system.Addresses().count("lo 127.0.0.1/8"));
}

TEST(cm_get_adapters_addresses, FallbackAnswersTheSameAddresses) {
  NoFaults restore;
  const std::set<std::string> byNetlink = SystemAdapters().Addresses();
  NetInjectFaultForTesting(cm_platform::kNetFaultRouteNetlink, 1000, EACCES);
  SystemAdapters fallback;
  ASSERT_EQ(0u, fallback.result);
  EXPECT_EQ(byNetlink, fallback.Addresses());
  const cm_adapter_addresses* lo = fallback.Named("lo");
  ASSERT_NE(nullptr, lo);
  EXPECT_EQ(CM_IF_TYPE_LOOPBACK, static_cast<int>(lo->if_type));
  EXPECT_EQ(if_nametoindex("lo"), lo->if_index);
  ASSERT_NE(nullptr, lo->first_unicast);
  EXPECT_EQ(CM_DAD_PREFERRED, lo->first_unicast->dad_state);
  EXPECT_EQ(CM_LIFETIME_INFINITE, lo->first_unicast->preferred_lifetime);
}

TEST(cm_get_adapters_addresses, BothSourcesFailing) {
  NoFaults restore;
  ProbeTarget target("127.0.0.1");
  NetInjectFaultForTesting(cm_platform::kNetFaultRouteNetlink, 1000, EACCES);
  NetInjectFaultForTesting(cm_platform::kNetFaultIfaddrs, 1000, ENOMEM);
  EXPECT_EQ(static_cast<uint32_t>(CM_ADAPTERS_GEN_FAILURE), SystemAdapters().result);
  TraceCapture trace;
  local_addr* list = nullptr;
  EXPECT_EQ(-1, get_local_addr(&list));
  EXPECT_TRUE(trace.Contains("get_local_addr, ERROR on GetAdaptersAddresses, code=31, errPrim=0", 0));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, Texts(list));
  free_local_addr(list);
}

TEST(cm_get_adapters_addresses, ArgumentsSizesAndFilters) {
  uint32_t size = 0;
  EXPECT_EQ(static_cast<uint32_t>(CM_ADAPTERS_INVALID_PARAMETER), cm_get_adapters_addresses(0, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(static_cast<uint32_t>(CM_ADAPTERS_INVALID_PARAMETER), cm_get_adapters_addresses(7, 0, nullptr, nullptr, &size));
  EXPECT_EQ(static_cast<uint32_t>(CM_ADAPTERS_BUFFER_OVERFLOW), cm_get_adapters_addresses(0, 0, nullptr, nullptr, &size));
  ASSERT_GT(size, 0u);
  std::vector<uint64_t> small(2, 0);
  uint32_t smallSize = 16;
  EXPECT_EQ(static_cast<uint32_t>(CM_ADAPTERS_BUFFER_OVERFLOW),
            cm_get_adapters_addresses(0, 0, nullptr, reinterpret_cast<cm_adapter_addresses*>(small.data()), &smallSize));
  EXPECT_EQ(0u, small[0] | small[1]) << "a buffer too small stays untouched";
  for (const uint32_t family : {2u, 23u, 10u}) {
    SystemAdapters only(family);
    ASSERT_EQ(0u, only.result);
    for (const std::string& a : only.Addresses()) EXPECT_EQ(family != 2, a.find(':') != std::string::npos) << a;
  }
  SystemAdapters none(0, CM_ADAPTERS_FLAG_SKIP_UNICAST);
  ASSERT_EQ(0u, none.result);
  EXPECT_NE(nullptr, none.Named("lo"));
  EXPECT_TRUE(none.Addresses().empty());
}

// The system's own source end to end: every usable address getifaddrs
// knows, under its adapter's name, the primary address first.
TEST(get_local_addr, ThisMachinesListIsItsUsableAddressesPrimaryFirst) {
  const std::string own = MachineIPv4();
  ProbeTarget target(own.empty() ? "127.0.0.1" : own.c_str());
  std::set<std::string> notPreferred;
  SystemAdapters system;
  ASSERT_EQ(0u, system.result);
  for (const cm_adapter_addresses* a = system.First(); a; a = a->next) {
    for (const cm_adapter_unicast* u = a->first_unicast; u; u = u->next) {
      if (u->dad_state != CM_DAD_PREFERRED) notPreferred.insert(std::string(a->name) + " " + TextOf(&u->address));
    }
  }
  std::set<std::string> expected;
  ifaddrs* ifs = nullptr;
  ASSERT_EQ(0, getifaddrs(&ifs));
  for (const ifaddrs* p = ifs; p; p = p->ifa_next) {
    if (!p->ifa_addr || (p->ifa_addr->sa_family != AF_INET && p->ifa_addr->sa_family != AF_INET6)) continue;
    const std::string text = TextOf(p->ifa_addr);
    const bool skipped = text.compare(0, 4, "127.") == 0 || text.compare(0, 8, "169.254.") == 0 || text == "::1" ||
                         isSamePrefixIPv6(text, "fe80::", "ffc0::");
    if (!skipped && !notPreferred.count(std::string(p->ifa_name) + " " + text)) expected.insert(std::string(p->ifa_name) + " " + text);
  }
  freeifaddrs(ifs);
  local_addr* list = nullptr;
  const int32_t result = get_local_addr(&list);
  EXPECT_EQ(expected.empty() ? -1 : 0, result);
  std::set<std::string> listed;
  size_t count = 0;
  for (const local_addr* l = list; l; l = l->next, ++count) {
    listed.insert(std::string(l->ifname) + " " + TextOf(&l->addr));
    EXPECT_EQ(l->addr.ss_family == AF_INET6 ? 28u : 16u, l->addr_len);
  }
  EXPECT_EQ(expected, listed);
  EXPECT_EQ(expected.size(), count) << "no address twice";
  if (!own.empty()) {
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(own, TextOf(&list->addr));
  }
  free_local_addr(list);
}

// ---- inside a network namespace of the test's own

// lo, and a veth end "zla" whose peer is down (so it has no carrier): its
// addresses keep the detection states they are given.
class InNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_Ns.Ok()) GTEST_SKIP() << m_Ns.Why();
    const char* kCommands[] = {
        "link add name zla type veth peer name zlb",
        "link set dev zla up",
        "addr add 192.0.2.10/24 dev zla",
        "addr add 169.254.7.7/16 dev zla",
        "addr add 192.0.0.2/29 dev zla",
        "-6 addr add 2001:2::10/64 dev zla nodad",
        "-6 addr add fd00:15::10/64 dev zla nodad",
        "-6 addr add fe80::15/64 dev zla nodad",
        "-6 addr add 2001:2::11/64 dev zla nodad preferred_lft 0 valid_lft 600",
        "-6 addr add 2001:2::12/64 dev zla nodad preferred_lft 1800 valid_lft 3600",
        "-6 addr add 2001:2::13/64 dev zla",
    };
    for (const char* c : kCommands) ASSERT_TRUE(m_Ns.Ip(c)) << c;
  }
  NetNamespace m_Ns;
};

TEST_F(InNamespace, KernelStatesLifetimesAndScopesComeThrough) {
  std::map<std::string, cm_adapter_unicast> byText;
  uint32_t index = 0, type = 0;
  int32_t oper = 0;
  std::vector<std::string> adapters, kernelNames;
  ASSERT_TRUE(m_Ns.RunInside([&] {
    index = if_nametoindex("zla");
    if (struct if_nameindex* names = if_nameindex()) {
      for (const struct if_nameindex* n = names; n->if_index != 0; ++n) kernelNames.push_back(n->if_name);
      if_freenameindex(names);
    }
    SystemAdapters system;
    if (system.result != 0) return;
    for (const cm_adapter_addresses* a = system.First(); a; a = a->next) adapters.push_back(a->name);
    const cm_adapter_addresses* zla = system.Named("zla");
    if (!zla) return;
    type = zla->if_type;
    oper = zla->oper_status;
    for (const cm_adapter_unicast* u = zla->first_unicast; u; u = u->next) byText[TextOf(&u->address)] = *u;
  }));
  // lo, zla, zlb, and the fallback tunnel devices some kernels add to every
  // namespace, in the kernel's order.
  EXPECT_EQ(kernelNames, adapters);
  EXPECT_EQ(1, std::count(adapters.begin(), adapters.end(), "zlb"));
  EXPECT_EQ(static_cast<uint32_t>(CM_IF_TYPE_ETHERNET), type);
  EXPECT_EQ(CM_IF_OPER_LOWER_LAYER_DOWN, oper);
  ASSERT_EQ(9u, byText.size());
  EXPECT_EQ(24u, byText["192.0.2.10"].prefix_length);
  EXPECT_EQ(29u, byText["192.0.0.2"].prefix_length);
  EXPECT_EQ(CM_DAD_PREFERRED, byText["2001:2::10"].dad_state);
  EXPECT_EQ(CM_DAD_TENTATIVE, byText["2001:2::13"].dad_state);
  EXPECT_EQ(CM_DAD_DEPRECATED, byText["2001:2::11"].dad_state);
  EXPECT_EQ(static_cast<uint32_t>(CM_UNICAST_DEPRECATED), byText["2001:2::11"].flags);
  EXPECT_EQ(0u, byText["2001:2::11"].preferred_lifetime);
  EXPECT_LE(byText["2001:2::12"].preferred_lifetime, 1800u);
  EXPECT_GT(byText["2001:2::12"].preferred_lifetime, 1700u);
  EXPECT_LE(byText["2001:2::12"].valid_lifetime, 3600u);
  EXPECT_GT(byText["2001:2::12"].valid_lifetime, 3500u);
  EXPECT_EQ(CM_LIFETIME_INFINITE, byText["fd00:15::10"].preferred_lifetime);
  sockaddr_in6 ll;
  memcpy(&ll, &byText["fe80::15"].address, sizeof(ll));
  EXPECT_EQ(index, ll.sin6_scope_id);
  sockaddr_in6 global;
  memcpy(&global, &byText["2001:2::10"].address, sizeof(global));
  EXPECT_EQ(0u, global.sin6_scope_id);
  EXPECT_EQ(28u, byText["2001:2::10"].address_len);
  EXPECT_EQ(16u, byText["192.0.2.10"].address_len);
}

TEST_F(InNamespace, ListAndPruneOverTheKernelsAnswer) {
  ProbeTarget target("192.0.2.10");
  std::vector<std::string> listed, pruned, noXlat;
  bool removed = false;
  int32_t result = 1;
  ASSERT_TRUE(m_Ns.RunInside([&] {
    local_addr* list = nullptr;
    result = get_local_addr(&list);
    listed = Texts(list);
    prune_local_addr(&list, nullptr, nullptr);
    pruned = Texts(list);
    free_local_addr(list);
    const bool options[3] = {true, true, false};
    list = nullptr;
    get_local_addr(&list);
    prune_local_addr(&list, options, &removed);
    noXlat = Texts(list);
    free_local_addr(list);
  }));
  EXPECT_EQ(0, result);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ("192.0.2.10", listed.front());
  EXPECT_EQ(std::set<std::string>({"192.0.2.10", "192.0.0.2", "2001:2::10", "fd00:15::10", "2001:2::12"}),
            std::set<std::string>(listed.begin(), listed.end()));
  EXPECT_EQ(5u, listed.size());
  EXPECT_EQ(std::vector<std::string>({"192.0.2.10", "2001:2::12", "192.0.0.2"}), pruned);
  EXPECT_EQ(std::vector<std::string>({"192.0.2.10", "2001:2::12"}), noXlat);
  EXPECT_TRUE(removed);
}

TEST_F(InNamespace, ProbeWithoutARouteAndWithADefaultRoute) {
  ProbeTarget target("203.0.113.1", "8.8.8.8");  // the built-in targets; the probe sends nothing
  TraceCapture trace(3);
  std::string unrouted = "x", routed, resolver;
  ASSERT_TRUE(m_Ns.RunInside([&] { unrouted = getPrimaryIpStr(); }));
  EXPECT_EQ("", unrouted);
  EXPECT_TRUE(trace.Contains("getPrimaryIpStr, connect failed", 0));
  ASSERT_TRUE(m_Ns.Ip("link add name zlc type veth peer name zld"));
  ASSERT_TRUE(m_Ns.Ip("link set dev zlc up"));
  ASSERT_TRUE(m_Ns.Ip("link set dev zld up"));
  ASSERT_TRUE(m_Ns.Ip("addr add 198.51.100.2/24 dev zlc"));
  ASSERT_TRUE(m_Ns.Ip("route add default via 198.51.100.1 dev zlc"));
  ASSERT_TRUE(m_Ns.RunInside([&] {
    routed = getPrimaryIpStr();
    EnableDefaultServer4PrimaryIp(false);
    std::string text;
    if (getPrimaryIp(nullptr, &text) == 0) resolver = text;
  }));
  EXPECT_EQ("198.51.100.2", routed);
  EXPECT_EQ("198.51.100.2", resolver);
  EXPECT_TRUE(trace.Contains("getPrimaryIp, detectIP=203.0.113.1", 3));
  EXPECT_TRUE(trace.Contains("getPrimaryIp, detectIP=8.8.8.8", 3));
}

}  // namespace
