// CCmUri::Parse on any bytes: the input is always kept, a refused input
// leaves the previous parse untouched, and an accepted one yields parts that
// all come from the input (scheme and fragment lower-cased), a port that is
// 0 only for schemes without a default, and copies equal to the original.
#include <cstdint>
#include <string>

#include "CmUri.h"
#include "FuzzSupport.h"

namespace {

bool HasUpper(const std::string& aText) {
  for (char c : aText) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

std::string Lower(std::string aText) {
  for (char& c : aText) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return aText;
}

bool Trimmed(const std::string& aText) { return aText.empty() || (aText.front() != ' ' && aText.back() != ' '); }

bool SameParts(const CCmUri& a, const CCmUri& b) {
  return a.GetScheme() == b.GetScheme() && a.GetUsername() == b.GetUsername() &&
         a.GetPassword() == b.GetPassword() && a.GetHostNameRef() == b.GetHostNameRef() &&
         a.GetPort() == b.GetPort() && a.GetPath() == b.GetPath() && a.GetQuery() == b.GetQuery() &&
         a.GetFragment() == b.GetFragment();
}

void CheckHostnamePort(const CCmString& aInput) {
  CCmString host = "unchanged";
  unsigned short port = 12345;
  if (CCmUri::ParseHostnamePort(aInput, host, port)) {
    FUZZ_CHECK(Trimmed(host));
    FUZZ_CHECK(aInput.find(host) != std::string::npos);
  } else {
    FUZZ_CHECK(host == "unchanged" && port == 12345);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  const CCmString input(reinterpret_cast<const char*>(aData), aSize);
  CCmUri uri;
  FUZZ_CHECK(uri.Parse("https://u:p@before:9/x?q#f"));
  const CCmUri before(uri);
  const bool ok = uri.Parse(input);
  FUZZ_CHECK(uri.GetInputUrl() == input);
  CheckHostnamePort(input);
  if (!ok) {
    FUZZ_CHECK(SameParts(uri, before));
    return 0;
  }
  const std::string lower = Lower(input);
  FUZZ_CHECK(!HasUpper(uri.GetScheme()) && !HasUpper(uri.GetFragment()));
  FUZZ_CHECK(Trimmed(uri.GetScheme()) && Trimmed(uri.GetHostNameRef()) && Trimmed(uri.GetPath()));
  FUZZ_CHECK(lower.find(uri.GetScheme()) != std::string::npos);
  FUZZ_CHECK(lower.find(uri.GetFragment()) != std::string::npos);
  for (const CCmString* part : {&uri.GetUsername(), &uri.GetPassword(), &uri.GetHostNameRef(), &uri.GetPath(),
                                &uri.GetQuery()}) {
    FUZZ_CHECK(input.find(*part) != std::string::npos);
  }
  FUZZ_CHECK(uri.GetFragment().find('#') == std::string::npos);
  FUZZ_CHECK(uri.GetQuery().find('?') == std::string::npos);
  if (uri.GetPort() == 0) FUZZ_CHECK(CCmUri::GetDefaultPort(uri.GetScheme()) == 0);
  FUZZ_CHECK(uri.GetNameAndPort().compare(0, uri.GetHostNameRef().size(), uri.GetHostNameRef()) == 0);
  CCmUri assigned;
  assigned = uri;
  FUZZ_CHECK(SameParts(CCmUri(uri), uri) && SameParts(assigned, uri));
  return 0;
}
