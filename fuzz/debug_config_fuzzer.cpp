// Fuzzes the JSON debug configuration reader. Invariants:
//  - ParseConfigJSON returns 0 and never loses an unrelated key (merge);
//  - the null rewrite changes only the letter case of some bytes, is
//    idempotent, and leaves text a standard parser accepts untouched;
//  - the table ends up holding exactly the top-level members (each with the
//    kind the JSON value has), or nothing new when the text is no object or
//    holds a NUL byte;
//  - every getter answers according to the stored kind.
#include <nlohmann/json.hpp>

#include <cctype>
#include <climits>
#include <cstdint>
#include <string>

#include "CmDebugFileConfig.h"
#include "CmDebugFileConfigInternal.h"

namespace {

using Json = nlohmann::json;

const char kSentinel[] = "fuzz sentinel \x7f";

int KindOf(const Json& aValue) {
  switch (aValue.type()) {
    case Json::value_t::null: return kCmJsonNull;
    case Json::value_t::string: return kCmJsonString;
    case Json::value_t::boolean: return kCmJsonBool;
    case Json::value_t::number_integer: {
      const int64_t v = aValue.get<int64_t>();
      return v >= INT_MIN && v <= INT_MAX ? kCmJsonInt : kCmJsonInt64;
    }
    case Json::value_t::number_unsigned: return aValue.get<uint64_t>() <= INT_MAX ? kCmJsonInt : kCmJsonUint64;
    case Json::value_t::number_float: return kCmJsonDouble;
    case Json::value_t::object: return kCmJsonObject;
    case Json::value_t::array: return kCmJsonArray;
    default: return -2;
  }
}

void CheckGetters(CZarDebugFileConfig* aConfig, const std::string& aKey, int aKind) {
  CCmString s;
  int i;
  double d;
  bool b;
  if ((aConfig->GetValueString(aKey, s) == 0) != (aKind == kCmJsonString)) __builtin_trap();
  if ((aConfig->GetValueInt(aKey, i) == 0) != (aKind == kCmJsonInt)) __builtin_trap();
  if ((aConfig->GetValueDouble(aKey, d) == 0) != (aKind == kCmJsonDouble)) __builtin_trap();
  if ((aConfig->GetValueBool(aKey, b) == 0) != (aKind == kCmJsonBool)) __builtin_trap();
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
      const int kind = KindOf(member.value());
      if (CmDebugConfigForTesting::TypeOf(config, member.key()) != kind) __builtin_trap();
      CheckGetters(config, member.key(), kind);
      if (member.key() == kSentinel) sentinelReplaced = true;
    }
    expectedSize = expected.size() + (sentinelReplaced ? 0 : 1);
  }
  if (CmDebugConfigForTesting::Size(config) != expectedSize) __builtin_trap();
  if (!sentinelReplaced && CmDebugConfigForTesting::TypeOf(config, kSentinel) != kCmJsonInt) __builtin_trap();
  config->CleanDebugConfigs();
  return 0;
}
