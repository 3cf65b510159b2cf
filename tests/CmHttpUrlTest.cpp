// CCmHttpUrl (Init, the setters, the cached canonical text, copies) and
// url_string_encode, including every short destination length.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "CmHttpUrl.h"
#include "TraceCapture.h"

namespace {

// scheme|host|port|path -> canonical text
std::string Parts(CCmHttpUrl& u) {
  return u.GetScheme() + "|" + u.GetHostName() + "|" + std::to_string(u.GetPort()) + "|" + u.GetPath() + " -> " +
         u.GetAsciiSpec();
}

struct HttpUrlCase {
  const char* input;
  const char* parts;  // null: Init returns 0
};

const HttpUrlCase kHttpUrlCases[] = {
    {"  HTTPS://Example:8443/a b  ", "https|Example|8443|/a%20b -> https://Example:8443/a%20b"},
    {"http://host", "http|host|80|/ -> http://host/"},
    {"ws://h/sock", "ws|h|80|/sock -> ws://h/sock"},
    {"WsS://h:443/a?b=c#d", "wss|h|443|/a?b=c#d -> wss://h/a?b=c#d"},
    {"file:///tmp/x", "file||0|/tmp/x -> file:///tmp/x"},
    {"file://C:/dir/f", "file||0|C:/dir/f -> file:///C:/dir/f"},
    {"file://", "file||0| -> file:///"},
    {"file:///a b", "file||0|/a b -> file:///a b"},  // blanks stay in file paths
    // Ports: 0 and non-numbers take the default; atoi's value keeps its low 16 bits.
    {"http://h:0/", "http|h|80|/ -> http://h/"},
    {"http://h:abc/", "http|h|80|/ -> http://h/"},
    {"http://h:65535/", "http|h|65535|/ -> http://h:65535/"},
    {"http://h:65536/", "http|h|80|/ -> http://h/"},
    {"http://h:70000/", "http|h|4464|/ -> http://h:4464/"},
    {"http://h:-1/", "http|h|65535|/ -> http://h:65535/"},
    {"http://h:99999999999/", "http|h|65535|/ -> http://h:65535/"},
    // Blanks of web addresses become %20, also in the host; an IPv6 literal is cut at its first colon.
    {"http://h  p/ x ", "http|h%20%20p|80|/%20x -> http://h%20%20p/%20x"},
    {"http://[::1]:8080/", "http|[|80|/ -> http://[/"},
    // Refusals.
    {"", nullptr},
    {"     ", nullptr},
    {"http://", nullptr},
    {"http://:80/", nullptr},
    {"http:///x", nullptr},
    {"https://  /x", nullptr},  // the blanks are trimmed before the host is taken
};

class HttpUrlTable : public ::testing::TestWithParam<HttpUrlCase> {};

TEST_P(HttpUrlTable, InitSplitsAndRebuilds) {
  const HttpUrlCase& c = GetParam();
  CCmHttpUrl url;
  ASSERT_EQ(c.parts ? 1 : 0, url.Init(c.input)) << c.input;
  if (c.parts) {
    EXPECT_EQ(c.parts, Parts(url));
  }
}

INSTANTIATE_TEST_SUITE_P(CCmHttpUrl, HttpUrlTable, ::testing::ValuesIn(kHttpUrlCases));

TEST(CCmHttpUrl, UnknownSchemeOrEmptyTextIsRefusedAndChangesNothing) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("https://keep:444/p"));
  for (const char* bad : {"ftp://host/", "http:/h", "  mailto:x"}) {
    TraceCapture trace;
    EXPECT_EQ(0, url.Init(bad)) << bad;
    const std::string line = trace.Find("CCmHttpUrl::Init error format, scheme = ");
    EXPECT_NE(std::string::npos, line.find(std::string("scheme = ") + bad + " [this=0x")) << line;
    EXPECT_EQ(1u, trace.Count("CCmHttpUrl::Init error format", 0));
  }
  EXPECT_EQ(0, url.Init("  "));
  EXPECT_EQ("https|keep|444|/p -> https://keep:444/p", Parts(url));
}

// An empty host is found by SetNameAndPort, after the scheme was taken: the
// scheme and whatever SetNameAndPort set stay, the path does not change, and
// the canonical text follows them.
TEST(CCmHttpUrl, EmptyHostKeepsSchemeAndNameAndPortItSet) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://:80/", "http||80|/p -> http:///p"},
      {"ws://:9/x", "ws||9|/p -> ws://:9/p"},
      {"http:///x", "http|keep|444|/p -> http://keep:444/p"},  // an empty name and port sets nothing
      {"https://  /x", "https|keep|444|/p -> https://keep:444/p"},
      {"wss://", "wss|keep|444|/p -> wss://keep:444/p"},
  };
  for (const auto& [input, parts] : cases) {
    CCmHttpUrl url;
    ASSERT_EQ(1, url.Init("https://keep:444/p"));
    ASSERT_EQ("https://keep:444/p", url.GetAsciiSpec());  // fills the cache
    TraceCapture quiet;
    EXPECT_EQ(0, url.Init(input)) << input;
    EXPECT_EQ(parts, Parts(url)) << input;
    EXPECT_TRUE(quiet.Lines().empty()) << input;
  }
}

TEST(CCmHttpUrl, SettersChangeTheCanonicalText) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("https://h/a"));
  EXPECT_EQ("h", url.GetNameAndPort(0));
  EXPECT_EQ("h:443", url.GetNameAndPort(1));
  url.SetPortA(8443);
  EXPECT_EQ("https|h|8443|/a -> https://h:8443/a", Parts(url));
  url.SetPortA(0);
  url.SetPath("");
  EXPECT_EQ("https|h|443|/ -> https://h/", Parts(url));
  url.SetPath("rel/x");
  EXPECT_EQ("https|h|443|rel/x -> https://h/rel/x", Parts(url));
  EXPECT_EQ(1, url.SetNameAndPort("other:9"));
  EXPECT_EQ("https://other:9/rel/x", url.GetAsciiSpec());
  EXPECT_EQ(0, url.SetNameAndPort(""));  // an empty text changes nothing
  EXPECT_EQ(1, url.SetNameAndPort("fe80::1"));
  EXPECT_EQ("https|fe80|443|rel/x -> https://fe80/rel/x", Parts(url));
  EXPECT_EQ(0, url.SetNameAndPort(":90"));
  EXPECT_EQ("https||90|rel/x -> https://:90/rel/x", Parts(url));
}

TEST(CCmHttpUrl, SchemeNamesDefaultObjectAndCopies) {
  EXPECT_STREQ("http", CCmHttpUrl::get_pszSchemeHttp());
  EXPECT_STREQ("https", CCmHttpUrl::get_pszSchemeHttps());
  EXPECT_STREQ("file", CCmHttpUrl::get_pszSchemeFile());
  EXPECT_STREQ("ws", CCmHttpUrl::s_pszSchemeWS);
  EXPECT_STREQ("wss", CCmHttpUrl::s_pszSchemeWSS);
  CCmHttpUrl* source = new CCmHttpUrl;
  EXPECT_EQ("||0| -> :///", Parts(*source));
  source->AddReference();
  ASSERT_EQ(1, source->Init("wss://h:1/x"));
  CCmHttpUrl copy(*source);
  EXPECT_EQ(0u, copy.GetReference());
  CCmHttpUrl assigned;
  assigned = *source;
  EXPECT_EQ(Parts(*source), Parts(assigned));
  copy.SetPath("/y");
  EXPECT_EQ("wss://h:1/y", copy.GetAsciiSpec());
  EXPECT_EQ("wss://h:1/x", source->GetAsciiSpec());
  EXPECT_EQ(0u, source->ReleaseReference());
}

// Encodes into a buffer of aLength bytes followed by guard bytes that must stay.
std::string Encode(const std::string& aSrc, int aLength) {
  const size_t size = static_cast<size_t>(aLength > 0 ? aLength : 0);
  std::vector<char> buf(size + 8, '#');
  url_string_encode(aSrc.c_str(), buf.data(), aLength);
  for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ('#', buf[i]) << "byte " << i << " written, length " << aLength;
  if (aLength < 1) return buf[0] == '#' ? "<untouched>" : "<written>";
  return std::string(buf.data());
}

TEST(url_string_encode, EncodesAndNeverPassesTheLength) {
  EXPECT_EQ("a+b%26c", Encode("a b&c", 64));
  EXPECT_EQ("%0a%e9", Encode("\n\xE9", 64));
  EXPECT_EQ("AZaz09%2d%2e%5f%7e%25%2b", Encode("AZaz09-._~%+", 64));
  const char* expected[] = {"<untouched>", "", "a", "a", "a", "a%26", "a%26+", "a%26+b", "a%26+b"};
  for (int length = 0; length <= 8; ++length) EXPECT_EQ(expected[length], Encode("a& b", length)) << length;
  EXPECT_EQ("<untouched>", Encode("a", -5));
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(buf, url_string_encode(nullptr, buf, 4));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(nullptr, url_string_encode("abc", nullptr, 4));
}

TEST(url_string_encode, EveryByteAtExactLength) {
  // Letters and digits stay, a blank is '+', every other byte is '%' and two lower-case hex digits.
  std::string all, expected;
  for (int b = 1; b < 256; ++b) {
    char hex[4];
    snprintf(hex, sizeof(hex), "%%%02x", b);
    all += static_cast<char>(b);
    expected += isalnum(b) ? std::string(1, static_cast<char>(b)) : b == ' ' ? "+" : hex;
  }
  EXPECT_EQ(expected, Encode(all, static_cast<int>(expected.size() + 1)));
}

}  // namespace
