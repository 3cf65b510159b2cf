// FakeAdapters - a fabricated adapter list served through
// SetGetAdaptersAddressesFuc, for tests of everything that enumerates.
//
//   FakeAdapters fake;                                   // installed now, old source back at the end
//   fake.Adapter("eth0", CM_IF_TYPE_ETHERNET).Address("10.0.0.1", 24);
//   fake.Adapter("wlan0", CM_IF_TYPE_IEEE80211).Address("2001:2::1", 64, CM_DAD_PREFERRED, 3600);
//   fake.SetOverflows(2);                                // the next two calls report a buffer too small
//
// The list is laid out the way an enumeration function must: adapters and
// addresses linked inside the caller's buffer, the size asked for when the
// buffer is too small. Calls may come from any thread (the detection runs on
// its own); the list itself is set up before they start.
#ifndef ZAR_TEST_FAKE_ADAPTERS_H
#define ZAR_TEST_FAKE_ADAPTERS_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "CmLocalAddr.h"
#include "ThreadWaiter.h"

class FakeAdapters {
 public:
  struct Unicast {
    std::string text;
    uint32_t prefix;
    int32_t dad;
    uint32_t preferred;
    uint32_t flags;
    uint16_t family;  // 0: from the text; else written as is (an unknown family)
  };
  struct Entry {
    std::string name;
    uint32_t type;
    std::vector<Unicast> unicasts;
    Entry& Address(const char* aText, uint32_t aPrefix = 24, int32_t aDad = CM_DAD_PREFERRED,
                   uint32_t aPreferred = CM_LIFETIME_INFINITE, uint32_t aFlags = 0) {
      unicasts.push_back(Unicast{aText, aPrefix, aDad, aPreferred, aFlags, 0});
      return *this;
    }
    Entry& OtherFamily(uint16_t aFamily, int32_t aDad = CM_DAD_PREFERRED) {
      unicasts.push_back(Unicast{"0.0.0.0", 0, aDad, CM_LIFETIME_INFINITE, 0, aFamily});
      return *this;
    }
  };

  FakeAdapters() : m_pfnOld(GetGetAdaptersAddressesFuc()) {
    s_pCurrent.store(this);
    SetGetAdaptersAddressesFuc(&Enumerate);
  }
  ~FakeAdapters() {
    SetGetAdaptersAddressesFuc(m_pfnOld);
    s_pCurrent.store(nullptr);
  }
  FakeAdapters(const FakeAdapters&) = delete;
  FakeAdapters& operator=(const FakeAdapters&) = delete;

  Entry& Adapter(const char* aName, uint32_t aType = CM_IF_TYPE_ETHERNET) {
    m_Adapters.push_back(Entry{aName, aType, {}});
    return m_Adapters.back();
  }
  // The next aCount calls report a buffer too small (asking aGrowth bytes
  // more than the list needs).
  void SetOverflows(int aCount, uint32_t aGrowth = 4096) {
    m_nOverflows.store(aCount);
    m_dwGrowth = aGrowth;
  }
  // Every call fails with aCode (0: serve the list).
  void SetFailure(uint32_t aCode) { m_dwFailure.store(aCode); }
  // Calls block until Release(); Entered() tells one has started.
  void BlockCalls() { m_bBlock.store(true); }
  void Release() { m_Released.Finished(); }
  bool WaitEntered(int aMs) { return m_Entered.WaitUntilTimeout(std::chrono::milliseconds(aMs)); }
  bool WaitBlockedCallReturned(int aMs) { return m_Returned.WaitUntilTimeout(std::chrono::milliseconds(aMs)); }
  void ThrowOnCall() { m_bThrow.store(true); }

  int Calls() const { return m_nCalls.load(); }
  // Size queries (null buffer), one per detection.
  int SizeQueries() const { return m_nSizeQueries.load(); }
  std::vector<uint32_t> OfferedSizes() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Offered;
  }
  uint32_t LastFamily() const { return m_dwLastFamily.load(); }

 private:
  static uint32_t Enumerate(uint32_t aFamily, uint32_t /*aFlags*/, void*, cm_adapter_addresses* aBuffer, uint32_t* aSize) {
    FakeAdapters* self = s_pCurrent.load();
    if (!self) return CM_ADAPTERS_GEN_FAILURE;
    return self->Serve(aFamily, aBuffer, aSize);
  }

  uint32_t Serve(uint32_t aFamily, cm_adapter_addresses* aBuffer, uint32_t* aSize) {
    m_nCalls.fetch_add(1);
    if (!aBuffer) m_nSizeQueries.fetch_add(1);
    m_dwLastFamily.store(aFamily);
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Offered.push_back(*aSize);
    }
    if (m_bThrow.load()) throw std::runtime_error("fabricated enumeration failure");
    if (m_bBlock.load()) {
      m_Entered.Finished();
      m_Released.WaitUntilFinished();
      m_Returned.Finished();
    }
    if (m_dwFailure.load() != 0) return m_dwFailure.load();
    const uint32_t needed = Needed(aFamily);
    if (m_nOverflows.load() > 0) {
      m_nOverflows.fetch_sub(1);
      *aSize = needed + m_dwGrowth;
      return CM_ADAPTERS_BUFFER_OVERFLOW;
    }
    if (!aBuffer || *aSize < needed) {
      *aSize = needed;
      return CM_ADAPTERS_BUFFER_OVERFLOW;
    }
    LayOut(aFamily, aBuffer);
    return CM_ADAPTERS_SUCCESS;
  }

  static bool Wanted(uint32_t aFamily, const Unicast& aU) {
    if (aFamily == 0 || aU.family != 0) return true;
    const bool v6 = aU.text.find(':') != std::string::npos;
    return (aFamily == 2) != v6;
  }

  uint32_t Needed(uint32_t aFamily) const {
    size_t n = 0;
    for (const Entry& e : m_Adapters) {
      n += sizeof(cm_adapter_addresses);
      for (const Unicast& u : e.unicasts) n += Wanted(aFamily, u) ? sizeof(cm_adapter_unicast) : 0;
    }
    return static_cast<uint32_t>(n);
  }

  static void Fill(const Unicast& aFrom, cm_adapter_unicast& aTo) {
    if (aFrom.family != 0) {
      aTo.address.ss_family = aFrom.family;
      aTo.address_len = 16;
    } else if (aFrom.text.find(':') != std::string::npos) {
      sockaddr_in6 in6{};
      in6.sin6_family = AF_INET6;
      inet_pton(AF_INET6, aFrom.text.c_str(), &in6.sin6_addr);
      memcpy(&aTo.address, &in6, sizeof(in6));
      aTo.address_len = sizeof(in6);
    } else {
      sockaddr_in in{};
      in.sin_family = AF_INET;
      inet_pton(AF_INET, aFrom.text.c_str(), &in.sin_addr);
      memcpy(&aTo.address, &in, sizeof(in));
      aTo.address_len = sizeof(in);
    }
    aTo.prefix_length = aFrom.prefix;
    aTo.dad_state = aFrom.dad;
    aTo.preferred_lifetime = aFrom.preferred;
    aTo.valid_lifetime = aFrom.preferred;
    aTo.flags = aFrom.flags;
  }

  void LayOut(uint32_t aFamily, cm_adapter_addresses* aBuffer) const {
    char* cursor = reinterpret_cast<char*>(aBuffer);
    cm_adapter_addresses* previous = nullptr;
    uint32_t index = 1;
    for (const Entry& e : m_Adapters) {
      auto* a = reinterpret_cast<cm_adapter_addresses*>(cursor);
      cursor += sizeof(cm_adapter_addresses);
      memset(a, 0, sizeof(*a));
      memcpy(a->name, e.name.data(), std::min(e.name.size(), sizeof(a->name)));  // a 64-character name arrives unterminated
      a->if_index = index++;
      a->if_type = e.type;
      a->oper_status = CM_IF_OPER_UP;
      cm_adapter_unicast** link = &a->first_unicast;
      for (const Unicast& u : e.unicasts) {
        if (!Wanted(aFamily, u)) continue;
        auto* to = reinterpret_cast<cm_adapter_unicast*>(cursor);
        cursor += sizeof(cm_adapter_unicast);
        memset(to, 0, sizeof(*to));
        Fill(u, *to);
        *link = to;
        link = &to->next;
      }
      if (previous) previous->next = a;
      previous = a;
    }
  }

  static inline std::atomic<FakeAdapters*> s_pCurrent{nullptr};
  cm_get_adapters_addresses_fn m_pfnOld;
  std::deque<Entry> m_Adapters;  // set up before any call; references stay valid
  std::atomic<int> m_nOverflows{0};
  uint32_t m_dwGrowth = 4096;
  std::atomic<uint32_t> m_dwFailure{0};
  std::atomic<bool> m_bBlock{false};
  std::atomic<bool> m_bThrow{false};
  std::atomic<int> m_nCalls{0};
  std::atomic<int> m_nSizeQueries{0};
  std::atomic<uint32_t> m_dwLastFamily{0};
  mutable std::mutex m_Mutex;  // guards m_Offered
  std::vector<uint32_t> m_Offered;
  ThreadWaiter m_Entered;
  ThreadWaiter m_Released;
  ThreadWaiter m_Returned;
};

#endif  // ZAR_TEST_FAKE_ADAPTERS_H
