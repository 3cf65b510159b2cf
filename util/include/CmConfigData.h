// CmConfigData.h - ConfigData, the typed configuration value that the
// configuration readers hand out.
//
// A ConfigData holds either a text or a raw byte buffer and converts itself
// to the number types on demand. Build it from a number (stored as its
// decimal text; float and double in the "%f" form, "1.500000"), from a text,
// or from bytes. A buffer of 1, 2, 4 or 8 bytes that is not a text is an
// *integer buffer*: its bytes are an unsigned little-endian integer, which
// ToInt, ToUint32, ToLonglong, ToUint64 and ToString read; the text
// conversions (ToLong, ToDouble, ToFloat) never look at a buffer.
//
// Errors: none are reported except by ToUint64, which throws
// std::invalid_argument("invalid stoull argument") for a text that does not
// start with a number and std::out_of_range("stoull argument out of range")
// on overflow - the only exceptions the library lets escape.
#ifndef CM_CONFIG_DATA_H
#define CM_CONFIG_DATA_H

#include <string>

#include "CmDefines.h"
#include "CmString.h"

// Owns its buffer and its text; copies duplicate both.
//
// Thread safety: a value type; one object must not be changed by one thread
// while another uses it.
class CM_EXPORT ConfigData {
 public:
  // Invalid: no buffer, an empty text, not a text value.
  ConfigData();
  // A copy of aLength bytes (a null aData gives that many zero bytes and a
  // failed assertion, like SafeCopy).
  ConfigData(const unsigned char* aData, uint32_t aLength);
  // A null pointer gives an invalid value without a text object.
  ConfigData(const char* aText);
  ConfigData(char* aText);
  ConfigData(const std::string& aText);
  ConfigData(int aValue);
  ConfigData(unsigned int aValue);
  ConfigData(long aValue);
  ConfigData(unsigned long aValue);
  ConfigData(long long aValue);
  ConfigData(unsigned long long aValue);
  ConfigData(bool aValue);  // "1" or "0"
  ConfigData(float aValue);
  ConfigData(double aValue);
  ConfigData(const ConfigData& aOther);
  ConfigData& operator=(const ConfigData& aOther);
  ~ConfigData();

  // True for a text value (even an empty one) or a value with a buffer.
  bool IsValid() const;
  // Empty text, not a text value, buffer freed.
  void SetInvalid();

  int ToInt() const;
  // aDefault for an invalid value, else ToInt().
  int ToIntOrDefault(int aDefault) const;
  bool ToBool() const;
  uint32_t ToUint32() const;
  DWORD ToDWORD() const { return ToUint32(); }
  long long ToLonglong() const;
  // Throws as described above; 0 when there is neither text nor integer
  // buffer.
  uint64_t ToUint64() const;
  long ToLong() const;
  double ToDouble() const;
  float ToFloat() const;
  CCmString ToString() const;
  // The text's characters, "" without a text object. Valid while the value
  // is neither changed nor destroyed.
  const char* ToCstr() const;

  // Implicit, as the configuration readers' callers use them
  // ("int n = data;"). In an expression that mixes a ConfigData with numbers
  // the choice can be ambiguous: name the conversion (ToInt, ...) there.
  operator int() const { return ToInt(); }
  operator bool() const { return ToBool(); }
  operator unsigned int() const { return ToUint32(); }
  operator long() const { return ToLong(); }
  operator long long() const { return ToLonglong(); }
  operator unsigned long() const { return static_cast<unsigned long>(ToUint64()); }
  operator double() const { return ToDouble(); }
  operator float() const { return ToFloat(); }
  operator CCmString() const { return ToString(); }
  operator const char*() const { return ToCstr(); }

  // Two invalid values are equal; two texts by their characters; otherwise
  // both need buffers of equal length and bytes.
  bool operator==(const ConfigData& aOther) const;
  bool operator!=(const ConfigData& aOther) const { return !(*this == aOther); }

  // Copies the buffer when aSize equals its length (true); false otherwise.
  bool CopyBufferTo(void* aDest, uint32_t aSize) const;
  // Copies aCount bytes; 0, or ZAR_E_INVALIDARG with a failed assertion for
  // a null destination or source (a null source zero-fills the
  // destination). A count of 0 copies nothing and succeeds.
  static int SafeCopy(const void* aSource, void* aDest, size_t aCount);

  uint32_t GetBufferLength() const { return m_dwLength; }
  const unsigned char* GetBuffer() const { return m_pBuffer; }

 private:
  void SetText(const std::string& aText);
  void CopyFrom(const ConfigData& aOther);
  bool IsIntegerBuffer() const;
  uint64_t IntegerValue() const;

  unsigned char* m_pBuffer = nullptr;
  uint32_t m_dwLength = 0;
  std::string* m_pText = nullptr;
  bool m_bIsText = false;
};

#endif  // CM_CONFIG_DATA_H
