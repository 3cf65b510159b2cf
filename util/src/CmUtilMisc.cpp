// CRC-16, Base64 and CM_strcaserstr.
//
// CRC-16 runs over every packet of a media path, so it is computed eight
// bytes per step ("slicing"): table k holds the CRC of a byte followed by k
// zero bytes, so the eight bytes of a step are looked up independently and
// their contributions XOR-ed, instead of one dependent lookup per byte. The
// result is the same as the byte-at-a-time definition, which the tail uses.
//
// Base64 encodes 12 input bits per table lookup (two characters at once)
// and decodes through four pre-shifted tables, so a group of four
// characters becomes 24 bits with four lookups and three ORs. All tables
// are computed at compile time.
#include <atomic>
#include <cstring>

#include "CmDebug.h"
#include "CmMessageBlock.h"
#include "CmUtilMisc.h"

// ---------------------------------------------------------------- CRC-16

namespace {

constexpr uint16_t kCrcPolynomial = 0xA001;  // 0x8005 reflected
constexpr int kCrcSlices = 8;

struct CrcTables {
  uint16_t m_Slice[kCrcSlices][256];

  CrcTables() {
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t crc = static_cast<uint16_t>(i);
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolynomial) : crc >> 1;
      m_Slice[0][i] = crc;
    }
    for (int k = 1; k < kCrcSlices; ++k) {
      for (unsigned i = 0; i < 256; ++i) {
        const uint16_t prev = m_Slice[k - 1][i];
        m_Slice[k][i] = static_cast<uint16_t>((prev >> 8) ^ m_Slice[0][prev & 0xFF]);
      }
    }
  }
};

// Built once, on first use, under the runtime's guard for local statics.
const CrcTables& Crc() {
  static const CrcTables tables;
  return tables;
}

inline uint64_t LoadLittleEndian64(const unsigned char* aBytes) {
  uint64_t word;
  memcpy(&word, aBytes, sizeof(word));
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

}  // namespace

void GenerateCRCTable() { (void)Crc(); }

unsigned short CalcCRC16(unsigned short& crc, unsigned char* pData, unsigned long len) {
  CM_ASSERTE_RETURN(pData, 0);
  const uint16_t(*t)[256] = Crc().m_Slice;
  uint32_t c = crc;
  const unsigned char* p = pData;
  for (; len >= 8; len -= 8, p += 8) {
    const uint64_t w = LoadLittleEndian64(p) ^ c;
    c = t[7][w & 0xFF] ^ t[6][(w >> 8) & 0xFF] ^ t[5][(w >> 16) & 0xFF] ^ t[4][(w >> 24) & 0xFF] ^
        t[3][(w >> 32) & 0xFF] ^ t[2][(w >> 40) & 0xFF] ^ t[1][(w >> 48) & 0xFF] ^ t[0][w >> 56];
  }
  for (; len > 0; --len) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  crc = static_cast<unsigned short>(c);
  return crc;
}

unsigned short CalcCRC16_m(unsigned short& crc, CCmMessageBlock& mb, unsigned long len) {
  for (CCmMessageBlock* block = &mb; block && len > 0; block = block->GetNext()) {
    const unsigned long length = static_cast<uint16_t>(block->GetTopLevelLength());
    if (length == 0) continue;
    const unsigned long n = len < length ? len : length;
    CalcCRC16(crc, reinterpret_cast<unsigned char*>(const_cast<char*>(block->GetTopLevelReadPtr())), n);
    len -= n;
  }
  return crc;
}

// ---------------------------------------------------------------- Base64

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotBase64 = 0xFF;

struct EncodeTable {
  uint16_t m_Pair[4096];  // 12 bits -> two characters, in memory order
};

constexpr EncodeTable MakeEncodeTable() {
  EncodeTable table{};
  for (unsigned i = 0; i < 4096; ++i) {
    const uint16_t first = static_cast<uint8_t>(kAlphabet[i >> 6]);
    const uint16_t second = static_cast<uint8_t>(kAlphabet[i & 63]);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    table.m_Pair[i] = static_cast<uint16_t>((first << 8) | second);
#else
    table.m_Pair[i] = static_cast<uint16_t>((second << 8) | first);
#endif
  }
  return table;
}

constexpr uint32_t kOutsideAlphabet = 0xFF000000;

struct DecodeTables {
  uint8_t m_Value[256];        // 0..63, or kNotBase64
  uint32_t m_Shifted[4][256];  // value << 18, << 12, << 6, << 0 (0 outside the alphabet)
  uint32_t m_Checked[4][256];  // the same, kOutsideAlphabet outside the alphabet
};

constexpr DecodeTables MakeDecodeTables() {
  DecodeTables tables{};
  for (unsigned c = 0; c < 256; ++c) {
    tables.m_Value[c] = kNotBase64;
    for (int k = 0; k < 4; ++k) tables.m_Checked[k][c] = kOutsideAlphabet;
  }
  for (unsigned v = 0; v < 64; ++v) {
    const uint8_t c = static_cast<uint8_t>(kAlphabet[v]);
    tables.m_Value[c] = static_cast<uint8_t>(v);
    for (int k = 0; k < 4; ++k) tables.m_Shifted[k][c] = tables.m_Checked[k][c] = v << (18 - 6 * k);
  }
  return tables;
}

constexpr EncodeTable kEncode = MakeEncodeTable();
constexpr DecodeTables kDecode = MakeDecodeTables();
// What xbase64_decode sees before xbase64_init_decode_table().
constexpr uint32_t kZeroShifted[4][256] = {};
std::atomic<bool> g_bXbase64TableReady{false};

// Writes 4 * ceil(aLength / 3) characters; returns that count.
size_t EncodeBase64(const unsigned char* aIn, size_t aLength, char* aOut) {
  char* o = aOut;
  const unsigned char* const fullEnd = aIn + aLength / 3 * 3;
  for (; aIn != fullEnd; aIn += 3, o += 4) {
    const uint32_t v = (uint32_t{aIn[0]} << 16) | (uint32_t{aIn[1]} << 8) | aIn[2];
    memcpy(o, &kEncode.m_Pair[v >> 12], 2);
    memcpy(o + 2, &kEncode.m_Pair[v & 0xFFF], 2);
  }
  const size_t rest = aLength % 3;
  if (rest > 0) {
    const uint32_t v = (uint32_t{aIn[0]} << 16) | (rest == 2 ? uint32_t{aIn[1]} << 8 : 0);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    o[3] = '=';
    o += 4;
  }
  return static_cast<size_t>(o - aOut);
}

// Writes the 24 bits of aBits as 3 bytes plus one scratch byte: one store
// instead of three, for callers with a byte of room behind the group.
inline void StoreGroup(unsigned char* aOut, uint32_t aBits) {
  uint32_t word = aBits << 8;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  word = __builtin_bswap32(word);
#endif
  memcpy(aOut, &word, sizeof(word));
}

inline uint32_t DecodeQuad(const uint32_t (*aTables)[256], const unsigned char* aText) {
  return aTables[0][aText[0]] | aTables[1][aText[1]] | aTables[2][aText[2]] | aTables[3][aText[3]];
}

}  // namespace

void CM_Base64Encode(const unsigned char* data, unsigned int len, std::string& out) {
  out.clear();
  CM_ASSERTE_RETURN_VOID(data || len == 0);
  out.resize((static_cast<size_t>(len) + 2) / 3 * 4);
  if (len > 0) EncodeBase64(data, len, &out[0]);
}

void CM_Base64Decode(const char* text, std::string& out) {
  out.clear();
  CM_ASSERTE_RETURN_VOID(text);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || *p == '\t') ++p;
  // Knowing where the text ends lets whole groups be read without a check
  // per character; the run itself ends at the first byte outside the
  // alphabet, which the marker bits of kDecode.m_Checked reveal per group.
  const size_t length = strlen(reinterpret_cast<const char*>(p));
  out.resize(length / 4 * 3 + 2);  // the most it can give, plus a scratch byte
  unsigned char* const begin = reinterpret_cast<unsigned char*>(&out[0]);
  unsigned char* o = begin;
  size_t i = 0;
  for (; i + 4 <= length; i += 4, o += 3) {
    const uint32_t v = DecodeQuad(kDecode.m_Checked, p + i);
    if (v & kOutsideAlphabet) break;
    StoreGroup(o, v);
  }
  // The last, incomplete group: 3 characters give 2 bytes, 2 give 1, and a
  // single leftover character carries no whole byte and is dropped.
  size_t rest = 0;
  while (rest < 3 && i + rest < length && kDecode.m_Value[p[i + rest]] != kNotBase64) ++rest;
  if (rest >= 2) {
    uint32_t v = kDecode.m_Shifted[0][p[i]] | kDecode.m_Shifted[1][p[i + 1]];
    if (rest == 3) v |= kDecode.m_Shifted[2][p[i + 2]];
    *o++ = static_cast<unsigned char>(v >> 16);
    if (rest == 3) *o++ = static_cast<unsigned char>(v >> 8);
  }
  out.resize(static_cast<size_t>(o - begin));
}

void xbase64_init_decode_table() { g_bXbase64TableReady.store(true, std::memory_order_release); }

unsigned long xbase64_calc_encode_buf_size(unsigned char* /*data*/, unsigned long len) { return len / 3 * 4 + 4; }

unsigned long xbase64_encode(unsigned char* data, unsigned long len, unsigned char* out, unsigned long /*outSize*/) {
  if (len == 0) return 0;
  CM_ASSERTE_RETURN(data && out, 0);
  return EncodeBase64(data, len, reinterpret_cast<char*>(out));
}

unsigned long xbase64_decode(unsigned char* text, unsigned long len, unsigned char* out, unsigned long /*outSize*/) {
  if (len < 4) return 0;
  CM_ASSERTE_RETURN(text && out, 0);
  const uint32_t(*tables)[256] =
      g_bXbase64TableReady.load(std::memory_order_acquire) ? kDecode.m_Shifted : kZeroShifted;
  // Bytes that count per group, by the position of "=": none, 4th, 3rd.
  static constexpr uint32_t kKeepMask[4] = {0, 0xFF0000, 0xFFFF00, 0xFFFFFF};
  unsigned char* o = out;
  const unsigned char* const last = text + (len / 4 - 1) * 4;
  for (const unsigned char* c = text;; c += 4) {
    const unsigned keep = c[2] == '=' ? 1 : c[3] == '=' ? 2 : 3;
    const uint32_t v = DecodeQuad(tables, c) & kKeepMask[keep];
    if (c == last) {  // no room for a scratch byte behind the last group
      o[0] = static_cast<unsigned char>(v >> 16);
      o[1] = static_cast<unsigned char>(v >> 8);
      o[2] = static_cast<unsigned char>(v);
      o += keep;
      break;
    }
    StoreGroup(o, v);
    o += keep;
  }
  return static_cast<unsigned long>(o - out);
}

// ---------------------------------------------------------------- search

namespace {

inline unsigned char AsciiLower(unsigned char aChar) {
  return (aChar >= 'A' && aChar <= 'Z') ? static_cast<unsigned char>(aChar + ('a' - 'A')) : aChar;
}

bool EqualIgnoringCase(const char* aLeft, const char* aRight, size_t aLength) {
  for (size_t i = 0; i < aLength; ++i) {
    if (AsciiLower(static_cast<unsigned char>(aLeft[i])) != AsciiLower(static_cast<unsigned char>(aRight[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

char* CM_strcaserstr(const char* haystack, const char* needle) {
  if (!haystack || !needle || !*haystack || !*needle) return nullptr;
  const size_t haystackLength = strlen(haystack);
  const size_t needleLength = strlen(needle);
  if (needleLength > haystackLength) return nullptr;
  for (size_t pos = haystackLength - needleLength + 1; pos-- > 0;) {
    if (EqualIgnoringCase(haystack + pos, needle, needleLength)) return const_cast<char*>(haystack + pos);
  }
  return nullptr;
}
