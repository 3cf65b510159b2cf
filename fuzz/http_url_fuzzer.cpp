// CCmHttpUrl::Init followed by GetAsciiSpec on any bytes: a refused text
// never touches the path; an accepted one gives a canonical text that
// is rebuilt from the parts, is stable (asked twice, the same), and parses
// back into the same canonical text.
#include <cstdint>
#include <string>

#include "CmHttpUrl.h"
#include "FuzzSupport.h"

namespace {

std::string Expected(CCmHttpUrl& aUrl) {
  std::string canonical = aUrl.GetScheme() + "://" + aUrl.GetNameAndPort(0);
  const std::string path = aUrl.GetPath();
  if (path.empty() || path[0] != '/') canonical += '/';
  return canonical + path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  const CCmString input(reinterpret_cast<const char*>(aData), aSize);
  CCmHttpUrl url;
  FUZZ_CHECK(url.Init("wss://before:1/p") == 1);
  const CCmString before = url.GetAsciiSpec();
  const int ok = url.Init(input);
  FUZZ_CHECK(ok == 0 || ok == 1);
  const CCmString canonical = url.GetAsciiSpec();
  if (!ok) {
    // Refused: an unknown scheme changes nothing; an empty host may have
    // changed scheme, host and port, never the path, and the canonical
    // text follows the parts.
    FUZZ_CHECK(canonical == Expected(url));
    FUZZ_CHECK(url.GetPath() == "/p");
    FUZZ_CHECK(canonical == before || url.GetScheme() != "wss" || url.GetHostName().empty());
    return 0;
  }
  FUZZ_CHECK(canonical == url.GetAsciiSpec());
  FUZZ_CHECK(canonical == Expected(url));
  if (url.GetScheme() != CCmHttpUrl::s_pszSchemeFile) {
    FUZZ_CHECK(!url.GetHostName().empty());
    FUZZ_CHECK(url.GetHostName().find(' ') == std::string::npos && url.GetPath().find(' ') == std::string::npos);
  }
  // A file address keeps the host of the object's earlier state, so the
  // round trip starts from a fresh object.
  CCmHttpUrl fresh;
  FUZZ_CHECK(fresh.Init(input) == 1);
  const CCmString freshCanonical = fresh.GetAsciiSpec();
  CCmHttpUrl again;
  FUZZ_CHECK(again.Init(freshCanonical) == 1);
  FUZZ_CHECK(again.GetAsciiSpec() == freshCanonical);
  return 0;
}
