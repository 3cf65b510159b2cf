// CPU classification of CmStaticPerformanceScore: brand-string parsing for
// Intel, Apple and AMD desktops, and the mobile SoC and machine tables.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "CmStaticPerformanceScore.h"
#include "CmStaticPerformanceScoreRecord.h"
#include "CmTrace.h"

namespace {

constexpr size_t kModelTokenSize = 1024;

bool Contains(const std::string& aText, const char* aWord) { return aText.find(aWord) != std::string::npos; }

bool StartsWithDigit(const std::string& aText) {
  return !aText.empty() && std::isdigit(static_cast<unsigned char>(aText[0]));
}

// Words separated by blanks; runs of blanks separate once.
std::vector<std::string> SplitWords(const std::string& aText) {
  std::vector<std::string> words;
  std::istringstream in(aText);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// The decimal number at aText[aFrom...], saturating at UINT32_MAX; 0 when
// there is no digit.
uint32_t LeadingNumber(const std::string& aText, size_t aFrom = 0) {
  uint64_t value = 0;
  for (size_t i = aFrom; i < aText.size() && std::isdigit(static_cast<unsigned char>(aText[i])); ++i) {
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(aText[i] - '0'), UINT32_MAX);
  }
  return static_cast<uint32_t>(value);
}

void CopyToken(char* aBuf, const std::string& aToken) {
  if (!aBuf) return;
  const size_t n = std::min(aToken.size(), kModelTokenSize - 1);
  std::memcpy(aBuf, aToken.data(), n);
  aBuf[n] = '\0';
}

const char* IntelFamily(const std::string& aBrand) {
  // "Core(TM)2" first: it contains "Core(TM)".
  for (const char* family : {"Core(TM)2", "Core(TM)", "Xeon(R)", "Celeron(R)", "Pentium(R)"}) {
    if (Contains(aBrand, family)) return family;
  }
  return nullptr;
}

// Tier word and model token of an Intel brand, from the first hyphenated
// word ("i7-8700K") or from the spelled-out forms ("i7 CPU 920",
// "Ultra 7 155H").
bool SplitIntelModel(const std::vector<std::string>& aWords, std::string& aTier, std::string& aToken) {
  for (size_t i = 2; i < aWords.size(); ++i) {
    const size_t dash = aWords[i].find('-');
    if (dash == std::string::npos) continue;
    aTier = aWords[i].substr(0, dash);
    aToken = aWords[i].substr(dash + 1);
    return true;
  }
  if (aWords.size() == 4) {
    aTier = aWords[2];
    aToken = aWords[3];
    return true;
  }
  if (aWords.size() < 5) return false;
  if (aWords[3] == "CPU") {
    aTier = aWords[2];
  } else if (aWords[2] == "Ultra") {
    aTier = aWords[3];
  } else {
    return false;
  }
  aToken = aWords[4];
  return true;
}

bool ParseIntelBrand(const std::string& aBrand, std::string& aTier, unsigned& aModel, bool& aFlag, std::string& aFamily,
                     char* aModelToken) {
  const std::vector<std::string> words = SplitWords(aBrand);
  if (words.size() < 2) return false;
  const char* family = IntelFamily(aBrand);
  aFamily = family ? family : words[1];
  if (!family && words[1][0] == 'N') {
    // Brands such as "Intel(R) N100" name the model without a family.
    const uint32_t n = LeadingNumber(words[1], 1);
    if (n != 0) {
      aFamily = "N";
      aModel = n;
      CopyToken(aModelToken, words[1]);
      return true;
    }
  }
  std::string token;
  if (!SplitIntelModel(words, aTier, token)) return false;
  if (token.size() >= 2 && token[1] == 'Y') token[1] = '0';
  if (!StartsWithDigit(token)) return false;
  aModel = LeadingNumber(token);
  CopyToken(aModelToken, token);
  size_t digits = 0;
  while (digits < token.size() && std::isdigit(static_cast<unsigned char>(token[digits]))) ++digits;
  aFlag = digits < token.size();
  return true;
}

bool ParseRyzenBrand(const std::string& aBrand, unsigned& aModel, std::string& aFamily, char* aModelToken) {
  aFamily = "Ryzen";
  const size_t at = aBrand.find("Ryzen ");
  if (at == std::string::npos) return false;
  const size_t from = at + 6;
  size_t end = from;
  while (end < aBrand.size() && std::isdigit(static_cast<unsigned char>(aBrand[end]))) ++end;
  if (end == from) return false;
  aModel = LeadingNumber(aBrand, from);
  CopyToken(aModelToken, aBrand.substr(from, end - from));
  return true;
}

int32_t IntelTier(const std::string& aTier) {
  if (aTier == "i3" || aTier == "m3" || aTier == "M" || aTier == "3") return 3;
  if (aTier == "i5" || aTier == "5") return 5;
  if (aTier == "i7" || aTier == "7") return 7;
  if (aTier == "i9" || aTier == "9") return 9;
  return 0;
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature
bool getCpuModelAndGeneration(std::string brand, std::string& tierWord, unsigned& modelNumber, bool& flag,
                              std::string& familyWord, char* modelToken) {
  CopyToken(modelToken, "unknown");
  modelNumber = 0;
  flag = false;
  if (Contains(brand, "Intel")) return ParseIntelBrand(brand, tierWord, modelNumber, flag, familyWord, modelToken);
  if (Contains(brand, "AMD") && Contains(brand, "Ryzen")) {
    return ParseRyzenBrand(brand, modelNumber, familyWord, modelToken);
  }
  return false;
}

// ---- desktop classification

int CmStaticPerformanceScore::CheckCPUInfo(_tagZarCPUModelInfo& info) {
  const std::string brand = m_pRecord->cpuInfo;
  const int32_t* row = m_pRecord->CpuRow();
  _tagZarCPUModelInfo result;
  int rc = 0;
  if (Contains(brand, "Intel")) rc = ClassifyIntel(brand, row, result);
  if (rc == 0 && Contains(brand, "Apple")) rc = ClassifyApple(brand, row, result);
  if (rc == 0 && Contains(brand, "AMD") && Contains(brand, "Ryzen")) rc = ClassifyAmd(brand, row, result);
  if (rc != 0) return rc;
  info = result;
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore::CheckCPUInfo gen = " << info.gen << ", i = " << info.i
                                                                     << ", k = " << info.k);
  return 0;
}

int CmStaticPerformanceScore::ClassifyIntel(const std::string& aBrand, const int32_t* aRow,
                                            _tagZarCPUModelInfo& aInfo) {
  std::string tier, family;
  unsigned n = 0;
  bool flag = false;
  char token[kModelTokenSize];
  getCpuModelAndGeneration(aBrand, tier, n, flag, family, token);
  if (family != "Core(TM)") return ZAR_S_FALSE;
  const int32_t i = IntelTier(tier);
  if (i == 0) return ZAR_S_FALSE;
  if (n < 1000) {
    aInfo.gen = (Int32(static_cast<int32_t>(n / 100)) + 12 + aRow[ZarCPUType_IntelCoreUltra]).get();
    aInfo.k = static_cast<int32_t>((n % 100) / 10);
  } else if (n < 2000) {
    aInfo.gen = (Int32(aRow[ZarCPUType_IntelCore]) + static_cast<int32_t>(n / 100)).get();
    aInfo.k = static_cast<int32_t>((n % 100) / 10);
  } else if (n <= 19999) {
    aInfo.gen = (Int32(aRow[ZarCPUType_IntelCore]) + static_cast<int32_t>(n / 1000)).get();
    aInfo.k = static_cast<int32_t>((n % 1000) / 100);
  } else {
    return ZAR_S_FALSE;
  }
  aInfo.i = i;
  // Power-saving segments (P, U, V, G-graphics models) score lower.
  const size_t len = strlen(token);
  if (len >= 1 && token[len - 1] == 'P') {
    m_pRecord->m_ScoreOffset = 1;
  } else if ((len >= 1 && (token[len - 1] == 'U' || token[len - 1] == 'V')) || (len >= 2 && token[len - 2] == 'G')) {
    m_pRecord->m_ScoreOffset = 2;
  }
  return 0;
}

int CmStaticPerformanceScore::ClassifyApple(const std::string& aBrand, const int32_t* aRow,
                                            _tagZarCPUModelInfo& aInfo) {
  if (Contains(aBrand, "Virtual") || Contains(aBrand, "virtual")) return ZAR_S_FALSE;
  Int32 d = 0;
  for (char c : aBrand) {
    if (std::isdigit(static_cast<unsigned char>(c))) d = d * 10 + (c - '0');
  }
  if (d.get() < 1) return ZAR_S_FALSE;
  aInfo.gen = (Int32(aRow[ZarCPUType_AppleM]) + 10 + d).get();
  aInfo.i = Contains(aBrand, "Pro") ? 7 : Contains(aBrand, "Max") ? 9 : Contains(aBrand, "Ultra") ? 11 : 5;
  aInfo.k = 0;
  return 0;
}

int CmStaticPerformanceScore::ClassifyAmd(const std::string& aBrand, const int32_t* aRow, _tagZarCPUModelInfo& aInfo) {
  const std::vector<std::string> words = SplitWords(aBrand);
  for (size_t w = 0; w + 2 < words.size(); ++w) {
    if (words[w] != "Ryzen") continue;
    const int32_t tier = StartsWithDigit(words[w + 1])
                             ? static_cast<int32_t>(std::min<uint32_t>(LeadingNumber(words[w + 1]), INT32_MAX))
                             : 0;
    size_t model = w + 2;
    if (words[model] == "PRO") ++model;
    if (model >= words.size() || !StartsWithDigit(words[model])) continue;
    const uint32_t n = LeadingNumber(words[model]);
    const int32_t gen = (Int32(aRow[ZarCPUType_AMDRyzen]) + 5 + static_cast<int32_t>(n / 1000)).get();
    const int32_t k = static_cast<int32_t>((n % 1000) / 100);
    if (tier != 0 && gen != 0 && k != 0) {
      aInfo.gen = gen;
      aInfo.i = tier;
      aInfo.k = k;
      return 0;
    }
  }
  // No failure is defined for a Ryzen brand without a usable model
  // (Threadripper, "Ryzen AI 9 ...", a bare "Ryzen 7"): it stays at zeros
  // and is scored by the formulas like a brand of no known maker.
  return 0;
}

// ---- mobile classification
//
// Android: cpuClass is on the score scale (the Android score is base +
// cpuClass), so a flagship SoC of its year rates 100 or more and counts as
// top level. Models are matched by prefix after lower-casing and dropping
// blanks, '-' and '_'; specific models come before the family prefixes that
// would also match them.

namespace {

struct SocClass {
  const char* prefix;
  int cpuClass;
};

const SocClass kQualcomm[] = {
    {"sm8750", 116}, {"sm8650", 110}, {"sm8635", 104}, {"sm8550", 105}, {"sm8475", 100}, {"sm8450", 97},
    {"sm8350", 94},  {"sm8250", 90},  {"sm8150", 86},  {"sm8", 100},    {"sm7", 80},     {"sm6", 70},
    {"sm4", 60},     {"sdm8", 82},    {"sdm7", 72},    {"sdm6", 65},    {"sdm4", 55},
};

const SocClass kMediatek[] = {
    {"mt6991", 116}, {"mt6989", 108}, {"mt6985", 102}, {"mt6983", 96}, {"mt6896", 90},
    {"mt6895", 88},  {"mt6893", 85},  {"mt68", 78},    {"mt67", 62},   {"mt8", 70},
};

const SocClass kExynos[] = {
    {"s5e9955", 112},    {"s5e9945", 105},    {"s5e9925", 96},    {"s5e9840", 94},
    {"exynos2500", 112}, {"exynos2400", 105}, {"exynos2200", 96}, {"exynos2100", 94},
    {"exynos990", 88},   {"exynos9", 84},     {"s5e8", 78},       {"exynos1", 78},
};

const SocClass kTensor[] = {
    {"tensorg4", 104},
    {"tensorg3", 100},
};

std::string NormalizeName(const std::string& aText) {
  std::string out;
  for (char c : aText) {
    if (c == ' ' || c == '-' || c == '_' || c == '\t') continue;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

template <size_t N>
bool LookUpSoc(const SocClass (&aTable)[N], const std::string& aModel, int& aClass) {
  for (const SocClass& entry : aTable) {
    if (aModel.compare(0, strlen(entry.prefix), entry.prefix) == 0) {
      aClass = entry.cpuClass;
      return true;
    }
  }
  return false;
}

bool ClassifySoc(const std::string& aMaker, const std::string& aModel, int& aClass) {
  const std::string maker = NormalizeName(aMaker);
  const std::string model = NormalizeName(aModel);
  // The kernel and the system properties name Qualcomm also "QTI".
  if (Contains(maker, "qualcomm") || maker == "qti") return LookUpSoc(kQualcomm, model, aClass);
  if (Contains(maker, "mediatek")) return LookUpSoc(kMediatek, model, aClass);
  if (Contains(maker, "samsung") || Contains(maker, "exynos") || Contains(model, "exynos")) {
    // Samsung devices also ship Qualcomm SoCs under the Samsung name.
    return LookUpSoc(kExynos, model, aClass) || LookUpSoc(kQualcomm, model, aClass);
  }
  if (Contains(maker, "google")) return LookUpSoc(kTensor, model, aClass);
  return false;
}

// A machine name of the form <prefix><digits>,<digits> (the whole text), as
// "iPhone16,2"; the numbers saturate.
bool ParseMachine(const std::string& aMachine, const char* aPrefix, int& aMajor, int& aMinor) {
  const size_t prefix = strlen(aPrefix);
  if (aMachine.compare(0, prefix, aPrefix) != 0) return false;
  const size_t comma = aMachine.find(',', prefix);
  if (comma == std::string::npos || comma == prefix || comma + 1 == aMachine.size()) return false;
  for (size_t i = prefix; i < aMachine.size(); ++i) {
    if (i != comma && !std::isdigit(static_cast<unsigned char>(aMachine[i]))) return false;
  }
  aMajor = static_cast<int>(std::min<uint32_t>(LeadingNumber(aMachine, prefix), INT32_MAX));
  aMinor = static_cast<int>(std::min<uint32_t>(LeadingNumber(aMachine, comma + 1), INT32_MAX));
  return true;
}

}  // namespace

// NOLINTBEGIN(performance-unnecessary-value-param): the published signature
int CmStaticPerformanceScore::CheckCPUClassForAndroid(int& cpuClass, ZarCurrentOS& os, std::string socManufacturer,
                                                      std::string socModel) {
  // NOLINTEND(performance-unnecessary-value-param)
  int found = 0;
  if (!ClassifySoc(socManufacturer, socModel, found)) {
    CM_ERROR_TRACE_THIS(
        "CmStaticPerformanceScore::CheckCPUClassForAndroid do not support this cpu, cpu socManufacturer = "
        << socManufacturer << ", cpu model = " << socModel);
    return ZAR_E_INVALIDARG;
  }
  cpuClass = found;
  os = ZarCurrentOS_Android;
  return 0;
}

// Apple: the machine name's major number grows with the chip generation, so
// it is the class; the minor number tells models of one generation apart
// (iPad16,3 and later are the larger, faster models of their generation).
// A simulator reports the host's architecture and is rated as an iPhone:
// arm64 class 14, x86_64 class 12, i386 class 8.
int CmStaticPerformanceScore::CheckCPUClassForAppleMoblie(int& cpuClass, ZarCurrentOS& os, int& specificModel,
                                                          // NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature
                                                          std::string machine) {
  static const struct {
    const char* prefix;
    ZarCurrentOS os;
  } kDevices[] = {
      {"iPhone", ZarCurrentOS_IOSIPhone},
      {"iPad", ZarCurrentOS_IOSIPad},
      {"AppleTV", ZarCurrentOS_TvOS},
      {"RealityDevice", ZarCurrentOS_VisionOS},
  };
  for (const auto& device : kDevices) {
    int major = 0, minor = 0;
    if (!ParseMachine(machine, device.prefix, major, minor)) continue;
    cpuClass = major;
    specificModel = minor;
    os = device.os;
    return 0;
  }
  static const struct {
    const char* arch;
    int cpuClass;
  } kSimulators[] = {{"arm64", 14}, {"x86_64", 12}, {"i386", 8}};
  for (const auto& simulator : kSimulators) {
    if (machine != simulator.arch) continue;
    cpuClass = simulator.cpuClass;
    specificModel = 0;
    os = ZarCurrentOS_IOSIPhone;
    return 0;
  }
  CM_ERROR_TRACE_THIS(
      "CmStaticPerformanceScore::CheckCPUClassForAppleMoblie do not support this machine, machine = " << machine);
  return ZAR_E_INVALIDARG;
}

bool CmStaticPerformanceScore::IsTopLevelForMoblie() {
  const CmStaticPerformanceScoreRecord& r = *m_pRecord;
  switch (r.m_currOS) {
    case ZarCurrentOS_Android:
      return r.m_cpuClass >= 100;
    case ZarCurrentOS_IOSIPhone:
      return r.m_cpuClass >= 16;
    case ZarCurrentOS_IOSIPad:
      if (r.m_cpuClass < 17) return r.m_cpuClass == 16 && r.m_specificModel >= 3;
      return true;
    case ZarCurrentOS_TvOS:
      return false;
    case ZarCurrentOS_VisionOS:
      return true;
    default:
      CM_ERROR_TRACE_THIS(
          "CmStaticPerformanceScore::IsTopLevelForMoblie can not support this OS, currOS = " << r.m_currOS);
      return false;
  }
}
