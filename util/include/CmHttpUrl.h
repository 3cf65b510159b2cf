// CmHttpUrl.h - CCmHttpUrl, the web / web-socket / file address that the
// engine builds and forwards, and url_string_encode, the form encoder.
//
// CCmHttpUrl knows five schemes ("http", "https", "ws", "wss", "file"),
// keeps host, port and path, turns blanks of web addresses into "%20" and
// rebuilds the canonical text ("scheme://host[:port]/path", what GetAsciiSpec returns)
// on demand. Use it for addresses you must give back as text; to take apart
// an arbitrary URI (user information, query, fragment, stun addresses) use
// CCmUri (CmUri.h). The two share no code.
#ifndef CM_HTTP_URL_H
#define CM_HTTP_URL_H

#include "CmMutex.h"
#include "CmString.h"
#include "CmUtilTemplates.h"

struct CmHttpUrlRecord;

// Reference counted: the last ReleaseReference deletes it. A copy (or an
// assignment) takes the whole record of its source (cached text included)
// but keeps its own reference count: a new copy starts at 0.
//
// Thread safety: the reference count may be changed from any thread; the
// rest belongs to one thread at a time. GetAsciiSpec fills a cache, so even
// it is not a read-only call.
class CM_EXPORT CCmHttpUrl : public CCmReferenceControlT<CCmMutexNullSingleThread> {
 public:
  static const char* const s_pszSchemeHttp;   // "http"
  static const char* const s_pszSchemeHttps;  // "https"
  static const char* const s_pszSchemeFile;   // "file"
  static const char* const s_pszSchemeWS;     // "ws"
  static const char* const s_pszSchemeWSS;    // "wss"
  static const char* get_pszSchemeHttp();
  static const char* get_pszSchemeHttps();
  static const char* get_pszSchemeFile();

  CCmHttpUrl();
  CCmHttpUrl(const CCmHttpUrl& aOther);
  CCmHttpUrl& operator=(const CCmHttpUrl& aOther);
  ~CCmHttpUrl() override;

  // Parses "scheme://host[:port][/path]" (scheme matched without regard to
  // case; leading and trailing blanks ignored) or "file://path". Returns 1
  // on success. Returns 0 for an empty text or an unknown scheme (traced at
  // level 0), leaving the object as it was; and for an empty host, found
  // by SetNameAndPort once the scheme is taken: scheme, host and port are
  // then those set so far, the path is unchanged.
  int Init(const CCmString& aUrl);

  // "host" or "host:port"; a port of 0 or one that is not a number means the
  // scheme's default. The host is cut at the first ':'. Returns 1 when the
  // host is not empty; 0 for an empty text (nothing changed) or empty host.
  int SetNameAndPort(const CCmString& aNameAndPort);
  // "host:port"; the host alone when aAlwaysPort is 0 and the port is the
  // scheme's default.
  CCmString GetNameAndPort(int aAlwaysPort) const;
  // An empty path is stored as "/".
  void SetPath(const CCmString& aPath);
  // 0 stores the scheme's default port.
  void SetPortA(unsigned short aPort);

  CCmString GetScheme() const;
  CCmString GetPath() const;
  CCmString GetHostName() const;
  unsigned short GetPort() const;

  // scheme "://" GetNameAndPort(0) path (a "/" put in front when missing),
  // cached until the next change.
  CCmString GetAsciiSpec();

 private:
  static unsigned short GetDefaultPort(const CCmString& aScheme);

  CmHttpUrlRecord* m_pRecord;
};

CM_EXTERN_C_BEGIN
// Form-encodes the NUL-terminated aSrc into aDst, a buffer of aLength
// bytes: ASCII letters and digits stay, a blank becomes "+", every other
// byte "%" and two lower-case hex digits. Returns aDst, always terminated
// when aLength >= 1. It never writes more than aLength bytes: encoding stops
// before the first source byte whose encoding and the terminating NUL would
// not fit (3 * strlen(aSrc) + 1 bytes always suffice). A null aSrc encodes as
// the empty text; a null aDst or aLength < 1 writes nothing.
CM_EXPORT char* url_string_encode(const char* aSrc, char* aDst, int aLength);
CM_EXTERN_C_END

#endif  // CM_HTTP_URL_H
