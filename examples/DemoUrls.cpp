// URLs and address texts: URIs split, HTTP URLs rebuilt in their canonical
// form, form encoding, and the address text conversions and checks.
#include <cstring>

#include "CmHttpUrl.h"
#include "CmInetAddr.h"
#include "CmUri.h"
#include "Demo.h"

namespace {

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

void ShowUri(const char* aText) {
  CCmUri uri;
  if (!uri.Parse(aText)) {
    printf("  %-46s -> refused\n", aText);
    return;
  }
  printf("  %-46s -> scheme '%s' user '%s' host '%s' port %u path '%s' query '%s' fragment '%s'\n", aText,
         uri.GetScheme().c_str(), uri.GetUsername().c_str(), uri.GetHostNameRef().c_str(), uri.GetPort(),
         uri.GetPath().c_str(), uri.GetQuery().c_str(), uri.GetFragment().c_str());
}

int DemoUri() {
  DemoTitle("URI splitting (CCmUri)");
  for (const char* text : {"http://alice:pw@host:8080/p/q?a=1#Top", "HTTP://Host/Path", "wss://signal.example.net/ws",
                           "stun:[::1]:3478", "stun:host:70000", "mailto:someone", "http:host/path"}) {
    ShowUri(text);
  }
  int failures = 0;
  CCmUri uri;
  failures += Check(uri.Parse("https://host:8443") && uri.GetNameAndPort() == "host:8443",
                    "https://host:8443 names host:8443");
  failures += Check(uri.Parse("https://host") && uri.GetNameAndPort() == "host" && uri.GetPort() == 443,
                    "https://host takes the default port 443");
  failures += Check(!uri.Parse("stun:[::1]") && uri.GetInputUrl() == "stun:[::1]" && uri.GetHostNameRef() == "host",
                    "a refused text is kept, the earlier parts stay");
  return failures;
}

int DemoHttpUrl() {
  DemoTitle("HTTP URLs (CCmHttpUrl) and form encoding");
  int failures = 0;
  CCmHttpUrl url;
  const char* text = "  HTTPS://Example:8443/a b  ";
  failures += Check(url.Init(text) == 1, "Init of \"  HTTPS://Example:8443/a b  \"");
  printf("  canonical text: %s\n", url.GetAsciiSpec().c_str());
  failures += Check(url.GetAsciiSpec() == "https://Example:8443/a%20b", "rebuilt as https://Example:8443/a%20b");
  url.SetPortA(0);
  url.SetPath("");
  printf("  after SetPortA(0), SetPath(\"\"): %s\n", url.GetAsciiSpec().c_str());
  failures += Check(url.GetAsciiSpec() == "https://Example/", "default port and root path");
  CCmHttpUrl file;
  failures += Check(file.Init("file://C:/dir/f") == 1 && file.GetPath() == "C:/dir/f", "file://C:/dir/f keeps the drive");
  printf("  an unknown scheme is refused with an error line:\n");
  failures += Check(CCmHttpUrl().Init("ftp://host/") == 0, "ftp://host/ refused");
  char encoded[64];
  url_string_encode("a b&c\xe9", encoded, sizeof(encoded));
  printf("  url_string_encode(\"a b&c\\xe9\") = %s\n", encoded);
  failures += Check(strcmp(encoded, "a+b%26c%e9") == 0, "form encoding");
  char tiny[5];
  url_string_encode("a&b", tiny, sizeof(tiny));
  failures += Check(strcmp(tiny, "a%26") == 0, "a 5-byte destination holds \"a%26\" and no more");
  return failures;
}

int DemoAddressText() {
  DemoTitle("Address text utilities");
  int failures = 0;
  unsigned char v4[4], v6[16];
  char text[CM_IP_TEXT_SIZE];
  failures += Check(cm_inet_pton(CM_AF_INET, "10.0.0.1", v4) == 1 && v4[0] == 10 && v4[3] == 1,
                    "cm_inet_pton(2, \"10.0.0.1\") gives 0a 00 00 01");
  const char* printed = cm_inet_pton(CM_AF_INET6, "2001:DB8:0:0::1", v6) == 1
                            ? cm_inet_ntop(CM_AF_INET6, v6, text, sizeof(text))
                            : nullptr;
  failures += Check(printed && strcmp(printed, "2001:db8::1") == 0, "2001:DB8:0:0::1 round trips as 2001:db8::1");
  failures += Check(cm_inet_pton(CM_AF_INET, "::1", v4) == 0 && cm_inet_pton(7, "10.0.0.1", v4) == 0,
                    "wrong family refused");
  printf("  ip_2_id(\"1.2.3.4\") = %u, id_2_ip(16909060) = %s\n", ip_2_id("1.2.3.4"), id_2_ip(16909060u));
  failures += Check(ip_2_id("1.2.3.4") == 16909060u && strcmp(id_2_ip(16909060u), "1.2.3.4") == 0,
                    "ip_2_id / id_2_ip");
  failures += Check(is_ip_address("") && !is_ip_address("1.2.3.4a") && isIPv6("::1") && !isIPv4("::1"),
                    "is_ip_address, isIPv4, isIPv6");
  char proto[8], host[CM_IP_TEXT_SIZE];
  uint16_t port = 0;
  const bool parsed = transport_address_parse("udp://10.0.0.1:5004", proto, sizeof(proto), host, sizeof(host), &port);
  printf("  transport_address_parse(\"udp://10.0.0.1:5004\") -> %s, %s, %u\n", parsed ? proto : "-",
         parsed ? host : "-", port);
  failures += Check(parsed && strcmp(proto, "udp") == 0 && strcmp(host, "10.0.0.1") == 0 && port == 5004,
                    "protocol, host and port split");
  failures += Check(!transport_address_parse("udp:/10.0.0.1:5004", proto, sizeof(proto), host, sizeof(host), &port),
                    "one slash refused");
  char resolved[CM_IP_TEXT_SIZE] = "";
  resolve_2_ip("localhost", resolved);
  printf("  resolve_2_ip(\"localhost\") = %s\n", resolved);
  failures += Check(strcmp(resolved, "127.0.0.1") == 0, "localhost resolves to 127.0.0.1");
  printf("  ipv4_enabled() = %d, ipv6_enabled() = %d, convertWSAErr2Str(10014) = %s\n", ipv4_enabled(),
         ipv6_enabled(), convertWSAErr2Str(10014));
  return failures;
}

}  // namespace

int DemoUrls() { return DemoUri() + DemoHttpUrl() + DemoAddressText(); }
