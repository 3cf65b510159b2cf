// Fuzzes the JSON debug configuration reader. Invariants:
//  - ParseConfigJSON returns 0 and never loses an unrelated key (merge);
//  - the null rewrite changes only the letter case of some bytes, is
//    idempotent, and leaves text a standard parser accepts untouched;
//  - the table ends up holding exactly the top-level members (each with the
//    kind its written form calls for), or nothing new when the text is no
//    object or holds a NUL byte;
//  - every getter answers according to that kind and gives back the value
//    written.
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CmDebugFileConfig.h"
#include "CmDebugFileConfigInternal.h"

namespace {

using Json = nlohmann::json;

const char kSentinel[] = "fuzz sentinel \x7f";

// The kind the table must record for a member, told from how the value is
// written rather than from the parsed value's type: compact text of a
// number holds "." or an exponent exactly when it does not fit 64 bits or
// was written that way; an integer is then placed by comparing its digits
// with the 32-bit limits.
bool DigitsAbove(const std::string& aDigits, const std::string& aLimit) {
  return aDigits.size() != aLimit.size() ? aDigits.size() > aLimit.size() : aDigits > aLimit;
}

int ExpectedKind(const std::string& aText) {
  switch (aText[0]) {
    case 'n': return kCmJsonNull;
    case '"': return kCmJsonString;
    case 't':
    case 'f': return kCmJsonBool;
    case '{': return kCmJsonObject;
    case '[': return kCmJsonArray;
    default: break;
  }
  if (aText.find_first_of(".eE") != std::string::npos) return kCmJsonDouble;
  if (aText[0] == '-') return DigitsAbove(aText.substr(1), "2147483648") ? kCmJsonInt64 : kCmJsonInt;
  return DigitsAbove(aText, "2147483647") ? kCmJsonUint64 : kCmJsonInt;
}

// Every getter answers for its own kind only, and what it hands back is the
// value the text wrote (numbers read back from their text independently).
void CheckGetters(CZarDebugFileConfig* aConfig, const std::string& aKey, int aKind, const Json& aValue,
                  const std::string& aText) {
  CCmString s;
  int i = 0;
  double d = 0;
  bool b = false;
  const bool gotString = aConfig->GetValueString(aKey, s) == 0;
  const bool gotInt = aConfig->GetValueInt(aKey, i) == 0;
  const bool gotDouble = aConfig->GetValueDouble(aKey, d) == 0;
  const bool gotBool = aConfig->GetValueBool(aKey, b) == 0;
  if (gotString != (aKind == kCmJsonString) || gotInt != (aKind == kCmJsonInt) ||
      gotDouble != (aKind == kCmJsonDouble) || gotBool != (aKind == kCmJsonBool)) {
    __builtin_trap();
  }
  if (gotString && s != aValue.get<std::string>()) __builtin_trap();
  if (gotInt && i != strtol(aText.c_str(), nullptr, 10)) __builtin_trap();
  if (gotDouble && d != strtod(aText.c_str(), nullptr)) __builtin_trap();
  if (gotBool && b != (aText == "true")) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);

  const std::string lowered = CmJsonLowerCaseNulls(text);
  if (lowered.size() != text.size()) __builtin_trap();
  for (size_t i = 0; i < text.size(); ++i) {
    if (lowered[i] != text[i] && tolower(static_cast<unsigned char>(text[i])) != lowered[i]) __builtin_trap();
  }
  if (CmJsonLowerCaseNulls(lowered) != lowered) __builtin_trap();
  // A NUL byte is never valid JSON (the standard parser would stop there).
  const bool hasNul = text.find('\0') != std::string::npos;
  if (!hasNul && Json::accept(text) && lowered != text) __builtin_trap();

  CZarDebugFileConfig* config = CZarDebugFileConfig::instance();
  config->CleanDebugConfigs();
  config->SetValueInt(kSentinel, 1);
  if (config->ParseConfigJSON(text) != 0) __builtin_trap();

  const Json expected = hasNul ? Json() : Json::parse(lowered, nullptr, false);
  size_t expectedSize = 1;
  bool sentinelReplaced = false;
  if (expected.is_object()) {
    for (const auto& member : expected.items()) {
      const std::string written = member.value().dump();
      const int kind = ExpectedKind(written);
      if (CmDebugConfigForTesting::TypeOf(config, member.key()) != kind) __builtin_trap();
      CheckGetters(config, member.key(), kind, member.value(), written);
      if (member.key() == kSentinel) sentinelReplaced = true;
    }
    expectedSize = expected.size() + (sentinelReplaced ? 0 : 1);
  }
  if (CmDebugConfigForTesting::Size(config) != expectedSize) __builtin_trap();
  if (!sentinelReplaced && CmDebugConfigForTesting::TypeOf(config, kSentinel) != kCmJsonInt) __builtin_trap();
  config->CleanDebugConfigs();
  return 0;
}
