// CCmUri: a splitter, not a validator. Every search works on byte positions
// of std::string, so any text (embedded NULs, no terminator, megabytes of
// colons) is split in linear time without reading outside it.
#include "CmUri.h"

#include <string>
#include <string_view>

#include "CmUriText.h"

using cm_uri_text::TrimBlanks;

struct CmUriRecord {
  CCmString m_strScheme;
  CCmString m_strUsername;
  CCmString m_strPassword;
  CCmString m_strHost;
  unsigned short m_wPort = 0;
  CCmString m_strPath;
  CCmString m_strQuery;
  CCmString m_strFragment;
  CCmString m_strInputUrl;
};

namespace {

using std::string_view;
constexpr size_t npos = string_view::npos;

// The parts one Parse call found, as views into its input (the lower-cased
// scheme and fragment are owned); committed to the record only on success.
struct UriParts {
  std::string scheme, fragment;
  string_view username, password, host, path, query;
  unsigned short port = 0;
};

bool IsHierarchicalScheme(string_view aScheme) {
  return aScheme == "http" || aScheme == "https" || aScheme == "ws" || aScheme == "wss" || aScheme == "file";
}

// The split of ParseHostnamePort on views of the caller's text.
bool SplitHostnamePort(string_view aText, string_view& aHost, unsigned short& aPort) {
  const size_t colon = aText.rfind(':');
  string_view hostPart = TrimBlanks(aText.substr(0, colon));
  string_view portPart = colon == npos ? string_view() : aText.substr(colon + 1);
  if (hostPart.empty()) return false;
  if (hostPart[0] != '[') {
    // Colons left in the host part mean an address with colons and no port.
    if (hostPart.find(':') != npos) {
      hostPart = aText;
      portPart = string_view();
    }
  } else {
    if (hostPart.size() < 2 || hostPart.back() != ']') return false;
    hostPart = hostPart.substr(1, hostPart.size() - 2);
  }
  hostPart = TrimBlanks(hostPart);
  portPart = TrimBlanks(portPart);
  for (char c : portPart) {
    if (!cm_uri_text::IsAsciiDigit(c)) return false;
  }
  // atoi's saturation at 2147483647 first, then the low 16 bits.
  aPort = static_cast<unsigned short>(static_cast<uint32_t>(cm_uri_text::AtoiSaturating(portPart)) & 0xFFFFu);
  aHost = hostPart;
  return true;
}

// "//" [userinfo "@"] hostport ["/" path]; false when "//" is missing.
bool ParseHierarchical(string_view aRest, UriParts& aParts) {
  string_view rest = TrimBlanks(aRest);
  if (rest.substr(0, 2) != "//") return false;
  rest.remove_prefix(2);
  const size_t slash = rest.find('/');
  if (slash != npos) {
    aParts.path = rest.substr(slash);
    rest = rest.substr(0, slash);
  }
  const size_t at = rest.find('@');
  if (at != npos) {
    const string_view userInfo = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    const size_t colon = userInfo.find(':');
    aParts.username = userInfo.substr(0, colon);
    if (colon != npos) aParts.password = userInfo.substr(colon + 1);
  }
  // A host that does not split leaves host and port empty; the URI still parses.
  SplitHostnamePort(rest, aParts.host, aParts.port);
  return true;
}

}  // namespace

CCmUri::CCmUri() : m_pRecord(new CmUriRecord) {}

// The base is default-constructed on purpose: a copy is a new object, and it
// must not inherit the references held on its source.
// NOLINTNEXTLINE(bugprone-copy-constructor-init): the references are not copied (above)
CCmUri::CCmUri(const CCmUri& aOther)
    : CCmReferenceControlT<CCmMutexThread>(), m_pRecord(new CmUriRecord(*aOther.m_pRecord)) {}

CCmUri& CCmUri::operator=(const CCmUri& aOther) {
  if (this != &aOther) *m_pRecord = *aOther.m_pRecord;
  return *this;
}

CCmUri::~CCmUri() { delete m_pRecord; }

bool CCmUri::Parse(const CCmString& aUri) {
  m_pRecord->m_strInputUrl = aUri;
  // The views below point into the stored copy, which stays put until the
  // parts are committed.
  const string_view uri = m_pRecord->m_strInputUrl;
  const size_t colon = uri.find(':');
  if (uri.empty() || colon == npos) return false;

  UriParts parts;
  parts.scheme = std::string(TrimBlanks(uri.substr(0, colon)));
  parts.scheme = cm_uri_text::LowerAscii(std::move(parts.scheme));
  string_view rest = uri.substr(colon + 1);
  bool queryOrFragment = false;
  const size_t hash = rest.rfind('#');
  if (hash != npos) {
    parts.fragment = cm_uri_text::LowerAscii(std::string(rest.substr(hash + 1)));
    rest = rest.substr(0, hash);
    queryOrFragment = true;
  }
  const size_t question = rest.rfind('?');
  if (question != npos) {
    parts.query = rest.substr(question + 1);
    rest = rest.substr(0, question);
    queryOrFragment = true;
  }

  if (parts.scheme == "stun" || parts.scheme == "news") {
    if (!SplitHostnamePort(rest, parts.host, parts.port)) return false;
  } else if (IsHierarchicalScheme(parts.scheme) || queryOrFragment) {
    if (!ParseHierarchical(rest, parts)) return false;
  } else {
    parts.path = TrimBlanks(rest);
  }

  CmUriRecord& r = *m_pRecord;
  r.m_strScheme = std::move(parts.scheme);
  r.m_strQuery.assign(parts.query.data(), parts.query.size());
  r.m_strFragment = std::move(parts.fragment);
  r.m_strPath.assign(parts.path.data(), parts.path.size());
  r.m_strUsername.assign(parts.username.data(), parts.username.size());
  r.m_strPassword.assign(parts.password.data(), parts.password.size());
  r.m_strHost.assign(parts.host.data(), parts.host.size());
  r.m_wPort = parts.port;
  if (r.m_wPort == 0) r.m_wPort = static_cast<unsigned short>(GetDefaultPort(r.m_strScheme));
  return true;
}

bool CCmUri::ParseHostnamePort(const CCmString& aText, CCmString& aHost, unsigned short& aPort) {
  string_view host;
  unsigned short port = 0;
  if (!SplitHostnamePort(aText, host, port)) return false;
  aHost.assign(host.data(), host.size());
  aPort = port;
  return true;
}

short CCmUri::GetDefaultPort(const CCmString& aScheme) {
  if (aScheme == "stun") return 3478;
  return static_cast<short>(cm_uri_text::WebDefaultPort(aScheme));
}

bool CCmUri::IsNumber(const CCmString& aText) {
  if (aText.empty() || aText[0] == '\0') return true;
  for (char c : aText) {
    if (!cm_uri_text::IsAsciiDigit(c)) return false;
  }
  return true;
}

const CCmString& CCmUri::GetScheme() const { return m_pRecord->m_strScheme; }
const CCmString& CCmUri::GetUsername() const { return m_pRecord->m_strUsername; }
const CCmString& CCmUri::GetPassword() const { return m_pRecord->m_strPassword; }
const CCmString& CCmUri::GetHostNameRef() const { return m_pRecord->m_strHost; }
CCmString CCmUri::GetHostName() const { return m_pRecord->m_strHost; }
unsigned short CCmUri::GetPort() const { return m_pRecord->m_wPort; }
const CCmString& CCmUri::GetPath() const { return m_pRecord->m_strPath; }
const CCmString& CCmUri::GetQuery() const { return m_pRecord->m_strQuery; }
const CCmString& CCmUri::GetFragment() const { return m_pRecord->m_strFragment; }
const CCmString& CCmUri::GetInputUrl() const { return m_pRecord->m_strInputUrl; }

void CCmUri::SetUsername(const CCmString& aUsername) { m_pRecord->m_strUsername = aUsername; }
void CCmUri::SetPassword(const CCmString& aPassword) { m_pRecord->m_strPassword = aPassword; }

CCmString CCmUri::GetNameAndPort() const {
  const CmUriRecord& r = *m_pRecord;
  if (r.m_wPort == static_cast<unsigned short>(GetDefaultPort(r.m_strScheme))) return r.m_strHost;
  return r.m_strHost + ":" + std::to_string(r.m_wPort);
}
