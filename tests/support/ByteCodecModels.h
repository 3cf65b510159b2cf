// Straightforward models of CRC-16 and the two Base64 codecs, written for
// clarity (bit by bit, character by character). Tests and fuzz targets hold
// the library's table-driven versions to them.
#ifndef ZAR_TEST_BYTE_CODEC_MODELS_H
#define ZAR_TEST_BYTE_CODEC_MODELS_H

#include <cstdint>
#include <cstring>
#include <string>

namespace model {

inline uint16_t Crc16(uint16_t aCrc, const unsigned char* aData, size_t aLength) {
  for (size_t i = 0; i < aLength; ++i) {
    aCrc ^= aData[i];
    for (int bit = 0; bit < 8; ++bit) aCrc = (aCrc & 1) ? static_cast<uint16_t>((aCrc >> 1) ^ 0xA001) : aCrc >> 1;
  }
  return aCrc;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63, or -1 outside the alphabet.
inline int Value(unsigned char aChar) {
  const char* p = aChar ? strchr(kAlphabet, aChar) : nullptr;
  return p ? static_cast<int>(p - kAlphabet) : -1;
}

inline std::string Base64Encode(const unsigned char* aData, size_t aLength) {
  std::string out;
  for (size_t i = 0; i < aLength; i += 3) {
    const size_t n = aLength - i < 3 ? aLength - i : 3;
    const uint32_t bits = (aData[i] << 16) | (n > 1 ? aData[i + 1] << 8 : 0) | (n > 2 ? aData[i + 2] : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(bits >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// CM_Base64Decode: leading blanks, then the run of alphabet characters, whose
// bits are taken 8 at a time; a leftover of fewer than 8 bits is dropped.
inline std::string Base64Decode(const char* aText) {
  while (*aText == ' ' || *aText == '\t') ++aText;
  std::string out;
  uint32_t bits = 0;
  for (int count = 0; Value(static_cast<unsigned char>(*aText)) >= 0; ++aText) {
    bits = (bits << 6) | static_cast<uint32_t>(Value(static_cast<unsigned char>(*aText)));
    if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return out;
}

// xbase64_decode after xbase64_init_decode_table: complete groups only,
// other characters count as 0, "=" third (fourth) keeps 1 (2) bytes.
inline std::string XBase64Decode(const unsigned char* aText, size_t aLength) {
  std::string out;
  for (size_t g = 0; g + 4 <= aLength; g += 4) {
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits = (bits << 6) | static_cast<uint32_t>(Value(aText[g + k]) < 0 ? 0 : Value(aText[g + k]));
    const int keep = aText[g + 2] == '=' ? 1 : aText[g + 3] == '=' ? 2 : 3;
    for (int k = 0; k < keep; ++k) out += static_cast<char>((bits >> (16 - 8 * k)) & 0xFF);
  }
  return out;
}

}  // namespace model

#endif  // ZAR_TEST_BYTE_CODEC_MODELS_H
