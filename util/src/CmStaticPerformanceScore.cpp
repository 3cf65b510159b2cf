// CmStaticPerformanceScore: the singleton, host facts, parameters, score
// bands and the desktop, Apple mobile and Android formulas. The CPU
// classification lives in CmCpuClassification.cpp.
#include "CmStaticPerformanceScore.h"

#include <algorithm>
#include <cstring>

#include "CmStaticPerformanceScoreRecord.h"
#include "CmSystemInfo.h"
#include "CmTrace.h"

namespace {

CmStaticPerformanceScore* g_pStaticPerformanceScore = nullptr;

const char* const kOSNames[kZarOSCount] = {"",    "android",    "linux",    "win",  "win-uwp",
                                           "mac", "ios-iphone", "ios-ipad", "tvos", "visionos"};

const char kSeparator[] = "----------------------------------------";

bool IsDesktop(int32_t aOS) { return aOS >= ZarCurrentOS_Linux && aOS <= ZarCurrentOS_Mac; }

// Clamps into [aMin, aMax): below the band to its minimum, at or above to
// one below its maximum.
int32_t ClampToBand(Int32 aScore, int aMin, int aMax) {
  int32_t score = std::max(aScore.get(), static_cast<int32_t>(aMin));
  if (score >= aMax) score = (Int32(aMax) - 1).get();
  return score;
}

// Pulls a score toward the lower part of its decade: q + r/2 (offset 2), or
// at most 2 below the score (offset 1).
Int32 ApplyScoreOffset(Int32 aScore, int32_t aOffset) {
  const Int32 q = aScore / 10 * 10;
  const Int32 r = aScore - q;
  const Int32 lowered = q + r / 2;
  if (aOffset == 1) return std::max((aScore - 2).get(), lowered.get());
  if (aOffset == 2) return lowered;
  return aScore;
}

void BandOf(zar::ZarPerformanceLevel aLevel, uint32_t aPhysicalCore, bool aWin, int& aMin, int& aMax) {
  static const int kBands[5][2] = {{50, 60}, {60, 70}, {70, 80}, {80, 90}, {90, 100}};
  const int32_t level = aLevel;
  if (level >= 0 && level <= 4) {
    aMin = kBands[level][0];
    aMax = kBands[level][1];
  } else if (level != zar::ZarPerformanceLevel_5) {
    aMin = aMax = 0;
  } else if (!aWin) {
    aMin = 100;
    aMax = 128;
  } else {
    // On "win" the top band splits by the number of physical cores.
    aMin = aPhysicalCore < 16 ? 100 : aPhysicalCore < 32 ? 110 : 120;
    aMax = aPhysicalCore < 16 ? 110 : aPhysicalCore < 32 ? 120 : 128;
  }
}

}  // namespace

// ---- lifetime

CmStaticPerformanceScore* CmStaticPerformanceScore::Instance(bool destroy) {
  if (destroy) {
    delete g_pStaticPerformanceScore;
    g_pStaticPerformanceScore = nullptr;
    return nullptr;
  }
  if (!g_pStaticPerformanceScore) g_pStaticPerformanceScore = new CmStaticPerformanceScore();
  return g_pStaticPerformanceScore;
}

void CmStaticPerformanceScore::DestroyInstance() {
  CM_INFO_TRACE("CmStaticPerformanceScore::DestroyInstance");
  delete g_pStaticPerformanceScore;
  g_pStaticPerformanceScore = nullptr;
}

CmStaticPerformanceScore::CmStaticPerformanceScore() : m_pRecord(new CmStaticPerformanceScoreRecord) {
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore::CmStaticPerformanceScore");
  Reset();
  Init();
}

CmStaticPerformanceScore::~CmStaticPerformanceScore() {
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore::~CmStaticPerformanceScore");
}

int CmStaticPerformanceScore::Init() {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  char brand[1024] = {};
  get_cpu_brand(brand, sizeof(brand));
  r.cpuInfo = brand;
  unsigned mhz = 0;
  if (get_cpu_frequency(mhz) == 0) r.m_cpuFrequency = mhz;
  unsigned physical = 2, perCore = 1;
  get_cpu_core(physical, perCore);
  r.m_physicalCore = physical;
  r.m_virtualCore = perCore;
  uint64_t memMB = 0;
  if (get_memory_size(memMB) == 0) r.m_memSize = memMB;
  r.m_currOS = ZarCurrentOS_Linux;
  return 0;
}

int CmStaticPerformanceScore::Reset() {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  r.m_staticPerformanceScore = 0;
  r.cpuInfo.clear();
  r.m_cpuFrequency = 0;
  r.m_physicalCore = 0;
  r.m_virtualCore = 0;
  r.m_memSize = 0;
  r.m_osVersion = 0.0f;
  r.m_currOS = ZarCurrentOS_Unknown;
  r.m_cpuClass = 0;
  r.m_specificModel = 0;
  r.m_ScoreOffset = 0;
  return 0;
}

int CmStaticPerformanceScore::ResetScore() {
  m_pRecord->m_staticPerformanceScore = 0;
  m_pRecord->m_ScoreOffset = 0;
  m_pRecord->m_specificModel = 0;
  return 0;
}

int CmStaticPerformanceScore::ConfigureParameters(ZarCurrentOS os, const std::vector<int>& spcCpuParam,
                                                  _tagZarSPCParamOffset offset) {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  if (r.m_currOS == ZarCurrentOS_Unknown) {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::ConfigureParameters fail, need init OS, m_currOS = " << r.m_currOS);
    return ZAR_E_FAIL;
  }
  if (os != r.m_currOS) {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::ConfigureParameters fail,  OS not match, m_currOS = "
                        << r.m_currOS << ", os = " << static_cast<int32_t>(os));
    return ZAR_E_FAIL;
  }
  if (spcCpuParam.size() < kZarCPUTypeCount) {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::ConfigureParameters fail, spcCpuParam error, spcCpuParam.size() = "
                        << spcCpuParam.size());
    return ZAR_E_FAIL;
  }
  if (!r.KnownOS()) {
    // An overridden OS outside the table has no parameter row to fill.
    CM_ERROR_TRACE_THIS(
        "CmStaticPerformanceScore::ConfigureParameters fail, OS not supported, m_currOS = " << r.m_currOS);
    return ZAR_E_INVALIDARG;
  }
  std::copy(spcCpuParam.begin(), spcCpuParam.begin() + kZarCPUTypeCount, r.m_cpuParam[r.m_currOS]);
  r.m_scoreParam[r.m_currOS] = offset;
  if (r.m_currOS == ZarCurrentOS_Android) {
    Reset();
    Init();
  }
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore::ConfigureParameters success");
  return 0;
}

// ---- score

int CmStaticPerformanceScore::GetStaticPerformanceScore(int& score, zar::ZarPerformanceLevel level) {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  if (r.m_staticPerformanceScore > 0) {
    int minValue = 0, maxValue = 0;
    if (GetLimitScore(minValue, maxValue, level) != 0) return ZAR_E_FAIL;
    if (minValue <= r.m_staticPerformanceScore && r.m_staticPerformanceScore < maxValue) {
      score = r.m_staticPerformanceScore;
      return 0;
    }
  }
  int produced = 0;
  int rc = 0;
  if (r.m_currOS == ZarCurrentOS_Android) {
    rc = ScoreForAndroid(produced, level);
  } else if (IsDesktop(r.m_currOS)) {
    rc = ScoreForDesktop(produced, level);
  } else if (r.m_currOS >= ZarCurrentOS_IOSIPhone && r.m_currOS <= ZarCurrentOS_VisionOS) {
    rc = ScoreForAppleMobile(produced, level);
  } else {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::GetStaticPerformanceScore error currOS = " << r.m_currOS);
    Print();
    return ZAR_E_INVALIDARG;
  }
  if (produced >= 1) {
    r.m_staticPerformanceScore = produced;
    score = produced;
  }
  return rc;
}

int CmStaticPerformanceScore::GetStaticPerformanceScore(int& score) {
  score = m_pRecord->m_staticPerformanceScore;
  return 0;
}

int CmStaticPerformanceScore::GetLimitScore(int& minValue, int& maxValue, zar::ZarPerformanceLevel level) {
  return GetLimitScore(minValue, maxValue, level, level);
}

int CmStaticPerformanceScore::GetLimitScore(int& minValue, int& maxValue, zar::ZarPerformanceLevel levelMin,
                                            zar::ZarPerformanceLevel levelMax) {
  const CmStaticPerformanceScoreRecord& r = *m_pRecord;
  const bool win = r.m_currOS == ZarCurrentOS_Win;
  int unused = 0;
  BandOf(levelMin, r.m_physicalCore, win, minValue, unused);
  BandOf(levelMax, r.m_physicalCore, win, unused, maxValue);
  if (maxValue > minValue) return 0;
  CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::GetLimitScore error maxValue = " << maxValue
                                                                                  << ", minValue = " << minValue);
  return ZAR_S_FALSE;
}

int CmStaticPerformanceScore::ScoreForDesktop(int& score, zar::ZarPerformanceLevel level) {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  int minValue = 0, maxValue = 0;
  if (GetLimitScore(minValue, maxValue, level) != 0) return ZAR_E_FAIL;
  _tagZarCPUModelInfo info;
  if (CheckCPUInfo(info) != 0 && r.m_physicalCore < 32) {
    // An unclassifiable CPU gets the lowest score the level allows.
    score = minValue;
    Print();
    return 0;
  }
  const _tagZarSPCParamOffset p = r.ScoreRow();
  const Int32 g = info.gen, t = info.i, base = p.base, bonus = p.bonus;
  const Int32 m = Int32(p.step) + 2;
  const bool above = info.k > info.i;
  Int32 s = 0;
  switch (level) {
    case zar::ZarPerformanceLevel_1:
      s = 60;
      break;
    case zar::ZarPerformanceLevel_2:
      s = base + 70 + Int32(static_cast<int32_t>(r.m_cpuFrequency)) * 2 / 1000;
      break;
    case zar::ZarPerformanceLevel_3:
      s = (g - 12 + t) * m + base + (above ? bonus + 81 : Int32(80));
      break;
    case zar::ZarPerformanceLevel_4:
      s = (g - 14 + t) * m + base + (above ? bonus + 91 : Int32(90));
      break;
    case zar::ZarPerformanceLevel_5:
      if (!IsDesktop(r.m_currOS)) return ZAR_E_INVALIDARG;
      if (r.m_currOS != ZarCurrentOS_Mac && r.m_memSize >= 4000 && r.m_physicalCore >= 32) {
        s = Int32(static_cast<int32_t>((r.m_physicalCore - 32) >> 4)) + 120 + base;
        r.m_ScoreOffset = 0;
      } else if (r.m_currOS != ZarCurrentOS_Mac && r.m_memSize >= 4000 && r.m_physicalCore >= 16) {
        s = (g - 22 + t) * m + base + (above ? bonus + 111 : Int32(110));
      } else {
        s = (g - 17 + t) * m + base + (above ? bonus + 101 : Int32(100));
      }
      break;
    default:
      s = 0;
      break;
  }
  if (r.m_ScoreOffset < 0 || r.m_ScoreOffset > 2) {
    CM_INFO_TRACE_THIS("CmStaticPerformanceScore::GetStaticPerformanceScoreForDesktop error scoreOffset, scoreOffset = "
                       << r.m_ScoreOffset);
  }
  score = ClampToBand(ApplyScoreOffset(s, r.m_ScoreOffset), minValue, maxValue);
  return 0;
}

int CmStaticPerformanceScore::ScoreForAppleMobile(int& score, zar::ZarPerformanceLevel level) {
  const CmStaticPerformanceScoreRecord& r = *m_pRecord;
  int minValue = 0, maxValue = 0;
  if (GetLimitScore(minValue, maxValue, level) != 0) return ZAR_E_FAIL;
  const Int32 c = r.m_cpuClass, b = r.ScoreRow().base;
  const bool low = level == zar::ZarPerformanceLevel_1 || level == zar::ZarPerformanceLevel_2;
  const bool mid = level == zar::ZarPerformanceLevel_3 || level == zar::ZarPerformanceLevel_4;
  const bool top = level == zar::ZarPerformanceLevel_5;
  Int32 s = 0;
  switch (r.m_currOS) {
    case ZarCurrentOS_IOSIPhone:
      if (low)
        s = b + 64 + Int32(3) * c / 2;
      else if (level == zar::ZarPerformanceLevel_3)
        s = b + Int32(4) * (c + 9);
      else if (level == zar::ZarPerformanceLevel_4 || top)
        s = Int32(4) * c + 34 + b;
      break;
    case ZarCurrentOS_IOSIPad:
      if (low)
        s = c + 68 + b;
      else if (mid)
        s = Int32(4) * c + 38 + b;
      else if (top)
        s = Int32(4) * c + 34 + b;
      break;
    case ZarCurrentOS_TvOS:
      if (low)
        s = Int32(3) * c + 61 + b;
      else if (mid)
        s = Int32(5) * (c + 5) + b;
      break;
    default:  // visionOS
      if (low || mid || top) s = Int32(4) * (c + 11) + b;
      break;
  }
  score = ClampToBand(s, minValue, maxValue);
  return 0;
}

int CmStaticPerformanceScore::ScoreForAndroid(int& score, zar::ZarPerformanceLevel level) {
  const CmStaticPerformanceScoreRecord& r = *m_pRecord;
  if (r.m_currOS != ZarCurrentOS_Android) return ZAR_E_INVALIDARG;
  int minValue = 0, maxValue = 0;
  if (GetLimitScore(minValue, maxValue, level) != 0) return ZAR_E_FAIL;
  score = ClampToBand(Int32(r.ScoreRow().base) + r.m_cpuClass, minValue, maxValue);
  return 0;
}

// ---- overrides and queries

int CmStaticPerformanceScore::OverrideStaticPerformanceScore(int score) {
  m_pRecord->m_staticPerformanceScore = score;
  return 0;
}

namespace {

template <class T>
bool CopyOption(T& aField, const void* aValue, unsigned aSize) {
  if (aSize != sizeof(T)) return false;
  std::memcpy(&aField, aValue, sizeof(T));
  return true;
}

}  // namespace

int CmStaticPerformanceScore::OverrideSystemOption(ZarSystemOption option, void* value, unsigned size) {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  bool done = false;
  if (value) {
    switch (option) {
      case ZarSystemOption_CpuInfo:
        done = size == sizeof(std::string);
        if (done) r.cpuInfo = *static_cast<const std::string*>(value);
        break;
      case ZarSystemOption_CpuFrequency:
        done = CopyOption(r.m_cpuFrequency, value, size);
        break;
      case ZarSystemOption_PhysicalCore:
        done = CopyOption(r.m_physicalCore, value, size);
        break;
      case ZarSystemOption_VirtualCore:
        done = CopyOption(r.m_virtualCore, value, size);
        break;
      case ZarSystemOption_MemSize:
        done = CopyOption(r.m_memSize, value, size);
        break;
      case ZarSystemOption_CurrentOS:
        done = CopyOption(r.m_currOS, value, size);
        break;
      case ZarSystemOption_OSVersion:
        done = CopyOption(r.m_osVersion, value, size);
        break;
      case ZarSystemOption_CpuClass:
        done = CopyOption(r.m_cpuClass, value, size);
        break;
      case ZarSystemOption_SpecificModel:
        done = CopyOption(r.m_specificModel, value, size);
        break;
      default:
        break;
    }
  }
  return done ? 0 : ZAR_E_INVALIDARG;
}

int CmStaticPerformanceScore::OverrideAllSystemOption(std::string cpuInfo, unsigned frequency, unsigned physicalCore,
                                                      unsigned virtualCore, uint64_t memSize, float osVersion,
                                                      ZarCurrentOS os, int cpuClass, int specificModel) {
  CmStaticPerformanceScoreRecord& r = *m_pRecord;
  r.cpuInfo = std::move(cpuInfo);
  r.m_cpuFrequency = frequency;
  r.m_physicalCore = physicalCore;
  r.m_virtualCore = virtualCore;
  r.m_memSize = memSize;
  r.m_osVersion = osVersion;
  r.m_currOS = os;
  r.m_cpuClass = cpuClass;
  r.m_specificModel = specificModel;
  return 0;
}

int CmStaticPerformanceScore::GetOSType(ZarCurrentOS& os, std::string& name) {
  const int32_t current = m_pRecord->m_currOS;
  os = static_cast<ZarCurrentOS>(current);
  if (current == ZarCurrentOS_Unknown) {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::GetOSType fail, m_currOS = " << current);
    return ZAR_E_INVALIDARG;
  }
  if (!m_pRecord->KnownOS()) {
    CM_ERROR_TRACE_THIS("CmStaticPerformanceScore::GetOSType not support OS, currOS = " << current);
    return ZAR_E_INVALIDARG;
  }
  name = kOSNames[current];
  return 0;
}

std::string CmStaticPerformanceScore::GetCPUTypeSring(ZarCPUType type) {
  static const char* const kNames[kZarCPUTypeCount] = {"IntelCore", "IntelCoreUltra", "AMDRyzen", "AppleM",
                                                       "AppleA",    "Qualcomm",       "Mediatek"};
  const int32_t index = type;
  return index >= 0 && index < kZarCPUTypeCount ? kNames[index] : "";
}

int CmStaticPerformanceScore::Print() {
  const CmStaticPerformanceScoreRecord& r = *m_pRecord;
  CM_INFO_TRACE_THIS(kSeparator);
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore::Print");
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore cpuInfo = "
                     << r.cpuInfo.c_str() << ", m_cpuFrequency = " << r.m_cpuFrequency
                     << ", m_physicalCore = " << r.m_physicalCore << ", m_virtualCore = " << r.m_virtualCore);
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore m_memSize = " << static_cast<unsigned long long>(r.m_memSize));
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore m_currOS = " << r.m_currOS << ", m_osVersion = " << r.m_osVersion
                                                            << ", m_cpuClass = " << r.m_cpuClass
                                                            << ", m_specificModel" << r.m_specificModel);
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore m_ScoreOffset = " << r.m_ScoreOffset);
  CM_INFO_TRACE_THIS("CmStaticPerformanceScore m_staticPerformanceScore = " << r.m_staticPerformanceScore);
  CM_INFO_TRACE_THIS(kSeparator);
  return 0;
}
