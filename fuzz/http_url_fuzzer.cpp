// CCmHttpUrl::Init followed by GetAsciiSpec on any bytes: a refused text
// leaves the object as it was; an accepted one gives a canonical text that
// is rebuilt from the parts, is stable (asked twice, the same), and parses
// back into the same canonical text.
#include <cstdint>
#include <string>

#include "CmHttpUrl.h"
#include "FuzzSupport.h"

namespace {

std::string Expected(CCmHttpUrl& aUrl) {
  std::string spec = aUrl.GetScheme() + "://" + aUrl.GetNameAndPort(0);
  const std::string path = aUrl.GetPath();
  if (path.empty() || path[0] != '/') spec += '/';
  return spec + path;
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
  const CCmString spec = url.GetAsciiSpec();
  if (!ok) {
    FUZZ_CHECK(spec == before);
    return 0;
  }
  FUZZ_CHECK(spec == url.GetAsciiSpec());
  FUZZ_CHECK(spec == Expected(url));
  if (url.GetScheme() != CCmHttpUrl::s_pszSchemeFile) {
    FUZZ_CHECK(!url.GetHostName().empty());
    FUZZ_CHECK(url.GetHostName().find(' ') == std::string::npos && url.GetPath().find(' ') == std::string::npos);
  }
  // A file address keeps the host of the object's earlier state, so the
  // round trip starts from a fresh object.
  CCmHttpUrl fresh;
  FUZZ_CHECK(fresh.Init(input) == 1);
  const CCmString freshSpec = fresh.GetAsciiSpec();
  CCmHttpUrl again;
  FUZZ_CHECK(again.Init(freshSpec) == 1);
  FUZZ_CHECK(again.GetAsciiSpec() == freshSpec);
  return 0;
}
