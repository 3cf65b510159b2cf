// Address text utilities: conversions and their round trips, the checks,
// transport address splitting, resolution of names that need no network
// ("localhost", numeric texts; everything else through the offline lookup
// seam) and the family probes.
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

// Lookups answer only numeric texts and "localhost" while it lives, and the
// host name is the one given (when not null).
class OfflineHost {
 public:
  explicit OfflineHost(const char* aHostName = nullptr) {
    cm_platform::cm_platform_test_set_offline_lookup(true);
    cm_platform::cm_platform_test_set_host_name(aHostName);
    CmInetResetLocalIpCache();
  }
  ~OfflineHost() {
    cm_platform::cm_platform_test_set_offline_lookup(false);
    cm_platform::cm_platform_test_set_host_name(nullptr);
    CmInetResetLocalIpCache();
  }
};

std::string Hex(const unsigned char* aBytes, size_t aLength) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < aLength; ++i) {
    out += kHex[aBytes[i] >> 4];
    out += kHex[aBytes[i] & 0xF];
  }
  return out;
}

struct PtonCase {
  int family;
  const char* text;
  int result;
  const char* bytes = "";      // hex of the address on success
  const char* canonical = "";  // cm_inet_ntop of those bytes
};

const PtonCase kPtonCases[] = {
    {2, "10.0.0.1", 1, "0a000001", "10.0.0.1"},
    {2, "0.0.0.0", 1, "00000000", "0.0.0.0"},
    {2, "255.255.255.255", 1, "ffffffff", "255.255.255.255"},
    {23, "::1", 1, "00000000000000000000000000000001", "::1"},
    {23, "2001:DB8::1", 1, "20010db8000000000000000000000001", "2001:db8::1"},
    {23, "1:2:3:4:5:6:7:8", 1, "00010002000300040005000600070008", "1:2:3:4:5:6:7:8"},
    {23, "::ffff:1.2.3.4", 1, "00000000000000000000ffff01020304", "::ffff:1.2.3.4"},
    {23, "fe80:0:0:0:0:0:0:1", 1, "fe800000000000000000000000000001", "fe80::1"},
    {23, "::", 1, "00000000000000000000000000000000", "::"},
    {2, "::1", 0},
    {23, "10.0.0.1", 0},
    {7, "10.0.0.1", 0},
    {0, "10.0.0.1", 0},
    {2, "", 0},
    {2, "256.0.0.1", 0},
    {2, "1.2.3", 0},
    {2, " 1.2.3.4", 0},
    {2, "1.2.3.4 ", 0},
    {2, "1.2.3.4:80", 0},
    {23, "1:2:3:4:5:6:7:8:9", 0},
    {23, ":::", 0},
    {23, "[::1]", 0},
};

class PtonTable : public ::testing::TestWithParam<PtonCase> {};

TEST_P(PtonTable, ConvertsAndRoundTrips) {
  const PtonCase& c = GetParam();
  unsigned char bytes[16];
  memset(bytes, 0xAB, sizeof(bytes));
  ASSERT_EQ(c.result, cm_inet_pton(c.family, c.text, bytes)) << c.text;
  if (c.result == 0) {
    for (unsigned char b : bytes) EXPECT_EQ(0xAB, b) << "destination changed by a refused text";
    return;
  }
  const size_t length = c.family == 2 ? 4 : 16;
  EXPECT_EQ(c.bytes, Hex(bytes, length));
  for (size_t i = length; i < sizeof(bytes); ++i) EXPECT_EQ(0xAB, bytes[i]) << "written past the address";
  char text[CM_IP_TEXT_SIZE];
  ASSERT_EQ(text, cm_inet_ntop(c.family, bytes, text, sizeof(text)));
  EXPECT_STREQ(c.canonical, text);
  unsigned char again[16];
  ASSERT_EQ(1, cm_inet_pton(c.family, text, again));
  EXPECT_EQ(0, memcmp(bytes, again, length));
}

INSTANTIATE_TEST_SUITE_P(cm_inet, PtonTable, ::testing::ValuesIn(kPtonCases));

TEST(cm_inet_pton, AcceptsThePlatformsOwnIPv6FamilyAndRefusesNulls) {
  unsigned char bytes[16] = {};
  EXPECT_EQ(1, cm_inet_pton(10, "::2", bytes));  // AF_INET6 as Linux numbers it
  EXPECT_EQ(2, bytes[15]);
  EXPECT_EQ(0, cm_inet_pton(2, nullptr, bytes));
  EXPECT_EQ(0, cm_inet_pton(2, "1.2.3.4", nullptr));
}

TEST(cm_inet_ntop, TooSmallBufferIsAnAssertion) {
  const unsigned char v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};  // "::1" needs 4 bytes
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  char small[3] = {'x', 'x', 'x'};
  EXPECT_EQ(nullptr, cm_inet_ntop(23, v6, small, 3));
  EXPECT_EQ(before + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: sDst.length() < (size_t)size", 0));
  EXPECT_EQ('x', small[0]);

  const unsigned char v4[4] = {10, 0, 0, 1};
  char exact[9];
  EXPECT_EQ(exact, cm_inet_ntop(2, v4, exact, 9));
  EXPECT_STREQ("10.0.0.1", exact);
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, exact, 8));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, exact, 0));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, exact, -1));
  EXPECT_EQ(before + 4, cm_get_assertions_count());
}

TEST(cm_inet_ntop, RefusesOtherFamiliesAndNulls) {
  const unsigned char v4[4] = {1, 2, 3, 4};
  char text[CM_IP_TEXT_SIZE];
  EXPECT_EQ(nullptr, cm_inet_ntop(7, v4, text, sizeof(text)));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, nullptr, text, sizeof(text)));
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, nullptr, sizeof(text)));
}

TEST(cm_inet_ntop, PlatformFailureIsTracedWithItsErrorName) {
  const unsigned char v4[4] = {1, 2, 3, 4};
  char text[CM_IP_TEXT_SIZE];
  TraceCapture trace;
  cm_platform::cm_platform_test_fail_address_to_text(1, ENOSPC);
  errno = 0;
  EXPECT_EQ(nullptr, cm_inet_ntop(2, v4, text, sizeof(text)));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_TRUE(trace.Contains("cm_inet_ntop, WSAAddressToStringW failed, error code: WSAEFAULT", 0));
  cm_platform::cm_platform_test_fail_address_to_text(1, ENOBUFS);
  EXPECT_EQ(nullptr, cm_inet_ntop(23, v4, text, sizeof(text)));
  EXPECT_TRUE(trace.Contains("error code: WSAENOBUFS", 0));
  EXPECT_EQ(text, cm_inet_ntop(2, v4, text, sizeof(text)));  // the seam is spent
}

TEST(convertWSAErr2Str, NamesTheKnownCodes) {
  EXPECT_STREQ("WSAEFAULT", convertWSAErr2Str(10014));
  EXPECT_STREQ("WSAEINVAL", convertWSAErr2Str(10022));
  EXPECT_STREQ("WSAENOBUFS", convertWSAErr2Str(10055));
  EXPECT_STREQ("WSANOTINITIALISED", convertWSAErr2Str(10093));
  EXPECT_STREQ("UNKNOWN ERROR", convertWSAErr2Str(10061));
  EXPECT_STREQ("UNKNOWN ERROR", convertWSAErr2Str(0));
}

TEST(AddressChecks, IsIPv4IsIPv6AndIsIpAddress) {
  EXPECT_TRUE(isIPv4("192.168.1.1"));
  EXPECT_FALSE(isIPv4("::1"));
  EXPECT_FALSE(isIPv4(nullptr));
  EXPECT_TRUE(isIPv6("::1"));
  EXPECT_FALSE(isIPv6("192.168.1.1"));
  EXPECT_FALSE(isIPv6("host"));

  EXPECT_TRUE(is_ip_address(""));
  EXPECT_TRUE(is_ip_address("1.2.3.4"));
  EXPECT_TRUE(is_ip_address("1\t2(3"));
  EXPECT_TRUE(is_ip_address("999.999"));
  EXPECT_FALSE(is_ip_address("1.2.3.4a"));
  EXPECT_FALSE(is_ip_address("::1"));
  EXPECT_FALSE(is_ip_address(" 1.2.3.4"));
  TraceCapture trace;
  EXPECT_FALSE(is_ip_address(nullptr));
  EXPECT_TRUE(trace.Contains("is_ip_address: ip string is null", 0));
}

TEST(ip_2_id, NumbersAndTextsRoundTrip) {
  EXPECT_EQ(16909060u, ip_2_id("1.2.3.4"));
  EXPECT_STREQ("1.2.3.4", id_2_ip(16909060u));
  EXPECT_STREQ("255.255.255.255", id_2_ip(0xFFFFFFFFu));
  EXPECT_STREQ("0.0.0.0", id_2_ip(0));
  for (uint32_t id : {0u, 1u, 0x7F000001u, 0x80000000u, 0xC0A80101u, 0xFFFFFFFFu, 0x0A000001u}) {
    EXPECT_EQ(id, ip_2_id(id_2_ip(id))) << id;
  }
  EXPECT_EQ(0u, ip_2_id(""));
  EXPECT_EQ(0x01020000u, ip_2_id("1.2"));        // missing numbers count 0
  EXPECT_EQ(0x01000000u + 0x0100u, ip_2_id("1.0.1"));
  EXPECT_EQ(0x7F000001u, ip_2_id("localhost"));  // resolved through /etc/hosts
}

TEST(ip_2_id, UnresolvableNameGivesZeroAndTrace) {
  OfflineHost offline;
  TraceCapture trace;
  EXPECT_EQ(0u, ip_2_id("no-such-host"));
  EXPECT_TRUE(trace.Contains("resolve_2_ip: can't resolve host_name: no-such-host", 0));
  trace.Clear();
  EXPECT_EQ(0u, ip_2_id(nullptr));
  EXPECT_TRUE(trace.Contains("is_ip_address: ip string is null", 0));
}

TEST(resolve_2_ip, ResolvesLocalAndNumericNames) {
  char dst[CM_IP_TEXT_SIZE] = "";
  resolve_2_ip("localhost", dst);
  EXPECT_STREQ("127.0.0.1", dst);
  resolve_2_ip("10.1.2.3", dst);
  EXPECT_STREQ("10.1.2.3", dst);
  resolve_2_ip("::1", dst);
  EXPECT_STREQ("::1", dst);
  resolve_2_ip("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", dst);
  EXPECT_STREQ("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", dst);
}

TEST(resolve_2_ip, RefusalsAreTracedAndLeaveTheDestination) {
  OfflineHost offline;
  TraceCapture trace;
  char dst[CM_IP_TEXT_SIZE] = "keep";
  resolve_2_ip(nullptr, dst);
  EXPECT_TRUE(trace.Contains("resolve_2_ip: No host_name: ; or ip_address: 0x", 0));
  EXPECT_TRUE(trace.Contains("; given", 0));
  resolve_2_ip("h", nullptr);
  EXPECT_EQ(2u, trace.Count("resolve_2_ip: No host_name: ", 0));
  resolve_2_ip("unknown.example", dst);
  EXPECT_TRUE(trace.Contains("resolve_2_ip: can't resolve host_name: unknown.example", 0));
  resolve_2_ip("", dst);
  EXPECT_EQ(2u, trace.Count("resolve_2_ip: can't resolve host_name: ", 0));
  EXPECT_STREQ("keep", dst);
}

struct TransportCase {
  const char* text;
  bool ok;
  const char* proto = "";
  const char* host = "";
  uint16_t port = 0;
};

const TransportCase kTransportCases[] = {
    {"udp://10.0.0.1:5004", true, "udp", "10.0.0.1", 5004},
    {"tcp://localhost:80", true, "tcp", "127.0.0.1", 80},
    {"tls://::1:443", true, "tls", "", 0},  // the host ends at the first ':'; ":1:443" reads as 0
    {"udp://1.2.3.4:70000", true, "udp", "1.2.3.4", 4464},
    {"udp://1.2.3.4:65536", true, "udp", "1.2.3.4", 0},
    {"udp://1.2.3.4:99999999999", true, "udp", "1.2.3.4", 65535},
    {"udp://1.2.3.4:x", true, "udp", "1.2.3.4", 0},
    {"udp://1.2.3.4:80:90", true, "udp", "1.2.3.4", 80},
    {"://1.2.3.4:5", true, "", "1.2.3.4", 5},
    {"udp://:5004", true, "udp", "", 5004},
    {"udp://1.2.3.4:5/extra", true, "udp", "1.2.3.4", 5},
    {"udp://10.0.0.1", false},
    {"udp://10.0.0.1:", false},
    {"udp:/10.0.0.1:5004", false},
    {"udp//10.0.0.1:5004", false},
    {"10.0.0.1:5004", false},
    {"", false},
    {"udp://no-such-host:5", false},
};

class TransportTable : public ::testing::TestWithParam<TransportCase> {};

TEST_P(TransportTable, SplitsProtocolHostAndPort) {
  const TransportCase& c = GetParam();
  OfflineHost offline;
  char proto[16] = "keep";
  char host[CM_IP_TEXT_SIZE] = "keep";
  uint16_t port = 7;
  ASSERT_EQ(c.ok, transport_address_parse(c.text, proto, sizeof(proto), host, sizeof(host), &port)) << c.text;
  if (!c.ok) {
    EXPECT_STREQ("keep", proto);
    EXPECT_STREQ("keep", host);
    EXPECT_EQ(7, port);
    return;
  }
  EXPECT_STREQ(c.proto, proto);
  EXPECT_STREQ(c.host, host);
  EXPECT_EQ(c.port, port);
}

INSTANTIATE_TEST_SUITE_P(transport_address_parse, TransportTable, ::testing::ValuesIn(kTransportCases));

TEST(transport_address_parse, TextsBeyondSixtyFourCharactersAreRefused) {
  char proto[80], host[80];
  uint16_t port = 0;
  const std::string head = "udp://1.2.3.4:";
  const std::string at64 = head + std::string(64 - head.size(), '1');
  ASSERT_EQ(64u, at64.size());
  EXPECT_TRUE(transport_address_parse(at64.c_str(), proto, sizeof(proto), host, sizeof(host), &port));
  EXPECT_STREQ("1.2.3.4", host);
  const std::string at65 = at64 + "1";
  EXPECT_FALSE(transport_address_parse(at65.c_str(), proto, sizeof(proto), host, sizeof(host), &port));
  const std::string longProto = std::string(54, 'p') + "://1.2.3.4:5";
  ASSERT_EQ(66u, longProto.size());
  EXPECT_FALSE(transport_address_parse(longProto.c_str(), proto, sizeof(proto), host, sizeof(host), &port));
}

TEST(transport_address_parse, OutputsAreCutToTheirSizes) {
  char proto[3], host[5];
  uint16_t port = 0;
  EXPECT_TRUE(transport_address_parse("udp://10.0.0.1:9", proto, sizeof(proto), host, sizeof(host), &port));
  EXPECT_STREQ("ud", proto);
  EXPECT_STREQ("10.0", host);
  EXPECT_EQ(9, port);
  char one[1];
  EXPECT_TRUE(transport_address_parse("udp://10.0.0.1:9", one, 1, host, sizeof(host), &port));
  EXPECT_STREQ("", one);
}

TEST(transport_address_parse, NullArgumentsAndEmptyBuffersAreAssertions) {
  char proto[8], host[8];
  uint16_t port = 0;
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  EXPECT_FALSE(transport_address_parse(nullptr, proto, 8, host, 8, &port));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", nullptr, 8, host, 8, &port));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", proto, 8, host, 8, nullptr));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", proto, 0, host, 8, &port));
  EXPECT_FALSE(transport_address_parse("udp://1.2.3.4:5", proto, 8, host, -1, &port));
  EXPECT_EQ(before + 5, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: aProtoSize > 0 && aHostSize > 0", 0));
}

TEST(get_local_ip, AnswersTheHostNamesFirstIPv4AndKeepsIt) {
  OfflineHost offline("localhost");
  const char* ip = get_local_ip();
  ASSERT_NE(nullptr, ip);
  EXPECT_STREQ("127.0.0.1", ip);
  cm_platform::cm_platform_test_set_host_name("10.9.8.7");
  EXPECT_STREQ("127.0.0.1", get_local_ip());  // kept from the first answer
  CmInetResetLocalIpCache();
  EXPECT_STREQ("10.9.8.7", get_local_ip());
}

TEST(get_local_ip, UnresolvableHostNameIsAnAssertion) {
  OfflineHost offline("not-a-local-name");
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(nullptr, get_local_ip());
  EXPECT_EQ(before + 1, cm_get_assertions_count());
  EXPECT_TRUE(trace.Contains("Assert failed: host", 0));
  cm_platform::cm_platform_test_set_host_name("2001:db8::5");  // no IPv4 address at all
  EXPECT_EQ(nullptr, get_local_ip());
}

TEST(get_local_ip, RealHostNameAnswersADottedAddressOrNull) {
  // The machine's own name; /etc/hosts answers it without the network on
  // the build machines, but a host without an entry may legitimately fail.
  const char* ip = get_local_ip();
  if (ip) {
    EXPECT_TRUE(isIPv4(ip)) << ip;
  }
}

TEST(ip_check, ProbesOnceAndHonoursTheCallersCache) {
  EXPECT_EQ(1, ipv4_enabled());
  EXPECT_EQ(ipv4_enabled(), ipv4_enabled());
  uint32_t state = 0xFFFFFFFFu;
  EXPECT_EQ(1, ip_check(&state, 2));
  EXPECT_EQ(1u, state);
  uint32_t v6 = 0xFFFFFFFFu, v6Native = 0xFFFFFFFFu;
  EXPECT_EQ(ipv6_enabled(), ip_check(&v6, 23));
  EXPECT_EQ(ipv6_enabled(), ip_check(&v6Native, 10));
  uint32_t cachedNo = 0;
  EXPECT_EQ(0, ip_check(&cachedNo, 2));  // a cached answer is not tested again
  uint32_t bogus = 0xFFFFFFFFu;
  EXPECT_EQ(0, ip_check(&bogus, 9999));
  EXPECT_EQ(0u, bogus);
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(0, ip_check(nullptr, 2));
  EXPECT_EQ(before + 1, cm_get_assertions_count());
}

TEST(isPureIp6, NeedsARealIPv6AndNoRealIPv4) {
  const struct {
    const char* hostName;
    bool pure;
  } cases[] = {
      {"2001:db8::1", true}, {"10.0.0.1", false},  {"fe80::1", false},         {"::1", false},
      {"localhost", false},  {"169.254.1.1", false}, {"not-a-local-name", false}, {"", false},
  };
  for (const auto& c : cases) {
    OfflineHost offline(c.hostName);
    EXPECT_EQ(c.pure, isPureIp6()) << c.hostName;
  }
}

}  // namespace
