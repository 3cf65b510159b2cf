// CmUriText.h - small text helpers shared by the URL classes and the address
// utilities. Every function takes any bytes (embedded NULs included) and
// never reads outside the text it is given.
#ifndef CM_URI_TEXT_H
#define CM_URI_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace cm_uri_text {

// Trims the blank (code 32) only; tabs and line ends are ordinary bytes.
inline std::string_view TrimBlanks(std::string_view aText) {
  const size_t first = aText.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string_view();
  const size_t last = aText.find_last_not_of(' ');
  return aText.substr(first, last - first + 1);
}

// The port a web scheme implies: 80 for "http" and "ws", 443 for "https"
// and "wss" (exact, case-sensitive), else 0.
inline unsigned short WebDefaultPort(std::string_view aScheme) {
  if (aScheme == "http" || aScheme == "ws") return 80;
  if (aScheme == "https" || aScheme == "wss") return 443;
  return 0;
}

inline bool IsAsciiDigit(char aChar) { return aChar >= '0' && aChar <= '9'; }
inline bool IsAsciiUpper(char aChar) { return aChar >= 'A' && aChar <= 'Z'; }
inline bool IsAsciiAlpha(char aChar) { return IsAsciiUpper(aChar) || (aChar >= 'a' && aChar <= 'z'); }

// Upper-case ASCII letters to lower case, every other byte unchanged (what
// isupper/tolower do in the "C" locale, whatever locale the host set).
inline std::string LowerAscii(std::string aText) {
  for (char& c : aText) {
    if (IsAsciiUpper(c)) c = static_cast<char>(c - 'A' + 'a');
  }
  return aText;
}

// atoi as the engine always read numbers: leading white space, an optional
// sign, then decimal digits up to the first other byte (or a NUL). Values
// outside the signed 32-bit range saturate at its ends.
inline int32_t AtoiSaturating(const char* aText, size_t aLength) {
  size_t i = 0;
  while (i < aLength && (aText[i] == ' ' || (aText[i] >= '\t' && aText[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < aLength && (aText[i] == '+' || aText[i] == '-')) negative = aText[i++] == '-';
  int64_t value = 0;
  for (; i < aLength && IsAsciiDigit(aText[i]); ++i) {
    value = value * 10 + (aText[i] - '0');
    if (value > INT64_C(2147483648)) value = INT64_C(2147483648);  // stays saturated
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

inline int32_t AtoiSaturating(std::string_view aText) { return AtoiSaturating(aText.data(), aText.size()); }

}  // namespace cm_uri_text

#endif  // CM_URI_TEXT_H
