// CmInetAddr.h - address text utilities: text <-> binary address
// conversion, checks of address texts, "proto://host:port" splitting,
// host-name resolution and probes whether the host has IPv4 or IPv6 at all.
//
// Families are numbered the engine's way: CM_AF_INET (2) is IPv4 and
// CM_AF_INET6 (23) is IPv6; the platform's own IPv6 number (AF_INET6) is
// accepted too. Binary addresses are network-order bytes (4 or 16).
//
// Which to use:
//  - cm_inet_pton / cm_inet_ntop: numeric text <-> bytes, no lookup.
//  - isIPv4 / isIPv6: is this text a numeric address of that family.
//  - ip_2_id / id_2_ip: IPv4 text <-> host-order 32-bit number (a name is
//    resolved first).
//  - transport_address_parse: "udp://10.0.0.1:5004" into its three parts.
//  - resolve_2_ip, get_local_ip, isPureIp6 ask the host's resolver, which
//    may wait for the network when the name is not local.
//
// No function throws; failures give 0, false, null or an empty text, with a
// level-0 trace line where noted.
//
// Thread safety: every function may be called from any thread. id_2_ip
// returns a buffer of the calling thread that its next call overwrites;
// get_local_ip returns a process-wide buffer written once.
#ifndef CM_INET_ADDR_H
#define CM_INET_ADDR_H

#include "CmDefines.h"

enum {
  CM_AF_INET = 2,
  CM_AF_INET6 = 23,
  // Room resolve_2_ip needs for any address text it writes.
  CM_IP_TEXT_SIZE = 65,
};

CM_EXTERN_C_BEGIN

// Parses a numeric address of the family into aDst (4 or 16 bytes). 1 on
// success; 0 for any other family, a text that is not such an address, or a
// null argument, with aDst unchanged.
CM_EXPORT int cm_inet_pton(int aFamily, const char* aSrc, void* aDst);

// Writes the text of the 4- or 16-byte address into dst (size bytes, NUL
// included) and returns dst. Null for any other family, a null argument, a
// conversion failure (errno set; traced "cm_inet_ntop, WSAAddressToStringW
// failed, error code: ...") or a text that does not fit (assertion
// "sDst.length() < (size_t)size").
CM_EXPORT const char* cm_inet_ntop(int aFamily, const void* src, char* dst, int size);

// 10014 "WSAEFAULT", 10022 "WSAEINVAL", 10055 "WSAENOBUFS",
// 10093 "WSANOTINITIALISED", anything else "UNKNOWN ERROR".
CM_EXPORT const char* convertWSAErr2Str(int aErrorCode);

CM_EXPORT bool isIPv4(const char* aText);
CM_EXPORT bool isIPv6(const char* aText);

// True when every character is a decimal digit, '.', '(' or a tab (so the
// empty text is true): the test that tells a host text needs no lookup.
// Null is false and traced "is_ip_address: ip string is null".
CM_EXPORT bool is_ip_address(const char* aText);

// a.b.c.d as a * 2^24 + b * 2^16 + c * 2^8 + d (missing numbers count 0,
// arithmetic modulo 2^32). A text that fails is_ip_address is resolved
// first; 0 when that gives nothing.
CM_EXPORT uint32_t ip_2_id(const char* aText);

// "%d.%d.%d.%d" of aId, most significant byte first, in a 64-byte buffer of
// the calling thread that the next call overwrites.
CM_EXPORT const char* id_2_ip(uint32_t aId);

// Resolves a host name (or numeric IPv4 text) and writes the dotted text of
// its first IPv4 address into aDst, which must hold CM_IP_TEXT_SIZE bytes.
// A name with IPv6 addresses only does not resolve. Null arguments (traced
// with both texts) and names that do not resolve are traced and leave aDst
// unchanged.
CM_EXPORT void resolve_2_ip(const char* aHostName, char* aDst);

// Splits "proto://host:port" (at most 64 characters). The protocol and the
// host (resolved to an address text unless is_ip_address passes) are cut to
// aProtoSize - 1 and aHostSize - 1 characters; the port is the decimal value
// of the text after the first ':' after "://", cut to 16 bits. False, with
// the outputs unchanged, for a longer text, no "://", no ':' after it, an
// empty port text, a host that does not resolve, or a null argument / size
// below 1.
CM_EXPORT bool transport_address_parse(const char* aText, char* aProto, int aProtoSize, char* aHost,
                                       int aHostSize, uint16_t* aPort);

// The first IPv4 address of the host's own name in dotted form, looked up
// once successfully and then kept; null (after the assertion "host") when
// the name does not resolve.
CM_EXPORT const char* get_local_ip(void);

// 1 when a datagram socket of the family can be opened, else 0; the first
// call tests and caches for the process.
CM_EXPORT int ipv4_enabled(void);
CM_EXPORT int ipv6_enabled(void);
// The same test for any family (2 and 23 as above, others as the platform
// numbers them), cached in *aState: 0xFFFFFFFF means not tested yet.
CM_EXPORT int ip_check(uint32_t* aState, int aFamily);

// True when the host's name resolves to some IPv6 address other than
// link-local ("fe80:") and loopback ("::1"), and to no IPv4 address other
// than link-local ("169.254.") and loopback ("127.0.0.1").
CM_EXPORT bool isPureIp6(void);

CM_EXTERN_C_END

#endif  // CM_INET_ADDR_H
