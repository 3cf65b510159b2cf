// CmByteStream.h - typed writing and reading of values on a message block
// chain, in network byte order.
//
//   CCmMessageBlock mb(64);
//   CCmByteStreamNetwork os(mb);
//   os << uint8_t(1) << uint16_t(0x0203) << uint32_t(7) << CCmString("abc");
//   // bytes: 01 02 03 00 00 00 07 00 03 61 62 63
//   CCmByteStreamNetwork is(mb);
//   uint8_t a; uint16_t b; uint32_t c; CCmString s;
//   is >> a >> b >> c >> s;
//   if (!is.IsGood()) ...;  // a short or locked chain is reported here
//
// Wire format: 1-byte values as they are; 2- and 4-byte integers and floats
// (their IEEE bits) big-endian; raw runs as they are; strings as a 16-bit
// big-endian length and the bytes, no terminator (at most 65534 bytes).
// Only fixed widths are offered: a `long` (64-bit here) must be cast to the
// width the format wants, so that it never silently changes size.
//
// Results are sticky: the first failed write (read) is kept in
// m_ResultWrite (m_ResultRead), later writes (reads) are skipped, and every
// attempt after a failure writes a level-0 trace line. A failed read leaves
// its output zero (strings empty).
#ifndef CM_BYTE_STREAM_H
#define CM_BYTE_STREAM_H

#include <cstring>

#include "CmDebug.h"
#include "CmMessageBlock.h"
#include "CmTrace.h"

// Host <-> network (big-endian) byte order of 16- and 32-bit values.
class CCmHostNetworkConvertorNormal {
 public:
  static uint16_t Swap(uint16_t aValue) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap16(aValue);
#else
    return aValue;
#endif
  }
  static uint32_t Swap(uint32_t aValue) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(aValue);
#else
    return aValue;
#endif
  }
};

// Lifetime: the stream refers to a chain it does not own; the chain must
// outlive it. Writes go through BlockType::Write (filling the chain's
// space), reads through BlockType::Read with advancing.
// Thread safety: none; a stream and its chain belong to one thread.
template <class BlockType, class ConvertorType>
class CCmByteStreamT {
 public:
  enum { STRING_LEN_MAX = 0xFFFF };

  explicit CCmByteStreamT(BlockType& aBlock) : m_Block(aBlock), m_ResultRead(0), m_ResultWrite(0) {}
  CCmByteStreamT(const CCmByteStreamT&) = delete;
  CCmByteStreamT& operator=(const CCmByteStreamT&) = delete;

  CCmByteStreamT& operator<<(char aValue) { return Write(&aValue, 1); }
  CCmByteStreamT& operator<<(signed char aValue) { return Write(&aValue, 1); }
  CCmByteStreamT& operator<<(unsigned char aValue) { return Write(&aValue, 1); }
  CCmByteStreamT& operator<<(int16_t aValue) { return Write16(static_cast<uint16_t>(aValue)); }
  CCmByteStreamT& operator<<(uint16_t aValue) { return Write16(aValue); }
  CCmByteStreamT& operator<<(int32_t aValue) { return Write32(static_cast<uint32_t>(aValue)); }
  CCmByteStreamT& operator<<(uint32_t aValue) { return Write32(aValue); }
  CCmByteStreamT& operator<<(float aValue) {
    uint32_t bits;
    memcpy(&bits, &aValue, sizeof(bits));
    return Write32(bits);
  }
  CCmByteStreamT& operator<<(const CCmString& aValue) { return WriteString(aValue.data(), aValue.size()); }
  // A null text writes an empty string.
  CCmByteStreamT& operator<<(const char* aValue) { return WriteString(aValue, aValue ? strlen(aValue) : 0); }

  CCmByteStreamT& operator>>(char& aValue) { return Read(&aValue, 1); }
  CCmByteStreamT& operator>>(signed char& aValue) { return Read(&aValue, 1); }
  CCmByteStreamT& operator>>(unsigned char& aValue) { return Read(&aValue, 1); }
  CCmByteStreamT& operator>>(int16_t& aValue) {
    uint16_t v = 0;
    Read16(v);
    aValue = static_cast<int16_t>(v);
    return *this;
  }
  CCmByteStreamT& operator>>(uint16_t& aValue) { return Read16(aValue); }
  CCmByteStreamT& operator>>(int32_t& aValue) {
    uint32_t v = 0;
    Read32(v);
    aValue = static_cast<int32_t>(v);
    return *this;
  }
  CCmByteStreamT& operator>>(uint32_t& aValue) { return Read32(aValue); }
  CCmByteStreamT& operator>>(float& aValue) {
    uint32_t bits = 0;
    Read32(bits);
    memcpy(&aValue, &bits, sizeof(aValue));
    return *this;
  }
  CCmByteStreamT& operator>>(CCmString& aValue) { return ReadString(aValue); }

  // Raw runs, not converted.
  CCmByteStreamT& Write(const void* aData, DWORD aLength) {
    if (m_ResultWrite == 0) m_ResultWrite = m_Block.Write(aData, aLength);
    if (m_ResultWrite != 0) {
      CM_ERROR_TRACE_THIS("CCmByteStreamT::Write, can't write. m_ResultWrite=" << m_ResultWrite);
    }
    return *this;
  }
  CCmByteStreamT& Read(void* aData, DWORD aLength) {
    if (m_ResultRead == 0) m_ResultRead = m_Block.Read(aData, aLength);
    if (m_ResultRead != 0) {
      CM_ERROR_TRACE_THIS("CCmByteStreamT::Read, can't read. m_ResultRead=" << m_ResultRead);
      if (aData && aLength) memset(aData, 0, aLength);
    }
    return *this;
  }

  // A text of 65535 bytes or more fails the assertion "ll < STRING_LEN_MAX"
  // (counted, traced) and writes nothing; the write result is not touched,
  // so later values are written as usual.
  CCmByteStreamT& WriteString(const char* aText, size_t aLength) {
    const size_t ll = aLength;
    if (!(ll < STRING_LEN_MAX)) {
      CmAssertFailed(__FILE__, __LINE__, "ll < STRING_LEN_MAX");
      return *this;
    }
    Write16(static_cast<uint16_t>(ll));
    return Write(aText, static_cast<DWORD>(ll));
  }
  CCmByteStreamT& ReadString(CCmString& aText) {
    uint16_t length = 0;
    Read16(length);
    aText.resize(length);
    if (length > 0) Read(&aText[0], length);
    if (m_ResultRead != 0) aText.clear();
    return *this;
  }

  bool IsGood() const { return m_ResultRead == 0 && m_ResultWrite == 0; }
  int GetResultRead() const { return m_ResultRead; }
  int GetResultWrite() const { return m_ResultWrite; }

 private:
  CCmByteStreamT& Write16(uint16_t aValue) {
    const uint16_t wire = ConvertorType::Swap(aValue);
    return Write(&wire, sizeof(wire));
  }
  CCmByteStreamT& Write32(uint32_t aValue) {
    const uint32_t wire = ConvertorType::Swap(aValue);
    return Write(&wire, sizeof(wire));
  }
  CCmByteStreamT& Read16(uint16_t& aValue) {
    uint16_t wire = 0;
    Read(&wire, sizeof(wire));
    aValue = ConvertorType::Swap(wire);
    return *this;
  }
  CCmByteStreamT& Read32(uint32_t& aValue) {
    uint32_t wire = 0;
    Read(&wire, sizeof(wire));
    aValue = ConvertorType::Swap(wire);
    return *this;
  }

  BlockType& m_Block;
  int32_t m_ResultRead;
  int32_t m_ResultWrite;
};

typedef CCmByteStreamT<CCmMessageBlock, CCmHostNetworkConvertorNormal> CCmByteStreamNetwork;

#endif  // CM_BYTE_STREAM_H
