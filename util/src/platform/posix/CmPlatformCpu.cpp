// Linux implementation of CmPlatformCpu.h. The kernel describes the
// processors in /proc/cpuinfo and /sys/devices/system/cpu, the memory in
// /proc/meminfo; on x86 the brand comes straight from the processor.
#include <sys/sysinfo.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "platform/CmPlatformCpu.h"

namespace cm_platform {

namespace {

const char kCpuDir[] = "/sys/devices/system/cpu/";
// Far above any machine; bounds what a malformed list can make us read.
constexpr unsigned kMaxProcessors = 65536;

bool ReadTextFile(const std::string& aPath, std::string& aText) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) return false;
  aText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string Trim(const std::string& aText) {
  const char* blanks = " \t\r\n\f\v";
  const size_t first = aText.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = aText.find_last_not_of(blanks);
  return aText.substr(first, last - first + 1);
}

#if defined(__x86_64__) || defined(__i386__)
std::string CpuidBrand() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  // The brand lives in three extended leaves; older processors lack them.
  if (static_cast<unsigned>(__get_cpuid_max(0x80000000u, nullptr)) < 0x80000004u) return std::string();
  char brand[49] = {};
  for (unsigned leaf = 0; leaf < 3; ++leaf) {
    __cpuid(0x80000002u + leaf, eax, ebx, ecx, edx);
    const unsigned regs[4] = {eax, ebx, ecx, edx};
    std::memcpy(brand + static_cast<size_t>(leaf) * 16, regs, sizeof(regs));
  }
  return Trim(std::string(brand, strnlen(brand, 48)));
}
#else
std::string CpuidBrand() { return std::string(); }
#endif

bool ReadCoreKey(unsigned aCpu, std::string& aKey) {
  const std::string topology = std::string(kCpuDir) + "cpu" + std::to_string(aCpu) + "/topology/";
  std::string text;
  if (ReadTextFile(topology + "core_cpus_list", text) || ReadTextFile(topology + "thread_siblings_list", text)) {
    aKey = Trim(text);
    return !aKey.empty();
  }
  std::string package, core;
  if (!ReadTextFile(topology + "physical_package_id", package) || !ReadTextFile(topology + "core_id", core)) {
    return false;
  }
  aKey = Trim(package) + ":" + Trim(core);
  return true;
}

// Leading decimal number of aText (after blanks) into aValue.
bool ParseUnsigned(const std::string& aText, unsigned long long& aValue) {
  const std::string t = Trim(aText);
  if (t.empty() || t[0] < '0' || t[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  aValue = std::strtoull(t.c_str(), &end, 10);
  return errno == 0;
}

}  // namespace

// ---- readers

std::string CpuBrandString() {
  std::string brand = CpuidBrand();
  if (!brand.empty()) return brand;
  std::string cpuInfo;
  if (!ReadTextFile("/proc/cpuinfo", cpuInfo)) return std::string();
  return ParseCpuInfoBrand(cpuInfo);
}

long CpuSystemFrequencyMHz() {
  const std::string cpufreq = std::string(kCpuDir) + "cpu0/cpufreq/";
  std::string text;
  for (const char* file : {"base_frequency", "cpuinfo_max_freq"}) {
    if (!ReadTextFile(cpufreq + file, text)) continue;
    const long mhz = ParseCpuFreqKHzAsMHz(text);
    if (mhz > 0) return mhz;
  }
  if (!ReadTextFile("/proc/cpuinfo", text)) return -1;
  return ParseCpuInfoMHz(text);
}

bool CpuTopology(unsigned& aPhysical, unsigned& aPerCore) {
  std::string online;
  if (!ReadTextFile(std::string(kCpuDir) + "online", online)) return false;
  const std::vector<unsigned> cpus = ParseCpuList(online);
  if (cpus.empty()) return false;
  std::vector<std::string> keys;
  keys.reserve(cpus.size());
  for (unsigned cpu : cpus) {
    std::string key;
    if (!ReadCoreKey(cpu, key)) return false;
    keys.push_back(key);
  }
  CountCpuCores(keys, aPhysical, aPerCore);
  return true;
}

unsigned CpuOnlineCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

uint64_t PhysicalMemoryBytes() {
  std::string memInfo;
  if (ReadTextFile("/proc/meminfo", memInfo)) {
    const uint64_t bytes = ParseMemInfoTotalBytes(memInfo);
    if (bytes > 0) return bytes;
  }
  struct sysinfo info;
  if (sysinfo(&info) != 0) return 0;
  return static_cast<uint64_t>(info.totalram) * (info.mem_unit ? info.mem_unit : 1u);
}

// ---- parsers

std::string ParseCpuInfoValue(const std::string& aCpuInfo, const char* aKey) {
  std::istringstream lines(aCpuInfo);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (Trim(line.substr(0, colon)) == aKey) return Trim(line.substr(colon + 1));
  }
  return std::string();
}

std::string ParseCpuInfoBrand(const std::string& aCpuInfo) {
  for (const char* key : {"model name", "Hardware", "Processor", "cpu model", "cpu"}) {
    std::string value = ParseCpuInfoValue(aCpuInfo, key);
    if (!value.empty()) return value;
  }
  return std::string();
}

long ParseCpuInfoMHz(const std::string& aCpuInfo) {
  const std::string value = ParseCpuInfoValue(aCpuInfo, "cpu MHz");
  if (value.empty()) return -1;
  char* end = nullptr;
  const double mhz = std::strtod(value.c_str(), &end);
  if (end == value.c_str() || !std::isfinite(mhz) || mhz < 0.5 || mhz > 1e7) return -1;
  return std::lround(mhz);
}

long ParseCpuFreqKHzAsMHz(const std::string& aText) {
  unsigned long long khz = 0;
  if (!ParseUnsigned(aText, khz) || khz == 0 || khz > 10000000000ULL) return -1;
  return static_cast<long>((khz + 500) / 1000);
}

std::vector<unsigned> ParseCpuList(const std::string& aText) {
  std::set<unsigned> cpus;
  std::istringstream ranges(Trim(aText));
  std::string range;
  while (std::getline(ranges, range, ',')) {
    const size_t dash = range.find('-');
    unsigned long long first = 0, last = 0;
    if (!ParseUnsigned(range.substr(0, dash), first)) return {};
    last = first;
    if (dash != std::string::npos && !ParseUnsigned(range.substr(dash + 1), last)) return {};
    if (last < first || last >= kMaxProcessors) return {};
    for (unsigned long long cpu = first; cpu <= last; ++cpu) cpus.insert(static_cast<unsigned>(cpu));
  }
  return std::vector<unsigned>(cpus.begin(), cpus.end());
}

void CountCpuCores(const std::vector<std::string>& aCoreKeys, unsigned& aPhysical, unsigned& aPerCore) {
  const std::set<std::string> cores(aCoreKeys.begin(), aCoreKeys.end());
  aPhysical = static_cast<unsigned>(cores.size());
  aPerCore = aPhysical == 0 ? 0 : static_cast<unsigned>(aCoreKeys.size() / aPhysical);
}

uint64_t ParseMemInfoTotalBytes(const std::string& aMemInfo) {
  const std::string value = ParseCpuInfoValue(aMemInfo, "MemTotal");
  unsigned long long kb = 0;
  if (!ParseUnsigned(value, kb) || kb > UINT64_MAX / 1024) return 0;
  return static_cast<uint64_t>(kb) * 1024;
}

}  // namespace cm_platform
