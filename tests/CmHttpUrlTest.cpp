// CCmHttpUrl (Init, the setters, the cached canonical text, copies) and
// url_string_encode, including every short destination length.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CmHttpUrl.h"
#include "TraceCapture.h"

namespace {

struct HttpUrlCase {
  const char* input;
  int result;
  const char* scheme = "";
  const char* host = "";
  unsigned short port = 0;
  const char* path = "";
  const char* spec = "";
};

const HttpUrlCase kHttpUrlCases[] = {
    {"  HTTPS://Example:8443/a b  ", 1, "https", "Example", 8443, "/a%20b", "https://Example:8443/a%20b"},
    {"http://host", 1, "http", "host", 80, "/", "http://host/"},
    {"http://host:80/x", 1, "http", "host", 80, "/x", "http://host/x"},
    {"hTTp://h:8080", 1, "http", "h", 8080, "/", "http://h:8080/"},
    {"ws://h/sock", 1, "ws", "h", 80, "/sock", "ws://h/sock"},
    {"WsS://h", 1, "wss", "h", 443, "/", "wss://h/"},
    {"wss://h:443/a?b=c#d", 1, "wss", "h", 443, "/a?b=c#d", "wss://h/a?b=c#d"},
    {"file:///tmp/x", 1, "file", "", 0, "/tmp/x", "file:///tmp/x"},
    {"file://C:/dir/f", 1, "file", "", 0, "C:/dir/f", "file:///C:/dir/f"},
    {"file://dir", 1, "file", "", 0, "dir", "file:///dir"},
    {"file://", 1, "file", "", 0, "", "file:///"},
    {"file:///a b", 1, "file", "", 0, "/a b", "file:///a b"},  // blanks stay in file paths
    // Ports: 0 and non-numbers take the default; atoi's value keeps its low 16 bits.
    {"http://h:0/", 1, "http", "h", 80, "/", "http://h/"},
    {"http://h:abc/", 1, "http", "h", 80, "/", "http://h/"},
    {"http://h:/", 1, "http", "h", 80, "/", "http://h/"},
    {"http://h:65535/", 1, "http", "h", 65535, "/", "http://h:65535/"},
    {"http://h:65536/", 1, "http", "h", 80, "/", "http://h/"},
    {"http://h:70000/", 1, "http", "h", 4464, "/", "http://h:4464/"},
    {"http://h:-1/", 1, "http", "h", 65535, "/", "http://h:65535/"},
    {"http://h:99999999999/", 1, "http", "h", 65535, "/", "http://h:65535/"},
    {"http://h:81x/", 1, "http", "h", 81, "/", "http://h:81/"},
    // Blanks of web addresses become %20 everywhere, also in the host.
    {"http://h p/a b c", 1, "http", "h%20p", 80, "/a%20b%20c", "http://h%20p/a%20b%20c"},
    {"http://h/ x ", 1, "http", "h", 80, "/%20x", "http://h/%20x"},
    // An IPv6 literal is cut at its first colon.
    {"http://[::1]:8080/", 1, "http", "[", 80, "/", "http://[/"},
    {"http://user@h/", 1, "http", "user@h", 80, "/", "http://user@h/"},
    // Refusals.
    {"", 0},
    {"     ", 0},
    {"http://", 0},
    {"http://:80/", 0},
    {"http:///x", 0},
    {"https://  /x", 0},  // the blanks are trimmed before the host is taken
    {"https://h  h/x", 1, "https", "h%20%20h", 443, "/x", "https://h%20%20h/x"},
};

class HttpUrlTable : public ::testing::TestWithParam<HttpUrlCase> {};

TEST_P(HttpUrlTable, InitSplitsAndRebuilds) {
  const HttpUrlCase& c = GetParam();
  CCmHttpUrl url;
  ASSERT_EQ(c.result, url.Init(c.input)) << c.input;
  if (c.result == 0) return;
  EXPECT_EQ(c.scheme, url.GetScheme());
  EXPECT_EQ(c.host, url.GetHostName());
  EXPECT_EQ(c.port, url.GetPort());
  EXPECT_EQ(c.path, url.GetPath());
  EXPECT_EQ(c.spec, url.GetAsciiSpec());
}

INSTANTIATE_TEST_SUITE_P(CCmHttpUrl, HttpUrlTable, ::testing::ValuesIn(kHttpUrlCases));

TEST(CCmHttpUrl, UnknownSchemeIsRefusedAndTraced) {
  for (const char* bad : {"ftp://host/", "http:/h", "  mailto:x", "httpx://h", "h"}) {
    TraceCapture trace;
    CCmHttpUrl url;
    EXPECT_EQ(0, url.Init(bad)) << bad;
    const std::string line = trace.Find("CCmHttpUrl::Init error format, scheme = ");
    EXPECT_NE(std::string::npos, line.find(std::string("scheme = ") + bad + " [this=0x")) << line;
    EXPECT_TRUE(trace.Contains("CCmHttpUrl::Init error format", 0));
  }
}

TEST(CCmHttpUrl, EmptyTextIsRefusedWithoutTrace) {
  TraceCapture trace;
  CCmHttpUrl url;
  EXPECT_EQ(0, url.Init("  "));
  EXPECT_TRUE(trace.Lines().empty());
}

TEST(CCmHttpUrl, RefusedInitLeavesTheAddressAsItWas) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("https://keep:444/p"));
  EXPECT_EQ(0, url.Init("http://:80/"));
  EXPECT_EQ(0, url.Init("ftp://x/"));
  EXPECT_EQ("https", url.GetScheme());
  EXPECT_EQ("keep", url.GetHostName());
  EXPECT_EQ(444, url.GetPort());
  EXPECT_EQ("/p", url.GetPath());
  EXPECT_EQ("https://keep:444/p", url.GetAsciiSpec());
}

TEST(CCmHttpUrl, GetNameAndPortShowsTheDefaultOnlyOnRequest) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("http://host"));
  EXPECT_EQ("host", url.GetNameAndPort(0));
  EXPECT_EQ("host:80", url.GetNameAndPort(1));
  url.SetPortA(81);
  EXPECT_EQ("host:81", url.GetNameAndPort(0));
}

TEST(CCmHttpUrl, SettersChangeTheCanonicalText) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("https://h/a"));
  EXPECT_EQ("https://h/a", url.GetAsciiSpec());
  url.SetPortA(8443);
  EXPECT_EQ("https://h:8443/a", url.GetAsciiSpec());
  url.SetPortA(0);
  EXPECT_EQ(443, url.GetPort());
  EXPECT_EQ("https://h/a", url.GetAsciiSpec());
  url.SetPath("");
  EXPECT_EQ("/", url.GetPath());
  EXPECT_EQ("https://h/", url.GetAsciiSpec());
  url.SetPath("rel/x");
  EXPECT_EQ("rel/x", url.GetPath());
  EXPECT_EQ("https://h/rel/x", url.GetAsciiSpec());
  EXPECT_EQ(1, url.SetNameAndPort("other:9"));
  EXPECT_EQ("https://other:9/rel/x", url.GetAsciiSpec());
  EXPECT_EQ(1, url.SetNameAndPort("third"));
  EXPECT_EQ(443, url.GetPort());
  EXPECT_EQ("https://third/rel/x", url.GetAsciiSpec());
}

TEST(CCmHttpUrl, SetNameAndPortRefusesEmptyHost) {
  CCmHttpUrl url;
  ASSERT_EQ(1, url.Init("ws://h:1/"));
  EXPECT_EQ(0, url.SetNameAndPort(""));
  EXPECT_EQ("h", url.GetHostName());  // an empty text changes nothing
  EXPECT_EQ(1, url.GetPort());
  EXPECT_EQ(0, url.SetNameAndPort(":90"));
  EXPECT_EQ("", url.GetHostName());
  EXPECT_EQ(90, url.GetPort());
  EXPECT_EQ(1, url.SetNameAndPort("fe80::1"));
  EXPECT_EQ("fe80", url.GetHostName());
  EXPECT_EQ(80, url.GetPort());
}

TEST(CCmHttpUrl, SchemeNamesAndDefaultObject) {
  EXPECT_STREQ("http", CCmHttpUrl::get_pszSchemeHttp());
  EXPECT_STREQ("https", CCmHttpUrl::get_pszSchemeHttps());
  EXPECT_STREQ("file", CCmHttpUrl::get_pszSchemeFile());
  EXPECT_STREQ("ws", CCmHttpUrl::s_pszSchemeWS);
  EXPECT_STREQ("wss", CCmHttpUrl::s_pszSchemeWSS);
  CCmHttpUrl url;
  EXPECT_EQ("", url.GetScheme());
  EXPECT_EQ("", url.GetHostName());
  EXPECT_EQ("", url.GetPath());
  EXPECT_EQ(0, url.GetPort());
  EXPECT_EQ(":///", url.GetAsciiSpec());
}

TEST(CCmHttpUrl, CopiesTakeTheRecordButNotReferences) {
  CCmHttpUrl* source = new CCmHttpUrl;
  source->AddReference();
  ASSERT_EQ(1, source->Init("wss://h:1/x"));
  const CCmString spec = source->GetAsciiSpec();
  CCmHttpUrl copy(*source);
  EXPECT_EQ(0u, copy.GetReference());
  CCmHttpUrl assigned;
  assigned = *source;
  const CCmHttpUrl& self = assigned;
  assigned = self;  // assignment to itself changes nothing
  EXPECT_EQ(spec, copy.GetAsciiSpec());
  EXPECT_EQ(spec, assigned.GetAsciiSpec());
  copy.SetPath("/y");
  EXPECT_EQ("wss://h:1/y", copy.GetAsciiSpec());
  EXPECT_EQ("wss://h:1/x", source->GetAsciiSpec());
  EXPECT_EQ(0u, source->ReleaseReference());
}

// --- url_string_encode

std::string Encode(const std::string& aSrc, int aLength) {
  std::vector<char> buf(static_cast<size_t>(aLength > 0 ? aLength : 0) + 8, '#');
  url_string_encode(aSrc.c_str(), buf.data(), aLength);
  // Nothing at or past aLength may be touched.
  for (size_t i = static_cast<size_t>(aLength > 0 ? aLength : 0); i < buf.size(); ++i) {
    EXPECT_EQ('#', buf[i]) << "byte " << i << " written for length " << aLength;
  }
  if (aLength < 1) return buf[0] == '#' ? "<untouched>" : "<written>";
  return std::string(buf.data());
}

TEST(url_string_encode, EncodesLettersDigitsBlanksAndOtherBytes) {
  EXPECT_EQ("a+b%26c", Encode("a b&c", 64));
  EXPECT_EQ("%0a", Encode("\n", 64));
  EXPECT_EQ("%e9", Encode("\xE9", 64));
  EXPECT_EQ("AZaz09%2d%2e%5f%7e%25%2b", Encode("AZaz09-._~%+", 64));
  EXPECT_EQ("", Encode("", 64));
}

TEST(url_string_encode, ShortDestinationsNeverOverflow) {
  const struct {
    int length;
    const char* expected;
  } cases[] = {
      {-5, "<untouched>"}, {0, "<untouched>"}, {1, ""},     {2, "a"},      {3, "a"},       {4, "a"},
      {5, "a%26"},         {6, "a%26+"},       {7, "a%26+b"}, {8, "a%26+b"}, {100, "a%26+b"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, Encode("a& b", c.length)) << "length " << c.length;
}

TEST(url_string_encode, EveryByteRoundTripsAtExactLength) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::vector<char> dst(all.size() * 3 + 1);
  url_string_encode(all.c_str(), dst.data(), static_cast<int>(dst.size()));
  const std::string out(dst.data());
  std::string decoded;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '+') {
      decoded += ' ';
    } else if (out[i] == '%') {
      const std::string hex = out.substr(i + 1, 2);
      EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789abcdef")) << hex;
      decoded += static_cast<char>(std::stoi(hex, nullptr, 16));
      i += 2;
    } else {
      decoded += out[i];
    }
  }
  EXPECT_EQ(all, decoded);
  EXPECT_EQ(all.size() * 3 + 1 - 2 * 62 - 2 * 1 - 1, out.size());  // 62 letters and digits, one blank
}

TEST(url_string_encode, NullArgumentsAreHarmless) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(buf, url_string_encode(nullptr, buf, 4));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(nullptr, url_string_encode("abc", nullptr, 4));
}

}  // namespace
