// CmStaticPerformanceScoreRecord.h - the private record of
// CmStaticPerformanceScore and the 32-bit arithmetic its formulas use.
#ifndef CM_STATIC_PERFORMANCE_SCORE_RECORD_H
#define CM_STATIC_PERFORMANCE_SCORE_RECORD_H

#include <cstdint>
#include <string>

#include "CmStaticPerformanceScore.h"

constexpr int kZarOSCount = 10;
constexpr int kZarCPUTypeCount = 7;

struct CmStaticPerformanceScoreRecord {
  int32_t m_staticPerformanceScore = 0;
  std::string cpuInfo;
  uint32_t m_cpuFrequency = 0;
  uint32_t m_physicalCore = 0;
  uint32_t m_virtualCore = 0;
  uint64_t m_memSize = 0;
  float m_osVersion = 0.0f;
  int32_t m_currOS = ZarCurrentOS_Unknown;
  int32_t m_cpuClass = 0;
  int32_t m_specificModel = 0;
  int32_t m_ScoreOffset = 0;
  int32_t m_cpuParam[kZarOSCount][kZarCPUTypeCount] = {};
  _tagZarSPCParamOffset m_scoreParam[kZarOSCount] = {};

  bool KnownOS() const { return m_currOS >= 0 && m_currOS < kZarOSCount; }
  // The rows of the current OS; all zeros for an OS outside the table.
  const int32_t* CpuRow() const {
    static const int32_t kZeros[kZarCPUTypeCount] = {};
    return KnownOS() ? m_cpuParam[m_currOS] : kZeros;
  }
  _tagZarSPCParamOffset ScoreRow() const { return KnownOS() ? m_scoreParam[m_currOS] : _tagZarSPCParamOffset{0, 0, 0}; }
};

// Signed 32-bit arithmetic that wraps like the hardware instead of being
// undefined on overflow; division truncates toward zero.
class Int32 {
 public:
  constexpr Int32(int32_t aValue) : m_nValue(aValue) {}
  constexpr int32_t get() const { return m_nValue; }

  friend Int32 operator+(Int32 a, Int32 b) {
    return Wrap(static_cast<uint32_t>(a.m_nValue) + static_cast<uint32_t>(b.m_nValue));
  }
  friend Int32 operator-(Int32 a, Int32 b) {
    return Wrap(static_cast<uint32_t>(a.m_nValue) - static_cast<uint32_t>(b.m_nValue));
  }
  friend Int32 operator*(Int32 a, Int32 b) {
    return Wrap(static_cast<uint32_t>(a.m_nValue) * static_cast<uint32_t>(b.m_nValue));
  }
  friend Int32 operator/(Int32 a, Int32 b) {
    if (b.m_nValue == 0) return Int32(0);
    if (b.m_nValue == -1) return Int32(0) - a;  // INT32_MIN / -1 wraps to INT32_MIN
    return Int32(a.m_nValue / b.m_nValue);
  }

 private:
  static Int32 Wrap(uint32_t aBits) { return Int32(static_cast<int32_t>(aBits)); }
  int32_t m_nValue;
};

#endif  // CM_STATIC_PERFORMANCE_SCORE_RECORD_H
