// CmString.h - CCmString, the library's byte string.
//
// It is the standard string with nothing added: same value semantics, no
// extra data, no virtual functions. Interfaces take it by value or by const
// reference. Not synchronised (a value type).
#ifndef CM_STRING_H
#define CM_STRING_H

#include <string>
#include <utility>

#include "CmDefines.h"

// The standard string under the engine's name (see above). Not
// synchronised.
class CCmString : public std::string {
 public:
  using std::string::string;
  CCmString() = default;
  CCmString(const std::string& aStr) : std::string(aStr) {}
  CCmString(std::string&& aStr) noexcept : std::string(std::move(aStr)) {}
  using std::string::operator=;
};

#endif  // CM_STRING_H
