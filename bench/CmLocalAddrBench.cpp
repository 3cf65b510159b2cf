// The local address list beside its peers, on this machine's real adapters:
//  - get_local_addr + prune_local_addr + free_local_addr (the primary-address
//    probe included, aimed at loopback so nothing could leave the machine;
//    a datagram connect sends nothing anyway);
//  - cm_get_adapters_addresses alone into a reused buffer (the enumeration
//    without the probe and the list);
//  - getPrimaryIpStr alone (the probe's share of the first);
//  - the C library's getifaddrs + freeifaddrs;
//  - libuv's uv_interface_addresses + uv_free_interface_addresses.
// Every benchmark counts the addresses it saw and stops with an error when
// the count is not the expected one (getifaddrs' count for the enumeration,
// the first answer for libuv, which lists only running adapters, and for the
// list, whether it is empty).
#include <benchmark/benchmark.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <uv.h>

#include <vector>

#include "CmLocalAddr.h"

namespace {

// Unicast IPv4 and IPv6 addresses as getifaddrs lists them.
int IfaddrsCount() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  int n = 0;
  for (const ifaddrs* p = list; p; p = p->ifa_next) {
    if (p->ifa_addr && (p->ifa_addr->sa_family == AF_INET || p->ifa_addr->sa_family == AF_INET6)) ++n;
  }
  freeifaddrs(list);
  return n;
}

void BM_LocalAddr_ZarListAndPrune(benchmark::State& state) {
  SetPrimaryIpProbeTarget(true, "127.0.0.1", 5004);
  local_addr* probe = nullptr;
  const bool expectAny = get_local_addr(&probe) == 0;
  free_local_addr(probe);
  size_t kept = 0;
  for (auto _ : state) {
    local_addr* list = nullptr;
    const int32_t result = get_local_addr(&list);
    prune_local_addr(&list, nullptr, nullptr);
    for (const local_addr* l = list; l; l = l->next) ++kept;
    free_local_addr(list);
    if ((result == 0) != expectAny) {
      state.SkipWithError("the list changed between runs");
      break;
    }
  }
  benchmark::DoNotOptimize(kept);
  state.counters["kept"] = benchmark::Counter(static_cast<double>(kept), benchmark::Counter::kAvgIterations);
  SetPrimaryIpProbeTarget(true, "203.0.113.1", 5004);
}

void BM_LocalAddr_ZarEnumerationOnly(benchmark::State& state) {
  const int expected = IfaddrsCount();
  std::vector<uint64_t> buffer(65536 / 8);
  auto* adapters = reinterpret_cast<cm_adapter_addresses*>(buffer.data());
  for (auto _ : state) {
    uint32_t size = static_cast<uint32_t>(buffer.size() * 8);
    if (cm_get_adapters_addresses(0, CM_ADAPTERS_FLAG_SKIP_ANYCAST | CM_ADAPTERS_FLAG_SKIP_MULTICAST, nullptr, adapters,
                                  &size) != CM_ADAPTERS_SUCCESS) {
      state.SkipWithError("enumeration failed");
      break;
    }
    int n = 0;
    for (const cm_adapter_addresses* a = adapters; a; a = a->next) {
      for (const cm_adapter_unicast* u = a->first_unicast; u; u = u->next) ++n;
    }
    if (n != expected) {
      state.SkipWithError("address count differs from getifaddrs");
      break;
    }
  }
  benchmark::ClobberMemory();
}

void BM_LocalAddr_ZarPrimaryIpProbe(benchmark::State& state) {
  SetPrimaryIpProbeTarget(true, "127.0.0.1", 5004);
  for (auto _ : state) {
    if (getPrimaryIpStr() != "127.0.0.1") {
      state.SkipWithError("the probe did not find loopback");
      break;
    }
  }
  SetPrimaryIpProbeTarget(true, "203.0.113.1", 5004);
}

void BM_LocalAddr_Getifaddrs(benchmark::State& state) {
  const int expected = IfaddrsCount();
  for (auto _ : state) {
    if (IfaddrsCount() != expected) {
      state.SkipWithError("address count changed");
      break;
    }
  }
}

// libuv lists only adapters that are up and running: its own first answer
// is the reference.
void BM_LocalAddr_LibuvInterfaceAddresses(benchmark::State& state) {
  uv_interface_address_t* first = nullptr;
  int expected = 0;
  if (uv_interface_addresses(&first, &expected) != 0 || expected == 0) {
    state.SkipWithError("uv_interface_addresses found nothing");
    return;
  }
  uv_free_interface_addresses(first, expected);
  for (auto _ : state) {
    uv_interface_address_t* list = nullptr;
    int count = 0;
    if (uv_interface_addresses(&list, &count) != 0) {
      state.SkipWithError("uv_interface_addresses failed");
      break;
    }
    benchmark::DoNotOptimize(list);
    uv_free_interface_addresses(list, count);
    if (count != expected) {
      state.SkipWithError("address count changed");
      break;
    }
  }
}

BENCHMARK(BM_LocalAddr_ZarListAndPrune);
BENCHMARK(BM_LocalAddr_ZarEnumerationOnly);
BENCHMARK(BM_LocalAddr_ZarPrimaryIpProbe);
BENCHMARK(BM_LocalAddr_Getifaddrs);
BENCHMARK(BM_LocalAddr_LibuvInterfaceAddresses);

}  // namespace

BENCHMARK_MAIN();
