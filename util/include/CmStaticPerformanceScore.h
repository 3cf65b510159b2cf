// CmStaticPerformanceScore.h - the static performance score: one integer
// that rates the host device from static facts (CPU brand, frequency, core
// counts, memory, operating system) for a requested performance level.
//
// Typical use by a media module:
//   CmStaticPerformanceScore* sps = CmStaticPerformanceScore::Instance(false);
//   sps->ConfigureParameters(ZarCurrentOS_Linux, cpuOffsets, {step, base, bonus});
//   int score = 0;
//   if (sps->GetStaticPerformanceScore(score, zar::ZarPerformanceLevel_4) == 0) ...
//
// Each level owns a score band [minValue, maxValue) and every score is
// clamped into the band of the level it was asked for. The per-OS scoring
// constants (one generation offset per CPU type, and step/base/bonus) are
// supplied by the caller; unset, they are zeros and scores stay inside the
// bands. Every host fact can be overridden, so a described device can be
// rated too. The host facts of this build come from Linux (CmSystemInfo.h)
// and the operating system is "linux".
//
// getCpuModelAndGeneration splits a processor brand string into tier, model
// number, family and model token; the classification builds on it.
#ifndef CM_STATIC_PERFORMANCE_SCORE_H
#define CM_STATIC_PERFORMANCE_SCORE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CmDefines.h"
#include "CmError.h"

enum ZarCurrentOS : int32_t {
  ZarCurrentOS_Unknown = 0,  // not initialised
  ZarCurrentOS_Android = 1,
  ZarCurrentOS_Linux = 2,
  ZarCurrentOS_Win = 3,
  ZarCurrentOS_WinUWP = 4,
  ZarCurrentOS_Mac = 5,
  ZarCurrentOS_IOSIPhone = 6,
  ZarCurrentOS_IOSIPad = 7,
  ZarCurrentOS_TvOS = 8,
  ZarCurrentOS_VisionOS = 9,
};

// Column of the CPU parameter table: one generation offset per CPU type.
enum ZarCPUType : int32_t {
  ZarCPUType_IntelCore = 0,
  ZarCPUType_IntelCoreUltra = 1,
  ZarCPUType_AMDRyzen = 2,
  ZarCPUType_AppleM = 3,
  ZarCPUType_AppleA = 4,
  ZarCPUType_Qualcomm = 5,
  ZarCPUType_Mediatek = 6,
};

namespace zar {
// Bands: 0 [50,60), 1 [60,70), 2 [70,80), 3 [80,90), 4 [90,100),
// 5 [100,128) (on "win" by physical cores: <16 [100,110), 16..31 [110,120),
// >=32 [120,128)).
enum ZarPerformanceLevel : int32_t {
  ZarPerformanceLevel_0 = 0,
  ZarPerformanceLevel_1 = 1,
  ZarPerformanceLevel_2 = 2,
  ZarPerformanceLevel_3 = 3,
  ZarPerformanceLevel_4 = 4,
  ZarPerformanceLevel_5 = 5,
};
}  // namespace zar

// Score parameters of one operating system.
struct _tagZarSPCParamOffset {
  int32_t step;   // per-generation weight minus 2
  int32_t base;   // added to every desktop and mobile score
  int32_t bonus;  // extra for a model digit above the tier
};

// A classified CPU: gen = generation after the per-OS offset, i = tier
// (3, 5, 7, 9 or 11), k = the digit after the generation in the model number.
struct _tagZarCPUModelInfo {
  int32_t gen = 0;
  int32_t i = 0;
  int32_t k = 0;
};

// Host facts for OverrideSystemOption, with the size the value must have.
enum ZarSystemOption : int32_t {
  ZarSystemOption_CpuInfo = 1,        // std::string, 32 bytes
  ZarSystemOption_CpuFrequency = 2,   // uint32_t MHz
  ZarSystemOption_PhysicalCore = 3,   // uint32_t
  ZarSystemOption_VirtualCore = 4,    // uint32_t logical processors per core
  ZarSystemOption_MemSize = 5,        // uint64_t MB
  ZarSystemOption_CurrentOS = 6,      // int32_t ZarCurrentOS
  ZarSystemOption_OSVersion = 7,      // float
  ZarSystemOption_CpuClass = 8,       // int32_t
  ZarSystemOption_SpecificModel = 9,  // int32_t
};

struct CmStaticPerformanceScoreRecord;

// The process-wide rater. Result codes of every operation:
//   0                  success
//   ZAR_S_FALSE        (0x46000001) general failure: an empty score band,
//                      an unclassifiable CPU
//   ZAR_E_FAIL         (0x46004001) the score band (or the parameters) cannot
//                      be established
//   ZAR_E_INVALIDARG   (0x46004003) unsupported operating system, bad argument
//
// Ownership: the singleton from Instance(false) lives until Instance(true)
// or DestroyInstance(); a separately constructed object rates a described
// device and belongs to its creator.
// Thread safety: none. Create, use and destroy it from one thread at a time;
// Instance and DestroyInstance are not locked either.
class CM_EXPORT CmStaticPerformanceScore {
 public:
  // With destroy false, the singleton (created and initialised on first
  // use); with destroy true, deletes it and returns null.
  static CmStaticPerformanceScore* Instance(bool destroy = false);
  static void DestroyInstance();

  // Reads the host facts (Reset, then Init).
  CmStaticPerformanceScore();
  virtual ~CmStaticPerformanceScore();
  CmStaticPerformanceScore(const CmStaticPerformanceScore&) = delete;
  CmStaticPerformanceScore& operator=(const CmStaticPerformanceScore&) = delete;

  // Reads the host facts: brand, frequency, cores, memory, OS.
  int Init();
  // Clears the cached score and every host fact (not the parameter tables).
  int Reset();
  // Clears the cached score, the score offset and the specific model.
  int ResetScore();
  // Installs the parameters of os, which must be the current OS; needs at
  // least 7 CPU offsets (column = ZarCPUType). On Android the host facts are
  // read again afterwards. An OS overridden to a value outside the table has
  // no parameter row: it is refused with ZAR_E_INVALIDARG and the line
  // "ConfigureParameters fail, OS not supported" instead of writing past
  // the table.
  int ConfigureParameters(ZarCurrentOS os, const std::vector<int>& spcCpuParam, _tagZarSPCParamOffset offset);

  // The score for level: the cached score when it lies in the level's band,
  // else computed (and cached when >= 1).
  int GetStaticPerformanceScore(int& score, zar::ZarPerformanceLevel level);
  // The cached score as it is (0: none).
  int GetStaticPerformanceScore(int& score);
  // The band [minValue, maxValue) of level, or from levelMin's minimum to
  // levelMax's maximum. ZAR_S_FALSE when the band is empty.
  int GetLimitScore(int& minValue, int& maxValue, zar::ZarPerformanceLevel level);
  int GetLimitScore(int& minValue, int& maxValue, zar::ZarPerformanceLevel levelMin, zar::ZarPerformanceLevel levelMax);

  int OverrideStaticPerformanceScore(int score);
  // Copies *value into the fact option names when size is exactly that
  // fact's size; otherwise ZAR_E_INVALIDARG and nothing changes.
  int OverrideSystemOption(ZarSystemOption option, void* value, unsigned size);
  int OverrideAllSystemOption(std::string cpuInfo, unsigned frequency, unsigned physicalCore, unsigned virtualCore,
                              uint64_t memSize, float osVersion, ZarCurrentOS os, int cpuClass, int specificModel);

  // The current OS and its name ("android", "linux", "win", ...);
  // ZAR_E_INVALIDARG when it is not set or not one of the known values.
  int GetOSType(ZarCurrentOS& os, std::string& name);
  // "IntelCore", "IntelCoreUltra", "AMDRyzen", "AppleM", "AppleA",
  // "Qualcomm", "Mediatek"; "" for anything else.
  std::string GetCPUTypeSring(ZarCPUType type);
  // Classifies the brand string (Intel Core, Apple, AMD Ryzen); a brand of
  // none of these, or an AMD Ryzen brand whose words give no tier, model
  // and digit, leaves info at zeros and succeeds. May set the score offset
  // from an Intel model suffix.
  int CheckCPUInfo(_tagZarCPUModelInfo& info);
  // Writes every fact to the trace (info level) as one block. The fourth
  // line ends ", m_specificModel" directly followed by the number (no " = ").
  int Print();

  // Mobile classification. cpuClass is on the score scale for Android (a
  // flagship SoC rates 100 or more) and the device generation for Apple
  // (the major number of the machine name). They only produce outputs; feed
  // them to OverrideSystemOption to rate the device. ZAR_E_INVALIDARG for a
  // SoC or machine name outside the tables.
  int CheckCPUClassForAndroid(int& cpuClass, ZarCurrentOS& os, std::string socManufacturer, std::string socModel);
  int CheckCPUClassForAppleMoblie(int& cpuClass, ZarCurrentOS& os, int& specificModel, std::string machine);
  // Whether the current mobile device is of the top performance class:
  // Android cpuClass >= 100; iPhone cpuClass >= 16; iPad cpuClass >= 17, or
  // 16 with specific model >= 3; tvOS never; visionOS always. False with a
  // trace line on any other OS.
  bool IsTopLevelForMoblie();

 private:
  int ScoreForDesktop(int& score, zar::ZarPerformanceLevel level);
  int ScoreForAppleMobile(int& score, zar::ZarPerformanceLevel level);
  int ScoreForAndroid(int& score, zar::ZarPerformanceLevel level);
  int ClassifyIntel(const std::string& aBrand, const int32_t* aRow, _tagZarCPUModelInfo& aInfo);
  int ClassifyApple(const std::string& aBrand, const int32_t* aRow, _tagZarCPUModelInfo& aInfo);
  int ClassifyAmd(const std::string& aBrand, const int32_t* aRow, _tagZarCPUModelInfo& aInfo);

  std::unique_ptr<CmStaticPerformanceScoreRecord> m_pRecord;
};

// Splits a processor brand string. For an Intel brand: familyWord is
// "Core(TM)", "Core(TM)2", "Xeon(R)", "Celeron(R)", "Pentium(R)", "N" (for
// brands like "Intel(R) N100") or else the second word; tierWord is the part
// before '-' of the model word ("i7" of "i7-8700K") or the tier of the
// spelled-out forms ("7" of "Core(TM) Ultra 7 155H"); modelNumber is the
// leading number of the model token, a 'Y' second character reading as '0'
// ("7Y75" is 7075). For an AMD Ryzen brand: the number after "Ryzen ".
// modelToken (a caller buffer of 1024 bytes) receives the model token, or
// "unknown" when none is found. flag is true when the model token carries
// characters after its number (a segment suffix such as K, H, U, G7).
// Returns whether a model number was found.
CM_EXPORT bool getCpuModelAndGeneration(std::string brand, std::string& tierWord, unsigned& modelNumber, bool& flag,
                                        std::string& familyWord, char* modelToken);

#endif  // CM_STATIC_PERFORMANCE_SCORE_H
