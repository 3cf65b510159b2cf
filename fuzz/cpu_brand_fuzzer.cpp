// CPU brand strings and host-fact texts of any shape: the brand splitter
// keeps its model token inside the caller's buffer, classification either
// succeeds or refuses with its code and leaves nothing half-filled, every
// score lands inside its level's band whatever the parameters (32-bit
// arithmetic wraps, never overflows undefined), and the kernel-text parsers
// give well-formed answers. The same text also goes through the mobile
// machine and SoC tables.
//
// Input: 40 bytes of parameters (seven CPU offsets, step, base, bonus as
// little-endian int32), then one byte of physical cores, then the brand.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CmStaticPerformanceScore.h"
#include "CmTrace.h"
#include "platform/CmPlatformCpu.h"

namespace {

void Require(bool aOk) {
  if (!aOk) abort();
}

int32_t ReadInt(const uint8_t* aData) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | aData[i];
  return static_cast<int32_t>(v);
}

void CheckParsers(const std::string& aText) {
  const std::vector<unsigned> cpus = cm_platform::ParseCpuList(aText);
  for (size_t i = 0; i < cpus.size(); ++i) Require(cpus[i] < 65536 && (i == 0 || cpus[i - 1] < cpus[i]));
  Require(cm_platform::ParseMemInfoTotalBytes(aText) % 1024 == 0);
  cm_platform::ParseCpuInfoBrand(aText);
  const long mhz = cm_platform::ParseCpuInfoMHz(aText);
  Require(mhz == -1 || mhz > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  static CmStaticPerformanceScore* sps = [] {
    set_external_trace_mask(0);  // only errors, which valid bands never produce
    return new CmStaticPerformanceScore();
  }();
  CheckParsers(std::string(reinterpret_cast<const char*>(aData), aSize));
  if (aSize < 41) return 0;
  std::vector<int> row(7);
  for (int i = 0; i < 7; ++i) row[i] = ReadInt(aData + 4 * i);
  const _tagZarSPCParamOffset offset{ReadInt(aData + 28), ReadInt(aData + 32), ReadInt(aData + 36)};
  const unsigned cores = aData[40];
  const std::string brand(reinterpret_cast<const char*>(aData + 41), aSize - 41);

  std::string tier, family;
  unsigned model = 0;
  bool flag = false;
  char token[1024];
  memset(token, 'x', sizeof(token));
  const bool found = getCpuModelAndGeneration(brand, tier, model, flag, family, token);
  Require(strnlen(token, sizeof(token)) < sizeof(token));
  Require(!found || strcmp(token, "unknown") != 0);

  sps->OverrideAllSystemOption(brand, 3000, cores, 2, 16384, 0.0f, ZarCurrentOS_Win, 0, 0);
  Require(sps->ConfigureParameters(ZarCurrentOS_Win, row, offset) == 0);
  _tagZarCPUModelInfo info;
  const int rc = sps->CheckCPUInfo(info);
  Require(rc == 0 || (rc == ZAR_S_FALSE && info.gen == 0 && info.i == 0 && info.k == 0));
  int cpuClass = 0, specificModel = 0;
  ZarCurrentOS os = ZarCurrentOS_Unknown;
  if (sps->CheckCPUClassForAppleMoblie(cpuClass, os, specificModel, brand) == 0) {
    Require(os >= ZarCurrentOS_IOSIPhone && os <= ZarCurrentOS_VisionOS && cpuClass >= 0 && specificModel >= 0);
  }
  if (sps->CheckCPUClassForAndroid(cpuClass, os, tier, brand) == 0) Require(os == ZarCurrentOS_Android);
  for (int level = 0; level <= 5; ++level) {
    const zar::ZarPerformanceLevel l = static_cast<zar::ZarPerformanceLevel>(level);
    int minValue = 0, maxValue = 0, score = 0;
    sps->ResetScore();
    Require(sps->GetLimitScore(minValue, maxValue, l) == 0);
    Require(sps->GetStaticPerformanceScore(score, l) == 0);
    Require(score >= minValue && score < maxValue);
  }
  return 0;
}
