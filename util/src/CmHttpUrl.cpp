// CCmHttpUrl and url_string_encode.
#include "CmHttpUrl.h"

#include <string>
#include <string_view>

#include "CmTrace.h"
#include "CmUriText.h"

struct CmHttpUrlRecord {
  CCmString m_strAsciiSpec;  // empty while it must be rebuilt
  CCmString m_strScheme;
  CCmString m_strPath;
  CCmString m_strHost;
  unsigned short m_wPort = 0;
};

const char* const CCmHttpUrl::s_pszSchemeHttp = "http";
const char* const CCmHttpUrl::s_pszSchemeHttps = "https";
const char* const CCmHttpUrl::s_pszSchemeFile = "file";
const char* const CCmHttpUrl::s_pszSchemeWS = "ws";
const char* const CCmHttpUrl::s_pszSchemeWSS = "wss";

namespace {

struct SchemePrefix {
  const char* m_pszPrefix;
  size_t m_nLength;
  const char* m_pszScheme;
};

// In the order they are tried.
const SchemePrefix kPrefixes[] = {
    {"http://", 7, CCmHttpUrl::s_pszSchemeHttp}, {"https://", 8, CCmHttpUrl::s_pszSchemeHttps},
    {"file://", 7, CCmHttpUrl::s_pszSchemeFile}, {"ws://", 5, CCmHttpUrl::s_pszSchemeWS},
    {"wss://", 6, CCmHttpUrl::s_pszSchemeWSS},
};

unsigned short DefaultPort(std::string_view aScheme) { return cm_uri_text::WebDefaultPort(aScheme); }

bool StartsWithNoCase(const std::string& aText, size_t aStart, const char* aPrefix, size_t aLength) {
  if (aText.size() - aStart < aLength) return false;
  for (size_t i = 0; i < aLength; ++i) {
    char c = aText[aStart + i];
    if (cm_uri_text::IsAsciiUpper(c)) c = static_cast<char>(c - 'A' + 'a');
    if (c != aPrefix[i]) return false;
  }
  return true;
}

// "host" or "host:port" with atoi's reading of the port; 0 (also from a
// text that is no number) means the scheme's default. False when the host
// is empty (the outputs are written all the same).
bool SplitNameAndPort(std::string_view aText, std::string_view aScheme, std::string_view& aHost,
                      unsigned short& aPort) {
  const size_t colon = aText.find(':');
  aHost = aText.substr(0, colon);
  aPort = 0;
  if (colon != std::string_view::npos) {
    const int32_t port = cm_uri_text::AtoiSaturating(aText.substr(colon + 1));
    aPort = static_cast<unsigned short>(static_cast<uint32_t>(port) & 0xFFFFu);
  }
  if (aPort == 0) aPort = DefaultPort(aScheme);
  return !aHost.empty();
}

std::string EscapeBlanks(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (char c : aText) {
    if (c == ' ') out += "%20";
    else out += c;
  }
  return out;
}

// A drive letter and colon before the first slash ("C:/dir") start the path.
std::string FilePath(const std::string& aRest, size_t aSlash) {
  if (aSlash == std::string::npos) return aRest;
  if (aSlash >= 2 && cm_uri_text::IsAsciiAlpha(aRest[aSlash - 2])) return aRest.substr(aSlash - 2);
  return aRest.substr(aSlash);
}

}  // namespace

const char* CCmHttpUrl::get_pszSchemeHttp() { return s_pszSchemeHttp; }
const char* CCmHttpUrl::get_pszSchemeHttps() { return s_pszSchemeHttps; }
const char* CCmHttpUrl::get_pszSchemeFile() { return s_pszSchemeFile; }

CCmHttpUrl::CCmHttpUrl() : m_pRecord(new CmHttpUrlRecord) {}

// A copy is a new object: it does not inherit the references held on its source.
// NOLINTNEXTLINE(bugprone-copy-constructor-init): the references are not copied (above)
CCmHttpUrl::CCmHttpUrl(const CCmHttpUrl& aOther)
    : CCmReferenceControlT<CCmMutexNullSingleThread>(), m_pRecord(new CmHttpUrlRecord(*aOther.m_pRecord)) {}

CCmHttpUrl& CCmHttpUrl::operator=(const CCmHttpUrl& aOther) {
  if (this != &aOther) *m_pRecord = *aOther.m_pRecord;
  return *this;
}

CCmHttpUrl::~CCmHttpUrl() { delete m_pRecord; }

unsigned short CCmHttpUrl::GetDefaultPort(const CCmString& aScheme) { return DefaultPort(aScheme); }

int CCmHttpUrl::Init(const CCmString& aUrl) {
  const size_t start = aUrl.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  const SchemePrefix* match = nullptr;
  for (const SchemePrefix& p : kPrefixes) {
    if (StartsWithNoCase(aUrl, start, p.m_pszPrefix, p.m_nLength)) {
      match = &p;
      break;
    }
  }
  if (!match) {
    CM_ERROR_TRACE_THIS("CCmHttpUrl::Init error format, scheme = " << aUrl);
    return 0;
  }

  const char* scheme = match->m_pszScheme;
  const bool isFile = std::string_view(scheme) == s_pszSchemeFile;
  std::string_view restView = cm_uri_text::TrimBlanks(std::string_view(aUrl).substr(start + match->m_nLength));
  const std::string rest = isFile ? std::string(restView) : EscapeBlanks(restView);
  const size_t slash = rest.find('/');
  CmHttpUrlRecord& r = *m_pRecord;
  r.m_strScheme = scheme;
  r.m_strAsciiSpec.clear();
  if (isFile) {
    r.m_strPath = FilePath(rest, slash);
    return 1;
  }
  // The default port SetNameAndPort picks is that of the scheme just taken.
  if (!SetNameAndPort(rest.substr(0, slash))) return 0;
  if (slash == std::string::npos) r.m_strPath = "/";
  else r.m_strPath.assign(rest, slash, std::string::npos);
  return 1;
}

int CCmHttpUrl::SetNameAndPort(const CCmString& aNameAndPort) {
  if (aNameAndPort.empty()) return 0;
  CmHttpUrlRecord& r = *m_pRecord;
  std::string_view host;
  SplitNameAndPort(aNameAndPort, r.m_strScheme, host, r.m_wPort);
  r.m_strHost.assign(host.data(), host.size());
  r.m_strAsciiSpec.clear();
  return r.m_strHost.empty() ? 0 : 1;
}

CCmString CCmHttpUrl::GetNameAndPort(int aAlwaysPort) const {
  const CmHttpUrlRecord& r = *m_pRecord;
  if (aAlwaysPort == 0 && r.m_wPort == GetDefaultPort(r.m_strScheme)) return r.m_strHost;
  return r.m_strHost + ":" + std::to_string(r.m_wPort);
}

void CCmHttpUrl::SetPath(const CCmString& aPath) {
  m_pRecord->m_strAsciiSpec.clear();
  m_pRecord->m_strPath = aPath.empty() ? CCmString("/") : aPath;
}

void CCmHttpUrl::SetPortA(unsigned short aPort) {
  m_pRecord->m_strAsciiSpec.clear();
  m_pRecord->m_wPort = aPort != 0 ? aPort : GetDefaultPort(m_pRecord->m_strScheme);
}

CCmString CCmHttpUrl::GetScheme() const { return m_pRecord->m_strScheme; }
CCmString CCmHttpUrl::GetPath() const { return m_pRecord->m_strPath; }
CCmString CCmHttpUrl::GetHostName() const { return m_pRecord->m_strHost; }
unsigned short CCmHttpUrl::GetPort() const { return m_pRecord->m_wPort; }

CCmString CCmHttpUrl::GetAsciiSpec() {
  CmHttpUrlRecord& r = *m_pRecord;
  if (r.m_strAsciiSpec.empty()) {
    std::string& canonical = r.m_strAsciiSpec;
    canonical.reserve(r.m_strScheme.size() + r.m_strHost.size() + r.m_strPath.size() + 10);
    canonical += r.m_strScheme;
    canonical += "://";
    canonical += r.m_strHost;
    if (r.m_wPort != GetDefaultPort(r.m_strScheme)) {  // GetNameAndPort(0)
      canonical += ':';
      canonical += std::to_string(r.m_wPort);
    }
    if (r.m_strPath.empty() || r.m_strPath[0] != '/') canonical += '/';
    canonical += r.m_strPath;
  }
  return r.m_strAsciiSpec;
}

char* url_string_encode(const char* aSrc, char* aDst, int aLength) {
  if (!aDst || aLength < 1) return aDst;
  static const char kHex[] = "0123456789abcdef";
  int written = 0;
  for (const char* p = aSrc; p && *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool plain = cm_uri_text::IsAsciiAlpha(static_cast<char>(c)) || cm_uri_text::IsAsciiDigit(static_cast<char>(c));
    const int unit = plain || c == ' ' ? 1 : 3;
    if (aLength - written <= unit) break;  // the unit and the terminating NUL must fit
    if (plain) {
      aDst[written++] = static_cast<char>(c);
    } else if (c == ' ') {
      aDst[written++] = '+';
    } else {
      aDst[written++] = '%';
      aDst[written++] = kHex[c >> 4];
      aDst[written++] = kHex[c & 0xF];
    }
  }
  aDst[written] = '\0';
  return aDst;
}
