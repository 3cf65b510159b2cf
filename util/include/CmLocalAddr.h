// CmLocalAddr.h - the host's local address list, its pruning, and the
// primary address.
//
// Which to use:
//  - get_local_addr: every usable unicast address of the host in a linked
//    list of local_addr, the primary IPv4 address first; free it with
//    free_local_addr whatever the result.
//  - prune_local_addr: keeps the addresses worth offering to peers (global
//    IPv6 outside the documentation prefixes, optionally link-local and
//    unique local IPv6, IPv4 other than loopback, the 464XLAT range last),
//    one IPv6 address per interface.
//  - getPrimaryIp / getPrimaryIpStr: the IPv4 address the system would use
//    to reach the outside, found by connecting a datagram socket (which
//    sends nothing) and reading its local side.
//  - SetGetAdaptersAddressesFuc: substitutes the adapter enumeration (for
//    example with a fabricated adapter list); cm_get_adapters_addresses is
//    the system's own.
//
// Socket addresses (local_addr::addr, cm_adapter_unicast::address) are the
// platform's own structures (sockaddr_in, sockaddr_in6; family first) in
// 128 bytes of storage, ready for the socket calls.
//
// Thread safety: every function may be called from any thread. The
// enumeration function, the probe targets and the target switch are
// process-wide settings; change them during start-up, not while other
// threads enumerate (a change is atomic, but a running enumeration may still
// use the old one).
#ifndef CM_LOCAL_ADDR_H
#define CM_LOCAL_ADDR_H

#include <string>

#include "CmDefines.h"

struct sockaddr_in;

// 128 bytes laid out as the platform's socket address storage.
struct alignas(8) cm_sockaddr_storage {
  unsigned short ss_family;
  char ss_data[126];
};

// One element of the local address list.
struct local_addr {
  cm_sockaddr_storage addr;
  uint32_t addr_len;  // 16 for IPv4, 28 for IPv6
  char ifname[64];    // the adapter's name, at most 63 characters
  int64_t expire;     // IPv6: enumeration time + preferred lifetime (s since 1970); IPv4: 0
  uint32_t flag;      // 0 from get_local_addr; prune_local_addr drops 8 and prefers 2 over 1
  local_addr* next;
};

// ---- the adapter enumeration
//
// An enumeration function fills the caller's buffer with a linked list of
// adapters, each with its unicast addresses, all inside that buffer:
//
//   buffer: [adapter 0][unicast][unicast][adapter 1][unicast] ...
//            next ----------------------->^
//            first_unicast->[ ]->[ ]
//
// Called with a buffer smaller than the list needs (a null buffer with size
// 0 asks for the size), it stores the size it needs and returns
// CM_ADAPTERS_BUFFER_OVERFLOW; the list can grow between two calls.
enum {
  CM_ADAPTERS_SUCCESS = 0,
  CM_ADAPTERS_GEN_FAILURE = 31,         // the system could not be asked
  CM_ADAPTERS_INVALID_PARAMETER = 87,   // null size, unknown family
  CM_ADAPTERS_BUFFER_OVERFLOW = 111,    // *size now holds the size needed
  CM_ADAPTERS_NO_DATA = 232,            // the host has no adapter
};

// Families (the engine's numbers; the platform's own IPv6 number is
// accepted too) and flags of an enumeration call.
enum {
  CM_ADAPTERS_FAMILY_UNSPEC = 0,
  CM_ADAPTERS_FLAG_SKIP_UNICAST = 0x1,
  CM_ADAPTERS_FLAG_SKIP_ANYCAST = 0x2,    // only unicast addresses are ever listed
  CM_ADAPTERS_FLAG_SKIP_MULTICAST = 0x4,
};

// Duplicate-address-detection states; only CM_DAD_PREFERRED addresses are
// usable.
enum { CM_DAD_INVALID = 0, CM_DAD_TENTATIVE = 1, CM_DAD_DUPLICATE = 2, CM_DAD_DEPRECATED = 3, CM_DAD_PREFERRED = 4 };

// cm_adapter_unicast::flags.
enum { CM_UNICAST_TEMPORARY = 0x1, CM_UNICAST_DEPRECATED = 0x2 };

// A lifetime without end.
enum : uint32_t { CM_LIFETIME_INFINITE = 0xFFFFFFFFu };

// Adapter types (IANA ifType numbers) and operational states (RFC 2863).
enum {
  CM_IF_TYPE_OTHER = 1,
  CM_IF_TYPE_ETHERNET = 6,
  CM_IF_TYPE_PPP = 23,
  CM_IF_TYPE_LOOPBACK = 24,
  CM_IF_TYPE_IEEE80211 = 71,
  CM_IF_TYPE_TUNNEL = 131,
  CM_IF_TYPE_WWAN = 243,
};
enum {
  CM_IF_OPER_UP = 1,
  CM_IF_OPER_DOWN = 2,
  CM_IF_OPER_TESTING = 3,
  CM_IF_OPER_UNKNOWN = 4,
  CM_IF_OPER_DORMANT = 5,
  CM_IF_OPER_NOT_PRESENT = 6,
  CM_IF_OPER_LOWER_LAYER_DOWN = 7,
};

// One unicast address of an adapter, as the adapter enumeration reports it;
// linked through next. A plain record.
struct cm_adapter_unicast {
  cm_adapter_unicast* next;
  cm_sockaddr_storage address;  // link-local IPv6 carries its interface as the scope
  uint32_t address_len;
  uint32_t prefix_length;
  int32_t dad_state;             // CM_DAD_*
  uint32_t preferred_lifetime;   // seconds from the enumeration, CM_LIFETIME_INFINITE
  uint32_t valid_lifetime;
  uint32_t flags;                // CM_UNICAST_*
};

// One adapter of the enumeration with its unicast addresses; the adapters
// are linked through next. A plain record, filled by the enumeration
// function (the system's own or a substitute).
struct cm_adapter_addresses {
  cm_adapter_addresses* next;
  char name[64];
  uint32_t if_index;
  uint32_t if_type;      // CM_IF_TYPE_*
  int32_t oper_status;   // CM_IF_OPER_*
  cm_adapter_unicast* first_unicast;
};

typedef uint32_t (*cm_get_adapters_addresses_fn)(uint32_t aFamily, uint32_t aFlags, void* aReserved,
                                                 cm_adapter_addresses* aAdapters, uint32_t* aSize);

CM_EXTERN_C_BEGIN

// The system's enumeration (rtnetlink, else getifaddrs): adapters in the
// system's order, each with its unicast addresses of aFamily. aReserved is
// ignored. Results as listed above; CM_ADAPTERS_GEN_FAILURE when neither
// source answers.
CM_EXPORT uint32_t cm_get_adapters_addresses(uint32_t aFamily, uint32_t aFlags, void* aReserved,
                                             cm_adapter_addresses* aAdapters, uint32_t* aSize);

// Replaces the enumeration function used by get_local_addr and the network
// type detection (traced "SetGetAdaptersAddressesFuc, fn=0x..., old=0x...").
// Null is refused (assertion "aFunc != nullptr") and changes nothing.
CM_EXPORT void SetGetAdaptersAddressesFuc(cm_get_adapters_addresses_fn aFunc);
CM_EXPORT cm_get_adapters_addresses_fn GetGetAdaptersAddressesFuc(void);

// ---- the list

// Builds the list of the host's usable addresses into *aList: preferred
// (detection state) IPv4 other than 127/8 and 169.254/16, and IPv6 other
// than ::1 and fe80::/10, in adapter order, the primary IPv4 address first.
// 0 when the list is not empty; -1 when it is empty or the enumeration
// failed (then the list holds only the primary IPv4 address when it is
// known); ZAR_E_INVALIDARG for a null aList (assertion "res != nullptr").
CM_EXPORT int32_t get_local_addr(local_addr** aList);

// Frees every element; null does nothing.
CM_EXPORT void free_local_addr(local_addr* aList);

// Prunes and reorders *aList in place, freeing what it drops. aOptions
// points to three bools or is null (all true): keep link-local IPv6, keep
// unique local IPv6, keep 464XLAT IPv4 (192.0.0.0/29) even when an IPv6
// address survives. Each interface keeps one IPv6 address: flag 2 wins over
// flag 1, otherwise the one whose preferred lifetime ends first. Loopback
// IPv4, flag-8 and expired IPv6 and documentation prefixes (2001:db8::/32,
// 3fff::/20) are dropped; 464XLAT addresses go last. *aXlatRemoved, when
// given, becomes true only when 464XLAT addresses were dropped because an
// IPv6 address survived.
CM_EXPORT void prune_local_addr(local_addr** aList, const bool* aOptions, bool* aXlatRemoved);

// Chooses the probe target of the primary address: true (the default) the
// engine's media service, false the public DNS resolver.
CM_EXPORT void EnableDefaultServer4PrimaryIp(bool aValue);
// Accepted for compatibility; has no effect.
CM_EXPORT void disable_detect_manual_ipv6(bool aValue);

// Sets the IPv4 endpoint the primary-address probe connects to, for the
// media service target (aDefaultServer true) or the resolver target. The
// built-in media service target 203.0.113.1:5004 is a placeholder that
// routes like any outside destination: deployments set their media
// service's address here. The resolver target is 8.8.8.8:53. No packet is
// ever sent to either. ZAR_E_INVALIDARG (traced) for a text that is not a
// numeric IPv4 address.
CM_EXPORT int32_t SetPrimaryIpProbeTarget(bool aDefaultServer, const char* aIPv4, uint16_t aPort);

CM_EXTERN_C_END

// True when aAddress and aPrefix agree under aMask, all three IPv6 texts
// (IPv4 texts for the IPv4 form). An unparsable text gives false, traced at
// level 3.
CM_EXPORT bool isSamePrefixIPv6(std::string aAddress, std::string aPrefix, std::string aMask);
CM_EXPORT bool isSamePrefixIPv4(std::string aAddress, std::string aPrefix, std::string aMask);

// The primary IPv4 address: the local side of a datagram socket connected
// to the probe target. 0 with the dotted text in *aText and, when aAddr is
// not null, the local socket address in *aAddr; -1 on failure (traced).
// A null aText is refused (assertion "aText != nullptr").
CM_EXPORT int32_t getPrimaryIp(struct sockaddr_in* aAddr, std::string* aText);
// The same as text; empty on failure.
CM_EXPORT std::string getPrimaryIpStr();

#endif  // CM_LOCAL_ADDR_H
