// CmUtilMisc.h - byte utilities the media modules call directly: CRC-16
// over buffers and message block chains, two Base64 codecs, and a
// case-insensitive reverse substring search.
//
// Which Base64 codec to use:
//  - CM_Base64Encode / CM_Base64Decode work on std::string, size their own
//    output and never read past the terminator of the text: use them unless
//    the caller manages the buffers.
//  - xbase64_* work on caller buffers that they do not check (sizes below),
//    and the decoder needs xbase64_init_decode_table() first.
// Both use the standard alphabet with "=" padding and never produce line
// breaks.
//
// Thread safety: every function may be called from any thread. The CRC
// tables are built once on first use; xbase64_init_decode_table may be
// called any number of times from any thread.
#ifndef CM_UTIL_MISC_H
#define CM_UTIL_MISC_H

#include <string>

#include "CmDefines.h"

class CCmMessageBlock;

// CRC-16 over the reflected polynomial 0xA001, no final XOR. The caller
// chooses the start: 0 gives CRC-16/ARC, 0xFFFF CRC-16/MODBUS, a previous
// result continues it. The result is stored in crc and returned. A null
// pData fails the assertion "pData" and returns 0 with crc unchanged.
CM_EXPORT unsigned short CalcCRC16(unsigned short& crc, unsigned char* pData, unsigned long len);
// Continues crc over up to len readable bytes of the chain starting at mb.
// Each block counts with its length modulo 65536; a read-locked block is
// skipped (assertion "pData") but still uses up its share of len.
CM_EXPORT unsigned short CalcCRC16_m(unsigned short& crc, CCmMessageBlock& mb, unsigned long len);
// Builds the CRC tables if they are not built yet (CalcCRC16 does so too).
CM_EXPORT void GenerateCRCTable();

// out = the Base64 text of len bytes (4 characters per started group of 3).
CM_EXPORT void CM_Base64Encode(const unsigned char* data, unsigned int len, std::string& out);
// Skips leading spaces and tabs, then decodes the run of alphabet characters
// that follows; the first other byte ("=", whitespace, the terminator, any
// byte >= 128) ends it. A last group of 3 or 2 characters gives 2 or 1
// bytes; a single leftover character (not valid Base64) is dropped.
CM_EXPORT void CM_Base64Decode(const char* text, std::string& out);

// Writes the text of len bytes to out, without terminator; returns the
// number of characters. out must hold xbase64_calc_encode_buf_size(data, len)
// bytes; outSize is not checked.
CM_EXPORT unsigned long xbase64_encode(unsigned char* data, unsigned long len, unsigned char* out,
                                       unsigned long outSize);
// Decodes len / 4 complete groups of text (extra characters are ignored; len
// < 4 gives 0). A group whose third character is "=" yields 1 byte, whose
// fourth is "=" 2 bytes, else 3; characters outside the alphabet count as 0.
// out must hold len / 4 * 3 bytes; outSize is not checked. Returns the bytes
// produced. Before xbase64_init_decode_table() every character counts as 0.
CM_EXPORT unsigned long xbase64_decode(unsigned char* text, unsigned long len, unsigned char* out,
                                       unsigned long outSize);
// len / 3 * 4 + 4: always enough for xbase64_encode.
CM_EXPORT unsigned long xbase64_calc_encode_buf_size(unsigned char* data, unsigned long len);
CM_EXPORT void xbase64_init_decode_table();

// The last position in haystack where needle occurs, ignoring ASCII letter
// case; null when there is none or an argument is null or empty.
CM_EXPORT char* CM_strcaserstr(const char* haystack, const char* needle);

#endif  // CM_UTIL_MISC_H
