// paramlist.h - typed values that travel between modules and across a byte
// stream: metadata, indexed parameters and parameter lists.
//
//   CCmParameterList list;
//   list.AddParameter(new CCmParameterByIndex(1, 48000));        // CM_DATA_INT
//   list.AddParameter(new CCmParameterByIndex(2, "opus"));       // CM_DATA_STRING
//   DWORD size = 0;
//   list.GetStreamLength(size);
//   CCmMessageBlock mb(size);
//   CCmByteStreamNetwork os(mb);
//   list.StreamTo(os);                                            // 4 + 9 + 11 bytes
//   CCmParameterList copy;
//   CCmByteStreamNetwork is(mb);
//   copy.StreamFrom(is);
//
// Which to use:
//  - CCmMetaData: one value of one of nine types (CM_META_DATA_TYPE), or
//    nothing (CM_DATA_UNKNOW).
//  - CCmParameterByIndex: a value with a numeric key and a reference count,
//    the unit a list holds.
//  - CCmParameterList: parameters kept in ascending index order, one per
//    index, written and read as a whole.
//
// Wire format (other programs read it; every number big-endian):
//   metadata   = type byte, value
//     BYTE 1 byte; SHORT, WORD 2 bytes; INT, LONG, DWORD 4 bytes;
//     FLOAT the 4 bytes of its IEEE bits; STRING a 16-bit length and the
//     bytes (no NUL); RAW a 32-bit length and the bytes.
//   parameter  = 32-bit index (not 0), metadata
//   list       = 32-bit count, the parameters in ascending index order
//
// Integer widths on this platform: `long` and `unsigned long` are 64-bit,
// but CM_DATA_LONG and CM_DATA_DWORD are 32-bit on the wire. Set(long)
// accepts only values in [INT32_MIN, INT32_MAX] and Set(unsigned long) only
// values up to UINT32_MAX; anything wider is refused (assertion, then
// ZAR_E_INVALIDARG, value unchanged) rather than cut. Get(long&) gives the
// stored value sign-extended, Get(unsigned long&) zero-extended. DWORD
// (uint32_t, an `unsigned int` here) is CM_DATA_DWORD as well.
//
// Every refusal is an assertion report (CmDebug.h: a level-0 line
// "<file>:<line> Assert failed: <condition>", counted) followed by a result
// code; nothing throws except an allocator's out-of-memory exception.
#ifndef CM_PARAMLIST_H
#define CM_PARAMLIST_H

#include <map>

#include "CmByteStream.h"
#include "CmError.h"
#include "CmMessageBlock.h"
#include "CmUtilTemplates.h"

// The numbers are written on the wire.
enum CM_META_DATA_TYPE {
  CM_DATA_BYTE = 0,    // 8-bit character
  CM_DATA_SHORT = 1,   // signed 16-bit
  CM_DATA_INT = 2,     // signed 32-bit
  CM_DATA_LONG = 3,    // signed 32-bit (see the width note above)
  CM_DATA_WORD = 4,    // unsigned 16-bit
  CM_DATA_DWORD = 5,   // unsigned 32-bit
  CM_DATA_FLOAT = 6,   // 32-bit IEEE float
  CM_DATA_STRING = 7,  // NUL-terminated text, an owned copy
  CM_DATA_RAW = 8,     // bytes with their length, an owned copy
  CM_DATA_UNKNOW = 9,  // nothing (the empty state); cannot be encoded
};

typedef CCmByteStreamNetwork CCmMetaDataStream;

// One typed value. A value gets its type from its first Set and keeps it:
// Set and Get of another type are refused (ZAR_E_INVALIDARG, nothing
// changed). Texts and byte arrays are owned copies; copying a value copies
// them, so two values never share a block.
//
// Texts longer than the stream can carry (65535 bytes or more) are refused
// by Set, so every value that Set accepts can be encoded.
//
// Thread safety: none; a value belongs to one thread at a time.
class CM_EXPORT CCmMetaData {
 public:
  CCmMetaData();
  CCmMetaData(const CCmMetaData& aOther);
  CCmMetaData& operator=(const CCmMetaData& aOther);
  virtual ~CCmMetaData();

  // 0, or ZAR_E_INVALIDARG when the value already holds another type.
  CmResult Set(char aValue);
  CmResult Set(short aValue);
  CmResult Set(unsigned short aValue);
  CmResult Set(int aValue);
  CmResult Set(unsigned int aValue);   // CM_DATA_DWORD (DWORD)
  CmResult Set(long aValue);           // also refused outside the 32-bit range
  CmResult Set(unsigned long aValue);  // CM_DATA_DWORD; refused above UINT32_MAX
  CmResult Set(float aValue);
  // A null text stores null; also refused for 65535 bytes or more.
  CmResult Set(const char* aText);
  // Null data or length 0 stores nothing (reads back as null, 0).
  CmResult Set(const unsigned char* aData, uint32_t aLength);

  // 0, or ZAR_E_INVALIDARG (output untouched) unless the type is exactly
  // the one asked for.
  CmResult Get(char& aValue) const;
  CmResult Get(short& aValue) const;
  CmResult Get(unsigned short& aValue) const;
  CmResult Get(int& aValue) const;
  CmResult Get(unsigned int& aValue) const;
  CmResult Get(long& aValue) const;
  CmResult Get(unsigned long& aValue) const;
  CmResult Get(float& aValue) const;
  // The stored text itself (possibly null), valid until the value changes.
  CmResult Get(const char*& aText) const;
  // The stored bytes and their count, or null and 0.
  CmResult Get(const unsigned char*& aData, uint32_t& aLength) const;

  // The type number; after a failed StreamFrom it may be any byte read.
  CM_META_DATA_TYPE GetType() const { return static_cast<CM_META_DATA_TYPE>(m_nType); }

  // ZAR_E_FAIL for an empty value or a stream that failed.
  CmResult StreamTo(CCmMetaDataStream& aStream) const;
  // Replaces the value with the one read. ZAR_E_FAIL for type 9 or above,
  // or a stream that ran short; the value then keeps the type byte read
  // and an empty text or array. An announced length is not trusted: a
  // byte array grows in 64 KiB steps as its bytes actually arrive.
  CmResult StreamFrom(CCmMetaDataStream& aStream);
  // Exactly the bytes StreamTo writes; ZAR_E_FAIL for an empty value.
  CmResult GetStreamLength(DWORD& aLength) const;

 private:
  bool CheckSet(int aType, const char* aCondition) const;
  bool CheckGet(int aType, const char* aCondition) const;
  void FreeOwned();
  CmResult ReadValue(CCmMetaDataStream& aStream);
  CmResult ReadString(CCmMetaDataStream& aStream);
  CmResult ReadRaw(CCmMetaDataStream& aStream);

  int m_nType;  // a CM_META_DATA_TYPE, or a type byte read that is not one
  // The one value slot. STRING: an owned NUL-terminated copy or null.
  // RAW: an owned block [32-bit length][bytes] or null.
  union {
    char m_cValue;
    int16_t m_sValue;
    uint16_t m_wValue;
    int32_t m_nValue;
    uint32_t m_dwValue;
    float m_fValue;
    char* m_pText;
    unsigned char* m_pRaw;
    uint64_t m_qwSlot;
  };
};

// A value with its index, counted. The count starts at 0; a list that holds
// the parameter holds one reference, and the last ReleaseReference deletes
// it (so create it with new). A copy has a count of its own (0) and its own
// copy of the value.
//
// Thread safety: the count is atomic; the value belongs to one thread.
class CM_EXPORT CCmParameterByIndex : public CCmReferenceControlT<CCmMutexThread> {
 public:
  explicit CCmParameterByIndex(DWORD aIndex);
  // The value is stored as by CCmMetaData::Set (a refused value, with its
  // assertion, leaves it CM_DATA_UNKNOW).
  CCmParameterByIndex(DWORD aIndex, char aValue);
  CCmParameterByIndex(DWORD aIndex, short aValue);
  CCmParameterByIndex(DWORD aIndex, unsigned short aValue);
  CCmParameterByIndex(DWORD aIndex, int aValue);
  CCmParameterByIndex(DWORD aIndex, unsigned int aValue);
  CCmParameterByIndex(DWORD aIndex, long aValue);
  CCmParameterByIndex(DWORD aIndex, unsigned long aValue);
  CCmParameterByIndex(DWORD aIndex, float aValue);
  CCmParameterByIndex(DWORD aIndex, const char* aText);
  CCmParameterByIndex(DWORD aIndex, const unsigned char* aData, uint32_t aLength);
  CCmParameterByIndex(const CCmParameterByIndex& aOther);
  CCmParameterByIndex& operator=(const CCmParameterByIndex& aOther);
  ~CCmParameterByIndex() override;

  DWORD GetIndex() const { return m_dwIndex; }
  CCmMetaData& GetMetaData() { return m_MetaData; }
  const CCmMetaData& GetMetaData() const { return m_MetaData; }

  // Index then value. StreamTo and GetStreamLength refuse index 0
  // (ZAR_E_FAIL); StreamFrom takes whatever index it reads.
  CmResult StreamTo(CCmMetaDataStream& aStream) const;
  CmResult StreamFrom(CCmMetaDataStream& aStream);
  CmResult GetStreamLength(DWORD& aLength) const;

 protected:
  DWORD m_dwIndex;
  CCmMetaData m_MetaData;
};

// Parameters by index, ascending; one reference held on each. Adding an
// index that is present replaces (and releases) the old parameter. A copy
// of a list holds copies of the parameters, never the same objects.
//
// Thread safety: none; a list belongs to one thread at a time.
class CM_EXPORT CCmParameterList {
 public:
  typedef std::map<DWORD, CCmParameterByIndex*> ParameterMap;

  CCmParameterList();
  CCmParameterList(const CCmParameterList& aOther);
  CCmParameterList& operator=(const CCmParameterList& aOther);
  virtual ~CCmParameterList();

  // Count, then every parameter. ZAR_E_POINTER for a null entry; a
  // parameter that fails (index 0, say) ends the walk with its result, the
  // bytes of the earlier parameters already written.
  virtual CmResult StreamTo(CCmMetaDataStream& aStream) const;
  // Adds what it reads to the entries already there (a decoded index that
  // is present replaces the old entry). The first parameter that fails to
  // read is dropped and its result returned; those read before it stay.
  virtual CmResult StreamFrom(CCmMetaDataStream& aStream);

  // Takes one reference on aParam. ZAR_E_POINTER for null.
  CmResult AddParameter(CCmParameterByIndex* aParam);
  // Releases every parameter and empties the list.
  void ClearParameters();

  // The parameter under aIndex (no reference added), or null.
  CCmParameterByIndex* FindParameter(DWORD aIndex) const;
  size_t GetParameterCount() const { return m_Parameters.size(); }
  const ParameterMap& GetParameters() const { return m_Parameters; }
  // The bytes StreamTo writes; the first failing parameter's result.
  CmResult GetStreamLength(DWORD& aLength) const;

 private:
  ParameterMap m_Parameters;
};

#endif  // CM_PARAMLIST_H
