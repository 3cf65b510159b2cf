// Address text utilities: conversions and their round trips, the checks,
// transport address splitting, resolution of names that need no network
// ("localhost", numeric texts; other names through the offline lookup seam)
// and the family probes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CmDebug.h"
#include "CmInetAddr.h"
#include "CmInetAddrInternal.h"
#include "TraceCapture.h"
#include "platform/CmPlatformNet.h"

namespace {

// While alive, lookups answer only numeric texts and "localhost", and the
// host's name is aHostName (when not null).
class OfflineHost {
 public:
  explicit OfflineHost(const char* aHostName = nullptr) {
    cm_platform::SetOfflineLookupForTesting(true);
    cm_platform::SetHostNameForTesting(aHostName);
    CmInetResetLocalIpCacheForTesting();
  }
  ~OfflineHost() {
    cm_platform::SetOfflineLookupForTesting(false);
    cm_platform::SetHostNameForTesting(nullptr);
    CmInetResetLocalIpCacheForTesting();
  }
};

struct PtonCase {
  int family;
  const char* text;
  const char* canonical;  // null: refused
  unsigned char first = 0, last = 0;
};

const PtonCase kPtonCases[] = {
    {2, "10.0.0.1", "10.0.0.1", 0x0a, 0x01},
    {2, "255.255.255.255", "255.255.255.255", 0xff, 0xff},
    {23, "2001:DB8::1", "2001:db8::1", 0x20, 0x01},
    {23, "::ffff:1.2.3.4", "::ffff:1.2.3.4", 0x00, 0x04},
    {23, "fe80:0:0:0:0:0:0:1", "fe80::1", 0xfe, 0x01},
    {10, "::", "::", 0x00, 0x00},  // AF_INET6 as Linux numbers it
    {2, "::1", nullptr},
    {23, "10.0.0.1", nullptr},
    {7, "10.0.0.1", nullptr},
    {2, "", nullptr},
    {2, "256.0.0.1", nullptr},
    {2, "1.2.3", nullptr},
    {2, " 1.2.3.4", nullptr},
    {2, "1.2.3.4:80", nullptr},
    {23, "1:2:3:4:5:6:7:8:9", nullptr},
    {23, "[::1]", nullptr},
};

class PtonTable : public ::testing::TestWithParam<PtonCase> {};

TEST_P(PtonTable, ConvertsAndRoundTrips) {
  const PtonCase& c = GetParam();
  unsigned char bytes[17];
  memset(bytes, 0xAB, sizeof(bytes));
  ASSERT_EQ(c.canonical ? 1 : 0, cm_inet_pton(c.family, c.text, bytes)) << c.text;
  const size_t length = !c.canonical ? 0 : c.family == 2 ? 4 : 16;
  for (size_t i = length; i < sizeof(bytes); ++i) EXPECT_EQ(0xAB, bytes[i]) << "byte " << i << " written";
  if (!c.canonical) return;
  EXPECT_EQ(c.first, bytes[0]);
  EXPECT_EQ(c.last, bytes[length - 1]);
  char text[CM_IP_TEXT_SIZE];
  ASSERT_EQ(text, cm_inet_ntop(c.family, bytes, text, sizeof(text)));
  EXPECT_STREQ(c.canonical, text);
  EXPECT_EQ(c.family == 2, isIPv4(c.text));
  EXPECT_EQ(c.family != 2, isIPv6(c.text));
}

INSTANTIATE_TEST_SUITE_P(cm_inet, PtonTable, ::testing::ValuesIn(kPtonCases));

TEST(cm_inet_ntop, RefusalsAndAssertions) {
  const unsigned char v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};  // "::1" needs 4 bytes
  const unsigned char v4[4] = {10, 0, 0, 1};
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  char buf[9] = "xxxxxxxx";
  EXPECT_EQ(nullptr, cm_inet_ntop(23, v6, buf, 3));
  EXPECT_EQ(before + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: sDst.length() < (size_t)size", 0));
  EXPECT_EQ('x', buf[0]);
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, buf, 8));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, buf, -1));
  EXPECT_EQ(before + 3, cm_get_assertions_count());
  EXPECT_EQ(buf, cm_inet_ntop(2, v4, buf, 9));
  EXPECT_STREQ("10.0.0.1", buf);
  EXPECT_EQ(nullptr, cm_inet_ntop(7, v4, buf, 9));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, nullptr, buf, 9));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, nullptr, 9));
  EXPECT_EQ(0, cm_inet_pton(2, nullptr, buf));
}

TEST(cm_inet_ntop, PlatformFailureIsTracedWithItsErrorName) {
  const unsigned char v4[4] = {1, 2, 3, 4};
  char text[CM_IP_TEXT_SIZE];
  TraceCapture trace;
  cm_platform::FailAddressToTextForTesting(1, ENOSPC);
  errno = 0;
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, text, sizeof(text)));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_TRUE(trace.Contains("cm_inet_ntop, WSAAddressToStringW failed, error code: WSAEFAULT", 0));
  cm_platform::FailAddressToTextForTesting(1, ENOBUFS);
  EXPECT_EQ(nullptr, cm_inet_ntop(23, v4, text, sizeof(text)));
  EXPECT_TRUE(trace.Contains("error code: WSAENOBUFS", 0));
  EXPECT_EQ(text, cm_inet_ntop(2, v4, text, sizeof(text)));  // the seam is spent
  EXPECT_STREQ("WSAEINVAL", convertWSAErr2Str(10022));
  EXPECT_STREQ("WSANOTINITIALISED", convertWSAErr2Str(10093));
  EXPECT_STREQ("UNKNOWN ERROR", convertWSAErr2Str(10061));
}

TEST(is_ip_address, DigitsDotsParenthesesAndTabsOnly) {
  EXPECT_TRUE(is_ip_address(""));
  EXPECT_TRUE(is_ip_address("1.2.3.4"));
  EXPECT_TRUE(is_ip_address("1\t2(3"));
  EXPECT_FALSE(is_ip_address("1.2.3.4a"));
  EXPECT_FALSE(is_ip_address("::1"));
  TraceCapture trace;
  EXPECT_FALSE(is_ip_address(nullptr));
  EXPECT_TRUE(trace.Contains("is_ip_address: ip string is null", 0));
}

TEST(ip_2_id, NumbersAndTextsRoundTrip) {
  EXPECT_EQ(16909060u, ip_2_id("1.2.3.4"));
  EXPECT_STREQ("1.2.3.4", id_2_ip(16909060u));
  for (uint32_t id : {0u, 0x7F000001u, 0x80000000u, 0xC0A80101u, 0xFFFFFFFFu}) {
    EXPECT_EQ(id, ip_2_id(id_2_ip(id))) << id;
  }
  EXPECT_EQ(0u, ip_2_id(""));
  EXPECT_EQ(0x01020000u, ip_2_id("1.2"));  // missing numbers count 0
  EXPECT_EQ(0x7F000001u, ip_2_id("localhost"));
  OfflineHost offline;
  TraceCapture trace;
  EXPECT_EQ(0u, ip_2_id("no-such-host"));
  EXPECT_TRUE(trace.Contains("resolve_2_ip: can't resolve host_name: no-such-host", 0));
}

// Answers are IPv4 only: a name with IPv6 addresses alone does not resolve,
// so callers that read the answer as dotted numbers never see IPv6 text.
TEST(resolve_2_ip, AnswersIPv4Only) {
  OfflineHost offline;
  const std::pair<const char*, const char*> cases[] = {
      {"localhost", "127.0.0.1"},  // has ::1 as well
      {"10.1.2.3", "10.1.2.3"},
      {"::1", nullptr},
      {"2001:db8::5", nullptr},
      {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", nullptr},
      {"unknown.example", nullptr},
  };
  for (auto [name, answer] : cases) {
    char dst[CM_IP_TEXT_SIZE] = "keep";
    TraceCapture trace;
    resolve_2_ip(name, dst);
    EXPECT_STREQ(answer ? answer : "keep", dst) << name;
    EXPECT_EQ(answer ? 0u : 1u, trace.Count(std::string("resolve_2_ip: can't resolve host_name: ") + name, 0));
  }
  EXPECT_EQ(0u, ip_2_id("2001:db8::5"));  // not 2001.db8 read as numbers
}

TEST(resolve_2_ip, NullArgumentsAreTracedWithBothTexts) {
  const struct {
    const char* name;
    bool dst;
    const char* line;
  } cases[] = {
      {nullptr, true, "resolve_2_ip: No host_name: ; or ip_address: keep; given"},
      {"localhost", false, "resolve_2_ip: No host_name: localhost; or ip_address: ; given"},
  };
  for (const auto& c : cases) {
    char dst[CM_IP_TEXT_SIZE] = "keep";
    TraceCapture trace;
    resolve_2_ip(c.name, c.dst ? dst : nullptr);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ(0u, trace.Lines()[0].level);
    EXPECT_EQ(std::string("[libzarutil.so] ") + c.line, trace.Lines()[0].text);
    EXPECT_STREQ("keep", dst);
  }
}

struct TransportCase {
  const char* text;
  const char* parts;  // proto|host|port, or null: refused
};

const TransportCase kTransportCases[] = {
    {"udp://10.0.0.1:5004", "udp|10.0.0.1|5004"},
    {"tcp://localhost:80", "tcp|127.0.0.1|80"},
    {"tls://::1:443", "tls||0"},  // the host ends at the first ':'; ":1:443" reads as 0
    {"udp://1.2.3.4:70000", "udp|1.2.3.4|4464"},
    {"udp://1.2.3.4:99999999999", "udp|1.2.3.4|65535"},
    {"udp://1.2.3.4:80:90", "udp|1.2.3.4|80"},
    {"://1.2.3.4:5", "|1.2.3.4|5"},
    {"udp://:5004", "udp||5004"},
    {"udp://10.0.0.1", nullptr},
    {"udp://10.0.0.1:", nullptr},
    {"udp:/10.0.0.1:5004", nullptr},
    {"10.0.0.1:5004", nullptr},
    {"udp://no-such-host:5", nullptr},
    {"udp://1.2.3.4:" "11111111111111111111111111111111111111111111111111", "udp|1.2.3.4|65535"},  // 64
    {"udp://1.2.3.4:" "111111111111111111111111111111111111111111111111111", nullptr},  // 65
};

class TransportTable : public ::testing::TestWithParam<TransportCase> {};

TEST_P(TransportTable, SplitsProtocolHostAndPort) {
  const TransportCase& c = GetParam();
  OfflineHost offline;
  char proto[16] = "keep", host[CM_IP_TEXT_SIZE] = "keep";
  uint16_t port = 7;
  ASSERT_EQ(c.parts != nullptr, transport_address_parse(c.text, proto, sizeof(proto), host, sizeof(host), &port));
  EXPECT_EQ(c.parts ? c.parts : "keep|keep|7", std::string(proto) + "|" + host + "|" + std::to_string(port));
}

INSTANTIATE_TEST_SUITE_P(transport_address_parse, TransportTable, ::testing::ValuesIn(kTransportCases));

TEST(transport_address_parse, CutsOutputsAndAssertsOnBadArguments) {
  char proto[3], host[5];
  uint16_t port = 0;
  EXPECT_TRUE(transport_address_parse("udp://10.0.0.1:9", proto, sizeof(proto), host, sizeof(host), &port));
  EXPECT_STREQ("ud", proto);
  EXPECT_STREQ("10.0", host);
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  EXPECT_FALSE(transport_address_parse(nullptr, proto, 3, host, 5, &port));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", proto, 3, host, 5, nullptr));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", proto, 0, host, 5, &port));
  EXPECT_EQ(before + 3, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: aProtoSize > 0 && aHostSize > 0", 0));
}

TEST(get_local_ip, AnswersTheFirstIPv4OfTheHostNameAndKeepsIt) {
  OfflineHost offline("localhost");
  EXPECT_STREQ("127.0.0.1", get_local_ip());
  cm_platform::SetHostNameForTesting("10.9.8.7");
  EXPECT_STREQ("127.0.0.1", get_local_ip());  // kept from the first answer
  CmInetResetLocalIpCacheForTesting();
  EXPECT_STREQ("10.9.8.7", get_local_ip());
}

TEST(get_local_ip, UnresolvableHostNameIsAnAssertion) {
  OfflineHost offline("2001:db8::5");  // resolves, but to no IPv4 address
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(nullptr, get_local_ip());
  EXPECT_EQ(before + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: host", 0));
}

TEST(ip_check, ProbesOnceAndHonoursTheCallersCache) {
  EXPECT_EQ(1, ipv4_enabled());
  uint32_t v4 = 0xFFFFFFFFu, v6 = 0xFFFFFFFFu, v6Native = 0xFFFFFFFFu, cachedNo = 0, bogus = 0xFFFFFFFFu;
  EXPECT_EQ(1, ip_check(&v4, 2));
  EXPECT_EQ(1u, v4);
  EXPECT_EQ(ipv6_enabled(), ip_check(&v6, 23));
  EXPECT_EQ(ipv6_enabled(), ip_check(&v6Native, 10));
  EXPECT_EQ(0, ip_check(&cachedNo, 2));  // a cached answer is not tested again
  EXPECT_EQ(0, ip_check(&bogus, 9999));
  EXPECT_EQ(0u, bogus);
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(0, ip_check(nullptr, 2));
  EXPECT_EQ(before + 1, cm_get_assertions_count());
}

TEST(isPureIp6, NeedsARealIPv6AndNoRealIPv4) {
  const std::pair<const char*, bool> cases[] = {{"2001:db8::1", true}, {"10.0.0.1", false}, {"fe80::1", false},
                                                {"::1", false},        {"localhost", false}, {"169.254.1.1", false},
                                                {"unknown-name", false}};
  for (const auto& c : cases) {
    OfflineHost offline(c.first);
    EXPECT_EQ(c.second, isPureIp6()) << c.first;
  }
}

}  // namespace
