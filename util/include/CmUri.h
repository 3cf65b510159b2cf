// CmUri.h - CCmUri, the forgiving URI splitter.
//
// CCmUri splits one URI text into scheme, user name, password, host, port,
// path, query and fragment, and keeps the text it was last given. It checks
// no character classes and decodes no percent escapes: it is meant for the
// few schemes the engine meets (http, https, ws, wss, stun, file and simple
// opaque forms such as mailto). For web, web-socket and file addresses that
// must be rebuilt in a canonical form, use CCmHttpUrl (CmHttpUrl.h).
//
//   scheme ":" [ "//" [user [":" password] "@"] host [":" port] ] path ["?" query] ["#" fragment]
//   stun:host[:port]    news:host[:port]    mailto:someone
//
// Only the scheme and the fragment are lower-cased. The host of a
// hierarchical URI that does not split (a bracketed address without a port,
// a port that is not all digits) is left empty and the parse still succeeds.
#ifndef CM_URI_H
#define CM_URI_H

#include "CmMutex.h"
#include "CmString.h"
#include "CmUtilTemplates.h"

struct CmUriRecord;

// Reference counted: the last ReleaseReference deletes it. A copy (or an
// assignment) takes every parsed field and the input text of its source but
// keeps its own reference count: a new copy starts at 0.
//
// Thread safety: the reference count may be changed from any thread; Parse,
// the setters and the accessors are not synchronised, so one object is used
// by one thread at a time (concurrent reads of an unchanging object are safe).
class CM_EXPORT CCmUri : public CCmReferenceControlT<CCmMutexThread> {
 public:
  CCmUri();
  CCmUri(const CCmUri& aOther);
  CCmUri& operator=(const CCmUri& aOther);
  ~CCmUri() override;

  // Splits aUri. True on success, after which every field describes aUri
  // (fields it lacks are empty; a port it lacks is the scheme's default).
  // False for an empty text, a text without ':', a stun/news address whose
  // host and port do not split, or a hierarchical address without "//"; the
  // other fields then keep the previous parse. The input URL is aUri either way.
  bool Parse(const CCmString& aUri);

  // Splits "host", "host:port", "[v6]" followed by ":port", or an address with
  // colons and no port. On success writes both outputs; on failure neither. A
  // port beyond 65535 keeps its low 16 bits (beyond 2147483647 it counts as
  // 2147483647 first); an empty port gives 0.
  static bool ParseHostnamePort(const CCmString& aText, CCmString& aHost, unsigned short& aPort);

  // 80 for "http" and "ws", 443 for "https" and "wss", 3478 for "stun", else
  // 0 (exact, case-sensitive comparison).
  static short GetDefaultPort(const CCmString& aScheme);

  const CCmString& GetScheme() const;
  const CCmString& GetUsername() const;
  const CCmString& GetPassword() const;
  const CCmString& GetHostNameRef() const;
  CCmString GetHostName() const;
  unsigned short GetPort() const;
  const CCmString& GetPath() const;
  const CCmString& GetQuery() const;
  const CCmString& GetFragment() const;
  const CCmString& GetInputUrl() const;

  void SetUsername(const CCmString& aUsername);
  void SetPassword(const CCmString& aPassword);

  // The host alone when the port is the scheme's default, else "host:port".
  // No brackets are put around a host with colons.
  CCmString GetNameAndPort() const;

 protected:
  // True for the empty text, a text starting with a NUL byte, or decimal
  // digits only.
  static bool IsNumber(const CCmString& aText);

 private:
  CmUriRecord* m_pRecord;
};

#endif  // CM_URI_H
