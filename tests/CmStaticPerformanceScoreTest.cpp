// The static performance score: bands, the desktop, Apple mobile and Android
// formulas, the score offset and clamping, CPU classification of real brand
// strings, overrides, the mobile tables and the singleton.
#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "CmStaticPerformanceScore.h"
#include "TraceCapture.h"

namespace {

zar::ZarPerformanceLevel Level(int aLevel) { return static_cast<zar::ZarPerformanceLevel>(aLevel); }
ZarCurrentOS OS(int aOS) { return static_cast<ZarCurrentOS>(aOS); }
const std::vector<int> kZeros(7, 0);
const std::vector<int> kRow = {100, 200, 300, 400, 500, 600, 700};  // distinct CPU offsets
const char kI7[] = "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz";      // gen 8, tier 7, k 7
const char kI9[] = "13th Gen Intel(R) Core(TM) i9-13900K";          // gen 13, tier 9, k 9
const char kI5[] = "13th Gen Intel(R) Core(TM) i5-13600K";          // gen 13, tier 5, k 6: bonus

// A rater of a described device.
class SpsTest : public ::testing::Test {
 protected:
  void Describe(const std::string& aBrand, int aOS = ZarCurrentOS_Linux, unsigned aCores = 8, uint64_t aMemMB = 16384,
                unsigned aMHz = 3700, int aCpuClass = 0, int aSpecificModel = 0) {
    sps.ResetScore();  // first: it also clears the specific model
    sps.OverrideAllSystemOption(aBrand, aMHz, aCores, 2, aMemMB, 0.0f, OS(aOS), aCpuClass, aSpecificModel);
  }
  int Configure(int aOS, const std::vector<int>& aCpu, int aStep, int aBase, int aBonus) {
    return sps.ConfigureParameters(OS(aOS), aCpu, _tagZarSPCParamOffset{aStep, aBase, aBonus});
  }
  int Score(int aLevel) {
    int score = -1;
    EXPECT_EQ(sps.GetStaticPerformanceScore(score, Level(aLevel)), 0) << "level " << aLevel;
    sps.ResetScore();
    return score;
  }
  std::pair<int, int> Band(int aLevel) {
    int minValue = 0, maxValue = 0;
    EXPECT_EQ(sps.GetLimitScore(minValue, maxValue, Level(aLevel)), 0) << "level " << aLevel;
    return {minValue, maxValue};
  }

  CmStaticPerformanceScore sps;
};

}  // namespace

TEST_F(SpsTest, BandsOfEveryLevelAndOS) {
  for (int os = 1; os <= 9; ++os) {
    Describe("x", os, 64);
    for (int level = 0; level <= 4; ++level) EXPECT_EQ(Band(level), std::make_pair(50 + 10 * level, 60 + 10 * level));
    if (os != ZarCurrentOS_Win) {
      EXPECT_EQ(Band(5), std::make_pair(100, 128));
    }
  }
  const std::tuple<unsigned, int, int> win[] = {{15, 100, 110}, {16, 110, 120}, {31, 110, 120}, {32, 120, 128}};
  for (auto [cores, lo, hi] : win) {
    Describe("x", ZarCurrentOS_Win, cores);
    EXPECT_EQ(Band(5), std::make_pair(lo, hi)) << cores << " cores";
  }
  int minValue = 0, maxValue = 0;
  EXPECT_EQ(sps.GetLimitScore(minValue, maxValue, Level(1), Level(3)), 0);
  EXPECT_EQ(std::make_pair(minValue, maxValue), std::make_pair(60, 90));
}

TEST_F(SpsTest, EmptyBandsAreRefused) {
  Describe("x");
  TraceCapture trace;
  int minValue = 0, maxValue = 0, score = 0;
  EXPECT_EQ(sps.GetLimitScore(minValue, maxValue, Level(3), Level(1)), ZAR_S_FALSE);
  EXPECT_TRUE(trace.Contains("CmStaticPerformanceScore::GetLimitScore error maxValue = 70, minValue = 80 [this=0x", 0));
  EXPECT_EQ(sps.GetLimitScore(minValue, maxValue, Level(6)), ZAR_S_FALSE);
  EXPECT_TRUE(trace.Contains("GetLimitScore error maxValue = 0, minValue = 0", 0));
  EXPECT_EQ(sps.GetStaticPerformanceScore(score, Level(6)), ZAR_E_FAIL);
  sps.OverrideStaticPerformanceScore(85);  // also with a cached score
  EXPECT_EQ(sps.GetStaticPerformanceScore(score, Level(-1)), ZAR_E_FAIL);
}

TEST_F(SpsTest, DesktopLevelsWithAndWithoutBonus) {
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, 0, 3), 0);  // m = 3, bonus 3
  Describe(kI7);
  const int noBonus[] = {50, 60, 77, 89, 93, 100};  // 0; 60; 70 + 7400/1000; 3*3 + 80; 1*3 + 90; 94 raised
  for (int level = 0; level <= 5; ++level) EXPECT_EQ(Score(level), noBonus[level]) << "level " << level;
  Describe("Intel(R) Core(TM) i5-8600K CPU @ 3.60GHz", ZarCurrentOS_Linux, 6, 16384, 3600);
  EXPECT_EQ(Score(3), 87);  // (8-12+5)*3 + 3 + 81
  EXPECT_EQ(Score(4), 91);  // (8-14+5)*3 + 3 + 91
  const std::tuple<const char*, int, unsigned, uint64_t, int> five[] = {
      {kI9, ZarCurrentOS_Linux, 8, 32768, 115},   // (13-17+9)*3 + 100
      {kI5, ZarCurrentOS_Linux, 8, 32768, 107},   // (13-17+5)*3 + 3 + 101
      {kI9, ZarCurrentOS_Linux, 16, 32768, 110},  // (13-22+9)*3 + 110
      {kI5, ZarCurrentOS_Linux, 31, 32768, 102},  // (13-22+5)*3 + 3 + 111
      {kI9, ZarCurrentOS_Linux, 16, 3999, 115},   // too little memory: the smaller formula
      {kI9, ZarCurrentOS_Win, 16, 32768, 110},
      {kI9, ZarCurrentOS_Win, 8, 32768, 109},   // 115 in the [100, 110) band
      {kI9, ZarCurrentOS_Mac, 16, 32768, 115},  // mac always the smaller formula
      {"Intel(R) Xeon(R) Platinum 8380 CPU @ 2.30GHz", ZarCurrentOS_Win, 80, 262144, 123},  // ((80-32)>>4) + 120
  };
  for (auto [brand, os, cores, mem, expected] : five) {
    Describe(brand, os, cores, mem);
    ASSERT_EQ(Configure(os, kZeros, 1, 0, 3), 0);
    EXPECT_EQ(Score(5), expected) << brand << " os " << os << ", " << cores << " cores, " << mem << " MB";
  }
}

TEST_F(SpsTest, ScoreOffsetsAndTheManyCoreExemption) {
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, {-3, 0, 0, 0, 0, 0, 0}, 1, 1, 0), 0);
  // The same raw level-3 score for all three: (12 - 3 - 12 + 5)*3 + 1 + 80 = 87;
  // offset 1: max(87 - 2, 80 + 7/2); offset 2: 80 + 7/2.
  const std::pair<const char*, int> offsets[] = {{"12th Gen Intel(R) Core(TM) i5-1245", 87},
                                                 {"12th Gen Intel(R) Core(TM) i5-1240P", 85},
                                                 {"12th Gen Intel(R) Core(TM) i5-1235U", 83}};
  for (auto [brand, expected] : offsets) {
    Describe(brand);
    EXPECT_EQ(Score(3), expected) << brand;
  }
  // 32 cores and more: rated by cores and the offset is dropped (not 124).
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, 5, 0), 0);
  Describe("12th Gen Intel(R) Core(TM) i7-1260P", ZarCurrentOS_Linux, 48, 8192);
  EXPECT_EQ(Score(5), 126);  // ((48-32)>>4) + 120 + 5
  const std::pair<const char*, int> suffixes[] = {{"Intel(R) Core(TM) i7-7500V", 2},
                                                  {"11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", 2},
                                                  {"Intel(R) Core(TM) i7-3689Y CPU @ 1.50GHz", 0},
                                                  {kI7, 0}};
  for (auto [brand, offset] : suffixes) {
    Describe(brand);
    _tagZarCPUModelInfo info;
    ASSERT_EQ(sps.CheckCPUInfo(info), 0);
    TraceCapture trace;
    sps.Print();
    EXPECT_TRUE(trace.Contains("m_ScoreOffset = " + std::to_string(offset) + " [")) << brand;
  }
}

TEST_F(SpsTest, ClampsIntoTheBand) {
  Describe(kI7);
  // 90 == maxValue; 79 raised to 80.
  const std::tuple<int, int, int> cases[] = {{1, 3, 89}, {0, 3, 89}, {-10, 3, 80}, {1000, 4, 99}};
  for (auto [base, level, expected] : cases) {
    ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, base, 0), 0);
    EXPECT_EQ(Score(level), expected) << "base " << base;
  }
  // Extreme parameters wrap in 32 bits (no undefined overflow) and still land in the band.
  Describe(kI5, ZarCurrentOS_Linux, 16, 32768);
  for (int extreme : {INT_MAX, INT_MIN}) {
    ASSERT_EQ(Configure(ZarCurrentOS_Linux, std::vector<int>(7, extreme), extreme, extreme, extreme), 0);
    for (int level = 0; level <= 5; ++level) {
      const auto [minValue, maxValue] = Band(level);
      const int score = Score(level);
      EXPECT_TRUE(score >= minValue && score < maxValue) << score << " at level " << level;
    }
  }
}

TEST_F(SpsTest, UnclassifiedCpuGetsTheBandMinimum) {
  Describe("Intel(R) Celeron(R) N4020 CPU @ 1.10GHz", ZarCurrentOS_Linux, 2, 4096, 1100);
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, 50, 0), 0);
  TraceCapture trace;
  EXPECT_EQ(Score(2), 70);  // classified it would be 50 + 70 + 2
  // The failed classification has no line of its own: only the Print block.
  EXPECT_EQ(trace.Lines().size(), 8u);
  EXPECT_EQ(trace.Count("----------------------------------------", 2), 2u);
  EXPECT_TRUE(trace.Contains("CmStaticPerformanceScore cpuInfo = Intel(R) Celeron(R) N4020 CPU @ 1.10GHz", 2));
  // A brand of no known maker, or a Ryzen whose words give no model, is
  // rated with gen = i = k = 0 by the formulas, not given the band minimum.
  for (const char* brand : {"Oxide Virtual Turin-like Processor", "AMD Ryzen Threadripper PRO 7995WX 96-Cores"}) {
    Describe(brand);
    EXPECT_EQ(Score(4), 98) << brand;  // (0-14+0)*3 + 50 + 90
  }
}

TEST_F(SpsTest, CachedScoreIsReusedInsideTheBand) {
  Describe(kI7);
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, 0, 3), 0);
  int score = 0, cached = 0;
  ASSERT_EQ(sps.GetStaticPerformanceScore(score, Level(4)), 0);
  EXPECT_EQ(score, 93);
  // New parameters do not matter while the cached score fits the band...
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 2, 0, 3), 0);
  ASSERT_EQ(sps.GetStaticPerformanceScore(score, Level(4)), 0);
  EXPECT_EQ(score, 93);
  // ...a level whose band excludes it recomputes and caches anew.
  ASSERT_EQ(sps.GetStaticPerformanceScore(score, Level(3)), 0);
  EXPECT_EQ(score, 89);
  EXPECT_EQ(sps.GetStaticPerformanceScore(cached), 0);
  EXPECT_EQ(cached, 89);
  sps.ResetScore();
  sps.GetStaticPerformanceScore(cached);
  EXPECT_EQ(cached, 0);
}

TEST_F(SpsTest, AppleMobileAndAndroidFormulasAndHostFacts) {
  const struct {
    int os, level, c, b, expected;
  } cases[] = {{6, 1, 3, 0, 68},  {6, 2, 8, 0, 76}, {6, 3, 12, 0, 84}, {6, 4, 15, 0, 94}, {6, 5, 17, 1, 103},
               {7, 1, 0, -5, 63}, {7, 2, 5, 0, 73}, {7, 3, 11, 0, 82}, {7, 4, 14, 0, 94}, {7, 5, 18, 0, 106},
               {8, 1, 1, 0, 64},  {8, 2, 4, 0, 73}, {8, 3, 12, 0, 85}, {8, 4, 14, 0, 95}, {8, 5, 40, 0, 100},
               {9, 1, 4, 0, 60},  {9, 2, 7, 0, 72}, {9, 3, 10, 0, 84}, {9, 4, 13, 0, 96}, {9, 5, 15, 0, 104},
               {9, 0, 15, 0, 50}, {6, 3, 30, 0, 89}};
  for (const auto& c : cases) {
    Describe("Apple A17 Pro", c.os, 6, 8192, 0, c.c);
    ASSERT_EQ(Configure(c.os, kZeros, 0, c.b, 0), 0);
    EXPECT_EQ(Score(c.level), c.expected) << "os " << c.os << " level " << c.level << " class " << c.c;
  }
  // Configuring Android resets and reads this host's facts again (Linux);
  // the Android row stays for a described Android device.
  Describe("", ZarCurrentOS_Android);
  ASSERT_EQ(Configure(ZarCurrentOS_Android, kZeros, 0, 5, 0), 0);
  ZarCurrentOS os;
  std::string name;
  ASSERT_EQ(sps.GetOSType(os, name), 0);
  EXPECT_EQ(name, "linux");
  {
    TraceCapture trace;
    sps.Print();
    const std::string facts = trace.Find("cpuInfo = ");
    std::cout << "[host facts] " << facts << std::endl << "[host facts] " << trace.Find("m_memSize = ") << std::endl;
    EXPECT_EQ(facts.find("m_physicalCore = 0,"), std::string::npos);
  }
  Describe("", ZarCurrentOS_Android, 8, 8192, 0, 100);
  EXPECT_EQ(Score(5), 105);
  EXPECT_EQ(Score(4), 99);
  Describe("", ZarCurrentOS_Android, 8, 8192, 0, 60);
  EXPECT_EQ(Score(1), 65);
}

TEST_F(SpsTest, UnknownOSCannotBeScored) {
  for (int os : {0, 10, -3}) {
    Describe("x", os);
    TraceCapture trace;
    int score = 17;
    EXPECT_EQ(sps.GetStaticPerformanceScore(score, Level(3)), ZAR_E_INVALIDARG);
    EXPECT_EQ(score, 17);
    EXPECT_TRUE(trace.Contains(
        "CmStaticPerformanceScore::GetStaticPerformanceScore error currOS = " + std::to_string(os) + " [this=", 0));
    EXPECT_EQ(trace.Count("----------------------------------------", 2), 2u);
  }
}

TEST_F(SpsTest, ClassifiesRealBrandStrings) {
  using R = std::tuple<int, int, int, int>;  // result, gen, tier i, k
  const R kNone{ZAR_S_FALSE, 0, 0, 0};
  const std::pair<const char*, R> cases[] = {
      {"Intel(R) Core(TM) Ultra 7 155H", {0, 1 + 12 + 200, 7, 5}},
      {"11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", {0, 100 + 11, 7, 6}},
      {"11th Gen Intel(R) Core(TM) i5-1165G7 @ 2.40GHz", {0, 100 + 11, 5, 6}},
      {kI9, {0, 100 + 13, 9, 9}},
      {kI7, {0, 100 + 8, 7, 7}},
      {"Intel(R) Core(TM) m3-7Y30 CPU @ 1.00GHz", {0, 100 + 7, 3, 0}},  // 7Y30 reads 7030
      {"Intel(R) Core(TM) i7 CPU         920  @ 2.67GHz", {0, 9 + 12 + 200, 7, 2}},
      {"Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", kNone},
      {"Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz", kNone},
      {"Intel(R) Celeron(R) N4020 CPU @ 1.10GHz", kNone},
      {"Intel(R) N100", kNone},
      {"Intel(R) Core(TM) X-1234", kNone},     // no tier
      {"Intel(R) Core(TM) i7-99999K", kNone},  // model above 19999
      {"Apple M1", {0, 400 + 11, 5, 0}},
      {"Apple M2 Pro", {0, 400 + 12, 7, 0}},
      {"Apple M3 Max", {0, 400 + 13, 9, 0}},
      {"Apple M2 Ultra", {0, 400 + 12, 11, 0}},
      {"Apple M1 (Virtual)", kNone},
      {"Apple processor", kNone},
      {"AMD Ryzen 7 5800X 8-Core Processor", {0, 300 + 10, 7, 8}},
      {"AMD Ryzen 9 PRO 7940HS w/ Radeon 780M Graphics", {0, 300 + 12, 9, 9}},
      // A Ryzen brand whose words yield no tier, generation and digit is
      // rated like a brand of no known maker.
      {"AMD Ryzen Threadripper 3990X 64-Core Processor", {0, 0, 0, 0}},
      {"AMD Ryzen AI 9 HX 370 w/ Radeon 890M", {0, 0, 0, 0}},
      {"AMD Ryzen 7", {0, 0, 0, 0}},
      {"AMD Ryzen 5 5000", {0, 0, 0, 0}},  // k 0
      {"AMD EPYC 7763 64-Core Processor", {0, 0, 0, 0}},
      {"Apple M99999999999999", {0, 400 + 10 + 276447231, 5, 0}},  // the digits wrap: mod 2^32
  };
  Describe("x");
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kRow, 0, 0, 0), 0);
  for (const auto& [brand, expected] : cases) {
    Describe(brand);
    _tagZarCPUModelInfo info;
    const int rc = sps.CheckCPUInfo(info);
    EXPECT_EQ(R(rc, info.gen, info.i, info.k), expected) << brand;
  }
}

TEST(getCpuModelAndGeneration, SplitsBrandStrings) {
  // found, tier, model, family, token, flag
  using R = std::tuple<bool, std::string, unsigned, std::string, std::string, bool>;
  const std::pair<const char*, R> cases[] = {
      {kI7, {true, "i7", 8700, "Core(TM)", "8700K", true}},
      {"Intel(R) Core(TM) Ultra 7 155H", {true, "7", 155, "Core(TM)", "155H", true}},
      {"Intel(R) Core(TM) i3-2100 CPU @ 3.10GHz", {true, "i3", 2100, "Core(TM)", "2100", false}},
      {"Intel(R) Core(TM) i7-7Y75 CPU @ 1.30GHz", {true, "i7", 7075, "Core(TM)", "7075", false}},
      {"Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz", {true, "E5", 2680, "Xeon(R)", "2680", false}},
      {"Intel(R) N100", {true, "", 100, "N", "N100", false}},
      {"Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", {false, "Duo", 0, "Core(TM)2", "unknown", false}},
      {"Intel", {false, "", 0, "", "unknown", false}},
      {"AMD Ryzen 7 5800X 8-Core Processor", {true, "", 7, "Ryzen", "7", false}},
      {"ARMv8 Processor rev 1 (v8l)", {false, "", 0, "", "unknown", false}}};
  for (const auto& [brand, expected] : cases) {
    std::string tier, family;
    unsigned model = 99;
    bool flag = !std::get<5>(expected);
    char token[1024] = "junk";
    const bool found = getCpuModelAndGeneration(brand, tier, model, flag, family, token);
    EXPECT_EQ(R(found, tier, model, family, token, flag), expected) << brand;
  }
  std::string tier, family;
  unsigned model = 0;
  bool flag = false;
  char token[1024];
  EXPECT_TRUE(
      getCpuModelAndGeneration("Intel(R) Core(TM) i7-" + std::string(3000, '7'), tier, model, flag, family, token));
  EXPECT_EQ(std::string(token).size(), 1023u);  // cut to the buffer
  EXPECT_EQ(model, 4294967295u);                // saturated
}

TEST_F(SpsTest, ConfigureParametersRefusals) {
  TraceCapture trace;
  Describe("x", ZarCurrentOS_Unknown);
  EXPECT_EQ(Configure(ZarCurrentOS_Linux, kRow, 0, 0, 0), ZAR_E_FAIL);
  EXPECT_TRUE(
      trace.Contains("CmStaticPerformanceScore::ConfigureParameters fail, need init OS, m_currOS = 0 [this=", 0));
  Describe("x", ZarCurrentOS_Linux);
  EXPECT_EQ(Configure(ZarCurrentOS_Win, kRow, 0, 0, 0), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains(
      "CmStaticPerformanceScore::ConfigureParameters fail,  OS not match, m_currOS = 2, os = 3 [this=", 0));
  EXPECT_EQ(Configure(ZarCurrentOS_Linux, {1, 2, 3, 4, 5, 6}, 0, 0, 0), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains(
      "CmStaticPerformanceScore::ConfigureParameters fail, spcCpuParam error, spcCpuParam.size() = 6 [this=", 0));
  Describe("x", 12);
  EXPECT_EQ(Configure(12, kRow, 0, 0, 0), ZAR_E_INVALIDARG);
  EXPECT_EQ(trace.Count("ConfigureParameters success"), 0u);
  // Parameters survive Reset: zero parameters would give (8-12+7)*2 + 80 = 86.
  Describe(kI7);
  ASSERT_EQ(Configure(ZarCurrentOS_Linux, kZeros, 1, 0, 3), 0);
  EXPECT_TRUE(trace.Contains("CmStaticPerformanceScore::ConfigureParameters success [this=", 2));
  sps.Reset();
  sps.Init();
  Describe(kI7);
  EXPECT_EQ(Score(3), 89);
}

TEST_F(SpsTest, OverridesCheckOptionAndSize) {
  TraceCapture trace;
  uint32_t u32 = 4, mhz = 3200, cores = 12, perCore = 2;
  uint64_t mem = 8192;
  int32_t os = ZarCurrentOS_Mac, cls = 16, model = 3;
  float version = 14.5f;
  std::string brand = "Apple M2 Pro";
  const std::tuple<int, void*, unsigned> refused[] = {{ZarSystemOption_MemSize, &u32, 4},
                                                      {ZarSystemOption_CpuFrequency, &mem, 8},
                                                      {ZarSystemOption_CpuInfo, &brand, 8},
                                                      {ZarSystemOption_PhysicalCore, nullptr, 4},
                                                      {0, &u32, 4},
                                                      {10, &u32, 4}};
  for (auto [option, value, size] : refused)
    EXPECT_EQ(sps.OverrideSystemOption(static_cast<ZarSystemOption>(option), value, size), ZAR_E_INVALIDARG) << option;
  EXPECT_EQ(trace.Texts(), std::vector<std::string>());  // refusals are told by the result alone
  const std::tuple<ZarSystemOption, void*, unsigned> options[] = {
      {ZarSystemOption_CpuInfo, &brand, 32},     {ZarSystemOption_CpuFrequency, &mhz, 4},
      {ZarSystemOption_PhysicalCore, &cores, 4}, {ZarSystemOption_VirtualCore, &perCore, 4},
      {ZarSystemOption_MemSize, &mem, 8},        {ZarSystemOption_CurrentOS, &os, 4},
      {ZarSystemOption_OSVersion, &version, 4},  {ZarSystemOption_CpuClass, &cls, 4},
      {ZarSystemOption_SpecificModel, &model, 4}};
  for (auto [option, value, size] : options) EXPECT_EQ(sps.OverrideSystemOption(option, value, size), 0) << option;
  sps.OverrideStaticPerformanceScore(101);
  trace.Clear();
  ASSERT_EQ(sps.Print(), 0);
  const char* expected[] = {
      "----------------------------------------",
      "CmStaticPerformanceScore::Print",
      "CmStaticPerformanceScore cpuInfo = Apple M2 Pro, m_cpuFrequency = 3200, m_physicalCore = 12, m_virtualCore = 2",
      "CmStaticPerformanceScore m_memSize = 8192",
      "CmStaticPerformanceScore m_currOS = 5, m_osVersion = 14.500, m_cpuClass = 16, m_specificModel3",
      "CmStaticPerformanceScore m_ScoreOffset = 0",
      "CmStaticPerformanceScore m_staticPerformanceScore = 101",
      "----------------------------------------"};
  const std::vector<TraceLine> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 8u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].level, 2u);
    EXPECT_NE(lines[i].text.find(std::string(expected[i]) + " [this=0x"), std::string::npos) << lines[i].text;
  }
}

TEST_F(SpsTest, NamesOfOSAndCpuTypes) {
  const char* names[] = {"", "android", "linux", "win", "win-uwp", "mac", "ios-iphone", "ios-ipad", "tvos", "visionos"};
  ZarCurrentOS got;
  std::string name;
  for (int os = 1; os <= 9; ++os) {
    Describe("x", os);
    ASSERT_EQ(sps.GetOSType(got, name), 0);
    EXPECT_EQ(std::make_pair(static_cast<int>(got), name), std::make_pair(os, std::string(names[os])));
  }
  TraceCapture trace;
  const std::pair<int, const char*> refused[] = {{ZarCurrentOS_Unknown, "GetOSType fail, m_currOS = 0 [this="},
                                                 {10, "GetOSType not support OS, currOS = 10 [this="}};
  for (auto [os, line] : refused) {
    Describe("x", os);
    EXPECT_EQ(sps.GetOSType(got, name), ZAR_E_INVALIDARG);
    EXPECT_TRUE(trace.Contains(std::string("CmStaticPerformanceScore::") + line, 0)) << line;
  }
  EXPECT_EQ(name, "visionos");  // untouched by the refusals
  const char* types[] = {"IntelCore", "IntelCoreUltra", "AMDRyzen", "AppleM", "AppleA", "Qualcomm", "Mediatek", ""};
  for (int t = -1; t < 8; ++t) EXPECT_EQ(sps.GetCPUTypeSring(static_cast<ZarCPUType>(t)), t < 0 ? "" : types[t]);
}

TEST_F(SpsTest, MobileClassificationTables) {
  const std::tuple<const char*, const char*, int> socs[] = {
      {"Qualcomm", "SM8650", 110},  {"QTI", "SM8550", 105},        {"Mediatek", "MT6989", 108},
      {"Samsung", "s5e9945", 105},  {"Samsung", "Exynos 990", 88}, {"Samsung", "SM8650", 110},
      {"Google", "Tensor G3", 100}, {"Google", "Tensor G4", 104}};
  int cpuClass = -1, model = -1;
  ZarCurrentOS os = ZarCurrentOS_Unknown;
  for (auto [maker, soc, expected] : socs) {
    ASSERT_EQ(sps.CheckCPUClassForAndroid(cpuClass, os, maker, soc), 0) << soc;
    EXPECT_EQ(std::make_pair(cpuClass, static_cast<int>(os)), std::make_pair(expected, 1)) << soc;
  }
  const std::pair<const char*, std::tuple<int, int, int>> machines[] = {
      {"iPhone16,2", {6, 16, 2}},        {"iPad16,3", {7, 16, 3}}, {"AppleTV14,1", {8, 14, 1}},
      {"RealityDevice14,1", {9, 14, 1}}, {"arm64", {6, 14, 0}},    {"x86_64", {6, 12, 0}}};
  for (const auto& [machine, expected] : machines) {
    ASSERT_EQ(sps.CheckCPUClassForAppleMoblie(cpuClass, os, model, machine), 0) << machine;
    EXPECT_EQ(std::make_tuple(static_cast<int>(os), cpuClass, model), expected) << machine;
  }
  TraceCapture trace;
  cpuClass = model = -1;
  EXPECT_EQ(sps.CheckCPUClassForAndroid(cpuClass, os, "Rockchip", "RK3588"), ZAR_E_INVALIDARG);
  EXPECT_TRUE(
      trace.Contains("CmStaticPerformanceScore::CheckCPUClassForAndroid do not support this cpu, cpu "
                     "socManufacturer = Rockchip, cpu model = RK3588 [this=",
                     0));
  EXPECT_EQ(sps.CheckCPUClassForAndroid(cpuClass, os, "Google", "Tensor G2"), ZAR_E_INVALIDARG);
  for (const char* machine : {"Watch7,1", "iPhone16", "iPad,3", "iPhone16,", "iPhone16,2x", "xiPhone16,2", ""}) {
    EXPECT_EQ(sps.CheckCPUClassForAppleMoblie(cpuClass, os, model, machine), ZAR_E_INVALIDARG) << machine;
  }
  EXPECT_EQ(cpuClass, -1);
  EXPECT_TRUE(trace.Contains("CheckCPUClassForAppleMoblie do not support this machine, machine = Watch7,1", 0));
}

TEST_F(SpsTest, TopLevelMobileDevices) {
  const struct {
    int os, cpuClass, model;
    bool top;
  } cases[] = {{1, 99, 0, false}, {1, 100, 0, true}, {6, 15, 9, false}, {6, 16, 0, true},  {7, 15, 9, false},
               {7, 16, 2, false}, {7, 16, 3, true},  {7, 17, 0, true},  {8, 99, 9, false}, {9, 1, 0, true}};
  for (const auto& c : cases) {
    Describe("x", c.os, 8, 8192, 0, c.cpuClass, c.model);
    EXPECT_EQ(sps.IsTopLevelForMoblie(), c.top) << "os " << c.os << " class " << c.cpuClass << " model " << c.model;
  }
  for (int os : {2, 3, 4, 5, 0}) {
    Describe("x", os, 8, 8192, 0, 200, 9);
    TraceCapture trace;
    EXPECT_FALSE(sps.IsTopLevelForMoblie());
    EXPECT_TRUE(trace.Contains(
        "CmStaticPerformanceScore::IsTopLevelForMoblie can not support this OS, currOS = " + std::to_string(os), 0));
  }
}

TEST(CmStaticPerformanceScoreSingleton, CreatedOnceAndDestroyed) {
  TraceCapture trace;
  CmStaticPerformanceScore* first = CmStaticPerformanceScore::Instance(false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CmStaticPerformanceScore::Instance(false), first);
  EXPECT_EQ(trace.Count("CmStaticPerformanceScore::CmStaticPerformanceScore [this=0x", 2), 1u);
  EXPECT_EQ(CmStaticPerformanceScore::Instance(true), nullptr);
  CmStaticPerformanceScore::Instance(false);
  CmStaticPerformanceScore::DestroyInstance();
  EXPECT_EQ(trace.Count("CmStaticPerformanceScore::~CmStaticPerformanceScore [this=0x"), 2u);
  const std::string destroyLine = trace.Find("CmStaticPerformanceScore::DestroyInstance");
  EXPECT_NE(destroyLine, "");
  EXPECT_EQ(destroyLine.find("[this="), std::string::npos);
  CmStaticPerformanceScore::DestroyInstance();  // nothing left: harmless
}
