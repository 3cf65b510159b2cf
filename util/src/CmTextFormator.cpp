// CCmTextFormator: the bounded, allocation-free formatter of trace lines.
// Numbers are converted two digits at a time from a table; this is the
// formatting cost of every produced trace line.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "CmTrace.h"

namespace {

constexpr unsigned kReserve = 96;

const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes aValue in decimal ending just before aEnd; returns the first digit.
char* DecimalBackwards(uint64_t aValue, char* aEnd) {
  char* p = aEnd;
  while (aValue >= 100) {
    const unsigned pair = static_cast<unsigned>(aValue % 100) * 2;
    aValue /= 100;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  }
  if (aValue >= 10) {
    const unsigned pair = static_cast<unsigned>(aValue) * 2;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  } else {
    *--p = static_cast<char>('0' + aValue);
  }
  return p;
}

char* HexBackwards(uint64_t aValue, char* aEnd) {
  static const char kHex[] = "0123456789abcdef";
  char* p = aEnd;
  do {
    *--p = kHex[aValue & 0xF];
    aValue >>= 4;
  } while (aValue != 0);
  return p;
}

}  // namespace

CCmTextFormator::CCmTextFormator(char* aBuf, unsigned aCapacity)
    : m_pBuf(aBuf), m_nCapacity(aCapacity), m_nLength(0), m_bHex(false) {
  if (m_pBuf && m_nCapacity > 0) m_pBuf[0] = '\0';
}

void CCmTextFormator::reset() {
  m_nLength = 0;
  m_bHex = false;
  if (m_pBuf && m_nCapacity > 0) m_pBuf[0] = '\0';
}

void CCmTextFormator::Append(const char* aText, size_t aLength) {
  if (!m_pBuf || m_nCapacity <= m_nLength + kReserve) return;
  const size_t room = m_nCapacity - m_nLength - kReserve;
  const size_t n = aLength < room ? aLength : room;
  memcpy(m_pBuf + m_nLength, aText, n);
  m_nLength += static_cast<unsigned>(n);
  m_pBuf[m_nLength] = '\0';
}

CCmTextFormator& CCmTextFormator::operator<<(const char* aText) {
  if (aText) Append(aText, strlen(aText));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(const CCmString& aText) {
  Append(aText.data(), aText.size());
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(int aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p;
  if (m_bHex) {
    p = HexBackwards(static_cast<uint32_t>(aValue), end);
    m_bHex = false;
  } else if (aValue < 0) {
    p = DecimalBackwards(0 - static_cast<uint64_t>(static_cast<int64_t>(aValue)), end);
    *--p = '-';
  } else {
    p = DecimalBackwards(static_cast<uint64_t>(aValue), end);
  }
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(long aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p;
  if (m_bHex) {
    p = HexBackwards(static_cast<unsigned long>(aValue), end);
    m_bHex = false;
  } else if (aValue < 0) {
    p = DecimalBackwards(0 - static_cast<uint64_t>(aValue), end);
    *--p = '-';
  } else {
    p = DecimalBackwards(static_cast<uint64_t>(aValue), end);
  }
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(unsigned int aValue) {
  return *this << static_cast<unsigned long>(aValue);
}

CCmTextFormator& CCmTextFormator::operator<<(unsigned long aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p;
  if (m_bHex) {
    p = HexBackwards(aValue, end);
    m_bHex = false;
  } else {
    p = DecimalBackwards(aValue, end);
  }
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(long long aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p;
  if (aValue < 0) {
    p = DecimalBackwards(0 - static_cast<uint64_t>(aValue), end);
    *--p = '-';
  } else {
    p = DecimalBackwards(static_cast<uint64_t>(aValue), end);
  }
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(unsigned long long aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p = DecimalBackwards(aValue, end);
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(double aValue) {
  if (std::isnan(aValue)) {
    Append("NaN", 3);
    return *this;
  }
  if (std::isinf(aValue)) {
    if (aValue < 0) Append("-inf", 4);
    else Append("inf", 3);
    return *this;
  }
  const bool negative = aValue < 0;
  const double magnitude = negative ? -aValue : aValue;
  if (magnitude >= 9.0e18) {
    // Beyond 64-bit integers the digits carry no information worth a trace.
    char tmp[48];
    const int n = snprintf(tmp, sizeof(tmp), "%.3e", aValue);
    if (n > 0) Append(tmp, static_cast<size_t>(n));
    return *this;
  }
  const uint64_t whole = static_cast<uint64_t>(magnitude);
  const unsigned thousandths = static_cast<unsigned>((magnitude - static_cast<double>(whole)) * 1000.0);
  char tmp[32];
  char* end = tmp + sizeof(tmp);
  char* p = end;
  *--p = static_cast<char>('0' + thousandths % 10);
  *--p = static_cast<char>('0' + thousandths / 10 % 10);
  *--p = static_cast<char>('0' + thousandths / 100 % 10);
  *--p = '.';
  p = DecimalBackwards(whole, p);
  if (negative) *--p = '-';
  Append(p, static_cast<size_t>(end - p));
  return *this;
}

CCmTextFormator& CCmTextFormator::operator<<(const void* aValue) {
  char tmp[24];
  char* end = tmp + sizeof(tmp);
  char* p = HexBackwards(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(aValue)), end);
  *--p = 'x';
  *--p = '0';
  m_bHex = false;
  Append(p, static_cast<size_t>(end - p));
  return *this;
}
