// CCmDataBlockNoMalloc and CCmAutoBuffer: the two small buffer helpers.
#include <cstring>
#include <utility>

#include "CmDebug.h"
#include "CmMessageBlock.h"

CCmDataBlockNoMalloc::CCmDataBlockNoMalloc(const char* aStr, unsigned long aLen)
    : m_pBegin(const_cast<char*>(aStr)),
      m_pEnd(aStr ? const_cast<char*>(aStr) + aLen : nullptr),
      m_pCurrentRead(m_pBegin),
      m_pCurrentWrite(m_pBegin) {}

int CCmDataBlockNoMalloc::Write(const void* aSrc, unsigned long aLen, unsigned long* aWritten) {
  CM_ASSERTE_RETURN(aSrc, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(m_pCurrentWrite, ZAR_E_UNEXPECTED);
  CM_ASSERTE_RETURN(m_pCurrentWrite <= m_pEnd, ZAR_E_UNEXPECTED);
  const unsigned long room = static_cast<unsigned long>(m_pEnd - m_pCurrentWrite);
  const unsigned long n = aLen < room ? aLen : room;
  if (n) memcpy(m_pCurrentWrite, aSrc, n);
  m_pCurrentWrite += n;
  if (aWritten) *aWritten = n;
  return n == aLen ? ZAR_S_OK : ZAR_E_PARTIAL_DATA;
}

int CCmDataBlockNoMalloc::Read(void* aDst, unsigned long aLen, unsigned long* aRead) {
  CM_ASSERTE_RETURN(aDst, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(m_pCurrentRead, ZAR_E_UNEXPECTED);
  CM_ASSERTE_RETURN(m_pCurrentRead <= m_pEnd, ZAR_E_UNEXPECTED);
  const unsigned long room = static_cast<unsigned long>(m_pEnd - m_pCurrentRead);
  const unsigned long n = aLen < room ? aLen : room;
  if (n) memcpy(aDst, m_pCurrentRead, n);
  m_pCurrentRead += n;
  if (aRead) *aRead = n;
  return n == aLen ? ZAR_S_OK : ZAR_E_PARTIAL_DATA;
}

CCmAutoBuffer::CCmAutoBuffer(unsigned int aSize) : m_pBuffer(nullptr), m_dwSize(aSize) {
  // One more zero byte, so that the buffer is always terminated.
  if (aSize > 0) m_pBuffer = new char[static_cast<size_t>(aSize) + 1]();
}

CCmAutoBuffer::~CCmAutoBuffer() {
  delete[] m_pBuffer;
  m_pBuffer = nullptr;
  m_dwSize = 0;
}

CCmAutoBuffer::CCmAutoBuffer(const CCmAutoBuffer& aOther) : CCmAutoBuffer(aOther.m_dwSize) {
  if (m_pBuffer) memcpy(m_pBuffer, aOther.m_pBuffer, static_cast<size_t>(m_dwSize) + 1);
}

CCmAutoBuffer& CCmAutoBuffer::operator=(const CCmAutoBuffer& aOther) {
  if (this != &aOther) {
    CCmAutoBuffer copy(aOther);
    *this = std::move(copy);
  }
  return *this;
}

CCmAutoBuffer::CCmAutoBuffer(CCmAutoBuffer&& aOther) noexcept : m_pBuffer(aOther.m_pBuffer), m_dwSize(aOther.m_dwSize) {
  aOther.m_pBuffer = nullptr;
  aOther.m_dwSize = 0;
}

CCmAutoBuffer& CCmAutoBuffer::operator=(CCmAutoBuffer&& aOther) noexcept {
  if (this != &aOther) {
    std::swap(m_pBuffer, aOther.m_pBuffer);
    std::swap(m_dwSize, aOther.m_dwSize);
  }
  return *this;
}

void CCmAutoBuffer::SetData(const void* aData, unsigned int aLen) {
  CM_ASSERTE_RETURN_VOID(aData || aLen == 0);
  const unsigned int n = aLen < m_dwSize ? aLen : m_dwSize;
  if (n) memcpy(m_pBuffer, aData, n);
}
