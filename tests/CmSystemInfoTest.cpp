// Host facts: the kernel-text parsers on fixed text, the frequency and
// memory rules, and the facts read on this machine (printed for the log).
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "CmSystemInfo.h"
#include "CmSystemInfoInternal.h"
#include "TraceCapture.h"
#include "platform/CmPlatformCpu.h"

using namespace cm_platform;

TEST(HostFactParsers, ReadTheKernelTexts) {
  const char x86[] =
      "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz\ncpu MHz\t\t: 4299.512\n\n"
      "processor\t: 1\nmodel name\t: Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz\ncpu MHz\t\t: 800.000\n";
  const char arm[] = "processor\t: 0\nCPU implementer\t: 0x41\n\nHardware\t: Qualcomm Technologies, Inc SM8650\n";
  EXPECT_EQ(ParseCpuInfoBrand(x86), "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz");
  EXPECT_EQ(ParseCpuInfoMHz(x86), 4300);  // the first processor, rounded
  EXPECT_EQ(ParseCpuInfoBrand(arm), "Qualcomm Technologies, Inc SM8650");
  EXPECT_EQ(ParseCpuInfoMHz(arm), -1);
  EXPECT_EQ(ParseCpuInfoMHz("cpu MHz : fast\n"), -1);
  EXPECT_EQ(ParseCpuInfoMHz("cpu MHz : -5\n"), -1);
  EXPECT_EQ(ParseCpuFreqKHzAsMHz("3700000\n"), 3700);
  EXPECT_EQ(ParseCpuFreqKHzAsMHz("2099500"), 2100);
  for (const char* bad : {"0", "<unknown>", "", "99999999999999999999999"}) EXPECT_EQ(ParseCpuFreqKHzAsMHz(bad), -1);
  EXPECT_EQ(ParseMemInfoTotalBytes("MemTotal:       24683748 kB\nMemFree:  1 kB\n"), 24683748ULL * 1024);
  for (const char* bad : {"MemFree:  1 kB\n", "MemTotal: lots\n", "MemTotal: 99999999999999999999 kB\n"}) {
    EXPECT_EQ(ParseMemInfoTotalBytes(bad), 0u) << bad;
  }
}

TEST(HostFactParsers, CpuListsAndCoreCounts) {
  EXPECT_EQ(ParseCpuList("0-3,8,10-11\n"), (std::vector<unsigned>{0, 1, 2, 3, 8, 10, 11}));
  EXPECT_EQ(ParseCpuList("3,1-2,2"), (std::vector<unsigned>{1, 2, 3}));
  for (const char* bad : {"", "3-1", "a-b", "0-", "0-4294967295"}) EXPECT_TRUE(ParseCpuList(bad).empty()) << bad;
  unsigned physical = 9, perCore = 9;
  CountCpuCores({"0,2", "1,3", "0,2", "1,3"}, physical, perCore);  // 2 cores x 2 threads
  EXPECT_EQ(std::make_pair(physical, perCore), std::make_pair(2u, 2u));
  CountCpuCores({}, physical, perCore);  // no entries: no division by zero
  EXPECT_EQ(std::make_pair(physical, perCore), std::make_pair(0u, 0u));
}

TEST(HostFactRules, BrandFrequencyAndTheSmallerSource) {
  EXPECT_EQ(CmBrandFrequencyMHz("Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz"), 3700u);
  EXPECT_EQ(CmBrandFrequencyMHz("Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz"), 3000u);
  for (const char* none : {"AMD Ryzen 7 5800X 8-Core Processor", "3.0GHz @ x", "X @ fastGHz", "X @ -1.0GHz"}) {
    EXPECT_EQ(CmBrandFrequencyMHz(none), 0u) << none;
  }
  const std::tuple<unsigned, long, unsigned> cases[] = {
      {3700, 4700, 3700}, {4000, 3600, 3600}, {0, 2096, 2096}, {3700, -1, 3700}};
  for (auto [brand, system, expected] : cases) {
    unsigned mhz = 1;
    EXPECT_EQ(CmComposeCpuFrequency(brand, system, mhz), 0);
    EXPECT_EQ(mhz, expected) << brand << " " << system;
  }
  unsigned mhz = 12345;
  EXPECT_EQ(CmComposeCpuFrequency(0, -1, mhz), -2);
  EXPECT_EQ(mhz, 12345u);
}

TEST(HostFactRules, MemoryRoundsToTheNearestGigabyte) {
  const uint64_t mb = 1ULL << 20;
  EXPECT_EQ((std::vector<uint64_t>{CmRoundMemoryMB(24683748ULL * 1024), CmRoundMemoryMB(1535 * mb),
                                   CmRoundMemoryMB(1536 * mb), CmRoundMemoryMB(511 * mb)}),
            (std::vector<uint64_t>{24576, 1024, 2048, 0}));
}

TEST(SystemInfo, ReadsThisHost) {
  char brand[1024];
  const int brandRc = get_cpu_brand(brand, sizeof(brand));
  CmResetCpuFrequencyCacheForTesting();
  TraceCapture trace;
  unsigned mhz = 0, again = 0, physical = 0, perCore = 0;
  const int freqRc = get_cpu_frequency(mhz);
  ASSERT_EQ(get_cpu_core(physical, perCore), 0);
  uint64_t memMB = 0;
  ASSERT_EQ(get_memory_size(memMB), 0);
  std::cout << "[host facts] brand = \"" << brand << "\" (rc " << brandRc << "), frequency = " << mhz << " MHz (rc "
            << freqRc << "), physical cores = " << physical << ", logical per core = " << perCore
            << ", memory = " << memMB << " MB" << std::endl;
  EXPECT_EQ(brandRc == 0, strlen(brand) > 0);
  EXPECT_GE(physical, 1u);
  EXPECT_GE(perCore, 1u);
  EXPECT_EQ(memMB % 1024, 0u);
  if (freqRc == 0) {  // read once, then cached
    EXPECT_EQ(get_cpu_frequency(again), 0);
    EXPECT_EQ(again, mhz);
    EXPECT_EQ(trace.Count("get_cpu_frequency dwMHz = ", 2), 1u);
  } else {
    EXPECT_EQ(freqRc, -2);
  }
  char small[5];
  EXPECT_EQ(get_cpu_brand(small, sizeof(small)), brandRc);
  EXPECT_EQ(std::string(small), std::string(brand).substr(0, 4));
  EXPECT_EQ(get_cpu_brand(nullptr, 10), -1);
}
