// CmPlatformNet.h - the socket layer's address services, in the library's
// own terms: address text conversion, the host name, host-name lookup and a
// probe whether a datagram socket of a family can be opened.
//
// Callers name families the engine's way: 2 is IPv4 and 23 is IPv6; the
// platform's own IPv6 number (AF_INET6) is accepted as well. Addresses travel
// as raw network-order bytes (4 or 16), never as platform structures.
//
// Thread safety: every function may be called from any thread; the test
// seams are process-wide switches meant to be set by a test's main thread.
#ifndef CM_PLATFORM_NET_H
#define CM_PLATFORM_NET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CmTestHooks.h"

namespace cm_platform {

enum NetFamily : int { kNetFamilyNone = 0, kNetFamilyIPv4 = 4, kNetFamilyIPv6 = 6 };

// Socket error numbers as the engine reports them (its socket layer's codes).
enum NetSocketError : int {
  kNetErrFault = 10014,          // destination buffer unusable or too small
  kNetErrInvalid = 10022,        // invalid argument
  kNetErrAfNotSupported = 10047, // address family not supported
  kNetErrNoBuffers = 10055,      // out of resources
};

// Which address family an engine family number names; kNetFamilyNone for
// anything but 2, 23 and the platform's AF_INET6.
NetFamily NetFamilyOf(int aFamily);

// Bytes of an address of the family: 4, 16, or 0 for kNetFamilyNone.
inline size_t NetAddressLength(NetFamily aFamily) {
  return aFamily == kNetFamilyIPv4 ? 4 : aFamily == kNetFamilyIPv6 ? 16 : 0;
}

struct NetAddress {
  NetFamily m_Family = kNetFamilyNone;
  uint8_t m_Bytes[16] = {};
};

// Parses a numeric address of the family (dotted quad, or the IPv6 text
// forms). Writes NetAddressLength(aFamily) bytes to aBytes only on success.
bool NetTextToAddress(NetFamily aFamily, const char* aText, uint8_t* aBytes);

// Writes the canonical text of an address into aBuf (aSize bytes, NUL
// included). On failure returns false, leaves errno set and aSocketError set
// to one of NetSocketError.
bool NetAddressToText(NetFamily aFamily, const uint8_t* aBytes, char* aBuf, size_t aSize, int& aSocketError);

// The host's name; false, with errno set, when the platform cannot tell it.
bool NetHostName(std::string& aName);

// Looks up a host name or numeric address text. aWanted restricts the
// answers to one family (kNetFamilyNone: any). The answers keep the
// resolver's order. False when the lookup fails or yields nothing.
bool NetLookupHost(const char* aName, NetFamily aWanted, std::vector<NetAddress>& aOut);

// Opens and closes a datagram socket; 2 and 23 name IPv4 and IPv6, any other
// number is given to the platform as it is.
bool NetCanOpenDatagramSocket(int aFamily);

// ---- test hooks
// The next aCount address-to-text conversions fail with the given errno.
CM_TEST_EXPORT void FailAddressToTextForTesting(int aCount, int aErrno);
// Replaces the host name NetHostName reports; null restores the real one.
CM_TEST_EXPORT void SetHostNameForTesting(const char* aName);
// While on, lookups answer numeric addresses and "localhost" (127.0.0.1,
// ::1) without asking any resolver, and fail for every other name, so tests
// and fuzzers never wait for the network.
CM_TEST_EXPORT void SetOfflineLookupForTesting(bool aOn);

}  // namespace cm_platform

#endif  // CM_PLATFORM_NET_H
