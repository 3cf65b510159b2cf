// ConfigData: a text or a byte buffer with number conversions on demand.
#include "CmConfigData.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "CmDebug.h"
#include "CmError.h"

namespace {

std::string FixedText(double aValue) {
  char buf[512];
  snprintf(buf, sizeof(buf), "%f", aValue);
  return buf;
}

}  // namespace

ConfigData::ConfigData() : m_pText(new std::string()) {}

ConfigData::ConfigData(const unsigned char* aData, uint32_t aLength)
    : m_pBuffer(new unsigned char[aLength ? aLength : 1]), m_dwLength(aLength), m_pText(new std::string()) {
  SafeCopy(aData, m_pBuffer, aLength);
}

ConfigData::ConfigData(const char* aText) {
  if (aText) SetText(aText);
}

ConfigData::ConfigData(char* aText) : ConfigData(static_cast<const char*>(aText)) {}

ConfigData::ConfigData(const std::string& aText) { SetText(aText); }

ConfigData::ConfigData(int aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(unsigned int aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(long aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(unsigned long aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(long long aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(unsigned long long aValue) { SetText(std::to_string(aValue)); }
ConfigData::ConfigData(bool aValue) { SetText(aValue ? "1" : "0"); }
ConfigData::ConfigData(float aValue) { SetText(FixedText(aValue)); }
ConfigData::ConfigData(double aValue) { SetText(FixedText(aValue)); }

ConfigData::ConfigData(const ConfigData& aOther) { CopyFrom(aOther); }

ConfigData& ConfigData::operator=(const ConfigData& aOther) {
  if (this != &aOther) CopyFrom(aOther);
  return *this;
}

ConfigData::~ConfigData() {
  delete[] m_pBuffer;
  delete m_pText;
}

void ConfigData::SetText(const std::string& aText) {
  if (m_pText) *m_pText = aText;
  else m_pText = new std::string(aText);
  m_bIsText = true;
}

void ConfigData::CopyFrom(const ConfigData& aOther) {
  unsigned char* buffer = nullptr;
  if (aOther.m_pBuffer) {
    buffer = new unsigned char[aOther.m_dwLength ? aOther.m_dwLength : 1];
    memcpy(buffer, aOther.m_pBuffer, aOther.m_dwLength);
  }
  std::string* text = aOther.m_pText ? new std::string(*aOther.m_pText) : nullptr;
  delete[] m_pBuffer;
  delete m_pText;
  m_pBuffer = buffer;
  m_dwLength = aOther.m_dwLength;
  m_pText = text;
  m_bIsText = aOther.m_bIsText;
}

bool ConfigData::IsValid() const { return m_bIsText || m_pBuffer != nullptr; }

void ConfigData::SetInvalid() {
  if (m_pText) m_pText->clear();
  else m_pText = new std::string();
  m_bIsText = false;
  delete[] m_pBuffer;
  m_pBuffer = nullptr;
  m_dwLength = 0;
}

bool ConfigData::IsIntegerBuffer() const {
  return !m_bIsText && m_pBuffer &&
         (m_dwLength == 1 || m_dwLength == 2 || m_dwLength == 4 || m_dwLength == 8);
}

uint64_t ConfigData::IntegerValue() const {
  uint64_t value = 0;
  for (uint32_t i = m_dwLength; i > 0; --i) value = (value << 8) | m_pBuffer[i - 1];
  return value;
}

int ConfigData::ToInt() const {
  if (IsIntegerBuffer()) return static_cast<int>(static_cast<uint32_t>(IntegerValue()));
  return atoi(ToCstr());
}

int ConfigData::ToIntOrDefault(int aDefault) const {
  if (!IsValid()) return aDefault;
  return ToInt();
}

bool ConfigData::ToBool() const { return ToInt() != 0; }

uint32_t ConfigData::ToUint32() const {
  if (IsIntegerBuffer()) return static_cast<uint32_t>(IntegerValue());
  return static_cast<uint32_t>(ToLonglong());
}

long long ConfigData::ToLonglong() const {
  if (IsIntegerBuffer()) return static_cast<long long>(IntegerValue());
  return atoll(ToCstr());
}

uint64_t ConfigData::ToUint64() const {
  if (IsIntegerBuffer()) return IntegerValue();
  if (!m_pText) return 0;
  // The standard stoull's rules (leading blanks, an optional sign, base 10),
  // with the messages the engine's callers know.
  const char* start = m_pText->c_str();
  char* end = nullptr;
  const int savedErrno = errno;
  errno = 0;
  const unsigned long long value = strtoull(start, &end, 10);
  const int error = errno;
  errno = savedErrno;
  if (end == start) throw std::invalid_argument("invalid stoull argument");
  if (error == ERANGE) throw std::out_of_range("stoull argument out of range");
  return value;
}

long ConfigData::ToLong() const { return atol(ToCstr()); }

double ConfigData::ToDouble() const { return atof(ToCstr()); }

float ConfigData::ToFloat() const { return static_cast<float>(atof(ToCstr())); }

CCmString ConfigData::ToString() const {
  if (IsIntegerBuffer()) return CCmString(std::to_string(IntegerValue()));
  return m_pText ? CCmString(*m_pText) : CCmString();
}

const char* ConfigData::ToCstr() const { return m_pText ? m_pText->c_str() : ""; }

bool ConfigData::operator==(const ConfigData& aOther) const {
  const bool valid = IsValid();
  if (valid != aOther.IsValid()) return false;
  if (!valid) return true;
  if (m_bIsText && aOther.m_bIsText) return *m_pText == *aOther.m_pText;
  if (!m_pBuffer || !aOther.m_pBuffer || m_dwLength != aOther.m_dwLength) return false;
  return memcmp(m_pBuffer, aOther.m_pBuffer, m_dwLength) == 0;
}

bool ConfigData::CopyBufferTo(void* aDest, uint32_t aSize) const {
  if (aSize != m_dwLength) return false;
  return SafeCopy(m_pBuffer, aDest, aSize) == ZAR_S_OK;
}

int ConfigData::SafeCopy(const void* aSource, void* aDest, size_t aCount) {
  if (aCount == 0) return ZAR_S_OK;
  CM_ASSERTE_RETURN(aDest, ZAR_E_INVALIDARG);
  if (!aSource) {
    memset(aDest, 0, aCount);
    CM_ASSERTE_RETURN(aSource, ZAR_E_INVALIDARG);
  }
  memcpy(aDest, aSource, aCount);
  return ZAR_S_OK;
}
