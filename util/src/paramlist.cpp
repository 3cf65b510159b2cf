#include "paramlist.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The assertion texts name the type, e.g. "CM_DATA_BYTE == m_nType || m_nType
// == CM_DATA_UNKNOW" for a refused Set and "CM_DATA_BYTE == m_nType" for a
// refused Get.
#define CM_META_SET_TEXT(T) #T " == m_nType || m_nType == CM_DATA_UNKNOW"
#define CM_META_GET_TEXT(T) #T " == m_nType"

// A RAW block is [32-bit length][bytes], one allocation, freed with free().
unsigned char* NewRawBlock(const unsigned char* aData, uint32_t aLength) {
  auto* block = static_cast<unsigned char*>(malloc(sizeof(uint32_t) + aLength));
  if (!block) throw std::bad_alloc();
  memcpy(block, &aLength, sizeof(aLength));
  if (aData) memcpy(block + sizeof(uint32_t), aData, aLength);
  return block;
}

uint32_t RawLength(const unsigned char* aBlock) {
  uint32_t length = 0;
  if (aBlock) memcpy(&length, aBlock, sizeof(length));
  return length;
}

char* NewText(const char* aText, size_t aLength) {
  auto* text = static_cast<char*>(malloc(aLength + 1));
  if (!text) throw std::bad_alloc();
  if (aText) memcpy(text, aText, aLength);
  text[aLength] = '\0';
  return text;
}

// A peer may announce any length; memory grows only with bytes that really
// arrive, one chunk at a time.
constexpr uint32_t kReadChunk = 64 * 1024;

}  // namespace

// ---------------------------------------------------------------- CCmMetaData

CCmMetaData::CCmMetaData() : m_nType(CM_DATA_UNKNOW), m_qwSlot(0) {}

CCmMetaData::CCmMetaData(const CCmMetaData& aOther) : m_nType(CM_DATA_UNKNOW), m_qwSlot(0) { *this = aOther; }

CCmMetaData& CCmMetaData::operator=(const CCmMetaData& aOther) {
  if (this == &aOther) return *this;
  FreeOwned();
  m_nType = aOther.m_nType;
  m_qwSlot = aOther.m_qwSlot;
  if (m_nType == CM_DATA_STRING && aOther.m_pText) {
    m_pText = NewText(aOther.m_pText, strlen(aOther.m_pText));
  } else if (m_nType == CM_DATA_RAW && aOther.m_pRaw) {
    const uint32_t length = RawLength(aOther.m_pRaw);
    m_pRaw = NewRawBlock(aOther.m_pRaw + sizeof(uint32_t), length);
  }
  return *this;
}

CCmMetaData::~CCmMetaData() { FreeOwned(); }

void CCmMetaData::FreeOwned() {
  if (m_nType == CM_DATA_STRING) free(m_pText);
  if (m_nType == CM_DATA_RAW) free(m_pRaw);
  if (m_nType == CM_DATA_STRING || m_nType == CM_DATA_RAW) m_qwSlot = 0;
}

bool CCmMetaData::CheckSet(int aType, const char* aCondition) const {
  if (m_nType == aType || m_nType == CM_DATA_UNKNOW) return true;
  CmAssertFailed(__FILE__, __LINE__, aCondition);
  return false;
}

bool CCmMetaData::CheckGet(int aType, const char* aCondition) const {
  if (m_nType == aType) return true;
  CmAssertFailed(__FILE__, __LINE__, aCondition);
  return false;
}

// The scalar forms differ only in type and slot member.
#define CM_META_SCALAR(ArgType, TypeId, Member)                                 \
  CmResult CCmMetaData::Set(ArgType aValue) {                                 \
    if (!CheckSet(TypeId, CM_META_SET_TEXT(TypeId))) return ZAR_E_INVALIDARG; \
    m_nType = TypeId;                                                         \
    m_qwSlot = 0;                                                             \
    Member = aValue;                                                          \
    return ZAR_S_OK;                                                          \
  }                                                                           \
  CmResult CCmMetaData::Get(ArgType& aValue) const {                          \
    if (!CheckGet(TypeId, CM_META_GET_TEXT(TypeId))) return ZAR_E_INVALIDARG; \
    aValue = Member;                                                          \
    return ZAR_S_OK;                                                          \
  }

CM_META_SCALAR(char, CM_DATA_BYTE, m_cValue)
CM_META_SCALAR(short, CM_DATA_SHORT, m_sValue)
CM_META_SCALAR(unsigned short, CM_DATA_WORD, m_wValue)
CM_META_SCALAR(int, CM_DATA_INT, m_nValue)
CM_META_SCALAR(unsigned int, CM_DATA_DWORD, m_dwValue)
CM_META_SCALAR(float, CM_DATA_FLOAT, m_fValue)
#undef CM_META_SCALAR

CmResult CCmMetaData::Set(long aValue) {
  if (!CheckSet(CM_DATA_LONG, CM_META_SET_TEXT(CM_DATA_LONG))) return ZAR_E_INVALIDARG;
  CM_ASSERTE_RETURN(aValue >= INT32_MIN && aValue <= INT32_MAX, ZAR_E_INVALIDARG);
  m_nType = CM_DATA_LONG;
  m_qwSlot = 0;
  m_nValue = static_cast<int32_t>(aValue);
  return ZAR_S_OK;
}

CmResult CCmMetaData::Get(long& aValue) const {
  if (!CheckGet(CM_DATA_LONG, CM_META_GET_TEXT(CM_DATA_LONG))) return ZAR_E_INVALIDARG;
  aValue = m_nValue;
  return ZAR_S_OK;
}

CmResult CCmMetaData::Set(unsigned long aValue) {
  if (!CheckSet(CM_DATA_DWORD, CM_META_SET_TEXT(CM_DATA_DWORD))) return ZAR_E_INVALIDARG;
  CM_ASSERTE_RETURN(aValue <= UINT32_MAX, ZAR_E_INVALIDARG);
  m_nType = CM_DATA_DWORD;
  m_qwSlot = 0;
  m_dwValue = static_cast<uint32_t>(aValue);
  return ZAR_S_OK;
}

CmResult CCmMetaData::Get(unsigned long& aValue) const {
  if (!CheckGet(CM_DATA_DWORD, CM_META_GET_TEXT(CM_DATA_DWORD))) return ZAR_E_INVALIDARG;
  aValue = m_dwValue;
  return ZAR_S_OK;
}

CmResult CCmMetaData::Set(const char* aText) {
  if (!CheckSet(CM_DATA_STRING, CM_META_SET_TEXT(CM_DATA_STRING))) return ZAR_E_INVALIDARG;
  const size_t length = aText ? strlen(aText) : 0;
  CM_ASSERTE_RETURN(length < CCmMetaDataStream::STRING_LEN_MAX, ZAR_E_INVALIDARG);
  char* copy = aText ? NewText(aText, length) : nullptr;
  FreeOwned();
  m_nType = CM_DATA_STRING;
  m_pText = copy;
  return ZAR_S_OK;
}

CmResult CCmMetaData::Get(const char*& aText) const {
  if (!CheckGet(CM_DATA_STRING, CM_META_GET_TEXT(CM_DATA_STRING))) return ZAR_E_INVALIDARG;
  aText = m_pText;
  return ZAR_S_OK;
}

CmResult CCmMetaData::Set(const unsigned char* aData, uint32_t aLength) {
  if (!CheckSet(CM_DATA_RAW, CM_META_SET_TEXT(CM_DATA_RAW))) return ZAR_E_INVALIDARG;
  unsigned char* block = (aData && aLength) ? NewRawBlock(aData, aLength) : nullptr;
  FreeOwned();
  m_nType = CM_DATA_RAW;
  m_pRaw = block;
  return ZAR_S_OK;
}

CmResult CCmMetaData::Get(const unsigned char*& aData, uint32_t& aLength) const {
  if (!CheckGet(CM_DATA_RAW, CM_META_GET_TEXT(CM_DATA_RAW))) return ZAR_E_INVALIDARG;
  aData = m_pRaw ? m_pRaw + sizeof(uint32_t) : nullptr;
  aLength = RawLength(m_pRaw);
  return ZAR_S_OK;
}

CmResult CCmMetaData::StreamTo(CCmMetaDataStream& aStream) const {
  CM_ASSERTE_RETURN(m_nType != CM_DATA_UNKNOW, ZAR_E_FAIL);
  if (m_nType < CM_DATA_BYTE || m_nType > CM_DATA_UNKNOW) {
    CmAssertFailed(__FILE__, __LINE__, "FALSE");
    return ZAR_E_FAIL;
  }
  aStream << static_cast<unsigned char>(m_nType);
  switch (m_nType) {
    case CM_DATA_BYTE: aStream << m_cValue; break;
    case CM_DATA_SHORT: aStream << m_sValue; break;
    case CM_DATA_WORD: aStream << m_wValue; break;
    case CM_DATA_INT:
    case CM_DATA_LONG: aStream << m_nValue; break;
    case CM_DATA_DWORD: aStream << m_dwValue; break;
    case CM_DATA_FLOAT: aStream << m_fValue; break;
    case CM_DATA_STRING: aStream.WriteString(m_pText, m_pText ? strlen(m_pText) : 0); break;
    default: {
      const uint32_t length = RawLength(m_pRaw);
      aStream << length;
      if (length) aStream.Write(m_pRaw + sizeof(uint32_t), length);
    }
  }
  const bool bGood = aStream.IsGood();
  CM_ASSERTE_RETURN(bGood, ZAR_E_FAIL);
  return ZAR_S_OK;
}

CmResult CCmMetaData::StreamFrom(CCmMetaDataStream& aStream) {
  FreeOwned();
  m_qwSlot = 0;
  unsigned char type = CM_DATA_UNKNOW;
  aStream >> type;
  m_nType = aStream.IsGood() ? static_cast<int>(type) : static_cast<int>(CM_DATA_UNKNOW);
  CM_ASSERTE_RETURN(m_nType != CM_DATA_UNKNOW, ZAR_E_FAIL);
  if (m_nType > CM_DATA_UNKNOW) {
    CmAssertFailed(__FILE__, __LINE__, "FALSE");
    return ZAR_E_FAIL;
  }
  return ReadValue(aStream);
}

CmResult CCmMetaData::ReadValue(CCmMetaDataStream& aStream) {
  switch (m_nType) {
    case CM_DATA_BYTE: aStream >> m_cValue; break;
    case CM_DATA_SHORT: aStream >> m_sValue; break;
    case CM_DATA_WORD: aStream >> m_wValue; break;
    case CM_DATA_INT:
    case CM_DATA_LONG: aStream >> m_nValue; break;
    case CM_DATA_DWORD: aStream >> m_dwValue; break;
    case CM_DATA_FLOAT: aStream >> m_fValue; break;
    case CM_DATA_STRING: return ReadString(aStream);
    default: return ReadRaw(aStream);
  }
  const bool bGood = aStream.IsGood();
  CM_ASSERTE_RETURN(bGood, ZAR_E_FAIL);
  return ZAR_S_OK;
}

CmResult CCmMetaData::ReadString(CCmMetaDataStream& aStream) {
  uint16_t length = 0;
  aStream >> length;
  if (aStream.IsGood() && length > 0) {
    // At most 64 KiB, so no chunking is needed.
    char* text = NewText(nullptr, length);
    aStream.Read(text, length);
    if (aStream.IsGood()) m_pText = text;
    else free(text);
  }
  const bool bGood = aStream.IsGood();
  CM_ASSERTE_RETURN(bGood, ZAR_E_FAIL);
  return ZAR_S_OK;
}

CmResult CCmMetaData::ReadRaw(CCmMetaDataStream& aStream) {
  uint32_t length = 0;
  aStream >> length;
  unsigned char* block = nullptr;
  uint32_t done = 0;
  while (aStream.IsGood() && done < length) {
    const uint32_t step = length - done < kReadChunk ? length - done : kReadChunk;
    auto* grown = static_cast<unsigned char*>(realloc(block, sizeof(uint32_t) + done + step));
    if (!grown) {
      free(block);
      throw std::bad_alloc();
    }
    block = grown;
    aStream.Read(block + sizeof(uint32_t) + done, step);
    done += step;
  }
  if (aStream.IsGood() && block) {
    memcpy(block, &length, sizeof(length));
    m_pRaw = block;
  } else {
    free(block);
  }
  const bool bGood = aStream.IsGood();
  CM_ASSERTE_RETURN(bGood, ZAR_E_FAIL);
  return ZAR_S_OK;
}

CmResult CCmMetaData::GetStreamLength(DWORD& aLength) const {
  switch (m_nType) {
    case CM_DATA_BYTE: aLength = 2; break;
    case CM_DATA_SHORT:
    case CM_DATA_WORD: aLength = 3; break;
    case CM_DATA_INT:
    case CM_DATA_LONG:
    case CM_DATA_DWORD:
    case CM_DATA_FLOAT: aLength = 5; break;
    case CM_DATA_STRING: aLength = 3 + static_cast<DWORD>(m_pText ? strlen(m_pText) : 0); break;
    case CM_DATA_RAW: aLength = 5 + RawLength(m_pRaw); break;
    case CM_DATA_UNKNOW: CmAssertFailed(__FILE__, __LINE__, "m_nType != CM_DATA_UNKNOW"); return ZAR_E_FAIL;
    default: CmAssertFailed(__FILE__, __LINE__, "FALSE"); return ZAR_E_FAIL;
  }
  return ZAR_S_OK;
}

// -------------------------------------------------------- CCmParameterByIndex

CCmParameterByIndex::CCmParameterByIndex(DWORD aIndex) : m_dwIndex(aIndex) {}

#define CM_PARAM_CTOR(ArgType)                                                   \
  CCmParameterByIndex::CCmParameterByIndex(DWORD aIndex, ArgType aValue) : m_dwIndex(aIndex) { \
    m_MetaData.Set(aValue);                                                      \
  }
CM_PARAM_CTOR(char)
CM_PARAM_CTOR(short)
CM_PARAM_CTOR(unsigned short)
CM_PARAM_CTOR(int)
CM_PARAM_CTOR(unsigned int)
CM_PARAM_CTOR(long)
CM_PARAM_CTOR(unsigned long)
CM_PARAM_CTOR(float)
CM_PARAM_CTOR(const char*)
#undef CM_PARAM_CTOR

CCmParameterByIndex::CCmParameterByIndex(DWORD aIndex, const unsigned char* aData, uint32_t aLength)
    : m_dwIndex(aIndex) {
  m_MetaData.Set(aData, aLength);
}

// The count is the object's own: a copy starts at 0 like any new parameter,
// and assignment leaves the target's count alone (copying the count would
// make a list release the copy too early or never).
// NOLINTNEXTLINE(bugprone-copy-constructor-init): the count is not copied (above)
CCmParameterByIndex::CCmParameterByIndex(const CCmParameterByIndex& aOther)
    : CCmReferenceControlT<CCmMutexThread>(), m_dwIndex(aOther.m_dwIndex), m_MetaData(aOther.m_MetaData) {}

CCmParameterByIndex& CCmParameterByIndex::operator=(const CCmParameterByIndex& aOther) {
  m_dwIndex = aOther.m_dwIndex;
  m_MetaData = aOther.m_MetaData;
  return *this;
}

CCmParameterByIndex::~CCmParameterByIndex() = default;

CmResult CCmParameterByIndex::StreamTo(CCmMetaDataStream& aStream) const {
  CM_ASSERTE_RETURN(m_dwIndex != 0, ZAR_E_FAIL);
  aStream << m_dwIndex;
  return m_MetaData.StreamTo(aStream);
}

CmResult CCmParameterByIndex::StreamFrom(CCmMetaDataStream& aStream) {
  aStream >> m_dwIndex;
  return m_MetaData.StreamFrom(aStream);
}

CmResult CCmParameterByIndex::GetStreamLength(DWORD& aLength) const {
  CM_ASSERTE_RETURN(m_dwIndex != 0, ZAR_E_FAIL);
  DWORD length = 0;
  const CmResult rv = m_MetaData.GetStreamLength(length);
  if (rv != ZAR_S_OK) return rv;
  aLength = length + 4;
  return ZAR_S_OK;
}

// ----------------------------------------------------------- CCmParameterList

CCmParameterList::CCmParameterList() = default;

CCmParameterList::CCmParameterList(const CCmParameterList& aOther) { *this = aOther; }

CCmParameterList& CCmParameterList::operator=(const CCmParameterList& aOther) {
  if (this == &aOther) return *this;
  ClearParameters();
  for (const auto& entry : aOther.m_Parameters) {
    if (entry.second) AddParameter(new CCmParameterByIndex(*entry.second));
  }
  return *this;
}

CCmParameterList::~CCmParameterList() { ClearParameters(); }

CmResult CCmParameterList::StreamTo(CCmMetaDataStream& aStream) const {
  DWORD dwCount = static_cast<DWORD>(m_Parameters.size());
  aStream << dwCount;
  for (const auto& entry : m_Parameters) {
    const CCmParameterByIndex* pParam = entry.second;
    CM_ASSERTE_RETURN(pParam, ZAR_E_POINTER);
    const CmResult ret = pParam->StreamTo(aStream);
    CM_ASSERTE_RETURN(IS_ZAR_OK(ret), ret);
    --dwCount;
  }
  CM_ASSERTE_RETURN(0 == dwCount, ZAR_E_FAIL);
  return ZAR_S_OK;
}

CmResult CCmParameterList::StreamFrom(CCmMetaDataStream& aStream) {
  DWORD count = 0;
  aStream >> count;
  for (DWORD i = 0; i < count; ++i) {
    auto* param = new CCmParameterByIndex(0);
    const CmResult rv = param->StreamFrom(aStream);
    if (rv != ZAR_S_OK) {
      delete param;
      return rv;
    }
    AddParameter(param);
  }
  return ZAR_S_OK;
}

CmResult CCmParameterList::AddParameter(CCmParameterByIndex* pParam) {
  CM_ASSERTE_RETURN(pParam, ZAR_E_POINTER);
  pParam->AddReference();
  auto inserted = m_Parameters.emplace(pParam->GetIndex(), pParam);
  if (!inserted.second) {
    CCmParameterByIndex* old = inserted.first->second;
    inserted.first->second = pParam;
    if (old) old->ReleaseReference();
  }
  return ZAR_S_OK;
}

void CCmParameterList::ClearParameters() {
  ParameterMap parameters;
  parameters.swap(m_Parameters);
  for (auto& entry : parameters) {
    CCmParameterByIndex* pParam = entry.second;
    if (!pParam) {
      CmAssertFailed(__FILE__, __LINE__, "pParam");
      continue;
    }
    pParam->ReleaseReference();
  }
}

CCmParameterByIndex* CCmParameterList::FindParameter(DWORD aIndex) const {
  auto it = m_Parameters.find(aIndex);
  return it == m_Parameters.end() ? nullptr : it->second;
}

CmResult CCmParameterList::GetStreamLength(DWORD& aLength) const {
  DWORD total = 4;
  for (const auto& entry : m_Parameters) {
    const CCmParameterByIndex* pParam = entry.second;
    CM_ASSERTE_RETURN(pParam, ZAR_E_POINTER);
    DWORD length = 0;
    const CmResult ret = pParam->GetStreamLength(length);
    if (ret != ZAR_S_OK) return ret;
    total += length;
  }
  aLength = total;
  return ZAR_S_OK;
}
